// The stream output against real servers on 127.0.0.1: nginx's RTMP module
// recording what arrives (read back with ffprobe), the server going away
// and coming back mid-stream, SRT as caller and as listener with
// srt-live-transmit, a wrong passphrase, a link slower than the bit rate,
// the secrets kept out of every text, and the stream running beside the
// recorder and the network feed of the same program.
#include "capture/stream_output.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "capture/network_transmitter.h"
#include "capture/recorder.h"
#include "capture/tests/stream_test_servers.h"
#include "platform/frame_packet.h"
#include "platform/output_block.h"
#include "test_support/status_texts.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

namespace fs = std::filesystem;
using testing::WaitFor;

constexpr int kWidth = 640;  // the camera's size without a settings file
constexpr int kHeight = 480;

// A studio of the test: a changing program published at 25 pictures a
// second under a private name.
class Publisher {
 public:
  explicit Publisher(std::string name) : name_(std::move(name)) {
    thread_ = std::thread([this] {
      OutputBlock block;
      if (!CreateOutputBlock(block, name_, kWidth * kHeight * 3, nullptr, nullptr)) return;
      std::vector<uint8_t> picture(kWidth * kHeight * 3);
      uint8_t counter = 0;
      uint32_t noise = 12345;
      while (!stop_.load()) {
        // Grain over a moving gradient: pictures the encoder cannot make
        // small, so the bit rate asked for is what goes out.
        for (std::size_t i = 0; i < picture.size(); ++i) {
          noise = noise * 1664525u + 1013904223u;
          picture[i] = static_cast<uint8_t>((i / 1920 + counter * 4) ^ (noise >> 27));
        }
        PublishPicture(block, picture.data(), static_cast<uint32_t>(picture.size()), ++counter);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
      }
      ReleaseOutputBlock(block);
    });
  }
  ~Publisher() {
    stop_.store(true);
    thread_.join();
  }

 private:
  std::string name_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// ffprobe's key=value lines for the first stream of a kind ("v" or "a").
std::map<std::string, std::string> Probe(const fs::path& file, const char* kind) {
  const std::string command = std::string("ffprobe -v error -select_streams ") + kind +
                              ":0 -count_frames -show_entries stream=codec_name,width,height,r_frame_rate,nb_read_frames "
                              "-of default=nw=1 '" +
                              file.string() + "' 2>/dev/null";
  std::map<std::string, std::string> values;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return values;
  char line[512];
  while (fgets(line, sizeof(line), pipe)) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const std::size_t eq = text.find('=');
    if (eq != std::string::npos) values[text.substr(0, eq)] = text.substr(eq + 1);
  }
  pclose(pipe);
  return values;
}

int Frames(const std::map<std::string, std::string>& probed) {
  const auto it = probed.find("nb_read_frames");
  return it == probed.end() ? 0 : std::atoi(it->second.c_str());
}

class StreamOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = testing::FreshTestFolder("stream");
    buffer_ = "CorvalindStreamTest_" + std::to_string(getpid());
    publisher_ = std::make_unique<Publisher>(buffer_);
  }
  StreamSettings Settings(const std::string& url) const {
    StreamSettings settings;
    settings.url = url;
    settings.bufferName = buffer_;
    settings.videoKbps = 1500;
    settings.preset = "ultrafast";
    settings.frameRate = 25;
    return settings;
  }
  bool Live(const StreamOutput& output) { return output.Statistics().state == StreamState::kLive; }

  fs::path folder_;
  std::string buffer_;
  std::unique_ptr<Publisher> publisher_;
};

TEST(StreamSettingsTest, UnusableSettingsAreRefusedWithAReason) {
  struct Case {
    const char* name;
    void (*change)(StreamSettings&);
    const char* says;
  };
  const Case cases[] = {
      {"http", [](StreamSettings& s) { s.url = "http://example.org/live"; }, "must start with"},
      {"no host", [](StreamSettings& s) { s.url = "rtmp:///live"; }, "names no server"},
      {"short passphrase", [](StreamSettings& s) { s.url = "srt://127.0.0.1:9000"; s.passphrase = "short"; }, "10 to 79"},
      {"passphrase in url", [](StreamSettings& s) { s.url = "srt://127.0.0.1:9000?passphrase=abcdefghijkl"; }, "own field"},
      {"newline in key", [](StreamSettings& s) { s.key = "abc\ndef"; }, "control character"},
      {"bit rate", [](StreamSettings& s) { s.videoKbps = 50; }, "bit rate"},
      {"key frames", [](StreamSettings& s) { s.keyframeSeconds = 0; }, "key-frame"},
      {"preset", [](StreamSettings& s) { s.preset = "placebo-ish"; }, "preset"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StreamSettings settings;
    settings.url = "rtmp://127.0.0.1/live";
    c.change(settings);
    std::string reason;
    EXPECT_FALSE(CheckStreamSettings(settings, &reason));
    EXPECT_NE(reason.find(c.says), std::string::npos) << reason;
  }
  StreamSettings good;
  good.url = "rtmps://live.example.org:443/app";
  good.key = "live_123";
  EXPECT_TRUE(CheckStreamSettings(good, nullptr));
  good.url = "srt://127.0.0.1:9000?latency=200";
  good.passphrase = "ten chars!";
  EXPECT_TRUE(CheckStreamSettings(good, nullptr));
  EXPECT_EQ(StreamProtocolOf("srt://x:1"), StreamProtocol::kSrt);
  EXPECT_EQ(StreamProtocolOf("rtmps://x"), StreamProtocol::kRtmp);
  EXPECT_EQ(StreamProtocolOf("udp://x"), StreamProtocol::kNone);
}

TEST_F(StreamOutputTest, AnRtmpStreamArrivesAsH264AndAacAndSurvivesTheServerComingBack) {
  testing::RtmpTestServer server;
  std::string reason;
  ASSERT_TRUE(server.Start(folder_ / "rtmp", &reason)) << reason;
  StreamOutput output;
  StreamSettings settings = Settings(server.Url());
  settings.key = "show-key-1234";
  ASSERT_TRUE(output.Start(settings, &reason)) << reason;
  ASSERT_TRUE(WaitFor([&] { return Live(output); })) << StreamStatusText(output.Statistics());
  ASSERT_TRUE(WaitFor([&] { return output.Statistics().framesEncoded >= 50; }));

  // The server goes away and comes back: the output finds it again.
  ASSERT_TRUE(server.Restart(&reason)) << reason;
  ASSERT_TRUE(WaitFor([&] { return output.Statistics().reconnects >= 1; }, std::chrono::seconds(30)));
  ASSERT_TRUE(WaitFor([&] { return Live(output); }, std::chrono::seconds(30))) << StreamStatusText(output.Statistics());
  const uint64_t encoded = output.Statistics().framesEncoded;
  ASSERT_TRUE(WaitFor([&] { return output.Statistics().framesEncoded >= encoded + 50; }));
  output.Stop();
  EXPECT_EQ(output.Statistics().state, StreamState::kIdle);
  server.Stop();

  const std::vector<fs::path> recordings = server.Recordings();
  ASSERT_GE(recordings.size(), 2u) << "one recording before the restart, one after";
  for (const fs::path& recording : {recordings.front(), recordings.back()}) {
    SCOPED_TRACE(recording.string());
    const auto video = Probe(recording, "v");
    EXPECT_EQ(video.count("codec_name") ? video.at("codec_name") : "", "h264");
    EXPECT_EQ(video.count("width") ? video.at("width") : "", std::to_string(kWidth));
    EXPECT_EQ(video.count("height") ? video.at("height") : "", std::to_string(kHeight));
    EXPECT_EQ(video.count("r_frame_rate") ? video.at("r_frame_rate") : "", "25/1");
    EXPECT_GT(Frames(video), 10);
    const auto audio = Probe(recording, "a");
    EXPECT_EQ(audio.count("codec_name") ? audio.at("codec_name") : "", "aac");
    // The key names the recording, as the server saw it; it is in no text
    // of ours.
    EXPECT_NE(recording.filename().string().find("show-key-1234"), std::string::npos);
  }
}

TEST_F(StreamOutputTest, SrtCarriesMpegTsAsCallerAndAsListener) {
  const std::string passphrase = "passphrase-of-ours";
  {
    testing::SrtTestPeer peer;
    std::string reason;
    ASSERT_TRUE(peer.StartListener(passphrase, folder_ / "caller.ts", &reason)) << reason;
    StreamOutput output;
    StreamSettings settings = Settings("srt://127.0.0.1:" + std::to_string(peer.Port()));
    settings.passphrase = passphrase;
    ASSERT_TRUE(output.Start(settings, &reason)) << reason;
    ASSERT_TRUE(WaitFor([&] { return Live(output) && output.Statistics().framesEncoded >= 60; }))
        << StreamStatusText(output.Statistics());
    output.Stop();
    peer.Stop();
    const auto video = Probe(folder_ / "caller.ts", "v");
    EXPECT_EQ(video.count("codec_name") ? video.at("codec_name") : "", "h264");
    EXPECT_GT(Frames(video), 10);
    EXPECT_EQ(Probe(folder_ / "caller.ts", "a")["codec_name"], "aac");
  }
  {
    const uint16_t port = testing::FreeUdpPort();
    StreamOutput output;
    StreamSettings settings = Settings("srt://127.0.0.1:" + std::to_string(port));
    settings.srtListener = true;
    std::string reason;
    ASSERT_TRUE(output.Start(settings, &reason)) << reason;
    testing::SrtTestPeer peer;
    ASSERT_TRUE(peer.StartCaller(port, "", folder_ / "listener.ts", &reason)) << reason;
    ASSERT_TRUE(WaitFor([&] { return fs::exists(folder_ / "listener.ts") && fs::file_size(folder_ / "listener.ts") > 100000; },
                        std::chrono::seconds(30)))
        << StreamStatusText(output.Statistics());
    peer.Stop();
    output.Stop();
    EXPECT_EQ(Probe(folder_ / "listener.ts", "v")["codec_name"], "h264");
  }
}

TEST_F(StreamOutputTest, AWrongPassphraseIsRefusedWithAClearTextAndNeverShown) {
  testing::SrtTestPeer peer;
  std::string reason;
  ASSERT_TRUE(peer.StartListener("the-right-passphrase", folder_ / "wrong.ts", &reason)) << reason;
  StreamOutput output;
  StreamSettings settings = Settings("srt://127.0.0.1:" + std::to_string(peer.Port()));
  settings.passphrase = "a-wrong-passphrase";
  ASSERT_TRUE(output.Start(settings, &reason)) << reason;
  ASSERT_TRUE(WaitFor([&] { return output.Statistics().reconnects >= 1; }, std::chrono::seconds(30)));
  const StreamStatistics statistics = output.Statistics();
  EXPECT_NE(statistics.state, StreamState::kLive);
  EXPECT_FALSE(statistics.lastError.empty());
  const std::string text = StreamStatusText(statistics);
  EXPECT_NE(text.find("attempt"), std::string::npos) << text;
  EXPECT_EQ(text.find("a-wrong-passphrase"), std::string::npos) << text;
  output.Stop();
  peer.Stop();
  EXPECT_FALSE(fs::exists(folder_ / "wrong.ts") && fs::file_size(folder_ / "wrong.ts") > 0);
}

// A link much slower than the bit rate: the pictures the encoder cannot
// take are dropped and counted, memory stays flat, and Stop still ends.
TEST_F(StreamOutputTest, ASlowLinkDropsFramesBeforeTheEncoderInsteadOfQueueingThem) {
  testing::RtmpTestServer server;
  std::string reason;
  ASSERT_TRUE(server.Start(folder_ / "rtmp", &reason)) << reason;
  testing::ThrottledRelay relay;
  ASSERT_TRUE(relay.Start(server.Port(), 8 * 1024, &reason)) << reason;
  StreamOutput output;
  StreamSettings settings = Settings("rtmp://127.0.0.1:" + std::to_string(relay.Port()) + "/live");
  settings.key = "slow";
  settings.videoKbps = 3000;
  ASSERT_TRUE(output.Start(settings, &reason)) << reason;
  ASSERT_TRUE(WaitFor([&] { return output.Statistics().framesDropped >= 25; }, std::chrono::seconds(30)))
      << StreamStatusText(output.Statistics());
  const auto rss = [] {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return 0L;
  };
  const long before = rss();
  const uint64_t dropped = output.Statistics().framesDropped;
  ASSERT_TRUE(WaitFor([&] { return output.Statistics().framesDropped >= dropped + 50; }, std::chrono::seconds(30)));
  // Two seconds of pictures at this size are 46 MB: a queue that kept them
  // would show.
  EXPECT_LT(rss() - before, 20 * 1024) << "kB grown while dropping";
  EXPECT_NE(StreamStatusText(output.Statistics()).find("dropped"), std::string::npos);
  output.Stop();
  EXPECT_FALSE(output.Running());
  relay.Stop();
}

TEST_F(StreamOutputTest, TheKeyIsInNoTextEvenWhenTheServerIsMissing) {
  const uint16_t closed = testing::FreeTcpPort();
  StreamOutput output;
  StreamSettings settings = Settings("rtmp://127.0.0.1:" + std::to_string(closed) + "/live");
  settings.key = "sk_live_0123456789";
  std::string reason;
  ASSERT_TRUE(output.Start(settings, &reason)) << reason;
  ASSERT_TRUE(WaitFor([&] { return output.Statistics().reconnects >= 2; }, std::chrono::seconds(30)));
  const StreamStatistics statistics = output.Statistics();
  EXPECT_EQ(statistics.state, StreamState::kWaiting);
  EXPECT_GE(statistics.attempt, 2);
  EXPECT_FALSE(statistics.lastError.empty());
  EXPECT_EQ(statistics.lastError.find("sk_live_0123456789"), std::string::npos) << statistics.lastError;
  EXPECT_EQ(StreamStatusText(statistics).find("sk_live_0123456789"), std::string::npos);
  EXPECT_EQ(RedactStreamSecrets(settings, "rtmp://h/live/sk_live_0123456789"), "rtmp://h/live/****");
  output.Stop();
}

// ---------------------------------------------------------------------------
// The stream beside the recorder and the network feed of the same program.
// ---------------------------------------------------------------------------

constexpr uint32_t kFrameBytes = kWidth * kHeight * 3;

// A changing program for outputs running side by side: 25 numbered pictures
// a second, the first number 1. Each picture is a gradient that moves with
// its number and carries the number in its first four bytes (little-endian);
// it costs a few row fills, so the publisher keeps its pace on a busy
// machine and the outputs, not the publisher, are what the test measures.
class NumberedProgram {
 public:
  explicit NumberedProgram(std::string name) : name_(std::move(name)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~NumberedProgram() {
    stop_.store(true);
    thread_.join();
  }
  // The number of the latest picture published (0 before the first).
  uint32_t Published() const { return published_.load(); }
  bool Failed() const { return failed_.load(); }

 private:
  void Run() {
    OutputBlock block;
    if (!CreateOutputBlock(block, name_, kFrameBytes, nullptr, nullptr)) {
      failed_.store(true);
      return;
    }
    std::vector<uint8_t> picture(kFrameBytes);
    constexpr auto kInterval = std::chrono::milliseconds(40);
    auto next = std::chrono::steady_clock::now();
    for (uint32_t number = 1; !stop_.load(); ++number) {
      for (int row = 0; row < kHeight; ++row) {
        std::memset(picture.data() + static_cast<std::size_t>(row) * kWidth * 3,
                    static_cast<uint8_t>(row + number * 4), kWidth * 3);
      }
      StoreLittleEndian32(picture.data(), number);
      PublishPicture(block, picture.data(), kFrameBytes, static_cast<uint8_t>(number));
      published_.store(number);
      // Paced on the clock, not by sleeping a fixed time after the work; a
      // stall of more than five pictures is not made up in a burst, the
      // pace goes on from now.
      next += kInterval;
      const auto now = std::chrono::steady_clock::now();
      if (next + 5 * kInterval < now) next = now;
      std::this_thread::sleep_until(next);
    }
    ReleaseOutputBlock(block);
  }

  std::string name_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> failed_{false};
  std::atomic<uint32_t> published_{0};
  std::thread thread_;
};

// The far end of the network feed over TCP: takes one connection on a port
// of 127.0.0.1, puts each frame together from its raw pieces and notes the
// picture number it starts with. Ends when the sender hangs up.
class FeedReceiver {
 public:
  FeedReceiver() : frame_(kFrameBytes) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    listening_ = listener_ >= 0 && bind(listener_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                 listen(listener_, 1) == 0 &&
                 getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~FeedReceiver() {
    stop_.store(true);
    thread_.join();
    if (listener_ >= 0) close(listener_);
  }
  bool Listening() const { return listening_; }
  uint16_t Port() const { return port_; }
  // Whole frames so far.
  int Frames() const { return frames_.load(); }
  // Frames whose number differs from the frame's before: the changing
  // program, not one picture sent again and again.
  int Pictures() const { return pictures_.load(); }
  uint32_t LastNumber() const { return lastNumber_.load(); }
  bool Malformed() const { return malformed_.load(); }
  // The sender hung up and everything it sent has been read.
  bool Ended() const { return ended_.load(); }

 private:
  // Reads exactly `size` bytes; false when the sender left or the test ends.
  bool Read(int fd, uint8_t* into, std::size_t size) {
    while (size > 0) {
      if (stop_.load()) return false;
      pollfd entry{fd, POLLIN, 0};
      const int ready = poll(&entry, 1, 20);
      if (ready < 0 && errno != EINTR) return false;
      if (ready <= 0) continue;
      const ssize_t got = recv(fd, into, size, 0);
      if (got <= 0) return false;
      into += got;
      size -= static_cast<std::size_t>(got);
    }
    return true;
  }

  void Run() {
    int connection = -1;
    while (listening_ && connection < 0 && !stop_.load()) {
      pollfd entry{listener_, POLLIN, 0};
      if (poll(&entry, 1, 20) > 0) connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (connection < 0) return;
    uint8_t header[kFramePacketHeaderBytes];
    uint32_t previous = 0;
    while (Read(connection, header, sizeof(header))) {
      const uint64_t offset = LoadLittleEndian32(header);
      const uint64_t length = LoadLittleEndian32(header + 4);
      // The feed is sent raw: a compressed piece or one past the frame is
      // not what was sent.
      if (offset >= kCompressedOffsetFlag || offset + length > frame_.size()) {
        malformed_.store(true);
        break;
      }
      if (!Read(connection, frame_.data() + offset, static_cast<std::size_t>(length))) break;
      if (offset + length == frame_.size()) {
        const uint32_t number = LoadLittleEndian32(frame_.data());
        if (number != previous) pictures_.fetch_add(1);
        previous = number;
        lastNumber_.store(number);
        frames_.fetch_add(1);
      }
    }
    close(connection);
    ended_.store(true);
  }

  std::vector<uint8_t> frame_;
  int listener_ = -1;
  bool listening_ = false;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> ended_{false};
  std::atomic<bool> malformed_{false};
  std::atomic<int> frames_{0};
  std::atomic<int> pictures_{0};
  std::atomic<uint32_t> lastNumber_{0};
  std::thread thread_;
};

std::string VideoEncoderNamed(const std::string& factory) {
  for (const EncoderEntry& entry : VideoEncoders()) {
    if (entry.factory == factory) return entry.longName;
  }
  return {};
}

double SecondsOf(const std::function<void()>& action) {
  const auto start = std::chrono::steady_clock::now();
  action();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A show's three outputs of one program at once: the stream to an RTMP
// server and the recording to an AVI file, each through its own camera
// element, and the network feed, which reads the output block as the camera
// does. They share the program and the machine and nothing else, so none
// may hold another back: each keeps the program's pace for the whole time,
// and each stops promptly.
TEST(OutputsTogetherTest, StreamRecordingAndNetworkFeedKeepThePaceSideBySide) {
  const fs::path folder = testing::FreshTestFolder("together");
  const std::string buffer = "CorvalindTogetherTest_" + std::to_string(getpid());
  NumberedProgram program(buffer);
  ASSERT_TRUE(WaitFor([&] { return program.Published() >= 1 || program.Failed(); }));
  ASSERT_FALSE(program.Failed());

  testing::RtmpTestServer server;
  std::string reason;
  ASSERT_TRUE(server.Start(folder / "rtmp", &reason)) << reason;
  FeedReceiver receiver;
  ASSERT_TRUE(receiver.Listening());

  StreamOutput stream;
  StreamSettings settings;
  settings.url = server.Url();
  settings.key = "together";
  settings.bufferName = buffer;
  settings.videoKbps = 1500;
  settings.preset = "ultrafast";
  settings.frameRate = 25;
  ASSERT_TRUE(stream.Start(settings, &reason)) << reason;

  // MPEG-4 part 2 costs a few milliseconds a picture: it keeps up on a
  // starved machine, so the recording measures the outputs side by side
  // rather than its encoder's speed. (VP8 at this size takes about 13 ms of
  // a core a picture; starved to a fraction of a core it falls behind, its
  // queue fills, and Stop then waits seconds for the file's end while it
  // encodes the backlog, alone just as much as beside the others.)
  Recorder recorder;
  ASSERT_TRUE(recorder.SetVideoEncoder(VideoEncoderNamed("avenc_mpeg4")));
  const fs::path avi = folder / "program.avi";
  ASSERT_EQ(recorder.Start(avi.string(), false, buffer), Recorder::StartResult::kStarted) << recorder.Message();

  NetworkTransmitter transmitter(buffer, kFrameBytes, 25, 40, {});
  ASSERT_TRUE(transmitter.OutputBufferOpen());
  TransmitterSettings feed;
  feed.host = "127.0.0.1";
  feed.port = receiver.Port();
  feed.tcp = true;
  ASSERT_TRUE(transmitter.Start(feed));

  ASSERT_TRUE(WaitFor(
      [&] {
        return stream.Statistics().state == StreamState::kLive && stream.Statistics().framesEncoded > 0 &&
               recorder.VideoStats().samples > 0 && receiver.Frames() > 0;
      },
      std::chrono::seconds(30)))
      << StreamStatusText(stream.Statistics()) << "; recorded " << recorder.VideoStats().samples << "; received "
      << receiver.Frames();

  // What each output has delivered: pictures encoded for the stream (the
  // statistics, refreshed every tenth of a second), pictures the
  // recorder's meter took from its camera element, and whole frames at the
  // far end of the feed.
  struct Counts {
    uint32_t published;
    uint64_t streamed;
    uint64_t recorded;
    int fed;
    int fedPictures;
  };
  const auto take = [&] {
    return Counts{program.Published(), stream.Statistics().framesEncoded, recorder.VideoStats().samples,
                  receiver.Frames(), receiver.Pictures()};
  };
  // Two spans of 75 published pictures (3 s at the program's pace), measured
  // by the publisher's own count: the second span shows that every output
  // kept going to the end rather than stalling behind another.
  constexpr uint32_t kSpan = 75;
  std::vector<Counts> marks{take()};
  for (int span = 0; span < 2; ++span) {
    const uint32_t until = marks.back().published + kSpan;
    ASSERT_TRUE(WaitFor([&] { return program.Published() >= until; }));
    marks.push_back(take());
  }
  const StreamStatistics live = stream.Statistics();
  const int64_t lastFed = receiver.LastNumber();
  const int64_t lastPublished = program.Published();

  // Every output runs at the program's 25 pictures a second: the camera
  // elements pace themselves at that rate and make up a late picture at
  // once, and the feed sends every 40 ms, so alone each delivers about one
  // picture per published one (the counts are read a few milliseconds
  // apart). An output held back by another (a shared lock, a blocked
  // thread, a queue it waits on) falls to a fraction of that, or to nothing
  // for a span. Half is far below what a slow, loaded machine gives (the
  // stream sheds pictures before its encoder when it falls behind, the
  // recorder's queue takes up its encoder's slowness; two cores shared with
  // six busy loops still give nine in ten) and far above what a held-back
  // output reaches.
  constexpr double kShare = 0.5;
  for (std::size_t span = 1; span < marks.size(); ++span) {
    SCOPED_TRACE("span " + std::to_string(span));
    const Counts& from = marks[span - 1];
    const Counts& to = marks[span];
    const double published = to.published - from.published;
    EXPECT_GE(static_cast<double>(to.streamed - from.streamed), kShare * published) << "streamed";
    EXPECT_GE(static_cast<double>(to.recorded - from.recorded), kShare * published) << "recorded";
    EXPECT_GE(static_cast<double>(to.fed - from.fed), kShare * published) << "fed";
    // The feed carries the changing program: a new picture in most frames
    // (the two 25-a-second clocks drift against each other, so a frame
    // now and then repeats the picture before it).
    EXPECT_GE(static_cast<double>(to.fedPictures - from.fedPictures), kShare * published) << "fed pictures";
  }
  // The stream went live once and stayed live.
  EXPECT_EQ(live.state, StreamState::kLive) << StreamStatusText(live);
  EXPECT_EQ(live.reconnects, 0) << live.lastError;
  // The feed sends what is published now: its latest picture is at most a
  // second (25 pictures) behind the publisher's count (which it may also
  // be one ahead of: the count goes up just after the picture is written).
  EXPECT_LE(lastPublished - lastFed, 25) << "published " << lastPublished << ", fed " << lastFed;

  // Each stops within 2 s, one after the other: the stream promises a
  // second whatever the network does; the recorder ends its stream and
  // waits for the file's end, which comes at once when its encoder kept
  // up; the feed ends at its next piece.
  constexpr double kStopSeconds = 2.0;
  const double streamStop = SecondsOf([&] { stream.Stop(); });
  const double recorderStop = SecondsOf([&] { recorder.Stop(); });
  const double transmitterStop = SecondsOf([&] { transmitter.Stop(); });
  EXPECT_LE(streamStop, kStopSeconds);
  EXPECT_LE(recorderStop, kStopSeconds);
  EXPECT_LE(transmitterStop, kStopSeconds);
  EXPECT_FALSE(stream.Running());
  EXPECT_EQ(stream.Statistics().state, StreamState::kIdle);
  EXPECT_FALSE(recorder.Recording());
  EXPECT_FALSE(transmitter.Running());
  server.Stop();

  // What each delivered over the whole time, read back at its far end.
  // The server recorded one stream (no reconnect) with the pictures the
  // stream encoded: a stop sends the end through the graph, so the pictures
  // still on their way at the stop arrive too.
  const std::vector<fs::path> recordings = server.Recordings();
  ASSERT_EQ(recordings.size(), 1u);
  const int rtmpFrames = Frames(Probe(recordings.front(), "v"));
  const uint64_t streamed = stream.Statistics().framesEncoded;
  EXPECT_EQ(static_cast<uint64_t>(rtmpFrames), streamed);
  // Every picture the recorder counted is in the file.
  const int aviFrames = Frames(Probe(avi, "v"));
  EXPECT_EQ(static_cast<uint64_t>(aviFrames), recorder.VideoStats().samples);
  // Every frame the feed sent arrived whole, as it was sent.
  ASSERT_TRUE(WaitFor([&] { return receiver.Ended(); }));
  EXPECT_FALSE(receiver.Malformed());
  EXPECT_EQ(static_cast<uint32_t>(receiver.Frames()), transmitter.LastCounters().framesSent);

  std::printf("[ figures  ] published %u; streamed %llu (dropped %llu), server recorded %d; recorded %llu, "
              "file %d; fed %d frames, %d pictures; spans %u/%u published, stream %llu/%llu, recorder %llu/%llu, "
              "feed %d/%d; stops %.3f s, %.3f s, %.3f s\n",
              program.Published(), static_cast<unsigned long long>(stream.Statistics().framesEncoded),
              static_cast<unsigned long long>(stream.Statistics().framesDropped), rtmpFrames,
              static_cast<unsigned long long>(recorder.VideoStats().samples), aviFrames, receiver.Frames(),
              receiver.Pictures(), marks[1].published - marks[0].published, marks[2].published - marks[1].published,
              static_cast<unsigned long long>(marks[1].streamed - marks[0].streamed),
              static_cast<unsigned long long>(marks[2].streamed - marks[1].streamed),
              static_cast<unsigned long long>(marks[1].recorded - marks[0].recorded),
              static_cast<unsigned long long>(marks[2].recorded - marks[1].recorded), marks[1].fed - marks[0].fed,
              marks[2].fed - marks[1].fed, streamStop, recorderStop, transmitterStop);
}

}  // namespace
}  // namespace corvalind

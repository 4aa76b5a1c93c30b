// The stream output against real servers on 127.0.0.1: nginx's RTMP module
// recording what arrives (read back with ffprobe), the server going away
// and coming back mid-stream, SRT as caller and as listener with
// srt-live-transmit, a wrong passphrase, a link slower than the bit rate,
// and the secrets kept out of every text.
#include "capture/stream_output.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
#include <vector>

#include "capture/tests/stream_test_servers.h"
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

}  // namespace
}  // namespace corvalind

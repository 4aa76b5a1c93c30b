// The streaming test servers against real publishers: gst-launch-1.0
// pushing RTMP and SRT, ffprobe reading what the servers wrote, and plain
// sockets on both sides of the relay.
#include "capture/tests/stream_test_servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "test_support/pipewire_daemon.h"
#include "test_support/test_home.h"

namespace corvalind::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto kPushLimit = std::chrono::milliseconds(60s);

struct Stream {
  std::string codec;
  int width = 0;
  int height = 0;
};

// The streams ffprobe finds in `file` (none when it cannot read it).
std::vector<Stream> Probe(const std::filesystem::path& file) {
  std::string json;
  if (RunCommand("ffprobe -v error -show_streams -of json '" + file.string() + "' 2>/dev/null", &json) != 0) return {};
  auto number = [](const std::string& block, const std::string& key) {
    const std::size_t at = block.find("\"" + key + "\": ");
    return at == std::string::npos ? 0 : std::atoi(block.c_str() + at + key.size() + 4);
  };
  std::vector<Stream> streams;
  std::size_t at = json.find("\"index\": ");
  while (at != std::string::npos) {
    const std::size_t next = json.find("\"index\": ", at + 1);
    const std::string block = json.substr(at, next == std::string::npos ? std::string::npos : next - at);
    Stream s;
    const std::size_t codec = block.find("\"codec_name\": \"");
    if (codec != std::string::npos) {
      const std::size_t begin = codec + 15;
      s.codec = block.substr(begin, block.find('"', begin) - begin);
    }
    s.width = number(block, "width");
    s.height = number(block, "height");
    streams.push_back(s);
    at = next;
  }
  return streams;
}

bool HasStream(const std::vector<Stream>& streams, const std::string& codec, int width = 0, int height = 0) {
  return std::any_of(streams.begin(), streams.end(), [&](const Stream& s) {
    return s.codec == codec && s.width == width && s.height == height;
  });
}

// Only the codec: srtsink loses the large packets of key frames now and
// then, so the picture size may be missing from what arrives over SRT.
bool HasCodec(const std::vector<Stream>& streams, const std::string& codec) {
  return std::any_of(streams.begin(), streams.end(), [&](const Stream& s) { return s.codec == codec; });
}

std::string Describe(const std::vector<Stream>& streams) {
  std::string text;
  for (const Stream& s : streams) text += s.codec + " " + std::to_string(s.width) + "x" + std::to_string(s.height) + "; ";
  return text.empty() ? "no streams" : text;
}

// gst-launch-1.0 with the words of `pipeline` as its arguments, on the
// system's plugins only.
int Launch(const std::string& pipeline, const std::filesystem::path& log) {
  std::vector<std::string> argv = {"gst-launch-1.0", "-q"};
  std::istringstream words(pipeline);
  for (std::string word; words >> word;) argv.push_back(word);
  return RunProgram(argv, log, kPushLimit, BuildGStreamerVariables());
}

std::string VideoTest(bool live) {
  return std::string("videotestsrc num-buffers=60 is-live=") + (live ? "true" : "false") +
         " ! video/x-raw,width=320,height=240,framerate=30/1 ! x264enc tune=zerolatency ! h264parse";
}

// Two seconds of H.264 and AAC in FLV to `location`; `live` paces it at the
// frame rate, else it goes as fast as it is encoded (the sink does not wait
// for the clock either).
std::string RtmpPush(const std::string& location, bool live = true) {
  return VideoTest(live) + " ! flvmux streamable=true name=m audiotestsrc num-buffers=60 is-live=" +
         (live ? "true" : "false") + " ! voaacenc ! aacparse ! m. m. ! rtmp2sink sync=" + (live ? "true" : "false") +
         " location=" + location;
}

std::string SrtSend(const std::string& uri) { return VideoTest(true) + " ! mpegtsmux ! srtsink uri=" + uri; }

bool Accepts(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return ok;
}

std::uintmax_t SizeOf(const std::filesystem::path& file) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(file, ec);
  return ec ? 0 : size;
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// ---------------------------------------------------------------------------
// RTMP

TEST(RtmpTestServerTest, RecordsWhatIsPublishedAndRecordsAgainAfterARestart) {
  TemporaryHome home("corvalind-rtmp");
  RtmpTestServer server;
  std::string reason;
  ASSERT_TRUE(server.Start(home.Root() / "rtmp", &reason)) << reason;
  const uint16_t port = server.Port();
  ASSERT_NE(port, 0);
  EXPECT_EQ(server.Url(), "rtmp://127.0.0.1:" + std::to_string(port) + "/live");
  EXPECT_TRUE(server.Recordings().empty());

  ASSERT_EQ(Launch(RtmpPush(server.Url() + "/test"), home.Root() / "push1.log"), 0)
      << ReadBytes((home.Root() / "push1.log").string());
  ASSERT_TRUE(WaitFor([&] { return server.Recordings().size() == 1; })) << ReadBytes(server.ErrorLog().string());
  const std::filesystem::path first = server.Recordings()[0];
  EXPECT_EQ(first.parent_path(), home.Root() / "rtmp");
  const std::vector<Stream> firstStreams = Probe(first);
  EXPECT_TRUE(HasStream(firstStreams, "h264", 320, 240)) << Describe(firstStreams);
  EXPECT_TRUE(HasStream(firstStreams, "aac")) << Describe(firstStreams);

  ASSERT_TRUE(server.Restart(&reason)) << reason;
  EXPECT_EQ(server.Port(), port);
  ASSERT_EQ(Launch(RtmpPush(server.Url() + "/test"), home.Root() / "push2.log"), 0)
      << ReadBytes((home.Root() / "push2.log").string());
  ASSERT_TRUE(WaitFor([&] { return server.Recordings().size() == 2; })) << ReadBytes(server.ErrorLog().string());
  const std::vector<std::filesystem::path> both = server.Recordings();
  EXPECT_EQ(both[0], first) << "the older recording comes first";
  const std::vector<Stream> secondStreams = Probe(both[1]);
  EXPECT_TRUE(HasStream(secondStreams, "h264", 320, 240)) << Describe(secondStreams);
  EXPECT_TRUE(HasStream(secondStreams, "aac")) << Describe(secondStreams);

  server.Stop();
  EXPECT_FALSE(Accepts(port)) << "a stopped server takes no connections";
}

TEST(RtmpTestServerTest, StartFailsWithAReasonInAFolderThatCannotBeMade) {
  TemporaryHome home("corvalind-rtmp");
  std::ofstream(home.Root() / "plain-file") << "x";
  RtmpTestServer server;
  std::string reason;
  EXPECT_FALSE(server.Start(home.Root() / "plain-file" / "rtmp", &reason));
  EXPECT_FALSE(reason.empty());
  std::string again;
  RtmpTestServer never;
  EXPECT_FALSE(never.Restart(&again));
  EXPECT_FALSE(again.empty());
}

// ---------------------------------------------------------------------------
// SRT

TEST(SrtTestPeerTest, PassphraseLengthsFollowSrt) {
  const struct {
    std::string passphrase;
    bool accepted;
  } cases[] = {
      {"", true},
      {std::string(9, 'p'), false},
      {std::string(10, 'p'), true},
      {std::string(79, 'p'), true},
      {std::string(80, 'p'), false},
      {"has-an-&-in-it", false},
  };
  TemporaryHome home("corvalind-srt");
  for (const auto& c : cases) {
    SCOPED_TRACE("passphrase of " + std::to_string(c.passphrase.size()) + " characters: " + c.passphrase);
    SrtTestPeer listener;
    std::string reason;
    EXPECT_EQ(listener.StartListener(c.passphrase, home.Root() / "listened.ts", &reason), c.accepted) << reason;
    EXPECT_EQ(reason.empty(), c.accepted) << reason;
    if (c.accepted) {
      EXPECT_NE(listener.Port(), 0);
    }
    SrtTestPeer caller;
    std::string callerReason;
    EXPECT_EQ(caller.StartCaller(FreeUdpPort(), c.passphrase, home.Root() / "called.ts", &callerReason), c.accepted)
        << callerReason;
    EXPECT_EQ(callerReason.empty(), c.accepted) << callerReason;
  }
}

TEST(SrtTestPeerTest, ListenerWritesWhatACallerWithItsPassphraseSends) {
  const std::string secret = "corvalind-secret-1";
  const struct {
    const char* name;
    std::string listenerPassphrase;
    std::string senderPassphrase;
    bool delivered;
  } cases[] = {
      {"no passphrase", "", "", true},
      {"same passphrase", secret, secret, true},
      {"wrong passphrase", secret, "not-the-secret-2", false},
      {"sender without passphrase", secret, "", false},
  };
  TemporaryHome home("corvalind-srt");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path output = home.Root() / (std::string(c.name) + ".ts");
    SrtTestPeer listener;
    std::string reason;
    ASSERT_TRUE(listener.StartListener(c.listenerPassphrase, output, &reason)) << reason;
    std::string uri = "srt://127.0.0.1:" + std::to_string(listener.Port()) + "?mode=caller";
    if (!c.senderPassphrase.empty()) uri += "&passphrase=" + c.senderPassphrase;
    const std::filesystem::path log = home.Root() / (std::string(c.name) + ".gst.log");
    const int exit = Launch(SrtSend(uri), log);
    if (c.delivered) {
      // The sender is gone once the listener says so: what it sent is then
      // all written.
      EXPECT_TRUE(WaitFor([&] { return listener.SenderLeft(); })) << ReadBytes(listener.LogFile().string());
    }
    listener.Stop();
    const std::string listenerLog = ReadBytes(listener.LogFile().string());
    if (c.delivered) {
      EXPECT_EQ(exit, 0) << ReadBytes(log.string());
      const std::string bytes = ReadBytes(output.string());
      ASSERT_FALSE(bytes.empty()) << listenerLog;
      EXPECT_EQ(bytes[0], 0x47) << "an MPEG-TS packet starts with its sync byte";
      EXPECT_EQ(bytes.size() % 188, 0u) << "whole MPEG-TS packets";
      const std::vector<Stream> streams = Probe(output);
      EXPECT_TRUE(HasCodec(streams, "h264")) << Describe(streams);
    } else {
      EXPECT_NE(exit, 0) << "a rejected sender fails";
      EXPECT_EQ(SizeOf(output), 0u);
      // The listener saw the caller and turned it away: nothing arriving
      // for another reason would not say so.
      EXPECT_NE(listenerLog.find("reject"), std::string::npos) << listenerLog;
    }
  }
}

TEST(SrtTestPeerTest, CallerKeepsCallingUntilTheListenerAppears) {
  TemporaryHome home("corvalind-srt");
  const std::string secret = "corvalind-secret-3";
  const uint16_t port = FreeUdpPort();
  ASSERT_NE(port, 0);
  const std::filesystem::path output = home.Root() / "called.ts";
  SrtTestPeer caller;
  std::string reason;
  ASSERT_TRUE(caller.StartCaller(port, secret, output, &reason)) << reason;
  EXPECT_EQ(caller.Port(), port);
  // A second attempt (by the tool or a restart of it) before anyone listens.
  ASSERT_TRUE(WaitFor([&] {
    return caller.CallerStarts() >= 2 || Count(ReadBytes(caller.LogFile().string()), "Connecting to") >= 2;
  })) << ReadBytes(caller.LogFile().string());
  EXPECT_EQ(SizeOf(output), 0u);

  const std::filesystem::path log = home.Root() / "listener.gst.log";
  const std::string uri = "srt://127.0.0.1:" + std::to_string(port) + "?mode=listener&passphrase=" + secret;
  ASSERT_EQ(Launch(SrtSend(uri), log), 0) << ReadBytes(log.string());
  ASSERT_TRUE(WaitFor([&] { return SizeOf(output) > 0; })) << ReadBytes(caller.LogFile().string());
  caller.Stop();
  EXPECT_EQ(SizeOf(output) % 188, 0u) << "whole MPEG-TS packets";
  const std::vector<Stream> streams = Probe(output);
  EXPECT_TRUE(HasCodec(streams, "h264")) << Describe(streams);
}

// ---------------------------------------------------------------------------
// The relay

// A TCP listener of the test's own on 127.0.0.1 (connections wait in its
// backlog until accepted).
struct Listener {
  Listener() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 && listen(fd, 4) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port = ntohs(address.sin_port);
    }
  }
  ~Listener() { close(fd); }
  int fd = -1;
  uint16_t port = 0;
};

int ConnectTo(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  // A relay that loses data must fail the test, not hang it.
  timeval limit{20, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  return fd;
}

std::string Pattern(std::size_t size, int seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + static_cast<std::size_t>(seed)) % 251);
  return bytes;
}

bool SendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

std::string ReceiveAll(int fd, std::size_t size) {
  std::string bytes;
  char buffer[16384];
  while (bytes.size() < size) {
    const ssize_t n = recv(fd, buffer, std::min(sizeof(buffer), size - bytes.size()), 0);
    if (n <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

// What a relay may have passed on after `since`: rate * elapsed plus one
// chunk.
double Allowed(const ThrottledRelay& relay, std::size_t rate, std::chrono::steady_clock::time_point since) {
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
  return static_cast<double>(rate) * elapsed + static_cast<double>(relay.ChunkBytes());
}

TEST(ThrottledRelayTest, PacesTheClientAndCopiesBothWaysIntact) {
  constexpr std::size_t kRate = 20'000;
  const std::string toTarget = Pattern(30'000, 1);     // 1.5 s at kRate
  const std::string toClient = Pattern(1'000'000, 2);  // 50 s at kRate, well under a second unpaced
  Listener target;
  ASSERT_NE(target.port, 0);
  std::atomic<std::size_t> arrived{0};
  std::string received;
  std::thread server([&] {
    const int fd = accept(target.fd, nullptr, nullptr);
    timeval limit{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    char buffer[4096];
    while (received.size() < toTarget.size()) {
      const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
      if (n <= 0) break;
      received.append(buffer, static_cast<std::size_t>(n));
      arrived = received.size();
    }
    SendAll(fd, toClient);
    close(fd);
  });

  ThrottledRelay relay;
  std::string reason;
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(relay.Start(target.port, kRate, &reason)) << reason;
  ASSERT_NE(relay.Port(), 0);
  const int client = ConnectTo(relay.Port());
  ASSERT_GE(client, 0);
  ASSERT_TRUE(SendAll(client, toTarget));

  double worst = 0;  // the largest excess over the allowance seen
  EXPECT_TRUE(WaitFor([&] {
    worst = std::max(worst, static_cast<double>(relay.BytesRelayed()) - Allowed(relay, kRate, started));
    // The relay counts a chunk after its send returns, which can be after
    // the target has read it: both must be complete.
    return arrived.load() == toTarget.size() && relay.BytesRelayed() == toTarget.size();
  }));
  EXPECT_LE(worst, 0.0) << "bytes relayed beyond rate * time + one chunk";
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_GE(seconds, static_cast<double>(toTarget.size() - relay.ChunkBytes()) / kRate);
  EXPECT_EQ(relay.BytesRelayed(), toTarget.size());

  const auto downStarted = std::chrono::steady_clock::now();
  const std::string back = ReceiveAll(client, toClient.size());
  const auto downTook = std::chrono::steady_clock::now() - downStarted;
  close(client);
  server.join();
  EXPECT_TRUE(received == toTarget) << "the target got " << received.size() << " bytes, not the ones sent";
  EXPECT_TRUE(back == toClient) << "the client got " << back.size() << " bytes, not the ones sent";
  EXPECT_LT(downTook, 10s) << "the target's bytes are not paced";
  EXPECT_EQ(relay.Connections(), 1);
}

TEST(ThrottledRelayTest, StopsWithinASecondWhateverTheSidesDo) {
  const struct {
    const char* name;
    bool client;
    std::size_t clientSends;  // bytes the client sends, which the target never reads
  } cases[] = {
      {"no client", false, 0},
      {"idle client and target", true, 0},
      {"client sending to a target that does not read", true, 4'000'000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Listener target;  // never accepts: connections wait in its backlog
    ThrottledRelay relay;
    std::string reason;
    ASSERT_TRUE(relay.Start(target.port, 10'000'000, &reason)) << reason;
    int client = -1;
    std::thread sender;
    if (c.client) {
      client = ConnectTo(relay.Port());
      ASSERT_GE(client, 0);
      ASSERT_TRUE(WaitFor([&] { return relay.Connections() == 1; }));
      if (c.clientSends > 0) {
        // Fills the relay's and the kernel's buffers; the send fails once the
        // relay is gone.
        sender = std::thread([client, bytes = Pattern(c.clientSends, 3)] { SendAll(client, bytes); });
        ASSERT_TRUE(WaitFor([&] { return relay.BytesRelayed() > 0; }));
      }
    }
    const auto before = std::chrono::steady_clock::now();
    relay.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    if (client >= 0) shutdown(client, SHUT_RDWR);
    if (sender.joinable()) sender.join();
    if (client >= 0) close(client);
  }
}

TEST(ThrottledRelayTest, RtmpStreamOverASlowLinkIsRecorded) {
  constexpr std::size_t kRate = 200'000;
  TemporaryHome home("corvalind-relay");
  RtmpTestServer server;
  std::string reason;
  ASSERT_TRUE(server.Start(home.Root() / "rtmp", &reason)) << reason;
  ThrottledRelay relay;
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(relay.Start(server.Port(), kRate, &reason)) << reason;

  // Not live: the publisher would send far faster than the link takes.
  const std::filesystem::path log = home.Root() / "push.log";
  const std::string location = "rtmp://127.0.0.1:" + std::to_string(relay.Port()) + "/live/slow";
  std::atomic<bool> done{false};
  int exit = -1;
  std::thread push([&] {
    exit = Launch(RtmpPush(location, false), log);
    done = true;
  });
  double worst = 0;
  auto underTheRate = [&] {
    worst = std::max(worst, static_cast<double>(relay.BytesRelayed()) - Allowed(relay, kRate, started));
  };
  const bool ended = WaitFor(
      [&] {
        underTheRate();
        return done.load();
      },
      kPushLimit + 10s);
  push.join();
  ASSERT_TRUE(ended);
  EXPECT_EQ(exit, 0) << ReadBytes(log.string());
  // The publisher is done once its bytes are in its socket's buffer, and it
  // closes without reading the server's last replies: the reset that
  // follows drops what the slow link has not taken yet, so the recording
  // holds the stream's start only. The server ends the stream
  // (deleteStream) when the relay passes the reset on.
  EXPECT_TRUE(WaitFor(
      [&] {
        underTheRate();
        return Count(ReadBytes(server.ErrorLog().string()), "deleteStream") > 0;
      },
      kPushLimit))
      << ReadBytes(server.ErrorLog().string());
  EXPECT_LE(worst, 0.0) << "bytes relayed beyond rate * time + one chunk";
  EXPECT_EQ(relay.Connections(), 1);
  ASSERT_EQ(server.Recordings().size(), 1u) << ReadBytes(server.ErrorLog().string());
  server.Stop();
  const std::filesystem::path recording = server.Recordings().front();
  EXPECT_GE(relay.BytesRelayed(), SizeOf(recording)) << "the recording holds only what came through the relay";
  EXPECT_GT(SizeOf(recording), 0u);
  const std::vector<Stream> streams = Probe(recording);
  EXPECT_TRUE(HasStream(streams, "h264", 320, 240)) << Describe(streams);
  EXPECT_TRUE(HasStream(streams, "aac")) << Describe(streams);
}

}  // namespace
}  // namespace corvalind::testing

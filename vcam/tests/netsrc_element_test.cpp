// corvalindnetsrc as a black box in a pipeline, fed by a transmitter
// written here with plain sockets on the loopback: the frames it pushes
// (turned top-down, rows padded as GStreamer lays them out), connections
// that end or go out of step, what it counts, bind errors, and stopping
// while it waits for the network.
#include <arpa/inet.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <lzo/lzo1x.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_support/test_home.h"
#include "vcam/tests/vcam_test_support.h"

namespace corvalind {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::PatternFrame;

// --- The transmitter's side, written from the wire format alone. ---

void Put32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes PacketOf(const Bytes& frame, std::size_t offset, std::size_t length, bool compressed) {
  Bytes out;
  if (!compressed) {
    Put32(out, static_cast<uint32_t>(offset));
    Put32(out, static_cast<uint32_t>(length));
    out.insert(out.end(), frame.begin() + offset, frame.begin() + offset + length);
    return out;
  }
  static const bool ready = lzo_init() == LZO_E_OK;
  EXPECT_TRUE(ready);
  std::vector<uint8_t> work(LZO1X_1_MEM_COMPRESS);
  Bytes packed(length + length / 16 + 67);
  lzo_uint packedSize = packed.size();
  EXPECT_EQ(lzo1x_1_compress(frame.data() + offset, length, packed.data(), &packedSize, work.data()), LZO_E_OK);
  Put32(out, static_cast<uint32_t>(offset) + 2000000000u);
  Put32(out, static_cast<uint32_t>(packedSize));
  out.insert(out.end(), packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(packedSize));
  return out;
}

// The frame cut into pieces of `pieceBytes`, every other one compressed.
std::vector<Bytes> PacketsOf(const Bytes& frame, std::size_t pieceBytes) {
  std::vector<Bytes> packets;
  bool compressed = false;
  for (std::size_t at = 0; at < frame.size(); at += pieceBytes) {
    packets.push_back(PacketOf(frame, at, std::min(pieceBytes, frame.size() - at), compressed));
    compressed = !compressed;
  }
  return packets;
}

const Bytes kEnd{'E', 'N', 'D'};

sockaddr_storage Loopback(int family, int port, socklen_t* length) {
  sockaddr_storage where{};
  if (family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&where);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    a->sin6_port = htons(static_cast<uint16_t>(port));
    *length = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&where);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a->sin_port = htons(static_cast<uint16_t>(port));
    *length = sizeof *a;
  }
  return where;
}

struct Socket {
  int fd = -1;
  Socket() = default;
  explicit Socket(int f) : fd(f) {}
  Socket(Socket&& o) noexcept : fd(o.fd) { o.fd = -1; }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  Socket& operator=(Socket&& o) noexcept {
    std::swap(fd, o.fd);
    return *this;
  }
  ~Socket() {
    if (fd >= 0) close(fd);
  }
};

Socket ConnectTcp(int family, int port) {
  Socket s(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  socklen_t length = 0;
  const sockaddr_storage where = Loopback(family, port, &length);
  EXPECT_EQ(connect(s.fd, reinterpret_cast<const sockaddr*>(&where), length), 0) << std::strerror(errno);
  return s;
}

bool SendAll(int fd, const Bytes& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void SendFrameTcp(int fd, const Bytes& frame) {
  Bytes stream;
  for (const Bytes& p : PacketsOf(frame, 63992)) stream.insert(stream.end(), p.begin(), p.end());
  EXPECT_TRUE(SendAll(fd, stream));
}

void SendDatagrams(int family, int port, const std::vector<Bytes>& datagrams) {
  Socket s(socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  socklen_t length = 0;
  const sockaddr_storage where = Loopback(family, port, &length);
  for (const Bytes& d : datagrams) {
    EXPECT_EQ(sendto(s.fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&where), length),
              static_cast<ssize_t>(d.size()));
  }
}

// True once the peer closed `fd` (end of file or a reset) within 10 s.
bool PeerClosed(int fd) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      char c;
      const ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return true;
    }
  }
  return false;
}

bool HasIpv6Loopback() {
  Socket s(socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (s.fd < 0) return false;
  socklen_t length = 0;
  const sockaddr_storage where = Loopback(AF_INET6, 0, &length);
  return bind(s.fd, reinterpret_cast<const sockaddr*>(&where), length) == 0;
}

// --- The receiving pipeline. ---

struct Sample {
  Bytes bytes;
  std::string caps;
  GstClockTime pts = GST_CLOCK_TIME_NONE;
};

// "corvalindnetsrc ... ! appsink". The appsink's callback copies each
// sample on the streaming thread and hands it over under the test's own
// lock, which the race detector sees.
class Receiver {
 public:
  explicit Receiver(const std::string& properties) {
    GError* error = nullptr;
    const std::string description =
        "corvalindnetsrc name=src " + properties + " ! appsink name=sink sync=false";
    pipeline_ = gst_parse_launch(description.c_str(), &error);
    if (error) {
      ADD_FAILURE() << error->message;
      g_error_free(error);
    }
    src_ = gst_bin_get_by_name(GST_BIN(pipeline_), "src");
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline_), "sink");
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = &Receiver::OnNewSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, this, nullptr);
    gst_object_unref(sink);
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() {
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    gst_object_unref(src_);
    gst_object_unref(pipeline_);
  }

  bool Play() { return gst_element_set_state(pipeline_, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE; }

  int BoundPort() {
    int port = 0;
    g_object_get(src_, "bound-port", &port, nullptr);
    return port;
  }
  guint64 Counter(const char* name) {
    guint64 value = 0;
    g_object_get(src_, name, &value, nullptr);
    return value;
  }

  bool Negotiated() {
    GstPad* pad = gst_element_get_static_pad(src_, "src");
    const bool has = gst_pad_has_current_caps(pad);
    gst_object_unref(pad);
    return has;
  }

  // The next sample; false when none came within 10 seconds.
  bool Pull(Sample* out) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!arrived_.wait_for(lock, std::chrono::seconds(10), [this] { return !samples_.empty(); })) return false;
    *out = std::move(samples_.front());
    samples_.pop_front();
    return true;
  }

  // The text of the first error on the bus ("" when none within 5 s).
  std::string Error() {
    GstBus* bus = gst_element_get_bus(pipeline_);
    GstMessage* message = gst_bus_timed_pop_filtered(bus, 5 * GST_SECOND, GST_MESSAGE_ERROR);
    std::string text;
    if (message) {
      GError* error = nullptr;
      gst_message_parse_error(message, &error, nullptr);
      text = error ? error->message : "?";
      if (error) g_error_free(error);
      gst_message_unref(message);
    }
    gst_object_unref(bus);
    return text;
  }

  GstElement* pipeline_ = nullptr;

 private:
  static GstFlowReturn OnNewSample(GstAppSink* sink, gpointer data) {
    auto* self = static_cast<Receiver*>(data);
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (!sample) return GST_FLOW_ERROR;
    Sample copy;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstMapInfo map;
    if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
      copy.bytes.assign(map.data, map.data + map.size);
      gst_buffer_unmap(buffer, &map);
    }
    copy.pts = GST_BUFFER_PTS(buffer);
    if (GstCaps* caps = gst_sample_get_caps(sample)) {
      gchar* text = gst_caps_to_string(caps);
      copy.caps = text;
      g_free(text);
    }
    gst_sample_unref(sample);
    {
      std::lock_guard<std::mutex> guard(self->mutex_);
      self->samples_.push_back(std::move(copy));
    }
    self->arrived_.notify_all();
    return GST_FLOW_OK;
  }

  GstElement* src_ = nullptr;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<Sample> samples_;
};

std::string Properties(const char* protocol, const char* address, int width, int height) {
  return std::string("port=0 address=") + address + " protocol=" + protocol + " width=" + std::to_string(width) +
         " height=" + std::to_string(height);
}

// The sent bottom-up frame as a GStreamer BGR buffer: top row first, each
// row padded to a multiple of 4 bytes. Padding bytes are not compared.
void ExpectTopDown(const Sample& sample, const Bytes& bottomUp, int width, int height) {
  const std::size_t row = static_cast<std::size_t>(width) * 3;
  const std::size_t stride = (row + 3) / 4 * 4;
  ASSERT_EQ(sample.bytes.size(), stride * height);
  for (int y = 0; y < height; ++y) {
    const uint8_t* got = sample.bytes.data() + stride * y;
    const uint8_t* want = bottomUp.data() + row * (height - 1 - y);
    ASSERT_TRUE(std::equal(want, want + row, got)) << "row " << y;
  }
}

TEST(NetSrcElementTest, UdpFrameArrivesTurnedWithPaddedRows) {
  constexpr int kWidth = 33, kHeight = 10;  // 99-byte rows, padded to 100
  Receiver receiver(Properties("udp", "127.0.0.1", kWidth, kHeight) + " framerate=30/1");
  ASSERT_TRUE(receiver.Play());
  const int port = receiver.BoundPort();
  ASSERT_GT(port, 0);
  for (int seed : {1, 2}) {
    const Bytes frame = PatternFrame(kWidth, kHeight, seed);
    std::vector<Bytes> datagrams = PacketsOf(frame, 128);
    datagrams.push_back(kEnd);
    SendDatagrams(AF_INET, port, datagrams);
    Sample sample;
    ASSERT_TRUE(receiver.Pull(&sample));
    ExpectTopDown(sample, frame, kWidth, kHeight);
    EXPECT_NE(sample.caps.find("format=(string)BGR"), std::string::npos) << sample.caps;
    EXPECT_NE(sample.caps.find("width=(int)33"), std::string::npos) << sample.caps;
    EXPECT_NE(sample.caps.find("height=(int)10"), std::string::npos) << sample.caps;
    EXPECT_NE(sample.caps.find("framerate=(fraction)30/1"), std::string::npos) << sample.caps;
    EXPECT_TRUE(GST_CLOCK_TIME_IS_VALID(sample.pts));
  }
  EXPECT_EQ(receiver.Counter("frames-complete"), 2u);
  EXPECT_EQ(receiver.Counter("packets-dropped"), 0u);
}

// The second frame loses a piece and carries a hostile one: it still
// arrives, with the first frame's bytes in the gap, and is counted.
TEST(NetSrcElementTest, UdpFrameWithGapsKeepsThePreviousBytesAndIsCounted) {
  constexpr int kWidth = 17, kHeight = 8;
  Receiver receiver(Properties("udp", "127.0.0.1", kWidth, kHeight));
  ASSERT_TRUE(receiver.Play());
  const int port = receiver.BoundPort();
  const Bytes first = PatternFrame(kWidth, kHeight, 3), second = PatternFrame(kWidth, kHeight, 4);
  std::vector<Bytes> datagrams = PacketsOf(first, 100);
  datagrams.push_back(kEnd);
  SendDatagrams(AF_INET, port, datagrams);
  Sample sample;
  ASSERT_TRUE(receiver.Pull(&sample));

  datagrams = PacketsOf(second, 100);
  datagrams.erase(datagrams.begin() + 2);  // bytes 200 to 299 never arrive
  Bytes hostile;
  Put32(hostile, static_cast<uint32_t>(second.size()) - 1);
  Put32(hostile, 2);
  hostile.insert(hostile.end(), {0xaa, 0xbb});  // one byte past the end
  datagrams.insert(datagrams.begin() + 1, hostile);
  datagrams.push_back(kEnd);
  SendDatagrams(AF_INET, port, datagrams);
  ASSERT_TRUE(receiver.Pull(&sample));
  Bytes expected = second;
  std::copy(first.begin() + 200, first.begin() + 300, expected.begin() + 200);
  ExpectTopDown(sample, expected, kWidth, kHeight);
  EXPECT_EQ(receiver.Counter("frames-complete"), 1u);
  EXPECT_EQ(receiver.Counter("frames-incomplete"), 1u);
  EXPECT_EQ(receiver.Counter("packets-dropped"), 1u);
}

TEST(NetSrcElementTest, TcpFramesArriveTurnedWithPaddedRows) {
  constexpr int kWidth = 203, kHeight = 150;  // 609-byte rows, padded to 612; two pieces
  Receiver receiver(Properties("tcp", "127.0.0.1", kWidth, kHeight));
  ASSERT_TRUE(receiver.Play());
  Socket link = ConnectTcp(AF_INET, receiver.BoundPort());
  for (int seed : {5, 6, 7}) {
    const Bytes frame = PatternFrame(kWidth, kHeight, seed);
    SendFrameTcp(link.fd, frame);
    Sample sample;
    ASSERT_TRUE(receiver.Pull(&sample)) << seed;
    ExpectTopDown(sample, frame, kWidth, kHeight);
  }
  EXPECT_EQ(receiver.Counter("frames-complete"), 3u);
}

// A transmitter that leaves, then one whose stream is out of step (the
// element drops it), then a third: each is served in turn.
TEST(NetSrcElementTest, TcpServesTheNextConnectionAfterOneEndsOrGoesOutOfStep) {
  constexpr int kWidth = 31, kHeight = 20;
  Receiver receiver(Properties("tcp", "127.0.0.1", kWidth, kHeight));
  ASSERT_TRUE(receiver.Play());
  const int port = receiver.BoundPort();
  const Bytes a = PatternFrame(kWidth, kHeight, 8), b = PatternFrame(kWidth, kHeight, 9);
  Sample sample;
  {
    Socket first = ConnectTcp(AF_INET, port);
    SendFrameTcp(first.fd, a);
  }
  ASSERT_TRUE(receiver.Pull(&sample));
  ExpectTopDown(sample, a, kWidth, kHeight);

  Socket second = ConnectTcp(AF_INET, port);
  Bytes garbage;
  Put32(garbage, 0xfffffff0u);  // a compressed offset far past the frame
  Put32(garbage, 16);
  ASSERT_TRUE(SendAll(second.fd, garbage));
  EXPECT_TRUE(PeerClosed(second.fd));

  Socket third = ConnectTcp(AF_INET, port);
  SendFrameTcp(third.fd, b);
  ASSERT_TRUE(receiver.Pull(&sample));
  ExpectTopDown(sample, b, kWidth, kHeight);
  EXPECT_EQ(receiver.Counter("frames-complete"), 2u);
}

// A transmitter whose connection went silent without closing (its machine
// or studio died) does not hold the element: a new connection takes over.
TEST(NetSrcElementTest, TcpNewConnectionTakesOverFromASilentOne) {
  constexpr int kWidth = 31, kHeight = 20;
  Receiver receiver(Properties("tcp", "127.0.0.1", kWidth, kHeight));
  ASSERT_TRUE(receiver.Play());
  const int port = receiver.BoundPort();
  const Bytes a = PatternFrame(kWidth, kHeight, 10), b = PatternFrame(kWidth, kHeight, 11);
  Socket silent = ConnectTcp(AF_INET, port);
  SendFrameTcp(silent.fd, a);
  Sample sample;
  ASSERT_TRUE(receiver.Pull(&sample));
  ExpectTopDown(sample, a, kWidth, kHeight);
  // The first connection stays open and sends nothing more.
  Socket next = ConnectTcp(AF_INET, port);
  SendFrameTcp(next.fd, b);
  ASSERT_TRUE(receiver.Pull(&sample));
  ExpectTopDown(sample, b, kWidth, kHeight);
  EXPECT_TRUE(PeerClosed(silent.fd));
}

TEST(NetSrcElementTest, Ipv6LoopbackOverUdpAndTcp) {
  if (!HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback on this machine";
  constexpr int kWidth = 13, kHeight = 6;
  for (const char* protocol : {"udp", "tcp"}) {
    SCOPED_TRACE(protocol);
    Receiver receiver(Properties(protocol, "::1", kWidth, kHeight));
    ASSERT_TRUE(receiver.Play());
    const Bytes frame = PatternFrame(kWidth, kHeight, 10);
    Socket link;
    if (std::string(protocol) == "udp") {
      std::vector<Bytes> datagrams = PacketsOf(frame, 64);
      datagrams.push_back(kEnd);
      SendDatagrams(AF_INET6, receiver.BoundPort(), datagrams);
    } else {
      link = ConnectTcp(AF_INET6, receiver.BoundPort());
      SendFrameTcp(link.fd, frame);
    }
    Sample sample;
    ASSERT_TRUE(receiver.Pull(&sample));
    ExpectTopDown(sample, frame, kWidth, kHeight);
  }
}

// Stopping must not wait for the network: with nothing arriving, the state
// change to NULL returns well within the deadline.
TEST(NetSrcElementTest, StopsPromptlyWhileNothingArrives) {
  struct Case {
    const char* what;
    const char* protocol;
    bool connect;
  };
  for (const Case& c : {Case{"udp", "udp", false}, Case{"tcp waiting for a connection", "tcp", false},
                        Case{"tcp with an idle connection", "tcp", true}}) {
    SCOPED_TRACE(c.what);
    Receiver receiver(Properties(c.protocol, "127.0.0.1", 16, 16));
    ASSERT_TRUE(receiver.Play());
    // Negotiated: the streaming thread is past its caps and waiting for
    // a frame.
    ASSERT_TRUE(testing::WaitFor([&] { return receiver.Negotiated(); }));
    Socket link;
    if (c.connect) link = ConnectTcp(AF_INET, receiver.BoundPort());
    auto stopped = std::make_shared<std::promise<GstStateChangeReturn>>();
    std::future<GstStateChangeReturn> result = stopped->get_future();
    std::thread stopper([pipeline = receiver.pipeline_, stopped] {
      stopped->set_value(gst_element_set_state(pipeline, GST_STATE_NULL));
    });
    if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << "the state change to NULL did not return within 5 s";
      // Unstick the element with traffic so the test can end.
      const int port = receiver.BoundPort();
      if (std::string(c.protocol) == "udp") {
        SendDatagrams(AF_INET, port, {Bytes{1}});
      } else if (c.connect) {
        SendAll(link.fd, Bytes{1});
      } else {
        link = ConnectTcp(AF_INET, port);
      }
      if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        stopper.detach();
        FAIL() << "the element stays stuck";
      }
    }
    stopper.join();
    EXPECT_EQ(result.get(), GST_STATE_CHANGE_SUCCESS);
    EXPECT_EQ(receiver.BoundPort(), 0);
  }
}

TEST(NetSrcElementTest, BindErrorsBecomeElementErrorsNamingTheCause) {
  // A port this test holds on the loopback, over both protocols.
  Socket heldUdp(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  socklen_t length = 0;
  sockaddr_storage where = Loopback(AF_INET, 0, &length);
  ASSERT_EQ(bind(heldUdp.fd, reinterpret_cast<const sockaddr*>(&where), length), 0);
  ASSERT_EQ(getsockname(heldUdp.fd, reinterpret_cast<sockaddr*>(&where), &length), 0);
  const int udpPort = ntohs(reinterpret_cast<sockaddr_in*>(&where)->sin_port);
  Socket heldTcp(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  where = Loopback(AF_INET, 0, &length);
  ASSERT_EQ(bind(heldTcp.fd, reinterpret_cast<const sockaddr*>(&where), length), 0);
  ASSERT_EQ(listen(heldTcp.fd, 1), 0);
  ASSERT_EQ(getsockname(heldTcp.fd, reinterpret_cast<sockaddr*>(&where), &length), 0);
  const int tcpPort = ntohs(reinterpret_cast<sockaddr_in*>(&where)->sin_port);

  struct Case {
    std::string properties;
    std::string mentions;
  };
  const Case cases[] = {
      {"protocol=udp address=127.0.0.1 port=" + std::to_string(udpPort), std::to_string(udpPort)},
      {"protocol=tcp address=127.0.0.1 port=" + std::to_string(tcpPort), std::to_string(tcpPort)},
      {"protocol=udp address=not-an-address port=0", "not-an-address"},
      {"protocol=tcp address=127.0.0.300 port=0", "127.0.0.300"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.properties);
    Receiver receiver(c.properties + " width=16 height=16");
    EXPECT_FALSE(receiver.Play());
    const std::string error = receiver.Error();
    EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace corvalind

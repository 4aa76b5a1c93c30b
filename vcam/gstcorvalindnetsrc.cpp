/**
 * SECTION:element-corvalindnetsrc
 * @title: corvalindnetsrc
 *
 * The program picture sent by the studio's network transmitter. The
 * element listens on one port, over UDP (one datagram per packet, "END"
 * after each frame) or TCP (one connection at a time; when it closes or
 * turns out of step the next one is accepted), puts each frame together
 * and pushes it as BGR at the configured size the moment it is finished.
 * Packets that do not fit the frame are dropped and counted; parts of a
 * frame that never arrived keep the previous frame's pixels.
 *
 * ## Example launch line
 * |[
 * gst-launch-1.0 corvalindnetsrc protocol=tcp width=1280 height=720 ! videoconvert ! autovideosink
 * ]|
 */
#include "vcam/gstcorvalindnetsrc.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gst/video/video.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/frame_packet.h"
#include "vcam/net_frame_assembler.h"

GST_DEBUG_CATEGORY_STATIC(gst_corvalind_net_src_debug);
#define GST_CAT_DEFAULT gst_corvalind_net_src_debug

namespace {

constexpr int kDefaultWidth = 640;
constexpr int kDefaultHeight = 480;
constexpr int kReceiveBufferBytes = 8 * 1024 * 1024;
constexpr std::size_t kDatagramBatch = 16;
constexpr std::size_t kDatagramBytes = 65536;  // above the largest UDP payload
constexpr std::size_t kStreamChunkBytes = 256 * 1024;

struct NetConfig {
  int port = corvalind::kDefaultNetworkPort;
  GstCorvalindNetProtocol protocol = GST_CORVALIND_NET_PROTOCOL_UDP;
  std::string address;
  int width = kDefaultWidth;
  int height = kDefaultHeight;
  int fpsN = 25;
  int fpsD = 1;
};

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

struct NetState {
  // The properties; start() takes a copy, so changes reach the next start.
  std::mutex lock;
  NetConfig config;

  // Read by property calls from any thread.
  std::atomic<bool> started{false};
  std::atomic<int> boundPort{0};
  std::atomic<guint64> framesComplete{0};
  std::atomic<guint64> framesIncomplete{0};
  std::atomic<guint64> packetsDropped{0};

  // Set by unlock() from any thread; the wake-up descriptor makes a
  // waiting create() return at once.
  std::atomic<bool> flushing{false};
  int wakeFd = -1;

  // The streaming side: start(), stop(), set_caps() and create(), never at
  // once; the lock makes that order visible to the race detector, which
  // cannot see GLib's own locks. Nothing else takes it, so create() may
  // wait for the network holding it.
  std::mutex streamLock;
  NetConfig running;
  GstVideoInfo info;
  int socketFd = -1;      // the UDP socket or the TCP listener
  int connectionFd = -1;  // the TCP transmitter
  std::unique_ptr<corvalind::NetFrameAssembler> assembler;
  std::vector<uint8_t> receiveBytes;
  std::vector<mmsghdr> messages;
  std::vector<iovec> vectors;
  std::size_t batchCount = 0;
  std::size_t batchNext = 0;
  std::size_t streamPos = 0;
  std::size_t streamEnd = 0;
  guint64 frames = 0;

  void PublishCounters() {
    framesComplete.store(assembler->FramesComplete(), std::memory_order_relaxed);
    framesIncomplete.store(assembler->FramesIncomplete(), std::memory_order_relaxed);
    packetsDropped.store(assembler->PacketsDropped(), std::memory_order_relaxed);
  }
};

// Binds a socket of `type` to `address` (a numeric IPv4 or IPv6 address;
// empty means every address, IPv6 and IPv4 on one socket where the system
// has IPv6) and `port`. Returns the descriptor, or -1 with `*error` set.
int BindSocket(const std::string& address, int port, int type, std::string* error) {
  sockaddr_storage where{};
  socklen_t whereLength = 0;
  int fd = -1;
  if (address.empty()) {
    fd = socket(AF_INET6, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0) {
      const int off = 0;
      setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
      auto* any6 = reinterpret_cast<sockaddr_in6*>(&where);
      any6->sin6_family = AF_INET6;
      any6->sin6_addr = in6addr_any;
      any6->sin6_port = htons(static_cast<uint16_t>(port));
      whereLength = sizeof *any6;
      if (type == SOCK_STREAM) {
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
      }
      if (bind(fd, reinterpret_cast<sockaddr*>(&where), whereLength) == 0) return fd;
      const int why = errno;
      CloseFd(fd);
      if (why != EADDRNOTAVAIL && why != EAFNOSUPPORT) {
        *error = std::string("cannot bind port ") + std::to_string(port) + ": " + std::strerror(why);
        return -1;
      }
    } else if (errno != EAFNOSUPPORT) {
      *error = std::string("cannot make a socket: ") + std::strerror(errno);
      return -1;
    }
    // No IPv6 here: every IPv4 address.
    where = {};
    auto* any4 = reinterpret_cast<sockaddr_in*>(&where);
    any4->sin_family = AF_INET;
    any4->sin_addr.s_addr = htonl(INADDR_ANY);
    any4->sin_port = htons(static_cast<uint16_t>(port));
    whereLength = sizeof *any4;
  } else {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = type;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int status = getaddrinfo(address.c_str(), service.c_str(), &hints, &found);
    if (status != 0 || !found) {
      *error = "'" + address + "' is not an IPv4 or IPv6 address";
      if (found) freeaddrinfo(found);
      return -1;
    }
    std::memcpy(&where, found->ai_addr, found->ai_addrlen);
    whereLength = found->ai_addrlen;
    freeaddrinfo(found);
  }
  fd = socket(where.ss_family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *error = std::string("cannot make a socket: ") + std::strerror(errno);
    return -1;
  }
  if (where.ss_family == AF_INET6) {
    const int on = 1;  // a given IPv6 address is that address only
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  }
  if (type == SOCK_STREAM) {
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&where), whereLength) != 0) {
    *error = std::string("cannot bind ") + (address.empty() ? "port " : address + " port ") +
             std::to_string(port) + ": " + std::strerror(errno);
    CloseFd(fd);
    return -1;
  }
  return fd;
}

int LocalPort(int fd) {
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  if (local.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
  if (local.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
  return 0;
}

GstCaps* CapsFor(const NetConfig& c) {
  return gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGR", "width", G_TYPE_INT, c.width,
                             "height", G_TYPE_INT, c.height, "framerate", GST_TYPE_FRACTION, c.fpsN, c.fpsD,
                             nullptr);
}

}  // namespace

struct _GstCorvalindNetSrc {
  GstPushSrc parent;
  NetState* state;
};

G_DEFINE_TYPE(GstCorvalindNetSrc, gst_corvalind_net_src, GST_TYPE_PUSH_SRC)

GType gst_corvalind_net_protocol_get_type(void) {
  static gsize type = 0;
  static const GEnumValue values[] = {
      {GST_CORVALIND_NET_PROTOCOL_UDP, "UDP: one datagram per packet, END after each frame", "udp"},
      {GST_CORVALIND_NET_PROTOCOL_TCP, "TCP: one stream of packets", "tcp"},
      {0, nullptr, nullptr},
  };
  if (g_once_init_enter(&type)) {
    const GType registered = g_enum_register_static("GstCorvalindNetProtocol", values);
    g_once_init_leave(&type, registered);
  }
  return type;
}

enum {
  PROP_0,
  PROP_PORT,
  PROP_PROTOCOL,
  PROP_ADDRESS,
  PROP_WIDTH,
  PROP_HEIGHT,
  PROP_FRAMERATE,
  PROP_BOUND_PORT,
  PROP_FRAMES_COMPLETE,
  PROP_FRAMES_INCOMPLETE,
  PROP_PACKETS_DROPPED,
};

static GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-raw, format = (string) BGR, width = (int) [ 1, 16384 ], "
                    "height = (int) [ 1, 16384 ], framerate = (fraction) [ 0/1, 1000/1 ]"));

static void gst_corvalind_net_src_init(GstCorvalindNetSrc* self) {
  gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
  gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
  gst_base_src_set_do_timestamp(GST_BASE_SRC(self), TRUE);
  self->state = new NetState();
  self->state->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  gst_video_info_init(&self->state->info);
}

static void gst_corvalind_net_src_finalize(GObject* object) {
  GstCorvalindNetSrc* self = GST_CORVALIND_NET_SRC(object);
  {
    // The last reference may go on any thread (a streaming thread's pool,
    // for one): taking the locks that start() and stop() hold orders this
    // after them for the race detector, which cannot see GLib's reference
    // counting.
    std::lock_guard<std::mutex> stream(self->state->streamLock);
    std::lock_guard<std::mutex> guard(self->state->lock);
    CloseFd(self->state->connectionFd);
    CloseFd(self->state->socketFd);
    CloseFd(self->state->wakeFd);
  }
  delete self->state;
  self->state = nullptr;
  G_OBJECT_CLASS(gst_corvalind_net_src_parent_class)->finalize(object);
}

static void gst_corvalind_net_src_set_property(GObject* object, guint id, const GValue* value,
                                               GParamSpec* pspec) {
  NetState& state = *GST_CORVALIND_NET_SRC(object)->state;
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.started.load()) {
    GST_WARNING_OBJECT(object, "'%s' changes only while the element is stopped", pspec->name);
    return;
  }
  NetConfig& c = state.config;
  switch (id) {
    case PROP_PORT:
      c.port = g_value_get_int(value);
      break;
    case PROP_PROTOCOL:
      c.protocol = static_cast<GstCorvalindNetProtocol>(g_value_get_enum(value));
      break;
    case PROP_ADDRESS: {
      const gchar* text = g_value_get_string(value);
      c.address = text ? text : "";
      break;
    }
    case PROP_WIDTH:
      c.width = g_value_get_int(value);
      break;
    case PROP_HEIGHT:
      c.height = g_value_get_int(value);
      break;
    case PROP_FRAMERATE:
      c.fpsN = gst_value_get_fraction_numerator(value);
      c.fpsD = gst_value_get_fraction_denominator(value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
}

static void gst_corvalind_net_src_get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
  NetState& state = *GST_CORVALIND_NET_SRC(object)->state;
  switch (id) {
    case PROP_BOUND_PORT:
      g_value_set_int(value, state.boundPort.load());
      return;
    case PROP_FRAMES_COMPLETE:
      g_value_set_uint64(value, state.framesComplete.load(std::memory_order_relaxed));
      return;
    case PROP_FRAMES_INCOMPLETE:
      g_value_set_uint64(value, state.framesIncomplete.load(std::memory_order_relaxed));
      return;
    case PROP_PACKETS_DROPPED:
      g_value_set_uint64(value, state.packetsDropped.load(std::memory_order_relaxed));
      return;
    default:
      break;
  }
  std::lock_guard<std::mutex> guard(state.lock);
  const NetConfig& c = state.config;
  switch (id) {
    case PROP_PORT:
      g_value_set_int(value, c.port);
      break;
    case PROP_PROTOCOL:
      g_value_set_enum(value, c.protocol);
      break;
    case PROP_ADDRESS:
      g_value_set_string(value, c.address.c_str());
      break;
    case PROP_WIDTH:
      g_value_set_int(value, c.width);
      break;
    case PROP_HEIGHT:
      g_value_set_int(value, c.height);
      break;
    case PROP_FRAMERATE:
      gst_value_set_fraction(value, c.fpsN, c.fpsD);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
}

static GstCaps* gst_corvalind_net_src_get_caps(GstBaseSrc* src, GstCaps* filter) {
  NetState& state = *GST_CORVALIND_NET_SRC(src)->state;
  GstCaps* caps = nullptr;
  {
    std::lock_guard<std::mutex> guard(state.lock);
    caps = CapsFor(state.config);
  }
  if (filter) {
    GstCaps* both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
    gst_caps_unref(caps);
    caps = both;
  }
  return caps;
}

static gboolean gst_corvalind_net_src_set_caps(GstBaseSrc* src, GstCaps* caps) {
  NetState& state = *GST_CORVALIND_NET_SRC(src)->state;
  GstVideoInfo info;
  if (!gst_video_info_from_caps(&info, caps)) return FALSE;
  std::lock_guard<std::mutex> stream(state.streamLock);
  // Only the configured picture: the frames arrive at exactly that size.
  if (GST_VIDEO_INFO_FORMAT(&info) != GST_VIDEO_FORMAT_BGR || GST_VIDEO_INFO_WIDTH(&info) != state.running.width ||
      GST_VIDEO_INFO_HEIGHT(&info) != state.running.height) {
    return FALSE;
  }
  state.info = info;
  return TRUE;
}

static gboolean gst_corvalind_net_src_start(GstBaseSrc* src) {
  GstCorvalindNetSrc* self = GST_CORVALIND_NET_SRC(src);
  NetState& state = *self->state;
  std::lock_guard<std::mutex> stream(state.streamLock);
  {
    // From here on property changes are refused until stop().
    std::lock_guard<std::mutex> guard(state.lock);
    state.running = state.config;
    state.started = true;
  }
  const NetConfig& c = state.running;
  if (state.wakeFd < 0) {
    GST_ELEMENT_ERROR(self, RESOURCE, FAILED, ("Cannot make the wake-up descriptor."), (nullptr));
    state.started = false;
    return FALSE;
  }
  const bool tcp = c.protocol == GST_CORVALIND_NET_PROTOCOL_TCP;
  std::string error;
  state.socketFd = BindSocket(c.address, c.port, tcp ? SOCK_STREAM : SOCK_DGRAM, &error);
  if (state.socketFd >= 0 && tcp && listen(state.socketFd, 4) != 0) {
    error = std::string("cannot listen: ") + std::strerror(errno);
    CloseFd(state.socketFd);
  }
  if (state.socketFd < 0) {
    GST_ELEMENT_ERROR(self, RESOURCE, OPEN_READ,
                      ("Cannot receive the network feed over %s: %s.", tcp ? "TCP" : "UDP", error.c_str()),
                      ("address '%s', port %d", c.address.c_str(), c.port));
    state.started = false;
    return FALSE;
  }
  if (!tcp) {
    // Frames arrive in bursts of datagrams; the kernel may grant less.
    const int wanted = kReceiveBufferBytes;
    setsockopt(state.socketFd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
    int granted = 0;
    socklen_t length = sizeof granted;
    getsockopt(state.socketFd, SOL_SOCKET, SO_RCVBUF, &granted, &length);
    GST_INFO_OBJECT(self, "receive buffer: asked %d bytes, got %d", wanted, granted);
  }
  state.boundPort = LocalPort(state.socketFd);
  GST_INFO_OBJECT(self, "listening on %s port %d over %s", c.address.empty() ? "every address" : c.address.c_str(),
                  state.boundPort.load(), tcp ? "TCP" : "UDP");

  const std::size_t frameBytes = static_cast<std::size_t>(c.width) * c.height * 3;
  state.assembler = std::make_unique<corvalind::NetFrameAssembler>(frameBytes);
  if (tcp) {
    state.receiveBytes.assign(kStreamChunkBytes, 0);
  } else {
    state.receiveBytes.assign(kDatagramBatch * kDatagramBytes, 0);
    state.messages.assign(kDatagramBatch, mmsghdr{});
    state.vectors.assign(kDatagramBatch, iovec{});
    for (std::size_t i = 0; i < kDatagramBatch; ++i) {
      state.vectors[i].iov_base = state.receiveBytes.data() + i * kDatagramBytes;
      state.vectors[i].iov_len = kDatagramBytes;
      state.messages[i].msg_hdr.msg_iov = &state.vectors[i];
      state.messages[i].msg_hdr.msg_iovlen = 1;
    }
  }
  state.batchCount = state.batchNext = 0;
  state.streamPos = state.streamEnd = 0;
  state.frames = 0;
  state.PublishCounters();
  return TRUE;
}

static gboolean gst_corvalind_net_src_stop(GstBaseSrc* src) {
  NetState& state = *GST_CORVALIND_NET_SRC(src)->state;
  std::lock_guard<std::mutex> stream(state.streamLock);
  CloseFd(state.connectionFd);
  CloseFd(state.socketFd);
  state.assembler.reset();
  state.receiveBytes = {};
  state.messages = {};
  state.vectors = {};
  state.boundPort = 0;
  std::lock_guard<std::mutex> guard(state.lock);
  state.started = false;
  return TRUE;
}

static gboolean gst_corvalind_net_src_query(GstBaseSrc* src, GstQuery* query) {
  if (GST_QUERY_TYPE(query) == GST_QUERY_LATENCY) {
    // A live source: a frame is pushed once its last packet is in, up to
    // one frame interval after it began.
    NetState& state = *GST_CORVALIND_NET_SRC(src)->state;
    GstClockTime frame = 0;
    {
      std::lock_guard<std::mutex> guard(state.lock);
      if (state.config.fpsN > 0) frame = gst_util_uint64_scale_int(GST_SECOND, state.config.fpsD, state.config.fpsN);
    }
    gst_query_set_latency(query, TRUE, frame, frame);
    return TRUE;
  }
  return GST_BASE_SRC_CLASS(gst_corvalind_net_src_parent_class)->query(src, query);
}

static gboolean gst_corvalind_net_src_unlock(GstBaseSrc* src) {
  NetState& state = *GST_CORVALIND_NET_SRC(src)->state;
  state.flushing = true;
  const uint64_t one = 1;
  if (write(state.wakeFd, &one, sizeof one) < 0 && errno != EAGAIN) {
    GST_WARNING_OBJECT(src, "cannot wake the streaming thread: %s", std::strerror(errno));
  }
  return TRUE;
}

static gboolean gst_corvalind_net_src_unlock_stop(GstBaseSrc* src) {
  NetState& state = *GST_CORVALIND_NET_SRC(src)->state;
  uint64_t count = 0;
  while (read(state.wakeFd, &count, sizeof count) > 0) {
  }
  state.flushing = false;
  return TRUE;
}

// Feeds the datagrams of the last batch not fed yet; true when one of them
// finished a frame.
static bool FeedDatagrams(NetState& state) {
  bool done = false;
  while (!done && state.batchNext < state.batchCount) {
    const std::size_t i = state.batchNext++;
    done = state.assembler->TakeDatagram(static_cast<const uint8_t*>(state.vectors[i].iov_base),
                                         state.messages[i].msg_len) ==
           corvalind::NetFrameAssembler::DatagramResult::kFrameDone;
  }
  state.PublishCounters();
  return done;
}

static void DropConnection(NetState& state) {
  CloseFd(state.connectionFd);
  state.streamPos = state.streamEnd = 0;
  state.assembler->ResetStream();
}

// Feeds the stream bytes read and not fed yet; true when they finished a
// frame. A stream out of step loses its connection.
static bool FeedStream(GstCorvalindNetSrc* self, NetState& state) {
  using Event = corvalind::NetFrameAssembler::StreamEvent;
  while (state.streamPos < state.streamEnd) {
    const auto step = state.assembler->TakeStream(state.receiveBytes.data() + state.streamPos,
                                                  state.streamEnd - state.streamPos);
    state.streamPos += step.consumed;
    if (step.event == Event::kFrameDone) {
      state.PublishCounters();
      return true;
    }
    if (step.event == Event::kCorrupt) {
      GST_WARNING_OBJECT(self, "the transmitter's stream is out of step; dropping its connection");
      DropConnection(state);
    }
  }
  state.PublishCounters();
  return false;
}

// Reads what the socket has; false on an error that ends streaming.
static bool Receive(GstCorvalindNetSrc* self, NetState& state) {
  if (state.running.protocol == GST_CORVALIND_NET_PROTOCOL_UDP) {
    const int got = recvmmsg(state.socketFd, state.messages.data(), static_cast<unsigned>(kDatagramBatch),
                             MSG_DONTWAIT, nullptr);
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNREFUSED) return true;
      GST_ELEMENT_ERROR(self, RESOURCE, READ, ("Cannot read the network feed."),
                        ("recvmmsg: %s", std::strerror(errno)));
      return false;
    }
    state.batchCount = static_cast<std::size_t>(got);
    state.batchNext = 0;
    return true;
  }
  if (state.connectionFd < 0) {
    const int fd = accept4(state.socketFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) return true;
      GST_ELEMENT_ERROR(self, RESOURCE, READ, ("Cannot accept the transmitter's connection."),
                        ("accept: %s", std::strerror(errno)));
      return false;
    }
    GST_INFO_OBJECT(self, "transmitter connected");
    state.connectionFd = fd;
    state.assembler->ResetStream();
    return true;
  }
  const ssize_t got = recv(state.connectionFd, state.receiveBytes.data(), state.receiveBytes.size(), MSG_DONTWAIT);
  if (got > 0) {
    state.streamPos = 0;
    state.streamEnd = static_cast<std::size_t>(got);
  } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
    GST_INFO_OBJECT(self, "transmitter gone (%s)", got == 0 ? "closed" : std::strerror(errno));
    DropConnection(state);
  }
  return true;
}

// Turns the finished bottom-up frame into a top-down buffer, one row copy
// each, honouring the negotiated strides.
static GstFlowReturn Deliver(GstCorvalindNetSrc* self, NetState& state, GstBuffer** out) {
  GstBuffer* buffer = nullptr;
  const GstFlowReturn ret = GST_BASE_SRC_CLASS(gst_corvalind_net_src_parent_class)
                                ->alloc(GST_BASE_SRC(self), GST_BUFFER_OFFSET_NONE,
                                        static_cast<guint>(GST_VIDEO_INFO_SIZE(&state.info)), &buffer);
  if (ret != GST_FLOW_OK) return ret;
  GstVideoFrame frame;
  if (!gst_video_frame_map(&frame, &state.info, buffer, GST_MAP_WRITE)) {
    gst_buffer_unref(buffer);
    GST_ELEMENT_ERROR(self, RESOURCE, WRITE, ("Cannot write the picture buffer."), (nullptr));
    return GST_FLOW_ERROR;
  }
  const int width = state.running.width;
  const int height = state.running.height;
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
  auto* to = static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
  const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
  const uint8_t* from = state.assembler->Frame();
  for (int row = 0; row < height; ++row) {
    std::memcpy(to + static_cast<std::size_t>(row) * stride,
                from + static_cast<std::size_t>(height - 1 - row) * rowBytes, rowBytes);
  }
  gst_video_frame_unmap(&frame);
  if (state.running.fpsN > 0) {
    GST_BUFFER_DURATION(buffer) = gst_util_uint64_scale_int(GST_SECOND, state.running.fpsD, state.running.fpsN);
  }
  GST_BUFFER_OFFSET(buffer) = state.frames;
  GST_BUFFER_OFFSET_END(buffer) = state.frames + 1;
  ++state.frames;
  *out = buffer;
  return GST_FLOW_OK;
}

static GstFlowReturn gst_corvalind_net_src_create(GstPushSrc* src, GstBuffer** out) {
  GstCorvalindNetSrc* self = GST_CORVALIND_NET_SRC(src);
  NetState& state = *self->state;
  std::lock_guard<std::mutex> stream(state.streamLock);
  const bool udp = state.running.protocol == GST_CORVALIND_NET_PROTOCOL_UDP;
  for (;;) {
    if (state.flushing) return GST_FLOW_FLUSHING;
    if (udp ? FeedDatagrams(state) : FeedStream(self, state)) return Deliver(self, state, out);
    // Everything read is fed: wait for the socket or for unlock(). Over TCP
    // the listener is watched too while a connection is open: a transmitter
    // that connects anew (its studio restarted, or the old connection died
    // without a word) takes over from the old connection.
    const bool watchListener = !udp && state.connectionFd >= 0;
    pollfd waits[3] = {{udp || state.connectionFd < 0 ? state.socketFd : state.connectionFd, POLLIN, 0},
                       {state.wakeFd, POLLIN, 0},
                       {watchListener ? state.socketFd : -1, POLLIN, 0}};
    if (poll(waits, 3, -1) < 0) {
      if (errno == EINTR) continue;
      GST_ELEMENT_ERROR(self, RESOURCE, READ, ("Cannot wait for the network feed."),
                        ("poll: %s", std::strerror(errno)));
      return GST_FLOW_ERROR;
    }
    if (waits[1].revents) {
      if (state.flushing) return GST_FLOW_FLUSHING;
      uint64_t count = 0;  // a wake-up left from an earlier flush
      while (read(state.wakeFd, &count, sizeof count) > 0) {
      }
    }
    if (waits[0].revents && !Receive(self, state)) return GST_FLOW_ERROR;
    if (watchListener && waits[2].revents && state.connectionFd >= 0) {
      GST_INFO_OBJECT(self, "a new transmitter connection takes over");
      DropConnection(state);
      if (!Receive(self, state)) return GST_FLOW_ERROR;
    }
  }
}

static void gst_corvalind_net_src_class_init(GstCorvalindNetSrcClass* klass) {
  GObjectClass* object_class = G_OBJECT_CLASS(klass);
  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  GstBaseSrcClass* base_class = GST_BASE_SRC_CLASS(klass);
  GstPushSrcClass* push_class = GST_PUSH_SRC_CLASS(klass);

  object_class->finalize = gst_corvalind_net_src_finalize;
  object_class->set_property = gst_corvalind_net_src_set_property;
  object_class->get_property = gst_corvalind_net_src_get_property;

  const auto settable = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY);
  const auto readable = static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS);
  g_object_class_install_property(
      object_class, PROP_PORT,
      g_param_spec_int("port", "Port", "Port to listen on (0: the system chooses, see bound-port)", 0, 65535,
                       corvalind::kDefaultNetworkPort, settable));
  g_object_class_install_property(
      object_class, PROP_PROTOCOL,
      g_param_spec_enum("protocol", "Protocol", "How the transmitter sends the feed", GST_TYPE_CORVALIND_NET_PROTOCOL,
                        GST_CORVALIND_NET_PROTOCOL_UDP, settable));
  g_object_class_install_property(
      object_class, PROP_ADDRESS,
      g_param_spec_string("address", "Address",
                          "Local IPv4 or IPv6 address to listen on (empty: every address)", "", settable));
  g_object_class_install_property(
      object_class, PROP_WIDTH,
      g_param_spec_int("width", "Width", "Width of the transmitted picture", 1, 16384, kDefaultWidth, settable));
  g_object_class_install_property(
      object_class, PROP_HEIGHT,
      g_param_spec_int("height", "Height", "Height of the transmitted picture", 1, 16384, kDefaultHeight, settable));
  g_object_class_install_property(
      object_class, PROP_FRAMERATE,
      gst_param_spec_fraction("framerate", "Frame rate", "Frame rate the caps announce", 0, 1, 1000, 1, 25, 1,
                              settable));
  g_object_class_install_property(
      object_class, PROP_BOUND_PORT,
      g_param_spec_int("bound-port", "Bound port", "The port listened on while started (0 when stopped)", 0, 65535,
                       0, readable));
  g_object_class_install_property(
      object_class, PROP_FRAMES_COMPLETE,
      g_param_spec_uint64("frames-complete", "Frames complete", "Frames pushed with every byte received", 0,
                          G_MAXUINT64, 0, readable));
  g_object_class_install_property(
      object_class, PROP_FRAMES_INCOMPLETE,
      g_param_spec_uint64("frames-incomplete", "Frames incomplete",
                          "Frames pushed with gaps (the previous frame's bytes in them)", 0, G_MAXUINT64, 0,
                          readable));
  g_object_class_install_property(
      object_class, PROP_PACKETS_DROPPED,
      g_param_spec_uint64("packets-dropped", "Packets dropped", "Packets refused as malformed or not fitting the frame",
                          0, G_MAXUINT64, 0, readable));

  gst_element_class_set_static_metadata(element_class, "Corvalind network feed", "Source/Video/Network",
                                        "Receives the program picture from the studio's network transmitter",
                                        "Corvalind developers");
  gst_element_class_add_static_pad_template(element_class, &src_template);

  base_class->get_caps = gst_corvalind_net_src_get_caps;
  base_class->set_caps = gst_corvalind_net_src_set_caps;
  base_class->start = gst_corvalind_net_src_start;
  base_class->stop = gst_corvalind_net_src_stop;
  base_class->query = gst_corvalind_net_src_query;
  base_class->unlock = gst_corvalind_net_src_unlock;
  base_class->unlock_stop = gst_corvalind_net_src_unlock_stop;
  push_class->create = gst_corvalind_net_src_create;

  GST_DEBUG_CATEGORY_INIT(gst_corvalind_net_src_debug, "corvalindnetsrc", 0, "Corvalind network feed");
  gst_type_mark_as_plugin_api(GST_TYPE_CORVALIND_NET_PROTOCOL, static_cast<GstPluginAPIFlags>(0));
}

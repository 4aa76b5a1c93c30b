// The network feed at 1920 x 1080: LZO compression of one frame in the
// transmitter's pieces beside a plain copy of the same bytes, how many
// frames a second the transmitter gets onto loopback (raw and compressed,
// UDP and TCP, unpaced), and a paced session at 60 frames a second into the
// studio's receiver element, counting the frames it puts together whole.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <gst/gst.h>
#include <lzo/lzo1x.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "capture/network_transmitter.h"
#include "platform/output_block.h"

namespace {

using namespace corvalind;

constexpr uint32_t kWidth = 1920, kHeight = 1080;
constexpr uint32_t kFrameBytes = kWidth * kHeight * 3;

// A program-like picture: smooth gradients over most of it, a band of
// noise (a camera's grain), and flat black bars.
const std::vector<uint8_t>& ProgramPicture() {
  static const std::vector<uint8_t> picture = [] {
    std::vector<uint8_t> p(kFrameBytes);
    std::mt19937 random(11);
    for (uint32_t y = 0; y < kHeight; ++y) {
      for (uint32_t x = 0; x < kWidth; ++x) {
        uint8_t* px = &p[(static_cast<std::size_t>(y) * kWidth + x) * 3];
        if (y < 120 || y >= kHeight - 120) {
          px[0] = px[1] = px[2] = 0;
        } else if (y > 600 && y < 800) {
          px[0] = static_cast<uint8_t>(random());
          px[1] = static_cast<uint8_t>(random());
          px[2] = static_cast<uint8_t>(random());
        } else {
          px[0] = static_cast<uint8_t>(x * 255 / kWidth);
          px[1] = static_cast<uint8_t>(y * 255 / kHeight);
          px[2] = static_cast<uint8_t>((x + y) / 12);
        }
      }
    }
    return p;
  }();
  return picture;
}

class DropChannel : public PacketChannel {
 public:
  int Send(const uint8_t*, std::size_t size) override {
    bytes += size;
    return 0;
  }
  int SendEndOfFrame() override { return 0; }
  std::size_t bytes = 0;
};

// One frame compressed piece by piece, as the transmitter does (pieces of
// the UDP size 4096 and of TCP's 64000).
void BM_LzoCompressFrame(benchmark::State& state) {
  const uint32_t packetBytes = static_cast<uint32_t>(state.range(0));
  std::vector<uint8_t> buffer(kFrameBytes + 8);
  std::memcpy(buffer.data() + 8, ProgramPicture().data(), kFrameBytes);
  PacketCompressor compressor(kFrameBytes);
  DropChannel channel;
  std::atomic<bool> keepRunning{true};
  TransmitterCounters counters;
  for (auto _ : state) {
    SendFramePieces(buffer.data(), kFrameBytes, packetBytes, &compressor, channel, false, keepRunning, counters);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrameBytes);
  state.counters["ratio_%"] = counters.compressedBytes ? 100.0 * counters.rawBytes / counters.compressedBytes : 0;
}
BENCHMARK(BM_LzoCompressFrame)->Arg(4096)->Arg(64000)->Unit(benchmark::kMillisecond);

// The peer: a plain copy of the frame, the least any sender does.
void BM_MemcpyFrame(benchmark::State& state) {
  std::vector<uint8_t> out(kFrameBytes);
  for (auto _ : state) {
    std::memcpy(out.data(), ProgramPicture().data(), kFrameBytes);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrameBytes);
}
BENCHMARK(BM_MemcpyFrame)->Unit(benchmark::kMillisecond);

// A loopback peer that reads and drops everything (TCP: one connection).
class Drain {
 public:
  explicit Drain(bool tcp) : tcp_(tcp) {
    fd_ = socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    const int size = 16 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    if (tcp) listen(fd_, 1);
    thread_ = std::thread([this] { Run(); });
  }
  ~Drain() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  uint16_t Port() const { return port_; }
  uint64_t Bytes() const { return bytes_; }

 private:
  void Run() {
    int from = tcp_ ? -1 : fd_;
    std::vector<uint8_t> chunk(1 << 20);
    while (!stop_) {
      pollfd entry{from >= 0 ? from : fd_, POLLIN, 0};
      if (poll(&entry, 1, 20) <= 0) continue;
      if (from < 0) {
        from = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        continue;
      }
      const ssize_t got = recv(from, chunk.data(), chunk.size(), 0);
      if (got > 0) bytes_ += static_cast<uint64_t>(got);
    }
    if (tcp_ && from >= 0) close(from);
  }
  bool tcp_;
  int fd_;
  uint16_t port_ = 0;
  std::atomic<uint64_t> bytes_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Unpaced: frames a second the transmitter's cutting and sending reaches.
// Arguments: TCP (0/1), compress (0/1).
void BM_SendFramesLoopback(benchmark::State& state) {
  const bool tcp = state.range(0) != 0;
  const bool compress = state.range(1) != 0;
  Drain drain(tcp);
  const int fd = socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(drain.Port());
  const int sendBuffer = kSendBufferBytes;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer));
  if (tcp && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    state.SkipWithError("no connection");
    return;
  }
  class Channel : public PacketChannel {
   public:
    Channel(int fd, sockaddr_in to, bool tcp) : fd_(fd), to_(to), tcp_(tcp) {}
    int Send(const uint8_t* p, std::size_t n) override {
      while (n > 0) {
        const ssize_t sent = tcp_ ? send(fd_, p, n, MSG_NOSIGNAL)
                                  : sendto(fd_, p, n, 0, reinterpret_cast<sockaddr*>(&to_), sizeof(to_));
        if (sent < 0) return errno;
        p += sent;
        n -= static_cast<std::size_t>(sent);
      }
      return 0;
    }
    int SendEndOfFrame() override { return tcp_ ? 0 : Send(reinterpret_cast<const uint8_t*>("END"), 3); }

   private:
    int fd_;
    sockaddr_in to_;
    bool tcp_;
  } channel(fd, address, tcp);
  std::vector<uint8_t> buffer(kFrameBytes + 8);
  std::memcpy(buffer.data() + 8, ProgramPicture().data(), kFrameBytes);
  PacketCompressor compressor(kFrameBytes);
  std::atomic<bool> keepRunning{true};
  TransmitterCounters counters;
  const uint32_t packetBytes = tcp ? kTcpPacketBytes : kUdpMaxMessageIpv4;
  for (auto _ : state) {
    SendFramePieces(buffer.data(), kFrameBytes, packetBytes, compress ? &compressor : nullptr, channel, tcp,
                    keepRunning, counters);
    channel.SendEndOfFrame();
  }
  close(fd);
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrameBytes);
}
BENCHMARK(BM_SendFramesLoopback)
    ->ArgNames({"tcp", "compress"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A paced session as the studio runs it: the transmitter at 60 frames a
// second into corvalindnetsrc for 3 seconds; frames sent, received whole,
// and received with gaps. Arguments: TCP (0/1), compress (0/1).
void BM_PacedSessionIntoReceiver(benchmark::State& state) {
  const bool tcp = state.range(0) != 0;
  const bool compress = state.range(1) != 0;
  static bool initialised = false;
  if (!initialised) {
    setenv("GST_PLUGIN_PATH", CORVALIND_PLUGIN_DIR, 1);
    gst_init(nullptr, nullptr);
    initialised = true;
  }
  const std::string bufferName = "CorvalindNetBench_" + std::to_string(getpid());
  OutputBlock block;
  std::string reason;
  bool existed = false;
  if (!CreateOutputBlock(block, bufferName, kFrameBytes, &existed, &reason)) {
    state.SkipWithError(reason.c_str());
    return;
  }
  PublishPicture(block, ProgramPicture().data(), kFrameBytes, 1);
  const std::string description = std::string("corvalindnetsrc name=net port=0 address=127.0.0.1 protocol=") +
                                  (tcp ? "tcp" : "udp") + " width=1920 height=1080 framerate=60/1 ! fakesink";
  double sent = 0, whole = 0, gaps = 0, seconds = 0;
  for (auto _ : state) {
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    if (pipeline == nullptr) {
      state.SkipWithError(error ? error->message : "no receiver element");
      if (error) g_error_free(error);
      break;
    }
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    gst_element_get_state(pipeline, nullptr, nullptr, 5 * GST_SECOND);
    GstElement* net = gst_bin_get_by_name(GST_BIN(pipeline), "net");
    guint port = 0;
    g_object_get(net, "bound-port", &port, nullptr);

    NetworkTransmitter transmitter(bufferName, kFrameBytes, 60, 16, {});
    TransmitterSettings settings;
    settings.host = "127.0.0.1";
    settings.port = static_cast<int>(port);
    settings.tcp = tcp;
    settings.autoSize = true;
    settings.compress = compress;
    const auto start = std::chrono::steady_clock::now();
    transmitter.Start(settings);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    transmitter.Stop();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // What is still on its way lands before the count is read.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    guint64 complete = 0, incomplete = 0;
    g_object_get(net, "frames-complete", &complete, "frames-incomplete", &incomplete, nullptr);
    sent += transmitter.LastCounters().framesSent;
    whole += static_cast<double>(complete);
    gaps += static_cast<double>(incomplete);
    gst_object_unref(net);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
  }
  ReleaseOutputBlock(block);
  state.counters["sent_fps"] = seconds > 0 ? sent / seconds : 0;
  state.counters["whole_fps"] = seconds > 0 ? whole / seconds : 0;
  state.counters["sent"] = sent;
  state.counters["received_whole"] = whole;
  state.counters["received_with_gaps"] = gaps;
}
BENCHMARK(BM_PacedSessionIntoReceiver)
    ->ArgNames({"tcp", "compress"})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

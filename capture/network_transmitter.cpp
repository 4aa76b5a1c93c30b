#include "capture/network_transmitter.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <lzo/lzo1x.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/frame_packet.h"
#include "platform/guarded_memory.h"

namespace corvalind {

namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool LzoReady() {
  static const bool ready = lzo_init() == LZO_E_OK;
  return ready;
}

// Waits until `fd` can take more bytes, in 1 ms polls that notice Stop.
// False when keep running was cleared first.
bool WaitWritable(int fd, const std::atomic<bool>& keepRunning) {
  pollfd entry{fd, POLLOUT, 0};
  int timeoutMs = 0;  // an immediate readiness poll first
  while (keepRunning.load(std::memory_order_acquire)) {
    const int ready = poll(&entry, 1, timeoutMs);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return true;  // let the send report the error
    timeoutMs = 1;
  }
  return false;
}

class UdpChannel final : public PacketChannel {
 public:
  UdpChannel(int fd, const sockaddr_storage& destination, socklen_t length,
             const std::atomic<bool>& keepRunning)
      : fd_(fd), destination_(destination), length_(length), keepRunning_(keepRunning) {}

  int Send(const uint8_t* packet, std::size_t size) override {
    for (;;) {
      const ssize_t sent = sendto(fd_, packet, size, MSG_DONTWAIT | MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&destination_), length_);
      if (sent >= 0) return 0;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
      // The socket's queue is full: wait for room, as a blocking send would.
      if (!WaitWritable(fd_, keepRunning_)) return ECANCELED;
    }
  }

  int SendEndOfFrame() override {
    return Send(reinterpret_cast<const uint8_t*>(kEndOfFrameMarker), kEndOfFrameMarkerBytes);
  }

 private:
  int fd_;
  sockaddr_storage destination_;
  socklen_t length_;
  const std::atomic<bool>& keepRunning_;
};

class TcpChannel final : public PacketChannel {
 public:
  TcpChannel(int fd, const std::atomic<bool>& keepRunning) : fd_(fd), keepRunning_(keepRunning) {}

  // A stream may take a packet in several parts; all of it goes, or the
  // session ends (a peer that went away never raises SIGPIPE).
  int Send(const uint8_t* packet, std::size_t size) override {
    std::size_t done = 0;
    while (done < size) {
      if (!WaitWritable(fd_, keepRunning_)) return ECANCELED;
      const ssize_t sent = send(fd_, packet + done, size - done, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (sent < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        return errno;
      }
      done += static_cast<std::size_t>(sent);
    }
    return 0;
  }

  int SendEndOfFrame() override { return 0; }

 private:
  int fd_;
  const std::atomic<bool>& keepRunning_;
};

// Connects a non-blocking stream socket within `limitMs`, noticing Stop.
// Answers 0, the error, or ECANCELED.
int ConnectStream(int fd, const sockaddr* address, socklen_t length, const std::atomic<bool>& keepRunning,
                  int limitMs) {
  if (connect(fd, address, length) == 0) return 0;
  if (errno != EINPROGRESS) return errno;
  const Clock::time_point start = Clock::now();
  pollfd entry{fd, POLLOUT, 0};
  while (keepRunning.load(std::memory_order_acquire)) {
    const int ready = poll(&entry, 1, 10);
    if (ready > 0) {
      int error = 0;
      socklen_t size = sizeof(error);
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
      return error;
    }
    if (ready < 0 && errno != EINTR) return errno;
    if (MillisecondsSince(start) >= limitMs) return ETIMEDOUT;
  }
  return ECANCELED;
}

// How long a TCP connection may take to come up.
constexpr int kConnectLimitMs = 10000;

}  // namespace

PacketCompressor::PacketCompressor(std::size_t capacity)
    : capacity_(capacity),
      output_(kFramePacketHeaderBytes + capacity + capacity / 16 + 67),
      // The library's own need on this machine (twice the 32-bit figure on a
      // 64-bit one); never less than 64 KiB.
      workMemory_(std::max<std::size_t>(65536, LZO1X_1_MEM_COMPRESS)),
      usable_(LzoReady()) {}

std::size_t PacketCompressor::Compress(const uint8_t* data, std::size_t size) {
  if (!usable_ || size > capacity_) return 0;
  std::lock_guard<std::mutex> hold(lock_);
  lzo_uint length = 0;
  if (lzo1x_1_compress(data, size, output_.data() + kFramePacketHeaderBytes, &length, workMemory_.data()) !=
      LZO_E_OK) {
    lastLength_ = 0;
    return 0;
  }
  lastLength_ = length;
  return length;
}

FrameOutcome SendFramePieces(uint8_t* sendBuffer, uint32_t frameBytes, uint32_t packetBytes,
                             PacketCompressor* compressor, PacketChannel& channel, bool tcp,
                             const std::atomic<bool>& keepRunning, TransmitterCounters& counters) {
  const uint32_t roomPerPiece = packetBytes - kFramePacketHeaderBytes;
  uint32_t offset = 0;
  while (offset < frameBytes) {
    const uint32_t length =
        frameBytes - offset + kFramePacketHeaderBytes > packetBytes ? roomPerPiece : frameBytes - offset;
    uint8_t* packet = sendBuffer + offset;
    StoreLittleEndian32(packet, offset);
    StoreLittleEndian32(packet + 4, length);
    const uint8_t* out = packet;
    std::size_t outBytes = length + kFramePacketHeaderBytes;
    std::size_t compressed = 0;
    if (compressor != nullptr) {
      compressed = compressor->Compress(packet + kFramePacketHeaderBytes, length);
      if (compressed > 0 && compressed < length) {
        uint8_t* header = compressor->PacketData();
        StoreLittleEndian32(header, offset + kCompressedOffsetFlag);
        StoreLittleEndian32(header + 4, static_cast<uint32_t>(compressed));
        out = header;
        outBytes = compressed + kFramePacketHeaderBytes;
      } else {
        compressed = 0;
      }
    }
    for (;;) {
      const int error = channel.Send(out, outBytes);
      if (error == 0) break;
      if (!keepRunning.load(std::memory_order_acquire)) return FrameOutcome::kStopped;
      counters.lastError = error;
      // A stream cannot skip a piece, and a datagram larger than the
      // network takes never goes: both end the session.
      if (tcp || error == EMSGSIZE) return FrameOutcome::kFailed;
      // Sent again as the raw piece, whose header and bytes are untouched
      // in the send buffer.
      out = packet;
      outBytes = length + kFramePacketHeaderBytes;
      compressed = 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (compressed > 0) {
      counters.rawBytes += length;
      counters.compressedBytes += compressed;
    }
    ++counters.packetsSent;
    offset += length;
  }
  return FrameOutcome::kSent;
}

TransmitterStatistics StatisticsTexts(const TransmitterCounters& counters, bool compress) {
  char text[64];
  TransmitterStatistics out;
  std::snprintf(text, sizeof(text), "%u", counters.framesSent);
  out.totalFrames = text;
  std::snprintf(text, sizeof(text), "%u Mb", counters.kilobytesSent / 1024);
  out.totalVideoData = text;
  std::snprintf(text, sizeof(text), "%d", counters.lastError);
  out.lastErrorCode = text;
  if (compress && counters.compressedBytes > 0) {
    std::snprintf(text, sizeof(text), "%0.2f%%",
                  static_cast<double>(counters.rawBytes) / static_cast<double>(counters.compressedBytes) * 100.0);
    out.compression = text;
  } else {
    out.compression = "100.00%";
  }
  return out;
}

uint32_t ChoosePacketBytes(const TransmitterSettings& settings, uint32_t autoBytes) {
  int64_t bytes;
  if (settings.tcp) {
    bytes = kTcpPacketBytes;
  } else if (settings.autoSize) {
    bytes = autoBytes > 0 ? autoBytes : kAutoDefaultPacketBytes;
  } else {
    bytes = settings.packetSize;
  }
  return static_cast<uint32_t>(std::max<int64_t>(bytes, kSmallestPacketBytes));
}

NetworkTransmitter::NetworkTransmitter(std::string bufferName, uint32_t frameBytes, int frameRate,
                                       int frameIntervalMs, TransmitterHooks hooks)
    : bufferName_(std::move(bufferName)),
      frameBytes_(frameBytes),
      frameRate_(std::max(frameRate, 1)),
      frameIntervalMs_(frameIntervalMs),
      hooks_(std::move(hooks)),
      compressor_(frameBytes) {
  TryOpenOutput();
}

NetworkTransmitter::~NetworkTransmitter() {
  Stop();
  ReleaseOutputBlock(output_);
}

bool NetworkTransmitter::TryOpenOutput() {
  if (!output_.Valid()) OpenOutputBlock(output_, bufferName_);
  // A block without room for a picture is one another process cut back.
  if (output_.Valid() && output_.PictureCapacity() == 0) ReleaseOutputBlock(output_);
  outputOpen_.store(output_.Valid(), std::memory_order_release);
  return output_.Valid();
}

bool NetworkTransmitter::Start(const TransmitterSettings& settings) {
  if (Running()) return false;
  if (worker_.joinable()) worker_.join();  // a session that ended by itself
  running_.store(true, std::memory_order_release);
  keepRunning_.store(true, std::memory_order_release);
  worker_ = std::thread(&NetworkTransmitter::Worker, this, settings);
  return true;
}

void NetworkTransmitter::Stop() {
  {
    std::lock_guard<std::mutex> hold(wakeLock_);
    keepRunning_.store(false, std::memory_order_release);
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
}

TransmitterCounters NetworkTransmitter::LastCounters() const {
  std::lock_guard<std::mutex> hold(countersLock_);
  return lastCounters_;
}

void NetworkTransmitter::Pause(double ms) {
  if (ms <= 0) return;
  std::unique_lock<std::mutex> hold(wakeLock_);
  wake_.wait_for(hold, std::chrono::duration<double, std::milli>(ms),
                 [this] { return !keepRunning_.load(std::memory_order_acquire); });
}

void NetworkTransmitter::Fail(const std::string& text) {
  if (hooks_.message) hooks_.message(text, kConnectionErrorCaption);
}

void NetworkTransmitter::Worker(TransmitterSettings settings) {
  RunSession(settings);
  // Ended by an error rather than by Stop: the form goes back to idle.
  // Running() is false before the owner hears of the end, so an owner that
  // asks at once (the form going back to idle) never sees the session still
  // running and waits for a word that will not come again.
  const bool byError = keepRunning_.load(std::memory_order_acquire);
  keepRunning_.store(false, std::memory_order_release);
  running_.store(false, std::memory_order_release);
  if (byError && hooks_.stoppedByError) hooks_.stoppedByError();
}

void NetworkTransmitter::RunSession(const TransmitterSettings& settings) {
  uint32_t frameBytes = frameBytes_;
  const std::string host = settings.host.substr(0, 100);

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = settings.tcp ? SOCK_STREAM : SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    Fail(kCannotResolveText);
    return;
  }
  sockaddr_storage destination{};
  const socklen_t destinationLength = found->ai_addrlen;
  std::memcpy(&destination, found->ai_addr, found->ai_addrlen);
  const int family = found->ai_family;
  freeaddrinfo(found);
  const auto port = htons(static_cast<uint16_t>(settings.port));
  if (family == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(&destination)->sin6_port = port;
  } else {
    reinterpret_cast<sockaddr_in*>(&destination)->sin_port = port;
  }

  const int fd = socket(family, (settings.tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    Fail(kCannotOpenSocketText);
    return;
  }
  struct Closer {
    int fd;
    ~Closer() {
      shutdown(fd, SHUT_RDWR);
      close(fd);
    }
  } closer{fd};

  const int reuse = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse)) != 0) Fail(kCannotSetOptionsText);
  const int sendBufferBytes = kSendBufferBytes;
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBufferBytes, sizeof(sendBufferBytes)) != 0) {
    Fail(kCannotSetOptionsText);
  }

  if (settings.tcp) {
    const int error = ConnectStream(fd, reinterpret_cast<const sockaddr*>(&destination), destinationLength,
                                    keepRunning_, kConnectLimitMs);
    if (error == ECANCELED) return;
    if (error != 0) {
      Fail(kCannotConnectText);
      return;
    }
  } else {
    sockaddr_storage local{};
    local.ss_family = static_cast<sa_family_t>(family);
    const socklen_t localLength = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), localLength) != 0) {
      Fail(kCannotBindText);
      return;
    }
  }

  const uint32_t autoBytes = family == AF_INET6 ? kUdpMaxMessageIpv6 : kUdpMaxMessageIpv4;
  const uint32_t packetBytes = ChoosePacketBytes(settings, autoBytes);
  packetBytesInUse_.store(packetBytes);

  UdpChannel udp(fd, destination, destinationLength, keepRunning_);
  TcpChannel tcp(fd, keepRunning_);
  PacketChannel& channel = settings.tcp ? static_cast<PacketChannel&>(tcp) : udp;

  Clock::time_point lastTick = Clock::now();
  std::vector<uint8_t> sendBuffer(static_cast<std::size_t>(frameBytes) + kFramePacketHeaderBytes);
  TransmitterCounters counters;
  int tickCounter = 0;
  if (output_.Valid()) frameBytes = std::min<uint32_t>(frameBytes, output_.PictureCapacity());
  PacketCompressor* compressor = settings.compress && compressor_.Usable() ? &compressor_ : nullptr;

  const auto publish = [&] {
    std::lock_guard<std::mutex> hold(countersLock_);
    lastCounters_ = counters;
  };

  while (keepRunning_.load(std::memory_order_acquire)) {
    // A block another process cut back is let go (opened again a second
    // later); the check and the guarded copy never let its SIGBUS through.
    if (output_.Valid() &&
        (!output_.block.StillWhole() ||
         !GuardedCopy(sendBuffer.data() + kFramePacketHeaderBytes, output_.block.Data() + 1,
                      std::min<std::size_t>(frameBytes, output_.PictureCapacity())))) {
      ReleaseOutputBlock(output_);
      outputOpen_.store(false, std::memory_order_release);
      openRetryCounter_ = 0;
    }
    if (output_.Valid()) {
      const FrameOutcome outcome = SendFramePieces(sendBuffer.data(), frameBytes, packetBytes, compressor,
                                                   channel, settings.tcp, keepRunning_, counters);
      if (outcome == FrameOutcome::kFailed) {
        publish();
        if (hooks_.lastError) hooks_.lastError(counters.lastError);
        return;  // keep running stays set: the worker ended by an error
      }
      if (outcome == FrameOutcome::kSent) {
        if (!settings.tcp) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          const int error = channel.SendEndOfFrame();
          if (error != 0 && keepRunning_.load(std::memory_order_acquire)) counters.lastError = error;
        }
        ++counters.framesSent;
        counters.kilobytesSent += frameBytes / 1024;
      }
    }

    if (++tickCounter >= frameRate_ && keepRunning_.load(std::memory_order_acquire)) {
      tickCounter = 0;
      if (hooks_.statistics) hooks_.statistics(StatisticsTexts(counters, settings.compress));
      publish();
      counters.rawBytes = 0;
      counters.compressedBytes = 0;
    }

    if (!output_.Valid() && ++openRetryCounter_ >= static_cast<uint32_t>(frameRate_)) {
      openRetryCounter_ = 0;
      if (TryOpenOutput()) frameBytes = std::min<uint32_t>(frameBytes_, output_.PictureCapacity());
    }

    const double wait = static_cast<double>(static_cast<int64_t>(frameIntervalMs_ - MillisecondsSince(lastTick)));
    Pause(wait);
    lastTick = Clock::now();
  }
  publish();
  // Stopped by the owner: keep running is clear, so nothing is reset here.
}

}  // namespace corvalind

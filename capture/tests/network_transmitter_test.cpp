// The network transmitter: how frames are cut into packets, compressed and
// sent again, and whole sessions against receivers written here with plain
// sockets (sharing no code with the studio's receiver element).
#include "capture/network_transmitter.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <lzo/lzo1x.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "platform/output_block.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

using testing::WaitFor;

constexpr uint32_t kFlag = 2000000000u;

uint32_t Word(const uint8_t* at) { return at[0] | at[1] << 8 | at[2] << 16 | static_cast<uint32_t>(at[3]) << 24; }

struct Packet {
  uint32_t offsetWord;
  uint32_t length;
  std::vector<uint8_t> payload;
};

// Records every packet; `fail` may refuse an attempt with an error code.
class RecordingChannel : public PacketChannel {
 public:
  std::function<int(int attempt)> fail;
  std::vector<Packet> packets;
  int attempts = 0;
  int ends = 0;

  int Send(const uint8_t* packet, std::size_t size) override {
    const int attempt = attempts++;
    EXPECT_GE(size, 8u);
    packets.push_back({Word(packet), Word(packet + 4), std::vector<uint8_t>(packet + 8, packet + size)});
    EXPECT_EQ(packets.back().length, size - 8) << "length word disagrees with the packet";
    if (fail) {
      const int error = fail(attempt);
      if (error != 0) packets.pop_back();
      return error;
    }
    return 0;
  }
  int SendEndOfFrame() override {
    ++ends;
    return 0;
  }
};

// Puts packets together as a receiver would; false when one does not fit.
bool Reassemble(const std::vector<Packet>& packets, std::vector<uint8_t>& frame) {
  for (const Packet& p : packets) {
    const bool compressed = p.offsetWord >= kFlag;
    const uint32_t offset = compressed ? p.offsetWord - kFlag : p.offsetWord;
    if (offset > frame.size()) return false;
    if (compressed) {
      lzo_uint out = frame.size() - offset;
      if (lzo1x_decompress_safe(p.payload.data(), p.payload.size(), frame.data() + offset, &out, nullptr) !=
          LZO_E_OK) {
        return false;
      }
    } else {
      if (offset + p.payload.size() > frame.size()) return false;
      std::memcpy(frame.data() + offset, p.payload.data(), p.payload.size());
    }
  }
  return true;
}

std::vector<uint8_t> RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(size);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

// The frame behind 8 bytes of header room, as the worker holds it.
std::vector<uint8_t> SendBufferWith(const std::vector<uint8_t>& frame) {
  std::vector<uint8_t> buffer(frame.size() + 8);
  std::memcpy(buffer.data() + 8, frame.data(), frame.size());
  return buffer;
}

TEST(PacketLayout, PiecesFollowThePacketSize) {
  const struct {
    uint32_t frameBytes;
    TransmitterSettings settings;
    std::size_t packets;
    uint32_t firstLength;
    uint32_t lastLength;
  } cases[] = {
      // 640 x 480 over UDP with size 4096: 225 full pieces and one of 1800.
      {921600, {"", 5566, false, false, 4096, false}, 226, 4088, 1800},
      // The same over TCP: 14 pieces of 63992 and one of 25712.
      {921600, {"", 5566, true, false, 4096, false}, 15, 63992, 25712},
      // A size of 5 is raised to 10: 2-byte pieces.
      {20, {"", 5566, false, false, 5, false}, 10, 2, 2},
      // A frame smaller than a packet goes in one piece.
      {300, {"", 5566, false, true, 0, false}, 1, 300, 300},
  };
  for (const auto& c : cases) {
    const std::vector<uint8_t> frame = RandomBytes(c.frameBytes, c.frameBytes);
    std::vector<uint8_t> buffer = SendBufferWith(frame);
    RecordingChannel channel;
    std::atomic<bool> keepRunning{true};
    TransmitterCounters counters;
    const uint32_t packetBytes = ChoosePacketBytes(c.settings, kUdpMaxMessageIpv4);
    ASSERT_EQ(SendFramePieces(buffer.data(), c.frameBytes, packetBytes, nullptr, channel, c.settings.tcp,
                              keepRunning, counters),
              FrameOutcome::kSent);
    ASSERT_EQ(channel.packets.size(), c.packets) << c.frameBytes << "/" << packetBytes;
    EXPECT_EQ(channel.packets.front().length, c.firstLength);
    EXPECT_EQ(channel.packets.back().length, c.lastLength);
    uint32_t expected = 0;
    for (const Packet& p : channel.packets) {
      EXPECT_EQ(p.offsetWord, expected);
      EXPECT_LE(p.length + 8, packetBytes);
      expected += p.length;
    }
    std::vector<uint8_t> rebuilt(c.frameBytes, 0);
    ASSERT_TRUE(Reassemble(channel.packets, rebuilt));
    EXPECT_EQ(rebuilt, frame);
    EXPECT_EQ(counters.packetsSent, c.packets);
  }
}

TEST(PacketLayout, SizeChoice) {
  const struct {
    bool tcp, autoSize;
    int size;
    uint32_t autoBytes, expected;
  } cases[] = {
      {true, true, 4096, 65507, 64000},  {true, false, 10, 65507, 64000}, {false, true, 4096, 65507, 65507},
      {false, true, 4096, 0, 1500},      {false, false, 4096, 65507, 4096}, {false, false, 5, 65507, 10},
      {false, false, -7, 65507, 10},
  };
  for (const auto& c : cases) {
    TransmitterSettings settings;
    settings.tcp = c.tcp;
    settings.autoSize = c.autoSize;
    settings.packetSize = c.size;
    EXPECT_EQ(ChoosePacketBytes(settings, c.autoBytes), c.expected) << c.tcp << c.autoSize << c.size;
  }
}

TEST(PacketCompression, CompressiblePiecesAreFlaggedAndRestoreByteForByte) {
  // Black first half, noise second half: only the black pieces shrink.
  constexpr uint32_t kFrame = 640 * 480 * 3;
  std::vector<uint8_t> frame = RandomBytes(kFrame, 7);
  std::fill(frame.begin(), frame.begin() + kFrame / 2, 0);
  std::vector<uint8_t> buffer = SendBufferWith(frame);
  PacketCompressor compressor(kFrame);
  ASSERT_TRUE(compressor.Usable());
  RecordingChannel channel;
  std::atomic<bool> keepRunning{true};
  TransmitterCounters counters;
  ASSERT_EQ(SendFramePieces(buffer.data(), kFrame, 4096, &compressor, channel, false, keepRunning, counters),
            FrameOutcome::kSent);
  ASSERT_EQ(channel.packets.size(), 226u);
  uint64_t raw = 0, compressed = 0;
  uint32_t offset = 0;
  for (const Packet& p : channel.packets) {
    const bool flagged = p.offsetWord >= kFlag;
    const uint32_t pieceEnd = std::min<uint32_t>(offset + 4088, kFrame);
    if (pieceEnd <= kFrame / 2) {
      EXPECT_TRUE(flagged) << "black piece at " << offset;
    } else if (offset >= kFrame / 2) {
      EXPECT_FALSE(flagged) << "noise piece at " << offset;
    }
    EXPECT_EQ(flagged ? p.offsetWord - kFlag : p.offsetWord, offset);
    if (flagged) {
      EXPECT_LT(p.length, pieceEnd - offset);
      raw += pieceEnd - offset;
      compressed += p.length;
    } else {
      EXPECT_EQ(p.length, pieceEnd - offset);
    }
    offset = pieceEnd;
  }
  EXPECT_EQ(counters.rawBytes, raw);
  EXPECT_EQ(counters.compressedBytes, compressed);
  std::vector<uint8_t> rebuilt(kFrame, 0xAB);
  ASSERT_TRUE(Reassemble(channel.packets, rebuilt));
  EXPECT_EQ(rebuilt, frame);
  // The raw frame in the send buffer is untouched past each header.
  EXPECT_TRUE(std::equal(frame.end() - 1000, frame.end(), buffer.end() - 1000));
}

TEST(PacketResend, ARefusedPieceGoesAgainAsTheRawPiece) {
  constexpr uint32_t kFrame = 8000;
  const std::vector<uint8_t> frame(kFrame, 0);  // every piece compresses
  std::vector<uint8_t> buffer = SendBufferWith(frame);
  PacketCompressor compressor(kFrame);
  RecordingChannel channel;
  channel.fail = [](int attempt) { return attempt == 0 ? ENOBUFS : 0; };
  std::atomic<bool> keepRunning{true};
  TransmitterCounters counters;
  ASSERT_EQ(SendFramePieces(buffer.data(), kFrame, 4096, &compressor, channel, false, keepRunning, counters),
            FrameOutcome::kSent);
  ASSERT_EQ(channel.packets.size(), 2u);
  EXPECT_EQ(channel.packets[0].offsetWord, 0u) << "the resent piece must be raw";
  EXPECT_EQ(channel.packets[0].length, 4088u);
  EXPECT_EQ(channel.packets[0].payload, std::vector<uint8_t>(4088, 0));
  EXPECT_EQ(channel.packets[1].offsetWord, 4088u + kFlag);
  EXPECT_EQ(counters.lastError, ENOBUFS);
  // Only the piece that went out compressed counts for the statistic.
  EXPECT_EQ(counters.rawBytes, kFrame - 4088);
  std::vector<uint8_t> rebuilt(kFrame, 1);
  ASSERT_TRUE(Reassemble(channel.packets, rebuilt));
  EXPECT_EQ(rebuilt, frame);
}

TEST(PacketResend, FailuresThatEndTheFrame) {
  const struct {
    bool tcp;
    int error;
    bool stopAfterThird;
    FrameOutcome outcome;
  } cases[] = {
      {true, ECONNRESET, false, FrameOutcome::kFailed},  // a stream cannot skip a piece
      {false, EMSGSIZE, false, FrameOutcome::kFailed},   // no datagram of that size ever goes
      {false, ENOBUFS, true, FrameOutcome::kStopped},    // refused for ever: Stop still ends it
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> buffer = SendBufferWith(std::vector<uint8_t>(5000, 9));
    RecordingChannel channel;
    std::atomic<bool> keepRunning{true};
    channel.fail = [&](int attempt) {
      if (c.stopAfterThird && attempt == 2) keepRunning = false;
      return c.error;
    };
    TransmitterCounters counters;
    EXPECT_EQ(SendFramePieces(buffer.data(), 5000, 4096, nullptr, channel, c.tcp, keepRunning, counters), c.outcome)
        << c.error;
    EXPECT_TRUE(channel.packets.empty());
    if (c.outcome == FrameOutcome::kFailed) {
      EXPECT_EQ(counters.lastError, c.error);
    }
  }
}

TEST(TransmitterStatisticsTexts, Formats) {
  TransmitterCounters counters;
  counters.framesSent = 77;
  counters.kilobytesSent = 2047 + 1024;
  counters.lastError = 104;
  counters.rawBytes = 900;
  counters.compressedBytes = 12;
  TransmitterStatistics texts = StatisticsTexts(counters, true);
  EXPECT_EQ(texts.totalFrames, "77");
  EXPECT_EQ(texts.totalVideoData, "2 Mb");
  EXPECT_EQ(texts.lastErrorCode, "104");
  EXPECT_EQ(texts.compression, "7500.00%");
  EXPECT_EQ(StatisticsTexts(counters, false).compression, "100.00%");
  counters.rawBytes = counters.compressedBytes = 0;  // nothing shrank in this second
  EXPECT_EQ(StatisticsTexts(counters, true).compression, "100.00%");
}

// ---------------------------------------------------------------------------
// Whole sessions over loopback.

// A block of the studio's output buffer with a private name.
class PublishedPicture {
 public:
  PublishedPicture(uint32_t frameBytes, const std::vector<uint8_t>& picture)
      : name_("CorvalindNetTest_" + std::to_string(getpid()) + "_" + std::to_string(next_++)) {
    std::string reason;
    bool existed = false;
    EXPECT_TRUE(CreateOutputBlock(block_, name_, frameBytes, &existed, &reason)) << reason;
    if (!picture.empty()) PublishPicture(block_, picture.data(), static_cast<uint32_t>(picture.size()), 1);
  }
  ~PublishedPicture() { ReleaseOutputBlock(block_); }
  const std::string& Name() const { return name_; }
  static std::string UnusedName() { return "CorvalindNetTest_" + std::to_string(getpid()) + "_" + std::to_string(next_++); }

 private:
  static inline int next_ = 0;
  std::string name_;
  OutputBlock block_;
};

bool HaveIpv6Loopback() {
  const int fd = socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return ok;
}

// Binds a socket of `type` to the loopback address of `family`, port chosen
// by the system.
int BindLoopback(int family, int type, uint16_t* port) {
  const int fd = socket(family, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_storage address{};
  socklen_t length;
  if (family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&address);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    length = sizeof(*a);
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&address);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof(*a);
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    close(fd);
    return -1;
  }
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                   : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  return fd;
}

// A TCP receiver: takes one connection, parses the packets off the stream
// and keeps the last whole frame. With `closeAfterBytes` it hangs up once
// that much has arrived; with `neverRead` it accepts and reads nothing.
class StreamReceiver {
 public:
  StreamReceiver(int family, uint32_t frameBytes, std::size_t closeAfterBytes = 0, bool neverRead = false)
      : frameBytes_(frameBytes), closeAfter_(closeAfterBytes), neverRead_(neverRead), frame_(frameBytes) {
    listener_ = BindLoopback(family, SOCK_STREAM, &port_);
    EXPECT_GE(listener_, 0);
    listen(listener_, 4);
    thread_ = std::thread([this] { Run(); });
  }
  ~StreamReceiver() {
    stop_ = true;
    thread_.join();
    close(listener_);
  }
  uint16_t Port() const { return port_; }
  int Frames() const { return frames_; }
  std::size_t Bytes() const { return bytes_; }
  // Bytes waiting unread in the connection's queue.
  int Queued() const {
    int queued = 0;
    const int fd = connection_.load();
    return fd >= 0 && ioctl(fd, FIONREAD, &queued) == 0 ? queued : 0;
  }
  int PacketsInLastFrame() const { return packetsInLastFrame_; }
  bool Malformed() const { return malformed_; }
  std::vector<uint8_t> LastFrame() {
    std::lock_guard<std::mutex> hold(lock_);
    return lastFrame_;
  }

 private:
  void Run() {
    int connection = -1;
    std::vector<uint8_t> pending;
    uint8_t chunk[65536];
    int packets = 0;
    while (!stop_) {
      pollfd entry{connection >= 0 ? connection : listener_, POLLIN, 0};
      if (poll(&entry, 1, 20) <= 0) continue;
      if (connection < 0) {
        connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        connection_ = connection;
        continue;
      }
      if (neverRead_) {
        // Leave the bytes where they are; only the hang-up of the test ends it.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      const ssize_t got = recv(connection, chunk, sizeof(chunk), 0);
      if (got <= 0) {
        connection_ = -1;
        close(connection);
        connection = -1;
        continue;
      }
      bytes_ += static_cast<std::size_t>(got);
      pending.insert(pending.end(), chunk, chunk + got);
      std::size_t used = 0;
      while (pending.size() - used >= 8) {
        const uint32_t word = Word(pending.data() + used);
        const uint32_t length = Word(pending.data() + used + 4);
        if (pending.size() - used < 8 + std::size_t{length}) break;
        Packet p{word, length, std::vector<uint8_t>(pending.begin() + used + 8, pending.begin() + used + 8 + length)};
        used += 8 + length;
        const bool compressed = word >= kFlag;
        const uint32_t offset = compressed ? word - kFlag : word;
        uint32_t end = offset + length;
        if (compressed) {
          lzo_uint out = frameBytes_ - std::min(offset, frameBytes_);
          if (lzo1x_decompress_safe(p.payload.data(), length, frame_.data() + offset, &out, nullptr) != LZO_E_OK) {
            malformed_ = true;
          }
          end = offset + static_cast<uint32_t>(out);
        } else if (end <= frameBytes_) {
          std::memcpy(frame_.data() + offset, p.payload.data(), length);
        } else {
          malformed_ = true;
        }
        ++packets;
        if (end >= frameBytes_) {
          {
            std::lock_guard<std::mutex> hold(lock_);
            lastFrame_ = frame_;
          }
          packetsInLastFrame_ = packets;
          packets = 0;
          ++frames_;
        }
      }
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
      if (closeAfter_ > 0 && bytes_ >= closeAfter_) {
        connection_ = -1;
        shutdown(connection, SHUT_RDWR);
        close(connection);
        connection = -1;
        closeAfter_ = 0;
        hungUp_ = true;
      }
    }
    connection_ = -1;
    if (connection >= 0) close(connection);
  }

  const uint32_t frameBytes_;
  std::size_t closeAfter_;
  const bool neverRead_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::vector<uint8_t> frame_;
  std::mutex lock_;
  std::vector<uint8_t> lastFrame_;
  std::atomic<int> frames_{0};
  std::atomic<std::size_t> bytes_{0};
  std::atomic<int> packetsInLastFrame_{0};
  std::atomic<int> connection_{-1};
  std::atomic<bool> malformed_{false};
  std::atomic<bool> hungUp_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A UDP receiver: records the (offset, length) sequence of each frame up to
// its "END" and keeps the last frame whose pieces all arrived in order.
class DatagramReceiver {
 public:
  explicit DatagramReceiver(uint32_t frameBytes) : frameBytes_(frameBytes), frame_(frameBytes) {
    fd_ = BindLoopback(AF_INET, SOCK_DGRAM, &port_);
    EXPECT_GE(fd_, 0);
    // Room for a whole frame's burst (the forced size where allowed).
    const int size = 16 << 20;
    if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0) {
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
    thread_ = std::thread([this] { Run(); });
  }
  ~DatagramReceiver() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  uint16_t Port() const { return port_; }
  int WholeFrames() const { return wholeFrames_; }
  int Ends() const { return ends_; }
  int MostPacketsInAFrame() const { return mostPackets_; }
  bool OutOfOrder() const { return outOfOrder_; }
  std::vector<uint8_t> LastWholeFrame() {
    std::lock_guard<std::mutex> hold(lock_);
    return lastFrame_;
  }
  uint32_t expectedPieceBytes = 0;  // set before frames arrive

 private:
  void Run() {
    std::vector<uint8_t> datagram(70000);
    uint32_t next = 0;
    int packets = 0;
    bool whole = true;
    while (!stop_) {
      pollfd entry{fd_, POLLIN, 0};
      if (poll(&entry, 1, 20) <= 0) continue;
      const ssize_t got = recv(fd_, datagram.data(), datagram.size(), 0);
      if (got == 3 && std::memcmp(datagram.data(), "END", 3) == 0) {
        ++ends_;
        mostPackets_ = std::max<int>(mostPackets_, packets);
        if (whole && next == frameBytes_) {
          std::lock_guard<std::mutex> hold(lock_);
          lastFrame_ = frame_;
          ++wholeFrames_;
        }
        next = 0;
        packets = 0;
        whole = true;
        continue;
      }
      if (got < 8) continue;
      const uint32_t offset = Word(datagram.data());
      const uint32_t length = Word(datagram.data() + 4);
      ++packets;
      if (offset != next || length + 8u != static_cast<uint32_t>(got) || offset + length > frameBytes_ ||
          (expectedPieceBytes && length != std::min(expectedPieceBytes, frameBytes_ - offset))) {
        if (offset < next) outOfOrder_ = true;
        whole = false;
        next = offset + length;
        continue;
      }
      std::memcpy(frame_.data() + offset, datagram.data() + 8, length);
      next = offset + length;
    }
  }

  const uint32_t frameBytes_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::vector<uint8_t> frame_;
  std::mutex lock_;
  std::vector<uint8_t> lastFrame_;
  std::atomic<int> wholeFrames_{0};
  std::atomic<int> ends_{0};
  std::atomic<int> mostPackets_{0};
  std::atomic<bool> outOfOrder_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Hooks that record what the worker said.
struct Recorded {
  std::mutex lock;
  std::vector<std::pair<std::string, std::string>> messages;
  std::vector<TransmitterStatistics> statistics;
  std::atomic<int> lastError{0};
  std::atomic<bool> stoppedByError{false};

  TransmitterHooks Hooks() {
    TransmitterHooks hooks;
    hooks.message = [this](const std::string& text, const std::string& caption) {
      std::lock_guard<std::mutex> hold(lock);
      messages.emplace_back(text, caption);
    };
    hooks.statistics = [this](const TransmitterStatistics& s) {
      std::lock_guard<std::mutex> hold(lock);
      statistics.push_back(s);
    };
    hooks.lastError = [this](int code) { lastError = code; };
    hooks.stoppedByError = [this] { stoppedByError = true; };
    return hooks;
  }
  std::size_t StatisticsCount() {
    std::lock_guard<std::mutex> hold(lock);
    return statistics.size();
  }
  TransmitterStatistics LastStatistics() {
    std::lock_guard<std::mutex> hold(lock);
    return statistics.empty() ? TransmitterStatistics{} : statistics.back();
  }
};

constexpr uint32_t kVgaBytes = 640 * 480 * 3;

TransmitterSettings To(const std::string& host, uint16_t port, bool tcp) {
  TransmitterSettings settings;
  settings.host = host;
  settings.port = port;
  settings.tcp = tcp;
  settings.autoSize = false;
  settings.packetSize = 4096;
  return settings;
}

TEST(TransmitterSession, TcpFramesArriveWholeInFifteenPackets) {
  const std::vector<uint8_t> picture = RandomBytes(kVgaBytes, 3);
  PublishedPicture published(kVgaBytes, picture);
  StreamReceiver receiver(AF_INET, kVgaBytes);
  Recorded recorded;
  NetworkTransmitter transmitter(published.Name(), kVgaBytes, 25, 40, recorded.Hooks());
  ASSERT_TRUE(transmitter.OutputBufferOpen());
  ASSERT_TRUE(transmitter.Start(To("127.0.0.1", receiver.Port(), true)));
  ASSERT_TRUE(WaitFor([&] { return receiver.Frames() >= 3; }));
  EXPECT_EQ(transmitter.PacketBytesInUse(), 64000u);
  EXPECT_EQ(receiver.PacketsInLastFrame(), 15);
  EXPECT_FALSE(receiver.Malformed());
  EXPECT_EQ(receiver.LastFrame(), picture);
  // Statistics once a second: frames and the raw kilobytes.
  ASSERT_TRUE(WaitFor([&] { return recorded.StatisticsCount() >= 1; }));
  const TransmitterStatistics first = recorded.LastStatistics();
  EXPECT_GT(std::stoi(first.totalFrames), 0);
  EXPECT_EQ(first.compression, "100.00%");
  transmitter.Stop();
  EXPECT_FALSE(transmitter.Running());
  EXPECT_FALSE(recorded.stoppedByError);
  const TransmitterCounters counters = transmitter.LastCounters();
  EXPECT_EQ(counters.kilobytesSent, counters.framesSent * (kVgaBytes / 1024));
  std::lock_guard<std::mutex> hold(recorded.lock);
  EXPECT_TRUE(recorded.messages.empty());
}

TEST(TransmitterSession, UdpFramesEndWithEndAfter226Packets) {
  const std::vector<uint8_t> picture = RandomBytes(kVgaBytes, 4);
  PublishedPicture published(kVgaBytes, picture);
  DatagramReceiver receiver(kVgaBytes);
  receiver.expectedPieceBytes = 4088;
  Recorded recorded;
  NetworkTransmitter transmitter(published.Name(), kVgaBytes, 25, 40, recorded.Hooks());
  ASSERT_TRUE(transmitter.Start(To("127.0.0.1", receiver.Port(), false)));
  ASSERT_TRUE(WaitFor([&] { return receiver.WholeFrames() >= 2; }));
  transmitter.Stop();
  EXPECT_EQ(transmitter.PacketBytesInUse(), 4096u);
  EXPECT_EQ(receiver.MostPacketsInAFrame(), 226);
  EXPECT_FALSE(receiver.OutOfOrder());
  EXPECT_EQ(receiver.LastWholeFrame(), picture);
}

TEST(TransmitterSession, AutoSizeOverUdpUsesTheLargestDatagram) {
  const std::vector<uint8_t> picture = RandomBytes(kVgaBytes, 5);
  PublishedPicture published(kVgaBytes, picture);
  DatagramReceiver receiver(kVgaBytes);
  receiver.expectedPieceBytes = kUdpMaxMessageIpv4 - 8;
  Recorded recorded;
  NetworkTransmitter transmitter(published.Name(), kVgaBytes, 25, 40, recorded.Hooks());
  TransmitterSettings settings = To("127.0.0.1", receiver.Port(), false);
  settings.autoSize = true;
  ASSERT_TRUE(transmitter.Start(settings));
  ASSERT_TRUE(WaitFor([&] { return receiver.WholeFrames() >= 1; }));
  transmitter.Stop();
  EXPECT_EQ(transmitter.PacketBytesInUse(), kUdpMaxMessageIpv4);
  EXPECT_EQ(receiver.MostPacketsInAFrame(), 15);  // 921600 / 65499, rounded up
  EXPECT_EQ(receiver.LastWholeFrame(), picture);
}

TEST(TransmitterSession, ABlackFrameShowsALargeCompression) {
  const std::vector<uint8_t> black(kVgaBytes, 0);
  PublishedPicture published(kVgaBytes, black);
  StreamReceiver receiver(AF_INET, kVgaBytes);
  Recorded recorded;
  NetworkTransmitter transmitter(published.Name(), kVgaBytes, 25, 40, recorded.Hooks());
  TransmitterSettings settings = To("127.0.0.1", receiver.Port(), true);
  settings.compress = true;
  ASSERT_TRUE(transmitter.Start(settings));
  ASSERT_TRUE(WaitFor([&] { return recorded.StatisticsCount() >= 1 && receiver.Frames() >= 2; }));
  transmitter.Stop();
  const TransmitterStatistics statistics = recorded.LastStatistics();
  EXPECT_GT(std::stod(statistics.compression), 1000.0) << statistics.compression;
  EXPECT_EQ(statistics.compression.back(), '%');
  EXPECT_FALSE(receiver.Malformed());
  EXPECT_EQ(receiver.LastFrame(), black);
  // Total video data counts the raw frames.
  const TransmitterCounters counters = transmitter.LastCounters();
  EXPECT_EQ(counters.kilobytesSent, counters.framesSent * (kVgaBytes / 1024));
}

TEST(TransmitterSession, Ipv6LiteralsWork) {
  if (!HaveIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback here";
  const std::vector<uint8_t> picture = RandomBytes(kVgaBytes, 6);
  PublishedPicture published(kVgaBytes, picture);
  StreamReceiver receiver(AF_INET6, kVgaBytes);
  Recorded recorded;
  NetworkTransmitter transmitter(published.Name(), kVgaBytes, 25, 40, recorded.Hooks());
  ASSERT_TRUE(transmitter.Start(To("::1", receiver.Port(), true)));
  ASSERT_TRUE(WaitFor([&] { return receiver.Frames() >= 1; }));
  transmitter.Stop();
  EXPECT_EQ(receiver.LastFrame(), picture);
}

TEST(TransmitterSession, StartingBeforeTheOutputBufferSendsOnceItAppears) {
  const std::string name = PublishedPicture::UnusedName();
  StreamReceiver receiver(AF_INET, kVgaBytes);
  Recorded recorded;
  NetworkTransmitter transmitter(name, kVgaBytes, 25, 40, recorded.Hooks());
  EXPECT_FALSE(transmitter.OutputBufferOpen());
  ASSERT_TRUE(transmitter.Start(To("127.0.0.1", receiver.Port(), true)));
  // A second of ticks has passed without a picture: nothing went out.
  ASSERT_TRUE(WaitFor([&] { return recorded.StatisticsCount() >= 1; }));
  EXPECT_EQ(recorded.LastStatistics().totalFrames, "0");
  EXPECT_EQ(receiver.Bytes(), 0u);
  const std::vector<uint8_t> picture = RandomBytes(kVgaBytes, 8);
  OutputBlock block;
  std::string reason;
  bool existed = false;
  ASSERT_TRUE(CreateOutputBlock(block, name, kVgaBytes, &existed, &reason)) << reason;
  PublishPicture(block, picture.data(), kVgaBytes, 1);
  ASSERT_TRUE(WaitFor([&] { return receiver.Frames() >= 1; }));
  EXPECT_TRUE(transmitter.Running());
  EXPECT_TRUE(transmitter.OutputBufferOpen());
  EXPECT_EQ(receiver.LastFrame(), picture);
  transmitter.Stop();
  ReleaseOutputBlock(block);
}

// Another process cuts the output block back under the sending worker:
// the worker neither faults nor ends; it lets the block go and sends the
// studio's fresh block once one is there.
TEST(TransmitterSession, ABlockCutBackIsLetGoAndTheFreshOneSent) {
  const std::string name = PublishedPicture::UnusedName();
  OutputBlock block;
  ASSERT_TRUE(CreateOutputBlock(block, name, kVgaBytes, nullptr, nullptr));
  const std::vector<uint8_t> first = RandomBytes(kVgaBytes, 3);
  PublishPicture(block, first.data(), kVgaBytes, 1);
  StreamReceiver receiver(AF_INET, kVgaBytes);
  Recorded recorded;
  NetworkTransmitter transmitter(name, kVgaBytes, 25, 40, recorded.Hooks());
  ASSERT_TRUE(transmitter.Start(To("127.0.0.1", receiver.Port(), true)));
  ASSERT_TRUE(WaitFor([&] { return receiver.Frames() >= 1; }));

  const int fd = shm_open(SharedMemoryObjectName(name).c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 1), 0);
  close(fd);
  ASSERT_TRUE(WaitFor([&] { return !transmitter.OutputBufferOpen(); }));
  EXPECT_TRUE(transmitter.Running());

  ReleaseOutputBlock(block);
  ASSERT_TRUE(CreateOutputBlock(block, name, kVgaBytes, nullptr, nullptr));
  const std::vector<uint8_t> fresh = RandomBytes(kVgaBytes, 4);
  PublishPicture(block, fresh.data(), kVgaBytes, 2);
  ASSERT_TRUE(WaitFor([&] { return receiver.LastFrame() == fresh; }));
  EXPECT_TRUE(transmitter.OutputBufferOpen());
  transmitter.Stop();
  ReleaseOutputBlock(block);
}

TEST(TransmitterSession, AReceiverThatHangsUpEndsTheWorkerWithTheErrorCode) {
  PublishedPicture published(kVgaBytes, RandomBytes(kVgaBytes, 9));
  StreamReceiver receiver(AF_INET, kVgaBytes, /*closeAfterBytes=*/3 * kVgaBytes);
  Recorded recorded;
  // The form goes back to idle when it hears of the end, unless a session
  // is running (one started again): told while its own session still
  // counted as running, it stayed on "Stop" for good.
  TransmitterHooks hooks = recorded.Hooks();
  NetworkTransmitter* self = nullptr;
  std::atomic<int> runningWhenTold{-1};
  hooks.stoppedByError = [&] {
    runningWhenTold = self->Running() ? 1 : 0;
    recorded.stoppedByError = true;
  };
  NetworkTransmitter transmitter(published.Name(), kVgaBytes, 25, 40, std::move(hooks));
  self = &transmitter;
  ASSERT_TRUE(transmitter.Start(To("127.0.0.1", receiver.Port(), true)));
  ASSERT_TRUE(WaitFor([&] { return recorded.stoppedByError.load(); }));
  EXPECT_EQ(runningWhenTold.load(), 0);
  EXPECT_FALSE(transmitter.Running());
  EXPECT_TRUE(recorded.lastError == EPIPE || recorded.lastError == ECONNRESET) << recorded.lastError;
  EXPECT_EQ(transmitter.LastCounters().lastError, recorded.lastError.load());
  // The form may start again.
  StreamReceiver second(AF_INET, kVgaBytes);
  ASSERT_TRUE(transmitter.Start(To("127.0.0.1", second.Port(), true)));
  ASSERT_TRUE(WaitFor([&] { return second.Frames() >= 1; }));
  transmitter.Stop();
}

TEST(TransmitterSession, StopEndsASendThatCannotGoOn) {
  PublishedPicture published(kVgaBytes, RandomBytes(kVgaBytes, 10));
  StreamReceiver receiver(AF_INET, kVgaBytes, 0, /*neverRead=*/true);
  Recorded recorded;
  NetworkTransmitter transmitter(published.Name(), kVgaBytes, 25, 40, recorded.Hooks());
  ASSERT_TRUE(transmitter.Start(To("127.0.0.1", receiver.Port(), true)));
  // The peer reads nothing: its queue fills and then stands still for
  // several frame ticks, with the worker waiting for room.
  int before = -1;
  auto changed = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitFor([&] {
    const int now = receiver.Queued();
    const auto at = std::chrono::steady_clock::now();
    if (now != before) {
      before = now;
      changed = at;
      return false;
    }
    return now > 0 && at - changed > std::chrono::milliseconds(200);
  }, std::chrono::seconds(60)));
  transmitter.Stop();
  EXPECT_FALSE(transmitter.Running());
  EXPECT_FALSE(recorded.stoppedByError);
}

TEST(TransmitterSession, SetUpFailuresSayWhyAndEndTheWorker) {
  uint16_t closedPort = 0;
  const int probe = BindLoopback(AF_INET, SOCK_STREAM, &closedPort);  // bound, never listening
  ASSERT_GE(probe, 0);
  const struct {
    std::string host;
    bool tcp;
    const char* text;
  } cases[] = {
      {"no-such-host.invalid", false, kCannotResolveText},
      {"", true, kCannotResolveText},
      {"127.0.0.1", true, kCannotConnectText},
  };
  for (const auto& c : cases) {
    Recorded recorded;
    NetworkTransmitter transmitter(PublishedPicture::UnusedName(), kVgaBytes, 25, 40, recorded.Hooks());
    ASSERT_TRUE(transmitter.Start(To(c.host, closedPort, c.tcp)));
    ASSERT_TRUE(WaitFor([&] { return !transmitter.Running(); }));
    EXPECT_TRUE(recorded.stoppedByError) << c.host;
    std::lock_guard<std::mutex> hold(recorded.lock);
    ASSERT_EQ(recorded.messages.size(), 1u) << c.host;
    EXPECT_EQ(recorded.messages[0].first, c.text);
    EXPECT_EQ(recorded.messages[0].second, "Connection error");
  }
  close(probe);
}

}  // namespace
}  // namespace corvalind

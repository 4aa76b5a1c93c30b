// The network transmitter: sends the program picture, raw or LZO-compressed,
// to one remote host over UDP or TCP at the program frame rate.
//
// The picture comes from the output buffer, read exactly as the virtual
// camera reads it (no lock, the counter byte is not looked at: an unchanged
// picture is still sent in full at every tick). Each frame is cut into
// pieces that carry their own position (platform/frame_packet.h); every
// piece is compressed on its own, so a lost datagram costs only its piece.
// One worker thread does everything; the UI thread starts and stops it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/output_block.h"

namespace corvalind {

// The texts and captions the transmitter shows.
inline constexpr const char* kConnectionErrorCaption = "Connection error";
inline constexpr const char* kCannotResolveText = "Cannot resolve IP address";
inline constexpr const char* kCannotOpenSocketText = "Cannot open socket ";
inline constexpr const char* kCannotSetOptionsText = "Cannot set sock options!";
inline constexpr const char* kCannotBindText = "Cannot bind port!";
inline constexpr const char* kCannotConnectText =
    "Can't establish connection!\nPlease, make sure the remote host is correct and ready!";

// Packet sizes, header included.
inline constexpr uint32_t kTcpPacketBytes = 64000;
inline constexpr uint32_t kAutoDefaultPacketBytes = 1500;
inline constexpr uint32_t kSmallestPacketBytes = 10;
// The largest UDP datagram payload of each address family.
inline constexpr uint32_t kUdpMaxMessageIpv4 = 65507;
inline constexpr uint32_t kUdpMaxMessageIpv6 = 65527;
inline constexpr int kSendBufferBytes = 1048576;

// LZO1X-1 compression of one piece at a time, into a buffer with room for
// the packet header in front of the compressed bytes. Sized for pieces of
// up to `capacity` bytes.
class PacketCompressor {
 public:
  explicit PacketCompressor(std::size_t capacity);
  PacketCompressor(const PacketCompressor&) = delete;
  PacketCompressor& operator=(const PacketCompressor&) = delete;

  // Compresses `size` bytes (at most the capacity). Answers the compressed
  // length, or 0 when the library failed; the bytes follow PacketData()'s
  // header room.
  std::size_t Compress(const uint8_t* data, std::size_t size);
  // The packet: kFramePacketHeaderBytes of room, then the last output.
  uint8_t* PacketData() { return output_.data(); }
  std::size_t Capacity() const { return capacity_; }
  std::size_t LastLength() const { return lastLength_; }
  // Whether the library initialised.
  bool Usable() const { return usable_; }

 private:
  std::size_t capacity_;
  std::vector<uint8_t> output_;
  std::vector<uint8_t> workMemory_;
  std::mutex lock_;
  std::size_t lastLength_ = 0;
  bool usable_ = false;
};

// Where the packets go: one call per packet (header and payload, in one
// piece of memory). Answers 0 on success, otherwise the error code.
class PacketChannel {
 public:
  virtual ~PacketChannel() = default;
  virtual int Send(const uint8_t* packet, std::size_t size) = 0;
  // The end-of-frame marker (UDP only).
  virtual int SendEndOfFrame() = 0;
};

// The running totals of one sending session.
struct TransmitterCounters {
  uint32_t framesSent = 0;
  uint32_t kilobytesSent = 0;
  int lastError = 0;
  uint64_t rawBytes = 0;         // pieces that went out compressed, before
  uint64_t compressedBytes = 0;  // ... and after compression
  uint32_t packetsSent = 0;
};

enum class FrameOutcome {
  kSent,
  kStopped,  // keep running was cleared while the frame went out
  kFailed,   // a send failed for good: the session ends
};

// Sends one frame of `frameBytes` bytes that sits at sendBuffer + 8 (the
// buffer holds frameBytes + 8 bytes). Each piece's header is written in
// place over the last 8 bytes of the piece before it, which is already
// sent. With a compressor, a piece whose compressed form is shorter goes out
// compressed from the compressor's buffer; the raw piece stays untouched in
// the send buffer, so a piece sent again is always the raw piece. `tcp`: a
// failed send ends the frame and the session; over UDP the piece is sent
// again (its error code kept as the last error) until it goes or keep
// running is cleared; a piece too large for any datagram ends the session.
FrameOutcome SendFramePieces(uint8_t* sendBuffer, uint32_t frameBytes, uint32_t packetBytes,
                             PacketCompressor* compressor, PacketChannel& channel, bool tcp,
                             const std::atomic<bool>& keepRunning, TransmitterCounters& counters);

// The statistics texts, as the form shows them.
struct TransmitterStatistics {
  std::string totalFrames;     // "%u"
  std::string totalVideoData;  // "%u Mb"
  std::string lastErrorCode;   // "%d"
  std::string compression;     // "%0.2f%%", or "100.00%" without compression
};
// Texts for the counters; without compression, or when no piece of the
// period went out compressed, the compression text is "100.00%".
TransmitterStatistics StatisticsTexts(const TransmitterCounters& counters, bool compress);

struct TransmitterSettings {
  std::string host;  // host name or address (IPv4 or IPv6), at most 100 characters used
  int port = 5566;
  bool tcp = false;
  bool autoSize = true;
  int packetSize = 4096;  // used over UDP when autoSize is off
  bool compress = false;
};

// The packet size a session uses: TCP 64000; UDP the given size, or with
// Auto the socket's largest message (`autoBytes`, 0 when unknown: the
// default 1500); never below 10.
uint32_t ChoosePacketBytes(const TransmitterSettings& settings, uint32_t autoBytes);

// What the worker tells its owner. All are called on the worker thread.
struct TransmitterHooks {
  // A message box: text, caption.
  std::function<void(const std::string&, const std::string&)> message;
  // The statistics texts, once a second.
  std::function<void(const TransmitterStatistics&)> statistics;
  // A TCP send failed: the code, at once.
  std::function<void(int)> lastError;
  // The worker ended by itself (an error or a failed set-up): the form goes
  // back to its idle look.
  std::function<void()> stoppedByError;
};

class NetworkTransmitter {
 public:
  // Opens the output buffer `bufferName` once; the picture is frameBytes
  // bytes, sent frameRate times a second.
  NetworkTransmitter(std::string bufferName, uint32_t frameBytes, int frameRate, int frameIntervalMs,
                     TransmitterHooks hooks);
  // Stops the worker and lets go of the output buffer.
  ~NetworkTransmitter();
  NetworkTransmitter(const NetworkTransmitter&) = delete;
  NetworkTransmitter& operator=(const NetworkTransmitter&) = delete;

  // Starts the worker with these settings; false when it is running.
  bool Start(const TransmitterSettings& settings);
  // Asks the worker to stop and waits until it has left.
  void Stop();
  bool Running() const { return running_.load(std::memory_order_acquire); }
  bool OutputBufferOpen() const { return outputOpen_.load(std::memory_order_acquire); }

  // The counters of the last session, read after it ended (tests).
  TransmitterCounters LastCounters() const;
  uint32_t PacketBytesInUse() const { return packetBytesInUse_.load(); }

 private:
  void Worker(TransmitterSettings settings);
  void RunSession(const TransmitterSettings& settings);
  // Opens the output buffer; answers whether it is open.
  bool TryOpenOutput();
  // Sleeps up to `ms` milliseconds; Stop wakes it.
  void Pause(double ms);
  void Fail(const std::string& text);

  const std::string bufferName_;
  const uint32_t frameBytes_;
  const int frameRate_;
  const int frameIntervalMs_;
  TransmitterHooks hooks_;

  PacketCompressor compressor_;
  OutputBlock output_;  // the worker's while it runs, the owner's otherwise
  std::atomic<bool> outputOpen_{false};
  uint32_t openRetryCounter_ = 0;

  std::atomic<bool> running_{false};
  std::atomic<bool> keepRunning_{false};
  std::atomic<uint32_t> packetBytesInUse_{0};
  std::thread worker_;
  std::mutex wakeLock_;
  std::condition_variable wake_;
  mutable std::mutex countersLock_;
  TransmitterCounters lastCounters_;
};

}  // namespace corvalind

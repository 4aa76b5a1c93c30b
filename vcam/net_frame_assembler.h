// The receiving side of the network feed: puts the program picture back
// together from the packets of platform/frame_packet.h.
//
// The assembler owns one frame of `frameBytes` bytes (bottom-up BGR as the
// transmitter sends it), zero at first. The frame persists from one picture
// to the next, so a piece that never arrives leaves the previous picture's
// bytes in its place. Each picture keeps a bitmap of the bytes its pieces
// covered; a picture finished with fewer covered bytes than the frame holds
// is still handed out, and counted as incomplete. A piece resent twice
// covers its bytes once.
//
// Datagrams (UDP): every datagram is one packet or the "END" marker that
// finishes the picture. A packet whose length word disagrees with the
// datagram, whose bytes would fall outside the frame, or whose compressed
// payload fails to decompress is dropped and counted; the other pieces of
// the picture still count.
//
// Stream (TCP): the bytes of the connection in chunks of any size. A piece
// whose end reaches the end of the frame finishes the picture. A length
// word no piece can have or an offset outside the frame means the stream
// is out of step and cannot be trusted again: the caller drops the
// connection and calls ResetStream() for the next one. A piece that is well
// formed but would not fit (a raw piece running past the end, a compressed
// one inflating past it or not decompressing) is skipped and counted.
//
// Compressed payloads (LZO1X) are decompressed straight into the frame at
// their offset, bounded by the end of the frame; a payload that fails part
// way may leave the bytes it wrote before failing, which do not count as
// covered. Raw stream payloads are copied straight from the caller's chunk.
// Nothing is allocated per packet: the frame, its bitmap and one buffer for
// a compressed stream payload split across chunks are made once.
//
// Not thread-safe: one thread feeds it and reads the finished frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvalind {

class NetFrameAssembler {
 public:
  explicit NetFrameAssembler(std::size_t frameBytes);

  enum class DatagramResult {
    kPlaced,     // a piece went into the frame
    kDropped,    // the datagram was refused and counted
    kFrameDone,  // "END": the frame is finished, read it before feeding more
  };
  DatagramResult TakeDatagram(const uint8_t* data, std::size_t size);

  enum class StreamEvent {
    kNeedMore,   // every byte given was taken; nothing finished
    kFrameDone,  // the frame is finished; `consumed` bytes were taken
    kCorrupt,    // the stream is out of step: drop the connection
  };
  struct StreamStep {
    std::size_t consumed = 0;
    StreamEvent event = StreamEvent::kNeedMore;
  };
  // Takes stream bytes up to the end of the next finished frame (or all of
  // them). After kFrameDone the caller reads the frame, then feeds the
  // bytes not consumed. After kCorrupt the assembler takes no stream bytes
  // until ResetStream().
  StreamStep TakeStream(const uint8_t* data, std::size_t size);
  // A new connection: no half-read header or piece, and a picture with no
  // bytes covered yet. The frame's bytes stay.
  void ResetStream();

  const uint8_t* Frame() const { return frame_.data(); }
  std::size_t FrameBytes() const { return frame_.size(); }
  // Bytes covered by the picture in progress; right after a finished one,
  // by that picture.
  std::size_t CoveredBytes() const { return coveredBytes_; }

  uint64_t FramesComplete() const { return framesComplete_; }
  uint64_t FramesIncomplete() const { return framesIncomplete_; }
  uint64_t PacketsDropped() const { return packetsDropped_; }

  // The most a stream piece's length word may say.
  std::size_t MaxRawPiece() const { return frame_.size(); }
  std::size_t MaxCompressedPiece() const { return frame_.size() + frame_.size() / 16 + 67; }

 private:
  // Places a compressed payload at `offset`; false when it does not
  // decompress within the frame. `*produced` is the decompressed size.
  bool Inflate(std::size_t offset, const uint8_t* payload, std::size_t size, std::size_t* produced);
  void Cover(std::size_t begin, std::size_t end);
  void FinishFrame();
  void StartPicture();
  void Drop() { ++packetsDropped_; }

  enum class StreamState { kHeader, kRawPayload, kSkipPayload, kCompressedPayload, kCorrupt };

  std::vector<uint8_t> frame_;
  std::vector<uint64_t> covered_;  // one bit per frame byte
  std::size_t coveredBytes_ = 0;
  bool finished_ = false;  // the last call finished a frame: clear the bitmap before the next piece

  StreamState state_ = StreamState::kHeader;
  uint8_t header_[8] = {};
  std::size_t headerHave_ = 0;
  std::size_t pieceOffset_ = 0;
  std::size_t pieceLength_ = 0;
  std::size_t pieceHave_ = 0;
  std::vector<uint8_t> staging_;  // a compressed stream payload split across chunks

  uint64_t framesComplete_ = 0;
  uint64_t framesIncomplete_ = 0;
  uint64_t packetsDropped_ = 0;
};

}  // namespace corvalind

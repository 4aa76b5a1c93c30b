#include "vcam/net_frame_assembler.h"

#include <lzo/lzo1x.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "platform/frame_packet.h"

namespace corvalind {

namespace {

struct PieceHeader {
  std::size_t offset;
  std::size_t length;
  bool compressed;
};

PieceHeader ReadHeader(const uint8_t* at) {
  const uint32_t word = LoadLittleEndian32(at);
  const bool compressed = word >= kCompressedOffsetFlag;
  return {compressed ? word - kCompressedOffsetFlag : word, LoadLittleEndian32(at + 4), compressed};
}

bool LzoReady() {
  static const bool ready = lzo_init() == LZO_E_OK;
  return ready;
}

}  // namespace

NetFrameAssembler::NetFrameAssembler(std::size_t frameBytes)
    : frame_(frameBytes, 0), covered_((frameBytes + 63) / 64, 0) {
  LzoReady();
}

void NetFrameAssembler::StartPicture() {
  std::fill(covered_.begin(), covered_.end(), 0);
  coveredBytes_ = 0;
  finished_ = false;
}

void NetFrameAssembler::FinishFrame() {
  if (coveredBytes_ == frame_.size()) {
    ++framesComplete_;
  } else {
    ++framesIncomplete_;
  }
  finished_ = true;
}

// Sets the bits of [begin, end) and counts the ones that were clear, so a
// piece that arrives twice covers its bytes once.
void NetFrameAssembler::Cover(std::size_t begin, std::size_t end) {
  if (begin >= end) return;
  const std::size_t first = begin >> 6;
  const std::size_t last = (end - 1) >> 6;
  const uint64_t firstMask = ~uint64_t{0} << (begin & 63);
  const uint64_t lastMask = ~uint64_t{0} >> (63 - ((end - 1) & 63));
  std::size_t added = 0;
  if (first == last) {
    const uint64_t mask = firstMask & lastMask;
    added += static_cast<std::size_t>(std::popcount(mask & ~covered_[first]));
    covered_[first] |= mask;
  } else {
    added += static_cast<std::size_t>(std::popcount(firstMask & ~covered_[first]));
    covered_[first] |= firstMask;
    for (std::size_t w = first + 1; w < last; ++w) {
      added += 64 - static_cast<std::size_t>(std::popcount(covered_[w]));
      covered_[w] = ~uint64_t{0};
    }
    added += static_cast<std::size_t>(std::popcount(lastMask & ~covered_[last]));
    covered_[last] |= lastMask;
  }
  coveredBytes_ += added;
}

bool NetFrameAssembler::Inflate(std::size_t offset, const uint8_t* payload, std::size_t size,
                                std::size_t* produced) {
  if (!LzoReady() || size == 0 || offset >= frame_.size()) return false;
  lzo_uint out = frame_.size() - offset;
  const int result = lzo1x_decompress_safe(payload, size, frame_.data() + offset, &out, nullptr);
  if (result != LZO_E_OK || out > frame_.size() - offset) return false;
  *produced = out;
  return true;
}

NetFrameAssembler::DatagramResult NetFrameAssembler::TakeDatagram(const uint8_t* data, std::size_t size) {
  if (finished_) StartPicture();
  if (size == kEndOfFrameMarkerBytes && std::memcmp(data, kEndOfFrameMarker, kEndOfFrameMarkerBytes) == 0) {
    FinishFrame();
    return DatagramResult::kFrameDone;
  }
  if (size < kFramePacketHeaderBytes) {
    Drop();
    return DatagramResult::kDropped;
  }
  const PieceHeader piece = ReadHeader(data);
  const uint8_t* payload = data + kFramePacketHeaderBytes;
  if (piece.length == 0 || piece.length != size - kFramePacketHeaderBytes) {
    Drop();
    return DatagramResult::kDropped;
  }
  if (piece.compressed) {
    std::size_t produced = 0;
    if (!Inflate(piece.offset, payload, piece.length, &produced)) {
      Drop();
      return DatagramResult::kDropped;
    }
    Cover(piece.offset, piece.offset + produced);
    return DatagramResult::kPlaced;
  }
  if (piece.offset > frame_.size() || piece.length > frame_.size() - piece.offset) {
    Drop();
    return DatagramResult::kDropped;
  }
  std::memcpy(frame_.data() + piece.offset, payload, piece.length);
  Cover(piece.offset, piece.offset + piece.length);
  return DatagramResult::kPlaced;
}

void NetFrameAssembler::ResetStream() {
  state_ = StreamState::kHeader;
  headerHave_ = 0;
  pieceHave_ = 0;
  StartPicture();
}

NetFrameAssembler::StreamStep NetFrameAssembler::TakeStream(const uint8_t* data, std::size_t size) {
  if (state_ == StreamState::kCorrupt) return {0, StreamEvent::kCorrupt};
  if (finished_) StartPicture();
  const std::size_t frameBytes = frame_.size();
  std::size_t pos = 0;
  // A compressed payload is whole: decompress it, and say whether it
  // finished the frame.
  auto placeCompressed = [&](const uint8_t* payload) {
    std::size_t produced = 0;
    if (!Inflate(pieceOffset_, payload, pieceLength_, &produced)) {
      Drop();
      return false;
    }
    Cover(pieceOffset_, pieceOffset_ + produced);
    if (pieceOffset_ + produced < frameBytes) return false;
    FinishFrame();
    return true;
  };
  while (pos < size) {
    switch (state_) {
      case StreamState::kHeader: {
        const std::size_t n = std::min(kFramePacketHeaderBytes - headerHave_, size - pos);
        std::memcpy(header_ + headerHave_, data + pos, n);
        headerHave_ += n;
        pos += n;
        if (headerHave_ < kFramePacketHeaderBytes) break;
        headerHave_ = 0;
        const PieceHeader piece = ReadHeader(header_);
        const std::size_t most = piece.compressed ? MaxCompressedPiece() : MaxRawPiece();
        if (piece.offset >= frameBytes || piece.length > most) {
          state_ = StreamState::kCorrupt;
          return {pos, StreamEvent::kCorrupt};
        }
        pieceOffset_ = piece.offset;
        pieceLength_ = piece.length;
        pieceHave_ = 0;
        if (piece.length == 0) {
          Drop();
        } else if (piece.compressed) {
          if (size - pos >= piece.length) {  // all here: no copy
            pos += piece.length;
            if (placeCompressed(data + pos - piece.length)) return {pos, StreamEvent::kFrameDone};
          } else {
            state_ = StreamState::kCompressedPayload;
          }
        } else if (piece.length > frameBytes - piece.offset) {
          Drop();
          state_ = StreamState::kSkipPayload;
        } else {
          state_ = StreamState::kRawPayload;
        }
        break;
      }
      case StreamState::kRawPayload: {
        const std::size_t n = std::min(pieceLength_ - pieceHave_, size - pos);
        const std::size_t at = pieceOffset_ + pieceHave_;
        std::memcpy(frame_.data() + at, data + pos, n);
        Cover(at, at + n);
        pieceHave_ += n;
        pos += n;
        if (pieceHave_ == pieceLength_) {
          state_ = StreamState::kHeader;
          if (pieceOffset_ + pieceLength_ == frameBytes) {
            FinishFrame();
            return {pos, StreamEvent::kFrameDone};
          }
        }
        break;
      }
      case StreamState::kSkipPayload: {
        const std::size_t n = std::min(pieceLength_ - pieceHave_, size - pos);
        pieceHave_ += n;
        pos += n;
        if (pieceHave_ == pieceLength_) state_ = StreamState::kHeader;
        break;
      }
      case StreamState::kCompressedPayload: {
        if (staging_.size() < MaxCompressedPiece()) staging_.resize(MaxCompressedPiece());
        const std::size_t n = std::min(pieceLength_ - pieceHave_, size - pos);
        std::memcpy(staging_.data() + pieceHave_, data + pos, n);
        pieceHave_ += n;
        pos += n;
        if (pieceHave_ == pieceLength_) {
          state_ = StreamState::kHeader;
          if (placeCompressed(staging_.data())) return {pos, StreamEvent::kFrameDone};
        }
        break;
      }
      case StreamState::kCorrupt:
        return {pos, StreamEvent::kCorrupt};
    }
  }
  return {pos, StreamEvent::kNeedMore};
}

}  // namespace corvalind

// The network feed's wire format: how the network transmitter cuts one
// program picture into packets and how a receiver puts it together again.
//
// A frame is the output buffer's picture (width x height x 3 bytes,
// blue-green-red, bottom row first) and carries no header of its own: the
// receiver must know width and height. Each packet is an 8-byte header and
// one piece of the frame:
//
//   offset 0  4 bytes  offset word: the piece's byte offset within the frame,
//                      plus kCompressedOffsetFlag when the payload is
//                      LZO1X-1 compressed on its own
//   offset 4  4 bytes  payload length in bytes
//   offset 8  ...      the payload
//
// Both words are little-endian. Over UDP every packet is one datagram and
// each frame ends with one datagram holding the three bytes "END"; over TCP
// the packets follow each other on the stream with no end marker.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvalind {

inline constexpr uint32_t kCompressedOffsetFlag = 2000000000u;
inline constexpr std::size_t kFramePacketHeaderBytes = 8;
inline constexpr char kEndOfFrameMarker[] = {'E', 'N', 'D'};
inline constexpr std::size_t kEndOfFrameMarkerBytes = sizeof(kEndOfFrameMarker);
inline constexpr int kDefaultNetworkPort = 5566;

inline void StoreLittleEndian32(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
  at[2] = static_cast<uint8_t>(value >> 16);
  at[3] = static_cast<uint8_t>(value >> 24);
}

inline uint32_t LoadLittleEndian32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
         static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

}  // namespace corvalind

// The one pixel layout of the studio.
//
// A frame is 3 bytes per pixel in the order blue, green, red; the bottom row
// is stored first; rows are packed at width * 3 bytes with no padding. Width
// and height travel beside the buffer, never inside it. Every source slot,
// work buffer, the program picture and the shared output block use it, and
// all placement maths counts rows from the bottom (row 0 is the lowest line).
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvalind {

inline constexpr int kBytesPerPixel = 3;

// Byte size of a packed frame; 64-bit so that no product of two int sizes
// can overflow on the way.
constexpr std::size_t FrameSizeBytes(int width, int height, int bytesPerPixel = kBytesPerPixel) {
  if (width <= 0 || height <= 0 || bytesPerPixel <= 0) return 0;
  return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
         static_cast<std::size_t>(bytesPerPixel);
}

}  // namespace corvalind

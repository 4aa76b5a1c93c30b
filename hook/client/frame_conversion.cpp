#include "hook/client/frame_conversion.h"

#include <algorithm>
#include <cstddef>

namespace corvalind {

uint32_t ConvertToFrameLayout(uint8_t* buffer, uint32_t capacity, uint32_t bytes, int32_t width, int32_t height,
                              int32_t bytesPerPixel) {
  if (bytesPerPixel != 4) return bytes;
  if (width <= 0 || height <= 0) return 0;
  const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  if (pixels * 4 > capacity) return 0;
  // Front to back: pixel i's new place (3 * i) never lies after its old
  // one (4 * i), so nothing is overwritten before it moved.
  for (uint64_t i = 0; i < pixels; ++i) {
    uint8_t* from = buffer + 4 * i;
    uint8_t* to = buffer + 3 * i;
    to[0] = from[0];
    to[1] = from[1];
    to[2] = from[2];
  }
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
  for (int32_t row = 0; row < height / 2; ++row) {
    uint8_t* top = buffer + static_cast<std::size_t>(row) * rowBytes;
    uint8_t* bottom = buffer + static_cast<std::size_t>(height - 1 - row) * rowBytes;
    std::swap_ranges(top, top + rowBytes, bottom);
  }
  return static_cast<uint32_t>(pixels * 3);
}

}  // namespace corvalind

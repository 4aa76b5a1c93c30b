// Turning a frame from the exchange into the studio's Frame layout.
#pragma once

#include <cstdint>

namespace corvalind {

// Frames of 4 bytes a pixel (top row first, the fourth byte unused) become
// 3 bytes a pixel, bottom row first, in place: pixel i's first three bytes
// move to offset 3 * i, then the rows are exchanged end for end (a middle
// row of an odd height stays). Returns the new byte count, width * height *
// 3, or 0 (buffer untouched) when width * height * 4 bytes are more than
// `capacity`, the size of the buffer. Frames of any other pixel size are
// left as they are and keep their `bytes`.
uint32_t ConvertToFrameLayout(uint8_t* buffer, uint32_t capacity, uint32_t bytes, int32_t width, int32_t height,
                              int32_t bytesPerPixel);

}  // namespace corvalind

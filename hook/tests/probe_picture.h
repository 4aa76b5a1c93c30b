// What gl_probe draws, so that a captured frame can be checked pixel by
// pixel: four quadrants of fixed colours (red, green and blue all differ,
// so a swapped channel, a mirrored or upside-down frame all show), and
// across the top a strip of 24 cells of 8 x 8 pixels holding the frame's
// number in binary (cell i white when bit i is set, else black).
//
// Coordinates are top-down (y = 0 is the top row) as the probe lays the
// picture out; frames in the studio's layout are bottom-up.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvalind::probe {

struct Rgb {
  uint8_t r, g, b;
};

inline constexpr Rgb kTopLeft{200, 30, 90};
inline constexpr Rgb kTopRight{20, 180, 60};
inline constexpr Rgb kBottomLeft{40, 70, 220};
inline constexpr Rgb kBottomRight{250, 210, 10};
inline constexpr int kCellSize = 8;
inline constexpr int kCounterBits = 24;
inline constexpr uint32_t kCounterMask = (1u << kCounterBits) - 1;

// The colour of pixel (x, y) of frame `number` in a width x height picture.
inline Rgb PixelAt(int x, int y, int width, int height, uint32_t number) {
  if (y < kCellSize && x < kCellSize * kCounterBits) {
    const bool set = (number >> (x / kCellSize)) & 1u;
    return set ? Rgb{255, 255, 255} : Rgb{0, 0, 0};
  }
  const bool top = y < height / 2;
  const bool left = x < width / 2;
  if (top) return left ? kTopLeft : kTopRight;
  return left ? kBottomLeft : kBottomRight;
}

// Reads the number out of a bottom-up blue-green-red frame and checks that
// every pixel is exactly what the probe draws for it. False when the frame
// is too small, too short for its size or differs anywhere.
inline bool MatchesProbePicture(const uint8_t* frame, std::size_t bytes, int width, int height,
                                uint32_t* number) {
  if (width < kCellSize * kCounterBits || height < 2 * kCellSize) return false;
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
  if (bytes < rowBytes * static_cast<std::size_t>(height)) return false;
  auto pixel = [&](int x, int y) { return frame + rowBytes * static_cast<std::size_t>(height - 1 - y) + 3 * x; };
  uint32_t value = 0;
  for (int bit = 0; bit < kCounterBits; ++bit) {
    const uint8_t* centre = pixel(bit * kCellSize + kCellSize / 2, kCellSize / 2);
    if (centre[0] == 255) value |= 1u << bit;
  }
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const Rgb want = PixelAt(x, y, width, height, value);
      const uint8_t* got = pixel(x, y);
      if (got[0] != want.b || got[1] != want.g || got[2] != want.r) return false;
    }
  }
  *number = value;
  return true;
}

}  // namespace corvalind::probe

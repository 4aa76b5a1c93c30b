// Small helpers for engine tests: deterministic random frames, solid
// frames and pixel access in the bottom-up layout.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace corvalind::testing {

inline std::vector<uint8_t> RandomBytes(std::size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

inline std::vector<uint8_t> SolidFrame(int w, int h, uint8_t blue, uint8_t green, uint8_t red) {
  std::vector<uint8_t> frame(static_cast<std::size_t>(w) * h * 3);
  for (std::size_t i = 0; i < frame.size(); i += 3) {
    frame[i] = blue;
    frame[i + 1] = green;
    frame[i + 2] = red;
  }
  return frame;
}

struct Bgr {
  uint8_t b, g, r;
  bool operator==(const Bgr&) const = default;
};

// Pixel at column x of bottom-up row `row`.
inline Bgr PixelAt(const uint8_t* frame, int width, int x, int row) {
  const uint8_t* p = frame + (static_cast<std::size_t>(row) * width + x) * 3;
  return {p[0], p[1], p[2]};
}

// A buffer with guard bytes after the frame, to catch writes past its end.
struct GuardedFrame {
  static constexpr std::size_t kGuard = 64;
  static constexpr uint8_t kCanary = 0xA5;
  std::vector<uint8_t> bytes;
  std::size_t size;
  GuardedFrame(int w, int h, uint8_t fill = 0)
      : bytes(static_cast<std::size_t>(w) * h * 3 + kGuard, kCanary),
        size(static_cast<std::size_t>(w) * h * 3) {
    std::memset(bytes.data(), fill, size);
  }
  uint8_t* data() { return bytes.data(); }
  bool GuardIntact() const {
    for (std::size_t i = size; i < bytes.size(); ++i) {
      if (bytes[i] != kCanary) return false;
    }
    return true;
  }
  std::vector<uint8_t> Frame() const { return {bytes.begin(), bytes.begin() + static_cast<long>(size)}; }
};

}  // namespace corvalind::testing

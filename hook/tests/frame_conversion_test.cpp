// Bringing exchange frames into the Frame layout: 4-byte frames are packed
// and turned bottom-up in place, every other pixel size passes untouched.
#include "hook/client/frame_conversion.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <vector>

namespace corvalind {
namespace {

// The byte c of source pixel (x, y), y counted from the top: distinct
// enough that a pixel landing in the wrong place, a swapped channel or a
// row off by one shows.
uint8_t SourceByte(int x, int y, int c) {
  switch (c) {
    case 0:
      return static_cast<uint8_t>(x * 7 + y);
    case 1:
      return static_cast<uint8_t>(x + 3 * y + 1);
    case 2:
      return static_cast<uint8_t>(x * y + 5);
    default:
      return 0xEE;  // the byte that must go
  }
}

struct ConversionCase {
  const char* name;
  int32_t width;
  int32_t height;
  int32_t bytesPerPixel;
  uint32_t capacity;  // bytes of the buffer
  uint32_t bytes;     // what the exchange handed over
  uint32_t expected;  // byte count after the conversion
};

void PrintTo(const ConversionCase& c, std::ostream* out) { *out << c.name; }

class FrameConversion : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(FrameConversion, GivesTheStudiosLayoutOrLeavesTheFrame) {
  const ConversionCase& c = GetParam();
  std::vector<uint8_t> buffer(c.capacity);
  const int pixelBytes = c.bytesPerPixel > 0 ? c.bytesPerPixel : 1;
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    const std::size_t pixel = i / pixelBytes;
    const int x = c.width > 0 ? static_cast<int>(pixel % c.width) : 0;
    const int y = c.width > 0 ? static_cast<int>(pixel / c.width) : 0;
    buffer[i] = SourceByte(x, y, static_cast<int>(i % pixelBytes));
  }
  const std::vector<uint8_t> before = buffer;

  const uint32_t count = ConvertToFrameLayout(buffer.data(), c.capacity, c.bytes, c.width, c.height, c.bytesPerPixel);
  ASSERT_EQ(count, c.expected);

  if (c.bytesPerPixel != 4 || count == 0) {
    EXPECT_EQ(buffer, before);
    return;
  }
  // Bottom row first, blue-green-red as the first three bytes came.
  for (int y = 0; y < c.height; ++y) {
    for (int x = 0; x < c.width; ++x) {
      const std::size_t at = (static_cast<std::size_t>(c.height - 1 - y) * c.width + x) * 3;
      for (int k = 0; k < 3; ++k) {
        ASSERT_EQ(buffer[at + k], SourceByte(x, y, k)) << "pixel " << x << "," << y << " byte " << k;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FrameConversion,
    ::testing::Values(
        // A 1280 x 720 Direct3D back buffer arrives as 2764800 bytes.
        ConversionCase{"HdFourBytes", 1280, 720, 4, 1280 * 720 * 4, 1280 * 720 * 4, 2764800},
        // An odd height keeps its middle row in place.
        ConversionCase{"OddHeight", 5, 601, 4, 5 * 601 * 4, 5 * 601 * 4, 5 * 601 * 3},
        ConversionCase{"OnePixel", 1, 1, 4, 4, 4, 3},
        // In the 9,216,000-byte buffer of the hook context.
        ConversionCase{"InTheHookBuffer", 161, 159, 4, 9216000, 161 * 159 * 4, 161 * 159 * 3},
        // OpenGL frames are already the studio's layout.
        ConversionCase{"ThreeBytes", 800, 600, 3, 800 * 600 * 3, 1440000, 1440000},
        // The count is what was taken, also when the frame was cut short.
        ConversionCase{"ThreeBytesCutShort", 800, 600, 3, 800 * 600 * 3, 1000000, 1000000},
        ConversionCase{"TwoBytes", 640, 480, 2, 640 * 480 * 2, 640 * 480 * 2, 640 * 480 * 2},
        // A size the buffer cannot hold is not converted (and not delivered).
        ConversionCase{"LargerThanTheBuffer", 5, 6, 4, 100, 100, 0},
        ConversionCase{"NoWidth", 0, 6, 4, 64, 64, 0}),
    [](const ::testing::TestParamInfo<ConversionCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corvalind

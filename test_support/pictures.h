// Picture files for the tests, painted pixel by pixel and written with
// FreeImage in any of the formats the studio reads.
#pragma once

#include <FreeImage.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>

#include "platform/freeimage/picture_file.h"

namespace corvalind::testing {

struct Bgra {
  uint8_t b, g, r, a;
};

// A FreeImage bitmap filled by `paint(x, rowFromTop)`.
inline BitmapPtr MakeBitmap(int width, int height, int bits, const std::function<Bgra(int, int)>& paint) {
  InitPictureLibrary();
  BitmapPtr bitmap(FreeImage_Allocate(width, height, bits));
  for (int row = 0; row < height; ++row) {
    BYTE* line = FreeImage_GetScanLine(bitmap.get(), height - 1 - row);
    for (int x = 0; x < width; ++x) {
      const Bgra c = paint(x, row);
      BYTE* p = line + x * (bits / 8);
      p[0] = c.b;
      p[1] = c.g;
      p[2] = c.r;
      if (bits == 32) p[3] = c.a;
    }
  }
  return bitmap;
}

inline BitmapPtr Solid(int width, int height, Bgra c, int bits = 24) {
  return MakeBitmap(width, height, bits, [c](int, int) { return c; });
}

inline void Save(FIBITMAP* bitmap, FREE_IMAGE_FORMAT format, const std::filesystem::path& path, int flags = 0) {
  ASSERT_TRUE(FreeImage_Save(format, bitmap, path.c_str(), flags)) << path;
}

}  // namespace corvalind::testing

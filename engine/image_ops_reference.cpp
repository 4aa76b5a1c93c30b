#include "engine/image_ops_reference.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/key_settings.h"

namespace corvalind::reference {

namespace {

// Byte offset of pixel (column, row) in a packed frame `width` pixels wide.
// 64-bit so that no size the routines accept can overflow it.
std::size_t At(int column, int row, int width, int bpp) {
  return (static_cast<std::size_t>(row) * static_cast<std::size_t>(width) +
          static_cast<std::size_t>(column)) *
         static_cast<std::size_t>(bpp);
}

bool ValidSizes(int srcW, int srcH, int dstW, int dstH, int bpp) {
  return srcW > 0 && srcH > 0 && dstW > 0 && dstH > 0 && bpp > 0;
}

// The three bytes of a colour value (red in the low byte, green in the
// next, blue in the third).
int RedOf(uint32_t color) { return static_cast<int>(color & 0xFF); }
int GreenOf(uint32_t color) { return static_cast<int>((color >> 8) & 0xFF); }
int BlueOf(uint32_t color) { return static_cast<int>((color >> 16) & 0xFF); }

// Draws one source pixel s onto one destination pixel d in the mode of
// BlendRect: with a mask, entry 255 copies, 128 averages each byte and any
// other value leaves d; without one, alpha 0 copies and any other alpha
// weighs d by alpha and s by 255 - alpha, then divides by 256.
void DrawPixel(const uint8_t* s, uint8_t* d, int bpp, uint8_t alpha, const uint8_t* maskEntry) {
  for (int c = 0; c < bpp; ++c) {
    if (maskEntry) {
      if (*maskEntry == 255) {
        d[c] = s[c];
      } else if (*maskEntry == 128) {
        d[c] = static_cast<uint8_t>((d[c] + s[c]) / 2);
      }
    } else if (alpha == 0) {
      d[c] = s[c];
    } else {
      d[c] = static_cast<uint8_t>((d[c] * alpha + s[c] * (255 - alpha)) / 256);
    }
  }
}

}  // namespace

void ScaleNearest(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH,
                  int bpp) {
  if (!ValidSizes(srcW, srcH, dstW, dstH, bpp)) return;
  const int64_t stepX = (static_cast<int64_t>(srcW) * 65536) / dstW;
  const int64_t stepY = (static_cast<int64_t>(srcH) * 65536) / dstH;
  for (int y = 0; y < dstH; ++y) {
    // Large enlargements of tiny sources would step one past the last row or
    // column because of the "+ 1"; those stay on the last one.
    const int64_t sy = std::min<int64_t>((y * (stepY + 1)) >> 16, srcH - 1);
    int64_t accumulator = 0;
    for (int x = 0; x < dstW; ++x) {
      const int64_t sx = std::min<int64_t>(accumulator >> 16, srcW - 1);
      accumulator += stepX + 1;
      const uint8_t* s = src + At(static_cast<int>(sx), static_cast<int>(sy), srcW, bpp);
      uint8_t* d = dst + At(x, y, dstW, bpp);
      for (int c = 0; c < bpp; ++c) d[c] = s[c];
    }
  }
}

void ScaleBilinear(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH,
                   int bpp) {
  if (!ValidSizes(srcW, srcH, dstW, dstH, bpp)) return;
  const float ratioX = static_cast<float>(static_cast<double>(srcW) / dstW);
  const float ratioY = static_cast<float>(static_cast<double>(srcH) / dstH);
  const uint8_t* end = src + At(0, srcH, srcW, bpp);
  for (int y = 0; y < dstH; ++y) {
    const float fy = static_cast<float>(y) * ratioY;
    int iy = static_cast<int>(fy);
    const float wy = fy - static_cast<float>(iy);
    const float wy0 = (1.0f - wy) * 256.0f;
    const float wy1 = wy * 256.0f;
    iy = std::min(iy, srcH - 1);
    const int iy1 = iy + 1 < srcH ? iy + 1 : iy;
    float fx = 0.0f;
    for (int x = 0; x < dstW; ++x) {
      int ix = static_cast<int>(fx);
      const float wx = fx - static_cast<float>(ix);
      fx += ratioX;
      ix = std::min(ix, srcW - 1);
      const int w00 = static_cast<int>((1.0f - wx) * wy0);
      const int w10 = static_cast<int>(wx * wy0);
      const int w01 = static_cast<int>((1.0f - wx) * wy1);
      const int w11 = static_cast<int>(wx * wy1);
      const uint8_t* p00 = src + At(ix, iy, srcW, bpp);
      const uint8_t* p01 = src + At(ix, iy1, srcW, bpp);
      // The right neighbour is the next pixel in memory (the first pixel of
      // the following row for the last column); past the end of the picture
      // the pixel stands in for it.
      const uint8_t* p10 = p00 + bpp + bpp <= end ? p00 + bpp : p00;
      const uint8_t* p11 = p01 + bpp + bpp <= end ? p01 + bpp : p01;
      uint8_t* d = dst + At(x, y, dstW, bpp);
      for (int c = 0; c < bpp; ++c) {
        d[c] = static_cast<uint8_t>((p00[c] * w00 + p10[c] * w10 + p01[c] * w01 + p11[c] * w11) >> 8);
      }
    }
  }
}

void ScaleFrame(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH, int bpp,
                bool keepAspect, bool fillWithKey) {
  if (dstW <= 0 || dstH <= 0 || bpp <= 0) return;
  const bool bilinear = bilinearScaling.load();
  if (!keepAspect) {
    if (srcW == dstW && srcH == dstH) {
      std::memcpy(dst, src, At(0, dstH, dstW, bpp));
    } else if (bilinear) {
      ScaleBilinear(src, srcW, srcH, dst, dstW, dstH, bpp);
    } else {
      ScaleNearest(src, srcW, srcH, dst, dstW, dstH, bpp);
    }
    return;
  }
  if (srcW == 0) return;

  // The fitted size: first by the width ratio (a float; the products in
  // double, truncated toward zero), then, when that is too tall, by the
  // height of dst with the fitted width : height ratio as a float.
  const float ratio = static_cast<float>(dstW) / static_cast<float>(srcW);
  int fitW = static_cast<int>(static_cast<double>(srcW) * static_cast<double>(ratio));
  int fitH = static_cast<int>(static_cast<double>(ratio) * static_cast<double>(srcH));
  if (fitH > dstH) {
    const float r2 = static_cast<float>(fitW) / static_cast<float>(fitH);
    fitW = static_cast<int>(static_cast<double>(dstH) * static_cast<double>(r2));
    fitH = dstH;
  }
  // Float rounding must never let the picture stick out at the right.
  fitW = std::min(fitW, dstW);

  // The bars: key colour (blue, green, red; further bytes 0) or black.
  uint32_t color = 0;
  if (fillWithKey) color = chromaAutoKey.load() ? autoKeyColor.load() : chromaKeyColor.load();
  const uint8_t bar[3] = {static_cast<uint8_t>(BlueOf(color)), static_cast<uint8_t>(GreenOf(color)),
                          static_cast<uint8_t>(RedOf(color))};
  for (int row = 0; row < dstH; ++row) {
    for (int column = 0; column < dstW; ++column) {
      uint8_t* d = dst + At(column, row, dstW, bpp);
      for (int c = 0; c < bpp; ++c) d[c] = c < 3 ? bar[c] : 0;
    }
  }
  if (srcW < 0 || srcH <= 0 || fitW <= 0 || fitH <= 0) return;

  std::vector<uint8_t> fitted(At(0, fitH, fitW, bpp));
  if (bilinear) {
    ScaleBilinear(src, srcW, srcH, fitted.data(), fitW, fitH, bpp);
  } else {
    ScaleNearest(src, srcW, srcH, fitted.data(), fitW, fitH, bpp);
  }
  const int row0 = (dstH - fitH) / 2;
  const int column0 = (dstW - fitW) / 2;
  for (int row = 0; row < fitH; ++row) {
    for (int column = 0; column < fitW; ++column) {
      const uint8_t* s = fitted.data() + At(column, row, fitW, bpp);
      uint8_t* d = dst + At(column0 + column, row0 + row, dstW, bpp);
      for (int c = 0; c < bpp; ++c) d[c] = s[c];
    }
  }
}

void BlendRect(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH, int bpp,
               int x, int y, uint8_t alpha, const uint8_t* mask) {
  if (!ValidSizes(srcW, srcH, dstW, dstH, bpp)) return;
  // What is drawn, in pixels: `rows` source rows from `firstRow` and
  // `columns` source columns from `firstColumn`, landing at (left, bottom).
  // The clipping goes below, right, left, then top, each step working on
  // what the previous left; 64-bit so that no position can overflow.
  int64_t left = x, bottom = y;
  int64_t firstRow = 0, rows = srcH;
  int64_t firstColumn = 0, columns = std::min(srcW, dstW);
  if (bottom < 0) {  // the first -y source rows lie below row 0
    firstRow = -bottom;
    rows = srcH + bottom;
    bottom = 0;
  }
  if (srcW + left > dstW) {  // the source passes the right edge
    columns = dstW - left;
    if (columns <= 0) return;
  }
  if (left < 0) {  // the first -x source columns lie left of column 0
    if (-left > srcW) return;
    columns += left;
    firstColumn = -left;
    left = 0;
  }
  rows = std::min<int64_t>(rows, dstH - bottom);  // the top edge

  for (int64_t r = 0; r < rows; ++r) {
    const int sourceRow = static_cast<int>(firstRow + r);
    for (int64_t c = 0; c < columns; ++c) {
      const int sourceColumn = static_cast<int>(firstColumn + c);
      // The mask has one entry per source pixel, so clipped rows and
      // columns skip their entries too.
      const uint8_t* entry =
          mask ? mask + static_cast<std::size_t>(sourceRow) * static_cast<std::size_t>(srcW) +
                     static_cast<std::size_t>(sourceColumn)
               : nullptr;
      DrawPixel(src + At(sourceColumn, sourceRow, srcW, bpp),
                dst + At(static_cast<int>(left + c), static_cast<int>(bottom + r), dstW, bpp), bpp,
                alpha, entry);
    }
  }
}

void BlendCentred(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH, int bpp,
                  uint8_t alpha, const uint8_t* mask) {
  if (!ValidSizes(srcW, srcH, dstW, dstH, bpp)) return;
  // A smaller source is centred (integer halves of the spare room); a larger
  // one is not: its first dstW columns and dstH rows are used.
  const int columns = std::min(srcW, dstW);
  const int rows = std::min(srcH, dstH);
  const int left = dstW > srcW ? (dstW - srcW) / 2 : 0;
  const int bottom = dstH > srcH ? (dstH - srcH) / 2 : 0;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) {
      const uint8_t* entry =
          mask ? mask + static_cast<std::size_t>(r) * static_cast<std::size_t>(srcW) +
                     static_cast<std::size_t>(c)
               : nullptr;
      DrawPixel(src + At(c, r, srcW, bpp), dst + At(left + c, bottom + r, dstW, bpp), bpp, alpha,
                entry);
    }
  }
}

void CrossFade(const uint8_t* other, uint8_t* out, int width, int height, int bpp, uint8_t weight) {
  if (width <= 0 || height <= 0 || bpp <= 0) return;
  const std::size_t n = At(0, height, width, bpp);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = static_cast<uint8_t>(((255 - weight) * other[i] + weight * out[i]) / 256);
  }
}

namespace {

// The threshold test d >= trunc(f * difference): the product is a float and
// the truncation goes toward zero. A product that is not a number (an
// infinite range times a zero difference) lets every pixel difference pass,
// as a threshold below every difference would.
double Threshold(float product) {
  if (std::isnan(product)) return -std::numeric_limits<double>::infinity();
  return std::trunc(static_cast<double>(product));
}

}  // namespace

void BuildKeyMask(const uint8_t* image, int width, int height, int bpp, uint8_t* mask) {
  if (width <= 0 || height <= 0 || bpp < 3) return;

  // 1. The key colour.
  uint32_t key = chromaKeyColor.load();
  if (chromaAutoKey.load()) {
    // Scan the middle row from column 10. Each pixel first looks at the
    // luminance of the one before: above 50, the scan stops and this pixel
    // is the key. Otherwise this pixel is remembered in autoKeyColor and its
    // luminance taken. A scan that never stops keys on its last pixel. With
    // 10 columns or fewer there is nothing to scan and the previous key
    // stays.
    key = autoKeyColor.load();
    const int middle = height / 2;
    int previousLuminance = 0;
    for (int column = 10; column < width; ++column) {
      const uint8_t* p = image + At(column, middle, width, bpp);
      const uint32_t pixel = static_cast<uint32_t>(p[2]) | (static_cast<uint32_t>(p[1]) << 8) |
                             (static_cast<uint32_t>(p[0]) << 16);
      key = pixel;
      if (previousLuminance > 50) break;
      autoKeyColor.store(pixel);
      previousLuminance = (76 * p[2] + 150 * p[1] + 30 * p[0]) >> 8;
    }
  }
  const int keyRed = RedOf(key), keyGreen = GreenOf(key), keyBlue = BlueOf(key);

  // 2. The dominant channel (red wins ties, then green) and 3. the two
  // thresholds: the key's lead of that channel over each other one, times
  // the range.
  enum class Dominant { Red, Green, Blue };
  const int strongest = std::max({keyRed, keyGreen, keyBlue});
  const Dominant dominant = strongest == keyRed     ? Dominant::Red
                            : strongest == keyGreen ? Dominant::Green
                                                    : Dominant::Blue;
  const float range = chromaKeyRange.load();
  double t1 = 0, t2 = 0;
  switch (dominant) {
    case Dominant::Red:
      t1 = Threshold(static_cast<float>(keyRed - keyGreen) * range);
      t2 = Threshold(static_cast<float>(keyRed - keyBlue) * range);
      break;
    case Dominant::Green:
      t1 = Threshold(static_cast<float>(keyGreen - keyRed) * range);
      t2 = Threshold(static_cast<float>(keyGreen - keyBlue) * range);
      break;
    case Dominant::Blue:
      t1 = Threshold(static_cast<float>(keyBlue - keyRed) * range);
      t2 = Threshold(static_cast<float>(keyBlue - keyGreen) * range);
      break;
  }

  // 4. and 5. Rows from the top down, each from the left, with a run of
  // non-key pixels that restarts on every row.
  for (int row = height - 1; row >= 0; --row) {
    int run = 0;
    uint8_t* m = mask + static_cast<std::size_t>(row) * static_cast<std::size_t>(width);
    for (int column = 0; column < width; ++column) {
      const uint8_t* p = image + At(column, row, width, bpp);
      const int blue = p[0], green = p[1], red = p[2];
      int d1 = 0, d2 = 0;
      switch (dominant) {
        case Dominant::Red: d1 = red - green; d2 = red - blue; break;
        case Dominant::Green: d1 = green - red; d2 = green - blue; break;
        case Dominant::Blue: d1 = blue - red; d2 = blue - green; break;
      }
      if (d1 >= t1 && d2 >= t2) {
        // A key pixel ends the run: the run's last pixel becomes an edge.
        if (run > 0) m[column - 1] = 128;
        m[column] = 0;
        run = 0;
      } else {
        // The first pixel of a run (after a key pixel or at the row start)
        // is an edge, the others opaque.
        ++run;
        m[column] = run == 1 ? 128 : 255;
      }
    }
  }
}

}  // namespace corvalind::reference

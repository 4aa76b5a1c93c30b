#include "engine/image_ops_reference.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/aspect_fit.h"
#include "engine/key_settings.h"

namespace corvalind::reference {

namespace {

std::size_t Bytes(int w, int h, int bpp) {
  return static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * static_cast<std::size_t>(bpp);
}

bool ValidSizes(int srcW, int srcH, int dstW, int dstH, int bpp) {
  return srcW > 0 && srcH > 0 && dstW > 0 && dstH > 0 && bpp > 0;
}

void FillKeyOrBlack(uint8_t* dst, int dstW, int dstH, int bpp, bool fillWithKey) {
  if (!fillWithKey) {
    std::memset(dst, 0, Bytes(dstW, dstH, bpp));
    return;
  }
  const uint32_t color = chromaAutoKey.load() ? autoKeyColor.load() : chromaKeyColor.load();
  const uint8_t bgr[3] = {ColorBlue(color), ColorGreen(color), ColorRed(color)};
  const std::size_t pixels = static_cast<std::size_t>(dstW) * static_cast<std::size_t>(dstH);
  for (std::size_t p = 0; p < pixels; ++p) {
    for (int c = 0; c < bpp; ++c) dst[p * bpp + c] = c < 3 ? bgr[c] : 0;
  }
}

// One row loop for both masked and alpha drawing; row r of the drawn part
// reads source row srcRow0 + r from column srcCol and writes destination row
// dstRow0 + r from column dstCol.
void DrawRows(const uint8_t* src, int srcW, uint8_t* dst, int dstW, int bpp, int srcRow0,
              int srcCol, int dstRow0, int dstCol, int rows, int count, uint8_t alpha,
              const uint8_t* mask) {
  for (int r = 0; r < rows; ++r) {
    const uint8_t* s = src + Bytes(srcW, srcRow0 + r, bpp) + static_cast<std::size_t>(srcCol) * bpp;
    uint8_t* d = dst + Bytes(dstW, dstRow0 + r, bpp) + static_cast<std::size_t>(dstCol) * bpp;
    if (mask) {
      const uint8_t* m = mask + static_cast<std::size_t>(srcRow0 + r) * srcW + srcCol;
      const int pixels = count / bpp;
      for (int p = 0; p < pixels; ++p) {
        for (int c = 0; c < bpp; ++c) {
          const int i = p * bpp + c;
          if (m[p] == 255) {
            d[i] = s[i];
          } else if (m[p] == 128) {
            d[i] = static_cast<uint8_t>((d[i] + s[i]) >> 1);
          }
        }
      }
    } else if (alpha == 0) {
      std::memcpy(d, s, static_cast<std::size_t>(count));
    } else {
      for (int i = 0; i < count; ++i) {
        d[i] = static_cast<uint8_t>((d[i] * alpha + s[i] * (255 - alpha)) >> 8);
      }
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
      const uint8_t* s = src + (sy * srcW + sx) * bpp;
      uint8_t* d = dst + (static_cast<int64_t>(y) * dstW + x) * bpp;
      for (int c = 0; c < bpp; ++c) d[c] = s[c];
    }
  }
}

void ScaleBilinear(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH,
                   int bpp) {
  if (!ValidSizes(srcW, srcH, dstW, dstH, bpp)) return;
  const float ratioX = static_cast<float>(static_cast<double>(srcW) / dstW);
  const float ratioY = static_cast<float>(static_cast<double>(srcH) / dstH);
  const uint8_t* end = src + Bytes(srcW, srcH, bpp);
  const std::size_t stride = static_cast<std::size_t>(srcW) * bpp;
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
      const uint8_t* p00 = src + static_cast<std::size_t>(iy) * stride + static_cast<std::size_t>(ix) * bpp;
      const uint8_t* p01 = src + static_cast<std::size_t>(iy1) * stride + static_cast<std::size_t>(ix) * bpp;
      // The right neighbour is the next pixel in memory (the first pixel of
      // the following row for the last column); past the end of the picture
      // the pixel stands in for it.
      const uint8_t* p10 = p00 + bpp + bpp <= end ? p00 + bpp : p00;
      const uint8_t* p11 = p01 + bpp + bpp <= end ? p01 + bpp : p01;
      uint8_t* d = dst + (static_cast<std::size_t>(y) * dstW + x) * bpp;
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
      std::memcpy(dst, src, Bytes(dstW, dstH, bpp));
    } else if (bilinear) {
      ScaleBilinear(src, srcW, srcH, dst, dstW, dstH, bpp);
    } else {
      ScaleNearest(src, srcW, srcH, dst, dstW, dstH, bpp);
    }
    return;
  }
  if (srcW == 0) return;
  FitSize fit = AspectFit(srcW, srcH, dstW, dstH);
  fit.width = std::min(fit.width, dstW);
  FillKeyOrBlack(dst, dstW, dstH, bpp, fillWithKey);
  if (fit.width <= 0 || fit.height <= 0 || srcH <= 0 || srcW < 0) return;
  std::vector<uint8_t> temp(Bytes(fit.width, fit.height, bpp));
  if (bilinear) {
    ScaleBilinear(src, srcW, srcH, temp.data(), fit.width, fit.height, bpp);
  } else {
    ScaleNearest(src, srcW, srcH, temp.data(), fit.width, fit.height, bpp);
  }
  const int row0 = (dstH - fit.height) / 2;
  const int col0 = (dstW - fit.width) / 2;
  for (int r = 0; r < fit.height; ++r) {
    std::memcpy(dst + Bytes(dstW, row0 + r, bpp) + static_cast<std::size_t>(col0) * bpp,
                temp.data() + Bytes(fit.width, r, bpp), static_cast<std::size_t>(fit.width) * bpp);
  }
}

void BlendRect(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH, int bpp,
               int x, int y, uint8_t alpha, const uint8_t* mask) {
  if (srcW <= 0 || srcH <= 0 || dstW <= 0 || dstH <= 0 || bpp <= 0) return;
  int count = std::min(srcW, dstW) * bpp;
  int srcOffset = 0;
  int rows = srcH;
  int skip = 0;
  if (y < 0) {
    skip = -y;
    rows = srcH + y;
    y = 0;
  }
  if (srcW + x > dstW) {
    count = (dstW - x) * bpp;
    if (count <= 0) return;
  }
  if (x < 0) {
    if (-x > srcW) return;
    count += x * bpp;
    srcOffset = -x;
    x = 0;
  }
  rows = std::min(rows, dstH - y);
  if (rows <= 0 || count <= 0) return;
  DrawRows(src, srcW, dst, dstW, bpp, skip, srcOffset, y, x, rows, count, alpha, mask);
}

void BlendCentred(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH, int bpp,
                  uint8_t alpha, const uint8_t* mask) {
  if (srcW <= 0 || srcH <= 0 || dstW <= 0 || dstH <= 0 || bpp <= 0) return;
  const int count = std::min(srcW, dstW) * bpp;
  const int row0 = dstH > srcH ? (dstH - srcH) / 2 : 0;
  const int col0 = dstW > srcW ? (dstW - srcW) / 2 : 0;
  const int rows = std::min(srcH, dstH);
  DrawRows(src, srcW, dst, dstW, bpp, 0, 0, row0, col0, rows, count, alpha, mask);
}

void CrossFade(const uint8_t* other, uint8_t* out, int width, int height, int bpp, uint8_t weight) {
  const std::size_t n = Bytes(std::max(width, 0), std::max(height, 0), std::max(bpp, 0));
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = static_cast<uint8_t>(((255 - weight) * other[i] + weight * out[i]) >> 8);
  }
}

namespace {

// Pixel differences lie in -255..255, so thresholds outside -65536..65536
// decide the same way; clamping keeps the float-to-int step defined for any
// range setting.
int ToThreshold(float value) {
  if (!(value > -65536.0f)) return -65536;
  if (value > 65536.0f) return 65536;
  return static_cast<int>(value);
}

}  // namespace

KeyParams PrepareKey(const uint8_t* image, int width, int height, int bpp) {
  uint32_t color = chromaKeyColor.load();
  if (chromaAutoKey.load()) {
    // Without a pixel to scan (10 columns or fewer) the previous key stays.
    color = autoKeyColor.load();
    if (width > 10 && height > 0) {
      const uint8_t* row = image + Bytes(width, height / 2, bpp);
      int luminance = 0;
      bool stopped = false;
      for (int c = 10; c < width; ++c) {
        const uint8_t* p = row + static_cast<std::size_t>(c) * bpp;
        const uint32_t pixel = MakeColor(p[2], p[1], p[0]);
        if (luminance > 50) {
          color = pixel;
          stopped = true;
          break;
        }
        autoKeyColor.store(pixel);
        luminance = (76 * p[2] + 150 * p[1] + 30 * p[0]) >> 8;
      }
      if (!stopped) color = autoKeyColor.load();
    }
  }
  const int red = ColorRed(color), green = ColorGreen(color), blue = ColorBlue(color);
  const float f = chromaKeyRange.load();
  KeyParams key;
  const int m = std::max({red, green, blue});
  if (m == red) {
    key.mode = 0;
    key.t1 = ToThreshold(static_cast<float>(red - green) * f);
    key.t2 = ToThreshold(static_cast<float>(red - blue) * f);
  } else if (m == green) {
    key.mode = 1;
    key.t1 = ToThreshold(static_cast<float>(green - red) * f);
    key.t2 = ToThreshold(static_cast<float>(green - blue) * f);
  } else {
    key.mode = 2;
    key.t1 = ToThreshold(static_cast<float>(blue - red) * f);
    key.t2 = ToThreshold(static_cast<float>(blue - green) * f);
  }
  return key;
}

void BuildKeyMask(const uint8_t* image, int width, int height, int bpp, uint8_t* mask) {
  if (width <= 0 || height <= 0 || bpp < 3) return;
  const KeyParams key = PrepareKey(image, width, height, bpp);
  for (int row = height - 1; row >= 0; --row) {
    int run = 0;
    uint8_t* m = mask + static_cast<std::size_t>(row) * width;
    const uint8_t* p = image + Bytes(width, row, bpp);
    for (int c = 0; c < width; ++c, p += bpp) {
      if (IsKeyPixel(key, p[0], p[1], p[2])) {
        if (run > 0) m[c - 1] = 128;
        m[c] = 0;
        run = 0;
      } else {
        ++run;
        m[c] = run == 1 ? 128 : 255;
      }
    }
  }
}

}  // namespace corvalind::reference

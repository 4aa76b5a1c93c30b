#include "engine/image_ops.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "engine/aspect_fit.h"
#include "engine/image_ops_kernels.h"
#include "engine/image_ops_reference.h"
#include "engine/key_settings.h"
#include "engine/worker_pool.h"

namespace corvalind {

namespace {

std::atomic<PixelKernels> gForcedKernels{PixelKernels::Auto};

bool UseAvx2() {
  const PixelKernels forced = gForcedKernels.load(std::memory_order_relaxed);
  if (forced == PixelKernels::Portable) return false;
  return CpuHasAvx2();
}

std::size_t Bytes(int w, int h, int bpp) {
  return static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * static_cast<std::size_t>(bpp);
}

// Runs a row job over a pool, or on this thread when there is none.
template <typename Job>
void RunRows(WorkerPool* pool, int rows, const Job& job) {
  if (pool) {
    pool->Run(rows, job);
  } else {
    job(0, rows);
  }
}

// Per-thread work buffers that only grow, one per use (Tag): ScaleFrame's
// fitted picture and BuildKeyMask's row flags need one per call.
template <int Tag>
std::vector<uint8_t>& ThreadScratch(std::size_t bytes) {
  thread_local std::vector<uint8_t> scratch;
  if (scratch.size() < bytes) scratch.resize(bytes);
  return scratch;
}

// Prepares the shuffle controls of the vector nearest-neighbour kernel:
// group g covers destination pixels 4g .. 4g + 3 and reads one 16-byte
// window from the source pixel of 4g.
void PlanGroupShuffles(kernels::NearestPlan& plan) {
  const int groups = plan.dstW / 4;
  plan.groupBase.resize(static_cast<std::size_t>(groups));
  plan.groupShuffle.resize(static_cast<std::size_t>(groups) * 16);
  for (int g = 0; g < groups; ++g) {
    const int32_t base = plan.columnOffset[static_cast<std::size_t>(4 * g)];
    plan.groupBase[static_cast<std::size_t>(g)] = base;
    uint8_t* control = plan.groupShuffle.data() + 16 * g;
    for (int k = 0; k < 4; ++k) {
      const int32_t at = plan.columnOffset[static_cast<std::size_t>(4 * g + k)] - base;
      if (at + 3 > 16) {  // this reduction spreads a group too wide
        plan.groupBase.clear();
        plan.groupShuffle.clear();
        return;
      }
      for (int c = 0; c < 3; ++c) control[3 * k + c] = static_cast<uint8_t>(at + c);
    }
    for (int i = 12; i < 16; ++i) control[i] = 0x80;
  }
}

// Prepares the window shuffles with which the vector bilinear kernel
// spreads a source row: quad q covers destination pixels 4q .. 4q + 3 and
// reads one 16-byte window from the source pixel of 4q. Left empty when a
// quad's pixels and right neighbours do not fit one window.
void PlanSpreadShuffles(kernels::BilinearPlan& plan) {
  const int octets = plan.dstW / 8;
  const int quads = octets * 2;
  plan.quadBase.resize(static_cast<std::size_t>(quads));
  plan.spreadShuffle.resize(static_cast<std::size_t>(octets) * 96);
  for (int q = 0; q < quads; ++q) {
    const int32_t base = plan.columnOffset[static_cast<std::size_t>(4 * q)];
    plan.quadBase[static_cast<std::size_t>(q)] = base;
    for (int k = 0; k < 4; ++k) {
      const int32_t at = plan.columnOffset[static_cast<std::size_t>(4 * q + k)] - base;
      if (at + 6 > 16) {
        plan.quadBase.clear();
        plan.spreadShuffle.clear();
        return;
      }
      for (int c = 0; c < 3; ++c) {
        // Octet q / 2, channel plane c, half q % 2, dword k: p00 | p10 << 16.
        uint8_t* control = plan.spreadShuffle.data() + 96 * (q / 2) + 32 * c + 16 * (q % 2) + 4 * k;
        control[0] = static_cast<uint8_t>(at + c);
        control[1] = 0x80;
        control[2] = static_cast<uint8_t>(at + 3 + c);
        control[3] = 0x80;
      }
    }
  }
}

}  // namespace

bool CpuHasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("sse4.1");
  return has;
}

void SetPixelKernels(PixelKernels kernels) { gForcedKernels.store(kernels); }

PixelKernels ActivePixelKernels() { return UseAvx2() ? PixelKernels::Avx2 : PixelKernels::Portable; }

// ---------------------------------------------------------------------------
// Portable kernels

namespace kernels {

void NearestRowsPortable(const NearestPlan& plan, int firstRow, int endRow) {
  const std::size_t dstStride = static_cast<std::size_t>(plan.dstW) * 3;
  const std::size_t srcStride = static_cast<std::size_t>(plan.srcW) * 3;
  int previousSourceRow = -1;
  for (int y = firstRow; y < endRow; ++y) {
    uint8_t* d = plan.dst + y * dstStride;
    const int sy = plan.SourceRow(y);
    if (sy == previousSourceRow) {
      // Enlarging repeats source rows: copy the row just made.
      std::memcpy(d, d - dstStride, dstStride);
      continue;
    }
    previousSourceRow = sy;
    const uint8_t* s = plan.src + sy * srcStride;
    // A 4-byte move per pixel is cheaper than three byte moves; the extra
    // byte lands on the next pixel of the same row, which is written next.
    // The last pixel of a row is moved in 3 bytes so that no byte of another
    // row (maybe another thread's) is touched.
    int wide = plan.dstW - 1;
    if (sy == plan.srcH - 1) wide = std::min(wide, plan.lastRowSafeColumns);
    const int32_t* offsets = plan.columnOffset.data();
    int x = 0;
    for (; x < wide; ++x) std::memcpy(d + x * 3, s + offsets[x], 4);
    for (; x < plan.dstW; ++x) std::memcpy(d + x * 3, s + offsets[x], 3);
  }
}

void BilinearRowsPortable(const BilinearPlan& plan, int firstRow, int endRow) {
  const std::size_t dstStride = static_cast<std::size_t>(plan.dstW) * 3;
  for (int y = firstRow; y < endRow; ++y) {
    const BilinearPlan::Row row = plan.RowAt(y);
    uint8_t* d = plan.dst + y * dstStride;
    for (int x = 0; x < plan.dstW; ++x) BilinearPixel(plan, row, x, d + x * 3);
  }
}

void MixBytesPortable(const uint8_t* under, const uint8_t* over, uint8_t* out, std::size_t n,
                      uint8_t a) {
  const unsigned weightUnder = a;
  const unsigned weightOver = 255u - a;
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = static_cast<uint8_t>((under[i] * weightUnder + over[i] * weightOver) >> 8);
  }
}

void MaskRowPortable(const uint8_t* src, const uint8_t* mask, uint8_t* dst, int pixels) {
  for (int p = 0; p < pixels; ++p, src += 3, dst += 3) {
    if (mask[p] == 255) {
      dst[0] = src[0];
      dst[1] = src[1];
      dst[2] = src[2];
    } else if (mask[p] == 128) {
      dst[0] = static_cast<uint8_t>((dst[0] + src[0]) >> 1);
      dst[1] = static_cast<uint8_t>((dst[1] + src[1]) >> 1);
      dst[2] = static_cast<uint8_t>((dst[2] + src[2]) >> 1);
    }
  }
}

void KeyFlagsPortable(const uint8_t* row, int width, const KeyParams& key, uint8_t* flags) {
  for (int c = 0; c < width; ++c, row += 3) {
    flags[c] = IsKeyPixel(key, row[0], row[1], row[2]) ? 0xFF : 0;
  }
}

namespace {

// Pixel differences lie in -255..255, so thresholds outside -65536..65536
// decide the same way; clamping keeps the float-to-int step defined for any
// range setting (a product that is not a number lets every difference pass).
int ToThreshold(float value) {
  if (!(value > -65536.0f)) return -65536;
  if (value > 65536.0f) return 65536;
  return static_cast<int>(value);
}

}  // namespace

KeyParams PrepareKey(const uint8_t* image, int width, int height) {
  uint32_t color = chromaKeyColor.load();
  if (chromaAutoKey.load()) {
    // Without a pixel to scan (10 columns or fewer) the previous key stays.
    color = autoKeyColor.load();
    if (width > 10 && height > 0) {
      const uint8_t* row = image + Bytes(width, height / 2, 3);
      int luminance = 0;
      bool stopped = false;
      for (int c = 10; c < width; ++c) {
        const uint8_t* p = row + static_cast<std::size_t>(c) * 3;
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

}  // namespace kernels

// ---------------------------------------------------------------------------
// Routines

void ScaleNearest(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH,
                  int bpp) {
  ScaleNearest(src, srcW, srcH, dst, dstW, dstH, bpp, &DefaultWorkerPool());
}

void ScaleNearest(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH, int bpp,
                  WorkerPool* pool) {
  if (srcW <= 0 || srcH <= 0 || dstW <= 0 || dstH <= 0) return;
  if (bpp != 3) {
    reference::ScaleNearest(src, srcW, srcH, dst, dstW, dstH, bpp);
    return;
  }
  kernels::NearestPlan plan;
  plan.src = src;
  plan.srcW = srcW;
  plan.srcH = srcH;
  plan.dst = dst;
  plan.dstW = dstW;
  plan.dstH = dstH;
  const int64_t stepX = (static_cast<int64_t>(srcW) * 65536) / dstW;
  plan.stepY = (static_cast<int64_t>(srcH) * 65536) / dstH;
  plan.columnOffset.resize(static_cast<std::size_t>(dstW));
  int64_t accumulator = 0;
  const int32_t rowBytes = srcW * 3;
  for (int x = 0; x < dstW; ++x) {
    const int64_t column = std::min<int64_t>(accumulator >> 16, srcW - 1);
    accumulator += stepX + 1;
    plan.columnOffset[x] = static_cast<int32_t>(column * 3);
    if (plan.columnOffset[x] + 4 <= rowBytes) plan.lastRowSafeColumns = x + 1;
  }
  if (UseAvx2()) PlanGroupShuffles(plan);
  const auto job = [&plan](int first, int end) {
    if (UseAvx2()) {
      kernels::NearestRowsAvx2(plan, first, end);
    } else {
      kernels::NearestRowsPortable(plan, first, end);
    }
  };
  // The rows below the last go to the workers; the last row, which ends at
  // the very end of dst, is done here afterwards.
  RunRows(pool, dstH - 1, job);
  job(dstH - 1, dstH);
}

void ScaleBilinear(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH,
                   int bpp) {
  ScaleBilinear(src, srcW, srcH, dst, dstW, dstH, bpp, &DefaultWorkerPool());
}

void ScaleBilinear(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH,
                   int bpp, WorkerPool* pool) {
  if (srcW <= 0 || srcH <= 0 || dstW <= 0 || dstH <= 0) return;
  if (bpp != 3) {
    reference::ScaleBilinear(src, srcW, srcH, dst, dstW, dstH, bpp);
    return;
  }
  kernels::BilinearPlan plan;
  plan.src = src;
  plan.srcW = srcW;
  plan.srcH = srcH;
  plan.dst = dst;
  plan.dstW = dstW;
  plan.dstH = dstH;
  plan.srcBytes = Bytes(srcW, srcH, 3);
  const float ratioX = static_cast<float>(static_cast<double>(srcW) / dstW);
  plan.ratioY = static_cast<float>(static_cast<double>(srcH) / dstH);
  // Padded by 8 so that vector loads of the tables never leave them.
  const std::size_t padded = static_cast<std::size_t>(dstW) + 8;
  plan.columnOffset.assign(padded, 0);
  plan.wx.assign(padded, 0.0f);
  plan.oneMinusWx.assign(padded, 0.0f);
  float fx = 0.0f;  // accumulated, not x * ratioX: the positions drift as the studio's do
  for (int x = 0; x < dstW; ++x) {
    const int ix = static_cast<int>(fx);
    const float wx = fx - static_cast<float>(ix);
    fx += ratioX;
    plan.columnOffset[x] = std::min(ix, srcW - 1) * 3;
    plan.wx[x] = wx;
    plan.oneMinusWx[x] = 1.0f - wx;
  }
  if (UseAvx2()) PlanSpreadShuffles(plan);
  const auto job = [&plan](int first, int end) {
    if (UseAvx2()) {
      kernels::BilinearRowsAvx2(plan, first, end);
    } else {
      kernels::BilinearRowsPortable(plan, first, end);
    }
  };
  RunRows(pool, dstH, job);
}

void ScaleFrame(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH, int bpp,
                bool keepAspect, bool fillWithKey) {
  if (dstW <= 0 || dstH <= 0 || bpp <= 0) return;
  const bool bilinear = bilinearScaling.load(std::memory_order_relaxed);
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

  if (fillWithKey) {
    const uint32_t color = chromaAutoKey.load() ? autoKeyColor.load() : chromaKeyColor.load();
    const uint8_t bgr[3] = {ColorBlue(color), ColorGreen(color), ColorRed(color)};
    const std::size_t pixelBytes = static_cast<std::size_t>(bpp);
    uint8_t pattern[64] = {};
    for (std::size_t i = 0; i < pixelBytes && i < sizeof(pattern); ++i) pattern[i] = i < 3 ? bgr[i] : 0;
    // Fill the first row pixel by pixel, then copy it to the other rows.
    const std::size_t rowBytes = static_cast<std::size_t>(dstW) * pixelBytes;
    for (std::size_t i = 0; i < rowBytes; i += pixelBytes) std::memcpy(dst + i, pattern, pixelBytes);
    for (int r = 1; r < dstH; ++r) std::memcpy(dst + r * rowBytes, dst, rowBytes);
  } else {
    std::memset(dst, 0, Bytes(dstW, dstH, bpp));
  }
  if (fit.width <= 0 || fit.height <= 0 || srcW < 0 || srcH <= 0) return;

  std::vector<uint8_t>& temp = ThreadScratch<0>(Bytes(fit.width, fit.height, bpp));
  if (bilinear) {
    ScaleBilinear(src, srcW, srcH, temp.data(), fit.width, fit.height, bpp);
  } else {
    ScaleNearest(src, srcW, srcH, temp.data(), fit.width, fit.height, bpp);
  }
  const int row0 = (dstH - fit.height) / 2;
  const int col0 = (dstW - fit.width) / 2;
  const std::size_t fitRow = static_cast<std::size_t>(fit.width) * bpp;
  for (int r = 0; r < fit.height; ++r) {
    std::memcpy(dst + Bytes(dstW, row0 + r, bpp) + static_cast<std::size_t>(col0) * bpp,
                temp.data() + r * fitRow, fitRow);
  }
}

namespace {

void DrawRows(const uint8_t* src, int srcW, uint8_t* dst, int dstW, int bpp, int srcRow0,
              int srcCol, int dstRow0, int dstCol, int rows, int count, uint8_t alpha,
              const uint8_t* mask) {
  const bool avx2 = UseAvx2();
  for (int r = 0; r < rows; ++r) {
    const uint8_t* s = src + Bytes(srcW, srcRow0 + r, bpp) + static_cast<std::size_t>(srcCol) * bpp;
    uint8_t* d = dst + Bytes(dstW, dstRow0 + r, bpp) + static_cast<std::size_t>(dstCol) * bpp;
    if (mask) {
      const uint8_t* m = mask + static_cast<std::size_t>(srcRow0 + r) * srcW + srcCol;
      if (avx2) {
        kernels::MaskRowAvx2(s, m, d, count / 3);
      } else {
        kernels::MaskRowPortable(s, m, d, count / 3);
      }
    } else if (alpha == 0) {
      std::memcpy(d, s, static_cast<std::size_t>(count));
    } else if (avx2) {
      kernels::MixBytesAvx2(d, s, d, static_cast<std::size_t>(count), alpha);
    } else {
      kernels::MixBytesPortable(d, s, d, static_cast<std::size_t>(count), alpha);
    }
  }
}

}  // namespace

void BlendRect(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH, int bpp,
               int x, int y, uint8_t alpha, const uint8_t* mask) {
  if (bpp != 3) {
    reference::BlendRect(src, srcW, srcH, dst, dstW, dstH, bpp, x, y, alpha, mask);
    return;
  }
  if (srcW <= 0 || srcH <= 0 || dstW <= 0 || dstH <= 0) return;
  // Clipping: below, right, left, then top.
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
  if (bpp != 3) {
    reference::BlendCentred(src, srcW, srcH, dst, dstW, dstH, bpp, alpha, mask);
    return;
  }
  if (srcW <= 0 || srcH <= 0 || dstW <= 0 || dstH <= 0) return;
  const int count = std::min(srcW, dstW) * bpp;
  const int row0 = dstH > srcH ? (dstH - srcH) / 2 : 0;
  const int col0 = dstW > srcW ? (dstW - srcW) / 2 : 0;
  DrawRows(src, srcW, dst, dstW, bpp, 0, 0, row0, col0, std::min(srcH, dstH), count, alpha, mask);
}

void CrossFade(const uint8_t* other, uint8_t* out, int width, int height, int bpp, uint8_t weight) {
  if (width <= 0 || height <= 0 || bpp <= 0) return;
  const std::size_t n = Bytes(width, height, bpp);
  // The formula is the alpha blend with `other` underneath at weight 255 - w.
  const uint8_t underWeight = static_cast<uint8_t>(255 - weight);
  if (UseAvx2()) {
    kernels::MixBytesAvx2(other, out, out, n, underWeight);
  } else {
    kernels::MixBytesPortable(other, out, out, n, underWeight);
  }
}

void BuildKeyMask(const uint8_t* image, int width, int height, int bpp, uint8_t* mask) {
  if (bpp != 3) {
    reference::BuildKeyMask(image, width, height, bpp, mask);
    return;
  }
  if (width <= 0 || height <= 0) return;
  const kernels::KeyParams key = kernels::PrepareKey(image, width, height);
  // flags[0] stands for the pixel left of column 0 and counts as key, so
  // that the first pixel of a row is an edge; flags[width + 1] stands for
  // the pixel past the row and is not key, so the last pixel keeps 255.
  std::vector<uint8_t>& flags = ThreadScratch<1>(static_cast<std::size_t>(width) + 2);
  const bool avx2 = UseAvx2();
  for (int row = 0; row < height; ++row) {
    const uint8_t* pixels = image + Bytes(width, row, 3);
    uint8_t* f = flags.data();
    f[0] = 0xFF;
    f[width + 1] = 0;
    if (avx2) {
      kernels::KeyFlagsAvx2(pixels, width, key, f + 1);
    } else {
      kernels::KeyFlagsPortable(pixels, width, key, f + 1);
    }
    // A non-key pixel next to a key pixel (or at the row start) is an edge.
    uint8_t* m = mask + static_cast<std::size_t>(row) * width;
    for (int c = 0; c < width; ++c) {
      const uint8_t isKey = f[c + 1];
      const uint8_t nearKey = f[c] | f[c + 2];
      const uint8_t value = nearKey ? 128 : 255;
      m[c] = static_cast<uint8_t>(value & ~isKey);
    }
  }
}

}  // namespace corvalind

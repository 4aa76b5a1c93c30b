// Row kernels behind the pixel routines, in a portable version and an AVX2
// version (image_ops_avx2.cpp, used only after a runtime check). Both produce
// the bytes of image_ops_reference.cpp exactly, without sharing any of its
// code (the comparison would not see a fault in shared code). Internal to
// the engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvalind::kernels {

// The key colour of one mask, reduced to what the per-pixel test needs.
struct KeyParams {
  int mode = 1;  // 0 red, 1 green, 2 blue: the dominant channel of the key
  int t1 = 0;
  int t2 = 0;
};
// Picks the key colour (searching the middle row and updating autoKeyColor
// when chromaAutoKey is on) and derives the mode and thresholds. 3 bytes per
// pixel.
KeyParams PrepareKey(const uint8_t* image, int width, int height);
// True when the pixel (blue, green, red) counts as key.
inline bool IsKeyPixel(const KeyParams& key, int blue, int green, int red) {
  int d1 = 0, d2 = 0;
  switch (key.mode) {
    case 0: d1 = red - green; d2 = red - blue; break;
    case 1: d1 = green - red; d2 = green - blue; break;
    default: d1 = blue - red; d2 = blue - green; break;
  }
  return d1 >= key.t1 && d2 >= key.t2;
}

// Everything a nearest-neighbour pass needs, computed once per call.
struct NearestPlan {
  const uint8_t* src = nullptr;
  int srcW = 0, srcH = 0;
  uint8_t* dst = nullptr;
  int dstW = 0, dstH = 0;
  int64_t stepY = 0;
  std::vector<int32_t> columnOffset;  // byte offset of column(x) in a source row
  // Leading destination columns whose 4-byte read stays inside the last
  // source row (the only row where reading one byte ahead could leave the
  // picture).
  int lastRowSafeColumns = 0;

  // Byte shuffles for groups of four destination pixels whose source pixels
  // all lie in one 16-byte window starting at the group's first source
  // pixel (true for enlargements and moderate reductions); empty when some
  // group does not fit. groupShuffle holds 16 control bytes per group.
  std::vector<int32_t> groupBase;
  std::vector<uint8_t> groupShuffle;

  int SourceRow(int y) const {
    const int64_t row = (y * (stepY + 1)) >> 16;
    return row < srcH - 1 ? static_cast<int>(row) : srcH - 1;
  }
};

struct BilinearPlan {
  const uint8_t* src = nullptr;
  int srcW = 0, srcH = 0;
  uint8_t* dst = nullptr;
  int dstW = 0, dstH = 0;
  float ratioY = 0.0f;
  std::size_t srcBytes = 0;
  std::vector<int32_t> columnOffset;  // byte offset of ix(x) in a source row
  std::vector<float> wx;              // fx - ix
  std::vector<float> oneMinusWx;      // 1 - wx
  // When every four destination pixels read their source pixels and right
  // neighbours from one 16-byte window (enlargements): the window start of
  // each group of four, and per group of eight the shuffles that turn two
  // windows into the blue, green and red weight-pair planes (96 bytes).
  std::vector<int32_t> quadBase;
  std::vector<uint8_t> spreadShuffle;

  // Source rows and vertical weights of destination row y.
  struct Row {
    int iy, iy1;
    float wy0, wy1;
  };
  Row RowAt(int y) const {
    const float fy = static_cast<float>(y) * ratioY;
    int iy = static_cast<int>(fy);
    const float wy = fy - static_cast<float>(iy);
    Row row{iy, iy, (1.0f - wy) * 256.0f, wy * 256.0f};
    if (row.iy > srcH - 1) row.iy = srcH - 1;
    row.iy1 = row.iy + 1 < srcH ? row.iy + 1 : row.iy;
    return row;
  }
};

// One bilinear output pixel, with the end-of-picture rule for the right
// neighbours. Shared by both versions for the columns the vector loop leaves.
inline void BilinearPixel(const BilinearPlan& plan, const BilinearPlan::Row& row, int x,
                          uint8_t* d) {
  const std::size_t stride = static_cast<std::size_t>(plan.srcW) * 3;
  const uint8_t* end = plan.src + plan.srcBytes;
  const uint8_t* p00 = plan.src + row.iy * stride + plan.columnOffset[x];
  const uint8_t* p01 = plan.src + row.iy1 * stride + plan.columnOffset[x];
  const uint8_t* p10 = p00 + 6 <= end ? p00 + 3 : p00;
  const uint8_t* p11 = p01 + 6 <= end ? p01 + 3 : p01;
  const int w00 = static_cast<int>(plan.oneMinusWx[x] * row.wy0);
  const int w10 = static_cast<int>(plan.wx[x] * row.wy0);
  const int w01 = static_cast<int>(plan.oneMinusWx[x] * row.wy1);
  const int w11 = static_cast<int>(plan.wx[x] * row.wy1);
  for (int c = 0; c < 3; ++c) {
    d[c] = static_cast<uint8_t>((p00[c] * w00 + p10[c] * w10 + p01[c] * w01 + p11[c] * w11) >> 8);
  }
}

void NearestRowsPortable(const NearestPlan& plan, int firstRow, int endRow);
void BilinearRowsPortable(const BilinearPlan& plan, int firstRow, int endRow);
// out[i] = (under[i] * a + over[i] * (255 - a)) >> 8; out may alias either.
void MixBytesPortable(const uint8_t* under, const uint8_t* over, uint8_t* out, std::size_t n,
                      uint8_t a);
// One row of masked drawing: 255 copies, 128 averages, others keep dst.
void MaskRowPortable(const uint8_t* src, const uint8_t* mask, uint8_t* dst, int pixels);
// flags[c] = 0xFF when pixel c of the row is key, else 0.
void KeyFlagsPortable(const uint8_t* row, int width, const KeyParams& key,
                      uint8_t* flags);

void NearestRowsAvx2(const NearestPlan& plan, int firstRow, int endRow);
void BilinearRowsAvx2(const BilinearPlan& plan, int firstRow, int endRow);
void MixBytesAvx2(const uint8_t* under, const uint8_t* over, uint8_t* out, std::size_t n,
                  uint8_t a);
void MaskRowAvx2(const uint8_t* src, const uint8_t* mask, uint8_t* dst, int pixels);
void KeyFlagsAvx2(const uint8_t* row, int width, const KeyParams& key, uint8_t* flags);

}  // namespace corvalind::kernels

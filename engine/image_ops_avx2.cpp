// AVX2 (and SSE4.1) versions of the row kernels. Compiled for the baseline
// processor; only the functions marked with the target attribute use the
// newer instructions, and they run only after CpuHasAvx2() said yes.
#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/image_ops_kernels.h"

#define CORVALIND_AVX2 __attribute__((target("avx2,sse4.1")))

namespace corvalind::kernels {

namespace {

constexpr char Z = static_cast<char>(0x80);  // pshufb: write a zero byte

// Stores the 12 useful bytes of v (four packed pixels).
CORVALIND_AVX2 inline void Store12(uint8_t* d, __m128i v) {
  _mm_storel_epi64(reinterpret_cast<__m128i*>(d), v);
  const int tail = _mm_extract_epi32(v, 2);
  std::memcpy(d + 8, &tail, 4);
}

}  // namespace

namespace {

// A source row spread out for the columns of the destination: in groups of
// eight destination pixels, three planes (blue, green, red) of eight dwords,
// each holding the channel of the source pixel at column(x) in its low word
// and that of its right neighbour in its high word. madd with a dword of
// weight pairs (w00 | w10 << 16) then gives p00 * w00 + p10 * w10 directly.
// Destination rows that use the same source row share its spread.
CORVALIND_AVX2 void SpreadSourceRow(const BilinearPlan& plan, int sourceRow, int32_t* spread) {
  // b0 g0 r0 b1 g1 r1 (p00 then p10) to the dwords b0|b1, g0|g1, r0|r1, 0.
  const __m256i toPairs = _mm256_setr_epi8(0, Z, 3, Z, 1, Z, 4, Z, 2, Z, 5, Z, Z, Z, Z, Z,
                                           0, Z, 3, Z, 1, Z, 4, Z, 2, Z, 5, Z, Z, Z, Z, Z);
  // The transposition leaves the pixels in the order 0 2 4 6 1 3 5 7.
  const __m256i pixelOrder = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  const std::size_t start = static_cast<std::size_t>(sourceRow) * plan.srcW * 3;
  const uint8_t* row = plan.src + start;
  const uint8_t* end = plan.src + plan.srcBytes;
  const int32_t* offsets = plan.columnOffset.data();
  // 8-byte loads stay inside the picture up to this column.
  const int64_t room = static_cast<int64_t>(plan.srcBytes) - static_cast<int64_t>(start) - 8;
  const int safe = static_cast<int>(std::upper_bound(offsets, offsets + plan.dstW, room) - offsets);
  const int groups = plan.dstW / 8;
  // With window shuffles, two 16-byte loads and three shuffles give all
  // three planes of eight pixels.
  const bool windows = !plan.quadBase.empty();
  const int32_t* quadBase = plan.quadBase.data();
  const int64_t windowRoom = static_cast<int64_t>(plan.srcBytes) - static_cast<int64_t>(start) - 16;
  for (int g = 0; g < groups; ++g) {
    const int x = g * 8;
    int32_t* out = spread + g * 24;
    if (windows && quadBase[2 * g + 1] <= windowRoom) {
      const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + quadBase[2 * g]));
      const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + quadBase[2 * g + 1]));
      const __m256i both = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
      const uint8_t* controls = plan.spreadShuffle.data() + 96 * g;
      for (int c = 0; c < 3; ++c) {
        const __m256i control = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(controls + 32 * c));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * c), _mm256_shuffle_epi8(both, control));
      }
      continue;
    }
    if (x + 8 <= safe) {
      __m256i q[4];
      for (int k = 0; k < 4; ++k) {
        const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + offsets[x + 2 * k]));
        const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + offsets[x + 2 * k + 1]));
        // Pixel 2k in the low half, 2k + 1 in the high half.
        q[k] = _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(a), b, 1), toPairs);
      }
      const __m256i t0 = _mm256_unpacklo_epi32(q[0], q[1]);
      const __m256i t1 = _mm256_unpackhi_epi32(q[0], q[1]);
      const __m256i t2 = _mm256_unpacklo_epi32(q[2], q[3]);
      const __m256i t3 = _mm256_unpackhi_epi32(q[2], q[3]);
      const __m256i blue = _mm256_permutevar8x32_epi32(_mm256_unpacklo_epi64(t0, t2), pixelOrder);
      const __m256i green = _mm256_permutevar8x32_epi32(_mm256_unpackhi_epi64(t0, t2), pixelOrder);
      const __m256i red = _mm256_permutevar8x32_epi32(_mm256_unpacklo_epi64(t1, t3), pixelOrder);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), blue);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8), green);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16), red);
      continue;
    }
    for (int k = 0; k < 8; ++k) {
      const uint8_t* p00 = row + offsets[x + k];
      const uint8_t* p10 = p00 + 6 <= end ? p00 + 3 : p00;
      for (int c = 0; c < 3; ++c) {
        out[c * 8 + k] = static_cast<int32_t>(p00[c] | (p10[c] << 16));
      }
    }
  }
}

// Two spread rows, kept while consecutive destination rows need them. The
// memory is per thread and only grows, so frames allocate nothing.
struct SpreadCache {
  int32_t* rows[2];
  int tags[2] = {-1, -1};

  explicit SpreadCache(std::size_t groups) {
    thread_local std::vector<int32_t> storage[2];
    for (int i = 0; i < 2; ++i) {
      if (storage[i].size() < groups * 24 + 1) storage[i].resize(groups * 24 + 1);
      rows[i] = storage[i].data();
    }
  }
  // Returns the spread of sourceRow, keeping the entry of `keep` (the other
  // row the same destination row needs).
  const int32_t* Get(const BilinearPlan& plan, int sourceRow, int keep) {
    for (int i = 0; i < 2; ++i) {
      if (tags[i] == sourceRow) return rows[i];
    }
    const int victim = tags[0] == keep ? 1 : 0;
    SpreadSourceRow(plan, sourceRow, rows[victim]);
    tags[victim] = sourceRow;
    return rows[victim];
  }
};

}  // namespace

CORVALIND_AVX2 void NearestRowsAvx2(const NearestPlan& plan, int firstRow, int endRow) {
  const int groups = static_cast<int>(plan.groupBase.size());
  if (groups == 0) {
    NearestRowsPortable(plan, firstRow, endRow);
    return;
  }
  const std::size_t dstStride = static_cast<std::size_t>(plan.dstW) * 3;
  const std::size_t srcStride = static_cast<std::size_t>(plan.srcW) * 3;
  const int32_t* bases = plan.groupBase.data();
  const uint8_t* controls = plan.groupShuffle.data();
  const int32_t* offsets = plan.columnOffset.data();
  int previousSourceRow = -1;
  for (int y = firstRow; y < endRow; ++y) {
    uint8_t* d = plan.dst + y * dstStride;
    const int sy = plan.SourceRow(y);
    if (sy == previousSourceRow) {
      std::memcpy(d, d - dstStride, dstStride);
      continue;
    }
    previousSourceRow = sy;
    const uint8_t* s = plan.src + sy * srcStride;
    // Windows must end inside the picture: near its end (and in small
    // pictures) the last groups go through the plain moves.
    const int64_t room = static_cast<int64_t>(plan.srcH - sy) * static_cast<int64_t>(srcStride) - 16;
    const int vectorGroups = static_cast<int>(std::upper_bound(bases, bases + groups, room) - bases);
    int g = 0;
    // Two groups (eight pixels) per step: one window per group, one
    // shuffle, and two stores of 12 bytes each. The stores are 16 bytes
    // wide while the 4 extra bytes land on pixels written next.
    for (; g + 2 <= vectorGroups; g += 2) {
      const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + bases[g]));
      const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + bases[g + 1]));
      const __m256i control = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(controls + 16 * g));
      const __m256i pixels =
          _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1), control);
      uint8_t* out = d + 12 * g;
      if (static_cast<std::size_t>(12 * g + 28) <= dstStride) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(pixels));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm256_extracti128_si256(pixels, 1));
      } else {
        Store12(out, _mm256_castsi256_si128(pixels));
        Store12(out + 12, _mm256_extracti128_si256(pixels, 1));
      }
    }
    for (; g < vectorGroups; ++g) {
      const __m128i window = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + bases[g]));
      const __m128i control = _mm_loadu_si128(reinterpret_cast<const __m128i*>(controls + 16 * g));
      Store12(d + 12 * g, _mm_shuffle_epi8(window, control));
    }
    int x = 4 * g;
    int wide = plan.dstW - 1;
    if (sy == plan.srcH - 1) wide = std::min(wide, plan.lastRowSafeColumns);
    for (; x < wide; ++x) std::memcpy(d + x * 3, s + offsets[x], 4);
    for (; x < plan.dstW; ++x) std::memcpy(d + x * 3, s + offsets[x], 3);
  }
}

CORVALIND_AVX2 void BilinearRowsAvx2(const BilinearPlan& plan, int firstRow, int endRow) {
  const std::size_t dstStride = static_cast<std::size_t>(plan.dstW) * 3;
  // Per 128-bit half: blue of 4 pixels, green of 4, red of 4, red again ->
  // the 12 packed bytes of those pixels.
  const __m256i interleave = _mm256_setr_epi8(0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, Z, Z, Z, Z,
                                              0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, Z, Z, Z, Z);
  const float* wxTable = plan.wx.data();
  const float* oneMinusWxTable = plan.oneMinusWx.data();
  SpreadCache cache(static_cast<std::size_t>(plan.dstW / 8));

  for (int y = firstRow; y < endRow; ++y) {
    const BilinearPlan::Row row = plan.RowAt(y);
    const int32_t* top = cache.Get(plan, row.iy, row.iy1);
    const int32_t* bottom = cache.Get(plan, row.iy1, row.iy);
    uint8_t* d = plan.dst + y * dstStride;
    const __m256 wy0 = _mm256_set1_ps(row.wy0);
    const __m256 wy1 = _mm256_set1_ps(row.wy1);

    int x = 0;
    for (; x + 8 <= plan.dstW; x += 8, top += 24, bottom += 24) {
      const __m256 wx = _mm256_loadu_ps(wxTable + x);
      const __m256 oneMinusWx = _mm256_loadu_ps(oneMinusWxTable + x);
      const __m256i w00 = _mm256_cvttps_epi32(_mm256_mul_ps(oneMinusWx, wy0));
      const __m256i w10 = _mm256_cvttps_epi32(_mm256_mul_ps(wx, wy0));
      const __m256i w01 = _mm256_cvttps_epi32(_mm256_mul_ps(oneMinusWx, wy1));
      const __m256i w11 = _mm256_cvttps_epi32(_mm256_mul_ps(wx, wy1));
      // Weights are at most 256, so a pair fits one dword as two words.
      const __m256i weightsTop = _mm256_or_si256(w00, _mm256_slli_epi32(w10, 16));
      const __m256i weightsBottom = _mm256_or_si256(w01, _mm256_slli_epi32(w11, 16));
      __m256i channel[3];
      for (int c = 0; c < 3; ++c) {
        const __m256i t = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(top + c * 8));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bottom + c * 8));
        channel[c] = _mm256_add_epi32(_mm256_madd_epi16(t, weightsTop), _mm256_madd_epi16(b, weightsBottom));
      }
      // Each sum is at most 255 * 256, so it packs into an unsigned word.
      const __m256i blueGreen = _mm256_srli_epi16(_mm256_packus_epi32(channel[0], channel[1]), 8);
      const __m256i redRed = _mm256_srli_epi16(_mm256_packus_epi32(channel[2], channel[2]), 8);
      const __m256i packed = _mm256_shuffle_epi8(_mm256_packus_epi16(blueGreen, redRed), interleave);
      if (x + 10 <= plan.dstW) {
        // 16-byte stores: the 4 extra bytes land on pixels written next,
        // and never past this row.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + x * 3), _mm256_castsi256_si128(packed));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + x * 3 + 12), _mm256_extracti128_si256(packed, 1));
      } else {
        Store12(d + x * 3, _mm256_castsi256_si128(packed));
        Store12(d + x * 3 + 12, _mm256_extracti128_si256(packed, 1));
      }
    }
    for (; x < plan.dstW; ++x) BilinearPixel(plan, row, x, d + x * 3);
  }
}

CORVALIND_AVX2 void MixBytesAvx2(const uint8_t* under, const uint8_t* over, uint8_t* out,
                                 std::size_t n, uint8_t a) {
  // pmaddubsw multiplies unsigned weights with signed bytes: with both
  // pixels biased by -128 the pair sum a*(u-128) + (255-a)*(o-128) is the
  // exact blend minus 128 * 255 and always fits a signed word.
  const __m256i weights =
      _mm256_set1_epi16(static_cast<int16_t>(a | ((255 - a) << 8)));
  const __m256i bias = _mm256_set1_epi8(static_cast<char>(0x80));
  const __m256i unbias = _mm256_set1_epi16(128 * 255);
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i u = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(under + i));
    const __m256i o = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(over + i));
    const __m256i lo = _mm256_xor_si256(_mm256_unpacklo_epi8(u, o), bias);
    const __m256i hi = _mm256_xor_si256(_mm256_unpackhi_epi8(u, o), bias);
    const __m256i sumLo = _mm256_srli_epi16(_mm256_add_epi16(_mm256_maddubs_epi16(weights, lo), unbias), 8);
    const __m256i sumHi = _mm256_srli_epi16(_mm256_add_epi16(_mm256_maddubs_epi16(weights, hi), unbias), 8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_packus_epi16(sumLo, sumHi));
  }
  if (i < n) MixBytesPortable(under + i, over + i, out + i, n - i, a);
}

CORVALIND_AVX2 void MaskRowAvx2(const uint8_t* src, const uint8_t* mask, uint8_t* dst, int pixels) {
  // Spread 16 mask bytes over the 48 bytes of their pixels.
  const __m128i spread0 = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
  const __m128i spread1 = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
  const __m128i spread2 = _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
  const __m128i edge = _mm_set1_epi8(static_cast<char>(128));
  const __m128i opaque = _mm_set1_epi8(static_cast<char>(255));
  const __m128i low7 = _mm_set1_epi8(0x7F);
  int p = 0;
  for (; p + 16 <= pixels; p += 16) {
    const __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mask + p));
    const __m128i spread[3] = {_mm_shuffle_epi8(m, spread0), _mm_shuffle_epi8(m, spread1),
                               _mm_shuffle_epi8(m, spread2)};
    for (int chunk = 0; chunk < 3; ++chunk) {
      uint8_t* dp = dst + p * 3 + chunk * 16;
      const __m128i dv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dp));
      const __m128i sv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + p * 3 + chunk * 16));
      // (d + s) >> 1 without overflow and without pavgb's rounding up.
      const __m128i average = _mm_add_epi8(
          _mm_and_si128(dv, sv), _mm_and_si128(_mm_srli_epi16(_mm_xor_si128(dv, sv), 1), low7));
      __m128i result = _mm_blendv_epi8(dv, average, _mm_cmpeq_epi8(spread[chunk], edge));
      result = _mm_blendv_epi8(result, sv, _mm_cmpeq_epi8(spread[chunk], opaque));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dp), result);
    }
  }
  if (p < pixels) MaskRowPortable(src + p * 3, mask + p, dst + p * 3, pixels - p);
}

CORVALIND_AVX2 void KeyFlagsAvx2(const uint8_t* row, int width, const KeyParams& key,
                                 uint8_t* flags) {
  // Splitting 16 packed pixels (48 bytes in three loads) into planes.
  const __m128i b0 = _mm_setr_epi8(0, 3, 6, 9, 12, 15, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z);
  const __m128i b1 = _mm_setr_epi8(Z, Z, Z, Z, Z, Z, 2, 5, 8, 11, 14, Z, Z, Z, Z, Z);
  const __m128i b2 = _mm_setr_epi8(Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, 1, 4, 7, 10, 13);
  const __m128i g0 = _mm_setr_epi8(1, 4, 7, 10, 13, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z);
  const __m128i g1 = _mm_setr_epi8(Z, Z, Z, Z, Z, 0, 3, 6, 9, 12, 15, Z, Z, Z, Z, Z);
  const __m128i g2 = _mm_setr_epi8(Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, 2, 5, 8, 11, 14);
  const __m128i r0 = _mm_setr_epi8(2, 5, 8, 11, 14, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, Z);
  const __m128i r1 = _mm_setr_epi8(Z, Z, Z, Z, Z, 1, 4, 7, 10, 13, Z, Z, Z, Z, Z, Z);
  const __m128i r2 = _mm_setr_epi8(Z, Z, Z, Z, Z, Z, Z, Z, Z, Z, 0, 3, 6, 9, 12, 15);
  // Differences lie in -255..255, so thresholds clamped to -256..256 decide
  // the same; d >= t is d > t - 1.
  const int t1 = std::clamp(key.t1, -256, 256) - 1;
  const int t2 = std::clamp(key.t2, -256, 256) - 1;
  const __m128i limit1 = _mm_set1_epi16(static_cast<int16_t>(t1));
  const __m128i limit2 = _mm_set1_epi16(static_cast<int16_t>(t2));
  const __m128i zero = _mm_setzero_si128();
  int c = 0;
  for (; c + 16 <= width; c += 16) {
    const uint8_t* p = row + c * 3;
    const __m128i c0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i c1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i c2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    const __m128i blue = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(c0, b0), _mm_shuffle_epi8(c1, b1)),
                                      _mm_shuffle_epi8(c2, b2));
    const __m128i green = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(c0, g0), _mm_shuffle_epi8(c1, g1)),
                                       _mm_shuffle_epi8(c2, g2));
    const __m128i red = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(c0, r0), _mm_shuffle_epi8(c1, r1)),
                                     _mm_shuffle_epi8(c2, r2));
    __m128i main = green, other1 = red, other2 = blue;
    if (key.mode == 0) {
      main = red;
      other1 = green;
    } else if (key.mode == 2) {
      main = blue;
      other2 = green;
    }
    __m128i keyHalves[2];
    for (int half = 0; half < 2; ++half) {
      const __m128i m = half ? _mm_unpackhi_epi8(main, zero) : _mm_cvtepu8_epi16(main);
      const __m128i o1 = half ? _mm_unpackhi_epi8(other1, zero) : _mm_cvtepu8_epi16(other1);
      const __m128i o2 = half ? _mm_unpackhi_epi8(other2, zero) : _mm_cvtepu8_epi16(other2);
      keyHalves[half] = _mm_and_si128(_mm_cmpgt_epi16(_mm_sub_epi16(m, o1), limit1),
                                      _mm_cmpgt_epi16(_mm_sub_epi16(m, o2), limit2));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(flags + c), _mm_packs_epi16(keyHalves[0], keyHalves[1]));
  }
  if (c < width) KeyFlagsPortable(row + c * 3, width - c, key, flags + c);
}

}  // namespace corvalind::kernels

// Plain, one-pixel-at-a-time versions of the pixel routines, written to
// follow their arithmetic step by step. They are the oracle the fast
// versions are tested against byte for byte, and the path taken for byte
// layouts other than 3 bytes per pixel. Single-threaded.
//
// The oracle shares no code with the fast versions: clipping, steps, the
// keep-aspect fit, the key colour search, thresholds and rounding are all
// worked out here from the arithmetic itself. A helper used by both sides
// would make the same mistake on both and hide it from the comparison. The
// only things read from elsewhere are the global key and scaling settings
// (key_settings.h), which are inputs, not arithmetic.
#pragma once

#include <cstdint>

namespace corvalind::reference {

void ScaleFrame(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH, int bpp,
                bool keepAspect, bool fillWithKey);
void ScaleNearest(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH,
                  int bpp);
void ScaleBilinear(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH,
                   int bpp);
void BlendRect(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH, int bpp,
               int x, int y, uint8_t alpha, const uint8_t* mask);
void BlendCentred(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH, int bpp,
                  uint8_t alpha, const uint8_t* mask);
void CrossFade(const uint8_t* other, uint8_t* out, int width, int height, int bpp, uint8_t weight);
void BuildKeyMask(const uint8_t* image, int width, int height, int bpp, uint8_t* mask);

}  // namespace corvalind::reference

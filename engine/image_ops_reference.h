// Plain, one-pixel-at-a-time versions of the pixel routines, written to
// follow their arithmetic step by step. They are the oracle the fast
// versions are tested against byte for byte, and the path taken for byte
// layouts other than 3 bytes per pixel. Single-threaded.
#pragma once

#include <cstdint>

namespace corvalind::reference {

// Key colour selection and auto-key search shared by both versions.
struct KeyParams {
  int mode = 1;  // 0 red, 1 green, 2 blue: the dominant channel of the key
  int t1 = 0;
  int t2 = 0;
};
// Picks the key colour (searching the middle row and updating autoKeyColor
// when chromaAutoKey is on) and derives the mode and thresholds.
KeyParams PrepareKey(const uint8_t* image, int width, int height, int bpp);
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

// The pixel routines the compositor and the transitions build the program
// picture with: scaling (nearest neighbour or bilinear, optionally keeping
// the aspect ratio), copying or alpha-blending a rectangle into a larger
// frame, the same centred, cross-fading two frames and building a
// chroma-key mask.
//
// All routines work on packed frames (see frame.h) in bottom-up row order
// and take the bytes per pixel as a parameter; the studio always passes 3,
// which is the only value the vectorised paths handle (others take the plain
// path). Every routine produces exactly the bytes of the plain versions in
// image_ops_reference.h, whichever processor features it uses.
//
// The scalers spread their rows over a worker pool (DefaultWorkerPool unless
// one is given; nullptr means the calling thread only). Everything else runs
// on the caller's thread. Sizes of zero or less draw nothing.
#pragma once

#include <cstdint>

namespace corvalind {

class WorkerPool;

// Mask values of a KeyMask: one byte per pixel of the keyed picture, same
// row order and width.
inline constexpr uint8_t kMaskKey = 0;      // transparent: what lies beneath stays
inline constexpr uint8_t kMaskEdge = 128;   // beneath and picture averaged
inline constexpr uint8_t kMaskOpaque = 255; // picture copied

// Scales src into dst. Without keepAspect, equal sizes are copied and other
// sizes go through ScaleBilinear when `bilinearScaling` is on, else
// ScaleNearest. With keepAspect the picture is fitted inside dst, centred,
// and the bars are black, or the key colour when fillWithKey is set.
void ScaleFrame(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH, int bpp,
                bool keepAspect, bool fillWithKey);

// Nearest neighbour in 16.16 fixed point (note the "+ 1" on both steps).
void ScaleNearest(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH,
                  int bpp);
void ScaleNearest(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH, int bpp,
                  WorkerPool* pool);

// Bilinear with float positions and 8-bit integer weights.
void ScaleBilinear(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH,
                   int bpp);
void ScaleBilinear(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH,
                   int bpp, WorkerPool* pool);

// Draws src into dst with its lower-left corner at (x, y), clipped to dst.
// With a mask (one entry per source pixel) alpha is ignored: 255 copies, 128
// averages, anything else leaves dst. Without a mask, alpha 0 copies and
// other values give (dst * alpha + src * (255 - alpha)) >> 8, so alpha is the
// weight of what lies underneath.
void BlendRect(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH, int bpp,
               int x, int y, uint8_t alpha, const uint8_t* mask);

// As BlendRect, centred; a source larger than dst uses its first dstW
// columns and dstH rows.
void BlendCentred(const uint8_t* src, int srcW, int srcH, uint8_t* dst, int dstW, int dstH, int bpp,
                  uint8_t alpha, const uint8_t* mask);

// out[i] = ((255 - weight) * other[i] + weight * out[i]) >> 8 for every byte.
void CrossFade(const uint8_t* other, uint8_t* out, int width, int height, int bpp, uint8_t weight);

// Fills mask (width * height bytes) for image with the global key settings.
// With `chromaAutoKey` on, the key colour is searched in the middle row and
// `autoKeyColor` is updated.
void BuildKeyMask(const uint8_t* image, int width, int height, int bpp, uint8_t* mask);

// Which implementation the routines use. Auto picks the best the processor
// offers; the others force a path (tests and benchmarks compare them). A
// forced Avx2 on a processor without it behaves like Auto.
enum class PixelKernels { Auto, Portable, Avx2 };
void SetPixelKernels(PixelKernels kernels);
PixelKernels ActivePixelKernels();  // what Auto resolves to, or the forced choice
bool CpuHasAvx2();

}  // namespace corvalind

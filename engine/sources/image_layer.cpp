#include "engine/sources/image_layer.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/messages.h"

namespace corvalind {

// Frames are blue-green-red; so must FreeImage's rows be for the plain copy.
static_assert(FI_RGBA_BLUE == 0 && FI_RGBA_GREEN == 1 && FI_RGBA_RED == 2 && FI_RGBA_ALPHA == 3,
              "FreeImage must store pixels in blue-green-red(-alpha) order");

FitRect KeepAspectRect(int pictureWidth, int pictureHeight, int outputWidth, int outputHeight) {
  const float ratio = static_cast<float>(pictureWidth) / static_cast<float>(pictureHeight);
  int width = outputWidth;
  int height = static_cast<int>(static_cast<float>(outputWidth) / ratio);
  if (height > outputHeight) {
    height = outputHeight;
    width = std::min(outputWidth, static_cast<int>(ratio * static_cast<float>(outputHeight)));
  }
  // A sliver of a picture (say 16384 x 1) still gets a line of pixels.
  width = std::max(1, width);
  height = std::max(1, height);
  return {(outputWidth - width) / 2, (outputHeight - height) / 2, width, height};
}

int64_t FileWriteTime(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

ImageLayer::ImageLayer(const std::string& path, int fitMode, int outputWidth, int outputHeight)
    : fitMode_(fitMode), path_(path), outputWidth_(outputWidth), outputHeight_(outputHeight) {
  fileTime_ = FileWriteTime(path_);
  LoadImageLayer();
}

void ImageLayer::LoadImageLayer() {
  bitmap_.reset();
  BitmapPtr picture = LoadImageFile(path_);
  if (picture) picture = ToDrawableBitmap(picture.get());
  if (!picture) {
    SetStatusText(path_);
    SetStatusText(kImageLoadErrorText);
    return;
  }
  bitmap_ = Scale(picture.get());
  loaded_ = true;
}

BitmapPtr ImageLayer::Scale(FIBITMAP* picture) const {
  if (outputWidth_ <= 0 || outputHeight_ <= 0) return nullptr;
  if (fitMode_ == 0) {
    return BitmapPtr(FreeImage_Rescale(picture, outputWidth_, outputHeight_, FILTER_LANCZOS3));
  }
  const FitRect fit = KeepAspectRect(static_cast<int>(FreeImage_GetWidth(picture)),
                                     static_cast<int>(FreeImage_GetHeight(picture)), outputWidth_,
                                     outputHeight_);
  BitmapPtr scaled(FreeImage_Rescale(picture, fit.width, fit.height, FILTER_LANCZOS3));
  if (!scaled) return nullptr;
  BitmapPtr canvas(FreeImage_Allocate(outputWidth_, outputHeight_, 24));
  if (!canvas) return nullptr;
  const unsigned canvasPitch = FreeImage_GetPitch(canvas.get());
  std::memset(FreeImage_GetBits(canvas.get()), 0,
              static_cast<std::size_t>(canvasPitch) * static_cast<unsigned>(outputHeight_));
  // Rows are bottom-up: the picture's bottom row lands `bottom` rows above
  // the canvas's bottom row.
  const int bottom = outputHeight_ - fit.height - fit.top;
  const bool alpha = FreeImage_GetBPP(scaled.get()) == 32;
  for (int y = 0; y < fit.height; ++y) {
    const BYTE* from = FreeImage_GetScanLine(scaled.get(), y);
    BYTE* to = FreeImage_GetScanLine(canvas.get(), bottom + y) + fit.left * 3;
    if (!alpha) {
      std::memcpy(to, from, static_cast<std::size_t>(fit.width) * 3);
      continue;
    }
    // A transparent picture is blended onto the black canvas rather than
    // dropped.
    for (int x = 0; x < fit.width; ++x) {
      for (int c = 0; c < 3; ++c) to[x * 3 + c] = BlendByte(0, from[x * 4 + c], from[x * 4 + 3]);
    }
  }
  return canvas;
}

bool ImageLayer::RefreshImageLayer() {
  const int64_t time = FileWriteTime(path_);
  if (time == 0 || time == fileTime_) return false;
  fileTime_ = time;
  LoadImageLayer();
  if (previewFrame) {
    std::memset(previewFrame, 0,
                static_cast<std::size_t>(outputWidth_) * static_cast<std::size_t>(outputHeight_) * 3);
    DrawImageLayer(previewFrame, outputWidth_, outputHeight_);
  }
  return true;
}

void ImageLayer::DrawImageLayer(uint8_t* dst, int width, int height) const {
  if (!dst || !enabled.load() || !bitmap_) return;
  if (width != outputWidth_ || height != outputHeight_) return;
  FIBITMAP* picture = bitmap_.get();
  if (static_cast<int>(FreeImage_GetWidth(picture)) != width ||
      static_cast<int>(FreeImage_GetHeight(picture)) != height) {
    return;
  }
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
  const unsigned bits = FreeImage_GetBPP(picture);
  for (int y = 0; y < height; ++y) {
    const BYTE* from = FreeImage_GetScanLine(picture, y);
    uint8_t* to = dst + rowBytes * static_cast<std::size_t>(y);
    if (bits == 24) {
      std::memcpy(to, from, rowBytes);
    } else if (bits == 32) {
      for (int x = 0; x < width; ++x) {
        const uint8_t a = from[x * 4 + 3];
        for (int c = 0; c < 3; ++c) to[x * 3 + c] = BlendByte(to[x * 3 + c], from[x * 4 + c], a);
      }
    }
  }
}

}  // namespace corvalind

#include "platform/freeimage/freeimage_reader.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace corvalind {

// Pictures are blue-green-red(-alpha); FreeImage's rows must be too, so
// that they are copied byte for byte.
static_assert(FI_RGBA_BLUE == 0 && FI_RGBA_GREEN == 1 && FI_RGBA_RED == 2 && FI_RGBA_ALPHA == 3,
              "FreeImage must store pixels in blue-green-red(-alpha) order");

std::optional<Picture> PictureFromBitmap(FIBITMAP* bitmap) {
  if (!bitmap || !FreeImage_HasPixels(bitmap) || FreeImage_GetImageType(bitmap) != FIT_BITMAP) {
    return std::nullopt;
  }
  const unsigned bits = FreeImage_GetBPP(bitmap);
  if (bits != 24 && bits != 32) return std::nullopt;
  Picture picture;
  picture.width = static_cast<int>(FreeImage_GetWidth(bitmap));
  picture.height = static_cast<int>(FreeImage_GetHeight(bitmap));
  picture.bytesPerPixel = static_cast<int>(bits / 8);
  if (picture.width < 1 || picture.height < 1) return std::nullopt;
  picture.pitchBytes = picture.RowBytes();
  // Pictures up to kMaxPictureSide a side can ask for a gigabyte; a
  // refusal is a failed read, as FreeImage's own allocations are.
  try {
    picture.pixels.resize(picture.pitchBytes * static_cast<std::size_t>(picture.height));
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  for (int y = 0; y < picture.height; ++y) {
    std::memcpy(picture.Row(y), FreeImage_GetScanLine(bitmap, y), picture.RowBytes());
  }
  return picture;
}

BitmapPtr BitmapFromPicture(const Picture& picture) {
  if (!picture.Valid()) return nullptr;
  InitPictureLibrary();
  BitmapPtr bitmap(FreeImage_Allocate(picture.width, picture.height, picture.bytesPerPixel * 8));
  if (!bitmap) return nullptr;
  for (int y = 0; y < picture.height; ++y) {
    std::memcpy(FreeImage_GetScanLine(bitmap.get(), y), picture.Row(y), picture.RowBytes());
  }
  return bitmap;
}

namespace {

// Already what the layers draw: PictureFromBitmap takes it as it is.
bool IsDrawable(FIBITMAP* bitmap) {
  const unsigned bits = FreeImage_GetBPP(bitmap);
  return FreeImage_GetImageType(bitmap) == FIT_BITMAP && (bits == 24 || bits == 32);
}

}  // namespace

std::optional<Picture> FreeImagePictureReader::Load(const std::string& path) { return LoadForSize(path, 0, 0); }

std::optional<Picture> FreeImagePictureReader::LoadForSize(const std::string& path, int width, int height) {
  BitmapPtr picture = LoadImageFile(path, nullptr, std::max(0, std::max(width, height)));
  if (!picture) return std::nullopt;
  // A drawable bitmap is used as decoded (ToDrawableBitmap would give the
  // same bytes in a clone); any other is converted, and the decoded one
  // freed before its pixels are copied out.
  if (!IsDrawable(picture.get())) {
    picture = ToDrawableBitmap(picture.get());
    if (!picture) return std::nullopt;
  }
  return PictureFromBitmap(picture.get());
}

std::optional<Picture> FreeImagePictureReader::Rescale(const Picture& picture, int width, int height) {
  if (width < 1 || height < 1 || !picture.Valid()) return std::nullopt;
  InitPictureLibrary();
  // A bitmap header over the picture's own rows (bottom row first, as
  // FreeImage keeps them): the rescale reads them in place. FreeImage only
  // reads through it, so the cast drops no promise the caller relies on.
  BitmapPtr source(FreeImage_ConvertFromRawBitsEx(
      FALSE, const_cast<BYTE*>(picture.pixels.data()), FIT_BITMAP, picture.width, picture.height,
      static_cast<int>(picture.pitchBytes), static_cast<unsigned>(picture.bytesPerPixel * 8),
      FI_RGBA_RED_MASK, FI_RGBA_GREEN_MASK, FI_RGBA_BLUE_MASK, FALSE));
  if (!source) return std::nullopt;
  BitmapPtr scaled(FreeImage_Rescale(source.get(), width, height, FILTER_LANCZOS3));
  source.reset();
  if (!scaled) return std::nullopt;
  return PictureFromBitmap(scaled.get());
}

PictureReader& DefaultPictureReader() {
  static FreeImagePictureReader reader;
  return reader;
}

}  // namespace corvalind

// The picture reader of the studio: FreeImage behind the PictureReader
// interface that image layers and slide shows are written against.
//
// Files are read with the limits of picture_file.h (the five formats, the
// size read from the header first, the memory budget) and converted to
// drawable pictures of 3 bytes per pixel, or 4 when they carry
// transparency; rescaling is FreeImage's Lanczos-3 filter.
//
// Memory: a read holds at most two pictures at once (decoded and drawable,
// or drawable and the returned copy), each within kMaxDecodedPictureBytes;
// Rescale reads the picture in place instead of copying it into a bitmap.
//
// Any thread, also several at once.
#pragma once

#include <FreeImage.h>

#include <optional>
#include <string>

#include "engine/sources/picture.h"
#include "platform/freeimage/picture_file.h"

namespace corvalind {

class FreeImagePictureReader : public PictureReader {
 public:
  std::optional<Picture> Load(const std::string& path) override;
  // A JPEG beyond the memory budget comes back reduced by 1/2, 1/4 or 1/8
  // with both sides still at least max(width, height); see picture_file.h.
  std::optional<Picture> LoadForSize(const std::string& path, int width, int height) override;
  std::optional<Picture> Rescale(const Picture& picture, int width, int height) override;
};

// The reader the forms hand to their layers and slide shows: one for the
// process, alive until it exits.
PictureReader& DefaultPictureReader();

// A standard bitmap of 24 or 32 bits as a packed picture of 3 or 4 bytes
// per pixel, rows in the same bottom-up order. Empty for any other bitmap
// or when the memory cannot be had.
std::optional<Picture> PictureFromBitmap(FIBITMAP* bitmap);

// A valid picture as a bitmap of 24 or 32 bits with the same pixels; null
// for an invalid picture or when the memory cannot be had.
BitmapPtr BitmapFromPicture(const Picture& picture);

}  // namespace corvalind

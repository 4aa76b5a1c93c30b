// Reading picture files for the image layers and slide shows.
//
// Picture files come from anywhere, so only the five formats the studio
// offers (PNG, JPEG, BMP, GIF, TGA) are read; every other FreeImage reader
// is switched off. A picture's size is read from its header before its
// pixels are decoded, and pictures wider or taller than kMaxPictureSide are
// refused, so a forged header cannot make the decoder allocate gigabytes.
//
// Memory budget: one read never lets FreeImage hold a picture above
// kMaxDecodedPictureBytes. From the header, both the decoder's bitmap (row
// pitch x height) and the 8-bits-per-channel copy the layers draw (width x
// height x 4 at most) must fit in it. A JPEG that does not fit is decoded
// at 1/2, 1/4 or 1/8 of its size when the caller says which size it needs
// (`coverSide`): the smallest reduction whose sides are still at least
// coverSide, checked against the budget from the reduced header. Any other
// picture that does not fit is refused before a pixel is decoded. Pictures
// within the budget are decoded whole as before, so their pixels do not
// change.
//
// This is the FreeImage layer under FreeImagePictureReader
// (freeimage_reader.h), which the layers and slide shows use.
//
// Any thread. Failures are a null result; the caller reports them.
#pragma once

#include <FreeImage.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace corvalind {

inline constexpr int kMaxPictureSide = 16384;
// 256 MiB: a 24-bit picture of 8192 x 8192, or about 67 million pixels
// counted at 4 bytes. The decoded bitmap and its drawable copy each stay
// within it.
inline constexpr std::size_t kMaxDecodedPictureBytes = std::size_t{256} << 20;

struct FreeImageDeleter {
  void operator()(FIBITMAP* bitmap) const;
};
using BitmapPtr = std::unique_ptr<FIBITMAP, FreeImageDeleter>;

// Initialises FreeImage once and switches off every reader outside the
// five allowed formats. Called by the loaders; safe to call again.
void InitPictureLibrary();

// True for the five formats the studio reads.
bool IsAllowedPictureFormat(FREE_IMAGE_FORMAT format);

// How a read ended.
enum class PictureReadStatus {
  kRead,          // a picture
  kNotAllowed,    // neither signature nor name gives one of the five formats
  kSizeRefused,   // the header gives a side of 0 or above kMaxPictureSide;
                  // no pixel was decoded
  kDecodeFailed,  // the file could not be opened, or its header or pixels
                  // could not be decoded
  kOverBudget,    // the header gives more pixel bytes than
                  // kMaxDecodedPictureBytes, also after any JPEG reduction;
                  // no pixel was decoded
};

// The picture in file `path` (UTF-8), or null when the file cannot be read,
// is not one of the allowed formats (taken from its signature, else from its
// name), its header gives a size of 0 or above kMaxPictureSide, or its
// pixels do not fit in kMaxDecodedPictureBytes (see above; `coverSide` > 0
// lets a JPEG be decoded reduced instead, with both sides at least
// coverSide; refused when even that does not fit). `status`, when given,
// receives how the read ended.
BitmapPtr LoadImageFile(const std::string& path, PictureReadStatus* status = nullptr, int coverSide = 0);

// The same for a picture held in memory; `nameHint` only helps to tell the
// format of signature-less files (TGA) by their extension.
BitmapPtr LoadImageMemory(const uint8_t* data, std::size_t size, const std::string& nameHint = "",
                          PictureReadStatus* status = nullptr, int coverSide = 0);

// A copy that the layers can draw: a standard 8-bits-per-channel bitmap of
// 24 bits per pixel, or of 32 bits when the picture carries transparency.
// 24- and 32-bit standard bitmaps are copied unchanged. Null on failure.
BitmapPtr ToDrawableBitmap(FIBITMAP* picture);

}  // namespace corvalind

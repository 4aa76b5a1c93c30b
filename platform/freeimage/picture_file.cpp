#include "platform/freeimage/picture_file.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <utility>
#include <vector>

namespace corvalind {

namespace {

constexpr std::array<FREE_IMAGE_FORMAT, 5> kAllowedFormats = {FIF_PNG, FIF_JPEG, FIF_BMP, FIF_GIF,
                                                              FIF_TARGA};

// GIF has no header-only load in FreeImage, so its sizes are read here: the
// logical screen and the first image descriptor, skipping the colour table
// and extension blocks before it. Bytes beyond `prefix` count as missing.
// `pixels` receives the larger of the two areas.
bool GifSizesWithinLimit(const std::vector<uint8_t>& prefix, std::size_t* pixels) {
  const auto u16 = [&](std::size_t at) { return prefix[at] | (prefix[at + 1] << 8); };
  if (prefix.size() < 13) return false;
  if (u16(6) == 0 || u16(8) == 0 || u16(6) > kMaxPictureSide || u16(8) > kMaxPictureSide) {
    return false;
  }
  const std::size_t screen = static_cast<std::size_t>(u16(6)) * static_cast<std::size_t>(u16(8));
  std::size_t at = 13;
  if (prefix[10] & 0x80) at += 3u * (2u << (prefix[10] & 7));
  while (at < prefix.size()) {
    const uint8_t introducer = prefix[at];
    if (introducer == 0x2C) {  // image descriptor
      if (at + 9 > prefix.size()) return false;
      const int width = u16(at + 5);
      const int height = u16(at + 7);
      if (width <= 0 || height <= 0 || width > kMaxPictureSide || height > kMaxPictureSide) return false;
      *pixels = std::max(screen, static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
      return true;
    }
    if (introducer != 0x21 || at + 2 > prefix.size()) return false;  // not an extension
    at += 2;  // introducer and label, then sub-blocks up to an empty one
    while (at < prefix.size() && prefix[at] != 0) at += prefix[at] + 1u;
    ++at;
  }
  return false;
}

// Where a picture is read from: a file or a block of memory.
class PictureSource {
 public:
  virtual ~PictureSource() = default;
  virtual FREE_IMAGE_FORMAT SignatureFormat() = 0;
  virtual FIBITMAP* Load(FREE_IMAGE_FORMAT format, int flags) = 0;
  virtual std::vector<uint8_t> Prefix(std::size_t bytes) = 0;
  virtual std::size_t Size() = 0;
};

class FileSource : public PictureSource {
 public:
  explicit FileSource(const std::string& path) : path_(path) {}
  FREE_IMAGE_FORMAT SignatureFormat() override { return FreeImage_GetFileType(path_.c_str(), 0); }
  FIBITMAP* Load(FREE_IMAGE_FORMAT format, int flags) override {
    return FreeImage_Load(format, path_.c_str(), flags);
  }
  std::vector<uint8_t> Prefix(std::size_t bytes) override {
    std::vector<uint8_t> data(bytes);
    std::ifstream file(path_, std::ios::binary);
    file.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(bytes));
    data.resize(file ? bytes : static_cast<std::size_t>(std::max<std::streamsize>(0, file.gcount())));
    return data;
  }
  std::size_t Size() override {
    std::error_code error;
    const auto size = std::filesystem::file_size(path_, error);
    return error ? 0 : static_cast<std::size_t>(size);
  }

 private:
  std::string path_;
};

class MemorySource : public PictureSource {
 public:
  MemorySource(const uint8_t* data, std::size_t size)
      : data_(data),
        size_(size),
        memory_(FreeImage_OpenMemory(const_cast<BYTE*>(data), static_cast<DWORD>(size))) {}
  ~MemorySource() override {
    if (memory_) FreeImage_CloseMemory(memory_);
  }
  MemorySource(const MemorySource&) = delete;
  MemorySource& operator=(const MemorySource&) = delete;
  FREE_IMAGE_FORMAT SignatureFormat() override {
    return memory_ ? FreeImage_GetFileTypeFromMemory(memory_, 0) : FIF_UNKNOWN;
  }
  FIBITMAP* Load(FREE_IMAGE_FORMAT format, int flags) override {
    if (!memory_) return nullptr;
    FreeImage_SeekMemory(memory_, 0, SEEK_SET);
    return FreeImage_LoadFromMemory(format, memory_, flags);
  }
  std::vector<uint8_t> Prefix(std::size_t bytes) override {
    return {data_, data_ + std::min(bytes, size_)};
  }
  std::size_t Size() override { return size_; }

 private:
  const uint8_t* data_;
  std::size_t size_;
  FIMEMORY* memory_;
};

bool SizeWithinLimit(FIBITMAP* bitmap) {
  const unsigned width = FreeImage_GetWidth(bitmap);
  const unsigned height = FreeImage_GetHeight(bitmap);
  return width > 0 && height > 0 && width <= static_cast<unsigned>(kMaxPictureSide) &&
         height <= static_cast<unsigned>(kMaxPictureSide);
}

// The budget for a picture of `pixels` pixels whose decoder needs
// `decodedBytes`: the drawable copy is counted at 4 bytes a pixel, the most
// it can take.
bool FitsBudget(std::size_t pixels, std::size_t decodedBytes) {
  return decodedBytes <= kMaxDecodedPictureBytes && pixels <= kMaxDecodedPictureBytes / 4;
}

// The same from a bitmap, also a header-only one (sides within the limit).
bool FitsBudget(FIBITMAP* bitmap) {
  const std::size_t width = FreeImage_GetWidth(bitmap);
  const std::size_t height = FreeImage_GetHeight(bitmap);
  return FitsBudget(width * height, static_cast<std::size_t>(FreeImage_GetPitch(bitmap)) * height);
}

// A TGA file has no signature and FreeImage's reader trusts what it says.
// A made-up header (an unknown image type, a colour map of a size it cannot
// have, a pixel depth of 42) sends it into pointers that were never set;
// its run-length reader writes whole rows past a narrow picture when a
// packet runs beyond the last row, reads past its cache when the data is
// shorter than the rows, and fills a picture as large as the header claims
// from a few bytes; its postage-stamp reader copies the stamp's announced
// size out of whatever the file holds. So no TGA reaches it as it is: the
// header is checked here as the format defines it, and the file is
// rewritten as the plainest one of the same picture (the header without
// identification field, the colour map, raw pixels, nothing after them),
// run-length data being expanded here. A file whose pixels are cut short
// or whose last packet runs past the picture is refused.
struct TgaLayout {
  unsigned width = 0;
  unsigned height = 0;
  unsigned depth = 0;
  bool runLength = false;
  std::size_t mapStart = 0;  // after the identification field
  std::size_t mapBytes = 0;
  std::size_t DataStart() const { return mapStart + mapBytes; }
  std::size_t PixelBytes() const { return (depth + 7) / 8; }
  std::size_t Pixels() const { return static_cast<std::size_t>(width) * height; }
};

bool ParseTgaHeader(const std::vector<uint8_t>& prefix, TgaLayout* layout) {
  if (prefix.size() < 18) return false;
  const auto word = [&](std::size_t at) { return static_cast<unsigned>(prefix[at] | (prefix[at + 1] << 8)); };
  const unsigned mapType = prefix[1];
  const unsigned imageType = prefix[2];
  const unsigned mapFirst = word(3);
  const unsigned mapLength = word(5);
  const unsigned mapEntryBits = prefix[7];
  layout->width = word(12);
  layout->height = word(14);
  layout->depth = prefix[16];
  layout->runLength = imageType >= 9;
  layout->mapStart = 18 + static_cast<std::size_t>(prefix[0]);
  const unsigned depth = layout->depth;
  const bool mapped = imageType == 1 || imageType == 9;
  const bool truecolour = imageType == 2 || imageType == 10;
  const bool grey = imageType == 3 || imageType == 11;
  if (!mapped && !truecolour && !grey) return false;
  if (mapType > 1 || (mapped && mapType != 1)) return false;
  if (layout->width == 0 || layout->height == 0) return false;
  if (mapped && depth != 8 && depth != 16) return false;
  if (truecolour && depth != 15 && depth != 16 && depth != 24 && depth != 32) return false;
  if (grey && depth != 8 && depth != 16) return false;
  layout->mapBytes = 0;
  if (mapType == 1) {
    if (mapEntryBits != 15 && mapEntryBits != 16 && mapEntryBits != 24 && mapEntryBits != 32) return false;
    if (mapLength == 0 || mapFirst + mapLength > 65536) return false;
    layout->mapBytes = static_cast<std::size_t>(mapLength) * ((mapEntryBits + 7) / 8);
  }
  return prefix.size() >= layout->DataStart();
}

// Expands run-length packets (a count byte, then one pixel repeated or
// that many raw pixels) into exactly `pixels` pixels appended to `out`.
bool ExpandTgaRuns(const uint8_t* data, std::size_t size, std::size_t pixels, std::size_t pixelBytes,
                   std::vector<uint8_t>* out) {
  const std::size_t total = out->size() + pixels * pixelBytes;
  std::size_t at = 0;
  while (out->size() < total) {
    if (at >= size) return false;
    const uint8_t packet = data[at++];
    const std::size_t count = (packet & 0x7F) + 1u;
    if (out->size() + count * pixelBytes > total) return false;
    if (packet & 0x80) {
      if (size - at < pixelBytes) return false;
      for (std::size_t i = 0; i < count; ++i) out->insert(out->end(), data + at, data + at + pixelBytes);
      at += pixelBytes;
    } else {
      if ((size - at) / pixelBytes < count) return false;
      out->insert(out->end(), data + at, data + at + count * pixelBytes);
      at += count * pixelBytes;
    }
  }
  return true;
}

PictureReadStatus PlainTga(PictureSource& source, std::vector<uint8_t>* plain) {
  TgaLayout layout;
  // The largest header a TGA can announce: 18 bytes, a 255-byte
  // identification, a colour map of 65535 entries of 4 bytes.
  if (!ParseTgaHeader(source.Prefix(18 + 255 + 65535 * 4), &layout)) return PictureReadStatus::kDecodeFailed;
  if (layout.width > static_cast<unsigned>(kMaxPictureSide) ||
      layout.height > static_cast<unsigned>(kMaxPictureSide)) {
    return PictureReadStatus::kSizeRefused;
  }
  // FreeImage's bitmap: 8, 16, 24 or 32 bits a pixel, rows padded to 4 bytes.
  const std::size_t pitch = (static_cast<std::size_t>(layout.width) * layout.PixelBytes() * 8 + 31) / 32 * 4;
  if (!FitsBudget(layout.Pixels(), pitch * layout.height)) return PictureReadStatus::kOverBudget;

  const std::size_t pixelBytes = layout.PixelBytes();
  const std::size_t rawBytes = layout.Pixels() * pixelBytes;
  // The most run-length data a picture can use: a count byte per pixel.
  const std::size_t wanted = layout.DataStart() + (layout.runLength ? rawBytes + layout.Pixels() : rawBytes);
  if (source.Size() < layout.DataStart() + (layout.runLength ? 0 : rawBytes)) {
    return PictureReadStatus::kDecodeFailed;
  }
  const std::vector<uint8_t> file = source.Prefix(wanted);
  if (file.size() < layout.DataStart()) return PictureReadStatus::kDecodeFailed;

  const uint8_t* data = file.data() + layout.DataStart();
  const std::size_t dataSize = file.size() - layout.DataStart();
  std::array<uint8_t, 18> header;
  std::copy(file.begin(), file.begin() + 18, header.begin());
  header[0] = 0;  // no identification field
  if (layout.runLength) header[2] = static_cast<uint8_t>(header[2] - 8);
  plain->assign(header.begin(), header.end());
  // A run packet of 1 + pixelBytes bytes gives at most 128 pixels.
  plain->reserve(18 + layout.mapBytes + std::min(rawBytes, dataSize * 128));
  plain->insert(plain->end(), file.begin() + static_cast<std::ptrdiff_t>(layout.mapStart),
                file.begin() + static_cast<std::ptrdiff_t>(layout.DataStart()));
  if (layout.runLength) {
    if (!ExpandTgaRuns(data, dataSize, layout.Pixels(), pixelBytes, plain)) return PictureReadStatus::kDecodeFailed;
  } else {
    if (dataSize < rawBytes) return PictureReadStatus::kDecodeFailed;
    plain->insert(plain->end(), data, data + rawBytes);
  }
  return PictureReadStatus::kRead;
}

// The picture library in use refuses every run-length BMP (8 and 4 bits a
// pixel, as paint programs and Windows itself write them) with "Error
// encountered while decoding RLE8 BMP data". So such a file is expanded
// here into the uncompressed BMP of the same picture (the same header with
// no compression, the same palette, raw rows), which the library reads.
// Runs past the end of a row are cut there, rows past the top end the
// picture, and pixels the data never reaches stay at palette entry 0, as
// the format has it; a file without its end marker ends where it ends.
enum class RleBmp { kNot, kExpanded, kBroken, kTooLarge, kOverBudget };

RleBmp ExpandRleBmp(PictureSource& source, std::vector<uint8_t>* plain) {
  const std::vector<uint8_t> head = source.Prefix(14 + 124);
  if (head.size() < 14 + 40 || head[0] != 'B' || head[1] != 'M') return RleBmp::kNot;
  const auto u16 = [&](std::size_t at) { return static_cast<uint32_t>(head[at] | (head[at + 1] << 8)); };
  const auto u32 = [&](std::size_t at) { return u16(at) | (u16(at + 2) << 16); };
  const uint32_t infoSize = u32(14);
  const uint32_t compression = u32(30);
  const uint32_t bits = u16(28);
  // Windows headers, from the first (40 bytes) to the fifth (124); the
  // compression field is not where it is read in others.
  if (infoSize < 40 || infoSize > 124 || (compression != 1 && compression != 2)) return RleBmp::kNot;
  if ((compression == 1 && bits != 8) || (compression == 2 && bits != 4)) return RleBmp::kBroken;
  const int32_t width = static_cast<int32_t>(u32(18));
  const int32_t height = static_cast<int32_t>(u32(22));  // run-length pictures are bottom-up only
  if (width <= 0 || height <= 0) return RleBmp::kBroken;
  if (width > kMaxPictureSide || height > kMaxPictureSide) return RleBmp::kTooLarge;
  const std::size_t stride = (static_cast<std::size_t>(width) * bits + 31) / 32 * 4;
  const std::size_t rows = static_cast<std::size_t>(height);
  if (!FitsBudget(static_cast<std::size_t>(width) * rows, stride * rows)) return RleBmp::kOverBudget;
  const uint32_t dataStart = u32(10);
  const uint32_t colours = u32(46) ? u32(46) : (1u << bits);
  if (colours > (1u << bits) || dataStart < 14 + infoSize + 4 * colours || dataStart > source.Size() ||
      source.Size() < 14 + infoSize) {
    return RleBmp::kBroken;
  }

  // Encoded data can hold at most 255 pixels in two bytes: no file of a
  // picture within the budget needs more than its raw size times two.
  const std::vector<uint8_t> file = source.Prefix(dataStart + 2 * (stride * rows + rows * 2 + 2));
  std::vector<uint8_t> pixels(stride * rows, 0);
  const auto put = [&](std::size_t x, std::size_t y, uint8_t value) {
    if (x >= static_cast<std::size_t>(width)) return;
    uint8_t* row = pixels.data() + y * stride;
    if (bits == 8) {
      row[x] = value;
    } else {
      uint8_t& pair = row[x / 2];
      pair = (x & 1) ? static_cast<uint8_t>((pair & 0xF0) | (value & 0x0F))
                     : static_cast<uint8_t>((pair & 0x0F) | (value << 4));
    }
  };
  std::size_t at = dataStart;
  std::size_t x = 0;
  std::size_t y = 0;
  while (y < rows && at + 1 < file.size()) {
    const uint8_t count = file[at];
    const uint8_t value = file[at + 1];
    at += 2;
    if (count > 0) {  // a run: one value, or two nibbles taking turns
      for (unsigned i = 0; i < count; ++i, ++x) put(x, y, bits == 8 ? value : (i & 1) ? value & 0x0F : value >> 4);
    } else if (value == 0) {  // end of the row
      x = 0;
      ++y;
    } else if (value == 1) {  // end of the picture
      break;
    } else if (value == 2) {  // move right and up
      if (at + 1 >= file.size()) break;
      x += file[at];
      y += file[at + 1];
      at += 2;
    } else {  // `value` raw pixels, padded to a whole number of 16-bit words
      const std::size_t bytes = bits == 8 ? value : (value + 1u) / 2;
      if (at + bytes > file.size()) break;
      for (unsigned i = 0; i < value; ++i, ++x) {
        put(x, y, bits == 8 ? file[at + i] : (i & 1) ? file[at + i / 2] & 0x0F : file[at + i / 2] >> 4);
      }
      at += (bytes + 1) / 2 * 2;
    }
  }

  // The same headers and palette, uncompressed, the pixels right after.
  plain->assign(file.begin(), file.begin() + 14 + infoSize + 4 * colours);
  const auto set32 = [&](std::size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) (*plain)[at + i] = static_cast<uint8_t>(value >> (8 * i));
  };
  const uint32_t pixelStart = static_cast<uint32_t>(plain->size());
  set32(2, static_cast<uint32_t>(pixelStart + pixels.size()));  // the file's size
  set32(10, pixelStart);
  set32(30, 0);  // no compression
  set32(34, static_cast<uint32_t>(pixels.size()));
  plain->insert(plain->end(), pixels.begin(), pixels.end());
  return RleBmp::kExpanded;
}

// FreeImage's JPEG reader takes the side it must cover in the upper 16
// bits of its flags and then decodes at 1/2, 1/4 or 1/8 of the size while
// both sides stay at least that long.
int ReducedJpegFlags(int coverSide) {
  return JPEG_ACCURATE | (std::min(coverSide, 0xFFFF) << 16);
}

PictureReadStatus Decode(PictureSource& source, FREE_IMAGE_FORMAT format, int coverSide, BitmapPtr* picture);

PictureReadStatus ReadFrom(PictureSource& source, const std::string& name, int coverSide, BitmapPtr* picture) {
  InitPictureLibrary();
  FREE_IMAGE_FORMAT format = source.SignatureFormat();
  if (format == FIF_UNKNOWN && !name.empty()) format = FreeImage_GetFIFFromFilename(name.c_str());
  if (!IsAllowedPictureFormat(format) || !FreeImage_FIFSupportsReading(format)) {
    return PictureReadStatus::kNotAllowed;
  }

  if (format == FIF_TARGA) {
    std::vector<uint8_t> plain;
    const PictureReadStatus checked = PlainTga(source, &plain);
    if (checked != PictureReadStatus::kRead) return checked;
    MemorySource rewritten(plain.data(), plain.size());
    return Decode(rewritten, format, coverSide, picture);
  }
  if (format == FIF_BMP) {
    std::vector<uint8_t> plain;
    switch (ExpandRleBmp(source, &plain)) {
      case RleBmp::kNot:
        break;
      case RleBmp::kExpanded: {
        MemorySource rewritten(plain.data(), plain.size());
        return Decode(rewritten, format, coverSide, picture);
      }
      case RleBmp::kBroken:
        return PictureReadStatus::kDecodeFailed;
      case RleBmp::kTooLarge:
        return PictureReadStatus::kSizeRefused;
      case RleBmp::kOverBudget:
        return PictureReadStatus::kOverBudget;
    }
  }
  return Decode(source, format, coverSide, picture);
}

// Decodes a picture of an allowed format, refusing oversized ones from the
// header before any pixel is decoded.
PictureReadStatus Decode(PictureSource& source, FREE_IMAGE_FORMAT format, int coverSide, BitmapPtr* picture) {
  // The header first: refuse oversized pictures before decoding pixels.
  // Flags 0 decode whole with FreeImage's defaults, as pictures within the
  // budget always are.
  int flags = 0;
  if (FreeImage_FIFSupportsNoPixels(format)) {
    BitmapPtr header(source.Load(format, FIF_LOAD_NOPIXELS));
    if (!header) return PictureReadStatus::kDecodeFailed;
    if (!SizeWithinLimit(header.get())) return PictureReadStatus::kSizeRefused;
    if (!FitsBudget(header.get())) {
      if (format != FIF_JPEG || coverSide <= 0) return PictureReadStatus::kOverBudget;
      // The reduced header tells the size the reduced decode will have.
      flags = ReducedJpegFlags(coverSide);
      header.reset(source.Load(format, FIF_LOAD_NOPIXELS | flags));
      if (!header) return PictureReadStatus::kDecodeFailed;
      if (!FitsBudget(header.get())) return PictureReadStatus::kOverBudget;
    }
  } else if (format == FIF_GIF) {
    std::size_t pixels = 0;
    if (!GifSizesWithinLimit(source.Prefix(64 * 1024), &pixels)) return PictureReadStatus::kSizeRefused;
    // FreeImage decodes a GIF as one byte per pixel.
    if (!FitsBudget(pixels, pixels)) return PictureReadStatus::kOverBudget;
  } else {
    return PictureReadStatus::kNotAllowed;
  }

  BitmapPtr decoded(source.Load(format, flags));
  if (!decoded || !FreeImage_HasPixels(decoded.get()) || !SizeWithinLimit(decoded.get()) ||
      !FitsBudget(decoded.get())) {
    return PictureReadStatus::kDecodeFailed;
  }
  *picture = std::move(decoded);
  return PictureReadStatus::kRead;
}

BitmapPtr LoadFrom(PictureSource& source, const std::string& name, int coverSide, PictureReadStatus* status) {
  BitmapPtr picture;
  const PictureReadStatus result = ReadFrom(source, name, coverSide, &picture);
  if (status) *status = result;
  return picture;
}

void QuietOutput(FREE_IMAGE_FORMAT, const char*) {}

}  // namespace

void FreeImageDeleter::operator()(FIBITMAP* bitmap) const {
  if (bitmap) FreeImage_Unload(bitmap);
}

void InitPictureLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    FreeImage_Initialise(FALSE);
    // Decoder complaints about broken files are reported by the callers.
    FreeImage_SetOutputMessage(QuietOutput);
    for (int i = 0; i < FreeImage_GetFIFCount(); ++i) {
      const auto format = static_cast<FREE_IMAGE_FORMAT>(i);
      FreeImage_SetPluginEnabled(format, IsAllowedPictureFormat(format) ? TRUE : FALSE);
    }
  });
}

bool IsAllowedPictureFormat(FREE_IMAGE_FORMAT format) {
  for (const FREE_IMAGE_FORMAT allowed : kAllowedFormats) {
    if (format == allowed) return true;
  }
  return false;
}

BitmapPtr LoadImageFile(const std::string& path, PictureReadStatus* status, int coverSide) {
  FileSource source(path);
  return LoadFrom(source, path, coverSide, status);
}

BitmapPtr LoadImageMemory(const uint8_t* data, std::size_t size, const std::string& nameHint,
                          PictureReadStatus* status, int coverSide) {
  if (!data || size == 0 || size > 0xFFFFFFFFu) {
    if (status) *status = PictureReadStatus::kNotAllowed;
    return nullptr;
  }
  MemorySource source(data, size);
  return LoadFrom(source, nameHint, coverSide, status);
}

BitmapPtr ToDrawableBitmap(FIBITMAP* picture) {
  if (!picture || !FreeImage_HasPixels(picture)) return nullptr;
  BitmapPtr standard;
  if (FreeImage_GetImageType(picture) != FIT_BITMAP) {
    // 16-bit channels, grey levels of 16 bits and wider, floats: scaled down
    // to 8 bits per channel.
    standard.reset(FreeImage_ConvertToStandardType(picture, TRUE));
    if (!standard) return nullptr;
    picture = standard.get();
  }
  const unsigned bits = FreeImage_GetBPP(picture);
  if (bits == 24 || bits == 32) return BitmapPtr(FreeImage_Clone(picture));
  // Grey, palette and 16-bit pictures: rows of 24 bits, or 32 when a
  // transparent palette entry must stay transparent.
  if (FreeImage_IsTransparent(picture)) return BitmapPtr(FreeImage_ConvertTo32Bits(picture));
  return BitmapPtr(FreeImage_ConvertTo24Bits(picture));
}

}  // namespace corvalind

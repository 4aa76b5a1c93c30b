// Decoded pictures and the reader that makes them.
//
// The image layers and slide shows know pictures only as `Picture` values
// and read and scale them through a `PictureReader` given by whoever builds
// them: the forms hand in the FreeImage reader (platform/freeimage), tests
// hand in the same or a fake. Nothing here knows a picture library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvalind {

// A picture in memory: `bytesPerPixel` 3 (blue, green, red) or 4 (blue,
// green, red, alpha), rows bottom row first, each row `pitchBytes` apart
// (at least width * bytesPerPixel; more when rows are padded).
struct Picture {
  int width = 0;
  int height = 0;
  int bytesPerPixel = 3;
  std::size_t pitchBytes = 0;
  std::vector<uint8_t> pixels;

  // A black (all bytes 0), packed picture; an empty one for sizes below 1
  // or a pixel size other than 3 or 4.
  static Picture Blank(int width, int height, int bytesPerPixel) {
    Picture picture;
    if (width < 1 || height < 1 || (bytesPerPixel != 3 && bytesPerPixel != 4)) return picture;
    picture.width = width;
    picture.height = height;
    picture.bytesPerPixel = bytesPerPixel;
    picture.pitchBytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(bytesPerPixel);
    picture.pixels.assign(picture.pitchBytes * static_cast<std::size_t>(height), 0);
    return picture;
  }

  // The bytes of one pixel row.
  std::size_t RowBytes() const {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(bytesPerPixel);
  }
  // True when the sizes are positive, the pixel size is 3 or 4 and every
  // row lies inside `pixels`: only then may Row be used.
  bool Valid() const {
    if (width < 1 || height < 1 || (bytesPerPixel != 3 && bytesPerPixel != 4)) return false;
    if (pitchBytes < RowBytes()) return false;
    return pixels.size() >= pitchBytes * static_cast<std::size_t>(height - 1) + RowBytes();
  }
  // Row `y`, counted from the bottom row (0) up.
  const uint8_t* Row(int y) const { return pixels.data() + pitchBytes * static_cast<std::size_t>(y); }
  uint8_t* Row(int y) { return pixels.data() + pitchBytes * static_cast<std::size_t>(y); }
};

// Reads picture files and scales pictures. Callable from any thread, also
// from several at once (the image-layer loaders, slide-show workers and the
// UI thread each read their own files). Failures are an empty result; the
// caller reports them.
class PictureReader {
 public:
  virtual ~PictureReader() = default;
  // The picture in file `path` (UTF-8), ready to draw: 3 bytes per pixel,
  // or 4 when it carries transparency. Empty when the file cannot be read
  // or is no picture the reader accepts.
  virtual std::optional<Picture> Load(const std::string& path) = 0;
  // The same for a picture that will be shown at no more than width x
  // height (the output size): a reader may return a very large picture
  // reduced, as long as both its sides stay at least max(width, height), so
  // that it need not decode it whole. Pictures it decodes whole come back
  // exactly as Load gives them. By default, Load.
  virtual std::optional<Picture> LoadForSize(const std::string& path, int width, int height) {
    (void)width;
    (void)height;
    return Load(path);
  }
  // `picture` rescaled to width x height with a Lanczos-3 filter, with the
  // same bytes per pixel. Empty for an invalid picture, sizes below 1 or a
  // failed allocation.
  virtual std::optional<Picture> Rescale(const Picture& picture, int width, int height) = 0;
};

}  // namespace corvalind

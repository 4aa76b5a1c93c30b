#include "test_support/png_file.h"

#include <png.h>

#include <cstdio>
#include <memory>

namespace corvalind {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

bool WriteFramePng(const std::string& path, const uint8_t* frame, int width, int height) {
  if (!frame || width <= 0 || height <= 0) return false;
  File file(std::fopen(path.c_str(), "wb"));
  if (!file) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  std::vector<uint8_t> row(static_cast<std::size_t>(width) * 3);
  // libpng reports errors by long-jumping back here; nothing with a
  // destructor is created between here and the jump.
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file.get());
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = height - 1; y >= 0; --y) {
    const uint8_t* src = frame + static_cast<std::size_t>(y) * width * 3;
    for (int x = 0; x < width; ++x) {
      row[x * 3] = src[x * 3 + 2];
      row[x * 3 + 1] = src[x * 3 + 1];
      row[x * 3 + 2] = src[x * 3];
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return std::fflush(file.get()) == 0;
}

bool ReadFramePng(const std::string& path, std::vector<uint8_t>& frame, int& width, int& height) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  if (image.width == 0 || image.height == 0 || image.width > 16384 || image.height > 16384) {
    png_image_free(&image);
    return false;
  }
  image.format = PNG_FORMAT_BGR;
  width = static_cast<int>(image.width);
  height = static_cast<int>(image.height);
  frame.assign(PNG_IMAGE_SIZE(image), 0);
  // A negative row stride makes libpng fill the buffer bottom row first.
  if (!png_image_finish_read(&image, nullptr, frame.data(), -static_cast<png_int_32>(width * 3),
                             nullptr)) {
    png_image_free(&image);
    return false;
  }
  return true;
}

}  // namespace corvalind

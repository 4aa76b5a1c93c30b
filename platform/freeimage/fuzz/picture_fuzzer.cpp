// The picture reader on any bytes: no crash, no hang, and every picture it
// accepts is within the size limit and converts to a drawable bitmap of 24
// or 32 bits; the file path through the FreeImage reader gives a picture of
// 3 or 4 bytes per pixel. Decoding only: the layers' Lanczos scale, slow on
// every input, has its own target (picture_scale_fuzzer).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/freeimage/freeimage_reader.h"
#include "platform/freeimage/picture_file.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// The file path the layers read; one per process.
const std::string& TempPath() {
  static const std::string path = "/tmp/corvalind-picture-fuzz-" + std::to_string(getpid()) + ".tga";
  return path;
}

}  // namespace

// A corrupt header can make the picture library ask for a huge block; in
// production malloc answers null and the library refuses the file, so the
// fuzzer and the replay of its corpus let the allocation fail the same way.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvalind::BitmapPtr picture = corvalind::LoadImageMemory(data, size, "input.tga");
  if (picture) {
    Check(FreeImage_GetWidth(picture.get()) >= 1 && FreeImage_GetHeight(picture.get()) >= 1);
    Check(FreeImage_GetWidth(picture.get()) <= corvalind::kMaxPictureSide);
    Check(FreeImage_GetHeight(picture.get()) <= corvalind::kMaxPictureSide);
    corvalind::BitmapPtr drawable = corvalind::ToDrawableBitmap(picture.get());
    if (drawable) {
      const unsigned bits = FreeImage_GetBPP(drawable.get());
      Check(bits == 24 || bits == 32);
    }
  }
  // The file path through the reader and the layers, at a small output size.
  FILE* file = std::fopen(TempPath().c_str(), "wb");
  if (!file) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  corvalind::PictureReader& reader = corvalind::DefaultPictureReader();
  if (std::optional<corvalind::Picture> read = reader.Load(TempPath())) {
    Check(read->Valid());
    Check(read->bytesPerPixel == 3 || read->bytesPerPixel == 4);
    Check(read->width <= corvalind::kMaxPictureSide && read->height <= corvalind::kMaxPictureSide);
  }
  std::remove(TempPath().c_str());
  return 0;
}

// A picture made into stretched and keep-aspect image layers at an output
// size the input chooses: the first two bytes are the width and height
// (1 to 64 each), the rest is the picture file. Small inputs only: the
// decoding of large ones is the picture fuzzer's.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/sources/image_layer.h"
#include "platform/freeimage/freeimage_reader.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

const std::string& TempPath() {
  static const std::string path = "/tmp/corvalind-picture-scale-fuzz-" + std::to_string(getpid()) + ".tga";
  return path;
}

}  // namespace

// A corrupt header can make the picture library ask for a huge block; in
// production malloc answers null and the library refuses the file, so the
// fuzzer and the replay of its corpus let the allocation fail the same way.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int width = 1 + data[0] % 64;
  const int height = 1 + data[1] % 64;
  FILE* file = std::fopen(TempPath().c_str(), "wb");
  if (!file) return 0;
  std::fwrite(data + 2, 1, size - 2, file);
  std::fclose(file);
  corvalind::PictureReader& reader = corvalind::DefaultPictureReader();
  for (int fitMode : {0, 1}) {
    corvalind::ImageLayer layer(TempPath(), fitMode, reader, width, height);
    if (layer.HasPicture()) {
      std::string frame(static_cast<std::size_t>(width) * height * 3, '\0');
      layer.DrawImageLayer(reinterpret_cast<uint8_t*>(frame.data()), width, height);
      Check(layer.ScaledPicture()->width == width && layer.ScaledPicture()->height == height);
    }
  }
  std::remove(TempPath().c_str());
  return 0;
}

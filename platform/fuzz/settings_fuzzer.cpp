// Both settings readers on any bytes: no read past the text, no crash, and
// results always inside the tables (or their defaults). For texts of the
// writer's own form the two readers must agree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/settings_file.h"

namespace {

bool Sane(const corvalind::PictureSettings& s) {
  bool sizeKnown = s.width == 640 && s.height == 480;
  for (const auto& entry : corvalind::kPictureSizes) {
    sizeKnown = sizeKnown || (entry.width == s.width && entry.height == s.height);
  }
  bool rateKnown = false;
  for (const auto& entry : corvalind::kFrameRates) rateKnown = rateKnown || entry.fps == s.fps;
  return sizeKnown && rateKnown && s.frameIntervalMs == 1000 / s.fps;
}

// "%d,%d,%d" with the mirror flag 0 or 1, as the writer makes it.
bool WriterForm(std::string_view t) {
  int part = 0;
  std::size_t digits = 0;
  for (char c : t) {
    if (c == ',') {
      if (digits == 0) return false;
      ++part;
      digits = 0;
    } else if (c >= '0' && c <= '9' && digits < 6) {
      ++digits;
    } else {
      return false;
    }
  }
  return part == 2 && digits == 1 && (t.back() == '0' || t.back() == '1');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const corvalind::PictureSettings studio = corvalind::ParseStudioSettings(text);
  const corvalind::PictureSettings camera = corvalind::ParseCameraSettings(text, size & 1);
  if (!Sane(studio) || !Sane(camera)) std::abort();
  if (WriterForm(text) && (studio.width != camera.width || studio.height != camera.height ||
                           studio.fps != camera.fps || studio.mirror != camera.mirror)) {
    std::abort();
  }
  return 0;
}

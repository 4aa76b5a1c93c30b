#include "engine/output_format.h"

#include <limits>

namespace corvalind {

bool OutputFormat::SetSize(int32_t width, int32_t height) {
  if (width <= 0 || height <= 0) return false;
  const uint64_t bytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3u;
  if (bytes > std::numeric_limits<uint32_t>::max()) return false;
  outputWidth = width;
  outputHeight = height;
  frameBytes = static_cast<uint32_t>(bytes);
  splitRow = height / 2 - 1;
  return true;
}

bool OutputFormat::SetFrameRate(int32_t rate) {
  if (rate < 1) return false;
  frameRate = rate;
  frameIntervalMs = 1000 / rate;
  return true;
}

OutputFormat& GlobalOutputFormat() {
  static OutputFormat format;
  return format;
}

}  // namespace corvalind

// Shared pieces of the camera tests: a private buffer name, a test writer
// that publishes known pictures through the studio's own output block, the
// settings file in the temporary config folder, and picture helpers.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/folders.h"
#include "platform/output_block.h"
#include "platform/settings_file.h"

namespace corvalind::testing {

// A buffer name no running studio uses.
inline std::string PrivateBufferName(const char* what) {
  return std::string("CorvalindTest_") + what + "_" + std::to_string(getpid());
}

// Writes the settings file the camera reads (in the temporary config).
inline void UseSettings(const std::string& text) {
  EnsureFolder(ConfigFolder());
  FILE* f = std::fopen(SettingsFilePath().c_str(), "wb");
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

// A bottom-up picture whose every byte says where it is.
inline std::vector<uint8_t> PatternFrame(int w, int h, int seed) {
  std::vector<uint8_t> frame(static_cast<std::size_t>(w) * h * 3);
  for (int row = 0; row < h; ++row) {
    for (int x = 0; x < w; ++x) {
      uint8_t* p = frame.data() + (static_cast<std::size_t>(row) * w + x) * 3;
      p[0] = static_cast<uint8_t>(x + seed);
      p[1] = static_cast<uint8_t>(row);
      p[2] = static_cast<uint8_t>(x * 7 + row * 3 + seed);
    }
  }
  return frame;
}

// The same picture as the camera must deliver it: rows top-down, mirrored
// when asked.
inline std::vector<uint8_t> AsCameraSees(const std::vector<uint8_t>& bottomUp, int w, int h, bool mirror) {
  std::vector<uint8_t> out(bottomUp.size());
  for (int row = 0; row < h; ++row) {
    for (int x = 0; x < w; ++x) {
      const int sx = mirror ? w - 1 - x : x;
      const uint8_t* s = bottomUp.data() + (static_cast<std::size_t>(h - 1 - row) * w + sx) * 3;
      uint8_t* d = out.data() + (static_cast<std::size_t>(row) * w + x) * 3;
      d[0] = s[0];
      d[1] = s[1];
      d[2] = s[2];
    }
  }
  return out;
}

// The studio's side: the block, written picture first, counter after.
struct TestWriter {
  OutputBlock block;
  uint8_t counter = 0;
  bool Create(const std::string& name, uint32_t frameBytes) {
    return CreateOutputBlock(block, name, frameBytes, nullptr, nullptr);
  }
  void Publish(const std::vector<uint8_t>& frame) {
    PublishPicture(block, frame.data(), static_cast<uint32_t>(frame.size()), ++counter);
  }
};

}  // namespace corvalind::testing

// The global chroma-key and scaling settings.
//
// Set by the settings form and project files on the UI thread, read by the
// compositor on the program output thread; atomics so that a change lands
// whole between two compositions. Colours hold red in the low byte, green in
// the next and blue in the third.
#pragma once

#include <atomic>
#include <cstdint>

namespace corvalind {

inline constexpr uint32_t kDefaultChromaKeyColor = 0x00FF00;  // pure green: 65280

extern std::atomic<uint32_t> chromaKeyColor;
extern std::atomic<float> chromaKeyRange;   // tolerance factor, 0.3 by default
extern std::atomic<bool> chromaAutoKey;     // take the key from each keyed picture
extern std::atomic<bool> bilinearScaling;   // bilinear instead of nearest neighbour
// Last colour found by the automatic key search: written by BuildKeyMask and
// read by ScaleFrame, both on the program output thread.
extern std::atomic<uint32_t> autoKeyColor;

// Puts every setting back to its default (start-up values; used by tests).
void ResetKeySettings();

constexpr uint8_t ColorRed(uint32_t color) { return static_cast<uint8_t>(color); }
constexpr uint8_t ColorGreen(uint32_t color) { return static_cast<uint8_t>(color >> 8); }
constexpr uint8_t ColorBlue(uint32_t color) { return static_cast<uint8_t>(color >> 16); }
constexpr uint32_t MakeColor(uint8_t red, uint8_t green, uint8_t blue) {
  return static_cast<uint32_t>(red) | (static_cast<uint32_t>(green) << 8) |
         (static_cast<uint32_t>(blue) << 16);
}

}  // namespace corvalind

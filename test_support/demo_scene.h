// The studio's bundled demo: generated test pictures in four source slots
// and two scenes that use every kind of zone (keep-aspect full screen, a
// chroma-keyed layer, an alpha-blended corner picture and a free zone).
// Used by the headless studio and by tests.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/source_slot.h"
#include "engine/video_engine.h"

namespace corvalind {

// A generated picture of the given size; `kind` 0 to 3 picks colour bars, a
// disc on a green screen, a checkerboard and a diagonal ramp. `phase` moves
// the pattern so that successive frames differ.
std::vector<uint8_t> MakeDemoPicture(int kind, int width, int height, int phase);

// Sizes of the four demo sources (slots 0 to 3).
struct DemoSource {
  int kind, width, height;
};
inline constexpr DemoSource kDemoSources[4] = {
    {0, 1280, 720}, {1, 640, 480}, {2, 320, 240}, {3, 400, 300}};

// Delivers frame `phase` of every demo source into its slot.
void DeliverDemoFrames(SourceSlotTable& slots, int phase);

// Stores the demo scenes ("Studio" and "Split screen") in the engine.
void StoreDemoScenes(VideoEngine& engine);

}  // namespace corvalind

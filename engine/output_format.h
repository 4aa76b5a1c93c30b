// The program picture of the run: its size and frame rate.
//
// One record for the whole program. It holds 640 x 480 at 25 frames per
// second until the settings file is read at start-up; after that it does not
// change for the rest of the run. Set it on the UI thread before the engine
// and the output loop exist; everything else only reads it.
#pragma once

#include <cstdint>

namespace corvalind {

struct OutputFormat {
  int32_t outputWidth = 640;
  int32_t outputHeight = 480;
  int32_t bytesPerPixel = 3;
  int32_t frameRate = 25;
  int32_t frameIntervalMs = 40;    // 1000 / frameRate, integer division
  uint32_t frameBytes = 921600;    // outputWidth * outputHeight * 3
  int32_t splitRow = 239;          // outputHeight / 2 - 1, used by "Break"

  // Sets the size and recomputes frameBytes and splitRow. Sizes must be
  // positive; returns false (and changes nothing) otherwise.
  bool SetSize(int32_t width, int32_t height);
  // Sets the rate and recomputes frameIntervalMs. Returns false for rates
  // below 1.
  bool SetFrameRate(int32_t rate);
};

// The program-wide record.
OutputFormat& GlobalOutputFormat();

}  // namespace corvalind

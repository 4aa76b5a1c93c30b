// Where sources and the program view show a frame in a window.
//
// A preview target is a window (or a test's recorder) that takes a copy of
// a frame from any thread and shows it later on its own thread, stretched
// to the preview size without smoothing. Frames are bottom-up as always.
#pragma once

#include <cstdint>

namespace corvalind {

class PreviewTarget {
 public:
  virtual ~PreviewTarget() = default;
  // Called from any thread; must copy what it keeps before returning.
  virtual void PresentFrame(const uint8_t* pixels, int width, int height, int previewWidth,
                            int previewHeight) = 0;
};

// Hands a frame to a preview target; nothing happens for a null target or a
// frame without size. Sources pass 200 x 150 for their preview controls.
void DrawFramePreview(const uint8_t* pixels, int width, int height, PreviewTarget* window,
                      int previewWidth, int previewHeight);

}  // namespace corvalind

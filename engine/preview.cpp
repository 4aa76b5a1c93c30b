#include "engine/preview.h"

namespace corvalind {

void DrawFramePreview(const uint8_t* pixels, int width, int height, PreviewTarget* window,
                      int previewWidth, int previewHeight) {
  if (!window || !pixels || width <= 0 || height <= 0) return;
  window->PresentFrame(pixels, width, height, previewWidth, previewHeight);
}

}  // namespace corvalind

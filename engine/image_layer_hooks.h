// The two still-picture layers the compositor draws under and over the
// zones: the background (under everything) and the overlay (over
// everything). The picture layers themselves (files, reloading, forms) live
// elsewhere; the compositor sees them through this interface.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace corvalind {

class CompositionLayer {
 public:
  virtual ~CompositionLayer() = default;
  // Notices a change of the picture's file (reading its time only) and
  // hands the reload to the layer's loader; never decodes. Called by the
  // compositor with imageLayerLock held, once per composed frame.
  virtual void Refresh() = 0;
  // Draws the picture into a frame of width x height, or nothing when the
  // layer holds no picture or is disabled. imageLayerLock is held.
  virtual void Draw(uint8_t* frame, int width, int height) = 0;
};

struct ImageLayerHooks {
  // Guards the two pointers and the layers they point to. Never held
  // together with a slot lock.
  std::mutex imageLayerLock;
  CompositionLayer* backgroundLayer = nullptr;
  CompositionLayer* overlayLayer = nullptr;
  // Set when a layer changed; the next composition happens even if no
  // source delivered, and clears it.
  std::atomic<bool> recomposeRequested{false};
};

// The program-wide layers.
ImageLayerHooks& GlobalImageLayers();

}  // namespace corvalind

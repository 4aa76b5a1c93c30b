#include "engine/image_layer_hooks.h"

namespace corvalind {

ImageLayerHooks& GlobalImageLayers() {
  static ImageLayerHooks hooks;
  return hooks;
}

}  // namespace corvalind

#include "engine/key_settings.h"

namespace corvalind {

std::atomic<uint32_t> chromaKeyColor{kDefaultChromaKeyColor};
std::atomic<float> chromaKeyRange{0.3f};
std::atomic<bool> chromaAutoKey{false};
std::atomic<bool> bilinearScaling{false};
std::atomic<uint32_t> autoKeyColor{0};

void ResetKeySettings() {
  chromaKeyColor = kDefaultChromaKeyColor;
  chromaKeyRange = 0.3f;
  chromaAutoKey = false;
  bilinearScaling = false;
  autoKeyColor = 0;
}

}  // namespace corvalind

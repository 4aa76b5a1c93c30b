#include "engine/video_zone.h"

namespace corvalind {

namespace {

int32_t Derive(int32_t size, float frac) {
  return static_cast<int32_t>(static_cast<double>(static_cast<float>(size)) *
                              static_cast<double>(frac) / 100.0);
}

}  // namespace

void VideoZone::DerivePixels(int32_t outputWidth, int32_t outputHeight) {
  widthPx = Derive(outputWidth, widthFrac);
  heightPx = Derive(outputHeight, heightFrac);
  posXPx = Derive(outputWidth, posXFrac);
  posYPx = Derive(outputHeight, posYFrac);
}

bool VideoZone::SameLayout(const VideoZone& o) const {
  return placement == o.placement && sourceId == o.sourceId && alpha == o.alpha &&
         widthPx == o.widthPx && heightPx == o.heightPx && posXPx == o.posXPx &&
         posYPx == o.posYPx && widthFrac == o.widthFrac && heightFrac == o.heightFrac &&
         posXFrac == o.posXFrac && posYFrac == o.posYFrac && chroma == o.chroma &&
         keepAspect == o.keepAspect;
}

std::string LimitSceneName(const std::string& name) {
  int characters = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(name[i]);
    if ((byte & 0xC0) != 0x80) {  // first byte of a character
      if (characters == kMaxSceneNameChars) return name.substr(0, i);
      ++characters;
    }
  }
  return name;
}

}  // namespace corvalind

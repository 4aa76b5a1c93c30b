// Scenes and their zones: what the compositor draws.
//
// A zone is a rectangle of the program picture showing the current picture
// of one source slot, placed in one of eight ways, optionally keeping the
// source's aspect ratio, alpha-blended or chroma-keyed. A scene is a named,
// ordered list of zones; later zones cover earlier ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvalind {

enum ZonePlacement : int32_t {
  VIDPOS_FULLSCREEN = 0,      // whole picture; bars when keepAspect is set
  VIDPOS_FULLSCREEN_NAR = 1,  // whole picture, always stretched
  VIDPOS_CENTER = 2,
  VIDPOS_TOP_LEFT = 3,
  VIDPOS_TOP_RIGHT = 4,
  VIDPOS_BOTTOM_LEFT = 5,
  VIDPOS_BOTTOM_RIGHT = 6,
  VIDPOS_FREE = 7,            // at the zone's own position
};

inline constexpr int kZonePlacementCount = 8;

struct VideoZone {
  int32_t placement = VIDPOS_CENTER;
  int32_t sourceId = 0;  // slot shown, 0..9; zones naming no slot draw nothing
  uint8_t alpha = 0;     // 0 opaque; otherwise the weight of what lies beneath
  // Pixel geometry used by the composition, derived from the percentages
  // with the program size of the run. posYPx counts from the TOP.
  int32_t widthPx = 0;
  int32_t heightPx = 0;
  int32_t posXPx = 0;
  int32_t posYPx = 0;
  // Percentages of the program picture (0.0 to 100.0).
  float widthFrac = 0.0f;
  float heightFrac = 0.0f;
  float posXFrac = 0.0f;
  float posYFrac = 0.0f;
  uint32_t lastSerial = 0;  // slot serial when last composed
  bool chroma = false;
  bool keepAspect = true;

  // Sets the four pixel fields from the percentages for a program picture
  // of outputWidth x outputHeight: trunc(size * frac / 100) in double.
  void DerivePixels(int32_t outputWidth, int32_t outputHeight);

  // Same zone apart from the serial bookkeeping.
  bool SameLayout(const VideoZone& other) const;
};

// A zone at the given placement, source and percentages; the other fields
// keep their defaults (opaque, not keyed, keeping the aspect ratio).
inline VideoZone MakeZone(int placement, int sourceId, float widthFrac, float heightFrac,
                          float posXFrac = 0.0f, float posYFrac = 0.0f) {
  VideoZone zone;
  zone.placement = placement;
  zone.sourceId = sourceId;
  zone.widthFrac = widthFrac;
  zone.heightFrac = heightFrac;
  zone.posXFrac = posXFrac;
  zone.posYFrac = posYFrac;
  return zone;
}

inline constexpr int MaxScenes = 20;
inline constexpr int kMaxSceneNameChars = 99;

struct Scene {
  std::string name;  // UTF-8, at most 99 characters
  std::vector<VideoZone> zones;
};

// Cuts a UTF-8 name to at most 99 characters (never inside a character).
std::string LimitSceneName(const std::string& name);

}  // namespace corvalind

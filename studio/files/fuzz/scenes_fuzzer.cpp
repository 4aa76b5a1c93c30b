// The scene list reader on any bytes: no crash, no hang, and every list it
// accepts keeps the reader's promises (at most 20 scenes, each with zones,
// slots 0..9, placements 0..7, clean names) and survives a write and a
// second read unchanged. Also checks that the nesting bound used to refuse
// deep texts is never below what TinyXML really builds.
#include <tinyxml.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "studio/files/scene_list_file.h"

namespace {

using corvalind::Scene;
using corvalind::VideoZone;

void Check(bool condition) {
  if (!condition) std::abort();
}

bool CleanUtf8(const std::string& name) {
  int characters = 0;
  for (std::size_t i = 0; i < name.size();) {
    const auto lead = static_cast<unsigned char>(name[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    if (length == 0 || i + length > name.size() || lead == 0) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(name[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
    ++characters;
  }
  return characters <= corvalind::kMaxSceneNameChars;
}

void CheckInvariants(const std::vector<Scene>& scenes) {
  Check(scenes.size() <= static_cast<std::size_t>(corvalind::MaxScenes));
  for (const Scene& scene : scenes) {
    Check(!scene.zones.empty());
    Check(CleanUtf8(scene.name));
    for (const VideoZone& zone : scene.zones) {
      Check(zone.sourceId >= 0 && zone.sourceId <= 9);
      Check(zone.placement >= 0 && zone.placement < corvalind::kZonePlacementCount);
    }
  }
}

bool SameZone(const VideoZone& a, const VideoZone& b) {
  return a.placement == b.placement && a.sourceId == b.sourceId && a.alpha == b.alpha &&
         a.widthFrac == b.widthFrac && a.heightFrac == b.heightFrac && a.posXFrac == b.posXFrac &&
         a.posYFrac == b.posYFrac && a.chroma == b.chroma && a.keepAspect == b.keepAspect;
}

void CheckRoundTrip(const std::vector<Scene>& scenes) {
  corvalind::SceneTable table;
  for (std::size_t i = 0; i < scenes.size(); ++i) table.scenes[i] = scenes[i];
  table.sceneCount = static_cast<int>(scenes.size());
  std::vector<Scene> again;
  Check(corvalind::ParseSceneList(corvalind::FormatSceneList(table), &again));
  Check(again.size() == scenes.size());
  for (std::size_t i = 0; i < scenes.size(); ++i) {
    Check(again[i].name == scenes[i].name);
    Check(again[i].zones.size() == scenes[i].zones.size());
    for (std::size_t z = 0; z < scenes[i].zones.size(); ++z) {
      Check(SameZone(again[i].zones[z], scenes[i].zones[z]));
    }
  }
}

struct Shape {
  int depth = 0;
  int attributes = 0;
};

Shape Measure(const TiXmlNode& node) {
  Shape shape;
  for (const TiXmlNode* child = node.FirstChild(); child; child = child->NextSibling()) {
    const Shape inner = Measure(*child);
    shape.depth = std::max(shape.depth, inner.depth);
    shape.attributes = std::max(shape.attributes, inner.attributes);
  }
  if (const TiXmlElement* element = node.ToElement()) {
    ++shape.depth;
    int attributes = 0;
    for (const TiXmlAttribute* a = element->FirstAttribute(); a; a = a->Next()) ++attributes;
    shape.attributes = std::max(shape.attributes, attributes);
  }
  return shape;
}

// What TinyXML builds, even from a text it gives up on (it keeps what it
// parsed up to the error), must stay within the bound.
void CheckBound(const std::string& text) {
  const std::string visible = text.substr(0, text.find('\0'));
  const corvalind::XmlBounds bound = corvalind::MeasureXmlBounds(visible);
  // Above the limit the reader refuses the text; parsing it here could
  // overflow the stack, which is what the limit is for.
  if (bound.depth > corvalind::kMaxXmlDepth) return;
  std::string padded = visible;
  padded.append(8, '\0');
  TiXmlDocument document;
  document.Parse(padded.c_str(), nullptr, TIXML_ENCODING_UTF8);
  const Shape built = Measure(document);
  Check(built.depth <= bound.depth);
  Check(built.attributes <= bound.attributes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CheckBound(text);
  std::vector<Scene> scenes;
  if (corvalind::ParseSceneList(text, &scenes)) {
    CheckInvariants(scenes);
    CheckRoundTrip(scenes);
  }
  return 0;
}

#include "studio/files/scene_list_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <limits>

#include "engine/source_slot.h"
#include "platform/decimal.h"
#include "platform/file_io.h"
#include "platform/folders.h"
#include "studio/files/xml_file.h"

namespace corvalind {

namespace {

constexpr std::array<const char*, kZonePlacementCount> kPlacementKeys = {
    "VIDPOS_FULLSCREEN", "VIDPOS_FULLSCREEN_NAR", "VIDPOS_CENTER",      "VIDPOS_TOP_LEFT",
    "VIDPOS_TOP_RIGHT",  "VIDPOS_BOTTOM_LEFT",    "VIDPOS_BOTTOM_RIGHT", "VIDPOS_FREE",
};

// ---------------------------------------------------------------------------
// Names

// Keeps well-formed UTF-8 (no overlong forms, surrogates or code points
// above U+10FFFF), turns every other byte into U+FFFD, ends the name at a
// NUL and cuts it to 99 characters. The XML parser reads a lead byte and the
// bytes after it as one character whatever they are, so a malformed name
// written back could swallow the markup after it; a clean name reads back
// as it was written.
std::string CleanName(std::string_view raw) {
  raw = raw.substr(0, raw.find('\0'));
  std::string clean;
  clean.reserve(raw.size());
  std::size_t i = 0;
  while (i < raw.size()) {
    const auto lead = static_cast<unsigned char>(raw[i]);
    std::size_t length = 0;
    unsigned char secondMin = 0x80;
    unsigned char secondMax = 0xBF;
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) secondMin = 0xA0;  // overlong
      if (lead == 0xED) secondMax = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) secondMin = 0x90;  // overlong
      if (lead == 0xF4) secondMax = 0x8F;  // above U+10FFFF
    }
    bool valid = length > 0 && i + length <= raw.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(raw[i + k]);
      valid = k == 1 ? (next >= secondMin && next <= secondMax) : (next >= 0x80 && next <= 0xBF);
    }
    if (valid) {
      clean.append(raw.substr(i, length));
      i += length;
    } else {
      clean += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return LimitSceneName(clean);
}

// ---------------------------------------------------------------------------
// Values

// The text of the first child element called `name`: its first non-empty
// text (or CDATA) child. nullptr when the element is missing or holds no
// text, which both mean "use the default".
const char* ValueText(const TiXmlElement& zone, const char* name) {
  const TiXmlElement* element = zone.FirstChildElement(name);
  if (!element) return nullptr;
  for (const TiXmlNode* child = element->FirstChild(); child; child = child->NextSibling()) {
    const TiXmlText* text = child->ToText();
    if (text && text->Value()[0] != '\0') return text->Value();
  }
  return nullptr;
}

int32_t ReadValue(const TiXmlElement& zone, const char* name, int32_t fallback) {
  const char* text = ValueText(zone, name);
  return text ? ParseDecimal(text) : fallback;
}

int32_t ReadPlacement(const TiXmlElement& zone) {
  const char* text = ValueText(zone, "POSITION");
  if (!text) return VIDPOS_CENTER;
  for (int i = 0; i < kZonePlacementCount; ++i) {
    if (std::string_view(text) == kPlacementKeys[static_cast<std::size_t>(i)]) return i;
  }
  return VIDPOS_CENTER;
}

// The percentage a file value in hundredths stands for.
float PercentOf(int32_t hundredths) { return static_cast<float>(static_cast<double>(hundredths) / 100.0); }

// trunc(percent * 100) in double, except that a percentage which is exactly
// PercentOf(n) for a neighbouring n is written as n: loading n gives the
// float nearest n / 100, often just below it (0.57 is 0.5699999...), and
// plain truncation would write n - 1 and lose a hundredth at every load and
// save.
int32_t HundredthsOf(float percent) {
  const double scaled = static_cast<double>(percent) * 100.0;
  if (std::isnan(scaled)) return 0;
  constexpr double kLow = std::numeric_limits<int32_t>::min();
  constexpr double kHigh = std::numeric_limits<int32_t>::max();
  const auto truncated = static_cast<int64_t>(std::clamp(scaled, kLow, kHigh));
  for (const int64_t candidate : {truncated, truncated + 1, truncated - 1}) {
    if (candidate < kLow || candidate > kHigh) continue;
    if (PercentOf(static_cast<int32_t>(candidate)) == percent) return static_cast<int32_t>(candidate);
  }
  return static_cast<int32_t>(truncated);
}

VideoZone ReadZone(const TiXmlElement& element) {
  VideoZone zone;
  zone.sourceId = ReadValue(element, "SOURCE_ID", 0);
  zone.placement = ReadPlacement(element);
  zone.widthFrac = PercentOf(ReadValue(element, "WIDTH", 0));
  zone.heightFrac = PercentOf(ReadValue(element, "HEIGHT", 0));
  zone.posXFrac = PercentOf(ReadValue(element, "POS_X", 0));
  zone.posYFrac = PercentOf(ReadValue(element, "POS_Y", 0));
  zone.alpha = static_cast<uint8_t>(static_cast<uint32_t>(ReadValue(element, "ALPHA", 0)) & 0xFFu);
  zone.chroma = ReadValue(element, "CHROMA", 0) != 0;
  zone.keepAspect = ReadValue(element, "KEEP_AR", 1) != 0;
  return zone;
}

Scene ReadScene(const TiXmlElement& element) {
  Scene scene;
  const char* name = element.Attribute("Name");
  scene.name = CleanName(name ? name : "");
  const TiXmlElement* first = element.FirstChildElement("VZONE");
  for (const TiXmlElement* zone = first; zone; zone = zone->NextSiblingElement()) {
    VideoZone read = ReadZone(*zone);
    if (read.sourceId >= 0 && read.sourceId < SourceSlotCount) scene.zones.push_back(read);
  }
  return scene;
}

void AddValue(TiXmlElement* zone, const char* name, const std::string& text) {
  auto* element = new TiXmlElement(name);
  element->LinkEndChild(new TiXmlText(text));
  zone->LinkEndChild(element);
}

void AddValue(TiXmlElement* zone, const char* name, int32_t value) {
  AddValue(zone, name, std::to_string(value));
}

// ---------------------------------------------------------------------------
// Files

std::string SceneFolder() {
  std::string documents = DocumentsFolder();
  while (documents.size() > 1 && documents.back() == '/') documents.pop_back();
  return documents + "/Corvalind";
}

}  // namespace

std::string SceneListPath(const std::string& fileName) { return SceneFolder() + "/" + fileName; }

bool ParseSceneList(const std::string& xmlText, std::vector<Scene>* scenes) {
  TiXmlDocument document;
  if (!ParseXmlText(xmlText, &document)) return false;
  return ReadSceneDocument(document, scenes);
}

bool ReadSceneDocument(const TiXmlDocument& document, std::vector<Scene>* scenes) {
  std::vector<Scene> read;
  const TiXmlElement* root = document.FirstChildElement("SCENES");
  const TiXmlElement* first = root ? root->FirstChildElement("SCENE") : nullptr;
  for (const TiXmlElement* element = first; element && read.size() < static_cast<std::size_t>(MaxScenes);
       element = element->NextSiblingElement()) {
    Scene scene = ReadScene(*element);
    if (!scene.zones.empty()) read.push_back(std::move(scene));
  }
  *scenes = std::move(read);
  return true;
}

std::string FormatSceneList(const SceneTable& table) {
  TiXmlDocument document;
  document.LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", ""));
  auto* root = new TiXmlElement("SCENES");
  document.LinkEndChild(root);
  const int count = std::clamp(table.sceneCount, 0, MaxScenes);
  for (int i = 0; i < count; ++i) {
    const Scene& scene = table.scenes[static_cast<std::size_t>(i)];
    if (scene.zones.empty()) continue;
    auto* sceneElement = new TiXmlElement("SCENE");
    sceneElement->SetAttribute(std::string("Name"), CleanName(scene.name));
    root->LinkEndChild(sceneElement);
    for (const VideoZone& zone : scene.zones) {
      auto* zoneElement = new TiXmlElement("VZONE");
      sceneElement->LinkEndChild(zoneElement);
      // A placement outside the table cannot be named; the reader takes
      // any unknown key as centred, so say so plainly.
      const bool known = zone.placement >= 0 && zone.placement < kZonePlacementCount;
      AddValue(zoneElement, "SOURCE_ID", zone.sourceId);
      AddValue(zoneElement, "POSITION",
               kPlacementKeys[static_cast<std::size_t>(known ? zone.placement : VIDPOS_CENTER)]);
      AddValue(zoneElement, "WIDTH", HundredthsOf(zone.widthFrac));
      AddValue(zoneElement, "HEIGHT", HundredthsOf(zone.heightFrac));
      AddValue(zoneElement, "POS_X", HundredthsOf(zone.posXFrac));
      AddValue(zoneElement, "POS_Y", HundredthsOf(zone.posYFrac));
      AddValue(zoneElement, "ALPHA", zone.alpha);
      AddValue(zoneElement, "CHROMA", zone.chroma ? 1 : 0);
      AddValue(zoneElement, "KEEP_AR", zone.keepAspect ? 1 : 0);
    }
  }
  return PrintXml(document);
}

SceneListLoad LoadScenes(VideoEngine& engine, const std::string& fileName) {
  SceneListLoad load;
  load.path = SceneListPath(fileName);
  // Only a name that nothing has is a first run; a name that cannot even
  // be looked up may hide a list and counts as unreadable.
  if (LookUpPath(load.path) == PathPresence::kAbsent) return load;
  TiXmlDocument document;
  std::vector<Scene> scenes;
  if (ReadXmlFile(load.path, &document) && ReadSceneDocument(document, &scenes)) {
    engine.ReplaceScenes(scenes);
    load.status = SceneListStatus::kLoaded;
    return load;
  }
  load.status = SceneListStatus::kUnreadable;
  load.keptAs = MoveAside(load.path, UnreadableFileName(load.path, std::time(nullptr)));
  return load;
}

bool SaveScenes(const VideoEngine& engine, const std::string& fileName) {
  const std::string folder = SceneFolder();
  if (!EnsureFolder(folder)) return false;
  return ReplaceFile(folder + "/" + fileName, FormatSceneList(engine.Scenes()));
}

}  // namespace corvalind

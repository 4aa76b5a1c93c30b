#include "studio/files/scene_list_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tinyxml.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <limits>

#include "engine/source_slot.h"
#include "platform/folders.h"

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

// As C's atoi: white space, one sign, digits up to the first other
// character. Unlike atoi, values beyond 32 bits are clamped instead of being
// undefined.
int32_t ReadDecimal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  constexpr int64_t kCap = int64_t{1} << 32;  // beyond either end of int32
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = std::min(kCap, magnitude * 10 + (text[i] - '0'));
  }
  const int64_t value = negative ? -magnitude : magnitude;
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

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
  return text ? ReadDecimal(text) : fallback;
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

bool ReadSceneFile(const std::string& path, std::string* text) {
  // O_NONBLOCK so that a pipe in the file's place cannot stall the UI
  // thread; it is refused below as not a regular file.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
            static_cast<std::size_t>(info.st_size) <= kMaxSceneFileBytes;
  std::string bytes;
  if (ok) {
    // Read to the end rather than trusting the size: the file may have
    // changed since fstat. One byte more than the limit tells a file that
    // grew past it.
    bytes.resize(static_cast<std::size_t>(info.st_size) + 1);
    std::size_t used = 0;
    while (true) {
      if (used == bytes.size()) bytes.resize(std::min(bytes.size() * 2, kMaxSceneFileBytes + 1));
      if (used == bytes.size()) break;
      const ssize_t got = read(fd, bytes.data() + used, bytes.size() - used);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) ok = false;
      if (got <= 0) break;
      used += static_cast<std::size_t>(got);
    }
    ok = ok && used <= kMaxSceneFileBytes;
    bytes.resize(used);
  }
  close(fd);
  if (ok) *text = std::move(bytes);
  return ok;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

std::string SceneFolder() {
  std::string documents = DocumentsFolder();
  while (documents.size() > 1 && documents.back() == '/') documents.pop_back();
  return documents + "/Corvalind";
}

// ---------------------------------------------------------------------------
// Nesting bound
//
// TinyXML parses an element's content by recursing into each child element,
// so the depth of a text is the depth of the parser's recursion. The scan
// follows every way the parser might read each byte at once (a
// nondeterministic automaton) and keeps, per state, the largest depth any of
// those readings reached. Where the parser's reading is uncertain (whether a
// quote opens a value, how many bytes after a byte >= 0x80 it takes as one
// character, whether "<x" starts an element), all readings are followed, so
// the result is never below the real depth; for ordinary documents it is
// the real depth or a little above.

enum ScanMode : int {
  kContent,      // text between tags
  kTag,          // inside a start tag, outside quotes
  kTagQuote1,    // inside a '...' value of a start tag
  kTagQuote2,    // inside a "..." value of a start tag
  kEndTag,       // "</name" up to '>'
  kComment,      // "<!--" up to "-->"
  kCdata,        // "<![CDATA[" up to "]]>"
  kUnknown,      // "<!..." or "<?..." up to '>'
  kDecl,         // "<?xml" up to '>'
  kDeclQuote1,   // a '...' value in the declaration
  kDeclQuote2,   // a "..." value in the declaration
  kScanModeCount
};

// Bytes a state still passes over unread: the rest of a markup opener such
// as "<![CDATA[", or the rest of a multi-byte character (up to 3).
constexpr int kMaxPending = 8;
constexpr int kScanStates = kScanModeCount * (kMaxPending + 1);

struct Reach {
  int depth = -1;     // -1: no reading is in this state
  int attributes = 0;  // '=' signs so far in the current start tag
};

class Frontier {
 public:
  void Add(int mode, int pending, int depth, int attributes, XmlBounds& bounds) {
    const int state = mode * (kMaxPending + 1) + pending;
    Reach& reach = reaches_[static_cast<std::size_t>(state)];
    if (reach.depth < 0) live_[liveCount_++] = state;
    reach.depth = std::max(reach.depth, depth);
    reach.attributes = std::max(reach.attributes, attributes);
    bounds.depth = std::max(bounds.depth, depth);
    bounds.attributes = std::max(bounds.attributes, attributes);
  }
  void Clear() {
    for (int i = 0; i < liveCount_; ++i) reaches_[static_cast<std::size_t>(live_[i])] = Reach{};
    liveCount_ = 0;
  }
  int LiveCount() const { return liveCount_; }
  int State(int i) const { return live_[static_cast<std::size_t>(i)]; }
  const Reach& At(int state) const { return reaches_[static_cast<std::size_t>(state)]; }

 private:
  std::array<Reach, kScanStates> reaches_{};
  std::array<int, kScanStates> live_{};
  int liveCount_ = 0;
};

bool At(std::string_view text, std::size_t i, std::string_view token) {
  return text.substr(i, token.size()) == token;
}

bool AtNoCase(std::string_view text, std::size_t i, std::string_view token) {
  if (text.size() - i < token.size()) return false;
  for (std::size_t k = 0; k < token.size(); ++k) {
    char c = text[i + k];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != token[k]) return false;
  }
  return true;
}

bool IsAsciiLetter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// One byte read in one state: adds the states the reading can go on in.
void ScanByte(std::string_view text, std::size_t i, int mode, int pending, const Reach& reach,
              Frontier& next, XmlBounds& bounds) {
  const int d = reach.depth;
  const int a = reach.attributes;
  auto go = [&](int toMode, int toPending, int depth, int attributes) {
    next.Add(toMode, toPending, depth, attributes, bounds);
  };
  if (pending > 0) {
    go(mode, pending - 1, d, a);
    return;
  }
  const auto c = static_cast<unsigned char>(text[i]);
  const unsigned char after = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
  // A byte >= 0x80 where the parser reads characters may take up to three
  // more bytes with it, whatever they are.
  auto multiByte = [&](int inMode) {
    for (int extra = 0; extra <= 3; ++extra) go(inMode, extra, d, a);
  };
  switch (mode) {
    case kContent:
      if (c == '<') {
        if (after == '/') {
          go(kEndTag, 1, std::max(d - 1, 0), a);
        } else if (AtNoCase(text, i, "<?xml")) {
          go(kDecl, 4, d, a);
        } else if (At(text, i, "<!--")) {
          go(kComment, 3, d, a);
        } else if (At(text, i, "<![CDATA[")) {
          go(kCdata, 8, d, a);
        } else if (after == '!' || after == '?') {
          go(kUnknown, 0, d, a);
        } else {
          go(kTag, 0, d + 1, 0);
          if (!IsAsciiLetter(after) && after != '_') go(kUnknown, 0, d, a);
        }
      } else if (c >= 0x80) {
        multiByte(kContent);
      } else {
        go(kContent, 0, d, a);
      }
      break;
    case kTag:
      if (c == '"' || c == '\'') {
        go(c == '"' ? kTagQuote2 : kTagQuote1, 0, d, a);
        go(kTag, 0, d, a);
      } else if (c == '/' && after == '>') {
        go(kContent, 1, std::max(d - 1, 0), a);  // "<name ... />" has no content
      } else if (c == '>') {
        go(kContent, 0, d, a);
      } else {
        go(kTag, 0, d, c == '=' ? a + 1 : a);
      }
      break;
    case kTagQuote1:
    case kTagQuote2:
    case kDeclQuote1:
    case kDeclQuote2: {
      const bool single = mode == kTagQuote1 || mode == kDeclQuote1;
      const bool inTag = mode == kTagQuote1 || mode == kTagQuote2;
      if (c == (single ? '\'' : '"')) {
        go(inTag ? kTag : kDecl, 0, d, a);
      } else if (c >= 0x80) {
        multiByte(mode);
      } else {
        go(mode, 0, d, a);
      }
      break;
    }
    case kEndTag:
    case kUnknown:
      go(c == '>' ? kContent : mode, 0, d, a);
      break;
    case kComment:
      if (At(text, i, "-->")) {
        go(kContent, 2, d, a);
      } else {
        go(kComment, 0, d, a);
      }
      break;
    case kCdata:
      if (At(text, i, "]]>")) {
        go(kContent, 2, d, a);
      } else {
        go(kCdata, 0, d, a);
      }
      break;
    case kDecl:
      if (c == '>') {
        go(kContent, 0, d, a);
      } else {
        if (c == '"' || c == '\'') go(c == '"' ? kDeclQuote2 : kDeclQuote1, 0, d, a);
        go(kDecl, 0, d, a);
      }
      break;
    default:
      break;
  }
}

}  // namespace

XmlBounds MeasureXmlBounds(std::string_view text) {
  XmlBounds bounds;
  // Two frontiers, swapped per byte.
  std::array<Frontier, 2> frontiers;
  Frontier* now = &frontiers[0];
  Frontier* next = &frontiers[1];
  now->Add(kContent, 0, 0, 0, bounds);
  for (std::size_t i = 0; i < text.size(); ++i) {
    for (int k = 0; k < now->LiveCount(); ++k) {
      const int state = now->State(k);
      ScanByte(text, i, state / (kMaxPending + 1), state % (kMaxPending + 1), now->At(state), *next,
               bounds);
    }
    now->Clear();
    std::swap(now, next);
  }
  return bounds;
}

std::string SceneListPath(const std::string& fileName) { return SceneFolder() + "/" + fileName; }

bool ParseSceneList(const std::string& xmlText, std::vector<Scene>* scenes) {
  // XML has no NUL characters; the parser would silently stop at one.
  if (xmlText.find('\0') != std::string::npos) return false;
  const XmlBounds bounds = MeasureXmlBounds(xmlText);
  if (bounds.depth > kMaxXmlDepth || bounds.attributes > kMaxXmlAttributes) return false;

  // The parser can step up to three bytes past the terminating NUL when the
  // text ends inside a multi-byte character; the padding keeps it inside
  // the buffer, where it meets another NUL and stops.
  std::string padded = xmlText;
  padded.append(8, '\0');
  TiXmlDocument document;
  document.Parse(padded.c_str(), nullptr, TIXML_ENCODING_UTF8);
  if (document.Error()) return false;

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
  TiXmlPrinter printer;
  printer.SetIndent("    ");
  document.Accept(&printer);
  return printer.Str();
}

bool LoadScenes(VideoEngine& engine, const std::string& fileName) {
  std::string text;
  if (!ReadSceneFile(SceneListPath(fileName), &text)) return false;
  std::vector<Scene> scenes;
  if (!ParseSceneList(text, &scenes)) return false;
  engine.ReplaceScenes(scenes);
  return true;
}

bool SaveScenes(const VideoEngine& engine, const std::string& fileName) {
  const std::string folder = SceneFolder();
  if (!EnsureFolder(folder)) return false;
  const std::string path = folder + "/" + fileName;
  const std::string text = FormatSceneList(engine.Scenes());
  const std::string neighbour = path + ".new";
  // A neighbour left by a crash (or anything else under that name) goes
  // first, so the new file is always a fresh regular file of ours.
  unlink(neighbour.c_str());
  const int fd = open(neighbour.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  // Flushed before the rename, so that after a system crash the name holds
  // the old text or the whole new one.
  const bool written = WriteAll(fd, text) && fsync(fd) == 0;
  const bool closed = close(fd) == 0;
  if (!written || !closed || rename(neighbour.c_str(), path.c_str()) != 0) {
    unlink(neighbour.c_str());
    return false;
  }
  return true;
}

}  // namespace corvalind

#include "studio/files/xml_file.h"

#include <algorithm>
#include <array>

#include "platform/file_io.h"

namespace corvalind {

namespace {

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

bool ParseXmlText(const std::string& text, TiXmlDocument* document) {
  if (text.size() > kMaxXmlFileBytes || text.find('\0') != std::string::npos) return false;
  const XmlBounds bounds = MeasureXmlBounds(text);
  if (bounds.depth > kMaxXmlDepth || bounds.attributes > kMaxXmlAttributes) return false;
  // The parser can step up to three bytes past the terminating NUL when the
  // text ends inside a multi-byte character; the padding keeps it inside
  // the buffer, where it meets another NUL and stops.
  std::string padded = text;
  padded.append(8, '\0');
  document->Parse(padded.c_str(), nullptr, TIXML_ENCODING_UTF8);
  return !document->Error();
}

bool ReadXmlFile(const std::string& path, TiXmlDocument* document) {
  std::string text;
  if (!ReadRegularFile(path, kMaxXmlFileBytes, ReadLimit::kRefuseLarger, &text)) return false;
  return ParseXmlText(text, document);
}

std::string PrintXml(const TiXmlDocument& document) {
  TiXmlPrinter printer;
  printer.SetIndent("    ");
  document.Accept(&printer);
  return printer.Str();
}

bool WriteXmlFile(const std::string& path, const TiXmlDocument& document) {
  return ReplaceFile(path, PrintXml(document));
}

}  // namespace corvalind

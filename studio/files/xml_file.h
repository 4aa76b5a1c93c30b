// The one guarded path for the studio's XML files (the scene list and
// project files): both are read and written here, with the same limits.
//
// Reading caps the file's size before anything is read, refuses texts
// holding a NUL (the parser would silently stop at one) or nesting elements
// deeper, or giving one element more attributes, than the limits below
// (TinyXML recurses once per level and checks attribute names by a linear
// search, so such texts could overflow the stack or take minutes), and pads
// the text so the parser never reads past its end. Writing prints the
// document with TinyXML's printer (four spaces per level) and replaces the
// file through a neighbour file, fsync and rename.
//
// Any thread; one document per caller.
#pragma once

#include <tinyxml.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace corvalind {

// A real scene list or project needs a depth of 4 and one attribute per
// element; a real file is some tens of KiB.
inline constexpr int kMaxXmlDepth = 256;
inline constexpr int kMaxXmlAttributes = 256;
inline constexpr std::size_t kMaxXmlFileBytes = 4u << 20;

// Parses `text` into `document` under the limits; false when the text is
// refused or malformed.
bool ParseXmlText(const std::string& text, TiXmlDocument* document);

// Reads and parses the file `path`; false when it is missing, not a
// regular file, larger than kMaxXmlFileBytes, refused or malformed.
bool ReadXmlFile(const std::string& path, TiXmlDocument* document);

// The text the studio writes for a document.
std::string PrintXml(const TiXmlDocument& document);

// Writes the document over `path` (the folder must exist); false when it
// could not be written, the old file then being untouched.
bool WriteXmlFile(const std::string& path, const TiXmlDocument& document);

// An upper bound of the element depth TinyXML recurses to, and of the
// number of attributes it gives one element, when it parses `text` in
// UTF-8 mode. Exposed for the fuzz target, which checks the bound against
// the parser.
struct XmlBounds {
  int depth = 0;
  int attributes = 0;
};
XmlBounds MeasureXmlBounds(std::string_view text);

}  // namespace corvalind

// Project files (".cvd"): the open windows, their positions and their
// sources' settings, and the four global picture settings.
//
// The document has two top-level elements: CONFIG (chroma auto key, key
// colour, key range in percent, bilinear scaling) and WINDOWS, with one
// WINDOW per open child window in window-table order: TYPE, POS_X, POS_Y,
// then the elements of its kind. Every value is an element holding text;
// numbers are decimal. This file holds the document model; the main window
// fills it from its forms and opens windows from it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace corvalind {

struct ProjectConfig {
  // Absent elements leave the studio's settings as they are.
  std::optional<bool> autoKey;
  std::optional<uint32_t> keyColor;
  std::optional<float> keyRange;  // 0.0 .. 1.0
  std::optional<bool> bilinear;
};

struct ProjectWindow {
  int type = 0;
  int posX = 0;
  int posY = 0;
  // The kind's elements in the order they are written (name, text).
  std::vector<std::pair<std::string, std::string>> values;

  // The text of an element, if present.
  std::optional<std::string> Text(const std::string& name) const;
  // The element's number (ParseDecimal); `fallback` when the element is
  // absent.
  int Number(const std::string& name, int fallback) const;
  void Set(const std::string& name, const std::string& text);
  void Set(const std::string& name, long long number);
};

struct ProjectDocument {
  ProjectConfig config;
  std::vector<ProjectWindow> windows;
};

// Parses a document text. False (and `out` untouched) when it does not
// parse. A missing CONFIG leaves the config empty; a missing WINDOWS gives
// no windows. Refused as the studio's other XML files are (xml_file.h).
bool ParseProject(const std::string& text, ProjectDocument* out);
// The document text as the studio writes it.
std::string FormatProject(const ProjectDocument& document);

// Files: false when it cannot be read, parsed or written.
bool ReadProjectFile(const std::string& path, ProjectDocument* out);
bool WriteProjectFile(const std::string& path, const ProjectDocument& document);

// The global picture settings of this moment, as a config to save, and
// applying a loaded one.
ProjectConfig CurrentPictureConfig();
void ApplyPictureConfig(const ProjectConfig& config);

}  // namespace corvalind

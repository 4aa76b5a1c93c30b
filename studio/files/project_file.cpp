#include "studio/files/project_file.h"

#include <cmath>
#include <cstdio>

#include "engine/key_settings.h"
#include "platform/decimal.h"
#include "studio/files/xml_file.h"

namespace corvalind {

namespace {

std::string ElementText(const TiXmlElement* parent, const char* name, bool* present) {
  const TiXmlElement* e = parent->FirstChildElement(name);
  *present = e != nullptr;
  const char* text = e ? e->GetText() : nullptr;
  return text ? std::string(text) : std::string();
}

void AddText(TiXmlElement* parent, const std::string& name, const std::string& text) {
  auto* element = new TiXmlElement(name.c_str());
  element->LinkEndChild(new TiXmlText(text.c_str()));
  parent->LinkEndChild(element);
}

}  // namespace

std::optional<std::string> ProjectWindow::Text(const std::string& name) const {
  for (const auto& [key, value] : values) {
    if (key == name) return value;
  }
  return std::nullopt;
}

int ProjectWindow::Number(const std::string& name, int fallback) const {
  const std::optional<std::string> text = Text(name);
  return text ? ParseDecimal(*text) : fallback;
}

void ProjectWindow::Set(const std::string& name, const std::string& text) {
  for (auto& [key, value] : values) {
    if (key == name) {
      value = text;
      return;
    }
  }
  values.emplace_back(name, text);
}

void ProjectWindow::Set(const std::string& name, long long number) { Set(name, std::to_string(number)); }

namespace {

void ReadProjectDocument(const TiXmlDocument& document, ProjectDocument* out) {
  ProjectDocument result;
  if (const TiXmlElement* config = document.FirstChildElement("CONFIG")) {
    bool present = false;
    std::string value = ElementText(config, "CHROMA_AUTOKEY", &present);
    if (present) result.config.autoKey = ParseDecimal(value) != 0;
    value = ElementText(config, "CHROMA_KEYCOLOR", &present);
    if (present) result.config.keyColor = static_cast<uint32_t>(ParseDecimal(value));
    value = ElementText(config, "CHROMA_KEYRANGE", &present);
    if (present) result.config.keyRange = static_cast<float>(ParseDecimal(value) / 100.0);
    value = ElementText(config, "BILINEAR_SCALING", &present);
    if (present) result.config.bilinear = ParseDecimal(value) != 0;
  }
  if (const TiXmlElement* windows = document.FirstChildElement("WINDOWS")) {
    // The first WINDOW and every element after it, whatever its name.
    for (const TiXmlElement* w = windows->FirstChildElement("WINDOW"); w; w = w->NextSiblingElement()) {
      ProjectWindow window;
      for (const TiXmlElement* v = w->FirstChildElement(); v; v = v->NextSiblingElement()) {
        const char* textValue = v->GetText();
        const std::string name = v->Value();
        const std::string value = textValue ? textValue : "";
        if (name == "TYPE") {
          window.type = ParseDecimal(value);
        } else if (name == "POS_X") {
          window.posX = ParseDecimal(value);
        } else if (name == "POS_Y") {
          window.posY = ParseDecimal(value);
        } else if (!window.Text(name)) {
          window.values.emplace_back(name, value);  // the first of a name counts
        }
      }
      result.windows.push_back(std::move(window));
    }
  }
  *out = std::move(result);
}

// The document the studio writes for a project.
void BuildProjectDocument(const ProjectDocument& document, TiXmlDocument* xml);

}  // namespace

bool ParseProject(const std::string& text, ProjectDocument* out) {
  TiXmlDocument document;
  if (!ParseXmlText(text, &document)) return false;
  ReadProjectDocument(document, out);
  return true;
}

namespace {

void BuildProjectDocument(const ProjectDocument& document, TiXmlDocument* xmlDocument) {
  TiXmlDocument& xml = *xmlDocument;
  xml.LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", ""));
  auto* config = new TiXmlElement("CONFIG");
  const ProjectConfig& c = document.config;
  AddText(config, "CHROMA_AUTOKEY", c.autoKey.value_or(false) ? "1" : "0");
  AddText(config, "CHROMA_KEYCOLOR", std::to_string(static_cast<int32_t>(c.keyColor.value_or(kDefaultChromaKeyColor))));
  // The product in float, as the range is kept: 0.35 gives 35 (in double
  // it would be 34.99999940 and lose a percent at every save).
  const float range = c.keyRange.value_or(0.3f) * 100.0f;
  const int percent = std::isfinite(range) ? static_cast<int>(std::fmax(-1e9f, std::fmin(1e9f, range))) : 0;
  AddText(config, "CHROMA_KEYRANGE", std::to_string(percent));
  AddText(config, "BILINEAR_SCALING", c.bilinear.value_or(false) ? "1" : "0");
  xml.LinkEndChild(config);
  auto* windows = new TiXmlElement("WINDOWS");
  for (const ProjectWindow& w : document.windows) {
    auto* window = new TiXmlElement("WINDOW");
    AddText(window, "TYPE", std::to_string(w.type));
    AddText(window, "POS_X", std::to_string(w.posX));
    AddText(window, "POS_Y", std::to_string(w.posY));
    for (const auto& [name, value] : w.values) AddText(window, name, value);
    windows->LinkEndChild(window);
  }
  xml.LinkEndChild(windows);
}

}  // namespace

std::string FormatProject(const ProjectDocument& document) {
  TiXmlDocument xml;
  BuildProjectDocument(document, &xml);
  return PrintXml(xml);
}

bool ReadProjectFile(const std::string& path, ProjectDocument* out) {
  TiXmlDocument document;
  if (!ReadXmlFile(path, &document)) return false;
  ReadProjectDocument(document, out);
  return true;
}

bool WriteProjectFile(const std::string& path, const ProjectDocument& document) {
  TiXmlDocument xml;
  BuildProjectDocument(document, &xml);
  return WriteXmlFile(path, xml);
}

ProjectConfig CurrentPictureConfig() {
  ProjectConfig config;
  config.autoKey = chromaAutoKey.load();
  config.keyColor = chromaKeyColor.load();
  config.keyRange = chromaKeyRange.load();
  config.bilinear = bilinearScaling.load();
  return config;
}

void ApplyPictureConfig(const ProjectConfig& config) {
  if (config.autoKey) chromaAutoKey = *config.autoKey;
  if (config.keyColor) chromaKeyColor = *config.keyColor;
  if (config.keyRange) chromaKeyRange = *config.keyRange;
  if (config.bilinear) bilinearScaling = *config.bilinear;
}

}  // namespace corvalind

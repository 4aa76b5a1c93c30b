// The project reader on any bytes: no crash, no hang, and what parses
// survives a write and a second read unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "studio/files/project_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  corvalind::ProjectDocument document;
  if (!corvalind::ParseProject(text, &document)) return 0;
  corvalind::ProjectDocument again;
  if (!corvalind::ParseProject(corvalind::FormatProject(document), &again)) std::abort();
  if (again.windows.size() != document.windows.size()) std::abort();
  for (std::size_t i = 0; i < document.windows.size(); ++i) {
    const auto& a = document.windows[i];
    const auto& b = again.windows[i];
    if (a.type != b.type || a.posX != b.posX || a.posY != b.posY) std::abort();
  }
  return 0;
}

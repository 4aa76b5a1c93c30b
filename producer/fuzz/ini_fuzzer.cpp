// Any bytes as Reelforge.ini: reading never fails, and what it leaves
// keeps the rules every later step relies on.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "producer/reelforge_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  corvalind::ReelforgeConfig config;
  std::size_t printed = 0;
  corvalind::ApplyReelforgeIni(std::string_view(reinterpret_cast<const char*>(data), size), config,
                               [&printed](const std::string& line) {
                                 if (line.empty() || line.back() != '\n') std::abort();
                                 ++printed;
                               });
  if (config.vorbisQuality < 0 || config.vorbisQuality > 100) std::abort();
  if (config.webmUsage != 0 && config.webmUsage != 1) std::abort();
  for (const std::string* text : {&config.captureDevice, &config.audioDevice, &config.outputFiles, &config.ftpHost,
                                  &config.ftpUser, &config.ftpPass, &config.ftpFolder}) {
    if (text->size() >= corvalind::kReelforgeLineLimit) std::abort();
    if (text->find('\n') != std::string::npos || text->find('\0') != std::string::npos) std::abort();
  }
  if (printed > size) std::abort();  // at most one line per line read
  return 0;
}

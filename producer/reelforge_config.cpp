#include "producer/reelforge_config.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "platform/decimal.h"
#include "platform/file_io.h"
#include "platform/folders.h"

namespace corvalind {

namespace {

// An ini file is a few hundred bytes; anything larger than this is no
// configuration and only its start is read.
constexpr std::size_t kIniReadLimit = 1 << 20;

bool KeyIs(std::string_view key, const char* name) {
  return key.size() == std::strlen(name) && strncasecmp(key.data(), name, key.size()) == 0;
}

void Print(const ReelforgeConsole& console, const char* label, int value) {
  if (console) console(std::string(label) + ":" + std::to_string(value) + "\n");
}

// One line of at most kReelforgeLineLimit characters, as a C string: it
// ends at its first NUL.
void ApplyLine(std::string_view line, ReelforgeConfig& c, const ReelforgeConsole& console) {
  line = line.substr(0, line.find('\0'));
  if (line.empty() || line.front() == ';') return;
  const std::size_t equals = line.find('=');
  if (equals == std::string_view::npos) return;
  const std::string_view key = line.substr(0, equals);
  std::string_view value = line.substr(equals + 1);
  // The line end goes, whether the file was written with LF or CR LF line
  // ends (a value must never keep a CR).
  if (!value.empty() && value.back() == '\n') value.remove_suffix(1);
  if (!value.empty() && value.back() == '\r') value.remove_suffix(1);
  const std::string text(value);
  const int number = ParseDecimal(value);

  if (KeyIs(key, "CAPTURE_DEVICE")) {
    c.captureDevice = text;
  } else if (KeyIs(key, "AUDIO_DEVICE")) {
    c.audioDevice = text;
  } else if (KeyIs(key, "VIDEO_WIDTH")) {
    c.videoWidth = number;
  } else if (KeyIs(key, "VIDEO_HEIGHT")) {
    c.videoHeight = number;
  } else if (KeyIs(key, "VIDEO_FPS")) {
    c.videoFps = number;
  } else if (KeyIs(key, "SKIP_CODE")) {
    c.skipCode = number;
  } else if (KeyIs(key, "FORCE_DEFAULT")) {
    c.forceDefault = number;
  } else if (KeyIs(key, "CROSSBAR_INPUT")) {
    c.crossbarInput = number;
  } else if (KeyIs(key, "WEBM_BITRATE")) {
    c.webmBitrate = number;
    Print(console, "gl_WebmBitrate", c.webmBitrate);
  } else if (KeyIs(key, "WEBM_THREADS")) {
    c.webmThreads = number;
    Print(console, "gl_WebmThreads", c.webmThreads);
  } else if (KeyIs(key, "WEBM_VIDEO_DURATION")) {
    c.webmVideoDuration = number;
    Print(console, "gl_WebmVideoDuration", c.webmVideoDuration);
  } else if (KeyIs(key, "OVERLAPPED_FRAMES")) {
    c.overlappedFrames = number;
    Print(console, "gl_OverlappedFrames", c.overlappedFrames);
  } else if (KeyIs(key, "VORBIS_QUALITY")) {
    c.vorbisQuality = number >= 0 && number <= 100 ? number : 30;
    Print(console, "gl_VorbisQuality", c.vorbisQuality);
  } else if (KeyIs(key, "OUTPUT_FILES")) {
    c.outputFiles = text;
  } else if (KeyIs(key, "FTP_HOST")) {
    c.ftpHost = text;
  } else if (KeyIs(key, "FTP_USER")) {
    c.ftpUser = text;
  } else if (KeyIs(key, "FTP_PASS")) {
    c.ftpPass = text;
  } else if (KeyIs(key, "FTP_FOLDER")) {
    c.ftpFolder = text;
  } else if (KeyIs(key, "FTP_PASSIVE")) {
    c.ftpPassive = number;
    Print(console, "gl_FtpPassive", c.ftpPassive);
  } else if (KeyIs(key, "WEBM_PARTS")) {
    c.webmParts = number;
    Print(console, "gl_WebmParts", c.webmParts);
  } else if (KeyIs(key, "WEBM_USAGE")) {
    if (number == 0 || number == 1) c.webmUsage = number;
    Print(console, "gl_WebmUsage", c.webmUsage);
  } else if (KeyIs(key, "REBOOT_MEMORY_KB")) {
    c.rebootMemoryKb = number;
    Print(console, "gl_RebootMemoryKB", c.rebootMemoryKb);
  } else if (KeyIs(key, "DEBUG_MODE")) {
    c.debugMode = number;
    Print(console, "m_DebugMode", c.debugMode);
  }
}

}  // namespace

void ApplyReelforgeIni(std::string_view text, ReelforgeConfig& config, const ReelforgeConsole& console) {
  std::size_t at = 0;
  while (at < text.size()) {
    // A line with its line feed, or the first kReelforgeLineLimit
    // characters of a longer one (the rest is read as the next line).
    const std::size_t end = text.find('\n', at);
    std::size_t length = (end == std::string_view::npos ? text.size() : end + 1) - at;
    length = std::min(length, kReelforgeLineLimit);
    ApplyLine(text.substr(at, length), config, console);
    at += length;
  }
}

std::string ReelforgeIniPath() {
  const std::string folder = DocumentsFolder() + "/Corvalind";
  EnsureFolder(folder);
  return folder + "/Reelforge.ini";
}

bool LoadReelforgeConfig(const std::string& path, ReelforgeConfig& config, const ReelforgeConsole& console) {
  std::string text;
  if (!ReadRegularFile(path, kIniReadLimit, ReadLimit::kTakePrefix, &text)) return false;
  ApplyReelforgeIni(text, config, console);
  return true;
}

}  // namespace corvalind

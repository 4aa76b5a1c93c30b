#include "platform/settings_file.h"

#include <climits>
#include <cstdio>

#include "platform/decimal.h"
#include "platform/file_io.h"
#include "platform/folders.h"

namespace corvalind {

const PictureSize kPictureSizes[kPictureSizeCount] = {
    {320, 180, "320x180 Wide"},           {320, 240, "320x240 Half SD NTSC"},
    {384, 288, "384x288 Half SD PAL"},    {428, 240, "428x240 Half SD NTSC Wide"},
    {512, 288, "512x288 Half SD PAL Wide"}, {640, 360, "640x360 Wide"},
    {640, 480, "640x480 SD NTSC"},        {720, 406, "720x406 SD Wide"},
    {768, 576, "768x576 SD PAL"},         {800, 600, "800x600 SVGA"},
    {864, 480, "864x480 SD NTSC Wide"},   {1024, 576, "1024x576 SD PAL Wide"},
    {1024, 768, "1024x768 XGA"},          {1280, 720, "1280x720 HD"},
    {1920, 1080, "1920x1080 FullHD"},     {1920, 1200, "1920x1200"},
};

const FrameRateEntry kFrameRates[kFrameRateCount] = {
    {10, "10 fps"}, {15, "15 fps"}, {25, "25 fps"}, {30, "30 fps"}, {50, "50 fps"}, {60, "60 fps"},
};

namespace {

// The text of at most 100 bytes, ending at a NUL as a C string would.
std::string_view AsText(std::string_view bytes) {
  if (bytes.size() > kSettingsReadLimit) bytes = bytes.substr(0, kSettingsReadLimit);
  const std::size_t nul = bytes.find('\0');
  return nul == std::string_view::npos ? bytes : bytes.substr(0, nul);
}

void ResolveTables(PictureSettings& s) {
  if (s.sizeIndex >= 0 && s.sizeIndex < kPictureSizeCount) {
    s.width = kPictureSizes[s.sizeIndex].width;
    s.height = kPictureSizes[s.sizeIndex].height;
  }
  if (s.rateIndex >= 0 && s.rateIndex < kFrameRateCount) s.fps = kFrameRates[s.rateIndex].fps;
  s.frameIntervalMs = 1000 / s.fps;
}

bool ReadLimited(const std::string& path, std::string* text) {
  return ReadRegularFile(path, kSettingsReadLimit, ReadLimit::kTakePrefix, text);
}

// The parts of a text as the studio's reader splits it; a part that is
// not there is empty and has `has...` false.
struct StudioParts {
  std::size_t commas = 0;
  bool hasMirror = false;
  bool hasIndices = false;
  std::string_view size, rate, mirror;
};

StudioParts SplitStudioText(std::string_view text) {
  StudioParts parts;
  for (char c : text) parts.commas += c == ',';
  if (parts.commas == 2) {
    const std::size_t last = text.rfind(',');
    parts.hasMirror = true;
    parts.mirror = text.substr(last + 1);
    text = text.substr(0, last);
  }
  const std::size_t last = text.rfind(',');
  if (last != std::string_view::npos && last > 0) {
    parts.hasIndices = true;
    parts.size = text.substr(0, last);
    parts.rate = text.substr(last + 1);
  }
  return parts;
}

// Whether ParseDecimal finds digits in `text` (after white space and one
// sign) rather than reading it as 0 for want of any.
bool HoldsNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  return i < text.size() && text[i] >= '0' && text[i] <= '9';
}

}  // namespace

PictureSettings ParseStudioSettings(std::string_view bytes) {
  const StudioParts parts = SplitStudioText(AsText(bytes));
  PictureSettings s;
  if (parts.hasMirror) s.mirror = ParseDecimal(parts.mirror) != 0;
  if (parts.hasIndices) {
    s.sizeIndex = ParseDecimal(parts.size);
    s.rateIndex = ParseDecimal(parts.rate);
  }
  ResolveTables(s);
  return s;
}

bool StudioSettingsUsable(std::string_view bytes) {
  const StudioParts parts = SplitStudioText(AsText(bytes));
  if (parts.commas > 2 || !parts.hasIndices) return false;
  if (!HoldsNumber(parts.size) || !HoldsNumber(parts.rate)) return false;
  if (parts.hasMirror && !HoldsNumber(parts.mirror)) return false;
  const int32_t size = ParseDecimal(parts.size);
  const int32_t rate = ParseDecimal(parts.rate);
  return size >= 0 && size < kPictureSizeCount && rate >= 0 && rate < kFrameRateCount;
}

PictureSettings ParseCameraSettings(std::string_view bytes, bool mirror) {
  const std::string_view text = AsText(bytes);
  PictureSettings s;
  s.mirror = mirror;
  const std::size_t first = text.find(',');
  if (first != std::string_view::npos) {
    s.sizeIndex = ParseDecimal(text.substr(0, first));
    const std::string_view rest = text.substr(first + 1);
    const std::size_t second = rest.find(',');
    if (second != std::string_view::npos) {
      s.rateIndex = ParseDecimal(rest.substr(0, second));
      s.mirror = ParseDecimal(rest.substr(second + 1)) != 0;
    } else {
      s.rateIndex = ParseDecimal(rest);
    }
  }
  ResolveTables(s);
  return s;
}

PictureSettings ReadStudioSettings(const std::string& path, bool* found) {
  std::string text;
  const bool ok = ReadLimited(path, &text);
  if (found) *found = ok;
  return ok ? ParseStudioSettings(text) : PictureSettings{};
}

PictureSettings ReadStudioSettings(const std::string& path, SettingsFileState* state) {
  std::string text;
  if (ReadLimited(path, &text)) {
    if (state) *state = StudioSettingsUsable(text) ? SettingsFileState::kRead : SettingsFileState::kUnusable;
    return ParseStudioSettings(text);
  }
  if (state) {
    *state = LookUpPath(path) == PathPresence::kAbsent ? SettingsFileState::kMissing
                                                       : SettingsFileState::kUnreadable;
  }
  return PictureSettings{};
}

PictureSettings ReadCameraSettings(const std::string& path, bool mirror, bool* found) {
  std::string text;
  const bool ok = ReadLimited(path, &text);
  if (found) *found = ok;
  if (ok) return ParseCameraSettings(text, mirror);
  PictureSettings defaults;
  defaults.mirror = mirror;
  return defaults;
}

bool WriteSettingsFile(const std::string& path, int sizeIndex, int rateIndex, bool mirror) {
  const std::size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) EnsureFolder(path.substr(0, slash));
  char text[64];
  const int length = std::snprintf(text, sizeof(text), "%d,%d,%d", sizeIndex, rateIndex, mirror ? 1 : 0);
  if (length < 0) return false;
  return ReplaceFile(path, std::string_view(text, static_cast<std::size_t>(length)), 0600);
}

}  // namespace corvalind

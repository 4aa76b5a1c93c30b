#include "platform/settings_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

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
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[kSettingsReadLimit];
  std::size_t have = 0;
  while (have < sizeof(buffer)) {
    const ssize_t n = read(fd, buffer + have, sizeof(buffer) - have);
    if (n <= 0) break;
    have += static_cast<std::size_t>(n);
  }
  close(fd);
  text->assign(buffer, have);
  return true;
}

}  // namespace

int ParseSettingsNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                             text[i] == '\r' || text[i] == '\v' || text[i] == '\f')) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value < static_cast<long long>(INT_MAX) + 1) value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

PictureSettings ParseStudioSettings(std::string_view bytes) {
  std::string_view text = AsText(bytes);
  PictureSettings s;
  std::size_t commas = 0;
  for (char c : text) commas += c == ',';
  if (commas == 2) {
    const std::size_t last = text.rfind(',');
    s.mirror = ParseSettingsNumber(text.substr(last + 1)) != 0;
    text = text.substr(0, last);
  }
  const std::size_t last = text.rfind(',');
  if (last != std::string_view::npos && last > 0) {
    s.sizeIndex = ParseSettingsNumber(text.substr(0, last));
    s.rateIndex = ParseSettingsNumber(text.substr(last + 1));
  }
  ResolveTables(s);
  return s;
}

PictureSettings ParseCameraSettings(std::string_view bytes, bool mirror) {
  const std::string_view text = AsText(bytes);
  PictureSettings s;
  s.mirror = mirror;
  const std::size_t first = text.find(',');
  if (first != std::string_view::npos) {
    s.sizeIndex = ParseSettingsNumber(text.substr(0, first));
    const std::string_view rest = text.substr(first + 1);
    const std::size_t second = rest.find(',');
    if (second != std::string_view::npos) {
      s.rateIndex = ParseSettingsNumber(rest.substr(0, second));
      s.mirror = ParseSettingsNumber(rest.substr(second + 1)) != 0;
    } else {
      s.rateIndex = ParseSettingsNumber(rest);
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
  // Write a neighbour and rename it over the file, so a reader never sees
  // a half-written text.
  const std::string temporary = path + ".new";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written = write(fd, text, static_cast<std::size_t>(length)) == length;
  const bool closed = close(fd) == 0;
  if (!written || !closed || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace corvalind

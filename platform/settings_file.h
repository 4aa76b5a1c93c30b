// The settings file: program picture size, frame rate and mirror flag.
//
// Three whole numbers "size,rate,mirror" (for example "13,3,0"), written by
// the settings form's Apply and read by the studio at start-up and by the
// virtual camera whenever an element is created. The two readers split the
// text by different rules that agree on everything the writer produces.
#pragma once

#include <string>
#include <string_view>

namespace corvalind {

struct PictureSize {
  int width, height;
  const char* text;  // as the settings form lists it
};
struct FrameRateEntry {
  int fps;
  const char* text;
};

inline constexpr int kPictureSizeCount = 16;
inline constexpr int kFrameRateCount = 6;
inline constexpr int kDefaultSizeIndex = 6;  // 640 x 480
inline constexpr int kDefaultRateIndex = 2;  // 25 frames per second
extern const PictureSize kPictureSizes[kPictureSizeCount];
extern const FrameRateEntry kFrameRates[kFrameRateCount];

// The most bytes either reader takes from the file.
inline constexpr std::size_t kSettingsReadLimit = 100;

inline constexpr const char* kCannotSaveSettingsText =
    "Cannot save settings!\nPlease, check your user rights!";
inline constexpr const char* kRestartToApplyText =
    "You must restart the application for the changes to take effect!";

struct PictureSettings {
  int sizeIndex = kDefaultSizeIndex;  // as read, even when outside the table
  int rateIndex = kDefaultRateIndex;
  bool mirror = false;
  int width = 640;  // from the tables; defaults for indices outside them
  int height = 480;
  int fps = 25;
  int frameIntervalMs = 40;  // 1000 / fps
};

// The studio's reading of a settings text (at most 100 bytes, cut at a NUL).
PictureSettings ParseStudioSettings(std::string_view text);
// The camera's reading; `mirror` is kept when the text has no mirror part.
PictureSettings ParseCameraSettings(std::string_view text, bool mirror);

// Whether a text is one the writer could have written: "size,rate" or
// "size,rate,mirror" in whole numbers with both indices inside their
// tables. For any other text the studio's reading falls back to a default
// or reads a word as 0.
bool StudioSettingsUsable(std::string_view text);

// Reads the file. found (optional) says whether it could be opened;
// without it the result holds the defaults (and the given mirror flag for
// the camera).
PictureSettings ReadStudioSettings(const std::string& path, bool* found = nullptr);

// What the studio's start-up reading found.
enum class SettingsFileState {
  kRead,        // a text the writer could have written
  kMissing,     // no file: the defaults, as on a first run
  kUnreadable,  // something has the name but could not be read: the defaults
  kUnusable,    // read, but by StudioSettingsUsable not a settings text
};
// The same reading, saying what it found.
PictureSettings ReadStudioSettings(const std::string& path, SettingsFileState* state);
PictureSettings ReadCameraSettings(const std::string& path, bool mirror, bool* found = nullptr);

// Writes "%d,%d,%d", replacing the file (and creating its folder). Returns
// false when the file cannot be written: the form then shows
// kCannotSaveSettingsText.
bool WriteSettingsFile(const std::string& path, int sizeIndex, int rateIndex, bool mirror);

}  // namespace corvalind

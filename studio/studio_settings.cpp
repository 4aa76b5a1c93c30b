#include "studio/studio_settings.h"

#include "platform/folders.h"

namespace corvalind {

void ApplyPictureSettings(const PictureSettings& settings, OutputFormat& format) {
  format.SetSize(settings.width, settings.height);
  format.SetFrameRate(settings.fps);
}

std::string StudioSettingsWarning(const std::string& path, SettingsFileState state,
                                  const PictureSettings& settings) {
  const std::string fallback = "using " + std::to_string(settings.width) + "x" + std::to_string(settings.height) +
                             " at " + std::to_string(settings.fps) + " fps.";
  switch (state) {
    case SettingsFileState::kUnreadable:
      return "The settings file " + path + " could not be read; " + fallback;
    case SettingsFileState::kUnusable:
      return "The settings file " + path + " holds no usable picture size and frame rate; " + fallback;
    case SettingsFileState::kRead:
    case SettingsFileState::kMissing:
      break;
  }
  return {};
}

PictureSettings LoadStudioSettings(OutputFormat& format, std::string* warning) {
  const std::string path = SettingsFilePath();
  SettingsFileState state = SettingsFileState::kMissing;
  const PictureSettings settings = ReadStudioSettings(path, &state);
  ApplyPictureSettings(settings, format);
  if (warning) *warning = StudioSettingsWarning(path, state, settings);
  return settings;
}

}  // namespace corvalind

#include "studio/studio_settings.h"

#include "platform/folders.h"

namespace corvalind {

void ApplyPictureSettings(const PictureSettings& settings, OutputFormat& format) {
  format.SetSize(settings.width, settings.height);
  format.SetFrameRate(settings.fps);
}

PictureSettings LoadStudioSettings(OutputFormat& format) {
  const PictureSettings settings = ReadStudioSettings(SettingsFilePath());
  ApplyPictureSettings(settings, format);
  return settings;
}

}  // namespace corvalind

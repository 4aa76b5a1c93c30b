// The studio's use of the settings file: read once at start-up, before the
// engine exists, into the program-wide OutputFormat.
#pragma once

#include <string>

#include "engine/output_format.h"
#include "platform/settings_file.h"

namespace corvalind {

// Sets size and rate (and the derived fields) from the settings.
void ApplyPictureSettings(const PictureSettings& settings, OutputFormat& format);

// Reads the per-user settings file into `format`; returns what was read
// (defaults when there is no file). `warning` (optional) receives the text
// to show once in the status bar when the file exists but could not be
// read or holds no usable settings, so the studio runs on defaults for at
// least part of them; it is emptied otherwise, also when there is no file
// (a first run). The status bar only exists once the main window does, so
// the caller keeps the text until then.
PictureSettings LoadStudioSettings(OutputFormat& format, std::string* warning = nullptr);

// The warning for a reading of the file `path` in `state` that gave
// `settings`; empty for kRead and kMissing.
std::string StudioSettingsWarning(const std::string& path, SettingsFileState state,
                                  const PictureSettings& settings);

}  // namespace corvalind

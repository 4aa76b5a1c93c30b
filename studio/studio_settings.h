// The studio's use of the settings file: read once at start-up, before the
// engine exists, into the program-wide OutputFormat.
#pragma once

#include "engine/output_format.h"
#include "platform/settings_file.h"

namespace corvalind {

// Sets size and rate (and the derived fields) from the settings.
void ApplyPictureSettings(const PictureSettings& settings, OutputFormat& format);

// Reads the per-user settings file into `format`; returns what was read
// (defaults when there is no file).
PictureSettings LoadStudioSettings(OutputFormat& format);

}  // namespace corvalind

// The V4L2 loopback device the program view also writes the program into
// ("" for none): the user's choice from the settings form, kept in the
// studio's configuration file, or the one the command line gives for this
// run. UI thread only.
#pragma once

#include <string>

namespace corvalind {

// The device the program view writes into when it opens.
std::string ChosenLoopbackDevice();
// The settings form's choice: kept for the next runs, and applied at once
// to the open program view (a failure is said in the status bar).
void ChooseLoopbackDevice(const std::string& path);
// The command line's choice ("--v4l2 DEVICE", "--v4l2 off"): this run only,
// the kept choice stays as it is.
void OverrideLoopbackDevice(const std::string& path);

}  // namespace corvalind

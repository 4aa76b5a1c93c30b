// The X11 screen behind desktop capture: screen copies through XShm (plain
// XGetImage when shared memory is not available), the cursor image and its
// hot spot from XFixes, and the primary display from XRandR.
//
// Each source opens its own connection to the X server and is used by one
// thread at a time. The desktop is the root window; the primary display is
// the RandR primary output (else the first active one, else the root).
#pragma once

#include <memory>

#include "engine/sources/desktop_capture.h"

namespace corvalind {

// Opens the display `displayName` (null: $DISPLAY). Returns null when the
// display cannot be opened.
std::unique_ptr<ScreenSource> OpenX11Screen(const char* displayName = nullptr);

}  // namespace corvalind

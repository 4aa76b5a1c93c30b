// Pictures of the studio for people and reviewers: the main window with
// whatever it shows, the scene editor and the zone editor, rendered by Qt
// (also offscreen) and written as PNG files into a folder.
#pragma once

#include <QString>

namespace corvalind {

class CMainFrame;

// Writes main-window.png, scene-editor.png, zone-editor.png and the source
// forms (slideshow-form.png, desktop-form.png, overlay-form.png,
// background-form.png); returns how many were written.
int WriteScreenshots(CMainFrame& window, const QString& folder);

}  // namespace corvalind

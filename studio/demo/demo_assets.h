// The bundled demo, made by the studio itself: slide pictures, a green-
// screen presenter, a background and an overlay with transparency, the
// demo scene list and a project that opens all of it.
#pragma once

#include <QString>

namespace corvalind {

class CMainFrame;
class VideoEngine;

// Writes the pictures and "demo.cvd" into `folder` (made when missing);
// returns the project's path, or an empty string on failure.
QString WriteDemoAssets(const QString& folder);

// Stores the demo scenes (slide show on slot 0, presenter on slot 1) in
// the engine, replacing its list.
void StoreDemoProjectScenes(VideoEngine& engine);

// Once the demo project has opened: the Scene Manager (which opens centred)
// goes beside the program view, where the demo's layout leaves room.
void PlaceDemoSceneManager(CMainFrame& window);

}  // namespace corvalind

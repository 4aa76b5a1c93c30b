// The registry of window kinds: everything the studio knows about each of
// the thirteen kinds of child window (camera, video file, slide show,
// desktop, game hook, overlay, background, program, Scene Manager, network
// transmitter, recorder, settings form, stream output) in one table.
//
// The main frame builds its menus and tool bar, opens windows, and saves
// and restores projects by walking this table; it never names a kind. A
// new kind lands here and in its own form files. Kinds whose form is not
// built yet have no factory: their commands stay greyed.
#pragma once

#include <QWidget>
#include <span>
#include <string>

#include "engine/output_format.h"

namespace corvalind {

class VideoEngine;

enum WindowKind : int {
  kKindCamera = 0,
  kKindVideoFile = 1,
  kKindSlideShow = 2,
  kKindDesktop = 3,
  kKindHook = 4,
  kKindOverlay = 5,
  kKindBackground = 6,
  kKindProgram = 7,
  kKindSceneManager = 8,
  kKindNetwork = 9,
  kKindRecorder = 10,
  kKindSettings = 11,
  kKindStream = 12,
};

inline constexpr int kWindowKindCount = 13;

// What a form is given when its window opens.
struct FormContext {
  int id = -1;  // the window's id: the source slot for sources, -1 for single kinds
  VideoEngine* engine = nullptr;
  const OutputFormat* format = nullptr;
  std::string bufferName;  // the output buffer the program view publishes into
};

// Makes the form of a new window, or returns null when this window cannot
// have one (a source whose id has no slot). The form also implements
// WindowForm.
using FormFactory = QWidget* (*)(const FormContext& context);

enum class KindMenu { kSource, kView };

struct WindowKindInfo {
  int kind = -1;
  const char* title = "";      // "Video Output (%dx%dx%d)" is formatted with the program size and rate
  bool numbered = false;       // takes the lowest free id; the title shows it
  bool single = false;         // opens at most once; its command is greyed while open
  KindMenu menu = KindMenu::kView;
  const char* command = "";    // the menu and tool-bar text
  const char* prompt = "";     // status-bar prompt of the command
  const char* toolTip = "";
  int toolBarGroup = 0;        // a separator goes between groups (the icon's
                               // accent colour follows the group too)
  FormFactory create = nullptr;  // null: not available in this version
  bool resizable = false;      // every other window keeps its form's size
  bool centred = false;        // opens in the middle of the client area
  // File, New closes it before all others and Arrange places it first (the
  // program view: its output loop stops before the sources go).
  bool first = false;
  // Receives the scene hot keys; a hot key opens it when it is closed.
  bool takesSceneHotKeys = false;
  // A project reopens this window after all others, a few seconds later,
  // and does not move it (the Scene Manager: the sources must run first).
  bool restoredLast = false;

  bool Available() const { return create != nullptr; }
};

// The kinds in menu and tool-bar order: the sources, then the views.
std::span<const WindowKindInfo> WindowKinds();
// The entry of `kind`; an empty entry (not numbered, single, unavailable)
// for numbers outside 0..11.
const WindowKindInfo& KindInfo(int kind);

}  // namespace corvalind

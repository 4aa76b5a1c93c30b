// The side of a child window's form that the main frame sees: how the form
// writes its part of a project file and how it restores its source from it.
// Every form of a window kind implements it; the main frame saves and
// restores windows through it without knowing the kind.
#pragma once

#include "studio/files/project_file.h"

namespace corvalind {

class WindowForm {
 public:
  virtual ~WindowForm() = default;
  // Appends the kind's elements to `window` (TYPE, POS_X and POS_Y are
  // written by the frame).
  virtual void SaveProjectElements(ProjectWindow& window) const = 0;
  // Restores the form's source from a loaded window's elements; the frame
  // has opened the window and placed it already.
  virtual void RestoreProjectElements(const ProjectWindow& window) = 0;
  // A scene hot key (0 for Ctrl+1 .. 9 for Ctrl+0), for the kind that
  // takes them.
  virtual void OnSceneHotKey(int /*index*/) {}
  // The user closes the window: false keeps it open (the form may ask).
  virtual bool ConfirmClose() { return true; }
};

}  // namespace corvalind

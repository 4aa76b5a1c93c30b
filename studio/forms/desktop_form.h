// The "Capture Desktop" source window: chooses what the desktop capturer
// grabs (the primary display, a user-defined area, or a program-sized area
// that follows the mouse), whether the cursor is drawn, and shows the
// frames in a 200 x 150 preview. Every change replaces the running
// capturer by a new one. UI thread only.
#pragma once

#include <QWidget>
#include <memory>

#include "engine/sources/desktop_capture.h"
#include "studio/forms/window_form.h"

class QCheckBox;
class QLineEdit;
class QRadioButton;

namespace corvalind {

class PreviewWidget;

class CViewDesktopForm : public QWidget, public WindowForm {
  Q_OBJECT
 public:
  // `sourceId` is the slot the frames go to. No capture runs until a mode
  // is chosen (or Restore is called).
  explicit CViewDesktopForm(int sourceId, QWidget* parent = nullptr);
  ~CViewDesktopForm() override;

  // 0 Fullscreen, 1 Capture Area, 2 Mouse Area.
  int Mode() const { return mode_; }
  int AreaLeft() const { return area_.left; }
  int AreaTop() const { return area_.top; }
  int AreaRight() const { return area_.right; }
  int AreaBottom() const { return area_.bottom; }
  bool ShowMouse() const { return showMouse_; }

  // Sets the controls to a saved choice and starts capture. A mode outside
  // 0..2 counts as 0.
  void Restore(int mode, int left, int top, int right, int bottom, bool showMouse);

  // Projects keep the mode (DATA), the area (L, T, R, B) and the cursor
  // choice (M); absent values restore the defaults (the whole program
  // size, cursor shown).
  void SaveProjectElements(ProjectWindow& window) const override;
  void RestoreProjectElements(const ProjectWindow& window) override;

  // The running capturer, or null before the first mode is chosen.
  DesktopCapturer* Capturer() { return capturer_.get(); }

  // Stops the current capturer and starts a new one for `mode` with the
  // form's area and cursor choice.
  void StartDesktopCapture(int mode);

 private:
  void BuildUi();
  void DefineArea();
  void SyncControls();

  int sourceId_;
  int mode_ = kCaptureFullscreen;
  CaptureRect area_;
  bool showMouse_ = true;
  std::unique_ptr<DesktopCapturer> capturer_;

  PreviewWidget* preview_ = nullptr;
  QRadioButton* fullscreen_ = nullptr;
  QRadioButton* captureArea_ = nullptr;
  QRadioButton* mouseArea_ = nullptr;
  QCheckBox* showMouseBox_ = nullptr;
};

}  // namespace corvalind

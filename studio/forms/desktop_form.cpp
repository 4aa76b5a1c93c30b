#include "studio/forms/desktop_form.h"

#include <algorithm>

#include <QButtonGroup>
#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "engine/output_format.h"
#include "studio/forms/preview_widget.h"
#include "platform/x11/x11_screen.h"
#include "studio/forms/define_area_dialog.h"

namespace corvalind {


CViewDesktopForm::CViewDesktopForm(int sourceId, QWidget* parent)
    : QWidget(parent), sourceId_(sourceId) {
  setObjectName("CViewDesktopForm");
  setWindowTitle("Capture Desktop");
  const OutputFormat& format = GlobalOutputFormat();
  area_ = {0, 0, format.outputWidth, format.outputHeight};
  BuildUi();
}

CViewDesktopForm::~CViewDesktopForm() {
  // The capturer draws into the preview widget: it stops before the
  // widget goes.
  if (capturer_) capturer_->Stop();
  capturer_.reset();
}

void CViewDesktopForm::BuildUi() {
  auto* outer = new QHBoxLayout(this);
  outer->setContentsMargins(8, 8, 8, 8);
  preview_ = MakeFormPreview(this);
  outer->addWidget(preview_, 0, Qt::AlignTop);

  auto* column = new QVBoxLayout;
  fullscreen_ = new QRadioButton("Fullscreen", this);
  fullscreen_->setObjectName("1010");
  captureArea_ = new QRadioButton("Capture Area", this);
  captureArea_->setObjectName("1011");
  mouseArea_ = new QRadioButton("Mouse Area", this);
  mouseArea_->setObjectName("1008");
  auto* group = new QButtonGroup(this);
  group->addButton(fullscreen_, kCaptureFullscreen);
  group->addButton(captureArea_, kCaptureArea);
  group->addButton(mouseArea_, kCaptureMouseArea);
  auto* define = new QPushButton("Define Area", this);
  define->setObjectName("1012");
  showMouseBox_ = new QCheckBox("Show mouse", this);
  showMouseBox_->setObjectName("1041");
  showMouseBox_->setChecked(true);
  column->addWidget(fullscreen_);
  column->addWidget(captureArea_);
  column->addWidget(define);
  column->addWidget(mouseArea_);
  column->addWidget(showMouseBox_);
  column->addStretch();
  outer->addLayout(column);

  // `clicked` only: setting the controls from Restore must not restart.
  connect(fullscreen_, &QRadioButton::clicked, this, [this] { StartDesktopCapture(kCaptureFullscreen); });
  connect(captureArea_, &QRadioButton::clicked, this, [this] { StartDesktopCapture(kCaptureArea); });
  connect(mouseArea_, &QRadioButton::clicked, this, [this] { StartDesktopCapture(kCaptureMouseArea); });
  connect(showMouseBox_, &QCheckBox::clicked, this, [this](bool checked) {
    showMouse_ = checked;
    StartDesktopCapture(mode_);
  });
  connect(define, &QPushButton::clicked, this, &CViewDesktopForm::DefineArea);
}

void CViewDesktopForm::DefineArea() {
  DefineAreaDialog dialog(area_, this);
  if (dialog.exec() != QDialog::Accepted) return;
  area_ = dialog.Area();
  if (capturer_) StartDesktopCapture(mode_);
}

void CViewDesktopForm::SyncControls() {
  QRadioButton* buttons[3] = {fullscreen_, captureArea_, mouseArea_};
  buttons[mode_]->setChecked(true);
  showMouseBox_->setChecked(showMouse_);
}

void CViewDesktopForm::StartDesktopCapture(int mode) {
  mode_ = mode >= kCaptureFullscreen && mode <= kCaptureMouseArea ? mode : kCaptureFullscreen;
  if (capturer_) {
    capturer_->Stop();
    capturer_.reset();
  }
  DesktopCaptureSettings settings;
  settings.mode = mode_;
  settings.area = area_;
  settings.showCursor = showMouse_;
  // Slots are 0..9; any other number delivers nowhere (the capturer maps
  // it to 255) instead of wrapping onto a real slot.
  const int slot = sourceId_ >= 0 && sourceId_ < SourceSlotCount ? sourceId_ : 255;
  capturer_ = std::make_unique<DesktopCapturer>(slot, OpenX11Screen(), settings);
  capturer_->SetPreviewWindow(preview_);
  capturer_->Start();  // without a display it reports on the status line
  SyncControls();
}

void CViewDesktopForm::Restore(int mode, int left, int top, int right, int bottom, bool showMouse) {
  area_ = {left, top, right, bottom};
  showMouse_ = showMouse;
  StartDesktopCapture(mode);
}

void CViewDesktopForm::SaveProjectElements(ProjectWindow& window) const {
  window.Set("DATA", Mode());
  window.Set("T", AreaTop());
  window.Set("L", AreaLeft());
  window.Set("R", AreaRight());
  window.Set("B", AreaBottom());
  window.Set("M", ShowMouse() ? 1 : 0);
}

void CViewDesktopForm::RestoreProjectElements(const ProjectWindow& window) {
  const OutputFormat& format = GlobalOutputFormat();
  Restore(window.Number("DATA", 0), window.Number("L", 0), window.Number("T", 0),
          window.Number("R", format.outputWidth), window.Number("B", format.outputHeight),
          window.Number("M", 1) != 0);
}

}  // namespace corvalind

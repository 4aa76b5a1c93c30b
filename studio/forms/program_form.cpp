#include "studio/forms/program_form.h"

#include <QResizeEvent>
#include <algorithm>
#include <atomic>

#include "studio/forms/preview_widget.h"
#include "engine/messages.h"
#include "platform/output_block.h"
#include "platform/pipewire/pipewire_camera.h"
#include "studio/shared_output_target.h"
#include "studio/ui_bridge.h"

namespace corvalind {

CViewProgramForm::CViewProgramForm(const OutputFormat& format, const std::string& bufferName,
                                   VideoEngine* engine, QWidget* parent)
    : QWidget(parent), format_(format) {
  setObjectName("CViewProgramForm");
  preview_ = new PreviewWidget(this);
  preview_->setObjectName("1002");
  // First layout: 640 wide, the height from the output's aspect ratio
  // (479 for the 4:3 sizes, 359 for 16:9).
  // The ratio is rounded to a float and the division done in double: 4:3
  // gives 479 and 16:9 gives 359 (the float ratios lie just above the
  // exact ones).
  const float ratio = static_cast<float>(format.outputWidth) / static_cast<float>(format.outputHeight);
  previewWidth_ = 640;
  previewHeight_ = static_cast<int>(640.0 / static_cast<double>(ratio));
  preview_->setGeometry(1, 1, previewWidth_, previewHeight_);
  pipewire_ = std::make_unique<PipeWireCamera>(
      PipeWireCameraFormat{format_.outputWidth, format_.outputHeight, format_.frameRate}, PipeWireNodeName(bufferName));
  // Said once a run: a studio without PipeWire works on, only browsers and
  // call programs do not see the camera.
  static std::atomic<bool> missingSaid{false};
  if (!pipewire_->Connected() && !missingSaid.exchange(true)) SetStatusText(kPipeWireMissingText);
  PipeWireCamera* camera = pipewire_.get();
  loop_ = std::make_unique<ProgramOutputLoop>(
      format_,
      std::make_unique<SharedOutputTarget>(
          bufferName, format_.frameBytes,
          [camera](const uint8_t* picture, uint32_t bytes) { camera->Offer(picture, bytes); }),
      engine);
  loop_->SetPreview(preview_, previewWidth_, previewHeight_);
}

CViewProgramForm::~CViewProgramForm() {
  const bool published = loop_->Publishing();
  loop_.reset();
  // Cameras that hold the block keep its last picture; cameras opened from
  // now on get nothing until the view is opened again.
  if (published) SetStatusText(kNoProgramText);
}

std::string PipeWireNodeName(const std::string& bufferName) {
  if (bufferName == kOutputBufferName) return kPipeWireCameraNodeName;
  return std::string(kPipeWireCameraNodeName) + "-" + bufferName;
}

bool CViewProgramForm::ConfirmClose() {
  return !loop_->Publishing() || AskStudioQuestion(kCloseProgramQuestion, "Video Output");
}

QSize CViewProgramForm::sizeHint() const { return {previewWidth_ + 2, previewHeight_ + 2}; }

void CViewProgramForm::SaveProjectElements(ProjectWindow& window) const {
  const QWidget* frame = parentWidget() ? parentWidget() : this;
  const QRect normal = frame->isMaximized() || frame->isMinimized() ? frame->normalGeometry() : frame->geometry();
  window.Set("WIDTH", normal.width());
  window.Set("HEIGHT", normal.height());
}

void CViewProgramForm::RestoreProjectElements(const ProjectWindow& window) {
  QWidget* frame = parentWidget() ? parentWidget() : this;
  frame->resize(window.Number("WIDTH", format_.outputWidth), window.Number("HEIGHT", format_.outputHeight));
}

QRect CViewProgramForm::FitPreview(const OutputFormat& format, int clientWidth, int clientHeight) {
  const float q = static_cast<float>(format.outputHeight) / static_cast<float>(format.outputWidth);
  int width = clientWidth;
  int height = static_cast<int>(static_cast<double>(width) * static_cast<double>(q));
  int x = 0;
  int y = (clientHeight - height) / 2;
  if (y < 0) {
    height = clientHeight;
    width = static_cast<int>(static_cast<double>(height) / static_cast<double>(q));
    y = 0;
    x = std::max(0, (clientWidth - width) / 2);
  }
  return {x, y, width, height};
}

void CViewProgramForm::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const QRect fit = FitPreview(format_, event->size().width(), event->size().height());
  preview_->setGeometry(fit);
  previewWidth_ = fit.width();
  previewHeight_ = fit.height();
  loop_->SetPreview(preview_, previewWidth_, previewHeight_);
}

}  // namespace corvalind

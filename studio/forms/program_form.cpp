#include "studio/forms/program_form.h"

#include <QResizeEvent>
#include <algorithm>
#include <atomic>

#include "studio/forms/preview_widget.h"
#include "engine/messages.h"
#include "platform/output_block.h"
#include "platform/pipewire/pipewire_camera.h"
#include "platform/v4l2/loopback_device.h"
#include "studio/forms/loopback_choice.h"
#include "studio/shared_output_target.h"
#include "studio/ui_bridge.h"

namespace corvalind {

namespace {
CViewProgramForm* gOpenView = nullptr;
// Whether the run said already that PipeWire is missing.
std::atomic<bool> gPipeWireMissingSaid{false};
}  // namespace

void ForgetPipeWireNotice() { gPipeWireMissingSaid.store(false); }

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
  if (!pipewire_->Connected() && !gPipeWireMissingSaid.exchange(true)) SetStatusText(kPipeWireMissingText);
  const std::string loopbackDevice = ChosenLoopbackDevice();
  if (!loopbackDevice.empty()) WriteToLoopback(loopbackDevice);
  loop_ = std::make_unique<ProgramOutputLoop>(
      format_,
      std::make_unique<SharedOutputTarget>(bufferName, format_.frameBytes,
                                           [this](const uint8_t* picture, uint32_t bytes) {
                                             pipewire_->Offer(picture, bytes);
                                             std::lock_guard<std::mutex> lock(loopbackMutex_);
                                             if (loopback_) loopback_->Offer(picture, bytes);
                                           }),
      engine);
  gOpenView = this;
  loop_->SetPreview(preview_, previewWidth_, previewHeight_);
}

CViewProgramForm::~CViewProgramForm() {
  if (gOpenView == this) gOpenView = nullptr;
  const bool published = loop_->Publishing();
  loop_.reset();
  // Cameras that hold the block keep its last picture; cameras opened from
  // now on get nothing until the view is opened again.
  if (published) SetStatusText(kNoProgramText);
}

CViewProgramForm* CViewProgramForm::OpenView() { return gOpenView; }

bool CViewProgramForm::WriteToLoopback(const std::string& path) {
  std::unique_ptr<LoopbackWriter> writer;
  std::string reason;
  if (!path.empty()) {
    writer = std::make_unique<LoopbackWriter>(
        LoopbackFormat{format_.outputWidth, format_.outputHeight, format_.frameRate},
        [](const std::string& text) { SetStatusText(text); });
    if (!writer->Open(path, &reason)) writer.reset();
  }
  std::unique_ptr<LoopbackWriter> before;
  {
    std::lock_guard<std::mutex> lock(loopbackMutex_);
    before = std::move(loopback_);
    loopback_ = std::move(writer);
  }
  // The old writer's thread ends outside the lock the output loop takes.
  before.reset();
  if (path.empty()) {
    loopbackPath_.clear();
    return true;
  }
  if (!loopback_) {
    loopbackPath_.clear();
    SetStatusText("The program cannot go to the V4L2 device " + reason);
    return false;
  }
  loopbackPath_ = path;
  SetStatusText("The program goes to the V4L2 device " + path + " as well");
  return true;
}

uint64_t CViewProgramForm::LoopbackFramesWritten() {
  std::lock_guard<std::mutex> lock(loopbackMutex_);
  return loopback_ ? loopback_->FramesWritten() : 0;
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

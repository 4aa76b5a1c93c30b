#include "studio/forms/overlay_form.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>
#include <mutex>

#include "engine/image_layer_hooks.h"
#include "engine/output_format.h"
#include "engine/preview.h"
#include "engine/sources/image_layer.h"
#include "platform/freeimage/freeimage_reader.h"
#include "studio/forms/preview_widget.h"

namespace corvalind {

namespace {

constexpr int kMaxFolderChars = 1023;

}  // namespace

// ---- CViewOverlayForm ----

CViewOverlayForm::CViewOverlayForm(bool background, QWidget* parent, PictureReader* reader)
    : QWidget(parent), background_(background), reader_(reader ? *reader : DefaultPictureReader()) {
  setObjectName("CViewOverlayForm");
  const OutputFormat& format = GlobalOutputFormat();
  previewFrame_.assign(format.frameBytes, 0);
  previewCopy_.assign(format.frameBytes, 0);

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(8, 8, 8, 8);
  preview_ = MakeFormPreview(this);
  outer->addWidget(preview_);
  auto* row = new QHBoxLayout;
  fileName_ = new QLineEdit(this);
  fileName_->setObjectName("1014");
  fileName_->setReadOnly(true);
  auto* browse = new QPushButton("Browse", this);
  browse->setObjectName("1009");
  row->addWidget(fileName_, 1);
  row->addWidget(browse);
  outer->addLayout(row);
  enableButton_ = new QPushButton("Disable", this);
  enableButton_->setObjectName("1010");
  outer->addWidget(enableButton_);
  outer->addStretch(1);

  connect(browse, &QPushButton::clicked, this, &CViewOverlayForm::Browse);
  connect(enableButton_, &QPushButton::clicked, this, &CViewOverlayForm::ToggleEnabled);
  timer_ = new QTimer(this);
  connect(timer_, &QTimer::timeout, this, &CViewOverlayForm::RefreshPreview);
  timer_->start(2000);
}

CViewOverlayForm::~CViewOverlayForm() {
  // The loader goes first: it may be waiting for the lock to swap a
  // picture in. Then no one but the output thread can reach the layer, and
  // it reaches it only under the lock.
  if (layer_) layer_->StopReloading();
  std::unique_ptr<ImageLayer> released;
  {
    std::lock_guard<std::mutex> guard(GlobalImageLayers().imageLayerLock);
    CompositionLayer*& reference = Reference();
    if (reference == layer_.get()) reference = nullptr;
    released = std::move(layer_);
  }
}

CompositionLayer*& CViewOverlayForm::Reference() const {
  return background_ ? GlobalImageLayers().backgroundLayer : GlobalImageLayers().overlayLayer;
}

void CViewOverlayForm::Browse() {
  const QString path = QFileDialog::getOpenFileName(
      this, "Open", QString(), "Image Files (*.png *.gif *.tga *.jpg *.bmp);;All Files (*)");
  if (!path.isEmpty()) SetImageLayer(path);
}

void CViewOverlayForm::SetImageLayer(const QString& path) {
  path_ = path;
  fileName_->setText(QFileInfo(path).fileName());
  ImageLayerHooks& hooks = GlobalImageLayers();
  const OutputFormat& format = GlobalOutputFormat();

  // Read, scale and check the file again before anything is locked: the
  // output thread keeps composing with the old layer meanwhile.
  auto fresh = std::make_unique<ImageLayer>(path.toStdString(), 0, reader_, format.outputWidth,
                                            format.outputHeight);
  fresh->RefreshImageLayer();
  fresh->StartReloading(hooks);
  // The old loader stops before the swap, so that it cannot draw the old
  // picture into the preview frame afterwards.
  if (layer_) layer_->StopReloading();

  std::unique_ptr<ImageLayer> released;
  bool shown = false;
  {
    std::lock_guard<std::mutex> guard(hooks.imageLayerLock);
    Reference() = fresh.get();
    released = std::move(layer_);
    previewValid_ = false;
    if (fresh->HasPicture()) {
      std::fill(previewFrame_.begin(), previewFrame_.end(), 0);
      fresh->DrawImageLayer(previewFrame_.data(), format.outputWidth, format.outputHeight);
      fresh->previewFrame = previewFrame_.data();
      previewValid_ = true;
      shown = true;
    }
  }
  layer_ = std::move(fresh);
  // The old layer is unreachable now; its picture is freed outside the lock.
  released.reset();

  // A new layer is drawn; the button shows what pressing it does next.
  enableButton_->setText("Disable");
  if (shown) {
    RefreshPreview();
    hooks.recomposeRequested.store(true);
  }
}

void CViewOverlayForm::ToggleEnabled() {
  if (!layer_) return;
  const bool enabled = !layer_->enabled.load();
  layer_->enabled.store(enabled);
  enableButton_->setText(enabled ? "Disable" : "Enable");
}

void CViewOverlayForm::RefreshPreview() {
  if (!previewValid_) return;
  const OutputFormat& format = GlobalOutputFormat();
  if (previewFrame_.size() < format.frameBytes || previewCopy_.size() < format.frameBytes) return;
  // The loader redraws the frame on reloads under the lock; copying it
  // under the lock keeps the preview whole, and the control gets the copy
  // after the lock is released.
  {
    std::lock_guard<std::mutex> guard(GlobalImageLayers().imageLayerLock);
    std::copy(previewFrame_.begin(), previewFrame_.begin() + format.frameBytes, previewCopy_.begin());
  }
  DrawFramePreview(previewCopy_.data(), format.outputWidth, format.outputHeight, preview_,
                   kFormPreviewWidth, kFormPreviewHeight);
}

void CViewOverlayForm::SaveProjectElements(ProjectWindow& window) const {
  window.Set("DATA", ImagePath().toStdString());
}

void CViewOverlayForm::RestoreProjectElements(const ProjectWindow& window) {
  if (auto path = window.Text("DATA"); path && !path->empty()) SetImageLayer(QString::fromStdString(*path));
}

}  // namespace corvalind

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
#include "studio/forms/preview_widget.h"

namespace corvalind {

namespace {

constexpr int kPreviewWidth = 200;
constexpr int kPreviewHeight = 150;
constexpr int kMaxFolderChars = 1023;

PreviewWidget* MakePreview(QWidget* parent) {
  auto* preview = new PreviewWidget(parent);
  preview->setObjectName("1002");
  preview->setFixedSize(kPreviewWidth, kPreviewHeight);
  return preview;
}

}  // namespace

// ---- CViewOverlayForm ----

CViewOverlayForm::CViewOverlayForm(bool background, QWidget* parent)
    : QWidget(parent), background_(background) {
  setObjectName("CViewOverlayForm");
  const OutputFormat& format = GlobalOutputFormat();
  previewFrame_.assign(format.frameBytes, 0);

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(8, 8, 8, 8);
  preview_ = MakePreview(this);
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
  std::lock_guard<std::mutex> guard(GlobalImageLayers().imageLayerLock);
  ReleaseLayerLocked();
}

void CViewOverlayForm::ReleaseLayerLocked() {
  CompositionLayer*& reference =
      background_ ? GlobalImageLayers().backgroundLayer : GlobalImageLayers().overlayLayer;
  if (reference == layer_) reference = nullptr;
  delete layer_;
  layer_ = nullptr;
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
  bool shown = false;
  {
    std::lock_guard<std::mutex> guard(hooks.imageLayerLock);
    ReleaseLayerLocked();
    const OutputFormat& format = GlobalOutputFormat();
    layer_ = new ImageLayer(path.toStdString(), 0, format.outputWidth, format.outputHeight);
    (background_ ? hooks.backgroundLayer : hooks.overlayLayer) = layer_;
    layer_->RefreshImageLayer();
    previewValid_ = false;
    if (layer_->HasPicture()) {
      std::fill(previewFrame_.begin(), previewFrame_.end(), 0);
      layer_->DrawImageLayer(previewFrame_.data(), format.outputWidth, format.outputHeight);
      layer_->previewFrame = previewFrame_.data();
      previewValid_ = true;
      shown = true;
    }
  }
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
  // The output thread redraws the frame on reloads under the lock; holding
  // it for the copy keeps the preview whole.
  std::lock_guard<std::mutex> guard(GlobalImageLayers().imageLayerLock);
  const OutputFormat& format = GlobalOutputFormat();
  if (previewFrame_.size() < format.frameBytes) return;
  DrawFramePreview(previewFrame_.data(), format.outputWidth, format.outputHeight, preview_,
                   kPreviewWidth, kPreviewHeight);
}

void CViewOverlayForm::SaveProjectElements(ProjectWindow& window) const {
  window.Set("DATA", ImagePath().toStdString());
}

void CViewOverlayForm::RestoreProjectElements(const ProjectWindow& window) {
  if (auto path = window.Text("DATA"); path && !path->empty()) SetImageLayer(QString::fromStdString(*path));
}

}  // namespace corvalind

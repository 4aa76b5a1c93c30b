#include "studio/forms/preview_widget.h"

#include <QImage>
#include <QMetaObject>
#include <QPainter>

namespace corvalind {

PreviewWidget::PreviewWidget(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void PreviewWidget::PresentFrame(const uint8_t* pixels, int width, int height, int, int) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    frame_.assign(pixels, pixels + static_cast<std::size_t>(width) * height * 3);
    width_ = width;
    height_ = height;
  }
  // By name, so Qt makes and reads the call object itself (the frame went
  // over under the mutex).
  QMetaObject::invokeMethod(this, "update", Qt::QueuedConnection);
}

QImage PreviewWidget::LatestImage() const {
  std::lock_guard<std::mutex> guard(mutex_);
  if (frame_.empty()) return {};
  const QImage bottomUp(frame_.data(), width_, height_, width_ * 3, QImage::Format_BGR888);
  return bottomUp.mirrored(false, true);  // deep copy, top row first
}

void PreviewWidget::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QImage image = LatestImage();
  if (image.isNull()) {
    painter.fillRect(rect(), Qt::black);
    return;
  }
  // Rows dropped or repeated, never blended.
  painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
  painter.drawImage(rect(), image);
}

PreviewWidget* MakeFormPreview(QWidget* parent) {
  auto* preview = new PreviewWidget(parent);
  preview->setObjectName("1002");
  preview->setFixedSize(kFormPreviewWidth, kFormPreviewHeight);
  return preview;
}

}  // namespace corvalind

// A window that shows frames handed over from any thread: it keeps a copy
// of the latest frame and paints it on the UI thread, stretched to the
// preview size without smoothing. Frames are bottom-up BGR as always.
#pragma once

#include <QWidget>
#include <mutex>
#include <vector>

#include "engine/preview.h"

namespace corvalind {

class PreviewWidget : public QWidget, public PreviewTarget {
  Q_OBJECT
 public:
  explicit PreviewWidget(QWidget* parent = nullptr);

  // Any thread: copies the frame and asks for a repaint.
  void PresentFrame(const uint8_t* pixels, int width, int height, int previewWidth,
                    int previewHeight) override;

  // The latest frame as a top-down image (null before the first).
  QImage LatestImage() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  mutable std::mutex mutex_;
  std::vector<uint8_t> frame_;
  int width_ = 0;
  int height_ = 0;
};

// The preview control of the source forms: 200 x 150, control id 1002.
inline constexpr int kFormPreviewWidth = 200;
inline constexpr int kFormPreviewHeight = 150;
PreviewWidget* MakeFormPreview(QWidget* parent);

}  // namespace corvalind

// CViewOverlayForm: the form of the "Image Overlay" and "Image Background"
// windows; one instance for the overlay layer and one for the background
// layer. It owns its layer and the matching reference in
// GlobalImageLayers(); "Browse" picks a file, the Enable/Disable button
// toggles drawing, and the 200 x 150 preview follows reloads of the file
// (repainted every 2 seconds).
//
// A new picture is decoded and scaled on the UI thread before the lock is
// taken; under imageLayerLock the form only swaps the finished layer in and
// copies rows of its preview. Reloads after edits of the file happen on the
// layer's own loader thread (ImageLayer::StartReloading).
//
// UI thread only.
#pragma once

#include <QString>
#include <QWidget>
#include <memory>
#include <vector>

#include "studio/forms/window_form.h"


class QLineEdit;
class QPushButton;
class QTimer;

namespace corvalind {

class CompositionLayer;
class ImageLayer;
class PictureReader;
class PreviewWidget;

class CViewOverlayForm : public QWidget, public WindowForm {
  Q_OBJECT
 public:
  // `background` selects the global reference the form owns: the
  // background layer, else the overlay layer. Pictures are read with
  // `reader` (DefaultPictureReader() when null), which must outlive the
  // form.
  explicit CViewOverlayForm(bool background, QWidget* parent = nullptr, PictureReader* reader = nullptr);
  // Stops the layer's loader, then clears the global reference and
  // releases the layer.
  ~CViewOverlayForm() override;

  // The file of the current layer (empty before the first choice).
  QString ImagePath() const { return path_; }
  // Replaces the layer by one for `path` (stretched to the program size),
  // publishes it and asks for a new composition when it holds a picture.
  // The picture is read before imageLayerLock is taken.
  void SetImageLayer(const QString& path);

  // The file dialog, then SetImageLayer.
  void Browse();
  // Enable/Disable: toggles the layer's drawing. No composition is asked
  // for; the change shows with the next composed frame.
  void ToggleEnabled();
  // Draws the preview frame into the preview control.
  void RefreshPreview();

  // Projects keep the picture file (DATA); restoring loads it.
  void SaveProjectElements(ProjectWindow& window) const override;
  void RestoreProjectElements(const ProjectWindow& window) override;

  // The published layer; its picture is read under imageLayerLock.
  ImageLayer* Layer() const { return layer_.get(); }
  QLineEdit* FileNameEdit() const { return fileName_; }
  QPushButton* EnableButton() const { return enableButton_; }
  PreviewWidget* Preview() const { return preview_; }

 private:
  // The global reference this form owns.
  CompositionLayer*& Reference() const;

  const bool background_;
  PictureReader& reader_;
  std::unique_ptr<ImageLayer> layer_;  // published under imageLayerLock
  // Written under imageLayerLock (here and by the layer's loader).
  std::vector<uint8_t> previewFrame_;
  // What the preview control is given: a copy taken under the lock.
  std::vector<uint8_t> previewCopy_;
  bool previewValid_ = false;
  QString path_;
  QLineEdit* fileName_ = nullptr;
  QPushButton* enableButton_ = nullptr;
  PreviewWidget* preview_ = nullptr;
  QTimer* timer_ = nullptr;
};

}  // namespace corvalind

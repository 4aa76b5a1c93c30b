// CViewOverlayForm: the form of the "Image Overlay" and "Image Background"
// windows; one instance for the overlay layer and one for the background
// layer. It owns its layer and the matching reference in
// GlobalImageLayers(); "Browse" picks a file, the Enable/Disable button
// toggles drawing, and the 200 x 150 preview follows reloads of the file
// (repainted every 2 seconds).
//
// UI thread only.
#pragma once

#include <QString>
#include <QWidget>
#include <vector>

#include "studio/forms/window_form.h"


class QLineEdit;
class QPushButton;
class QTimer;

namespace corvalind {

class ImageLayer;
class PreviewWidget;

class CViewOverlayForm : public QWidget, public WindowForm {
  Q_OBJECT
 public:
  // `background` selects the global reference the form owns: the
  // background layer, else the overlay layer.
  explicit CViewOverlayForm(bool background, QWidget* parent = nullptr);
  // Releases the layer and clears the global reference.
  ~CViewOverlayForm() override;

  // The file of the current layer (empty before the first choice).
  QString ImagePath() const { return path_; }
  // Replaces the layer by one for `path` (stretched to the program size),
  // publishes it and asks for a new composition when it holds a picture.
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

  ImageLayer* Layer() const { return layer_; }
  QLineEdit* FileNameEdit() const { return fileName_; }
  QPushButton* EnableButton() const { return enableButton_; }
  PreviewWidget* Preview() const { return preview_; }

 private:
  void ReleaseLayerLocked();

  const bool background_;
  ImageLayer* layer_ = nullptr;  // owned; published under imageLayerLock
  std::vector<uint8_t> previewFrame_;
  bool previewValid_ = false;
  QString path_;
  QLineEdit* fileName_ = nullptr;
  QPushButton* enableButton_ = nullptr;
  PreviewWidget* preview_ = nullptr;
  QTimer* timer_ = nullptr;
};

}  // namespace corvalind

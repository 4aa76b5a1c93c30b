// The forms that operate the picture sources inside a source window.
//
// CViewOverlayForm: one instance for the overlay layer and one for the
// background layer. It owns its layer and the matching reference in
// GlobalImageLayers(); "Browse" picks a file, the Enable/Disable button
// toggles drawing, and the 200 x 150 preview follows reloads of the file
// (repainted every 2 seconds).
//
// CViewSlideshowForm: runs a SlideshowSource for one source slot, chosen by
// "Browse Folder", with the seconds per picture, "Next >>" and "<< Prev".
//
// UI thread only.
#pragma once

#include <QString>
#include <QWidget>
#include <memory>
#include <vector>

#include "studio/slideshow.h"

class QLineEdit;
class QPushButton;
class QTimer;

namespace corvalind {

class ImageLayer;
class PreviewWidget;

class CViewOverlayForm : public QWidget {
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

class CViewSlideshowForm : public QWidget {
  Q_OBJECT
 public:
  // `sourceId` is the source slot (0..9) the show delivers into.
  explicit CViewSlideshowForm(int sourceId, QWidget* parent = nullptr);
  // Stops the show.
  ~CViewSlideshowForm() override;

  QString Folder() const { return folder_; }
  // Seconds per picture as last entered (5 at first; 0 = Next/Prev only).
  int Seconds() const { return seconds_; }
  // Replaces the running show by one over `folder`, showing the seconds in
  // the seconds field.
  void StartSlideshow(const QString& folder, int seconds);

  void BrowseFolder();
  void Next();
  void Prev();

  SlideshowSource* Source() { return source_.get(); }
  QLineEdit* SecondsEdit() const { return secondsEdit_; }
  PreviewWidget* Preview() const { return preview_; }

 private:
  void SecondsChanged(const QString& text);

  const int sourceId_;
  std::unique_ptr<SlideshowSource> source_;
  QString folder_;
  int seconds_ = 5;
  QLineEdit* secondsEdit_ = nullptr;
  PreviewWidget* preview_ = nullptr;
};

// The whole number at the start of `text` (at most 100 characters read),
// as C's atoi reads it: 0 when there is none; clamped to the int range.
int ParseLeadingInt(const QString& text);

}  // namespace corvalind

// CViewSlideshowForm: the form of a "Slide Show" window. It runs a
// SlideshowSource for one source slot, chosen by "Browse Folder", with the
// seconds per picture, "Next >>" and "<< Prev". UI thread only.
#pragma once

#include <QString>
#include <QWidget>
#include <memory>

#include "engine/sources/slideshow.h"
#include "studio/forms/window_form.h"

class QLineEdit;

namespace corvalind {

class PreviewWidget;

class CViewSlideshowForm : public QWidget, public WindowForm {
  Q_OBJECT
 public:
  // `sourceId` is the source slot (0..9) the show delivers into. Pictures
  // are read with `reader` (DefaultPictureReader() when null), which must
  // outlive the form.
  explicit CViewSlideshowForm(int sourceId, QWidget* parent = nullptr, PictureReader* reader = nullptr);
  // Stops the show.
  ~CViewSlideshowForm() override;

  QString Folder() const { return folder_; }
  // Seconds per picture as last entered (5 at first; 0 = Next/Prev only).
  int Seconds() const { return seconds_; }
  // Replaces the running show by one over `folder`, showing the seconds in
  // the seconds field.
  void StartSlideshow(const QString& folder, int seconds);

  void BrowseFolder();

  // Projects keep the folder (DATA) and the seconds (PARAM1, 5 when
  // absent); restoring starts the show.
  void SaveProjectElements(ProjectWindow& window) const override;
  void RestoreProjectElements(const ProjectWindow& window) override;
  void Next();
  void Prev();

  SlideshowSource* Source() { return source_.get(); }
  QLineEdit* SecondsEdit() const { return secondsEdit_; }
  PreviewWidget* Preview() const { return preview_; }

 private:
  void SecondsChanged(const QString& text);

  const int sourceId_;
  PictureReader& reader_;
  std::unique_ptr<SlideshowSource> source_;
  QString folder_;
  int seconds_ = 5;
  QLineEdit* secondsEdit_ = nullptr;
  PreviewWidget* preview_ = nullptr;
};

// The seconds field's number: ParseDecimal of its first 100 characters.
int ParseLeadingInt(const QString& text);

}  // namespace corvalind

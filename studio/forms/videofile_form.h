// The "Video File" source window: plays a media file in a loop into the
// window's slot, with a 200 x 150 preview, a seek bar, "Play", "Pause",
// "Stop", "Browse" and a "sound" box (keep the file's sound; read when a
// file is loaded). Every file gets a new VideoFileSource. UI thread only.
#pragma once

#include <QString>
#include <QWidget>
#include <memory>

#include "capture/videofile_source.h"
#include "studio/forms/window_form.h"

class QCheckBox;
class QSlider;
class QTimer;

namespace corvalind {

class PreviewWidget;

// The Browse dialog's filters.
inline constexpr const char* kVideoFileFilters =
    "Video Files (*.avi *.wmv *.mpeg *.mpg *.mkv *.mp4 *.mov *.flv *.webm);;All Files (*.*)";

class CViewVideofileForm : public QWidget, public WindowForm {
  Q_OBJECT
 public:
  // `sourceId` is the slot (0..9) the pictures go to. Nothing plays until
  // a file is loaded.
  explicit CViewVideofileForm(int sourceId, QWidget* parent = nullptr);
  // Stops the source before the preview it draws into goes.
  ~CViewVideofileForm() override;

  // Replaces the running source by one playing `path`, with sound when the
  // "sound" box is ticked, and puts the seek bar back to the start. A file
  // that does not play is reported on the status line by the source.
  void LoadVideoFile(const QString& path);
  void Browse();
  // The buttons: nothing happens without a source.
  void Play();
  void Pause();
  void Stop();

  // The last loaded path, at most 1023 bytes (empty before the first).
  QString Path() const { return path_; }

  // DATA is the path; restoring loads it (an absent or empty DATA loads
  // nothing).
  void SaveProjectElements(ProjectWindow& window) const override;
  void RestoreProjectElements(const ProjectWindow& window) override;

  VideoFileSource* Source() const { return source_.get(); }
  PreviewWidget* Preview() const { return preview_; }
  QSlider* SeekBar() const { return seekBar_; }
  QCheckBox* SoundBox() const { return soundBox_; }
  // The bar follows the playing position once a second.
  QTimer* PositionTimer() const { return timer_; }
  // Seeks as the bar does at `position` (0..1000).
  void SeekToBar(int position);

 private:
  void ShowPosition();

  const int sourceId_;
  QString path_;
  std::unique_ptr<VideoFileSource> source_;

  PreviewWidget* preview_ = nullptr;
  QSlider* seekBar_ = nullptr;
  QCheckBox* soundBox_ = nullptr;
  QTimer* timer_ = nullptr;
};

}  // namespace corvalind

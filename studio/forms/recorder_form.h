// The "Video Recorder" window: records the program, as the virtual camera
// serves it, with optional sound into an AVI or Matroska file. Three lists
// choose the video encoder, the audio device ("No sound!" for none) and the
// audio encoder, each with a "C" button for the bound element's property
// dialog; an output edit with "Browse", a "Use MKV container" box, the
// Start/Stop button and a status label. While recording, a 5-second timer
// steers the sound's speed against the picture and a 1-second timer
// watches for a failed recording. UI thread only.
#pragma once

#include <QString>
#include <QWidget>
#include <memory>
#include <string>

#include "capture/recorder.h"
#include "studio/forms/window_form.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace corvalind {

// The Browse dialog's filters.
inline constexpr const char* kRecorderFileFilters = "Video Files(AVI) (*.avi);;Matroska (*.mkv)";
// The audio source list's first entry: record without sound.
inline constexpr const char* kNoSoundEntry = "No sound!";

class CViewRecorderForm : public QWidget, public WindowForm {
  Q_OBJECT
 public:
  // `bufferName` is the output buffer the camera element reads ("" for the
  // studio's own).
  explicit CViewRecorderForm(QWidget* parent = nullptr, std::string bufferName = {});
  // A running recording is stopped first, so its file is finished.
  ~CViewRecorderForm() override;

  bool Recording() const;
  // The Start/Stop button.
  void ToggleRecording();
  void Browse();

  // A list selection, as the user's: binds the entry at `position` (the
  // list's current entry is not changed here).
  void SelectVideoEncoder(int position);
  void SelectAudioSource(int position);
  void SelectAudioEncoder(int position);
  // Opening a project: every position of 0 or more is selected and bound
  // (video encoder, audio source, audio encoder in that order); then the
  // path goes into the output edit.
  void RestoreRecorder(int videoPosition, int audioSourcePosition, int audioPosition, const QString& path);

  // DATA, PARAM1, PARAM2: the list positions (video encoder, audio source,
  // audio encoder; -1 when none was chosen); PARAM3: the output edit.
  void SaveProjectElements(ProjectWindow& window) const override;
  void RestoreProjectElements(const ProjectWindow& window) override;

  Recorder& Core() { return *recorder_; }
  QComboBox* VideoList() const { return videoList_; }
  QComboBox* AudioSourceList() const { return audioSourceList_; }
  QComboBox* AudioList() const { return audioList_; }
  QLineEdit* OutputEdit() const { return outputEdit_; }
  QCheckBox* MkvBox() const { return mkvBox_; }
  QPushButton* StartButton() const { return startButton_; }
  QLabel* StatusLabel() const { return statusLabel_; }
  QTimer* SyncTimer() const { return syncTimer_; }
  QTimer* FailureTimer() const { return failureTimer_; }

 private:
  void BuildUi();
  void StartRecording();
  void StopRecording();
  // The 1-second check: a recording that failed by itself.
  void WatchFailure();
  void CheckSync();
  void ShowStatus(const QString& text);
  // Enables the choices when idle, disables them while recording.
  void EnableChoices();

  const std::string bufferName_;
  std::unique_ptr<Recorder> recorder_;
  int videoPosition_ = -1;
  int audioSourcePosition_ = -1;
  int audioPosition_ = -1;

  QComboBox* videoList_ = nullptr;
  QComboBox* audioSourceList_ = nullptr;
  QComboBox* audioList_ = nullptr;
  QLineEdit* outputEdit_ = nullptr;
  QPushButton* browseButton_ = nullptr;
  QCheckBox* mkvBox_ = nullptr;
  QPushButton* startButton_ = nullptr;
  QLabel* statusLabel_ = nullptr;
  QTimer* syncTimer_ = nullptr;
  QTimer* failureTimer_ = nullptr;
};

}  // namespace corvalind

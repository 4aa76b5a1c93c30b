// The "Settings Control" window: the program picture size, frame rate and
// flip (written to the settings file by Apply, taking effect at the next
// start), the chroma-key and scaling switches (acting on the next composed
// picture), the sound card's recording source with its lock, and the V4L2
// loopback device the program is written into as well (at once, and kept
// for the next runs).
// UI thread only.
#pragma once

#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "platform/alsa/recording_mixer.h"
#include "platform/v4l2/loopback_device.h"
#include "studio/forms/window_form.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QVBoxLayout;

namespace corvalind {

class CSoundControlForm : public QWidget, public WindowForm {
  Q_OBJECT
 public:
  using LoopbackFinder = std::function<std::vector<LoopbackDevice>()>;

  // `openMixer` reaches the recording multiplexer (the first sound card's
  // by default); `settingsPath` is the settings file Apply writes (the
  // per-user one by default); `findLoopback` lists the V4L2 loopback
  // devices (the system's by default).
  explicit CSoundControlForm(QWidget* parent = nullptr, RecordingMixerFactory openMixer = &OpenAlsaRecordingMixer,
                             std::string settingsPath = {}, LoopbackFinder findLoopback = nullptr);
  // Stops the lock.
  ~CSoundControlForm() override;

  // Nothing beyond the window's kind and position.
  void SaveProjectElements(ProjectWindow&) const override {}
  void RestoreProjectElements(const ProjectWindow&) override {}

  // Writes the size, rate and flip; says it failed or that a restart is
  // needed.
  void Apply();
  // Opens the colour chooser for the key colour.
  void ChooseKeyColor();
  // The lock box's action.
  void SetLocked(bool locked);

  QComboBox* SizeList() const { return sizeList_; }
  QComboBox* RateList() const { return rateList_; }
  QCheckBox* FlipBox() const { return flipBox_; }
  QPushButton* ApplyButton() const { return applyButton_; }
  QComboBox* SourceList() const { return sourceList_; }
  QCheckBox* LockBox() const { return lockBox_; }
  QCheckBox* AutoKeyBox() const { return autoKeyBox_; }
  QPushButton* KeyColorButton() const { return keyColorButton_; }
  QSlider* RangeSlider() const { return rangeSlider_; }
  QCheckBox* BilinearBox() const { return bilinearBox_; }
  QCheckBox* LoopbackBox() const { return loopbackBox_; }
  QComboBox* LoopbackList() const { return loopbackList_; }
  QLabel* LoopbackNote() const { return loopbackNote_; }
  QCheckBox* RemoteBox() const { return remoteBox_; }
  QLineEdit* RemotePortEdit() const { return remotePort_; }
  QLineEdit* RemotePasswordEdit() const { return remotePassword_; }
  // The remote-control row's change: kept and applied at once.
  void ApplyRemoteControl();
  const RecordingSourceLock& Lock() const { return lock_; }

 private:
  void BuildUi();
  void PaintKeyColor();
  void BuildLoopbackUi(QVBoxLayout* outer);
  void BuildRemoteUi(QVBoxLayout* outer);
  // The box's or the list's change: the chosen device, or none.
  void ChooseLoopback();

  const RecordingMixerFactory openMixer_;
  const std::string settingsPath_;
  RecordingSourceLock lock_;
  QComboBox* sizeList_ = nullptr;
  QComboBox* rateList_ = nullptr;
  QCheckBox* flipBox_ = nullptr;
  QPushButton* applyButton_ = nullptr;
  QComboBox* sourceList_ = nullptr;
  QCheckBox* lockBox_ = nullptr;
  QCheckBox* autoKeyBox_ = nullptr;
  QPushButton* keyColorButton_ = nullptr;
  QSlider* rangeSlider_ = nullptr;
  QCheckBox* bilinearBox_ = nullptr;
  const LoopbackFinder findLoopback_;
  QCheckBox* loopbackBox_ = nullptr;
  QComboBox* loopbackList_ = nullptr;
  QLabel* loopbackNote_ = nullptr;
  QCheckBox* remoteBox_ = nullptr;
  QLineEdit* remotePort_ = nullptr;
  QLineEdit* remotePassword_ = nullptr;
};

}  // namespace corvalind

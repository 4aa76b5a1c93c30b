// The "Stream Output" window: streams the program to a platform or a
// media server over RTMP or SRT (capture/stream_output.h) with the sound
// of an audio input or silence. The address, the video settings and the
// sound are kept in projects; the stream key and the SRT passphrase never
// are: they stay in the user's configuration file (readable by the user
// only). The state, the bit rate sent, the dropped frames and the
// reconnects show once a second; losing and regaining the connection is
// said in the status bar. UI thread only.
#pragma once

#include <QWidget>
#include <memory>
#include <string>

#include "capture/stream_output.h"
#include "engine/output_format.h"
#include "studio/forms/window_form.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTimer;

namespace corvalind {

inline constexpr const char* kSilenceEntry = "Silence";

class CViewStreamForm : public QWidget, public WindowForm {
  Q_OBJECT
 public:
  CViewStreamForm(const OutputFormat& format, std::string bufferName, QWidget* parent = nullptr);
  // A running stream is stopped first.
  ~CViewStreamForm() override;

  bool Streaming() const;
  // The Start/Stop button; a refused start says why in the status label.
  void ToggleStreaming();
  // The settings the form holds now.
  StreamSettings Settings() const;
  const StreamOutput& Output() const { return *output_; }
  // Reads the statistics into the labels (the timer does it every second).
  void ShowStatistics();

  // DATA: the address; PARAM1..PARAM3: video bit rate, key-frame seconds,
  // preset; PARAM4: SRT listener; PARAM5: the sound source.
  void SaveProjectElements(ProjectWindow& window) const override;
  void RestoreProjectElements(const ProjectWindow& window) override;

  QLineEdit* UrlEdit() const { return url_; }
  QLineEdit* KeyEdit() const { return key_; }
  QLineEdit* PassphraseEdit() const { return passphrase_; }
  QCheckBox* ListenerBox() const { return listener_; }
  QSpinBox* BitrateBox() const { return bitrate_; }
  QSpinBox* KeyframeBox() const { return keyframe_; }
  QComboBox* PresetList() const { return preset_; }
  QComboBox* SoundList() const { return sound_; }
  QPushButton* StartButton() const { return start_; }
  QLabel* StatusLabel() const { return status_; }

 private:
  void BuildUi();
  void EnableChoices();
  void KeepSecrets() const;

  const OutputFormat format_;
  const std::string bufferName_;
  std::unique_ptr<StreamOutput> output_;
  QLineEdit* url_ = nullptr;
  QLineEdit* key_ = nullptr;
  QLineEdit* passphrase_ = nullptr;
  QCheckBox* listener_ = nullptr;
  QSpinBox* bitrate_ = nullptr;
  QSpinBox* keyframe_ = nullptr;
  QComboBox* preset_ = nullptr;
  QComboBox* sound_ = nullptr;
  QPushButton* start_ = nullptr;
  QLabel* status_ = nullptr;
  QTimer* timer_ = nullptr;
  StreamState lastState_ = StreamState::kIdle;
  int lastReconnects_ = 0;
};

}  // namespace corvalind

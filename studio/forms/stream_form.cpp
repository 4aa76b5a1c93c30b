#include "studio/forms/stream_form.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include "capture/media_toolkit.h"
#include "engine/messages.h"
#include "studio/studio_config.h"

namespace corvalind {

namespace {

const char* const kPresets[] = {"ultrafast", "superfast", "veryfast", "faster", "fast", "medium"};

}  // namespace

CViewStreamForm::CViewStreamForm(const OutputFormat& format, std::string bufferName, QWidget* parent)
    : QWidget(parent), format_(format), bufferName_(std::move(bufferName)), output_(std::make_unique<StreamOutput>()) {
  setObjectName("CViewStreamForm");
  setWindowTitle("Stream Output");
  BuildUi();
  // The secrets of the last stream, from the user's own file.
  QSettings file = OpenStudioConfig();
  key_->setText(file.value("Stream/Key").toString());
  passphrase_->setText(file.value("Stream/Passphrase").toString());
}

CViewStreamForm::~CViewStreamForm() { output_->Stop(); }

void CViewStreamForm::BuildUi() {
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(8, 8, 8, 8);
  auto* form = new QFormLayout;
  url_ = new QLineEdit(this);
  url_->setPlaceholderText("rtmp://live.example.com/app or srt://host:port");
  url_->setMinimumWidth(320);
  form->addRow("Address", url_);
  key_ = new QLineEdit(this);
  key_->setEchoMode(QLineEdit::Password);
  key_->setPlaceholderText("RTMP stream key");
  form->addRow("Stream key", key_);
  auto* srtRow = new QHBoxLayout;
  passphrase_ = new QLineEdit(this);
  passphrase_->setEchoMode(QLineEdit::Password);
  passphrase_->setPlaceholderText("SRT, 10 to 79 characters");
  listener_ = new QCheckBox("Wait for the peer", this);
  srtRow->addWidget(passphrase_, 1);
  srtRow->addWidget(listener_);
  form->addRow("Passphrase", srtRow);
  auto* videoRow = new QHBoxLayout;
  bitrate_ = new QSpinBox(this);
  bitrate_->setRange(100, 100000);
  bitrate_->setSingleStep(500);
  bitrate_->setValue(4500);
  bitrate_->setSuffix(" kbit/s");
  keyframe_ = new QSpinBox(this);
  keyframe_->setRange(1, 20);
  keyframe_->setValue(2);
  keyframe_->setPrefix("key frame every ");
  keyframe_->setSuffix(" s");
  preset_ = new QComboBox(this);
  for (const char* preset : kPresets) preset_->addItem(preset);
  preset_->setCurrentText("veryfast");
  videoRow->addWidget(bitrate_);
  videoRow->addWidget(keyframe_);
  videoRow->addWidget(preset_);
  form->addRow("H.264", videoRow);
  sound_ = new QComboBox(this);
  sound_->addItem(kSilenceEntry);
  for (const std::string& device : FillDeviceList(DeviceCategory::kAudioInput, false)) {
    sound_->addItem(QString::fromStdString(device));
  }
  form->addRow("Sound (AAC)", sound_);
  outer->addLayout(form);
  auto* bottom = new QHBoxLayout;
  start_ = new QPushButton("Start", this);
  status_ = new QLabel(QString::fromStdString(StreamStatusText(StreamStatistics{})), this);
  status_->setWordWrap(true);
  bottom->addWidget(start_);
  bottom->addWidget(status_, 1);
  outer->addLayout(bottom);
  connect(start_, &QPushButton::clicked, this, &CViewStreamForm::ToggleStreaming);
  timer_ = new QTimer(this);
  timer_->setInterval(1000);
  connect(timer_, &QTimer::timeout, this, &CViewStreamForm::ShowStatistics);
}

bool CViewStreamForm::Streaming() const { return output_->Running(); }

StreamSettings CViewStreamForm::Settings() const {
  StreamSettings settings;
  settings.url = url_->text().trimmed().toStdString();
  settings.key = key_->text().trimmed().toStdString();
  settings.passphrase = passphrase_->text().toStdString();
  settings.srtListener = listener_->isChecked();
  settings.videoKbps = bitrate_->value();
  settings.keyframeSeconds = keyframe_->value();
  settings.preset = preset_->currentText().toStdString();
  settings.audioDevice = sound_->currentIndex() > 0 ? sound_->currentText().toStdString() : std::string();
  settings.bufferName = bufferName_;
  settings.frameRate = format_.frameRate;
  return settings;
}

void CViewStreamForm::KeepSecrets() const {
  QSettings file = OpenStudioConfigToChange();
  file.setValue("Stream/Key", key_->text().trimmed());
  file.setValue("Stream/Passphrase", passphrase_->text());
  SaveStudioConfig(file);
}

void CViewStreamForm::ToggleStreaming() {
  if (output_->Running()) {
    output_->Stop();
    timer_->stop();
    ShowStatistics();
    start_->setText("Start");
    EnableChoices();
    SetStatusText("The stream has stopped");
    return;
  }
  std::string reason;
  const StreamSettings settings = Settings();
  if (!output_->Start(settings, &reason)) {
    status_->setText(QString::fromStdString(RedactStreamSecrets(settings, reason)));
    return;
  }
  KeepSecrets();
  lastState_ = StreamState::kConnecting;
  lastReconnects_ = 0;
  start_->setText("Stop");
  EnableChoices();
  timer_->start();
  ShowStatistics();
}

void CViewStreamForm::ShowStatistics() {
  const StreamStatistics statistics = output_->Statistics();
  status_->setText(QString::fromStdString(StreamStatusText(statistics)));
  // Changes of the connection go to the status bar, with the attempt.
  if (statistics.state != lastState_ || statistics.reconnects != lastReconnects_) {
    if (statistics.state == StreamState::kLive) SetStatusText("Streaming live");
    if (statistics.state == StreamState::kWaiting) {
      SetStatusText("The stream's connection was lost; reconnecting (attempt " + std::to_string(statistics.attempt) + ")");
    }
    if (statistics.state == StreamState::kFailed) SetStatusText(StreamStatusText(statistics));
    lastState_ = statistics.state;
    lastReconnects_ = statistics.reconnects;
  }
  if (!output_->Running() && start_->text() == "Stop") {
    start_->setText("Start");
    EnableChoices();
    timer_->stop();
  }
  if (statistics.state == StreamState::kFailed && timer_->isActive()) {
    output_->Stop();
    timer_->stop();
    start_->setText("Start");
    EnableChoices();
  }
}

void CViewStreamForm::EnableChoices() {
  const bool idle = !output_->Running();
  for (QWidget* w : std::initializer_list<QWidget*>{url_, key_, passphrase_, listener_, bitrate_, keyframe_, preset_, sound_}) {
    w->setEnabled(idle);
  }
}

void CViewStreamForm::SaveProjectElements(ProjectWindow& window) const {
  // The address as typed; a key pasted into it would be the user's own
  // choice, but the key field's text never goes into the project.
  window.Set("DATA", url_->text().trimmed().toStdString());
  window.Set("PARAM1", bitrate_->value());
  window.Set("PARAM2", keyframe_->value());
  window.Set("PARAM3", preset_->currentText().toStdString());
  window.Set("PARAM4", listener_->isChecked() ? 1 : 0);
  window.Set("PARAM5", sound_->currentIndex() > 0 ? sound_->currentText().toStdString() : std::string());
}

void CViewStreamForm::RestoreProjectElements(const ProjectWindow& window) {
  url_->setText(QString::fromStdString(window.Text("DATA").value_or(std::string())));
  bitrate_->setValue(window.Number("PARAM1", 4500));
  keyframe_->setValue(window.Number("PARAM2", 2));
  const QString preset = QString::fromStdString(window.Text("PARAM3").value_or("veryfast"));
  if (preset_->findText(preset) >= 0) preset_->setCurrentText(preset);
  listener_->setChecked(window.Number("PARAM4", 0) != 0);
  const QString sound = QString::fromStdString(window.Text("PARAM5").value_or(std::string()));
  sound_->setCurrentIndex(std::max(0, sound.isEmpty() ? 0 : sound_->findText(sound)));
}

}  // namespace corvalind

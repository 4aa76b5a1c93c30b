#include "studio/forms/recorder_form.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "capture/media_toolkit.h"
#include "engine/messages.h"
#include "engine/output_format.h"
#include "studio/forms/property_dialog.h"
#include "studio/ui_bridge.h"

namespace corvalind {

namespace {

constexpr int kSyncIntervalMs = 5000;
constexpr int kFailureIntervalMs = 1000;
// The output path's room, as the project file keeps it.
constexpr int kOutputPathLimit = 1023;

QString FromUtf8(const std::string& text) { return QString::fromStdString(text); }

QPushButton* MakeCodecButton(const char* id, QWidget* parent) {
  auto* button = new QPushButton("C", parent);
  button->setObjectName(id);
  button->setFixedWidth(28);
  return button;
}

}  // namespace

CViewRecorderForm::CViewRecorderForm(QWidget* parent, std::string bufferName)
    : QWidget(parent), bufferName_(std::move(bufferName)) {
  setObjectName("CViewRecorderForm");
  setWindowTitle("Video Recorder");
  InitMediaToolkit();
  recorder_ = std::make_unique<Recorder>();
  BuildUi();
}

CViewRecorderForm::~CViewRecorderForm() {
  syncTimer_->stop();
  failureTimer_->stop();
  if (recorder_->Recording()) recorder_->Stop();
  recorder_.reset();
}

void CViewRecorderForm::BuildUi() {
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(8, 8, 8, 8);
  auto* grid = new QGridLayout;
  outer->addLayout(grid);

  videoList_ = new QComboBox(this);
  videoList_->setObjectName("1033");
  for (const EncoderEntry& encoder : VideoEncoders()) videoList_->addItem(FromUtf8(encoder.longName));
  auto* videoPages = MakeCodecButton("1037", this);
  grid->addWidget(new QLabel("Video", this), 0, 0);
  grid->addWidget(videoList_, 0, 1);
  grid->addWidget(videoPages, 0, 2);

  audioSourceList_ = new QComboBox(this);
  audioSourceList_->setObjectName("1036");
  audioSourceList_->addItem(kNoSoundEntry);
  for (const std::string& device : FillDeviceList(DeviceCategory::kAudioInput, false)) {
    audioSourceList_->addItem(FromUtf8(device));
  }
  auto* sourcePages = MakeCodecButton("1041", this);
  grid->addWidget(new QLabel("Audio Source", this), 1, 0);
  grid->addWidget(audioSourceList_, 1, 1);
  grid->addWidget(sourcePages, 1, 2);

  audioList_ = new QComboBox(this);
  audioList_->setObjectName("1035");
  for (const EncoderEntry& encoder : AudioEncoders()) audioList_->addItem(FromUtf8(encoder.longName));
  auto* audioPages = MakeCodecButton("1038", this);
  grid->addWidget(new QLabel("Audio", this), 2, 0);
  grid->addWidget(audioList_, 2, 1);
  grid->addWidget(audioPages, 2, 2);

  for (QComboBox* list : {videoList_, audioSourceList_, audioList_}) {
    list->setCurrentIndex(-1);
    list->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    list->setMinimumContentsLength(24);
  }

  outputEdit_ = new QLineEdit(this);
  outputEdit_->setObjectName("1034");
  outputEdit_->setMaxLength(kOutputPathLimit);
  browseButton_ = new QPushButton("Browse", this);
  browseButton_->setObjectName("1009");
  grid->addWidget(new QLabel("Output", this), 3, 0);
  grid->addWidget(outputEdit_, 3, 1);
  grid->addWidget(browseButton_, 3, 2);

  auto* lower = new QHBoxLayout;
  mkvBox_ = new QCheckBox("Use MKV container", this);
  mkvBox_->setObjectName("1069");
  startButton_ = new QPushButton("Start", this);
  startButton_->setObjectName("1039");
  lower->addWidget(mkvBox_);
  lower->addStretch(1);
  lower->addWidget(startButton_);
  outer->addLayout(lower);

  statusLabel_ = new QLabel(this);
  statusLabel_->setObjectName("1040");
  statusLabel_->setWordWrap(true);
  statusLabel_->setMinimumHeight(2 * statusLabel_->fontMetrics().height());
  outer->addWidget(statusLabel_);
  outer->addStretch(1);

  connect(videoList_, &QComboBox::activated, this, &CViewRecorderForm::SelectVideoEncoder);
  connect(audioSourceList_, &QComboBox::activated, this, &CViewRecorderForm::SelectAudioSource);
  connect(audioList_, &QComboBox::activated, this, &CViewRecorderForm::SelectAudioEncoder);
  connect(videoPages, &QPushButton::clicked, this, [this] {
    const std::unique_ptr<PropertyPage> page = recorder_->VideoEncoderPage("Video Codec");
    PropertyDialog::ShowFor(page.get(), this);
  });
  connect(sourcePages, &QPushButton::clicked, this, [this] {
    const std::unique_ptr<PropertyPage> page = recorder_->AudioSourcePage("Audio Device");
    PropertyDialog::ShowFor(page.get(), this);
  });
  connect(audioPages, &QPushButton::clicked, this, [this] {
    const std::unique_ptr<PropertyPage> page = recorder_->AudioEncoderPage("Audio Codec");
    PropertyDialog::ShowFor(page.get(), this);
  });
  connect(browseButton_, &QPushButton::clicked, this, &CViewRecorderForm::Browse);
  connect(startButton_, &QPushButton::clicked, this, &CViewRecorderForm::ToggleRecording);

  syncTimer_ = new QTimer(this);
  syncTimer_->setInterval(kSyncIntervalMs);
  connect(syncTimer_, &QTimer::timeout, this, &CViewRecorderForm::CheckSync);
  failureTimer_ = new QTimer(this);
  failureTimer_->setInterval(kFailureIntervalMs);
  connect(failureTimer_, &QTimer::timeout, this, &CViewRecorderForm::WatchFailure);
}

bool CViewRecorderForm::Recording() const { return recorder_->Recording(); }

void CViewRecorderForm::ShowStatus(const QString& text) { statusLabel_->setText(text); }

void CViewRecorderForm::SelectVideoEncoder(int position) {
  videoPosition_ = position;
  if (!recorder_->SetVideoEncoder(videoList_->itemText(position).toStdString())) {
    ShowStatus("Cannot find video compressor!");
  }
}

void CViewRecorderForm::SelectAudioSource(int position) {
  audioSourcePosition_ = position;
  // "No sound!" is no device: the role stays empty and the label says so.
  const std::string name = position > 0 ? audioSourceList_->itemText(position).toStdString() : std::string();
  if (!recorder_->SetAudioSource(name) || name.empty()) ShowStatus("Cannot find audio source!");
}

void CViewRecorderForm::SelectAudioEncoder(int position) {
  audioPosition_ = position;
  if (!recorder_->SetAudioEncoder(audioList_->itemText(position).toStdString())) {
    ShowStatus("Cannot find audio compressor!");
  }
}

void CViewRecorderForm::RestoreRecorder(int videoPosition, int audioSourcePosition, int audioPosition,
                                        const QString& path) {
  const auto restore = [](QComboBox* list, int position, auto select) {
    if (position < 0 || position >= list->count()) return;
    list->setCurrentIndex(position);
    select(position);
  };
  restore(videoList_, videoPosition, [this](int p) { SelectVideoEncoder(p); });
  restore(audioSourceList_, audioSourcePosition, [this](int p) { SelectAudioSource(p); });
  restore(audioList_, audioPosition, [this](int p) { SelectAudioEncoder(p); });
  outputEdit_->setText(path);
}

void CViewRecorderForm::Browse() {
  const QString current = outputEdit_->text();
  const QString start = current.isEmpty() ? QString() : QFileInfo(current).absolutePath();
  // The dialog asks before an existing file is chosen.
  const QString path = QFileDialog::getSaveFileName(this, "Save As", start, kRecorderFileFilters);
  if (!path.isEmpty()) outputEdit_->setText(path.left(kOutputPathLimit));
}

void CViewRecorderForm::ToggleRecording() {
  if (recorder_->Recording()) {
    StopRecording();
  } else {
    StartRecording();
  }
  EnableChoices();
}

void CViewRecorderForm::StartRecording() {
  const QString path = outputEdit_->text().left(kOutputPathLimit);
  if (!path.isEmpty() && QFileInfo::exists(path) &&
      !AskStudioQuestion("Overwrite existing video file?", "Confirm")) {
    return;
  }
  switch (recorder_->Start(path.toStdString(), mkvBox_->isChecked(), bufferName_)) {
    case Recorder::StartResult::kNoVideoEncoder:
      ShowStudioMessage("Please, select video compressor!");
      return;
    case Recorder::StartResult::kNoOutput:
      ShowStudioMessage("Please, select valid output name!");
      return;
    case Recorder::StartResult::kNoAudioEncoder:
      ShowStudioMessage("Please, select audio compressor!");
      return;
    case Recorder::StartResult::kFailed:
      ShowStatus(FromUtf8(recorder_->Message()));
      return;
    case Recorder::StartResult::kStarted:
      break;
  }
  // A fallback (no Matroska muxer) is said before the start itself.
  if (!recorder_->Message().empty()) ShowStatus(FromUtf8(recorder_->Message()));
  syncTimer_->start();
  failureTimer_->start();
  startButton_->setText("Stop");
  ShowStatus("Capture started!");
  SetStatusText("Capture started!");
}

void CViewRecorderForm::StopRecording() {
  syncTimer_->stop();
  failureTimer_->stop();
  recorder_->Stop();
  startButton_->setText("Start");
  ShowStatus("Capture stopped!");
  SetStatusText("Capture stopped!");
}

void CViewRecorderForm::WatchFailure() {
  if (!recorder_->CheckFailure()) return;
  syncTimer_->stop();
  failureTimer_->stop();
  startButton_->setText("Start");
  EnableChoices();
  ShowStatus(FromUtf8(recorder_->Message()));
  SetStatusText(recorder_->Message());
}

void CViewRecorderForm::CheckSync() {
  const std::string line = recorder_->CheckSync(GlobalOutputFormat().frameRate);
  if (!line.empty()) ShowStatus(FromUtf8(line));
}

void CViewRecorderForm::EnableChoices() {
  const bool idle = !recorder_->Recording();
  for (QWidget* control : std::initializer_list<QWidget*>{videoList_, audioSourceList_, audioList_, outputEdit_, browseButton_}) {
    control->setEnabled(idle);
  }
}

void CViewRecorderForm::SaveProjectElements(ProjectWindow& window) const {
  window.Set("DATA", videoPosition_);
  window.Set("PARAM1", audioSourcePosition_);
  window.Set("PARAM2", audioPosition_);
  window.Set("PARAM3", outputEdit_->text().toStdString());
}

void CViewRecorderForm::RestoreProjectElements(const ProjectWindow& window) {
  RestoreRecorder(window.Number("DATA", -1), window.Number("PARAM1", -1), window.Number("PARAM2", -1),
                  FromUtf8(window.Text("PARAM3").value_or(std::string())));
}

}  // namespace corvalind

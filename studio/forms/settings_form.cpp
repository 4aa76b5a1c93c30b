#include "studio/forms/settings_form.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>

#include "engine/key_settings.h"
#include "engine/messages.h"
#include "platform/folders.h"
#include "platform/settings_file.h"
#include "studio/forms/loopback_choice.h"
#include "studio/forms/remote_choice.h"
#include "studio/ui_bridge.h"

namespace corvalind {

namespace {

// The lock box's caption holds the locked input's name, cut to this many
// characters.
constexpr int kLockNameLimit = 250;
const char* const kLockCaption = "Lock audio source";

}  // namespace

CSoundControlForm::CSoundControlForm(QWidget* parent, RecordingMixerFactory openMixer, std::string settingsPath,
                                     LoopbackFinder findLoopback)
    : QWidget(parent),
      openMixer_(std::move(openMixer)),
      settingsPath_(settingsPath.empty() ? SettingsFilePath() : std::move(settingsPath)),
      lock_(openMixer_),
      findLoopback_(findLoopback ? std::move(findLoopback) : LoopbackFinder([] { return FindLoopbackDevices(); })) {
  setObjectName("CSoundControlForm");
  setWindowTitle("Settings Control");
  BuildUi();
}

CSoundControlForm::~CSoundControlForm() { lock_.Stop(); }

void CSoundControlForm::BuildUi() {
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(8, 8, 8, 8);

  // Picture: what the settings file holds.
  auto* picture = new QGroupBox("Video", this);
  auto* pictureLayout = new QFormLayout(picture);
  sizeList_ = new QComboBox(picture);
  sizeList_->setObjectName("1044");
  for (const PictureSize& size : kPictureSizes) sizeList_->addItem(size.text);
  rateList_ = new QComboBox(picture);
  rateList_->setObjectName("1045");
  for (const FrameRateEntry& rate : kFrameRates) rateList_->addItem(rate.text);
  flipBox_ = new QCheckBox("Flip video", picture);
  flipBox_->setObjectName("1047");
  applyButton_ = new QPushButton("Apply", picture);
  applyButton_->setObjectName("1066");
  pictureLayout->addRow("Size", sizeList_);
  pictureLayout->addRow("Rate", rateList_);
  pictureLayout->addRow(flipBox_);
  pictureLayout->addRow(applyButton_);
  outer->addWidget(picture);

  const PictureSettings current = ReadStudioSettings(settingsPath_);
  sizeList_->setCurrentIndex(current.sizeIndex >= 0 && current.sizeIndex < kPictureSizeCount ? current.sizeIndex
                                                                                              : kDefaultSizeIndex);
  rateList_->setCurrentIndex(current.rateIndex >= 0 && current.rateIndex < kFrameRateCount ? current.rateIndex
                                                                                          : kDefaultRateIndex);
  flipBox_->setChecked(current.mirror);
  applyButton_->setEnabled(false);
  const auto changed = [this] { applyButton_->setEnabled(true); };
  connect(sizeList_, &QComboBox::activated, this, changed);
  connect(rateList_, &QComboBox::activated, this, changed);
  connect(flipBox_, &QCheckBox::clicked, this, changed);
  connect(applyButton_, &QPushButton::clicked, this, &CSoundControlForm::Apply);

  // Sound: the recording multiplexer.
  auto* sound = new QGroupBox("Audio source", this);
  auto* soundLayout = new QVBoxLayout(sound);
  sourceList_ = new QComboBox(sound);
  sourceList_->setObjectName("1043");
  const RecordingSources sources = FillRecordingSources(openMixer_);
  for (const std::string& name : sources.names) sourceList_->addItem(QString::fromStdString(name));
  sourceList_->setCurrentIndex(sources.selected);
  lockBox_ = new QCheckBox(kLockCaption, sound);
  lockBox_->setObjectName("1042");
  soundLayout->addWidget(sourceList_);
  soundLayout->addWidget(lockBox_);
  outer->addWidget(sound);
  connect(sourceList_, &QComboBox::activated, this,
          [this](int index) { SelectRecordingSource(openMixer_, sourceList_->itemText(index).toStdString()); });
  connect(lockBox_, &QCheckBox::clicked, this, &CSoundControlForm::SetLocked);

  // Keying and scaling: act on the next composed picture.
  auto* keying = new QGroupBox("Chroma key", this);
  auto* keyLayout = new QVBoxLayout(keying);
  auto* keyRow = new QHBoxLayout;
  autoKeyBox_ = new QCheckBox("Auto Key", keying);
  autoKeyBox_->setObjectName("1041");
  autoKeyBox_->setChecked(chromaAutoKey.load());
  keyColorButton_ = new QPushButton("...", keying);
  keyColorButton_->setObjectName("1065");
  keyColorButton_->setToolTip("Key colour");
  keyRow->addWidget(autoKeyBox_);
  keyRow->addStretch();
  keyRow->addWidget(new QLabel("Colour", keying));
  keyRow->addWidget(keyColorButton_);
  rangeSlider_ = new QSlider(Qt::Horizontal, keying);
  rangeSlider_->setObjectName("1003");
  rangeSlider_->setRange(0, 100);
  rangeSlider_->setValue(static_cast<int>(chromaKeyRange.load() * 100.0f));
  bilinearBox_ = new QCheckBox("Bilinear Scaling", keying);
  bilinearBox_->setObjectName("1046");
  bilinearBox_->setChecked(bilinearScaling.load());
  keyLayout->addLayout(keyRow);
  keyLayout->addWidget(new QLabel("Range", keying));
  keyLayout->addWidget(rangeSlider_);
  keyLayout->addWidget(bilinearBox_);
  outer->addWidget(keying);
  outer->addStretch();
  PaintKeyColor();

  connect(autoKeyBox_, &QCheckBox::toggled, this, [](bool on) { chromaAutoKey.store(on); });
  connect(bilinearBox_, &QCheckBox::toggled, this, [](bool on) { bilinearScaling.store(on); });
  connect(keyColorButton_, &QPushButton::clicked, this, &CSoundControlForm::ChooseKeyColor);
  connect(rangeSlider_, &QSlider::sliderReleased, this,
          [this] { chromaKeyRange.store(static_cast<float>(rangeSlider_->value()) / 100.0f); });

  BuildLoopbackUi(outer);
  BuildRemoteUi(outer);
}

void CSoundControlForm::BuildRemoteUi(QVBoxLayout* outer) {
  auto* group = new QGroupBox("Remote control", this);
  auto* layout = new QFormLayout(group);
  const RemoteControlChoice choice = ReadRemoteControlChoice();
  remoteBox_ = new QCheckBox("Serve on port", group);
  remoteBox_->setChecked(choice.enabled);
  remotePort_ = new QLineEdit(QString::number(choice.port), group);
  remotePort_->setValidator(new QIntValidator(1, 65535, remotePort_));
  remotePort_->setMaximumWidth(80);
  layout->addRow(remoteBox_, remotePort_);
  remotePassword_ = new QLineEdit(choice.password, group);
  remotePassword_->setEchoMode(QLineEdit::Password);
  remotePassword_->setPlaceholderText("none");
  layout->addRow("Password", remotePassword_);
  remoteBox_->setToolTip(QString("WebSocket on %1; see docs/remote-control.md").arg(choice.address));
  outer->addWidget(group);
  connect(remoteBox_, &QCheckBox::clicked, this, &CSoundControlForm::ApplyRemoteControl);
  connect(remotePort_, &QLineEdit::editingFinished, this, [this] {
    if (remoteBox_->isChecked()) ApplyRemoteControl();
  });
  connect(remotePassword_, &QLineEdit::editingFinished, this, [this] {
    if (remoteBox_->isChecked()) ApplyRemoteControl();
  });
}

void CSoundControlForm::ApplyRemoteControl() {
  RemoteControlChoice choice = ReadRemoteControlChoice();
  choice.enabled = remoteBox_->isChecked();
  bool ok = false;
  const int port = remotePort_->text().toInt(&ok);
  if (ok && port > 0 && port < 65536) choice.port = port;
  remotePort_->setText(QString::number(choice.port));
  choice.password = remotePassword_->text();
  const QString said = ChooseRemoteControl(choice);
  if (!said.isEmpty()) SetStatusText(said.toStdString());
}

void CSoundControlForm::BuildLoopbackUi(QVBoxLayout* outer) {
  auto* group = new QGroupBox("V4L2 camera", this);
  auto* layout = new QVBoxLayout(group);
  auto* row = new QHBoxLayout;
  loopbackBox_ = new QCheckBox("Write the program to", group);
  loopbackList_ = new QComboBox(group);
  row->addWidget(loopbackBox_);
  row->addWidget(loopbackList_, 1);
  layout->addLayout(row);
  loopbackNote_ = new QLabel(kNoLoopbackText, group);
  loopbackNote_->setWordWrap(true);
  layout->addWidget(loopbackNote_);
  outer->addWidget(group);

  const std::string chosen = ChosenLoopbackDevice();
  int chosenIndex = -1;
  for (const LoopbackDevice& device : findLoopback_()) {
    if (device.path == chosen) chosenIndex = loopbackList_->count();
    loopbackList_->addItem(QString::fromStdString(device.name + " (" + device.path + ")"),
                           QString::fromStdString(device.path));
  }
  const bool any = loopbackList_->count() > 0;
  // Without the module the option is greyed, and the note says how to get it.
  loopbackBox_->setEnabled(any);
  loopbackList_->setEnabled(any);
  loopbackNote_->setVisible(!any);
  if (!any) loopbackBox_->setToolTip(kNoLoopbackText);
  if (chosenIndex >= 0) {
    loopbackList_->setCurrentIndex(chosenIndex);
    loopbackBox_->setChecked(true);
  }
  connect(loopbackBox_, &QCheckBox::clicked, this, [this] { ChooseLoopback(); });
  connect(loopbackList_, qOverload<int>(&QComboBox::activated), this, [this] {
    if (loopbackBox_->isChecked()) ChooseLoopback();
  });
}

void CSoundControlForm::ChooseLoopback() {
  const bool on = loopbackBox_->isChecked() && loopbackList_->currentIndex() >= 0;
  ChooseLoopbackDevice(on ? loopbackList_->currentData().toString().toStdString() : std::string());
}

void CSoundControlForm::Apply() {
  if (!WriteSettingsFile(settingsPath_, sizeList_->currentIndex(), rateList_->currentIndex(), flipBox_->isChecked())) {
    ShowStudioMessage(kCannotSaveSettingsText, "Error");
    return;
  }
  applyButton_->setEnabled(false);
  ShowStudioMessage(kRestartToApplyText);
}

void CSoundControlForm::PaintKeyColor() {
  const uint32_t color = chromaKeyColor.load();
  keyColorButton_->setStyleSheet(QString("background-color: rgb(%1, %2, %3);")
                                     .arg(ColorRed(color))
                                     .arg(ColorGreen(color))
                                     .arg(ColorBlue(color)));
}

void CSoundControlForm::ChooseKeyColor() {
  const uint32_t color = chromaKeyColor.load();
  const QColor chosen =
      QColorDialog::getColor(QColor(ColorRed(color), ColorGreen(color), ColorBlue(color)), this, "Key colour");
  if (!chosen.isValid()) return;
  chromaKeyColor.store(MakeColor(static_cast<uint8_t>(chosen.red()), static_cast<uint8_t>(chosen.green()),
                                 static_cast<uint8_t>(chosen.blue())));
  PaintKeyColor();
}

void CSoundControlForm::SetLocked(bool locked) {
  const QSignalBlocker blocker(lockBox_);
  lockBox_->setChecked(locked);
  if (locked) {
    const QString name = sourceList_->currentText();
    lockBox_->setText(QString("%1 (%2)").arg(kLockCaption, name.left(kLockNameLimit)));
    sourceList_->setEnabled(false);
    lock_.Start(name.toStdString());
  } else {
    lock_.Stop();
    lockBox_->setText(kLockCaption);
    sourceList_->setEnabled(true);
  }
}

}  // namespace corvalind

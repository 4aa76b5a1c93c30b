#include "studio/forms/videofile_form.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>

#include "capture/media_toolkit.h"
#include "studio/forms/preview_widget.h"

namespace corvalind {

namespace {

// The bar runs over tenths of a percent of the file.
constexpr int kSeekBarRange = 1000;
constexpr int kPositionIntervalMs = 1000;

}  // namespace

CViewVideofileForm::CViewVideofileForm(int sourceId, QWidget* parent) : QWidget(parent), sourceId_(sourceId) {
  setObjectName("CViewVideofileForm");
  setWindowTitle("Video File");
  InitMediaToolkit();

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(8, 8, 8, 8);
  preview_ = MakeFormPreview(this);
  outer->addWidget(preview_, 0, Qt::AlignHCenter);

  seekBar_ = new QSlider(Qt::Horizontal, this);
  seekBar_->setObjectName("1003");
  seekBar_->setRange(0, kSeekBarRange);
  seekBar_->setPageStep(kSeekBarRange / 10);
  outer->addWidget(seekBar_);

  auto* buttons = new QHBoxLayout;
  auto* play = new QPushButton("Play", this);
  play->setObjectName("1004");
  auto* pause = new QPushButton("Pause", this);
  pause->setObjectName("1005");
  auto* stop = new QPushButton("Stop", this);
  stop->setObjectName("1006");
  buttons->addWidget(play);
  buttons->addWidget(pause);
  buttons->addWidget(stop);
  outer->addLayout(buttons);

  auto* lower = new QHBoxLayout;
  auto* browse = new QPushButton("Browse", this);
  browse->setObjectName("1009");
  soundBox_ = new QCheckBox("sound", this);
  soundBox_->setObjectName("1041");
  soundBox_->setChecked(false);
  lower->addWidget(browse);
  lower->addWidget(soundBox_);
  lower->addStretch(1);
  outer->addLayout(lower);
  outer->addStretch(1);

  connect(play, &QPushButton::clicked, this, &CViewVideofileForm::Play);
  connect(pause, &QPushButton::clicked, this, &CViewVideofileForm::Pause);
  connect(stop, &QPushButton::clicked, this, &CViewVideofileForm::Stop);
  connect(browse, &QPushButton::clicked, this, &CViewVideofileForm::Browse);
  // A drag seeks where it is let go; a click on the groove or a key seeks
  // where it moved the bar (the position is set, the value not yet).
  connect(seekBar_, &QSlider::sliderReleased, this, [this] { SeekToBar(seekBar_->value()); });
  connect(seekBar_, &QSlider::actionTriggered, this, [this](int action) {
    if (action == QAbstractSlider::SliderNoAction || action == QAbstractSlider::SliderMove) return;
    SeekToBar(seekBar_->sliderPosition());
  });

  timer_ = new QTimer(this);
  timer_->setInterval(kPositionIntervalMs);
  connect(timer_, &QTimer::timeout, this, &CViewVideofileForm::ShowPosition);
  timer_->start();
}

CViewVideofileForm::~CViewVideofileForm() {
  timer_->stop();
  if (source_) source_->Stop();
  source_.reset();
}

void CViewVideofileForm::ShowPosition() {
  // The user's hand on the bar wins over the playing position.
  if (!source_ || seekBar_->isSliderDown()) return;
  const QSignalBlocker blocker(seekBar_);
  seekBar_->setValue(10 * source_->PlayPercent());
}

void CViewVideofileForm::SeekToBar(int position) {
  if (source_) source_->SeekPercent(static_cast<float>(position / 10.0));
}

void CViewVideofileForm::LoadVideoFile(const QString& path) {
  if (source_) source_->Stop();
  source_.reset();
  // Numbers outside the slot table go to slot 255, which takes nothing.
  const auto slot = static_cast<uint8_t>(sourceId_ >= 0 && sourceId_ < SourceSlotCount ? sourceId_ : 255);
  source_ = std::make_unique<VideoFileSource>(slot, path.toStdString(), soundBox_->isChecked());
  source_->SetPreviewWindow(preview_);
  source_->Start();
  // The source keeps the path cut to its limit; the project keeps the same.
  path_ = QString::fromStdString(source_->Path());
  const QSignalBlocker blocker(seekBar_);
  seekBar_->setValue(0);
}

void CViewVideofileForm::Browse() {
  const QString start = path_.isEmpty() ? QString() : QFileInfo(path_).absolutePath();
  const QString path = QFileDialog::getOpenFileName(this, "Open", start, kVideoFileFilters);
  if (!path.isEmpty()) LoadVideoFile(path);
}

void CViewVideofileForm::Play() {
  if (source_) source_->Play();
}

void CViewVideofileForm::Pause() {
  if (source_) source_->Pause();
}

void CViewVideofileForm::Stop() {
  if (source_) source_->StopPlayback();
}

void CViewVideofileForm::SaveProjectElements(ProjectWindow& window) const {
  window.Set("DATA", path_.toStdString());
}

void CViewVideofileForm::RestoreProjectElements(const ProjectWindow& window) {
  if (auto path = window.Text("DATA"); path && !path->empty()) LoadVideoFile(QString::fromStdString(*path));
}

}  // namespace corvalind

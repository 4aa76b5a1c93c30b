#include "studio/forms/network_form.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/decimal.h"
#include "platform/frame_packet.h"
#include "studio/ui_bridge.h"

namespace corvalind {

namespace {

QLabel* MakeStatistic(const char* id, const char* initial, QWidget* parent) {
  auto* label = new QLabel(initial, parent);
  label->setObjectName(id);
  label->setMinimumWidth(label->fontMetrics().horizontalAdvance("0000000000 Mb"));
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return label;
}

}  // namespace

CViewNetworkForm::CViewNetworkForm(const OutputFormat& format, std::string bufferName, QWidget* parent)
    : QWidget(parent) {
  setObjectName("CViewNetworkForm");
  setWindowTitle("Network Transmitter");
  BuildUi();

  // The worker's calls come from its thread: boxes go through the bridge;
  // the rest is left in `pending_` under its lock and the form is asked,
  // through a queued call that carries nothing, to take it on the UI
  // thread (calls queued to a form that is gone are dropped with it).
  TransmitterHooks hooks;
  hooks.message = [](const std::string& text, const std::string& caption) {
    ShowStudioMessage(QString::fromStdString(text), QString::fromStdString(caption));
  };
  hooks.statistics = [this](const TransmitterStatistics& statistics) {
    {
      std::lock_guard<std::mutex> hold(pendingLock_);
      pending_.statistics = statistics;
    }
    QMetaObject::invokeMethod(this, "ApplyPending", Qt::QueuedConnection);
  };
  hooks.lastError = [this](int code) {
    {
      std::lock_guard<std::mutex> hold(pendingLock_);
      pending_.lastError = code;
    }
    QMetaObject::invokeMethod(this, "ApplyPending", Qt::QueuedConnection);
  };
  hooks.stoppedByError = [this] {
    {
      std::lock_guard<std::mutex> hold(pendingLock_);
      pending_.stoppedByError = true;
    }
    QMetaObject::invokeMethod(this, "ApplyPending", Qt::QueuedConnection);
  };
  transmitter_ = std::make_unique<NetworkTransmitter>(std::move(bufferName), format.frameBytes, format.frameRate,
                                                      format.frameIntervalMs, std::move(hooks));
}

CViewNetworkForm::~CViewNetworkForm() {
  // The worker may still post to this form: it is gone before the form is.
  transmitter_->Stop();
  transmitter_.reset();
}

void CViewNetworkForm::BuildUi() {
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(8, 8, 8, 8);

  auto* connection = new QGridLayout;
  outer->addLayout(connection);
  remoteIp_ = new QLineEdit(this);
  remoteIp_->setObjectName("1027");
  remoteIp_->setMaxLength(kRemoteHostLimit);
  remoteIp_->setPlaceholderText("host name or address");
  remotePort_ = new QLineEdit(QString::number(kDefaultNetworkPort), this);
  remotePort_->setObjectName("1028");
  remotePort_->setMaxLength(5);
  remotePort_->setValidator(new QIntValidator(0, 65535, remotePort_));
  udpSize_ = new QLineEdit("4096", this);
  udpSize_->setObjectName("1030");
  udpSize_->setMaxLength(5);
  udpSize_->setValidator(new QIntValidator(0, 65535, udpSize_));
  autoBox_ = new QCheckBox("Auto", this);
  autoBox_->setObjectName("1031");
  autoBox_->setChecked(true);
  tcpBox_ = new QCheckBox("TCP", this);
  tcpBox_->setObjectName("1037");
  compressBox_ = new QCheckBox("Compress", this);
  compressBox_->setObjectName("1034");
  startButton_ = new QPushButton("Start", this);
  startButton_->setObjectName("1029");

  connection->addWidget(new QLabel("Remote IP", this), 0, 0);
  connection->addWidget(remoteIp_, 0, 1, 1, 3);
  connection->addWidget(new QLabel("Remote Port", this), 1, 0);
  connection->addWidget(remotePort_, 1, 1);
  connection->addWidget(tcpBox_, 1, 2);
  connection->addWidget(compressBox_, 1, 3);
  connection->addWidget(new QLabel("UDP Size", this), 2, 0);
  connection->addWidget(udpSize_, 2, 1);
  connection->addWidget(autoBox_, 2, 2);
  connection->addWidget(startButton_, 2, 3);
  remoteIp_->setMinimumWidth(remoteIp_->fontMetrics().horizontalAdvance("0000:0000:0000:0000:0000"));

  auto* statistics = new QGroupBox("Statistics", this);
  auto* grid = new QGridLayout(statistics);
  totalFrames_ = MakeStatistic("1032", "0", statistics);
  totalData_ = MakeStatistic("1033", "0 Mb", statistics);
  lastError_ = MakeStatistic("1035", "0", statistics);
  compression_ = MakeStatistic("1036", "0", statistics);
  grid->addWidget(new QLabel("Total frames:", statistics), 0, 0);
  grid->addWidget(totalFrames_, 0, 1);
  grid->addWidget(new QLabel("Total video data:", statistics), 1, 0);
  grid->addWidget(totalData_, 1, 1);
  grid->addWidget(new QLabel("Last error code:", statistics), 2, 0);
  grid->addWidget(lastError_, 2, 1);
  grid->addWidget(new QLabel("Compression:", statistics), 3, 0);
  grid->addWidget(compression_, 3, 1);
  outer->addWidget(statistics);
  outer->addStretch(1);

  connect(tcpBox_, &QCheckBox::toggled, this, &CViewNetworkForm::UpdateEnabling);
  connect(autoBox_, &QCheckBox::toggled, this, &CViewNetworkForm::UpdateEnabling);
  connect(startButton_, &QPushButton::clicked, this, &CViewNetworkForm::ToggleSending);
  UpdateEnabling();
}

bool CViewNetworkForm::Sending() const { return transmitter_->Running(); }

void CViewNetworkForm::ToggleSending() {
  if (transmitter_->Running()) {
    StopSending();
  } else {
    StartSending();
  }
}

void CViewNetworkForm::StartSending() {
  TransmitterSettings settings;
  settings.host = remoteIp_->text().trimmed().left(kRemoteHostLimit).toStdString();
  settings.port = ParseDecimal(remotePort_->text().toStdString());
  settings.tcp = tcpBox_->isChecked();
  settings.autoSize = autoBox_->isChecked();
  settings.packetSize = ParseDecimal(udpSize_->text().toStdString());
  settings.compress = compressBox_->isChecked();
  startButton_->setText("Stop");
  transmitter_->Start(settings);
  UpdateEnabling();
}

void CViewNetworkForm::StopSending() {
  transmitter_->Stop();
  startButton_->setText("Start");
  UpdateEnabling();
}

void CViewNetworkForm::ApplyPending() {
  Pending taken;
  {
    std::lock_guard<std::mutex> hold(pendingLock_);
    taken = std::move(pending_);
    pending_ = Pending{};
  }
  if (taken.statistics) {
    totalFrames_->setText(QString::fromStdString(taken.statistics->totalFrames));
    totalData_->setText(QString::fromStdString(taken.statistics->totalVideoData));
    lastError_->setText(QString::fromStdString(taken.statistics->lastErrorCode));
    compression_->setText(QString::fromStdString(taken.statistics->compression));
  }
  if (taken.lastError) lastError_->setText(QString::number(*taken.lastError));
  if (taken.stoppedByError) ReturnToIdle();
}

void CViewNetworkForm::ReturnToIdle() {
  // A Start after the worker failed may already run a new one.
  if (transmitter_->Running()) return;
  startButton_->setText("Start");
  UpdateEnabling();
}

void CViewNetworkForm::UpdateEnabling() {
  const bool tcp = tcpBox_->isChecked();
  autoBox_->setEnabled(!tcp);
  udpSize_->setEnabled(!tcp && !autoBox_->isChecked());
  const bool idle = startButton_->text() == "Start";
  for (QWidget* control : std::initializer_list<QWidget*>{remoteIp_, remotePort_, compressBox_}) {
    control->setEnabled(idle);
  }
}

void CViewNetworkForm::SaveProjectElements(ProjectWindow& window) const {
  window.Set("DATA", remoteIp_->text().left(kRemoteHostLimit).toStdString());
}

void CViewNetworkForm::RestoreProjectElements(const ProjectWindow& window) {
  remoteIp_->setText(QString::fromStdString(window.Text("DATA").value_or(std::string())).left(kRemoteHostLimit));
}

}  // namespace corvalind

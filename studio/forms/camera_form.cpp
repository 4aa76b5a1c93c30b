#include "studio/forms/camera_form.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <vector>

#include "studio/forms/capture_mode_dialog.h"
#include "studio/forms/preview_widget.h"
#include "studio/forms/property_dialog.h"
#include "studio/ui_mailbox.h"

namespace corvalind {

namespace {

constexpr DeviceCategory kCategory = DeviceCategory::kVideoInput;

// The device name of a numbered entry ("3) Name" gives "Name"). The
// counter holds digits only, so the first ") " ends it.
QString NameOfEntry(const QString& entry) {
  const int end = entry.indexOf(") ");
  return end < 0 ? entry : entry.mid(end + 2);
}

}  // namespace

CViewCameraForm::CViewCameraForm(int sourceId, QWidget* parent) : QWidget(parent), sourceId_(sourceId) {
  setObjectName("CViewCameraForm");
  setWindowTitle("Video Camera");
  InitMediaToolkit();  // the list needs the device monitor; a no-op once done
  BuildUi();
  // Watching starts before the first fill, so a device that comes in
  // between still refills the list. Bursts of changes make one refill.
  mailbox_ = new UiMailbox(this);
  watch_ = std::make_unique<DeviceWatch>(kCategory, [this] {
    if (refillQueued_.exchange(true)) return;
    mailbox_->Post([this] {
      refillQueued_ = false;
      RefillDeviceList();
    });
  });
  RefillDeviceList();
}

CViewCameraForm::~CViewCameraForm() {
  // No refill is queued after the watch has joined; one already queued is
  // dropped with the form.
  watch_.reset();
  // The worker draws into the preview and posts mode texts to the form.
  if (source_) source_->Stop();
  source_.reset();
}

void CViewCameraForm::BuildUi() {
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(8, 8, 8, 8);
  deviceList_ = new QComboBox(this);
  deviceList_->setObjectName("1000");
  deviceList_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  deviceList_->setMinimumContentsLength(24);
  outer->addWidget(deviceList_);

  auto* row = new QHBoxLayout;
  preview_ = MakeFormPreview(this);
  row->addWidget(preview_, 0, Qt::AlignTop);
  auto* column = new QVBoxLayout;
  deinterlaceBox_ = new QCheckBox("Deinterlace", this);
  deinterlaceBox_->setObjectName("1041");
  auto* config = new QPushButton("Config", this);
  config->setObjectName("1001");
  auto* mode = new QPushButton("Mode", this);
  mode->setObjectName("1003");
  column->addWidget(deinterlaceBox_);
  column->addWidget(config);
  column->addWidget(mode);
  column->addStretch();
  row->addLayout(column);
  outer->addLayout(row);

  modeLabel_ = new QLabel(kNoVideoModeText, this);
  modeLabel_->setObjectName("1064");
  outer->addWidget(modeLabel_);

  // `activated` is the user's choice only: refilling or restoring the list
  // selects entries without starting anything.
  connect(deviceList_, qOverload<int>(&QComboBox::activated), this, [this](int) { ActivateCamera(); });
  connect(deinterlaceBox_, &QCheckBox::toggled, this, [this](bool on) {
    deinterlace_ = on;
    if (source_) source_->SetDeinterlace(on);
  });
  connect(config, &QPushButton::clicked, this, &CViewCameraForm::ConfigureDevice);
  connect(mode, &QPushButton::clicked, this, &CViewCameraForm::ChooseMode);
}

void CViewCameraForm::RefillDeviceList() { ShowDevices(FillDeviceList(kCategory, true)); }

void CViewCameraForm::ShowDevices(const std::vector<std::string>& entries) {
  const QSignalBlocker blocker(deviceList_);
  deviceList_->clear();
  for (const std::string& entry : entries) deviceList_->addItem(QString::fromStdString(entry));

  // The chosen device by name; of two devices with that name, the one
  // still at the chosen index.
  int keep = -1;
  if (!selectedName_.isEmpty()) {
    for (int position = 0; position < deviceList_->count(); ++position) {
      if (NameOfEntry(deviceList_->itemText(position)) != selectedName_) continue;
      if (keep < 0) keep = position;
      if (DeviceIndexOfListPosition(kCategory, position) == deviceIndex_) {
        keep = position;
        break;
      }
    }
  }
  deviceList_->setCurrentIndex(keep);
  // A device that moved in the list (one before it went) is saved at its
  // new index. A device that went keeps its index for the project.
  if (keep >= 0) {
    const int index = DeviceIndexOfListPosition(kCategory, keep);
    if (index >= 0) deviceIndex_ = index;
  }
}

bool CViewCameraForm::TakeSelectedDevice() {
  const int position = deviceList_->currentIndex();
  if (position < 0) return false;
  const int index = DeviceIndexOfListPosition(kCategory, position);
  if (index < 0) return false;  // the list is older than the devices
  deviceIndex_ = index;
  selectedName_ = NameOfEntry(deviceList_->itemText(position));
  return true;
}

CameraRequest CViewCameraForm::FormRequest() const {
  CameraRequest request;
  request.deviceIndex = deviceIndex_;
  request.width = width_;
  request.height = height_;
  request.frameDuration = frameDuration_;
  request.crossbarInput = crossbarInput_;
  request.tunerChannel = tunerChannel_;
  return request;
}

void CViewCameraForm::StartCamera(const CameraRequest& request) {
  // Stop waits for the worker, so the old graph is gone before the new
  // one is built: one form never runs two devices.
  if (source_) source_->Stop();
  source_.reset();
  const uint64_t generation = ++generation_;
  modeLabel_->setText(kNoVideoModeText);
  // Numbers outside the slot table go to slot 255, which takes nothing.
  const auto slot = static_cast<uint8_t>(sourceId_ >= 0 && sourceId_ < SourceSlotCount ? sourceId_ : 255);
  source_ = std::make_unique<CameraSource>(slot, request);
  source_->SetPreviewWindow(preview_);
  source_->SetModeLabel([this, generation](const std::string& text) {
    // From the worker: the label is set on the UI thread.
    mailbox_->Post([this, generation, label = QString::fromStdString(text)] {
      if (generation == generation_) modeLabel_->setText(label);
    });
  });
  source_->SetDeinterlace(deinterlaceBox_->isChecked());
  source_->Start();
}

void CViewCameraForm::ActivateCamera() {
  if (!TakeSelectedDevice()) return;
  StartCamera(FormRequest());
}

void CViewCameraForm::ChooseMode() {
  if (!TakeSelectedDevice()) return;
  CameraRequest request = FormRequest();
  if (source_) {
    // The mode it runs in: negotiated size and rate when known, else what
    // it was asked for.
    const CameraRequest& running = source_->Request();
    request.width = running.width;
    request.height = running.height;
    request.frameDuration = running.frameDuration;
    request.chosenCaps = running.chosenCaps;
    const int width = source_->Width();
    const int height = source_->Height();
    const int32_t frameDuration = source_->ActualFrameDuration();
    if (width > 0 && height > 0) {
      request.width = width;
      request.height = height;
      request.chosenCaps.clear();
    }
    if (frameDuration > 0) request.frameDuration = frameDuration;
    // Asked here, before the old source stops, rather than by the worker:
    // Stop waits for the worker, which must never wait on a dialog.
    const std::vector<CaptureCapability> capabilities = source_->Capabilities();
    if (!capabilities.empty()) {
      CaptureModeDialog dialog(capabilities, width, height, frameDuration, this);
      if (dialog.exec() == QDialog::Accepted && dialog.Chosen() != nullptr) {
        request.width = 0;
        request.height = 0;
        request.chosenCaps = dialog.Chosen()->caps;
      }
    }
  }
  StartCamera(request);
}

void CViewCameraForm::ConfigureDevice() {
  if (!source_) return;
  // The pages belong to this source; should it be replaced while a dialog
  // is open, the rest is left out.
  CameraSource* const source = source_.get();
  {
    const std::unique_ptr<PropertyPage> page = source->DevicePage();
    PropertyDialog::ShowFor(page.get(), this);
  }
  if (source_.get() != source) return;
  if (const std::unique_ptr<PropertyPage> page = source->CrossbarPage()) {
    PropertyDialog::ShowFor(page.get(), this);
  }
  if (source_.get() != source) return;
  if (const std::unique_ptr<PropertyPage> page = source->TunerPage()) {
    PropertyDialog::ShowFor(page.get(), this);
  }
  if (source_.get() != source) return;
  // The next activation routes and tunes as the user left it.
  crossbarInput_ = source->CurrentCrossbarInput();
  tunerChannel_ = source->CurrentTunerChannel();
}

void CViewCameraForm::RestoreCamera(int deviceIndex, int crossbarInput, int tunerChannel, bool deinterlace,
                                    int width, int height, int32_t frameDuration) {
  deviceIndex_ = deviceIndex;
  crossbarInput_ = crossbarInput;
  tunerChannel_ = tunerChannel;
  if (width > 0 && height > 0) {
    width_ = width;
    height_ = height;
  } else {
    width_ = height_ = 0;  // the device's own mode
  }
  frameDuration_ = frameDuration > 0 ? frameDuration : kDefaultFrameDuration;
  const int position = deviceIndex >= 0 ? ListPositionOfDevice(kCategory, deviceIndex) : -1;
  {
    const QSignalBlocker blocker(deviceList_);
    deviceList_->setCurrentIndex(position < deviceList_->count() ? position : -1);
  }
  deinterlaceBox_->setChecked(deinterlace);
  deinterlace_ = deinterlace;
  ActivateCamera();
}

void CViewCameraForm::SaveProjectElements(ProjectWindow& window) const {
  window.Set("DATA", deviceIndex_);
  window.Set("PARAM1", crossbarInput_);
  window.Set("PARAM2", tunerChannel_);
  window.Set("PARAM3", deinterlace_ ? 1 : 0);
  int width = 640;
  int height = 480;
  int32_t frameDuration = kDefaultFrameDuration;
  if (source_) {
    // What the source uses: the negotiated mode once known, else what it
    // was asked for.
    const CameraRequest& request = source_->Request();
    width = request.width;
    height = request.height;
    frameDuration = request.frameDuration;
    if (source_->Width() > 0 && source_->Height() > 0) {
      width = source_->Width();
      height = source_->Height();
    }
    if (source_->ActualFrameDuration() > 0) frameDuration = source_->ActualFrameDuration();
  }
  window.Set("WIDTH", width);
  window.Set("HEIGHT", height);
  window.Set("FPS", frameDuration);
}

void CViewCameraForm::RestoreProjectElements(const ProjectWindow& window) {
  RestoreCamera(window.Number("DATA", -1), window.Number("PARAM1", 0), window.Number("PARAM2", 0),
                window.Number("PARAM3", 0) != 0, window.Number("WIDTH", 640), window.Number("HEIGHT", 480),
                window.Number("FPS", kDefaultFrameDuration));
}

}  // namespace corvalind

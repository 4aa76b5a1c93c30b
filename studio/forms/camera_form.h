// The "Video Camera" source window: a numbered list of the capture
// devices, a 200 x 150 preview, "Deinterlace", "Config" (the device's,
// crossbar's and tuner's property dialogs), "Mode" (the capture format)
// and a label with the mode the device runs in.
//
// Every choice of a device makes a new CameraSource for the window's slot;
// the form keeps what survives a device change (device index, crossbar
// input, tuner channel, requested size and frame duration, Deinterlace).
// While the form lives it watches the devices: the list follows devices
// that come and go, keeping the chosen one selected, without activating
// anything. UI thread only.
#pragma once

#include <QString>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/camera_source.h"
#include "capture/media_toolkit.h"
#include "studio/forms/window_form.h"

class QCheckBox;
class QComboBox;
class QLabel;

namespace corvalind {

class PreviewWidget;
class UiMailbox;

inline constexpr const char* kNoVideoModeText = "Video mode: none";

class CViewCameraForm : public QWidget, public WindowForm {
  Q_OBJECT
 public:
  // `sourceId` is the slot (0..9) the frames go to. The device list is
  // filled; no device is activated until one is chosen (or restored).
  explicit CViewCameraForm(int sourceId, QWidget* parent = nullptr);
  // Stops the source before the preview it draws into goes.
  ~CViewCameraForm() override;

  // The list entry selected now: its device replaces the running source.
  // Nothing happens without a selection.
  void ActivateCamera();
  // The Mode button: asks for a capture format of the running device (the
  // "Video Output" dialog) and reopens it in the chosen one; cancelled, it
  // reopens at the size and rate it runs at. Without a source, as
  // ActivateCamera.
  void ChooseMode();
  // The Config button: the "Video Device", "Crossbar" and "Tuner" property
  // dialogs of the running source (those it has), then keeps the routed
  // input and tuned channel for the next activation.
  void ConfigureDevice();
  // A saved set-up: stores the values, selects the device's entry, sets
  // the Deinterlace box and activates. A width or height of 0 or less
  // asks for the device's own mode.
  void RestoreCamera(int deviceIndex, int crossbarInput, int tunerChannel, bool deinterlace, int width,
                     int height, int32_t frameDuration);
  // Fills the list anew, keeping the selection on the same device (by
  // name) when it is still there; never activates.
  void RefillDeviceList();

  // DATA device index, PARAM1 crossbar input, PARAM2 tuner channel,
  // PARAM3 deinterlace, WIDTH, HEIGHT, FPS (the frame duration).
  void SaveProjectElements(ProjectWindow& window) const override;
  void RestoreProjectElements(const ProjectWindow& window) override;

  int DeviceIndex() const { return deviceIndex_; }
  int CrossbarInput() const { return crossbarInput_; }
  int TunerChannel() const { return tunerChannel_; }
  bool DeinterlaceOn() const { return deinterlace_; }
  int RequestedWidth() const { return width_; }
  int RequestedHeight() const { return height_; }
  int32_t RequestedFrameDuration() const { return frameDuration_; }

  // The running source, or null before the first activation.
  CameraSource* Source() const { return source_.get(); }
  QComboBox* DeviceList() const { return deviceList_; }
  QLabel* ModeLabel() const { return modeLabel_; }
  QCheckBox* DeinterlaceBox() const { return deinterlaceBox_; }
  PreviewWidget* Preview() const { return preview_; }

 private:
  void BuildUi();
  // Takes the device of the selected entry; false without one.
  bool TakeSelectedDevice();
  void ShowDevices(const std::vector<std::string>& entries);
  CameraRequest FormRequest() const;
  // Stops and destroys the running source and starts one for `request`.
  void StartCamera(const CameraRequest& request);

  const int sourceId_;
  int deviceIndex_ = -1;
  int crossbarInput_ = 0;
  int tunerChannel_ = 0;
  int width_ = 640;
  int height_ = 480;
  int32_t frameDuration_ = kDefaultFrameDuration;
  bool deinterlace_ = false;
  // The name of the chosen device, so the list keeps it through hot-plug.
  QString selectedName_;
  // Counts the sources made: a mode text still on its way from a source
  // that was replaced is dropped.
  uint64_t generation_ = 0;
  // A refill is on its way to the UI thread (set by the watch's thread).
  std::atomic<bool> refillQueued_{false};
  // What the watch's and the camera's threads hand to the UI thread; a
  // child, so it goes after the destructor has stopped both.
  UiMailbox* mailbox_ = nullptr;

  std::unique_ptr<CameraSource> source_;
  std::unique_ptr<DeviceWatch> watch_;

  QComboBox* deviceList_ = nullptr;
  PreviewWidget* preview_ = nullptr;
  QCheckBox* deinterlaceBox_ = nullptr;
  QLabel* modeLabel_ = nullptr;
};

}  // namespace corvalind

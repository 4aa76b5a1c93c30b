// A camera source: live pictures from a capture device (a webcam, a capture
// card, an analog tuner card), delivered one by one into a source slot.
//
// `CameraSource` is made afresh every time a device is activated. It owns a
// capture graph and a worker thread that builds the graph, chooses the
// mode, routes the analog input, runs the graph and then pumps frames: it
// asks the grabber for one frame, waits for it (1 ms polls), line-doubles it
// when deinterlacing, delivers it and draws the preview before asking for
// the next, so a slow consumer lowers the rate instead of queueing frames.
//
// Status-line texts:
//   "Cannot PrepareGraph(). Check your settings!"   no graph could be made
//   "Cannot find capture device. Check your settings!"  no device at the index
//   "Error configuring capture device! Trying default mode..."
//   "Error configuring capture device ( default mode)!"
//   "Cannot create graph!"                          the device cannot be played
//   "Cannot RUN graph!"                             the graph does not run
//   "Camera activation was successful."             frames flow
//   "Capture device stopped: <reason>"              the device went away or
//                                                   failed while running
//
// Threads: construction, Start, Stop and destruction on the owner's thread
// (the form's UI thread); SetDeinterlace from any thread. The worker calls
// the status and mode callbacks. Stop waits for the worker, also while it
// is still building the graph, so a graph is never torn down under it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "capture/media_toolkit.h"
#include "engine/preview.h"
#include "engine/source_slot.h"

namespace corvalind {

// 25 frames per second in 100-ns units.
inline constexpr int32_t kDefaultFrameDuration = 400000;

struct CameraRequest {
  int deviceIndex = -1;
  // Positive: the wanted size. Otherwise the mode is `chosenCaps` (what the
  // user picked in the mode dialog), or the device's own when that is empty.
  int width = 640;
  int height = 480;
  int32_t frameDuration = kDefaultFrameDuration;
  std::string chosenCaps;
  int crossbarInput = 0;
  int tunerChannel = 0;  // negative: leave the tuner alone
};

class CameraSource {
 public:
  CameraSource(uint8_t slot, const CameraRequest& request, FrameDeliveryFunc deliver = &DeliverFrame);
  ~CameraSource();
  CameraSource(const CameraSource&) = delete;
  CameraSource& operator=(const CameraSource&) = delete;

  // Set before Start; each must outlive the worker.
  void SetPreviewWindow(PreviewTarget* preview) { preview_ = preview; }
  // The status label's text ("%dx%d %.2f"), from the worker.
  void SetModeLabel(std::function<void(const std::string&)> label) { modeLabel_ = std::move(label); }
  // Where status-line texts go (SetStatusText unless replaced).
  void SetStatusSink(std::function<void(const std::string&)> sink) { status_ = std::move(sink); }

  // Starts the worker unless it was started.
  void Start();
  // Stops the pump, waits for the worker and tears the graph down.
  void Stop();

  void SetDeinterlace(bool on) { deinterlace_.store(on); }
  bool Deinterlace() const { return deinterlace_.load(); }

  bool ThreadStarted() const { return threadStarted_; }
  bool Activated() const { return activated_.load(); }
  bool Running() const { return running_.load(); }
  // The worker has ended (or never started).
  bool Finished() const { return finished_.load(); }
  // Negotiated size and frame duration; 0 until known.
  int Width() const { return width_.load(); }
  int Height() const { return height_.load(); }
  int32_t ActualFrameDuration() const { return actualFrameDuration_.load(); }
  uint64_t FramesDelivered() const { return framesDelivered_.load(); }
  // When the last delivered picture was due on the graph's clock
  // (monotonic nanoseconds), or -1; written before it is delivered.
  int64_t LastFrameClockNs() const { return lastFrameClockNs_.load(); }
  const CameraRequest& Request() const { return request_; }
  uint8_t Slot() const { return slot_; }

  // The crossbar input routed to video output 0 and the tuner channel of
  // the running graph (0 without them), and the pages of the device, its
  // crossbar and tuner; UI thread, while the source exists.
  int CurrentCrossbarInput() const;
  int CurrentTunerChannel() const;
  std::unique_ptr<PropertyPage> DevicePage() const;
  std::unique_ptr<PropertyPage> CrossbarPage() const;
  std::unique_ptr<PropertyPage> TunerPage() const;
  // The capabilities of the source's device (empty until it was found).
  std::vector<CaptureCapability> Capabilities() const;

 private:
  void Worker();
  void Pump();
  void Status(const std::string& text) const;

  const uint8_t slot_;
  const CameraRequest request_;
  FrameDeliveryFunc deliver_;
  PreviewTarget* preview_ = nullptr;
  std::function<void(const std::string&)> modeLabel_;
  std::function<void(const std::string&)> status_;

  std::atomic<bool> stop_{false};  // set by Stop; the worker and its waits end
  std::atomic<bool> running_{false};
  std::atomic<bool> activated_{false};
  std::atomic<bool> finished_{true};
  std::atomic<bool> deinterlace_{false};
  bool threadStarted_ = false;
  std::atomic<int> width_{0};
  std::atomic<int> height_{0};
  std::atomic<int32_t> actualFrameDuration_{0};
  std::atomic<uint64_t> framesDelivered_{0};
  std::atomic<int64_t> lastFrameClockNs_{-1};

  // Written by the worker before `built_` is set; read by the UI thread
  // only after it saw `built_` (and before Stop tears them down).
  std::shared_ptr<MediaDevice> device_;
  std::unique_ptr<MediaGraph> graph_;
  std::shared_ptr<Crossbar> crossbar_;
  std::shared_ptr<Tuner> tuner_;
  std::atomic<bool> built_{false};

  GrabHandshake grab_;
  std::thread thread_;
};

}  // namespace corvalind

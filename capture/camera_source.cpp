#include "capture/camera_source.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "engine/messages.h"

namespace corvalind {

namespace {

constexpr auto kPoll = std::chrono::milliseconds(1);
// Polls between looks at whether the device stopped.
constexpr int kPollsPerCheck = 500;

}  // namespace

CameraSource::CameraSource(uint8_t slot, const CameraRequest& request, FrameDeliveryFunc deliver)
    : slot_(slot), request_(request), deliver_(deliver ? deliver : &DeliverFrame) {}

CameraSource::~CameraSource() { Stop(); }

void CameraSource::Status(const std::string& text) const {
  if (status_) {
    status_(text);
  } else {
    SetStatusText(text);
  }
}

void CameraSource::Start() {
  if (threadStarted_) return;
  threadStarted_ = true;
  stop_.store(false);
  finished_.store(false);
  thread_ = std::thread([this] { Worker(); });
}

void CameraSource::Stop() {
  // Waiting for the worker, also while it still builds the graph, is what
  // keeps the graph from being torn down under it.
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  threadStarted_ = false;
  activated_.store(false);
  built_.store(false);
  crossbar_.reset();
  tuner_.reset();
  if (graph_) graph_->RemoveAllFilters();
  graph_.reset();
  device_.reset();
}

void CameraSource::Worker() {
  struct Done {
    CameraSource* source;
    ~Done() {
      source->running_.store(false);
      source->finished_.store(true);
    }
  } done{this};

  std::unique_ptr<MediaGraph> graph = MediaGraph::Create(/*wantPosition=*/false);
  if (!graph) {
    Status("Cannot PrepareGraph(). Check your settings!");
    return;
  }
  activated_.store(false);
  std::shared_ptr<MediaDevice> device = FindDeviceByIndex(DeviceCategory::kVideoInput, request_.deviceIndex);
  if (!device) {
    Status("Cannot find capture device. Check your settings!");
    return;
  }

  std::string caps;
  if (request_.width > 0 && request_.height > 0) {
    caps = SetCaptureFormat(*device, request_.width, request_.height, 0, false, request_.frameDuration);
    if (caps.empty()) {
      Status("Error configuring capture device! Trying default mode...");
      caps = SetCaptureFormat(*device, request_.width, request_.height, 0, true, request_.frameDuration);
      if (caps.empty()) Status("Error configuring capture device ( default mode)!");
    }
  } else if (!request_.chosenCaps.empty() && device->Accepts(request_.chosenCaps)) {
    caps = request_.chosenCaps;  // the mode the user picked
  } else if (request_.width < 0 && request_.height < 0) {
    caps = SetCaptureFormat(*device, -request_.width, -request_.height, 0, false, request_.frameDuration);
  }
  if (stop_.load()) return;

  if (graph->BuildCapture(*device, caps, &grab_) != MediaGraph::BuildResult::kBuilt) {
    Status("Cannot create graph!");
    graph_ = std::move(graph);  // torn down by Stop, after the worker
    return;
  }
  std::shared_ptr<Crossbar> crossbar = graph->FindCrossbar();
  if (crossbar) RouteCrossbar(*crossbar, request_.crossbarInput, 0, /*routeRelated=*/true);
  std::shared_ptr<Tuner> tuner = graph->FindTuner();
  if (tuner && request_.tunerChannel >= 0) tuner->SetChannel(request_.tunerChannel);
  graph->SetAnalogStandardPalB();

  device_ = std::move(device);
  crossbar_ = std::move(crossbar);
  tuner_ = std::move(tuner);
  graph_ = std::move(graph);
  built_.store(true);

  if (stop_.load()) return;
  // The first picture comes the moment the graph runs: it is asked for
  // already, so it is not lost.
  grab_.Request();
  if (!graph_->Run(&stop_)) {
    if (!stop_.load()) Status("Cannot RUN graph!");
    return;
  }
  Status("Camera activation was successful.");
  activated_.store(true);
  running_.store(true);
  Pump();
}

void CameraSource::Pump() {
  int shownWidth = -1;
  int shownHeight = -1;
  int polls = 0;
  // The first request went out before the graph ran; each later one
  // after the picture before it was handed on.
  for (bool first = true; !stop_.load(); first = false) {
    if (!first) grab_.Request();
    while (grab_.Pending()) {
      if (stop_.load()) {
        grab_.Cancel();
        return;
      }
      std::this_thread::sleep_for(kPoll);
      if (++polls >= kPollsPerCheck) {
        polls = 0;
        // A camera that was unplugged or failed sends nothing more: say so
        // once and end; the slot keeps its last picture.
        if (graph_->Finished()) {
          grab_.Cancel();
          const std::string reason = graph_->LastError();
          Status("Capture device stopped: " + (reason.empty() ? std::string("the stream ended") : reason));
          return;
        }
      }
    }
    const uint8_t* buffer = grab_.Buffer();
    if (!buffer) continue;  // the copy could not be allocated
    const int width = grab_.Width();
    const int height = grab_.Height();
    if (width != shownWidth || height != shownHeight) {
      shownWidth = width;
      shownHeight = height;
      const MediaGraph::VideoFormat format = graph_->NegotiatedFormat();
      width_.store(width);
      height_.store(height);
      actualFrameDuration_.store(static_cast<int32_t>(format.frameDuration));
      const double fps = format.frameDuration > 0 ? 10000000.0 / static_cast<double>(format.frameDuration) : 0.0;
      char label[101];
      std::snprintf(label, sizeof label, "%dx%d %.2f", width, height, fps);
      if (modeLabel_) modeLabel_(label);
    }
    if (deinterlace_.load()) DeinterlaceRows(grab_.MutableBuffer(), width, height);
    lastFrameClockNs_.store(grab_.ClockTimeNs());
    deliver_(false, slot_, buffer, grab_.Length(), width, height);
    framesDelivered_.fetch_add(1);
    DrawFramePreview(buffer, width, height, preview_, 200, 150);
  }
}

int CameraSource::CurrentCrossbarInput() const {
  if (!built_.load() || !crossbar_) return 0;
  return std::max(0, crossbar_->RoutedTo(0));
}

int CameraSource::CurrentTunerChannel() const {
  if (!built_.load() || !tuner_) return 0;
  return tuner_->Channel();
}

std::unique_ptr<PropertyPage> CameraSource::DevicePage() const {
  return built_.load() && graph_ ? graph_->DevicePage() : nullptr;
}

std::unique_ptr<PropertyPage> CameraSource::CrossbarPage() const {
  return built_.load() ? MakeCrossbarPage(crossbar_) : nullptr;
}

std::unique_ptr<PropertyPage> CameraSource::TunerPage() const {
  return built_.load() ? MakeTunerPage(tuner_) : nullptr;
}

std::vector<CaptureCapability> CameraSource::Capabilities() const {
  // The bound device once the graph is built (an index may name another
  // device after a hot-plug); before that, the device at the index.
  std::shared_ptr<MediaDevice> device =
      built_.load() ? device_ : FindDeviceByIndex(DeviceCategory::kVideoInput, request_.deviceIndex);
  return device ? device->Capabilities() : std::vector<CaptureCapability>{};
}

}  // namespace corvalind

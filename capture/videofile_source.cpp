#include "capture/videofile_source.h"

#include <chrono>

#include "engine/messages.h"

namespace corvalind {

namespace {

constexpr auto kPoll = std::chrono::milliseconds(1);
// Polls between looks at whether the file ended.
constexpr int kPollsPerCheck = 500;

}  // namespace

VideoFileSource::VideoFileSource(uint8_t slot, std::string path, bool sound, FrameDeliveryFunc deliver)
    : slot_(slot), path_(CutUtf8(std::move(path), kVideoPathLimit)), sound_(sound), deliver_(deliver ? deliver : &DeliverFrame) {}

VideoFileSource::~VideoFileSource() { Stop(); }

void VideoFileSource::Status(const std::string& text) const {
  if (status_) {
    status_(text);
  } else {
    SetStatusText(text);
  }
}

void VideoFileSource::Start() {
  if (threadStarted_) return;
  threadStarted_ = true;
  stop_.store(false);
  finished_.store(false);
  thread_ = std::thread([this] { Worker(); });
}

void VideoFileSource::Stop() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  threadStarted_ = false;
  activated_.store(false);
  built_.store(false);
  if (graph_) graph_->RemoveAllFilters();
  graph_.reset();
}

void VideoFileSource::Worker() {
  struct Done {
    VideoFileSource* source;
    ~Done() {
      source->running_.store(false);
      source->finished_.store(true);
    }
  } done{this};

  std::unique_ptr<MediaGraph> graph = MediaGraph::Create(/*wantPosition=*/true);
  if (!graph) {
    Status("Cannot PrepareGraph()!");
    return;
  }
  activated_.store(false);
  const MediaGraph::BuildResult built = graph->BuildFile(path_, sound_, &grab_, stop_);
  switch (built) {
    case MediaGraph::BuildResult::kBuilt:
      break;
    case MediaGraph::BuildResult::kNoVideo:
      Status("Cannot find video renderer.");
      break;
    case MediaGraph::BuildResult::kNoGrabber:
      Status("Cannot find CLSID_SampleGrabber");
      break;
    case MediaGraph::BuildResult::kStopped:
      break;
    default:
      Status(path_);
      Status("Cannot RenderFile. Check filename!");
      break;
  }
  if (built != MediaGraph::BuildResult::kBuilt) {
    graph_ = std::move(graph);  // torn down by Stop, after the worker
    return;
  }
  const MediaGraph::VideoFormat format = graph->NegotiatedFormat();
  width_.store(format.width);
  height_.store(format.height);
  graph_ = std::move(graph);
  built_.store(true);

  if (stop_.load()) return;
  // The first picture comes the moment the graph runs: it is asked for
  // already, so it is not lost.
  grab_.Request();
  if (!graph_->Run(&stop_)) {
    if (!stop_.load()) Status("Cannot Run() graph");
    return;
  }
  activated_.store(true);
  running_.store(true);
  Pump();
}

void VideoFileSource::Pump() {
  int polls = kPollsPerCheck;  // carried across frames
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
      if (--polls <= 0) {
        // At the end (or after an error) the file starts again; a paused
        // or stopped graph reports nothing, so it stays where it is.
        if (graph_->Finished()) {
          graph_->Stop();
          graph_->SetPosition(0);
          graph_->Run(&stop_);
          loops_.fetch_add(1);
        }
        polls = kPollsPerCheck;
      }
    }
    uint8_t* buffer = grab_.MutableBuffer();
    if (!buffer) continue;
    const int width = grab_.Width();
    const int height = grab_.Height();
    const uint32_t length = CompactRows(buffer, grab_.Length(), width, height);
    width_.store(width);
    height_.store(height);
    lastFrameTime_.store(grab_.SampleTime());
    deliver_(false, slot_, buffer, length, width, height);
    framesDelivered_.fetch_add(1);
    DrawFramePreview(buffer, width, height, preview_, 200, 150);
  }
}

void VideoFileSource::Play() {
  if (built_.load()) graph_->Play();
}

void VideoFileSource::Pause() {
  if (built_.load()) graph_->Pause();
}

void VideoFileSource::StopPlayback() {
  if (!built_.load()) return;
  graph_->Stop();
  graph_->SetPosition(0);
}

int VideoFileSource::PlayPercent() const {
  if (!built_.load()) return 0;
  const double duration = graph_->Duration();
  if (duration <= 0) return 0;
  return static_cast<int>(graph_->Position() / duration * 100.0);
}

void VideoFileSource::SeekPercent(float percent) {
  if (!built_.load()) return;
  const double duration = graph_->Duration();
  if (duration <= 0) return;
  graph_->SetPosition(static_cast<double>(percent) * duration / 100.0);
}

double VideoFileSource::LastFrameTime() const { return lastFrameTime_.load(); }

std::vector<std::string> VideoFileSource::GraphElements() const {
  return built_.load() ? graph_->ElementFactories() : std::vector<std::string>{};
}

}  // namespace corvalind

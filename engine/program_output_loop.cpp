#include "engine/program_output_loop.h"

#include "engine/messages.h"
#include "engine/video_engine.h"

namespace corvalind {

ProgramOutputLoop::ProgramOutputLoop(const OutputFormat& format,
                                     std::unique_ptr<ProgramOutputTarget> target,
                                     VideoEngine* engine, OutputLoopTiming timing)
    : format_(format), target_(std::move(target)), engine_(engine), timing_(timing) {
  thread_ = std::thread(&ProgramOutputLoop::Run, this);
}

ProgramOutputLoop::~ProgramOutputLoop() {
  {
    std::lock_guard<std::mutex> guard(stopMutex_);
    stopRequested_ = true;
  }
  running_ = false;
  stopWake_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (target_) target_->Release();
}

void ProgramOutputLoop::SetPreview(PreviewTarget* target, int previewWidth, int previewHeight) {
  std::lock_guard<std::mutex> guard(previewMutex_);
  preview_ = target;
  previewWidth_ = previewWidth;
  previewHeight_ = previewHeight;
}

bool ProgramOutputLoop::Pause(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(stopMutex_);
  return !stopWake_.wait_for(lock, duration, [this] { return stopRequested_; });
}

void ProgramOutputLoop::Run() {
  alive_ = true;
  // The block may not be available at once (another studio is shutting
  // down, the system refuses): try for about ten seconds. A stop request
  // ends the attempts too, so closing the view never waits for them.
  bool ready = false;
  std::string reason;
  for (int attempt = 0; attempt < timing_.setupAttempts && !ready; ++attempt) {
    if (!Pause(timing_.setupInterval)) break;
    ready = target_ && target_->Setup(&reason);
  }
  if (!ready) {
    bool stopping = false;
    {
      std::lock_guard<std::mutex> guard(stopMutex_);
      stopping = stopRequested_;
    }
    if (!stopping) SetStatusText(kOutputSetupFailedText);
    alive_ = false;
    return;
  }
  publishing_ = true;
  {
    std::lock_guard<std::mutex> guard(outputLock_);
    programFrame_.assign(static_cast<std::size_t>(format_.frameBytes) + 1, 0);
  }
  uint8_t counter = 0;
  running_ = true;
  {
    // A stop that came during set-up wins over the start.
    std::lock_guard<std::mutex> guard(stopMutex_);
    if (stopRequested_) running_ = false;
  }
  while (running_.load()) {
    if (!Pause(timing_.pollInterval)) break;
    Poll(counter);
    polls_.fetch_add(1);
  }
  running_ = false;
  alive_ = false;
}

void ProgramOutputLoop::Poll(uint8_t& counter) {
  if (!engine_) return;
  const auto start = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> guard(outputLock_);
  if (!engine_->ComposeProgramFrame(programFrame_.data(), format_.frameBytes)) return;
  {
    std::lock_guard<std::mutex> previewGuard(previewMutex_);
    DrawFramePreview(programFrame_.data(), format_.outputWidth, format_.outputHeight, preview_,
                     previewWidth_, previewHeight_);
  }
  ++counter;
  target_->Publish(programFrame_.data(), format_.frameBytes, counter);
  published_.fetch_add(1);
  if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(format_.frameIntervalMs)) late_.fetch_add(1);
}

}  // namespace corvalind

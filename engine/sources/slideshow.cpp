#include "engine/sources/slideshow.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "engine/sources/image_layer.h"

namespace corvalind {

SlideshowSource::SlideshowSource(uint8_t slot, PictureReader& reader, FrameDeliveryFunc deliver,
                                 int outputWidth, int outputHeight)
    : reader_(reader),
      deliver_(deliver),
      frameWidth_(std::max(0, outputWidth)),
      frameHeight_(std::max(0, outputHeight)),
      slot_(slot),
      frame_(static_cast<std::size_t>(frameWidth_) * static_cast<std::size_t>(frameHeight_) * 3) {}

SlideshowSource::~SlideshowSource() { Stop(); }

bool SlideshowSource::ScanFolder(const std::string& folder, int seconds) {
  if (thread_.joinable()) return false;
  intervalSeconds_.store(seconds < 1 ? 0 : seconds);
  files_.clear();
  if (folder.empty()) return true;
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code kindError;
    if (!it->is_directory(kindError)) files_.push_back(it->path().string());
  }
  // Directory order on Linux is arbitrary; by name, Next and Prev walk the
  // folder as a file manager lists it.
  std::sort(files_.begin(), files_.end());
  return true;
}

bool SlideshowSource::Start() {
  if (thread_.joinable()) return false;
  running_.store(true);
  {
    std::lock_guard<std::mutex> guard(prepMutex_);
    prepStop_ = false;
    wanted_ = -1;
    readyIndex_ = -1;
  }
  // Without pictures the worker ends at once and nothing is read.
  if (!files_.empty() && !frame_.empty()) preparer_ = std::thread([this] { Prepare(); });
  thread_ = std::thread([this] { Run(); });
  return true;
}

void SlideshowSource::Stop() {
  {
    std::lock_guard<std::mutex> guard(wakeMutex_);
    running_.store(false);
  }
  wake_.notify_all();
  {
    std::lock_guard<std::mutex> guard(prepMutex_);
    prepStop_ = true;
  }
  prepWake_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (preparer_.joinable()) preparer_.join();
  std::unique_ptr<ImageLayer> dropped;
  {
    std::lock_guard<std::mutex> guard(prepMutex_);
    dropped = std::move(ready_);
    readyIndex_ = -1;
    wanted_ = -1;
  }
}

void SlideshowSource::RequestNext() {
  {
    std::lock_guard<std::mutex> guard(wakeMutex_);
    prevRequested_.store(false);
    nextRequested_.store(true);
  }
  wake_.notify_all();
}

void SlideshowSource::RequestPrev() {
  {
    std::lock_guard<std::mutex> guard(wakeMutex_);
    nextRequested_.store(false);
    prevRequested_.store(true);
  }
  wake_.notify_all();
}

void SlideshowSource::SetIntervalSeconds(int seconds) {
  {
    std::lock_guard<std::mutex> guard(wakeMutex_);
    intervalSeconds_.store(seconds < 1 ? 0 : seconds);
  }
  wake_.notify_all();
}

void SlideshowSource::WantPrepared(int index) {
  std::unique_ptr<ImageLayer> dropped;
  {
    std::lock_guard<std::mutex> guard(prepMutex_);
    wanted_ = index;
    if (readyIndex_ != index) {
      dropped = std::move(ready_);
      readyIndex_ = -1;
    }
  }
  prepWake_.notify_all();
  // A picture read for nothing is freed here, outside the hand-over lock.
}

std::unique_ptr<ImageLayer> SlideshowSource::TakePrepared(int index) {
  WantPrepared(index);
  std::unique_lock<std::mutex> lock(prepMutex_);
  prepWake_.wait(lock, [&] { return prepStop_ || readyIndex_ == index; });
  if (readyIndex_ != index) return nullptr;
  readyIndex_ = -1;
  wanted_ = -1;
  return std::move(ready_);
}

void SlideshowSource::Prepare() {
  std::unique_lock<std::mutex> lock(prepMutex_);
  for (;;) {
    prepWake_.wait(lock, [this] { return prepStop_ || (wanted_ >= 0 && wanted_ != readyIndex_); });
    if (prepStop_) return;
    const int index = wanted_;
    lock.unlock();
    // The read and the scale, outside every lock; a failure is reported by
    // the worker at the picture's turn, and only if it is shown.
    auto layer = std::make_unique<ImageLayer>(files_[static_cast<std::size_t>(index)], 1, reader_,
                                              frameWidth_, frameHeight_, ReadFailureReport::kByOwner);
    lock.lock();
    if (!prepStop_ && wanted_ == index) {
      ready_ = std::move(layer);
      readyIndex_ = index;
      prepared_.fetch_add(1);
      prepWake_.notify_all();
    }
    // A picture nobody wants any more (Next or Prev asked for another, or
    // the show stops) is dropped outside the lock.
    lock.unlock();
    layer.reset();
    lock.lock();
  }
}

void SlideshowSource::Run() {
  if (files_.empty() || frame_.empty()) return;
  const int count = static_cast<int>(files_.size());
  int current = 0;
  // The last advance was a Prev.
  bool backwards = false;
  current_.store(current);
  alive_.store(true);
  while (running_.load()) {
    std::unique_ptr<ImageLayer> layer = TakePrepared(current);
    if (!layer) break;  // stopped while the picture was being read
    // The file may have changed since it was read ahead; a reload reports
    // its own failure.
    const bool reloaded = layer->RefreshImageLayer();
    if (layer->HasPicture()) {
      layer->DrawImageLayer(frame_.data(), frameWidth_, frameHeight_);
      if (deliver_) {
        deliver_(false, slot_, frame_.data(), static_cast<uint32_t>(frame_.size()), frameWidth_,
                 frameHeight_);
      }
      delivered_.fetch_add(1);
      DrawFramePreview(frame_.data(), frameWidth_, frameHeight_, preview_, 200, 150);
    } else if (!reloaded && layer->ReadFailed()) {
      layer->ReportReadFailure();
    }
    // Read the picture that comes next while this one is on air: the
    // previous one after a Prev when only Next and Prev advance (or when a
    // Prev is already waiting), otherwise the next one (a running interval
    // ends in a step forward). A show of one picture reads it again at its
    // turn, as it always did.
    if (count > 1) {
      const bool back = prevRequested_.load() ||
                        (!nextRequested_.load() && backwards && intervalSeconds_.load() == 0);
      WantPrepared(back ? (current == 0 ? count - 1 : current - 1) : (current + 1) % count);
    }
    // A request is consumed by the advance below, not cleared here: a click
    // that lands while the picture is being delivered still counts.

    std::unique_lock<std::mutex> lock(wakeMutex_);
    if (intervalSeconds_.load() == 0) {
      clock_->WaitUntil(wake_, lock, WorkerClock::TimePoint::max(), [this] {
        return !running_.load() || Requested() || intervalSeconds_.load() != 0;
      });
    }
    // The count is taken once: a new interval applies from the next picture.
    // Periods end on deadlines counted from here, so a slow reload does not
    // stretch the interval.
    const int periods = intervalSeconds_.load() * 10;
    WorkerClock::TimePoint deadline = clock_->Now();
    for (int i = 0; i < periods; ++i) {
      deadline += kSlidePeriod;
      if (clock_->WaitUntil(wake_, lock, deadline, [this] { return !running_.load() || Requested(); })) {
        break;
      }
      // The file is checked without the mutex, so Stop and the requests
      // never wait for a reload.
      lock.unlock();
      layer->RefreshImageLayer();
      lock.lock();
      if (!running_.load() || !layer->HasPicture() || Requested()) break;
    }
    lock.unlock();

    if (nextRequested_.exchange(false)) {
      prevRequested_.store(false);
      ++current;
      backwards = false;
    } else if (prevRequested_.exchange(false)) {
      current = current == 0 ? count - 1 : current - 1;
      backwards = true;
    } else {
      ++current;
      backwards = false;
    }
    if (current >= count) current = 0;
    current_.store(current);
    // This picture goes before the next one is taken: at most the prepared
    // one and the one on air exist at a time.
    layer.reset();
  }
  alive_.store(false);
}

}  // namespace corvalind

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
  thread_ = std::thread([this] { Run(); });
  return true;
}

void SlideshowSource::Stop() {
  {
    std::lock_guard<std::mutex> guard(wakeMutex_);
    running_.store(false);
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
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

void SlideshowSource::Run() {
  if (files_.empty() || frame_.empty()) return;
  const int count = static_cast<int>(files_.size());
  int current = 0;
  current_.store(current);
  alive_.store(true);
  while (running_.load()) {
    ImageLayer layer(files_[static_cast<std::size_t>(current)], 1, reader_, frameWidth_, frameHeight_);
    layer.RefreshImageLayer();
    if (layer.HasPicture()) {
      layer.DrawImageLayer(frame_.data(), frameWidth_, frameHeight_);
      if (deliver_) {
        deliver_(false, slot_, frame_.data(), static_cast<uint32_t>(frame_.size()), frameWidth_,
                 frameHeight_);
      }
      delivered_.fetch_add(1);
      DrawFramePreview(frame_.data(), frameWidth_, frameHeight_, preview_, 200, 150);
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
      layer.RefreshImageLayer();
      lock.lock();
      if (!running_.load() || !layer.HasPicture() || Requested()) break;
    }
    lock.unlock();

    if (nextRequested_.exchange(false)) {
      prevRequested_.store(false);
      ++current;
    } else if (prevRequested_.exchange(false)) {
      current = current == 0 ? count - 1 : current - 1;
    } else {
      ++current;
    }
    if (current >= count) current = 0;
    current_.store(current);
  }
  alive_.store(false);
}

}  // namespace corvalind

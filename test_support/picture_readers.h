// Picture readers for the tests: a wrapper around a real reader that counts
// the files it reads and can hold every read at a gate until the test opens
// it, so a test can look at what the other threads do while a decode is
// still in progress.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/sources/picture.h"

namespace corvalind::testing {

class GatedPictureReader : public PictureReader {
 public:
  explicit GatedPictureReader(PictureReader& inner) : inner_(inner) {}

  // From now on a read waits at the gate, before it decodes, until Open.
  void Close() {
    std::lock_guard<std::mutex> guard(mutex_);
    open_ = false;
  }
  void Open() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }
  // Runs on the reading thread at the start of every read, before the
  // gate. Set while no read runs.
  void SetOnLoad(std::function<void()> onLoad) { onLoad_ = std::move(onLoad); }

  // Reads that are waiting at the gate now.
  int Waiting() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return waiting_;
  }
  // Reads that have returned, and the files they read, in order.
  int Finished() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return static_cast<int>(finished_.size());
  }
  std::vector<std::string> FinishedPaths() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return finished_;
  }

  std::optional<Picture> Load(const std::string& path) override {
    if (onLoad_) onLoad_();
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ++waiting_;
      changed_.wait(lock, [this] { return open_; });
      --waiting_;
    }
    std::optional<Picture> picture = inner_.Load(path);
    std::lock_guard<std::mutex> guard(mutex_);
    finished_.push_back(path);
    return picture;
  }
  std::optional<Picture> Rescale(const Picture& picture, int width, int height) override {
    return inner_.Rescale(picture, width, height);
  }

 private:
  PictureReader& inner_;
  std::function<void()> onLoad_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = true;
  int waiting_ = 0;
  std::vector<std::string> finished_;
};

}  // namespace corvalind::testing

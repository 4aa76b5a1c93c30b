// What the capture tests' sources delivered and said: a delivery function
// that records pictures (all of them, or only the last and a count), and a
// status sink that records texts, both safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace corvalind::testing {

struct DeliveredFrame {
  uint8_t slot = 0;
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;
};

class DeliveryLog {
 public:
  // Keeps every picture when `keepAll`, else only the newest.
  static void KeepAll(bool keepAll) {
    std::lock_guard<std::mutex> lock(Mutex());
    State().keepAll = keepAll;
  }
  static void Deliver(bool, uint8_t slot, const uint8_t* pixels, uint32_t length, int32_t width, int32_t height) {
    std::lock_guard<std::mutex> lock(Mutex());
    Log& log = State();
    ++log.count;
    DeliveredFrame frame{slot, width, height, std::vector<uint8_t>(pixels, pixels + length)};
    if (!log.keepAll) log.frames.clear();
    log.frames.push_back(std::move(frame));
  }
  static size_t Count() {
    std::lock_guard<std::mutex> lock(Mutex());
    return State().count;
  }
  // The pictures since the last call (the newest only unless KeepAll).
  static std::vector<DeliveredFrame> Take() {
    std::lock_guard<std::mutex> lock(Mutex());
    std::vector<DeliveredFrame> frames;
    frames.swap(State().frames);
    State().count = 0;
    return frames;
  }

 private:
  struct Log {
    bool keepAll = true;
    size_t count = 0;
    std::vector<DeliveredFrame> frames;
  };
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static Log& State() {
    static Log log;
    return log;
  }
};

class StatusLog {
 public:
  std::function<void(const std::string&)> Sink() {
    return [this](const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex_);
      texts_.push_back(text);
    };
  }
  std::vector<std::string> Texts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.clear();
  }
  bool Has(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& seen : texts_) {
      if (seen == text) return true;
    }
    return false;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> texts_;
};

}  // namespace corvalind::testing

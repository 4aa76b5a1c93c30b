// A slide show: a live source that shows the pictures of a folder one after
// another and delivers each into its source slot.
//
// A worker thread renders each file with a keep-aspect ImageLayer into a
// frame of the output size, delivers it, and then waits: `intervalSeconds`
// seconds in periods of 100 ms, checking the picture's file after each
// period (a changed file is reloaded, not delivered again), or, with an
// interval of 0, until "Next >>" or "<< Prev" is requested or the interval
// becomes non-zero. Next and Prev wrap around the list. A file that cannot
// be read is skipped after one period.
//
// Every wait sleeps on a condition variable that Stop, the requests and a
// new interval wake at once; the periods are measured on a WorkerClock (the
// steady clock unless a test hands in its own).
//
// Threads: construction, SetPreview, SetClock, ScanFolder, Start, Stop and
// destruction on one owner thread (the form's UI thread); the requests and
// the interval from any thread. The destructor stops and joins.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/output_format.h"
#include "engine/preview.h"
#include "engine/source_slot.h"
#include "engine/sources/picture.h"
#include "engine/sources/worker_clock.h"

namespace corvalind {

// The length of one wait period and of the skip of an unreadable file.
inline constexpr std::chrono::milliseconds kSlidePeriod{100};

class SlideshowSource {
 public:
  // Pictures are read with `reader`, which must outlive the source.
  SlideshowSource(uint8_t slot, PictureReader& reader, FrameDeliveryFunc deliver = &DeliverFrame,
                  int outputWidth = GlobalOutputFormat().outputWidth,
                  int outputHeight = GlobalOutputFormat().outputHeight);
  ~SlideshowSource();
  SlideshowSource(const SlideshowSource&) = delete;
  SlideshowSource& operator=(const SlideshowSource&) = delete;

  // Where each shown picture is also drawn (200 x 150); may be null. Set
  // before Start; the target must outlive the running thread.
  void SetPreview(PreviewTarget* preview) { preview_ = preview; }
  // The clock the periods are measured on. Set before Start; it must
  // outlive the running thread.
  void SetClock(WorkerClock& clock) { clock_ = &clock; }

  // Sets the interval (below 1 becomes 0) and lists the regular files of
  // `folder` (UTF-8), sorted by name; an empty path lists nothing. Ignored
  // (false) while the thread runs.
  bool ScanFolder(const std::string& folder, int seconds);

  // Starts the worker; false when it already runs. With no files the worker
  // ends at once.
  bool Start();
  // Stops and joins the worker, waking any wait at once; safe to call when
  // it does not run.
  void Stop();

  void RequestNext();
  void RequestPrev();
  // Seconds per picture from the next picture on; below 1 becomes 0 (only
  // Next and Prev advance). A running 0-second wait ends at once; a running
  // wait of whole periods keeps its count.
  void SetIntervalSeconds(int seconds);

  int IntervalSeconds() const { return intervalSeconds_.load(); }
  // True while the show loop runs.
  bool Alive() const { return alive_.load(); }
  // Index of the picture shown (or about to be).
  int Current() const { return current_.load(); }
  // Pictures delivered so far.
  uint32_t DeliveredCount() const { return delivered_.load(); }
  const std::vector<std::string>& Files() const { return files_; }
  uint8_t Slot() const { return slot_; }

 private:
  void Run();
  bool Requested() const { return nextRequested_.load() || prevRequested_.load(); }

  PictureReader& reader_;
  FrameDeliveryFunc deliver_;
  PreviewTarget* preview_ = nullptr;
  WorkerClock* clock_ = &SteadyWorkerClock();
  const int frameWidth_;
  const int frameHeight_;
  const uint8_t slot_;
  std::vector<uint8_t> frame_;
  std::vector<std::string> files_;

  std::thread thread_;
  // The flags are atomic for the accessors; they are changed under
  // wakeMutex_ so that a worker about to sleep cannot miss the change.
  std::mutex wakeMutex_;
  std::condition_variable wake_;
  std::atomic<bool> running_{false};
  std::atomic<bool> alive_{false};
  std::atomic<bool> nextRequested_{false};
  std::atomic<bool> prevRequested_{false};
  std::atomic<int> intervalSeconds_{0};
  std::atomic<int> current_{0};
  std::atomic<uint32_t> delivered_{0};
};

}  // namespace corvalind

// A slide show: a live source that shows the pictures of a folder one after
// another and delivers each into its source slot.
//
// A worker thread renders each file with a keep-aspect ImageLayer into a
// frame of the output size, delivers it, and then waits: `intervalSeconds`
// seconds in periods of 100 ms, checking the picture's file after each
// period (a changed file is reloaded, not delivered again), or, with an
// interval of 0, until "Next >>" or "<< Prev" is requested or the interval
// becomes non-zero. Next and Prev wrap around the list. A file that cannot
// be read is skipped after one period, its failure shown at its turn.
//
// Reading ahead: decoding and scaling a picture can take longer than an
// interval (a 16384 x 16384 JPEG), and FreeImage cannot be interrupted or
// split into steps. So the show owns a second thread, the preparer, that
// reads and scales one picture at a time into a layer while the worker
// shows the one before it and waits. After delivering picture i the worker
// asks for the picture it will show next (wrapping): i - 1 when a Prev is
// already waiting, or after a Prev while the interval is 0; otherwise
// i + 1, also after a Prev while an interval runs, since the interval ends
// in a step forward. At the next picture's turn it takes the prepared
// layer when it is the one it needs, waits for it when it is still being
// read, and otherwise asks for the one it needs and waits for that; a layer
// prepared for another picture is dropped unseen, so a Next or Prev never
// shows the wrong picture. The taken layer gets the usual file check
// before it is drawn, so an edit made after its preparation is read. A show
// of one file has nothing to read ahead: its picture is read at its turn.
// A picture whose read and scale take longer than the interval before it
// still keeps that slide on air for the difference.
//
// The worker and the preparer share only the hand-over (prepMutex_), which
// neither holds while reading or waiting for an interval; the interval
// waits sleep on wakeMutex_/wake_, which the preparer never takes, so Stop,
// the requests and a new interval wake them at once also while a picture is
// being read. At most two reads run at a time (the preparer's and the
// worker's reload of an edited file), each within the reader's memory
// budget; besides the picture on air the show keeps at most one prepared
// picture of the output size.
//
// Every wait sleeps on a condition variable that Stop, the requests and a
// new interval wake at once; the periods are measured on a WorkerClock (the
// steady clock unless a test hands in its own). Stop joins both threads; a
// read in progress is finished first (FreeImage cannot be stopped mid-way)
// and then dropped.
//
// Threads: construction, SetPreview, SetClock, ScanFolder, Start, Stop and
// destruction on one owner thread (the form's UI thread); the requests and
// the interval from any thread. The destructor stops and joins.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
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

class ImageLayer;

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
  // Stops and joins the worker and the preparer, waking any wait at once;
  // safe to call when they do not run.
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
  // Pictures the preparer has read and handed over so far (taken or not).
  uint32_t PreparedCount() const { return prepared_.load(); }
  const std::vector<std::string>& Files() const { return files_; }
  uint8_t Slot() const { return slot_; }

 private:
  void Run();
  void Prepare();
  // Asks the preparer for picture `index` (-1: none); a prepared picture of
  // another index is dropped.
  void WantPrepared(int index);
  // The layer of picture `index`, read by the preparer; null only when the
  // show stops meanwhile.
  std::unique_ptr<ImageLayer> TakePrepared(int index);
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

  std::thread preparer_;
  // The hand-over between worker and preparer. wanted_ is the picture the
  // worker asks for (-1: none); ready_ holds the prepared layer of picture
  // readyIndex_ (-1: none). Never held while reading a file.
  std::mutex prepMutex_;
  std::condition_variable prepWake_;
  bool prepStop_ = false;
  int wanted_ = -1;
  int readyIndex_ = -1;
  std::unique_ptr<ImageLayer> ready_;
  std::atomic<uint32_t> prepared_{0};
};

}  // namespace corvalind

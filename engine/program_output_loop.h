// The program output loop: the studio's heartbeat.
//
// A worker thread that sets up the output buffer, then every 5 ms asks the
// engine for a new program frame and, when there is one, hands it to the
// preview and publishes it (picture first, then the counter byte). The loop
// starts when the object is built and stops when it is destroyed, so the
// program is published exactly while its owner (the program view, or the
// headless studio) exists. The program rate follows the sources: a frame
// is composed only when a source of the scene on air delivered, a
// transition runs or a layer changed.
//
// Threads: the loop thread composes, previews and publishes; the owner's
// thread builds, lays out, paints (under OutputLock) and destroys.
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

namespace corvalind {

class VideoEngine;

inline constexpr const char* kOutputSetupFailedText =
    "Cannot setup shared memory! Try running in admin mode!";

// Where the program goes: the shared output buffer, or a test's recorder.
class ProgramOutputTarget {
 public:
  virtual ~ProgramOutputTarget() = default;
  // Makes the block ready; false (with a reason) when it cannot be had yet.
  virtual bool Setup(std::string* reason) = 0;
  // Writes the picture, then the counter byte after it.
  virtual void Publish(const uint8_t* picture, uint32_t bytes, uint8_t counter) = 0;
  virtual void Release() = 0;
};

struct OutputLoopTiming {
  int setupAttempts = 99;
  std::chrono::milliseconds setupInterval{100};
  std::chrono::milliseconds pollInterval{5};
};

class ProgramOutputLoop {
 public:
  // Starts the loop thread at once. It composes from `engine`, which the
  // owner keeps alive until the loop is destroyed; with a null engine the
  // loop sets up the target and publishes nothing.
  ProgramOutputLoop(const OutputFormat& format, std::unique_ptr<ProgramOutputTarget> target,
                    VideoEngine* engine, OutputLoopTiming timing = OutputLoopTiming{});
  // Stops the loop (at most one poll plus one composition later), then
  // releases the block.
  ~ProgramOutputLoop();
  ProgramOutputLoop(const ProgramOutputLoop&) = delete;
  ProgramOutputLoop& operator=(const ProgramOutputLoop&) = delete;

  // Where each new frame is shown, and at which size. Any thread.
  void SetPreview(PreviewTarget* target, int previewWidth, int previewHeight);

  // Held around each composition; the owner's paint takes it too.
  std::mutex& OutputLock() { return outputLock_; }
  // The last composed frame (empty before the first); call with OutputLock.
  const std::vector<uint8_t>& ProgramFrame() const { return programFrame_; }

  bool Alive() const { return alive_.load(); }
  bool Running() const { return running_.load(); }
  // Frames published since the loop started.
  uint64_t PublishedFrames() const { return published_.load(); }
  // Published frames whose composition and publication took longer than
  // one frame interval (the program fell behind its rate there).
  uint64_t LateFrames() const { return late_.load(); }
  // Polls finished since the loop started, whether they composed or not;
  // counted after the poll's composition and publishing, so that once it has
  // grown by two, a whole poll ran after it was read.
  uint64_t Polls() const { return polls_.load(); }
  // True once the block was set up; false while trying or after failing.
  bool Publishing() const { return publishing_.load(); }

 private:
  void Run();
  // Sleeps, waking early when a stop is requested; false when stopping.
  bool Pause(std::chrono::milliseconds duration);
  // One poll: composes when the engine exists and has news, then previews
  // and publishes the frame with the next counter value.
  void Poll(uint8_t& counter);

  const OutputFormat format_;
  std::unique_ptr<ProgramOutputTarget> target_;
  VideoEngine* const engine_;
  const OutputLoopTiming timing_;

  std::mutex outputLock_;
  std::vector<uint8_t> programFrame_;  // frameBytes + 1, under outputLock_

  std::mutex previewMutex_;
  PreviewTarget* preview_ = nullptr;
  int previewWidth_ = 640;
  int previewHeight_ = 480;

  std::atomic<bool> running_{false};
  std::atomic<bool> alive_{false};
  std::atomic<bool> publishing_{false};
  std::atomic<uint64_t> published_{0};
  std::atomic<uint64_t> late_{0};
  std::atomic<uint64_t> polls_{0};

  std::mutex stopMutex_;
  std::condition_variable stopWake_;
  bool stopRequested_ = false;  // under stopMutex_

  std::thread thread_;
};

}  // namespace corvalind

// A video-file source: plays a media file in a loop and delivers its
// pictures, one by one, into a source slot.
//
// The installed decoders do the decoding: the graph plays the file with
// its video going into the grabber as BGR; its sound either plays on the
// default audio output at the file's pace or is never decoded. A worker
// builds the graph, runs it and pumps frames: it asks the grabber for one
// frame, waits for it (1 ms polls; every 500 polls it looks whether the file
// ended, and if so rewinds and runs it again), packs padded rows, delivers
// the picture and draws the preview. The file's own clock keeps its rate.
//
// Status-line texts:
//   "Cannot PrepareGraph()!"                     no graph could be made
//   the path, then "Cannot RenderFile. Check filename!"  the file does not play
//   "Cannot find video renderer."                the file has no video
//   "Cannot find CLSID_SampleGrabber"            no grabber could be made
//   "Cannot Run() graph"                         the graph does not run
//
// Threads: construction, Start, Stop and destruction on the owner's thread
// (the form's UI thread); Play, Pause, StopPlayback, PlayPercent and
// SeekPercent on the UI thread while the worker pumps. Stop waits for the
// worker, also while it is still building the graph.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "capture/media_toolkit.h"
#include "engine/preview.h"
#include "engine/source_slot.h"

namespace corvalind {

// The path a source keeps: at most 1023 bytes (longer paths are cut at a
// character boundary).
inline constexpr size_t kVideoPathLimit = 1023;

class VideoFileSource {
 public:
  VideoFileSource(uint8_t slot, std::string path, bool sound, FrameDeliveryFunc deliver = &DeliverFrame);
  ~VideoFileSource();
  VideoFileSource(const VideoFileSource&) = delete;
  VideoFileSource& operator=(const VideoFileSource&) = delete;

  // Set before Start; must outlive the worker.
  void SetPreviewWindow(PreviewTarget* preview) { preview_ = preview; }
  void SetStatusSink(std::function<void(const std::string&)> sink) { status_ = std::move(sink); }

  void Start();
  // Stops the pump, waits for the worker and tears the graph down.
  void Stop();

  // The form's buttons; nothing happens before the graph is built.
  void Play();
  void Pause();
  // Stops the flow and rewinds to the start.
  void StopPlayback();
  // Position / duration x 100, truncated; 0 without a known duration.
  int PlayPercent() const;
  // Seeks to percent x duration / 100 seconds; nothing without a duration.
  void SeekPercent(float percent);

  const std::string& Path() const { return path_; }
  bool Sound() const { return sound_; }
  bool Activated() const { return activated_.load(); }
  bool Running() const { return running_.load(); }
  bool Finished() const { return finished_.load(); }
  int Width() const { return width_.load(); }
  int Height() const { return height_.load(); }
  uint64_t FramesDelivered() const { return framesDelivered_.load(); }
  // Times the file was started again after it ended.
  uint32_t Loops() const { return loops_.load(); }
  // The time of the last delivered picture in the file, in seconds.
  double LastFrameTime() const;
  // Factory names of the graph's elements once built (empty before).
  std::vector<std::string> GraphElements() const;

 private:
  void Worker();
  void Pump();
  void Status(const std::string& text) const;

  const uint8_t slot_;
  const std::string path_;
  const bool sound_;
  FrameDeliveryFunc deliver_;
  PreviewTarget* preview_ = nullptr;
  std::function<void(const std::string&)> status_;

  std::atomic<bool> stop_{false};  // set by Stop; the worker and its waits end
  std::atomic<bool> running_{false};
  std::atomic<bool> activated_{false};
  std::atomic<bool> finished_{true};
  bool threadStarted_ = false;
  std::atomic<int> width_{0};
  std::atomic<int> height_{0};
  std::atomic<uint64_t> framesDelivered_{0};
  std::atomic<uint32_t> loops_{0};
  std::atomic<double> lastFrameTime_{0};

  // Made by the worker; the UI thread uses it only after `built_`.
  std::unique_ptr<MediaGraph> graph_;
  std::atomic<bool> built_{false};

  GrabHandshake grab_;
  std::thread thread_;
};

}  // namespace corvalind

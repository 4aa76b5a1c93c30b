// CSegmentRecorder: one recording graph of Reelforge, writing one WebM file.
//
// Graph:
//   "Corvalind Camera" (corvalindcamsrc) or the first video device whose
//   name contains CAPTURE_DEVICE [-> the chosen capture format]
//     -> "Frame Counter" (a buffer probe) -> "Encoding Queue" -> videoconvert
//     -> "VP8 Encoder" (vp8enc) -> "Web Muxer" (webmmux) -> "File writer"
//   the first audio device whose name contains AUDIO_DEVICE (50 ms buffers)
//     -> audioconvert -> audioresample -> "Vorbis Encoder" -> "Web Muxer"
//
// Life: Prepare (an empty pipeline), StartFile (builds the graph on the
// first start), Run, FrameCount while it records, Close. Close sends
// end-of-stream and waits until the muxer has written the file's end, so
// every file carries its duration and cues. A recorder is used for one
// file; Reelforge makes a new one for each. With DEBUG_MODE the built
// graph is also written as "debug.dot" (Graphviz) in the current folder.
//
// All calls come from the producer's main thread; the frame counter is
// raised on the graph's streaming thread and may be read from any thread.
// Progress goes to the console function, in the producer's console lines.
// The headers carry no GStreamer types.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "producer/reelforge_config.h"

namespace corvalind {

// "Corvalind Camera": the name the virtual camera joins the graph under.
inline constexpr const char* kVirtualCameraName = "Corvalind Camera";
// The muxer's writing application.
inline constexpr const char* kWebmWritingApp = "Orvik WebM Producer";
// Audio devices deliver in buffers of this length.
inline constexpr int kAudioLatencyMs = 50;
// Frames the encoding may fall behind the source before the source waits
// (about a third of a second at 25 per second).
inline constexpr int kEncodingQueueFrames = 8;
// How long Close waits for the muxer to finish the file.
inline constexpr int kCloseTimeoutMs = 10000;

// The encoder settings the configuration makes, as vp8enc properties.
struct Vp8Settings {
  std::int64_t deadlineUs = 0;  // 1000000 / VIDEO_FPS
  int threads = 0;
  int targetBitrate = 0;  // bits per second
  int endUsage = 0;       // 0 variable, 1 constant bit rate
  int keyframeMode = 1;   // automatic placement
  // With a deadline of one frame interval the encoder works in real time
  // and picks its own speed so that a frame takes at most (16 - cpuUsed)
  // / 16 of the interval. Half leaves room for the second recorder during
  // the overlap and for the studio composing on the same machine; with the
  // whole interval a busy machine makes the encoder fall behind the camera
  // and the files lose frames.
  int cpuUsed = 8;
};
Vp8Settings Vp8SettingsFor(const ReelforgeConfig& config);
// vorbisenc's quality (-0.1..1) for VORBIS_QUALITY (0..100).
double VorbisQualityFor(int vorbisQuality);

class CSegmentRecorder {
 public:
  // `bufferName` is the studio's output buffer the virtual camera reads
  // (the studio's own unless a test gives a private one).
  CSegmentRecorder(ReelforgeConfig config, ReelforgeConsole console,
                   std::string bufferName = "CorvalindOutputBuffer");
  ~CSegmentRecorder();
  CSegmentRecorder(const CSegmentRecorder&) = delete;
  CSegmentRecorder& operator=(const CSegmentRecorder&) = delete;

  const ReelforgeConfig& Config() const { return config_; }

  // A fresh, empty graph (an existing one is dismantled first). False when
  // GStreamer cannot make one.
  bool Prepare();
  // The local path becomes OUTPUT_FILES + `fileName` (1024 bytes at most);
  // prints "Prepare file: %s\n" and builds the graph when it is not built
  // yet. False (after "Cannot create graph, check settings!\n") when the
  // build fails or no graph was prepared.
  bool StartFile(const std::string& fileName);
  // Sets the graph running. False when there is no built graph or it
  // refuses to run.
  bool Run();
  // Frames that passed the frame counter since the graph was built.
  std::uint32_t FrameCount() const { return frames_.load(std::memory_order_relaxed); }
  // The file takes at most this many frames: the counter lets no more
  // through, so a file that reaches its length holds exactly that many
  // while the main thread is still on its way to close it. Any time, from
  // any thread.
  void SetFrameLimit(std::uint32_t frames) { frameLimit_.store(frames, std::memory_order_relaxed); }
  // Ends the file (end-of-stream, waiting at most kCloseTimeoutMs for the
  // muxer) and dismantles the graph. Safe to call twice.
  void Close();

  bool Built() const { return built_; }
  // The last Close saw end-of-stream reach the file writer with no error
  // on the way: the file holds everything counted, its duration and cues.
  // False when the graph failed (a full disk, a device gone), never ran or
  // did not finish in time.
  bool FileWhole() const { return fileWhole_; }
  bool HasAudio() const;
  const std::string& LocalPath() const { return localPath_; }
  // The first error the graph reported, or empty.
  std::string LastError() const;

  struct Impl;

 private:
  bool Build();
  void Print(const std::string& text) const;

  ReelforgeConfig config_;
  ReelforgeConsole console_;
  std::string bufferName_;
  std::string localPath_;
  bool built_ = false;
  bool fileWhole_ = false;
  std::atomic<std::uint32_t> frames_{0};
  std::atomic<std::uint32_t> frameLimit_{UINT32_MAX};
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvalind

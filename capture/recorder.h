// The video recorder: the program, exactly as programs that open the
// virtual camera see it, with optional sound from an audio capture device,
// into an AVI or Matroska file.
//
// Graph while recording:
//   corvalindcamsrc ("Orvik Corvalind") -> "Video Flow Meter" -> conversion
//     -> the video encoder -> the muxer ("AVI Mux" or "MKV Mux")
//   audio device -> conversion -> "Audio Resample Filter" (the speed
//     stage) -> "Audio Flow Meter" -> the audio encoder -> the muxer
//   muxer -> "File writer"
// The encoders and the audio device are elements kept across recordings
// (their property dialogs change them); the pipeline is built afresh at
// every start. Stop sends end-of-stream and waits until the muxer has
// written the file's end, so a stopped recording is complete and seekable;
// a recording that fails (a full disk, the folder gone) stops by itself and
// what was written stays playable.
//
// Everything but the counters runs on the owner's thread (the form's UI
// thread); the meters count on the graph's streaming threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/media_toolkit.h"

namespace corvalind {

// An encoder the lists offer: the factory name, shown by its long name.
struct EncoderEntry {
  std::string factory;   // "x264enc"
  std::string longName;  // "x264 H.264 Encoder"
};
// Factories whose class holds "Codec/Encoder/Video" (or ".../Audio"),
// sorted by factory name.
std::vector<EncoderEntry> VideoEncoders();
std::vector<EncoderEntry> AudioEncoders();

// What a flow meter counted since its last reset.
struct FlowStats {
  uint64_t bytes = 0;
  uint64_t samples = 0;  // buffers for video, audio frames (samples per channel) for sound
  uint64_t third = 0;    // buffers that came with a gap or discontinuity
  double rate = 0;       // samples per second over the last second
};

// The sync controller's arithmetic, kept apart so it can be checked alone.
struct SyncReading {
  uint64_t videoFrames = 0;  // F
  double videoRate = 0;      // R
  uint64_t videoThird = 0;   // Dv
  uint64_t audioBytes = 0;   // B
  uint64_t audioThird = 0;   // Da
  uint32_t audioBytesPerSecond = 0;
  int frameRate = 25;        // the program's
};
struct SyncState {
  double offset = 1000.0;  // 1000 or more: not measured yet
  double percent = 100.0;  // the last speed given
};
struct SyncStep {
  bool acted = false;  // false below 100 frames (nothing changes)
  double previous = 0;  // s: the speed read back before the change
  double speed = 0;     // the new speed
  double audio = 0;     // a (with the offset once measured)
  double video = 0;     // v
  double difference = 0;  // d
  std::string line;       // "a/v:... df:..."
};
// One check: `currentSpeed` is what the speed stage reports now.
SyncStep AvSyncStep(const SyncReading& reading, SyncState& state, double currentSpeed);

class Recorder {
 public:
  Recorder();
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Binds the element of a role by its list text (an encoder's long name,
  // an audio device's name); false when nothing has that name (the role is
  // then empty). An empty text empties the role and answers false.
  bool SetVideoEncoder(const std::string& longName);
  bool SetAudioEncoder(const std::string& longName);
  bool SetAudioSource(const std::string& deviceName);
  bool HasVideoEncoder() const;
  bool HasAudioEncoder() const;
  bool HasAudioSource() const;
  // The property pages of the bound elements (null when none).
  std::unique_ptr<PropertyPage> VideoEncoderPage(const std::string& caption) const;
  std::unique_ptr<PropertyPage> AudioEncoderPage(const std::string& caption) const;
  std::unique_ptr<PropertyPage> AudioSourcePage(const std::string& caption) const;

  enum class StartResult {
    kStarted,
    kNoVideoEncoder,     // "Please, select video compressor!"
    kNoAudioEncoder,     // "Please, select audio compressor!"
    kNoOutput,           // "Please, select valid output name!"
    kFailed,             // `Message()` says why (the status label's text)
  };
  // Builds and runs the graph into `path` (Message() is emptied first); `matroska` asks for the MKV
  // muxer (AVI when it is missing, with a message). `bufferName` is the
  // output buffer the camera element reads ("" for the studio's own).
  StartResult Start(const std::string& path, bool matroska, const std::string& bufferName = {});
  // Ends the stream and waits (at most `limit` ms) until the file is
  // finished; then tears the graph down.
  void Stop(int limitMs = 10000);
  bool Recording() const { return recording_; }
  // Whether the graph failed while recording (a full disk, a removed
  // folder); the recording has been stopped and the file closed. Owner's
  // thread, polled by the form's timer.
  bool CheckFailure();
  // The last failure or fallback text for the status label.
  const std::string& Message() const { return message_; }
  // The muxer the last start used ("avimux" or "matroskamux").
  const std::string& MuxerFactory() const { return muxer_; }

  FlowStats VideoStats() const;
  FlowStats AudioStats() const;
  uint32_t AudioBytesPerSecond() const;
  // The speed stage, in percent (100 without sound).
  double Speed() const;
  void SetSpeed(double percent);

  // The sync check of the 5-second timer; nothing happens without sound.
  // Answers the status line ("" when nothing was done).
  std::string CheckSync(int frameRate);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  bool recording_ = false;
  std::string message_;
  std::string muxer_;
  SyncState sync_;
};

}  // namespace corvalind

// The stream output: the program, exactly as programs that open the
// virtual camera see it, encoded live and sent to a platform or a media
// server, over RTMP (rtmp:// and rtmps://, FLV with H.264 and AAC) or SRT
// (srt://, MPEG-TS with H.264 and AAC, as caller or as listener).
//
// Graph:
//   corvalindcamsrc -> a queue of a few pictures that drops the oldest when
//     the encoder falls behind (a network slower than the bit rate holds
//     the encoder back, never the memory) -> I420 -> x264enc (zero latency,
//     the bit rate, a key frame every few seconds, the preset) -> the muxer
//   the audio device, or silence -> AAC -> the muxer
//   muxer -> rtmp2sink / srtsink
//
// A dropped connection, a server that is not there yet or one that goes
// away mid-stream makes the output try again by itself after 1, 2, 4 ...
// up to 30 seconds, counting the attempts; Stop ends it within a second.
// The stream key and the SRT passphrase never appear in any text this
// class gives out (statistics, errors, the redacted target).
//
// Threads: the owner's thread starts and stops; a supervisor thread runs
// the graph, its restarts and the per-second statistics; the counters are
// kept on the graph's streaming threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace corvalind {

enum class StreamProtocol { kNone, kRtmp, kSrt };

struct StreamSettings {
  // rtmp://HOST[:PORT]/APP[/...], rtmps://..., or srt://HOST:PORT (any
  // query parameters of its own are kept).
  std::string url;
  // The RTMP stream key, appended to the URL as its last part.
  std::string key;
  // SRT: call the peer (caller) or wait for it (listener).
  bool srtListener = false;
  // SRT: 10 to 79 characters, or empty for no encryption.
  std::string passphrase;
  int videoKbps = 4500;
  int keyframeSeconds = 2;
  std::string preset = "veryfast";  // an x264 speed preset name
  // An audio input's display name; empty: silence.
  std::string audioDevice;
  int audioKbps = 128;
  // The output buffer the camera element reads ("" for the studio's own).
  std::string bufferName;
  int frameRate = 25;  // the program's, for the key-frame interval
};

enum class StreamState { kIdle, kConnecting, kLive, kWaiting, kFailed };

struct StreamStatistics {
  StreamState state = StreamState::kIdle;
  double kbitsPerSecond = 0;  // sent over the last second
  uint64_t bytesSent = 0;
  uint64_t framesEncoded = 0;
  uint64_t framesDropped = 0;  // before the encoder, when it fell behind
  int reconnects = 0;          // connections lost or refused since Start
  int attempt = 0;             // of the current run of retries (0 while live)
  double retryInSeconds = 0;   // while waiting to try again
  double uptimeSeconds = 0;    // of the current connection
  std::string lastError;       // redacted
};

// The protocol a URL names (kNone for anything else).
StreamProtocol StreamProtocolOf(const std::string& url);
// False with a reason when the settings cannot make a stream (no URL of a
// known kind, a bad passphrase, numbers out of range).
bool CheckStreamSettings(const StreamSettings& settings, std::string* reason);
// `text` with the key and the passphrase (when set) replaced by "****".
std::string RedactStreamSecrets(const StreamSettings& settings, std::string text);
// The text a status bar shows for the statistics (state, bit rate, drops,
// reconnects, uptime).
std::string StreamStatusText(const StreamStatistics& statistics);

class StreamOutput {
 public:
  StreamOutput();
  // Stops first.
  ~StreamOutput();
  StreamOutput(const StreamOutput&) = delete;
  StreamOutput& operator=(const StreamOutput&) = delete;

  // Checks the settings and starts the supervisor; a server that cannot be
  // reached is retried, not refused. False with a reason when the settings
  // are unusable or the graph cannot be built (a missing element).
  bool Start(const StreamSettings& settings, std::string* reason);
  // Ends the stream: within a second whatever the network does.
  void Stop();
  bool Running() const;
  StreamStatistics Statistics() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvalind

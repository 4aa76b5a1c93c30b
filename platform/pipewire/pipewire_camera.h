// The program as a PipeWire camera: a node of media class Video/Source
// named "Corvalind Camera", which browsers, call programs and streaming
// tools find through PipeWire (and the camera portal) like any webcam.
//
// The node drives itself: it sends each new program picture as soon as it
// is offered (never faster than the program's frame rate on average) and
// repeats the last one at that rate while the program does not change
// (black before the first), so consumers see a steady camera whatever the
// composition's own rate, with as little delay as the rate allows. It offers I420 (what
// camera consumers expect first) and BGRx (exact); each new picture is
// converted once into the format the consumer chose.
//
// Where no PipeWire daemon runs, the camera tries again every two seconds,
// so a daemon started (or restarted) later still gets the node. No root and
// no kernel module is needed.
//
// Threads: Offer from any one thread (the output loop); everything else on
// the owner's thread. The node lives on PipeWire's own threads: its main
// loop (connection, timers, formats) and its data loop (the sends).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace corvalind {

inline constexpr const char* kPipeWireCameraDescription = "Corvalind Camera";
inline constexpr const char* kPipeWireCameraNodeName = "corvalind-camera";
inline constexpr const char* kPipeWireMissingText =
    "PipeWire is not running: browsers and call programs do not see Corvalind Camera";

struct PipeWireCameraFormat {
  int width = 640;
  int height = 480;
  int frameRate = 25;
};

class PipeWireCamera {
 public:
  // The picture format the consumer chose.
  enum class Format { kNone, kI420, kBGRx };

  // nodeName: kPipeWireCameraNodeName, or a private name for a second
  // studio. Connects at once where a daemon runs; never blocks for long
  // where none does.
  PipeWireCamera(const PipeWireCameraFormat& format, std::string nodeName);
  // Removes the node from the graph before returning.
  ~PipeWireCamera();
  PipeWireCamera(const PipeWireCamera&) = delete;
  PipeWireCamera& operator=(const PipeWireCamera&) = delete;

  // The program picture as the output buffer holds it: width x height x 3
  // bytes, blue-green-red, bottom row first. Pictures of another size are
  // ignored. Copies and returns at once.
  void Offer(const uint8_t* picture, uint32_t bytes);

  // Whether the node is in a daemon's graph now.
  bool Connected() const;
  // The format a consumer negotiated, kNone before one did or after it let go.
  Format NegotiatedFormat() const;
  // Frames handed to PipeWire since the start.
  uint64_t FramesSent() const;
  // CPU time spent so far on PipeWire's two threads that serve the node
  // (conversion, copies, the node's own work), in nanoseconds.
  uint64_t ThreadCpuNanoseconds() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace corvalind

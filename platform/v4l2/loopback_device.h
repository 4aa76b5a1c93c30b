// V4L2 loopback devices (the v4l2loopback kernel module): finding them, and
// writing the program into one, so that programs which only open
// /dev/video devices see the camera too.
//
// The writer sends each new picture as soon as it is offered (at most one
// every three quarters of a frame interval) and repeats the last one at the
// frame rate while the program stands still, in I420 (YU12), the format
// such programs take most widely. Its own thread converts and writes, so the
// output loop only copies the picture.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace corvalind {

inline constexpr const char* kNoLoopbackText =
    "No V4L2 loopback device. Load the v4l2loopback module "
    "(\"sudo modprobe v4l2loopback exclusive_caps=1\") for programs that only open "
    "/dev/video devices.";

struct LoopbackDevice {
  std::string path;  // "/dev/video4"
  std::string name;  // the device's card label
};

// The loopback devices in the system's video4linux class folder (those
// with the module's own attributes), whose node exists under deviceFolder,
// in the order of their numbers.
std::vector<LoopbackDevice> FindLoopbackDevices(const std::filesystem::path& classFolder = "/sys/class/video4linux",
                                                const std::filesystem::path& deviceFolder = "/dev");

struct LoopbackFormat {
  int width = 640;
  int height = 480;
  int frameRate = 25;
};

class LoopbackWriter {
 public:
  // Called on the writer's thread, once, when writing stopped for good
  // (the device went away); the text says why.
  using FailureHandler = std::function<void(const std::string& text)>;

  explicit LoopbackWriter(const LoopbackFormat& format, FailureHandler onFailure = nullptr);
  // Stops the thread and closes the device.
  ~LoopbackWriter();
  LoopbackWriter(const LoopbackWriter&) = delete;
  LoopbackWriter& operator=(const LoopbackWriter&) = delete;

  // Opens a loopback device for output, sets the picture format and rate
  // and starts writing (black until the first picture). False with a reason
  // for the status bar when the path is no loopback device or refuses the
  // format.
  bool Open(const std::string& path, std::string* reason);

  // The program picture as the output buffer holds it (width x height x 3,
  // blue-green-red, bottom row first); other sizes are ignored. Any thread.
  void Offer(const uint8_t* picture, uint32_t bytes);

  uint64_t FramesWritten() const;
  bool Failed() const;

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace corvalind

// What the Snaptrace tests share: the built programs' paths, a private name
// for the frame exchange of each test, child processes, the probe's status
// block, and a delivery entry that checks every frame the client delivers.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "hook/tests/probe_status.h"

namespace corvalind::testing {

// Built beside the tests (compile definitions of the test program).
std::string SnaptraceRunPath();
std::string ProbePath();
std::string ClientChildPath();
std::string SnaptraceLibraryFolder();
std::string SnaptraceLibraryPath();

// Gives this test its own frame exchange: sets SNAPTRACE_INSTANCE (which
// the library and every child read) to a tag no other test or test run
// uses, and returns the tag.
std::string UsePrivateExchange();
// The object names of the exchange under the current tag.
std::string SectionObjectName();
std::string BlockObjectName();

// A program started with posix_spawn, standard output and error into
// `logPath`; killed and reaped with the object when still running.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // `environment` entries ("NAME=value") are added to (or replace those
  // of) this process's environment.
  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
             const std::string& logPath);
  pid_t Pid() const { return pid_; }
  bool Running();
  void Signal(int signal);
  // Waits for the exit; false when it has not ended within `limit`.
  bool WaitExit(std::chrono::milliseconds limit, int* status);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
};

// The exit status as `$?` would give it (128 + n for a signal).
int ExitCode(int waitStatus);

// A file of the probe's status block, made and mapped before the probe
// starts.
class ProbeStatusFile {
 public:
  explicit ProbeStatusFile(const std::string& path);
  ~ProbeStatusFile();
  ProbeStatusFile(const ProbeStatusFile&) = delete;
  ProbeStatusFile& operator=(const ProbeStatusFile&) = delete;

  const std::string& Path() const { return path_; }
  const probe::ProbeStatus& Status() const { return *status_; }
  uint32_t Frames() const { return status_->frames.load(); }
  int32_t Failure() const { return status_->failure.load(); }

 private:
  std::string path_;
  probe::ProbeStatus* status_ = nullptr;
};

// One delivered frame as the recording delivery entry saw it.
struct SeenFrame {
  int width = 0;
  int height = 0;
  uint32_t bytes = 0;
  bool probePicture = false;  // exactly the probe's picture
  uint32_t number = 0;        // its frame number, when it is
  int64_t arrivalNs = 0;      // CLOCK_MONOTONIC
  bool anyLight = false;      // some byte above 32 (for pictures not the probe's)
};

// A FrameDeliveryFunc: delivers into the program-wide slots as DeliverFrame
// does and records what it delivered.
void RecordingDelivery(bool skip, uint8_t slot, const uint8_t* pixels, uint32_t length, int32_t width,
                       int32_t height);
std::vector<SeenFrame> SeenFrames();
std::size_t SeenFrameCount();
void ClearSeenFrames();

int64_t MonotonicNs();

}  // namespace corvalind::testing

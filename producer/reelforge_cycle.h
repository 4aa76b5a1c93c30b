// Reelforge's recording cycle: two segment recorders taking turns, so the
// virtual camera (or a capture device) becomes an endless series of WebM
// files m1.webm .. mN.webm (N = WEBM_PARTS, then m1 again), each uploaded
// by FTP when it is finished.
//
// While one recorder records, the other is configured (Reelforge.ini is
// read again for every file) and built; it starts OVERLAPPED_FRAMES before
// the current file's end, so consecutive files share those frames and none
// is lost between them. A file ends at WEBM_VIDEO_DURATION x VIDEO_FPS
// counted frames, or after 1.2 x WEBM_VIDEO_DURATION seconds when the
// source delivers too few. After every pair of files the resident set is
// compared with REBOOT_MEMORY_KB; above it the cycle ends for a restart.
//
// Everything runs on the calling thread (the program's main thread), the
// graphs on their own streaming threads; the frame counts are polled every
// 20 ms. The console lines go to the given stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "producer/reelforge_config.h"

namespace corvalind {

inline constexpr const char* kReelforgeBanner = "Corvalind WebM Producer v1.2\n";

struct ReelforgeRunOptions {
  std::string iniPath;  // Reelforge.ini (ReelforgeIniPath() in the program)
  std::string bufferName = "CorvalindOutputBuffer";  // what the virtual camera reads
  std::FILE* out = stdout;  // the console (not owned)
  std::uint16_t ftpPort = 21;
  // Ends the cycle once this many files were closed (and uploaded); 0
  // runs until the restart.
  int fileLimit = 0;
};

enum class ReelforgeEnd {
  kLoginFailed,  // the FTP login test at start failed: the program ends (exit code 0)
  kRestart,      // the resident set grew beyond REBOOT_MEMORY_KB
  kFileLimit,    // fileLimit files are done
};

struct ReelforgeOutcome {
  ReelforgeEnd end = ReelforgeEnd::kFileLimit;
  unsigned residentKb = 0;  // with kRestart: the size that caused it
  // The names of the finished files, in recording order.
  std::vector<std::string> files;
};

// The numbers the cycle derives once, from the first recorder's
// configuration.
struct CycleNumbers {
  std::int64_t targetFrames = 0;  // WEBM_VIDEO_DURATION x VIDEO_FPS
  std::int64_t timeLimitMs = 0;   // WEBM_VIDEO_DURATION x 1000 x 1.2, truncated
  std::int64_t overlap = 0;       // OVERLAPPED_FRAMES
  int parts = 0;                  // WEBM_PARTS
};
CycleNumbers CycleNumbersFor(const ReelforgeConfig& config);

// The file numbers of the first `count` files, in recording order.
std::vector<int> FileNumberSequence(int parts, int count);

// The process's resident set in kilobytes, from /proc/self/statm. False
// when it cannot be read.
bool ResidentSetKb(unsigned* kb);

// Prints the banner and runs the cycle until it ends.
ReelforgeOutcome RunReelforge(const ReelforgeRunOptions& options);

// Starts the program afresh in this process: /proc/self/exe with the same
// arguments and environment. Returns only when that failed.
void ReexecuteSelf(char** argv);

}  // namespace corvalind

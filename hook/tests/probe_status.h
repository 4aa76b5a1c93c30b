// The block of a file that gl_probe maps (--status FILE) to tell the test or
// benchmark that started it how far it got, without pipes anyone must keep
// draining: the whole file is this structure, written by the probe.
#pragma once

#include <atomic>
#include <cstdint>

namespace corvalind::probe {

inline constexpr uint32_t kStatusRing = 4096;

enum Failure : int32_t {
  kNoFailure = 0,
  kGlError = 1,           // glGetError reported an error after a presentation
  kStateChanged = 2,      // GL state the probe set was different afterwards
  kSetupFailed = 3,
};

struct ProbeStatus {
  // Frames presented so far.
  std::atomic<uint32_t> frames;
  // The window's size as the probe last set it.
  std::atomic<uint32_t> width;
  std::atomic<uint32_t> height;
  // The first failure the probe saw (Failure), and after which frame.
  std::atomic<int32_t> failure;
  std::atomic<uint32_t> failureFrame;
  // CLOCK_MONOTONIC nanoseconds when frame k was handed to the
  // presentation, at k % kStatusRing.
  std::atomic<int64_t> presentNs[kStatusRing];
};

}  // namespace corvalind::probe

// The camera's pacing: one sample per frame interval, with millisecond
// sleeps corrected by a carry so that the long-run rate is exact.
//
// All times are in units of 10 microseconds. The carry accumulates how much
// longer each frame period was than the nominal interval; every sleep is
// shortened by 1 ms per 100 units the carry exceeds 100, and lengthened by
// 1 ms per 100 units (rounded up) it falls short, so the carry settles near
// 100 and the average period equals the interval. A frame that is already
// late does not sleep and does not re-centre the carry.
#pragma once

#include <cstdint>
#include <functional>

namespace corvalind {

class FramePacer {
 public:
  static constexpr int64_t kMaxCarry = 100000;  // one second


  // now(): a monotonic counter; frequency: its ticks per second.
  // sleepMs(ms): sleeps, and may return early when the element is flushing.
  FramePacer(std::function<int64_t()> now, int64_t frequency, std::function<void(int)> sleepMs);

  // Start of streaming: the carry is cleared and the clock starts now.
  void Start();
  // Waits for the next frame instant (call once per sample).
  void Pace(int intervalMs);

  int32_t Carry() const { return carry_; }

 private:
  std::function<int64_t()> now_;
  int64_t frequency_;
  std::function<void(int)> sleepMs_;
  int32_t carry_ = 0;
  int64_t lastInstant_ = 0;
};

}  // namespace corvalind

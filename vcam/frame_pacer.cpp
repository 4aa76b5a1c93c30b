#include "vcam/frame_pacer.h"

namespace corvalind {

FramePacer::FramePacer(std::function<int64_t()> now, int64_t frequency,
                       std::function<void(int)> sleepMs)
    : now_(std::move(now)), frequency_(frequency > 0 ? frequency : 1), sleepMs_(std::move(sleepMs)) {}

void FramePacer::Start() {
  carry_ = 0;
  lastInstant_ = now_();
}

void FramePacer::Pace(int intervalMs) {
  const int64_t behind = (lastInstant_ - now_()) * 100000 / frequency_;
  int64_t waitMs = behind / 100 + intervalMs;
  int32_t adjustment = 0;
  if (waitMs > 0) {
    int32_t c = carry_;
    if (c > 100) {
      while (c > 100) {
        c -= 100;
        --waitMs;
        adjustment += 100;
      }
    } else {
      while (c < 100) {
        c += 100;
        ++waitMs;
        adjustment -= 100;
      }
    }
    carry_ = c;
    if (waitMs > 0) sleepMs_(static_cast<int>(waitMs));
  }
  const int64_t current = now_();
  const int64_t spent = (current - lastInstant_) * 100000 / frequency_;
  lastInstant_ = current;
  int64_t carry = carry_ + spent - static_cast<int64_t>(intervalMs) * 100 + adjustment;
  // After a long stall (a paused pipeline, a suspended machine) the carry
  // would ask for a burst of catch-up frames, and could overflow: a second
  // of debt is the most it keeps.
  if (carry > kMaxCarry) carry = kMaxCarry;
  if (carry < -kMaxCarry) carry = -kMaxCarry;
  carry_ = static_cast<int32_t>(carry);
}

}  // namespace corvalind

#include "engine/sources/worker_clock.h"

namespace corvalind {

namespace {

class SteadyClock : public WorkerClock {
 public:
  TimePoint Now() override { return std::chrono::steady_clock::now(); }
  bool WaitUntil(std::condition_variable& wake, std::unique_lock<std::mutex>& lock, TimePoint deadline,
                 const std::function<bool()>& done) override {
    // No deadline is a plain wait: converting the largest time point for
    // a timed wait could overflow.
    if (deadline == TimePoint::max()) {
      wake.wait(lock, done);
      return true;
    }
    return wake.wait_until(lock, deadline, done);
  }
};

}  // namespace

WorkerClock& SteadyWorkerClock() {
  static SteadyClock clock;
  return clock;
}

}  // namespace corvalind

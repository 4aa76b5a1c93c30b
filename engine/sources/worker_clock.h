// The clock a source's worker paces its waits by.
//
// A worker sleeps on its own condition variable until a deadline or until
// its owner wakes it (Stop, a request). The real clock is the steady clock;
// tests hand in a clock they advance by hand, so that rules like "ten
// periods of 100 ms" are checked by counting periods, not by measuring
// time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace corvalind {

class WorkerClock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  virtual ~WorkerClock() = default;
  virtual TimePoint Now() = 0;
  // Sleeps on `wake`, whose mutex `lock` holds, until `done()` holds or the
  // clock reaches `deadline` (TimePoint::max(): no deadline). `done` is
  // checked with the mutex held, so whoever changes what it reads must do
  // so under that mutex and then notify `wake`. Returns done().
  virtual bool WaitUntil(std::condition_variable& wake, std::unique_lock<std::mutex>& lock,
                         TimePoint deadline, const std::function<bool()>& done) = 0;
};

// The steady clock; one for the process.
WorkerClock& SteadyWorkerClock();

}  // namespace corvalind

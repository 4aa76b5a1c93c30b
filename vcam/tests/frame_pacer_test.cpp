// The pacing carry on a simulated clock: millisecond sleeps that overshoot
// and per-frame work still average exactly one interval per frame.
#include "vcam/frame_pacer.h"

#include <gtest/gtest.h>

namespace corvalind {
namespace {

// Time in nanoseconds; sleeps overshoot by `overshootNs`, each frame's own
// work costs `workNs`.
struct FakeClock {
  int64_t now = 1'000'000'000;
  int64_t overshootNs = 0;
  int64_t workNs = 0;
  std::vector<int> sleeps;
};

TEST(FramePacerTest, LongRunPeriodEqualsTheInterval) {
  struct Case {
    int intervalMs;
    int64_t overshootNs, workNs;
  } cases[] = {{40, 0, 0}, {40, 300'000, 500'000}, {16, 1'200'000, 2'000'000},
               {33, 90'000, 7'000'000}, {100, 2'500'000, 0}};
  for (const Case& c : cases) {
    FakeClock clock;
    clock.overshootNs = c.overshootNs;
    clock.workNs = c.workNs;
    FramePacer pacer([&] { return clock.now; }, 1'000'000'000, [&](int ms) {
      clock.sleeps.push_back(ms);
      clock.now += ms * 1'000'000LL + clock.overshootNs;
    });
    pacer.Start();
    const int frames = 5000;
    const int64_t start = clock.now;
    for (int i = 0; i < frames; ++i) {
      clock.now += clock.workNs;  // reading and copying the picture
      pacer.Pace(c.intervalMs);
      ASSERT_GE(pacer.Carry(), -1000) << i;  // the carry stays near 100
      ASSERT_LE(pacer.Carry(), 1000) << i;
    }
    const double periodMs = static_cast<double>(clock.now - start) / frames / 1e6;
    EXPECT_NEAR(periodMs, c.intervalMs, 0.001 * c.intervalMs) << "interval " << c.intervalMs;
  }
}

TEST(FramePacerTest, FirstFramesFollowTheCarryRule) {
  // Exact clock: the first sleep is one ms long (the carry is raised to
  // 100), later ones are the plain interval.
  int64_t now = 0;
  std::vector<int> sleeps;
  FramePacer pacer([&] { return now; }, 1'000'000'000, [&](int ms) {
    sleeps.push_back(ms);
    now += ms * 1'000'000LL;
  });
  pacer.Start();
  for (int i = 0; i < 4; ++i) pacer.Pace(40);
  EXPECT_EQ(sleeps, (std::vector<int>{41, 40, 40, 40}));
  EXPECT_EQ(pacer.Carry(), 100);
}

TEST(FramePacerTest, LateFramesDoNotSleepAndALongStallIsForgiven) {
  int64_t now = 0;
  int sleeps = 0;
  FramePacer pacer([&] { return now; }, 1'000'000'000, [&](int ms) {
    ++sleeps;
    now += ms * 1'000'000LL;
  });
  pacer.Start();
  now += 60'000'000;  // the first frame is already late
  pacer.Pace(40);
  EXPECT_EQ(sleeps, 0);
  now += 3'600'000'000'000LL;  // an hour paused
  pacer.Pace(40);
  EXPECT_LE(pacer.Carry(), FramePacer::kMaxCarry);
  // At most one second of catch-up frames follows.
  int burst = 0;
  while (sleeps == 0 && burst < 1000) {
    now += 1'000'000;
    pacer.Pace(40);
    ++burst;
  }
  EXPECT_LE(burst, 30);
}

}  // namespace
}  // namespace corvalind

// Sources delivering from several threads while the output thread composes,
// the UI thread switches scenes and edits the scene list. Run under
// ThreadSanitizer, which fails the run on any data race.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "engine/tests/engine_fixture.h"
#include "engine/worker_pool.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

using testing::EngineTest;
using testing::SolidFrame;
using testing::WaitFor;
using testing::Zone;

TEST_F(EngineTest, ConcurrencyDeliverComposeSwitchAndEdit) {
  Build(320, 180);
  VideoZone keyed = Zone(VIDPOS_FREE, 2, 40, 40, 10, 10);
  keyed.chroma = true;
  VideoZone aspect = Zone(VIDPOS_FULLSCREEN, 1, 100, 100);
  aspect.keepAspect = true;
  aspect.alpha = 100;
  ASSERT_TRUE(engine->StoreScene({Zone(VIDPOS_FULLSCREEN_NAR, 0, 100, 100), keyed}, "a", -1));
  ASSERT_TRUE(engine->StoreScene({aspect, Zone(VIDPOS_TOP_RIGHT, 3, 30, 30)}, "b", -1));
  ASSERT_TRUE(engine->StoreScene({Zone(VIDPOS_CENTER, 2, 50, 50)}, "c", -1));

  std::atomic<bool> running{true};
  std::vector<std::thread> sources;
  for (int slot = 0; slot < 4; ++slot) {
    sources.emplace_back([&, slot] {
      // Sizes change as they do when a source is reconfigured.
      const int sizes[3][2] = {{64, 48}, {160, 90}, {33, 17}};
      int n = 0;
      while (running.load()) {
        const auto& size = sizes[(n / 7) % 3];
        const auto frame = SolidFrame(size[0], size[1], static_cast<uint8_t>(n), 0, 255);
        slots.DeliverFrame(false, static_cast<uint8_t>(slot), frame.data(),
                           static_cast<uint32_t>(frame.size()), size[0], size[1]);
        if (n % 50 == 49) slots.ReleaseSlot(slot);
        ++n;
        std::this_thread::yield();
      }
    });
  }

  std::atomic<int> composed{0};
  std::thread output([&] {
    std::vector<uint8_t> frame(format.frameBytes + 1);
    while (running.load()) {
      if (engine->ComposeProgramFrame(frame.data(), format.frameBytes)) composed++;
      // The byte after the picture is never written.
      EXPECT_EQ(frame[format.frameBytes], 0);
    }
  });

  for (int i = 0; i < 300; ++i) {
    engine->SwitchScene(i % 3, i % kTransitionTypeCount);
    if (i % 10 == 0) {
      engine->StoreScene({Zone(VIDPOS_BOTTOM_LEFT, i % 4, 20, 20)}, "edit", -1);
      engine->DeleteScene(engine->SceneCount() - 1);
    }
    std::vector<VideoZone> zones;
    std::string name;
    engine->GetScene(i % 3, zones, name);
    // The output thread composes once more before the next round of
    // changes, so that every round meets a composition.
    const int before = composed.load();
    if (!WaitFor([&] { return composed.load() > before; })) {
      ADD_FAILURE() << "no composition after round " << i;
      break;  // the threads are still stopped and joined below
    }
  }
  running = false;
  output.join();
  for (std::thread& t : sources) t.join();
  EXPECT_GT(composed.load(), 0);
  EXPECT_EQ(engine->SceneCount(), 3);
}

TEST(ConcurrencyPool, TwoThreadsShareThePool) {
  // Two callers at once: one gets the workers, the other runs its rows
  // itself; both see every row exactly once.
  WorkerPool pool(2);
  auto work = [&pool] {
    for (int i = 0; i < 200; ++i) {
      std::vector<int> hits(97, 0);
      pool.Run(97, [&](int first, int end) {
        for (int r = first; r < end; ++r) hits[static_cast<std::size_t>(r)]++;
      });
      for (int h : hits) ASSERT_EQ(h, 1);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
}

}  // namespace
}  // namespace corvalind

// The worker pool: blocks cover every row once, the pool is reused, and a
// job that calls back into a busy pool runs on its own thread.
#include "engine/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace corvalind {
namespace {

TEST(WorkerPoolTest, BlocksAreContiguousEqualAndCoverAllRows) {
  for (int rows : {0, 1, 2, 7, 1079, 1080}) {
    for (int blocks : {1, 2, 3, 16}) {
      int expectedFirst = 0;
      for (int i = 0; i < blocks; ++i) {
        int first = 0, end = 0;
        BlockRange(rows, blocks, i, &first, &end);
        EXPECT_EQ(first, expectedFirst);
        EXPECT_GE(end - first, rows / blocks);
        EXPECT_LE(end - first, rows / blocks + 1);
        expectedFirst = end;
      }
      EXPECT_EQ(expectedFirst, rows);
    }
  }
}

TEST(WorkerPoolTest, EveryRowRunsExactlyOnceAcrossManyJobs) {
  for (int threads : {1, 2, 4}) {
    WorkerPool pool(threads);
    EXPECT_EQ(pool.ThreadCount(), threads);
    for (int rows : {1, 2, 3, 5, 100, 1081}) {
      for (int repeat = 0; repeat < 20; ++repeat) {
        std::vector<std::atomic<int>> hits(static_cast<std::size_t>(rows));
        pool.Run(rows, [&](int first, int end) {
          for (int r = first; r < end; ++r) hits[static_cast<std::size_t>(r)]++;
        });
        for (int r = 0; r < rows; ++r) ASSERT_EQ(hits[static_cast<std::size_t>(r)].load(), 1);
      }
    }
  }
}

TEST(WorkerPoolTest, NestedCallRunsInlineInsteadOfDeadlocking) {
  WorkerPool pool(2);
  std::atomic<int> inner{0};
  pool.Run(4, [&](int first, int end) {
    pool.Run(3, [&](int a, int b) { inner += b - a; });
    (void)first;
    (void)end;
  });
  EXPECT_EQ(inner.load(), 2 * 3);  // two blocks, each ran the nested job whole
}

}  // namespace
}  // namespace corvalind

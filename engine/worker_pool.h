// A fixed pool of worker threads that run one row job at a time.
//
// The scalers split their destination rows into contiguous, equal blocks,
// one per worker, and wait until every block is done. The threads are made
// once, when the pool is built, and reused by every call: nothing is created
// per frame. The calling thread runs the first block itself.
//
// `Run` may be called from any thread. While one job runs, a second caller
// (another thread, or a job that calls back into the pool) does its job on
// its own thread instead of waiting, so the pool can never deadlock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace corvalind {

class WorkerPool {
 public:
  // A row job: handle rows [firstRow, endRow).
  using RowJob = std::function<void(int firstRow, int endRow)>;

  // `threads` is the number of blocks a job is split into (the caller counts
  // as one); 0 means one per logical processor.
  explicit WorkerPool(int threads = 0);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Runs job over rows [0, rowCount) in equal contiguous blocks and returns
  // when all of them are done.
  void Run(int rowCount, const RowJob& job);

  int ThreadCount() const { return static_cast<int>(workers_.size()) + 1; }

 private:
  void WorkerLoop(int index);

  std::vector<std::thread> workers_;
  std::mutex runMutex_;  // one job at a time

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  uint64_t generation_ = 0;  // guarded by mutex_
  int pending_ = 0;          // workers still busy with the current job
  bool stopping_ = false;
  const RowJob* job_ = nullptr;
  int rowCount_ = 0;
};

// The program-wide pool used by the scalers, made on first use.
WorkerPool& DefaultWorkerPool();

// Splits rows [0, rowCount) into `blocks` contiguous parts of equal size (the
// remainder spread over the first ones) and returns block `index`.
void BlockRange(int rowCount, int blocks, int index, int* first, int* end);

}  // namespace corvalind

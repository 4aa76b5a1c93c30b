#include "engine/worker_pool.h"

namespace corvalind {

namespace {
// Set while this thread runs part of a pool job: a job that calls back into
// a pool runs the inner job itself (and never try-locks a mutex it owns).
thread_local bool tInsideJob = false;

struct InsideJob {
  bool previous = tInsideJob;
  InsideJob() { tInsideJob = true; }
  ~InsideJob() { tInsideJob = previous; }
};
}  // namespace

void BlockRange(int rowCount, int blocks, int index, int* first, int* end) {
  const int base = rowCount / blocks;
  const int extra = rowCount % blocks;
  *first = index * base + (index < extra ? index : extra);
  *end = *first + base + (index < extra ? 1 : 0);
}

WorkerPool::WorkerPool(int threads) {
  if (threads <= 0) {
    threads = static_cast<int>(std::thread::hardware_concurrency());
    if (threads <= 0) threads = 1;
  }
  workers_.reserve(static_cast<std::size_t>(threads - 1));
  for (int i = 1; i < threads; ++i) workers_.emplace_back(&WorkerPool::WorkerLoop, this, i);
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void WorkerPool::Run(int rowCount, const RowJob& job) {
  if (rowCount <= 0) return;
  if (tInsideJob || workers_.empty() || rowCount == 1) {
    job(0, rowCount);
    return;
  }
  std::unique_lock<std::mutex> runLock(runMutex_, std::try_to_lock);
  if (!runLock.owns_lock()) {
    InsideJob inside;
    job(0, rowCount);
    return;
  }
  InsideJob inside;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    job_ = &job;
    rowCount_ = rowCount;
    pending_ = static_cast<int>(workers_.size());
    ++generation_;
  }
  wake_.notify_all();

  int first = 0, end = 0;
  BlockRange(rowCount, ThreadCount(), 0, &first, &end);
  if (first < end) job(first, end);

  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return pending_ == 0; });
  job_ = nullptr;
}

void WorkerPool::WorkerLoop(int index) {
  uint64_t seen = 0;
  for (;;) {
    const RowJob* job = nullptr;
    int rowCount = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
      job = job_;
      rowCount = rowCount_;
    }
    int first = 0, end = 0;
    BlockRange(rowCount, ThreadCount(), index, &first, &end);
    if (first < end) {
      InsideJob inside;
      (*job)(first, end);
    }
    bool last = false;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      last = --pending_ == 0;
    }
    if (last) done_.notify_one();
  }
}

WorkerPool& DefaultWorkerPool() {
  static WorkerPool pool;
  return pool;
}

}  // namespace corvalind

// Live demo sources: one worker thread per generated picture, delivering a
// new frame into its slot every frame interval, as a camera would.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

#include "engine/source_slot.h"

namespace corvalind {

class DemoSources {
 public:
  // Starts one thread per demo source (slots 0 to 3).
  DemoSources(SourceSlotTable& slots, int frameIntervalMs);
  // Stops and joins the threads.
  ~DemoSources();
  DemoSources(const DemoSources&) = delete;
  DemoSources& operator=(const DemoSources&) = delete;

 private:
  void Run(int slot);

  SourceSlotTable& slots_;
  const int frameIntervalMs_;
  std::atomic<bool> running_{true};
  std::vector<std::thread> threads_;
};

}  // namespace corvalind

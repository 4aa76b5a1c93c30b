#include "studio/demo_sources.h"

#include <chrono>

#include "studio/demo_scene.h"

namespace corvalind {

DemoSources::DemoSources(SourceSlotTable& slots, int frameIntervalMs)
    : slots_(slots), frameIntervalMs_(frameIntervalMs > 0 ? frameIntervalMs : 40) {
  for (int slot = 0; slot < 4; ++slot) threads_.emplace_back(&DemoSources::Run, this, slot);
}

DemoSources::~DemoSources() {
  running_ = false;
  for (std::thread& thread : threads_) thread.join();
}

void DemoSources::Run(int slot) {
  const DemoSource& source = kDemoSources[slot];
  const auto interval = std::chrono::milliseconds(frameIntervalMs_);
  // Sleep to absolute deadlines so that the rate does not drift.
  auto next = std::chrono::steady_clock::now();
  for (int phase = 0; running_.load(); ++phase) {
    const auto frame = MakeDemoPicture(source.kind, source.width, source.height, phase);
    slots_.DeliverFrame(false, static_cast<uint8_t>(slot), frame.data(),
                        static_cast<uint32_t>(frame.size()), source.width, source.height);
    next += interval;
    const auto now = std::chrono::steady_clock::now();
    if (next < now) next = now;  // late: do not try to catch up in a burst
    // Short sleeps, so that a stop is noticed quickly.
    while (running_.load() && std::chrono::steady_clock::now() < next) {
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
          next - std::chrono::steady_clock::now(), std::chrono::milliseconds(20)));
    }
  }
}

}  // namespace corvalind

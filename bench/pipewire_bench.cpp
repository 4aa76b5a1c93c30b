// The PipeWire camera at 1280 x 720, 30 frames per second, on a private
// PipeWire: a publisher offers a new program picture every frame interval,
// as the output loop does with a changing program, and a consumer reads
// the node through GStreamer's pipewiresrc in I420, the format camera
// consumers take first.
//
// Every picture carries its number in a row of black and white blocks, so
// the consumer knows which offer it received.
//
// Counters:
//   latency_ms_mean/p50/p99  from the offer of a picture to the consumer's
//                            first sample of it: what the node adds to the
//                            program's way out (the node sends on its own
//                            tick, so up to one frame interval of it is the
//                            wait for the next tick)
//   frame_interval_ms        the program's frame interval, for comparison
//   loop_cpu_pct             PipeWire's two threads serving the node
//                            (conversion, copy, the graph) in % of one core
//   offer_cpu_pct            the publisher's copies into the node, % of one core
//   received_fps             samples per second at the consumer
//   pictures_missed          offered pictures the consumer never saw
#include <benchmark/benchmark.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/pipewire/pipewire_camera.h"
#include "test_support/pipewire_daemon.h"
#include "test_support/test_home.h"

namespace {

using namespace corvalind;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kRate = 30;
constexpr int kBits = 16;
constexpr int kBlock = 32;  // pixels per bit block, in both directions

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The picture numbered n: a moving gradient, with n's bits as blocks along
// the top (the buffer is bottom row first).
void Paint(std::vector<uint8_t>& picture, uint32_t n) {
  for (int row = 0; row < kHeight; ++row) {
    uint8_t* line = &picture[static_cast<std::size_t>(row) * kWidth * 3];
    for (int x = 0; x < kWidth; ++x) {
      const uint8_t v = static_cast<uint8_t>(x + row + n * 3);
      line[x * 3] = v;
      line[x * 3 + 1] = static_cast<uint8_t>(v / 2);
      line[x * 3 + 2] = static_cast<uint8_t>(255 - v);
    }
  }
  for (int bit = 0; bit < kBits; ++bit) {
    const uint8_t v = (n >> bit) & 1 ? 255 : 0;
    for (int y = 0; y < kBlock; ++y) {
      uint8_t* line = &picture[static_cast<std::size_t>(kHeight - 1 - y) * kWidth * 3];
      std::fill(line + bit * kBlock * 3, line + (bit + 1) * kBlock * 3, v);
    }
  }
}

// The number from the luma plane of an I420 sample (top row first).
uint32_t Number(const uint8_t* luma, int stride) {
  uint32_t n = 0;
  for (int bit = 0; bit < kBits; ++bit) {
    const uint8_t v = luma[(kBlock / 2) * stride + bit * kBlock + kBlock / 2];
    if (v > 128) n |= 1u << bit;
  }
  return n;
}

void BM_PipeWireCamera(benchmark::State& state) {
  testing::TemporaryHome home("corvalind-bench-pipewire");
  testing::PrivatePipeWire daemon;
  std::string reason;
  if (!daemon.Start(home.Root() / "runtime", &reason)) {
    state.SkipWithError(reason.c_str());
    return;
  }
  gst_init(nullptr, nullptr);
  const int seconds = static_cast<int>(state.range(0));
  for (auto _ : state) {
    PipeWireCamera camera({kWidth, kHeight, kRate}, "corvalind-camera-bench");
    const std::string description = "pipewiresrc target-object=corvalind-camera-bench ! video/x-raw,format=I420 ! "
                                    "appsink name=sink sync=false max-buffers=4 drop=false";
    GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);

    const int total = seconds * kRate;
    std::vector<Clock::time_point> offered(static_cast<std::size_t>(total) + 1);
    std::vector<double> latencies;
    std::atomic<bool> stop{false};
    std::atomic<int> offeredCount{0};
    std::atomic<uint64_t> samples{0};
    std::thread consumer([&] {
      uint32_t lastSeen = 0;
      while (!stop.load()) {
        GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 100 * GST_MSECOND);
        if (!sample) continue;
        const Clock::time_point now = Clock::now();
        ++samples;
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        GstMapInfo map;
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
          const uint32_t n = Number(map.data, kWidth);
          gst_buffer_unmap(buffer, &map);
          if (n != lastSeen && n >= 1 && static_cast<int>(n) <= offeredCount.load()) {
            latencies.push_back(std::chrono::duration<double, std::milli>(now - offered[n]).count());
            lastSeen = n;
          }
        }
        gst_sample_unref(sample);
      }
    });

    // Wait for the consumer to stream before the measured offers.
    std::vector<uint8_t> picture(static_cast<std::size_t>(kWidth) * kHeight * 3);
    Paint(picture, 0);
    camera.Offer(picture.data(), static_cast<uint32_t>(picture.size()));
    testing::WaitFor([&] { return samples > 5; });

    const uint64_t loopCpuBefore = camera.ThreadCpuNanoseconds();
    const uint64_t samplesBefore = samples;
    double offerCpu = 0;
    const Clock::time_point start = Clock::now();
    for (int n = 1; n <= total; ++n) {
      std::this_thread::sleep_until(start + std::chrono::microseconds(1000000LL * n / kRate));
      Paint(picture, static_cast<uint32_t>(n));
      offered[static_cast<std::size_t>(n)] = Clock::now();
      offeredCount.store(n);
      const double before = ThreadCpuSeconds();
      camera.Offer(picture.data(), static_cast<uint32_t>(picture.size()));
      offerCpu += ThreadCpuSeconds() - before;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const uint64_t loopCpu = camera.ThreadCpuNanoseconds() - loopCpuBefore;
    const uint64_t received = samples - samplesBefore;
    stop.store(true);
    consumer.join();
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);

    std::sort(latencies.begin(), latencies.end());
    if (latencies.empty()) {
      state.SkipWithError("the consumer received nothing");
      return;
    }
    double sum = 0;
    for (double l : latencies) sum += l;
    state.counters["latency_ms_mean"] = sum / static_cast<double>(latencies.size());
    state.counters["latency_ms_p50"] = latencies[latencies.size() / 2];
    state.counters["latency_ms_p99"] = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    state.counters["frame_interval_ms"] = 1000.0 / kRate;
    state.counters["loop_cpu_pct"] = 100.0 * static_cast<double>(loopCpu) / 1e9 / wall;
    state.counters["offer_cpu_pct"] = 100.0 * offerCpu / wall;
    state.counters["received_fps"] = static_cast<double>(received) / wall;
    state.counters["pictures_missed"] = static_cast<double>(total - static_cast<int>(latencies.size()));
  }
}
BENCHMARK(BM_PipeWireCamera)->Arg(20)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

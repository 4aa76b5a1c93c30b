// The output path: the camera's pacing through a real pipeline, the cost of
// one camera sample copy against memcpy, and the latency from a source's
// delivery to the counter byte changing in the shared block.
#include <benchmark/benchmark.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/program_output_loop.h"
#include "engine/source_slot.h"
#include "engine/video_engine.h"
#include "platform/folders.h"
#include "platform/output_block.h"
#include "platform/settings_file.h"
#include "studio/shared_output_target.h"
#include "vcam/output_reader.h"

namespace {

using namespace corvalind;
using Clock = std::chrono::steady_clock;

// A private config folder and buffer name, so that the user's settings and
// a running studio play no part.
struct PrivateOutput {
  std::filesystem::path root;
  std::string bufferName;
  PrivateOutput() {
    root = std::filesystem::temp_directory_path() / ("corvalind-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(root / "config");
    setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    if (!std::getenv("GST_PLUGIN_PATH")) setenv("GST_PLUGIN_PATH", CORVALIND_PLUGIN_DIR, 1);
    bufferName = "CorvalindBench_" + std::to_string(getpid());
  }
  ~PrivateOutput() { std::filesystem::remove_all(root); }
};

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const std::size_t index = std::min(values.size() - 1, static_cast<std::size_t>(p * (values.size() - 1) + 0.5));
  return values[index];
}

// Pacing: buffer arrival times at an appsink that does not sync, over
// `seconds`, at the rate index given. Reports the long-run rate error
// against the stamped interval and the 99th percentile of |interval - nominal|.
void BM_CameraPacing(benchmark::State& state) {
  const int rateIndex = static_cast<int>(state.range(0));
  const int seconds = static_cast<int>(state.range(1));
  PrivateOutput output;
  WriteSettingsFile(SettingsFilePath(), 0, rateIndex, false);  // 320 x 180
  const int intervalMs = 1000 / kFrameRates[rateIndex].fps;
  gst_init(nullptr, nullptr);
  for (auto _ : state) {
    const std::string description =
        "corvalindcamsrc buffer-name=" + output.bufferName + " ! appsink name=sink sync=false max-buffers=4";
    GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    std::vector<Clock::time_point> arrivals;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
      GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), GST_SECOND);
      if (!sample) break;
      arrivals.push_back(Clock::now());
      gst_sample_unref(sample);
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    if (arrivals.size() < 10) {
      state.SkipWithError("the camera delivered too few buffers");
      return;
    }
    // Skip the start-up second, when the pipeline is still settling.
    const std::size_t first = std::min<std::size_t>(arrivals.size() / 10, 1000 / intervalMs);
    std::vector<double> deviations;
    for (std::size_t i = first + 1; i < arrivals.size(); ++i) {
      const double ms = std::chrono::duration<double, std::milli>(arrivals[i] - arrivals[i - 1]).count();
      deviations.push_back(std::fabs(ms - intervalMs));
    }
    const double spanMs = std::chrono::duration<double, std::milli>(arrivals.back() - arrivals[first]).count();
    const double periodMs = spanMs / static_cast<double>(arrivals.size() - 1 - first);
    state.counters["nominal_ms"] = intervalMs;
    state.counters["mean_period_ms"] = periodMs;
    state.counters["rate_error_pct"] = 100.0 * std::fabs(periodMs - intervalMs) / intervalMs;
    state.counters["p99_dev_ms"] = Percentile(deviations, 0.99);
    state.counters["buffers"] = static_cast<double>(arrivals.size());
  }
}
BENCHMARK(BM_CameraPacing)
    ->Name("CameraPacing")
    ->ArgNames({"rate_index", "seconds"})
    ->Args({2, 12})
    ->Args({5, 12})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// One camera sample at 1920 x 1200: the block's bottom-up rows turned into
// the buffer (and mirrored), against memcpy of the same bytes.
void BM_SampleCopy(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));  // 0 memcpy, 1 turned, 2 turned + mirrored
  const int w = 1920, h = 1200;
  const std::size_t bytes = static_cast<std::size_t>(w) * h * 3;
  std::vector<uint8_t> block(bytes + 1, 7), picture(bytes);
  for (auto _ : state) {
    if (mode == 0) {
      std::memcpy(picture.data(), block.data() + 1, bytes);
    } else {
      CopyTurned(block.data() + 1, static_cast<uint32_t>(bytes), picture.data(), w, h, mode == 2);
    }
    benchmark::DoNotOptimize(picture.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_SampleCopy)->Name("CameraSampleCopy/memcpy/1920x1200")->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SampleCopy)->Name("CameraSampleCopy/turned/1920x1200")->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SampleCopy)->Name("CameraSampleCopy/turned_mirrored/1920x1200")->Arg(2)->Unit(benchmark::kMicrosecond);

// From DeliverFrame to the counter byte changing in the shared block, with
// the real output loop (5 ms polls) and a one-zone 1280 x 720 program.
void BM_PublishLatency(benchmark::State& state) {
  PrivateOutput output;
  OutputFormat format;
  format.SetSize(1280, 720);
  SourceSlotTable slots;
  ImageLayerHooks layers;
  auto engine = VideoEngine::Create(slots, format, layers);
  VideoZone zone;
  zone.placement = VIDPOS_FULLSCREEN_NAR;
  zone.sourceId = 0;
  zone.widthFrac = zone.heightFrac = 100;
  engine->StoreScene({zone}, "latency", -1);
  std::vector<uint8_t> frame(1280 * 720 * 3, 9);
  for (auto _ : state) {
    ProgramOutputLoop loop(format, std::make_unique<SharedOutputTarget>(output.bufferName, format.frameBytes),
                           engine.get());
    OutputBlock reader;
    while (!OpenOutputBlock(reader, output.bufferName)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const volatile uint8_t* counter = reader.block.Data();
    std::vector<double> latencies;
    for (int i = 0; i < 1000; ++i) {
      frame[0] = static_cast<uint8_t>(i);
      const uint8_t before = *counter;
      const auto start = Clock::now();
      slots.DeliverFrame(false, 0, frame.data(), static_cast<uint32_t>(frame.size()), 1280, 720);
      while (*counter == before) {
        if (Clock::now() - start > std::chrono::seconds(2)) break;
      }
      latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      // Sources deliver at their own rate; leave the loop a poll between.
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    state.counters["median_ms"] = Percentile(latencies, 0.5);
    state.counters["p99_ms"] = Percentile(latencies, 0.99);
    state.counters["max_ms"] = Percentile(latencies, 1.0);
  }
}
BENCHMARK(BM_PublishLatency)->Name("PublishLatency/1280x720")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

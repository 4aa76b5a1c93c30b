// Live media in: decoding a 1080p H.264 file into a slot beside the bare
// GStreamer pipeline that decodes and converts the same file, and the
// latency from a live camera's buffer time to the counter byte of the
// shared block.
#include <benchmark/benchmark.h>
#include <gst/gst.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "capture/camera_source.h"
#include "capture/recorder.h"
#include "capture/media_toolkit.h"
#ifdef CORVALIND_BENCH_CAMERA
#include "capture/tests/fake_cameras.h"
#endif
#include "capture/videofile_source.h"
#include "engine/image_layer_hooks.h"
#include "engine/program_output_loop.h"
#include "engine/source_slot.h"
#include "engine/video_engine.h"
#include "platform/output_block.h"
#include "platform/settings_file.h"
#include "studio/shared_output_target.h"

namespace {

using namespace corvalind;
using Clock = std::chrono::steady_clock;

constexpr int kFileFrames = 90;  // 3 s at 30 frames per second

double ProcessCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const std::size_t index = std::min(values.size() - 1, static_cast<std::size_t>(p * (values.size() - 1) + 0.5));
  return values[index];
}

// The 1080p clip both decoders play, made once.
const std::string& H264File() {
  static const std::string path = [] {
    const std::string file = (std::filesystem::temp_directory_path() /
                              ("corvalind-bench-" + std::to_string(getpid()) + "-1080p.mp4")).string();
    const std::string command =
        "gst-launch-1.0 -q videotestsrc pattern=ball num-buffers=" + std::to_string(kFileFrames) +
        " ! video/x-raw,width=1920,height=1080,framerate=30/1 ! x264enc speed-preset=veryfast bitrate=8000 ! "
        "mp4mux ! filesink location=" + file + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0 ? file : std::string();
  }();
  static const struct Remover {
    ~Remover() {
      if (!path.empty()) std::filesystem::remove(path);
    }
  } remover;
  return path;
}

std::atomic<uint64_t> fileFrames{0};
void CountFrame(bool, uint8_t, const uint8_t*, uint32_t, int32_t, int32_t) { fileFrames.fetch_add(1); }

// The video-file source: from Start until the whole file (once) is in the
// slot, at the file's own pace.
void BM_FileToSlot(benchmark::State& state) {
  InitMediaToolkit();
  if (H264File().empty()) {
    state.SkipWithError("no H.264 encoder to make the clip");
    return;
  }
  double cpu = 0;
  double wall = 0;
  for (auto _ : state) {
    fileFrames.store(0);
    const double cpuStart = ProcessCpuSeconds();
    const auto wallStart = Clock::now();
    VideoFileSource source(1, H264File(), false, &CountFrame);
    source.Start();
    while (fileFrames.load() < kFileFrames - 1 && source.Loops() == 0 && Clock::now() - wallStart < std::chrono::seconds(30)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    cpu = ProcessCpuSeconds() - cpuStart;
    wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
    source.Stop();
  }
  const double frames = static_cast<double>(fileFrames.load());
  state.counters["frames"] = frames;
  state.counters["fps"] = frames / wall;
  state.counters["cpu_ms_per_frame"] = 1000.0 * cpu / frames;
}

// The bare pipeline on the same file, synchronised to the clock as the
// source is: filesrc ! decodebin ! videoconvert ! BGR ! fakesink.
void BM_BarePipeline(benchmark::State& state) {
  InitMediaToolkit();
  if (H264File().empty()) {
    state.SkipWithError("no H.264 encoder to make the clip");
    return;
  }
  double cpu = 0;
  double wall = 0;
  for (auto _ : state) {
    const std::string description = "filesrc location=" + H264File() +
                                    " ! decodebin ! videoconvert ! video/x-raw,format=BGR ! fakesink sync=true";
    GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
    const double cpuStart = ProcessCpuSeconds();
    const auto wallStart = Clock::now();
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* message = gst_bus_timed_pop_filtered(bus, 30 * GST_SECOND,
                                                     static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    cpu = ProcessCpuSeconds() - cpuStart;
    wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
    if (message) gst_message_unref(message);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
  }
  state.counters["frames"] = kFileFrames;
  state.counters["fps"] = kFileFrames / wall;
  state.counters["cpu_ms_per_frame"] = 1000.0 * cpu / kFileFrames;
}

#ifdef CORVALIND_BENCH_CAMERA
// A live 1280 x 720 camera at 30 frames per second into slot 0, one
// full-picture zone, the real output loop: from the buffer's time on the
// graph's clock to the counter byte changing.
void BM_CameraToProgram(benchmark::State& state) {
  testing::HideOtherDeviceProviders();
  InitMediaToolkit();
  testing::RegisterFakeCameras();
  testing::FakeCameraSpec benchCamera;
  benchCamera.name = "Bench Camera";
  benchCamera.caps = {"video/x-raw,format=YUY2,width=1280,height=720,framerate=30/1"};
  testing::AddFakeCamera(benchCamera);
  int index = -1;
  const std::vector<std::string> names = FillDeviceList(DeviceCategory::kVideoInput, false);
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == benchCamera.name) index = DeviceIndexOfListPosition(DeviceCategory::kVideoInput, static_cast<int>(i));
  }
  if (index < 0) {
    state.SkipWithError("the bench camera is not listed");
    return;
  }

  const std::string bufferName = "CorvalindBenchCamera_" + std::to_string(getpid());
  OutputFormat format;
  format.SetSize(1280, 720);
  format.SetFrameRate(30);
  ImageLayerHooks layers;
  auto engine = VideoEngine::Create(GlobalSourceSlots(), format, layers);
  VideoZone zone;
  zone.placement = VIDPOS_FULLSCREEN_NAR;
  zone.sourceId = 0;
  zone.widthFrac = zone.heightFrac = 100;
  engine->StoreScene({zone}, "camera", -1);

  std::vector<double> latencies;
  for (auto _ : state) {
    ProgramOutputLoop loop(format, std::make_unique<SharedOutputTarget>(bufferName, format.frameBytes), engine.get());
    OutputBlock reader;
    while (!OpenOutputBlock(reader, bufferName)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const volatile uint8_t* counter = reader.block.Data();
    CameraRequest request;
    request.deviceIndex = index;
    request.width = 1280;
    request.height = 720;
    request.frameDuration = 333333;
    CameraSource camera(0, request);
    camera.SetStatusSink([](const std::string&) {});
    camera.Start();
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (camera.FramesDelivered() < 5 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    uint8_t seen = *counter;
    uint64_t measuredFrame = 0;
    while (latencies.size() < 300 && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      if (*counter == seen) continue;
      seen = *counter;
      const int64_t due = camera.LastFrameClockNs();
      const uint64_t frame = camera.FramesDelivered();
      // One measurement per camera picture, and only when no newer one
      // arrived meanwhile.
      if (due < 0 || frame == measuredFrame) continue;
      measuredFrame = frame;
      latencies.push_back(static_cast<double>(MonotonicNs() - due) / 1e6);
    }
    camera.Stop();
  }
  state.counters["frames"] = static_cast<double>(latencies.size());
  state.counters["median_ms"] = Percentile(latencies, 0.5);
  state.counters["p99_ms"] = Percentile(latencies, 0.99);
  state.counters["max_ms"] = Percentile(latencies, 1.0);
}

// A 60 s recording of a changing 1280 x 720 program at 30 fps through the
// camera element with x264enc as it comes and Vorbis sound from the fake
// microphone into Matroska, with the sync check every 5 s: frames recorded
// against frames published, the process's CPU while recording, and the
// audio-video difference at the end.
void BM_Record(benchmark::State& state) {
  testing::HideOtherDeviceProviders();
  InitMediaToolkit();
  testing::RegisterFakeCameras();
  const std::string bufferName = "CorvalindBenchRecord_" + std::to_string(getpid());
  const std::string path =
      (std::filesystem::temp_directory_path() / ("corvalind-bench-" + std::to_string(getpid()) + ".mkv")).string();
  OutputFormat format;
  format.SetSize(1280, 720);
  format.SetFrameRate(30);
  SourceSlotTable slots;
  ImageLayerHooks layers;
  auto engine = VideoEngine::Create(slots, format, layers);
  VideoZone zone;
  zone.placement = VIDPOS_FULLSCREEN_NAR;
  zone.sourceId = 0;
  zone.widthFrac = zone.heightFrac = 100;
  engine->StoreScene({zone}, "recorded", -1);
  // The build's camera element, and a private settings file for it (it
  // takes its size and rate from there), so the user's plays no part.
  gst_registry_scan_path(gst_registry_get(), CORVALIND_PLUGIN_DIR);
  const std::filesystem::path config =
      std::filesystem::temp_directory_path() / ("corvalind-bench-record-" + std::to_string(getpid()));
  std::filesystem::create_directories(config / "Corvalind");
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  WriteSettingsFile((config / "Corvalind" / "settings.txt").string(), 13, 3, false);
  for (auto _ : state) {
    ProgramOutputLoop loop(format, std::make_unique<SharedOutputTarget>(bufferName, format.frameBytes), engine.get());
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
      std::vector<uint8_t> picture(1280 * 720 * 3);
      for (uint32_t i = 0; feeding.load(); ++i) {
        for (size_t row = 0; row < 720; ++row) std::fill_n(picture.begin() + row * 3840, 3840, static_cast<uint8_t>(row + i));
        slots.DeliverFrame(false, 0, picture.data(), static_cast<uint32_t>(picture.size()), 1280, 720);
        std::this_thread::sleep_for(std::chrono::milliseconds(33));
      }
    });
    Recorder recorder;
    std::string audioEncoder;
    for (const EncoderEntry& entry : AudioEncoders()) {
      if (entry.factory == "vorbisenc") audioEncoder = entry.longName;
    }
    std::string videoEncoder;
    for (const EncoderEntry& entry : VideoEncoders()) {
      if (entry.factory == "x264enc") videoEncoder = entry.longName;
    }
    if (videoEncoder.empty() || !recorder.SetVideoEncoder(videoEncoder) || !recorder.SetAudioSource("Fake Microphone") ||
        !recorder.SetAudioEncoder(audioEncoder)) {
      feeding = false;
      feeder.join();
      state.SkipWithError("x264enc, vorbisenc or the fake microphone is missing");
      return;
    }
    while (!loop.Publishing()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (recorder.Start(path, true, bufferName) != Recorder::StartResult::kStarted) {
      feeding = false;
      feeder.join();
      state.SkipWithError(recorder.Message().c_str());
      return;
    }
    const uint64_t publishedStart = loop.PublishedFrames();
    const double cpuStart = ProcessCpuSeconds();
    const auto start = Clock::now();
    std::string line;
    for (int check = 1; check <= 12; ++check) {
      std::this_thread::sleep_until(start + std::chrono::seconds(5 * check));
      const std::string answer = recorder.CheckSync(30);
      if (!answer.empty()) line = answer;
    }
    const double cpu = ProcessCpuSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const uint64_t published = loop.PublishedFrames() - publishedStart;
    const FlowStats video = recorder.VideoStats();
    const FlowStats audio = recorder.AudioStats();
    const double v = static_cast<double>(video.samples) / 30.0;
    const double a = recorder.AudioBytesPerSecond() ? static_cast<double>(audio.bytes) / recorder.AudioBytesPerSecond() : 0;
    recorder.Stop();
    feeding = false;
    feeder.join();
    state.counters["frames_published"] = static_cast<double>(published);
    state.counters["frames_recorded"] = static_cast<double>(video.samples);
    state.counters["cpu_pct_of_one_core"] = 100.0 * cpu / wall;
    state.counters["av_diff_end_ms"] = 1000.0 * (v - a);
    state.SetLabel(line);
  }
  std::filesystem::remove(path);
  std::filesystem::remove_all(config);
}
#endif

}  // namespace

BENCHMARK(BM_FileToSlot)->Name("DecodeToSlot/h264_1080p/video_file_source")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BarePipeline)->Name("DecodeToSlot/h264_1080p/bare_gst_pipeline")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
#ifdef CORVALIND_BENCH_CAMERA
BENCHMARK(BM_Record)->Name("Record/1280x720_30fps_x264_vorbis_60s")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CameraToProgram)->Name("CameraToProgram/1280x720_30fps")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

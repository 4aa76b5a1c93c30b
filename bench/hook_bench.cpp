// Game capture: what Snaptrace costs a game and how late its frames reach
// the studio. gl_probe draws at 1280 x 720 on a private Xvfb (Mesa's
// software renderer), started through snaptrace-run while a hook context
// captures it, or directly without the library for comparison.
//
//   build/bin/corvalind-bench --benchmark_filter='Hook'
//
// HookFrameTime/hook:0|1   the probe's time from one presentation to the
//                          next over 300 frames after 30 of warm-up,
//                          drawing as fast as it can: median_ms, p99_ms,
//                          mean_ms, max_ms (a frame that reads back).
// HookSwapToSlot/fps:N     from the moment the probe hands a frame to
//                          glXSwapBuffers to its arrival in the slot
//                          (0: as fast as it can): median_ms, p99_ms.
//                          With pixel buffer objects the frame read at one
//                          swap is written at the next, so this includes
//                          one frame time.
// gl_probe and snaptrace-run are looked for beside this program, the
// library in ../lib (a build tree); a case without them is skipped.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/source_slot.h"
#include "hook/client/hook_context.h"
#include "hook/tests/probe_picture.h"
#include "hook/tests/probe_status.h"

extern char** environ;

namespace {

using namespace corvalind;

constexpr int kWarmUpFrames = 30;
constexpr int kMeasuredFrames = 300;

int64_t NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double PercentileMs(std::vector<double> values, double p) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const std::size_t index = std::min(values.size() - 1, static_cast<std::size_t>(p * (values.size() - 1) + 0.5));
  return values[index];
}

std::filesystem::path ProgramFolder() {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
}

// A private X server for the whole run (never the user's screen).
struct BenchDisplay {
  pid_t pid = -1;
  std::string name;
  BenchDisplay() {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid = fork();
    if (pid == 0) {
      close(fds[0]);
      if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(126);
      const std::string fd = std::to_string(fds[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1920x1080x24", "-nolisten", "tcp",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    char c = 0;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (!number.empty()) name = ":" + number;
  }
  ~BenchDisplay() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
};

BenchDisplay& Display() {
  static BenchDisplay display;
  return display;
}

// The probe's status block in a file of this run.
struct StatusFile {
  std::string path;
  probe::ProbeStatus* status = nullptr;
  StatusFile() {
    path = (std::filesystem::temp_directory_path() / ("corvalind-hook-bench-" + std::to_string(getpid()))).string();
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return;
    if (ftruncate(fd, sizeof(probe::ProbeStatus)) == 0) {
      void* view = mmap(nullptr, sizeof(probe::ProbeStatus), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (view != MAP_FAILED) status = static_cast<probe::ProbeStatus*>(view);
    }
    close(fd);
  }
  ~StatusFile() {
    if (status) munmap(status, sizeof(probe::ProbeStatus));
    std::filesystem::remove(path);
  }
};

// Runs the probe to its end; false when it could not be run.
bool RunProbe(bool preloaded, const std::vector<std::string>& arguments, const std::string& statusPath) {
  const std::filesystem::path folder = ProgramFolder();
  std::vector<std::string> argv;
  if (preloaded) argv.push_back((folder / "snaptrace-run").string());
  argv.push_back((folder / "gl_probe").string());
  argv.insert(argv.end(), {"--size", "1280x720", "--status", statusPath});
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<std::string> env;
  for (char** entry = environ; *entry; ++entry) {
    if (std::strncmp(*entry, "DISPLAY=", 8) != 0) env.push_back(*entry);
  }
  env.push_back("DISPLAY=" + Display().name);
  std::vector<char*> argp;
  for (std::string& arg : argv) argp.push_back(arg.data());
  argp.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int result = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool Ready(benchmark::State& state) {
  const std::filesystem::path folder = ProgramFolder();
  if (!std::filesystem::exists(folder / "gl_probe") || !std::filesystem::exists(folder / "snaptrace-run")) {
    state.SkipWithError("gl_probe and snaptrace-run are not built beside corvalind-bench");
    return false;
  }
  if (Display().name.empty()) {
    state.SkipWithError("Xvfb could not be started");
    return false;
  }
  static const bool tagged = [] {
    const std::string tag = "bench" + std::to_string(getpid());
    return setenv("SNAPTRACE_INSTANCE", tag.c_str(), 1) == 0;
  }();
  return tagged;
}

std::unique_ptr<HookContext> StartCapture(FrameDeliveryFunc deliver) {
  auto context = std::make_unique<HookContext>(6, "gl_probe", (ProgramFolder().parent_path() / "lib").string(), "",
                                               deliver);
  context->SetStatusSink([](const std::string&) {});
  context->Start();
  return context;
}

void DropFrame(bool, uint8_t, const uint8_t*, uint32_t, int32_t, int32_t) {}

void HookFrameTime(benchmark::State& state) {
  if (!Ready(state)) return;
  const bool hooked = state.range(0) != 0;
  for (auto _ : state) {
    StatusFile file;
    if (!file.status) {
      state.SkipWithError("no status file");
      return;
    }
    std::unique_ptr<HookContext> capture;
    if (hooked) capture = StartCapture(&DropFrame);
    const int64_t start = NowNs();
    if (!RunProbe(hooked, {"--frames", std::to_string(kWarmUpFrames + kMeasuredFrames)}, file.path)) {
      state.SkipWithError("gl_probe failed");
      return;
    }
    state.SetIterationTime((NowNs() - start) / 1e9);
    std::vector<double> frameMs;
    for (int k = kWarmUpFrames; k + 1 < kWarmUpFrames + kMeasuredFrames; ++k) {
      frameMs.push_back((file.status->presentNs[k + 1].load() - file.status->presentNs[k].load()) / 1e6);
    }
    state.counters["median_ms"] = PercentileMs(frameMs, 0.5);
    state.counters["p99_ms"] = PercentileMs(frameMs, 0.99);
    // The frames that read back are few: the mean shows their share.
    double sum = 0;
    for (double ms : frameMs) sum += ms;
    state.counters["mean_ms"] = frameMs.empty() ? 0.0 : sum / static_cast<double>(frameMs.size());
    state.counters["max_ms"] = PercentileMs(frameMs, 1.0);
    if (capture) {
      capture->Stop();
      state.counters["captured"] = static_cast<double>(capture->FramesDelivered());
    }
  }
}
BENCHMARK(HookFrameTime)->ArgName("hook")->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

std::mutex g_arrivalLock;
std::vector<std::pair<uint32_t, int64_t>> g_arrivals;

void RecordArrival(bool skip, uint8_t slot, const uint8_t* pixels, uint32_t length, int32_t width, int32_t height) {
  DeliverFrame(skip, slot, pixels, length, width, height);
  const int64_t now = NowNs();
  uint32_t number = 0;
  if (!probe::MatchesProbePicture(pixels, length, width, height, &number)) return;
  std::lock_guard<std::mutex> guard(g_arrivalLock);
  g_arrivals.emplace_back(number, now);
}

void HookSwapToSlot(benchmark::State& state) {
  if (!Ready(state)) return;
  const int fps = static_cast<int>(state.range(0));
  for (auto _ : state) {
    StatusFile file;
    if (!file.status) {
      state.SkipWithError("no status file");
      return;
    }
    {
      std::lock_guard<std::mutex> guard(g_arrivalLock);
      g_arrivals.clear();
    }
    std::unique_ptr<HookContext> capture = StartCapture(&RecordArrival);
    // About a hundred captured frames either way: drawing as fast as it
    // can, the probe needs ten times the frames for as many captures.
    const int frames = kWarmUpFrames + (fps > 0 ? kMeasuredFrames : 10 * kMeasuredFrames);
    std::vector<std::string> arguments{"--frames", std::to_string(frames)};
    if (fps > 0) arguments.insert(arguments.end(), {"--fps", std::to_string(fps)});
    const int64_t start = NowNs();
    if (!RunProbe(true, arguments, file.path)) {
      state.SkipWithError("gl_probe failed");
      return;
    }
    state.SetIterationTime((NowNs() - start) / 1e9);
    capture->Stop();
    std::vector<double> delayMs;
    {
      std::lock_guard<std::mutex> guard(g_arrivalLock);
      for (const auto& [number, arrival] : g_arrivals) {
        if (number < static_cast<uint32_t>(kWarmUpFrames) || number >= probe::kStatusRing) continue;
        delayMs.push_back((arrival - file.status->presentNs[number].load()) / 1e6);
      }
    }
    state.counters["frames"] = static_cast<double>(delayMs.size());
    state.counters["median_ms"] = PercentileMs(delayMs, 0.5);
    state.counters["p99_ms"] = PercentileMs(delayMs, 0.99);
  }
}
BENCHMARK(HookSwapToSlot)->ArgName("fps")->Arg(60)->Arg(0)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

// The stream output live for a minute at 1280 x 720 30 fps and 4500 kbit/s
// (x264 veryfast, zero latency, a key frame every 2 s, AAC silence) to a
// media server on 127.0.0.1, while the studio composes its demo at the same
// size in a process of its own:
//   RTMP: nginx with its RTMP module; a player pulls the stream back from it.
//   SRT:  srt-live-transmit listening for the stream (the output calls it,
//         with SRT's default latency) and passing it on as MPEG-TS over UDP
//         to the player.
// The player is gst-launch-1.0 decoding to small grey pictures on a pipe.
//
// The program is published by the bench at 30 pictures a second (prepared
// pictures of a moving scene with grain), each carrying its number as a
// strip of black and white blocks with the inverse strip under it; the
// player's pictures are read back by that code. So every number tells
// when its picture entered the output buffer and when the player had it
// decoded: glass to glass, without the player's own display delay.
//
// Counters:
//   dropped        pictures the output dropped before its encoder
//   missing        numbers between the player's first and last picture that
//                  it never got (a lost or skipped program picture)
//   repeated       pictures the player got a second time: the camera reads
//                  the buffer at its own rate (every 33 whole milliseconds)
//                  and the program changes every 33.3 ms, so now and then it
//                  reads a picture twice, and, when a read comes late, one
//                  that follows is never read: missing pictures paired with
//                  repeated ones are the camera's sampling, not losses
//   encoded        pictures the output encoded
//   reconnects     connections lost during the run
//   g2g_p50_ms, g2g_p95_ms, g2g_max_ms   glass to glass
//   stream_cpu_pct the stream's graph (camera element, conversion, encoders,
//                  muxer, sender): the process's CPU less the publisher's
//                  and the reader's threads, in % of one core
//   studio_cpu_pct the studio composing its demo
//   kbps           the output's bit rate sent in its last second
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "capture/stream_output.h"
#include "capture/tests/stream_test_servers.h"
#include "platform/folders.h"
#include "platform/output_block.h"
#include "platform/settings_file.h"
#include "test_support/test_home.h"

extern char** environ;

namespace {

using namespace corvalind;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFps = 30;
constexpr int kSizeIndex = 13;  // 1280 x 720 in the settings file's list
constexpr int kRateIndex = 3;   // 30 fps
constexpr int kSeconds = 60;

// The player's pictures: grey, small enough to read cheaply, large enough
// for the code's blocks (20 x 10 of them) to survive the encoder.
constexpr int kPlayerWidth = 320;
constexpr int kPlayerHeight = 180;
constexpr int kCodeBits = 16;

double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU time of one of this process's threads so far.
double ThreadCpuSeconds(std::thread& thread) {
  clockid_t clock = 0;
  timespec t{};
  if (pthread_getcpuclockid(thread.native_handle(), &clock) != 0 || clock_gettime(clock, &t) != 0) return 0;
  return t.tv_sec + t.tv_nsec / 1e9;
}

// User + system time of another process so far, from /proc.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<std::string> fields;
  std::size_t at = close + 2;
  while (at < text.size()) {
    const std::size_t end = text.find(' ', at);
    fields.push_back(text.substr(at, end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  // Fields from the state on: utime and stime are the 12th and 13th.
  if (fields.size() < 13) return 0;
  return (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / sysconf(_SC_CLK_TCK);
}

// Starts argv with stdout on `stdoutFd` (or the log) and stderr in the log.
pid_t Spawn(const std::vector<std::string>& argv, const fs::path& log, int stdoutFd = -1) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (stdoutFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
  } else {
    posix_spawn_file_actions_adddup2(&actions, 2, 1);
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void End(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

// A moving scene: a gradient drifting sideways, a band of grain and a box
// crossing the picture; `count` bottom-up BGR pictures that repeat.
std::vector<std::vector<uint8_t>> Scene(int count) {
  std::vector<std::vector<uint8_t>> pictures(count);
  std::mt19937 random(7);
  for (int k = 0; k < count; ++k) {
    std::vector<uint8_t>& p = pictures[k];
    p.resize(static_cast<std::size_t>(kWidth) * kHeight * 3);
    const int boxX = (kWidth - kWidth / 5) * k / std::max(count - 1, 1);
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        uint8_t* px = p.data() + (static_cast<std::size_t>(y) * kWidth + x) * 3;
        px[0] = static_cast<uint8_t>((x + y + 4 * k) / 3);
        px[1] = static_cast<uint8_t>((2 * x - y + 8 * k) / 5);
        px[2] = static_cast<uint8_t>(y * 255 / kHeight);
        if (y < kHeight / 4) {
          const int grain = static_cast<int>(random() % 48) - 24;
          for (int c = 0; c < 3; ++c) px[c] = static_cast<uint8_t>(std::clamp(px[c] + grain, 0, 255));
        }
        if (x >= boxX && x < boxX + kWidth / 5 && y >= kHeight / 3 && y < kHeight / 2) {
          px[0] = 40;
          px[1] = 220;
          px[2] = 250;
        }
      }
    }
  }
  return pictures;
}

// The number as 16 blocks across the top of the picture (as seen), bit 0
// on the left, with the inverse blocks under them.
void DrawCode(std::vector<uint8_t>& picture, uint32_t number) {
  const int blockWidth = kWidth / kCodeBits;
  const int blockHeight = kHeight / kPlayerHeight * 10;  // 10 rows of the player's picture
  for (int row = 0; row < 2 * blockHeight; ++row) {
    const int y = kHeight - 1 - row;  // bottom-up rows
    uint8_t* line = picture.data() + static_cast<std::size_t>(y) * kWidth * 3;
    for (int bit = 0; bit < kCodeBits; ++bit) {
      const bool set = ((number >> bit) & 1) != (row >= blockHeight);
      std::memset(line + bit * blockWidth * 3, set ? 255 : 0, blockWidth * 3);
    }
  }
}

// The number in one of the player's grey pictures, or -1 when the two
// strips do not read as a code and its inverse.
int ReadCode(const uint8_t* grey) {
  const int blockWidth = kPlayerWidth / kCodeBits;
  int number = 0;
  for (int bit = 0; bit < kCodeBits; ++bit) {
    const int x = bit * blockWidth + blockWidth / 2;
    const bool set = grey[5 * kPlayerWidth + x] > 128;
    const bool inverse = grey[15 * kPlayerWidth + x] > 128;
    if (set == inverse) return -1;
    number |= static_cast<int>(set) << bit;
  }
  return number;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(p * (values.size() - 1) + 0.5))];
}

// Arg: 0 RTMP, 1 SRT.
void BM_StreamOutput(benchmark::State& state) {
  const bool srt = state.range(0) == 1;
  if (!std::getenv("GST_PLUGIN_PATH")) setenv("GST_PLUGIN_PATH", CORVALIND_PLUGIN_DIR, 1);
  const testing::TemporaryHome home("corvalind-bench-stream");
  WriteSettingsFile(SettingsFilePath(), kSizeIndex, kRateIndex, false);
  const fs::path folder = home.Root() / "stream";
  fs::create_directories(folder);
  const std::string bufferName = "CorvalindBench_stream_" + std::to_string(getpid());
  OutputBlock block;
  if (!CreateOutputBlock(block, bufferName, static_cast<uint32_t>(kWidth * kHeight * 3), nullptr, nullptr)) {
    state.SkipWithError("no output block");
    return;
  }
  const std::vector<std::vector<uint8_t>> scene = Scene(kFps / 2);

  for (auto _ : state) {
    // The studio on its demo, at the same size and rate, for the load.
    pid_t studio = -1;
    const fs::path studioProgram = fs::read_symlink("/proc/self/exe").parent_path() / "corvalind";
    if (fs::exists(studioProgram)) {
      setenv("QT_QPA_PLATFORM", "offscreen", 1);
      studio = Spawn({studioProgram.string(), "--demo", (home.Root() / "demo").string(), "--output-name",
                      bufferName + "_studio"},
                     folder / "studio.log");
    }

    // The server and the player.
    testing::RtmpTestServer rtmp;
    pid_t relay = -1;
    StreamSettings settings;
    std::string player;
    const std::string decode = " ! h264parse ! avdec_h264 max-threads=1 ! videoscale ! videoconvert ! "
                               "video/x-raw,format=GRAY8,width=" +
                               std::to_string(kPlayerWidth) + ",height=" + std::to_string(kPlayerHeight) +
                               " ! fdsink fd=1 sync=false";
    std::string reason;
    if (srt) {
      const uint16_t srtPort = testing::FreeUdpPort();
      const uint16_t udpPort = testing::FreeUdpPort();
      relay = Spawn({"srt-live-transmit", "srt://127.0.0.1:" + std::to_string(srtPort) + "?mode=listener",
                     "udp://127.0.0.1:" + std::to_string(udpPort)},
                    folder / "relay.log");
      settings.url = "srt://127.0.0.1:" + std::to_string(srtPort);
      player = "udpsrc port=" + std::to_string(udpPort) + " buffer-size=4194304 ! tsdemux name=d d. ! audio/mpeg ! queue ! fakesink sync=false d. ! video/x-h264 ! queue" +
               decode;
    } else {
      if (!rtmp.Start(folder / "rtmp", &reason)) {
        state.SkipWithError(("the RTMP server did not start: " + reason).c_str());
        End(studio);
        break;
      }
      settings.url = rtmp.Url();
      settings.key = "bench";
      player = "rtmp2src location=" + rtmp.Url() + "/bench ! flvdemux name=d d.audio ! queue ! fakesink sync=false d.video ! queue" + decode;
    }
    settings.bufferName = bufferName;
    settings.videoKbps = 4500;
    settings.keyframeSeconds = 2;
    settings.preset = "veryfast";
    settings.frameRate = kFps;

    // Publish times by number, and the player's first sight of each.
    const std::size_t total = static_cast<std::size_t>(kSeconds + 10) * kFps;
    std::vector<Clock::time_point> published(total + 1);
    std::vector<Clock::time_point> seen(total + 1);
    std::vector<char> wasSeen(total + 1, 0);
    std::atomic<std::size_t> publishedCount{0};
    std::atomic<bool> publishing{true};
    std::thread publisher([&] {
      std::vector<uint8_t> picture(scene[0].size());
      const auto start = Clock::now();
      const auto interval = std::chrono::nanoseconds(1000000000 / kFps);
      for (uint32_t n = 1; publishing.load(std::memory_order_relaxed) && n <= total; ++n) {
        picture = scene[n % scene.size()];
        DrawCode(picture, n);
        PublishPicture(block, picture.data(), static_cast<uint32_t>(picture.size()), n);
        published[n] = Clock::now();
        publishedCount.store(n, std::memory_order_release);
        std::this_thread::sleep_until(start + interval * n);
      }
    });

    // The player starts first for SRT (UDP has no listener to wait for)
    // and once the stream is live for RTMP (the server then has it).
    int pipeFds[2] = {-1, -1};
    pid_t playerPid = -1;
    const auto startPlayer = [&] {
      if (pipe(pipeFds) != 0) return;
      playerPid = Spawn({"sh", "-c", "exec env -u GST_PLUGIN_PATH gst-launch-1.0 -q " + player}, folder / "player.log",
                        pipeFds[1]);
      close(pipeFds[1]);
    };
    if (srt) startPlayer();

    StreamOutput output;
    const double cpuBefore = CpuSeconds(RUSAGE_SELF);
    const double publisherBefore = ThreadCpuSeconds(publisher);
    const double studioBefore = studio > 0 ? ProcessCpuSeconds(studio) : 0;
    const auto streamStart = Clock::now();
    if (!output.Start(settings, &reason)) {
      state.SkipWithError(("the stream did not start: " + reason).c_str());
      publishing = false;
      publisher.join();
      End(studio);
      End(relay);
      break;
    }
    while (output.Statistics().state != StreamState::kLive && Clock::now() - streamStart < std::chrono::seconds(20)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const bool live = output.Statistics().state == StreamState::kLive;
    if (!srt && live) startPlayer();

    std::atomic<bool> reading{true};
    int repeated = 0;
    std::thread reader([&] {
      std::vector<uint8_t> grey(static_cast<std::size_t>(kPlayerWidth) * kPlayerHeight);
      std::size_t filled = 0;
      while (reading.load(std::memory_order_relaxed) && pipeFds[0] >= 0) {
        const ssize_t got = read(pipeFds[0], grey.data() + filled, grey.size() - filled);
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
        if (filled < grey.size()) continue;
        filled = 0;
        const auto now = Clock::now();
        const int code = ReadCode(grey.data());
        if (code <= 0 || static_cast<std::size_t>(code) > publishedCount.load(std::memory_order_acquire)) continue;
        if (!wasSeen[code]) {
          wasSeen[code] = 1;
          seen[code] = now;
        } else {
          ++repeated;
        }
      }
    });

    std::this_thread::sleep_until(streamStart + std::chrono::seconds(kSeconds));
    const StreamStatistics statistics = output.Statistics();
    const double cpu = CpuSeconds(RUSAGE_SELF) - cpuBefore - (ThreadCpuSeconds(publisher) - publisherBefore) -
                       ThreadCpuSeconds(reader);
    const double studioCpu = studio > 0 ? ProcessCpuSeconds(studio) - studioBefore : 0;
    const double wall = std::chrono::duration<double>(Clock::now() - streamStart).count();
    const auto stopStart = Clock::now();
    output.Stop();
    const double stopSeconds = std::chrono::duration<double>(Clock::now() - stopStart).count();

    End(playerPid);
    reading = false;
    reader.join();
    if (pipeFds[0] >= 0) close(pipeFds[0]);
    publishing = false;
    publisher.join();
    End(relay);
    rtmp.Stop();
    End(studio);

    if (!live) {
      state.SkipWithError("the stream never went live");
      break;
    }
    std::vector<double> latencies;
    std::size_t first = 0, last = 0;
    for (std::size_t n = 1; n <= total; ++n) {
      if (!wasSeen[n]) continue;
      if (!first) first = n;
      last = n;
      latencies.push_back(std::chrono::duration<double, std::milli>(seen[n] - published[n]).count());
    }
    if (latencies.empty()) {
      std::ifstream log(folder / "player.log");
      const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
      state.SkipWithError(("the player decoded no numbered picture: " + text.substr(0, 600)).c_str());
      break;
    }
    state.counters["dropped"] = static_cast<double>(statistics.framesDropped);
    state.counters["encoded"] = static_cast<double>(statistics.framesEncoded);
    state.counters["missing"] = static_cast<double>(last - first + 1 - latencies.size());
    state.counters["played"] = static_cast<double>(latencies.size());
    state.counters["repeated"] = repeated;
    state.counters["reconnects"] = statistics.reconnects;
    state.counters["kbps"] = statistics.kbitsPerSecond;
    state.counters["g2g_p50_ms"] = Percentile(latencies, 0.5);
    state.counters["g2g_p95_ms"] = Percentile(latencies, 0.95);
    state.counters["g2g_max_ms"] = Percentile(latencies, 1.0);
    state.counters["stream_cpu_pct"] = cpu / wall * 100;
    state.counters["studio_cpu_pct"] = studioCpu / wall * 100;
    state.counters["stop_s"] = stopSeconds;
    state.SetLabel(srt ? "SRT via srt-live-transmit" : "RTMP via nginx");
  }
  ReleaseOutputBlock(block);
}

}  // namespace

BENCHMARK(BM_StreamOutput)->Arg(0)->Arg(1)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

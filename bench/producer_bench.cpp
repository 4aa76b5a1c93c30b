// Reelforge over several segments of its cycle, with the default settings
// of Reelforge.ini (VP8 at 1000 kbit/s with 4 threads, 30 s files, 5
// overlapped frames) and the uploads to an FTP server on 127.0.0.1: the
// camera serves a moving program picture published at the camera's rate,
// at 640 x 480 25 fps and at 1280 x 720 30 fps.
//
// Counters:
//   frames_per_file  the frames each file counted (its target is duration x fps)
//   short_files      files that reached the time limit before their target
//   lost_frames      frame instants of the camera's clock that no file holds:
//                    between the first and the last file's end the camera
//                    must serve (files - 1) x (target - overlap) frames; the
//                    span's length at the camera's rate (one frame every
//                    1000 / fps whole milliseconds) minus those frames; the
//                    20 ms polling of the counts makes about a frame of noise
//   cpu_ms_frame     the process's CPU time (user + system, all threads: the
//                    graphs, the uploads, the publisher) per recorded frame
//   cycle_rss_MB     the largest working set the cycle printed, less the
//                    publisher's pictures (REBOOT_MEMORY_KB compares with it)
//   upload_MBps      the last file uploaded again, as the cycle uploads it
//   upload_s_per_30s that rate applied to a 30 s file of the run
#include <benchmark/benchmark.h>
#include <gst/gst.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/folders.h"
#include "platform/output_block.h"
#include "platform/settings_file.h"
#include "producer/ftp_client.h"
#include "producer/reelforge_cycle.h"
#include "producer/tests/ftp_test_server.h"
#include "test_support/test_home.h"

namespace {

using namespace corvalind;
using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A program-like sequence: a diagonal gradient drifting sideways, a band
// of camera grain and a bright box crossing the picture, `count` pictures
// (bottom-up BGR) that repeat.
std::vector<std::vector<uint8_t>> ProgramSequence(int width, int height, int count) {
  std::vector<std::vector<uint8_t>> pictures(count);
  std::mt19937 random(5);
  for (int k = 0; k < count; ++k) {
    std::vector<uint8_t>& p = pictures[k];
    p.resize(static_cast<std::size_t>(width) * height * 3);
    const int boxX = (width - width / 5) * k / std::max(count - 1, 1);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        uint8_t* px = p.data() + (static_cast<std::size_t>(y) * width + x) * 3;
        px[0] = static_cast<uint8_t>((x + y + 4 * k) / 3);
        px[1] = static_cast<uint8_t>((2 * x - y + 8 * k) / 5);
        px[2] = static_cast<uint8_t>(y * 255 / height);
        if (y > height * 2 / 3 && y < height * 5 / 6) {
          const int grain = static_cast<int>(random() % 48) - 24;
          for (int c = 0; c < 3; ++c) px[c] = static_cast<uint8_t>(std::clamp(px[c] + grain, 0, 255));
        }
        if (x >= boxX && x < boxX + width / 5 && y >= height / 3 && y < height / 2) {
          px[0] = 40;
          px[1] = 220;
          px[2] = 250;
        }
      }
    }
  }
  return pictures;
}

// The console of the cycle, with the instant of every "total crN:" line.
class TimedConsole {
 public:
  TimedConsole() {
    cookie_io_functions_t io{};
    io.write = [](void* self, const char* data, size_t size) -> ssize_t {
      static_cast<TimedConsole*>(self)->Take(std::string(data, size));
      return static_cast<ssize_t>(size);
    };
    file_ = fopencookie(this, "w", io);
    setvbuf(file_, nullptr, _IOLBF, 0);
  }
  ~TimedConsole() { std::fclose(file_); }
  std::FILE* File() const { return file_; }
  struct End {
    Clock::time_point at;
    int frames;
  };
  std::vector<End> Ends() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ends_;
  }
  std::string Text() {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }

 private:
  void Take(const std::string& piece) {
    std::lock_guard<std::mutex> lock(mutex_);
    text_ += piece;
    std::size_t at = 0;
    while ((at = text_.find("total cr", scanned_)) != std::string::npos) {
      const std::size_t end = text_.find('\n', at);
      if (end == std::string::npos) break;
      int number = 0, frames = 0;
      if (std::sscanf(text_.c_str() + at, "total cr%d:%d", &number, &frames) == 2) ends_.push_back({Clock::now(), frames});
      scanned_ = end;
    }
  }

  std::FILE* file_ = nullptr;
  std::mutex mutex_;
  std::string text_;
  std::size_t scanned_ = 0;
  std::vector<End> ends_;
};

// Args: picture-size index, frame-rate index, files.
void BM_ReelforgeSegments(benchmark::State& state) {
  const int sizeIndex = static_cast<int>(state.range(0));
  const int rateIndex = static_cast<int>(state.range(1));
  const int files = static_cast<int>(state.range(2));
  const int width = kPictureSizes[sizeIndex].width;
  const int height = kPictureSizes[sizeIndex].height;
  const int fps = kFrameRates[rateIndex].fps;

  const testing::TemporaryHome home("corvalind-bench-reelforge");
  if (!std::getenv("GST_PLUGIN_PATH")) setenv("GST_PLUGIN_PATH", CORVALIND_PLUGIN_DIR, 1);
  gst_init(nullptr, nullptr);
  WriteSettingsFile(SettingsFilePath(), sizeIndex, rateIndex, false);
  const std::string bufferName = "CorvalindBench_reelforge_" + std::to_string(getpid());
  OutputBlock block;
  if (!CreateOutputBlock(block, bufferName, static_cast<uint32_t>(width * height * 3), nullptr, nullptr)) {
    state.SkipWithError("no output block");
    return;
  }
  testing::FtpTestServer server(home.Root() / "ftp");
  if (!server.Started()) {
    state.SkipWithError("the FTP server did not start");
    ReleaseOutputBlock(block);
    return;
  }
  const FtpLogonInfo logon = server.Logon();
  const std::filesystem::path local = home.Root() / "segments";
  std::filesystem::create_directories(local);
  const std::string ini = (home.Root() / "Reelforge.ini").string();
  std::ofstream(ini) << "OUTPUT_FILES=" << local.string() << "/\nVIDEO_FPS=" << fps << "\nFTP_HOST=" << logon.host
                     << "\nFTP_USER=" << logon.user << "\nFTP_PASS=" << logon.password << "\nFTP_FOLDER=/reels\n"
                     // The pictures of the publisher live in this process too: the
                     // resident set the cycle prints after each pair of files is
                     // reported instead of restarting on it.
                     << "REBOOT_MEMORY_KB=100000000\n";
  const std::vector<std::vector<uint8_t>> pictures = ProgramSequence(width, height, fps / 2);

  for (auto _ : state) {
    // The studio's side: a new picture at every frame instant.
    std::atomic<bool> publishing{true};
    std::thread publisher([&] {
      const auto start = Clock::now();
      const auto interval = std::chrono::microseconds(1000000 / fps);
      for (std::uint32_t n = 0; publishing.load(std::memory_order_relaxed); ++n) {
        const std::vector<uint8_t>& p = pictures[n % pictures.size()];
        PublishPicture(block, p.data(), static_cast<uint32_t>(p.size()), n + 1);
        std::this_thread::sleep_until(start + interval * (n + 1));
      }
    });

    TimedConsole console;
    ReelforgeRunOptions options;
    options.iniPath = ini;
    options.bufferName = bufferName;
    options.out = console.File();
    options.ftpPort = logon.port;
    options.fileLimit = files;
    const double cpuBefore = CpuSeconds();
    const ReelforgeOutcome outcome = RunReelforge(options);
    const double cpu = CpuSeconds() - cpuBefore;
    publishing = false;
    publisher.join();

    const std::vector<TimedConsole::End> ends = console.Ends();
    if (outcome.files.size() != static_cast<std::size_t>(files) || ends.size() != static_cast<std::size_t>(files)) {
      state.SkipWithError("the cycle did not record every file");
      break;
    }
    ReelforgeConfig config;
    LoadReelforgeConfig(ini, config, [](const std::string&) {});
    const CycleNumbers numbers = CycleNumbersFor(config);
    int recorded = 0;
    int shortFiles = 0;
    std::string label;
    for (std::size_t k = 0; k < ends.size(); ++k) {
      recorded += ends[k].frames;
      shortFiles += ends[k].frames < numbers.targetFrames;
      char piece[48];
      if (k == 0) {
        std::snprintf(piece, sizeof piece, "%d ", ends[k].frames);
      } else {
        const double interval = std::chrono::duration<double>(ends[k].at - ends[k - 1].at).count();
        std::snprintf(piece, sizeof piece, "%d@%.2fs ", ends[k].frames, interval);
      }
      label += piece;
    }
    state.SetLabel("frames@interval: " + label);
    const double span = std::chrono::duration<double>(ends.back().at - ends.front().at).count();
    const double servedInSpan = (files - 1) * static_cast<double>(numbers.targetFrames - numbers.overlap);
    state.counters["frames_per_file"] = static_cast<double>(recorded) / files;
    state.counters["target"] = static_cast<double>(numbers.targetFrames);
    state.counters["short_files"] = shortFiles;
    // The camera paces itself in whole milliseconds (33 ms at 30 fps).
    const double cameraRate = 1000.0 / (1000 / fps);
    state.counters["lost_frames"] = std::max(0.0, span * cameraRate - servedInSpan);
    state.counters["cpu_ms_frame"] = cpu * 1000 / (recorded - (files - 1) * numbers.overlap);

    // The last file again, as the cycle uploads it.
    const std::string last = local.string() + "/" + outcome.files.back();
    const double bytes = static_cast<double>(std::filesystem::file_size(last));
    CFTPClient ftp;
    if (!ftp.Login(logon)) {
      state.SkipWithError("no FTP login");
      break;
    }
    const auto uploadStart = Clock::now();
    const bool uploaded = ftp.Upload("/reels", last, "again.webm", true);
    const double seconds = std::chrono::duration<double>(Clock::now() - uploadStart).count();
    ftp.Logout();
    if (!uploaded) {
      state.SkipWithError("the upload failed");
      break;
    }
    // The largest working set the cycle printed, less the publisher's pictures.
    const std::string text = console.Text();
    unsigned residentKb = 0;
    for (std::size_t at = 0; (at = text.find("WorkingSetSize = ", at)) != std::string::npos; ++at) {
      residentKb = std::max(residentKb, static_cast<unsigned>(std::strtoul(text.c_str() + at + 17, nullptr, 10)));
    }
    const double picturesMb = static_cast<double>(pictures.size() * pictures[0].size()) / (1 << 20);
    state.counters["cycle_rss_MB"] = residentKb / 1024.0 - picturesMb;
    state.counters["file_MB"] = bytes / 1e6;
    state.counters["upload_MBps"] = bytes / 1e6 / seconds;
    state.counters["upload_s_per_30s"] = seconds * 30.0 * fps / std::max<double>(numbers.targetFrames, 1);
  }
  ReleaseOutputBlock(block);
}

}  // namespace

// 640 x 480 at 25 fps and 1280 x 720 at 30 fps, four 30 s files each.
BENCHMARK(BM_ReelforgeSegments)
    ->Args({6, 2, 4})
    ->Args({13, 3, 4})
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

#include "producer/reelforge_cycle.h"

#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <memory>
#include <thread>

#include "producer/ftp_client.h"
#include "producer/ftp_observer.h"
#include "producer/segment_recorder.h"

extern char** environ;

namespace corvalind {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kPollInterval{20};

// The file numbers as the cycle steps through them: A takes 1 first, then
// B takes the next, A the one after (wrapping to 1 after `parts`), and
// after B's file the count starts again from 0 once it reached `parts`.
class FileNumbers {
 public:
  explicit FileNumbers(int parts) : parts_(parts) {}
  int First() { return n_ = 1; }
  int ForB() { return ++n_; }
  int ForA() { return n_ = n_ < parts_ ? n_ + 1 : 1; }
  void AfterB() {
    if (n_ >= parts_) n_ = 0;
  }

 private:
  int parts_;
  int n_ = 1;
};

std::string FileName(int n) {
  char name[32];
  std::snprintf(name, sizeof name, "m%d.webm", n);
  return name;
}

class Cycle {
 public:
  explicit Cycle(const ReelforgeRunOptions& options) : options_(options), observer_(options.out) {}

  ReelforgeOutcome Run();

 private:
  void Print(const std::string& text) {
    std::fputs(text.c_str(), options_.out);
    std::fflush(options_.out);
  }
  void Printf(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    char line[1200];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    Print(line);
  }
  ReelforgeConsole Console() {
    return [this](const std::string& text) { Print(text); };
  }

  std::unique_ptr<CSegmentRecorder> Configure();
  bool StartOn(CSegmentRecorder& recorder, int number, std::string* name);
  void RunOrSay(CSegmentRecorder& recorder, const char* label);
  void Watch(CSegmentRecorder& current, CSegmentRecorder& next, const char* nextLabel);
  // Closes `recorder`'s file and uploads it; true when the file limit is
  // reached.
  bool Finish(CSegmentRecorder& recorder, const char* label, const std::string& name);

  const ReelforgeRunOptions& options_;
  CFTPObserver observer_;
  CFTPClient ftp_;
  bool ftpOn_ = false;
  CycleNumbers numbers_;
  ReelforgeOutcome outcome_;
};

std::unique_ptr<CSegmentRecorder> Cycle::Configure() {
  ReelforgeConfig config;
  const bool loaded = LoadReelforgeConfig(options_.iniPath, config, Console());
  if (!loaded) {
    Printf("Cannot load configuration file!( %s )\n", options_.iniPath.c_str());
  } else {
    Print("Loading configuration...Done!\n");
  }
  auto recorder = std::make_unique<CSegmentRecorder>(config, Console(), options_.bufferName);
  if (loaded) {
    Print("Prepare graph...");
    Print(recorder->Prepare() ? "done!\n" : "FAILED\n");
  }
  return recorder;
}

bool Cycle::StartOn(CSegmentRecorder& recorder, int number, std::string* name) {
  *name = FileName(number);
  return recorder.StartFile(*name);
}

void Cycle::RunOrSay(CSegmentRecorder& recorder, const char* label) {
  // Each file holds its length exactly, however late the close comes.
  if (numbers_.targetFrames > 0) {
    recorder.SetFrameLimit(static_cast<std::uint32_t>(std::min<std::int64_t>(numbers_.targetFrames, UINT32_MAX)));
  }
  if (!recorder.Built() || !recorder.Run()) Printf("Cannot run %s\n", label);
}

void Cycle::Watch(CSegmentRecorder& current, CSegmentRecorder& next, const char* nextLabel) {
  bool nextRuns = false;
  const Clock::time_point start = Clock::now();
  for (;;) {
    const std::int64_t count = current.FrameCount();
    if (!nextRuns && count + numbers_.overlap >= numbers_.targetFrames) {
      RunOrSay(next, nextLabel);
      nextRuns = true;
    }
    if (count >= numbers_.targetFrames) break;
    std::this_thread::sleep_for(kPollInterval);
    if (Clock::now() - start > std::chrono::milliseconds(numbers_.timeLimitMs)) break;
  }
  if (!nextRuns) RunOrSay(next, nextLabel);
}

bool Cycle::Finish(CSegmentRecorder& recorder, const char* label, const std::string& name) {
  Printf("total %s:%d\n", label, static_cast<int>(recorder.FrameCount()));
  Print("Close graph...");
  recorder.Close();
  // The closed graph's memory goes back to the system (the streaming
  // threads' allocator arenas would keep it), so the working set compared
  // with REBOOT_MEMORY_KB is what is alive, not what once was.
  malloc_trim(0);
  Print("done!\n");
  if (ftpOn_) {
    const ReelforgeConfig& c = recorder.Config();
    if (recorder.FileWhole()) {
      ftp_.Upload(c.ftpFolder, recorder.LocalPath(), name, c.ftpPassive != 0);
    } else {
      // A broken or missing file (or one left from an earlier run) never
      // reaches the server under a final name.
      const std::string error = recorder.LastError();
      Printf("%s was not written whole (%s), not uploaded\n", name.c_str(),
             error.empty() ? "no end of stream" : error.c_str());
    }
  }
  outcome_.files.push_back(name);
  return options_.fileLimit > 0 && static_cast<int>(outcome_.files.size()) >= options_.fileLimit;
}

ReelforgeOutcome Cycle::Run() {
  Print(kReelforgeBanner);
  std::unique_ptr<CSegmentRecorder> a = Configure();
  std::unique_ptr<CSegmentRecorder> b = Configure();

  const ReelforgeConfig& first = a->Config();
  ftpOn_ = first.ftpHost.size() >= 2;
  if (!ftpOn_) {
    Print("FTP disabled!\n");
  } else {
    Print("FTP setup...");
    ftp_.AttachObserver(&observer_);
    Print("done!\n");
    Print("Test FTP access...");
    FtpLogonInfo logon;
    logon.host = first.ftpHost;
    logon.port = options_.ftpPort;
    logon.user = first.ftpUser;
    logon.password = first.ftpPass;
    if (!ftp_.Login(logon)) {
      Print("\n\n FTP error - check settings and try again!\n\n");
      outcome_.end = ReelforgeEnd::kLoginFailed;
      return outcome_;
    }
    ftp_.Logout();
    Print("done!\n");
  }

  numbers_ = CycleNumbersFor(first);
  FileNumbers n(numbers_.parts);
  std::string nameA;
  std::string nameB;
  if (StartOn(*a, n.First(), &nameA)) RunOrSay(*a, "cr1");

  for (;;) {
    if (!StartOn(*b, n.ForB(), &nameB)) Print("Cannot CaptureVideoFile cr2\n");
    Watch(*a, *b, "cr2");
    if (Finish(*a, "cr1", nameA)) return outcome_;

    a = Configure();
    if (!StartOn(*a, n.ForA(), &nameA)) Print("Cannot CaptureVideoFile cr1\n");
    Watch(*b, *a, "cr1");
    if (Finish(*b, "cr2", nameB)) return outcome_;
    n.AfterB();

    b = Configure();
    if (b->Config().rebootMemoryKb < 1) continue;
    unsigned kb = 0;
    if (!ResidentSetKb(&kb)) continue;
    if (kb > static_cast<unsigned>(b->Config().rebootMemoryKb)) {
      Printf("\nReboot [MEMORY LEAK %uK]!!!\n", kb);
      // The recorders go before the restart, so the running file is ended
      // properly and the graphs let go of the devices.
      a.reset();
      b.reset();
      outcome_.end = ReelforgeEnd::kRestart;
      outcome_.residentKb = kb;
      return outcome_;
    }
    Printf("WorkingSetSize = %uK\n", kb);
  }
}

}  // namespace

CycleNumbers CycleNumbersFor(const ReelforgeConfig& config) {
  CycleNumbers numbers;
  numbers.targetFrames = static_cast<std::int64_t>(config.webmVideoDuration) * config.videoFps;
  numbers.timeLimitMs = static_cast<std::int64_t>(config.webmVideoDuration * 1000 * 1.2);
  numbers.overlap = config.overlappedFrames;
  numbers.parts = config.webmParts;
  return numbers;
}

std::vector<int> FileNumberSequence(int parts, int count) {
  std::vector<int> sequence;
  FileNumbers n(parts);
  if (count > 0) sequence.push_back(n.First());
  while (static_cast<int>(sequence.size()) < count) {
    sequence.push_back(n.ForB());
    if (static_cast<int>(sequence.size()) < count) sequence.push_back(n.ForA());
    n.AfterB();
  }
  return sequence;
}

bool ResidentSetKb(unsigned* kb) {
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (!statm) return false;
  unsigned long sizePages = 0;
  unsigned long residentPages = 0;
  const int read = std::fscanf(statm, "%lu %lu", &sizePages, &residentPages);
  std::fclose(statm);
  if (read != 2) return false;
  const long pageBytes = sysconf(_SC_PAGESIZE);
  if (pageBytes <= 0) return false;
  *kb = static_cast<unsigned>(residentPages * static_cast<unsigned long>(pageBytes) / 1024);
  return true;
}

ReelforgeOutcome RunReelforge(const ReelforgeRunOptions& options) {
  Cycle cycle(options);
  return cycle.Run();
}

void ReexecuteSelf(char** argv) {
  std::fflush(nullptr);
  execve("/proc/self/exe", argv, environ);
}

}  // namespace corvalind

#include "hook/tests/hook_test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "engine/source_slot.h"
#include "hook/tests/probe_picture.h"
#include "test_support/test_home.h"

extern char** environ;

namespace corvalind::testing {

namespace {

std::mutex g_seenLock;
std::vector<SeenFrame> g_seen;

std::string Tag() {
  const char* tag = std::getenv("SNAPTRACE_INSTANCE");
  return tag ? tag : "";
}

std::string ObjectName(const char* base) {
  const std::string tag = Tag();
  // Appended piece by piece: GCC 12 warns (-Wrestrict) about a chain of
  // operator+ starting from a literal.
  std::string name = "/";
  name += base;
  if (!tag.empty()) {
    name += '_';
    name += tag;
  }
  name += '.';
  name += std::to_string(getuid());
  return name;
}

}  // namespace

std::string SnaptraceRunPath() { return SNAPTRACE_RUN_PATH; }
std::string ProbePath() { return GL_PROBE_PATH; }
std::string ClientChildPath() { return HOOK_CLIENT_CHILD_PATH; }
std::string SnaptraceLibraryFolder() { return SNAPTRACE_LIBRARY_DIR; }
std::string SnaptraceLibraryPath() { return std::string(SNAPTRACE_LIBRARY_DIR) + "/libsnaptrace.so"; }

std::string UsePrivateExchange() {
  static std::atomic<int> counter{0};
  std::string tag = "t";
  tag += std::to_string(getpid());
  tag += '_';
  tag += std::to_string(counter.fetch_add(1));
  setenv("SNAPTRACE_INSTANCE", tag.c_str(), 1);
  return tag;
}

std::string SectionObjectName() { return ObjectName("SnaptraceShared"); }
std::string BlockObjectName() { return ObjectName("dllmemfilemapDirectX"); }

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         const std::string& logPath) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const std::string& extra : environment) replaced |= extra.substr(0, extra.find('=')) == name;
    if (!replaced) entries.push_back(text);
  }
  entries.insert(entries.end(), environment.begin(), environment.end());
  std::vector<char*> envp;
  for (std::string& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& arg : args) argp.push_back(arg.data());
  argp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  const int result = posix_spawnp(&pid_, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) pid_ = -1;
  reaped_ = false;
  return result == 0;
}

bool ChildProcess::Running() {
  if (pid_ <= 0 || reaped_) return false;
  int status = 0;
  const pid_t done = waitpid(pid_, &status, WNOHANG);
  if (done == pid_) {
    reaped_ = true;
    status_ = status;
    return false;
  }
  return true;
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0 && !reaped_) kill(pid_, signal);
}

bool ChildProcess::WaitExit(std::chrono::milliseconds limit, int* status) {
  const bool ended = WaitFor([this] { return !Running(); }, limit);
  if (ended && status) *status = status_;
  return ended && reaped_;
}

int ExitCode(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return -1;
}

ProbeStatusFile::ProbeStatusFile(const std::string& path) : path_(path) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || ftruncate(fd, sizeof(probe::ProbeStatus)) != 0) std::abort();
  void* view = mmap(nullptr, sizeof(probe::ProbeStatus), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (view == MAP_FAILED) std::abort();
  status_ = static_cast<probe::ProbeStatus*>(view);
}

ProbeStatusFile::~ProbeStatusFile() { munmap(status_, sizeof(probe::ProbeStatus)); }

int64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void RecordingDelivery(bool skip, uint8_t slot, const uint8_t* pixels, uint32_t length, int32_t width,
                       int32_t height) {
  DeliverFrame(skip, slot, pixels, length, width, height);
  SeenFrame seen;
  seen.arrivalNs = MonotonicNs();
  seen.width = width;
  seen.height = height;
  seen.bytes = length;
  seen.probePicture = probe::MatchesProbePicture(pixels, length, width, height, &seen.number);
  for (uint32_t i = 0; i < length && !seen.anyLight; ++i) seen.anyLight = pixels[i] > 32;
  std::lock_guard<std::mutex> guard(g_seenLock);
  g_seen.push_back(seen);
}

std::vector<SeenFrame> SeenFrames() {
  std::lock_guard<std::mutex> guard(g_seenLock);
  return g_seen;
}

std::size_t SeenFrameCount() {
  std::lock_guard<std::mutex> guard(g_seenLock);
  return g_seen.size();
}

void ClearSeenFrames() {
  std::lock_guard<std::mutex> guard(g_seenLock);
  g_seen.clear();
}

}  // namespace corvalind::testing

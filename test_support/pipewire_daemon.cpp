#include "test_support/pipewire_daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "test_support/test_home.h"

namespace corvalind::testing {

namespace {

// Starts argv with its output in logFile; -1 when it cannot be started.
pid_t Spawn(const std::vector<std::string>& argv, const std::filesystem::path& logFile) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (log >= 0) {
    dup2(log, STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

void End(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

bool Running(pid_t pid) {
  int status = 0;
  return pid > 0 && waitpid(pid, &status, WNOHANG) == 0;
}

}  // namespace

int RunCommand(const std::string& commandLine, std::string* output) {
  FILE* pipe = popen(commandLine.c_str(), "r");
  if (!pipe) return -1;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
    if (output) output->append(buffer, n);
  }
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool PrivatePipeWire::Start(const std::filesystem::path& runtimeDir, std::string* reason) {
  dir_ = runtimeDir;
  std::error_code ec;
  std::filesystem::create_directories(dir_, ec);
  std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ec);
  setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
  unsetenv("PIPEWIRE_RUNTIME_DIR");
  unsetenv("PIPEWIRE_REMOTE");
  const std::filesystem::path busSocket = dir_ / "bus";
  const std::string busAddress = "unix:path=" + busSocket.string();
  setenv("DBUS_SESSION_BUS_ADDRESS", busAddress.c_str(), 1);

  bus_ = Spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + busAddress}, dir_ / "bus.log");
  if (bus_ < 0 || !WaitFor([&] { return std::filesystem::exists(busSocket) || !Running(bus_); },
                             std::chrono::milliseconds(10000)) ||
      !std::filesystem::exists(busSocket)) {
    if (reason) *reason = "dbus-daemon did not start";
    return false;
  }
  return StartDaemon(reason);
}

bool PrivatePipeWire::StartDaemon(std::string* reason) {
  daemon_ = Spawn({"pipewire"}, dir_ / "pipewire.log");
  const std::filesystem::path socket = dir_ / "pipewire-0";
  if (daemon_ < 0 || !WaitFor([&] { return std::filesystem::exists(socket) || !Running(daemon_); },
                                std::chrono::milliseconds(10000)) ||
      !std::filesystem::exists(socket)) {
    if (reason) *reason = "pipewire did not start";
    return false;
  }
  manager_ = Spawn({"wireplumber"}, dir_ / "wireplumber.log");
  const bool joined = WaitFor(
      [&] {
        std::string clients;
        RunCommand("pw-cli ls Client 2>/dev/null", &clients);
        return clients.find("\"WirePlumber\"") != std::string::npos || !Running(manager_);
      },
      std::chrono::milliseconds(20000));
  if (manager_ < 0 || !joined || !Running(manager_)) {
    if (reason) *reason = "wireplumber did not join the daemon";
    return false;
  }
  return true;
}

void PrivatePipeWire::StopDaemon() {
  End(manager_);
  End(daemon_);
}

PrivatePipeWire::~PrivatePipeWire() {
  End(manager_);
  End(daemon_);
  End(bus_);
}

std::string PrivatePipeWire::NodeProperties(const std::string& name) {
  std::string list;
  RunCommand("pw-cli ls Node 2>/dev/null", &list);
  const std::string needle = "node.name = \"" + name + "\"";
  const std::size_t at = list.find(needle);
  if (at == std::string::npos) return {};
  std::size_t begin = list.rfind("\tid ", at);
  if (begin == std::string::npos) begin = 0;
  std::size_t end = list.find("\tid ", at);
  if (end == std::string::npos) end = list.size();
  return list.substr(begin, end - begin);
}

}  // namespace corvalind::testing

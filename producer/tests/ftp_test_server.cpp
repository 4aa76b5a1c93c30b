#include "producer/tests/ftp_test_server.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "test_support/test_home.h"

extern char** environ;

namespace corvalind::testing {

namespace {

std::string FormatSeconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.3f", seconds);
  return text;
}

}  // namespace

FtpTestServer::FtpTestServer(const std::filesystem::path& folder, FtpServerOptions options)
    : options_(std::move(options)),
      root_(folder / "root"),
      notesPath_(folder / "server-notes.txt"),
      logPath_(folder / "server-log.txt") {
  std::filesystem::create_directories(root_);
  std::filesystem::remove(notesPath_);
  std::vector<std::string> args = {FTP_TEST_PYTHON, FTP_TEST_SERVER_SCRIPT, "--root", root_.string(),
                                   "--out",         notesPath_.string(),    "--user", options_.user,
                                   "--password",    options_.password};
  if (options_.refuseTempDelete) args.push_back("--refuse-temp-delete");
  if (!options_.pasvReply.empty()) args.insert(args.end(), {"--pasv-reply", options_.pasvReply});
  if (!options_.portConnectFrom.empty()) args.insert(args.end(), {"--port-connect-from", options_.portConnectFrom});
  if (options_.idleTimeoutSeconds > 0) {
    args.insert(args.end(), {"--idle-timeout", FormatSeconds(options_.idleTimeoutSeconds)});
  }
  if (options_.bannerLines > 0) {
    args.insert(args.end(), {"--banner-lines", std::to_string(options_.bannerLines), "--banner-line-bytes",
                             std::to_string(options_.bannerLineBytes)});
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  const int result = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) {
    pid_ = -1;
    return;
  }
  WaitFor([this] {
    for (const std::string& note : Notes()) {
      if (note.rfind("PORT ", 0) == 0) {
        port_ = static_cast<std::uint16_t>(std::stoi(note.substr(5)));
        return true;
      }
    }
    return !Running();
  });
}

FtpTestServer::~FtpTestServer() {
  if (pid_ <= 0 || reaped_) return;
  kill(pid_, SIGTERM);
  if (!WaitFor([this] { return !Running(); }, std::chrono::seconds(10))) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool FtpTestServer::Running() const {
  if (pid_ <= 0 || reaped_) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    reaped_ = true;
    return false;
  }
  return true;
}

FtpLogonInfo FtpTestServer::Logon() const {
  FtpLogonInfo logon;
  logon.host = "127.0.0.1";
  logon.port = port_;
  logon.user = options_.user;
  logon.password = options_.password;
  return logon;
}

std::vector<std::string> FtpTestServer::Notes() const {
  std::vector<std::string> notes;
  std::ifstream in(notesPath_);
  std::string line;
  // Only whole lines: the server may be writing the last one.
  while (std::getline(in, line)) {
    if (in.eof()) break;
    notes.push_back(line);
  }
  return notes;
}

std::vector<std::string> FtpTestServer::Commands() const {
  std::vector<std::string> commands;
  for (const std::string& note : Notes()) {
    if (note.rfind("> ", 0) == 0) commands.push_back(note.substr(2));
  }
  return commands;
}

bool FtpTestServer::WaitForClosedConnections(int count) const {
  return WaitFor([this, count] {
    int closed = 0;
    for (const std::string& note : Notes()) closed += note == "closed" ? 1 : 0;
    return closed >= count;
  });
}

std::string FtpTestServer::Log() const { return ReadBytes(logPath_.string()); }

}  // namespace corvalind::testing

#include "capture/tests/stream_test_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "test_support/test_home.h"

extern char** environ;

namespace corvalind::testing {

namespace {

constexpr auto kStartLimit = std::chrono::seconds(20);
constexpr auto kEndLimit = std::chrono::seconds(5);

// Where Debian puts the RTMP module of nginx (libnginx-mod-rtmp).
constexpr std::array<const char*, 2> kRtmpModules = {
    "/usr/lib/nginx/modules/ngx_rtmp_module.so",
    "/usr/share/nginx/modules/ngx_rtmp_module.so",
};

// The full path of a program: as given when it has a slash, else the first
// match in PATH and then in the sbin folders, which a normal user's PATH
// often lacks (nginx lives in /usr/sbin). Empty when there is none.
std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  std::string folders = getenv("PATH") ? getenv("PATH") : "";
  folders += ":/usr/sbin:/sbin:/usr/bin:/bin";
  std::stringstream list(folders);
  std::string folder;
  while (std::getline(list, folder, ':')) {
    if (folder.empty()) continue;
    const std::string candidate = folder + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// Starts argv with its stdout in `out` and its stderr in `err` (appended to
// when `append`, else emptied), stdin from /dev/null and the variables in
// `unset` taken out of its environment. Everything the child needs is made
// before fork: between fork and exec it only calls async-signal-safe
// functions, since other threads of the test may hold locks. -1 when the
// program is missing or fork fails.
pid_t Spawn(const std::vector<std::string>& argv, const std::filesystem::path& out, const std::filesystem::path& err,
            bool append, const std::vector<std::string>& unset = {}) {
  if (argv.empty()) return -1;
  const std::string program = FindProgram(argv[0]);
  if (program.empty()) return -1;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('='));
    if (std::find(unset.begin(), unset.end(), name) == unset.end()) env.push_back(*e);
  }
  env.push_back(nullptr);
  const std::string outPath = out.string();
  const std::string errPath = err.string();
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);

  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (in >= 0) dup2(in, STDIN_FILENO);
  const int outFd = open(outPath.c_str(), flags, 0600);
  if (outFd >= 0) dup2(outFd, STDOUT_FILENO);
  // One file for both streams keeps their order.
  const int errFd = errPath == outPath ? outFd : open(errPath.c_str(), flags, 0600);
  if (errFd >= 0) dup2(errFd, STDERR_FILENO);
  execve(program.c_str(), args.data(), env.data());
  _exit(127);
}

// True once `pid` has ended (and reaps it); `status` then holds its status.
bool Exited(pid_t pid, int* status = nullptr) {
  int s = 0;
  const pid_t r = waitpid(pid, &s, WNOHANG);
  if (r == pid && status) *status = s;
  return r == pid || (r < 0 && errno == ECHILD);
}

// Ends `pid` with SIGTERM, or SIGKILL when it outstays kEndLimit, and reaps
// it.
void Terminate(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  if (!WaitFor([&] { return Exited(pid); }, kEndLimit)) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  pid = -1;
}

std::string Tail(const std::filesystem::path& file, std::size_t length = 600) {
  const std::string text = ReadBytes(file.string());
  return text.size() > length ? "..." + text.substr(text.size() - length) : text;
}

bool Contains(const std::filesystem::path& file, const std::string& text) {
  return ReadBytes(file.string()).find(text) != std::string::npos;
}

uint16_t FreePort(int type) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof(address);
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// A TCP connection to 127.0.0.1:port, -1 when refused.
int ConnectTo(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const sockaddr_in address = Loopback(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool Accepts(uint16_t port) {
  const int fd = ConnectTo(port);
  if (fd < 0) return false;
  close(fd);
  return true;
}

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// SRT takes a passphrase of 10 to 79 characters or none at all; the peer's
// URI carries it as a parameter, so the URI's own separators cannot be in
// it.
bool CheckPassphrase(const std::string& passphrase, std::string* reason) {
  if (passphrase.empty()) return true;
  if (passphrase.size() < 10 || passphrase.size() > 79) {
    if (reason) *reason = "an SRT passphrase has 10 to 79 characters, this one has " + std::to_string(passphrase.size());
    return false;
  }
  if (passphrase.find_first_of("&?=# \t\r\n") != std::string::npos) {
    if (reason) *reason = "the passphrase has a character the SRT URI cannot carry (& ? = # or a space)";
    return false;
  }
  return true;
}

std::string SrtUri(uint16_t port, const std::string& mode, const std::string& passphrase) {
  std::string uri = "srt://127.0.0.1:" + std::to_string(port) + "?mode=" + mode;
  if (!passphrase.empty()) uri += "&passphrase=" + passphrase;
  return uri;
}

}  // namespace

uint16_t FreeTcpPort() { return FreePort(SOCK_STREAM); }
uint16_t FreeUdpPort() { return FreePort(SOCK_DGRAM); }

int RunProgram(const std::vector<std::string>& argv, const std::filesystem::path& logFile,
               std::chrono::milliseconds limit, const std::vector<std::string>& unset) {
  pid_t pid = Spawn(argv, logFile, logFile, false, unset);
  if (pid < 0) return -1;
  int status = 0;
  if (!WaitFor([&] { return Exited(pid, &status); }, limit)) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const std::vector<std::string>& BuildGStreamerVariables() {
  static const std::vector<std::string> names = {"GST_PLUGIN_PATH", "GST_PLUGIN_PATH_1_0", "GST_REGISTRY",
                                                 "GST_REGISTRY_1_0"};
  return names;
}

// ---------------------------------------------------------------------------
// RtmpTestServer

RtmpTestServer::~RtmpTestServer() { Stop(); }

bool RtmpTestServer::Start(const std::filesystem::path& folder, std::string* reason) {
  Stop();
  folder_ = std::filesystem::absolute(folder);
  std::error_code ec;
  std::filesystem::create_directories(folder_, ec);
  port_ = FreeTcpPort();
  if (port_ == 0) {
    if (reason) *reason = "no free TCP port on 127.0.0.1";
    return false;
  }
  return Launch(reason);
}

bool RtmpTestServer::Launch(std::string* reason) {
  std::string module;
  for (const char* candidate : kRtmpModules) {
    if (std::filesystem::exists(candidate)) {
      module = candidate;
      break;
    }
  }
  if (module.empty()) {
    if (reason) *reason = "nginx's RTMP module is not installed (libnginx-mod-rtmp)";
    return false;
  }
  // A single foreground process: nothing forks away from the test, SIGTERM
  // ends the whole server, and it stays the current user.
  const std::filesystem::path config = folder_ / "nginx.conf";
  {
    std::ofstream out(config, std::ios::trunc);
    out << "daemon off;\n"
        << "master_process off;\n"
        << "error_log \"" << ErrorLog().string() << "\" info;\n"
        << "pid \"" << (folder_ / "nginx.pid").string() << "\";\n"
        << "load_module \"" << module << "\";\n"
        << "events {}\n"
        << "rtmp {\n"
        << "  server {\n"
        << "    listen 127.0.0.1:" << port_ << ";\n"
        << "    application live {\n"
        << "      live on;\n"
        << "      record all;\n"
        << "      record_path \"" << folder_.string() << "\";\n"
        << "      record_unique on;\n"
        << "    }\n"
        << "  }\n"
        << "}\n";
    if (!out) {
      if (reason) *reason = "cannot write " + config.string();
      return false;
    }
  }
  // -e: the error log before the configuration is read, which would else be
  // the system's /var/log/nginx/error.log.
  const std::filesystem::path log = folder_ / "nginx.log";
  pid_ = Spawn({"nginx", "-p", folder_.string() + "/", "-c", config.string(), "-e", ErrorLog().string()}, log, log,
               false);
  if (pid_ < 0) {
    if (reason) *reason = "nginx cannot be started (is the nginx package installed?)";
    return false;
  }
  bool ended = false;
  const bool up = WaitFor(
      [&] {
        ended = Exited(pid_);
        return ended || Accepts(port_);
      },
      kStartLimit);
  if (!up || ended) {
    if (ended) pid_ = -1;
    Stop();
    if (reason) {
      *reason = std::string(ended ? "nginx exited" : "nginx does not take connections") + " on port " +
                std::to_string(port_) + ": " + Tail(ErrorLog()) + Tail(log);
    }
    return false;
  }
  return true;
}

void RtmpTestServer::Stop() { Terminate(pid_); }

bool RtmpTestServer::Restart(std::string* reason) {
  Stop();
  if (folder_.empty() || port_ == 0) {
    if (reason) *reason = "the server was never started";
    return false;
  }
  return Launch(reason);
}

std::string RtmpTestServer::Url() const { return "rtmp://127.0.0.1:" + std::to_string(port_) + "/live"; }

std::vector<std::filesystem::path> RtmpTestServer::Recordings() const {
  std::vector<std::pair<std::filesystem::file_time_type, std::filesystem::path>> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder_, ec)) {
    if (entry.is_regular_file(ec) && entry.path().extension() == ".flv") {
      found.emplace_back(entry.last_write_time(ec), entry.path());
    }
  }
  std::sort(found.begin(), found.end());
  std::vector<std::filesystem::path> paths;
  for (auto& f : found) paths.push_back(std::move(f.second));
  return paths;
}

// ---------------------------------------------------------------------------
// SrtTestPeer

SrtTestPeer::~SrtTestPeer() { Stop(); }

bool SrtTestPeer::Prepare(const std::string& passphrase, const std::filesystem::path& output, std::string* reason) {
  Stop();
  if (!CheckPassphrase(passphrase, reason)) return false;
  if (FindProgram("srt-live-transmit").empty()) {
    if (reason) *reason = "srt-live-transmit is not installed (srt-tools)";
    return false;
  }
  output_ = std::filesystem::absolute(output);
  log_ = output_.string() + ".log";
  // Both start empty; the children append, so a restarted caller adds to
  // what it received before.
  std::ofstream(output_, std::ios::trunc | std::ios::binary);
  std::ofstream(log_, std::ios::trunc);
  if (!std::filesystem::exists(output_)) {
    if (reason) *reason = "cannot write " + output_.string();
    return false;
  }
  return true;
}

bool SrtTestPeer::StartListener(const std::string& passphrase, const std::filesystem::path& output,
                                std::string* reason) {
  if (!Prepare(passphrase, output, reason)) return false;
  port_ = FreeUdpPort();
  if (port_ == 0) {
    if (reason) *reason = "no free UDP port on 127.0.0.1";
    return false;
  }
  // -v: its messages (on stderr, since stdout carries the data) say when it
  // listens, connects and rejects.
  listener_ =
      Spawn({"srt-live-transmit", "-v", SrtUri(port_, "listener", passphrase), "file://con"}, output_, log_, true);
  if (listener_ < 0) {
    if (reason) *reason = "srt-live-transmit cannot be started";
    return false;
  }
  // Printed after the port is bound, just before the socket starts to
  // listen; a caller's handshake is repeated, so one that comes that soon
  // is not lost.
  bool ended = false;
  const bool listening = WaitFor(
      [&] {
        ended = Exited(listener_);
        return ended || Contains(log_, "listen...");
      },
      kStartLimit);
  if (!listening || ended) {
    if (ended) listener_ = -1;
    Stop();
    if (reason) {
      *reason = std::string(ended ? "srt-live-transmit exited" : "srt-live-transmit does not listen") + " on port " +
                std::to_string(port_) + ": " + Tail(log_);
    }
    return false;
  }
  return true;
}

bool SrtTestPeer::StartCaller(uint16_t port, const std::string& passphrase, const std::filesystem::path& output,
                              std::string* reason) {
  if (!Prepare(passphrase, output, reason)) return false;
  port_ = port;
  stop_ = false;
  callerStarts_ = 0;
  caller_ = std::thread(&SrtTestPeer::KeepCalling, this,
                        std::vector<std::string>{"srt-live-transmit", "-v", SrtUri(port, "caller", passphrase),
                                                 "file://con"});
  if (!WaitFor([&] { return Contains(log_, "Connecting to"); }, kStartLimit)) {
    Stop();
    if (reason) *reason = "srt-live-transmit does not call port " + std::to_string(port) + ": " + Tail(log_);
    return false;
  }
  return true;
}

// The caller's thread. srt-live-transmit repeats a failed call on its own,
// but it may also give up and exit (a rejected handshake, a listener that
// went away); it is then started again, after a short pause so a missing
// listener does not make it spin.
void SrtTestPeer::KeepCalling(std::vector<std::string> argv) {
  while (!stop_) {
    pid_t pid = Spawn(argv, output_, log_, true);
    ++callerStarts_;
    if (pid < 0) return;
    WaitFor([&] { return stop_ || Exited(pid); }, std::chrono::hours(24));
    if (stop_) {
      Terminate(pid);
      return;
    }
    WaitFor([&] { return stop_.load(); }, std::chrono::milliseconds(250));
  }
}

bool SrtTestPeer::SenderLeft() const { return !log_.empty() && Contains(log_, "SRT source disconnected"); }

void SrtTestPeer::Stop() {
  stop_ = true;
  if (caller_.joinable()) caller_.join();
  Terminate(listener_);
  stop_ = false;
}

// ---------------------------------------------------------------------------
// ThrottledRelay

namespace {

// How long the relay's thread blocks at most before it looks at the stop
// flag again.
constexpr int kPollMs = 50;
constexpr std::size_t kDownBuffer = 64 * 1024;

}  // namespace

ThrottledRelay::~ThrottledRelay() { Stop(); }

bool ThrottledRelay::Start(uint16_t targetPort, std::size_t bytesPerSecond, std::string* reason) {
  Stop();
  if (bytesPerSecond == 0) {
    if (reason) *reason = "a relay needs a rate above 0";
    return false;
  }
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof(address);
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener_, 8) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (reason) *reason = std::string("cannot listen on 127.0.0.1: ") + strerror(errno);
    if (listener_ >= 0) close(listener_);
    listener_ = -1;
    return false;
  }
  port_ = ntohs(address.sin_port);
  target_ = targetPort;
  rate_ = bytesPerSecond;
  // About 50 reads a second: small enough to pace evenly, large enough not
  // to wake the thread for every few bytes.
  chunk_ = std::clamp<std::size_t>(bytesPerSecond / 50, 1, 4096);
  credit_ = 0;
  refilled_ = std::chrono::steady_clock::now();
  relayed_ = 0;
  connections_ = 0;
  stop_ = false;
  thread_ = std::thread(&ThrottledRelay::Run, this);
  return true;
}

void ThrottledRelay::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) close(listener_);
  listener_ = -1;
}

void ThrottledRelay::Run() {
  while (!stop_) {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, kPollMs) <= 0 || !(p.revents & POLLIN)) continue;
    const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    ++connections_;
    Relay(client);
  }
}

// Copies between the client and the target until both have closed, either
// fails or Stop. The credit (refilled at rate_, never above one chunk) is
// what the client may send; a chunk is read only once it is all there, and
// the next read waits until it is.
void ThrottledRelay::Relay(int client) {
  const int target = ConnectTo(target_);
  if (target < 0) {
    close(client);
    return;
  }
  SetNonBlocking(client);
  SetNonBlocking(target);

  std::vector<char> up;  // read from the client, not yet written to the target
  std::size_t upSent = 0;
  std::vector<char> down(kDownBuffer);  // read from the target, not yet written to the client
  std::size_t downSize = 0;
  std::size_t downSent = 0;
  bool clientDone = false;  // the client will send no more
  bool targetDone = false;  // the target will send no more
  bool clientHup = false;
  bool targetHup = false;
  const double chunk = static_cast<double>(chunk_);

  while (!stop_) {
    const auto now = std::chrono::steady_clock::now();
    credit_ = std::min(chunk, credit_ + static_cast<double>(rate_) *
                                            std::chrono::duration<double>(now - refilled_).count());
    refilled_ = now;

    const bool upPending = upSent < up.size();
    const bool downPending = downSent < downSize;
    if (clientDone && targetDone && !upPending && !downPending) break;

    const bool readClient = !clientDone && !upPending && credit_ >= chunk;
    const bool readTarget = !targetDone && !downPending;
    // A side that hung up keeps poll returning at once; it is only watched
    // while there is something to do with it.
    pollfd fds[2] = {
        {client, static_cast<short>((readClient ? POLLIN : 0) | (downPending ? POLLOUT : 0)), 0},
        {target, static_cast<short>((readTarget ? POLLIN : 0) | (upPending ? POLLOUT : 0)), 0},
    };
    if (clientHup && fds[0].events == 0) fds[0].fd = -1;
    if (targetHup && fds[1].events == 0) fds[1].fd = -1;
    int timeout = kPollMs;
    if (!clientDone && !upPending && credit_ < chunk) {
      const double wait = (chunk - credit_) * 1000.0 / static_cast<double>(rate_);
      timeout = std::clamp(static_cast<int>(std::ceil(wait)), 1, kPollMs);
    }
    if (poll(fds, 2, timeout) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if ((fds[0].revents | fds[1].revents) & (POLLERR | POLLNVAL)) break;
    clientHup = clientHup || (fds[0].revents & POLLHUP);
    targetHup = targetHup || (fds[1].revents & POLLHUP);

    if (readClient && (fds[0].revents & (POLLIN | POLLHUP))) {
      up.resize(chunk_);
      const ssize_t n = recv(client, up.data(), up.size(), 0);
      if (n > 0) {
        up.resize(static_cast<std::size_t>(n));
        upSent = 0;
        credit_ -= static_cast<double>(n);
      } else {
        up.clear();
        upSent = 0;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
        if (n == 0) {
          clientDone = true;
          shutdown(target, SHUT_WR);
        }
      }
    }
    if (upSent < up.size() && (fds[1].revents & POLLOUT)) {
      const ssize_t n = send(target, up.data() + upSent, up.size() - upSent, MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
      if (n > 0) {
        upSent += static_cast<std::size_t>(n);
        relayed_ += static_cast<uint64_t>(n);
      }
    }
    if (readTarget && (fds[1].revents & (POLLIN | POLLHUP))) {
      const ssize_t n = recv(target, down.data(), down.size(), 0);
      if (n > 0) {
        downSize = static_cast<std::size_t>(n);
        downSent = 0;
      } else {
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
        if (n == 0) {
          targetDone = true;
          shutdown(client, SHUT_WR);
        }
      }
    }
    if (downSent < downSize && (fds[0].revents & POLLOUT)) {
      const ssize_t n = send(client, down.data() + downSent, downSize - downSent, MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
      if (n > 0) downSent += static_cast<std::size_t>(n);
    }
  }
  close(client);
  close(target);
}

}  // namespace corvalind::testing

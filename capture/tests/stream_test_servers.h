// Servers a streaming output can be tested against, all on 127.0.0.1 and in
// folders of the test: an RTMP server that records what it is sent (nginx
// with its RTMP module), SRT peers that write what they receive to a file
// (srt-live-transmit), and a TCP relay that makes a link slower than a
// stream's bit rate.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace corvalind::testing {

// A port of 127.0.0.1 that was free a moment ago (bound to port 0, read
// back, closed again), for TCP or for UDP. 0 when none could be had.
uint16_t FreeTcpPort();
uint16_t FreeUdpPort();

// Runs argv to its end with its output (stdout and stderr) in logFile and
// the variables in `unset` taken out of its environment; a program still
// running after `limit` is killed. Returns its exit code, -1 when it could
// not be started, was killed or ran past the limit.
int RunProgram(const std::vector<std::string>& argv, const std::filesystem::path& logFile,
               std::chrono::milliseconds limit, const std::vector<std::string>& unset = {});

// The environment variables a sanitizer build sets to point GStreamer at
// the build's plugin folder; a gst-launch-1.0 child runs without them so it
// loads the system's plugins only.
const std::vector<std::string>& BuildGStreamerVariables();

// nginx with its RTMP module, run as the current user from a folder of the
// test: the configuration, nginx's logs and the recordings all live there.
// Every stream published to Url() + "/NAME" is recorded as
// NAME-<publish time>.flv; a recording is closed when its publisher leaves
// or the server stops.
class RtmpTestServer {
 public:
  RtmpTestServer() = default;
  ~RtmpTestServer();
  RtmpTestServer(const RtmpTestServer&) = delete;
  RtmpTestServer& operator=(const RtmpTestServer&) = delete;

  // Picks a free port, writes the configuration into `folder` (created when
  // missing) and starts nginx; returns once it takes TCP connections. False
  // with a reason (including the end of nginx's error log) otherwise.
  bool Start(const std::filesystem::path& folder, std::string* reason);
  // Ends nginx (SIGTERM, then waits for it); its recordings are closed.
  void Stop();
  // Stop, then Start again on the same port and folder: a server that went
  // away and came back.
  bool Restart(std::string* reason);

  uint16_t Port() const { return port_; }
  // "rtmp://127.0.0.1:PORT/live", the application that records.
  std::string Url() const;
  // The .flv files recorded so far, oldest first (by modification time,
  // then by name).
  std::vector<std::filesystem::path> Recordings() const;
  // nginx's error log, which names every client, publish and disconnect.
  std::filesystem::path ErrorLog() const { return folder_ / "error.log"; }

 private:
  bool Launch(std::string* reason);

  std::filesystem::path folder_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
};

// An SRT peer: srt-live-transmit writing the bytes it receives to a file,
// with its own messages in `output` + ".log" (LogFile()).
//
// A passphrase, when not empty, must be 10 to 79 characters long: SRT
// refuses any other length, so Start* refuses it too. Both sides must use
// the same one; a caller with a wrong one is rejected and nothing is
// written.
class SrtTestPeer {
 public:
  SrtTestPeer() = default;
  ~SrtTestPeer();
  SrtTestPeer(const SrtTestPeer&) = delete;
  SrtTestPeer& operator=(const SrtTestPeer&) = delete;

  // Listens on a free UDP port of 127.0.0.1 (Port()) for one caller at a
  // time and writes what it sends to `output`. UDP gives no sign of a
  // listening socket to a peer, so readiness is taken from the tool: it
  // returns once srt-live-transmit is running and has logged that it
  // listens, which it does right after binding the port.
  bool StartListener(const std::string& passphrase, const std::filesystem::path& output, std::string* reason);

  // Calls the listener at 127.0.0.1:port (the program under test) and
  // appends what it receives to `output` (emptied here). The listener need
  // not be there yet: the call is repeated, and srt-live-transmit started
  // again whenever it exits, until Stop. Returns once the first attempt
  // has begun.
  bool StartCaller(uint16_t port, const std::string& passphrase, const std::filesystem::path& output,
                   std::string* reason);

  // Ends srt-live-transmit (and the caller's restarts); `output` is then
  // complete.
  void Stop();

  uint16_t Port() const { return port_; }
  std::filesystem::path LogFile() const { return log_; }
  // True once a sender has connected and left again (the tool logs it):
  // everything it sent is then in `output`.
  bool SenderLeft() const;
  // How many times the caller's srt-live-transmit has been started.
  int CallerStarts() const { return callerStarts_.load(); }

 private:
  bool Prepare(const std::string& passphrase, const std::filesystem::path& output, std::string* reason);
  void KeepCalling(std::vector<std::string> argv);

  uint16_t port_ = 0;
  std::filesystem::path output_;
  std::filesystem::path log_;
  pid_t listener_ = -1;
  std::thread caller_;
  std::atomic<bool> stop_{false};
  std::atomic<int> callerStarts_{0};
};

// A TCP relay for a slow link: listens on a free port of 127.0.0.1, takes
// one client at a time and connects it to 127.0.0.1:targetPort. Bytes from
// the target reach the client as fast as they come; bytes from the client
// reach the target at no more than bytesPerSecond (read in chunks of
// ChunkBytes(), paced by a clock, with at most one chunk of credit saved
// up), so after t seconds since Start at most rate * t + ChunkBytes() have
// been relayed.
class ThrottledRelay {
 public:
  ThrottledRelay() = default;
  ~ThrottledRelay();
  ThrottledRelay(const ThrottledRelay&) = delete;
  ThrottledRelay& operator=(const ThrottledRelay&) = delete;

  // Listens (Port() takes connections once this returns) and starts the
  // relay's thread. False with a reason when the port cannot be had or the
  // rate is 0.
  bool Start(uint16_t targetPort, std::size_t bytesPerSecond, std::string* reason);
  // Ends the thread and any connection; returns within a second whatever
  // the two sides are doing.
  void Stop();

  uint16_t Port() const { return port_; }
  // Bytes from clients written to the target so far.
  uint64_t BytesRelayed() const { return relayed_.load(); }
  // Clients taken so far.
  int Connections() const { return connections_.load(); }
  std::size_t ChunkBytes() const { return chunk_; }

 private:
  void Run();
  void Relay(int client);

  uint16_t port_ = 0;
  uint16_t target_ = 0;
  std::size_t rate_ = 0;
  std::size_t chunk_ = 0;
  int listener_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> relayed_{0};
  std::atomic<int> connections_{0};
  // Credit for the client's bytes, refilled at rate_ up to one chunk.
  double credit_ = 0;
  std::chrono::steady_clock::time_point refilled_;
};

}  // namespace corvalind::testing

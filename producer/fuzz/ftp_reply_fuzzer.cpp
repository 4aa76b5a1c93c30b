// The FTP client's reply reader on anything a server may send: a server on
// 127.0.0.1 says the input (the greeting and every reply after it) and
// hangs up, while the client logs in and, when it may, asks for a size,
// changes folder and renames. Single and multi-line replies, line ends,
// codes and replies past the limits all come from the input. The client
// must never crash or read past what it got; no data connection is ever
// opened, so nothing but the fake server is reached.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

#include "producer/ftp_client.h"

namespace {

int Listener(std::uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) std::abort();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 4) != 0) std::abort();
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

// Counts what the client reports, so the reports are built and read too.
class Observer : public corvalind::CNotification {
 public:
  void OnReply(const std::string& line) override { bytes_ += line.size(); }
  std::size_t bytes_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::uint16_t port = 0;
  static const int listener = Listener(&port);

  std::thread server([&] {
    // A client that never connects must not hold the run.
    pollfd waiting{listener, POLLIN, 0};
    if (poll(&waiting, 1, 5000) != 1) return;
    const int peer = accept(listener, nullptr, nullptr);
    if (peer < 0) return;
    std::size_t sent = 0;
    while (sent < size) {
      const ssize_t n = send(peer, data + sent, size - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    shutdown(peer, SHUT_WR);
    // Takes what the client sends until it hangs up, so its commands never
    // meet a reset.
    char sink[4096];
    while (recv(peer, sink, sizeof(sink), 0) > 0) {
    }
    close(peer);
  });

  {
    corvalind::CFTPClient client(500, true);
    Observer observer;
    client.AttachObserver(&observer);
    corvalind::FtpLogonInfo logon;
    logon.host = "127.0.0.1";
    logon.port = port;
    logon.user = "fuzz";
    logon.password = "secret";
    logon.account = "acct";
    if (client.Login(logon)) {
      std::uint64_t remote = 0;
      client.RemoteSize("m1.webm", &remote);
      client.ChangeDirectory("reels");
      client.Rename("temp1000.tmp", "m1.webm");
      client.Logout();
    }
    client.DetachObserver(&observer);
  }
  server.join();
  return 0;
}

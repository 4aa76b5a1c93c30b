// CBlockingSocket: the producer's TCP socket (IPv4, POSIX sockets) for the
// FTP client's control and data connections.
//
// Every call blocks the calling thread, but no wait lasts longer than the
// socket's timeout (10 seconds unless set otherwise): each send and each
// receive first waits for the socket to be ready, and a connect or accept
// gives up after the same time. The descriptor itself never blocks, so a
// send that the peer stops taking cannot outlast the timeout either. Failures are return values carrying the
// text the producer prints: "<Operation> error 0x%08x" with the system's
// error code, "Send timeout", "Receive timeout", or "Socket Error" for a
// call on a socket that is not open. Sending never raises SIGPIPE, and no
// descriptor leaks into programs started later.
//
// One socket is used by one thread at a time.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvalind {

// The text of a failure that has no operation of its own: a call on a
// socket that is not open, or a wait the system could not make.
inline constexpr const char* kSocketErrorText = "Socket Error";
inline constexpr const char* kSendTimeoutText = "Send timeout";
inline constexpr const char* kReceiveTimeoutText = "Receive timeout";

// What a socket call came to: success, or the text that says what failed.
class [[nodiscard]] SocketResult {
 public:
  SocketResult() = default;
  static SocketResult Failure(std::string text);
  // "<operation> error 0x%08x" with `code`, e.g. "Connect error 0x0000006f".
  static SocketResult OperationFailure(const char* operation, int code);
  // "<operation> error", for failures that come without an error code.
  static SocketResult OperationFailure(const char* operation);

  bool Ok() const { return text_.empty(); }
  explicit operator bool() const { return Ok(); }
  // Empty on success.
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

class CBlockingSocket {
 public:
  static constexpr int kDefaultTimeoutMs = 10000;

  explicit CBlockingSocket(int timeoutMs = kDefaultTimeoutMs) : timeoutMs_(timeoutMs) {}
  ~CBlockingSocket() { Cleanup(); }
  CBlockingSocket(const CBlockingSocket&) = delete;
  CBlockingSocket& operator=(const CBlockingSocket&) = delete;

  // The longest single wait, in milliseconds (at least 1).
  int TimeoutMs() const { return timeoutMs_; }
  void SetTimeoutMs(int timeoutMs) { timeoutMs_ = timeoutMs < 1 ? 1 : timeoutMs; }

  // Opens a fresh IPv4 socket (SOCK_STREAM unless told otherwise), closing
  // one this object held. "Create error ...".
  SocketResult Create(int type = SOCK_STREAM);
  // Closes the socket. "Close error ..." when the system reports a failure;
  // the descriptor is gone either way.
  SocketResult Close();
  // Closes without reporting anything (for clean-up after another failure).
  void Cleanup();
  bool IsOpen() const { return fd_ >= 0; }

  SocketResult Bind(const sockaddr_in& address);
  SocketResult Listen(int backlog = 1);
  // Waits for one connection (at most the timeout: "Receive timeout") and
  // hands it to `connection`, which must not be open. `peer` (may be null)
  // receives the caller's address.
  SocketResult Accept(CBlockingSocket& connection, sockaddr_in* peer);
  // Connects to `address`, giving up after the timeout with "Connect error"
  // and the code of a timed-out connection.
  SocketResult Connect(const sockaddr_in& address);

  // Sends all `size` bytes; each wait for room may last the timeout
  // ("Send timeout"). A peer that went away gives "Send error ...".
  SocketResult Write(const void* bytes, std::size_t size);
  // Receives at most `capacity` bytes after waiting up to the timeout for
  // any ("Receive timeout"). `*received` is 0 when the peer has closed.
  SocketResult Receive(void* bytes, std::size_t capacity, std::size_t* received);
  // Whether a Receive would return at once (data waiting, the peer closed,
  // or an error), without waiting.
  bool ReadyToReceive() const;

  // The socket's own address ("GetSockName error ...").
  SocketResult GetSockAddr(sockaddr_in* address) const;
  // The address this socket connected to, or that connected to it when it
  // came from Accept (all zero otherwise).
  const sockaddr_in& PeerAddr() const { return peer_; }

  // Finds the first IPv4 address of `host` (a name or a dotted address) and
  // puts `port` into it. "GetHostByName error ...".
  static SocketResult GetHostByName(const std::string& host, std::uint16_t port, sockaddr_in* address);
  // The host name of an address. "GetHostByAddr error ...".
  static SocketResult GetHostByAddr(const sockaddr_in& address, std::string* name);

  // "a.b.c.d" of an address.
  static std::string DottedAddress(const sockaddr_in& address);

 private:
  enum class Ready { kReady, kTimeout, kError };
  // Waits up to the timeout for `events` on the descriptor.
  Ready WaitFor(short events, int* error) const;

  int fd_ = -1;
  int timeoutMs_;
  sockaddr_in peer_{};
};

}  // namespace corvalind

#include "producer/blocking_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace corvalind {

SocketResult SocketResult::Failure(std::string text) {
  SocketResult result;
  result.text_ = text.empty() ? std::string(kSocketErrorText) : std::move(text);
  return result;
}

SocketResult SocketResult::OperationFailure(const char* operation, int code) {
  char text[96];
  std::snprintf(text, sizeof(text), "%s error 0x%08x", operation, static_cast<unsigned>(code));
  return Failure(text);
}

SocketResult SocketResult::OperationFailure(const char* operation) {
  return Failure(std::string(operation) + " error");
}

CBlockingSocket::Ready CBlockingSocket::WaitFor(short events, int* error) const {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left < 0) return Ready::kTimeout;
    pollfd entry{fd_, events, 0};
    const int ready = poll(&entry, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      *error = errno;
      return Ready::kError;
    }
    if (ready == 0) {
      // poll may wake a little early; only a passed deadline is a timeout.
      if (Clock::now() >= deadline) return Ready::kTimeout;
      continue;
    }
    if (entry.revents & POLLNVAL) {
      *error = EBADF;
      return Ready::kError;
    }
    // POLLHUP and POLLERR count as ready: the call that follows reports
    // the end of the stream or the socket's error.
    return Ready::kReady;
  }
}

SocketResult CBlockingSocket::Create(int type) {
  Cleanup();
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return SocketResult::OperationFailure("Create", errno);
  fd_ = fd;
  peer_ = sockaddr_in{};
  return {};
}

SocketResult CBlockingSocket::Close() {
  if (fd_ < 0) return {};
  const int fd = fd_;
  fd_ = -1;
  peer_ = sockaddr_in{};
  // The descriptor is released even when close reports a failure; trying
  // again could close a descriptor another thread has just been given.
  if (close(fd) != 0 && errno != EINTR) return SocketResult::OperationFailure("Close", errno);
  return {};
}

void CBlockingSocket::Cleanup() { (void)Close(); }

SocketResult CBlockingSocket::Bind(const sockaddr_in& address) {
  if (fd_ < 0) return SocketResult::Failure(kSocketErrorText);
  if (bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    return SocketResult::OperationFailure("Bind", errno);
  }
  return {};
}

SocketResult CBlockingSocket::Listen(int backlog) {
  if (fd_ < 0) return SocketResult::Failure(kSocketErrorText);
  if (listen(fd_, backlog) != 0) return SocketResult::OperationFailure("Listen", errno);
  return {};
}

SocketResult CBlockingSocket::Accept(CBlockingSocket& connection, sockaddr_in* peer) {
  if (fd_ < 0 || connection.IsOpen()) return SocketResult::Failure(kSocketErrorText);
  for (;;) {
    // A listening socket turns readable when a connection waits; the wait
    // is a wait for readiness to receive.
    int error = 0;
    switch (WaitFor(POLLIN, &error)) {
      case Ready::kTimeout:
        return SocketResult::Failure(kReceiveTimeoutText);
      case Ready::kError:
        return SocketResult::OperationFailure("Accept", error);
      case Ready::kReady:
        break;
    }
    sockaddr_in from{};
    socklen_t size = sizeof(from);
    const int fd = accept4(fd_, reinterpret_cast<sockaddr*>(&from), &size, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      // The caller may have given up between the wake-up and the accept.
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) continue;
      return SocketResult::OperationFailure("Accept", errno);
    }
    connection.fd_ = fd;
    connection.peer_ = from;
    if (peer != nullptr) *peer = from;
    return {};
  }
}

SocketResult CBlockingSocket::Connect(const sockaddr_in& address) {
  if (fd_ < 0) return SocketResult::Failure(kSocketErrorText);
  if (connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    // EINTR leaves a non-blocking connect going on, as EINPROGRESS does.
    if (errno != EINPROGRESS && errno != EINTR) return SocketResult::OperationFailure("Connect", errno);
    int error = 0;
    switch (WaitFor(POLLOUT, &error)) {
      case Ready::kTimeout:
        return SocketResult::OperationFailure("Connect", ETIMEDOUT);
      case Ready::kError:
        return SocketResult::OperationFailure("Connect", error);
      case Ready::kReady:
        break;
    }
    socklen_t size = sizeof(error);
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
      return SocketResult::OperationFailure("Connect", errno);
    }
    if (error != 0) return SocketResult::OperationFailure("Connect", error);
  }
  peer_ = address;
  return {};
}

SocketResult CBlockingSocket::Write(const void* bytes, std::size_t size) {
  if (fd_ < 0) return SocketResult::Failure(kSocketErrorText);
  const char* next = static_cast<const char*>(bytes);
  while (size > 0) {
    int error = 0;
    switch (WaitFor(POLLOUT, &error)) {
      case Ready::kTimeout:
        return SocketResult::Failure(kSendTimeoutText);
      case Ready::kError:
        return SocketResult::OperationFailure("Send", error);
      case Ready::kReady:
        break;
    }
    const ssize_t sent = send(fd_, next, size, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return SocketResult::OperationFailure("Send", errno);
    }
    next += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return {};
}

SocketResult CBlockingSocket::Receive(void* bytes, std::size_t capacity, std::size_t* received) {
  *received = 0;
  if (fd_ < 0) return SocketResult::Failure(kSocketErrorText);
  for (;;) {
    int error = 0;
    switch (WaitFor(POLLIN, &error)) {
      case Ready::kTimeout:
        return SocketResult::Failure(kReceiveTimeoutText);
      case Ready::kError:
        return SocketResult::OperationFailure("Receive", error);
      case Ready::kReady:
        break;
    }
    const ssize_t count = recv(fd_, bytes, capacity, 0);
    if (count < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return SocketResult::OperationFailure("Receive", errno);
    }
    *received = static_cast<std::size_t>(count);
    return {};
  }
}

bool CBlockingSocket::ReadyToReceive() const {
  if (fd_ < 0) return false;
  pollfd entry{fd_, POLLIN, 0};
  for (;;) {
    const int ready = poll(&entry, 1, 0);
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
}

SocketResult CBlockingSocket::GetSockAddr(sockaddr_in* address) const {
  if (fd_ < 0) return SocketResult::Failure(kSocketErrorText);
  socklen_t size = sizeof(*address);
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(address), &size) != 0) {
    return SocketResult::OperationFailure("GetSockName", errno);
  }
  return {};
}

SocketResult CBlockingSocket::GetHostByName(const std::string& host, std::uint16_t port, sockaddr_in* address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* results = nullptr;
  const int status = host.empty() ? EAI_NONAME : getaddrinfo(host.c_str(), nullptr, &hints, &results);
  if (status != 0 || results == nullptr) {
    if (status == EAI_SYSTEM) return SocketResult::OperationFailure("GetHostByName", errno);
    // The resolver's own codes are no system error codes.
    return SocketResult::OperationFailure("GetHostByName");
  }
  bool found = false;
  for (const addrinfo* entry = results; entry != nullptr && !found; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in)) {
      std::memcpy(address, entry->ai_addr, sizeof(sockaddr_in));
      address->sin_port = htons(port);
      found = true;
    }
  }
  freeaddrinfo(results);
  if (!found) return SocketResult::OperationFailure("GetHostByName");
  return {};
}

SocketResult CBlockingSocket::GetHostByAddr(const sockaddr_in& address, std::string* name) {
  char text[NI_MAXHOST];
  const int status = getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof(address), text, sizeof(text),
                                 nullptr, 0, NI_NAMEREQD);
  if (status != 0) {
    if (status == EAI_SYSTEM) return SocketResult::OperationFailure("GetHostByAddr", errno);
    return SocketResult::OperationFailure("GetHostByAddr");
  }
  *name = text;
  return {};
}

std::string CBlockingSocket::DottedAddress(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address.sin_addr, text, sizeof(text));
  return text;
}

}  // namespace corvalind

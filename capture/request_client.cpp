#include "capture/request_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace corvalind {

namespace {

// The most bytes Transact drops from an open connection before its
// exchange; a peer still sending after that gets a fresh connection.
constexpr std::size_t kMaxDroppedBytes = 64 * 1024;

void SetPort(sockaddr_storage& address, std::uint16_t port) {
  if (address.ss_family == AF_INET) {
    reinterpret_cast<sockaddr_in&>(address).sin_port = htons(port);
  } else if (address.ss_family == AF_INET6) {
    reinterpret_cast<sockaddr_in6&>(address).sin6_port = htons(port);
  }
}

// Readable (data, end of stream or an error) without waiting.
bool Readable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  for (;;) {
    const int ready = poll(&entry, 1, 0);
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  }
}

}  // namespace

RequestClient::RequestClient() { address_.ss_family = AF_UNSPEC; }

RequestClient::~RequestClient() { Close(); }

int RequestClient::ConnectLimitMs() const { return std::max(patience_ * 2, 1000); }

bool RequestClient::SetTarget(std::uint16_t port, const std::string& host) {
  port_ = port;
  host_ = host.substr(0, kMaxHostLength);
  Close();
  return ResolveHost();
}

bool RequestClient::TakeAddress(const char* name, int family) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* results = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &results) != 0 || results == nullptr) return false;
  // IPv4 first: a name with both families often lists its IPv6 address
  // first, and the IPv4 one is the more likely to be served.
  const addrinfo* chosen = results;
  if (family == AF_UNSPEC && chosen->ai_family != AF_INET && results->ai_next != nullptr &&
      results->ai_next->ai_family == AF_INET) {
    chosen = results->ai_next;
  }
  bool found = false;
  if (chosen->ai_addrlen <= sizeof(address_) &&
      (chosen->ai_family == AF_INET || chosen->ai_family == AF_INET6)) {
    std::memcpy(&address_, chosen->ai_addr, chosen->ai_addrlen);
    addressLength_ = chosen->ai_addrlen;
    SetPort(address_, port_);
    found = true;
  }
  freeaddrinfo(results);
  return found;
}

bool RequestClient::ResolveHost() {
  std::memset(&address_, 0, sizeof(address_));
  address_.ss_family = AF_UNSPEC;
  addressLength_ = 0;
  if (host_.empty()) return false;

  sockaddr_in dotted{};
  dotted.sin_family = AF_INET;
  if (inet_pton(AF_INET, host_.c_str(), &dotted.sin_addr) == 1) {
    char name[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&dotted), sizeof(dotted), name, sizeof(name), nullptr, 0,
                    NI_NAMEREQD) == 0 &&
        TakeAddress(name, AF_INET)) {
      return true;
    }
  }
  // Names, IPv6 literals, and dotted addresses without a name of their own.
  return TakeAddress(host_.c_str(), AF_UNSPEC);
}

bool RequestClient::Connect() {
  Close();
  if (!HasAddress() && !ResolveHost()) return false;
  const int fd = socket(address_.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
  if (fd < 0) return false;
  const int limit = ConnectLimitMs();
  auto fail = [fd] {
    close(fd);
    return false;
  };
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address_), addressLength_) != 0) {
    // EINTR leaves a non-blocking connect going on, as EINPROGRESS does.
    if (errno != EINPROGRESS && errno != EINTR) return fail();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0 || Cancelled()) return fail();
      pollfd entry{fd, POLLOUT, 0};
      const int ready = poll(&entry, 1, static_cast<int>(std::min<long long>(left, kReceiveWaitMs)));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return fail();
      if (ready == 0) continue;
      break;
    }
    int error = 0;
    socklen_t size = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) return fail();
  }
  // Blocking from here on; a send that makes no progress within the
  // connect limit fails instead of hanging on a peer that stopped reading.
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return fail();
  timeval timeout{limit / 1000, (limit % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  socket_ = fd;
  return true;
}

bool RequestClient::Send(const void* bytes, std::size_t length) {
  if (socket_ < 0 && (!autoConnect_ || !Connect())) return false;
  std::lock_guard<std::mutex> guard(sendMutex_);
  const char* next = static_cast<const char*>(bytes);
  std::size_t left = length;
  while (left > 0) {
    const ssize_t sent = send(socket_, next, left, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) {
      Close();
      return false;
    }
    next += sent;
    left -= static_cast<std::size_t>(sent);
  }
  return true;
}

int RequestClient::ReceiveAnswer(char* buffer, int capacity) {
  if (buffer == nullptr) return 0;
  capacity = std::max(capacity, 0);
  int received = 0;
  int result = 0;
  if (socket_ >= 0) {
    const int budget = patience_ / 10;
    int waits = 0;
    while (received < capacity) {
      if (!Readable(socket_)) {
        if (waits >= budget || Cancelled()) break;
        ++waits;
        std::this_thread::sleep_for(std::chrono::milliseconds(kReceiveWaitMs));
        continue;
      }
      const ssize_t count = recv(socket_, buffer + received, static_cast<std::size_t>(capacity - received), 0);
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) {
        Close();
        if (received == 0) result = -1;
        break;
      }
      if (count == 0) break;
      received += static_cast<int>(count);
      waits = 0;
    }
  }
  buffer[received] = '\0';
  return result < 0 ? result : received;
}

bool RequestClient::UnreadDataWaiting() const { return socket_ >= 0 && Readable(socket_); }

int RequestClient::Transact(const void* request, std::size_t length, char* answer, int capacity) {
  // What an earlier exchange left unread would be taken for this answer.
  std::size_t dropped = 0;
  while (socket_ >= 0 && UnreadDataWaiting()) {
    char scratch[4096];
    const ssize_t count = recv(socket_, scratch, sizeof(scratch), MSG_DONTWAIT);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    dropped += count > 0 ? static_cast<std::size_t>(count) : 0;
    // A peer that closed, failed or keeps sending: start afresh.
    if (count <= 0 || dropped > kMaxDroppedBytes) Close();
  }
  if (socket_ < 0 && !Connect()) {
    if (answer != nullptr && capacity >= 0) answer[0] = '\0';
    return -1;
  }
  int result = -1;
  if (Send(request, length)) {
    result = ReceiveAnswer(answer, capacity);
  } else if (answer != nullptr && capacity >= 0) {
    answer[0] = '\0';
  }
  Close();
  return result;
}

void RequestClient::Close() {
  if (socket_ < 0) return;
  shutdown(socket_, SHUT_RDWR);
  close(socket_);
  socket_ = -1;
}

}  // namespace corvalind

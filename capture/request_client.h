// RequestClient: a small blocking TCP client for one request and its
// answer, everything on the calling thread (POSIX sockets only).
//
// It reports through flags and counts and never shows or writes a message.
// A client is used from one thread at a time; the send lock keeps the bytes
// of one Send together.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace corvalind {

class RequestClient {
 public:
  // The most characters of a host name that are kept.
  static constexpr std::size_t kMaxHostLength = 99;
  // Each wait of the receive loop while no data arrives.
  static constexpr int kReceiveWaitMs = 20;

  RequestClient();
  ~RequestClient();
  RequestClient(const RequestClient&) = delete;
  RequestClient& operator=(const RequestClient&) = delete;

  // Stores the port and host (its first kMaxHostLength characters), closes
  // an open connection and resolves the host. True when an address was
  // found.
  bool SetTarget(std::uint16_t port, const std::string& host);

  // Finds the address of the host. A dotted IPv4 address is looked up
  // backwards and, when it has a name, that name forwards (IPv4); failing
  // that, the host text is looked up as a name and its first IPv4 address
  // among the first two results is taken, else its first result (so IPv6
  // literals and IPv6-only names work). True when an address was found.
  bool ResolveHost();

  // Resolves first when there is no address, then opens a TCP connection,
  // closing one that was open. The connect gives up after ConnectLimitMs(),
  // so an unreachable host never blocks for minutes. False (and no socket)
  // on failure.
  bool Connect();

  // Sends all `length` bytes, connecting first when there is no connection
  // and auto connect is on. A peer that went away makes it answer false,
  // never raises SIGPIPE; so does a peer that takes no bytes for
  // ConnectLimitMs(). A failed send closes the connection.
  bool Send(const void* bytes, std::size_t length);

  // Receives the answer into `buffer`, which holds capacity + 1 bytes: at
  // most `capacity` bytes, then a terminating zero byte after them. While
  // no data arrives it waits kReceiveWaitMs up to Patience() / 10 times,
  // and the wait starts afresh with each piece of data; it ends early when
  // the peer closes or the buffer is full. Answers the number of bytes
  // received: 0 without a connection, -1 when receiving failed before any
  // byte came (a failure closes the connection).
  int ReceiveAnswer(char* buffer, int capacity);

  // One exchange: connects when not connected (dropping unread data left
  // on an open connection, and reconnecting when its peer has closed),
  // sends the request and receives the answer as ReceiveAnswer does. The
  // connection is closed afterwards in every case. Answers the received
  // count, or -1 when connecting, sending or receiving failed.
  int Transact(const void* request, std::size_t length, char* answer, int capacity);

  // Shuts the connection down both ways and closes it.
  void Close();

  // True when data has arrived on the open connection and not been read,
  // or the peer has closed it.
  bool UnreadDataWaiting() const;

  bool Connected() const { return socket_ >= 0; }
  std::uint16_t Port() const { return port_; }
  const std::string& Host() const { return host_; }
  // The resolved address (family AF_UNSPEC when there is none).
  const sockaddr_storage& Address() const { return address_; }
  bool HasAddress() const { return addressLength_ > 0; }

  bool AutoConnect() const { return autoConnect_; }
  void SetAutoConnect(bool on) { autoConnect_ = on; }
  // How long the receive loop waits for data (see ReceiveAnswer) and,
  // through ConnectLimitMs, how long a connect may take. Never negative.
  int Patience() const { return patience_; }
  void SetPatience(int patience) { patience_ = patience < 0 ? 0 : patience; }
  // max(patience * 2, 1000) milliseconds.
  int ConnectLimitMs() const;
  // A flag that, once set (by any thread), makes a connect or an answer
  // wait give up at its next 20 ms step: an owner that is closing never
  // waits out the patience. The flag must outlive the client's calls.
  void SetCancelFlag(const std::atomic<bool>* cancel) { cancel_ = cancel; }

 private:
  // Takes the address of the first suitable result of a lookup.
  bool TakeAddress(const char* name, int family);
  bool Cancelled() const { return cancel_ != nullptr && cancel_->load(std::memory_order_acquire); }

  int socket_ = -1;
  std::mutex sendMutex_;
  std::uint16_t port_ = 0;
  std::string host_;
  bool autoConnect_ = true;
  int patience_ = 100;
  sockaddr_storage address_{};
  socklen_t addressLength_ = 0;
  const std::atomic<bool>* cancel_ = nullptr;
};

}  // namespace corvalind

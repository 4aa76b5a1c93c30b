// The request client against peers of this test on the loopback interface:
// answers in pieces, silent peers and the patience budget, the answer cap,
// unread data from before an exchange, refused and stalled connects, peers
// that went away, and host resolution.
#include "capture/request_client.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_support/test_home.h"

namespace corvalind {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char kRequest[] = "HELLO corvalind\n";

milliseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// A listening socket on the loopback address of a family, on a free port.
// `listening` false leaves it bound only, so connects to it are refused
// while no one else can take the port.
int LoopbackSocket(int family, bool listening, int backlog, std::uint16_t* port) {
  const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_storage address{};
  socklen_t size = 0;
  if (family == AF_INET6) {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
    in6.sin6_family = AF_INET6;
    in6.sin6_addr = in6addr_loopback;
    size = sizeof(in6);
  } else {
    auto& in4 = reinterpret_cast<sockaddr_in&>(address);
    in4.sin_family = AF_INET;
    in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    size = sizeof(in4);
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || (listening && listen(fd, backlog) != 0) ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                   : reinterpret_cast<sockaddr_in&>(address).sin_port);
  return fd;
}

// A peer on the loopback interface: accepts connections one after the
// other on its own thread and hands each to `serve`. Every wait of the
// peer also ends when the peer is destroyed, so a failing test never
// hangs on it.
class LoopbackPeer {
 public:
  using Serve = std::function<void(LoopbackPeer& peer, int connection)>;

  explicit LoopbackPeer(Serve serve, int family = AF_INET) : serve_(std::move(serve)) {
    listener_ = LoopbackSocket(family, true, 8, &port_);
    wake_ = eventfd(0, EFD_CLOEXEC);
    if (listener_ >= 0 && wake_ >= 0) thread_ = std::thread([this] { Run(); });
  }
  ~LoopbackPeer() {
    const std::uint64_t one = 1;
    if (wake_ >= 0) (void)!write(wake_, &one, sizeof(one));
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
    if (wake_ >= 0) close(wake_);
  }

  bool Ready() const { return thread_.joinable(); }
  std::uint16_t Port() const { return port_; }
  int Accepted() const { return accepted_.load(); }
  std::vector<std::string> Requests() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return requests_;
  }

  // Waits up to `limit` for `fd` to be readable; false when the peer is
  // being destroyed or the time is up.
  bool WaitReadable(int fd, milliseconds limit = milliseconds(10000)) const {
    pollfd entries[2] = {{fd, POLLIN, 0}, {wake_, POLLIN, 0}};
    if (poll(entries, 2, static_cast<int>(limit.count())) <= 0) return false;
    return entries[1].revents == 0;
  }
  // Reads one line of the client and keeps it among the requests.
  std::string ReadRequest(int connection) {
    std::string line;
    char byte = 0;
    while (line.empty() || line.back() != '\n') {
      if (!WaitReadable(connection) || recv(connection, &byte, 1, 0) != 1) break;
      line += byte;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    requests_.push_back(line);
    return line;
  }
  // Waits until the client closes its side.
  void WaitForClientClose(int connection) {
    char scratch[256];
    while (WaitReadable(connection) && recv(connection, scratch, sizeof(scratch), 0) > 0) {
    }
  }
  // Pauses between two pieces of an answer (ends early when destroyed).
  void Pause(milliseconds gap) const {
    pollfd entry{wake_, POLLIN, 0};
    poll(&entry, 1, static_cast<int>(gap.count()));
  }
  static void SendAll(int connection, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t sent = send(connection, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (sent <= 0) return;
      done += static_cast<std::size_t>(sent);
    }
  }

 private:
  void Run() {
    while (WaitReadable(listener_, milliseconds(-1))) {
      const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      ++accepted_;
      serve_(*this, connection);
      close(connection);
    }
  }

  Serve serve_;
  int listener_ = -1;
  int wake_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<int> accepted_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

// A peer that reads the request, then answers `pieces` with `gap` between
// them and closes.
LoopbackPeer::Serve AnswerInPieces(std::vector<std::string> pieces, milliseconds gap) {
  return [pieces, gap](LoopbackPeer& peer, int connection) {
    peer.ReadRequest(connection);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      if (i > 0) peer.Pause(gap);
      LoopbackPeer::SendAll(connection, pieces[i]);
    }
  };
}

std::string Exchange(RequestClient& client, int capacity, int* count) {
  std::vector<char> answer(static_cast<std::size_t>(capacity) + 1, 'x');
  *count = client.Transact(kRequest, std::strlen(kRequest), answer.data(), capacity);
  return std::string(answer.data());
}

// --- Answers, the patience budget and the cap -------------------------------

struct PiecesCase {
  int patience;
  milliseconds gap;
  std::vector<std::string> pieces;
};

TEST(RequestClientAnswer, PiecesWithGapsShorterThanTheBudgetArriveWhole) {
  // Default patience (200 ms of waiting): two pieces 100 ms apart. Patience
  // 200 (400 ms): four pieces 150 ms apart, 450 ms from first to last, so
  // the budget must start afresh with each piece.
  const std::vector<PiecesCase> cases = {
      {100, milliseconds(100), {"first burst;", "second burst"}},
      {200, milliseconds(150), {"one;", "two;", "three;", "four"}},
  };
  for (const PiecesCase& c : cases) {
    SCOPED_TRACE(c.patience);
    LoopbackPeer peer(AnswerInPieces(c.pieces, c.gap));
    ASSERT_TRUE(peer.Ready());
    RequestClient client;
    EXPECT_EQ(client.Patience(), 100);
    client.SetPatience(c.patience);
    ASSERT_TRUE(client.SetTarget(peer.Port(), "127.0.0.1"));
    std::string expected;
    for (const std::string& piece : c.pieces) expected += piece;
    int count = 0;
    EXPECT_EQ(Exchange(client, 1024, &count), expected);
    EXPECT_EQ(count, static_cast<int>(expected.size()));
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(peer.Requests(), std::vector<std::string>{kRequest});
  }
}

TEST(RequestClientAnswer, SilentPeerEndsAfterThePatienceBudget) {
  // patience / 10 waits of 20 ms each.
  for (const int patience : {0, 50, 150}) {
    SCOPED_TRACE(patience);
    LoopbackPeer peer([](LoopbackPeer& peer, int connection) {
      peer.ReadRequest(connection);
      peer.WaitForClientClose(connection);
    });
    ASSERT_TRUE(peer.Ready());
    RequestClient client;
    client.SetPatience(patience);
    ASSERT_TRUE(client.SetTarget(peer.Port(), "127.0.0.1"));
    const auto start = Clock::now();
    int count = -2;
    EXPECT_EQ(Exchange(client, 64, &count), "");
    const milliseconds took = Since(start);
    EXPECT_EQ(count, 0);
    EXPECT_GE(took, milliseconds(patience / 10 * RequestClient::kReceiveWaitMs));
    EXPECT_LT(took, milliseconds(5000));
    EXPECT_FALSE(client.Connected());
  }
}

TEST(RequestClientAnswer, NeverMoreThanCapacityAndAlwaysTerminated) {
  std::string sent(3000, '\0');
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>('a' + i % 26);
  for (const int capacity : {0, 1, 1024, 3000, 4096}) {
    SCOPED_TRACE(capacity);
    LoopbackPeer peer(AnswerInPieces({sent}, milliseconds(0)));
    ASSERT_TRUE(peer.Ready());
    RequestClient client;
    ASSERT_TRUE(client.SetTarget(peer.Port(), "127.0.0.1"));
    // Exactly capacity + 1 bytes: a write past them is caught by the
    // address sanitizer.
    std::vector<char> answer(static_cast<std::size_t>(capacity) + 1, 'x');
    const int count = client.Transact(kRequest, std::strlen(kRequest), answer.data(), capacity);
    const int expected = std::min(capacity, static_cast<int>(sent.size()));
    ASSERT_EQ(count, expected);
    EXPECT_EQ(std::string(answer.data(), static_cast<std::size_t>(count)), sent.substr(0, static_cast<std::size_t>(expected)));
    EXPECT_EQ(answer[static_cast<std::size_t>(count)], '\0');
  }
}

TEST(RequestClientAnswer, ReceiveWithoutConnectionAnswersNothing) {
  RequestClient client;
  char answer[8] = "xxxxxxx";
  EXPECT_EQ(client.ReceiveAnswer(answer, 7), 0);
  EXPECT_EQ(answer[0], '\0');
}

// --- What an open connection holds before an exchange -----------------------

TEST(RequestClientTransact, DropsUnreadDataBeforeTheExchange) {
  LoopbackPeer peer([](LoopbackPeer& peer, int connection) {
    LoopbackPeer::SendAll(connection, "stale bytes from before");
    peer.ReadRequest(connection);
    LoopbackPeer::SendAll(connection, "fresh");
  });
  ASSERT_TRUE(peer.Ready());
  RequestClient client;
  ASSERT_TRUE(client.SetTarget(peer.Port(), "127.0.0.1"));
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(testing::WaitFor([&] { return client.UnreadDataWaiting(); }));
  int count = 0;
  EXPECT_EQ(Exchange(client, 256, &count), "fresh");
  EXPECT_EQ(count, 5);
  EXPECT_EQ(peer.Accepted(), 1);
  EXPECT_FALSE(client.Connected());
}

TEST(RequestClientTransact, ReconnectsWhenThePeerClosedTheOpenConnection) {
  LoopbackPeer peer([](LoopbackPeer& peer, int connection) {
    if (peer.Accepted() == 1) return;  // closes at once
    peer.ReadRequest(connection);
    LoopbackPeer::SendAll(connection, "second connection");
  });
  ASSERT_TRUE(peer.Ready());
  RequestClient client;
  ASSERT_TRUE(client.SetTarget(peer.Port(), "127.0.0.1"));
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(testing::WaitFor([&] { return client.UnreadDataWaiting(); }));
  int count = 0;
  EXPECT_EQ(Exchange(client, 256, &count), "second connection");
  EXPECT_EQ(peer.Accepted(), 2);
}

// --- Connecting and sending ---------------------------------------------------

TEST(RequestClientConnect, RefusedConnectionFails) {
  std::uint16_t port = 0;
  const int bound = LoopbackSocket(AF_INET, false, 0, &port);
  ASSERT_GE(bound, 0);
  RequestClient client;
  ASSERT_TRUE(client.SetTarget(port, "127.0.0.1"));
  EXPECT_FALSE(client.Connect());
  EXPECT_FALSE(client.Connected());
  EXPECT_FALSE(client.Send(kRequest, std::strlen(kRequest)));
  char answer[16] = "xxxxxxxxxxxxxxx";
  EXPECT_EQ(client.Transact(kRequest, std::strlen(kRequest), answer, 15), -1);
  EXPECT_EQ(answer[0], '\0');
  close(bound);
}

TEST(RequestClientConnect, SendConnectsOnlyWithAutoConnect) {
  LoopbackPeer peer([](LoopbackPeer& peer, int connection) {
    peer.ReadRequest(connection);
    peer.WaitForClientClose(connection);
  });
  ASSERT_TRUE(peer.Ready());
  RequestClient client;
  EXPECT_TRUE(client.AutoConnect());
  ASSERT_TRUE(client.SetTarget(peer.Port(), "127.0.0.1"));
  client.SetAutoConnect(false);
  EXPECT_FALSE(client.Send(kRequest, std::strlen(kRequest)));
  EXPECT_FALSE(client.Connected());
  client.SetAutoConnect(true);
  EXPECT_TRUE(client.Send(kRequest, std::strlen(kRequest)));
  EXPECT_TRUE(client.Connected());
  ASSERT_TRUE(testing::WaitFor([&] { return peer.Requests().size() == 1; }));
  client.Close();
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(peer.Accepted(), 1);
  EXPECT_EQ(peer.Requests(), std::vector<std::string>{kRequest});
}

TEST(RequestClientConnect, SendToAPeerThatWentAwayFailsWithoutSignal) {
  // The default action of SIGPIPE would end this test program.
  LoopbackPeer peer([](LoopbackPeer&, int) {});
  ASSERT_TRUE(peer.Ready());
  RequestClient client;
  client.SetAutoConnect(false);
  ASSERT_TRUE(client.SetTarget(peer.Port(), "127.0.0.1"));
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(testing::WaitFor([&] { return client.UnreadDataWaiting(); }));
  const std::string block(64 * 1024, 'z');
  EXPECT_TRUE(testing::WaitFor([&] { return !client.Send(block.data(), block.size()); }));
  EXPECT_FALSE(client.Connected());
}

TEST(RequestClientConnect, StalledConnectGivesUpAfterItsLimit) {
  // A listener whose queue is full drops new connection requests, so a
  // connect to it stays pending: fill the queue until one does.
  std::uint16_t port = 0;
  const int listener = LoopbackSocket(AF_INET, true, 0, &port);
  ASSERT_GE(listener, 0);
  std::vector<int> fillers;
  bool pending = false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  while (!pending && fillers.size() < 8) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    fillers.push_back(fd);
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    pollfd entry{fd, POLLOUT, 0};
    pending = poll(&entry, 1, 300) == 0;
  }
  if (pending) {
    RequestClient client;
    ASSERT_TRUE(client.SetTarget(port, "127.0.0.1"));
    ASSERT_EQ(client.ConnectLimitMs(), 1000);
    const auto start = Clock::now();
    EXPECT_FALSE(client.Connect());
    const milliseconds took = Since(start);
    EXPECT_GE(took, milliseconds(990));
    EXPECT_LT(took, milliseconds(10000));
    EXPECT_FALSE(client.Connected());
  }
  for (const int fd : fillers) close(fd);
  close(listener);
  if (!pending) GTEST_SKIP() << "this system completes connects to a full listener";
}

// --- Resolving hosts -----------------------------------------------------------

TEST(RequestClientResolve, LoopbackNamesAndAddressesConnect) {
  struct Case {
    const char* host;
    int family;
  };
  // A dotted address goes through its name; "localhost" prefers IPv4.
  for (const Case& c : {Case{"127.0.0.1", AF_INET}, Case{"localhost", AF_INET}, Case{"::1", AF_INET6}}) {
    SCOPED_TRACE(c.host);
    LoopbackPeer peer(AnswerInPieces({std::string("served ") + c.host}, milliseconds(0)), c.family);
    if (!peer.Ready() && c.family == AF_INET6) {
      std::printf("no IPv6 loopback here: %s skipped\n", c.host);
      continue;
    }
    ASSERT_TRUE(peer.Ready());
    RequestClient client;
    ASSERT_TRUE(client.SetTarget(peer.Port(), c.host));
    EXPECT_TRUE(client.HasAddress());
    EXPECT_EQ(client.Address().ss_family, c.family);
    int count = 0;
    EXPECT_EQ(Exchange(client, 256, &count), std::string("served ") + c.host);
  }
}

TEST(RequestClientResolve, SetTargetKeepsTheHostAndClosesTheConnection) {
  LoopbackPeer peer([](LoopbackPeer& peer, int connection) { peer.WaitForClientClose(connection); });
  ASSERT_TRUE(peer.Ready());
  RequestClient client;
  ASSERT_TRUE(client.SetTarget(peer.Port(), "localhost"));
  EXPECT_EQ(client.Port(), peer.Port());
  ASSERT_TRUE(client.Connect());

  // A name that cannot resolve: the open connection goes, and nothing
  // connects afterwards.
  EXPECT_FALSE(client.SetTarget(peer.Port(), "no-such-host.invalid"));
  EXPECT_FALSE(client.Connected());
  EXPECT_FALSE(client.HasAddress());
  EXPECT_FALSE(client.Connect());
  char answer[8];
  EXPECT_EQ(client.Transact(kRequest, std::strlen(kRequest), answer, 7), -1);

  const std::string longName = std::string(150, 'h') + ".invalid";
  EXPECT_FALSE(client.SetTarget(80, longName));
  EXPECT_EQ(client.Host(), longName.substr(0, RequestClient::kMaxHostLength));
}

}  // namespace
}  // namespace corvalind

// CBlockingSocket against sockets of the test on 127.0.0.1: the failure
// texts of each operation, the bounded waits, peers that stop reading or go
// away, and address lookups that need no name server.
#include "producer/blocking_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace corvalind {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kShortTimeoutMs = 200;

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// A socket of the test bound to a free loopback port; listening when asked.
struct TestPort {
  explicit TestPort(bool listening) {
    EXPECT_TRUE(socket.Create());
    EXPECT_TRUE(socket.Bind(Loopback(0)));
    if (listening) {
      EXPECT_TRUE(socket.Listen(4));
    }
    sockaddr_in bound{};
    EXPECT_TRUE(socket.GetSockAddr(&bound));
    port = ntohs(bound.sin_port);
  }
  CBlockingSocket socket;
  std::uint16_t port = 0;
};

// A connected pair: `client` connected to `server`, which the test accepted.
struct ConnectedPair {
  ConnectedPair() : listener(true), client(kShortTimeoutMs) {
    EXPECT_TRUE(client.Create());
    EXPECT_TRUE(client.Connect(Loopback(listener.port)));
    sockaddr_in peer{};
    EXPECT_TRUE(listener.socket.Accept(server, &peer));
    EXPECT_EQ(peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  }
  TestPort listener;
  CBlockingSocket client;
  CBlockingSocket server;
};

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(BlockingSocket, OperationFailuresNameTheOperationAndTheSystemCode) {
  // Each case makes the system refuse an operation and checks the text.
  TestPort bound(false);
  TestPort taken(true);
  struct Case {
    const char* what;
    std::function<SocketResult(CBlockingSocket&)> act;
    std::string expected;
  };
  char refused[32], inUse[32];
  std::snprintf(refused, sizeof(refused), "Connect error 0x%08x", ECONNREFUSED);
  std::snprintf(inUse, sizeof(inUse), "Bind error 0x%08x", EADDRINUSE);
  const std::vector<Case> cases = {
      {"connect to a port nobody listens on", [&](CBlockingSocket& s) { return s.Connect(Loopback(bound.port)); },
       refused},
      {"bind to a port in use", [&](CBlockingSocket& s) { return s.Bind(Loopback(taken.port)); }, inUse},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CBlockingSocket socket(kShortTimeoutMs);
    ASSERT_TRUE(socket.Create());
    const SocketResult result = c.act(socket);
    EXPECT_FALSE(result);
    EXPECT_EQ(result.Text(), c.expected);
  }
}

TEST(BlockingSocket, CallsOnASocketThatIsNotOpenGiveSocketError) {
  CBlockingSocket socket(kShortTimeoutMs);
  CBlockingSocket other;
  char byte = 0;
  std::size_t received = 1;
  sockaddr_in address{};
  const std::vector<std::pair<const char*, SocketResult>> results = {
      {"Bind", socket.Bind(Loopback(0))},
      {"Listen", socket.Listen()},
      {"Accept", socket.Accept(other, nullptr)},
      {"Connect", socket.Connect(Loopback(21))},
      {"Write", socket.Write(&byte, 1)},
      {"Receive", socket.Receive(&byte, 1, &received)},
      {"GetSockAddr", socket.GetSockAddr(&address)},
  };
  for (const auto& [what, result] : results) {
    SCOPED_TRACE(what);
    EXPECT_EQ(result.Text(), "Socket Error");
  }
  EXPECT_EQ(received, 0u);
  EXPECT_FALSE(socket.ReadyToReceive());
}

TEST(BlockingSocket, WaitsEndWithTheirTimeoutTexts) {
  // A silent peer, a listener nobody calls, and a peer that never reads:
  // each wait gives up after the timeout with its own text.
  {
    ConnectedPair pair;
    char byte = 0;
    std::size_t received = 0;
    const auto start = Clock::now();
    const SocketResult result = pair.client.Receive(&byte, 1, &received);
    EXPECT_EQ(result.Text(), "Receive timeout");
    EXPECT_GE(MillisecondsSince(start), kShortTimeoutMs);
  }
  {
    TestPort listener(true);
    listener.socket.SetTimeoutMs(kShortTimeoutMs);
    CBlockingSocket connection;
    const auto start = Clock::now();
    EXPECT_EQ(listener.socket.Accept(connection, nullptr).Text(), "Receive timeout");
    EXPECT_GE(MillisecondsSince(start), kShortTimeoutMs);
    EXPECT_FALSE(connection.IsOpen());
  }
  {
    ConnectedPair pair;
    // Far more than the socket buffers of both ends hold.
    const std::vector<char> bytes(64 * 1024 * 1024, 'x');
    EXPECT_EQ(pair.client.Write(bytes.data(), bytes.size()).Text(), "Send timeout");
  }
}

TEST(BlockingSocket, BytesArriveWholeAndAClosedPeerReadsAsZero) {
  ConnectedPair pair;
  std::string sent(300000, '\0');
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7);
  pair.server.SetTimeoutMs(5000);
  pair.client.SetTimeoutMs(5000);
  // Small enough for the socket buffers, so one thread can send all first.
  ASSERT_TRUE(pair.client.Write(sent.data(), 100000));
  std::string got;
  while (got.size() < 100000) {
    char chunk[8192];
    std::size_t received = 0;
    ASSERT_TRUE(pair.server.Receive(chunk, sizeof(chunk), &received));
    ASSERT_GT(received, 0u);
    got.append(chunk, received);
  }
  EXPECT_EQ(got, sent.substr(0, 100000));

  ASSERT_TRUE(pair.server.Close());
  EXPECT_TRUE(pair.client.ReadyToReceive());
  char byte = 0;
  std::size_t received = 1;
  EXPECT_TRUE(pair.client.Receive(&byte, 1, &received));
  EXPECT_EQ(received, 0u);
}

TEST(BlockingSocket, SendingToAPeerThatWentAwayFailsWithoutSigpipe) {
  ConnectedPair pair;
  ASSERT_TRUE(pair.server.Close());
  // The first send may still be taken (the peer answers it with a reset);
  // one of the next ones fails. SIGPIPE would end the test program here.
  SocketResult result;
  for (int i = 0; i < 10 && result; ++i) {
    const char text[] = "anyone there?";
    result = pair.client.Write(text, sizeof(text));
  }
  char pipe[32], reset[32];
  std::snprintf(pipe, sizeof(pipe), "Send error 0x%08x", EPIPE);
  std::snprintf(reset, sizeof(reset), "Send error 0x%08x", ECONNRESET);
  EXPECT_TRUE(result.Text() == pipe || result.Text() == reset) << result.Text();
}

TEST(BlockingSocket, DescriptorsDoNotLeakIntoStartedPrograms) {
  ConnectedPair pair;
  CBlockingSocket fresh;
  ASSERT_TRUE(fresh.Create());
  // The descriptor numbers are not exposed; every descriptor this process
  // holds for a socket must carry close-on-exec.
  int sockets = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    const int flags = fcntl(fd, F_GETFD);
    if (flags < 0) continue;
    sockaddr_storage address{};
    socklen_t size = sizeof(address);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0 || address.ss_family != AF_INET) continue;
    ++sockets;
    EXPECT_TRUE(flags & FD_CLOEXEC) << "descriptor " << fd;
  }
  EXPECT_GE(sockets, 4);  // listener, client, accepted server, fresh
}

TEST(BlockingSocket, LooksUpAddressesWithoutANameServer) {
  struct Case {
    std::string host;
    bool found;
    std::string text;
  };
  // Only names the hosts file or the address itself answer: nothing here
  // may ask a name server.
  const std::vector<Case> cases = {
      {"127.0.0.1", true, ""},
      {"localhost", true, ""},
      {"", false, "GetHostByName error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    sockaddr_in address{};
    const SocketResult result = CBlockingSocket::GetHostByName(c.host, 2121, &address);
    EXPECT_EQ(result.Ok(), c.found);
    EXPECT_EQ(result.Text(), c.text);
    if (c.found) {
      EXPECT_EQ(CBlockingSocket::DottedAddress(address), "127.0.0.1");
      EXPECT_EQ(ntohs(address.sin_port), 2121);
    }
  }
}

}  // namespace
}  // namespace corvalind

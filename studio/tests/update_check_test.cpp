// The update check against an HTTP server of this test on the loopback
// interface: what each reply shows on request and automatically, the
// download page, the server setting and its environment override, the
// second attempt, one check at a time, a silent server, the automatic
// delay, and the main window's commands.
#include "studio/update_check.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QThread>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/source_slot.h"
#include "engine/video_engine.h"
#include "platform/folders.h"
#include "platform/version.h"
#include "studio/main_window.h"
#include "studio/ui_bridge.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char kRequestLine[] = "GET /version.txt HTTP/1.1";

milliseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

std::string HttpReply(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

// A socket on 127.0.0.1 with a free port; bound only (connects to it are
// refused) or listening.
int LoopbackSocket(bool listening, std::uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(address);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || (listening && listen(fd, 8) != 0) ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// An update server on the loopback interface. Each connection's request
// is read up to its empty line and kept; a request other than
// "GET /version.txt HTTP/1.1" with this server's Host header gets a 400
// without a version. Then it answers as told: a reply, nothing until the
// client closes, an immediate close, or a reply held until Release().
// Every wait ends when the server is destroyed.
class VersionServer {
 public:
  enum class Behaviour { kReply, kSilent, kCloseAtOnce, kHoldReply };
  struct Request {
    std::string line;
    std::string host;
    Clock::time_point when;
  };

  explicit VersionServer(std::string reply, Behaviour behaviour = Behaviour::kReply)
      : reply_(std::move(reply)), behaviour_(behaviour) {
    listener_ = LoopbackSocket(true, &port_);
    wake_ = eventfd(0, EFD_CLOEXEC);
    release_ = eventfd(0, EFD_CLOEXEC);
    if (listener_ >= 0 && wake_ >= 0 && release_ >= 0) thread_ = std::thread([this] { Run(); });
  }
  ~VersionServer() {
    Signal(wake_);
    if (thread_.joinable()) thread_.join();
    for (const int fd : {listener_, wake_, release_}) {
      if (fd >= 0) close(fd);
    }
  }

  bool Ready() const { return thread_.joinable(); }
  std::uint16_t Port() const { return port_; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int Hits() const { return hits_.load(); }
  std::vector<Request> Requests() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return requests_;
  }
  void Release() { Signal(release_); }

 private:
  static void Signal(int fd) {
    const std::uint64_t one = 1;
    if (fd >= 0) (void)!write(fd, &one, sizeof(one));
  }
  // Waits for `fd` to be readable; false when the server goes or 20 s pass.
  bool Wait(int fd) const {
    pollfd entries[2] = {{fd, POLLIN, 0}, {wake_, POLLIN, 0}};
    return poll(entries, 2, 20000) > 0 && entries[1].revents == 0;
  }
  void Run() {
    while (Wait(listener_)) {
      const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      Serve(connection);
      close(connection);
    }
  }
  void Serve(int connection) {
    std::string head;
    char byte = 0;
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 8192) {
      if (!Wait(connection) || recv(connection, &byte, 1, 0) != 1) break;
      head += byte;
    }
    Request request;
    request.when = Clock::now();
    request.line = head.substr(0, head.find("\r\n"));
    const std::string hostField = "\r\nHost: ";
    if (const std::size_t at = head.find(hostField); at != std::string::npos) {
      const std::size_t from = at + hostField.size();
      request.host = head.substr(from, head.find("\r\n", from) - from);
    }
    const bool proper = request.line == kRequestLine && request.host == "127.0.0.1:" + std::to_string(port_);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      requests_.push_back(request);
    }
    ++hits_;
    std::string answer = proper ? reply_ : "HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n";
    switch (behaviour_) {
      case Behaviour::kCloseAtOnce:
        return;
      case Behaviour::kSilent: {
        char scratch[256];
        while (Wait(connection) && recv(connection, scratch, sizeof(scratch), 0) > 0) {
        }
        return;
      }
      case Behaviour::kHoldReply:
        if (!Wait(release_)) return;
        break;
      case Behaviour::kReply:
        break;
    }
    send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
  }

  const std::string reply_;
  const Behaviour behaviour_;
  int listener_ = -1;
  int wake_ = -1;
  int release_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<int> hits_{0};
  mutable std::mutex mutex_;
  std::vector<Request> requests_;
  std::thread thread_;
};

// What the check showed, and what the replaced opener was asked to open.
struct Box {
  UpdateBoxKind kind;
  QString text;
  QString caption;
  bool onUiThread;
};
std::vector<Box> gBoxes;
bool gAnswer = false;
std::vector<QUrl> gOpened;

bool RecordBox(UpdateBoxKind kind, const QString& text, const QString& caption) {
  gBoxes.push_back({kind, text, caption, QThread::currentThread() == QCoreApplication::instance()->thread()});
  return gAnswer;
}

bool RecordOpen(const QUrl& url) {
  gOpened.push_back(url);
  return true;
}

// Delivers what the check posted to the UI thread.
void DeliverPosted() {
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();
}

class UpdateCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gBoxes.clear();
    gOpened.clear();
    gAnswer = false;
    unsetenv("CORVALIND_UPDATE_URL");
    unsetenv("CORVALIND_DOWNLOAD_URL");
    std::filesystem::remove(SettingsFile());
    SetUpdateBoxHandler(&RecordBox);
    SetUpdateUrlOpener(&RecordOpen);
  }
  void TearDown() override {
    unsetenv("CORVALIND_UPDATE_URL");
    unsetenv("CORVALIND_DOWNLOAD_URL");
    std::filesystem::remove(SettingsFile());
    SetUpdateBoxHandler(nullptr);
    SetUpdateUrlOpener(nullptr);
  }
  static std::string SettingsFile() { return ConfigFolder() + "/Corvalind.conf"; }
  static void WriteSettings(const std::string& text) {
    ASSERT_TRUE(EnsureFolder(ConfigFolder()));
    std::ofstream(SettingsFile()) << text;
  }
  static void UseServer(const std::string& url) { setenv("CORVALIND_UPDATE_URL", url.c_str(), 1); }
  // Runs one check to its end and delivers its boxes.
  static void RunCheck(UpdateChecker& checker, bool automatic) {
    ASSERT_TRUE(checker.StartUpdateCheck(automatic));
    checker.Wait();
    EXPECT_FALSE(UpdateCheckRunning());
    DeliverPosted();
  }
  static void ExpectOneBox(UpdateBoxKind kind, const char* text) {
    ASSERT_EQ(gBoxes.size(), 1u);
    EXPECT_EQ(gBoxes[0].kind, kind);
    EXPECT_EQ(gBoxes[0].text, QString(text));
    EXPECT_EQ(gBoxes[0].caption, QString("Corvalind update check"));
    EXPECT_TRUE(gBoxes[0].onUiThread);
  }
};

// --- What each reply shows ----------------------------------------------------

struct ReplyCase {
  const char* name;
  std::string reply;
  bool automatic;
  std::optional<UpdateBoxKind> shown;  // none: nothing shown
  const char* text;
};

TEST_F(UpdateCheckTest, EachReplyShowsItsBox) {
  const std::string same = std::string("CorvalindVersion:") + kProductVersion;
  const std::vector<ReplyCase> cases = {
      {"same version on request", HttpReply(same), false, UpdateBoxKind::kInformation, kUpdateLatestText},
      {"same version automatic", HttpReply(same), true, std::nullopt, nullptr},
      {"new version on request", HttpReply("CorvalindVersion:1.86"), false, UpdateBoxKind::kQuestion,
       kUpdateNewVersionText},
      {"new version automatic", HttpReply("CorvalindVersion:1.86"), true, UpdateBoxKind::kQuestion,
       kUpdateNewVersionText},
      // Everything after the key counts, a line end too.
      {"version with a line end", HttpReply(same + "\r\n"), false, UpdateBoxKind::kQuestion, kUpdateNewVersionText},
      {"shorter version", HttpReply("CorvalindVersion:1.8"), false, UpdateBoxKind::kQuestion, kUpdateNewVersionText},
      {"key missing on request", HttpReply(std::string("Version:") + kProductVersion), false, std::nullopt, nullptr},
      {"key missing automatic", HttpReply("nothing here"), true, std::nullopt, nullptr},
      // A reply must bring something before the key.
      {"key at the first byte", "CorvalindVersion:1.86", false, std::nullopt, nullptr},
  };
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.name);
    gBoxes.clear();
    VersionServer server(c.reply);
    ASSERT_TRUE(server.Ready());
    UseServer(server.Url());
    UpdateChecker checker;
    RunCheck(checker, c.automatic);
    const std::vector<VersionServer::Request> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].line, kRequestLine);
    EXPECT_EQ(requests[0].host, "127.0.0.1:" + std::to_string(server.Port()));
    if (c.shown) {
      ExpectOneBox(*c.shown, c.text);
    } else {
      EXPECT_TRUE(gBoxes.empty());
    }
    EXPECT_TRUE(gOpened.empty()) << "the question was answered No";
  }
}

TEST_F(UpdateCheckTest, YesOpensTheDownloadPage) {
  VersionServer server(HttpReply("CorvalindVersion:2.0"));
  ASSERT_TRUE(server.Ready());
  UseServer(server.Url());
  struct Case {
    bool answer;
    const char* page;  // CORVALIND_DOWNLOAD_URL, or null for none
    std::vector<QUrl> opened;
  };
  const QUrl root(QString::fromStdString(server.Url() + "/"));
  const std::vector<Case> cases = {
      {true, nullptr, {root}},
      {true, "http://downloads.invalid/corvalind/", {QUrl("http://downloads.invalid/corvalind/")}},
      {false, nullptr, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.page ? c.page : "the server's root");
    gBoxes.clear();
    gOpened.clear();
    gAnswer = c.answer;
    if (c.page) {
      setenv("CORVALIND_DOWNLOAD_URL", c.page, 1);
    } else {
      unsetenv("CORVALIND_DOWNLOAD_URL");
    }
    UpdateChecker checker;
    RunCheck(checker, false);
    ExpectOneBox(UpdateBoxKind::kQuestion, kUpdateNewVersionText);
    EXPECT_EQ(gOpened, c.opened);
  }
}

// --- Where the server comes from ------------------------------------------------

TEST_F(UpdateCheckTest, SettingsFileNamesTheServerAndTheEnvironmentOverridesIt) {
  VersionServer fromFile(HttpReply("CorvalindVersion:9.9"));
  VersionServer fromEnvironment(HttpReply("CorvalindVersion:9.9"));
  ASSERT_TRUE(fromFile.Ready() && fromEnvironment.Ready());
  WriteSettings("[UpdateCheck]\nUrl=" + fromFile.Url() + "\nDownloadPage=http://downloads.invalid/from-file\n");
  gAnswer = true;

  // An empty variable counts as unset.
  setenv("CORVALIND_UPDATE_URL", "", 1);
  {
    UpdateChecker checker;
    RunCheck(checker, false);
  }
  EXPECT_EQ(fromFile.Hits(), 1);
  EXPECT_EQ(gOpened, std::vector<QUrl>{QUrl("http://downloads.invalid/from-file")});

  UseServer(fromEnvironment.Url());
  setenv("CORVALIND_DOWNLOAD_URL", "http://downloads.invalid/from-environment", 1);
  gOpened.clear();
  {
    UpdateChecker checker;
    RunCheck(checker, false);
  }
  EXPECT_EQ(fromFile.Hits(), 1);
  EXPECT_EQ(fromEnvironment.Hits(), 1);
  EXPECT_EQ(gOpened, std::vector<QUrl>{QUrl("http://downloads.invalid/from-environment")});
}

TEST_F(UpdateCheckTest, WithoutAServerOnlyTheRequestSaysSo) {
  EXPECT_FALSE(ReadUpdateSettings().server);
  EXPECT_TRUE(ReadUpdateSettings().downloadPage.isEmpty());
  UpdateChecker checker;
  RunCheck(checker, true);
  EXPECT_TRUE(gBoxes.empty());
  RunCheck(checker, false);
  ExpectOneBox(UpdateBoxKind::kError, kUpdateCannotCheckText);
  EXPECT_EQ(gBoxes[0].text, QString("Cannot check for updates! \nCheck if internet connection is available."));
}

TEST(UpdateServerUrl, ReadsHttpServersOnly) {
  struct Case {
    const char* url;
    std::optional<std::string> host;  // none: refused
    std::uint16_t port;
    const char* hostHeader;
    const char* root;
  };
  const std::vector<Case> cases = {
      {"http://127.0.0.1:8080", "127.0.0.1", 8080, "127.0.0.1:8080", "http://127.0.0.1:8080/"},
      {"http://updates.example.test", "updates.example.test", 80, "updates.example.test",
       "http://updates.example.test:80/"},
      {"HTTP://Host-1.test:1/any/path?q#f", "Host-1.test", 1, "Host-1.test:1", "http://Host-1.test:1/"},
      {"http://[::1]:8081/", "::1", 8081, "[::1]:8081", "http://[::1]:8081/"},
      {"http://[2001:db8::7]", "2001:db8::7", 80, "[2001:db8::7]", "http://[2001:db8::7]:80/"},
      {"http://host:65535", "host", 65535, "host:65535", "http://host:65535/"},
      {"", std::nullopt, 0, nullptr, nullptr},
      {"https://updates.example.test", std::nullopt, 0, nullptr, nullptr},
      {"ftp://updates.example.test", std::nullopt, 0, nullptr, nullptr},
      {"updates.example.test", std::nullopt, 0, nullptr, nullptr},
      {"http://", std::nullopt, 0, nullptr, nullptr},
      {"http://:8080", std::nullopt, 0, nullptr, nullptr},
      {"http://host:", std::nullopt, 0, nullptr, nullptr},
      {"http://host:0", std::nullopt, 0, nullptr, nullptr},
      {"http://host:65536", std::nullopt, 0, nullptr, nullptr},
      {"http://host:80a", std::nullopt, 0, nullptr, nullptr},
      {"http://host:-80", std::nullopt, 0, nullptr, nullptr},
      {"http://user@host", std::nullopt, 0, nullptr, nullptr},
      {"http://ho st", std::nullopt, 0, nullptr, nullptr},
      {"http://[::1", std::nullopt, 0, nullptr, nullptr},
      {"http://[::1]x", std::nullopt, 0, nullptr, nullptr},
      {"http://[not-an-address]:80", std::nullopt, 0, nullptr, nullptr},
      {"http://::1:80", std::nullopt, 0, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    const std::optional<UpdateServer> server = ParseUpdateServer(c.url);
    ASSERT_EQ(server.has_value(), c.host.has_value());
    if (!server) continue;
    EXPECT_EQ(server->host, *c.host);
    EXPECT_EQ(server->port, c.port);
    EXPECT_EQ(server->HostHeader(), c.hostHeader);
    EXPECT_EQ(server->Root(), QString(c.root));
  }
  // A bracketed address cut by a NUL, with a line end after it, would put
  // a header of its own into the request.
  EXPECT_FALSE(ParseUpdateServer(std::string("http://[::1\0\r\nX-Injected: 1]:80/", 32)));
  // Longer than a host the request client keeps.
  EXPECT_FALSE(ParseUpdateServer("http://" + std::string(100, 'h')));
  EXPECT_TRUE(ParseUpdateServer("http://" + std::string(99, 'h')));
}

// --- Trying twice ------------------------------------------------------------------

TEST_F(UpdateCheckTest, NothingReceivedTriesOnceMoreAfterAQuarterSecond) {
  std::uint16_t refusedPort = 0;
  const int bound = LoopbackSocket(false, &refusedPort);
  ASSERT_GE(bound, 0);
  UseServer("http://127.0.0.1:" + std::to_string(refusedPort));
  for (const bool automatic : {false, true}) {
    SCOPED_TRACE(automatic ? "automatic" : "on request");
    gBoxes.clear();
    UpdateChecker checker;
    const auto start = Clock::now();
    RunCheck(checker, automatic);
    EXPECT_GE(Since(start), milliseconds(automatic ? 1250 : 250));
    if (automatic) {
      EXPECT_TRUE(gBoxes.empty());
    } else {
      ExpectOneBox(UpdateBoxKind::kError, kUpdateCannotCheckText);
    }
  }
  close(bound);

  // A server that closes without a reply is asked twice, a quarter second
  // apart.
  VersionServer closing("", VersionServer::Behaviour::kCloseAtOnce);
  ASSERT_TRUE(closing.Ready());
  UseServer(closing.Url());
  gBoxes.clear();
  UpdateChecker checker;
  RunCheck(checker, false);
  const std::vector<VersionServer::Request> requests = closing.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_GE(requests[1].when - requests[0].when, milliseconds(250));
  ExpectOneBox(UpdateBoxKind::kError, kUpdateCannotCheckText);
}

TEST_F(UpdateCheckTest, SecondRequestWhileOneRunsEndsAtOnce) {
  VersionServer server(HttpReply(std::string("CorvalindVersion:") + kProductVersion),
                       VersionServer::Behaviour::kHoldReply);
  ASSERT_TRUE(server.Ready());
  UseServer(server.Url());
  UpdateChecker first;
  UpdateChecker other;
  ASSERT_TRUE(first.StartUpdateCheck(false));
  ASSERT_TRUE(testing::WaitFor([&] { return server.Hits() == 1; }));
  EXPECT_TRUE(UpdateCheckRunning());
  EXPECT_FALSE(first.StartUpdateCheck(false));
  EXPECT_FALSE(other.StartUpdateCheck(false));
  server.Release();
  first.Wait();
  other.Wait();
  DeliverPosted();
  EXPECT_EQ(server.Hits(), 1);
  ExpectOneBox(UpdateBoxKind::kInformation, kUpdateLatestText);
  EXPECT_FALSE(UpdateCheckRunning());

  // Once it has ended, the next one runs (the server stays released).
  gBoxes.clear();
  RunCheck(other, false);
  EXPECT_EQ(server.Hits(), 2);
  ExpectOneBox(UpdateBoxKind::kInformation, kUpdateLatestText);
}

TEST_F(UpdateCheckTest, SilentServerEndsEachAttemptAfterThePatience) {
  UpdateChecker checker;
  // Declared after the checker so it goes first: its connections close,
  // which ends the attempts should the patience fail to.
  VersionServer server("", VersionServer::Behaviour::kSilent);
  ASSERT_TRUE(server.Ready());
  UseServer(server.Url());
  const auto start = Clock::now();
  ASSERT_TRUE(checker.StartUpdateCheck(false));
  ASSERT_TRUE(testing::WaitFor([] { return !UpdateCheckRunning(); }, std::chrono::seconds(40)));
  checker.Wait();
  DeliverPosted();
  // Two attempts of 300 waits of 20 ms, a quarter second between them.
  EXPECT_GE(Since(start), milliseconds(2 * 6000 + 250));
  EXPECT_EQ(server.Hits(), 2);
  ExpectOneBox(UpdateBoxKind::kError, kUpdateCannotCheckText);
}

// --- The automatic check's delay ---------------------------------------------------

TEST_F(UpdateCheckTest, AutomaticCheckWaitsASecondFirst) {
  VersionServer server(HttpReply("CorvalindVersion:3.0"));
  ASSERT_TRUE(server.Ready());
  UseServer(server.Url());
  UpdateChecker checker;
  const auto start = Clock::now();
  RunCheck(checker, true);
  const std::vector<VersionServer::Request> requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_GE(requests[0].when - start, milliseconds(1000));
  ExpectOneBox(UpdateBoxKind::kQuestion, kUpdateNewVersionText);
}

TEST_F(UpdateCheckTest, ClosingWakesAnAutomaticCheckThatWaits) {
  VersionServer server(HttpReply("CorvalindVersion:3.0"));
  ASSERT_TRUE(server.Ready());
  UseServer(server.Url());
  const auto start = Clock::now();
  {
    UpdateChecker checker;
    ASSERT_TRUE(checker.StartUpdateCheck(true));
  }
  EXPECT_LT(Since(start), milliseconds(900));
  EXPECT_FALSE(UpdateCheckRunning());
  DeliverPosted();
  EXPECT_EQ(server.Hits(), 0);
  EXPECT_TRUE(gBoxes.empty());
}

TEST_F(UpdateCheckTest, ClosingCutsAnExchangeWithASilentServerShort) {
  VersionServer server("", VersionServer::Behaviour::kSilent);
  ASSERT_TRUE(server.Ready());
  UseServer(server.Url());
  auto checker = std::make_unique<UpdateChecker>();
  ASSERT_TRUE(checker->StartUpdateCheck(false));
  // The request is in: the check now waits for an answer that never comes.
  ASSERT_TRUE(testing::WaitFor([&] { return server.Hits() == 1; }, std::chrono::seconds(20)));
  const auto start = Clock::now();
  checker.reset();  // the studio closes
  const milliseconds closing = Since(start);
  // Far below the 6 s the patience would take.
  EXPECT_LT(closing, milliseconds(3000));
  EXPECT_FALSE(UpdateCheckRunning());
  DeliverPosted();
  EXPECT_EQ(server.Hits(), 1);
  EXPECT_TRUE(gBoxes.empty());
}

// --- The main window -------------------------------------------------------------------

TEST_F(UpdateCheckTest, MainWindowChecksWhenCreatedAndOnItsCommand) {
  VersionServer server(HttpReply(std::string("CorvalindVersion:") + kProductVersion));
  ASSERT_TRUE(server.Ready());
  OutputFormat format;
  format.SetSize(320, 240);
  std::unique_ptr<VideoEngine> engine = VideoEngine::Create(GlobalSourceSlots(), format);
  ASSERT_TRUE(engine);
  const std::string buffer = "CorvalindTest_update_" + std::to_string(getpid());

  // Without a server nothing starts by itself; the command says so.
  {
    CMainFrame window(*engine, format, buffer, "Corvalind");
    EXPECT_FALSE(UpdateCheckRunning());
    QAction* command = window.ActionByText("Check for Updates");
    ASSERT_NE(command, nullptr);
    command->trigger();
    ASSERT_TRUE(testing::WaitFor([] { return !gBoxes.empty(); }, std::chrono::seconds(20), DeliverPosted));
    ExpectOneBox(UpdateBoxKind::kError, kUpdateCannotCheckText);
  }

  UseServer(server.Url());
  gBoxes.clear();
  CMainFrame window(*engine, format, buffer, "Corvalind");
  EXPECT_TRUE(UpdateCheckRunning());
  ASSERT_TRUE(testing::WaitFor([] { return !UpdateCheckRunning(); }));
  DeliverPosted();
  EXPECT_EQ(server.Hits(), 1);
  EXPECT_TRUE(gBoxes.empty()) << "the automatic check keeps quiet about the latest version";
  window.ActionByText("Check for Updates")->trigger();
  ASSERT_TRUE(testing::WaitFor([] { return !gBoxes.empty(); }, std::chrono::seconds(20), DeliverPosted));
  EXPECT_EQ(server.Hits(), 2);
  ExpectOneBox(UpdateBoxKind::kInformation, kUpdateLatestText);
}

}  // namespace
}  // namespace corvalind

int main(int argc, char** argv) {
  // Offscreen, with a temporary home: no real screen, no real files.
  corvalind::testing::TemporaryHome home("corvalind-update-check");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

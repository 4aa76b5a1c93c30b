// CFTPClient against a real FTP server on 127.0.0.1 (pyftpdlib, started
// per test with a temporary root): logging in, the upload's commands and
// their order, rotation of the final names, folders, leftover and resumed
// temporary files, passive and active data connections, a server that
// closes idle connections, and hostile servers (foreign data addresses,
// endless replies, line breaks smuggled into arguments).
#include "producer/ftp_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "producer/ftp_observer.h"
#include "producer/tests/ftp_test_server.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

namespace fs = std::filesystem;
using corvalind::testing::FileNames;
using corvalind::testing::FtpServerOptions;
using corvalind::testing::FtpTestServer;
using corvalind::testing::ReadBytes;
using corvalind::testing::WaitFor;

// Far above what any exchange with the loopback server needs; a failing
// test ends after it instead of hanging.
constexpr int kClientTimeoutMs = 5000;

// Bytes that differ from file to file and within a block.
std::string Pattern(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::uint32_t state = 2463534242u ^ (seed * 2654435761u);
  for (char& byte : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<char>(state);
  }
  return bytes;
}

class RecordingObserver : public CNotification {
 public:
  void OnReply(const std::string& line) override { replies.push_back(line); }
  void OnCommandSent(const std::string& line) override { commands.push_back(line); }
  void OnInternalError(const std::string& text) override { errors.push_back(text); }
  void OnTransferStart(std::uint64_t totalBytes, std::uint64_t startOffset) override {
    starts.emplace_back(totalBytes, startOffset);
    sentBytes = 0;
  }
  void OnBytesSent(std::size_t blockBytes) override { sentBytes += blockBytes; }

  std::vector<std::string> replies;
  std::vector<std::string> commands;
  std::vector<std::string> errors;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> starts;
  std::uint64_t sentBytes = 0;
};

// What the console observer printed, kept in memory.
class ConsoleCapture {
 public:
  ConsoleCapture() : file_(open_memstream(&data_, &size_)) {}
  ~ConsoleCapture() {
    std::fclose(file_);
    std::free(data_);
  }
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;
  std::FILE* File() { return file_; }
  std::string Text() {
    std::fflush(file_);
    return std::string(data_, size_);
  }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* file_;
};

int Count(const std::string& text, const std::string& part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

int CountCommands(const std::vector<std::string>& commands, const std::string& prefix) {
  return static_cast<int>(std::count_if(commands.begin(), commands.end(),
                                        [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }));
}

bool AnyCommandContains(const std::vector<std::string>& commands, const std::string& part) {
  return std::any_of(commands.begin(), commands.end(),
                     [&](const std::string& line) { return line.find(part) != std::string::npos; });
}

std::vector<std::string> From(const std::vector<std::string>& commands, std::size_t first) {
  return std::vector<std::string>(commands.begin() + static_cast<std::ptrdiff_t>(std::min(first, commands.size())),
                                  commands.end());
}

class FtpClientTest : public ::testing::Test {
 protected:
  FtpClientTest() : home_("corvalind-ftp") {
    client_.AttachObserver(&recorder_);
    client_.AttachObserver(&console_);
  }

  fs::path Work() const { return home_.Root() / "work"; }

  std::unique_ptr<FtpTestServer> StartServer(FtpServerOptions options = {}) {
    auto server = std::make_unique<FtpTestServer>(Work(), std::move(options));
    EXPECT_TRUE(server->Started()) << server->Log();
    return server;
  }

  // A local file (the producer's finished segment) with these bytes.
  std::string WriteLocal(const std::string& name, const std::string& bytes) {
    const fs::path folder = home_.Root() / "local";
    fs::create_directories(folder);
    const fs::path path = folder / name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    return path.string();
  }

  static void WriteRemote(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  }

  corvalind::testing::TemporaryHome home_;
  CFTPClient client_{kClientTimeoutMs};
  RecordingObserver recorder_;
  ConsoleCapture consoleText_;
  CFTPObserver console_{consoleText_.File()};
};

TEST_F(FtpClientTest, FailedLoginsAreReportedAndTheUploadFails) {
  // Each case: how the login goes wrong, and the error told before
  // "Logon failed.".
  CBlockingSocket deaf;
  ASSERT_TRUE(deaf.Create());
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_TRUE(deaf.Bind(address));
  ASSERT_TRUE(deaf.GetSockAddr(&address));
  char refused[40];
  std::snprintf(refused, sizeof(refused), "Connect error 0x%08x", ECONNREFUSED);

  auto server = StartServer();
  struct Case {
    const char* what;
    std::uint16_t port;
    std::string password;
    std::string errorBefore;  // empty: the server's refusal is all there is
  };
  const std::vector<Case> cases = {
      {"wrong password", server->Port(), "Wrong-Guess-481", ""},
      {"nobody listening", ntohs(address.sin_port), server->Options().password, refused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    recorder_.errors.clear();
    FtpLogonInfo logon = server->Logon();
    logon.port = c.port;
    logon.password = c.password;
    EXPECT_FALSE(client_.Login(logon));
    EXPECT_FALSE(client_.IsConnected());
    // The upload logs in with the same logon and fails the same way.
    EXPECT_FALSE(client_.Upload("/", WriteLocal("m1.webm", Pattern(1000, 1)), "m1.webm", true));
    std::vector<std::string> expected;
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (!c.errorBefore.empty()) expected.push_back(c.errorBefore);
      expected.push_back("Logon failed.");
    }
    EXPECT_EQ(recorder_.errors, expected);
  }
  const std::string console = consoleText_.Text();
  EXPECT_EQ(Count(console, "error: Logon failed.\n"), 4) << console;
  EXPECT_EQ(Count(console, "<== 530 "), 2) << console;
  EXPECT_EQ(console.find("Wrong-Guess-481"), std::string::npos);
  // Nothing past the login reached the server, and nothing was stored.
  for (const std::string& command : server->Commands()) {
    EXPECT_TRUE(command.rfind("USER ", 0) == 0 || command.rfind("PASS ", 0) == 0) << command;
  }
  EXPECT_TRUE(FileNames(server->Root().string()).empty());
}

class FtpUploadModes : public FtpClientTest, public ::testing::WithParamInterface<bool> {};

TEST_P(FtpUploadModes, UploadsRotateFinalNamesThroughTheTemporaryName) {
  const bool passive = GetParam();
  auto server = StartServer();
  fs::create_directories(server->Root() / "clips");
  ASSERT_TRUE(client_.Login(server->Logon()));
  const std::size_t loginCommands = server->Commands().size();

  // Sizes around the block size, and an empty file.
  const std::vector<std::size_t> sizes = {1, 200000, CFTPClient::kBlockBytes, 0, 3 * CFTPClient::kBlockBytes + 7};
  const std::vector<std::string> names = {"m1.webm", "m2.webm", "m3.webm", "m1.webm", "m2.webm"};
  std::map<std::string, std::string> expected;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    SCOPED_TRACE(names[i] + " #" + std::to_string(i));
    const std::string bytes = Pattern(sizes[i], static_cast<unsigned>(i + 1));
    ASSERT_TRUE(client_.Upload("/clips", WriteLocal("segment.webm", bytes), names[i], passive)) << server->Log();
    expected[names[i]] = bytes;
  }

  EXPECT_EQ(FileNames((server->Root() / "clips").string()), (std::set<std::string>{"m1.webm", "m2.webm", "m3.webm"}));
  for (const auto& [name, bytes] : expected) {
    EXPECT_TRUE(ReadBytes((server->Root() / "clips" / name).string()) == bytes) << name;
  }
  EXPECT_EQ(FileNames(server->Root().string()), std::set<std::string>{"clips"});

  // The first upload, command by command.
  const std::vector<std::string> commands = server->Commands();
  const std::vector<std::string> first = From(commands, loginCommands);
  ASSERT_GE(first.size(), 10u);
  // The temporary name is deleted where the connection is and again inside
  // the folder.
  const std::vector<std::string> before = {"DELE temp1000.tmp", "CWD /clips", "DELE temp1000.tmp", "TYPE I",
                                           "SIZE temp1000.tmp"};
  EXPECT_EQ(std::vector<std::string>(first.begin(), first.begin() + 5), before);
  if (passive) {
    EXPECT_EQ(first[5], "PASV");
  } else {
    // The control connection's local address, and a port above zero.
    EXPECT_EQ(first[5].rfind("PORT 127,0,0,1,", 0), 0u) << first[5];
    EXPECT_NE(first[5], "PORT 127,0,0,1,0,0");
  }
  const std::vector<std::string> after = {"STOR temp1000.tmp", "DELE m1.webm", "RNFR temp1000.tmp", "RNTO m1.webm"};
  EXPECT_EQ(std::vector<std::string>(first.begin() + 6, first.begin() + 10), after);
  EXPECT_EQ(CountCommands(commands, "PASV"), passive ? 5 : 0);
  EXPECT_EQ(CountCommands(commands, "PORT "), passive ? 0 : 5);
  EXPECT_EQ(CountCommands(commands, "APPE "), 0);
  EXPECT_EQ(CountCommands(commands, "USER "), 1);

  EXPECT_TRUE(client_.Logout());
  EXPECT_EQ(server->Commands().back(), "QUIT");
  EXPECT_TRUE(recorder_.errors.empty()) << recorder_.errors.front();
  // The observers saw every command but the password's.
  std::vector<std::string> withoutPassword;
  for (const std::string& command : server->Commands()) {
    if (command.rfind("PASS ", 0) != 0) withoutPassword.push_back(command);
  }
  EXPECT_EQ(recorder_.commands, withoutPassword);
}

INSTANTIATE_TEST_SUITE_P(DataConnections, FtpUploadModes, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Passive" : "Active"; });

TEST_F(FtpClientTest, AMissingFolderIsMadeWhenItCanBe) {
  auto server = StartServer();
  ASSERT_TRUE(client_.Login(server->Logon()));
  struct Case {
    std::string folder;
    bool uploads;
  };
  // The server makes one level at a time, so a folder inside a missing
  // one cannot be made and the upload stops before any data is sent.
  const std::vector<Case> cases = {{"/incoming", true}, {"/no/such/place", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    const std::size_t mark = server->Commands().size();
    const std::string bytes = Pattern(5000, 3);
    EXPECT_EQ(client_.Upload(c.folder, WriteLocal("m1.webm", bytes), "m1.webm", true), c.uploads);
    const std::vector<std::string> commands = server->Commands();
    const auto cwd = std::find(commands.begin() + static_cast<std::ptrdiff_t>(mark), commands.end(),
                               "CWD " + c.folder);
    ASSERT_NE(cwd, commands.end());
    ASSERT_GE(commands.end() - cwd, 2);
    EXPECT_EQ(*(cwd + 1), "MKD " + c.folder);
    if (c.uploads) {
      ASSERT_GE(commands.end() - cwd, 3);
      EXPECT_EQ(*(cwd + 2), "CWD " + c.folder);
      EXPECT_TRUE(ReadBytes((server->Root() / c.folder.substr(1) / "m1.webm").string()) == bytes);
    } else {
      EXPECT_EQ(cwd + 2, commands.end());
      EXPECT_FALSE(fs::exists(server->Root() / "no"));
    }
  }
}

TEST_F(FtpClientTest, ALeftoverTemporaryFileIsDeletedAndTheUploadStartsAfresh) {
  auto server = StartServer();
  fs::create_directories(server->Root() / "clips");
  ASSERT_TRUE(client_.Login(server->Logon()));
  // The first upload makes /clips the current folder, where the temporary
  // file of an interrupted upload would be.
  ASSERT_TRUE(client_.Upload("/clips", WriteLocal("a.webm", Pattern(3000, 1)), "m1.webm", true));
  // Shorter than the new file, so continuing it would look plausible.
  WriteRemote(server->Root() / "clips" / "temp1000.tmp", std::string(1000, 'x'));
  const std::size_t mark = server->Commands().size();

  const std::string bytes = Pattern(5000, 2);
  ASSERT_TRUE(client_.Upload("/clips", WriteLocal("b.webm", bytes), "m2.webm", true));
  const std::vector<std::string> commands = From(server->Commands(), mark);
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.front(), "DELE temp1000.tmp");
  EXPECT_EQ(CountCommands(commands, "STOR temp1000.tmp"), 1);
  EXPECT_EQ(CountCommands(commands, "APPE "), 0);
  EXPECT_EQ(recorder_.starts.back(), std::make_pair(std::uint64_t{5000}, std::uint64_t{0}));
  EXPECT_TRUE(ReadBytes((server->Root() / "clips" / "m2.webm").string()) == bytes);
  EXPECT_FALSE(fs::exists(server->Root() / "clips" / "temp1000.tmp"));

  // A dropped connection: the next upload logs in anew and starts in the
  // login folder, yet the leftover inside /clips is still replaced, never
  // continued with another segment's bytes.
  client_.Logout();
  WriteRemote(server->Root() / "clips" / "temp1000.tmp", std::string(1000, 'y'));
  const std::string third = Pattern(4000, 3);
  ASSERT_TRUE(client_.Upload("/clips", WriteLocal("c.webm", third), "m3.webm", true)) << server->Log();
  EXPECT_TRUE(ReadBytes((server->Root() / "clips" / "m3.webm").string()) == third);
  EXPECT_EQ(recorder_.starts.back(), std::make_pair(std::uint64_t{4000}, std::uint64_t{0}));
}

TEST_F(FtpClientTest, ATemporaryFileTheServerKeepsIsContinuedWhenItFits) {
  // The server refuses to delete the temporary name, so what an earlier
  // upload left there meets the size query.
  FtpServerOptions options;
  options.refuseTempDelete = true;
  auto server = StartServer(options);
  fs::create_directories(server->Root() / "clips");
  ASSERT_TRUE(client_.Login(server->Logon()));

  const std::string bytes = Pattern(5 * CFTPClient::kBlockBytes + 123, 9);
  struct Case {
    const char* what;
    std::string leftover;
    const char* verb;
    std::uint64_t offset;
  };
  const std::size_t part = bytes.size() * 2 / 5;
  const std::vector<Case> cases = {
      {"the first 40 % of the same file", bytes.substr(0, part), "APPE", part},
      {"the whole file", bytes, "APPE", bytes.size()},
      {"more than the file holds", bytes + "tail", "STOR", 0},
      {"an empty file", "", "STOR", 0},
  };
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = "m" + std::to_string(++number) + ".webm";
    WriteRemote(server->Root() / "clips" / "temp1000.tmp", c.leftover);
    const std::size_t mark = server->Commands().size();
    ASSERT_TRUE(client_.Upload("/clips", WriteLocal("segment.webm", bytes), name, true)) << server->Log();
    const std::vector<std::string> commands = From(server->Commands(), mark);
    EXPECT_EQ(CountCommands(commands, std::string(c.verb) + " temp1000.tmp"), 1);
    EXPECT_EQ(CountCommands(commands, "APPE ") + CountCommands(commands, "STOR "), 1);
    // The size query comes before the transfer command.
    const auto size = std::find(commands.begin(), commands.end(), "SIZE temp1000.tmp");
    const auto transfer = std::find(commands.begin(), commands.end(), std::string(c.verb) + " temp1000.tmp");
    EXPECT_LT(size, transfer);
    EXPECT_EQ(recorder_.starts.back(), std::make_pair(std::uint64_t{bytes.size()}, c.offset));
    EXPECT_EQ(recorder_.sentBytes, bytes.size() - c.offset);
    EXPECT_TRUE(ReadBytes((server->Root() / "clips" / name).string()) == bytes);
    EXPECT_FALSE(fs::exists(server->Root() / "clips" / "temp1000.tmp"));
  }
}

TEST_F(FtpClientTest, AfterTheServerClosedAnIdleConnectionTheNextUploadLogsInAgain) {
  FtpServerOptions options;
  options.idleTimeoutSeconds = 1.5;
  auto server = StartServer(options);
  ASSERT_TRUE(client_.Login(server->Logon()));
  ASSERT_TRUE(client_.Upload("/", WriteLocal("a.webm", Pattern(2000, 1)), "m1.webm", true));

  // The server closes the connection once it has been idle long enough.
  ASSERT_TRUE(server->WaitForClosedConnections(1));
  ASSERT_TRUE(WaitFor([&] { return client_.InputWaiting(); }));
  const std::string bytes = Pattern(4000, 2);
  ASSERT_TRUE(client_.Upload("/", WriteLocal("b.webm", bytes), "m2.webm", true)) << consoleText_.Text();

  EXPECT_EQ(CountCommands(server->Commands(), "USER "), 2);
  EXPECT_NE(consoleText_.Text().find("<== 421 Control connection timed out.\n"), std::string::npos);
  EXPECT_TRUE(recorder_.errors.empty()) << recorder_.errors.front();
  EXPECT_TRUE(ReadBytes((server->Root() / "m2.webm").string()) == bytes);
}

TEST_F(FtpClientTest, DataConnectionsToOrFromAnotherHostAreRefused) {
  // A listener of the test on another loopback address stands for the
  // third machine a hostile server would point the data at.
  CBlockingSocket decoy;
  sockaddr_in decoyAddress{};
  decoyAddress.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.2", &decoyAddress.sin_addr);
  ASSERT_TRUE(decoy.Create());
  if (!decoy.Bind(decoyAddress) || !decoy.Listen(4) || !decoy.GetSockAddr(&decoyAddress)) {
    GTEST_SKIP() << "127.0.0.2 cannot be bound here";
  }
  {
    SCOPED_TRACE("PASV naming another address");
    FtpServerOptions options;
    options.pasvReply = "127.0.0.2:" + std::to_string(ntohs(decoyAddress.sin_port));
    auto server = StartServer(options);
    ASSERT_TRUE(client_.Login(server->Logon()));
    EXPECT_FALSE(client_.Upload("/", WriteLocal("a.webm", Pattern(2000, 1)), "m1.webm", true));
    EXPECT_EQ(recorder_.errors, std::vector<std::string>{"Passive mode address 127.0.0.2 refused: not the server's"});
    EXPECT_FALSE(decoy.ReadyToReceive()) << "the client connected to the foreign address";
    EXPECT_EQ(CountCommands(server->Commands(), "STOR "), 0);
    EXPECT_TRUE(FileNames(server->Root().string()).empty());
    // Nothing was left half-done: the same connection still uploads.
    const std::string bytes = Pattern(3000, 2);
    EXPECT_TRUE(client_.Upload("/", WriteLocal("b.webm", bytes), "m2.webm", false));
    EXPECT_TRUE(ReadBytes((server->Root() / "m2.webm").string()) == bytes);
  }
  {
    SCOPED_TRACE("an active data connection from another address");
    recorder_.errors.clear();
    recorder_.starts.clear();
    FtpServerOptions options;
    options.portConnectFrom = "127.0.0.2";
    auto server = StartServer(options);
    ASSERT_TRUE(client_.Login(server->Logon()));
    EXPECT_FALSE(client_.Upload("/", WriteLocal("a.webm", Pattern(2000, 1)), "m1.webm", false));
    EXPECT_EQ(recorder_.errors, std::vector<std::string>{"Data connection from 127.0.0.2 refused: not the server"});
    EXPECT_TRUE(recorder_.starts.empty()) << "data went to the foreign connection";
    // The server waits for data that never comes: the client has dropped
    // the connection and logs in again for the next upload.
    EXPECT_FALSE(client_.IsConnected());
    EXPECT_EQ(CountCommands(server->Commands(), "RNFR "), 0);
  }
}

TEST_F(FtpClientTest, RepliesBeyondTheBoundsFailInsteadOfGrowing) {
  struct Case {
    const char* what;
    int lines;
    int lineBytes;
    bool accepted;
  };
  const int maxLine = static_cast<int>(CFTPClient::kMaxReplyLineBytes);
  const int maxLines = static_cast<int>(CFTPClient::kMaxReplyLines);
  const std::vector<Case> cases = {
      {"a line of the longest length", 1, maxLine, true},
      {"a line one byte longer", 1, maxLine + 1, false},
      {"a line without end in sight", 1, 16 << 20, false},
      {"the most lines", maxLines, 60, true},
      {"one line more", maxLines + 1, 20, false},
      {"more bytes than a reply may hold", 900, 80, false},
      {"lines without end in sight", 300000, 60, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    recorder_.errors.clear();
    recorder_.replies.clear();
    FtpServerOptions options;
    options.bannerLines = c.lines;
    options.bannerLineBytes = c.lineBytes;
    auto server = StartServer(options);
    CFTPClient client(kClientTimeoutMs);
    client.AttachObserver(&recorder_);
    EXPECT_EQ(client.Login(server->Logon()), c.accepted);
    if (c.accepted) {
      EXPECT_TRUE(recorder_.errors.empty());
      ASSERT_GT(recorder_.replies.size(), static_cast<std::size_t>(c.lines));
      EXPECT_EQ(recorder_.replies[static_cast<std::size_t>(c.lines) - 1].size(), static_cast<std::size_t>(c.lineBytes));
    } else {
      // Refused by the bound, not by a timeout after taking all of it.
      EXPECT_EQ(recorder_.errors, (std::vector<std::string>{"Reply too long", "Logon failed."}));
      EXPECT_LE(recorder_.replies.size(), static_cast<std::size_t>(maxLines));
      EXPECT_TRUE(server->Commands().empty());
    }
  }
}

TEST_F(FtpClientTest, LineBreaksAndNulInArgumentsAreNeverSent) {
  auto server = StartServer();
  WriteRemote(server->Root() / "keep.bin", "precious");
  const std::string local = WriteLocal("m1.webm", Pattern(2000, 1));
  const std::string smuggled = "DELE keep.bin";
  struct Case {
    const char* what;
    std::function<bool(CFTPClient&)> act;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"folder with CR LF", [&](CFTPClient& c) { return c.Upload("/up\r\n" + smuggled, local, "m1.webm", true); },
       "CWD refused: its argument holds CR, LF or NUL"},
      {"folder with LF", [&](CFTPClient& c) { return c.Upload("/up\n" + smuggled, local, "m1.webm", true); },
       "CWD refused: its argument holds CR, LF or NUL"},
      {"folder with NUL",
       [&](CFTPClient& c) { return c.Upload(std::string("/up\0", 4) + smuggled, local, "m1.webm", true); },
       "CWD refused: its argument holds CR, LF or NUL"},
      {"remote name with CR LF", [&](CFTPClient& c) { return c.Upload("/", local, "m1.webm\r\n" + smuggled, true); },
       "DELE refused: its argument holds CR, LF or NUL"},
      {"password with CR LF",
       [&](CFTPClient& c) {
         FtpLogonInfo logon = server->Logon();
         logon.password += "\r\n" + smuggled;
         return c.Login(logon);
       },
       "PASS refused: its argument holds CR, LF or NUL"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CFTPClient client(kClientTimeoutMs);
    RecordingObserver recorder;
    client.AttachObserver(&recorder);
    ASSERT_TRUE(client.Login(server->Logon()));
    EXPECT_FALSE(c.act(client));
    EXPECT_NE(std::find(recorder.errors.begin(), recorder.errors.end(), c.error), recorder.errors.end());
    EXPECT_TRUE(client.Logout() || !client.IsConnected());
  }
  // Every refused command line was kept off the connection entirely.
  EXPECT_FALSE(AnyCommandContains(server->Commands(), "keep.bin"));
  EXPECT_EQ(ReadBytes((server->Root() / "keep.bin").string()), "precious");
  EXPECT_FALSE(fs::exists(server->Root() / "m1.webm"));
}

TEST_F(FtpClientTest, TheConsoleShowsEveryReplyLineAndProgressButNoPassword) {
  FtpServerOptions options;
  options.bannerLines = 3;
  options.bannerLineBytes = 12;
  auto server = StartServer(options);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(client_.Login(server->Logon()));
  const std::string bytes = Pattern(6 << 20, 4);
  ASSERT_TRUE(client_.Upload("/", WriteLocal("m1.webm", bytes), "m1.webm", true));
  ASSERT_TRUE(client_.Logout());
  const auto elapsedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();

  const std::string console = consoleText_.Text();
  EXPECT_EQ(console.find(server->Options().password), std::string::npos);
  EXPECT_EQ(console.rfind("<== 220-xxxxxxxx\n<== xxxxxxxxxxxx\n<== 220 xxxxxxxx\n", 0), 0u) << console;

  // Take the progress prints out; what remains is one line per reply line.
  std::vector<int> percentages;
  std::string lines;
  for (std::size_t at = 0; at < console.size();) {
    if (console.compare(at, 4, "\b\b\b\b") == 0 && at + 7 <= console.size()) {
      percentages.push_back(std::atoi(console.substr(at + 4, 3).c_str()));
      at += 7;
    } else {
      lines += console[at++];
    }
  }
  std::string expected;
  for (const std::string& reply : recorder_.replies) expected += "<== " + reply + "\n";
  EXPECT_EQ(lines, expected);
  EXPECT_NE(lines.find("<== 230 Login successful.\n"), std::string::npos);
  EXPECT_NE(lines.find("<== 221 Goodbye.\n"), std::string::npos);

  ASSERT_FALSE(percentages.empty());
  EXPECT_TRUE(std::is_sorted(percentages.begin(), percentages.end()));
  EXPECT_GE(percentages.front(), 0);
  EXPECT_LE(percentages.back(), 100);
  // At most one print per quarter of a second, the first one at once.
  EXPECT_LE(static_cast<long long>(percentages.size()), 1 + elapsedMs / 250);
}

}  // namespace
}  // namespace corvalind

// The FTP server of the upload tests: ftp_test_server.py (pyftpdlib) in a
// child process on 127.0.0.1, with a root folder of the test, optionally
// misbehaving in one of the ways the tests need. The object stops and
// reaps the server; the server also ends by itself when the test program
// has gone.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "producer/ftp_client.h"

namespace corvalind::testing {

struct FtpServerOptions {
  std::string user = "producer";
  std::string password = "Kq7-vault-Zx3";
  // DELE of "temp1000.tmp" is answered 550 and the file kept.
  bool refuseTempDelete = false;
  // PASV names this "a.b.c.d:port" instead of the server's own address.
  std::string pasvReply;
  // After PORT, STOR connects to the client from this address itself.
  std::string portConnectFrom;
  // An idle control connection is closed after this many seconds (0: as
  // pyftpdlib does, after minutes).
  double idleTimeoutSeconds = 0;
  // A greeting of this many lines of this many bytes each (0: the usual).
  int bannerLines = 0;
  int bannerLineBytes = 0;
};

class FtpTestServer {
 public:
  // The server's root is `folder`/root (created when missing); its notes
  // and log go to files in `folder`.
  explicit FtpTestServer(const std::filesystem::path& folder, FtpServerOptions options = {});
  ~FtpTestServer();
  FtpTestServer(const FtpTestServer&) = delete;
  FtpTestServer& operator=(const FtpTestServer&) = delete;

  // True once the server listens (the constructor waits for it).
  bool Started() const { return port_ != 0; }
  std::uint16_t Port() const { return port_; }
  const std::filesystem::path& Root() const { return root_; }
  // 127.0.0.1, the port, the user and the password of the server.
  FtpLogonInfo Logon() const;
  const FtpServerOptions& Options() const { return options_; }

  // Every command line the server received so far, in order.
  std::vector<std::string> Commands() const;
  // Waits until the server has seen `count` control connections end.
  bool WaitForClosedConnections(int count) const;
  // What the server wrote on its standard output and error (for failure
  // messages).
  std::string Log() const;

 private:
  std::vector<std::string> Notes() const;
  bool Running() const;

  FtpServerOptions options_;
  std::filesystem::path root_;
  std::filesystem::path notesPath_;
  std::filesystem::path logPath_;
  pid_t pid_ = -1;
  mutable bool reaped_ = false;
  std::uint16_t port_ = 0;
};

}  // namespace corvalind::testing

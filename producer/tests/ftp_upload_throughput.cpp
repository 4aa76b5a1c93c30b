// Upload throughput to the test FTP server on 127.0.0.1: one file (50 MB
// unless a size in MB is given) uploaded a few times in passive and in
// active mode; prints the time and rate of each upload. A measuring tool,
// never run as a test.
//   ftp_upload_throughput [MEGABYTES [ROUNDS]]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "producer/ftp_client.h"
#include "producer/tests/ftp_test_server.h"
#include "test_support/test_home.h"

int main(int argc, char** argv) {
  using namespace corvalind;
  namespace fs = std::filesystem;
  const long megabytes = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 50;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  if (megabytes <= 0 || rounds <= 0) {
    std::fprintf(stderr, "usage: %s [MEGABYTES [ROUNDS]]\n", argv[0]);
    return 2;
  }
  const corvalind::testing::TemporaryHome home("corvalind-ftp-throughput");
  const fs::path local = home.Root() / "segment.webm";
  {
    std::string block(1 << 20, '\0');
    std::uint32_t state = 12345;
    for (char& byte : block) {
      state = state * 1664525u + 1013904223u;
      byte = static_cast<char>(state >> 24);
    }
    std::ofstream out(local, std::ios::binary);
    for (long i = 0; i < megabytes; ++i) out << block;
  }
  const std::uint64_t bytes = static_cast<std::uint64_t>(megabytes) << 20;

  corvalind::testing::FtpTestServer server(home.Root() / "server");
  if (!server.Started()) {
    std::fprintf(stderr, "the FTP server did not start:\n%s\n", server.Log().c_str());
    return 1;
  }
  CFTPClient client;
  if (!client.Login(server.Logon())) {
    std::fprintf(stderr, "login failed\n");
    return 1;
  }
  for (const bool passive : {true, false}) {
    for (int round = 0; round < rounds; ++round) {
      const auto start = std::chrono::steady_clock::now();
      const bool ok = client.Upload("/", local.string(), "m1.webm", passive);
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::printf("%s upload of %llu bytes: %s, %.3f s, %.1f MB/s\n", passive ? "passive" : "active",
                  static_cast<unsigned long long>(bytes), ok ? "ok" : "FAILED", seconds,
                  static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds);
      if (!ok) return 1;
    }
  }
  client.Logout();
  const bool same = fs::file_size(server.Root() / "m1.webm") == bytes;
  std::printf("remote file %s\n", same ? "complete" : "WRONG SIZE");
  return same ? 0 : 1;
}

// CFTPObserver: the producer's console view of the FTP client.
//
// It prints every reply line as "<== %s\n", every internal error as
// "error: %s\n", and during a transfer, at most once every 0.25 seconds,
// four backspaces and the percentage of the current file sent so far
// ("\b\b\b\b%3d"). Command lines are not printed, so the password never
// reaches the console. Control characters a server puts into a reply are
// printed as '?', so a reply cannot move the cursor or rewrite the screen.
//
// The output goes to the FILE* given at construction (stdout in the
// producer) and is flushed after each print. Called on the client's thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "producer/ftp_client.h"

namespace corvalind {

class CFTPObserver : public CNotification {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kProgressInterval{250};

  // `now` tells the time for the progress limit (the steady clock unless
  // given). `out` is not owned.
  explicit CFTPObserver(std::FILE* out, std::function<Clock::time_point()> now = Clock::now);

  void OnReply(const std::string& line) override;
  void OnInternalError(const std::string& text) override;
  void OnTransferStart(std::uint64_t totalBytes, std::uint64_t startOffset) override;
  void OnBytesSent(std::size_t blockBytes) override;

 private:
  void PrintLine(const char* prefix, const std::string& text);

  std::FILE* out_;
  std::function<Clock::time_point()> now_;
  std::uint64_t totalBytes_ = 0;
  std::uint64_t doneBytes_ = 0;
  std::optional<Clock::time_point> lastProgress_;
};

}  // namespace corvalind

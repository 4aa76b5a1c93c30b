#include "producer/ftp_observer.h"

#include <utility>

namespace corvalind {

CFTPObserver::CFTPObserver(std::FILE* out, std::function<Clock::time_point()> now)
    : out_(out), now_(std::move(now)) {}

void CFTPObserver::PrintLine(const char* prefix, const std::string& text) {
  std::string line = prefix;
  line.reserve(line.size() + text.size() + 1);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    line += (byte < 0x20 && c != '\t') || byte == 0x7f ? '?' : c;
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fflush(out_);
}

void CFTPObserver::OnReply(const std::string& line) { PrintLine("<== ", line); }

void CFTPObserver::OnInternalError(const std::string& text) { PrintLine("error: ", text); }

void CFTPObserver::OnTransferStart(std::uint64_t totalBytes, std::uint64_t startOffset) {
  totalBytes_ = totalBytes;
  doneBytes_ = startOffset;
  lastProgress_.reset();
}

void CFTPObserver::OnBytesSent(std::size_t blockBytes) {
  doneBytes_ += blockBytes;
  const Clock::time_point now = now_();
  if (lastProgress_ && now - *lastProgress_ < kProgressInterval) return;
  lastProgress_ = now;
  const std::uint64_t done = doneBytes_ < totalBytes_ ? doneBytes_ : totalBytes_;
  const int percent = totalBytes_ == 0 ? 100 : static_cast<int>(done * 100 / totalBytes_);
  std::fprintf(out_, "\b\b\b\b%3d", percent);
  std::fflush(out_);
}

}  // namespace corvalind

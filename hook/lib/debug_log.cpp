#include "hook/lib/debug_log.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace snaptrace {

namespace {

std::atomic<bool> g_enabled{false};

void WriteAll(const char* text, std::size_t length) {
  while (length > 0) {
    const ssize_t written = write(STDERR_FILENO, text, length);
    if (written <= 0) return;
    text += written;
    length -= static_cast<std::size_t>(written);
  }
}

}  // namespace

void InitDebugLog() {
  const char* value = std::getenv("SNAPTRACE_DEBUG");
  g_enabled.store(value && std::strcmp(value, "1") == 0, std::memory_order_relaxed);
}

void DebugMessage(const char* text) {
  if (!g_enabled.load(std::memory_order_relaxed)) return;
  const std::size_t length = std::strlen(text);
  WriteAll(text, length);
  if (length == 0 || text[length - 1] != '\n') WriteAll("\n", 1);
}

}  // namespace snaptrace

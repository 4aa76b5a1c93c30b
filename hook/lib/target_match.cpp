#include "hook/lib/target_match.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace snaptrace {

namespace {

char g_fileName[kExecutablePathBytes] = {};
char g_startedAs[kExecutablePathBytes] = {};

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Keeps the text after the last '/' of a path of `length` bytes.
void KeepFileName(const char* path, std::size_t length, char (&name)[kExecutablePathBytes]) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (path[i] == '/') start = i + 1;
  }
  std::size_t out = 0;
  for (std::size_t i = start; i < length && path[i] != '\0' && out + 1 < sizeof name; ++i) name[out++] = path[i];
  name[out] = '\0';
}

}  // namespace

void RecordExecutableName() {
  char path[kExecutablePathBytes];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  g_fileName[0] = '\0';
  if (length > 0) KeepFileName(path, static_cast<std::size_t>(length), g_fileName);

  g_startedAs[0] = '\0';
  const int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  const ssize_t got = read(fd, path, sizeof path);
  close(fd);
  if (got <= 0) return;
  std::size_t first = 0;
  while (first < static_cast<std::size_t>(got) && path[first] != '\0') ++first;
  KeepFileName(path, first, g_startedAs);
}

bool ProcessMatches(const char* target) {
  return TargetMatches(target, g_fileName) || TargetMatches(target, g_startedAs);
}

bool TargetMatches(const char* target, const char* executableName) {
  if (!target || !executableName || !*target || !*executableName) return false;
  if (std::strchr(target, '/')) return false;
  for (std::size_t i = 0; i < kExecutablePathBytes; ++i) {
    if (Lower(target[i]) != Lower(executableName[i])) return false;
    if (target[i] == '\0') return true;
  }
  return true;
}

}  // namespace snaptrace

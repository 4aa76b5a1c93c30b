#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace corvalind {

namespace {

bool WriteAll(int fd, std::string_view text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

// The folder part of a path ("." for a bare name).
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void SyncFolder(const std::string& path) {
  const int folder = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    fsync(folder);
    close(folder);
  }
}

// Renames without replacing: false with EEXIST when `to` exists. File
// systems without the kernel's no-replace rename get a look first, which
// leaves a short window in which a name made by someone else could be
// replaced; ours are the only writers of these folders.
bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  struct stat info {};
  if (lstat(to.c_str(), &info) == 0) {
    errno = EEXIST;
    return false;
  }
  if (errno != ENOENT) return false;
  return rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace

bool ReadRegularFile(const std::string& path, std::size_t limitBytes, ReadLimit mode, std::string* text) {
  // O_NONBLOCK so that a pipe in the file's place cannot stall the caller;
  // it is refused below as not a regular file.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  const auto size = static_cast<std::size_t>(std::max<off_t>(info.st_size, 0));
  if (ok && mode == ReadLimit::kRefuseLarger && size > limitBytes) ok = false;
  std::string bytes;
  if (ok) {
    // Read to the end (or the limit) rather than trusting the size: the
    // file may change meanwhile. One byte past the limit tells a file that
    // grew beyond it.
    const std::size_t wanted = mode == ReadLimit::kRefuseLarger ? limitBytes + 1 : limitBytes;
    bytes.resize(std::min(size, wanted) + 1);
    std::size_t used = 0;
    while (used < wanted) {
      if (used == bytes.size()) bytes.resize(std::min(bytes.size() * 2, wanted));
      const ssize_t got = read(fd, bytes.data() + used, bytes.size() - used);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) ok = false;
      if (got <= 0) break;
      used += static_cast<std::size_t>(got);
    }
    if (mode == ReadLimit::kRefuseLarger && used > limitBytes) ok = false;
    bytes.resize(std::min(used, limitBytes));
  }
  close(fd);
  if (ok) *text = std::move(bytes);
  return ok;
}

bool ReplaceFile(const std::string& path, std::string_view text, mode_t mode) {
  const std::string neighbour = path + ".new";
  // A neighbour left by a crash (or anything else under that name) goes
  // first, so the new file is always a fresh regular file of ours.
  unlink(neighbour.c_str());
  const int fd = open(neighbour.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, text) && fsync(fd) == 0;
  const bool closed = close(fd) == 0;
  if (!written || !closed || rename(neighbour.c_str(), path.c_str()) != 0) {
    unlink(neighbour.c_str());
    return false;
  }
  // The rename itself reaches the disk with the folder.
  SyncFolder(path);
  return true;
}

PathPresence LookUpPath(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) == 0) return PathPresence::kPresent;
  return errno == ENOENT || errno == ENOTDIR ? PathPresence::kAbsent : PathPresence::kUnknown;
}

std::string MoveAside(const std::string& path, const std::string& aside) {
  // A thousand taken names means something else is wrong; stop there.
  constexpr int kMaxSuffix = 1000;
  for (int suffix = 0; suffix < kMaxSuffix; ++suffix) {
    const std::string name = suffix == 0 ? aside : aside + "-" + std::to_string(suffix);
    if (RenameNoReplace(path, name)) {
      SyncFolder(name);
      return name;
    }
    if (errno != EEXIST && errno != ENOTEMPTY) return {};
  }
  return {};
}

std::string UnreadableFileName(const std::string& path, std::time_t when) {
  std::tm local{};
  char stamp[32] = "00000000-000000";
  if (localtime_r(&when, &local)) std::strftime(stamp, sizeof(stamp), "%Y%m%d-%H%M%S", &local);
  return path + ".unreadable-" + stamp;
}

}  // namespace corvalind

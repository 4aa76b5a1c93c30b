#include "platform/shared_memory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace corvalind {

namespace {

constexpr int kAttempts = 5;

std::string SystemError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// True when the name still refers to the object behind fd.
bool NameRefersTo(const std::string& name, dev_t device, ino_t inode) {
  const int probe = shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (probe < 0) return false;
  struct stat info {};
  const bool same = fstat(probe, &info) == 0 && info.st_dev == device && info.st_ino == inode;
  close(probe);
  return same;
}

// Removes the name if it still refers to this object.
void UnlinkIfOurs(const std::string& name, dev_t device, ino_t inode) {
  if (NameRefersTo(name, device, inode)) shm_unlink(name.c_str());
}

// Refuses objects that another user owns or that others may open.
bool Trusted(const struct stat& info, std::string* reason) {
  if (info.st_uid != geteuid()) {
    *reason = "The shared memory object belongs to another user.";
    return false;
  }
  if ((info.st_mode & 077) != 0) {
    *reason = "The shared memory object is open to other users.";
    return false;
  }
  return true;
}

}  // namespace

std::string SharedMemoryObjectName(std::string_view localName) {
  std::string name = "/";
  name += localName;
  name += '.';
  name += std::to_string(getuid());
  return name;
}

SharedMemoryBlock::~SharedMemoryBlock() { Release(); }

SharedMemoryBlock::SharedMemoryBlock(SharedMemoryBlock&& other) noexcept { *this = std::move(other); }

SharedMemoryBlock& SharedMemoryBlock::operator=(SharedMemoryBlock&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = std::exchange(other.fd_, -1);
    view_ = std::exchange(other.view_, nullptr);
    size_ = std::exchange(other.size_, 0);
    name_ = std::move(other.name_);
    device_ = other.device_;
    inode_ = other.inode_;
  }
  return *this;
}

bool SharedMemoryBlock::StillWhole() const {
  struct stat info;
  return view_ != nullptr && fstat(fd_, &info) == 0 && info.st_size >= 0 &&
         static_cast<std::size_t>(info.st_size) >= size_;
}

void SharedMemoryBlock::Release() {
  if (view_) munmap(view_, size_);
  view_ = nullptr;
  size_ = 0;
  if (fd_ >= 0) {
    // The last holder is the one that can lock exclusively.
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) UnlinkIfOurs(name_, device_, inode_);
    close(fd_);
    fd_ = -1;
  }
}

SharedMemoryBlock SharedMemoryBlock::Map(int fd, const struct stat& info, const std::string& name,
                                         bool writable, bool existed, Outcome& result) {
  const std::size_t size = static_cast<std::size_t>(info.st_size);
  void* view = mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) {
    result.reason = SystemError("mmap");
    close(fd);
    return {};
  }
  SharedMemoryBlock block;
  block.fd_ = fd;
  block.view_ = static_cast<uint8_t*>(view);
  block.size_ = size;
  block.name_ = name;
  block.device_ = info.st_dev;
  block.inode_ = info.st_ino;
  result.status = Status::kOk;
  result.existed = existed;
  return block;
}

SharedMemoryBlock SharedMemoryBlock::Create(std::string_view objectName, std::size_t sizeBytes,
                                            bool replaceOtherSize, Outcome* outcome) {
  Outcome local;
  Outcome& result = outcome ? *outcome : local;
  result = Outcome{};
  const std::string name(objectName);
  if (sizeBytes == 0) {
    result.reason = "The shared memory block would be empty.";
    return {};
  }
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    bool fresh = true;
    int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    // Hold the new object at once, so that nobody takes it for abandoned.
    if (fd >= 0) flock(fd, LOCK_SH);
    if (fd < 0 && errno == EEXIST) {
      fresh = false;
      fd = shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
      if (fd < 0 && errno == ENOENT) continue;  // removed meanwhile
    }
    if (fd < 0) {
      result.reason = SystemError("shm_open");
      return {};
    }
    struct stat info {};
    if (fstat(fd, &info) != 0) {
      result.reason = SystemError("fstat");
      close(fd);
      return {};
    }
    if (!fresh) {
      if (!Trusted(info, &result.reason)) {
        result.status = Status::kForeign;
        close(fd);
        return {};
      }
      // Nobody holds it: left behind by a process that died.
      if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        UnlinkIfOurs(name, info.st_dev, info.st_ino);
        close(fd);
        continue;
      }
    }
    if (flock(fd, LOCK_SH) != 0 || !NameRefersTo(name, info.st_dev, info.st_ino)) {
      close(fd);  // the last holder removed it while we joined
      continue;
    }
    if (fresh && ftruncate(fd, static_cast<off_t>(sizeBytes)) != 0) {
      result.reason = SystemError("ftruncate");
      shm_unlink(name.c_str());
      close(fd);
      return {};
    }
    if (fresh || fstat(fd, &info) != 0) info.st_size = static_cast<off_t>(sizeBytes);
    if (!fresh && static_cast<std::size_t>(info.st_size) != sizeBytes && replaceOtherSize) {
      // The name goes to a fresh block; the other holders keep the old one.
      UnlinkIfOurs(name, info.st_dev, info.st_ino);
      close(fd);
      continue;
    }
    if (info.st_size <= 0) {
      result.reason = "The shared memory block has no size.";
      close(fd);
      return {};
    }
    return Map(fd, info, name, true, !fresh, result);
  }
  result.reason = "The shared memory block kept changing while it was opened.";
  return {};
}

SharedMemoryBlock SharedMemoryBlock::Open(std::string_view objectName, bool writable, Outcome* outcome) {
  Outcome local;
  Outcome& result = outcome ? *outcome : local;
  result = Outcome{};
  const std::string name(objectName);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const int fd = shm_open(name.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC, 0);
    if (fd < 0) {
      if (errno == ENOENT) {
        result.status = Status::kNotFound;
      } else {
        result.reason = SystemError("shm_open");
      }
      return {};
    }
    struct stat info {};
    if (fstat(fd, &info) != 0) {
      result.reason = SystemError("fstat");
      close(fd);
      return {};
    }
    if (!Trusted(info, &result.reason)) {
      result.status = Status::kForeign;
      close(fd);
      return {};
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      // Left behind by a process that died: it counts as gone.
      UnlinkIfOurs(name, info.st_dev, info.st_ino);
      close(fd);
      result.status = Status::kNotFound;
      return {};
    }
    if (flock(fd, LOCK_SH) != 0 || !NameRefersTo(name, info.st_dev, info.st_ino)) {
      close(fd);
      continue;
    }
    // A block whose creator has not sized it yet is not there yet.
    if (fstat(fd, &info) != 0 || info.st_size <= 0) {
      close(fd);
      result.status = Status::kNotFound;
      return {};
    }
    return Map(fd, info, name, writable, true, result);
  }
  result.status = Status::kNotFound;
  return {};
}

}  // namespace corvalind

#include "hook/lib/named_object.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace snaptrace {

namespace {

constexpr int kAttempts = 5;
constexpr std::size_t kMaxInstanceTag = 32;

bool SameObject(const char* name, dev_t device, ino_t inode) {
  const int probe = shm_open(name, O_RDONLY | O_CLOEXEC, 0);
  if (probe < 0) return false;
  struct stat info {};
  const bool same = fstat(probe, &info) == 0 && info.st_dev == device && info.st_ino == inode;
  close(probe);
  return same;
}

void UnlinkIfSame(const char* name, dev_t device, ino_t inode) {
  if (SameObject(name, device, inode)) shm_unlink(name);
}

bool Trusted(const struct stat& info) { return info.st_uid == geteuid() && (info.st_mode & 077) == 0; }

// The test-run tag, or null when none (or an unusable one) is set.
const char* InstanceTag() {
  const char* tag = std::getenv("SNAPTRACE_INSTANCE");
  if (!tag || !*tag) return nullptr;
  std::size_t length = 0;
  for (const char* c = tag; *c; ++c, ++length) {
    const bool allowed = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
                         *c == '_' || *c == '-';
    if (!allowed || length >= kMaxInstanceTag) return nullptr;
  }
  return tag;
}

}  // namespace

bool FormObjectName(const char* base, char* name, std::size_t capacity) {
  const char* tag = InstanceTag();
  const unsigned uid = static_cast<unsigned>(getuid());
  const int written = tag ? std::snprintf(name, capacity, "/%s_%s.%u", base, tag, uid)
                          : std::snprintf(name, capacity, "/%s.%u", base, uid);
  return written > 0 && static_cast<std::size_t>(written) < capacity;
}

JoinOutcome CreateOrJoin(const char* name, std::size_t createBytes, std::size_t minimumBytes,
                         std::size_t mapBytes, NamedObject* object) {
  *object = NamedObject{};
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    bool fresh = createBytes > 0;
    int fd = -1;
    if (fresh) {
      fd = shm_open(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      // Held at once, so that nobody takes the new object for abandoned.
      if (fd >= 0) flock(fd, LOCK_SH | LOCK_NB);
      if (fd < 0 && errno != EEXIST) return JoinOutcome::kFailed;
    }
    if (fd < 0) {
      fresh = false;
      fd = shm_open(name, O_RDWR | O_CLOEXEC, 0);
      if (fd < 0) {
        if (errno == ENOENT && createBytes > 0) continue;  // removed meanwhile
        return JoinOutcome::kFailed;
      }
    }
    struct stat info {};
    if (fstat(fd, &info) != 0) {
      close(fd);
      return JoinOutcome::kFailed;
    }
    if (!fresh) {
      if (!Trusted(info)) {
        close(fd);
        return JoinOutcome::kFailed;
      }
      // Nobody holds it: left behind by a process that died.
      if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        UnlinkIfSame(name, info.st_dev, info.st_ino);
        close(fd);
        if (createBytes == 0) return JoinOutcome::kFailed;
        continue;
      }
      // Never waits: a holder that is just leaving holds the lock for an
      // instant; the next attempt sees what it left.
      if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
        close(fd);
        continue;
      }
    }
    if (!SameObject(name, info.st_dev, info.st_ino)) {
      close(fd);  // the last holder removed it while we joined
      continue;
    }
    std::size_t held = 0;
    if (fresh) {
      // A new object is all zero bytes up to its size.
      if (ftruncate(fd, static_cast<off_t>(createBytes)) != 0) {
        shm_unlink(name);
        close(fd);
        return JoinOutcome::kFailed;
      }
      held = createBytes;
    } else {
      if (fstat(fd, &info) != 0) {
        close(fd);
        return JoinOutcome::kFailed;
      }
      held = static_cast<std::size_t>(info.st_size);
      // Zero bytes: its creator has not sized it yet; it is not there yet.
      if (held == 0 && createBytes > 0) {
        close(fd);
        continue;
      }
      if (held == 0 || held < minimumBytes) {
        close(fd);
        return JoinOutcome::kFailed;
      }
    }
    const std::size_t bytes = mapBytes == 0 ? held : (mapBytes < held ? mapBytes : held);
    void* view = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) {
      close(fd);
      return JoinOutcome::kFailed;
    }
    object->fd = fd;
    object->view = static_cast<uint8_t*>(view);
    object->mappedBytes = bytes;
    std::snprintf(object->name, sizeof object->name, "%s", name);
    object->device = static_cast<uint64_t>(info.st_dev);
    object->inode = static_cast<uint64_t>(info.st_ino);
    return fresh ? JoinOutcome::kCreated : JoinOutcome::kJoined;
  }
  return JoinOutcome::kFailed;
}

std::size_t HeldBytes(const NamedObject& object) {
  if (object.fd < 0) return 0;
  struct stat info {};
  if (fstat(object.fd, &info) != 0 || info.st_size < 0) return 0;
  return static_cast<std::size_t>(info.st_size);
}

std::size_t SafeCopyBytes(const NamedObject& object, std::size_t wanted) {
  if (!object.view) return 0;
  std::size_t bytes = wanted < object.mappedBytes ? wanted : object.mappedBytes;
  const std::size_t held = HeldBytes(object);
  return bytes < held ? bytes : held;
}

void Release(NamedObject* object, bool unmap) {
  if (unmap && object->view) munmap(object->view, object->mappedBytes);
  if (object->fd >= 0) {
    // The last holder is the one that can lock exclusively.
    if (flock(object->fd, LOCK_EX | LOCK_NB) == 0) {
      UnlinkIfSame(object->name, static_cast<dev_t>(object->device), static_cast<ino_t>(object->inode));
    }
    close(object->fd);
  }
  if (unmap || !object->view) {
    *object = NamedObject{};
  } else {
    // The view stays mapped for whoever may still be using it; only the
    // descriptor is gone.
    object->fd = -1;
  }
}

void ForgetInChild(NamedObject* object) {
  if (object->view) munmap(object->view, object->mappedBytes);
  if (object->fd >= 0) close(object->fd);
  *object = NamedObject{};
}

}  // namespace snaptrace

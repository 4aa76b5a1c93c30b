#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/folders.h"

namespace corvalind {

std::string InstanceLock::LockPath() {
  const std::string runtime = RuntimeFolder();
  if (!runtime.empty()) return runtime + "/Corvalind - video freedom.lock";
  return "/tmp/Corvalind - video freedom." + std::to_string(getuid()) + ".lock";
}

InstanceLock::~InstanceLock() { Release(); }

bool InstanceLock::Acquire() {
  if (fd_ >= 0) return true;
  const int fd = open(LockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void InstanceLock::Release() {
  if (fd_ < 0) return;
  close(fd_);  // closing lets go of the lock
  fd_ = -1;
}

}  // namespace corvalind

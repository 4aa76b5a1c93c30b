// The single-instance rule: the first studio of a user holds an exclusive
// lock for its whole run; a second one finds it taken and runs standalone
// (with a private output buffer).
#pragma once

#include <string>

namespace corvalind {

class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock "Corvalind - video freedom" in $XDG_RUNTIME_DIR (else
  // /tmp with the user id in the name). False when another process holds
  // it (or the file cannot be made: the studio then runs standalone too).
  bool Acquire();
  void Release();
  bool Held() const { return fd_ >= 0; }

  // The lock file's path for this user.
  static std::string LockPath();

 private:
  int fd_ = -1;
};

}  // namespace corvalind

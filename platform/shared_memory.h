// Named shared memory that lives while any process holds it.
//
// A block is a POSIX shared memory object "/NAME.<uid>" (uid: the real user
// id), mode 0600. Every holder keeps a shared flock on its descriptor; a
// holder that releases the block and can then take the lock exclusively is
// the last one and removes the name. A name left behind by a process that
// died (nobody holds its lock) counts as gone and is removed when found.
// Objects owned by another user, or open to other users, are never used.
//
// A block is used by one thread at a time; different processes coordinate
// only through the locks.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvalind {

// The object name of a per-login block: "/NAME.<uid>".
std::string SharedMemoryObjectName(std::string_view localName);

class SharedMemoryBlock {
 public:
  enum class Status {
    kOk,
    kNotFound,  // no live block of that name (Open)
    kForeign,   // owned by another user or open to other users
    kFailed,    // the system refused (message in `reason`)
  };
  struct Outcome {
    Status status = Status::kFailed;
    bool existed = false;  // Create: the block was alive before
    std::string reason;    // why it failed, for the user
  };

  SharedMemoryBlock() = default;
  ~SharedMemoryBlock();
  SharedMemoryBlock(SharedMemoryBlock&& other) noexcept;
  SharedMemoryBlock& operator=(SharedMemoryBlock&& other) noexcept;
  SharedMemoryBlock(const SharedMemoryBlock&) = delete;
  SharedMemoryBlock& operator=(const SharedMemoryBlock&) = delete;

  // Creates the block with `sizeBytes` bytes, all zero, or joins the live
  // block of that name with its content unchanged (outcome.existed). A live
  // block of another size is joined as it is unless replaceOtherSize is
  // set: then its name is given to a fresh block of the right size, and
  // whoever holds the old one keeps it.
  static SharedMemoryBlock Create(std::string_view objectName, std::size_t sizeBytes,
                                  bool replaceOtherSize, Outcome* outcome);

  // Joins the live block of that name, read-only or writable; its size is
  // whatever its creator made.
  static SharedMemoryBlock Open(std::string_view objectName, bool writable, Outcome* outcome);

  // Unmaps and lets go of the block; removes the name when this was the
  // last holder. Safe to call twice.
  void Release();

  bool Valid() const { return view_ != nullptr; }
  // The object still holds every byte of the view: another process of the
  // same user may have cut it back (touching the lost pages would raise
  // SIGBUS). One fstat.
  bool StillWhole() const;
  uint8_t* Data() const { return view_; }
  std::size_t Size() const { return size_; }

 private:
  // Maps the whole object behind fd (which the block then owns; closed on
  // failure).
  static SharedMemoryBlock Map(int fd, const struct stat& info, const std::string& name, bool writable,
                               bool existed, Outcome& result);

  int fd_ = -1;
  uint8_t* view_ = nullptr;
  std::size_t size_ = 0;
  std::string name_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace corvalind

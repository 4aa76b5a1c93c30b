// Named shared memory inside any process the library is loaded into.
//
// The rules are those of the studio's blocks (platform/shared_memory.h): a
// POSIX object "/NAME.<uid>" of mode 0600; every holder keeps a shared
// flock; whoever releases it and can then lock it exclusively is the last
// holder and removes the name; a name nobody holds was left by a process
// that died and counts as gone; objects of another user or open to others
// are never used. This copy exists because the library runs inside games:
// it is built without sanitizers, never throws or allocates, never blocks
// on a lock, and keeps the descriptor so that every copy can first ask the
// system how many bytes the object really holds.
#pragma once

#include <cstddef>
#include <cstdint>

namespace snaptrace {

// Longest object name this library forms.
inline constexpr std::size_t kObjectNameBytes = 96;

struct NamedObject {
  int fd = -1;
  uint8_t* view = nullptr;
  std::size_t mappedBytes = 0;
  // What the name referred to when joined: the name is removed only while
  // it still refers to this object.
  char name[kObjectNameBytes] = {};
  uint64_t device = 0;
  uint64_t inode = 0;
};

enum class JoinOutcome { kCreated, kJoined, kFailed };

// "/BASE.<uid>", or "/BASE_TAG.<uid>" with SNAPTRACE_INSTANCE=TAG. False
// when it does not fit.
bool FormObjectName(const char* base, char* name, std::size_t capacity);

// Creates the object with createBytes bytes (all zero) or joins the live
// one; createBytes 0 only joins. A joined object must hold at least
// minimumBytes. mapBytes 0 maps the whole object, otherwise exactly
// mapBytes (never more than it holds). On success `object` holds the
// descriptor and the writable view.
JoinOutcome CreateOrJoin(const char* name, std::size_t createBytes, std::size_t minimumBytes,
                         std::size_t mapBytes, NamedObject* object);

// What the object holds now, by fstat; 0 when that cannot be told.
std::size_t HeldBytes(const NamedObject& object);

// Bytes that may be copied into or out of the view from offset 0: the
// smaller of `wanted`, the view and what the object holds right now.
std::size_t SafeCopyBytes(const NamedObject& object, std::size_t wanted);

// Lets go of the object: removes the name when this was the last holder,
// closes the descriptor and, when `unmap`, the view. Safe on an empty one.
void Release(NamedObject* object, bool unmap);

// In a child after fork: the child is no holder of its own; it forgets the
// inherited descriptor and view without touching the name.
void ForgetInChild(NamedObject* object);

}  // namespace snaptrace

// Reading and writing the project's small files (settings, scene list,
// project files) in one guarded way.
//
// Reading never blocks on a pipe or a device in a file's place and never
// takes more than a given number of bytes into memory. Writing goes to a
// neighbour file that is flushed to disk and then renamed over the old
// one, so after a crash the name holds the old text or the whole new one,
// never part of one. Any thread; failures are return values.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

namespace corvalind {

enum class ReadLimit {
  kRefuseLarger,  // a file above the limit is not read at all
  kTakePrefix,    // the first `limitBytes` bytes of any size of file
};

// Reads the regular file `path` into `text`. False (text untouched) when it
// cannot be opened, is not a regular file, cannot be read, or with
// kRefuseLarger holds more than `limitBytes` bytes.
bool ReadRegularFile(const std::string& path, std::size_t limitBytes, ReadLimit mode, std::string* text);

// Replaces `path` with `text` through the neighbour `path` + ".new"
// (removed first, created afresh with `mode`), synced before the rename;
// the folder is synced after it. The folder must exist. False, with the
// old file untouched and no neighbour left, when any step fails.
bool ReplaceFile(const std::string& path, std::string_view text, mode_t mode = 0666);

// Whether anything (a file, a folder, a link, even a dangling one) has the
// name `path`, without opening it.
enum class PathPresence {
  kAbsent,   // nothing there, or a folder on the way is missing
  kPresent,  // something has the name
  kUnknown,  // the name could not be looked up (no search right, I/O error)
};
PathPresence LookUpPath(const std::string& path);

// Renames `path`, whatever it is, to `aside`, or to `aside`-1, `aside`-2 ...
// when that name is taken: nothing that exists is ever replaced. `aside`
// must be in the same folder. Returns the name it now has, or an empty
// string (and `path` untouched) when it could not be moved.
std::string MoveAside(const std::string& path, const std::string& aside);

// The name an unreadable file is kept under: `path` +
// ".unreadable-YYYYMMDD-HHMMSS", from the local time `when`.
std::string UnreadableFileName(const std::string& path, std::time_t when);

}  // namespace corvalind

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

}  // namespace corvalind

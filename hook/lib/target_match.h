// Whether this process is the game the studio chose: its executable's file
// name equals the target name, ignoring letter case. A target that names a
// folder ("bin/game", "/usr/games/game") never matches, nor an empty one.
//
// A program started through a link has two file names, the link's (what
// the user typed: /usr/bin/glxgears) and the file's it leads to
// (glxgears.x86_64-linux-gnu); either matches.
#pragma once

#include <cstddef>

namespace snaptrace {

inline constexpr std::size_t kExecutablePathBytes = 512;

// Reads the file name of /proc/self/exe and of the name the program was
// started by (the first word of /proc/self/cmdline). Called when the
// library is loaded, and so again in every program exec'd with it.
void RecordExecutableName();

// True when the target matches one of the recorded names.
bool ProcessMatches(const char* target);

// ASCII case-insensitive comparison over at most 512 characters; the
// result never depends on the locale the game has set.
bool TargetMatches(const char* target, const char* executableName);

}  // namespace snaptrace

// The library's debug messages: written to standard error, and only when
// SNAPTRACE_DEBUG=1 was in the environment when the library was loaded. A
// game never shows anything of the library to its user otherwise.
#pragma once

namespace snaptrace {

// Reads SNAPTRACE_DEBUG; called once when the library is loaded.
void InitDebugLog();

// Writes `text` as it stands, with a line feed after it when it has none.
// Any thread; never allocates.
void DebugMessage(const char* text);

}  // namespace snaptrace

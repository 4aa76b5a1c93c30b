// The report process's part of a crash: it turns the raw log the crash
// handler wrote (crash_handler.h) into readable lines and builds the text
// that tells the user. Normal code: it reads files, allocates, and reads
// debug information through libdw.
#pragma once

#include <string>

namespace corvalind {

struct CrashReport {
  bool symbolized = false;  // the log was rewritten with readable frames
  int frames = 0;           // frames in the rewritten log
  std::string message;      // the three lines for the user
};

// "Corvalind CRASHED :-(", "Crash log location- " and the path, and the
// request to send the log, one a line (no newline at the end).
std::string CrashMessageText(const std::string& logPath);

// Rewrites the raw crash log at `logPath` in place (through a neighbour
// file and a rename): the header stays, each raw address becomes
//   #N 0xADDR function+0xOFF (file:line) in module
// with what the saved memory map and the modules' symbols and debug
// information tell (only files on this machine are read: no download of
// debug information), and the memory map stays at the end. A log that is
// already readable, or is not a raw crash log, is left as it is. The
// message is built either way.
CrashReport SymbolizeCrashLog(const std::string& logPath);

// SymbolizeCrashLog, then the message on standard error: what the report
// process does before it shows the message.
CrashReport ReportCrash(const std::string& logPath);

}  // namespace corvalind

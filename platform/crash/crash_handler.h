// The crash handler: when the process faults (SIGSEGV, SIGBUS, SIGFPE,
// SIGILL) or aborts (SIGABRT, also after an uncaught exception), it writes
// a raw crash log, starts this program's own executable again to turn that
// log into readable lines and tell the user, waits for it, and then lets
// the signal end the process as it would have without the handler.
//
// Inside the signal handler only async-signal-safe work happens: the log
// is removed and created afresh, the header is formatted by hand, the
// stack is walked with the C++ runtime's own unwinder (the one exceptions
// use, warmed up at install), and /proc/self/maps is copied behind it. The
// report process (crash_report.h) does everything that needs memory,
// files and debug information.
//
// Raw log layout, one item a line:
//   header lines (program, signal, thread, exception)
//   "Stack:"
//   "pc 0xADDR"    the interrupted instruction
//   "ret 0xADDR"   a return address, innermost first
//   "skipped N"    N frames left out of a very deep stack, between its
//                  innermost and its outermost frames
//   "Memory map:"
//   the text of /proc/self/maps
//
// Alternate stacks are per thread. Install gives the calling thread one,
// so a stack overflow there is still reported; a thread started later has
// none until it calls EnsureThreadAlternateStack(). A crash on such a
// thread is still reported (the handler runs on the thread's own stack),
// but a stack overflow on it leaves no room for any handler: the kernel
// ends the process by SIGSEGV without a log.
#pragma once

#include <string>
#include <vector>

namespace corvalind {

// "Corvalind.log" in the user's documents folder.
std::string CrashLogPath();

// Installs the handlers for SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT
// and the std::terminate handler. After a crash the report process is this
// program's executable with `reporterArguments` followed by `logPath`.
// Call it early, on the main thread, before other threads start; a second
// call replaces the paths and arguments. False when a path or the
// arguments do not fit the handler's fixed buffers, the executable cannot
// be found, or a handler cannot be installed.
bool InstallCrashHandler(const std::string& logPath, const std::vector<std::string>& reporterArguments);

// Gives the calling thread an alternate signal stack when it has none, so
// that a stack overflow on it reaches the crash handler. The stack goes
// with the thread. False when it cannot be allocated.
bool EnsureThreadAlternateStack();

}  // namespace corvalind

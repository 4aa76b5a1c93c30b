// Loading and unloading of the library, in the studio and in every program
// started with it preloaded (the game and whatever the game starts: they
// inherit LD_PRELOAD and stay out unless their executable is the target).
//
// Loading does only cheap things: it records the executable's file name,
// reads SNAPTRACE_DEBUG and starts the rate limit. The shared section is
// opened at the first presentation, so programs that never draw never
// touch it.
#include <pthread.h>

#include "hook/lib/debug_log.h"
#include "hook/lib/frame_exchange.h"
#include "hook/lib/gl_capture.h"
#include "hook/lib/target_match.h"

namespace snaptrace {

namespace {

// In the child of a fork: its descriptors and views are copies of the
// parent's, and the parent's capture is none of its business. Only
// async-signal-safe work (munmap, close, plain stores) happens here.
void AfterForkInChild() {
  ResetCaptureInChild();
  ForgetObjectsInChild();
}

__attribute__((constructor)) void OnLoad() {
  InitDebugLog();
  RecordExecutableName();
  InitCapture();
  // Unregistered by the C library when the library is unloaded.
  pthread_atfork(nullptr, nullptr, &AfterForkInChild);
}

__attribute__((destructor)) void OnUnload() {
  // Another thread of a game may still be inside a presentation: there the
  // views stay mapped (the process is ending) and only the names are let
  // go. In the studio nothing else runs in the library by now.
  const bool captureRan = StopCaptureForUnload();
  ReleaseObjectsAtUnload(!captureRan);
}

}  // namespace

}  // namespace snaptrace

// Copies into and out of memory that another process can take away.
//
// A shared block is a file the kernel maps into every holder; any process
// of the same user can shrink it (ftruncate), and a holder that then
// touches a page past the new end gets SIGBUS, which ends it. The camera
// runs inside other people's programs, so such a fault must never reach
// them. GuardedCopy runs the copy with a recovery point of the calling
// thread: a SIGBUS raised by that copy returns there and the copy reports
// failure. A SIGBUS anywhere else goes on to the handler that was there
// before (the host program's, or the default that ends the process).
//
// The handler is put in place on first use and again whenever another one
// replaced it (which keeps the replaced one as the next in the chain). It
// takes an alternate signal stack when the thread has one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvalind {

// Copies `bytes` from `source` to `destination`, one of which lies in a
// shared mapping. False when the mapping was cut back under the copy: the
// destination then holds part of the bytes.
bool GuardedCopy(void* destination, const void* source, std::size_t bytes);

// Runs `work(context)` under the recovery point; false when it raised
// SIGBUS. `work` must touch no lock and allocate nothing: it may be left
// in the middle.
bool RunGuarded(void (*work)(void*), void* context);

// Stores `value` at `at` with release order (the output block's counter
// byte after its picture). False on SIGBUS.
bool GuardedStoreRelease(uint8_t* at, uint8_t value);

// How many SIGBUS faults the guard turned into failures in this process.
unsigned GuardedFaults();

}  // namespace corvalind

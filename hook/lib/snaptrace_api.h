// Snaptrace, the game capture library: its five plain entry points.
//
// The studio loads libsnaptrace.so at run time (dlopen, never by linking)
// and binds these functions by name; the same file is preloaded into the
// game (snaptrace-run), where it captures the frames the game presents and
// writes them into the frame exchange that these functions read:
//
//   the shared section  POSIX shared memory "/SnaptraceShared.<uid>": ready
//                       flag, block size, frame bytes, width, height, bytes
//                       per pixel (32 bits each), target name (512 bytes)
//   the frame block     POSIX shared memory "/dllmemfilemapDirectX.<uid>":
//                       the pixels of the last frame from offset 0
//
// Both live while any process holds them (a shared flock per holder; the
// last one removes the name). With SNAPTRACE_INSTANCE=TAG in the
// environment (letters, digits, '_' and '-', at most 32) both names carry
// "_TAG" before the user id, so that test runs side by side never meet.
//
// The studio's order of calls: SetupSharedMemory, InstallHook, then
// GetSharedMemory every millisecond, then RemoveHook, then unload. The
// entry points of one process are called by one thread at a time.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SNAPTRACE_EXPORT __attribute__((visibility("default")))

// Records the executable file name to capture (no folder; at most 511
// characters are kept) in the shared section. Games whose executable has
// that name, ignoring letter case, capture from their next presented frame
// on. Returns a handle that is not null, or null when the shared section
// cannot be had.
SNAPTRACE_EXPORT void* InstallHook(const char* targetName);

// Clears the target name (running games stop capturing at their next
// frame) and lets go of this process's view of the frame block. Nonzero
// when a view was closed.
SNAPTRACE_EXPORT int RemoveHook(void);

// Stores sizeBytes as the block size and creates the frame block with that
// size (all zero) or joins the live one with its content unchanged. Returns
// this process's writable view, or null.
SNAPTRACE_EXPORT void* SetupSharedMemory(uint32_t sizeBytes);

// 0 when no new frame is ready. Otherwise stores the frame's width, height
// and bytes per pixel, copies the smaller of the frame's bytes and capacity
// (and never more than the block holds) into destination, marks the frame
// taken and returns the count.
SNAPTRACE_EXPORT uint32_t GetSharedMemory(uint8_t* destination, uint32_t capacity, int32_t* width,
                                          int32_t* height, int32_t* bytesPerPixel);

// Copies the smaller of count and the block size to the start of the
// block. A process without a view only opens the block (that frame is
// dropped).
SNAPTRACE_EXPORT void SetSharedMemory(const uint8_t* source, uint32_t count);

typedef void* (*SnaptraceInstallHookFunc)(const char*);
typedef int (*SnaptraceRemoveHookFunc)(void);
typedef void* (*SnaptraceSetupSharedMemoryFunc)(uint32_t);
typedef uint32_t (*SnaptraceGetSharedMemoryFunc)(uint8_t*, uint32_t, int32_t*, int32_t*, int32_t*);
typedef void (*SnaptraceSetSharedMemoryFunc)(const uint8_t*, uint32_t);

#ifdef __cplusplus
}
#endif

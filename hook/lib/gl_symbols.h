// Where the library puts itself between a game and its graphics libraries.
//
// Preloaded, the library defines glXSwapBuffers, glFinish, eglSwapBuffers
// and the functions a game finds them through (glXGetProcAddress,
// glXGetProcAddressARB, eglGetProcAddress, dlsym), plus glXDestroyContext,
// eglDestroyContext and eglTerminate to learn when a context's objects are
// gone. Calls the game links directly land here first; lookups of those
// names hand back these definitions, so a game that loads libGL itself is
// covered too. Every definition runs its own part and then the real
// function, which is found:
//   1. from the game's own lookups (the real answer before substitution),
//   2. in the objects loaded after this library (dlsym RTLD_NEXT),
//   3. in the GL libraries the game has already loaded (dlopen with
//      RTLD_NOLOAD, so no library is ever loaded because of this one).
// The library itself never links libGL or libEGL.
#pragma once

#include <cstdint>

namespace snaptrace {

enum class Hooked : int {
  kGlxSwapBuffers,
  kGlFinish,
  kEglSwapBuffers,
  kGlxGetProcAddress,
  kGlxGetProcAddressArb,
  kEglGetProcAddress,
  kGlxDestroyContext,
  kEglDestroyContext,
  kEglTerminate,
  kDlsym,
  kCount,
};

// The libraries a symbol may live in.
enum class Library { kGlx, kEgl, kGl };

// The real function behind one of ours; null when none can be found.
void* RealFunction(Hooked function);

// A symbol that is not redirected (glXGetCurrentContext, eglQuerySurface,
// ...), looked up as in steps 2 and 3. Null when its library is not loaded.
void* LibrarySymbol(Library library, const char* name);

// A GL entry point for a context of that window system, through the real
// glXGetProcAddressARB or eglGetProcAddress (then as LibrarySymbol).
void* GlEntryPoint(bool egl, const char* name);

}  // namespace snaptrace

// OpenGL capture inside the game: called before every presentation the
// game makes (glXSwapBuffers, eglSwapBuffers, glFinish), on the thread that
// makes it, with its context current.
//
// At most once every 40 ms (steady clock, one rate limit for the whole
// process) an attempt looks whether this process is the target
// (target_match.h); when it is, the back buffer of the surface being
// presented is read as blue-green-red bytes, bottom row first, the width
// and height being the drawable's. The read goes into one of two pixel
// buffer objects of the context and is mapped and written into the frame
// exchange at the context's next presentation, so the game never waits for
// the read-back: the frame in the block is the one read a frame earlier.
// Contexts without pixel buffer objects read synchronously and publish at
// once. Every piece of GL state the read touches (pixel-store packing, the
// pack buffer, the read and draw framebuffer bindings, the read buffer) is
// put back as it was, and the library asks GL nothing that could raise an
// error in the game's context.
//
// glFinish counts as a presentation only in programs that never swap: once
// a program has swapped, its swaps mark the frames (a glFinish in the
// middle of a frame would catch it half drawn), and a frame read at a
// glFinish before the first swap is dropped when a swap follows. (Read
// synchronously, that first frame has already gone out.)
//
// Nothing here blocks: a presentation that finds another thread capturing
// goes on without capture. A presentation with no context, no surface or
// a surface that is not current passes through, and the rate limit is
// renewed all the same.
#pragma once

#include <cstdint>

namespace snaptrace {

struct Presentation {
  bool egl = false;        // EGL, else GLX
  void* display = nullptr;  // Display* or EGLDisplay; null for glFinish
  uintptr_t surface = 0;    // the GLXDrawable or EGLSurface swapped; 0 for glFinish
};

// Starts the rate limit; called when the library is loaded.
void InitCapture();

void BeforePresent(const Presentation& presentation);

// A context (or every context of an EGL display) is being destroyed: its
// objects go with it. Any thread; never waits.
void ForgetContext(bool egl, void* context);
void ForgetDisplay(void* eglDisplay);

// In the child after fork: no capture of the parent's carries over.
void ResetCaptureInChild();
// Unloading: the capture stops taking frames. True when a presentation
// ever came through, so another thread may still be inside one.
bool StopCaptureForUnload();

}  // namespace snaptrace

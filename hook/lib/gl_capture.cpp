#include "hook/lib/gl_capture.h"

#include <EGL/egl.h>
#include <GL/gl.h>
#include <GL/glext.h>
#include <GL/glx.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "hook/lib/debug_log.h"
#include "hook/lib/frame_exchange.h"
#include "hook/lib/gl_symbols.h"
#include "hook/lib/target_match.h"

namespace snaptrace {

namespace {

constexpr int64_t kGrabIntervalNs = 40'000'000;
// Contexts followed at once; a game with more captures only these.
constexpr int kContextSlots = 8;
// Presentations a pixel buffer may wait for its read to finish before it
// is mapped all the same.
constexpr int kFenceWaits = 3;
// The largest drawable side taken (far above any real window).
constexpr int kMaxSide = 16384;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// --- the GL entry points the read-back uses --------------------------------

using GetStringFunc = const GLubyte* (*)(GLenum);
using GetIntegervFunc = void (*)(GLenum, GLint*);
using GetBooleanvFunc = void (*)(GLenum, GLboolean*);
using PixelStoreiFunc = void (*)(GLenum, GLint);
using ReadPixelsFunc = void (*)(GLint, GLint, GLsizei, GLsizei, GLenum, GLenum, void*);
using ReadBufferFunc = void (*)(GLenum);

struct GlFunctions {
  GetStringFunc GetString = nullptr;
  GetIntegervFunc GetIntegerv = nullptr;
  GetBooleanvFunc GetBooleanv = nullptr;
  PixelStoreiFunc PixelStorei = nullptr;
  ReadPixelsFunc ReadPixels = nullptr;
  ReadBufferFunc ReadBuffer = nullptr;
  PFNGLBINDFRAMEBUFFERPROC BindFramebuffer = nullptr;
  PFNGLBINDFRAMEBUFFEREXTPROC BindFramebufferEXT = nullptr;
  PFNGLBINDBUFFERPROC BindBuffer = nullptr;
  PFNGLGENBUFFERSPROC GenBuffers = nullptr;
  PFNGLDELETEBUFFERSPROC DeleteBuffers = nullptr;
  PFNGLBUFFERDATAPROC BufferData = nullptr;
  PFNGLMAPBUFFERRANGEPROC MapBufferRange = nullptr;
  PFNGLMAPBUFFERPROC MapBuffer = nullptr;
  PFNGLUNMAPBUFFERPROC UnmapBuffer = nullptr;
  PFNGLFENCESYNCPROC FenceSync = nullptr;
  PFNGLCLIENTWAITSYNCPROC ClientWaitSync = nullptr;
  PFNGLDELETESYNCPROC DeleteSync = nullptr;
};

template <typename T>
void Load(T& function, bool egl, const char* name) {
  function = reinterpret_cast<T>(GlEntryPoint(egl, name));
}

// One table per window system, loaded once under the capture lock. With
// GLVND the addresses are dispatch stubs, good for every context.
struct GlTable {
  bool loaded = false;
  GlFunctions gl;
};
GlTable g_tables[2];

const GlFunctions* Functions(bool egl) {
  GlTable& table = g_tables[egl ? 1 : 0];
  if (!table.loaded) {
    GlFunctions& f = table.gl;
    Load(f.GetString, egl, "glGetString");
    Load(f.GetIntegerv, egl, "glGetIntegerv");
    Load(f.GetBooleanv, egl, "glGetBooleanv");
    Load(f.PixelStorei, egl, "glPixelStorei");
    Load(f.ReadPixels, egl, "glReadPixels");
    Load(f.ReadBuffer, egl, "glReadBuffer");
    Load(f.BindFramebuffer, egl, "glBindFramebuffer");
    Load(f.BindFramebufferEXT, egl, "glBindFramebufferEXT");
    Load(f.BindBuffer, egl, "glBindBuffer");
    Load(f.GenBuffers, egl, "glGenBuffers");
    Load(f.DeleteBuffers, egl, "glDeleteBuffers");
    Load(f.BufferData, egl, "glBufferData");
    Load(f.MapBufferRange, egl, "glMapBufferRange");
    Load(f.MapBuffer, egl, "glMapBuffer");
    Load(f.UnmapBuffer, egl, "glUnmapBuffer");
    Load(f.FenceSync, egl, "glFenceSync");
    Load(f.ClientWaitSync, egl, "glClientWaitSync");
    Load(f.DeleteSync, egl, "glDeleteSync");
    // Without the basic four nothing can be read; asked again next time
    // (the GL library may not be there yet).
    table.loaded = f.GetString && f.GetIntegerv && f.PixelStorei && f.ReadPixels;
  }
  return table.loaded ? &table.gl : nullptr;
}

// --- what a context can do -------------------------------------------------

struct GlCaps {
  bool es = false;
  int major = 0;
  int minor = 0;
  bool pixelBuffers = false;     // pixel pack buffers
  bool mapRange = false;         // glMapBufferRange (else glMapBuffer)
  bool fences = false;           // sync objects
  bool readDrawFramebuffers = false;  // GL_READ_FRAMEBUFFER / GL_DRAW_FRAMEBUFFER
  bool singleFramebuffer = false;     // only GL_FRAMEBUFFER (ES 2)
  bool extFramebuffer = false;        // only EXT_framebuffer_object
  bool readBuffer = false;       // glReadBuffer and GL_READ_BUFFER
  bool doubleBufferQuery = false;
  int packParams = 0;            // how many of kPackParams apply
  bool bgr = false;              // GL_BGR reads (else RGBA, turned around here)
};

// Pixel-store packing in the order of its reach: ES 2 has the first, ES 3
// the first four, desktop GL all eight.
constexpr GLenum kPackParams[] = {GL_PACK_ALIGNMENT,  GL_PACK_ROW_LENGTH, GL_PACK_SKIP_ROWS,
                                  GL_PACK_SKIP_PIXELS, GL_PACK_SWAP_BYTES, GL_PACK_LSB_FIRST,
                                  GL_PACK_IMAGE_HEIGHT, GL_PACK_SKIP_IMAGES};
constexpr GLint kPackValues[] = {1, 0, 0, 0, 0, 0, 0, 0};
constexpr int kPackCount = 8;

bool HasExtension(const char* extensions, const char* name) {
  if (!extensions) return false;
  const std::size_t length = std::strlen(name);
  for (const char* at = std::strstr(extensions, name); at; at = std::strstr(at + 1, name)) {
    const bool starts = at == extensions || at[-1] == ' ';
    const bool ends = at[length] == ' ' || at[length] == '\0';
    if (starts && ends) return true;
  }
  return false;
}

bool AtLeast(const GlCaps& caps, int major, int minor) {
  return caps.major > major || (caps.major == major && caps.minor >= minor);
}

bool ReadCaps(const GlFunctions& f, GlCaps* caps) {
  const char* version = reinterpret_cast<const char*>(f.GetString(GL_VERSION));
  if (!version) return false;
  *caps = GlCaps{};
  const char* number = version;
  if (std::strncmp(version, "OpenGL ES", 9) == 0) {
    caps->es = true;
    number = version + 9;
    // "OpenGL ES-CM 1.1", "OpenGL ES 3.2 Mesa ..."
    while (*number && (*number < '0' || *number > '9')) ++number;
  }
  caps->major = std::atoi(number);
  const char* dot = std::strchr(number, '.');
  caps->minor = dot ? std::atoi(dot + 1) : 0;
  if (caps->major <= 0) return false;

  if (caps->es) {
    const bool three = caps->major >= 3;
    caps->pixelBuffers = three;
    caps->mapRange = three;
    caps->fences = three;
    caps->readDrawFramebuffers = three;
    caps->singleFramebuffer = caps->major == 2;
    caps->readBuffer = three;
    caps->packParams = three ? 4 : 1;
    caps->bgr = false;
    return true;
  }
  const char* extensions = nullptr;
  if (!AtLeast(*caps, 3, 0)) extensions = reinterpret_cast<const char*>(f.GetString(GL_EXTENSIONS));
  caps->pixelBuffers = AtLeast(*caps, 2, 1);
  caps->mapRange = AtLeast(*caps, 3, 0);
  caps->fences = AtLeast(*caps, 3, 2);
  caps->readDrawFramebuffers = AtLeast(*caps, 3, 0) || HasExtension(extensions, "GL_ARB_framebuffer_object");
  caps->extFramebuffer = !caps->readDrawFramebuffers && HasExtension(extensions, "GL_EXT_framebuffer_object");
  caps->readBuffer = true;
  caps->doubleBufferQuery = true;
  caps->packParams = AtLeast(*caps, 1, 2) ? 8 : 6;
  caps->bgr = AtLeast(*caps, 1, 2);
  return true;
}

bool CapsHaveFunctions(const GlCaps& caps, const GlFunctions& f) {
  if (caps.readBuffer && !f.ReadBuffer) return false;
  if (caps.doubleBufferQuery && !f.GetBooleanv) return false;
  if ((caps.readDrawFramebuffers || caps.singleFramebuffer) && !f.BindFramebuffer) return false;
  if (caps.extFramebuffer && !f.BindFramebufferEXT) return false;
  return true;
}

bool PixelBuffersUsable(const GlCaps& caps, const GlFunctions& f) {
  if (!caps.pixelBuffers || !f.BindBuffer || !f.GenBuffers || !f.BufferData || !f.UnmapBuffer) return false;
  return caps.mapRange ? f.MapBufferRange != nullptr : f.MapBuffer != nullptr;
}

// --- per-context state -----------------------------------------------------

struct PendingRead {
  bool active = false;
  int width = 0;
  int height = 0;
  int rows = 0;
  PixelOrder order = PixelOrder::kBlueGreenRed;
  GLsync fence = nullptr;
  uint64_t sequence = 0;
  int waited = 0;
  bool atFinish = false;  // read at a glFinish
};

struct ContextState {
  // Guarded by g_tableLock: which context this is, and whether it died.
  void* context = nullptr;
  bool egl = false;
  void* eglDisplay = nullptr;
  bool used = false;
  bool dead = false;
  // Guarded by the capture lock; only touched with the context current.
  bool initialised = false;
  bool usable = false;
  bool pixelBuffers = false;
  GlCaps caps;
  const GlFunctions* gl = nullptr;
  GLuint buffers[2] = {0, 0};
  std::size_t bufferBytes[2] = {0, 0};
  PendingRead pending[2];
  uint64_t sequence = 0;
};

ContextState g_contexts[kContextSlots];
std::atomic_flag g_tableLock = ATOMIC_FLAG_INIT;

// The table lock is held for a scan of eight entries at most, never across
// a GL call.
struct TableGuard {
  TableGuard() {
    while (g_tableLock.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~TableGuard() { g_tableLock.clear(std::memory_order_release); }
};

// --- process-wide capture state --------------------------------------------

std::atomic<bool> g_busy{false};         // the capture lock (try only)
std::atomic<bool> g_unloading{false};
std::atomic<bool> g_everPresented{false};
// Set by the first swap: from then on the swaps mark the frames, and a
// glFinish (which such a program may call in the middle of a frame) only
// passes through.
std::atomic<bool> g_swaps{false};
std::atomic<int64_t> g_lastAttemptNs{0};
std::atomic<int> g_pendingReads{0};
bool g_matched = false;       // capture lock
bool g_announced = false;     // capture lock
uint8_t* g_syncBuffer = nullptr;  // capture lock; only grows
std::size_t g_syncBufferBytes = 0;

struct CaptureGuard {
  bool held;
  CaptureGuard() : held(!g_busy.exchange(true, std::memory_order_acquire)) {}
  ~CaptureGuard() {
    if (held) g_busy.store(false, std::memory_order_release);
  }
};

// Forgets a context's capture state; its GL objects are already gone (or
// go with the context). Table lock held.
void ResetState(ContextState& state) {
  for (PendingRead& pending : state.pending) {
    if (pending.active) g_pendingReads.fetch_sub(1, std::memory_order_relaxed);
  }
  state.initialised = false;
  state.usable = false;
  state.pixelBuffers = false;
  state.caps = GlCaps{};
  state.gl = nullptr;
  state.buffers[0] = state.buffers[1] = 0;
  state.bufferBytes[0] = state.bufferBytes[1] = 0;
  state.pending[0] = state.pending[1] = PendingRead{};
  state.sequence = 0;
  state.dead = false;
}

ContextState* FindState(bool egl, void* context, void* eglDisplay, bool create) {
  TableGuard guard;
  ContextState* spare = nullptr;
  for (ContextState& state : g_contexts) {
    if (state.used && state.context == context && state.egl == egl) {
      if (state.dead) ResetState(state);  // the same address, a new context
      if (egl) state.eglDisplay = eglDisplay;
      return &state;
    }
    if (!spare && (!state.used || state.dead)) spare = &state;
  }
  if (!create || !spare) return nullptr;
  ResetState(*spare);
  spare->used = true;
  spare->context = context;
  spare->egl = egl;
  spare->eglDisplay = eglDisplay;
  return spare;
}

// --- what is current on this thread -----------------------------------------

struct GlxCalls {
  GLXContext (*GetCurrentContext)() = nullptr;
  Display* (*GetCurrentDisplay)() = nullptr;
  GLXDrawable (*GetCurrentDrawable)() = nullptr;
  GLXDrawable (*GetCurrentReadDrawable)() = nullptr;
  void (*QueryDrawable)(Display*, GLXDrawable, int, unsigned int*) = nullptr;
};

struct EglCalls {
  EGLContext (*GetCurrentContext)() = nullptr;
  EGLDisplay (*GetCurrentDisplay)() = nullptr;
  EGLSurface (*GetCurrentSurface)(EGLint) = nullptr;
  EGLBoolean (*QuerySurface)(EGLDisplay, EGLSurface, EGLint, EGLint*) = nullptr;
};

GlxCalls g_glx;  // capture lock
EglCalls g_egl;  // capture lock

template <typename T>
void Find(T& function, Library library, const char* name) {
  if (!function) function = reinterpret_cast<T>(LibrarySymbol(library, name));
}

// Looked up until found: the game may load its GL library late.
const GlxCalls* Glx() {
  Find(g_glx.GetCurrentContext, Library::kGlx, "glXGetCurrentContext");
  Find(g_glx.GetCurrentDisplay, Library::kGlx, "glXGetCurrentDisplay");
  Find(g_glx.GetCurrentDrawable, Library::kGlx, "glXGetCurrentDrawable");
  Find(g_glx.GetCurrentReadDrawable, Library::kGlx, "glXGetCurrentReadDrawable");
  Find(g_glx.QueryDrawable, Library::kGlx, "glXQueryDrawable");
  return g_glx.GetCurrentContext && g_glx.GetCurrentDisplay && g_glx.GetCurrentDrawable ? &g_glx : nullptr;
}

const EglCalls* Egl() {
  Find(g_egl.GetCurrentContext, Library::kEgl, "eglGetCurrentContext");
  Find(g_egl.GetCurrentDisplay, Library::kEgl, "eglGetCurrentDisplay");
  Find(g_egl.GetCurrentSurface, Library::kEgl, "eglGetCurrentSurface");
  Find(g_egl.QuerySurface, Library::kEgl, "eglQuerySurface");
  return g_egl.GetCurrentContext && g_egl.GetCurrentDisplay && g_egl.GetCurrentSurface ? &g_egl : nullptr;
}

struct Current {
  bool egl = false;
  void* context = nullptr;
  void* display = nullptr;
  uintptr_t draw = 0;
  uintptr_t read = 0;
};

bool CurrentGlx(Current* current) {
  const GlxCalls* glx = Glx();
  if (!glx) return false;
  GLXContext context = glx->GetCurrentContext();
  if (!context) return false;
  current->egl = false;
  current->context = context;
  current->display = glx->GetCurrentDisplay();
  current->draw = glx->GetCurrentDrawable();
  current->read = glx->GetCurrentReadDrawable ? glx->GetCurrentReadDrawable() : current->draw;
  return current->display != nullptr;
}

bool CurrentEgl(Current* current) {
  const EglCalls* egl = Egl();
  if (!egl) return false;
  EGLContext context = egl->GetCurrentContext();
  if (context == EGL_NO_CONTEXT) return false;
  current->egl = true;
  current->context = context;
  current->display = egl->GetCurrentDisplay();
  current->draw = reinterpret_cast<uintptr_t>(egl->GetCurrentSurface(EGL_DRAW));
  current->read = reinterpret_cast<uintptr_t>(egl->GetCurrentSurface(EGL_READ));
  return current->display != EGL_NO_DISPLAY;
}

bool FindCurrent(const Presentation& presentation, Current* current) {
  if (presentation.surface != 0) return presentation.egl ? CurrentEgl(current) : CurrentGlx(current);
  // glFinish says nothing about its window system: GLX first, then EGL.
  return CurrentGlx(current) || CurrentEgl(current);
}

// The surface to read: the one being swapped when it is both drawn and read
// by the current context; the current read surface for glFinish. 0: none.
uintptr_t SurfaceToRead(const Presentation& presentation, const Current& current) {
  if (presentation.surface == 0) return current.read;
  if (presentation.surface != current.draw || current.read != current.draw) return 0;
  return presentation.surface;
}

// The drawable's size, as the window system reports it; the viewport when
// it reports none (the last pass of a frame covers the window, and reads
// outside the framebuffer never reach outside our buffers).
bool SurfaceSize(const Current& current, uintptr_t surface, const GlFunctions& gl, int* width, int* height) {
  long w = 0;
  long h = 0;
  if (current.egl) {
    EGLint ew = 0;
    EGLint eh = 0;
    if (g_egl.QuerySurface &&
        g_egl.QuerySurface(current.display, reinterpret_cast<EGLSurface>(surface), EGL_WIDTH, &ew) == EGL_TRUE &&
        g_egl.QuerySurface(current.display, reinterpret_cast<EGLSurface>(surface), EGL_HEIGHT, &eh) == EGL_TRUE) {
      w = ew;
      h = eh;
    }
  } else if (g_glx.QueryDrawable) {
    unsigned int gw = 0;
    unsigned int gh = 0;
    g_glx.QueryDrawable(static_cast<Display*>(current.display), static_cast<GLXDrawable>(surface), GLX_WIDTH, &gw);
    g_glx.QueryDrawable(static_cast<Display*>(current.display), static_cast<GLXDrawable>(surface), GLX_HEIGHT,
                        &gh);
    w = gw;
    h = gh;
  }
  if (w <= 0 || h <= 0) {
    GLint viewport[4] = {0, 0, 0, 0};
    gl.GetIntegerv(GL_VIEWPORT, viewport);
    w = static_cast<long>(viewport[0]) + viewport[2];
    h = static_cast<long>(viewport[1]) + viewport[3];
  }
  if (w <= 0 || h <= 0 || w > kMaxSide || h > kMaxSide) return false;
  *width = static_cast<int>(w);
  *height = static_cast<int>(h);
  return true;
}

// --- GL state the read touches ----------------------------------------------

struct SavedState {
  GLint pack[kPackCount] = {};
  bool packChanged[kPackCount] = {};
  GLint packBuffer = 0;
  bool packBufferChanged = false;
  GLint drawFramebuffer = 0;
  GLint readFramebuffer = 0;
  bool framebufferChanged = false;
  GLint readBuffer = 0;
  bool readBufferChanged = false;
};

// Binds the default framebuffer and its colour buffer for reading, the
// given pack buffer (0: client memory) and tight packing, remembering
// everything it changes.
void PrepareRead(const ContextState& state, GLuint packBuffer, SavedState* saved) {
  const GlFunctions& gl = *state.gl;
  const GlCaps& caps = state.caps;
  if (caps.readDrawFramebuffers) {
    gl.GetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &saved->drawFramebuffer);
    gl.GetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &saved->readFramebuffer);
    // Both, because whether the window is double-buffered is asked of the
    // draw framebuffer.
    if (saved->drawFramebuffer != 0 || saved->readFramebuffer != 0) {
      gl.BindFramebuffer(GL_FRAMEBUFFER, 0);
      saved->framebufferChanged = true;
    }
  } else if (caps.singleFramebuffer || caps.extFramebuffer) {
    gl.GetIntegerv(GL_FRAMEBUFFER_BINDING, &saved->readFramebuffer);
    if (saved->readFramebuffer != 0) {
      if (caps.extFramebuffer) {
        gl.BindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
      } else {
        gl.BindFramebuffer(GL_FRAMEBUFFER, 0);
      }
      saved->framebufferChanged = true;
    }
  }
  if (caps.readBuffer) {
    GLenum wanted = GL_BACK;
    if (caps.doubleBufferQuery) {
      GLboolean doubleBuffered = GL_TRUE;
      gl.GetBooleanv(GL_DOUBLEBUFFER, &doubleBuffered);
      if (!doubleBuffered) wanted = GL_FRONT;
    }
    gl.GetIntegerv(GL_READ_BUFFER, &saved->readBuffer);
    if (static_cast<GLenum>(saved->readBuffer) != wanted) {
      gl.ReadBuffer(wanted);
      saved->readBufferChanged = true;
    }
  }
  for (int i = 0; i < caps.packParams; ++i) {
    gl.GetIntegerv(kPackParams[i], &saved->pack[i]);
    if (saved->pack[i] != kPackValues[i]) {
      gl.PixelStorei(kPackParams[i], kPackValues[i]);
      saved->packChanged[i] = true;
    }
  }
  if (caps.pixelBuffers && gl.BindBuffer) {
    gl.GetIntegerv(GL_PIXEL_PACK_BUFFER_BINDING, &saved->packBuffer);
    if (static_cast<GLuint>(saved->packBuffer) != packBuffer) {
      gl.BindBuffer(GL_PIXEL_PACK_BUFFER, packBuffer);
      saved->packBufferChanged = true;
    }
  }
}

void RestoreState(const ContextState& state, const SavedState& saved) {
  const GlFunctions& gl = *state.gl;
  const GlCaps& caps = state.caps;
  if (saved.packBufferChanged) gl.BindBuffer(GL_PIXEL_PACK_BUFFER, static_cast<GLuint>(saved.packBuffer));
  for (int i = caps.packParams - 1; i >= 0; --i) {
    if (saved.packChanged[i]) gl.PixelStorei(kPackParams[i], saved.pack[i]);
  }
  // The read buffer belongs to the default framebuffer, still bound here.
  if (saved.readBufferChanged) gl.ReadBuffer(static_cast<GLenum>(saved.readBuffer));
  if (!saved.framebufferChanged) return;
  if (caps.readDrawFramebuffers) {
    gl.BindFramebuffer(GL_DRAW_FRAMEBUFFER, static_cast<GLuint>(saved.drawFramebuffer));
    gl.BindFramebuffer(GL_READ_FRAMEBUFFER, static_cast<GLuint>(saved.readFramebuffer));
  } else if (caps.extFramebuffer) {
    gl.BindFramebufferEXT(GL_FRAMEBUFFER_EXT, static_cast<GLuint>(saved.readFramebuffer));
  } else {
    gl.BindFramebuffer(GL_FRAMEBUFFER, static_cast<GLuint>(saved.readFramebuffer));
  }
}

// --- reading and publishing -------------------------------------------------

int BytesPerReadPixel(PixelOrder order) { return order == PixelOrder::kBlueGreenRed ? 3 : 4; }

bool InitialiseState(ContextState& state, bool egl) {
  state.initialised = true;
  state.gl = Functions(egl);
  if (!state.gl) {
    state.initialised = false;  // try again when the library is there
    return false;
  }
  state.usable = ReadCaps(*state.gl, &state.caps) && CapsHaveFunctions(state.caps, *state.gl);
  state.pixelBuffers = state.usable && PixelBuffersUsable(state.caps, *state.gl);
  return state.usable;
}

// Maps the oldest finished read of this context and writes it into the
// exchange. A read whose fence has not signalled waits for a later
// presentation (a few at most).
void PublishPending(ContextState& state) {
  PendingRead* oldest = nullptr;
  int index = -1;
  for (int i = 0; i < 2; ++i) {
    PendingRead& pending = state.pending[i];
    if (pending.active && (!oldest || pending.sequence < oldest->sequence)) {
      oldest = &pending;
      index = i;
    }
  }
  if (!oldest) return;
  const GlFunctions& gl = *state.gl;
  if (oldest->fence) {
    const GLenum result = gl.ClientWaitSync(oldest->fence, 0, 0);
    if (result == GL_TIMEOUT_EXPIRED && oldest->waited++ < kFenceWaits) return;
    gl.DeleteSync(oldest->fence);
    oldest->fence = nullptr;
  }
  GLint previous = 0;
  gl.GetIntegerv(GL_PIXEL_PACK_BUFFER_BINDING, &previous);
  gl.BindBuffer(GL_PIXEL_PACK_BUFFER, state.buffers[index]);
  const std::size_t bytes = static_cast<std::size_t>(oldest->width) * static_cast<std::size_t>(oldest->rows) *
                            static_cast<std::size_t>(BytesPerReadPixel(oldest->order));
  void* pixels = state.caps.mapRange
                     ? gl.MapBufferRange(GL_PIXEL_PACK_BUFFER, 0, static_cast<GLsizeiptr>(bytes), GL_MAP_READ_BIT)
                     : gl.MapBuffer(GL_PIXEL_PACK_BUFFER, GL_READ_ONLY);
  // A read at a glFinish of a program that turned out to swap may show a
  // frame half drawn: it is dropped.
  const bool wanted = g_matched && !(oldest->atFinish && g_swaps.load(std::memory_order_relaxed));
  if (pixels) {
    if (wanted) {
      WriteFrame(static_cast<const uint8_t*>(pixels), oldest->width, oldest->height, oldest->rows, oldest->order);
    }
    gl.UnmapBuffer(GL_PIXEL_PACK_BUFFER);
  }
  gl.BindBuffer(GL_PIXEL_PACK_BUFFER, static_cast<GLuint>(previous));
  *oldest = PendingRead{};
  g_pendingReads.fetch_sub(1, std::memory_order_relaxed);
}

// Drops what a context holds for the capture once its process is no longer
// the target.
void ReleaseBuffers(ContextState& state) {
  if (!state.usable) return;
  const GlFunctions& gl = *state.gl;
  for (int i = 0; i < 2; ++i) {
    PendingRead& pending = state.pending[i];
    if (pending.active) {
      if (pending.fence) gl.DeleteSync(pending.fence);
      pending = PendingRead{};
      g_pendingReads.fetch_sub(1, std::memory_order_relaxed);
    }
    if (state.buffers[i] != 0 && gl.DeleteBuffers) gl.DeleteBuffers(1, &state.buffers[i]);
    state.buffers[i] = 0;
    state.bufferBytes[i] = 0;
  }
}

bool EnsureSyncBuffer(std::size_t bytes) {
  if (g_syncBufferBytes >= bytes) return true;
  std::free(g_syncBuffer);
  g_syncBuffer = static_cast<uint8_t*>(std::malloc(bytes));
  g_syncBufferBytes = g_syncBuffer ? bytes : 0;
  return g_syncBuffer != nullptr;
}

void ReadFrame(ContextState& state, int width, int height, bool atFinish) {
  const GlFunctions& gl = *state.gl;
  const PixelOrder order = state.caps.bgr ? PixelOrder::kBlueGreenRed : PixelOrder::kRedGreenBlueAlpha;
  // Rows beyond what the block can hold would be cut away anyway.
  const std::size_t blockRows = BlockRoom() / (static_cast<std::size_t>(width) * 3);
  const int rows = blockRows < static_cast<std::size_t>(height) ? static_cast<int>(blockRows) : height;
  if (rows <= 0) return;
  const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(rows) *
                            static_cast<std::size_t>(BytesPerReadPixel(order));
  const GLenum format = order == PixelOrder::kBlueGreenRed ? GL_BGR : GL_RGBA;

  if (!state.pixelBuffers) {
    if (!EnsureSyncBuffer(bytes)) return;
    SavedState saved;
    PrepareRead(state, 0, &saved);
    gl.ReadPixels(0, 0, width, rows, format, GL_UNSIGNED_BYTE, g_syncBuffer);
    RestoreState(state, saved);
    WriteFrame(g_syncBuffer, width, height, rows, order);
    return;
  }

  int index = -1;
  for (int i = 0; i < 2; ++i) {
    if (!state.pending[i].active) {
      index = i;
      break;
    }
  }
  if (index < 0) return;  // both still on their way: this frame is left out
  if (state.buffers[index] == 0) gl.GenBuffers(1, &state.buffers[index]);
  if (state.buffers[index] == 0) return;
  SavedState saved;
  PrepareRead(state, state.buffers[index], &saved);
  if (state.bufferBytes[index] < bytes) {
    gl.BufferData(GL_PIXEL_PACK_BUFFER, static_cast<GLsizeiptr>(bytes), nullptr, GL_STREAM_READ);
    state.bufferBytes[index] = bytes;
  }
  gl.ReadPixels(0, 0, width, rows, format, GL_UNSIGNED_BYTE, nullptr);
  PendingRead& pending = state.pending[index];
  pending.active = true;
  pending.width = width;
  pending.height = height;
  pending.rows = rows;
  pending.order = order;
  pending.fence = state.caps.fences && gl.FenceSync ? gl.FenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0) : nullptr;
  pending.sequence = ++state.sequence;
  pending.waited = 0;
  pending.atFinish = atFinish;
  g_pendingReads.fetch_add(1, std::memory_order_relaxed);
  RestoreState(state, saved);
}

bool ProcessIsTarget() {
  char target[kTargetNameBytes];
  ReadTargetName(target);
  return ProcessMatches(target);
}

void Attempt(const Presentation& presentation, const Current& current, ContextState* state) {
  const bool matched = ProcessIsTarget();
  if (!matched) {
    if (g_matched && state && state->initialised) ReleaseBuffers(*state);
    g_matched = false;
    return;
  }
  g_matched = true;
  if (!g_announced) {
    g_announced = true;
    DebugMessage("Detour");
    if (RealFunction(Hooked::kGlxSwapBuffers) || RealFunction(Hooked::kGlFinish) ||
        RealFunction(Hooked::kEglSwapBuffers)) {
      DebugMessage("OpenGL() detoured successfully");
    }
  }
  // The view is opened before the first read, so no frame is lost to it.
  if (!EnsureBlockView()) return;
  const uintptr_t surface = SurfaceToRead(presentation, current);
  if (surface == 0) return;
  if (!state) state = FindState(current.egl, current.context, current.display, true);
  if (!state) return;
  if (!state->initialised && !InitialiseState(*state, current.egl)) return;
  if (!state->usable) return;
  int width = 0;
  int height = 0;
  if (!SurfaceSize(current, surface, *state->gl, &width, &height)) return;
  ReadFrame(*state, width, height, presentation.surface == 0);
}

}  // namespace

void InitCapture() { g_lastAttemptNs.store(NowNs(), std::memory_order_relaxed); }

void BeforePresent(const Presentation& presentation) {
  if (!g_everPresented.load(std::memory_order_relaxed)) g_everPresented.store(true, std::memory_order_relaxed);
  if (g_unloading.load(std::memory_order_relaxed)) return;
  if (presentation.surface != 0) {
    if (!g_swaps.load(std::memory_order_relaxed)) g_swaps.store(true, std::memory_order_relaxed);
  } else if (g_swaps.load(std::memory_order_relaxed)) {
    return;
  }
  CaptureGuard guard;
  if (!guard.held) return;  // another thread is capturing: this frame goes by
  const bool due = NowNs() - g_lastAttemptNs.load(std::memory_order_relaxed) >= kGrabIntervalNs;
  if (!due && g_pendingReads.load(std::memory_order_relaxed) == 0) return;

  Current current;
  if (FindCurrent(presentation, &current)) {
    ContextState* state = FindState(current.egl, current.context, current.display, false);
    if (state && state->initialised && state->usable && state->pixelBuffers) PublishPending(*state);
    if (due) Attempt(presentation, current, state);
  }
  // Renewed at the end of every attempt, also one that found nothing to read.
  if (due) g_lastAttemptNs.store(NowNs(), std::memory_order_relaxed);
}

void ForgetContext(bool egl, void* context) {
  TableGuard guard;
  for (ContextState& state : g_contexts) {
    if (state.used && state.egl == egl && state.context == context) state.dead = true;
  }
}

void ForgetDisplay(void* eglDisplay) {
  TableGuard guard;
  for (ContextState& state : g_contexts) {
    if (state.used && state.egl && state.eglDisplay == eglDisplay) state.dead = true;
  }
}

void ResetCaptureInChild() {
  // The parent's other threads do not exist here: whatever they held is
  // free, and no GL object of the parent's is the child's.
  g_tableLock.clear();
  g_busy.store(false);
  for (ContextState& state : g_contexts) state = ContextState{};
  g_pendingReads.store(0);
  g_matched = false;
  g_swaps.store(false);
}

bool StopCaptureForUnload() {
  g_unloading.store(true, std::memory_order_relaxed);
  return g_everPresented.load(std::memory_order_relaxed);
}

}  // namespace snaptrace

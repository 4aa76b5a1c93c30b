// gl_probe: a small OpenGL program that stands in for a game in the capture
// tests and the benchmark.
//
//   gl_probe [--mode glx|finish|egl|egl-gl] [--lookup symbol|getproc|dlsym|dlsym-default]
//            [--size WxH] [--frames N] [--fps F] [--status FILE] [--check-state]
//            [--contexts 1|2] [--resize-at N:WxH] [--finish-mid-frame]
//            [--child PROGRAM [ARGS...]]
//
// It opens a window (320 x 240 unless told) and draws the picture of
// probe_picture.h into it every frame, with glClear and scissor boxes only,
// so every GL and GLES version draws the same exact bytes. Modes:
//   glx      GLX, double-buffered, presents with glXSwapBuffers
//   finish   GLX, single-buffered, presents with glFinish only
//   egl      EGL on the X11 window with an OpenGL ES 3 context, eglSwapBuffers
//   egl-gl   EGL with a desktop OpenGL context, eglSwapBuffers
// --lookup says how the presentation function is found: called by name
// (symbol), through glXGetProcAddressARB / eglGetProcAddress (getproc),
// through dlopen of libGL.so.1 / libEGL.so.1 and dlsym (dlsym), or through
// dlsym(RTLD_DEFAULT) (dlsym-default).
// --check-state sets pixel-store packing, a pack buffer, a read framebuffer
// and the default framebuffer's read buffer to unusual values and checks
// after every presentation that they are unchanged and that GL reports no
// error. --contexts 2 draws alternate frames with two contexts on the same
// window and calls glFinish between frames with no context current.
// --finish-mid-frame clears the window to grey and calls glFinish before
// drawing each frame, as programs that wait for the GPU mid-frame do.
// --child starts a program (which inherits the environment) and ends it at
// exit. The probe runs N frames, or until SIGTERM or SIGINT.
//
// Exit status: 0 done, 1 bad arguments, 2 GL reported an error or changed
// the probe's state (the status block says which), 3 setup failed, 77 the
// mode is not available here (no EGL display, config or context).
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <EGL/egl.h>
#include <GL/gl.h>
#include <GL/glext.h>
#include <GL/glx.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hook/tests/probe_picture.h"
#include "hook/tests/probe_status.h"

namespace {

using corvalind::probe::ProbeStatus;

enum class Mode { kGlx, kFinish, kEgl, kEglGl };
enum class Lookup { kSymbol, kGetProc, kDlsym, kDlsymDefault };

struct Options {
  Mode mode = Mode::kGlx;
  Lookup lookup = Lookup::kSymbol;
  int width = 320;
  int height = 240;
  long frames = 0;
  double fps = 0;
  std::string status;
  bool checkState = false;
  bool finishMidFrame = false;
  int contexts = 1;
  long resizeAt = -1;
  int resizeWidth = 0;
  int resizeHeight = 0;
  std::vector<char*> child;
};

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

ProbeStatus* g_status = nullptr;
ProbeStatus g_localStatus{};

int64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool ParseSize(const char* text, int* width, int* height) {
  return std::sscanf(text, "%dx%d", width, height) == 2 && *width > 0 && *height > 0;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--check-state") {
      options->checkState = true;
      continue;
    }
    if (arg == "--finish-mid-frame") {
      options->finishMidFrame = true;
      continue;
    }
    if (arg == "--child") {
      for (int j = i + 1; j < argc; ++j) options->child.push_back(argv[j]);
      options->child.push_back(nullptr);
      return options->child.size() > 1;
    }
    if (!value) return false;
    ++i;
    const std::string text = value;
    if (arg == "--mode") {
      if (text == "glx") options->mode = Mode::kGlx;
      else if (text == "finish") options->mode = Mode::kFinish;
      else if (text == "egl") options->mode = Mode::kEgl;
      else if (text == "egl-gl") options->mode = Mode::kEglGl;
      else return false;
    } else if (arg == "--lookup") {
      if (text == "symbol") options->lookup = Lookup::kSymbol;
      else if (text == "getproc") options->lookup = Lookup::kGetProc;
      else if (text == "dlsym") options->lookup = Lookup::kDlsym;
      else if (text == "dlsym-default") options->lookup = Lookup::kDlsymDefault;
      else return false;
    } else if (arg == "--size") {
      if (!ParseSize(value, &options->width, &options->height)) return false;
    } else if (arg == "--frames") {
      options->frames = std::atol(value);
    } else if (arg == "--fps") {
      options->fps = std::atof(value);
    } else if (arg == "--status") {
      options->status = text;
    } else if (arg == "--contexts") {
      options->contexts = std::atoi(value) == 2 ? 2 : 1;
    } else if (arg == "--resize-at") {
      const std::size_t colon = text.find(':');
      if (colon == std::string::npos) return false;
      options->resizeAt = std::atol(text.substr(0, colon).c_str());
      if (!ParseSize(text.c_str() + colon + 1, &options->resizeWidth, &options->resizeHeight)) return false;
    } else {
      return false;
    }
  }
  return true;
}

ProbeStatus* MapStatus(const std::string& path) {
  if (path.empty()) return &g_localStatus;
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (fstat(fd, &info) != 0 ||
      (static_cast<std::size_t>(info.st_size) < sizeof(ProbeStatus) && ftruncate(fd, sizeof(ProbeStatus)) != 0)) {
    close(fd);
    return nullptr;
  }
  void* view = mmap(nullptr, sizeof(ProbeStatus), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  return view == MAP_FAILED ? nullptr : static_cast<ProbeStatus*>(view);
}

void Fail(corvalind::probe::Failure failure, uint32_t frame) {
  int32_t none = corvalind::probe::kNoFailure;
  if (g_status->failure.compare_exchange_strong(none, failure)) g_status->failureFrame.store(frame);
}

// --- the window system ------------------------------------------------------

struct Window_ {
  Display* display = nullptr;
  Window window = 0;
  int width = 0;
  int height = 0;
  bool egl = false;
  EGLDisplay eglDisplay = EGL_NO_DISPLAY;
  EGLSurface surface = EGL_NO_SURFACE;
  EGLContext eglContexts[2] = {EGL_NO_CONTEXT, EGL_NO_CONTEXT};
  GLXContext glxContexts[2] = {nullptr, nullptr};
};

Window CreateWindow(Display* display, XVisualInfo* visual, int width, int height) {
  XSetWindowAttributes attributes{};
  attributes.colormap = XCreateColormap(display, RootWindow(display, visual->screen), visual->visual, AllocNone);
  attributes.event_mask = StructureNotifyMask;
  Window window = XCreateWindow(display, RootWindow(display, visual->screen), 0, 0, width, height, 0, visual->depth,
                                InputOutput, visual->visual, CWColormap | CWEventMask, &attributes);
  XStoreName(display, window, "gl_probe");
  XMapWindow(display, window);
  XEvent event{};
  do {
    XNextEvent(display, &event);
  } while (event.type != MapNotify || event.xmap.window != window);
  return window;
}

int SetUpGlx(const Options& options, Window_* win) {
  const bool single = options.mode == Mode::kFinish;
  int doubleAttributes[] = {GLX_RGBA, GLX_DOUBLEBUFFER, GLX_RED_SIZE, 8, GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE, 8, None};
  int singleAttributes[] = {GLX_RGBA, GLX_RED_SIZE, 8, GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE, 8, None};
  XVisualInfo* visual = glXChooseVisual(win->display, DefaultScreen(win->display),
                                        single ? singleAttributes : doubleAttributes);
  if (!visual) return 3;
  win->window = CreateWindow(win->display, visual, win->width, win->height);
  for (int i = 0; i < options.contexts; ++i) {
    win->glxContexts[i] = glXCreateContext(win->display, visual, nullptr, True);
    if (!win->glxContexts[i]) return 3;
  }
  XFree(visual);
  return glXMakeCurrent(win->display, win->window, win->glxContexts[0]) ? 0 : 3;
}

int SetUpEgl(const Options& options, Window_* win) {
  win->egl = true;
  const bool es = options.mode == Mode::kEgl;
  win->eglDisplay = eglGetDisplay(reinterpret_cast<EGLNativeDisplayType>(win->display));
  if (win->eglDisplay == EGL_NO_DISPLAY || !eglInitialize(win->eglDisplay, nullptr, nullptr)) return 77;
  if (!eglBindAPI(es ? EGL_OPENGL_ES_API : EGL_OPENGL_API)) return 77;
  // OpenGL ES 3 where there is one, else 2 (for example under
  // MESA_GLES_VERSION_OVERRIDE=2.0).
  int esVersion = 3;
  EGLConfig config = nullptr;
  EGLint count = 0;
  for (;; esVersion = 2) {
    const EGLint renderable = es ? (esVersion == 3 ? EGL_OPENGL_ES3_BIT : EGL_OPENGL_ES2_BIT) : EGL_OPENGL_BIT;
    const EGLint configAttributes[] = {EGL_SURFACE_TYPE, EGL_WINDOW_BIT, EGL_RED_SIZE, 8, EGL_GREEN_SIZE, 8,
                                       EGL_BLUE_SIZE, 8, EGL_RENDERABLE_TYPE, renderable, EGL_NONE};
    if (eglChooseConfig(win->eglDisplay, configAttributes, &config, 1, &count) && count >= 1) break;
    if (!es || esVersion == 2) return 77;
  }
  EGLint visualId = 0;
  eglGetConfigAttrib(win->eglDisplay, config, EGL_NATIVE_VISUAL_ID, &visualId);
  XVisualInfo templ{};
  templ.visualid = static_cast<VisualID>(visualId);
  int visuals = 0;
  XVisualInfo* visual = XGetVisualInfo(win->display, VisualIDMask, &templ, &visuals);
  if (!visual) return 77;
  win->window = CreateWindow(win->display, visual, win->width, win->height);
  XFree(visual);
  win->surface = eglCreateWindowSurface(win->eglDisplay, config, static_cast<EGLNativeWindowType>(win->window), nullptr);
  if (win->surface == EGL_NO_SURFACE) return 77;
  for (int i = 0; i < options.contexts; ++i) {
    EGLint esAttributes[] = {EGL_CONTEXT_MAJOR_VERSION, esVersion, EGL_NONE};
    win->eglContexts[i] = eglCreateContext(win->eglDisplay, config, EGL_NO_CONTEXT, es ? esAttributes : nullptr);
    if (win->eglContexts[i] == EGL_NO_CONTEXT && es && esVersion == 3) {
      esAttributes[1] = 2;
      win->eglContexts[i] = eglCreateContext(win->eglDisplay, config, EGL_NO_CONTEXT, esAttributes);
    }
    if (win->eglContexts[i] == EGL_NO_CONTEXT) return 77;
  }
  return eglMakeCurrent(win->eglDisplay, win->surface, win->surface, win->eglContexts[0]) ? 0 : 3;
}

void MakeCurrent(Window_* win, int context) {
  if (win->egl) {
    eglMakeCurrent(win->eglDisplay, win->surface, win->surface, win->eglContexts[context]);
  } else {
    glXMakeCurrent(win->display, win->window, win->glxContexts[context]);
  }
}

void ReleaseCurrent(Window_* win) {
  if (win->egl) {
    eglMakeCurrent(win->eglDisplay, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
  } else {
    glXMakeCurrent(win->display, None, nullptr);
  }
}

void* ProcAddress(bool egl, const char* name) {
  return egl ? reinterpret_cast<void*>(eglGetProcAddress(name))
             : reinterpret_cast<void*>(glXGetProcAddressARB(reinterpret_cast<const GLubyte*>(name)));
}

// The presentation function as --lookup says; null: call it by name.
void* PresentFunction(const Options& options, const char* name, bool egl) {
  switch (options.lookup) {
    case Lookup::kSymbol:
      return nullptr;
    case Lookup::kGetProc:
      return ProcAddress(egl, name);
    case Lookup::kDlsym: {
      void* library = dlopen(egl ? "libEGL.so.1" : "libGL.so.1", RTLD_LAZY | RTLD_LOCAL);
      return library ? dlsym(library, name) : nullptr;
    }
    case Lookup::kDlsymDefault:
      return dlsym(RTLD_DEFAULT, name);
  }
  return nullptr;
}

// --- the state --check-state watches -------------------------------------------

struct StateCheck {
  bool modern = false;  // GL 3 or ES 3: framebuffers, pack buffers, row packing
  bool hasReadBuffer = true;  // all but ES 2
  GLenum readBuffer = GL_FRONT;
  GLuint framebuffer = 0;
  GLuint packBuffer = 0;
  PFNGLGENFRAMEBUFFERSPROC GenFramebuffers = nullptr;
  PFNGLBINDFRAMEBUFFERPROC BindFramebuffer = nullptr;
  PFNGLGENBUFFERSPROC GenBuffers = nullptr;
  PFNGLBINDBUFFERPROC BindBuffer = nullptr;
  PFNGLBUFFERDATAPROC BufferData = nullptr;
};

void SetUpStateCheck(const Options& options, bool egl, StateCheck* check) {
  const char* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
  const bool es = version && std::strncmp(version, "OpenGL ES", 9) == 0;
  const char* number = version ? version + (es ? 10 : 0) : "0";
  check->modern = std::atoi(number) >= 3;
  check->hasReadBuffer = !es || check->modern;
  // The default framebuffer's read buffer, set to what a capture would not
  // read from.
  if (es) {
    check->readBuffer = GL_NONE;
  } else {
    check->readBuffer = options.mode == Mode::kFinish ? GL_FRONT_LEFT : GL_FRONT;
  }
  if (!check->modern) return;
  check->GenFramebuffers = reinterpret_cast<PFNGLGENFRAMEBUFFERSPROC>(ProcAddress(egl, "glGenFramebuffers"));
  check->BindFramebuffer = reinterpret_cast<PFNGLBINDFRAMEBUFFERPROC>(ProcAddress(egl, "glBindFramebuffer"));
  check->GenBuffers = reinterpret_cast<PFNGLGENBUFFERSPROC>(ProcAddress(egl, "glGenBuffers"));
  check->BindBuffer = reinterpret_cast<PFNGLBINDBUFFERPROC>(ProcAddress(egl, "glBindBuffer"));
  check->BufferData = reinterpret_cast<PFNGLBUFFERDATAPROC>(ProcAddress(egl, "glBufferData"));
}

// Per context: its own framebuffer and pack buffer.
void SetOddState(StateCheck* check) {
  glPixelStorei(GL_PACK_ALIGNMENT, 2);
  if (check->modern) {
    glPixelStorei(GL_PACK_ROW_LENGTH, 7);
    glPixelStorei(GL_PACK_SKIP_ROWS, 1);
    glPixelStorei(GL_PACK_SKIP_PIXELS, 1);
    if (check->framebuffer == 0) check->GenFramebuffers(1, &check->framebuffer);
    if (check->packBuffer == 0) {
      check->GenBuffers(1, &check->packBuffer);
      check->BindBuffer(GL_PIXEL_PACK_BUFFER, check->packBuffer);
      check->BufferData(GL_PIXEL_PACK_BUFFER, 64, nullptr, GL_STREAM_READ);
    }
    check->BindFramebuffer(GL_READ_FRAMEBUFFER, 0);
    glReadBuffer(check->readBuffer);
    check->BindFramebuffer(GL_READ_FRAMEBUFFER, check->framebuffer);
    check->BindBuffer(GL_PIXEL_PACK_BUFFER, check->packBuffer);
  } else if (check->hasReadBuffer) {
    glReadBuffer(check->readBuffer);
  }
}

bool OddStateHolds(const StateCheck& check) {
  GLint value = 0;
  glGetIntegerv(GL_PACK_ALIGNMENT, &value);
  if (value != 2) return false;
  if (!check.modern) {
    if (!check.hasReadBuffer) return true;
    glGetIntegerv(GL_READ_BUFFER, &value);
    return static_cast<GLenum>(value) == check.readBuffer;
  }
  const struct {
    GLenum name;
    GLint want;
  } expected[] = {{GL_PACK_ROW_LENGTH, 7},
                  {GL_PACK_SKIP_ROWS, 1},
                  {GL_PACK_SKIP_PIXELS, 1},
                  {GL_READ_FRAMEBUFFER_BINDING, static_cast<GLint>(check.framebuffer)},
                  {GL_DRAW_FRAMEBUFFER_BINDING, 0},
                  {GL_PIXEL_PACK_BUFFER_BINDING, static_cast<GLint>(check.packBuffer)}};
  for (const auto& item : expected) {
    glGetIntegerv(item.name, &value);
    if (value != item.want) return false;
  }
  check.BindFramebuffer(GL_READ_FRAMEBUFFER, 0);
  glGetIntegerv(GL_READ_BUFFER, &value);
  check.BindFramebuffer(GL_READ_FRAMEBUFFER, check.framebuffer);
  return static_cast<GLenum>(value) == check.readBuffer;
}

// --- drawing ------------------------------------------------------------------

void Box(int x, int y, int width, int height, corvalind::probe::Rgb colour) {
  glScissor(x, y, width, height);
  glClearColor(colour.r / 255.0f, colour.g / 255.0f, colour.b / 255.0f, 1.0f);
  glClear(GL_COLOR_BUFFER_BIT);
}

void Draw(int width, int height, uint32_t number) {
  using namespace corvalind::probe;
  // Deliberately not the window's size: the capture must take the
  // drawable's, not the viewport's.
  glViewport(0, 0, 64, 48);
  glEnable(GL_SCISSOR_TEST);
  const int left = width / 2;
  const int top = height / 2;
  Box(0, height - top, left, top, kTopLeft);
  Box(left, height - top, width - left, top, kTopRight);
  Box(0, 0, left, height - top, kBottomLeft);
  Box(left, 0, width - left, height - top, kBottomRight);
  for (int bit = 0; bit < kCounterBits; ++bit) {
    const bool set = (number >> bit) & 1u;
    Box(bit * kCellSize, height - kCellSize, kCellSize, kCellSize, set ? Rgb{255, 255, 255} : Rgb{0, 0, 0});
  }
  glDisable(GL_SCISSOR_TEST);
}

void SleepUntil(int64_t deadlineNs) {
  timespec when{};
  when.tv_sec = deadlineNs / 1000000000;
  when.tv_nsec = deadlineNs % 1000000000;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR && !g_stop) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr, "gl_probe: bad arguments\n");
    return 1;
  }
  g_status = MapStatus(options.status);
  if (!g_status) return 3;
  struct sigaction action {};
  action.sa_handler = &OnSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  pid_t child = -1;
  if (!options.child.empty()) {
    child = fork();
    if (child == 0) {
      execvp(options.child[0], options.child.data());
      _exit(127);
    }
  }

  Window_ win;
  win.width = options.width;
  win.height = options.height;
  win.display = XOpenDisplay(nullptr);
  if (!win.display) return 3;
  const bool egl = options.mode == Mode::kEgl || options.mode == Mode::kEglGl;
  const int setUp = egl ? SetUpEgl(options, &win) : SetUpGlx(options, &win);
  if (setUp != 0) {
    if (child > 0) kill(child, SIGTERM);
    return setUp;
  }
  g_status->width.store(static_cast<uint32_t>(win.width));
  g_status->height.store(static_cast<uint32_t>(win.height));

  using SwapFunc = void (*)(Display*, GLXDrawable);
  using FinishFunc = void (*)();
  using EglSwapFunc = EGLBoolean (*)(EGLDisplay, EGLSurface);
  const char* presentName = egl ? "eglSwapBuffers" : (options.mode == Mode::kFinish ? "glFinish" : "glXSwapBuffers");
  void* present = PresentFunction(options, presentName, egl);
  if (options.lookup != Lookup::kSymbol && !present) return 3;

  StateCheck checks[2];
  for (int i = 0; i < options.contexts; ++i) {
    MakeCurrent(&win, i);
    if (options.checkState) {
      SetUpStateCheck(options, egl, &checks[i]);
      SetOddState(&checks[i]);
    }
  }

  const int64_t startNs = MonotonicNs();
  uint32_t frame = 0;
  while (!g_stop && (options.frames <= 0 || frame < options.frames)) {
    if (frame == options.resizeAt) {
      XResizeWindow(win.display, win.window, options.resizeWidth, options.resizeHeight);
      XSync(win.display, False);
      win.width = options.resizeWidth;
      win.height = options.resizeHeight;
      g_status->width.store(static_cast<uint32_t>(win.width));
      g_status->height.store(static_cast<uint32_t>(win.height));
    }
    const int context = static_cast<int>(frame % static_cast<uint32_t>(options.contexts));
    if (options.contexts > 1) MakeCurrent(&win, context);
    if (options.finishMidFrame) {
      glClearColor(0.5f, 0.5f, 0.5f, 1.0f);
      glClear(GL_COLOR_BUFFER_BIT);
      glFinish();
    }
    Draw(win.width, win.height, frame & corvalind::probe::kCounterMask);
    g_status->presentNs[frame % corvalind::probe::kStatusRing].store(MonotonicNs());
    if (egl) {
      if (present) {
        reinterpret_cast<EglSwapFunc>(present)(win.eglDisplay, win.surface);
      } else {
        eglSwapBuffers(win.eglDisplay, win.surface);
      }
    } else if (options.mode == Mode::kFinish) {
      if (present) {
        reinterpret_cast<FinishFunc>(present)();
      } else {
        glFinish();
      }
    } else if (present) {
      reinterpret_cast<SwapFunc>(present)(win.display, win.window);
    } else {
      glXSwapBuffers(win.display, win.window);
    }
    if (options.checkState && !OddStateHolds(checks[context])) Fail(corvalind::probe::kStateChanged, frame);
    if (glGetError() != GL_NO_ERROR) Fail(corvalind::probe::kGlError, frame);
    if (options.contexts > 1) {
      // A presentation with no context current at all passes through.
      ReleaseCurrent(&win);
      glFinish();
    }
    ++frame;
    g_status->frames.store(frame);
    if (options.fps > 0) SleepUntil(startNs + static_cast<int64_t>(frame * 1e9 / options.fps));
  }

  if (child > 0) {
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
  }
  return g_status->failure.load() == corvalind::probe::kNoFailure ? 0 : 2;
}

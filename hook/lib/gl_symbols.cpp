#include "hook/lib/gl_symbols.h"

#include <dlfcn.h>

#include <EGL/egl.h>
#include <GL/gl.h>
#include <GL/glx.h>

#include <atomic>
#include <cstring>

#include "hook/lib/gl_capture.h"
#include "hook/lib/snaptrace_api.h"

namespace snaptrace {

namespace {

using DlsymFunc = void* (*)(void*, const char*);
using GlxSwapBuffersFunc = void (*)(Display*, GLXDrawable);
using GlFinishFunc = void (*)();
using EglSwapBuffersFunc = EGLBoolean (*)(EGLDisplay, EGLSurface);
using GlxGetProcAddressFunc = __GLXextFuncPtr (*)(const GLubyte*);
using EglGetProcAddressFunc = __eglMustCastToProperFunctionPointerType (*)(const char*);
using GlxDestroyContextFunc = void (*)(Display*, GLXContext);
using EglDestroyContextFunc = EGLBoolean (*)(EGLDisplay, EGLContext);
using EglTerminateFunc = EGLBoolean (*)(EGLDisplay);

struct HookedEntry {
  const char* name;
  Library library;
};

constexpr HookedEntry kHooked[static_cast<int>(Hooked::kCount)] = {
    {"glXSwapBuffers", Library::kGlx},       {"glFinish", Library::kGl},
    {"eglSwapBuffers", Library::kEgl},       {"glXGetProcAddress", Library::kGlx},
    {"glXGetProcAddressARB", Library::kGlx}, {"eglGetProcAddress", Library::kEgl},
    {"glXDestroyContext", Library::kGlx},    {"eglDestroyContext", Library::kEgl},
    {"eglTerminate", Library::kEgl},         {"dlsym", Library::kGl},
};

std::atomic<void*> g_real[static_cast<int>(Hooked::kCount)] = {};

// The sonames of the libraries each kind of symbol lives in (GLVND and
// older single-library installations alike).
const char* const kGlxLibraries[] = {"libGL.so.1", "libGLX.so.0", nullptr};
const char* const kEglLibraries[] = {"libEGL.so.1", nullptr};
const char* const kGlLibraries[] = {"libGL.so.1", "libOpenGL.so.0", "libGLESv2.so.2", "libGLESv1_CM.so.1", nullptr};

const char* const* Sonames(Library library) {
  switch (library) {
    case Library::kGlx:
      return kGlxLibraries;
    case Library::kEgl:
      return kEglLibraries;
    case Library::kGl:
      break;
  }
  return kGlLibraries;
}

// The C library's dlsym. dlvsym is not redefined here, so asking it cannot
// come back into this library; the two versions are the x86-64 ones (2.34
// moved dlsym into libc and kept the old version beside it).
DlsymFunc RealDlsym() {
  static std::atomic<DlsymFunc> real{nullptr};
  DlsymFunc found = real.load(std::memory_order_acquire);
  if (found) return found;
  void* symbol = dlvsym(RTLD_NEXT, "dlsym", "GLIBC_2.34");
  if (!symbol) symbol = dlvsym(RTLD_NEXT, "dlsym", "GLIBC_2.2.5");
  if (!symbol) symbol = dlvsym(RTLD_DEFAULT, "dlsym", "GLIBC_2.2.5");
  found = reinterpret_cast<DlsymFunc>(symbol);
  real.store(found, std::memory_order_release);
  return found;
}

void* AnswerNothing(void*, const char*) { return nullptr; }

int IndexOf(const char* name) {
  if (!name) return -1;
  // Nearly every lookup a program makes is of another name: one compare of
  // the first letter sends those on at once.
  if (name[0] != 'g' && name[0] != 'e' && name[0] != 'd') return -1;
  for (int i = 0; i < static_cast<int>(Hooked::kCount); ++i) {
    if (std::strcmp(name, kHooked[i].name) == 0) return i;
  }
  return -1;
}

}  // namespace

// This library's own definitions, by index. The library is linked with
// -Bsymbolic-functions, so these are always its own addresses, whoever else
// defines the same names.
void* OwnDefinition(int index);

namespace {

bool IsOwnDefinition(void* address) {
  for (int i = 0; i < static_cast<int>(Hooked::kCount); ++i) {
    if (address == OwnDefinition(i)) return true;
  }
  return false;
}

void Remember(int index, void* real) {
  if (!real || IsOwnDefinition(real)) return;
  void* expected = nullptr;
  g_real[index].compare_exchange_strong(expected, real, std::memory_order_acq_rel);
}

void* FindInLibraries(Library library, const char* name) {
  DlsymFunc lookup = RealDlsym();
  if (!lookup) return nullptr;
  void* found = lookup(RTLD_NEXT, name);
  if (found && !IsOwnDefinition(found)) return found;
  for (const char* const* soname = Sonames(library); *soname; ++soname) {
    // Only a library the game has loaded already; the handle is kept (a
    // loaded library is not unloaded for a lookup).
    void* handle = dlopen(*soname, RTLD_LAZY | RTLD_NOLOAD);
    if (!handle) continue;
    found = lookup(handle, name);
    if (found && !IsOwnDefinition(found)) return found;
  }
  return nullptr;
}

// A lookup answered with one of ours, when the real answer exists.
void* Substitute(int index, void* found) {
  if (index < 0 || !found || static_cast<Hooked>(index) == Hooked::kDlsym) return found;
  if (IsOwnDefinition(found)) return found;
  Remember(index, found);
  return OwnDefinition(index);
}

// A lookup made by a GL library itself is its own business: it gets the
// real answer.
bool CalledFromGlLibrary(void* caller) {
  Dl_info info{};
  if (!caller || dladdr(caller, &info) == 0 || !info.dli_fname) return false;
  const char* slash = std::strrchr(info.dli_fname, '/');
  const char* file = slash ? slash + 1 : info.dli_fname;
  return std::strncmp(file, "libGL", 5) == 0 || std::strncmp(file, "libEGL", 6) == 0 ||
         std::strncmp(file, "libOpenGL", 9) == 0;
}

}  // namespace

void* RealFunction(Hooked function) {
  const int index = static_cast<int>(function);
  void* real = g_real[index].load(std::memory_order_acquire);
  if (real) return real;
  real = FindInLibraries(kHooked[index].library, kHooked[index].name);
  Remember(index, real);
  return g_real[index].load(std::memory_order_acquire);
}

void* LibrarySymbol(Library library, const char* name) { return FindInLibraries(library, name); }

void* GlEntryPoint(bool egl, const char* name) {
  void* found = nullptr;
  if (egl) {
    auto get = reinterpret_cast<EglGetProcAddressFunc>(RealFunction(Hooked::kEglGetProcAddress));
    if (get) found = reinterpret_cast<void*>(get(name));
  } else {
    auto get = reinterpret_cast<GlxGetProcAddressFunc>(RealFunction(Hooked::kGlxGetProcAddressArb));
    if (!get) get = reinterpret_cast<GlxGetProcAddressFunc>(RealFunction(Hooked::kGlxGetProcAddress));
    if (get) found = reinterpret_cast<void*>(get(reinterpret_cast<const GLubyte*>(name)));
  }
  if (!found) found = FindInLibraries(Library::kGl, name);
  return found;
}

}  // namespace snaptrace

// ---------------------------------------------------------------------------
// dlsym
//
// A lookup of one of the redirected names (not RTLD_NEXT, not from a GL
// library) is answered with this library's definition. Every other lookup
// must behave exactly as if this library were not there, and the C
// library's dlsym tells callers apart by its return address (RTLD_NEXT
// searches after the caller's object, RTLD_DEFAULT in the caller's scope).
// So dlsym is a small trampoline: it asks SnaptraceRouteDlsym where the
// call should go and jumps there with the caller's return address still on
// the stack.
// ---------------------------------------------------------------------------

extern "C" __attribute__((visibility("hidden"))) void* SnaptraceAnswerDlsym(void* handle, const char* name) {
  using namespace snaptrace;
  const int index = IndexOf(name);
  DlsymFunc lookup = RealDlsym();
  if (!lookup) return nullptr;
  // This library comes first in the default scope; the real answer is the
  // next one.
  void* found = lookup(handle == RTLD_DEFAULT ? RTLD_NEXT : handle, name);
  // The main program's handle reaches this library too.
  if (found && IsOwnDefinition(found)) found = lookup(RTLD_NEXT, name);
  if (index < 0 || static_cast<Hooked>(index) == Hooked::kDlsym) {
    return index < 0 ? found : (found ? OwnDefinition(index) : nullptr);
  }
  return Substitute(index, found);
}

extern "C" __attribute__((visibility("hidden"))) void* SnaptraceRouteDlsym(void* handle, const char* name,
                                                                           void* caller) {
  using namespace snaptrace;
  DlsymFunc real = RealDlsym();
  if (!real) return reinterpret_cast<void*>(&AnswerNothing);
  if (handle == RTLD_NEXT || IndexOf(name) < 0 || CalledFromGlLibrary(caller)) {
    return reinterpret_cast<void*>(real);
  }
  return reinterpret_cast<void*>(&SnaptraceAnswerDlsym);
}

#if defined(__x86_64__)
// dlsym(handle, name): the arguments are kept across the call of the
// router, the stack stays 16-byte aligned for it, and the jump leaves the
// game's return address where the real dlsym looks for it.
asm(R"(
    .text
    .globl dlsym
    .type dlsym, @function
    .p2align 4
dlsym:
    .cfi_startproc
    endbr64
    pushq %rdi
    .cfi_adjust_cfa_offset 8
    pushq %rsi
    .cfi_adjust_cfa_offset 8
    movq 16(%rsp), %rdx
    subq $8, %rsp
    .cfi_adjust_cfa_offset 8
    call SnaptraceRouteDlsym
    addq $8, %rsp
    .cfi_adjust_cfa_offset -8
    popq %rsi
    .cfi_adjust_cfa_offset -8
    popq %rdi
    .cfi_adjust_cfa_offset -8
    jmp *%rax
    .cfi_endproc
    .size dlsym, .-dlsym
)");
#else
// Elsewhere the real dlsym sees this library as the caller: RTLD_NEXT then
// searches after this library, which differs only for another preloaded
// library that looks up its own names.
extern "C" SNAPTRACE_EXPORT void* dlsym(void* handle, const char* name) noexcept {
  auto route = reinterpret_cast<snaptrace::DlsymFunc>(
      SnaptraceRouteDlsym(handle, name, __builtin_return_address(0)));
  return route(handle, name);
}
#endif

// ---------------------------------------------------------------------------
// The redirected functions
// ---------------------------------------------------------------------------

extern "C" {

SNAPTRACE_EXPORT void glXSwapBuffers(Display* display, GLXDrawable drawable) {
  auto real = reinterpret_cast<snaptrace::GlxSwapBuffersFunc>(snaptrace::RealFunction(snaptrace::Hooked::kGlxSwapBuffers));
  if (!real) return;
  snaptrace::Presentation presentation;
  presentation.display = display;
  presentation.surface = static_cast<uintptr_t>(drawable);
  snaptrace::BeforePresent(presentation);
  real(display, drawable);
}

SNAPTRACE_EXPORT void glFinish(void) {
  auto real = reinterpret_cast<snaptrace::GlFinishFunc>(snaptrace::RealFunction(snaptrace::Hooked::kGlFinish));
  if (!real) return;
  snaptrace::BeforePresent(snaptrace::Presentation{});
  real();
}

SNAPTRACE_EXPORT EGLBoolean eglSwapBuffers(EGLDisplay display, EGLSurface surface) {
  auto real = reinterpret_cast<snaptrace::EglSwapBuffersFunc>(snaptrace::RealFunction(snaptrace::Hooked::kEglSwapBuffers));
  if (!real) return EGL_FALSE;
  snaptrace::Presentation presentation;
  presentation.egl = true;
  presentation.display = display;
  presentation.surface = reinterpret_cast<uintptr_t>(surface);
  snaptrace::BeforePresent(presentation);
  return real(display, surface);
}

SNAPTRACE_EXPORT __GLXextFuncPtr glXGetProcAddressARB(const GLubyte* name) {
  using namespace snaptrace;
  auto real = reinterpret_cast<GlxGetProcAddressFunc>(RealFunction(Hooked::kGlxGetProcAddressArb));
  if (!real) real = reinterpret_cast<GlxGetProcAddressFunc>(RealFunction(Hooked::kGlxGetProcAddress));
  if (!real) return nullptr;
  void* found = reinterpret_cast<void*>(real(name));
  return reinterpret_cast<__GLXextFuncPtr>(Substitute(IndexOf(reinterpret_cast<const char*>(name)), found));
}

SNAPTRACE_EXPORT void (*glXGetProcAddress(const GLubyte* name))(void) {
  using namespace snaptrace;
  auto real = reinterpret_cast<GlxGetProcAddressFunc>(RealFunction(Hooked::kGlxGetProcAddress));
  if (!real) real = reinterpret_cast<GlxGetProcAddressFunc>(RealFunction(Hooked::kGlxGetProcAddressArb));
  if (!real) return nullptr;
  void* found = reinterpret_cast<void*>(real(name));
  return reinterpret_cast<void (*)(void)>(Substitute(IndexOf(reinterpret_cast<const char*>(name)), found));
}

SNAPTRACE_EXPORT __eglMustCastToProperFunctionPointerType eglGetProcAddress(const char* name) {
  using namespace snaptrace;
  auto real = reinterpret_cast<EglGetProcAddressFunc>(RealFunction(Hooked::kEglGetProcAddress));
  if (!real) return nullptr;
  void* found = reinterpret_cast<void*>(real(name));
  return reinterpret_cast<__eglMustCastToProperFunctionPointerType>(Substitute(IndexOf(name), found));
}

SNAPTRACE_EXPORT void glXDestroyContext(Display* display, GLXContext context) {
  auto real = reinterpret_cast<snaptrace::GlxDestroyContextFunc>(
      snaptrace::RealFunction(snaptrace::Hooked::kGlxDestroyContext));
  snaptrace::ForgetContext(false, context);
  if (real) real(display, context);
}

SNAPTRACE_EXPORT EGLBoolean eglDestroyContext(EGLDisplay display, EGLContext context) {
  auto real = reinterpret_cast<snaptrace::EglDestroyContextFunc>(
      snaptrace::RealFunction(snaptrace::Hooked::kEglDestroyContext));
  snaptrace::ForgetContext(true, context);
  return real ? real(display, context) : EGL_FALSE;
}

SNAPTRACE_EXPORT EGLBoolean eglTerminate(EGLDisplay display) {
  auto real = reinterpret_cast<snaptrace::EglTerminateFunc>(snaptrace::RealFunction(snaptrace::Hooked::kEglTerminate));
  snaptrace::ForgetDisplay(display);
  return real ? real(display) : EGL_FALSE;
}

}  // extern "C"

namespace snaptrace {

void* OwnDefinition(int index) {
  switch (static_cast<Hooked>(index)) {
    case Hooked::kGlxSwapBuffers:
      return reinterpret_cast<void*>(&glXSwapBuffers);
    case Hooked::kGlFinish:
      return reinterpret_cast<void*>(&glFinish);
    case Hooked::kEglSwapBuffers:
      return reinterpret_cast<void*>(&eglSwapBuffers);
    case Hooked::kGlxGetProcAddress:
      return reinterpret_cast<void*>(&glXGetProcAddress);
    case Hooked::kGlxGetProcAddressArb:
      return reinterpret_cast<void*>(&glXGetProcAddressARB);
    case Hooked::kEglGetProcAddress:
      return reinterpret_cast<void*>(&eglGetProcAddress);
    case Hooked::kGlxDestroyContext:
      return reinterpret_cast<void*>(&glXDestroyContext);
    case Hooked::kEglDestroyContext:
      return reinterpret_cast<void*>(&eglDestroyContext);
    case Hooked::kEglTerminate:
      return reinterpret_cast<void*>(&eglTerminate);
    case Hooked::kDlsym:
      return reinterpret_cast<void*>(&dlsym);
    case Hooked::kCount:
      break;
  }
  return nullptr;
}

}  // namespace snaptrace

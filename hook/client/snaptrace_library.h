// libsnaptrace.so loaded at run time and its entry points bound by name.
//
// The studio never links the library: it is loaded with dlopen
// (RTLD_LOCAL, so its GL definitions stay out of the studio's own lookups)
// and unloaded when capture stops. Used by one thread at a time.
#pragma once

#include <string>

#include "hook/lib/snaptrace_api.h"

namespace corvalind {

inline constexpr const char* kSnaptraceLibraryFile = "libsnaptrace.so";

class SnaptraceLibrary {
 public:
  SnaptraceLibrary() = default;
  ~SnaptraceLibrary();
  SnaptraceLibrary(const SnaptraceLibrary&) = delete;
  SnaptraceLibrary& operator=(const SnaptraceLibrary&) = delete;

  // Loads the file at `path` and binds the five entry points. False, with
  // nothing held, when the file cannot be loaded or lacks one of them.
  bool Load(const std::string& path);
  // Unloads; safe when nothing is loaded.
  void Unload();
  bool Loaded() const { return handle_ != nullptr; }

  SnaptraceSetupSharedMemoryFunc setupSharedMemory = nullptr;
  SnaptraceGetSharedMemoryFunc getSharedMemory = nullptr;
  SnaptraceSetSharedMemoryFunc setSharedMemory = nullptr;
  SnaptraceInstallHookFunc installHook = nullptr;
  SnaptraceRemoveHookFunc removeHook = nullptr;

 private:
  void* handle_ = nullptr;
};

}  // namespace corvalind

#include "hook/client/snaptrace_library.h"

#include <dlfcn.h>

namespace corvalind {

namespace {

template <typename T>
bool Bind(void* handle, const char* name, T* function) {
  *function = reinterpret_cast<T>(dlsym(handle, name));
  return *function != nullptr;
}

}  // namespace

SnaptraceLibrary::~SnaptraceLibrary() { Unload(); }

bool SnaptraceLibrary::Load(const std::string& path) {
  Unload();
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) return false;
  const bool bound = Bind(handle_, "SetupSharedMemory", &setupSharedMemory) &&
                     Bind(handle_, "GetSharedMemory", &getSharedMemory) &&
                     Bind(handle_, "SetSharedMemory", &setSharedMemory) &&
                     Bind(handle_, "InstallHook", &installHook) && Bind(handle_, "RemoveHook", &removeHook);
  if (!bound) Unload();
  return bound;
}

void SnaptraceLibrary::Unload() {
  if (handle_) dlclose(handle_);
  handle_ = nullptr;
  setupSharedMemory = nullptr;
  getSharedMemory = nullptr;
  setSharedMemory = nullptr;
  installHook = nullptr;
  removeHook = nullptr;
}

}  // namespace corvalind

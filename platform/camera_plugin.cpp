#include "platform/camera_plugin.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace corvalind {

namespace {

constexpr const char* kCameraPluginFile = "libgstcorvalindcam.so";

bool IsRegularFile(const std::filesystem::path& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

std::string CameraPluginFolderBesideProgram() {
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  const std::filesystem::path top = program.parent_path().parent_path();
  for (const char* relative : {"lib/gstreamer-1.0", CORVALIND_INSTALL_LIBDIR "/gstreamer-1.0"}) {
    const std::filesystem::path folder = (top / relative).lexically_normal();
    if (IsRegularFile(folder / kCameraPluginFile)) return folder.string();
  }
  return {};
}

std::string UseCameraPluginBesideProgram() {
  const std::string folder = CameraPluginFolderBesideProgram();
  if (folder.empty()) return {};
  std::string path = folder;
  if (const char* before = std::getenv("GST_PLUGIN_PATH"); before != nullptr && *before != '\0') {
    path += ":";
    path += before;
  }
  if (setenv("GST_PLUGIN_PATH", path.c_str(), 1) != 0) return {};
  return folder;
}

}  // namespace corvalind

// Camera tests run with a temporary home and config folder, their own
// GStreamer registry, and the plugin from the build tree.
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#ifdef CORVALIND_SANITIZED
// GLib and GStreamer keep their type system, registry and caches for the
// life of the process; the leak checker would report them at every exit.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
// GLib and GStreamer are not built for the race detector, which cannot see
// their locks: it would report their own allocations and releases on
// different streaming threads as races. Races in the camera's code and in
// the tests are still reported.
extern "C" const char* __tsan_default_options() { return "ignore_noninstrumented_modules=1"; }
#endif

int main(int argc, char** argv) {
  const std::filesystem::path root = std::filesystem::temp_directory_path() /
                                     ("corvalind-vcam-" + std::to_string(getpid()));
  std::filesystem::create_directories(root / "config");
  std::filesystem::create_directories(root / "runtime");
  setenv("HOME", root.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (root / "runtime").c_str(), 1);
  setenv("GST_PLUGIN_PATH", CORVALIND_PLUGIN_DIR, 1);
  setenv("GST_REGISTRY", (root / "registry.bin").c_str(), 1);
  setenv("GST_REGISTRY_FORK", "no", 1);
  gst_init(&argc, &argv);
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  std::filesystem::remove_all(root);
  return result;
}

// Camera tests run with a temporary home and config folder, their own
// GStreamer registry, and the plugin from the build tree.
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "test_support/test_home.h"

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
  corvalind::testing::TemporaryHome home("corvalind-vcam");
  setenv("GST_PLUGIN_PATH", CORVALIND_PLUGIN_DIR, 1);
  setenv("GST_REGISTRY", (home.Root() / "registry.bin").c_str(), 1);
  setenv("GST_REGISTRY_FORK", "no", 1);
  gst_init(&argc, &argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

// The main of the Reelforge test programs: a private home and GStreamer
// registry, the build's camera element, the machine's own capture devices
// hidden and the fake cameras registered in their place.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "capture/media_toolkit.h"
#include "capture/tests/fake_cameras.h"
#include "test_support/test_home.h"

#ifdef CORVALIND_SANITIZED
// GLib and GStreamer keep their type system, registry and caches for the
// life of the process; the leak checker would report them at every exit.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
// GLib and GStreamer are not built for the race detector, which cannot see
// their locks; races in our code are still reported.
extern "C" const char* __tsan_default_options() { return "ignore_noninstrumented_modules=1"; }
#endif

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  corvalind::testing::TemporaryHome home("corvalind-reelforge-tests");
  setenv("GST_REGISTRY", (home.Root() / "registry.bin").c_str(), 1);
  setenv("GST_PLUGIN_PATH", CORVALIND_PLUGIN_DIR, 1);
  // Plugins load in this process, so a sanitized build's plugin finds its
  // runtime.
  setenv("GST_REGISTRY_FORK", "no", 1);
  corvalind::testing::HideOtherDeviceProviders();
  if (!corvalind::InitMediaToolkit() || !corvalind::testing::RegisterFakeCameras()) {
    std::fprintf(stderr, "GStreamer or the fake cameras could not be set up\n");
    return 1;
  }
  return RUN_ALL_TESTS();
}

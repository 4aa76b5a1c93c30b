// The player's tests run with a temporary home and config folder (the
// camera reads its settings there), their own GStreamer registry with the
// build's camera plugin, and Qt on a private Xvfb, so the overlay sink has
// a real X server to draw on and the user's screen is never touched.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "player/tests/player_test_support.h"
#include "test_support/test_home.h"
#include "test_support/xvfb.h"

#ifdef CORVALIND_SANITIZED
// GLib, GStreamer and Qt keep their type systems, registries and caches for
// the life of the process; the leak checker would report them at every exit.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
// GLib, GStreamer, Qt and Xlib are not built for the race detector, which
// cannot see their locks; races in the player's code and the tests are
// still reported.
extern "C" const char* __tsan_default_options() { return "ignore_noninstrumented_modules=1"; }
#endif

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Test discovery only lists the tests: no server needed.
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  corvalind::testing::TemporaryHome home("corvalind-player");
  setenv("GST_PLUGIN_PATH", CORVALIND_PLUGIN_DIR, 1);
  setenv("GST_REGISTRY", (home.Root() / "registry.bin").c_str(), 1);
  // Plugins load in this process, so a sanitized build's plugin finds its
  // runtime.
  setenv("GST_REGISTRY_FORK", "no", 1);
  corvalind::testing::PrivateXServer server;
  if (!server.Start(corvalind::testing::kPlayerScreenWidth, corvalind::testing::kPlayerScreenHeight)) {
    std::fprintf(stderr, "player_tests: cannot start Xvfb\n");
    return 1;
  }
  setenv("DISPLAY", server.DisplayName().c_str(), 1);
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  unsetenv("WAYLAND_DISPLAY");
  QApplication app(argc, argv);
  gst_init(&argc, &argv);
  return RUN_ALL_TESTS();
}

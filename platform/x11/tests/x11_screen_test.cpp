// The X11 screen behind desktop capture, against a private Xvfb server:
// bounds, screen copies byte for byte, clipping at the screen edge and the
// XFixes cursor at its hot spot.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/messages.h"
#include "engine/source_slot.h"
#include "engine/sources/desktop_capture.h"
#include "platform/x11/x11_screen.h"
#include "test_support/frames.h"
#include "test_support/test_home.h"
#include "test_support/xvfb.h"

namespace corvalind {
namespace {

using testing::FramePixel;
using testing::ReadSlot;
using testing::SlotPicture;
using testing::WaitFor;

std::string gDisplayName;  // the private Xvfb
constexpr int kXvfbWidth = 640;
constexpr int kXvfbHeight = 480;

using CapturerTest = testing::TestSlotsFixture;

// ---------------------------------------------------------------------------
// The X11 screen on the private Xvfb

std::vector<std::string> gStatusTexts;
void RecordStatus(std::string_view text) { gStatusTexts.emplace_back(text); }

TEST(DesktopNoDisplayTest, MissingDisplayReportsInsteadOfCrashing) {
  EXPECT_EQ(OpenX11Screen(":4093"), nullptr);
  gStatusTexts.clear();
  const StatusTextHandler previous = SetStatusTextHandler(&RecordStatus);
  {
    DesktopCapturer capturer(0, OpenX11Screen(":4093"), DesktopCaptureSettings{});
    EXPECT_FALSE(capturer.Start());
    EXPECT_FALSE(capturer.Alive());
    capturer.Stop();
  }
  SetStatusTextHandler(previous);
  ASSERT_EQ(gStatusTexts.size(), 1u);
  EXPECT_NE(gStatusTexts[0].find("no display"), std::string::npos);
}

class X11CaptureTest : public CapturerTest {
 protected:
  void SetUp() override {
    CapturerTest::SetUp();
    display_ = XOpenDisplay(gDisplayName.c_str());
    ASSERT_NE(display_, nullptr);
  }
  void TearDown() override {
    if (display_) XCloseDisplay(display_);
    CapturerTest::TearDown();
  }

  // Paints a w x h picture at (x, y) of the root window: pixel value
  // R = 3x + y, G = x ^ y, B = 255 - x (low bytes).
  void PaintRoot(int x0, int y0, int w, int h) {
    const int screen = DefaultScreen(display_);
    XImage* image = XCreateImage(display_, DefaultVisual(display_, screen), DefaultDepth(display_, screen),
                                 ZPixmap, 0, nullptr, w, h, 32, 0);
    ASSERT_NE(image, nullptr);
    image->data = static_cast<char*>(std::malloc(static_cast<std::size_t>(image->bytes_per_line) * h));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) XPutPixel(image, x, y, Expected(x, y));
    GC gc = DefaultGC(display_, screen);
    XPutImage(display_, DefaultRootWindow(display_), gc, image, 0, 0, x0, y0, w, h);
    XSync(display_, False);
    XDestroyImage(image);
  }
  static unsigned long Expected(int x, int y) {
    const unsigned long r = (3 * x + y) & 0xff, g = (x ^ y) & 0xff, b = (255 - x) & 0xff;
    return (r << 16) | (g << 8) | b;
  }

  Display* display_ = nullptr;
};

TEST_F(X11CaptureTest, BoundsAreTheXvfbScreen) {
  auto screen = OpenX11Screen(gDisplayName.c_str());
  ASSERT_NE(screen, nullptr);
  const DesktopBounds bounds = screen->Bounds();
  EXPECT_EQ(bounds.desktopWidth, kXvfbWidth);
  EXPECT_EQ(bounds.desktopHeight, kXvfbHeight);
  EXPECT_EQ(bounds.primaryWidth, kXvfbWidth);
  EXPECT_EQ(bounds.primaryHeight, kXvfbHeight);
}

TEST_F(X11CaptureTest, PictureOnTheRootComesBackByteForByte) {
  PaintRoot(100, 60, 90, 70);
  // Odd sizes: packed rows without padding must still line up.
  struct Case {
    const char* name;
    CaptureRect area;
  };
  const Case cases[] = {{"inside", {110, 65, 171, 124}}, {"odd width", {100, 60, 163, 61}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DesktopCaptureSettings settings;
    settings.mode = kCaptureArea;
    settings.area = c.area;
    settings.showCursor = false;
    DesktopCapturer capturer(3, OpenX11Screen(gDisplayName.c_str()), settings, &DeliverToTestSlots,
                             &format_);
    ASSERT_TRUE(capturer.Start());
    ASSERT_TRUE(WaitFor([&] { return capturer.FramesDelivered() > 0; }));
    capturer.Stop();
    const SlotPicture picture = ReadSlot(*table_, 3);
    const int w = c.area.Width(), h = c.area.Height();
    ASSERT_EQ(picture.width, w);
    ASSERT_EQ(picture.height, h);
    std::vector<uint8_t> expected(static_cast<std::size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const unsigned long pixel = Expected(c.area.left - 100 + x, c.area.top - 60 + y);
        uint8_t* p = &expected[(static_cast<std::size_t>(h - 1 - y) * w + x) * 3];
        p[0] = pixel & 0xff;
        p[1] = (pixel >> 8) & 0xff;
        p[2] = (pixel >> 16) & 0xff;
      }
    EXPECT_EQ(picture.pixels, expected);
  }
}

TEST_F(X11CaptureTest, AreaPastTheScreenEdgeIsClippedToBlack) {
  PaintRoot(600, 440, 40, 40);
  DesktopCaptureSettings settings;
  settings.mode = kCaptureArea;
  settings.area = {620, 460, 660, 500};  // half outside on both axes
  settings.showCursor = false;
  DesktopCapturer capturer(3, OpenX11Screen(gDisplayName.c_str()), settings, &DeliverToTestSlots,
                           &format_);
  ASSERT_TRUE(capturer.Start());
  ASSERT_TRUE(WaitFor([&] { return capturer.FramesDelivered() > 0; }));
  capturer.Stop();
  const SlotPicture picture = ReadSlot(*table_, 3);
  ASSERT_EQ(picture.width, 40);
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 40; ++x) {
      const uint8_t* p = FramePixel(picture.pixels, 40, 40, x, y);
      const unsigned long pixel = (x < 20 && y < 20) ? Expected(20 + x, 20 + y) : 0;
      ASSERT_EQ(p[0], pixel & 0xff) << x << "," << y;
      ASSERT_EQ(p[2], (pixel >> 16) & 0xff) << x << "," << y;
    }
}

TEST_F(X11CaptureTest, CursorFromXFixesIsDrawnAtItsHotSpot) {
  int eventBase = 0, errorBase = 0;
  if (!XFixesQueryExtension(display_, &eventBase, &errorBase)) GTEST_SKIP() << "no XFixes";
  const Window root = DefaultRootWindow(display_);
  // A 16 x 16 solid white cursor with its hot spot at (4, 6), over a
  // black root.
  XSetWindowBackground(display_, root, BlackPixel(display_, DefaultScreen(display_)));
  XClearWindow(display_, root);
  char bits[32];
  std::memset(bits, 0xff, sizeof bits);
  Pixmap source = XCreateBitmapFromData(display_, root, bits, 16, 16);
  XColor white{}, black{};
  white.red = white.green = white.blue = 0xffff;
  Cursor cursor = XCreatePixmapCursor(display_, source, source, &white, &black, 4, 6);
  XDefineCursor(display_, root, cursor);
  XWarpPointer(display_, 0, root, 0, 0, 0, 0, 300, 200);
  XSync(display_, False);

  auto probe = OpenX11Screen(gDisplayName.c_str());
  CursorImage image;
  if (!probe->Cursor(&image) || image.width != 16 || image.hotX != 4)
    GTEST_SKIP() << "this X server does not report the defined cursor";
  EXPECT_EQ(image.x, 300);
  EXPECT_EQ(image.y, 200);
  EXPECT_EQ(image.hotY, 6);

  for (bool show : {true, false}) {
    SCOPED_TRACE(show ? "show mouse" : "no mouse");
    DesktopCaptureSettings settings;
    settings.mode = kCaptureArea;
    settings.area = {280, 180, 320, 220};
    settings.showCursor = show;
    DesktopCapturer capturer(3, OpenX11Screen(gDisplayName.c_str()), settings, &DeliverToTestSlots,
                             &format_);
    ASSERT_TRUE(capturer.Start());
    ASSERT_TRUE(WaitFor([&] { return capturer.FramesDelivered() > 0; }));
    capturer.Stop();
    const SlotPicture picture = ReadSlot(*table_, 3);
    ASSERT_EQ(picture.width, 40);
    // The cursor covers desktop (296..311, 194..209): frame (16..31, 14..29).
    int white = 0;
    for (int y = 0; y < 40; ++y)
      for (int x = 0; x < 40; ++x) {
        const uint8_t* p = FramePixel(picture.pixels, 40, 40, x, y);
        const bool inCursor = show && x >= 16 && x < 32 && y >= 14 && y < 30;
        ASSERT_EQ(p[0], inCursor ? 255 : 0) << x << "," << y;
        white += p[0] == 255;
      }
    EXPECT_EQ(white, show ? 256 : 0);
  }
  XUndefineCursor(display_, root);
  XFreeCursor(display_, cursor);
  XFreePixmap(display_, source);
  XSync(display_, False);
}

}  // namespace
}  // namespace corvalind

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Test discovery only lists the tests: no server needed. (InitGoogleTest
  // has taken its flags out of argv by now.)
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  corvalind::testing::TemporaryHome home("corvalind-x11");
  corvalind::testing::PrivateXServer server;
  if (!server.Start(corvalind::kXvfbWidth, corvalind::kXvfbHeight)) {
    std::fprintf(stderr, "x11_tests: cannot start Xvfb\n");
    return 1;
  }
  corvalind::gDisplayName = server.DisplayName();
  setenv("DISPLAY", server.DisplayName().c_str(), 1);
  return RUN_ALL_TESTS();
}

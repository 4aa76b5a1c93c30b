// Desktop capture: the rectangle maths and clipping, the pixel conversion
// and cursor blending, the capturer's loop against a fake screen, the X11
// screen against a private Xvfb server, and the "Capture Desktop" form.
//
// main() starts its own Xvfb on a free display number and points DISPLAY,
// HOME and the XDG folders of this process at it and at a temporary folder;
// the real screen and the user's files are never touched.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

// X11 after Qt: its macros clash with Qt's headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/messages.h"
#include "engine/source_slot.h"
#include "studio/desktop_capture.h"
#include "studio/desktop_form.h"
#include "studio/x11_screen.h"

namespace corvalind {
namespace {

std::string gDisplayName;  // the private Xvfb, e.g. ":97"
constexpr int kXvfbWidth = 640;
constexpr int kXvfbHeight = 480;

// Waits until `done` holds, up to `timeout`.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// ---------------------------------------------------------------------------
// Rectangles and clipping

TEST(DesktopBoundsTest, SecondDisplayWidensDesktopToTallerHeight) {
  const CaptureSize second{1280, 1024};
  const DesktopBounds two = MeasureDesktopBounds({1920, 1080}, &second);
  EXPECT_EQ(two.desktopWidth, 3200);
  EXPECT_EQ(two.desktopHeight, 1080);
  EXPECT_EQ(two.primaryWidth, 1920);
  EXPECT_EQ(two.primaryHeight, 1080);

  const CaptureSize tall{800, 1200};
  const DesktopBounds tallSecond = MeasureDesktopBounds({1024, 768}, &tall);
  EXPECT_EQ(tallSecond.desktopWidth, 1824);
  EXPECT_EQ(tallSecond.desktopHeight, 1200);

  const DesktopBounds one = MeasureDesktopBounds({1920, 1080}, nullptr);
  EXPECT_EQ(one.desktopWidth, 1920);
  EXPECT_EQ(one.desktopHeight, 1080);
}

TEST(DesktopRectTest, ModesGiveSizeAndRectangle) {
  const CaptureSize second{1280, 1024};
  const DesktopBounds twoDisplays = MeasureDesktopBounds({1920, 1080}, &second);
  DesktopBounds offsetPrimary = twoDisplays;
  offsetPrimary.primaryLeft = 1280;
  offsetPrimary.primaryTop = 16;
  struct Case {
    const char* name;
    int mode;
    DesktopBounds bounds;
    CaptureRect area;
    int cursorX, cursorY;
    int outputWidth, outputHeight;
    CaptureSize size;
    CaptureRect rect;
  };
  const Case cases[] = {
      {"fullscreen is the primary display", 0, twoDisplays, {5, 5, 50, 50}, 3000, 900, 640, 480,
       {1920, 1080}, {0, 0, 1920, 1080}},
      {"fullscreen where the primary display lies", 0, offsetPrimary, {}, 0, 0, 640, 480,
       {1920, 1080}, {1280, 16, 3200, 1096}},
      {"unknown mode counts as fullscreen", 7, twoDisplays, {}, 0, 0, 640, 480, {1920, 1080},
       {0, 0, 1920, 1080}},
      {"area", 1, twoDisplays, {100, 50, 420, 290}, 0, 0, 640, 480, {320, 240}, {100, 50, 420, 290}},
      {"area right left of left becomes 10 wide", 1, twoDisplays, {100, 100, 50, 300}, 0, 0, 640,
       480, {10, 200}, {100, 100, 110, 300}},
      {"area bottom above top becomes 10 high", 1, twoDisplays, {0, 300, 64, 100}, 0, 0, 640, 480,
       {64, 10}, {0, 300, 64, 310}},
      {"empty area stays empty", 1, twoDisplays, {30, 30, 30, 90}, 0, 0, 640, 480, {0, 60},
       {30, 30, 30, 90}},
      {"huge area is limited", 1, twoDisplays, {-1000000, 0, 1000000, 10}, 0, 0, 640, 480,
       {kMaxCaptureSide, 10}, {-1000000, 0, -1000000 + kMaxCaptureSide, 10}},
      {"mouse area near the right edge", 2, twoDisplays, {}, 3190, 10, 640, 480, {640, 480},
       {2560, 0, 3200, 480}},
      {"mouse area centred on the cursor", 2, twoDisplays, {}, 1000, 500, 640, 480, {640, 480},
       {680, 260, 1320, 740}},
      {"mouse area near the top-left corner", 2, twoDisplays, {}, 5, 7, 320, 180, {320, 180},
       {0, 0, 320, 180}},
      {"mouse area at the bottom edge", 2, twoDisplays, {}, 1500, 1079, 640, 480, {640, 480},
       {1180, 600, 1820, 1080}},
      {"mouse area larger than the desktop", 2, MeasureDesktopBounds({300, 200}, nullptr), {}, 150,
       100, 640, 480, {640, 480}, {-340, -280, 300, 200}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CaptureSize size = CaptureSizeFor(c.mode, c.bounds, c.area, c.outputWidth, c.outputHeight);
    EXPECT_EQ(size, c.size);
    const CaptureRect rect = CaptureRectFor(c.mode, size, c.area, c.cursorX, c.cursorY, c.bounds);
    EXPECT_EQ(rect, c.rect) << rect.left << "," << rect.top << "," << rect.right << "," << rect.bottom;
  }
}

TEST(DesktopRectTest, ClipsToTheDesktop) {
  const CaptureSize second{1280, 1024};
  const DesktopBounds bounds = MeasureDesktopBounds({1920, 1080}, &second);
  struct Case {
    const char* name;
    CaptureRect rect;
    CaptureRect clipped;
  };
  const Case cases[] = {
      {"inside", {10, 20, 110, 220}, {10, 20, 110, 220}},
      {"left and top outside", {-50, -30, 100, 100}, {0, 0, 100, 100}},
      {"right and bottom outside", {3100, 1000, 3300, 1200}, {3100, 1000, 3200, 1080}},
      {"larger than the desktop", {-1, -1, 4000, 2000}, {0, 0, 3200, 1080}},
      {"wholly right of the desktop", {3200, 0, 3300, 100}, {}},
      {"wholly above the desktop", {0, -200, 100, -10}, {}},
      {"empty", {100, 100, 100, 200}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ClipToDesktop(c.rect, bounds), c.clipped);
  }
}

// ---------------------------------------------------------------------------
// Pixels

// The frame pixel at top-down (x, y) of a bottom-up BGR frame.
const uint8_t* FramePixel(const std::vector<uint8_t>& frame, int width, int height, int x, int y) {
  return frame.data() + (static_cast<std::size_t>(height - 1 - y) * width + x) * 3;
}

TEST(DesktopPixelTest, CopiesBgrxImageBottomUp) {
  // 3 x 2 image, 32-bit little-endian BGRX with 4 bytes of row padding.
  const int bytesPerLine = 16;
  std::vector<uint8_t> data(bytesPerLine * 2, 0xEE);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) {
      uint8_t* p = &data[y * bytesPerLine + x * 4];
      p[0] = static_cast<uint8_t>(10 * x + y);        // blue
      p[1] = static_cast<uint8_t>(100 + 10 * x + y);  // green
      p[2] = static_cast<uint8_t>(200 + 10 * x + y);  // red
      p[3] = 0x77;
    }
  ImageView image;
  image.data = data.data();
  image.width = 3;
  image.height = 2;
  image.bytesPerLine = bytesPerLine;

  // Exactly the frame: packed rows, bottom row first.
  std::vector<uint8_t> frame(3 * 2 * 3, 0x55);
  ASSERT_TRUE(CopyToFrameBottomUp(image, frame.data(), 3, 2, 0, 0));
  const std::vector<uint8_t> expected = {
      1, 101, 201, 11, 111, 211, 21, 121, 221,  // bottom row (image row 1)
      0, 100, 200, 10, 110, 210, 20, 120, 220,  // top row
  };
  EXPECT_EQ(frame, expected);

  // Placed at (2, 1) in a 4 x 3 frame: what falls outside is dropped and
  // the rest of the frame keeps its content.
  std::vector<uint8_t> larger(4 * 3 * 3, 0x55);
  ASSERT_TRUE(CopyToFrameBottomUp(image, larger.data(), 4, 3, 2, 1));
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) {
      SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
      const uint8_t* p = FramePixel(larger, 4, 3, x, y);
      if (y >= 1 && x >= 2) {
        const int ix = x - 2, iy = y - 1;
        EXPECT_EQ(p[0], 10 * ix + iy);
        EXPECT_EQ(p[1], 100 + 10 * ix + iy);
        EXPECT_EQ(p[2], 200 + 10 * ix + iy);
      } else {
        EXPECT_EQ(p[0], 0x55);
        EXPECT_EQ(p[2], 0x55);
      }
    }

  // Negative offsets drop the image's first rows and columns.
  std::vector<uint8_t> shifted(2 * 1 * 3, 0);
  ASSERT_TRUE(CopyToFrameBottomUp(image, shifted.data(), 2, 1, -1, -1));
  EXPECT_EQ(shifted, (std::vector<uint8_t>{11, 111, 211, 21, 121, 221}));
}

TEST(DesktopPixelTest, ReadsOtherPixelLayoutsByTheirMasks) {
  // 24-bit pixels, most significant byte first, red in the low byte.
  const std::vector<uint8_t> data = {0x11, 0x22, 0x33, 0xA0, 0xB0, 0xC0};
  ImageView image;
  image.data = data.data();
  image.width = 2;
  image.height = 1;
  image.bytesPerLine = 6;
  image.bitsPerPixel = 24;
  image.msbFirst = true;
  image.redMask = 0x0000ff;
  image.greenMask = 0x00ff00;
  image.blueMask = 0xff0000;
  std::vector<uint8_t> frame(6, 0);
  ASSERT_TRUE(CopyToFrameBottomUp(image, frame.data(), 2, 1, 0, 0));
  EXPECT_EQ(frame, (std::vector<uint8_t>{0x11, 0x22, 0x33, 0xA0, 0xB0, 0xC0}));

  // 16-bit pixels are not supported: nothing is written.
  image.bitsPerPixel = 16;
  std::vector<uint8_t> untouched(6, 0x42);
  EXPECT_FALSE(CopyToFrameBottomUp(image, untouched.data(), 2, 1, 0, 0));
  EXPECT_EQ(untouched, std::vector<uint8_t>(6, 0x42));
}

CursorImage TestCursor() {
  // 3 x 2: opaque red, half-transparent premultiplied white, transparent /
  // opaque green, opaque blue, transparent. Hot spot at (1, 1).
  CursorImage cursor;
  cursor.width = 3;
  cursor.height = 2;
  cursor.hotX = 1;
  cursor.hotY = 1;
  cursor.argb = {0xFFFF0000, 0x80808080, 0x00000000, 0xFF00FF00, 0xFF0000FF, 0x00000000};
  return cursor;
}

TEST(DesktopPixelTest, BlendsCursorByItsAlpha) {
  const CursorImage cursor = TestCursor();
  const int width = 4, height = 3;
  std::vector<uint8_t> frame(width * height * 3, 100);
  BlendCursor(cursor, frame.data(), width, height, 1, 1);
  struct Expect {
    int x, y;
    uint8_t b, g, r;
  };
  const Expect expects[] = {
      {1, 1, 0, 0, 255},        // opaque red
      {2, 1, 178, 178, 178},    // 128 + 100 * 127 / 255
      {3, 1, 100, 100, 100},    // transparent: untouched
      {1, 2, 0, 255, 0},        // opaque green
      {2, 2, 255, 0, 0},        // opaque blue
      {0, 0, 100, 100, 100},    // outside the cursor
  };
  for (const Expect& e : expects) {
    SCOPED_TRACE(std::to_string(e.x) + "," + std::to_string(e.y));
    const uint8_t* p = FramePixel(frame, width, height, e.x, e.y);
    EXPECT_EQ(p[0], e.b);
    EXPECT_EQ(p[1], e.g);
    EXPECT_EQ(p[2], e.r);
  }

  // Partly outside the frame: the inside part is drawn, nothing else moves.
  std::vector<uint8_t> edge(width * height * 3, 100);
  BlendCursor(cursor, edge.data(), width, height, -1, 2);
  std::vector<uint8_t> expected(width * height * 3, 100);
  expected[(0 * width + 0) * 3 + 0] = 178;  // white half at (0, 2) = bottom row
  expected[(0 * width + 0) * 3 + 1] = 178;
  expected[(0 * width + 0) * 3 + 2] = 178;
  EXPECT_EQ(edge, expected);

  // A cursor whose pixel list is short is ignored rather than over-read.
  CursorImage broken = cursor;
  broken.argb.resize(2);
  std::vector<uint8_t> same(width * height * 3, 100);
  BlendCursor(broken, same.data(), width, height, 0, 0);
  EXPECT_EQ(same, std::vector<uint8_t>(width * height * 3, 100));
}

// ---------------------------------------------------------------------------
// The capturer against a fake screen

// A screen whose pixel at (x, y) is B = x, G = y, R = 0x40 (low bytes), with
// a controllable cursor. Used from the capturer's worker; the test changes
// the cursor under the mutex.
class FakeScreen : public ScreenSource {
 public:
  explicit FakeScreen(DesktopBounds bounds) : bounds_(bounds) {}

  DesktopBounds Bounds() const override { return bounds_; }
  bool CursorPosition(int* x, int* y) override {
    std::lock_guard<std::mutex> guard(mutex_);
    *x = cursor_.x;
    *y = cursor_.y;
    return true;
  }
  bool Grab(const CaptureRect& rect, ImageView* image) override {
    std::lock_guard<std::mutex> guard(mutex_);
    grabs_.push_back(rect);
    pixels_.assign(static_cast<std::size_t>(rect.Width()) * rect.Height() * 4, 0);
    for (int y = 0; y < rect.Height(); ++y)
      for (int x = 0; x < rect.Width(); ++x) {
        uint8_t* p = &pixels_[(static_cast<std::size_t>(y) * rect.Width() + x) * 4];
        p[0] = static_cast<uint8_t>(rect.left + x);
        p[1] = static_cast<uint8_t>(rect.top + y);
        p[2] = 0x40;
      }
    image->data = pixels_.data();
    image->width = rect.Width();
    image->height = rect.Height();
    image->bytesPerLine = rect.Width() * 4;
    return true;
  }
  bool Cursor(CursorImage* cursor) override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!cursorShown_) return false;
    *cursor = cursor_;
    return true;
  }

  void MoveCursor(int x, int y) {
    std::lock_guard<std::mutex> guard(mutex_);
    cursor_.x = x;
    cursor_.y = y;
  }
  void SetCursor(const CursorImage& cursor, bool shown) {
    std::lock_guard<std::mutex> guard(mutex_);
    cursor_ = cursor;
    cursorShown_ = shown;
  }
  std::vector<CaptureRect> Grabs() {
    std::lock_guard<std::mutex> guard(mutex_);
    return grabs_;
  }

 private:
  DesktopBounds bounds_;
  std::mutex mutex_;
  std::vector<uint8_t> pixels_;
  CursorImage cursor_;
  bool cursorShown_ = false;
  std::vector<CaptureRect> grabs_;
};

// Deliveries of the capturer tests go to a table of the test's own.
SourceSlotTable* gTestSlots = nullptr;
void DeliverToTestSlots(bool skip, uint8_t slot, const uint8_t* pixels, uint32_t length, int32_t width,
                        int32_t height) {
  gTestSlots->DeliverFrame(skip, slot, pixels, length, width, height);
}

struct SlotPicture {
  int width = 0;
  int height = 0;
  uint32_t serial = 0;
  std::vector<uint8_t> pixels;
};

SlotPicture ReadSlot(SourceSlotTable& table, int index) {
  SourceSlot* slot = table.Slot(index);
  std::lock_guard<std::mutex> guard(slot->lock);
  SlotPicture picture;
  picture.width = slot->width;
  picture.height = slot->height;
  picture.serial = slot->serial;
  const uint8_t* pixels = slot->TakeFrame();
  picture.pixels.assign(pixels, pixels + static_cast<std::size_t>(picture.width) * picture.height * 3);
  return picture;
}

class CapturerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    table_ = std::make_unique<SourceSlotTable>();
    gTestSlots = table_.get();
    format_.SetSize(64, 48);
    format_.SetFrameRate(60);
  }
  void TearDown() override { gTestSlots = nullptr; }

  // A capturer on a 200 x 100 fake desktop delivering into slot 3.
  std::unique_ptr<DesktopCapturer> Make(const DesktopCaptureSettings& settings, FakeScreen** screen) {
    auto fake = std::make_unique<FakeScreen>(MeasureDesktopBounds({120, 100}, &kSecond));
    *screen = fake.get();
    return std::make_unique<DesktopCapturer>(3, std::move(fake), settings, &DeliverToTestSlots, &format_);
  }

  // Waits for a frame delivered after this call and returns it.
  SlotPicture NextFrame(DesktopCapturer& capturer) {
    const uint64_t after = capturer.FramesDelivered() + 1;
    EXPECT_TRUE(WaitFor([&] { return capturer.FramesDelivered() > after; }));
    return ReadSlot(*table_, 3);
  }

  static constexpr CaptureSize kSecond{80, 60};
  std::unique_ptr<SourceSlotTable> table_;
  OutputFormat format_;
};

TEST_F(CapturerTest, DeliversTheAreaBottomUpWithBlackOutsideTheDesktop) {
  DesktopCaptureSettings settings;
  settings.mode = kCaptureArea;
  settings.area = {-4, 90, 16, 110};  // 20 x 20, partly left of and below the desktop
  settings.showCursor = false;
  FakeScreen* screen = nullptr;
  auto capturer = Make(settings, &screen);
  ASSERT_TRUE(capturer->Start());
  const SlotPicture picture = NextFrame(*capturer);
  capturer->Stop();
  ASSERT_EQ(picture.width, 20);
  ASSERT_EQ(picture.height, 20);
  EXPECT_EQ(screen->Grabs().front(), (CaptureRect{0, 90, 16, 100}));
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 20; ++x) {
      const uint8_t* p = FramePixel(picture.pixels, 20, 20, x, y);
      const int dx = -4 + x, dy = 90 + y;
      const bool onDesktop = dx >= 0 && dy < 100;
      SCOPED_TRACE(std::to_string(dx) + "," + std::to_string(dy));
      ASSERT_EQ(p[0], onDesktop ? dx : 0);
      ASSERT_EQ(p[1], onDesktop ? dy : 0);
      ASSERT_EQ(p[2], onDesktop ? 0x40 : 0);
    }
}

TEST_F(CapturerTest, MouseAreaFollowsTheCursorInsideTheDesktop) {
  DesktopCaptureSettings settings;
  settings.mode = kCaptureMouseArea;
  settings.showCursor = false;
  FakeScreen* screen = nullptr;
  auto capturer = Make(settings, &screen);
  screen->MoveCursor(195, 5);
  ASSERT_TRUE(capturer->Start());
  SlotPicture picture = NextFrame(*capturer);
  EXPECT_EQ(picture.width, 64);
  EXPECT_EQ(picture.height, 48);
  EXPECT_EQ(screen->Grabs().back(), (CaptureRect{136, 0, 200, 48}));
  // The frame's top-left pixel is the desktop's (136, 0).
  EXPECT_EQ(FramePixel(picture.pixels, 64, 48, 0, 0)[0], 136);

  screen->MoveCursor(100, 50);
  picture = NextFrame(*capturer);
  EXPECT_EQ(screen->Grabs().back(), (CaptureRect{68, 26, 132, 74}));
  capturer->Stop();
}

TEST_F(CapturerTest, DrawsTheCursorAtItsHotSpotOnlyWhenShown) {
  CursorImage cursor = TestCursor();
  cursor.x = 30;  // hot spot (1, 1): the cursor image starts at (29, 19)
  cursor.y = 20;
  for (bool show : {true, false}) {
    SCOPED_TRACE(show ? "show mouse" : "no mouse");
    DesktopCaptureSettings settings;
    settings.mode = kCaptureArea;
    settings.area = {10, 10, 50, 40};
    settings.showCursor = show;
    FakeScreen* screen = nullptr;
    auto capturer = Make(settings, &screen);
    screen->SetCursor(cursor, true);
    ASSERT_TRUE(capturer->Start());
    const SlotPicture picture = NextFrame(*capturer);
    capturer->Stop();
    ASSERT_EQ(picture.width, 40);
    // Frame (19, 9) is desktop (29, 19): the cursor's opaque red pixel.
    const uint8_t* red = FramePixel(picture.pixels, 40, 30, 19, 9);
    const uint8_t* blue = FramePixel(picture.pixels, 40, 30, 20, 10);
    if (show) {
      EXPECT_EQ(std::vector<uint8_t>(red, red + 3), (std::vector<uint8_t>{0, 0, 255}));
      EXPECT_EQ(std::vector<uint8_t>(blue, blue + 3), (std::vector<uint8_t>{255, 0, 0}));
    } else {
      EXPECT_EQ(std::vector<uint8_t>(red, red + 3), (std::vector<uint8_t>{29, 19, 0x40}));
      EXPECT_EQ(std::vector<uint8_t>(blue, blue + 3), (std::vector<uint8_t>{30, 20, 0x40}));
    }
    // The pixel left of the cursor is the desktop either way.
    const uint8_t* beside = FramePixel(picture.pixels, 40, 30, 18, 9);
    EXPECT_EQ(std::vector<uint8_t>(beside, beside + 3), (std::vector<uint8_t>{28, 19, 0x40}));
  }
}

TEST_F(CapturerTest, StartAndStopAreSafeTwiceAndCanRestart) {
  DesktopCaptureSettings settings;
  settings.mode = kCaptureFullscreen;
  FakeScreen* screen = nullptr;
  auto capturer = Make(settings, &screen);
  capturer->Stop();  // never started
  EXPECT_FALSE(capturer->Alive());
  ASSERT_TRUE(capturer->Start());
  ASSERT_TRUE(capturer->Start());
  EXPECT_TRUE(WaitFor([&] { return capturer->FramesDelivered() > 1; }));
  EXPECT_TRUE(capturer->Alive());
  EXPECT_EQ(capturer->CaptureWidth(), 120);  // the primary display
  EXPECT_EQ(capturer->CaptureHeight(), 100);
  capturer->Stop();
  capturer->Stop();
  EXPECT_FALSE(capturer->Alive());
  EXPECT_FALSE(capturer->Running());
  const uint64_t stopped = capturer->FramesDelivered();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(capturer->FramesDelivered(), stopped);

  ASSERT_TRUE(capturer->Start());
  EXPECT_TRUE(WaitFor([&] { return capturer->FramesDelivered() > stopped; }));
  // The destructor stops the running loop.
}

TEST_F(CapturerTest, StopWakesTheIntervalSleep) {
  format_.SetFrameRate(1);  // one frame per second
  DesktopCaptureSettings settings;
  FakeScreen* screen = nullptr;
  auto capturer = Make(settings, &screen);
  ASSERT_TRUE(capturer->Start());
  ASSERT_TRUE(WaitFor([&] { return capturer->FramesDelivered() == 1; }));
  const auto start = std::chrono::steady_clock::now();
  capturer->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST_F(CapturerTest, SleepsOneIntervalAfterEveryFrame) {
  format_.SetFrameRate(25);  // 40 ms
  DesktopCaptureSettings settings;
  FakeScreen* screen = nullptr;
  auto capturer = Make(settings, &screen);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(capturer->Start());
  ASSERT_TRUE(WaitFor([&] { return capturer->FramesDelivered() >= 4; }));
  // Four frames need at least three full intervals in between.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(120));
}

TEST_F(CapturerTest, SlotNumbersOutsideTheTableDeliverNowhere) {
  for (int slot : {256, 266, -1, 10}) {
    SCOPED_TRACE(slot);
    auto capturer = std::make_unique<DesktopCapturer>(
        slot, std::make_unique<FakeScreen>(MeasureDesktopBounds({32, 32}, nullptr)),
        DesktopCaptureSettings{}, &DeliverToTestSlots, &format_);
    EXPECT_GE(capturer->Slot(), 10);
    ASSERT_TRUE(capturer->Start());
    ASSERT_TRUE(WaitFor([&] { return capturer->FramesDelivered() > 0; }));
    capturer->Stop();
    for (int i = 0; i < SourceSlotCount; ++i) EXPECT_EQ(table_->Slot(i)->serial.load(), 0u) << i;
  }
}

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

// ---------------------------------------------------------------------------
// The X11 screen on the private Xvfb

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

// ---------------------------------------------------------------------------
// The form

template <typename T>
T* Child(QWidget& parent, const char* id) {
  T* child = parent.findChild<T*>(id);
  EXPECT_NE(child, nullptr) << id;
  return child;
}

TEST(DesktopFormTest, StartsIdleWithTheDefaults) {
  CViewDesktopForm form(4);
  EXPECT_EQ(form.Capturer(), nullptr);
  EXPECT_EQ(form.Mode(), 0);
  EXPECT_EQ(form.AreaLeft(), 0);
  EXPECT_EQ(form.AreaTop(), 0);
  EXPECT_EQ(form.AreaRight(), GlobalOutputFormat().outputWidth);
  EXPECT_EQ(form.AreaBottom(), GlobalOutputFormat().outputHeight);
  EXPECT_TRUE(form.ShowMouse());
  EXPECT_TRUE(Child<QCheckBox>(form, "1041")->isChecked());
  EXPECT_EQ(Child<QWidget>(form, "1002")->size(), QSize(200, 150));
  EXPECT_EQ(Child<QRadioButton>(form, "1010")->text(), "Fullscreen");
  EXPECT_EQ(Child<QRadioButton>(form, "1011")->text(), "Capture Area");
  EXPECT_EQ(Child<QRadioButton>(form, "1008")->text(), "Mouse Area");
  EXPECT_EQ(Child<QPushButton>(form, "1012")->text(), "Define Area");
}

TEST(DesktopFormTest, RestoreRoundTripsAndCapturesIntoTheSlot) {
  struct Case {
    int mode, left, top, right, bottom;
    bool showMouse;
    const char* button;
    int frameWidth, frameHeight;
  };
  const Case cases[] = {
      {1, 10, 20, 170, 140, false, "1011", 160, 120},
      {2, 0, 0, 50, 50, true, "1008", GlobalOutputFormat().outputWidth, GlobalOutputFormat().outputHeight},
      {0, 5, 6, 7, 8, true, "1010", kXvfbWidth, kXvfbHeight},
      {1, 100, 100, 50, 300, false, "1011", 10, 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.button);
    CViewDesktopForm form(5);
    form.Restore(c.mode, c.left, c.top, c.right, c.bottom, c.showMouse);
    EXPECT_EQ(form.Mode(), c.mode);
    EXPECT_EQ(form.AreaLeft(), c.left);
    EXPECT_EQ(form.AreaTop(), c.top);
    EXPECT_EQ(form.AreaRight(), c.right);
    EXPECT_EQ(form.AreaBottom(), c.bottom);
    EXPECT_EQ(form.ShowMouse(), c.showMouse);
    EXPECT_TRUE(Child<QRadioButton>(form, c.button)->isChecked());
    EXPECT_EQ(Child<QCheckBox>(form, "1041")->isChecked(), c.showMouse);
    ASSERT_NE(form.Capturer(), nullptr);
    EXPECT_EQ(form.Capturer()->Settings().mode, c.mode);
    EXPECT_EQ(form.Capturer()->Settings().showCursor, c.showMouse);
    ASSERT_TRUE(WaitFor([&] { return form.Capturer()->FramesDelivered() > 0; }))
        << "running " << form.Capturer()->Running() << " alive " << form.Capturer()->Alive();
    EXPECT_EQ(form.Capturer()->Slot(), 5);
    EXPECT_EQ(GlobalSourceSlots().Slot(5)->width.load(), c.frameWidth);
    EXPECT_EQ(GlobalSourceSlots().Slot(5)->height.load(), c.frameHeight);
  }

  CViewDesktopForm odd(3);
  odd.Restore(9, 0, 0, 10, 10, true);
  EXPECT_EQ(odd.Mode(), 0);
  EXPECT_TRUE(Child<QRadioButton>(odd, "1010")->isChecked());
}

TEST(DesktopFormTest, EveryChangeReplacesTheCapturer) {
  CViewDesktopForm form(6);
  form.show();
  Child<QRadioButton>(form, "1011")->click();
  ASSERT_NE(form.Capturer(), nullptr);
  EXPECT_EQ(form.Mode(), 1);

  // "Show mouse" off: a new capturer with the same mode and area.
  Child<QCheckBox>(form, "1041")->click();
  EXPECT_FALSE(form.ShowMouse());
  ASSERT_NE(form.Capturer(), nullptr);
  EXPECT_FALSE(form.Capturer()->Settings().showCursor);
  EXPECT_EQ(form.Capturer()->Settings().mode, 1);
  EXPECT_EQ(form.Capturer()->Settings().area, (CaptureRect{0, 0, form.AreaRight(), form.AreaBottom()}));

  Child<QRadioButton>(form, "1008")->click();
  EXPECT_EQ(form.Mode(), 2);
  EXPECT_EQ(form.Capturer()->Settings().mode, 2);
  EXPECT_FALSE(form.Capturer()->Settings().showCursor);
}

// Fills the open "Define Capture Area" dialog and presses `button`.
void AnswerDefineDialog(const QStringList& values, const char* button, QStringList* shown) {
  QTimer::singleShot(0, [values, button, shown] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), "Define Capture Area");
    const char* ids[4] = {"1068", "1067", "1069", "1070"};
    for (int i = 0; i < 4; ++i) {
      auto* field = dialog->findChild<QLineEdit*>(ids[i]);
      ASSERT_NE(field, nullptr) << ids[i];
      shown->append(field->text());
      field->setText(values[i]);
    }
    auto* press = dialog->findChild<QPushButton*>(button);
    ASSERT_NE(press, nullptr);
    press->click();
  });
}

TEST(DesktopFormTest, DefineAreaStoresTheAreaAndRestarts) {
  CViewDesktopForm form(7);
  form.Restore(1, 1, 2, 3, 4, false);
  QStringList shown;

  AnswerDefineDialog({"40", "30", "200", "130"}, "IDCANCEL", &shown);
  Child<QPushButton>(form, "1012")->click();
  EXPECT_EQ(shown, (QStringList{"1", "2", "3", "4"}));
  EXPECT_EQ(form.AreaRight(), 3);
  EXPECT_EQ(form.Capturer()->Settings().area, (CaptureRect{1, 2, 3, 4}));

  shown.clear();
  AnswerDefineDialog({"40", "30", "200", "130"}, "IDOK", &shown);
  Child<QPushButton>(form, "1012")->click();
  EXPECT_EQ(form.AreaLeft(), 40);
  EXPECT_EQ(form.AreaTop(), 30);
  EXPECT_EQ(form.AreaRight(), 200);
  EXPECT_EQ(form.AreaBottom(), 130);
  ASSERT_NE(form.Capturer(), nullptr);
  EXPECT_EQ(form.Capturer()->Settings().area, (CaptureRect{40, 30, 200, 130}));
  EXPECT_EQ(form.Mode(), 1);
  ASSERT_TRUE(WaitFor([&] { return form.Capturer()->FramesDelivered() > 0; }));
  EXPECT_EQ(form.Capturer()->CaptureWidth(), 160);
  EXPECT_EQ(form.Capturer()->CaptureHeight(), 100);

  // Without a capturer the area is stored and nothing starts.
  CViewDesktopForm idle(8);
  shown.clear();
  AnswerDefineDialog({"-5", "0", "xx", "20"}, "IDOK", &shown);
  Child<QPushButton>(idle, "1012")->click();
  EXPECT_EQ(idle.Capturer(), nullptr);
  EXPECT_EQ(idle.AreaLeft(), -5);
  EXPECT_EQ(idle.AreaBottom(), 20);
}

TEST(DesktopFormTest, SourceNumbersPastTheSlotsDeliverNowhere) {
  const uint32_t before = GlobalSourceSlots().Slot(0)->serial.load();
  CViewDesktopForm form(256);  // would wrap to slot 0 as an 8-bit number
  form.Restore(0, 0, 0, 10, 10, false);
  ASSERT_TRUE(WaitFor([&] { return form.Capturer()->FramesDelivered() > 0; }));
  EXPECT_GE(form.Capturer()->Slot(), 10);
  EXPECT_EQ(GlobalSourceSlots().Slot(0)->serial.load(), before);
}

// ---------------------------------------------------------------------------
// The private X server

pid_t gXvfb = -1;

bool DisplayAnswers(const std::string& name) {
  Display* display = XOpenDisplay(name.c_str());
  if (!display) return false;
  XCloseDisplay(display);
  return true;
}

// Starts Xvfb on the first free display from :97 and waits until it answers.
bool StartXvfb() {
  // Xvfb chooses a free display itself and reports it through -displayfd,
  // so test processes running side by side never share one.
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return false;
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    close(pipeFds[0]);
    freopen("/dev/null", "w", stdout);
    freopen("/dev/null", "w", stderr);
    const std::string screen = std::to_string(kXvfbWidth) + "x" + std::to_string(kXvfbHeight) + "x24";
    const std::string fd = std::to_string(pipeFds[1]);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp",
           static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeFds[1]);
  std::string number;
  char c = 0;
  while (read(pipeFds[0], &c, 1) == 1 && c != '\n') number += c;
  close(pipeFds[0]);
  if (number.empty()) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return false;
  }
  const std::string name = ":" + number;
  for (int i = 0; i < 500; ++i) {
    if (DisplayAnswers(name.c_str())) {
      gXvfb = pid;
      gDisplayName = name;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  return false;
}

void StopXvfb() {
  if (gXvfb <= 0) return;
  kill(gXvfb, SIGTERM);
  waitpid(gXvfb, nullptr, 0);
  gXvfb = -1;
}

}  // namespace
}  // namespace corvalind

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Test discovery only lists the tests: no server needed.
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--gtest_list_tests") == 0) return RUN_ALL_TESTS();

  char folder[] = "/tmp/desktop_test_XXXXXX";
  if (!mkdtemp(folder)) return 1;
  const std::filesystem::path home = folder;
  for (const char* sub : {"config", "documents", "runtime"}) std::filesystem::create_directories(home / sub);
  chmod((home / "runtime").c_str(), 0700);
  setenv("HOME", folder, 1);
  setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
  setenv("XDG_DOCUMENTS_DIR", (home / "documents").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (home / "runtime").c_str(), 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);

  if (!corvalind::StartXvfb()) {
    std::fprintf(stderr, "desktop_tests: cannot start Xvfb\n");
    std::filesystem::remove_all(home);
    return 1;
  }
  setenv("DISPLAY", corvalind::gDisplayName.c_str(), 1);

  int result = 0;
  {
    QApplication app(argc, argv);
    result = RUN_ALL_TESTS();
  }
  corvalind::StopXvfb();
  std::filesystem::remove_all(home);
  return result;
}

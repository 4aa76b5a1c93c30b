// Desktop capture: the rectangle maths and clipping, the pixel conversion
// and cursor blending, and the capturer's loop against a fake screen.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/messages.h"
#include "engine/source_slot.h"
#include "engine/sources/desktop_capture.h"
#include "test_support/frames.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

using testing::FramePixel;
using testing::ReadSlot;
using testing::SlotPicture;
using testing::WaitFor;



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

class CapturerTest : public testing::TestSlotsFixture {
 protected:
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
  // Stop has joined the worker: nothing is delivered after it returns.
  const uint64_t stopped = capturer->FramesDelivered();
  const uint32_t serial = table_->Slot(3)->serial.load();
  EXPECT_EQ(serial, stopped);

  ASSERT_TRUE(capturer->Start());
  EXPECT_TRUE(WaitFor([&] { return capturer->FramesDelivered() > stopped; }));
  // The destructor stops the running loop.
}

TEST_F(CapturerTest, StopWakesTheIntervalSleep) {
  // An hour between frames: Stop (and the destructor) can only return in
  // time if they wake the sleep rather than wait it out.
  for (bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destructor" : "Stop");
    format_.frameIntervalMs = 3600 * 1000;
    DesktopCaptureSettings settings;
    FakeScreen* screen = nullptr;
    auto capturer = Make(settings, &screen);
    ASSERT_TRUE(capturer->Start());
    ASSERT_TRUE(WaitFor([&] { return capturer->FramesDelivered() == 1; }));
    EXPECT_TRUE(capturer->Alive());
    if (destroy) {
      capturer.reset();
      continue;
    }
    capturer->Stop();
    EXPECT_FALSE(capturer->Alive());
    EXPECT_EQ(capturer->FramesDelivered(), 1u);
    // And it starts again after the woken stop.
    ASSERT_TRUE(capturer->Start());
    ASSERT_TRUE(WaitFor([&] { return capturer->FramesDelivered() == 2; }));
  }
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


}  // namespace
}  // namespace corvalind

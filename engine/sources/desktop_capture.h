// Desktop capture: grabs a rectangle of the desktop at the program frame
// rate, optionally draws the mouse cursor into it, and delivers it into a
// source slot.
//
// `DesktopCapturer` owns one worker thread. The screen itself is reached
// through `ScreenSource` so that the loop and the pixel work can be driven
// by tests with a fake screen; the X11 implementation lives in
// x11_screen.h. The rectangle maths, clipping, pixel conversion and cursor
// blending are plain functions.
//
// Coordinates are desktop pixels, top-down (y grows downwards), as the
// screen reports them. Frames are the studio's `Frame` layout: 3 bytes per
// pixel B, G, R, bottom row first, rows packed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/output_format.h"
#include "engine/preview.h"
#include "engine/source_slot.h"

namespace corvalind {

enum DesktopCaptureMode : int {
  kCaptureFullscreen = 0,
  kCaptureArea = 1,
  kCaptureMouseArea = 2,
};

// A rectangle by its edges; right and bottom are exclusive.
struct CaptureRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;

  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  bool Empty() const { return right <= left || bottom <= top; }
  bool operator==(const CaptureRect&) const = default;
};

// Where the primary display is and how far the desktop reaches. The
// desktop starts at (0, 0).
struct DesktopBounds {
  int primaryLeft = 0;
  int primaryTop = 0;
  int primaryWidth = 0;
  int primaryHeight = 0;
  int desktopWidth = 0;
  int desktopHeight = 0;
  bool operator==(const DesktopBounds&) const = default;
};

struct CaptureSize {
  int width = 0;
  int height = 0;
  bool operator==(const CaptureSize&) const = default;
};

// Largest frame side a capturer accepts. A user area far larger than any
// screen would otherwise ask for gigabytes per frame; the grab is clipped
// to the desktop anyway.
inline constexpr int kMaxCaptureSide = 16384;

// The bounds of a primary display with, optionally, a second one placed
// to its right: the desktop is as wide as both together and as high as the
// taller one. Without a second display the desktop is the primary one.
DesktopBounds MeasureDesktopBounds(CaptureSize primary, const CaptureSize* second);

// Frame size of a capturer: mode 0 the primary display, mode 1 the user
// area (a negative width or height becomes 10), mode 2 the program size.
// Each side is limited to 0..kMaxCaptureSide. Unknown modes count as 0.
CaptureSize CaptureSizeFor(int mode, const DesktopBounds& bounds, const CaptureRect& area,
                           int outputWidth, int outputHeight);

// The rectangle one frame grabs. Mode 0: the primary display. Mode 1: the
// user area's top-left corner with the frame size. Mode 2: the frame size
// centred on the cursor and pushed back inside the desktop (right and
// bottom edges first pushed off 0, then pulled back to the desktop edge).
CaptureRect CaptureRectFor(int mode, CaptureSize size, const CaptureRect& area, int cursorX,
                           int cursorY, const DesktopBounds& bounds);

// The part of `rect` that lies on the desktop; empty when none does.
CaptureRect ClipToDesktop(const CaptureRect& rect, const DesktopBounds& bounds);

// A screen picture as an X image describes it: top-down rows of
// `bytesPerLine`, pixels of 24 or 32 bits whose channels are given by masks.
struct ImageView {
  const uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  int bytesPerLine = 0;
  int bitsPerPixel = 32;
  uint32_t redMask = 0xff0000;
  uint32_t greenMask = 0x00ff00;
  uint32_t blueMask = 0x0000ff;
  bool msbFirst = false;  // byte order of a pixel in memory
};

// Copies `image` into a bottom-up BGR frame with its top-left pixel at
// (dstX, dstY), counted top-down in the frame. Parts that fall outside the
// frame are dropped; the rest of the frame is left as it is. Returns false
// (and writes nothing) for a pixel size other than 24 or 32 bits.
bool CopyToFrameBottomUp(const ImageView& image, uint8_t* frame, int frameWidth, int frameHeight,
                         int dstX, int dstY);

// The current cursor: premultiplied ARGB pixels, top-down, and the hot
// spot within them. (x, y) is the cursor position on the desktop.
struct CursorImage {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  int hotX = 0;
  int hotY = 0;
  std::vector<uint32_t> argb;
};

// Draws the cursor into a bottom-up BGR frame with its top-left pixel at
// (left, top), counted top-down in the frame, blending by its alpha.
// Pixels outside the frame are dropped.
void BlendCursor(const CursorImage& cursor, uint8_t* frame, int frameWidth, int frameHeight,
                 int left, int top);

// Where the capturer gets its pictures. Used by one thread at a time: the
// creator, then the capturer's worker.
class ScreenSource {
 public:
  virtual ~ScreenSource() = default;
  // Measured once when the source is created.
  virtual DesktopBounds Bounds() const = 0;
  // The cursor position in desktop pixels; false when unknown.
  virtual bool CursorPosition(int* x, int* y) = 0;
  // Grabs `rect` (already inside the desktop and not empty). The view
  // stays valid until the next call. False when the grab failed.
  virtual bool Grab(const CaptureRect& rect, ImageView* image) = 0;
  // The current cursor image; false when there is none or it is hidden.
  virtual bool Cursor(CursorImage* cursor) = 0;
};

struct DesktopCaptureSettings {
  int mode = kCaptureFullscreen;
  CaptureRect area{0, 0, 640, 480};
  bool showCursor = true;
};

class DesktopCapturer {
 public:
  // `screen` may be null (no display): the capturer then never starts.
  // Frames go to `deliver` with slot number `slot`; a number outside 0..255
  // becomes 255 so that it can never wrap onto a real slot. The capture
  // size follows `format` (read when the loop starts; the interval every
  // frame), which must outlive the capturer.
  DesktopCapturer(int slot, std::unique_ptr<ScreenSource> screen,
                  const DesktopCaptureSettings& settings, FrameDeliveryFunc deliver = &DeliverFrame,
                  const OutputFormat* format = &GlobalOutputFormat());
  ~DesktopCapturer();
  DesktopCapturer(const DesktopCapturer&) = delete;
  DesktopCapturer& operator=(const DesktopCapturer&) = delete;

  // Where each frame is also shown (200 x 150), or null. Set before Start;
  // the target must outlive the running loop.
  void SetPreviewWindow(PreviewTarget* window) { preview_ = window; }

  // Starts the worker unless it runs. False without a screen. UI thread.
  bool Start();
  // Stops and joins the worker; safe when not running. UI thread.
  void Stop();

  bool Running() const { return running_.load(); }
  // True while the loop runs.
  bool Alive() const { return alive_.load(); }
  uint8_t Slot() const { return slot_; }
  const DesktopCaptureSettings& Settings() const { return settings_; }
  DesktopBounds Bounds() const { return bounds_; }
  // Frame size of the running (or last) loop; 0 before the first start.
  int CaptureWidth() const { return captureWidth_.load(); }
  int CaptureHeight() const { return captureHeight_.load(); }
  uint64_t FramesDelivered() const { return framesDelivered_.load(); }

 private:
  void Loop();
  void GrabDesktop(const CaptureRect& rect);

  FrameDeliveryFunc deliver_;
  PreviewTarget* preview_ = nullptr;
  std::atomic<int> captureWidth_{0};
  std::atomic<int> captureHeight_{0};
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> alive_{false};
  uint8_t slot_;
  std::vector<uint8_t> frame_;  // worker only while the loop runs
  DesktopBounds bounds_;
  DesktopCaptureSettings settings_;
  std::unique_ptr<ScreenSource> screen_;
  const OutputFormat* format_;
  std::atomic<uint64_t> framesDelivered_{0};
  // Wakes the interval sleep when Stop clears `running_`.
  std::mutex wakeMutex_;
  std::condition_variable wake_;
};

}  // namespace corvalind

#include "engine/sources/desktop_capture.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <new>

#include "engine/messages.h"

namespace corvalind {

namespace {

int ClampSide(int64_t side) {
  return static_cast<int>(std::clamp<int64_t>(side, 0, kMaxCaptureSide));
}

// Area sides: a negative difference becomes 10. Computed in 64 bits so that
// extreme edges cannot overflow.
int AreaSide(int from, int to) {
  const int64_t side = static_cast<int64_t>(to) - from;
  return ClampSide(side < 0 ? 10 : side);
}

// One channel of a pixel scaled to 8 bits, whatever the mask's width.
struct Channel {
  int shift = 0;
  uint32_t max = 0;

  explicit Channel(uint32_t mask) {
    if (mask == 0) return;
    shift = std::countr_zero(mask);
    max = mask >> shift;
  }
  uint8_t Of(uint32_t pixel) const {
    if (max == 0) return 0;
    const uint32_t value = (pixel >> shift) & max;
    return max == 255 ? static_cast<uint8_t>(value) : static_cast<uint8_t>(value * 255 / max);
  }
};

uint32_t ReadPixel(const uint8_t* p, int bytes, bool msbFirst) {
  uint32_t value = 0;
  if (msbFirst) {
    for (int i = 0; i < bytes; ++i) value = (value << 8) | p[i];
  } else {
    for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  }
  return value;
}

}  // namespace

DesktopBounds MeasureDesktopBounds(CaptureSize primary, const CaptureSize* second) {
  DesktopBounds bounds;
  bounds.primaryWidth = primary.width;
  bounds.primaryHeight = primary.height;
  bounds.desktopWidth = primary.width;
  bounds.desktopHeight = primary.height;
  if (second) {
    bounds.desktopWidth = primary.width + second->width;
    bounds.desktopHeight = std::max(primary.height, second->height);
  }
  return bounds;
}

CaptureSize CaptureSizeFor(int mode, const DesktopBounds& bounds, const CaptureRect& area,
                           int outputWidth, int outputHeight) {
  switch (mode) {
    case kCaptureArea:
      return {AreaSide(area.left, area.right), AreaSide(area.top, area.bottom)};
    case kCaptureMouseArea:
      return {ClampSide(outputWidth), ClampSide(outputHeight)};
    default:
      return {ClampSide(bounds.primaryWidth), ClampSide(bounds.primaryHeight)};
  }
}

CaptureRect CaptureRectFor(int mode, CaptureSize size, const CaptureRect& area, int cursorX,
                           int cursorY, const DesktopBounds& bounds) {
  // Edges are computed in 64 bits and clamped back: an area edge near the
  // int limits must not wrap round to the other side of the desktop.
  auto rect = [&](int64_t left, int64_t top) {
    auto clamp = [](int64_t v) {
      return static_cast<int>(std::clamp<int64_t>(v, -(int64_t{1} << 30), int64_t{1} << 30));
    };
    return CaptureRect{clamp(left), clamp(top), clamp(left + size.width), clamp(top + size.height)};
  };
  switch (mode) {
    case kCaptureArea:
      return rect(area.left, area.top);
    case kCaptureMouseArea: {
      auto place = [](int64_t cursor, int64_t side, int64_t desktop) {
        int64_t start = cursor - side / 2;
        if (start < 0) start = 0;
        if (start + side > desktop) start = desktop - side;
        return start;
      };
      return rect(place(cursorX, size.width, bounds.desktopWidth),
                  place(cursorY, size.height, bounds.desktopHeight));
    }
    default:
      return rect(bounds.primaryLeft, bounds.primaryTop);
  }
}

CaptureRect ClipToDesktop(const CaptureRect& rect, const DesktopBounds& bounds) {
  CaptureRect clipped{std::max(rect.left, 0), std::max(rect.top, 0),
                      std::min(rect.right, bounds.desktopWidth),
                      std::min(rect.bottom, bounds.desktopHeight)};
  if (clipped.Empty()) return {};
  return clipped;
}

bool CopyToFrameBottomUp(const ImageView& image, uint8_t* frame, int frameWidth, int frameHeight,
                         int dstX, int dstY) {
  if (image.bitsPerPixel != 24 && image.bitsPerPixel != 32) return false;
  if (!image.data || !frame) return false;
  const int bytes = image.bitsPerPixel / 8;
  const Channel red(image.redMask), green(image.greenMask), blue(image.blueMask);
  const bool plainBgrx = bytes == 4 && !image.msbFirst && image.redMask == 0xff0000 &&
                         image.greenMask == 0x00ff00 && image.blueMask == 0x0000ff;
  // Columns of the image that land inside the frame.
  const int firstColumn = std::max(0, -dstX);
  const int endColumn = std::min(image.width, frameWidth - dstX);
  if (firstColumn >= endColumn) return true;
  for (int row = 0; row < image.height; ++row) {
    const int frameRow = dstY + row;  // top-down
    if (frameRow < 0 || frameRow >= frameHeight) continue;
    const uint8_t* src = image.data + static_cast<std::size_t>(row) * image.bytesPerLine;
    uint8_t* dst = frame + (static_cast<std::size_t>(frameHeight - 1 - frameRow) * frameWidth +
                            (dstX + firstColumn)) * 3;
    if (plainBgrx) {
      const uint8_t* p = src + static_cast<std::size_t>(firstColumn) * 4;
      for (int column = firstColumn; column < endColumn; ++column, p += 4, dst += 3) {
        dst[0] = p[0];
        dst[1] = p[1];
        dst[2] = p[2];
      }
      continue;
    }
    for (int column = firstColumn; column < endColumn; ++column, dst += 3) {
      const uint32_t pixel =
          ReadPixel(src + static_cast<std::size_t>(column) * bytes, bytes, image.msbFirst);
      dst[0] = blue.Of(pixel);
      dst[1] = green.Of(pixel);
      dst[2] = red.Of(pixel);
    }
  }
  return true;
}

void BlendCursor(const CursorImage& cursor, uint8_t* frame, int frameWidth, int frameHeight,
                 int left, int top) {
  if (!frame || cursor.width <= 0 || cursor.height <= 0) return;
  if (cursor.argb.size() < static_cast<std::size_t>(cursor.width) * cursor.height) return;
  for (int row = 0; row < cursor.height; ++row) {
    const int frameRow = top + row;
    if (frameRow < 0 || frameRow >= frameHeight) continue;
    for (int column = 0; column < cursor.width; ++column) {
      const int frameColumn = left + column;
      if (frameColumn < 0 || frameColumn >= frameWidth) continue;
      const uint32_t pixel = cursor.argb[static_cast<std::size_t>(row) * cursor.width + column];
      const uint32_t alpha = pixel >> 24;
      if (alpha == 0) continue;
      uint8_t* dst =
          frame + (static_cast<std::size_t>(frameHeight - 1 - frameRow) * frameWidth + frameColumn) * 3;
      const uint32_t inverse = 255 - alpha;
      // Premultiplied: the colour already carries its alpha. Clamped in
      // case a cursor's colour exceeds its alpha.
      const uint32_t source[3] = {pixel & 0xff, (pixel >> 8) & 0xff, (pixel >> 16) & 0xff};
      for (int c = 0; c < 3; ++c) {
        const uint32_t value = source[c] + (dst[c] * inverse + 127) / 255;
        dst[c] = static_cast<uint8_t>(std::min<uint32_t>(value, 255));
      }
    }
  }
}

DesktopCapturer::DesktopCapturer(int slot, std::unique_ptr<ScreenSource> screen,
                                 const DesktopCaptureSettings& settings, FrameDeliveryFunc deliver,
                                 const OutputFormat* format)
    : deliver_(deliver ? deliver : &DeliverFrame),
      slot_(slot >= 0 && slot <= 255 ? static_cast<uint8_t>(slot) : uint8_t{255}),
      settings_(settings),
      screen_(std::move(screen)),
      format_(format ? format : &GlobalOutputFormat()) {
  if (screen_) bounds_ = screen_->Bounds();
}

DesktopCapturer::~DesktopCapturer() { Stop(); }

bool DesktopCapturer::Start() {
  if (!screen_) {
    SetStatusText("Desktop capture: no display to capture");
    return false;
  }
  if (thread_.joinable()) return true;
  running_ = true;
  thread_ = std::thread([this] { Loop(); });
  return true;
}

void DesktopCapturer::Stop() {
  {
    std::lock_guard<std::mutex> guard(wakeMutex_);
    running_ = false;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void DesktopCapturer::Loop() {
  const CaptureSize size = CaptureSizeFor(settings_.mode, bounds_, settings_.area,
                                          format_->outputWidth, format_->outputHeight);
  captureWidth_ = size.width;
  captureHeight_ = size.height;
  try {
    frame_.assign(static_cast<std::size_t>(size.width) * size.height * 3, 0);
  } catch (const std::bad_alloc&) {
    SetStatusText("Desktop capture: not enough memory for the capture area");
    running_ = false;
    return;
  }
  alive_ = true;
  int cursorX = 0, cursorY = 0;
  while (running_) {
    if (settings_.mode == kCaptureMouseArea) {
      int x = 0, y = 0;
      if (screen_->CursorPosition(&x, &y)) {
        cursorX = x;
        cursorY = y;
      }
    }
    const CaptureRect rect =
        CaptureRectFor(settings_.mode, size, settings_.area, cursorX, cursorY, bounds_);
    GrabDesktop(rect);
    // A zero-sized area has nothing to show; delivering it would only
    // advance the slot's serial.
    if (!frame_.empty()) {
      deliver_(false, slot_, frame_.data(), static_cast<uint32_t>(frame_.size()), size.width,
               size.height);
      ++framesDelivered_;
      DrawFramePreview(frame_.data(), size.width, size.height, preview_, 200, 150);
    }
    // The full interval after every frame, however long the grab took;
    // Stop wakes the wait.
    std::unique_lock<std::mutex> lock(wakeMutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(std::max(1, format_->frameIntervalMs)),
                   [this] { return !running_.load(); });
  }
  alive_ = false;
}

void DesktopCapturer::GrabDesktop(const CaptureRect& rect) {
  const int width = captureWidth_.load();
  const int height = captureHeight_.load();
  if (rect.Empty() || frame_.empty()) return;
  const CaptureRect clipped = ClipToDesktop(rect, bounds_);
  // Rows and columns outside the desktop are black.
  if (clipped != rect) std::fill(frame_.begin(), frame_.end(), uint8_t{0});
  if (!clipped.Empty()) {
    ImageView image;
    if (screen_->Grab(clipped, &image)) {
      CopyToFrameBottomUp(image, frame_.data(), width, height, clipped.left - rect.left,
                          clipped.top - rect.top);
    }
  }
  if (settings_.showCursor) {
    CursorImage cursor;
    if (screen_->Cursor(&cursor)) {
      BlendCursor(cursor, frame_.data(), width, height, cursor.x - rect.left - cursor.hotX,
                  cursor.y - rect.top - cursor.hotY);
    }
  }
}

}  // namespace corvalind

#include "platform/x11/x11_screen.h"

#include <chrono>
#include <thread>

// X11 headers last: their macros (Status, None, Bool) clash with other
// headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <mutex>

namespace corvalind {

namespace {

// XShmAttach reports failure (for example a server on another host)
// asynchronously as an X error; the error handler is process-wide, so the
// probe is serialised and the previous handler restored.
std::mutex gErrorProbeMutex;
bool gErrorSeen = false;
int RecordError(Display*, XErrorEvent*) {
  gErrorSeen = true;
  return 0;
}

class X11Screen final : public ScreenSource {
 public:
  explicit X11Screen(Display* display) : display_(display), root_(DefaultRootWindow(display)) {
    int eventBase = 0, errorBase = 0;
    hasFixes_ = XFixesQueryExtension(display_, &eventBase, &errorBase);
    hasShm_ = XShmQueryExtension(display_);
    MeasureBounds();
  }

  ~X11Screen() override {
    ReleaseShm();
    if (image_) XDestroyImage(image_);
    XCloseDisplay(display_);
  }

  DesktopBounds Bounds() const override { return bounds_; }

  bool CursorPosition(int* x, int* y) override {
    Window rootReturn = 0, child = 0;
    int rootX = 0, rootY = 0, winX = 0, winY = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(display_, root_, &rootReturn, &child, &rootX, &rootY, &winX, &winY, &mask))
      return false;
    *x = rootX;
    *y = rootY;
    return true;
  }

  bool Grab(const CaptureRect& rect, ImageView* view) override {
    // The root may have shrunk since the bounds were measured: a request
    // outside it would be an X error.
    const CaptureRect onRoot = ClipToDesktop(rect, RootBounds());
    if (onRoot.Empty() || onRoot != rect) return false;
    XImage* image = nullptr;
    if (hasShm_ && PrepareShm(rect.Width(), rect.Height())) {
      if (XShmGetImage(display_, root_, shmImage_, rect.left, rect.top, AllPlanes)) image = shmImage_;
    }
    if (!image) {
      if (image_) XDestroyImage(image_);
      image_ = XGetImage(display_, root_, rect.left, rect.top, rect.Width(), rect.Height(), AllPlanes,
                         ZPixmap);
      image = image_;
    }
    if (!image) return false;
    view->data = reinterpret_cast<const uint8_t*>(image->data);
    view->width = rect.Width();
    view->height = rect.Height();
    view->bytesPerLine = image->bytes_per_line;
    view->bitsPerPixel = image->bits_per_pixel;
    view->redMask = static_cast<uint32_t>(image->red_mask);
    view->greenMask = static_cast<uint32_t>(image->green_mask);
    view->blueMask = static_cast<uint32_t>(image->blue_mask);
    view->msbFirst = image->byte_order == MSBFirst;
    return true;
  }

  bool Cursor(CursorImage* cursor) override {
    if (!hasFixes_) return false;
    XFixesCursorImage* image = XFixesGetCursorImage(display_);
    if (!image) return false;
    cursor->x = image->x;
    cursor->y = image->y;
    cursor->width = image->width;
    cursor->height = image->height;
    cursor->hotX = image->xhot;
    cursor->hotY = image->yhot;
    // Each pixel is an unsigned long holding 32 bits of premultiplied ARGB.
    const std::size_t count = static_cast<std::size_t>(image->width) * image->height;
    cursor->argb.resize(count);
    for (std::size_t i = 0; i < count; ++i) cursor->argb[i] = static_cast<uint32_t>(image->pixels[i]);
    XFree(image);
    return count > 0;
  }

 private:
  DesktopBounds RootBounds() const {
    XWindowAttributes attributes{};
    DesktopBounds root;
    if (XGetWindowAttributes(display_, root_, &attributes)) {
      root.desktopWidth = attributes.width;
      root.desktopHeight = attributes.height;
    }
    return root;
  }

  void MeasureBounds() {
    bounds_ = RootBounds();
    bounds_.primaryWidth = bounds_.desktopWidth;
    bounds_.primaryHeight = bounds_.desktopHeight;
    int eventBase = 0, errorBase = 0;
    if (!XRRQueryExtension(display_, &eventBase, &errorBase)) return;
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display_, root_);
    if (!resources) return;
    const RROutput primary = XRRGetOutputPrimary(display_, root_);
    bool found = false;
    for (int pass = 0; pass < 2 && !found; ++pass) {
      for (int i = 0; i < resources->noutput && !found; ++i) {
        // First pass: the primary output only; second: any active one.
        if (pass == 0 && resources->outputs[i] != primary) continue;
        XRROutputInfo* output = XRRGetOutputInfo(display_, resources, resources->outputs[i]);
        if (!output) continue;
        if (output->crtc) {
          XRRCrtcInfo* crtc = XRRGetCrtcInfo(display_, resources, output->crtc);
          if (crtc && crtc->width > 0 && crtc->height > 0) {
            bounds_.primaryLeft = crtc->x;
            bounds_.primaryTop = crtc->y;
            bounds_.primaryWidth = static_cast<int>(crtc->width);
            bounds_.primaryHeight = static_cast<int>(crtc->height);
            found = true;
          }
          if (crtc) XRRFreeCrtcInfo(crtc);
        }
        XRRFreeOutputInfo(output);
      }
    }
    XRRFreeScreenResources(resources);
    // The primary display must lie on the root, or mode 0 would grab
    // outside it.
    const CaptureRect primaryRect{bounds_.primaryLeft, bounds_.primaryTop,
                                  bounds_.primaryLeft + bounds_.primaryWidth,
                                  bounds_.primaryTop + bounds_.primaryHeight};
    if (ClipToDesktop(primaryRect, bounds_) != primaryRect) {
      bounds_.primaryLeft = bounds_.primaryTop = 0;
      bounds_.primaryWidth = bounds_.desktopWidth;
      bounds_.primaryHeight = bounds_.desktopHeight;
    }
  }

  bool PrepareShm(int width, int height) {
    if (shmImage_ && shmImage_->width == width && shmImage_->height == height) return true;
    ReleaseShm();
    const int screen = DefaultScreen(display_);
    shmImage_ = XShmCreateImage(display_, DefaultVisual(display_, screen), DefaultDepth(display_, screen),
                                ZPixmap, nullptr, &shmInfo_, width, height);
    if (!shmImage_) {
      hasShm_ = false;
      return false;
    }
    shmInfo_.shmid = shmget(IPC_PRIVATE, static_cast<std::size_t>(shmImage_->bytes_per_line) * height,
                            IPC_CREAT | 0600);
    if (shmInfo_.shmid < 0) {
      XDestroyImage(shmImage_);
      shmImage_ = nullptr;
      hasShm_ = false;
      return false;
    }
    shmInfo_.shmaddr = shmImage_->data = static_cast<char*>(shmat(shmInfo_.shmid, nullptr, 0));
    shmInfo_.readOnly = False;
    bool attached = false;
    if (shmInfo_.shmaddr != reinterpret_cast<char*>(-1)) {
      std::lock_guard<std::mutex> guard(gErrorProbeMutex);
      gErrorSeen = false;
      auto previous = XSetErrorHandler(&RecordError);
      attached = XShmAttach(display_, &shmInfo_);
      XSync(display_, False);
      XSetErrorHandler(previous);
      attached = attached && !gErrorSeen;
    }
    // Marked for removal now: it goes away with the last detach, even if
    // the program dies.
    shmctl(shmInfo_.shmid, IPC_RMID, nullptr);
    if (!attached) {
      if (shmInfo_.shmaddr != reinterpret_cast<char*>(-1)) shmdt(shmInfo_.shmaddr);
      shmImage_->data = nullptr;
      XDestroyImage(shmImage_);
      shmImage_ = nullptr;
      hasShm_ = false;
      return false;
    }
    shmAttached_ = true;
    return true;
  }

  void ReleaseShm() {
    if (!shmImage_) return;
    if (shmAttached_) {
      XShmDetach(display_, &shmInfo_);
      XSync(display_, False);
      shmdt(shmInfo_.shmaddr);
      shmAttached_ = false;
    }
    shmImage_->data = nullptr;
    XDestroyImage(shmImage_);
    shmImage_ = nullptr;
  }

  Display* display_;
  Window root_;
  bool hasFixes_ = false;
  bool hasShm_ = false;
  DesktopBounds bounds_;
  XShmSegmentInfo shmInfo_{};
  XImage* shmImage_ = nullptr;
  bool shmAttached_ = false;
  XImage* image_ = nullptr;  // the last plain XGetImage copy
};

}  // namespace

std::unique_ptr<ScreenSource> OpenX11Screen(const char* displayName) {
  // A busy X server can refuse a connection for a moment (its listen queue
  // is full); a source restarting then tries again before giving up.
  Display* display = nullptr;
  for (int attempt = 0; attempt < 10 && !display; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    display = XOpenDisplay(displayName);
  }
  if (!display) return nullptr;
  return std::make_unique<X11Screen>(display);
}

}  // namespace corvalind

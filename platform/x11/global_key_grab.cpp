#include "platform/x11/global_key_grab.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>

namespace corvalind {

namespace {

// Grabs with and without NumLock (Mod2) and CapsLock (Lock).
constexpr unsigned kLockVariants[] = {0, LockMask, Mod2Mask, LockMask | Mod2Mask};

// A key another program has grabbed already makes the server answer
// BadAccess; Xlib's default handler would end the studio for it. That one
// key simply stays without a global grab.
int IgnoreGrabErrors(Display*, XErrorEvent*) { return 0; }

}  // namespace

GlobalKeyGrab::GlobalKeyGrab(_XDisplay* display) : display_(display) {
  if (!display_) return;
  const Window root = DefaultRootWindow(display_);
  XSync(display_, False);
  const auto previous = XSetErrorHandler(&IgnoreGrabErrors);
  const KeySym digits[10] = {XK_1, XK_2, XK_3, XK_4, XK_5, XK_6, XK_7, XK_8, XK_9, XK_0};
  for (KeySym digit : digits) {
    const unsigned keycode = XKeysymToKeycode(display_, digit);
    keycodes_.push_back(keycode);
    for (unsigned variant : kLockVariants) {
      XGrabKey(display_, static_cast<int>(keycode), ControlMask | variant, root, False, GrabModeAsync,
               GrabModeAsync);
    }
  }
  XSync(display_, False);
  XSetErrorHandler(previous);
}

GlobalKeyGrab::~GlobalKeyGrab() {
  if (!display_) return;
  const Window root = DefaultRootWindow(display_);
  for (unsigned keycode : keycodes_) {
    for (unsigned variant : kLockVariants) {
      XUngrabKey(display_, static_cast<int>(keycode), ControlMask | variant, root);
    }
  }
  XSync(display_, False);
}

int GlobalKeyGrab::Match(const void* xcbEvent) const {
  const auto* event = static_cast<const xcb_generic_event_t*>(xcbEvent);
  if (!event || (event->response_type & 0x7f) != XCB_KEY_PRESS) return -1;
  const auto* key = static_cast<const xcb_key_press_event_t*>(xcbEvent);
  if (!(key->state & XCB_MOD_MASK_CONTROL)) return -1;
  for (std::size_t i = 0; i < keycodes_.size(); ++i) {
    if (keycodes_[i] == key->detail) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace corvalind

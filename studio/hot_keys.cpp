#include "studio/hot_keys.h"

#include <QGuiApplication>
#include <QKeySequence>
#include <QShortcut>
#include <QWidget>

// Xlib after Qt: its macros (Status, None, KeyPress...) would break Qt's
// headers.
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>

namespace corvalind {

namespace {

Display* X11Display() {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 ? x11->display() : nullptr;
}

// Grabs with and without NumLock (Mod2) and CapsLock (Lock).
constexpr unsigned kLockVariants[] = {0, LockMask, Mod2Mask, LockMask | Mod2Mask};

// A key another program has grabbed already makes the server answer
// BadAccess; Xlib's default handler would end the studio for it. That one
// key simply stays without a global grab.
int IgnoreGrabErrors(Display*, XErrorEvent*) { return 0; }

}  // namespace

SceneHotKeys::SceneHotKeys(QWidget* window) : QObject(window) {
  Display* display = X11Display();
  if (display) {
    const Window root = DefaultRootWindow(display);
    XSync(display, False);
    const auto previous = XSetErrorHandler(&IgnoreGrabErrors);
    const KeySym digits[10] = {XK_1, XK_2, XK_3, XK_4, XK_5, XK_6, XK_7, XK_8, XK_9, XK_0};
    for (KeySym digit : digits) {
      const unsigned keycode = XKeysymToKeycode(display, digit);
      keycodes_.push_back(keycode);
      for (unsigned variant : kLockVariants) {
        XGrabKey(display, static_cast<int>(keycode), ControlMask | variant, root, False, GrabModeAsync,
                 GrabModeAsync);
      }
    }
    XSync(display, False);
    XSetErrorHandler(previous);
    qApp->installNativeEventFilter(this);
    global_ = true;
    return;
  }
  for (int i = 0; i < 10; ++i) {
    auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | static_cast<Qt::Key>(Qt::Key_0 + (i + 1) % 10)),
                                   window);
    shortcut->setContext(Qt::ApplicationShortcut);
    connect(shortcut, &QShortcut::activated, this, [this, i] { emit triggered(i); });
  }
}

SceneHotKeys::~SceneHotKeys() {
  if (!global_) return;
  qApp->removeNativeEventFilter(this);
  if (Display* display = X11Display()) {
    const Window root = DefaultRootWindow(display);
    for (unsigned keycode : keycodes_) {
      for (unsigned variant : kLockVariants) {
        XUngrabKey(display, static_cast<int>(keycode), ControlMask | variant, root);
      }
    }
    XSync(display, False);
  }
}

bool SceneHotKeys::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (eventType != "xcb_generic_event_t") return false;
  auto* event = static_cast<xcb_generic_event_t*>(message);
  if ((event->response_type & 0x7f) != XCB_KEY_PRESS) return false;
  auto* key = static_cast<xcb_key_press_event_t*>(message);
  if (!(key->state & XCB_MOD_MASK_CONTROL)) return false;
  for (std::size_t i = 0; i < keycodes_.size(); ++i) {
    if (keycodes_[i] == key->detail) {
      emit triggered(static_cast<int>(i));
      return true;
    }
  }
  return false;
}

}  // namespace corvalind

// Global scene hot keys on X11: Ctrl+1 .. Ctrl+9 and Ctrl+0 grabbed on the
// root window, so they reach the studio while another program has the
// focus. Each key is grabbed with and without NumLock and CapsLock.
//
// The connection is the application's own (its Xlib display); events come
// back through the application's native event stream as raw xcb events,
// which Match() reads. A key that another program holds already stays
// without a global grab instead of ending the studio. UI thread only.
#pragma once

#include <vector>

struct _XDisplay;

namespace corvalind {

class GlobalKeyGrab {
 public:
  // Grabs the ten keys on the default root window of `display`.
  explicit GlobalKeyGrab(_XDisplay* display);
  // Releases the grabs.
  ~GlobalKeyGrab();
  GlobalKeyGrab(const GlobalKeyGrab&) = delete;
  GlobalKeyGrab& operator=(const GlobalKeyGrab&) = delete;

  // For a raw xcb event (xcb_generic_event_t*): 0 for Ctrl+1 .. 8 for
  // Ctrl+9 and 9 for Ctrl+0 when it is a press of one of the keys with
  // Control held, otherwise -1.
  int Match(const void* xcbEvent) const;

 private:
  _XDisplay* display_;
  std::vector<unsigned> keycodes_;  // index -> keycode
};

}  // namespace corvalind

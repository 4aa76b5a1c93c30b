// The scene hot keys Ctrl+1 .. Ctrl+9 and Ctrl+0. On X11 they are grabbed
// on the root window, so they work while another program has the focus
// (also with NumLock or CapsLock on); elsewhere they are shortcuts of the
// whole application. `triggered(index)` gives 0 for Ctrl+1 .. 8 for Ctrl+9
// and 9 for Ctrl+0.
#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <vector>

class QWidget;

namespace corvalind {

class SceneHotKeys : public QObject, public QAbstractNativeEventFilter {
  Q_OBJECT
 public:
  // `window` carries the application-wide shortcuts where there is no X11.
  explicit SceneHotKeys(QWidget* window);
  ~SceneHotKeys() override;

  bool Global() const { return global_; }
  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

 signals:
  void triggered(int index);

 private:
  bool global_ = false;
  std::vector<unsigned> keycodes_;  // index -> X11 keycode
};

}  // namespace corvalind

// The scene hot keys Ctrl+1 .. Ctrl+9 and Ctrl+0. On X11 they are grabbed
// on the root window, so they work while another program has the focus
// (also with NumLock or CapsLock on); elsewhere they are shortcuts of the
// whole application. `triggered(index)` gives 0 for Ctrl+1 .. 8 for Ctrl+9
// and 9 for Ctrl+0.
#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <memory>

class QWidget;

namespace corvalind {

class GlobalKeyGrab;

class SceneHotKeys : public QObject, public QAbstractNativeEventFilter {
  Q_OBJECT
 public:
  // `window` carries the application-wide shortcuts where there is no X11.
  explicit SceneHotKeys(QWidget* window);
  ~SceneHotKeys() override;

  bool Global() const { return grab_ != nullptr; }
  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

 signals:
  void triggered(int index);

 private:
  std::unique_ptr<GlobalKeyGrab> grab_;  // null where there is no X11
};

}  // namespace corvalind

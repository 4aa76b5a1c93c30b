#include "studio/hot_keys.h"

#include <QGuiApplication>
#include <QKeySequence>
#include <QShortcut>
#include <QWidget>

#include "platform/x11/global_key_grab.h"

namespace corvalind {

SceneHotKeys::SceneHotKeys(QWidget* window) : QObject(window) {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  if (x11 && x11->display()) {
    grab_ = std::make_unique<GlobalKeyGrab>(x11->display());
    qApp->installNativeEventFilter(this);
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
  if (grab_) qApp->removeNativeEventFilter(this);
}

bool SceneHotKeys::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (!grab_ || eventType != "xcb_generic_event_t") return false;
  const int index = grab_->Match(message);
  if (index < 0) return false;
  emit triggered(index);
  return true;
}

}  // namespace corvalind

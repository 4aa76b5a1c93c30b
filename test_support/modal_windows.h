// Driving modal windows from a test: the window of a type that shows,
// and running an action that opens one modally while a timer drives it.
// Qt tests only (header only; the test links Qt).
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace corvalind::testing {

// The first visible top-level window of type T, or null.
template <typename T>
T* VisibleWindow() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* window = qobject_cast<T*>(widget); window != nullptr && window->isVisible()) return window;
  }
  return nullptr;
}

// Runs `open`, which may bring up a window of type T modally, and hands
// that window to `drive` once it shows. Whatever `drive` leaves open is
// rejected, and a watchdog rejects it should `drive` never run, so a fault
// fails the test instead of hanging the run. Returns whether T showed.
template <typename T>
bool WithModal(const std::function<void()>& open, const std::function<void(T&)>& drive) {
  bool seen = false;
  QTimer poll;
  poll.setInterval(1);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    T* window = VisibleWindow<T>();
    if (window == nullptr) return;
    poll.stop();
    seen = true;
    drive(*window);
    if (window->isVisible()) window->reject();
  });
  QTimer watchdog;
  watchdog.setSingleShot(true);
  watchdog.setInterval(10000);
  QObject::connect(&watchdog, &QTimer::timeout, [] {
    ADD_FAILURE() << "a modal window stayed open";
    if (T* window = VisibleWindow<T>()) window->reject();
  });
  poll.start();
  watchdog.start();
  open();
  return seen;
}

}  // namespace corvalind::testing

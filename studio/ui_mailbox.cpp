#include "studio/ui_mailbox.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace corvalind {

UiMailbox::UiMailbox(QObject* parent) : QObject(parent) {}

UiMailbox::~UiMailbox() {
  // Taken under the mutex, so the last post's work is seen whole before
  // it is destroyed here.
  std::deque<std::function<void()>> dropped;
  std::lock_guard<std::mutex> guard(mutex_);
  dropped.swap(waiting_);
}

void UiMailbox::Post(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    waiting_.push_back(std::move(work));
    if (woken_) return;  // the queued Deliver takes this one too
    woken_ = true;
  }
  // By name: the call object is made and read inside Qt.
  QMetaObject::invokeMethod(this, "Deliver", Qt::QueuedConnection);
}

void UiMailbox::Deliver() {
  // One piece per call, as if each had been queued as an event of its own:
  // a piece that opens a modal box runs the event loop, and the pieces
  // after it then run inside that loop in their order.
  std::function<void()> piece;
  bool more = false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (waiting_.empty()) {
      woken_ = false;
      return;
    }
    piece = std::move(waiting_.front());
    waiting_.pop_front();
    more = !waiting_.empty();
    woken_ = more;
  }
  if (more) QMetaObject::invokeMethod(this, "Deliver", Qt::QueuedConnection);
  // Without the mutex: the piece may post again.
  piece();
}

UiMailbox* ApplicationMailbox() {
  static std::mutex made;
  static UiMailbox* mailbox = nullptr;
  std::lock_guard<std::mutex> guard(made);
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return nullptr;
  if (mailbox) return mailbox;
  mailbox = new UiMailbox;
  // Made on a worker, it is handed to the application's thread; it lives
  // as long as the process, like the application's own objects.
  if (mailbox->thread() != app->thread()) mailbox->moveToThread(app->thread());
  return mailbox;
}

}  // namespace corvalind

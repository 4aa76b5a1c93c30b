// Hands work from any thread to the thread a QObject lives on (the UI
// thread for the studio's windows).
//
// The work waits in a queue under a plain mutex, and the receiving thread
// is woken by a queued call that Qt builds inside its own library. Nothing
// made on a worker (a lambda, its captured texts, Qt's call object for it)
// is read on the UI thread except through that mutex, so the hand-over is
// ordered in a way the race detector can see as well: Qt's event queue
// is locked by means it does not know.
#pragma once

#include <QObject>
#include <functional>
#include <mutex>
#include <deque>

namespace corvalind {

class UiMailbox : public QObject {
  Q_OBJECT

 public:
  explicit UiMailbox(QObject* parent = nullptr);
  ~UiMailbox() override;

  // Any thread, while the mailbox exists. The work runs on the mailbox's
  // thread in the order posted; work still waiting when the mailbox goes
  // is dropped with it.
  void Post(std::function<void()> work);

 private:
  Q_INVOKABLE void Deliver();

  std::mutex mutex_;
  std::deque<std::function<void()>> waiting_;
  bool woken_ = false;  // a Deliver is queued and has not yet taken the work
};

// The mailbox of the application's own thread, made on first use (from
// any thread); nullptr before a QCoreApplication exists.
UiMailbox* ApplicationMailbox();

}  // namespace corvalind

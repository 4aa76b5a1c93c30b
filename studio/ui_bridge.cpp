#include "studio/ui_bridge.h"

#include <QApplication>
#include <QMainWindow>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QStatusBar>
#include <QThread>
#include <atomic>
#include <mutex>

#include "engine/messages.h"
#include "studio/ui_mailbox.h"

namespace corvalind {

namespace {

// The window the texts and boxes go to. Read and written on the UI thread
// only: worker threads never look at it.
QPointer<QMainWindow> gWindow;
// What work from other threads is posted to: a mailbox of the UI thread
// that lives exactly while a window is installed. Worker threads post
// under the mutex, and the UI thread takes it away under the mutex before
// deleting it, so a post never meets a half-destroyed mailbox; work still
// waiting when it goes is dropped with it.
std::mutex gContextMutex;
UiMailbox* gContext = nullptr;
std::atomic<StudioMessageHandler> gHandler{nullptr};
std::atomic<StudioQuestionHandler> gQuestionHandler{nullptr};

// Runs `work` on the UI thread: at once when called there, else queued.
void OnUiThread(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> guard(gContextMutex);
    UiMailbox* context = gContext ? gContext : ApplicationMailbox();
    if (!context) return;
    if (QThread::currentThread() != context->thread()) {
      context->Post(std::move(work));
      return;
    }
  }
  // On the UI thread, which alone deletes the context, without the mutex:
  // the work may open a modal box and run the event loop for a long time.
  work();
}

void StatusHandler(std::string_view text) {
  const QString copy = QString::fromUtf8(text.data(), static_cast<int>(text.size()));
  OnUiThread([copy] {
    if (gWindow && gWindow->statusBar() && gWindow->statusBar()->isVisible()) {
      gWindow->statusBar()->showMessage(copy);
    }
  });
}

void BoxHandler(std::string_view text, std::string_view caption) {
  ShowStudioMessage(QString::fromUtf8(text.data(), static_cast<int>(text.size())),
                    QString::fromUtf8(caption.data(), static_cast<int>(caption.size())));
}

}  // namespace

void InstallUiBridge(QMainWindow* window) {
  SetStatusTextHandler(window ? &StatusHandler : nullptr);
  SetMessageBoxHandler(window ? &BoxHandler : nullptr);
  UiMailbox* old = nullptr;
  {
    std::lock_guard<std::mutex> guard(gContextMutex);
    old = gContext;
    gContext = window ? new UiMailbox : nullptr;
  }
  delete old;
  gWindow = window;
}

void SetStudioMessageHandler(StudioMessageHandler handler) { gHandler = handler; }

void ShowStudioMessage(const QString& text, const QString& caption) {
  if (StudioMessageHandler handler = gHandler.load()) {
    handler(text, caption);
    return;
  }
  OnUiThread([text, caption] {
    QMessageBox box(caption.isEmpty() ? QMessageBox::NoIcon : QMessageBox::Critical, caption, text,
                    QMessageBox::Ok, gWindow.data());
    box.exec();
  });
}

void SetStudioQuestionHandler(StudioQuestionHandler handler) { gQuestionHandler = handler; }

bool AskStudioQuestion(const QString& text, const QString& caption) {
  if (StudioQuestionHandler handler = gQuestionHandler.load()) return handler(text, caption);
  QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No, gWindow.data());
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

}  // namespace corvalind

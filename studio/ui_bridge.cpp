#include "studio/ui_bridge.h"

#include <QApplication>
#include <QMainWindow>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QStatusBar>
#include <atomic>

#include "engine/messages.h"

namespace corvalind {

namespace {

QPointer<QMainWindow> gWindow;
std::atomic<StudioMessageHandler> gHandler{nullptr};

void OnUiThread(std::function<void()> work) {
  QObject* context = gWindow ? static_cast<QObject*>(gWindow.data()) : qApp;
  if (!context) return;
  QMetaObject::invokeMethod(context, std::move(work), Qt::AutoConnection);
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
  gWindow = window;
  SetStatusTextHandler(window ? &StatusHandler : nullptr);
  SetMessageBoxHandler(window ? &BoxHandler : nullptr);
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

}  // namespace corvalind

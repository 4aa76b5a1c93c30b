// Ends the studio in order when the system asks it to: SIGTERM, SIGINT and
// SIGHUP quit the event loop like File > Exit, so the main window and its
// child windows are destroyed, every form saves what it owns and the
// output block is released, instead of the process dying where it stands.
//
// The signal handler only writes one byte into a pipe; a socket notifier
// on the UI thread reads it and quits. Create once, on the UI thread,
// after the application object.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace corvalind {

class ShutdownSignals : public QObject {
  Q_OBJECT
 public:
  explicit ShutdownSignals(QObject* parent = nullptr);
  // Restores the default handlers.
  ~ShutdownSignals() override;

  // False when the pipe or a handler could not be set up (the signals then
  // keep their default action).
  bool Installed() const { return installed_; }

 signals:
  // On the UI thread, once per signal received; the number of the signal.
  void received(int signalNumber);

 private:
  void OnReadable();

  QSocketNotifier* notifier_ = nullptr;
  bool installed_ = false;
};

}  // namespace corvalind

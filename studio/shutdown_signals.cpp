#include "studio/shutdown_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

namespace corvalind {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The pipe the handler writes into: [0] read end, [1] write end.
int gPipe[2] = {-1, -1};

void OnSignal(int signalNumber) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(signalNumber);
  // Non-blocking: a flood of signals while the UI thread is busy only
  // drops the extra bytes.
  [[maybe_unused]] const ssize_t written = write(gPipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

ShutdownSignals::ShutdownSignals(QObject* parent) : QObject(parent) {
  if (gPipe[0] >= 0) return;  // one instance per process
  if (pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    gPipe[0] = gPipe[1] = -1;
    return;
  }
  notifier_ = new QSocketNotifier(gPipe[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &ShutdownSignals::OnReadable);
  struct sigaction action {};
  action.sa_handler = &OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  installed_ = true;
  for (int signalNumber : kSignals) installed_ = sigaction(signalNumber, &action, nullptr) == 0 && installed_;
}

ShutdownSignals::~ShutdownSignals() {
  if (!notifier_) return;
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (int signalNumber : kSignals) sigaction(signalNumber, &action, nullptr);
  delete notifier_;
  close(gPipe[0]);
  close(gPipe[1]);
  gPipe[0] = gPipe[1] = -1;
}

void ShutdownSignals::OnReadable() {
  unsigned char byte = 0;
  while (read(gPipe[0], &byte, 1) == 1) emit received(byte);
}

}  // namespace corvalind

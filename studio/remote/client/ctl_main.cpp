// corvalind-ctl: drives a running studio through its remote control from
// scripts. One command a run: it connects, signs in, sends the request,
// prints the result as JSON and exits (0 done, 1 an error from the studio,
// 2 a usage error, 3 no studio to talk to).

#include "ctl_commands.h"
#include "remote_client.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUnreachable = 3;

void Write(FILE* stream, const QByteArray& text) {
  std::fwrite(text.constData(), 1, size_t(text.size()), stream);
  std::fflush(stream);
}

void PrintJson(const QJsonObject& object) { Write(stdout, QJsonDocument(object).toJson(QJsonDocument::Indented)); }

void PrintError(const QString& code, const QString& message) {
  Write(stderr, QStringLiteral("corvalind-ctl: %1: %2\n").arg(code, message).toUtf8());
}

// Prints an error response's code and message; returns the exit status.
int ReportFailure(const QJsonObject& response) {
  const QJsonObject error = response.value(QStringLiteral("error")).toObject();
  PrintError(error.value(QStringLiteral("code")).toString(QStringLiteral("failed")),
             error.value(QStringLiteral("message")).toString());
  return kExitError;
}

// SIGINT and SIGTERM end the event stream through a socket pair the event
// loop watches (a signal handler may only write to it).
int g_signal_fds[2] = {-1, -1};

void OnSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(g_signal_fds[0], &byte, 1);
}

int StreamEvents(QCoreApplication& app, corvalind::RemoteClient& client) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signal_fds) != 0) {
    PrintError(QStringLiteral("failed"), QStringLiteral("cannot watch for signals"));
    return kExitError;
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  QSocketNotifier signalWatch(g_signal_fds[1], QSocketNotifier::Read);
  QObject::connect(&signalWatch, &QSocketNotifier::activated, &app, &QCoreApplication::quit);

  auto print = [&client] {
    for (const QJsonObject& event : client.TakeEvents()) {
      Write(stdout, QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n');
    }
  };
  QObject::connect(&client, &corvalind::RemoteClient::EventReceived, &app, print);
  QObject::connect(&client, &corvalind::RemoteClient::Disconnected, &app, &QCoreApplication::quit);
  print();  // any that came with the sign-in
  if (client.Connected()) app.exec();
  print();
  return 0;
}

int WriteThumbnail(const QString& fileName, QJsonObject result) {
  const QByteArray picture = QByteArray::fromBase64(result.value(QStringLiteral("data")).toString().toLatin1());
  QFile file(fileName);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(picture) != picture.size() ||
      !file.flush()) {
    PrintError(QStringLiteral("failed"), QStringLiteral("cannot write %1: %2").arg(fileName, file.errorString()));
    return kExitError;
  }
  // The picture is in the file; the printout names it instead.
  result.remove(QStringLiteral("data"));
  result.insert(QStringLiteral("file"), QFileInfo(fileName).absoluteFilePath());
  PrintJson(result);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("corvalind-ctl"));

  QString error;
  corvalind::CtlOptions options;
  if (!corvalind::ParseCtlOptions(QCoreApplication::arguments().mid(1), &options, &error)) {
    Write(stderr, QStringLiteral("corvalind-ctl: %1\n\n%2").arg(error, corvalind::CtlUsage()).toUtf8());
    return kExitUsage;
  }
  if (options.help) {
    Write(stdout, corvalind::CtlUsage().toUtf8());
    return 0;
  }
  corvalind::CtlCommand command;
  if (!corvalind::ParseCtlCommand(options.command, &command, &error)) {
    Write(stderr, QStringLiteral("corvalind-ctl: %1\n\n%2").arg(error, corvalind::CtlUsage()).toUtf8());
    return kExitUsage;
  }
  const QString password =
      options.havePassword ? options.password : qEnvironmentVariable("CORVALIND_REMOTE_PASSWORD");

  corvalind::RemoteClient client;
  if (!client.Connect(options.host, options.port, password, options.timeoutMs, &error)) {
    if (client.LastConnectFailure() == corvalind::RemoteClient::ConnectFailure::kUnauthorized) {
      PrintError(QStringLiteral("unauthorized"), error);
      return kExitError;
    }
    Write(stderr, QStringLiteral("corvalind-ctl: %1\n").arg(error).toUtf8());
    return kExitUnreachable;
  }

  int status = 0;
  if (command.events) {
    status = StreamEvents(app, client);
  } else if (command.raw) {
    const QJsonObject response = client.SendRaw(command.rawText, options.timeoutMs);
    PrintJson(response);
    if (!response.value(QStringLiteral("ok")).toBool()) status = ReportFailure(response);
  } else {
    const QJsonObject response = client.Request(command.request, command.params, options.timeoutMs);
    if (!response.value(QStringLiteral("ok")).toBool()) {
      status = ReportFailure(response);
    } else if (!command.outputFile.isEmpty()) {
      status = WriteThumbnail(command.outputFile, response.value(QStringLiteral("result")).toObject());
    } else {
      PrintJson(response.value(QStringLiteral("result")).toObject());
    }
  }
  client.Close();
  return status;
}

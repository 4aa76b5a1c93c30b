#pragma once

// corvalind-ctl's command line: the options before the command, and the
// command with its arguments turned into the request it sends. Nothing here
// talks to the studio, so the whole mapping can be tested on its own.

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace corvalind {

// What one command line asks for. Exactly one of: a request (request and
// params), the event stream (events), or a text sent as is (raw).
struct CtlCommand {
  QString request;
  QJsonObject params;
  // Where the decoded picture of program.thumbnail goes.
  QString outputFile;
  bool events = false;
  bool raw = false;
  QByteArray rawText;
};

// The options before the command.
struct CtlOptions {
  QString host = QStringLiteral("127.0.0.1");
  quint16 port = 4466;
  QString password;
  bool havePassword = false;  // --password was given (even empty)
  int timeoutMs = 5000;
  bool help = false;
  QStringList command;  // the command and its arguments
};

// Reads --host, --port, --password, --timeout and --help (each also as
// --name=value) up to the first argument that is not an option; args
// excludes the program name. False with a message on a bad option.
bool ParseCtlOptions(const QStringList& args, CtlOptions* out, QString* error);

// Maps a command and its arguments (the words after the options) to what
// the program sends. Paths the studio opens are made absolute, since the
// studio resolves them in its own working folder. False with a message on
// a usage error: no or an unknown command, missing or extra arguments, a
// value that is not what the command takes.
bool ParseCtlCommand(const QStringList& args, CtlCommand* out, QString* error);

// The usage text (options and commands).
QString CtlUsage();

}  // namespace corvalind

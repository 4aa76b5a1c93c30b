#pragma once

// The client side of the studio's remote control (docs/remote-control.md):
// one WebSocket connection, the sign-in with the hello challenge, requests
// matched to their responses by id, and the events the studio pushes.
//
// Every call that waits runs a local QEventLoop until its answer arrives or
// its time is up, so the client works both in a program that never starts
// the application's event loop (corvalind-ctl) and inside one that runs it.
// A QCoreApplication (or QApplication) must exist; everything happens on
// the thread that made the client.

#include <QByteArray>
#include <QEventLoop>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QWebSocket>

#include <cstdint>
#include <deque>
#include <vector>

namespace corvalind {

class RemoteClient : public QObject {
  Q_OBJECT

 public:
  // Why the last Connect() failed.
  enum class ConnectFailure {
    kNone,
    kUnreachable,   // no connection, or it closed before the hello
    kTimedOut,      // no hello, or no answer to the sign-in, in time
    kUnauthorized,  // the studio wants a password and none was given, or refused it
  };

  explicit RemoteClient(QObject* parent = nullptr);
  ~RemoteClient() override;

  RemoteClient(const RemoteClient&) = delete;
  RemoteClient& operator=(const RemoteClient&) = delete;

  // Opens ws://host:port/, waits for the hello and signs in when the hello
  // carries a challenge. On failure returns false, closes the connection
  // and puts a readable reason into *error (when given).
  bool Connect(const QString& host, quint16 port, const QString& password, int timeoutMs,
               QString* error);

  // Sends {"id": n, "request": name, "params": params} (no params when
  // empty) and returns the response with that id. Events arriving
  // meanwhile are kept for TakeEvents()/WaitForEvent(). On timeout or a
  // lost connection the result is {"ok": false, "error": {"code":
  // "failed", "message": ...}}.
  QJsonObject Request(const QString& name, const QJsonObject& params, int timeoutMs);

  // Sends text as one frame, unchanged, and returns the first response
  // (a message with "ok") that arrives after it; a timeout or a lost
  // connection gives the same "failed" response as Request().
  QJsonObject SendRaw(const QByteArray& text, int timeoutMs);

  // The events received so far (not the hello), oldest first; the list is
  // emptied.
  std::vector<QJsonObject> TakeEvents();

  // Returns the first kept event named name, or waits for one to arrive,
  // and removes it from the kept events; the others stay, in their order.
  // An empty name matches any event. False when none came within timeoutMs
  // or the connection closed.
  bool WaitForEvent(const QString& name, int timeoutMs, QJsonObject* event);

  // The hello's object as received ({} before a connection).
  QJsonObject Hello() const { return hello_; }
  bool Connected() const;
  ConnectFailure LastConnectFailure() const { return connect_failure_; }
  void Close();

 Q_SIGNALS:
  // A new event was kept (it is in TakeEvents() already).
  void EventReceived();
  // The connection closed (by either side, or it could not be opened).
  void Disconnected();

 private:
  struct Response {
    std::uint64_t serial;  // order of arrival
    QJsonObject message;
  };

  void OnMessage(const QString& text);
  void OnClosed();
  // Runs a local event loop until done() holds, the connection is gone or
  // timeoutMs passed; returns done().
  template <typename Done>
  bool WaitUntil(Done done, int timeoutMs);
  // Takes the first kept response for which match() holds, dropping the
  // responses that arrived before it (answers to requests given up on).
  template <typename Match>
  bool TakeResponse(Match match, QJsonObject* out);
  // Sends text and waits for the response match() picks; false on a
  // timeout or a lost connection (closed_ tells which).
  template <typename Match>
  bool Exchange(const QByteArray& text, Match match, int timeoutMs, QJsonObject* response);
  QJsonObject FailedResponse(int timeoutMs) const;
  void WakeWaiter();

  QWebSocket socket_;
  QJsonObject hello_;
  bool have_hello_ = false;
  bool closed_ = true;
  QString close_reason_;
  ConnectFailure connect_failure_ = ConnectFailure::kNone;
  qint64 next_id_ = 1;
  std::uint64_t next_serial_ = 0;
  std::deque<Response> responses_;
  std::deque<QJsonObject> events_;
  QEventLoop* waiter_ = nullptr;  // the innermost wait, woken by arrivals
};

}  // namespace corvalind

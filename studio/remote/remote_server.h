// The remote control's server: a WebSocket server on the UI thread that
// greets each client, signs it in when a password is set, reads its
// requests within the message size and rate limits, hands them to the
// studio's handler and sends the answer, and pushes events to every
// signed-in client.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "studio/remote/remote_protocol.h"

class QWebSocket;
class QWebSocketServer;

namespace corvalind {

struct RemoteServerSettings {
  QHostAddress address = QHostAddress::LocalHost;
  quint16 port = kRemoteDefaultPort;  // 0: the system picks one (tests)
  QString password;                   // empty: no sign-in
  int messagesPerSecond = 200;        // per client
};

class RemoteServer : public QObject {
  Q_OBJECT
 public:
  // Runs one request; false with an error. Called on the UI thread.
  using Handler = std::function<bool(const RemoteRequest& request, QJsonObject* result, RemoteError* error)>;

  RemoteServer(QString studioName, Handler handler, QObject* parent = nullptr);
  ~RemoteServer() override;

  // Starts listening; false with a reason (the port is taken, ...).
  bool Listen(const RemoteServerSettings& settings, QString* reason);
  void Close();
  bool Listening() const;
  quint16 Port() const;

  // Sends an event to every signed-in client.
  void Broadcast(const QString& name, const QJsonObject& data);
  int ClientCount() const;

 private:
  struct Client;
  void Accept();
  void Receive(Client* client, const QString& text);
  void Drop(QWebSocket* socket);

  const QString studioName_;
  const Handler handler_;
  RemoteServerSettings settings_;
  QWebSocketServer* server_ = nullptr;
  std::vector<std::unique_ptr<Client>> clients_;
};

}  // namespace corvalind

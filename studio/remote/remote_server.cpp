#include "studio/remote/remote_server.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QWebSocket>
#include <QWebSocketServer>
#include <algorithm>

namespace corvalind {

namespace {

constexpr int kMaxClients = 64;
constexpr int kMaxWrongAnswers = 3;
// A client that keeps flooding past its rate is dropped after this many
// refused messages in a row.
constexpr int kMaxRefusedInARow = 1000;
constexpr quint64 kSocketMessageLimit = 1024 * 1024;

}  // namespace

struct RemoteServer::Client {
  QWebSocket* socket = nullptr;
  QByteArray challenge;  // empty when no sign-in is needed
  bool signedIn = false;
  int wrongAnswers = 0;
  // The rate limit: a bucket of messages refilled at the rate, one second deep.
  double allowance = 0;
  QElapsedTimer clock;
  int refusedInARow = 0;
};

RemoteServer::RemoteServer(QString studioName, Handler handler, QObject* parent)
    : QObject(parent), studioName_(std::move(studioName)), handler_(std::move(handler)) {}

RemoteServer::~RemoteServer() { Close(); }

bool RemoteServer::Listen(const RemoteServerSettings& settings, QString* reason) {
  Close();
  settings_ = settings;
  server_ = new QWebSocketServer(QStringLiteral("Corvalind"), QWebSocketServer::NonSecureMode, this);
  server_->setMaxPendingConnections(kMaxClients);
  if (!server_->listen(settings.address, settings.port)) {
    if (reason) *reason = server_->errorString();
    delete server_;
    server_ = nullptr;
    return false;
  }
  connect(server_, &QWebSocketServer::newConnection, this, &RemoteServer::Accept);
  return true;
}

void RemoteServer::Close() {
  for (auto& client : clients_) {
    client->socket->disconnect(this);
    client->socket->abort();
    client->socket->deleteLater();
  }
  clients_.clear();
  if (server_) {
    server_->close();
    delete server_;
    server_ = nullptr;
  }
}

bool RemoteServer::Listening() const { return server_ && server_->isListening(); }
quint16 RemoteServer::Port() const { return server_ ? server_->serverPort() : 0; }
int RemoteServer::ClientCount() const { return static_cast<int>(clients_.size()); }

void RemoteServer::Accept() {
  while (QWebSocket* socket = server_->nextPendingConnection()) {
    if (static_cast<int>(clients_.size()) >= kMaxClients) {
      socket->close(QWebSocketProtocol::CloseCodePolicyViolated, "too many clients");
      socket->deleteLater();
      continue;
    }
    // Messages a little past the protocol's limit get a too_large answer;
    // far past it the socket refuses them and closes, so nothing large is
    // ever gathered in memory.
    socket->setMaxAllowedIncomingMessageSize(kSocketMessageLimit);
    socket->setMaxAllowedIncomingFrameSize(kSocketMessageLimit);
    auto client = std::make_unique<Client>();
    client->socket = socket;
    client->allowance = settings_.messagesPerSecond;
    client->clock.start();
    if (!settings_.password.isEmpty()) client->challenge = NewChallenge();
    client->signedIn = settings_.password.isEmpty();
    Client* raw = client.get();
    clients_.push_back(std::move(client));
    connect(socket, &QWebSocket::textMessageReceived, this, [this, raw](const QString& text) { Receive(raw, text); });
    connect(socket, &QWebSocket::binaryMessageReceived, this, [raw](const QByteArray&) {
      raw->socket->sendTextMessage(
          QString::fromUtf8(RemoteFailure(QJsonValue::Null, {remote_error::kMalformed, "messages are JSON text"})));
    });
    connect(socket, &QWebSocket::disconnected, this, [this, socket] { Drop(socket); });
    QJsonObject hello{{"protocol", kRemoteProtocolVersion}, {"studio", studioName_}};
    hello.insert("authentication", raw->challenge.isEmpty()
                                       ? QJsonValue(QJsonValue::Null)
                                       : QJsonValue(QJsonObject{{"challenge", QString::fromLatin1(raw->challenge.toBase64())}}));
    socket->sendTextMessage(QString::fromUtf8(RemoteEvent("hello", hello)));
  }
}

void RemoteServer::Drop(QWebSocket* socket) {
  const auto it = std::find_if(clients_.begin(), clients_.end(), [socket](const auto& c) { return c->socket == socket; });
  if (it == clients_.end()) return;
  socket->disconnect(this);
  socket->deleteLater();
  clients_.erase(it);
}

void RemoteServer::Receive(Client* client, const QString& text) {
  QWebSocket* socket = client->socket;
  // The rate limit first: a flood costs no parsing.
  const double elapsed = static_cast<double>(client->clock.restart()) / 1000.0;
  client->allowance = std::min<double>(settings_.messagesPerSecond, client->allowance + elapsed * settings_.messagesPerSecond);
  if (client->allowance < 1.0) {
    if (++client->refusedInARow >= kMaxRefusedInARow) {
      socket->close(QWebSocketProtocol::CloseCodePolicyViolated, "too many messages");
      return;
    }
    // The answer names the request when a short message says which, so a
    // client waiting for it is not left to its timeout.
    RemoteRequest refused;
    RemoteError ignored;
    QJsonValue id;
    if (text.size() <= 4096) ParseRemoteRequest(text.toUtf8(), &refused, &ignored, &id);
    socket->sendTextMessage(QString::fromUtf8(RemoteFailure(
        id, {remote_error::kRateLimited, QString("at most %1 messages a second").arg(settings_.messagesPerSecond)})));
    return;
  }
  client->allowance -= 1.0;
  client->refusedInARow = 0;

  RemoteRequest request;
  RemoteError error;
  QJsonValue id;
  const QByteArray bytes = text.toUtf8();
  if (!ParseRemoteRequest(bytes, &request, &error, &id)) {
    socket->sendTextMessage(QString::fromUtf8(RemoteFailure(id, error)));
    return;
  }
  if (request.name == "authenticate") {
    if (client->challenge.isEmpty() || client->signedIn) {
      socket->sendTextMessage(QString::fromUtf8(RemoteResult(request.id, {})));
      return;
    }
    const QString answer = request.params.value("response").toString();
    if (ChallengeAnswerMatches(settings_.password, client->challenge, answer)) {
      client->signedIn = true;
      socket->sendTextMessage(QString::fromUtf8(RemoteResult(request.id, {})));
      return;
    }
    socket->sendTextMessage(
        QString::fromUtf8(RemoteFailure(request.id, {remote_error::kUnauthorized, "wrong answer to the challenge"})));
    if (++client->wrongAnswers >= kMaxWrongAnswers) {
      socket->close(QWebSocketProtocol::CloseCodePolicyViolated, "wrong answers");
    }
    return;
  }
  if (!client->signedIn) {
    socket->sendTextMessage(
        QString::fromUtf8(RemoteFailure(request.id, {remote_error::kUnauthorized, "sign in with \"authenticate\" first"})));
    return;
  }
  QJsonObject result;
  // The handler may open windows and run their event loops' work; the
  // client may be gone when it returns.
  QPointer<QWebSocket> guard(socket);
  const bool ok = handler_(request, &result, &error);
  if (!guard) return;
  socket->sendTextMessage(QString::fromUtf8(ok ? RemoteResult(request.id, result) : RemoteFailure(request.id, error)));
}

void RemoteServer::Broadcast(const QString& name, const QJsonObject& data) {
  if (clients_.empty()) return;
  const QString text = QString::fromUtf8(RemoteEvent(name, data));
  for (const auto& client : clients_) {
    if (client->signedIn) client->socket->sendTextMessage(text);
  }
}

}  // namespace corvalind

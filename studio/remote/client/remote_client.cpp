#include "remote_client.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonValue>
#include <QMessageAuthenticationCode>
#include <QTimer>
#include <QUrl>

#include <algorithm>

namespace corvalind {

namespace {

// How long Close() lets the closing handshake run before it drops the
// connection.
constexpr int kCloseWaitMs = 500;

// A negative time waits without end.
QDeadlineTimer Deadline(int timeoutMs) {
  return timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(timeoutMs);
}

QString Endpoint(const QString& host, quint16 port) {
  return host.contains(':') ? QStringLiteral("[%1]:%2").arg(host).arg(port)
                            : QStringLiteral("%1:%2").arg(host).arg(port);
}

}  // namespace

RemoteClient::RemoteClient(QObject* parent) : QObject(parent) {
  connect(&socket_, &QWebSocket::textMessageReceived, this, &RemoteClient::OnMessage);
  connect(&socket_, &QWebSocket::disconnected, this, &RemoteClient::OnClosed);
  connect(&socket_, &QWebSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
    if (state == QAbstractSocket::UnconnectedState) OnClosed();
  });
  auto onError = [this](QAbstractSocket::SocketError) {
    if (close_reason_.isEmpty()) close_reason_ = socket_.errorString();
    if (socket_.state() == QAbstractSocket::UnconnectedState) OnClosed();
  };
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
  connect(&socket_, &QWebSocket::errorOccurred, this, onError);
#else
  connect(&socket_, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this, onError);
#endif
}

RemoteClient::~RemoteClient() {
  // The socket is destroyed after this object's own members; it must not
  // call back into them on its way out.
  disconnect(&socket_, nullptr, this, nullptr);
  socket_.abort();
}

bool RemoteClient::Connect(const QString& host, quint16 port, const QString& password,
                           int timeoutMs, QString* error) {
  auto fail = [&](ConnectFailure failure, const QString& message) {
    connect_failure_ = failure;
    if (error) *error = message;
    Close();
    return false;
  };

  if (socket_.state() != QAbstractSocket::UnconnectedState) Close();
  hello_ = {};
  have_hello_ = false;
  closed_ = false;
  close_reason_.clear();
  connect_failure_ = ConnectFailure::kNone;
  responses_.clear();
  events_.clear();

  const QString endpoint = Endpoint(host, port);
  QUrl url;
  url.setScheme(QStringLiteral("ws"));
  url.setHost(host);
  url.setPort(port);
  url.setPath(QStringLiteral("/"));
  if (!url.isValid()) return fail(ConnectFailure::kUnreachable, QStringLiteral("bad address %1").arg(endpoint));

  const QDeadlineTimer deadline = Deadline(timeoutMs);
  socket_.open(url);
  if (!WaitUntil([this] { return have_hello_; }, timeoutMs)) {
    if (closed_) {
      return fail(ConnectFailure::kUnreachable,
                  QStringLiteral("cannot reach the studio at %1: %2")
                      .arg(endpoint, close_reason_.isEmpty() ? QStringLiteral("the connection closed")
                                                             : close_reason_));
    }
    return fail(ConnectFailure::kTimedOut,
                QStringLiteral("no hello from the studio at %1 within %2 ms").arg(endpoint).arg(timeoutMs));
  }

  // "authentication" is null when the studio has no password.
  const QJsonValue authentication = hello_.value(QStringLiteral("data")).toObject().value(QStringLiteral("authentication"));
  if (!authentication.isObject()) return true;
  const QJsonValue challenge = authentication.toObject().value(QStringLiteral("challenge"));
  if (!challenge.isString()) return true;
  if (password.isEmpty()) {
    return fail(ConnectFailure::kUnauthorized,
                QStringLiteral("the studio at %1 wants a password").arg(endpoint));
  }

  // The password stays here: only the HMAC of the challenge travels.
  const QByteArray challengeBytes = QByteArray::fromBase64(challenge.toString().toLatin1());
  const QByteArray answer =
      QMessageAuthenticationCode::hash(challengeBytes, password.toUtf8(), QCryptographicHash::Sha256).toBase64();
  const qint64 id = next_id_++;
  const QJsonObject request{{QStringLiteral("id"), id},
                            {QStringLiteral("request"), QStringLiteral("authenticate")},
                            {QStringLiteral("params"),
                             QJsonObject{{QStringLiteral("response"), QString::fromLatin1(answer)}}}};
  const int left = deadline.isForever() ? -1 : int(std::max<qint64>(deadline.remainingTime(), 1));
  QJsonObject response;
  const bool answered = Exchange(
      QJsonDocument(request).toJson(QJsonDocument::Compact),
      [id](const Response& r) {
        const QJsonValue v = r.message.value(QStringLiteral("id"));
        return v.isDouble() && v.toDouble() == double(id);
      },
      left, &response);
  if (!answered) {
    if (closed_) {
      return fail(ConnectFailure::kUnauthorized,
                  QStringLiteral("the studio at %1 closed the connection while signing in").arg(endpoint));
    }
    return fail(ConnectFailure::kTimedOut,
                QStringLiteral("no answer to the sign-in from the studio at %1 within %2 ms").arg(endpoint).arg(timeoutMs));
  }
  if (!response.value(QStringLiteral("ok")).toBool()) {
    const QJsonObject e = response.value(QStringLiteral("error")).toObject();
    QString message = e.value(QStringLiteral("message")).toString();
    if (message.isEmpty()) message = e.value(QStringLiteral("code")).toString(QStringLiteral("refused"));
    return fail(ConnectFailure::kUnauthorized,
                QStringLiteral("the studio at %1 refused the password: %2").arg(endpoint, message));
  }
  return true;
}

QJsonObject RemoteClient::Request(const QString& name, const QJsonObject& params, int timeoutMs) {
  const qint64 id = next_id_++;
  QJsonObject request{{QStringLiteral("id"), id}, {QStringLiteral("request"), name}};
  if (!params.isEmpty()) request.insert(QStringLiteral("params"), params);
  QJsonObject response;
  const bool answered = Exchange(
      QJsonDocument(request).toJson(QJsonDocument::Compact),
      [id](const Response& r) {
        const QJsonValue v = r.message.value(QStringLiteral("id"));
        return v.isDouble() && v.toDouble() == double(id);
      },
      timeoutMs, &response);
  return answered ? response : FailedResponse(timeoutMs);
}

QJsonObject RemoteClient::SendRaw(const QByteArray& text, int timeoutMs) {
  const std::uint64_t after = next_serial_;
  QJsonObject response;
  const bool answered =
      Exchange(text, [after](const Response& r) { return r.serial >= after; }, timeoutMs, &response);
  return answered ? response : FailedResponse(timeoutMs);
}

std::vector<QJsonObject> RemoteClient::TakeEvents() {
  std::vector<QJsonObject> taken(std::make_move_iterator(events_.begin()), std::make_move_iterator(events_.end()));
  events_.clear();
  return taken;
}

bool RemoteClient::WaitForEvent(const QString& name, int timeoutMs, QJsonObject* event) {
  auto matches = [&name](const QJsonObject& e) {
    return name.isEmpty() || e.value(QStringLiteral("event")).toString() == name;
  };
  auto found = events_.end();
  const bool arrived = WaitUntil(
      [&] {
        found = std::find_if(events_.begin(), events_.end(), matches);
        return found != events_.end();
      },
      timeoutMs);
  if (!arrived) return false;
  if (event) *event = *found;
  events_.erase(found);
  return true;
}

bool RemoteClient::Connected() const {
  return !closed_ && socket_.state() == QAbstractSocket::ConnectedState;
}

void RemoteClient::Close() {
  if (socket_.state() == QAbstractSocket::UnconnectedState) {
    closed_ = true;
    return;
  }
  socket_.close();
  // Let the closing handshake finish so the studio sees a clean close.
  if (!WaitUntil([this] { return socket_.state() == QAbstractSocket::UnconnectedState; }, kCloseWaitMs)) {
    socket_.abort();
  }
  closed_ = true;
}

void RemoteClient::OnMessage(const QString& text) {
  QJsonParseError parseError{};
  const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &parseError);
  if (parseError.error != QJsonParseError::NoError || !document.isObject()) return;
  const QJsonObject message = document.object();
  if (message.contains(QStringLiteral("ok"))) {
    responses_.push_back({next_serial_++, message});
    WakeWaiter();
  } else if (message.value(QStringLiteral("event")).isString()) {
    if (message.value(QStringLiteral("event")).toString() == QLatin1String("hello")) {
      hello_ = message;
      have_hello_ = true;
    } else {
      events_.push_back(message);
      Q_EMIT EventReceived();
    }
    WakeWaiter();
  }
}

void RemoteClient::OnClosed() {
  if (closed_) return;
  closed_ = true;
  WakeWaiter();
  Q_EMIT Disconnected();
}

template <typename Done>
bool RemoteClient::WaitUntil(Done done, int timeoutMs) {
  const QDeadlineTimer deadline = Deadline(timeoutMs);
  while (!done()) {
    if (closed_ || deadline.hasExpired()) return false;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (!deadline.isForever()) timer.start(int(std::max<qint64>(deadline.remainingTime(), 0)));
    QEventLoop* outer = waiter_;
    waiter_ = &loop;
    loop.exec();
    waiter_ = outer;
  }
  return true;
}

template <typename Match>
bool RemoteClient::TakeResponse(Match match, QJsonObject* out) {
  const auto found = std::find_if(responses_.begin(), responses_.end(), match);
  if (found == responses_.end()) return false;
  *out = found->message;
  responses_.erase(responses_.begin(), found + 1);
  return true;
}

template <typename Match>
bool RemoteClient::Exchange(const QByteArray& text, Match match, int timeoutMs, QJsonObject* response) {
  if (!Connected()) return false;
  socket_.sendTextMessage(QString::fromUtf8(text));
  return WaitUntil([&] { return TakeResponse(match, response); }, timeoutMs);
}

QJsonObject RemoteClient::FailedResponse(int timeoutMs) const {
  const QString message = Connected() ? QStringLiteral("no response within %1 ms").arg(timeoutMs)
                                      : QStringLiteral("not connected to the studio");
  return {{QStringLiteral("ok"), false},
          {QStringLiteral("error"),
           QJsonObject{{QStringLiteral("code"), QStringLiteral("failed")}, {QStringLiteral("message"), message}}}};
}

void RemoteClient::WakeWaiter() {
  if (waiter_) waiter_->quit();
}

}  // namespace corvalind

#include "studio/remote/remote_protocol.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <cmath>

#include "engine/transition.h"
#include "studio/window_kinds.h"

namespace corvalind {

namespace {

const char* const kTransitionNames[kTransitionTypeCount] = {
    "cut",   "blend", "move-left", "move-right", "move-top",  "move-bottom",
    "split", "break", "lines",     "fade-black", "fade-white",
};

const char* const kKindNames[kWindowKindCount] = {
    "camera",     "videofile", "slideshow",    "desktop", "game",     "overlay",
    "background", "program",   "scenemanager", "network", "recorder", "settings",
    "stream",
};

QByteArray Compact(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

RemoteError Bad(const char* name, const QString& what) {
  return {remote_error::kBadParams, QString("%1: %2").arg(QString::fromUtf8(name), what)};
}

}  // namespace

bool ParseRemoteRequest(const QByteArray& text, RemoteRequest* request, RemoteError* error, QJsonValue* id) {
  *id = QJsonValue::Null;
  if (text.size() > kRemoteMaxMessageBytes) {
    *error = {remote_error::kTooLarge, QString("a message may have at most %1 bytes").arg(kRemoteMaxMessageBytes)};
    return false;
  }
  QJsonParseError parseError{};
  const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
  if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
    *error = {remote_error::kMalformed, parseError.error != QJsonParseError::NoError
                                            ? "not JSON: " + parseError.errorString()
                                            : QString("a message must be a JSON object")};
    return false;
  }
  const QJsonObject object = document.object();
  const QJsonValue idValue = object.value("id");
  if (idValue.isDouble() || idValue.isString()) *id = idValue;
  if (!idValue.isUndefined() && !idValue.isNull() && !idValue.isDouble() && !idValue.isString()) {
    *error = {remote_error::kMalformed, "the id must be a number or a string"};
    return false;
  }
  const QJsonValue name = object.value("request");
  if (!name.isString() || name.toString().isEmpty()) {
    *error = {remote_error::kMalformed, "a request needs its name in \"request\""};
    return false;
  }
  const QJsonValue params = object.value("params");
  if (!params.isUndefined() && !params.isNull() && !params.isObject()) {
    *error = {remote_error::kMalformed, "\"params\" must be an object"};
    return false;
  }
  request->id = *id;
  request->name = name.toString();
  request->params = params.toObject();
  return true;
}

QByteArray RemoteResult(const QJsonValue& id, const QJsonObject& result) {
  return Compact({{"id", id}, {"ok", true}, {"result", result}});
}

QByteArray RemoteFailure(const QJsonValue& id, const RemoteError& error) {
  return Compact({{"id", id}, {"ok", false}, {"error", QJsonObject{{"code", error.code}, {"message", error.message}}}});
}

QByteArray RemoteEvent(const QString& name, const QJsonObject& data) {
  return Compact({{"event", name}, {"data", data}});
}

std::optional<int> TransitionFromValue(const QJsonValue& value) {
  if (value.isDouble()) {
    const double number = value.toDouble();
    if (number >= 0 && number < kTransitionTypeCount && std::floor(number) == number) return static_cast<int>(number);
    return std::nullopt;
  }
  if (!value.isString()) return std::nullopt;
  const QString text = value.toString().trimmed();
  for (int i = 0; i < kTransitionTypeCount; ++i) {
    if (text.compare(kTransitionNames[i], Qt::CaseInsensitive) == 0) return i;
    if (text.compare(QString::fromUtf8(TransitionName(i)), Qt::CaseInsensitive) == 0) return i;
  }
  return std::nullopt;
}

QString TransitionProtocolName(int type) {
  return type >= 0 && type < kTransitionTypeCount ? QString(kTransitionNames[type]) : QString();
}

std::optional<int> WindowKindFromName(const QString& name) {
  for (int i = 0; i < kWindowKindCount; ++i) {
    if (name.compare(kKindNames[i], Qt::CaseInsensitive) == 0) return i;
  }
  return std::nullopt;
}

QString WindowKindName(int kind) { return kind >= 0 && kind < kWindowKindCount ? QString(kKindNames[kind]) : QString(); }

QByteArray NewChallenge() {
  QByteArray bytes(32, '\0');
  QRandomGenerator* random = QRandomGenerator::system();
  for (char& b : bytes) b = static_cast<char>(random->bounded(256));
  return bytes;
}

QByteArray ChallengeAnswer(const QString& password, const QByteArray& challenge) {
  return QMessageAuthenticationCode::hash(challenge, password.toUtf8(), QCryptographicHash::Sha256).toBase64();
}

bool ChallengeAnswerMatches(const QString& password, const QByteArray& challenge, const QString& answer) {
  const QByteArray expected = ChallengeAnswer(password, challenge);
  const QByteArray given = answer.toLatin1();
  if (given.size() != expected.size()) return false;
  unsigned char difference = 0;
  for (qsizetype i = 0; i < expected.size(); ++i) {
    difference |= static_cast<unsigned char>(expected[i] ^ given[i]);
  }
  return difference == 0;
}

bool IntParam(const QJsonObject& params, const char* name, int low, int high, int* out, RemoteError* error) {
  const QJsonValue value = params.value(QString::fromUtf8(name));
  if (!value.isDouble()) {
    *error = Bad(name, "a whole number is needed");
    return false;
  }
  const double number = value.toDouble();
  if (std::floor(number) != number || number < low || number > high) {
    *error = Bad(name, QString("a whole number from %1 to %2 is needed").arg(low).arg(high));
    return false;
  }
  *out = static_cast<int>(number);
  return true;
}

bool StringParam(const QJsonObject& params, const char* name, QString* out, RemoteError* error) {
  const QJsonValue value = params.value(QString::fromUtf8(name));
  if (!value.isString() || value.toString().isEmpty()) {
    *error = Bad(name, "a text is needed");
    return false;
  }
  *out = value.toString();
  return true;
}

bool BoolParam(const QJsonObject& params, const char* name, bool* out, RemoteError* error) {
  const QJsonValue value = params.value(QString::fromUtf8(name));
  if (!value.isBool()) {
    *error = Bad(name, "true or false is needed");
    return false;
  }
  *out = value.toBool();
  return true;
}

}  // namespace corvalind

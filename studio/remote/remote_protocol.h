// The remote control's messages: reading a request, writing responses,
// errors and events, the names of transitions and window kinds, and the
// challenge-response sign-in. No windows are needed, so the fuzzer and
// the tests use it without a studio.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <optional>

namespace corvalind {

inline constexpr int kRemoteProtocolVersion = 1;
inline constexpr int kRemoteMaxMessageBytes = 64 * 1024;
inline constexpr quint16 kRemoteDefaultPort = 4466;

// Error codes of the protocol.
namespace remote_error {
inline constexpr const char* kMalformed = "malformed";
inline constexpr const char* kTooLarge = "too_large";
inline constexpr const char* kRateLimited = "rate_limited";
inline constexpr const char* kUnauthorized = "unauthorized";
inline constexpr const char* kUnknownRequest = "unknown_request";
inline constexpr const char* kBadParams = "bad_params";
inline constexpr const char* kNotAvailable = "not_available";
inline constexpr const char* kFailed = "failed";
}  // namespace remote_error

struct RemoteError {
  QString code;
  QString message;
};

struct RemoteRequest {
  QJsonValue id;  // a number or a string; null when the message had none
  QString name;
  QJsonObject params;
};

// Reads one text message. A message that is no JSON object, has no
// request name, or whose id or params have the wrong type gives an error
// (with the id when one could be read).
bool ParseRemoteRequest(const QByteArray& text, RemoteRequest* request, RemoteError* error, QJsonValue* id);

QByteArray RemoteResult(const QJsonValue& id, const QJsonObject& result);
QByteArray RemoteFailure(const QJsonValue& id, const RemoteError& error);
QByteArray RemoteEvent(const QString& name, const QJsonObject& data);

// The transition named by a protocol name ("fade-black"), the Scene
// Manager's title ("Fade Black") or its number (0..10); nullopt otherwise.
std::optional<int> TransitionFromValue(const QJsonValue& value);
// The protocol name of transition `type` ("blend").
QString TransitionProtocolName(int type);

// The window kind named `name` ("slideshow"), or nullopt.
std::optional<int> WindowKindFromName(const QString& name);
QString WindowKindName(int kind);

// 32 random bytes from the system's generator.
QByteArray NewChallenge();
// HMAC-SHA256 of the challenge with the password as key, base64.
QByteArray ChallengeAnswer(const QString& password, const QByteArray& challenge);
// Whether `answer` (base64) is the right one; compares in constant time.
bool ChallengeAnswerMatches(const QString& password, const QByteArray& challenge, const QString& answer);

// Parameter readers: false with a bad_params error naming the parameter.
bool IntParam(const QJsonObject& params, const char* name, int low, int high, int* out, RemoteError* error);
bool StringParam(const QJsonObject& params, const char* name, QString* out, RemoteError* error);
bool BoolParam(const QJsonObject& params, const char* name, bool* out, RemoteError* error);

}  // namespace corvalind

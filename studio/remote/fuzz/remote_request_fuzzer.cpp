// The remote control's message reader on any bytes: it never crashes, a
// message it takes has a request name and parameters as an object, what it
// refuses gets an error code of the protocol, and every answer it would
// write is itself a JSON object that reads back. The parameter readers and
// the name tables get the parameters too.
#include <QJsonDocument>
#include <QJsonObject>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "studio/remote/remote_protocol.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool ReadsBack(const QByteArray& text) {
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(text, &error);
  return error.error == QJsonParseError::NoError && document.isObject();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvalind;
  const QByteArray text(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  RemoteRequest request;
  RemoteError error;
  QJsonValue id;
  if (ParseRemoteRequest(text, &request, &error, &id)) {
    Check(!request.name.isEmpty());
    Check(request.id.isNull() || request.id.isDouble() || request.id.isString());
    Check(ReadsBack(RemoteResult(request.id, request.params)));
    int number = 0;
    QString string;
    bool flag = false;
    RemoteError paramError;
    if (IntParam(request.params, "scene", 1, 10, &number, &paramError)) Check(number >= 1 && number <= 10);
    StringParam(request.params, "path", &string, &paramError);
    BoolParam(request.params, "enabled", &flag, &paramError);
    if (const auto t = TransitionFromValue(request.params.value("transition"))) Check(*t >= 0 && *t <= 10);
    WindowKindFromName(request.params.value("kind").toString());
  } else {
    Check(error.code == remote_error::kMalformed || error.code == remote_error::kTooLarge);
    Check(!error.message.isEmpty());
    Check(ReadsBack(RemoteFailure(id, error)));
  }
  return 0;
}

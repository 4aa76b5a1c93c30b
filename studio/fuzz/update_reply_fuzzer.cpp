// The update check's readers on any bytes: the server address of the
// configuration (the URL) and the server's reply. Neither crashes or reads
// past its text; an address it takes is one the request can be built from
// (a host of allowed characters, a port), and a version it finds lies
// inside the reply, after the key.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "studio/update_check.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto server = corvalind::ParseUpdateServer(text)) {
    Check(!server->host.empty());
    Check(server->host.find_first_of("\r\n/@ ") == std::string::npos);
    Check(!server->HostHeader().empty());
  }
  if (const auto version = corvalind::VersionInReply(text)) {
    Check(version->data() >= text.data() && version->data() + version->size() == text.data() + text.size());
    Check(version->data() - text.data() > static_cast<std::ptrdiff_t>(std::string_view("CorvalindVersion:").size()));
  }
  return 0;
}

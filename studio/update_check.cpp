#include "studio/update_check.h"

#include <arpa/inet.h>

#include <QCoreApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <atomic>
#include <cctype>
#include <chrono>
#include <deque>
#include <mutex>

#include "capture/request_client.h"
#include "platform/version.h"
#include "studio/studio_config.h"
#include "studio/ui_mailbox.h"

namespace corvalind {

namespace {

// The largest reply read; the version text sits within the first bytes.
constexpr int kMaxReplyBytes = 1024;
// How long the server may stay silent before an attempt ends (6 s).
constexpr int kServerPatience = 3000;
constexpr int kAutomaticDelayMs = 1000;
constexpr int kRetryDelayMs = 250;
constexpr std::string_view kVersionKey = "CorvalindVersion:";

std::atomic<bool> gCheckRunning{false};
std::atomic<UpdateBoxHandler> gBoxHandler{nullptr};
std::atomic<UpdateUrlOpener> gUrlOpener{nullptr};

bool SameLetters(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != lower[i]) return false;
  }
  return true;
}

bool HostNameCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

// A port of 1 to 65535, decimal digits only.
std::optional<std::uint16_t> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

QString Bracketed(const std::string& host) {
  const QString text = QString::fromStdString(host);
  return host.find(':') != std::string::npos ? "[" + text + "]" : text;
}

// The boxes the check thread has handed to the UI thread and not shown
// yet. They travel under this mutex rather than inside the posted call, so
// the hand-over is ordered by a lock of this program, not only by the event
// queue's.
struct PendingBox {
  UpdateBoxKind kind;
  QString text;
  QString downloadPage;
};
std::mutex gPendingMutex;
std::deque<PendingBox> gPending;

void ShowBox(const PendingBox& pending) {
  const QString caption = kUpdateCheckCaption;
  bool yes = false;
  if (UpdateBoxHandler handler = gBoxHandler.load()) {
    yes = handler(pending.kind, pending.text, caption);
  } else {
    const bool question = pending.kind == UpdateBoxKind::kQuestion;
    QMessageBox box(pending.kind == UpdateBoxKind::kError ? QMessageBox::Critical : QMessageBox::Information,
                    caption, pending.text, question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok,
                    nullptr);
    yes = box.exec() == QMessageBox::Yes;
  }
  if (pending.kind != UpdateBoxKind::kQuestion || !yes) return;
  const QUrl page(pending.downloadPage);
  if (UpdateUrlOpener opener = gUrlOpener.load()) {
    opener(page);
  } else {
    QDesktopServices::openUrl(page);
  }
}

// UI thread.
void ShowPendingBoxes() {
  for (;;) {
    PendingBox pending;
    {
      std::lock_guard<std::mutex> guard(gPendingMutex);
      if (gPending.empty()) return;
      pending = std::move(gPending.front());
      gPending.pop_front();
    }
    ShowBox(pending);
  }
}

// Shows a box of the check on the UI thread, without waiting for it; a
// Yes to the question opens the download page.
void PostBox(UpdateBoxKind kind, const QString& text, const QString& downloadPage) {
  UiMailbox* mailbox = ApplicationMailbox();
  if (mailbox == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(gPendingMutex);
    gPending.push_back({kind, text, downloadPage});
  }
  mailbox->Post([] { ShowPendingBoxes(); });
}

// One attempt: the reply of the server, empty when there was none.
std::string FetchVersionReply(const UpdateServer& server, const std::atomic<bool>& cancel) {
  RequestClient client;
  client.SetPatience(kServerPatience);
  client.SetCancelFlag(&cancel);
  if (!client.SetTarget(server.port, server.host)) return {};
  // The server closes after its reply, so the reply ends with the
  // connection rather than with the receive patience.
  const std::string request =
      "GET /version.txt HTTP/1.1\r\nHost: " + server.HostHeader() + "\r\nConnection: close\r\n\r\n";
  char reply[kMaxReplyBytes + 1];
  const int count = client.Transact(request.data(), request.size(), reply, kMaxReplyBytes);
  return count > 0 ? std::string(reply, static_cast<std::size_t>(count)) : std::string();
}

}  // namespace

std::string UpdateServer::HostHeader() const {
  // Appended piece by piece: GCC 12 warns wrongly (-Wrestrict) about
  // literal + string chains here at -O3.
  std::string header;
  const bool bracketed = host.find(':') != std::string::npos;
  if (bracketed) header += '[';
  header += host;
  if (bracketed) header += ']';
  if (port != 80) {
    header += ':';
    header += std::to_string(port);
  }
  return header;
}

QString UpdateServer::Root() const { return QString("http://%1:%2/").arg(Bracketed(host)).arg(port); }

std::optional<UpdateServer> ParseUpdateServer(std::string_view url) {
  constexpr std::string_view kScheme = "http://";
  if (url.size() < kScheme.size() || !SameLetters(url.substr(0, kScheme.size()), kScheme)) return std::nullopt;
  const std::string_view rest = url.substr(kScheme.size());
  const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  std::string_view host;
  std::string_view port;
  bool hasPort = false;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(1, close - 1);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      port = after.substr(1);
      hasPort = true;
    }
    // The address reader stops at a NUL, so bytes after one (a line end
    // into the request's Host header, say) would pass unread: refused.
    in6_addr address{};
    if (host.find('\0') != std::string_view::npos) return std::nullopt;
    if (inet_pton(AF_INET6, std::string(host).c_str(), &address) != 1) return std::nullopt;
  } else {
    const std::size_t colon = authority.find(':');
    host = authority.substr(0, colon);
    if (colon != std::string_view::npos) {
      port = authority.substr(colon + 1);
      hasPort = true;
    }
    for (const char c : host) {
      if (!HostNameCharacter(c)) return std::nullopt;
    }
  }
  if (host.empty() || host.size() > RequestClient::kMaxHostLength) return std::nullopt;
  UpdateServer server;
  server.host = std::string(host);
  if (hasPort) {
    const std::optional<std::uint16_t> number = ParsePort(port);
    if (!number) return std::nullopt;
    server.port = *number;
  }
  return server;
}

std::optional<std::string_view> VersionInReply(std::string_view reply) {
  // The key must follow something: a reply that starts with it is no
  // answer of the server.
  const std::size_t at = reply.find(kVersionKey);
  if (at == std::string_view::npos || at == 0) return std::nullopt;
  return reply.substr(at + kVersionKey.size());
}

UpdateSettings ReadUpdateSettings() {
  QSettings file = OpenStudioConfig();
  QString url = qEnvironmentVariable("CORVALIND_UPDATE_URL").trimmed();
  if (url.isEmpty()) url = file.value("UpdateCheck/Url").toString().trimmed();
  UpdateSettings settings;
  if (!url.isEmpty()) settings.server = ParseUpdateServer(url.toStdString());
  settings.downloadPage = qEnvironmentVariable("CORVALIND_DOWNLOAD_URL").trimmed();
  if (settings.downloadPage.isEmpty()) settings.downloadPage = file.value("UpdateCheck/DownloadPage").toString().trimmed();
  if (settings.downloadPage.isEmpty() && settings.server) settings.downloadPage = settings.server->Root();
  return settings;
}

void SetUpdateBoxHandler(UpdateBoxHandler handler) { gBoxHandler = handler; }

void SetUpdateUrlOpener(UpdateUrlOpener opener) { gUrlOpener = opener; }

bool UpdateCheckRunning() { return gCheckRunning.load(); }

UpdateChecker::~UpdateChecker() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    closing_ = true;
  }
  cancel_.store(true, std::memory_order_release);
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool UpdateChecker::StartUpdateCheck(bool automatic) {
  if (gCheckRunning.exchange(true)) return false;
  // A thread of this checker that ran before has cleared the flag as its
  // last step.
  if (thread_.joinable()) thread_.join();
  UpdateSettings settings = ReadUpdateSettings();
  thread_ = std::thread(&UpdateChecker::Run, this, automatic, std::move(settings));
  return true;
}

void UpdateChecker::Wait() {
  if (thread_.joinable()) thread_.join();
}

bool UpdateChecker::Pause(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return closing_; });
}

void UpdateChecker::Run(bool automatic, UpdateSettings settings) {
  struct ClearFlag {
    ~ClearFlag() { gCheckRunning = false; }
  } clearFlag;
  if (automatic && !Pause(kAutomaticDelayMs)) return;

  std::string reply;
  if (settings.server) {
    reply = FetchVersionReply(*settings.server, cancel_);
    if (reply.empty() && Pause(kRetryDelayMs)) reply = FetchVersionReply(*settings.server, cancel_);
  }
  // A studio that is closing shows nothing more.
  if (!Pause(0)) return;
  if (reply.empty()) {
    if (!automatic) PostBox(UpdateBoxKind::kError, kUpdateCannotCheckText, QString());
    return;
  }
  const std::optional<std::string_view> version = VersionInReply(reply);
  if (!version) return;
  if (*version != std::string_view(kProductVersion)) {
    PostBox(UpdateBoxKind::kQuestion, kUpdateNewVersionText, settings.downloadPage);
  } else if (!automatic) {
    PostBox(UpdateBoxKind::kInformation, kUpdateLatestText, QString());
  }
}

}  // namespace corvalind

// The update check: asks the update server for the current version text
// and tells the user when a newer one exists.
//
// The server comes from CORVALIND_UPDATE_URL, else the setting
// UpdateCheck/Url of ConfigFolder()/Corvalind.conf ("http://HOST[:PORT]";
// none by default, which turns the automatic check off). The download page
// comes from CORVALIND_DOWNLOAD_URL, else UpdateCheck/DownloadPage, else
// the server's root. The check asks for /version.txt and looks for
// "CorvalindVersion:" followed by the version text in the reply.
#pragma once

#include <QString>
#include <QUrl>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace corvalind {

inline constexpr const char* kUpdateCheckCaption = "Corvalind update check";
inline constexpr const char* kUpdateCannotCheckText =
    "Cannot check for updates! \nCheck if internet connection is available.";
inline constexpr const char* kUpdateNewVersionText = "A new version is available!\nGo to download page now?";
inline constexpr const char* kUpdateLatestText = "You are using the latest version!";

// An update server: host (a name, a dotted IPv4 address or an IPv6 address
// without its brackets) and port.
struct UpdateServer {
  std::string host;
  std::uint16_t port = 80;
  // "HOST" or "HOST:PORT" (brackets around IPv6), as the Host header says it.
  std::string HostHeader() const;
  // "http://HOST:PORT/".
  QString Root() const;
};

// Reads "http://HOST[:PORT][/...]": http only, host names, IPv4 and
// bracketed IPv6 addresses, the port 80 unless given. Anything else
// (another scheme, user names, a bad port, an empty or overlong host):
// nothing.
std::optional<UpdateServer> ParseUpdateServer(std::string_view url);

// The version the server's reply names: the text after "CorvalindVersion:"
// to the end of the reply. Nothing when the key is missing or starts the
// reply (then it is no answer of the server).
std::optional<std::string_view> VersionInReply(std::string_view reply);

// Where the check goes, read when a check starts.
struct UpdateSettings {
  std::optional<UpdateServer> server;  // none: no check possible
  QString downloadPage;
};
// The environment variables when set and not empty, else the settings file.
UpdateSettings ReadUpdateSettings();

// The boxes of the check. A handler replaces them (tests): it receives the
// kind, text and caption on the UI thread and answers the question (true
// for Yes); nullptr restores the message boxes.
enum class UpdateBoxKind { kError, kInformation, kQuestion };
using UpdateBoxHandler = bool (*)(UpdateBoxKind kind, const QString& text, const QString& caption);
void SetUpdateBoxHandler(UpdateBoxHandler handler);

// Opens the download page (QDesktopServices::openUrl unless replaced;
// nullptr restores it). Called on the UI thread.
using UpdateUrlOpener = bool (*)(const QUrl& url);
void SetUpdateUrlOpener(UpdateUrlOpener opener);

// True while a check runs anywhere in the process.
bool UpdateCheckRunning();

// Runs update checks on a thread of its own. The main window keeps one;
// destroying it wakes a check that waits to begin and skips its second
// attempt, then waits for the check to end (one attempt is bounded by the
// connect limit and the receive patience of its request client).
class UpdateChecker {
 public:
  UpdateChecker() = default;
  ~UpdateChecker();
  UpdateChecker(const UpdateChecker&) = delete;
  UpdateChecker& operator=(const UpdateChecker&) = delete;

  // Starts a check: `automatic` waits a second first and shows only news of
  // a new version; on request every outcome is shown. Ends at once (false)
  // while another check runs in the process. UI thread.
  bool StartUpdateCheck(bool automatic);

  // Waits for the check started last to end (tests).
  void Wait();

 private:
  void Run(bool automatic, UpdateSettings settings);
  // Waits up to `ms`; false when the checker is closing.
  bool Pause(int ms);

  std::mutex mutex_;
  std::condition_variable wake_;
  bool closing_ = false;
  // Set with closing_: an exchange under way gives up at once.
  std::atomic<bool> cancel_{false};
  std::thread thread_;
};

}  // namespace corvalind

// CFTPClient: the producer's FTP client (RFC 959), which publishes every
// finished WebM file on the server.
//
// An upload first stores the data under the temporary remote name
// "temp1000.tmp" and only then deletes the previous remote file of the
// final name and renames the temporary file to it, so the server never
// shows a half-written file under a final name. The control connection
// stays open between uploads; an upload logs in again when the server has
// closed it. The client drops it itself after any failure in the middle of
// an exchange (a timeout, a reply it refused, a data connection that broke
// after the server accepted STOR), since replies would no longer match
// their commands; the next upload logs in again too. IPv4 only: PORT and
// PASV carry four address bytes.
//
// Everything runs on the calling thread (the producer's main thread) over
// CBlockingSocket, whose waits each last at most the client's timeout.
// What happens is told to the attached observers (CNotification): every
// reply line as it arrives, internal errors as texts, and the progress of
// each transfer. The observers never see the password: the PASS and ACCT
// command lines are not handed to them.
//
// Against servers that misbehave the client holds to a few rules: a
// command argument holding CR, LF or NUL is refused before anything is
// sent (it would smuggle a second command onto the connection); reply
// lines and multi-line replies are bounded (kMaxReplyLineBytes,
// kMaxReplyBytes, kMaxReplyLines); a passive-mode reply naming another
// host than the control connection's peer is refused, and so is an active
// data connection from another host, so the server can neither point the
// data at a third machine nor let one take it.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "producer/blocking_socket.h"

namespace corvalind {

inline constexpr const char* kLogonFailedText = "Logon failed.";
inline constexpr const char* kTemporaryRemoteName = "temp1000.tmp";

// What one transfer tells while it runs.
class ITransferNotification {
 public:
  virtual ~ITransferNotification() = default;
  // Before the first block: the size of the whole local file and the
  // offset the transfer starts at (above 0 when it resumes a transfer).
  virtual void OnTransferStart(std::uint64_t totalBytes, std::uint64_t startOffset) = 0;
  // After each block went onto the data connection.
  virtual void OnBytesSent(std::size_t blockBytes) = 0;
};

// An observer of the client. Every call comes on the thread that called
// the client; all of them do nothing unless overridden.
class CNotification : public ITransferNotification {
 public:
  // One line of a reply, without its line end, as soon as it arrived.
  virtual void OnReply(const std::string& /*line*/) {}
  // A command line that went out, without its line end (never PASS or
  // ACCT, which carry secrets).
  virtual void OnCommandSent(const std::string& /*line*/) {}
  // A failure inside the client: a socket failure, "Logon failed.", a
  // local file that cannot be opened, a reply or address it refused.
  virtual void OnInternalError(const std::string& /*text*/) {}
  void OnTransferStart(std::uint64_t /*totalBytes*/, std::uint64_t /*startOffset*/) override {}
  void OnBytesSent(std::size_t /*blockBytes*/) override {}
};

struct FtpLogonInfo {
  std::string host;
  std::uint16_t port = 21;
  std::string user;
  std::string password;
  std::string account;
};

// How a simple command went.
enum class FtpResult {
  kOk,     // the reply code starts with 2
  kNotOk,  // it starts with 4 or 5
  kError,  // not sent, no reply, or a code starting with 1 or 3
};

// One reply: its three-digit code and its lines without line ends.
struct FtpReply {
  int code = 0;
  std::vector<std::string> lines;
  // The first digit of the code (0 when no reply was read).
  int Class() const { return code / 100; }
};

class CFTPClient {
 public:
  static constexpr int kDefaultTimeoutMs = CBlockingSocket::kDefaultTimeoutMs;
  // The blocks the data connection is fed with.
  static constexpr std::size_t kBlockBytes = 64 * 1024;
  // The longest reply line, the most bytes (line ends not counted) and
  // the most lines of one reply. A server going past them fails the
  // command and loses the connection instead of filling the memory.
  static constexpr std::size_t kMaxReplyLineBytes = 8 * 1024;
  static constexpr std::size_t kMaxReplyBytes = 64 * 1024;
  static constexpr std::size_t kMaxReplyLines = 1000;

  // `timeoutMs` bounds every socket wait; with `resume` an upload to a
  // remote name that already holds part of the file continues it (APPE).
  explicit CFTPClient(int timeoutMs = kDefaultTimeoutMs, bool resume = true);
  ~CFTPClient();
  CFTPClient(const CFTPClient&) = delete;
  CFTPClient& operator=(const CFTPClient&) = delete;

  // Observers are not owned and must stay alive while attached.
  void AttachObserver(CNotification* observer);
  void DetachObserver(CNotification* observer);

  // Connects (resolving the host first), reads the greeting and logs in
  // with USER, PASS when asked for (331) and ACCT when asked for (332). A
  // connection that was open is closed first. On failure the observers
  // are told "Logon failed." (after the socket failure, if one caused it)
  // and the connection is closed. The logon is kept for Upload's
  // re-login.
  bool Login(const FtpLogonInfo& logon);
  // QUIT and close. False when no connection was open or QUIT got no
  // positive reply; the connection is closed in every case.
  bool Logout();

  // Whether the control connection is open. What the server sent without
  // being asked (a closing notice, say) is taken in first and shown to
  // the observers like any reply; a connection the server has closed is
  // closed here too.
  bool IsConnected();
  // Whether the server has sent something, or closed the connection,
  // that no command has read yet. Reads nothing.
  bool InputWaiting() const { return control_.ReadyToReceive(); }

  // The simple commands: CWD, MKD, DELE, TYPE I.
  FtpResult ChangeDirectory(const std::string& folder);
  FtpResult MakeDirectory(const std::string& folder);
  FtpResult Delete(const std::string& name);
  FtpResult SetImageType();
  // RNFR `from`, and RNTO `to` when the server waits for it (350); the
  // result is RNTO's, or kError / kNotOk from RNFR.
  FtpResult Rename(const std::string& from, const std::string& to);
  // SIZE of a remote file; false when the server gave none.
  bool RemoteSize(const std::string& name, std::uint64_t* sizeBytes);

  // Sends the local file to `remoteName` in image type over a passive or
  // active data connection. With resume on, a remote file that already
  // holds up to the local file's size is continued with APPE; otherwise
  // the file goes from its start with STOR. True when the server
  // confirmed the whole transfer.
  bool UploadFile(const std::string& localPath, const std::string& remoteName, bool passive);

  // Publishes one finished file: logs in again when the control
  // connection was closed, deletes "temp1000.tmp", enters `folder`
  // (making it when CWD fails), uploads to "temp1000.tmp", deletes the
  // previous `remoteName` and renames the temporary file to it. True when
  // the rename succeeded.
  //
  // The first delete acts in the folder the connection is in, before CWD:
  // right after a (re-)login that is the login folder. So the temporary
  // name is deleted once more inside `folder`: a partial file that a
  // dropped connection left there is never continued with another
  // segment's bytes. Only a server that refuses that delete leaves it for
  // the size query and the resume.
  bool Upload(const std::string& folder, const std::string& localPath, const std::string& remoteName, bool passive);

 private:
  // Sends "VERB argument" (or the bare verb when `hasArgument` is false)
  // and reads the reply. False when the command was refused, not sent or
  // got no reply; then `reply` holds no code.
  bool Command(const char* verb, const std::string& argument, bool hasArgument, FtpReply* reply);
  FtpResult SimpleCommand(const char* verb, const std::string& argument, bool hasArgument);
  // What the server sent since the last reply, taken in before a command.
  enum class Unasked { kOpen, kClosedByServer, kFailed, kNotOpen };
  Unasked TakeUnasked();
  bool SendLine(const char* verb, const std::string& argument, bool hasArgument);
  bool ReadReply(FtpReply* reply);
  bool ReadLine(std::string* line);
  // Tells the observers and drops the control connection, which is out of
  // step with the server after any failure while talking.
  void FailConnection(const std::string& text);
  void CloseControl();

  bool OpenPassiveData(CBlockingSocket& data);
  bool ListenActiveData(CBlockingSocket& listener);
  bool AcceptActiveData(CBlockingSocket& listener, CBlockingSocket& data);
  bool SendFileData(int fd, std::uint64_t offset, std::uint64_t totalBytes, CBlockingSocket& data);

  void NotifyReply(const std::string& line);
  void NotifyCommand(const std::string& line);
  void NotifyError(const std::string& text);

  int timeoutMs_;
  bool resume_;
  CBlockingSocket control_;
  // Bytes received on the control connection that no line took yet.
  std::string inbox_;
  FtpLogonInfo logon_;
  std::vector<CNotification*> observers_;
  std::vector<char> block_;
};

}  // namespace corvalind

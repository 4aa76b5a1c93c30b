#include "producer/ftp_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace corvalind {

namespace {

constexpr std::size_t kReceiveChunkBytes = 4096;
constexpr const char* kReplyTooLongText = "Reply too long";
constexpr const char* kInvalidReplyText = "Invalid reply";
constexpr const char* kClosedByServerText = "Connection closed by the server";
constexpr const char* kInvalidPassiveReplyText = "Invalid passive mode reply";

std::string SystemMessage(int code) {
  char text[256];
  // The GNU strerror_r, which may answer a static text instead of `text`.
  return strerror_r(code, text, sizeof(text));
}

FtpResult Classify(const FtpReply& reply) {
  switch (reply.Class()) {
    case 2:
      return FtpResult::kOk;
    case 4:
    case 5:
      return FtpResult::kNotOk;
    default:
      return FtpResult::kError;
  }
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The six numbers h1,h2,h3,h4,p1,p2 of a 227 reply, found as RFC 1123
// advises: from the first digit after the code on, whatever text is
// around them.
bool ParsePassiveReply(const std::string& line, sockaddr_in* address) {
  std::size_t at = 3;
  while (at < line.size() && !IsDigit(line[at])) ++at;
  unsigned numbers[6];
  for (int i = 0; i < 6; ++i) {
    if (i > 0) {
      if (at >= line.size() || line[at] != ',') return false;
      ++at;
    }
    if (at >= line.size() || !IsDigit(line[at])) return false;
    unsigned value = 0;
    int digits = 0;
    while (at < line.size() && IsDigit(line[at])) {
      value = value * 10 + static_cast<unsigned>(line[at] - '0');
      if (++digits > 3 || value > 255) return false;
      ++at;
    }
    numbers[i] = value;
  }
  const std::uint32_t host = (numbers[0] << 24) | (numbers[1] << 16) | (numbers[2] << 8) | numbers[3];
  const std::uint16_t port = static_cast<std::uint16_t>((numbers[4] << 8) | numbers[5]);
  if (port == 0) return false;
  *address = sockaddr_in{};
  address->sin_family = AF_INET;
  address->sin_addr.s_addr = htonl(host);
  address->sin_port = htons(port);
  return true;
}

// "h1,h2,h3,h4,p1,p2" of an IPv4 address and port.
std::string PortArgument(const sockaddr_in& address) {
  const std::uint32_t host = ntohl(address.sin_addr.s_addr);
  const std::uint16_t port = ntohs(address.sin_port);
  return std::to_string(host >> 24) + ',' + std::to_string((host >> 16) & 0xff) + ',' +
         std::to_string((host >> 8) & 0xff) + ',' + std::to_string(host & 0xff) + ',' + std::to_string(port >> 8) +
         ',' + std::to_string(port & 0xff);
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

CFTPClient::CFTPClient(int timeoutMs, bool resume)
    : timeoutMs_(std::max(timeoutMs, 1)), resume_(resume), control_(timeoutMs_) {}

CFTPClient::~CFTPClient() { CloseControl(); }

void CFTPClient::AttachObserver(CNotification* observer) {
  if (observer != nullptr && std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) {
    observers_.push_back(observer);
  }
}

void CFTPClient::DetachObserver(CNotification* observer) {
  observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void CFTPClient::NotifyReply(const std::string& line) {
  for (CNotification* observer : observers_) observer->OnReply(line);
}

void CFTPClient::NotifyCommand(const std::string& line) {
  for (CNotification* observer : observers_) observer->OnCommandSent(line);
}

void CFTPClient::NotifyError(const std::string& text) {
  for (CNotification* observer : observers_) observer->OnInternalError(text);
}

void CFTPClient::CloseControl() {
  control_.Cleanup();
  inbox_.clear();
}

void CFTPClient::FailConnection(const std::string& text) {
  NotifyError(text);
  CloseControl();
}

bool CFTPClient::IsConnected() { return TakeUnasked() == Unasked::kOpen; }

CFTPClient::Unasked CFTPClient::TakeUnasked() {
  if (!control_.IsOpen()) return Unasked::kNotOpen;
  std::size_t takenBytes = 0;
  for (;;) {
    const std::size_t end = inbox_.find('\n');
    if (end != std::string::npos) {
      std::string line = inbox_.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      inbox_.erase(0, end + 1);
      takenBytes += line.size();
      if (takenBytes > kMaxReplyBytes) {
        FailConnection(kReplyTooLongText);
        return Unasked::kFailed;
      }
      NotifyReply(line);
      continue;
    }
    if (inbox_.size() > kMaxReplyLineBytes) {
      FailConnection(kReplyTooLongText);
      return Unasked::kFailed;
    }
    if (!control_.ReadyToReceive()) return Unasked::kOpen;
    char chunk[kReceiveChunkBytes];
    std::size_t received = 0;
    const SocketResult result = control_.Receive(chunk, sizeof(chunk), &received);
    if (!result) {
      FailConnection(result.Text());
      return Unasked::kFailed;
    }
    if (received == 0) {
      // The server closed an idle connection: not a failure, the next
      // upload logs in again.
      CloseControl();
      return Unasked::kClosedByServer;
    }
    inbox_.append(chunk, received);
  }
}

bool CFTPClient::ReadLine(std::string* line) {
  for (;;) {
    const std::size_t end = inbox_.find('\n');
    if (end != std::string::npos) {
      std::size_t length = end;
      if (length > 0 && inbox_[length - 1] == '\r') --length;
      if (length > kMaxReplyLineBytes) {
        FailConnection(kReplyTooLongText);
        return false;
      }
      line->assign(inbox_, 0, length);
      inbox_.erase(0, end + 1);
      return true;
    }
    // Without a line end in sight the line is already too long: stop
    // reading instead of keeping whatever the server sends.
    if (inbox_.size() > kMaxReplyLineBytes + 1) {
      FailConnection(kReplyTooLongText);
      return false;
    }
    char chunk[kReceiveChunkBytes];
    std::size_t received = 0;
    const SocketResult result = control_.Receive(chunk, sizeof(chunk), &received);
    if (!result) {
      FailConnection(result.Text());
      return false;
    }
    if (received == 0) {
      FailConnection(kClosedByServerText);
      return false;
    }
    inbox_.append(chunk, received);
  }
}

bool CFTPClient::ReadReply(FtpReply* reply) {
  *reply = FtpReply{};
  std::string line;
  if (!ReadLine(&line)) return false;
  NotifyReply(line);
  const bool coded = line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]) &&
                     (line.size() == 3 || line[3] == ' ' || line[3] == '-');
  if (!coded) {
    FailConnection(kInvalidReplyText);
    return false;
  }
  const std::string code = line.substr(0, 3);
  const bool multiLine = line.size() > 3 && line[3] == '-';
  std::size_t totalBytes = line.size();
  std::vector<std::string> lines;
  lines.push_back(std::move(line));
  // A multi-line reply ends with a line that starts with the same code
  // and a space (RFC 959); the lines between may hold anything.
  while (multiLine) {
    if (!ReadLine(&line)) return false;
    totalBytes += line.size();
    if (lines.size() >= kMaxReplyLines || totalBytes > kMaxReplyBytes) {
      FailConnection(kReplyTooLongText);
      return false;
    }
    NotifyReply(line);
    const bool last = line.compare(0, 3, code) == 0 && (line.size() == 3 || line[3] == ' ');
    lines.push_back(std::move(line));
    if (last) break;
  }
  reply->code = std::stoi(code);
  reply->lines = std::move(lines);
  return true;
}

bool CFTPClient::SendLine(const char* verb, const std::string& argument, bool hasArgument) {
  // A line end inside an argument would end the command early and make
  // the rest a second command; NUL ends it early on some servers.
  if (hasArgument && argument.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
    NotifyError(std::string(verb) + " refused: its argument holds CR, LF or NUL");
    return false;
  }
  // Anything the server sent since the last reply would be taken for the
  // answer to this command.
  switch (TakeUnasked()) {
    case Unasked::kOpen:
      break;
    case Unasked::kClosedByServer:
      NotifyError(kClosedByServerText);
      return false;
    case Unasked::kNotOpen:
      NotifyError(kSocketErrorText);
      return false;
    case Unasked::kFailed:
      return false;
  }
  std::string line = verb;
  if (hasArgument) {
    line += ' ';
    line += argument;
  }
  const bool secret = std::strcmp(verb, "PASS") == 0 || std::strcmp(verb, "ACCT") == 0;
  if (!secret) NotifyCommand(line);
  line += "\r\n";
  const SocketResult result = control_.Write(line.data(), line.size());
  if (!result) {
    FailConnection(result.Text());
    return false;
  }
  return true;
}

bool CFTPClient::Command(const char* verb, const std::string& argument, bool hasArgument, FtpReply* reply) {
  *reply = FtpReply{};
  return SendLine(verb, argument, hasArgument) && ReadReply(reply);
}

FtpResult CFTPClient::SimpleCommand(const char* verb, const std::string& argument, bool hasArgument) {
  FtpReply reply;
  if (!Command(verb, argument, hasArgument, &reply)) return FtpResult::kError;
  return Classify(reply);
}

bool CFTPClient::Login(const FtpLogonInfo& logon) {
  CloseControl();
  logon_ = logon;
  const bool loggedIn = [&] {
    sockaddr_in address{};
    SocketResult result = CBlockingSocket::GetHostByName(logon.host, logon.port, &address);
    if (result) result = control_.Create();
    if (result) result = control_.Connect(address);
    if (!result) {
      NotifyError(result.Text());
      return false;
    }
    FtpReply reply;
    if (!ReadReply(&reply)) return false;
    // 120: the service is ready later; the greeting proper follows.
    if (reply.Class() == 1 && !ReadReply(&reply)) return false;
    if (reply.Class() != 2) return false;
    if (!Command("USER", logon.user, true, &reply)) return false;
    if (reply.code == 331 && !Command("PASS", logon.password, true, &reply)) return false;
    if (reply.code == 332 && !Command("ACCT", logon.account, true, &reply)) return false;
    return reply.Class() == 2;
  }();
  if (!loggedIn) {
    NotifyError(kLogonFailedText);
    CloseControl();
  }
  return loggedIn;
}

bool CFTPClient::Logout() {
  if (!control_.IsOpen()) return false;
  FtpReply reply;
  const bool ok = Command("QUIT", std::string(), false, &reply) && reply.Class() == 2;
  CloseControl();
  return ok;
}

FtpResult CFTPClient::ChangeDirectory(const std::string& folder) { return SimpleCommand("CWD", folder, true); }

FtpResult CFTPClient::MakeDirectory(const std::string& folder) { return SimpleCommand("MKD", folder, true); }

FtpResult CFTPClient::Delete(const std::string& name) { return SimpleCommand("DELE", name, true); }

FtpResult CFTPClient::SetImageType() { return SimpleCommand("TYPE", "I", true); }

FtpResult CFTPClient::Rename(const std::string& from, const std::string& to) {
  FtpReply reply;
  if (!Command("RNFR", from, true, &reply)) return FtpResult::kError;
  // 350: the server waits for the new name.
  if (reply.Class() != 3) return Classify(reply);
  return SimpleCommand("RNTO", to, true);
}

bool CFTPClient::RemoteSize(const std::string& name, std::uint64_t* sizeBytes) {
  FtpReply reply;
  if (!Command("SIZE", name, true, &reply) || reply.code != 213) return false;
  const std::string& line = reply.lines.back();
  std::size_t at = 3;
  while (at < line.size() && line[at] == ' ') ++at;
  if (at >= line.size() || !IsDigit(line[at])) return false;
  std::uint64_t value = 0;
  for (; at < line.size() && IsDigit(line[at]); ++at) {
    const unsigned digit = static_cast<unsigned>(line[at] - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *sizeBytes = value;
  return true;
}

bool CFTPClient::OpenPassiveData(CBlockingSocket& data) {
  FtpReply reply;
  if (!Command("PASV", std::string(), false, &reply) || reply.code != 227) return false;
  sockaddr_in address{};
  if (!ParsePassiveReply(reply.lines.front(), &address)) {
    NotifyError(kInvalidPassiveReplyText);
    return false;
  }
  // The data goes to the host the control connection reached, and nowhere
  // else: a server naming another address would make the producer send
  // its file to a third machine (or probe one).
  if (address.sin_addr.s_addr != control_.PeerAddr().sin_addr.s_addr) {
    NotifyError("Passive mode address " + CBlockingSocket::DottedAddress(address) + " refused: not the server's");
    return false;
  }
  SocketResult result = data.Create();
  if (result) result = data.Connect(address);
  if (!result) {
    data.Cleanup();
    NotifyError(result.Text());
    return false;
  }
  return true;
}

bool CFTPClient::ListenActiveData(CBlockingSocket& listener) {
  sockaddr_in local{};
  SocketResult result = control_.GetSockAddr(&local);
  local.sin_port = 0;
  if (result) result = listener.Create();
  if (result) result = listener.Bind(local);
  if (result) result = listener.Listen(1);
  if (result) result = listener.GetSockAddr(&local);
  if (!result) {
    listener.Cleanup();
    NotifyError(result.Text());
    return false;
  }
  return SimpleCommand("PORT", PortArgument(local), true) == FtpResult::kOk;
}

bool CFTPClient::AcceptActiveData(CBlockingSocket& listener, CBlockingSocket& data) {
  sockaddr_in peer{};
  const SocketResult result = listener.Accept(data, &peer);
  listener.Cleanup();
  if (!result) {
    FailConnection(result.Text());
    return false;
  }
  if (peer.sin_addr.s_addr != control_.PeerAddr().sin_addr.s_addr) {
    data.Cleanup();
    FailConnection("Data connection from " + CBlockingSocket::DottedAddress(peer) + " refused: not the server");
    return false;
  }
  return true;
}

bool CFTPClient::SendFileData(int fd, std::uint64_t offset, std::uint64_t totalBytes, CBlockingSocket& data) {
  if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    FailConnection(SystemMessage(errno));
    return false;
  }
  for (ITransferNotification* observer : observers_) observer->OnTransferStart(totalBytes, offset);
  block_.resize(kBlockBytes);
  std::uint64_t leftBytes = totalBytes - offset;
  while (leftBytes > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(leftBytes, block_.size()));
    const ssize_t count = read(fd, block_.data(), want);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      FailConnection(SystemMessage(errno));
      return false;
    }
    // A file that shrank since it was measured ends early.
    if (count == 0) break;
    const SocketResult result = data.Write(block_.data(), static_cast<std::size_t>(count));
    if (!result) {
      FailConnection(result.Text());
      return false;
    }
    leftBytes -= static_cast<std::uint64_t>(count);
    for (ITransferNotification* observer : observers_) observer->OnBytesSent(static_cast<std::size_t>(count));
  }
  return true;
}

bool CFTPClient::UploadFile(const std::string& localPath, const std::string& remoteName, bool passive) {
  // O_NONBLOCK keeps a pipe in the file's place from holding the open.
  const FileDescriptor file(open(localPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.Get() < 0) {
    NotifyError(localPath + ": " + SystemMessage(errno));
    return false;
  }
  struct stat info {};
  if (fstat(file.Get(), &info) != 0) {
    NotifyError(localPath + ": " + SystemMessage(errno));
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    NotifyError(localPath + ": not a regular file");
    return false;
  }
  const auto totalBytes = static_cast<std::uint64_t>(info.st_size);

  if (SetImageType() != FtpResult::kOk) return false;
  std::uint64_t offset = 0;
  if (resume_) {
    // Only a remote part that fits inside the local file can be its
    // beginning; anything larger is started afresh.
    std::uint64_t remoteBytes = 0;
    if (RemoteSize(remoteName, &remoteBytes) && remoteBytes > 0 && remoteBytes <= totalBytes) offset = remoteBytes;
  }

  CBlockingSocket listener(timeoutMs_);
  CBlockingSocket data(timeoutMs_);
  if (passive ? !OpenPassiveData(data) : !ListenActiveData(listener)) return false;
  FtpReply reply;
  if (!Command(offset > 0 ? "APPE" : "STOR", remoteName, true, &reply)) return false;
  // 125 or 150: the data may flow. Any other reply ends the command.
  if (reply.Class() != 1) return false;
  // From here on the server waits for the data and then sends its final
  // reply; a failure in between leaves the connection out of step, so
  // each one drops it (the next upload logs in again).
  if (!passive && !AcceptActiveData(listener, data)) return false;
  if (!SendFileData(file.Get(), offset, totalBytes, data)) return false;
  // Closing the data connection marks the end of the file.
  const SocketResult closed = data.Close();
  if (!closed) {
    FailConnection(closed.Text());
    return false;
  }
  return ReadReply(&reply) && reply.Class() == 2;
}

bool CFTPClient::Upload(const std::string& folder, const std::string& localPath, const std::string& remoteName,
                        bool passive) {
  if (!IsConnected() && !Login(logon_)) return false;
  // The result of this delete does not matter: usually there is nothing
  // to delete.
  (void)Delete(kTemporaryRemoteName);
  if (ChangeDirectory(folder) != FtpResult::kOk) {
    if (MakeDirectory(folder) != FtpResult::kOk) return false;
    if (ChangeDirectory(folder) != FtpResult::kOk) return false;
  }
  // A leftover of an upload cut short holds another segment's bytes.
  (void)Delete(kTemporaryRemoteName);
  if (!UploadFile(localPath, kTemporaryRemoteName, passive)) return false;
  (void)Delete(remoteName);
  return Rename(kTemporaryRemoteName, remoteName) == FtpResult::kOk;
}

}  // namespace corvalind

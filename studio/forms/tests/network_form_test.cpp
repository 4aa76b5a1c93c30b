// The network transmitter's form: its controls and their enabling, the
// set-up failures and their boxes, a receiver that hangs up mid-stream, and
// the project element.
#include "studio/forms/network_form.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/output_block.h"
#include "studio/ui_bridge.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

using testing::WaitFor;

std::mutex messagesLock;
std::vector<std::pair<QString, QString>> messages;

// Boxes come from the worker thread.
void RecordMessage(const QString& text, const QString& caption) {
  std::lock_guard<std::mutex> hold(messagesLock);
  messages.emplace_back(text, caption);
}
std::size_t MessageCount() {
  std::lock_guard<std::mutex> hold(messagesLock);
  return messages.size();
}

void Pump() { QApplication::processEvents(); }

// Listens on 127.0.0.1; takes one connection, reads and drops what comes
// and hangs up after `closeAfterBytes` (0: never).
class HangingUpReceiver {
 public:
  explicit HangingUpReceiver(std::size_t closeAfterBytes) : closeAfter_(closeAfterBytes) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), length), 0);
    listen(listener_, 2);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~HangingUpReceiver() {
    stop_ = true;
    thread_.join();
    close(listener_);
  }
  uint16_t Port() const { return port_; }
  std::size_t Bytes() const { return bytes_; }

 private:
  void Run() {
    int connection = -1;
    std::vector<char> chunk(65536);
    while (!stop_) {
      pollfd entry{connection >= 0 ? connection : listener_, POLLIN, 0};
      if (poll(&entry, 1, 20) <= 0) continue;
      if (connection < 0) {
        connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        continue;
      }
      const ssize_t got = recv(connection, chunk.data(), chunk.size(), 0);
      if (got > 0) bytes_ += static_cast<std::size_t>(got);
      if (got <= 0 || (closeAfter_ > 0 && bytes_ >= closeAfter_)) {
        close(connection);
        connection = -1;
        closeAfter_ = 0;
      }
    }
    if (connection >= 0) close(connection);
  }

  std::size_t closeAfter_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<std::size_t> bytes_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class NetworkFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> hold(messagesLock);
      messages.clear();
    }
    SetStudioMessageHandler(&RecordMessage);
    format_.SetSize(320, 240);
    format_.SetFrameRate(25);
    bufferName_ = "CorvalindNetFormTest_" + std::to_string(getpid());
    std::string reason;
    bool existed = false;
    ASSERT_TRUE(CreateOutputBlock(block_, bufferName_, format_.frameBytes, &existed, &reason)) << reason;
  }
  void TearDown() override {
    SetStudioMessageHandler(nullptr);
    ReleaseOutputBlock(block_);
  }

  OutputFormat format_;
  std::string bufferName_;
  OutputBlock block_;
};

TEST_F(NetworkFormTest, ControlsStartAsTheirDefaultsAndFollowTcpAndAuto) {
  CViewNetworkForm form(format_, bufferName_);
  EXPECT_EQ(form.RemoteIpEdit()->text(), "");
  EXPECT_EQ(form.RemotePortEdit()->text(), "5566");
  EXPECT_EQ(form.UdpSizeEdit()->text(), "4096");
  EXPECT_TRUE(form.AutoBox()->isChecked());
  EXPECT_FALSE(form.TcpBox()->isChecked());
  EXPECT_FALSE(form.CompressBox()->isChecked());
  EXPECT_EQ(form.StartButton()->text(), "Start");
  EXPECT_EQ(form.TotalFramesLabel()->text(), "0");
  EXPECT_EQ(form.TotalDataLabel()->text(), "0 Mb");
  EXPECT_EQ(form.LastErrorLabel()->text(), "0");
  EXPECT_EQ(form.CompressionLabel()->text(), "0");

  const struct {
    bool tcp, autoSize, autoEnabled, sizeEnabled;
  } cases[] = {{false, true, true, false}, {false, false, true, true}, {true, false, false, false}, {true, true, false, false}};
  for (const auto& c : cases) {
    form.TcpBox()->setChecked(c.tcp);
    form.AutoBox()->setChecked(c.autoSize);
    EXPECT_EQ(form.AutoBox()->isEnabled(), c.autoEnabled) << c.tcp << c.autoSize;
    EXPECT_EQ(form.UdpSizeEdit()->isEnabled(), c.sizeEnabled) << c.tcp << c.autoSize;
  }
}

TEST_F(NetworkFormTest, RunningLocksTheConnectionAndStopUnlocksIt) {
  HangingUpReceiver receiver(0);
  CViewNetworkForm form(format_, bufferName_);
  form.RemoteIpEdit()->setText("127.0.0.1");
  form.RemotePortEdit()->setText(QString::number(receiver.Port()));
  form.TcpBox()->setChecked(true);
  form.StartButton()->click();
  EXPECT_EQ(form.StartButton()->text(), "Stop");
  EXPECT_TRUE(form.Sending());
  for (QWidget* control : std::initializer_list<QWidget*>{form.RemoteIpEdit(), form.RemotePortEdit(), form.CompressBox()}) {
    EXPECT_FALSE(control->isEnabled()) << control->objectName().toStdString();
  }
  // The statistics arrive once a second.
  ASSERT_TRUE(WaitFor([&] { return form.TotalFramesLabel()->text().toInt() > 0; }, std::chrono::seconds(20), Pump));
  EXPECT_EQ(form.CompressionLabel()->text(), "100.00%");
  EXPECT_GT(receiver.Bytes(), 0u);
  form.StartButton()->click();
  EXPECT_FALSE(form.Sending());
  EXPECT_EQ(form.StartButton()->text(), "Start");
  for (QWidget* control : std::initializer_list<QWidget*>{form.RemoteIpEdit(), form.RemotePortEdit(), form.CompressBox()}) {
    EXPECT_TRUE(control->isEnabled()) << control->objectName().toStdString();
  }
  EXPECT_EQ(MessageCount(), 0u);
}

TEST_F(NetworkFormTest, SetUpFailuresShowTheirBoxAndReturnToStart) {
  const struct {
    const char* host;
    bool tcp;
    const char* text;
  } cases[] = {
      {"no-such-host.invalid", false, "Cannot resolve IP address"},
      {"127.0.0.1", true, "Can't establish connection!\nPlease, make sure the remote host is correct and ready!"},
  };
  // A port bound but not listening refuses connections.
  const int closed = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ASSERT_EQ(bind(closed, reinterpret_cast<sockaddr*>(&address), length), 0);
  getsockname(closed, reinterpret_cast<sockaddr*>(&address), &length);
  for (const auto& c : cases) {
    {
      std::lock_guard<std::mutex> hold(messagesLock);
      messages.clear();
    }
    CViewNetworkForm form(format_, bufferName_);
    form.RemoteIpEdit()->setText(c.host);
    form.RemotePortEdit()->setText(QString::number(ntohs(address.sin_port)));
    form.TcpBox()->setChecked(c.tcp);
    form.StartButton()->click();
    ASSERT_TRUE(WaitFor([&] { return form.StartButton()->text() == "Start"; }, std::chrono::seconds(20), Pump)) << c.host;
    EXPECT_FALSE(form.Sending());
    EXPECT_TRUE(form.RemoteIpEdit()->isEnabled());
    std::lock_guard<std::mutex> hold(messagesLock);
    ASSERT_EQ(messages.size(), 1u) << c.host;
    EXPECT_EQ(messages[0].first.toStdString(), c.text);
    EXPECT_EQ(messages[0].second, "Connection error");
  }
  close(closed);
}

TEST_F(NetworkFormTest, AReceiverThatHangsUpShowsTheErrorCodeAndReturnsToStart) {
  HangingUpReceiver receiver(2 * format_.frameBytes);
  CViewNetworkForm form(format_, bufferName_);
  form.RemoteIpEdit()->setText("127.0.0.1");
  form.RemotePortEdit()->setText(QString::number(receiver.Port()));
  form.TcpBox()->setChecked(true);
  form.StartButton()->click();
  ASSERT_TRUE(WaitFor([&] { return form.StartButton()->text() == "Start"; }, std::chrono::seconds(20), Pump));
  EXPECT_FALSE(form.Sending());
  const int code = form.LastErrorLabel()->text().toInt();
  EXPECT_TRUE(code == EPIPE || code == ECONNRESET) << code;
  EXPECT_TRUE(form.CompressBox()->isEnabled());
  EXPECT_EQ(MessageCount(), 0u);
}

TEST_F(NetworkFormTest, TheProjectKeepsTheRemoteHost) {
  ProjectWindow saved;
  {
    CViewNetworkForm form(format_, bufferName_);
    form.RemoteIpEdit()->setText("studio-b.example");
    form.SaveProjectElements(saved);
  }
  EXPECT_EQ(saved.Text("DATA").value_or(""), "studio-b.example");
  ProjectWindow long_host;
  long_host.Set("DATA", std::string(300, 'h'));
  CViewNetworkForm restored(format_, bufferName_);
  restored.RestoreProjectElements(saved);
  EXPECT_EQ(restored.RemoteIpEdit()->text(), "studio-b.example");
  EXPECT_FALSE(restored.Sending());  // loading starts nothing
  restored.RestoreProjectElements(long_host);
  EXPECT_EQ(restored.RemoteIpEdit()->text().size(), kRemoteHostLimit);
}

}  // namespace
}  // namespace corvalind

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  corvalind::testing::TemporaryHome home("corvalind-network-form");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}

// The "Network Transmitter" window: sends the program picture to one
// remote host over UDP or TCP, raw or LZO-compressed, and shows what went
// out once a second. The edits choose the host (a name, an IPv4 or an IPv6
// address), the port and the UDP packet size (or Auto); Start/Stop runs the
// worker. UI thread only; the worker's texts reach the form through queued
// calls.
#pragma once

#include <QString>
#include <QWidget>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "capture/network_transmitter.h"
#include "engine/output_format.h"
#include "studio/forms/window_form.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace corvalind {

// The remote host text's room.
inline constexpr int kRemoteHostLimit = 100;

class CViewNetworkForm : public QWidget, public WindowForm {
  Q_OBJECT
 public:
  // Reads the output buffer `bufferName` (the one this studio publishes)
  // holding pictures of `format`.
  CViewNetworkForm(const OutputFormat& format, std::string bufferName, QWidget* parent = nullptr);
  // A running transmitter is stopped first.
  ~CViewNetworkForm() override;

  bool Sending() const;
  // The Start/Stop button.
  void ToggleSending();

  // DATA: the remote host text. Loading puts it into the Remote IP edit;
  // nothing is started.
  void SaveProjectElements(ProjectWindow& window) const override;
  void RestoreProjectElements(const ProjectWindow& window) override;

  NetworkTransmitter& Core() { return *transmitter_; }
  QLineEdit* RemoteIpEdit() const { return remoteIp_; }
  QLineEdit* RemotePortEdit() const { return remotePort_; }
  QLineEdit* UdpSizeEdit() const { return udpSize_; }
  QCheckBox* AutoBox() const { return autoBox_; }
  QCheckBox* TcpBox() const { return tcpBox_; }
  QCheckBox* CompressBox() const { return compressBox_; }
  QPushButton* StartButton() const { return startButton_; }
  QLabel* TotalFramesLabel() const { return totalFrames_; }
  QLabel* TotalDataLabel() const { return totalData_; }
  QLabel* LastErrorLabel() const { return lastError_; }
  QLabel* CompressionLabel() const { return compression_; }

 private:
  // What the worker left for the UI thread.
  struct Pending {
    std::optional<TransmitterStatistics> statistics;
    std::optional<int> lastError;
    bool stoppedByError = false;
  };
  // Takes what the worker left (UI thread).
  Q_INVOKABLE void ApplyPending();
  void BuildUi();
  void StartSending();
  void StopSending();
  // Enables the size controls as TCP and Auto allow, and the connection
  // controls while idle.
  void UpdateEnabling();
  // The worker ended by itself: back to the idle look.
  void ReturnToIdle();

  std::mutex pendingLock_;
  Pending pending_;
  std::unique_ptr<NetworkTransmitter> transmitter_;

  QLineEdit* remoteIp_ = nullptr;
  QLineEdit* remotePort_ = nullptr;
  QLineEdit* udpSize_ = nullptr;
  QCheckBox* autoBox_ = nullptr;
  QCheckBox* tcpBox_ = nullptr;
  QCheckBox* compressBox_ = nullptr;
  QPushButton* startButton_ = nullptr;
  QLabel* totalFrames_ = nullptr;
  QLabel* totalData_ = nullptr;
  QLabel* lastError_ = nullptr;
  QLabel* compression_ = nullptr;
};

}  // namespace corvalind

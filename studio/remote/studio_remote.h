// The studio's side of the remote control: the requests of the protocol
// (docs/remote-control.md) carried out on the studio's own windows and
// buttons, on the UI thread, and the events that follow what happens in
// the studio whoever caused it.
#pragma once

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <functional>
#include <memory>

#include "engine/output_format.h"
#include "studio/forms/remote_choice.h"
#include "studio/remote/remote_server.h"

class QTimer;

namespace corvalind {

class CMainFrame;
class VideoEngine;

// The server's settings for the user's choice; false with a reason when
// the address does not read.
bool RemoteServerSettingsOf(const RemoteControlChoice& choice, RemoteServerSettings* settings, QString* reason);

class StudioRemote : public QObject {
  Q_OBJECT
 public:
  StudioRemote(CMainFrame& window, VideoEngine& engine, const OutputFormat& format, QObject* parent = nullptr);
  ~StudioRemote() override;

  // Starts serving; false with a reason for the status bar.
  bool Start(const RemoteServerSettings& settings, QString* reason);
  void Stop();
  RemoteServer& Server() { return *server_; }

  // One request, as the server hands it over (also the fuzzer's way in).
  bool Handle(const RemoteRequest& request, QJsonObject* result, RemoteError* error);

 private:
  using Action = std::function<bool(const QJsonObject& params, QJsonObject* result, RemoteError* error)>;
  void AddActions();
  // Follows the studio: windows, transitions, the loop, the recorder.
  void Watch();
  void WatchSceneManager();

  CMainFrame& window_;
  VideoEngine& engine_;
  const OutputFormat format_;
  std::unique_ptr<RemoteServer> server_;
  QHash<QString, Action> actions_;
  QTimer* watch_ = nullptr;

  // What the watch saw last.
  QSet<QString> windows_;          // "kind:id"
  QObject* watchedManager_ = nullptr;
  bool transitionPending_ = false;
  int pendingScene_ = 0;
  int loopLeft_ = -1;
  bool recording_ = false;
  QString recordingPath_;
  uint64_t fpsFrames_ = 0;
  qint64 fpsAt_ = 0;
  double composedFps_ = 0;
};

}  // namespace corvalind

// The remote control's settings as the user chose them (Settings Control,
// kept in the studio's configuration file, section [Remote]), and the
// studio's way of applying them at once. UI thread only.
#pragma once

#include <QString>
#include <functional>

namespace corvalind {

inline constexpr int kRemoteControlDefaultPort = 4466;

struct RemoteControlChoice {
  bool enabled = false;
  int port = kRemoteControlDefaultPort;
  // Where the server listens: loopback unless the user names another
  // address in the configuration file (or on the command line).
  QString address = "127.0.0.1";
  QString password;  // empty: no sign-in
};

RemoteControlChoice ReadRemoteControlChoice();
void WriteRemoteControlChoice(const RemoteControlChoice& choice);

// The studio starts, moves or stops its server by the choice and returns
// the text for the status bar. Without an applier (tests of the form
// alone) the choice is only kept.
using RemoteControlApplier = std::function<QString(const RemoteControlChoice& choice)>;
void SetRemoteControlApplier(RemoteControlApplier applier);
// Keeps the choice, then applies it; returns the applier's text.
QString ChooseRemoteControl(const RemoteControlChoice& choice);

}  // namespace corvalind

#include "studio/forms/remote_choice.h"

#include "studio/studio_config.h"

namespace corvalind {

namespace {

RemoteControlApplier& Applier() {
  static RemoteControlApplier applier;
  return applier;
}

}  // namespace

RemoteControlChoice ReadRemoteControlChoice() {
  QSettings file = OpenStudioConfig();
  RemoteControlChoice choice;
  choice.enabled = file.value("Remote/Enabled", false).toBool();
  bool ok = false;
  const int port = file.value("Remote/Port", kRemoteControlDefaultPort).toInt(&ok);
  choice.port = ok && port > 0 && port < 65536 ? port : kRemoteControlDefaultPort;
  const QString address = file.value("Remote/Address").toString().trimmed();
  if (!address.isEmpty()) choice.address = address;
  choice.password = file.value("Remote/Password").toString();
  return choice;
}

void WriteRemoteControlChoice(const RemoteControlChoice& choice) {
  QSettings file = OpenStudioConfigToChange();
  file.setValue("Remote/Enabled", choice.enabled);
  file.setValue("Remote/Port", choice.port);
  if (choice.address != "127.0.0.1") {
    file.setValue("Remote/Address", choice.address);
  } else {
    file.remove("Remote/Address");
  }
  file.setValue("Remote/Password", choice.password);
  SaveStudioConfig(file);
}

void SetRemoteControlApplier(RemoteControlApplier applier) { Applier() = std::move(applier); }

QString ChooseRemoteControl(const RemoteControlChoice& choice) {
  WriteRemoteControlChoice(choice);
  return Applier() ? Applier()(choice) : QString();
}

}  // namespace corvalind

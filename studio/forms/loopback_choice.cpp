#include "studio/forms/loopback_choice.h"

#include <QSettings>
#include <optional>

#include "engine/messages.h"
#include "platform/folders.h"
#include "studio/forms/program_form.h"

namespace corvalind {

namespace {

constexpr const char* kKey = "Loopback/Device";

std::optional<std::string>& RunChoice() {
  static std::optional<std::string> choice;
  return choice;
}

QSettings ConfigFile() {
  return QSettings(QString::fromStdString(ConfigFolder() + "/Corvalind.conf"), QSettings::IniFormat);
}

}  // namespace

std::string ChosenLoopbackDevice() {
  if (RunChoice()) return *RunChoice();
  return ConfigFile().value(kKey).toString().toStdString();
}

void ChooseLoopbackDevice(const std::string& path) {
  RunChoice() = path;
  QSettings file = ConfigFile();
  file.setValue(kKey, QString::fromStdString(path));
  file.sync();
  if (CViewProgramForm* view = CViewProgramForm::OpenView()) view->WriteToLoopback(path);
}

void OverrideLoopbackDevice(const std::string& path) { RunChoice() = path; }

}  // namespace corvalind

#include "studio/forms/loopback_choice.h"

#include <optional>

#include "engine/messages.h"
#include "studio/studio_config.h"
#include "studio/forms/program_form.h"

namespace corvalind {

namespace {

constexpr const char* kKey = "Loopback/Device";

std::optional<std::string>& RunChoice() {
  static std::optional<std::string> choice;
  return choice;
}

}  // namespace

std::string ChosenLoopbackDevice() {
  if (RunChoice()) return *RunChoice();
  return OpenStudioConfig().value(kKey).toString().toStdString();
}

void ChooseLoopbackDevice(const std::string& path) {
  RunChoice() = path;
  QSettings file = OpenStudioConfigToChange();
  file.setValue(kKey, QString::fromStdString(path));
  SaveStudioConfig(file);
  if (CViewProgramForm* view = CViewProgramForm::OpenView()) view->WriteToLoopback(path);
}

void OverrideLoopbackDevice(const std::string& path) { RunChoice() = path; }

}  // namespace corvalind

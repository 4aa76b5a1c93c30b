// The "DirectX/OpenGL Hook" source window: captures the frames of an
// OpenGL game. The user names the game's executable (typed, or chosen with
// "Browse") and presses "Run"; a hook context then installs the hook for
// that name and delivers every captured frame into the window's slot, with
// a 200 x 150 preview. "Stop" removes the hook. The game may be started
// before or after "Run", from a terminal through `snaptrace-run GAME`.
// UI thread only.
#pragma once

#include <QString>
#include <QWidget>
#include <memory>
#include <string>

#include "studio/forms/window_form.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace corvalind {

class HookContext;
class PreviewWidget;

inline constexpr const char* kSelectApplicationText =
    "Please, select application to hook!\n (DirectX9 or OpenGL is supported)";
// The status line when the form opens, and after a Stop.
inline constexpr const char* kHookReadyText = "Select executable to hook";
inline constexpr const char* kHookIdleText = "Select executable to hook...";
inline constexpr const char* kHookRunningText = "Hooked! Start the application...";

class CViewSnaptraceForm : public QWidget, public WindowForm {
  Q_OBJECT
 public:
  // `sourceId` is the slot the frames go to. libsnaptrace.so is looked for
  // in `libraryFolder` (empty: beside the program), then in
  // `fallbackFolder` (empty: the installation's library folder).
  explicit CViewSnaptraceForm(int sourceId, QWidget* parent = nullptr, std::string libraryFolder = {},
                              std::string fallbackFolder = {});
  // A running hook is stopped before the form goes.
  ~CViewSnaptraceForm() override;

  bool Hooked() const { return context_ != nullptr; }
  // The Run/Stop button.
  void ToggleHook();
  void Browse();
  // Opening a project: a name of two or more characters goes into the edit
  // and the saved name and, with `run`, is run as if "Run" was pressed.
  void RestoreHookTarget(const QString& name, bool run);
  const std::string& SavedTargetName() const { return savedTarget_; }

  // DATA: the saved target name.
  void SaveProjectElements(ProjectWindow& window) const override;
  void RestoreProjectElements(const ProjectWindow& window) override;

  HookContext* Context() const { return context_.get(); }
  QLineEdit* TargetEdit() const { return targetEdit_; }
  QPushButton* RunButton() const { return runButton_; }
  QPushButton* BrowseButton() const { return browseButton_; }
  QLabel* StatusLabel() const { return statusLabel_; }

 private:
  void BuildUi();
  void Run();
  void Stop();

  const int sourceId_;
  const std::string libraryFolder_;
  const std::string fallbackFolder_;
  std::string savedTarget_;
  std::unique_ptr<HookContext> context_;

  PreviewWidget* preview_ = nullptr;
  QLineEdit* targetEdit_ = nullptr;
  QPushButton* browseButton_ = nullptr;
  QPushButton* runButton_ = nullptr;
  QLabel* statusLabel_ = nullptr;
};

}  // namespace corvalind

// CMainFrame: the studio's main window. A multiple-document frame with the
// menus, the tool bar and the status bar; every source, the program view,
// the Scene Manager and the other tools live in child windows listed in
// the window table (kinds, ids, titles).
#pragma once

#include <QMainWindow>
#include <array>
#include <memory>
#include <string>

#include <QMdiSubWindow>

#include "engine/output_format.h"
#include "studio/files/project_file.h"
#include "studio/window_table.h"

class QAction;
class QMdiArea;
class QMdiSubWindow;

namespace corvalind {

class VideoEngine;
class SceneHotKeys;
class CViewSceneManager;
class CViewProgramForm;
class WindowForm;
class UpdateChecker;

class CMainFrame : public QMainWindow {
  Q_OBJECT
 public:
  CMainFrame(VideoEngine& engine, const OutputFormat& format, std::string bufferName,
             const QString& title, QWidget* parent = nullptr);
  ~CMainFrame() override;

  // Opens a child window of a kind; returns it, or nullptr when the kind
  // is not available, a single kind is already open, the table is full or
  // no id is free.
  QMdiSubWindow* OpenWindow(int kind);
  // The open window of a kind, or nullptr.
  QMdiSubWindow* FindWindow(int kind) const;
  // The first open form of a type, or nullptr.
  template <typename Form>
  Form* FindForm() const {
    for (int i = 0; i < kWindowTableSize; ++i) {
      const WindowTable::Entry& entry = table_.At(i);
      if (!entry.inUse) continue;
      if (auto* form = qobject_cast<Form*>(static_cast<QMdiSubWindow*>(entry.frame)->widget())) return form;
    }
    return nullptr;
  }
  CViewSceneManager* SceneManager() const;
  CViewProgramForm* ProgramView() const;

  // Closes the program view, then every other window, without asking.
  void CloseAllWindows();
  // File > New: asks first when the set-up changed since it was opened or
  // saved, then closes every window.
  void NewSetup();
  // True when there is nothing to lose or the user agrees to close all.
  bool ConfirmCloseAll();
  // Window > Arrange: left to right in rows, the program view first, every
  // window inside the workspace.
  void Arrange();
  // Window > Tile: the windows on a grid over the workspace.
  void Tile();
  // A hot key: index 0 for Ctrl+1 .. 9 for Ctrl+0.
  void OnSceneHotKey(int index);

  // Project files. Save writes the open windows and the picture settings;
  // Load applies the settings and opens the windows one per second (the
  // Scene Manager four seconds after the last), without blocking the
  // window; projectLoaded() follows the last step. Load returns false,
  // changing nothing, when the file does not parse.
  bool SaveProject(const QString& path);
  // The project document of the windows open now.
  ProjectDocument CurrentDocument() const;
  bool LoadProject(const QString& path, int windowDelayMs = 1000, int managerDelayMs = 4000);
  bool ProjectLoading() const { return loading_; }
  void ProjectLoadFinished();

  const WindowTable& Table() const { return table_; }
  // The command that opens a window of `kind` (menu and tool bar).
  QAction* ViewAction(int kind) const {
    return kind >= 0 && kind < kWindowKindCount ? kindActions_[static_cast<std::size_t>(kind)] : nullptr;
  }
  QAction* ActionByText(const QString& text) const;
  QMdiArea* Area() const { return area_; }
  SceneHotKeys* HotKeys() const { return hotKeys_; }
  const std::string& BufferName() const { return bufferName_; }

 signals:
  void projectLoaded();

 private:
  void CreateActions();
  void OpenProjectDialog();
  void SaveProjectDialog();
  void CreateMenus();
  void CreateToolBar();
  void CreateStatusBar();
  void ShowAbout();
  // View > Output Player: starts corvalind-player on this studio's output.
  void StartOutputPlayer();
  void OnWindowDestroyed(QObject* frame);
  QString KindTitle(int kind) const;
  // Closes the open windows, those of `first` kinds only or all others.
  void CloseWindows(bool first);
  // Where a new window goes: the first spot of the workspace where it
  // covers no other window, else a step down from the last one.
  QPoint FreePlace(const QMdiSubWindow* frame) const;
  // `place` moved just enough for the whole frame to lie in the workspace.
  QPoint InsideWorkspace(const QMdiSubWindow* frame, QPoint place) const;
  // The set-up as a project text, to tell whether it changed.
  std::string CurrentSetup() const;
  // Where the file dialogs start: the folder of the last project, else the
  // documents folder's Corvalind sub-folder.
  QString ProjectFolder() const;

  VideoEngine& engine_;
  const OutputFormat format_;
  const std::string bufferName_;
  WindowTable table_;
  QMdiArea* area_ = nullptr;
  SceneHotKeys* hotKeys_ = nullptr;

  QAction* newAction_ = nullptr;
  QAction* openAction_ = nullptr;
  QAction* saveAction_ = nullptr;
  QAction* exitAction_ = nullptr;
  std::array<QAction*, kWindowKindCount> kindActions_{};
  QAction* arrangeAction_ = nullptr;
  QAction* cascadeAction_ = nullptr;
  QAction* tileAction_ = nullptr;
  QAction* toolbarAction_ = nullptr;
  QAction* statusAction_ = nullptr;
  QAction* homepageAction_ = nullptr;
  QAction* updateAction_ = nullptr;
  QAction* playerAction_ = nullptr;
  QAction* aboutAction_ = nullptr;
  class QToolBar* toolBar_ = nullptr;
  bool loading_ = false;
  std::string savedSetup_;   // CurrentSetup() when last opened, saved or cleared
  QString lastProjectFolder_;
  // Runs the update checks; goes with the window, waiting for a running one.
  std::unique_ptr<UpdateChecker> updateChecker_;
};

}  // namespace corvalind

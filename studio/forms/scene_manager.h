// CViewSceneManager: the form that puts scenes on the program.
//
// Lists the scenes ("(%02d) %s"), offers the eleven transitions, switches
// on "Switch", on the ten quick buttons and on the hot keys, cycles through
// the checked scenes on a timer, and opens the scene editor. The scene list
// is loaded from scenes.xml when the form is made and written right after
// every change (new, edited or deleted scene), so an edit survives a crash;
// a list that did not change since the file was loaded is never rewritten.
// A file that could not be read has been moved aside by the load; the
// status bar says where, and the form goes on with the scenes it has.
#pragma once

#include <QWidget>
#include <array>
#include <string>
#include <vector>

#include "studio/forms/window_form.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace corvalind {

class VideoEngine;

class CViewSceneManager : public QWidget, public WindowForm {
  Q_OBJECT
 public:
  // Loads the scene list; `fileName` is "scenes.xml" in the studio.
  CViewSceneManager(VideoEngine& engine, QWidget* parent = nullptr,
                    const std::string& fileName = "scenes.xml");
  // Writes the scene list when it differs from what the file holds (a
  // save after a change failed, or the engine's list was changed
  // elsewhere).
  ~CViewSceneManager() override;

  // The command of quick button `index` (0 for "1" .. 9 for "10"), as a
  // click or a hot key sends it.
  void QuickSwitch(int index);
  void OnSceneHotKey(int index) override { QuickSwitch(index); }

  // Projects keep the last scene (DATA) and transition (PARAM1). Restoring
  // selects them when the lists are long enough, then switches.
  void SaveProjectElements(ProjectWindow& window) const override;
  void RestoreProjectElements(const ProjectWindow& window) override;
  // "Switch": the selected scene with the selected transition.
  void Switch();
  void NewScene();
  void EditScene();
  // Asks "Delete scene '<name>'?" first; No changes nothing.
  void DeleteScene();
  void ToggleLoop();
  // One tick of the loop timer (the timer calls it every second).
  void LoopTick();

  void FillSceneList();
  void ApplyEnabling();

  bool Looping() const { return looping_; }
  int LastScene() const { return lastScene_; }
  int LastTransition() const { return lastTransition_; }
  const std::vector<int>& LoopList() const { return loopList_; }
  // The loop's period, and the seconds until its next switch as the
  // period box counts them down (0 when not looping).
  int LoopSeconds() const { return loopSeconds_; }
  int LoopSecondsLeft() const { return looping_ ? loopSeconds_ - loopElapsed_ + 1 : 0; }

  QComboBox* EffectList() const { return effects_; }
  QComboBox* SceneList() const { return scenes_; }
  QPushButton* QuickButton(int index) const { return quick_[static_cast<std::size_t>(index)]; }
  QCheckBox* LoopCheck(int index) const { return loopChecks_[static_cast<std::size_t>(index)]; }
  QLineEdit* PeriodEdit() const { return period_; }
  QPushButton* LoopButton() const { return loopButton_; }
  QLabel* Marker() const { return marker_; }

 signals:
  // After every switch, whoever asked for it (a button, a hot key, the
  // loop, a remote client): the scene's list position and the transition.
  void switched(int scenePosition, int transition);

 protected:
  // The marker follows its button when the layout moves it.
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void BuildUi();
  void MoveMarker(int scenePosition);
  // Writes the engine's list to the file unless the file already holds it;
  // a failure is shown once until a write succeeds again.
  void SaveSceneList();

  VideoEngine& engine_;
  std::string fileName_;
  // The list the file holds, in the writer's text: what was loaded, or the
  // empty list when there is no file (no file loads as no scenes), then
  // what was last written.
  std::string fileText_;
  // The file could not be read and could not be moved aside either: it is
  // never written over in this form's life.
  bool keepFile_ = false;
  bool saveFailureShown_ = false;

  bool looping_ = false;
  int loopSeconds_ = 0;
  int loopElapsed_ = 0;
  unsigned loopPosition_ = 0;
  std::vector<int> loopList_;
  int lastTransition_ = -1;
  int lastScene_ = -1;
  int markerPosition_ = -1;

  std::array<QPushButton*, 10> quick_{};
  std::array<QCheckBox*, 10> loopChecks_{};
  QLabel* marker_ = nullptr;
  QLineEdit* period_ = nullptr;
  QPushButton* loopButton_ = nullptr;
  QComboBox* effects_ = nullptr;
  QComboBox* scenes_ = nullptr;
  QTimer* timer_ = nullptr;
};

}  // namespace corvalind

#include "studio/forms/scene_manager.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "engine/messages.h"
#include "engine/transition.h"
#include "engine/video_engine.h"
#include "platform/decimal.h"
#include "studio/forms/scene_editor_dialog.h"
#include "studio/files/scene_list_file.h"
#include "studio/ui_bridge.h"

namespace corvalind {

namespace {

// Caption order "1".."10" against the control ids (which do not run in
// caption order).
constexpr int kQuickIds[10] = {1052, 1053, 1054, 1056, 1055, 1057, 1058, 1059, 1061, 1060};
constexpr int kLoopCheckIds[10] = {1041, 1042, 1043, 1045, 1046, 1047, 1048, 1049, 1050, 1051};

// The marker above the active quick button: a small downward triangle.
QPixmap MarkerPixmap() {
  QPixmap pixmap(14, 8);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(QColor(220, 40, 40));
  painter.setPen(Qt::NoPen);
  const QPointF points[3] = {{0, 0}, {14, 0}, {7, 8}};
  painter.drawPolygon(points, 3);
  return pixmap;
}

// The status text for a scene list that could not be read. The engine
// keeps the scenes it had (none at start-up), and says which.
std::string UnreadableListText(const SceneListLoad& load, bool hasScenes) {
  if (load.keptAs.empty()) {
    return "The scene list " + load.path +
           " could not be read and could not be moved aside; it is left as it is and will not be "
           "written over.";
  }
  return "The scene list " + load.path + " could not be read; it was kept as " + load.keptAs + ". " +
         (hasScenes ? "Going on with the scenes already in the studio." : "Starting with an empty list.");
}

}  // namespace

CViewSceneManager::CViewSceneManager(VideoEngine& engine, QWidget* parent, const std::string& fileName)
    : QWidget(parent), engine_(engine), fileName_(fileName) {
  setObjectName("CViewSceneManager");
  const SceneListLoad load = LoadScenes(engine_, fileName_);
  if (load.status == SceneListStatus::kUnreadable) {
    keepFile_ = load.keptAs.empty();
    SetStatusText(UnreadableListText(load, engine_.SceneCount() > 0));
  }
  fileText_ = FormatSceneList(load ? engine_.Scenes() : SceneTable{});
  BuildUi();
  for (int i = 0; i < kTransitionTypeCount; ++i) effects_->addItem(TransitionName(i));
  effects_->setCurrentIndex(0);
  FillSceneList();
  ApplyEnabling();
  // Opening the manager puts the first scene on the program.
  QuickSwitch(0);
}

CViewSceneManager::~CViewSceneManager() { SaveSceneList(); }

void CViewSceneManager::SaveSceneList() {
  const std::string text = FormatSceneList(engine_.Scenes());
  if (text == fileText_) return;
  if (!keepFile_ && SaveScenes(engine_, fileName_)) {
    fileText_ = text;
    saveFailureShown_ = false;
    return;
  }
  if (saveFailureShown_) return;
  saveFailureShown_ = true;
  SetStatusText("The scene list could not be saved to " + SceneListPath(fileName_) + ".");
}

void CViewSceneManager::BuildUi() {
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(8, 8, 8, 8);
  outer->setSpacing(8);

  auto* quickBox = new QGroupBox("Quick Switch", this);
  auto* grid = new QGridLayout(quickBox);
  grid->setContentsMargins(8, 18, 8, 8);
  grid->setHorizontalSpacing(4);
  grid->setVerticalSpacing(2);
  for (int i = 0; i < 10; ++i) {
    const int row = i < 5 ? 0 : 2;
    const int column = i % 5;
    auto* button = new QPushButton(QString::number(i + 1), quickBox);
    button->setObjectName(QString::number(kQuickIds[i]));
    button->setFixedSize(34, 26);
    connect(button, &QPushButton::clicked, this, [this, i] { QuickSwitch(i); });
    auto* check = new QCheckBox(quickBox);
    check->setObjectName(QString::number(kLoopCheckIds[i]));
    check->setToolTip("Include this scene in the loop");
    grid->addWidget(button, row, column, Qt::AlignHCenter);
    grid->addWidget(check, row + 1, column, Qt::AlignHCenter);
    quick_[static_cast<std::size_t>(i)] = button;
    loopChecks_[static_cast<std::size_t>(i)] = check;
  }
  grid->setRowMinimumHeight(2, 36);  // room for the marker above the second row
  marker_ = new QLabel(quickBox);
  marker_->setObjectName("1062");
  marker_->setPixmap(MarkerPixmap());
  marker_->resize(14, 8);
  marker_->hide();

  auto* loopRow = new QHBoxLayout;
  loopRow->addWidget(new QLabel("Loop every:", quickBox));
  period_ = new QLineEdit("5", quickBox);
  period_->setObjectName("1063");
  period_->setValidator(new QIntValidator(0, 99999, period_));
  period_->setFixedWidth(48);
  loopRow->addWidget(period_);
  loopRow->addWidget(new QLabel("sec", quickBox));
  loopButton_ = new QPushButton("Loop On", quickBox);
  loopButton_->setObjectName("1021");
  connect(loopButton_, &QPushButton::clicked, this, &CViewSceneManager::ToggleLoop);
  loopRow->addWidget(loopButton_);
  grid->addLayout(loopRow, 4, 0, 1, 5);
  outer->addWidget(quickBox);

  auto* controlBox = new QGroupBox("Scene Control", this);
  auto* control = new QGridLayout(controlBox);
  control->setContentsMargins(8, 18, 8, 8);
  control->addWidget(new QLabel("Effect:", controlBox), 0, 0);
  effects_ = new QComboBox(controlBox);
  effects_->setObjectName("1016");
  control->addWidget(effects_, 0, 1);
  control->addWidget(new QLabel("Scene:", controlBox), 1, 0);
  scenes_ = new QComboBox(controlBox);
  scenes_->setObjectName("1015");
  scenes_->setMinimumContentsLength(16);
  control->addWidget(scenes_, 1, 1);
  control->setColumnStretch(1, 1);
  outer->addWidget(controlBox);

  auto* editorBox = new QGroupBox("Scene Editor", this);
  auto* editor = new QHBoxLayout(editorBox);
  editor->setContentsMargins(8, 18, 8, 8);
  const struct {
    const char* text;
    int id;
    void (CViewSceneManager::*action)();
  } buttons[] = {{"New", 1018, &CViewSceneManager::NewScene},
                 {"Edit", 1019, &CViewSceneManager::EditScene},
                 {"Delete", 1020, &CViewSceneManager::DeleteScene}};
  for (const auto& b : buttons) {
    auto* button = new QPushButton(b.text, editorBox);
    button->setObjectName(QString::number(b.id));
    connect(button, &QPushButton::clicked, this, b.action);
    editor->addWidget(button);
  }
  outer->addWidget(editorBox);

  auto* bottom = new QHBoxLayout;
  bottom->addWidget(new QLabel("Hotkey: CTRL+ num", this));
  bottom->addStretch(1);
  auto* switchButton = new QPushButton("Switch", this);
  switchButton->setObjectName("1017");
  switchButton->setDefault(true);
  connect(switchButton, &QPushButton::clicked, this, &CViewSceneManager::Switch);
  bottom->addWidget(switchButton);
  outer->addLayout(bottom);

  timer_ = new QTimer(this);
  timer_->setInterval(1000);
  connect(timer_, &QTimer::timeout, this, &CViewSceneManager::LoopTick);
}

void CViewSceneManager::FillSceneList() {
  const int selected = scenes_->currentIndex();
  scenes_->clear();
  const SceneTable table = engine_.Scenes();
  for (int i = 0; i < MaxScenes; ++i) {
    const Scene& scene = table.scenes[static_cast<std::size_t>(i)];
    if (scene.zones.empty()) continue;
    scenes_->addItem(QString::asprintf("(%02d) ", i + 1) + QString::fromStdString(scene.name));
  }
  scenes_->setCurrentIndex(selected >= 0 && selected < scenes_->count() ? selected
                                                                          : (scenes_->count() ? 0 : -1));
}

void CViewSceneManager::ApplyEnabling() {
  const int n = scenes_->count();
  for (int k = 0; k < 10; ++k) {
    quick_[static_cast<std::size_t>(k)]->setEnabled(n >= k + 1);
    loopChecks_[static_cast<std::size_t>(k)]->setEnabled(!looping_ && n >= k + 1);
  }
}

void CViewSceneManager::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  MoveMarker(markerPosition_);
}

void CViewSceneManager::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  MoveMarker(markerPosition_);
}

void CViewSceneManager::MoveMarker(int position) {
  if (position < 0 || position > 9) return;
  markerPosition_ = position;
  if (QWidget* box = marker_->parentWidget(); box && box->layout()) box->layout()->activate();
  QPushButton* button = quick_[static_cast<std::size_t>(position)];
  marker_->move(button->x() + 4, button->y() - marker_->height() - 1);
  marker_->show();
  marker_->raise();
}

void CViewSceneManager::Switch() {
  const int transition = effects_->currentIndex();
  const int position = scenes_->currentIndex();
  if (transition < 0 || position < 0) return;
  engine_.SwitchScene(position, transition);
  lastTransition_ = transition;
  lastScene_ = position;
  MoveMarker(position);
  emit switched(position, transition);
}

void CViewSceneManager::QuickSwitch(int index) {
  // No such item leaves the list without a selection: nothing switches.
  scenes_->setCurrentIndex(index < scenes_->count() ? index : -1);
  Switch();
}

void CViewSceneManager::NewScene() {
  CScreneEditorDlg editor({}, QString(), this);
  if (editor.exec() != QDialog::Accepted) return;
  if (engine_.StoreScene(editor.zones(), editor.name().toStdString(), -1)) {
    FillSceneList();
    ApplyEnabling();
    SaveSceneList();
  }
}

void CViewSceneManager::EditScene() {
  const int position = scenes_->currentIndex();
  if (position < 0) {
    ShowStudioMessage("Please, select scene to edit!");
    return;
  }
  std::vector<VideoZone> zones;
  std::string name;
  if (!engine_.GetScene(position, zones, name)) return;
  CScreneEditorDlg editor(zones, QString::fromStdString(name), this);
  if (editor.exec() != QDialog::Accepted) return;
  if (engine_.StoreScene(editor.zones(), editor.name().toStdString(), position)) {
    FillSceneList();
    ApplyEnabling();
    SaveSceneList();
  }
}

void CViewSceneManager::DeleteScene() {
  const int position = scenes_->currentIndex();
  if (position < 0) {
    ShowStudioMessage("Please, select scene to delete!");
    return;
  }
  std::vector<VideoZone> zones;
  std::string name;
  if (!engine_.GetScene(position, zones, name)) return;
  if (!AskStudioQuestion("Delete scene '" + QString::fromStdString(name) + "'?", "Scene Manager")) return;
  if (!engine_.DeleteScene(position)) return;
  FillSceneList();
  ApplyEnabling();
  SaveSceneList();
}

void CViewSceneManager::ToggleLoop() {
  if (looping_) {
    timer_->stop();
    looping_ = false;
    period_->setEnabled(true);
    loopButton_->setText("Loop On");
    period_->setText(QString::asprintf("%d", loopSeconds_));
    ApplyEnabling();
    return;
  }
  // Read as a C program reads a number: "12abc" is 12, "abc" is 0.
  const int seconds = ParseDecimal(period_->text().left(100).toStdString());
  if (seconds < 1) {
    ShowStudioMessage("Please, enter valid loop duration (in seconds)!");
    return;
  }
  loopList_.clear();
  for (int p = 0; p < scenes_->count() && p <= 9; ++p) {
    if (loopChecks_[static_cast<std::size_t>(p)]->isChecked()) loopList_.push_back(p);
  }
  if (loopList_.size() < 2) {
    ShowStudioMessage("Please, select at least two scenes to activate looping!");
    return;
  }
  looping_ = true;
  period_->setEnabled(false);
  loopButton_->setText("Loop Off");
  loopElapsed_ = 0;
  loopSeconds_ = seconds;
  timer_->start();
  ApplyEnabling();
}

void CViewSceneManager::LoopTick() {
  if (!looping_) return;
  if (loopElapsed_ > loopSeconds_) {
    loopElapsed_ = 0;
    if (loopPosition_ >= loopList_.size()) loopPosition_ = 0;
    scenes_->setCurrentIndex(loopList_[loopPosition_]);
    Switch();
    ++loopPosition_;
  }
  period_->setText(QString::asprintf("%d", loopSeconds_ - loopElapsed_));
  ++loopElapsed_;
}

void CViewSceneManager::SaveProjectElements(ProjectWindow& window) const {
  window.Set("DATA", LastScene());
  window.Set("PARAM1", LastTransition());
}

void CViewSceneManager::RestoreProjectElements(const ProjectWindow& window) {
  const int scene = window.Number("DATA", 0);
  const int transition = window.Number("PARAM1", 0);
  if (transition >= 0 && transition < effects_->count()) effects_->setCurrentIndex(transition);
  if (scene >= 0 && scene < scenes_->count()) scenes_->setCurrentIndex(scene);
  Switch();
}

}  // namespace corvalind

#include "studio/main_window.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollBar>
#include <QVBoxLayout>
#include <algorithm>
#include <vector>
#include <cstring>
#include <ctime>
#include <optional>

#include "engine/messages.h"
#include "engine/source_slot.h"
#include "platform/file_io.h"
#include "platform/folders.h"
#include "platform/version.h"
#include "studio/files/project_file.h"
#include "studio/forms/program_form.h"
#include "studio/forms/scene_manager.h"
#include "studio/forms/window_form.h"
#include "studio/hot_keys.h"
#include "studio/theme.h"
#include "studio/ui_bridge.h"
#include "studio/update_check.h"

namespace corvalind {

namespace {

constexpr const char* kHomepage = "https://corvalind.invalid/";

// The form of a window whose kind could not give it one: a source past the
// ten source slots.
QWidget* NoSlotForm() {
  auto* form = new QWidget;
  form->setObjectName("NoSlotForm");
  auto* layout = new QVBoxLayout(form);
  auto* label = new QLabel(QString("No source slot is left for this window: the studio mixes %1 sources at most.")
                               .arg(SourceSlotCount),
                           form);
  label->setWordWrap(true);
  label->setAlignment(Qt::AlignCenter);
  layout->addWidget(label);
  return form;
}

}  // namespace

// A child window: one form of one kind.
class CSourceFrame : public QMdiSubWindow {
 public:
  CSourceFrame(int kind, int id) : kind_(kind), id_(id) {
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QString("CSourceFrame%1").arg(kind));
    setProperty("kind", kind);
    setProperty("id", id);
  }
  int Kind() const { return kind_; }
  int Id() const { return id_; }
  // The form's project side; null for a window without a form.
  WindowForm* Form() const { return form_; }
  void SetForm(QWidget* widget, WindowForm* form) {
    setWidget(widget);
    form_ = form;
  }

 protected:
  // The user's close (the title bar button, Ctrl+F4): the form may ask
  // first. File > New, Open and Exit close windows without this.
  void closeEvent(QCloseEvent* event) override {
    if (form_ && !form_->ConfirmClose()) {
      event->ignore();
      return;
    }
    QMdiSubWindow::closeEvent(event);
  }

 private:
  int kind_;
  int id_;
  WindowForm* form_ = nullptr;
};

namespace {

CSourceFrame* FrameOf(const WindowTable::Entry& entry) { return static_cast<CSourceFrame*>(entry.frame); }

}  // namespace

CMainFrame::CMainFrame(VideoEngine& engine, const OutputFormat& format, std::string bufferName,
                       const QString& title, QWidget* parent)
    : QMainWindow(parent),
      engine_(engine),
      format_(format),
      bufferName_(std::move(bufferName)),
      updateChecker_(std::make_unique<UpdateChecker>()) {
  setWindowTitle(title);
  setObjectName("CMainFrame");
  area_ = new QMdiArea(this);
  // Windows that do not fit the workspace can be scrolled to.
  area_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  area_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setCentralWidget(area_);
  CreateActions();
  CreateMenus();
  CreateToolBar();
  CreateStatusBar();
  InstallUiBridge(this);
  hotKeys_ = new SceneHotKeys(this);
  connect(hotKeys_, &SceneHotKeys::triggered, this, &CMainFrame::OnSceneHotKey);
  // Never larger than the screen it opens on: the status bar and the
  // dialogs must stay on it.
  QSize size(1280, 860);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) size = size.boundedTo(screen->availableGeometry().size());
  resize(size);
  savedSetup_ = CurrentSetup();
  // Without an update server the studio never checks by itself.
  if (ReadUpdateSettings().server) updateChecker_->StartUpdateCheck(true);
}

CMainFrame::~CMainFrame() {
  // Forms go before the frame: the program view stops its loop and the
  // Scene Manager saves the scene list.
  CloseAllWindows();
  InstallUiBridge(nullptr);
}

QString CMainFrame::KindTitle(int kind) const {
  // A title may show the program's width, height and frame rate.
  const char* title = KindInfo(kind).title;
  return std::strchr(title, '%')
             ? QString::asprintf(title, format_.outputWidth, format_.outputHeight, format_.frameRate)
             : QString(title);
}

void CMainFrame::CreateActions() {
  newAction_ = new QAction(CommandIcon(StudioCommand::kNew), "&New\tCtrl+N", this);
  newAction_->setShortcut(QKeySequence::New);
  newAction_->setStatusTip("Close all windows");
  newAction_->setToolTip("New");
  connect(newAction_, &QAction::triggered, this, &CMainFrame::NewSetup);
  openAction_ = new QAction(CommandIcon(StudioCommand::kOpen), "&Open\tCtrl+O", this);
  openAction_->setShortcut(QKeySequence::Open);
  openAction_->setStatusTip("Open a project");
  openAction_->setToolTip("Open");
  connect(openAction_, &QAction::triggered, this, &CMainFrame::OpenProjectDialog);
  saveAction_ = new QAction(CommandIcon(StudioCommand::kSave), "&Save\tCtrl+S", this);
  saveAction_->setShortcut(QKeySequence::Save);
  saveAction_->setStatusTip("Save the project");
  saveAction_->setToolTip("Save");
  connect(saveAction_, &QAction::triggered, this, &CMainFrame::SaveProjectDialog);
  exitAction_ = new QAction("E&xit", this);
  exitAction_->setStatusTip("Quit the application");
  connect(exitAction_, &QAction::triggered, this, &QWidget::close);

  for (const WindowKindInfo& info : WindowKinds()) {
    auto* action = new QAction(KindIcon(info.kind), info.command, this);
    action->setStatusTip(info.prompt);
    action->setToolTip(info.toolTip);
    action->setEnabled(info.Available());
    connect(action, &QAction::triggered, this, [this, kind = info.kind] { OpenWindow(kind); });
    kindActions_[static_cast<std::size_t>(info.kind)] = action;
  }
  arrangeAction_ = new QAction(CommandIcon(StudioCommand::kArrange), "Arrange", this);
  arrangeAction_->setStatusTip("Arrange the windows side by side");
  connect(arrangeAction_, &QAction::triggered, this, &CMainFrame::Arrange);
  cascadeAction_ = new QAction(CommandIcon(StudioCommand::kCascade), "Cascade", this);
  connect(cascadeAction_, &QAction::triggered, area_, &QMdiArea::cascadeSubWindows);
  tileAction_ = new QAction(CommandIcon(StudioCommand::kTile), "Tile", this);
  connect(tileAction_, &QAction::triggered, this, &CMainFrame::Tile);
  toolbarAction_ = new QAction("&Toolbar", this);
  toolbarAction_->setCheckable(true);
  toolbarAction_->setChecked(true);
  toolbarAction_->setStatusTip("Show or hide the toolbar");
  statusAction_ = new QAction("&Status Bar", this);
  statusAction_->setCheckable(true);
  statusAction_->setChecked(true);
  statusAction_->setStatusTip("Show or hide the status bar");
  homepageAction_ = new QAction("Homepage", this);
  connect(homepageAction_, &QAction::triggered, this, [] { QDesktopServices::openUrl(QUrl(kHomepage)); });
  updateAction_ = new QAction("Check for Updates", this);
  connect(updateAction_, &QAction::triggered, this, [this] { updateChecker_->StartUpdateCheck(false); });
  playerAction_ = new QAction("Output Player", this);
  playerAction_->setStatusTip("Show the program output in a window of its own or on a DeckLink card");
  connect(playerAction_, &QAction::triggered, this, &CMainFrame::StartOutputPlayer);
  aboutAction_ = new QAction(CommandIcon(StudioCommand::kAbout), "&About Corvalind", this);
  aboutAction_->setStatusTip("Show program information, version number and copyright");
  aboutAction_->setToolTip("About");
  connect(aboutAction_, &QAction::triggered, this, &CMainFrame::ShowAbout);
}

void CMainFrame::StartOutputPlayer() {
  // Beside the studio's own executable (a build tree or an install), else
  // on PATH. It runs on its own: closing the studio leaves it playing the
  // last picture.
  QString program = QDir(QCoreApplication::applicationDirPath()).absoluteFilePath("corvalind-player");
  if (!QFileInfo(program).isExecutable()) program = QStandardPaths::findExecutable("corvalind-player");
  if (program.isEmpty()) {
    QMessageBox::warning(this, "Output Player", "The output player (corvalind-player) was not found.");
    return;
  }
  if (!QProcess::startDetached(program, {"--buffer-name", QString::fromStdString(BufferName())})) {
    QMessageBox::warning(this, "Output Player", QString("The output player could not be started:\n%1").arg(program));
  }
}

void CMainFrame::CreateMenus() {
  QMenu* file = menuBar()->addMenu("&File");
  file->addAction(newAction_);
  file->addAction(openAction_);
  file->addAction(saveAction_);
  file->addSeparator();
  file->addAction(exitAction_);
  QMenu* source = menuBar()->addMenu("Source");
  QMenu* view = menuBar()->addMenu("&View");
  for (const WindowKindInfo& info : WindowKinds()) {
    (info.menu == KindMenu::kSource ? source : view)->addAction(kindActions_[static_cast<std::size_t>(info.kind)]);
  }
  view->addSeparator();
  view->addAction(playerAction_);
  QMenu* window = menuBar()->addMenu("Window");
  window->addAction(arrangeAction_);
  window->addAction(cascadeAction_);
  window->addAction(tileAction_);
  window->addSeparator();
  window->addAction(toolbarAction_);
  window->addAction(statusAction_);
  QMenu* help = menuBar()->addMenu("&Help");
  help->addAction(homepageAction_);
  help->addAction(updateAction_);
  help->addSeparator();
  help->addAction(aboutAction_);
}

void CMainFrame::CreateToolBar() {
  toolBar_ = addToolBar("Toolbar");
  toolBar_->setObjectName("toolbar");
  toolBar_->setIconSize(QSize(24, 24));
  toolBar_->setMovable(false);
  toolBar_->addAction(newAction_);
  toolBar_->addAction(openAction_);
  toolBar_->addAction(saveAction_);
  int group = -1;
  for (const WindowKindInfo& info : WindowKinds()) {
    if (info.toolBarGroup != group) toolBar_->addSeparator();
    group = info.toolBarGroup;
    toolBar_->addAction(kindActions_[static_cast<std::size_t>(info.kind)]);
  }
  toolBar_->addSeparator();
  toolBar_->addAction(aboutAction_);
  connect(toolbarAction_, &QAction::toggled, toolBar_, &QToolBar::setVisible);
}

void CMainFrame::CreateStatusBar() {
  statusBar()->showMessage("Ready");
  connect(statusAction_, &QAction::toggled, statusBar(), &QStatusBar::setVisible);
}

QAction* CMainFrame::ActionByText(const QString& text) const {
  for (QAction* action : findChildren<QAction*>()) {
    if (action->text() == text) return action;
  }
  return nullptr;
}

QMdiSubWindow* CMainFrame::OpenWindow(int kind) {
  const WindowKindInfo& info = KindInfo(kind);
  if (!info.Available()) return nullptr;
  auto* frame = new CSourceFrame(kind, -1);
  frame->setWindowIcon(KindIcon(kind));
  const int index = table_.Open(kind, frame);
  if (index < 0) {
    delete frame;
    return nullptr;
  }
  const int id = table_.At(index).id;
  frame->setProperty("id", id);
  const QString plain = KindTitle(kind);
  frame->setWindowTitle(QString::fromStdString(WindowTable::Title(kind, id, plain.toStdString())));

  const FormContext context{id, &engine_, &format_, bufferName_};
  if (QWidget* form = info.create(context)) {
    frame->SetForm(form, dynamic_cast<WindowForm*>(form));
  } else {
    QWidget* placeholder = NoSlotForm();
    placeholder->setProperty("sourceId", id);
    frame->SetForm(placeholder, nullptr);
  }
  area_->addSubWindow(frame);
  connect(frame, &QObject::destroyed, this, &CMainFrame::OnWindowDestroyed);
  frame->setGeometry(100, 100, 212, 225);
  // Each form brings its own size; a window is never smaller than the
  // default child window.
  frame->adjustSize();
  frame->resize(std::max(frame->width(), 212), std::max(frame->height(), 225));
  if (!info.resizable) frame->setFixedSize(frame->size());
  if (info.single) kindActions_[static_cast<std::size_t>(kind)]->setEnabled(false);
  if (info.centred) {
    frame->move(std::max(0, (area_->width() - frame->width()) / 2),
                std::max(0, (area_->height() - frame->height()) / 2));
  } else {
    frame->move(FreePlace(frame));
  }
  frame->show();
  return frame;
}

QPoint CMainFrame::FreePlace(const QMdiSubWindow* frame) const {
  const QSize size = frame->size();
  const QRect workspace(QPoint(0, 0), area_->viewport()->size());
  std::vector<QRect> taken;
  const QMdiSubWindow* last = nullptr;
  for (QMdiSubWindow* other : area_->subWindowList(QMdiArea::CreationOrder)) {
    if (other == frame || !other->isVisible()) continue;
    taken.push_back(other->geometry());
    last = other;
  }
  // The first spot, row by row, where the window lies inside the workspace
  // and covers no other window.
  constexpr int kStep = 16;
  for (int y = 0; y + size.height() <= workspace.height(); y += kStep) {
    for (int x = 0; x + size.width() <= workspace.width(); x += kStep) {
      const QRect place(QPoint(x, y), size);
      if (std::none_of(taken.begin(), taken.end(), [&](const QRect& r) { return r.intersects(place); })) {
        return place.topLeft();
      }
    }
  }
  // No free spot: a step down and right from the last window, back to the
  // top-left corner when that would leave the workspace.
  constexpr int kCascade = 28;
  QPoint place = last ? last->pos() + QPoint(kCascade, kCascade) : QPoint(0, 0);
  if (place.x() + size.width() > workspace.width()) place.setX(0);
  if (place.y() + size.height() > workspace.height()) place.setY(0);
  return place;
}

std::string CMainFrame::CurrentSetup() const { return FormatProject(CurrentDocument()); }

bool CMainFrame::ConfirmCloseAll() {
  if (table_.OpenCount() == 0 || CurrentSetup() == savedSetup_) return true;
  return AskStudioQuestion("The set-up has changed since it was opened or saved. Close all windows anyway?",
                           "Corvalind");
}

void CMainFrame::NewSetup() {
  if (!ConfirmCloseAll()) return;
  CloseAllWindows();
  savedSetup_ = CurrentSetup();
}

void CMainFrame::OnWindowDestroyed(QObject* frame) {
  const int index = table_.IndexOfFrame(frame);
  if (index < 0) return;
  const WindowKindInfo& info = KindInfo(table_.At(index).kind);
  const int id = table_.Close(index);
  if (info.single && info.Available()) kindActions_[static_cast<std::size_t>(info.kind)]->setEnabled(true);
  // Zones showing the closed source turn black.
  if (id >= 0 && id < SourceSlotCount) ReleaseSlot(id);
}

QMdiSubWindow* CMainFrame::FindWindow(int kind) const {
  const int index = table_.Find(kind);
  return index < 0 ? nullptr : static_cast<QMdiSubWindow*>(table_.At(index).frame);
}

CViewSceneManager* CMainFrame::SceneManager() const { return FindForm<CViewSceneManager>(); }

CViewProgramForm* CMainFrame::ProgramView() const { return FindForm<CViewProgramForm>(); }

void CMainFrame::CloseWindows(bool first) {
  for (int i = 0; i < kWindowTableSize; ++i) {
    const WindowTable::Entry& entry = table_.At(i);
    if (entry.inUse && KindInfo(entry.kind).first == first) delete FrameOf(entry);
  }
}

void CMainFrame::CloseAllWindows() {
  CloseWindows(true);
  CloseWindows(false);
}

QPoint CMainFrame::InsideWorkspace(const QMdiSubWindow* frame, QPoint place) const {
  const QSize workspace = area_->viewport()->size();
  place.setX(std::max(0, std::min(place.x(), workspace.width() - frame->width())));
  place.setY(std::max(0, std::min(place.y(), workspace.height() - frame->height())));
  return place;
}

void CMainFrame::Arrange() {
  // Rows as wide as the workspace, so no window starts past its right edge;
  // rows below its bottom are pulled up into it (they then overlap the row
  // above rather than vanish off screen).
  const int limit = area_->viewport()->width();
  int x = 0, y = 0, rowHeight = 0;
  auto place = [&](QMdiSubWindow* frame) {
    if (x > 0 && x + frame->width() > limit) {
      x = 0;
      y += rowHeight;
      rowHeight = 0;
    }
    frame->move(InsideWorkspace(frame, QPoint(x, y)));
    x += frame->width();
    rowHeight = std::max(rowHeight, frame->height());
  };
  for (bool first : {true, false}) {
    for (int i = 0; i < kWindowTableSize; ++i) {
      const WindowTable::Entry& entry = table_.At(i);
      if (entry.inUse && KindInfo(entry.kind).first == first) place(FrameOf(entry));
    }
  }
}

void CMainFrame::Tile() {
  // A grid of as many cells as windows, in table order; a window larger
  // than its cell keeps its size and is kept inside the workspace. Only the
  // resizable program view takes its cell's size.
  std::vector<CSourceFrame*> frames;
  for (int i = 0; i < kWindowTableSize; ++i) {
    const WindowTable::Entry& entry = table_.At(i);
    if (entry.inUse && FrameOf(entry)->isVisible()) frames.push_back(FrameOf(entry));
  }
  if (frames.empty()) return;
  const QSize workspace = area_->viewport()->size();
  const int count = static_cast<int>(frames.size());
  int columns = 1;
  while (columns * columns < count) ++columns;
  const int rows = (count + columns - 1) / columns;
  const int cellWidth = workspace.width() / columns;
  const int cellHeight = workspace.height() / rows;
  for (int i = 0; i < count; ++i) {
    CSourceFrame* frame = frames[static_cast<std::size_t>(i)];
    frame->showNormal();
    if (KindInfo(frame->Kind()).resizable) {
      frame->resize(std::max(cellWidth, frame->minimumWidth()), std::max(cellHeight, frame->minimumHeight()));
    }
    frame->move(InsideWorkspace(frame, QPoint((i % columns) * cellWidth, (i / columns) * cellHeight)));
  }
}

void CMainFrame::OnSceneHotKey(int index) {
  for (const WindowKindInfo& info : WindowKinds()) {
    if (!info.takesSceneHotKeys) continue;
    auto forward = [this, kind = info.kind, index] {
      if (auto* frame = static_cast<CSourceFrame*>(FindWindow(kind)); frame && frame->Form()) {
        frame->Form()->OnSceneHotKey(index);
      }
    };
    if (FindWindow(info.kind)) {
      forward();
    } else {
      // The window opens first; the switch follows half a second later,
      // once it has loaded its scenes.
      OpenWindow(info.kind);
      QTimer::singleShot(500, this, forward);
    }
  }
}

QString CMainFrame::ProjectFolder() const {
  if (!lastProjectFolder_.isEmpty() && QFileInfo(lastProjectFolder_).isDir()) return lastProjectFolder_;
  const QString studio = QString::fromStdString(DocumentsFolder()) + "/Corvalind";
  return QFileInfo(studio).isDir() ? studio : QString::fromStdString(DocumentsFolder());
}

void CMainFrame::OpenProjectDialog() {
  const QString path =
      QFileDialog::getOpenFileName(this, "Open", ProjectFolder(), "Corvalind Files (*.cvd);;All Files (*)");
  if (path.isEmpty() || !ConfirmCloseAll()) return;
  CloseAllWindows();
  LoadProject(path);
}

void CMainFrame::SaveProjectDialog() {
  QFileDialog dialog(this, "Save", ProjectFolder(), "Corvalind Files (*.cvd)");
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix("cvd");
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  SaveProject(dialog.selectedFiles().first());
}

ProjectDocument CMainFrame::CurrentDocument() const {
  ProjectDocument document;
  document.config = CurrentPictureConfig();
  for (int i = 0; i < kWindowTableSize; ++i) {
    const WindowTable::Entry& entry = table_.At(i);
    if (!entry.inUse) continue;
    CSourceFrame* frame = FrameOf(entry);
    ProjectWindow window;
    window.type = entry.kind;
    const QRect normal = frame->isMaximized() || frame->isMinimized() ? frame->normalGeometry() : frame->geometry();
    window.posX = normal.x();
    window.posY = normal.y();
    if (WindowForm* form = frame->Form()) form->SaveProjectElements(window);
    document.windows.push_back(std::move(window));
  }
  return document;
}

bool CMainFrame::SaveProject(const QString& path) {
  const ProjectDocument document = CurrentDocument();
  // A file under the name that is not a project the studio can read (a
  // damaged one, or another program's file) is kept aside, not lost.
  const std::string target = path.toStdString();
  ProjectDocument existing;
  if (LookUpPath(target) == PathPresence::kPresent && !ReadProjectFile(target, &existing)) {
    const std::string aside = MoveAside(target, UnreadableFileName(target, std::time(nullptr)));
    if (aside.empty()) {
      SetStatusText("The file " + target + " could not be read as a project and was not replaced.");
      return false;
    }
    SetStatusText("The file " + target + " could not be read as a project; it was kept as " + aside + ".");
  }
  if (!WriteProjectFile(path.toStdString(), document)) {
    SetStatusText("The project could not be saved to " + path.toStdString() + ".");
    return false;
  }
  savedSetup_ = FormatProject(document);
  lastProjectFolder_ = QFileInfo(path).absolutePath();
  return true;
}

namespace {

// Opens a project's windows one after another on the UI thread's timers.
class ProjectLoader : public QObject {
 public:
  ProjectLoader(CMainFrame* frame, ProjectDocument document, int windowDelayMs, int managerDelayMs)
      : QObject(frame), frame_(frame), document_(std::move(document)),
        windowDelayMs_(windowDelayMs), managerDelayMs_(managerDelayMs) {}

  // Opens the next window (skipping those that cannot open) and schedules
  // the one after; the window of a kind restored last waits for the end.
  void Step() {
    while (next_ < document_.windows.size()) {
      const ProjectWindow& w = document_.windows[next_++];
      if (KindInfo(w.type).restoredLast) {
        last_ = w;
        continue;
      }
      QMdiSubWindow* window = frame_->OpenWindow(w.type);
      if (!window) continue;  // never applied to another window
      window->move(w.posX, w.posY);
      if (WindowForm* form = static_cast<CSourceFrame*>(window)->Form()) form->RestoreProjectElements(w);
      QTimer::singleShot(windowDelayMs_, this, [this] { Step(); });
      return;
    }
    if (last_) {
      QTimer::singleShot(managerDelayMs_, this, [this] { OpenLast(); });
    } else {
      Finish();
    }
  }

 private:
  void OpenLast() {
    if (auto* window = static_cast<CSourceFrame*>(frame_->OpenWindow(last_->type)); window && window->Form()) {
      window->Form()->RestoreProjectElements(*last_);
    }
    Finish();
  }

  void Finish();

  CMainFrame* frame_;
  ProjectDocument document_;
  int windowDelayMs_;
  int managerDelayMs_;
  std::size_t next_ = 0;
  std::optional<ProjectWindow> last_;
};

}  // namespace

bool CMainFrame::LoadProject(const QString& path, int windowDelayMs, int managerDelayMs) {
  ProjectDocument document;
  if (!ReadProjectFile(path.toStdString(), &document)) return false;
  lastProjectFolder_ = QFileInfo(path).absolutePath();
  ApplyPictureConfig(document.config);
  loading_ = true;
  auto* loader = new ProjectLoader(this, std::move(document), windowDelayMs, managerDelayMs);
  loader->Step();
  return true;
}

void CMainFrame::ProjectLoadFinished() {
  loading_ = false;
  savedSetup_ = CurrentSetup();
  emit projectLoaded();
}

void ProjectLoader::Finish() {
  frame_->ProjectLoadFinished();
  deleteLater();
}

void CMainFrame::ShowAbout() {
  QMessageBox about(this);
  about.setWindowTitle("About");
  about.setIconPixmap(KindIcon(kKindProgram).pixmap(48, 48));
  about.setText(QString("<b>Corvalind</b><br>Version %1").arg(kProductVersion));
  about.setInformativeText("Live video production studio");
  about.exec();
}

}  // namespace corvalind

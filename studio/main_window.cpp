#include "studio/main_window.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>

#include "engine/messages.h"
#include "engine/source_slot.h"
#include "studio/forms/desktop_form.h"
#include "studio/hot_keys.h"
#include "studio/forms/overlay_form.h"
#include "studio/forms/slideshow_form.h"
#include "studio/files/project_file.h"
#include "studio/forms/program_form.h"
#include "studio/forms/scene_manager.h"
#include "studio/ui_bridge.h"

namespace corvalind {

namespace {

constexpr const char* kVersion = "1.85";
constexpr const char* kHomepage = "https://corvalind.invalid/";

// Status-bar prompt and tool tip of each command.
struct CommandText {
  const char* prompt;
  const char* tip;
};

CommandText KindCommandText(int kind) {
  switch (kind) {
    case kKindCamera: return {"Add video camera source", "Add camera source"};
    case kKindVideoFile: return {"Add video file source", "Add video file source"};
    case kKindSlideShow: return {"Add slide show source", "Add slide show source"};
    case kKindDesktop: return {"Add desktop capture source", "Add desktop source"};
    case kKindHook: return {"Add DirectX/OpenGL game capture source", "Add video hook source"};
    case kKindOverlay: return {"Activate the image overlay window", "Overlay"};
    case kKindBackground: return {"Activate the image background window", "Background"};
    case kKindProgram: return {"Activate the program output window", "Program"};
    case kKindSceneManager: return {"Activate the scene manager window", "Scene Manager"};
    case kKindNetwork: return {"Activate the network transmitter window", "Network Send"};
    case kKindRecorder: return {"Activate the video recorder window", "Recorder"};
    default: return {"Activate the settings control window", "Settings Control"};
  }
}

// Small tool-bar pictures: a rounded tile with a glyph, in the colour of
// the command's group.
QIcon TileIcon(const QString& glyph, const QColor& color) {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(color);
  painter.setPen(Qt::NoPen);
  painter.drawRoundedRect(QRectF(2, 2, 28, 28), 6, 6);
  painter.setPen(Qt::white);
  QFont font = painter.font();
  font.setBold(true);
  font.setPixelSize(glyph.size() > 1 ? 12 : 17);
  painter.setFont(font);
  painter.drawText(QRectF(2, 2, 28, 28), Qt::AlignCenter, glyph);
  return QIcon(pixmap);
}

// The form of a kind whose window comes with a later version.
QWidget* NotAvailableForm(const QString& title) {
  auto* form = new QWidget;
  form->setObjectName("NotAvailableForm");
  auto* layout = new QVBoxLayout(form);
  auto* label = new QLabel(QString("%1 is not available yet.").arg(title), form);
  label->setWordWrap(true);
  label->setAlignment(Qt::AlignCenter);
  layout->addWidget(label);
  return form;
}

}  // namespace

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

 private:
  int kind_;
  int id_;
};

CMainFrame::CMainFrame(VideoEngine& engine, const OutputFormat& format, std::string bufferName,
                       const QString& title, QWidget* parent)
    : QMainWindow(parent), engine_(engine), format_(format), bufferName_(std::move(bufferName)) {
  setWindowTitle(title);
  setObjectName("CMainFrame");
  area_ = new QMdiArea(this);
  area_->setBackground(QColor(58, 62, 70));
  setCentralWidget(area_);
  CreateActions();
  CreateMenus();
  CreateToolBar();
  CreateStatusBar();
  InstallUiBridge(this);
  hotKeys_ = new SceneHotKeys(this);
  connect(hotKeys_, &SceneHotKeys::triggered, this, &CMainFrame::OnSceneHotKey);
  resize(1280, 860);
}

CMainFrame::~CMainFrame() {
  // Forms go before the frame: the program view stops its loop and the
  // Scene Manager saves the scene list.
  CloseAllWindows();
  InstallUiBridge(nullptr);
}

QString CMainFrame::KindTitle(int kind) const {
  if (kind == kKindProgram) {
    return QString::asprintf(KindInfo(kind).title, format_.outputWidth, format_.outputHeight,
                             format_.frameRate);
  }
  return KindInfo(kind).title;
}

void CMainFrame::CreateActions() {
  newAction_ = new QAction(style()->standardIcon(QStyle::SP_FileIcon), "&New\tCtrl+N", this);
  newAction_->setShortcut(QKeySequence::New);
  newAction_->setStatusTip("Close all windows");
  newAction_->setToolTip("New");
  connect(newAction_, &QAction::triggered, this, &CMainFrame::CloseAllWindows);
  openAction_ = new QAction(style()->standardIcon(QStyle::SP_DialogOpenButton), "&Open\tCtrl+O", this);
  openAction_->setShortcut(QKeySequence::Open);
  openAction_->setStatusTip("Open a project");
  openAction_->setToolTip("Open");
  connect(openAction_, &QAction::triggered, this, &CMainFrame::OpenProjectDialog);
  saveAction_ = new QAction(style()->standardIcon(QStyle::SP_DialogSaveButton), "&Save\tCtrl+S", this);
  saveAction_->setShortcut(QKeySequence::Save);
  saveAction_->setStatusTip("Save the project");
  saveAction_->setToolTip("Save");
  connect(saveAction_, &QAction::triggered, this, &CMainFrame::SaveProjectDialog);
  exitAction_ = new QAction("E&xit", this);
  exitAction_->setStatusTip("Quit the application");
  connect(exitAction_, &QAction::triggered, this, &QWidget::close);

  const struct {
    int kind;
    const char* text;
    const char* glyph;
  } sources[] = {{kKindCamera, "Camera", "C"},        {kKindVideoFile, "Video File", "F"},
                 {kKindSlideShow, "Slideshow", "S"},   {kKindDesktop, "Desktop", "D"},
                 {kKindHook, "Video Hook", "H"}};
  for (const auto& s : sources) {
    auto* action = new QAction(TileIcon(s.glyph, QColor(46, 125, 190)), s.text, this);
    const CommandText text = KindCommandText(s.kind);
    action->setStatusTip(text.prompt);
    action->setToolTip(text.tip);
    connect(action, &QAction::triggered, this, [this, kind = s.kind] { OpenWindow(kind); });
    sourceActions_[static_cast<std::size_t>(s.kind)] = action;
  }
  const struct {
    int kind;
    const char* glyph;
    QColor color;
  } views[] = {{kKindProgram, "P", QColor(200, 60, 60)},     {kKindSceneManager, "SM", QColor(200, 60, 60)},
               {kKindOverlay, "O", QColor(120, 90, 180)},    {kKindBackground, "B", QColor(120, 90, 180)},
               {kKindNetwork, "N", QColor(40, 150, 110)},    {kKindRecorder, "R", QColor(40, 150, 110)},
               {kKindSettings, "⚙", QColor(40, 150, 110)}};
  for (const auto& v : views) {
    auto* action = new QAction(TileIcon(v.glyph, v.color), KindInfo(v.kind).viewCommand, this);
    const CommandText text = KindCommandText(v.kind);
    action->setStatusTip(text.prompt);
    action->setToolTip(text.tip);
    connect(action, &QAction::triggered, this, [this, kind = v.kind] { OpenWindow(kind); });
    viewActions_[static_cast<std::size_t>(v.kind)] = action;
  }
  arrangeAction_ = new QAction("Arrange", this);
  arrangeAction_->setStatusTip("Arrange the windows side by side");
  connect(arrangeAction_, &QAction::triggered, this, &CMainFrame::Arrange);
  cascadeAction_ = new QAction("Cascade", this);
  connect(cascadeAction_, &QAction::triggered, area_, &QMdiArea::cascadeSubWindows);
  tileAction_ = new QAction("Tile", this);
  connect(tileAction_, &QAction::triggered, area_, &QMdiArea::tileSubWindows);
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
  connect(updateAction_, &QAction::triggered, this,
          [] { SetStatusText("The update check is not available yet."); });
  aboutAction_ = new QAction(TileIcon("?", QColor(90, 96, 110)), "&About Corvalind", this);
  aboutAction_->setStatusTip("Show program information, version number and copyright");
  aboutAction_->setToolTip("About");
  connect(aboutAction_, &QAction::triggered, this, &CMainFrame::ShowAbout);
}

void CMainFrame::CreateMenus() {
  QMenu* file = menuBar()->addMenu("&File");
  file->addAction(newAction_);
  file->addAction(openAction_);
  file->addAction(saveAction_);
  file->addSeparator();
  file->addAction(exitAction_);
  QMenu* source = menuBar()->addMenu("Source");
  for (int kind : {kKindCamera, kKindVideoFile, kKindSlideShow, kKindDesktop, kKindHook}) {
    source->addAction(sourceActions_[static_cast<std::size_t>(kind)]);
  }
  QMenu* view = menuBar()->addMenu("&View");
  for (int kind : {kKindProgram, kKindSceneManager, kKindOverlay, kKindBackground, kKindNetwork,
                   kKindRecorder, kKindSettings}) {
    view->addAction(viewActions_[static_cast<std::size_t>(kind)]);
  }
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
  toolBar_->addSeparator();
  for (int kind : {kKindCamera, kKindVideoFile, kKindSlideShow, kKindDesktop, kKindHook}) {
    toolBar_->addAction(sourceActions_[static_cast<std::size_t>(kind)]);
  }
  toolBar_->addSeparator();
  for (int kind : {kKindProgram, kKindSceneManager, kKindOverlay, kKindBackground}) {
    toolBar_->addAction(viewActions_[static_cast<std::size_t>(kind)]);
  }
  toolBar_->addSeparator();
  for (int kind : {kKindNetwork, kKindRecorder, kKindSettings}) {
    toolBar_->addAction(viewActions_[static_cast<std::size_t>(kind)]);
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
  auto* frame = new CSourceFrame(kind, -1);
  const int index = table_.Open(kind, frame);
  if (index < 0) {
    delete frame;
    return nullptr;
  }
  const int id = table_.At(index).id;
  frame->setProperty("id", id);
  const QString plain = KindTitle(kind);
  frame->setWindowTitle(QString::fromStdString(WindowTable::Title(kind, id, plain.toStdString())));

  QWidget* form = nullptr;
  if (kind == kKindProgram) {
    form = new CViewProgramForm(format_, bufferName_);
  } else if (kind == kKindSceneManager) {
    form = new CViewSceneManager(engine_);
  } else if (kind == kKindOverlay || kind == kKindBackground) {
    form = new CViewOverlayForm(kind == kKindBackground);
  } else if (kind == kKindSlideShow && id < SourceSlotCount) {
    form = new CViewSlideshowForm(id);
  } else if (kind == kKindDesktop && id < SourceSlotCount) {
    form = new CViewDesktopForm(id);
  } else {
    form = NotAvailableForm(plain);
    form->setProperty("sourceId", id);
  }
  frame->setWidget(form);
  area_->addSubWindow(frame);
  connect(frame, &QObject::destroyed, this, &CMainFrame::OnWindowDestroyed);
  frame->setGeometry(100, 100, 212, 225);
  // Each form brings its own size; a window is never smaller than the
  // default child window.
  frame->adjustSize();
  frame->resize(std::max(frame->width(), 212), std::max(frame->height(), 225));
  if (kind != kKindProgram) frame->setFixedSize(frame->size());  // only the program view resizes
  if (KindInfo(kind).single) viewActions_[static_cast<std::size_t>(kind)]->setEnabled(false);
  frame->show();
  if (kind == kKindSceneManager) {
    // Centred in the client area.
    frame->move(std::max(0, (area_->width() - frame->width()) / 2),
                std::max(0, (area_->height() - frame->height()) / 2));
  }
  return frame;
}

void CMainFrame::OnWindowDestroyed(QObject* frame) {
  const int index = table_.IndexOfFrame(frame);
  if (index < 0) return;
  const int kind = table_.At(index).kind;
  const int id = table_.Close(index);
  if (KindInfo(kind).single && viewActions_[static_cast<std::size_t>(kind)]) {
    viewActions_[static_cast<std::size_t>(kind)]->setEnabled(true);
  }
  // Zones showing the closed source turn black.
  if (id >= 0 && id < SourceSlotCount) ReleaseSlot(id);
}

QMdiSubWindow* CMainFrame::FindWindow(int kind) const {
  const int index = table_.Find(kind);
  return index < 0 ? nullptr : static_cast<QMdiSubWindow*>(table_.At(index).frame);
}

CViewSceneManager* CMainFrame::SceneManager() const {
  QMdiSubWindow* frame = FindWindow(kKindSceneManager);
  return frame ? qobject_cast<CViewSceneManager*>(frame->widget()) : nullptr;
}

CViewProgramForm* CMainFrame::ProgramView() const {
  QMdiSubWindow* frame = FindWindow(kKindProgram);
  return frame ? qobject_cast<CViewProgramForm*>(frame->widget()) : nullptr;
}

void CMainFrame::CloseAllWindows() {
  if (QMdiSubWindow* program = FindWindow(kKindProgram)) delete program;
  for (int i = 0; i < kWindowTableSize; ++i) {
    const WindowTable::Entry& entry = table_.At(i);
    if (entry.inUse) delete static_cast<QMdiSubWindow*>(entry.frame);
  }
}

void CMainFrame::Arrange() {
  const int limit = width();
  int x = 0, y = 0, rowHeight = 0;
  auto place = [&](QMdiSubWindow* frame) {
    if (x > 0 && x + frame->width() > limit) {
      x = 0;
      y += rowHeight;
      rowHeight = 0;
    }
    frame->move(x, y);
    x += frame->width();
    rowHeight = std::max(rowHeight, frame->height());
  };
  if (QMdiSubWindow* program = FindWindow(kKindProgram)) place(program);
  for (int i = 0; i < kWindowTableSize; ++i) {
    const WindowTable::Entry& entry = table_.At(i);
    if (entry.inUse && entry.kind != kKindProgram) place(static_cast<QMdiSubWindow*>(entry.frame));
  }
}

void CMainFrame::OnSceneHotKey(int index) {
  if (CViewSceneManager* manager = SceneManager()) {
    manager->QuickSwitch(index);
    return;
  }
  OpenWindow(kKindSceneManager);
  QPointer<CMainFrame> self(this);
  QTimer::singleShot(500, this, [self, index] {
    if (!self) return;
    if (CViewSceneManager* manager = self->SceneManager()) manager->QuickSwitch(index);
  });
}

void CMainFrame::OpenProjectDialog() {
  const QString path = QFileDialog::getOpenFileName(this, "Open", QString(), "Corvalind Files (*.cvd);;All Files (*)");
  if (path.isEmpty()) return;
  CloseAllWindows();
  LoadProject(path);
}

void CMainFrame::SaveProjectDialog() {
  QFileDialog dialog(this, "Save", QString(), "Corvalind Files (*.cvd)");
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix("cvd");
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  SaveProject(dialog.selectedFiles().first());
}

bool CMainFrame::SaveProject(const QString& path) {
  ProjectDocument document;
  document.config = CurrentPictureConfig();
  for (int i = 0; i < kWindowTableSize; ++i) {
    const WindowTable::Entry& entry = table_.At(i);
    if (!entry.inUse) continue;
    auto* frame = static_cast<QMdiSubWindow*>(entry.frame);
    ProjectWindow window;
    window.type = entry.kind;
    const QRect normal = frame->isMaximized() || frame->isMinimized() ? frame->normalGeometry() : frame->geometry();
    window.posX = normal.x();
    window.posY = normal.y();
    QWidget* form = frame->widget();
    if (auto* slides = qobject_cast<CViewSlideshowForm*>(form)) {
      window.Set("DATA", slides->Folder().toStdString());
      window.Set("PARAM1", slides->Seconds());
    } else if (auto* desktop = qobject_cast<CViewDesktopForm*>(form)) {
      window.Set("DATA", desktop->Mode());
      window.Set("T", desktop->AreaTop());
      window.Set("L", desktop->AreaLeft());
      window.Set("R", desktop->AreaRight());
      window.Set("B", desktop->AreaBottom());
      window.Set("M", desktop->ShowMouse() ? 1 : 0);
    } else if (auto* image = qobject_cast<CViewOverlayForm*>(form)) {
      window.Set("DATA", image->ImagePath().toStdString());
    } else if (entry.kind == kKindProgram) {
      window.Set("WIDTH", normal.width());
      window.Set("HEIGHT", normal.height());
    } else if (auto* manager = qobject_cast<CViewSceneManager*>(form)) {
      window.Set("DATA", manager->LastScene());
      window.Set("PARAM1", manager->LastTransition());
    }
    document.windows.push_back(std::move(window));
  }
  return WriteProjectFile(path.toStdString(), document);
}

namespace {

// Opens a project's windows one after another on the UI thread's timers.
class ProjectLoader : public QObject {
 public:
  ProjectLoader(CMainFrame* frame, ProjectDocument document, int windowDelayMs, int managerDelayMs)
      : QObject(frame), frame_(frame), document_(std::move(document)),
        windowDelayMs_(windowDelayMs), managerDelayMs_(managerDelayMs) {}

  // Opens the next window (skipping those that cannot open) and schedules
  // the one after; false when no window was left.
  void Step() {
    while (next_ < document_.windows.size()) {
      const ProjectWindow& w = document_.windows[next_++];
      if (w.type == kKindSceneManager) {
        wantManager_ = true;
        scene_ = w.Number("DATA", 0);
        transition_ = w.Number("PARAM1", 0);
        continue;
      }
      QMdiSubWindow* window = w.type >= 0 && w.type < kWindowKindCount ? frame_->OpenWindow(w.type) : nullptr;
      if (!window) continue;  // never applied to another window
      Restore(window, w);
      QTimer::singleShot(windowDelayMs_, this, [this] { Step(); });
      return;
    }
    if (wantManager_) {
      QTimer::singleShot(managerDelayMs_, this, [this] { OpenManager(); });
    } else {
      Finish();
    }
  }

 private:
  void Restore(QMdiSubWindow* window, const ProjectWindow& w) {
    window->move(w.posX, w.posY);
    QWidget* form = window->widget();
    const OutputFormat& format = GlobalOutputFormat();
    if (auto* slides = qobject_cast<CViewSlideshowForm*>(form)) {
      if (auto folder = w.Text("DATA"); folder && !folder->empty()) {
        slides->StartSlideshow(QString::fromStdString(*folder), w.Number("PARAM1", 5));
      }
    } else if (auto* desktop = qobject_cast<CViewDesktopForm*>(form)) {
      desktop->Restore(w.Number("DATA", 0), w.Number("L", 0), w.Number("T", 0),
                       w.Number("R", format.outputWidth), w.Number("B", format.outputHeight),
                       w.Number("M", 1) != 0);
    } else if (auto* image = qobject_cast<CViewOverlayForm*>(form)) {
      if (auto path = w.Text("DATA"); path && !path->empty()) image->SetImageLayer(QString::fromStdString(*path));
    } else if (w.type == kKindProgram) {
      window->resize(w.Number("WIDTH", format.outputWidth), w.Number("HEIGHT", format.outputHeight));
    }
  }

  void OpenManager() {
    frame_->OpenWindow(kKindSceneManager);
    if (CViewSceneManager* manager = frame_->SceneManager()) {
      if (transition_ >= 0 && transition_ < manager->EffectList()->count()) {
        manager->EffectList()->setCurrentIndex(transition_);
      }
      if (scene_ >= 0 && scene_ < manager->SceneList()->count()) {
        manager->SceneList()->setCurrentIndex(scene_);
      }
      manager->Switch();
    }
    Finish();
  }

  void Finish();

  CMainFrame* frame_;
  ProjectDocument document_;
  int windowDelayMs_;
  int managerDelayMs_;
  std::size_t next_ = 0;
  bool wantManager_ = false;
  int scene_ = 0;
  int transition_ = 0;
};

}  // namespace

bool CMainFrame::LoadProject(const QString& path, int windowDelayMs, int managerDelayMs) {
  ProjectDocument document;
  if (!ReadProjectFile(path.toStdString(), &document)) return false;
  ApplyPictureConfig(document.config);
  loading_ = true;
  auto* loader = new ProjectLoader(this, std::move(document), windowDelayMs, managerDelayMs);
  loader->Step();
  return true;
}

void CMainFrame::ProjectLoadFinished() {
  loading_ = false;
  emit projectLoaded();
}

void ProjectLoader::Finish() {
  frame_->ProjectLoadFinished();
  deleteLater();
}

void CMainFrame::ShowAbout() {
  QMessageBox about(this);
  about.setWindowTitle("About");
  about.setIconPixmap(TileIcon("C", QColor(200, 60, 60)).pixmap(48, 48));
  about.setText(QString("<b>Corvalind</b><br>Version %1").arg(kVersion));
  about.setInformativeText("Live video production studio");
  about.exec();
}

}  // namespace corvalind

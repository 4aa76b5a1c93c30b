#include "studio/forms/snaptrace_form.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "engine/messages.h"
#include "hook/client/hook_context.h"
#include "studio/forms/preview_widget.h"
#include "studio/ui_bridge.h"

namespace corvalind {

namespace {

// The edit's room and the saved name's (which the project file keeps).
constexpr int kTargetEditLimit = 99;
constexpr std::size_t kSavedTargetLimit = 1023;

constexpr const char* kExecutableFilter = "Executable Files (*)";
constexpr const char* kAllFilesFilter = "All Files (*)";

std::string Limited(const QString& text) { return text.toStdString().substr(0, kSavedTargetLimit); }

}  // namespace

CViewSnaptraceForm::CViewSnaptraceForm(int sourceId, QWidget* parent, std::string libraryFolder,
                                       std::string fallbackFolder)
    : QWidget(parent),
      sourceId_(sourceId),
      libraryFolder_(libraryFolder.empty() ? LibraryFolderBesideProgram() : std::move(libraryFolder)),
      fallbackFolder_(fallbackFolder.empty() ? InstalledLibraryFolder() : std::move(fallbackFolder)) {
  setObjectName("CViewSnaptraceForm");
  setWindowTitle("DirectX/OpenGL Hook");
  BuildUi();
}

CViewSnaptraceForm::~CViewSnaptraceForm() {
  // The hook thread draws into the preview: it ends before the widget goes.
  if (context_) context_->Stop();
  context_.reset();
}

void CViewSnaptraceForm::BuildUi() {
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(8, 8, 8, 8);
  preview_ = MakeFormPreview(this);
  preview_->setObjectName("1002");
  outer->addWidget(preview_, 0, Qt::AlignHCenter);

  auto* row = new QHBoxLayout;
  targetEdit_ = new QLineEdit(this);
  targetEdit_->setObjectName("1013");
  targetEdit_->setMaxLength(kTargetEditLimit);
  targetEdit_->setPlaceholderText("game executable, e.g. glxgears");
  browseButton_ = new QPushButton("Browse", this);
  browseButton_->setObjectName("1009");
  runButton_ = new QPushButton("Run", this);
  runButton_->setObjectName("1010");
  row->addWidget(targetEdit_, 1);
  row->addWidget(browseButton_);
  row->addWidget(runButton_);
  outer->addLayout(row);

  statusLabel_ = new QLabel(kHookReadyText, this);
  statusLabel_->setObjectName("1045");
  statusLabel_->setWordWrap(true);
  outer->addWidget(statusLabel_);
  outer->addStretch(1);

  connect(browseButton_, &QPushButton::clicked, this, &CViewSnaptraceForm::Browse);
  connect(runButton_, &QPushButton::clicked, this, &CViewSnaptraceForm::ToggleHook);
}

void CViewSnaptraceForm::Browse() {
  QFileDialog dialog(this, "Open");
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilters({kExecutableFilter, kAllFilesFilter});
  // Executables have no name pattern here: the first filter lists the
  // files that may be run.
  const auto applyFilter = [&dialog](const QString& filter) {
    dialog.setFilter(filter == kExecutableFilter ? QDir::AllDirs | QDir::Files | QDir::Executable
                                                 : QDir::AllDirs | QDir::Files);
  };
  applyFilter(kExecutableFilter);
  connect(&dialog, &QFileDialog::filterSelected, &dialog, applyFilter);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  // The hook matches the executable's file name, never a folder.
  const QString name = QFileInfo(dialog.selectedFiles().first()).fileName();
  targetEdit_->setText(name.left(kTargetEditLimit));
  savedTarget_ = Limited(name);
}

void CViewSnaptraceForm::ToggleHook() {
  if (context_) {
    Stop();
  } else {
    Run();
  }
}

void CViewSnaptraceForm::Run() {
  const QString name = targetEdit_->text().left(kTargetEditLimit).trimmed();
  if (name.isEmpty()) {
    ShowStudioMessage(kSelectApplicationText);
    return;
  }
  // A typed name is what runs, so it is also what the project keeps.
  savedTarget_ = Limited(name);
  if (context_) Stop();
  context_ = std::make_unique<HookContext>(static_cast<uint8_t>(sourceId_), name.toStdString(), libraryFolder_,
                                          fallbackFolder_);
  context_->SetPreviewWindow(preview_);
  context_->Start();
  runButton_->setText("Stop");
  targetEdit_->setEnabled(false);
  browseButton_->setEnabled(false);
  statusLabel_->setText(kHookRunningText);
}

void CViewSnaptraceForm::Stop() {
  if (context_) context_->Stop();
  context_.reset();
  runButton_->setText("Run");
  targetEdit_->setEnabled(true);
  browseButton_->setEnabled(true);
  statusLabel_->setText(kHookIdleText);
}

void CViewSnaptraceForm::RestoreHookTarget(const QString& name, bool run) {
  if (name.size() < 2) return;
  targetEdit_->setText(name.left(kTargetEditLimit));
  savedTarget_ = Limited(name);
  if (run) {
    if (context_) Stop();
    Run();
  }
}

void CViewSnaptraceForm::SaveProjectElements(ProjectWindow& window) const { window.Set("DATA", savedTarget_); }

void CViewSnaptraceForm::RestoreProjectElements(const ProjectWindow& window) {
  RestoreHookTarget(QString::fromStdString(window.Text("DATA").value_or(std::string())), true);
}

}  // namespace corvalind

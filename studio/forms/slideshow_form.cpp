#include "studio/forms/slideshow_form.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>

#include "engine/output_format.h"
#include "platform/freeimage/freeimage_reader.h"
#include "platform/decimal.h"
#include "studio/forms/preview_widget.h"

namespace corvalind {

namespace {

constexpr int kMaxFolderChars = 1023;

}  // namespace

int ParseLeadingInt(const QString& text) { return ParseDecimal(text.left(100).toStdString()); }

CViewSlideshowForm::CViewSlideshowForm(int sourceId, QWidget* parent, PictureReader* reader)
    : QWidget(parent), sourceId_(sourceId), reader_(reader ? *reader : DefaultPictureReader()) {
  setObjectName("CViewSlideshowForm");
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(8, 8, 8, 8);
  preview_ = MakeFormPreview(this);
  outer->addWidget(preview_);

  auto* secondsRow = new QHBoxLayout;
  secondsEdit_ = new QLineEdit("5", this);
  secondsEdit_->setObjectName("1006");
  secondsEdit_->setMaxLength(100);
  secondsEdit_->setFixedWidth(60);
  secondsRow->addWidget(secondsEdit_);
  secondsRow->addWidget(new QLabel("second(s)", this));
  secondsRow->addStretch(1);
  outer->addLayout(secondsRow);

  auto* buttons = new QHBoxLayout;
  auto* browse = new QPushButton("Browse Folder", this);
  browse->setObjectName("1009");
  auto* prev = new QPushButton("<< Prev", this);
  prev->setObjectName("1011");
  auto* next = new QPushButton("Next >>", this);
  next->setObjectName("1010");
  buttons->addWidget(browse);
  buttons->addWidget(prev);
  buttons->addWidget(next);
  outer->addLayout(buttons);
  outer->addStretch(1);

  connect(browse, &QPushButton::clicked, this, &CViewSlideshowForm::BrowseFolder);
  connect(next, &QPushButton::clicked, this, &CViewSlideshowForm::Next);
  connect(prev, &QPushButton::clicked, this, &CViewSlideshowForm::Prev);
  connect(secondsEdit_, &QLineEdit::textChanged, this, &CViewSlideshowForm::SecondsChanged);
}

CViewSlideshowForm::~CViewSlideshowForm() { source_.reset(); }

void CViewSlideshowForm::SecondsChanged(const QString& text) {
  if (!source_) return;
  const int seconds = std::max(0, ParseLeadingInt(text));
  source_->SetIntervalSeconds(seconds);
  seconds_ = seconds;
}

void CViewSlideshowForm::BrowseFolder() {
  const QString folder = QFileDialog::getExistingDirectory(this, "Browse Folder", folder_,
                                                           QFileDialog::ShowDirsOnly);
  if (!folder.isEmpty()) StartSlideshow(folder, ParseLeadingInt(secondsEdit_->text()));
}

void CViewSlideshowForm::StartSlideshow(const QString& folder, int seconds) {
  source_.reset();
  seconds = std::max(0, seconds);
  seconds_ = seconds;
  {
    const QSignalBlocker blocker(secondsEdit_);
    secondsEdit_->setText(QString::number(seconds));
  }
  // Numbers outside the slot table go to slot 255, which takes nothing.
  const auto slot = static_cast<uint8_t>(sourceId_ >= 0 && sourceId_ < SourceSlotCount ? sourceId_ : 255);
  const OutputFormat& format = GlobalOutputFormat();
  source_ = std::make_unique<SlideshowSource>(slot, reader_, &DeliverFrame, format.outputWidth,
                                              format.outputHeight);
  source_->SetPreview(preview_);
  source_->ScanFolder(folder.toStdString(), seconds);
  source_->Start();
  folder_ = folder.left(kMaxFolderChars);
}

void CViewSlideshowForm::Next() {
  if (source_) source_->RequestNext();
}

void CViewSlideshowForm::Prev() {
  if (source_) source_->RequestPrev();
}

void CViewSlideshowForm::SaveProjectElements(ProjectWindow& window) const {
  window.Set("DATA", Folder().toStdString());
  window.Set("PARAM1", Seconds());
}

void CViewSlideshowForm::RestoreProjectElements(const ProjectWindow& window) {
  if (auto folder = window.Text("DATA"); folder && !folder->empty()) {
    StartSlideshow(QString::fromStdString(*folder), window.Number("PARAM1", 5));
  }
}

}  // namespace corvalind

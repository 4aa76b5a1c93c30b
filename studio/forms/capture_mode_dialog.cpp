#include "studio/forms/capture_mode_dialog.h"

#include <QDialogButtonBox>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace corvalind {

int MatchingCapability(const std::vector<CaptureCapability>& capabilities, int width, int height,
                       int64_t frameDuration) {
  if (capabilities.empty()) return -1;
  int sameSize = -1;
  for (std::size_t i = 0; i < capabilities.size(); ++i) {
    const CaptureCapability& capability = capabilities[i];
    if (capability.maxWidth != width || capability.maxHeight != height) continue;
    if (frameDuration > 0 && capability.frameDuration == frameDuration) return static_cast<int>(i);
    if (sameSize < 0) sameSize = static_cast<int>(i);
  }
  return sameSize >= 0 ? sameSize : 0;
}

CaptureModeDialog::CaptureModeDialog(std::vector<CaptureCapability> capabilities, int width, int height,
                                     int64_t frameDuration, QWidget* parent)
    : QDialog(parent), capabilities_(std::move(capabilities)) {
  setObjectName("CaptureModeDialog");
  setWindowTitle("Video Output");
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  list_ = new QListWidget(this);
  list_->setObjectName("CaptureModeList");
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  for (const CaptureCapability& capability : capabilities_) {
    list_->addItem(QString::fromStdString(capability.Describe()));
  }
  list_->setCurrentRow(MatchingCapability(capabilities_, width, height, frameDuration));
  list_->setMinimumWidth(list_->sizeHintForColumn(0) + 40);
  layout->addWidget(list_);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setObjectName("IDOK");
  buttons->button(QDialogButtonBox::Cancel)->setObjectName("IDCANCEL");
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(list_, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
  layout->addWidget(buttons);
}

int CaptureModeDialog::ChosenIndex() const {
  const int row = list_->currentRow();
  return row >= 0 && row < static_cast<int>(capabilities_.size()) ? row : -1;
}

const CaptureCapability* CaptureModeDialog::Chosen() const {
  const int row = ChosenIndex();
  return row < 0 ? nullptr : &capabilities_[static_cast<std::size_t>(row)];
}

}  // namespace corvalind

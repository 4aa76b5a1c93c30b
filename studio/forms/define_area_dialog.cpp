#include "studio/forms/define_area_dialog.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace corvalind {

namespace {

// Area edges the dialog accepts: far beyond any desktop, small enough that
// differences cannot overflow.
constexpr int kAreaLimit = 1000000;

QLineEdit* AreaField(int value, const char* id, QWidget* parent) {
  auto* field = new QLineEdit(QString::asprintf("%d", value), parent);
  field->setObjectName(id);
  field->setValidator(new QIntValidator(-kAreaLimit, kAreaLimit, field));
  return field;
}

int ParseField(const QLineEdit* field) {
  bool ok = false;
  const int value = field->text().trimmed().toInt(&ok);
  return ok ? std::clamp(value, -kAreaLimit, kAreaLimit) : 0;
}

}  // namespace

DefineAreaDialog::DefineAreaDialog(const CaptureRect& area, QWidget* parent) : QDialog(parent) {
  setObjectName("DefineAreaDialog");
  setWindowTitle("Define Capture Area");
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  left_ = AreaField(area.left, "1068", this);
  top_ = AreaField(area.top, "1067", this);
  right_ = AreaField(area.right, "1069", this);
  bottom_ = AreaField(area.bottom, "1070", this);
  form->addRow("Left:", left_);
  form->addRow("Top:", top_);
  form->addRow("Right:", right_);
  form->addRow("Bottom:", bottom_);
  layout->addLayout(form);
  auto* buttons = new QHBoxLayout;
  auto* define = new QPushButton("Define", this);
  define->setObjectName("IDOK");
  define->setDefault(true);
  auto* cancel = new QPushButton("Cancel", this);
  cancel->setObjectName("IDCANCEL");
  buttons->addStretch();
  buttons->addWidget(define);
  buttons->addWidget(cancel);
  layout->addLayout(buttons);
  connect(define, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

CaptureRect DefineAreaDialog::Area() const {
  return {ParseField(left_), ParseField(top_), ParseField(right_), ParseField(bottom_)};
}

}  // namespace corvalind

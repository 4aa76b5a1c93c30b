#include "studio/forms/property_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>

namespace corvalind {

namespace {

using Type = MediaProperty::Type;

int ClampToInt(int64_t value) { return static_cast<int>(std::clamp<int64_t>(value, INT_MIN, INT_MAX)); }

// Writes `property`'s value into its editor; signals are blocked by the
// caller, so showing a value never applies it.
void ShowValue(QWidget* editor, const MediaProperty& property) {
  switch (property.type) {
    case Type::kBool:
      if (auto* box = qobject_cast<QCheckBox*>(editor)) box->setChecked(property.value != 0);
      break;
    case Type::kInt:
      if (auto* spin = qobject_cast<QSpinBox*>(editor)) spin->setValue(ClampToInt(property.value));
      break;
    case Type::kDouble:
      if (auto* spin = qobject_cast<QDoubleSpinBox*>(editor)) spin->setValue(property.doubleValue);
      break;
    case Type::kChoice:
      if (auto* combo = qobject_cast<QComboBox*>(editor)) {
        combo->setCurrentIndex(combo->findData(QVariant::fromValue<qlonglong>(property.value)));
      }
      break;
    case Type::kText:
      if (auto* line = qobject_cast<QLineEdit*>(editor)) line->setText(QString::fromStdString(property.text));
      break;
    case Type::kAction:
      break;
  }
}

}  // namespace

PropertyDialog::PropertyDialog(PropertyPage& page, QWidget* parent) : QDialog(parent), page_(page) {
  setObjectName("PropertyDialog");
  setWindowTitle(QString::fromStdString(page_.Caption()));
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  rows_ = new QFormLayout;
  layout->addLayout(rows_);
  properties_ = page_.Properties();
  for (const MediaProperty& property : properties_) AddRow(property);
  Refresh();

  // Every change is applied as it is made: both buttons only close.
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Close, this);
  buttons->button(QDialogButtonBox::Ok)->setObjectName("IDOK");
  buttons->button(QDialogButtonBox::Close)->setObjectName("IDCANCEL");
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

QWidget* PropertyDialog::Editor(const std::string& name) const {
  const auto it = editors_.find(name);
  return it == editors_.end() ? nullptr : it->second;
}

const MediaProperty* PropertyDialog::Known(const std::string& name) const {
  for (const MediaProperty& property : properties_) {
    if (property.name == name) return &property;
  }
  return nullptr;
}

void PropertyDialog::AddRow(const MediaProperty& property) {
  if (editors_.count(property.name) != 0) return;  // one editor per key
  const QString label = QString::fromStdString(property.label.empty() ? property.name : property.label);
  const std::string name = property.name;
  // Each editor sends a copy of the page's last known entry with the new
  // value filled in, so the page gets the type and limits it gave.
  auto edited = [this, name]() -> MediaProperty {
    const MediaProperty* known = Known(name);
    return known ? *known : MediaProperty{};
  };
  QWidget* editor = nullptr;
  switch (property.type) {
    case Type::kBool: {
      auto* box = new QCheckBox(this);
      connect(box, &QCheckBox::toggled, this, [this, edited](bool on) {
        MediaProperty changed = edited();
        changed.value = on ? 1 : 0;
        Apply(changed);
      });
      editor = box;
      break;
    }
    case Type::kInt: {
      auto* spin = new QSpinBox(this);
      spin->setRange(ClampToInt(property.minimum), ClampToInt(std::max(property.minimum, property.maximum)));
      spin->setSingleStep(std::max(1, ClampToInt(property.step)));
      spin->setKeyboardTracking(false);  // typed digits apply once, not per key
      connect(spin, qOverload<int>(&QSpinBox::valueChanged), this, [this, edited](int value) {
        MediaProperty changed = edited();
        changed.value = value;
        Apply(changed);
      });
      editor = spin;
      break;
    }
    case Type::kDouble: {
      auto* spin = new QDoubleSpinBox(this);
      spin->setDecimals(3);
      spin->setRange(property.doubleMinimum, std::max(property.doubleMinimum, property.doubleMaximum));
      spin->setSingleStep(std::max(0.001, (property.doubleMaximum - property.doubleMinimum) / 100.0));
      spin->setKeyboardTracking(false);
      connect(spin, qOverload<double>(&QDoubleSpinBox::valueChanged), this, [this, edited](double value) {
        MediaProperty changed = edited();
        changed.doubleValue = value;
        Apply(changed);
      });
      editor = spin;
      break;
    }
    case Type::kChoice: {
      auto* combo = new QComboBox(this);
      for (const auto& [value, text] : property.choices) {
        combo->addItem(QString::fromStdString(text), QVariant::fromValue<qlonglong>(value));
      }
      connect(combo, qOverload<int>(&QComboBox::currentIndexChanged), this, [this, edited, combo](int index) {
        if (index < 0) return;
        MediaProperty changed = edited();
        changed.value = combo->itemData(index).toLongLong();
        Apply(changed);
      });
      editor = combo;
      break;
    }
    case Type::kText: {
      auto* line = new QLineEdit(this);
      // Applied when the user is done with the field (Return or leaving
      // it), and only when it says something new.
      connect(line, &QLineEdit::editingFinished, this, [this, edited, line] {
        MediaProperty changed = edited();
        const std::string text = line->text().toStdString();
        if (text == changed.text) return;
        changed.text = text;
        Apply(changed);
      });
      editor = line;
      break;
    }
    case Type::kAction: {
      auto* button = new QPushButton(label, this);
      connect(button, &QPushButton::clicked, this, [this, edited] { Apply(edited()); });
      editor = button;
      break;
    }
  }
  editor->setObjectName(QString::fromStdString(property.name));
  editors_[property.name] = editor;
  if (property.type == Type::kAction) {
    rows_->addRow(QString(), editor);
  } else {
    rows_->addRow(label + ":", editor);
  }
}

void PropertyDialog::Apply(const MediaProperty& property) {
  page_.Set(property);
  // Refused or not, the editors show what the page holds now (a refused
  // value goes back, and a change may move other properties too).
  Refresh();
}

void PropertyDialog::Refresh() {
  std::vector<MediaProperty> current = page_.Properties();
  for (const MediaProperty& property : current) {
    QWidget* editor = Editor(property.name);
    if (editor == nullptr) continue;
    const QSignalBlocker blocker(editor);
    ShowValue(editor, property);
  }
  // Properties the page no longer lists keep their last known entry.
  for (const MediaProperty& old : properties_) {
    const bool listed = std::any_of(current.begin(), current.end(),
                                    [&](const MediaProperty& p) { return p.name == old.name; });
    if (!listed) current.push_back(old);
  }
  properties_ = std::move(current);
}

bool PropertyDialog::ShowFor(PropertyPage* page, QWidget* parent) {
  if (page == nullptr || page->Properties().empty()) return false;
  PropertyDialog dialog(*page, parent);
  dialog.exec();
  return true;
}

}  // namespace corvalind

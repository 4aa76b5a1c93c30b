#include "studio/forms/scene_editor_dialog.h"

#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <iterator>
#include <utility>

#include "studio/forms/zone_editor_dialog.h"

namespace corvalind {

namespace {

struct Column {
  const char* title;
  int widthPx;
};

constexpr Column kColumns[] = {
    {"Source", 50},   {"Position", 80}, {"Width(%)", 65},   {"Height(%)", 65}, {"Pos X(%)", 60},
    {"Pos Y(%)", 60}, {"Alpha", 50},    {"Chroma Key", 80}, {"Ratio", 60},
};

const char* const kPlacementTexts[kZonePlacementCount] = {
    "fullscreen", "fullscreen(full)", "center",       "top left",
    "top right",  "bottom left",      "bottom right", "free",
};

EditorMessageHandler& MessageHandler() {
  static EditorMessageHandler handler;
  return handler;
}

QString FormatPercent(float value) {
  return QString::asprintf("%.1f", static_cast<double>(value));
}

// Cell texts of one zone's row, in column order.
QStringList SceneZoneRowTexts(const VideoZone& zone) {
  const bool placementValid = zone.placement >= 0 && zone.placement < kZonePlacementCount;
  return {
      // 64-bit so that no stored value can overflow the + 1.
      QStringLiteral("id:%1").arg(static_cast<qlonglong>(zone.sourceId) + 1),
      placementValid ? QString::fromLatin1(kPlacementTexts[zone.placement]) : QString(),
      FormatPercent(zone.widthFrac),
      FormatPercent(zone.heightFrac),
      FormatPercent(zone.posXFrac),
      FormatPercent(zone.posYFrac),
      QString::number(zone.alpha),
      zone.chroma ? QStringLiteral("on") : QStringLiteral("off"),
      zone.keepAspect ? QStringLiteral("keep") : QStringLiteral("stretch"),
  };
}

}  // namespace

void ShowEditorMessage(QWidget* parent, const QString& text) {
  if (const EditorMessageHandler& handler = MessageHandler()) {
    handler(parent, text);
    return;
  }
  QMessageBox box(QMessageBox::NoIcon, QString(), text, QMessageBox::Ok, parent);
  box.exec();
}

EditorMessageHandler SetEditorMessageHandler(EditorMessageHandler handler) {
  return std::exchange(MessageHandler(), std::move(handler));
}

CScreneEditorDlg::CScreneEditorDlg(std::vector<VideoZone> zones, QString name, QWidget* parent)
    : QDialog(parent), zones_(std::move(zones)), name_(std::move(name)) {
  setWindowTitle(QStringLiteral("Scene Editor"));

  nameEdit_ = new QLineEdit(name_, this);
  nameEdit_->setObjectName(QStringLiteral("1018"));
  auto* nameLabel = new QLabel(QStringLiteral("Scene Name:"), this);
  nameLabel->setBuddy(nameEdit_);

  table_ = new QTreeWidget(this);
  table_->setObjectName(QStringLiteral("1022"));
  table_->setRootIsDecorated(false);
  table_->setItemsExpandable(false);
  table_->setUniformRowHeights(true);
  table_->setAllColumnsShowFocus(true);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setColumnCount(static_cast<int>(std::size(kColumns)));
  QStringList titles;
  for (const Column& column : kColumns) titles << QString::fromLatin1(column.title);
  table_->setHeaderLabels(titles);
  table_->header()->setDefaultAlignment(Qt::AlignCenter);
  table_->header()->setStretchLastSection(false);
  table_->header()->setSectionsMovable(false);
  int tableWidthPx = 0;
  for (int i = 0; i < static_cast<int>(std::size(kColumns)); ++i) {
    table_->setColumnWidth(i, kColumns[i].widthPx);
    tableWidthPx += kColumns[i].widthPx;
  }
  table_->setMinimumWidth(tableWidthPx + 2 * table_->frameWidth() + 4);

  auto* newButton = new QPushButton(QStringLiteral("New"), this);
  newButton->setObjectName(QStringLiteral("1023"));
  auto* editButton = new QPushButton(QStringLiteral("Edit"), this);
  editButton->setObjectName(QStringLiteral("1024"));
  auto* deleteButton = new QPushButton(QStringLiteral("Delete"), this);
  deleteButton->setObjectName(QStringLiteral("1025"));
  for (QPushButton* button : {newButton, editButton, deleteButton}) button->setAutoDefault(false);
  connect(newButton, &QPushButton::clicked, this, [this] { newZone(); });
  connect(editButton, &QPushButton::clicked, this, [this] { editZone(); });
  connect(deleteButton, &QPushButton::clicked, this, [this] { deleteZone(); });
  connect(table_, &QTreeWidget::itemDoubleClicked, this, [this] { editZone(); });

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("1"));
  ok->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  cancel->setObjectName(QStringLiteral("2"));
  auto* buttons = new QDialogButtonBox(this);
  buttons->addButton(ok, QDialogButtonBox::AcceptRole);
  buttons->addButton(cancel, QDialogButtonBox::RejectRole);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* nameRow = new QHBoxLayout;
  nameRow->setSpacing(8);
  nameRow->addWidget(nameLabel);
  nameRow->addWidget(nameEdit_, 1);

  auto* zoneButtons = new QVBoxLayout;
  zoneButtons->setSpacing(6);
  zoneButtons->addWidget(newButton);
  zoneButtons->addWidget(editButton);
  zoneButtons->addWidget(deleteButton);
  zoneButtons->addStretch(1);

  auto* group = new QGroupBox(QStringLiteral("Video Zones"), this);
  auto* groupLayout = new QHBoxLayout(group);
  groupLayout->setSpacing(10);
  groupLayout->addWidget(table_, 1);
  groupLayout->addLayout(zoneButtons);

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(14, 12, 14, 12);
  outer->setSpacing(10);
  outer->addLayout(nameRow);
  outer->addWidget(group, 1);
  outer->addWidget(buttons);

  for (int row = 0; row < static_cast<int>(zones_.size()); ++row) setRow(row, zones_[static_cast<std::size_t>(row)]);
}

void CScreneEditorDlg::setRow(int row, const VideoZone& zone) {
  QTreeWidgetItem* item = table_->topLevelItem(row);
  if (item == nullptr) {
    item = new QTreeWidgetItem;
    table_->insertTopLevelItem(row, item);
  }
  const QStringList texts = SceneZoneRowTexts(zone);
  for (int column = 0; column < static_cast<int>(texts.size()); ++column) {
    item->setText(column, texts[column]);
    item->setTextAlignment(column, Qt::AlignCenter);
  }
}

int CScreneEditorDlg::selectedRow() const {
  const QList<QTreeWidgetItem*> selected = table_->selectedItems();
  return selected.isEmpty() ? -1 : table_->indexOfTopLevelItem(selected.front());
}

void CScreneEditorDlg::newZone() {
  VideoZone zone;
  zone.placement = VIDPOS_FULLSCREEN;
  zone.sourceId = 0;
  zone.alpha = 0;
  zone.widthFrac = 100.0f;
  zone.heightFrac = 100.0f;
  zone.posXFrac = 0.0f;
  zone.posYFrac = 0.0f;
  zone.chroma = false;
  zone.keepAspect = true;
  CZoneEditorDlg editor(zone, this);
  if (editor.exec() != QDialog::Accepted) return;
  zones_.push_back(zone);
  setRow(static_cast<int>(zones_.size()) - 1, zone);
}

void CScreneEditorDlg::editZone() {
  const int row = selectedRow();
  if (row < 0) return;
  VideoZone& zone = zones_[static_cast<std::size_t>(row)];
  CZoneEditorDlg editor(zone, this);
  if (editor.exec() != QDialog::Accepted) return;
  setRow(row, zone);
}

void CScreneEditorDlg::deleteZone() {
  const int row = selectedRow();
  if (row < 0) return;
  delete table_->takeTopLevelItem(row);
  zones_.erase(zones_.begin() + row);
  if (QTreeWidgetItem* first = table_->topLevelItem(0)) {
    table_->setCurrentItem(first);
    first->setSelected(true);
  }
}

void CScreneEditorDlg::accept() {
  if (nameEdit_->text().isEmpty()) {
    ShowEditorMessage(this, QStringLiteral("Please, enter valid scene name!"));
    nameEdit_->setFocus(Qt::OtherFocusReason);
    return;
  }
  if (table_->topLevelItemCount() == 0) {
    ShowEditorMessage(this, QStringLiteral("Please, add some video zones!"));
    return;
  }
  name_ = QString::fromStdString(LimitSceneName(nameEdit_->text().toStdString()));
  QDialog::accept();
}

}  // namespace corvalind

#include "studio/forms/zone_editor_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <algorithm>
#include <cmath>
#include <cwchar>
#include <locale.h>
#include <string>

#include "platform/decimal.h"

namespace corvalind {

namespace {

constexpr int kPercentReadChars = 100;

const char* const kPositionTexts[kZonePlacementCount] = {
    "Fullscreen", "Fullscreen(full)", "Center",       "Top Left",
    "Top Right",  "Bottom Left",      "Bottom Right", "Free",
};

// Percentages are stored with a decimal point whatever the user's locale
// is (QApplication sets the process locale from the environment), so the
// number is read in the C locale.
locale_t CLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

float ClampPercent(double value) {
  if (std::isnan(value)) return 0.0f;  // "nan" is no number a zone can use
  if (value > 100.0) return 100.0f;
  if (value < static_cast<double>(kMinZonePercent)) return kMinZonePercent;
  return static_cast<float>(value);
}

// The leading number of the first 100 characters, as the C library reads
// it (leading blanks, sign, exponent, hexadecimal); 0 when there is none.
double ReadPercent(const QString& text) {
  const std::wstring wide = text.left(kPercentReadChars).toStdWString();
  const locale_t locale = CLocale();
  if (locale == static_cast<locale_t>(nullptr)) return 0.0;
  return wcstod_l(wide.c_str(), nullptr, locale);
}

// The leading whole number (leading blanks and a sign allowed), saturated
// to 0..255: a negative entry means "opaque" rather than the nearly
// transparent low byte it would wrap to.
uint8_t ReadAlpha(const QString& text) {
  return static_cast<uint8_t>(std::clamp(ParseDecimal(text.toStdString()), 0, 255));
}

QString FormatPercent(float value) {
  return QString::asprintf("%.1f", static_cast<double>(value));
}

}  // namespace

CZoneEditorDlg::CZoneEditorDlg(VideoZone& zone, QWidget* parent) : QDialog(parent), zone_(zone) {
  setWindowTitle(QStringLiteral("Video Zone Editor"));

  source_ = new QComboBox(this);
  source_->setObjectName(QStringLiteral("1024"));
  for (int i = 1; i <= kZoneSourceCount; ++i) source_->addItem(QStringLiteral("id:%1").arg(i));

  position_ = new QComboBox(this);
  position_->setObjectName(QStringLiteral("1025"));
  for (const char* text : kPositionTexts) position_->addItem(QString::fromLatin1(text));

  // Wide enough for "-100.0" with the frame's margins.
  const int numberWidthPx = fontMetrics().horizontalAdvance(QStringLiteral("-100.00")) + 14;
  static const char* const kPercentIds[4] = {"1026", "1027", "1028", "1029"};
  static const char* const kPercentLabels[4] = {"W(%)", "H(%)", "X(%)", "Y(%)"};
  for (int i = 0; i < 4; ++i) {
    percent_[i] = new QLineEdit(this);
    percent_[i]->setObjectName(QString::fromLatin1(kPercentIds[i]));
    percent_[i]->setAlignment(Qt::AlignRight);
    percent_[i]->setFixedWidth(numberWidthPx);
  }

  alpha_ = new QLineEdit(this);
  alpha_->setObjectName(QStringLiteral("1030"));
  alpha_->setAlignment(Qt::AlignRight);
  alpha_->setFixedWidth(numberWidthPx);
  alpha_->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), alpha_));

  useKey_ = new QCheckBox(QStringLiteral("use key"), this);
  useKey_->setObjectName(QStringLiteral("1068"));
  keep_ = new QCheckBox(QStringLiteral("keep"), this);
  keep_->setObjectName(QStringLiteral("1069"));

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("1"));
  ok->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  cancel->setObjectName(QStringLiteral("2"));
  auto* buttons = new QDialogButtonBox(Qt::Vertical, this);
  buttons->addButton(ok, QDialogButtonBox::AcceptRole);
  buttons->addButton(cancel, QDialogButtonBox::RejectRole);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  // One row of fields under their labels, the buttons at the right.
  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(10);
  grid->setVerticalSpacing(4);
  const auto addField = [&](int column, const QString& label, QWidget* field) {
    auto* caption = new QLabel(label, this);
    caption->setBuddy(field);
    grid->addWidget(caption, 0, column);
    grid->addWidget(field, 1, column);
  };
  addField(0, QStringLiteral("Source ID"), source_);
  addField(1, QStringLiteral("Position"), position_);
  for (int i = 0; i < 4; ++i) addField(2 + i, QString::fromLatin1(kPercentLabels[i]), percent_[i]);
  addField(6, QStringLiteral("Alpha"), alpha_);
  addField(7, QStringLiteral("Chroma Key"), useKey_);
  addField(8, QStringLiteral("Aspect Ratio"), keep_);
  grid->setRowStretch(2, 1);

  auto* outer = new QHBoxLayout(this);
  outer->setContentsMargins(14, 12, 14, 12);
  outer->setSpacing(18);
  outer->addLayout(grid, 1);
  outer->addWidget(buttons, 0, Qt::AlignTop);

  // The dialog must never store a zone without a valid source or placement,
  // so a record that names none opens on the first entry.
  const bool sourceValid = zone.sourceId >= 0 && zone.sourceId < kZoneSourceCount;
  source_->setCurrentIndex(sourceValid ? zone.sourceId : 0);
  const bool placementValid = zone.placement >= 0 && zone.placement < kZonePlacementCount;
  position_->setCurrentIndex(placementValid ? zone.placement : VIDPOS_FULLSCREEN);

  const float fracs[4] = {zone.widthFrac, zone.heightFrac, zone.posXFrac, zone.posYFrac};
  for (int i = 0; i < 4; ++i) {
    shownPercent_[i] = FormatPercent(fracs[i]);
    percent_[i]->setText(shownPercent_[i]);
  }
  alpha_->setText(QString::number(zone.alpha));
  useKey_->setChecked(zone.chroma);
  keep_->setChecked(zone.keepAspect);
  alpha_->setEnabled(!zone.chroma);

  connect(useKey_, &QCheckBox::toggled, alpha_, [this](bool keyed) { alpha_->setEnabled(!keyed); });
  connect(position_, &QComboBox::currentIndexChanged, this, [this] { applyPositionRule(); });
  applyPositionRule();
}

void CZoneEditorDlg::applyPositionRule() {
  const int placement = position_->currentIndex();
  const bool free = placement == VIDPOS_FREE;
  const bool fullscreen = placement == VIDPOS_FULLSCREEN || placement == VIDPOS_FULLSCREEN_NAR;
  percent_[0]->setEnabled(!fullscreen);
  percent_[1]->setEnabled(!fullscreen);
  percent_[2]->setEnabled(free);
  percent_[3]->setEnabled(free);
}

void CZoneEditorDlg::accept() {
  zone_.sourceId = source_->currentIndex();
  zone_.placement = position_->currentIndex();

  float* const fracs[4] = {&zone_.widthFrac, &zone_.heightFrac, &zone_.posXFrac, &zone_.posYFrac};
  for (int i = 0; i < 4; ++i) {
    // The edit shows one decimal; an untouched field must not round away
    // the finer value the zone came with.
    const QString text = percent_[i]->text();
    const double value = text == shownPercent_[i] ? static_cast<double>(*fracs[i]) : ReadPercent(text);
    *fracs[i] = ClampPercent(value);
  }

  zone_.alpha = ReadAlpha(alpha_->text());
  zone_.chroma = useKey_->isChecked();
  zone_.keepAspect = keep_->isChecked();
  QDialog::accept();
}

}  // namespace corvalind

// The modal property dialog of a device, an element, a crossbar or a
// tuner: one editor row per property of a PropertyPage, titled with the
// page's caption. Every change is applied at once through the page; a
// value the page refuses puts the editor back to what the page holds.
// UI thread only.
#pragma once

#include <QDialog>
#include <map>
#include <string>
#include <vector>

#include "capture/media_toolkit.h"

class QFormLayout;

namespace corvalind {

class PropertyDialog : public QDialog {
  Q_OBJECT
 public:
  // `page` must outlive the dialog.
  explicit PropertyDialog(PropertyPage& page, QWidget* parent = nullptr);

  // The editor of a property (its object name is the property's name), or
  // null: a QCheckBox (kBool), QSpinBox (kInt), QDoubleSpinBox (kDouble),
  // QComboBox (kChoice), QLineEdit (kText) or QPushButton (kAction).
  QWidget* Editor(const std::string& name) const;

  // Shows the dialog of `page` modally. A null page or one without
  // properties shows nothing; answers whether a dialog was shown.
  static bool ShowFor(PropertyPage* page, QWidget* parent);

 private:
  void AddRow(const MediaProperty& property);
  // Hands one edited property to the page, then shows what the page holds.
  void Apply(const MediaProperty& property);
  // Puts every editor to the page's current values without signalling.
  void Refresh();
  const MediaProperty* Known(const std::string& name) const;

  PropertyPage& page_;
  std::vector<MediaProperty> properties_;  // as the page last answered
  std::map<std::string, QWidget*> editors_;
  QFormLayout* rows_ = nullptr;
};

}  // namespace corvalind

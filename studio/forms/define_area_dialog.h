// The modal "Define Capture Area" dialog of the "Capture Desktop" form.
#pragma once

#include <QDialog>

#include "engine/sources/desktop_capture.h"

class QLineEdit;

namespace corvalind {

// The modal "Define Capture Area" dialog: four whole numbers.
class DefineAreaDialog : public QDialog {
  Q_OBJECT
 public:
  DefineAreaDialog(const CaptureRect& area, QWidget* parent = nullptr);
  // The entered area; fields that do not parse count as 0.
  CaptureRect Area() const;

 private:
  QLineEdit* left_;
  QLineEdit* top_;
  QLineEdit* right_;
  QLineEdit* bottom_;
};

}  // namespace corvalind

// The zone editor: a modal dialog that edits one video zone of a scene.
//
// The scene editor runs it on a zone of its working list (or on a new zone)
// with exec(). The dialog edits the caller's record in place: OK overwrites
// placement, sourceId, the four percentages, alpha, chroma and keepAspect;
// Cancel leaves the record as it was. The pixel fields and lastSerial are
// never touched, since StoreScene derives them for the program size of the
// run. The record must outlive the dialog. UI thread only.
//
// What OK stores, whatever the user typed:
// - sourceId 0..9 and placement 0..7 (a record opened with a value outside
//   these ranges shows and stores source "id:1" / "Fullscreen");
// - each percentage: the leading number of the first 100 characters, 0 when
//   there is none (or it is not a number), at most 100.0 and at least
//   kMinZonePercent; a field whose text was left as shown keeps the value
//   it had, so opening and confirming a zone never rounds it to the one
//   decimal the edit shows;
// - alpha: the leading whole number, above 255 stored as 255, below 0 as 0.
// Disabled fields are read like enabled ones.
#pragma once

#include <QDialog>
#include <QString>
#include <array>

#include "engine/video_zone.h"

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace corvalind {

inline constexpr int kZoneSourceCount = 10;
// Lowest percentage stored. Nothing lies further out than -100 % on screen;
// the floor sits far below that and only keeps the later integer
// conversions (pixels, hundredths in scenes.xml) within range.
inline constexpr float kMinZonePercent = -1000000.0f;

class CZoneEditorDlg : public QDialog {
  Q_OBJECT

 public:
  CZoneEditorDlg(VideoZone& zone, QWidget* parent = nullptr);

  // Writes the fields into the zone and closes with OK. Never refuses.
  void accept() override;

 private:
  // X and Y only for "Free"; W and H not for the two full-screen placements.
  void applyPositionRule();

  VideoZone& zone_;
  QComboBox* source_ = nullptr;
  QComboBox* position_ = nullptr;
  // W, H, X, Y in this order, and the texts they were opened with.
  std::array<QLineEdit*, 4> percent_{};
  std::array<QString, 4> shownPercent_;
  QLineEdit* alpha_ = nullptr;
  QCheckBox* useKey_ = nullptr;
  QCheckBox* keep_ = nullptr;
};

}  // namespace corvalind

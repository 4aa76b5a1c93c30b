// The scene editor: a modal dialog that composes one scene, its name and
// its ordered list of video zones.
//
// The Scene Manager opens it with a copy of a scene (or an empty one for a
// new scene), runs exec() on the active window and, on Accepted, hands
// zones() and name() to StoreScene. The dialog never touches the engine.
// Its table mirrors the working zone list one row per zone, in order; New,
// Edit (or a double-click) and Delete change both together, running the
// zone editor for New and Edit. OK refuses an empty name or an empty zone
// list with a message and stays open; otherwise the name is cut to
// kMaxSceneNameChars characters. UI thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <vector>

#include "engine/video_zone.h"

class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace corvalind {

// Shows `text` to the user: a modal message box on `parent` with an empty
// caption and only an OK button, unless a handler is installed.
void ShowEditorMessage(QWidget* parent, const QString& text);

// Routes every ShowEditorMessage call to `handler` instead of a message box
// (tests record the texts this way); an empty handler restores the box.
// Returns the handler that was installed before.
using EditorMessageHandler = std::function<void(QWidget* parent, const QString& text)>;
EditorMessageHandler SetEditorMessageHandler(EditorMessageHandler handler);

class CScreneEditorDlg : public QDialog {
  Q_OBJECT

 public:
  CScreneEditorDlg(std::vector<VideoZone> zones, QString name, QWidget* parent = nullptr);

  // The working zone list; after an Accepted exec() the scene to store.
  const std::vector<VideoZone>& zones() const { return zones_; }
  // The given name until OK; after an Accepted exec() the name as entered,
  // at most kMaxSceneNameChars characters.
  const QString& name() const { return name_; }

  // Validates and closes with OK, or shows why not and stays open.
  void accept() override;

 private:
  void newZone();
  void editZone();
  void deleteZone();
  int selectedRow() const;
  // Writes the row at `row`, appending it when row == the row count.
  void setRow(int row, const VideoZone& zone);

  std::vector<VideoZone> zones_;
  QString name_;
  QLineEdit* nameEdit_ = nullptr;
  QTreeWidget* table_ = nullptr;
};

}  // namespace corvalind

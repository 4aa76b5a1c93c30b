#include "studio/demo/screenshots.h"

#include <QApplication>
#include <QGuiApplication>
#include <QDir>
#include <QMdiSubWindow>
#include <QPixmap>

#include "engine/video_engine.h"
#include "studio/main_window.h"
#include "studio/window_table.h"
#include "studio/forms/scene_editor_dialog.h"
#include "studio/forms/zone_editor_dialog.h"

namespace corvalind {

namespace {

bool Save(QWidget& widget, const QString& path) {
  widget.show();
  QApplication::processEvents();
  return widget.grab().save(path);
}

}  // namespace

int WriteScreenshots(CMainFrame& window, const QString& folder) {
  QDir().mkpath(folder);
  // The window as the user sees it on the screen; without one (offscreen),
  // as on a 1280 x 720 desktop.
  if (QGuiApplication::platformName() == "offscreen") {
    window.showNormal();
    window.resize(1280, 720);
  }
  QApplication::processEvents();
  int written = 0;
  written += Save(window, QDir(folder).filePath("main-window.png")) ? 1 : 0;

  // The editors on an example scene: a keyed presenter over a picture.
  VideoZone full;
  full.placement = VIDPOS_FULLSCREEN;
  full.widthFrac = full.heightFrac = 100.0f;
  VideoZone presenter = full;
  presenter.sourceId = 1;
  presenter.placement = VIDPOS_FULLSCREEN_NAR;
  presenter.chroma = true;
  VideoZone corner;
  corner.sourceId = 2;
  corner.placement = VIDPOS_FREE;
  corner.widthFrac = 30.0f;
  corner.heightFrac = 30.0f;
  corner.posXFrac = 65.0f;
  corner.posYFrac = 5.0f;
  corner.alpha = 64;
  CScreneEditorDlg sceneEditor({full, presenter, corner}, "Studio", &window);
  written += Save(sceneEditor, QDir(folder).filePath("scene-editor.png")) ? 1 : 0;
  sceneEditor.hide();
  CZoneEditorDlg zoneEditor(corner, &window);
  written += Save(zoneEditor, QDir(folder).filePath("zone-editor.png")) ? 1 : 0;
  zoneEditor.hide();

  // The source forms and the settings, each in its child window (opened
  // here when the studio has none of that kind).
  const struct {
    int kind;
    const char* file;
  } forms[] = {{kKindSlideShow, "slideshow-form.png"}, {kKindDesktop, "desktop-form.png"},
               {kKindOverlay, "overlay-form.png"}, {kKindBackground, "background-form.png"},
               {kKindNetwork, "network-form.png"},       {kKindSettings, "settings-form.png"}};
  for (const auto& f : forms) {
    QMdiSubWindow* frame = window.FindWindow(f.kind);
    const bool opened = frame == nullptr;
    if (opened) frame = window.OpenWindow(f.kind);
    if (!frame) continue;
    QApplication::processEvents();
    written += frame->grab().save(QDir(folder).filePath(f.file)) ? 1 : 0;
    if (opened) delete frame;
  }
  return written;
}

}  // namespace corvalind

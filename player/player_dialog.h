// CorvalindPlayer's one window: the program picture from the virtual camera
// in a letter-boxed video area (optionally full screen), and at the same
// time on a DeckLink card when asked.
//
// Controls (their ids, kept as the "controlId" property):
//   1000 "Play" / "Stop"      starts and stops playing
//   1001 video area           black when stopped; a double click toggles full screen
//   1002 "Fullscreen"         enabled only while playing
//   1003 "DeckLink render"    enabled only while stopped
// Enter closes the dialog with result 1, Escape and the close box with 0;
// in full screen Escape leaves full screen first.
#pragma once

#include <QDialog>
#include <QImage>
#include <QRect>
#include <QString>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "player/player_pipeline.h"

class QCheckBox;
class QPushButton;
class QTimer;
class QVBoxLayout;

namespace corvalind {

inline constexpr const char* kPlayerCaption = "CorvalindPlayer v0.1";
inline constexpr const char* kDeckLinkMissingText = "BlackMagic DeckLink card was not found!";
inline constexpr const char* kDeckLinkMissingCaption = "Error";

// How the dialog tells the user something: a modal box by default; tests
// put their own in.
using PlayerMessageBox = std::function<void(QWidget* parent, const QString& caption, const QString& text)>;

struct PlayerOptions {
  // The camera's output buffer; empty: the studio's own.
  std::string bufferName;
  // The window sink; unset: chosen by the Qt platform (ChooseRenderPath).
  std::optional<RenderPath> path;
  PlayerMessageBox messageBox;
};

// The video area (control 1001). Black while nothing plays. With the
// overlay the sink draws into its native window and Qt paints nothing
// there; with the painter it draws the newest picture letter-boxed.
class VideoArea : public QWidget {
  Q_OBJECT
 public:
  explicit VideoArea(QWidget* parent);

  // The overlay sink draws from now on (true) or no longer (false).
  void SetOverlay(bool on);
  // The pipeline whose pictures the painter draws; null: black.
  void SetPainterSource(PlayerPipeline* source);
  // Called from a streaming thread: schedules one repaint on the UI thread.
  void PostRepaint();
  // The area in device pixels, the size the overlay sink draws.
  QSize PixelSize() const;

  QPaintEngine* paintEngine() const override;
  // 173 x 105 dialog units at 8pt.
  QSize sizeHint() const override { return QSize(260, 171); }

 signals:
  void doubleClicked();
  // The overlay sink must redraw: the window was exposed or resized.
  void exposeNeeded();
  void nativeWindowChanged();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool event(QEvent* event) override;

 private slots:
  void RepaintFromStream();

 private:
  bool overlay_ = false;
  PlayerPipeline* source_ = nullptr;
  PainterFrame frame_;
  std::atomic<bool> repaintPosted_{false};
};

class CMainDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CMainDlg(PlayerOptions options = {}, QWidget* parent = nullptr);
  // Stops playing (the pipeline goes to NULL before it is released).
  ~CMainDlg() override;

  // Control 1000: stops when playing, otherwise builds and starts a fresh
  // pipeline.
  void OnPlay();
  // Full screen on (only while playing) or off.
  void SetFullScreen(bool on);

  bool Playing() const { return playing_; }
  bool FullScreen() const { return fullScreen_; }
  // The running pipeline, or null.
  const PlayerPipeline* Pipeline() const { return pipeline_.get(); }
  RenderPath Path() const { return path_; }

  QPushButton* PlayButton() const { return play_; }
  VideoArea* Video() const { return video_; }
  QPushButton* FullscreenButton() const { return fullscreen_; }
  QCheckBox* DeckLinkCheck() const { return decklink_; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void Start(bool withDeckLink);
  void Stop();
  void UpdateControls();
  void ShowDeckLinkMissing();
  void PollPipeline();
  void HandVideoWindow();

  PlayerOptions options_;
  RenderPath path_;
  QVBoxLayout* layout_ = nullptr;
  QPushButton* play_ = nullptr;
  VideoArea* video_ = nullptr;
  QPushButton* fullscreen_ = nullptr;
  QCheckBox* decklink_ = nullptr;
  QTimer* poll_ = nullptr;

  std::unique_ptr<PlayerPipeline> pipeline_;
  bool playing_ = false;
  bool fullScreen_ = false;
  bool deckLinkReported_ = false;  // the message shows once per Play
  WId handedWindow_ = 0;

  // What full screen replaces.
  QRect savedGeometry_;
  Qt::WindowFlags savedFlags_;
  QMargins savedMargins_;
  int savedSpacing_ = 0;
};

}  // namespace corvalind

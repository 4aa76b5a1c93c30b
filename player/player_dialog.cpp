#include "player/player_dialog.h"

#include <QCheckBox>
#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <cstdio>

static void RegisterPlayerResources() { Q_INIT_RESOURCE(player); }

namespace corvalind {

namespace {

// The dialog in pixels at 8pt: 187 x 137 dialog units with 7-unit margins
// (wider when the controls' row needs it).
constexpr int kDialogWidth = 280;
constexpr int kDialogHeight = 223;
constexpr int kMargin = 10;
constexpr int kPollMs = 50;

void DefaultMessageBox(QWidget* parent, const QString& caption, const QString& text) {
  QMessageBox::critical(parent, caption, text);
}

}  // namespace

VideoArea::VideoArea(QWidget* parent) : QWidget(parent) {
  setProperty("controlId", 1001);
  setObjectName("videoArea");
  setAutoFillBackground(false);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setFocusPolicy(Qt::NoFocus);
  setMinimumSize(32, 24);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void VideoArea::SetOverlay(bool on) {
  overlay_ = on;
  // While the sink draws, Qt must not paint over it: no paint engine, no
  // background, and paint events only ask the sink to redraw.
  setAttribute(Qt::WA_PaintOnScreen, on);
  setAttribute(Qt::WA_NoSystemBackground, on);
  update();
}

void VideoArea::SetPainterSource(PlayerPipeline* source) {
  source_ = source;
  frame_ = PainterFrame{};
  update();
}

void VideoArea::PostRepaint() {
  // One repaint in flight at a time, however fast pictures come.
  if (repaintPosted_.exchange(true)) return;
  // By name, so the queued call is made and run inside Qt alone.
  QMetaObject::invokeMethod(this, "RepaintFromStream", Qt::QueuedConnection);
}

void VideoArea::RepaintFromStream() {
  repaintPosted_.store(false);
  update();
}

QSize VideoArea::PixelSize() const {
  const qreal ratio = devicePixelRatioF();
  return QSize(qRound(width() * ratio), qRound(height() * ratio));
}

QPaintEngine* VideoArea::paintEngine() const { return overlay_ ? nullptr : QWidget::paintEngine(); }

void VideoArea::paintEvent(QPaintEvent*) {
  if (overlay_) {
    emit exposeNeeded();
    return;
  }
  QPainter painter(this);
  painter.fillRect(rect(), Qt::black);
  if (source_ == nullptr) return;
  source_->TakeFrame(frame_.serial, &frame_);
  if (frame_.serial == 0) return;
  const QImage picture(frame_.pixels.data(), frame_.width, frame_.height, frame_.stride, QImage::Format_RGB32);
  const FitRect fit = LetterBox(frame_.width, frame_.height, width(), height());
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(QRect(fit.x, fit.y, fit.width, fit.height), picture);
}

void VideoArea::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) emit doubleClicked();
}

void VideoArea::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (overlay_) emit exposeNeeded();
}

bool VideoArea::event(QEvent* event) {
  if (event->type() == QEvent::WinIdChange) emit nativeWindowChanged();
  return QWidget::event(event);
}

CMainDlg::CMainDlg(PlayerOptions options, QWidget* parent)
    : QDialog(parent), options_(std::move(options)) {
  if (!options_.messageBox) options_.messageBox = &DefaultMessageBox;
  path_ = options_.path.value_or(ChooseRenderPath(QGuiApplication::platformName().toStdString()));

  setWindowTitle(kPlayerCaption);
  // The icon is in this static library's resources, which must be
  // registered by name before the first look-up.
  RegisterPlayerResources();
  setWindowIcon(QIcon(":/corvalind/player/player.svg"));
  setSizeGripEnabled(true);

  layout_ = new QVBoxLayout(this);
  layout_->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
  video_ = new VideoArea(this);
  layout_->addWidget(video_, 1);

  auto* row = new QHBoxLayout;
  play_ = new QPushButton("Play", this);
  play_->setObjectName("playButton");
  play_->setProperty("controlId", 1000);
  fullscreen_ = new QPushButton("Fullscreen", this);
  fullscreen_->setObjectName("fullscreenButton");
  fullscreen_->setProperty("controlId", 1002);
  decklink_ = new QCheckBox("DeckLink render", this);
  decklink_->setObjectName("decklinkCheck");
  decklink_->setProperty("controlId", 1003);
  // Enter belongs to the dialog (it closes with result 1), never to a
  // button that happens to have the focus.
  for (QPushButton* button : {play_, fullscreen_}) {
    button->setAutoDefault(false);
    button->setDefault(false);
  }
  row->addWidget(play_);
  row->addWidget(fullscreen_);
  row->addStretch(1);
  row->addWidget(decklink_);
  layout_->addLayout(row);

  connect(play_, &QPushButton::clicked, this, &CMainDlg::OnPlay);
  connect(fullscreen_, &QPushButton::clicked, this, [this] { SetFullScreen(true); });
  connect(video_, &VideoArea::doubleClicked, this, [this] { SetFullScreen(!fullScreen_); });
  connect(video_, &VideoArea::exposeNeeded, this, [this] {
    if (pipeline_ == nullptr) return;
    const QSize pixels = video_->PixelSize();
    pipeline_->SetAreaSize(pixels.width(), pixels.height());
    pipeline_->Expose();
  });
  connect(video_, &VideoArea::nativeWindowChanged, this, &CMainDlg::HandVideoWindow);

  poll_ = new QTimer(this);
  poll_->setInterval(kPollMs);
  connect(poll_, &QTimer::timeout, this, &CMainDlg::PollPipeline);

  resize(kDialogWidth, kDialogHeight);
  setMinimumSize(sizeHint().width(), 120);
  // Centred on the screen it opens on.
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame(QPoint(0, 0), size());
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
  playing_ = false;
  fullScreen_ = false;
  UpdateControls();
}

CMainDlg::~CMainDlg() {
  poll_->stop();
  Stop();
}

void CMainDlg::OnPlay() {
  if (playing_) {
    SetFullScreen(false);
    Stop();
  } else {
    Stop();
    deckLinkReported_ = false;
    Start(decklink_->isChecked());
  }
  UpdateControls();
}

void CMainDlg::Start(bool withDeckLink) {
  PipelineRequest request;
  request.decklink = withDeckLink;
  request.path = path_;
  request.bufferName = options_.bufferName;
  if (path_ == RenderPath::kOverlay) {
    video_->setAttribute(Qt::WA_NativeWindow);
    handedWindow_ = video_->winId();
    request.windowHandle = static_cast<uintptr_t>(handedWindow_);
    const QSize pixels = video_->PixelSize();
    request.areaWidth = pixels.width();
    request.areaHeight = pixels.height();
  } else {
    VideoArea* area = video_;
    request.framesChanged = [area] { area->PostRepaint(); };
  }
  DeckLinkOutcome outcome = DeckLinkOutcome::kNotAsked;
  std::unique_ptr<PlayerPipeline> built = PlayerPipeline::Build(request, &outcome);
  if (outcome == DeckLinkOutcome::kUnavailable) ShowDeckLinkMissing();
  if (built == nullptr) return;
  if (path_ == RenderPath::kOverlay) {
    video_->SetOverlay(true);
  } else {
    video_->SetPainterSource(built.get());
  }
  pipeline_ = std::move(built);
  if (!pipeline_->Play()) {
    const bool hadCard = pipeline_->HasDeckLink();
    Stop();
    // A card that opened alone but refuses to run with the graph counts as
    // no card: the window plays on without it.
    if (hadCard) {
      ShowDeckLinkMissing();
      Start(false);
    }
    return;
  }
  playing_ = true;
  poll_->start();
}

void CMainDlg::Stop() {
  poll_->stop();
  playing_ = false;
  if (pipeline_ == nullptr) return;
  // The area lets go of the pipeline before it goes.
  video_->SetPainterSource(nullptr);
  video_->SetOverlay(false);
  pipeline_.reset();
  handedWindow_ = 0;
}

void CMainDlg::UpdateControls() {
  play_->setText(playing_ ? "Stop" : "Play");
  decklink_->setEnabled(!playing_);
  fullscreen_->setEnabled(playing_);
}

void CMainDlg::ShowDeckLinkMissing() {
  if (deckLinkReported_) return;
  deckLinkReported_ = true;
  options_.messageBox(this, kDeckLinkMissingCaption, kDeckLinkMissingText);
}

void CMainDlg::PollPipeline() {
  if (pipeline_ == nullptr) return;
  pipeline_->Tick();
  std::string text;
  bool fromCard = false;
  if (!pipeline_->TakeError(&text, &fromCard)) return;
  std::fprintf(stderr, "corvalind-player: %s\n", text.c_str());
  const bool fullScreen = fullScreen_;
  SetFullScreen(false);
  Stop();
  if (fromCard) {
    // The card gave up while playing: the window goes on without it.
    ShowDeckLinkMissing();
    Start(false);
    if (fullScreen) SetFullScreen(true);
  }
  UpdateControls();
}

void CMainDlg::HandVideoWindow() {
  if (pipeline_ == nullptr || path_ != RenderPath::kOverlay) return;
  const WId now = video_->winId();
  if (now == handedWindow_) return;
  handedWindow_ = now;
  pipeline_->SetWindowHandle(static_cast<uintptr_t>(now));
  pipeline_->Expose();
}

void CMainDlg::SetFullScreen(bool on) {
  if (on == fullScreen_ || (on && !playing_)) return;
  QWindow* window = windowHandle();
  if (on) {
    savedGeometry_ = geometry();
    savedFlags_ = windowFlags();
    savedMargins_ = layout_->contentsMargins();
    savedSpacing_ = layout_->spacing();
    QScreen* where = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
    // The flags change on the existing native window (overrideWindowFlags
    // and QWindow::setFlags): setWindowFlags would hide the dialog, which
    // ends a modal exec(), and make the video area's window anew under the
    // sink.
    const Qt::WindowFlags frameless = savedFlags_ | Qt::FramelessWindowHint;
    overrideWindowFlags(frameless);
    if (window != nullptr) window->setFlags(frameless);
    for (QWidget* control : std::initializer_list<QWidget*>{play_, fullscreen_, decklink_}) control->hide();
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(0);
    if (where != nullptr) setGeometry(where->geometry());
    showFullScreen();
    setCursor(Qt::BlankCursor);
    fullScreen_ = true;
  } else {
    overrideWindowFlags(savedFlags_);
    if (window != nullptr) window->setFlags(savedFlags_);
    showNormal();
    setGeometry(savedGeometry_);
    unsetCursor();
    layout_->setContentsMargins(savedMargins_);
    layout_->setSpacing(savedSpacing_);
    for (QWidget* control : std::initializer_list<QWidget*>{play_, fullscreen_, decklink_}) control->show();
    fullScreen_ = false;
  }
  layout_->activate();
  HandVideoWindow();
  video_->update();
  if (pipeline_ != nullptr) {
    const QSize pixels = video_->PixelSize();
    pipeline_->SetAreaSize(pixels.width(), pixels.height());
    pipeline_->Expose();
  }
}

void CMainDlg::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Escape:
      if (fullScreen_) {
        SetFullScreen(false);
      } else {
        reject();
      }
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      accept();
      return;
    default:
      QDialog::keyPressEvent(event);
  }
}

}  // namespace corvalind

#include "studio/demo/demo_assets.h"

#include <QMdiSubWindow>

#include <QDir>
#include <QFont>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QRadialGradient>

#include "engine/video_engine.h"
#include "studio/files/project_file.h"
#include "studio/main_window.h"
#include "studio/window_table.h"

namespace corvalind {

namespace {

constexpr int kW = 1280, kH = 720;

void Title(QPainter& p, const QString& text, int size, const QRectF& box, const QColor& color) {
  QFont font("DejaVu Sans");
  font.setPixelSize(size);
  font.setBold(true);
  p.setFont(font);
  p.setPen(color);
  p.drawText(box, Qt::AlignCenter, text);
}

QImage Slide(int index) {
  static const QColor kColors[4][2] = {{QColor(20, 40, 90), QColor(40, 120, 200)},
                                       {QColor(90, 20, 60), QColor(220, 90, 70)},
                                       {QColor(10, 70, 60), QColor(60, 190, 140)},
                                       {QColor(60, 40, 100), QColor(170, 110, 230)}};
  static const char* kTitles[4][2] = {{"Corvalind", "live video production"},
                                      {"Scenes", "zones, alpha and chroma key"},
                                      {"Transitions", "eleven ways to change the picture"},
                                      {"Virtual Camera", "any GStreamer application can watch"}};
  QImage image(kW, kH, QImage::Format_RGB888);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient gradient(0, 0, kW, kH);
  gradient.setColorAt(0, kColors[index][0]);
  gradient.setColorAt(1, kColors[index][1]);
  p.fillRect(image.rect(), gradient);
  p.setPen(Qt::NoPen);
  for (int i = 0; i < 6; ++i) {
    p.setBrush(QColor(255, 255, 255, 18 + 6 * i));
    p.drawEllipse(QPointF(kW * (0.15 + 0.14 * i), kH * (0.8 - 0.1 * ((i + index) % 3))), 60.0 + 25 * i, 60.0 + 25 * i);
  }
  Title(p, kTitles[index][0], 110, QRectF(0, 200, kW, 150), Qt::white);
  Title(p, kTitles[index][1], 42, QRectF(0, 360, kW, 80), QColor(255, 255, 255, 220));
  Title(p, QString("%1 / 4").arg(index + 1), 28, QRectF(kW - 200, kH - 70, 170, 50), QColor(255, 255, 255, 160));
  return image;
}

// A presenter figure on a pure green screen, for the keyed scene.
QImage Presenter(int pose) {
  QImage image(640, 480, QImage::Format_RGB888);
  image.fill(QColor(0, 255, 0));
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing, false);  // hard edges: the key has no green fringe
  p.setPen(Qt::NoPen);
  const int x = 200 + pose * 60;
  p.setBrush(QColor(235, 190, 150));
  p.drawEllipse(QRect(x + 40, 90, 90, 100));  // head
  p.setBrush(QColor(40, 50, 120));
  p.drawRoundedRect(QRect(x, 200, 170, 280), 40, 40);  // body
  p.setBrush(QColor(200, 40, 40));
  p.drawRect(QRect(x + 75, 205, 20, 120));  // tie
  return image;
}

QImage Background() {
  QImage image(kW, kH, QImage::Format_RGB888);
  QPainter p(&image);
  QLinearGradient gradient(0, 0, 0, kH);
  gradient.setColorAt(0, QColor(30, 32, 40));
  gradient.setColorAt(1, QColor(70, 75, 90));
  p.fillRect(image.rect(), gradient);
  p.setPen(QColor(255, 255, 255, 25));
  for (int x = 0; x < kW; x += 40) p.drawLine(x, 0, x, kH);
  for (int y = 0; y < kH; y += 40) p.drawLine(0, y, kW, y);
  return image;
}

// A lower third and a corner badge; everything else is transparent.
QImage Overlay() {
  QImage image(kW, kH, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(10, 10, 20, 170));
  p.drawRoundedRect(QRectF(60, kH - 150, 620, 90), 14, 14);
  p.setBrush(QColor(220, 50, 50, 230));
  p.drawRoundedRect(QRectF(60, kH - 150, 16, 90), 6, 6);
  QFont font("DejaVu Sans");
  font.setPixelSize(40);
  font.setBold(true);
  p.setFont(font);
  p.setPen(Qt::white);
  p.drawText(QRectF(100, kH - 150, 560, 55), Qt::AlignVCenter | Qt::AlignLeft, "CORVALIND LIVE");
  font.setPixelSize(24);
  font.setBold(false);
  p.setFont(font);
  p.setPen(QColor(255, 255, 255, 210));
  p.drawText(QRectF(100, kH - 100, 560, 35), Qt::AlignVCenter | Qt::AlignLeft, "demo production");
  QRadialGradient badge(QPointF(kW - 90, 80), 50);
  badge.setColorAt(0, QColor(255, 80, 80, 240));
  badge.setColorAt(1, QColor(160, 20, 20, 200));
  p.setBrush(badge);
  p.drawEllipse(QPointF(kW - 90, 80), 48, 48);
  p.setPen(Qt::white);
  font.setPixelSize(30);
  font.setBold(true);
  p.setFont(font);
  p.drawText(QRectF(kW - 138, 32, 96, 96), Qt::AlignCenter, "ON\nAIR");
  return image;
}


}  // namespace

void StoreDemoProjectScenes(VideoEngine& engine) {
  VideoZone keyed = MakeZone(VIDPOS_FULLSCREEN_NAR, 1, 100, 100);
  keyed.chroma = true;
  VideoZone corner = MakeZone(VIDPOS_TOP_RIGHT, 1, 36, 36);
  corner.alpha = 60;
  VideoZone left = MakeZone(VIDPOS_FREE, 0, 50, 50, 0, 25);
  left.keepAspect = false;
  VideoZone right = MakeZone(VIDPOS_FREE, 1, 50, 50, 50, 25);
  right.keepAspect = false;
  std::vector<Scene> scenes = {
      {"Slides", {MakeZone(VIDPOS_FULLSCREEN, 0, 100, 100)}},
      {"Presenter", {MakeZone(VIDPOS_FULLSCREEN, 0, 100, 100), keyed}},
      {"Picture in picture", {MakeZone(VIDPOS_CENTER, 0, 70, 70), corner}},
      {"Side by side", {left, right}},
  };
  engine.ReplaceScenes(scenes);
}

QString WriteDemoAssets(const QString& folder) {
  QDir dir(folder);
  if (!dir.mkpath("slides") || !dir.mkpath("presenter")) return {};
  for (int i = 0; i < 4; ++i) {
    if (!Slide(i).save(dir.filePath(QString("slides/slide%1.png").arg(i + 1)))) return {};
  }
  for (int i = 0; i < 3; ++i) {
    if (!Presenter(i).save(dir.filePath(QString("presenter/pose%1.png").arg(i + 1)))) return {};
  }
  if (!Background().save(dir.filePath("background.png")) || !Overlay().save(dir.filePath("overlay.png"))) {
    return {};
  }

  ProjectDocument project;
  project.config = ProjectConfig{false, 0x00FF00u, 0.3f, true};
  auto window = [&](int type, int x, int y) -> ProjectWindow& {
    project.windows.push_back(ProjectWindow{type, x, y, {}});
    return project.windows.back();
  };
  // Laid out for a 1280 x 720 screen (and compact on larger ones): the
  // program top left, the picture layers under it, the Scene Manager
  // beside it (PlaceDemoSceneManager) and the two slide shows to its right.
  ProjectWindow& slides = window(kKindSlideShow, 784, 0);
  slides.Set("DATA", dir.absoluteFilePath("slides").toStdString());
  slides.Set("PARAM1", 3);
  ProjectWindow& presenter = window(kKindSlideShow, 784, 252);
  presenter.Set("DATA", dir.absoluteFilePath("presenter").toStdString());
  presenter.Set("PARAM1", 2);
  window(kKindBackground, 0, 374).Set("DATA", dir.absoluteFilePath("background.png").toStdString());
  window(kKindOverlay, 237, 374).Set("DATA", dir.absoluteFilePath("overlay.png").toStdString());
  ProjectWindow& program = window(kKindProgram, 0, 0);
  program.Set("WIDTH", 482);
  program.Set("HEIGHT", 372);
  ProjectWindow& manager = window(kKindSceneManager, 0, 0);
  manager.Set("DATA", 0);
  manager.Set("PARAM1", 1);  // Blend
  const QString path = dir.absoluteFilePath("demo.cvd");
  return WriteProjectFile(path.toStdString(), project) ? path : QString();
}

void PlaceDemoSceneManager(CMainFrame& window) {
  QMdiSubWindow* manager = window.FindWindow(kKindSceneManager);
  QMdiSubWindow* program = window.FindWindow(kKindProgram);
  if (manager && program) manager->move(program->geometry().right() + 2, 0);
}

}  // namespace corvalind

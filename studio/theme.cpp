#include "studio/theme.h"

#include <QApplication>
#include <QByteArray>
#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QIconEngine>
#include <QImage>
#include <QMdiArea>
#include <QPainter>
#include <QPixmap>
#include <QPixmapCache>
#include <QProxyStyle>
#include <QRegularExpression>
#include <QStyleFactory>
#include <QSvgRenderer>
#include <QToolTip>
#include <array>
#include <memory>

#include "studio/window_kinds.h"

// The bundled icons live in a static library: their resources must be
// registered by name before the first look-up. Q_INIT_RESOURCE works only
// outside any namespace.
static void RegisterBundledIcons() { Q_INIT_RESOURCE(icons); }

namespace corvalind {

namespace {

// The grey every bundled SVG draws its lines in; it is replaced at paint
// time by the neutral colour that suits the palette.
constexpr char kTemplateNeutral[] = "#d4d7dd";
const QColor kNeutralOnDark(0xd4, 0xd7, 0xdd);
const QColor kNeutralOnLight(0x4a, 0x4f, 0x57);

// The selection accent of both themes: white text on it reads at better
// than 5:1.
const QColor kAccent(0x2a, 0x6f, 0xc0);

QColor WorkspaceColor(StudioTheme theme) {
  return theme == StudioTheme::kDark ? QColor(0x18, 0x19, 0x1c) : QColor(0x9a, 0x9d, 0xa3);
}

QPalette DarkPalette() {
  const QColor window(0x2b, 0x2d, 0x31);
  const QColor base(0x1f, 0x20, 0x23);
  const QColor alternateBase(0x27, 0x29, 0x2d);
  const QColor button(0x36, 0x38, 0x3d);
  const QColor text(0xe6, 0xe7, 0xea);
  const QColor disabledText(0x86, 0x8a, 0x91);

  QPalette palette;
  palette.setColor(QPalette::Window, window);
  palette.setColor(QPalette::WindowText, text);
  palette.setColor(QPalette::Base, base);
  palette.setColor(QPalette::AlternateBase, alternateBase);
  palette.setColor(QPalette::ToolTipBase, QColor(0x3c, 0x3f, 0x45));
  palette.setColor(QPalette::ToolTipText, QColor(0xf2, 0xf3, 0xf5));
  palette.setColor(QPalette::PlaceholderText, QColor(0x8e, 0x92, 0x99));
  palette.setColor(QPalette::Text, text);
  palette.setColor(QPalette::Button, button);
  palette.setColor(QPalette::ButtonText, text);
  palette.setColor(QPalette::BrightText, QColor(0xff, 0x6b, 0x6b));
  palette.setColor(QPalette::Light, QColor(0x4a, 0x4d, 0x54));
  palette.setColor(QPalette::Midlight, QColor(0x3e, 0x41, 0x47));
  palette.setColor(QPalette::Mid, QColor(0x25, 0x27, 0x2a));
  palette.setColor(QPalette::Dark, QColor(0x1b, 0x1c, 0x1f));
  palette.setColor(QPalette::Shadow, QColor(0x0c, 0x0c, 0x0e));
  palette.setColor(QPalette::Highlight, kAccent);
  palette.setColor(QPalette::HighlightedText, Qt::white);
  palette.setColor(QPalette::Link, QColor(0x6c, 0xab, 0xf5));
  palette.setColor(QPalette::LinkVisited, QColor(0xb4, 0x94, 0xf0));

  // Greyed controls keep a readable label and a visible selection.
  palette.setColor(QPalette::Disabled, QPalette::WindowText, disabledText);
  palette.setColor(QPalette::Disabled, QPalette::Text, disabledText);
  palette.setColor(QPalette::Disabled, QPalette::ButtonText, disabledText);
  palette.setColor(QPalette::Disabled, QPalette::Base, window);
  palette.setColor(QPalette::Disabled, QPalette::Button, QColor(0x31, 0x33, 0x37));
  palette.setColor(QPalette::Disabled, QPalette::Highlight, QColor(0x45, 0x48, 0x4e));
  palette.setColor(QPalette::Disabled, QPalette::HighlightedText, QColor(0xb8, 0xbb, 0xc0));
  palette.setColor(QPalette::Disabled, QPalette::Light, QColor(0x2b, 0x2d, 0x31));
  return palette;
}

QPalette LightPalette() {
  std::unique_ptr<QStyle> fusion(QStyleFactory::create("Fusion"));
  QPalette palette = fusion != nullptr ? fusion->standardPalette() : QPalette(QColor(0xef, 0xef, 0xef));
  // Fusion's own blue gives white text only 3.7:1; the studio's accent
  // reads better and matches the dark theme.
  palette.setColor(QPalette::Active, QPalette::Highlight, kAccent);
  palette.setColor(QPalette::Inactive, QPalette::Highlight, kAccent);
  palette.setColor(QPalette::Active, QPalette::HighlightedText, Qt::white);
  palette.setColor(QPalette::Inactive, QPalette::HighlightedText, Qt::white);
  // Its greyed text (about 1.6:1 on the window) is hard to read; this grey
  // keeps 3:1 and still looks plainly greyed.
  const QColor disabledText(0x8a, 0x8a, 0x8a);
  palette.setColor(QPalette::Disabled, QPalette::WindowText, disabledText);
  palette.setColor(QPalette::Disabled, QPalette::Text, disabledText);
  palette.setColor(QPalette::Disabled, QPalette::ButtonText, disabledText);
  return palette;
}

// Fusion, with the theme's palette as its standard one and a workspace
// background darker than the windows on it.
class StudioStyle : public QProxyStyle {
 public:
  explicit StudioStyle(StudioTheme theme) : QProxyStyle(QStyleFactory::create("Fusion")), theme_(theme) {}

  QPalette standardPalette() const override { return StudioPalette(theme_); }

  using QProxyStyle::polish;
  void polish(QWidget* widget) override {
    QProxyStyle::polish(widget);
    if (auto* area = qobject_cast<QMdiArea*>(widget)) area->setBackground(WorkspaceColor(theme_));
  }

 private:
  StudioTheme theme_;
};

// The text of a bundled SVG, read once; empty when there is none.
QByteArray BundledSvg(const QString& name) {
  static QHash<QString, QByteArray> cache;
  auto found = cache.find(name);
  if (found != cache.end()) return *found;
  RegisterBundledIcons();
  QFile file(QStringLiteral(":/corvalind/icons/%1.svg").arg(name));
  QByteArray text;
  if (file.open(QIODevice::ReadOnly)) text = file.readAll();
  cache.insert(name, text);
  return text;
}

// Draws one bundled SVG in the colours the current application palette
// asks for, at any size, so the icon follows a theme switch and stays
// sharp on every tool-bar size.
class LineIconEngine : public QIconEngine {
 public:
  explicit LineIconEngine(QString name) : name_(std::move(name)), svg_(BundledSvg(name_)) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
    const qreal ratio = painter->device() != nullptr ? painter->device()->devicePixelRatio() : 1.0;
    QPixmap drawn = pixmap((QSizeF(rect.size()) * ratio).toSize(), mode, state);
    drawn.setDevicePixelRatio(ratio);
    painter->drawPixmap(rect, drawn);
  }

  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override {
    if (svg_.isEmpty() || size.isEmpty()) return QPixmap();
    const QPalette palette = QGuiApplication::palette();
    const bool darkWindow = palette.color(QPalette::Window).lightness() < 128;
    QColor neutral = darkWindow ? kNeutralOnDark : kNeutralOnLight;
    if (mode == QIcon::Selected) neutral = palette.color(QPalette::HighlightedText);
    const QColor disabled = palette.color(QPalette::Disabled, QPalette::WindowText);
    const QString key = QStringLiteral("corvalind-icon/%1/%2x%3/%4/%5")
                            .arg(name_)
                            .arg(size.width())
                            .arg(size.height())
                            .arg(mode == QIcon::Disabled ? disabled.name() : neutral.name())
                            .arg(mode == QIcon::Disabled ? 1 : 0);
    QPixmap cached;
    if (QPixmapCache::find(key, &cached)) return cached;

    QString text = QString::fromUtf8(svg_);
    if (mode == QIcon::Disabled) {
      // Greyed: every colour, accents included, becomes the disabled text
      // colour.
      static const QRegularExpression kAnyColour(QStringLiteral("#[0-9a-fA-F]{6}"));
      text.replace(kAnyColour, disabled.name());
    } else {
      text.replace(QLatin1String(kTemplateNeutral), neutral.name(), Qt::CaseInsensitive);
    }
    QSvgRenderer renderer(text.toUtf8());
    if (!renderer.isValid()) return QPixmap();
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
      QPainter painter(&image);
      painter.setRenderHint(QPainter::Antialiasing);
      const int side = qMin(size.width(), size.height());
      renderer.render(&painter, QRectF((size.width() - side) / 2.0, (size.height() - side) / 2.0, side, side));
    }
    QPixmap result = QPixmap::fromImage(image);
    QPixmapCache::insert(key, result);
    return result;
  }

  QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }
  QIconEngine* clone() const override { return new LineIconEngine(*this); }
  QString key() const override { return QStringLiteral("corvalind-line-icon"); }
  bool isNull() override { return svg_.isEmpty(); }

 private:
  QString name_;
  QByteArray svg_;
};

QIcon Bundled(const char* name) {
  auto* engine = new LineIconEngine(QString::fromLatin1(name));
  if (engine->isNull()) {
    delete engine;
    return QIcon();
  }
  return QIcon(engine);
}

// The desktop theme's icon when it has `themeName`, else the bundled one.
QIcon ThemedOrBundled(const char* themeName, const char* bundledName) {
  const QIcon bundled = Bundled(bundledName);
  if (themeName == nullptr || *themeName == '\0') return bundled;
  return QIcon::fromTheme(QString::fromLatin1(themeName), bundled);
}

struct IconNames {
  const char* themeName;    // freedesktop name, empty where none fits
  const char* bundledName;  // the SVG under :/corvalind/icons/
};

// Indexed by WindowKind.
constexpr std::array<IconNames, kWindowKindCount> kKindIcons = {{
    /*kKindCamera*/ {"camera-web", "camera"},
    /*kKindVideoFile*/ {"video-x-generic", "video-file"},
    /*kKindSlideShow*/ {"", "slide-show"},
    /*kKindDesktop*/ {"video-display", "desktop"},
    /*kKindHook*/ {"", "game-hook"},
    /*kKindOverlay*/ {"", "overlay"},
    /*kKindBackground*/ {"", "background"},
    /*kKindProgram*/ {"", "program"},
    /*kKindSceneManager*/ {"", "scene-manager"},
    /*kKindNetwork*/ {"network-transmit", "network-send"},
    /*kKindRecorder*/ {"media-record", "recorder"},
    /*kKindSettings*/ {"preferences-system", "settings"},
    /*kKindStream*/ {"", "stream"},
}};

IconNames CommandIconNames(StudioCommand command) {
  switch (command) {
    case StudioCommand::kNew: return {"document-new", "new"};
    case StudioCommand::kOpen: return {"document-open", "open"};
    case StudioCommand::kSave: return {"document-save", "save"};
    case StudioCommand::kAbout: return {"help-about", "about"};
    case StudioCommand::kArrange: return {"", "arrange"};
    case StudioCommand::kCascade: return {"", "cascade"};
    case StudioCommand::kTile: return {"", "tile"};
  }
  return {"", ""};
}

bool ValidKind(int kind) { return kind >= 0 && kind < kWindowKindCount; }

}  // namespace

std::optional<StudioTheme> ParseThemeName(const QString& name) {
  const QString lower = name.trimmed().toLower();
  if (lower == QLatin1String("dark")) return StudioTheme::kDark;
  if (lower == QLatin1String("light")) return StudioTheme::kLight;
  return std::nullopt;
}

StudioTheme ThemeFromArguments(const QStringList& args, const QString& environmentValue) {
  std::optional<StudioTheme> chosen;
  for (qsizetype i = 1; i < args.size(); ++i) {
    const QString& arg = args[i];
    std::optional<StudioTheme> named;
    if (arg == QLatin1String("--theme")) {
      if (i + 1 >= args.size()) break;
      named = ParseThemeName(args[++i]);
    } else if (arg.startsWith(QLatin1String("--theme="))) {
      named = ParseThemeName(arg.mid(8));
    }
    if (named) chosen = named;
  }
  if (chosen) return *chosen;
  return ParseThemeName(environmentValue).value_or(StudioTheme::kDark);
}

StudioTheme ThemeFromArguments(const QStringList& args) {
  return ThemeFromArguments(args, qEnvironmentVariable("CORVALIND_THEME"));
}

QPalette StudioPalette(StudioTheme theme) { return theme == StudioTheme::kDark ? DarkPalette() : LightPalette(); }

void ApplyStudioTheme(QApplication& app, StudioTheme theme) {
  const QPalette palette = StudioPalette(theme);
  app.setStyle(new StudioStyle(theme));
  app.setPalette(palette);
  QToolTip::setPalette(palette);
  // Bundled icons drawn for the old palette must not be reused.
  QPixmapCache::clear();
}

QIcon KindIcon(int kind) {
  if (!ValidKind(kind)) return QIcon();
  const IconNames& names = kKindIcons[static_cast<std::size_t>(kind)];
  return ThemedOrBundled(names.themeName, names.bundledName);
}

QIcon CommandIcon(StudioCommand command) {
  const IconNames names = CommandIconNames(command);
  return ThemedOrBundled(names.themeName, names.bundledName);
}

QIcon BundledKindIcon(int kind) {
  if (!ValidKind(kind)) return QIcon();
  return Bundled(kKindIcons[static_cast<std::size_t>(kind)].bundledName);
}

QIcon BundledCommandIcon(StudioCommand command) { return Bundled(CommandIconNames(command).bundledName); }

}  // namespace corvalind

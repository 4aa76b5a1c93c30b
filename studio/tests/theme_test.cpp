// The studio's look offscreen, on a machine without any icon theme: every
// window kind and command gets a bundled icon that is visible on both
// palettes and greys out when disabled; the dark and light palettes keep
// their text readable; applying a theme sets Fusion, the palette, tool
// tips and the workspace background; and the theme is picked from the
// arguments and the environment.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QMdiArea>
#include <QPixmap>
#include <QProxyStyle>
#include <QToolTip>
#include <cmath>
#include <filesystem>
#include <vector>

#include "studio/theme.h"
#include "studio/window_kinds.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

constexpr StudioCommand kCommands[] = {StudioCommand::kNew,     StudioCommand::kOpen,    StudioCommand::kSave,
                                       StudioCommand::kAbout,   StudioCommand::kArrange, StudioCommand::kCascade,
                                       StudioCommand::kTile};

// Relative luminance and contrast ratio as the web's accessibility rules
// define them: 1 (same colour) to 21 (black on white).
double Luminance(const QColor& color) {
  auto channel = [](double value) {
    value /= 255.0;
    return value <= 0.04045 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * channel(color.red()) + 0.7152 * channel(color.green()) + 0.0722 * channel(color.blue());
}

double Contrast(const QColor& a, const QColor& b) {
  const double la = Luminance(a);
  const double lb = Luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

struct NamedIcon {
  std::string name;
  QIcon icon;
};

std::vector<NamedIcon> AllIcons() {
  std::vector<NamedIcon> icons;
  for (int kind = 0; kind < kWindowKindCount; ++kind) icons.push_back({"kind " + std::to_string(kind), KindIcon(kind)});
  for (StudioCommand command : kCommands) {
    icons.push_back({"command " + std::to_string(static_cast<int>(command)), CommandIcon(command)});
  }
  return icons;
}

QImage Render(const QIcon& icon, QIcon::Mode mode = QIcon::Normal) {
  return icon.pixmap(QSize(32, 32), 1.0, mode).toImage().convertToFormat(QImage::Format_ARGB32);
}

// The pixels an eye sees: mostly opaque.
int VisiblePixels(const QImage& image) {
  int count = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) count += qAlpha(image.pixel(x, y)) >= 128 ? 1 : 0;
  }
  return count;
}

// The strongest contrast any visible pixel has against `background`.
double BestContrast(const QImage& image, const QColor& background) {
  double best = 1.0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QRgb pixel = image.pixel(x, y);
      if (qAlpha(pixel) < 200) continue;
      best = std::max(best, Contrast(QColor::fromRgb(pixel), background));
    }
  }
  return best;
}

int MostSaturated(const QImage& image) {
  int most = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QRgb pixel = image.pixel(x, y);
      if (qAlpha(pixel) < 200) continue;
      most = std::max(most, QColor::fromRgb(pixel).hsvSaturation());
    }
  }
  return most;
}

class ThemeTest : public ::testing::TestWithParam<StudioTheme> {
 protected:
  void SetUp() override { ApplyStudioTheme(*qApp, GetParam()); }
};

TEST(ThemeSetup, NoIconThemeIsReachable) {
  // The icon tests below prove the bundled icons only while the desktop's
  // theme cannot answer.
  EXPECT_FALSE(QIcon::hasThemeIcon("document-new"));
  EXPECT_FALSE(QIcon::hasThemeIcon("camera-web"));
}

TEST_P(ThemeTest, EveryKindAndCommandHasAnIconVisibleOnTheWindowColour) {
  const QColor window = QApplication::palette().color(QPalette::Window);
  for (const NamedIcon& named : AllIcons()) {
    SCOPED_TRACE(named.name);
    ASSERT_FALSE(named.icon.isNull());
    const QImage image = Render(named.icon);
    ASSERT_EQ(image.size(), QSize(32, 32));
    EXPECT_GE(VisiblePixels(image), 40);
    // Lines drawn in the neutral grey must stand out on this palette's
    // windows, light on dark and dark on light.
    EXPECT_GE(BestContrast(image, window), 4.5);
  }
}

TEST_P(ThemeTest, EveryIconHasItsAccentAndGreysOutWhenDisabled) {
  for (const NamedIcon& named : AllIcons()) {
    SCOPED_TRACE(named.name);
    EXPECT_GE(MostSaturated(Render(named.icon)), 100);
    const QImage disabled = Render(named.icon, QIcon::Disabled);
    EXPECT_GE(VisiblePixels(disabled), 40);
    EXPECT_LE(MostSaturated(disabled), 40);
  }
}

TEST(Icons, EveryKindAndCommandHasItsOwnPicture) {
  const std::vector<NamedIcon> icons = AllIcons();
  for (std::size_t i = 0; i < icons.size(); ++i) {
    for (std::size_t j = i + 1; j < icons.size(); ++j) {
      EXPECT_TRUE(Render(icons[i].icon) != Render(icons[j].icon)) << icons[i].name << " and " << icons[j].name;
    }
  }
}

TEST(Icons, WithoutAnIconThemeTheBundledIconIsUsed) {
  for (int kind = 0; kind < kWindowKindCount; ++kind) {
    EXPECT_TRUE(Render(KindIcon(kind)) == Render(BundledKindIcon(kind))) << "kind " << kind;
  }
  for (StudioCommand command : kCommands) {
    EXPECT_TRUE(Render(CommandIcon(command)) == Render(BundledCommandIcon(command)));
  }
}

TEST(Icons, KindsOutsideTheTableHaveNone) {
  EXPECT_TRUE(KindIcon(-1).isNull());
  EXPECT_TRUE(KindIcon(kWindowKindCount).isNull());
  EXPECT_TRUE(BundledKindIcon(kWindowKindCount).isNull());
}

TEST(Palettes, DarkHasDarkWindowsAndReadableText) {
  const QPalette palette = StudioPalette(StudioTheme::kDark);
  EXPECT_LT(palette.color(QPalette::Window).lightness(), 80);
  EXPECT_LT(palette.color(QPalette::Base).lightness(), 80);
  EXPECT_GT(palette.color(QPalette::WindowText).lightness(), 180);
  EXPECT_GT(palette.color(QPalette::Text).lightness(), 180);
}

TEST(Palettes, LightHasLightWindowsAndDarkText) {
  const QPalette palette = StudioPalette(StudioTheme::kLight);
  EXPECT_GT(palette.color(QPalette::Window).lightness(), 180);
  EXPECT_GT(palette.color(QPalette::Base).lightness(), 180);
  EXPECT_LT(palette.color(QPalette::WindowText).lightness(), 80);
  EXPECT_LT(palette.color(QPalette::Text).lightness(), 80);
}

TEST_P(ThemeTest, TextReadsWellOnItsBackground) {
  const QPalette palette = StudioPalette(GetParam());
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
    SCOPED_TRACE(group);
    EXPECT_GE(Contrast(palette.color(group, QPalette::WindowText), palette.color(group, QPalette::Window)), 4.5);
    EXPECT_GE(Contrast(palette.color(group, QPalette::Text), palette.color(group, QPalette::Base)), 4.5);
    EXPECT_GE(Contrast(palette.color(group, QPalette::ButtonText), palette.color(group, QPalette::Button)), 4.5);
    EXPECT_GE(Contrast(palette.color(group, QPalette::HighlightedText), palette.color(group, QPalette::Highlight)),
              4.5);
    EXPECT_GE(Contrast(palette.color(group, QPalette::ToolTipText), palette.color(group, QPalette::ToolTipBase)),
              4.5);
  }
  // Greyed text is still legible, yet plainly weaker than live text.
  const double disabled =
      Contrast(palette.color(QPalette::Disabled, QPalette::WindowText), palette.color(QPalette::Disabled, QPalette::Window));
  EXPECT_GE(disabled, 2.5);
  EXPECT_LT(disabled,
            Contrast(palette.color(QPalette::Active, QPalette::WindowText), palette.color(QPalette::Active, QPalette::Window)));
}

TEST_P(ThemeTest, ApplyingSetsFusionThePaletteToolTipsAndADarkerWorkspace) {
  const QPalette expected = StudioPalette(GetParam());
  auto* proxy = qobject_cast<QProxyStyle*>(QApplication::style());
  ASSERT_NE(proxy, nullptr);
  EXPECT_EQ(proxy->baseStyle()->name().toLower(), "fusion");
  EXPECT_EQ(QApplication::palette().color(QPalette::Window), expected.color(QPalette::Window));
  EXPECT_EQ(QApplication::palette().color(QPalette::Highlight), expected.color(QPalette::Highlight));
  EXPECT_EQ(QToolTip::palette().color(QPalette::ToolTipBase), expected.color(QPalette::ToolTipBase));
  EXPECT_EQ(QToolTip::palette().color(QPalette::ToolTipText), expected.color(QPalette::ToolTipText));

  QMdiArea area;
  area.setBackground(Qt::white);  // what a frame might have set before it is shown
  area.ensurePolished();
  EXPECT_LT(area.background().color().lightness(), expected.color(QPalette::Window).lightness());
}

TEST(Themes, SwitchingRestylesAnExistingWorkspace) {
  ApplyStudioTheme(*qApp, StudioTheme::kDark);
  QMdiArea area;
  area.ensurePolished();
  const int darkLightness = area.background().color().lightness();
  ApplyStudioTheme(*qApp, StudioTheme::kLight);
  EXPECT_GT(area.background().color().lightness(), darkLightness);
  EXPECT_LT(area.background().color().lightness(), QApplication::palette().color(QPalette::Window).lightness());
}

INSTANTIATE_TEST_SUITE_P(BothThemes, ThemeTest, ::testing::Values(StudioTheme::kDark, StudioTheme::kLight),
                         [](const ::testing::TestParamInfo<StudioTheme>& info) {
                           return info.param == StudioTheme::kDark ? std::string("Dark") : std::string("Light");
                         });

struct ArgumentCase {
  QStringList args;
  QString environment;
  StudioTheme expected;
};

TEST(ThemeFromArguments, OptionThenEnvironmentThenDark) {
  using enum StudioTheme;
  const ArgumentCase cases[] = {
      {{"corvalind"}, "", kDark},
      {{"corvalind", "project.cvd"}, "", kDark},
      {{"corvalind", "--theme", "light"}, "", kLight},
      {{"corvalind", "--theme", "dark"}, "light", kDark},
      {{"corvalind", "--theme=light"}, "", kLight},
      {{"corvalind", "--theme", "LIGHT"}, "", kLight},
      {{"corvalind"}, "light", kLight},
      {{"corvalind"}, " Light ", kLight},
      {{"corvalind"}, "dark", kDark},
      {{"corvalind"}, "purple", kDark},
      {{"corvalind", "--theme", "purple"}, "light", kLight},
      {{"corvalind", "--theme"}, "light", kLight},
      {{"corvalind", "--theme", "light", "--theme", "dark"}, "", kDark},
      {{"corvalind", "--theme", "light", "--theme", "purple"}, "", kLight},
      {{"corvalind", "--demo", "--theme"}, "", kDark},
      {{"--theme=light"}, "", kDark},  // the program's own name is not an option
      {{"corvalind", "--themes=light"}, "", kDark},
  };
  for (const ArgumentCase& c : cases) {
    EXPECT_EQ(ThemeFromArguments(c.args, c.environment), c.expected)
        << qPrintable(c.args.join(' ')) << " with CORVALIND_THEME=" << qPrintable(c.environment);
  }
}

TEST(ThemeFromArguments, ReadsTheProcessEnvironment) {
  qputenv("CORVALIND_THEME", "light");
  EXPECT_EQ(ThemeFromArguments({"corvalind"}), StudioTheme::kLight);
  EXPECT_EQ(ThemeFromArguments({"corvalind", "--theme", "dark"}), StudioTheme::kDark);
  qunsetenv("CORVALIND_THEME");
  EXPECT_EQ(ThemeFromArguments({"corvalind"}), StudioTheme::kDark);
}

}  // namespace
}  // namespace corvalind

int main(int argc, char** argv) {
  // Offscreen, with a temporary home, and no icon theme anywhere: what CI
  // and a bare machine have.
  corvalind::testing::TemporaryHome home("corvalind-theme");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  unsetenv("CORVALIND_THEME");
  QApplication app(argc, argv);
  const QString noThemes = QDir(QString::fromStdString(home.Root().string())).filePath("no-icon-themes");
  QDir().mkpath(noThemes);
  QIcon::setThemeSearchPaths({noThemes});
  QIcon::setFallbackSearchPaths({});
  QIcon::setThemeName(QString());
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

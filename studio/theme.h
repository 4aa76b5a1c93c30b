// The studio's look: Qt's Fusion style with a dark palette (the default, as
// video tools use) or Fusion's light one, and the icons of the window kinds
// and the main frame's commands.
//
// The entry point picks the theme from its arguments and environment
// (ThemeFromArguments) and applies it right after the QApplication exists
// (ApplyStudioTheme), before any window is built. The main frame asks for
// its icons (KindIcon, CommandIcon). Only colours, style and icons change:
// no text of the program does.
//
// Icons come from the desktop's freedesktop icon theme where it has a
// fitting one and otherwise from line icons bundled in the program (Qt
// resources under ":/corvalind/icons/"), so they appear on a machine
// without any icon theme too. A bundled icon draws its lines in a neutral
// grey that follows the application palette at paint time (light on a
// dark window, dark on a light one), keeps its group's accent colour, and
// draws all in the palette's disabled text colour when its action is
// greyed. Everything here runs on the UI thread only.
#pragma once

#include <QIcon>
#include <QPalette>
#include <QString>
#include <QStringList>
#include <optional>

class QApplication;

namespace corvalind {

enum class StudioTheme { kDark, kLight };

// The main frame's commands that have an icon.
enum class StudioCommand { kNew, kOpen, kSave, kAbout, kArrange, kCascade, kTile };

// "dark" or "light", in any case; nullopt for anything else.
std::optional<StudioTheme> ParseThemeName(const QString& name);

// The theme asked for by `--theme NAME` or `--theme=NAME` in `args` (as
// QCoreApplication::arguments(): the first is the program and is not
// read; the last valid option wins), else by `environmentValue` (the
// value of CORVALIND_THEME), else dark. An option or value that names no
// theme is ignored.
StudioTheme ThemeFromArguments(const QStringList& args, const QString& environmentValue);
// The same with the process's CORVALIND_THEME.
StudioTheme ThemeFromArguments(const QStringList& args);

// The full palette of `theme` (all three colour groups), as
// ApplyStudioTheme installs it.
QPalette StudioPalette(StudioTheme theme);

// Sets the Fusion style and the palette of `theme` on `app` and on tool
// tips; workspaces (QMdiArea) get a background darker than the windows.
// May be called again to switch themes: existing widgets are restyled.
void ApplyStudioTheme(QApplication& app, StudioTheme theme);

// The icon of a window kind (0 to 11, see WindowKind), for its command and
// its child windows; a null icon for numbers outside 0..11.
QIcon KindIcon(int kind);
// The icon of a main-frame command.
QIcon CommandIcon(StudioCommand command);

// The bundled icon alone, never the desktop theme's: what KindIcon gives
// on a machine without an icon theme. A null icon for numbers outside
// 0..11.
QIcon BundledKindIcon(int kind);
QIcon BundledCommandIcon(StudioCommand command);

}  // namespace corvalind

// corvalind-player: shows the studio's program picture by playing the
// virtual camera, in a window and optionally on a DeckLink card.
//
//   corvalind-player [--buffer-name NAME]
//
// The exit code is the dialog's result: 1 when closed with Enter, 0 with
// Escape or the close box; 2 for a bad command line or no GStreamer.
#include <gst/gst.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/camera_plugin.h"
#include "player/player_dialog.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf("usage: corvalind-player [--buffer-name NAME]\n");
      return 0;
    }
  }
  // Qt would abort without a display; say so instead.
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if ((platform == nullptr || *platform == '\0') && std::getenv("DISPLAY") == nullptr &&
      std::getenv("WAYLAND_DISPLAY") == nullptr) {
    std::fprintf(stderr, "corvalind-player: no display (neither DISPLAY nor WAYLAND_DISPLAY is set)\n");
    return 2;
  }
  QApplication app(argc, argv);
  QGuiApplication::setDesktopFileName("org.corvalind.CorvalindPlayer");
  corvalind::PlayerOptions options;
  // QApplication took its own options (-platform, -display ...) out of
  // argc and argv.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--buffer-name") == 0 && i + 1 < argc) {
      options.bufferName = argv[++i];
    } else {
      std::fprintf(stderr, "usage: corvalind-player [--buffer-name NAME]\n");
      return 2;
    }
  }
  // Beside the program in a build tree or an installation under any
  // prefix; GStreamer's own folders are searched all the same.
  corvalind::UseCameraPluginBesideProgram();
  GError* error = nullptr;
  if (!gst_init_check(nullptr, nullptr, &error)) {
    std::fprintf(stderr, "corvalind-player: GStreamer: %s\n", error != nullptr ? error->message : "cannot start");
    if (error != nullptr) g_error_free(error);
    return 2;
  }
  corvalind::CMainDlg dialog(std::move(options));
  return dialog.exec();
}

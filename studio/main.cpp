// corvalind: the studio.
//
//   corvalind [PROJECT.cvd]           the studio
//   corvalind --demo DIR              makes the demo (pictures, project) in DIR and opens it
//   corvalind --screenshots DIR       writes pictures of the windows and dialogs, then quits
//   corvalind --output FILE.png       also writes the program picture once it runs
//   corvalind --quit-after SECONDS    ends by itself (tests, unattended runs)
//   corvalind --theme dark|light      the look (dark unless CORVALIND_THEME says otherwise)
//   corvalind --output-name NAME      publishes under a private output-buffer
//                                     name (a test studio beside a real one)
//   corvalind --v4l2 DEVICE|off       writes the program into a V4L2 loopback
//                                     device as well (or not), for this run
//   corvalind --remote [PORT]         serves the remote control for this run
//                                     (on 127.0.0.1, the kept port by default)
//   corvalind --remote-address ADDR   ... on another address (other hosts)
//   corvalind --crash-report LOG      the report process of a crashed studio:
//                                     makes its crash log readable and tells
//                                     the user where it is, then exits
//
// SIGTERM, SIGINT and SIGHUP end it as File > Exit does. A crash writes
// Corvalind.log in the documents folder and starts `--crash-report`.
//
// Without a display (no DISPLAY or WAYLAND_DISPLAY) it runs on Qt's
// offscreen platform: the windows exist, nobody sees them, and the program
// still goes out through the virtual camera.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QDir>
#include <QFileInfo>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "engine/messages.h"
#include "engine/program_output_loop.h"
#include "engine/source_slot.h"
#include "engine/transition.h"
#include "engine/video_engine.h"
#include "platform/camera_plugin.h"
#include "platform/crash/crash_handler.h"
#include "platform/crash/crash_report.h"
#include "platform/folders.h"
#include "platform/instance_lock.h"
#include "platform/output_block.h"
#include "studio/demo/demo_assets.h"
#include "studio/forms/loopback_choice.h"
#include "studio/forms/remote_choice.h"
#include "studio/remote/studio_remote.h"
#include "studio/main_window.h"
#include "studio/forms/program_form.h"
#include "studio/forms/preview_widget.h"
#include "studio/files/scene_list_file.h"
#include "studio/forms/scene_manager.h"
#include "studio/demo/screenshots.h"
#include "studio/shutdown_signals.h"
#include "studio/theme.h"
#include "studio/studio_settings.h"

namespace {

struct Options {
  QString project;
  QString demo;
  QString screenshots;
  QString output;
  QString outputName;
  QString loopback;
  bool loopbackGiven = false;
  bool remote = false;
  int remotePort = 0;  // 0: the kept one
  QString remoteAddress;
  int quitAfterSeconds = 0;
};

bool ParseOptions(const QStringList& args, Options* options) {
  for (int i = 1; i < args.size(); ++i) {
    const QString& arg = args[i];
    if (arg == "--demo" && i + 1 < args.size()) {
      options->demo = args[++i];
    } else if (arg == "--screenshots" && i + 1 < args.size()) {
      options->screenshots = args[++i];
    } else if (arg == "--output" && i + 1 < args.size()) {
      options->output = args[++i];
    } else if (arg == "--output-name" && i + 1 < args.size()) {
      options->outputName = args[++i];
    } else if (arg == "--remote") {
      options->remote = true;
      bool number = false;
      const int port = i + 1 < args.size() ? args[i + 1].toInt(&number) : 0;
      if (number) {
        if (port < 1 || port > 65535) {
          std::fprintf(stderr, "corvalind: %s is no port\n", qPrintable(args[i + 1]));
          return false;
        }
        options->remotePort = port;
        ++i;
      }
    } else if (arg == "--remote-address" && i + 1 < args.size()) {
      options->remote = true;
      options->remoteAddress = args[++i];
    } else if (arg == "--v4l2" && i + 1 < args.size()) {
      options->loopback = args[++i];
      options->loopbackGiven = true;
    } else if (arg == "--theme" && i + 1 < args.size()) {
      ++i;  // read by ThemeFromArguments
    } else if (arg.startsWith("--theme=")) {
    } else if (arg == "--quit-after" && i + 1 < args.size()) {
      options->quitAfterSeconds = args[++i].toInt();
    } else if (arg.startsWith("--")) {
      std::fprintf(stderr, "corvalind: unknown option %s\n", qPrintable(arg));
      return false;
    } else {
      options->project = arg;
    }
  }
  return true;
}

// Where the camera plugin of this studio is: beside the program in a build
// tree (bin/ and lib/gstreamer-1.0/), else where an install puts it.
QString CameraPluginFolder() {
  const QDir here(QCoreApplication::applicationDirPath());
  const QString built = QDir::cleanPath(here.absoluteFilePath("../lib/gstreamer-1.0"));
  if (QFileInfo::exists(built + "/libgstcorvalindcam.so")) return built;
  return QDir::cleanPath(here.absoluteFilePath("../" CORVALIND_INSTALL_LIBDIR "/gstreamer-1.0"));
}

bool RunsOffscreen() {
  const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
  if (platform.isEmpty()) {
    return qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
  }
  return platform.startsWith("offscreen");
}

// The report process: the crashed studio waits for it. Nothing of the
// studio starts here (no instance lock, no settings, no windows) and no
// crash handler, so a crash of the report cannot start another one.
int RunCrashReport(int argc, char** argv, const char* logPath) {
  const corvalind::CrashReport report = corvalind::ReportCrash(logPath);
  // Without a display nobody could see or close a box: standard error
  // says it all.
  if (RunsOffscreen()) return 0;
  QApplication app(argc, argv);
  if (QGuiApplication::platformName() == "offscreen") return 0;
  QMessageBox box(QMessageBox::Critical, "Quillbar Error", QString::fromStdString(report.message), QMessageBox::Ok);
  box.exec();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace corvalind;
  if (argc == 3 && std::strcmp(argv[1], "--crash-report") == 0) return RunCrashReport(argc, argv, argv[2]);
  if (!InstallCrashHandler(CrashLogPath(), {"--crash-report"})) {
    std::fprintf(stderr, "corvalind: the crash handler is not installed\n");
  }
  // The recorder, the stream and the player read the program through the
  // camera element: it is found beside the program in a build tree or an
  // installation under any prefix, and in GStreamer's own folders.
  UseCameraPluginBesideProgram();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
      qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName("Corvalind");
  // The installed menu entry, so desktops match the windows to its icon.
  QGuiApplication::setDesktopFileName("org.corvalind.Corvalind");
  ApplyStudioTheme(app, ThemeFromArguments(QApplication::arguments()));
  Options options;
  if (!ParseOptions(QApplication::arguments(), &options)) return 2;
  if (options.loopbackGiven) {
    OverrideLoopbackDevice(options.loopback == "off" ? std::string() : options.loopback.toStdString());
  }

  // One studio per user publishes for the cameras; a second one runs
  // standalone with a private output buffer.
  ShutdownSignals shutdown;
  QObject::connect(&shutdown, &ShutdownSignals::received, &app, [](int) { QApplication::quit(); });

  InstanceLock instance;
  std::string bufferName = options.outputName.isEmpty() ? kOutputBufferName : options.outputName.toStdString();
  QString title = "Corvalind";
  if (!instance.Acquire()) {
    std::random_device seed;
    bufferName += "_" + std::to_string(std::uniform_int_distribution<int>(0, 999)(seed));
    title += " (standalone)";
  }

  OutputFormat& format = GlobalOutputFormat();
  std::string settingsWarning;
  LoadStudioSettings(format, &settingsWarning);
  std::unique_ptr<VideoEngine> engine = VideoEngine::Create(GlobalSourceSlots(), format);
  if (!engine) {
    ShowMessageBox("Out of memory!", "Error");
    return 0;
  }

  int result = 0;
  {
    QString project = options.project;
    if (!options.demo.isEmpty()) {
      project = WriteDemoAssets(options.demo);
      if (project.isEmpty()) std::fprintf(stderr, "corvalind: cannot write the demo into %s\n", qPrintable(options.demo));
      // The demo scene list goes to the documents folder only when the
      // user has none.
      if (!QFileInfo::exists(QString::fromStdString(SceneListPath("scenes.xml")))) {
        StoreDemoProjectScenes(*engine);
        SaveScenes(*engine, "scenes.xml");
      }
    }

    CMainFrame window(*engine, format, bufferName, title);
    window.showMaximized();
    // The remote control: the kept choice, or the command line's for this
    // run; Settings Control applies a new choice at once.
    StudioRemote remote(window, *engine, format);
    const auto applyRemote = [&remote](const RemoteControlChoice& choice) {
      remote.Stop();
      if (!choice.enabled) return QString("Remote control is off");
      RemoteServerSettings settings;
      QString reason;
      if (!RemoteServerSettingsOf(choice, &settings, &reason) || !remote.Start(settings, &reason)) {
        return QString("Remote control cannot start: %1").arg(reason);
      }
      return QString("Remote control on ws://%1:%2/").arg(settings.address.toString()).arg(remote.Server().Port());
    };
    SetRemoteControlApplier(applyRemote);
    RemoteControlChoice remoteChoice = ReadRemoteControlChoice();
    if (options.remote) {
      remoteChoice.enabled = true;
      if (options.remotePort > 0) remoteChoice.port = options.remotePort;
      if (!options.remoteAddress.isEmpty()) remoteChoice.address = options.remoteAddress;
    }
    if (remoteChoice.enabled) {
      const QString said = applyRemote(remoteChoice);
      SetStatusText(said.toStdString());
      std::printf("%s\n", qPrintable(said));
      std::fflush(stdout);
    }
    // Said once, now that the status bar exists.
    if (!settingsWarning.empty()) SetStatusText(settingsWarning);
    if (QGuiApplication::platformName() == "offscreen") {
      std::printf("Corvalind runs without a display. Watch the program through the virtual camera:\n"
                  "  GST_PLUGIN_PATH=%s gst-launch-1.0 corvalindcamsrc ! videoconvert ! autovideosink\n",
                  qPrintable(CameraPluginFolder()));
      std::fflush(stdout);
    }
    const bool quick = !options.screenshots.isEmpty();
    if (!project.isEmpty() && !window.LoadProject(project, quick ? 100 : 1000, quick ? 300 : 4000)) {
      SetStatusText("Cannot open the project " + project.toStdString());
    }
    if (!options.demo.isEmpty()) {
      QObject::connect(&window, &CMainFrame::projectLoaded, &window, [&window] {
        PlaceDemoSceneManager(window);
        // The demo loops through its scenes with a blend.
        if (CViewSceneManager* manager = window.SceneManager()) {
          manager->EffectList()->setCurrentIndex(kTransitionBlend);
          for (int i = 0; i < std::min(4, manager->SceneList()->count()); ++i) manager->LoopCheck(i)->setChecked(true);
          manager->PeriodEdit()->setText("4");
          manager->ToggleLoop();
        }
      });
    }
    if (!options.screenshots.isEmpty()) {
      if (project.isEmpty()) {
        window.OpenWindow(kKindProgram);
        window.OpenWindow(kKindSceneManager);
      }
      QTimer::singleShot(3000, &window, [&window, &options] {
        const int written = WriteScreenshots(window, options.screenshots);
        std::printf("%d screenshots written to %s\n", written, qPrintable(options.screenshots));
        QApplication::exit(written > 0 ? 0 : 1);
      });
    }
    if (!options.output.isEmpty()) {
      QTimer::singleShot(options.demo.isEmpty() ? 1500 : 8000, &window, [&window, &options] {
        CViewProgramForm* view = window.ProgramView();
        const QImage picture = view ? view->Preview()->LatestImage() : QImage();
        if (!picture.isNull() && picture.save(options.output)) {
          std::printf("Program picture written to %s\n", qPrintable(options.output));
        } else {
          std::printf("No program picture to write (is the Video Output window open?)\n");
        }
        std::fflush(stdout);
      });
    }
    if (options.quitAfterSeconds > 0) {
      QTimer::singleShot(options.quitAfterSeconds * 1000, &app, &QApplication::quit);
    }
    result = app.exec();
    SetRemoteControlApplier(nullptr);
  }
  return result;
}

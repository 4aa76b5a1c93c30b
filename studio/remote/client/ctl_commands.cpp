#include "ctl_commands.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QMap>
#include <QRegularExpression>

#include <limits>
#include <utility>

namespace corvalind {

namespace {

// A command's words after its name: the plain arguments and the --options
// it takes (last one wins when repeated). A lone "--" ends the options, so
// a path that starts with dashes can still be given.
struct Words {
  QStringList positional;
  QMap<QString, QString> options;
};

bool SplitWords(const QString& command, const QStringList& args, const QStringList& optionNames, Words* out,
                QString* error) {
  bool optionsEnded = false;
  for (qsizetype i = 0; i < args.size(); ++i) {
    const QString& word = args[i];
    if (optionsEnded || !word.startsWith(QLatin1String("--"))) {
      out->positional << word;
      continue;
    }
    if (word == QLatin1String("--")) {
      optionsEnded = true;
      continue;
    }
    const qsizetype equals = word.indexOf('=');
    const QString name = word.mid(2, equals < 0 ? -1 : equals - 2);
    if (!optionNames.contains(name)) {
      *error = QStringLiteral("%1: unknown option --%2").arg(command, name);
      return false;
    }
    if (equals >= 0) {
      out->options[name] = word.mid(equals + 1);
    } else if (i + 1 < args.size()) {
      out->options[name] = args[++i];
    } else {
      *error = QStringLiteral("%1: --%2 needs a value").arg(command, name);
      return false;
    }
  }
  return true;
}

bool CountIs(const QString& command, const Words& words, qsizetype least, qsizetype most, const QString& form,
             QString* error) {
  const qsizetype n = words.positional.size();
  if (n < least) {
    *error = QStringLiteral("%1: missing arguments (%2)").arg(command, form);
    return false;
  }
  if (n > most) {
    *error = QStringLiteral("%1: too many arguments (%2)").arg(command, form);
    return false;
  }
  return true;
}

bool ToInt(const QString& command, const QString& what, const QString& text, int* out, QString* error) {
  bool ok = false;
  const int value = text.trimmed().toInt(&ok);
  if (!ok) {
    *error = QStringLiteral("%1: %2 must be a whole number, not '%3'").arg(command, what, text);
    return false;
  }
  *out = value;
  return true;
}

bool ToDouble(const QString& command, const QString& what, const QString& text, double* out, QString* error) {
  bool ok = false;
  const double value = text.trimmed().toDouble(&ok);
  if (!ok) {
    *error = QStringLiteral("%1: %2 must be a number, not '%3'").arg(command, what, text);
    return false;
  }
  *out = value;
  return true;
}

bool ToSwitch(const QString& command, const QString& what, const QString& text, bool* out, QString* error) {
  const QString word = text.toLower();
  if (word == QLatin1String("on") || word == QLatin1String("true")) {
    *out = true;
  } else if (word == QLatin1String("off") || word == QLatin1String("false")) {
    *out = false;
  } else {
    *error = QStringLiteral("%1: %2 must be on or off, not '%3'").arg(command, what, text);
    return false;
  }
  return true;
}

// A value that can be a number or a name (a transition, a camera device):
// whole numbers go as numbers, anything else as the text.
QJsonValue NumberOrName(const QString& text) {
  bool ok = false;
  const int number = text.toInt(&ok);
  return ok ? QJsonValue(number) : QJsonValue(text);
}

QString Absolute(const QString& path) { return QFileInfo(path).absoluteFilePath(); }

// Commands of the form "NAME ID" whose one argument is a window id.
bool IdOnly(const QString& command, const QString& request, const Words& words, CtlCommand* out, QString* error) {
  int id = 0;
  if (!CountIs(command, words, 1, 1, command + QStringLiteral(" ID"), error) ||
      !ToInt(command, QStringLiteral("the window id"), words.positional[0], &id, error)) {
    return false;
  }
  out->request = request;
  out->params = {{QStringLiteral("id"), id}};
  return true;
}

bool NoArguments(const QString& command, const QString& request, const Words& words, CtlCommand* out,
                 QString* error) {
  if (!CountIs(command, words, 0, 0, command, error)) return false;
  out->request = request;
  return true;
}

bool ParseSwitch(const Words& words, CtlCommand* out, QString* error) {
  const QString command = QStringLiteral("switch");
  int scene = 0;
  if (!CountIs(command, words, 1, 1, QStringLiteral("switch SCENE [--transition T]"), error) ||
      !ToInt(command, QStringLiteral("the scene"), words.positional[0], &scene, error)) {
    return false;
  }
  out->request = QStringLiteral("scene.switch");
  out->params = {{QStringLiteral("scene"), scene}};
  if (words.options.contains(QStringLiteral("transition"))) {
    out->params.insert(QStringLiteral("transition"), NumberOrName(words.options[QStringLiteral("transition")]));
  }
  return true;
}

bool ParseLoop(const QString& sub, const Words& words, CtlCommand* out, QString* error) {
  const QString command = QStringLiteral("loop ") + sub;
  if (sub == QLatin1String("stop")) return NoArguments(command, QStringLiteral("loop.stop"), words, out, error);
  if (sub == QLatin1String("status")) return NoArguments(command, QStringLiteral("loop.status"), words, out, error);
  if (sub != QLatin1String("start")) {
    *error = QStringLiteral("loop: unknown command '%1' (start, stop or status)").arg(sub);
    return false;
  }
  int seconds = 0;
  if (!CountIs(command, words, 3, std::numeric_limits<qsizetype>::max(),
               QStringLiteral("loop start SECONDS SCENE SCENE..."), error) ||
      !ToInt(command, QStringLiteral("the seconds"), words.positional[0], &seconds, error)) {
    return false;
  }
  QJsonArray scenes;
  for (qsizetype i = 1; i < words.positional.size(); ++i) {
    int scene = 0;
    if (!ToInt(command, QStringLiteral("a scene"), words.positional[i], &scene, error)) return false;
    scenes.append(scene);
  }
  out->request = QStringLiteral("loop.start");
  out->params = {{QStringLiteral("seconds"), seconds}, {QStringLiteral("scenes"), scenes}};
  return true;
}

bool ParseVideo(const QString& sub, const Words& words, CtlCommand* out, QString* error) {
  const QString command = QStringLiteral("video ") + sub;
  if (sub == QLatin1String("play") || sub == QLatin1String("pause") || sub == QLatin1String("stop") ||
      sub == QLatin1String("status")) {
    return IdOnly(command, QStringLiteral("videofile.") + sub, words, out, error);
  }
  int id = 0;
  if (sub == QLatin1String("load")) {
    if (!CountIs(command, words, 2, 2, QStringLiteral("video load ID PATH"), error) ||
        !ToInt(command, QStringLiteral("the window id"), words.positional[0], &id, error)) {
      return false;
    }
    out->request = QStringLiteral("videofile.load");
    out->params = {{QStringLiteral("id"), id}, {QStringLiteral("path"), Absolute(words.positional[1])}};
    return true;
  }
  if (sub == QLatin1String("seek")) {
    double percent = 0;
    if (!CountIs(command, words, 2, 2, QStringLiteral("video seek ID PERCENT"), error) ||
        !ToInt(command, QStringLiteral("the window id"), words.positional[0], &id, error) ||
        !ToDouble(command, QStringLiteral("the percent"), words.positional[1], &percent, error)) {
      return false;
    }
    out->request = QStringLiteral("videofile.seek");
    out->params = {{QStringLiteral("id"), id}, {QStringLiteral("percent"), percent}};
    return true;
  }
  *error = QStringLiteral("video: unknown command '%1' (load, play, pause, stop, seek or status)").arg(sub);
  return false;
}

bool ParseSlideshow(const QString& sub, const Words& words, CtlCommand* out, QString* error) {
  const QString command = QStringLiteral("slideshow ") + sub;
  if (sub == QLatin1String("next") || sub == QLatin1String("prev")) {
    return IdOnly(command, QStringLiteral("slideshow.") + sub, words, out, error);
  }
  if (sub != QLatin1String("start")) {
    *error = QStringLiteral("slideshow: unknown command '%1' (start, next or prev)").arg(sub);
    return false;
  }
  int id = 0;
  int seconds = 0;
  if (!CountIs(command, words, 3, 3, QStringLiteral("slideshow start ID FOLDER SECONDS"), error) ||
      !ToInt(command, QStringLiteral("the window id"), words.positional[0], &id, error) ||
      !ToInt(command, QStringLiteral("the seconds"), words.positional[2], &seconds, error)) {
    return false;
  }
  out->request = QStringLiteral("slideshow.start");
  out->params = {{QStringLiteral("id"), id},
                 {QStringLiteral("folder"), Absolute(words.positional[1])},
                 {QStringLiteral("seconds"), seconds}};
  return true;
}

bool ParseImage(const QString& sub, const Words& words, CtlCommand* out, QString* error) {
  const QString command = QStringLiteral("image ") + sub;
  if (sub == QLatin1String("set")) {
    if (!CountIs(command, words, 2, 2, QStringLiteral("image set LAYER PATH"), error)) return false;
    out->request = QStringLiteral("image.set");
    out->params = {{QStringLiteral("layer"), words.positional[0]},
                   {QStringLiteral("path"), Absolute(words.positional[1])}};
    return true;
  }
  if (sub == QLatin1String("enable")) {
    bool enabled = false;
    if (!CountIs(command, words, 2, 2, QStringLiteral("image enable LAYER on|off"), error) ||
        !ToSwitch(command, QStringLiteral("the state"), words.positional[1], &enabled, error)) {
      return false;
    }
    out->request = QStringLiteral("image.enable");
    out->params = {{QStringLiteral("layer"), words.positional[0]}, {QStringLiteral("enabled"), enabled}};
    return true;
  }
  *error = QStringLiteral("image: unknown command '%1' (set or enable)").arg(sub);
  return false;
}

bool ParseRecord(const QString& sub, const Words& words, CtlCommand* out, QString* error) {
  const QString command = QStringLiteral("record ") + sub;
  if (sub == QLatin1String("stop")) return NoArguments(command, QStringLiteral("recorder.stop"), words, out, error);
  if (sub == QLatin1String("status")) {
    return NoArguments(command, QStringLiteral("recorder.status"), words, out, error);
  }
  if (sub == QLatin1String("options")) {
    return NoArguments(command, QStringLiteral("recorder.options"), words, out, error);
  }
  if (sub == QLatin1String("configure")) {
    if (!CountIs(command, words, 0, 0,
                 QStringLiteral("record configure [--video NAME] [--audio-source NAME] [--audio NAME] [--mkv on|off]"),
                 error)) {
      return false;
    }
    QJsonObject params;
    for (auto [option, key] : {std::pair{"video", "videoEncoder"}, std::pair{"audio-source", "audioSource"},
                               std::pair{"audio", "audioEncoder"}}) {
      const QString name = QLatin1String(option);
      if (words.options.contains(name)) params.insert(QLatin1String(key), words.options[name]);
    }
    if (words.options.contains(QStringLiteral("mkv"))) {
      bool mkv = false;
      if (!ToSwitch(command, QStringLiteral("--mkv"), words.options[QStringLiteral("mkv")], &mkv, error)) return false;
      params.insert(QStringLiteral("matroska"), mkv);
    }
    if (params.isEmpty()) {
      *error = QStringLiteral("record configure: nothing to change (--video, --audio-source, --audio or --mkv)");
      return false;
    }
    out->request = QStringLiteral("recorder.configure");
    out->params = params;
    return true;
  }
  if (sub != QLatin1String("start")) {
    *error = QStringLiteral("record: unknown command '%1' (start, stop, status, options or configure)").arg(sub);
    return false;
  }
  if (!CountIs(command, words, 0, 1, QStringLiteral("record start [PATH]"), error)) return false;
  out->request = QStringLiteral("recorder.start");
  if (!words.positional.isEmpty()) out->params = {{QStringLiteral("path"), Absolute(words.positional[0])}};
  return true;
}

bool ParseNetwork(const QString& sub, const Words& words, CtlCommand* out, QString* error) {
  const QString command = QStringLiteral("network ") + sub;
  if (sub != QLatin1String("start") && sub != QLatin1String("stop") && sub != QLatin1String("status")) {
    *error = QStringLiteral("network: unknown command '%1' (start, stop or status)").arg(sub);
    return false;
  }
  if (!CountIs(command, words, 0, 1, command + QStringLiteral(" [ID]"), error)) return false;
  out->request = QStringLiteral("network.") + sub;
  if (!words.positional.isEmpty()) {
    int id = 0;
    if (!ToInt(command, QStringLiteral("the window id"), words.positional[0], &id, error)) return false;
    out->params = {{QStringLiteral("id"), id}};
  }
  return true;
}

// stream start [URL] [--key KEY] [--passphrase TEXT]: what is not given is
// what the studio's Stream Output window holds (the key and passphrase of
// the last stream are kept by the studio).
bool ParseStream(const QString& sub, const Words& words, CtlCommand* out, QString* error) {
  const QString command = QStringLiteral("stream ") + sub;
  if (sub == QLatin1String("stop") || sub == QLatin1String("status")) {
    if (!CountIs(command, words, 0, 0, command, error)) return false;
    out->request = QStringLiteral("stream.") + sub;
    return true;
  }
  if (sub != QLatin1String("start")) {
    *error = QStringLiteral("stream: unknown command '%1' (start, stop or status)").arg(sub);
    return false;
  }
  if (!CountIs(command, words, 0, 1, QStringLiteral("stream start [URL] [--key KEY] [--passphrase TEXT]"), error)) {
    return false;
  }
  out->request = QStringLiteral("stream.start");
  QJsonObject params;
  if (!words.positional.isEmpty()) params.insert(QStringLiteral("url"), words.positional[0]);
  for (const char* name : {"key", "passphrase"}) {
    if (words.options.contains(QLatin1String(name))) params.insert(QLatin1String(name), words.options[QLatin1String(name)]);
  }
  out->params = params;
  return true;
}

bool ParseCamera(const QString& sub, const Words& words, CtlCommand* out, QString* error) {
  const QString command = QStringLiteral("camera ") + sub;
  if (sub == QLatin1String("devices")) return IdOnly(command, QStringLiteral("camera.devices"), words, out, error);
  if (sub != QLatin1String("choose")) {
    *error = QStringLiteral("camera: unknown command '%1' (devices or choose)").arg(sub);
    return false;
  }
  int id = 0;
  if (!CountIs(command, words, 2, 2, QStringLiteral("camera choose ID DEVICE"), error) ||
      !ToInt(command, QStringLiteral("the window id"), words.positional[0], &id, error)) {
    return false;
  }
  out->request = QStringLiteral("camera.choose");
  out->params = {{QStringLiteral("id"), id}, {QStringLiteral("device"), NumberOrName(words.positional[1])}};
  return true;
}

bool ParseSettings(const Words& words, CtlCommand* out, QString* error) {
  const QString command = QStringLiteral("settings");
  if (!CountIs(command, words, 0, 0, QStringLiteral("settings [--auto-key on|off] [--key-color #rrggbb] "
                                                    "[--range R] [--bilinear on|off]"),
               error)) {
    return false;
  }
  QJsonObject params;
  for (auto [option, key] : {std::pair{"auto-key", "autoKey"}, std::pair{"bilinear", "bilinear"}}) {
    const QString name = QLatin1String(option);
    if (!words.options.contains(name)) continue;
    bool value = false;
    if (!ToSwitch(command, QStringLiteral("--") + name, words.options[name], &value, error)) return false;
    params.insert(QLatin1String(key), value);
  }
  if (words.options.contains(QStringLiteral("key-color"))) {
    const QString color = words.options[QStringLiteral("key-color")];
    static const QRegularExpression rrggbb(QStringLiteral("^#[0-9A-Fa-f]{6}$"));
    if (!rrggbb.match(color).hasMatch()) {
      *error = QStringLiteral("settings: --key-color must be #rrggbb, not '%1'").arg(color);
      return false;
    }
    params.insert(QStringLiteral("keyColor"), color);
  }
  if (words.options.contains(QStringLiteral("range"))) {
    double range = 0;
    if (!ToDouble(command, QStringLiteral("--range"), words.options[QStringLiteral("range")], &range, error)) {
      return false;
    }
    params.insert(QStringLiteral("range"), range);
  }
  out->request = params.isEmpty() ? QStringLiteral("settings.get") : QStringLiteral("settings.set");
  out->params = params;
  return true;
}

bool ParseThumbnail(const Words& words, CtlCommand* out, QString* error) {
  const QString command = QStringLiteral("thumbnail");
  if (!CountIs(command, words, 1, 1, QStringLiteral("thumbnail FILE [--width W] [--format png|jpeg]"), error)) {
    return false;
  }
  out->request = QStringLiteral("program.thumbnail");
  out->outputFile = words.positional[0];
  if (words.options.contains(QStringLiteral("width"))) {
    int width = 0;
    if (!ToInt(command, QStringLiteral("--width"), words.options[QStringLiteral("width")], &width, error)) {
      return false;
    }
    out->params.insert(QStringLiteral("width"), width);
  }
  // Without --format the file's ending picks it; the studio's default
  // otherwise.
  QString format = words.options.value(QStringLiteral("format"));
  if (format.isEmpty() && !words.options.contains(QStringLiteral("format"))) {
    const QString suffix = QFileInfo(out->outputFile).suffix().toLower();
    if (suffix == QLatin1String("png")) format = QStringLiteral("png");
    if (suffix == QLatin1String("jpg") || suffix == QLatin1String("jpeg")) format = QStringLiteral("jpeg");
    if (format.isEmpty()) return true;
  }
  if (format != QLatin1String("png") && format != QLatin1String("jpeg")) {
    *error = QStringLiteral("thumbnail: --format must be png or jpeg, not '%1'").arg(format);
    return false;
  }
  out->params.insert(QStringLiteral("format"), format);
  return true;
}

}  // namespace

bool ParseCtlOptions(const QStringList& args, CtlOptions* out, QString* error) {
  *out = CtlOptions{};
  qsizetype i = 0;
  for (; i < args.size(); ++i) {
    const QString& word = args[i];
    if (word == QLatin1String("--")) {
      ++i;
      break;
    }
    if (!word.startsWith('-')) break;
    if (word == QLatin1String("--help") || word == QLatin1String("-h")) {
      out->help = true;
      continue;
    }
    const qsizetype equals = word.indexOf('=');
    const QString name = word.left(equals);
    if (name != QLatin1String("--host") && name != QLatin1String("--port") && name != QLatin1String("--password") &&
        name != QLatin1String("--timeout")) {
      *error = QStringLiteral("unknown option %1").arg(name);
      return false;
    }
    QString value;
    if (equals >= 0) {
      value = word.mid(equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      *error = QStringLiteral("%1 needs a value").arg(name);
      return false;
    }
    bool ok = false;
    if (name == QLatin1String("--host")) {
      if (value.isEmpty()) {
        *error = QStringLiteral("--host needs a host name or address");
        return false;
      }
      out->host = value;
    } else if (name == QLatin1String("--port")) {
      const uint port = value.toUInt(&ok);
      if (!ok || port < 1 || port > 65535) {
        *error = QStringLiteral("--port must be a port number from 1 to 65535, not '%1'").arg(value);
        return false;
      }
      out->port = quint16(port);
    } else if (name == QLatin1String("--password")) {
      out->password = value;
      out->havePassword = true;
    } else {
      const int timeout = value.toInt(&ok);
      if (!ok || timeout < 1) {
        *error = QStringLiteral("--timeout must be a number of milliseconds above 0, not '%1'").arg(value);
        return false;
      }
      out->timeoutMs = timeout;
    }
  }
  out->command = args.mid(i);
  return true;
}

bool ParseCtlCommand(const QStringList& args, CtlCommand* out, QString* error) {
  *out = CtlCommand{};
  if (args.isEmpty()) {
    *error = QStringLiteral("no command");
    return false;
  }
  const QString name = args[0];

  // The text goes out unchanged, whatever it looks like.
  if (name == QLatin1String("raw")) {
    if (args.size() != 2) {
      *error = QStringLiteral("raw: %1 (raw JSON)")
                   .arg(args.size() < 2 ? QStringLiteral("missing arguments") : QStringLiteral("too many arguments"));
      return false;
    }
    out->raw = true;
    out->rawText = args[1].toUtf8();
    return true;
  }

  // Commands with a second word name the request within their group.
  static const QStringList grouped = {QStringLiteral("loop"),    QStringLiteral("video"),
                                      QStringLiteral("slideshow"), QStringLiteral("image"),
                                      QStringLiteral("record"),  QStringLiteral("network"),
                                      QStringLiteral("stream"),  QStringLiteral("camera")};
  if (grouped.contains(name)) {
    if (args.size() < 2) {
      *error = QStringLiteral("%1: missing arguments (a command of the group)").arg(name);
      return false;
    }
    const QString sub = args[1];
    Words words;
    QStringList groupOptions;
    if (name == QLatin1String("record") && sub == QLatin1String("configure")) {
      groupOptions = {QStringLiteral("video"), QStringLiteral("audio-source"), QStringLiteral("audio"),
                      QStringLiteral("mkv")};
    }
    if (name == QLatin1String("stream") && sub == QLatin1String("start")) {
      groupOptions = {QStringLiteral("key"), QStringLiteral("passphrase")};
    }
    if (!SplitWords(name + ' ' + sub, args.mid(2), groupOptions, &words, error)) return false;
    if (name == QLatin1String("loop")) return ParseLoop(sub, words, out, error);
    if (name == QLatin1String("video")) return ParseVideo(sub, words, out, error);
    if (name == QLatin1String("slideshow")) return ParseSlideshow(sub, words, out, error);
    if (name == QLatin1String("image")) return ParseImage(sub, words, out, error);
    if (name == QLatin1String("record")) return ParseRecord(sub, words, out, error);
    if (name == QLatin1String("network")) return ParseNetwork(sub, words, out, error);
    if (name == QLatin1String("stream")) return ParseStream(sub, words, out, error);
    return ParseCamera(sub, words, out, error);
  }

  QStringList optionNames;
  if (name == QLatin1String("switch")) optionNames = {QStringLiteral("transition")};
  if (name == QLatin1String("settings")) {
    optionNames = {QStringLiteral("auto-key"), QStringLiteral("key-color"), QStringLiteral("range"),
                   QStringLiteral("bilinear")};
  }
  if (name == QLatin1String("thumbnail")) optionNames = {QStringLiteral("width"), QStringLiteral("format")};
  Words words;
  if (!SplitWords(name, args.mid(1), optionNames, &words, error)) return false;

  if (name == QLatin1String("status")) return NoArguments(name, QStringLiteral("studio.status"), words, out, error);
  if (name == QLatin1String("scenes")) return NoArguments(name, QStringLiteral("scenes.list"), words, out, error);
  if (name == QLatin1String("transitions")) {
    return NoArguments(name, QStringLiteral("transitions.list"), words, out, error);
  }
  if (name == QLatin1String("windows")) return NoArguments(name, QStringLiteral("windows.list"), words, out, error);
  if (name == QLatin1String("switch")) return ParseSwitch(words, out, error);
  if (name == QLatin1String("quick")) {
    int button = 0;
    if (!CountIs(name, words, 1, 1, QStringLiteral("quick BUTTON"), error) ||
        !ToInt(name, QStringLiteral("the button"), words.positional[0], &button, error)) {
      return false;
    }
    out->request = QStringLiteral("scene.quick");
    out->params = {{QStringLiteral("button"), button}};
    return true;
  }
  if (name == QLatin1String("open")) {
    if (!CountIs(name, words, 1, 1, QStringLiteral("open KIND"), error)) return false;
    out->request = QStringLiteral("window.open");
    out->params = {{QStringLiteral("kind"), words.positional[0]}};
    return true;
  }
  if (name == QLatin1String("close")) return IdOnly(name, QStringLiteral("window.close"), words, out, error);
  if (name == QLatin1String("settings")) return ParseSettings(words, out, error);
  if (name == QLatin1String("thumbnail")) return ParseThumbnail(words, out, error);
  if (name == QLatin1String("events")) {
    if (!CountIs(name, words, 0, 0, name, error)) return false;
    out->events = true;
    return true;
  }
  *error = QStringLiteral("unknown command '%1'").arg(name);
  return false;
}

QString CtlUsage() {
  return QStringLiteral(
      "Usage: corvalind-ctl [--host HOST] [--port PORT] [--password PASSWORD] [--timeout MS] COMMAND [ARGUMENTS]\n"
      "\n"
      "Drives a running Corvalind studio through its remote control.\n"
      "\n"
      "Options:\n"
      "  --host HOST          the studio's host (127.0.0.1)\n"
      "  --port PORT          the remote control's port (4466)\n"
      "  --password PASSWORD  the remote control's password (or CORVALIND_REMOTE_PASSWORD)\n"
      "  --timeout MS         how long to wait for the studio, in milliseconds (5000)\n"
      "  -h, --help           print this and exit\n"
      "\n"
      "Commands:\n"
      "  status                           the studio's state\n"
      "  scenes                           the scenes and their zones\n"
      "  transitions                      the transitions\n"
      "  switch SCENE [--transition T]    put a scene on air (T: a name, a title or a number)\n"
      "  quick BUTTON                     press a quick button (1..10)\n"
      "  loop start SECONDS SCENE SCENE...  switch through scenes in turn\n"
      "  loop stop | loop status\n"
      "  windows                          the open windows\n"
      "  open KIND                        open a window (camera, videofile, slideshow, ...)\n"
      "  close ID                         close a window\n"
      "  video load ID PATH | video seek ID PERCENT\n"
      "  video play|pause|stop|status ID\n"
      "  slideshow start ID FOLDER SECONDS | slideshow next|prev ID\n"
      "  camera devices ID | camera choose ID DEVICE (a number from 1 or a name)\n"
      "  image set overlay|background PATH | image enable overlay|background on|off\n"
      "  record start [PATH] | record stop | record status | record options\n"
      "  record configure [--video NAME] [--audio-source NAME] [--audio NAME] [--mkv on|off]\n"
      "  network start|stop|status [ID]\n"
      "  stream start [URL] [--key KEY] [--passphrase TEXT] | stream stop | stream status\n"
      "                                   the stream output (without a key: the one the studio kept)\n"
      "  settings [--auto-key on|off] [--key-color #rrggbb] [--range R] [--bilinear on|off]\n"
      "                                   show the settings, or change them\n"
      "  thumbnail FILE [--width W] [--format png|jpeg]\n"
      "                                   write a picture of the program to FILE\n"
      "  events                           print the events, one JSON object a line\n"
      "  raw JSON                         send JSON as it is and print the response\n"
      "\n"
      "Exit status: 0 done, 1 the studio answered with an error, 2 usage error,\n"
      "3 the studio cannot be reached.\n");
}

}  // namespace corvalind

#include "ctl_commands.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

namespace corvalind {
namespace {

std::string Json(const QJsonObject& object) {
  return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

QString InCurrentFolder(const QString& name) { return QDir::current().absoluteFilePath(name); }

struct RequestCase {
  QStringList args;
  QString request;
  QJsonObject params;
  QString outputFile;
};

TEST(CtlCommandTest, MapsCommandsToRequests) {
  const RequestCase cases[] = {
      {{"status"}, "studio.status", {}, {}},
      {{"scenes"}, "scenes.list", {}, {}},
      {{"transitions"}, "transitions.list", {}, {}},
      {{"windows"}, "windows.list", {}, {}},
      {{"switch", "3", "--transition", "blend"}, "scene.switch", {{"scene", 3}, {"transition", "blend"}}, {}},
      {{"switch", "--transition=Fade to black", "2"},
       "scene.switch",
       {{"scene", 2}, {"transition", "Fade to black"}},
       {}},
      {{"switch", "3", "--transition", "4"}, "scene.switch", {{"scene", 3}, {"transition", 4}}, {}},
      {{"switch", "1"}, "scene.switch", {{"scene", 1}}, {}},
      {{"quick", "2"}, "scene.quick", {{"button", 2}}, {}},
      {{"loop", "start", "10", "1", "2", "3"}, "loop.start", {{"seconds", 10}, {"scenes", QJsonArray{1, 2, 3}}}, {}},
      {{"loop", "stop"}, "loop.stop", {}, {}},
      {{"loop", "status"}, "loop.status", {}, {}},
      {{"open", "slideshow"}, "window.open", {{"kind", "slideshow"}}, {}},
      {{"close", "2"}, "window.close", {{"id", 2}}, {}},
      {{"video", "load", "1", "/media/clip.mp4"}, "videofile.load", {{"id", 1}, {"path", "/media/clip.mp4"}}, {}},
      {{"video", "load", "1", "clip.mp4"}, "videofile.load", {{"id", 1}, {"path", InCurrentFolder("clip.mp4")}}, {}},
      {{"video", "play", "1"}, "videofile.play", {{"id", 1}}, {}},
      {{"video", "pause", "1"}, "videofile.pause", {{"id", 1}}, {}},
      {{"video", "stop", "1"}, "videofile.stop", {{"id", 1}}, {}},
      {{"video", "status", "1"}, "videofile.status", {{"id", 1}}, {}},
      {{"video", "seek", "1", "42.5"}, "videofile.seek", {{"id", 1}, {"percent", 42.5}}, {}},
      {{"slideshow", "start", "2", "/home/u/Pictures/show", "5"},
       "slideshow.start",
       {{"id", 2}, {"folder", "/home/u/Pictures/show"}, {"seconds", 5}},
       {}},
      {{"slideshow", "start", "2", "show", "5"},
       "slideshow.start",
       {{"id", 2}, {"folder", InCurrentFolder("show")}, {"seconds", 5}},
       {}},
      {{"slideshow", "next", "2"}, "slideshow.next", {{"id", 2}}, {}},
      {{"slideshow", "prev", "2"}, "slideshow.prev", {{"id", 2}}, {}},
      {{"image", "set", "overlay", "/home/u/Pictures/logo.png"},
       "image.set",
       {{"layer", "overlay"}, {"path", "/home/u/Pictures/logo.png"}},
       {}},
      {{"image", "set", "overlay", "--", "--odd.png"},
       "image.set",
       {{"layer", "overlay"}, {"path", InCurrentFolder("--odd.png")}},
       {}},
      {{"image", "enable", "overlay", "on"}, "image.enable", {{"layer", "overlay"}, {"enabled", true}}, {}},
      {{"image", "enable", "background", "off"}, "image.enable", {{"layer", "background"}, {"enabled", false}}, {}},
      {{"record", "start", "/home/u/Videos/show.mkv"}, "recorder.start", {{"path", "/home/u/Videos/show.mkv"}}, {}},
      {{"record", "start", "show.mkv"}, "recorder.start", {{"path", InCurrentFolder("show.mkv")}}, {}},
      {{"record", "start"}, "recorder.start", {}, {}},
      {{"record", "stop"}, "recorder.stop", {}, {}},
      {{"record", "status"}, "recorder.status", {}, {}},
      {{"record", "options"}, "recorder.options", {}, {}},
      {{"record", "configure", "--video", "JPEG image encoder", "--mkv", "on"},
       "recorder.configure",
       {{"videoEncoder", "JPEG image encoder"}, {"matroska", true}},
       {}},
      {{"network", "start"}, "network.start", {}, {}},
      {{"network", "stop", "4"}, "network.stop", {{"id", 4}}, {}},
      {{"network", "status", "4"}, "network.status", {{"id", 4}}, {}},
      {{"stream", "start"}, "stream.start", {}, {}},
      {{"stream", "start", "rtmp://127.0.0.1/live", "--key", "k1"}, "stream.start",
       {{"url", "rtmp://127.0.0.1/live"}, {"key", "k1"}}, {}},
      {{"stream", "start", "srt://127.0.0.1:9000", "--passphrase=0123456789"}, "stream.start",
       {{"url", "srt://127.0.0.1:9000"}, {"passphrase", "0123456789"}}, {}},
      {{"stream", "stop"}, "stream.stop", {}, {}},
      {{"stream", "status"}, "stream.status", {}, {}},
      {{"camera", "devices", "1"}, "camera.devices", {{"id", 1}}, {}},
      {{"camera", "choose", "1", "2"}, "camera.choose", {{"id", 1}, {"device", 2}}, {}},
      {{"camera", "choose", "1", "USB Camera"}, "camera.choose", {{"id", 1}, {"device", "USB Camera"}}, {}},
      {{"settings"}, "settings.get", {}, {}},
      {{"settings", "--auto-key", "on", "--key-color", "#00ff00", "--range", "0.25", "--bilinear", "off"},
       "settings.set",
       {{"autoKey", true}, {"keyColor", "#00ff00"}, {"range", 0.25}, {"bilinear", false}},
       {}},
      {{"settings", "--range=0.5"}, "settings.set", {{"range", 0.5}}, {}},
      {{"thumbnail", "program.png", "--width", "480"}, "program.thumbnail", {{"width", 480}, {"format", "png"}},
       "program.png"},
      {{"thumbnail", "shot.jpg"}, "program.thumbnail", {{"format", "jpeg"}}, "shot.jpg"},
      {{"thumbnail", "shot.jpg", "--format", "png"}, "program.thumbnail", {{"format", "png"}}, "shot.jpg"},
      {{"thumbnail", "shot"}, "program.thumbnail", {}, "shot"},
  };
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    CtlCommand command;
    QString error;
    ASSERT_TRUE(ParseCtlCommand(c.args, &command, &error)) << error.toStdString();
    EXPECT_EQ(command.request, c.request);
    EXPECT_EQ(Json(command.params), Json(c.params));
    EXPECT_EQ(command.outputFile, c.outputFile);
    EXPECT_FALSE(command.events);
    EXPECT_FALSE(command.raw);
  }
}

TEST(CtlCommandTest, EventsAndRawSendNoRequestOfTheirOwn) {
  CtlCommand command;
  QString error;
  ASSERT_TRUE(ParseCtlCommand({"events"}, &command, &error)) << error.toStdString();
  EXPECT_TRUE(command.events);
  EXPECT_TRUE(command.request.isEmpty());

  // The text is not looked at: malformed input goes out as it is.
  for (const QString& text : {QStringLiteral(R"({"request": "loop.status"})"), QStringLiteral("{not json")}) {
    ASSERT_TRUE(ParseCtlCommand({"raw", text}, &command, &error)) << error.toStdString();
    EXPECT_TRUE(command.raw);
    EXPECT_EQ(command.rawText, text.toUtf8());
    EXPECT_TRUE(command.request.isEmpty());
  }
}

TEST(CtlCommandTest, RejectsUsageErrors) {
  const struct {
    QStringList args;
    const char* message;  // a part of the error
  } cases[] = {
      {{}, "no command"},
      {{"dance"}, "unknown command"},
      {{"status", "now"}, "too many arguments"},
      {{"status", "--verbose"}, "unknown option --verbose"},
      {{"switch"}, "missing arguments"},
      {{"switch", "x"}, "whole number"},
      {{"switch", "1.5"}, "whole number"},
      {{"switch", "1", "2"}, "too many arguments"},
      {{"switch", "1", "--transition"}, "--transition needs a value"},
      {{"switch", "1", "--fade", "x"}, "unknown option --fade"},
      {{"quick"}, "missing arguments"},
      {{"quick", "two"}, "whole number"},
      {{"loop"}, "missing arguments"},
      {{"loop", "go"}, "unknown command 'go'"},
      {{"loop", "start", "10"}, "missing arguments"},
      {{"loop", "start", "10", "1"}, "missing arguments"},
      {{"loop", "start", "ten", "1", "2"}, "whole number"},
      {{"loop", "start", "10", "1", "b"}, "whole number"},
      {{"loop", "stop", "now"}, "too many arguments"},
      {{"open"}, "missing arguments"},
      {{"close", "second"}, "whole number"},
      {{"video", "load", "1"}, "missing arguments"},
      {{"video", "load", "one", "clip.mp4"}, "whole number"},
      {{"video", "play"}, "missing arguments"},
      {{"video", "seek", "1", "half"}, "must be a number"},
      {{"video", "rewind", "1"}, "unknown command 'rewind'"},
      {{"slideshow", "start", "2", "/p"}, "missing arguments"},
      {{"slideshow", "start", "2", "/p", "often"}, "whole number"},
      {{"slideshow", "skip", "2"}, "unknown command 'skip'"},
      {{"image", "set", "overlay"}, "missing arguments"},
      {{"image", "enable", "overlay", "maybe"}, "on or off"},
      {{"image", "hide", "overlay"}, "unknown command 'hide'"},
      {{"record", "start", "a.mkv", "b.mkv"}, "too many arguments"},
      {{"record", "pause"}, "unknown command 'pause'"},
      {{"network", "start", "x"}, "whole number"},
      {{"network", "start", "1", "2"}, "too many arguments"},
      {{"stream", "begin"}, "unknown command"},
      {{"stream", "stop", "now"}, "too many arguments"},
      {{"stream", "start", "a", "b"}, "too many arguments"},
      {{"camera", "devices"}, "missing arguments"},
      {{"camera", "choose", "1"}, "missing arguments"},
      {{"settings", "extra"}, "too many arguments"},
      {{"settings", "--key-color", "red"}, "#rrggbb"},
      {{"settings", "--key-color", "#12345"}, "#rrggbb"},
      {{"settings", "--range", "much"}, "must be a number"},
      {{"settings", "--auto-key", "sometimes"}, "on or off"},
      {{"thumbnail"}, "missing arguments"},
      {{"thumbnail", "a.png", "--format", "gif"}, "png or jpeg"},
      {{"thumbnail", "a.png", "--width", "wide"}, "whole number"},
      {{"events", "now"}, "too many arguments"},
      {{"raw"}, "missing arguments"},
      {{"raw", "{}", "{}"}, "too many arguments"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    CtlCommand command;
    QString error;
    EXPECT_FALSE(ParseCtlCommand(c.args, &command, &error));
    EXPECT_TRUE(error.contains(QLatin1String(c.message))) << error.toStdString();
  }
}

TEST(CtlOptionsTest, ReadsOptionsUpToTheCommand) {
  const struct {
    QStringList args;
    QString host;
    quint16 port;
    QString password;
    bool havePassword;
    int timeoutMs;
    bool help;
    QStringList command;
  } cases[] = {
      {{"status"}, "127.0.0.1", 4466, "", false, 5000, false, {"status"}},
      {{"--host", "studio.local", "--port", "5000", "--password", "pw", "--timeout", "800", "switch", "3"},
       "studio.local", 5000, "pw", true, 800, false, {"switch", "3"}},
      {{"--host=::1", "--port=1", "--password=", "scenes"}, "::1", 1, "", true, 5000, false, {"scenes"}},
      // The command's own options stay with it.
      {{"--port", "4467", "switch", "3", "--transition", "blend", "--port", "9"},
       "127.0.0.1", 4467, "", false, 5000, false, {"switch", "3", "--transition", "blend", "--port", "9"}},
      {{"--help"}, "127.0.0.1", 4466, "", false, 5000, true, {}},
      {{"-h", "status"}, "127.0.0.1", 4466, "", false, 5000, true, {"status"}},
      {{"--", "--odd"}, "127.0.0.1", 4466, "", false, 5000, false, {"--odd"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    CtlOptions options;
    QString error;
    ASSERT_TRUE(ParseCtlOptions(c.args, &options, &error)) << error.toStdString();
    EXPECT_EQ(options.host, c.host);
    EXPECT_EQ(options.port, c.port);
    EXPECT_EQ(options.password, c.password);
    EXPECT_EQ(options.havePassword, c.havePassword);
    EXPECT_EQ(options.timeoutMs, c.timeoutMs);
    EXPECT_EQ(options.help, c.help);
    EXPECT_EQ(options.command, c.command);
  }
}

TEST(CtlOptionsTest, RejectsBadOptions) {
  const struct {
    QStringList args;
    const char* message;
  } cases[] = {
      {{"--port", "0", "status"}, "--port"},
      {{"--port", "65536", "status"}, "--port"},
      {{"--port", "http", "status"}, "--port"},
      {{"--timeout", "0", "status"}, "--timeout"},
      {{"--timeout", "-5", "status"}, "--timeout"},
      {{"--timeout"}, "--timeout needs a value"},
      {{"--host", "", "status"}, "--host"},
      {{"--verbose", "status"}, "unknown option --verbose"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    CtlOptions options;
    QString error;
    EXPECT_FALSE(ParseCtlOptions(c.args, &options, &error));
    EXPECT_TRUE(error.contains(QLatin1String(c.message))) << error.toStdString();
  }
}

}  // namespace
}  // namespace corvalind

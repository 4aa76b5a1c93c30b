// The remote control driving an offscreen studio over a real WebSocket on
// loopback: scene switches through transitions (and the published program
// that follows them), sources and the recorder opened and run remotely,
// the events in their order, the sign-in, malformed, oversized and
// flooding messages, many clients coming and going, random requests, and
// corvalind-ctl against the same server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMdiSubWindow>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>
#include <QWebSocket>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "engine/source_slot.h"
#include "engine/video_engine.h"
#include "platform/output_block.h"
#include "studio/files/scene_list_file.h"
#include "studio/forms/program_form.h"
#include "studio/forms/recorder_form.h"
#include "studio/forms/scene_manager.h"
#include "studio/main_window.h"
#include "studio/remote/client/remote_client.h"
#include "studio/remote/studio_remote.h"
#include "studio/ui_bridge.h"
#include "test_support/frames.h"
#include "test_support/png_file.h"
#include "test_support/status_texts.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

namespace fs = std::filesystem;
using testing::FullZone;

constexpr int kWait = 15000;

std::vector<std::pair<QString, QString>> gMessages;
void CaptureMessage(const QString& text, const QString& caption) { gMessages.emplace_back(text, caption); }
bool AnswerYes(const QString&, const QString&) { return true; }

QString Code(const QJsonObject& response) { return response.value("error").toObject().value("code").toString(); }

class RemoteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gMessages.clear();
    SetStudioMessageHandler(&CaptureMessage);
    SetStudioQuestionHandler(&AnswerYes);
    folder_ = testing::FreshTestFolder("remote");
    fs::remove_all(SceneListPath("scenes.xml"));
    format_.SetSize(320, 240);
    engine_ = VideoEngine::Create(GlobalSourceSlots(), format_);
    buffer_ = "CorvalindTest_remote_" + std::to_string(getpid());
    window_ = std::make_unique<CMainFrame>(*engine_, format_, buffer_, "Corvalind");
    window_->show();
    remote_ = std::make_unique<StudioRemote>(*window_, *engine_, format_);
  }
  void TearDown() override {
    remote_.reset();
    window_.reset();
    engine_.reset();
    SetStudioMessageHandler(nullptr);
    SetStudioQuestionHandler(nullptr);
  }

  void Serve(const QString& password = {}, int messagesPerSecond = 200) {
    RemoteServerSettings settings;
    settings.port = 0;
    settings.password = password;
    settings.messagesPerSecond = messagesPerSecond;
    QString reason;
    ASSERT_TRUE(remote_->Start(settings, &reason)) << reason.toStdString();
  }
  std::unique_ptr<RemoteClient> Client(const QString& password = {}) {
    auto client = std::make_unique<RemoteClient>();
    QString error;
    EXPECT_TRUE(client->Connect("127.0.0.1", remote_->Server().Port(), password, kWait, &error)) << error.toStdString();
    return client;
  }
  // Two scenes: slot 0 full, then slot 1 full; each slot a flat colour.
  void TwoScenesOnAir() {
    ASSERT_TRUE(engine_->StoreScene({FullZone(0)}, "Camera", -1));
    ASSERT_TRUE(engine_->StoreScene({FullZone(1)}, "Slides", -1));
    ASSERT_NE(window_->OpenWindow(kKindProgram), nullptr);
    ASSERT_NE(window_->OpenWindow(kKindSceneManager), nullptr);
    for (int slot = 0; slot < 2; ++slot) {
      std::vector<uint8_t> picture(320 * 240 * 3, static_cast<uint8_t>(slot == 0 ? 40 : 200));
      GlobalSourceSlots().DeliverFrame(false, static_cast<uint8_t>(slot), picture.data(),
                                       static_cast<uint32_t>(picture.size()), 320, 240);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return window_->ProgramView()->Loop().Publishing(); }, kWait));
  }
  // The first byte of the published program.
  int Published() {
    OutputBlock block;
    if (!OpenOutputBlock(block, buffer_)) return -1;
    return block.block.Data()[1];
  }

  fs::path folder_;
  OutputFormat format_;
  std::unique_ptr<VideoEngine> engine_;
  std::string buffer_;
  std::unique_ptr<CMainFrame> window_;
  std::unique_ptr<StudioRemote> remote_;
};

TEST_F(RemoteTest, ASwitchGoesThroughTheSceneManagerAndThePublishedProgramFollows) {
  TwoScenesOnAir();
  Serve();
  auto client = Client();
  EXPECT_TRUE(client->Hello().value("data").toObject().value("authentication").isNull());

  const QJsonObject scenes = client->Request("scenes.list", {}, kWait);
  ASSERT_TRUE(scenes.value("ok").toBool());
  const QJsonArray list = scenes.value("result").toObject().value("scenes").toArray();
  ASSERT_EQ(list.size(), 2);
  EXPECT_EQ(list[1].toObject().value("name").toString(), "Slides");
  EXPECT_EQ(list[1].toObject().value("zones").toArray()[0].toObject().value("source").toInt(), 1);

  ASSERT_TRUE(QTest::qWaitFor([&] { return Published() == 40; }, kWait));
  client->TakeEvents();
  const QJsonObject switched = client->Request("scene.switch", {{"scene", 2}, {"transition", "blend"}}, kWait);
  ASSERT_TRUE(switched.value("ok").toBool()) << QJsonDocument(switched).toJson().toStdString();
  EXPECT_EQ(switched.value("result").toObject().value("transition").toString(), "blend");
  // The same path as the buttons: the manager's lists and its memory.
  EXPECT_EQ(window_->SceneManager()->LastScene(), 1);
  EXPECT_EQ(window_->SceneManager()->EffectList()->currentIndex(), 1);

  // The events in their order: the switch, then the end of the blend.
  QJsonObject event;
  QStringList order;
  while (!order.contains("transition.finished")) {
    ASSERT_TRUE(client->WaitForEvent("", kWait, &event));
    order << event.value("event").toString();
    if (order.last() == "transition.finished") {
      EXPECT_EQ(event.value("data").toObject().value("scene").toInt(), 2);
    }
  }
  ASSERT_TRUE(order.contains("scene.switched"));
  EXPECT_LT(order.indexOf("scene.switched"), order.indexOf("transition.finished"));
  EXPECT_TRUE(QTest::qWaitFor([&] { return Published() == 200; }, kWait)) << "the program shows scene 2";

  const QJsonObject quick = client->Request("scene.quick", {{"button", 1}}, kWait);
  EXPECT_TRUE(quick.value("ok").toBool());
  ASSERT_TRUE(client->WaitForEvent("scene.switched", kWait, &event));
  EXPECT_EQ(event.value("data").toObject().value("scene").toInt(), 1);
  EXPECT_TRUE(QTest::qWaitFor([&] { return Published() == 40; }, kWait));

  const QJsonObject status = client->Request("studio.status", {}, kWait);
  EXPECT_EQ(status.value("result").toObject().value("onAir").toInt(), 1);
  EXPECT_GT(status.value("result").toObject().value("publishedFrames").toDouble(), 0);

  struct Bad {
    QJsonObject params;
    const char* code;
  };
  const Bad bad[] = {
      {{{"scene", 3}}, "bad_params"},
      {{{"scene", 0}}, "bad_params"},
      {{{"scene", "two"}}, "bad_params"},
      {{{"scene", 1}, {"transition", "wipe"}}, "bad_params"},
      {{{"scene", 1}, {"transition", 11}}, "bad_params"},
  };
  for (const Bad& b : bad) {
    const QJsonObject response = client->Request("scene.switch", b.params, kWait);
    EXPECT_FALSE(response.value("ok").toBool());
    EXPECT_EQ(Code(response), b.code) << QJsonDocument(b.params).toJson().toStdString();
  }
  EXPECT_EQ(window_->SceneManager()->LastScene(), 0) << "refused switches change nothing";
}

TEST_F(RemoteTest, TheLoopRunsAndTicksAndRefusesWhatTheManagerWould) {
  TwoScenesOnAir();
  Serve();
  auto client = Client();
  EXPECT_EQ(Code(client->Request("loop.start", {{"seconds", 1}, {"scenes", QJsonArray{1}}}, kWait)), "bad_params");
  EXPECT_EQ(Code(client->Request("loop.start", {{"seconds", 0}, {"scenes", QJsonArray{1, 2}}}, kWait)), "bad_params");
  EXPECT_TRUE(gMessages.empty()) << "no message box for a remote mistake";
  const QJsonObject started = client->Request("loop.start", {{"seconds", 1}, {"scenes", QJsonArray{1, 2}}}, kWait);
  ASSERT_TRUE(started.value("ok").toBool());
  EXPECT_TRUE(window_->SceneManager()->Looping());
  QJsonObject event;
  ASSERT_TRUE(client->WaitForEvent("loop.tick", kWait, &event));
  ASSERT_TRUE(client->WaitForEvent("scene.switched", kWait, &event)) << "the loop switches by itself";
  const QJsonObject status = client->Request("loop.status", {}, kWait).value("result").toObject();
  EXPECT_TRUE(status.value("looping").toBool());
  EXPECT_EQ(status.value("scenes").toArray(), (QJsonArray{1, 2}));
  EXPECT_TRUE(client->Request("loop.stop", {}, kWait).value("ok").toBool());
  EXPECT_FALSE(window_->SceneManager()->Looping());
}

TEST_F(RemoteTest, SourcesOpenAndRunRemotelyAndWindowsAreFollowed) {
  Serve();
  auto client = Client();
  // A slide show of two pictures.
  const fs::path slides = folder_ / "slides";
  fs::create_directories(slides);
  for (int i = 0; i < 2; ++i) {
    std::vector<uint8_t> picture(64 * 48 * 3, static_cast<uint8_t>(60 + i * 100));
    ASSERT_TRUE(WriteFramePng((slides / ("slide" + std::to_string(i) + ".png")).string(), picture.data(), 64, 48));
  }
  const QJsonObject opened = client->Request("window.open", {{"kind", "slideshow"}}, kWait);
  ASSERT_TRUE(opened.value("ok").toBool());
  const int id = opened.value("result").toObject().value("id").toInt();
  EXPECT_EQ(opened.value("result").toObject().value("title").toString(), QString("Slide Show ( id:%1 )").arg(id));
  QJsonObject event;
  ASSERT_TRUE(client->WaitForEvent("window.opened", kWait, &event));
  EXPECT_EQ(event.value("data").toObject().value("kind").toString(), "slideshow");
  EXPECT_EQ(event.value("data").toObject().value("id").toInt(), id);

  const uint32_t before = GlobalSourceSlots().Slot(id - 1)->serial.load();
  const QJsonObject started = client->Request(
      "slideshow.start", {{"id", id}, {"folder", QString::fromStdString(slides.string())}, {"seconds", 1}}, kWait);
  ASSERT_TRUE(started.value("ok").toBool()) << QJsonDocument(started).toJson().toStdString();
  EXPECT_TRUE(QTest::qWaitFor([&] { return GlobalSourceSlots().Slot(id - 1)->serial.load() != before; }, kWait))
      << "the slide show delivers into its slot";
  EXPECT_EQ(Code(client->Request("slideshow.start", {{"id", id}, {"folder", "/nonexistent"}, {"seconds", 1}}, kWait)),
            "bad_params");
  EXPECT_EQ(Code(client->Request("slideshow.next", {{"id", id + 1}}, kWait)), "not_available");

  // A video file.
  const fs::path clip = folder_ / "clip.webm";
  // Without the build's plugins: a sanitized camera plugin cannot load into
  // gst-launch.
  ASSERT_EQ(std::system(("env -u GST_PLUGIN_PATH -u GST_REGISTRY gst-launch-1.0 -q videotestsrc num-buffers=60 ! video/x-raw,width=160,height=120,framerate=30/1 ! "
                         "vp8enc deadline=1 ! webmmux ! filesink location=" +
                         clip.string())
                            .c_str()),
            0);
  const QJsonObject video = client->Request("window.open", {{"kind", "videofile"}}, kWait);
  ASSERT_TRUE(video.value("ok").toBool());
  const int videoId = video.value("result").toObject().value("id").toInt();
  ASSERT_TRUE(client->Request("videofile.load", {{"id", videoId}, {"path", QString::fromStdString(clip.string())}}, kWait)
                  .value("ok")
                  .toBool());
  EXPECT_TRUE(client->Request("videofile.play", {{"id", videoId}}, kWait).value("ok").toBool());
  const uint32_t videoBefore = GlobalSourceSlots().Slot(videoId - 1)->serial.load();
  EXPECT_TRUE(QTest::qWaitFor([&] { return GlobalSourceSlots().Slot(videoId - 1)->serial.load() != videoBefore; }, kWait))
      << "the file plays into its slot";
  const QJsonObject videoStatus = client->Request("videofile.status", {{"id", videoId}}, kWait);
  EXPECT_EQ(videoStatus.value("result").toObject().value("path").toString().toStdString(), clip.string());

  // Closing a window is followed too.
  const QJsonObject windows = client->Request("windows.list", {}, kWait);
  EXPECT_EQ(windows.value("result").toObject().value("windows").toArray().size(), 2);
  EXPECT_TRUE(client->Request("window.close", {{"id", id}, {"kind", "slideshow"}}, kWait).value("ok").toBool());
  ASSERT_TRUE(client->WaitForEvent("window.closed", kWait, &event));
  EXPECT_EQ(event.value("data").toObject().value("id").toInt(), id);
  EXPECT_EQ(Code(client->Request("window.open", {{"kind", "teleporter"}}, kWait)), "bad_params");
}

TEST_F(RemoteTest, ARecordingStartsAndStopsRemotelyAndTheFileIsThere) {
  TwoScenesOnAir();
  Serve();
  auto client = Client();
  // The recorder is set up remotely too: its lists, then a choice.
  const QJsonObject options = client->Request("recorder.options", {}, kWait);
  ASSERT_TRUE(options.value("ok").toBool());
  auto* recorder = window_->FindForm<CViewRecorderForm>();
  ASSERT_NE(recorder, nullptr) << "the request opened the recorder";
  QString jpeg;
  for (const QJsonValue& name : options.value("result").toObject().value("videoEncoders").toArray()) {
    if (name.toString().contains("JPEG", Qt::CaseInsensitive)) jpeg = name.toString();
  }
  if (jpeg.isEmpty()) GTEST_SKIP() << "no JPEG encoder";
  EXPECT_EQ(Code(client->Request("recorder.configure", {{"videoEncoder", "Teleporter"}}, kWait)), "bad_params");
  ASSERT_TRUE(client->Request("recorder.configure", {{"videoEncoder", jpeg}, {"matroska", false}}, kWait)
                  .value("ok")
                  .toBool());
  EXPECT_EQ(recorder->VideoList()->currentText(), jpeg);

  const fs::path file = folder_ / "show.avi";
  const QJsonObject started = client->Request("recorder.start", {{"path", QString::fromStdString(file.string())}}, kWait);
  ASSERT_TRUE(started.value("ok").toBool()) << QJsonDocument(started).toJson().toStdString();
  QJsonObject event;
  ASSERT_TRUE(client->WaitForEvent("recording.started", kWait, &event));
  EXPECT_EQ(event.value("data").toObject().value("path").toString().toStdString(), file.string());
  EXPECT_TRUE(client->Request("recorder.status", {}, kWait).value("result").toObject().value("recording").toBool());
  EXPECT_EQ(Code(client->Request("recorder.start", {}, kWait)), "failed") << "already recording";
  ASSERT_TRUE(QTest::qWaitFor([&] { return fs::exists(file) && fs::file_size(file) > 4096; }, kWait));
  EXPECT_TRUE(client->Request("recorder.stop", {}, kWait).value("ok").toBool());
  ASSERT_TRUE(client->WaitForEvent("recording.stopped", kWait, &event));
  EXPECT_FALSE(recorder->Recording());
  const std::string bytes = testing::ReadBytes(file.string());
  ASSERT_GT(bytes.size(), 12u);
  EXPECT_EQ(bytes.substr(0, 4), "RIFF");
  EXPECT_EQ(bytes.substr(8, 4), "AVI ");
}

TEST_F(RemoteTest, ThePasswordIsAskedByChallengeAndWrongAnswersAreRefused) {
  Serve("s3cret");
  auto client = std::make_unique<RemoteClient>();
  QString error;
  ASSERT_TRUE(client->Connect("127.0.0.1", remote_->Server().Port(), "s3cret", kWait, &error)) << error.toStdString();
  EXPECT_TRUE(client->Request("studio.status", {}, kWait).value("ok").toBool());

  auto wrong = std::make_unique<RemoteClient>();
  EXPECT_FALSE(wrong->Connect("127.0.0.1", remote_->Server().Port(), "guess", kWait, &error));
  EXPECT_EQ(wrong->LastConnectFailure(), RemoteClient::ConnectFailure::kUnauthorized);

  // By hand: nothing before the sign-in, and three wrong answers close.
  QWebSocket socket;
  QStringList received;
  QObject::connect(&socket, &QWebSocket::textMessageReceived, [&](const QString& t) { received << t; });
  socket.open(QUrl(QString("ws://127.0.0.1:%1/").arg(remote_->Server().Port())));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !received.isEmpty(); }, kWait));
  const QJsonObject hello = QJsonDocument::fromJson(received[0].toUtf8()).object();
  const QByteArray challenge =
      QByteArray::fromBase64(hello.value("data").toObject().value("authentication").toObject().value("challenge").toString().toLatin1());
  ASSERT_EQ(challenge.size(), 32);
  EXPECT_FALSE(received[0].contains("s3cret"));
  socket.sendTextMessage(R"({"id":1,"request":"scenes.list"})");
  ASSERT_TRUE(QTest::qWaitFor([&] { return received.size() >= 2; }, kWait));
  EXPECT_EQ(Code(QJsonDocument::fromJson(received[1].toUtf8()).object()), "unauthorized");
  bool closed = false;
  QObject::connect(&socket, &QWebSocket::disconnected, [&] { closed = true; });
  for (int i = 0; i < 3; ++i) {
    socket.sendTextMessage(QString(R"({"id":%1,"request":"authenticate","params":{"response":"%2"}})")
                               .arg(i + 2)
                               .arg(QString::fromLatin1(ChallengeAnswer("wrong", challenge))));
  }
  EXPECT_TRUE(QTest::qWaitFor([&] { return closed; }, kWait));
  EXPECT_TRUE(client->Request("studio.status", {}, kWait).value("ok").toBool()) << "the others go on";
}

TEST_F(RemoteTest, MalformedOversizedAndFloodingMessagesGetErrorsAndNothingBreaks) {
  Serve({}, 50);
  auto client = Client();
  struct Case {
    QByteArray text;
    const char* code;
    QJsonValue id;
  };
  const Case cases[] = {
      {"not json", "malformed", QJsonValue::Null},
      {"[1,2]", "malformed", QJsonValue::Null},
      {R"({"id":4})", "malformed", 4},
      {R"({"id":[1],"request":"studio.status"})", "malformed", QJsonValue::Null},
      {R"({"id":"x","request":"studio.status","params":[1]})", "malformed", "x"},
      {R"({"id":5,"request":"teleport"})", "unknown_request", 5},
      {R"({"id":6,"request":"window.open","params":{"kind":7}})", "bad_params", 6},
      {"{\"id\":7,\"request\":\"studio.status\",\"pad\":\"" + QByteArray(70 * 1024, 'a') + "\"}", "too_large", QJsonValue::Null},
  };
  for (const Case& c : cases) {
    const QJsonObject response = client->SendRaw(c.text, kWait);
    EXPECT_FALSE(response.value("ok").toBool(true)) << c.text.left(60).toStdString();
    EXPECT_EQ(Code(response), c.code) << c.text.left(60).toStdString();
    EXPECT_EQ(response.value("id"), c.id) << c.text.left(60).toStdString();
  }

  // Far past the limit the socket refuses and closes; the studio serves on.
  {
    auto huge = Client();
    bool closed = false;
    QObject::connect(huge.get(), &RemoteClient::Disconnected, [&] { closed = true; });
    huge->SendRaw(QByteArray(2 * 1024 * 1024, ' '), 2000);
    EXPECT_TRUE(QTest::qWaitFor([&] { return closed || !huge->Connected(); }, kWait));
  }

  // A flood: past 50 a second the answers say so.
  int limited = 0;
  for (int i = 0; i < 200; ++i) {
    if (Code(client->SendRaw(R"({"id":1,"request":"studio.status"})", kWait)) == "rate_limited") ++limited;
  }
  EXPECT_GT(limited, 0);
  // The allowance comes back with time: some later request goes through.
  EXPECT_TRUE(QTest::qWaitFor([&] { return client->Request("studio.status", {}, kWait).value("ok").toBool(); }, kWait));
}

// Requests of every name with random parameters of every JSON type: each
// gets an answer with its id, and the studio keeps serving.
TEST_F(RemoteTest, RandomRequestsAlwaysGetAnAnswerAndTheStudioStaysResponsive) {
  TwoScenesOnAir();
  Serve({}, 100000);
  auto client = Client();
  const QStringList names = {"studio.status",   "scenes.list",     "transitions.list", "scene.switch",    "scene.quick",
                             "loop.start",      "loop.stop",       "loop.status",      "windows.list",    "window.open",
                             "window.close",    "videofile.load",  "videofile.play",   "videofile.seek",  "videofile.status",
                             "camera.devices",  "camera.choose",   "slideshow.start",  "slideshow.next",  "image.set",
                             "image.enable",    "recorder.status", "network.status",   "settings.get",    "settings.set",
                             "program.thumbnail", "nonsense"};
  const QStringList keys = {"id", "scene", "button", "transition", "seconds", "scenes", "kind", "path", "percent",
                            "device", "folder", "layer", "enabled", "width", "format", "keyColor", "range", "autoKey"};
  QRandomGenerator random(20261210);
  const auto value = [&]() -> QJsonValue {
    switch (random.bounded(8)) {
      case 0: return static_cast<int>(random.bounded(25)) - 5;
      case 1: return random.generateDouble() * 1e12 - 5e11;
      case 2: return QString("slideshow");
      case 3: return QString::fromLatin1(QByteArray(static_cast<int>(random.bounded(40)), 'z'));
      case 4: return random.bounded(2) == 0;
      case 5: return QJsonArray{1, "two", QJsonValue::Null};
      case 6: return QJsonObject{{"deep", QJsonObject{{"er", 1}}}};
      default: return QJsonValue::Null;
    }
  };
  for (int i = 0; i < 1500; ++i) {
    QJsonObject params;
    const int count = static_cast<int>(random.bounded(4));
    for (int k = 0; k < count; ++k) params.insert(keys[static_cast<int>(random.bounded(keys.size()))], value());
    const QString name = names[static_cast<int>(random.bounded(names.size()))];
    const QJsonObject response = client->Request(name, params, kWait);
    ASSERT_TRUE(response.contains("ok")) << name.toStdString();
    if (!response.value("ok").toBool()) {
      ASSERT_FALSE(Code(response).isEmpty());
      ASSERT_NE(Code(response), "failed") << name.toStdString() << " " << QJsonDocument(response).toJson().toStdString();
    }
  }
  EXPECT_TRUE(client->Request("studio.status", {}, kWait).value("ok").toBool());
}

TEST_F(RemoteTest, FiftyClientsComingAndGoingLeaveTheStudioResponsive) {
  TwoScenesOnAir();
  Serve();
  QRandomGenerator random(4466);
  std::vector<std::unique_ptr<QWebSocket>> sockets;
  for (int i = 0; i < 50; ++i) {
    auto socket = std::make_unique<QWebSocket>();
    socket->open(QUrl(QString("ws://127.0.0.1:%1/").arg(remote_->Server().Port())));
    sockets.push_back(std::move(socket));
  }
  // Some send a request and drop at once, some drop before the hello,
  // some stay.
  QTest::qWait(0);
  for (auto& socket : sockets) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return socket->state() == QAbstractSocket::ConnectedState; }, kWait));
    switch (random.bounded(3)) {
      case 0:
        socket->sendTextMessage(R"({"id":1,"request":"scene.switch","params":{"scene":2}})");
        socket->abort();
        break;
      case 1: socket->abort(); break;
      default: break;
    }
  }
  auto client = Client();
  EXPECT_TRUE(client->Request("studio.status", {}, kWait).value("ok").toBool());
  sockets.clear();
  EXPECT_TRUE(QTest::qWaitFor([&] { return remote_->Server().ClientCount() == 1; }, kWait));
  EXPECT_TRUE(client->Request("scenes.list", {}, kWait).value("ok").toBool());
}

TEST_F(RemoteTest, AThumbnailShowsTheProgram) {
  TwoScenesOnAir();
  Serve();
  auto client = Client();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Published() == 40; }, kWait));
  for (const char* format : {"png", "jpeg"}) {
    const QJsonObject response = client->Request("program.thumbnail", {{"width", 160}, {"format", format}}, kWait);
    ASSERT_TRUE(response.value("ok").toBool()) << format;
    const QJsonObject result = response.value("result").toObject();
    QImage picture;
    ASSERT_TRUE(picture.loadFromData(QByteArray::fromBase64(result.value("data").toString().toLatin1())));
    EXPECT_EQ(picture.size(), QSize(160, 120));
    EXPECT_NEAR(qBlue(picture.pixel(80, 60)), 40, 4) << format;
  }
  EXPECT_EQ(Code(client->Request("program.thumbnail", {{"width", 5000}}, kWait)), "bad_params");
}

#ifdef CORVALIND_CTL_PROGRAM
// corvalind-ctl, as a script runs it, against the same server.
TEST_F(RemoteTest, CorvalindCtlRunsAShowStep) {
  TwoScenesOnAir();
  Serve();
  const auto run = [&](const QStringList& arguments, QString* output) {
    QProcess ctl;
    ctl.start(CORVALIND_CTL_PROGRAM, QStringList{"--port", QString::number(remote_->Server().Port())} + arguments);
    // The studio's server runs on this thread: serve while the client runs.
    EXPECT_TRUE(QTest::qWaitFor([&] { return ctl.state() == QProcess::NotRunning; }, kWait));
    if (output) *output = QString::fromUtf8(ctl.readAllStandardOutput());
    return ctl.exitCode();
  };
  QString output;
  EXPECT_EQ(run({"switch", "2", "--transition", "cut"}, &output), 0) << output.toStdString();
  EXPECT_EQ(window_->SceneManager()->LastScene(), 1);
  EXPECT_EQ(run({"status"}, &output), 0);
  EXPECT_EQ(QJsonDocument::fromJson(output.toUtf8()).object().value("onAir").toInt(), 2) << output.toStdString();
  EXPECT_EQ(run({"switch", "9"}, &output), 1);
  EXPECT_EQ(run({"switch"}, &output), 2);
}
#endif

}  // namespace
}  // namespace corvalind

#ifdef CORVALIND_SANITIZED
// GLib, GStreamer and the libraries of the plugins the recorder loads keep
// caches for the life of the process.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
extern "C" const char* __tsan_default_options() { return "ignore_noninstrumented_modules=1"; }
#endif

int main(int argc, char** argv) {
  corvalind::testing::TemporaryHome home("corvalind-remote");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // The recorder records the build's own camera plugin.
  setenv("GST_PLUGIN_PATH", CORVALIND_PLUGIN_DIR, 1);
  setenv("GST_REGISTRY", (home.Root() / "registry.bin").c_str(), 1);
  setenv("GST_REGISTRY_FORK", "no", 1);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

// The remote control on loopback, against an offscreen studio with its
// program view publishing: the round trip of a scene switch (a cut, so the
// transition's own time is left out), and the events of switches delivered
// to 20 clients while the output thread composes and publishes.
//
// Counters:
//   rtt_us_p50/p99/max    request sent to its response received, by the
//                         client (client and studio share one thread here,
//                         so the client's own work is in the figure)
//   fanout_us_p50/p99     switch request sent to the last of the 20
//                         listeners holding its scene.switched event
//   polls_per_s           the output thread's polls a second while the
//                         requests and events run, and polls_per_s_idle
//                         before them with the same changing program
//   late_frames           frames the output thread published late meanwhile
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QTimer>
#include <QWebSocket>
#include <algorithm>
#include <memory>
#include <vector>

#include "engine/program_output_loop.h"
#include "engine/source_slot.h"
#include "engine/video_engine.h"
#include "studio/forms/program_form.h"
#include "studio/main_window.h"
#include "studio/remote/client/remote_client.h"
#include "studio/remote/studio_remote.h"
#include "studio/window_kinds.h"
#include "test_support/frames.h"
#include "test_support/test_home.h"

namespace {

using namespace corvalind;

QApplication& App() {
  static int argc = 1;
  static char name[] = "corvalind-bench";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return new QApplication(argc, argv);
  }();
  return *app;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

struct Studio {
  Studio() {
    App();
    format.SetSize(1280, 720);
    format.SetFrameRate(30);
    engine = VideoEngine::Create(GlobalSourceSlots(), format);
    engine->StoreScene({corvalind::testing::FullZone(0)}, "One", -1);
    engine->StoreScene({corvalind::testing::FullZone(1)}, "Two", -1);
    window = std::make_unique<CMainFrame>(*engine, format, "CorvalindBench_remote_" + std::to_string(getpid()), "Corvalind");
    window->OpenWindow(kKindProgram);
    window->OpenWindow(kKindSceneManager);
    remote = std::make_unique<StudioRemote>(*window, *engine, format);
    RemoteServerSettings settings;
    settings.port = 0;
    settings.messagesPerSecond = 1000000;
    QString reason;
    started = remote->Start(settings, &reason);
    // A changing program: both slots get pictures all the time.
    feed = new QTimer(window.get());
    QObject::connect(feed, &QTimer::timeout, [this] {
      ++tick;
      for (uint8_t slot = 0; slot < 2; ++slot) {
        std::vector<uint8_t>& p = pictures[slot];
        p.assign(1280 * 720 * 3, static_cast<uint8_t>(tick * 3 + slot * 100));
        GlobalSourceSlots().DeliverFrame(false, slot, p.data(), static_cast<uint32_t>(p.size()), 1280, 720);
      }
    });
    feed->start(33);
  }
  // The output thread's polls a second over `ms` with the UI thread only
  // running its event loop (feeding the slots, painting).
  double IdlePollsPerSecond(int ms) {
    ProgramOutputLoop& loop = window->ProgramView()->Loop();
    const uint64_t before = loop.Polls();
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return static_cast<double>(loop.Polls() - before) * 1000.0 / static_cast<double>(t.elapsed());
  }
  ~Studio() {
    remote.reset();
    window.reset();
    engine.reset();
  }
  OutputFormat format;
  std::unique_ptr<VideoEngine> engine;
  std::unique_ptr<CMainFrame> window;
  std::unique_ptr<StudioRemote> remote;
  QTimer* feed = nullptr;
  int tick = 0;
  std::vector<uint8_t> pictures[2];
  bool started = false;
};

void BM_RemoteSceneSwitch(benchmark::State& state) {
  corvalind::testing::TemporaryHome home("corvalind-bench-remote");
  Studio studio;
  RemoteClient client;
  QString error;
  if (!studio.started || !client.Connect("127.0.0.1", studio.remote->Server().Port(), {}, 5000, &error)) {
    state.SkipWithError("no server");
    return;
  }
  const int count = static_cast<int>(state.range(0));
  std::vector<double> rtt;
  state.counters["polls_per_s_idle"] = studio.IdlePollsPerSecond(2000);
  for (auto _ : state) {
    const uint64_t pollsBefore = studio.window->ProgramView()->Loop().Polls();
    const uint64_t lateBefore = studio.window->ProgramView()->Loop().LateFrames();
    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < count; ++i) {
      QElapsedTimer t;
      t.start();
      const QJsonObject response = client.Request("scene.switch", {{"scene", 1 + i % 2}, {"transition", "cut"}}, 5000);
      rtt.push_back(static_cast<double>(t.nsecsElapsed()) / 1000.0);
      if (!response.value("ok").toBool()) {
        state.SkipWithError("a switch failed");
        return;
      }
    }
    const double seconds = static_cast<double>(wall.nsecsElapsed()) / 1e9;
    state.counters["polls_per_s"] =
        static_cast<double>(studio.window->ProgramView()->Loop().Polls() - pollsBefore) / seconds;
    state.counters["late_frames"] = static_cast<double>(studio.window->ProgramView()->Loop().LateFrames() - lateBefore);
  }
  state.counters["rtt_us_p50"] = Percentile(rtt, 0.5);
  state.counters["rtt_us_p99"] = Percentile(rtt, 0.99);
  state.counters["rtt_us_max"] = Percentile(rtt, 1.0);
}
BENCHMARK(BM_RemoteSceneSwitch)->Arg(2000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RemoteEventsTo20Clients(benchmark::State& state) {
  corvalind::testing::TemporaryHome home("corvalind-bench-remote-events");
  Studio studio;
  if (!studio.started) {
    state.SkipWithError("no server");
    return;
  }
  constexpr int kListeners = 20;
  std::vector<std::unique_ptr<QWebSocket>> listeners;
  int received = 0;  // scene.switched events, all listeners together
  for (int i = 0; i < kListeners; ++i) {
    auto socket = std::make_unique<QWebSocket>();
    QObject::connect(socket.get(), &QWebSocket::textMessageReceived, [&received](const QString& text) {
      if (text.contains("\"scene.switched\"")) ++received;
    });
    socket->open(QUrl(QString("ws://127.0.0.1:%1/").arg(studio.remote->Server().Port())));
    listeners.push_back(std::move(socket));
  }
  RemoteClient client;
  QString error;
  if (!client.Connect("127.0.0.1", studio.remote->Server().Port(), {}, 5000, &error) ||
      !corvalind::testing::WaitFor([&] { return studio.remote->Server().ClientCount() == kListeners + 1; },
                        std::chrono::milliseconds(10000), [] { QCoreApplication::processEvents(); })) {
    state.SkipWithError("the listeners did not connect");
    return;
  }
  const int count = static_cast<int>(state.range(0));
  std::vector<double> fanout;
  state.counters["polls_per_s_idle"] = studio.IdlePollsPerSecond(2000);
  for (auto _ : state) {
    const uint64_t pollsBefore = studio.window->ProgramView()->Loop().Polls();
    const uint64_t lateBefore = studio.window->ProgramView()->Loop().LateFrames();
    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < count; ++i) {
      const int want = received + kListeners;
      QElapsedTimer t;
      t.start();
      client.Request("scene.switch", {{"scene", 1 + i % 2}, {"transition", "cut"}}, 5000);
      // Waits in the event loop itself, woken by each arriving message.
      while (received < want && t.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
      if (received < want) {
        state.SkipWithError("events went missing");
        return;
      }
      fanout.push_back(static_cast<double>(t.nsecsElapsed()) / 1000.0);
    }
    const double seconds = static_cast<double>(wall.nsecsElapsed()) / 1e9;
    state.counters["polls_per_s"] =
        static_cast<double>(studio.window->ProgramView()->Loop().Polls() - pollsBefore) / seconds;
    state.counters["late_frames"] = static_cast<double>(studio.window->ProgramView()->Loop().LateFrames() - lateBefore);
  }
  state.counters["fanout_us_p50"] = Percentile(fanout, 0.5);
  state.counters["fanout_us_p99"] = Percentile(fanout, 0.99);
}
BENCHMARK(BM_RemoteEventsTo20Clients)->Arg(500)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

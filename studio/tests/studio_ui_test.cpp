// The studio's windows driven offscreen: the window table's ids and titles,
// the greyed View commands, closing sources, the Scene Manager (enabling
// rule, quick switch, hot keys, loop), the program view's layout, and the
// program published from a real scenes.xml end to end.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/messages.h"
#include "engine/program_output_loop.h"
#include "engine/source_slot.h"
#include "engine/video_engine.h"
#include "platform/freeimage/freeimage_reader.h"
#include "platform/output_block.h"
#include "engine/key_settings.h"
#include "studio/forms/desktop_form.h"
#include "studio/forms/overlay_form.h"
#include "studio/forms/slideshow_form.h"
#include "studio/forms/snaptrace_form.h"
#include "studio/forms/network_form.h"
#include "engine/sources/image_layer.h"
#include "studio/main_window.h"
#include "studio/files/project_file.h"
#include "studio/forms/preview_widget.h"
#include "studio/forms/loopback_choice.h"
#include "studio/forms/program_form.h"
#include "studio/files/scene_list_file.h"
#include "studio/forms/scene_manager.h"
#include "studio/ui_bridge.h"
#include "platform/pipewire/pipewire_camera.h"
#include "test_support/frames.h"
#include "test_support/pipewire_daemon.h"
#include "test_support/status_texts.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

std::vector<std::pair<QString, QString>> gMessages;
void CaptureMessage(const QString& text, const QString& caption) { gMessages.emplace_back(text, caption); }

// Questions are answered by the test: the answer to give, and what was asked.
bool gAnswer = true;
std::vector<std::pair<QString, QString>> gQuestions;
bool AnswerQuestion(const QString& text, const QString& caption) {
  gQuestions.emplace_back(text, caption);
  return gAnswer;
}

using testing::FullZone;

class StudioUiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gMessages.clear();
    SetStudioMessageHandler(&CaptureMessage);
    gAnswer = true;
    gQuestions.clear();
    SetStudioQuestionHandler(&AnswerQuestion);
    std::filesystem::remove_all(SceneListPath("scenes.xml"));
    format_.SetSize(320, 240);
    engine_ = VideoEngine::Create(GlobalSourceSlots(), format_);
    buffer_ = "CorvalindTest_ui_" + std::to_string(getpid());
    window_ = std::make_unique<CMainFrame>(*engine_, format_, buffer_, "Corvalind");
    window_->show();
  }
  void TearDown() override {
    window_.reset();
    engine_.reset();
    SetStudioMessageHandler(nullptr);
    SetStudioQuestionHandler(nullptr);
  }
  void StoreScenes(int count) {
    for (int i = 0; i < count; ++i) {
      std::string name = "Scene ";
      name += std::to_string(i + 1);
      ASSERT_TRUE(engine_->StoreScene({FullZone(i % SourceSlotCount)}, name, -1));
    }
  }

  OutputFormat format_;
  std::unique_ptr<VideoEngine> engine_;
  std::string buffer_;
  std::unique_ptr<CMainFrame> window_;
};

TEST_F(StudioUiTest, SourceWindowsTakeTheLowestFreeIdAndTheirTitlesShowIt) {
  QMdiSubWindow* a = window_->OpenWindow(kKindSlideShow);
  QMdiSubWindow* b = window_->OpenWindow(kKindSlideShow);
  QMdiSubWindow* c = window_->OpenWindow(kKindSlideShow);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(a->windowTitle(), "Slide Show ( id:1 )");
  EXPECT_EQ(b->windowTitle(), "Slide Show ( id:2 )");
  EXPECT_EQ(c->windowTitle(), "Slide Show ( id:3 )");
  delete b;
  QMdiSubWindow* desktop = window_->OpenWindow(kKindDesktop);
  ASSERT_NE(desktop, nullptr);
  EXPECT_EQ(desktop->windowTitle(), "Capture Desktop ( id:2 )");
  QMdiSubWindow* program = window_->OpenWindow(kKindProgram);
  ASSERT_NE(program, nullptr);
  EXPECT_EQ(program->windowTitle(), "Video Output (320x240x25)");
  EXPECT_EQ(window_->Table().OpenCount(), 4);
}

TEST_F(StudioUiTest, SingleKindsOpenOnceAndGreyTheirViewCommand) {
  for (int kind : {kKindProgram, kKindSceneManager, kKindOverlay, kKindBackground}) {
    QAction* view = window_->ViewAction(kind);
    ASSERT_TRUE(view->isEnabled());
    view->trigger();
    QMdiSubWindow* first = window_->FindWindow(kind);
    ASSERT_NE(first, nullptr) << kind;
    EXPECT_FALSE(view->isEnabled());
    EXPECT_EQ(window_->OpenWindow(kind), nullptr);
    delete first;
    EXPECT_TRUE(view->isEnabled()) << kind;
    EXPECT_EQ(window_->FindWindow(kind), nullptr);
  }
}

// Every kind has its form now: every command is live, and a project with a
// game hook (whose one-character name restores nothing and runs nothing)
// lands each window where it was.
TEST_F(StudioUiTest, EveryKindOpensAndProjectsRestoreThem) {
  for (const WindowKindInfo& kind : WindowKinds()) {
    QAction* command = window_->ViewAction(kind.kind);
    ASSERT_NE(command, nullptr) << kind.kind;
    EXPECT_TRUE(command->isEnabled()) << kind.kind;
    EXPECT_FALSE(command->statusTip().endsWith("(not available yet)")) << command->statusTip().toStdString();
  }
  ProjectDocument document;
  ProjectWindow hook{kKindHook, 11, 12, {}};
  hook.Set("DATA", "g");
  ProjectWindow desktop{kKindDesktop, 21, 22, {}};
  desktop.Set("DATA", 1);
  ProjectWindow network{kKindNetwork, 31, 32, {}};
  network.Set("DATA", "studio-b.example");
  document.windows = {hook, desktop, network};
  const std::string path = (std::filesystem::temp_directory_path() / ("corvalind-kinds-" + std::to_string(getpid()) + ".cvd")).string();
  ASSERT_TRUE(WriteProjectFile(path, document));
  ASSERT_TRUE(window_->LoadProject(QString::fromStdString(path), 1, 1));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !window_->ProjectLoading(); }, 5000));
  EXPECT_EQ(window_->Table().OpenCount(), 3);
  QMdiSubWindow* hookWindow = window_->FindWindow(kKindHook);
  ASSERT_NE(hookWindow, nullptr);
  EXPECT_EQ(hookWindow->pos(), QPoint(11, 12));
  auto* hookForm = qobject_cast<CViewSnaptraceForm*>(hookWindow->widget());
  ASSERT_NE(hookForm, nullptr);
  EXPECT_FALSE(hookForm->Hooked());
  EXPECT_EQ(hookForm->TargetEdit()->text(), "");
  ASSERT_NE(window_->FindWindow(kKindDesktop), nullptr);
  EXPECT_EQ(window_->FindWindow(kKindDesktop)->pos(), QPoint(21, 22));
  QMdiSubWindow* networkWindow = window_->FindWindow(kKindNetwork);
  ASSERT_NE(networkWindow, nullptr);
  auto* networkForm = qobject_cast<CViewNetworkForm*>(networkWindow->widget());
  ASSERT_NE(networkForm, nullptr);
  EXPECT_EQ(networkForm->RemoteIpEdit()->text(), "studio-b.example");
  EXPECT_FALSE(networkForm->Sending());
  std::filesystem::remove(path);
}

// The eleventh source window has no slot to fill: it opens with a form that
// says so, and a project keeps only its kind and position.
TEST_F(StudioUiTest, SourcesPastTheTenSlotsOpenWithoutASource) {
  for (int i = 0; i < SourceSlotCount; ++i) {
    QMdiSubWindow* window = window_->OpenWindow(kKindSlideShow);
    ASSERT_NE(window, nullptr);
    EXPECT_NE(qobject_cast<CViewSlideshowForm*>(window->widget()), nullptr) << i;
  }
  QMdiSubWindow* extra = window_->OpenWindow(kKindSlideShow);
  ASSERT_NE(extra, nullptr);
  EXPECT_EQ(extra->windowTitle(), "Slide Show ( id:11 )");
  EXPECT_EQ(extra->widget()->objectName(), "NoSlotForm");
  const std::string path = (std::filesystem::temp_directory_path() / ("corvalind-slots-" + std::to_string(getpid()) + ".cvd")).string();
  ASSERT_TRUE(window_->SaveProject(QString::fromStdString(path)));
  ProjectDocument document;
  ASSERT_TRUE(ReadProjectFile(path, &document));
  ASSERT_EQ(document.windows.size(), 11u);
  EXPECT_TRUE(document.windows[0].Text("PARAM1").has_value());
  EXPECT_TRUE(document.windows[10].values.empty());
  std::filesystem::remove(path);
}

TEST_F(StudioUiTest, ClosingASourceWindowTurnsItsSlotBlack) {
  QMdiSubWindow* camera = window_->OpenWindow(kKindSlideShow);  // id 0, slot 0
  const std::vector<uint8_t> picture(8 * 8 * 3, 200);
  GlobalSourceSlots().DeliverFrame(false, 0, picture.data(), static_cast<uint32_t>(picture.size()), 8, 8);
  SourceSlot& slot = *GlobalSourceSlots().Slot(0);
  const uint32_t serial = slot.serial.load();
  camera->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(slot.serial.load(), serial + 1);
  std::lock_guard<std::mutex> guard(slot.lock);
  EXPECT_EQ(slot.pixels[0], 0);
  EXPECT_EQ(slot.width.load(), 8);
}

TEST_F(StudioUiTest, StatusTextFromAnyThreadLandsInTheStatusBar) {
  EXPECT_EQ(window_->statusBar()->currentMessage(), "Ready");
  std::thread worker([] { SetStatusText("Cannot setup shared memory! Try running in admin mode!"); });
  worker.join();
  QApplication::processEvents();
  EXPECT_EQ(window_->statusBar()->currentMessage(), "Cannot setup shared memory! Try running in admin mode!");
  // Hidden status bar: the text is dropped.
  window_->ActionByText("&Status Bar")->trigger();
  SetStatusText("hidden");
  QApplication::processEvents();
  EXPECT_NE(window_->statusBar()->currentMessage(), "hidden");
}

TEST_F(StudioUiTest, MenuCommandsCarryTheirTextsAndShortcuts) {
  for (const char* text : {"&New\tCtrl+N", "&Open\tCtrl+O", "&Save\tCtrl+S", "E&xit", "Camera", "Video File",
                           "Slideshow", "Desktop", "Video Hook", "Program", "Scene Manager", "Overlay",
                           "Background", "Network Send", "Recorder", "Settings Control", "Arrange",
                           "&Toolbar", "&Status Bar", "Homepage", "Check for Updates", "&About Corvalind"}) {
    EXPECT_NE(window_->ActionByText(text), nullptr) << text;
  }
  EXPECT_EQ(window_->ActionByText("&New\tCtrl+N")->shortcut(), QKeySequence(QKeySequence::New));
  window_->OpenWindow(kKindSlideShow);
  window_->OpenWindow(kKindProgram);
  window_->ActionByText("&New\tCtrl+N")->trigger();
  EXPECT_EQ(window_->Table().OpenCount(), 0);
}

TEST_F(StudioUiTest, ArrangePlacesTheProgramFirstThenRowsByTableOrder) {
  window_->resize(1000, 900);  // tall enough for the second row
  QMdiSubWindow* camera = window_->OpenWindow(kKindSlideShow);  // table entry 0
  QMdiSubWindow* program = window_->OpenWindow(kKindProgram);   // entry 1, placed first
  QMdiSubWindow* file = window_->OpenWindow(kKindDesktop);      // entry 2
  window_->Arrange();
  ASSERT_LE(program->width() + camera->width(), 1000);
  ASSERT_GT(program->width() + camera->width() + file->width(), 1000);
  EXPECT_EQ(program->pos(), QPoint(0, 0));
  EXPECT_EQ(camera->pos(), QPoint(program->width(), 0));
  // The next one would run past the window: a new row under the tallest.
  EXPECT_EQ(file->pos(), QPoint(0, std::max(program->height(), camera->height())));
}

TEST_F(StudioUiTest, ProgramViewLaysOutItsPreviewByTheOutputAspect) {
  OutputFormat hd;
  hd.SetSize(1280, 720);
  CViewProgramForm view(hd, buffer_ + "_hd", engine_.get());
  EXPECT_EQ(view.PreviewWidth(), 640);
  EXPECT_EQ(view.PreviewHeight(), 359);
  EXPECT_EQ(CViewProgramForm::FitPreview(hd, 640, 400), QRect(0, 20, 640, 360));
  EXPECT_EQ(CViewProgramForm::FitPreview(hd, 800, 300), QRect(133, 0, 533, 300));
  OutputFormat sd;
  CViewProgramForm standard(sd, buffer_ + "_sd", engine_.get());
  EXPECT_EQ(standard.PreviewHeight(), 479);
  view.show();
  view.resize(640, 400);
  QApplication::processEvents();
  EXPECT_EQ(view.PreviewHeight(), 360);
  EXPECT_EQ(view.Preview()->geometry(), QRect(0, 20, 640, 360));
}

TEST_F(StudioUiTest, SceneManagerEnablingQuickSwitchAndMessages) {
  StoreScenes(4);
  window_->OpenWindow(kKindSceneManager);
  CViewSceneManager* manager = window_->SceneManager();
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(manager->SceneList()->count(), 4);
  EXPECT_EQ(manager->SceneList()->itemText(2), "(03) Scene 3");
  EXPECT_EQ(manager->LastScene(), 0);  // opening switched to the first scene
  for (int k = 0; k < 10; ++k) {
    EXPECT_EQ(manager->QuickButton(k)->isEnabled(), k < 4) << k;
    EXPECT_EQ(manager->LoopCheck(k)->isEnabled(), k < 4) << k;
  }
  manager->EffectList()->setCurrentIndex(kTransitionBlend);
  manager->QuickSwitch(2);
  EXPECT_EQ(engine_->CurrentScene(), 2);
  EXPECT_EQ(engine_->Transition().activeTransition, kTransitionBlend);
  manager->QuickSwitch(5);  // no such scene: no selection, nothing switches
  EXPECT_EQ(manager->SceneList()->currentIndex(), -1);
  EXPECT_EQ(engine_->CurrentScene(), 2);
  manager->EditScene();
  manager->DeleteScene();
  ASSERT_EQ(gMessages.size(), 2u);
  EXPECT_EQ(gMessages[0].first, "Please, select scene to edit!");
  EXPECT_EQ(gMessages[1].first, "Please, select scene to delete!");
  EXPECT_TRUE(gMessages[0].second.isEmpty());
  manager->SceneList()->setCurrentIndex(0);
  manager->DeleteScene();
  EXPECT_EQ(manager->SceneList()->count(), 3);
  EXPECT_FALSE(manager->QuickButton(3)->isEnabled());
}

TEST_F(StudioUiTest, EmptySceneListDisablesEverythingAndSwitchesNothing) {
  window_->OpenWindow(kKindSceneManager);
  CViewSceneManager* manager = window_->SceneManager();
  EXPECT_EQ(manager->SceneList()->count(), 0);
  EXPECT_EQ(manager->LastScene(), -1);
  for (int k = 0; k < 10; ++k) EXPECT_FALSE(manager->QuickButton(k)->isEnabled());
  EXPECT_EQ(manager->EffectList()->count(), 11);
  EXPECT_EQ(manager->EffectList()->currentText(), "Cut / None");
}

TEST_F(StudioUiTest, HotKeyOpensTheManagerAndSwitchesHalfASecondLater) {
  StoreScenes(3);
  window_->OnSceneHotKey(2);  // Ctrl+3 with the manager closed
  CViewSceneManager* manager = window_->SceneManager();
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(engine_->CurrentScene(), 0);
  EXPECT_TRUE(QTest::qWaitFor([&] { return engine_->CurrentScene() == 2; }, 10000));
  window_->OnSceneHotKey(1);  // open now: at once
  EXPECT_EQ(engine_->CurrentScene(), 1);
}

TEST_F(StudioUiTest, LoopCountsDownAndCyclesTheCheckedScenes) {
  StoreScenes(3);
  window_->OpenWindow(kKindSceneManager);
  CViewSceneManager* manager = window_->SceneManager();
  manager->LoopCheck(0)->setChecked(true);
  manager->LoopCheck(2)->setChecked(true);
  manager->PeriodEdit()->setText("5");
  manager->ToggleLoop();
  ASSERT_TRUE(manager->Looping());
  EXPECT_EQ(manager->LoopButton()->text(), "Loop Off");
  EXPECT_FALSE(manager->LoopCheck(1)->isEnabled());
  EXPECT_FALSE(manager->PeriodEdit()->isEnabled());
  QStringList shown;
  std::vector<int> switched;
  for (int tick = 0; tick < 14; ++tick) {
    const int before = manager->LastScene();
    manager->LoopTick();
    shown << manager->PeriodEdit()->text();
    if (manager->LastScene() != before || tick == 6) switched.push_back(manager->LastScene());
  }
  EXPECT_EQ(shown.mid(0, 7), QStringList({"5", "4", "3", "2", "1", "0", "5"}));
  EXPECT_EQ(switched.front(), 0);  // the 7th tick switched to scene 1 (position 0)
  EXPECT_EQ(manager->LastScene(), 2);  // six ticks later: scene 3
  manager->ToggleLoop();
  EXPECT_FALSE(manager->Looping());
  EXPECT_EQ(manager->LoopButton()->text(), "Loop On");
  EXPECT_EQ(manager->PeriodEdit()->text(), "5");
  EXPECT_TRUE(manager->LoopCheck(1)->isEnabled());
}

TEST_F(StudioUiTest, LoopRefusesBadPeriodsAndSingleScenes) {
  StoreScenes(3);
  window_->OpenWindow(kKindSceneManager);
  CViewSceneManager* manager = window_->SceneManager();
  manager->LoopCheck(0)->setChecked(true);
  manager->LoopCheck(1)->setChecked(true);
  for (const char* period : {"0", "-3", "abc"}) {
    gMessages.clear();
    manager->PeriodEdit()->setText(period);
    manager->ToggleLoop();
    EXPECT_FALSE(manager->Looping()) << period;
    ASSERT_EQ(gMessages.size(), 1u);
    EXPECT_EQ(gMessages[0].first, "Please, enter valid loop duration (in seconds)!");
  }
  gMessages.clear();
  manager->LoopCheck(1)->setChecked(false);
  manager->PeriodEdit()->setText("5");
  manager->ToggleLoop();
  EXPECT_FALSE(manager->Looping());
  ASSERT_EQ(gMessages.size(), 1u);
  EXPECT_EQ(gMessages[0].first, "Please, select at least two scenes to activate looping!");
  EXPECT_EQ(manager->LoopButton()->text(), "Loop On");
}

TEST_F(StudioUiTest, ManagerSavesTheSceneListWhenItCloses) {
  StoreScenes(2);
  QMdiSubWindow* frame = window_->OpenWindow(kKindSceneManager);
  delete frame;
  SourceSlotTable otherSlots;
  OutputFormat format;
  auto other = VideoEngine::Create(otherSlots, format);
  ASSERT_TRUE(LoadScenes(*other, "scenes.xml"));
  EXPECT_EQ(other->SceneCount(), 2);
}

// The program from a prepared scenes.xml: the studio's program view
// publishes exactly what an engine of its own composes from the same
// scene and the same picture.
TEST_F(StudioUiTest, PublishedProgramMatchesTheEngineComposition) {
  VideoZone corner;
  corner.placement = VIDPOS_FREE;
  corner.sourceId = 6;
  corner.widthFrac = 50;
  corner.heightFrac = 40;
  corner.posXFrac = 25;
  corner.posYFrac = 10;
  corner.alpha = 70;
  corner.keepAspect = true;
  {
    SourceSlotTable slotTable;
    auto writer = VideoEngine::Create(slotTable, format_);
    writer->StoreScene({FullZone(5), corner}, "Prepared", -1);
    ASSERT_TRUE(SaveScenes(*writer, "scenes.xml"));
  }
  window_->OpenWindow(kKindProgram);
  window_->OpenWindow(kKindSceneManager);  // loads the file, puts scene 1 on air
  std::vector<uint8_t> a(160 * 120 * 3), b(64 * 48 * 3);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<uint8_t>(i * 7);
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 13 + 5);
  CViewProgramForm* view = window_->ProgramView();
  ASSERT_NE(view, nullptr);
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->Loop().Publishing(); }, 15000));
  GlobalSourceSlots().DeliverFrame(false, 5, a.data(), static_cast<uint32_t>(a.size()), 160, 120);
  GlobalSourceSlots().DeliverFrame(false, 6, b.data(), static_cast<uint32_t>(b.size()), 64, 48);
  // Two more polls: one of them began after both deliveries and composed them.
  const uint64_t polls = view->Loop().Polls();
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->Loop().Polls() >= polls + 2; }, 15000));

  SourceSlotTable slotTable;
  auto reference = VideoEngine::Create(slotTable, format_);
  ASSERT_TRUE(LoadScenes(*reference, "scenes.xml"));
  slotTable.DeliverFrame(false, 5, a.data(), static_cast<uint32_t>(a.size()), 160, 120);
  slotTable.DeliverFrame(false, 6, b.data(), static_cast<uint32_t>(b.size()), 64, 48);
  std::vector<uint8_t> expected(format_.frameBytes + 1);
  ASSERT_TRUE(reference->ComposeProgramFrame(expected.data(), format_.frameBytes));

  OutputBlock block;
  ASSERT_TRUE(OpenOutputBlock(block, buffer_));
  EXPECT_EQ(std::memcmp(block.block.Data() + 1, expected.data(), format_.frameBytes), 0);
}


// Project files through the real windows.
TEST_F(StudioUiTest, SavedProjectListsTheWindowsInTableOrder) {
  StoreScenes(4);
  window_->OpenWindow(kKindDesktop);
  QMdiSubWindow* program = window_->OpenWindow(kKindProgram);
  program->move(30, 40);
  window_->OpenWindow(kKindSceneManager);
  window_->SceneManager()->EffectList()->setCurrentIndex(kTransitionMoveRight);
  window_->SceneManager()->QuickSwitch(2);
  const std::string path = (std::filesystem::temp_directory_path() / ("corvalind-save-" + std::to_string(getpid()) + ".cvd")).string();
  ASSERT_TRUE(window_->SaveProject(QString::fromStdString(path)));
  ProjectDocument document;
  ASSERT_TRUE(ReadProjectFile(path, &document));
  ASSERT_EQ(document.windows.size(), 3u);
  EXPECT_EQ(document.windows[0].type, kKindDesktop);
  EXPECT_EQ(document.windows[0].Number("DATA", -1), 0);
  EXPECT_EQ(document.windows[0].Number("M", -1), 1);
  EXPECT_EQ(document.windows[1].type, kKindProgram);
  EXPECT_EQ(document.windows[1].posX, 30);
  EXPECT_EQ(document.windows[1].posY, 40);
  EXPECT_EQ(document.windows[1].Number("WIDTH", 0), program->width());
  EXPECT_EQ(document.windows[2].type, kKindSceneManager);
  EXPECT_EQ(document.windows[2].Number("DATA", -1), 2);
  EXPECT_EQ(document.windows[2].Number("PARAM1", -1), kTransitionMoveRight);
  std::filesystem::remove(path);
}

TEST_F(StudioUiTest, LoadedProjectReopensWindowsSourcesAndTheSavedScene) {
  StoreScenes(4);
  {
    SourceSlotTable slotTable;
    auto writer = VideoEngine::Create(slotTable, format_);
    for (int i = 0; i < 4; ++i) {
      std::string name = "S";
      name += std::to_string(i);
      writer->StoreScene({FullZone(i)}, name, -1);
    }
    ASSERT_TRUE(SaveScenes(*writer, "scenes.xml"));
  }
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / ("corvalind-load-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder / "slides");
  QImage slide(64, 48, QImage::Format_RGB888);
  slide.fill(QColor(10, 200, 30));
  ASSERT_TRUE(slide.save(QString::fromStdString((folder / "slides" / "a.png").string())));
  ProjectDocument document;
  document.config.keyRange = 0.42f;
  ProjectWindow desktop{kKindDesktop, 15, 25, {}};
  desktop.Set("DATA", 1);
  desktop.Set("T", 20);
  desktop.Set("L", 10);
  desktop.Set("R", 330);
  desktop.Set("B", 260);
  desktop.Set("M", 0);
  ProjectWindow slides{kKindSlideShow, 50, 60, {}};
  slides.Set("DATA", (folder / "slides").string());
  slides.Set("PARAM1", 7);
  ProjectWindow program{kKindProgram, 5, 6, {}};
  ProjectWindow secondProgram{kKindProgram, 400, 400, {}};  // cannot open: skipped
  ProjectWindow overlay{kKindOverlay, 70, 80, {}};
  ProjectWindow bogus{42, 1, 1, {}};
  ProjectWindow manager{kKindSceneManager, 0, 0, {}};
  manager.Set("DATA", 2);
  manager.Set("PARAM1", kTransitionBlend);
  document.windows = {desktop, slides, program, secondProgram, overlay, bogus, manager};
  const std::string path = (folder / "project.cvd").string();
  ASSERT_TRUE(WriteProjectFile(path, document));

  bool loaded = false;
  QObject::connect(window_.get(), &CMainFrame::projectLoaded, [&loaded] { loaded = true; });
  ASSERT_TRUE(window_->LoadProject(QString::fromStdString(path), 10, 50));
  ASSERT_TRUE(QTest::qWaitFor([&] { return loaded; }, 20000));
  EXPECT_EQ(chromaKeyRange.load(), 0.42f);
  EXPECT_EQ(window_->Table().OpenCount(), 5);  // desktop, slides, program, overlay, manager

  QMdiSubWindow* desktopWindow = window_->FindWindow(kKindDesktop);
  ASSERT_NE(desktopWindow, nullptr);
  EXPECT_EQ(desktopWindow->pos(), QPoint(15, 25));
  auto* desktopForm = qobject_cast<CViewDesktopForm*>(desktopWindow->widget());
  ASSERT_NE(desktopForm, nullptr);
  EXPECT_EQ(desktopForm->Mode(), 1);
  EXPECT_EQ(desktopForm->AreaLeft(), 10);
  EXPECT_EQ(desktopForm->AreaTop(), 20);
  EXPECT_EQ(desktopForm->AreaRight(), 330);
  EXPECT_EQ(desktopForm->AreaBottom(), 260);
  EXPECT_FALSE(desktopForm->ShowMouse());
  auto* slidesForm = qobject_cast<CViewSlideshowForm*>(window_->FindWindow(kKindSlideShow)->widget());
  ASSERT_NE(slidesForm, nullptr);
  EXPECT_EQ(slidesForm->Folder(), QString::fromStdString((folder / "slides").string()));
  EXPECT_EQ(slidesForm->Seconds(), 7);
  EXPECT_EQ(window_->FindWindow(kKindProgram)->pos(), QPoint(5, 6));
  EXPECT_EQ(window_->FindWindow(kKindOverlay)->pos(), QPoint(70, 80));
  EXPECT_EQ(engine_->CurrentScene(), 2);
  EXPECT_EQ(window_->SceneManager()->LastTransition(), kTransitionBlend);
  window_->CloseAllWindows();
  ResetKeySettings();
  std::filesystem::remove_all(folder);
}

// The whole path: a project with a slide show, a background, an overlay,
// the Video Output and the Scene Manager; the block the studio publishes
// equals what an engine of its own composes from the same pictures.
TEST_F(StudioUiTest, ProjectProgramMatchesTheEngineCompositionThroughTheBlock) {
  GlobalOutputFormat() = format_;  // the picture sources draw at the program size
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / ("corvalind-e2e-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder / "slides");
  QImage slide(200, 100, QImage::Format_RGB888);
  for (int y = 0; y < 100; ++y) {
    for (int x = 0; x < 200; ++x) slide.setPixelColor(x, y, QColor(x, y * 2, (x + y) & 0xFF));
  }
  ASSERT_TRUE(slide.save(QString::fromStdString((folder / "slides" / "one.png").string())));
  QImage background(320, 240, QImage::Format_RGB888);
  background.fill(QColor(30, 60, 90));
  ASSERT_TRUE(background.save(QString::fromStdString((folder / "background.png").string())));
  QImage overlay(320, 240, QImage::Format_ARGB32);
  overlay.fill(Qt::transparent);
  for (int y = 180; y < 230; ++y) {
    for (int x = 10; x < 200; ++x) overlay.setPixelColor(x, y, QColor(250, 250, 250, 40 + (x % 200)));
  }
  ASSERT_TRUE(overlay.save(QString::fromStdString((folder / "overlay.png").string())));
  VideoZone centre;
  centre.placement = VIDPOS_CENTER;
  centre.sourceId = 0;
  centre.widthFrac = 60;
  centre.heightFrac = 60;
  centre.alpha = 30;
  {
    SourceSlotTable slotTable;
    auto writer = VideoEngine::Create(slotTable, format_);
    writer->StoreScene({centre}, "Centre", -1);
    ASSERT_TRUE(SaveScenes(*writer, "scenes.xml"));
  }
  ProjectDocument document;
  ProjectWindow slides{kKindSlideShow, 0, 0, {}};
  slides.Set("DATA", (folder / "slides").string());
  slides.Set("PARAM1", 30);
  ProjectWindow back{kKindBackground, 0, 0, {}};
  back.Set("DATA", (folder / "background.png").string());
  ProjectWindow over{kKindOverlay, 0, 0, {}};
  over.Set("DATA", (folder / "overlay.png").string());
  ProjectWindow program{kKindProgram, 0, 0, {}};
  ProjectWindow manager{kKindSceneManager, 0, 0, {}};
  manager.Set("DATA", 0);
  manager.Set("PARAM1", 0);
  document.windows = {slides, back, over, program, manager};
  const std::string path = (folder / "e2e.cvd").string();
  ASSERT_TRUE(WriteProjectFile(path, document));

  bool loaded = false;
  QObject::connect(window_.get(), &CMainFrame::projectLoaded, [&loaded] { loaded = true; });
  ASSERT_TRUE(window_->LoadProject(QString::fromStdString(path), 20, 50));
  ASSERT_TRUE(QTest::qWaitFor([&] { return loaded; }, 20000));
  CViewProgramForm* view = window_->ProgramView();
  ASSERT_NE(view, nullptr);
  // Everything is open and the slide show has shown its picture: one more
  // composition with all of it.
  ASSERT_TRUE(QTest::qWaitFor([] { return GlobalSourceSlots().Slot(0)->width.load() == 320; }, 20000));
  const uint64_t before = view->Loop().PublishedFrames();
  GlobalImageLayers().recomposeRequested = true;
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->Loop().PublishedFrames() > before; }, 20000));

  // The same composition by hand: the slide show's picture, the two layers.
  SourceSlotTable slotTable;
  ImageLayerHooks layers;
  ImageLayer backgroundLayer((folder / "background.png").string(), 0, DefaultPictureReader(), 320, 240);
  ImageLayer overlayLayer((folder / "overlay.png").string(), 0, DefaultPictureReader(), 320, 240);
  layers.backgroundLayer = &backgroundLayer;
  layers.overlayLayer = &overlayLayer;
  auto reference = VideoEngine::Create(slotTable, format_, layers);
  ASSERT_TRUE(LoadScenes(*reference, "scenes.xml"));
  {
    SourceSlot& shown = *GlobalSourceSlots().Slot(0);
    std::lock_guard<std::mutex> guard(shown.lock);
    ASSERT_EQ(shown.width.load(), 320);
    slotTable.DeliverFrame(false, 0, shown.pixels.get(), format_.frameBytes, 320, 240);
  }
  std::vector<uint8_t> expected(format_.frameBytes + 1);
  ASSERT_TRUE(reference->ComposeProgramFrame(expected.data(), format_.frameBytes));
  OutputBlock block;
  ASSERT_TRUE(OpenOutputBlock(block, buffer_));
  EXPECT_EQ(std::memcmp(block.block.Data() + 1, expected.data(), format_.frameBytes), 0);
  window_->CloseAllWindows();
  GlobalOutputFormat() = OutputFormat{};
  std::filesystem::remove_all(folder);
}

// File > New asks only when there is something to lose: windows whose
// set-up changed since it was opened or saved.
TEST_F(StudioUiTest, NewAsksWhenTheSetUpChangedSinceItWasSaved) {
  QAction* newAction = window_->ActionByText("&New\tCtrl+N");
  newAction->trigger();  // nothing open: nothing asked
  EXPECT_TRUE(gQuestions.empty());
  window_->OpenWindow(kKindSlideShow);
  gAnswer = false;
  newAction->trigger();
  ASSERT_EQ(gQuestions.size(), 1u);
  EXPECT_EQ(gQuestions[0].second, "Corvalind");
  EXPECT_EQ(window_->Table().OpenCount(), 1) << "No keeps the windows";
  const std::string path = (std::filesystem::temp_directory_path() / ("corvalind-new-" + std::to_string(getpid()) + ".cvd")).string();
  ASSERT_TRUE(window_->SaveProject(QString::fromStdString(path)));
  newAction->trigger();  // saved just now: closes without a question
  EXPECT_EQ(gQuestions.size(), 1u);
  EXPECT_EQ(window_->Table().OpenCount(), 0);
  window_->OpenWindow(kKindDesktop);
  gAnswer = true;
  newAction->trigger();
  EXPECT_EQ(gQuestions.size(), 2u);
  EXPECT_EQ(window_->Table().OpenCount(), 0);
  std::filesystem::remove(path);
}

// Closing the Video Output while it publishes asks first; after it the
// camera that holds the block keeps the last picture, the status bar says
// that no program goes out, and reopening the view feeds the same block.
TEST_F(StudioUiTest, ClosingTheLiveProgramAsksAndReopeningResumesTheFeed) {
  StoreScenes(1);
  window_->OpenWindow(kKindSceneManager);
  QMdiSubWindow* program = window_->OpenWindow(kKindProgram);
  CViewProgramForm* view = window_->ProgramView();
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->Loop().Publishing(); }, 15000));
  std::vector<uint8_t> picture(320 * 240 * 3, 90);
  GlobalSourceSlots().DeliverFrame(false, 0, picture.data(), static_cast<uint32_t>(picture.size()), 320, 240);
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->Loop().PublishedFrames() > 0; }, 15000));
  OutputBlock camera;  // what a camera holds
  ASSERT_TRUE(OpenOutputBlock(camera, buffer_));
  // The delivered picture is on air once the block shows it; after that
  // nothing new is composed, so the counter stays where it is.
  ASSERT_TRUE(QTest::qWaitFor([&] { return camera.block.Data()[1] == 90; }, 15000));

  gAnswer = false;
  program->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  ASSERT_EQ(gQuestions.size(), 1u);
  EXPECT_EQ(gQuestions[0].first, kCloseProgramQuestion);
  ASSERT_NE(window_->FindWindow(kKindProgram), nullptr) << "No keeps the view";

  gAnswer = true;
  const uint8_t counter = camera.block.Data()[0];
  const std::vector<uint8_t> last(camera.block.Data() + 1, camera.block.Data() + 1 + format_.frameBytes);
  program->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(window_->FindWindow(kKindProgram), nullptr);
  EXPECT_EQ(window_->statusBar()->currentMessage(), kNoProgramText);
  EXPECT_EQ(camera.block.Data()[0], counter);
  EXPECT_EQ(std::memcmp(camera.block.Data() + 1, last.data(), last.size()), 0) << "the last picture stays";

  window_->OpenWindow(kKindProgram);
  view = window_->ProgramView();
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->Loop().Publishing(); }, 15000));
  std::fill(picture.begin(), picture.end(), 170);
  GlobalSourceSlots().DeliverFrame(false, 0, picture.data(), static_cast<uint32_t>(picture.size()), 320, 240);
  // (The counter starts again from 1 in a block that is taken up again, so
  // the picture tells the new frame.)
  EXPECT_TRUE(QTest::qWaitFor([&] { return camera.block.Data()[1] == 170; }, 15000))
      << "the camera's block is fed again";
}

// The program view is the PipeWire camera too: a consumer of the node gets
// the published program (exact in BGRx), and the node goes with the view.
TEST_F(StudioUiTest, TheProgramViewIsAPipeWireCameraWhileItIsOpen) {
  const std::string runtimeBefore = getenv("XDG_RUNTIME_DIR") ? getenv("XDG_RUNTIME_DIR") : "";
  const std::filesystem::path runtime =
      std::filesystem::temp_directory_path() / ("corvalind-ui-pipewire-" + std::to_string(getpid()));
  {
    testing::PrivatePipeWire pipewire;
    std::string reason;
    ASSERT_TRUE(pipewire.Start(runtime, &reason)) << reason;
    StoreScenes(1);
    window_->OpenWindow(kKindSceneManager);
    QMdiSubWindow* program = window_->OpenWindow(kKindProgram);
    CViewProgramForm* view = window_->ProgramView();
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->Loop().Publishing(); }, 15000));
    const std::string node = PipeWireNodeName(buffer_);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !testing::PrivatePipeWire::NodeProperties(node).empty(); }, 15000));
    EXPECT_NE(testing::PrivatePipeWire::NodeProperties(node).find("media.class = \"Video/Source\""), std::string::npos);

    std::vector<uint8_t> picture(320 * 240 * 3);
    for (std::size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<uint8_t>((i * 31) / 7);
    GlobalSourceSlots().DeliverFrame(false, 0, picture.data(), static_cast<uint32_t>(picture.size()), 320, 240);
    OutputBlock block;
    ASSERT_TRUE(OpenOutputBlock(block, buffer_));
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->Loop().PublishedFrames() > 0 && block.block.Data()[0] != 0; }, 15000));
    // Nothing new is composed after the one delivery: the block holds what
    // the node sends.
    const uint64_t polls = view->Loop().Polls();
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->Loop().Polls() >= polls + 2; }, 15000));
    const std::vector<uint8_t> published(block.block.Data() + 1, block.block.Data() + 1 + format_.frameBytes);

    const std::filesystem::path out = runtime / "received.raw";
    const std::string command = "timeout 30 gst-launch-1.0 -q pipewiresrc target-object=" + node +
                                " num-buffers=3 ! video/x-raw,format=BGRx ! videoconvert ! video/x-raw,format=BGR ! "
                                "filesink location=" + out.string() + " > " + (runtime / "gst.log").string() + " 2>&1";
    ASSERT_EQ(testing::RunCommand(command, nullptr), 0) << testing::ReadBytes((runtime / "gst.log").string());
    const std::string received = testing::ReadBytes(out.string());
    ASSERT_EQ(received.size(), 3u * format_.frameBytes);
    const char* last = received.data() + 2 * format_.frameBytes;
    // The block is bottom row first, the camera top row first.
    const std::size_t row = 320 * 3;
    int differentRows = 0;
    for (int y = 0; y < 240; ++y) {
      if (std::memcmp(last + y * row, published.data() + (239 - y) * row, row) != 0) ++differentRows;
    }
    EXPECT_EQ(differentRows, 0);

    program->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_EQ(window_->FindWindow(kKindProgram), nullptr);
    EXPECT_TRUE(testing::PrivatePipeWire::NodeProperties(node).empty()) << "the node goes with the view";
  }
  setenv("XDG_RUNTIME_DIR", runtimeBefore.c_str(), 1);
  std::error_code error;
  std::filesystem::remove_all(runtime, error);
}

// A chosen V4L2 device that is none is named with the reason, at the
// choice and when the view opens with it; the program goes on either way.
TEST_F(StudioUiTest, ALoopbackDeviceThatIsNoneIsSaidAndTheProgramGoesOn) {
  testing::StatusRecorder status;
  QMdiSubWindow* program = window_->OpenWindow(kKindProgram);
  CViewProgramForm* view = window_->ProgramView();
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->Loop().Publishing(); }, 15000));
  ChooseLoopbackDevice("/dev/null");
  EXPECT_EQ(view->LoopbackPath(), "");
  program->close();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  window_->OpenWindow(kKindProgram);
  view = window_->ProgramView();
  ASSERT_TRUE(QTest::qWaitFor([&] { return view->Loop().Publishing(); }, 15000));
  EXPECT_EQ(view->LoopbackPath(), "");
  const std::vector<std::string> texts = status.Take();
  const std::string said = "The program cannot go to the V4L2 device /dev/null: not a video device";
  EXPECT_EQ(std::count_if(texts.begin(), texts.end(), [&](const std::string& t) { return t.rfind(said, 0) == 0; }), 2);
  ChooseLoopbackDevice("");
}

TEST_F(StudioUiTest, WithoutPipeWireTheStatusBarSaysSoOnceAndTheProgramRuns) {
  ForgetPipeWireNotice();
  testing::StatusRecorder status;
  for (int round = 0; round < 2; ++round) {
    QMdiSubWindow* program = window_->OpenWindow(kKindProgram);
    CViewProgramForm* view = window_->ProgramView();
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->Loop().Publishing(); }, 15000));
    EXPECT_FALSE(view->Camera().Connected());
    program->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  const std::vector<std::string> texts = status.Take();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), std::string(kPipeWireMissingText)), 1);
}

// Saving over a file that is not a readable project keeps that file aside
// instead of destroying it; saving over a project simply replaces it.
TEST_F(StudioUiTest, SavingOverAnUnreadableFileKeepsItAside) {
  const std::filesystem::path folder = testing::FreshTestFolder("corvalind-save-over");
  const std::string path = (folder / "show.cvd").string();
  std::ofstream(path) << "notes that are not a project";
  window_->OpenWindow(kKindDesktop);
  ASSERT_TRUE(window_->SaveProject(QString::fromStdString(path)));
  QApplication::processEvents();
  std::vector<std::filesystem::path> kept;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().filename().string().rfind("show.cvd.unreadable-", 0) == 0) kept.push_back(entry.path());
  }
  ASSERT_EQ(kept.size(), 1u);
  std::ifstream in(kept[0]);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "notes that are not a project");
  EXPECT_TRUE(window_->statusBar()->currentMessage().contains(QString::fromStdString(kept[0].string())));
  ProjectDocument document;
  ASSERT_TRUE(ReadProjectFile(path, &document));
  EXPECT_EQ(document.windows.size(), 1u);
  // A readable project is replaced without a copy.
  ASSERT_TRUE(window_->SaveProject(QString::fromStdString(path)));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator()), 2);
  std::filesystem::remove_all(folder);
}

TEST_F(StudioUiTest, UnreadableProjectChangesNothing) {
  window_->OpenWindow(kKindSlideShow);
  const std::string path = (std::filesystem::temp_directory_path() / ("corvalind-bad-" + std::to_string(getpid()) + ".cvd")).string();
  {
    std::ofstream out(path);
    out << "<WINDOWS><WINDOW><TYPE>7</TYPE>";  // cut short
  }
  EXPECT_FALSE(window_->LoadProject(QString::fromStdString(path), 1, 1));
  EXPECT_FALSE(window_->LoadProject("/nonexistent/project.cvd", 1, 1));
  QCoreApplication::processEvents();  // a refused load schedules nothing
  EXPECT_EQ(window_->Table().OpenCount(), 1);
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace corvalind

int main(int argc, char** argv) {
  // Offscreen, with a temporary home: no real screen, no real files.
  corvalind::testing::TemporaryHome home("corvalind-ui");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

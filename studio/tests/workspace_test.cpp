// The workspace on a real X server of 1280 x 720: the main window stays on
// the screen, new windows do not pile up in one spot, and after Tile,
// Cascade and Arrange every window lies within the visible workspace.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QScreen>
#include <QTest>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "engine/source_slot.h"
#include "engine/video_engine.h"
#include "studio/main_window.h"
#include "studio/ui_bridge.h"
#include "test_support/test_home.h"
#include "test_support/xvfb.h"

// Qt's X11 platform reaches the session bus through libdbus, which keeps a
// buffer for the life of the process; the leak checker would report it at
// every exit. Leaks of the studio's own code are still reported.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdbus-1.so\n"; }

namespace corvalind {
namespace {

constexpr int kScreenWidth = 1280;
constexpr int kScreenHeight = 720;

bool AnswerNo(const QString&, const QString&) { return false; }

class WorkspaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetStudioQuestionHandler(&AnswerNo);
    format_.SetSize(640, 480);
    engine_ = VideoEngine::Create(GlobalSourceSlots(), format_);
    window_ = std::make_unique<CMainFrame>(*engine_, format_, "CorvalindTest_ws_" + std::to_string(getpid()),
                                           "Corvalind");
    window_->showMaximized();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
  }
  void TearDown() override {
    window_.reset();
    engine_.reset();
    SetStudioQuestionHandler(nullptr);
  }

  // Twelve windows of the kinds this version has.
  void OpenTwelve() {
    for (int kind : {kKindProgram, kKindSceneManager, kKindOverlay, kKindBackground}) {
      ASSERT_NE(window_->OpenWindow(kind), nullptr) << kind;
    }
    for (int i = 0; i < 4; ++i) ASSERT_NE(window_->OpenWindow(kKindSlideShow), nullptr);
    for (int i = 0; i < 4; ++i) ASSERT_NE(window_->OpenWindow(kKindDesktop), nullptr);
    QApplication::processEvents();
  }

  // Every window's frame inside the workspace, the main window inside the
  // screen.
  void ExpectAllInside(const char* after) {
    const QRect workspace(QPoint(0, 0), window_->Area()->viewport()->size());
    for (QMdiSubWindow* frame : window_->Area()->subWindowList()) {
      EXPECT_TRUE(workspace.contains(frame->geometry()))
          << after << ": " << frame->windowTitle().toStdString() << " at " << frame->x() << "," << frame->y()
          << " size " << frame->width() << "x" << frame->height() << " in " << workspace.width() << "x"
          << workspace.height();
    }
    const QRect screen = window_->screen()->geometry();
    EXPECT_TRUE(screen.contains(window_->frameGeometry()))
        << after << ": main window " << window_->frameGeometry().width() << "x"
        << window_->frameGeometry().height() << " on " << screen.width() << "x" << screen.height();
  }

  OutputFormat format_;
  std::unique_ptr<VideoEngine> engine_;
  std::unique_ptr<CMainFrame> window_;
};

TEST_F(WorkspaceTest, NewWindowsDoNotCoverEachOtherWhileThereIsRoom) {
  QMdiSubWindow* first = window_->OpenWindow(kKindSlideShow);
  QMdiSubWindow* second = window_->OpenWindow(kKindSlideShow);
  QMdiSubWindow* third = window_->OpenWindow(kKindDesktop);
  ASSERT_TRUE(first && second && third);
  EXPECT_FALSE(first->geometry().intersects(second->geometry()));
  EXPECT_FALSE(first->geometry().intersects(third->geometry()));
  EXPECT_FALSE(second->geometry().intersects(third->geometry()));
  ExpectAllInside("opening three");
}

TEST_F(WorkspaceTest, TwelveWindowsStayInsideAfterOpeningTileCascadeAndArrange) {
  OpenTwelve();
  ExpectAllInside("opening");
  const struct {
    const char* text;
    void (*apply)(CMainFrame&);
  } steps[] = {
      {"Tile", [](CMainFrame& w) { w.Tile(); }},
      {"Cascade", [](CMainFrame& w) { w.Area()->cascadeSubWindows(); }},
      {"Arrange", [](CMainFrame& w) { w.Arrange(); }},
  };
  for (const auto& step : steps) {
    step.apply(*window_);
    QApplication::processEvents();
    ExpectAllInside(step.text);
  }
}

}  // namespace
}  // namespace corvalind

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Test discovery only lists the tests: no server needed. (InitGoogleTest
  // has taken its flags out of argv by now.)
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  corvalind::testing::TemporaryHome home("corvalind-workspace");
  corvalind::testing::PrivateXServer server;
  if (!server.Start(corvalind::kScreenWidth, corvalind::kScreenHeight)) {
    std::fprintf(stderr, "workspace_tests: cannot start Xvfb\n");
    return 1;
  }
  setenv("DISPLAY", server.DisplayName().c_str(), 1);
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}

// The player against the real camera element: a private output buffer
// carries a picture of four coloured quadrants, the dialog plays it, and
// the tests look at what the video area shows (a grab of its X window for
// the overlay sink, a render of the widget for the painter), at the
// controls, at full screen and at the pipeline each Play builds.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QGuiApplication>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "player/player_dialog.h"
#include "player/tests/player_fixture.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

using testing::CompareWithProgram;
using testing::kFirstPicture;
using testing::kSecondPicture;
using testing::PlayerTest;
using testing::WaitUntil;

TEST(PlayerLayoutTest, LetterBoxKeepsThePictureRatioCentred) {
  struct Case {
    int pw, ph, aw, ah;
    FitRect want;
  } cases[] = {
      {320, 240, 260, 171, {16, 0, 228, 171}},      // wider area: bars left and right
      {320, 240, 260, 300, {0, 52, 260, 195}},      // taller area: bars above and below
      {1920, 1080, 1024, 768, {0, 96, 1024, 576}},  // full screen 4:3 with a wide picture
      {320, 240, 1024, 768, {0, 0, 1024, 768}},     // same ratio: no bars
      {640, 480, 3, 1, {1, 0, 1, 1}},               // never empty for a real area
      {0, 240, 260, 171, {}},
      {320, 240, 0, 171, {}},
  };
  for (const Case& c : cases) {
    const FitRect got = LetterBox(c.pw, c.ph, c.aw, c.ah);
    EXPECT_EQ(got, c.want) << c.pw << "x" << c.ph << " in " << c.aw << "x" << c.ah << ": got " << got.x << ","
                           << got.y << " " << got.width << "x" << got.height;
  }
}

TEST(PlayerLayoutTest, OverlayOnlyWhereTheWindowSystemHasForeignWindows) {
  EXPECT_EQ(ChooseRenderPath("xcb"), RenderPath::kOverlay);
  for (const char* platform : {"wayland", "wayland-egl", "offscreen", "minimal", "eglfs", ""}) {
    EXPECT_EQ(ChooseRenderPath(platform), RenderPath::kPainter) << platform;
  }
}

TEST_F(PlayerTest, StartsStoppedCentredWithItsCaptionAndIcon) {
  auto dialog = MakeDialog();
  EXPECT_EQ(dialog->windowTitle(), kPlayerCaption);
  EXPECT_FALSE(dialog->windowIcon().isNull());
  EXPECT_EQ(dialog->Path(), RenderPath::kOverlay);  // the tests run on xcb
  ExpectControls(*dialog, false);
  EXPECT_FALSE(dialog->FullScreen());
  EXPECT_FALSE(dialog->DeckLinkCheck()->isChecked());
  const QPoint centre = dialog->screen()->availableGeometry().center();
  EXPECT_LE((dialog->geometry().center() - centre).manhattanLength(), 2);
  // Stopped, the area is black, and full screen cannot start.
  EXPECT_EQ(CompareWithProgram(GrabVideo(*dialog), {Qt::black, Qt::black, Qt::black, Qt::black}), "");
  QTest::mouseDClick(dialog->Video(), Qt::LeftButton);
  dialog->SetFullScreen(true);
  EXPECT_FALSE(dialog->FullScreen());
}

class PlayerPathTest : public PlayerTest, public ::testing::WithParamInterface<RenderPath> {};

TEST_P(PlayerPathTest, PlayShowsTheProgramLetterBoxedAlsoInFullScreen) {
  auto dialog = MakeDialog(GetParam());
  QTest::mouseClick(dialog->PlayButton(), Qt::LeftButton);
  ExpectControls(*dialog, true);
  ASSERT_TRUE(WaitForFrames(*dialog, 3));
  EXPECT_EQ(WaitForPicture(*dialog, kFirstPicture), "");

  // The studio's next picture follows.
  writer_.Publish(kSecondPicture);
  EXPECT_EQ(WaitForPicture(*dialog, kSecondPicture), "");

  // Full screen draws at the screen's size, and back in the window again at
  // the area's.
  dialog->SetFullScreen(true);
  ASSERT_TRUE(WaitUntil([&] { return dialog->Video()->size() == dialog->screen()->geometry().size(); }));
  EXPECT_EQ(WaitForPicture(*dialog, kSecondPicture), "");
  EXPECT_EQ(GrabVideo(*dialog).size(), dialog->screen()->geometry().size());
  dialog->SetFullScreen(false);
  ASSERT_TRUE(WaitUntil([&] { return dialog->Video()->width() < dialog->screen()->geometry().width() / 2; }))
      << "dialog " << dialog->width() << "x" << dialog->height() << ", video " << dialog->Video()->width() << "x"
      << dialog->Video()->height() << ", window " << dialog->windowHandle()->width() << "x"
      << dialog->windowHandle()->height();
  EXPECT_EQ(WaitForPicture(*dialog, kSecondPicture), "");
}

TEST_P(PlayerPathTest, StopThenPlayBuildsAFreshPipelineWithTheCameraRunning) {
  auto dialog = MakeDialog(GetParam());
  dialog->OnPlay();
  ASSERT_NE(dialog->Pipeline(), nullptr);
  const uint64_t first = dialog->Pipeline()->Serial();
  ASSERT_TRUE(WaitForFrames(*dialog, 2));

  QTest::mouseClick(dialog->PlayButton(), Qt::LeftButton);
  ExpectControls(*dialog, false);
  EXPECT_EQ(CompareWithProgram(GrabVideo(*dialog), {Qt::black, Qt::black, Qt::black, Qt::black}), "")
      << "a stopped player shows black";

  writer_.Publish(kSecondPicture);
  QTest::mouseClick(dialog->PlayButton(), Qt::LeftButton);
  ExpectControls(*dialog, true);
  ASSERT_NE(dialog->Pipeline(), nullptr);
  EXPECT_NE(dialog->Pipeline()->Serial(), first);
  GstElement* camera = gst_bin_get_by_name(GST_BIN(dialog->Pipeline()->Element()), "Orvik Corvalind");
  ASSERT_NE(camera, nullptr);
  GstState state = GST_STATE_VOID_PENDING;
  EXPECT_EQ(gst_element_get_state(camera, &state, nullptr, 5 * GST_SECOND), GST_STATE_CHANGE_SUCCESS);
  EXPECT_EQ(state, GST_STATE_PLAYING);
  gst_object_unref(camera);
  ASSERT_TRUE(WaitForFrames(*dialog, 3));
  EXPECT_EQ(WaitForPicture(*dialog, kSecondPicture), "");

  // Stop and Play in quick succession, each pipeline torn down while it
  // may still be starting, and the last one plays.
  uint64_t last = dialog->Pipeline()->Serial();
  for (int i = 0; i < 5; ++i) {
    dialog->OnPlay();
    ExpectControls(*dialog, false);
    dialog->OnPlay();
    ExpectControls(*dialog, true);
    EXPECT_NE(dialog->Pipeline()->Serial(), last);
    last = dialog->Pipeline()->Serial();
  }
  ASSERT_TRUE(WaitForFrames(*dialog, 3));
  EXPECT_EQ(WaitForPicture(*dialog, kSecondPicture), "");
}

// A display that stops taking pictures must not hold the camera back: the
// window sink is blocked outright while the camera's pictures are counted.
TEST_P(PlayerPathTest, AStalledWindowNeverHoldsTheCameraBack) {
  auto dialog = MakeDialog(GetParam());
  dialog->OnPlay();
  ASSERT_TRUE(WaitForFrames(*dialog, 2));
  testing::CameraStamps camera(*dialog->Pipeline());
  testing::WindowHold hold(*dialog->Pipeline());
  ASSERT_TRUE(camera.Recording());
  ASSERT_TRUE(hold.Holding());
  // Once the sink is held, at most the picture it was handling gets
  // through.
  const uint64_t shownBefore = dialog->Pipeline()->FramesShown();
  const std::size_t producedBefore = camera.Count();
  // A second of pictures at 30 per second, far more than the window's
  // queue holds.
  EXPECT_TRUE(WaitUntil([&] { return camera.Count() >= producedBefore + 30; }))
      << "the camera stalled behind the window";
  EXPECT_LE(dialog->Pipeline()->FramesShown(), shownBefore + 2);

  hold.Release();
  EXPECT_TRUE(WaitForFrames(*dialog, 3)) << "the window did not take up again";
  EXPECT_TRUE(dialog->Playing());
  dialog->OnPlay();  // stopped before the probes go
}

INSTANTIATE_TEST_SUITE_P(Sinks, PlayerPathTest, ::testing::Values(RenderPath::kOverlay, RenderPath::kPainter),
                         [](const ::testing::TestParamInfo<RenderPath>& info) {
                           return info.param == RenderPath::kOverlay ? "Overlay" : "Painter";
                         });

// Full screen: frameless over the dialog's screen, the video covering it,
// no cursor, no controls; and all of it undone when it ends.
void ExpectFullScreen(CMainDlg& dialog) {
  const QRect screen = dialog.screen()->geometry();
  EXPECT_TRUE(WaitUntil([&] { return dialog.geometry() == screen && dialog.Video()->geometry() == dialog.rect(); }))
      << "dialog at " << dialog.geometry().x() << "," << dialog.geometry().y() << " " << dialog.width() << "x"
      << dialog.height();
  EXPECT_TRUE(dialog.FullScreen());
  EXPECT_TRUE(dialog.windowFlags().testFlag(Qt::FramelessWindowHint));
  EXPECT_TRUE(dialog.windowHandle()->flags().testFlag(Qt::FramelessWindowHint));
  EXPECT_EQ(dialog.cursor().shape(), Qt::BlankCursor);
  EXPECT_EQ(dialog.Video()->cursor().shape(), Qt::BlankCursor);
  EXPECT_FALSE(dialog.PlayButton()->isVisible());
  EXPECT_FALSE(dialog.FullscreenButton()->isVisible());
  EXPECT_FALSE(dialog.DeckLinkCheck()->isVisible());
  EXPECT_TRUE(dialog.isVisible());
}

void ExpectWindowed(CMainDlg& dialog, const QRect& geometry, Qt::WindowFlags flags) {
  EXPECT_TRUE(WaitUntil([&] { return dialog.geometry() == geometry; }));
  EXPECT_FALSE(dialog.FullScreen());
  EXPECT_EQ(dialog.windowFlags(), flags);
  EXPECT_FALSE(dialog.windowHandle()->flags().testFlag(Qt::FramelessWindowHint));
  EXPECT_NE(dialog.cursor().shape(), Qt::BlankCursor);
  EXPECT_TRUE(dialog.PlayButton()->isVisible());
  EXPECT_TRUE(dialog.FullscreenButton()->isVisible());
  EXPECT_TRUE(dialog.DeckLinkCheck()->isVisible());
  EXPECT_LT(dialog.Video()->width(), geometry.width());
  EXPECT_TRUE(dialog.Playing());
}

TEST_F(PlayerTest, FullScreenByButtonDoubleClickAndEscapeThenEscapeCloses) {
  auto dialog = MakeDialog();
  dialog->OnPlay();
  ASSERT_TRUE(dialog->Playing());
  const QRect windowed = dialog->geometry();
  const Qt::WindowFlags flags = dialog->windowFlags();
  const WId videoWindow = dialog->Video()->winId();

  QTest::mouseClick(dialog->FullscreenButton(), Qt::LeftButton);
  ExpectFullScreen(*dialog);
  // The sink's window stays the same native window throughout.
  EXPECT_EQ(dialog->Video()->winId(), videoWindow);
  QTest::keyClick(dialog.get(), Qt::Key_Escape);
  ExpectWindowed(*dialog, windowed, flags);

  QTest::mouseDClick(dialog->Video(), Qt::LeftButton);
  ExpectFullScreen(*dialog);
  QTest::mouseDClick(dialog->Video(), Qt::LeftButton);
  ExpectWindowed(*dialog, windowed, flags);

  QTest::mouseDClick(dialog->Video(), Qt::LeftButton);
  ExpectFullScreen(*dialog);
  QTest::keyClick(dialog.get(), Qt::Key_Escape);
  ExpectWindowed(*dialog, windowed, flags);
  EXPECT_EQ(dialog->Video()->winId(), videoWindow);
  ASSERT_TRUE(WaitForFrames(*dialog, 2));

  QTest::keyClick(dialog.get(), Qt::Key_Escape);
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(dialog->result(), QDialog::Rejected);
}

// The program's exit code is the dialog's result under exec(): Enter gives
// 1, Escape and the close box 0, also after a trip to full screen (which
// must not end the modal loop).
TEST_F(PlayerTest, EnterEndsWithOneEscapeAndCloseBoxWithZero) {
  struct Case {
    const char* what;
    std::function<void(CMainDlg&)> end;
    int want;
  } cases[] = {
      {"Enter", [](CMainDlg& d) { QTest::keyClick(&d, Qt::Key_Return); }, 1},
      {"keypad Enter", [](CMainDlg& d) { QTest::keyClick(&d, Qt::Key_Enter, Qt::KeypadModifier); }, 1},
      {"Enter on a focused button", [](CMainDlg& d) {
         d.PlayButton()->setFocus();
         QTest::keyClick(d.PlayButton(), Qt::Key_Return);
       }, 1},
      {"Escape", [](CMainDlg& d) { QTest::keyClick(&d, Qt::Key_Escape); }, 0},
      {"close box", [](CMainDlg& d) { d.close(); }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto dialog = MakeDialog();
    bool ran = false;
    QTimer::singleShot(0, dialog.get(), [&] {
      dialog->OnPlay();
      dialog->SetFullScreen(true);
      dialog->SetFullScreen(false);
      ran = dialog->isVisible() && dialog->Playing();
      c.end(*dialog);
    });
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, dialog.get(), [&] {
      ADD_FAILURE() << "the dialog stayed open";
      dialog->done(99);
    });
    watchdog.start(20000);
    EXPECT_EQ(dialog->exec(), c.want);
    EXPECT_TRUE(ran) << "full screen ended the modal loop";
  }
}

TEST_F(PlayerTest, WithoutACardTheDeckLinkMessageShowsOnceAndTheWindowPlays) {
  auto dialog = MakeDialog();
  dialog->DeckLinkCheck()->setChecked(true);
  QTest::mouseClick(dialog->PlayButton(), Qt::LeftButton);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].caption, "Error");
  EXPECT_EQ(messages_[0].text, "BlackMagic DeckLink card was not found!");
  ExpectControls(*dialog, true);
  EXPECT_FALSE(dialog->Pipeline()->HasDeckLink());
  EXPECT_EQ(WaitForPicture(*dialog, kFirstPicture), "");
  // Well past a few checks of the pipeline's errors: still one message.
  ASSERT_TRUE(WaitForFrames(*dialog, 15));
  EXPECT_EQ(messages_.size(), 1u);

  // Each Play asks for the card again.
  dialog->OnPlay();
  ExpectControls(*dialog, false);
  EXPECT_TRUE(dialog->DeckLinkCheck()->isChecked());
  dialog->OnPlay();
  EXPECT_EQ(messages_.size(), 2u);
  ExpectControls(*dialog, true);
}

TEST_F(PlayerTest, WithoutTheCameraPlayStaysStoppedSilently) {
  GstRegistry* registry = gst_registry_get();
  GstPluginFeature* camera = gst_registry_lookup_feature(registry, "corvalindcamsrc");
  ASSERT_NE(camera, nullptr);
  gst_registry_remove_feature(registry, camera);
  auto dialog = MakeDialog();
  dialog->DeckLinkCheck()->setChecked(true);
  dialog->OnPlay();
  gst_registry_add_feature(registry, camera);
  gst_object_unref(camera);
  ExpectControls(*dialog, false);
  // Only the card's message; nothing about the camera.
  EXPECT_EQ(messages_.size(), 1u);
  // With the camera back, Play plays.
  dialog->DeckLinkCheck()->setChecked(false);
  dialog->OnPlay();
  ExpectControls(*dialog, true);
}

TEST_F(PlayerTest, ClosingThePlayerStopsItsPipeline) {
  auto dialog = MakeDialog();
  dialog->OnPlay();
  ASSERT_TRUE(WaitForFrames(*dialog, 2));
  GstElement* pipeline = dialog->Pipeline()->Element();
  gst_object_ref(pipeline);
  dialog.reset();
  GstState state = GST_STATE_VOID_PENDING;
  EXPECT_EQ(gst_element_get_state(pipeline, &state, nullptr, 0), GST_STATE_CHANGE_SUCCESS);
  EXPECT_EQ(state, GST_STATE_NULL);
  EXPECT_EQ(GST_OBJECT_REFCOUNT_VALUE(pipeline), 1) << "the player kept a reference";
  gst_object_unref(pipeline);
}

}  // namespace
}  // namespace corvalind

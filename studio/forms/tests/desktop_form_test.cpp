// The "Capture Desktop" form: its controls, restoring a saved choice, and
// replacing its capturer on every change, against a private Xvfb server.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/output_format.h"
#include "engine/source_slot.h"
#include "studio/forms/define_area_dialog.h"
#include "studio/forms/desktop_form.h"
#include "test_support/test_home.h"
#include "test_support/xvfb.h"

namespace corvalind {
namespace {

using testing::WaitFor;

constexpr int kXvfbWidth = 640;
constexpr int kXvfbHeight = 480;
// ---------------------------------------------------------------------------
// The form

template <typename T>
T* Child(QWidget& parent, const char* id) {
  T* child = parent.findChild<T*>(id);
  EXPECT_NE(child, nullptr) << id;
  return child;
}

TEST(DesktopFormTest, StartsIdleWithTheDefaults) {
  CViewDesktopForm form(4);
  EXPECT_EQ(form.Capturer(), nullptr);
  EXPECT_EQ(form.Mode(), 0);
  EXPECT_EQ(form.AreaLeft(), 0);
  EXPECT_EQ(form.AreaTop(), 0);
  EXPECT_EQ(form.AreaRight(), GlobalOutputFormat().outputWidth);
  EXPECT_EQ(form.AreaBottom(), GlobalOutputFormat().outputHeight);
  EXPECT_TRUE(form.ShowMouse());
  EXPECT_TRUE(Child<QCheckBox>(form, "1041")->isChecked());
  EXPECT_EQ(Child<QWidget>(form, "1002")->size(), QSize(200, 150));
  EXPECT_EQ(Child<QRadioButton>(form, "1010")->text(), "Fullscreen");
  EXPECT_EQ(Child<QRadioButton>(form, "1011")->text(), "Capture Area");
  EXPECT_EQ(Child<QRadioButton>(form, "1008")->text(), "Mouse Area");
  EXPECT_EQ(Child<QPushButton>(form, "1012")->text(), "Define Area");
}

TEST(DesktopFormTest, RestoreRoundTripsAndCapturesIntoTheSlot) {
  struct Case {
    int mode, left, top, right, bottom;
    bool showMouse;
    const char* button;
    int frameWidth, frameHeight;
  };
  const Case cases[] = {
      {1, 10, 20, 170, 140, false, "1011", 160, 120},
      {2, 0, 0, 50, 50, true, "1008", GlobalOutputFormat().outputWidth, GlobalOutputFormat().outputHeight},
      {0, 5, 6, 7, 8, true, "1010", kXvfbWidth, kXvfbHeight},
      {1, 100, 100, 50, 300, false, "1011", 10, 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.button);
    CViewDesktopForm form(5);
    form.Restore(c.mode, c.left, c.top, c.right, c.bottom, c.showMouse);
    EXPECT_EQ(form.Mode(), c.mode);
    EXPECT_EQ(form.AreaLeft(), c.left);
    EXPECT_EQ(form.AreaTop(), c.top);
    EXPECT_EQ(form.AreaRight(), c.right);
    EXPECT_EQ(form.AreaBottom(), c.bottom);
    EXPECT_EQ(form.ShowMouse(), c.showMouse);
    EXPECT_TRUE(Child<QRadioButton>(form, c.button)->isChecked());
    EXPECT_EQ(Child<QCheckBox>(form, "1041")->isChecked(), c.showMouse);
    ASSERT_NE(form.Capturer(), nullptr);
    EXPECT_EQ(form.Capturer()->Settings().mode, c.mode);
    EXPECT_EQ(form.Capturer()->Settings().showCursor, c.showMouse);
    ASSERT_TRUE(WaitFor([&] { return form.Capturer()->FramesDelivered() > 0; }))
        << "running " << form.Capturer()->Running() << " alive " << form.Capturer()->Alive();
    EXPECT_EQ(form.Capturer()->Slot(), 5);
    EXPECT_EQ(GlobalSourceSlots().Slot(5)->width.load(), c.frameWidth);
    EXPECT_EQ(GlobalSourceSlots().Slot(5)->height.load(), c.frameHeight);
  }

  CViewDesktopForm odd(3);
  odd.Restore(9, 0, 0, 10, 10, true);
  EXPECT_EQ(odd.Mode(), 0);
  EXPECT_TRUE(Child<QRadioButton>(odd, "1010")->isChecked());
}

TEST(DesktopFormTest, EveryChangeReplacesTheCapturer) {
  CViewDesktopForm form(6);
  form.show();
  Child<QRadioButton>(form, "1011")->click();
  ASSERT_NE(form.Capturer(), nullptr);
  EXPECT_EQ(form.Mode(), 1);

  // "Show mouse" off: a new capturer with the same mode and area.
  Child<QCheckBox>(form, "1041")->click();
  EXPECT_FALSE(form.ShowMouse());
  ASSERT_NE(form.Capturer(), nullptr);
  EXPECT_FALSE(form.Capturer()->Settings().showCursor);
  EXPECT_EQ(form.Capturer()->Settings().mode, 1);
  EXPECT_EQ(form.Capturer()->Settings().area, (CaptureRect{0, 0, form.AreaRight(), form.AreaBottom()}));

  Child<QRadioButton>(form, "1008")->click();
  EXPECT_EQ(form.Mode(), 2);
  EXPECT_EQ(form.Capturer()->Settings().mode, 2);
  EXPECT_FALSE(form.Capturer()->Settings().showCursor);
}

// Fills the open "Define Capture Area" dialog and presses `button`.
void AnswerDefineDialog(const QStringList& values, const char* button, QStringList* shown) {
  QTimer::singleShot(0, [values, button, shown] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), "Define Capture Area");
    const char* ids[4] = {"1068", "1067", "1069", "1070"};
    for (int i = 0; i < 4; ++i) {
      auto* field = dialog->findChild<QLineEdit*>(ids[i]);
      ASSERT_NE(field, nullptr) << ids[i];
      shown->append(field->text());
      field->setText(values[i]);
    }
    auto* press = dialog->findChild<QPushButton*>(button);
    ASSERT_NE(press, nullptr);
    press->click();
  });
}

TEST(DesktopFormTest, DefineAreaStoresTheAreaAndRestarts) {
  CViewDesktopForm form(7);
  form.Restore(1, 1, 2, 3, 4, false);
  QStringList shown;

  AnswerDefineDialog({"40", "30", "200", "130"}, "IDCANCEL", &shown);
  Child<QPushButton>(form, "1012")->click();
  EXPECT_EQ(shown, (QStringList{"1", "2", "3", "4"}));
  EXPECT_EQ(form.AreaRight(), 3);
  EXPECT_EQ(form.Capturer()->Settings().area, (CaptureRect{1, 2, 3, 4}));

  shown.clear();
  AnswerDefineDialog({"40", "30", "200", "130"}, "IDOK", &shown);
  Child<QPushButton>(form, "1012")->click();
  EXPECT_EQ(form.AreaLeft(), 40);
  EXPECT_EQ(form.AreaTop(), 30);
  EXPECT_EQ(form.AreaRight(), 200);
  EXPECT_EQ(form.AreaBottom(), 130);
  ASSERT_NE(form.Capturer(), nullptr);
  EXPECT_EQ(form.Capturer()->Settings().area, (CaptureRect{40, 30, 200, 130}));
  EXPECT_EQ(form.Mode(), 1);
  ASSERT_TRUE(WaitFor([&] { return form.Capturer()->FramesDelivered() > 0; }));
  EXPECT_EQ(form.Capturer()->CaptureWidth(), 160);
  EXPECT_EQ(form.Capturer()->CaptureHeight(), 100);

  // Without a capturer the area is stored and nothing starts.
  CViewDesktopForm idle(8);
  shown.clear();
  AnswerDefineDialog({"-5", "0", "xx", "20"}, "IDOK", &shown);
  Child<QPushButton>(idle, "1012")->click();
  EXPECT_EQ(idle.Capturer(), nullptr);
  EXPECT_EQ(idle.AreaLeft(), -5);
  EXPECT_EQ(idle.AreaBottom(), 20);
}

TEST(DesktopFormTest, SourceNumbersPastTheSlotsDeliverNowhere) {
  const uint32_t before = GlobalSourceSlots().Slot(0)->serial.load();
  CViewDesktopForm form(256);  // would wrap to slot 0 as an 8-bit number
  form.Restore(0, 0, 0, 10, 10, false);
  ASSERT_TRUE(WaitFor([&] { return form.Capturer()->FramesDelivered() > 0; }));
  EXPECT_GE(form.Capturer()->Slot(), 10);
  EXPECT_EQ(GlobalSourceSlots().Slot(0)->serial.load(), before);
}

}  // namespace
}  // namespace corvalind

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Test discovery only lists the tests: no server needed. (InitGoogleTest
  // has taken its flags out of argv by now.)
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  corvalind::testing::TemporaryHome home("corvalind-desktop-form");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  corvalind::testing::PrivateXServer server;
  if (!server.Start(corvalind::kXvfbWidth, corvalind::kXvfbHeight)) {
    std::fprintf(stderr, "desktop_form_tests: cannot start Xvfb\n");
    return 1;
  }
  setenv("DISPLAY", server.DisplayName().c_str(), 1);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}

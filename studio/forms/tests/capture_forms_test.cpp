// The forms of the capture sources, wired to the real media code: the
// camera form on the fake cameras (device list, activation, Config, Mode,
// hot-plug, projects) and the video-file form on a file made with
// gst-launch-1.0 (playing, the seek bar, the buttons, projects, a missing
// file). What the sources do inside is tested with capture/; here the
// question is whether the forms drive them as the user asks.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "capture/camera_source.h"
#include "capture/media_toolkit.h"
#include "capture/tests/fake_cameras.h"
#include "engine/source_slot.h"
#include "studio/forms/camera_form.h"
#include "studio/forms/capture_mode_dialog.h"
#include "studio/forms/preview_widget.h"
#include "studio/forms/property_dialog.h"
#include "studio/forms/videofile_form.h"
#include "test_support/frames.h"
#include "test_support/modal_windows.h"
#include "test_support/status_texts.h"
#include "test_support/test_home.h"

// GLib and GStreamer keep their type system, registry and device monitors
// for the life of the process; what they still hold at exit is not a leak
// of ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libglib-2.0.so\nleak:libgstreamer-1.0.so\n"; }

namespace corvalind {
namespace {

namespace fs = std::filesystem;
using testing::FakeCameraSpec;
using testing::WithModal;

bool WaitFor(const std::function<bool()>& condition) {
  return testing::WaitFor(condition, std::chrono::seconds(20), [] { QApplication::processEvents(); });
}

template <typename T>
T* Child(QWidget& parent, const char* id) {
  T* child = parent.findChild<T*>(id);
  EXPECT_NE(child, nullptr) << id;
  return child;
}

QStringList Entries(const QComboBox& list) {
  QStringList entries;
  for (int i = 0; i < list.count(); ++i) entries << list.itemText(i);
  return entries;
}

// What QComboBox does when the user picks an entry.
void Choose(QComboBox& list, int position) {
  list.setCurrentIndex(position);
  emit list.activated(position);
}

uint32_t Serial(int slot) { return GlobalSourceSlots().Slot(slot)->serial.load(); }

// Whether the middle pixel of what slot `slot` holds is about `r, g, b`
// (the pictures went through YUV on their way).
bool SlotCentreIs(int slot, int r, int g, int b) {
  const testing::SlotPicture picture = testing::ReadSlot(GlobalSourceSlots(), slot);
  if (picture.width <= 0 || picture.height <= 0) return false;
  const uint8_t* p = testing::FramePixel(picture.pixels, picture.width, picture.height, picture.width / 2,
                                         picture.height / 2);
  return std::abs(p[2] - r) < 40 && std::abs(p[1] - g) < 40 && std::abs(p[0] - b) < 40;
}

// Runs `open` and hands every property dialog it shows to `drive`, then
// closes it. Answers the captions in the order they showed. Past the
// watchdog every dialog is rejected, so a fault fails the test instead of
// hanging it.
std::vector<QString> DrivePropertyDialogs(const std::function<void()>& open,
                                          const std::function<void(PropertyDialog&)>& drive) {
  std::vector<QString> captions;
  bool late = false;
  QTimer poll;
  poll.setInterval(1);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* dialog = testing::VisibleWindow<PropertyDialog>();
    // Dialogs follow one another at the same address: each is marked.
    if (dialog == nullptr || dialog->property("driven").toBool()) return;
    dialog->setProperty("driven", true);
    if (late) {
      dialog->reject();
      return;
    }
    captions.push_back(dialog->windowTitle());
    drive(*dialog);
    dialog->accept();
  });
  QTimer watchdog;
  watchdog.setSingleShot(true);
  watchdog.setInterval(20000);
  QObject::connect(&watchdog, &QTimer::timeout, [&] {
    ADD_FAILURE() << "a property dialog stayed open";
    late = true;
    if (auto* dialog = testing::VisibleWindow<PropertyDialog>()) dialog->reject();
  });
  poll.start();
  watchdog.start();
  open();
  return captions;
}

class CaptureFormsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::ResetFakeCameras();
    dir_ = testing::FreshTestFolder("corvalind-capture-forms");
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
};

// ---------------------------------------------------------------------------
// The camera form

TEST_F(CaptureFormsTest, CameraFormListsTheDevicesAndRunsTheChosenOne) {
  CViewCameraForm form(3);
  EXPECT_EQ(form.windowTitle(), "Video Camera");
  EXPECT_EQ(Child<QComboBox>(form, "1000"), form.DeviceList());
  EXPECT_EQ(Child<QWidget>(form, "1002")->size(), QSize(200, 150));
  EXPECT_EQ(Child<QCheckBox>(form, "1041")->text(), "Deinterlace");
  EXPECT_EQ(Child<QPushButton>(form, "1001")->text(), "Config");
  EXPECT_EQ(Child<QPushButton>(form, "1003")->text(), "Mode");
  EXPECT_EQ(Child<QLabel>(form, "1064")->text(), "Video mode: none");
  // The nameless second device takes no line but keeps its number.
  EXPECT_EQ(Entries(*form.DeviceList()),
            (QStringList{"1) Fake Camera", "3) Fake Tuner Card", "4) Small Camera", "5) Busy Camera",
                         "6) Slow Camera"}));
  EXPECT_EQ(form.DeviceList()->currentIndex(), -1);
  EXPECT_EQ(form.DeviceIndex(), -1);
  // Selecting an entry from code (as refilling and restoring do) starts
  // nothing; only the user's choice does.
  form.DeviceList()->setCurrentIndex(0);
  EXPECT_EQ(form.Source(), nullptr);

  const uint32_t before = Serial(3);
  Choose(*form.DeviceList(), 1);
  ASSERT_NE(form.Source(), nullptr);
  EXPECT_EQ(form.DeviceIndex(), 2);
  const CameraRequest& request = form.Source()->Request();
  EXPECT_EQ(request.deviceIndex, 2);
  EXPECT_EQ(request.width, 640);
  EXPECT_EQ(request.height, 480);
  EXPECT_EQ(request.frameDuration, 400000);
  EXPECT_EQ(request.crossbarInput, 0);
  EXPECT_EQ(request.tunerChannel, 0);
  EXPECT_EQ(form.Source()->Slot(), 3);
  ASSERT_TRUE(WaitFor([&] { return Serial(3) >= before + 2; }));
  ASSERT_TRUE(WaitFor([&] { return form.ModeLabel()->text() == "720x576 25.00"; }))
      << form.ModeLabel()->text().toStdString();
  EXPECT_EQ(GlobalSourceSlots().Slot(3)->width.load(), 720);
  EXPECT_EQ(GlobalSourceSlots().Slot(3)->height.load(), 576);
  ASSERT_TRUE(WaitFor([&] { return !form.Preview()->LatestImage().isNull(); }));

  // Deinterlace goes into the running source at once and into the next.
  form.DeinterlaceBox()->click();
  EXPECT_TRUE(form.DeinterlaceOn());
  EXPECT_TRUE(form.Source()->Deinterlace());
  Choose(*form.DeviceList(), 2);  // "4) Small Camera"
  ASSERT_NE(form.Source(), nullptr);
  EXPECT_EQ(form.Source()->Request().deviceIndex, 3);
  EXPECT_TRUE(form.Source()->Deinterlace());
  // The old device's mode is gone; the new one's comes from its own worker.
  EXPECT_EQ(form.ModeLabel()->text(), "Video mode: none");
  ASSERT_TRUE(WaitFor([&] { return form.ModeLabel()->text() == "320x240 30.00"; }))
      << form.ModeLabel()->text().toStdString();
}

TEST_F(CaptureFormsTest, ConfigRoutesTheInputAndAProjectBringsTheCameraBack) {
  ProjectWindow saved;
  {
    CViewCameraForm form(4);
    Choose(*form.DeviceList(), 1);  // "3) Fake Tuner Card"
    ASSERT_TRUE(WaitFor([&] { return form.Source()->Running() && SlotCentreIs(4, 255, 255, 255); }));

    const std::vector<QString> captions = DrivePropertyDialogs(
        [&] { Child<QPushButton>(form, "1001")->click(); },
        [](PropertyDialog& dialog) {
          if (dialog.windowTitle() != "Crossbar") return;
          auto* input = qobject_cast<QComboBox*>(dialog.Editor("0"));
          ASSERT_NE(input, nullptr);
          input->setCurrentIndex(input->findText("S-Video"));
          EXPECT_EQ(input->currentText(), "S-Video");  // the page took it
        });
    EXPECT_EQ(captions, (std::vector<QString>{"Video Device", "Crossbar", "Tuner"}));
    EXPECT_EQ(form.CrossbarInput(), 1);
    EXPECT_EQ(form.TunerChannel(), 0);
    ASSERT_TRUE(WaitFor([&] { return SlotCentreIs(4, 255, 0, 0); }));  // input 1 is red
    form.DeinterlaceBox()->setChecked(true);
    form.SaveProjectElements(saved);
  }
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"DATA", "2"},     {"PARAM1", "1"},   {"PARAM2", "0"},    {"PARAM3", "1"},
      {"WIDTH", "720"}, {"HEIGHT", "576"}, {"FPS", "400000"}};
  EXPECT_EQ(saved.values, expected);

  CViewCameraForm restored(5);
  restored.RestoreProjectElements(saved);
  EXPECT_EQ(restored.DeviceIndex(), 2);
  EXPECT_EQ(restored.CrossbarInput(), 1);
  EXPECT_EQ(restored.DeviceList()->currentText(), "3) Fake Tuner Card");
  EXPECT_TRUE(restored.DeinterlaceBox()->isChecked());
  ASSERT_NE(restored.Source(), nullptr);
  const CameraRequest& request = restored.Source()->Request();
  EXPECT_EQ(request.deviceIndex, 2);
  EXPECT_EQ(request.crossbarInput, 1);
  EXPECT_EQ(request.width, 720);
  EXPECT_EQ(request.height, 576);
  EXPECT_EQ(request.frameDuration, 400000);
  EXPECT_TRUE(restored.Source()->Deinterlace());
  ASSERT_TRUE(WaitFor([&] { return SlotCentreIs(5, 255, 0, 0); }));
}

TEST_F(CaptureFormsTest, CameraRestoreTakesDefaultsForWhatIsAbsent) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> elements;
    int deviceIndex;
    bool activated;
    int width, height;
  };
  const Case cases[] = {
      {"nothing saved", {}, -1, false, 640, 480},
      {"the nameless device has no entry", {{"DATA", "1"}}, 1, false, 640, 480},
      {"device's own mode", {{"DATA", "3"}, {"WIDTH", "0"}, {"HEIGHT", "-5"}}, 3, true, 0, 0},
      {"size only", {{"DATA", "0"}, {"WIDTH", "1280"}, {"HEIGHT", "720"}}, 0, true, 1280, 720},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ProjectWindow window;
    window.values = c.elements;
    CViewCameraForm form(6);
    form.RestoreProjectElements(window);
    EXPECT_EQ(form.DeviceIndex(), c.deviceIndex);
    EXPECT_EQ(form.CrossbarInput(), 0);
    EXPECT_EQ(form.TunerChannel(), 0);
    EXPECT_FALSE(form.DeinterlaceBox()->isChecked());
    ASSERT_EQ(form.Source() != nullptr, c.activated);
    if (form.Source()) {
      EXPECT_EQ(form.Source()->Request().width, c.width);
      EXPECT_EQ(form.Source()->Request().height, c.height);
      EXPECT_EQ(form.Source()->Request().frameDuration, 400000);
      EXPECT_TRUE(form.Source()->Request().chosenCaps.empty());
    }
    // Without a source the project keeps the standard mode and the index.
    ProjectWindow again;
    form.SaveProjectElements(again);
    EXPECT_EQ(again.Number("DATA", -99), c.deviceIndex);
    if (!c.activated) {
      EXPECT_EQ(again.Number("WIDTH", 0), 640);
      EXPECT_EQ(again.Number("HEIGHT", 0), 480);
      EXPECT_EQ(again.Number("FPS", 0), 400000);
    }
  }
}

TEST_F(CaptureFormsTest, ModeReopensTheCameraInTheChosenCapability) {
  CViewCameraForm form(6);
  Choose(*form.DeviceList(), 0);  // "1) Fake Camera"
  ASSERT_TRUE(WaitFor([&] { return form.Source()->Width() == 640 && form.Source()->Height() == 480; }));
  const std::vector<CaptureCapability> capabilities = form.Source()->Capabilities();
  const auto hd = std::find_if(capabilities.begin(), capabilities.end(),
                               [](const CaptureCapability& c) { return c.maxWidth == 1280; });
  ASSERT_NE(hd, capabilities.end());
  const int hdRow = static_cast<int>(hd - capabilities.begin());

  const bool shown = WithModal<CaptureModeDialog>(
      [&] { Child<QPushButton>(form, "1003")->click(); },
      [&](CaptureModeDialog& dialog) {
        EXPECT_EQ(dialog.windowTitle(), "Video Output");
        ASSERT_EQ(dialog.List()->count(), static_cast<int>(capabilities.size()));
        for (int row = 0; row < dialog.List()->count(); ++row) {
          EXPECT_EQ(dialog.List()->item(row)->text().toStdString(), capabilities[row].Describe());
        }
        // The mode it runs in is preselected.
        ASSERT_GE(dialog.List()->currentRow(), 0);
        EXPECT_EQ(capabilities[dialog.List()->currentRow()].maxWidth, 640);
        EXPECT_EQ(capabilities[dialog.List()->currentRow()].maxHeight, 480);
        dialog.List()->setCurrentRow(hdRow);
        dialog.accept();
      });
  ASSERT_TRUE(shown);
  ASSERT_NE(form.Source(), nullptr);
  EXPECT_EQ(form.Source()->Request().deviceIndex, 0);
  EXPECT_EQ(form.Source()->Request().width, 0);
  EXPECT_EQ(form.Source()->Request().height, 0);
  EXPECT_EQ(form.Source()->Request().chosenCaps, hd->caps);
  ASSERT_TRUE(WaitFor([&] { return form.Source()->Width() == 1280 && form.Source()->Height() == 720 &&
                                   form.Source()->ActualFrameDuration() > 0; }));
  const int32_t hdDuration = form.Source()->ActualFrameDuration();

  // Cancelled, it reopens at the size and rate it ran at.
  ASSERT_TRUE(WithModal<CaptureModeDialog>([&] { Child<QPushButton>(form, "1003")->click(); },
                                           [&](CaptureModeDialog& dialog) {
                                             EXPECT_EQ(dialog.List()->currentRow(), hdRow);
                                             dialog.reject();
                                           }));
  const CameraRequest& reopened = form.Source()->Request();
  EXPECT_EQ(reopened.width, 1280);
  EXPECT_EQ(reopened.height, 720);
  EXPECT_EQ(reopened.frameDuration, hdDuration);
  EXPECT_TRUE(reopened.chosenCaps.empty());
  ASSERT_TRUE(WaitFor([&] { return form.Source()->Width() == 1280 && form.Source()->ActualFrameDuration() > 0; }));
  ProjectWindow saved;
  form.SaveProjectElements(saved);
  EXPECT_EQ(saved.Number("WIDTH", 0), 1280);
  EXPECT_EQ(saved.Number("HEIGHT", 0), 720);
  EXPECT_EQ(saved.Number("FPS", 0), hdDuration);
}

TEST_F(CaptureFormsTest, DeviceListFollowsHotPlugWithoutActivating) {
  CViewCameraForm form(7);
  Choose(*form.DeviceList(), 2);  // "4) Small Camera"
  ASSERT_TRUE(WaitFor([&] { return form.ModeLabel()->text() == "320x240 30.00"; }));
  CameraSource* const running = form.Source();

  FakeCameraSpec plugged;
  plugged.name = "Plugged Camera";
  plugged.caps = {"video/x-raw,format=YUY2,width=320,height=240,framerate=30/1"};
  testing::AddFakeCamera(plugged);
  ASSERT_TRUE(WaitFor([&] { return Entries(*form.DeviceList()).contains("7) Plugged Camera"); }))
      << Entries(*form.DeviceList()).join(", ").toStdString();
  EXPECT_EQ(form.DeviceList()->currentText(), "4) Small Camera");

  // A device before the chosen one goes: the numbers move, the selection
  // and the saved index go with the device.
  testing::RemoveFakeCamera("Fake Camera");
  ASSERT_TRUE(WaitFor([&] { return !Entries(*form.DeviceList()).contains("1) Fake Camera"); }));
  EXPECT_EQ(Entries(*form.DeviceList()),
            (QStringList{"2) Fake Tuner Card", "3) Small Camera", "4) Busy Camera", "5) Slow Camera",
                         "6) Plugged Camera"}));
  EXPECT_EQ(form.DeviceList()->currentText(), "3) Small Camera");
  EXPECT_EQ(form.DeviceIndex(), 2);

  // The chosen device goes: nothing is selected, nothing else starts.
  testing::RemoveFakeCamera("Small Camera");
  ASSERT_TRUE(WaitFor([&] { return form.DeviceList()->count() == 4; }));
  EXPECT_EQ(form.DeviceList()->currentIndex(), -1);
  // Refilling never made a new source.
  EXPECT_EQ(form.Source(), running);
  EXPECT_EQ(form.Source()->Request().deviceIndex, 3);
}

// ---------------------------------------------------------------------------
// The video-file form

TEST_F(CaptureFormsTest, VideoFilePlaysIntoTheSlotAndTheSeekBarFollowsIt) {
  const std::string clip = (dir_ / "clip.avi").string();
  ASSERT_EQ(std::system(("gst-launch-1.0 -q videotestsrc num-buffers=50 ! video/x-raw,width=320,height=240 ! "
                         "videoconvert ! avimux ! filesink location=" + clip)
                            .c_str()),
            0);
  ProjectWindow saved;
  {
    CViewVideofileForm form(8);
    QSlider* bar = Child<QSlider>(form, "1003");
    ASSERT_NE(bar, nullptr);
    const uint32_t before = Serial(8);
    form.LoadVideoFile(QString::fromStdString(clip));
    ASSERT_NE(form.Source(), nullptr);
    EXPECT_EQ(form.Source()->Path(), clip);
    EXPECT_FALSE(form.Source()->Sound());
    ASSERT_TRUE(WaitFor([&] { return Serial(8) >= before + 2; }));
    EXPECT_EQ(GlobalSourceSlots().Slot(8)->width.load(), 320);
    EXPECT_EQ(GlobalSourceSlots().Slot(8)->height.load(), 240);
    ASSERT_TRUE(WaitFor([&] { return !form.Preview()->LatestImage().isNull(); }));
    ASSERT_TRUE(WaitFor([&] { return bar->value() > 0; }));  // the timer moves it

    // Stop rewinds: the bar comes back to the start.
    Child<QPushButton>(form, "1006")->click();
    ASSERT_TRUE(WaitFor([&] { return form.Source()->PlayPercent() == 0 && bar->value() == 0; }));
    // Letting the bar go halfway seeks there, and the timer shows it.
    bar->setSliderDown(true);
    bar->setSliderPosition(500);
    bar->setSliderDown(false);
    ASSERT_TRUE(WaitFor([&] {
      const int percent = form.Source()->PlayPercent();
      return percent >= 40 && percent <= 60 && bar->value() == 10 * percent;
    })) << form.Source()->PlayPercent() << " " << bar->value();
    // Play resumes the flow.
    Child<QPushButton>(form, "1004")->click();
    const uint32_t resumed = Serial(8);
    ASSERT_TRUE(WaitFor([&] { return Serial(8) >= resumed + 2; }));
    form.SaveProjectElements(saved);
  }
  EXPECT_EQ(saved.Text("DATA"), clip);

  CViewVideofileForm restored(9);
  const uint32_t before = Serial(9);
  restored.RestoreProjectElements(saved);
  ASSERT_NE(restored.Source(), nullptr);
  EXPECT_EQ(restored.Path().toStdString(), clip);
  ASSERT_TRUE(WaitFor([&] { return Serial(9) >= before + 2; }));
}

TEST_F(CaptureFormsTest, VideoFileFormWithoutAFileDoesNothingAndReportsAMissingOne) {
  testing::StatusRecorder status;
  CViewVideofileForm form(8);
  EXPECT_EQ(form.windowTitle(), "Video File");
  QSlider* bar = Child<QSlider>(form, "1003");
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->orientation(), Qt::Horizontal);
  EXPECT_EQ(bar->minimum(), 0);
  EXPECT_EQ(bar->maximum(), 1000);
  EXPECT_EQ(Child<QCheckBox>(form, "1041")->text(), "sound");
  EXPECT_FALSE(form.SoundBox()->isChecked());
  EXPECT_EQ(form.PositionTimer()->interval(), 1000);
  EXPECT_TRUE(form.PositionTimer()->isActive());
  for (const char* id : {"1004", "1005", "1006"}) Child<QPushButton>(form, id)->click();
  EXPECT_EQ(form.Source(), nullptr);
  EXPECT_EQ(bar->value(), 0);
  ProjectWindow empty;
  form.SaveProjectElements(empty);
  EXPECT_EQ(empty.Text("DATA"), "");

  // Nothing to load: no source.
  for (const auto& elements : {std::vector<std::pair<std::string, std::string>>{},
                               std::vector<std::pair<std::string, std::string>>{{"DATA", ""}}}) {
    ProjectWindow window;
    window.values = elements;
    CViewVideofileForm restored(9);
    restored.RestoreProjectElements(window);
    EXPECT_EQ(restored.Source(), nullptr);
  }
  EXPECT_TRUE(status.Take().empty());

  // A path that is not there still goes to the source, which says so.
  form.SoundBox()->setChecked(true);
  const std::string missing = (dir_ / "missing.avi").string();
  form.LoadVideoFile(QString::fromStdString(missing));
  ASSERT_NE(form.Source(), nullptr);
  EXPECT_TRUE(form.Source()->Sound());
  std::vector<std::string> texts;
  const std::vector<std::string> report = {missing, "Cannot RenderFile. Check filename!"};
  ASSERT_TRUE(WaitFor([&] {
    for (std::string& text : status.Take()) texts.push_back(std::move(text));
    return std::search(texts.begin(), texts.end(), report.begin(), report.end()) != texts.end();
  }));
  ProjectWindow saved;
  form.SaveProjectElements(saved);
  EXPECT_EQ(saved.Text("DATA"), missing);

  // A path past the limit is kept cut, as the source keeps it, at a
  // character boundary.
  const QString longPath = "/nonexistent/" + QString(600, QChar(0x00e9));  // two bytes each
  form.LoadVideoFile(longPath);
  const QByteArray kept = form.Path().toUtf8();
  EXPECT_LE(kept.size(), 1023);
  EXPECT_GE(kept.size(), 1022);
  EXPECT_TRUE(longPath.startsWith(form.Path()));
  EXPECT_EQ(form.Source()->Path(), kept.toStdString());
}

}  // namespace
}  // namespace corvalind

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Test discovery only lists the tests: no media toolkit needed.
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  // Before GStreamer starts: the machine's own devices stay out of the lists.
  corvalind::testing::HideOtherDeviceProviders();
  corvalind::testing::TemporaryHome home("corvalind-capture-forms");
  // A private home keeps GStreamer's registry cache out of the user's.
  setenv("GST_REGISTRY", (home.Root() / "registry.bin").c_str(), 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  if (!corvalind::InitMediaToolkit() || !corvalind::testing::RegisterFakeCameras()) {
    std::fprintf(stderr, "capture_forms_tests: GStreamer or the fake cameras could not start\n");
    return 1;
  }
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}

// The forms of the picture sources: the overlay and background forms that
// own the two global layers, and the slide-show form with its seconds field.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <climits>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "engine/image_layer_hooks.h"
#include "engine/messages.h"
#include "engine/output_format.h"
#include "engine/source_slot.h"
#include "engine/sources/image_layer.h"
#include "studio/forms/overlay_form.h"
#include "studio/forms/preview_widget.h"
#include "studio/forms/slideshow_form.h"
#include "test_support/pictures.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

namespace fs = std::filesystem;
using testing::Save;
using testing::Solid;

bool WaitFor(const std::function<bool()>& condition) {
  return testing::WaitFor(condition, std::chrono::seconds(20), [] { QApplication::processEvents(); });
}

std::mutex statusMutex;
std::vector<std::string> statusTexts;
void CaptureStatus(std::string_view text) {
  std::lock_guard<std::mutex> guard(statusMutex);
  statusTexts.emplace_back(text);
}
std::vector<std::string> TakeStatus() {
  std::lock_guard<std::mutex> guard(statusMutex);
  return std::exchange(statusTexts, {});
}

class ImagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitPictureLibrary();
    dir = fs::temp_directory_path() /
          ("corvalind-forms-" + std::to_string(getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    SetStatusTextHandler(CaptureStatus);
    TakeStatus();
  }
  void TearDown() override {
    SetStatusTextHandler(nullptr);
    fs::remove_all(dir);
  }
  fs::path dir;
};

// ---- forms ----

TEST(ParseLeadingIntTest, ReadsLikeAtoi) {
  const struct {
    const char* text;
    int value;
  } cases[] = {{"5", 5}, {" 12s", 12}, {"-3", -3}, {"abc", 0}, {"", 0}, {"+7", 7}, {"99999999999", INT_MAX}};
  for (const auto& c : cases) EXPECT_EQ(ParseLeadingInt(c.text), c.value) << c.text;
  EXPECT_EQ(ParseLeadingInt(QString(100, ' ') + "42"), 0);  // beyond the 100 characters read
}

TEST_F(ImagesTest, OverlayAndBackgroundFormsOwnTheirGlobalLayers) {
  ImageLayerHooks& hooks = GlobalImageLayers();
  Save(Solid(20, 10, {9, 8, 7, 255}).get(), FIF_PNG, dir / "logo.png");
  for (bool background : {false, true}) {
    CompositionLayer*& reference = background ? hooks.backgroundLayer : hooks.overlayLayer;
    {
      CViewOverlayForm form(background);
      EXPECT_EQ(form.EnableButton()->text(), "Disable");
      form.ToggleEnabled();  // no layer yet: nothing to toggle
      EXPECT_EQ(form.EnableButton()->text(), "Disable");
      hooks.recomposeRequested = false;
      form.SetImageLayer(QString::fromStdString((dir / "logo.png").string()));
      EXPECT_EQ(form.FileNameEdit()->text(), "logo.png");
      EXPECT_EQ(form.ImagePath().toStdString(), (dir / "logo.png").string());
      ASSERT_NE(form.Layer(), nullptr);
      EXPECT_EQ(reference, form.Layer());
      EXPECT_EQ(form.Layer()->FitMode(), 0);
      EXPECT_TRUE(hooks.recomposeRequested.exchange(false));
      ASSERT_TRUE(WaitFor([&] { return !form.Preview()->LatestImage().isNull(); }));
      EXPECT_EQ(form.Preview()->LatestImage().pixelColor(10, 10), QColor(7, 8, 9));

      // The button toggles drawing without asking for a composition.
      form.EnableButton()->click();
      EXPECT_FALSE(form.Layer()->enabled);
      EXPECT_EQ(form.EnableButton()->text(), "Enable");
      form.EnableButton()->click();
      EXPECT_TRUE(form.Layer()->enabled);
      EXPECT_EQ(form.EnableButton()->text(), "Disable");
      EXPECT_FALSE(hooks.recomposeRequested);

      // A file that cannot be read replaces the layer with an empty one and
      // asks for nothing.
      form.SetImageLayer(QString::fromStdString((dir / "missing.png").string()));
      EXPECT_EQ(reference, form.Layer());
      EXPECT_FALSE(form.Layer()->HasPicture());
      EXPECT_FALSE(hooks.recomposeRequested);
      EXPECT_EQ(TakeStatus().back(), kImageLoadErrorText);
    }
    EXPECT_EQ(reference, nullptr) << background;
  }
}

TEST_F(ImagesTest, SlideshowFormRunsItsSourceAndFollowsTheSecondsField) {
  Save(Solid(8, 6, {0, 0, 255, 255}).get(), FIF_PNG, dir / "a.png");
  Save(Solid(8, 6, {0, 255, 0, 255}).get(), FIF_PNG, dir / "b.png");
  SourceSlot* slot = GlobalSourceSlots().Slot(6);
  ASSERT_NE(slot, nullptr);
  const uint32_t serialBefore = slot->serial.load();
  CViewSlideshowForm form(6);
  EXPECT_EQ(form.SecondsEdit()->text(), "5");
  EXPECT_EQ(form.Seconds(), 5);
  EXPECT_EQ(form.Source(), nullptr);
  form.SecondsEdit()->setText("3");  // no show running: nothing to change
  form.StartSlideshow(QString::fromStdString(dir.string()), 0);
  ASSERT_NE(form.Source(), nullptr);
  EXPECT_EQ(form.Folder().toStdString(), dir.string());
  EXPECT_EQ(form.SecondsEdit()->text(), "0");
  ASSERT_TRUE(WaitFor([&] { return form.Source()->DeliveredCount() == 1; }));
  EXPECT_EQ(slot->serial.load(), serialBefore + 1);
  EXPECT_EQ(slot->width.load(), GlobalOutputFormat().outputWidth);
  ASSERT_TRUE(WaitFor([&] { return !form.Preview()->LatestImage().isNull(); }));

  form.Next();
  ASSERT_TRUE(WaitFor([&] { return form.Source()->DeliveredCount() == 2; }));
  EXPECT_EQ(form.Source()->Current(), 1);
  form.Prev();
  ASSERT_TRUE(WaitFor([&] { return form.Source()->DeliveredCount() == 3; }));
  EXPECT_EQ(form.Source()->Current(), 0);

  const struct {
    const char* text;
    int seconds;
  } fields[] = {{"7", 7}, {"-2", 0}, {"x", 0}, {"12 s", 12}};
  for (const auto& f : fields) {
    form.SecondsEdit()->setText(f.text);
    EXPECT_EQ(form.Source()->IntervalSeconds(), f.seconds) << f.text;
    EXPECT_EQ(form.Seconds(), f.seconds) << f.text;
  }

  // A new folder replaces the show.
  form.StartSlideshow(QString::fromStdString((dir / "none").string()), 2);
  EXPECT_NE(form.Source(), nullptr);
  EXPECT_TRUE(form.Source()->Files().empty());
  EXPECT_EQ(form.Seconds(), 2);
}

}  // namespace
}  // namespace corvalind

int main(int argc, char** argv) {
  corvalind::testing::TemporaryHome home("corvalind-picture-forms");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

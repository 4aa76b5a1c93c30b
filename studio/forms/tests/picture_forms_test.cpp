// The forms of the picture sources: the overlay and background forms that
// own the two global layers, and the slide-show form with its seconds field.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <atomic>
#include <climits>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/image_layer_hooks.h"
#include "engine/messages.h"
#include "engine/output_format.h"
#include "engine/source_slot.h"
#include "engine/sources/image_layer.h"
#include "platform/freeimage/freeimage_reader.h"
#include "studio/forms/overlay_form.h"
#include "studio/forms/preview_widget.h"
#include "studio/forms/slideshow_form.h"
#include "test_support/picture_readers.h"
#include "test_support/pictures.h"
#include "test_support/status_texts.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

namespace fs = std::filesystem;
using testing::GatedPictureReader;
using testing::Save;
using testing::SetFileTime;
using testing::Solid;

bool WaitFor(const std::function<bool()>& condition) {
  return testing::WaitFor(condition, std::chrono::seconds(20), [] { QApplication::processEvents(); });
}


class ImagesTest : public testing::PictureFolderTest {
 protected:
  ImagesTest() : PictureFolderTest("corvalind-forms") {}
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

TEST_F(ImagesTest, SetImageLayerReadsThePictureOutsideTheLayerLock) {
  ImageLayerHooks& hooks = GlobalImageLayers();
  Save(Solid(20, 10, {0, 0, 200, 255}).get(), FIF_PNG, dir / "first.png");
  Save(Solid(20, 10, {0, 200, 0, 255}).get(), FIF_PNG, dir / "second.png");
  GatedPictureReader probing(DefaultPictureReader());
  CViewOverlayForm form(false, nullptr, &probing);
  form.SetImageLayer(QString::fromStdString((dir / "first.png").string()));
  ImageLayer* first = form.Layer();
  ASSERT_NE(first, nullptr);

  // While the second picture is read, a thread standing in for the output
  // thread takes imageLayerLock and still finds the first layer published.
  std::thread probe;
  std::atomic<bool> locked{false};
  bool lockFree = false;
  bool sawFirst = false;
  probing.SetOnLoad([&] {
    probe = std::thread([&] {
      std::lock_guard<std::mutex> guard(hooks.imageLayerLock);
      sawFirst = hooks.overlayLayer == first;
      locked = true;
    });
    lockFree = testing::WaitFor([&] { return locked.load(); });
  });
  hooks.recomposeRequested = false;
  form.SetImageLayer(QString::fromStdString((dir / "second.png").string()));
  probing.SetOnLoad(nullptr);
  ASSERT_TRUE(probe.joinable());
  probe.join();
  EXPECT_TRUE(lockFree);
  EXPECT_TRUE(sawFirst);
  // Then the finished layer is swapped in and shown.
  EXPECT_EQ(hooks.overlayLayer, form.Layer());
  EXPECT_TRUE(hooks.recomposeRequested.exchange(false));
  EXPECT_EQ(form.FileNameEdit()->text(), "second.png");
  ASSERT_TRUE(WaitFor([&] { return form.Preview()->LatestImage().pixelColor(10, 10) == QColor(0, 200, 0); }));
}

TEST_F(ImagesTest, EditedPictureIsTakenUpByTheLoaderAndThePreviewFollows) {
  ImageLayerHooks& hooks = GlobalImageLayers();
  const fs::path path = dir / "back.bmp";
  Save(Solid(20, 10, {0, 0, 200, 255}).get(), FIF_BMP, path);
  SetFileTime(path, 1000000);
  CViewOverlayForm form(true);
  form.SetImageLayer(QString::fromStdString(path.string()));
  ASSERT_TRUE(WaitFor([&] { return form.Preview()->LatestImage().pixelColor(10, 10) == QColor(200, 0, 0); }));

  Save(Solid(20, 10, {200, 0, 0, 255}).get(), FIF_BMP, path);
  SetFileTime(path, 1000001);
  hooks.recomposeRequested = false;
  {
    // What the compositor does once per composed frame.
    std::lock_guard<std::mutex> guard(hooks.imageLayerLock);
    ASSERT_EQ(hooks.backgroundLayer, form.Layer());
    hooks.backgroundLayer->Refresh();
  }
  ASSERT_TRUE(WaitFor([&] { return form.Layer()->Reloads() == 1; }));
  EXPECT_TRUE(hooks.recomposeRequested.exchange(false));
  form.RefreshPreview();  // the work of the form's 2-second timer
  ASSERT_TRUE(WaitFor([&] { return form.Preview()->LatestImage().pixelColor(10, 10) == QColor(0, 0, 200); }));
}

TEST_F(ImagesTest, ClosingTheFormWaitsForAReloadInProgress) {
  ImageLayerHooks& hooks = GlobalImageLayers();
  const fs::path path = dir / "logo.bmp";
  Save(Solid(20, 10, {0, 0, 200, 255}).get(), FIF_BMP, path);
  SetFileTime(path, 1000000);
  GatedPictureReader gated(DefaultPictureReader());
  auto form = std::make_unique<CViewOverlayForm>(false, nullptr, &gated);
  // Opened before the form is destroyed, whatever the checks below found.
  struct OpenAtEnd {
    GatedPictureReader& gate;
    ~OpenAtEnd() { gate.Open(); }
  } openAtEnd{gated};
  form->SetImageLayer(QString::fromStdString(path.string()));
  ASSERT_EQ(gated.Finished(), 1);

  gated.Close();
  Save(Solid(20, 10, {200, 0, 0, 255}).get(), FIF_BMP, path);
  SetFileTime(path, 1000001);
  {
    std::lock_guard<std::mutex> guard(hooks.imageLayerLock);
    hooks.overlayLayer->Refresh();
  }
  ASSERT_TRUE(WaitFor([&] { return gated.Waiting() == 1; }));
  // The gate opens once the form is being closed; closing returns only
  // after the read has finished, and leaves no layer behind.
  std::atomic<bool> closing{false};
  std::thread opener([&] {
    testing::WaitFor([&] { return closing.load(); });
    gated.Open();
  });
  closing = true;
  form.reset();
  opener.join();
  EXPECT_EQ(gated.Finished(), 2);
  std::lock_guard<std::mutex> guard(hooks.imageLayerLock);
  EXPECT_EQ(hooks.overlayLayer, nullptr);
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

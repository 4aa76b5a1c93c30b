// The fixture of the player's tests: a private output buffer with the
// first quadrant picture published, dialogs on it whose message boxes are
// recorded instead of shown, and waiting for pictures and frames.
#pragma once

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QGuiApplication>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "player/player_dialog.h"
#include "player/tests/player_test_support.h"
#include "test_support/test_home.h"

namespace corvalind::testing {

inline void Pump() { QApplication::processEvents(); }

inline bool WaitUntil(const std::function<bool()>& done) {
  return WaitFor(done, std::chrono::seconds(20), &Pump);
}

struct ShownMessage {
  QString caption;
  QString text;
};

class PlayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(UsePictureSettings());
    bufferName_ = PrivateBufferName(::testing::UnitTest::GetInstance()->current_test_info()->name());
    ASSERT_TRUE(writer_.Create(bufferName_));
    writer_.Publish(kFirstPicture);
  }

  std::unique_ptr<CMainDlg> MakeDialog(std::optional<RenderPath> path = std::nullopt) {
    PlayerOptions options;
    options.bufferName = bufferName_;
    options.path = path;
    options.messageBox = [this](QWidget*, const QString& caption, const QString& text) {
      messages_.push_back({caption, text});
    };
    auto dialog = std::make_unique<CMainDlg>(std::move(options));
    dialog->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog.get()));
    return dialog;
  }

  // Waits until `count` more pictures reached the window sink.
  static bool WaitForFrames(const CMainDlg& dialog, uint64_t count) {
    if (dialog.Pipeline() == nullptr) return false;
    const uint64_t start = dialog.Pipeline()->FramesShown();
    return WaitUntil([&] { return dialog.Pipeline() != nullptr && dialog.Pipeline()->FramesShown() >= start + count; });
  }

  static QImage GrabVideo(const CMainDlg& dialog) {
    VideoArea* video = dialog.Video();
    if (dialog.Path() == RenderPath::kOverlay) {
      // What the X server shows in the area's window: the sink's drawing.
      return QGuiApplication::primaryScreen()->grabWindow(video->winId()).toImage().convertToFormat(QImage::Format_RGB32);
    }
    return video->grab().toImage().convertToFormat(QImage::Format_RGB32);
  }

  // Waits until the video area shows `colours` letter-boxed; the last
  // difference seen otherwise.
  static std::string WaitForPicture(const CMainDlg& dialog, const Quadrants& colours) {
    std::string difference = "never compared";
    WaitUntil([&] {
      if (!dialog.Playing()) {
        difference = "the player stopped";
        return true;
      }
      difference = CompareWithProgram(GrabVideo(dialog), colours);
      return difference.empty();
    });
    return difference;
  }

  static void ExpectControls(const CMainDlg& dialog, bool playing) {
    EXPECT_EQ(dialog.Playing(), playing);
    EXPECT_EQ(dialog.PlayButton()->text(), playing ? "Stop" : "Play");
    EXPECT_EQ(dialog.FullscreenButton()->isEnabled(), playing);
    EXPECT_EQ(dialog.DeckLinkCheck()->isEnabled(), !playing);
    EXPECT_EQ(dialog.Pipeline() != nullptr, playing);
  }

  std::string bufferName_;
  ProgramWriter writer_;
  std::vector<ShownMessage> messages_;
};


// Stops the pictures at the window sink's input (a blocking probe), as a
// display that no longer keeps up would, until released. Like CameraStamps
// it goes only after the pipeline has stopped, when no streaming thread
// can be inside its probe.
class WindowHold {
 public:
  explicit WindowHold(const PlayerPipeline& player) {
    GstElement* sink = gst_bin_get_by_name(GST_BIN(player.Element()), "Window Renderer");
    if (sink == nullptr) return;
    pad_ = gst_element_get_static_pad(sink, "sink");
    gst_object_unref(sink);
    auto hold = [](GstPad*, GstPadProbeInfo*, gpointer) -> GstPadProbeReturn { return GST_PAD_PROBE_OK; };
    probe_ = gst_pad_add_probe(pad_, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BLOCK | GST_PAD_PROBE_TYPE_BUFFER),
                               hold, nullptr, nullptr);
  }
  ~WindowHold() { Release(); }
  WindowHold(const WindowHold&) = delete;
  WindowHold& operator=(const WindowHold&) = delete;
  bool Holding() const { return probe_ != 0; }
  void Release() {
    if (probe_ != 0) gst_pad_remove_probe(pad_, probe_);
    probe_ = 0;
    if (pad_ != nullptr) gst_object_unref(pad_);
    pad_ = nullptr;
  }

 private:
  GstPad* pad_ = nullptr;
  gulong probe_ = 0;
};

// The time stamps of the pictures leaving the camera, in order. Kept under
// a lock of the test's own, which the race detector sees (it cannot see
// GStreamer's, through which the streaming thread got here).
class CameraStamps {
 public:
  explicit CameraStamps(const PlayerPipeline& player) {
    Count();  // the lock, taken once the object is complete
    GstElement* camera = gst_bin_get_by_name(GST_BIN(player.Element()), "Orvik Corvalind");
    if (camera == nullptr) return;
    pad_ = gst_element_get_static_pad(camera, "src");
    gst_object_unref(camera);
    probe_ = gst_pad_add_probe(pad_, GST_PAD_PROBE_TYPE_BUFFER, &CameraStamps::OnBuffer, this, nullptr);
  }
  ~CameraStamps() { Stop(); }
  CameraStamps(const CameraStamps&) = delete;
  CameraStamps& operator=(const CameraStamps&) = delete;
  bool Recording() const { return probe_ != 0; }
  void Stop() {
    if (probe_ != 0) gst_pad_remove_probe(pad_, probe_);
    probe_ = 0;
    if (pad_ != nullptr) gst_object_unref(pad_);
    pad_ = nullptr;
    Count();  // after the streaming thread's last visit, for the race detector
  }
  std::size_t Count() {
    std::lock_guard<std::mutex> guard(lock_);
    return stamps_.size();
  }
  std::vector<GstClockTime> Stamps() {
    std::lock_guard<std::mutex> guard(lock_);
    return stamps_;
  }

 private:
  static GstPadProbeReturn OnBuffer(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto* self = static_cast<CameraStamps*>(data);
    std::lock_guard<std::mutex> guard(self->lock_);
    self->stamps_.push_back(GST_BUFFER_PTS(GST_PAD_PROBE_INFO_BUFFER(info)));
    return GST_PAD_PROBE_OK;
  }

  GstPad* pad_ = nullptr;
  gulong probe_ = 0;
  std::mutex lock_;
  std::vector<GstClockTime> stamps_;
};

}  // namespace corvalind::testing

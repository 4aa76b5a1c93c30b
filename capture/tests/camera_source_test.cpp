// Camera sources on the fake cameras: activation and its messages, the
// mode choice and its fallbacks, the analog input and tuner, the mode the
// user picked, stopping while the graph is built, and a camera unplugged
// while it runs.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/camera_source.h"
#include "capture/tests/delivery_log.h"
#include "capture/tests/fake_cameras.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

using testing::DeliveryLog;
using testing::StatusLog;
using testing::WaitFor;

constexpr int kFakeCamera = 0;
constexpr int kTunerCard = 2;
constexpr int kSmallCamera = 3;
constexpr int kBusyCamera = 4;
constexpr int kSlowCamera = 5;

const char* const kActivated = "Camera activation was successful.";
const char* const kTryingDefault = "Error configuring capture device! Trying default mode...";
const char* const kDefaultFailed = "Error configuring capture device ( default mode)!";

class CameraSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::ResetFakeCameras();
    DeliveryLog::KeepAll(false);
    DeliveryLog::Take();
  }
  void TearDown() override {
    source_.reset();
    testing::ResetFakeCameras();
  }

  CameraSource& Open(const CameraRequest& request) {
    source_ = std::make_unique<CameraSource>(6, request, &DeliveryLog::Deliver);
    source_->SetStatusSink(log_.Sink());
    source_->SetModeLabel([this](const std::string& label) {
      std::lock_guard<std::mutex> lock(labelMutex_);
      label_ = label;
    });
    source_->Start();
    return *source_;
  }

  static CameraRequest Request(int device, int width = 640, int height = 480, int32_t duration = kDefaultFrameDuration) {
    CameraRequest request;
    request.deviceIndex = device;
    request.width = width;
    request.height = height;
    request.frameDuration = duration;
    return request;
  }

  std::string Label() {
    std::lock_guard<std::mutex> lock(labelMutex_);
    return label_;
  }

  // Waits for pictures and answers the newest.
  static testing::DeliveredFrame NextFrame() {
    DeliveryLog::Take();
    EXPECT_TRUE(WaitFor([] { return DeliveryLog::Count() >= 2; }));
    std::vector<testing::DeliveredFrame> frames = DeliveryLog::Take();
    return frames.empty() ? testing::DeliveredFrame{} : frames.back();
  }

  std::unique_ptr<CameraSource> source_;
  StatusLog log_;
  std::mutex labelMutex_;
  std::string label_;
};

TEST_F(CameraSourceTest, ModesAreChosenWithTheFallbacksAndTheirMessages) {
  struct Case {
    int device;
    int width;
    int height;
    int32_t duration;
    std::vector<std::string> texts;
    std::string label;
  };
  const Case cases[] = {
      {kFakeCamera, 640, 480, 400000, {kActivated}, "640x480 25.00"},
      {kFakeCamera, 640, 480, 333333, {kActivated}, "640x480 30.00"},
      // 1280x720 comes at 30 only: the first large-enough mode as it is.
      {kFakeCamera, 1280, 720, 400000, {kTryingDefault, kActivated}, "1280x720 30.00"},
      // Nothing that large: both attempts fail and the camera runs in its own mode.
      {kSmallCamera, 640, 480, 400000, {kTryingDefault, kDefaultFailed, kActivated}, "320x240 30.00"},
      {kTunerCard, 720, 576, 400000, {kActivated}, "720x576 25.00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    log_.Clear();
    CameraSource& source = Open(Request(c.device, c.width, c.height, c.duration));
    ASSERT_TRUE(WaitFor([&] { return source.Activated() && DeliveryLog::Count() > 0 && !Label().empty(); }));
    EXPECT_EQ(log_.Texts(), c.texts);
    EXPECT_EQ(Label(), c.label);
    const testing::DeliveredFrame frame = NextFrame();
    EXPECT_EQ(frame.slot, 6);
    EXPECT_EQ(std::to_string(frame.width) + "x" + std::to_string(frame.height), c.label.substr(0, c.label.find(' ')));
    ASSERT_EQ(frame.pixels.size(), static_cast<size_t>(frame.width) * frame.height * 3);
    EXPECT_NEAR(frame.pixels[0], 255, 4) << "a camera without inputs shows white";
    EXPECT_EQ(source.Width(), frame.width);
    source.Stop();
    EXPECT_FALSE(source.Running());
    EXPECT_FALSE(source.ThreadStarted());
    std::lock_guard<std::mutex> lock(labelMutex_);
    label_.clear();
  }
}

TEST_F(CameraSourceTest, TheRoutedInputAndTheTunerChannelAreRestored) {
  struct Case {
    int input;
    uint8_t blue, green, red;
  };
  for (const Case& c : {Case{1, 0, 0, 255}, Case{2, 0, 255, 0}, Case{0, 255, 255, 255}}) {
    SCOPED_TRACE(c.input);
    CameraRequest request = Request(kTunerCard, 720, 576);
    request.crossbarInput = c.input;
    request.tunerChannel = 40 + c.input;
    CameraSource& source = Open(request);
    ASSERT_TRUE(WaitFor([&] { return source.Activated(); }));
    const testing::DeliveredFrame frame = NextFrame();
    ASSERT_FALSE(frame.pixels.empty());
    // The colours come through YUY2, within a few steps.
    EXPECT_NEAR(frame.pixels[0], c.blue, 8);
    EXPECT_NEAR(frame.pixels[1], c.green, 8);
    EXPECT_NEAR(frame.pixels[2], c.red, 8);
    EXPECT_EQ(source.CurrentCrossbarInput(), c.input);
    EXPECT_EQ(source.CurrentTunerChannel(), 40 + c.input);
    ASSERT_NE(source.CrossbarPage(), nullptr);
    ASSERT_NE(source.TunerPage(), nullptr);
  }
  // A camera without them answers 0 and has no pages.
  CameraSource& plain = Open(Request(kFakeCamera));
  ASSERT_TRUE(WaitFor([&] { return plain.Activated(); }));
  EXPECT_EQ(plain.CurrentCrossbarInput(), 0);
  EXPECT_EQ(plain.CurrentTunerChannel(), 0);
  EXPECT_EQ(plain.CrossbarPage(), nullptr);
  EXPECT_EQ(plain.TunerPage(), nullptr);
  ASSERT_NE(plain.DevicePage(), nullptr);
}

TEST_F(CameraSourceTest, ThePickedModeOrTheCurrentSizeReopensTheCamera) {
  const std::vector<CaptureCapability> caps = FindDeviceByIndex(DeviceCategory::kVideoInput, kFakeCamera)->Capabilities();
  ASSERT_EQ(caps.size(), 4u);
  CameraRequest picked = Request(kFakeCamera, 0, 0);
  picked.chosenCaps = caps[2].caps;  // I420 1280x720
  CameraSource& source = Open(picked);
  ASSERT_TRUE(WaitFor([&] { return source.Activated() && !Label().empty(); }));
  EXPECT_EQ(Label(), "1280x720 30.00");
  EXPECT_EQ(source.ActualFrameDuration(), 333333);
  EXPECT_EQ(log_.Texts(), std::vector<std::string>{kActivated});

  // The negative size of Mode: the device reopens at that size.
  log_.Clear();
  {
    std::lock_guard<std::mutex> lock(labelMutex_);
    label_.clear();
  }
  CameraSource& again = Open(Request(kFakeCamera, -1280, -720, 333333));
  ASSERT_TRUE(WaitFor([&] { return again.Activated() && !Label().empty(); }));
  EXPECT_EQ(Label(), "1280x720 30.00");

  // The JPEG mode is decoded.
  CameraRequest jpeg = Request(kFakeCamera, 0, 0);
  jpeg.chosenCaps = caps[3].caps;
  CameraSource& decoded = Open(jpeg);
  ASSERT_TRUE(WaitFor([&] { return decoded.Activated(); }));
  const testing::DeliveredFrame frame = NextFrame();
  EXPECT_EQ(frame.width, 1920);
  EXPECT_EQ(frame.height, 1080);
}

TEST_F(CameraSourceTest, DevicesThatCannotRunSayWhyAndEnd) {
  struct Case {
    int device;
    std::string text;
  };
  const Case cases[] = {
      {17, "Cannot find capture device. Check your settings!"},
      {-1, "Cannot find capture device. Check your settings!"},
      {kBusyCamera, "Cannot RUN graph!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    log_.Clear();
    // 640x480 at 30 fps, which every one of them would take.
    CameraSource& source = Open(Request(c.device, 640, 480, 333333));
    ASSERT_TRUE(WaitFor([&] { return source.Finished(); }));
    EXPECT_EQ(log_.Texts(), std::vector<std::string>{c.text});
    EXPECT_FALSE(source.Activated());
    EXPECT_EQ(source.CurrentCrossbarInput(), 0);
  }
  EXPECT_EQ(DeliveryLog::Count(), 0u);
}

TEST_F(CameraSourceTest, StopWhileTheGraphIsBeingBuiltWaitsForTheWorker) {
  // The slow camera takes 300 ms to start: Stop arrives while the worker
  // builds and starts the graph, and once it runs.
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    CameraSource& source = Open(Request(kSlowCamera));
    if (round == 1) {
      ASSERT_TRUE(WaitFor([&] { return source.Activated(); }));
    }
    source.Stop();
    EXPECT_TRUE(source.Finished());
    EXPECT_FALSE(source.Running());
    EXPECT_FALSE(source.Activated());
  }
  EXPECT_FALSE(log_.Has("Cannot RUN graph!"));
}

TEST_F(CameraSourceTest, AnUnpluggedCameraSaysSoAndTheSlotKeepsItsPicture) {
  CameraSource& source = Open(Request(kFakeCamera));
  ASSERT_TRUE(WaitFor([&] { return source.Activated() && DeliveryLog::Count() > 0; }));
  testing::RemoveFakeCamera("Fake Camera");
  ASSERT_TRUE(WaitFor([&] { return source.Finished(); }));
  EXPECT_TRUE(log_.Has("Capture device stopped: Could not read from resource.")) << log_.Texts().back();
  DeliveryLog::Take();
  EXPECT_EQ(DeliveryLog::Count(), 0u);
  source.Stop();  // the worker has ended; tearing down is quick and safe
  EXPECT_FALSE(source.Running());
}

}  // namespace
}  // namespace corvalind

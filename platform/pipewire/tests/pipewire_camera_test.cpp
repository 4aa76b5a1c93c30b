#include "platform/pipewire/pipewire_camera.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support/pipewire_daemon.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

using testing::PrivatePipeWire;
using testing::RunCommand;
using testing::TemporaryHome;
using testing::WaitFor;

constexpr int kWidth = 64;
constexpr int kHeight = 48;

// A program picture as the output buffer holds it (bottom row first):
// four flat quadrants, each a different colour, so every 2x2 block of the
// subsampled format is one colour and the conversion back is near exact.
std::vector<uint8_t> Quadrants() {
  std::vector<uint8_t> picture(static_cast<std::size_t>(kWidth) * kHeight * 3);
  const uint8_t colours[4][3] = {{200, 40, 30}, {30, 180, 60}, {20, 50, 220}, {240, 240, 240}};
  for (int row = 0; row < kHeight; ++row) {
    // Row 0 of the buffer is the bottom of the picture.
    const int top = kHeight - 1 - row;
    for (int x = 0; x < kWidth; ++x) {
      const int q = (top < kHeight / 2 ? 0 : 2) + (x < kWidth / 2 ? 0 : 1);
      uint8_t* p = &picture[(static_cast<std::size_t>(row) * kWidth + x) * 3];
      p[0] = colours[q][0];
      p[1] = colours[q][1];
      p[2] = colours[q][2];
    }
  }
  return picture;
}

// Blue-green-red of the picture at (x, y) counted from the top.
const uint8_t* At(const std::vector<uint8_t>& picture, int x, int y) {
  return &picture[(static_cast<std::size_t>(kHeight - 1 - y) * kWidth + x) * 3];
}

class PipeWireCameraTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    ASSERT_TRUE(daemon_.Start(home_.Root() / "runtime", &reason)) << reason;
  }

  // Reads `frames` pictures from the node with pipewiresrc, converted to
  // `caps`, and returns the bytes of the last one.
  std::string Receive(const std::string& node, const std::string& caps, int frames) {
    const std::filesystem::path out = home_.Root() / "received.raw";
    const std::string command = "gst-launch-1.0 -q pipewiresrc target-object=" + node +
                                " num-buffers=" + std::to_string(frames) + " ! videoconvert ! " + caps +
                                " ! filesink location=" + out.string() + " > " +
                                (home_.Root() / "gst.log").string() + " 2>&1";
    EXPECT_EQ(RunCommand("timeout 30 " + command, nullptr), 0) << testing::ReadBytes((home_.Root() / "gst.log").string());
    return testing::ReadBytes(out.string());
  }

  TemporaryHome home_{"corvalind-pipewire"};
  PrivatePipeWire daemon_;
};

TEST_F(PipeWireCameraTest, TheNodeIsACameraNamedAfterTheStudioAndGoesWithIt) {
  {
    PipeWireCamera camera({kWidth, kHeight, 30}, "corvalind-camera-test");
    ASSERT_TRUE(WaitFor([] { return !PrivatePipeWire::NodeProperties("corvalind-camera-test").empty(); }));
    const std::string node = PrivatePipeWire::NodeProperties("corvalind-camera-test");
    EXPECT_NE(node.find("media.class = \"Video/Source\""), std::string::npos) << node;
    EXPECT_NE(node.find("node.description = \"Corvalind Camera\""), std::string::npos) << node;
    EXPECT_TRUE(camera.Connected());
  }
  EXPECT_TRUE(PrivatePipeWire::NodeProperties("corvalind-camera-test").empty());
}

TEST_F(PipeWireCameraTest, AConsumerReceivesTheProgramExactlyInBGRxAndNearlyInI420) {
  PipeWireCamera camera({kWidth, kHeight, 30}, "corvalind-camera-test");
  const std::vector<uint8_t> picture = Quadrants();
  camera.Offer(picture.data(), static_cast<uint32_t>(picture.size()));
  ASSERT_TRUE(WaitFor([] { return !PrivatePipeWire::NodeProperties("corvalind-camera-test").empty(); }));

  struct Case {
    const char* name;
    const char* sourceCaps;  // what the consumer asks the node for
    int tolerance;
    PipeWireCamera::Format format;
  };
  const Case cases[] = {
      {"BGRx", "video/x-raw,format=BGRx", 0, PipeWireCamera::Format::kBGRx},
      {"I420", "video/x-raw,format=I420", 6, PipeWireCamera::Format::kI420},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The format is chosen between the node and pipewiresrc; the caps
    // filter after the source makes it pick, videoconvert turns it back.
    const std::filesystem::path out = home_.Root() / "received.raw";
    const std::string command = std::string("timeout 30 gst-launch-1.0 -q pipewiresrc target-object=corvalind-camera-test "
                                            "num-buffers=5 ! ") +
                                c.sourceCaps + " ! videoconvert ! video/x-raw,format=BGR ! filesink location=" +
                                out.string() + " > " + (home_.Root() / "gst.log").string() + " 2>&1";
    ASSERT_EQ(RunCommand(command, nullptr), 0) << testing::ReadBytes((home_.Root() / "gst.log").string());
    EXPECT_EQ(camera.NegotiatedFormat(), c.format);
    const std::string bytes = testing::ReadBytes(out.string());
    const std::size_t frameBytes = static_cast<std::size_t>(kWidth) * kHeight * 3;
    ASSERT_EQ(bytes.size() % frameBytes, 0u);
    ASSERT_GE(bytes.size(), frameBytes);
    const auto* last = reinterpret_cast<const uint8_t*>(bytes.data() + bytes.size() - frameBytes);
    int worst = 0;
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        const uint8_t* want = At(picture, x, y);
        const uint8_t* got = &last[(static_cast<std::size_t>(y) * kWidth + x) * 3];
        for (int ch = 0; ch < 3; ++ch) worst = std::max(worst, std::abs(int{want[ch]} - int{got[ch]}));
      }
    }
    EXPECT_LE(worst, c.tolerance);
  }
  // A newer picture replaces the old one for the next consumer.
  std::vector<uint8_t> inverted = picture;
  for (uint8_t& v : inverted) v = static_cast<uint8_t>(255 - v);
  camera.Offer(inverted.data(), static_cast<uint32_t>(inverted.size()));
  const std::string bytes = Receive("corvalind-camera-test", "video/x-raw,format=BGR", 3);
  const std::size_t frameBytes = static_cast<std::size_t>(kWidth) * kHeight * 3;
  ASSERT_GE(bytes.size(), frameBytes);
  const auto* last = reinterpret_cast<const uint8_t*>(bytes.data() + bytes.size() - frameBytes);
  EXPECT_LE(std::abs(int{last[0]} - int{At(inverted, 0, 0)[0]}), 6);
  EXPECT_LE(std::abs(int{last[frameBytes - 1]} - int{At(inverted, kWidth - 1, kHeight - 1)[2]}), 6);
  EXPECT_GT(camera.FramesSent(), 0u);
}

TEST_F(PipeWireCameraTest, BeforeTheFirstPictureTheCameraIsBlack) {
  PipeWireCamera camera({kWidth, kHeight, 30}, "corvalind-camera-test");
  ASSERT_TRUE(WaitFor([] { return !PrivatePipeWire::NodeProperties("corvalind-camera-test").empty(); }));
  const std::string bytes = Receive("corvalind-camera-test", "video/x-raw,format=BGR", 2);
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(bytes.find_first_not_of('\0'), std::string::npos);
}

TEST_F(PipeWireCameraTest, ADaemonThatComesBackGetsTheNodeAgain) {
  PipeWireCamera camera({kWidth, kHeight, 30}, "corvalind-camera-test");
  ASSERT_TRUE(WaitFor([] { return !PrivatePipeWire::NodeProperties("corvalind-camera-test").empty(); }));
  daemon_.StopDaemon();
  ASSERT_TRUE(WaitFor([&] { return !camera.Connected(); }));
  std::string reason;
  ASSERT_TRUE(daemon_.StartDaemon(&reason)) << reason;
  EXPECT_TRUE(WaitFor([] { return !PrivatePipeWire::NodeProperties("corvalind-camera-test").empty(); }));
  EXPECT_TRUE(camera.Connected());
}

TEST(PipeWireCameraWithoutDaemon, IsNotConnectedAndSendsNothing) {
  TemporaryHome home("corvalind-pipewire-none");
  {
    PipeWireCamera camera({kWidth, kHeight, 25}, "corvalind-camera-test");
    EXPECT_FALSE(camera.Connected());
    const std::vector<uint8_t> picture = Quadrants();
    camera.Offer(picture.data(), static_cast<uint32_t>(picture.size()));
    EXPECT_EQ(camera.FramesSent(), 0u);
  }
}

}  // namespace
}  // namespace corvalind

// The program output loop with a recording target: set-up retries and
// failure text, the counter, the preview hand-over, stopping at any stage.
#include "engine/program_output_loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "engine/messages.h"
#include "engine/tests/engine_fixture.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

using namespace std::chrono_literals;
using testing::EngineTest;
using testing::WaitFor;
using testing::Zone;

struct Recording {
  std::mutex mutex;
  int setupCalls = 0;
  int releases = 0;
  std::vector<uint8_t> counters;
  std::vector<uint8_t> lastPicture;
};

class RecordingTarget : public ProgramOutputTarget {
 public:
  RecordingTarget(Recording& r, int failures) : r_(r), failures_(failures) {}
  bool Setup(std::string* reason) override {
    std::lock_guard<std::mutex> g(r_.mutex);
    ++r_.setupCalls;
    if (r_.setupCalls <= failures_) {
      *reason = "not yet";
      return false;
    }
    return true;
  }
  void Publish(const uint8_t* picture, uint32_t bytes, uint8_t counter) override {
    std::lock_guard<std::mutex> g(r_.mutex);
    r_.counters.push_back(counter);
    r_.lastPicture.assign(picture, picture + bytes);
  }
  void Release() override {
    std::lock_guard<std::mutex> g(r_.mutex);
    ++r_.releases;
  }

 private:
  Recording& r_;
  int failures_;
};

class CountingPreview : public PreviewTarget {
 public:
  void PresentFrame(const uint8_t*, int width, int height, int pw, int ph) override {
    std::lock_guard<std::mutex> g(mutex);
    ++frames;
    size = {width, height, pw, ph};
  }
  std::mutex mutex;
  int frames = 0;
  std::vector<int> size;
};

std::mutex gStatusMutex;
std::string gLastStatus;
void RecordStatus(std::string_view text) {
  std::lock_guard<std::mutex> g(gStatusMutex);
  gLastStatus = std::string(text);
}

const OutputLoopTiming kFast{99, 1ms, 1ms};

class OutputLoopTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    SetStatusTextHandler(&RecordStatus);
    gLastStatus.clear();
    engineRef = engine.get();
  }
  void TearDown() override {
    SetStatusTextHandler(nullptr);
    EngineTest::TearDown();
  }
  VideoEngine* engineRef = nullptr;
  Recording recording;
};

TEST_F(OutputLoopTest, PublishesEachNewFrameWithACounterFromOne) {
  ASSERT_TRUE(engine->StoreScene({Zone(VIDPOS_FULLSCREEN_NAR, 0, 100, 100)}, "s", -1));
  CountingPreview preview;
  {
    ProgramOutputLoop loop(format, std::make_unique<RecordingTarget>(recording, 3), engineRef, kFast);
    loop.SetPreview(&preview, 320, 240);
    ASSERT_TRUE(WaitFor([&] { return loop.Running(); }));
    // The scene was edited before the loop ran: one frame; then nothing
    // until a source delivers.
    ASSERT_TRUE(WaitFor([&] { return loop.PublishedFrames() == 1; }));
    // At least three whole polls after that one find no news. (The poll
    // that published may still be counting when `polls` is read.)
    const uint64_t polls = loop.Polls();
    ASSERT_TRUE(WaitFor([&] { return loop.Polls() >= polls + 4; }));
    EXPECT_EQ(loop.PublishedFrames(), 1u);
    for (int i = 0; i < 300; ++i) {
      DeliverSolid(0, 4, 4, {static_cast<uint8_t>(i), 0, 0});
      const uint64_t want = static_cast<uint64_t>(i) + 2;
      ASSERT_TRUE(WaitFor([&] { return loop.PublishedFrames() >= want; })) << i;
    }
    std::lock_guard<std::mutex> guard(loop.OutputLock());
    EXPECT_EQ(loop.ProgramFrame().size(), format.frameBytes + 1);
  }
  std::lock_guard<std::mutex> g(recording.mutex);
  EXPECT_EQ(recording.setupCalls, 4);  // three refusals, then the block
  EXPECT_EQ(recording.releases, 1);
  ASSERT_GE(recording.counters.size(), 301u);
  for (std::size_t i = 0; i < recording.counters.size(); ++i) {
    ASSERT_EQ(recording.counters[i], static_cast<uint8_t>(i + 1));  // wraps 255 -> 0
  }
  EXPECT_EQ(recording.lastPicture[0], static_cast<uint8_t>(299));
  EXPECT_EQ(recording.lastPicture.size(), format.frameBytes);
  EXPECT_EQ(preview.frames, static_cast<int>(recording.counters.size()));
  EXPECT_EQ(preview.size, (std::vector<int>{640, 480, 320, 240}));
}

TEST_F(OutputLoopTest, GivesUpAfter99AttemptsWithTheStatusText) {
  {
    ProgramOutputLoop loop(format, std::make_unique<RecordingTarget>(recording, 1000), engineRef, kFast);
    ASSERT_TRUE(WaitFor([&] {
      std::lock_guard<std::mutex> g(recording.mutex);
      return !loop.Alive() && recording.setupCalls == 99;
    }));
    EXPECT_FALSE(loop.Publishing());
  }
  std::lock_guard<std::mutex> g(gStatusMutex);
  EXPECT_EQ(gLastStatus, "Cannot setup shared memory! Try running in admin mode!");
}

TEST_F(OutputLoopTest, ClosingDuringSetupReturnsAtOnceWithoutAMessage) {
  const OutputLoopTiming slow{99, 100ms, 5ms};
  auto setupCalls = [&] {
    std::lock_guard<std::mutex> g(recording.mutex);
    return recording.setupCalls;
  };
  int callsAtClose = 0;
  {
    ProgramOutputLoop loop(format, std::make_unique<RecordingTarget>(recording, 1000), engineRef, slow);
    // Closed while set-up goes on: after a refused attempt, with ninety-odd
    // (about ten seconds of them) still to come.
    ASSERT_TRUE(WaitFor([&] { return setupCalls() >= 1; }));
    callsAtClose = setupCalls();
  }
  // The close ends the attempts: at most the one under way when it came is
  // made, instead of waiting for the remaining ones.
  EXPECT_LE(setupCalls(), callsAtClose + 1);
  {
    std::lock_guard<std::mutex> g(recording.mutex);
    EXPECT_EQ(recording.releases, 1);
  }
  std::lock_guard<std::mutex> g(gStatusMutex);
  EXPECT_TRUE(gLastStatus.empty());
}

TEST_F(OutputLoopTest, WithoutAnEngineNothingIsComposed) {
  ProgramOutputLoop loop(format, std::make_unique<RecordingTarget>(recording, 0), nullptr, kFast);
  ASSERT_TRUE(WaitFor([&] { return loop.Running(); }));
  DeliverSolid(0, 4, 4, {1, 2, 3});
  // At least three whole polls after the delivery.
  const uint64_t polls = loop.Polls();
  ASSERT_TRUE(WaitFor([&] { return loop.Polls() >= polls + 4; }));
  EXPECT_EQ(loop.PublishedFrames(), 0u);
}

}  // namespace
}  // namespace corvalind

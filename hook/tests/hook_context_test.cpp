// The hook context: loading the library, the status texts, the polling
// thread and its frames, and stopping. This test writes the frames into the
// exchange itself, as a capturing game would.
#include "hook/client/hook_context.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "hook/tests/hook_test_support.h"
#include "platform/shared_memory.h"
#include "test_support/frames.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

using testing::WaitFor;

class StatusLog {
 public:
  std::function<void(const std::string&)> Sink() {
    return [this](const std::string& text) {
      std::lock_guard<std::mutex> guard(lock_);
      texts_.push_back(text);
    };
  }
  std::vector<std::string> Texts() const {
    std::lock_guard<std::mutex> guard(lock_);
    return texts_;
  }
  bool Saw(const std::string& text) const {
    const std::vector<std::string> texts = Texts();
    return std::find(texts.begin(), texts.end(), text) != texts.end();
  }

 private:
  mutable std::mutex lock_;
  std::vector<std::string> texts_;
};

class PreviewRecorder : public PreviewTarget {
 public:
  void PresentFrame(const uint8_t*, int width, int height, int previewWidth, int previewHeight) override {
    std::lock_guard<std::mutex> guard(lock_);
    ++frames_;
    width_ = width;
    height_ = height;
    previewWidth_ = previewWidth;
    previewHeight_ = previewHeight;
  }
  int Frames() const {
    std::lock_guard<std::mutex> guard(lock_);
    return frames_;
  }
  std::vector<int> Last() const {
    std::lock_guard<std::mutex> guard(lock_);
    return {width_, height_, previewWidth_, previewHeight_};
  }

 private:
  mutable std::mutex lock_;
  int frames_ = 0;
  int width_ = 0;
  int height_ = 0;
  int previewWidth_ = 0;
  int previewHeight_ = 0;
};

// The capture side of the exchange: description and pixels, then the flag.
class FakeGame {
 public:
  bool Join() {
    SharedMemoryBlock::Outcome outcome;
    section_ = SharedMemoryBlock::Open(testing::SectionObjectName(), true, &outcome);
    block_ = SharedMemoryBlock::Open(testing::BlockObjectName(), true, &outcome);
    return section_.Valid() && block_.Valid();
  }
  std::string TargetName() const { return reinterpret_cast<const char*>(section_.Data() + 24); }
  uint32_t BlockSize() const { return Field(4); }
  bool FrameTaken() const { return Field(0) == 0; }
  void Write(const std::vector<uint8_t>& pixels, int width, int height, int bytesPerPixel) {
    SetField(8, static_cast<uint32_t>(pixels.size()));
    SetField(12, static_cast<uint32_t>(width));
    SetField(16, static_cast<uint32_t>(height));
    SetField(20, static_cast<uint32_t>(bytesPerPixel));
    std::memcpy(block_.Data(), pixels.data(), pixels.size());
    __atomic_store_n(reinterpret_cast<int32_t*>(section_.Data()), 1, __ATOMIC_RELEASE);
  }

 private:
  uint32_t Field(std::size_t offset) const {
    return __atomic_load_n(reinterpret_cast<const uint32_t*>(section_.Data() + offset), __ATOMIC_ACQUIRE);
  }
  void SetField(std::size_t offset, uint32_t value) {
    __atomic_store_n(reinterpret_cast<uint32_t*>(section_.Data() + offset), value, __ATOMIC_RELAXED);
  }
  SharedMemoryBlock section_;
  SharedMemoryBlock block_;
};

class HookContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::UsePrivateExchange();
    testing::ClearSeenFrames();
  }
  void TearDown() override {
    shm_unlink(testing::SectionObjectName().c_str());
    shm_unlink(testing::BlockObjectName().c_str());
  }
  testing::TemporaryHome home_{"hook-context"};
  StatusLog status_;
};

TEST_F(HookContextTest, LibraryThatCannotBeLoadedIsReported) {
  HookContext context(2, "game", "/nonexistent-corvalind-folder", "/also-missing", &testing::RecordingDelivery);
  context.SetStatusSink(status_.Sink());
  context.Start();
  ASSERT_TRUE(WaitFor([&] { return status_.Saw("Cannot load libsnaptrace.so"); }));
  context.Stop();
  EXPECT_EQ(status_.Texts(), (std::vector<std::string>{"/nonexistent-corvalind-folder/libsnaptrace.so",
                                                       "/also-missing/libsnaptrace.so",
                                                       "Cannot load libsnaptrace.so"}));
  EXPECT_FALSE(context.Running());
  EXPECT_FALSE(context.Alive());
}

TEST_F(HookContextTest, InstallsPollsDeliversAndRemoves) {
  PreviewRecorder preview;
  HookContext context(4, "some_game", testing::SnaptraceLibraryFolder(), "", &testing::RecordingDelivery);
  context.SetStatusSink(status_.Sink());
  context.SetPreviewWindow(&preview);
  context.Start();
  ASSERT_TRUE(WaitFor([&] { return status_.Saw("Snaptrace installed."); }));
  EXPECT_EQ(status_.Texts().front(), testing::SnaptraceLibraryPath());
  EXPECT_TRUE(context.Running());
  EXPECT_TRUE(context.Alive());

  FakeGame game;
  ASSERT_TRUE(game.Join());
  EXPECT_EQ(game.TargetName(), "some_game");
  EXPECT_EQ(game.BlockSize(), 9216000u);

  // A 1280 x 720 frame of 4 bytes a pixel, top row first, arrives as
  // 2764800 bytes, bottom row first, blue-green-red.
  const int width = 1280;
  const int height = 720;
  std::vector<uint8_t> direct(static_cast<std::size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* p = &direct[(static_cast<std::size_t>(y) * width + x) * 4];
      p[0] = static_cast<uint8_t>(x);
      p[1] = static_cast<uint8_t>(y);
      p[2] = static_cast<uint8_t>(x ^ y);
      p[3] = 0x77;
    }
  }
  game.Write(direct, width, height, 4);
  ASSERT_TRUE(WaitFor([&] { return context.FramesDelivered() == 1; }));
  EXPECT_TRUE(game.FrameTaken());
  testing::SlotPicture slot = testing::ReadSlot(GlobalSourceSlots(), 4);
  ASSERT_EQ(slot.width, width);
  ASSERT_EQ(slot.height, height);
  EXPECT_EQ(testing::SeenFrames().back().bytes, 2764800u);
  for (int y = 0; y < height; y += 7) {
    for (int x = 0; x < width; x += 5) {
      const uint8_t* p = testing::FramePixel(slot.pixels, width, height, x, y);
      ASSERT_EQ(p[0], static_cast<uint8_t>(x));
      ASSERT_EQ(p[1], static_cast<uint8_t>(y));
      ASSERT_EQ(p[2], static_cast<uint8_t>(x ^ y));
    }
  }
  ASSERT_TRUE(WaitFor([&] { return preview.Frames() == 1; }));
  EXPECT_EQ(preview.Last(), (std::vector<int>{width, height, 200, 150}));

  // An OpenGL frame of 800 x 600 arrives as its 1440000 bytes unchanged.
  const std::vector<uint8_t> opengl = [] {
    std::vector<uint8_t> bytes(800 * 600 * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i % 251);
    return bytes;
  }();
  game.Write(opengl, 800, 600, 3);
  ASSERT_TRUE(WaitFor([&] { return context.FramesDelivered() == 2; }));
  slot = testing::ReadSlot(GlobalSourceSlots(), 4);
  EXPECT_EQ(slot.width, 800);
  EXPECT_EQ(slot.height, 600);
  EXPECT_EQ(slot.pixels, opengl);
  EXPECT_EQ(testing::SeenFrames().back().bytes, 1440000u);

  context.Stop();
  EXPECT_EQ(status_.Texts().back(), "Snaptrace removed.");
  EXPECT_EQ(game.TargetName(), "");
  EXPECT_FALSE(context.Alive());
  // The slot keeps the last picture.
  EXPECT_EQ(testing::ReadSlot(GlobalSourceSlots(), 4).pixels, opengl);
}

TEST_F(HookContextTest, SlotNumbersOfTenAndAboveStillPreview) {
  PreviewRecorder preview;
  HookContext context(10, "some_game", testing::SnaptraceLibraryFolder(), "", &DeliverFrame);
  context.SetStatusSink(status_.Sink());
  context.SetPreviewWindow(&preview);
  context.Start();
  ASSERT_TRUE(WaitFor([&] { return status_.Saw("Snaptrace installed."); }));
  FakeGame game;
  ASSERT_TRUE(game.Join());
  game.Write(std::vector<uint8_t>(64 * 48 * 3, 90), 64, 48, 3);
  ASSERT_TRUE(WaitFor([&] { return preview.Frames() == 1; }));
  EXPECT_EQ(preview.Last(), (std::vector<int>{64, 48, 200, 150}));
  context.Stop();
}

TEST_F(HookContextTest, StopWaitsForTheThreadAtAnyPoint) {
  // Stopped at once, while loading, and while polling: the hook is always
  // removed after the thread has ended, never under it.
  for (int round = 0; round < 6; ++round) {
    StatusLog log;
    HookContext context(5, "some_game", testing::SnaptraceLibraryFolder(), "", &testing::RecordingDelivery);
    context.SetStatusSink(log.Sink());
    context.Start();
    context.Start();  // once only
    if (round % 2 == 1) {
      ASSERT_TRUE(WaitFor([&] { return log.Saw("Snaptrace installed."); }));
    }
    context.Stop();
    context.Stop();
    EXPECT_FALSE(context.Alive());
    const std::vector<std::string> texts = log.Texts();
    const bool installed = std::find(texts.begin(), texts.end(), "Snaptrace installed.") != texts.end();
    if (installed) {
      EXPECT_EQ(texts.back(), "Snaptrace removed.");
    } else {
      EXPECT_TRUE(std::find(texts.begin(), texts.end(), "Snaptrace removed.") == texts.end());
    }
  }
}

}  // namespace
}  // namespace corvalind

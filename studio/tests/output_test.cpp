// The studio's output path end to end: settings read into the output
// format, the engine composing, the loop publishing into the shared block,
// and a reader in the same role as the camera seeing the exact picture.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "engine/program_output_loop.h"
#include "platform/folders.h"
#include "platform/output_block.h"
#include "test_support/demo_scene.h"
#include "test_support/test_home.h"
#include "studio/shared_output_target.h"
#include "studio/studio_settings.h"

namespace corvalind {
namespace {

using namespace std::chrono_literals;

TEST(StudioOutputTest, SettingsFileFixesTheProgramFormat) {
  const std::filesystem::path home = std::filesystem::temp_directory_path() /
                                     ("corvalind-home-" + std::to_string(getpid()));
  setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
  OutputFormat format;
  EXPECT_EQ(LoadStudioSettings(format).sizeIndex, 6);  // no file yet
  EXPECT_EQ(format.outputWidth, 640);
  ASSERT_TRUE(WriteSettingsFile(SettingsFilePath(), 13, 3, true));
  const PictureSettings read = LoadStudioSettings(format);
  EXPECT_TRUE(read.mirror);
  EXPECT_EQ(format.outputWidth, 1280);
  EXPECT_EQ(format.outputHeight, 720);
  EXPECT_EQ(format.frameRate, 30);
  EXPECT_EQ(format.frameIntervalMs, 33);
  EXPECT_EQ(format.frameBytes, 1280u * 720u * 3u);
  EXPECT_EQ(format.splitRow, 359);
  unsetenv("XDG_CONFIG_HOME");
  std::filesystem::remove_all(home);
}

TEST(StudioOutputTest, PublishedBlockHoldsTheComposedPicture) {
  const std::string name = "CorvalindTest_studio_" + std::to_string(getpid());
  OutputFormat format;
  format.SetSize(320, 180);
  SourceSlotTable slots;
  auto engine = VideoEngine::Create(slots, format);
  ASSERT_NE(engine, nullptr);
  StoreDemoScenes(*engine);

  // A camera that already holds the block from an earlier run.
  OutputBlock earlier;
  ASSERT_TRUE(CreateOutputBlock(earlier, name, format.frameBytes, nullptr, nullptr));
  earlier.block.Data()[0] = 200;
  {
    ProgramOutputLoop loop(format, std::make_unique<SharedOutputTarget>(name, format.frameBytes),
                           engine.get(), OutputLoopTiming{99, 1ms, 1ms});
    for (int phase = 0; phase < 3; ++phase) {
      const uint64_t before = loop.PublishedFrames();
      DeliverDemoFrames(slots, phase);
      ASSERT_TRUE(testing::WaitFor([&] { return loop.PublishedFrames() > before; }));
    }
    // Two more polls: the last delivery is composed and published.
    const uint64_t polls = loop.Polls();
    ASSERT_TRUE(testing::WaitFor([&] { return loop.Polls() >= polls + 2; }));
    std::lock_guard<std::mutex> guard(loop.OutputLock());
    const uint64_t published = loop.PublishedFrames();
    ASSERT_GE(published, 1u);
    OutputBlock reader;
    ASSERT_TRUE(OpenOutputBlock(reader, name));
    EXPECT_EQ(reader.block.Data()[0], static_cast<uint8_t>(published));  // restarted from 1
    EXPECT_EQ(std::memcmp(reader.block.Data() + 1, loop.ProgramFrame().data(), format.frameBytes), 0);
  }
  // The loop is gone; the earlier holder keeps the last picture.
  EXPECT_NE(earlier.block.Data()[0], 200);
}

// Another process cuts the studio's block back to one byte: publishing
// neither faults nor stops; the name gets a fresh block of the right size
// that carries the next picture, and the cut one is left to its holders.
TEST(StudioOutputTest, ABlockCutBackUnderThePublisherIsMadeAfresh) {
  const std::string name = "CorvalindTest_cutback_" + std::to_string(getpid());
  constexpr uint32_t kBytes = 64 * 1024;
  SharedOutputTarget target(name, kBytes);
  ASSERT_TRUE(target.Setup(nullptr));
  std::vector<uint8_t> picture(kBytes, 1);
  target.Publish(picture.data(), kBytes, 1);

  const int fd = shm_open(SharedMemoryObjectName(name).c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 1), 0);
  close(fd);
  std::fill(picture.begin(), picture.end(), 2);
  target.Publish(picture.data(), kBytes, 2);

  OutputBlock reader;
  ASSERT_TRUE(OpenOutputBlock(reader, name));
  ASSERT_EQ(reader.PictureCapacity(), kBytes) << "a fresh block of the right size";
  EXPECT_EQ(reader.block.Data()[0], 2) << "with the picture after the cut";
  EXPECT_EQ(reader.block.Data()[kBytes], 2);
  ReleaseOutputBlock(reader);
  target.Release();
}

}  // namespace
}  // namespace corvalind

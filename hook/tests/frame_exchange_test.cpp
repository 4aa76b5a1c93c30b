// The frame exchange through the library's own entry points, loaded as the
// studio loads it. This test plays the other process: it reaches the shared
// section and the frame block by their names and the agreed layout.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "hook/client/snaptrace_library.h"
#include "hook/tests/hook_test_support.h"
#include "platform/shared_memory.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

using testing::BlockObjectName;
using testing::SectionObjectName;

// The agreed layout of the shared section.
constexpr std::size_t kReadyOffset = 0;
constexpr std::size_t kBlockSizeOffset = 4;
constexpr std::size_t kFrameBytesOffset = 8;
constexpr std::size_t kWidthOffset = 12;
constexpr std::size_t kHeightOffset = 16;
constexpr std::size_t kBytesPerPixelOffset = 20;
constexpr std::size_t kTargetOffset = 24;
constexpr std::size_t kSectionBytes = 24 + 512;

uint32_t ReadField(const SharedMemoryBlock& section, std::size_t offset) {
  uint32_t value = 0;
  std::memcpy(&value, section.Data() + offset, sizeof value);
  return value;
}

void WriteField(SharedMemoryBlock& section, std::size_t offset, uint32_t value) {
  std::memcpy(section.Data() + offset, &value, sizeof value);
}

std::string TargetName(const SharedMemoryBlock& section) {
  return std::string(reinterpret_cast<const char*>(section.Data() + kTargetOffset));
}

// What the capture side writes before it sets the flag.
void DescribeFrame(SharedMemoryBlock& section, uint32_t bytes, int width, int height, int bytesPerPixel) {
  WriteField(section, kFrameBytesOffset, bytes);
  WriteField(section, kWidthOffset, static_cast<uint32_t>(width));
  WriteField(section, kHeightOffset, static_cast<uint32_t>(height));
  WriteField(section, kBytesPerPixelOffset, static_cast<uint32_t>(bytesPerPixel));
}

SharedMemoryBlock Join(const std::string& name) {
  SharedMemoryBlock::Outcome outcome;
  return SharedMemoryBlock::Open(name, true, &outcome);
}

bool NameExists(const std::string& name) {
  const int fd = shm_open(name.c_str(), O_RDONLY, 0);
  if (fd < 0) return false;
  close(fd);
  return true;
}

std::vector<uint8_t> Pattern(std::size_t bytes, uint8_t seed) {
  std::vector<uint8_t> pattern(bytes);
  for (std::size_t i = 0; i < bytes; ++i) pattern[i] = static_cast<uint8_t>(i * 31 + seed);
  return pattern;
}

class FrameExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::UsePrivateExchange();
    ASSERT_TRUE(library_.Load(testing::SnaptraceLibraryPath()));
  }
  void TearDown() override {
    library_.Unload();
    shm_unlink(SectionObjectName().c_str());
    shm_unlink(BlockObjectName().c_str());
  }

  testing::TemporaryHome home_{"hook-exchange"};
  SnaptraceLibrary library_;
};

TEST_F(FrameExchange, SectionHoldsTheAgreedFieldsInOrder) {
  ASSERT_NE(library_.setupSharedMemory(9216000), nullptr);
  EXPECT_NE(library_.installHook("Game.bin"), nullptr);
  SharedMemoryBlock section = Join(SectionObjectName());
  ASSERT_TRUE(section.Valid());
  EXPECT_GE(section.Size(), kSectionBytes);
  EXPECT_EQ(ReadField(section, kBlockSizeOffset), 9216000u);
  EXPECT_EQ(TargetName(section), "Game.bin");
  EXPECT_EQ(ReadField(section, kReadyOffset), 0u);

  // Removing the hook takes the name back and closes the view, once.
  EXPECT_EQ(library_.removeHook(), 1);
  EXPECT_EQ(TargetName(section), "");
  EXPECT_EQ(library_.removeHook(), 0);
}

TEST_F(FrameExchange, TargetNameKeepsAtMost511Characters) {
  const std::string longName(600, 'a');
  ASSERT_NE(library_.installHook(longName.c_str()), nullptr);
  SharedMemoryBlock section = Join(SectionObjectName());
  ASSERT_TRUE(section.Valid());
  EXPECT_EQ(TargetName(section), std::string(511, 'a'));
  // A shorter name leaves nothing of the longer one behind.
  ASSERT_NE(library_.installHook("b.bin"), nullptr);
  EXPECT_EQ(TargetName(section), "b.bin");
  EXPECT_EQ(section.Data()[kTargetOffset + 6], 0);
}

TEST_F(FrameExchange, GetSharedMemoryReturnsEachFrameOnce) {
  ASSERT_NE(library_.setupSharedMemory(4096), nullptr);
  SharedMemoryBlock section = Join(SectionObjectName());
  ASSERT_TRUE(section.Valid());
  const std::vector<uint8_t> pixels = Pattern(300, 7);
  std::vector<uint8_t> taken(4096, 0);
  int32_t width = -1;
  int32_t height = -1;
  int32_t bytesPerPixel = -1;
  // Nothing ready: nothing is written.
  EXPECT_EQ(library_.getSharedMemory(taken.data(), 4096, &width, &height, &bytesPerPixel), 0u);
  EXPECT_EQ(width, -1);

  for (int frame = 0; frame < 2; ++frame) {
    const std::vector<uint8_t> frameBytes = Pattern(300, static_cast<uint8_t>(frame * 50));
    DescribeFrame(section, 300, 10, 10, 3);
    library_.setSharedMemory(frameBytes.data(), 300);
    WriteField(section, kReadyOffset, 1);

    ASSERT_EQ(library_.getSharedMemory(taken.data(), 4096, &width, &height, &bytesPerPixel), 300u);
    EXPECT_EQ(width, 10);
    EXPECT_EQ(height, 10);
    EXPECT_EQ(bytesPerPixel, 3);
    EXPECT_TRUE(std::equal(frameBytes.begin(), frameBytes.end(), taken.begin()));
    EXPECT_EQ(ReadField(section, kReadyOffset), 0u);
    EXPECT_EQ(library_.getSharedMemory(taken.data(), 4096, &width, &height, &bytesPerPixel), 0u)
        << "frame " << frame << " came twice";
  }
}

TEST_F(FrameExchange, FirstFrameOfAProcessWithoutAViewOnlyOpensTheBlock) {
  // The studio's side, as another process would hold it.
  SharedMemoryBlock::Outcome outcome;
  SharedMemoryBlock section = SharedMemoryBlock::Create(SectionObjectName(), kSectionBytes, false, &outcome);
  SharedMemoryBlock block = SharedMemoryBlock::Create(BlockObjectName(), 4096, false, &outcome);
  ASSERT_TRUE(section.Valid() && block.Valid());
  WriteField(section, kBlockSizeOffset, 4096);

  const std::vector<uint8_t> first = Pattern(100, 1);
  const std::vector<uint8_t> second = Pattern(100, 2);
  library_.setSharedMemory(first.data(), 100);
  EXPECT_EQ(std::vector<uint8_t>(block.Data(), block.Data() + 100), std::vector<uint8_t>(100, 0));
  library_.setSharedMemory(second.data(), 100);
  EXPECT_EQ(std::vector<uint8_t>(block.Data(), block.Data() + 100), second);
}

TEST_F(FrameExchange, ABlockThatExistsKeepsItsContent) {
  SharedMemoryBlock::Outcome outcome;
  SharedMemoryBlock studio = SharedMemoryBlock::Create(BlockObjectName(), 9216000, false, &outcome);
  ASSERT_TRUE(studio.Valid());
  const std::vector<uint8_t> pattern = Pattern(9216000, 3);
  std::memcpy(studio.Data(), pattern.data(), pattern.size());

  const auto* view = static_cast<const uint8_t*>(library_.setupSharedMemory(9216000));
  ASSERT_NE(view, nullptr);
  EXPECT_TRUE(std::equal(pattern.begin(), pattern.end(), view));
}

TEST_F(FrameExchange, CopiesNeverPassWhatTheBlockHolds) {
  // A live block smaller than the size asked for is joined as it is.
  SharedMemoryBlock::Outcome outcome;
  SharedMemoryBlock held = SharedMemoryBlock::Create(BlockObjectName(), 4096, false, &outcome);
  ASSERT_TRUE(held.Valid());
  ASSERT_NE(library_.setupSharedMemory(9216000), nullptr);
  SharedMemoryBlock section = Join(SectionObjectName());
  ASSERT_TRUE(section.Valid());
  const std::vector<uint8_t> large = Pattern(8192, 9);
  library_.setSharedMemory(large.data(), 8192);
  EXPECT_TRUE(std::equal(large.begin(), large.begin() + 4096, held.Data()));

  // A frame larger than the block size is cut to it.
  WriteField(section, kBlockSizeOffset, 1000);
  const std::vector<uint8_t> other = Pattern(2000, 4);
  library_.setSharedMemory(other.data(), 2000);
  EXPECT_TRUE(std::equal(other.begin(), other.begin() + 1000, held.Data()));
  EXPECT_EQ(held.Data()[1000], large[1000]);

  // A destination smaller than the frame gets its capacity.
  DescribeFrame(section, 4096, 32, 32, 4);
  WriteField(section, kReadyOffset, 1);
  std::vector<uint8_t> taken(4096);
  int32_t width = 0;
  int32_t height = 0;
  int32_t bytesPerPixel = 0;
  EXPECT_EQ(library_.getSharedMemory(taken.data(), 10, &width, &height, &bytesPerPixel), 10u);

  // Cut short by someone after it was mapped: neither direction touches
  // what the object no longer holds (that would be a bus error).
  const int fd = shm_open(BlockObjectName().c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 1024), 0);
  close(fd);
  WriteField(section, kBlockSizeOffset, 4096);
  library_.setSharedMemory(large.data(), 4096);
  EXPECT_TRUE(std::equal(large.begin(), large.begin() + 1024, held.Data()));
  WriteField(section, kReadyOffset, 1);
  EXPECT_EQ(library_.getSharedMemory(taken.data(), 4096, &width, &height, &bytesPerPixel), 1024u);
}

// Another process cutting the section back and giving it its size again,
// over and over, while the studio takes frames and the capture side writes
// them: every access that lands in a moment when the section is short is
// caught, so neither side ever dies of the page that went away.
TEST_F(FrameExchange, ASectionCutBackAgainAndAgainNeverFaultsEitherSide) {
  ASSERT_NE(library_.setupSharedMemory(4096), nullptr);
  SharedMemoryBlock section = Join(SectionObjectName());
  ASSERT_TRUE(section.Valid());
  const int fd = shm_open(SectionObjectName().c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  std::atomic<bool> stop{false};
  std::thread cutter([&] {
    while (!stop.load()) {
      if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(kSectionBytes)) != 0) return;
    }
  });
  const std::vector<uint8_t> frame = Pattern(4096, 5);
  std::vector<uint8_t> taken(4096);
  int32_t width = 0;
  int32_t height = 0;
  int32_t bytesPerPixel = 0;
  for (int i = 0; i < 100000; ++i) {
    library_.setSharedMemory(frame.data(), 4096);
    library_.getSharedMemory(taken.data(), 4096, &width, &height, &bytesPerPixel);
  }
  stop.store(true);
  cutter.join();
  close(fd);
  // Still working once the section has its size.
  DescribeFrame(section, 100, 10, 10, 1);
  WriteField(section, kReadyOffset, 1);
  EXPECT_EQ(library_.getSharedMemory(taken.data(), 4096, &width, &height, &bytesPerPixel), 100u);
  EXPECT_EQ(width, 10);
}

struct LifetimeCase {
  const char* name;
  bool otherHolder;
  bool nameRemains;
};

void PrintTo(const LifetimeCase& c, std::ostream* out) { *out << c.name; }

class ExchangeLifetime : public FrameExchange, public ::testing::WithParamInterface<LifetimeCase> {};

// The block lives while anyone holds it: the studio letting go removes it
// only when nobody else (a game) still has it.
TEST_P(ExchangeLifetime, BlockLivesWhileAnyoneHoldsIt) {
  ASSERT_NE(library_.setupSharedMemory(4096), nullptr);
  SharedMemoryBlock other;
  if (GetParam().otherHolder) {
    other = Join(BlockObjectName());
    ASSERT_TRUE(other.Valid());
  }
  library_.removeHook();
  EXPECT_EQ(NameExists(BlockObjectName()), GetParam().nameRemains);
}

INSTANTIATE_TEST_SUITE_P(Holders, ExchangeLifetime,
                         ::testing::Values(LifetimeCase{"LastHolder", false, false},
                                           LifetimeCase{"AnotherHolder", true, true}),
                         [](const ::testing::TestParamInfo<LifetimeCase>& info) { return std::string(info.param.name); });

TEST_F(FrameExchange, SectionOpenToOtherUsersIsNeverUsed) {
  const int fd = shm_open(SectionObjectName().c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fchmod(fd, 0644), 0);
  ASSERT_EQ(ftruncate(fd, kSectionBytes), 0);
  ASSERT_EQ(flock(fd, LOCK_SH), 0);  // held: not a leftover
  EXPECT_EQ(library_.installHook("game"), nullptr);
  close(fd);
}

struct DebugCase {
  const char* name;
  const char* value;  // SNAPTRACE_DEBUG, null: unset
  bool writes;
};

void PrintTo(const DebugCase& c, std::ostream* out) { *out << c.name; }

class DebugMessages : public ::testing::TestWithParam<DebugCase> {};

TEST_P(DebugMessages, GoToStandardErrorOnlyWhenAsked) {
  testing::UsePrivateExchange();
  testing::TemporaryHome home("hook-debug");
  if (GetParam().value) {
    setenv("SNAPTRACE_DEBUG", GetParam().value, 1);
  } else {
    unsetenv("SNAPTRACE_DEBUG");
  }
  const std::string logPath = (home.Root() / "stderr.txt").string();
  std::fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(log, 0);
  dup2(log, STDERR_FILENO);
  close(log);
  {
    // Read when the library is loaded.
    SnaptraceLibrary library;
    if (library.Load(testing::SnaptraceLibraryPath())) {
      library.installHook("game");
      library.removeHook();
    }
  }
  dup2(saved, STDERR_FILENO);
  close(saved);
  unsetenv("SNAPTRACE_DEBUG");
  shm_unlink(SectionObjectName().c_str());
  EXPECT_EQ(testing::ReadBytes(logPath),
            GetParam().writes ? "Snaptrace hook installed.\nSnaptrace hook removed.\n" : "");
}

INSTANTIATE_TEST_SUITE_P(Settings, DebugMessages,
                         ::testing::Values(DebugCase{"Unset", nullptr, false}, DebugCase{"One", "1", true},
                                           DebugCase{"Zero", "0", false}, DebugCase{"Yes", "yes", false}),
                         [](const ::testing::TestParamInfo<DebugCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corvalind

// Named shared memory: the Windows lifetime rule emulated with locks,
// across real processes.
#include "platform/shared_memory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/output_block.h"

namespace corvalind {
namespace {

using Status = SharedMemoryBlock::Status;

// A name of this test process alone, so nothing of a running studio is
// touched.
std::string TestName(const char* what) {
  return SharedMemoryObjectName(std::string("CorvalindTest_") + what + "_" + std::to_string(getpid()));
}

bool NameExists(const std::string& name) {
  const int fd = shm_open(name.c_str(), O_RDONLY, 0);
  if (fd < 0) return false;
  close(fd);
  return true;
}

TEST(SharedMemoryTest, NameCarriesTheUserId) {
  EXPECT_EQ(SharedMemoryObjectName("CorvalindOutputBuffer"),
            "/CorvalindOutputBuffer." + std::to_string(getuid()));
}

TEST(SharedMemoryTest, FreshBlockIsZeroAndPrivateAndTheLastHolderRemovesIt) {
  const std::string name = TestName("fresh");
  SharedMemoryBlock::Outcome outcome;
  SharedMemoryBlock block = SharedMemoryBlock::Create(name, 921601, false, &outcome);
  ASSERT_TRUE(block.Valid()) << outcome.reason;
  EXPECT_FALSE(outcome.existed);
  EXPECT_EQ(block.Size(), 921601u);
  for (std::size_t i = 0; i < block.Size(); i += 4099) ASSERT_EQ(block.Data()[i], 0);
  struct stat info {};
  const int fd = shm_open(name.c_str(), O_RDONLY, 0);
  ASSERT_GE(fd, 0);
  fstat(fd, &info);
  close(fd);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  block.Data()[5] = 42;
  SharedMemoryBlock reader = SharedMemoryBlock::Open(name, false, &outcome);
  ASSERT_TRUE(reader.Valid());
  EXPECT_EQ(reader.Data()[5], 42);
  block.Release();
  EXPECT_TRUE(NameExists(name));  // the reader still holds it
  SharedMemoryBlock again = SharedMemoryBlock::Create(name, 921601, false, &outcome);
  ASSERT_TRUE(again.Valid());
  EXPECT_TRUE(outcome.existed);
  EXPECT_EQ(again.Data()[5], 42);  // content kept
  again.Release();
  reader.Release();
  EXPECT_FALSE(NameExists(name));
  reader.Release();  // twice is fine
}

TEST(SharedMemoryTest, MissingBlockIsNotFound) {
  SharedMemoryBlock::Outcome outcome;
  SharedMemoryBlock block = SharedMemoryBlock::Open(TestName("missing"), false, &outcome);
  EXPECT_FALSE(block.Valid());
  EXPECT_EQ(outcome.status, Status::kNotFound);
}

TEST(SharedMemoryTest, AbandonedObjectCountsAsGone) {
  // An object nobody holds, as a killed process leaves it.
  const std::string name = TestName("stale");
  const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 100), 0);
  void* view = mmap(nullptr, 100, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  static_cast<uint8_t*>(view)[0] = 7;
  munmap(view, 100);
  close(fd);

  SharedMemoryBlock::Outcome outcome;
  EXPECT_FALSE(SharedMemoryBlock::Open(name, false, &outcome).Valid());
  EXPECT_EQ(outcome.status, Status::kNotFound);
  EXPECT_FALSE(NameExists(name));

  const int again = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_EQ(ftruncate(again, 100), 0);
  close(again);
  SharedMemoryBlock block = SharedMemoryBlock::Create(name, 100, false, &outcome);
  ASSERT_TRUE(block.Valid());
  EXPECT_FALSE(outcome.existed);  // made afresh
}

TEST(SharedMemoryTest, ObjectsOpenToOthersAreRefused) {
  const std::string name = TestName("open");
  const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 100), 0);
  fchmod(fd, 0644);
  flock(fd, LOCK_SH);  // alive
  SharedMemoryBlock::Outcome outcome;
  EXPECT_FALSE(SharedMemoryBlock::Create(name, 100, false, &outcome).Valid());
  EXPECT_EQ(outcome.status, Status::kForeign);
  EXPECT_FALSE(outcome.reason.empty());
  EXPECT_FALSE(SharedMemoryBlock::Open(name, false, &outcome).Valid());
  EXPECT_EQ(outcome.status, Status::kForeign);
  close(fd);
  shm_unlink(name.c_str());
}

TEST(SharedMemoryTest, OutputBlockOfAnotherSizeIsReplacedAndTheHolderKeepsItsOwn) {
  const std::string local = "CorvalindTest_size_" + std::to_string(getpid());
  OutputBlock camera;
  bool existed = false;
  std::string reason;
  ASSERT_TRUE(CreateOutputBlock(camera, local, 640 * 480 * 3, &existed, &reason));
  camera.block.Data()[1] = 99;
  // The studio comes back at 1280 x 720 while the old block is held.
  OutputBlock studio;
  ASSERT_TRUE(CreateOutputBlock(studio, local, 1280 * 720 * 3, &existed, &reason));
  EXPECT_FALSE(existed);
  EXPECT_EQ(studio.PictureCapacity(), 1280u * 720u * 3u);
  EXPECT_EQ(studio.block.Data()[1], 0);
  EXPECT_EQ(camera.block.Data()[1], 99);  // the old holder's picture stays
  // A new reader finds the new block; the old holder leaving does not
  // remove the new block's name.
  OutputBlock reader;
  ASSERT_TRUE(OpenOutputBlock(reader, local));
  EXPECT_EQ(reader.PictureCapacity(), 1280u * 720u * 3u);
  ReleaseOutputBlock(camera);
  OutputBlock later;
  EXPECT_TRUE(OpenOutputBlock(later, local));
}

TEST(SharedMemoryTest, PublishNeverWritesPastTheBlock) {
  const std::string local = "CorvalindTest_publish_" + std::to_string(getpid());
  OutputBlock block;
  ASSERT_TRUE(CreateOutputBlock(block, local, 12, nullptr, nullptr));
  const std::vector<uint8_t> picture(100, 0xEE);
  PublishPicture(block, picture.data(), 100, 3);
  EXPECT_EQ(block.block.Data()[0], 3);
  EXPECT_EQ(block.block.Data()[12], 0xEE);
  EXPECT_EQ(block.block.Size(), 13u);
}

// Process lifetimes: a child creates and publishes, exits while the parent
// still holds the block; a restart reuses it; the last holder removes it;
// a killed holder leaves nothing that blocks the next start.
TEST(SharedMemoryTest, LifetimeAcrossProcesses) {
  const std::string local = "CorvalindTest_life_" + std::to_string(getpid());
  const std::string name = SharedMemoryObjectName(local);
  int ready[2], proceed[2];  // child to parent, parent to child
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(proceed), 0);
  const pid_t writer = fork();
  if (writer == 0) {
    OutputBlock block;
    bool existed = true;
    if (!CreateOutputBlock(block, local, 16, &existed, nullptr) || existed) _exit(1);
    const uint8_t picture[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    PublishPicture(block, picture, 16, 1);
    char c = 'x';
    if (write(ready[1], &c, 1) != 1) _exit(2);
    // Wait for the parent to hold the block, then leave normally.
    if (read(proceed[0], &c, 1) != 1) _exit(3);
    ReleaseOutputBlock(block);
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  OutputBlock reader;
  ASSERT_TRUE(OpenOutputBlock(reader, local));
  ASSERT_EQ(write(proceed[1], &c, 1), 1);
  int status = 0;
  waitpid(writer, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(NameExists(name));  // kept alive by the reader
  EXPECT_EQ(reader.block.Data()[0], 1);
  EXPECT_EQ(reader.block.Data()[16], 16);

  // A studio started again reuses it, content and all.
  OutputBlock restarted;
  bool existed = false;
  ASSERT_TRUE(CreateOutputBlock(restarted, local, 16, &existed, nullptr));
  EXPECT_TRUE(existed);
  EXPECT_EQ(restarted.block.Data()[16], 16);
  ReleaseOutputBlock(restarted);
  ReleaseOutputBlock(reader);
  EXPECT_FALSE(NameExists(name));  // the last holder removed it

  // A holder killed outright releases nothing; its lock goes with it.
  const pid_t killed = fork();
  if (killed == 0) {
    OutputBlock block;
    CreateOutputBlock(block, local, 16, nullptr, nullptr);
    char go = 'x';
    if (write(ready[1], &go, 1) != 1) _exit(2);
    pause();
    _exit(0);
  }
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  kill(killed, SIGKILL);
  waitpid(killed, &status, 0);
  EXPECT_TRUE(NameExists(name));
  OutputBlock fresh;
  ASSERT_TRUE(CreateOutputBlock(fresh, local, 16, &existed, nullptr));
  EXPECT_FALSE(existed);
  ReleaseOutputBlock(fresh);
  EXPECT_FALSE(NameExists(name));
  for (int fd : {ready[0], ready[1], proceed[0], proceed[1]}) close(fd);
}

}  // namespace
}  // namespace corvalind

#include "platform/instance_lock.h"

namespace corvalind {
namespace {

TEST(InstanceLockTest, OnlyTheFirstStudioHoldsTheLock) {
  const std::string runtime = std::filesystem::temp_directory_path() / ("corvalind-lock-" + std::to_string(getpid()));
  std::filesystem::create_directories(runtime);
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  EXPECT_EQ(InstanceLock::LockPath(), runtime + "/Corvalind - video freedom.lock");
  InstanceLock first, second;
  EXPECT_TRUE(first.Acquire());
  EXPECT_FALSE(second.Acquire());  // a second copy runs standalone
  first.Release();
  EXPECT_TRUE(second.Acquire());
  unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(InstanceLock::LockPath(), "/tmp/Corvalind - video freedom." + std::to_string(getuid()) + ".lock");
  std::filesystem::remove_all(runtime);
}

}  // namespace
}  // namespace corvalind

// Copies into and out of a shared block that another process cuts back:
// they fail instead of raising SIGBUS, and a fault elsewhere still reaches
// the handler that was there before.
#include "platform/guarded_memory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/output_block.h"
#include "platform/shared_memory.h"

namespace corvalind {
namespace {

constexpr std::size_t kBlockBytes = 64 * 1024;

std::string LocalName(const char* what) { return std::string("CorvalindTest_") + what + "_" + std::to_string(getpid()); }

// What a hostile process of the same user does: the object cut to one byte.
bool CutBack(const std::string& localName) {
  const int fd = shm_open(SharedMemoryObjectName(localName).c_str(), O_RDWR, 0);
  if (fd < 0) return false;
  const bool cut = ftruncate(fd, 1) == 0;
  close(fd);
  return cut;
}

TEST(GuardedMemoryTest, CopiesThroughABlockCutBackFailInsteadOfFaulting) {
  const std::string name = LocalName("guarded");
  SharedMemoryBlock block = SharedMemoryBlock::Create(SharedMemoryObjectName(name), kBlockBytes, false, nullptr);
  ASSERT_TRUE(block.Valid());
  std::vector<uint8_t> outside(kBlockBytes, 0x5a);
  ASSERT_TRUE(GuardedCopy(block.Data(), outside.data(), kBlockBytes));
  ASSERT_TRUE(GuardedCopy(outside.data(), block.Data(), kBlockBytes));
  EXPECT_TRUE(block.StillWhole());

  ASSERT_TRUE(CutBack(name));
  EXPECT_FALSE(block.StillWhole());
  const unsigned faultsBefore = GuardedFaults();
  // Out of the lost pages and into them; the first page is still there.
  EXPECT_FALSE(GuardedCopy(outside.data(), block.Data(), kBlockBytes));
  EXPECT_FALSE(GuardedCopy(block.Data() + 8192, outside.data(), 4096));
  EXPECT_TRUE(GuardedCopy(outside.data(), block.Data(), 1));
  EXPECT_EQ(GuardedFaults(), faultsBefore + 2);
  // The thread is not left guarded, nor SIGBUS blocked: it faults again.
  EXPECT_FALSE(GuardedCopy(outside.data(), block.Data() + 4096, 16));
  block.Release();
}

TEST(GuardedMemoryTest, TheOutputBlockRefusesToPublishIntoABlockCutBack) {
  const std::string name = LocalName("publish");
  OutputBlock block;
  ASSERT_TRUE(CreateOutputBlock(block, name, static_cast<uint32_t>(kBlockBytes), nullptr, nullptr));
  const std::vector<uint8_t> picture(kBlockBytes, 7);
  EXPECT_TRUE(PublishPicture(block, picture.data(), static_cast<uint32_t>(picture.size()), 1));
  ASSERT_TRUE(CutBack(name));
  EXPECT_FALSE(PublishPicture(block, picture.data(), static_cast<uint32_t>(picture.size()), 2));
  ReleaseOutputBlock(block);
}

sigjmp_buf g_hostRecovery;
volatile sig_atomic_t g_hostHandled = 0;

void HostHandler(int, siginfo_t*, void*) {
  g_hostHandled = 1;
  siglongjmp(g_hostRecovery, 1);
}

// The host program (the camera lives in others' programs) has its own
// SIGBUS handler for its own mappings: faults outside our copies still go
// there after ours is in place.
TEST(GuardedMemoryTest, AFaultOutsideAGuardedCopyReachesTheHandlerBefore) {
  struct sigaction host;
  std::memset(&host, 0, sizeof host);
  host.sa_sigaction = &HostHandler;
  host.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&host.sa_mask);
  struct sigaction before;
  ASSERT_EQ(sigaction(SIGBUS, &host, &before), 0);

  const std::string name = LocalName("host");
  SharedMemoryBlock block = SharedMemoryBlock::Create(SharedMemoryObjectName(name), kBlockBytes, false, nullptr);
  ASSERT_TRUE(block.Valid());
  uint8_t byte = 0;
  ASSERT_TRUE(GuardedCopy(&byte, block.Data(), 1));  // ours goes in, the host's behind it
  ASSERT_TRUE(CutBack(name));
  EXPECT_FALSE(GuardedCopy(&byte, block.Data() + 8192, 1)) << "ours still takes the guarded faults";

  g_hostHandled = 0;
  if (sigsetjmp(g_hostRecovery, 1) == 0) {
    volatile uint8_t* lost = block.Data() + 8192;
    byte = *lost;  // a plain read of a lost page: the host's business
  }
  EXPECT_EQ(g_hostHandled, 1);

  block.Release();
  sigaction(SIGBUS, &before, nullptr);
}

}  // namespace
}  // namespace corvalind

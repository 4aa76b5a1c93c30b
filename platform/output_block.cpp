#include "platform/output_block.h"

#include <cstring>

namespace corvalind {

bool CreateOutputBlock(OutputBlock& out, std::string_view localName, uint32_t frameBytes,
                       bool* existed, std::string* reason) {
  SharedMemoryBlock::Outcome outcome;
  out.block = SharedMemoryBlock::Create(SharedMemoryObjectName(localName),
                                        static_cast<std::size_t>(frameBytes) + 1, true, &outcome);
  if (existed) *existed = outcome.existed;
  if (!out.block.Valid()) {
    if (reason) *reason = outcome.reason;
    return false;
  }
  return true;
}

bool OpenOutputBlock(OutputBlock& out, std::string_view localName) {
  out.block = SharedMemoryBlock::Open(SharedMemoryObjectName(localName), false, nullptr);
  return out.block.Valid();
}

void ReleaseOutputBlock(OutputBlock& block) { block.block.Release(); }

void PublishPicture(OutputBlock& block, const uint8_t* picture, uint32_t bytes, uint8_t counter) {
  if (!block.Valid()) return;
  const std::size_t room = block.PictureCapacity();
  std::memcpy(block.block.Data() + 1, picture, bytes < room ? bytes : room);
  // Readers in other processes must not see the counter before the picture.
  __atomic_store_n(block.block.Data(), counter, __ATOMIC_RELEASE);
}

}  // namespace corvalind

#include "platform/output_block.h"

#include <cstring>

#include "platform/guarded_memory.h"

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

bool PublishPicture(OutputBlock& block, const uint8_t* picture, uint32_t bytes, uint8_t counter) {
  if (!block.Valid() || !block.block.StillWhole()) return false;
  const std::size_t room = block.PictureCapacity();
  // The block may still be cut back between the check and the copy.
  if (!GuardedCopy(block.block.Data() + 1, picture, bytes < room ? bytes : room)) return false;
  // Readers in other processes must not see the counter before the picture.
  return GuardedStoreRelease(block.block.Data(), counter);
}

}  // namespace corvalind

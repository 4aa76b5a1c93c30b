#include "studio/shared_output_target.h"

#include <chrono>

namespace corvalind {

SharedOutputTarget::SharedOutputTarget(std::string localName, uint32_t frameBytes, SideOutput sideOutput)
    : localName_(std::move(localName)), frameBytes_(frameBytes), sideOutput_(std::move(sideOutput)) {}

bool SharedOutputTarget::Setup(std::string* reason) {
  return CreateOutputBlock(block_, localName_, frameBytes_, &reused_, reason);
}

void SharedOutputTarget::Publish(const uint8_t* picture, uint32_t bytes, uint8_t counter) {
  if (sideOutput_) sideOutput_(picture, bytes);
  if (PublishPicture(block_, picture, bytes, counter)) return;
  // Another process cut the block back (or no block could be made): the
  // name goes to a fresh block of the right size, as for a block of
  // another size; the cut one stays with whoever holds it. At most once a
  // second, so a system that refuses blocks is not asked at every frame.
  const auto now = std::chrono::steady_clock::now();
  if (block_.Valid() && block_.block.StillWhole()) return;
  if (lastRemake_ != std::chrono::steady_clock::time_point{} && now - lastRemake_ < std::chrono::seconds(1)) return;
  lastRemake_ = now;
  ReleaseOutputBlock(block_);
  if (CreateOutputBlock(block_, localName_, frameBytes_, nullptr, nullptr)) {
    PublishPicture(block_, picture, bytes, counter);
  }
}

void SharedOutputTarget::Release() { ReleaseOutputBlock(block_); }

}  // namespace corvalind

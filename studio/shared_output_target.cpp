#include "studio/shared_output_target.h"

namespace corvalind {

SharedOutputTarget::SharedOutputTarget(std::string localName, uint32_t frameBytes)
    : localName_(std::move(localName)), frameBytes_(frameBytes) {}

bool SharedOutputTarget::Setup(std::string* reason) {
  return CreateOutputBlock(block_, localName_, frameBytes_, &reused_, reason);
}

void SharedOutputTarget::Publish(const uint8_t* picture, uint32_t bytes, uint8_t counter) {
  PublishPicture(block_, picture, bytes, counter);
}

void SharedOutputTarget::Release() { ReleaseOutputBlock(block_); }

}  // namespace corvalind

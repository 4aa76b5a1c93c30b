// The program output loop's target in the studio: the shared output buffer
// that the virtual camera reads.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "engine/program_output_loop.h"
#include "platform/output_block.h"

namespace corvalind {

class SharedOutputTarget : public ProgramOutputTarget {
 public:
  // localName: kOutputBufferName, or a private name for a second studio.
  // Receives every published picture as well (the PipeWire camera, the
  // V4L2 bridge); called on the output loop's thread, must return quickly.
  using SideOutput = std::function<void(const uint8_t* picture, uint32_t bytes)>;

  SharedOutputTarget(std::string localName, uint32_t frameBytes, SideOutput sideOutput = nullptr);
  bool Setup(std::string* reason) override;
  void Publish(const uint8_t* picture, uint32_t bytes, uint8_t counter) override;
  void Release() override;

  // Whether the block was alive before (a camera kept it); after Setup.
  bool Reused() const { return reused_; }

 private:
  std::string localName_;
  uint32_t frameBytes_;
  SideOutput sideOutput_;
  OutputBlock block_;
  bool reused_ = false;
  std::chrono::steady_clock::time_point lastRemake_;
};

}  // namespace corvalind

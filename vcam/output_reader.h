// The camera's side of the output buffer.
//
// Opens the studio's block when the camera is made and, while there is
// none, tries again every `fps` samples (about once a second). Once open it
// lets go only when the block was cut back by another process (then it
// serves black and opens the name again later), so a camera keeps showing
// the last picture after the studio exits. Copies turn the block's bottom-up rows
// top-down (GStreamer's order) and mirror each row when asked. Used on the
// streaming thread under the element's lock.
#pragma once

#include <cstdint>
#include <string>

#include "platform/output_block.h"

namespace corvalind {

class OutputReader {
 public:
  explicit OutputReader(std::string localName);

  // One attempt to open; returns the copy limit (0 while closed).
  uint32_t Open();
  void Close();

  // Fills `picture` (width x height x 3 bytes, top row first) from the
  // block, taking at most `limit` bytes of the block's picture: rows the
  // limit does not fully cover are left as they were. While closed it
  // counts the attempt instead (retrying every `fps` calls), leaves the
  // picture untouched and returns false.
  bool Fill(uint8_t* picture, uint32_t limit, int width, int height, bool mirror, int fps);

  bool IsOpen() const { return block_.Valid(); }
  uint32_t CopyLimit() const { return copyLimit_; }
  int Attempts() const { return attempts_; }

 private:
  std::string localName_;
  OutputBlock block_;
  uint32_t copyLimit_ = 0;
  int attempts_ = 0;
};

// Copies one bottom-up frame into a top-down picture, whole rows only, at
// most `limit` bytes of the source; mirrored rows reverse their pixels.
// Shared by the reader and its tests and benchmarks.
void CopyTurned(const uint8_t* bottomUp, uint32_t limit, uint8_t* topDown, int width, int height,
                bool mirror);

}  // namespace corvalind

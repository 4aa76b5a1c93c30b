// The output buffer: the shared block through which the program picture
// leaves the studio.
//
// Layout: one counter byte, then the picture (width x height x 3 bytes,
// blue-green-red, bottom row first). No header and no lock: writer and
// readers agree on the size through the settings file. The writer copies
// the picture first and stores the counter after it, so a reader that sees
// the counter change knows a whole picture was written before.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/shared_memory.h"

namespace corvalind {

// The block's name; a second studio uses "CorvalindOutputBuffer_<pid>".
inline constexpr const char* kOutputBufferName = "CorvalindOutputBuffer";

struct OutputBlock {
  SharedMemoryBlock block;
  bool Valid() const { return block.Valid(); }
  // Bytes of picture the block holds after its counter byte.
  std::size_t PictureCapacity() const { return block.Size() > 0 ? block.Size() - 1 : 0; }
};

// Writer side. Creates the block for a picture of frameBytes bytes (zero
// filled), or joins the live one with its content. A live block of another
// size (a camera still holds the block of a run with another picture size)
// is not written into: its name goes to a fresh block of the right size and
// the camera keeps its old one, showing the last picture it had. Returns
// false with a reason for the status bar when no view could be made.
bool CreateOutputBlock(OutputBlock& out, std::string_view localName, uint32_t frameBytes,
                       bool* existed, std::string* reason);

// Reader side: joins the live block read-only. False when there is none.
bool OpenOutputBlock(OutputBlock& out, std::string_view localName);

// Lets go of the block (the last holder removes its name).
void ReleaseOutputBlock(OutputBlock& block);

// Writes one picture and then the counter. Never writes past the block:
// a picture larger than the block is cut to what fits. False when there is
// no block or another process cut it back (then nothing, or part of the
// picture, was written, and nothing faulted): the writer then makes a
// fresh block under the name.
bool PublishPicture(OutputBlock& block, const uint8_t* picture, uint32_t bytes, uint8_t counter);

}  // namespace corvalind

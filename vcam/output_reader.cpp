#include "vcam/output_reader.h"

#include <cstring>
#include <limits>

#include "platform/guarded_memory.h"

namespace corvalind {

void CopyTurned(const uint8_t* bottomUp, uint32_t limit, uint8_t* topDown, int width, int height,
                bool mirror) {
  if (width <= 0 || height <= 0) return;
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
  const std::size_t rows = std::min<std::size_t>(static_cast<std::size_t>(height), limit / rowBytes);
  // Source row r (from the bottom) is destination row height - 1 - r.
  for (std::size_t r = 0; r < rows; ++r) {
    const uint8_t* src = bottomUp + r * rowBytes;
    uint8_t* dst = topDown + (static_cast<std::size_t>(height) - 1 - r) * rowBytes;
    if (!mirror) {
      std::memcpy(dst, src, rowBytes);
      continue;
    }
    const uint8_t* from = src + rowBytes - 3;
    for (int x = 0; x < width; ++x, dst += 3, from -= 3) {
      dst[0] = from[0];
      dst[1] = from[1];
      dst[2] = from[2];
    }
  }
}

OutputReader::OutputReader(std::string localName) : localName_(std::move(localName)) {}

uint32_t OutputReader::Open() {
  if (!OpenOutputBlock(block_, localName_)) return copyLimit_ = 0;
  const std::size_t capacity = block_.PictureCapacity();
  copyLimit_ = capacity > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                               : static_cast<uint32_t>(capacity);
  return copyLimit_;
}

void OutputReader::Close() {
  ReleaseOutputBlock(block_);
  copyLimit_ = 0;
}

bool OutputReader::Fill(uint8_t* picture, uint32_t limit, int width, int height, bool mirror, int fps) {
  if (!block_.Valid()) {
    if (++attempts_ >= fps) {
      attempts_ = 0;
      Open();
    }
    return false;
  }
  if (limit > copyLimit_) limit = copyLimit_;
  // A block another process cut back is as good as gone: the camera shows
  // black and opens the name again later, where the studio puts a fresh
  // block. The check and the guarded copy together never let the host
  // program meet the SIGBUS of a page that went away.
  struct Job {
    const uint8_t* from;
    uint32_t limit;
    uint8_t* to;
    int width, height;
    bool mirror;
  } job{block_.block.Data() + 1, limit, picture, width, height, mirror};
  const bool copied = copyLimit_ > 0 && block_.block.StillWhole() &&
                      RunGuarded(
                          [](void* context) {
                            const Job* j = static_cast<const Job*>(context);
                            CopyTurned(j->from, j->limit, j->to, j->width, j->height, j->mirror);
                          },
                          &job);
  if (!copied) {
    Close();
    attempts_ = 0;
    return false;
  }
  return true;
}

}  // namespace corvalind

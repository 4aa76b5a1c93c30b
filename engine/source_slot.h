// The ten source slots: the only channel between live sources and the
// compositor.
//
// Each source runs on its own worker thread and hands every finished picture
// to `DeliverFrame` with its slot number. The compositor, on the program
// output thread, takes the newest picture of each slot the scene on air
// shows. A slot never queues: a new delivery replaces the previous picture
// in place, so a fast source costs copies and a slow compositor makes a
// source wait at most one scaling pass (the compositor holds the slot's lock
// while it scales from the slot's buffer).
//
// `serial`, `width` and `height` are atomics so that the compositor can test
// for news and size its zones without the lock. No code holds two slot locks
// at once.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace corvalind {

inline constexpr int SourceSlotCount = 10;
// The ring has one entry: the buffer is overwritten in place. The positions
// are kept so the bookkeeping would stay the same for a longer ring.
inline constexpr int SlotRingLength = 1;
// Buffer size each slot starts with; the first delivery grows it.
inline constexpr uint32_t kInitialSlotCapacity = 10;

// The delivery entry every source stores and calls its frames in through.
using FrameDeliveryFunc = void (*)(bool skip, uint8_t slot, const uint8_t* pixels, uint32_t length,
                                   int32_t width, int32_t height);

struct SourceSlot {
  // Guarded by `lock`.
  std::unique_ptr<uint8_t[]> pixels;
  uint32_t capacity = 0;
  int32_t writeIndex = 0;
  int32_t readIndex = 1;  // so that the first read counts as new

  // Written under `lock`, also read without it.
  std::atomic<int32_t> width{0};
  std::atomic<int32_t> height{0};
  std::atomic<uint32_t> serial{0};

  std::mutex lock;

  // Returns the buffer to read, advancing the read position. The caller
  // holds `lock` and keeps holding it while it reads from the buffer.
  uint8_t* TakeFrame();
};

class SourceSlotTable {
 public:
  // Gives every slot its initial buffer. A slot whose buffer cannot be
  // allocated reports "Out of memory!" and stays unusable (capacity 0).
  SourceSlotTable();
  SourceSlotTable(const SourceSlotTable&) = delete;
  SourceSlotTable& operator=(const SourceSlotTable&) = delete;

  // See the free function `DeliverFrame`. Any thread.
  void DeliverFrame(bool skip, uint8_t slot, const uint8_t* pixels, uint32_t length, int32_t width,
                    int32_t height);
  // Clears the slot's whole buffer to black and advances its serial; the
  // size stays. Slots outside 0..9 are ignored. Any thread.
  void ReleaseSlot(int slot);

  // nullptr for numbers outside 0..9: callers never index the table with an
  // unchecked number.
  SourceSlot* Slot(int index);
  int Count() const { return SourceSlotCount; }

 private:
  std::array<SourceSlot, SourceSlotCount> slots_;
};

// The program-wide table, built on first use (before the main window).
SourceSlotTable& GlobalSourceSlots();

// Hands a picture to slot `slot` of the program-wide table: nothing happens
// when skip is set, the slot number is 10 or more, or the slot has no
// buffer. Otherwise the pixels are copied in (the buffer grows to `length`
// when needed) and the serial advances; then, when width and height are both
// positive, they become the slot's size (the buffer grows, cleared, when the
// size needs more room). A call with no size still writes the pixels.
void DeliverFrame(bool skip, uint8_t slot, const uint8_t* pixels, uint32_t length, int32_t width,
                  int32_t height);

// Clears a slot of the program-wide table (see SourceSlotTable::ReleaseSlot).
void ReleaseSlot(int slot);

}  // namespace corvalind

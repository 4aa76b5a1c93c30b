#include "engine/source_slot.h"

#include <cstring>
#include <new>

#include "engine/messages.h"

namespace corvalind {

namespace {

// The largest picture a slot accepts a size for. Far above any real source
// (16384 x 16384), it keeps width * height * 3 inside 32 bits.
constexpr uint64_t kMaxSlotFrameBytes = 16384ull * 16384ull * 3ull;

// Replaces the slot's buffer with a zeroed one of `bytes` bytes. Returns
// false (slot unchanged) when the memory cannot be had.
bool ReplaceBuffer(SourceSlot& slot, uint32_t bytes) {
  std::unique_ptr<uint8_t[]> fresh(new (std::nothrow) uint8_t[bytes]());
  if (!fresh) return false;
  slot.pixels = std::move(fresh);
  slot.capacity = bytes;
  return true;
}

}  // namespace

uint8_t* SourceSlot::TakeFrame() {
  if (readIndex != writeIndex) {
    int next = readIndex + 1;
    if (next >= SlotRingLength) next = 0;
    readIndex = next;
  }
  // With a ring of one the entry is always the whole buffer.
  return pixels.get();
}

SourceSlotTable::SourceSlotTable() {
  for (SourceSlot& slot : slots_) {
    if (!ReplaceBuffer(slot, kInitialSlotCapacity)) {
      ShowMessageBox("Out of memory!", "Error");
    }
  }
}

SourceSlot* SourceSlotTable::Slot(int index) {
  if (index < 0 || index >= SourceSlotCount) return nullptr;
  return &slots_[static_cast<std::size_t>(index)];
}

void SourceSlotTable::DeliverFrame(bool skip, uint8_t slotNumber, const uint8_t* pixels,
                                   uint32_t length, int32_t width, int32_t height) {
  if (skip) return;
  SourceSlot* slot = Slot(slotNumber);
  if (!slot) return;
  if (length > 0 && !pixels) return;

  {
    std::lock_guard<std::mutex> guard(slot->lock);
    if (slot->capacity == 0) return;  // no buffer: the slot is unusable
    if (length > slot->capacity && !ReplaceBuffer(*slot, length)) return;
    int next = slot->writeIndex + 1;
    if (next >= SlotRingLength) next = 0;
    if (next != slot->readIndex) slot->writeIndex = next;
    const uint32_t bytes = length < slot->capacity ? length : slot->capacity;
    if (bytes > 0) std::memcpy(slot->pixels.get(), pixels, bytes);
    slot->serial.fetch_add(1, std::memory_order_release);
  }

  if (width > 0 && height > 0) {
    const uint64_t needed = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3u;
    if (needed > kMaxSlotFrameBytes) return;
    std::lock_guard<std::mutex> guard(slot->lock);
    // A larger size discards this frame's pixels: the new buffer starts black.
    if (needed > slot->capacity && !ReplaceBuffer(*slot, static_cast<uint32_t>(needed))) return;
    slot->width.store(width, std::memory_order_relaxed);
    slot->height.store(height, std::memory_order_relaxed);
  }
}

void SourceSlotTable::ReleaseSlot(int index) {
  SourceSlot* slot = Slot(index);
  if (!slot) return;
  std::lock_guard<std::mutex> guard(slot->lock);
  if (slot->capacity > 0) std::memset(slot->pixels.get(), 0, slot->capacity);
  slot->serial.fetch_add(1, std::memory_order_release);
}

SourceSlotTable& GlobalSourceSlots() {
  static SourceSlotTable table;
  return table;
}

void DeliverFrame(bool skip, uint8_t slot, const uint8_t* pixels, uint32_t length, int32_t width,
                  int32_t height) {
  GlobalSourceSlots().DeliverFrame(skip, slot, pixels, length, width, height);
}

void ReleaseSlot(int slot) { GlobalSourceSlots().ReleaseSlot(slot); }

}  // namespace corvalind

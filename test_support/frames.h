// Frame and zone builders shared by the tests: reading a slot back, pixels
// of bottom-up frames addressed from the top, and a full-picture zone.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/output_format.h"
#include "engine/source_slot.h"
#include "engine/video_zone.h"

namespace corvalind::testing {

// A copy of what a slot holds.
struct SlotPicture {
  int width = 0;
  int height = 0;
  uint32_t serial = 0;
  std::vector<uint8_t> pixels;
};

inline SlotPicture ReadSlot(SourceSlotTable& table, int index) {
  SourceSlot* slot = table.Slot(index);
  std::lock_guard<std::mutex> guard(slot->lock);
  SlotPicture picture;
  picture.width = slot->width;
  picture.height = slot->height;
  picture.serial = slot->serial;
  const uint8_t* pixels = slot->TakeFrame();
  picture.pixels.assign(pixels, pixels + static_cast<std::size_t>(picture.width) * picture.height * 3);
  return picture;
}

// The pixel at top-down (x, y) of a bottom-up BGR frame.
inline const uint8_t* FramePixel(const std::vector<uint8_t>& frame, int width, int height, int x, int y) {
  return frame.data() + (static_cast<std::size_t>(height - 1 - y) * width + x) * 3;
}

// A zone that stretches slot `source` over the whole program picture.
inline VideoZone FullZone(int source) {
  VideoZone zone;
  zone.placement = VIDPOS_FULLSCREEN_NAR;
  zone.sourceId = source;
  zone.widthFrac = zone.heightFrac = 100.0f;
  zone.keepAspect = false;
  return zone;
}

// A fixture whose sources deliver into a slot table of the test's own
// (DeliverToTestSlots) at a small program size of 64 x 48 at 60 fps.
class TestSlotsFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    table_ = std::make_unique<SourceSlotTable>();
    Current() = table_.get();
    format_.SetSize(64, 48);
    format_.SetFrameRate(60);
  }
  void TearDown() override { Current() = nullptr; }

  static void DeliverToTestSlots(bool skip, uint8_t slot, const uint8_t* pixels, uint32_t length,
                                 int32_t width, int32_t height) {
    Current()->DeliverFrame(skip, slot, pixels, length, width, height);
  }

  std::unique_ptr<SourceSlotTable> table_;
  OutputFormat format_;

 private:
  static SourceSlotTable*& Current() {
    static SourceSlotTable* table = nullptr;
    return table;
  }
};

}  // namespace corvalind::testing

// Source slots: delivery, sizes, the ring positions, release, the drop
// rules, and the preview hand-over.
#include "engine/source_slot.h"

#include <gtest/gtest.h>

#include <vector>

#include "engine/messages.h"
#include "engine/preview.h"

namespace corvalind {
namespace {

std::vector<uint8_t> Bytes(std::size_t n, uint8_t value) { return std::vector<uint8_t>(n, value); }

TEST(SourceSlotTest, StartsWithSmallBufferAndNoPicture) {
  SourceSlotTable table;
  for (int i = 0; i < SourceSlotCount; ++i) {
    SourceSlot* slot = table.Slot(i);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->capacity, kInitialSlotCapacity);
    EXPECT_EQ(slot->writeIndex, 0);
    EXPECT_EQ(slot->readIndex, 1);
    EXPECT_EQ(slot->width.load(), 0);
    EXPECT_EQ(slot->serial.load(), 0u);
  }
  EXPECT_EQ(table.Slot(-1), nullptr);
  EXPECT_EQ(table.Slot(10), nullptr);
}

TEST(SourceSlotTest, FirstReadTakesEntryZeroAndLaterReadsToo) {
  SourceSlotTable table;
  SourceSlot& slot = *table.Slot(3);
  std::lock_guard<std::mutex> guard(slot.lock);
  EXPECT_EQ(slot.TakeFrame(), slot.pixels.get());
  EXPECT_EQ(slot.readIndex, 0);
  EXPECT_EQ(slot.TakeFrame(), slot.pixels.get());
  EXPECT_EQ(slot.readIndex, 0);
}

TEST(SourceSlotTest, DeliveryGrowsButNeverShrinks) {
  SourceSlotTable table;
  const auto big = Bytes(640 * 480 * 3, 7);
  table.DeliverFrame(false, 2, big.data(), static_cast<uint32_t>(big.size()), 640, 480);
  SourceSlot& slot = *table.Slot(2);
  EXPECT_EQ(slot.capacity, 921600u);
  EXPECT_EQ(slot.serial.load(), 1u);
  EXPECT_EQ(slot.pixels[921599], 7);

  const auto small = Bytes(320 * 240 * 3, 9);
  table.DeliverFrame(false, 2, small.data(), static_cast<uint32_t>(small.size()), 320, 240);
  EXPECT_EQ(slot.capacity, 921600u);
  EXPECT_EQ(slot.width.load(), 320);
  EXPECT_EQ(slot.height.load(), 240);
  EXPECT_EQ(slot.pixels[230399], 9);
  EXPECT_EQ(slot.pixels[230400], 7);  // beyond the picture: left as it was
  EXPECT_EQ(slot.serial.load(), 2u);
}

TEST(SourceSlotTest, ShortDeliveryWithLargerSizeClearsTheNewBuffer) {
  SourceSlotTable table;
  const auto shortFrame = Bytes(100, 0xEE);
  table.DeliverFrame(false, 0, shortFrame.data(), 100, 64, 64);
  SourceSlot& slot = *table.Slot(0);
  EXPECT_EQ(slot.capacity, 64u * 64u * 3u);
  EXPECT_EQ(slot.width.load(), 64);
  for (uint32_t i = 0; i < slot.capacity; ++i) ASSERT_EQ(slot.pixels[i], 0) << i;
}

TEST(SourceSlotTest, DroppedDeliveriesChangeNothing) {
  SourceSlotTable table;
  const auto frame = Bytes(12, 5);
  struct Case {
    bool skip;
    uint8_t slot;
  } cases[] = {{true, 1}, {false, 10}, {false, 255}};
  for (const Case& c : cases) table.DeliverFrame(c.skip, c.slot, frame.data(), 12, 2, 2);
  for (int i = 0; i < SourceSlotCount; ++i) EXPECT_EQ(table.Slot(i)->serial.load(), 0u);

  // A slot without buffer drops deliveries.
  SourceSlot& broken = *table.Slot(4);
  broken.pixels.reset();
  broken.capacity = 0;
  table.DeliverFrame(false, 4, frame.data(), 12, 2, 2);
  EXPECT_EQ(broken.capacity, 0u);
  EXPECT_EQ(broken.serial.load(), 0u);
  EXPECT_EQ(broken.width.load(), 0);
}

TEST(SourceSlotTest, DeliveryWithoutSizeStillWritesPixels) {
  SourceSlotTable table;
  const auto frame = Bytes(6, 42);
  table.DeliverFrame(false, 5, frame.data(), 6, 0, -3);
  SourceSlot& slot = *table.Slot(5);
  EXPECT_EQ(slot.serial.load(), 1u);
  EXPECT_EQ(slot.pixels[5], 42);
  EXPECT_EQ(slot.width.load(), 0);
}

TEST(SourceSlotTest, ReleaseClearsKeepsSizeAndAdvancesSerial) {
  SourceSlotTable table;
  const auto frame = Bytes(4 * 4 * 3, 200);
  table.DeliverFrame(false, 9, frame.data(), 48, 4, 4);
  table.ReleaseSlot(9);
  SourceSlot& slot = *table.Slot(9);
  EXPECT_EQ(slot.serial.load(), 2u);
  EXPECT_EQ(slot.width.load(), 4);
  for (uint32_t i = 0; i < slot.capacity; ++i) ASSERT_EQ(slot.pixels[i], 0);
  table.ReleaseSlot(10);  // ignored
  table.ReleaseSlot(-1);
}

TEST(SourceSlotTest, GlobalDeliveryEntryFillsTheProgramWideTable) {
  const FrameDeliveryFunc deliver = &DeliverFrame;
  const auto frame = Bytes(2 * 2 * 3, 1);
  const uint32_t before = GlobalSourceSlots().Slot(7)->serial.load();
  deliver(false, 7, frame.data(), 12, 2, 2);
  EXPECT_EQ(GlobalSourceSlots().Slot(7)->serial.load(), before + 1);
  ReleaseSlot(7);
  EXPECT_EQ(GlobalSourceSlots().Slot(7)->serial.load(), before + 2);
}

class RecordingPreview : public PreviewTarget {
 public:
  void PresentFrame(const uint8_t* pixels, int width, int height, int previewWidth,
                    int previewHeight) override {
    frame.assign(pixels, pixels + width * height * 3);
    size = {width, height, previewWidth, previewHeight};
    ++calls;
  }
  std::vector<uint8_t> frame;
  std::vector<int> size;
  int calls = 0;
};

TEST(PreviewTest, HandsACopyToTheTargetAndIgnoresNothingToShow) {
  RecordingPreview preview;
  const auto frame = Bytes(3 * 2 * 3, 77);
  DrawFramePreview(frame.data(), 3, 2, &preview, 200, 150);
  EXPECT_EQ(preview.calls, 1);
  EXPECT_EQ(preview.frame, frame);
  EXPECT_EQ(preview.size, (std::vector<int>{3, 2, 200, 150}));
  DrawFramePreview(frame.data(), 0, 2, &preview, 200, 150);
  DrawFramePreview(frame.data(), 3, 2, nullptr, 200, 150);
  EXPECT_EQ(preview.calls, 1);
}

}  // namespace
}  // namespace corvalind

// A small engine set-up for composition tests: its own slot table, image
// layers and output format, and helpers to deliver solid pictures and
// compose.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engine/image_ops.h"
#include "engine/key_settings.h"
#include "engine/tests/test_frames.h"
#include "engine/video_engine.h"

namespace corvalind::testing {

// A layer that paints the whole frame one colour and counts its calls.
class SolidLayer : public CompositionLayer {
 public:
  SolidLayer(uint8_t b, uint8_t g, uint8_t r) : color{b, g, r} {}
  void Refresh() override { ++refreshes; }
  void Draw(uint8_t* frame, int width, int height) override {
    ++draws;
    for (int i = 0; i < width * height; ++i) {
      frame[i * 3] = color.b;
      frame[i * 3 + 1] = color.g;
      frame[i * 3 + 2] = color.r;
    }
  }
  Bgr color;
  int refreshes = 0;
  int draws = 0;
};

// A zone that stretches (MakeZone keeps the aspect ratio).
inline VideoZone Zone(int placement, int sourceId, float w, float h, float x = 0, float y = 0) {
  VideoZone zone = MakeZone(placement, sourceId, w, h, x, y);
  zone.keepAspect = false;
  return zone;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override { Build(640, 480); }
  void TearDown() override {
    SetPixelKernels(PixelKernels::Auto);
    ResetKeySettings();
  }

  void Build(int width, int height) {
    format = OutputFormat{};
    format.SetSize(width, height);
    engine = VideoEngine::Create(slots, format, layers);
    ASSERT_NE(engine, nullptr);
    out.assign(format.frameBytes + 1, 0);
  }

  void DeliverSolid(int slot, int w, int h, Bgr c) {
    const auto frame = SolidFrame(w, h, c.b, c.g, c.r);
    slots.DeliverFrame(false, static_cast<uint8_t>(slot), frame.data(),
                       static_cast<uint32_t>(frame.size()), w, h);
  }
  void Deliver(int slot, int w, int h, const std::vector<uint8_t>& frame) {
    slots.DeliverFrame(false, static_cast<uint8_t>(slot), frame.data(),
                       static_cast<uint32_t>(frame.size()), w, h);
  }

  bool Compose() { return engine->ComposeProgramFrame(out.data(), format.frameBytes); }
  Bgr At(int x, int row) const { return PixelAt(out.data(), format.outputWidth, x, row); }

  SourceSlotTable slots;
  ImageLayerHooks layers;
  OutputFormat format;
  std::unique_ptr<VideoEngine> engine;
  std::vector<uint8_t> out;
};

}  // namespace corvalind::testing

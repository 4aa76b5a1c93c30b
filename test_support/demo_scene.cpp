#include "test_support/demo_scene.h"

#include <cmath>

namespace corvalind {

namespace {

void Put(std::vector<uint8_t>& frame, int width, int x, int row, uint8_t r, uint8_t g, uint8_t b) {
  uint8_t* p = frame.data() + (static_cast<std::size_t>(row) * width + x) * 3;
  p[0] = b;
  p[1] = g;
  p[2] = r;
}


}  // namespace

std::vector<uint8_t> MakeDemoPicture(int kind, int width, int height, int phase) {
  std::vector<uint8_t> frame(static_cast<std::size_t>(width) * height * 3);
  // Rows are bottom-up: `top` counts from the top for drawing.
  for (int row = 0; row < height; ++row) {
    const int top = height - 1 - row;
    for (int x = 0; x < width; ++x) {
      switch (kind) {
        case 0: {  // colour bars with a moving luminance ramp below
          static const uint8_t bars[7][3] = {{192, 192, 192}, {192, 192, 0}, {0, 192, 192},
                                             {0, 192, 0},     {192, 0, 192}, {192, 0, 0},
                                             {0, 0, 192}};
          if (top < height * 3 / 4) {
            const uint8_t* c = bars[x * 7 / width];
            Put(frame, width, x, row, c[0], c[1], c[2]);
          } else {
            const auto v = static_cast<uint8_t>((x * 255 / width + phase * 4) & 0xFF);
            Put(frame, width, x, row, v, v, v);
          }
          break;
        }
        case 1: {  // an orange disc on a pure green screen
          const double cx = width * (0.5 + 0.25 * std::sin(phase * 0.05));
          const double dx = x - cx, dy = top - height * 0.55;
          const double radius = height * 0.3;
          if (dx * dx + dy * dy < radius * radius) {
            Put(frame, width, x, row, 250, static_cast<uint8_t>(120 + dy * 0.3), 30);
          } else {
            Put(frame, width, x, row, 0, 255, 0);
          }
          break;
        }
        case 2: {  // checkerboard
          const bool light = (((x + phase) / 20) + (top / 20)) % 2 == 0;
          Put(frame, width, x, row, light ? 230 : 30, light ? 230 : 60, light ? 240 : 120);
          break;
        }
        default: {  // diagonal ramp
          Put(frame, width, x, row, static_cast<uint8_t>(x * 255 / width),
              static_cast<uint8_t>(top * 255 / height), static_cast<uint8_t>((x + top + phase) & 0xFF));
          break;
        }
      }
    }
  }
  return frame;
}

void DeliverDemoFrames(SourceSlotTable& slots, int phase) {
  for (int slot = 0; slot < 4; ++slot) {
    const DemoSource& s = kDemoSources[slot];
    const auto frame = MakeDemoPicture(s.kind, s.width, s.height, phase);
    slots.DeliverFrame(false, static_cast<uint8_t>(slot), frame.data(),
                       static_cast<uint32_t>(frame.size()), s.width, s.height);
  }
}

void StoreDemoScenes(VideoEngine& engine) {
  VideoZone bars = MakeZone(VIDPOS_FULLSCREEN, 0, 100, 100, 0, 0);
  VideoZone presenter = MakeZone(VIDPOS_FULLSCREEN_NAR, 1, 100, 100, 0, 0);
  presenter.chroma = true;
  VideoZone corner = MakeZone(VIDPOS_TOP_RIGHT, 2, 30, 30, 0, 0);
  corner.alpha = 64;
  VideoZone inset = MakeZone(VIDPOS_FREE, 3, 28, 28, 4, 6);
  inset.keepAspect = false;
  engine.StoreScene({bars, presenter, corner, inset}, "Studio", -1);

  VideoZone left = MakeZone(VIDPOS_FREE, 2, 50, 100, 0, 0);
  left.keepAspect = false;
  VideoZone right = MakeZone(VIDPOS_FREE, 3, 50, 100, 50, 0);
  right.keepAspect = false;
  VideoZone centre = MakeZone(VIDPOS_CENTER, 0, 40, 40, 0, 0);
  engine.StoreScene({left, right, centre}, "Split screen", -1);
}

}  // namespace corvalind

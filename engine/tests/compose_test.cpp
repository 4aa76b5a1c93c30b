// Composition: the change test, the layer order, every placement against
// the same drawing done with the plain routines, keep-aspect fitting, keys,
// and zones that name no slot.
#include <gtest/gtest.h>

#include "engine/image_ops_reference.h"
#include "engine/tests/engine_fixture.h"

namespace corvalind {
namespace {

using testing::Bgr;
using testing::EngineTest;
using testing::RandomBytes;
using testing::SolidLayer;
using testing::Zone;

TEST_F(EngineTest, NothingIsComposedUntilASourceOfTheSceneDelivers) {
  EXPECT_FALSE(Compose());  // no scenes at all
  ASSERT_TRUE(engine->StoreScene({Zone(VIDPOS_FULLSCREEN_NAR, 1, 100, 100)}, "one", -1));
  EXPECT_TRUE(Compose());   // the scene on air changed
  EXPECT_FALSE(Compose());  // its slot has the serial already seen
  DeliverSolid(2, 4, 4, {1, 2, 3});
  EXPECT_FALSE(Compose());  // another slot
  DeliverSolid(1, 4, 4, {10, 20, 30});
  EXPECT_TRUE(Compose());
  EXPECT_EQ(At(0, 0), (Bgr{10, 20, 30}));
  EXPECT_FALSE(Compose());
  slots.ReleaseSlot(1);
  EXPECT_TRUE(Compose());
  EXPECT_EQ(At(320, 240), (Bgr{0, 0, 0}));
}

TEST_F(EngineTest, EmptySceneComposesOnlyOnRequestWithLayersOnBlack) {
  SolidLayer background(5, 6, 7);
  layers.backgroundLayer = &background;
  EXPECT_FALSE(Compose());
  EXPECT_EQ(background.draws, 0);
  layers.recomposeRequested = true;
  EXPECT_TRUE(Compose());
  EXPECT_FALSE(layers.recomposeRequested.load());
  EXPECT_EQ(background.refreshes, 1);
  EXPECT_EQ(At(100, 100), (Bgr{5, 6, 7}));
  layers.backgroundLayer = nullptr;
}

TEST_F(EngineTest, LayersSitUnderAndOverTheZones) {
  SolidLayer background(1, 1, 1), overlay(9, 9, 9);
  layers.backgroundLayer = &background;
  ASSERT_TRUE(engine->StoreScene({Zone(VIDPOS_BOTTOM_LEFT, 0, 50, 50)}, "s", -1));
  DeliverSolid(0, 8, 8, {100, 100, 100});
  ASSERT_TRUE(Compose());
  EXPECT_EQ(At(10, 10), (Bgr{100, 100, 100}));
  EXPECT_EQ(At(600, 400), (Bgr{1, 1, 1}));
  layers.overlayLayer = &overlay;
  layers.recomposeRequested = true;
  ASSERT_TRUE(Compose());
  EXPECT_EQ(At(10, 10), (Bgr{9, 9, 9}));
  layers.backgroundLayer = layers.overlayLayer = nullptr;
}

TEST_F(EngineTest, OpaqueFullScreenZoneCoversEverythingBeforeIt) {
  SolidLayer background(1, 1, 1);
  layers.backgroundLayer = &background;
  VideoZone full = Zone(VIDPOS_FULLSCREEN, 3, 100, 100);
  full.keepAspect = true;
  ASSERT_TRUE(engine->StoreScene({Zone(VIDPOS_CENTER, 2, 50, 50), full}, "s", -1));
  DeliverSolid(2, 8, 8, {50, 50, 50});
  DeliverSolid(3, 320, 120, {200, 0, 0});  // wider: bars above and below
  ASSERT_TRUE(Compose());
  EXPECT_EQ(At(320, 240), (Bgr{200, 0, 0}));
  EXPECT_EQ(At(320, 0), (Bgr{0, 0, 0}));  // a bar is black, not the background
  layers.backgroundLayer = nullptr;
}

TEST_F(EngineTest, KeepAspectFullScreenKeyedBarsLetTheBackgroundThrough) {
  // 640 x 480 source on a 1280 x 720 program: fitted 960 x 720 at column 160.
  Build(1280, 720);
  SolidLayer background(7, 7, 7);
  layers.backgroundLayer = &background;
  for (bool chroma : {false, true}) {
    VideoZone zone = Zone(VIDPOS_FULLSCREEN, 0, 100, 100);
    zone.keepAspect = true;
    zone.chroma = chroma;
    engine->ReplaceScenes({Scene{"s", {zone}}});
    DeliverSolid(0, 640, 480, {30, 40, 50});
    ASSERT_TRUE(Compose());
    const Bgr bar = chroma ? Bgr{7, 7, 7} : Bgr{0, 0, 0};
    EXPECT_EQ(At(159, 300), bar);
    EXPECT_EQ(At(1120, 300), bar);
    // Keyed pictures have a half-blended edge at each run's end.
    EXPECT_EQ(At(161, 300), (Bgr{30, 40, 50}));
    EXPECT_EQ(At(1118, 300), (Bgr{30, 40, 50}));
  }
  layers.backgroundLayer = nullptr;
}

// Each placed zone drawn by the engine equals the same zone drawn by hand
// with the plain routines at the position its placement defines.
TEST_F(EngineTest, PlacementsLandWhereTheirArithmeticSays) {
  const int W = 640, H = 480;
  const auto picture = RandomBytes(200 * 100 * 3, 3);
  struct Case {
    int placement;
    float w, h, x, y;
    uint8_t alpha;
  } cases[] = {
      {VIDPOS_CENTER, 30, 40, 0, 0, 0},       {VIDPOS_TOP_LEFT, 25, 25, 50, 50, 0},
      {VIDPOS_TOP_RIGHT, 25, 25, 0, 0, 128},  {VIDPOS_BOTTOM_LEFT, 33.3f, 10, 0, 0, 0},
      {VIDPOS_BOTTOM_RIGHT, 50, 50, 0, 0, 40}, {VIDPOS_FREE, 30, 20.8333f, 12.5f, 0, 0},
      {VIDPOS_FREE, 50, 50, 80, 90, 0},        {VIDPOS_FREE, 40, 40, -10, -5, 0},
      {VIDPOS_CENTER, 150, 150, 0, 0, 0},
  };
  for (const Case& c : cases) {
    VideoZone zone = Zone(c.placement, 4, c.w, c.h, c.x, c.y);
    zone.alpha = c.alpha;
    engine->ReplaceScenes({Scene{"s", {zone}}});
    zone.DerivePixels(W, H);
    Deliver(4, 200, 100, picture);
    ASSERT_TRUE(Compose());

    std::vector<uint8_t> expected(W * H * 3, 0);
    const int w = zone.widthPx, h = zone.heightPx;
    std::vector<uint8_t> scaled(static_cast<std::size_t>(w) * h * 3);
    reference::ScaleNearest(picture.data(), 200, 100, scaled.data(), w, h, 3);
    int x = 0, y = 0;
    switch (c.placement) {
      case VIDPOS_TOP_LEFT: y = H - h; break;
      case VIDPOS_TOP_RIGHT: x = W - w; y = H - h; break;
      case VIDPOS_BOTTOM_RIGHT: x = W - w; break;
      case VIDPOS_FREE: x = zone.posXPx; y = H - zone.posYPx - h; break;
      default: break;
    }
    if (c.placement == VIDPOS_CENTER) {
      reference::BlendCentred(scaled.data(), w, h, expected.data(), W, H, 3, c.alpha, nullptr);
    } else {
      reference::BlendRect(scaled.data(), w, h, expected.data(), W, H, 3, x, y, c.alpha, nullptr);
    }
    std::vector<uint8_t> got(out.begin(), out.begin() + W * H * 3);
    ASSERT_EQ(got, expected) << "placement " << c.placement << " at " << c.x << "," << c.y;
  }
}

TEST_F(EngineTest, FreeZoneAtTopIsDrawnInTheHighestRows) {
  // posYPx 0 and h = 100 on a 480-row picture: bottom-up rows 380 .. 479.
  VideoZone zone = Zone(VIDPOS_FREE, 0, 25, 100.0f * 100 / 480, 0, 0);
  engine->ReplaceScenes({Scene{"s", {zone}}});
  DeliverSolid(0, 16, 16, {90, 90, 90});
  ASSERT_TRUE(Compose());
  EXPECT_EQ(At(10, 379), (Bgr{0, 0, 0}));
  EXPECT_EQ(At(10, 380), (Bgr{90, 90, 90}));
  EXPECT_EQ(At(10, 479), (Bgr{90, 90, 90}));
}

TEST_F(EngineTest, KeepAspectZoneIsFittedAndCentredInItsBox) {
  // A 320 x 240 zone and a 640 x 360 source: ratio 0.5, fitted 320 x 180,
  // yTop = posYPx + 30. A 640 x 120 box with a 4:3 source is limited by its
  // height instead: 160 x 120 centred horizontally.
  struct Case {
    float w, h, x, y;
    int srcW, srcH;
    int firstCol, lastCol, topRow, bottomRow;  // bottom-up rows of the drawn picture
  } cases[] = {
      {50, 50, 0, 0, 640, 360, 0, 319, 479 - 30, 479 - 30 - 179},
      {100, 25, 0, 10, 40, 30, 240, 399, 479 - 48, 479 - 48 - 119},
  };
  for (const Case& c : cases) {
    VideoZone zone = Zone(VIDPOS_FREE, 6, c.w, c.h, c.x, c.y);
    zone.keepAspect = true;
    engine->ReplaceScenes({Scene{"s", {zone}}});
    DeliverSolid(6, c.srcW, c.srcH, {1, 200, 3});
    ASSERT_TRUE(Compose());
    const Bgr on{1, 200, 3}, off{0, 0, 0};
    EXPECT_EQ(At(c.firstCol, c.topRow), on);
    EXPECT_EQ(At(c.lastCol, c.bottomRow), on);
    EXPECT_EQ(At(c.lastCol + 1, c.bottomRow), off);
    EXPECT_EQ(At(c.firstCol, c.topRow + 1), off);
    EXPECT_EQ(At(c.firstCol, c.bottomRow - 1), off);
    if (c.firstCol > 0) {
      EXPECT_EQ(At(c.firstCol - 1, c.topRow), off);
    }
  }
}

TEST_F(EngineTest, CornerPlacementsIgnoreTheZonePosition) {
  VideoZone zone = Zone(VIDPOS_TOP_LEFT, 0, 25, 25, 50, 50);  // 160 x 120
  engine->ReplaceScenes({Scene{"s", {zone}}});
  DeliverSolid(0, 4, 4, {50, 60, 70});
  ASSERT_TRUE(Compose());
  EXPECT_EQ(At(0, 479), (Bgr{50, 60, 70}));
  EXPECT_EQ(At(159, 360), (Bgr{50, 60, 70}));
  EXPECT_EQ(At(160, 479), (Bgr{0, 0, 0}));
  EXPECT_EQ(At(0, 359), (Bgr{0, 0, 0}));
}

TEST_F(EngineTest, KeyedPlacedZoneShowsWhatLiesBeneathThroughTheKey) {
  SolidLayer background(9, 8, 7);
  layers.backgroundLayer = &background;
  VideoZone zone = Zone(VIDPOS_BOTTOM_LEFT, 0, 10, 10);  // 64 x 48
  zone.chroma = true;
  engine->ReplaceScenes({Scene{"s", {zone}}});
  // Left half green (key), right half red.
  std::vector<uint8_t> picture;
  for (int row = 0; row < 48; ++row) {
    for (int x = 0; x < 64; ++x) {
      if (x < 32) picture.insert(picture.end(), {0, 255, 0});
      else picture.insert(picture.end(), {0, 0, 250});
    }
  }
  Deliver(0, 64, 48, picture);
  ASSERT_TRUE(Compose());
  EXPECT_EQ(At(5, 5), (Bgr{9, 8, 7}));
  EXPECT_EQ(At(32, 5), (Bgr{4, 4, 128}));  // edge: (beneath + picture) >> 1
  EXPECT_EQ(At(40, 5), (Bgr{0, 0, 250}));
  layers.backgroundLayer = nullptr;
}

TEST_F(EngineTest, ZonesOnOneSlotShareTheSerialAndBadSlotsAreSkipped) {
  VideoZone bad = Zone(VIDPOS_FULLSCREEN_NAR, 10, 100, 100);
  VideoZone negative = Zone(VIDPOS_FULLSCREEN_NAR, -1, 100, 100);
  VideoZone badPlacement = Zone(99, 0, 100, 100);
  ASSERT_TRUE(engine->StoreScene({Zone(VIDPOS_CENTER, 0, 10, 10), bad, negative, badPlacement,
                                  Zone(VIDPOS_TOP_LEFT, 0, 10, 10)},
                                 "s", -1));
  DeliverSolid(0, 4, 4, {1, 1, 1});
  DeliverSolid(0, 4, 4, {1, 1, 1});
  ASSERT_TRUE(Compose());
  EXPECT_EQ(engine->ZoneLastSerial(0, 0), 2u);
  EXPECT_EQ(engine->ZoneLastSerial(0, 4), 2u);
  EXPECT_FALSE(Compose());
}

TEST_F(EngineTest, EditingTheSceneOnAirRecomposesEvenWithStillSources) {
  ASSERT_TRUE(engine->StoreScene({Zone(VIDPOS_BOTTOM_LEFT, 0, 10, 10)}, "s", -1));
  ASSERT_TRUE(engine->StoreScene({Zone(VIDPOS_BOTTOM_LEFT, 0, 10, 10)}, "other", -1));
  DeliverSolid(0, 4, 4, {60, 60, 60});
  ASSERT_TRUE(Compose());
  EXPECT_FALSE(Compose());
  ASSERT_TRUE(engine->StoreScene({Zone(VIDPOS_BOTTOM_RIGHT, 0, 10, 10)}, "other", 1));
  EXPECT_FALSE(Compose());  // scene 1 is not on air
  ASSERT_TRUE(engine->StoreScene({Zone(VIDPOS_BOTTOM_RIGHT, 0, 10, 10)}, "s", 0));
  ASSERT_TRUE(Compose());
  EXPECT_EQ(At(639, 0), (Bgr{60, 60, 60}));
  EXPECT_EQ(At(0, 0), (Bgr{0, 0, 0}));
}

TEST_F(EngineTest, OutBufferTooSmallIsRefused) {
  ASSERT_TRUE(engine->StoreScene({Zone(VIDPOS_FULLSCREEN, 0, 100, 100)}, "s", -1));
  DeliverSolid(0, 4, 4, {1, 1, 1});
  EXPECT_FALSE(engine->ComposeProgramFrame(out.data(), format.frameBytes - 1));
  EXPECT_FALSE(engine->ComposeProgramFrame(nullptr, format.frameBytes));
  EXPECT_TRUE(Compose());
}

TEST_F(EngineTest, SceneListOperations) {
  VideoZone half = Zone(VIDPOS_CENTER, 1, 50, 12.345f, 10, 20);
  ASSERT_TRUE(engine->StoreScene({half}, "first", -1));
  std::vector<VideoZone> zones;
  std::string name;
  ASSERT_TRUE(engine->GetScene(0, zones, name));
  EXPECT_EQ(name, "first");
  ASSERT_EQ(zones.size(), 1u);
  EXPECT_EQ(zones[0].widthPx, 320);
  EXPECT_EQ(zones[0].heightPx, 59);  // trunc(480 * 12.345 / 100)
  EXPECT_EQ(zones[0].posXPx, 64);
  EXPECT_EQ(zones[0].posYPx, 96);
  EXPECT_TRUE(engine->GetScene(19, zones, name));
  EXPECT_TRUE(zones.empty());
  EXPECT_FALSE(engine->GetScene(20, zones, name));
  EXPECT_FALSE(engine->StoreScene({half}, "x", 1));  // replace past the end

  for (int i = 1; i < MaxScenes; ++i) {
    std::string sceneName = "s";
    sceneName += std::to_string(i);
    ASSERT_TRUE(engine->StoreScene({half}, sceneName, -1));
  }
  EXPECT_FALSE(engine->StoreScene({half}, "full", -1));
  EXPECT_TRUE(engine->StoreScene({half}, "last", 19));

  ASSERT_TRUE(engine->DeleteScene(0));
  EXPECT_EQ(engine->SceneCount(), 19);
  ASSERT_TRUE(engine->GetScene(0, zones, name));
  EXPECT_EQ(name, "s1");
  ASSERT_TRUE(engine->GetScene(19, zones, name));
  EXPECT_TRUE(zones.empty());
  EXPECT_FALSE(engine->DeleteScene(19));
  EXPECT_FALSE(engine->DeleteScene(-1));

  const std::string longName(120, 'n');
  ASSERT_TRUE(engine->StoreScene({half}, longName, 0));
  ASSERT_TRUE(engine->GetScene(0, zones, name));
  EXPECT_EQ(name.size(), 99u);
}

}  // namespace
}  // namespace corvalind

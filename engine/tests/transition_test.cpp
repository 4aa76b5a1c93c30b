// Scene switching and the eleven transitions, frame by frame, with two
// solid-colour scenes so that every pixel says which scene it shows.
#include <gtest/gtest.h>

#include "engine/tests/engine_fixture.h"

namespace corvalind {
namespace {

using testing::Bgr;
using testing::EngineTest;
using testing::Zone;

constexpr Bgr kOld{40, 80, 120};   // scene 0, slot 0
constexpr Bgr kNew{200, 160, 20};  // scene 1, slot 1
constexpr Bgr kBlack{0, 0, 0};

class TransitionTest : public EngineTest {
 protected:
  void SetUp() override { Prepare(640, 480); }

  void Prepare(int width, int height) {
    Build(width, height);
    ASSERT_TRUE(engine->StoreScene({Zone(VIDPOS_FULLSCREEN_NAR, 0, 100, 100)}, "old", -1));
    ASSERT_TRUE(engine->StoreScene({Zone(VIDPOS_FULLSCREEN_NAR, 1, 100, 100)}, "new", -1));
    DeliverSolid(0, 8, 8, kOld);
    DeliverSolid(1, 8, 8, kNew);
    ASSERT_TRUE(Compose());
    ASSERT_EQ(At(0, 0), kOld);
  }

  static uint8_t Mix(uint8_t a, uint8_t b, int weightOfB) {
    return static_cast<uint8_t>(((255 - weightOfB) * a + weightOfB * b) >> 8);
  }
  static Bgr Mix(Bgr a, Bgr b, int weightOfB) {
    return {Mix(a.b, b.b, weightOfB), Mix(a.g, b.g, weightOfB), Mix(a.r, b.r, weightOfB)};
  }
  int W() const { return format.outputWidth; }
  int H() const { return format.outputHeight; }
};

TEST_F(TransitionTest, SwitchRules) {
  EXPECT_FALSE(engine->SwitchScene(20, kTransitionBlend));
  EXPECT_FALSE(engine->SwitchScene(-1, kTransitionBlend));
  EXPECT_EQ(engine->CurrentScene(), 0);
  ASSERT_TRUE(engine->SwitchScene(1, kTransitionMoveLeft));
  ASSERT_TRUE(Compose());
  const TransitionState running = engine->Transition();
  // Switching to the scene on air changes nothing, the transition goes on.
  EXPECT_TRUE(engine->SwitchScene(1, kTransitionBlend));
  EXPECT_EQ(engine->Transition().activeTransition, kTransitionMoveLeft);
  EXPECT_EQ(engine->Transition().transitionProgress, running.transitionProgress);
  // Types without an effect cut, whatever their number.
  for (int type : {0, 11, 1000, -5}) {
    ASSERT_TRUE(engine->SwitchScene(engine->CurrentScene() == 0 ? 1 : 0, type));
    EXPECT_EQ(engine->Transition().activeTransition, 0) << type;
  }
}

TEST_F(TransitionTest, CutShowsTheNewSceneAtTheNextPoll) {
  ASSERT_TRUE(engine->SwitchScene(1, kTransitionCut));
  ASSERT_TRUE(Compose());  // no source delivered, the switch alone recomposes
  EXPECT_EQ(At(10, 10), kNew);
  EXPECT_FALSE(Compose());
  // A cut to a scene without zones composes nothing: the last picture stays.
  ASSERT_TRUE(engine->SwitchScene(5, kTransitionCut));
  EXPECT_FALSE(Compose());
}

TEST_F(TransitionTest, BlendTakes37FramesWithWeightsOf7) {
  ASSERT_TRUE(engine->SwitchScene(1, kTransitionBlend));
  for (int frame = 1; frame <= 37; ++frame) {
    ASSERT_TRUE(Compose());
    const int p = std::min(255, 7 * frame);
    ASSERT_EQ(At(100, 100), Mix(kOld, kNew, p)) << "frame " << frame;
  }
  ASSERT_TRUE(Compose());  // the 38th tick ends it and shows the new scene
  EXPECT_EQ(At(100, 100), kNew);
  EXPECT_EQ(engine->Transition().activeTransition, 0);
  EXPECT_FALSE(Compose());
}

TEST_F(TransitionTest, FadeThroughBlackAndWhite) {
  for (int type : {kTransitionFadeBlack, kTransitionFadeWhite}) {
    Prepare(640, 480);
    const uint8_t fill = type == kTransitionFadeBlack ? 0 : 255;
    const Bgr through{fill, fill, fill};
    ASSERT_TRUE(engine->SwitchScene(1, type));
    for (int frame = 1; frame <= 37; ++frame) {
      ASSERT_TRUE(Compose());
      const int p = std::min(255, 7 * frame);
      const Bgr expected = p < 128 ? Mix(kOld, through, (2 * p) % 256)
                                   : Mix(through, kNew, (2 * (p - 128)) % 256);
      ASSERT_EQ(At(5, 5), expected) << "type " << type << " frame " << frame;
    }
    ASSERT_TRUE(Compose());
    EXPECT_EQ(At(5, 5), kNew);
  }
}

TEST_F(TransitionTest, MoveLeftSlidesThePreviousPictureOut) {
  // Step 20: x = -20 .. -620 over 31 frames, the 32nd reaches -640 and draws
  // nothing, the 33rd tick ends.
  ASSERT_TRUE(engine->SwitchScene(1, kTransitionMoveLeft));
  for (int frame = 1; frame <= 31; ++frame) {
    ASSERT_TRUE(Compose());
    const int edge = W() - 20 * frame;  // first column of the new scene
    ASSERT_EQ(At(edge - 1, 200), kOld) << frame;
    ASSERT_EQ(At(edge, 200), kNew) << frame;
  }
  ASSERT_TRUE(Compose());
  EXPECT_EQ(At(0, 0), kNew);
  EXPECT_NE(engine->Transition().activeTransition, 0);
  ASSERT_TRUE(Compose());
  EXPECT_EQ(engine->Transition().activeTransition, 0);
}

TEST_F(TransitionTest, MoveRightLeavesAStripWhenTheWidthIsNotAMultipleOf32) {
  // 428 x 240: step 13; the 32nd frame still shows the old scene from
  // column 416, then the transition ends and the strip goes.
  Prepare(428, 240);
  ASSERT_TRUE(engine->SwitchScene(1, kTransitionMoveRight));
  for (int frame = 1; frame <= 32; ++frame) {
    ASSERT_TRUE(Compose());
    ASSERT_EQ(At(13 * frame - 1, 100), kNew) << frame;
    ASSERT_EQ(At(13 * frame, 100), kOld) << frame;
  }
  EXPECT_EQ(At(427, 100), kOld);
  ASSERT_TRUE(Compose());
  EXPECT_EQ(At(427, 100), kNew);
}

TEST_F(TransitionTest, VerticalMovesAndSplit) {
  struct Case {
    int type;
    // For frame k (progress 15k): is bottom-up row `row` still the old scene?
    bool (*old)(int row, int progress, int height);
  } cases[] = {
      {kTransitionMoveTop, [](int row, int p, int) { return row < 480 - p; }},
      {kTransitionMoveBottom, [](int row, int p, int) { return row >= p; }},
      {kTransitionSplit, [](int row, int p, int h) { return row < h - p; }},
  };
  for (const Case& c : cases) {
    Prepare(640, 480);
    ASSERT_TRUE(engine->SwitchScene(1, c.type));
    for (int frame = 1; frame <= 31; ++frame) {
      ASSERT_TRUE(Compose());
      const int p = 15 * frame;
      for (int row : {0, p - 1, p, 479 - p, 480 - p, 479}) {
        const bool old = c.old(row, p, 480);
        ASSERT_EQ(At(320, row), old ? kOld : kNew) << "type " << c.type << " frame " << frame << " row " << row;
      }
    }
  }
}

TEST_F(TransitionTest, BreakOpensAGapOf14RowsPerFrame) {
  // splitRow 239, step 15: each half moves 7 rows per frame. The upper half
  // (rows 239 .. 477 of the old picture) is drawn from row 239 + p, the
  // lower half (rows 0 .. 238) from row -p; rows 478 and 479 of the old
  // picture are never drawn.
  ASSERT_TRUE(engine->SwitchScene(1, kTransitionBreak));
  for (int frame = 1; frame <= 32; ++frame) {
    ASSERT_TRUE(Compose());
    const int p = 7 * frame;
    EXPECT_EQ(At(1, 238 - p), kOld) << frame;
    EXPECT_EQ(At(1, 239 - p), kNew) << frame;  // the gap: 14k rows
    EXPECT_EQ(At(1, 238 + p), kNew) << frame;
    EXPECT_EQ(At(1, 239 + p), kOld) << frame;
    EXPECT_EQ(At(1, 479), kOld) << frame;
  }
  ASSERT_TRUE(Compose());
  EXPECT_EQ(engine->Transition().activeTransition, 0);
  EXPECT_EQ(At(1, 0), kNew);
}

TEST_F(TransitionTest, LinesThinOutUntilOnlyRowZeroIsLeft) {
  // Step 15, progress 480 -> 465 -> ... ; spacing 480 / progress.
  ASSERT_TRUE(engine->SwitchScene(1, kTransitionLines));
  for (int frame = 1; frame <= 32; ++frame) {
    ASSERT_TRUE(Compose());
    const int progress = std::max(1, 480 - 15 * frame);
    const float spacing = 480.0f / static_cast<float>(progress);
    std::vector<bool> oldRows(480, false);
    float pos = 0.0f;
    do {
      oldRows[static_cast<int>(pos)] = true;
      pos += spacing;
    } while (pos < 479.0f);
    for (int row = 0; row < 480; ++row) {
      ASSERT_EQ(At(7, row), oldRows[row] ? kOld : kNew) << "frame " << frame << " row " << row;
    }
  }
  ASSERT_TRUE(Compose());
  EXPECT_EQ(engine->Transition().activeTransition, 0);
  EXPECT_EQ(At(7, 0), kNew);
}

TEST_F(TransitionTest, TinyPicturesStillEnd) {
  // Below 32 rows the step would be 0; every counted and line transition
  // must still end.
  for (int type = 1; type < kTransitionTypeCount; ++type) {
    Prepare(16, 8);
    ASSERT_TRUE(engine->SwitchScene(1, type));
    int ticks = 0;
    while (engine->Transition().activeTransition != 0 && ticks < 100) {
      ASSERT_TRUE(Compose());
      ++ticks;
    }
    EXPECT_LT(ticks, 100) << "type " << type;
  }
}

TEST_F(TransitionTest, SwitchDuringATransitionRestartsFromTheSceneOnAir) {
  ASSERT_TRUE(engine->SwitchScene(1, kTransitionBlend));
  ASSERT_TRUE(Compose());
  ASSERT_TRUE(engine->SwitchScene(0, kTransitionMoveLeft));
  const TransitionState state = engine->Transition();
  EXPECT_EQ(state.previousScene, 1);
  EXPECT_EQ(state.currentScene, 0);
  EXPECT_EQ(state.transitionStepsLeft, 32);
  EXPECT_EQ(state.transitionStep, 20);
  ASSERT_TRUE(Compose());
  EXPECT_EQ(At(0, 0), kNew);    // the scene being left is now scene 1
  EXPECT_EQ(At(639, 0), kOld);
}

}  // namespace
}  // namespace corvalind

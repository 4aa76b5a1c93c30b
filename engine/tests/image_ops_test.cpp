// The pixel routines against their plain oracles (every kernel, with and
// without the worker pool) and against the worked values of their
// arithmetic.
#include "engine/image_ops.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/image_ops_reference.h"
#include "engine/key_settings.h"
#include "engine/tests/test_frames.h"
#include "engine/worker_pool.h"

namespace corvalind {
namespace {

using testing::Bgr;
using testing::GuardedFrame;
using testing::PixelAt;
using testing::RandomBytes;
using testing::SolidFrame;

std::vector<PixelKernels> KernelsToTest() {
  std::vector<PixelKernels> kernels{PixelKernels::Portable};
  if (CpuHasAvx2()) kernels.push_back(PixelKernels::Avx2);
  return kernels;
}

const char* KernelName(PixelKernels k) { return k == PixelKernels::Avx2 ? "avx2" : "portable"; }

class ImageOpsTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetKeySettings(); }
  void TearDown() override {
    SetPixelKernels(PixelKernels::Auto);
    ResetKeySettings();
  }
};

struct ScaleCase {
  int srcW, srcH, dstW, dstH;
};

// Awkward sizes: single pixels, single rows and columns, odd widths, up and
// down, equal sizes, and enlargements of tiny sources far enough that the
// "+ 1" in the nearest-neighbour step would pass the last column.
const ScaleCase kScaleCases[] = {
    {1, 1, 1, 1},     {1, 1, 7, 5},       {1, 1, 300, 2},     {2, 2, 600, 3},
    {16, 16, 1920, 4}, {1, 37, 13, 1},    {37, 1, 1, 13},     {161, 159, 97, 203},
    {97, 203, 161, 159}, {33, 17, 33, 17}, {640, 480, 320, 240}, {640, 480, 1920, 1080},
    {1280, 720, 1920, 1080}, {1920, 1080, 480, 270}, {1920, 1080, 1280, 720}, {3, 2, 1000, 3},
    {428, 240, 429, 241}, {5, 3, 4, 1},
};

TEST_F(ImageOpsTest, ScalersMatchOracleOnEveryKernelAndPool) {
  WorkerPool threePool(3);
  for (const ScaleCase& c : kScaleCases) {
    const auto src = RandomBytes(static_cast<std::size_t>(c.srcW) * c.srcH * 3, c.srcW * 31 + c.dstH);
    for (int bilinear = 0; bilinear < 2; ++bilinear) {
      GuardedFrame expected(c.dstW, c.dstH);
      if (bilinear) {
        reference::ScaleBilinear(src.data(), c.srcW, c.srcH, expected.data(), c.dstW, c.dstH, 3);
      } else {
        reference::ScaleNearest(src.data(), c.srcW, c.srcH, expected.data(), c.dstW, c.dstH, 3);
      }
      for (PixelKernels kernels : KernelsToTest()) {
        SetPixelKernels(kernels);
        for (WorkerPool* pool : {static_cast<WorkerPool*>(nullptr), &DefaultWorkerPool(), &threePool}) {
          GuardedFrame got(c.dstW, c.dstH, 0x11);
          if (bilinear) {
            ScaleBilinear(src.data(), c.srcW, c.srcH, got.data(), c.dstW, c.dstH, 3, pool);
          } else {
            ScaleNearest(src.data(), c.srcW, c.srcH, got.data(), c.dstW, c.dstH, 3, pool);
          }
          SCOPED_TRACE(std::to_string(c.srcW) + "x" + std::to_string(c.srcH) + " to " +
                       std::to_string(c.dstW) + "x" + std::to_string(c.dstH) +
                       (bilinear ? " bilinear " : " nearest ") + KernelName(kernels));
          EXPECT_TRUE(got.GuardIntact());
          ASSERT_EQ(got.Frame(), expected.Frame());
        }
      }
    }
  }
}

TEST_F(ImageOpsTest, NearestHalvingTakesEveryOtherColumn) {
  // stepX = 131072, so column(x) = (x * 131073) >> 16 = 2x below 320.
  std::vector<uint8_t> src(640 * 3);
  for (int x = 0; x < 640; ++x) {
    src[x * 3] = static_cast<uint8_t>(x);
    src[x * 3 + 1] = static_cast<uint8_t>(x >> 8);
  }
  for (PixelKernels kernels : KernelsToTest()) {
    SetPixelKernels(kernels);
    std::vector<uint8_t> dst(320 * 3);
    ScaleNearest(src.data(), 640, 1, dst.data(), 320, 1, 3);
    for (int x = 0; x < 320; ++x) {
      ASSERT_EQ(dst[x * 3] | (dst[x * 3 + 1] << 8), 2 * x) << "column " << x;
    }
  }
}

TEST_F(ImageOpsTest, BilinearWeightsFollowTheFixedPointFormula) {
  // 2 x 1 to 4 x 1: ratio 0.5, fx = 0, 0.5, 1.0, 1.5; row weights wy0 = 256.
  // x = 1: w00 = w10 = 128 -> (10 * 128 + 50 * 128) >> 8 = 30.
  // x = 3: ix = 1 is the last pixel of the picture, so it stands in for its
  // right neighbour: (50 * 128 + 50 * 128) >> 8 = 50.
  const std::vector<uint8_t> src = {10, 10, 10, 50, 50, 50};
  std::vector<uint8_t> dst(4 * 3);
  reference::ScaleBilinear(src.data(), 2, 1, dst.data(), 4, 1, 3);
  EXPECT_EQ(dst[0], 10);
  EXPECT_EQ(dst[3], 30);
  EXPECT_EQ(dst[6], 50);
  EXPECT_EQ(dst[9], 50);
  for (PixelKernels kernels : KernelsToTest()) {
    SetPixelKernels(kernels);
    std::vector<uint8_t> fast(4 * 3);
    ScaleBilinear(src.data(), 2, 1, fast.data(), 4, 1, 3);
    EXPECT_EQ(fast, dst);
  }
}

TEST_F(ImageOpsTest, ScaleFrameKeepAspectCentresWithBars) {
  // 640 x 480 into 640 x 360: fitW = trunc(360 * 1.3333334) = 480, drawn at
  // columns 80 .. 559.
  const auto src = SolidFrame(640, 480, 200, 100, 50);
  for (bool fillWithKey : {false, true}) {
    chromaKeyColor = MakeColor(1, 2, 3);
    std::vector<uint8_t> dst(640 * 360 * 3, 7);
    ScaleFrame(src.data(), 640, 480, dst.data(), 640, 360, 3, true, fillWithKey);
    const Bgr bar = fillWithKey ? Bgr{3, 2, 1} : Bgr{0, 0, 0};
    for (int row : {0, 180, 359}) {
      EXPECT_EQ(PixelAt(dst.data(), 640, 79, row), bar);
      EXPECT_EQ(PixelAt(dst.data(), 640, 80, row), (Bgr{200, 100, 50}));
      EXPECT_EQ(PixelAt(dst.data(), 640, 559, row), (Bgr{200, 100, 50}));
      EXPECT_EQ(PixelAt(dst.data(), 640, 560, row), bar);
    }
  }
}

TEST_F(ImageOpsTest, ScaleFrameMatchesOracleInEveryMode) {
  const ScaleCase cases[] = {{640, 480, 640, 360}, {320, 240, 1280, 720}, {100, 300, 90, 90},
                             {90, 90, 90, 90},      {7, 3, 5, 9},          {1, 1, 3, 2}};
  for (const ScaleCase& c : cases) {
    const auto src = RandomBytes(static_cast<std::size_t>(c.srcW) * c.srcH * 3, c.dstW);
    for (int mode = 0; mode < 8; ++mode) {
      const bool keepAspect = mode & 1, fillWithKey = mode & 2, bilinear = mode & 4;
      bilinearScaling = bilinear;
      GuardedFrame expected(c.dstW, c.dstH, 9);
      reference::ScaleFrame(src.data(), c.srcW, c.srcH, expected.data(), c.dstW, c.dstH, 3,
                            keepAspect, fillWithKey);
      for (PixelKernels kernels : KernelsToTest()) {
        SetPixelKernels(kernels);
        GuardedFrame got(c.dstW, c.dstH, 9);
        ScaleFrame(src.data(), c.srcW, c.srcH, got.data(), c.dstW, c.dstH, 3, keepAspect, fillWithKey);
        SCOPED_TRACE(std::to_string(c.srcW) + "x" + std::to_string(c.srcH) + " mode " +
                     std::to_string(mode) + " " + KernelName(kernels));
        EXPECT_TRUE(got.GuardIntact());
        ASSERT_EQ(got.Frame(), expected.Frame());
      }
    }
  }
}

struct BlendCase {
  int srcW, srcH, dstW, dstH, x, y;
};

// Clipping on every side and beyond, inside, and sources larger than dst.
const BlendCase kBlendCases[] = {
    {20, 10, 64, 48, 5, 7},    {20, 10, 64, 48, -5, 7},   {20, 10, 64, 48, 50, 7},
    {20, 10, 64, 48, 5, -4},   {20, 10, 64, 48, 5, 43},   {20, 10, 64, 48, -19, -9},
    {20, 10, 64, 48, 63, 47},  {20, 10, 64, 48, -20, 0},  {20, 10, 64, 48, -21, 0},
    {20, 10, 64, 48, 64, 0},   {20, 10, 64, 48, 0, 48},   {20, 10, 64, 48, 0, -10},
    {64, 48, 64, 48, 10, 0},   {64, 48, 64, 48, -64, 0},  {100, 60, 64, 48, -3, -2},
    {100, 60, 64, 48, 2, 2},   {1, 1, 1, 1, 0, 0},        {37, 1, 41, 1, 2, 0},
    {1, 33, 3, 40, 1, 5},      {61, 17, 61, 17, -1, 1},
};

TEST_F(ImageOpsTest, BlendRectAndCentredMatchOracleInAllModes) {
  for (const BlendCase& c : kBlendCases) {
    const auto src = RandomBytes(static_cast<std::size_t>(c.srcW) * c.srcH * 3, c.srcW + c.x * 7);
    const auto under = RandomBytes(static_cast<std::size_t>(c.dstW) * c.dstH * 3, c.dstW + c.y);
    auto mask = RandomBytes(static_cast<std::size_t>(c.srcW) * c.srcH, 5);
    for (auto& m : mask) m = m < 85 ? 0 : m < 170 ? 128 : m < 250 ? 255 : 17;
    for (int mode = 0; mode < 4; ++mode) {
      const uint8_t alpha = mode == 0 ? 0 : mode == 1 ? 77 : 255;
      const uint8_t* maskPtr = mode == 3 ? mask.data() : nullptr;
      for (int centred = 0; centred < 2; ++centred) {
        GuardedFrame expected(c.dstW, c.dstH);
        std::memcpy(expected.data(), under.data(), under.size());
        if (centred) {
          reference::BlendCentred(src.data(), c.srcW, c.srcH, expected.data(), c.dstW, c.dstH, 3, alpha, maskPtr);
        } else {
          reference::BlendRect(src.data(), c.srcW, c.srcH, expected.data(), c.dstW, c.dstH, 3, c.x, c.y, alpha, maskPtr);
        }
        for (PixelKernels kernels : KernelsToTest()) {
          SetPixelKernels(kernels);
          GuardedFrame got(c.dstW, c.dstH);
          std::memcpy(got.data(), under.data(), under.size());
          if (centred) {
            BlendCentred(src.data(), c.srcW, c.srcH, got.data(), c.dstW, c.dstH, 3, alpha, maskPtr);
          } else {
            BlendRect(src.data(), c.srcW, c.srcH, got.data(), c.dstW, c.dstH, 3, c.x, c.y, alpha, maskPtr);
          }
          SCOPED_TRACE(std::to_string(c.srcW) + "x" + std::to_string(c.srcH) + " at " +
                       std::to_string(c.x) + "," + std::to_string(c.y) + " mode " +
                       std::to_string(mode) + (centred ? " centred " : " ") + KernelName(kernels));
          EXPECT_TRUE(got.GuardIntact());
          ASSERT_EQ(got.Frame(), expected.Frame());
        }
      }
    }
  }
}

TEST_F(ImageOpsTest, BlendRectWorkedValues) {
  const auto src = SolidFrame(64, 4, 100, 100, 100);
  // x = -dstW draws nothing.
  auto dst = SolidFrame(64, 4, 1, 1, 1);
  BlendRect(src.data(), 64, 4, dst.data(), 64, 4, 3, -64, 0, 0, nullptr);
  EXPECT_EQ(dst, SolidFrame(64, 4, 1, 1, 1));
  // x = 10 with a source as wide as dst draws dstW - 10 columns.
  BlendRect(src.data(), 64, 4, dst.data(), 64, 4, 3, 10, 0, 0, nullptr);
  EXPECT_EQ(PixelAt(dst.data(), 64, 9, 0), (Bgr{1, 1, 1}));
  EXPECT_EQ(PixelAt(dst.data(), 64, 10, 3), (Bgr{100, 100, 100}));
  EXPECT_EQ(PixelAt(dst.data(), 64, 63, 3), (Bgr{100, 100, 100}));
  // Alpha is the weight of what lies beneath: 255 keeps 200 * 255 >> 8 = 199;
  // 64 gives (200 * 64 + 100 * 191) >> 8 = 124.
  for (PixelKernels kernels : KernelsToTest()) {
    SetPixelKernels(kernels);
    auto under = SolidFrame(64, 4, 200, 200, 200);
    BlendRect(src.data(), 64, 4, under.data(), 64, 4, 3, 0, 0, 255, nullptr);
    EXPECT_EQ(PixelAt(under.data(), 64, 40, 2), (Bgr{199, 199, 199}));
    under = SolidFrame(64, 4, 200, 200, 200);
    BlendRect(src.data(), 64, 4, under.data(), 64, 4, 3, 0, 0, 64, nullptr);
    EXPECT_EQ(PixelAt(under.data(), 64, 40, 2), (Bgr{124, 124, 124}));
  }
}

TEST_F(ImageOpsTest, CrossFadeMatchesOracleAndFormula) {
  for (int width : {1, 7, 11, 64, 641}) {
    const auto other = RandomBytes(static_cast<std::size_t>(width) * 5 * 3, width);
    const auto start = RandomBytes(other.size(), width + 1);
    for (int weight : {0, 1, 7, 128, 254, 255}) {
      auto expected = start;
      reference::CrossFade(other.data(), expected.data(), width, 5, 3, static_cast<uint8_t>(weight));
      EXPECT_EQ(expected[0], ((255 - weight) * other[0] + weight * start[0]) >> 8);
      for (PixelKernels kernels : KernelsToTest()) {
        SetPixelKernels(kernels);
        auto got = start;
        CrossFade(other.data(), got.data(), width, 5, 3, static_cast<uint8_t>(weight));
        ASSERT_EQ(got, expected) << "width " << width << " weight " << weight << " " << KernelName(kernels);
      }
    }
  }
}

TEST_F(ImageOpsTest, KeyMaskOfGreenHalfAndRunEdges) {
  // Left half pure green, right half grey: t1 = t2 = trunc(255 * 0.3) = 76.
  const int w = 8, h = 2;
  std::vector<uint8_t> image;
  for (int row = 0; row < h; ++row) {
    for (int x = 0; x < w; ++x) {
      const bool green = x < 4;
      image.insert(image.end(), {static_cast<uint8_t>(green ? 0 : 128),
                                 static_cast<uint8_t>(green ? 255 : 128),
                                 static_cast<uint8_t>(green ? 0 : 128)});
    }
  }
  const std::vector<uint8_t> expected = {0, 0, 0, 0, 128, 255, 255, 255,
                                         0, 0, 0, 0, 128, 255, 255, 255};
  // A row starting opaque: first entry 128; an opaque pixel just before a
  // key pixel turns 128.
  std::vector<uint8_t> mixed = image;
  for (int row = 0; row < h; ++row) {
    auto rowStart = mixed.begin() + row * w * 3;
    std::swap_ranges(rowStart, rowStart + 12, rowStart + 12);
  }
  const std::vector<uint8_t> mixedExpected = {128, 255, 255, 128, 0, 0, 0, 0,
                                              128, 255, 255, 128, 0, 0, 0, 0};
  for (PixelKernels kernels : KernelsToTest()) {
    SetPixelKernels(kernels);
    std::vector<uint8_t> mask(w * h, 9);
    BuildKeyMask(image.data(), w, h, 3, mask.data());
    EXPECT_EQ(mask, expected) << KernelName(kernels);
    BuildKeyMask(mixed.data(), w, h, 3, mask.data());
    EXPECT_EQ(mask, mixedExpected) << KernelName(kernels);
  }
}

TEST_F(ImageOpsTest, KeyMaskMatchesOracleForEveryMode) {
  struct KeyCase {
    uint32_t color;
    float range;
  };
  const KeyCase keys[] = {{MakeColor(0, 255, 0), 0.3f},   {MakeColor(255, 10, 40), 0.5f},
                          {MakeColor(20, 30, 250), 0.1f}, {MakeColor(90, 90, 90), 0.3f},
                          {MakeColor(0, 200, 0), 40.0f},  {MakeColor(0, 200, 0), -3.0f},
                          {MakeColor(0, 200, 0), 1e30f}};
  for (const KeyCase& key : keys) {
    chromaKeyColor = key.color;
    chromaKeyRange = key.range;
    for (int width : {1, 15, 16, 17, 33, 640}) {
      const int height = 5;
      // Pixels near the key colour so that every outcome occurs.
      auto image = RandomBytes(static_cast<std::size_t>(width) * height * 3, width);
      for (std::size_t i = 0; i < image.size(); i += 3) {
        if (image[i] & 1) {
          image[i] = ColorBlue(key.color);
          image[i + 1] = ColorGreen(key.color);
          image[i + 2] = ColorRed(key.color);
        }
      }
      std::vector<uint8_t> expected(static_cast<std::size_t>(width) * height);
      reference::BuildKeyMask(image.data(), width, height, 3, expected.data());
      for (PixelKernels kernels : KernelsToTest()) {
        SetPixelKernels(kernels);
        std::vector<uint8_t> got(expected.size(), 3);
        BuildKeyMask(image.data(), width, height, 3, got.data());
        ASSERT_EQ(got, expected) << "width " << width << " range " << key.range << " " << KernelName(kernels);
      }
    }
  }
}

TEST_F(ImageOpsTest, AutoKeyTakesThePixelAfterTheFirstBrightOne) {
  // Middle row (row 1 of 3): dark pixels, then a bright one at column 14,
  // then the key candidate at column 15.
  const int w = 20, h = 3;
  auto image = SolidFrame(w, h, 5, 5, 5);
  auto set = [&](int x, int row, Bgr c) {
    uint8_t* p = image.data() + (row * w + x) * 3;
    p[0] = c.b;
    p[1] = c.g;
    p[2] = c.r;
  };
  set(14, 1, {200, 200, 200});
  set(15, 1, {0, 250, 0});
  set(3, 0, {0, 250, 0});  // a key-coloured pixel elsewhere
  chromaAutoKey = true;
  std::vector<uint8_t> mask(w * h);
  BuildKeyMask(image.data(), w, h, 3, mask.data());
  EXPECT_EQ(autoKeyColor.load(), MakeColor(200, 200, 200));
  EXPECT_EQ(mask[0 * w + 3], 0);   // green is the key
  EXPECT_EQ(mask[1 * w + 15], 0);
  EXPECT_EQ(mask[2 * w + 6], 255);

  // Ten columns or fewer: nothing to scan, the previous key stays.
  autoKeyColor = MakeColor(0, 250, 0);
  auto narrow = SolidFrame(10, 1, 0, 250, 0);
  std::vector<uint8_t> narrowMask(10, 9);
  BuildKeyMask(narrow.data(), 10, 1, 3, narrowMask.data());
  EXPECT_EQ(narrowMask, std::vector<uint8_t>(10, 0));
  EXPECT_EQ(autoKeyColor.load(), MakeColor(0, 250, 0));
}

TEST_F(ImageOpsTest, ZeroAndNegativeSizesDrawNothing) {
  std::vector<uint8_t> src(64 * 3, 50), dst(64 * 3, 9);
  const auto before = dst;
  for (PixelKernels kernels : KernelsToTest()) {
    SetPixelKernels(kernels);
    ScaleNearest(src.data(), 8, 8, dst.data(), 0, 8, 3);
    ScaleBilinear(src.data(), 8, 8, dst.data(), 8, 0, 3);
    ScaleNearest(src.data(), 0, 8, dst.data(), 8, 8, 3);
    BlendRect(src.data(), 0, 8, dst.data(), 8, 8, 3, 0, 0, 0, nullptr);
    BlendRect(src.data(), 8, 8, dst.data(), 8, 8, 3, 0, -8, 0, nullptr);
    BlendCentred(src.data(), 8, -1, dst.data(), 8, 8, 3, 0, nullptr);
    CrossFade(src.data(), dst.data(), 0, 8, 3, 100);
    ScaleFrame(src.data(), 0, 8, dst.data(), 8, 8, 3, true, false);  // srcW 0 leaves dst
  }
  EXPECT_EQ(dst, before);
}

}  // namespace
}  // namespace corvalind

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

// Every implementation of a routine: the oracle and each fast kernel set.
// Worked values are checked on all of them, so that the oracle is shown
// right on its own and not only equal to the fast paths.
struct Implementation {
  bool reference;
  PixelKernels kernels;
  std::string Name() const { return reference ? "reference" : KernelName(kernels); }
  void Select() const { SetPixelKernels(reference ? PixelKernels::Auto : kernels); }
};

std::vector<Implementation> AllImplementations() {
  std::vector<Implementation> all{{true, PixelKernels::Auto}};
  for (PixelKernels kernels : KernelsToTest()) all.push_back({false, kernels});
  return all;
}

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

TEST_F(ImageOpsTest, KeepAspectFitIsTruncatedAndCentred) {
  // The fitted rectangle worked out by hand: ratio = dstW / srcW as a float,
  // w = trunc(srcW * ratio), h = trunc(ratio * srcH); when h > dstH,
  // w = trunc(dstH * (w / h as a float)) and h = dstH; placed at
  // ((dstW - w) / 2, (dstH - h) / 2).
  struct FitCase {
    int srcW, srcH, dstW, dstH;
    int column0, row0, w, h;
    const char* what;
  };
  const FitCase cases[] = {
      {640, 480, 640, 360, 80, 0, 480, 360, "height-limited, bars left and right"},
      {4, 2, 6, 6, 0, 1, 6, 3, "width-limited, bars below and above"},
      {2, 4, 6, 6, 1, 0, 3, 6, "height-limited, r2 = 0.5"},
      {3, 1, 7, 7, 0, 2, 6, 2, "7 / 3 as a float times 3 is 6.9999998: w = 6, one bar column"},
      {3, 3, 7, 4, 1, 0, 4, 4, "h = 6 > 4, r2 = 6 / 6: a square"},
      {1, 1, 1, 1, 0, 0, 1, 1, "single pixel"},
      {5, 1, 3, 2, 0, 0, 0, 0, "h = trunc(0.6) = 0: only bars"},
      {7, 5, 3, 3, 0, 0, 3, 2, "reduction: w = 3, h = trunc(2.14) = 2"},
  };
  const Bgr picture{10, 20, 30};
  chromaKeyColor = MakeColor(1, 2, 3);
  for (const FitCase& c : cases) {
    const auto src = SolidFrame(c.srcW, c.srcH, picture.b, picture.g, picture.r);
    for (bool fillWithKey : {false, true}) {
      const Bgr bar = fillWithKey ? Bgr{3, 2, 1} : Bgr{0, 0, 0};
      for (const Implementation& impl : AllImplementations()) {
        impl.Select();
        GuardedFrame dst(c.dstW, c.dstH, 0x77);
        if (impl.reference) {
          reference::ScaleFrame(src.data(), c.srcW, c.srcH, dst.data(), c.dstW, c.dstH, 3, true, fillWithKey);
        } else {
          ScaleFrame(src.data(), c.srcW, c.srcH, dst.data(), c.dstW, c.dstH, 3, true, fillWithKey);
        }
        SCOPED_TRACE(std::string(c.what) + (fillWithKey ? " key bars " : " black bars ") + impl.Name());
        EXPECT_TRUE(dst.GuardIntact());
        for (int row = 0; row < c.dstH; ++row) {
          for (int x = 0; x < c.dstW; ++x) {
            const bool inside = x >= c.column0 && x < c.column0 + c.w && row >= c.row0 && row < c.row0 + c.h;
            ASSERT_EQ(PixelAt(dst.data(), c.dstW, x, row), inside ? picture : bar) << "column " << x << " row " << row;
          }
        }
      }
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

// Hand-drawn clipping fixtures. A source is a picture of labelled pixels,
// one letter per pixel, written top row first as it is seen (the frame
// stores the bottom row first); its mask gives each pixel's mask entry:
// '#' opaque (255), '+' edge (128), ' ' key (0), '?' and '!' other values
// (17 and 254, which leave dst). A case's expected picture, also top row first, shows
// which source pixel lands on each destination pixel, '.' where dst keeps
// what it had. The pictures were worked out by hand from the clipping steps:
// below (skip -y rows), right (dstW - x columns when srcW + x > dstW), left
// (drop -x columns from what the right clip left), top (at most dstH - y
// rows); centred drawing uses the first min(srcW, dstW) columns and
// min(srcH, dstH) rows at half the spare room.
struct LabelledSource {
  std::vector<std::string> rows;
  std::vector<std::string> mask;
  int Width() const { return rows.empty() ? 0 : static_cast<int>(rows[0].size()); }
  int Height() const { return static_cast<int>(rows.size()); }
};

const LabelledSource kSmall{{"ijkl", "efgh", "abcd"}, {"#+ ?", "+!# ", "? #!"}};
const LabelledSource kLarge{{"yzABCD", "stuvwx", "mnopqr", "ghijkl", "abcdef"},
                            {"#+ ?#!", " ?#+ !", "+ #!+#", "?#+ #+", "#!+# ?"}};
const LabelledSource kDot{{"a"}, {"#"}};
const LabelledSource kColumn{{"c", "b", "a"}, {"#", "+", "!"}};
const LabelledSource kPair{{"ab"}, {"+#"}};
const LabelledSource kEmpty{{}, {}};

// The bytes of a labelled pixel: different in each channel, so that a
// channel mix-up shows too; and the bytes of what dst held.
Bgr LabelBytes(char label) {
  const auto l = static_cast<uint8_t>(label);
  return {l, static_cast<uint8_t>(255 - l), static_cast<uint8_t>(l ^ 0x55)};
}
const Bgr kUnder{7, 240, 99};

uint8_t MaskValue(char entry) {
  switch (entry) {
    case '#': return 255;
    case '+': return 128;
    case ' ': return 0;
    case '!': return 254;
    default: return 17;
  }
}

struct ClipCase {
  const LabelledSource* source;
  bool centred;
  int dstW, dstH, x, y;
  std::vector<std::string> expected;
  const char* what;
};

const std::vector<std::string> kNothing54{".....", ".....", ".....", "....."};

const ClipCase kClipCases[] = {
    {&kSmall, false, 5, 4, 1, 0, {".....", ".ijkl", ".efgh", ".abcd"}, "inside, touching the right edge"},
    {&kSmall, false, 5, 4, 3, 1, {"...ij", "...ef", "...ab", "....."}, "past the right edge"},
    {&kSmall, false, 5, 4, -2, 0, {".....", "kl...", "gh...", "cd..."}, "past the left edge"},
    {&kSmall, false, 5, 4, 0, -2, {".....", ".....", ".....", "ijkl."}, "below the bottom edge"},
    {&kSmall, false, 5, 4, 1, 2, {".efgh", ".abcd", ".....", "....."}, "above the top edge"},
    {&kSmall, false, 5, 4, -3, -1, {".....", ".....", "l....", "h...."}, "past the left and bottom edges"},
    {&kSmall, false, 5, 4, 4, 3, {"....a", ".....", ".....", "....."}, "one pixel in the top-right corner"},
    {&kSmall, false, 5, 4, 5, 0, kNothing54, "x = dstW"},
    {&kSmall, false, 5, 4, -4, 0, kNothing54, "x = -srcW"},
    {&kSmall, false, 5, 4, -1000000, 0, kNothing54, "far left"},
    {&kSmall, false, 5, 4, 0, 4, kNothing54, "y = dstH"},
    {&kSmall, false, 5, 4, 0, -3, kNothing54, "y = -srcH"},
    {&kSmall, false, 5, 4, 1000000, -1000000, kNothing54, "far right and below"},
    {&kLarge, false, 5, 4, 0, 0, {"stuvw", "mnopq", "ghijk", "abcde"}, "source larger than dst"},
    // srcW + x = 5 is not past dstW, so only the left clip applies: it
    // takes one column off min(srcW, dstW) and the last dst column stays.
    {&kLarge, false, 5, 4, -1, 0, {"tuvw.", "nopq.", "hijk.", "bcde."}, "larger source, one column off the left"},
    {&kLarge, false, 5, 4, -2, -1, {"ABC..", "uvw..", "opq..", "ijk.."}, "larger source, off the left and bottom"},
    {&kLarge, false, 5, 4, 1, 1, {".mnop", ".ghij", ".abcd", "....."}, "larger source, off the right and top"},
    // Here srcW + x = 5 > 4: the right clip gives 5 columns, the left clip
    // takes one off, and the whole width is covered.
    {&kLarge, false, 4, 3, -1, -1, {"tuvw", "nopq", "hijk"}, "source two columns wider, off the left and bottom"},
    {&kLarge, false, 1, 1, 0, 0, {"a"}, "into a single pixel"},
    {&kLarge, false, 1, 1, -3, -2, {"p"}, "into a single pixel from inside the source"},
    {&kDot, false, 5, 4, 4, 3, {"....a", ".....", ".....", "....."}, "single-pixel source in the top-right corner"},
    {&kDot, false, 5, 4, -1, 0, kNothing54, "single-pixel source just off the left"},
    {&kColumn, false, 5, 4, 4, 2, {"....b", "....a", ".....", "....."}, "one-pixel-wide column cut by the top"},
    {&kEmpty, false, 5, 4, 0, 0, kNothing54, "empty source"},
    {&kSmall, true, 5, 4, 0, 0, {".....", "ijkl.", "efgh.", "abcd."}, "centred, spare room of one"},
    {&kSmall, true, 6, 5, 0, 0, {"......", ".ijkl.", ".efgh.", ".abcd.", "......"}, "centred, spare room of two"},
    {&kPair, true, 5, 4, 0, 0, {".....", ".....", ".ab..", "....."}, "centred, spare room of three"},
    {&kLarge, true, 5, 4, 0, 0, {"stuvw", "mnopq", "ghijk", "abcde"}, "centred, larger source not centred"},
    {&kLarge, true, 4, 6, 0, 0, {"....", "yzAB", "stuv", "mnop", "ghij", "abcd"}, "centred, wider but shorter source"},
    {&kColumn, true, 5, 4, 0, 0, {".....", "..c..", "..b..", "..a.."}, "centred column"},
    {&kEmpty, true, 5, 4, 0, 0, kNothing54, "centred empty source"},
};

TEST_F(ImageOpsTest, BlendClippingMatchesHandDrawnPictures) {
  for (const ClipCase& c : kClipCases) {
    const LabelledSource& source = *c.source;
    const int srcW = source.Width(), srcH = source.Height();
    ASSERT_EQ(static_cast<int>(c.expected.size()), c.dstH) << c.what;
    for (const std::string& row : c.expected) ASSERT_EQ(static_cast<int>(row.size()), c.dstW) << c.what;
    // The frames, bottom row first.
    std::vector<uint8_t> src, mask;
    for (int row = srcH - 1; row >= 0; --row) {
      for (int x = 0; x < srcW; ++x) {
        const Bgr p = LabelBytes(source.rows[row][x]);
        src.insert(src.end(), {p.b, p.g, p.r});
        mask.push_back(MaskValue(source.mask[row][x]));
      }
    }
    const auto under = SolidFrame(c.dstW, c.dstH, kUnder.b, kUnder.g, kUnder.r);
    // The expected bytes of one mode, from the hand-drawn picture: each
    // labelled pixel mixed with what was under it by that mode's rule.
    auto expectedFrame = [&](uint8_t alpha, bool masked) {
      std::vector<uint8_t> frame = under;
      for (int row = 0; row < c.dstH; ++row) {
        for (int x = 0; x < c.dstW; ++x) {
          const char label = c.expected[c.dstH - 1 - row][x];
          if (label == '.') continue;
          char entry = '#';
          for (int sr = 0; sr < srcH; ++sr) {
            const auto at = source.rows[sr].find(label);
            if (at != std::string::npos) entry = source.mask[sr][at];
          }
          const Bgr s = LabelBytes(label);
          uint8_t* d = frame.data() + (static_cast<std::size_t>(row) * c.dstW + x) * 3;
          const uint8_t sb[3] = {s.b, s.g, s.r};
          for (int k = 0; k < 3; ++k) {
            if (masked) {
              if (entry == '#') d[k] = sb[k];
              if (entry == '+') d[k] = static_cast<uint8_t>((d[k] + sb[k]) / 2);
            } else if (alpha == 0) {
              d[k] = sb[k];
            } else {
              d[k] = static_cast<uint8_t>((d[k] * alpha + sb[k] * (255 - alpha)) / 256);
            }
          }
        }
      }
      return frame;
    };
    // A copied picture read back as labels, top row first, for a readable
    // comparison.
    auto labels = [&](const uint8_t* frame) {
      std::vector<std::string> picture;
      for (int row = c.dstH - 1; row >= 0; --row) {
        std::string line;
        for (int x = 0; x < c.dstW; ++x) {
          const Bgr p = PixelAt(frame, c.dstW, x, row);
          char label = p == kUnder ? '.' : '?';
          for (const std::string& sr : source.rows) {
            for (char l : sr) {
              if (LabelBytes(l) == p) label = l;
            }
          }
          line += label;
        }
        picture.push_back(line);
      }
      return picture;
    };

    for (int mode = 0; mode < 4; ++mode) {
      const uint8_t alpha = mode == 1 ? 77 : mode == 2 ? 255 : 0;
      const bool masked = mode == 3;
      const std::vector<uint8_t> expected = expectedFrame(alpha, masked);
      for (const Implementation& impl : AllImplementations()) {
        impl.Select();
        GuardedFrame got(c.dstW, c.dstH);
        std::memcpy(got.data(), under.data(), under.size());
        const uint8_t* maskPtr = masked ? mask.data() : nullptr;
        if (c.centred && impl.reference) {
          reference::BlendCentred(src.data(), srcW, srcH, got.data(), c.dstW, c.dstH, 3, alpha, maskPtr);
        } else if (c.centred) {
          BlendCentred(src.data(), srcW, srcH, got.data(), c.dstW, c.dstH, 3, alpha, maskPtr);
        } else if (impl.reference) {
          reference::BlendRect(src.data(), srcW, srcH, got.data(), c.dstW, c.dstH, 3, c.x, c.y, alpha, maskPtr);
        } else {
          BlendRect(src.data(), srcW, srcH, got.data(), c.dstW, c.dstH, 3, c.x, c.y, alpha, maskPtr);
        }
        SCOPED_TRACE(std::string(c.what) + " at " + std::to_string(c.x) + "," + std::to_string(c.y) +
                     " mode " + std::to_string(mode) + " " + impl.Name());
        EXPECT_TRUE(got.GuardIntact());
        if (mode == 0) {
          EXPECT_EQ(labels(got.data()), c.expected);
        }
        EXPECT_EQ(got.Frame(), expected);
      }
    }
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
  for (const Implementation& impl : AllImplementations()) {
    impl.Select();
    auto build = impl.reference ? &reference::BuildKeyMask : &BuildKeyMask;
    std::vector<uint8_t> mask(w * h, 9);
    build(image.data(), w, h, 3, mask.data());
    EXPECT_EQ(mask, expected) << impl.Name();
    build(mixed.data(), w, h, 3, mask.data());
    EXPECT_EQ(mask, mixedExpected) << impl.Name();
  }
}

TEST_F(ImageOpsTest, KeyThresholdsTruncateTheScaledLead) {
  // One-pixel pictures: a key pixel gets 0, any other 128 (the first pixel
  // of a row is an edge). Thresholds worked out by hand: the key's lead of
  // its dominant channel over each other channel, times the range as a
  // float, truncated toward zero; red wins a tie, then green.
  struct ThresholdCase {
    uint32_t key;
    float range;
    Bgr pixel;
    bool isKey;
    const char* what;
  };
  const ThresholdCase cases[] = {
      {MakeColor(0, 255, 0), 0.3f, {0, 76, 0}, true, "76.5 truncates to 76: a lead of 76 is key"},
      {MakeColor(0, 255, 0), 0.3f, {0, 75, 0}, false, "a lead of 75 is not"},
      {MakeColor(0, 255, 0), 0.3f, {0, 176, 100}, true, "both leads count: 76 over red, 176 over blue"},
      {MakeColor(0, 255, 0), 0.3f, {0, 175, 100}, false, "75 over red"},
      {MakeColor(255, 10, 40), 0.5f, {93, 78, 200}, true, "red key: t1 = trunc(122.5), t2 = trunc(107.5)"},
      {MakeColor(255, 10, 40), 0.5f, {93, 79, 200}, false, "red key: 121 over green"},
      {MakeColor(255, 10, 40), 0.5f, {94, 78, 200}, false, "red key: 106 over blue"},
      {MakeColor(20, 30, 250), 0.1f, {23, 1, 0}, true, "blue key: t1 = 23, t2 = 22"},
      {MakeColor(20, 30, 250), 0.1f, {23, 2, 0}, false, "blue key: 21 over green"},
      {MakeColor(0, 200, 0), 0.3f, {0, 60, 0}, true, "60.000004 truncates to 60"},
      {MakeColor(90, 90, 90), 0.3f, {10, 10, 10}, true, "grey key is a red key with thresholds 0"},
      {MakeColor(90, 90, 90), 0.3f, {10, 11, 10}, false, "green ahead of red is not key for a red key"},
      {MakeColor(0, 200, 200), 0.0f, {6, 5, 0}, false, "green beats blue in a tie: blue ahead of green fails"},
      {MakeColor(0, 200, 200), 0.0f, {5, 6, 0}, true, "green key, green ahead of both"},
      {MakeColor(0, 200, 0), -3.0f, {255, 0, 255}, true, "negative range: every pixel is key"},
      {MakeColor(0, 200, 0), 1e30f, {0, 200, 0}, false, "huge range: not even the key colour is key"},
  };
  for (const ThresholdCase& c : cases) {
    chromaKeyColor = c.key;
    chromaKeyRange = c.range;
    const auto image = SolidFrame(1, 1, c.pixel.b, c.pixel.g, c.pixel.r);
    for (const Implementation& impl : AllImplementations()) {
      impl.Select();
      uint8_t mask = 9;
      if (impl.reference) {
        reference::BuildKeyMask(image.data(), 1, 1, 3, &mask);
      } else {
        BuildKeyMask(image.data(), 1, 1, 3, &mask);
      }
      EXPECT_EQ(mask, c.isKey ? 0 : 128) << c.what << " " << impl.Name();
    }
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
  const auto narrow = SolidFrame(10, 1, 0, 250, 0);
  for (const Implementation& impl : AllImplementations()) {
    impl.Select();
    SCOPED_TRACE(impl.Name());
    auto build = impl.reference ? &reference::BuildKeyMask : &BuildKeyMask;
    autoKeyColor = 0;
    std::vector<uint8_t> mask(w * h);
    build(image.data(), w, h, 3, mask.data());
    EXPECT_EQ(autoKeyColor.load(), MakeColor(200, 200, 200));
    EXPECT_EQ(mask[0 * w + 3], 0);   // green is the key
    EXPECT_EQ(mask[1 * w + 15], 0);
    EXPECT_EQ(mask[2 * w + 6], 255);

    // Ten columns or fewer: nothing to scan, the previous key stays.
    autoKeyColor = MakeColor(0, 250, 0);
    std::vector<uint8_t> narrowMask(10, 9);
    build(narrow.data(), 10, 1, 3, narrowMask.data());
    EXPECT_EQ(narrowMask, std::vector<uint8_t>(10, 0));
    EXPECT_EQ(autoKeyColor.load(), MakeColor(0, 250, 0));
  }
}

TEST_F(ImageOpsTest, AutoKeySearchKeysOnThePixelAfterTheFirstAbove50) {
  // A 20 x 4 picture of dark grey (luminance 5); the search scans the middle
  // row (row 2) from column 10. Greys have luminance equal to their value;
  // the green (0, 80, 0) and red (120, 0, 0) have 46 and 35, so neither stops
  // the scan. Probes at row 0 show the key chosen: green at column 0, red at
  // column 1.
  struct Put {
    int x, row;
    Bgr color;
  };
  const Bgr green{0, 80, 0}, red{0, 0, 120};
  const Bgr grey50{50, 50, 50}, grey51{51, 51, 51}, grey200{200, 200, 200};
  struct SearchCase {
    std::vector<Put> puts;
    Bgr autoKey;
    bool keyIsGreen;
    const char* what;
  };
  const SearchCase cases[] = {
      {{{12, 2, grey50}, {13, 2, red}, {16, 2, grey51}, {17, 2, green}}, grey51, true,
       "50 is not above 50: the scan goes on to the pixel after 51"},
      {{{10, 2, grey51}, {11, 2, red}}, grey51, false, "a bright first pixel: its right neighbour"},
      {{{12, 2, grey50}, {18, 2, red}, {19, 2, green}}, green, true,
       "nothing above 50: the last pixel scanned"},
      {{{9, 2, grey200}, {10, 2, red}, {19, 2, green}}, green, true, "column 9 is not scanned"},
      {{{12, 1, grey200}, {13, 1, red}, {12, 3, grey200}, {13, 3, red}, {19, 2, green}}, green, true,
       "only the middle row is scanned"},
  };
  const int w = 20, h = 4;
  chromaAutoKey = true;
  for (const SearchCase& c : cases) {
    auto image = SolidFrame(w, h, 5, 5, 5);
    std::vector<Put> puts = c.puts;
    puts.push_back({0, 0, green});
    puts.push_back({1, 0, red});
    for (const Put& put : puts) {
      uint8_t* p = image.data() + (static_cast<std::size_t>(put.row) * w + put.x) * 3;
      p[0] = put.color.b;
      p[1] = put.color.g;
      p[2] = put.color.r;
    }
    for (const Implementation& impl : AllImplementations()) {
      impl.Select();
      autoKeyColor = MakeColor(1, 2, 3);
      std::vector<uint8_t> mask(static_cast<std::size_t>(w) * h, 9);
      if (impl.reference) {
        reference::BuildKeyMask(image.data(), w, h, 3, mask.data());
      } else {
        BuildKeyMask(image.data(), w, h, 3, mask.data());
      }
      SCOPED_TRACE(std::string(c.what) + " " + impl.Name());
      EXPECT_EQ(autoKeyColor.load(), MakeColor(c.autoKey.r, c.autoKey.g, c.autoKey.b));
      const std::vector<uint8_t> probes(mask.begin(), mask.begin() + 2);
      EXPECT_EQ(probes, c.keyIsGreen ? (std::vector<uint8_t>{0, 128}) : (std::vector<uint8_t>{128, 0}));
    }
  }
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

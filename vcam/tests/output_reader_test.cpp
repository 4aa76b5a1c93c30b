// The camera's reading of the output buffer: rows turned and mirrored,
// whole rows only, the retry cadence, and never letting go once open.
#include "vcam/output_reader.h"

#include <gtest/gtest.h>

#include "vcam/tests/vcam_test_support.h"

namespace corvalind {
namespace {

using testing::AsCameraSees;
using testing::PatternFrame;
using testing::PrivateBufferName;
using testing::TestWriter;

TEST(OutputReaderTest, CopiesWholeRowsTurnedAndMirrored) {
  struct Case {
    int w, h;
    bool mirror;
    uint32_t limit;  // bytes of the block's picture that may be read
  } cases[] = {{320, 240, false, 320 * 240 * 3}, {320, 240, true, 320 * 240 * 3},
               {428, 240, true, 428 * 240 * 3},  {320, 240, true, 1000},
               {320, 240, false, 1000},          {21, 20, true, 21 * 3 * 5 + 7}};
  for (const Case& c : cases) {
    const auto frame = PatternFrame(c.w, c.h, 9);
    std::vector<uint8_t> picture(frame.size(), 0xCC);
    CopyTurned(frame.data(), c.limit, picture.data(), c.w, c.h, c.mirror);
    const auto expected = AsCameraSees(frame, c.w, c.h, c.mirror);
    const std::size_t rowBytes = static_cast<std::size_t>(c.w) * 3;
    const std::size_t rows = std::min<std::size_t>(c.h, c.limit / rowBytes);
    // The bottom `rows` rows of the picture come from the block; the rows
    // above are left as they were.
    const std::size_t untouched = (c.h - rows) * rowBytes;
    for (std::size_t i = 0; i < untouched; ++i) ASSERT_EQ(picture[i], 0xCC) << i;
    ASSERT_TRUE(std::equal(picture.begin() + static_cast<long>(untouched), picture.end(),
                           expected.begin() + static_cast<long>(untouched)))
        << c.w << "x" << c.h << " mirror " << c.mirror << " limit " << c.limit;
  }
}

TEST(OutputReaderTest, RetriesEveryFpsSamplesAndKeepsTheBlockOnceOpen) {
  const std::string name = PrivateBufferName("reader");
  const int w = 32, h = 20, fps = 5;
  OutputReader reader(name);
  EXPECT_EQ(reader.Open(), 0u);
  std::vector<uint8_t> picture(static_cast<std::size_t>(w) * h * 3, 0);
  EXPECT_FALSE(reader.Fill(picture.data(), 1920, w, h, false, fps));
  EXPECT_FALSE(reader.Fill(picture.data(), 1920, w, h, false, fps));
  TestWriter writer;
  ASSERT_TRUE(writer.Create(name, w * h * 3));
  const auto frame = PatternFrame(w, h, 1);
  writer.Publish(frame);
  // Attempts 3 and 4 count; the 5th opens but writes nothing yet.
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(reader.Fill(picture.data(), 1920, w, h, false, fps));
  EXPECT_TRUE(reader.IsOpen());
  EXPECT_EQ(reader.CopyLimit(), static_cast<uint32_t>(w * h * 3));
  EXPECT_EQ(picture, std::vector<uint8_t>(picture.size(), 0));
  ASSERT_TRUE(reader.Fill(picture.data(), 1920, w, h, false, fps));
  EXPECT_EQ(picture, AsCameraSees(frame, w, h, false));
  // The studio leaves: the reader still holds the block and its picture.
  ReleaseOutputBlock(writer.block);
  std::fill(picture.begin(), picture.end(), 0);
  ASSERT_TRUE(reader.Fill(picture.data(), 1920, w, h, false, fps));
  EXPECT_EQ(picture, AsCameraSees(frame, w, h, false));
}

TEST(OutputReaderTest, SmallerBlockIsReadOnlyAsFarAsItGoes) {
  // A block from a run with a smaller picture: the copy limit stops at it.
  const std::string name = PrivateBufferName("small");
  TestWriter writer;
  ASSERT_TRUE(writer.Create(name, 32 * 4 * 3));
  writer.Publish(PatternFrame(32, 4, 3));
  OutputReader reader(name);
  ASSERT_EQ(reader.Open(), 32u * 4u * 3u);
  std::vector<uint8_t> picture(32 * 20 * 3, 0xAB);
  ASSERT_TRUE(reader.Fill(picture.data(), static_cast<uint32_t>(picture.size()), 32, 20, false, 25));
  const std::size_t untouched = (20 - 4) * 32 * 3;
  EXPECT_EQ(picture[untouched - 1], 0xAB);
  EXPECT_EQ(picture.back(), PatternFrame(32, 4, 3)[32 * 3 - 1]);
}

}  // namespace
}  // namespace corvalind

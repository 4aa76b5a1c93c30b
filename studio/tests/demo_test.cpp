// The headless demo: its PNG file holds exactly the composed program
// picture, turned top-down, and the demo scenes draw from every source.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "test_support/demo_scene.h"
#include "test_support/png_file.h"

namespace corvalind {
namespace {

TEST(DemoTest, PngRoundTripKeepsEveryByteAndTheRowOrder) {
  const int w = 37, h = 11;  // odd sizes
  std::vector<uint8_t> frame(w * h * 3);
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7 + i / 5);
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "corvalind-demo-test";
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "frame.png").string();
  ASSERT_TRUE(WriteFramePng(path, frame.data(), w, h));
  std::vector<uint8_t> back;
  int bw = 0, bh = 0;
  ASSERT_TRUE(ReadFramePng(path, back, bw, bh));
  EXPECT_EQ(bw, w);
  EXPECT_EQ(bh, h);
  EXPECT_EQ(back, frame);
  EXPECT_FALSE(WriteFramePng((dir / "missing" / "x.png").string(), frame.data(), w, h));
  EXPECT_FALSE(ReadFramePng((dir / "none.png").string(), back, bw, bh));
  std::filesystem::remove_all(dir);
}

TEST(DemoTest, DemoSceneShowsEverySource) {
  SourceSlotTable slots;
  OutputFormat format;
  auto engine = VideoEngine::Create(slots, format);
  ASSERT_NE(engine, nullptr);
  StoreDemoScenes(*engine);
  ASSERT_EQ(engine->SceneCount(), 2);
  DeliverDemoFrames(slots, 0);
  std::vector<uint8_t> program(format.frameBytes + 1);
  ASSERT_TRUE(engine->ComposeProgramFrame(program.data(), format.frameBytes));
  for (int zone = 0; zone < 4; ++zone) EXPECT_EQ(engine->ZoneLastSerial(0, zone), 1u);
  // The keyed presenter's green screen is gone: no pure green pixel is left.
  for (std::size_t i = 0; i < format.frameBytes; i += 3) {
    ASSERT_FALSE(program[i] == 0 && program[i + 1] == 255 && program[i + 2] == 0) << i / 3;
  }
}

}  // namespace
}  // namespace corvalind

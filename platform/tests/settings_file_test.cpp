// The settings file: both readers on the table of odd texts, the writer
// round trip, and what happens without a file or without rights.
#include "platform/settings_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace corvalind {
namespace {

struct ReaderCase {
  std::string text;
  int width, height, fps;
  bool mirror;  // with the previous mirror flag off
};

TEST(SettingsFileTest, StudioReaderTable) {
  const ReaderCase cases[] = {
      {"13,3,1", 1280, 720, 30, true},  {"9,4", 800, 600, 50, false},
      {"20,2,0", 640, 480, 25, false},  {"", 640, 480, 25, false},
      {"6", 640, 480, 25, false},       {"14,5,0", 1920, 1080, 60, false},
      {"x,y", 320, 180, 10, false},     {" +3,-1", 428, 240, 25, false},
      {",5", 640, 480, 25, false},      {"15,5,7", 1920, 1200, 60, true},
      {"1,2,3,4", 320, 240, 50, false}, {std::string("2,1\0,9", 6), 384, 288, 15, false},
      {"7,1,1\n", 720, 406, 15, true},  {"99999999999999,3", 640, 480, 30, false},
  };
  for (const ReaderCase& c : cases) {
    const PictureSettings s = ParseStudioSettings(c.text);
    EXPECT_EQ(s.width, c.width) << c.text;
    EXPECT_EQ(s.height, c.height) << c.text;
    EXPECT_EQ(s.fps, c.fps) << c.text;
    EXPECT_EQ(s.frameIntervalMs, 1000 / c.fps) << c.text;
    EXPECT_EQ(s.mirror, c.mirror) << c.text;
  }
}

TEST(SettingsFileTest, CameraReaderTable) {
  const ReaderCase cases[] = {
      {"13,3,1", 1280, 720, 30, true},  {"9,4", 800, 600, 50, false},
      {"20,2,0", 640, 480, 25, false},  {"", 640, 480, 25, false},
      {"6", 640, 480, 25, false},       {"13,3", 1280, 720, 30, false},
      {"20,9,1", 640, 480, 25, true},   {"14,5,0", 1920, 1080, 60, false},
      {"x,y", 320, 180, 10, false},     {",5", 320, 180, 60, false},
      {"1,2,3,4", 320, 240, 25, true},  {"12,1,0junk", 1024, 768, 15, false},
  };
  for (const ReaderCase& c : cases) {
    const PictureSettings s = ParseCameraSettings(c.text, false);
    EXPECT_EQ(s.width, c.width) << c.text;
    EXPECT_EQ(s.height, c.height) << c.text;
    EXPECT_EQ(s.fps, c.fps) << c.text;
    EXPECT_EQ(s.mirror, c.mirror) << c.text;
  }
  // Without a mirror part the camera keeps what it had; 60 fps stamps 16 ms.
  EXPECT_TRUE(ParseCameraSettings("9,4", true).mirror);
  EXPECT_EQ(ParseCameraSettings("14,5,0", false).frameIntervalMs, 16);
}

TEST(SettingsFileTest, ReadersAgreeOnEverythingTheWriterWrites) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("corvalind-settings-" + std::to_string(getpid()));
  const std::string path = (dir / "Corvalind" / "settings.txt").string();
  for (int size = 0; size < kPictureSizeCount; ++size) {
    for (int rate = 0; rate < kFrameRateCount; ++rate) {
      for (bool mirror : {false, true}) {
        ASSERT_TRUE(WriteSettingsFile(path, size, rate, mirror));
        bool found = false;
        const PictureSettings studio = ReadStudioSettings(path, &found);
        ASSERT_TRUE(found);
        const PictureSettings camera = ReadCameraSettings(path, !mirror);
        EXPECT_EQ(studio.width, kPictureSizes[size].width);
        EXPECT_EQ(studio.fps, kFrameRates[rate].fps);
        EXPECT_EQ(studio.mirror, mirror);
        EXPECT_EQ(camera.width, studio.width);
        EXPECT_EQ(camera.height, studio.height);
        EXPECT_EQ(camera.fps, studio.fps);
        EXPECT_EQ(camera.mirror, mirror);
      }
    }
  }
  std::ifstream file(path);
  std::string text;
  std::getline(file, text);
  EXPECT_EQ(text, "15,5,1");  // no spaces, no line end

  // No file: defaults; the camera keeps its mirror flag.
  std::filesystem::remove(path);
  bool found = true;
  EXPECT_EQ(ReadStudioSettings(path, &found).width, 640);
  EXPECT_FALSE(found);
  EXPECT_TRUE(ReadCameraSettings(path, true).mirror);

  // A folder the user may not write into.
  if (geteuid() != 0) {
    std::filesystem::create_directories(dir / "locked");
    chmod((dir / "locked").c_str(), 0500);
    EXPECT_FALSE(WriteSettingsFile((dir / "locked" / "settings.txt").string(), 1, 1, false));
    chmod((dir / "locked").c_str(), 0700);
  }
  // A path through a plain file cannot be written.
  std::ofstream((dir / "plain").string()) << "x";
  EXPECT_FALSE(WriteSettingsFile((dir / "plain" / "settings.txt").string(), 1, 1, false));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace corvalind

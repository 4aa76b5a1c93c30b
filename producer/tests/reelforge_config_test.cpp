// Reelforge.ini: the reading rules as a table, the printed value lines, and
// a file that is missing or unreadable.
#include "producer/reelforge_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "test_support/test_home.h"

namespace corvalind {
namespace {

ReelforgeConfig Read(const std::string& text, std::vector<std::string>* printed = nullptr) {
  ReelforgeConfig config;
  ApplyReelforgeIni(text, config, [printed](const std::string& line) {
    if (printed) printed->push_back(line);
  });
  return config;
}

TEST(ReelforgeIni, ReadingRules) {
  using namespace std::string_literals;
  const struct {
    std::string text;
    std::function<bool(const ReelforgeConfig&)> holds;
    const char* what;
  } cases[] = {
      {"", [](const ReelforgeConfig& c) { return c.videoFps == 25 && c.ftpFolder == "/" && c.crossbarInput == -1; },
       "defaults"},
      {"webm_bitrate=2500\n", [](const ReelforgeConfig& c) { return c.webmBitrate == 2500; }, "keys ignore case"},
      {"WEBM_PARTS=3\nWEBM_PARTS=7\n", [](const ReelforgeConfig& c) { return c.webmParts == 7; }, "last one wins"},
      {";WEBM_PARTS=3\n", [](const ReelforgeConfig& c) { return c.webmParts == 5; }, "comment"},
      {" WEBM_PARTS=3\n", [](const ReelforgeConfig& c) { return c.webmParts == 5; }, "a blank is part of the key"},
      {"VIDEO_FPS=  -12abc\n", [](const ReelforgeConfig& c) { return c.videoFps == -12; }, "blanks, sign, stop"},
      {"VIDEO_FPS=abc\n", [](const ReelforgeConfig& c) { return c.videoFps == 0; }, "no digits gives 0"},
      {"VIDEO_FPS=99999999999\n", [](const ReelforgeConfig& c) { return c.videoFps == 2147483647; }, "clamped"},
      {"FTP_HOST=ftp.example.org\n", [](const ReelforgeConfig& c) { return c.ftpHost == "ftp.example.org"; },
       "text to the line end"},
      {"FTP_HOST=ftp.example.org\r\n", [](const ReelforgeConfig& c) { return c.ftpHost == "ftp.example.org"; },
       "CR LF line ends leave no CR"},
      {"FTP_PASS=a=b c \n", [](const ReelforgeConfig& c) { return c.ftpPass == "a=b c "; },
       "the first = splits, blanks kept"},
      {"FTP_HOST=last", [](const ReelforgeConfig& c) { return c.ftpHost == "last"; }, "no final line end"},
      {"VORBIS_QUALITY=101\n", [](const ReelforgeConfig& c) { return c.vorbisQuality == 30; }, "quality above 100"},
      {"VORBIS_QUALITY=-1\n", [](const ReelforgeConfig& c) { return c.vorbisQuality == 30; }, "quality below 0"},
      {"VORBIS_QUALITY=100\n", [](const ReelforgeConfig& c) { return c.vorbisQuality == 100; }, "quality 100"},
      {"WEBM_USAGE=1\nWEBM_USAGE=2\n", [](const ReelforgeConfig& c) { return c.webmUsage == 1; },
       "other usage keeps the previous"},
      {"UNKNOWN=5\nWEBM_THREADS\n=7\n", [](const ReelforgeConfig& c) { return c.webmThreads == 4; },
       "unknown keys and lines without a key"},
      {"OUTPUT_FILES=/srv/reels/\n", [](const ReelforgeConfig& c) { return c.outputFiles == "/srv/reels/"; },
       "output prefix"},
      {"FTP_USER=ab\0cd\nFTP_PASSIVE=0\n"s, [](const ReelforgeConfig& c) { return c.ftpUser == "ab" && c.ftpPassive == 0; },
       "a NUL ends the line's text"},
  };
  for (const auto& c : cases) EXPECT_TRUE(c.holds(Read(c.text))) << c.what;
}

TEST(ReelforgeIni, LongLinesAreReadInPiecesOf1023Characters) {
  // A line of 1023 characters and more: its first 1023 are one line, the
  // rest is read as the next, which here sets a key.
  const std::string head = "FTP_HOST=" + std::string(1023 - 9, 'h');
  const ReelforgeConfig config = Read(head + "WEBM_PARTS=9\n");
  EXPECT_EQ(config.ftpHost, std::string(1023 - 9, 'h'));
  EXPECT_EQ(config.webmParts, 9);
}

TEST(ReelforgeIni, PrintsTheValueLinesAsTheyAreRead) {
  std::vector<std::string> printed;
  Read("WEBM_BITRATE=800\nWEBM_THREADS=2\nWEBM_VIDEO_DURATION=10\nOVERLAPPED_FRAMES=3\nVORBIS_QUALITY=555\n"
       "FTP_PASSIVE=0\nWEBM_PARTS=3\nWEBM_USAGE=9\nREBOOT_MEMORY_KB=0\nDEBUG_MODE=1\nFTP_PASS=secret\nVIDEO_FPS=30\n",
       &printed);
  const std::vector<std::string> expected = {
      "gl_WebmBitrate:800\n", "gl_WebmThreads:2\n",   "gl_WebmVideoDuration:10\n", "gl_OverlappedFrames:3\n",
      "gl_VorbisQuality:30\n", "gl_FtpPassive:0\n",   "gl_WebmParts:3\n",          "gl_WebmUsage:0\n",
      "gl_RebootMemoryKB:0\n", "m_DebugMode:1\n"};
  EXPECT_EQ(printed, expected);
}

TEST(ReelforgeIni, TheFileInTheDocumentsFolder) {
  testing::TemporaryHome home("corvalind-reelforge-ini");
  const std::string path = ReelforgeIniPath();
  EXPECT_EQ(path, (home.Documents() / "Corvalind" / "Reelforge.ini").string());
  EXPECT_TRUE(std::filesystem::is_directory(home.Documents() / "Corvalind"));
  ReelforgeConfig config;
  config.webmParts = 4;
  EXPECT_FALSE(LoadReelforgeConfig(path, config, nullptr));
  EXPECT_EQ(config.webmParts, 4);  // a missing file changes nothing
  std::filesystem::create_directory(path);  // a folder where the file should be
  EXPECT_FALSE(LoadReelforgeConfig(path, config, nullptr));
  std::filesystem::remove(path);
  std::ofstream(path) << "WEBM_PARTS=3\r\nFTP_FOLDER=/reels\r\n";
  EXPECT_TRUE(LoadReelforgeConfig(path, config, nullptr));
  EXPECT_EQ(config.webmParts, 3);
  EXPECT_EQ(config.ftpFolder, "/reels");
}

}  // namespace
}  // namespace corvalind

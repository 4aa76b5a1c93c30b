// Real GStreamer clients against the built plugin: gst-inspect-1.0,
// gst-device-monitor-1.0 and gst-launch-1.0.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "vcam/tests/vcam_test_support.h"

namespace corvalind {
namespace {

using testing::AsCameraSees;
using testing::PatternFrame;
using testing::PrivateBufferName;
using testing::TestWriter;
using testing::UseSettings;

// Runs a shell command (environment inherited: plugin path, registry,
// temporary home) and returns its standard output and exit status.
std::string RunCommand(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) {
    *status = -1;
    return output;
  }
  std::array<char, 4096> chunk;
  std::size_t n = 0;
  while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) output.append(chunk.data(), n);
  *status = pclose(pipe);
  return output;
}

class ClientsTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef CORVALIND_SANITIZED
    GTEST_SKIP() << "an instrumented plugin cannot be loaded into the uninstrumented tools";
#endif
  }
};

TEST_F(ClientsTest, InspectDescribesTheElement) {
  int status = 0;
  const std::string out = RunCommand("gst-inspect-1.0 corvalindcamsrc", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("Corvalind Camera"), std::string::npos);
  EXPECT_NE(out.find("buffer-name"), std::string::npos);
  EXPECT_NE(out.find("libgstcorvalindcam.so"), std::string::npos);
}

TEST_F(ClientsTest, DeviceMonitorListsTheCamera) {
  UseSettings("13,3,0");
  int status = 0;
  const std::string out = RunCommand("timeout 20 gst-device-monitor-1.0 Video/Source", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("name  : Corvalind Camera"), std::string::npos) << out;
  EXPECT_NE(out.find("width=1280, height=720"), std::string::npos) << out;
}

TEST_F(ClientsTest, LaunchWritesThePictureByteForByte) {
  UseSettings("0,5,1");  // 320 x 180 at 60, mirrored
  const std::string name = PrivateBufferName("launch");
  TestWriter writer;
  ASSERT_TRUE(writer.Create(name, 320 * 180 * 3));
  const auto frame = PatternFrame(320, 180, 4);
  writer.Publish(frame);
  const std::string file = std::filesystem::temp_directory_path() / ("corvalind-launch-" + std::to_string(getpid()) + ".raw");
  int status = 0;
  const std::string out = RunCommand("timeout 20 gst-launch-1.0 -q corvalindcamsrc buffer-name=" + name +
                                  " num-buffers=3 ! filesink location=" + file,
                              &status);
  ASSERT_EQ(status, 0) << out;
  std::ifstream in(file, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto one = AsCameraSees(frame, 320, 180, true);
  ASSERT_EQ(bytes.size(), one.size() * 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(std::equal(one.begin(), one.end(), bytes.begin() + static_cast<long>(i * one.size()))) << i;
  }
  std::filesystem::remove(file);
}

TEST_F(ClientsTest, LaunchShowsContiguousTimeStampsFromZero) {
  UseSettings("0,2,0");  // 40 ms
  int status = 0;
  const std::string out = RunCommand("timeout 20 gst-launch-1.0 -v corvalindcamsrc buffer-name=" +
                                  PrivateBufferName("stamps") + " num-buffers=6 ! fakesink silent=false",
                              &status);
  ASSERT_EQ(status, 0) << out;
  const std::regex chain(R"(chain .*pts: 0:00:00\.(\d{9}), duration: 0:00:00\.(\d{9}))");
  int index = 0;
  for (auto it = std::sregex_iterator(out.begin(), out.end(), chain); it != std::sregex_iterator(); ++it) {
    EXPECT_EQ(std::stol((*it)[1]), index * 40'000'000L);
    EXPECT_EQ(std::stol((*it)[2]), 40'000'000L);
    ++index;
  }
  EXPECT_EQ(index, 6) << out;
}

}  // namespace
}  // namespace corvalind

// One segment recorder: the encoder settings the configuration makes, the
// graph it builds (virtual camera or a device found by part of its name,
// capture format, crossbar, sound) and the WebM file it leaves, read back.
#include "producer/segment_recorder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>

#include "producer/tests/reelforge_test_support.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

using testing::Decode;
using testing::DecodedFile;
using testing::Discover;
using testing::TestFolder;
using testing::WaitFor;

TEST(Vp8SettingsTest, TheConfigurationMapsOntoTheEncoder) {
  struct Case {
    int fps, threads, bitrate, usage;
    Vp8Settings expected;
  };
  const Case cases[] = {
      {25, 4, 1000, 0, {40000, 4, 1000000, 0, 1}},
      {30, 1, 250, 1, {33333, 1, 250000, 1, 1}},
      {0, 0, 0, 0, {1, 0, 0, 0, 1}},                            // no rate: as fast as it can
      {-5, 200, 5000000, 0, {1, 64, 2147483647, 0, 1}},        // clamped to what vp8enc takes
      {60, -1, -3, 1, {16666, 0, 0, 1, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fps);
    ReelforgeConfig config;
    config.videoFps = c.fps;
    config.webmThreads = c.threads;
    config.webmBitrate = c.bitrate;
    config.webmUsage = c.usage;
    const Vp8Settings s = Vp8SettingsFor(config);
    EXPECT_EQ(s.deadlineUs, c.expected.deadlineUs);
    EXPECT_EQ(s.threads, c.expected.threads);
    EXPECT_EQ(s.targetBitrate, c.expected.targetBitrate);
    EXPECT_EQ(s.endUsage, c.expected.endUsage);
    EXPECT_EQ(s.keyframeMode, 1);
  }
  EXPECT_DOUBLE_EQ(VorbisQualityFor(30), 0.3);
  EXPECT_DOUBLE_EQ(VorbisQualityFor(100), 1.0);
  EXPECT_DOUBLE_EQ(VorbisQualityFor(0), 0.0);
}

class SegmentRecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::UseSmallCameraPicture();
    bufferName_ = testing::PrivateBufferName("reelforge");
    ASSERT_TRUE(writer_.Create(bufferName_, testing::kTestWidth * testing::kTestHeight * 3));
    writer_.Publish(testing::SolidPicture(200, 40, 90));
    config_.outputFiles = folder_.Prefix();
  }
  void TearDown() override { ReleaseOutputBlock(writer_.block); }

  std::unique_ptr<CSegmentRecorder> Make() {
    return std::make_unique<CSegmentRecorder>(
        config_, [this](const std::string& text) { console_ += text; }, bufferName_);
  }

  // Records until `frames` were counted and closes; the count at the end.
  std::uint32_t Record(CSegmentRecorder& recorder, std::uint32_t frames) {
    EXPECT_TRUE(recorder.Prepare());
    EXPECT_TRUE(recorder.StartFile("m1.webm")) << console_;
    EXPECT_TRUE(recorder.Run());
    EXPECT_TRUE(WaitFor([&] { return recorder.FrameCount() >= frames; }, std::chrono::seconds(60)))
        << recorder.FrameCount() << " " << recorder.LastError();
    recorder.Close();
    return recorder.FrameCount();
  }

  TestFolder folder_{"recorder"};
  std::string bufferName_;
  testing::TestWriter writer_;
  ReelforgeConfig config_;
  std::string console_;
};

TEST_F(SegmentRecorderTest, ThePublishedPictureBecomesAWholeVp8WebmFile) {
  auto recorder = Make();
  const auto start = std::chrono::steady_clock::now();
  const std::uint32_t counted = Record(*recorder, 2 * testing::kTestFps);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::string path = folder_.Prefix() + "m1.webm";
  EXPECT_EQ(recorder->LocalPath(), path);
  EXPECT_NE(console_.find("Prepare file: " + path + "\n"), std::string::npos) << console_;
  EXPECT_NE(console_.find("Connecting...done!\n"), std::string::npos) << console_;
  EXPECT_EQ(recorder->LastError(), "");

  const std::string discovered = Discover(path);
  EXPECT_NE(discovered.find("video/webm"), std::string::npos) << discovered;
  EXPECT_NE(discovered.find("video/x-vp8"), std::string::npos) << discovered;
  EXPECT_NE(discovered.find("Width: 320"), std::string::npos) << discovered;
  EXPECT_NE(discovered.find("Height: 180"), std::string::npos) << discovered;
  EXPECT_NE(discovered.find("Seekable: yes"), std::string::npos) << "cues written: " << discovered;
  EXPECT_EQ(discovered.find("audio/"), std::string::npos) << discovered;
  // The duration is the counted frames at 40 ms each.
  const std::size_t at = discovered.find("Duration: ");
  ASSERT_NE(at, std::string::npos) << discovered;
  int hours = 0, minutes = 0;
  double secs = 0;
  ASSERT_EQ(std::sscanf(discovered.c_str() + at, "Duration: %d:%d:%lf", &hours, &minutes, &secs), 3);
  EXPECT_NEAR(hours * 3600 + minutes * 60 + secs, counted / 25.0, 0.041) << discovered;

  // ffprobe, another reader than GStreamer's, sees the same whole file.
  const std::map<std::string, std::string> probed = testing::FfProbe(path, "v");
  EXPECT_EQ(probed.count("format_name") ? probed.at("format_name") : "", "matroska,webm");
  EXPECT_EQ(probed.count("codec_name") ? probed.at("codec_name") : "", "vp8");
  EXPECT_EQ(probed.count("width") ? probed.at("width") : "", "320");
  EXPECT_EQ(probed.count("height") ? probed.at("height") : "", "180");
  EXPECT_EQ(probed.count("r_frame_rate") ? probed.at("r_frame_rate") : "", "25/1");
  EXPECT_EQ(probed.count("nb_read_frames") ? probed.at("nb_read_frames") : "", std::to_string(counted));
  ASSERT_TRUE(probed.count("duration"));
  EXPECT_NEAR(std::atof(probed.at("duration").c_str()), counted / 25.0, 0.041);
  EXPECT_TRUE(testing::FfProbe(path, "a").count("codec_name") == 0) << "no sound without a device";

  const DecodedFile file = Decode(path);
  EXPECT_TRUE(file.complete);
  EXPECT_EQ(file.frames, static_cast<int>(counted)) << "every counted frame is in the file";
  EXPECT_EQ(file.width, testing::kTestWidth);
  EXPECT_EQ(file.height, testing::kTestHeight);
  ASSERT_FALSE(file.centres.empty());
  const auto& centre = file.centres.back();
  EXPECT_NEAR(centre[0], 200, 12);
  EXPECT_NEAR(centre[1], 40, 12);
  EXPECT_NEAR(centre[2], 90, 12);
  // The camera paces itself at 25 per second: the count follows the clock
  // (the graph's start-up and the close lie within the measured time).
  EXPECT_LE(counted, seconds * 25 + 2);
  std::printf("[ figures  ] %u frames counted in %.2f s (%.1f per second)\n", counted, seconds, counted / seconds);
}

// A file that reached its length takes no more frames, however long the
// close takes to come: it holds exactly the frames counted.
TEST_F(SegmentRecorderTest, AFrameLimitEndsTheFileAtItsLength) {
  auto recorder = Make();
  recorder->SetFrameLimit(10);
  ASSERT_TRUE(recorder->Prepare());
  ASSERT_TRUE(recorder->StartFile("m1.webm")) << console_;
  ASSERT_TRUE(recorder->Run());
  ASSERT_TRUE(WaitFor([&] { return recorder->FrameCount() >= 10; }, std::chrono::seconds(60)))
      << recorder->LastError();
  // Twelve more frame instants of the camera pass before the close.
  std::this_thread::sleep_for(std::chrono::milliseconds(12 * 1000 / testing::kTestFps));
  EXPECT_EQ(recorder->FrameCount(), 10u);
  recorder->Close();
  const DecodedFile file = Decode(folder_.Prefix() + "m1.webm");
  EXPECT_TRUE(file.complete);
  EXPECT_EQ(file.frames, 10);
}

// A recorder that is gone has let go of its graph, and with it of the
// studio's buffer: the studio's block goes with the studio, and a producer
// running for days holds no graphs of earlier files.
TEST_F(SegmentRecorderTest, ARecorderThatIsGoneLetsGoOfTheStudiosBuffer) {
  for (int round = 0; round < 2; ++round) {
    auto recorder = Make();
    Record(*recorder, 5);
  }
  ReleaseOutputBlock(writer_.block);
  OutputBlock reader;
  EXPECT_FALSE(OpenOutputBlock(reader, bufferName_)) << "the block outlived its writer";
  ReleaseOutputBlock(reader);
}

TEST_F(SegmentRecorderTest, DebugModeWritesTheGraphWithItsSettingsIntoTheCurrentFolder) {
  config_.debugMode = 1;
  config_.webmBitrate = 700;
  config_.webmThreads = 2;
  config_.webmUsage = 1;
  config_.videoFps = 25;
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(folder_.Path().c_str()), 0);
  auto recorder = Make();
  ASSERT_TRUE(recorder->Prepare());
  const bool started = recorder->StartFile("m2.webm");
  recorder->Close();
  ASSERT_EQ(chdir(previous), 0);
  ASSERT_TRUE(started) << console_;
  const std::string dot = testing::ReadBytes((folder_.Path() / "debug.dot").string());
  for (const char* text : {"Corvalind Camera", "Frame Counter", "VP8 Encoder", "Web Muxer", "File writer",
                           "target-bitrate=700000", "threads=2", "deadline=40000", "end-usage=cbr",
                           "Orvik WebM Producer"}) {
    EXPECT_NE(dot.find(text), std::string::npos) << text;
  }
}

// Without a studio the camera serves black, and the file is still whole.
TEST_F(SegmentRecorderTest, WithoutAStudioTheFileHoldsBlackPictures) {
  bufferName_ = testing::PrivateBufferName("nostudio");
  auto recorder = Make();
  const std::uint32_t counted = Record(*recorder, 10);
  const DecodedFile file = Decode(folder_.Prefix() + "m1.webm");
  EXPECT_TRUE(file.complete);
  EXPECT_EQ(file.frames, static_cast<int>(counted));
  ASSERT_FALSE(file.centres.empty());
  for (int k = 0; k < 3; ++k) EXPECT_LE(file.centres.back()[k], 12) << k;
}

// Devices found by part of their name, their capture format, crossbar and
// sound: what the console says and what the file holds.
TEST_F(SegmentRecorderTest, DevicesAreFoundByPartOfTheirNameAndConfigured) {
  struct Case {
    const char* what;
    std::string captureDevice, audioDevice;
    int width, height, skip, crossbar;
    bool builds;
    std::vector<std::string> console;  // texts the console shows, in order
    int fileWidth, fileHeight;
    std::array<int, 3> centre;  // blue, green, red; -1: not checked
    bool audio;
  };
  const Case cases[] = {
      {"part of a name", "Small", "", 0, 0, 0, -1, true, {"Connecting...done!\n"}, 320, 240, {255, 255, 255}, false},
      {"case matters", "small", "", 0, 0, 0, -1, false,
       {"Cannot find capture device!\n", "Cannot create graph, check settings!\n"}, 0, 0, {-1, -1, -1}, false},
      {"a format of the device", "Fake Camera", "", 640, 480, 0, -1, true,
       {"\nInit capture device...", " total video modes(4) ", " trying mode(1) ", "done!\n"}, 640, 480,
       {-1, -1, -1}, false},
      {"no mode takes the size", "Small", "", 1920, 1080, 0, -1, true,
       {"\nInit capture device...", " total video modes(1) ", "FAILED!", "Connecting..."}, 320, 240,
       {-1, -1, -1}, false},
      {"the crossbar routes input 1 (red)", "Tuner Card", "", 0, 0, 0, 1, true,
       {"Configure crossbar (1)...", "done!\n"}, 720, 576, {0, 0, 255}, false},
      {"a device without crossbar", "Small", "", 0, 0, 0, 2, true, {"Configure crossbar (2)...no crossbar found!\n"},
       320, 240, {-1, -1, -1}, false},
      {"sound from the microphone", "Small", "Micro", 0, 0, 0, -1, true, {"SetAudioLatency(50)\n", "Connecting..."},
       320, 240, {-1, -1, -1}, true},
      {"a microphone that is not there", "Small", "Headset", 0, 0, 0, -1, true,
       {"ERROR, cannot find audio device (Headset)! Audio capture is disabled!\n", "Connecting..."}, 320, 240,
       {-1, -1, -1}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    console_.clear();
    config_.captureDevice = c.captureDevice;
    config_.audioDevice = c.audioDevice;
    config_.videoWidth = c.width;
    config_.videoHeight = c.height;
    config_.skipCode = c.skip;
    config_.crossbarInput = c.crossbar;
    auto recorder = Make();
    ASSERT_TRUE(recorder->Prepare());
    ASSERT_EQ(recorder->StartFile("m3.webm"), c.builds) << console_;
    std::size_t at = 0;
    for (const std::string& text : c.console) {
      const std::size_t found = console_.find(text, at);
      EXPECT_NE(found, std::string::npos) << "'" << text << "' in order in:\n" << console_;
      if (found != std::string::npos) at = found + text.size();
    }
    if (!c.builds) continue;
    EXPECT_EQ(recorder->HasAudio(), c.audio);
    ASSERT_TRUE(recorder->Run());
    ASSERT_TRUE(WaitFor([&] { return recorder->FrameCount() >= 10; }, std::chrono::seconds(60)))
        << recorder->LastError();
    recorder->Close();
    const DecodedFile file = Decode(folder_.Prefix() + "m3.webm");
    EXPECT_TRUE(file.complete);
    EXPECT_EQ(file.frames, static_cast<int>(recorder->FrameCount()));
    EXPECT_EQ(file.width, c.fileWidth);
    EXPECT_EQ(file.height, c.fileHeight);
    if (c.centre[0] >= 0 && !file.centres.empty()) {
      for (int k = 0; k < 3; ++k) EXPECT_NEAR(file.centres.back()[k], c.centre[k], 16) << k;
    }
    const std::string discovered = Discover(folder_.Prefix() + "m3.webm");
    EXPECT_EQ(discovered.find("audio/x-vorbis") != std::string::npos, c.audio) << discovered;
    const std::map<std::string, std::string> sound = testing::FfProbe(folder_.Prefix() + "m3.webm", "a");
    EXPECT_EQ(sound.count("codec_name") ? sound.at("codec_name") : "", c.audio ? "vorbis" : "");
  }
}

}  // namespace
}  // namespace corvalind

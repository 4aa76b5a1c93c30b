// The recorder: the sync controller's arithmetic (its cases and a long run
// against a drifting audio clock), the encoder lists, and recordings of a
// published program through the camera element into AVI and Matroska that
// read back whole with every frame the meter counted.
#include <gtest/gtest.h>
#include <gst/gst.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/recorder.h"
#include "engine/image_layer_hooks.h"
#include "engine/program_output_loop.h"
#include "engine/source_slot.h"
#include "engine/video_engine.h"
#include "platform/output_block.h"
#include "studio/shared_output_target.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

namespace fs = std::filesystem;
using testing::WaitFor;

constexpr uint32_t kBytesPerSecond = 48000 * 4;

SyncReading Reading(uint64_t frames, double audioSeconds) {
  SyncReading reading;
  reading.videoFrames = frames;
  reading.videoRate = 25.0;
  reading.audioBytes = static_cast<uint64_t>(std::llround(audioSeconds * kBytesPerSecond));
  reading.audioBytesPerSecond = kBytesPerSecond;
  reading.frameRate = 25;
  return reading;
}

TEST(AvSyncTest, TheFirstCheckMeasuresTheOffsetAndLaterOnesSteerAgainstIt) {
  SyncState state;
  EXPECT_FALSE(AvSyncStep(Reading(99, 3.0), state, 100.0).acted) << "fewer than 100 frames";
  EXPECT_EQ(state.offset, 1000.0);

  // 250 frames (10 s) against 9.8 s of sound: the offset is 0.2 and so is d.
  SyncStep first = AvSyncStep(Reading(250, 9.8), state, 100.0);
  ASSERT_TRUE(first.acted);
  EXPECT_NEAR(state.offset, 0.2, 1e-9);
  EXPECT_NEAR(first.difference, 0.2, 1e-9);
  EXPECT_EQ(first.speed, 102.0);
  EXPECT_EQ(first.line, "a/v:100.00(102.00) fps:25.00 a:9.80 o:0.20 v:10.00 d:0.20 df:0.00");

  struct Case {
    double audioSeconds;  // before the offset is added
    double current;
    double speed;
  };
  const Case cases[] = {
      {19.75, 102.0, 102.0},  // 19.95 s: d = 0.05, the current speed stays
      {19.75, 98.0, 98.0},
      {19.6, 100.0, 102.0},   // 19.8 s: d = 0.2, audio must catch up
      {20.0, 100.0, 98.0},    // 20.2 s: d = -0.2
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.audioSeconds);
    SyncState later{0.2, 100.0};
    const SyncStep step = AvSyncStep(Reading(500, c.audioSeconds), later, c.current);
    ASSERT_TRUE(step.acted);
    EXPECT_NEAR(step.audio, c.audioSeconds + 0.2, 1e-9);
    EXPECT_EQ(step.previous, c.current);
    EXPECT_EQ(step.speed, c.speed);
    EXPECT_EQ(later.percent, c.speed);
    EXPECT_NEAR(later.offset, 0.2, 1e-12) << "only the first check sets it";
  }
}

// An hour of checks every 5 s with a sound card whose clock runs 0.3 %
// fast, the speed stage scaling the sound it passes on: after the first
// minute the difference stays within the 0.1 s dead band plus one step's
// correction (2 % of 5 s) and one period's drift (0.3 % of 5 s).
TEST(AvSyncTest, AnHourAgainstADriftingAudioClockStaysInSync) {
  SyncState state;
  double speed = 100.0;
  double audioBytes = 0;
  double worst = 0;
  const double drift = 1.003;
  for (int check = 1; check <= 720; ++check) {
    audioBytes += 5.0 * kBytesPerSecond * drift * speed / 100.0;
    SyncReading reading = Reading(static_cast<uint64_t>(check) * 125, 0);
    reading.audioBytes = static_cast<uint64_t>(audioBytes);
    const SyncStep step = AvSyncStep(reading, state, speed);
    ASSERT_TRUE(step.acted);
    speed = step.speed;
    if (check > 12) worst = std::max(worst, std::fabs(step.difference));
  }
  EXPECT_LE(worst, 0.1 + 0.1 + 0.015 + 1e-9);
  EXPECT_GT(worst, 0.0);
}

TEST(RecorderTest, EncoderListsComeSortedFromTheInstalledFactories) {
  for (const auto& list : {VideoEncoders(), AudioEncoders()}) {
    ASSERT_FALSE(list.empty());
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end(),
                               [](const EncoderEntry& a, const EncoderEntry& b) { return a.factory < b.factory; }));
  }
  const std::vector<EncoderEntry> video = VideoEncoders();
  EXPECT_TRUE(std::any_of(video.begin(), video.end(), [](const EncoderEntry& e) { return e.factory == "vp8enc"; }));
  const std::vector<EncoderEntry> audio = AudioEncoders();
  EXPECT_TRUE(std::any_of(audio.begin(), audio.end(), [](const EncoderEntry& e) { return e.factory == "vorbisenc"; }));
  EXPECT_FALSE(std::any_of(video.begin(), video.end(), [](const EncoderEntry& e) { return e.factory == "vorbisenc"; }));
}

std::string LongName(const std::vector<EncoderEntry>& list, const std::string& factory) {
  for (const EncoderEntry& entry : list) {
    if (entry.factory == factory) return entry.longName;
  }
  return {};
}

// Frames and the size of the first, decoding the file back.
struct ReadBack {
  int frames = 0;
  int width = 0;
  int height = 0;
  bool complete = false;  // reached its end without an error
};
ReadBack Decode(const std::string& path) {
  ReadBack back;
  const std::string description = "filesrc location=" + path + " ! decodebin ! videoconvert ! appsink name=sink sync=false";
  GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
  if (!pipeline) return back;
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  g_object_set(sink, "emit-signals", FALSE, nullptr);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  for (;;) {
    GstSample* sample = nullptr;
    g_signal_emit_by_name(sink, "try-pull-sample", static_cast<GstClockTime>(5 * GST_SECOND), &sample);
    if (!sample) break;
    if (back.frames++ == 0) {
      const GstStructure* structure = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
      gst_structure_get_int(structure, "width", &back.width);
      gst_structure_get_int(structure, "height", &back.height);
    }
    gst_sample_unref(sample);
  }
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* end = gst_bus_timed_pop_filtered(bus, GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  back.complete = end && GST_MESSAGE_TYPE(end) == GST_MESSAGE_EOS;
  if (end) gst_message_unref(end);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
  return back;
}

class RecordingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("corvalind-recorder-" + std::to_string(getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    // The camera element takes its size from the settings file: the
    // default 640 x 480 here.
    format_.SetSize(640, 480);
    format_.SetFrameRate(25);
    engine_ = VideoEngine::Create(slots_, format_, layers_);
    VideoZone zone;
    zone.placement = VIDPOS_FULLSCREEN_NAR;
    zone.sourceId = 0;
    zone.widthFrac = zone.heightFrac = 100;
    engine_->StoreScene({zone}, "recorded", -1);
    bufferName_ = "CorvalindRecorderTest_" + std::to_string(getpid());
    loop_ = std::make_unique<ProgramOutputLoop>(
        format_, std::make_unique<SharedOutputTarget>(bufferName_, format_.frameBytes), engine_.get());
    ASSERT_TRUE(WaitFor([&] { return loop_->Publishing(); }));
    // A changing program: a new picture every few milliseconds.
    feeding_ = true;
    feeder_ = std::thread([this] {
      std::vector<uint8_t> picture(640 * 480 * 3);
      for (uint8_t tag = 0; feeding_.load(); ++tag) {
        std::fill(picture.begin(), picture.end(), tag);
        slots_.DeliverFrame(false, 0, picture.data(), static_cast<uint32_t>(picture.size()), 640, 480);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
  }
  void TearDown() override {
    feeding_ = false;
    if (feeder_.joinable()) feeder_.join();
    loop_.reset();
    fs::remove_all(folder_);
  }
  std::string Path(const std::string& name) const { return (folder_ / name).string(); }

  fs::path folder_;
  OutputFormat format_;
  SourceSlotTable slots_;
  ImageLayerHooks layers_;
  std::unique_ptr<VideoEngine> engine_;
  std::string bufferName_;
  std::unique_ptr<ProgramOutputLoop> loop_;
  std::atomic<bool> feeding_{false};
  std::thread feeder_;
};

TEST_F(RecordingTest, TheProgramIsRecordedWholeIntoAviAndMatroska) {
  struct Case {
    const char* file;
    bool matroska;
    const char* muxer;
  };
  for (const Case& c : {Case{"program.avi", false, "avimux"}, Case{"program.mkv", true, "matroskamux"}}) {
    SCOPED_TRACE(c.file);
    Recorder recorder;
    ASSERT_TRUE(recorder.SetVideoEncoder(LongName(VideoEncoders(), "vp8enc")));
    ASSERT_EQ(recorder.Start(Path(c.file), c.matroska, bufferName_), Recorder::StartResult::kStarted) << recorder.Message();
    EXPECT_EQ(recorder.MuxerFactory(), c.muxer);
    ASSERT_TRUE(WaitFor([&] { return recorder.VideoStats().samples >= 40; }));
    recorder.Stop();
    EXPECT_FALSE(recorder.Recording());
    const FlowStats counted = recorder.VideoStats();
    const ReadBack back = Decode(Path(c.file));
    EXPECT_TRUE(back.complete);
    EXPECT_EQ(back.width, 640);
    EXPECT_EQ(back.height, 480);
    EXPECT_EQ(static_cast<uint64_t>(back.frames), counted.samples) << "every counted frame is in the file";
    EXPECT_GT(counted.bytes, counted.samples * 100);
  }
  // The recorders are gone and hold the program's buffer no more: it goes
  // with the studio's output.
  loop_.reset();
  OutputBlock reader;
  EXPECT_FALSE(OpenOutputBlock(reader, bufferName_)) << "the block outlived the studio";
  ReleaseOutputBlock(reader);
}

TEST_F(RecordingTest, MissingChoicesAndBadPathsAreRefusedBeforeAnythingRuns) {
  Recorder recorder;
  EXPECT_EQ(recorder.Start(Path("a.avi"), false, bufferName_), Recorder::StartResult::kNoVideoEncoder);
  ASSERT_TRUE(recorder.SetVideoEncoder(LongName(VideoEncoders(), "vp8enc")));
  EXPECT_FALSE(recorder.SetVideoEncoder("No Such Encoder"));
  EXPECT_FALSE(recorder.HasVideoEncoder());
  ASSERT_TRUE(recorder.SetVideoEncoder(LongName(VideoEncoders(), "vp8enc")));
  EXPECT_EQ(recorder.Start("", false, bufferName_), Recorder::StartResult::kNoOutput);
  EXPECT_EQ(recorder.Start(Path("missing/a.avi"), false, bufferName_), Recorder::StartResult::kFailed);
  EXPECT_EQ(recorder.Message(), "Please, use correct filename");
  EXPECT_FALSE(recorder.Recording());
  // The old file goes at the start.
  std::ofstream(Path("old.avi")) << "old";
  ASSERT_EQ(recorder.Start(Path("old.avi"), false, bufferName_), Recorder::StartResult::kStarted) << recorder.Message();
  recorder.Stop();
  EXPECT_NE(testing::ReadBytes(Path("old.avi")), "old");
  // An encoder the container cannot carry is refused, not written.
  const std::string h265 = LongName(VideoEncoders(), "x265enc");
  if (!h265.empty()) {
    ASSERT_TRUE(recorder.SetVideoEncoder(h265));
    EXPECT_EQ(recorder.Start(Path("h265.avi"), false, bufferName_), Recorder::StartResult::kFailed);
    EXPECT_EQ(recorder.Message(), "Cannot RenderStream (video)!");
    EXPECT_FALSE(recorder.Recording());
    ASSERT_EQ(recorder.Start(Path("h265.mkv"), true, bufferName_), Recorder::StartResult::kStarted) << recorder.Message();
    recorder.Stop();
  }
}

TEST_F(RecordingTest, ARemovedOutputFolderStopsTheRecordingWithAReason) {
  Recorder recorder;
  ASSERT_TRUE(recorder.SetVideoEncoder(LongName(VideoEncoders(), "vp8enc")));
  fs::create_directories(folder_ / "takes");
  ASSERT_EQ(recorder.Start(Path("takes/take.mkv"), true, bufferName_), Recorder::StartResult::kStarted);
  ASSERT_TRUE(WaitFor([&] { return recorder.VideoStats().samples >= 5; }));
  EXPECT_FALSE(recorder.CheckFailure());
  fs::remove_all(folder_ / "takes");
  EXPECT_TRUE(recorder.CheckFailure());
  EXPECT_FALSE(recorder.Recording());
  EXPECT_EQ(recorder.Message(), "Recording stopped: the output file or its folder was removed");
  EXPECT_FALSE(recorder.CheckFailure()) << "said once";
}

TEST_F(RecordingTest, SoundFromAMicrophoneIsRecordedAndSteered) {
  Recorder recorder;
  ASSERT_TRUE(recorder.SetVideoEncoder(LongName(VideoEncoders(), "vp8enc")));
  ASSERT_TRUE(recorder.SetAudioSource("Fake Microphone"));
  EXPECT_FALSE(recorder.SetAudioSource("No Such Microphone"));
  EXPECT_FALSE(recorder.HasAudioSource());
  ASSERT_TRUE(recorder.SetAudioSource("Fake Microphone"));
  EXPECT_EQ(recorder.Start(Path("sound.mkv"), true, bufferName_), Recorder::StartResult::kNoAudioEncoder);

  // Opus has no place in AVI: refused, nothing written.
  const std::string opus = LongName(AudioEncoders(), "opusenc");
  if (!opus.empty()) {
    ASSERT_TRUE(recorder.SetAudioEncoder(opus));
    EXPECT_EQ(recorder.Start(Path("opus.avi"), false, bufferName_), Recorder::StartResult::kFailed);
    EXPECT_EQ(recorder.Message(), "Cannot RenderStream (audio)!");
  }
  ASSERT_TRUE(recorder.SetAudioEncoder(LongName(AudioEncoders(), "vorbisenc")));
  ASSERT_EQ(recorder.Start(Path("sound.mkv"), true, bufferName_), Recorder::StartResult::kStarted) << recorder.Message();
  EXPECT_EQ(recorder.CheckSync(25), "") << "fewer than 100 frames";
  ASSERT_TRUE(WaitFor([&] { return recorder.VideoStats().samples >= 110; }));
  const std::string line = recorder.CheckSync(25);
  EXPECT_EQ(line.rfind("a/v:100.00(", 0), 0u) << line;
  EXPECT_GT(recorder.AudioBytesPerSecond(), 0u);
  EXPECT_GT(recorder.AudioStats().samples, 0u);
  recorder.Stop();
  const ReadBack back = Decode(Path("sound.mkv"));
  EXPECT_TRUE(back.complete);
  EXPECT_EQ(static_cast<uint64_t>(back.frames), recorder.VideoStats().samples);
}

}  // namespace
}  // namespace corvalind

// corvalindcamsrc as a black box in a pipeline: the one format it offers,
// what it refuses, the pictures it delivers (turned, mirrored, black before
// the studio, the last one after the studio left), the retry cadence and
// the time stamps.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "vcam/tests/vcam_test_support.h"

namespace corvalind {
namespace {

using testing::AsCameraSees;
using testing::PatternFrame;
using testing::PrivateBufferName;
using testing::TestWriter;
using testing::UseSettings;

struct Sample {
  std::vector<uint8_t> bytes;
  GstClockTime pts = GST_CLOCK_TIME_NONE;
  GstClockTime duration = GST_CLOCK_TIME_NONE;
  bool deltaUnit = false;
};

// A pipeline "corvalindcamsrc ! appsink" pulled one sample at a time.
class Camera {
 public:
  explicit Camera(const std::string& bufferName, const std::string& tail = "appsink name=sink sync=false") {
    GError* error = nullptr;
    const std::string description = "corvalindcamsrc name=cam buffer-name=" + bufferName + " ! " + tail;
    pipeline_ = gst_parse_launch(description.c_str(), &error);
    if (error) g_error_free(error);
    sink_ = pipeline_ ? gst_bin_get_by_name(GST_BIN(pipeline_), "sink") : nullptr;
  }
  ~Camera() {
    if (pipeline_) gst_element_set_state(pipeline_, GST_STATE_NULL);
    if (sink_) gst_object_unref(sink_);
    if (pipeline_) gst_object_unref(pipeline_);
  }
  bool Play() { return gst_element_set_state(pipeline_, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE; }
  void Stop() { gst_element_set_state(pipeline_, GST_STATE_NULL); }

  bool Pull(Sample* out) {
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink_), 5 * GST_SECOND);
    if (!sample) return false;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstMapInfo map;
    gst_buffer_map(buffer, &map, GST_MAP_READ);
    out->bytes.assign(map.data, map.data + map.size);
    gst_buffer_unmap(buffer, &map);
    out->pts = GST_BUFFER_PTS(buffer);
    out->duration = GST_BUFFER_DURATION(buffer);
    out->deltaUnit = GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    gst_sample_unref(sample);
    return true;
  }

  std::string NegotiatedCaps() {
    GstElement* cam = gst_bin_get_by_name(GST_BIN(pipeline_), "cam");
    GstPad* pad = gst_element_get_static_pad(cam, "src");
    GstCaps* caps = gst_pad_get_current_caps(pad);
    std::string text;
    if (caps) {
      gchar* s = gst_caps_to_string(caps);
      text = s;
      g_free(s);
      gst_caps_unref(caps);
    }
    gst_object_unref(pad);
    gst_object_unref(cam);
    return text;
  }

  // Plays until the bus reports an error (true) or end of stream (false).
  bool FailsToNegotiate() {
    Play();
    GstBus* bus = gst_element_get_bus(pipeline_);
    GstMessage* message = gst_bus_timed_pop_filtered(
        bus, 5 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS));
    const bool error = message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR;
    if (message) gst_message_unref(message);
    gst_object_unref(bus);
    return error;
  }

  GstElement* pipeline_ = nullptr;
  GstElement* sink_ = nullptr;
};

TEST(CameraElementTest, OffersExactlyTheConfiguredFormat) {
  struct Case {
    const char* settings;
    const char* caps;
  } cases[] = {
      {"6,2,0", "video/x-raw, format=(string)BGR, width=(int)640, height=(int)480, framerate=(fraction)25/1"},
      {"14,5,0", "video/x-raw, format=(string)BGR, width=(int)1920, height=(int)1080, framerate=(fraction)125/2"},
      {"3,3", "video/x-raw, format=(string)BGR, width=(int)428, height=(int)240, framerate=(fraction)1000/33"},
      {"20,9,1", "video/x-raw, format=(string)BGR, width=(int)640, height=(int)480, framerate=(fraction)25/1"},
  };
  for (const Case& c : cases) {
    UseSettings(c.settings);
    Camera camera(PrivateBufferName("caps"));
    ASSERT_TRUE(camera.Play());
    Sample sample;
    ASSERT_TRUE(camera.Pull(&sample));
    EXPECT_EQ(camera.NegotiatedCaps().rfind(c.caps, 0), 0u) << camera.NegotiatedCaps();
  }
}

TEST(CameraElementTest, RefusesOtherSizesAndFormats) {
  UseSettings("6,2,0");
  for (const char* filter : {"video/x-raw,width=320,height=240", "video/x-raw,format=RGB",
                             "video/x-raw,width=19,height=19", "video/x-raw,format=BGRx"}) {
    Camera camera(PrivateBufferName("refuse"), std::string(filter) + " ! fakesink");
    ASSERT_NE(camera.pipeline_, nullptr);
    EXPECT_TRUE(camera.FailsToNegotiate()) << filter;
  }
}

TEST(CameraElementTest, DeliversThePublishedPictureTurnedAndMirrored) {
  for (bool mirror : {false, true}) {
    UseSettings(mirror ? "1,5,1" : "1,5,0");  // 320 x 240 at 60
    const std::string name = PrivateBufferName(mirror ? "mirror" : "plain");
    TestWriter writer;
    ASSERT_TRUE(writer.Create(name, 320 * 240 * 3));
    const auto frame = PatternFrame(320, 240, mirror ? 5 : 1);
    writer.Publish(frame);
    Camera camera(name);
    ASSERT_TRUE(camera.Play());
    Sample sample;
    ASSERT_TRUE(camera.Pull(&sample));
    EXPECT_EQ(sample.bytes, AsCameraSees(frame, 320, 240, mirror)) << "mirror " << mirror;
    EXPECT_FALSE(sample.deltaUnit);
    const auto next = PatternFrame(320, 240, 77);
    writer.Publish(next);
    bool seen = false;
    for (int i = 0; i < 5 && !seen; ++i) {
      ASSERT_TRUE(camera.Pull(&sample));
      seen = sample.bytes == AsCameraSees(next, 320, 240, mirror);
    }
    EXPECT_TRUE(seen);
  }
}

TEST(CameraElementTest, BlackUntilTheStudioAppearsThenOpenedAtTheFpsthSample) {
  UseSettings("1,0,0");  // 320 x 240 at 10 frames per second
  const std::string name = PrivateBufferName("late");
  Camera camera(name);
  ASSERT_TRUE(camera.Play());
  Sample sample;
  ASSERT_TRUE(camera.Pull(&sample));
  EXPECT_EQ(sample.bytes, std::vector<uint8_t>(320 * 240 * 3, 0));
  // The studio starts now; the camera's 10th sample tries again and the
  // 11th (index 10) shows the picture.
  TestWriter writer;
  ASSERT_TRUE(writer.Create(name, 320 * 240 * 3));
  const auto frame = PatternFrame(320, 240, 3);
  writer.Publish(frame);
  const auto expected = AsCameraSees(frame, 320, 240, false);
  for (int index = 1; index <= 10; ++index) {
    ASSERT_TRUE(camera.Pull(&sample));
    if (index < 10) {
      ASSERT_EQ(sample.bytes, std::vector<uint8_t>(320 * 240 * 3, 0)) << index;
    } else {
      EXPECT_EQ(sample.bytes, expected);
    }
  }
}

TEST(CameraElementTest, TimeStampsStartAtZeroAndAreContiguousOnEveryStart) {
  UseSettings("0,5,0");  // 320 x 180, 16 ms
  Camera camera(PrivateBufferName("times"));
  for (int run = 0; run < 2; ++run) {
    ASSERT_TRUE(camera.Play());
    Sample sample;
    for (int i = 0; i < 8; ++i) {
      ASSERT_TRUE(camera.Pull(&sample));
      EXPECT_EQ(sample.pts, static_cast<GstClockTime>(i) * 16 * GST_MSECOND) << run << " " << i;
      EXPECT_EQ(sample.duration, 16 * GST_MSECOND);
    }
    camera.Stop();
  }
}

// The writer is another process; it leaves (normally, then by SIGKILL in
// the middle of publishing) while the camera streams.
TEST(CameraElementTest, KeepsTheLastPictureAndThePaceWhenTheStudioGoes) {
  UseSettings("1,5,0");
  for (bool killed : {false, true}) {
    const std::string name = PrivateBufferName(killed ? "killed" : "left");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t studio = fork();
    if (studio == 0) {
      TestWriter writer;
      if (!writer.Create(name, 320 * 240 * 3)) _exit(1);
      const auto a = PatternFrame(320, 240, 11), b = PatternFrame(320, 240, 12);
      writer.Publish(a);
      char c = 'x';
      if (write(ready[1], &c, 1) != 1) _exit(2);
      if (!killed) {
        usleep(300000);
        _exit(0);  // leaves; the camera holds the block
      }
      for (;;) writer.Publish((writer.counter & 1) ? a : b);  // until killed
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    Camera camera(name);
    ASSERT_TRUE(camera.Play());
    Sample sample;
    ASSERT_TRUE(camera.Pull(&sample));
    usleep(100000);
    if (killed) kill(studio, SIGKILL);
    int status = 0;
    waitpid(studio, &status, 0);
    // Drain what was produced before the studio went, then the picture
    // stays the same and samples keep their 16 ms spacing.
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(camera.Pull(&sample));
    const std::vector<uint8_t> last = sample.bytes;
    const GstClockTime lastPts = sample.pts;
    for (int i = 1; i <= 10; ++i) {
      ASSERT_TRUE(camera.Pull(&sample));
      EXPECT_EQ(sample.bytes, last);
      EXPECT_EQ(sample.pts, lastPts + static_cast<GstClockTime>(i) * 16 * GST_MSECOND);
    }
    if (!killed) {
      EXPECT_EQ(last, AsCameraSees(PatternFrame(320, 240, 11), 320, 240, false));
    }
    close(ready[0]);
    close(ready[1]);
  }
}

}  // namespace
}  // namespace corvalind

namespace corvalind {
namespace {

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(CameraElementTest, DiagnosticLogOnlyWhenSwitchedOnAndKeepsThePreviousRun) {
  UseSettings("13,3,1");
  const std::string log = ConfigFolder() + "/CorvalindCam.log";
  const std::string old = ConfigFolder() + "/CorvalindCamOLD.log";
  std::remove(log.c_str());
  std::remove(old.c_str());
  gst_object_unref(gst_element_factory_make("corvalindcamsrc", nullptr));
  EXPECT_FALSE(std::filesystem::exists(log));  // off by default

  setenv("CORVALIND_CAM_LOG", "1", 1);
  gst_object_unref(gst_element_factory_make("corvalindcamsrc", nullptr));
  const std::string first = ReadWhole(log);
  EXPECT_NE(first.find("  *** Orvik Corvalind v1.85  ***\r\n"), std::string::npos) << first;
  EXPECT_NE(first.find("  SETTINGS: 13 3 1\r\n"), std::string::npos) << first;
  EXPECT_NE(first.find("  ~CFramestore\r\n"), std::string::npos) << first;
  EXPECT_TRUE(std::regex_search(first, std::regex(R"(^\d\d:\d\d:\d\d:\d\d\d  \*\*\*)")));
  gst_object_unref(gst_element_factory_make("corvalindcamsrc", nullptr));
  EXPECT_EQ(ReadWhole(old), first);  // the previous run's log
  unsetenv("CORVALIND_CAM_LOG");
}

}  // namespace
}  // namespace corvalind

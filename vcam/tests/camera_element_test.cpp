// corvalindcamsrc as a black box in a pipeline: the one format it offers,
// what it refuses, the pictures it delivers (turned, mirrored, black before
// the studio, the last one after the studio left), the retry cadence, the
// time stamps, property calls during streaming, and the version it carries.
#include <gst/app/gstappsink.h>
#include <fcntl.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/version.h"
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

// A pipeline "corvalindcamsrc ! appsink" pulled one sample at a time. The
// appsink's callback copies each sample on the streaming thread and hands
// the copy over under the test's own lock, which the race detector sees
// (it cannot see GLib's).
class Camera {
 public:
  explicit Camera(const std::string& bufferName, const std::string& tail = "appsink name=sink sync=false") {
    GError* error = nullptr;
    const std::string description = "corvalindcamsrc name=cam buffer-name=" + bufferName + " ! " + tail;
    pipeline_ = gst_parse_launch(description.c_str(), &error);
    if (error) g_error_free(error);
    sink_ = pipeline_ ? gst_bin_get_by_name(GST_BIN(pipeline_), "sink") : nullptr;
    if (sink_ && GST_IS_APP_SINK(sink_)) {
      GstAppSinkCallbacks callbacks{};
      callbacks.new_sample = &Camera::OnNewSample;
      gst_app_sink_set_callbacks(GST_APP_SINK(sink_), &callbacks, this, nullptr);
    }
  }
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;
  ~Camera() {
    if (pipeline_) gst_element_set_state(pipeline_, GST_STATE_NULL);
    if (sink_) gst_object_unref(sink_);
    if (pipeline_) gst_object_unref(pipeline_);
  }
  bool Play() { return gst_element_set_state(pipeline_, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE; }
  GstElement* Pipeline() const { return pipeline_; }
  // Stops streaming and forgets the samples not pulled, as the appsink's
  // own queue is flushed.
  void Stop() {
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    std::lock_guard<std::mutex> guard(mutex_);
    samples_.clear();
  }

  // The next sample; false when none came within 5 seconds.
  bool Pull(Sample* out) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!arrived_.wait_for(lock, std::chrono::seconds(5), [this] { return !samples_.empty(); })) return false;
    *out = std::move(samples_.front());
    samples_.pop_front();
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

 private:
  static GstFlowReturn OnNewSample(GstAppSink* sink, gpointer data) {
    auto* self = static_cast<Camera*>(data);
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (!sample) return GST_FLOW_ERROR;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    Sample copy;
    GstMapInfo map;
    if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
      copy.bytes.assign(map.data, map.data + map.size);
      gst_buffer_unmap(buffer, &map);
    }
    copy.pts = GST_BUFFER_PTS(buffer);
    copy.duration = GST_BUFFER_DURATION(buffer);
    copy.deltaUnit = GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    gst_sample_unref(sample);
    {
      std::lock_guard<std::mutex> guard(self->mutex_);
      self->samples_.push_back(std::move(copy));
    }
    self->arrived_.notify_all();
    return GST_FLOW_OK;
  }

  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<Sample> samples_;
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

// Another process of the user cuts the block back to one byte under a
// playing camera: the program that opened the camera goes on (no SIGBUS),
// the camera serves black, and it shows the studio's picture again once
// the studio has made a fresh block under the name.
TEST(CameraElementTest, ABlockCutBackUnderThePlayingCameraGivesBlackUntilAFreshOne) {
  UseSettings("1,5,0");  // 320 x 240 at 60
  const std::string name = PrivateBufferName("cut");
  TestWriter writer;
  ASSERT_TRUE(writer.Create(name, 320 * 240 * 3));
  const auto frame = PatternFrame(320, 240, 9);
  writer.Publish(frame);
  Camera camera(name);
  ASSERT_TRUE(camera.Play());
  Sample sample;
  ASSERT_TRUE(camera.Pull(&sample));
  ASSERT_EQ(sample.bytes, AsCameraSees(frame, 320, 240, false));

  const int fd = shm_open(SharedMemoryObjectName(name).c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 1), 0);
  close(fd);
  const std::vector<uint8_t> black(320 * 240 * 3, 0);
  bool sawBlack = false;
  for (int i = 0; i < 10 && !sawBlack; ++i) {
    ASSERT_TRUE(camera.Pull(&sample)) << "the camera goes on";
    sawBlack = sample.bytes == black;
  }
  EXPECT_TRUE(sawBlack);

  // The studio's publisher finds its block cut back and makes a fresh one.
  ReleaseOutputBlock(writer.block);
  ASSERT_TRUE(writer.Create(name, 320 * 240 * 3));
  const auto again = PatternFrame(320, 240, 21);
  writer.Publish(again);
  bool recovered = false;
  // The camera opens the name again within a second (60 samples).
  for (int i = 0; i < 120 && !recovered; ++i) {
    ASSERT_TRUE(camera.Pull(&sample));
    recovered = sample.bytes == AsCameraSees(again, 320, 240, false);
  }
  EXPECT_TRUE(recovered);
}

// Open descriptors and mappings of the process: what a camera that leaks
// its block or its files leaves behind at every start.
int OpenDescriptors() {
  int n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}
int MappingsOf(const std::string& name) {
  std::ifstream maps("/proc/self/maps");
  int n = 0;
  for (std::string line; std::getline(maps, line);) n += line.find(name) != std::string::npos ? 1 : 0;
  return n;
}

// A thousand runs through the states, in the orders a host program takes
// them, while the studio comes and goes underneath (its block made,
// published into and let go of again and again, sometimes at another
// size): no state change hangs, and nothing the camera opens outlives it.
TEST(CameraElementTest, AThousandStateCyclesWithTheStudioComingAndGoingLeaveNothingBehind) {
  UseSettings("0,5,0");  // 320 x 180
  const std::string name = PrivateBufferName("cycles");
  std::atomic<bool> stop{false};
  std::thread studio([&] {
    TestWriter writer;
    int round = 0;
    while (!stop.load()) {
      const uint32_t size = (round++ % 7 == 6) ? 160 * 90 * 3 : 320 * 180 * 3;
      if (writer.Create(name, size)) {
        const auto frame = PatternFrame(size == 160 * 90 * 3 ? 160 : 320, size == 160 * 90 * 3 ? 90 : 180, round);
        for (int i = 0; i < 3 && !stop.load(); ++i) {
          writer.Publish(frame);
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ReleaseOutputBlock(writer.block);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  const auto cycle = [](Camera& camera, int round) {
    GstElement* pipeline = camera.Pipeline();
    switch (round % 4) {
      case 0:  // straight up and down
        for (GstState s : {GST_STATE_READY, GST_STATE_PAUSED, GST_STATE_PLAYING, GST_STATE_PAUSED, GST_STATE_READY,
                           GST_STATE_NULL}) {
          if (gst_element_set_state(pipeline, s) == GST_STATE_CHANGE_FAILURE) return false;
        }
        return true;
      case 1:  // playing and straight back to nothing
        return gst_element_set_state(pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE &&
               gst_element_set_state(pipeline, GST_STATE_NULL) != GST_STATE_CHANGE_FAILURE;
      case 2:  // paused and playing in turn
        for (GstState s : {GST_STATE_PLAYING, GST_STATE_PAUSED, GST_STATE_PLAYING, GST_STATE_PAUSED, GST_STATE_NULL}) {
          if (gst_element_set_state(pipeline, s) == GST_STATE_CHANGE_FAILURE) return false;
        }
        return true;
      default:  // ready and back
        return gst_element_set_state(pipeline, GST_STATE_READY) != GST_STATE_CHANGE_FAILURE &&
               gst_element_set_state(pipeline, GST_STATE_NULL) != GST_STATE_CHANGE_FAILURE;
    }
  };
  int descriptorsBefore = 0;
  {
    Camera camera(name, "fakesink sync=false");
    ASSERT_NE(camera.Pipeline(), nullptr);
    // A first run settles what GStreamer keeps for the process.
    for (int round = 0; round < 20; ++round) ASSERT_TRUE(cycle(camera, round));
    descriptorsBefore = OpenDescriptors();
    // Every tenth run streams for real before it goes down.
    std::atomic<int> buffers{0};
    GstElement* cam = gst_bin_get_by_name(GST_BIN(camera.Pipeline()), "cam");
    GstPad* pad = gst_element_get_static_pad(cam, "src");
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo*, gpointer data) {
          static_cast<std::atomic<int>*>(data)->fetch_add(1);
          return GST_PAD_PROBE_OK;
        },
        &buffers, nullptr);
    for (int round = 0; round < 1000; ++round) {
      if (round % 10 == 5) {
        const int before = buffers.load();
        ASSERT_NE(gst_element_set_state(camera.Pipeline(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (buffers.load() < before + 2 && std::chrono::steady_clock::now() < until) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_GE(buffers.load(), before + 2) << "round " << round << ": the camera streams";
      }
      ASSERT_TRUE(cycle(camera, round)) << "round " << round;
    }
    gst_object_unref(pad);
    gst_object_unref(cam);
  }
  stop.store(true);
  studio.join();
  EXPECT_LE(OpenDescriptors(), descriptorsBefore) << "no descriptor is left open";
  EXPECT_EQ(MappingsOf(SharedMemoryObjectName(name)), 0);
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

// A studio in a child process. The guard ends and reaps a child the test
// did not reap itself, so a failed assertion leaves no process behind.
struct ChildStudio {
  pid_t pid = -1;
  int ready[2] = {-1, -1};  // child to parent: the first picture is published
  int leave[2] = {-1, -1};  // parent to child: leave now (end of file too)

  ~ChildStudio() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    for (int fd : {ready[0], ready[1], leave[0], leave[1]}) {
      if (fd >= 0) close(fd);
    }
  }
  static void CloseEnd(int& fd) {
    close(fd);
    fd = -1;
  }
  void Reap() {
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
  }
};

// The writer is another process; it leaves (normally, then by SIGKILL in
// the middle of publishing) while the camera streams.
TEST(CameraElementTest, KeepsTheLastPictureAndThePaceWhenTheStudioGoes) {
  UseSettings("1,5,0");
  for (bool killed : {false, true}) {
    const std::string name = PrivateBufferName(killed ? "killed" : "left");
    ChildStudio studio;
    ASSERT_EQ(pipe(studio.ready), 0);
    ASSERT_EQ(pipe(studio.leave), 0);
    studio.pid = fork();
    ASSERT_GE(studio.pid, 0);
    if (studio.pid == 0) {
      close(studio.ready[0]);
      close(studio.leave[1]);
      TestWriter writer;
      if (!writer.Create(name, 320 * 240 * 3)) _exit(1);
      const auto a = PatternFrame(320, 240, 11), b = PatternFrame(320, 240, 12);
      writer.Publish(a);
      char c = 'x';
      if (write(studio.ready[1], &c, 1) != 1) _exit(2);
      if (!killed) {
        if (read(studio.leave[0], &c, 1) < 0) _exit(3);
        _exit(0);  // leaves; the camera holds the block
      }
      for (;;) writer.Publish((writer.counter & 1) ? a : b);  // until killed
    }
    ChildStudio::CloseEnd(studio.ready[1]);
    ChildStudio::CloseEnd(studio.leave[0]);
    char c = 0;
    ASSERT_EQ(read(studio.ready[0], &c, 1), 1);
    Camera camera(name);  // opens the block while the studio is there
    ASSERT_TRUE(camera.Play());
    Sample sample;
    ASSERT_TRUE(camera.Pull(&sample));
    if (killed) {
      // Killed in the middle of publishing: first the camera shows that it
      // follows the studio's pictures as they change.
      const std::vector<uint8_t> first = sample.bytes;
      bool changed = false;
      for (int i = 0; i < 100 && !changed; ++i) {
        ASSERT_TRUE(camera.Pull(&sample));
        changed = sample.bytes != first;
      }
      ASSERT_TRUE(changed);
      kill(studio.pid, SIGKILL);
    } else {
      ASSERT_EQ(write(studio.leave[1], &c, 1), 1);
    }
    studio.Reap();
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
  }
}

// Every buffer the camera pushes, copied by a probe on its source pad (on
// the streaming thread), and the id of the thread that pushes them.
class PushedSamples {
 public:
  PushedSamples() = default;
  PushedSamples(const PushedSamples&) = delete;
  PushedSamples& operator=(const PushedSamples&) = delete;
  ~PushedSamples() {
    if (pad_) {
      gst_pad_remove_probe(pad_, probe_);
      gst_object_unref(pad_);
    }
  }

  void Attach(GstElement* cam) {
    pad_ = gst_element_get_static_pad(cam, "src");
    probe_ = gst_pad_add_probe(pad_, GST_PAD_PROBE_TYPE_BUFFER, &PushedSamples::OnBuffer, this, nullptr);
  }

  std::size_t Count() {
    std::lock_guard<std::mutex> guard(mutex_);
    return pictures_.size();
  }
  // Waits until at least n buffers were pushed; false after 10 seconds.
  bool WaitForCount(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return pushed_.wait_for(lock, std::chrono::seconds(10), [&] { return pictures_.size() >= n; });
  }
  std::vector<std::vector<uint8_t>> Pictures() {
    std::lock_guard<std::mutex> guard(mutex_);
    return pictures_;
  }
  pid_t StreamingThread() {
    std::lock_guard<std::mutex> guard(mutex_);
    return streamingThread_;
  }

 private:
  static GstPadProbeReturn OnBuffer(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto* self = static_cast<PushedSamples*>(data);
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    std::vector<uint8_t> bytes;
    GstMapInfo map;
    if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
      bytes.assign(map.data, map.data + map.size);
      gst_buffer_unmap(buffer, &map);
    }
    {
      std::lock_guard<std::mutex> guard(self->mutex_);
      self->pictures_.push_back(std::move(bytes));
      self->streamingThread_ = gettid();
    }
    self->pushed_.notify_all();
    return GST_PAD_PROBE_OK;
  }

  GstPad* pad_ = nullptr;
  gulong probe_ = 0;
  std::mutex mutex_;
  std::condition_variable pushed_;
  std::vector<std::vector<uint8_t>> pictures_;
  pid_t streamingThread_ = 0;
};

// Waits until the thread is asleep (state S in /proc); false after 10
// seconds.
bool WaitUntilAsleep(pid_t thread) {
  const std::string path = "/proc/self/task/" + std::to_string(thread) + "/stat";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(path);
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t name = stat.rfind(')');  // the state follows "(name) "
    if (name != std::string::npos && name + 2 < stat.size() && stat[name + 2] == 'S') return true;
    std::this_thread::yield();
  }
  return false;
}

std::string BufferName(GstElement* cam) {
  gchar* value = nullptr;
  g_object_get(cam, "buffer-name", &value, nullptr);
  std::string name = value ? value : "";
  g_free(value);
  return name;
}

// While a sample waits for its frame instant, property calls from another
// thread are answered at once (before that sample is pushed), and a
// buffer-name change made meanwhile is read by that very sample.
TEST(CameraElementTest, PropertiesAnswerWhileASampleWaitsForItsFrameInstant) {
  UseSettings("1,0,0");  // 320 x 240 at 10 frames per second: 100 ms waits
  const std::string firstName = PrivateBufferName("firstStudio");
  const std::string secondName = PrivateBufferName("secondStudio");
  TestWriter firstStudio, secondStudio;
  ASSERT_TRUE(firstStudio.Create(firstName, 320 * 240 * 3));
  ASSERT_TRUE(secondStudio.Create(secondName, 320 * 240 * 3));
  const auto firstFrame = PatternFrame(320, 240, 31), secondFrame = PatternFrame(320, 240, 32);
  firstStudio.Publish(firstFrame);
  secondStudio.Publish(secondFrame);

  PushedSamples pushed;
  Camera camera(firstName, "fakesink name=sink sync=false");
  ASSERT_NE(camera.pipeline_, nullptr);
  GstElement* cam = gst_bin_get_by_name(GST_BIN(camera.pipeline_), "cam");
  pushed.Attach(cam);
  ASSERT_TRUE(camera.Play());
  // After the second push (the first one also waits for the pipeline to
  // finish going to playing) the streaming thread runs until the next
  // sample waits for its frame instant.
  ASSERT_TRUE(pushed.WaitForCount(2));
  ASSERT_TRUE(WaitUntilAsleep(pushed.StreamingThread()));
  const std::size_t before = pushed.Count();
  const std::string asRead = BufferName(cam);
  g_object_set(cam, "buffer-name", secondName.c_str(), nullptr);
  const std::string asChanged = BufferName(cam);
  const std::size_t after = pushed.Count();
  EXPECT_EQ(asRead, firstName);
  EXPECT_EQ(asChanged, secondName);
  EXPECT_EQ(after, before) << "the property calls waited for the sample";

  // The waiting sample was filled before the change; the next one reads
  // the new buffer.
  ASSERT_TRUE(pushed.WaitForCount(before + 2));
  const auto pictures = pushed.Pictures();
  EXPECT_TRUE(pictures[before] == AsCameraSees(firstFrame, 320, 240, false));
  EXPECT_TRUE(pictures[before + 1] == AsCameraSees(secondFrame, 320, 240, false))
      << "the sample after the change did not read the new buffer";
  camera.Stop();
  gst_object_unref(cam);
}

// buffer-name changed over and over from another thread while the camera
// streams: every sample is one whole picture of one of the two studios,
// never black, torn or read from a buffer already let go.
TEST(CameraElementTest, EverySampleIsOneWholePictureWhileTheBufferNameChanges) {
  UseSettings("0,5,0");  // 320 x 180 at 60
  const std::string names[2] = {PrivateBufferName("oneStudio"), PrivateBufferName("otherStudio")};
  TestWriter studios[2];
  std::vector<uint8_t> expected[2];
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(studios[i].Create(names[i], 320 * 180 * 3));
    const auto frame = PatternFrame(320, 180, 40 + i);
    studios[i].Publish(frame);
    expected[i] = AsCameraSees(frame, 320, 180, false);
  }

  PushedSamples pushed;
  Camera camera(names[0], "fakesink name=sink sync=false");
  ASSERT_NE(camera.pipeline_, nullptr);
  GstElement* cam = gst_bin_get_by_name(GST_BIN(camera.pipeline_), "cam");
  pushed.Attach(cam);
  ASSERT_TRUE(camera.Play());
  std::atomic<bool> done{false};
  std::thread changer([&] {
    for (unsigned i = 1; !done.load(); ++i) {
      g_object_set(cam, "buffer-name", names[i & 1].c_str(), nullptr);
    }
  });
  const bool streamed = pushed.WaitForCount(24);
  done = true;
  changer.join();
  ASSERT_TRUE(streamed);
  camera.Stop();

  int seen[2] = {0, 0};
  const auto pictures = pushed.Pictures();
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    const bool one = pictures[i] == expected[0], other = pictures[i] == expected[1];
    EXPECT_TRUE(one || other) << "sample " << i;
    seen[0] += one;
    seen[1] += other;
  }
  // The changes took effect while streaming.
  EXPECT_GT(seen[0], 0);
  EXPECT_GT(seen[1], 0);
  gst_object_unref(cam);
}

TEST(CameraElementTest, PluginCarriesTheProjectVersion) {
  GstPlugin* plugin = gst_registry_find_plugin(gst_registry_get(), "corvalindcam");
  ASSERT_NE(plugin, nullptr);
  EXPECT_STREQ(gst_plugin_get_version(plugin), kProductVersion);
  gst_object_unref(plugin);
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

// The fake cameras as the media toolkit meets them: the device monitor's
// list (order, caps, the nameless device, no other provider), hot-plug
// messages on a running monitor, every standard format streamed through
// the toolkit's own kind of graph into BGR pictures, the colour of the
// routed input, the crossbar and tuner properties, and the failures of a
// busy, a slow and an unplugged camera.
#include "capture/tests/fake_cameras.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "test_support/test_home.h"

#ifdef CORVALIND_SANITIZED
// GLib and GStreamer keep their type system, registry and caches for the
// life of the process; the leak checker would report them at every exit.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
// GLib and GStreamer are not built for the race detector, which cannot see
// their locks. Races in the fake cameras and in the tests are still
// reported.
extern "C" const char* __tsan_default_options() { return "ignore_noninstrumented_modules=1"; }
#endif

namespace corvalind::testing {
namespace {

// Far above what a passing run needs; only a hanging test reaches it.
constexpr GstClockTime kDeadline = 20 * GST_SECOND;

using Message = std::unique_ptr<GstMessage, void (*)(GstMessage*)>;

Message PopMessage(GstBus* bus, int types, GstClockTime timeout = kDeadline) {
  return Message(gst_bus_timed_pop_filtered(bus, timeout, static_cast<GstMessageType>(types)),
                 [](GstMessage* message) { gst_message_unref(message); });
}

struct ErrorText {
  GQuark domain = 0;
  int code = 0;
  std::string message;
  std::string debug;
};

ErrorText ParseError(GstMessage* message) {
  GError* error = nullptr;
  gchar* debug = nullptr;
  gst_message_parse_error(message, &error, &debug);
  ErrorText text{error->domain, error->code, error->message, debug ? debug : ""};
  g_error_free(error);
  g_free(debug);
  return text;
}

// A device's display name. The nameless device is made with a NULL
// display name, which GStreamer hands out as "".
std::string NameOf(GstDevice* device) {
  gchar* name = gst_device_get_display_name(device);
  std::string text = name ? name : "";
  g_free(name);
  return text;
}

// What the monitor lists for one device.
struct DeviceListing {
  std::string name;
  std::vector<std::string> caps;
};

// The standard devices as the capture code must see them.
const std::vector<DeviceListing>& StandardListing() {
  static const std::vector<DeviceListing> listing = {
      {"Fake Camera",
       {"video/x-raw,format=YUY2,width=160,height=120,framerate=30/1",
        "video/x-raw,format=YUY2,width=640,height=480,framerate={ 30/1, 25/1, 15/1 }",
        "video/x-raw,format=I420,width=1280,height=720,framerate=30/1",
        "image/jpeg,width=1920,height=1080,framerate=30/1"}},
      {"", {"video/x-raw,format=YUY2,width=640,height=480,framerate=30/1"}},
      {"Fake Tuner Card", {"video/x-raw,format=YUY2,width=720,height=576,framerate=25/1"}},
      {"Small Camera", {"video/x-raw,format=YUY2,width=320,height=240,framerate=30/1"}},
      {"Busy Camera", {"video/x-raw,format=YUY2,width=640,height=480,framerate=30/1"}},
      {"Slow Camera", {"video/x-raw,format=YUY2,width=640,height=480,framerate=30/1"}},
  };
  return listing;
}

std::vector<std::string> NamesOf(const std::vector<DeviceListing>& listing) {
  std::vector<std::string> names;
  for (const DeviceListing& device : listing) names.push_back(device.name);
  return names;
}

// A monitor of class Video/Source, as the toolkit makes it.
class Monitor {
 public:
  Monitor() : monitor_(gst_device_monitor_new()) {
    gst_device_monitor_add_filter(monitor_, "Video/Source", nullptr);
    bus_ = gst_device_monitor_get_bus(monitor_);
  }
  ~Monitor() {
    if (started_) gst_device_monitor_stop(monitor_);
    gst_object_unref(bus_);
    gst_object_unref(monitor_);
  }
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  bool Start() { return started_ = gst_device_monitor_start(monitor_); }
  void Stop() {
    gst_device_monitor_stop(monitor_);
    started_ = false;
  }
  GstBus* Bus() const { return bus_; }

  std::vector<std::string> Providers() const {
    std::vector<std::string> names;
    gchar** providers = gst_device_monitor_get_providers(monitor_);
    for (gchar** provider = providers; provider && *provider; ++provider) names.push_back(*provider);
    g_strfreev(providers);
    return names;
  }

  // The devices in the monitor's order; the caller owns the references.
  std::vector<GstDevice*> Devices() const {
    std::vector<GstDevice*> devices;
    GList* list = gst_device_monitor_get_devices(monitor_);
    for (GList* item = list; item; item = item->next) devices.push_back(GST_DEVICE(item->data));
    g_list_free(list);
    return devices;
  }

  std::vector<DeviceListing> Listing() const {
    std::vector<DeviceListing> listing;
    for (GstDevice* device : Devices()) {
      DeviceListing entry{NameOf(device), {}};
      GstCaps* caps = gst_device_get_caps(device);
      for (guint i = 0; caps && i < gst_caps_get_size(caps); ++i) {
        gchar* text = gst_structure_to_string(gst_caps_get_structure(caps, i));
        entry.caps.push_back(text);
        g_free(text);
      }
      if (caps) gst_caps_unref(caps);
      listing.push_back(entry);
      gst_object_unref(device);
    }
    return listing;
  }

  // The listed device `index`, referenced; null when there is none.
  GstDevice* Device(std::size_t index) const {
    GstDevice* found = nullptr;
    std::vector<GstDevice*> devices = Devices();
    for (std::size_t i = 0; i < devices.size(); ++i) {
      if (i == index) {
        found = devices[i];
      } else {
        gst_object_unref(devices[i]);
      }
    }
    return found;
  }

  GstDevice* DeviceNamed(const std::string& name) const {
    GstDevice* found = nullptr;
    for (GstDevice* device : Devices()) {
      if (!found && NameOf(device) == name) {
        found = device;
      } else {
        gst_object_unref(device);
      }
    }
    return found;
  }

  // The display name of the next device message of `type`. Fails when
  // none comes in time.
  ::testing::AssertionResult NextDeviceMessage(GstMessageType type, std::string* name) {
    Message message = PopMessage(bus_, type);
    if (!message)
      return ::testing::AssertionFailure() << "no " << gst_message_type_get_name(type) << " message";
    GstDevice* device = nullptr;
    if (type == GST_MESSAGE_DEVICE_ADDED) {
      gst_message_parse_device_added(message.get(), &device);
    } else {
      gst_message_parse_device_removed(message.get(), &device);
    }
    *name = NameOf(device);
    gst_object_unref(device);
    return ::testing::AssertionSuccess();
  }

 private:
  GstDeviceMonitor* monitor_;
  GstBus* bus_;
  bool started_ = false;
};

// Compares caps texts structure by structure, as GStreamer compares them.
void ExpectListing(const std::vector<DeviceListing>& expected, const std::vector<DeviceListing>& actual) {
  ASSERT_EQ(NamesOf(expected), NamesOf(actual));
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("device " + std::to_string(i + 1));
    ASSERT_EQ(expected[i].caps.size(), actual[i].caps.size());
    for (std::size_t j = 0; j < expected[i].caps.size(); ++j) {
      GstStructure* want = gst_structure_from_string(expected[i].caps[j].c_str(), nullptr);
      GstStructure* got = gst_structure_from_string(actual[i].caps[j].c_str(), nullptr);
      ASSERT_NE(want, nullptr);
      ASSERT_NE(got, nullptr);
      EXPECT_TRUE(gst_structure_is_equal(want, got)) << expected[i].caps[j] << " vs " << actual[i].caps[j];
      gst_structure_free(want);
      gst_structure_free(got);
    }
  }
}

struct Pixel {
  int b = 0, g = 0, r = 0;
};

struct Picture {
  int width = 0;
  int height = 0;
  Pixel first;
};

bool Near(const Pixel& a, const Pixel& b) {
  return std::abs(a.b - b.b) <= 24 && std::abs(a.g - b.g) <= 24 && std::abs(a.r - b.r) <= 24;
}

constexpr Pixel kWhite{255, 255, 255};
constexpr Pixel kRed{0, 0, 255};
constexpr Pixel kGreen{0, 255, 0};
constexpr Pixel kBlue{255, 0, 0};
constexpr Pixel kBlack{0, 0, 0};

// The capture graph the toolkit builds: the device's element, the chosen
// caps, a decoder for compressed caps, conversion to BGR, and a grabber.
class CameraGraph {
 public:
  CameraGraph(GstDevice* device, const std::string& caps) {
    const bool raw = caps.rfind("video/x-raw", 0) == 0;
    const std::string description = std::string("capsfilter name=chosen ! ") + (raw ? "" : "decodebin ! ") +
                                    "videoconvert ! video/x-raw,format=BGR ! "
                                    "appsink name=grabber sync=false max-buffers=1 drop=true";
    GError* error = nullptr;
    pipeline_ = gst_parse_launch(description.c_str(), &error);
    if (error) g_error_free(error);
    if (!pipeline_) return;
    bus_ = gst_element_get_bus(pipeline_);
    grabber_ = gst_bin_get_by_name(GST_BIN(pipeline_), "grabber");
    camera_ = gst_device_create_element(device, "camera");
    if (!camera_) return;
    gst_bin_add(GST_BIN(pipeline_), camera_);
    GstElement* chosen = gst_bin_get_by_name(GST_BIN(pipeline_), "chosen");
    caps_ = gst_caps_from_string(caps.c_str());
    g_object_set(chosen, "caps", caps_, nullptr);
    linked_ = gst_element_link(camera_, chosen);
    gst_object_unref(chosen);
  }
  ~CameraGraph() {
    if (pipeline_) gst_element_set_state(pipeline_, GST_STATE_NULL);
    if (caps_) gst_caps_unref(caps_);
    if (grabber_) gst_object_unref(grabber_);
    if (bus_) gst_object_unref(bus_);
    if (pipeline_) gst_object_unref(pipeline_);
  }
  CameraGraph(const CameraGraph&) = delete;
  CameraGraph& operator=(const CameraGraph&) = delete;

  bool Built() const { return pipeline_ && camera_ && grabber_ && linked_; }
  GstElement* Camera() const { return camera_; }
  GstBus* Bus() const { return bus_; }

  GstStateChangeReturn SetState(GstState state) { return gst_element_set_state(pipeline_, state); }

  // Runs the graph and waits until it runs.
  ::testing::AssertionResult Play() {
    if (SetState(GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
      return ::testing::AssertionFailure() << "PLAYING refused" << PendingError();
    }
    GstState state = GST_STATE_VOID_PENDING;
    if (gst_element_get_state(pipeline_, &state, nullptr, kDeadline) == GST_STATE_CHANGE_FAILURE ||
        state != GST_STATE_PLAYING) {
      return ::testing::AssertionFailure()
             << "not PLAYING but " << gst_element_state_get_name(state) << PendingError();
    }
    return ::testing::AssertionSuccess();
  }

  // The next picture the grabber receives.
  std::optional<Picture> Grab(GstClockTime timeout = kDeadline) {
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(grabber_), timeout);
    if (!sample) return std::nullopt;
    Picture picture;
    const GstStructure* structure = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
    gst_structure_get_int(structure, "width", &picture.width);
    gst_structure_get_int(structure, "height", &picture.height);
    GstMapInfo map;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
      if (map.size >= 3) picture.first = {map.data[0], map.data[1], map.data[2]};
      gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
    return picture;
  }

  // Grabs until a picture starts with `colour`.
  ::testing::AssertionResult WaitForColour(const Pixel& colour) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::nanoseconds(kDeadline);
    Pixel last{-1, -1, -1};
    while (std::chrono::steady_clock::now() < end) {
      std::optional<Picture> picture = Grab(GST_SECOND);
      if (!picture) continue;
      if (Near(picture->first, colour)) return ::testing::AssertionSuccess();
      last = picture->first;
    }
    return ::testing::AssertionFailure()
           << "last first pixel BGR " << last.b << "," << last.g << "," << last.r;
  }

  bool GrabberEnded() const { return gst_app_sink_is_eos(GST_APP_SINK(grabber_)); }

  // The caps on the camera's output, or null.
  GstCaps* NegotiatedCaps() const {
    GstPad* pad = gst_element_get_static_pad(camera_, "src");
    GstCaps* caps = gst_pad_get_current_caps(pad);
    gst_object_unref(pad);
    return caps;
  }
  GstCaps* ChosenCaps() const { return caps_; }

 private:
  std::string PendingError() {
    Message message = PopMessage(bus_, GST_MESSAGE_ERROR, 0);
    return message ? ": " + ParseError(message.get()).message : "";
  }

  GstElement* pipeline_ = nullptr;
  GstElement* camera_ = nullptr;  // owned by the pipeline
  GstElement* grabber_ = nullptr;
  GstBus* bus_ = nullptr;
  GstCaps* caps_ = nullptr;
  bool linked_ = false;
};

class FakeCameraTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetFakeCameras(); }
  void TearDown() override { ResetFakeCameras(); }
};

TEST_F(FakeCameraTest, MonitorListsOnlyTheStandardCamerasInOrderWithTheirCaps) {
  Monitor monitor;
  // The machine's own providers are kept out.
  EXPECT_EQ(monitor.Providers(), std::vector<std::string>{"corvalindfakecamprovider"});

  // Probed while nobody monitors.
  ExpectListing(StandardListing(), monitor.Listing());

  std::vector<GstDevice*> devices = monitor.Devices();
  for (GstDevice* device : devices) {
    gchar* deviceClass = gst_device_get_device_class(device);
    EXPECT_STREQ(deviceClass, "Video/Source");
    g_free(deviceClass);
    GstStructure* properties = gst_device_get_properties(device);
    ASSERT_NE(properties, nullptr);
    EXPECT_STREQ(gst_structure_get_string(properties, "device.api"), "fake");
    gst_structure_free(properties);
    gst_object_unref(device);
  }

  // Published by a started monitor: one device-added each, in order, and
  // the same list.
  ASSERT_TRUE(monitor.Start());
  for (const DeviceListing& expected : StandardListing()) {
    std::string name;
    ASSERT_TRUE(monitor.NextDeviceMessage(GST_MESSAGE_DEVICE_ADDED, &name));
    EXPECT_EQ(name, expected.name);
  }
  ExpectListing(StandardListing(), monitor.Listing());
}

TEST_F(FakeCameraTest, HotPlugIsPostedOnARunningMonitorAndResetRestoresTheOrder) {
  Monitor monitor;
  ASSERT_TRUE(monitor.Start());
  for (std::size_t i = 0; i < StandardListing().size(); ++i) {
    std::string name;
    ASSERT_TRUE(monitor.NextDeviceMessage(GST_MESSAGE_DEVICE_ADDED, &name));
  }

  std::string name;
  RemoveFakeCamera("Small Camera");
  ASSERT_TRUE(monitor.NextDeviceMessage(GST_MESSAGE_DEVICE_REMOVED, &name));
  EXPECT_EQ(name, "Small Camera");
  std::vector<DeviceListing> expected = StandardListing();
  expected.erase(expected.begin() + 3);
  ExpectListing(expected, monitor.Listing());

  // The nameless device goes by the empty name.
  RemoveFakeCamera("");
  ASSERT_TRUE(monitor.NextDeviceMessage(GST_MESSAGE_DEVICE_REMOVED, &name));
  EXPECT_EQ(name, "");
  expected.erase(expected.begin() + 1);

  // A repeated structure stays repeated.
  FakeCameraSpec hot;
  hot.name = "Hot Camera";
  hot.caps = {"video/x-raw,format=NV12,width=800,height=600,framerate=60/1",
              "video/x-raw,format=NV12,width=800,height=600,framerate=60/1",
              "video/x-raw,format=NV12,width=400,height=300,framerate=60/1"};
  AddFakeCamera(hot);
  ASSERT_TRUE(monitor.NextDeviceMessage(GST_MESSAGE_DEVICE_ADDED, &name));
  EXPECT_EQ(name, "Hot Camera");
  expected.push_back({"Hot Camera", hot.caps});
  ExpectListing(expected, monitor.Listing());

  ResetFakeCameras();
  ExpectListing(StandardListing(), monitor.Listing());
  monitor.Stop();
  ExpectListing(StandardListing(), monitor.Listing());
}

struct StreamCase {
  const char* label;
  std::size_t device;  // position in the standard list
  const char* caps;
  int width;
  int height;
};

void PrintTo(const StreamCase& stream, std::ostream* out) { *out << stream.label; }

const StreamCase kStreams[] = {
    {"FakeCamera_YUY2_160x120", 0, "video/x-raw,format=YUY2,width=160,height=120,framerate=30/1", 160, 120},
    {"FakeCamera_YUY2_640x480_ratelist", 0,
     "video/x-raw,format=YUY2,width=640,height=480,framerate={ 30/1, 25/1, 15/1 }", 640, 480},
    {"FakeCamera_YUY2_640x480_at15", 0, "video/x-raw,format=YUY2,width=640,height=480,framerate=15/1", 640,
     480},
    {"FakeCamera_I420_1280x720", 0, "video/x-raw,format=I420,width=1280,height=720,framerate=30/1", 1280,
     720},
    {"FakeCamera_JPEG_1920x1080", 0, "image/jpeg,width=1920,height=1080,framerate=30/1", 1920, 1080},
    {"Nameless_YUY2_640x480", 1, "video/x-raw,format=YUY2,width=640,height=480,framerate=30/1", 640, 480},
    {"TunerCard_YUY2_720x576", 2, "video/x-raw,format=YUY2,width=720,height=576,framerate=25/1", 720, 576},
    {"SmallCamera_YUY2_320x240", 3, "video/x-raw,format=YUY2,width=320,height=240,framerate=30/1", 320, 240},
    {"SlowCamera_YUY2_640x480", 5, "video/x-raw,format=YUY2,width=640,height=480,framerate=30/1", 640, 480},
};

class FakeCameraStreamTest : public FakeCameraTest, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(FakeCameraStreamTest, DeliversTheChosenCapsAsWhiteBgrPictures) {
  const StreamCase& stream = GetParam();
  Monitor monitor;
  GstDevice* device = monitor.Device(stream.device);
  ASSERT_NE(device, nullptr);
  CameraGraph graph(device, stream.caps);
  gst_object_unref(device);
  ASSERT_TRUE(graph.Built());

  ASSERT_TRUE(graph.Play());
  std::optional<Picture> picture = graph.Grab();
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, stream.width);
  EXPECT_EQ(picture->height, stream.height);
  EXPECT_TRUE(Near(picture->first, kWhite))
      << picture->first.b << "," << picture->first.g << "," << picture->first.r;

  GstCaps* negotiated = graph.NegotiatedCaps();
  ASSERT_NE(negotiated, nullptr);
  EXPECT_TRUE(gst_caps_is_fixed(negotiated));
  EXPECT_TRUE(gst_caps_is_subset(negotiated, graph.ChosenCaps())) << gst_caps_to_string(negotiated);
  gst_caps_unref(negotiated);
}

INSTANTIATE_TEST_SUITE_P(StandardCaps, FakeCameraStreamTest, ::testing::ValuesIn(kStreams),
                         [](const ::testing::TestParamInfo<StreamCase>& info) { return info.param.label; });

TEST_F(FakeCameraTest, PictureColourFollowsTheRoutedVideoInput) {
  FakeCameraSpec fourInputs;
  fourInputs.name = "Four Input Camera";
  fourInputs.caps = {"video/x-raw,format=YUY2,width=320,height=240,framerate=30/1"};
  fourInputs.videoInputs = {"One", "Two", "Three", "Four"};
  AddFakeCamera(fourInputs);
  Monitor monitor;
  GstDevice* device = monitor.DeviceNamed("Four Input Camera");
  ASSERT_NE(device, nullptr);
  CameraGraph graph(device, fourInputs.caps[0]);
  gst_object_unref(device);
  ASSERT_TRUE(graph.Built());
  ASSERT_TRUE(graph.Play());
  ASSERT_TRUE(graph.WaitForColour(kWhite));

  const struct {
    int input;
    Pixel colour;
  } steps[] = {{1, kRed}, {2, kGreen}, {3, kBlue}, {-1, kBlack}, {0, kWhite}};
  for (const auto& step : steps) {
    SCOPED_TRACE("video-input " + std::to_string(step.input));
    g_object_set(graph.Camera(), "video-input", step.input, nullptr);
    EXPECT_TRUE(graph.WaitForColour(step.colour));
  }
}

TEST_F(FakeCameraTest, CrossbarAndTunerPropertiesFollowTheDevice) {
  struct Expected {
    std::size_t device;
    const char* videoInputs;
    const char* audioInputs;
    const char* videoInputAudio;
    int audioInput;
    int frequency;
  };
  const Expected cases[] = {
      {0, "", "", "", -1, -1},
      {2, "Composite;S-Video;Tuner", "Line In;Tuner Audio", "0;-1;1", 0, 0},
  };
  Monitor monitor;
  for (const Expected& expected : cases) {
    SCOPED_TRACE("device " + std::to_string(expected.device + 1));
    GstDevice* device = monitor.Device(expected.device);
    ASSERT_NE(device, nullptr);
    GstElement* camera = GST_ELEMENT(gst_object_ref_sink(gst_device_create_element(device, nullptr)));
    gst_object_unref(device);
    GstElementFactory* factory = gst_element_get_factory(camera);
    ASSERT_NE(factory, nullptr);
    EXPECT_STREQ(gst_plugin_feature_get_name(GST_PLUGIN_FEATURE(factory)), "corvalindfakecamsrc");

    gchar *deviceName = nullptr, *videoInputs = nullptr, *audioInputs = nullptr, *videoInputAudio = nullptr;
    int videoInput = -2, audioInput = -2, frequency = -2, brightness = -1;
    gboolean exposureAuto = FALSE;
    g_object_get(camera, "device", &deviceName, "video-inputs", &videoInputs, "audio-inputs", &audioInputs,
                 "video-input-audio", &videoInputAudio, "video-input", &videoInput, "audio-input",
                 &audioInput, "frequency", &frequency, "brightness", &brightness, "exposure-auto",
                 &exposureAuto, nullptr);
    EXPECT_STREQ(deviceName, StandardListing()[expected.device].name.c_str());
    EXPECT_STREQ(videoInputs, expected.videoInputs);
    EXPECT_STREQ(audioInputs, expected.audioInputs);
    EXPECT_STREQ(videoInputAudio, expected.videoInputAudio);
    EXPECT_EQ(videoInput, 0);
    EXPECT_EQ(audioInput, expected.audioInput);
    EXPECT_EQ(frequency, expected.frequency);
    EXPECT_EQ(brightness, 128);
    EXPECT_TRUE(exposureAuto);
    g_free(deviceName);
    g_free(videoInputs);
    g_free(audioInputs);
    g_free(videoInputAudio);

    // Routes within the device's inputs and a tuner's channel are taken;
    // anything beyond them, and a frequency without a tuner, is not.
    const int videoCount = expected.videoInputs[0] ? 3 : 0;
    g_object_set(camera, "video-input", 1, "audio-input", 1, "frequency", 183250, nullptr);
    g_object_get(camera, "video-input", &videoInput, "audio-input", &audioInput, "frequency", &frequency,
                 nullptr);
    EXPECT_EQ(videoInput, videoCount ? 1 : 0);
    EXPECT_EQ(audioInput, expected.audioInput < 0 ? -1 : 1);
    EXPECT_EQ(frequency, expected.frequency < 0 ? -1 : 183250);
    g_object_set(camera, "video-input", 5, "audio-input", 4, nullptr);
    g_object_get(camera, "video-input", &videoInput, "audio-input", &audioInput, nullptr);
    EXPECT_EQ(videoInput, videoCount ? 1 : 0);
    EXPECT_EQ(audioInput, expected.audioInput < 0 ? -1 : 1);
    gst_object_unref(camera);
  }
}

TEST_F(FakeCameraTest, BusyCameraRefusesToStartWithResourceBusy) {
  Monitor monitor;
  GstDevice* device = monitor.DeviceNamed("Busy Camera");
  ASSERT_NE(device, nullptr);
  CameraGraph graph(device, StandardListing()[4].caps[0]);
  gst_object_unref(device);
  ASSERT_TRUE(graph.Built());

  EXPECT_EQ(graph.SetState(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  Message message = PopMessage(graph.Bus(), GST_MESSAGE_ERROR);
  ASSERT_TRUE(message);
  const ErrorText error = ParseError(message.get());
  EXPECT_EQ(error.domain, GST_RESOURCE_ERROR);
  EXPECT_EQ(error.code, GST_RESOURCE_ERROR_BUSY);
  EXPECT_EQ(error.message, "Device '/dev/fake-busy' is busy");
}

TEST_F(FakeCameraTest, SlowCameraHoldsItsStartBeforeItRuns) {
  Monitor monitor;
  GstDevice* device = monitor.DeviceNamed("Slow Camera");
  ASSERT_NE(device, nullptr);
  CameraGraph graph(device, StandardListing()[5].caps[0]);
  gst_object_unref(device);
  ASSERT_TRUE(graph.Built());

  ASSERT_EQ(graph.SetState(GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(graph.SetState(GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  ASSERT_TRUE(graph.Play());
  EXPECT_TRUE(graph.Grab());
}

TEST_F(FakeCameraTest, UnpluggingFailsTheRunningStreamsOfThatDeviceOnly) {
  Monitor monitor;
  GstDevice* unplugged = monitor.DeviceNamed("Fake Camera");
  GstDevice* other = monitor.DeviceNamed("Small Camera");
  ASSERT_NE(unplugged, nullptr);
  ASSERT_NE(other, nullptr);
  CameraGraph first(unplugged, StandardListing()[0].caps[0]);
  CameraGraph second(unplugged, StandardListing()[0].caps[2]);
  CameraGraph untouched(other, StandardListing()[3].caps[0]);
  gst_object_unref(other);
  ASSERT_TRUE(first.Built() && second.Built() && untouched.Built());
  ASSERT_TRUE(first.Play());
  ASSERT_TRUE(second.Play());
  ASSERT_TRUE(untouched.Play());
  ASSERT_TRUE(first.Grab());
  ASSERT_TRUE(second.Grab());

  RemoveFakeCamera("Fake Camera");
  for (CameraGraph* graph : {&first, &second}) {
    Message message = PopMessage(graph->Bus(), GST_MESSAGE_ERROR);
    ASSERT_TRUE(message);
    EXPECT_EQ(GST_MESSAGE_SRC(message.get()), GST_OBJECT(graph->Camera()));
    const ErrorText error = ParseError(message.get());
    EXPECT_EQ(error.domain, GST_RESOURCE_ERROR);
    EXPECT_EQ(error.code, GST_RESOURCE_ERROR_READ);
    EXPECT_EQ(error.message, "Could not read from resource.");
    EXPECT_NE(error.debug.find("unplugged"), std::string::npos) << error.debug;
    // The stream ended: the source stopped on its error and sent EOS.
    ASSERT_TRUE(PopMessage(graph->Bus(), GST_MESSAGE_EOS));
    while (graph->Grab(0)) {
    }
    EXPECT_TRUE(graph->GrabberEnded());
  }

  // The other camera goes on.
  EXPECT_TRUE(untouched.Grab());
  EXPECT_TRUE(untouched.Grab());
  EXPECT_FALSE(PopMessage(untouched.Bus(), GST_MESSAGE_ERROR, 0));

  // An element made from the gone device cannot open it.
  CameraGraph stale(unplugged, StandardListing()[0].caps[0]);
  gst_object_unref(unplugged);
  ASSERT_TRUE(stale.Built());
  EXPECT_EQ(stale.SetState(GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  Message message = PopMessage(stale.Bus(), GST_MESSAGE_ERROR);
  ASSERT_TRUE(message);
  EXPECT_EQ(ParseError(message.get()).code, GST_RESOURCE_ERROR_NOT_FOUND);
}

}  // namespace
}  // namespace corvalind::testing

int main(int argc, char** argv) {
  // A private home keeps GStreamer's registry cache out of the user's.
  corvalind::testing::TemporaryHome home("corvalind-fake-cameras");
  setenv("GST_REGISTRY", (home.Root() / "registry.bin").c_str(), 1);
  corvalind::testing::HideOtherDeviceProviders();
  gst_init(&argc, &argv);
  if (!corvalind::testing::RegisterFakeCameras()) {
    std::fprintf(stderr, "the fake cameras could not be registered\n");
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

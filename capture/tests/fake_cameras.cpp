// The fake-camera plugin: the device list the tests control, the device
// provider that publishes it, the devices, and the corvalindfakecamsrc
// element they create.
//
// Locking: the device list has one mutex (DeviceList::mutex). Every
// element has its own (FakeCamSrcState::mutex) for the model and the
// picture source it built; it is never held across a state change or a
// wait on a streaming thread, so a streaming thread inside the unplug probe
// cannot block a teardown. The two are never nested. Values read on
// streaming threads and written by the application are atomics.
//
// GStreamer calls the provider's probe, start and stop with its start lock
// held and they take the list's mutex; the list's mutex is held while
// devices are added and removed (which take the provider's object lock and
// post on the monitors' buses), and those paths never take the start lock,
// so the order is always start lock -> list mutex -> GStreamer's object
// locks.
#include "capture/tests/fake_cameras.h"

#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace corvalind::testing {
namespace {

constexpr char kPluginName[] = "corvalindfakecam";
constexpr char kElementName[] = "corvalindfakecamsrc";
constexpr char kProviderName[] = "corvalindfakecamprovider";
constexpr char kBusyDevicePath[] = "/dev/fake-busy";
constexpr auto kSlowStartTime = std::chrono::milliseconds(300);

// videotestsrc patterns: black, then the input colours white, red, green,
// blue.
constexpr int kPatternBlack = 2;
constexpr int kPatternWhite = 3;
constexpr int kInputColours = 4;

// Device providers a developer machine may have; GStreamer releases that
// apply GST_PLUGIN_FEATURE_RANK to device providers drop them from there.
constexpr const char* kMachineProviders[] = {
    "v4l2deviceprovider",   "pipewiredeviceprovider",  "pulsedeviceprovider",     "alsadeviceprovider",
    "libcameraprovider",    "decklinkdeviceprovider",  "corvalinddeviceprovider", "uvch264deviceprovider",
    "vulkandeviceprovider", "jackaudiodeviceprovider", "osxaudiodeviceprovider",  "avfdeviceprovider",
};

std::atomic<bool> hideOtherProviders{false};

// A plugged-in camera. The description never changes; `unplugged` turns
// true once, when the device leaves the list, and is read on streaming
// threads.
struct CameraModel {
  explicit CameraModel(FakeCameraSpec d) : description(std::move(d)) {}
  const FakeCameraSpec description;
  std::atomic<bool> unplugged{false};
};
using ModelPtr = std::shared_ptr<CameraModel>;

// The name messages use for a device.
std::string Label(const FakeCameraSpec& description) {
  return description.name.empty() ? "(nameless)" : description.name;
}

// The device's caps, one structure after the other: appended, so the
// order and any repeated structure stay as the description has them.
GstCaps* CapsOf(const FakeCameraSpec& description) {
  GstCaps* caps = gst_caps_new_empty();
  for (const std::string& text : description.caps) {
    GstStructure* structure = gst_structure_from_string(text.c_str(), nullptr);
    if (structure) {
      gst_caps_append_structure(caps, structure);
    } else {
      g_warning("fake camera '%s': caps '%s' do not parse", Label(description).c_str(), text.c_str());
    }
  }
  return caps;
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) {
    if (!text.empty()) text += ';';
    text += part;
  }
  return text;
}

std::string Joined(const std::vector<int>& values) {
  std::string text;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) text += ';';
    text += std::to_string(values[i]);
  }
  return text;
}

int PatternOfInput(int input) { return input < 0 ? kPatternBlack : kPatternWhite + input % kInputColours; }

// ---------------------------------------------------------------------------
// The device list.

struct Listed {
  ModelPtr model;
  // Our reference to the device published for it while the provider runs.
  GstDevice* device = nullptr;
};

struct DeviceList {
  std::mutex mutex;
  std::vector<Listed> cameras;            // listing order
  GstDeviceProvider* provider = nullptr;  // the started provider, or null
};

DeviceList& Devices() {
  // Never destroyed: GStreamer may still hold devices at exit.
  static DeviceList* list = [] {
    auto* created = new DeviceList;
    for (FakeCameraSpec& description : StandardFakeCameras()) {
      created->cameras.push_back({std::make_shared<CameraModel>(std::move(description))});
    }
    return created;
  }();
  return *list;
}

// The first plugged-in device of that name.
ModelPtr FindModel(const std::string& name) {
  DeviceList& list = Devices();
  std::lock_guard<std::mutex> guard(list.mutex);
  for (const Listed& camera : list.cameras) {
    if (camera.model->description.name == name) return camera.model;
  }
  return nullptr;
}

GstDevice* NewDevice(const ModelPtr& model);  // list mutex held

// Publishes a device for `camera` on the started provider. List mutex held.
void Publish(DeviceList& list, Listed& camera) {
  camera.device = GST_DEVICE(gst_object_ref_sink(NewDevice(camera.model)));
  gst_device_provider_device_add(list.provider, camera.device);
}

// Withdraws the published device of `camera`. List mutex held.
void Withdraw(DeviceList& list, Listed& camera) {
  if (!camera.device) return;
  if (list.provider) gst_device_provider_device_remove(list.provider, camera.device);
  gst_object_unref(camera.device);
  camera.device = nullptr;
}

// ---------------------------------------------------------------------------
// corvalindfakecamsrc: a bin around
//   videotestsrc is-live=true ! capsfilter(the picture) [! jpegenc] ! capsfilter(device caps)
// whose first part is built on READY->PAUSED, when downstream can say
// which of the device's caps it takes, and removed on PAUSED->READY. The
// last capsfilter is always there and the ghost pad "src" targets it, so
// caps queries answer the device's caps before a stream is built.

struct FakeCamSrcState {
  std::mutex mutex;  // guards model, device and the element pointers
  ModelPtr model;
  std::string device;
  GstElement* picture = nullptr;    // the videotestsrc of the stream
  std::vector<GstElement*> stream;  // the elements added for the stream
  std::atomic<int> videoInput{0};
  std::atomic<int> audioInput{-1};
  std::atomic<int> frequency{-1};
  std::atomic<int> brightness{128};
  std::atomic<bool> exposureAuto{true};
  std::atomic<bool> unplugReported{false};
};

struct GstCorvalindFakeCamSrc {
  GstBin parent;
  GstElement* deviceCaps;  // the capsfilter with the device's caps
  GstPad* src;
  FakeCamSrcState* state;
};

struct GstCorvalindFakeCamSrcClass {
  GstBinClass parent_class;
};

// Fake camera elements made and not yet finalized.
std::atomic<int> g_liveFakeCameraElements{0};

G_DEFINE_TYPE(GstCorvalindFakeCamSrc, gst_corvalind_fake_cam_src, GST_TYPE_BIN)

#define FAKE_CAM_SRC(obj) (reinterpret_cast<GstCorvalindFakeCamSrc*>(obj))

enum {
  PROP_0,
  PROP_DEVICE,
  PROP_VIDEO_INPUT,
  PROP_VIDEO_INPUTS,
  PROP_AUDIO_INPUT,
  PROP_AUDIO_INPUTS,
  PROP_VIDEO_INPUT_AUDIO,
  PROP_FREQUENCY,
  PROP_BRIGHTNESS,
  PROP_EXPOSURE_AUTO,
};

GstStaticPadTemplate srcTemplate =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-raw; image/jpeg"));

// Makes the element the given device's: its caps, inputs and tuner.
void AttachModel(GstCorvalindFakeCamSrc* self, const ModelPtr& model, const std::string& device) {
  FakeCamSrcState& state = *self->state;
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    state.model = model;
    state.device = device;
  }
  state.videoInput = 0;
  state.audioInput = model && !model->description.audioInputs.empty() ? 0 : -1;
  state.frequency = model ? model->description.frequency : -1;
  if (model) {
    GstCaps* caps = CapsOf(model->description);
    g_object_set(self->deviceCaps, "caps", caps, nullptr);
    gst_caps_unref(caps);
  }
}

ModelPtr ModelOf(GstCorvalindFakeCamSrc* self) {
  std::lock_guard<std::mutex> guard(self->state->mutex);
  return self->state->model;
}

// Streaming thread of the picture source: once the device is unplugged,
// report it as a camera does that went away, and end the stream.
GstPadProbeReturn UnplugProbe(GstPad*, GstPadProbeInfo* info, gpointer data) {
  GstCorvalindFakeCamSrc* self = FAKE_CAM_SRC(data);
  const ModelPtr model = ModelOf(self);
  if (!model || !model->unplugged.load(std::memory_order_acquire)) return GST_PAD_PROBE_OK;
  if (!self->state->unplugReported.exchange(true)) {
    GST_ELEMENT_ERROR(
        self, RESOURCE, READ, ("Could not read from resource."),
        ("Device '%s' was unplugged: reading a frame failed", Label(model->description).c_str()));
  }
  gst_buffer_unref(GST_PAD_PROBE_INFO_BUFFER(info));
  GST_PAD_PROBE_INFO_DATA(info) = nullptr;
  GST_PAD_PROBE_INFO_FLOW_RETURN(info) = GST_FLOW_ERROR;
  return GST_PAD_PROBE_HANDLED;
}

// The raw picture behind negotiated caps `chosen` (fixed).
GstCaps* PictureCaps(const GstStructure* chosen, bool jpeg) {
  if (!jpeg) return gst_caps_new_full(gst_structure_copy(chosen), nullptr);
  GstStructure* raw = gst_structure_new("video/x-raw", "format", G_TYPE_STRING, "I420", nullptr);
  for (const char* field : {"width", "height", "framerate", "pixel-aspect-ratio"}) {
    const GValue* value = gst_structure_get_value(chosen, field);
    if (value) gst_structure_set_value(raw, field, value);
  }
  return gst_caps_new_full(raw, nullptr);
}

void TearDownStream(GstCorvalindFakeCamSrc* self) {
  std::vector<GstElement*> stream;
  {
    std::lock_guard<std::mutex> guard(self->state->mutex);
    stream.swap(self->state->stream);
    self->state->picture = nullptr;
  }
  for (GstElement* element : stream) {
    gst_element_set_state(element, GST_STATE_NULL);
    gst_bin_remove(GST_BIN(self), element);
  }
  // Removing the last source child clears the bin's source flag; the
  // element stays a source.
  GST_OBJECT_FLAG_SET(self, GST_ELEMENT_FLAG_SOURCE);
}

// Chooses the caps (the first of the device's that downstream accepts,
// fixated) and builds the elements that produce them.
bool BuildStream(GstCorvalindFakeCamSrc* self, const ModelPtr& model) {
  const std::string label = Label(model->description);
  GstCaps* offered = CapsOf(model->description);
  GstCaps* accepted = gst_pad_peer_query_caps(self->src, offered);
  GstCaps* usable = gst_caps_intersect_full(offered, accepted, GST_CAPS_INTERSECT_FIRST);
  gst_caps_unref(accepted);
  gst_caps_unref(offered);
  if (gst_caps_is_empty(usable)) {
    gst_caps_unref(usable);
    GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("None of the device's formats is accepted downstream."),
                      ("device '%s'", label.c_str()));
    return false;
  }
  GstCaps* chosen = gst_caps_fixate(usable);
  const GstStructure* structure = gst_caps_get_structure(chosen, 0);
  const bool jpeg = gst_structure_has_name(structure, "image/jpeg");
  if (!jpeg && !gst_structure_has_name(structure, "video/x-raw")) {
    gchar* text = gst_caps_to_string(chosen);
    GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("The fake camera cannot produce this format."),
                      ("device '%s', caps %s", label.c_str(), text));
    g_free(text);
    gst_caps_unref(chosen);
    return false;
  }
  GstCaps* pictureCaps = PictureCaps(structure, jpeg);
  gst_caps_unref(chosen);

  GstElement* picture = gst_element_factory_make("videotestsrc", "picture");
  GstElement* pictureFilter = gst_element_factory_make("capsfilter", "picture-caps");
  GstElement* encoder = jpeg ? gst_element_factory_make("jpegenc", "encoder") : nullptr;
  if (!picture || !pictureFilter || (jpeg && !encoder)) {
    for (GstElement* element : {picture, pictureFilter, encoder}) {
      if (element) gst_object_unref(gst_object_ref_sink(element));
    }
    gst_caps_unref(pictureCaps);
    GST_ELEMENT_ERROR(self, CORE, MISSING_PLUGIN, ("videotestsrc, capsfilter or jpegenc is missing."),
                      (nullptr));
    return false;
  }
  g_object_set(picture, "is-live", TRUE, nullptr);
  g_object_set(pictureFilter, "caps", pictureCaps, nullptr);
  gst_caps_unref(pictureCaps);

  std::vector<GstElement*> stream{picture, pictureFilter};
  if (encoder) stream.push_back(encoder);
  for (GstElement* element : stream) gst_bin_add(GST_BIN(self), element);
  {
    std::lock_guard<std::mutex> guard(self->state->mutex);
    self->state->stream = stream;
    self->state->picture = picture;
    // Under the lock, so a video-input written meanwhile is not overtaken.
    g_object_set(picture, "pattern", PatternOfInput(self->state->videoInput.load()), nullptr);
  }
  self->state->unplugReported = false;

  bool linked = true;
  for (std::size_t i = 0; i + 1 < stream.size(); ++i)
    linked = linked && gst_element_link(stream[i], stream[i + 1]);
  linked = linked && gst_element_link(stream.back(), self->deviceCaps);
  if (!linked) {
    TearDownStream(self);
    GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("The fake camera's stream could not be linked."),
                      ("device '%s'", label.c_str()));
    return false;
  }

  GstPad* pad = gst_element_get_static_pad(picture, "src");
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, UnplugProbe, self, nullptr);
  gst_object_unref(pad);
  return true;
}

// READY->PAUSED opens the device as a camera does: gone, busy, slow, or a
// stream built for the caps downstream takes.
bool StartDevice(GstCorvalindFakeCamSrc* self) {
  const ModelPtr model = ModelOf(self);
  if (!model || model->unplugged.load(std::memory_order_acquire)) {
    std::string device;
    {
      std::lock_guard<std::mutex> guard(self->state->mutex);
      device = self->state->device;
    }
    GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("Cannot identify device '%s'.", device.c_str()),
                      ("%s", model ? "the device was unplugged" : "no fake camera has this name"));
    return false;
  }
  switch (model->description.behaviour) {
    case FakeCameraSpec::kBusy:
      GST_ELEMENT_ERROR(self, RESOURCE, BUSY, ("Device '%s' is busy", kBusyDevicePath),
                        ("Device '%s' is in use by another program", kBusyDevicePath));
      return false;
    case FakeCameraSpec::kSlowStart:
      std::this_thread::sleep_for(kSlowStartTime);
      break;
    case FakeCameraSpec::kNormal:
      break;
  }
  return BuildStream(self, model);
}

GstStateChangeReturn FakeCamSrcChangeState(GstElement* element, GstStateChange transition) {
  GstCorvalindFakeCamSrc* self = FAKE_CAM_SRC(element);
  if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) {
    TearDownStream(self);  // a stream left over from a failed start
    if (!StartDevice(self)) return GST_STATE_CHANGE_FAILURE;
  }
  const GstStateChangeReturn result =
      GST_ELEMENT_CLASS(gst_corvalind_fake_cam_src_parent_class)->change_state(element, transition);
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY ||
      (transition == GST_STATE_CHANGE_READY_TO_PAUSED && result == GST_STATE_CHANGE_FAILURE)) {
    TearDownStream(self);
  }
  return result;
}

void FakeCamSrcSetProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
  GstCorvalindFakeCamSrc* self = FAKE_CAM_SRC(object);
  FakeCamSrcState& state = *self->state;
  switch (id) {
    case PROP_DEVICE: {
      const gchar* name = g_value_get_string(value);
      AttachModel(self, name ? FindModel(name) : nullptr, name ? name : "");
      break;
    }
    case PROP_VIDEO_INPUT: {
      const int input = g_value_get_int(value);
      std::lock_guard<std::mutex> guard(state.mutex);
      const int count = state.model ? static_cast<int>(state.model->description.videoInputs.size()) : 0;
      if (count == 0 || input >= count) break;
      state.videoInput = input;
      if (state.picture) g_object_set(state.picture, "pattern", PatternOfInput(input), nullptr);
      break;
    }
    case PROP_AUDIO_INPUT: {
      const int input = g_value_get_int(value);
      const ModelPtr model = ModelOf(self);
      const int count = model ? static_cast<int>(model->description.audioInputs.size()) : 0;
      if (count > 0 && input < count) state.audioInput = input;
      break;
    }
    case PROP_FREQUENCY: {
      const int frequency = g_value_get_int(value);
      const ModelPtr model = ModelOf(self);
      if (model && model->description.frequency >= 0 && frequency >= 0) state.frequency = frequency;
      break;
    }
    case PROP_BRIGHTNESS:
      state.brightness = g_value_get_int(value);
      break;
    case PROP_EXPOSURE_AUTO:
      state.exposureAuto = g_value_get_boolean(value) != FALSE;
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
      break;
  }
}

void FakeCamSrcGetProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
  GstCorvalindFakeCamSrc* self = FAKE_CAM_SRC(object);
  FakeCamSrcState& state = *self->state;
  const ModelPtr model = ModelOf(self);
  switch (id) {
    case PROP_DEVICE: {
      std::lock_guard<std::mutex> guard(state.mutex);
      g_value_set_string(value, state.device.c_str());
      break;
    }
    case PROP_VIDEO_INPUT:
      g_value_set_int(value, state.videoInput.load());
      break;
    case PROP_VIDEO_INPUTS:
      g_value_set_string(value, model ? Joined(model->description.videoInputs).c_str() : "");
      break;
    case PROP_AUDIO_INPUT:
      g_value_set_int(value, state.audioInput.load());
      break;
    case PROP_AUDIO_INPUTS:
      g_value_set_string(value, model ? Joined(model->description.audioInputs).c_str() : "");
      break;
    case PROP_VIDEO_INPUT_AUDIO:
      g_value_set_string(value, model ? Joined(model->description.videoInputAudio).c_str() : "");
      break;
    case PROP_FREQUENCY:
      g_value_set_int(value, state.frequency.load());
      break;
    case PROP_BRIGHTNESS:
      g_value_set_int(value, state.brightness.load());
      break;
    case PROP_EXPOSURE_AUTO:
      g_value_set_boolean(value, state.exposureAuto.load());
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
      break;
  }
}

void FakeCamSrcFinalize(GObject* object) {
  // The last reference may go on a streaming thread. GLib's reference
  // count orders that after the state's last use, but the race detector
  // cannot see into GLib: taking the state's lock shows it the order.
  FakeCamSrcState* state = FAKE_CAM_SRC(object)->state;
  { std::lock_guard<std::mutex> guard(state->mutex); }
  delete state;
  G_OBJECT_CLASS(gst_corvalind_fake_cam_src_parent_class)->finalize(object);
  g_liveFakeCameraElements.fetch_sub(1);
}

void gst_corvalind_fake_cam_src_class_init(GstCorvalindFakeCamSrcClass* klass) {
  GObjectClass* objectClass = G_OBJECT_CLASS(klass);
  GstElementClass* elementClass = GST_ELEMENT_CLASS(klass);
  objectClass->set_property = FakeCamSrcSetProperty;
  objectClass->get_property = FakeCamSrcGetProperty;
  objectClass->finalize = FakeCamSrcFinalize;
  elementClass->change_state = FakeCamSrcChangeState;

  constexpr auto kRead = static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS);
  constexpr auto kLive =
      static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_PLAYING);
  g_object_class_install_property(
      objectClass, PROP_DEVICE,
      g_param_spec_string(
          "device", "Device", "Name of the fake camera this element is", nullptr,
          static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_CONSTRUCT_ONLY | G_PARAM_STATIC_STRINGS)));
  g_object_class_install_property(
      objectClass, PROP_VIDEO_INPUT,
      g_param_spec_int("video-input", "Video input", "The video input routed to the output (-1: none)", -1,
                       63, 0, kLive));
  g_object_class_install_property(objectClass, PROP_VIDEO_INPUTS,
                                  g_param_spec_string("video-inputs", "Video inputs",
                                                      "Names of the video inputs, joined by ';'", "", kRead));
  g_object_class_install_property(
      objectClass, PROP_AUDIO_INPUT,
      g_param_spec_int("audio-input", "Audio input", "The audio input routed to the output (-1: none)", -1,
                       63, -1, kLive));
  g_object_class_install_property(objectClass, PROP_AUDIO_INPUTS,
                                  g_param_spec_string("audio-inputs", "Audio inputs",
                                                      "Names of the audio inputs, joined by ';'", "", kRead));
  g_object_class_install_property(
      objectClass, PROP_VIDEO_INPUT_AUDIO,
      g_param_spec_string("video-input-audio", "Audio of the video inputs",
                          "For every video input its audio input (-1: none), joined by ';'", "", kRead));
  g_object_class_install_property(
      objectClass, PROP_FREQUENCY,
      g_param_spec_int("frequency", "Frequency", "The tuner's frequency (-1: the device has no tuner)", -1,
                       G_MAXINT, -1, kLive));
  g_object_class_install_property(
      objectClass, PROP_BRIGHTNESS,
      g_param_spec_int("brightness", "Brightness", "Picture brightness", 0, 255, 128, kLive));
  g_object_class_install_property(
      objectClass, PROP_EXPOSURE_AUTO,
      g_param_spec_boolean("exposure-auto", "Auto exposure", "Exposure chosen by the camera", TRUE, kLive));

  gst_element_class_add_static_pad_template(elementClass, &srcTemplate);
  gst_element_class_set_static_metadata(elementClass, "Fake camera source", "Source/Video",
                                        "A camera for tests: solid pictures in the device's formats",
                                        "Corvalind developers");
}

void gst_corvalind_fake_cam_src_init(GstCorvalindFakeCamSrc* self) {
  g_liveFakeCameraElements.fetch_add(1);
  self->state = new FakeCamSrcState;
  self->deviceCaps = gst_element_factory_make("capsfilter", "device-caps");
  gst_bin_add(GST_BIN(self), self->deviceCaps);
  GstPad* target = gst_element_get_static_pad(self->deviceCaps, "src");
  self->src = gst_ghost_pad_new_from_template(
      "src", target, gst_element_class_get_pad_template(GST_ELEMENT_GET_CLASS(self), "src"));
  gst_object_unref(target);
  gst_element_add_pad(GST_ELEMENT(self), self->src);
  GST_OBJECT_FLAG_SET(self, GST_ELEMENT_FLAG_SOURCE);
}

// ---------------------------------------------------------------------------
// The device: one fake camera; its element is a corvalindfakecamsrc made
// for exactly this camera.

struct GstCorvalindFakeCamDevice {
  GstDevice parent;
  ModelPtr* model;  // set at creation under the list mutex, then constant
};

struct GstCorvalindFakeCamDeviceClass {
  GstDeviceClass parent_class;
};

G_DEFINE_TYPE(GstCorvalindFakeCamDevice, gst_corvalind_fake_cam_device, GST_TYPE_DEVICE)

#define FAKE_CAM_DEVICE(obj) (reinterpret_cast<GstCorvalindFakeCamDevice*>(obj))

GstElement* FakeCamDeviceCreateElement(GstDevice* device, const gchar* name) {
  ModelPtr model;
  {
    std::lock_guard<std::mutex> guard(Devices().mutex);
    model = *FAKE_CAM_DEVICE(device)->model;
  }
  GstElementFactory* factory = gst_element_factory_find(kElementName);
  if (!factory) return nullptr;
  const gchar* names[2] = {"device", "name"};
  GValue values[2] = {G_VALUE_INIT, G_VALUE_INIT};
  g_value_init(&values[0], G_TYPE_STRING);
  g_value_set_string(&values[0], model->description.name.c_str());
  g_value_init(&values[1], G_TYPE_STRING);
  g_value_set_string(&values[1], name);
  GstElement* element = gst_element_factory_create_with_properties(factory, name ? 2 : 1, names, values);
  g_value_unset(&values[0]);
  g_value_unset(&values[1]);
  gst_object_unref(factory);
  // The name may be shared or empty; the device knows its own camera.
  if (element) AttachModel(FAKE_CAM_SRC(element), model, model->description.name);
  return element;
}

void FakeCamDeviceFinalize(GObject* object) {
  delete FAKE_CAM_DEVICE(object)->model;
  G_OBJECT_CLASS(gst_corvalind_fake_cam_device_parent_class)->finalize(object);
}

void gst_corvalind_fake_cam_device_class_init(GstCorvalindFakeCamDeviceClass* klass) {
  G_OBJECT_CLASS(klass)->finalize = FakeCamDeviceFinalize;
  GST_DEVICE_CLASS(klass)->create_element = FakeCamDeviceCreateElement;
}

void gst_corvalind_fake_cam_device_init(GstCorvalindFakeCamDevice* self) { self->model = nullptr; }

GstDevice* NewDevice(const ModelPtr& model) {
  const FakeCameraSpec& description = model->description;
  GstCaps* caps = CapsOf(description);
  GstStructure* properties =
      gst_structure_new("corvalind-fake-camera", "device.api", G_TYPE_STRING, "fake", nullptr);
  auto* device = static_cast<GstCorvalindFakeCamDevice*>(
      g_object_new(gst_corvalind_fake_cam_device_get_type(), "display-name",
                   description.name.empty() ? nullptr : description.name.c_str(), "device-class",
                   "Video/Source", "caps", caps, "properties", properties, nullptr));
  gst_caps_unref(caps);
  gst_structure_free(properties);
  device->model = new ModelPtr(model);
  return GST_DEVICE(device);
}

// ---------------------------------------------------------------------------
// The fake microphone: one "Audio/Source" device, "Fake Microphone", whose
// element is a live sine tone, so the recorder's sound path runs too.

struct GstCorvalindFakeMicDevice {
  GstDevice parent;
};

struct GstCorvalindFakeMicDeviceClass {
  GstDeviceClass parent_class;
};

G_DEFINE_TYPE(GstCorvalindFakeMicDevice, gst_corvalind_fake_mic_device, GST_TYPE_DEVICE)

GstElement* FakeMicCreateElement(GstDevice*, const gchar* name) {
  GstElement* element = gst_element_factory_make("audiotestsrc", name);
  if (element) g_object_set(element, "is-live", TRUE, "wave", 0, nullptr);
  return element;
}

void gst_corvalind_fake_mic_device_class_init(GstCorvalindFakeMicDeviceClass* klass) {
  GST_DEVICE_CLASS(klass)->create_element = FakeMicCreateElement;
}

void gst_corvalind_fake_mic_device_init(GstCorvalindFakeMicDevice*) {}

GstDevice* NewMicrophone() {
  GstCaps* caps = gst_caps_from_string("audio/x-raw");
  auto* device = GST_DEVICE(g_object_new(gst_corvalind_fake_mic_device_get_type(), "display-name", "Fake Microphone",
                                         "device-class", "Audio/Source", "caps", caps, nullptr));
  gst_caps_unref(caps);
  return device;
}

// The published microphone while the provider is started.
GstDevice* publishedMicrophone = nullptr;

// ---------------------------------------------------------------------------
// The provider: probes the list when nobody monitors, publishes it and its
// changes while started.

struct GstCorvalindFakeCamProvider {
  GstDeviceProvider parent;
};

struct GstCorvalindFakeCamProviderClass {
  GstDeviceProviderClass parent_class;
};

G_DEFINE_TYPE(GstCorvalindFakeCamProvider, gst_corvalind_fake_cam_provider, GST_TYPE_DEVICE_PROVIDER)

GList* FakeCamProviderProbe(GstDeviceProvider*) {
  DeviceList& list = Devices();
  std::lock_guard<std::mutex> guard(list.mutex);
  GList* devices = nullptr;
  for (const Listed& camera : list.cameras) devices = g_list_append(devices, NewDevice(camera.model));
  devices = g_list_append(devices, NewMicrophone());
  return devices;
}

gboolean FakeCamProviderStart(GstDeviceProvider* provider) {
  DeviceList& list = Devices();
  std::lock_guard<std::mutex> guard(list.mutex);
  list.provider = provider;
  for (Listed& camera : list.cameras) Publish(list, camera);
  publishedMicrophone = GST_DEVICE(gst_object_ref_sink(NewMicrophone()));
  gst_device_provider_device_add(provider, publishedMicrophone);
  return TRUE;
}

void FakeCamProviderStop(GstDeviceProvider*) {
  DeviceList& list = Devices();
  std::lock_guard<std::mutex> guard(list.mutex);
  // GStreamer drops the published devices itself after this.
  for (Listed& camera : list.cameras) {
    if (camera.device) gst_object_unref(camera.device);
    camera.device = nullptr;
  }
  if (publishedMicrophone) gst_object_unref(publishedMicrophone);
  publishedMicrophone = nullptr;
  list.provider = nullptr;
}

void gst_corvalind_fake_cam_provider_class_init(GstCorvalindFakeCamProviderClass* klass) {
  GstDeviceProviderClass* providerClass = GST_DEVICE_PROVIDER_CLASS(klass);
  providerClass->probe = FakeCamProviderProbe;
  providerClass->start = FakeCamProviderStart;
  providerClass->stop = FakeCamProviderStop;
  gst_device_provider_class_set_static_metadata(providerClass, "Fake Camera Provider", "Source/Video/Audio",
                                                "Lists the fake cameras of the tests",
                                                "Corvalind developers");
}

void gst_corvalind_fake_cam_provider_init(GstCorvalindFakeCamProvider*) {}

// ---------------------------------------------------------------------------

gboolean PluginInit(GstPlugin* plugin) {
  return gst_element_register(plugin, kElementName, GST_RANK_NONE, gst_corvalind_fake_cam_src_get_type()) &&
         gst_device_provider_register(plugin, kProviderName, GST_RANK_PRIMARY + 100,
                                      gst_corvalind_fake_cam_provider_get_type());
}

// Lowers every device provider factory but ours to rank NONE, which keeps
// it out of device monitors.
void DemoteOtherProviders() {
  GList* factories = gst_registry_get_feature_list(gst_registry_get(), GST_TYPE_DEVICE_PROVIDER_FACTORY);
  for (GList* item = factories; item; item = item->next) {
    GstPluginFeature* factory = GST_PLUGIN_FEATURE(item->data);
    if (g_strcmp0(gst_plugin_feature_get_name(factory), kProviderName) != 0) {
      gst_plugin_feature_set_rank(factory, GST_RANK_NONE);
    }
  }
  gst_plugin_feature_list_free(factories);
}

}  // namespace

std::vector<FakeCameraSpec> StandardFakeCameras() {
  std::vector<FakeCameraSpec> cameras(6);
  cameras[0].name = "Fake Camera";
  cameras[0].caps = {
      "video/x-raw,format=YUY2,width=160,height=120,framerate=30/1",
      "video/x-raw,format=YUY2,width=640,height=480,framerate={ 30/1, 25/1, 15/1 }",
      "video/x-raw,format=I420,width=1280,height=720,framerate=30/1",
      "image/jpeg,width=1920,height=1080,framerate=30/1",
  };
  cameras[1].caps = {"video/x-raw,format=YUY2,width=640,height=480,framerate=30/1"};
  cameras[2].name = "Fake Tuner Card";
  cameras[2].caps = {"video/x-raw,format=YUY2,width=720,height=576,framerate=25/1"};
  cameras[2].videoInputs = {"Composite", "S-Video", "Tuner"};
  cameras[2].audioInputs = {"Line In", "Tuner Audio"};
  cameras[2].videoInputAudio = {0, -1, 1};
  cameras[2].frequency = 0;
  cameras[3].name = "Small Camera";
  cameras[3].caps = {"video/x-raw,format=YUY2,width=320,height=240,framerate=30/1"};
  cameras[4].name = "Busy Camera";
  cameras[4].caps = {"video/x-raw,format=YUY2,width=640,height=480,framerate=30/1"};
  cameras[4].behaviour = FakeCameraSpec::kBusy;
  cameras[5].name = "Slow Camera";
  cameras[5].caps = {"video/x-raw,format=YUY2,width=640,height=480,framerate=30/1"};
  cameras[5].behaviour = FakeCameraSpec::kSlowStart;
  return cameras;
}

void HideOtherDeviceProviders() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::string ranks;
    const char* existing = std::getenv("GST_PLUGIN_FEATURE_RANK");
    if (existing && *existing) ranks = std::string(existing) + ",";
    for (const char* provider : kMachineProviders) ranks += std::string(provider) + ":NONE,";
    ranks.pop_back();
    setenv("GST_PLUGIN_FEATURE_RANK", ranks.c_str(), 1);
  });
  hideOtherProviders = true;
  if (gst_is_initialized()) DemoteOtherProviders();
}

bool RegisterFakeCameras() {
  static std::once_flag once;
  static bool registered = false;
  std::call_once(once, [] {
    if (!gst_is_initialized() && !gst_init_check(nullptr, nullptr, nullptr)) return;
    registered = gst_plugin_register_static(
        GST_VERSION_MAJOR, GST_VERSION_MINOR, kPluginName, "Fake cameras for the capture tests", PluginInit,
        "1.0", "Proprietary", "corvalind", "corvalind", "https://corvalind.invalid/");
  });
  if (registered && hideOtherProviders) DemoteOtherProviders();
  return registered;
}

void ResetFakeCameras() {
  DeviceList& list = Devices();
  std::lock_guard<std::mutex> guard(list.mutex);
  // Standard devices still plugged in keep their models (and so their
  // running elements); the rest are unplugged.
  std::vector<Listed> next;
  std::vector<bool> kept(list.cameras.size(), false);
  for (FakeCameraSpec& description : StandardFakeCameras()) {
    std::size_t found = list.cameras.size();
    for (std::size_t i = 0; i < list.cameras.size() && found == list.cameras.size(); ++i) {
      if (!kept[i] && list.cameras[i].model->description == description) found = i;
    }
    if (found < list.cameras.size()) {
      kept[found] = true;
      next.push_back({list.cameras[found].model});
    } else {
      next.push_back({std::make_shared<CameraModel>(std::move(description))});
    }
  }
  for (std::size_t i = 0; i < list.cameras.size(); ++i) {
    if (!kept[i]) list.cameras[i].model->unplugged = true;
  }
  // The published list must end in the standard order: devices up to the
  // first difference stay, the rest are withdrawn and published again.
  std::size_t same = 0;
  while (same < list.cameras.size() && same < next.size() && list.cameras[same].model == next[same].model) {
    next[same].device = list.cameras[same].device;
    ++same;
  }
  for (std::size_t i = same; i < list.cameras.size(); ++i) Withdraw(list, list.cameras[i]);
  if (list.provider) {
    for (std::size_t i = same; i < next.size(); ++i) Publish(list, next[i]);
  }
  list.cameras = std::move(next);
}

void RemoveFakeCamera(const std::string& name) {
  DeviceList& list = Devices();
  std::lock_guard<std::mutex> guard(list.mutex);
  for (auto camera = list.cameras.begin(); camera != list.cameras.end(); ++camera) {
    if (camera->model->description.name != name) continue;
    camera->model->unplugged = true;
    Withdraw(list, *camera);
    list.cameras.erase(camera);
    return;
  }
}

void AddFakeCamera(const FakeCameraSpec& description) {
  DeviceList& list = Devices();
  std::lock_guard<std::mutex> guard(list.mutex);
  list.cameras.push_back({std::make_shared<CameraModel>(description)});
  if (list.provider) Publish(list, list.cameras.back());
}

int LiveFakeCameraElements() { return g_liveFakeCameraElements.load(); }

}  // namespace corvalind::testing

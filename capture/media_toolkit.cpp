// Devices, capabilities, the capture-format choice, the grab hand-over and
// the row work of the media toolkit.
#include "capture/media_toolkit.h"

#include <gst/gst.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <numeric>
#include <thread>

#include "capture/media_internal.h"

namespace corvalind {

namespace {

// The longest entry a device combo box takes.
constexpr size_t kListEntryLimit = 100;

const char* CategoryClass(DeviceCategory category) {
  return category == DeviceCategory::kVideoInput ? "Video/Source" : "Audio/Source";
}

// One device monitor for the whole process, watching both categories,
// started once and never stopped: listing and watching use the same
// monitor, so the list a form shows and the changes it hears about always
// agree. GStreamer hands a provider's messages only to the monitor made
// last and stops them when any monitor of it is dropped, and one provider
// often serves both cameras and microphones, so there is exactly one. A
// thread of its own hands every device message to the watches of the
// device's category; it lives as long as the process.
class SharedMonitor {
 public:
  static SharedMonitor& Get() {
    static SharedMonitor* monitor = new SharedMonitor;
    return *monitor;
  }

  // The devices of a category in the monitor's order (owned references).
  std::vector<GstDevice*> Devices(DeviceCategory category) {
    std::vector<GstDevice*> devices;
    if (!monitor_) return devices;
    GList* list = gst_device_monitor_get_devices(monitor_);
    for (GList* item = list; item; item = item->next) {
      GstDevice* device = GST_DEVICE(item->data);
      if (gst_device_has_classes(device, CategoryClass(category))) {
        devices.push_back(device);
      } else {
        gst_object_unref(device);
      }
    }
    g_list_free(list);
    return devices;
  }

  bool Started() const { return started_; }

  int Subscribe(DeviceCategory category, std::function<void()> changed) {
    std::lock_guard<std::mutex> lock(mutex_);
    subscribers_.push_back({++lastId_, category, std::move(changed)});
    return lastId_;
  }
  // After it returns the subscriber's function is not running and is not
  // called again.
  void Unsubscribe(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(subscribers_, [id](const Subscriber& entry) { return entry.id == id; });
  }

 private:
  struct Subscriber {
    int id;
    DeviceCategory category;
    std::function<void()> changed;
  };

  SharedMonitor() {
    if (!InitMediaToolkit()) return;
    monitor_ = gst_device_monitor_new();
    if (!monitor_) return;
    gst_device_monitor_add_filter(monitor_, CategoryClass(DeviceCategory::kVideoInput), nullptr);
    gst_device_monitor_add_filter(monitor_, CategoryClass(DeviceCategory::kAudioInput), nullptr);
    started_ = gst_device_monitor_start(monitor_);
    if (!started_) return;  // listing still works by probing
    GstBus* bus = gst_device_monitor_get_bus(monitor_);
    std::thread([this, bus] {
      for (;;) {
        GstMessage* message = gst_bus_timed_pop_filtered(
            bus, GST_CLOCK_TIME_NONE,
            static_cast<GstMessageType>(GST_MESSAGE_DEVICE_ADDED | GST_MESSAGE_DEVICE_REMOVED |
                                        GST_MESSAGE_DEVICE_CHANGED));
        if (!message) continue;
        GstDevice* device = nullptr;
        switch (GST_MESSAGE_TYPE(message)) {
          case GST_MESSAGE_DEVICE_ADDED:
            gst_message_parse_device_added(message, &device);
            break;
          case GST_MESSAGE_DEVICE_REMOVED:
            gst_message_parse_device_removed(message, &device);
            break;
          default:
            gst_message_parse_device_changed(message, &device, nullptr);
            break;
        }
        const bool video = device && gst_device_has_classes(device, CategoryClass(DeviceCategory::kVideoInput));
        const bool audio = device && gst_device_has_classes(device, CategoryClass(DeviceCategory::kAudioInput));
        if (device) gst_object_unref(device);
        gst_message_unref(message);
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Subscriber& entry : subscribers_) {
          if ((entry.category == DeviceCategory::kVideoInput && video) ||
              (entry.category == DeviceCategory::kAudioInput && audio)) {
            entry.changed();
          }
        }
      }
    }).detach();
  }

  GstDeviceMonitor* monitor_ = nullptr;
  bool started_ = false;
  std::mutex mutex_;  // held while subscribers are called
  std::vector<Subscriber> subscribers_;
  int lastId_ = 0;
};

std::vector<GstDevice*> ListDevices(DeviceCategory category) { return SharedMonitor::Get().Devices(category); }

void ReleaseDevices(std::vector<GstDevice*>& devices) {
  for (GstDevice* device : devices) gst_object_unref(device);
  devices.clear();
}

// The largest value a width, height or rate field allows; 0 when absent.
int LargestInt(const GstStructure* structure, const char* field) {
  const GValue* value = gst_structure_get_value(structure, field);
  if (!value) return 0;
  if (G_VALUE_HOLDS_INT(value)) return g_value_get_int(value);
  if (GST_VALUE_HOLDS_INT_RANGE(value)) return gst_value_get_int_range_max(value);
  if (GST_VALUE_HOLDS_LIST(value)) {
    int best = 0;
    for (guint i = 0; i < gst_value_list_get_size(value); ++i) {
      const GValue* entry = gst_value_list_get_value(value, i);
      if (G_VALUE_HOLDS_INT(entry)) best = std::max(best, g_value_get_int(entry));
    }
    return best;
  }
  return 0;
}

struct Rate {
  int num = 0;
  int den = 1;
};

// The rates a structure names outright (fixed values, list entries and the
// ends of a range), fastest first.
std::vector<Rate> NamedRates(const GstStructure* structure) {
  std::vector<Rate> rates;
  const GValue* value = gst_structure_get_value(structure, "framerate");
  auto add = [&](const GValue* v) {
    if (GST_VALUE_HOLDS_FRACTION(v)) {
      Rate rate{gst_value_get_fraction_numerator(v), gst_value_get_fraction_denominator(v)};
      if (rate.num > 0 && rate.den > 0) rates.push_back(rate);
    }
  };
  if (!value) return rates;
  if (GST_VALUE_HOLDS_FRACTION(value)) {
    add(value);
  } else if (GST_VALUE_HOLDS_LIST(value)) {
    for (guint i = 0; i < gst_value_list_get_size(value); ++i) add(gst_value_list_get_value(value, i));
  } else if (GST_VALUE_HOLDS_FRACTION_RANGE(value)) {
    add(gst_value_get_fraction_range_max(value));
    add(gst_value_get_fraction_range_min(value));
  }
  std::sort(rates.begin(), rates.end(), [](const Rate& a, const Rate& b) {
    return static_cast<int64_t>(a.num) * b.den > static_cast<int64_t>(b.num) * a.den;
  });
  return rates;
}

int64_t DurationOf(const Rate& rate) {
  return rate.num > 0 ? static_cast<int64_t>(10000000) * rate.den / rate.num : 0;
}

// The rate of a frame duration: a rate the capability names whose duration
// is the same in whole 100-ns units (333333 is 30/1, 333666 is 30000/1001),
// else 10000000 / duration reduced.
Rate RateOfDuration(const GstStructure* capability, int64_t duration) {
  for (const Rate& rate : NamedRates(capability)) {
    if (DurationOf(rate) == duration) return rate;
  }
  const int64_t divisor = std::gcd(static_cast<int64_t>(10000000), duration);
  return Rate{static_cast<int>(10000000 / divisor), static_cast<int>(duration / divisor)};
}

bool IsVideoCapability(const GstStructure* structure) {
  const char* name = gst_structure_get_name(structure);
  return g_str_has_prefix(name, "video/") || g_str_has_prefix(name, "image/");
}

}  // namespace

std::string CutUtf8(std::string text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text;
}

bool InitMediaToolkit() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] {
    GError* error = nullptr;
    ready = gst_init_check(nullptr, nullptr, &error);
    if (error) g_error_free(error);
  });
  return ready;
}

std::string DeviceDisplayName(GstDevice* device) {
  gchar* name = gst_device_get_display_name(device);
  std::string text = name ? name : "";
  g_free(name);
  return text;
}

std::string DeviceNodePath(GstDevice* device) {
  GstStructure* properties = gst_device_get_properties(device);
  std::string path;
  if (properties) {
    for (const char* key : {"api.v4l2.path", "device.path"}) {
      const char* value = gst_structure_get_string(properties, key);
      if (value && g_str_has_prefix(value, "/dev/video")) {
        path = value;
        break;
      }
    }
    gst_structure_free(properties);
  }
  return path;
}

std::string CaptureCapability::Describe() const {
  char text[160];
  const double fps = frameDuration > 0 ? 10000000.0 / static_cast<double>(frameDuration) : 0.0;
  std::string kind = format.empty() ? mediaType : format;
  std::snprintf(text, sizeof text, "%dx%d %s %.2f fps", maxWidth, maxHeight, kind.c_str(), fps);
  return text;
}

MediaDevice::MediaDevice(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {
  name_ = DeviceDisplayName(impl_->device);
  path_ = DeviceNodePath(impl_->device);
}

MediaDevice::~MediaDevice() = default;

std::vector<CaptureCapability> MediaDevice::Capabilities() const {
  std::vector<CaptureCapability> capabilities;
  GstCaps* caps = gst_device_get_caps(impl_->device);
  if (!caps) return capabilities;
  for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
    const GstStructure* structure = gst_caps_get_structure(caps, i);
    CaptureCapability capability;
    capability.index = static_cast<int>(i);
    capability.mediaType = gst_structure_get_name(structure);
    if (const char* format = gst_structure_get_string(structure, "format")) capability.format = format;
    capability.maxWidth = LargestInt(structure, "width");
    capability.maxHeight = LargestInt(structure, "height");
    std::vector<Rate> rates = NamedRates(structure);
    capability.frameDuration = rates.empty() ? 0 : DurationOf(rates.front());
    GstCaps* one = gst_caps_copy_nth(caps, i);
    gchar* text = gst_caps_to_string(one);
    capability.caps = text;
    g_free(text);
    gst_caps_unref(one);
    capabilities.push_back(std::move(capability));
  }
  gst_caps_unref(caps);
  return capabilities;
}

bool MediaDevice::Accepts(const std::string& capsText) const {
  GstCaps* wanted = gst_caps_from_string(capsText.c_str());
  if (!wanted) return false;
  GstCaps* caps = gst_device_get_caps(impl_->device);
  const bool accepted = caps && gst_caps_can_intersect(caps, wanted);
  if (caps) gst_caps_unref(caps);
  gst_caps_unref(wanted);
  return accepted;
}

std::vector<std::string> FillDeviceList(DeviceCategory category, bool numbered) {
  std::vector<std::string> entries;
  std::vector<GstDevice*> devices = ListDevices(category);
  int counter = 0;
  for (GstDevice* device : devices) {
    ++counter;
    const std::string name = DeviceDisplayName(device);
    if (name.empty()) continue;
    entries.push_back(CutUtf8(numbered ? std::to_string(counter) + ") " + name : name, kListEntryLimit));
  }
  ReleaseDevices(devices);
  return entries;
}

std::shared_ptr<MediaDevice> FindDeviceByIndex(DeviceCategory category, int n) {
  std::vector<GstDevice*> devices = ListDevices(category);
  std::shared_ptr<MediaDevice> found;
  if (n >= 0 && n < static_cast<int>(devices.size())) {
    auto impl = std::make_unique<MediaDevice::Impl>();
    impl->device = GST_DEVICE(gst_object_ref(devices[n]));
    found = std::make_shared<MediaDevice>(std::move(impl));
  }
  ReleaseDevices(devices);
  return found;
}

FindDeviceResult FindDeviceByFriendlyName(DeviceCategory category, std::string_view name,
                                          std::shared_ptr<MediaDevice>* out) {
  if (out) out->reset();
  if (name.empty() || !out) return FindDeviceResult::kNothingThere;
  std::vector<GstDevice*> devices = ListDevices(category);
  FindDeviceResult result = devices.empty() ? FindDeviceResult::kNothingThere : FindDeviceResult::kNoMatch;
  for (GstDevice* device : devices) {
    if (DeviceDisplayName(device) == name) {
      auto impl = std::make_unique<MediaDevice::Impl>();
      impl->device = GST_DEVICE(gst_object_ref(device));
      *out = std::make_shared<MediaDevice>(std::move(impl));
      result = FindDeviceResult::kFound;
      break;
    }
  }
  ReleaseDevices(devices);
  return result;
}

int ListPositionOfDevice(DeviceCategory category, int index) {
  std::vector<GstDevice*> devices = ListDevices(category);
  int position = -1;
  if (index >= 0 && index < static_cast<int>(devices.size()) && !DeviceDisplayName(devices[index]).empty()) {
    position = 0;
    for (int i = 0; i < index; ++i) {
      if (!DeviceDisplayName(devices[i]).empty()) ++position;
    }
  }
  ReleaseDevices(devices);
  return position;
}

int DeviceIndexOfListPosition(DeviceCategory category, int position) {
  std::vector<GstDevice*> devices = ListDevices(category);
  int index = -1;
  int seen = 0;
  for (int i = 0; i < static_cast<int>(devices.size()) && position >= 0; ++i) {
    if (DeviceDisplayName(devices[i]).empty()) continue;
    if (seen++ == position) {
      index = i;
      break;
    }
  }
  ReleaseDevices(devices);
  return index;
}

std::string SetCaptureFormat(const MediaDevice& device, int width, int height, int skip,
                             bool keepDefault, int64_t frameDuration) {
  GstCaps* caps = gst_device_get_caps(device.impl().device);
  if (!caps) return {};
  std::string chosen;
  int qualifying = 0;
  for (guint i = 0; i < gst_caps_get_size(caps) && chosen.empty(); ++i) {
    const GstStructure* structure = gst_caps_get_structure(caps, i);
    if (!IsVideoCapability(structure)) continue;
    const int maxWidth = LargestInt(structure, "width");
    const int maxHeight = LargestInt(structure, "height");
    if (maxWidth <= 0 || maxHeight <= 0 || maxWidth < width || maxHeight < height) continue;
    if (qualifying++ < skip) continue;
    GstCaps* candidate = gst_caps_copy_nth(caps, i);
    if (!keepDefault) {
      GstStructure* edit = gst_caps_get_structure(candidate, 0);
      gst_structure_set(edit, "width", G_TYPE_INT, width, "height", G_TYPE_INT, height, nullptr);
      if (frameDuration > 0) {
        const Rate rate = RateOfDuration(structure, frameDuration);
        gst_structure_set(edit, "framerate", GST_TYPE_FRACTION, rate.num, rate.den, nullptr);
      }
    }
    gchar* text = gst_caps_to_string(candidate);
    std::string candidateText = text;
    g_free(text);
    gst_caps_unref(candidate);
    if (device.Accepts(candidateText)) chosen = std::move(candidateText);
  }
  gst_caps_unref(caps);
  return chosen;
}

bool GrabHandshake::Offer(double sampleTime, const uint8_t* data, size_t size, int width, int height,
                          int stride, int64_t clockTimeNs) {
  if (!request_.load(std::memory_order_acquire)) return false;
  if (!data || width <= 0 || height <= 0 || stride < width * 3) return false;
  const size_t rowBytes = static_cast<size_t>(width) * 3;
  if (size < static_cast<size_t>(stride) * (height - 1) + rowBytes) return false;  // not a whole picture
  const size_t length = rowBytes * height;
  if (length > UINT32_MAX) return false;
  if (!buffer_ || capacity_ < length) {
    buffer_.reset();
    capacity_ = 0;
    buffer_.reset(new (std::nothrow) uint8_t[length]);
    if (buffer_) capacity_ = static_cast<uint32_t>(length);
  }
  if (buffer_) {
    // Top-down rows in, bottom-up rows out.
    for (int y = 0; y < height; ++y) {
      std::memcpy(buffer_.get() + static_cast<size_t>(height - 1 - y) * rowBytes,
                  data + static_cast<size_t>(y) * stride, rowBytes);
    }
  }
  sampleTime_ = sampleTime;
  clockTimeNs_ = clockTimeNs;
  length_ = static_cast<uint32_t>(length);
  width_ = width;
  height_ = height;
  request_.store(false, std::memory_order_release);
  return true;
}

bool RouteCrossbar(Crossbar& crossbar, int input, int output, bool routeRelated) {
  if (input < 0 || input >= crossbar.InputCount() || output < 0 || output >= crossbar.OutputCount()) {
    return false;
  }
  const int relatedOutput = crossbar.RelatedOutput(output);
  int relatedInput = -1;
  if (crossbar.CanRoute(output, input)) {
    relatedInput = crossbar.RelatedInput(input);
    if (!crossbar.Route(output, input)) return false;
  }
  if (routeRelated && relatedOutput >= 0 && relatedInput >= 0 && crossbar.CanRoute(relatedOutput, relatedInput)) {
    if (!crossbar.Route(relatedOutput, relatedInput)) return false;
  }
  return true;
}

struct DeviceWatch::Impl {
  DeviceCategory category;
  int id = 0;
};

DeviceWatch::DeviceWatch(DeviceCategory category, std::function<void()> changed)
    : impl_(std::make_unique<Impl>()) {
  impl_->category = category;
  SharedMonitor& monitor = SharedMonitor::Get();
  if (monitor.Started()) impl_->id = monitor.Subscribe(category, std::move(changed));
}

DeviceWatch::~DeviceWatch() {
  if (impl_->id) SharedMonitor::Get().Unsubscribe(impl_->id);
}

bool DeviceWatch::Watching() const { return impl_->id != 0; }

void DeinterlaceRows(uint8_t* frame, int width, int height) {
  if (!frame || width <= 0 || height <= 0) return;
  const size_t rowBytes = static_cast<size_t>(width) * 3;
  for (int k = 0; k < height / 2 - 1; ++k) {
    std::memcpy(frame + static_cast<size_t>(2 * k) * rowBytes, frame + static_cast<size_t>(2 * k + 1) * rowBytes,
                rowBytes);
  }
}

uint32_t CompactRows(uint8_t* frame, uint32_t length, int width, int height) {
  if (!frame || width <= 0 || height <= 0) return length;
  const uint64_t packed = static_cast<uint64_t>(width) * 3 * height;
  if (length <= packed) return length;
  const size_t stride = length / height;
  const size_t rowBytes = static_cast<size_t>(width) * 3;
  for (int y = 0; y < height; ++y) {
    std::memmove(frame + static_cast<size_t>(y) * rowBytes, frame + static_cast<size_t>(y) * stride, rowBytes);
  }
  return static_cast<uint32_t>(packed);
}

}  // namespace corvalind

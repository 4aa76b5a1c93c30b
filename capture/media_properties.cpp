// Crossbars, tuners and property pages: over V4L2 device nodes (inputs,
// audio inputs, the tuner's frequency, the device's controls) and over the
// properties of a source element that models them.
#include <fcntl.h>
#include <gst/gst.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <sstream>

#include "capture/media_internal.h"
#include "capture/media_toolkit.h"

namespace corvalind {

namespace {

// A device node opened for one operation; V4L2 allows several opens, so
// this works beside the graph's own.
class Node {
 public:
  explicit Node(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) {}
  ~Node() {
    if (fd_ >= 0) ::close(fd_);
  }
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  bool Open() const { return fd_ >= 0; }
  template <typename T>
  bool Ioctl(unsigned long request, T* argument) const {
    if (fd_ < 0) return false;
    int result;
    do {
      result = ::ioctl(fd_, request, argument);
    } while (result < 0 && errno == EINTR);
    return result == 0;
  }

 private:
  int fd_;
};

std::string CText(const __u8* text, size_t size) {
  return std::string(reinterpret_cast<const char*>(text), strnlen(reinterpret_cast<const char*>(text), size));
}

int FirstBit(uint32_t bits) {
  for (int i = 0; i < 32; ++i) {
    if (bits & (1u << i)) return i;
  }
  return -1;
}

// The pin model both crossbars share: video inputs, then audio inputs;
// output 0 takes a video input, output 1 (when there are audio inputs) an
// audio input; a video input's related pin is the audio input that
// belongs to it. Subclasses fill the names and make the routes.
class InputCrossbar : public Crossbar {
 public:
  int InputCount() const override { return Videos() + static_cast<int>(audioNames_.size()); }
  int OutputCount() const override { return audioNames_.empty() ? 1 : 2; }
  std::string InputName(int input) const override {
    if (input >= 0 && input < Videos()) return videoNames_[input];
    if (input >= Videos() && input < InputCount()) return audioNames_[input - Videos()];
    return {};
  }
  int RelatedInput(int input) const override {
    if (input < 0 || input >= Videos() || input >= static_cast<int>(videoAudio_.size())) return -1;
    const int audio = videoAudio_[input];
    return audio >= 0 && audio < static_cast<int>(audioNames_.size()) ? Videos() + audio : -1;
  }
  int RelatedOutput(int output) const override {
    if (OutputCount() < 2) return -1;
    return output == 0 ? 1 : output == 1 ? 0 : -1;
  }
  bool CanRoute(int output, int input) const override {
    if (output == 0) return input >= 0 && input < Videos();
    if (output == 1) return OutputCount() == 2 && input >= Videos() && input < InputCount();
    return false;
  }

 protected:
  int Videos() const { return static_cast<int>(videoNames_.size()); }

  std::vector<std::string> videoNames_;
  std::vector<int> videoAudio_;  // per video input: its audio input or -1
  std::vector<std::string> audioNames_;
};

// V4L2 inputs and audio inputs of a device node.
class V4l2Crossbar : public InputCrossbar {
 public:
  explicit V4l2Crossbar(std::string path) : path_(std::move(path)) {
    Node node(path_);
    for (uint32_t i = 0; i < 64; ++i) {
      v4l2_input input{};
      input.index = i;
      if (!node.Ioctl(VIDIOC_ENUMINPUT, &input)) break;
      videoNames_.push_back(CText(input.name, sizeof input.name));
      videoAudio_.push_back(FirstBit(input.audioset));
    }
    for (uint32_t i = 0; i < 64; ++i) {
      v4l2_audio audio{};
      audio.index = i;
      if (!node.Ioctl(VIDIOC_ENUMAUDIO, &audio)) break;
      audioNames_.push_back(CText(audio.name, sizeof audio.name));
    }
  }
  // A webcam has one input and no audio: nothing to route.
  bool Worth() const { return videoNames_.size() > 1 || !audioNames_.empty(); }

  bool Route(int output, int input) override {
    if (!CanRoute(output, input)) return false;
    Node node(path_);
    if (output == 0) {
      int index = input;
      return node.Ioctl(VIDIOC_S_INPUT, &index);
    }
    v4l2_audio audio{};
    audio.index = static_cast<uint32_t>(input - Videos());
    return node.Ioctl(VIDIOC_S_AUDIO, &audio);
  }
  int RoutedTo(int output) const override {
    Node node(path_);
    if (output == 0) {
      int index = -1;
      return node.Ioctl(VIDIOC_G_INPUT, &index) ? index : -1;
    }
    v4l2_audio audio{};
    if (output == 1 && node.Ioctl(VIDIOC_G_AUDIO, &audio)) return Videos() + static_cast<int>(audio.index);
    return -1;
  }

 private:
  std::string path_;
};

class V4l2Tuner : public Tuner {
 public:
  V4l2Tuner(std::string path, v4l2_tuner_type type) : path_(std::move(path)), type_(type) {}
  int Channel() const override {
    Node node(path_);
    v4l2_frequency frequency{};
    frequency.tuner = 0;
    if (!node.Ioctl(VIDIOC_G_FREQUENCY, &frequency)) return 0;
    return frequency.frequency > INT_MAX ? INT_MAX : static_cast<int>(frequency.frequency);
  }
  bool SetChannel(int channel) override {
    if (channel < 0) return false;
    Node node(path_);
    v4l2_frequency frequency{};
    frequency.tuner = 0;
    frequency.type = type_;
    frequency.frequency = static_cast<uint32_t>(channel);
    return node.Ioctl(VIDIOC_S_FREQUENCY, &frequency);
  }

 private:
  std::string path_;
  v4l2_tuner_type type_;
};

// The device's controls: brightness, contrast, exposure and whatever else
// the driver offers. Property names are the control ids in decimal.
class V4l2ControlPage : public PropertyPage {
 public:
  V4l2ControlPage(std::string path, std::string caption) : path_(std::move(path)), caption_(std::move(caption)) {}
  std::string Caption() const override { return caption_; }
  std::vector<MediaProperty> Properties() const override {
    std::vector<MediaProperty> properties;
    Node node(path_);
    if (!node.Open()) return properties;
    v4l2_queryctrl query{};
    query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (node.Ioctl(VIDIOC_QUERYCTRL, &query) && properties.size() < 256) {
      const uint32_t id = query.id;
      query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
      if (query.flags & (V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_READ_ONLY)) continue;
      MediaProperty property;
      property.name = std::to_string(id);
      property.label = CText(query.name, sizeof query.name);
      property.minimum = query.minimum;
      property.maximum = query.maximum;
      property.step = query.step > 0 ? query.step : 1;
      switch (query.type) {
        case V4L2_CTRL_TYPE_INTEGER:
          property.type = MediaProperty::Type::kInt;
          break;
        case V4L2_CTRL_TYPE_BOOLEAN:
          property.type = MediaProperty::Type::kBool;
          break;
        case V4L2_CTRL_TYPE_MENU:
        case V4L2_CTRL_TYPE_INTEGER_MENU:
          property.type = MediaProperty::Type::kChoice;
          for (int64_t i = query.minimum; i <= query.maximum && i - query.minimum < 256; ++i) {
            v4l2_querymenu menu{};
            menu.id = id;
            menu.index = static_cast<uint32_t>(i);
            if (!node.Ioctl(VIDIOC_QUERYMENU, &menu)) continue;
            property.choices.emplace_back(
                i, query.type == V4L2_CTRL_TYPE_MENU ? CText(menu.name, sizeof menu.name) : std::to_string(menu.value));
          }
          break;
        case V4L2_CTRL_TYPE_BUTTON:
          property.type = MediaProperty::Type::kAction;
          break;
        default:
          continue;  // 64-bit, string and compound controls have no editor here
      }
      if (property.type != MediaProperty::Type::kAction) {
        v4l2_control control{};
        control.id = id;
        property.value = node.Ioctl(VIDIOC_G_CTRL, &control) ? control.value : query.default_value;
      }
      properties.push_back(std::move(property));
    }
    return properties;
  }
  bool Set(const MediaProperty& property) override {
    char* end = nullptr;
    const unsigned long id = std::strtoul(property.name.c_str(), &end, 10);
    if (!end || *end != '\0' || id == 0 || id > UINT32_MAX) return false;
    Node node(path_);
    v4l2_control control{};
    control.id = static_cast<uint32_t>(id);
    control.value = property.type == MediaProperty::Type::kAction ? 1 : static_cast<int32_t>(property.value);
    return node.Ioctl(VIDIOC_S_CTRL, &control);
  }

 private:
  std::string path_;
  std::string caption_;
};

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  if (text.empty()) return items;
  std::stringstream stream(text);
  std::string item;
  while (std::getline(stream, item, ';')) items.push_back(item);
  return items;
}

GParamSpec* FindProperty(GstElement* element, const char* name) {
  return g_object_class_find_property(G_OBJECT_GET_CLASS(element), name);
}

std::string StringProperty(GstElement* element, const char* name) {
  if (!FindProperty(element, name)) return {};
  gchar* value = nullptr;
  g_object_get(element, name, &value, nullptr);
  std::string text = value ? value : "";
  g_free(value);
  return text;
}

int IntProperty(GstElement* element, const char* name, int fallback) {
  GParamSpec* spec = FindProperty(element, name);
  if (!spec || spec->value_type != G_TYPE_INT) return fallback;
  int value = fallback;
  g_object_get(element, name, &value, nullptr);
  return value;
}

// An element that models analog inputs with "video-input", "video-inputs",
// "audio-input", "audio-inputs" and "video-input-audio".
class ElementCrossbar : public InputCrossbar {
 public:
  explicit ElementCrossbar(GstElement* element)
      : element_(GST_ELEMENT(gst_object_ref(element))) {
    videoNames_ = SplitList(StringProperty(element, "video-inputs"));
    audioNames_ = SplitList(StringProperty(element, "audio-inputs"));
    for (const std::string& item : SplitList(StringProperty(element, "video-input-audio"))) {
      videoAudio_.push_back(std::atoi(item.c_str()));
    }
  }
  ~ElementCrossbar() override { gst_object_unref(element_); }
  bool Worth() const { return !videoNames_.empty(); }

  bool Route(int output, int input) override {
    if (!CanRoute(output, input)) return false;
    if (output == 0) {
      g_object_set(element_, "video-input", input, nullptr);
    } else {
      g_object_set(element_, "audio-input", input - Videos(), nullptr);
    }
    return true;
  }
  int RoutedTo(int output) const override {
    if (output == 0) return IntProperty(element_, "video-input", -1);
    if (output == 1 && OutputCount() == 2) {
      const int audio = IntProperty(element_, "audio-input", -1);
      return audio >= 0 ? Videos() + audio : -1;
    }
    return -1;
  }

 private:
  GstElement* element_;
};

// An element with a "frequency" property; a negative frequency means the
// element has no tuner.
class ElementTuner : public Tuner {
 public:
  explicit ElementTuner(GstElement* element) : element_(GST_ELEMENT(gst_object_ref(element))) {}
  ~ElementTuner() override { gst_object_unref(element_); }
  int Channel() const override { return std::max(0, IntProperty(element_, "frequency", 0)); }
  bool SetChannel(int channel) override {
    if (channel < 0) return false;
    g_object_set(element_, "frequency", channel, nullptr);
    return IntProperty(element_, "frequency", -1) == channel;
  }

 private:
  GstElement* element_;
};

// The writable properties of an element; those the crossbar and tuner
// pages show, and the element's identity, are left out.
class ElementPropertyPage : public PropertyPage {
 public:
  ElementPropertyPage(GstElement* element, std::string caption)
      : element_(GST_ELEMENT(gst_object_ref(element))), caption_(std::move(caption)) {}
  ~ElementPropertyPage() override { gst_object_unref(element_); }
  std::string Caption() const override { return caption_; }

  std::vector<MediaProperty> Properties() const override {
    std::vector<MediaProperty> properties;
    guint count = 0;
    GParamSpec** specs = g_object_class_list_properties(G_OBJECT_GET_CLASS(element_), &count);
    for (guint i = 0; i < count; ++i) {
      GParamSpec* spec = specs[i];
      if (!(spec->flags & G_PARAM_WRITABLE) || !(spec->flags & G_PARAM_READABLE) ||
          (spec->flags & G_PARAM_CONSTRUCT_ONLY) || Hidden(spec->name) ||
          spec->owner_type != G_OBJECT_TYPE(element_)) {
        // Only the element's own properties: what every bin or source has
        // (its name, message forwarding) is no device control.
        continue;
      }
      MediaProperty property;
      property.name = spec->name;
      property.label = g_param_spec_get_nick(spec);
      GValue value = G_VALUE_INIT;
      g_value_init(&value, spec->value_type);
      g_object_get_property(G_OBJECT(element_), spec->name, &value);
      bool known = true;
      if (G_IS_PARAM_SPEC_BOOLEAN(spec)) {
        property.type = MediaProperty::Type::kBool;
        property.minimum = 0;
        property.maximum = 1;
        property.value = g_value_get_boolean(&value) ? 1 : 0;
      } else if (G_IS_PARAM_SPEC_INT(spec)) {
        property.type = MediaProperty::Type::kInt;
        property.minimum = G_PARAM_SPEC_INT(spec)->minimum;
        property.maximum = G_PARAM_SPEC_INT(spec)->maximum;
        property.value = g_value_get_int(&value);
      } else if (G_IS_PARAM_SPEC_UINT(spec)) {
        property.type = MediaProperty::Type::kInt;
        property.minimum = G_PARAM_SPEC_UINT(spec)->minimum;
        property.maximum = G_PARAM_SPEC_UINT(spec)->maximum;
        property.value = g_value_get_uint(&value);
      } else if (G_IS_PARAM_SPEC_DOUBLE(spec)) {
        property.type = MediaProperty::Type::kDouble;
        property.doubleMinimum = G_PARAM_SPEC_DOUBLE(spec)->minimum;
        property.doubleMaximum = G_PARAM_SPEC_DOUBLE(spec)->maximum;
        property.doubleValue = g_value_get_double(&value);
      } else if (G_IS_PARAM_SPEC_FLOAT(spec)) {
        property.type = MediaProperty::Type::kDouble;
        property.doubleMinimum = G_PARAM_SPEC_FLOAT(spec)->minimum;
        property.doubleMaximum = G_PARAM_SPEC_FLOAT(spec)->maximum;
        property.doubleValue = g_value_get_float(&value);
      } else if (G_IS_PARAM_SPEC_ENUM(spec)) {
        property.type = MediaProperty::Type::kChoice;
        GEnumClass* enumClass = G_PARAM_SPEC_ENUM(spec)->enum_class;
        for (guint k = 0; k < enumClass->n_values; ++k) {
          property.choices.emplace_back(enumClass->values[k].value, enumClass->values[k].value_nick);
        }
        property.value = g_value_get_enum(&value);
      } else if (G_IS_PARAM_SPEC_STRING(spec)) {
        property.type = MediaProperty::Type::kText;
        const char* text = g_value_get_string(&value);
        property.text = text ? text : "";
      } else {
        known = false;  // boxed and object properties have no editor
      }
      g_value_unset(&value);
      if (known) properties.push_back(std::move(property));
    }
    g_free(specs);
    return properties;
  }

  bool Set(const MediaProperty& property) override {
    GParamSpec* spec = FindProperty(element_, property.name.c_str());
    if (!spec || !(spec->flags & G_PARAM_WRITABLE) || (spec->flags & G_PARAM_CONSTRUCT_ONLY)) return false;
    GValue value = G_VALUE_INIT;
    g_value_init(&value, spec->value_type);
    if (G_IS_PARAM_SPEC_BOOLEAN(spec)) {
      g_value_set_boolean(&value, property.value != 0);
    } else if (G_IS_PARAM_SPEC_INT(spec)) {
      g_value_set_int(&value, static_cast<int>(property.value));
    } else if (G_IS_PARAM_SPEC_UINT(spec)) {
      g_value_set_uint(&value, static_cast<unsigned>(property.value));
    } else if (G_IS_PARAM_SPEC_DOUBLE(spec)) {
      g_value_set_double(&value, property.doubleValue);
    } else if (G_IS_PARAM_SPEC_FLOAT(spec)) {
      g_value_set_float(&value, static_cast<float>(property.doubleValue));
    } else if (G_IS_PARAM_SPEC_ENUM(spec)) {
      g_value_set_enum(&value, static_cast<int>(property.value));
    } else if (G_IS_PARAM_SPEC_STRING(spec)) {
      g_value_set_string(&value, property.text.c_str());
    } else {
      g_value_unset(&value);
      return false;
    }
    // Out-of-range values are refused here rather than clamped by GLib
    // with a warning.
    const bool valid = !g_param_value_validate(spec, &value);
    if (valid) g_object_set_property(G_OBJECT(element_), spec->name, &value);
    g_value_unset(&value);
    return valid;
  }

 private:
  static bool Hidden(const char* name) {
    for (const char* hidden : {"name", "parent", "device", "video-input", "audio-input", "frequency"}) {
      if (std::strcmp(name, hidden) == 0) return true;
    }
    return false;
  }

  GstElement* element_;
  std::string caption_;
};

class CrossbarPage : public PropertyPage {
 public:
  explicit CrossbarPage(std::shared_ptr<Crossbar> crossbar) : crossbar_(std::move(crossbar)) {}
  std::string Caption() const override { return "Crossbar"; }
  std::vector<MediaProperty> Properties() const override {
    std::vector<MediaProperty> properties;
    for (int output = 0; output < crossbar_->OutputCount(); ++output) {
      MediaProperty property;
      property.name = std::to_string(output);
      property.label = output == 0 ? "Video input" : "Audio input";
      property.type = MediaProperty::Type::kChoice;
      for (int input = 0; input < crossbar_->InputCount(); ++input) {
        if (crossbar_->CanRoute(output, input)) property.choices.emplace_back(input, crossbar_->InputName(input));
      }
      property.value = crossbar_->RoutedTo(output);
      properties.push_back(std::move(property));
    }
    return properties;
  }
  bool Set(const MediaProperty& property) override {
    const int output = std::atoi(property.name.c_str());
    // A video input takes its own audio input with it.
    return RouteCrossbar(*crossbar_, static_cast<int>(property.value), output, output == 0);
  }

 private:
  std::shared_ptr<Crossbar> crossbar_;
};

class TunerPage : public PropertyPage {
 public:
  explicit TunerPage(std::shared_ptr<Tuner> tuner) : tuner_(std::move(tuner)) {}
  std::string Caption() const override { return "Tuner"; }
  std::vector<MediaProperty> Properties() const override {
    MediaProperty property;
    property.name = "channel";
    property.label = "Channel";
    property.type = MediaProperty::Type::kInt;
    property.minimum = 0;
    property.maximum = INT_MAX;
    property.value = tuner_->Channel();
    return {property};
  }
  bool Set(const MediaProperty& property) override {
    return property.value >= 0 && property.value <= INT_MAX && tuner_->SetChannel(static_cast<int>(property.value));
  }

 private:
  std::shared_ptr<Tuner> tuner_;
};

}  // namespace

std::shared_ptr<Crossbar> MakeV4l2Crossbar(const std::string& path) {
  auto crossbar = std::make_shared<V4l2Crossbar>(path);
  return crossbar->Worth() ? crossbar : nullptr;
}

std::shared_ptr<Tuner> MakeV4l2Tuner(const std::string& path) {
  Node node(path);
  v4l2_tuner tuner{};
  tuner.index = 0;
  if (!node.Ioctl(VIDIOC_G_TUNER, &tuner)) return nullptr;
  return std::make_shared<V4l2Tuner>(path, static_cast<v4l2_tuner_type>(tuner.type));
}

void SetV4l2StandardPalB(const std::string& path) {
  Node node(path);
  int current = -1;
  if (!node.Ioctl(VIDIOC_G_INPUT, &current)) return;
  v4l2_input input{};
  input.index = static_cast<uint32_t>(current);
  if (!node.Ioctl(VIDIOC_ENUMINPUT, &input) || input.std == 0) return;  // no analog decoder
  v4l2_std_id standard = V4L2_STD_PAL_B;
  node.Ioctl(VIDIOC_S_STD, &standard);
}

std::unique_ptr<PropertyPage> MakeV4l2ControlPage(const std::string& path, const std::string& caption) {
  return std::make_unique<V4l2ControlPage>(path, caption);
}

std::shared_ptr<Crossbar> MakeElementCrossbar(GstElement* element) {
  if (!FindProperty(element, "video-inputs") || !FindProperty(element, "video-input")) return nullptr;
  auto crossbar = std::make_shared<ElementCrossbar>(element);
  return crossbar->Worth() ? crossbar : nullptr;
}

std::shared_ptr<Tuner> MakeElementTuner(GstElement* element) {
  if (IntProperty(element, "frequency", -1) < 0) return nullptr;
  return std::make_shared<ElementTuner>(element);
}

std::unique_ptr<PropertyPage> MakeElementPropertyPage(GstElement* element, const std::string& caption) {
  return std::make_unique<ElementPropertyPage>(element, caption);
}

std::unique_ptr<PropertyPage> MakeCrossbarPage(std::shared_ptr<Crossbar> crossbar) {
  if (!crossbar) return nullptr;
  return std::make_unique<CrossbarPage>(std::move(crossbar));
}

std::unique_ptr<PropertyPage> MakeTunerPage(std::shared_ptr<Tuner> tuner) {
  if (!tuner) return nullptr;
  return std::make_unique<TunerPage>(std::move(tuner));
}

}  // namespace corvalind

// What the toolkit's files share behind the public header: the GStreamer
// objects inside the opaque classes. Included only by capture/*.cpp.
#pragma once

#include <gst/gst.h>

#include <memory>
#include <string>

#include "capture/media_toolkit.h"

namespace corvalind {

struct MediaDevice::Impl {
  GstDevice* device = nullptr;  // owned reference
  ~Impl() {
    if (device) gst_object_unref(device);
  }
};

// The device's display name, empty when it has none.
std::string DeviceDisplayName(GstDevice* device);
// The V4L2 node of a device ("/dev/video0"), empty when it is not one.
std::string DeviceNodePath(GstDevice* device);

// Crossbars, tuners and pages over V4L2 device nodes and over element
// properties (media_properties.cpp).
std::shared_ptr<Crossbar> MakeV4l2Crossbar(const std::string& path);
std::shared_ptr<Tuner> MakeV4l2Tuner(const std::string& path);
void SetV4l2StandardPalB(const std::string& path);
std::unique_ptr<PropertyPage> MakeV4l2ControlPage(const std::string& path, const std::string& caption);
std::shared_ptr<Crossbar> MakeElementCrossbar(GstElement* element);
std::shared_ptr<Tuner> MakeElementTuner(GstElement* element);
std::unique_ptr<PropertyPage> MakeElementPropertyPage(GstElement* element, const std::string& caption);

}  // namespace corvalind

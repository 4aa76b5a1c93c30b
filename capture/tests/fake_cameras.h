// Fake cameras for the capture tests: a GStreamer device provider
// ("corvalindfakecamprovider") listing cameras that do not exist, and the
// live source element ("corvalindfakecamsrc") each of them creates. Both
// live in a plugin registered statically into the test program, so the
// media toolkit runs its real paths (device monitor, create_element, caps
// negotiation, crossbar and tuner properties, bus errors) on a machine
// without capture hardware.
//
// A test program calls HideOtherDeviceProviders() before gst_init and
// RegisterFakeCameras() after it; from then on the device monitor lists
// exactly the fake cameras, first the standard set (StandardFakeCameras)
// and then whatever a test plugs in.
//
// The provider also lists one "Audio/Source" device, "Fake Microphone", a
// live sine tone, always after the cameras.
//
// The element: a live source that negotiates any one of its device's caps
// structures (the first one downstream accepts, fixated) and sends a solid
// picture whose colour says which video input is routed:
//   input 0 white, 1 red, 2 green, 3 blue (then again from white: input k
//   shows the colour of k % 4), -1 (nothing routed) black.
// A device without video inputs always shows white. Its properties:
//   "device"             string, construct-only: the device's name
//   "video-input"        int -1..63, default 0; a write outside the
//                        device's inputs is ignored
//   "video-inputs"       string, read-only: input names joined by ";"
//   "audio-input"        int -1..63, default 0 when the device has audio
//                        inputs, else -1; a write outside them is ignored
//   "audio-inputs"       string, read-only: names joined by ";"
//   "video-input-audio"  string, read-only: for every video input the
//                        audio input that belongs to it (-1: none), ";"
//   "frequency"          int, default the device's; -1 means the device has
//                        no tuner, and then writes are ignored (as are
//                        negative ones on a tuner)
//   "brightness"         int 0..255, default 128 (a device control)
//   "exposure-auto"      boolean, default true (a device control)
//
// Unplugging (RemoveFakeCamera) makes every running element of that device
// post GST_RESOURCE_ERROR_READ "Could not read from resource." (the debug
// text says the device was unplugged) and end its stream with
// GST_FLOW_ERROR; an element of a device that is gone fails its start with
// GST_RESOURCE_ERROR_NOT_FOUND.
#pragma once

#include <string>
#include <vector>

namespace corvalind::testing {

struct FakeCameraSpec {
  enum Behaviour {
    kNormal,
    // READY->PAUSED posts GST_RESOURCE_ERROR_BUSY "Device '/dev/fake-busy'
    // is busy" and fails, as a camera another program holds.
    kBusy,
    // READY->PAUSED blocks for 300 ms before it succeeds.
    kSlowStart,
  };

  // Display name; empty: a device whose name cannot be read (its display
  // name is NULL, which gst_device_get_display_name and the "display-name"
  // property hand out as "").
  std::string name;
  // Caps structures as text, in the device's order.
  std::vector<std::string> caps;
  std::vector<std::string> videoInputs;
  std::vector<std::string> audioInputs;
  // For every video input, the index of its audio input or -1.
  std::vector<int> videoInputAudio;
  // The tuner's frequency; -1: the device has no tuner.
  int frequency = -1;
  Behaviour behaviour = kNormal;

  bool operator==(const FakeCameraSpec&) const = default;
};

// The devices every test starts with, in their listing order:
//  1. "Fake Camera": YUY2 160x120@30, YUY2 640x480@{30,25,15}, I420
//     1280x720@30, image/jpeg 1920x1080@30
//  2. a nameless device: YUY2 640x480@30
//  3. "Fake Tuner Card": YUY2 720x576@25; video inputs Composite, S-Video,
//     Tuner; audio inputs Line In, Tuner Audio; video-input-audio 0;-1;1;
//     a tuner at frequency 0
//  4. "Small Camera": YUY2 320x240@30
//  5. "Busy Camera": YUY2 640x480@30, kBusy
//  6. "Slow Camera": YUY2 640x480@30, kSlowStart
std::vector<FakeCameraSpec> StandardFakeCameras();

// Keeps the machine's own device providers (V4L2, PipeWire, PulseAudio,
// ALSA, libcamera, DeckLink, the Corvalind virtual camera, ...) out of
// every device monitor, so device numbering in tests does not depend on the
// hardware. Call it before gst_init: it appends those providers to
// GST_PLUGIN_FEATURE_RANK with rank NONE, and RegisterFakeCameras then
// lowers every other device provider factory of the registry to rank NONE
// (the monitor only uses providers of rank 1 and up). The second step is
// what does the work on GStreamer 1.22, whose GST_PLUGIN_FEATURE_RANK only
// reaches element factories. Called after gst_init, it demotes them at
// once.
void HideOtherDeviceProviders();

// Registers the fake-camera plugin once per process (GStreamer is
// initialised first when it is not yet). Later calls register nothing and
// answer the first result; they demote device providers that appeared
// since, when HideOtherDeviceProviders was called.
bool RegisterFakeCameras();

// The device list. Thread-safe, also while a device monitor runs: on a
// started provider every change posts device-added / device-removed, and
// the lists of gst_device_monitor_get_devices and
// gst_device_provider_get_devices follow it either way.
//
// Fake camera elements that exist (made and not yet finalized): a graph
// that is gone must have let go of its camera.
int LiveFakeCameraElements();

// Back to the standard set, in its order. Devices outside it are
// unplugged; standard devices still plugged in keep their running
// elements.
void ResetFakeCameras();
// Unplugs the first device of that name ("" : the first nameless one):
// it leaves the list and its running elements fail. No such device: nothing
// happens.
void RemoveFakeCamera(const std::string& name);
// Plugs in a new device at the end of the list.
void AddFakeCamera(const FakeCameraSpec& camera);

}  // namespace corvalind::testing

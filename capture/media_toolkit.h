// The media toolkit: the small set of media-graph operations the camera,
// the video-file source and the recorder share, over GStreamer.
//
// Nothing here shows a message: every operation answers a flag, a code or
// an empty result, and the sources above it decide what the user reads.
// This header carries no GStreamer types, so forms and sources see only
// the toolkit; the GStreamer objects live behind opaque classes.
//
// Devices come from GStreamer's device monitor, one category per class
// ("Video/Source", "Audio/Source"), in the monitor's order. A device's
// name is its display name. Both the numbered list and FindDeviceByIndex
// count the same devices in the same order, so a list position found by
// counting the entries that have names plus the nameless ones before them
// is the device index (see FillDeviceList).
//
// A device's capabilities are its caps structures in the order it reports
// them; the maximum output size of a capability is the largest width and
// height the structure allows.
//
// Every grabbed frame is 24-bit BGR in the studio's Frame layout: bottom
// row first, rows packed (width x 3 bytes, no padding).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace corvalind {

// Initialises GStreamer once for the process; later calls do nothing.
// False when GStreamer cannot start. Any thread.
bool InitMediaToolkit();

// `text` cut to at most `limit` bytes without splitting a UTF-8 character.
std::string CutUtf8(std::string text, size_t limit);

enum class DeviceCategory { kVideoInput, kAudioInput };

struct CaptureCapability {
  int index = 0;             // position in the device's list
  std::string mediaType;     // "video/x-raw", "image/jpeg", ...
  std::string format;        // raw pixel format ("YUY2", "NV12", ...) or empty
  int maxWidth = 0;          // maximum output size
  int maxHeight = 0;
  int64_t frameDuration = 0; // 100-ns units of the fastest rate; 0 when unknown
  std::string caps;          // the structure as text, as the device gave it
  // "640x480 YUY2 30.00 fps", for the mode dialog.
  std::string Describe() const;
};

class MediaDevice;

// One capture device of a category. Shared: a source keeps its device
// while its graph runs.
class MediaDevice {
 public:
  ~MediaDevice();
  MediaDevice(const MediaDevice&) = delete;
  MediaDevice& operator=(const MediaDevice&) = delete;

  // The display name; empty when the device has none that can be read.
  const std::string& Name() const { return name_; }
  // The V4L2 device node ("/dev/video0") when the device is one, else empty.
  const std::string& DevicePath() const { return path_; }
  // The device's capabilities, in its order.
  std::vector<CaptureCapability> Capabilities() const;
  // Whether `caps` (a structure as text) is one the device accepts: it
  // intersects one of the device's caps structures. This is where a
  // format is refused.
  bool Accepts(const std::string& caps) const;

  struct Impl;
  explicit MediaDevice(std::unique_ptr<Impl> impl);
  Impl& impl() const { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
  std::string name_;
  std::string path_;
};

// Fills the entries of a device combo box: for every device a counter is
// raised (the first device is 1); a device whose name can be read adds
// "%d) %s" (counter, name, at most 100 characters) when `numbered`, else
// the bare name. A category without devices gives no entries.
std::vector<std::string> FillDeviceList(DeviceCategory category, bool numbered);

// The n-th device (from 0) of the category, counting every device; null
// when there is no such device.
std::shared_ptr<MediaDevice> FindDeviceByIndex(DeviceCategory category, int n);

enum class FindDeviceResult {
  kFound,         // `out` holds the first device whose name is equal
  kNoMatch,       // devices exist, none has that name; `out` empty
  kNothingThere,  // an empty category, or no name asked for; `out` empty
};
// Exact, case-sensitive comparison of the display name.
FindDeviceResult FindDeviceByFriendlyName(DeviceCategory category, std::string_view name,
                                          std::shared_ptr<MediaDevice>* out);

// The combo-box position of device `index` in a list made by
// FillDeviceList (devices without a name take no line), or -1.
int ListPositionOfDevice(DeviceCategory category, int index);
// The device index of combo-box position `position`, or -1.
int DeviceIndexOfListPosition(DeviceCategory category, int position);

// Chooses a capture format from `capabilities` (the device's own, in its
// order) and checks it with `device`:
//  - a capability qualifies when it is video with a known size whose
//    maximum output is at least `width` x `height`;
//  - the first `skip` qualifying capabilities are passed over;
//  - unless `keepDefault`, the size and `frameDuration` (100-ns units) are
//    written into the capability; with keepDefault it is used as it is;
//  - a format the device refuses (Accepts false) moves on to the next
//    qualifying capability.
// Answers the chosen caps text, or empty when none was accepted.
std::string SetCaptureFormat(const MediaDevice& device, int width, int height, int skip,
                             bool keepDefault, int64_t frameDuration);

// The grabber's hand-over of single frames from a graph's streaming thread
// to a source's worker.
//
// The worker calls Request() and then polls Pending() until it is false;
// the streaming thread offers every sample to Offer(), which copies the
// first one that arrives while a request is pending (turning rows
// bottom-up and dropping row padding), stores its time, length and size
// and then clears the request. Samples nobody asked for cost one flag
// test. The buffer only grows, so a stream of fixed-size samples allocates
// once. Time, length, size and buffer are written before the flag is
// cleared (release) and read after it was seen clear (acquire); the buffer
// is replaced only inside Offer while the request is set, so the worker
// never reads a buffer being replaced.
class GrabHandshake {
 public:
  void Request() { request_.store(true, std::memory_order_release); }
  bool Pending() const { return request_.load(std::memory_order_acquire); }
  // Withdraws a request the streaming thread has not served.
  void Cancel() { request_.store(false, std::memory_order_release); }

  // Streaming thread: a top-down BGR picture of `width` x `height` with
  // rows `stride` bytes apart, `size` bytes in all. A picture shorter than
  // its rows claim is not a complete picture: it is dropped and the request
  // stays. Returns true when it copied.
  // `clockTimeNs` is when the picture was due on the graph's clock (the
  // monotonic clock), or -1.
  bool Offer(double sampleTime, const uint8_t* data, size_t size, int width, int height,
             int stride, int64_t clockTimeNs = -1);

  // Worker, after Pending() turned false: the copied frame (null when the
  // copy could not be allocated).
  const uint8_t* Buffer() const { return buffer_.get(); }
  uint32_t Length() const { return length_; }
  uint32_t Capacity() const { return capacity_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  double SampleTime() const { return sampleTime_; }
  int64_t ClockTimeNs() const { return clockTimeNs_; }
  // Worker: the buffer for in-place work (deinterlacing) between grabs.
  uint8_t* MutableBuffer() { return buffer_.get(); }

 private:
  double sampleTime_ = 0;
  int64_t clockTimeNs_ = -1;
  uint32_t length_ = 0;
  uint32_t capacity_ = 0;
  int width_ = 0;
  int height_ = 0;
  std::unique_ptr<uint8_t[]> buffer_;
  std::atomic<bool> request_{false};
};

// An analog input switch: video inputs, then audio inputs, routed to
// output 0 (video) and output 1 (audio, when the device has audio inputs).
// Realised with V4L2 inputs and audio inputs on a device node, or with
// the properties "video-input", "video-inputs", "audio-input",
// "audio-inputs" and "video-input-audio" of a source element that models
// them.
class Crossbar {
 public:
  virtual ~Crossbar() = default;
  virtual int InputCount() const = 0;
  virtual int OutputCount() const = 0;
  virtual std::string InputName(int input) const = 0;
  // The related pin of a pin (the audio output of the video output, the
  // audio input that belongs to a video input), or -1.
  virtual int RelatedInput(int input) const = 0;
  virtual int RelatedOutput(int output) const = 0;
  virtual bool CanRoute(int output, int input) const = 0;
  virtual bool Route(int output, int input) = 0;
  // The input routed to `output`, or -1.
  virtual int RoutedTo(int output) const = 0;
};

// Routes `input` to `output`; with `routeRelated`, also the related input
// to the related output when both exist and the route can be made. Any
// failing step ends early; routes made stay.
bool RouteCrossbar(Crossbar& crossbar, int input, int output, bool routeRelated);

// A tuner: the channel is the tuner's frequency number.
class Tuner {
 public:
  virtual ~Tuner() = default;
  virtual int Channel() const = 0;
  virtual bool SetChannel(int channel) = 0;
};

// An editable property of a device or element, for the property dialogs.
struct MediaProperty {
  enum class Type { kBool, kInt, kDouble, kChoice, kText, kAction };
  std::string name;   // the key Set takes
  std::string label;  // what the dialog shows
  Type type = Type::kInt;
  int64_t minimum = 0;
  int64_t maximum = 0;
  int64_t step = 1;
  int64_t value = 0;        // kBool (0/1), kInt, kChoice (the choice's value)
  double doubleValue = 0;   // kDouble
  double doubleMinimum = 0;
  double doubleMaximum = 0;
  std::string text;         // kText
  std::vector<std::pair<int64_t, std::string>> choices;  // kChoice
};

// A set of properties shown together under a caption ("Video Device",
// "Crossbar", "Tuner"). Set may be called while the graph runs.
class PropertyPage {
 public:
  virtual ~PropertyPage() = default;
  virtual std::string Caption() const = 0;
  virtual std::vector<MediaProperty> Properties() const = 0;
  // Applies one property's new value (value, doubleValue or text as its
  // type says). False when refused.
  virtual bool Set(const MediaProperty& property) = 0;
};

// A page of a crossbar (the video input, and the audio input when there
// is one) and of a tuner (the channel).
std::unique_ptr<PropertyPage> MakeCrossbarPage(std::shared_ptr<Crossbar> crossbar);
std::unique_ptr<PropertyPage> MakeTunerPage(std::shared_ptr<Tuner> tuner);

// A media graph: one GStreamer pipeline and its bus.
//
// Capture graph: device -> the chosen caps -> (a decoder for compressed
// modes) -> conversion to BGR -> grabber, which plays the Null Renderer's
// part (nothing is shown). File graph: the file's own decoders -> the
// video through conversion to BGR into the grabber; the sound, when kept,
// through conversion to the default audio output; without sound, audio
// streams are never decoded.
//
// Run, Pause and Stop may be called from the UI thread while a worker
// pumps frames; position queries from any thread.
class MediaGraph {
 public:
  ~MediaGraph();
  MediaGraph(const MediaGraph&) = delete;
  MediaGraph& operator=(const MediaGraph&) = delete;

  // An empty graph; null when GStreamer cannot make one. `wantPosition`
  // gives it seeking and a duration.
  static std::unique_ptr<MediaGraph> Create(bool wantPosition);

  enum class BuildResult { kBuilt, kNoDevice, kCannotRender, kNoVideo, kNoGrabber, kStopped };

  // Adds the device's element ("Capture device") with `caps` (empty: the
  // device's own choice) and the grabber behind it, and brings the graph
  // up to the point where it can run. `grab` must outlive the graph.
  BuildResult BuildCapture(const MediaDevice& device, const std::string& caps, GrabHandshake* grab);
  // Plays `path` (a local file) into the grabber. Waits until the file's
  // streams are known, giving up early when `stop` turns true; the first
  // error is kept in LastError.
  BuildResult BuildFile(const std::string& path, bool sound, GrabHandshake* grab,
                        const std::atomic<bool>& stop);

  // The crossbar and tuner of a capture graph's device, when it has them.
  std::shared_ptr<Crossbar> FindCrossbar();
  std::shared_ptr<Tuner> FindTuner();
  // Sets the analog TV standard to PAL-B where the device decodes analog
  // video; silently nothing elsewhere.
  void SetAnalogStandardPalB();
  // The device's controls ("Video Device"): V4L2 controls of a device
  // node, else the writable properties of the device's element.
  std::unique_ptr<PropertyPage> DevicePage();

  // The format the grabber's input negotiated, when known.
  struct VideoFormat {
    int width = 0;
    int height = 0;
    int64_t frameDuration = 0;  // 100-ns units; 0 when the rate is unknown
  };
  VideoFormat NegotiatedFormat() const;

  // Runs the graph; waits until it runs or fails, giving up when `stop`
  // turns true. False when it cannot run.
  bool Run(const std::atomic<bool>* stop = nullptr);
  // Asks the graph to run without waiting for it (the Play button).
  bool Play();
  bool Pause();
  // Stops the flow; a file graph stays loaded (positions still work).
  bool Stop();
  // Every stream ended or an error ended the graph (takes the pending bus
  // messages without waiting). A graph without a bus counts as finished.
  bool Finished();
  // The first error the graph reported, or empty.
  std::string LastError() const;
  // Whether the element names of the graph contain `text` (case-sensitive).
  bool HasElementNamed(std::string_view text) const;
  // Factory names of the graph's elements, for diagnostics and tests.
  std::vector<std::string> ElementFactories() const;

  bool HasPosition() const { return wantPosition_; }
  // Seconds; a negative duration when unknown.
  double Duration() const;
  double Position() const;
  bool SetPosition(double seconds);

  // Tears the graph down (state NULL, every element removed). Also done by
  // the destructor.
  void RemoveAllFilters();

  struct Impl;

 private:
  MediaGraph(std::unique_ptr<Impl> impl, bool wantPosition);
  std::unique_ptr<Impl> impl_;
  bool wantPosition_;
};

// Keeps a device list up to date: calls `changed` (on the toolkit's
// device thread) whenever a device of the category appears or goes. The
// function must not make or destroy a DeviceWatch; after the destructor
// returns it is not running and is not called again.
class DeviceWatch {
 public:
  DeviceWatch(DeviceCategory category, std::function<void()> changed);
  ~DeviceWatch();
  DeviceWatch(const DeviceWatch&) = delete;
  DeviceWatch& operator=(const DeviceWatch&) = delete;
  bool Watching() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// In-place row work on packed bottom-up BGR frames.
//
// Deinterlace: for k from 0 while k < height / 2 - 1, row 2k + 1 is copied
// over row 2k (rows of width x 3 bytes).
void DeinterlaceRows(uint8_t* frame, int width, int height);
// Moves rows of `length / height` bytes together into rows of width x 3
// bytes when `length` is larger than width x height x 3 (padded rows);
// answers the packed length.
uint32_t CompactRows(uint8_t* frame, uint32_t length, int width, int height);

}  // namespace corvalind

#include "producer/segment_recorder.h"

#include <gst/gst.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <utility>

#include "capture/media_internal.h"
#include "capture/media_toolkit.h"
#include "platform/file_io.h"

namespace corvalind {

namespace {

constexpr std::size_t kLocalPathLimit = 1024;

// The first device of the category whose display name contains `text`
// (case-sensitive), in the monitor's order.
std::shared_ptr<MediaDevice> FindDeviceContaining(DeviceCategory category, const std::string& text) {
  for (int n = 0;; ++n) {
    std::shared_ptr<MediaDevice> device = FindDeviceByIndex(category, n);
    if (!device) return nullptr;
    if (device->Name().find(text) != std::string::npos) return device;
  }
}

bool HasProperty(GstElement* element, const char* name) {
  return g_object_class_find_property(G_OBJECT_GET_CLASS(element), name) != nullptr;
}

}  // namespace

Vp8Settings Vp8SettingsFor(const ReelforgeConfig& config) {
  Vp8Settings s;
  // A rate below 1 has no frame interval: the encoder then works as fast
  // as it can (its "realtime" deadline).
  s.deadlineUs = config.videoFps >= 1 ? 1000000 / config.videoFps : 1;
  s.threads = std::clamp(config.webmThreads, 0, 64);
  const std::int64_t bits = static_cast<std::int64_t>(config.webmBitrate) * 1000;
  s.targetBitrate = static_cast<int>(std::clamp<std::int64_t>(bits, 0, std::numeric_limits<int>::max()));
  s.endUsage = config.webmUsage == 1 ? 1 : 0;
  s.keyframeMode = 1;
  return s;
}

double VorbisQualityFor(int vorbisQuality) {
  return std::clamp(vorbisQuality, 0, 100) / 100.0;
}

struct CSegmentRecorder::Impl {
  GstElement* pipeline = nullptr;  // owned
  GstElement* source = nullptr;    // borrowed from the pipeline
  GstElement* audio = nullptr;
  std::string devicePath;

  // What the bus told, from the streaming threads.
  mutable std::mutex mutex;
  std::condition_variable changed;
  bool ended = false;  // end-of-stream reached the file writer
  bool failed = false;
  std::string error;

  static GstBusSyncReply OnMessage(GstBus*, GstMessage* message, gpointer data) {
    auto* self = static_cast<Impl*>(data);
    switch (GST_MESSAGE_TYPE(message)) {
      case GST_MESSAGE_EOS: {
        std::lock_guard<std::mutex> lock(self->mutex);
        self->ended = true;
        self->changed.notify_all();
        break;
      }
      case GST_MESSAGE_ERROR: {
        GError* error = nullptr;
        gchar* debug = nullptr;
        gst_message_parse_error(message, &error, &debug);
        std::string text = error ? error->message : "error";
        // The system's reason (a full disk, a file too large, a device
        // gone) ends the details, after the element's path: it is what
        // tells the user what to do.
        const char* reason = debug ? std::strrchr(debug, '\n') : nullptr;
        if (reason && reason[1] != '\0') text += std::string(" ") + (reason + 1);
        g_free(debug);
        std::lock_guard<std::mutex> lock(self->mutex);
        if (self->error.empty()) self->error = text;
        self->failed = true;
        self->changed.notify_all();
        if (error) g_error_free(error);
        break;
      }
      default:
        break;
    }
    // Nothing is kept on the bus, so nothing piles up over a long show. A
    // handler that drops a message owns it: a message kept alive would keep
    // the element that posted it, and with it the whole graph.
    gst_message_unref(message);
    return GST_BUS_DROP;
  }

  void Dismantle() {
    if (!pipeline) return;
    gst_element_set_state(pipeline, GST_STATE_NULL);
    GstBus* bus = gst_element_get_bus(pipeline);
    gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
    gst_object_unref(bus);
    gst_object_unref(pipeline);
    pipeline = nullptr;
    source = nullptr;
    audio = nullptr;
  }

  // Adds a new element of `factory` as `name`; null when it cannot be made.
  GstElement* Add(const char* factory, const std::string& name) {
    GstElement* element = gst_element_factory_make(factory, name.c_str());
    if (element && !gst_bin_add(GST_BIN(pipeline), element)) return nullptr;
    return element;
  }
};

CSegmentRecorder::CSegmentRecorder(ReelforgeConfig config, ReelforgeConsole console, std::string bufferName)
    : config_(std::move(config)), console_(std::move(console)), bufferName_(std::move(bufferName)),
      impl_(std::make_unique<Impl>()) {}

CSegmentRecorder::~CSegmentRecorder() { Close(); }

void CSegmentRecorder::Print(const std::string& text) const {
  if (console_) console_(text);
}

bool CSegmentRecorder::Prepare() {
  impl_->Dismantle();
  built_ = false;
  if (!InitMediaToolkit()) return false;
  impl_->pipeline = gst_pipeline_new("reelforge");
  if (!impl_->pipeline) return false;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->ended = impl_->failed = false;
    impl_->error.clear();
  }
  GstBus* bus = gst_element_get_bus(impl_->pipeline);
  gst_bus_set_sync_handler(bus, &Impl::OnMessage, impl_.get(), nullptr);
  gst_object_unref(bus);
  return true;
}

bool CSegmentRecorder::StartFile(const std::string& fileName) {
  fileWhole_ = false;
  localPath_ = config_.outputFiles + fileName;
  if (localPath_.size() > kLocalPathLimit) localPath_.resize(kLocalPathLimit);
  Print("Prepare file: " + localPath_ + "\n");
  if (!built_) {
    if (!impl_->pipeline || !Build()) {
      Print("Cannot create graph, check settings!\n");
      return false;
    }
    built_ = true;
  }
  return true;
}

bool CSegmentRecorder::Build() {
  Impl& g = *impl_;
  const ReelforgeConfig& c = config_;

  // 1. The video source.
  std::shared_ptr<MediaDevice> device;
  GstElement* source = nullptr;
  if (c.captureDevice.empty()) {
    source = gst_element_factory_make("corvalindcamsrc", kVirtualCameraName);
    if (source) g_object_set(source, "buffer-name", bufferName_.c_str(), nullptr);
  } else {
    device = FindDeviceContaining(DeviceCategory::kVideoInput, c.captureDevice);
    if (device) {
      source = gst_device_create_element(device->impl().device, c.captureDevice.c_str());
      g.devicePath = device->DevicePath();
    }
  }
  if (!source) {
    Print("Cannot find capture device!\n");
    return false;
  }
  if (!gst_bin_add(GST_BIN(g.pipeline), source)) return false;
  g.source = source;

  // 2. The capture format, through a caps filter behind the source.
  GstElement* sourceEnd = source;
  if (c.videoWidth >= 1 && c.videoHeight >= 1) {
    Print("\nInit capture device...");
    std::string caps;
    if (device) {
      const std::vector<CaptureCapability> modes = device->Capabilities();
      Print(" total video modes(" + std::to_string(modes.size()) + ") ");
      const std::int64_t frameDuration = c.videoFps >= 1 ? 10000000 / c.videoFps : 0;
      caps = SetCaptureFormat(*device, c.videoWidth, c.videoHeight, std::max(c.skipCode, 0), c.forceDefault != 0,
                              frameDuration);
      if (!caps.empty()) {
        // The mode the choice starts from: the (SKIP_CODE + 1)-th that is
        // large enough.
        int qualifying = 0;
        for (const CaptureCapability& mode : modes) {
          if (mode.mediaType.rfind("video/", 0) != 0 && mode.mediaType.rfind("image/", 0) != 0) continue;
          if (mode.maxWidth < c.videoWidth || mode.maxHeight < c.videoHeight) continue;
          if (qualifying++ == std::max(c.skipCode, 0)) {
            Print(" trying mode(" + std::to_string(mode.index) + ") ");
            break;
          }
        }
      }
    } else {
      // The virtual camera serves one mode, the studio's picture: the size
      // asked for is set when it is that one.
      Print(" total video modes(1) ");
      GstPad* pad = gst_element_get_static_pad(source, "src");
      GstCaps* offered = pad ? gst_pad_query_caps(pad, nullptr) : nullptr;
      GstCaps* wanted = gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, c.videoWidth, "height", G_TYPE_INT,
                                            c.videoHeight, nullptr);
      if (offered && gst_caps_can_intersect(offered, wanted)) {
        Print(" trying mode(0) ");
        gchar* text = gst_caps_to_string(wanted);
        caps = text;
        g_free(text);
      }
      gst_caps_unref(wanted);
      if (offered) gst_caps_unref(offered);
      if (pad) gst_object_unref(pad);
    }
    if (caps.empty()) {
      Print("FAILED!");
    } else {
      GstElement* filter = g.Add("capsfilter", "Capture Format");
      GstCaps* made = gst_caps_from_string(caps.c_str());
      if (!filter || !made) {
        if (made) gst_caps_unref(made);
        return false;
      }
      g_object_set(filter, "caps", made, nullptr);
      gst_caps_unref(made);
      if (!gst_element_link(source, filter)) return false;
      sourceEnd = filter;
      if (caps.rfind("image/jpeg", 0) == 0) {
        // A compressed mode is decoded before it is counted and encoded.
        GstElement* decoder = g.Add("jpegdec", "Capture Decoder");
        if (!decoder || !gst_element_link(filter, decoder)) return false;
        sourceEnd = decoder;
      }
      Print("done!\n");
    }
  }

  // 3. The encoder and its five settings.
  GstElement* encoder = g.Add("vp8enc", "VP8 Encoder");
  if (!encoder) {
    Print("Cannot find VP8 Encoder!\n");
    return false;
  }
  const Vp8Settings vp8 = Vp8SettingsFor(c);
  g_object_set(encoder, "deadline", static_cast<gint64>(vp8.deadlineUs), "threads", vp8.threads, "target-bitrate",
               vp8.targetBitrate, "cpu-used", vp8.cpuUsed, nullptr);
  gst_util_set_object_arg(G_OBJECT(encoder), "end-usage", vp8.endUsage == 1 ? "cbr" : "vbr");
  gst_util_set_object_arg(G_OBJECT(encoder), "keyframe-mode", vp8.keyframeMode == 1 ? "auto" : "disabled");

  // 4. The muxer.
  GstElement* muxer = g.Add("webmmux", "Web Muxer");
  if (!muxer) return false;
  g_object_set(muxer, "writing-app", kWebmWritingApp, nullptr);

  // 5. The sound source.
  if (!c.audioDevice.empty()) {
    std::shared_ptr<MediaDevice> microphone = FindDeviceContaining(DeviceCategory::kAudioInput, c.audioDevice);
    GstElement* audio = microphone ? gst_device_create_element(microphone->impl().device, c.audioDevice.c_str()) : nullptr;
    if (!audio) {
      Print("ERROR, cannot find audio device (" + c.audioDevice + ")! Audio capture is disabled!\n");
    } else {
      if (!gst_bin_add(GST_BIN(g.pipeline), audio)) return false;
      g.audio = audio;
      // Buffers of 50 ms: an audio source's segment length, or the
      // samples per buffer of a generated sound (at its default rate).
      if (HasProperty(audio, "latency-time")) {
        g_object_set(audio, "latency-time", static_cast<gint64>(kAudioLatencyMs) * 1000, nullptr);
        Print("SetAudioLatency(" + std::to_string(kAudioLatencyMs) + ")\n");
      } else if (HasProperty(audio, "samplesperbuffer")) {
        g_object_set(audio, "samplesperbuffer", 44100 * kAudioLatencyMs / 1000, nullptr);
        Print("SetAudioLatency(" + std::to_string(kAudioLatencyMs) + ")\n");
      }
    }
  }

  // 6. The frame counter: every buffer that leaves it is one frame.
  GstElement* counter = g.Add("identity", "Frame Counter");
  if (!counter) {
    Print("Cannot find SampleGrabber filter!\n");
    return false;
  }
  frames_.store(0, std::memory_order_relaxed);
  GstPad* counted = gst_element_get_static_pad(counter, "src");
  gst_pad_add_probe(
      counted, GST_PAD_PROBE_TYPE_BUFFER,
      [](GstPad*, GstPadProbeInfo*, gpointer data) {
        auto* self = static_cast<CSegmentRecorder*>(data);
        // Only this streaming thread raises the count, so reading and then
        // raising it cannot pass the limit.
        if (self->frames_.load(std::memory_order_relaxed) >= self->frameLimit_.load(std::memory_order_relaxed)) {
          return GST_PAD_PROBE_DROP;
        }
        self->frames_.fetch_add(1, std::memory_order_relaxed);
        return GST_PAD_PROBE_OK;
      },
      this, nullptr);
  gst_object_unref(counted);

  // 7. The file writer.
  GstElement* writer = g.Add("filesink", "File writer");
  if (!writer) return false;
  g_object_set(writer, "location", localPath_.c_str(), "append", FALSE, "async", FALSE, nullptr);

  // 8. Connections; videoconvert gives the encoder a format it takes. The
  // queue gives the encoding a thread of its own, so the source keeps
  // taking the picture at its instants while a key frame or the second
  // recorder of the overlap holds the encoder up; only when it falls
  // further behind than the queue holds does the source wait.
  Print("Connecting...");
  GstElement* encodingQueue = g.Add("queue", "Encoding Queue");
  GstElement* convert = g.Add("videoconvert", "Video Converter");
  if (!encodingQueue || !convert) return false;
  g_object_set(encodingQueue, "max-size-buffers", static_cast<guint>(kEncodingQueueFrames), "max-size-bytes", 0u,
               "max-size-time", static_cast<guint64>(0), nullptr);
  if (!gst_element_link_many(sourceEnd, counter, encodingQueue, convert, encoder, muxer, writer, nullptr)) {
    return false;
  }

  // 9. The sound into the muxer.
  if (g.audio) {
    GstElement* audioConvert = g.Add("audioconvert", "Audio Converter");
    GstElement* resample = g.Add("audioresample", "Audio Resampler");
    GstElement* vorbis = g.Add("vorbisenc", "Vorbis Encoder");
    if (!audioConvert || !resample || !vorbis) return false;
    g_object_set(vorbis, "quality", static_cast<gfloat>(VorbisQualityFor(c.vorbisQuality)), nullptr);
    if (!gst_element_link_many(g.audio, audioConvert, resample, vorbis, muxer, nullptr)) return false;
  }
  Print("done!\n");

  // 11. The crossbar of the video device.
  if (c.crossbarInput >= 0) {
    Print("Configure crossbar (" + std::to_string(c.crossbarInput) + ")...");
    std::shared_ptr<Crossbar> crossbar =
        !g.devicePath.empty() ? MakeV4l2Crossbar(g.devicePath) : MakeElementCrossbar(source);
    if (!crossbar) {
      Print("no crossbar found!\n");
    } else {
      if (crossbar->CanRoute(0, c.crossbarInput) &&
          !RouteCrossbar(*crossbar, c.crossbarInput, 0, /*routeRelated=*/true)) {
        Print("Cannot route crossbar\n");
      }
      Print("done!\n");
    }
  }

  // 12. The graph as a Graphviz file, for looking at what was built.
  if (c.debugMode != 0) {
    gchar* dot = gst_debug_bin_to_dot_data(GST_BIN(g.pipeline), GST_DEBUG_GRAPH_SHOW_ALL);
    if (dot) {
      ReplaceFile("debug.dot", dot);
      g_free(dot);
    }
  }
  return true;
}

bool CSegmentRecorder::Run() {
  if (!impl_->pipeline || !built_) return false;
  return gst_element_set_state(impl_->pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
}

void CSegmentRecorder::Close() {
  Impl& g = *impl_;
  if (!g.pipeline) return;
  GstState state = GST_STATE_NULL;
  GstState pending = GST_STATE_VOID_PENDING;
  gst_element_get_state(g.pipeline, &state, &pending, 0);
  if (built_ && (state >= GST_STATE_PAUSED || pending >= GST_STATE_PAUSED)) {
    // End-of-stream from the sources; the muxer writes the duration and
    // the cues when it reaches it.
    gst_element_send_event(g.pipeline, gst_event_new_eos());
    std::unique_lock<std::mutex> lock(g.mutex);
    g.changed.wait_for(lock, std::chrono::milliseconds(kCloseTimeoutMs), [&] { return g.ended || g.failed; });
    fileWhole_ = g.ended && !g.failed;
  }
  g.Dismantle();
  built_ = false;
}

bool CSegmentRecorder::HasAudio() const { return impl_->audio != nullptr; }

std::string CSegmentRecorder::LastError() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->error;
}

}  // namespace corvalind

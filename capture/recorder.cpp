#include "capture/recorder.h"

#include <gst/audio/audio.h>
#include <gst/gst.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

#include "capture/media_internal.h"
#include "engine/messages.h"
#include "platform/output_block.h"

namespace corvalind {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<EncoderEntry> Encoders(const char* klass) {
  std::vector<EncoderEntry> entries;
  if (!InitMediaToolkit()) return entries;
  GList* features = gst_registry_get_feature_list(gst_registry_get(), GST_TYPE_ELEMENT_FACTORY);
  for (GList* item = features; item; item = item->next) {
    GstElementFactory* factory = GST_ELEMENT_FACTORY(item->data);
    const char* classes = gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS);
    if (!classes || !std::strstr(classes, klass)) continue;
    const char* longName = gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_LONGNAME);
    entries.push_back({GST_OBJECT_NAME(factory), longName ? longName : GST_OBJECT_NAME(factory)});
  }
  gst_plugin_feature_list_free(features);
  std::sort(entries.begin(), entries.end(),
            [](const EncoderEntry& a, const EncoderEntry& b) { return a.factory < b.factory; });
  return entries;
}

// A kept element of a role (an encoder, the audio device), with our own
// reference, so it survives the pipelines it is put into.
struct KeptElement {
  GstElement* element = nullptr;
  std::string name;
  ~KeptElement() { Reset(); }
  void Reset() {
    if (element) gst_object_unref(element);
    element = nullptr;
    name.clear();
  }
  void Take(GstElement* made, std::string label) {
    Reset();
    if (!made) return;
    element = GST_ELEMENT(gst_object_ref_sink(made));
    name = std::move(label);
  }
};

// A pass-through counter on a pad: bytes, samples (buffers for video,
// frames for audio), buffers that came with a gap or discontinuity, and
// the sample rate over the last whole second.
class FlowMeter {
 public:
  void Attach(GstElement* element, bool audio) {
    audio_ = audio;
    GstPad* pad = gst_element_get_static_pad(element, "src");
    gst_pad_add_probe(pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                      &FlowMeter::OnProbe, this, nullptr);
    gst_object_unref(pad);
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    stats_ = FlowStats{};
    windowStart_ = Clock::now();
    windowSamples_ = 0;
  }
  FlowStats Stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
  }
  uint32_t BytesPerSecond() const { return bytesPerSecond_.load(); }

 private:
  static GstPadProbeReturn OnProbe(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto* meter = static_cast<FlowMeter*>(data);
    if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
      GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
      if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS && meter->audio_) {
        GstCaps* caps = nullptr;
        gst_event_parse_caps(event, &caps);
        GstAudioInfo audio;
        if (caps && gst_audio_info_from_caps(&audio, caps)) {
          meter->bytesPerFrame_.store(static_cast<uint32_t>(GST_AUDIO_INFO_BPF(&audio)));
          meter->bytesPerSecond_.store(static_cast<uint32_t>(GST_AUDIO_INFO_BPF(&audio) * GST_AUDIO_INFO_RATE(&audio)));
        }
      }
      return GST_PAD_PROBE_OK;
    }
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (buffer) meter->Count(buffer);
    return GST_PAD_PROBE_OK;
  }

  void Count(GstBuffer* buffer) {
    const uint64_t bytes = gst_buffer_get_size(buffer);
    const uint32_t frame = bytesPerFrame_.load();
    const uint64_t samples = audio_ ? (frame ? bytes / frame : 0) : 1;
    const bool gap = GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT) ||
                     GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_GAP);
    std::lock_guard<std::mutex> lock(mutex_);
    stats_.bytes += bytes;
    stats_.samples += samples;
    if (gap && stats_.samples > samples) ++stats_.third;  // the first buffer always starts a stream
    windowSamples_ += samples;
    const auto now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - windowStart_).count();
    if (seconds >= 1.0) {
      stats_.rate = static_cast<double>(windowSamples_) / seconds;
      windowStart_ = now;
      windowSamples_ = 0;
    }
  }

  bool audio_ = false;
  std::atomic<uint32_t> bytesPerFrame_{0};
  std::atomic<uint32_t> bytesPerSecond_{0};
  mutable std::mutex mutex_;
  FlowStats stats_;
  Clock::time_point windowStart_ = Clock::now();
  uint64_t windowSamples_ = 0;
};

// Links an encoder into the muxer, through the parser of its format when
// the muxer wants the stream framed differently (H.264 and H.265 in
// Matroska take it in access units, as their parsers give them). False
// when the container cannot carry the encoder's output at all.
bool LinkToMuxer(GstBin* bin, GstElement* encoder, GstElement* muxer) {
  if (gst_element_link(encoder, muxer)) return true;
  GstPad* source = gst_element_get_static_pad(encoder, "src");
  GstCaps* made = source ? gst_pad_query_caps(source, nullptr) : nullptr;
  if (source) gst_object_unref(source);
  if (!made) return false;
  GList* parsers = gst_element_factory_list_get_elements(GST_ELEMENT_FACTORY_TYPE_PARSER, GST_RANK_MARGINAL);
  parsers = g_list_sort(parsers, gst_plugin_feature_rank_compare_func);
  bool linked = false;
  for (GList* item = parsers; item && !linked; item = item->next) {
    GstElementFactory* factory = GST_ELEMENT_FACTORY(item->data);
    if (!gst_element_factory_can_sink_any_caps(factory, made)) continue;
    GstElement* parser = gst_element_factory_create(factory, nullptr);
    if (!parser) continue;
    gst_bin_add(bin, parser);
    linked = gst_element_link(encoder, parser) && gst_element_link(parser, muxer);
    if (!linked) {
      gst_element_unlink(encoder, parser);
      gst_bin_remove(bin, parser);
    }
  }
  gst_plugin_feature_list_free(parsers);
  gst_caps_unref(made);
  return linked;
}

}  // namespace

std::vector<EncoderEntry> VideoEncoders() { return Encoders("Codec/Encoder/Video"); }
std::vector<EncoderEntry> AudioEncoders() { return Encoders("Codec/Encoder/Audio"); }

SyncStep AvSyncStep(const SyncReading& reading, SyncState& state, double currentSpeed) {
  SyncStep step;
  if (reading.videoFrames < 100 || reading.audioBytesPerSecond == 0 || reading.frameRate <= 0) return step;
  step.acted = true;
  double a = static_cast<double>(reading.audioBytes) / static_cast<double>(reading.audioBytesPerSecond);
  const double v = static_cast<double>(reading.videoFrames) / reading.frameRate;
  if (state.offset >= 1000.0) {
    state.offset = v - a;  // the first check measures the clocks' offset
  } else {
    a += state.offset;
  }
  const double d = v - a;
  const double speed = std::fabs(d) > 0.1 ? (v > a ? 102.0 : 98.0) : currentSpeed;
  state.percent = speed;
  step.previous = currentSpeed;
  step.speed = speed;
  step.audio = a;
  step.video = v;
  step.difference = d;
  char line[200];
  std::snprintf(line, sizeof line, "a/v:%.2f(%.2f) fps:%.2f a:%.2f o:%.2f v:%.2f d:%.2f df:%.2f", currentSpeed, speed,
                reading.videoRate, a, state.offset, v, d,
                static_cast<double>(reading.videoThird + reading.audioThird));
  step.line = line;
  return step;
}

struct Recorder::Impl {
  KeptElement videoEncoder;
  KeptElement audioEncoder;
  KeptElement audioSource;
  GstElement* pipeline = nullptr;
  GstElement* speed = nullptr;  // the pitch element while recording with sound
  double speedPercent = 100.0;
  FlowMeter videoMeter;
  FlowMeter audioMeter;
  std::atomic<bool> ended{false};
  std::atomic<bool> failed{false};
  std::mutex errorMutex;
  std::string error;
  std::string path;  // the file being written

  static GstBusSyncReply OnMessage(GstBus*, GstMessage* message, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
      impl->ended.store(true);
    } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
      GError* error = nullptr;
      gst_message_parse_error(message, &error, nullptr);
      {
        std::lock_guard<std::mutex> lock(impl->errorMutex);
        if (impl->error.empty()) impl->error = error && error->message ? error->message : "unknown error";
      }
      if (error) g_error_free(error);
      impl->failed.store(true);
    }
    // A handler that drops a message owns it: a message kept alive would
    // keep the element that posted it, and with it the whole graph.
    gst_message_unref(message);
    return GST_BUS_DROP;
  }

  // Takes the kept elements out before the pipeline goes, so they can be
  // used by the next one.
  void TearDown() {
    if (!pipeline) return;
    gst_element_set_state(pipeline, GST_STATE_NULL);
    for (KeptElement* kept : {&videoEncoder, &audioEncoder, &audioSource}) {
      if (kept->element && GST_OBJECT_PARENT(kept->element) == GST_OBJECT(pipeline)) {
        gst_bin_remove(GST_BIN(pipeline), kept->element);
        gst_element_set_state(kept->element, GST_STATE_NULL);
      }
    }
    GstBus* bus = gst_pipeline_get_bus(GST_PIPELINE(pipeline));
    gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
    gst_object_unref(bus);
    gst_object_unref(pipeline);
    pipeline = nullptr;
    speed = nullptr;
  }
};

Recorder::Recorder() : impl_(std::make_unique<Impl>()) { InitMediaToolkit(); }

Recorder::~Recorder() {
  if (recording_) Stop();
  impl_->TearDown();
}

namespace {

bool BindEncoder(KeptElement& kept, const std::vector<EncoderEntry>& entries, const std::string& longName) {
  kept.Reset();
  if (longName.empty()) return false;
  for (const EncoderEntry& entry : entries) {
    if (entry.longName == longName) {
      kept.Take(gst_element_factory_make(entry.factory.c_str(), nullptr), longName);
      return kept.element != nullptr;
    }
  }
  return false;
}

}  // namespace

bool Recorder::SetVideoEncoder(const std::string& longName) {
  return BindEncoder(impl_->videoEncoder, VideoEncoders(), longName);
}

bool Recorder::SetAudioEncoder(const std::string& longName) {
  return BindEncoder(impl_->audioEncoder, AudioEncoders(), longName);
}

bool Recorder::SetAudioSource(const std::string& deviceName) {
  impl_->audioSource.Reset();
  std::shared_ptr<MediaDevice> device;
  if (FindDeviceByFriendlyName(DeviceCategory::kAudioInput, deviceName, &device) != FindDeviceResult::kFound) {
    return false;
  }
  impl_->audioSource.Take(gst_device_create_element(device->impl().device, nullptr), deviceName);
  return impl_->audioSource.element != nullptr;
}

bool Recorder::HasVideoEncoder() const { return impl_->videoEncoder.element != nullptr; }
bool Recorder::HasAudioEncoder() const { return impl_->audioEncoder.element != nullptr; }
bool Recorder::HasAudioSource() const { return impl_->audioSource.element != nullptr; }

std::unique_ptr<PropertyPage> Recorder::VideoEncoderPage(const std::string& caption) const {
  return impl_->videoEncoder.element ? MakeElementPropertyPage(impl_->videoEncoder.element, caption) : nullptr;
}
std::unique_ptr<PropertyPage> Recorder::AudioEncoderPage(const std::string& caption) const {
  return impl_->audioEncoder.element ? MakeElementPropertyPage(impl_->audioEncoder.element, caption) : nullptr;
}
std::unique_ptr<PropertyPage> Recorder::AudioSourcePage(const std::string& caption) const {
  return impl_->audioSource.element ? MakeElementPropertyPage(impl_->audioSource.element, caption) : nullptr;
}

Recorder::StartResult Recorder::Start(const std::string& path, bool matroska, const std::string& bufferName) {
  Impl& impl = *impl_;
  message_.clear();
  if (recording_) return StartResult::kStarted;
  if (!impl.videoEncoder.element) return StartResult::kNoVideoEncoder;
  if (path.empty()) return StartResult::kNoOutput;
  if (impl.audioSource.element && !impl.audioEncoder.element) return StartResult::kNoAudioEncoder;
  impl.TearDown();
  auto fail = [&](const std::string& text) {
    message_ = text;
    impl.TearDown();
    return StartResult::kFailed;
  };

  impl.pipeline = gst_pipeline_new("recorder");
  GstBus* bus = gst_pipeline_get_bus(GST_PIPELINE(impl.pipeline));
  gst_bus_set_sync_handler(bus, &Impl::OnMessage, &impl, nullptr);
  gst_object_unref(bus);
  impl.ended.store(false);
  impl.failed.store(false);
  {
    std::lock_guard<std::mutex> lock(impl.errorMutex);
    impl.error.clear();
  }
  GstBin* bin = GST_BIN(impl.pipeline);
  auto make = [&](const char* factory, const char* name) {
    GstElement* element = gst_element_factory_make(factory, name);
    if (element) gst_bin_add(bin, element);
    return element;
  };

  GstElement* videoMeter = make("identity", "Video Flow Meter");
  if (!videoMeter) return fail("Cannot find FlowMeter filter.\n Please, re-intall application!");
  GstElement* camera = make("corvalindcamsrc", "Orvik Corvalind");
  if (!camera) return fail("Cannot find Virtual Camera!");
  g_object_set(camera, "buffer-name", bufferName.empty() ? kOutputBufferName : bufferName.c_str(), nullptr);
  GstElement* writer = make("filesink", "File writer");
  if (!writer) return fail("Cannot find the file writer!");

  // The old file goes first; a folder that is not there is no file name.
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return fail("File access is denied!");
  const std::string folder = path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/') + 1);
  struct stat info;
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || path.back() == '/') {
    return fail("Please, use correct filename");
  }
  g_object_set(writer, "location", path.c_str(), "async", FALSE, nullptr);
  impl.path = path;

  GstElement* muxer = nullptr;
  if (matroska) {
    muxer = make("matroskamux", "MKV Mux");
    if (!muxer) message_ = "Cannot find matroska muxer!";
  }
  if (!muxer) muxer = make("avimux", "AVI Mux");
  if (!muxer) return fail("Cannot find the AVI muxer!");
  muxer_ = matroska && message_.empty() ? "matroskamux" : "avimux";

  // Video: the meter counts what the camera gives; the queue takes up an
  // encoder's moments of slowness so the camera never waits.
  GstElement* videoConvert = make("videoconvert", "Video converter");
  GstElement* videoQueue = make("queue", "Video queue");
  gst_bin_add(bin, impl.videoEncoder.element);
  if (!videoConvert || !videoQueue) return fail("Cannot RenderStream (video)!");
  g_object_set(videoQueue, "max-size-buffers", 0u, "max-size-bytes", 0u, "max-size-time", 3 * GST_SECOND, nullptr);
  if (!gst_element_link_many(camera, videoMeter, videoQueue, videoConvert, impl.videoEncoder.element, nullptr) ||
      !LinkToMuxer(bin, impl.videoEncoder.element, muxer)) {
    fail("Cannot RenderStream (video)!");
    SetStatusText(std::string("Cannot RenderStream (video)! ") + muxer_ + " cannot carry what the video encoder makes.");
    return StartResult::kFailed;
  }
  impl.videoMeter.Attach(videoMeter, false);

  if (impl.audioSource.element) {
    GstElement* audioMeter = make("identity", "Audio Flow Meter");
    if (!audioMeter) return fail("Cannot find FlowMeter filter.\n Please, re-intall application!");
    GstElement* speed = make("pitch", "Audio Resample Filter");
    if (!speed) return fail("Cannot find Audio Resample filter.\n Please, re-intall application!");
    GstElement* convertIn = make("audioconvert", "Audio converter");
    GstElement* resample = make("audioresample", "Audio resampler");
    GstElement* convertOut = make("audioconvert", "Audio encoder format");
    GstElement* audioQueue = make("queue", "Audio queue");
    gst_bin_add(bin, impl.audioSource.element);
    gst_bin_add(bin, impl.audioEncoder.element);
    if (!convertIn || !resample || !convertOut || !audioQueue) return fail("Cannot RenderStream (audio)!");
    g_object_set(audioQueue, "max-size-buffers", 0u, "max-size-bytes", 0u, "max-size-time", 3 * GST_SECOND, nullptr);
    if (!gst_element_link_many(impl.audioSource.element, convertIn, resample, speed, audioMeter, audioQueue, convertOut,
                               impl.audioEncoder.element, nullptr) ||
        !LinkToMuxer(bin, impl.audioEncoder.element, muxer)) {
      fail("Cannot RenderStream (audio)!");
      SetStatusText(std::string("Cannot RenderStream (audio)! ") + muxer_ + " cannot carry what the audio encoder makes.");
      return StartResult::kFailed;
    }
    impl.audioMeter.Attach(audioMeter, true);
    impl.speed = speed;
    SetSpeed(100.0);
  }
  if (!gst_element_link(muxer, writer)) return fail("Cannot ConnectPins (final)!");
  sync_ = SyncState{};

  impl.videoMeter.Reset();
  impl.audioMeter.Reset();
  const GstStateChangeReturn result = gst_element_set_state(impl.pipeline, GST_STATE_PLAYING);
  GstState state = GST_STATE_NULL;
  const GstStateChangeReturn settled =
      result == GST_STATE_CHANGE_FAILURE ? result : gst_element_get_state(impl.pipeline, &state, nullptr, 5 * GST_SECOND);
  if (settled == GST_STATE_CHANGE_FAILURE || impl.failed.load() || state != GST_STATE_PLAYING) {
    char text[64];
    std::snprintf(text, sizeof text, "Cannot run the graph! (%d)", static_cast<int>(settled));
    std::string reason;
    {
      std::lock_guard<std::mutex> lock(impl.errorMutex);
      reason = impl.error;
    }
    fail(text);
    if (!reason.empty()) SetStatusText(std::string(text) + " " + reason);
    return StartResult::kFailed;
  }
  recording_ = true;
  return StartResult::kStarted;
}

void Recorder::Stop(int limitMs) {
  Impl& impl = *impl_;
  if (!impl.pipeline) {
    recording_ = false;
    return;
  }
  // End-of-stream from the sources down to the muxer, which then writes
  // the file's index and header: a stopped file is whole and seekable.
  if (recording_ && !impl.failed.load()) {
    gst_element_send_event(impl.pipeline, gst_event_new_eos());
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    while (!impl.ended.load() && !impl.failed.load() && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  recording_ = false;
  impl.TearDown();
}

bool Recorder::CheckFailure() {
  Impl& impl = *impl_;
  if (!recording_) return false;
  // A file whose folder was removed still takes data on Linux, all of it
  // lost: that counts as a failure too.
  struct stat info;
  const bool gone = ::stat(impl.path.c_str(), &info) != 0;
  if (!impl.failed.load() && !gone) return false;
  std::string reason;
  {
    std::lock_guard<std::mutex> lock(impl.errorMutex);
    reason = impl.error;
  }
  if (reason.empty()) reason = "the output file or its folder was removed";
  message_ = "Recording stopped: " + reason;
  recording_ = false;
  impl.TearDown();
  return true;
}

FlowStats Recorder::VideoStats() const { return impl_->videoMeter.Stats(); }
FlowStats Recorder::AudioStats() const { return impl_->audioMeter.Stats(); }
uint32_t Recorder::AudioBytesPerSecond() const { return impl_->audioMeter.BytesPerSecond(); }

double Recorder::Speed() const { return impl_->speedPercent; }

void Recorder::SetSpeed(double percent) {
  if (percent <= 0) return;
  impl_->speedPercent = percent;
  // Above 100 the stage makes more sound per second of input (it stretches
  // the time by the percentage), below 100 less, without changing pitch.
  if (impl_->speed) g_object_set(impl_->speed, "tempo", static_cast<gfloat>(100.0 / percent), nullptr);
}

std::string Recorder::CheckSync(int frameRate) {
  if (!recording_ || !impl_->speed) return {};
  const FlowStats video = VideoStats();
  const FlowStats audio = AudioStats();
  SyncReading reading;
  reading.videoFrames = video.samples;
  reading.videoRate = video.rate;
  reading.videoThird = video.third;
  reading.audioBytes = audio.bytes;
  reading.audioThird = audio.third;
  reading.audioBytesPerSecond = AudioBytesPerSecond();
  reading.frameRate = frameRate;
  const SyncStep step = AvSyncStep(reading, sync_, Speed());
  if (!step.acted) return {};
  SetSpeed(step.speed);
  return step.line;
}

}  // namespace corvalind

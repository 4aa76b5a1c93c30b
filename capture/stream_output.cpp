#include "capture/stream_output.h"

#include <gst/gst.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>

#include "capture/media_toolkit.h"
#include "capture/media_internal.h"

namespace corvalind {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDropQueuePictures = 4;
constexpr int kLongestWaitSeconds = 30;
// How long a stop waits for the stream's end to reach the server.
constexpr GstClockTime kDrainLimitMs = 600;
constexpr const char* kNoCameraText = "Cannot find Virtual Camera!";

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

void ReplaceAll(std::string& text, const std::string& what, const std::string& with) {
  if (what.empty()) return;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
}

bool HasFactory(const char* name) {
  GstElementFactory* factory = gst_element_factory_find(name);
  if (!factory) return false;
  gst_object_unref(factory);
  return true;
}

}  // namespace

StreamProtocol StreamProtocolOf(const std::string& url) {
  if (StartsWith(url, "rtmp://") || StartsWith(url, "rtmps://")) return StreamProtocol::kRtmp;
  if (StartsWith(url, "srt://")) return StreamProtocol::kSrt;
  return StreamProtocol::kNone;
}

bool CheckStreamSettings(const StreamSettings& s, std::string* reason) {
  const auto fail = [reason](const std::string& why) {
    if (reason) *reason = why;
    return false;
  };
  const StreamProtocol protocol = StreamProtocolOf(s.url);
  if (protocol == StreamProtocol::kNone) return fail("The address must start with rtmp://, rtmps:// or srt://");
  const std::size_t hostStart = s.url.find("://") + 3;
  if (hostStart >= s.url.size() || s.url[hostStart] == '/' || s.url[hostStart] == ':') {
    return fail("The address names no server");
  }
  for (const std::string* text : {&s.url, &s.key, &s.passphrase, &s.audioDevice}) {
    for (char c : *text) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return fail("The address, key or passphrase holds a control character");
    }
  }
  if (protocol == StreamProtocol::kSrt && !s.passphrase.empty() &&
      (s.passphrase.size() < 10 || s.passphrase.size() > 79)) {
    return fail("An SRT passphrase has 10 to 79 characters");
  }
  if (protocol == StreamProtocol::kSrt && s.url.find("passphrase=") != std::string::npos) {
    return fail("Give the SRT passphrase in its own field, not in the address");
  }
  if (s.videoKbps < 100 || s.videoKbps > 100000) return fail("The video bit rate must be 100 to 100000 kbit/s");
  if (s.keyframeSeconds < 1 || s.keyframeSeconds > 20) return fail("The key-frame interval must be 1 to 20 seconds");
  if (s.audioKbps < 32 || s.audioKbps > 512) return fail("The audio bit rate must be 32 to 512 kbit/s");
  static const char* const kPresets[] = {"ultrafast", "superfast", "veryfast", "faster", "fast",
                                         "medium",    "slow",      "slower",   "veryslow"};
  if (std::find_if(std::begin(kPresets), std::end(kPresets), [&](const char* p) { return s.preset == p; }) ==
      std::end(kPresets)) {
    return fail("Unknown x264 preset: " + s.preset);
  }
  return true;
}

std::string RedactStreamSecrets(const StreamSettings& settings, std::string text) {
  ReplaceAll(text, settings.key, "****");
  ReplaceAll(text, settings.passphrase, "****");
  return text;
}

std::string StreamStatusText(const StreamStatistics& s) {
  char text[400];
  switch (s.state) {
    case StreamState::kIdle:
      return s.lastError.empty() ? "Not streaming" : "Stopped: " + s.lastError;
    case StreamState::kFailed:
      return "Cannot stream: " + s.lastError;
    case StreamState::kConnecting:
      std::snprintf(text, sizeof(text), "Connecting... (%d reconnects, %llu frames dropped)", s.reconnects,
                    static_cast<unsigned long long>(s.framesDropped));
      return text;
    case StreamState::kWaiting:
      std::snprintf(text, sizeof(text), "Connection lost (%s); trying again in %.0f s, attempt %d",
                    s.lastError.c_str(), s.retryInSeconds, s.attempt);
      return text;
    case StreamState::kLive:
      std::snprintf(text, sizeof(text), "Live %02d:%02d:%02d, %.0f kbit/s, %llu frames dropped, %d reconnects",
                    static_cast<int>(s.uptimeSeconds) / 3600, static_cast<int>(s.uptimeSeconds) / 60 % 60,
                    static_cast<int>(s.uptimeSeconds) % 60, s.kbitsPerSecond,
                    static_cast<unsigned long long>(s.framesDropped), s.reconnects);
      return text;
  }
  return {};
}

struct StreamOutput::Impl {
  StreamSettings settings;
  std::thread supervisor;
  std::atomic<bool> running{false};

  std::mutex stopMutex;
  std::condition_variable stopWake;
  bool stopRequested = false;  // under stopMutex

  // Kept by the graph's streaming threads.
  std::atomic<uint64_t> queuedIn{0};
  std::atomic<uint64_t> queuedOut{0};
  std::atomic<uint64_t> encoded{0};
  std::atomic<uint64_t> bytes{0};
  // Pictures shed before the encoder while the connection is congested
  // (RTMP queues what the socket does not take inside its sink, without
  // bound: the output holds the backlog to about a second of bit rate).
  std::atomic<bool> congested{false};
  std::atomic<uint64_t> shed{0};
  // The frame-rate instant of the camera's last picture (streaming thread
  // only; reset with each graph).
  std::optional<uint64_t> lastSlot;
  std::atomic<uint64_t> droppedBefore{0};  // of the graphs before this one
  std::atomic<uint64_t> bytesBefore{0};
  std::atomic<uint64_t> encodedBefore{0};

  mutable std::mutex statsMutex;
  StreamStatistics stats;  // under statsMutex, apart from the counters

  GstElement* pipeline = nullptr;  // supervisor thread only
  GstElement* dropQueue = nullptr;

  // The totals, as the statistics show them; supervisor thread.
  void PublishCounters() {
    const uint64_t dropped = droppedBefore.load() + DroppedNow();
    const uint64_t sent = bytesBefore.load() + bytes.load();
    const uint64_t frames = encodedBefore.load() + encoded.load();
    std::lock_guard<std::mutex> lock(statsMutex);
    stats.framesDropped = dropped;
    stats.bytesSent = sent;
    stats.framesEncoded = frames;
  }

  bool StopRequested() {
    std::lock_guard<std::mutex> lock(stopMutex);
    return stopRequested;
  }
  // Sleeps up to `duration`; false when a stop was asked for.
  bool Wait(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(stopMutex);
    return !stopWake.wait_for(lock, duration, [this] { return stopRequested; });
  }
  void SetState(StreamState state, const std::string& error = {}) {
    std::lock_guard<std::mutex> lock(statsMutex);
    stats.state = state;
    if (!error.empty()) stats.lastError = error;
  }

  static GstPadProbeReturn Count(GstPad*, GstPadProbeInfo* info, gpointer counter) {
    if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) static_cast<std::atomic<uint64_t>*>(counter)->fetch_add(1);
    return GST_PAD_PROBE_OK;
  }
  static GstPadProbeReturn CountBytes(GstPad*, GstPadProbeInfo* info, gpointer counter) {
    auto* total = static_cast<std::atomic<uint64_t>*>(counter);
    if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) {
      total->fetch_add(gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info)));
    } else if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
      total->fetch_add(gst_buffer_list_calculate_size(GST_PAD_PROBE_INFO_BUFFER_LIST(info)));
    }
    return GST_PAD_PROBE_OK;
  }
  void Probe(GstElement* element, const char* padName, GstPadProbeType type, GstPadProbeCallback callback,
             std::atomic<uint64_t>* counter) {
    GstPad* pad = gst_element_get_static_pad(element, padName);
    if (!pad) return;
    gst_pad_add_probe(pad, type, callback, counter, nullptr);
    gst_object_unref(pad);
  }

  static GstPadProbeReturn Shed(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    if (!(GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) || !impl->congested.load()) return GST_PAD_PROBE_OK;
    impl->shed.fetch_add(1);
    return GST_PAD_PROBE_DROP;
  }

  // The camera stamps each picture with the time it read it, which a busy
  // machine spreads by some milliseconds either way, and it reads at whole
  // milliseconds (every 33 ms for 30 fps). Platforms and players expect a
  // stream at its frame rate, so each time moves to the nearest instant of
  // the rate. A picture landing on the instant of the one before is a read
  // beyond the rate and is left out; skipped instants stay skipped.
  static GstPadProbeReturn SnapToRate(GstPad*, GstPadProbeInfo* info, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (!buffer || !GST_BUFFER_PTS_IS_VALID(buffer)) return GST_PAD_PROBE_OK;
    const uint64_t rate = static_cast<uint64_t>(std::max(1, impl->settings.frameRate));
    const uint64_t slot = gst_util_uint64_scale_round(GST_BUFFER_PTS(buffer), rate, GST_SECOND);
    if (impl->lastSlot && slot <= *impl->lastSlot) return GST_PAD_PROBE_DROP;
    impl->lastSlot = slot;
    buffer = gst_buffer_make_writable(buffer);
    GST_BUFFER_PTS(buffer) = gst_util_uint64_scale(slot, GST_SECOND, rate);
    GST_BUFFER_DURATION(buffer) = gst_util_uint64_scale(1, GST_SECOND, rate);
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
    return GST_PAD_PROBE_OK;
  }

  // RTMP: what the sink took but the socket has not sent yet.
  uint64_t RtmpBacklog() {
    if (!pipeline || StreamProtocolOf(settings.url) != StreamProtocol::kRtmp) return 0;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    if (!sink) return 0;
    GstStructure* stats = nullptr;
    g_object_get(sink, "stats", &stats, nullptr);
    gst_object_unref(sink);
    guint64 sent = 0;
    if (stats) {
      gst_structure_get_uint64(stats, "out-bytes-total", &sent);
      gst_structure_free(stats);
    }
    const uint64_t taken = bytes.load();
    return taken > sent ? taken - sent : 0;
  }

  // Pictures that went into the drop queue and never out of it, and those
  // shed for congestion.
  uint64_t DroppedNow() const {
    uint64_t level = 0;
    if (dropQueue) {
      guint buffers = 0;
      g_object_get(dropQueue, "current-level-buffers", &buffers, nullptr);
      level = buffers;
    }
    const uint64_t in = queuedIn.load();
    const uint64_t out = queuedOut.load() + level;
    return (in > out ? in - out : 0) + shed.load();
  }

  // The graph of one connection; false with a reason that no retry mends.
  bool Build(std::string* reason) {
    const StreamProtocol protocol = StreamProtocolOf(settings.url);
    std::string camera = "corvalindcamsrc name=cam";
    if (!settings.bufferName.empty()) camera += " buffer-name=" + settings.bufferName;
    const int keyInterval = std::max(1, settings.keyframeSeconds * settings.frameRate);
    std::string description =
        camera + " ! queue name=dropq leaky=downstream max-size-buffers=" + std::to_string(kDropQueuePictures) +
        " max-size-bytes=0 max-size-time=0 ! videoconvert ! video/x-raw,format=I420 ! x264enc name=venc "
        "tune=zerolatency bframes=0 bitrate=" +
        std::to_string(settings.videoKbps) + " key-int-max=" + std::to_string(keyInterval) +
        " speed-preset=" + settings.preset +
        " ! video/x-h264,profile=main ! h264parse config-interval=-1 ! queue name=vq ! mux. ";
    const std::string audio = "audioconvert name=aconv ! audioresample ! audio/x-raw,rate=48000,channels=2 ! "
                              "voaacenc bitrate=" +
                              std::to_string(settings.audioKbps * 1000) + " ! aacparse ! queue name=aq ! mux. ";
    description += settings.audioDevice.empty() ? "audiotestsrc wave=silence is-live=true ! " + audio : audio;
    description += protocol == StreamProtocol::kRtmp ? "flvmux name=mux streamable=true ! rtmp2sink name=sink"
                                                     : "mpegtsmux name=mux alignment=7 ! srtsink name=sink";
    GError* error = nullptr;
    pipeline = gst_parse_launch(description.c_str(), &error);
    if (error) {
      const std::string message = error->message ? error->message : "the stream's graph cannot be built";
      g_error_free(error);
      if (pipeline) gst_object_unref(pipeline);
      pipeline = nullptr;
      *reason = HasFactory("corvalindcamsrc") ? message : kNoCameraText;
      return false;
    }
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    if (protocol == StreamProtocol::kRtmp) {
      std::string location = settings.url;
      if (!settings.key.empty()) {
        if (location.back() != '/') location += '/';
        location += settings.key;
      }
      g_object_set(sink, "location", location.c_str(), nullptr);
    } else {
      std::string uri = settings.url;
      uri += uri.find('?') == std::string::npos ? '?' : '&';
      uri += settings.srtListener ? "mode=listener" : "mode=caller";
      g_object_set(sink, "uri", uri.c_str(), nullptr);
      if (!settings.passphrase.empty()) g_object_set(sink, "passphrase", settings.passphrase.c_str(), "pbkeylen", 16, nullptr);
      // A listener waits for its caller without holding the program.
      g_object_set(sink, "wait-for-connection", FALSE, nullptr);
    }
    Probe(sink, "sink", static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
          &Impl::CountBytes, &bytes);
    gst_object_unref(sink);
    dropQueue = gst_bin_get_by_name(GST_BIN(pipeline), "dropq");
    Probe(dropQueue, "sink", GST_PAD_PROBE_TYPE_BUFFER, &Impl::Count, &queuedIn);
    Probe(dropQueue, "src", GST_PAD_PROBE_TYPE_BUFFER, &Impl::Count, &queuedOut);
    if (GstPad* pad = gst_element_get_static_pad(dropQueue, "src")) {
      gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, &Impl::Shed, this, nullptr);
      gst_object_unref(pad);
    }
    lastSlot.reset();
    GstElement* cameraElement = gst_bin_get_by_name(GST_BIN(pipeline), "cam");
    if (GstPad* pad = gst_element_get_static_pad(cameraElement, "src")) {
      gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, &Impl::SnapToRate, this, nullptr);
      gst_object_unref(pad);
    }
    gst_object_unref(cameraElement);
    GstElement* encoder = gst_bin_get_by_name(GST_BIN(pipeline), "venc");
    Probe(encoder, "src", GST_PAD_PROBE_TYPE_BUFFER, &Impl::Count, &encoded);
    gst_object_unref(encoder);

    if (!settings.audioDevice.empty()) {
      std::shared_ptr<MediaDevice> device;
      GstElement* source = nullptr;
      if (FindDeviceByFriendlyName(DeviceCategory::kAudioInput, settings.audioDevice, &device) == FindDeviceResult::kFound) {
        source = gst_device_create_element(device->impl().device, nullptr);
      }
      GstElement* convert = gst_bin_get_by_name(GST_BIN(pipeline), "aconv");
      if (!source || !gst_bin_add(GST_BIN(pipeline), source) || !gst_element_link(source, convert)) {
        gst_object_unref(convert);
        *reason = "Cannot find audio source!";
        TearDown();
        return false;
      }
      gst_object_unref(convert);
    }
    return true;
  }

  void TearDown() {
    if (!pipeline) return;
    gst_element_set_state(pipeline, GST_STATE_NULL);
    // What this graph counted stays in the totals.
    droppedBefore.fetch_add(DroppedNow());
    bytesBefore.fetch_add(bytes.exchange(0));
    encodedBefore.fetch_add(encoded.exchange(0));
    queuedIn.store(0);
    queuedOut.store(0);
    shed.store(0);
    congested.store(false);
    PublishCounters();
    if (dropQueue) gst_object_unref(dropQueue);
    dropQueue = nullptr;
    gst_object_unref(pipeline);
    pipeline = nullptr;
  }

  // One connection: runs until an error, the end, or a stop. Returns the
  // error text ("" after a stop).
  std::string RunConnection() {
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
      return ErrorFromBus().empty() ? std::string("the server cannot be reached") : ErrorFromBus();
    }
    GstBus* bus = gst_element_get_bus(pipeline);
    Clock::time_point liveSince{};
    Clock::time_point lastSecond = Clock::now();
    uint64_t bytesAtLastSecond = 0;
    std::string failure;
    while (!StopRequested()) {
      GstMessage* message = gst_bus_timed_pop_filtered(
          bus, 100 * GST_MSECOND, static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS));
      if (message) {
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
          GError* error = nullptr;
          gchar* debug = nullptr;
          gst_message_parse_error(message, &error, &debug);
          failure = error && error->message ? error->message : "the connection failed";
          if (error) g_error_free(error);
          g_free(debug);
        } else {
          failure = "the stream ended";
        }
        gst_message_unref(message);
        break;
      }
      // About a second of the bit rate may wait in the sink; past it the
      // pictures go before the encoder, until the backlog is half that.
      const uint64_t allowed = std::max<uint64_t>(256 * 1024, static_cast<uint64_t>(settings.videoKbps) * 1000 / 8);
      const uint64_t backlog = RtmpBacklog();
      if (backlog > allowed) congested.store(true);
      if (backlog < allowed / 2) congested.store(false);
      PublishCounters();
      const Clock::time_point now = Clock::now();
      // What left through the socket, not what waits in the sink.
      const uint64_t sent = bytes.load() - std::min(bytes.load(), backlog);
      if (liveSince == Clock::time_point{} && sent > 0) {
        liveSince = now;
        std::lock_guard<std::mutex> lock(statsMutex);
        stats.state = StreamState::kLive;
        stats.attempt = 0;
      }
      if (now - lastSecond >= std::chrono::seconds(1)) {
        const double seconds = std::chrono::duration<double>(now - lastSecond).count();
        std::lock_guard<std::mutex> lock(statsMutex);
        stats.kbitsPerSecond = static_cast<double>(sent - bytesAtLastSecond) * 8.0 / 1000.0 / seconds;
        stats.uptimeSeconds =
            liveSince == Clock::time_point{} ? 0.0 : std::chrono::duration<double>(now - liveSince).count();
        bytesAtLastSecond = sent;
        lastSecond = now;
      }
    }
    // A stop while connected ends the stream properly: the end travels from
    // the sources through the encoders and the muxer, so the pictures on
    // their way and the container's end reach the server. A link too slow
    // to take them in time loses them, since Stop must end within a second.
    if (failure.empty() && liveSince != Clock::time_point{}) {
      gst_element_send_event(pipeline, gst_event_new_eos());
      GstMessage* message = gst_bus_timed_pop_filtered(
          bus, kDrainLimitMs * GST_MSECOND, static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS));
      if (message) gst_message_unref(message);
      PublishCounters();
    }
    gst_object_unref(bus);
    return failure;
  }

  std::string ErrorFromBus() {
    GstBus* bus = gst_element_get_bus(pipeline);
    std::string text;
    if (GstMessage* message = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
      GError* error = nullptr;
      gst_message_parse_error(message, &error, nullptr);
      if (error && error->message) text = error->message;
      if (error) g_error_free(error);
      gst_message_unref(message);
    }
    gst_object_unref(bus);
    return text;
  }

  void Supervise() {
    int attempt = 0;
    while (!StopRequested()) {
      SetState(StreamState::kConnecting);
      std::string reason;
      if (!Build(&reason)) {
        SetState(StreamState::kFailed, RedactStreamSecrets(settings, reason));
        break;
      }
      const std::string failure = RunConnection();
      TearDown();
      if (StopRequested()) break;
      ++attempt;
      const int delay = std::min(kLongestWaitSeconds, 1 << std::min(attempt - 1, 5));
      {
        std::lock_guard<std::mutex> lock(statsMutex);
        ++stats.reconnects;
        stats.attempt = attempt;
        stats.state = StreamState::kWaiting;
        stats.lastError = RedactStreamSecrets(settings, failure);
        stats.uptimeSeconds = 0;
        stats.kbitsPerSecond = 0;
      }
      for (int tenth = delay * 10; tenth > 0; --tenth) {
        {
          std::lock_guard<std::mutex> lock(statsMutex);
          stats.retryInSeconds = tenth / 10.0;
        }
        if (!Wait(std::chrono::milliseconds(100))) break;
      }
    }
    TearDown();
    std::lock_guard<std::mutex> lock(statsMutex);
    if (stats.state != StreamState::kFailed) stats.state = StreamState::kIdle;
    stats.kbitsPerSecond = 0;
    stats.retryInSeconds = 0;
  }
};

StreamOutput::StreamOutput() : impl_(std::make_unique<Impl>()) { InitMediaToolkit(); }

StreamOutput::~StreamOutput() { Stop(); }

bool StreamOutput::Start(const StreamSettings& settings, std::string* reason) {
  Stop();
  if (!CheckStreamSettings(settings, reason)) return false;
  Impl& impl = *impl_;
  if (!HasFactory("corvalindcamsrc")) {
    if (reason) *reason = kNoCameraText;
    return false;
  }
  const char* needed[] = {"x264enc", "voaacenc", "h264parse", "aacparse",
                          StreamProtocolOf(settings.url) == StreamProtocol::kRtmp ? "flvmux" : "mpegtsmux",
                          StreamProtocolOf(settings.url) == StreamProtocol::kRtmp ? "rtmp2sink" : "srtsink"};
  for (const char* factory : needed) {
    if (!HasFactory(factory)) {
      if (reason) *reason = std::string("The GStreamer element ") + factory + " is missing";
      return false;
    }
  }
  impl.settings = settings;
  {
    std::lock_guard<std::mutex> lock(impl.stopMutex);
    impl.stopRequested = false;
  }
  {
    std::lock_guard<std::mutex> lock(impl.statsMutex);
    impl.stats = StreamStatistics{};
    impl.stats.state = StreamState::kConnecting;
  }
  impl.droppedBefore.store(0);
  impl.bytesBefore.store(0);
  impl.encodedBefore.store(0);
  impl.running.store(true);
  impl.supervisor = std::thread([&impl] { impl.Supervise(); });
  return true;
}

void StreamOutput::Stop() {
  Impl& impl = *impl_;
  if (!impl.supervisor.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(impl.stopMutex);
    impl.stopRequested = true;
  }
  impl.stopWake.notify_all();
  impl.supervisor.join();
  impl.running.store(false);
}

bool StreamOutput::Running() const { return impl_->running.load(); }

StreamStatistics StreamOutput::Statistics() const {
  const Impl& impl = *impl_;
  std::lock_guard<std::mutex> lock(impl.statsMutex);
  return impl.stats;
}

}  // namespace corvalind

// MediaGraph: the GStreamer pipelines of the camera and video-file sources.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "capture/media_internal.h"
#include "capture/media_toolkit.h"

namespace corvalind {

namespace {

// How long a file may take to show its streams before it counts as one
// that does not play. A local file shows them within a second; the limit
// matters where the decoders swallow a demuxer's error while they try it
// (a cut-off MP4 now and then), so that the user still gets an answer.
constexpr auto kFileOpenLimit = std::chrono::seconds(10);
// How long Run waits for a graph to start before it counts as failed.
constexpr auto kRunLimit = std::chrono::seconds(10);

bool IsRawVideo(const std::string& caps) { return caps.rfind("video/x-raw", 0) == 0; }

}  // namespace

struct MediaGraph::Impl {
  GstElement* pipeline = nullptr;
  GstElement* source = nullptr;   // the device's element (capture graphs)
  GstElement* convert = nullptr;  // head of the grabber branch
  GstElement* grabber = nullptr;  // appsink
  std::string devicePath;
  GrabHandshake* grab = nullptr;
  bool sound = false;

  // Written on streaming threads.
  std::atomic<bool> ended{false};
  std::atomic<bool> failed{false};
  std::atomic<bool> videoLinked{false};
  std::atomic<bool> audioLinked{false};
  std::atomic<bool> noMorePads{false};
  mutable std::mutex errorMutex;
  std::string error;

  void NoteError(const std::string& text) {
    std::lock_guard<std::mutex> lock(errorMutex);
    if (error.empty()) error = text;
  }

  // Every message ends here, on the thread that posts it, so nothing
  // piles up in the bus however long the graph runs.
  static GstBusSyncReply OnMessage(GstBus*, GstMessage* message, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    switch (GST_MESSAGE_TYPE(message)) {
      case GST_MESSAGE_EOS:
        impl->ended.store(true);
        break;
      case GST_MESSAGE_ERROR: {
        GError* error = nullptr;
        gchar* debug = nullptr;
        gst_message_parse_error(message, &error, &debug);
        impl->NoteError(error && error->message ? error->message : "unknown error");
        if (error) g_error_free(error);
        g_free(debug);
        impl->failed.store(true);
        impl->ended.store(true);
        break;
      }
      default:
        break;
    }
    // A handler that drops a message owns it: a message kept alive would
    // keep the element that posted it, and with it the whole graph.
    gst_message_unref(message);
    return GST_BUS_DROP;
  }

  static GstFlowReturn OnSample(GstAppSink* sink, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (!sample) return GST_FLOW_OK;
    // Samples nobody asked for cost this test only.
    if (impl->grab && impl->grab->Pending()) {
      GstVideoInfo info;
      GstBuffer* buffer = gst_sample_get_buffer(sample);
      GstCaps* caps = gst_sample_get_caps(sample);
      if (buffer && caps && gst_video_info_from_caps(&info, caps)) {
        GstVideoFrame frame;
        if (gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ)) {
          const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
          const int height = GST_VIDEO_FRAME_HEIGHT(&frame);
          const GstClockTime pts = GST_BUFFER_PTS(buffer);
          const double seconds = GST_CLOCK_TIME_IS_VALID(pts) ? static_cast<double>(pts) / GST_SECOND : 0.0;
          const auto* plane = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
          const auto* mapped = static_cast<const uint8_t*>(frame.map[0].data);
          const size_t size = frame.map[0].size - static_cast<size_t>(plane - mapped);
          const GstClockTime base = gst_element_get_base_time(GST_ELEMENT(sink));
          const int64_t due = GST_CLOCK_TIME_IS_VALID(pts) && GST_CLOCK_TIME_IS_VALID(base)
                                  ? static_cast<int64_t>(base + pts)
                                  : -1;
          impl->grab->Offer(seconds, plane, size, GST_VIDEO_FRAME_WIDTH(&frame), height, stride, due);
          gst_video_frame_unmap(&frame);
        }
      }
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
  }

  // videoconvert -> BGR -> appsink ("Sample Grabber"), in the pipeline but
  // not linked upstream yet. The grabber never queues: it holds one sample.
  bool AddGrabberBranch(bool sync) {
    convert = gst_element_factory_make("videoconvert", "Colour converter");
    GstElement* filter = gst_element_factory_make("capsfilter", "Grabber format");
    grabber = gst_element_factory_make("appsink", "Sample Grabber");
    if (!convert || !filter || !grabber) {
      for (GstElement* element : {convert, filter, grabber}) {
        if (element) gst_object_unref(element);
      }
      convert = grabber = nullptr;
      return false;
    }
    GstCaps* bgr = gst_caps_from_string("video/x-raw,format=BGR");
    g_object_set(filter, "caps", bgr, nullptr);
    g_object_set(grabber, "caps", bgr, "sync", sync ? TRUE : FALSE, "max-buffers", 1u, "drop", TRUE,
                 "enable-last-sample", FALSE, "qos", FALSE, nullptr);
    gst_caps_unref(bgr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = &Impl::OnSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(grabber), &callbacks, this, nullptr);
    gst_bin_add_many(GST_BIN(pipeline), convert, filter, grabber, nullptr);
    return gst_element_link_many(convert, filter, grabber, nullptr);
  }

  // A decoded stream of a file or a decoder appeared.
  static void OnPadAdded(GstElement*, GstPad* pad, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    GstCaps* caps = gst_pad_get_current_caps(pad);
    if (!caps) caps = gst_pad_query_caps(pad, nullptr);
    if (!caps) return;
    const GstStructure* structure = gst_caps_get_structure(caps, 0);
    const char* name = structure ? gst_structure_get_name(structure) : "";
    if (g_str_has_prefix(name, "video/x-raw")) {
      bool expected = false;
      if (impl->videoLinked.compare_exchange_strong(expected, true)) {
        GstPad* sink = gst_element_get_static_pad(impl->convert, "sink");
        if (gst_pad_link(pad, sink) != GST_PAD_LINK_OK) impl->videoLinked.store(false);
        gst_object_unref(sink);
      }
    } else if (g_str_has_prefix(name, "audio/x-raw") && impl->sound) {
      bool expected = false;
      if (impl->audioLinked.compare_exchange_strong(expected, true)) impl->LinkAudio(pad);
    }
    // Other streams (a second video, audio kept out, subtitles) stay
    // unlinked: the demuxer's queue lets the linked ones go on.
    gst_caps_unref(caps);
  }

  void LinkAudio(GstPad* pad) {
    GstElement* queue = gst_element_factory_make("queue", "Audio queue");
    GstElement* convertAudio = gst_element_factory_make("audioconvert", "Audio converter");
    GstElement* resample = gst_element_factory_make("audioresample", "Audio resampler");
    GstElement* sink = gst_element_factory_make("autoaudiosink", "Audio Renderer");
    if (!queue || !convertAudio || !resample || !sink) {
      for (GstElement* element : {queue, convertAudio, resample, sink}) {
        if (element) gst_object_unref(element);
      }
      return;
    }
    gst_bin_add_many(GST_BIN(pipeline), queue, convertAudio, resample, sink, nullptr);
    gst_element_link_many(queue, convertAudio, resample, sink, nullptr);
    for (GstElement* element : {sink, resample, convertAudio, queue}) gst_element_sync_state_with_parent(element);
    GstPad* queueSink = gst_element_get_static_pad(queue, "sink");
    gst_pad_link(pad, queueSink);
    gst_object_unref(queueSink);
  }

  static void OnNoMorePads(GstElement*, gpointer data) { static_cast<Impl*>(data)->noMorePads.store(true); }

  // Without sound, audio streams are handed out undecoded (and then left
  // unlinked), so no audio decoder is ever made.
  static gboolean OnAutoplugContinue(GstElement*, GstPad*, GstCaps* caps, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    if (impl->sound || !caps || gst_caps_is_empty(caps) || gst_caps_is_any(caps)) return TRUE;
    const char* name = gst_structure_get_name(gst_caps_get_structure(caps, 0));
    return g_str_has_prefix(name, "audio/") ? FALSE : TRUE;
  }

  // Waits for a state change in progress; false on failure, on `stop` or
  // after `limit`.
  bool WaitForState(const std::atomic<bool>* stop, std::chrono::steady_clock::duration limit,
                    const std::function<bool()>& giveUp = {}) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      GstState state;
      GstState pending;
      const GstStateChangeReturn result = gst_element_get_state(pipeline, &state, &pending, 50 * GST_MSECOND);
      if (result == GST_STATE_CHANGE_SUCCESS || result == GST_STATE_CHANGE_NO_PREROLL) return !failed.load();
      if (result == GST_STATE_CHANGE_FAILURE || failed.load()) return false;
      if (stop && stop->load()) return false;
      if (giveUp && giveUp()) return false;
      if (std::chrono::steady_clock::now() > deadline) return false;
    }
  }
};

MediaGraph::MediaGraph(std::unique_ptr<Impl> impl, bool wantPosition)
    : impl_(std::move(impl)), wantPosition_(wantPosition) {}

MediaGraph::~MediaGraph() {
  RemoveAllFilters();
  if (impl_->pipeline) {
    GstBus* bus = gst_pipeline_get_bus(GST_PIPELINE(impl_->pipeline));
    gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
    gst_object_unref(bus);
    gst_object_unref(impl_->pipeline);
  }
}

std::unique_ptr<MediaGraph> MediaGraph::Create(bool wantPosition) {
  if (!InitMediaToolkit()) return nullptr;
  auto impl = std::make_unique<Impl>();
  impl->pipeline = gst_pipeline_new("graph");
  if (!impl->pipeline) return nullptr;
  GstBus* bus = gst_pipeline_get_bus(GST_PIPELINE(impl->pipeline));
  gst_bus_set_sync_handler(bus, &Impl::OnMessage, impl.get(), nullptr);
  gst_object_unref(bus);
  return std::unique_ptr<MediaGraph>(new MediaGraph(std::move(impl), wantPosition));
}

MediaGraph::BuildResult MediaGraph::BuildCapture(const MediaDevice& device, const std::string& caps,
                                                 GrabHandshake* grab) {
  Impl& impl = *impl_;
  impl.grab = grab;
  impl.devicePath = device.DevicePath();
  impl.source = gst_device_create_element(device.impl().device, "Capture device");
  if (!impl.source) return BuildResult::kCannotRender;
  gst_bin_add(GST_BIN(impl.pipeline), impl.source);
  GstElement* format = gst_element_factory_make("capsfilter", "Capture format");
  if (!format) return BuildResult::kCannotRender;
  if (!caps.empty()) {
    GstCaps* chosen = gst_caps_from_string(caps.c_str());
    if (chosen) {
      g_object_set(format, "caps", chosen, nullptr);
      gst_caps_unref(chosen);
    }
  }
  gst_bin_add(GST_BIN(impl.pipeline), format);
  if (!impl.AddGrabberBranch(/*sync=*/false)) return BuildResult::kNoGrabber;
  if (!gst_element_link(impl.source, format)) return BuildResult::kCannotRender;
  if (!caps.empty() && IsRawVideo(caps)) {
    if (!gst_element_link(format, impl.convert)) return BuildResult::kCannotRender;
    impl.videoLinked.store(true);
  } else {
    // Compressed modes (MJPEG, H.264) and the device's own choice are
    // decoded by whatever decoder fits.
    GstElement* decoder = gst_element_factory_make("decodebin", "Decoder");
    if (!decoder) return BuildResult::kCannotRender;
    gst_bin_add(GST_BIN(impl.pipeline), decoder);
    g_signal_connect(decoder, "pad-added", G_CALLBACK(&Impl::OnPadAdded), &impl);
    if (!gst_element_link(format, decoder)) return BuildResult::kCannotRender;
  }
  return BuildResult::kBuilt;
}

MediaGraph::BuildResult MediaGraph::BuildFile(const std::string& path, bool sound, GrabHandshake* grab,
                                              const std::atomic<bool>& stop) {
  Impl& impl = *impl_;
  impl.grab = grab;
  impl.sound = sound;
  // Only regular files: a pipe or a device would block the reader.
  struct stat info;
  if (path.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    impl.NoteError("not a readable file");
    return BuildResult::kCannotRender;
  }
  GError* error = nullptr;
  gchar* uri = gst_filename_to_uri(path.c_str(), &error);
  if (error) g_error_free(error);
  if (!uri) return BuildResult::kCannotRender;
  GstElement* decoder = gst_element_factory_make("uridecodebin", "Video Source");
  if (!decoder) {
    g_free(uri);
    return BuildResult::kCannotRender;
  }
  g_object_set(decoder, "uri", uri, nullptr);
  g_free(uri);
  gst_bin_add(GST_BIN(impl.pipeline), decoder);
  if (!impl.AddGrabberBranch(/*sync=*/true)) return BuildResult::kNoGrabber;
  g_signal_connect(decoder, "pad-added", G_CALLBACK(&Impl::OnPadAdded), &impl);
  g_signal_connect(decoder, "no-more-pads", G_CALLBACK(&Impl::OnNoMorePads), &impl);
  g_signal_connect(decoder, "autoplug-continue", G_CALLBACK(&Impl::OnAutoplugContinue), &impl);
  if (gst_element_set_state(impl.pipeline, GST_STATE_PAUSED) == GST_STATE_CHANGE_FAILURE) {
    return impl.noMorePads.load() && !impl.videoLinked.load() ? BuildResult::kNoVideo : BuildResult::kCannotRender;
  }
  // A file without video never prerolls the grabber: its streams are all
  // known once the decoder says there are no more.
  const bool prerolled = impl.WaitForState(&stop, kFileOpenLimit, [&impl] {
    return impl.noMorePads.load() && !impl.videoLinked.load();
  });
  if (stop.load()) return BuildResult::kStopped;
  if (impl.noMorePads.load() && !impl.videoLinked.load()) return BuildResult::kNoVideo;
  if (!prerolled) {
    if (!impl.failed.load()) impl.NoteError("the file did not open in time");
    return BuildResult::kCannotRender;
  }
  if (!impl.videoLinked.load()) return BuildResult::kNoVideo;
  return BuildResult::kBuilt;
}

std::shared_ptr<Crossbar> MediaGraph::FindCrossbar() {
  if (!impl_->devicePath.empty()) return MakeV4l2Crossbar(impl_->devicePath);
  return impl_->source ? MakeElementCrossbar(impl_->source) : nullptr;
}

std::shared_ptr<Tuner> MediaGraph::FindTuner() {
  if (!impl_->devicePath.empty()) return MakeV4l2Tuner(impl_->devicePath);
  return impl_->source ? MakeElementTuner(impl_->source) : nullptr;
}

void MediaGraph::SetAnalogStandardPalB() {
  if (!impl_->devicePath.empty()) SetV4l2StandardPalB(impl_->devicePath);
}

std::unique_ptr<PropertyPage> MediaGraph::DevicePage() {
  if (!impl_->devicePath.empty()) return MakeV4l2ControlPage(impl_->devicePath, "Video Device");
  return impl_->source ? MakeElementPropertyPage(impl_->source, "Video Device") : nullptr;
}

MediaGraph::VideoFormat MediaGraph::NegotiatedFormat() const {
  VideoFormat format;
  if (!impl_->grabber) return format;
  GstPad* pad = gst_element_get_static_pad(impl_->grabber, "sink");
  GstCaps* caps = pad ? gst_pad_get_current_caps(pad) : nullptr;
  if (caps) {
    GstVideoInfo info;
    if (gst_video_info_from_caps(&info, caps)) {
      format.width = GST_VIDEO_INFO_WIDTH(&info);
      format.height = GST_VIDEO_INFO_HEIGHT(&info);
      if (GST_VIDEO_INFO_FPS_N(&info) > 0) {
        format.frameDuration =
            static_cast<int64_t>(10000000) * GST_VIDEO_INFO_FPS_D(&info) / GST_VIDEO_INFO_FPS_N(&info);
      }
    }
    gst_caps_unref(caps);
  }
  if (pad) gst_object_unref(pad);
  return format;
}

bool MediaGraph::Run(const std::atomic<bool>* stop) {
  if (!impl_->pipeline) return false;
  if (gst_element_set_state(impl_->pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) return false;
  return impl_->WaitForState(stop, kRunLimit);
}

bool MediaGraph::Play() {
  return impl_->pipeline && gst_element_set_state(impl_->pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
}

bool MediaGraph::Pause() {
  return impl_->pipeline && gst_element_set_state(impl_->pipeline, GST_STATE_PAUSED) != GST_STATE_CHANGE_FAILURE;
}

bool MediaGraph::Stop() {
  // PAUSED, not READY: a file keeps its streams and its position, so it can
  // be rewound and played again.
  return Pause();
}

bool MediaGraph::Finished() {
  if (!impl_->pipeline) return true;
  return impl_->ended.exchange(false);
}

std::string MediaGraph::LastError() const {
  std::lock_guard<std::mutex> lock(impl_->errorMutex);
  return impl_->error;
}

namespace {

// The elements of a bin (of its bins too with `recurse`), each with a
// reference the caller drops.
std::vector<GstElement*> Children(GstElement* bin, bool recurse) {
  std::vector<GstElement*> children;
  if (!bin) return children;
  GstIterator* iterator = recurse ? gst_bin_iterate_recurse(GST_BIN(bin)) : gst_bin_iterate_elements(GST_BIN(bin));
  GValue item = G_VALUE_INIT;
  bool done = false;
  while (!done) {
    switch (gst_iterator_next(iterator, &item)) {
      case GST_ITERATOR_OK:
        children.push_back(GST_ELEMENT(g_value_dup_object(&item)));
        g_value_reset(&item);
        break;
      case GST_ITERATOR_RESYNC:
        for (GstElement* child : children) gst_object_unref(child);
        children.clear();
        gst_iterator_resync(iterator);
        break;
      default:
        done = true;
        break;
    }
  }
  g_value_unset(&item);
  gst_iterator_free(iterator);
  return children;
}

template <typename Visit>
void ForEachElement(GstElement* pipeline, Visit visit) {
  for (GstElement* element : Children(pipeline, /*recurse=*/true)) {
    visit(element);
    gst_object_unref(element);
  }
}

}  // namespace

bool MediaGraph::HasElementNamed(std::string_view text) const {
  bool found = false;
  ForEachElement(impl_->pipeline, [&](GstElement* element) {
    gchar* name = gst_element_get_name(element);
    if (name && std::string_view(name).find(text) != std::string_view::npos) found = true;
    g_free(name);
  });
  return found;
}

std::vector<std::string> MediaGraph::ElementFactories() const {
  std::vector<std::string> names;
  ForEachElement(impl_->pipeline, [&](GstElement* element) {
    GstElementFactory* factory = gst_element_get_factory(element);
    if (factory) names.push_back(GST_OBJECT_NAME(factory));
  });
  return names;
}

double MediaGraph::Duration() const {
  gint64 duration = -1;
  if (!wantPosition_ || !impl_->pipeline || !gst_element_query_duration(impl_->pipeline, GST_FORMAT_TIME, &duration) ||
      duration < 0) {
    return -1.0;
  }
  return static_cast<double>(duration) / GST_SECOND;
}

double MediaGraph::Position() const {
  gint64 position = 0;
  if (!wantPosition_ || !impl_->pipeline || !gst_element_query_position(impl_->pipeline, GST_FORMAT_TIME, &position) ||
      position < 0) {
    return 0.0;
  }
  return static_cast<double>(position) / GST_SECOND;
}

bool MediaGraph::SetPosition(double seconds) {
  if (!wantPosition_ || !impl_->pipeline) return false;
  if (seconds < 0) seconds = 0;
  const gint64 target = static_cast<gint64>(seconds * GST_SECOND);
  return gst_element_seek_simple(impl_->pipeline, GST_FORMAT_TIME,
                                 static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), target);
}

void MediaGraph::RemoveAllFilters() {
  Impl& impl = *impl_;
  if (!impl.pipeline) return;
  // NULL stops every streaming thread before anything goes, so no callback
  // touches the grab buffer afterwards.
  gst_element_set_state(impl.pipeline, GST_STATE_NULL);
  const std::vector<GstElement*> children = Children(impl.pipeline, /*recurse=*/false);
  for (GstElement* child : children) {
    gst_bin_remove(GST_BIN(impl.pipeline), child);
    gst_object_unref(child);
  }
  impl.source = impl.convert = impl.grabber = nullptr;
  impl.grab = nullptr;
}

}  // namespace corvalind

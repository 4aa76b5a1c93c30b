#include "player/player_pipeline.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gst/video/videooverlay.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace corvalind {

namespace {

constexpr const char* kCameraName = "Orvik Corvalind";
constexpr const char* kTeeName = "Inf Tee";
constexpr const char* kDeckLinkName = "DeckLink Renderer";
// Frames the window branch may hold before it drops the oldest.
constexpr guint kWindowQueueFrames = 2;

std::atomic<uint64_t> nextSerial{1};

GstElement* Make(const char* factory, const char* name) { return gst_element_factory_make(factory, name); }

// The card's sink, opened once on its own to see whether a card answers:
// without one it fails going to PAUSED. Null when there is no card (or no
// DeckLink support at all).
GstElement* OpenDeckLinkSink() {
  GstElement* sink = Make("decklinkvideosink", kDeckLinkName);
  if (sink == nullptr) return nullptr;
  gst_object_ref_sink(sink);
  const GstStateChangeReturn started = gst_element_set_state(sink, GST_STATE_PAUSED);
  gst_element_set_state(sink, GST_STATE_NULL);
  if (started == GST_STATE_CHANGE_FAILURE) {
    gst_object_unref(sink);
    return nullptr;
  }
  return sink;
}

// Links a new request pad of the tee to `first`. The pad (when linked)
// goes to *pad for the caller to release or let be.
bool LinkFromTee(GstElement* tee, GstElement* first, GstPad** pad = nullptr) {
  GstPad* branch = gst_element_request_pad_simple(tee, "src_%u");
  if (branch == nullptr) return false;
  GstPad* sink = gst_element_get_static_pad(first, "sink");
  const bool linked = sink != nullptr && gst_pad_link(branch, sink) == GST_PAD_LINK_OK;
  if (sink != nullptr) gst_object_unref(sink);
  if (!linked) gst_element_release_request_pad(tee, branch);
  if (linked && pad != nullptr) {
    *pad = branch;
  } else {
    gst_object_unref(branch);
  }
  return linked;
}

GstCaps* WindowSizeCaps(int width, int height) {
  GstCaps* caps = gst_caps_new_simple("video/x-raw", "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, nullptr);
  if (width > 0 && height > 0) {
    gst_caps_set_simple(caps, "width", G_TYPE_INT, width, "height", G_TYPE_INT, height, nullptr);
  }
  return caps;
}

}  // namespace

// The GStreamer callbacks, which reach into the pipeline object.
struct PipelineCallbacks {
  static GstBusSyncReply OnBusMessage(GstBus*, GstMessage* message, gpointer data) {
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) static_cast<PlayerPipeline*>(data)->RecordError(message);
    // Everything is dropped where it is posted, so nothing piles up on the
    // bus over a long show. A handler that drops a message owns it.
    gst_message_unref(message);
    return GST_BUS_DROP;
  }
  static GstFlowReturn OnNewSample(GstAppSink* sink, gpointer data) {
    static_cast<PlayerPipeline*>(data)->StoreFrame(GST_ELEMENT(sink));
    return GST_FLOW_OK;
  }
  static GstPadProbeReturn OnBuffer(GstPad*, GstPadProbeInfo*, gpointer data) {
    auto* player = static_cast<PlayerPipeline*>(data);
    std::lock_guard<std::mutex> guard(player->stateLock_);
    ++player->framesShown_;
    return GST_PAD_PROBE_OK;
  }
};

RenderPath ChooseRenderPath(std::string_view qtPlatformName) {
  return qtPlatformName == "xcb" ? RenderPath::kOverlay : RenderPath::kPainter;
}

FitRect LetterBox(int pictureWidth, int pictureHeight, int areaWidth, int areaHeight) {
  if (pictureWidth <= 0 || pictureHeight <= 0 || areaWidth <= 0 || areaHeight <= 0) return {};
  FitRect fit;
  // Compare areaW / areaH with picW / picH without rounding.
  const int64_t byWidth = static_cast<int64_t>(areaWidth) * pictureHeight;
  const int64_t byHeight = static_cast<int64_t>(areaHeight) * pictureWidth;
  if (byWidth >= byHeight) {
    // The area is wider: full height, bars left and right.
    fit.height = areaHeight;
    fit.width = static_cast<int>((byHeight + pictureHeight / 2) / pictureHeight);
    fit.width = std::clamp(fit.width, 1, areaWidth);
  } else {
    fit.width = areaWidth;
    fit.height = static_cast<int>((byWidth + pictureWidth / 2) / pictureWidth);
    fit.height = std::clamp(fit.height, 1, areaHeight);
  }
  fit.x = (areaWidth - fit.width) / 2;
  fit.y = (areaHeight - fit.height) / 2;
  return fit;
}

std::unique_ptr<PlayerPipeline> PlayerPipeline::Build(const PipelineRequest& request, DeckLinkOutcome* outcome) {
  DeckLinkOutcome ignored;
  if (outcome == nullptr) outcome = &ignored;
  *outcome = DeckLinkOutcome::kNotAsked;
  std::unique_ptr<PlayerPipeline> player(new PlayerPipeline);
  if (!player->BuildGraph(request, outcome)) return nullptr;
  return player;
}

bool PlayerPipeline::BuildGraph(const PipelineRequest& request, DeckLinkOutcome* outcome) {
  path_ = request.path;
  serial_ = nextSerial.fetch_add(1);
  framesChanged_ = request.framesChanged;
  areaWidth_ = request.areaWidth;
  areaHeight_ = request.areaHeight;

  pipeline_ = gst_pipeline_new("Corvalind Player");
  if (pipeline_ == nullptr) return false;
  // Ours alone, whether or not it came floating.
  if (g_object_is_floating(pipeline_)) gst_object_ref_sink(pipeline_);
  GstBus* bus = gst_element_get_bus(pipeline_);
  gst_bus_set_sync_handler(bus, &PipelineCallbacks::OnBusMessage, this, nullptr);
  gst_object_unref(bus);

  // 1. The card, when asked for; the window plays without it.
  GstElement* card = nullptr;
  if (request.decklink) {
    card = OpenDeckLinkSink();
    *outcome = card != nullptr ? DeckLinkOutcome::kAttached : DeckLinkOutcome::kUnavailable;
  }

  // 2. The camera and 4. the tee it feeds.
  GstElement* camera = Make("corvalindcamsrc", kCameraName);
  GstElement* tee = Make("tee", kTeeName);
  if (camera == nullptr || tee == nullptr) {
    if (camera != nullptr) gst_object_unref(camera);
    if (tee != nullptr) gst_object_unref(tee);
    if (card != nullptr) gst_object_unref(card);
    return false;
  }
  if (!request.bufferName.empty()) g_object_set(camera, "buffer-name", request.bufferName.c_str(), nullptr);
  gst_bin_add_many(GST_BIN(pipeline_), camera, tee, nullptr);
  if (!gst_element_link(camera, tee)) {
    if (card != nullptr) gst_object_unref(card);
    return false;
  }

  // 3. The window branch: a leaky queue, so a slow display drops pictures
  // instead of holding the camera (and the card's branch) back. Its sink,
  // like the card's, does not preroll (async off): the camera is live, and
  // a sink holding its first picture until every other sink has one would
  // hold its queue, where a renegotiation of the camera (its allocation
  // query) would wait, while the card's sink waits for the camera.
  GstElement* queue = Make("queue", "Window Queue");
  GstElement* convert = Make("videoconvert", "Window Convert");
  GstElement* scale = nullptr;
  GstElement* filter = Make("capsfilter", "Window Caps");
  GstElement* sink = nullptr;
  if (path_ == RenderPath::kOverlay) {
    scale = Make("videoscale", "Window Scale");
    sink = Make("ximagesink", "Window Renderer");
  } else {
    sink = Make("appsink", "Window Renderer");
  }
  GstElement* parts[] = {queue, convert, scale, filter, sink};
  const bool made = queue != nullptr && convert != nullptr && filter != nullptr && sink != nullptr &&
                    (path_ == RenderPath::kPainter || scale != nullptr);
  if (!made) {
    for (GstElement* part : parts) {
      if (part != nullptr) gst_object_unref(part);
    }
    if (card != nullptr) gst_object_unref(card);
    return false;
  }
  g_object_set(queue, "leaky", 2 /* downstream: drop the oldest */, "max-size-buffers", kWindowQueueFrames,
               "max-size-bytes", 0u, "max-size-time", static_cast<guint64>(0), nullptr);
  if (path_ == RenderPath::kOverlay) {
    g_object_set(scale, "add-borders", TRUE, nullptr);
    GstCaps* caps = WindowSizeCaps(areaWidth_, areaHeight_);
    // A new size arrives while pictures of the old one are on their way:
    // "delayed" lets those pass until the scaler has negotiated the new
    // one, where "immediate" would fail them as not negotiated.
    gst_util_set_object_arg(G_OBJECT(filter), "caps-change-mode", "delayed");
    g_object_set(filter, "caps", caps, nullptr);
    gst_caps_unref(caps);
    g_object_set(sink, "force-aspect-ratio", TRUE, "handle-events", FALSE, "sync", FALSE, "async", FALSE, nullptr);
    gst_video_overlay_set_window_handle(GST_VIDEO_OVERLAY(sink), request.windowHandle);
    scaleCaps_ = filter;
    gst_bin_add_many(GST_BIN(pipeline_), queue, convert, scale, filter, sink, nullptr);
  } else {
    GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRx", nullptr);
    g_object_set(filter, "caps", caps, nullptr);
    gst_caps_unref(caps);
    g_object_set(sink, "max-buffers", 1u, "drop", TRUE, "sync", FALSE, "async", FALSE, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = &PipelineCallbacks::OnNewSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, this, nullptr);
    gst_bin_add_many(GST_BIN(pipeline_), queue, convert, filter, sink, nullptr);
  }
  windowSink_ = sink;
  const bool windowLinked =
      LinkFromTee(tee, queue) && (path_ == RenderPath::kOverlay
                                      ? gst_element_link_many(queue, convert, scale, filter, sink, nullptr)
                                      : gst_element_link_many(queue, convert, filter, sink, nullptr));
  if (!windowLinked) {
    if (card != nullptr) gst_object_unref(card);
    return false;
  }
  if (GstPad* pad = gst_element_get_static_pad(sink, "sink")) {
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, &PipelineCallbacks::OnBuffer, this, nullptr);
    gst_object_unref(pad);
  }

  // 5. The card's branch gets every picture: a plain queue, and conversion
  // to the size, rate and format of the card's video mode.
  if (card != nullptr) {
    g_object_set(card, "async", FALSE, nullptr);
    GstElement* cardQueue = Make("queue", "DeckLink Queue");
    GstElement* cardConvert = Make("videoconvert", "DeckLink Convert");
    GstElement* cardScale = Make("videoscale", "DeckLink Scale");
    GstElement* cardRate = Make("videorate", "DeckLink Rate");
    GstElement* branch[] = {cardQueue, cardConvert, cardScale, cardRate};
    bool ready = true;
    for (GstElement* part : branch) ready = ready && part != nullptr;
    if (!ready) {
      for (GstElement* part : branch) {
        if (part != nullptr) gst_object_unref(part);
      }
      gst_object_unref(card);
      *outcome = DeckLinkOutcome::kUnavailable;
    } else {
      // The bin takes its own reference; ours from the probe goes.
      gst_bin_add_many(GST_BIN(pipeline_), cardQueue, cardConvert, cardScale, cardRate, card, nullptr);
      gst_object_unref(card);
      GstPad* teePad = nullptr;
      if (LinkFromTee(tee, cardQueue, &teePad) &&
          gst_element_link_many(cardQueue, cardConvert, cardScale, cardRate, card, nullptr)) {
        decklink_ = card;
        GstElement* parts[] = {cardQueue, cardConvert, cardScale, cardRate, card};
        std::lock_guard<std::mutex> guard(stateLock_);
        std::copy(std::begin(parts), std::end(parts), cardParts_);
      } else {
        // Taken out of the bin, the branch's pads are unlinked; the tee's
        // pad for it goes too.
        gst_bin_remove_many(GST_BIN(pipeline_), cardQueue, cardConvert, cardScale, cardRate, card, nullptr);
        if (teePad != nullptr) gst_element_release_request_pad(tee, teePad);
        *outcome = DeckLinkOutcome::kUnavailable;
      }
      if (teePad != nullptr) gst_object_unref(teePad);
    }
  }
  // The object is complete: hand it to the streaming threads.
  std::scoped_lock publish(stateLock_, frameLock_);
  return true;
}

PlayerPipeline::~PlayerPipeline() {
  if (pipeline_ == nullptr) return;
  gst_element_set_state(pipeline_, GST_STATE_NULL);
  {
    // The streaming threads are done (state NULL waits for them); taking
    // their locks once shows the race detector they are.
    std::scoped_lock done(stateLock_, frameLock_);
  }
  GstBus* bus = gst_element_get_bus(pipeline_);
  gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
  gst_object_unref(bus);
  gst_object_unref(pipeline_);
}

uint64_t PlayerPipeline::FramesShown() const {
  std::lock_guard<std::mutex> guard(stateLock_);
  return framesShown_;
}

bool PlayerPipeline::Play() {
  return gst_element_set_state(pipeline_, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
}

void PlayerPipeline::SetAreaSize(int width, int height) {
  if (path_ != RenderPath::kOverlay) return;
  if (width != areaWidth_ || height != areaHeight_) {
    areaWidth_ = width;
    areaHeight_ = height;
    sizePending_ = true;
  }
  Tick();
}

void PlayerPipeline::Tick() {
  if (!sizePending_) return;
  GstState state = GST_STATE_VOID_PENDING;
  GstState pending = GST_STATE_VOID_PENDING;
  if (gst_element_get_state(pipeline_, &state, &pending, 0) != GST_STATE_CHANGE_SUCCESS || state != GST_STATE_PLAYING) {
    return;
  }
  sizePending_ = false;
  // A new size on the caps filter makes the scaler negotiate again.
  GstCaps* caps = WindowSizeCaps(areaWidth_, areaHeight_);
  g_object_set(scaleCaps_, "caps", caps, nullptr);
  gst_caps_unref(caps);
  Expose();
}

void PlayerPipeline::Expose() {
  if (path_ == RenderPath::kOverlay) gst_video_overlay_expose(GST_VIDEO_OVERLAY(windowSink_));
}

void PlayerPipeline::SetWindowHandle(uintptr_t handle) {
  if (path_ == RenderPath::kOverlay) gst_video_overlay_set_window_handle(GST_VIDEO_OVERLAY(windowSink_), handle);
}

void PlayerPipeline::StoreFrame(GstElement* appsink) {
  GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(appsink));
  if (sample == nullptr) return;
  GstVideoInfo info;
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  GstCaps* caps = gst_sample_get_caps(sample);
  GstMapInfo map;
  if (buffer != nullptr && caps != nullptr && gst_video_info_from_caps(&info, caps) &&
      gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    const int width = GST_VIDEO_INFO_WIDTH(&info);
    const int height = GST_VIDEO_INFO_HEIGHT(&info);
    const int stride = GST_VIDEO_INFO_PLANE_STRIDE(&info, 0);
    const std::size_t bytes = static_cast<std::size_t>(stride) * height;
    if (width > 0 && height > 0 && stride >= width * 4 && map.size >= bytes) {
      std::lock_guard<std::mutex> guard(frameLock_);
      frame_.width = width;
      frame_.height = height;
      frame_.stride = stride;
      frame_.pixels.assign(map.data, map.data + bytes);
      ++frame_.serial;
      // Only posts to the UI thread, which never waits for this lock
      // while it holds Qt's.
      if (framesChanged_) framesChanged_();
    }
    gst_buffer_unmap(buffer, &map);
  }
  gst_sample_unref(sample);
}

bool PlayerPipeline::TakeFrame(uint64_t since, PainterFrame* out) {
  std::lock_guard<std::mutex> guard(frameLock_);
  if (frame_.serial == since) return false;
  out->width = frame_.width;
  out->height = frame_.height;
  out->stride = frame_.stride;
  out->serial = frame_.serial;
  out->pixels = frame_.pixels;
  return true;
}

void PlayerPipeline::RecordError(GstMessage* message) {
  GError* error = nullptr;
  gst_message_parse_error(message, &error, nullptr);
  GstObject* source = GST_MESSAGE_SRC(message);
  std::lock_guard<std::mutex> guard(stateLock_);
  bool fromCard = false;
  for (GstElement* part : cardParts_) fromCard = fromCard || (part != nullptr && source == GST_OBJECT(part));
  if (!hasError_) {
    hasError_ = true;
    errorFromDeckLink_ = fromCard;
    errorText_ = error != nullptr ? error->message : "unknown error";
  }
  if (error != nullptr) g_error_free(error);
}

bool PlayerPipeline::TakeError(std::string* text, bool* fromDeckLink) {
  std::lock_guard<std::mutex> guard(stateLock_);
  if (!hasError_) return false;
  hasError_ = false;
  if (text != nullptr) *text = errorText_;
  if (fromDeckLink != nullptr) *fromDeckLink = errorFromDeckLink_;
  return true;
}

}  // namespace corvalind

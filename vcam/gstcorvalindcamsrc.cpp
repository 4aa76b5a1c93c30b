/**
 * SECTION:element-corvalindcamsrc
 * @title: corvalindcamsrc
 *
 * The program picture of the Corvalind studio, read from the studio's
 * shared output buffer. Each new element reads the settings file (picture
 * size, frame rate, mirror) and offers exactly one format: BGR at the
 * configured size, with a frame rate matching the interval it stamps
 * (1000 / fps milliseconds, so 62.5 per second at the 60 fps setting).
 * Samples are paced by the element itself and stamped from 0, contiguous.
 * Before the studio publishes anything the picture is black; after the
 * studio exits the last picture stays.
 *
 * ## Example launch line
 * |[
 * gst-launch-1.0 corvalindcamsrc ! videoconvert ! autovideosink
 * ]|
 */
#include "vcam/gstcorvalindcamsrc.h"

#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/folders.h"
#include "platform/output_block.h"
#include "platform/settings_file.h"
#include "platform/version.h"
#include "vcam/camera_log.h"
#include "vcam/frame_pacer.h"
#include "vcam/output_reader.h"

GST_DEBUG_CATEGORY_STATIC(gst_corvalind_cam_src_debug);
#define GST_CAT_DEFAULT gst_corvalind_cam_src_debug

namespace {

using corvalind::CameraLog;
using corvalind::CameraLogF;

// The mirror flag is kept per process: a settings text without a mirror
// part leaves it as the previous camera read it.
std::atomic<bool> gProcessMirror{false};

int64_t SteadyNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct CameraState {
  CameraState() : reader(corvalind::kOutputBufferName), pacer(&SteadyNanoseconds, 1000000000, [this](int ms) { Sleep(ms); }) {}

  // Sleeps, returning early when the element is told to unlock.
  void Sleep(int ms) {
    std::unique_lock<std::mutex> lock(flushMutex);
    flushWake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return flushing; });
  }

  // Fixed once the element is made; read without a lock.
  corvalind::PictureSettings settings;

  // Construction, property changes and the copy of a sample. Held only
  // for short work, never across a sample's wait for its frame instant,
  // so a property call from another thread is answered at once.
  std::mutex lock;
  std::string bufferName = corvalind::kOutputBufferName;
  corvalind::OutputReader reader;

  // The streaming side: start() and one sample at a time (the pacer and
  // the time stamps). A sample waits for its frame instant under it;
  // nothing else takes it, so that wait holds up no other caller.
  std::mutex streamLock;
  corvalind::FramePacer pacer;
  GstClockTime streamTime = 0;
  guint64 frames = 0;

  std::mutex flushMutex;
  std::condition_variable flushWake;
  bool flushing = false;
};

}  // namespace

struct _GstCorvalindCamSrc {
  GstPushSrc parent;
  CameraState* state;
};

G_DEFINE_TYPE(GstCorvalindCamSrc, gst_corvalind_cam_src, GST_TYPE_PUSH_SRC)

enum { PROP_0, PROP_BUFFER_NAME };

static GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-raw, format = (string) BGR, width = (int) [ 20, 16384 ], "
                    "height = (int) [ 20, 16384 ], framerate = (fraction) [ 0/1, 1000/1 ]"));

static GstCaps* CapsFor(const corvalind::PictureSettings& s) {
  return gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGR", "width", G_TYPE_INT,
                             s.width, "height", G_TYPE_INT, s.height, "framerate",
                             GST_TYPE_FRACTION, 1000, s.frameIntervalMs, "pixel-aspect-ratio",
                             GST_TYPE_FRACTION, 1, 1, "interlace-mode", G_TYPE_STRING,
                             "progressive", nullptr);
}

GstCaps* gst_corvalind_cam_src_current_caps(void) {
  return CapsFor(corvalind::ReadCameraSettings(corvalind::SettingsFilePath(), gProcessMirror.load()));
}

// The element's state, made whole in init and then published with release
// order: the streaming and query threads that read it may be pooled
// threads of an earlier pipeline, whose only link to init goes through
// GLib's own locks, which the race detector cannot see.
static CameraState* StateOf(GstCorvalindCamSrc* self) { return __atomic_load_n(&self->state, __ATOMIC_ACQUIRE); }

static void gst_corvalind_cam_src_init(GstCorvalindCamSrc* self) {
  gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
  gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
  auto* fresh = new CameraState();
  CameraState& state = *fresh;
  std::lock_guard<std::mutex> guard(state.lock);
  corvalind::OpenCameraLog();
  CameraLog("*** Orvik Corvalind v" CORVALIND_VERSION_TEXT "  ***");
  state.settings = corvalind::ReadCameraSettings(corvalind::SettingsFilePath(), gProcessMirror.load());
  gProcessMirror = state.settings.mirror;
  CameraLogF("SETTINGS: %d %d %d", state.settings.sizeIndex, state.settings.rateIndex,
             state.settings.mirror ? 1 : 0);
  gst_base_src_set_blocksize(GST_BASE_SRC(self),
                             static_cast<guint>(state.settings.width * state.settings.height * 3));
  state.reader.Open();  // one attempt now; the stream retries about once a second
  __atomic_store_n(&self->state, fresh, __ATOMIC_RELEASE);
}

static void gst_corvalind_cam_src_finalize(GObject* object) {
  GstCorvalindCamSrc* self = GST_CORVALIND_CAM_SRC(object);
  CameraLog("~CFramestore");
  {
    std::lock_guard<std::mutex> guard(StateOf(self)->lock);
    CameraLog("~CFrameStream");
    StateOf(self)->reader.Close();
  }
  corvalind::CloseCameraLog();
  delete StateOf(self);
  __atomic_store_n(&self->state, nullptr, __ATOMIC_RELEASE);
  G_OBJECT_CLASS(gst_corvalind_cam_src_parent_class)->finalize(object);
}

static void gst_corvalind_cam_src_set_property(GObject* object, guint id, const GValue* value,
                                               GParamSpec* pspec) {
  GstCorvalindCamSrc* self = GST_CORVALIND_CAM_SRC(object);
  switch (id) {
    case PROP_BUFFER_NAME: {
      const gchar* name = g_value_get_string(value);
      std::lock_guard<std::mutex> guard(StateOf(self)->lock);
      StateOf(self)->bufferName = name && *name ? name : corvalind::kOutputBufferName;
      StateOf(self)->reader.Close();
      StateOf(self)->reader = corvalind::OutputReader(StateOf(self)->bufferName);
      StateOf(self)->reader.Open();
      break;
    }
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
}

static void gst_corvalind_cam_src_get_property(GObject* object, guint id, GValue* value,
                                               GParamSpec* pspec) {
  GstCorvalindCamSrc* self = GST_CORVALIND_CAM_SRC(object);
  switch (id) {
    case PROP_BUFFER_NAME: {
      std::lock_guard<std::mutex> guard(StateOf(self)->lock);
      g_value_set_string(value, StateOf(self)->bufferName.c_str());
      break;
    }
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
}

static GstCaps* gst_corvalind_cam_src_get_caps(GstBaseSrc* src, GstCaps* filter) {
  GstCorvalindCamSrc* self = GST_CORVALIND_CAM_SRC(src);
  CameraLog("GetMediaType 0");
  GstCaps* caps = CapsFor(StateOf(self)->settings);
  if (filter) {
    GstCaps* both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
    gst_caps_unref(caps);
    caps = both;
  }
  return caps;
}

static gboolean gst_corvalind_cam_src_set_caps(GstBaseSrc* src, GstCaps* caps) {
  GstCorvalindCamSrc* self = GST_CORVALIND_CAM_SRC(src);
  GstVideoInfo info;
  if (!gst_video_info_from_caps(&info, caps)) return FALSE;
  const corvalind::PictureSettings& s = StateOf(self)->settings;
  CameraLogF("SetMediaType %s (%u)", gst_video_format_to_string(GST_VIDEO_INFO_FORMAT(&info)),
             GST_VIDEO_INFO_COMP_DEPTH(&info, 0) * GST_VIDEO_INFO_N_COMPONENTS(&info));
  // Only the configured picture: another size would shear every row.
  const bool ok = GST_VIDEO_INFO_FORMAT(&info) == GST_VIDEO_FORMAT_BGR &&
                  GST_VIDEO_INFO_WIDTH(&info) == s.width && GST_VIDEO_INFO_HEIGHT(&info) == s.height &&
                  GST_VIDEO_INFO_PLANE_STRIDE(&info, 0) == s.width * 3;
  CameraLog(ok ? "~SetMediaType" : "E_UNEXPECTED");
  return ok;
}

static gboolean gst_corvalind_cam_src_decide_allocation(GstBaseSrc* src, GstQuery* query) {
  const gboolean ok =
      GST_BASE_SRC_CLASS(gst_corvalind_cam_src_parent_class)->decide_allocation(src, query);
  guint size = 0;
  if (gst_query_get_n_allocation_pools(query) > 0) {
    gst_query_parse_nth_allocation_pool(query, 0, nullptr, &size, nullptr, nullptr);
  }
  CameraLogF("DecideBufferSize (%u)", size);
  return ok;
}

static gboolean gst_corvalind_cam_src_start(GstBaseSrc* src) {
  GstCorvalindCamSrc* self = GST_CORVALIND_CAM_SRC(src);
  std::lock_guard<std::mutex> guard(StateOf(self)->streamLock);
  CameraLog("OnThreadCreate");
  StateOf(self)->streamTime = 0;
  StateOf(self)->frames = 0;
  StateOf(self)->pacer.Start();
  return TRUE;
}

static gboolean gst_corvalind_cam_src_stop(GstBaseSrc*) {
  CameraLog("OnThreadDestroy");
  return TRUE;
}

static gboolean gst_corvalind_cam_src_unlock(GstBaseSrc* src) {
  CameraState* state = StateOf(GST_CORVALIND_CAM_SRC(src));
  {
    std::lock_guard<std::mutex> guard(state->flushMutex);
    state->flushing = true;
  }
  state->flushWake.notify_all();
  return TRUE;
}

static gboolean gst_corvalind_cam_src_unlock_stop(GstBaseSrc* src) {
  CameraState* state = StateOf(GST_CORVALIND_CAM_SRC(src));
  std::lock_guard<std::mutex> guard(state->flushMutex);
  state->flushing = false;
  return TRUE;
}

static void gst_corvalind_cam_src_get_times(GstBaseSrc*, GstBuffer*, GstClockTime* start,
                                            GstClockTime* end) {
  // The element paces itself; the base class must not wait on the clock.
  *start = GST_CLOCK_TIME_NONE;
  *end = GST_CLOCK_TIME_NONE;
}

static gboolean gst_corvalind_cam_src_query(GstBaseSrc* src, GstQuery* query) {
  GstCorvalindCamSrc* self = GST_CORVALIND_CAM_SRC(src);
  if (GST_QUERY_TYPE(query) == GST_QUERY_LATENCY) {
    // A live source one frame behind the picture it reads.
    const GstClockTime frame = StateOf(self)->settings.frameIntervalMs * GST_MSECOND;
    gst_query_set_latency(query, TRUE, frame, frame);
    return TRUE;
  }
  return GST_BASE_SRC_CLASS(gst_corvalind_cam_src_parent_class)->query(src, query);
}

static GstFlowReturn gst_corvalind_cam_src_fill(GstPushSrc* src, GstBuffer* buffer) {
  GstCorvalindCamSrc* self = GST_CORVALIND_CAM_SRC(src);
  CameraState& state = *StateOf(self);
  const corvalind::PictureSettings& s = state.settings;
  std::lock_guard<std::mutex> stream(state.streamLock);

  // The picture is copied first, under the state lock (a buffer-name
  // change swaps the reader under the same lock); then the sample waits for
  // its frame instant without it, so property calls meanwhile go through.
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) return GST_FLOW_ERROR;
  const std::size_t picture = static_cast<std::size_t>(s.width) * s.height * 3;
  const uint32_t limit = static_cast<uint32_t>(std::min(map.size, picture));
  bool filled = false;
  {
    std::lock_guard<std::mutex> guard(state.lock);
    filled = state.reader.Fill(map.data, limit, s.width, s.height, s.mirror, s.fps);
  }
  if (!filled) std::memset(map.data, 0, map.size);  // nothing published yet: black
  gst_buffer_unmap(buffer, &map);

  state.pacer.Pace(s.frameIntervalMs);
  {
    std::lock_guard<std::mutex> flush(state.flushMutex);
    if (state.flushing) return GST_FLOW_FLUSHING;
  }

  const GstClockTime duration = static_cast<GstClockTime>(s.frameIntervalMs) * GST_MSECOND;
  GST_BUFFER_PTS(buffer) = state.streamTime;
  GST_BUFFER_DTS(buffer) = state.streamTime;
  GST_BUFFER_DURATION(buffer) = duration;
  GST_BUFFER_OFFSET(buffer) = state.frames;
  GST_BUFFER_OFFSET_END(buffer) = state.frames + 1;
  GST_BUFFER_FLAG_UNSET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);  // every picture stands alone
  state.streamTime += duration;
  ++state.frames;
  return GST_FLOW_OK;
}

static void gst_corvalind_cam_src_class_init(GstCorvalindCamSrcClass* klass) {
  GObjectClass* object_class = G_OBJECT_CLASS(klass);
  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  GstBaseSrcClass* base_class = GST_BASE_SRC_CLASS(klass);
  GstPushSrcClass* push_class = GST_PUSH_SRC_CLASS(klass);

  object_class->finalize = gst_corvalind_cam_src_finalize;
  object_class->set_property = gst_corvalind_cam_src_set_property;
  object_class->get_property = gst_corvalind_cam_src_get_property;
  g_object_class_install_property(
      object_class, PROP_BUFFER_NAME,
      g_param_spec_string("buffer-name", "Buffer name",
                          "Name of the studio's output buffer (a second studio uses its own)",
                          corvalind::kOutputBufferName,
                          static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));

  gst_element_class_set_static_metadata(element_class, "Corvalind Camera", "Source/Video",
                                        "The program picture of the Corvalind studio",
                                        "Corvalind developers");
  gst_element_class_add_static_pad_template(element_class, &src_template);

  base_class->get_caps = gst_corvalind_cam_src_get_caps;
  base_class->set_caps = gst_corvalind_cam_src_set_caps;
  base_class->decide_allocation = gst_corvalind_cam_src_decide_allocation;
  base_class->start = gst_corvalind_cam_src_start;
  base_class->stop = gst_corvalind_cam_src_stop;
  base_class->unlock = gst_corvalind_cam_src_unlock;
  base_class->unlock_stop = gst_corvalind_cam_src_unlock_stop;
  base_class->get_times = gst_corvalind_cam_src_get_times;
  base_class->query = gst_corvalind_cam_src_query;
  push_class->fill = gst_corvalind_cam_src_fill;

  GST_DEBUG_CATEGORY_INIT(gst_corvalind_cam_src_debug, "corvalindcamsrc", 0, "Corvalind Camera");
}

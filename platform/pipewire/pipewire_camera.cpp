#include "platform/pipewire/pipewire_camera.h"

#include <pipewire/pipewire.h>
#include <pthread.h>
#include <spa/param/video/format-utils.h>
#include <spa/utils/result.h>
#include <time.h>

#include <libyuv/convert.h>
#include <libyuv/convert_argb.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

namespace corvalind {

namespace {

constexpr int kMaxBuffers = 8;
constexpr int kRetrySeconds = 2;

int RoundUp(int value, int to) { return (value + to - 1) / to * to; }

// The layout GStreamer and most consumers assume for one-block I420: rows
// of luma padded to four bytes, then the two quarter-size planes.
struct I420Layout {
  int yStride = 0;
  int uvStride = 0;
  int uOffset = 0;
  int vOffset = 0;
  int size = 0;
};

I420Layout LayoutI420(int width, int height) {
  I420Layout l;
  l.yStride = RoundUp(width, 4);
  l.uvStride = RoundUp(RoundUp(width, 2) / 2, 4);
  const int chromaRows = RoundUp(height, 2) / 2;
  l.uOffset = l.yStride * RoundUp(height, 2);
  l.vOffset = l.uOffset + l.uvStride * chromaRows;
  l.size = l.vOffset + l.uvStride * chromaRows;
  return l;
}

void InitPipeWireOnce() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

}  // namespace

struct PipeWireCamera::State {
  PipeWireCameraFormat format;
  std::string nodeName;
  uint32_t pictureBytes = 0;

  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  spa_hook coreListener{};
  pw_stream* stream = nullptr;
  spa_hook streamListener{};
  spa_source* frameTimer = nullptr;
  spa_source* wakeEvent = nullptr;  // signalled by Offer
  spa_source* retryTimer = nullptr;

  // The newest offered picture (under pictureMutex) and the one the loop
  // thread took to convert; swapped, never copied twice.
  std::mutex pictureMutex;
  std::vector<uint8_t> offered;
  bool offeredFresh = false;
  std::vector<uint8_t> taken;
  bool haveTaken = false;  // loop thread: `taken` holds a picture

  // Loop thread only: the picture converted into the negotiated format.
  std::vector<uint8_t> converted;
  Format format_ = Format::kNone;
  bool convertedValid = false;
  uint64_t sequence = 0;
  bool coreBroken = false;
  bool streaming = false;
  int64_t intervalNs = 0;
  // New pictures allowed, in frames: refilled at the frame rate up to one
  // whole frame; sending a new picture takes one, and may go ahead once
  // three quarters of it are there (the program's own timing jitters).
  double credit = 0;
  bool freshWaiting = false;  // a new picture waits for the credit
  int64_t creditAt = 0;
  void Refill(int64_t now) {
    credit = std::min(1.0, credit + static_cast<double>(now - creditAt) / static_cast<double>(intervalNs));
    creditAt = now;
  }

  std::atomic<bool> connected{false};
  std::atomic<int> negotiated{static_cast<int>(Format::kNone)};
  std::atomic<uint64_t> framesSent{0};
  // The two threads that serve the node: PipeWire's main loop (ours:
  // timers, wake-ups, format changes) and its data loop (the sends).
  struct NotedThread {
    std::atomic<bool> known{false};
    pthread_t id{};
    void Note() {
      if (!known.load(std::memory_order_acquire)) {
        id = pthread_self();
        known.store(true, std::memory_order_release);
      }
    }
    uint64_t CpuNanoseconds() const;
  };
  NotedThread mainThread;
  NotedThread dataThread;
  // Held by the data loop's send and by a format change on the main loop.
  std::mutex sendMutex;
  pw_stream* sendStream = nullptr;  // under sendMutex: the stream Process sends on

  // Loop thread: connects to the daemon and adds the node; false when no
  // daemon answers.
  bool Connect();
  // Loop thread: removes the node and leaves the daemon.
  void Disconnect();
  void StartFrames(bool on);
  // Loop thread: starts a cycle that sends a picture now, and sets the
  // timer for the repeat one interval later.
  void SendNow(int64_t now, bool fresh);
  void ArmTimer(int64_t delayNs);
  // Loop thread: a new picture was offered.
  void Woken();
  void Convert();
  void Process();
  void ParamChanged(uint32_t id, const spa_pod* param);
  // Called from the main loop's own callbacks only: the state callbacks
  // also run on the owner's thread while it connects.
  void NoteLoopThread() { mainThread.Note(); }
};

namespace {

void OnCoreError(void* data, uint32_t id, int /*seq*/, int res, const char* /*message*/) {
  auto* s = static_cast<PipeWireCamera::State*>(data);
  // The daemon went away (or refused us): the retry timer leaves it and
  // connects again when a daemon answers.
  if (id == PW_ID_CORE && res == -EPIPE) {
    s->coreBroken = true;
    s->connected.store(false);
  }
}

const pw_core_events kCoreEvents = [] {
  pw_core_events e{};
  e.version = PW_VERSION_CORE_EVENTS;
  e.error = OnCoreError;
  return e;
}();

void OnStreamState(void* data, pw_stream_state /*old*/, pw_stream_state state, const char* /*error*/) {
  auto* s = static_cast<PipeWireCamera::State*>(data);
  switch (state) {
    case PW_STREAM_STATE_STREAMING:
      s->StartFrames(true);
      break;
    case PW_STREAM_STATE_ERROR:
    case PW_STREAM_STATE_UNCONNECTED:
      s->StartFrames(false);
      s->connected.store(false);
      s->coreBroken = true;
      break;
    default:
      s->StartFrames(false);
      break;
  }
}

void OnStreamParamChanged(void* data, uint32_t id, const spa_pod* param) {
  static_cast<PipeWireCamera::State*>(data)->ParamChanged(id, param);
}

void OnStreamProcess(void* data) { static_cast<PipeWireCamera::State*>(data)->Process(); }

const pw_stream_events kStreamEvents = [] {
  pw_stream_events e{};
  e.version = PW_VERSION_STREAM_EVENTS;
  e.state_changed = OnStreamState;
  e.param_changed = OnStreamParamChanged;
  e.process = OnStreamProcess;
  return e;
}();

int64_t NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void OnFrameTimer(void* data, uint64_t /*expirations*/) {
  auto* s = static_cast<PipeWireCamera::State*>(data);
  s->NoteLoopThread();
  if (!s->streaming) return;
  const bool fresh = s->freshWaiting;
  s->freshWaiting = false;
  s->SendNow(NowNs(), fresh);
}

void OnWake(void* data, uint64_t /*count*/) {
  auto* s = static_cast<PipeWireCamera::State*>(data);
  s->NoteLoopThread();
  s->Woken();
}

void OnRetryTimer(void* data, uint64_t /*expirations*/) {
  auto* s = static_cast<PipeWireCamera::State*>(data);
  s->NoteLoopThread();
  if (s->coreBroken) s->Disconnect();
  if (!s->core) s->Connect();
}

}  // namespace

bool PipeWireCamera::State::Connect() {
  core = pw_context_connect(context, nullptr, 0);
  if (!core) return false;
  coreBroken = false;
  pw_core_add_listener(core, &coreListener, &kCoreEvents, this);

  pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                           PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_MEDIA_CLASS, "Video/Source",
                                           PW_KEY_NODE_NAME, nodeName.c_str(), PW_KEY_NODE_DESCRIPTION,
                                           kPipeWireCameraDescription, PW_KEY_NODE_NICK, kPipeWireCameraDescription,
                                           PW_KEY_PRIORITY_SESSION, "100", nullptr);
  pw_properties_setf(props, PW_KEY_NODE_RATE, "1/%d", format.frameRate);
  stream = pw_stream_new(core, kPipeWireCameraDescription, props);
  if (!stream) {
    Disconnect();
    return false;
  }
  pw_stream_add_listener(stream, &streamListener, &kStreamEvents, this);

  uint8_t podBuffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(podBuffer, sizeof(podBuffer));
  spa_rectangle size = SPA_RECTANGLE(static_cast<uint32_t>(format.width), static_cast<uint32_t>(format.height));
  spa_fraction rate = SPA_FRACTION(static_cast<uint32_t>(format.frameRate), 1);
  const spa_pod* params[1];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_I420, SPA_VIDEO_FORMAT_I420, SPA_VIDEO_FORMAT_BGRx),
      SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
  const int res = pw_stream_connect(stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                                    static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS |
                                                                 PW_STREAM_FLAG_RT_PROCESS),
                                    params, 1);
  if (res < 0) {
    Disconnect();
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(sendMutex);
    sendStream = stream;
  }
  connected.store(true);
  return true;
}

void PipeWireCamera::State::Disconnect() {
  StartFrames(false);
  {
    // Destroying the stream waits for the data loop, so the send must not
    // be waiting on this lock meanwhile.
    std::lock_guard<std::mutex> lock(sendMutex);
    sendStream = nullptr;
    format_ = Format::kNone;
    convertedValid = false;
  }
  if (stream) {
    spa_hook_remove(&streamListener);
    pw_stream_destroy(stream);
    stream = nullptr;
  }
  if (core) {
    spa_hook_remove(&coreListener);
    pw_core_disconnect(core);
    core = nullptr;
  }
  connected.store(false);
  negotiated.store(static_cast<int>(Format::kNone));
}

void PipeWireCamera::State::ArmTimer(int64_t delayNs) {
  if (!frameTimer) return;
  timespec value{};
  if (delayNs > 0) {
    value.tv_sec = static_cast<time_t>(delayNs / 1000000000LL);
    value.tv_nsec = static_cast<long>(delayNs % 1000000000LL);
  }
  if (value.tv_sec == 0 && value.tv_nsec == 0 && delayNs >= 0) value.tv_nsec = 1;  // zero would disarm
  pw_loop_update_timer(pw_thread_loop_get_loop(loop), frameTimer, delayNs < 0 ? nullptr : &value, nullptr, false);
}

// The node sends a new picture as soon as it is offered, never more new
// pictures than the frame rate allows on average (the credit), and repeats
// the last one an interval after the last send while the program does not
// change. Repeats take no credit, so a new picture never waits behind one:
// the sends follow the program's own phase, and a program that changes at
// the frame rate goes out with no wait at all.
void PipeWireCamera::State::StartFrames(bool on) {
  streaming = on && stream;
  freshWaiting = false;
  if (!streaming) {
    ArmTimer(-1);
    return;
  }
  credit = 1.0;
  creditAt = NowNs();
  ArmTimer(0);
}

void PipeWireCamera::State::SendNow(int64_t now, bool fresh) {
  if (!stream) return;
  Refill(now);
  pw_stream_trigger_process(stream);
  // The repeat after a new picture waits a quarter interval longer, so a
  // program changing at the frame rate (with its jitter) gets no repeats
  // between its pictures.
  if (fresh) credit -= 1.0;
  ArmTimer(fresh ? intervalNs + intervalNs / 4 : intervalNs);
}

void PipeWireCamera::State::Woken() {
  if (!streaming) return;
  const int64_t now = NowNs();
  Refill(now);
  if (credit >= 0.75) {
    freshWaiting = false;
    SendNow(now, true);
  } else if (!freshWaiting) {
    freshWaiting = true;
    ArmTimer(static_cast<int64_t>((0.75 - credit) * static_cast<double>(intervalNs)) + 1);
  }
}

void PipeWireCamera::State::ParamChanged(uint32_t id, const spa_pod* param) {
  if (id != SPA_PARAM_Format) return;
  std::lock_guard<std::mutex> lock(sendMutex);
  if (!param) {
    // The consumer let go of the format.
    format_ = Format::kNone;
    negotiated.store(static_cast<int>(Format::kNone));
    return;
  }
  spa_video_info_raw info{};
  if (spa_format_video_raw_parse(param, &info) < 0) return;
  int stride = 0;
  int size = 0;
  if (info.format == SPA_VIDEO_FORMAT_BGRx) {
    format_ = Format::kBGRx;
    stride = format.width * 4;
    size = stride * format.height;
  } else if (info.format == SPA_VIDEO_FORMAT_I420) {
    format_ = Format::kI420;
    const I420Layout l = LayoutI420(format.width, format.height);
    stride = l.yStride;
    size = l.size;
  } else {
    return;
  }
  converted.assign(static_cast<std::size_t>(size), 0);
  convertedValid = false;
  negotiated.store(static_cast<int>(format_));

  uint8_t podBuffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(podBuffer, sizeof(podBuffer));
  const spa_pod* params[2];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(4, 2, kMaxBuffers), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
      SPA_POD_Int(size), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
  params[1] = static_cast<const spa_pod*>(
      spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                                 SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
  pw_stream_update_params(stream, params, 2);
}

void PipeWireCamera::State::Convert() {
  bool fresh = false;
  {
    std::lock_guard<std::mutex> lock(pictureMutex);
    if (offeredFresh) {
      std::swap(offered, taken);
      offeredFresh = false;
      fresh = true;
    }
  }
  if (fresh) haveTaken = true;
  if (!fresh && convertedValid) return;
  if (!haveTaken) {
    // Nothing offered yet: black in either format.
    if (format_ == Format::kI420) {
      const I420Layout l = LayoutI420(format.width, format.height);
      std::memset(converted.data(), 16, static_cast<std::size_t>(l.uOffset));
      std::memset(converted.data() + l.uOffset, 128, static_cast<std::size_t>(l.size - l.uOffset));
    } else {
      std::memset(converted.data(), 0, converted.size());
    }
    convertedValid = true;
    return;
  }
  // A new picture, or the last one again in a newly negotiated format.
  // The picture is stored bottom row first; a negative height turns it.
  const int srcStride = format.width * 3;
  if (format_ == Format::kBGRx) {
    libyuv::RGB24ToARGB(taken.data(), srcStride, converted.data(), format.width * 4, format.width, -format.height);
  } else {
    const I420Layout l = LayoutI420(format.width, format.height);
    uint8_t* base = converted.data();
    libyuv::RGB24ToI420(taken.data(), srcStride, base, l.yStride, base + l.uOffset, l.uvStride, base + l.vOffset,
                        l.uvStride, format.width, -format.height);
  }
  convertedValid = true;
}

// On the data loop: the picture goes into the buffer within the cycle that
// the send started, so the consumer has it in the same cycle.
void PipeWireCamera::State::Process() {
  dataThread.Note();
  std::lock_guard<std::mutex> lock(sendMutex);
  pw_stream* stream = sendStream;
  if (!stream || format_ == Format::kNone) return;
  pw_buffer* buffer = pw_stream_dequeue_buffer(stream);
  if (!buffer) return;
  spa_buffer* spa = buffer->buffer;
  spa_data& d = spa->datas[0];
  if (!d.data || d.maxsize < converted.size()) {
    if (d.chunk) d.chunk->size = 0;
    pw_stream_queue_buffer(stream, buffer);
    return;
  }
  Convert();
  std::memcpy(d.data, converted.data(), converted.size());
  d.chunk->offset = 0;
  d.chunk->size = static_cast<uint32_t>(converted.size());
  d.chunk->stride = format_ == Format::kBGRx ? format.width * 4 : LayoutI420(format.width, format.height).yStride;
  d.chunk->flags = SPA_CHUNK_FLAG_NONE;
  if (auto* header = static_cast<spa_meta_header*>(spa_buffer_find_meta_data(spa, SPA_META_Header, sizeof(spa_meta_header)))) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    header->pts = static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
    header->flags = 0;
    header->seq = sequence++;
    header->dts_offset = 0;
  }
  pw_stream_queue_buffer(stream, buffer);
  framesSent.fetch_add(1);
}

PipeWireCamera::PipeWireCamera(const PipeWireCameraFormat& format, std::string nodeName)
    : state_(std::make_unique<State>()) {
  InitPipeWireOnce();
  State& s = *state_;
  s.format = format;
  if (s.format.frameRate < 1) s.format.frameRate = 1;
  s.nodeName = std::move(nodeName);
  s.pictureBytes = static_cast<uint32_t>(format.width) * static_cast<uint32_t>(format.height) * 3u;
  s.offered.assign(s.pictureBytes, 0);
  s.taken.assign(s.pictureBytes, 0);

  s.loop = pw_thread_loop_new("corvalind-pipewire", nullptr);
  if (!s.loop) return;
  s.context = pw_context_new(pw_thread_loop_get_loop(s.loop), nullptr, 0);
  if (!s.context) return;
  pw_loop* loop = pw_thread_loop_get_loop(s.loop);
  s.intervalNs = 1000000000LL / s.format.frameRate;
  s.frameTimer = pw_loop_add_timer(loop, OnFrameTimer, &s);
  s.wakeEvent = pw_loop_add_event(loop, OnWake, &s);
  s.retryTimer = pw_loop_add_timer(loop, OnRetryTimer, &s);
  pw_thread_loop_lock(s.loop);
  s.Connect();
  timespec value{kRetrySeconds, 0};
  timespec interval{kRetrySeconds, 0};
  pw_loop_update_timer(loop, s.retryTimer, &value, &interval, false);
  pw_thread_loop_unlock(s.loop);
  pw_thread_loop_start(s.loop);
}

PipeWireCamera::~PipeWireCamera() {
  State& s = *state_;
  if (s.loop) {
    pw_thread_loop_lock(s.loop);
    s.Disconnect();
    pw_loop* loop = pw_thread_loop_get_loop(s.loop);
    if (s.frameTimer) pw_loop_destroy_source(loop, s.frameTimer);
    if (s.wakeEvent) pw_loop_destroy_source(loop, s.wakeEvent);
    s.wakeEvent = nullptr;
    if (s.retryTimer) pw_loop_destroy_source(loop, s.retryTimer);
    s.frameTimer = nullptr;
    s.retryTimer = nullptr;
    pw_thread_loop_unlock(s.loop);
    pw_thread_loop_stop(s.loop);
  }
  if (s.context) pw_context_destroy(s.context);
  if (s.loop) pw_thread_loop_destroy(s.loop);
}

void PipeWireCamera::Offer(const uint8_t* picture, uint32_t bytes) {
  State& s = *state_;
  if (bytes < s.pictureBytes) return;
  {
    std::lock_guard<std::mutex> lock(s.pictureMutex);
    std::memcpy(s.offered.data(), picture, s.pictureBytes);
    s.offeredFresh = true;
  }
  if (s.wakeEvent) pw_loop_signal_event(pw_thread_loop_get_loop(s.loop), s.wakeEvent);
}

bool PipeWireCamera::Connected() const { return state_->connected.load(); }

PipeWireCamera::Format PipeWireCamera::NegotiatedFormat() const {
  return static_cast<Format>(state_->negotiated.load());
}

uint64_t PipeWireCamera::FramesSent() const { return state_->framesSent.load(); }

uint64_t PipeWireCamera::State::NotedThread::CpuNanoseconds() const {
  if (!known.load(std::memory_order_acquire)) return 0;
  clockid_t clock{};
  if (pthread_getcpuclockid(id, &clock) != 0) return 0;
  timespec t{};
  if (clock_gettime(clock, &t) != 0) return 0;
  return static_cast<uint64_t>(t.tv_sec) * 1000000000ULL + static_cast<uint64_t>(t.tv_nsec);
}

uint64_t PipeWireCamera::ThreadCpuNanoseconds() const {
  return state_->mainThread.CpuNanoseconds() + state_->dataThread.CpuNanoseconds();
}

}  // namespace corvalind

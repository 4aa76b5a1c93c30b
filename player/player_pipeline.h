// The player's media graph: the virtual camera into a tee, one branch to the
// player's window and, when asked, one to a DeckLink card.
//
//   corvalindcamsrc "Orvik Corvalind" ! tee "Inf Tee"
//     tee. ! queue (leaky, 2 buffers) ! window sink          (never stalls the camera)
//     tee. ! queue ! convert ! scale ! rate ! decklinkvideosink "DeckLink Renderer"
//
// The window sink is one of two kinds (RenderPath):
//  - kOverlay: ximagesink drawing into a native X window through
//    GstVideoOverlay. ximagesink works on every X server (Xvfb, remote X,
//    servers without an Xv adaptor or GL), but it does not scale, so
//    videoscale in front of it scales to the area's size the caps filter
//    asks for, keeping the picture's aspect ratio with black bars
//    (add-borders) on square pixels. Software scaling of one stream is cheap next to the studio's own
//    composition, and a display that falls behind only drops frames in the
//    leaky queue.
//  - kPainter: an appsink whose frames the window paints itself (Wayland
//    and the offscreen platform, where no foreign window can be handed to
//    a sink).
//
// GStreamer types stay out of this header; Element() hands the pipeline out
// as an opaque pointer for tests.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

typedef struct _GstElement GstElement;
typedef struct _GstMessage GstMessage;

namespace corvalind {

enum class RenderPath { kOverlay, kPainter };

// The window sink for a Qt platform: the overlay on X11 (xcb), the painter
// everywhere else (wayland, offscreen, minimal, ...), where a native X
// window handle does not exist.
RenderPath ChooseRenderPath(std::string_view qtPlatformName);

// A rectangle inside the video area.
struct FitRect {
  int x = 0, y = 0, width = 0, height = 0;
  bool operator==(const FitRect&) const = default;
};

// The largest rectangle of the picture's aspect ratio inside an area of
// areaWidth x areaHeight, centred (letter-box or pillar-box). Empty when
// any size is not positive.
FitRect LetterBox(int pictureWidth, int pictureHeight, int areaWidth, int areaHeight);

// One picture for the painter: 4 bytes per pixel (blue, green, red, unused),
// rows top-down, `stride` bytes apart.
struct PainterFrame {
  int width = 0;
  int height = 0;
  int stride = 0;
  uint64_t serial = 0;  // 0: no picture yet
  std::vector<uint8_t> pixels;
};

struct PipelineRequest {
  bool decklink = false;
  RenderPath path = RenderPath::kPainter;
  // The camera's buffer name; empty keeps the camera's own default.
  std::string bufferName;
  // kOverlay: the X window the sink draws into and its size in pixels.
  uintptr_t windowHandle = 0;
  int areaWidth = 0;
  int areaHeight = 0;
  // kPainter: called on a streaming thread after a new picture is stored;
  // it must only hand the news to the UI thread.
  std::function<void()> framesChanged;
};

// Why a build went without the card, for the one message box.
enum class DeckLinkOutcome { kNotAsked, kAttached, kUnavailable };

class PlayerPipeline {
 public:
  // Builds a fresh graph in state NULL. Null when the camera is missing or
  // the window branch cannot be linked; the DeckLink branch is left out
  // (and *outcome says so) when its sink cannot be made or started.
  static std::unique_ptr<PlayerPipeline> Build(const PipelineRequest& request, DeckLinkOutcome* outcome);

  // Stops the graph (state NULL, which joins its streaming threads) before
  // releasing it.
  ~PlayerPipeline();
  PlayerPipeline(const PlayerPipeline&) = delete;
  PlayerPipeline& operator=(const PlayerPipeline&) = delete;

  // Sets the graph playing; false when it refuses.
  bool Play();
  bool HasDeckLink() const { return decklink_ != nullptr; }

  // kOverlay: the video area changed size (pixels) or needs redrawing.
  // A new size reaches the scaler once the graph plays, never while it is
  // still starting and a renegotiation could meet sinks that are not
  // running yet.
  void SetAreaSize(int width, int height);
  void Expose();
  // Called now and then on the UI thread: hands a size kept back to the
  // scaler once the graph plays.
  void Tick();
  // kOverlay: the native window was made anew.
  void SetWindowHandle(uintptr_t handle);

  // kPainter: a copy of the newest picture (serial 0 when none came yet).
  // `since` skips the copy when nothing newer than it arrived.
  bool TakeFrame(uint64_t since, PainterFrame* out);

  // An error a streaming thread reported since the last call; the bus is
  // otherwise drained as messages are posted. fromDeckLink tells whether it
  // came from the card's branch.
  bool TakeError(std::string* text, bool* fromDeckLink);

  // Pictures that reached the window sink.
  uint64_t FramesShown() const;
  // Unique per build in this process.
  uint64_t Serial() const { return serial_; }
  GstElement* Element() const { return pipeline_; }
  RenderPath Path() const { return path_; }

 private:
  PlayerPipeline() = default;
  bool BuildGraph(const PipelineRequest& request, DeckLinkOutcome* outcome);
  void UpdateScaleCaps();
  void StoreFrame(GstElement* appsink);
  void RecordError(GstMessage* message);

  GstElement* pipeline_ = nullptr;
  GstElement* decklink_ = nullptr;       // the card's sink, in pipeline_
  GstElement* cardParts_[5] = {};        // its branch, queue to sink (stateLock_)
  GstElement* windowSink_ = nullptr;
  GstElement* scaleCaps_ = nullptr;  // kOverlay: the letter-boxed size
  RenderPath path_ = RenderPath::kPainter;
  uint64_t serial_ = 0;
  std::function<void()> framesChanged_;

  // The area's size in pixels (UI thread only); sizePending_ while the
  // scaler has not been given it yet.
  int areaWidth_ = 0;
  int areaHeight_ = 0;
  bool sizePending_ = false;

  std::mutex frameLock_;
  PainterFrame frame_;

  // Streaming threads reach this object through GStreamer's locks, which
  // the race detector cannot see; every callback starts by taking one of
  // these two, and the build takes both once the object is complete.
  mutable std::mutex stateLock_;  // what follows, and cardParts_
  uint64_t framesShown_ = 0;
  bool hasError_ = false;
  bool errorFromDeckLink_ = false;
  std::string errorText_;

  friend struct PipelineCallbacks;
};

}  // namespace corvalind

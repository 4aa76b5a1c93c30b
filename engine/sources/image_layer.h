// A still picture drawn over or under the program picture.
//
// The background and overlay forms each own one ImageLayer and publish it
// in GlobalImageLayers(); the compositor refreshes and draws it once per
// composed frame. A slide show uses short-lived layers (keep-aspect mode) to
// render each picture into its frame buffer.
//
// The picture is read through the PictureReader the layer's builder hands
// in (LoadForSize at the output size, so a reader may decode a very large
// picture reduced) and scaled once, at load, to the output size with a
// Lanczos-3 filter:
// stretched (fitMode 0) or kept in proportion and centred on a black canvas
// (any other fitMode). Drawing copies rows for opaque pictures and blends by
// the picture's alpha for 4-byte pictures.
//
// Reloading: a layer that is not published reloads where it is asked to
// (RefreshImageLayer, on its owner's thread). A published layer must never
// decode on the output thread, which composes every 5 ms with
// imageLayerLock held: its owner calls StartReloading before publishing it,
// and from then on Refresh() (the compositor's call) only reads the file's
// write time and, when it changed, wakes the layer's loader thread. The
// loader decodes and scales outside every lock the output thread takes,
// swaps the finished picture in under imageLayerLock, redraws the preview
// frame there (a row copy) and sets recomposeRequested, so the change shows
// at the next composition.
//
// Threads: construction, LoadImageLayer, RefreshImageLayer, ReleasePicture,
// StartReloading, StopReloading and destruction on the owner's thread;
// Refresh, Draw and the picture accessors of a published layer only under
// imageLayerLock; `enabled` from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/image_layer_hooks.h"
#include "engine/output_format.h"
#include "engine/sources/picture.h"

namespace corvalind {

// The status text shown after the path when a picture cannot be read.
inline constexpr const char* kImageLoadErrorText = "Error loading image overlay/background.";

// Blends one byte of a picture over one byte of a frame by alpha `a`: a = 0
// keeps the frame's byte, a = 255 gives the picture's byte, in between
// (frame * (255 - a) + picture * a) >> 8.
inline uint8_t BlendByte(uint8_t frame, uint8_t picture, uint8_t a) {
  if (a == 0) return frame;
  if (a == 255) return picture;
  return static_cast<uint8_t>((frame * (255 - a) + picture * a) >> 8);
}

// Where a picture goes on the keep-aspect canvas: size w x h with its
// top-left corner at (left, top), counted from the canvas's top row.
struct FitRect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
};
// The largest rectangle of the picture's aspect ratio within W x H, at
// least one pixel each way, centred.
FitRect KeepAspectRect(int pictureWidth, int pictureHeight, int outputWidth, int outputHeight);

// Last-write time of a file in nanoseconds, or 0 when it cannot be read.
int64_t FileWriteTime(const std::string& path);

// When the load a layer is created with reports a file it cannot read:
// at once, or when the owner calls ReportReadFailure (a slide show reads a
// picture ahead of its turn and reports the failure at its turn).
enum class ReadFailureReport { kNow, kByOwner };

class ImageLayer : public CompositionLayer {
 public:
  // Creates the layer for `path` and loads it (enabled, fileTime read
  // first), on the calling thread. The output size is that of the program
  // unless given. `reader` must outlive the layer. `report` applies to this
  // first load only; later loads report at once.
  ImageLayer(const std::string& path, int fitMode, PictureReader& reader,
             int outputWidth = GlobalOutputFormat().outputWidth,
             int outputHeight = GlobalOutputFormat().outputHeight,
             ReadFailureReport report = ReadFailureReport::kNow);
  // Stops and joins the loader.
  ~ImageLayer() override;
  ImageLayer(const ImageLayer&) = delete;
  ImageLayer& operator=(const ImageLayer&) = delete;

  // Drops the old picture and reads the file again. On failure the status
  // text shows the path, then kImageLoadErrorText, and `loaded` stays as it
  // was; otherwise the picture is scaled and `loaded` becomes true. Not
  // while the loader runs.
  void LoadImageLayer();
  // Reloads when the file's write time can be read and differs from
  // fileTime; redraws previewFrame (cleared to black first) when set.
  // True when it reloaded. Not while the loader runs.
  bool RefreshImageLayer();
  // Draws into a bottom-up BGR frame of width x height; nothing unless the
  // layer is enabled, holds a picture and the size is the output size.
  void DrawImageLayer(uint8_t* dst, int width, int height) const;
  // Releases the picture (the layer then draws nothing). Not while the
  // loader runs.
  void ReleasePicture() { picture_.reset(); }

  // Starts the loader thread that reloads the picture when Refresh() sees
  // the file change. `hooks` holds the lock the layer is published under
  // and the recompose flag; it must outlive the loader. Call before
  // publishing the layer and never with imageLayerLock held. False when the
  // loader already runs.
  bool StartReloading(ImageLayerHooks& hooks);
  // Stops and joins the loader; a load in progress finishes first and is
  // dropped. Never with imageLayerLock held (the loader may be waiting for
  // it). Safe when the loader does not run.
  void StopReloading();

  // The compositor's refresh, with imageLayerLock held: reads the file's
  // write time and, when it can be read and changed, stores it and wakes
  // the loader. Decodes nothing; without a running loader it does nothing.
  void Refresh() override;
  void Draw(uint8_t* frame, int width, int height) override { DrawImageLayer(frame, width, height); }

  // True when the last load could not read the file (a picture that was
  // read but could not be scaled does not count).
  bool ReadFailed() const { return readFailed_; }
  // Shows the failure of a read: the path, then kImageLoadErrorText.
  void ReportReadFailure() const;

  bool HasPicture() const { return picture_ != nullptr; }
  // The picture scaled to the output size, or null.
  const Picture* ScaledPicture() const { return picture_.get(); }
  bool Loaded() const { return loaded_; }
  int FitMode() const { return fitMode_; }
  const std::string& Path() const { return path_; }
  int64_t FileTime() const { return fileTime_; }
  int OutputWidth() const { return outputWidth_; }
  int OutputHeight() const { return outputHeight_; }
  // Pictures the loader has swapped in (a failed read counts too: the
  // layer then holds none). Any thread.
  uint32_t Reloads() const { return reloads_.load(); }

  // Drawn at all; true at creation.
  std::atomic<bool> enabled{true};
  // A frame of the output size owned by a form, redrawn on reload; may be
  // null. Set and used under imageLayerLock for published layers.
  uint8_t* previewFrame = nullptr;

 private:
  // Reads and scales the file. `read` tells whether the file gave a
  // picture (a failed scale still counts as read, and gives null); a read
  // failure is reported in the status text when `report` is kNow.
  std::unique_ptr<Picture> ReadAndScale(bool* read, ReadFailureReport report) const;
  void Load(ReadFailureReport report);
  std::unique_ptr<Picture> Scale(const Picture& picture) const;
  void RedrawPreview();
  void ReloadLoop(ImageLayerHooks* hooks);

  PictureReader& reader_;
  std::unique_ptr<Picture> picture_;
  bool loaded_ = false;
  bool readFailed_ = false;
  const int fitMode_;
  const std::string path_;
  int64_t fileTime_ = 0;
  const int outputWidth_;
  const int outputHeight_;

  std::thread loader_;
  // Guards the three flags below; taken by Refresh() under imageLayerLock,
  // so the loader never holds it while it takes imageLayerLock.
  std::mutex loaderMutex_;
  std::condition_variable loaderWake_;
  bool loaderRunning_ = false;
  bool loaderStop_ = false;
  bool loadPending_ = false;
  std::atomic<uint32_t> reloads_{0};
};

}  // namespace corvalind

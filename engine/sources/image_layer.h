// A still picture drawn over or under the program picture.
//
// The background and overlay forms each own one ImageLayer and publish it
// in GlobalImageLayers(); the compositor refreshes and draws it once per
// composed frame. A slide show uses short-lived layers (keep-aspect mode) to
// render each picture into its frame buffer.
//
// The picture is scaled once, at load, to the output size with a Lanczos-3
// filter: stretched (fitMode 0) or kept in proportion and centred on a
// black canvas (any other fitMode). Drawing copies rows for opaque pictures
// and blends by the picture's alpha for 32-bit pictures.
//
// Threads: a layer published in ImageLayerHooks is used only under
// imageLayerLock; `enabled` may be toggled without it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "engine/image_layer_hooks.h"
#include "engine/output_format.h"
#include "platform/freeimage/picture_file.h"

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

class ImageLayer : public CompositionLayer {
 public:
  // Creates the layer for `path` and loads it (enabled, fileTime read
  // first). The output size is that of the program unless given.
  ImageLayer(const std::string& path, int fitMode,
             int outputWidth = GlobalOutputFormat().outputWidth,
             int outputHeight = GlobalOutputFormat().outputHeight);
  ImageLayer(const ImageLayer&) = delete;
  ImageLayer& operator=(const ImageLayer&) = delete;

  // Drops the old picture and reads the file again. On failure the status
  // text shows the path, then kImageLoadErrorText, and `loaded` stays as it
  // was; otherwise the picture is scaled and `loaded` becomes true.
  void LoadImageLayer();
  // Reloads when the file's write time can be read and differs from
  // fileTime; redraws previewFrame (cleared to black first) when set.
  // True when it reloaded.
  bool RefreshImageLayer();
  // Draws into a bottom-up BGR frame of width x height; nothing unless the
  // layer is enabled, holds a picture and the size is the output size.
  void DrawImageLayer(uint8_t* dst, int width, int height) const;
  // Releases the picture (the layer then draws nothing).
  void ReleasePicture() { bitmap_.reset(); }

  void Refresh() override { RefreshImageLayer(); }
  void Draw(uint8_t* frame, int width, int height) override { DrawImageLayer(frame, width, height); }

  bool HasPicture() const { return bitmap_ != nullptr; }
  FIBITMAP* Bitmap() const { return bitmap_.get(); }
  bool Loaded() const { return loaded_; }
  int FitMode() const { return fitMode_; }
  const std::string& Path() const { return path_; }
  int64_t FileTime() const { return fileTime_; }
  int OutputWidth() const { return outputWidth_; }
  int OutputHeight() const { return outputHeight_; }

  // Drawn at all; true at creation.
  std::atomic<bool> enabled{true};
  // A frame of the output size owned by a form, redrawn on reload; may be
  // null. Set and used under imageLayerLock for published layers.
  uint8_t* previewFrame = nullptr;

 private:
  BitmapPtr Scale(FIBITMAP* picture) const;

  BitmapPtr bitmap_;
  bool loaded_ = false;
  int fitMode_;
  std::string path_;
  int64_t fileTime_ = 0;
  int outputWidth_;
  int outputHeight_;
};

}  // namespace corvalind

#include "engine/sources/image_layer.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "engine/messages.h"

namespace corvalind {

namespace {

// A reader's result is used only when it has exactly the size asked for.
bool HasSize(const Picture& picture, int width, int height) {
  return picture.Valid() && picture.width == width && picture.height == height;
}

}  // namespace

FitRect KeepAspectRect(int pictureWidth, int pictureHeight, int outputWidth, int outputHeight) {
  const float ratio = static_cast<float>(pictureWidth) / static_cast<float>(pictureHeight);
  int width = outputWidth;
  int height = static_cast<int>(static_cast<float>(outputWidth) / ratio);
  if (height > outputHeight) {
    height = outputHeight;
    width = std::min(outputWidth, static_cast<int>(ratio * static_cast<float>(outputHeight)));
  }
  // A sliver of a picture (say 16384 x 1) still gets a line of pixels.
  width = std::max(1, width);
  height = std::max(1, height);
  return {(outputWidth - width) / 2, (outputHeight - height) / 2, width, height};
}

int64_t FileWriteTime(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

ImageLayer::ImageLayer(const std::string& path, int fitMode, PictureReader& reader, int outputWidth,
                       int outputHeight, ReadFailureReport report)
    : reader_(reader),
      fitMode_(fitMode),
      path_(path),
      outputWidth_(outputWidth),
      outputHeight_(outputHeight) {
  fileTime_ = FileWriteTime(path_);
  Load(report);
}

ImageLayer::~ImageLayer() { StopReloading(); }

void ImageLayer::LoadImageLayer() { Load(ReadFailureReport::kNow); }

void ImageLayer::Load(ReadFailureReport report) {
  // The old picture goes first, so that two full pictures never coexist.
  picture_.reset();
  bool read = false;
  std::unique_ptr<Picture> scaled = ReadAndScale(&read, report);
  readFailed_ = !read;
  if (!read) return;
  picture_ = std::move(scaled);
  loaded_ = true;
}

void ImageLayer::ReportReadFailure() const {
  SetStatusText(path_);
  SetStatusText(kImageLoadErrorText);
}

std::unique_ptr<Picture> ImageLayer::ReadAndScale(bool* read, ReadFailureReport report) const {
  std::optional<Picture> picture = reader_.LoadForSize(path_, outputWidth_, outputHeight_);
  if (!picture || !picture->Valid()) {
    *read = false;
    if (report == ReadFailureReport::kNow) ReportReadFailure();
    return nullptr;
  }
  *read = true;
  // The picture as read is freed on return, before anything else is read.
  return Scale(*picture);
}

std::unique_ptr<Picture> ImageLayer::Scale(const Picture& picture) const {
  if (outputWidth_ <= 0 || outputHeight_ <= 0) return nullptr;
  if (fitMode_ == 0) {
    std::optional<Picture> stretched = reader_.Rescale(picture, outputWidth_, outputHeight_);
    if (!stretched || !HasSize(*stretched, outputWidth_, outputHeight_)) return nullptr;
    return std::make_unique<Picture>(std::move(*stretched));
  }
  const FitRect fit = KeepAspectRect(picture.width, picture.height, outputWidth_, outputHeight_);
  std::optional<Picture> scaled = reader_.Rescale(picture, fit.width, fit.height);
  if (!scaled || !HasSize(*scaled, fit.width, fit.height)) return nullptr;
  auto canvas = std::make_unique<Picture>(Picture::Blank(outputWidth_, outputHeight_, 3));
  // Rows are bottom-up: the picture's bottom row lands `bottom` rows above
  // the canvas's bottom row.
  const int bottom = outputHeight_ - fit.height - fit.top;
  const bool alpha = scaled->bytesPerPixel == 4;
  for (int y = 0; y < fit.height; ++y) {
    const uint8_t* from = scaled->Row(y);
    uint8_t* to = canvas->Row(bottom + y) + static_cast<std::size_t>(fit.left) * 3;
    if (!alpha) {
      std::memcpy(to, from, static_cast<std::size_t>(fit.width) * 3);
      continue;
    }
    // A transparent picture is blended onto the black canvas rather than
    // dropped.
    for (int x = 0; x < fit.width; ++x) {
      for (int c = 0; c < 3; ++c) to[x * 3 + c] = BlendByte(0, from[x * 4 + c], from[x * 4 + 3]);
    }
  }
  return canvas;
}

void ImageLayer::RedrawPreview() {
  if (!previewFrame) return;
  std::memset(previewFrame, 0,
              static_cast<std::size_t>(outputWidth_) * static_cast<std::size_t>(outputHeight_) * 3);
  DrawImageLayer(previewFrame, outputWidth_, outputHeight_);
}

bool ImageLayer::RefreshImageLayer() {
  const int64_t time = FileWriteTime(path_);
  if (time == 0 || time == fileTime_) return false;
  fileTime_ = time;
  LoadImageLayer();
  RedrawPreview();
  return true;
}

void ImageLayer::DrawImageLayer(uint8_t* dst, int width, int height) const {
  if (!dst || !enabled.load() || !picture_) return;
  if (width != outputWidth_ || height != outputHeight_) return;
  const Picture& picture = *picture_;
  if (!HasSize(picture, width, height)) return;
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
  for (int y = 0; y < height; ++y) {
    const uint8_t* from = picture.Row(y);
    uint8_t* to = dst + rowBytes * static_cast<std::size_t>(y);
    if (picture.bytesPerPixel == 3) {
      std::memcpy(to, from, rowBytes);
      continue;
    }
    for (int x = 0; x < width; ++x) {
      const uint8_t a = from[x * 4 + 3];
      for (int c = 0; c < 3; ++c) to[x * 3 + c] = BlendByte(to[x * 3 + c], from[x * 4 + c], a);
    }
  }
}

bool ImageLayer::StartReloading(ImageLayerHooks& hooks) {
  {
    std::lock_guard<std::mutex> guard(loaderMutex_);
    if (loaderRunning_ || loader_.joinable()) return false;
    loaderRunning_ = true;
    loaderStop_ = false;
    loadPending_ = false;
  }
  loader_ = std::thread([this, &hooks] { ReloadLoop(&hooks); });
  return true;
}

void ImageLayer::StopReloading() {
  {
    std::lock_guard<std::mutex> guard(loaderMutex_);
    loaderRunning_ = false;
    loaderStop_ = true;
  }
  loaderWake_.notify_all();
  if (loader_.joinable()) loader_.join();
}

void ImageLayer::Refresh() {
  // One stat per composed frame: the price of noticing edits without a
  // file watcher. Everything slow happens on the loader.
  const int64_t time = FileWriteTime(path_);
  if (time == 0 || time == fileTime_) return;
  {
    std::lock_guard<std::mutex> guard(loaderMutex_);
    if (!loaderRunning_) return;
    fileTime_ = time;
    loadPending_ = true;
  }
  loaderWake_.notify_one();
}

void ImageLayer::ReloadLoop(ImageLayerHooks* hooks) {
  std::unique_lock<std::mutex> lock(loaderMutex_);
  for (;;) {
    loaderWake_.wait(lock, [this] { return loaderStop_ || loadPending_; });
    if (loaderStop_) return;
    // Changes noticed while this load runs wake the next one.
    loadPending_ = false;
    lock.unlock();

    bool read = false;
    std::unique_ptr<Picture> scaled = ReadAndScale(&read, ReadFailureReport::kNow);

    lock.lock();
    if (loaderStop_) return;  // the layer is being released: drop the picture
    lock.unlock();
    {
      std::lock_guard<std::mutex> guard(hooks->imageLayerLock);
      // The old picture leaves in `scaled` and is freed after the lock.
      picture_.swap(scaled);
      if (read) loaded_ = true;
      RedrawPreview();
    }
    hooks->recomposeRequested.store(true);
    reloads_.fetch_add(1);
    scaled.reset();
    lock.lock();
  }
}

}  // namespace corvalind

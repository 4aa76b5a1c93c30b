#include "engine/video_engine.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "engine/aspect_fit.h"
#include "engine/image_ops.h"

namespace corvalind {

namespace {

bool SameZones(const std::vector<VideoZone>& a, const std::vector<VideoZone>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!a[i].SameLayout(b[i])) return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<VideoEngine> VideoEngine::Create(SourceSlotTable& slots, const OutputFormat& format,
                                                 ImageLayerHooks& layers) {
  if (format.outputWidth <= 0 || format.outputHeight <= 0) return nullptr;
  try {
    return std::unique_ptr<VideoEngine>(new VideoEngine(slots, format, layers));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

VideoEngine::VideoEngine(SourceSlotTable& slots, const OutputFormat& format, ImageLayerHooks& layers)
    : slots_(slots),
      slotCount_(slots.Count()),
      format_(format),
      layers_(layers),
      scenes_(std::make_shared<const SceneTable>()) {
  const std::size_t pixels =
      static_cast<std::size_t>(format.outputWidth) * static_cast<std::size_t>(format.outputHeight);
  transitionFrame_.assign(static_cast<std::size_t>(format.frameBytes) + 1, 0);
  zoneScratch_.assign(pixels * 4 + 1, 0);
  keyMask_.assign(pixels, 0);
  composing_ = scenes_;
}

// ---------------------------------------------------------------------------
// Scene storage

std::shared_ptr<const SceneTable> VideoEngine::Snapshot() const {
  std::lock_guard<std::mutex> guard(sceneMutex_);
  return scenes_;
}

void VideoEngine::Publish(std::shared_ptr<const SceneTable> table) {
  std::lock_guard<std::mutex> guard(sceneMutex_);
  scenes_ = std::move(table);
}

int VideoEngine::SceneCount() const { return Snapshot()->sceneCount; }

SceneTable VideoEngine::Scenes() const { return *Snapshot(); }

bool VideoEngine::GetScene(int index, std::vector<VideoZone>& zones, std::string& name) const {
  if (index < 0 || index >= MaxScenes) return false;
  const std::shared_ptr<const SceneTable> table = Snapshot();
  const Scene& scene = table->scenes[static_cast<std::size_t>(index)];
  zones = scene.zones;
  name = scene.name;
  return true;
}

bool VideoEngine::StoreScene(const std::vector<VideoZone>& zones, const std::string& name, int index) {
  // Only the UI thread writes the table, so reading it, changing a copy and
  // swapping the copy in cannot lose another writer's change.
  auto table = std::make_shared<SceneTable>(*Snapshot());
  if (index >= 0 && index >= table->sceneCount) return false;
  if (index < 0 && table->sceneCount >= MaxScenes) return false;
  const int target = index < 0 ? table->sceneCount : index;
  Scene& scene = table->scenes[static_cast<std::size_t>(target)];
  scene.name = LimitSceneName(name);
  scene.zones = zones;
  for (VideoZone& zone : scene.zones) zone.DerivePixels(format_.outputWidth, format_.outputHeight);
  if (index < 0) ++table->sceneCount;
  Publish(std::move(table));
  return true;
}

bool VideoEngine::DeleteScene(int index) {
  auto table = std::make_shared<SceneTable>(*Snapshot());
  if (index < 0 || index >= table->sceneCount) return false;
  table->scenes[static_cast<std::size_t>(index)].zones.clear();
  for (int j = index + 1; j < table->sceneCount; ++j) {
    table->scenes[static_cast<std::size_t>(j - 1)] = std::move(table->scenes[static_cast<std::size_t>(j)]);
    table->scenes[static_cast<std::size_t>(j)].zones.clear();
  }
  --table->sceneCount;
  Publish(std::move(table));
  return true;
}

void VideoEngine::ReplaceScenes(const std::vector<Scene>& scenes) {
  auto table = std::make_shared<SceneTable>(*Snapshot());
  const int count = std::min<int>(static_cast<int>(scenes.size()), MaxScenes);
  for (int i = 0; i < count; ++i) {
    Scene& scene = table->scenes[static_cast<std::size_t>(i)];
    scene.name = LimitSceneName(scenes[static_cast<std::size_t>(i)].name);
    scene.zones = scenes[static_cast<std::size_t>(i)].zones;
    for (VideoZone& zone : scene.zones) zone.DerivePixels(format_.outputWidth, format_.outputHeight);
  }
  table->sceneCount = count;
  Publish(std::move(table));
}

uint32_t VideoEngine::ZoneLastSerial(int scene, int zone) const {
  std::lock_guard<std::mutex> guard(tickMutex_);
  if (scene < 0 || scene >= MaxScenes) return 0;
  const std::vector<uint32_t>& serials = lastSerials_[static_cast<std::size_t>(scene)];
  if (zone < 0 || zone >= static_cast<int>(serials.size())) return 0;
  return serials[static_cast<std::size_t>(zone)];
}

void VideoEngine::Adopt(const std::shared_ptr<const SceneTable>& table) {
  if (table == composing_) return;
  for (int i = 0; i < MaxScenes; ++i) {
    const auto index = static_cast<std::size_t>(i);
    const std::vector<VideoZone>& fresh = table->scenes[index].zones;
    if (SameZones(fresh, composing_->scenes[index].zones) &&
        lastSerials_[index].size() == fresh.size()) {
      continue;  // untouched scene: keep what was composed
    }
    lastSerials_[index].resize(fresh.size());
    for (std::size_t z = 0; z < fresh.size(); ++z) lastSerials_[index][z] = fresh[z].lastSerial;
    // An edit of the scene on air shows at once, even from still sources.
    if (i == currentScene_.load(std::memory_order_relaxed) && !fresh.empty()) recomposePending_ = true;
  }
  composing_ = table;
}

// ---------------------------------------------------------------------------
// Composition

bool VideoEngine::SourcesChanged(const SceneTable& table, int scene) const {
  if (scene < 0 || scene >= MaxScenes) return false;
  const auto index = static_cast<std::size_t>(scene);
  const std::vector<VideoZone>& zones = table.scenes[index].zones;
  for (std::size_t z = 0; z < zones.size(); ++z) {
    const SourceSlot* slot = slots_.Slot(zones[z].sourceId);
    if (!slot) continue;  // a zone naming no slot never changes
    if (lastSerials_[index][z] != slot->serial.load(std::memory_order_acquire)) return true;
  }
  return false;
}

bool VideoEngine::ComposeProgramFrame(uint8_t* out, uint32_t outBytes) {
  if (!out || outBytes < format_.frameBytes) return false;
  std::lock_guard<std::mutex> tick(tickMutex_);
  Adopt(Snapshot());
  const SceneTable& table = *composing_;
  const int current = currentScene_.load(std::memory_order_relaxed);

  if (activeTransition_ == 0 && !layers_.recomposeRequested.load() && !recomposePending_ &&
      !SourcesChanged(table, current)) {
    return false;
  }

  layers_.recomposeRequested.store(false);
  recomposePending_ = false;
  std::memset(out, 0, outBytes);
  const int width = format_.outputWidth;
  const int height = format_.outputHeight;
  {
    std::lock_guard<std::mutex> guard(layers_.imageLayerLock);
    if (layers_.backgroundLayer) {
      layers_.backgroundLayer->Refresh();
      layers_.backgroundLayer->Draw(out, width, height);
    }
  }
  ComposeSceneLocked(table, current, out);
  TransitionTick(table, out);
  {
    std::lock_guard<std::mutex> guard(layers_.imageLayerLock);
    if (layers_.overlayLayer) {
      layers_.overlayLayer->Refresh();
      layers_.overlayLayer->Draw(out, width, height);
    }
  }
  return true;
}

void VideoEngine::ComposeScene(int sceneIndex, uint8_t* dst) {
  std::lock_guard<std::mutex> tick(tickMutex_);
  Adopt(Snapshot());
  ComposeSceneLocked(*composing_, sceneIndex, dst);
}

void VideoEngine::ComposeSceneLocked(const SceneTable& table, int sceneIndex, uint8_t* dst) {
  if (sceneIndex < 0 || sceneIndex >= MaxScenes) return;
  const auto index = static_cast<std::size_t>(sceneIndex);
  const std::vector<VideoZone>& zones = table.scenes[index].zones;
  for (std::size_t z = 0; z < zones.size(); ++z) DrawZone(zones[z], lastSerials_[index][z], dst);
}

void VideoEngine::DrawZone(const VideoZone& zone, uint32_t& lastSerial, uint8_t* out) {
  SourceSlot* slot = slots_.Slot(zone.sourceId);
  if (!slot) return;
  lastSerial = slot->serial.load(std::memory_order_acquire);
  const int W = format_.outputWidth;
  const int H = format_.outputHeight;
  const bool keyed = zone.chroma;

  std::unique_lock<std::mutex> lock(slot->lock);
  // The size is read under the lock: width and height are stored together
  // there, so the pair always matches the buffer.
  const int srcW = slot->width.load(std::memory_order_relaxed);
  const int srcH = slot->height.load(std::memory_order_relaxed);
  if (srcW <= 0 || srcH <= 0) return;  // no picture yet
  const uint8_t* picture = slot->TakeFrame();
  if (!picture) return;

  if (zone.placement == VIDPOS_FULLSCREEN) {
    uint8_t* target = (keyed || zone.alpha != 0) ? zoneScratch_.data() : out;
    ScaleFrame(picture, srcW, srcH, target, W, H, 3, zone.keepAspect, keyed);
    lock.unlock();
    if (keyed) {
      BuildKeyMask(zoneScratch_.data(), W, H, 3, keyMask_.data());
      BlendRect(zoneScratch_.data(), W, H, out, W, H, 3, 0, 0, 0, keyMask_.data());
    } else if (zone.alpha != 0) {
      BlendRect(zoneScratch_.data(), W, H, out, W, H, 3, 0, 0, zone.alpha, nullptr);
    }
    return;
  }
  if (zone.placement == VIDPOS_FULLSCREEN_NAR) {
    ScaleFrame(picture, srcW, srcH, zoneScratch_.data(), W, H, 3, false, keyed);
    lock.unlock();
    if (keyed) {
      BuildKeyMask(zoneScratch_.data(), W, H, 3, keyMask_.data());
      BlendRect(zoneScratch_.data(), W, H, out, W, H, 3, 0, 0, 0, keyMask_.data());
    } else {
      BlendRect(zoneScratch_.data(), W, H, out, W, H, 3, 0, 0, zone.alpha, nullptr);
    }
    return;
  }
  if (zone.placement < VIDPOS_CENTER || zone.placement > VIDPOS_FREE) return;

  // The fitted rectangle of the placed zones.
  int w = zone.widthPx, h = zone.heightPx, x = zone.posXPx, yTop = zone.posYPx;
  if (zone.keepAspect) {
    const FitSize fit = AspectFit(srcW, srcH, zone.widthPx, zone.heightPx);
    w = fit.width;
    h = fit.height;
    if (!fit.heightLimited) {
      yTop = zone.posYPx + ((zone.heightPx - fit.height) >> 1);
    } else {
      x = zone.posXPx + ((zone.widthPx - fit.width) >> 1);
    }
  }
  if (w <= 0 || h <= 0) return;  // nothing to draw into

  const std::size_t pixels = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
  if (zoneFrame_.size() < pixels * 3) zoneFrame_.resize(pixels * 3);
  ScaleFrame(picture, srcW, srcH, zoneFrame_.data(), w, h, 3, false, keyed);
  lock.unlock();

  const uint8_t* mask = nullptr;
  if (keyed) {
    // Zones larger than the picture (possible from hand-written scene files)
    // need a larger mask than the one made for the picture.
    if (keyMask_.size() < pixels) keyMask_.resize(pixels);
    BuildKeyMask(zoneFrame_.data(), w, h, 3, keyMask_.data());
    mask = keyMask_.data();
  }
  const uint8_t alpha = keyed ? 0 : zone.alpha;
  const uint8_t* frame = zoneFrame_.data();
  switch (zone.placement) {
    case VIDPOS_CENTER: BlendCentred(frame, w, h, out, W, H, 3, alpha, mask); break;
    case VIDPOS_TOP_LEFT: BlendRect(frame, w, h, out, W, H, 3, 0, H - h, alpha, mask); break;
    case VIDPOS_TOP_RIGHT: BlendRect(frame, w, h, out, W, H, 3, W - w, H - h, alpha, mask); break;
    case VIDPOS_BOTTOM_LEFT: BlendRect(frame, w, h, out, W, H, 3, 0, 0, alpha, mask); break;
    case VIDPOS_BOTTOM_RIGHT: BlendRect(frame, w, h, out, W, H, 3, W - w, 0, alpha, mask); break;
    case VIDPOS_FREE: BlendRect(frame, w, h, out, W, H, 3, x, H - yTop - h, alpha, mask); break;
    default: break;
  }
}

// ---------------------------------------------------------------------------
// Transitions

bool VideoEngine::SwitchScene(int scene, int type) {
  if (scene < 0 || scene >= MaxScenes) return false;
  std::lock_guard<std::mutex> tick(tickMutex_);
  const int current = currentScene_.load(std::memory_order_relaxed);
  if (scene == current) return true;
  previousScene_ = current;
  currentScene_.store(scene, std::memory_order_relaxed);
  std::memset(transitionFrame_.data(), 0, format_.frameBytes);
  // Unknown types cut: a type without an effect would otherwise never end.
  activeTransition_ = (type > 0 && type < kTransitionTypeCount) ? type : 0;
  const int W = format_.outputWidth;
  const int H = format_.outputHeight;
  switch (activeTransition_) {
    case kTransitionBlend:
    case kTransitionFadeBlack:
    case kTransitionFadeWhite:
      transitionProgress_ = 0;
      transitionStep_ = FadeStep;
      transitionStepsLeft_ = TransitionSteps;
      break;
    case kTransitionMoveLeft:
    case kTransitionMoveRight:
      transitionStepsLeft_ = TransitionSteps;
      transitionStep_ = std::max(1, W / TransitionSteps);
      transitionProgress_ = 0;
      break;
    case kTransitionMoveTop:
    case kTransitionMoveBottom:
    case kTransitionSplit:
    case kTransitionBreak:
      transitionStepsLeft_ = TransitionSteps;
      transitionStep_ = std::max(1, H / TransitionSteps);
      transitionProgress_ = 0;
      break;
    case kTransitionLines:
      transitionStepsLeft_ = TransitionSteps;
      // At least 1, so that pictures under 32 rows still end.
      transitionStep_ = std::max(1, H / TransitionSteps);
      transitionProgress_ = H;
      break;
    default:
      break;
  }
  // A cut must show the new scene at the next poll even if its sources are
  // still; a cut to a scene without zones keeps the last picture on air.
  if (activeTransition_ == 0) {
    const std::shared_ptr<const SceneTable> table = Snapshot();
    if (!table->scenes[static_cast<std::size_t>(scene)].zones.empty()) recomposePending_ = true;
  }
  return true;
}

TransitionState VideoEngine::Transition() const {
  std::lock_guard<std::mutex> tick(tickMutex_);
  TransitionState state;
  state.currentScene = currentScene_.load(std::memory_order_relaxed);
  state.previousScene = previousScene_;
  state.activeTransition = activeTransition_;
  state.transitionStepsLeft = transitionStepsLeft_;
  state.transitionStep = transitionStep_;
  state.transitionProgress = transitionProgress_;
  return state;
}

void VideoEngine::DrawPrevious(const SceneTable& table) {
  // The previous scene is composed live over what transitionFrame already
  // holds; the frame is cleared only when a switch starts.
  ComposeSceneLocked(table, previousScene_, transitionFrame_.data());
}

void VideoEngine::TransitionTick(const SceneTable& table, uint8_t* out) {
  if (activeTransition_ == 0) return;
  const int W = format_.outputWidth;
  const int H = format_.outputHeight;
  uint8_t* previous = transitionFrame_.data();
  const std::size_t pictureBytes = static_cast<std::size_t>(format_.frameBytes);

  switch (activeTransition_) {
    case kTransitionBlend:
    case kTransitionFadeBlack:
    case kTransitionFadeWhite: {
      if (transitionProgress_ >= 255) {
        activeTransition_ = 0;
        return;
      }
      transitionProgress_ = std::min(255, transitionProgress_ + transitionStep_);
      const int p = transitionProgress_;
      if (activeTransition_ == kTransitionBlend) {
        DrawPrevious(table);
        CrossFade(previous, out, W, H, 3, static_cast<uint8_t>(p));
        return;
      }
      const uint8_t fill = activeTransition_ == kTransitionFadeBlack ? 0 : 255;
      if (p < 128) {
        // The previous scene fades to the fill colour.
        std::memset(out, fill, pictureBytes);
        DrawPrevious(table);
        CrossFade(previous, out, W, H, 3, static_cast<uint8_t>((2 * p) % 256));
      } else {
        // The current scene rises from it.
        std::memset(previous, fill, pictureBytes);
        CrossFade(previous, out, W, H, 3, static_cast<uint8_t>((2 * (p - 128)) % 256));
      }
      return;
    }
    case kTransitionMoveLeft:
    case kTransitionMoveRight:
    case kTransitionMoveTop:
    case kTransitionMoveBottom:
    case kTransitionSplit:
    case kTransitionBreak: {
      if (transitionStepsLeft_ <= 0) {
        activeTransition_ = 0;
        return;
      }
      --transitionStepsLeft_;
      const int type = activeTransition_;
      if (type == kTransitionMoveLeft) {
        transitionProgress_ -= transitionStep_;
        if (transitionProgress_ > -W) {
          DrawPrevious(table);
          BlendRect(previous, W, H, out, W, H, 3, transitionProgress_, 0, 0, nullptr);
        }
      } else if (type == kTransitionMoveRight) {
        transitionProgress_ += transitionStep_;
        if (transitionProgress_ < W) {
          DrawPrevious(table);
          BlendRect(previous, W, H, out, W, H, 3, transitionProgress_, 0, 0, nullptr);
        }
      } else if (type == kTransitionMoveTop || type == kTransitionMoveBottom) {
        transitionProgress_ += transitionStep_;
        if (transitionProgress_ < H) {
          DrawPrevious(table);
          const int y = type == kTransitionMoveTop ? -transitionProgress_ : transitionProgress_;
          BlendRect(previous, W, H, out, W, H, 3, 0, y, 0, nullptr);
        }
      } else if (type == kTransitionSplit) {
        transitionProgress_ += transitionStep_;
        if (transitionProgress_ < H) {
          DrawPrevious(table);
          BlendRect(previous, W, H - transitionProgress_, out, W, H, 3, 0, 0, 0, nullptr);
        }
      } else {  // Break
        transitionProgress_ += transitionStep_ / 2;
        const int split = format_.splitRow;
        if (transitionProgress_ < split) {
          DrawPrevious(table);
          const std::size_t upperHalf = static_cast<std::size_t>(split) * W * 3;
          BlendRect(previous + upperHalf, W, split, out, W, H, 3, 0, split + transitionProgress_, 0,
                    nullptr);
          BlendRect(previous, W, split, out, W, H, 3, 0, -transitionProgress_, 0, nullptr);
        }
      }
      return;
    }
    case kTransitionLines: {
      if (transitionProgress_ <= 1) {
        activeTransition_ = 0;
        return;
      }
      transitionProgress_ -= transitionStep_;
      if (transitionProgress_ <= 0) transitionProgress_ = 1;
      const float spacing = static_cast<float>(H) / static_cast<float>(transitionProgress_);
      DrawPrevious(table);
      if (H - 1 > 0) {
        const std::size_t rowBytes = static_cast<std::size_t>(W) * 3;
        float pos = 0.0f;
        do {
          const std::size_t row = static_cast<std::size_t>(static_cast<int>(pos));
          std::memcpy(out + row * rowBytes, previous + row * rowBytes, rowBytes);
          pos += spacing;
        } while (pos < static_cast<float>(H - 1));
      }
      return;
    }
    default:
      activeTransition_ = 0;
      return;
  }
}

}  // namespace corvalind

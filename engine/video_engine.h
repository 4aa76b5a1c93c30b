// The compositor: the twenty scenes, the scene on air, the running
// transition and the work buffers that turn the source slots into the
// program picture.
//
// Threads: ComposeProgramFrame runs on the program output thread. The scene
// operations (GetScene, StoreScene, DeleteScene, ReplaceScenes) and
// SwitchScene run on the UI thread. Scene changes build a new scene table
// aside and swap it in under a short lock, so a composition always sees one
// whole table; SwitchScene waits for a running composition to end, so a tick
// sees either all old or all new transition fields.
//
// Lock order: the engine's tick lock, then at most one slot lock or the
// image-layer lock at a time.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/image_layer_hooks.h"
#include "engine/output_format.h"
#include "engine/source_slot.h"
#include "engine/transition.h"
#include "engine/video_zone.h"

namespace corvalind {

// The scene list as one value: scenes 0 .. sceneCount - 1 are in use.
struct SceneTable {
  std::array<Scene, MaxScenes> scenes;
  int sceneCount = 0;
};

// A copy of the transition fields, for tests and displays.
struct TransitionState {
  int currentScene = 0;
  int previousScene = 0;
  int activeTransition = 0;
  int transitionStepsLeft = 0;
  int transitionStep = 0;
  int transitionProgress = 0;
};

class VideoEngine {
 public:
  // Builds an engine over a slot table for the format of this moment (the
  // buffers keep that size for the engine's life). Returns nullptr when the
  // work buffers cannot be allocated.
  static std::unique_ptr<VideoEngine> Create(SourceSlotTable& slots,
                                             const OutputFormat& format = GlobalOutputFormat(),
                                             ImageLayerHooks& layers = GlobalImageLayers());

  VideoEngine(const VideoEngine&) = delete;
  VideoEngine& operator=(const VideoEngine&) = delete;

  // Output thread. out holds at least frameBytes bytes and outBytes says how
  // many. Returns true with a new program frame in out, or false when
  // nothing changed (out untouched) or out is too small.
  bool ComposeProgramFrame(uint8_t* out, uint32_t outBytes);

  // Draws the zones of one scene over what dst (a program-size frame)
  // already holds. Indices outside 0..19 draw nothing.
  void ComposeScene(int sceneIndex, uint8_t* dst);

  // UI thread. Puts `scene` on air with a transition of `type` (0..10; any
  // other type cuts). False for scene indices outside 0..19.
  bool SwitchScene(int scene, int type);

  // Scene list operations (UI thread).
  // False for indices outside 0..19; otherwise copies the scene's zones and
  // name (whether or not the index is below sceneCount).
  bool GetScene(int index, std::vector<VideoZone>& zones, std::string& name) const;
  // index < 0 adds a scene at the end, other indices replace that scene.
  // The pixel fields are recomputed from the percentages. False when the
  // index is not below sceneCount or the list is full.
  bool StoreScene(const std::vector<VideoZone>& zones, const std::string& name, int index);
  // Removes a scene; later scenes move down. False outside 0..sceneCount-1.
  bool DeleteScene(int index);
  // Sets scenes 0 .. n-1 and sceneCount = n (n at most 20) in one step, as a
  // file load does; entries from n on are left as they were. Pixel fields
  // are derived from the percentages.
  void ReplaceScenes(const std::vector<Scene>& scenes);

  int SceneCount() const;
  SceneTable Scenes() const;
  int CurrentScene() const { return currentScene_.load(std::memory_order_relaxed); }
  TransitionState Transition() const;
  const OutputFormat& Format() const { return format_; }

  // The serial a zone of a scene was last composed with (output thread's
  // bookkeeping); 0 for zones that do not exist.
  uint32_t ZoneLastSerial(int scene, int zone) const;

 private:
  VideoEngine(SourceSlotTable& slots, const OutputFormat& format, ImageLayerHooks& layers);

  std::shared_ptr<const SceneTable> Snapshot() const;
  void Publish(std::shared_ptr<const SceneTable> table);
  // Brings the output thread's serial bookkeeping in line with a new table.
  void Adopt(const std::shared_ptr<const SceneTable>& table);
  bool SourcesChanged(const SceneTable& table, int scene) const;
  void ComposeSceneLocked(const SceneTable& table, int sceneIndex, uint8_t* dst);
  void DrawZone(const VideoZone& zone, uint32_t& lastSerial, uint8_t* out);
  void TransitionTick(const SceneTable& table, uint8_t* out);
  void DrawPrevious(const SceneTable& table);

  SourceSlotTable& slots_;
  const int slotCount_;
  const OutputFormat format_;
  ImageLayerHooks& layers_;

  // Scene storage: swapped whole under sceneMutex_.
  mutable std::mutex sceneMutex_;
  std::shared_ptr<const SceneTable> scenes_;

  // Held for a whole composition and by SwitchScene.
  mutable std::mutex tickMutex_;
  // Output-thread state (under tickMutex_).
  std::shared_ptr<const SceneTable> composing_;
  std::array<std::vector<uint32_t>, MaxScenes> lastSerials_;
  bool recomposePending_ = false;  // the scene on air was switched or edited

  std::atomic<int> currentScene_{0};
  int previousScene_ = 0;
  int transitionStepsLeft_ = 0;
  int transitionStep_ = 0;
  int transitionProgress_ = 0;
  int activeTransition_ = 0;

  std::vector<uint8_t> transitionFrame_;  // frameBytes + 1
  std::vector<uint8_t> zoneScratch_;      // W * H * 4 + 1
  std::vector<uint8_t> keyMask_;          // W * H, grows for larger zones
  std::vector<uint8_t> zoneFrame_;        // scaled picture of a placed zone
};

}  // namespace corvalind

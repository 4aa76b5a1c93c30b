// The studio's side of game capture: one hook context per running capture
// of a game-capture source window.
//
// Start creates the hook thread. It loads libsnaptrace.so from the studio's
// own library folder (the installation's library folder when that fails),
// sets up the 9,216,000-byte frame block (1920 x 1200 x 4), installs the
// hook for the target name and then polls the frame exchange every
// millisecond. Each frame is brought into the Frame layout (4-byte frames
// packed to 3 bytes and turned bottom-up, others as they come; the OpenGL
// frames of Snaptrace already are), delivered into the slot and handed to
// the preview at 200 x 150. Stop ends the thread, waits for it, and only
// then removes the hook and unloads the library, so nothing the thread uses
// goes away under it. The slot keeps the last picture.
//
// Status texts, through the status sink:
//   "<folder>/libsnaptrace.so"     each file as it is being loaded
//   "Cannot load libsnaptrace.so"  none could be loaded; the thread ends
//   "Snaptrace installed."         the hook is installed, polling starts
//   "Snaptrace removed."           Stop removed the hook
//
// Threads: construction, Start, Stop and destruction on the owner's thread
// (the form's UI thread). The hook thread calls the delivery entry, the
// preview and the status sink; Stop calls the sink too.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "engine/preview.h"
#include "engine/source_slot.h"
#include "hook/client/snaptrace_library.h"

namespace corvalind {

inline constexpr uint32_t kHookFrameBufferBytes = 9216000;
inline constexpr std::size_t kHookTargetNameMax = 511;
inline constexpr const char* kCannotLoadSnaptrace = "Cannot load libsnaptrace.so";
inline constexpr const char* kSnaptraceInstalled = "Snaptrace installed.";
inline constexpr const char* kSnaptraceRemoved = "Snaptrace removed.";

// The library folder of the installation (the GNU lib folder of the
// install prefix).
std::string InstalledLibraryFolder();
// The library folder beside the running program: <program folder>/../lib
// in a build tree, <program folder>/../<libdir> in an installation (moved
// or not). Empty when unknown.
std::string LibraryFolderBesideProgram();

class HookContext {
 public:
  // `targetName`: the game's executable file name (at most 511 characters
  // are kept). Frames go to `deliver` with slot number `slot`.
  HookContext(uint8_t slot, const std::string& targetName, std::string libraryFolder,
              std::string fallbackFolder = InstalledLibraryFolder(), FrameDeliveryFunc deliver = &DeliverFrame);
  // Stops as Stop does.
  ~HookContext();
  HookContext(const HookContext&) = delete;
  HookContext& operator=(const HookContext&) = delete;

  // Set before Start; each must outlive the hook thread. The sink defaults
  // to the main window's status line (SetStatusText).
  void SetPreviewWindow(PreviewTarget* preview) { preview_ = preview; }
  void SetStatusSink(std::function<void(const std::string&)> sink) { status_ = std::move(sink); }

  // Starts the hook thread unless it was started.
  void Start();
  // Ends and joins the thread, then removes the hook and unloads the
  // library when it was loaded. Safe to call twice.
  void Stop();

  bool Started() const { return started_; }
  // Polling the exchange (the library is loaded and the hook installed).
  bool Running() const { return running_.load(); }
  // The thread is inside its polling loop.
  bool Alive() const { return alive_.load(); }
  uint8_t Slot() const { return slot_; }
  const std::string& TargetName() const { return targetName_; }
  // The last frame taken; 0 before the first.
  int32_t FrameWidth() const { return frameWidth_.load(); }
  int32_t FrameHeight() const { return frameHeight_.load(); }
  uint64_t FramesDelivered() const { return framesDelivered_.load(); }

 private:
  void Thread();
  bool LoadLibrary();
  void Status(const std::string& text) const;

  const uint8_t slot_;
  const std::string targetName_;
  const std::string libraryFolder_;
  const std::string fallbackFolder_;
  FrameDeliveryFunc deliver_;
  PreviewTarget* preview_ = nullptr;
  std::function<void(const std::string&)> status_;

  std::unique_ptr<uint8_t[]> frameBuffer_;
  // Loaded and used by the hook thread; unloaded by Stop after the join.
  SnaptraceLibrary library_;

  bool started_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<bool> running_{false};
  std::atomic<bool> alive_{false};
  std::atomic<int32_t> frameWidth_{0};
  std::atomic<int32_t> frameHeight_{0};
  std::atomic<uint64_t> framesDelivered_{0};
  std::thread thread_;
};

}  // namespace corvalind

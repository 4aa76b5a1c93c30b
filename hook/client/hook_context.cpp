#include "hook/client/hook_context.h"

#include <chrono>
#include <filesystem>
#include <system_error>
#include <utility>

#include "engine/messages.h"
#include "hook/client/frame_conversion.h"

namespace corvalind {

namespace {

constexpr int kPreviewWidth = 200;
constexpr int kPreviewHeight = 150;

std::string LibraryPath(const std::string& folder) {
  return (std::filesystem::path(folder) / kSnaptraceLibraryFile).string();
}

}  // namespace

std::string InstalledLibraryFolder() { return CORVALIND_INSTALL_LIBDIR; }

std::string LibraryFolderBesideProgram() {
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  // A build tree keeps the library in <top>/lib; an installation moved as
  // a whole keeps it in <prefix>/<libdir>.
  const std::filesystem::path top = program.parent_path().parent_path();
  const std::filesystem::path built = top / "lib";
  if (std::filesystem::is_regular_file(built / kSnaptraceLibraryFile, error)) return built.string();
  const std::filesystem::path installed = top / CORVALIND_INSTALL_RELATIVE_LIBDIR;
  if (std::filesystem::is_regular_file(installed / kSnaptraceLibraryFile, error)) return installed.string();
  return built.string();
}

HookContext::HookContext(uint8_t slot, const std::string& targetName, std::string libraryFolder,
                         std::string fallbackFolder, FrameDeliveryFunc deliver)
    : slot_(slot),
      targetName_(targetName.substr(0, kHookTargetNameMax)),
      libraryFolder_(std::move(libraryFolder)),
      fallbackFolder_(std::move(fallbackFolder)),
      deliver_(deliver),
      frameBuffer_(new uint8_t[kHookFrameBufferBytes]()) {}

HookContext::~HookContext() { Stop(); }

void HookContext::Status(const std::string& text) const {
  if (status_) {
    status_(text);
  } else {
    SetStatusText(text);
  }
}

void HookContext::Start() {
  if (started_) return;
  started_ = true;
  stop_.store(false);
  thread_ = std::thread(&HookContext::Thread, this);
}

void HookContext::Stop() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  started_ = false;
  if (library_.Loaded()) {
    Status(kSnaptraceRemoved);
    library_.removeHook();
    library_.Unload();
  }
}

bool HookContext::LoadLibrary() {
  library_.Unload();
  const std::string folders[] = {libraryFolder_, fallbackFolder_};
  for (const std::string& folder : folders) {
    if (folder.empty()) continue;
    const std::string path = LibraryPath(folder);
    Status(path);
    if (library_.Load(path)) return true;
  }
  Status(kCannotLoadSnaptrace);
  return false;
}

void HookContext::Thread() {
  if (!LoadLibrary()) return;
  // Failures of either call go unnoticed: no frame ever arrives then.
  library_.setupSharedMemory(kHookFrameBufferBytes);
  library_.installHook(targetName_.c_str());
  Status(kSnaptraceInstalled);
  running_.store(true);
  alive_.store(true);

  uint8_t* buffer = frameBuffer_.get();
  while (!stop_.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    int32_t width = 0;
    int32_t height = 0;
    int32_t bytesPerPixel = 0;
    const uint32_t taken =
        library_.getSharedMemory(buffer, kHookFrameBufferBytes, &width, &height, &bytesPerPixel);
    if (taken == 0) continue;
    frameWidth_.store(width);
    frameHeight_.store(height);
    const uint32_t bytes = ConvertToFrameLayout(buffer, kHookFrameBufferBytes, taken, width, height, bytesPerPixel);
    if (bytes == 0) continue;
    deliver_(false, slot_, buffer, bytes, width, height);
    framesDelivered_.fetch_add(1);
    // The preview reads width * height * 3 bytes: only sizes the buffer holds.
    if (preview_ && width > 0 && height > 0 &&
        static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3 <= kHookFrameBufferBytes) {
      DrawFramePreview(buffer, width, height, preview_, kPreviewWidth, kPreviewHeight);
    }
  }
  running_.store(false);
  alive_.store(false);
}

}  // namespace corvalind

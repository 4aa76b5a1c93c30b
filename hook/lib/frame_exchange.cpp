#include "hook/lib/frame_exchange.h"

#include <atomic>
#include <cstring>

#include "hook/lib/debug_log.h"
#include "hook/lib/named_object.h"
#include "hook/lib/snaptrace_api.h"
#include "platform/guarded_memory.h"

namespace snaptrace {

namespace {

constexpr const char* kSectionBase = "SnaptraceShared";
constexpr const char* kBlockBase = "dllmemfilemapDirectX";

NamedObject g_section;
NamedObject g_block;
// Set by InstallHook in this process: RemoveHook takes back only its own.
bool g_hookInstalled = false;

// Cross-process fields are reached through atomic references: the other
// side may write them at any moment.
template <typename T>
std::atomic_ref<T> Field(T& field) {
  return std::atomic_ref<T>(field);
}

// Runs `work` (a lambda that touches the section and nothing else: no
// lock, no allocation) under the SIGBUS guard. Section() checks the
// section's size, but another process may cut it back between that check
// and the access: then the work stops where it was and this returns false.
template <typename Work>
bool Guarded(Work& work) {
  return corvalind::RunGuarded([](void* context) { (*static_cast<Work*>(context))(); }, &work);
}

SharedSection* View() { return reinterpret_cast<SharedSection*>(g_section.view); }

void WriteTargetName(SharedSection* section, const char* name) {
  std::size_t length = 0;
  if (name) {
    while (length < kTargetNameBytes - 1 && name[length] != '\0') ++length;
  }
  auto write = [section, name, length] {
    // The first byte goes last: a reader sees an empty name or a whole one.
    Field(section->targetName[0]).store('\0', std::memory_order_release);
    for (std::size_t i = 1; i < kTargetNameBytes; ++i) {
      Field(section->targetName[i]).store(i < length ? name[i] : '\0', std::memory_order_relaxed);
    }
    if (length > 0) Field(section->targetName[0]).store(name[0], std::memory_order_release);
  };
  Guarded(write);
}

// 0 for a section that was cut back.
uint32_t BlockSize(SharedSection* section) {
  if (!section) return 0;
  uint32_t size = 0;
  auto read = [section, &size] { size = Field(section->blockSize).load(std::memory_order_relaxed); };
  return Guarded(read) ? size : 0;
}

void* Setup(uint32_t sizeBytes) {
  SharedSection* section = Section();
  if (section) {
    auto store = [section, sizeBytes] { Field(section->blockSize).store(sizeBytes, std::memory_order_relaxed); };
    Guarded(store);
  }
  char name[kObjectNameBytes];
  if (!FormObjectName(kBlockBase, name, sizeof name)) return nullptr;
  NamedObject joined;
  // A new block is all zero (a fresh object reads as zeros up to its
  // size); a live one keeps what it holds. Size 0 can only join.
  if (CreateOrJoin(name, sizeBytes, 1, 0, &joined) == JoinOutcome::kFailed) return nullptr;
  // Joined before the old view goes, so the name never lapses in between.
  Release(&g_block, true);
  g_block = joined;
  return g_block.view;
}

}  // namespace

SharedSection* Section() {
  // Asked every time: a section cut short by someone would fault on use.
  if (g_section.view) return HeldBytes(g_section) >= sizeof(SharedSection) ? View() : nullptr;
  char name[kObjectNameBytes];
  if (!FormObjectName(kSectionBase, name, sizeof name)) return nullptr;
  NamedObject joined;
  if (CreateOrJoin(name, sizeof(SharedSection), sizeof(SharedSection), sizeof(SharedSection), &joined) ==
      JoinOutcome::kFailed) {
    return nullptr;
  }
  g_section = joined;
  return View();
}

void ReadTargetName(char (&name)[kTargetNameBytes]) {
  name[0] = '\0';
  SharedSection* section = Section();
  if (!section) return;
  auto read = [section, &name] {
    name[0] = Field(section->targetName[0]).load(std::memory_order_acquire);
    for (std::size_t i = 1; i < kTargetNameBytes; ++i) {
      name[i] = Field(section->targetName[i]).load(std::memory_order_relaxed);
    }
  };
  if (!Guarded(read)) name[0] = '\0';
  name[kTargetNameBytes - 1] = '\0';
}

bool EnsureBlockView() {
  if (g_block.view) return true;
  SharedSection* section = Section();
  if (!section) return false;
  // The size the studio stored; 0 (no studio yet) only joins a live block.
  return Setup(BlockSize(section)) != nullptr;
}

std::size_t BlockRoom() {
  SharedSection* section = Section();
  if (!section || !g_block.view) return 0;
  return SafeCopyBytes(g_block, BlockSize(section));
}

bool WriteFrame(const uint8_t* pixels, int width, int height, int rows, PixelOrder order) {
  SharedSection* section = Section();
  if (!section || !g_block.view || width <= 0 || height <= 0 || rows < 0) return false;
  const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
  const std::size_t frameBytes = rowBytes * static_cast<std::size_t>(height);
  if (frameBytes > UINT32_MAX) return false;
  auto describe = [section, frameBytes, width, height] {
    Field(section->frameBytes).store(static_cast<uint32_t>(frameBytes), std::memory_order_relaxed);
    Field(section->frameWidth).store(width, std::memory_order_relaxed);
    Field(section->frameHeight).store(height, std::memory_order_relaxed);
    Field(section->bytesPerPixel).store(3, std::memory_order_relaxed);
  };
  if (!Guarded(describe)) return false;

  std::size_t wanted = rowBytes * static_cast<std::size_t>(rows < height ? rows : height);
  const std::size_t blockSize = BlockSize(section);
  if (wanted > blockSize) wanted = blockSize;
  const std::size_t bytes = SafeCopyBytes(g_block, wanted);
  // The studio (or any process of the user) may still cut the block back
  // between the size check and the copy: the copy runs guarded, so the
  // game never meets the SIGBUS of a page that went away.
  struct Job {
    uint8_t* out;
    const uint8_t* pixels;
    std::size_t bytes;
    PixelOrder order;
  } job{g_block.view, pixels, bytes, order};
  const bool copied = corvalind::RunGuarded(
      [](void* context) {
        const Job* j = static_cast<const Job*>(context);
        if (j->order == PixelOrder::kBlueGreenRed) {
          std::memcpy(j->out, j->pixels, j->bytes);
          return;
        }
        const std::size_t count = j->bytes / 3;
        for (std::size_t i = 0; i < count; ++i) {
          j->out[3 * i + 0] = j->pixels[4 * i + 2];
          j->out[3 * i + 1] = j->pixels[4 * i + 1];
          j->out[3 * i + 2] = j->pixels[4 * i + 0];
        }
      },
      &job);
  if (!copied) return false;
  auto ready = [section] { Field(section->frameReady).store(1, std::memory_order_release); };
  return Guarded(ready);
}

void ForgetObjectsInChild() {
  ForgetInChild(&g_block);
  ForgetInChild(&g_section);
  g_hookInstalled = false;
}

void ReleaseObjectsAtUnload(bool unmapViews) {
  Release(&g_block, unmapViews);
  Release(&g_section, unmapViews);
}

}  // namespace snaptrace

using snaptrace::Field;

extern "C" {

SNAPTRACE_EXPORT void* InstallHook(const char* targetName) {
  snaptrace::SharedSection* section = snaptrace::Section();
  if (!section) return nullptr;
  snaptrace::WriteTargetName(section, targetName);
  snaptrace::DebugMessage("Snaptrace hook installed.\n");
  snaptrace::g_hookInstalled = true;
  return section;
}

SNAPTRACE_EXPORT int RemoveHook(void) {
  snaptrace::DebugMessage("Snaptrace hook removed.\n");
  if (snaptrace::g_hookInstalled) {
    // Without a system hook that could be taken back, installed means the
    // name is in the section: clearing it ends the capture in every game,
    // as unloading the library from them would.
    if (snaptrace::SharedSection* section = snaptrace::Section()) snaptrace::WriteTargetName(section, nullptr);
    snaptrace::g_hookInstalled = false;
  }
  const bool hadView = snaptrace::g_block.view != nullptr;
  snaptrace::Release(&snaptrace::g_block, true);
  return hadView ? 1 : 0;
}

SNAPTRACE_EXPORT void* SetupSharedMemory(uint32_t sizeBytes) { return snaptrace::Setup(sizeBytes); }

SNAPTRACE_EXPORT uint32_t GetSharedMemory(uint8_t* destination, uint32_t capacity, int32_t* width,
                                          int32_t* height, int32_t* bytesPerPixel) {
  snaptrace::SharedSection* section = snaptrace::Section();
  if (!section || !snaptrace::g_block.view) return 0;
  bool ready = false;
  int32_t frameWidth = 0;
  int32_t frameHeight = 0;
  int32_t frameBytesPerPixel = 0;
  uint32_t frameBytes = 0;
  auto read = [&] {
    ready = Field(section->frameReady).load(std::memory_order_acquire) != 0;
    if (!ready) return;
    frameWidth = Field(section->frameWidth).load(std::memory_order_relaxed);
    frameHeight = Field(section->frameHeight).load(std::memory_order_relaxed);
    frameBytesPerPixel = Field(section->bytesPerPixel).load(std::memory_order_relaxed);
    frameBytes = Field(section->frameBytes).load(std::memory_order_relaxed);
  };
  // A section cut back under the reads gives no frame.
  if (!snaptrace::Guarded(read) || !ready) return 0;
  if (width) *width = frameWidth;
  if (height) *height = frameHeight;
  if (bytesPerPixel) *bytesPerPixel = frameBytesPerPixel;
  const std::size_t wanted = frameBytes < capacity ? frameBytes : capacity;
  const std::size_t bytes = destination ? snaptrace::SafeCopyBytes(snaptrace::g_block, wanted) : 0;
  // Guarded: a block cut back after the size check gives no frame, not a
  // SIGBUS.
  const bool copied = bytes == 0 || corvalind::GuardedCopy(destination, snaptrace::g_block.view, bytes);
  auto taken = [section] { Field(section->frameReady).store(0, std::memory_order_release); };
  snaptrace::Guarded(taken);
  return copied ? static_cast<uint32_t>(bytes) : 0;
}

SNAPTRACE_EXPORT void SetSharedMemory(const uint8_t* source, uint32_t count) {
  snaptrace::SharedSection* section = snaptrace::Section();
  if (!snaptrace::g_block.view) {
    // The first frame of a process without a view only opens the block.
    snaptrace::Setup(snaptrace::BlockSize(section));
    return;
  }
  const uint32_t blockSize = snaptrace::BlockSize(section);
  const std::size_t wanted = count < blockSize ? count : blockSize;
  const std::size_t bytes = source ? snaptrace::SafeCopyBytes(snaptrace::g_block, wanted) : 0;
  if (bytes > 0) corvalind::GuardedCopy(snaptrace::g_block.view, source, bytes);
}

}  // extern "C"

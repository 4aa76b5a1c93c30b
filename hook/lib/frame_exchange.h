// The frame exchange between a capturing game and the studio.
//
// The shared section holds the description of the last frame and the
// target name; the frame block holds its pixels. There is no lock between
// the two processes: the capture side writes the description and the
// pixels first and sets the ready flag last (release), the studio reads
// the flag (acquire), copies and clears it. A new frame overwrites the
// block whether or not the last one was taken.
//
// Inside one process the objects are opened and released by one thread at
// a time: the studio's calls come one after another, the game's capture
// runs under the capture lock (gl_capture.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace snaptrace {

inline constexpr std::size_t kTargetNameBytes = 512;

// The fields in the order every process agrees on; 536 bytes.
struct SharedSection {
  int32_t frameReady;     // 1: a frame was written and not yet taken
  uint32_t blockSize;     // the frame block's size, set by SetupSharedMemory
  uint32_t frameBytes;    // bytes of the last frame written
  int32_t frameWidth;     // pixels
  int32_t frameHeight;    // pixels
  int32_t bytesPerPixel;  // 3 for OpenGL frames
  char targetName[kTargetNameBytes];  // executable file name, NUL-terminated
};
static_assert(sizeof(SharedSection) == 24 + kTargetNameBytes);

// This process's section, opened (or created, all zero) on first use; null
// while it cannot be had (a later call tries again).
SharedSection* Section();

// A copy of the target name as it stands now (always NUL-terminated; empty
// when there is none).
void ReadTargetName(char (&name)[kTargetNameBytes]);

// The capture side's view of the frame block: opened with the stored block
// size when this process has none yet. False while there is no view.
bool EnsureBlockView();

// How many bytes a frame may fill in the block right now.
std::size_t BlockRoom();

enum class PixelOrder {
  kBlueGreenRed,       // 3 bytes a pixel, as they go into the block
  kRedGreenBlueAlpha,  // 4 bytes a pixel, turned into blue-green-red
};

// Publishes a frame of width x height: the description (3 bytes a pixel),
// then the pixels (rows bottom-up, `rows` of them in `pixels`, rows packed),
// cut to what the block holds, then the ready flag. False (flag untouched)
// when there is no section or no view.
bool WriteFrame(const uint8_t* pixels, int width, int height, int rows, PixelOrder order);

// Library life: the child of a fork holds nothing of its own; at unload the
// objects are let go, the views unmapped only where no capture may still
// be running on another thread.
void ForgetObjectsInChild();
void ReleaseObjectsAtUnload(bool unmapViews);

}  // namespace snaptrace

// Reelforge's configuration: the file Reelforge.ini in the Corvalind folder
// of the user's documents, read at start and again for every new file.
//
// Plain text, read in lines of at most 1023 characters (a longer line is
// read as several). Each line is key=value; the key is the text before the
// first "=", compared without regard to letter case; a line starting with
// ";" is a comment; unknown keys are ignored; the last of repeated keys
// wins. Text values run from after the "=" to the end of the line, without
// the line end; numbers are read as whole decimal numbers (leading blanks
// and a sign allowed, reading stops at the first other character, no
// digits gives 0). Some values are printed as they are read, each on a
// line of its own such as "gl_WebmBitrate:1000".
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace corvalind {

inline constexpr std::size_t kReelforgeLineLimit = 1023;

struct ReelforgeConfig {
  std::string captureDevice;  // part of the video device's name; empty: the virtual camera
  std::string audioDevice;    // part of the audio device's name; empty: no sound
  int videoWidth = 0;
  int videoHeight = 0;
  int videoFps = 25;
  int skipCode = 0;
  int forceDefault = 0;
  int crossbarInput = -1;
  int webmBitrate = 1000;  // kilobits per second
  int webmThreads = 4;
  int webmVideoDuration = 30;  // seconds per file
  int overlappedFrames = 5;
  int vorbisQuality = 30;  // 0..100
  std::string outputFiles;  // prefix of the local file names
  std::string ftpHost;
  std::string ftpUser;
  std::string ftpPass;
  std::string ftpFolder = "/";
  int ftpPassive = 1;
  int webmParts = 5;
  int webmUsage = 0;  // 0 variable, 1 constant bit rate
  int rebootMemoryKb = 100000;
  int debugMode = 0;
};

// Receives each printed value line (with its "\n").
using ReelforgeConsole = std::function<void(const std::string&)>;

// Applies the lines of `text` to `config` (which holds the values so far).
void ApplyReelforgeIni(std::string_view text, ReelforgeConfig& config, const ReelforgeConsole& console);

// "<documents>/Corvalind/Reelforge.ini" (the folders are made when missing).
std::string ReelforgeIniPath();

// Reads the file at `path` into `config`. False when it cannot be read:
// `config` then keeps what it held. The value lines go to `console`.
bool LoadReelforgeConfig(const std::string& path, ReelforgeConfig& config, const ReelforgeConsole& console);

}  // namespace corvalind

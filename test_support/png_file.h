// Writing and reading program pictures as PNG files (libpng). Frames are
// bottom-up BGR; PNG rows are top-down RGB, so rows are turned and channels
// swapped on the way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvalind {

// Writes a width x height frame. Returns false (with nothing usable at the
// path) when the file cannot be written.
bool WriteFramePng(const std::string& path, const uint8_t* frame, int width, int height);

// Reads an 8-bit RGB PNG back into a frame. Returns false for anything else.
bool ReadFramePng(const std::string& path, std::vector<uint8_t>& frame, int& width, int& height);

}  // namespace corvalind

// Picture files for the tests, painted pixel by pixel and written with
// FreeImage in any of the formats the studio reads.
#pragma once

#include <FreeImage.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/freeimage/picture_file.h"
#include "test_support/status_texts.h"

namespace corvalind::testing {

struct Bgra {
  uint8_t b, g, r, a;
};

// A FreeImage bitmap filled by `paint(x, rowFromTop)`.
inline BitmapPtr MakeBitmap(int width, int height, int bits, const std::function<Bgra(int, int)>& paint) {
  InitPictureLibrary();
  BitmapPtr bitmap(FreeImage_Allocate(width, height, bits));
  for (int row = 0; row < height; ++row) {
    BYTE* line = FreeImage_GetScanLine(bitmap.get(), height - 1 - row);
    for (int x = 0; x < width; ++x) {
      const Bgra c = paint(x, row);
      BYTE* p = line + x * (bits / 8);
      p[0] = c.b;
      p[1] = c.g;
      p[2] = c.r;
      if (bits == 32) p[3] = c.a;
    }
  }
  return bitmap;
}

inline BitmapPtr Solid(int width, int height, Bgra c, int bits = 24) {
  return MakeBitmap(width, height, bits, [c](int, int) { return c; });
}

inline void Save(FIBITMAP* bitmap, FREE_IMAGE_FORMAT format, const std::filesystem::path& path, int flags = 0) {
  ASSERT_TRUE(FreeImage_Save(format, bitmap, path.c_str(), flags)) << path;
}

// Sets a file's modification time to `seconds` after the epoch.
inline void SetFileTime(const std::filesystem::path& path, long seconds) {
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// A fresh folder for the test's pictures and the status texts reported
// while the test runs.
class PictureFolderTest : public ::testing::Test {
 protected:
  explicit PictureFolderTest(std::string prefix) : prefix_(std::move(prefix)) {}
  void SetUp() override {
    InitPictureLibrary();
    dir = FreshTestFolder(prefix_);
    status_ = std::make_unique<StatusRecorder>();
  }
  void TearDown() override {
    status_.reset();
    std::filesystem::remove_all(dir);
  }
  std::vector<std::string> TakeStatus() { return status_->Take(); }

  std::filesystem::path dir;

 private:
  std::string prefix_;
  std::unique_ptr<StatusRecorder> status_;
};

}  // namespace corvalind::testing

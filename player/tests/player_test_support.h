// What the player's tests share: the private screen's size, pictures of
// four coloured quadrants published into a private output buffer, and the
// check of a grabbed video area against such a picture letter-boxed.
#pragma once

#include <unistd.h>

#include <QColor>
#include <QImage>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/folders.h"
#include "platform/output_block.h"
#include "platform/settings_file.h"
#include "player/player_pipeline.h"

namespace corvalind::testing {

inline constexpr int kPlayerScreenWidth = 1024;
inline constexpr int kPlayerScreenHeight = 768;

// The program picture the tests publish: 320 x 240 at 30 frames per second
// (settings "1,3,0").
inline constexpr int kPictureWidth = 320;
inline constexpr int kPictureHeight = 240;
inline constexpr const char* kPictureSettings = "1,3,0";

// Top-left, top-right, bottom-left, bottom-right.
using Quadrants = std::array<QColor, 4>;
inline const Quadrants kFirstPicture = {QColor(230, 30, 30), QColor(30, 200, 60), QColor(40, 60, 220),
                                        QColor(240, 240, 240)};
inline const Quadrants kSecondPicture = {QColor(230, 220, 40), QColor(200, 40, 200), QColor(40, 210, 210),
                                         QColor(120, 120, 120)};

inline std::string PrivateBufferName(std::string what) {
  for (char& c : what) {
    if (c == '/') c = '_';  // parameterised test names; a shared-memory name has one slash
  }
  return "CorvalindPlayerTest_" + what + "_" + std::to_string(getpid());
}

// Writes the settings file the camera reads (in the temporary config).
inline bool UsePictureSettings() {
  return WriteSettingsFile(SettingsFilePath(), 1, 3, false);
}

// The picture as the studio publishes it: blue-green-red, bottom row first.
inline std::vector<uint8_t> QuadrantFrame(const Quadrants& colours) {
  std::vector<uint8_t> frame(static_cast<std::size_t>(kPictureWidth) * kPictureHeight * 3);
  for (int row = 0; row < kPictureHeight; ++row) {
    const int y = kPictureHeight - 1 - row;  // from the top
    for (int x = 0; x < kPictureWidth; ++x) {
      const QColor& c = colours[(y < kPictureHeight / 2 ? 0 : 2) + (x < kPictureWidth / 2 ? 0 : 1)];
      uint8_t* p = frame.data() + (static_cast<std::size_t>(row) * kPictureWidth + x) * 3;
      p[0] = static_cast<uint8_t>(c.blue());
      p[1] = static_cast<uint8_t>(c.green());
      p[2] = static_cast<uint8_t>(c.red());
    }
  }
  return frame;
}

// The studio's side of the output buffer.
struct ProgramWriter {
  OutputBlock block;
  uint8_t counter = 0;
  bool Create(const std::string& name) {
    return CreateOutputBlock(block, name, kPictureWidth * kPictureHeight * 3, nullptr, nullptr);
  }
  void Publish(const Quadrants& colours) {
    const std::vector<uint8_t> frame = QuadrantFrame(colours);
    PublishPicture(block, frame.data(), static_cast<uint32_t>(frame.size()), ++counter);
  }
  ~ProgramWriter() { ReleaseOutputBlock(block); }
};

inline bool Near(QColor a, QColor b, int tolerance) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance;
}

// Compares a grab of the whole video area with the picture letter-boxed
// into it: every sampled point inside the picture has its quadrant's colour
// and every point of the bars is black. Points within a few pixels of an
// edge are left out, where scaling blends neighbours. Returns "" when all
// agree, else what differs first.
inline std::string CompareWithProgram(const QImage& grab, const Quadrants& colours) {
  if (grab.isNull()) return "nothing grabbed";
  const FitRect fit = LetterBox(kPictureWidth, kPictureHeight, grab.width(), grab.height());
  constexpr int kEdge = 3;
  constexpr int kTolerance = 24;
  const int midX = fit.x + fit.width / 2;
  const int midY = fit.y + fit.height / 2;
  auto near = [](int v, int edge) { return std::abs(v - edge) < kEdge; };
  int checked = 0;
  for (int y = 0; y < grab.height(); y += 3) {
    for (int x = 0; x < grab.width(); x += 3) {
      if (near(x, fit.x) || near(x, fit.x + fit.width) || near(y, fit.y) || near(y, fit.y + fit.height)) continue;
      const bool inside = x > fit.x && x < fit.x + fit.width && y > fit.y && y < fit.y + fit.height;
      QColor want(Qt::black);
      if (inside) {
        if (near(x, midX) || near(y, midY)) continue;
        want = colours[(y < midY ? 0 : 2) + (x < midX ? 0 : 1)];
      }
      const QColor got = grab.pixelColor(x, y);
      if (!Near(got, want, kTolerance)) {
        char text[160];
        std::snprintf(text, sizeof text, "at (%d,%d) of %dx%d: got %d,%d,%d, want %d,%d,%d", x, y, grab.width(),
                      grab.height(), got.red(), got.green(), got.blue(), want.red(), want.green(), want.blue());
        return text;
      }
      ++checked;
    }
  }
  return checked > 100 ? "" : "too small an area to compare";
}

}  // namespace corvalind::testing

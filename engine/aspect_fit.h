// The keep-aspect fit shared by ScaleFrame and the zone layout: the largest
// srcW : srcH rectangle that fits a boxW x boxH box, computed with the
// studio's float ratios and truncations so that every caller agrees to the
// pixel.
#pragma once

namespace corvalind {

struct FitSize {
  int width = 0;
  int height = 0;
  bool heightLimited = false;  // the height had to be cut to the box
};

// ratio = boxW / srcW as a float; w = trunc(srcW * ratio), h = trunc(ratio *
// srcH), the products in double. When h exceeds boxH: r2 = w / h as a float,
// w = trunc(boxH * r2), h = boxH. srcW must be at least 1.
inline FitSize AspectFit(int srcW, int srcH, int boxW, int boxH) {
  const float ratio = static_cast<float>(boxW) / static_cast<float>(srcW);
  FitSize fit;
  fit.width = static_cast<int>(static_cast<double>(srcW) * static_cast<double>(ratio));
  fit.height = static_cast<int>(static_cast<double>(ratio) * static_cast<double>(srcH));
  if (fit.height > boxH) {
    const float r2 = static_cast<float>(fit.width) / static_cast<float>(fit.height);
    fit.width = static_cast<int>(static_cast<double>(boxH) * static_cast<double>(r2));
    fit.height = boxH;
    fit.heightLimited = true;
  }
  return fit;
}

}  // namespace corvalind

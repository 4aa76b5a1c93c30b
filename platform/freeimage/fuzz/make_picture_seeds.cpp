// Writes small real pictures of every format the picture reader takes
// (PNG, JPEG, BMP, GIF, TGA, in their common depths) into a folder, as
// seeds of the picture fuzzers' corpora.
//   make_picture_seeds FOLDER
#include <FreeImage.h>

#include <cstdio>
#include <string>

namespace {

// A 16 x 12 picture with gradients, a hard edge and (at 32 bits) an alpha
// ramp, so every decoder path sees more than one colour.
FIBITMAP* Gradient(unsigned bits) {
  FIBITMAP* bitmap = FreeImage_Allocate(16, 12, static_cast<int>(bits));
  if (!bitmap) return nullptr;
  for (unsigned y = 0; y < 12; ++y) {
    BYTE* row = FreeImage_GetScanLine(bitmap, static_cast<int>(y));
    for (unsigned x = 0; x < 16; ++x) {
      BYTE* p = row + x * (bits / 8);
      p[FI_RGBA_RED] = static_cast<BYTE>(x * 16);
      p[FI_RGBA_GREEN] = static_cast<BYTE>(y * 21);
      p[FI_RGBA_BLUE] = x > 8 ? 220 : 30;
      if (bits == 32) p[FI_RGBA_ALPHA] = static_cast<BYTE>(255 - x * 12);
    }
  }
  return bitmap;
}

bool Save(FREE_IMAGE_FORMAT format, FIBITMAP* bitmap, const std::string& path, int flags = 0) {
  const bool saved = bitmap && FreeImage_Save(format, bitmap, path.c_str(), flags);
  if (!saved) std::fprintf(stderr, "make_picture_seeds: could not write %s\n", path.c_str());
  return saved;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_picture_seeds FOLDER\n");
    return 2;
  }
  const std::string folder = std::string(argv[1]) + "/";
  FreeImage_Initialise(FALSE);
  FIBITMAP* rgb = Gradient(24);
  FIBITMAP* rgba = Gradient(32);
  FIBITMAP* palette = rgb ? FreeImage_ColorQuantize(rgb, FIQ_WUQUANT) : nullptr;
  FIBITMAP* grey = rgb ? FreeImage_ConvertToGreyscale(rgb) : nullptr;
  bool ok = true;
  ok &= Save(FIF_PNG, rgb, folder + "seed-rgb.png");
  ok &= Save(FIF_PNG, rgba, folder + "seed-rgba.png");
  ok &= Save(FIF_PNG, palette, folder + "seed-palette.png");
  ok &= Save(FIF_PNG, grey, folder + "seed-grey.png");
  ok &= Save(FIF_JPEG, rgb, folder + "seed-rgb.jpg", JPEG_QUALITYGOOD);
  ok &= Save(FIF_JPEG, rgb, folder + "seed-progressive.jpg", JPEG_PROGRESSIVE);
  ok &= Save(FIF_JPEG, grey, folder + "seed-grey.jpg");
  ok &= Save(FIF_BMP, rgb, folder + "seed-rgb.bmp");
  ok &= Save(FIF_BMP, rgba, folder + "seed-rgba.bmp");
  ok &= Save(FIF_BMP, palette, folder + "seed-palette.bmp");
  ok &= Save(FIF_BMP, palette, folder + "seed-palette-rle.bmp", BMP_SAVE_RLE);
  ok &= Save(FIF_GIF, palette, folder + "seed-palette.gif");
  ok &= Save(FIF_TARGA, rgb, folder + "seed-rgb.tga");
  ok &= Save(FIF_TARGA, rgba, folder + "seed-rgba-rle.tga", TARGA_SAVE_RLE);
  ok &= Save(FIF_TARGA, palette, folder + "seed-palette.tga");
  for (FIBITMAP* bitmap : {rgb, rgba, palette, grey}) {
    if (bitmap) FreeImage_Unload(bitmap);
  }
  FreeImage_DeInitialise();
  return ok ? 0 : 1;
}

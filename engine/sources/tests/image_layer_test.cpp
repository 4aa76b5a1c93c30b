// Image layers, slide shows and their forms, on small pictures written by
// the tests themselves.
#include <FreeImage.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/image_layer_hooks.h"
#include "engine/messages.h"
#include "engine/output_format.h"
#include "engine/source_slot.h"
#include "engine/sources/image_layer.h"
#include "engine/sources/picture.h"
#include "engine/sources/slideshow.h"
#include "engine/sources/worker_clock.h"
#include "engine/video_engine.h"
#include "platform/freeimage/freeimage_reader.h"
#include "platform/freeimage/picture_file.h"
#include "test_support/picture_readers.h"
#include "test_support/pictures.h"
#include "test_support/status_texts.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

namespace fs = std::filesystem;
using testing::Bgra;
using testing::GatedPictureReader;
using testing::MakeBitmap;
using testing::Save;
using testing::SetFileTime;
using testing::Solid;

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Bottom-up BGR pixel of a frame, addressed from the top row.
std::array<uint8_t, 3> Pixel(const std::vector<uint8_t>& frame, int width, int height, int x, int top) {
  const uint8_t* p = frame.data() + (static_cast<std::size_t>(height - 1 - top) * width + x) * 3;
  return {p[0], p[1], p[2]};
}


bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 20000) {
  return testing::WaitFor(condition, std::chrono::milliseconds(timeoutMs));
}

// A baseline greyscale JPEG of one grey level, written by hand: every 8 x 8
// block after the first repeats the first one's DC value and costs two bits
// (Huffman codes "0" for a DC change of 0 and "0" for the end of the
// block), so a 16384 x 16384 picture is a file of 1 MB that no test has to
// hold in memory to write.
void WriteFlatGreyJpeg(const fs::path& path, int width, int height, uint8_t grey) {
  std::string out = "\xFF\xD8";
  const auto put16 = [&](int v) {
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v & 0xFF);
  };
  const auto segment = [&](uint8_t marker, const std::string& body) {
    out += '\xFF';
    out += static_cast<char>(marker);
    put16(static_cast<int>(body.size()) + 2);
    out += body;
  };
  segment(0xDB, std::string(1, '\0') + std::string(64, '\1'));  // quantisation: all ones
  std::string frame = "\x08";
  frame += static_cast<char>(height >> 8);
  frame += static_cast<char>(height & 0xFF);
  frame += static_cast<char>(width >> 8);
  frame += static_cast<char>(width & 0xFF);
  frame += std::string("\x01\x01\x11\x00", 4);  // one component, 1 x 1, table 0
  segment(0xC0, frame);
  // A flat block of level v has the DC coefficient 8 (v - 128).
  const int dc = (grey - 128) * 8;
  const int magnitude = dc < 0 ? -dc : dc;
  int category = 0;
  while ((1 << category) <= magnitude) ++category;
  // DC table: category 0 is "0", the first block's category "10".
  std::string dcTable = std::string("\x00\x01\x01", 3) + std::string(14, '\0');
  dcTable += '\0';
  dcTable += static_cast<char>(category);
  segment(0xC4, dcTable);
  // AC table: the end of block is "0".
  segment(0xC4, std::string("\x10\x01", 2) + std::string(15, '\0') + std::string(1, '\0'));
  segment(0xDA, std::string("\x01\x01\x00\x00\x3F\x00", 6));
  uint32_t byte = 0;
  int bits = 0;
  const auto emit = [&](uint32_t code, int length) {
    for (int i = length - 1; i >= 0; --i) {
      byte = (byte << 1) | ((code >> i) & 1);
      if (++bits == 8) {
        out += static_cast<char>(byte);
        if (byte == 0xFF) out += '\0';
        byte = 0;
        bits = 0;
      }
    }
  };
  const uint32_t value = dc >= 0 ? static_cast<uint32_t>(dc)
                                 : static_cast<uint32_t>(dc + (1 << category) - 1);
  emit(category == 0 ? 0 : 2, category == 0 ? 1 : 2);
  emit(value, category);
  emit(0, 1);
  const long blocks = static_cast<long>((width + 7) / 8) * ((height + 7) / 8);
  for (long i = 1; i < blocks; ++i) emit(0, 2);
  while (bits != 0) emit(1, 1);
  out += "\xFF\xD9";
  WriteBytes(path, out);
}

// PNG chunk checksum (CRC-32, reflected, polynomial 0xEDB88320).
uint32_t Crc32(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : bytes) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// A PNG whose header claims width x height of 8-bit channels of `colourType`
// (0 grey, 2 RGB) at `depth` bits, with an empty pixel chunk behind it.
std::string ForgedPng(uint32_t width, uint32_t height, uint8_t depth, uint8_t colourType) {
  const auto be32 = [](uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                       static_cast<char>(v)};
  };
  const auto chunk = [&](const std::string& type, const std::string& data) {
    return be32(static_cast<uint32_t>(data.size())) + type + data + be32(Crc32(type + data));
  };
  std::string header = be32(width) + be32(height);
  header += static_cast<char>(depth);
  header += static_cast<char>(colourType);
  header += std::string(3, '\0');
  return std::string("\x89PNG\r\n\x1A\n", 8) + chunk("IHDR", header) + chunk("IDAT", "") + chunk("IEND", "");
}

// A BMP header claiming width x height at `bits` bits, with no pixels.
std::string ForgedBmp(uint32_t width, uint32_t height, uint8_t bits) {
  std::string bmp(54, '\0');
  const auto put32 = [&](int at, uint32_t v) { std::memcpy(&bmp[at], &v, 4); };
  bmp[0] = 'B';
  bmp[1] = 'M';
  put32(2, 54);
  put32(10, 54);
  put32(14, 40);
  put32(18, width);
  put32(22, height);
  bmp[26] = 1;
  bmp[28] = static_cast<char>(bits);
  return bmp;
}

// A GIF whose screen and first image claim width x height, with no pixels.
std::string ForgedGif(uint16_t width, uint16_t height) {
  const auto le16 = [](uint16_t v) { return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; };
  return "GIF89a" + le16(width) + le16(height) + std::string(3, '\0') + "\x2C" + le16(0) + le16(0) + le16(width) +
         le16(height) + std::string(1, '\0');
}

// The process's memory as the kernel counts it: the resident set now (from
// /proc/self/statm) and its peak since the last reset (VmHWM, reset by
// writing 5 to /proc/self/clear_refs). Where the reset is refused, the peak
// is the largest resident set seen at the checkpoints.
class ResidentMemory {
 public:
  ResidentMemory() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    peakReset_ = static_cast<bool>(clear);
    start_ = Now();
    seen_ = start_;
  }
  static std::size_t Now() {
    std::size_t pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  }
  void Checkpoint() { seen_ = std::max(seen_, Now()); }
  // The growth of the peak over the resident set at construction.
  std::size_t PeakGrowthBytes() {
    Checkpoint();
    std::size_t peak = seen_;
    if (peakReset_) {
      std::ifstream status("/proc/self/status");
      std::string line;
      while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) peak = std::max(peak, std::stoul(line.substr(6)) * std::size_t{1024});
      }
    }
    return peak > start_ ? peak - start_ : 0;
  }
  bool PeakFromKernel() const { return peakReset_; }

 private:
  bool peakReset_ = false;
  std::size_t start_ = 0;
  std::size_t seen_ = 0;
};

class ImagesTest : public testing::PictureFolderTest {
 protected:
  ImagesTest() : PictureFolderTest("corvalind-images") {}
  FreeImagePictureReader reader;
};

// ---- reading files ----

TEST_F(ImagesTest, LoadsTheFiveFormatsAndRefusesOthers) {
  auto colour = Solid(7, 5, {10, 200, 30, 255});
  auto alpha = Solid(7, 5, {10, 200, 30, 128}, 32);
  BitmapPtr grey(FreeImage_ConvertToGreyscale(colour.get()));
  BitmapPtr palette(FreeImage_ColorQuantize(colour.get(), FIQ_WUQUANT));
  ASSERT_TRUE(grey && palette);
  struct Case {
    const char* name;
    FIBITMAP* bitmap;
    FREE_IMAGE_FORMAT format;
  };
  const Case cases[] = {
      {"a.png", alpha.get(), FIF_PNG},    {"g.png", grey.get(), FIF_PNG},
      {"c.jpg", colour.get(), FIF_JPEG},  {"p.bmp", palette.get(), FIF_BMP},
      {"p.gif", palette.get(), FIF_GIF},  {"c.tga", colour.get(), FIF_TARGA},
      {"a.tga", alpha.get(), FIF_TARGA},
  };
  for (const Case& c : cases) {
    Save(c.bitmap, c.format, dir / c.name);
    BitmapPtr loaded = LoadImageFile((dir / c.name).string());
    ASSERT_TRUE(loaded) << c.name;
    EXPECT_EQ(FreeImage_GetWidth(loaded.get()), 7u) << c.name;
    EXPECT_EQ(FreeImage_GetHeight(loaded.get()), 5u) << c.name;
    BitmapPtr drawable = ToDrawableBitmap(loaded.get());
    ASSERT_TRUE(drawable) << c.name;
    const unsigned bits = FreeImage_GetBPP(drawable.get());
    EXPECT_TRUE(bits == 24 || bits == 32) << c.name << " " << bits;
    // The reader gives the drawable bitmap's rows, packed.
    const std::optional<Picture> picture = reader.Load((dir / c.name).string());
    ASSERT_TRUE(picture && picture->Valid()) << c.name;
    EXPECT_EQ(picture->bytesPerPixel * 8u, bits) << c.name;
    EXPECT_EQ(picture->pitchBytes, picture->RowBytes()) << c.name;
    ASSERT_EQ(picture->width, 7) << c.name;
    ASSERT_EQ(picture->height, 5) << c.name;
    for (int y = 0; y < 5; ++y) {
      EXPECT_EQ(std::memcmp(picture->Row(y), FreeImage_GetScanLine(drawable.get(), y), picture->RowBytes()), 0)
          << c.name << " row " << y;
    }
  }

  // Real pictures in formats FreeImage knows but the studio does not read,
  // and files that are no pictures at all.
  WriteBytes(dir / "p.ppm", std::string("P6\n2 2\n255\n") + std::string(12, '\x40'));
  WriteBytes(dir / "x.xpm", "/* XPM */\nstatic char *x[] = {\"1 1 1 1\", \"a c #FF0000\", \"a\"};\n");
  WriteBytes(dir / "text.png", "not a picture at all");
  WriteBytes(dir / "empty.bmp", "");
  const struct {
    const char* name;
    PictureReadStatus status;
  } refused[] = {
      {"p.ppm", PictureReadStatus::kNotAllowed},      {"x.xpm", PictureReadStatus::kNotAllowed},
      {"text.png", PictureReadStatus::kDecodeFailed}, {"empty.bmp", PictureReadStatus::kDecodeFailed},
      {"missing.png", PictureReadStatus::kDecodeFailed},
  };
  for (const auto& r : refused) {
    PictureReadStatus status = PictureReadStatus::kRead;
    EXPECT_FALSE(LoadImageFile((dir / r.name).string(), &status)) << r.name;
    EXPECT_EQ(status, r.status) << r.name;
    EXPECT_FALSE(reader.Load((dir / r.name).string())) << r.name;
  }
  EXPECT_FALSE(IsAllowedPictureFormat(FIF_TIFF));
  EXPECT_FALSE(FreeImage_IsPluginEnabled(FIF_PPM));
  EXPECT_TRUE(FreeImage_IsPluginEnabled(FIF_PNG));
}

// TGA has no signature and its reader believes its header: made-up headers
// are refused before it sees them (one of them, found by the fuzzer, made
// it dereference a pointer it never set), and every mutation of a real
// file's header into something the format does not have is refused too.
// Run-length pictures are expanded before the library sees them, so its
// run-length reader (which wrote past narrow pictures) is never used.
TEST_F(ImagesTest, MadeUpTgaHeadersAreRefusedBeforeTheDecoder) {
  const unsigned char crafted[] = {0x71, 0x2b, 0xff, 0xff, 0x0b, 0x4e, 0x45, 0xff, 0xff, 0xff, 0xff, 0xfe,
                                   0x00, 0x00, 0x5b, 0x30, 0x2a, 0x00, 0x08, 0x0a, 0x00, 0x00, 0x1e};
  WriteBytes(dir / "crafted.tga", std::string(reinterpret_cast<const char*>(crafted), sizeof(crafted)));
  PictureReadStatus status = PictureReadStatus::kRead;
  EXPECT_FALSE(LoadImageFile((dir / "crafted.tga").string(), &status));
  EXPECT_EQ(status, PictureReadStatus::kDecodeFailed);

  auto colour = Solid(7, 5, {10, 200, 30, 255});
  Save(colour.get(), FIF_TARGA, dir / "real.tga");
  const std::string real = testing::ReadBytes((dir / "real.tga").string());
  ASSERT_GE(real.size(), 18u);
  struct Mutation {
    const char* name;
    std::size_t at;
    unsigned char value;
  };
  const Mutation mutations[] = {
      {"image type 255", 2, 0xff},  {"colour map type 43", 1, 43}, {"depth 42", 16, 42},
      {"width 0", 12, 0},           {"mapped without a map", 2, 1}, {"identification past the end", 0, 0xff},
      {"wider than its pixels", 12, 200},
  };
  for (const Mutation& m : mutations) {
    SCOPED_TRACE(m.name);
    std::string bytes = real;
    bytes[m.at] = static_cast<char>(m.value);
    if (m.at == 12) bytes[13] = 0;
    WriteBytes(dir / "mutated.tga", bytes.substr(0, m.at == 0 ? 40 : bytes.size()));
    status = PictureReadStatus::kRead;
    EXPECT_FALSE(LoadImageFile((dir / "mutated.tga").string(), &status));
    EXPECT_EQ(status, PictureReadStatus::kDecodeFailed);
  }
  EXPECT_TRUE(LoadImageFile((dir / "real.tga").string())) << "the real file still reads";

  // 20 bytes announcing 7968x3840 run-length grey: within the side limit,
  // but it cannot hold the 239k packets such a picture needs. The reader
  // would spend seconds filling it.
  const unsigned char tiny[] = {0x00, 0x00, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                0x00, 0x00, 0x20, 0x1f, 0x00, 0x0f, 0x08, 0x00, 0xff, 0x80};
  WriteBytes(dir / "tiny.tga", std::string(reinterpret_cast<const char*>(tiny), sizeof(tiny)));
  status = PictureReadStatus::kRead;
  EXPECT_FALSE(LoadImageFile((dir / "tiny.tga").string(), &status));
  EXPECT_EQ(status, PictureReadStatus::kDecodeFailed);
  std::vector<unsigned char> tinyInMemory(tiny, tiny + sizeof(tiny));
  status = PictureReadStatus::kRead;
  EXPECT_FALSE(LoadImageMemory(tinyInMemory.data(), tinyInMemory.size(), "tiny.tga", &status));
  EXPECT_EQ(status, PictureReadStatus::kDecodeFailed);

  // A run-length picture packed as tightly as the format allows still reads:
  // 300x2 grey in five packets, two runs of 128 and three that finish it.
  std::string packed(reinterpret_cast<const char*>(tiny), 18);
  packed[12] = static_cast<char>(300 & 0xff);
  packed[13] = static_cast<char>(300 >> 8);
  packed[14] = 2;
  packed[15] = 0;
  for (int run : {128, 128, 128, 128, 88}) packed += std::string{static_cast<char>(0x80 | (run - 1)), '\x60'};
  WriteBytes(dir / "packed.tga", packed);
  const BitmapPtr read = LoadImageFile((dir / "packed.tga").string(), &status);
  ASSERT_TRUE(read) << static_cast<int>(status);
  EXPECT_EQ(FreeImage_GetWidth(read.get()), 300u);
  EXPECT_EQ(FreeImage_GetScanLine(read.get(), 1)[299], 0x60);

  // A 1x64 grey picture whose one packet of 128 pixels runs past the last
  // row: the library's own reader wrote the 64 extra rows past the picture.
  // The same picture with a packet of 64 reads, with its raw tail.
  std::string narrow(reinterpret_cast<const char*>(tiny), 18);
  narrow[12] = 1;
  narrow[13] = 0;
  narrow[14] = 64;
  narrow[15] = 0;
  WriteBytes(dir / "overrun.tga", narrow + std::string{'\xff', '\x10'} + std::string(64, '\x10'));
  status = PictureReadStatus::kRead;
  EXPECT_FALSE(LoadImageFile((dir / "overrun.tga").string(), &status));
  EXPECT_EQ(status, PictureReadStatus::kDecodeFailed);
  WriteBytes(dir / "narrow.tga", narrow + std::string{'\xbe', '\x10', '\x00', '\x20'});
  const BitmapPtr tall = LoadImageFile((dir / "narrow.tga").string(), &status);
  ASSERT_TRUE(tall) << static_cast<int>(status);
  EXPECT_EQ(FreeImage_GetHeight(tall.get()), 64u);
  EXPECT_EQ(FreeImage_GetScanLine(tall.get(), 0)[0], 0x10);
  EXPECT_EQ(FreeImage_GetScanLine(tall.get(), 63)[0], 0x20);
}

// Run-length BMPs (which the picture library itself refuses) read as the
// pictures they hold: an RLE8 file as the library writes it, odd width and
// all, gives every index of its source; a hand-made RLE4 file with runs,
// raw pixels, a move and no end marker gives the pixels the format says,
// with the skipped ones at entry 0; broken and oversized headers are refused.
TEST_F(ImagesTest, RunLengthBmpsReadAsThePicturesTheyHold) {
  BitmapPtr source(FreeImage_Allocate(37, 13, 8));
  RGBQUAD* palette = FreeImage_GetPalette(source.get());
  for (int i = 0; i < 256; ++i) palette[i] = {static_cast<BYTE>(i), static_cast<BYTE>(255 - i), static_cast<BYTE>(i / 2), 0};
  uint32_t noise = 99;
  for (int y = 0; y < 13; ++y) {
    for (int x = 0; x < 37; ++x) {
      noise = noise * 1664525u + 1013904223u;
      FreeImage_GetScanLine(source.get(), y)[x] = x < 20 ? static_cast<BYTE>(y * 3) : static_cast<BYTE>(noise >> 24);
    }
  }
  Save(source.get(), FIF_BMP, dir / "rle8.bmp", BMP_SAVE_RLE);
  ASSERT_EQ(testing::ReadBytes((dir / "rle8.bmp").string())[30], 1) << "the library wrote run-length data";
  PictureReadStatus status = PictureReadStatus::kDecodeFailed;
  const BitmapPtr rle8 = LoadImageFile((dir / "rle8.bmp").string(), &status);
  ASSERT_TRUE(rle8) << static_cast<int>(status);
  ASSERT_EQ(FreeImage_GetWidth(rle8.get()), 37u);
  for (unsigned y = 0; y < 13; ++y) {
    for (unsigned x = 0; x < 37; ++x) {
      BYTE got = 0;
      BYTE want = 0;
      FreeImage_GetPixelIndex(rle8.get(), x, y, &got);
      FreeImage_GetPixelIndex(source.get(), x, y, &want);
      ASSERT_EQ(got, want) << x << "," << y;
    }
  }

  // 6x3 at 4 bits, bottom row first: a run of 5 taking turns between 1 and
  // 2, end of row; 3 raw pixels 3 4 5 (padded), a move of 1 right and 1 up;
  // then a run of 2 of 7 on the top row from x 4, and the data ends.
  const auto le = [](uint32_t v, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
  };
  const std::string rle4Data = std::string("\x05\x12\x00\x00\x00\x03\x34\x50\x00\x02\x01\x01\x02\x77", 14);
  std::string info = le(40, 4) + le(6, 4) + le(3, 4) + le(1, 2) + le(4, 2) + le(2, 4) + le(rle4Data.size(), 4) +
                     le(2835, 4) + le(2835, 4) + le(16, 4) + le(0, 4);
  std::string colours;
  for (int i = 0; i < 16; ++i) colours += le(static_cast<uint32_t>(i * 0x101010), 4);
  const uint32_t offset = 14 + 40 + 64;
  WriteBytes(dir / "rle4.bmp", "BM" + le(offset + rle4Data.size(), 4) + le(0, 4) + le(offset, 4) + info + colours + rle4Data);
  const BitmapPtr rle4 = LoadImageFile((dir / "rle4.bmp").string(), &status);
  ASSERT_TRUE(rle4) << static_cast<int>(status);
  const int expected[3][6] = {{1, 2, 1, 2, 1, 0}, {3, 4, 5, 0, 0, 0}, {0, 0, 0, 0, 7, 7}};
  for (unsigned y = 0; y < 3; ++y) {
    for (unsigned x = 0; x < 6; ++x) {
      BYTE got = 0xFF;
      FreeImage_GetPixelIndex(rle4.get(), x, y, &got);
      EXPECT_EQ(got, expected[y][x]) << x << "," << y;
    }
  }

  struct Broken {
    const char* name;
    std::size_t at;
    uint32_t value;
    int bytes;
    PictureReadStatus status;
  };
  const std::string good = testing::ReadBytes((dir / "rle4.bmp").string());
  const Broken broken[] = {
      {"RLE4 at 8 bits", 28, 8, 2, PictureReadStatus::kDecodeFailed},
      {"top-down", 22, static_cast<uint32_t>(-3), 4, PictureReadStatus::kDecodeFailed},
      {"pixels inside the palette", 10, 60, 4, PictureReadStatus::kDecodeFailed},
      {"wider than the limit", 18, 20000, 4, PictureReadStatus::kSizeRefused},
      // Found by the fuzzer: a header size that wrapped the palette's end
      // around made the reader copy 4 GiB.
      {"header of 4 GiB", 14, 0xFFFFFFF0u, 4, PictureReadStatus::kDecodeFailed},
  };
  for (const Broken& b : broken) {
    SCOPED_TRACE(b.name);
    std::string bytes = good;
    bytes.replace(b.at, b.bytes, le(b.value, b.bytes));
    WriteBytes(dir / "broken.bmp", bytes);
    status = PictureReadStatus::kRead;
    EXPECT_FALSE(LoadImageFile((dir / "broken.bmp").string(), &status));
    EXPECT_EQ(status, b.status);
  }
}

// The picture fuzzers start from these seeds: each must be a real picture
// the reader takes, or the fuzzing never gets past the headers.
TEST_F(ImagesTest, TheFuzzSeedsAreRealPicturesOfEveryFormat) {
  std::set<std::string> extensions;
  for (const auto& entry : std::filesystem::directory_iterator(CORVALIND_PICTURE_SEEDS)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("seed-", 0) != 0) continue;
    SCOPED_TRACE(name);
    const std::optional<Picture> picture = reader.Load(entry.path().string());
    ASSERT_TRUE(picture.has_value());
    EXPECT_EQ(picture->width, 16);
    EXPECT_EQ(picture->height, 12);
    extensions.insert(entry.path().extension().string());
  }
  EXPECT_EQ(extensions, (std::set<std::string>{".bmp", ".gif", ".jpg", ".png", ".tga"}));
}

TEST_F(ImagesTest, RefusesPicturesBeyondTheSizeLimit) {
  struct Case {
    int width, height;
    FREE_IMAGE_FORMAT format;
    const char* name;
    bool accepted;
  };
  const Case cases[] = {
      {16384, 1, FIF_BMP, "wide.bmp", true},     {16385, 1, FIF_BMP, "wider.bmp", false},
      {1, 16385, FIF_PNG, "tall.png", false},    {16385, 2, FIF_TARGA, "wide.tga", false},
      {16385, 1, FIF_JPEG, "wide.jpg", false},
  };
  // A refusal comes from the header, before any pixel is decoded.
  const auto expected = [](bool accepted) {
    return accepted ? PictureReadStatus::kRead : PictureReadStatus::kSizeRefused;
  };
  for (const Case& c : cases) {
    auto bitmap = Solid(c.width, c.height, {1, 2, 3, 255});
    Save(bitmap.get(), c.format, dir / c.name);
    PictureReadStatus status = PictureReadStatus::kDecodeFailed;
    EXPECT_EQ(LoadImageFile((dir / c.name).string(), &status) != nullptr, c.accepted) << c.name;
    EXPECT_EQ(status, expected(c.accepted)) << c.name;
    EXPECT_EQ(reader.Load((dir / c.name).string()).has_value(), c.accepted) << c.name;
  }
  // GIF sizes are read from its own header.
  BitmapPtr grey(FreeImage_ConvertToGreyscale(Solid(16385, 1, {9, 9, 9, 255}).get()));
  Save(grey.get(), FIF_GIF, dir / "wide.gif");
  PictureReadStatus gifStatus = PictureReadStatus::kRead;
  EXPECT_FALSE(LoadImageFile((dir / "wide.gif").string(), &gifStatus));
  EXPECT_EQ(gifStatus, PictureReadStatus::kSizeRefused);
  BitmapPtr greyOk(FreeImage_ConvertToGreyscale(Solid(300, 2, {9, 9, 9, 255}).get()));
  Save(greyOk.get(), FIF_GIF, dir / "ok.gif");
  EXPECT_TRUE(LoadImageFile((dir / "ok.gif").string(), &gifStatus));
  EXPECT_EQ(gifStatus, PictureReadStatus::kRead);

  // A forged BMP header claiming 100000 x 100000 with no pixels behind it:
  // refused from the header, without an attempt to decode.
  std::string bmp(54, '\0');
  const auto put32 = [&](int at, uint32_t v) { std::memcpy(&bmp[at], &v, 4); };
  bmp[0] = 'B';
  bmp[1] = 'M';
  put32(2, 54);
  put32(10, 54);
  put32(14, 40);
  put32(18, 100000);
  put32(22, 100000);
  bmp[26] = 1;
  bmp[28] = 24;
  WriteBytes(dir / "forged.bmp", bmp);
  PictureReadStatus forgedStatus = PictureReadStatus::kRead;
  EXPECT_FALSE(LoadImageFile((dir / "forged.bmp").string(), &forgedStatus));
  EXPECT_EQ(forgedStatus, PictureReadStatus::kSizeRefused);
  // The same bytes from memory take the same path.
  EXPECT_FALSE(LoadImageMemory(reinterpret_cast<const uint8_t*>(bmp.data()), bmp.size(), "", &forgedStatus));
  EXPECT_EQ(forgedStatus, PictureReadStatus::kSizeRefused);

  // A refused file reads as a load failure to the layer.
  ImageLayer layer((dir / "forged.bmp").string(), 0, reader, 64, 48);
  EXPECT_FALSE(layer.HasPicture());
  EXPECT_EQ(TakeStatus(), (std::vector<std::string>{(dir / "forged.bmp").string(), kImageLoadErrorText}));
}

TEST_F(ImagesTest, PicturesBeyondTheMemoryBudgetAreRefusedFromTheHeader) {
  // Headers without pixels: what passes the budget fails to decode, what
  // does not is refused before decoding.
  const struct {
    const char* name;
    std::string bytes;
    PictureReadStatus status;
  } cases[] = {
      {"rgb.png", ForgedPng(16384, 16384, 8, 2), PictureReadStatus::kOverBudget},
      {"deep.png", ForgedPng(9000, 9000, 16, 0), PictureReadStatus::kOverBudget},
      {"small.png", ForgedPng(64, 64, 8, 2), PictureReadStatus::kDecodeFailed},
      {"tall.bmp", ForgedBmp(8192, 8193, 24), PictureReadStatus::kOverBudget},
      {"grey.bmp", ForgedBmp(16384, 16384, 8), PictureReadStatus::kOverBudget},
      {"big.gif", ForgedGif(16384, 16384), PictureReadStatus::kOverBudget},
      {"edge.gif", ForgedGif(8192, 8193), PictureReadStatus::kOverBudget},
  };
  for (const auto& c : cases) {
    WriteBytes(dir / c.name, c.bytes);
    PictureReadStatus status = PictureReadStatus::kRead;
    EXPECT_FALSE(LoadImageFile((dir / c.name).string(), &status, 640)) << c.name;
    EXPECT_EQ(status, c.status) << c.name;
    EXPECT_FALSE(LoadImageMemory(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size(), c.name,
                                 &status, 640))
        << c.name;
    EXPECT_EQ(status, c.status) << c.name;
  }
  // An over-budget file reads as a load failure to the layer.
  ImageLayer layer((dir / "rgb.png").string(), 1, reader, 64, 48);
  EXPECT_FALSE(layer.HasPicture());
  EXPECT_TRUE(layer.ReadFailed());
  EXPECT_EQ(TakeStatus(), (std::vector<std::string>{(dir / "rgb.png").string(), kImageLoadErrorText}));
}

TEST_F(ImagesTest, HugeJpegIsDecodedReducedToCoverTheOutput) {
  const fs::path big = dir / "big.jpg";
  WriteFlatGreyJpeg(big, 16384, 16384, 200);
  // Whole it would take 256 MiB of grey and 1 GiB drawable; reduced by a
  // power of two it still covers the side asked for.
  const struct {
    int coverSide;
    PictureReadStatus status;
    unsigned side;
  } cases[] = {
      {0, PictureReadStatus::kOverBudget, 0},     {480, PictureReadStatus::kRead, 2048},
      {2048, PictureReadStatus::kRead, 2048},     {2049, PictureReadStatus::kRead, 4096},
      {9000, PictureReadStatus::kOverBudget, 0},  {16384, PictureReadStatus::kOverBudget, 0},
  };
  for (const auto& c : cases) {
    PictureReadStatus status = PictureReadStatus::kDecodeFailed;
    BitmapPtr loaded = LoadImageFile(big.string(), &status, c.coverSide);
    EXPECT_EQ(status, c.status) << c.coverSide;
    EXPECT_EQ(loaded ? FreeImage_GetWidth(loaded.get()) : 0u, c.side) << c.coverSide;
    EXPECT_EQ(loaded ? FreeImage_GetHeight(loaded.get()) : 0u, c.side) << c.coverSide;
  }
  EXPECT_FALSE(reader.Load(big.string()));
  const std::optional<Picture> picture = reader.LoadForSize(big.string(), 640, 480);
  ASSERT_TRUE(picture && picture->Valid());
  EXPECT_EQ(picture->width, 2048);
  EXPECT_EQ(picture->height, 2048);
  ASSERT_EQ(picture->bytesPerPixel, 3);
  for (int y : {0, 1024, 2047}) {
    for (int x : {0, 1024, 2047}) EXPECT_EQ(picture->Row(y)[x * 3 + 1], 200) << x << "," << y;
  }
  // The layer places it as the whole picture: 480 x 480 at (80, 0).
  ImageLayer layer(big.string(), 1, reader, 640, 480);
  ASSERT_TRUE(layer.HasPicture());
  std::vector<uint8_t> frame(640 * 480 * 3, 7);
  layer.DrawImageLayer(frame.data(), 640, 480);
  for (int top : {0, 240, 479}) {
    EXPECT_EQ(Pixel(frame, 640, 480, 79, top), (std::array<uint8_t, 3>{0, 0, 0})) << top;
    EXPECT_EQ(Pixel(frame, 640, 480, 80, top), (std::array<uint8_t, 3>{200, 200, 200})) << top;
    EXPECT_EQ(Pixel(frame, 640, 480, 559, top), (std::array<uint8_t, 3>{200, 200, 200})) << top;
    EXPECT_EQ(Pixel(frame, 640, 480, 560, top), (std::array<uint8_t, 3>{0, 0, 0})) << top;
  }
  EXPECT_TRUE(TakeStatus().empty());
}

TEST_F(ImagesTest, PicturesWithinTheBudgetReadWholeForEveryOutputSize) {
  // A JPEG that FreeImage could decode at half or a quarter of its size
  // for these outputs is read whole: its pixels are those of Load.
  auto gradient = MakeBitmap(1000, 1000, 24, [](int x, int top) {
    return Bgra{static_cast<uint8_t>(x), static_cast<uint8_t>(top), static_cast<uint8_t>(x ^ top), 255};
  });
  Save(gradient.get(), FIF_JPEG, dir / "photo.jpg");
  Save(gradient.get(), FIF_PNG, dir / "photo.png");
  for (const char* name : {"photo.jpg", "photo.png"}) {
    const std::string path = (dir / name).string();
    const std::optional<Picture> whole = reader.Load(path);
    ASSERT_TRUE(whole) << name;
    for (const auto& size : {std::pair{640, 480}, std::pair{200, 150}, std::pair{32, 24}}) {
      const std::optional<Picture> read = reader.LoadForSize(path, size.first, size.second);
      ASSERT_TRUE(read) << name << " " << size.first;
      EXPECT_EQ(read->width, 1000) << name << " " << size.first;
      EXPECT_EQ(read->height, 1000) << name << " " << size.first;
      EXPECT_EQ(read->pixels, whole->pixels) << name << " " << size.first;
    }
  }
}

// ---- scaling and drawing ----

TEST(BlendByteTest, EndsAreExactAndTheMiddleFollowsTheFormula) {
  for (int d = 0; d < 256; d += 17) {
    for (int s = 0; s < 256; s += 15) {
      EXPECT_EQ(BlendByte(static_cast<uint8_t>(d), static_cast<uint8_t>(s), 0), d);
      EXPECT_EQ(BlendByte(static_cast<uint8_t>(d), static_cast<uint8_t>(s), 255), s);
      for (int a : {1, 64, 128, 254}) {
        EXPECT_EQ(BlendByte(static_cast<uint8_t>(d), static_cast<uint8_t>(s), static_cast<uint8_t>(a)),
                  (d * (255 - a) + s * a) >> 8);
      }
    }
  }
}

TEST(KeepAspectRectTest, FitsCentresAndNeverCollapses) {
  struct Case {
    int pw, ph, w, h;
    FitRect expected;
  };
  const Case cases[] = {
      {1000, 1000, 640, 480, {80, 0, 480, 480}},  // square: full height, bars left and right
      {200, 100, 640, 480, {0, 80, 640, 320}},    // wider: bars above and below
      {640, 480, 640, 480, {0, 0, 640, 480}},     // same shape
      {161, 159, 640, 480, {77, 0, 486, 480}},    // odd sizes: r * 480 truncated
      {16384, 1, 640, 480, {0, 239, 640, 1}},     // a sliver keeps one line
      {1, 16384, 640, 480, {319, 0, 1, 480}},
  };
  for (const Case& c : cases) {
    const FitRect r = KeepAspectRect(c.pw, c.ph, c.w, c.h);
    EXPECT_EQ(r.left, c.expected.left) << c.pw << "x" << c.ph;
    EXPECT_EQ(r.top, c.expected.top) << c.pw << "x" << c.ph;
    EXPECT_EQ(r.width, c.expected.width) << c.pw << "x" << c.ph;
    EXPECT_EQ(r.height, c.expected.height) << c.pw << "x" << c.ph;
  }
}

TEST_F(ImagesTest, StretchedAlphaOverlayBlendsWithExactEnds) {
  // 200 x 100: left third transparent, middle third half transparent, right
  // third opaque, all red.
  auto picture = MakeBitmap(200, 100, 32, [](int x, int) {
    return Bgra{0, 0, 255, static_cast<uint8_t>(x < 66 ? 0 : x < 133 ? 128 : 255)};
  });
  Save(picture.get(), FIF_PNG, dir / "overlay.png");
  ImageLayer layer((dir / "overlay.png").string(), 0, reader, 640, 480);
  ASSERT_TRUE(layer.HasPicture());
  ASSERT_TRUE(layer.Loaded());
  const Picture& scaled = *layer.ScaledPicture();
  ASSERT_EQ(scaled.width, 640);
  ASSERT_EQ(scaled.height, 480);
  ASSERT_EQ(scaled.bytesPerPixel, 4);

  std::vector<uint8_t> frame(640 * 480 * 3);
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7 + 3);
  const std::vector<uint8_t> scene = frame;
  layer.DrawImageLayer(frame.data(), 640, 480);

  // Every pixel against the scaled picture: the corrected formula.
  int kept = 0, copied = 0, blended = 0;
  for (int y = 0; y < 480; ++y) {
    const uint8_t* line = scaled.Row(y);
    for (int x = 0; x < 640; ++x) {
      const uint8_t a = line[x * 4 + 3];
      (a == 0 ? kept : a == 255 ? copied : blended)++;
      for (int c = 0; c < 3; ++c) {
        const std::size_t i = (static_cast<std::size_t>(y) * 640 + x) * 3 + c;
        ASSERT_EQ(frame[i], BlendByte(scene[i], line[x * 4 + c], a)) << x << "," << y;
      }
    }
  }
  EXPECT_GT(kept, 0);
  EXPECT_GT(copied, 0);
  EXPECT_GT(blended, 0);
  // Far from the edges of the thirds: scene kept, red copied, red blended.
  const std::size_t left = (240 * 640 + 50) * 3, right = (240 * 640 + 600) * 3,
                    middle = (240 * 640 + 320) * 3;
  EXPECT_TRUE(std::equal(&frame[left], &frame[left] + 3, &scene[left]));
  EXPECT_EQ(frame[right + 2], 255);
  EXPECT_EQ(frame[right], 0);
  EXPECT_EQ(frame[middle + 2], (scene[middle + 2] * 127 + 255 * 128) >> 8);
}

TEST_F(ImagesTest, DrawsNothingWhenDisabledMissingOrOfAnotherSize) {
  auto picture = Solid(20, 10, {1, 2, 3, 255});
  Save(picture.get(), FIF_BMP, dir / "p.bmp");
  ImageLayer layer((dir / "p.bmp").string(), 0, reader, 64, 48);
  ASSERT_TRUE(layer.HasPicture());
  std::vector<uint8_t> frame(64 * 48 * 3, 99);
  layer.enabled = false;
  layer.DrawImageLayer(frame.data(), 64, 48);
  EXPECT_EQ(std::count(frame.begin(), frame.end(), 99), 64 * 48 * 3);
  layer.enabled = true;
  std::vector<uint8_t> bigger(65 * 48 * 3, 99);
  layer.DrawImageLayer(bigger.data(), 65, 48);
  EXPECT_EQ(std::count(bigger.begin(), bigger.end(), 99), 65 * 48 * 3);
  layer.DrawImageLayer(frame.data(), 64, 48);
  EXPECT_EQ(Pixel(frame, 64, 48, 30, 20), (std::array<uint8_t, 3>{1, 2, 3}));
  layer.ReleasePicture();
  std::vector<uint8_t> again(64 * 48 * 3, 99);
  layer.DrawImageLayer(again.data(), 64, 48);
  EXPECT_EQ(std::count(again.begin(), again.end(), 99), 64 * 48 * 3);
}

TEST_F(ImagesTest, LowDepthPicturesAreConvertedBeforeDrawing) {
  // Grey, palette and 1-bit pictures would otherwise be read as 24-bit rows
  // past their end; a transparent palette entry stays transparent.
  auto colour = Solid(30, 20, {40, 80, 160, 255});
  BitmapPtr grey(FreeImage_ConvertToGreyscale(colour.get()));
  BitmapPtr palette(FreeImage_ColorQuantize(colour.get(), FIQ_WUQUANT));
  BitmapPtr mono(FreeImage_Threshold(grey.get(), 10));  // all white
  BitmapPtr clear(FreeImage_ColorQuantize(colour.get(), FIQ_WUQUANT));
  FreeImage_SetTransparentIndex(clear.get(), 0);
  for (int y = 0; y < 20; ++y) std::memset(FreeImage_GetScanLine(clear.get(), y), 0, 30);
  Save(grey.get(), FIF_PNG, dir / "grey.png");
  Save(palette.get(), FIF_BMP, dir / "palette.bmp");
  Save(mono.get(), FIF_BMP, dir / "mono.bmp");
  Save(clear.get(), FIF_GIF, dir / "clear.gif");
  const uint8_t g = FreeImage_GetScanLine(grey.get(), 0)[0];
  struct Case {
    const char* name;
    unsigned bits;
    std::array<uint8_t, 3> pixel;  // drawn over a frame of 7s
  };
  const Case cases[] = {
      {"grey.png", 24, {g, g, g}},
      {"palette.bmp", 24, {40, 80, 160}},
      {"mono.bmp", 24, {255, 255, 255}},
      {"clear.gif", 32, {7, 7, 7}},
  };
  for (const Case& c : cases) {
    for (int fitMode : {0, 1}) {
      ImageLayer layer((dir / c.name).string(), fitMode, reader, 60, 40);
      ASSERT_TRUE(layer.HasPicture()) << c.name;
      // The keep-aspect canvas is always 24 bits; transparency is blended
      // onto its black.
      EXPECT_EQ(layer.ScaledPicture()->bytesPerPixel * 8u, fitMode == 0 ? c.bits : 24u) << c.name;
      std::vector<uint8_t> frame(60 * 40 * 3, 7);
      layer.DrawImageLayer(frame.data(), 60, 40);
      const auto expected = fitMode == 1 && c.bits == 32 ? std::array<uint8_t, 3>{0, 0, 0} : c.pixel;
      EXPECT_EQ(Pixel(frame, 60, 40, 30, 20), expected) << c.name << " fit " << fitMode;
    }
  }
}

TEST_F(ImagesTest, KeepAspectPlacesThePictureOnBlack) {
  struct Case {
    int pw, ph;
    FREE_IMAGE_FORMAT format;
    const char* name;
  };
  const Case cases[] = {
      {1000, 1000, FIF_JPEG, "square.jpg"},
      {200, 100, FIF_PNG, "wide.png"},
      {161, 159, FIF_TARGA, "odd.tga"},
      {30, 90, FIF_BMP, "tall.bmp"},
  };
  for (const Case& c : cases) {
    auto picture = Solid(c.pw, c.ph, {255, 255, 255, 255});
    Save(picture.get(), c.format, dir / c.name);
    ImageLayer layer((dir / c.name).string(), 1, reader, 640, 480);
    ASSERT_TRUE(layer.HasPicture()) << c.name;
    EXPECT_EQ(layer.ScaledPicture()->bytesPerPixel, 3);
    std::vector<uint8_t> frame(640 * 480 * 3, 50);
    layer.DrawImageLayer(frame.data(), 640, 480);
    const FitRect r = KeepAspectRect(c.pw, c.ph, 640, 480);
    const auto white = [&](int x, int top) { return Pixel(frame, 640, 480, x, top)[1] > 200; };
    const auto black = [&](int x, int top) {
      return Pixel(frame, 640, 480, x, top) == std::array<uint8_t, 3>{0, 0, 0};
    };
    const int right = r.left + r.width - 1, bottom = r.top + r.height - 1;
    EXPECT_TRUE(white(r.left, r.top) && white(right, bottom) && white(r.left + r.width / 2, r.top + r.height / 2))
        << c.name;
    if (r.left > 0) {
      EXPECT_TRUE(black(r.left - 1, 240) && black(right + 1, 240) && black(0, 0)) << c.name;
    }
    if (r.top > 0) {
      EXPECT_TRUE(black(320, r.top - 1) && black(320, bottom + 1) && black(0, 0)) << c.name;
    }
  }
}

TEST_F(ImagesTest, SemiTransparentSlideIsBlendedOntoBlack) {
  auto picture = MakeBitmap(64, 48, 32, [](int x, int) {
    return Bgra{0, 0, 200, static_cast<uint8_t>(x < 20 ? 0 : x < 40 ? 128 : 255)};
  });
  Save(picture.get(), FIF_PNG, dir / "slide.png");
  ImageLayer layer((dir / "slide.png").string(), 1, reader, 64, 48);
  ASSERT_TRUE(layer.HasPicture());
  std::vector<uint8_t> frame(64 * 48 * 3, 77);
  layer.DrawImageLayer(frame.data(), 64, 48);
  EXPECT_EQ(Pixel(frame, 64, 48, 5, 24), (std::array<uint8_t, 3>{0, 0, 0}));
  EXPECT_EQ(Pixel(frame, 64, 48, 30, 24), (std::array<uint8_t, 3>{0, 0, (200 * 128) >> 8}));
  EXPECT_EQ(Pixel(frame, 64, 48, 60, 24), (std::array<uint8_t, 3>{0, 0, 200}));
}

// A reader around another that hands out every picture with padded rows:
// the layers must step rows by the pitch, not by the width.
class PaddingReader : public PictureReader {
 public:
  explicit PaddingReader(PictureReader& inner) : inner_(inner) {}
  std::optional<Picture> Load(const std::string& path) override { return Padded(inner_.Load(path)); }
  std::optional<Picture> Rescale(const Picture& picture, int width, int height) override {
    return Padded(inner_.Rescale(picture, width, height));
  }

  static std::optional<Picture> Padded(std::optional<Picture> packed) {
    if (!packed) return packed;
    Picture padded = *packed;
    padded.pitchBytes = packed->RowBytes() + 13;
    padded.pixels.assign(padded.pitchBytes * static_cast<std::size_t>(padded.height), 0xA5);
    for (int y = 0; y < padded.height; ++y) std::memcpy(padded.Row(y), packed->Row(y), packed->RowBytes());
    return padded;
  }

 private:
  PictureReader& inner_;
};

TEST_F(ImagesTest, ReaderRescalesByteForByteAsTheLibraryDoes) {
  // The oracle is FreeImage itself, on the bitmap it decoded; the reader
  // goes through pictures and bitmaps of its own in between.
  auto gradient = MakeBitmap(161, 159, 24, [](int x, int top) {
    return Bgra{static_cast<uint8_t>(x), static_cast<uint8_t>(top), static_cast<uint8_t>(x * top), 255};
  });
  auto alpha = MakeBitmap(37, 23, 32, [](int x, int top) {
    return Bgra{static_cast<uint8_t>(x * 7), static_cast<uint8_t>(top * 11), 200, static_cast<uint8_t>(x * top)};
  });
  BitmapPtr palette(FreeImage_ColorQuantize(gradient.get(), FIQ_WUQUANT));
  ASSERT_TRUE(palette);
  Save(gradient.get(), FIF_PNG, dir / "gradient.png");
  Save(gradient.get(), FIF_JPEG, dir / "gradient.jpg");
  Save(alpha.get(), FIF_TARGA, dir / "alpha.tga");
  Save(palette.get(), FIF_BMP, dir / "palette.bmp");
  const struct {
    int width, height;
  } sizes[] = {{64, 48}, {640, 480}, {161, 159}, {1, 1}, {333, 17}};
  for (const char* name : {"gradient.png", "gradient.jpg", "alpha.tga", "palette.bmp"}) {
    const std::string path = (dir / name).string();
    BitmapPtr decoded = LoadImageFile(path);
    ASSERT_TRUE(decoded) << name;
    BitmapPtr drawable = ToDrawableBitmap(decoded.get());
    ASSERT_TRUE(drawable) << name;
    const std::optional<Picture> picture = reader.Load(path);
    ASSERT_TRUE(picture) << name;
    const std::optional<Picture> padded = PaddingReader::Padded(picture);
    for (const auto& size : sizes) {
      SCOPED_TRACE(std::string(name) + " to " + std::to_string(size.width) + "x" + std::to_string(size.height));
      BitmapPtr expected(FreeImage_Rescale(drawable.get(), size.width, size.height, FILTER_LANCZOS3));
      ASSERT_TRUE(expected);
      for (const Picture* source : {&*picture, &*padded}) {
        const std::optional<Picture> scaled = reader.Rescale(*source, size.width, size.height);
        ASSERT_TRUE(scaled && scaled->Valid());
        ASSERT_EQ(scaled->width, size.width);
        ASSERT_EQ(scaled->height, size.height);
        ASSERT_EQ(scaled->bytesPerPixel * 8u, FreeImage_GetBPP(expected.get()));
        for (int y = 0; y < size.height; ++y) {
          ASSERT_EQ(std::memcmp(scaled->Row(y), FreeImage_GetScanLine(expected.get(), y), scaled->RowBytes()), 0)
              << "row " << y;
        }
      }
    }
    EXPECT_FALSE(reader.Rescale(*picture, 0, 10)) << name;
    EXPECT_FALSE(reader.Rescale(*picture, 10, -1)) << name;
  }
  EXPECT_FALSE(reader.Rescale(Picture{}, 10, 10));
  Picture shortRows = Picture::Blank(4, 4, 3);
  shortRows.pixels.resize(20);
  EXPECT_FALSE(reader.Rescale(shortRows, 10, 10));
}

TEST_F(ImagesTest, LayersDrawPaddedRowsAsPackedOnes) {
  Save(MakeBitmap(50, 30, 32, [](int x, int top) {
         return Bgra{static_cast<uint8_t>(x * 5), static_cast<uint8_t>(top * 8), 90, static_cast<uint8_t>(x * 5)};
       }).get(),
       FIF_PNG, dir / "alpha.png");
  Save(MakeBitmap(30, 50, 24, [](int x, int top) {
         return Bgra{static_cast<uint8_t>(x * 8), 60, static_cast<uint8_t>(top * 5), 255};
       }).get(),
       FIF_BMP, dir / "opaque.bmp");
  PaddingReader padding(reader);
  for (const char* name : {"alpha.png", "opaque.bmp"}) {
    for (int fitMode : {0, 1}) {
      SCOPED_TRACE(std::string(name) + " fit " + std::to_string(fitMode));
      ImageLayer packed((dir / name).string(), fitMode, reader, 67, 41);
      ImageLayer padded((dir / name).string(), fitMode, padding, 67, 41);
      ASSERT_TRUE(packed.HasPicture() && padded.HasPicture());
      std::vector<uint8_t> fromPacked(67 * 41 * 3, 33), fromPadded(67 * 41 * 3, 33);
      packed.DrawImageLayer(fromPacked.data(), 67, 41);
      padded.DrawImageLayer(fromPadded.data(), 67, 41);
      EXPECT_EQ(fromPacked, fromPadded);
      EXPECT_NE(std::count(fromPacked.begin(), fromPacked.end(), 33), 67 * 41 * 3);
    }
  }
}

// A reader whose pictures come out misshapen in one way.
class MisshapenReader : public PictureReader {
 public:
  enum Fault { kNone, kShortLoad, kWrongWidth, kWrongHeight, kShortRows, kTwoBytesPerPixel };
  MisshapenReader(PictureReader& inner, Fault fault) : inner_(inner), fault_(fault) {}
  std::optional<Picture> Load(const std::string& path) override {
    std::optional<Picture> picture = inner_.Load(path);
    if (picture && fault_ == kShortLoad) picture->pixels.resize(picture->pixels.size() / 2);
    return picture;
  }
  std::optional<Picture> Rescale(const Picture& picture, int width, int height) override {
    std::optional<Picture> scaled = inner_.Rescale(picture, width + (fault_ == kWrongWidth ? 1 : 0),
                                                   height + (fault_ == kWrongHeight ? 1 : 0));
    if (!scaled) return scaled;
    if (fault_ == kShortRows) scaled->pixels.resize(scaled->pixels.size() - 1);
    if (fault_ == kTwoBytesPerPixel) scaled->bytesPerPixel = 2;
    return scaled;
  }

 private:
  PictureReader& inner_;
  Fault fault_;
};

TEST_F(ImagesTest, MisshapenReaderResultsAreNeverDrawn) {
  // A reader is an interface anyone may implement; a picture that does not
  // match what was asked for must not be copied from.
  Save(Solid(20, 10, {1, 2, 3, 255}).get(), FIF_BMP, dir / "p.bmp");
  const std::string path = (dir / "p.bmp").string();
  const struct {
    MisshapenReader::Fault fault;
    bool loaded;  // a scaling fault still counts as a finished load
  } cases[] = {
      {MisshapenReader::kShortLoad, false},  {MisshapenReader::kWrongWidth, true},
      {MisshapenReader::kWrongHeight, true}, {MisshapenReader::kShortRows, true},
      {MisshapenReader::kTwoBytesPerPixel, true},
  };
  for (const auto& c : cases) {
    MisshapenReader misshapen(reader, c.fault);
    for (int fitMode : {0, 1}) {
      SCOPED_TRACE(std::to_string(c.fault) + " fit " + std::to_string(fitMode));
      TakeStatus();
      ImageLayer layer(path, fitMode, misshapen, 64, 48);
      EXPECT_FALSE(layer.HasPicture());
      EXPECT_EQ(layer.Loaded(), c.loaded);
      EXPECT_EQ(TakeStatus().empty(), c.loaded);
      std::vector<uint8_t> frame(64 * 48 * 3, 99);
      layer.DrawImageLayer(frame.data(), 64, 48);
      EXPECT_EQ(std::count(frame.begin(), frame.end(), 99), 64 * 48 * 3);
    }
  }
  // The same file through a faithful reader is drawn.
  MisshapenReader faithful(reader, MisshapenReader::kNone);
  ImageLayer layer(path, 1, faithful, 64, 48);
  EXPECT_TRUE(layer.HasPicture());
}

// ---- reloading and failures ----

TEST_F(ImagesTest, ReloadsWhenTheModificationTimeChanges) {
  const fs::path path = dir / "layer.bmp";
  Save(Solid(8, 8, {0, 0, 255, 255}).get(), FIF_BMP, path);
  SetFileTime(path, 1000000);
  ImageLayer layer(path.string(), 0, reader, 16, 12);
  std::vector<uint8_t> preview(16 * 12 * 3, 5);
  layer.previewFrame = preview.data();
  EXPECT_EQ(layer.FileTime(), 1000000LL * 1000000000);
  EXPECT_FALSE(layer.RefreshImageLayer());

  // New content with the same time: not noticed.
  Save(Solid(8, 8, {255, 0, 0, 255}).get(), FIF_BMP, path);
  SetFileTime(path, 1000000);
  EXPECT_FALSE(layer.RefreshImageLayer());
  std::vector<uint8_t> frame(16 * 12 * 3);
  layer.DrawImageLayer(frame.data(), 16, 12);
  EXPECT_EQ(Pixel(frame, 16, 12, 8, 6), (std::array<uint8_t, 3>{0, 0, 255}));

  // A new time: reloaded, drawn, and the preview follows.
  SetFileTime(path, 1000001);
  EXPECT_TRUE(layer.RefreshImageLayer());
  EXPECT_FALSE(layer.RefreshImageLayer());
  layer.DrawImageLayer(frame.data(), 16, 12);
  EXPECT_EQ(Pixel(frame, 16, 12, 8, 6), (std::array<uint8_t, 3>{255, 0, 0}));
  EXPECT_EQ(Pixel(preview, 16, 12, 8, 6), (std::array<uint8_t, 3>{255, 0, 0}));

  // The file broken on disk: the failure is reported and the layer is empty
  // but still counts as loaded.
  WriteBytes(path, "garbage");
  SetFileTime(path, 1000002);
  TakeStatus();
  EXPECT_TRUE(layer.RefreshImageLayer());
  EXPECT_FALSE(layer.HasPicture());
  EXPECT_TRUE(layer.Loaded());
  EXPECT_EQ(TakeStatus(), (std::vector<std::string>{path.string(), kImageLoadErrorText}));

  // Removed: its time cannot be read, so it is never reloaded.
  fs::remove(path);
  EXPECT_FALSE(layer.RefreshImageLayer());
}

TEST_F(ImagesTest, UnreadableFileReportsPathThenErrorText) {
  for (const char* name : {"missing.png", "text.jpg"}) {
    if (std::string(name) == "text.jpg") WriteBytes(dir / name, "hello");
    const std::string path = (dir / name).string();
    ImageLayer layer(path, 0, reader, 16, 12);
    EXPECT_FALSE(layer.HasPicture()) << name;
    EXPECT_FALSE(layer.Loaded()) << name;
    EXPECT_EQ(TakeStatus(), (std::vector<std::string>{path, kImageLoadErrorText})) << name;
    std::vector<uint8_t> frame(16 * 12 * 3, 3);
    layer.DrawImageLayer(frame.data(), 16, 12);
    EXPECT_EQ(std::count(frame.begin(), frame.end(), 3), 16 * 12 * 3);
  }
  EXPECT_EQ(ImageLayer((dir / "missing.png").string(), 0, reader, 16, 12).FileTime(), 0);
}

TEST_F(ImagesTest, CompositorRefreshDecodesNothingWithoutALoader) {
  const fs::path path = dir / "layer.bmp";
  Save(Solid(8, 8, {0, 0, 255, 255}).get(), FIF_BMP, path);
  SetFileTime(path, 1000000);
  GatedPictureReader counting(reader);
  ImageLayer layer(path.string(), 0, counting, 16, 12);
  ASSERT_EQ(counting.Finished(), 1);
  Save(Solid(8, 8, {255, 0, 0, 255}).get(), FIF_BMP, path);
  SetFileTime(path, 1000001);
  // The compositor's call only looks at the file; with no loader to wake it
  // leaves the change for later.
  layer.Refresh();
  EXPECT_EQ(counting.Finished(), 1);
  EXPECT_EQ(layer.FileTime(), 1000000LL * 1000000000);
  std::vector<uint8_t> frame(16 * 12 * 3);
  layer.DrawImageLayer(frame.data(), 16, 12);
  EXPECT_EQ(Pixel(frame, 16, 12, 8, 6), (std::array<uint8_t, 3>{0, 0, 255}));
  // Its owner can still reload it in place.
  EXPECT_TRUE(layer.RefreshImageLayer());
  EXPECT_EQ(counting.Finished(), 2);
  layer.DrawImageLayer(frame.data(), 16, 12);
  EXPECT_EQ(Pixel(frame, 16, 12, 8, 6), (std::array<uint8_t, 3>{255, 0, 0}));
}

TEST_F(ImagesTest, LoaderSwapsReloadsAndFailuresInUnderTheLock) {
  const fs::path path = dir / "layer.bmp";
  Save(Solid(8, 8, {0, 0, 255, 255}).get(), FIF_BMP, path);
  SetFileTime(path, 1000000);
  ImageLayerHooks hooks;
  GatedPictureReader counting(reader);
  ImageLayer layer(path.string(), 0, counting, 16, 12);
  std::vector<uint8_t> preview(16 * 12 * 3, 5);
  layer.previewFrame = preview.data();
  ASSERT_TRUE(layer.StartReloading(hooks));
  EXPECT_FALSE(layer.StartReloading(hooks));
  {
    std::lock_guard<std::mutex> guard(hooks.imageLayerLock);
    hooks.overlayLayer = &layer;
  }
  TakeStatus();

  using Colour = std::array<uint8_t, 3>;
  const struct {
    const char* name;
    std::function<void()> write;
    bool picture;
    Colour drawn;  // over a frame of 7s; the preview is cleared to black first
    Colour preview;
    std::vector<std::string> status;
  } steps[] = {
      {"new picture", [&] { Save(Solid(8, 8, {255, 0, 0, 255}).get(), FIF_BMP, path); }, true,
       {255, 0, 0}, {255, 0, 0}, {}},
      {"broken file", [&] { WriteBytes(path, "garbage"); }, false, {7, 7, 7}, {0, 0, 0},
       {path.string(), kImageLoadErrorText}},
      {"mended file", [&] { Save(Solid(8, 8, {0, 255, 0, 255}).get(), FIF_BMP, path); }, true,
       {0, 255, 0}, {0, 255, 0}, {}},
  };
  long seconds = 1000000;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    step.write();
    SetFileTime(path, ++seconds);
    hooks.recomposeRequested = false;
    const uint32_t reloads = layer.Reloads();
    {
      std::lock_guard<std::mutex> guard(hooks.imageLayerLock);
      hooks.overlayLayer->Refresh();  // as the compositor calls it
      EXPECT_EQ(layer.FileTime(), seconds * 1000000000LL);
    }
    ASSERT_TRUE(WaitFor([&] { return layer.Reloads() == reloads + 1; }));
    EXPECT_TRUE(hooks.recomposeRequested);
    std::lock_guard<std::mutex> guard(hooks.imageLayerLock);
    EXPECT_EQ(layer.HasPicture(), step.picture);
    EXPECT_TRUE(layer.Loaded());
    std::vector<uint8_t> frame(16 * 12 * 3, 7);
    layer.DrawImageLayer(frame.data(), 16, 12);
    EXPECT_EQ(Pixel(frame, 16, 12, 8, 6), step.drawn);
    EXPECT_EQ(Pixel(preview, 16, 12, 8, 6), step.preview);
    EXPECT_EQ(TakeStatus(), step.status);
  }
  EXPECT_EQ(counting.Finished(), 4);

  // Removed: its time cannot be read, so no load is asked for.
  fs::remove(path);
  {
    std::lock_guard<std::mutex> guard(hooks.imageLayerLock);
    layer.Refresh();
    EXPECT_EQ(layer.FileTime(), seconds * 1000000000LL);
  }
  // Stopped: a change is no longer taken up.
  layer.StopReloading();
  layer.StopReloading();
  Save(Solid(8, 8, {9, 9, 9, 255}).get(), FIF_BMP, path);
  SetFileTime(path, seconds + 1);
  {
    std::lock_guard<std::mutex> guard(hooks.imageLayerLock);
    layer.Refresh();
    EXPECT_EQ(layer.FileTime(), seconds * 1000000000LL);
    hooks.overlayLayer = nullptr;
  }
}

// ---- the compositor ----

TEST_F(ImagesTest, CompositorDrawsBackgroundUnderAndOverlayOverTheZones) {
  OutputFormat format;
  format.SetSize(64, 48);
  SourceSlotTable table;
  ImageLayerHooks hooks;
  auto engine = VideoEngine::Create(table, format, hooks);
  ASSERT_NE(engine, nullptr);
  VideoZone zone;
  zone.placement = VIDPOS_CENTER;
  zone.sourceId = 2;
  zone.widthFrac = 50;
  zone.heightFrac = 50;
  ASSERT_TRUE(engine->StoreScene({zone}, "s", -1));
  ASSERT_TRUE(engine->SwitchScene(0, 0));

  Save(Solid(10, 10, {0, 0, 250, 255}).get(), FIF_BMP, dir / "background.bmp");
  // Overlay: top half transparent, bottom half opaque green.
  Save(MakeBitmap(64, 48, 32, [](int, int top) {
         return Bgra{0, 250, 0, static_cast<uint8_t>(top < 24 ? 0 : 255)};
       }).get(),
       FIF_PNG, dir / "overlay.png");
  ImageLayer background((dir / "background.bmp").string(), 0, reader, 64, 48);
  ImageLayer overlay((dir / "overlay.png").string(), 0, reader, 64, 48);
  hooks.backgroundLayer = &background;
  hooks.overlayLayer = &overlay;

  std::vector<uint8_t> source(32 * 24 * 3);
  for (std::size_t i = 0; i < source.size(); i += 3) source[i] = 240;
  table.DeliverFrame(false, 2, source.data(), static_cast<uint32_t>(source.size()), 32, 24);
  std::vector<uint8_t> out(format.frameBytes);
  ASSERT_TRUE(engine->ComposeProgramFrame(out.data(), format.frameBytes));
  EXPECT_EQ(Pixel(out, 64, 48, 2, 2), (std::array<uint8_t, 3>{0, 0, 250}));    // background
  EXPECT_EQ(Pixel(out, 64, 48, 32, 16), (std::array<uint8_t, 3>{240, 0, 0}));  // zone over it
  EXPECT_EQ(Pixel(out, 64, 48, 32, 40), (std::array<uint8_t, 3>{0, 250, 0}));  // overlay on top
  EXPECT_EQ(Pixel(out, 64, 48, 2, 40), (std::array<uint8_t, 3>{0, 250, 0}));

  // Disabling the overlay asks for no composition; the next one lacks it.
  overlay.enabled = false;
  EXPECT_FALSE(engine->ComposeProgramFrame(out.data(), format.frameBytes));
  hooks.recomposeRequested = true;
  ASSERT_TRUE(engine->ComposeProgramFrame(out.data(), format.frameBytes));
  EXPECT_EQ(Pixel(out, 64, 48, 32, 30), (std::array<uint8_t, 3>{240, 0, 0}));
  EXPECT_EQ(Pixel(out, 64, 48, 2, 40), (std::array<uint8_t, 3>{0, 0, 250}));
  hooks.backgroundLayer = nullptr;
  hooks.overlayLayer = nullptr;
}

// The program output thread of a test: composes one frame each time it is
// asked (with a composition requested, as a changed layer would) and keeps
// the last frame.
class ComposingThread {
 public:
  ComposingThread(VideoEngine& engine, ImageLayerHooks& hooks, uint32_t frameBytes)
      : engine_(engine), hooks_(hooks), frame_(frameBytes), thread_([this] { Run(); }) {}
  ~ComposingThread() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  void Compose() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      ++asked_;
    }
    wake_.notify_all();
  }
  int Composed() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return done_;
  }
  std::vector<uint8_t> Frame() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return last_;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stop_ || asked_ > done_; });
      if (stop_) return;
      lock.unlock();
      hooks_.recomposeRequested = true;
      engine_.ComposeProgramFrame(frame_.data(), static_cast<uint32_t>(frame_.size()));
      lock.lock();
      last_ = frame_;
      ++done_;
    }
  }

  VideoEngine& engine_;
  ImageLayerHooks& hooks_;
  std::vector<uint8_t> frame_;  // output thread only
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  int asked_ = 0;
  int done_ = 0;
  std::vector<uint8_t> last_;
  std::thread thread_;
};

TEST_F(ImagesTest, OutputThreadComposesWhileAChangedPictureDecodes) {
  OutputFormat format;
  format.SetSize(64, 48);
  SourceSlotTable table;
  ImageLayerHooks hooks;
  auto engine = VideoEngine::Create(table, format, hooks);
  ASSERT_NE(engine, nullptr);
  const fs::path path = dir / "overlay.bmp";
  Save(Solid(8, 8, {0, 0, 255, 255}).get(), FIF_BMP, path);
  SetFileTime(path, 1000000);
  GatedPictureReader gated(reader);
  ImageLayer layer(path.string(), 0, gated, 64, 48);
  std::vector<uint8_t> preview(format.frameBytes, 0);
  layer.previewFrame = preview.data();
  ASSERT_TRUE(layer.StartReloading(hooks));
  {
    std::lock_guard<std::mutex> guard(hooks.imageLayerLock);
    hooks.overlayLayer = &layer;
  }
  using Colour = std::array<uint8_t, 3>;
  const Colour red{0, 0, 255}, blue{255, 0, 0};
  {
    ComposingThread output(*engine, hooks, format.frameBytes);
    // Opened before `output` is joined, whatever the checks below found.
    struct OpenAtEnd {
      GatedPictureReader& gate;
      ~OpenAtEnd() { gate.Open(); }
    } openAtEnd{gated};

    output.Compose();
    ASSERT_TRUE(WaitFor([&] { return output.Composed() == 1; }));
    EXPECT_EQ(Pixel(output.Frame(), 64, 48, 10, 10), red);

    // The file changes and its decode is held at the gate. The composition
    // that notices the change returns, and so does the next: neither the
    // output thread nor imageLayerLock waits for the decode.
    gated.Close();
    Save(Solid(8, 8, {255, 0, 0, 255}).get(), FIF_BMP, path);
    SetFileTime(path, 1000001);
    output.Compose();
    ASSERT_TRUE(WaitFor([&] { return output.Composed() == 2 && gated.Waiting() == 1; }));
    output.Compose();
    ASSERT_TRUE(WaitFor([&] { return output.Composed() == 3; }));
    EXPECT_EQ(gated.Waiting(), 1);
    EXPECT_EQ(Pixel(output.Frame(), 64, 48, 10, 10), red);  // the old picture meanwhile
    EXPECT_FALSE(hooks.recomposeRequested);

    // Once decoded, the picture is swapped in and a composition is asked
    // for; the next one shows it.
    gated.Open();
    ASSERT_TRUE(WaitFor([&] { return layer.Reloads() == 1; }));
    EXPECT_TRUE(hooks.recomposeRequested);
    output.Compose();
    ASSERT_TRUE(WaitFor([&] { return output.Composed() == 4; }));
    EXPECT_EQ(Pixel(output.Frame(), 64, 48, 10, 10), blue);
    std::lock_guard<std::mutex> guard(hooks.imageLayerLock);
    EXPECT_EQ(Pixel(preview, 64, 48, 10, 10), blue);
  }
  EXPECT_EQ(gated.Finished(), 2);
  layer.StopReloading();
  std::lock_guard<std::mutex> guard(hooks.imageLayerLock);
  hooks.overlayLayer = nullptr;
}

// ---- slide shows ----

struct Delivery {
  uint8_t slot;
  int width, height;
  std::vector<uint8_t> frame;
};
std::mutex deliveryMutex;
std::vector<Delivery> deliveries;
void RecordDelivery(bool skip, uint8_t slot, const uint8_t* pixels, uint32_t length, int32_t width,
                    int32_t height) {
  if (skip) return;
  std::lock_guard<std::mutex> guard(deliveryMutex);
  deliveries.push_back({slot, width, height, std::vector<uint8_t>(pixels, pixels + length)});
}
std::size_t DeliveryCount() {
  std::lock_guard<std::mutex> guard(deliveryMutex);
  return deliveries.size();
}
Delivery LastDelivery() {
  std::lock_guard<std::mutex> guard(deliveryMutex);
  return deliveries.back();
}

// A clock the test moves by hand. The worker's waits register here, so the
// test can see which deadline the worker sleeps towards and wake it by
// advancing the time.
class ManualClock : public WorkerClock {
 public:
  TimePoint Now() override {
    std::lock_guard<std::mutex> guard(mutex_);
    return now_;
  }
  bool WaitUntil(std::condition_variable& wake, std::unique_lock<std::mutex>& lock, TimePoint deadline,
                 const std::function<bool()>& done) override {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      waiter_ = Waiter{&wake, lock.mutex(), deadline};
    }
    bool woken = false;
    while (!done() && Now() < deadline) {
      if (woken) {
        std::lock_guard<std::mutex> guard(mutex_);
        ++rechecks_;
      }
      wake.wait(lock);
      woken = true;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    waiter_.reset();
    return done();
  }

  // Moves the time on and wakes the worker that sleeps, if any.
  void Advance(std::chrono::nanoseconds step) {
    std::condition_variable* wake = nullptr;
    std::mutex* mutex = nullptr;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      now_ += step;
      if (waiter_) {
        wake = waiter_->wake;
        mutex = waiter_->mutex;
      }
    }
    if (!wake) return;
    // Taking the worker's mutex makes sure it either has not looked at the
    // time yet or already sleeps and gets the notification.
    { std::lock_guard<std::mutex> guard(*mutex); }
    wake->notify_all();
  }
  // The deadline of the wait the worker sleeps in (TimePoint::max() for a
  // wait without one), or none.
  std::optional<TimePoint> SleepingUntil() const {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!waiter_) return std::nullopt;
    return waiter_->deadline;
  }
  // Times a woken worker found its wait not over and slept again.
  int Rechecks() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return rechecks_;
  }

 private:
  struct Waiter {
    std::condition_variable* wake;
    std::mutex* mutex;
    TimePoint deadline;
  };
  mutable std::mutex mutex_;
  TimePoint now_{};
  std::optional<Waiter> waiter_;
  int rechecks_ = 0;
};

class SlideshowTest : public ImagesTest {
 protected:
  void SetUp() override {
    ImagesTest::SetUp();
    std::lock_guard<std::mutex> guard(deliveryMutex);
    deliveries.clear();
  }
  // Pictures a, b, c in red, green, blue; a sub-folder that is skipped.
  void MakeFolder() {
    Save(Solid(8, 6, {0, 0, 255, 255}).get(), FIF_PNG, dir / "a.png");
    Save(Solid(8, 6, {0, 255, 0, 255}).get(), FIF_BMP, dir / "b.bmp");
    Save(Solid(8, 6, {255, 0, 0, 255}).get(), FIF_TARGA, dir / "c.tga");
    fs::create_directories(dir / "sub");
  }
  // The picture's colour at the centre of the last delivery.
  static std::array<uint8_t, 3> Shown() {
    const Delivery d = LastDelivery();
    return Pixel(d.frame, d.width, d.height, d.width / 2, d.height / 2);
  }
  // Waits until the worker sleeps towards `deadline`.
  bool SleepsUntil(WorkerClock::TimePoint deadline) {
    return WaitFor([&] { return clock.SleepingUntil() == deadline; });
  }
  // Lets `periods` periods pass one by one, each after the worker has gone
  // to sleep for it, checking that nothing new is delivered before the
  // last one has ended. The periods are counted from `start`.
  void PassPeriods(WorkerClock::TimePoint start, int periods, std::size_t delivered) {
    for (int i = 1; i <= periods; ++i) {
      ASSERT_TRUE(SleepsUntil(start + i * kSlidePeriod)) << "period " << i;
      ASSERT_EQ(DeliveryCount(), delivered) << "period " << i;
      clock.Advance(kSlidePeriod);
    }
  }
  static constexpr std::array<uint8_t, 3> kRed{0, 0, 255}, kGreen{0, 255, 0}, kBlue{255, 0, 0};
  ManualClock clock;
};

TEST_F(SlideshowTest, IntervalZeroAdvancesOnlyOnNextAndPrevWithWrapping) {
  MakeFolder();
  SlideshowSource show(4, reader, &RecordDelivery, 32, 24);
  show.SetClock(clock);
  ASSERT_TRUE(show.ScanFolder(dir.string(), 0));
  ASSERT_EQ(show.Files().size(), 3u);
  EXPECT_EQ(show.IntervalSeconds(), 0);
  ASSERT_TRUE(show.Start());
  EXPECT_FALSE(show.Start());
  ASSERT_TRUE(WaitFor([] { return DeliveryCount() == 1; }));
  EXPECT_EQ(LastDelivery().slot, 4);
  EXPECT_EQ(LastDelivery().width, 32);
  EXPECT_EQ(LastDelivery().frame.size(), 32u * 24 * 3);
  EXPECT_EQ(Shown(), kRed);
  // It waits without a deadline: an hour passing wakes it, and it sleeps
  // on without showing anything new.
  ASSERT_TRUE(SleepsUntil(WorkerClock::TimePoint::max()));
  const int rechecks = clock.Rechecks();
  clock.Advance(std::chrono::hours(1));
  ASSERT_TRUE(WaitFor([&] { return clock.Rechecks() > rechecks; }));
  EXPECT_EQ(DeliveryCount(), 1u);
  EXPECT_EQ(clock.SleepingUntil(), WorkerClock::TimePoint::max());

  const struct {
    bool next;
    std::array<uint8_t, 3> shown;
  } steps[] = {{false, kBlue}, {true, kRed}, {true, kGreen}, {true, kBlue}, {true, kRed}, {false, kBlue}, {false, kGreen}};
  for (const auto& step : steps) {
    const std::size_t before = DeliveryCount();
    step.next ? show.RequestNext() : show.RequestPrev();
    ASSERT_TRUE(WaitFor([&] { return DeliveryCount() == before + 1; }));
    EXPECT_EQ(Shown(), step.shown) << (step.next ? "next" : "prev") << " #" << before;
  }
  show.Stop();
  EXPECT_FALSE(show.Alive());
  show.Stop();
}

TEST_F(SlideshowTest, UnreadableFilesAreSkippedWithTheirMessage) {
  Save(Solid(8, 6, {0, 0, 255, 255}).get(), FIF_PNG, dir / "a.png");
  WriteBytes(dir / "b.txt", "no picture");
  Save(Solid(8, 6, {255, 0, 0, 255}).get(), FIF_JPEG, dir / "c.jpg");
  SlideshowSource show(1, reader, &RecordDelivery, 32, 24);
  show.SetClock(clock);
  ASSERT_TRUE(show.ScanFolder(dir.string(), 1));
  show.Start();
  ASSERT_TRUE(WaitFor([] { return DeliveryCount() == 1; }));
  // One second on a: ten periods, and nothing new before they are over.
  const WorkerClock::TimePoint start = clock.Now();
  PassPeriods(start, 10, 1);
  // One period on the unreadable b, which is never delivered.
  PassPeriods(start + 10 * kSlidePeriod, 1, 1);
  ASSERT_TRUE(WaitFor([] { return DeliveryCount() == 2; }));
  const auto shown = Shown();
  EXPECT_GT(shown[0], 200);
  EXPECT_LT(shown[2], 50);
  show.Stop();
  const auto texts = TakeStatus();
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[0], (dir / "b.txt").string());
  EXPECT_EQ(texts[1], kImageLoadErrorText);
}

TEST_F(SlideshowTest, EveryPeriodChecksTheFileAndReloadsWithoutDelivering) {
  const fs::path path = dir / "a.png";
  Save(Solid(8, 6, {0, 0, 255, 255}).get(), FIF_PNG, path);
  SetFileTime(path, 1000000);
  GatedPictureReader counting(reader);
  SlideshowSource show(1, counting, &RecordDelivery, 32, 24);
  show.SetClock(clock);
  ASSERT_TRUE(show.ScanFolder(dir.string(), 1));
  show.Start();
  ASSERT_TRUE(WaitFor([] { return DeliveryCount() == 1; }));
  EXPECT_EQ(Shown(), kRed);
  EXPECT_EQ(counting.Finished(), 1);
  const WorkerClock::TimePoint start = clock.Now();
  ASSERT_TRUE(SleepsUntil(start + kSlidePeriod));
  // Edited during the first period: read again after it, not delivered.
  Save(Solid(8, 6, {0, 255, 0, 255}).get(), FIF_PNG, path);
  SetFileTime(path, 1000001);
  clock.Advance(kSlidePeriod);
  ASSERT_TRUE(SleepsUntil(start + 2 * kSlidePeriod));
  EXPECT_EQ(counting.Finished(), 2);
  EXPECT_EQ(DeliveryCount(), 1u);
  // Unchanged afterwards: the remaining periods read nothing.
  clock.Advance(kSlidePeriod);
  PassPeriods(start + 2 * kSlidePeriod, 7, 1);
  ASSERT_TRUE(SleepsUntil(start + 10 * kSlidePeriod));
  EXPECT_EQ(counting.Finished(), 2);
  clock.Advance(kSlidePeriod);
  // The only picture again, as it is now.
  ASSERT_TRUE(WaitFor([] { return DeliveryCount() == 2; }));
  EXPECT_EQ(Shown(), kGreen);
  EXPECT_EQ(show.Current(), 0);
}

TEST_F(SlideshowTest, SquareJpegIsCentredOnBlackAtProgramSize) {
  Save(Solid(1000, 1000, {255, 255, 255, 255}).get(), FIF_JPEG, dir / "square.jpg");
  SlideshowSource show(0, reader, &RecordDelivery, 640, 480);
  show.ScanFolder(dir.string(), 0);
  show.Start();
  ASSERT_TRUE(WaitFor([] { return DeliveryCount() == 1; }));
  const Delivery d = LastDelivery();
  for (int top : {0, 240, 479}) {
    EXPECT_EQ(Pixel(d.frame, 640, 480, 79, top), (std::array<uint8_t, 3>{0, 0, 0}));
    EXPECT_GT(Pixel(d.frame, 640, 480, 80, top)[0], 200);
    EXPECT_GT(Pixel(d.frame, 640, 480, 559, top)[0], 200);
    EXPECT_EQ(Pixel(d.frame, 640, 480, 560, top), (std::array<uint8_t, 3>{0, 0, 0}));
  }
}

TEST_F(SlideshowTest, EmptyFolderEndsAtOnceAndStopIsSafe) {
  fs::create_directories(dir / "only-a-folder");
  for (const std::string& folder : {(dir / "only-a-folder").string(), std::string(), (dir / "nope").string()}) {
    SlideshowSource show(3, reader, &RecordDelivery, 32, 24);
    ASSERT_TRUE(show.ScanFolder(folder, 5));
    EXPECT_TRUE(show.Files().empty());
    EXPECT_TRUE(show.Start());
    show.Stop();
    EXPECT_FALSE(show.Alive());
    show.Stop();
    EXPECT_TRUE(show.Start());  // restart after a stop
  }  // destructors stop and join
  EXPECT_EQ(DeliveryCount(), 0u);

  // A running show is stopped by its destructor, also in the middle of a
  // long interval.
  MakeFolder();
  auto show = std::make_unique<SlideshowSource>(3, reader, &RecordDelivery, 32, 24);
  show->ScanFolder(dir.string(), 100);
  show->Start();
  ASSERT_TRUE(WaitFor([] { return DeliveryCount() == 1; }));
  EXPECT_FALSE(show->ScanFolder(dir.string(), 1));  // not while running
  show.reset();
  EXPECT_EQ(DeliveryCount(), 1u);
}

TEST_F(SlideshowTest, StopNextAndPrevWakeALongWaitAtOnce) {
  // On the steady clock: an hour per picture, or no interval at all, never
  // holds up a request or a stop.
  MakeFolder();
  for (int seconds : {3600, 0}) {
    SCOPED_TRACE(seconds);
    {
      std::lock_guard<std::mutex> guard(deliveryMutex);
      deliveries.clear();
    }
    SlideshowSource show(2, reader, &RecordDelivery, 32, 24);
    ASSERT_TRUE(show.ScanFolder(dir.string(), seconds));
    ASSERT_TRUE(show.Start());
    ASSERT_TRUE(WaitFor([] { return DeliveryCount() == 1; }));
    show.RequestNext();
    ASSERT_TRUE(WaitFor([] { return DeliveryCount() == 2; }));
    EXPECT_EQ(Shown(), kGreen);
    show.RequestPrev();
    ASSERT_TRUE(WaitFor([] { return DeliveryCount() == 3; }));
    EXPECT_EQ(Shown(), kRed);
    EXPECT_TRUE(show.Alive());
    show.Stop();
    EXPECT_FALSE(show.Alive());
    EXPECT_EQ(DeliveryCount(), 3u);
  }
}

TEST_F(SlideshowTest, IntervalChangeAppliesToTheNextPicture) {
  MakeFolder();
  SlideshowSource show(2, reader, &RecordDelivery, 32, 24);
  show.SetClock(clock);
  show.ScanFolder(dir.string(), 0);
  show.Start();
  ASSERT_TRUE(WaitFor([] { return DeliveryCount() == 1; }));
  ASSERT_TRUE(SleepsUntil(WorkerClock::TimePoint::max()));
  // Leaving interval 0 ends the wait for Next at once; one second follows.
  show.SetIntervalSeconds(1);
  const WorkerClock::TimePoint start = clock.Now();
  ASSERT_TRUE(SleepsUntil(start + kSlidePeriod));
  // A new interval during the wait keeps its count of ten periods...
  show.SetIntervalSeconds(2);
  EXPECT_EQ(show.IntervalSeconds(), 2);
  PassPeriods(start, 10, 1);
  ASSERT_TRUE(WaitFor([] { return DeliveryCount() == 2; }));
  EXPECT_EQ(Shown(), kGreen);
  // ...and the next picture stays twenty.
  PassPeriods(start + 10 * kSlidePeriod, 20, 2);
  ASSERT_TRUE(WaitFor([] { return DeliveryCount() == 3; }));
  EXPECT_EQ(Shown(), kBlue);
  show.SetIntervalSeconds(-4);
  EXPECT_EQ(show.IntervalSeconds(), 0);
}

TEST_F(SlideshowTest, UnreadableFileIsReportedAtItsTurnNotWhenReadAhead) {
  Save(Solid(8, 6, {0, 0, 255, 255}).get(), FIF_PNG, dir / "a.png");
  WriteBytes(dir / "b.txt", "no picture");
  SlideshowSource show(1, reader, &RecordDelivery, 32, 24);
  show.SetClock(clock);
  ASSERT_TRUE(show.ScanFolder(dir.string(), 1));
  ASSERT_TRUE(show.Start());
  ASSERT_TRUE(WaitFor([&] { return DeliveryCount() == 1 && show.PreparedCount() == 2; }));
  // b has been tried while a is on air; nothing is said until its turn.
  EXPECT_TRUE(TakeStatus().empty());
  const WorkerClock::TimePoint start = clock.Now();
  PassPeriods(start, 10, 1);
  std::vector<std::string> texts;
  ASSERT_TRUE(WaitFor([&] {
    for (std::string& text : TakeStatus()) texts.push_back(std::move(text));
    return texts.size() >= 2;
  }));
  EXPECT_EQ(texts, (std::vector<std::string>{(dir / "b.txt").string(), kImageLoadErrorText}));
  // One period on b, then a again.
  PassPeriods(start + 10 * kSlidePeriod, 1, 1);
  ASSERT_TRUE(WaitFor([] { return DeliveryCount() == 2; }));
  EXPECT_EQ(Shown(), kRed);
  show.Stop();
}

// Forwards to a real reader, LoadForSize included, and can hold reads at a
// gate that lets one read through per permit, so a test can see which
// picture the show reads ahead and decide when that read ends.
class PermitReader : public PictureReader {
 public:
  explicit PermitReader(PictureReader& inner) : inner_(inner) {}
  // From now on every read waits for a permit.
  void Limit() {
    std::lock_guard<std::mutex> guard(mutex_);
    limited_ = true;
  }
  // Lets `count` more reads through.
  void Allow(int count = 1) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      permits_ += count;
    }
    changed_.notify_all();
  }
  // Lets every read through from now on.
  void Unlimit() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      limited_ = false;
    }
    changed_.notify_all();
  }
  // The file whose read waits at the gate, or "".
  std::string Waiting() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return waiting_;
  }
  std::vector<std::string> Finished() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return finished_;
  }
  std::optional<Picture> Load(const std::string& path) override {
    Pass(path);
    return Done(path, inner_.Load(path));
  }
  std::optional<Picture> LoadForSize(const std::string& path, int width, int height) override {
    Pass(path);
    return Done(path, inner_.LoadForSize(path, width, height));
  }
  std::optional<Picture> Rescale(const Picture& picture, int width, int height) override {
    return inner_.Rescale(picture, width, height);
  }

 private:
  void Pass(const std::string& path) {
    std::unique_lock<std::mutex> lock(mutex_);
    waiting_ = path;
    changed_.wait(lock, [this] { return !limited_ || permits_ > 0; });
    if (limited_) --permits_;
    waiting_.clear();
  }
  std::optional<Picture> Done(const std::string& path, std::optional<Picture> picture) {
    std::lock_guard<std::mutex> guard(mutex_);
    finished_.push_back(path);
    return picture;
  }
  PictureReader& inner_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool limited_ = false;
  int permits_ = 0;
  std::string waiting_;
  std::vector<std::string> finished_;
};

// Opens a PermitReader's gate when the test leaves, before the show that
// reads through it is stopped.
struct GateOpener {
  PermitReader& reader;
  ~GateOpener() { reader.Unlimit(); }
};

TEST_F(SlideshowTest, HugePictureIsReadAheadAndShownAtItsTurn) {
  // a (red) and c (blue) are small; b is a 16384 x 16384 grey JPEG, which
  // the old show decoded whole at its turn: 1.5 GB and 5 s late. The bound
  // for the growth of the resident set during the show is 400 MB.
  Save(Solid(800, 600, {0, 0, 255, 255}).get(), FIF_PNG, dir / "a.png");
  WriteFlatGreyJpeg(dir / "b.jpg", 16384, 16384, 200);
  Save(Solid(800, 600, {255, 0, 0, 255}).get(), FIF_PNG, dir / "c.png");
  const std::string a = (dir / "a.png").string(), b = (dir / "b.jpg").string(), c = (dir / "c.png").string();
  constexpr std::size_t kGrowthBoundBytes = std::size_t{400} << 20;
  ResidentMemory memory;

  PermitReader gated(reader);
  SlideshowSource show(5, gated, &RecordDelivery, 640, 480);
  GateOpener opener{gated};
  show.SetClock(clock);
  ASSERT_TRUE(show.ScanFolder(dir.string(), 1));
  ASSERT_TRUE(show.Start());
  ASSERT_TRUE(WaitFor([] { return DeliveryCount() == 1; }));
  EXPECT_EQ(Shown(), kRed);
  const WorkerClock::TimePoint start = clock.Now();
  // b is read and scaled while a's first period has not even ended.
  ASSERT_TRUE(WaitFor([&] { return show.PreparedCount() == 2; }));
  EXPECT_EQ(clock.Now(), start);
  ASSERT_TRUE(SleepsUntil(start + kSlidePeriod));
  EXPECT_EQ(DeliveryCount(), 1u);
  EXPECT_EQ(gated.Finished(), (std::vector<std::string>{a, b}));
  memory.Checkpoint();
  // From here nothing may be read without a permit: b's turn must need no
  // read at all.
  gated.Limit();
  PassPeriods(start, 10, 1);
  ASSERT_TRUE(WaitFor([] { return DeliveryCount() == 2; }));
  EXPECT_EQ(Shown(), (std::array<uint8_t, 3>{200, 200, 200}));
  // b's interval starts where a's ended: no wait came in between.
  ASSERT_TRUE(SleepsUntil(start + 11 * kSlidePeriod));
  // Meanwhile c is being read ahead; once it is through, its turn comes
  // after b's ten periods, again without a read.
  ASSERT_TRUE(WaitFor([&] { return gated.Waiting() == c; }));
  gated.Allow(1);
  ASSERT_TRUE(WaitFor([&] { return show.PreparedCount() == 3; }));
  memory.Checkpoint();
  clock.Advance(kSlidePeriod);
  PassPeriods(start + 11 * kSlidePeriod, 9, 2);
  ASSERT_TRUE(WaitFor([] { return DeliveryCount() == 3; }));
  EXPECT_EQ(Shown(), kBlue);
  ASSERT_TRUE(SleepsUntil(start + 21 * kSlidePeriod));
  // Each picture was read once, in the order shown, and a is next.
  ASSERT_TRUE(WaitFor([&] { return gated.Waiting() == a; }));
  EXPECT_EQ(gated.Finished(), (std::vector<std::string>{a, b, c}));
  const std::size_t growth = memory.PeakGrowthBytes();
  std::printf("resident set growth during the show: %.1f MB (%s)\n", growth / 1048576.0,
              memory.PeakFromKernel() ? "kernel peak" : "checkpoints");
  EXPECT_LT(growth, kGrowthBoundBytes);
  EXPECT_TRUE(TakeStatus().empty());
  gated.Unlimit();
  show.Stop();
  EXPECT_FALSE(show.Alive());
}

TEST_F(SlideshowTest, NextAndPrevDuringAReadAheadShowTheRightPicture) {
  // Four pictures, only Next and Prev advance. Every read waits for a
  // permit, so each step knows which picture is being read ahead when the
  // request comes and lets the reads through one by one.
  Save(Solid(8, 6, {0, 0, 255, 255}).get(), FIF_PNG, dir / "a.png");
  Save(Solid(8, 6, {0, 255, 0, 255}).get(), FIF_PNG, dir / "b.png");
  Save(Solid(8, 6, {255, 0, 0, 255}).get(), FIF_PNG, dir / "c.png");
  Save(Solid(8, 6, {255, 255, 255, 255}).get(), FIF_PNG, dir / "d.png");
  const auto path = [&](const char* name) { return (dir / name).string(); };
  constexpr std::array<uint8_t, 3> kWhite{255, 255, 255};
  PermitReader gated(reader);
  gated.Limit();
  SlideshowSource show(6, gated, &RecordDelivery, 32, 24);
  GateOpener opener{gated};
  show.SetClock(clock);
  ASSERT_TRUE(show.ScanFolder(dir.string(), 0));
  ASSERT_TRUE(show.Start());
  ASSERT_TRUE(WaitFor([&] { return gated.Waiting() == path("a.png"); }));
  gated.Allow(1);
  ASSERT_TRUE(WaitFor([] { return DeliveryCount() == 1; }));
  EXPECT_EQ(Shown(), kRed);
  // Every step starts with its read-ahead at the gate: the first one with
  // b's, the others with the one the step before ends on.
  ASSERT_TRUE(WaitFor([&] { return gated.Waiting() == path("b.png"); }));

  enum class Press { kNext, kPrev };
  const struct {
    int intervalSeconds;             // set before the press
    Press press;
    std::vector<const char*> reads;  // let through in this order
    std::array<uint8_t, 3> shown;
    const char* readAhead;           // read ahead afterwards
  } steps[] = {
      // Reading b, Prev wants d: b is read to its end and dropped.
      {0, Press::kPrev, {"b.png", "d.png"}, kWhite, "c.png"},
      // Reading c (backwards after a Prev), Next wants a.
      {0, Press::kNext, {"c.png", "a.png"}, kRed, "b.png"},
      // Reading b, Next wants b: the read in progress is the one shown.
      {0, Press::kNext, {"b.png"}, kGreen, "c.png"},
      {0, Press::kPrev, {"c.png", "a.png"}, kRed, "d.png"},
      {0, Press::kPrev, {"d.png"}, kWhite, "c.png"},
      // With an interval running the show moves on forwards, so after a
      // Prev the next picture is read ahead.
      {1, Press::kPrev, {"c.png"}, kBlue, "d.png"},
  };
  for (const auto& step : steps) {
    const std::size_t before = DeliveryCount();
    SCOPED_TRACE("step from delivery " + std::to_string(before));
    if (step.intervalSeconds != show.IntervalSeconds()) show.SetIntervalSeconds(step.intervalSeconds);
    step.press == Press::kNext ? show.RequestNext() : show.RequestPrev();
    for (const char* name : step.reads) {
      ASSERT_TRUE(WaitFor([&] { return gated.Waiting() == path(name); })) << name;
      EXPECT_EQ(DeliveryCount(), before) << name;
      gated.Allow(1);
    }
    ASSERT_TRUE(WaitFor([&] { return gated.Waiting() == path(step.readAhead); }));
    // Exactly one picture was shown, the one asked for.
    EXPECT_EQ(DeliveryCount(), before + 1);
    EXPECT_EQ(Shown(), step.shown);
  }
  gated.Unlimit();
  show.Stop();
  EXPECT_FALSE(show.Alive());
}

TEST_F(SlideshowTest, StopEndsAShowWhoseReadAheadIsStillRunning) {
  // The next picture's read is held; Stop wakes the interval wait at once
  // and joins the reader thread when the read ends.
  MakeFolder();
  PermitReader gated(reader);
  for (int seconds : {0, 3600}) {
    SCOPED_TRACE(seconds);
    {
      std::lock_guard<std::mutex> guard(deliveryMutex);
      deliveries.clear();
    }
    gated.Unlimit();
    SlideshowSource show(2, gated, &RecordDelivery, 32, 24);
    ASSERT_TRUE(show.ScanFolder(dir.string(), seconds));
    gated.Limit();
    gated.Allow(1);
    ASSERT_TRUE(show.Start());
    ASSERT_TRUE(WaitFor([] { return DeliveryCount() == 1; }));
    ASSERT_TRUE(WaitFor([&] { return gated.Waiting() == (dir / "b.bmp").string(); }));
    std::thread stopper([&] { show.Stop(); });
    // The worker has left its wait before the read ends.
    ASSERT_TRUE(WaitFor([&] { return !show.Alive(); }));
    gated.Allow(1);
    stopper.join();
    EXPECT_EQ(DeliveryCount(), 1u);
  }
}

}  // namespace
}  // namespace corvalind

int main(int argc, char** argv) {
  // A temporary home: the tests never touch the user's files.
  corvalind::testing::TemporaryHome home("corvalind-images");
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

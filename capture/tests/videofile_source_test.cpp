// Video-file sources on files the tests make with gst-launch-1.0: exact
// pictures of a lossless file, looping, seeking, pausing, sound on and off,
// compressed files, and files that do not play.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "capture/media_toolkit.h"
#include "capture/videofile_source.h"
#include "capture/tests/delivery_log.h"
#include "test_support/status_texts.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

namespace fs = std::filesystem;
using testing::WaitFor;

using Delivered = testing::DeliveredFrame;
using testing::DeliveryLog;
using testing::StatusLog;

std::vector<Delivered> TakeDelivered() { return DeliveryLog::Take(); }
size_t DeliveredCount() { return DeliveryLog::Count(); }
void Record(bool skip, uint8_t slot, const uint8_t* pixels, uint32_t length, int32_t width, int32_t height) {
  DeliveryLog::Deliver(skip, slot, pixels, length, width, height);
}

constexpr int kRawWidth = 350;  // 1050-byte rows, 1052 in GStreamer's buffers
constexpr int kRawHeight = 20;
constexpr int kRawFrames = 100;  // 10 s at 10 frames per second
constexpr int kRawStride = 1052;

// Frame f, top-down, packed: byte 0 of every pixel is f, then x and y.
std::vector<uint8_t> RawFrame(int f) {
  std::vector<uint8_t> frame(static_cast<size_t>(kRawWidth) * kRawHeight * 3);
  for (int y = 0; y < kRawHeight; ++y) {
    for (int x = 0; x < kRawWidth; ++x) {
      uint8_t* pixel = frame.data() + (static_cast<size_t>(y) * kRawWidth + x) * 3;
      pixel[0] = static_cast<uint8_t>(f);
      pixel[1] = static_cast<uint8_t>(x);
      pixel[2] = static_cast<uint8_t>(y * 11 + (x >> 8));
    }
  }
  return frame;
}

// The same picture with its rows in the studio's order, bottom row first.
std::vector<uint8_t> BottomUp(const std::vector<uint8_t>& topDown, int width, int height) {
  std::vector<uint8_t> flipped(topDown.size());
  const size_t row = static_cast<size_t>(width) * 3;
  for (int y = 0; y < height; ++y) {
    std::copy_n(topDown.data() + y * row, row, flipped.data() + (height - 1 - y) * row);
  }
  return flipped;
}

bool Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

bool HasElement(const char* factory) { return Shell(std::string("gst-inspect-1.0 --exists ") + factory); }

class VideoFileSourceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(InitMediaToolkit());
    folder_ = new fs::path(fs::temp_directory_path() / ("corvalind-videofiles-" + std::to_string(getpid())));
    fs::remove_all(*folder_);
    fs::create_directories(*folder_);
    // The lossless file: raw BGR frames with padded rows, in AVI.
    const std::string raw = Path("frames.bgr");
    {
      std::ofstream out(raw, std::ios::binary);
      const std::vector<uint8_t> padding(kRawStride - kRawWidth * 3, 0);
      for (int f = 0; f < kRawFrames; ++f) {
        const std::vector<uint8_t> frame = RawFrame(f);
        for (int y = 0; y < kRawHeight; ++y) {
          out.write(reinterpret_cast<const char*>(frame.data() + y * kRawWidth * 3), kRawWidth * 3);
          out.write(reinterpret_cast<const char*>(padding.data()), static_cast<std::streamsize>(padding.size()));
        }
      }
    }
    ASSERT_TRUE(Shell("gst-launch-1.0 -q filesrc location=" + raw + " blocksize=" +
                    std::to_string(kRawStride * kRawHeight) + " ! rawvideoparse width=" + std::to_string(kRawWidth) +
                    " height=" + std::to_string(kRawHeight) + " format=bgr framerate=10/1 ! avimux ! filesink location=" +
                    Path("frames.avi")));
    // A short file of the same kind, for looping.
    ASSERT_TRUE(Shell("gst-launch-1.0 -q filesrc location=" + raw + " blocksize=" + std::to_string(kRawStride * kRawHeight) +
                    " num-buffers=5 ! rawvideoparse width=" + std::to_string(kRawWidth) + " height=" +
                    std::to_string(kRawHeight) + " format=bgr framerate=10/1 ! avimux ! filesink location=" +
                    Path("short.avi")));
    // VP8 video with Vorbis sound in WebM.
    ASSERT_TRUE(Shell("gst-launch-1.0 -q webmmux name=mux ! filesink location=" + Path("sound.webm") +
                    " videotestsrc num-buffers=30 ! video/x-raw,width=160,height=120,framerate=15/1 ! vp8enc ! mux. "
                    "audiotestsrc num-buffers=40 ! audioconvert ! vorbisenc ! mux."));
    // Sound only.
    ASSERT_TRUE(Shell("gst-launch-1.0 -q audiotestsrc num-buffers=40 ! audioconvert ! vorbisenc ! oggmux ! filesink location=" +
                    Path("sound-only.ogg")));
    if (HasElement("x264enc") && HasElement("mp4mux")) {
      ASSERT_TRUE(Shell("gst-launch-1.0 -q videotestsrc num-buffers=30 ! video/x-raw,width=320,height=240,framerate=15/1 ! "
                      "x264enc ! mp4mux ! filesink location=" + Path("h264.mp4")));
      // The index of an MP4 is written last: without it nothing plays.
      const std::string whole = testing::ReadBytes(Path("h264.mp4"));
      std::ofstream(Path("truncated.mp4"), std::ios::binary).write(whole.data(), static_cast<std::streamsize>(whole.size() / 2));
    }
    std::ofstream(Path("notes.mp4")) << "This is a text file with a video file's name.\n";
    ::mkfifo(Path("pipe.mp4").c_str(), 0600);
  }

  static void TearDownTestSuite() {
    fs::remove_all(*folder_);
    delete folder_;
  }

  void SetUp() override {
    DeliveryLog::KeepAll(true);
    TakeDelivered();
  }

  static std::string Path(const std::string& name) { return (*folder_ / name).string(); }

  std::unique_ptr<VideoFileSource> Play(const std::string& name, bool sound = false, uint8_t slot = 3) {
    auto source = std::make_unique<VideoFileSource>(slot, Path(name), sound, &Record);
    source->SetStatusSink(log_.Sink());
    source->Start();
    return source;
  }

  // Frame number of a delivered raw picture (its bottom-left pixel's first
  // byte), or -1.
  static int FrameNumber(const Delivered& frame) {
    return frame.pixels.empty() ? -1 : frame.pixels[0];
  }

  StatusLog log_;
  static fs::path* folder_;
};

fs::path* VideoFileSourceTest::folder_ = nullptr;

TEST_F(VideoFileSourceTest, LosslessFileArrivesByteForByteBottomUpInOrder) {
  auto source = Play("frames.avi");
  ASSERT_TRUE(WaitFor([] { return DeliveredCount() >= 12; }));
  source->Stop();
  const std::vector<Delivered> frames = TakeDelivered();
  int previous = -1;
  for (const Delivered& frame : frames) {
    EXPECT_EQ(frame.slot, 3);
    ASSERT_EQ(frame.width, kRawWidth);
    ASSERT_EQ(frame.height, kRawHeight);
    ASSERT_EQ(frame.pixels.size(), static_cast<size_t>(kRawWidth) * kRawHeight * 3);
    const int number = FrameNumber(frame);
    ASSERT_GE(number, 0);
    EXPECT_GT(number, previous) << "pictures arrive in order, each once";
    previous = number;
    EXPECT_TRUE(frame.pixels == BottomUp(RawFrame(number), kRawWidth, kRawHeight)) << "frame " << number;
  }
  EXPECT_EQ(FrameNumber(frames.front()), 0);
  EXPECT_TRUE(log_.Texts().empty());
}

TEST_F(VideoFileSourceTest, TheFileStartsAgainAfterItsEnd) {
  auto source = Play("short.avi");
  ASSERT_TRUE(WaitFor([&] { return source->Loops() >= 2; }));
  ASSERT_TRUE(WaitFor([] { return DeliveredCount() >= 12; }));
  source->Stop();
  std::vector<int> numbers;
  for (const Delivered& frame : TakeDelivered()) numbers.push_back(FrameNumber(frame));
  // 0, 1, ... to the file's last picture, then from the start again: every
  // pass plays the file from its start, each picture at most once and in
  // order. The grabber keeps only the newest picture (the file plays at its
  // own pace, as a live source would), so a worker held up for a frame
  // interval on a busy machine may miss one; none comes twice or late.
  std::string seen;
  for (int number : numbers) seen += std::to_string(number) + " ";
  SCOPED_TRACE(seen);
  ASSERT_FALSE(numbers.empty());
  std::size_t restart = 1;
  while (restart < numbers.size() && numbers[restart] > numbers[restart - 1]) ++restart;
  ASSERT_LT(restart, numbers.size()) << "the file started again";
  EXPECT_LE(numbers[0], 1);
  EXPECT_LE(numbers[restart], 1) << "the second pass starts from the beginning";
  const int last = numbers[restart - 1];
  EXPECT_GE(last, 4);
  // The first pass reached the file's end: the second one never goes past it.
  for (std::size_t i = restart + 1; i < numbers.size() && numbers[i] > numbers[i - 1]; ++i) {
    EXPECT_LE(numbers[i], last);
  }
}

TEST_F(VideoFileSourceTest, SeekPauseAndStopWorkOnTheRunningFile) {
  auto source = Play("frames.avi");
  ASSERT_TRUE(WaitFor([] { return DeliveredCount() >= 2; }));

  // Paused: nothing more arrives (one picture may be on its way).
  source->Pause();
  ASSERT_TRUE(WaitFor([&] { return source->PlayPercent() >= 0 && DeliveredCount() > 0; }));
  const size_t atPause = DeliveredCount();
  EXPECT_FALSE(WaitFor([&] { return DeliveredCount() > atPause + 1; }, std::chrono::milliseconds(600)));

  // Half way of 10 s is picture 50, within one picture.
  source->SeekPercent(50.0f);
  ASSERT_TRUE(WaitFor([&] { return source->PlayPercent() == 50; }));
  TakeDelivered();
  source->Play();
  ASSERT_TRUE(WaitFor([] { return DeliveredCount() >= 3; }));
  int first = -1;
  for (const Delivered& frame : TakeDelivered()) {
    if (FrameNumber(frame) >= 40) {
      first = FrameNumber(frame);
      break;
    }
  }
  EXPECT_NEAR(first, 50, 1);
  EXPECT_GE(source->PlayPercent(), 50);

  // Stop rewinds and holds.
  source->StopPlayback();
  ASSERT_TRUE(WaitFor([&] { return source->PlayPercent() == 0; }));
  TakeDelivered();
  EXPECT_FALSE(WaitFor([] { return DeliveredCount() > 1; }, std::chrono::milliseconds(600)));
  source->Play();
  ASSERT_TRUE(WaitFor([] { return DeliveredCount() >= 2; }));
  const std::vector<Delivered> afterStop = TakeDelivered();
  EXPECT_LE(FrameNumber(afterStop.back()), 10) << "playing again starts at the beginning";
}

TEST_F(VideoFileSourceTest, WithoutSoundNoAudioIsDecodedWithSoundItPlays) {
  for (bool sound : {false, true}) {
    SCOPED_TRACE(sound ? "sound on" : "sound off");
    auto source = Play("sound.webm", sound);
    ASSERT_TRUE(WaitFor([] { return DeliveredCount() >= 3; }));
    const std::vector<std::string> elements = source->GraphElements();
    const auto has = [&](const char* name) { return std::find(elements.begin(), elements.end(), name) != elements.end(); };
    EXPECT_TRUE(has("vp8dec"));
    EXPECT_EQ(has("vorbisdec"), sound);
    EXPECT_EQ(has("autoaudiosink"), sound);
    source->Stop();
    const std::vector<Delivered> frames = TakeDelivered();
    EXPECT_EQ(frames.back().width, 160);
    EXPECT_EQ(frames.back().height, 120);
  }
}

TEST_F(VideoFileSourceTest, CompressedFilesPlay) {
  std::vector<std::string> files = {"sound.webm"};
  if (fs::exists(Path("h264.mp4"))) files.push_back("h264.mp4");
  for (const std::string& name : files) {
    SCOPED_TRACE(name);
    auto source = Play(name);
    ASSERT_TRUE(WaitFor([] { return DeliveredCount() >= 3; }));
    source->Stop();
    const Delivered last = TakeDelivered().back();
    EXPECT_GT(last.width, 0);
    EXPECT_EQ(last.pixels.size(), static_cast<size_t>(last.width) * last.height * 3);
    EXPECT_TRUE(log_.Texts().empty());
  }
}

TEST_F(VideoFileSourceTest, FilesThatDoNotPlaySayWhyAndEnd) {
  struct Case {
    std::string name;
    std::vector<std::string> texts;
  };
  const std::string cannot = "Cannot RenderFile. Check filename!";
  std::vector<Case> cases = {
      {"missing.mp4", {Path("missing.mp4"), cannot}},
      {"notes.mp4", {Path("notes.mp4"), cannot}},
      {"pipe.mp4", {Path("pipe.mp4"), cannot}},
      {"", {Path(""), cannot}},
      {"sound-only.ogg", {"Cannot find video renderer."}},
  };
  if (fs::exists(Path("truncated.mp4"))) cases.push_back({"truncated.mp4", {Path("truncated.mp4"), cannot}});
  for (const Case& item : cases) {
    SCOPED_TRACE(item.name);
    StatusLog log;
    VideoFileSource source(4, Path(item.name), true, &Record);
    source.SetStatusSink(log.Sink());
    source.Start();
    ASSERT_TRUE(WaitFor([&] { return source.Finished(); }));
    EXPECT_EQ(log.Texts(), item.texts);
    EXPECT_FALSE(source.Activated());
    // The buttons do nothing on a source without a graph.
    source.Play();
    source.Pause();
    source.StopPlayback();
    source.SeekPercent(50.0f);
    EXPECT_EQ(source.PlayPercent(), 0);
  }
  EXPECT_EQ(DeliveredCount(), 0u);
}

TEST_F(VideoFileSourceTest, StopWhileTheFileIsOpeningEndsAtOnce) {
  for (int i = 0; i < 5; ++i) {
    auto source = Play(i % 2 ? "sound.webm" : "frames.avi", true);
    source->Stop();
    EXPECT_TRUE(source->Finished());
  }
}

}  // namespace
}  // namespace corvalind

// The media toolkit: the grab hand-over, the row work, and the device,
// format, crossbar, tuner and property operations on the fake cameras.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "capture/media_toolkit.h"
#include "capture/tests/fake_cameras.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

using testing::WaitFor;

// A top-down picture whose pixel (x, y) is (x, y, tag), rows `stride` apart.
std::vector<uint8_t> TopDown(int width, int height, int stride, uint8_t tag) {
  std::vector<uint8_t> picture(static_cast<size_t>(stride) * height, 0xEE);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* pixel = picture.data() + static_cast<size_t>(y) * stride + x * 3;
      pixel[0] = static_cast<uint8_t>(x);
      pixel[1] = static_cast<uint8_t>(y);
      pixel[2] = tag;
    }
  }
  return picture;
}

TEST(GrabHandshakeTest, CopiesOneRequestedPictureBottomUpAndPacked) {
  GrabHandshake grab;
  const std::vector<uint8_t> picture = TopDown(350, 4, 1052, 7);
  EXPECT_FALSE(grab.Offer(1.0, picture.data(), picture.size(), 350, 4, 1052)) << "nobody asked";
  EXPECT_EQ(grab.Buffer(), nullptr);

  grab.Request();
  EXPECT_TRUE(grab.Pending());
  ASSERT_TRUE(grab.Offer(2.5, picture.data(), picture.size(), 350, 4, 1052));
  EXPECT_FALSE(grab.Pending());
  ASSERT_NE(grab.Buffer(), nullptr);
  EXPECT_EQ(grab.Length(), 350u * 4 * 3);
  EXPECT_EQ(grab.Width(), 350);
  EXPECT_EQ(grab.Height(), 4);
  EXPECT_EQ(grab.SampleTime(), 2.5);
  for (int y = 0; y < 4; ++y) {
    // Row y of the copy is row 3 - y of the picture, without its padding.
    EXPECT_EQ(std::memcmp(grab.Buffer() + y * 1050, picture.data() + (3 - y) * 1052, 1050), 0) << y;
  }

  // A second sample while nothing is asked for is dropped.
  const std::vector<uint8_t> other = TopDown(350, 4, 1052, 9);
  EXPECT_FALSE(grab.Offer(3.0, other.data(), other.size(), 350, 4, 1052));
  EXPECT_EQ(grab.Buffer()[2], 7);
}

TEST(GrabHandshakeTest, IncompletePicturesAreDroppedAndTheBufferOnlyGrows) {
  GrabHandshake grab;
  const std::vector<uint8_t> big = TopDown(8, 8, 24, 1);
  const std::vector<uint8_t> small = TopDown(2, 2, 8, 2);

  grab.Request();
  // Fewer bytes than its rows claim: not a whole picture; the request stays.
  EXPECT_FALSE(grab.Offer(0, big.data(), big.size() - 1, 8, 8, 24));
  EXPECT_FALSE(grab.Offer(0, big.data(), big.size(), 8, 8, 20)) << "rows shorter than a row of pixels";
  EXPECT_TRUE(grab.Pending());

  ASSERT_TRUE(grab.Offer(0, small.data(), small.size(), 2, 2, 8));
  EXPECT_EQ(grab.Capacity(), 12u);
  grab.Request();
  ASSERT_TRUE(grab.Offer(0, big.data(), big.size(), 8, 8, 24));
  EXPECT_EQ(grab.Capacity(), 192u);
  const uint8_t* buffer = grab.Buffer();
  grab.Request();
  ASSERT_TRUE(grab.Offer(0, small.data(), small.size(), 2, 2, 8));
  EXPECT_EQ(grab.Capacity(), 192u);
  EXPECT_EQ(grab.Buffer(), buffer) << "a smaller picture reuses the buffer";
  EXPECT_EQ(grab.Length(), 12u);
}

// A streaming thread offering pictures as fast as it can while a worker
// asks for them one at a time: every picture the worker sees is whole
// (all its bytes from one offer).
TEST(GrabHandshakeTest, TheWorkerNeverSeesAPictureBeingWritten) {
  GrabHandshake grab;
  std::atomic<bool> stop{false};
  std::thread streaming([&] {
    std::vector<uint8_t> picture(64 * 3 * 16);
    for (uint8_t tag = 0; !stop.load(); ++tag) {
      std::fill(picture.begin(), picture.end(), tag);
      grab.Offer(0, picture.data(), picture.size(), 64, 16, 64 * 3);
    }
  });
  for (int i = 0; i < 200; ++i) {
    grab.Request();
    while (grab.Pending()) std::this_thread::yield();
    const uint8_t* buffer = grab.Buffer();
    ASSERT_NE(buffer, nullptr);
    const uint8_t first = buffer[0];
    ASSERT_TRUE(std::all_of(buffer, buffer + grab.Length(), [&](uint8_t b) { return b == first; })) << i;
  }
  stop.store(true);
  streaming.join();
}

TEST(RowWorkTest, DeinterlaceCopiesOddRowsOverEvenOnesButTheLastPair) {
  const int width = 5;
  const int height = 480;
  std::vector<uint8_t> frame(static_cast<size_t>(width) * 3 * height);
  for (int y = 0; y < height; ++y) std::fill_n(frame.begin() + y * width * 3, width * 3, static_cast<uint8_t>(y));
  DeinterlaceRows(frame.data(), width, height);
  for (int y = 0; y < height; ++y) {
    const uint8_t expected = static_cast<uint8_t>(y <= 476 && y % 2 == 0 ? y + 1 : y);
    ASSERT_EQ(frame[static_cast<size_t>(y) * width * 3], expected) << "row " << y;
    ASSERT_EQ(frame[static_cast<size_t>(y) * width * 3 + width * 3 - 1], expected) << "row " << y;
  }
}

TEST(RowWorkTest, CompactionPacksPaddedRowsOnly) {
  struct Case {
    int width;
    int stride;
  };
  for (const Case& c : {Case{350, 1052}, Case{352, 1056}, Case{1, 4}}) {
    SCOPED_TRACE(c.width);
    const int height = 6;
    std::vector<uint8_t> frame(static_cast<size_t>(c.stride) * height);
    for (int y = 0; y < height; ++y) {
      for (int i = 0; i < c.stride; ++i) frame[y * c.stride + i] = static_cast<uint8_t>(i < c.width * 3 ? y * 31 + i : 0xEE);
    }
    const uint32_t length = CompactRows(frame.data(), static_cast<uint32_t>(frame.size()), c.width, height);
    EXPECT_EQ(length, static_cast<uint32_t>(c.width * 3 * height));
    for (int y = 0; y < height; ++y) {
      for (int i = 0; i < c.width * 3; ++i) ASSERT_EQ(frame[y * c.width * 3 + i], static_cast<uint8_t>(y * 31 + i));
    }
  }
}

class FakeDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::ResetFakeCameras(); }
  void TearDown() override { testing::ResetFakeCameras(); }
};

TEST_F(FakeDeviceTest, ListsNumberEveryDeviceAndShowOnlyNamedOnes) {
  const std::vector<std::string> numbered = {"1) Fake Camera", "3) Fake Tuner Card", "4) Small Camera",
                                             "5) Busy Camera", "6) Slow Camera"};
  EXPECT_EQ(FillDeviceList(DeviceCategory::kVideoInput, true), numbered);
  EXPECT_EQ(FillDeviceList(DeviceCategory::kVideoInput, false).front(), "Fake Camera");
  EXPECT_EQ(FillDeviceList(DeviceCategory::kAudioInput, true), std::vector<std::string>{"1) Fake Microphone"});

  // Position 1 of the list is device 2: the nameless device counts.
  EXPECT_EQ(DeviceIndexOfListPosition(DeviceCategory::kVideoInput, 1), 2);
  EXPECT_EQ(DeviceIndexOfListPosition(DeviceCategory::kVideoInput, 5), -1);
  EXPECT_EQ(ListPositionOfDevice(DeviceCategory::kVideoInput, 2), 1);
  EXPECT_EQ(ListPositionOfDevice(DeviceCategory::kVideoInput, 1), -1);

  std::shared_ptr<MediaDevice> nameless = FindDeviceByIndex(DeviceCategory::kVideoInput, 1);
  ASSERT_NE(nameless, nullptr);
  EXPECT_EQ(nameless->Name(), "");
  EXPECT_EQ(FindDeviceByIndex(DeviceCategory::kVideoInput, 2)->Name(), "Fake Tuner Card");
  EXPECT_EQ(FindDeviceByIndex(DeviceCategory::kVideoInput, 6), nullptr);
  EXPECT_EQ(FindDeviceByIndex(DeviceCategory::kVideoInput, -1), nullptr);
  EXPECT_EQ(FindDeviceByIndex(DeviceCategory::kAudioInput, 1), nullptr);

  std::shared_ptr<MediaDevice> found;
  EXPECT_EQ(FindDeviceByFriendlyName(DeviceCategory::kVideoInput, "Small Camera", &found), FindDeviceResult::kFound);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->Name(), "Small Camera");
  EXPECT_EQ(FindDeviceByFriendlyName(DeviceCategory::kVideoInput, "small camera", &found), FindDeviceResult::kNoMatch);
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(FindDeviceByFriendlyName(DeviceCategory::kVideoInput, "", &found), FindDeviceResult::kNothingThere);
  EXPECT_EQ(FindDeviceByFriendlyName(DeviceCategory::kAudioInput, "Small Camera", &found),
            FindDeviceResult::kNoMatch);
}

TEST_F(FakeDeviceTest, CapabilitiesKeepTheDeviceOrderWithTheirLargestSizes) {
  std::shared_ptr<MediaDevice> camera = FindDeviceByIndex(DeviceCategory::kVideoInput, 0);
  ASSERT_NE(camera, nullptr);
  const std::vector<CaptureCapability> caps = camera->Capabilities();
  ASSERT_EQ(caps.size(), 4u);
  struct Expected {
    const char* type;
    const char* format;
    int width;
    int height;
  };
  const Expected expected[] = {{"video/x-raw", "YUY2", 160, 120},
                               {"video/x-raw", "YUY2", 640, 480},
                               {"video/x-raw", "I420", 1280, 720},
                               {"image/jpeg", "", 1920, 1080}};
  for (size_t i = 0; i < caps.size(); ++i) {
    EXPECT_EQ(caps[i].index, static_cast<int>(i));
    EXPECT_EQ(caps[i].mediaType, expected[i].type);
    EXPECT_EQ(caps[i].format, expected[i].format);
    EXPECT_EQ(caps[i].maxWidth, expected[i].width);
    EXPECT_EQ(caps[i].maxHeight, expected[i].height);
    EXPECT_EQ(caps[i].frameDuration, 333333) << "the fastest rate, 30/1";
  }
  EXPECT_EQ(caps[1].Describe(), "640x480 YUY2 30.00 fps");
}

TEST_F(FakeDeviceTest, CaptureFormatTakesTheFirstLargeEnoughModeTheDeviceAccepts) {
  std::shared_ptr<MediaDevice> camera = FindDeviceByIndex(DeviceCategory::kVideoInput, 0);
  std::shared_ptr<MediaDevice> small = FindDeviceByIndex(DeviceCategory::kVideoInput, 3);
  ASSERT_NE(camera, nullptr);
  ASSERT_NE(small, nullptr);
  struct Case {
    const MediaDevice* device;
    int width;
    int height;
    int skip;
    bool keepDefault;
    int64_t duration;
    std::vector<std::string> parts;  // empty: refused
  };
  const Case cases[] = {
      // 640x480 at 25 fps is one of the second mode's rates.
      {camera.get(), 640, 480, 0, false, 400000, {"YUY2", "width=(int)640", "height=(int)480", "framerate=(fraction)25/1"}},
      // 333333 x 100 ns is the device's 30/1.
      {camera.get(), 640, 480, 0, false, 333333, {"framerate=(fraction)30/1"}},
      // 1280x720 only at 30: 25 is refused, and so is the 1920x1080 JPEG.
      {camera.get(), 1280, 720, 0, false, 400000, {}},
      // Unchanged: the first large-enough mode as the device gave it.
      {camera.get(), 1280, 720, 0, true, 400000, {"I420", "width=(int)1280", "framerate=(fraction)30/1"}},
      {camera.get(), 640, 480, 1, true, 400000, {"I420", "width=(int)1280"}},
      {camera.get(), 1280, 720, 1, true, 400000, {"image/jpeg", "width=(int)1920"}},
      {camera.get(), 4000, 3000, 0, true, 400000, {}},
      {small.get(), 640, 480, 0, false, 400000, {}},
      {small.get(), 640, 480, 0, true, 400000, {}},
      {small.get(), 320, 240, 0, false, 333333, {"width=(int)320", "framerate=(fraction)30/1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << " skip " << c.skip << " keep " << c.keepDefault
                                    << " duration " << c.duration);
    const std::string chosen = SetCaptureFormat(*c.device, c.width, c.height, c.skip, c.keepDefault, c.duration);
    if (c.parts.empty()) {
      EXPECT_EQ(chosen, "");
      continue;
    }
    for (const std::string& part : c.parts) EXPECT_NE(chosen.find(part), std::string::npos) << chosen;
    EXPECT_TRUE(c.device->Accepts(chosen));
  }
}

// A graph that ran and is gone has let go of its elements, the camera
// among them, so the device is free for the next graph (a real camera
// opens only once) and nothing grows over a long show.
TEST_F(FakeDeviceTest, AGraphThatIsGoneLetsGoOfItsCamera) {
  std::shared_ptr<MediaDevice> camera = FindDeviceByIndex(DeviceCategory::kVideoInput, 0);
  ASSERT_NE(camera, nullptr);
  const int before = testing::LiveFakeCameraElements();
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    GrabHandshake grab;
    std::unique_ptr<MediaGraph> graph = MediaGraph::Create(false);
    ASSERT_EQ(graph->BuildCapture(*camera, "", &grab), MediaGraph::BuildResult::kBuilt);
    EXPECT_EQ(testing::LiveFakeCameraElements(), before + 1);
    ASSERT_TRUE(graph->Run());
    ASSERT_TRUE(graph->Stop());
    graph.reset();
    EXPECT_EQ(testing::LiveFakeCameraElements(), before);
  }
}

TEST_F(FakeDeviceTest, CrossbarRoutesAnInputWithItsAudioAndTheTunerTunes) {
  std::shared_ptr<MediaDevice> card = FindDeviceByIndex(DeviceCategory::kVideoInput, 2);
  ASSERT_NE(card, nullptr);
  GrabHandshake grab;
  std::unique_ptr<MediaGraph> graph = MediaGraph::Create(false);
  ASSERT_NE(graph, nullptr);
  ASSERT_EQ(graph->BuildCapture(*card, "", &grab), MediaGraph::BuildResult::kBuilt);
  std::shared_ptr<Crossbar> crossbar = graph->FindCrossbar();
  ASSERT_NE(crossbar, nullptr);
  EXPECT_EQ(crossbar->InputCount(), 5);
  EXPECT_EQ(crossbar->OutputCount(), 2);
  EXPECT_EQ(crossbar->InputName(1), "S-Video");
  EXPECT_EQ(crossbar->InputName(4), "Tuner Audio");
  EXPECT_EQ(crossbar->RelatedInput(0), 3);
  EXPECT_EQ(crossbar->RelatedInput(1), -1);
  EXPECT_EQ(crossbar->RelatedOutput(0), 1);
  EXPECT_FALSE(crossbar->CanRoute(0, 3)) << "an audio input cannot feed the video output";

  EXPECT_TRUE(RouteCrossbar(*crossbar, 2, 0, true));
  EXPECT_EQ(crossbar->RoutedTo(0), 2);
  EXPECT_EQ(crossbar->RoutedTo(1), 4) << "the tuner's sound came with it";
  // S-Video has no audio of its own: the sound stays where it was.
  EXPECT_TRUE(RouteCrossbar(*crossbar, 1, 0, true));
  EXPECT_EQ(crossbar->RoutedTo(0), 1);
  EXPECT_EQ(crossbar->RoutedTo(1), 4);
  EXPECT_TRUE(RouteCrossbar(*crossbar, 0, 0, false));
  EXPECT_EQ(crossbar->RoutedTo(1), 4) << "without related routing the audio stays";

  std::shared_ptr<Tuner> tuner = graph->FindTuner();
  ASSERT_NE(tuner, nullptr);
  EXPECT_TRUE(tuner->SetChannel(21));
  EXPECT_EQ(tuner->Channel(), 21);

  // The pages show the same state and change it.
  std::unique_ptr<PropertyPage> page = MakeCrossbarPage(crossbar);
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->Caption(), "Crossbar");
  std::vector<MediaProperty> properties = page->Properties();
  ASSERT_EQ(properties.size(), 2u);
  EXPECT_EQ(properties[0].choices.size(), 3u);
  EXPECT_EQ(properties[0].value, 0);
  properties[0].value = 2;
  EXPECT_TRUE(page->Set(properties[0]));
  EXPECT_EQ(crossbar->RoutedTo(0), 2);

  // A webcam has neither.
  std::shared_ptr<MediaDevice> camera = FindDeviceByIndex(DeviceCategory::kVideoInput, 0);
  std::unique_ptr<MediaGraph> plain = MediaGraph::Create(false);
  ASSERT_EQ(plain->BuildCapture(*camera, "", &grab), MediaGraph::BuildResult::kBuilt);
  EXPECT_EQ(plain->FindCrossbar(), nullptr);
  EXPECT_EQ(plain->FindTuner(), nullptr);
}

TEST_F(FakeDeviceTest, TheDevicePageListsAndSetsTheDeviceControls) {
  std::shared_ptr<MediaDevice> camera = FindDeviceByIndex(DeviceCategory::kVideoInput, 0);
  GrabHandshake grab;
  std::unique_ptr<MediaGraph> graph = MediaGraph::Create(false);
  ASSERT_EQ(graph->BuildCapture(*camera, "", &grab), MediaGraph::BuildResult::kBuilt);
  std::unique_ptr<PropertyPage> page = graph->DevicePage();
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->Caption(), "Video Device");
  auto find = [&](const std::string& name) {
    for (const MediaProperty& property : page->Properties()) {
      if (property.name == name) return property;
    }
    return MediaProperty{};
  };
  MediaProperty brightness = find("brightness");
  ASSERT_EQ(brightness.name, "brightness");
  EXPECT_EQ(brightness.type, MediaProperty::Type::kInt);
  EXPECT_EQ(brightness.minimum, 0);
  EXPECT_EQ(brightness.maximum, 255);
  EXPECT_EQ(brightness.value, 128);
  EXPECT_EQ(find("exposure-auto").type, MediaProperty::Type::kBool);
  for (const char* hidden : {"name", "device", "video-input", "frequency"}) EXPECT_EQ(find(hidden).name, "") << hidden;

  brightness.value = 200;
  EXPECT_TRUE(page->Set(brightness));
  EXPECT_EQ(find("brightness").value, 200);
  brightness.value = 300;
  EXPECT_FALSE(page->Set(brightness)) << "out of range";
  EXPECT_EQ(find("brightness").value, 200);
}

TEST_F(FakeDeviceTest, AWatchSeesDevicesComeAndGo) {
  std::atomic<int> changes{0};
  DeviceWatch watch(DeviceCategory::kVideoInput, [&] { changes.fetch_add(1); });
  ASSERT_TRUE(watch.Watching());
  testing::FakeCameraSpec spec;
  spec.name = "Plugged Camera";
  spec.caps = {"video/x-raw,format=YUY2,width=640,height=480,framerate=30/1"};
  testing::AddFakeCamera(spec);
  ASSERT_TRUE(WaitFor([&] { return changes.load() >= 1; }));
  EXPECT_EQ(FillDeviceList(DeviceCategory::kVideoInput, true).back(), "7) Plugged Camera");
  const int seen = changes.load();
  testing::RemoveFakeCamera("Plugged Camera");
  ASSERT_TRUE(WaitFor([&] { return changes.load() > seen; }));
  EXPECT_EQ(FillDeviceList(DeviceCategory::kVideoInput, true).back(), "6) Slow Camera");
}

}  // namespace
}  // namespace corvalind

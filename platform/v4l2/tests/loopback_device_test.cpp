#include "platform/v4l2/loopback_device.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "test_support/status_texts.h"

namespace corvalind {
namespace {

namespace fs = std::filesystem;

void Touch(const fs::path& file, const std::string& text = "") {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

// A class folder as the kernel shows it: a real camera (no loopback
// attributes), loopback devices with and without their /dev node, and
// entries that are no video devices.
TEST(LoopbackDevices, OnlyLoopbackDevicesWithANodeAreFoundInNumberOrder) {
  const fs::path root = testing::FreshTestFolder("loopback");
  const fs::path sys = root / "sys";
  const fs::path dev = root / "dev";
  Touch(sys / "video0" / "name", "Integrated Camera: Integrated C\n");
  Touch(dev / "video0");
  Touch(sys / "video10" / "name", "Corvalind\n");
  Touch(sys / "video10" / "max_openers", "10\n");
  Touch(dev / "video10");
  Touch(sys / "video2" / "name", "Dummy video device (0x0000)\n");
  Touch(sys / "video2" / "max_openers", "10\n");
  Touch(dev / "video2");
  Touch(sys / "video7" / "max_openers", "10\n");  // no node: the device is gone
  Touch(sys / "vbi0" / "max_openers");
  Touch(dev / "vbi0");
  Touch(sys / "videox" / "max_openers");
  Touch(dev / "videox");

  const std::vector<LoopbackDevice> found = FindLoopbackDevices(sys, dev);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].path, (dev / "video2").string());
  EXPECT_EQ(found[0].name, "Dummy video device (0x0000)");
  EXPECT_EQ(found[1].path, (dev / "video10").string());
  EXPECT_EQ(found[1].name, "Corvalind");

  EXPECT_TRUE(FindLoopbackDevices(root / "nothing", dev).empty());
}

TEST(LoopbackWriter, RefusesWhatIsNoLoopbackDeviceAndSaysWhy) {
  const fs::path root = testing::FreshTestFolder("loopback-open");
  Touch(root / "plain-file");
  struct Case {
    std::string path;
    std::string why;
  };
  const Case cases[] = {
      {(root / "missing").string(), "No such file or directory"},
      {(root / "plain-file").string(), "not a video device"},
      {"/dev/null", "not a video device"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    LoopbackWriter writer({64, 48, 25});
    std::string reason;
    EXPECT_FALSE(writer.Open(c.path, &reason));
    EXPECT_NE(reason.find(c.path), std::string::npos) << reason;
    EXPECT_NE(reason.find(c.why), std::string::npos) << reason;
    // Offers after a refused open go nowhere and do no harm.
    std::vector<uint8_t> picture(64 * 48 * 3, 7);
    writer.Offer(picture.data(), static_cast<uint32_t>(picture.size()));
    EXPECT_EQ(writer.FramesWritten(), 0u);
  }
}

}  // namespace
}  // namespace corvalind

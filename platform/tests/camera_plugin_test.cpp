#include "platform/camera_plugin.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace corvalind {
namespace {

// Keeps GST_PLUGIN_PATH as the test found it.
class PluginPathGuard {
 public:
  PluginPathGuard() {
    if (const char* value = std::getenv("GST_PLUGIN_PATH")) saved_ = value;
  }
  ~PluginPathGuard() {
    if (saved_) {
      setenv("GST_PLUGIN_PATH", saved_->c_str(), 1);
    } else {
      unsetenv("GST_PLUGIN_PATH");
    }
  }

 private:
  std::optional<std::string> saved_;
};

// The test program runs from <build>/bin, beside the plugin the build made.
TEST(CameraPluginTest, FindsTheBuildTreesPlugin) {
  EXPECT_EQ(CameraPluginFolderBesideProgram(), CORVALIND_BUILT_PLUGIN_DIR);
}

TEST(CameraPluginTest, PutsTheFolderInFrontOfThePluginPath) {
  struct Case {
    const char* name;
    std::optional<std::string> before;
    std::string after;  // "@" stands for the plugin folder
  };
  const Case cases[] = {
      {"unset", std::nullopt, "@"},
      {"empty", "", "@"},
      {"one folder", "/opt/gst", "@:/opt/gst"},
      {"several folders", "/a:/b/c", "@:/a:/b/c"},
  };
  const std::string folder = CORVALIND_BUILT_PLUGIN_DIR;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PluginPathGuard guard;
    if (c.before) {
      setenv("GST_PLUGIN_PATH", c.before->c_str(), 1);
    } else {
      unsetenv("GST_PLUGIN_PATH");
    }
    EXPECT_EQ(UseCameraPluginBesideProgram(), folder);
    std::string expected = c.after;
    expected.replace(0, 1, folder);
    const char* now = std::getenv("GST_PLUGIN_PATH");
    ASSERT_NE(now, nullptr);
    EXPECT_EQ(std::string(now), expected);
  }
}

}  // namespace
}  // namespace corvalind

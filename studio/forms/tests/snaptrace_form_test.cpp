// The game-hook form: the refused Run, Run and Stop with the build's hook
// library (texts, buttons, status line), a library that is not there, and
// the project element with its two-character rule.
#include "studio/forms/snaptrace_form.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "engine/messages.h"
#include "hook/client/hook_context.h"
#include "studio/ui_bridge.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

using testing::WaitFor;

std::mutex lock;
std::vector<std::pair<QString, QString>> messages;
std::vector<std::string> statusTexts;

void RecordMessage(const QString& text, const QString& caption) {
  std::lock_guard<std::mutex> hold(lock);
  messages.emplace_back(text, caption);
}
// The hook thread writes the status line too.
void RecordStatus(std::string_view text) {
  std::lock_guard<std::mutex> hold(lock);
  statusTexts.emplace_back(text);
}
bool StatusSeen(const std::string& text) {
  std::lock_guard<std::mutex> hold(lock);
  return std::find(statusTexts.begin(), statusTexts.end(), text) != statusTexts.end();
}

class SnaptraceFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard<std::mutex> hold(lock);
    messages.clear();
    statusTexts.clear();
    SetStudioMessageHandler(&RecordMessage);
    previousStatus_ = SetStatusTextHandler(&RecordStatus);
  }
  void TearDown() override {
    SetStudioMessageHandler(nullptr);
    SetStatusTextHandler(previousStatus_);
  }
  StatusTextHandler previousStatus_ = nullptr;
};

TEST_F(SnaptraceFormTest, RunWithoutANameAsksForOne) {
  CViewSnaptraceForm form(3, nullptr, CORVALIND_LIBRARY_DIR);
  EXPECT_EQ(form.StatusLabel()->text(), "Select executable to hook");
  EXPECT_EQ(form.RunButton()->text(), "Run");
  form.TargetEdit()->setText("   ");
  form.RunButton()->click();
  EXPECT_FALSE(form.Hooked());
  std::lock_guard<std::mutex> hold(lock);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].first.toStdString(), "Please, select application to hook!\n (DirectX9 or OpenGL is supported)");
  EXPECT_TRUE(messages[0].second.isEmpty());
}

TEST_F(SnaptraceFormTest, RunInstallsTheHookAndStopRemovesIt) {
  CViewSnaptraceForm form(4, nullptr, CORVALIND_LIBRARY_DIR);
  form.TargetEdit()->setText("glxgears");
  form.RunButton()->click();
  ASSERT_TRUE(form.Hooked());
  EXPECT_EQ(form.RunButton()->text(), "Stop");
  EXPECT_FALSE(form.TargetEdit()->isEnabled());
  EXPECT_FALSE(form.BrowseButton()->isEnabled());
  EXPECT_EQ(form.StatusLabel()->text(), "Hooked! Start the application...");
  EXPECT_EQ(form.Context()->Slot(), 4);
  EXPECT_EQ(form.Context()->TargetName(), "glxgears");
  ASSERT_TRUE(WaitFor([&] { return StatusSeen("Snaptrace installed."); }));
  EXPECT_TRUE(StatusSeen(std::string(CORVALIND_LIBRARY_DIR) + "/libsnaptrace.so"));
  // A typed name is what the project keeps.
  ProjectWindow saved;
  form.SaveProjectElements(saved);
  EXPECT_EQ(saved.Text("DATA").value_or(""), "glxgears");

  form.RunButton()->click();
  EXPECT_FALSE(form.Hooked());
  EXPECT_TRUE(StatusSeen("Snaptrace removed."));
  EXPECT_EQ(form.RunButton()->text(), "Run");
  EXPECT_TRUE(form.TargetEdit()->isEnabled());
  EXPECT_TRUE(form.BrowseButton()->isEnabled());
  EXPECT_EQ(form.StatusLabel()->text(), "Select executable to hook...");
}

TEST_F(SnaptraceFormTest, AMissingLibraryIsSaidOnTheStatusLine) {
  const std::string empty = (std::filesystem::temp_directory_path() / "corvalind-no-snaptrace").string();
  std::filesystem::create_directories(empty);
  CViewSnaptraceForm form(1, nullptr, empty, empty);
  form.TargetEdit()->setText("game");
  form.RunButton()->click();
  ASSERT_TRUE(form.Hooked());
  ASSERT_TRUE(WaitFor([&] { return StatusSeen("Cannot load libsnaptrace.so"); }));
  EXPECT_TRUE(StatusSeen(empty + "/libsnaptrace.so"));
  EXPECT_FALSE(StatusSeen("Snaptrace installed."));
  EXPECT_FALSE(form.Context()->Running());
  form.RunButton()->click();
  EXPECT_FALSE(form.Hooked());
  EXPECT_FALSE(StatusSeen("Snaptrace removed."));  // nothing was installed
  std::filesystem::remove(empty);
}

TEST_F(SnaptraceFormTest, ProjectsRestoreNamesOfTwoOrMoreCharactersAndRunThem) {
  const struct {
    const char* name;
    bool hooked;
  } cases[] = {{"", false}, {"g", false}, {"gl", true}, {"supertuxkart", true}};
  for (const auto& c : cases) {
    CViewSnaptraceForm form(2, nullptr, CORVALIND_LIBRARY_DIR);
    ProjectWindow window;
    window.Set("DATA", c.name);
    form.RestoreProjectElements(window);
    EXPECT_EQ(form.Hooked(), c.hooked) << c.name;
    EXPECT_EQ(form.TargetEdit()->text().toStdString(), c.hooked ? c.name : "") << c.name;
    ProjectWindow saved;
    form.SaveProjectElements(saved);
    EXPECT_EQ(saved.Text("DATA").value_or(""), c.hooked ? c.name : "") << c.name;
  }
}

}  // namespace
}  // namespace corvalind

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  corvalind::testing::TemporaryHome home("corvalind-snaptrace-form");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // The hook library's shared objects get names of this run's own, away
  // from a studio the user runs.
  setenv("SNAPTRACE_INSTANCE", ("formtest" + std::to_string(getpid())).c_str(), 1);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}

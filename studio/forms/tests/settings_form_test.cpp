// The settings form: the lists as the settings file says, Apply and its two
// messages, the keying and scaling switches, and the recording-source list
// and lock over a fake multiplexer.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "engine/key_settings.h"
#include "platform/folders.h"
#include "platform/settings_file.h"
#include "studio/forms/loopback_choice.h"
#include "studio/forms/remote_choice.h"
#include "studio/forms/settings_form.h"
#include "studio/ui_bridge.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

namespace fs = std::filesystem;
using testing::WaitFor;

std::vector<std::pair<QString, QString>> messages;
void RecordMessage(const QString& text, const QString& caption) { messages.emplace_back(text, caption); }

struct FakeCard {
  std::mutex mutex;
  std::vector<std::string> inputs{"Microphone", "Line In", "Stereo Mix"};
  int selected = 1;
  int Selected() {
    std::lock_guard<std::mutex> lock(mutex);
    return selected;
  }
  void Set(int index) {
    std::lock_guard<std::mutex> lock(mutex);
    selected = index;
  }
};

class FakeMixer : public RecordingMixer {
 public:
  explicit FakeMixer(FakeCard& card) : card_(card) {}
  std::vector<std::string> Inputs() override { return card_.inputs; }
  int Selected() override { return card_.Selected(); }
  bool Select(int index) override {
    card_.Set(index);
    return true;
  }

 private:
  FakeCard& card_;
};

class SettingsFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetKeySettings();
    messages.clear();
    SetStudioMessageHandler(&RecordMessage);
    folder_ = fs::temp_directory_path() / ("corvalind-settings-form-" + std::to_string(getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override {
    SetStudioMessageHandler(nullptr);
    ResetKeySettings();
    fs::remove_all(folder_);
  }
  RecordingMixerFactory Mixer() {
    return [this] { return std::make_unique<FakeMixer>(card_); };
  }
  std::string SettingsPath() const { return (folder_ / "settings.txt").string(); }

  FakeCard card_;
  fs::path folder_;
};

TEST_F(SettingsFormTest, ApplyWritesTheChosenSizeRateAndFlipAndAsksForARestart) {
  std::ofstream(SettingsPath()) << "13,3,0";
  CSoundControlForm form(nullptr, Mixer(), SettingsPath());
  EXPECT_EQ(form.SizeList()->count(), kPictureSizeCount);
  EXPECT_EQ(form.SizeList()->itemText(13), "1280x720 HD");
  EXPECT_EQ(form.RateList()->itemText(3), "30 fps");
  EXPECT_EQ(form.SizeList()->currentIndex(), 13);
  EXPECT_EQ(form.RateList()->currentIndex(), 3);
  EXPECT_FALSE(form.FlipBox()->isChecked());
  EXPECT_FALSE(form.ApplyButton()->isEnabled());

  form.SizeList()->setCurrentIndex(14);
  emit form.SizeList()->activated(14);
  EXPECT_TRUE(form.ApplyButton()->isEnabled());
  form.FlipBox()->click();
  form.ApplyButton()->click();
  EXPECT_EQ(testing::ReadBytes(SettingsPath()), "14,3,1");
  EXPECT_FALSE(form.ApplyButton()->isEnabled());
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].first, kRestartToApplyText);
  EXPECT_EQ(messages[0].second, "");

  // A file that cannot be written: the error, and Apply stays on.
  messages.clear();
  CSoundControlForm blocked(nullptr, Mixer(), (folder_ / "settings.txt" / "below").string());
  blocked.FlipBox()->click();
  blocked.ApplyButton()->click();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].first, kCannotSaveSettingsText);
  EXPECT_EQ(messages[0].second, "Error");
  EXPECT_TRUE(blocked.ApplyButton()->isEnabled());
  EXPECT_EQ(testing::ReadBytes(SettingsPath()), "14,3,1");
}

TEST_F(SettingsFormTest, WithoutASettingsFileTheDefaultsAreSelected) {
  CSoundControlForm form(nullptr, Mixer(), SettingsPath());
  EXPECT_EQ(form.SizeList()->currentIndex(), kDefaultSizeIndex);
  EXPECT_EQ(form.RateList()->currentIndex(), kDefaultRateIndex);
}

TEST_F(SettingsFormTest, KeyingAndScalingSwitchesActAtOnce) {
  chromaKeyRange.store(0.35f);
  CSoundControlForm form(nullptr, Mixer(), SettingsPath());
  EXPECT_EQ(form.RangeSlider()->value(), 35);
  form.AutoKeyBox()->click();
  EXPECT_TRUE(chromaAutoKey.load());
  form.BilinearBox()->click();
  EXPECT_TRUE(bilinearScaling.load());
  form.RangeSlider()->setValue(80);
  EXPECT_FLOAT_EQ(chromaKeyRange.load(), 0.35f) << "only the release applies";
  emit form.RangeSlider()->sliderReleased();
  EXPECT_FLOAT_EQ(chromaKeyRange.load(), 0.8f);
  form.BilinearBox()->click();
  EXPECT_FALSE(bilinearScaling.load());
}

TEST_F(SettingsFormTest, TheSourceListSelectsAndTheLockHoldsTheInput) {
  CSoundControlForm form(nullptr, Mixer(), SettingsPath());
  ASSERT_EQ(form.SourceList()->count(), 3);
  EXPECT_EQ(form.SourceList()->currentIndex(), 1);
  emit form.SourceList()->activated(2);
  EXPECT_EQ(card_.Selected(), 2);

  form.SourceList()->setCurrentIndex(0);
  form.LockBox()->click();
  EXPECT_EQ(form.LockBox()->text(), "Lock audio source (Microphone)");
  EXPECT_FALSE(form.SourceList()->isEnabled());
  ASSERT_TRUE(WaitFor([&] { return card_.Selected() == 0; }));
  card_.Set(1);  // another program switches the input
  ASSERT_TRUE(WaitFor([&] { return card_.Selected() == 0; }));

  form.LockBox()->click();
  EXPECT_FALSE(form.Lock().Running());
  EXPECT_EQ(form.LockBox()->text(), "Lock audio source");
  EXPECT_TRUE(form.SourceList()->isEnabled());

  // No card: an empty list, and the lock does nothing.
  CSoundControlForm none(nullptr, [] { return std::unique_ptr<RecordingMixer>(); }, SettingsPath());
  EXPECT_EQ(none.SourceList()->count(), 0);
  none.LockBox()->click();
  none.LockBox()->click();
  EXPECT_FALSE(none.Lock().Running());
}

// The V4L2 camera's row: greyed with a note without the module; with
// devices, the choice is kept for the next runs and shown again.
TEST_F(SettingsFormTest, TheLoopbackChoiceIsGreyedWithoutDevicesAndKeptWithThem) {
  {
    CSoundControlForm none(nullptr, Mixer(), SettingsPath(), [] { return std::vector<LoopbackDevice>{}; });
    EXPECT_FALSE(none.LoopbackBox()->isEnabled());
    EXPECT_FALSE(none.LoopbackList()->isEnabled());
    EXPECT_FALSE(none.LoopbackNote()->isHidden());
    EXPECT_EQ(none.LoopbackNote()->text(), kNoLoopbackText);
  }
  const auto two = [] {
    return std::vector<LoopbackDevice>{{"/dev/video2", "Dummy video device (0x0000)"}, {"/dev/video10", "Corvalind"}};
  };
  {
    CSoundControlForm form(nullptr, Mixer(), SettingsPath(), two);
    ASSERT_TRUE(form.LoopbackBox()->isEnabled());
    EXPECT_TRUE(form.LoopbackNote()->isHidden());
    ASSERT_EQ(form.LoopbackList()->count(), 2);
    EXPECT_EQ(form.LoopbackList()->itemText(1), "Corvalind (/dev/video10)");
    EXPECT_FALSE(form.LoopbackBox()->isChecked());
    form.LoopbackList()->setCurrentIndex(1);
    form.LoopbackBox()->click();
    EXPECT_EQ(ChosenLoopbackDevice(), "/dev/video10");
  }
  // A run's override does not change what is kept.
  OverrideLoopbackDevice("");
  EXPECT_EQ(ChosenLoopbackDevice(), "");
  ChooseLoopbackDevice("/dev/video10");
  {
    CSoundControlForm again(nullptr, Mixer(), SettingsPath(), two);
    EXPECT_TRUE(again.LoopbackBox()->isChecked());
    EXPECT_EQ(again.LoopbackList()->currentIndex(), 1);
    again.LoopbackBox()->click();
    EXPECT_EQ(ChosenLoopbackDevice(), "");
  }
}

// The remote-control row: what it shows is the kept choice, and a change
// is kept and handed to the studio at once.
TEST_F(SettingsFormTest, TheRemoteControlChoiceIsKeptAndAppliedAtOnce) {
  RemoteControlChoice kept;
  kept.port = 5000;
  kept.password = "pw";
  WriteRemoteControlChoice(kept);
  std::vector<RemoteControlChoice> applied;
  SetRemoteControlApplier([&](const RemoteControlChoice& c) {
    applied.push_back(c);
    return QString("applied");
  });
  {
    CSoundControlForm form(nullptr, Mixer(), SettingsPath());
    EXPECT_FALSE(form.RemoteBox()->isChecked());
    EXPECT_EQ(form.RemotePortEdit()->text(), "5000");
    EXPECT_EQ(form.RemotePasswordEdit()->text(), "pw");
    EXPECT_EQ(form.RemotePasswordEdit()->echoMode(), QLineEdit::Password);
    form.RemotePortEdit()->setText("70000");  // out of range: the kept port stays
    form.RemoteBox()->click();
    ASSERT_EQ(applied.size(), 1u);
    EXPECT_TRUE(applied[0].enabled);
    EXPECT_EQ(applied[0].port, 5000);
    EXPECT_EQ(applied[0].address, "127.0.0.1");
    EXPECT_EQ(form.RemotePortEdit()->text(), "5000");
  }
  const RemoteControlChoice now = ReadRemoteControlChoice();
  EXPECT_TRUE(now.enabled);
  EXPECT_EQ(now.port, 5000);
  EXPECT_EQ(now.password, "pw");
  SetRemoteControlApplier(nullptr);
}

// The remote password lives in Corvalind.conf: after a save the file is the
// user's alone, whether it is new or was readable by others before, and
// what other subjects kept in it stays.
TEST_F(SettingsFormTest, TheFileWithThePasswordIsTheUsersAlone) {
  const std::filesystem::path config = std::filesystem::path(ConfigFolder()) / "Corvalind.conf";
  const auto mode = [&] {
    struct stat info {};
    return stat(config.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 0777) : -1;
  };
  RemoteControlChoice choice;
  choice.password = "open sesame";
  for (const bool existedOpen : {false, true}) {
    SCOPED_TRACE(existedOpen ? "a file readable by all" : "no file");
    std::filesystem::remove(config);
    if (existedOpen) {
      std::filesystem::create_directories(config.parent_path());
      std::ofstream(config) << "[Stream]\nKey=kept\n";
      chmod(config.c_str(), 0644);
    }
    WriteRemoteControlChoice(choice);
    EXPECT_EQ(mode(), 0600);
    EXPECT_EQ(ReadRemoteControlChoice().password, "open sesame");
    if (existedOpen) {
      EXPECT_NE(testing::ReadBytes(config.string()).find("Key=kept"), std::string::npos);
    }
  }
  ChooseLoopbackDevice("/dev/video42");
  EXPECT_EQ(mode(), 0600) << "every subject's save keeps it so";
  ChooseLoopbackDevice("");
}

}  // namespace
}  // namespace corvalind

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  corvalind::testing::TemporaryHome home("corvalind-settings-form");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}

// The recorder form: its lists, the refused starts and their messages, the
// overwrite question, a real recording of a published program picture into
// AVI and Matroska, and the project elements.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/messages.h"
#include "engine/output_format.h"
#include "platform/output_block.h"
#include "studio/forms/recorder_form.h"
#include "studio/ui_bridge.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

namespace fs = std::filesystem;
using testing::ReadBytes;
using testing::WaitFor;

std::vector<std::pair<QString, QString>> messages;
std::vector<std::pair<QString, QString>> questions;
std::vector<std::string> statusTexts;
bool answer = false;

void RecordMessage(const QString& text, const QString& caption) { messages.emplace_back(text, caption); }
bool AnswerQuestion(const QString& text, const QString& caption) {
  questions.emplace_back(text, caption);
  return answer;
}
void RecordStatus(std::string_view text) { statusTexts.emplace_back(text); }

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The long name of the first of `factories` the system has ("" for none).
std::string VideoEncoderNamed(std::initializer_list<const char*> factories) {
  const std::vector<EncoderEntry> encoders = VideoEncoders();
  for (const char* factory : factories) {
    for (const EncoderEntry& entry : encoders) {
      if (entry.factory == factory) return entry.longName;
    }
  }
  return {};
}

class RecorderFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    messages.clear();
    questions.clear();
    statusTexts.clear();
    answer = false;
    SetStudioMessageHandler(&RecordMessage);
    SetStudioQuestionHandler(&AnswerQuestion);
    previousStatus_ = SetStatusTextHandler(&RecordStatus);
    folder_ = fs::temp_directory_path() / ("corvalind-recorder-form-" + std::to_string(getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override {
    SetStudioMessageHandler(nullptr);
    SetStudioQuestionHandler(nullptr);
    SetStatusTextHandler(previousStatus_);
    fs::remove_all(folder_);
  }
  // Selects `text` in `list` as the user would.
  static void Choose(QComboBox* list, const QString& text) {
    const int position = list->findText(text);
    ASSERT_GE(position, 0) << text.toStdString();
    list->setCurrentIndex(position);
    emit list->activated(position);
  }
  static std::vector<bool> ChoicesEnabled(const CViewRecorderForm& form) {
    return {form.VideoList()->isEnabled(), form.AudioSourceList()->isEnabled(), form.AudioList()->isEnabled(),
            form.OutputEdit()->isEnabled()};
  }

  fs::path folder_;
  StatusTextHandler previousStatus_ = nullptr;
};

TEST_F(RecorderFormTest, ListsOfferEncodersAndSoundSources) {
  CViewRecorderForm form;
  EXPECT_EQ(form.windowTitle(), "Video Recorder");
  EXPECT_EQ(form.StartButton()->text(), "Start");

  const auto texts = [](QComboBox* list) {
    std::vector<std::string> out;
    for (int i = 0; i < list->count(); ++i) out.push_back(list->itemText(i).toStdString());
    return out;
  };
  const auto longNames = [](const std::vector<EncoderEntry>& entries) {
    std::vector<std::string> out;
    for (const EncoderEntry& entry : entries) out.push_back(entry.longName);
    return out;
  };
  EXPECT_EQ(texts(form.VideoList()), longNames(VideoEncoders()));
  EXPECT_EQ(texts(form.AudioList()), longNames(AudioEncoders()));
  std::vector<std::string> sources{kNoSoundEntry};
  for (const std::string& device : FillDeviceList(DeviceCategory::kAudioInput, false)) sources.push_back(device);
  EXPECT_EQ(texts(form.AudioSourceList()), sources);
  for (QComboBox* list : {form.VideoList(), form.AudioSourceList(), form.AudioList()}) {
    EXPECT_EQ(list->currentIndex(), -1) << list->objectName().toStdString();
  }

  // "No sound!" binds nothing and says there is no source.
  Choose(form.AudioSourceList(), kNoSoundEntry);
  EXPECT_FALSE(form.Core().HasAudioSource());
  EXPECT_EQ(form.StatusLabel()->text(), "Cannot find audio source!");
}

TEST_F(RecorderFormTest, StartWithoutChoicesIsRefused) {
  const std::string encoder = VideoEncoderNamed({"jpegenc", "vp8enc", "x264enc"});
  if (encoder.empty()) GTEST_SKIP() << "no JPEG, VP8 or H.264 encoder";
  struct Case {
    bool chooseEncoder;
    std::string output;
    const char* message;
  };
  const Case cases[] = {
      {false, (folder_ / "a.avi").string(), "Please, select video compressor!"},
      {false, "", "Please, select video compressor!"},
      {true, "", "Please, select valid output name!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message + (" / " + c.output));
    messages.clear();
    CViewRecorderForm form;
    if (c.chooseEncoder) Choose(form.VideoList(), QString::fromStdString(encoder));
    form.OutputEdit()->setText(QString::fromStdString(c.output));
    form.StartButton()->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].first, c.message);
    EXPECT_TRUE(messages[0].second.isEmpty());
    EXPECT_FALSE(form.Recording());
    EXPECT_EQ(form.StartButton()->text(), "Start");
    EXPECT_EQ(ChoicesEnabled(form), std::vector<bool>(4, true));
    EXPECT_TRUE(statusTexts.empty());
  }
  EXPECT_TRUE(questions.empty());
}

TEST_F(RecorderFormTest, KeepingAnExistingFileChangesNothing) {
  const std::string encoder = VideoEncoderNamed({"jpegenc", "vp8enc", "x264enc"});
  if (encoder.empty()) GTEST_SKIP() << "no JPEG, VP8 or H.264 encoder";
  const fs::path path = folder_ / "keep.avi";
  WriteFile(path, "earlier take");
  CViewRecorderForm form;
  Choose(form.VideoList(), QString::fromStdString(encoder));
  const QString label = form.StatusLabel()->text();
  form.OutputEdit()->setText(QString::fromStdString(path.string()));
  answer = false;
  form.ToggleRecording();
  ASSERT_EQ(questions.size(), 1u);
  EXPECT_EQ(questions[0], std::make_pair(QString("Overwrite existing video file?"), QString("Confirm")));
  EXPECT_FALSE(form.Recording());
  EXPECT_EQ(ReadBytes(path.string()), "earlier take");
  EXPECT_EQ(form.StartButton()->text(), "Start");
  EXPECT_EQ(form.StatusLabel()->text(), label);
  EXPECT_TRUE(messages.empty());
  EXPECT_TRUE(statusTexts.empty());
}

// A program picture published under a private buffer name is recorded; the
// file is replaced after the question and is complete after Stop or after
// the window closed while recording.
TEST_F(RecorderFormTest, RecordsTheProgramUntilStopped) {
  const std::string encoder = VideoEncoderNamed({"jpegenc", "vp8enc", "x264enc"});
  if (encoder.empty()) GTEST_SKIP() << "no JPEG, VP8 or H.264 encoder";
  const std::string bufferName = "CorvalindTest_recorder_" + std::to_string(getpid());
  const OutputFormat& format = GlobalOutputFormat();
  OutputBlock block;
  ASSERT_TRUE(CreateOutputBlock(block, bufferName, format.frameBytes, nullptr, nullptr));
  std::vector<uint8_t> picture(format.frameBytes);
  for (std::size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<uint8_t>(i * 7);
  PublishPicture(block, picture.data(), format.frameBytes, 1);

  // An AVI is finished when its RIFF size holds the file's length.
  const auto riffSize = [](const std::string& bytes) {
    uint32_t size = 0;
    for (int i = 0; i < 4; ++i) size |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[4 + i])) << (8 * i);
    return size;
  };
  struct Case {
    bool matroska;
    bool closeWindow;  // the window goes while recording instead of Stop
    const char* file;
    std::string magic;
  };
  const Case cases[] = {
      {false, false, "take.avi", "RIFF"},
      {true, false, "take.mkv", "\x1a\x45\xdf\xa3"},
      {false, true, "closed.avi", "RIFF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    statusTexts.clear();
    questions.clear();
    const fs::path path = folder_ / c.file;
    WriteFile(path, "earlier take");
    auto form = std::make_unique<CViewRecorderForm>(nullptr, bufferName);
    Choose(form->VideoList(), QString::fromStdString(encoder));
    Choose(form->AudioSourceList(), kNoSoundEntry);
    form->OutputEdit()->setText(QString::fromStdString(path.string()));
    form->MkvBox()->setChecked(c.matroska);
    answer = true;
    form->StartButton()->click();
    EXPECT_EQ(questions.size(), 1u);
    ASSERT_TRUE(form->Recording()) << form->StatusLabel()->text().toStdString();
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(form->StartButton()->text(), "Stop");
    EXPECT_EQ(form->StatusLabel()->text(), "Capture started!");
    EXPECT_EQ(statusTexts, std::vector<std::string>{"Capture started!"});
    EXPECT_EQ(ChoicesEnabled(*form), std::vector<bool>(4, false));
    EXPECT_TRUE(form->SyncTimer()->isActive());
    EXPECT_EQ(form->SyncTimer()->interval(), 5000);
    EXPECT_TRUE(form->FailureTimer()->isActive());
    EXPECT_EQ(form->Core().MuxerFactory(), c.matroska ? "matroskamux" : "avimux");

    ASSERT_TRUE(WaitFor([&] { return form->Core().VideoStats().samples >= 10; }, std::chrono::seconds(20),
                        [] { QApplication::processEvents(); }));
    EXPECT_TRUE(form->Recording());
    if (c.closeWindow) {
      form.reset();
    } else {
      form->StartButton()->click();
      EXPECT_FALSE(form->Recording());
      EXPECT_EQ(form->StartButton()->text(), "Start");
      EXPECT_EQ(form->StatusLabel()->text(), "Capture stopped!");
      EXPECT_EQ(statusTexts.back(), "Capture stopped!");
      EXPECT_EQ(ChoicesEnabled(*form), std::vector<bool>(4, true));
      EXPECT_FALSE(form->SyncTimer()->isActive());
      EXPECT_FALSE(form->FailureTimer()->isActive());
    }
    const std::string bytes = ReadBytes(path.string());
    ASSERT_GT(bytes.size(), 1000u);
    EXPECT_EQ(bytes.substr(0, c.magic.size()), c.magic);
    if (!c.matroska) {
      EXPECT_EQ(riffSize(bytes), bytes.size() - 8);
    }
  }
  ReleaseOutputBlock(block);
}

TEST_F(RecorderFormTest, ProjectElementsRoundTrip) {
  {
    CViewRecorderForm untouched;
    ProjectWindow window;
    untouched.SaveProjectElements(window);
    const std::vector<std::pair<std::string, std::string>> expected{
        {"DATA", "-1"}, {"PARAM1", "-1"}, {"PARAM2", "-1"}, {"PARAM3", ""}};
    EXPECT_EQ(window.values, expected);
  }

  CViewRecorderForm first;
  const int video = first.VideoList()->count() > 1 ? 1 : first.VideoList()->count() - 1;
  const int audio = first.AudioList()->count() > 0 ? 0 : -1;
  const QString path = QString::fromStdString((folder_ / "show.mkv").string());
  first.RestoreRecorder(video, 0, audio, path);
  ProjectWindow window;
  first.SaveProjectElements(window);
  EXPECT_EQ(window.Number("DATA", -2), video);
  EXPECT_EQ(window.Number("PARAM1", -2), 0);
  EXPECT_EQ(window.Number("PARAM2", -2), audio);
  EXPECT_EQ(window.Text("PARAM3"), path.toStdString());

  CViewRecorderForm second;
  second.RestoreProjectElements(window);
  EXPECT_EQ(second.VideoList()->currentIndex(), video);
  EXPECT_EQ(second.AudioSourceList()->currentIndex(), 0);
  EXPECT_EQ(second.AudioList()->currentIndex(), audio);
  EXPECT_EQ(second.OutputEdit()->text(), path);
  EXPECT_EQ(second.Core().HasVideoEncoder(), video >= 0);
  EXPECT_EQ(second.Core().HasAudioEncoder(), audio >= 0);
  EXPECT_FALSE(second.Core().HasAudioSource());
  ProjectWindow again;
  second.SaveProjectElements(again);
  EXPECT_EQ(again.values, window.values);
}

}  // namespace
}  // namespace corvalind

#ifdef CORVALIND_SANITIZED
// GLib, GStreamer and the libraries of every plugin it loads into this
// process (the sound server's client, camera drivers) keep caches for the
// life of the process; the leak checker would report them at every exit.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
extern "C" const char* __tsan_default_options() { return "ignore_noninstrumented_modules=1"; }
#endif

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  corvalind::testing::TemporaryHome home("corvalind-recorder-form");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  setenv("GST_PLUGIN_PATH", CORVALIND_PLUGIN_DIR, 1);
  setenv("GST_REGISTRY", (home.Root() / "registry.bin").c_str(), 1);
  // Plugins are loaded in this process, so a sanitized build's camera
  // plugin finds its runtime.
  setenv("GST_REGISTRY_FORK", "no", 1);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}

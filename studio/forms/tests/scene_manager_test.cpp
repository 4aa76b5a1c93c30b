// The Scene Manager and the files the studio reads at start-up, driven
// offscreen: an unreadable scene list is kept aside and never written over,
// changes reach scenes.xml at once and an unchanged list is never rewritten,
// Delete asks first, failed saves are reported once; and the settings
// file's fallback message.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/output_format.h"
#include "engine/source_slot.h"
#include "engine/video_engine.h"
#include "platform/folders.h"
#include "studio/files/scene_list_file.h"
#include "studio/forms/scene_editor_dialog.h"
#include "studio/forms/scene_manager.h"
#include "studio/forms/zone_editor_dialog.h"
#include "studio/studio_settings.h"
#include "studio/ui_bridge.h"
#include "test_support/status_texts.h"
#include "test_support/modal_windows.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

using testing::FileNames;
using testing::ReadBytes;

using testing::VisibleWindow;
using testing::WithModal;

namespace fs = std::filesystem;

std::vector<std::pair<QString, QString>> gMessages;
void CaptureMessage(const QString& text, const QString& caption) { gMessages.emplace_back(text, caption); }

std::vector<std::pair<QString, QString>> gQuestions;
bool gAnswer = false;
bool AnswerQuestion(const QString& text, const QString& caption) {
  gQuestions.emplace_back(text, caption);
  return gAnswer;
}

// The file's identity: a rewrite through the neighbour file and rename
// gives the name a new inode, so an unchanged inode means no rewrite.
ino_t Inode(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// The scene names the file holds, in order; empty when it does not parse.
std::vector<std::string> SceneNamesOnDisk(const std::string& path) {
  std::vector<Scene> scenes;
  std::vector<std::string> names;
  if (!ParseSceneList(ReadBytes(path), &scenes)) return names;
  for (const Scene& scene : scenes) names.push_back(scene.name);
  return names;
}


// Runs the scene editor from `open` (New or Edit), names the scene `name`,
// adds one zone when `addZone` and presses OK.
bool RunSceneEditor(const std::function<void()>& open, const QString& name, bool addZone) {
  return WithModal<CScreneEditorDlg>(open, [&](CScreneEditorDlg& dlg) {
    dlg.findChild<QLineEdit*>("1018")->setText(name);
    if (addZone) {
      QPushButton* newZone = dlg.findChild<QPushButton*>("1023");
      EXPECT_TRUE(WithModal<CZoneEditorDlg>([newZone] { newZone->click(); },
                                            [](CZoneEditorDlg& zone) { zone.findChild<QPushButton*>("1")->click(); }));
    }
    dlg.findChild<QPushButton*>("1")->click();
  });
}

bool AddScene(CViewSceneManager& manager, const QString& name) {
  return RunSceneEditor([&manager] { manager.NewScene(); }, name, true);
}

class SceneManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gMessages.clear();
    gQuestions.clear();
    gAnswer = false;
    SetStudioMessageHandler(&CaptureMessage);
    SetStudioQuestionHandler(&AnswerQuestion);
    ResetFolder();
    format_.SetSize(320, 240);
    engine_ = VideoEngine::Create(slots_, format_);
    ASSERT_NE(engine_, nullptr);
  }
  void TearDown() override {
    SetStudioQuestionHandler(nullptr);
    SetStudioMessageHandler(nullptr);
  }

  void ResetFolder() {
    std::error_code error;
    fs::remove_all(Folder(), error);
    fs::create_directories(Folder());
  }
  static std::string Folder() { return fs::path(SceneListPath(kSceneListFileName)).parent_path(); }
  static std::string FilePath() { return SceneListPath(kSceneListFileName); }

  // A scenes.xml with these scenes, written as the studio writes it.
  void WriteList(const std::vector<std::string>& names) {
    SourceSlotTable writerSlots;
    auto writer = VideoEngine::Create(writerSlots, format_);
    for (std::size_t i = 0; i < names.size(); ++i) {
      ASSERT_TRUE(writer->StoreScene({MakeZone(VIDPOS_FULLSCREEN, static_cast<int>(i), 100, 100)}, names[i], -1));
    }
    ASSERT_TRUE(SaveScenes(*writer, kSceneListFileName));
  }

  SourceSlotTable slots_;
  OutputFormat format_;
  std::unique_ptr<VideoEngine> engine_;
  testing::StatusRecorder status_;
};

// ---------------------------------------------------------------------------
// An unreadable scene list

TEST_F(SceneManagerTest, UnreadableListIsKeptAsideAndNotWrittenUntilAChange) {
  const std::string valid = "<SCENES><SCENE Name=\"A\"><VZONE><SOURCE_ID>1</SOURCE_ID></VZONE></SCENE></SCENES>";
  struct Case {
    const char* label;
    bool folder;  // a folder in the file's place, holding `bytes` in a file
    std::string bytes;
  };
  const Case cases[] = {
      {"corrupt", false, "<SCENES><SCENE Name=\"Interview\"><VZONE><SOURCE_ID>1"},
      {"zero bytes", false, ""},
      {"a folder in its place", true, "inner"},
      {"larger than the cap", false, valid + "<!--" + std::string(kMaxXmlFileBytes, ' ') + "-->"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ResetFolder();
    SourceSlotTable caseSlots;  // a fresh engine per case
    auto engine = VideoEngine::Create(caseSlots, format_);
    if (c.folder) {
      fs::create_directories(FilePath());
      std::ofstream(FilePath() + "/inside", std::ios::binary) << c.bytes;
    } else {
      std::ofstream(FilePath(), std::ios::binary) << c.bytes;
    }
    status_.Take();

    auto manager = std::make_unique<CViewSceneManager>(*engine);
    const std::set<std::string> names = FileNames(Folder());
    ASSERT_EQ(names.size(), 1u);
    const std::string aside = Folder() + "/" + *names.begin();
    EXPECT_EQ(names.begin()->rfind("scenes.xml.unreadable-", 0), 0u) << *names.begin();
    EXPECT_EQ(ReadBytes(c.folder ? aside + "/inside" : aside), c.bytes);
    EXPECT_EQ(status_.Take(), std::vector<std::string>{"The scene list " + FilePath() +
                                                        " could not be read; it was kept as " + aside +
                                                        ". Starting with an empty list."});
    EXPECT_EQ(manager->SceneList()->count(), 0);
    EXPECT_EQ(engine->SceneCount(), 0);
    EXPECT_TRUE(gMessages.empty());

    // Closing without a change writes nothing.
    manager.reset();
    EXPECT_EQ(FileNames(Folder()), names);

    // A change writes the list, beside the file kept aside.
    manager = std::make_unique<CViewSceneManager>(*engine);
    EXPECT_TRUE(status_.Take().empty());  // no file now: a first run, no message
    ASSERT_TRUE(AddScene(*manager, "Fresh"));
    EXPECT_EQ(SceneNamesOnDisk(FilePath()), std::vector<std::string>{"Fresh"});
    EXPECT_EQ(ReadBytes(c.folder ? aside + "/inside" : aside), c.bytes);
    manager.reset();
    EXPECT_EQ(FileNames(Folder()), (std::set<std::string>{"scenes.xml", *names.begin()}));
  }
}

// A list the engine already holds stays when the file went bad meanwhile,
// and reaches the file again when the manager closes.
TEST_F(SceneManagerTest, ScenesInTheStudioOutliveAFileThatWentBad) {
  WriteList({"One", "Two"});
  auto manager = std::make_unique<CViewSceneManager>(*engine_);
  manager.reset();
  std::ofstream(FilePath(), std::ios::binary) << "garbage";
  status_.Take();
  manager = std::make_unique<CViewSceneManager>(*engine_);
  const std::vector<std::string> texts = status_.Take();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_NE(texts[0].find("Going on with the scenes already in the studio."), std::string::npos) << texts[0];
  EXPECT_EQ(manager->SceneList()->count(), 2);
  manager.reset();
  EXPECT_EQ(SceneNamesOnDisk(FilePath()), (std::vector<std::string>{"One", "Two"}));
}

// When even moving the file aside fails (here the aside name is too long
// for the file system), the file stays as it is and is never written over.
TEST_F(SceneManagerTest, AnUnreadableFileThatCannotBeMovedIsNeverWrittenOver) {
  const std::string fileName = std::string(240, 'L') + ".xml";
  const std::string path = SceneListPath(fileName);
  std::ofstream(path, std::ios::binary) << "<SCENES><";
  auto manager = std::make_unique<CViewSceneManager>(*engine_, nullptr, fileName);
  EXPECT_EQ(status_.Take(), std::vector<std::string>{"The scene list " + path +
                                                      " could not be read and could not be moved aside; it is "
                                                      "left as it is and will not be written over."});
  ASSERT_TRUE(AddScene(*manager, "Kept in memory"));
  EXPECT_EQ(manager->SceneList()->count(), 1);
  EXPECT_EQ(status_.Take(), std::vector<std::string>{"The scene list could not be saved to " + path + "."});
  manager.reset();
  EXPECT_EQ(ReadBytes(path), "<SCENES><");
  EXPECT_EQ(FileNames(Folder()), std::set<std::string>{fileName});
  EXPECT_TRUE(status_.Take().empty());
}

// ---------------------------------------------------------------------------
// Changes reach the file at once; an unchanged list is not rewritten

TEST_F(SceneManagerTest, EveryChangeIsOnDiskWhileTheManagerIsOpen) {
  CViewSceneManager manager(*engine_);
  EXPECT_FALSE(fs::exists(FilePath()));  // opening an empty studio writes nothing

  ASSERT_TRUE(AddScene(manager, "First"));
  EXPECT_EQ(SceneNamesOnDisk(FilePath()), std::vector<std::string>{"First"});
  ASSERT_TRUE(AddScene(manager, "Second"));
  EXPECT_EQ(SceneNamesOnDisk(FilePath()), (std::vector<std::string>{"First", "Second"}));

  manager.SceneList()->setCurrentIndex(0);
  ASSERT_TRUE(RunSceneEditor([&manager] { manager.EditScene(); }, "Renamed", false));
  EXPECT_EQ(SceneNamesOnDisk(FilePath()), (std::vector<std::string>{"Renamed", "Second"}));

  // A cancelled editor changes nothing and writes nothing.
  const ino_t before = Inode(FilePath());
  ASSERT_TRUE(WithModal<CScreneEditorDlg>([&manager] { manager.NewScene(); },
                                          [](CScreneEditorDlg& dlg) { dlg.findChild<QPushButton*>("2")->click(); }));
  EXPECT_EQ(Inode(FilePath()), before);
  EXPECT_TRUE(status_.Take().empty());
  EXPECT_FALSE(fs::exists(FilePath() + ".new"));
}

TEST_F(SceneManagerTest, ClosingWithoutAChangeDoesNotRewriteTheFile) {
  WriteList({"One", "Two", "Three"});
  const std::string bytes = ReadBytes(FilePath());
  const ino_t before = Inode(FilePath());
  for (int round = 0; round < 2; ++round) {
    auto manager = std::make_unique<CViewSceneManager>(*engine_);
    EXPECT_EQ(manager->SceneList()->count(), 3);
    manager->QuickSwitch(1);  // switching is not a change of the list
    manager.reset();
    EXPECT_EQ(Inode(FilePath()), before) << round;
    EXPECT_EQ(ReadBytes(FilePath()), bytes);
  }
  EXPECT_EQ(FileNames(Folder()), std::set<std::string>{"scenes.xml"});
}

// ---------------------------------------------------------------------------
// Delete asks

TEST_F(SceneManagerTest, DeleteAsksAndOnlyYesRemovesTheScene) {
  const struct {
    bool answer;
    std::vector<std::string> left;
  } cases[] = {
      {false, {"One", "Two", "Three"}},
      {true, {"One", "Three"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer ? "Yes" : "No");
    ResetFolder();
    SourceSlotTable caseSlots;  // a fresh engine per case
    auto engine = VideoEngine::Create(caseSlots, format_);
    WriteList({"One", "Two", "Three"});
    const ino_t before = Inode(FilePath());
    CViewSceneManager manager(*engine);
    manager.SceneList()->setCurrentIndex(1);
    gQuestions.clear();
    gAnswer = c.answer;
    manager.DeleteScene();
    ASSERT_EQ(gQuestions.size(), 1u);
    EXPECT_EQ(gQuestions[0].first, "Delete scene 'Two'?");
    EXPECT_EQ(gQuestions[0].second, "Scene Manager");
    EXPECT_EQ(manager.SceneList()->count(), static_cast<int>(c.left.size()));
    EXPECT_EQ(engine->SceneCount(), static_cast<int>(c.left.size()));
    EXPECT_EQ(SceneNamesOnDisk(FilePath()), c.left);  // while the manager is still open
    if (!c.answer) {
      EXPECT_EQ(Inode(FilePath()), before);
    }
  }
}

TEST_F(SceneManagerTest, DeleteWithoutSelectionAsksNothing) {
  CViewSceneManager manager(*engine_);
  manager.DeleteScene();
  EXPECT_TRUE(gQuestions.empty());
  ASSERT_EQ(gMessages.size(), 1u);
  EXPECT_EQ(gMessages[0].first, "Please, select scene to delete!");
}

// ---------------------------------------------------------------------------
// Failed saves

// A plain file where the Corvalind folder belongs makes every save fail.
TEST_F(SceneManagerTest, AFailedSaveIsReportedOnceAndRetriedWhenTheManagerCloses) {
  const std::string failed = "The scene list could not be saved to " + FilePath() + ".";
  auto breakFolder = [&] {
    fs::remove_all(Folder());
    std::ofstream(Folder()) << "in the way";
  };
  auto mendFolder = [&] {
    fs::remove(Folder());
    fs::create_directories(Folder());
  };
  breakFolder();
  auto manager = std::make_unique<CViewSceneManager>(*engine_);
  EXPECT_TRUE(status_.Take().empty());  // no folder: a first run
  ASSERT_TRUE(AddScene(*manager, "A"));
  ASSERT_TRUE(AddScene(*manager, "B"));
  EXPECT_EQ(status_.Take(), std::vector<std::string>{failed});

  mendFolder();
  ASSERT_TRUE(AddScene(*manager, "C"));
  EXPECT_EQ(SceneNamesOnDisk(FilePath()), (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_TRUE(status_.Take().empty());

  // After a success a new failure is reported again; the close writes
  // what the failed save could not.
  breakFolder();
  ASSERT_TRUE(AddScene(*manager, "D"));
  EXPECT_EQ(status_.Take(), std::vector<std::string>{failed});
  mendFolder();
  manager.reset();
  EXPECT_EQ(SceneNamesOnDisk(FilePath()), (std::vector<std::string>{"A", "B", "C", "D"}));
  EXPECT_TRUE(status_.Take().empty());
}

// ---------------------------------------------------------------------------
// The settings file's fallback message

TEST(StudioSettingsWarning, OnlyAnExistingFileThatGivesDefaultsIsReported) {
  const std::string path = SettingsFilePath();
  const std::string unread = "The settings file " + path + " could not be read; ";
  const std::string unusable = "The settings file " + path + " holds no usable picture size and frame rate; ";
  const struct {
    const char* label;
    std::function<void()> make;
    std::string warning;
    int width, fps;
  } cases[] = {
      {"missing", [] {}, "", 640, 25},
      {"written by Apply", [&] { std::ofstream(path) << "13,3,1"; }, "", 1280, 30},
      {"two numbers", [&] { std::ofstream(path) << "9,4"; }, "", 800, 50},
      {"a folder in its place", [&] { fs::create_directories(path); }, unread + "using 640x480 at 25 fps.", 640, 25},
      {"a pipe in its place", [&] { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); },
       unread + "using 640x480 at 25 fps.", 640, 25},
      {"empty", [&] { std::ofstream(path) << ""; }, unusable + "using 640x480 at 25 fps.", 640, 25},
      {"garbage", [&] { std::ofstream(path) << "hello"; }, unusable + "using 640x480 at 25 fps.", 640, 25},
      {"size outside the table", [&] { std::ofstream(path) << "20,2,0"; }, unusable + "using 640x480 at 25 fps.",
       640, 25},
      {"words for numbers", [&] { std::ofstream(path) << "x,y"; }, unusable + "using 320x180 at 10 fps.", 320, 10},
      {"rate outside the table", [&] { std::ofstream(path) << "13,9"; }, unusable + "using 1280x720 at 25 fps.",
       1280, 25},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::error_code error;
    fs::remove_all(path, error);
    fs::create_directories(fs::path(path).parent_path());
    c.make();
    OutputFormat format;
    std::string warning = "stale";
    LoadStudioSettings(format, &warning);
    EXPECT_EQ(warning, c.warning);
    EXPECT_EQ(format.outputWidth, c.width);
    EXPECT_EQ(format.frameRate, c.fps);
  }
  std::error_code error;
  fs::remove_all(path, error);
}

TEST(StudioSettingsWarning, UsableTextsAreThoseTheWriterCouldWrite) {
  const struct {
    std::string text;
    bool usable;
  } cases[] = {
      {"0,0", true},          {"15,5,1", true},   {"7,1,1\n", true},        {" +3,4", true},
      {"6", false},           {",5", false},      {"1,2,3,4", false},       {"6,-1", false},
      {"16,2", false},        {"6,6", false},     {"6,2,x", false},         {"99999999999999,3", false},
      {"a,2", false},         {"", false},        {std::string("2,1\0,9", 6), true},
  };
  for (const auto& c : cases) EXPECT_EQ(StudioSettingsUsable(c.text), c.usable) << c.text;
}

}  // namespace
}  // namespace corvalind

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // No display needed, and neither Qt nor the tests may reach the real
  // user's folders.
  corvalind::testing::TemporaryHome home("corvalind-scene-manager");
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}

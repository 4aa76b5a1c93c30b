// The project document: what a written file holds, how odd files read,
// and which files are refused.
#include "studio/files/project_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "engine/key_settings.h"
#include "studio/files/xml_file.h"

namespace corvalind {
namespace {

TEST(ProjectFileTest, WrittenFileHoldsConfigThenWindowsInOrder) {
  ProjectDocument document;
  document.config = ProjectConfig{true, 0x123456u, 0.35f, false};
  ProjectWindow camera{0, 10, 20, {}};
  ProjectWindow manager{8, 300, 40, {}};
  manager.Set("DATA", 2);
  manager.Set("PARAM1", 9);
  document.windows = {camera, manager};
  const std::string expected =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n"
      "<CONFIG>\n"
      "    <CHROMA_AUTOKEY>1</CHROMA_AUTOKEY>\n"
      "    <CHROMA_KEYCOLOR>1193046</CHROMA_KEYCOLOR>\n"
      "    <CHROMA_KEYRANGE>35</CHROMA_KEYRANGE>\n"
      "    <BILINEAR_SCALING>0</BILINEAR_SCALING>\n"
      "</CONFIG>\n"
      "<WINDOWS>\n"
      "    <WINDOW>\n"
      "        <TYPE>0</TYPE>\n"
      "        <POS_X>10</POS_X>\n"
      "        <POS_Y>20</POS_Y>\n"
      "    </WINDOW>\n"
      "    <WINDOW>\n"
      "        <TYPE>8</TYPE>\n"
      "        <POS_X>300</POS_X>\n"
      "        <POS_Y>40</POS_Y>\n"
      "        <DATA>2</DATA>\n"
      "        <PARAM1>9</PARAM1>\n"
      "    </WINDOW>\n"
      "</WINDOWS>\n";
  EXPECT_EQ(FormatProject(document), expected);

  ProjectDocument back;
  ASSERT_TRUE(ParseProject(expected, &back));
  EXPECT_EQ(back.config.keyRange.value(), 0.35f);
  EXPECT_EQ(back.config.keyColor.value(), 0x123456u);
  EXPECT_TRUE(back.config.autoKey.value());
  ASSERT_EQ(back.windows.size(), 2u);
  EXPECT_EQ(back.windows[1].type, 8);
  EXPECT_EQ(back.windows[1].posX, 300);
  EXPECT_EQ(back.windows[1].Number("DATA", -1), 2);
  EXPECT_EQ(back.windows[1].Number("PARAM1", -1), 9);
  EXPECT_EQ(back.windows[0].Number("DATA", -7), -7);  // absent
}

TEST(ProjectFileTest, OddFilesReadAsFarAsTheyGo) {
  struct Case {
    const char* text;
    bool parses;
    bool hasConfig;
    std::size_t windows;
  } cases[] = {
      {"<WINDOWS><WINDOW><TYPE>3</TYPE></WINDOW></WINDOWS>", true, false, 1},
      {"<CONFIG><CHROMA_KEYRANGE>20</CHROMA_KEYRANGE></CONFIG>", true, true, 0},
      {"<WINDOWS><OTHER/><WINDOW/><NOTAWINDOW><TYPE>5</TYPE></NOTAWINDOW></WINDOWS>", true, false, 2},
      {"<WINDOWS><WINDOW><TYPE> -2x</TYPE><POS_X>abc</POS_X></WINDOW></WINDOWS>", true, false, 1},
      {"<WINDOWS><WINDOW>", false, false, 0},
      {"", false, false, 0},
      {"not xml at all", false, false, 0},
  };
  for (const Case& c : cases) {
    ProjectDocument document;
    document.windows.resize(9);  // untouched when the text does not parse
    ASSERT_EQ(ParseProject(c.text, &document), c.parses) << c.text;
    if (!c.parses) {
      EXPECT_EQ(document.windows.size(), 9u);
      continue;
    }
    EXPECT_EQ(document.config.keyRange.has_value(), c.hasConfig) << c.text;
    EXPECT_EQ(document.windows.size(), c.windows) << c.text;
  }
  ProjectDocument odd;
  ASSERT_TRUE(ParseProject(cases[3].text, &odd));
  EXPECT_EQ(odd.windows[0].type, -2);
  EXPECT_EQ(odd.windows[0].posX, 0);
}

TEST(ProjectFileTest, HostileFilesAreRefused) {
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  ProjectDocument document;
  EXPECT_FALSE(ParseProject(deep, &document));
  EXPECT_FALSE(ParseProject(std::string("<WINDOWS>\0</WINDOWS>", 20), &document));
  EXPECT_FALSE(ParseProject(std::string(5u << 20, ' '), &document));
  // Many empty elements side by side are not nesting.
  std::string flat = "<WINDOWS><WINDOW>";
  for (int i = 0; i < 500; ++i) flat += "<X a=\"/>\"/>";
  flat += "</WINDOW></WINDOWS>";
  EXPECT_TRUE(ParseProject(flat, &document));
}

// Project files and the scene list go through the same guarded reader: the
// same size cap before anything is read, the same nesting bound, nothing
// that is not a regular file.
TEST(ProjectFileTest, FilesAreReadUnderTheSameLimitsAsTheSceneList) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("corvalind-project-limits-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  auto write = [&](const char* name, const std::string& text) {
    std::ofstream((dir / name).string(), std::ios::binary) << text;
    return (dir / name).string();
  };
  const std::string valid = "<WINDOWS><WINDOW><TYPE>7</TYPE></WINDOW></WINDOWS>";
  auto nested = [&](int levels) {
    std::string text = "<WINDOWS><WINDOW><TYPE>7</TYPE>";
    for (int i = 0; i < levels; ++i) text += "<X>";
    for (int i = 0; i < levels; ++i) text += "</X>";
    return text + "</WINDOW></WINDOWS>";
  };
  const struct {
    std::string path;
    bool readable;
  } cases[] = {
      {write("plain.cvd", valid), true},
      // A comment keeps the text valid while it grows past the cap.
      {write("large.cvd", valid + "<!--" + std::string(kMaxXmlFileBytes, ' ') + "-->"), false},
      {write("at-cap.cvd", valid + "<!--" + std::string(kMaxXmlFileBytes - valid.size() - 7, ' ') + "-->"), true},
      {write("nested.cvd", nested(kMaxXmlDepth - 3)), true},
      {write("too-deep.cvd", nested(kMaxXmlDepth + 1)), false},
      {dir.string(), false},
      {"/dev/zero", false},
  };
  for (const auto& c : cases) {
    ProjectDocument document;
    EXPECT_EQ(ReadProjectFile(c.path, &document), c.readable) << c.path;
    if (c.readable) {
      ASSERT_EQ(document.windows.size(), 1u) << c.path;
      EXPECT_EQ(document.windows[0].type, 7);
    }
  }
  // A pipe in the file's place is refused at once instead of blocking.
  const std::string pipe = (dir / "pipe.cvd").string();
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  ProjectDocument document;
  EXPECT_FALSE(ReadProjectFile(pipe, &document));
  std::filesystem::remove_all(dir);
}

TEST(ProjectFileTest, SavingReplacesTheFileAndLeavesNoNeighbour) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("corvalind-project-save-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "show.cvd").string();
  ProjectDocument first;
  first.windows.push_back(ProjectWindow{7, 1, 2, {}});
  ASSERT_TRUE(WriteProjectFile(path, first));
  ProjectDocument second;
  second.windows.push_back(ProjectWindow{8, 3, 4, {}});
  second.windows.push_back(ProjectWindow{2, 5, 6, {}});
  ASSERT_TRUE(WriteProjectFile(path, second));
  EXPECT_FALSE(std::filesystem::exists(path + ".new"));
  ProjectDocument back;
  ASSERT_TRUE(ReadProjectFile(path, &back));
  ASSERT_EQ(back.windows.size(), 2u);
  EXPECT_EQ(back.windows[1].posY, 6);
  // A folder that does not exist: reported, nothing written.
  EXPECT_FALSE(WriteProjectFile((dir / "missing" / "show.cvd").string(), second));
  std::filesystem::remove_all(dir);
}

TEST(ProjectFileTest, PictureSettingsApplyOnlyWhatTheFileHolds) {
  ResetKeySettings();
  ProjectConfig partial;
  partial.keyRange = 0.5f;
  ApplyPictureConfig(partial);
  EXPECT_EQ(chromaKeyRange.load(), 0.5f);
  EXPECT_EQ(chromaKeyColor.load(), kDefaultChromaKeyColor);
  ApplyPictureConfig(ProjectConfig{true, 5u, 0.1f, true});
  const ProjectConfig now = CurrentPictureConfig();
  EXPECT_TRUE(now.autoKey.value());
  EXPECT_EQ(now.keyColor.value(), 5u);
  EXPECT_TRUE(now.bilinear.value());
  ResetKeySettings();
}

}  // namespace
}  // namespace corvalind

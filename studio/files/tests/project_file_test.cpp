// The project document: what a written file holds, how odd files read,
// and which files are refused.
#include "studio/files/project_file.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/key_settings.h"

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

// The scene list file: what is written, what is read back, and what odd,
// damaged or hostile files do. Every test points HOME and the XDG folders at
// a temporary folder of its own.
#include "studio/files/scene_list_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/output_format.h"
#include "engine/source_slot.h"
#include "engine/video_engine.h"
#include "platform/file_io.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

using testing::FileNames;
using testing::ReadBytes;

namespace fs = std::filesystem;

// A VZONE element with the given inner text.
std::string VZone(const std::string& inner) { return "<VZONE>" + inner + "</VZONE>"; }

// A VZONE holding only a SOURCE_ID.
std::string SourceZone(int sourceId) {
  return VZone("<SOURCE_ID>" + std::to_string(sourceId) + "</SOURCE_ID>");
}

std::string SceneXml(const std::string& name, const std::string& zones) {
  return "<SCENE Name=\"" + name + "\">" + zones + "</SCENE>";
}

std::string Document(const std::string& scenes) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><SCENES>" + scenes + "</SCENES>";
}

std::string Repeat(const std::string& unit, int times) {
  std::string text;
  text.reserve(unit.size() * static_cast<std::size_t>(times));
  for (int i = 0; i < times; ++i) text += unit;
  return text;
}

// Whether `name` is `path`.unreadable-YYYYMMDD-HHMMSS, with or without a
// "-n" suffix.
bool IsAsideName(const std::string& name, const std::string& path) {
  const std::string prefix = path + ".unreadable-";
  if (name.rfind(prefix, 0) != 0) return false;
  const std::string rest = name.substr(prefix.size());
  auto digits = [&](std::size_t from, std::size_t count) {
    if (rest.size() < from + count) return false;
    for (std::size_t i = from; i < from + count; ++i) {
      if (rest[i] < '0' || rest[i] > '9') return false;
    }
    return true;
  };
  if (!digits(0, 8) || rest.size() < 15 || rest[8] != '-' || !digits(9, 6)) return false;
  if (rest.size() == 15) return true;
  return rest[15] == '-' && rest.size() > 16 && digits(16, rest.size() - 16);
}

std::vector<int> SourceIds(const Scene& scene) {
  std::vector<int> ids;
  for (const VideoZone& zone : scene.zones) ids.push_back(zone.sourceId);
  return ids;
}

// Every "<TAG>n</TAG>" number of a text, in order.
std::vector<int> Values(const std::string& text, const std::string& tag) {
  std::vector<int> values;
  const std::string open = "<" + tag + ">";
  for (std::size_t at = text.find(open); at != std::string::npos; at = text.find(open, at + 1)) {
    values.push_back(std::stoi(text.substr(at + open.size(), 12)));
  }
  return values;
}

void ExpectSameZone(const VideoZone& actual, const VideoZone& expected) {
  EXPECT_EQ(actual.placement, expected.placement);
  EXPECT_EQ(actual.sourceId, expected.sourceId);
  EXPECT_EQ(actual.alpha, expected.alpha);
  EXPECT_EQ(actual.widthFrac, expected.widthFrac);
  EXPECT_EQ(actual.heightFrac, expected.heightFrac);
  EXPECT_EQ(actual.posXFrac, expected.posXFrac);
  EXPECT_EQ(actual.posYFrac, expected.posYFrac);
  EXPECT_EQ(actual.chroma, expected.chroma);
  EXPECT_EQ(actual.keepAspect, expected.keepAspect);
}

void ExpectSameTable(const SceneTable& actual, const SceneTable& expected) {
  EXPECT_EQ(actual.sceneCount, expected.sceneCount);
  for (std::size_t i = 0; i < actual.scenes.size(); ++i) {
    SCOPED_TRACE("scene " + std::to_string(i));
    EXPECT_EQ(actual.scenes[i].name, expected.scenes[i].name);
    ASSERT_EQ(actual.scenes[i].zones.size(), expected.scenes[i].zones.size());
    for (std::size_t z = 0; z < actual.scenes[i].zones.size(); ++z) {
      EXPECT_TRUE(actual.scenes[i].zones[z].SameLayout(expected.scenes[i].zones[z]));
    }
  }
}

class SceneListFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = fs::temp_directory_path() / "scene_list_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DOCUMENTS_DIR"}) {
      const char* value = std::getenv(name);
      saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    setenv("HOME", root_.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1);
    setenv("XDG_DOCUMENTS_DIR", (root_ + "/Documents").c_str(), 1);
    engine_ = NewEngine();
    ASSERT_NE(engine_, nullptr);
  }

  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  std::unique_ptr<VideoEngine> NewEngine() {
    OutputFormat format;
    format.SetSize(640, 480);
    return VideoEngine::Create(slots_, format);
  }

  std::string Folder() const { return root_ + "/Documents/Corvalind"; }
  std::string FilePath() const { return Folder() + "/scenes.xml"; }

  void WriteSceneFile(const std::string& text) {
    fs::create_directories(Folder());
    std::ofstream(FilePath(), std::ios::binary) << text;
  }

  std::string ReadSceneFile() const {
    std::ifstream in(FilePath(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Three scenes in the engine, to see whether a load changes them.
  void StoreThreeScenes() {
    ASSERT_TRUE(engine_->StoreScene({MakeZone(VIDPOS_FULLSCREEN, 0, 100, 100)}, "One", -1));
    ASSERT_TRUE(engine_->StoreScene({MakeZone(VIDPOS_CENTER, 1, 50, 50)}, "Two", -1));
    ASSERT_TRUE(engine_->StoreScene({MakeZone(VIDPOS_FREE, 2, 25, 25, 10, 10)}, "Three", -1));
  }

  std::string root_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
  SourceSlotTable slots_;
  std::unique_ptr<VideoEngine> engine_;
};

// ---------------------------------------------------------------------------
// Round trips through the engine and the file

TEST_F(SceneListFileTest, PathIsInTheCorvalindFolderOfTheDocuments) {
  EXPECT_EQ(SceneListPath(kSceneListFileName), FilePath());
  setenv("XDG_DOCUMENTS_DIR", (root_ + "/Documents/").c_str(), 1);
  EXPECT_EQ(SceneListPath(kSceneListFileName), FilePath());
}

TEST_F(SceneListFileTest, HalfWidthZoneIsWrittenAs5000AndLoadsBackAs320Pixels) {
  VideoZone zone = MakeZone(VIDPOS_FREE, 9, 50.0f, 25.0f, 12.5f, 75.0f);
  zone.alpha = 200;
  zone.chroma = true;
  zone.keepAspect = false;
  ASSERT_TRUE(engine_->StoreScene({zone, MakeZone(VIDPOS_TOP_RIGHT, 3, 10, 10)}, "Interview", -1));
  ASSERT_TRUE(SaveScenes(*engine_, kSceneListFileName));

  const std::string text = ReadSceneFile();
  EXPECT_EQ(Values(text, "WIDTH"), (std::vector<int>{5000, 1000}));
  EXPECT_EQ(Values(text, "POS_Y"), (std::vector<int>{7500, 0}));

  auto loaded = NewEngine();
  ASSERT_TRUE(LoadScenes(*loaded, kSceneListFileName));
  ExpectSameTable(loaded->Scenes(), engine_->Scenes());
  const SceneTable table = loaded->Scenes();
  const VideoZone& first = table.scenes[0].zones[0];
  EXPECT_EQ(first.widthFrac, 50.0f);
  EXPECT_EQ(first.widthPx, 320);
  EXPECT_EQ(first.heightPx, 120);
  EXPECT_EQ(first.posXPx, 80);
  EXPECT_EQ(first.posYPx, 360);
}

TEST_F(SceneListFileTest, PercentagesAreWrittenInTruncatedHundredths) {
  struct Case {
    float percent;
    int written;
  };
  const Case cases[] = {
      {50.0f, 5000},
      {100.0f, 10000},
      {0.0f, 0},
      {12.345f, 1234},    // finer than a hundredth: truncated
      {33.3333f, 3333},
      {-12.345f, -1234},  // toward zero
      {0.57f, 57},        // the float of 0.57 is 0.569999..., still 57
      {-0.57f, -57},
      {0.01f, 1},
      {std::numeric_limits<float>::quiet_NaN(), 0},
      {1e12f, std::numeric_limits<int32_t>::max()},
      {-1e12f, std::numeric_limits<int32_t>::min()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.percent);
    SceneTable table;
    table.sceneCount = 1;
    table.scenes[0].zones = {MakeZone(VIDPOS_FREE, 0, c.percent, 0, 0, c.percent)};
    const std::string text = FormatSceneList(table);
    EXPECT_EQ(Values(text, "WIDTH"), std::vector<int>{c.written});
    EXPECT_EQ(Values(text, "POS_Y"), std::vector<int>{c.written});
  }
}

// A file value goes through a float on the way in; every value of the
// useful range (and its negative) must come out as it went in, or the file
// would drift a hundredth each time the scene manager opens and closes.
TEST_F(SceneListFileTest, EveryHundredthSurvivesReadingAndWriting) {
  std::vector<int> values;
  std::string zones;
  for (int v = -10000; v <= 10000; ++v) {
    values.push_back(v);
    zones += VZone("<WIDTH>" + std::to_string(v) + "</WIDTH><POS_X>" + std::to_string(-v) + "</POS_X>");
  }
  std::vector<Scene> scenes;
  ASSERT_TRUE(ParseSceneList(Document(SceneXml("All", zones)), &scenes));
  ASSERT_EQ(scenes.size(), 1u);
  SceneTable table;
  table.scenes[0] = scenes[0];
  table.sceneCount = 1;
  const std::string written = FormatSceneList(table);
  EXPECT_EQ(Values(written, "WIDTH"), values);
  std::vector<int> negated;
  for (int v : values) negated.push_back(-v);
  EXPECT_EQ(Values(written, "POS_X"), negated);
}

TEST_F(SceneListFileTest, WrittenFileHasTheExactLayout) {
  VideoZone full = MakeZone(VIDPOS_FULLSCREEN, 0, 100, 100);
  VideoZone inset = MakeZone(VIDPOS_FREE, 3, 25.5f, 30, 70.25f, 5);
  inset.alpha = 128;
  inset.chroma = true;
  inset.keepAspect = false;
  ASSERT_TRUE(engine_->StoreScene({full, inset}, "Caf\xC3\xA9 & <Bar>", -1));
  ASSERT_TRUE(engine_->StoreScene({MakeZone(VIDPOS_BOTTOM_LEFT, 9, 20, 20)}, "", -1));
  ASSERT_TRUE(SaveScenes(*engine_, kSceneListFileName));

  const std::string expected =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n"
      "<SCENES>\n"
      "    <SCENE Name=\"Caf\xC3\xA9 &amp; &lt;Bar&gt;\">\n"
      "        <VZONE>\n"
      "            <SOURCE_ID>0</SOURCE_ID>\n"
      "            <POSITION>VIDPOS_FULLSCREEN</POSITION>\n"
      "            <WIDTH>10000</WIDTH>\n"
      "            <HEIGHT>10000</HEIGHT>\n"
      "            <POS_X>0</POS_X>\n"
      "            <POS_Y>0</POS_Y>\n"
      "            <ALPHA>0</ALPHA>\n"
      "            <CHROMA>0</CHROMA>\n"
      "            <KEEP_AR>1</KEEP_AR>\n"
      "        </VZONE>\n"
      "        <VZONE>\n"
      "            <SOURCE_ID>3</SOURCE_ID>\n"
      "            <POSITION>VIDPOS_FREE</POSITION>\n"
      "            <WIDTH>2550</WIDTH>\n"
      "            <HEIGHT>3000</HEIGHT>\n"
      "            <POS_X>7025</POS_X>\n"
      "            <POS_Y>500</POS_Y>\n"
      "            <ALPHA>128</ALPHA>\n"
      "            <CHROMA>1</CHROMA>\n"
      "            <KEEP_AR>0</KEEP_AR>\n"
      "        </VZONE>\n"
      "    </SCENE>\n"
      "    <SCENE Name=\"\">\n"
      "        <VZONE>\n"
      "            <SOURCE_ID>9</SOURCE_ID>\n"
      "            <POSITION>VIDPOS_BOTTOM_LEFT</POSITION>\n"
      "            <WIDTH>2000</WIDTH>\n"
      "            <HEIGHT>2000</HEIGHT>\n"
      "            <POS_X>0</POS_X>\n"
      "            <POS_Y>0</POS_Y>\n"
      "            <ALPHA>0</ALPHA>\n"
      "            <CHROMA>0</CHROMA>\n"
      "            <KEEP_AR>1</KEEP_AR>\n"
      "        </VZONE>\n"
      "    </SCENE>\n"
      "</SCENES>\n";
  EXPECT_EQ(ReadSceneFile(), expected);
}

TEST_F(SceneListFileTest, ScenesWithoutZonesAreNotWrittenAndLaterScenesMoveUp) {
  ASSERT_TRUE(engine_->StoreScene({MakeZone(VIDPOS_CENTER, 1, 50, 50)}, "First", -1));
  ASSERT_TRUE(engine_->StoreScene({}, "Empty", -1));
  ASSERT_TRUE(engine_->StoreScene({MakeZone(VIDPOS_CENTER, 2, 50, 50)}, "Third", -1));
  ASSERT_EQ(engine_->SceneCount(), 3);
  ASSERT_TRUE(SaveScenes(*engine_, kSceneListFileName));

  auto loaded = NewEngine();
  ASSERT_TRUE(LoadScenes(*loaded, kSceneListFileName));
  const SceneTable table = loaded->Scenes();
  EXPECT_EQ(table.sceneCount, 2);
  EXPECT_EQ(table.scenes[0].name, "First");
  EXPECT_EQ(table.scenes[1].name, "Third");
  EXPECT_EQ(SourceIds(table.scenes[1]), std::vector<int>{2});
}

// A load of a shorter list leaves the entries above the new count as they
// were; they are not part of the list, so the next save must not bring them
// back.
TEST_F(SceneListFileTest, EntriesAboveTheLoadedCountAreKeptButNotWritten) {
  StoreThreeScenes();
  const SceneTable before = engine_->Scenes();
  WriteSceneFile(Document(SceneXml("Only", SourceZone(7))));

  ASSERT_TRUE(LoadScenes(*engine_, kSceneListFileName));
  const SceneTable after = engine_->Scenes();
  EXPECT_EQ(after.sceneCount, 1);
  EXPECT_EQ(after.scenes[0].name, "Only");
  for (std::size_t i = 1; i < 3; ++i) {
    EXPECT_EQ(after.scenes[i].name, before.scenes[i].name);
    ASSERT_EQ(after.scenes[i].zones.size(), 1u);
    EXPECT_TRUE(after.scenes[i].zones[0].SameLayout(before.scenes[i].zones[0]));
  }

  ASSERT_TRUE(SaveScenes(*engine_, kSceneListFileName));
  auto reloaded = NewEngine();
  ASSERT_TRUE(LoadScenes(*reloaded, kSceneListFileName));
  EXPECT_EQ(reloaded->SceneCount(), 1);
  EXPECT_EQ(reloaded->Scenes().scenes[1].zones.size(), 0u);
}

// ---------------------------------------------------------------------------
// Reading odd values

TEST_F(SceneListFileTest, ZoneValuesReadLikeAtoiWithDefaultsForMissingOnes) {
  const VideoZone defaults;  // centred, slot 0, keep aspect, the rest 0
  auto with = [&](auto change) {
    VideoZone zone = defaults;
    change(zone);
    return zone;
  };
  struct Case {
    const char* label;
    std::string inner;
    VideoZone expected;
  };
  const Case cases[] = {
      {"all nine values",
       "<SOURCE_ID>4</SOURCE_ID><POSITION>VIDPOS_TOP_LEFT</POSITION><WIDTH>5000</WIDTH>"
       "<HEIGHT>2500</HEIGHT><POS_X>1234</POS_X><POS_Y>-50</POS_Y><ALPHA>17</ALPHA>"
       "<CHROMA>1</CHROMA><KEEP_AR>0</KEEP_AR>",
       with([](VideoZone& z) {
         z.sourceId = 4;
         z.placement = VIDPOS_TOP_LEFT;
         z.widthFrac = 50.0f;
         z.heightFrac = 25.0f;
         z.posXFrac = 12.34f;
         z.posYFrac = -0.5f;
         z.alpha = 17;
         z.chroma = true;
         z.keepAspect = false;
       })},
      {"no values at all", "", defaults},
      {"missing KEEP_AR keeps the aspect", "<WIDTH>100</WIDTH>",
       with([](VideoZone& z) { z.widthFrac = 1.0f; })},
      {"missing POSITION is centred", "<SOURCE_ID>2</SOURCE_ID>",
       with([](VideoZone& z) { z.sourceId = 2; })},
      {"POSITION in other letter case is centred", "<POSITION>vidpos_free</POSITION>", defaults},
      {"POSITION with a suffix is centred", "<POSITION>VIDPOS_FREEX</POSITION>", defaults},
      {"every key", "<POSITION>VIDPOS_BOTTOM_RIGHT</POSITION>",
       with([](VideoZone& z) { z.placement = VIDPOS_BOTTOM_RIGHT; })},
      {"ALPHA keeps the low byte", "<ALPHA>300</ALPHA>", with([](VideoZone& z) { z.alpha = 44; })},
      {"negative ALPHA keeps the low byte", "<ALPHA>-1</ALPHA>", with([](VideoZone& z) { z.alpha = 255; })},
      {"any CHROMA but 0 keys", "<CHROMA>2</CHROMA>", with([](VideoZone& z) { z.chroma = true; })},
      {"white space, sign and trailing text", "<WIDTH><![CDATA[ \t+42abc]]></WIDTH>",
       with([](VideoZone& z) { z.widthFrac = 0.42f; })},
      {"no digits is 0, not the default", "<KEEP_AR>yes</KEEP_AR><WIDTH>-</WIDTH>",
       with([](VideoZone& z) { z.keepAspect = false; })},
      // Without text the default applies, where "no digits" would give 0.
      {"an empty KEEP_AR keeps the aspect", "<KEEP_AR/>", defaults},
      {"a KEEP_AR of white space keeps the aspect", "<KEEP_AR> \n </KEEP_AR>", defaults},
      {"a KEEP_AR holding a comment keeps the aspect", "<KEEP_AR><!-- 0 --></KEEP_AR>", defaults},
      {"an empty POSITION is centred", "<POSITION></POSITION>", defaults},
      {"a comment before the text", "<HEIGHT><!-- half -->5000</HEIGHT>",
       with([](VideoZone& z) { z.heightFrac = 50.0f; })},
      {"the first element of a name counts", "<ALPHA>5</ALPHA><ALPHA>6</ALPHA>",
       with([](VideoZone& z) { z.alpha = 5; })},
      {"numbers beyond 32 bits are clamped", "<POS_X>99999999999</POS_X><POS_Y>-99999999999</POS_Y>",
       with([](VideoZone& z) {
         z.posXFrac = static_cast<float>(2147483647 / 100.0);
         z.posYFrac = static_cast<float>(-2147483648.0 / 100.0);
       })},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<Scene> scenes;
    ASSERT_TRUE(ParseSceneList(Document(SceneXml("S", VZone(c.inner))), &scenes));
    ASSERT_EQ(scenes.size(), 1u);
    ASSERT_EQ(scenes[0].zones.size(), 1u);
    ExpectSameZone(scenes[0].zones[0], c.expected);
  }
}

// ---------------------------------------------------------------------------
// Reading odd structures

TEST_F(SceneListFileTest, OddStructuresGiveTheListTheManagerCanAddress) {
  using Expected = std::vector<std::pair<std::string, std::vector<int>>>;
  struct Case {
    const char* label;
    std::string text;
    Expected expected;
  };
  const Case cases[] = {
      {"zones with slots outside 0..9 are dropped",
       Document(SceneXml("A", SourceZone(3) + SourceZone(10) + SourceZone(5) + SourceZone(-1))),
       {{"A", {3, 5}}}},
      {"the only scene loses all its zones", Document(SceneXml("A", SourceZone(10) + SourceZone(12))), {}},
      {"a middle scene losing all zones moves the next one up",
       Document(SceneXml("A", SourceZone(1)) + SceneXml("B", SourceZone(10)) + SceneXml("C", SourceZone(2))),
       {{"A", {1}}, {"C", {2}}}},
      {"a scene without VZONE is dropped",
       Document(SceneXml("A", "") + SceneXml("B", SourceZone(4))), {{"B", {4}}}},
      {"a scene without Name has an empty name",
       Document("<SCENE>" + SourceZone(1) + "</SCENE>"), {{"", {1}}}},
      {"elements after the first SCENE are scenes whatever their name",
       Document("<INTRO Name=\"X\">" + SourceZone(9) + "</INTRO>" + SceneXml("A", SourceZone(1)) +
                "<EXTRA Name=\"B\">" + SourceZone(2) + "</EXTRA>"),
       {{"A", {1}}, {"B", {2}}}},
      {"elements after the first VZONE are zones whatever their name",
       Document(SceneXml("A", "<NOTE/>" + SourceZone(1) + "<OTHER><SOURCE_ID>2</SOURCE_ID></OTHER>")),
       {{"A", {1, 2}}}},
      {"comments between scenes and zones are ignored",
       Document("<!-- a --><SCENE Name=\"A\"><!-- b -->" + SourceZone(1) + "<!-- c -->" + SourceZone(2) +
                "</SCENE><!-- d -->"),
       {{"A", {1, 2}}}},
      {"no SCENES root", "<?xml version=\"1.0\" ?><OTHER><SCENE Name=\"A\">" + SourceZone(1) + "</SCENE></OTHER>",
       {}},
      {"only a declaration", "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>", {}},
      {"an empty root", "<SCENES />", {}},
      {"a byte order mark", "\xEF\xBB\xBF" + Document(SceneXml("A", SourceZone(1))), {{"A", {1}}}},
      {"names are UTF-8 with entities",
       Document(SceneXml("Caf\xC3\xA9 &amp; &#x263A;", SourceZone(1))), {{"Caf\xC3\xA9 & \xE2\x98\xBA", {1}}}},
      {"malformed UTF-8 in a name becomes U+FFFD",
       Document(SceneXml("A\x80" "B\xC3(", SourceZone(1))), {{"A\xEF\xBF\xBD" "B\xEF\xBF\xBD(", {1}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<Scene> scenes;
    ASSERT_TRUE(ParseSceneList(c.text, &scenes));
    Expected actual;
    for (const Scene& scene : scenes) actual.emplace_back(scene.name, SourceIds(scene));
    EXPECT_EQ(actual, c.expected);
  }
}

TEST_F(SceneListFileTest, LongNamesAreCutTo99Characters) {
  std::string name;
  for (int i = 0; i < 150; ++i) name += "\xC3\xA9";  // two bytes each
  std::vector<Scene> scenes;
  ASSERT_TRUE(ParseSceneList(Document(SceneXml(name, SourceZone(1))), &scenes));
  ASSERT_EQ(scenes.size(), 1u);
  EXPECT_EQ(scenes[0].name, name.substr(0, 198));
}

TEST_F(SceneListFileTest, OnlyTheFirstTwentyKeptScenesAreTaken) {
  std::string scenesXml;
  std::vector<std::string> expected;
  for (int i = 0; i < 25; ++i) {
    std::string name = "S";
    name += std::to_string(i);
    // Scene 2 has no usable zone: it takes no place among the 20.
    scenesXml += SceneXml(name, SourceZone(i == 2 ? 10 : i % 10));
    if (i != 2 && expected.size() < 20) expected.push_back(name);
  }
  StoreThreeScenes();
  WriteSceneFile(Document(scenesXml));
  ASSERT_TRUE(LoadScenes(*engine_, kSceneListFileName));
  const SceneTable table = engine_->Scenes();
  EXPECT_EQ(table.sceneCount, MaxScenes);
  std::vector<std::string> names;
  for (const Scene& scene : table.scenes) names.push_back(scene.name);
  EXPECT_EQ(names, expected);
}

// Many scenes and zones, names full of quotes and markup characters: the
// depth guard must not mistake such a file for a deep one.
TEST_F(SceneListFileTest, ALargeOrdinaryFileLoadsWhole) {
  for (int s = 0; s < MaxScenes; ++s) {
    std::vector<VideoZone> zones;
    for (int z = 0; z < 100; ++z) zones.push_back(MakeZone(z % kZonePlacementCount, z % 10, 10, 10, z * 0.5f, 1));
    const std::string name = "\"Q" + std::to_string(s) + "' </SCENE> <a> \xE2\x98\xBA '";
    ASSERT_TRUE(engine_->StoreScene(zones, name, -1));
  }
  ASSERT_TRUE(SaveScenes(*engine_, kSceneListFileName));
  auto loaded = NewEngine();
  ASSERT_TRUE(LoadScenes(*loaded, kSceneListFileName));
  ExpectSameTable(loaded->Scenes(), engine_->Scenes());
}

// ---------------------------------------------------------------------------
// Files that are not loaded

TEST_F(SceneListFileTest, TextsThatDoNotParseLeaveTheEngineUnchanged) {
  const std::string valid = Document(SceneXml("A", SourceZone(1)));
  struct Case {
    const char* label;
    std::string text;
  };
  const Case cases[] = {
      {"empty", ""},
      {"white space only", "  \n "},
      {"not XML", "scenes: none"},
      {"unclosed root", "<SCENES><SCENE Name=\"A\">" + SourceZone(1)},
      {"mismatched end tag", "<SCENES><SCENE Name=\"A\">" + SourceZone(1) + "</SCENES></SCENE>"},
      {"cut in half", valid.substr(0, valid.size() / 2)},
      {"ends inside a multi-byte character", "<SCENES><SCENE Name=\"A\xE2"},
      {"a NUL inside", std::string("<SCENES/>\0<x", 12)},
  };
  StoreThreeScenes();
  const SceneTable before = engine_->Scenes();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<Scene> scenes(1);
    scenes[0].name = "untouched";
    EXPECT_FALSE(ParseSceneList(c.text, &scenes));
    ASSERT_EQ(scenes.size(), 1u);
    EXPECT_EQ(scenes[0].name, "untouched");

    WriteSceneFile(c.text);
    EXPECT_FALSE(LoadScenes(*engine_, kSceneListFileName));
    ExpectSameTable(engine_->Scenes(), before);
  }
}

// The parser recurses once per nesting level and would overflow the stack
// on these; closes hidden in values, comments, CDATA or swallowed by a
// multi-byte lead byte must not fool the depth guard.
TEST_F(SceneListFileTest, DeeplyNestedTextsAreRefusedWithoutCrashing) {
  constexpr int kLevels = 100000;
  struct Case {
    const char* label;
    std::string text;
  };
  const Case cases[] = {
      {"plain nesting", Repeat("<a>", kLevels)},
      {"nesting inside the scene list", "<SCENES><SCENE Name=\"A\">" + Repeat("<VZONE>", kLevels)},
      {"closes inside attribute values", Repeat("<a b=\"/>\" c='</a>'>", kLevels)},
      {"closes inside comments", Repeat("<a><!--</a>-->", kLevels)},
      {"closes inside CDATA", Repeat("<a><![CDATA[</a>]]>", kLevels)},
      {"closes swallowed by a lead byte", Repeat("<a>\xE0</a>", kLevels)},
      {"closes inside a declaration value", Repeat("<a><?xml version=\"</a>\"?>", kLevels)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_GT(MeasureXmlBounds(c.text).depth, kMaxXmlDepth);
    std::vector<Scene> scenes;
    EXPECT_FALSE(ParseSceneList(c.text, &scenes));
  }
}

// Attribute names are checked for duplicates by a linear search, so an
// element with very many attributes would take quadratic time.
TEST_F(SceneListFileTest, AnElementWithVeryManyAttributesIsRefused) {
  std::string attributes;
  for (int i = 0; i < 20000; ++i) attributes += " a" + std::to_string(i) + "=\"\"";
  std::vector<Scene> scenes;
  EXPECT_FALSE(ParseSceneList("<SCENES" + attributes + "/>", &scenes));
  EXPECT_TRUE(ParseSceneList("<SCENES a=\"1\" b='2'/>", &scenes));
}

TEST_F(SceneListFileTest, MissingOrUnreadableFilesAreNotLoaded) {
  StoreThreeScenes();
  const SceneTable before = engine_->Scenes();

  EXPECT_FALSE(LoadScenes(*engine_, kSceneListFileName));  // no Documents folder at all
  fs::create_directories(Folder());
  EXPECT_FALSE(LoadScenes(*engine_, kSceneListFileName));  // folder without the file

  // A pipe in the file's place must neither block nor load.
  ASSERT_EQ(mkfifo(FilePath().c_str(), 0600), 0);
  EXPECT_FALSE(LoadScenes(*engine_, kSceneListFileName));
  fs::remove(FilePath());

  // A valid list padded past the size limit.
  const std::string valid = Document(SceneXml("A", SourceZone(1)));
  WriteSceneFile(valid + "<!--" + std::string(kMaxXmlFileBytes, ' ') + "-->");
  EXPECT_FALSE(LoadScenes(*engine_, kSceneListFileName));

  ExpectSameTable(engine_->Scenes(), before);

  WriteSceneFile(valid);
  EXPECT_TRUE(LoadScenes(*engine_, kSceneListFileName));
  EXPECT_EQ(engine_->SceneCount(), 1);
}

// ---------------------------------------------------------------------------
// What a load found, and unreadable files kept aside

TEST_F(SceneListFileTest, AMissingFileIsAFirstRunAndNothingIsMoved) {
  StoreThreeScenes();
  const SceneTable before = engine_->Scenes();
  const struct {
    const char* label;
    std::function<void()> prepare;
  } cases[] = {
      {"no Documents folder", [] {}},
      {"no Corvalind folder", [this] { fs::create_directories(root_ + "/Documents"); }},
      {"folder without the file", [this] { fs::create_directories(Folder()); }},
      {"a plain file where the folder should be",
       [this] {
         fs::create_directories(root_ + "/Documents");
         std::ofstream(Folder()) << "not a folder";
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(root_ + "/Documents");
    c.prepare();
    const std::set<std::string> namesBefore = FileNames(Folder());
    const SceneListLoad load = LoadScenes(*engine_, kSceneListFileName);
    EXPECT_EQ(load.status, SceneListStatus::kMissing);
    EXPECT_FALSE(load);
    EXPECT_EQ(load.path, FilePath());
    EXPECT_TRUE(load.keptAs.empty());
    EXPECT_EQ(FileNames(Folder()), namesBefore);
    ExpectSameTable(engine_->Scenes(), before);
  }
}

// Whatever has the file's name but gives no list is moved aside whole,
// under a name nothing else had, and the engine keeps what it had.
TEST_F(SceneListFileTest, UnreadableFilesAreMovedAsideWithTheirBytes) {
  const std::string valid = Document(SceneXml("A", SourceZone(1)));
  const std::string oversize = valid + "<!--" + std::string(kMaxXmlFileBytes, ' ') + "-->";
  struct Case {
    const char* label;
    bool folder;       // a folder in the file's place, holding `bytes` in a file
    std::string bytes;
  };
  const Case cases[] = {
      {"corrupt", false, "<SCENES><SCENE Name=\"Interview\"><VZONE>"},
      {"zero bytes", false, ""},
      {"larger than the cap", false, oversize},
      {"a NUL inside", false, std::string("<SCENES/>\0<x", 12)},
      {"a folder in its place", true, "inner bytes"},
  };
  StoreThreeScenes();
  const SceneTable before = engine_->Scenes();
  std::map<std::string, std::string> kept;  // aside name -> the bytes it must hold
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.folder) {
      fs::create_directories(FilePath());
      std::ofstream(FilePath() + "/inside", std::ios::binary) << c.bytes;
    } else {
      WriteSceneFile(c.bytes);
    }
    const SceneListLoad load = LoadScenes(*engine_, kSceneListFileName);
    EXPECT_EQ(load.status, SceneListStatus::kUnreadable);
    EXPECT_FALSE(load);
    EXPECT_EQ(load.path, FilePath());
    EXPECT_TRUE(IsAsideName(load.keptAs, FilePath())) << load.keptAs;
    EXPECT_TRUE(kept.emplace(load.keptAs, c.bytes).second) << "an earlier file was replaced: " << load.keptAs;
    EXPECT_FALSE(fs::exists(fs::symlink_status(FilePath())));
    EXPECT_EQ(ReadBytes(c.folder ? load.keptAs + "/inside" : load.keptAs), c.bytes);
    ExpectSameTable(engine_->Scenes(), before);
  }
  // The later loads left every earlier file as it was kept.
  EXPECT_EQ(FileNames(Folder()).size(), kept.size());
  for (const auto& [path, bytes] : kept) {
    SCOPED_TRACE(path);
    EXPECT_EQ(ReadBytes(fs::is_directory(path) ? path + "/inside" : path), bytes);
  }
}

TEST_F(SceneListFileTest, TheAsideNameCarriesTheLocalTime) {
  const char* zone = std::getenv("TZ");
  const std::optional<std::string> savedZone = zone ? std::optional<std::string>(zone) : std::nullopt;
  setenv("TZ", "UTC", 1);
  tzset();
  // 2026-06-10 09:02:03 UTC.
  EXPECT_EQ(UnreadableFileName("/d/scenes.xml", 1781082123), "/d/scenes.xml.unreadable-20260610-090203");
  setenv("TZ", "UTC-2", 1);  // two hours east of UTC, POSIX's sign
  tzset();
  EXPECT_EQ(UnreadableFileName("/d/scenes.xml", 1781082123), "/d/scenes.xml.unreadable-20260610-110203");
  // The pattern the other tests check aside names against.
  EXPECT_TRUE(IsAsideName("/d/scenes.xml.unreadable-20260610-110203-12", "/d/scenes.xml"));
  for (const char* wrong : {"/d/scenes.xml", "/d/scenes.xml.unreadable-2026061-110203",
                            "/d/scenes.xml.unreadable-20260610-110203-", "/d/other.xml.unreadable-20260610-110203",
                            "/d/scenes.xml.unreadable-20260610_110203"}) {
    EXPECT_FALSE(IsAsideName(wrong, "/d/scenes.xml")) << wrong;
  }
  if (savedZone) {
    setenv("TZ", savedZone->c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

// The name taken by an earlier file, a folder or a dangling link is passed
// over; nothing under any of those names is touched.
TEST_F(SceneListFileTest, MovingAsideNeverReplacesAnything) {
  fs::create_directories(Folder());
  const std::string from = Folder() + "/list";
  const std::string aside = Folder() + "/list.old";
  std::ofstream(from) << "new";
  std::ofstream(aside) << "first";
  fs::create_directories(aside + "-1");
  fs::create_symlink(Folder() + "/nowhere", aside + "-2");
  EXPECT_EQ(MoveAside(from, aside), aside + "-3");
  EXPECT_EQ(ReadBytes(aside + "-3"), "new");
  EXPECT_EQ(ReadBytes(aside), "first");
  EXPECT_TRUE(fs::is_directory(aside + "-1"));
  EXPECT_TRUE(fs::is_symlink(aside + "-2"));
  EXPECT_FALSE(fs::exists(from));

  // Nothing to move, and a target name too long for the file system: the
  // result is empty and nothing changed.
  const std::set<std::string> names = FileNames(Folder());
  EXPECT_EQ(MoveAside(Folder() + "/absent", Folder() + "/absent.old"), "");
  std::ofstream(from) << "again";
  EXPECT_EQ(MoveAside(from, Folder() + "/" + std::string(300, 'n')), "");
  EXPECT_EQ(ReadBytes(from), "again");
  std::set<std::string> expected = names;
  expected.insert("list");
  EXPECT_EQ(FileNames(Folder()), expected);
}

TEST_F(SceneListFileTest, AListWithoutScenesEmptiesTheCount) {
  StoreThreeScenes();
  WriteSceneFile("<SCENES></SCENES>");
  ASSERT_TRUE(LoadScenes(*engine_, kSceneListFileName));
  EXPECT_EQ(engine_->SceneCount(), 0);
}

// ---------------------------------------------------------------------------
// Saving

TEST_F(SceneListFileTest, SaveCreatesTheFoldersAndReplacesTheFileWhole) {
  ASSERT_TRUE(engine_->StoreScene({MakeZone(VIDPOS_CENTER, 1, 50, 50)}, "First", -1));
  ASSERT_FALSE(fs::exists(root_ + "/Documents"));
  ASSERT_TRUE(SaveScenes(*engine_, kSceneListFileName));
  EXPECT_EQ(Values(ReadSceneFile(), "SOURCE_ID"), std::vector<int>{1});

  // A neighbour left behind by a crash, here even a link to another file,
  // is replaced, never written through.
  const std::string elsewhere = root_ + "/elsewhere";
  std::ofstream(elsewhere) << "keep";
  fs::create_symlink(elsewhere, FilePath() + ".new");

  ASSERT_TRUE(engine_->StoreScene({MakeZone(VIDPOS_CENTER, 2, 50, 50)}, "First", 0));
  ASSERT_TRUE(SaveScenes(*engine_, kSceneListFileName));
  EXPECT_EQ(Values(ReadSceneFile(), "SOURCE_ID"), std::vector<int>{2});
  EXPECT_FALSE(fs::exists(fs::symlink_status(FilePath() + ".new")));
  std::ifstream kept(elsewhere);
  std::string content;
  kept >> content;
  EXPECT_EQ(content, "keep");
}

TEST_F(SceneListFileTest, SaveReportsAFolderThatCannotBeMade) {
  fs::create_directories(root_ + "/Documents");
  std::ofstream(Folder()) << "a file where the folder should be";
  ASSERT_TRUE(engine_->StoreScene({MakeZone(VIDPOS_CENTER, 1, 50, 50)}, "First", -1));
  EXPECT_FALSE(SaveScenes(*engine_, kSceneListFileName));
}

}  // namespace
}  // namespace corvalind

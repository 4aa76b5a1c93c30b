// The guarded file reading and replacing every file of the project goes
// through, and the one decimal-number reading.
#include "platform/file_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/decimal.h"

namespace corvalind {
namespace {

namespace fs = std::filesystem;

TEST(DecimalTest, ReadsLikeTheCLibraryAndClamps) {
  const struct {
    const char* text;
    int32_t value;
  } cases[] = {{"42", 42},   {"  -7x", -7}, {"+", 0},     {"", 0},         {"\t12", 12},
               {"\n\v\f\r 3", 3}, {"--1", 0}, {"+7", 7},    {"1e5", 1},      {" 12 s", 12},
               {"99999999999", 2147483647},   {"-99999999999", -2147483647 - 1},
               {"2147483648", 2147483647},    {"-2147483648", -2147483647 - 1},
               {"000000000000000000000000000009", 9}};
  for (const auto& c : cases) EXPECT_EQ(ParseDecimal(c.text), c.value) << c.text;
}

class FileIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("corvalind-file-io-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const char* name) const { return (dir_ / name).string(); }
  static std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  fs::path dir_;
};

TEST_F(FileIoTest, ReadsWholeFilesUpToTheLimitOrTheirPrefix) {
  std::ofstream(Path("ten")) << "0123456789";
  std::ofstream(Path("empty")).flush();
  const struct {
    const char* name;
    std::size_t limit;
    ReadLimit mode;
    bool ok;
    const char* text;
  } cases[] = {
      {"ten", 10, ReadLimit::kRefuseLarger, true, "0123456789"},
      {"ten", 9, ReadLimit::kRefuseLarger, false, ""},
      {"ten", 4, ReadLimit::kTakePrefix, true, "0123"},
      {"ten", 100, ReadLimit::kTakePrefix, true, "0123456789"},
      {"empty", 0, ReadLimit::kRefuseLarger, true, ""},
      {"missing", 100, ReadLimit::kRefuseLarger, false, ""},
  };
  for (const auto& c : cases) {
    std::string text = "untouched";
    EXPECT_EQ(ReadRegularFile(Path(c.name), c.limit, c.mode, &text), c.ok) << c.name << " " << c.limit;
    EXPECT_EQ(text, c.ok ? c.text : "untouched") << c.name << " " << c.limit;
  }
}

TEST_F(FileIoTest, NeverReadsAPipeADeviceOrAFolder) {
  // A pipe nobody writes to would block a plain read forever.
  ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0600), 0);
  std::string text;
  EXPECT_FALSE(ReadRegularFile(Path("pipe"), 100, ReadLimit::kTakePrefix, &text));
  // An endless device: refused, not read until memory runs out.
  EXPECT_FALSE(ReadRegularFile("/dev/zero", 100, ReadLimit::kRefuseLarger, &text));
  EXPECT_FALSE(ReadRegularFile(dir_.string(), 100, ReadLimit::kRefuseLarger, &text));
}

TEST_F(FileIoTest, ReplacesThroughAFreshNeighbourAndLeavesNoneBehind) {
  const std::string path = Path("scenes.xml");
  ASSERT_TRUE(ReplaceFile(path, "first"));
  EXPECT_EQ(Contents(path), "first");
  // A neighbour left by a crash, here even a link to another file, is
  // replaced, never followed.
  std::ofstream(Path("victim")) << "keep";
  fs::create_symlink(Path("victim"), path + ".new");
  ASSERT_TRUE(ReplaceFile(path, "second", 0600));
  EXPECT_EQ(Contents(path), "second");
  EXPECT_EQ(Contents(Path("victim")), "keep");
  EXPECT_FALSE(fs::exists(fs::symlink_status(path + ".new")));
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(FileIoTest, AFailedReplaceKeepsTheOldFile) {
  EXPECT_FALSE(ReplaceFile(Path("no-folder/file"), "text"));
  EXPECT_FALSE(fs::exists(Path("no-folder")));
  // A folder in the file's place cannot be renamed over: the old entry
  // stays and no neighbour is left.
  fs::create_directories(Path("taken"));
  EXPECT_FALSE(ReplaceFile(Path("taken"), "text"));
  EXPECT_TRUE(fs::is_directory(Path("taken")));
  EXPECT_FALSE(fs::exists(Path("taken") + ".new"));
  if (geteuid() != 0) {
    const std::string path = Path("kept");
    ASSERT_TRUE(ReplaceFile(path, "old"));
    chmod(dir_.c_str(), 0500);
    EXPECT_FALSE(ReplaceFile(path, "new"));
    chmod(dir_.c_str(), 0700);
    EXPECT_EQ(Contents(path), "old");
  }
}

}  // namespace
}  // namespace corvalind

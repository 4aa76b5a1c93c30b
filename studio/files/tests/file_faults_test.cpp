// The studio's three files under faults: settings.txt, scenes.xml and a
// project, each written by its own writer.
//  - A file system that takes no more bytes (the file-size limit, which
//    fails writes as a full disk does, and a real full tmpfs where this
//    machine lets the test mount one): the writer says it failed, the old
//    file stays byte for byte, and no neighbour file is left.
//  - A writer killed with SIGKILL at random moments, a few hundred times:
//    the name always holds the old or the new text whole, never a torn one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/source_slot.h"
#include "engine/video_engine.h"
#include "platform/settings_file.h"
#include "studio/files/project_file.h"
#include "studio/files/scene_list_file.h"
#include "test_support/frames.h"
#include "test_support/status_texts.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

namespace fs = std::filesystem;

std::string Bytes(const fs::path& path) { return testing::ReadBytes(path.string()); }

// One of the three files: where it lives and how each of its two versions
// is written (the first one larger, so a limit between the two sizes stops
// it).
struct Writer {
  const char* name;
  std::function<fs::path()> path;
  std::function<bool(int version)> write;
};

std::vector<Writer> Writers(const fs::path& folder) {
  static SourceSlotTable slots;
  static OutputFormat format;
  static std::shared_ptr<VideoEngine> big;
  static std::shared_ptr<VideoEngine> small;
  if (!big) {
    big = VideoEngine::Create(slots, format);
    small = VideoEngine::Create(slots, format);
    for (int i = 0; i < 20; ++i) {
      big->StoreScene({testing::FullZone(i % 10), testing::FullZone((i + 1) % 10)},
                      "Scene with a long name number " + std::to_string(i), -1);
    }
    small->StoreScene({testing::FullZone(0)}, "Only", -1);
  }
  const auto project = [](int windows) {
    ProjectDocument document;
    document.config.autoKey = true;
    for (int i = 0; i < windows; ++i) {
      document.windows.push_back(ProjectWindow{i % 12, 10 * i, 20 * i, {{"DATA", "/media/clip-" + std::to_string(i) + ".mp4"}}});
    }
    return document;
  };
  const fs::path settings = folder / "settings.txt";
  const fs::path projectPath = folder / "show.cvd";
  return {
      {"settings.txt", [=] { return settings; },
       [=](int v) { return v == 0 ? WriteSettingsFile(settings.string(), 13, 3, true) : WriteSettingsFile(settings.string(), 1, 2, false); }},
      {"scenes.xml", [] { return fs::path(SceneListPath("scenes.xml")); },
       [](int v) { return SaveScenes(v == 0 ? *big : *small, "scenes.xml"); }},
      {"project", [=] { return projectPath; },
       [=](int v) { return WriteProjectFile(projectPath.string(), project(v == 0 ? 40 : 2)); }},
  };
}

class FileFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = testing::FreshTestFolder("file-faults"); }
  fs::path folder_;
};

// Runs `body` with writes past `bytes` into any file failing (EFBIG), as a
// full disk fails them.
bool WithFileSizeLimit(rlim_t bytes, const std::function<bool()>& body) {
  rlimit before{};
  getrlimit(RLIMIT_FSIZE, &before);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previous {};
  sigaction(SIGXFSZ, &ignore, &previous);
  rlimit limited = before;
  limited.rlim_cur = bytes;
  setrlimit(RLIMIT_FSIZE, &limited);
  const bool result = body();
  setrlimit(RLIMIT_FSIZE, &before);
  sigaction(SIGXFSZ, &previous, nullptr);
  return result;
}

TEST_F(FileFaultsTest, AWriteThatRunsOutOfSpaceKeepsTheOldFileWhole) {
  for (const Writer& writer : Writers(folder_)) {
    SCOPED_TRACE(writer.name);
    ASSERT_TRUE(writer.write(0));
    const std::string large = Bytes(writer.path());
    ASSERT_TRUE(writer.write(1));
    const std::string old = Bytes(writer.path());
    ASSERT_LT(old.size(), large.size());
    // The larger version no longer fits.
    const rlim_t limit = large.size() / 2;
    EXPECT_FALSE(WithFileSizeLimit(limit, [&] { return writer.write(0); })) << "the failure is said";
    EXPECT_EQ(Bytes(writer.path()), old);
    EXPECT_FALSE(fs::exists(writer.path().string() + ".new"));
  }
}

// The same on a real file system that is full, where the machine lets the
// test mount one.
TEST_F(FileFaultsTest, AFullFileSystemKeepsTheOldFileWhole) {
  const fs::path mountPoint = folder_ / "small";
  fs::create_directories(mountPoint);
  if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "no tmpfs can be mounted here (" << std::strerror(errno) << ")";
  }
  struct Unmount {
    fs::path at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{mountPoint};
  const std::string path = (mountPoint / "settings.txt").string();
  ASSERT_TRUE(WriteSettingsFile(path, 1, 2, false));
  const std::string old = Bytes(path);
  // Fill what is left.
  {
    std::ofstream filler(mountPoint / "filler", std::ios::binary);
    const std::string block(4096, 'x');
    for (int i = 0; i < 64 && filler.write(block.data(), static_cast<std::streamsize>(block.size())); ++i) {
    }
  }
  EXPECT_FALSE(WriteSettingsFile(path, 13, 3, true));
  EXPECT_EQ(Bytes(path), old);
  EXPECT_FALSE(fs::exists(path + ".new"));
}

TEST_F(FileFaultsTest, AWriterKilledAtAnyMomentLeavesTheOldOrTheNewTextWhole) {
  std::mt19937 random(20261210);
  for (const Writer& writer : Writers(folder_)) {
    SCOPED_TRACE(writer.name);
    ASSERT_TRUE(writer.write(0));
    const std::string first = Bytes(writer.path());
    ASSERT_TRUE(writer.write(1));
    const std::string second = Bytes(writer.path());
    int sawFirst = 0;
    int sawSecond = 0;
    for (int round = 0; round < 120; ++round) {
      const pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        // Saves the two versions in turn until it is killed.
        for (int v = 0;; v ^= 1) writer.write(v);
      }
      // A random moment: most land inside a save, whose fsyncs take time.
      usleep(std::uniform_int_distribution<useconds_t>(0, 4000)(random));
      kill(child, SIGKILL);
      int status = 0;
      waitpid(child, &status, 0);
      const std::string now = Bytes(writer.path());
      ASSERT_TRUE(now == first || now == second) << "round " << round << ": a torn file of " << now.size() << " bytes";
      (now == first ? sawFirst : sawSecond)++;
    }
    // The next save clears whatever neighbour a kill left.
    ASSERT_TRUE(writer.write(1));
    EXPECT_FALSE(fs::exists(writer.path().string() + ".new"));
    RecordProperty(std::string(writer.name) + "_first", sawFirst);
    RecordProperty(std::string(writer.name) + "_second", sawSecond);
  }
}

}  // namespace
}  // namespace corvalind

int main(int argc, char** argv) {
  corvalind::testing::TemporaryHome home("corvalind-file-faults");
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

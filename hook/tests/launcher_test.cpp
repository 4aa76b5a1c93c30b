// snaptrace-run: what the game it starts gets, and what comes back from it.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "hook/tests/hook_test_support.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

using testing::ChildProcess;

class Launcher : public ::testing::Test {
 protected:
  void SetUp() override { testing::UsePrivateExchange(); }

  // Runs snaptrace-run (or the given copy of it) and returns its exit code;
  // -1 when it did not end.
  int Run(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {},
          const std::string& launcher = testing::SnaptraceRunPath()) {
    std::vector<std::string> argv{launcher};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ChildProcess child;
    if (!child.Start(argv, environment, LogPath())) return -1;
    int status = 0;
    if (!child.WaitExit(std::chrono::seconds(20), &status)) return -1;
    return testing::ExitCode(status);
  }
  std::string LogPath() const { return (home_.Root() / "launcher.log").string(); }
  std::string OutputPath() const { return (home_.Root() / "out.txt").string(); }
  std::string Library() const { return std::filesystem::canonical(testing::SnaptraceLibraryPath()).string(); }

  testing::TemporaryHome home_{"hook-launcher"};
};

struct StatusCase {
  const char* name;
  const char* script;
  int exitCode;
};

void PrintTo(const StatusCase& c, std::ostream* out) { *out << c.name; }

class LauncherExit : public Launcher, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(LauncherExit, IsTheGames) { EXPECT_EQ(Run({"/bin/sh", "-c", GetParam().script}), GetParam().exitCode); }

INSTANTIATE_TEST_SUITE_P(Games, LauncherExit,
                         ::testing::Values(StatusCase{"Success", "exit 0", 0}, StatusCase{"Failure", "exit 7", 7},
                                           StatusCase{"KilledBySignal", "kill -TERM $$", 128 + SIGTERM}),
                         [](const ::testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.name); });

struct PreloadCase {
  const char* name;
  const char* existing;  // LD_PRELOAD before, null: unset
  const char* after;     // what follows the library's path
};

void PrintTo(const PreloadCase& c, std::ostream* out) { *out << c.name; }

class LauncherPreload : public Launcher, public ::testing::WithParamInterface<PreloadCase> {};

TEST_P(LauncherPreload, PutsTheLibraryFirstAndKeepsTheRest) {
  std::vector<std::string> environment;
  if (GetParam().existing) environment.push_back(std::string("LD_PRELOAD=") + GetParam().existing);
  const std::string script = "printf %s \"$LD_PRELOAD\" > '" + OutputPath() + "'";
  if (!GetParam().existing) unsetenv("LD_PRELOAD");
  ASSERT_EQ(Run({"/bin/sh", "-c", script}, environment), 0);
  EXPECT_EQ(testing::ReadBytes(OutputPath()), Library() + GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(Values, LauncherPreload,
                         ::testing::Values(PreloadCase{"Unset", nullptr, ""}, PreloadCase{"Empty", "", ""},
                                           PreloadCase{"Another", "libcorvalind-none.so", ":libcorvalind-none.so"}),
                         [](const ::testing::TestParamInfo<PreloadCase>& info) { return std::string(info.param.name); });

TEST_F(Launcher, GameGetsTheLibraryButNoGlLibrary) {
  ASSERT_EQ(Run({"/bin/sh", "-c", "cat /proc/self/maps > '" + OutputPath() + "'"}), 0);
  const std::string maps = testing::ReadBytes(OutputPath());
  EXPECT_NE(maps.find(Library()), std::string::npos);
  EXPECT_EQ(maps.find("libGL"), std::string::npos);
  EXPECT_EQ(maps.find("libEGL"), std::string::npos);
}

TEST_F(Launcher, FindsTheLibraryOfAnInstalledTree) {
  const std::filesystem::path prefix = home_.Root() / "prefix";
  std::filesystem::create_directories(prefix / "bin");
  std::filesystem::create_directories(prefix / SNAPTRACE_RELATIVE_LIBDIR);
  std::filesystem::copy_file(testing::SnaptraceRunPath(), prefix / "bin" / "snaptrace-run");
  std::filesystem::copy_file(testing::SnaptraceLibraryPath(), prefix / SNAPTRACE_RELATIVE_LIBDIR / "libsnaptrace.so");
  const std::string script = "printf %s \"$LD_PRELOAD\" > '" + OutputPath() + "'";
  unsetenv("LD_PRELOAD");
  ASSERT_EQ(Run({"/bin/sh", "-c", script}, {}, (prefix / "bin" / "snaptrace-run").string()), 0);
  EXPECT_EQ(testing::ReadBytes(OutputPath()),
            std::filesystem::canonical(prefix / SNAPTRACE_RELATIVE_LIBDIR / "libsnaptrace.so").string());
}

TEST_F(Launcher, SaysWhatWentWrong) {
  EXPECT_EQ(Run({}), 2);
  EXPECT_NE(testing::ReadBytes(LogPath()).find("Usage: snaptrace-run GAME [ARGS]"), std::string::npos);
  EXPECT_EQ(Run({"/nonexistent/corvalind-game"}), 127);
  EXPECT_NE(testing::ReadBytes(LogPath()).find("snaptrace-run: cannot run /nonexistent/corvalind-game"),
            std::string::npos);
  EXPECT_EQ(Run({"/dev/null"}), 126);
}

}  // namespace
}  // namespace corvalind

// The studio program ends in order on SIGTERM, SIGINT and SIGHUP: it exits
// normally and releases its output block, as File > Exit does, instead of
// dying with the block left behind in shared memory.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "studio/files/project_file.h"
#include "studio/window_kinds.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

namespace fs = std::filesystem;

// The shared memory object behind a private output-buffer name.
fs::path BlockPath(const std::string& name) { return fs::path("/dev/shm") / (name + "." + std::to_string(getuid())); }

class ShutdownTest : public ::testing::TestWithParam<int> {};

TEST_P(ShutdownTest, SignalEndsTheStudioInOrder) {
  const int signalNumber = GetParam();
  testing::TemporaryHome home("corvalind-shutdown-" + std::to_string(signalNumber));
  const std::string project = (home.Root() / "program.cvd").string();
  ProjectDocument document;
  document.windows.push_back(ProjectWindow{kKindProgram, 0, 0, {}});
  ASSERT_TRUE(WriteProjectFile(project, document));
  const std::string name = "CorvalindTest_shutdown_" + std::to_string(getpid()) + "_" + std::to_string(signalNumber);
  fs::remove(BlockPath(name));

  const pid_t studio = fork();
  ASSERT_GE(studio, 0);
  if (studio == 0) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(126);
    execl(CORVALIND_STUDIO_PROGRAM, "corvalind", "--output-name", name.c_str(), project.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  // The program view publishes once the project has opened it.
  const bool published = testing::WaitFor([&] { return fs::exists(BlockPath(name)); }, std::chrono::seconds(60));
  EXPECT_TRUE(published);
  kill(studio, signalNumber);
  int status = 0;
  ASSERT_EQ(waitpid(studio, &status, 0), studio);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(fs::exists(BlockPath(name))) << "the output block was left behind";
  fs::remove(BlockPath(name));
}

INSTANTIATE_TEST_SUITE_P(Signals, ShutdownTest, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(sigabbrev_np(info.param));
                         });

}  // namespace
}  // namespace corvalind

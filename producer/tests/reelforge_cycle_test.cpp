// The recording cycle: the derived numbers, the file numbering, files that
// rotate m1, m2, m3, m1 and arrive on an FTP server, the login test at
// start, the restart on resident-set growth, and the program itself.
#include "producer/reelforge_cycle.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "producer/reelforge_config.h"
#include "producer/tests/ftp_test_server.h"
#include "producer/tests/reelforge_test_support.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

using testing::TestFolder;

TEST(CycleNumbersTest, TheyComeFromDurationRateOverlapAndParts) {
  struct Case {
    int duration, fps, overlap, parts;
    std::int64_t target, limitMs;
  };
  const Case cases[] = {
      {30, 25, 5, 5, 750, 36000},  // the defaults: close at 750, next starts at 745
      {1, 25, 5, 3, 25, 1200},
      {2, 30, 0, 1, 60, 2400},
      {7, 10, 3, 2, 70, 8400},
      {0, 25, 5, 5, 0, 0},
  };
  for (const Case& c : cases) {
    ReelforgeConfig config;
    config.webmVideoDuration = c.duration;
    config.videoFps = c.fps;
    config.overlappedFrames = c.overlap;
    config.webmParts = c.parts;
    const CycleNumbers n = CycleNumbersFor(config);
    EXPECT_EQ(n.targetFrames, c.target) << c.duration;
    EXPECT_EQ(n.timeLimitMs, c.limitMs) << c.duration;
    EXPECT_EQ(n.overlap, c.overlap);
    EXPECT_EQ(n.parts, c.parts);
  }
}

TEST(CycleNumbersTest, FilesRotateThroughTheParts) {
  struct Case {
    int parts;
    std::vector<int> sequence;
  };
  const Case cases[] = {
      {3, {1, 2, 3, 1, 2, 3, 1, 2, 3}},
      {5, {1, 2, 3, 4, 5, 1, 2, 3, 4, 5, 1}},
      {2, {1, 2, 1, 2, 1, 2}},
      {1, {1, 2, 1, 1, 1, 1}},  // below 2: m2 once, then always m1
      {0, {1, 2, 1, 1, 1}},
      {4, {1, 2, 3, 4, 1, 2, 3, 4}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FileNumberSequence(c.parts, static_cast<int>(c.sequence.size())), c.sequence) << c.parts;
  }
}

TEST(CycleNumbersTest, TheResidentSetIsReadFromTheProcess) {
  unsigned kb = 0;
  ASSERT_TRUE(ResidentSetKb(&kb));
  EXPECT_GT(kb, 100u);
  std::vector<char> grown(64 << 20, 1);  // 64 MiB touched
  unsigned after = 0;
  ASSERT_TRUE(ResidentSetKb(&after));
  EXPECT_GE(after, kb + 60000u) << static_cast<int>(grown[12345]);
}

// The console of a run, written to a file and read back.
class Console {
 public:
  Console() : file_(std::tmpfile()) {}
  ~Console() { std::fclose(file_); }
  std::FILE* File() const { return file_; }
  std::string Text() const {
    std::fflush(file_);
    std::string text;
    std::rewind(file_);
    char chunk[4096];
    while (std::size_t got = std::fread(chunk, 1, sizeof chunk, file_)) text.append(chunk, got);
    return text;
  }

 private:
  std::FILE* file_;
};

class CycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::UseSmallCameraPicture();
    bufferName_ = testing::PrivateBufferName("cycle");
    ASSERT_TRUE(writer_.Create(bufferName_, testing::kTestWidth * testing::kTestHeight * 3));
    writer_.Publish(testing::SolidPicture(30, 160, 220));
    options_.iniPath = (folder_.Path() / "Reelforge.ini").string();
    options_.bufferName = bufferName_;
    options_.out = console_.File();
  }
  void TearDown() override { ReleaseOutputBlock(writer_.block); }

  void WriteIni(const std::string& lines) {
    std::ofstream(options_.iniPath) << "; written by the test\nOUTPUT_FILES=" << folder_.Prefix() << "\n" << lines;
  }

  TestFolder folder_{"cycle"};
  std::string bufferName_;
  testing::TestWriter writer_;
  Console console_;
  ReelforgeRunOptions options_;
};

TEST_F(CycleTest, FilesRotateAndArriveOnTheFtpServer) {
  testing::FtpTestServer server(folder_.Path() / "ftp");
  ASSERT_TRUE(server.Started()) << server.Log();
  const FtpLogonInfo logon = server.Logon();
  WriteIni("WEBM_VIDEO_DURATION=1\nwebm_parts=3\nOVERLAPPED_FRAMES=5\nREBOOT_MEMORY_KB=0\nFTP_HOST=" + logon.host +
           "\nFTP_USER=" + logon.user + "\nFTP_PASS=" + logon.password + "\nFTP_FOLDER=/reels\n");
  options_.ftpPort = logon.port;
  options_.fileLimit = 4;
  const ReelforgeOutcome outcome = RunReelforge(options_);
  const std::string text = console_.Text();
  ASSERT_EQ(outcome.end, ReelforgeEnd::kFileLimit) << text;
  EXPECT_EQ(outcome.files, (std::vector<std::string>{"m1.webm", "m2.webm", "m3.webm", "m1.webm"})) << text;

  EXPECT_EQ(text.rfind(kReelforgeBanner, 0), 0u) << text;
  for (const char* line : {"gl_WebmVideoDuration:1\n", "gl_WebmParts:3\n", "Loading configuration...Done!\n",
                           "Prepare graph...done!\n", "FTP setup...done!\n", "Test FTP access...", "<== 230",
                           "Close graph...done!\n", "total cr1:", "total cr2:"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  }
  EXPECT_EQ(text.find("FTP disabled!"), std::string::npos);
  EXPECT_EQ(text.find("Cannot"), std::string::npos) << text;
  // Each file closes at 25 counted frames or after 1.2 s, and never holds
  // more than its 25.
  std::vector<unsigned> totals;
  for (std::size_t at = text.find("total cr"); at != std::string::npos; at = text.find("total cr", at + 1)) {
    unsigned frames = 0;
    ASSERT_EQ(std::sscanf(text.c_str() + at + 8, "%*d:%u", &frames), 1);
    EXPECT_GE(frames, 1u);
    EXPECT_LE(frames, 25u);
    totals.push_back(frames);
  }
  ASSERT_EQ(totals.size(), 4u) << text;

  // The server holds m1 (from the second pass), m2 and m3, no temporary.
  EXPECT_EQ(testing::FileNames((server.Root() / "reels").string()),
            (std::set<std::string>{"m1.webm", "m2.webm", "m3.webm"}));
  for (const char* name : {"m1.webm", "m2.webm", "m3.webm"}) {
    SCOPED_TRACE(name);
    const std::string remote = testing::ReadBytes((server.Root() / "reels" / name).string());
    // The last run's cut-short m2 (the recorder already started for the
    // fifth file) replaced the local m2 when the run ended.
    if (std::string(name) != "m2.webm") {
      EXPECT_EQ(remote, testing::ReadBytes(folder_.Prefix() + name)) << "uploaded whole";
    }
    const testing::DecodedFile file = testing::Decode((server.Root() / "reels" / name).string());
    EXPECT_TRUE(file.complete);
    EXPECT_GE(file.frames, 1);
    EXPECT_EQ(file.width, testing::kTestWidth);
  }
  // What each uploaded file holds is what its recorder counted: the third
  // file is m3, the fourth the second m1.
  for (const auto& [name, total] : {std::pair<const char*, unsigned>{"m3.webm", totals[2]}, {"m1.webm", totals[3]}}) {
    const auto probed = testing::FfProbe((server.Root() / "reels" / name).string(), "v");
    EXPECT_EQ(probed.count("codec_name") ? probed.at("codec_name") : "", "vp8") << name;
    EXPECT_EQ(probed.count("nb_read_frames") ? probed.at("nb_read_frames") : "", std::to_string(total)) << name;
  }
  int renames = 0;
  for (const std::string& command : server.Commands()) renames += command == "RNTO m1.webm";
  EXPECT_EQ(renames, 2) << "m1 went up twice";
}

TEST_F(CycleTest, AFailedLoginAtStartEndsTheProgram) {
  testing::FtpTestServer server(folder_.Path() / "ftp");
  ASSERT_TRUE(server.Started()) << server.Log();
  const FtpLogonInfo logon = server.Logon();
  WriteIni("FTP_HOST=" + logon.host + "\nFTP_USER=" + logon.user + "\nFTP_PASS=wrong\n");
  options_.ftpPort = logon.port;
  options_.fileLimit = 1;
  const ReelforgeOutcome outcome = RunReelforge(options_);
  const std::string text = console_.Text();
  EXPECT_EQ(outcome.end, ReelforgeEnd::kLoginFailed);
  EXPECT_TRUE(outcome.files.empty());
  EXPECT_NE(text.find("Test FTP access..."), std::string::npos) << text;
  EXPECT_NE(text.find("error: Logon failed.\n"), std::string::npos) << text;
  const std::string ending = "\n\n FTP error - check settings and try again!\n\n";
  ASSERT_GE(text.size(), ending.size());
  EXPECT_EQ(text.substr(text.size() - ending.size()), ending) << text;
  EXPECT_FALSE(std::filesystem::exists(folder_.Prefix() + "m1.webm")) << "nothing was recorded";
}

TEST_F(CycleTest, AResidentSetAboveTheLimitEndsTheCycleForARestart) {
  WriteIni("WEBM_VIDEO_DURATION=1\nWEBM_PARTS=3\nREBOOT_MEMORY_KB=1\n");
  const ReelforgeOutcome outcome = RunReelforge(options_);
  const std::string text = console_.Text();
  ASSERT_EQ(outcome.end, ReelforgeEnd::kRestart) << text;
  EXPECT_EQ(outcome.files, (std::vector<std::string>{"m1.webm", "m2.webm"})) << "after one pair";
  EXPECT_GT(outcome.residentKb, 1u);
  EXPECT_NE(text.find("FTP disabled!\n"), std::string::npos);
  EXPECT_NE(text.find("\nReboot [MEMORY LEAK " + std::to_string(outcome.residentKb) + "K]!!!\n"), std::string::npos)
      << text;
  EXPECT_EQ(text.find("WorkingSetSize"), std::string::npos);
}

TEST_F(CycleTest, BelowTheLimitTheWorkingSetIsPrinted) {
  WriteIni("WEBM_VIDEO_DURATION=1\nREBOOT_MEMORY_KB=100000000\n");
  options_.fileLimit = 3;
  const ReelforgeOutcome outcome = RunReelforge(options_);
  const std::string text = console_.Text();
  EXPECT_EQ(outcome.end, ReelforgeEnd::kFileLimit);
  EXPECT_NE(text.find("WorkingSetSize = "), std::string::npos) << text;
  EXPECT_EQ(outcome.files, (std::vector<std::string>{"m1.webm", "m2.webm", "m3.webm"}));
}

// The next file starts OVERLAPPED_FRAMES before the end of the current
// one, so the last pictures of m1 are also the first of m2. The published
// picture is a grey level that changes every 120 ms through 34 steps and
// starts again, so each decoded frame says when it was taken. Starting a graph takes a while on a busy machine or
// under the sanitizers, so the overlap is generous: m2 starts 60 frames
// before the end of m1's 75, 15 frames after its start.
TEST_F(CycleTest, ConsecutiveFilesShareTheOverlappedFrames) {
  WriteIni("WEBM_VIDEO_DURATION=3\nWEBM_PARTS=3\nOVERLAPPED_FRAMES=60\nREBOOT_MEMORY_KB=0\n");
  options_.fileLimit = 2;
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    const auto start = std::chrono::steady_clock::now();
    int shown = -1;
    while (feeding.load()) {
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
      const int code = static_cast<int>(ms.count() / 120 % 34);
      if (code != shown) {
        const auto level = static_cast<uint8_t>(20 + 7 * code);
        writer_.Publish(testing::SolidPicture(level, level, level));
        shown = code;
      }
      // The publisher's own pace: the next step's instant.
      std::this_thread::sleep_until(start + std::chrono::milliseconds((ms.count() / 120 + 1) * 120));
    }
  });
  const ReelforgeOutcome outcome = RunReelforge(options_);
  feeding = false;
  feeder.join();
  ASSERT_EQ(outcome.files, (std::vector<std::string>{"m1.webm", "m2.webm"})) << console_.Text();

  auto codes = [](const testing::DecodedFile& file) {
    std::vector<int> out;
    // The steps as a count that goes on past 34: a level far below the one
    // before is the next round.
    int rounds = 0;
    for (const auto& centre : file.centres) {
      const int code = (centre[1] - 20 + 3) / 7;
      if (!out.empty() && code + 34 * rounds < out.back() - 17) ++rounds;
      out.push_back(code + 34 * rounds);
    }
    return out;
  };
  const std::vector<int> first = codes(testing::Decode(folder_.Prefix() + "m1.webm"));
  std::vector<int> second = codes(testing::Decode(folder_.Prefix() + "m2.webm"));
  // m2 starts within m1: in m1's round.
  while (!second.empty() && !first.empty() && second.front() <= first.back() - 34) {
    for (int& code : second) code += 34;
  }
  ASSERT_GE(first.size(), 10u);
  ASSERT_GE(second.size(), 10u);
  const std::ptrdiff_t window = 60;
  const std::vector<int> tail(first.end() - std::min<std::ptrdiff_t>(window, first.size()), first.end());
  const std::vector<int> head(second.begin(), second.begin() + std::min<std::ptrdiff_t>(window, second.size()));
  auto text = [](const std::vector<int>& v) {
    std::string out;
    for (int c : v) out += std::to_string(c) + " ";
    return out;
  };
  // m2 began while m1 had at least 10 more frames to go (400 ms, more than
  // three steps of the picture), and m1 ended at least 10 frames into m2.
  // Files that merely follow each other fail both.
  // A busy machine may leave a step out of one file, so a step is looked
  // for as the first frame at or after it.
  const auto began = std::find_if(first.cbegin(), first.cend(), [&](int c) { return c >= second.front(); });
  ASSERT_NE(began, first.cend()) << "m1 ends " << text(tail) << ", m2 starts " << text(head);
  EXPECT_GE(first.cend() - began, 10) << "m1 ends " << text(tail) << ", m2 starts " << text(head);
  const auto ended = std::find_if(second.cbegin(), second.cend(), [&](int c) { return c >= first.back(); });
  ASSERT_NE(ended, second.cend()) << "m1 ends " << text(tail) << ", m2 starts " << text(head);
  EXPECT_GE(ended - second.cbegin(), 10) << "m1 ends " << text(tail) << ", m2 starts " << text(head);
  // Over the overlap both files show the same program, in the same order.
  // The two cameras sample it each at its own instants, so a change may
  // reach one file a frame before the other, and a machine too busy to
  // keep the camera's pace (the sanitizers on two cores) may hold a step
  // of the picture for a single frame in one file and none in the other.
  // So: the steps of each file only move forward, and the two files share
  // at least half of them (files of different moments share none).
  auto steps = [](std::vector<int>::const_iterator from, std::vector<int>::const_iterator to) {
    std::vector<int> out;
    for (auto it = from; it != to; ++it) {
      if (out.empty() || out.back() != *it) out.push_back(*it);
    }
    return out;
  };
  const auto lastOfFirst = std::find_if(ended, second.cend(), [&](int c) { return c > first.back(); });
  const std::vector<int> inFirst = steps(began, first.cend());
  const std::vector<int> inSecond = steps(second.cbegin(), lastOfFirst);
  EXPECT_TRUE(std::is_sorted(inFirst.begin(), inFirst.end())) << text(inFirst);
  EXPECT_TRUE(std::is_sorted(inSecond.begin(), inSecond.end())) << text(inSecond);
  std::vector<int> shared;
  std::set_intersection(inFirst.begin(), inFirst.end(), inSecond.begin(), inSecond.end(), std::back_inserter(shared));
  const std::size_t all = inFirst.size() + inSecond.size() - shared.size();
  EXPECT_GE(shared.size() * 2, all) << "m1 ends " << text(tail) << ", m2 starts " << text(head);
  std::printf("[ figures  ] m1 %s\n[ figures  ] m2 %s\n", text(first).c_str(), text(second).c_str());
}

// A local folder that does not exist: no graph runs, each file closes
// after the time limit with nothing counted, and the cycle goes on.
TEST_F(CycleTest, AnUnwritableOutputFolderOnlyCostsTheFiles) {
  std::ofstream(options_.iniPath) << "OUTPUT_FILES=" << folder_.Prefix() << "gone/\nWEBM_VIDEO_DURATION=1\n";
  options_.fileLimit = 2;
  const auto start = std::chrono::steady_clock::now();
  const ReelforgeOutcome outcome = RunReelforge(options_);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::string text = console_.Text();
  EXPECT_EQ(outcome.files, (std::vector<std::string>{"m1.webm", "m2.webm"})) << text;
  for (const char* line : {"Cannot run cr1\n", "Cannot run cr2\n", "total cr1:0\n", "total cr2:0\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  }
  EXPECT_GE(seconds, 2 * 1.2) << "each file waited for the time limit";
}

// Files the disk could not take (here: a file size limit the process
// runs under, as a full disk would refuse the writes) are not whole, and
// never reach the server under their final names.
TEST_F(CycleTest, AFileThatCouldNotBeWrittenWholeNeverReachesTheServer) {
  testing::FtpTestServer server(folder_.Path() / "ftp");
  ASSERT_TRUE(server.Started()) << server.Log();
  const FtpLogonInfo logon = server.Logon();
  WriteIni("WEBM_VIDEO_DURATION=1\nREBOOT_MEMORY_KB=0\nFTP_HOST=" + logon.host + "\nFTP_USER=" + logon.user +
           "\nFTP_PASS=" + logon.password + "\nFTP_FOLDER=/reels\n");
  options_.ftpPort = logon.port;
  options_.fileLimit = 2;
  // Grain that the encoder cannot make small: a second of it is far more
  // than the limit.
  std::vector<uint8_t> grain(static_cast<std::size_t>(testing::kTestWidth) * testing::kTestHeight * 3);
  std::uint32_t state = 7;
  for (uint8_t& byte : grain) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<uint8_t>(state >> 24);
  }
  writer_.Publish(grain);
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
  rlimit small = before;
  small.rlim_cur = 16 * 1024;
  // Writes past the limit fail with EFBIG instead of raising SIGXFSZ.
  const sighandler_t oldHandler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const ReelforgeOutcome outcome = RunReelforge(options_);
  setrlimit(RLIMIT_FSIZE, &before);
  signal(SIGXFSZ, oldHandler);

  const std::string text = console_.Text();
  EXPECT_EQ(outcome.files, (std::vector<std::string>{"m1.webm", "m2.webm"})) << text;
  for (const char* line : {"m1.webm was not written whole (", "m2.webm was not written whole ("}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
  }
  // With the system's reason.
  EXPECT_NE(text.find(std::strerror(EFBIG)), std::string::npos) << text;
  EXPECT_TRUE(testing::FileNames((server.Root() / "reels").string()).empty()) << text;
  for (const std::string& command : server.Commands()) {
    EXPECT_EQ(command.rfind("STOR", 0), std::string::npos) << command;
    EXPECT_EQ(command.rfind("RNTO", 0), std::string::npos) << command;
  }
}

// The configuration file goes away while the cycle runs: the next recorder
// keeps its defaults, builds no graph, and says so.
TEST_F(CycleTest, AConfigurationFileThatWentAwayLeavesTheRecorderWithoutGraph) {
  WriteIni("WEBM_VIDEO_DURATION=1\nREBOOT_MEMORY_KB=0\n");
  options_.fileLimit = 2;
  std::FILE* out = std::fopen((folder_.Path() / "console.txt").c_str(), "w+");
  ASSERT_NE(out, nullptr);
  options_.out = out;
  ReelforgeOutcome outcome;
  std::thread cycle([&] { outcome = RunReelforge(options_); });
  // The second file is prepared while the first records: the recorder of
  // the third is configured only after the first file closed.
  const bool prepared = testing::WaitFor([&] {
    return testing::ReadBytes((folder_.Path() / "console.txt").string()).find("m2.webm\n") != std::string::npos;
  });
  std::filesystem::remove(options_.iniPath);
  cycle.join();
  std::fclose(out);
  ASSERT_TRUE(prepared);
  const std::string text = testing::ReadBytes((folder_.Path() / "console.txt").string());
  EXPECT_EQ(outcome.files, (std::vector<std::string>{"m1.webm", "m2.webm"})) << text;
  const std::size_t gone = text.find("Cannot load configuration file!( " + options_.iniPath + " )\n");
  ASSERT_NE(gone, std::string::npos) << text;
  std::size_t at = gone;
  for (const char* line : {"Prepare file: m3.webm\n", "Cannot create graph, check settings!\n",
                           "Cannot CaptureVideoFile cr1\n", "Cannot run cr1\n", "total cr2:"}) {
    const std::size_t found = text.find(line, at);
    EXPECT_NE(found, std::string::npos) << line << " after the file went, in\n" << text;
    if (found != std::string::npos) at = found;
  }
  EXPECT_EQ(text.find("Prepare graph...", gone), std::string::npos) << "no graph without a configuration";
  EXPECT_FALSE(std::filesystem::exists("m3.webm"));
}

#ifdef REELFORGE_PROGRAM
// The program, with the test's home: its Reelforge.ini names a server on
// loopback port 21, where nothing answers, so the login test fails and the
// program ends with exit code 0.
TEST(ReelforgeProgramTest, ALoginFailureEndsWithExitCodeZeroAndTheText) {
  const std::string ini = ReelforgeIniPath();
  std::ofstream(ini) << "FTP_HOST=127.0.0.1\nFTP_USER=nobody\nFTP_PASS=none\n";
  const std::string command = std::string("'") + REELFORGE_PROGRAM + "' 2>&1";
  std::FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string text;
  char chunk[4096];
  while (std::size_t got = std::fread(chunk, 1, sizeof chunk, pipe)) text.append(chunk, got);
  const int status = pclose(pipe);
  std::filesystem::remove(ini);
  ASSERT_TRUE(WIFEXITED(status)) << text;
  EXPECT_EQ(WEXITSTATUS(status), 0) << text;
  EXPECT_EQ(text.rfind(kReelforgeBanner, 0), 0u) << text;
  EXPECT_NE(text.find("Loading configuration...Done!\nPrepare graph...done!\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n\n FTP error - check settings and try again!\n\n"), std::string::npos) << text;
}
// The restart: with REBOOT_MEMORY_KB=1 the program starts itself again in
// the same process after its first two files, from m1 and the banner.
TEST(ReelforgeProgramTest, AGrownResidentSetStartsTheProgramAgain) {
  testing::TestFolder folder("restart");
  testing::UseSmallCameraPicture();
  const std::string ini = ReelforgeIniPath();
  std::ofstream(ini) << "OUTPUT_FILES=" << folder.Prefix() << "\nWEBM_VIDEO_DURATION=1\nREBOOT_MEMORY_KB=1\n";
  const std::string log = (folder.Path() / "console.txt").string();
  const std::string buffer = testing::PrivateBufferName("restart");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::FILE* out = std::freopen(log.c_str(), "w", stdout);
    if (!out) _exit(127);
    setenv("CORVALIND_OUTPUT_BUFFER", buffer.c_str(), 1);
    execl(REELFORGE_PROGRAM, "reelforge", static_cast<char*>(nullptr));
    _exit(127);
  }
  auto banners = [&] {
    const std::string text = testing::ReadBytes(log);
    int count = 0;
    for (std::size_t at = text.find(kReelforgeBanner); at != std::string::npos; at = text.find(kReelforgeBanner, at + 1))
      ++count;
    return count;
  };
  const std::string firstFile = "Prepare file: " + folder.Prefix() + "m1.webm\n";
  const bool restarted = testing::WaitFor(
      [&] {
        const std::string text = testing::ReadBytes(log);
        const std::size_t reboot = text.find("Reboot [MEMORY LEAK ");
        return banners() >= 2 && reboot != std::string::npos && text.find(firstFile, reboot) != std::string::npos;
      },
      std::chrono::seconds(60));
  kill(child, SIGTERM);
  int status = 0;
  waitpid(child, &status, 0);
  std::filesystem::remove(ini);
  const std::string text = testing::ReadBytes(log);
  ASSERT_TRUE(restarted) << text;
  const std::size_t reboot = text.find("\nReboot [MEMORY LEAK ");
  ASSERT_NE(reboot, std::string::npos) << text;
  EXPECT_LT(reboot, text.find(kReelforgeBanner, 1)) << "the banner again after the reboot line";
  EXPECT_EQ(banners(), 2) << text;
  EXPECT_TRUE(WIFSIGNALED(status)) << "the same process ran on until the test ended it";
}
#endif

}  // namespace
}  // namespace corvalind

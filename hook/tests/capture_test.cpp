// Capture of running OpenGL programs: gl_probe (and glxgears) started
// through snaptrace-run on a private Xvfb with Mesa's software renderer,
// while the studio's side runs in this process (or in a child of its own).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "engine/source_slot.h"
#include "hook/client/hook_context.h"
#include "hook/client/snaptrace_library.h"
#include "hook/tests/hook_test_support.h"
#include "hook/tests/probe_picture.h"
#include "test_support/frames.h"
#include "test_support/test_home.h"
#include "test_support/xvfb.h"

namespace corvalind {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::SeenFrame;
using testing::WaitFor;

constexpr int kProbeWidth = 320;
constexpr int kProbeHeight = 240;
constexpr uint8_t kSlot = 3;
// The probe draws at 100 frames a second: well above the 25 a second the
// capture takes, without filling a core.
constexpr const char* kProbeFps = "100";

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::UsePrivateExchange();
    testing::ClearSeenFrames();
    ASSERT_TRUE(x_.Start(1024, 768)) << "Xvfb could not be started";
  }

  void TearDown() override {
    client_.reset();
    if (probe_) {
      probe_->Signal(SIGKILL);
      probe_.reset();
    }
    shm_unlink(testing::SectionObjectName().c_str());
    shm_unlink(testing::BlockObjectName().c_str());
  }

  std::vector<std::string> ChildEnvironment(bool debug = false) const {
    return {"DISPLAY=" + x_.DisplayName(), std::string("SNAPTRACE_DEBUG=") + (debug ? "1" : "")};
  }
  std::string ProbeLog() const { return (home_.Root() / "probe.log").string(); }

  // Starts gl_probe through snaptrace-run with its status block.
  void StartProbe(std::vector<std::string> arguments, bool debug = false, const char* environment = nullptr) {
    status_ = std::make_unique<testing::ProbeStatusFile>((home_.Root() / "probe.status").string());
    std::vector<std::string> argv{testing::SnaptraceRunPath(), testing::ProbePath(), "--status", status_->Path(),
                                  "--fps", kProbeFps};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> env = ChildEnvironment(debug);
    if (environment) env.push_back(environment);
    probe_ = std::make_unique<ChildProcess>();
    ASSERT_TRUE(probe_->Start(argv, env, ProbeLog()));
  }

  void StartProgram(const std::vector<std::string>& program) {
    std::vector<std::string> argv{testing::SnaptraceRunPath()};
    argv.insert(argv.end(), program.begin(), program.end());
    probe_ = std::make_unique<ChildProcess>();
    ASSERT_TRUE(probe_->Start(argv, ChildEnvironment(), ProbeLog()));
  }

  void StartClient(const std::string& target) {
    client_ = std::make_unique<HookContext>(kSlot, target, testing::SnaptraceLibraryFolder(), "",
                                            &testing::RecordingDelivery);
    client_->SetStatusSink([this](const std::string& text) {
      std::lock_guard<std::mutex> guard(statusLock_);
      statusTexts_.push_back(text);
    });
    client_->Start();
  }

  std::vector<std::string> StatusTexts() {
    std::lock_guard<std::mutex> guard(statusLock_);
    return statusTexts_;
  }

  // Waits for `count` frames in the slot; false when the probe ended (its
  // exit code in *exitCode) or the deadline passed.
  bool WaitForFrames(std::size_t count, int* exitCode = nullptr) {
    WaitFor([&] { return testing::SeenFrameCount() >= count || !probe_->Running(); }, 30s);
    if (testing::SeenFrameCount() >= count) return true;
    int status = 0;
    if (exitCode && probe_->WaitExit(1s, &status)) *exitCode = testing::ExitCode(status);
    return false;
  }

  // Waits until the probe has presented `more` frames after now.
  bool WaitForProbeFrames(uint32_t more) {
    const uint32_t target = status_->Frames() + more;
    return WaitFor([&] { return status_->Frames() >= target || !probe_->Running(); }, 30s) &&
           status_->Frames() >= target;
  }

  // Ends the probe as a user would and returns its exit code.
  int EndProbe() {
    probe_->Signal(SIGTERM);
    int status = 0;
    if (!probe_->WaitExit(20s, &status)) return -1;
    return testing::ExitCode(status);
  }

  testing::TemporaryHome home_{"hook-capture"};
  testing::PrivateXServer x_;
  std::unique_ptr<testing::ProbeStatusFile> status_;
  std::unique_ptr<ChildProcess> probe_;
  std::unique_ptr<HookContext> client_;
  std::mutex statusLock_;
  std::vector<std::string> statusTexts_;
};

// Every frame is the probe's exact picture at the window's size, each
// frame number once and in order.
void ExpectExactProbeFrames(const std::vector<SeenFrame>& frames, int width, int height) {
  ASSERT_FALSE(frames.empty());
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].width, width) << "frame " << i;
    EXPECT_EQ(frames[i].height, height) << "frame " << i;
    EXPECT_TRUE(frames[i].probePicture) << "frame " << i << " is not the probe's picture";
    if (i > 0) {
      EXPECT_GT(frames[i].number, frames[i - 1].number) << "frame " << i;
    }
  }
}

struct ProbeCase {
  const char* name;
  const char* mode;
  const char* lookup;
  // An environment entry for the probe, or null. Mesa's version overrides
  // make contexts without pixel buffer objects (GL 2.0, ES 2), which take
  // the synchronous read-back.
  const char* environment = nullptr;
  const char* option = nullptr;  // one more probe option
};

void PrintTo(const ProbeCase& c, std::ostream* out) { *out << c.name; }

class ProbeCapture : public CaptureTest, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(ProbeCapture, FramesArriveAtTheWindowsSizeWithExactColours) {
  StartClient("gl_probe");
  std::vector<std::string> arguments{"--mode", GetParam().mode, "--lookup", GetParam().lookup, "--check-state"};
  if (GetParam().option) arguments.push_back(GetParam().option);
  StartProbe(arguments, false, GetParam().environment);
  int exitCode = -1;
  if (!WaitForFrames(4, &exitCode)) {
    if (exitCode == 77) {
      GTEST_SKIP() << GetParam().mode << " is not available here";
    }
    FAIL() << "no frames; the probe ended with " << exitCode << ":\n" << testing::ReadBytes(ProbeLog());
  }
  ExpectExactProbeFrames(testing::SeenFrames(), kProbeWidth, kProbeHeight);

  testing::SlotPicture slot = testing::ReadSlot(GlobalSourceSlots(), kSlot);
  uint32_t number = 0;
  EXPECT_EQ(slot.width, kProbeWidth);
  EXPECT_EQ(slot.height, kProbeHeight);
  EXPECT_TRUE(probe::MatchesProbePicture(slot.pixels.data(), slot.pixels.size(), slot.width, slot.height, &number));

  // Capture left the probe's GL state and error flags as they were.
  EXPECT_EQ(status_->Failure(), probe::kNoFailure) << "after frame " << status_->Status().failureFrame.load();
  EXPECT_EQ(EndProbe(), 0);
  EXPECT_EQ(testing::ReadBytes(ProbeLog()).find("Detour"), std::string::npos) << "debug messages while not asked";
}

INSTANTIATE_TEST_SUITE_P(
    ModesAndLookups, ProbeCapture,
    ::testing::Values(ProbeCase{"GlxSwapByName", "glx", "symbol"}, ProbeCase{"GlxSwapByGetProc", "glx", "getproc"},
                      ProbeCase{"GlxSwapByDlsym", "glx", "dlsym"},
                      ProbeCase{"GlxSwapByDefaultDlsym", "glx", "dlsym-default"},
                      ProbeCase{"FinishByName", "finish", "symbol"}, ProbeCase{"FinishByGetProc", "finish", "getproc"},
                      ProbeCase{"FinishByDlsym", "finish", "dlsym"}, ProbeCase{"EglEsByName", "egl", "symbol"},
                      ProbeCase{"EglEsByGetProc", "egl", "getproc"}, ProbeCase{"EglEsByDlsym", "egl", "dlsym"},
                      ProbeCase{"EglGlByName", "egl-gl", "symbol"}, ProbeCase{"EglGlByGetProc", "egl-gl", "getproc"},
                      ProbeCase{"GlxWithoutPixelBuffers", "glx", "symbol", "MESA_GL_VERSION_OVERRIDE=2.0"},
                      ProbeCase{"FinishWithoutPixelBuffers", "finish", "symbol", "MESA_GL_VERSION_OVERRIDE=2.0"},
                      ProbeCase{"EglEs2", "egl", "symbol", "MESA_GLES_VERSION_OVERRIDE=2.0"},
                      // Swapping programs are read at their swaps, never
                      // at a glFinish in the middle of a frame.
                      ProbeCase{"GlxSwapWithFinishMidFrame", "glx", "symbol", nullptr, "--finish-mid-frame"},
                      ProbeCase{"EglSwapWithFinishMidFrame", "egl", "symbol", nullptr, "--finish-mid-frame"}),
    [](const ::testing::TestParamInfo<ProbeCase>& info) { return std::string(info.param.name); });

TEST_F(CaptureTest, AtMostTwentyFiveFramesASecond) {
  StartClient("gl_probe");
  StartProbe({});
  ASSERT_TRUE(WaitForFrames(1)) << testing::ReadBytes(ProbeLog());
  const std::size_t framesBefore = testing::SeenFrameCount();
  const uint32_t presentedBefore = status_->Frames();
  const int64_t startNs = testing::MonotonicNs();
  ASSERT_TRUE(WaitForProbeFrames(200));
  const double seconds = (testing::MonotonicNs() - startNs) / 1e9;
  const std::size_t captured = testing::SeenFrameCount() - framesBefore;
  const double presentedRate = (status_->Frames() - presentedBefore) / seconds;

  // The probe presented far more often than the limit: the limit is what
  // kept the count down.
  ASSERT_GT(presentedRate, 40.0);
  EXPECT_LE(captured, static_cast<std::size_t>(25 * seconds + 2));
  EXPECT_GE(captured, 1u);

  // Frames are read at least 40 ms apart: the probe's own time of each
  // captured frame's presentation says so (2 ms of slack for the time
  // between its clock reading and the presentation).
  const std::vector<SeenFrame> frames = testing::SeenFrames();
  ASSERT_GE(frames.size(), 3u);
  for (std::size_t i = 1; i < frames.size(); ++i) {
    ASSERT_TRUE(frames[i].probePicture && frames[i - 1].probePicture);
    const int64_t a = status_->Status().presentNs[frames[i - 1].number % probe::kStatusRing].load();
    const int64_t b = status_->Status().presentNs[frames[i].number % probe::kStatusRing].load();
    EXPECT_GE(b - a, 38'000'000) << "frames " << frames[i - 1].number << " and " << frames[i].number;
  }
  EXPECT_EQ(EndProbe(), 0);
}

TEST_F(CaptureTest, OnlyTheTargetsFileNameMatches) {
  SnaptraceLibrary studio;
  ASSERT_TRUE(studio.Load(testing::SnaptraceLibraryPath()));
  ASSERT_NE(studio.setupSharedMemory(kHookFrameBufferBytes), nullptr);
  StartProbe({});
  std::vector<uint8_t> buffer(kHookFrameBufferBytes);
  int32_t width = 0;
  int32_t height = 0;
  int32_t bytesPerPixel = 0;
  auto take = [&] { return studio.getSharedMemory(buffer.data(), kHookFrameBufferBytes, &width, &height, &bytesPerPixel); };

  struct NameCase {
    std::string target;
    bool matches;
  };
  const std::vector<NameCase> cases = {
      {"gl_probe", true},
      {testing::ProbePath(), false},  // the whole path names a folder
      {"GL_PROBE", true},
      {"tests/gl_probe", false},
      {"Gl_Probe", true},
      {"./gl_probe", false},
      {"gl_prob", false},
      {"gl_probe.exe", false},
      {"", false},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE("target \"" + c.target + "\"");
    ASSERT_NE(studio.installHook(c.target.c_str()), nullptr);
    // A frame read under the last name may still be published.
    ASSERT_TRUE(WaitForProbeFrames(5));
    while (take() != 0) {
    }
    if (c.matches) {
      ASSERT_TRUE(WaitFor([&] { return take() != 0; }, 30s));
      uint32_t number = 0;
      EXPECT_EQ(width, kProbeWidth);
      EXPECT_TRUE(probe::MatchesProbePicture(buffer.data(), buffer.size(), width, height, &number));
      continue;
    }
    // Well over ten chances to capture, none taken.
    const int64_t startNs = testing::MonotonicNs();
    const uint32_t target = status_->Frames() + 30;
    bool captured = false;
    WaitFor([&] {
      captured = captured || take() != 0;
      return captured || (status_->Frames() >= target && testing::MonotonicNs() - startNs > 400'000'000);
    }, 30s);
    EXPECT_FALSE(captured);
  }
  studio.removeHook();
  EXPECT_EQ(EndProbe(), 0);
}

TEST_F(CaptureTest, ResizedWindowIsCapturedAtItsNewSize) {
  StartClient("gl_probe");
  StartProbe({"--resize-at", "60:400x300", "--check-state"}, true);
  auto exactAt = [](int width, int height) {
    const std::vector<SeenFrame> frames = testing::SeenFrames();
    return std::any_of(frames.begin(), frames.end(), [&](const SeenFrame& f) {
      return f.probePicture && f.width == width && f.height == height;
    });
  };
  ASSERT_TRUE(WaitFor([&] { return exactAt(kProbeWidth, kProbeHeight) || !probe_->Running(); }, 30s));
  ASSERT_TRUE(WaitFor([&] { return exactAt(400, 300) || !probe_->Running(); }, 30s))
      << testing::ReadBytes(ProbeLog());
  EXPECT_EQ(status_->Failure(), probe::kNoFailure);
  EXPECT_EQ(EndProbe(), 0);
  // Asked for: the capture says when it started.
  EXPECT_NE(testing::ReadBytes(ProbeLog()).find("Detour\nOpenGL() detoured successfully\n"), std::string::npos);
}

TEST_F(CaptureTest, TwoContextsAndPresentationsWithoutAContext) {
  StartClient("gl_probe");
  StartProbe({"--contexts", "2", "--check-state"});
  // Frames of both contexts (even and odd frame numbers) arrive.
  auto both = [] {
    bool even = false;
    bool odd = false;
    for (const SeenFrame& f : testing::SeenFrames()) {
      even |= f.probePicture && f.number % 2 == 0;
      odd |= f.probePicture && f.number % 2 == 1;
    }
    return even && odd;
  };
  ASSERT_TRUE(WaitFor([&] { return both() || !probe_->Running(); }, 30s)) << testing::ReadBytes(ProbeLog());
  ASSERT_TRUE(both());
  ExpectExactProbeFrames(testing::SeenFrames(), kProbeWidth, kProbeHeight);
  EXPECT_EQ(status_->Failure(), probe::kNoFailure);
  EXPECT_EQ(EndProbe(), 0);
}

TEST_F(CaptureTest, ChildrenOfTheGameStayOutUnlessTheyAreTheTarget) {
  SnaptraceLibrary studio;
  ASSERT_TRUE(studio.Load(testing::SnaptraceLibraryPath()));
  ASSERT_NE(studio.setupSharedMemory(kHookFrameBufferBytes), nullptr);
  ASSERT_NE(studio.installHook("gl_probe"), nullptr);
  // The child inherits LD_PRELOAD and draws too.
  StartProbe({"--child", "glxgears", "-geometry", "300x200"});
  std::vector<uint8_t> buffer(kHookFrameBufferBytes);
  int32_t width = 0;
  int32_t height = 0;
  int32_t bytesPerPixel = 0;
  int probeFrames = 0;
  bool other = false;
  const uint32_t until = 80;
  ASSERT_TRUE(WaitFor([&] {
    const uint32_t n = studio.getSharedMemory(buffer.data(), kHookFrameBufferBytes, &width, &height, &bytesPerPixel);
    uint32_t number = 0;
    if (n != 0) {
      if (probe::MatchesProbePicture(buffer.data(), n, width, height, &number)) {
        ++probeFrames;
      } else {
        other = true;
      }
    }
    return other || (probeFrames > 0 && status_->Frames() >= until) || !probe_->Running();
  }, 30s));
  EXPECT_FALSE(other) << "a frame of " << width << "x" << height << " that is not the probe's";
  EXPECT_GT(probeFrames, 0);

  // Named as the target, the child is captured: it had the library all
  // along, only its name kept it out.
  ASSERT_NE(studio.installHook("glxgears"), nullptr);
  ASSERT_TRUE(WaitFor([&] {
    const uint32_t n = studio.getSharedMemory(buffer.data(), kHookFrameBufferBytes, &width, &height, &bytesPerPixel);
    return (n != 0 && width == 300 && height == 200) || !probe_->Running();
  }, 30s));
  EXPECT_EQ(width, 300);
  EXPECT_EQ(height, 200);
  studio.removeHook();
  EXPECT_EQ(EndProbe(), 0);
}

TEST_F(CaptureTest, GameKeepsRunningWhenTheClientStopsMidCapture) {
  StartClient("gl_probe");
  StartProbe({"--check-state"});
  ASSERT_TRUE(WaitForFrames(3)) << testing::ReadBytes(ProbeLog());
  client_->Stop();
  EXPECT_EQ(StatusTexts().back(), "Snaptrace removed.");
  ASSERT_TRUE(WaitForProbeFrames(30));
  EXPECT_TRUE(probe_->Running());

  // With the hook removed the game writes no more frames.
  SnaptraceLibrary studio;
  ASSERT_TRUE(studio.Load(testing::SnaptraceLibraryPath()));
  ASSERT_NE(studio.setupSharedMemory(kHookFrameBufferBytes), nullptr);
  std::vector<uint8_t> buffer(kHookFrameBufferBytes);
  int32_t width = 0;
  int32_t height = 0;
  int32_t bytesPerPixel = 0;
  auto take = [&] { return studio.getSharedMemory(buffer.data(), kHookFrameBufferBytes, &width, &height, &bytesPerPixel); };
  while (take() != 0) {
  }
  const int64_t startNs = testing::MonotonicNs();
  const uint32_t target = status_->Frames() + 30;
  bool captured = false;
  WaitFor([&] {
    captured = captured || take() != 0;
    return captured || (status_->Frames() >= target && testing::MonotonicNs() - startNs > 400'000'000);
  }, 30s);
  EXPECT_FALSE(captured);
  EXPECT_EQ(status_->Failure(), probe::kNoFailure);
  EXPECT_EQ(EndProbe(), 0);
}

TEST_F(CaptureTest, GameKeepsRunningWhenTheClientProcessDies) {
  StartProbe({"--check-state"});
  ChildProcess studio;
  const std::string studioLog = (home_.Root() / "studio.log").string();
  ASSERT_TRUE(studio.Start({testing::ClientChildPath(), "5", "gl_probe", testing::SnaptraceLibraryFolder()},
                           ChildEnvironment(), studioLog));
  ASSERT_TRUE(WaitFor([&] {
    return testing::ReadBytes(studioLog).find("delivered 320 240") != std::string::npos || !studio.Running();
  }, 30s));
  ASSERT_NE(testing::ReadBytes(studioLog).find("delivered 320 240"), std::string::npos)
      << testing::ReadBytes(studioLog);
  studio.Signal(SIGKILL);
  int status = 0;
  ASSERT_TRUE(studio.WaitExit(20s, &status));
  EXPECT_EQ(testing::ExitCode(status), 128 + SIGKILL);

  ASSERT_TRUE(WaitForProbeFrames(30));
  EXPECT_TRUE(probe_->Running());
  // A studio started again captures the same game.
  StartClient("gl_probe");
  ASSERT_TRUE(WaitForFrames(3));
  ExpectExactProbeFrames(testing::SeenFrames(), kProbeWidth, kProbeHeight);
  EXPECT_EQ(status_->Failure(), probe::kNoFailure);
  EXPECT_EQ(EndProbe(), 0);
}

TEST_F(CaptureTest, GlxgearsIsCaptured) {
  StartClient("glxgears");
  StartProgram({"glxgears", "-geometry", "400x300"});
  const bool arrived = WaitFor([&] {
    for (const SeenFrame& f : testing::SeenFrames()) {
      if (f.width == 400 && f.height == 300 && f.anyLight) return true;
    }
    return !probe_->Running();
  }, 30s);
  ASSERT_TRUE(arrived);
  EXPECT_TRUE(probe_->Running()) << testing::ReadBytes(ProbeLog());
  const testing::SlotPicture slot = testing::ReadSlot(GlobalSourceSlots(), kSlot);
  EXPECT_EQ(slot.width, 400);
  EXPECT_EQ(slot.height, 300);
}

}  // namespace
}  // namespace corvalind

// The crash handler and the crash log: a program that crashes ends by the
// signal it crashed with, and leaves Corvalind.log in the documents folder
// with the signal, the thread and a readable stack, after the report
// process has told the user where the log is.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crash/crash_handler.h"
#include "platform/crash/crash_report.h"
#include "platform/file_io.h"
#include "test_support/test_home.h"

extern char** environ;

namespace corvalind {
namespace {

namespace fs = std::filesystem;

// Whether `text` holds `part`, with the text in the failure message.
::testing::AssertionResult Holds(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << part << "\" is not in:\n" << text;
}

// The sanitizers of the sanitized builds catch faults themselves unless
// told not to; the crashing program must meet its own handler.
std::vector<std::string> ChildEnvironment() {
  std::vector<std::string> environment;
  std::string asan, tsan;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    if (text.rfind("ASAN_OPTIONS=", 0) == 0) {
      asan = text.substr(13) + ":";
    } else if (text.rfind("TSAN_OPTIONS=", 0) == 0) {
      tsan = text.substr(13) + ":";
    } else {
      environment.push_back(text);
    }
  }
  const std::string own = "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0";
  environment.push_back("ASAN_OPTIONS=" + asan + own);
  environment.push_back("TSAN_OPTIONS=" + tsan + own);
  return environment;
}

// A program started in a process group of its own, its output in files of
// `folder`, with `extraEnvironment` ("NAME=VALUE") added; the group is
// killed with the object when the program has not ended.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& arguments, const fs::path& folder,
               const std::vector<std::string>& extraEnvironment = {})
      : outPath_(folder / "child.out"), errPath_(folder / "child.err") {
    std::vector<std::string> environment = ChildEnvironment();
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    std::vector<char*> argv, envp;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      const int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) _exit(126);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    if (pid_ > 0) setpgid(pid_, pid_);
  }
  ~ChildProcess() {
    if (pid_ <= 0 || !running_) return;
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // Waits for the end and gives the wait status; false when it did not end
  // within the limit.
  bool Wait(int* status) {
    if (pid_ <= 0) return false;
    const bool ended = testing::WaitFor([&] { return waitpid(pid_, status, WNOHANG) == pid_; },
                                        std::chrono::seconds(180));
    running_ = !ended;
    return ended;
  }
  std::string Out() const { return testing::ReadBytes(outPath_); }
  std::string Err() const { return testing::ReadBytes(errPath_); }

 private:
  fs::path outPath_, errPath_;
  pid_t pid_ = -1;
  bool running_ = true;
};

std::string DescribeStatus(int status) {
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("signal ") + sigabbrev_np(WTERMSIG(status));
  return "status " + std::to_string(status);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// Whether `text` is `prefix`, then one or more of the characters `run`,
// then `suffix`; the run goes to `middle` when given.
bool Framed(std::string_view text, std::string_view prefix, const char* run, std::string_view suffix,
            std::string* middle = nullptr) {
  if (text.size() <= prefix.size() + suffix.size() || text.substr(0, prefix.size()) != prefix ||
      text.substr(text.size() - suffix.size()) != suffix) {
    return false;
  }
  const std::string_view inside = text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
  if (inside.find_first_not_of(run) != std::string_view::npos) return false;
  if (middle) *middle = inside;
  return true;
}

constexpr const char* kDigits = "0123456789";
constexpr const char* kHexDigits = "0123456789abcdef";

// The hexadecimal number after `marker` in `text` ("0x" included in the
// marker), or 0.
unsigned long long HexAfter(const std::string& text, const std::string& marker) {
  const std::size_t at = text.find(marker);
  if (at == std::string::npos) return 0;
  const std::size_t begin = at + marker.size();
  const std::size_t end = text.find_first_not_of(kHexDigits, begin);
  const std::string digits = text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
  return digits.empty() ? 0 : std::stoull(digits, nullptr, 16);
}

// The first line starting with `prefix`, or "".
std::string LineStarting(const std::string& text, const std::string& prefix) {
  for (const std::string& line : Lines(text)) {
    if (line.rfind(prefix, 0) == 0) return line;
  }
  return {};
}

// The lines between "Stack:" and "Memory map:".
std::vector<std::string> StackLines(const std::string& log) {
  std::vector<std::string> stack;
  bool inStack = false;
  for (const std::string& line : Lines(log)) {
    if (line == "Stack:") {
      inStack = true;
    } else if (line == "Memory map:") {
      break;
    } else if (inStack) {
      stack.push_back(line);
    }
  }
  return stack;
}

// The number of the line of crash_child.cpp marked "crash line: MODE".
int MarkedLine(const std::string& mode) {
  std::ifstream source(CORVALIND_CRASH_CHILD_SOURCE);
  const std::string mark = "// crash line: " + mode;
  int number = 0;
  for (std::string line; std::getline(source, line);) {
    ++number;
    if (line.size() >= mark.size() && line.compare(line.size() - mark.size(), mark.size(), mark) == 0) return number;
  }
  return 0;
}

// The text the report process printed, checked line by line.
void ExpectCrashMessage(const std::string& err, const std::string& logPath) {
  const std::string first = "Corvalind CRASHED :-(\n";
  const std::size_t at = err.find(first);
  ASSERT_NE(at, std::string::npos) << err;
  EXPECT_EQ(err.find(first, at + 1), std::string::npos) << "told twice:\n" << err;
  const std::vector<std::string> lines = Lines(err.substr(at));
  ASSERT_GE(lines.size(), 3u) << err;
  EXPECT_EQ(lines[1], "Crash log location- " + logPath);
  EXPECT_TRUE(Holds(lines[2], "send"));
  EXPECT_TRUE(Holds(lines[2], "analysis"));
}

struct CrashCase {
  const char* mode;
  int signal;
  std::vector<const char*> codes;  // the names si_code may have
  const char* thread;  // the name of the thread that crashed
  // The child's own functions on the stack, innermost first; the first is
  // the one that crashed, at the line with the mark "crash line: `mark`".
  std::vector<const char*> functions;
  const char* mark;
  const char* note;  // a header line the case adds, or nullptr
};

const CrashCase kCrashCases[] = {
    {"null-worker", SIGSEGV, {"SEGV_MAPERR"}, "crash-worker",
     {"crashchild::CrashOnNullPointer()", "crashchild::WorkerStepTwo()", "crashchild::WorkerStepOne()"},
     "null-worker", nullptr},
    // Both threads crash; one report, one log.
    {"twin-workers", SIGSEGV, {"SEGV_MAPERR"}, "crash-twin",
     {"crashchild::CrashOnNullPointer()", "crashchild::WorkerStepOne()", "crashchild::CrashTogether()"}, "null-worker",
     nullptr},
    {"abort", SIGABRT, {"SI_TKILL"}, "crash-main", {"crashchild::AbortNow()", "crashchild::AbortStepOne()", " main"},
     "abort", nullptr},
    {"exception", SIGABRT, {"SI_TKILL"}, "crash-main",
     {"crashchild::ThrowChildFailure()", "crashchild::ThrowStepOne()", " main"}, "exception",
     "Exception: uncaught crashchild::ChildFailure: the crash child gave up"},
    // The worker's own alternate stack gives the handler room; the stack
    // keeps its innermost and its outermost frames, where the thread began.
    {"overflow", SIGSEGV, {"SEGV_MAPERR", "SEGV_ACCERR"}, "crash-deep",
     {"crashchild::RecurseWithoutEnd(int)", "crashchild::RecurseWithoutEnd(int)", "frames left out",
      "crashchild::RecurseWithoutEnd(int)", "crashchild::RunOnNamedThread"},
     nullptr, nullptr},
    {"divide", SIGFPE, {"FPE_INTDIV"}, "crash-main", {"crashchild::DivideByZero()", " main"}, "divide", nullptr},
#if defined(__x86_64__) || defined(__i386__)
    {"trap", SIGILL, {"ILL_ILLOPN", "ILL_ILLOPC"}, "crash-main", {"crashchild::Trap()", " main"}, "trap", nullptr},
#endif
    {"bus", SIGBUS, {"BUS_ADRERR"}, "crash-main", {"crashchild::TouchVanishedPage()", " main"}, "bus", nullptr},
};

void PrintTo(const CrashCase& crash, std::ostream* out) { *out << crash.mode; }

class CrashHandlerTest : public ::testing::TestWithParam<CrashCase> {};

TEST_P(CrashHandlerTest, CrashLeavesAReadableLogAndEndsByItsSignal) {
  const CrashCase& crash = GetParam();
  testing::TemporaryHome home(std::string("corvalind-crash-") + crash.mode);
  // The handler makes the documents folder when it is missing.
  fs::remove_all(home.Documents());
  const std::string logPath = (home.Documents() / "Corvalind.log").string();
  ASSERT_EQ(CrashLogPath(), logPath);

  ChildProcess child({CORVALIND_CRASH_CHILD, crash.mode}, home.Root());
  int status = 0;
  ASSERT_TRUE(child.Wait(&status)) << "the crashed program did not end";
  const std::string err = child.Err();
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == crash.signal)
      << DescribeStatus(status) << ", expected " << sigabbrev_np(crash.signal) << "\n" << err;
  EXPECT_FALSE(Holds(err, "report process failed"));
  ExpectCrashMessage(err, logPath);

  const std::string log = testing::ReadBytes(logPath);
  ASSERT_FALSE(log.empty()) << "no crash log at " << logPath;
  SCOPED_TRACE(log.substr(0, log.find("Memory map:")));
  EXPECT_EQ(log.find("Corvalind "), 0u);
  EXPECT_EQ(log.find("\nSignal: "), log.rfind("\nSignal: ")) << "one header";
  EXPECT_EQ(log.find("\nMemory map:\n"), log.rfind("\nMemory map:\n")) << "one map";

  // "Signal: N SIGNAME, code C CODENAME" and what the code adds.
  const std::string signalLine = LineStarting(log, "Signal: ");
  const std::string signalStart =
      "Signal: " + std::to_string(crash.signal) + " SIG" + sigabbrev_np(crash.signal) + ", code ";
  ASSERT_EQ(signalLine.rfind(signalStart, 0), 0u) << signalLine;
  const std::size_t codeEnd = signalLine.find_first_not_of("-0123456789", signalStart.size());
  const std::string codeName = signalLine.substr(codeEnd + 1, signalLine.find(',', codeEnd) - codeEnd - 1);
  EXPECT_NE(std::find_if(crash.codes.begin(), crash.codes.end(), [&](const char* name) { return codeName == name; }),
            crash.codes.end())
      << signalLine;
  const std::string threadLine = LineStarting(log, "Thread: ");
  EXPECT_TRUE(Framed(threadLine, "Thread: ", kDigits, std::string(" \"") + crash.thread + "\"")) << threadLine;
  if (crash.note) {
    EXPECT_NE(log.find(std::string("\n") + crash.note + "\n"), std::string::npos);
  }

  // Faults whose address the program knew beforehand.
  const std::string expectedAddress = LineStarting(child.Out(), "fault address ");
  if (!expectedAddress.empty()) {
    EXPECT_TRUE(Holds(signalLine, ", " + expectedAddress));
  }

  const std::vector<std::string> stack = StackLines(log);
  // Numbered from #0; frames left out of a deep stack keep their numbers.
  int named = 0;
  long number = 0;
  for (const std::string& line : stack) {
    std::string skipped;
    if (Framed(line, "... ", kDigits, " frames left out", &skipped)) {
      number += std::stol(skipped);
      continue;
    }
    const std::string prefix = "#" + std::to_string(number++) + " 0x";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << "expected " << prefix << ": " << line;
    const std::size_t space = line.find(' ', prefix.size());
    if (space != std::string::npos && line.compare(space + 1, 2, "??") != 0) ++named;
  }
  EXPECT_GE(named, 5) << "frames with a function name";

  // The child's functions in order (and other lines of the stack), each
  // from the child's executable; the crashing one at its marked line.
  std::size_t from = 0;
  for (const char* function : crash.functions) {
    std::size_t found = from;
    while (found < stack.size() && stack[found].find(function) == std::string::npos) ++found;
    ASSERT_LT(found, stack.size()) << function << " is not on the stack after line " << from;
    if (stack[found][0] == '#') {
      EXPECT_TRUE(Holds(stack[found], " in crash_child"));
    }
    if (function == crash.functions.front() && crash.mark) {
      const int line = MarkedLine(crash.mark);
      ASSERT_GT(line, 0);
      EXPECT_TRUE(Holds(stack[found], "crash_child.cpp:" + std::to_string(line) + ")"));
    }
    from = found + 1;
  }

  // For SIGFPE and SIGILL the address is the instruction, which is where
  // the stack starts.
  if (crash.signal == SIGFPE || crash.signal == SIGILL) {
    ASSERT_FALSE(stack.empty());
    const unsigned long long instruction = HexAfter(signalLine, "at instruction 0x");
    EXPECT_NE(instruction, 0u) << signalLine;
    EXPECT_EQ(HexAfter(stack[0], "#0 0x"), instruction) << stack[0];
  }

  // The memory map stays, for a developer with other debug files.
  const std::size_t maps = log.find("\nMemory map:\n");
  ASSERT_NE(maps, std::string::npos);
  EXPECT_NE(log.find(fs::path(CORVALIND_CRASH_CHILD).filename().string(), maps), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Crashes, CrashHandlerTest, ::testing::ValuesIn(kCrashCases),
                         [](const ::testing::TestParamInfo<CrashCase>& info) {
                           std::string name = info.param.mode;
                           for (char& c : name) {
                             if (c == '-') c = '_';
                           }
                           return name;
                         });

// When the report process fails, the raw log stays for a later report and
// standard error says where it is; the process still ends by its signal.
// Reporting it afterwards, from another process, gives the readable stack.
TEST(CrashReportTest, RawLogOfAFailedReportCanBeReportedLater) {
  testing::TemporaryHome home("corvalind-crash-unreported");
  const std::string logPath = (home.Documents() / "Corvalind.log").string();
  ChildProcess child({CORVALIND_CRASH_CHILD, "abort-unreported"}, home.Root());
  int status = 0;
  ASSERT_TRUE(child.Wait(&status));
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << DescribeStatus(status);
  EXPECT_TRUE(Holds(child.Err(), "report process failed; the crash log is " + logPath));

  const std::string raw = testing::ReadBytes(logPath);
  const std::vector<std::string> rawStack = StackLines(raw);
  ASSERT_FALSE(rawStack.empty()) << raw;
  EXPECT_TRUE(Framed(rawStack[0], "pc 0x", kHexDigits, "")) << rawStack[0];
  for (std::size_t i = 1; i < rawStack.size(); ++i) {
    EXPECT_TRUE(Framed(rawStack[i], "ret 0x", kHexDigits, "")) << rawStack[i];
  }

  const CrashReport report = SymbolizeCrashLog(logPath);
  EXPECT_TRUE(report.symbolized);
  EXPECT_EQ(report.frames, static_cast<int>(rawStack.size()));
  const std::string readable = testing::ReadBytes(logPath);
  EXPECT_EQ(readable.substr(0, readable.find("Stack:")), raw.substr(0, raw.find("Stack:"))) << "header kept";
  EXPECT_EQ(readable.substr(readable.find("Memory map:")), raw.substr(raw.find("Memory map:"))) << "map kept";
  const std::vector<std::string> stack = StackLines(readable);
  ASSERT_EQ(stack.size(), rawStack.size());
  const std::string abortLine = "crash_child.cpp:" + std::to_string(MarkedLine("abort")) + ")";
  EXPECT_NE(readable.find("crashchild::AbortNow()+0x"), std::string::npos) << readable;
  EXPECT_NE(readable.find(abortLine), std::string::npos);
  EXPECT_FALSE(fs::exists(logPath + ".new"));

  // A readable log is not a raw one: a second report leaves it be.
  const CrashReport again = SymbolizeCrashLog(logPath);
  EXPECT_FALSE(again.symbolized);
  EXPECT_EQ(testing::ReadBytes(logPath), readable);
  EXPECT_EQ(again.message, report.message);
}

// Logs the report must not rewrite, and one cut short while it was written.
TEST(CrashReportTest, OnlyRawLogsAreRewritten) {
  testing::TemporaryHome home("corvalind-crash-inputs");
  const std::string path = (home.Documents() / "Corvalind.log").string();
  const std::string header = "Corvalind 1.0 crashed at 2024-01-01 00:00:00 UTC\nSignal: 6 SIGABRT\n";
  const struct {
    const char* what;
    std::string text;
    int frames;  // -1: left untouched
  } cases[] = {
      {"not a crash log", "some notes\nof the user\n", -1},
      {"no stack marker", header, -1},
      {"a foreign line in the stack", header + "Stack:\npc 0x10\nsomething else\nMemory map:\n", -1},
      {"an already readable stack", header + "Stack:\n#0 0x0000000000000010 ??\nMemory map:\n", -1},
      {"an address too long", header + "Stack:\npc 0x11112222333344445\nMemory map:\n", -1},
      {"cut in the stack", header + "Stack:\npc 0x10\nret 0x20\nret 0x3", 2},
      {"cut before the map", header + "Stack:\npc 0x10\n", 1},
      {"empty stack", header + "Stack:\nMemory map:\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(ReplaceFile(path, c.text));
    const CrashReport report = SymbolizeCrashLog(path);
    EXPECT_EQ(report.message.rfind("Corvalind CRASHED :-(\nCrash log location- " + path + "\n", 0), 0u);
    const std::string after = testing::ReadBytes(path);
    if (c.frames < 0) {
      EXPECT_FALSE(report.symbolized);
      EXPECT_EQ(after, c.text);
      continue;
    }
    EXPECT_TRUE(report.symbolized);
    EXPECT_EQ(report.frames, c.frames);
    EXPECT_EQ(after.rfind(header + "Stack:\n", 0), 0u) << after;
    const std::vector<std::string> stack = StackLines(after);
    ASSERT_EQ(static_cast<int>(stack.size()), c.frames) << after;
    // Without a memory map nothing is known about an address.
    if (c.frames > 0) {
      EXPECT_EQ(stack[0], "#0 0x0000000000000010 ??");
    }
    if (c.frames > 1) {
      EXPECT_EQ(stack[1], "#1 0x0000000000000020 ??");
    }
  }
  fs::remove(path);
  EXPECT_FALSE(SymbolizeCrashLog(path).symbolized) << "a missing log";
}

#ifdef CORVALIND_STUDIO_PROGRAM
// The studio itself: killed by SIGSEGV while it runs, it reports through a
// second studio process that opens no window of the studio, and ends by
// the signal.
TEST(StudioCrashTest, StudioReportsASegmentationFault) {
  testing::TemporaryHome home("corvalind-crash-studio");
  const std::string logPath = (home.Documents() / "Corvalind.log").string();
  const std::string name = "CorvalindTest_crash_" + std::to_string(getpid());
  ChildProcess studio({CORVALIND_STUDIO_PROGRAM, "--output-name", name}, home.Root(), {"QT_QPA_PLATFORM=offscreen"});
  // Said once the main window is up.
  ASSERT_TRUE(testing::WaitFor([&] { return studio.Out().find("runs without a display") != std::string::npos; },
                               std::chrono::seconds(60)))
      << studio.Err();
  ASSERT_EQ(kill(studio.Pid(), SIGSEGV), 0);
  int status = 0;
  ASSERT_TRUE(studio.Wait(&status));
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << DescribeStatus(status) << "\n" << studio.Err();
  ExpectCrashMessage(studio.Err(), logPath);

  const std::string log = testing::ReadBytes(logPath);
  SCOPED_TRACE(log.substr(0, log.find("Memory map:")));
  EXPECT_TRUE(Holds(LineStarting(log, "Signal: "),
                    "Signal: 11 SIGSEGV, code 0 SI_USER, sent by process " + std::to_string(getpid())));
  EXPECT_FALSE(LineStarting(log, "Thread: ").empty());
  const std::vector<std::string> stack = StackLines(log);
  EXPECT_GE(stack.size(), 5u);
  bool mainOfTheStudio = false;
  for (const std::string& line : stack) mainOfTheStudio |= line.find(" main+0x") != std::string::npos &&
                                                           line.find(" in corvalind") != std::string::npos;
  EXPECT_TRUE(mainOfTheStudio) << "no frame of the studio's main";
  fs::remove(fs::path("/dev/shm") / (name + "." + std::to_string(getuid())));
}
#endif

}  // namespace
}  // namespace corvalind

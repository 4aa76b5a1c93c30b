// The program the crash tests run. It installs the crash handler with
// itself as the report process, as the studio does, and then crashes the
// way its argument says:
//
//   crash_child null-worker | twin-workers | abort | exception | overflow | divide | trap | bus
//   crash_child abort-unreported      aborts with a report process that fails
//   crash_child --crash-report LOG     the report process
//
// Every crashing statement carries a "crash line: MODE" mark, so the test
// can find its line number in this file. Where the fault address is known
// beforehand it is printed first ("fault address 0x...").
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "platform/crash/crash_handler.h"
#include "platform/crash/crash_report.h"

// An empty statement after a call keeps the call from becoming a jump, so
// every function of the chain keeps its frame on the stack.
#define KEEP_FRAME() asm volatile("" ::: "memory")
#define CHILD_FUNCTION __attribute__((noinline))
// The undefined-behaviour checks of the sanitized builds would stop these
// faults before the processor raises them, and the race detector would
// report two threads faulting on one address as a race.
#define RAW_FAULT __attribute__((noinline, no_sanitize("undefined", "thread")))

namespace crashchild {

class ChildFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

int* volatile gNowhere = nullptr;
volatile int gZero = 0;
volatile int gNeverDepth = -1;

void PrintFaultAddress(const volatile void* address) {
  std::printf("fault address 0x%" PRIxPTR "\n", reinterpret_cast<std::uintptr_t>(address));
  std::fflush(stdout);
}

RAW_FAULT void CrashOnNullPointer() {
  int* target = gNowhere;
  PrintFaultAddress(target);
  *target = 42;  // crash line: null-worker
  KEEP_FRAME();
}

CHILD_FUNCTION void WorkerStepTwo() {
  CrashOnNullPointer();
  KEEP_FRAME();
}

CHILD_FUNCTION void WorkerStepOne() {
  WorkerStepTwo();
  KEEP_FRAME();
}

// Two threads fault at the same moment; one of them reports.
std::atomic<int> gTwinsReady{0};

CHILD_FUNCTION void CrashTogether() {
  gTwinsReady.fetch_add(1);
  while (gTwinsReady.load() < 2) {
  }
  WorkerStepOne();
  KEEP_FRAME();
}

CHILD_FUNCTION void AbortNow() {
  std::abort();  // crash line: abort
}

CHILD_FUNCTION void AbortStepOne() {
  AbortNow();
  KEEP_FRAME();
}

CHILD_FUNCTION void ThrowChildFailure() {
  throw ChildFailure("the crash child gave up");  // crash line: exception
}

CHILD_FUNCTION void ThrowStepOne() {
  ThrowChildFailure();
  KEEP_FRAME();
}

CHILD_FUNCTION int RecurseWithoutEnd(int depth) {
  volatile char block[4096];
  block[0] = static_cast<char>(depth);
  if (depth == gNeverDepth) return 0;
  const int below = RecurseWithoutEnd(depth + 1);
  return below + block[0];
}

RAW_FAULT int DivideByZero() {
  return 1000 / gZero;  // crash line: divide
}

CHILD_FUNCTION void Trap() {
  __builtin_trap();  // crash line: trap
}

// A shared page whose file shrank under it.
RAW_FAULT void TouchVanishedPage() {
  const long page = sysconf(_SC_PAGESIZE);
  const int file = memfd_create("crash-child", MFD_CLOEXEC);
  if (file < 0 || ftruncate(file, page) != 0) std::exit(6);
  void* mapping = mmap(nullptr, static_cast<size_t>(page), PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
  if (mapping == MAP_FAILED || ftruncate(file, 0) != 0) std::exit(6);
  auto* bytes = static_cast<volatile char*>(mapping);
  PrintFaultAddress(bytes);
  bytes[0] = 1;  // crash line: bus
  KEEP_FRAME();
}

void RunOnNamedThread(const char* name, void (*body)(), bool alternateStack) {
  std::thread worker([name, body, alternateStack] {
    pthread_setname_np(pthread_self(), name);
    if (alternateStack && !corvalind::EnsureThreadAlternateStack()) std::exit(7);
    body();
    KEEP_FRAME();
  });
  worker.join();
}

}  // namespace crashchild

int main(int argc, char** argv) {
  using namespace crashchild;
  if (argc == 3 && std::strcmp(argv[1], "--crash-report") == 0) {
    corvalind::ReportCrash(argv[2]);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "--refuse-report") == 0) return 3;
  if (argc != 2) {
    std::fprintf(stderr, "usage: crash_child MODE\n");
    return 2;
  }
  const std::string mode = argv[1];
  pthread_setname_np(pthread_self(), "crash-main");
  const char* reporter = mode == "abort-unreported" ? "--refuse-report" : "--crash-report";
  if (!corvalind::InstallCrashHandler(corvalind::CrashLogPath(), {reporter})) return 4;

  if (mode == "null-worker") {
    RunOnNamedThread("crash-worker", [] { WorkerStepOne(); }, false);
  } else if (mode == "twin-workers") {
    const auto twin = [] {
      pthread_setname_np(pthread_self(), "crash-twin");
      CrashTogether();
      KEEP_FRAME();
    };
    std::thread first(twin), second(twin);
    first.join();
    second.join();
  } else if (mode == "abort" || mode == "abort-unreported") {
    AbortStepOne();
  } else if (mode == "exception") {
    ThrowStepOne();
  } else if (mode == "overflow") {
    RunOnNamedThread("crash-deep", [] { std::printf("%d\n", RecurseWithoutEnd(0)); }, true);
  } else if (mode == "divide") {
    std::printf("%d\n", DivideByZero());
  } else if (mode == "trap") {
    Trap();
  } else if (mode == "bus") {
    TouchVanishedPage();
  } else {
    std::fprintf(stderr, "crash_child: unknown mode %s\n", mode.c_str());
    return 2;
  }
  return 5;  // still alive: the crash did not happen
}

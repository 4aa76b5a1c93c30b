#include "platform/crash/crash_handler.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <features.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <typeinfo>

#include "platform/folders.h"
#include "platform/version.h"

extern char** environ;

namespace corvalind {

namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr std::size_t kPathBytes = 4096;
constexpr std::size_t kArgumentBytes = 4096;
constexpr int kMaxArguments = 16;
constexpr int kInnerFrames = 96;
constexpr int kOuterFrames = 32;
constexpr long kMaxWalkedFrames = 1000000;
constexpr std::size_t kAlternateStackBytes = 256 * 1024;

// What the handler needs, prepared at install and only read afterwards:
// the handler cannot allocate or ask the environment.
char gLogPath[kPathBytes];
char gLogFolder[kPathBytes];
char gExecutable[kPathBytes];
char gArgumentText[kArgumentBytes];
char* gReporterArgv[kMaxArguments + 3];

// The terminate handler's line about the exception, ready before it aborts.
// The first thread that terminates owns it.
char gTerminateNote[1024];
std::atomic<bool> gTerminateNoteTaken{false};
std::atomic<bool> gTerminateNoteReady{false};

// The thread that handles a crash; 0 while none does.
std::atomic<pid_t> gHandlingThread{0};
static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the signal handler needs lock-free atomics");

pid_t CurrentThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

bool CopyText(const std::string& text, char* buffer, std::size_t bytes) {
  if (text.size() + 1 > bytes || text.find('\0') != std::string::npos) return false;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return true;
}

// Buffered writing to a descriptor with hand-made number formatting; no
// allocation, no locale, no stdio.
class LogWriter {
 public:
  explicit LogWriter(int fd) : fd_(fd) {}
  ~LogWriter() { Flush(); }
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  LogWriter& Text(const char* text) {
    while (*text) Char(*text++);
    return *this;
  }
  LogWriter& Bytes(const char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) Char(bytes[i]);
    return *this;
  }
  LogWriter& Char(char c) {
    if (used_ == sizeof(buffer_)) Flush();
    buffer_[used_++] = c;
    return *this;
  }
  // `width` pads with leading zeros.
  LogWriter& Decimal(long long value, int width = 0) {
    unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                             : static_cast<unsigned long long>(value);
    char digits[24];
    int count = 0;
    do {
      digits[count++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) Char('-');
    for (int i = count; i < width; ++i) Char('0');
    while (count > 0) Char(digits[--count]);
    return *this;
  }
  LogWriter& Hex(std::uintptr_t value) {
    char digits[2 * sizeof(value)];
    int count = 0;
    do {
      digits[count++] = "0123456789abcdef"[value & 15];
      value >>= 4;
    } while (value != 0);
    Text("0x");
    while (count > 0) Char(digits[--count]);
    return *this;
  }
  void Flush() {
    std::size_t done = 0;
    while (done < used_) {
      const ssize_t written = write(fd_, buffer_ + done, used_ - done);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) break;  // a full disk loses the rest, nothing else to do
      done += static_cast<std::size_t>(written);
    }
    used_ = 0;
  }

 private:
  int fd_;
  char buffer_[512];
  std::size_t used_ = 0;
};

const char* SignalName(int signalNumber) {
  switch (signalNumber) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
  }
}

// The name of si_code, or nullptr for a value without one.
const char* CodeName(int signalNumber, int code) {
  switch (code) {
    case SI_USER: return "SI_USER";
    case SI_QUEUE: return "SI_QUEUE";
    case SI_TIMER: return "SI_TIMER";
    case SI_MESGQ: return "SI_MESGQ";
    case SI_ASYNCIO: return "SI_ASYNCIO";
    case SI_SIGIO: return "SI_SIGIO";
    case SI_TKILL: return "SI_TKILL";
    case SI_KERNEL: return "SI_KERNEL";
    default: break;
  }
  switch (signalNumber) {
    case SIGSEGV:
      switch (code) {
        case SEGV_MAPERR: return "SEGV_MAPERR";
        case SEGV_ACCERR: return "SEGV_ACCERR";
#ifdef SEGV_BNDERR
        case SEGV_BNDERR: return "SEGV_BNDERR";
#endif
#ifdef SEGV_PKUERR
        case SEGV_PKUERR: return "SEGV_PKUERR";
#endif
        default: return nullptr;
      }
    case SIGBUS:
      switch (code) {
        case BUS_ADRALN: return "BUS_ADRALN";
        case BUS_ADRERR: return "BUS_ADRERR";
        case BUS_OBJERR: return "BUS_OBJERR";
        case BUS_MCEERR_AR: return "BUS_MCEERR_AR";
        case BUS_MCEERR_AO: return "BUS_MCEERR_AO";
        default: return nullptr;
      }
    case SIGFPE:
      switch (code) {
        case FPE_INTDIV: return "FPE_INTDIV";
        case FPE_INTOVF: return "FPE_INTOVF";
        case FPE_FLTDIV: return "FPE_FLTDIV";
        case FPE_FLTOVF: return "FPE_FLTOVF";
        case FPE_FLTUND: return "FPE_FLTUND";
        case FPE_FLTRES: return "FPE_FLTRES";
        case FPE_FLTINV: return "FPE_FLTINV";
        case FPE_FLTSUB: return "FPE_FLTSUB";
        default: return nullptr;
      }
    case SIGILL:
      switch (code) {
        case ILL_ILLOPC: return "ILL_ILLOPC";
        case ILL_ILLOPN: return "ILL_ILLOPN";
        case ILL_ILLADR: return "ILL_ILLADR";
        case ILL_ILLTRP: return "ILL_ILLTRP";
        case ILL_PRVOPC: return "ILL_PRVOPC";
        case ILL_PRVREG: return "ILL_PRVREG";
        case ILL_COPROC: return "ILL_COPROC";
        case ILL_BADSTK: return "ILL_BADSTK";
        default: return nullptr;
      }
    default:
      return nullptr;
  }
}

// "YYYY-MM-DD HH:MM:SS UTC" from the clock, by the civil-from-days rule
// (gmtime is not safe in a signal handler).
void WriteTime(LogWriter& out) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const long long seconds = now.tv_sec;
  long long days = seconds / 86400;
  long long rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    days -= 1;
  }
  const long long z = days + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long dayOfEra = z - era * 146097;
  const long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const long long monthIndex = (5 * dayOfYear + 2) / 153;
  const long long day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const long long month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  out.Decimal(year, 4).Char('-').Decimal(month, 2).Char('-').Decimal(day, 2).Char(' ');
  out.Decimal(rest / 3600, 2).Char(':').Decimal(rest / 60 % 60, 2).Char(':').Decimal(rest % 60, 2).Text(" UTC");
}

struct Frame {
  std::uintptr_t address;
  bool interrupted;  // the instruction a signal stopped, not a return address
};

// The innermost frames and, of a deeper stack (a runaway recursion), the
// outermost ones too: where the thread started.
struct FrameList {
  Frame inner[kInnerFrames];
  Frame outer[kOuterFrames];  // a ring: the last kOuterFrames seen
  long total = 0;
};

_Unwind_Reason_Code CollectFrame(_Unwind_Context* context, void* argument) {
  auto* list = static_cast<FrameList*>(argument);
  // A stack that never ends is a damaged one.
  if (list->total >= kMaxWalkedFrames) return _URC_END_OF_STACK;
  int beforeInstruction = 0;
  const auto address = static_cast<std::uintptr_t>(_Unwind_GetIPInfo(context, &beforeInstruction));
  if (address == 0) return _URC_END_OF_STACK;
  const Frame frame{address, beforeInstruction != 0};
  if (list->total < kInnerFrames) {
    list->inner[list->total] = frame;
  } else {
    list->outer[(list->total - kInnerFrames) % kOuterFrames] = frame;
  }
  ++list->total;
  return _URC_NO_REASON;
}

// The stack of the calling thread, innermost first, through the unwinder
// the C++ runtime uses for exceptions. It reads the unwind tables of the
// loaded objects and allocates nothing once it has run once (install does
// that); it crosses the signal frame, and the frame behind it is flagged
// as interrupted.
void CollectFrames(FrameList* list) {
  list->total = 0;
  _Unwind_Backtrace(&CollectFrame, list);
}

std::uintptr_t InterruptedInstruction(const void* context) {
  if (!context) return 0;
  const auto* machine = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(machine->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
  return static_cast<std::uintptr_t>(machine->uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
  return static_cast<std::uintptr_t>(machine->uc_mcontext.pc);
#else
  (void)machine;
  return 0;
#endif
}

void WriteHeader(LogWriter& out, int signalNumber, const siginfo_t* info) {
  out.Text("Corvalind ").Text(kProductVersion).Text(" crashed at ");
  WriteTime(out);
  out.Char('\n');
  out.Text("Program: ").Text(gExecutable[0] ? gExecutable : "?").Text(" (process ").Decimal(getpid()).Text(")\n");
  out.Text("Signal: ").Decimal(signalNumber).Char(' ').Text(SignalName(signalNumber));
  if (info) {
    out.Text(", code ").Decimal(info->si_code);
    if (const char* name = CodeName(signalNumber, info->si_code)) out.Char(' ').Text(name);
    if (info->si_code <= 0) {
      // Sent by a process (kill, raise, abort): si_addr means nothing.
      out.Text(", sent by process ").Decimal(info->si_pid);
    } else if (signalNumber == SIGSEGV || signalNumber == SIGBUS) {
      out.Text(", fault address ").Hex(reinterpret_cast<std::uintptr_t>(info->si_addr));
    } else if (signalNumber == SIGFPE || signalNumber == SIGILL) {
      out.Text(", at instruction ").Hex(reinterpret_cast<std::uintptr_t>(info->si_addr));
    }
  }
  out.Char('\n');
  char threadName[17] = {};
  prctl(PR_GET_NAME, threadName, 0, 0, 0);
  out.Text("Thread: ").Decimal(CurrentThreadId()).Text(" \"").Text(threadName).Text("\"\n");
  if (gTerminateNoteReady.load(std::memory_order_acquire)) out.Text(gTerminateNote).Char('\n');
}

void WriteFrame(LogWriter& out, const Frame& frame) {
  out.Text(frame.interrupted ? "pc " : "ret ").Hex(frame.address).Char('\n');
}

void WriteStack(LogWriter& out, const void* context) {
  FrameList list;
  CollectFrames(&list);
  const int innerCount = static_cast<int>(std::min<long>(list.total, kInnerFrames));
  // The handler's own frames and the signal trampoline come first; the
  // report starts at the interrupted instruction.
  int first = 0;
  while (first < innerCount && !list.inner[first].interrupted) ++first;
  out.Text("Stack:\n");
  if (first == innerCount) {
    // The unwinder did not cross the signal frame: the interrupted
    // instruction from the saved registers, then everything it found.
    if (const std::uintptr_t pc = InterruptedInstruction(context)) out.Text("pc ").Hex(pc).Char('\n');
    first = 0;
  }
  for (int i = first; i < innerCount; ++i) WriteFrame(out, list.inner[i]);
  const long beyond = list.total - innerCount;
  if (beyond <= 0) return;
  const long outerCount = std::min<long>(beyond, kOuterFrames);
  if (beyond > outerCount) out.Text("skipped ").Decimal(beyond - outerCount).Char('\n');
  const long oldest = beyond > kOuterFrames ? beyond % kOuterFrames : 0;
  for (long i = 0; i < outerCount; ++i) WriteFrame(out, list.outer[(oldest + i) % kOuterFrames]);
}

void CopyMemoryMap(LogWriter& out) {
  out.Text("Memory map:\n");
  const int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (maps < 0) return;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(maps, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    out.Bytes(buffer, static_cast<std::size_t>(got));
  }
  close(maps);
}

// A fresh log, never a leftover of an earlier crash nor a link planted in
// its place.
int OpenFreshLog() {
  if (!gLogPath[0]) return -1;
  unlink(gLogPath);
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
  int fd = open(gLogPath, kFlags, 0600);
  if (fd < 0 && errno == ENOENT && gLogFolder[0]) {
    mkdir(gLogFolder, 0700);
    fd = open(gLogPath, kFlags, 0600);
  }
  return fd;
}

// Runs the report process and waits for it; true when it ended well.
bool RunReporter() {
  if (!gExecutable[0] || !gReporterArgv[0]) return false;
#if __GLIBC_PREREQ(2, 34)
  // Unlike fork, runs no fork handlers and takes no allocator locks, which
  // the crashed thread may hold.
  const pid_t child = _Fork();
#else
  const pid_t child = fork();
#endif
  if (child < 0) return false;
  if (child == 0) {
    // The handler's blocked signals would outlive execve.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(gExecutable, gReporterArgv, environ);
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    // ECHILD: SIGCHLD is ignored, the child was reaped after it ended.
    if (errno == ECHILD) return true;
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Ends the process by `signalNumber` with its default action, so that the
// exit status says which crash it was.
[[noreturn]] void DieBySignal(int signalNumber) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signalNumber, &action, nullptr);
  // Straight to this thread (raise may be wrapped); blocked while the
  // handler runs, it arrives once unblocked.
  syscall(SYS_tgkill, getpid(), CurrentThreadId(), signalNumber);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signalNumber);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  _exit(128 + signalNumber);
}

void OnCrashSignal(int signalNumber, siginfo_t* info, void* context) {
  const pid_t self = CurrentThreadId();
  pid_t handling = 0;
  if (!gHandlingThread.compare_exchange_strong(handling, self)) {
    // A crash inside the handler ends at once. A crash of another thread
    // waits: the thread that reports ends the whole process.
    if (handling == self) DieBySignal(signalNumber);
    for (;;) pause();
  }
  const int log = OpenFreshLog();
  if (log >= 0) {
    {
      LogWriter out(log);
      WriteHeader(out, signalNumber, info);
      WriteStack(out, context);
      CopyMemoryMap(out);
    }
    close(log);
  }
  if (log < 0 || !RunReporter()) {
    LogWriter out(STDERR_FILENO);
    if (log < 0) {
      out.Text("Corvalind crashed and cannot write the crash log ").Text(gLogPath).Char('\n');
      WriteHeader(out, signalNumber, info);
      WriteStack(out, context);
    } else {
      out.Text("Corvalind crashed and its report process failed; the crash log is ").Text(gLogPath).Char('\n');
    }
  }
  DieBySignal(signalNumber);
}

std::string Demangle(const char* name) {
  int status = 0;
  char* readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string result = status == 0 && readable ? readable : name;
  std::free(readable);
  return result;
}

std::string DescribeCurrentException() {
  const std::exception_ptr current = std::current_exception();
  if (!current) return "Terminate: std::terminate called without an active exception";
  const std::type_info* type = abi::__cxa_current_exception_type();
  std::string note = "Exception: uncaught " + (type ? Demangle(type->name()) : std::string("exception"));
  try {
    std::rethrow_exception(current);
  } catch (const std::exception& exception) {
    note += ": ";
    note += exception.what();
  } catch (...) {
  }
  return note;
}

// Runs in a normal context: it may allocate. It leaves its line for the
// SIGABRT handler and aborts.
[[noreturn]] void OnTerminate() {
  bool taken = false;
  if (gTerminateNoteTaken.compare_exchange_strong(taken, true)) {
    const std::string note = DescribeCurrentException();
    const std::size_t length = std::min(note.size(), sizeof(gTerminateNote) - 1);
    for (std::size_t i = 0; i < length; ++i) {
      // One line: the log's markers start lines.
      const auto c = static_cast<unsigned char>(note[i]);
      gTerminateNote[i] = c < 0x20 || c == 0x7f ? ' ' : note[i];
    }
    gTerminateNote[length] = '\0';
    gTerminateNoteReady.store(true, std::memory_order_release);
  }
  std::abort();
}

struct AlternateStack {
  void* memory = nullptr;
  std::size_t bytes = 0;
  ~AlternateStack() {
    if (!memory) return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    munmap(memory, bytes);
  }
};

thread_local AlternateStack tAlternateStack;

}  // namespace

std::string CrashLogPath() { return DocumentsFolder() + "/Corvalind.log"; }

bool EnsureThreadAlternateStack() {
  stack_t current{};
  if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)) return true;
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const long minimum = sysconf(_SC_SIGSTKSZ);
  std::size_t size = std::max(kAlternateStackBytes, minimum > 0 ? 4 * static_cast<std::size_t>(minimum) : 0);
  size = (size + page - 1) / page * page;
  // One inaccessible page below, so that overrunning it faults instead of
  // writing over a neighbour.
  void* memory = mmap(nullptr, size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (memory == MAP_FAILED) return false;
  if (mprotect(memory, page, PROT_NONE) != 0) {
    munmap(memory, size + page);
    return false;
  }
  stack_t stack{};
  stack.ss_sp = static_cast<char*>(memory) + page;
  stack.ss_size = size;
  if (sigaltstack(&stack, nullptr) != 0) {
    munmap(memory, size + page);
    return false;
  }
  tAlternateStack.memory = memory;
  tAlternateStack.bytes = size + page;
  return true;
}

bool InstallCrashHandler(const std::string& logPath, const std::vector<std::string>& reporterArguments) {
  const std::size_t slash = logPath.rfind('/');
  const std::string folder = slash == std::string::npos || slash == 0 ? std::string() : logPath.substr(0, slash);
  if (logPath.empty() || !CopyText(logPath, gLogPath, sizeof(gLogPath)) ||
      !CopyText(folder, gLogFolder, sizeof(gLogFolder))) {
    return false;
  }
  const ssize_t length = readlink("/proc/self/exe", gExecutable, sizeof(gExecutable) - 1);
  if (length <= 0) {
    gExecutable[0] = '\0';
    return false;
  }
  gExecutable[length] = '\0';

  // argv: the executable, the arguments, the log path.
  if (reporterArguments.size() > kMaxArguments) return false;
  std::size_t used = 0;
  int count = 0;
  gReporterArgv[count++] = gExecutable;
  for (const std::string& argument : reporterArguments) {
    if (!CopyText(argument, gArgumentText + used, sizeof(gArgumentText) - used)) return false;
    gReporterArgv[count++] = gArgumentText + used;
    used += argument.size() + 1;
  }
  gReporterArgv[count++] = gLogPath;
  gReporterArgv[count] = nullptr;

  // The unwinder's first run may load and allocate; never in the handler.
  static FrameList warmUp;
  CollectFrames(&warmUp);
  EnsureThreadAlternateStack();

  struct sigaction action {};
  action.sa_sigaction = &OnCrashSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int signalNumber : kCrashSignals) sigaddset(&action.sa_mask, signalNumber);
  bool installed = true;
  for (int signalNumber : kCrashSignals) installed = sigaction(signalNumber, &action, nullptr) == 0 && installed;
  std::set_terminate(&OnTerminate);
  return installed;
}

}  // namespace corvalind

#include "platform/crash/crash_report.h"

#include <cxxabi.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "platform/file_io.h"

namespace corvalind {

namespace {

// Far above any real log (the memory map of the studio is some hundred
// kilobytes).
constexpr std::size_t kLogLimitBytes = 32u << 20;

struct RawFrame {
  std::uintptr_t address;
  bool interrupted;  // "pc": the stopped instruction; "ret": a return address
  long skipped;      // "skipped N": not a frame, N frames left out here
};

struct RawLog {
  std::string header;  // the lines before "Stack:", each with its newline
  std::vector<RawFrame> frames;
  std::string maps;  // the text after "Memory map:"
};

bool ParseAddress(std::string_view text, std::uintptr_t* address) {
  if (text.size() < 3 || text.substr(0, 2) != "0x" || text.size() > 2 + 2 * sizeof(std::uintptr_t)) return false;
  std::uintptr_t value = 0;
  for (char c : text.substr(2)) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return false;
    }
    value = value << 4 | static_cast<std::uintptr_t>(digit);
  }
  *address = value;
  return true;
}

bool ParseCount(std::string_view text, long* count) {
  if (text.empty() || text.size() > 9) return false;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  *count = value;
  return value > 0;
}

// False for anything but a raw log: no "Stack:" line, or a stack line that
// is not a raw frame (a log already made readable has "#N" lines). A log
// cut short (the crashed process was killed while writing) keeps what it
// has.
bool ParseRawLog(const std::string& text, RawLog* log) {
  enum class Part { kHeader, kStack } part = Part::kHeader;
  std::size_t position = 0;
  while (position < text.size()) {
    std::size_t end = text.find('\n', position);
    const bool lastLine = end == std::string::npos;
    if (lastLine) end = text.size();
    const std::string_view line(text.data() + position, end - position);
    const std::size_t next = lastLine ? end : end + 1;
    if (part == Part::kHeader) {
      if (line == "Stack:") {
        part = Part::kStack;
      } else {
        log->header.append(line).push_back('\n');
      }
    } else if (line == "Memory map:") {
      log->maps = text.substr(next);
      return true;
    } else if (lastLine) {
      break;  // a line without its newline was cut in the middle
    } else {
      RawFrame frame{};
      if (line.substr(0, 3) == "pc " && ParseAddress(line.substr(3), &frame.address)) {
        frame.interrupted = true;
      } else if (line.substr(0, 4) == "ret " && ParseAddress(line.substr(4), &frame.address)) {
        frame.interrupted = false;
      } else if (line.substr(0, 8) == "skipped " && ParseCount(line.substr(8), &frame.skipped)) {
      } else {
        return false;
      }
      log->frames.push_back(frame);
    }
    position = next;
  }
  return part == Part::kStack;
}

std::string Demangle(const char* name) {
  int status = 0;
  char* readable = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string result = status == 0 && readable ? readable : name;
  std::free(readable);
  return result;
}

std::string Hex(std::uintptr_t value, int width = 0) {
  char text[2 + 2 * sizeof(value) + 1];
  std::snprintf(text, sizeof(text), "0x%0*" PRIxPTR, width, value);
  return text;
}

std::string BaseName(const char* path) {
  const std::string_view text(path);
  const std::size_t slash = text.rfind('/');
  return std::string(slash == std::string_view::npos ? text : text.substr(slash + 1));
}

// Debug information from this machine only: the module's own file, then
// the build-id folders of the debug-info packages. The standard search
// would also ask debuginfod servers, and a crash report must not wait on
// downloads (DEBUGINFOD_URLS is often set).
char* gDebugInfoPath = nullptr;
const Dwfl_Callbacks kCallbacks = {
    .find_elf = dwfl_linux_proc_find_elf,
    .find_debuginfo = dwfl_build_id_find_debuginfo,
    .section_address = dwfl_offline_section_address,
    .debuginfo_path = &gDebugInfoPath,
};

// The modules of the crashed process, from its saved memory map. The
// files are those on disk now: the crash and its report are moments apart.
class Symbolizer {
 public:
  explicit Symbolizer(std::string maps) : maps_(std::move(maps)) {
    dwfl_ = dwfl_begin(&kCallbacks);
    if (!dwfl_) return;
    dwfl_report_begin(dwfl_);
    if (!maps_.empty()) {
      if (FILE* stream = fmemopen(maps_.data(), maps_.size(), "r")) {
        dwfl_linux_proc_maps_report(dwfl_, stream);
        std::fclose(stream);
      }
    }
    dwfl_report_end(dwfl_, nullptr, nullptr);
  }
  ~Symbolizer() {
    if (dwfl_) dwfl_end(dwfl_);
  }
  Symbolizer(const Symbolizer&) = delete;
  Symbolizer& operator=(const Symbolizer&) = delete;

  // "0xADDR function+0xOFF (file:line) in module", with "??" for what is
  // not known.
  std::string Describe(const RawFrame& frame) const {
    std::string text = Hex(frame.address, 2 * sizeof(frame.address));
    // A return address is the instruction after the call: the call itself
    // (its function and line) is one byte before, which matters when the
    // call is the last instruction of a function, as a call to abort is.
    const Dwarf_Addr lookup = frame.interrupted || frame.address == 0 ? frame.address : frame.address - 1;
    Dwfl_Module* module = dwfl_ ? dwfl_addrmodule(dwfl_, lookup) : nullptr;
    if (!module) return text + " ??";
    GElf_Off offset = 0;
    GElf_Sym symbol{};
    const char* name = dwfl_module_addrinfo(module, lookup, &offset, &symbol, nullptr, nullptr, nullptr);
    if (name && *name) {
      text.append(" ").append(Demangle(name)).append("+").append(Hex(offset + (frame.address - lookup)));
    } else {
      text += " ??";
    }
    // Only a unit that covers the address has its line: the nearest line
    // of another one (an address of start-up code built without debug
    // information) would name a wrong place.
    Dwarf_Addr bias = 0;
    Dwarf_Die* unit = dwfl_module_addrdie(module, lookup, &bias);
    Dwfl_Line* line = unit && dwarf_haspc(unit, lookup - bias) > 0 ? dwfl_module_getsrc(module, lookup) : nullptr;
    if (line) {
      Dwarf_Addr lineAddress = 0;
      int lineNumber = 0;
      const char* file = dwfl_lineinfo(line, &lineAddress, &lineNumber, nullptr, nullptr, nullptr);
      if (file && lineNumber > 0) {
        text.append(" (").append(file).append(":").append(std::to_string(lineNumber)).append(")");
      }
    }
    const char* moduleName = dwfl_module_info(module, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (moduleName) text.append(" in ").append(BaseName(moduleName));
    return text;
  }

 private:
  std::string maps_;
  Dwfl* dwfl_ = nullptr;
};

}  // namespace

std::string CrashMessageText(const std::string& logPath) {
  return "Corvalind CRASHED :-(\n"
         "Crash log location- " +
         logPath +
         "\n"
         "Please send this log to the Corvalind developers for analysis.";
}

CrashReport SymbolizeCrashLog(const std::string& logPath) {
  CrashReport report;
  report.message = CrashMessageText(logPath);
  std::string text;
  RawLog log;
  if (!ReadRegularFile(logPath, kLogLimitBytes, ReadLimit::kRefuseLarger, &text) || !ParseRawLog(text, &log)) {
    return report;
  }
  std::string readable = log.header + "Stack:\n";
  {
    const Symbolizer symbolizer(log.maps);
    long number = 0;
    for (const RawFrame& frame : log.frames) {
      if (frame.skipped > 0) {
        readable.append("... ").append(std::to_string(frame.skipped)).append(" frames left out\n");
        number += frame.skipped;
        continue;
      }
      readable.append("#").append(std::to_string(number++)).append(" ").append(symbolizer.Describe(frame)).append("\n");
      ++report.frames;
    }
  }
  readable.append("Memory map:\n").append(log.maps);
  report.symbolized = ReplaceFile(logPath, readable, 0600);
  if (!report.symbolized) report.frames = 0;
  return report;
}

CrashReport ReportCrash(const std::string& logPath) {
  CrashReport report = SymbolizeCrashLog(logPath);
  std::fprintf(stderr, "%s\n", report.message.c_str());
  std::fflush(stderr);
  return report;
}

}  // namespace corvalind

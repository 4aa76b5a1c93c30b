// snaptrace-run GAME [ARGS]
//
// Starts GAME with libsnaptrace.so preloaded: the library's absolute path
// goes in front of LD_PRELOAD (whatever it held stays behind it) and the
// game replaces this program, so its exit status is the game's. The
// library is looked for beside this program: in a build tree (build/bin ->
// build/lib), in an installation moved as a whole (PREFIX/bin ->
// PREFIX/<libdir>), then in the installation's own library folder.
//
// Exit status of its own: 2 without a game, 125 when the library cannot be
// found or preloaded, 126 when the game cannot be run, 127 when it does not
// exist.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

constexpr const char* kLibraryFile = "libsnaptrace.so";

bool IsRegularFile(const std::filesystem::path& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::filesystem::path ProgramFolder() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : self.parent_path();
}

std::string FindLibrary() {
  const std::filesystem::path folder = ProgramFolder();
  std::filesystem::path candidates[3];
  int count = 0;
  if (!folder.empty()) {
    candidates[count++] = folder / ".." / "lib" / kLibraryFile;
    candidates[count++] = folder / ".." / SNAPTRACE_RELATIVE_LIBDIR / kLibraryFile;
  }
  candidates[count++] = std::filesystem::path(SNAPTRACE_INSTALL_LIBDIR) / kLibraryFile;
  for (int i = 0; i < count; ++i) {
    if (!IsRegularFile(candidates[i])) continue;
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::weakly_canonical(candidates[i], error);
    return error ? std::filesystem::absolute(candidates[i]).lexically_normal().string() : absolute.string();
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "Usage: snaptrace-run GAME [ARGS]\n");
    return 2;
  }
  const std::string library = FindLibrary();
  if (library.empty()) {
    std::fprintf(stderr, "snaptrace-run: cannot find %s beside this program or in %s\n", kLibraryFile,
                 SNAPTRACE_INSTALL_LIBDIR);
    return 125;
  }
  // The loader splits LD_PRELOAD at spaces and colons.
  if (library.find_first_of(" :") != std::string::npos) {
    std::fprintf(stderr, "snaptrace-run: %s cannot be preloaded from a path with a space or colon\n",
                 library.c_str());
    return 125;
  }
  std::string preload = library;
  const char* existing = std::getenv("LD_PRELOAD");
  if (existing && *existing) {
    preload += ':';
    preload += existing;
  }
  if (setenv("LD_PRELOAD", preload.c_str(), 1) != 0) {
    std::perror("snaptrace-run: LD_PRELOAD");
    return 125;
  }
  execvp(argv[1], argv + 1);
  const int error = errno;
  std::fprintf(stderr, "snaptrace-run: cannot run %s: %s\n", argv[1], std::strerror(error));
  return error == ENOENT ? 127 : 126;
}

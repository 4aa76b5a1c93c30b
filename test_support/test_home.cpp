#include "test_support/test_home.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

namespace corvalind::testing {

TemporaryHome::TemporaryHome(const std::string& prefix) {
  root_ = std::filesystem::temp_directory_path() / (prefix + "-" + std::to_string(getpid()));
  std::error_code error;
  std::filesystem::remove_all(root_, error);
  std::filesystem::create_directories(Documents() / "Corvalind");
  std::filesystem::create_directories(Config());
  std::filesystem::create_directories(root_ / "runtime");
  chmod((root_ / "runtime").c_str(), 0700);
  setenv("HOME", root_.c_str(), 1);
  setenv("XDG_DOCUMENTS_DIR", Documents().c_str(), 1);
  setenv("XDG_CONFIG_HOME", Config().c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (root_ / "runtime").c_str(), 1);
  // A PipeWire named by the user's environment is never joined: the
  // runtime folder above (empty unless a test starts a daemon) is the one.
  unsetenv("PIPEWIRE_RUNTIME_DIR");
  unsetenv("PIPEWIRE_REMOTE");
}

TemporaryHome::~TemporaryHome() {
  std::error_code error;
  std::filesystem::remove_all(root_, error);
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::set<std::string> FileNames(const std::string& folder) {
  std::set<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit,
             const std::function<void()>& pump) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    if (pump) pump();
    // A short pause between checks leaves the core to the thread the test
    // waits for; the result is decided by `done`, never by the pause.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace corvalind::testing

// Test helpers shared by the test programs: a temporary home with its XDG
// folders, so that tests never touch the real user's files, and waiting for
// a condition instead of sleeping for a guessed time.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

namespace corvalind::testing {

// Creates a fresh folder under the system's temporary folder and points
// HOME, XDG_CONFIG_HOME, XDG_DOCUMENTS_DIR and XDG_RUNTIME_DIR (mode 0700)
// into it. The folder goes with the object.
class TemporaryHome {
 public:
  explicit TemporaryHome(const std::string& prefix);
  ~TemporaryHome();
  TemporaryHome(const TemporaryHome&) = delete;
  TemporaryHome& operator=(const TemporaryHome&) = delete;

  const std::filesystem::path& Root() const { return root_; }
  std::filesystem::path Documents() const { return root_ / "Documents"; }
  std::filesystem::path Config() const { return root_ / "config"; }

 private:
  std::filesystem::path root_;
};

// Checks `done` until it holds or `limit` has passed; `pump` (when given)
// runs between checks, for example to deliver the UI thread's events. The
// limit only fails a test that would otherwise hang: it is far above what
// any passing run needs.
// The bytes of a file ("" when it cannot be read).
std::string ReadBytes(const std::string& path);
// The names in a folder, to see what an action added or took away.
std::set<std::string> FileNames(const std::string& folder);

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20),
             const std::function<void()>& pump = nullptr);

}  // namespace corvalind::testing

// Status texts as the status bar would receive them, recorded from any
// thread while a recorder exists, and a fresh folder for each test.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "engine/messages.h"

namespace corvalind::testing {

// Routes the status texts to itself while it lives; the handler before it
// comes back afterwards. One at a time.
class StatusRecorder {
 public:
  StatusRecorder();
  ~StatusRecorder();
  StatusRecorder(const StatusRecorder&) = delete;
  StatusRecorder& operator=(const StatusRecorder&) = delete;

  // The texts since the last call, oldest first.
  std::vector<std::string> Take();

 private:
  StatusTextHandler previous_;
};

// An empty folder named after the running test (and the process), made
// anew under the system's temporary folder.
std::filesystem::path FreshTestFolder(const std::string& prefix);

}  // namespace corvalind::testing

// A private PipeWire for the tests that need one: a session bus, the
// pipewire daemon and the WirePlumber session manager, all in a runtime
// folder of the test's own, so the user's PipeWire is never touched.
#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>

namespace corvalind::testing {

class PrivatePipeWire {
 public:
  PrivatePipeWire() = default;
  // Ends the three processes, the session manager first.
  ~PrivatePipeWire();
  PrivatePipeWire(const PrivatePipeWire&) = delete;
  PrivatePipeWire& operator=(const PrivatePipeWire&) = delete;

  // Starts them in runtimeDir and points this process's XDG_RUNTIME_DIR and
  // DBUS_SESSION_BUS_ADDRESS at them (children inherit both). Waits until
  // the daemon takes connections and the session manager has joined. False
  // with a reason when one of them could not be started.
  bool Start(const std::filesystem::path& runtimeDir, std::string* reason);

  // Ends the daemon and the session manager (a daemon that goes away
  // mid-show), and starts them again on the same bus and folder.
  void StopDaemon();
  bool StartDaemon(std::string* reason);

  // The properties block `pw-cli ls Node` prints for the node whose
  // node.name is `name`, empty when there is none.
  static std::string NodeProperties(const std::string& name);

 private:
  pid_t bus_ = -1;
  pid_t daemon_ = -1;
  pid_t manager_ = -1;
  std::filesystem::path dir_;
};

// Output of a shell command line (stdout only), with its exit status.
int RunCommand(const std::string& commandLine, std::string* output);

}  // namespace corvalind::testing

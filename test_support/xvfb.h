// A private X server for the tests that need one: Xvfb on a display number
// it picks itself (-displayfd), so test programs running side by side never
// share a server, and never the user's screen.
#pragma once

#include <string>
#include <sys/types.h>

namespace corvalind::testing {

class PrivateXServer {
 public:
  PrivateXServer() = default;
  // Ends the server.
  ~PrivateXServer();
  PrivateXServer(const PrivateXServer&) = delete;
  PrivateXServer& operator=(const PrivateXServer&) = delete;

  // Starts Xvfb with one screen of width x height x 24 and waits until it
  // takes connections. False when Xvfb cannot be started.
  bool Start(int width, int height);
  // ":N" once started.
  const std::string& DisplayName() const { return name_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

}  // namespace corvalind::testing

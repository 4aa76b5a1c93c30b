#include "test_support/xvfb.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>


namespace corvalind::testing {

bool PrivateXServer::Start(int width, int height) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return false;
  const pid_t pid = fork();
  if (pid < 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    return false;
  }
  if (pid == 0) {
    close(pipeFds[0]);
    if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(126);
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    const std::string fd = std::to_string(pipeFds[1]);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp",
           static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeFds[1]);
  // The server writes its display number once it takes connections.
  std::string number;
  char c = 0;
  while (read(pipeFds[0], &c, 1) == 1 && c != '\n') number += c;
  close(pipeFds[0]);
  pid_ = pid;
  if (number.empty()) return false;
  name_ = ":" + number;
  return true;
}

PrivateXServer::~PrivateXServer() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

}  // namespace corvalind::testing

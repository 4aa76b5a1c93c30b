// hook_client_child SLOT TARGET LIBRARY_FOLDER
//
// Runs a hook context in a process of its own, so that a test can kill the
// studio's side in the middle of a capture. Prints each status text, and
// "delivered WIDTH HEIGHT" once the first frame is in the slot; then runs
// until it is killed.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/source_slot.h"
#include "hook/client/hook_context.h"

namespace {

std::atomic<bool> g_reported{false};

void Deliver(bool skip, uint8_t slot, const uint8_t* pixels, uint32_t length, int32_t width, int32_t height) {
  corvalind::DeliverFrame(skip, slot, pixels, length, width, height);
  if (!g_reported.exchange(true)) {
    std::printf("delivered %d %d\n", width, height);
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "Usage: hook_client_child SLOT TARGET LIBRARY_FOLDER\n");
    return 1;
  }
  corvalind::HookContext context(static_cast<uint8_t>(std::atoi(argv[1])), argv[2], argv[3], "", &Deliver);
  context.SetStatusSink([](const std::string& text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
  });
  context.Start();
  for (;;) pause();
}

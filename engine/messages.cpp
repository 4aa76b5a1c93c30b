#include "engine/messages.h"

#include <atomic>
#include <cstdio>

namespace corvalind {
namespace {

void PrintToStderr(std::string_view text, std::string_view caption) {
  std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
               static_cast<int>(text.size()), text.data());
}

std::atomic<MessageBoxHandler> gHandler{&PrintToStderr};

void DropStatusText(std::string_view) {}

std::atomic<StatusTextHandler> gStatusHandler{&DropStatusText};

}  // namespace

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
  return gHandler.exchange(handler ? handler : &PrintToStderr);
}

void ShowMessageBox(std::string_view text, std::string_view caption) {
  gHandler.load()(text, caption);
}

StatusTextHandler SetStatusTextHandler(StatusTextHandler handler) {
  return gStatusHandler.exchange(handler ? handler : &DropStatusText);
}

void SetStatusText(std::string_view text) { gStatusHandler.load()(text); }

}  // namespace corvalind

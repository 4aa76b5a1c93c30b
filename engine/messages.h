// How the engine tells the user about the few failures it reports.
//
// The engine knows no windows. The studio installs a handler that shows a
// message box on the UI thread; until then the text goes to standard error.
// Callable from any thread.
#pragma once

#include <string_view>

namespace corvalind {

using MessageBoxHandler = void (*)(std::string_view text, std::string_view caption);

// Installs the handler (nullptr restores the standard-error default) and
// returns the previous one.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

void ShowMessageBox(std::string_view text, std::string_view caption);

// The one-line status text of the main window. The handler shows the text
// when the status bar exists and is visible; until one is installed the
// text is dropped. Callable from any thread.
using StatusTextHandler = void (*)(std::string_view text);
StatusTextHandler SetStatusTextHandler(StatusTextHandler handler);
void SetStatusText(std::string_view text);

}  // namespace corvalind

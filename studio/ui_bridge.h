// Brings the engine's status texts and message boxes to the UI thread:
// SetStatusText and ShowMessageBox may be called from any thread; the text
// lands in the main window's status bar (when it is visible) and the boxes
// open on the UI thread.
#pragma once

#include <QString>

class QMainWindow;

namespace corvalind {

// Routes both hooks to this window (nullptr: back to the defaults). UI
// thread; call with nullptr before the window goes. Texts and boxes sent
// from workers after that are dropped.
void InstallUiBridge(QMainWindow* window);

// Shows a message box with this caption on the UI thread. Validation
// messages use an empty caption.
void ShowStudioMessage(const QString& text, const QString& caption = QString());

// Tests replace the boxes: the handler receives text and caption instead.
using StudioMessageHandler = void (*)(const QString& text, const QString& caption);
void SetStudioMessageHandler(StudioMessageHandler handler);

// Asks a Yes/No question in a modal box on the main window; true for Yes.
// UI thread only (the caller waits for the answer).
bool AskStudioQuestion(const QString& text, const QString& caption);

// Tests answer the questions: the handler receives text and caption and
// returns the answer.
using StudioQuestionHandler = bool (*)(const QString& text, const QString& caption);
void SetStudioQuestionHandler(StudioQuestionHandler handler);

}  // namespace corvalind

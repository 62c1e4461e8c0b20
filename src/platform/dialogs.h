#pragma once
// Message box, input box and program end, each with a variant for runs without a display:
// there nothing may wait for a click that cannot come.

#include <QString>

#include <functional>
#include <optional>

class QWidget;

namespace platform {

// The caption of every box.
inline constexpr const char* kApplicationTitle = "Drennik";

// True when the platform in use cannot show windows to a person (offscreen or minimal).
bool IsHeadless();

// Shows `text` with one OK button and waits for it; headless it does not wait. The text always
// also goes to standard error as "drennik: TEXT".
void MessageBox(const QString& text, QWidget* parent = nullptr);

// The same without waiting, for use while the event loop runs: the box stays up on its own and
// nothing is held up until it is dismissed.
void ShowMessage(const QString& text, QWidget* parent = nullptr);

// Asks for one line of text; nullopt when cancelled. Headless, without a test answer, it
// answers as if cancelled.
std::optional<QString> InputBox(const QString& prompt, const QString& title,
                                QWidget* parent = nullptr);

// Ends the program at once: no handler runs, no window is closed first.
[[noreturn]] void EndProgram(int status);

// Test seams: answer the input box, and see message boxes, without any window.
void SetInputBoxAnswerForTesting(std::function<std::optional<QString>(const QString&)> answer);
void SetMessageBoxObserverForTesting(std::function<void(const QString&)> observer);

}  // namespace platform

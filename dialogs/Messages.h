// The program's font, its short modal messages and the guard of its event handlers: shared by
// every window.
#pragma once

#include <QString>
#include <exception>
#include <functional>

class QFont;
class QWidget;

// The windows' font: an 11-pixel sans-serif face of the classic dialog width.
QFont TonvistaFont();

// Shows a short modal message with one OK button. MessageBoxHook, when set, receives it
// instead (tests, which must not block on a modal box).
void ShowMessage(QWidget* parent, const QString& text);
extern std::function<void(QWidget* parent, const QString& text)> MessageBoxHook;

// Shows the exception that escaped an event handler; the program goes on.
void ReportException(std::exception_ptr error);

// Runs an event handler so that an exception escaping it is shown and not propagated.
template <class F>
auto Guarded(F handler) {
  return [handler](auto&&...) {
    try {
      handler();
    } catch (...) {
      ReportException(std::current_exception());
    }
  };
}

// The application object, the program's message boxes and the five windows' lifetime.
#pragma once

#include <QApplication>
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

// Catches what escapes the dispatch of an event, shows it, and lets the loop go on.
class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
  // The guard of notify, callable with any dispatch.
  static bool GuardedDispatch(const std::function<bool()>& dispatch);
};

// Creates the five windows once, in their order, through their global references, and
// destroys them in the reverse order after every worker has been stopped.
class TonvistaWindows {
 public:
  TonvistaWindows();
  ~TonvistaWindows();
  TonvistaWindows(const TonvistaWindows&) = delete;
  TonvistaWindows& operator=(const TonvistaWindows&) = delete;
};

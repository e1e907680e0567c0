// The application object, the program's message boxes and the five windows' lifetime.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QString>
#include <exception>
#include <functional>
#include <unordered_map>

#include "Messages.h"

class QTimer;
class QWidget;

// Paints each window at most once per frame of its screen. Blocks can arrive far faster than a
// screen shows them (375 a second at 256 points and 96 kHz); each is still handed over, and a
// window's paint that comes too soon after the last one is put off to the frame's end, where
// it draws whatever the window holds by then.
//
// The windows put off in one frame are let through together by one timer, so that the user
// interface wakes once per frame for them, not once per window.
class TFramePacer : public QObject {
 public:
  // Nanoseconds on a steady clock; the default is the machine's. A test passes its own, and
  // then lets the frames end by Tick().
  using Clock = std::function<qint64()>;
  explicit TFramePacer(QObject* parent = nullptr, Clock clock = {});
  ~TFramePacer() override;
  // The shortest time between two paints of the window (nanoseconds).
  static qint64 FrameInterval(const QWidget* window);
  // Whether the window's next paint waits for the end of the current frame. A window that
  // painted within the frame is put off by the asking, and is let through at its end.
  bool PaintDeferred(const QWidget* window);
  // Whether the window may paint now, at its update request; it then counts as painted and
  // hears that its frame is due. When not, its paint is put off to the frame's end.
  bool PaintNow(QWidget* window);
  // Lets through the windows whose frame has ended by the clock (what the timer does).
  void Tick() { ReleaseDue(); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Window {
    qint64 lastPaint = -1;  // on the clock; -1: not painted yet
    qint64 due = 0;         // on the clock, while deferred
    bool deferred = false;
    bool released = false;
  };
  qint64 Now() const { return clock_(); }
  // Puts the window's next paint off to the end of the frame of its last paint, if it is not
  // over yet.
  bool PutOff(const QWidget* window, Window& w);
  void ReleaseDue();
  void ArmTimer();

  std::unordered_map<QObject*, Window> windows_;
  Clock clock_;
  QElapsedTimer elapsed_;
  qint64 earliestDue_ = -1;  // on the clock; -1: no window waits
  bool releasePosted_ = false;
  QTimer* timer_ = nullptr;
  std::function<bool(const QWidget*)> previousHook_;
};

// Catches what escapes the dispatch of an event, shows it, and lets the loop go on. Paces the
// windows' paints with a TFramePacer.
class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
  // The guard of notify, callable with any dispatch. A template: every event passes here,
  // thousands a second, and wrapping each in a std::function would allocate.
  template <class F>
  static bool GuardedDispatch(F&& dispatch) {
    try {
      return dispatch();
    } catch (...) {
      ReportException(std::current_exception());
      return false;
    }
  }
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

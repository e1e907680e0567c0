#include "Application.h"

#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "Dlgabout.h"
#include "Dlgbandanalyser.h"
#include "Dlggoniometer.h"
#include "Dlgoptions.h"
#include "Framepacing.h"
#include "Mainwindowtonvista.h"
#include "Toolwindows.h"

TFramePacer::TFramePacer(QObject* parent, Clock clock)
    : QObject(parent), clock_(std::move(clock)), timer_(new QTimer(this)) {
  if (!clock_) {
    elapsed_.start();
    clock_ = [this] { return elapsed_.nsecsElapsed(); };
  }
  timer_->setSingleShot(true);
  timer_->setTimerType(Qt::PreciseTimer);
  connect(timer_, &QTimer::timeout, this, &TFramePacer::ReleaseDue);
  previousHook_ = FramePacing::PaintDeferred;
  FramePacing::PaintDeferred = [this](const QWidget* window) { return PaintDeferred(window); };
}

TFramePacer::~TFramePacer() {
  FramePacing::PaintDeferred = previousHook_;
}

qint64 TFramePacer::FrameInterval(const QWidget* window) {
  const QScreen* screen = window ? window->screen() : nullptr;
  double hz = screen ? screen->refreshRate() : 0.0;
  if (!(hz >= 24.0)) hz = 60.0;
  return static_cast<qint64>(1e9 / std::min(hz, 240.0));
}

bool TFramePacer::PutOff(const QWidget* window, Window& w) {
  const qint64 interval = FrameInterval(window);
  const qint64 now = Now();
  if (w.released || w.lastPaint < 0 || now - w.lastPaint >= interval) return false;
  w.deferred = true;
  w.due = w.lastPaint + interval;
  ArmTimer();
  return true;
}

bool TFramePacer::PaintDeferred(const QWidget* window) {
  const auto it = windows_.find(const_cast<QWidget*>(window));
  if (it == windows_.end()) return false;
  // A window that painted within this frame could not paint again before its end: it is put
  // off now, so that what comes meanwhile is drawn once, just before that paint.
  return it->second.deferred || PutOff(window, it->second);
}

bool TFramePacer::PaintNow(QWidget* window) {
  QObject* key = window;  // the key, as `destroyed` sees the window
  auto [entry, fresh] = windows_.try_emplace(key);
  if (fresh) connect(key, &QObject::destroyed, this, [this, key] { windows_.erase(key); });
  Window& w = entry->second;
  if (w.deferred) return false;  // its paint is already due at the frame's end
  if (PutOff(window, w)) return false;
  w.released = false;
  w.lastPaint = Now();
  // What the window kept while it waited goes into this paint.
  QEvent due(FramePacing::FrameDue());
  QCoreApplication::sendEvent(window, &due);
  return true;
}

bool TFramePacer::eventFilter(QObject* watched, QEvent* event) {
  // While blocks flow, the frame's end is met at the next hand-over, which wakes the user
  // interface anyway; the timer is only there for when none comes. The paint follows the
  // hand-over, so that the worker does not wait for it.
  if (event->type() == QEvent::MetaCall && !releasePosted_ && earliestDue_ >= 0 &&
      Now() >= earliestDue_) {
    releasePosted_ = true;
    QMetaObject::invokeMethod(this, &TFramePacer::ReleaseDue, Qt::QueuedConnection);
  }
  // A window's pending paints all arrive as one update request to the window itself.
  if (event->type() != QEvent::UpdateRequest || !watched->isWidgetType() ||
      !static_cast<QWidget*>(watched)->isWindow())
    return false;
  auto* window = static_cast<QWidget*>(watched);
  if (!PaintNow(window)) return true;
  // The request its drawing posts is answered by this paint as well.
  QCoreApplication::removePostedEvents(window, QEvent::UpdateRequest);
  return false;
}

void TFramePacer::ReleaseDue() {
  releasePosted_ = false;
  // Windows due within a little of the earliest are let through with it: after a few frames
  // the windows that paint all the time share one wake-up a frame.
  constexpr qint64 kSlack = 4000000;
  // They paint right here: posting the request would cost another turn of the event loop.
  const qint64 now = Now();
  std::vector<QPointer<QObject>> due;
  for (auto& [object, w] : windows_) {
    if (!w.deferred || w.due > now + kSlack) continue;
    w.deferred = false;
    w.released = true;
    due.emplace_back(object);
  }
  for (const QPointer<QObject>& window : due) {
    if (!window) continue;
    QEvent request(QEvent::UpdateRequest);
    QCoreApplication::sendEvent(window, &request);
  }
  ArmTimer();
}

void TFramePacer::ArmTimer() {
  qint64 earliest = -1;
  for (const auto& [object, w] : windows_)
    if (w.deferred && (earliest < 0 || w.due < earliest)) earliest = w.due;
  earliestDue_ = earliest;
  if (earliest < 0) {
    timer_->stop();
    return;
  }
  constexpr qint64 kLate = 4000000;
  const qint64 left = earliest + kLate - Now();
  const int ms = static_cast<int>(std::max<qint64>(1, (left + 999999) / 1000000));
  if (!timer_->isActive() || timer_->remainingTime() > ms) timer_->start(ms);
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  installEventFilter(new TFramePacer(this));
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  return GuardedDispatch([&] { return QApplication::notify(receiver, event); });
}

static void DestroyWindows() {
  // No block may arrive in a window that is being destroyed.
  if (Mainwindow) Mainwindow->ShutdownAnalyser();
  DestroyToolWindows();
  delete FBandAnalyser;
  FBandAnalyser = nullptr;
  delete FOptions;
  FOptions = nullptr;
  delete FGoniometer;
  FGoniometer = nullptr;
  delete FAbout;
  FAbout = nullptr;
  delete Mainwindow;
  Mainwindow = nullptr;
}

TonvistaWindows::TonvistaWindows() {
  try {
    // The main window publishes itself first thing in its constructor, so that code running
    // during its construction can already reach it.
    new TMainwindow;
    FAbout = new TFAbout;
    FGoniometer = new TFGoniometer;
    FOptions = new TFOptions;
    FBandAnalyser = new TFBandAnalyser;
    Mainwindow->ConnectWindows();
    CreateToolWindows();
  } catch (...) {
    DestroyWindows();
    throw;
  }
}

TonvistaWindows::~TonvistaWindows() {
  DestroyWindows();
}

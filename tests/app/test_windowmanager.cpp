// The main window under a real window manager that draws frames: tests/app/wm/run.sh runs
// this on a private X server with twm. The outer size and the layout count the frame.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QThread>
#include <cstdio>
#include <ostream>

#include "Application.h"
#include "Chart.h"
#include "Mainwindowtonvista.h"

QT_BEGIN_NAMESPACE
inline void PrintTo(const QSize& s, std::ostream* os) {
  *os << s.width() << " x " << s.height();
}
inline void PrintTo(const QRect& r, std::ostream* os) {
  *os << r.width() << " x " << r.height() << " at " << r.x() << ", " << r.y();
}
QT_END_NAMESPACE

namespace {

// Lets the window system's events in for `ms` milliseconds.
void Pump(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(5);
  }
}

// Waits until `done` holds, then until the window's geometry has kept still for a while.
template <class Pred>
bool Settled(const QWidget* w, Pred done) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > 5000) return false;
    Pump(20);
  }
  QRect last = w->frameGeometry();
  for (int still = 0; still < 15 && t.elapsed() < 8000;) {
    Pump(20);
    still = w->frameGeometry() == last ? still + 1 : 0;
    last = w->frameGeometry();
  }
  return true;
}

class WindowManager : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(QGuiApplication::platformName(), QLatin1String("xcb"))
        << "run through tests/app/wm/run.sh";
    probe = TMainwindow::OutputDeviceProbe;
    TMainwindow::OutputDeviceProbe = [] { return true; };
    windows = std::make_unique<TonvistaWindows>();
    w = Mainwindow;
    w->show();
    ASSERT_TRUE(Settled(w, [this] { return w->frameGeometry().size() != w->size(); }))
        << "the window manager drew no frame";
  }
  void TearDown() override {
    windows.reset();
    if (probe) TMainwindow::OutputDeviceProbe = probe;
  }
  std::function<bool()> probe;
  std::unique_ptr<TonvistaWindows> windows;
  TMainwindow* w = nullptr;
};

TEST_F(WindowManager, OpensAt800By600OutsideCentredAndLaidOutForThatSize) {
  const QRect outer = w->frameGeometry();
  const QRect screen = w->screen()->availableGeometry();
  const QSize frame = outer.size() - w->size();
  EXPECT_GT(frame.height(), 0) << "no title bar";
  std::fprintf(stderr, "outer %d,%d %dx%d inside %d,%d %dx%d\n", outer.x(), outer.y(),
               outer.width(), outer.height(), w->geometry().x(), w->geometry().y(), w->width(),
               w->height());
  EXPECT_EQ(outer.size(), QSize(800, 600));
  EXPECT_LE(std::abs(outer.center().x() - screen.center().x()), 1);
  EXPECT_LE(std::abs(outer.center().y() - screen.center().y()), 1);
  // The stored layout at the stored outer size, already at the first showing.
  EXPECT_EQ(w->Chart1->geometry(), QRect(5, 5, 780, 435));
  EXPECT_EQ(w->CSettings->y(), 460);
  EXPECT_EQ(w->CNumChannels->y(), 516);
  EXPECT_EQ(w->BevControl->y(), 452);

  const QString shot = qEnvironmentVariable("TONVISTA_WM_SCREENSHOT");
  if (!shot.isEmpty()) {
    Pump(300);
    EXPECT_TRUE(w->screen()->grabWindow(0).toImage().save(shot));
  }
}

TEST_F(WindowManager, AOnePixelResizeMovesTheChartAndTheRowByOnePixel) {
  const QRect chart = w->Chart1->geometry();
  const int row = w->CSettings->y();
  const QSize inside = w->size();
  w->resize(inside + QSize(1, 1));
  ASSERT_TRUE(Settled(w, [&] { return w->size() == inside + QSize(1, 1); }));
  EXPECT_EQ(w->frameGeometry().size(), QSize(801, 601));
  EXPECT_EQ(w->Chart1->geometry(), chart.adjusted(0, 0, 1, 1));
  EXPECT_EQ(w->CSettings->y(), row + 1);
  EXPECT_EQ(w->GBControl->y(), row + 1);
  EXPECT_EQ(w->CNumChannels->y(), row + 57);
  EXPECT_EQ(w->BevControl->geometry(), QRect(0, row - 7, 801, 2));
  EXPECT_EQ(w->CSettings->x(), 8);
  // Narrower than 800 outside snaps back to 800.
  w->resize(inside - QSize(50, 0));
  ASSERT_TRUE(Settled(w, [&] { return w->frameGeometry().width() == 800; }));
  EXPECT_EQ(w->Chart1->width(), 780);
}

}  // namespace

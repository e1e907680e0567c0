// Paint economy at high block rates: windows paint at most once per screen frame without
// losing the last state, a chart asks for one paint per batch of points, and a level bar
// repaints only when its pixels change.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QLabel>
#include <QPaintEvent>
#include <QPixmap>
#include <QScreen>
#include <QTest>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "Application.h"
#include "Chart.h"
#include "Dlgbandanalyser.h"
#include "Dlggoniometer.h"
#include "Framepacing.h"
#include "Levelbar.h"
#include "Mainwindowtonvista.h"

namespace {

// Counts the paint events of one widget and remembers the value it showed last.
class PaintProbe : public QWidget {
 public:
  int paints = 0;
  int value = 0;
  int paintedValue = -1;

 protected:
  void paintEvent(QPaintEvent*) override {
    ++paints;
    paintedValue = value;
  }
};

// The region of each paint of one widget, joined.
class RegionProbe : public QObject {
 public:
  explicit RegionProbe(QObject* watched) { watched->installEventFilter(this); }
  QRegion region;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) region += static_cast<QPaintEvent*>(event)->region();
    return false;
  }
};

class PaintCounter : public QObject {
 public:
  explicit PaintCounter(QObject* watched) { watched->installEventFilter(this); }
  int paints = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

void SpinFor(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

}  // namespace

// A shown window under a pacer of its own.
class FramePacer : public ::testing::Test {
 protected:
  void SetUp() override {
    qApp->installEventFilter(&pacer);
    w.resize(100, 100);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    interval = TFramePacer::FrameInterval(&w);
    ASSERT_GE(interval, 1000000000LL / 240);
    ASSERT_LE(interval, 1000000000LL / 24);
    SpinFor(static_cast<int>(3 * interval / 1000000));
  }
  void TearDown() override { qApp->removeEventFilter(&pacer); }

  TFramePacer pacer;
  PaintProbe w;
  qint64 interval = 0;
};

// A pacer on a clock the test moves: a frame ends only when the test says so, however slow the
// machine.
class ClockedPacer : public ::testing::Test {
 protected:
  void SetUp() override { qApp->installEventFilter(&pacer); }
  void TearDown() override { qApp->removeEventFilter(&pacer); }
  void Show(QWidget& window) {
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    ASSERT_EQ(window.devicePixelRatioF(), 1.0);  // pixels are compared one to one
    interval = TFramePacer::FrameInterval(&window);
    // Whatever the showing painted is a frame ago.
    Advance(3 * interval);
  }
  // Moves the clock on and lets through the windows whose frame has ended.
  void Advance(qint64 ns) {
    now += ns;
    pacer.Tick();
    QCoreApplication::processEvents();
  }

  qint64 now = 1000000000;
  qint64 interval = 1000000000 / 60;
  TFramePacer pacer{nullptr, [this] { return now; }};
};

TEST_F(FramePacer, PaintsAtMostOncePerFrameAndAlwaysShowsTheLastState) {
  // Far more changes than frames, each followed by a turn of the event loop.
  const int before = w.paints;
  QElapsedTimer t;
  t.start();
  int changes = 0;
  while (t.elapsed() < 300) {
    w.value = ++changes;
    w.update();
    QCoreApplication::processEvents();
  }
  const double frames = t.nsecsElapsed() / static_cast<double>(interval);
  const int duringLoop = w.paints - before;
  EXPECT_GT(changes, 3 * frames) << "the loop must outpace the screen to test anything";
  EXPECT_GE(duringLoop, 2);
  EXPECT_LE(duringLoop, frames + 3);

  // The change after the last paint is not lost: it is painted at the end of its frame.
  SpinFor(static_cast<int>(3 * interval / 1000000) + 50);
  EXPECT_EQ(w.paintedValue, changes);
}

TEST_F(FramePacer, APaintAfterAQuietFrameIsNotDelayed) {
  w.value = 7;
  w.update();
  // The update request is posted; delivering posted events paints at once.
  QCoreApplication::processEvents();
  EXPECT_EQ(w.paintedValue, 7);
}

// Windows put off in one frame: each says so to the tool windows, hears that its frame is
// due just before it paints, and all are let through together.
TEST_F(ClockedPacer, WindowsPutOffInOneFrameAreToldBeforeTheyPaintTogether) {
  struct Probe : PaintProbe {
    std::vector<QEvent::Type> seen;
    qint64 paintedAt = 0;
    const qint64* clock = nullptr;
    bool event(QEvent* e) override {
      if (e->type() == FramePacing::FrameDue() || e->type() == QEvent::Paint)
        seen.push_back(e->type());
      if (e->type() == QEvent::Paint) paintedAt = *clock;
      return PaintProbe::event(e);
    }
  };
  Probe a, b, quiet;
  for (Probe* p : {&a, &b, &quiet}) {
    p->clock = &now;
    p->resize(60, 60);
    Show(*p);
  }
  a.update();
  QCoreApplication::processEvents();
  b.update();
  QCoreApplication::processEvents();
  ASSERT_EQ(a.paintedAt, now);
  ASSERT_EQ(b.paintedAt, now);
  a.seen.clear();
  b.seen.clear();
  // Within the same frame: both put off, a window that did not paint is not.
  a.update();
  b.update();
  QCoreApplication::processEvents();
  EXPECT_TRUE(pacer.PaintDeferred(&a));
  EXPECT_TRUE(pacer.PaintDeferred(&b));
  EXPECT_FALSE(pacer.PaintDeferred(&quiet));
  EXPECT_TRUE(FramePacing::Deferred(&a));  // the pacer answers the tool windows
  EXPECT_TRUE(a.seen.empty());
  const qint64 painted = now;
  Advance(interval / 2);
  EXPECT_TRUE(a.seen.empty() && b.seen.empty()) << "the frame is not over yet";
  Advance(interval - interval / 2);
  for (Probe* p : {&a, &b}) {
    ASSERT_EQ(p->seen.size(), 2u);
    EXPECT_EQ(p->seen[0], FramePacing::FrameDue());
    EXPECT_EQ(p->seen[1], QEvent::Paint);
    EXPECT_EQ(p->paintedAt, painted + interval);  // together, at the frame's end
  }
  // A frame later a window's paint goes through at once again.
  Advance(interval);
  EXPECT_FALSE(pacer.PaintDeferred(&a));
  EXPECT_FALSE(pacer.PaintDeferred(&b));
  a.update();
  QCoreApplication::processEvents();
  EXPECT_EQ(a.seen.size(), 4u);
  EXPECT_EQ(a.paintedAt, painted + 2 * interval);
}

// The vector scope fed far faster than its window paints, through the real pacer: blocks are
// kept meanwhile, and once the burst ends the window shows the newest one.
TEST_F(FramePacer, AVectorScopeFedInABurstEndsShowingTheNewestBlock) {
  TMainwindow main;
  TFGoniometer scope;
  scope.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&scope));
  SpinFor(static_cast<int>(3 * interval / 1000000));
  std::vector<double> left(256), right(256);
  bool kept = false;
  int blocks = 0;
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < 200) {
    ++blocks;
    // Levels from -1 dB to -60 dB and round again; the right channel stays at -6 dB.
    const double level = -1.0 - blocks % 60;
    std::fill(left.begin(), left.end(), 32768.0 * std::pow(10.0, level / 20.0));
    std::fill(right.begin(), right.end(), 16384.0);
    kept = kept || FramePacing::Deferred(&scope);
    scope.ShowBlock(left.data(), right.data(), 256);
    QCoreApplication::processEvents();
  }
  ASSERT_TRUE(kept) << "the burst never outpaced the window's paints";
  SpinFor(static_cast<int>(3 * interval / 1000000) + 50);
  const double last = -1.0 - blocks % 60;
  EXPECT_EQ(scope.LLevelChan1->text(), QString::number(last, 'f', 1));
  EXPECT_NEAR(scope.PLevelMeter1->Position(), 10 * last, 1);
  EXPECT_EQ(scope.LLevelChan2->text(), "-6.0");
  EXPECT_DOUBLE_EQ(scope.Series1->XValues()[0], left[0] / 32768.0);
}

// A block that comes within the frame of the window's last paint is kept, not drawn: the
// window's paint at the frame's end shows it without any further block or request.
TEST_F(ClockedPacer, ABlockRightAfterAPaintIsDrawnOnceAtTheFramesEnd) {
  TMainwindow main;
  TFGoniometer scope;
  Show(scope);
  std::vector<double> loud(256, 32768.0 * 0.5), quiet(256, 32768.0 * 0.01);
  PaintCounter paints(scope.PLevelMeter1);
  scope.ShowBlock(loud.data(), loud.data(), 256);  // after a quiet spell: drawn at once
  EXPECT_EQ(scope.LLevelChan1->text(), "-6.0");
  QCoreApplication::processEvents();
  ASSERT_EQ(paints.paints, 1);
  EXPECT_TRUE(FramePacing::Deferred(&scope));  // the same frame
  scope.ShowBlock(quiet.data(), quiet.data(), 256);
  EXPECT_EQ(scope.LLevelChan1->text(), "-6.0");  // kept for the frame's end
  EXPECT_EQ(scope.PLevelMeter1->Position(), -60);
  QCoreApplication::processEvents();
  EXPECT_EQ(paints.paints, 1);
  Advance(interval);
  EXPECT_EQ(scope.LLevelChan1->text(), "-40.0");
  EXPECT_EQ(scope.PLevelMeter1->Position(), -400);
  EXPECT_EQ(paints.paints, 2);
  Advance(interval);
  EXPECT_FALSE(FramePacing::Deferred(&scope));  // a frame on, a block is drawn at once
  EXPECT_EQ(paints.paints, 2);
  // What the screen holds is what a whole repaint of the bar draws.
  const QImage shown = scope.screen()
                           ->grabWindow(scope.winId())
                           .toImage()
                           .convertToFormat(QImage::Format_RGB32)
                           .copy(scope.PLevelMeter1->geometry());
  EXPECT_EQ(shown, scope.PLevelMeter1->grab().toImage().convertToFormat(QImage::Format_RGB32));
}

// The band analyser's bars go up and down between paints; its window on the screen is then
// what a whole repaint of it draws.
TEST_F(FramePacer, TheBandAnalyserOnTheScreenMatchesAWholeRepaint) {
  TMainwindow main;
  TFBandAnalyser bands;
  bands.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&bands));
  SpinFor(static_cast<int>(3 * interval / 1000000));
  ASSERT_EQ(bands.devicePixelRatioF(), 1.0);  // pixels are compared one to one
  const int n = 1024;
  std::vector<double> frequency(n / 2), magnitude(n / 2);
  for (int k = 0; k < n / 2; ++k)
    frequency[k] = k * 48000.0 / n;
  for (int round = 0; round < 12; ++round) {
    for (int k = 0; k < n / 2; ++k)
      magnitude[k] = std::pow(10.0, -0.2 * ((k * 7 + round * 13) % 23));
    bands.ShowBands(frequency.data(), magnitude.data(), magnitude.data(), n / 2);
    SpinFor(round % 3 == 0 ? static_cast<int>(2 * interval / 1000000) : 1);
  }
  SpinFor(static_cast<int>(3 * interval / 1000000) + 50);
  int filled = 0;
  for (TLevelBar* bar : bands.BandBars)
    if (bar->FilledHeight() > 0 && bar->FilledHeight() < bar->height()) ++filled;
  ASSERT_GT(filled, 5) << "the bars must stand at partial heights to test anything";
  const QImage shown =
      bands.screen()->grabWindow(bands.winId()).toImage().convertToFormat(QImage::Format_RGB32);
  const QImage fresh = bands.grab().toImage().convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(shown.size(), fresh.size());
  EXPECT_EQ(shown, fresh);
}

TEST(PaintEconomy, ABatchOfPointsGivesOneChartPaintAndTheNextBatchAnother) {
  TChart c;
  c.resize(300, 200);
  TChartSeries* s = c.AddSeries(TSeriesKind::Line, "L");
  c.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&c));
  PaintCounter counter(&c);
  for (int batch = 1; batch <= 3; ++batch) {
    s->ClearPoints();
    for (int i = 0; i < 2000; ++i)
      s->AddPoint(i, batch, 0xff0000ffu);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(counter.paints, batch);
  }

  // Points added while the chart is hidden are drawn once it is shown, and later batches
  // still ask for their paint.
  c.hide();
  s->AddPoint(3000, 1, 0xff0000ffu);
  c.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&c));
  QCoreApplication::processEvents();
  const int shown = counter.paints;
  EXPECT_GT(shown, 3);
  s->AddPoint(3001, 1, 0xff0000ffu);
  QCoreApplication::processEvents();
  QCoreApplication::processEvents();
  EXPECT_EQ(counter.paints, shown + 1);
}

// A paint the chart did not ask for (a neighbour's, a part uncovered) draws its frame again; the
// unchanged traces must not ask the window for another paint. Sparse points put back a little of
// the frame, a dense trace most of it.
TEST(PaintEconomy, APaintTheChartDidNotAskForIsTheOnlyPaint) {
  for (const bool dense : {false, true}) {
    SCOPED_TRACE(dense ? "dense trace" : "sparse points");
    TChart c;
    c.resize(300, 200);
    for (TChartAxis* a : {&c.BottomAxis(), &c.LeftAxis()}) {
      a->SetAutomatic(false);
      a->SetMinimum(0);
      a->SetMaximum(100);
    }
    TChartSeries* s = c.AddSeries(dense ? TSeriesKind::Line : TSeriesKind::Point, "S");
    if (!dense) {
      s->SetPointerVisible(true);
      s->SetPointerStyle(TPointerStyle::Cross);
      s->SetPointerSize(1, 1);
    }
    c.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&c));
    ASSERT_EQ(c.devicePixelRatioF(), 1.0);  // pixels are compared one to one
    for (int round = 0; round < 2; ++round) {
      s->ClearPoints();
      if (dense)
        for (int i = 0; i <= 2000; ++i)
          s->AddPoint(i / 20.0, (i + round) % 2 ? 100 : 0, 0xff0000ffu);
      else
        s->AddPoint(20 + 50 * round, 70 - 40 * round, 0xff0000ffu);
      QCoreApplication::processEvents();
      QCoreApplication::processEvents();
    }
    PaintCounter counter(&c);
    c.update(QRect(0, 0, 4, 4));  // the corner, away from the plot
    SpinFor(50);  // time for any further paint the first one asks for
    EXPECT_EQ(counter.paints, 1);
    const QImage shown =
        c.screen()->grabWindow(c.winId()).toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(shown, c.grab().toImage().convertToFormat(QImage::Format_RGB32));
  }
}

TEST(PaintEconomy, LevelBarRepaintsOnlyWhenItsFilledHeightChanges) {
  QWidget window;
  window.resize(40, 120);
  TLevelBar bar(&window);
  bar.setGeometry(0, 0, 14, 100);
  bar.SetMinimum(0);
  bar.SetMaximum(1000);
  bar.SetPosition(500);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QCoreApplication::processEvents();
  PaintCounter counter(&bar);
  ASSERT_EQ(bar.FilledHeight(), 50);

  bar.SetPosition(504);  // still 50 rows
  QCoreApplication::processEvents();
  EXPECT_EQ(counter.paints, 0);
  EXPECT_EQ(bar.Position(), 504);

  bar.SetPosition(506);  // 51 rows
  QCoreApplication::processEvents();
  EXPECT_EQ(counter.paints, 1);

  bar.SetPosition(-20);  // below the range: empty
  QCoreApplication::processEvents();
  EXPECT_EQ(counter.paints, 2);
  bar.SetPosition(-10);
  bar.SetPosition(0);
  QCoreApplication::processEvents();
  EXPECT_EQ(counter.paints, 2);

  // After steps too small to paint, what is drawn still follows the latest position.
  for (int p = 600; p <= 609; ++p)
    bar.SetPosition(p);
  const QImage image = bar.grab().toImage();
  int filled = 0;
  for (int y = 0; y < image.height(); ++y)
    if (image.pixelColor(7, y) == bar.BarColor()) ++filled;
  EXPECT_EQ(filled, 61);
}

// A level bar paints only the rows between its old and new height, and what the screen then
// holds is the whole bar at the newest position.
TEST(PaintEconomy, LevelBarPaintsTheChangedRowsAndTheScreenShowsTheNewestPosition) {
  QWidget window;
  window.resize(40, 120);
  TLevelBar bar(&window);
  bar.setGeometry(3, 5, 14, 100);
  bar.SetMinimum(0);
  bar.SetMaximum(1000);
  bar.SetBarColor(Qt::green);
  bar.SetBackColor(Qt::black);
  bar.SetPosition(500);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QCoreApplication::processEvents();
  ASSERT_EQ(window.devicePixelRatioF(), 1.0);  // pixels are compared one to one
  RegionProbe probe(&bar);
  const auto screen = [&] {
    return window.screen()
        ->grabWindow(window.winId())
        .toImage()
        .convertToFormat(QImage::Format_RGB32)
        .copy(bar.geometry());
  };
  // Up, down past the start, a burst of steps, to the top and to the bottom.
  const std::vector<std::vector<int>> moves = {{730}, {200}, {310, 420, 380}, {1000}, {0}};
  int before = bar.FilledHeight();
  for (const auto& burst : moves) {
    probe.region = QRegion();
    for (int p : burst)
      bar.SetPosition(p);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    const int after = bar.FilledHeight();
    int lo = std::min(before, after), hi = std::max(before, after);
    for (int p : burst) {
      lo = std::min(lo, p / 10);
      hi = std::max(hi, p / 10);
    }
    // Only rows whose colour changed on the way, counted from the bottom.
    EXPECT_TRUE(probe.region.subtracted(QRect(0, 100 - hi, 14, hi - lo)).isEmpty())
        << "to " << burst.back();
    EXPECT_FALSE(probe.region.isEmpty()) << "to " << burst.back();
    const QImage shown = screen();
    const QImage fresh = bar.grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(shown, fresh) << "to " << burst.back();
    int green = 0;
    for (int y = 0; y < shown.height(); ++y)
      if (shown.pixelColor(7, y) == QColor(Qt::green)) ++green;
    EXPECT_EQ(green, after) << "to " << burst.back();
    before = after;
  }
}

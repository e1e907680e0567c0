// What a shown chart leaves on the screen when only its changes are painted: after bursts of
// data the window shows exactly what a fresh chart draws of the newest data, the paints stay
// within the changed pixels, and nothing that changed is left out of them.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QPaintEvent>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QTest>
#include <cmath>
#include <functional>

#include "ChartTestUtil.h"

namespace {

// Records the regions the chart is asked to paint.
class PaintRegions : public QObject {
 public:
  explicit PaintRegions(QObject* watched) { watched->installEventFilter(this); }
  int paints = 0;
  QRegion painted;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      ++paints;
      painted += static_cast<QPaintEvent*>(event)->region();
    }
    return false;
  }
};

// The window's pixels as they are, without painting anew (the offscreen platform keeps them).
QImage OnScreen(QWidget& w) {
  return w.screen()->grabWindow(w.winId()).toImage().convertToFormat(QImage::Format_RGB32);
}

// Lets the window paint what is due; false if no paint came.
bool PaintDue(PaintRegions& probe) {
  const int before = probe.paints;
  QElapsedTimer t;
  t.start();
  while (probe.paints == before && t.elapsed() < 5000)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  // Whatever else is due in the same turn.
  QCoreApplication::processEvents();
  return probe.paints > before;
}

// A decade grid with labels that stays, and a marker with its text that moves with the step.
void AfterDraw(TChart* c, TChartCanvas& cv, int step) {
  cv.SetPenColor(QColor(128, 128, 128));
  cv.SetPenStyle(Qt::DotLine);
  cv.SetBrushStyle(bsClear);
  cv.SetFontSize(8);
  const int base = c->LeftAxis().ValueToY(-100);
  for (int f : {20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000}) {
    const int x = c->BottomAxis().ValueToX(f);
    cv.MoveTo(x, c->PlotRect().top());
    cv.LineTo(x, base + 4);
    cv.TextOut(x - 7, base + 4, QString::number(f));
  }
  cv.SetPenStyle(Qt::SolidLine);
  cv.SetPenColor(Qt::black);
  cv.SetPenWidth(2);
  const int x = c->BottomAxis().ValueToX(200 + 300 * (step % 4)), y = 80 + 10 * (step % 3);
  cv.MoveTo(x, y);
  cv.LineTo(x + 5, y - 5);
  cv.TextOut(x + 10, y - 10, QStringLiteral("M1"));
}

void Fill(TChart& c, int step) {
  for (int s = 0; s < c.SeriesCount(); ++s) {
    TChartSeries* ser = c.Series(s);
    ser->ClearPoints();
    const int points = 257;
    for (int i = 0; i < points; ++i) {
      const double f = (i + 1) * 22050.0 / points;
      const double y =
          -70 - 5 * s + 8 * std::sin(0.37 * i + step * 1.3 + s) + (i == 23 + step ? 60 : 0);
      ser->AddPoint(f, y, s % 2 ? clRed : clBlue);
    }
  }
}

class ChartScreen : public ::testing::Test {
 protected:
  void SetUp() override {
    QLocale::setDefault(QLocale::c());
    Prepare(shown);
    shown.setFocusPolicy(Qt::NoFocus);
    shown.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&shown));
    if (shown.devicePixelRatioF() != 1.0) GTEST_SKIP() << "pixels compared at pixel ratio 1";
  }
  void Prepare(TChart& c) {
    SetUpSpectrumChart(c);
    c.OnAfterDraw = [this](TChart* chart, TChartCanvas& cv) {
      AfterDraw(chart, cv, step);
      if (extra) extra(chart, cv);
    };
  }
  // What a chart that never painted before draws of the state at `step` (the data at
  // `dataStep` when that is set).
  QImage Expected() {
    TChart fresh;
    Prepare(fresh);
    Fill(fresh, dataStep >= 0 ? dataStep : step);
    fresh.SetStateLine(shown.StateLine());
    return fresh.RenderImage();
  }
  // Pixels that differ between two images and were not painted.
  static int Missed(const QImage& before, const QImage& after, const QRegion& painted) {
    int missed = 0;
    for (int y = 0; y < after.height(); ++y)
      for (int x = 0; x < after.width(); ++x)
        if (before.pixel(x, y) != after.pixel(x, y) && !painted.contains(QPoint(x, y))) ++missed;
    return missed;
  }
  TChart shown;
  int step = 0;
  int dataStep = -1;
  std::function<void(TChart*, TChartCanvas&)> extra;
};

TEST_F(ChartScreen, TheNewestDataIsOnTheScreenAfterEachBurst) {
  PaintRegions probe(&shown);
  Fill(shown, step);
  ASSERT_TRUE(PaintDue(probe));
  ASSERT_EQ(OnScreen(shown), Expected());
  for (int burst = 1; burst <= 6; ++burst) {
    // Several blocks before the window gets to paint: the last one is what must show.
    for (int k = 0; k < burst % 3 + 1; ++k) {
      ++step;
      Fill(shown, step);
      if (burst == 4) shown.SetStateLine(QStringLiteral("block %1").arg(step));
    }
    ASSERT_TRUE(PaintDue(probe)) << "burst " << burst;
    ASSERT_EQ(OnScreen(shown), Expected()) << "burst " << burst;
  }
}

TEST_F(ChartScreen, PaintsCoverEveryChangedPixelAndLittleElse) {
  PaintRegions probe(&shown);
  Fill(shown, step);
  ASSERT_TRUE(PaintDue(probe));
  for (int k = 0; k < 4; ++k) {
    const QImage before = Expected();
    ++step;
    Fill(shown, step);
    probe.painted = QRegion();
    ASSERT_TRUE(PaintDue(probe));
    const QImage after = Expected();
    ASSERT_EQ(OnScreen(shown), after) << "step " << step;
    // Every pixel that differs between the two states was painted.
    int changed = 0, missed = 0;
    for (int y = 0; y < after.height(); ++y)
      for (int x = 0; x < after.width(); ++x)
        if (before.pixel(x, y) != after.pixel(x, y)) {
          ++changed;
          if (!probe.painted.contains(QPoint(x, y))) ++missed;
        }
    EXPECT_GT(changed, 100) << "step " << step;
    EXPECT_EQ(missed, 0) << "step " << step;
    // The traces sit low in the plot, the grid and its labels stay: far less than the whole
    // chart is painted.
    qint64 area = 0;
    for (const QRect& r : probe.painted)
      area += static_cast<qint64>(r.width()) * r.height();
    EXPECT_LT(area * 2, static_cast<qint64>(shown.width()) * shown.height()) << "step " << step;
  }
}

// The after-draw's drawings change over traces that stay, and traces change under drawings
// that stay: texts over the traces (antialiased, so drawn twice they would darken), lines,
// opaque text backgrounds, and drawings that come and go. Each new frame must equal a fresh
// drawing, painted wherever a pixel changed.
TEST_F(ChartScreen, DrawingsOverTracesShowExactlyAsAFreshDrawing) {
  PaintRegions probe(&shown);
  int phase = 0;
  extra = [&](TChart* c, TChartCanvas& cv) {
    const int y = c->LeftAxis().ValueToY(-70);
    // Stays, over the traces.
    cv.SetFontSize(10);
    cv.SetBrushStyle(bsClear);
    cv.TextOut(c->BottomAxis().ValueToX(3000), y - 6, QStringLiteral("Over the traces"));
    // Moves along the traces, with an opaque background, and is there only some of the time.
    if (phase % 3 != 2) {
      cv.SetBrushStyle(bsSolid);
      cv.SetBrushColor(QColor(255, 255, 200));
      cv.TextOut(c->BottomAxis().ValueToX(100 + 150 * (phase % 5)), y - 2,
                 QStringLiteral("moving"));
    }
    // A thin slanted and a wide line whose ends move.
    cv.SetPenWidth(1);
    cv.SetPenColor(Qt::darkGreen);
    cv.MoveTo(c->BottomAxis().ValueToX(50), y + 20);
    cv.LineTo(c->BottomAxis().ValueToX(15000), y - 10 - 3 * (phase % 4));
    cv.SetPenWidth(3);
    cv.MoveTo(c->BottomAxis().ValueToX(700), y - 30);
    cv.LineTo(c->BottomAxis().ValueToX(700 + 100 * (phase % 3)), y + 15);
    // A dotted row that appears and goes.
    if (phase % 2) {
      cv.SetPenWidth(1);
      cv.SetPenStyle(Qt::DotLine);
      cv.MoveTo(c->PlotRect().left(), y + 3);
      cv.LineTo(c->PlotRect().right(), y + 3);
    }
  };
  Fill(shown, 0);
  ASSERT_TRUE(PaintDue(probe));
  dataStep = 0;
  for (int k = 1; k <= 12; ++k) {
    const QImage before = OnScreen(shown);
    // The drawings change over standing data (k odd), or the data and the marker under the
    // other drawings.
    if (k % 2)
      ++phase;
    else
      dataStep = ++step;
    Fill(shown, dataStep);
    probe.painted = QRegion();
    ASSERT_TRUE(PaintDue(probe)) << "k " << k;
    const QImage after = Expected();
    ASSERT_EQ(OnScreen(shown), after) << "k " << k;
    EXPECT_EQ(Missed(before, after, probe.painted), 0) << "k " << k;
  }
}

// The same data again changes no pixel and paints only where the traces are; one value changed
// in one place shows, and every pixel it changed was painted.
TEST_F(ChartScreen, UnchangedDataChangesNothingAndOneChangeShows) {
  PaintRegions probe(&shown);
  Fill(shown, 3);
  ASSERT_TRUE(PaintDue(probe));
  const QImage before = OnScreen(shown);
  Fill(shown, 3);
  probe.painted = QRegion();
  ASSERT_TRUE(PaintDue(probe));
  step = 3;
  EXPECT_EQ(OnScreen(shown), before);
  qint64 area = 0;
  for (const QRect& r : probe.painted)
    area += static_cast<qint64>(r.width()) * r.height();
  EXPECT_LT(area * 2, static_cast<qint64>(shown.width()) * shown.height());
  // One point higher than before.
  TChartSeries* s = shown.Series(0);
  std::vector<double> xs = s->XValues(), ys = s->YValues();
  s->ClearPoints();
  for (size_t i = 0; i < xs.size(); ++i)
    s->AddPoint(xs[i], ys[i] + (i == 200 ? 20 : 0), clBlue);
  probe.painted = QRegion();
  ASSERT_TRUE(PaintDue(probe));
  const QImage after = OnScreen(shown);
  EXPECT_GT(Missed(before, after, QRegion()), 0);
  EXPECT_EQ(Missed(before, after, probe.painted), 0);
  TChart fresh;
  Prepare(fresh);
  for (int k = 0; k < shown.SeriesCount(); ++k) {
    const TChartSeries* from = shown.Series(k);
    for (int i = 0; i < from->PointCount(); ++i)
      fresh.Series(k)->AddPoint(from->XValues()[i], from->YValues()[i], from->Colours()[i]);
  }
  EXPECT_EQ(after, fresh.RenderImage());
}

// An after-draw that draws through the painter itself is raised once per frame, and the
// screen still shows what a fresh chart draws, also in the frames after it stops doing so.
TEST_F(ChartScreen, DrawingThroughThePainterShowsAsAFreshDrawing) {
  PaintRegions probe(&shown);
  int calls = 0;
  bool painter = true;
  extra = [&](TChart* c, TChartCanvas& cv) {
    ++calls;
    cv.SetPenColor(Qt::magenta);
    cv.MoveTo(c->BottomAxis().ValueToX(300), c->LeftAxis().ValueToY(-60));
    cv.LineTo(c->BottomAxis().ValueToX(3000), c->LeftAxis().ValueToY(-60));
    if (painter) {
      QPainter& p = cv.Painter();
      p.translate(5, 5);
      p.fillRect(QRect(c->BottomAxis().ValueToX(1000), c->LeftAxis().ValueToY(-75), 30, 20),
                 QColor(0, 160, 255));
    }
    // Drawn after the painter was used, over what it drew.
    cv.TextOut(c->BottomAxis().ValueToX(1000), c->LeftAxis().ValueToY(-72), QStringLiteral("P"));
  };
  Fill(shown, 0);
  ASSERT_TRUE(PaintDue(probe));
  for (int k = 1; k <= 4; ++k) {
    painter = k < 3;
    ++step;
    calls = 0;
    Fill(shown, step);
    ASSERT_TRUE(PaintDue(probe)) << "k " << k;
    EXPECT_EQ(calls, 1) << "k " << k;
    const bool was = painter;
    ASSERT_EQ(OnScreen(shown), Expected()) << "k " << k;
    painter = was;
  }
}

// Paints that the chart did not ask for (a covered part shown again, a resize) still show the
// whole of the current state, and changes drawn outside the chart's sight (the after-draw's
// state) show with the next paint asked for.
TEST_F(ChartScreen, OtherPaintsShowTheCurrentState) {
  PaintRegions probe(&shown);
  Fill(shown, 0);
  ASSERT_TRUE(PaintDue(probe));
  // The after-draw's state changes without new data, and the owner asks for a paint.
  step = 5;
  shown.update();
  ASSERT_TRUE(PaintDue(probe));
  TChart fresh;
  Prepare(fresh);
  Fill(fresh, 0);
  EXPECT_EQ(OnScreen(shown), fresh.RenderImage());
  // A part painted again on the window system's behalf, and an image drawn in between.
  (void)shown.RenderImage();
  shown.repaint(QRect(0, 0, 200, 100));
  EXPECT_EQ(OnScreen(shown), fresh.RenderImage());
  Fill(shown, 0);
  ASSERT_TRUE(PaintDue(probe));
  EXPECT_EQ(OnScreen(shown), fresh.RenderImage());
  // A new size.
  shown.resize(700, 400);
  fresh.resize(700, 400);
  ASSERT_TRUE(PaintDue(probe));
  EXPECT_EQ(OnScreen(shown), fresh.RenderImage());
}

}  // namespace

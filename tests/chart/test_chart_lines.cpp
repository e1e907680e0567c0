// Traces redrawn frame after frame against a fresh drawing of the same data, and the bottom axis'
// column bands, which place the points without the formula.
#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <algorithm>
#include <random>

#include <cmath>

#include "ChartImpl.h"
#include "ChartTestUtil.h"

namespace {

using chart_detail::ColumnBands;
using chart_detail::Scale;

// The first differing pixel, for the failure message.
QString FirstDifference(const QImage& expected, const QImage& got) {
  for (int y = 0; y < expected.height(); ++y)
    for (int x = 0; x < expected.width(); ++x)
      if (expected.pixel(x, y) != got.pixel(x, y))
        return QStringLiteral("(%1,%2) fresh %3 redrawn %4")
            .arg(x)
            .arg(y)
            .arg(expected.pixel(x, y), 8, 16)
            .arg(got.pixel(x, y), 8, 16);
  return {};
}

// Charts of many kinds drawn frame after frame, each frame putting back only what the last one
// drew, against a chart drawing the same data for the first time: the same pictures. Traces that
// change colour, leave the plot above and below and the image, hold NaNs and infinities, and a
// chart with pointers.
TEST(ChartLines, RedrawnTracesAreAFreshChartsTraces) {
  struct Case {
    bool log;
    int points;
    bool pointers;
    bool wild;
  };
  const Case cases[] = {{true, 16384, false, false}, {true, 1024, false, false},
                        {false, 4096, false, false}, {true, 16384, false, true},
                        {false, 300, true, true},    {true, 60, false, true},
                        {false, 16384, false, true}, {true, 200, true, false}};
  int frames = 0;
  for (const Case& k : cases) {
    TChart redrawn;
    const auto setUp = [&](TChart& c) {
      SetUpSpectrumChart(c);
      c.resize(640, 360);
      c.BottomAxis().SetRange(k.log ? 10 : 0, 22050);
      c.BottomAxis().SetLogarithmic(k.log);
      for (int s = 0; s < 3; ++s) {
        TChartSeries* ser = c.AddSeries(TSeriesKind::Line, QString::number(s));
        ser->SetPointerVisible(k.pointers && s == 1);
      }
    };
    setUp(redrawn);
    std::mt19937 rng(static_cast<unsigned>(k.points));
    for (int frame = 0; frame < 3; ++frame) {
      TChart fresh;
      setUp(fresh);
      std::normal_distribution<double> noise(0, 4 + 4 * frame);
      for (int s = 0; s < 3; ++s) {
        std::vector<std::pair<double, double>> pts;
        for (int i = 0; i < k.points; ++i) {
          const double f = (i + 0.5) * 22050.0 / k.points;
          double y = -50 - 12 * s - 8 * std::log10(1 + f / 100) + noise(rng);
          if (i % 211 == 7) y = k.wild ? 30 : -1;  // above the plot, or at its top
          if (k.wild && i % 307 == 11) y = -900;   // far below it
          if (i % 401 == 13) y = std::nan("");
          if (k.wild && i % 503 == 17) y = -INFINITY;
          pts.emplace_back(f, y);
        }
        for (TChart* c : {&redrawn, &fresh}) {
          TChartSeries* ser = c->Series(s);
          ser->ClearPoints();
          for (size_t i = 0; i < pts.size(); ++i)
            ser->AddPoint(pts[i].first, pts[i].second, (i / 700 + s) % 2 ? clRed : clBlue);
        }
      }
      const QImage pictures[2] = {fresh.RenderImage(), redrawn.RenderImage()};
      ++frames;
      EXPECT_EQ(pictures[0], pictures[1])
          << (k.log ? "log" : "linear") << " axis, " << k.points << " points, frame " << frame
          << ": " << FirstDifference(pictures[0], pictures[1]).toStdString();
      EXPECT_GT(CountPixels(pictures[0], fresh.PlotRect(), [](QRgb v) { return Is(v, clRed); }),
                200);
    }
  }
  EXPECT_EQ(frames, 24);
}

// Every value of a column's band lies in that column, on log and linear, wide and narrow axes.
TEST(ChartLines, ColumnBandsHoldOnlyTheirColumn) {
  struct Axis {
    double lo, hi;
    bool log;
    int start, span;
  };
  const Axis axes[] = {{10, 22050, true, 31, 740},  {1, 1e6, true, 5, 300},
                       {0, 22050, false, 31, 740},  {-3, 2, false, 0, 1900},
                       {1000, 1001, true, 12, 900}, {20, 24000, true, 40, 3000}};
  std::mt19937 rng(5);
  int checked = 0;
  for (const Axis& a : axes) {
    Scale s;
    s.start = a.start;
    s.span = a.span;
    s.lo = a.lo;
    s.hi = a.hi;
    s.log = a.log;
    s.l0 = a.log ? std::log(a.lo) : 0;
    s.l1 = a.log ? std::log(a.hi) : 0;
    ColumnBands bands;
    bands.Update(s);
    ASSERT_EQ(bands.first, a.start);
    ASSERT_EQ(bands.low.size(), static_cast<size_t>(a.span) + 1);
    for (size_t k = 0; k < bands.low.size(); ++k) {
      const int column = bands.first + static_cast<int>(k);
      const double lo = bands.low[k], hi = bands.high[k];
      ASSERT_LT(lo, hi) << "column " << column;
      // The bands leave only thin gaps at the boundaries, where the formula decides.
      if (k > 0) {
        EXPECT_LT(lo - bands.high[k - 1], (hi - lo) * 0.01);
      }
      std::uniform_real_distribution<double> in(lo, hi);
      for (double x : {lo, std::nextafter(hi, lo), in(rng), in(rng), in(rng)}) {
        ASSERT_TRUE(bands.Holds(column, x));
        EXPECT_EQ(s.Pos(x), column) << "x " << x << " of " << a.lo << ".." << a.hi;
        ++checked;
      }
      EXPECT_FALSE(bands.Holds(column, hi));
      EXPECT_FALSE(bands.Holds(column, std::nan("")));
    }
  }
  EXPECT_GT(checked, 30000);
  // No bands where the scale does not increase: those values take the formula.
  for (const auto& [lo, hi, log] :
       {std::tuple{5.0, 1.0, false}, std::tuple{0.0, 10.0, true}, std::tuple{-1.0, 10.0, true}}) {
    Scale s;
    s.span = 100;
    s.lo = lo;
    s.hi = hi;
    s.log = log;
    ColumnBands bands;
    bands.Update(s);
    EXPECT_TRUE(bands.low.empty()) << lo << ".." << hi;
  }
}

}  // namespace

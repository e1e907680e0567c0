// Axis ranges, refusals, the value-to-pixel formulas, label placement and number patterns.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "ChartTestUtil.h"

namespace {

class ChartAxes : public ::testing::Test {
 protected:
  void SetUp() override { QLocale::setDefault(QLocale::c()); }
};

TEST_F(ChartAxes, SetRangeSortsWidensAndTurnsAutomaticOff) {
  TChart c;
  TChartAxis& a = c.BottomAxis();
  a.SetAutomatic(true);
  a.SetAutomaticMinimum(true);
  a.SetAutomaticMaximum(true);
  a.SetRange(22050, 10);
  EXPECT_EQ(a.Minimum(), 10);
  EXPECT_EQ(a.Maximum(), 22050);
  EXPECT_FALSE(a.Automatic());
  EXPECT_FALSE(a.AutomaticMinimum());
  EXPECT_FALSE(a.AutomaticMaximum());
  a.SetRange(0, 0);
  EXPECT_EQ(a.Minimum(), 0);
  EXPECT_EQ(a.Maximum(), 1e-10);
  a.SetRange(5, 5 + 1e-12);
  EXPECT_EQ(a.Minimum(), 5);
  EXPECT_EQ(a.Maximum(), 5 + 1e-10);
  a.SetRange(NAN, 3);
  a.SetRange(1, INFINITY);
  EXPECT_EQ(a.Minimum(), 5) << "non-finite limits are ignored";
}

TEST_F(ChartAxes, RefusalsThrowWithAMessageAndChangeNothing) {
  TChart c;
  TChartAxis& a = c.LeftAxis();
  a.SetIncrement(5);
  try {
    a.SetIncrement(-1);
    FAIL() << "a negative step was accepted";
  } catch (const EChartError& e) {
    EXPECT_NE(std::string(e.what()).find("step"), std::string::npos) << e.what();
  }
  EXPECT_EQ(a.Increment(), 5);
  EXPECT_THROW(a.SetIncrement(NAN), EChartError);
  EXPECT_EQ(a.Increment(), 5);

  a.SetRange(-5, 100);
  try {
    a.SetLogarithmic(true);
    FAIL() << "a logarithmic axis with a negative limit was accepted";
  } catch (const EChartError& e) {
    EXPECT_NE(std::string(e.what()).find("negative"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(a.Logarithmic());
  EXPECT_EQ(a.Minimum(), -5);
  EXPECT_EQ(a.Maximum(), 100);
  // A zero limit is not negative: allowed, and counts as ln 0.
  a.SetRange(0, 100);
  EXPECT_NO_THROW(a.SetLogarithmic(true));
  EXPECT_TRUE(a.Logarithmic());
}

TEST_F(ChartAxes, ValueToPixelFollowsTheScaleOfTheAxisItIsCalledOn) {
  TChart c;
  SetUpSpectrumChart(c);
  const QRect p = c.PlotRect();
  ASSERT_GT(p.width(), 100);
  ASSERT_GT(p.height(), 100);
  TChartAxis& b = c.BottomAxis();
  EXPECT_EQ(b.ValueToX(-5), p.left());
  EXPECT_EQ(b.ValueToX(0), p.left());
  EXPECT_EQ(b.ValueToX(10), p.left());
  EXPECT_EQ(b.ValueToX(22050), p.right());
  EXPECT_GT(b.ValueToX(40000), p.right());
  const double span = p.right() - p.left();
  EXPECT_EQ(b.ValueToX(1000), p.left() + std::lround(span * (std::log(1000.0) - std::log(10.0)) /
                                                     (std::log(22050.0) - std::log(10.0))));
  // Huge values stay finite pixels far outside.
  EXPECT_GT(b.ValueToX(1e300), p.right() + 10000);

  TChartAxis& l = c.LeftAxis();
  EXPECT_EQ(l.ValueToY(-100), p.bottom());
  EXPECT_EQ(l.ValueToY(0), p.top());
  EXPECT_EQ(l.ValueToY(-50), p.bottom() + std::lround(-(p.bottom() - p.top()) * 0.5));
  EXPECT_LT(l.ValueToY(20), p.top());
  // The left axis asked for a column uses its own linear scale along the plot's width.
  EXPECT_EQ(l.ValueToX(-100), p.left());
  EXPECT_EQ(l.ValueToX(0), p.right());
  // And the bottom axis asked for a row uses its logarithmic scale.
  EXPECT_EQ(b.ValueToY(22050), p.top());
  EXPECT_EQ(b.ValueToY(0), p.bottom());

  // Round trips through the inverses.
  EXPECT_EQ(b.ValueToX(b.XToValue(p.left() + 123)), p.left() + 123);
  EXPECT_EQ(l.ValueToY(l.YToValue(p.top() + 57)), p.top() + 57);

  // A log axis whose limits are not positive counts them as ln 0.
  TChart d;
  d.resize(300, 200);
  d.BottomAxis().SetRange(0, 100);
  d.BottomAxis().SetLogarithmic(true);
  const QRect q = d.PlotRect();
  EXPECT_EQ(d.BottomAxis().ValueToX(1), q.left());
  EXPECT_EQ(d.BottomAxis().ValueToX(100), q.right());
}

TEST_F(ChartAxes, PlotRectIsLaidOutWithoutPaintingAndFollowsSizeAndMargins) {
  TChart c;
  SetUpSpectrumChart(c);
  const QRect p = c.PlotRect();
  EXPECT_TRUE(QRect(0, 0, 780, 435).contains(p));
  EXPECT_GE(p.left(), 780 * 2 / 100 + 20) << "room for the labels and the title";
  EXPECT_LE(p.bottom(), 435 - 20) << "room for the labels and the title below";
  c.resize(400, 300);
  const QRect q = c.PlotRect();
  EXPECT_LT(q.width(), p.width());
  EXPECT_LT(q.height(), p.height());
  c.SetMargins(20, 1, 0, 0);
  EXPECT_GE(c.PlotRect().left(), q.left() + 400 * 18 / 100);
}

TEST_F(ChartAxes, LinearLabelsAtEveryMultipleOfTheStepFromTheMaximumDown) {
  TChart c;
  SetUpSpectrumChart(c);
  TChartAxis& b = c.BottomAxis();
  b.SetLogarithmic(false);
  b.SetRange(0, 22050);
  b.SetIncrement(2000);
  std::vector<double> want;
  for (int v = 22000; v >= 0; v -= 2000)
    want.push_back(v);
  EXPECT_EQ(b.LabelValues(), want);
  EXPECT_EQ(b.FormatLabel(22000), "22000");

  // The decade grid's own step puts nothing inside the log range.
  b.SetRange(10, 22050);
  b.SetIncrement(50000);
  b.SetLogarithmic(true);
  EXPECT_TRUE(b.LabelValues().empty());
  b.SetIncrement(10000);
  EXPECT_EQ(b.LabelValues(), (std::vector<double>{20000, 10000}));
}

TEST_F(ChartAxes, LabelsSeparationWidensTheStepThroughOneTwoFive) {
  TChart c;
  SetUpSpectrumChart(c);
  TChartAxis& l = c.LeftAxis();
  l.SetIncrement(5);
  l.SetLabelsSeparation(10);
  const std::vector<double> tall = l.LabelValues();
  c.resize(780, 120);
  const std::vector<double> low = l.LabelValues();
  ASSERT_GE(low.size(), 2u);
  EXPECT_LT(low.size(), tall.size());
  const double step = low[0] - low[1];
  EXPECT_TRUE(step == 10 || step == 20 || step == 50 || step == 100) << step;
  EXPECT_EQ(low.front(), 0);
  const int gap = l.ValueToY(low[1]) - l.ValueToY(low[0]);
  QFont labelFont;
  labelFont.setPixelSize(11);
  EXPECT_GE(gap, QFontMetrics(labelFont).height() * 1.1) << "labels keep their separation";

  // Separation 0 never drops a label, but a step finer than a pixel is not drawn label by label.
  l.SetLabelsSeparation(0);
  EXPECT_EQ(l.LabelValues().size(), 21u);
  l.SetIncrement(1e-9);
  const auto many = l.LabelValues();
  EXPECT_GT(many.size(), 2u);
  EXPECT_LE(static_cast<int>(many.size()), c.PlotRect().height() + 1);
}

TEST_F(ChartAxes, NumberPatterns) {
  TChart c;
  TChartAxis& a = c.BottomAxis();
  a.SetAxisValuesFormat("#");
  EXPECT_EQ(a.FormatLabel(12000), "12000") << "no thousands separator";
  EXPECT_EQ(a.FormatLabel(1234.6), "1235");
  EXPECT_EQ(a.FormatLabel(0), "0");
  EXPECT_EQ(a.FormatLabel(-0.3), "0");
  a.SetAxisValuesFormat("###");
  EXPECT_EQ(a.FormatLabel(-100), "-100");
  EXPECT_EQ(a.FormatLabel(-2.5), "-3");
  a.SetAxisValuesFormat("#,##0.0#");
  EXPECT_EQ(a.FormatLabel(1234567.891), "1,234,567.89");
  EXPECT_EQ(a.FormatLabel(2.5), "2.5");
  a.SetAxisValuesFormat("0.00 dB");
  EXPECT_EQ(a.FormatLabel(-3.14159), "-3.14 dB");
  a.SetAxisValuesFormat("");
  EXPECT_EQ(a.FormatLabel(-0.5), "-0.5");
  EXPECT_EQ(a.FormatLabel(1), "1");
}

TEST_F(ChartAxes, ScopeAxesLabelTheHalfSteps) {
  TChart c;
  SetUpScopeChart(c);
  c.BottomAxis().SetIncrement(0.5);
  c.LeftAxis().SetIncrement(0.5);
  EXPECT_EQ(c.BottomAxis().LabelValues(), (std::vector<double>{1, 0.5, 0, -0.5, -1}));
  QStringList texts;
  for (double v : c.BottomAxis().LabelValues())
    texts << c.BottomAxis().FormatLabel(v);
  EXPECT_EQ(texts.join(' '), "1 0.5 0 -0.5 -1");
}

}  // namespace

namespace {

TEST_F(ChartAxes, AutomaticRangeFollowsTheData) {
  TChart c;
  c.resize(300, 200);
  c.LeftAxis().SetAutomatic(true);
  c.BottomAxis().SetAutomaticMaximum(true);
  TChartSeries* s = c.AddSeries(TSeriesKind::Line, "L");
  s->AddPoint(0.5, -3, clBlue);
  s->AddPoint(4, 7, clBlue);
  c.RenderImage();
  EXPECT_EQ(c.LeftAxis().Minimum(), -3);
  EXPECT_EQ(c.LeftAxis().Maximum(), 7);
  EXPECT_EQ(c.BottomAxis().Minimum(), 0) << "the minimum stays fixed";
  EXPECT_EQ(c.BottomAxis().Maximum(), 4);
}

TEST_F(ChartAxes, LegendTakesRoomAndEmptyChartsDrawNothing) {
  TChart c;
  c.resize(400, 300);
  c.AddSeries(TSeriesKind::Line, "Lmax");
  const int right = c.PlotRect().right();
  c.SetLegendVisible(true);
  EXPECT_LT(c.PlotRect().right(), right - 20);

  TChart empty;
  empty.resize(0, 0);
  int calls = 0;
  empty.OnAfterDraw = [&](TChart*, TChartCanvas&) { ++calls; };
  EXPECT_TRUE(empty.RenderImage().isNull());
  EXPECT_EQ(calls, 0);
  QString error;
  EXPECT_FALSE(empty.SaveChartBitmap("/tmp/tonvista-empty-chart.bmp", &error));
  EXPECT_FALSE(error.isEmpty());
}

}  // namespace

namespace {

TEST_F(ChartAxes, ValueToPixelIsTheNearestWholePixelOfTheFormula) {
  TChart c;
  SetUpSpectrumChart(c);
  const QRect p = c.PlotRect();
  const double span = p.right() - p.left(), rows = p.top() - p.bottom();
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> f(-1000, 30000), db(-150, 30);
  const double l0 = std::log(10.0), l1 = std::log(22050.0);
  for (int i = 0; i < 20000; ++i) {
    const double v = f(rng), y = db(rng);
    const long x = v > 0 ? p.left() + std::lround(span * (std::log(v) - l0) / (l1 - l0)) : p.left();
    ASSERT_EQ(c.BottomAxis().ValueToX(v), x) << v;
    ASSERT_EQ(c.LeftAxis().ValueToY(y), p.bottom() + std::lround(rows * (y + 100) / 100)) << y;
  }
  // Exact halves round away from zero.
  TChart h;
  h.resize(300, 200);
  // One value per pixel; the range's labels move the plot edge, so let the layout settle.
  for (int i = 0; i < 3; ++i)
    h.BottomAxis().SetRange(0, h.PlotRect().right() - h.PlotRect().left());
  EXPECT_EQ(h.BottomAxis().ValueToX(2.5), h.PlotRect().left() + 3);
  EXPECT_EQ(h.BottomAxis().ValueToX(-2.5), h.PlotRect().left() - 3);
}

}  // namespace

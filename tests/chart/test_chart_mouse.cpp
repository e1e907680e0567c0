// Mouse zoom and panning, and that feeding points never paints by itself.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QTest>

#include "ChartTestUtil.h"

namespace {

struct Ranges {
  double b0, b1, l0, l1;
  bool operator==(const Ranges&) const = default;
};
Ranges Of(const TChart& c) {
  return {c.BottomAxis().Minimum(), c.BottomAxis().Maximum(), c.LeftAxis().Minimum(),
          c.LeftAxis().Maximum()};
}

class ChartMouse : public ::testing::Test {
 protected:
  void SetUp() override {
    SetUpSpectrumChart(c);
    c.BottomAxis().SetLogarithmic(false);
    c.BottomAxis().SetRange(0, 22050);
    c.BottomAxis().SetIncrement(2000);
  }
  TChart c;
};

TEST_F(ChartMouse, ZoomNeedsMoreThanSixteenPixelsBothWays) {
  const QRect p = c.PlotRect();
  const Ranges before = Of(c);
  const QPoint at = p.topLeft() + QPoint(50, 50);
  Drag(c, Qt::LeftButton, at, at + QPoint(10, 100));
  EXPECT_EQ(Of(c), before);
  Drag(c, Qt::LeftButton, at, at + QPoint(100, 16));
  EXPECT_EQ(Of(c), before);
  EXPECT_FALSE(c.Zoomed());

  Drag(c, Qt::LeftButton, at, at + QPoint(200, 100));
  EXPECT_TRUE(c.Zoomed());
  const Ranges zoomed = Of(c);
  EXPECT_GT(zoomed.b0, before.b0);
  EXPECT_LT(zoomed.b1, before.b1);
  EXPECT_GT(zoomed.l0, before.l0);
  EXPECT_LT(zoomed.l1, before.l1);
  // The rectangle's corners are the new plot corners.
  EXPECT_EQ(c.BottomAxis().ValueToX(zoomed.b0), c.PlotRect().left());
  EXPECT_NEAR(zoomed.b0, 22050.0 * 50 / (p.width() - 1), 1e-6);
  EXPECT_NEAR(zoomed.l1, -100.0 * 50 / (p.height() - 1), 1e-6);

  // Zooming again, then any other direction restores the ranges before the first zoom.
  Drag(c, Qt::LeftButton, at, at + QPoint(100, 100));
  EXPECT_NE(Of(c), zoomed);
  Drag(c, Qt::LeftButton, at + QPoint(100, 100), at);
  EXPECT_EQ(Of(c), before);
  EXPECT_FALSE(c.Zoomed());
  Drag(c, Qt::LeftButton, at, at + QPoint(100, 100));
  Drag(c, Qt::LeftButton, at + QPoint(0, 100), at + QPoint(100, 0));  // towards the upper right
  EXPECT_EQ(Of(c), before);

  c.SetAllowZoom(false);
  Drag(c, Qt::LeftButton, at, at + QPoint(100, 100));
  EXPECT_EQ(Of(c), before);
}

TEST_F(ChartMouse, RestoreBringsBackTheRangesSetByTheProgramSinceAnEarlierZoom) {
  const QRect p = c.PlotRect();
  const QPoint at = p.topLeft() + QPoint(50, 50);
  Drag(c, Qt::LeftButton, at, at + QPoint(200, 100));
  ASSERT_TRUE(c.Zoomed());
  // The program rescales (a new sampling rate while stopped): that ends the zoom.
  c.BottomAxis().SetRange(10, 4000);
  c.LeftAxis().SetRange(-100, 0);
  EXPECT_FALSE(c.Zoomed());
  const Ranges rescaled = Of(c);
  Drag(c, Qt::LeftButton, at, at + QPoint(200, 100));
  EXPECT_TRUE(c.Zoomed());
  Drag(c, Qt::LeftButton, at + QPoint(200, 100), at);
  EXPECT_EQ(Of(c), rescaled);
  // A restore after the rescale alone leaves the rescaled ranges.
  Drag(c, Qt::LeftButton, at, at + QPoint(200, 100));
  c.BottomAxis().SetRange(0, 8000);
  const Ranges again = Of(c);
  Drag(c, Qt::LeftButton, at + QPoint(200, 100), at);
  EXPECT_EQ(Of(c), again);
  // Panning a zoom keeps it: restore still goes back to the ranges before it.
  Drag(c, Qt::LeftButton, at, at + QPoint(200, 100));
  Drag(c, Qt::RightButton, at, at + QPoint(30, 0));
  EXPECT_TRUE(c.Zoomed());
  Drag(c, Qt::LeftButton, at + QPoint(200, 100), at);
  EXPECT_EQ(Of(c), again);
}

TEST_F(ChartMouse, ZoomDragShowsItsRectangleUntilRelease) {
  const QPoint at = c.PlotRect().topLeft() + QPoint(40, 40), to = at + QPoint(120, 80);
  auto onEdge = [&](const QImage& img) {
    int dark = 0;
    for (int x = at.x(); x <= to.x(); ++x)
      dark += qGray(img.pixel(x, to.y())) < 60;
    return dark;
  };
  Send(c, QEvent::MouseButtonPress, Qt::LeftButton, at);
  Send(c, QEvent::MouseMove, Qt::LeftButton, to);
  EXPECT_GT(onEdge(c.grab().toImage()), 30);
  EXPECT_EQ(onEdge(c.RenderImage()), 0) << "exports show the chart, not the drag";
  c.SetAllowZoom(false);  // released elsewhere: nothing left behind
  Send(c, QEvent::MouseButtonRelease, Qt::LeftButton, at + QPoint(5, 5));
  EXPECT_EQ(onEdge(c.grab().toImage()), 0);
}

TEST_F(ChartMouse, ZoomOnALogarithmicAxis) {
  c.BottomAxis().SetRange(10, 22050);
  c.BottomAxis().SetIncrement(50000);
  c.BottomAxis().SetLogarithmic(true);
  const QRect p = c.PlotRect();
  Drag(c, Qt::LeftButton, p.topLeft(), p.topLeft() + QPoint(p.width() / 2, 50));
  EXPECT_GT(c.BottomAxis().Minimum(), 0);
  EXPECT_NEAR(c.BottomAxis().Minimum(), 10, 1e-6);
  EXPECT_NEAR(c.BottomAxis().Maximum(), std::sqrt(10.0 * 22050), 15);
}

TEST_F(ChartMouse, PanningFollowsTheMouseAndTheMode) {
  const QRect p = c.PlotRect();
  const Ranges before = Of(c);
  const QPoint at = p.center();
  c.SetAllowPanning(pmHorizontal);
  Drag(c, Qt::RightButton, at, at + QPoint(-100, 60));
  const Ranges h = Of(c);
  EXPECT_NEAR(h.b0, 22050.0 * 100 / (p.width() - 1), 1e-6);
  EXPECT_NEAR(h.b1 - h.b0, 22050, 1e-6);
  EXPECT_EQ(h.l0, before.l0);
  EXPECT_EQ(h.l1, before.l1);

  c.SetAllowPanning(pmBoth);
  Drag(c, Qt::RightButton, at, at + QPoint(100, 60));
  const Ranges b = Of(c);
  // New labels may move the plot's edge by a few pixels while dragging.
  const double hzPerPixel = 22050.0 / (p.width() - 1);
  EXPECT_NEAR(b.b0, before.b0, 4 * hzPerPixel);
  EXPECT_NEAR(b.l0, before.l0 + 100.0 * 60 / (p.height() - 1), 1e-6) << "drag down: values rise";

  c.SetAllowPanning(pmVertical);
  const Ranges v0 = Of(c);
  Drag(c, Qt::RightButton, at, at + QPoint(100, -60));
  EXPECT_EQ(Of(c).b0, v0.b0);
  EXPECT_NE(Of(c).l0, v0.l0);

  c.SetAllowPanning(pmNone);
  const Ranges n0 = Of(c);
  Drag(c, Qt::RightButton, at, at + QPoint(100, 60));
  EXPECT_EQ(Of(c), n0);
}

TEST_F(ChartMouse, AddingPointsOnlyMarksForRedrawingAndABlockCostsOnePaint) {
  int paints = 0;
  c.OnAfterDraw = [&](TChart*, TChartCanvas&) { ++paints; };
  c.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&c));
  QApplication::processEvents();
  const int settled = paints;
  ASSERT_GE(settled, 1);
  for (int s = 0; s < 4; ++s) {
    c.Series(s)->ClearPoints();
    for (int i = 0; i < 1024; ++i)
      c.Series(s)->AddPoint(i * 20, -50, clBlue);
  }
  c.BottomAxis().SetRange(0, 22050);  // the same range again, as every block sets it
  EXPECT_EQ(paints, settled) << "nothing drawn while the points arrive";
  QApplication::processEvents();
  EXPECT_EQ(paints, settled + 1);
  c.Series(0)->Repaint();
  QApplication::processEvents();
  EXPECT_EQ(paints, settled + 2);
}

}  // namespace

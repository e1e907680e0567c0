// What the chart paints: per-point colours, clipping, the after-draw surface, the bitmap file,
// the decimated traces against full drawing, and crisp drawing at pixel ratio 2.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QPainter>
#include <QTemporaryDir>
#include <cmath>
#include <random>

#include "ChartTestUtil.h"

namespace {

class ChartRender : public ::testing::Test {
 protected:
  void SetUp() override { QLocale::setDefault(QLocale::c()); }
};

// Spectrum-like traces: noise around a slope, with peaks.
void FillTraces(TChart& c, int points, double top, bool logAxis) {
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0, 6);
  for (int s = 0; s < c.SeriesCount(); ++s) {
    TChartSeries* ser = c.Series(s);
    ser->ClearPoints();
    for (int i = 0; i < points; ++i) {
      const double f = (i + (logAxis ? 1 : 0)) * top / points;
      double y = -40 - 10 * s - 20 * std::log10(1 + f / 1000) + noise(rng);
      if (i % 997 == 0) y = -5;
      // Colour changes along the trace exercise the split of the column groups.
      const QRgb col = (i / 3000) % 2 ? clRed : clBlue;
      ser->AddPoint(f, y, s % 2 ? clRed : col);
    }
  }
}

// Every segment with its own pen, clipped to the plot: the reference picture.
void DrawEverySegment(TChart& c, QPainter& p) {
  p.save();
  p.setClipRect(c.PlotRect());
  for (int s = 0; s < c.SeriesCount(); ++s) {
    const TChartSeries* ser = c.Series(s);
    for (int i = 1; i < ser->PointCount(); ++i) {
      QPen pen(QColor::fromRgb(ser->Colours()[i]), 1);
      pen.setCosmetic(true);
      pen.setCapStyle(Qt::SquareCap);
      p.setPen(pen);
      p.drawLine(c.BottomAxis().ValueToX(ser->XValues()[i - 1]),
                 c.LeftAxis().ValueToY(ser->YValues()[i - 1]),
                 c.BottomAxis().ValueToX(ser->XValues()[i]),
                 c.LeftAxis().ValueToY(ser->YValues()[i]));
    }
  }
  p.restore();
}

TEST_F(ChartRender, PointColoursDecideAndSeriesAreClippedToThePlot) {
  TChart c;
  SetUpSpectrumChart(c);
  c.BottomAxis().SetLogarithmic(false);
  c.BottomAxis().SetRange(0, 100);
  const QRect p = c.PlotRect();
  TChartSeries* s = c.Series(0);  // stored colour red
  for (int i = 0; i <= 100; i += 10)
    s->AddPoint(i, -50 + (i % 20 ? 10 : -10), clBlue);
  QImage img = c.RenderImage();
  EXPECT_GT(CountPixels(img, p, [](QRgb v) { return Is(v, clBlue); }), 100);
  EXPECT_EQ(CountPixels(img, img.rect(), [](QRgb v) { return qRed(v) > 200 && qBlue(v) < 50; }), 0)
      << "the stored series colour must not show";

  // The segment that ends at a point takes that point's colour.
  s->ClearPoints();
  s->AddPoint(0, -50, clRed);
  s->AddPoint(50, -50, clBlue);
  s->AddPoint(100, -50, clRed);
  img = c.RenderImage();
  const int y = c.LeftAxis().ValueToY(-50);
  EXPECT_TRUE(Is(img.pixel(c.BottomAxis().ValueToX(25), y), clBlue));
  EXPECT_TRUE(Is(img.pixel(c.BottomAxis().ValueToX(75), y), clRed));

  // A trace running far above the range stays inside the plot area.
  s->ClearPoints();
  s->AddPoint(0, -50, clBlue);
  s->AddPoint(50, 500, clBlue);
  s->AddPoint(100, -50, clBlue);
  img = c.RenderImage();
  const QRect outside(0, 0, img.width(), p.top());
  EXPECT_EQ(CountPixels(img, outside, [](QRgb v) { return Is(v, clBlue); }), 0);
  EXPECT_GT(CountPixels(img, p, [](QRgb v) { return Is(v, clBlue); }), 20);
}

TEST_F(ChartRender, PaintedPlotAreaMatchesPlotRect) {
  TChart c;
  c.resize(400, 300);
  c.SetBackColor(QColor(200, 200, 200));
  c.SetBackWallColor(Qt::white);
  c.BottomAxis().SetRange(0.1, 0.9);  // no multiple of the step inside: no ticks or grid
  c.LeftAxis().SetRange(0.1, 0.9);
  c.BottomAxis().SetIncrement(1000);
  c.LeftAxis().SetIncrement(1000);
  c.BottomAxis().SetAxisVisible(false);
  c.LeftAxis().SetAxisVisible(false);
  const QRect p = c.PlotRect();
  const QImage img = c.RenderImage();
  for (QPoint in : {p.topLeft(), p.topRight(), p.bottomLeft(), p.bottomRight()})
    EXPECT_TRUE(Is(img.pixel(in), clWhite)) << in.x() << "," << in.y();
  const QPoint c0 = p.center();
  for (QPoint out : {QPoint(p.left() - 1, c0.y()), QPoint(p.right() + 1, c0.y()),
                     QPoint(c0.x(), p.top() - 1), QPoint(c0.x(), p.bottom() + 1)})
    EXPECT_TRUE(Is(img.pixel(out), qRgb(200, 200, 200))) << out.x() << "," << out.y();
}

TEST_F(ChartRender, AxesDrawTicksDottedGridLabelsAndTitles) {
  TChart c;
  SetUpSpectrumChart(c);
  c.BottomAxis().SetLogarithmic(false);
  c.BottomAxis().SetRange(0, 22050);
  c.BottomAxis().SetIncrement(2000);
  c.LeftAxis().SetIncrement(10);
  const QRect p = c.PlotRect();
  const QImage img = c.RenderImage();
  const int x = c.BottomAxis().ValueToX(10000);
  // Tick of 4 pixels below the plot, then the label.
  for (int dy = 1; dy <= 4; ++dy)
    EXPECT_TRUE(Is(img.pixel(x, p.bottom() + dy), clBlack)) << dy;
  EXPECT_FALSE(Is(img.pixel(x, p.bottom() + 5), clBlack));
  // Minor ticks of 2 pixels: four between 10000 and 12000.
  const int x2 = c.BottomAxis().ValueToX(12000);
  int minor = 0;
  for (int xx = x + 1; xx < x2; ++xx)
    if (Is(img.pixel(xx, p.bottom() + 1), clBlack)) {
      ++minor;
      EXPECT_TRUE(Is(img.pixel(xx, p.bottom() + 2), clBlack));
      EXPECT_FALSE(Is(img.pixel(xx, p.bottom() + 3), clBlack));
    }
  EXPECT_EQ(minor, 4);
  // Dotted grey grid line across the plot: grey and white alternate.
  int grey = 0, white = 0;
  for (int y = p.top(); y <= p.bottom(); ++y) {
    if (Is(img.pixel(x, y), qRgb(128, 128, 128))) ++grey;
    if (Is(img.pixel(x, y), clWhite)) ++white;
  }
  EXPECT_NEAR(grey, p.height() / 2, 2);
  EXPECT_NEAR(white, p.height() / 2, 2);
  // Labels under the ticks, left labels and titles somewhere in the margins.
  auto dark = [](QRgb v) { return qGray(v) < 100; };
  EXPECT_GT(CountPixels(img, QRect(x - 15, p.bottom() + 5, 30, 14), dark), 10);
  EXPECT_GT(CountPixels(img, QRect(0, p.top(), p.left() - 5, p.height()), dark), 100);
  EXPECT_GT(
      CountPixels(img, QRect(p.left(), p.bottom() + 20, p.width(), 435 - p.bottom() - 20), dark),
      50)
      << "the bottom title";
  // Hidden axis lines: the plot's left column is not solid black.
  EXPECT_LT(CountPixels(img, QRect(p.left(), p.top(), 1, p.height()), dark), p.height() / 2 + 2);
  c.LeftAxis().SetAxisVisible(true);
  const QImage withLine = c.RenderImage();
  EXPECT_EQ(CountPixels(withLine, QRect(p.left(), p.top(), 1, p.height()),
                        [](QRgb v) { return Is(v, clBlack); }),
            p.height());
}

TEST_F(ChartRender, AfterDrawSurfaceIsResetAndNotClippedToThePlot) {
  TChart c;
  SetUpSpectrumChart(c);
  const QRect p = c.PlotRect();
  // Left labels without after-draw.
  const int labelY = c.LeftAxis().ValueToY(-50);
  const QRect labelBox(0, labelY - 6, p.left() - 5, 12);
  const QImage plain = c.RenderImage();
  ASSERT_GT(CountPixels(plain, labelBox, [](QRgb v) { return qGray(v) < 100; }), 5);

  int calls = 0;
  c.OnAfterDraw = [&](TChart* sender, TChartCanvas& cv) {
    ++calls;
    EXPECT_EQ(sender, &c);
    QPainter& ptr = cv.Painter();
    EXPECT_EQ(ptr.font().pixelSize(), 13) << "10 point at 96 dpi";
    EXPECT_EQ(ptr.pen().color(), QColor(Qt::black));
    EXPECT_EQ(ptr.pen().width(), 1);
    EXPECT_EQ(ptr.pen().style(), Qt::SolidLine);
    // Opaque green text background over the labels left of the plot.
    cv.SetBrushColor(Qt::green);
    cv.TextOut(0, labelY - 6, "XXXXXXXXXXXX");
    // Line-to leaves out its end pixel, also outside the plot.
    cv.SetPenColor(Qt::red);
    cv.MoveTo(2, 2);
    cv.LineTo(12, 2);
    cv.SetPenStyle(Qt::DotLine);
    cv.MoveTo(2, 4);
    cv.LineTo(12, 4);
    // A clear brush leaves the background visible behind text.
    cv.SetBrushStyle(bsClear);
    cv.SetFontSize(8);
    EXPECT_EQ(ptr.font().pixelSize(), 11);
    cv.SetFontHeight(-11);
    EXPECT_EQ(ptr.font().pixelSize(), 11);
    cv.TextOut(p.left() + 50, p.top() + 50, "i");
    // Changes here must not leak into the next drawing.
    cv.SetPenWidth(3);
    cv.SetFontSize(20);
  };
  QImage img = c.RenderImage();
  EXPECT_EQ(calls, 1);
  const int green = CountPixels(img, labelBox, [](QRgb v) { return Is(v, qRgb(0, 255, 0)); });
  EXPECT_GT(green, labelBox.width() * labelBox.height() / 3) << "drawn over the labels";
  for (int x = 2; x < 12; ++x)
    EXPECT_TRUE(Is(img.pixel(x, 2), clRed)) << x;
  EXPECT_FALSE(Is(img.pixel(12, 2), clRed)) << "end pixel left out";
  int dots = 0;
  for (int x = 2; x < 12; ++x)
    dots += Is(img.pixel(x, 4), clRed);
  EXPECT_EQ(dots, 5);
  // The transparent text left most of its box white.
  EXPECT_TRUE(Is(img.pixel(p.left() + 50, p.top() + 50), clWhite));
  img = c.RenderImage();  // second drawing: state reset, checked inside the handler
  EXPECT_EQ(calls, 2);
}

TEST_F(ChartRender, TextOutPutsTheTopLeftCornerAtThePoint) {
  TChart c;
  c.resize(200, 100);
  c.SetBackColor(Qt::white);
  c.OnAfterDraw = [](TChart*, TChartCanvas& cv) {
    cv.SetBrushColor(Qt::green);
    cv.TextOut(40, 30, "Ag");
  };
  const QImage img = c.RenderImage();
  auto isGreen = [&](int x, int y) { return Is(img.pixel(x, y), qRgb(0, 255, 0)); };
  EXPECT_TRUE(isGreen(40, 30));
  EXPECT_FALSE(isGreen(39, 30));
  EXPECT_FALSE(isGreen(40, 29));
}

TEST_F(ChartRender, BitmapFileEqualsTheScreen) {
  QTemporaryDir dir;
  for (int width : {300, 301, 302, 303}) {  // every row padding
    TChart c;
    SetUpSpectrumChart(c);
    c.resize(width, 200);
    FillTraces(c, 1024, 22050, true);
    c.OnAfterDraw = [](TChart*, TChartCanvas& cv) {
      cv.MoveTo(0, 0);
      cv.LineTo(50, 50);
      cv.TextOut(5, 5, "after");
    };
    const QString path = dir.filePath(QString("chart%1.bmp").arg(width));
    QString error;
    ASSERT_TRUE(c.SaveChartBitmap(path, &error)) << error.toStdString();
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray b = f.readAll();
    auto u32 = [&](int at) {
      return quint32(quint8(b[at])) | quint32(quint8(b[at + 1])) << 8 |
             quint32(quint8(b[at + 2])) << 16 | quint32(quint8(b[at + 3])) << 24;
    };
    auto u16 = [&](int at) { return quint16(quint8(b[at]) | quint8(b[at + 1]) << 8); };
    const int row = (width * 3 + 3) / 4 * 4;
    ASSERT_EQ(b.size(), 54 + row * 200);
    EXPECT_EQ(b.left(2), "BM");
    EXPECT_EQ(u32(2), quint32(b.size()));
    EXPECT_EQ(u32(10), 54u);
    EXPECT_EQ(u32(14), 40u);
    EXPECT_EQ(u32(18), quint32(width));
    EXPECT_EQ(u32(22), 200u) << "positive height: bottom-up";
    EXPECT_EQ(u16(26), 1);
    EXPECT_EQ(u16(28), 24);
    EXPECT_EQ(u32(30), 0u) << "BI_RGB";

    c.show();
    const QImage screen = c.grab().toImage().convertToFormat(QImage::Format_RGB32);
    c.hide();
    ASSERT_EQ(screen.size(), QSize(width, 200));
    int differ = 0;
    for (int y = 0; y < 200; ++y)
      for (int x = 0; x < width; ++x) {
        const int at = 54 + (199 - y) * row + 3 * x;
        const QRgb file = qRgb(quint8(b[at + 2]), quint8(b[at + 1]), quint8(b[at]));
        differ += !Is(file, screen.pixel(x, y));
      }
    EXPECT_EQ(differ, 0) << "width " << width;
    // The after-draw is in the file.
    EXPECT_TRUE(Is(QImage(path).pixel(30, 30), clBlack));
  }
}

TEST_F(ChartRender, BitmapFailuresNameTheFileAndReportFalse) {
  TChart c;
  c.resize(100, 80);
  QString error;
  EXPECT_FALSE(c.SaveChartBitmap("/nonexistent-dir/sub/chart.bmp", &error));
  EXPECT_TRUE(error.contains("/nonexistent-dir/sub/chart.bmp")) << error.toStdString();
  error.clear();
  if (QFile::exists("/dev/full")) {
    EXPECT_FALSE(c.SaveChartBitmap("/dev/full", &error));
    EXPECT_TRUE(error.contains("/dev/full")) << error.toStdString();
    EXPECT_TRUE(QFile::exists("/dev/full"));
  }
  EXPECT_FALSE(WriteBitmap24(QImage(), "/tmp/never.bmp", &error));
  EXPECT_FALSE(QFile::exists("/tmp/never.bmp"));
}

// Compares the decimated traces with every segment drawn on its own.
int DifferingPixels(bool logAxis) {
  TChart fast, full;
  for (TChart* c : {&fast, &full}) {
    SetUpSpectrumChart(*c);
    c->BottomAxis().SetLogarithmic(false);
    c->BottomAxis().SetRange(logAxis ? 10 : 0, 22050);
    c->BottomAxis().SetLogarithmic(logAxis);
    c->BottomAxis().SetIncrement(logAxis ? 50000 : 2000);
    FillTraces(*c, 16384, 22050, logAxis);
  }
  const QImage a = fast.RenderImage();
  full.OnAfterDraw = [&](TChart* c, TChartCanvas& cv) {
    cv.Painter().fillRect(c->PlotRect(), Qt::white);  // wipe the decimated traces
    // Grid again under the traces, so only the traces can differ.
    QPainter& p = cv.Painter();
    const QImage bg = [&] {
      TChart empty;
      SetUpSpectrumChart(empty);
      empty.BottomAxis().SetLogarithmic(false);
      empty.BottomAxis().SetRange(logAxis ? 10 : 0, 22050);
      empty.BottomAxis().SetLogarithmic(logAxis);
      empty.BottomAxis().SetIncrement(logAxis ? 50000 : 2000);
      return empty.RenderImage();
    }();
    p.drawImage(c->PlotRect(), bg, c->PlotRect());
    DrawEverySegment(*c, p);
  };
  const QImage b = full.RenderImage();
  int differ = 0, coloured = 0;
  const QRect plot = fast.PlotRect();
  for (int y = plot.top(); y <= plot.bottom(); ++y)
    for (int x = plot.left(); x <= plot.right(); ++x) {
      differ += !Is(a.pixel(x, y), b.pixel(x, y));
      coloured += Is(b.pixel(x, y), clBlue) || Is(b.pixel(x, y), clRed);
    }
  EXPECT_GT(coloured, 5000) << "the traces were drawn";
  return differ;
}

TEST_F(ChartRender, DecimatedTracesEqualFullDrawing) {
  EXPECT_LE(DifferingPixels(false), 8);
  EXPECT_LE(DifferingPixels(true), 8);
}

// A paint puts the background back only where the last one drew: traces that move, a text
// that moves, a read-out that changes and goes, and a handler that paints through the painter
// itself, must all leave the picture a fresh chart paints of the last state.
TEST_F(ChartRender, RepaintsEqualAFreshPaintOfTheLastState) {
  for (const bool logAxis : {true, false}) {
    int step = 0;
    auto afterDraw = [&](TChart* c, TChartCanvas& cv) {
      cv.SetPenColor(QColor(128, 128, 128));
      cv.SetPenStyle(Qt::DotLine);
      cv.SetBrushStyle(bsClear);
      for (int x = 60; x < 700; x += 90) {
        cv.MoveTo(x, c->PlotRect().top());
        cv.LineTo(x, c->PlotRect().bottom() + 4 + step % 3);
      }
      cv.SetPenStyle(Qt::SolidLine);
      cv.MoveTo(700 - 40 * step, 30);
      cv.LineTo(100, 30 + 20 * step);
      cv.TextOut(100 + 70 * step, c->PlotRect().bottom() + 4, QStringLiteral("1000 Hz"));
      cv.SetBrushStyle(bsSolid);
      cv.TextOut(400, 60 + 25 * step, QStringLiteral("peak"));
      if (step == 2) cv.Painter().fillRect(QRect(300, 100, 120, 80), Qt::darkCyan);
    };
    auto setUp = [&](TChart& c) {
      SetUpSpectrumChart(c);
      c.BottomAxis().SetLogarithmic(false);
      c.BottomAxis().SetRange(logAxis ? 10 : 0, 22050);
      c.BottomAxis().SetLogarithmic(logAxis);
      c.OnAfterDraw = afterDraw;
    };
    auto fill = [&](TChart& c) {
      // Fewer points than columns on some steps: long segments across many columns.
      const int points = step % 2 ? 300 : 4096;
      for (int s = 0; s < c.SeriesCount(); ++s) {
        TChartSeries* ser = c.Series(s);
        ser->ClearPoints();
        for (int i = 0; i < points; ++i) {
          const double f = (i + 1) * 22050.0 / points;
          const double y = -30 - 12 * s - 25 * std::sin(0.01 * i * (step + 1) + s) +
                           (i % (97 + step) == 0 ? 28 : 0);
          ser->AddPoint(f, y, (i / 500 + step) % 2 ? clRed : clBlue);
        }
      }
      c.SetStateLine(step == 4 ? QString() : QStringLiteral("recording %1").arg(step * 1111));
    };
    TChart repainted;
    setUp(repainted);
    for (step = 0; step < 6; ++step) {
      fill(repainted);
      const QImage picture = repainted.RenderImage();
      TChart fresh;
      setUp(fresh);
      fill(fresh);
      const QImage expected = fresh.RenderImage();
      ASSERT_EQ(picture, expected) << "step " << step << (logAxis ? ", log axis" : "");
    }
  }
}

TEST_F(ChartRender, CrispAtPixelRatioTwoAndExportsStayLogical) {
  TChart c;
  SetUpSpectrumChart(c);
  c.BottomAxis().SetLogarithmic(false);
  c.BottomAxis().SetRange(0, 100);
  c.BottomAxis().SetIncrement(20);
  TChartSeries* s = c.Series(0);
  s->AddPoint(0, -50, clBlue);
  s->AddPoint(100, -50, clBlue);
  s->AddPoint(100, -20, clBlue);
  c.OnAfterDraw = [](TChart* ch, TChartCanvas& cv) {
    cv.SetPenColor(QColor(128, 128, 128));
    cv.SetPenStyle(Qt::DotLine);
    const int x = ch->BottomAxis().ValueToX(30);
    cv.MoveTo(x, 1);
    cv.LineTo(x, ch->PlotRect().bottom() + 4);
  };
  QImage hi(QSize(780, 435) * 2, QImage::Format_RGB32);
  hi.setDevicePixelRatio(2);
  {
    QPainter p(&hi);
    c.Draw(p);
  }
  const QRect plot = c.PlotRect();
  const QRect dev(plot.topLeft() * 2, plot.bottomRight() * 2 + QPoint(1, 1));
  // Only whole colours inside the plot: white, grid grey, trace blue; nothing blurred.
  const int blurred = CountPixels(hi, dev, [](QRgb v) {
    return !Is(v, clWhite) && !Is(v, qRgb(128, 128, 128)) && !Is(v, clBlue);
  });
  EXPECT_EQ(blurred, 0);
  // The trace is two device rows thick, as one logical pixel should be.
  const int y = c.LeftAxis().ValueToY(-50) * 2;
  const int x = c.BottomAxis().ValueToX(50) * 2;
  EXPECT_TRUE(Is(hi.pixel(x, y), clBlue));
  EXPECT_TRUE(Is(hi.pixel(x, y + 1), clBlue));
  EXPECT_FALSE(Is(hi.pixel(x, y - 1), clBlue));
  EXPECT_FALSE(Is(hi.pixel(x, y + 2), clBlue));
  // Dotted after-draw line: 2 x 2 device dots.
  const int gx = c.BottomAxis().ValueToX(30) * 2;
  EXPECT_TRUE(Is(hi.pixel(gx, 2), qRgb(128, 128, 128)));
  EXPECT_TRUE(Is(hi.pixel(gx + 1, 3), qRgb(128, 128, 128)));
  EXPECT_FALSE(Is(hi.pixel(gx, 4), qRgb(128, 128, 128)));

  // The exported picture keeps one pixel per logical pixel and equals a drawing at ratio 1.
  const QImage img = c.RenderImage();
  EXPECT_EQ(img.size(), QSize(780, 435));
  EXPECT_TRUE(Is(img.pixel(x / 2, y / 2), clBlue));
}

TEST_F(ChartRender, BothInstancesBuildAndDraw) {
  TChart main;
  SetUpSpectrumChart(main);
  EXPECT_EQ(main.SeriesCount(), 4);
  EXPECT_TRUE(main.BottomAxis().Logarithmic());
  EXPECT_EQ(main.BottomAxis().TitleCaption(), "Frequency [Hz]");
  EXPECT_EQ(main.LeftAxis().TitleCaption(), "Amplitude [dB]");
  FillTraces(main, 16384, 22050, true);
  const QImage m = main.RenderImage();
  EXPECT_GT(CountPixels(m, main.PlotRect(), [](QRgb v) { return Is(v, clBlue); }), 500);

  TChart scope;
  TChartSeries* s = SetUpScopeChart(scope);
  scope.BottomAxis().SetIncrement(0.5);
  scope.LeftAxis().SetIncrement(0.5);
  s->AddPoint(0, 0, clBlue);
  s->AddPoint(0.5, -0.5, clBlue);
  const QImage v = scope.RenderImage();
  const QRect plot = scope.PlotRect();
  const int x = scope.BottomAxis().ValueToX(0.5), y = scope.LeftAxis().ValueToY(-0.5);
  // A 1 x 1 cross: the point and its four neighbours.
  for (QPoint d : {QPoint(0, 0), QPoint(1, 0), QPoint(-1, 0), QPoint(0, 1), QPoint(0, -1)})
    EXPECT_TRUE(Is(v.pixel(x + d.x(), y + d.y()), clBlue)) << d.x() << "," << d.y();
  for (QPoint d : {QPoint(1, 1), QPoint(-1, -1), QPoint(2, 0), QPoint(0, 2)})
    EXPECT_FALSE(Is(v.pixel(x + d.x(), y + d.y()), clBlue)) << d.x() << "," << d.y();
  // No back wall: the plot shows the control's colour.
  EXPECT_TRUE(Is(v.pixel(plot.left() + 3, plot.top() + 3), scope.BackColor().rgb()));
  // The "Y" title is written horizontally left of the labels.
  EXPECT_GT(CountPixels(v, QRect(0, plot.center().y() - 10, 12, 20),
                        [](QRgb p) { return qGray(p) < 100; }),
            3);
}

}  // namespace

namespace {

TEST_F(ChartRender, OddDataDrawsWithoutHarm) {
  TChart c;
  SetUpSpectrumChart(c);
  TChartSeries* s = c.Series(0);
  // Not finite, far off the axes, non-positive on the log axis, and descending x.
  const double odd[][2] = {{100, -50},    {200, NAN},  {300, INFINITY}, {NAN, -40},
                           {400, -1e300}, {-5, -30},   {0, -20},        {1e300, -60},
                           {5000, -10},   {2000, -70}, {1000, -30}};
  for (const auto& p : odd)
    s->AddPoint(p[0], p[1], clBlue);
  const QImage img = c.RenderImage();
  EXPECT_GT(CountPixels(img, c.PlotRect(), [](QRgb v) { return Is(v, clBlue); }), 10);
  EXPECT_EQ(CountPixels(img, QRect(0, 0, img.width(), c.PlotRect().top()),
                        [](QRgb v) { return Is(v, clBlue); }),
            0);

  // Descending x covers the same pixels as ascending x.
  TChart up, down;
  for (TChart* ch : {&up, &down})
    SetUpSpectrumChart(*ch);
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> y(-90, -10);
  std::vector<std::pair<double, double>> pts;
  for (int i = 0; i < 3000; ++i)
    pts.emplace_back(10 + i * 7.0, y(rng));
  for (const auto& p : pts)
    up.Series(0)->AddPoint(p.first, p.second, clBlue);
  for (auto it = pts.rbegin(); it != pts.rend(); ++it)
    down.Series(0)->AddPoint(it->first, it->second, clBlue);
  const QImage a = up.RenderImage(), b = down.RenderImage();
  int differ = 0;
  for (int yy = 0; yy < a.height(); ++yy)
    for (int x = 0; x < a.width(); ++x)
      differ += a.pixel(x, yy) != b.pixel(x, yy);
  EXPECT_LE(differ, 8);
}

}  // namespace

namespace {

// Run by CTest a second time under QT_SCALE_FACTOR=2 (see CMakeLists.txt); skipped otherwise.
TEST(ChartScale2, ScreenIsCrispAndExportsKeepTheLogicalSize) {
  TChart c;
  SetUpSpectrumChart(c);
  c.show();
  if (c.devicePixelRatioF() != 2.0) GTEST_SKIP() << "needs QT_SCALE_FACTOR=2";
  c.BottomAxis().SetLogarithmic(false);
  c.BottomAxis().SetRange(0, 100);
  c.BottomAxis().SetIncrement(20);
  c.Series(0)->AddPoint(0, -50, clBlue);
  c.Series(0)->AddPoint(100, -50, clBlue);
  const QImage screen = c.grab().toImage().convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(screen.size(), QSize(1560, 870));
  const QRect plot = c.PlotRect();
  const QRect dev(plot.topLeft() * 2, plot.bottomRight() * 2 + QPoint(1, 1));
  EXPECT_EQ(CountPixels(screen, dev,
                        [](QRgb v) {
                          return !Is(v, clWhite) && !Is(v, qRgb(128, 128, 128)) && !Is(v, clBlue);
                        }),
            0);
  const int y = c.LeftAxis().ValueToY(-50) * 2, x = c.BottomAxis().ValueToX(50) * 2;
  EXPECT_TRUE(Is(screen.pixel(x, y), clBlue));
  EXPECT_TRUE(Is(screen.pixel(x, y + 1), clBlue));
  EXPECT_FALSE(Is(screen.pixel(x, y + 2), clBlue));

  EXPECT_EQ(c.RenderImage().size(), QSize(780, 435));
  QTemporaryDir dir;
  const QString path = dir.filePath("scale2.bmp");
  ASSERT_TRUE(c.SaveChartBitmap(path));
  EXPECT_EQ(QImage(path).size(), QSize(780, 435));
}

}  // namespace

namespace {

TEST(ChartCanvasPaths, DirectAndPainterLinesAreTheSamePixels) {
  QImage pictures[2];
  for (int clipped = 0; clipped < 2; ++clipped) {
    TChart c;
    c.resize(200, 150);
    c.OnAfterDraw = [&](TChart* ch, TChartCanvas& cv) {
      // A clip set by the handler sends the lines through the painter.
      if (clipped) cv.Painter().setClipRect(ch->rect());
      cv.SetPenColor(Qt::red);
      cv.MoveTo(-5, 3);
      cv.LineTo(190, 77);
      cv.SetPenStyle(Qt::DotLine);
      cv.LineTo(20, 140);
      cv.LineTo(20, 400);
      // Grid lines in every direction, dotted and solid, partly off the image.
      cv.MoveTo(195, 60);
      cv.LineTo(-10, 60);
      cv.SetPenStyle(Qt::SolidLine);
      cv.LineTo(-10, 90);
      cv.MoveTo(150, 148);
      cv.LineTo(150, 10);
      cv.LineTo(260, 10);
    };
    pictures[clipped] = c.RenderImage();
  }
  EXPECT_EQ(pictures[0], pictures[1]);
  EXPECT_GT(CountPixels(pictures[0], pictures[0].rect(), [](QRgb v) { return Is(v, clRed); }), 200);
}

}  // namespace

// Internals shared by the chart's source files: the value-to-pixel scale, label placement and
// the layout of the control.
#pragma once

#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QLine>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QRegion>
#include <QSize>
#include <QString>
#include <algorithm>
#include <cstdlib>
#include <utility>
#include <vector>

#include "Chart.h"

namespace chart_detail {

// Maps values of one axis to pixels: start + round(span * fraction), as ValueToX/ValueToY.
struct Scale {
  double start = 0.0;
  double span = 1.0;
  double lo = 0.0;
  double hi = 1.0;
  double l0 = 0.0;  // ln of the limits, a non-positive limit counting as 0
  double l1 = 0.0;
  bool log = false;

  static Scale Of(const TChartAxis& axis, double start, double span);
  int Pos(double v) const;
  double Value(double pixel) const;
  // Smallest value whose pixel lies beyond `pixel` (approximately; callers keep a guard band).
  double Boundary(int pixel) const;
};

// Delphi-style number pattern: '0' digit, '#' optional digit, '.' decimals, ',' grouping;
// anything else is literal text around the number. Empty: general format.
QString FormatValue(double v, const QString& pattern);
// The next value of 1, 2, 5, 10, 20, 50 ... strictly above step, and the first one at or above x.
double NextNiceStep(double step);
double NiceStepAtLeast(double x);

struct AxisLabels {
  std::vector<double> values;  // from the maximum downwards
  std::vector<int> pos;        // pixel column or row of each value
  std::vector<QString> texts;
  int maxWidth = 0;
};

// Places labels at the multiples of the step inside the range, widening the step through the
// 1-2-5 sequence while LabelsSeparation asks for more room than they have.
AxisLabels ComputeLabels(const TChartAxis& axis, const Scale& scale, int lengthPx,
                         const QFontMetrics& fm);

struct Layout {
  QSize size;
  QRect plot;  // inclusive pixel extent of the plot area
  Scale bottomScale, leftScale;
  AxisLabels bottom, left;
  int labelTop = 0;      // first row of the bottom labels
  int labelRight = 0;    // last column of the left labels
  int bottomTitleY = 0;  // top of the bottom title
  int leftTitleX = 0;    // left edge of the left title
  int chartTitleY = 0;
  QRect stateLine;  // empty without a read-out
  QRect legend;
};

QFont LabelFont();
QFont TitleFont();
QFont ChartTitleFont();
// Font pixel size of a point size at 96 dots per inch.
int PointsToPixels(int points);

// Pixels of a straight line from (x0, y0) to (x1, y1) as the classic line-to steps them,
// without the end pixel. Appended as runs of 1-pixel-thick rectangles.
void LineRects(int x0, int y0, int x1, int y1, bool dotted, std::vector<QRect>& out);

// A horizontal or vertical line of the after-draw written straight into the pixels (at a pixel
// ratio of 1): the pixels from `from` towards `to`, without `to`, every other one when dotted.
struct GridLine {
  QPoint from, to;
  bool dotted;
  QRgb colour = 0;
  bool operator==(const GridLine&) const = default;
  // Calls f(x, y) for each of its pixels inside w x h.
  template <class F>
  void ForEachPixel(int w, int h, F&& f) const {
    const int n = std::max(std::abs(to.x() - from.x()), std::abs(to.y() - from.y()));
    const int sx = (to.x() > from.x()) - (to.x() < from.x());
    const int sy = (to.y() > from.y()) - (to.y() < from.y());
    for (int i = 0; i < n; i += dotted ? 2 : 1) {
      const int x = from.x() + i * sx, y = from.y() + i * sy;
      if (x >= 0 && x < w && y >= 0 && y < h) f(x, y);
    }
  }
};

// One drawing of the after-draw other than a grid line: the logical rectangle it may have
// touched and everything its pixels depend on. The same drawing at the same place in the next
// frame leaves the same pixels wherever the traces under it did not change.
struct CanvasMark {
  QRect rect;
  QPoint from, to;  // line ends; a text's position in `from`
  QRgb pen = 0, brush = 0;
  int width = 0, style = 0;  // pen width and style; for texts the brush style
  QString text, font;
  bool operator==(const CanvasMark&) const = default;
};

// What the last paint drew over the background in the frame: per device column the rows of
// the traces (first > last: none), device rectangles of the read-out, and the after-draw's
// drawings (at the pixel ratio dpr) and grid lines. The next paint puts back only those pixels
// instead of the whole background; `all` asks for the whole. The previous frame's record is
// kept beside it: between the two lie all pixels a frame changed.
struct FrameDamage {
  bool all = true;
  qreal dpr = 1.0;
  std::vector<int> first, last;
  std::vector<QRect> rects;
  std::vector<CanvasMark> canvas;
  std::vector<GridLine> lines;
  QString state;                            // the read-out as drawn
  std::vector<std::pair<int, int>> groups;  // reused: rows of each group of columns
  bool prevAll = true;
  std::vector<int> prevFirst, prevLast;
  std::vector<CanvasMark> prevCanvas;
  std::vector<GridLine> prevLines;
  std::vector<QRect> prevRects;
  QString prevState;
};

// Logical rectangles covering the device pixels that differ between the frame the damage's
// previous record describes and the one its current record describes, in at most a few
// rectangles per run of columns (w x h device pixels, at the pixel ratio dpr).
QRegion ChangedRegion(const FrameDamage& damage, int w, int h, qreal dpr);

}  // namespace chart_detail

struct TChart::Impl {
  bool layoutValid = false;
  chart_detail::Layout layout;
  QImage background;  // at the pixel ratio it was drawn for
  bool backgroundValid = false;
  QImage frame;  // background plus traces, handed to the painter in one piece
  chart_detail::FrameDamage damage;
  bool repaintAsked = false;  // data changed since the frame was last drawn
  // The screen's part: the frame drawn for the window's coming paint, which then only needs
  // the changed pixels (`expected`); changes the screen has not been asked to show yet.
  bool fresh = false;
  QRegion expected;
  QRegion unshown;
  QPointer<QWidget> watched;  // the window whose update requests draw the frame

  // Reused buffers of the series drawing.
  struct Run {
    size_t lines, rects;  // first segment and first column span of a run of one colour
    QRgb colour;
  };
  std::vector<Run> runs;
  std::vector<QLine> lines;
  std::vector<QRect> rects;

  // Mouse state.
  enum class Drag { None, Zoom, Pan, Menu } drag = Drag::None;
  // A right press that has not moved further than a click may: it opens the menu on release.
  bool menuClick = false;
  QPoint pressPos, currentPos;
  double panB0 = 0, panB1 = 0, panL0 = 0, panL1 = 0;
  bool zoomed = false;
  double savedB0 = 0, savedB1 = 0, savedL0 = 0, savedL1 = 0;
  // The ranges the last zoom or pan left. Different ranges now mean that the program has
  // rescaled the axes since: the saved ranges are then out of date and are forgotten.
  double leftB0 = 0, leftB1 = 0, leftL0 = 0, leftL1 = 0;
};

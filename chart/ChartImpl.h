// Internals shared by the chart's source files: the value-to-pixel scale, label placement and
// the layout of the control.
#pragma once

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QLine>
#include <QPainter>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QRegion>
#include <QSize>
#include <QString>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>
#include <vector>

#include "Chart.h"

namespace chart_detail {

// Maps values of one axis to pixels: start + round(span * fraction), as ValueToX/ValueToY.
// Products are kept within int range: a value far off the axis still lands far off the plot.
constexpr double kPixelLimit = 1e9;

// std::lround for |x| <= kPixelLimit without the library call: x - trunc(x) is exact there.
inline int RoundHalfAway(double x) {
  int t = static_cast<int>(x);
  const double f = x - t;
  if (f >= 0.5) ++t;
  if (f <= -0.5) --t;
  return t;
}

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
  bool operator==(const Scale&) const = default;
};

// Inline: the traces' layout maps every column and row through it.
inline int Scale::Pos(double v) const {
  double product;
  if (log) {
    if (!(v > 0)) return static_cast<int>(start);
    product = span * (std::log(v) - l0) / (l1 - l0);
  } else {
    product = span * (v - lo) / (hi - lo);
  }
  if (std::isnan(product)) return static_cast<int>(start);
  product = std::clamp(product, -kPixelLimit, kPixelLimit);
  return static_cast<int>(start) + RoundHalfAway(product);
}

// Per pixel column of a horizontal scale, values sure to lie in it: [low, high), kept a band
// well above rounding error from the boundaries the formula rounds at. Depends on the scale
// only, so it is worked out again only when the scale changes.
struct ColumnBands {
  Scale scale;
  bool known = false;             // worked out for `scale`
  int first = 0;                  // the column of low[0], high[0]
  std::vector<double> low, high;  // none unless the scale increases
  void Update(const Scale& s);
  // Whether x lies in the band of `column` (a NaN never does).
  bool Holds(int column, double x) const {
    const size_t k = static_cast<size_t>(column - first);
    return k < low.size() && x >= low[k] && x < high[k];
  }
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

// One drawing of the after-draw, recorded before anything is drawn and drawn from the record:
// the logical rectangle its pixels stay in and everything they depend on. The same drawing at
// the same place in the sequence of the next frame leaves the same pixels wherever what lies
// under it did not change.
struct CanvasMark {
  // A one-pixel line along a row or column (at a pixel ratio of 1 written pixel by pixel, and
  // then put back pixel by pixel), any other one-pixel line, a wider line, a text.
  enum Kind { Straight, Line, WideLine, Text };
  Kind kind = Line;
  QRect rect;
  QPoint from, to;  // line ends; a text's position in `from`
  QRgb pen = 0, brush = 0;
  int width = 0, style = 0;  // pen width (texts: font pixels) and pen style (texts: brush style)
  QString text;
  bool operator==(const CanvasMark&) const = default;
};

// Draws a recorded drawing as the canvas draws it. `direct`: the painter's image, whose pixels
// may be written straight (identity transform, no clip). With `top` and `bottom` (per device
// column, first > last: none) a Straight line at pixel ratio 1 writes only the pixels inside
// those rows; everything else is drawn whole.
void DrawMark(QPainter& p, QImage* direct, const CanvasMark& m, const int* top = nullptr,
              const int* bottom = nullptr);
// Whether DrawMark with these arguments draws through the painter at all.
inline bool DrawnThroughPainter(const CanvasMark& m, const QImage* direct) {
  return !direct || m.kind == CanvasMark::WideLine || m.kind == CanvasMark::Text;
}

// What a frame holds besides the background: per device column the rows the traces may have
// drawn (first > last: none), the after-draw's drawings in order and the read-out (device
// rectangle). The record of the frame before stays beside it: the next frame puts the
// background back where either may have drawn, and redraws there.
struct FrameRecord {
  bool all = true;         // the next frame is drawn whole
  bool untracked = false;  // the after-draw drew through the painter itself
  qreal dpr = 1.0;
  std::vector<int> first, last, prevFirst, prevLast;
  std::vector<CanvasMark> canvas, prevCanvas;
  QString state, prevState;
  QRect stateRect, prevStateRect;
  // Reused: the rows put back per column, and which drawings are drawn again.
  std::vector<int> top, bottom;
  // Reused: the rows per column whose pixels may differ from the last frame's. Less than what
  // is put back: a drawing put back and drawn again over what it was drawn over before comes
  // out as it was.
  std::vector<int> changedTop, changedBottom;
  std::vector<char> redraw;
};

// The device pixels covering a logical rectangle, with `grow` device pixels more on each side.
QRect DeviceRect(const QRect& r, qreal dpr, int grow);
// a & b for rectangles with left <= right + 1 and top <= bottom + 1, inline.
inline QRect Overlap(const QRect& a, const QRect& b) {
  return QRect(QPoint(std::max(a.left(), b.left()), std::max(a.top(), b.top())),
               QPoint(std::min(a.right(), b.right()), std::min(a.bottom(), b.bottom())));
}
// Whether any row first[x]..last[x] of the columns of a device rectangle meets it.
bool Meets(const std::vector<int>& first, const std::vector<int>& last, const QRect& r);
// Widens the rows of the columns of a device rectangle to cover it.
void Cover(std::vector<int>& first, std::vector<int>& last, const QRect& r);

// Logical rectangles covering the device rows first[x]..last[x] of each column (w x h device
// pixels at the pixel ratio dpr), in a few rectangles per run of columns.
QRegion ColumnsRegion(const std::vector<int>& first, const std::vector<int>& last, int w, int h,
                      qreal dpr);

// The control's layout: ticks, gaps and the menu button, in pixels.
constexpr int kTick = 4;
constexpr int kMinorTick = 2;
constexpr int kLabelGap = 2;
constexpr int kTitleGap = 4;
constexpr int kMenuButton = 15;  // side of the menu button
constexpr int kMenuButtonInset = 2;
inline const QColor kGridColour{128, 128, 128};

}  // namespace chart_detail

struct TChart::Impl {
  bool layoutValid = false;
  chart_detail::Layout layout;
  QImage background;  // at the pixel ratio it was drawn for
  bool backgroundValid = false;
  QImage frame;  // background plus traces, handed to the painter in one piece
  // On the frame, begun only when something is drawn through it.
  QPainter framePainter;
  QPainter& FramePainter() {
    if (!framePainter.isActive()) {
      framePainter.begin(&frame);
      framePainter.setRenderHint(QPainter::Antialiasing, false);
    }
    return framePainter;
  }
  chart_detail::FrameRecord record;
  bool repaintAsked = false;  // data changed since the frame was last drawn
  // The screen's part: the frame drawn for the window's coming paint, which then only needs
  // the changed pixels (`expected`); changes the screen has not been asked to show yet.
  bool fresh = false;
  QRegion expected;
  QRegion unshown;
  QPointer<QWidget> watched;  // the window whose update requests draw the frame

  // Reused buffers of the series drawing.
  // The traces are laid out before the frame is put back, as only then is known where they
  // draw, and drawn after it.
  struct Run {
    size_t lines, fills;  // first segment and first fill of a run of one pen colour
    QRgb colour;
  };
  struct Fill {
    QRect device;
    QRgb colour;
  };
  std::vector<Run> runs;
  std::vector<QLine> lines;
  std::vector<Fill> fills;
  chart_detail::ColumnBands bands;  // of the bottom axis

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

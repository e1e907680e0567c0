// Series: their points, and the traces' layout and drawing, one segment and one column fill per
// run of points in one pixel column.
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "ChartImpl.h"

using namespace chart_detail;

TChartSeries::TChartSeries(TChart* owner, TSeriesKind kind, const QString& title)
    : owner_(owner), kind_(kind), title_(title) {}

void TChartSeries::ClearPoints() {
  x_.clear();
  y_.clear();
  colours_.clear();
  owner_->InvalidateData();
}

void TChartSeries::AddPoint(double x, double y, QRgb colour) {
  x_.push_back(x);
  y_.push_back(y);
  colours_.push_back(colour);
  owner_->InvalidateData();
}

void TChartSeries::AddPoints(const double* x, const double* y, int count, QRgb colour) {
  if (count <= 0) return;
  x_.insert(x_.end(), x, x + count);
  y_.insert(y_.end(), y, y + count);
  colours_.insert(colours_.end(), static_cast<size_t>(count), colour);
  owner_->InvalidateData();
}

void TChartSeries::Repaint() {
  owner_->InvalidateData();
}

void TChartSeries::SetSeriesColor(const QColor& c) {
  seriesColor_ = c;
  owner_->InvalidateLayout();  // the legend shows it
}
void TChartSeries::SetPointerVisible(bool v) {
  pointerVisible_ = v;
  owner_->InvalidateData();
}
void TChartSeries::SetPointerStyle(TPointerStyle s) {
  pointerStyle_ = s;
  owner_->InvalidateData();
}
void TChartSeries::SetPointerSize(int h, int v) {
  pointerHoriz_ = std::max(0, h);
  pointerVert_ = std::max(0, v);
  owner_->InvalidateData();
}
void TChartSeries::SetPointerBrushColor(const QColor& c) {
  pointerBrush_ = c;
  owner_->InvalidateData();
}
void TChartSeries::SetVisible(bool v) {
  visible_ = v;
  owner_->InvalidateData();
}

namespace {

// Pixel coordinates handed to the painter stay in a range its rasteriser handles.
int ClampCoord(int v) {
  return std::clamp(v, -(1 << 20), 1 << 20);
}

// Fast column lookup for ascending x: the exact formula is only evaluated near a column boundary.
class ColumnWalker {
 public:
  ColumnWalker(const Scale& s, const ColumnBands& bands) : s_(s), bands_(bands) {}
  int Column(double x) {
    if (x >= from_ && x < guard_) return col_;
    // Ascending values mostly step into the next column, which its band tells without the
    // formula's logarithm and exponential.
    if (bands_.Holds(col_ + 1, x)) return Enter(col_ + 1);
    col_ = s_.Pos(x);
    if (bands_.Holds(col_, x)) return Enter(col_);
    from_ = x;
    guard_ = -INFINITY;
    if (s_.span > 0 && std::isfinite(x) && !(s_.log && !(x > 0))) {
      const double b = s_.Boundary(col_);
      // A band well above rounding error, below which no value can reach the next column.
      const double g = s_.log ? b * (1 - 1e-9) : b - (s_.hi - s_.lo) * 1e-9;
      if (g > x) guard_ = g;
    }
    return col_;
  }
  // Values in [From(), Guard()) lie in the column last returned.
  double From() const { return from_; }
  double Guard() const { return guard_; }

 private:
  int Enter(int column) {
    const size_t k = static_cast<size_t>(column - bands_.first);
    col_ = column;
    from_ = bands_.low[k];
    guard_ = bands_.high[k];
    return col_;
  }

  const Scale& s_;
  const ColumnBands& bands_;
  double from_ = INFINITY, guard_ = -INFINITY;
  int col_ = 0;
};

// From point j on, while the points lie in [from, guard) and have colour c: lo and hi widened to
// their values as std::min and std::max one by one would (a NaN is passed over, a NaN already
// in lo or hi stays). Returns the first point that does not.
size_t ScanColumn(const double* xs, const double* ys, const QRgb* cs, size_t j, size_t n,
                  double from, double guard, QRgb c, double& lo, double& hi) {
  for (; j < n && xs[j] >= from && xs[j] < guard && cs[j] == c; ++j) {
    lo = std::min(lo, ys[j]);
    hi = std::max(hi, ys[j]);
  }
  return j;
}

// The device pixels of a logical rectangle inside `clip`, on an image of w x h device pixels at
// the pixel ratio dpr; empty when none.
QRect FillRect(const QRect& r, const QRect& clip, qreal dpr, const QRect& device) {
  // The traces' column fills: rectangles in order, the plot and the image too, whose overlap is
  // the plain one (Qt's also puts rectangles of negative size in order).
  if (dpr == 1.0 && r.left() <= r.right() && r.top() <= r.bottom() && clip.left() <= clip.right() &&
      clip.top() <= clip.bottom()) {
    const QRect c = Overlap(Overlap(r, clip), device);
    return c.isEmpty() ? QRect() : c;
  }
  const QRect c = r.intersected(clip);
  if (c.isEmpty()) return QRect();
  QRect d = c;
  if (dpr != 1.0) {
    const int x0 = static_cast<int>(std::lround(c.left() * dpr));
    const int y0 = static_cast<int>(std::lround(c.top() * dpr));
    d = QRect(QPoint(x0, y0), QPoint(static_cast<int>(std::lround((c.right() + 1) * dpr)) - 1,
                                     static_cast<int>(std::lround((c.bottom() + 1) * dpr)) - 1));
  }
  return d & device;
}

// Sets the device pixels of r (none when empty) to colour.
void FillPixels(QRgb* bits, qsizetype stride, const QRect& r, QRgb colour) {
  if (r.isEmpty()) return;
  QRgb* row = bits + r.top() * stride;
  // Most fills are a trace's column: one pixel a row, without a fill's set-up per row.
  if (r.width() == 1) {
    row += r.left();
    for (int y = r.top(); y <= r.bottom(); ++y, row += stride)
      *row = colour;
    return;
  }
  for (int y = r.top(); y <= r.bottom(); ++y, row += stride)
    std::fill(row + r.left(), row + r.right() + 1, colour);
}

}  // namespace

namespace chart_detail {

void ColumnBands::Update(const Scale& s) {
  if (known && s == scale) return;
  known = true;
  scale = s;
  low.clear();
  high.clear();
  // Columns of the plot only; the pixels far off it are rare and take the formula.
  if (!(s.span > 0 && s.span < 1e5 && s.hi > s.lo && std::isfinite(s.lo) && std::isfinite(s.hi) &&
        (!s.log || s.lo > 0)))
    return;
  first = static_cast<int>(s.start);
  const int count = static_cast<int>(s.span) + 1;
  const double margin = (s.hi - s.lo) * 1e-9;
  // As the walker's guard below a boundary, and the same band above the one before.
  double below = s.Boundary(first - 1);
  for (int c = first; c < first + count; ++c) {
    const double above = s.Boundary(c);
    double lo = s.log ? below * (1 + 1e-9) : below + margin;
    double hi = s.log ? above * (1 - 1e-9) : above - margin;
    if (!(lo < hi) || !std::isfinite(lo) || !std::isfinite(hi)) {
      lo = INFINITY;
      hi = -INFINITY;
    }
    low.push_back(lo);
    high.push_back(hi);
    below = above;
  }
}

}  // namespace chart_detail

void TChart::LayOutSeries(qreal dpr) {
  Impl& d = *impl_;
  const Layout& L = d.layout;
  const Scale& sx = L.bottomScale;
  const Scale& sy = L.leftScale;
  FrameRecord& record = d.record;
  const QRect device(0, 0, d.frame.width(), d.frame.height());
  const QRect plotDevice = DeviceRect(L.plot, dpr, 0) & device;
  auto& lines = d.lines;
  auto& fills = d.fills;
  auto& runs = d.runs;
  lines.clear();
  fills.clear();
  runs.clear();
  const int passes = std::max(1, static_cast<int>(std::lround(dpr)));
  d.bands.Update(sx);
  // A pen's cap and the extra passes reach less than this far past a segment's ends.
  const QRect outside = L.plot.adjusted(-3, -3, 3 + passes, 3 + passes);
  const auto fill = [&](const QRect& r, QRgb colour) {
    const QRect f = FillRect(r, L.plot, dpr, device);
    if (f.isEmpty()) return;
    fills.push_back({f, colour});
    Cover(record.first, record.last, f);
  };
  for (const auto& sp : series_) {
    const TChartSeries& s = *sp;
    if (!s.Visible() || s.PointCount() == 0) continue;
    const double* xs = s.XValues().data();
    const double* ys = s.YValues().data();
    const QRgb* cs = s.Colours().data();
    const size_t n = s.XValues().size();
    // Each series starts a run of its own: its segments go over the earlier series' fills.
    const size_t firstRun = runs.size();

    if (s.Kind() == TSeriesKind::Line) {
      // One group per run of points in the same pixel column with the same colour. Its segments
      // cover the column from its lowest to its highest pixel: one rectangle, plus the segment
      // from the previous group's last point to its first.
      ColumnWalker walker(sx, d.bands);
      QPoint prevLast;
      bool havePrev = false;
      size_t i = 0;
      while (i < n) {
        const int col = walker.Column(xs[i]);
        const QRgb c = cs[i];
        const double first = ys[i];
        double lo = first, hi = first, last = first;
        size_t j = i + 1;
        for (;;) {
          // The common case, points well inside the column, without the formula.
          const double from = walker.From(), guard = walker.Guard();
          j = ScanColumn(xs, ys, cs, j, n, from, guard, c, lo, hi);
          if (j < n && cs[j] == c && walker.Column(xs[j]) == col) {
            lo = std::min(lo, ys[j]);
            hi = std::max(hi, ys[j]);
            ++j;
            continue;
          }
          break;
        }
        last = ys[j - 1];
        if (runs.size() == firstRun || runs.back().colour != c)
          runs.push_back({lines.size(), fills.size(), c});
        const int cx = ClampCoord(col);
        const QPoint firstPt(cx, ClampCoord(sy.Pos(first)));
        // Segments wholly beyond one edge of the plot leave no pixel in it (the clip): a
        // spectrum's floor is often far below.
        if (havePrev && prevLast != firstPt &&
            !(std::min(prevLast.y(), firstPt.y()) > outside.bottom() ||
              std::max(prevLast.y(), firstPt.y()) < outside.top() ||
              std::min(prevLast.x(), firstPt.x()) > outside.right() ||
              std::max(prevLast.x(), firstPt.x()) < outside.left())) {
          lines.emplace_back(prevLast, firstPt);
          // A cosmetic pen reaches half a pixel past each end, and each pass one pixel on.
          const QRect reach = DeviceRect(
              QRect(
                  QPoint(std::min(prevLast.x(), firstPt.x()), std::min(prevLast.y(), firstPt.y())),
                  QPoint(std::max(prevLast.x(), firstPt.x()), std::max(prevLast.y(), firstPt.y()))),
              dpr, 1 + passes);
          Cover(record.first, record.last, Overlap(reach, plotDevice));
        }
        if (j - i > 1) {
          // A lower value is a lower row on the screen.
          const int top = ClampCoord(sy.Pos(hi)), bottom = ClampCoord(sy.Pos(lo));
          if (top != bottom)
            fill(QRect(QPoint(cx, std::min(top, bottom)), QPoint(cx, std::max(top, bottom))),
                 c | 0xff000000u);
          prevLast = QPoint(cx, ClampCoord(sy.Pos(last)));
        } else {
          prevLast = firstPt;
        }
        havePrev = true;
        i = j;
      }
    }

    if (s.PointerVisible()) {
      runs.push_back({lines.size(), fills.size(), 0});
      const int h = s.PointerHorizSize(), vs = s.PointerVertSize();
      for (size_t i = 0; i < n; ++i) {
        const int x = sx.Pos(xs[i]), y = sy.Pos(ys[i]);
        if (x < L.plot.left() - h || x > L.plot.right() + h || y < L.plot.top() - vs ||
            y > L.plot.bottom() + vs)
          continue;
        const QRgb c = cs[i] | 0xff000000u;
        if (s.PointerStyle() == TPointerStyle::Cross) {
          fill(QRect(x - h, y, 2 * h + 1, 1), c);
          fill(QRect(x, y - vs, 1, 2 * vs + 1), c);
        } else {
          fill(QRect(x - h, y - vs, 2 * h + 1, 2 * vs + 1), c);
        }
      }
    }
  }
}

void TChart::DrawSeries(QPainter* p, QImage& target, qreal dpr) {
  Impl& d = *impl_;
  const auto& lines = d.lines;
  const auto& fills = d.fills;
  const auto& runs = d.runs;
  QRgb* bits = reinterpret_cast<QRgb*>(target.bits());
  const qsizetype stride = target.bytesPerLine() / 4;
  // Thin pens take the rasteriser's fast path; at a higher pixel ratio the segments are drawn
  // once more per extra device pixel of their logical width, which keeps them crisp. Separate
  // segments rasterise exactly as segments drawn on their own; a polyline's joins do not.
  const int passes = std::max(1, static_cast<int>(std::lround(dpr)));
  if (runs.empty()) return;
  QPainter& lp = p ? *p : d.FramePainter();
  lp.save();
  if (!p) lp.setClipRect(d.layout.plot);
  lp.setBrush(Qt::NoBrush);
  for (size_t r = 0; r < runs.size(); ++r) {
    const Impl::Run& run = runs[r];
    const size_t lineEnd = r + 1 < runs.size() ? runs[r + 1].lines : lines.size();
    const size_t fillEnd = r + 1 < runs.size() ? runs[r + 1].fills : fills.size();
    const int count = static_cast<int>(lineEnd - run.lines);
    if (count > 0) {
      QPen pen(QColor::fromRgb(run.colour), 1);
      pen.setCosmetic(true);
      pen.setCapStyle(Qt::SquareCap);
      lp.setPen(pen);
      // Diagonal offsets thicken steep and flat segments alike.
      for (int k = 0; k < passes; ++k) {
        if (k > 0) {
          lp.save();
          lp.translate(k / dpr, k / dpr);
        }
        lp.drawLines(lines.data() + run.lines, count);
        if (k > 0) lp.restore();
      }
    }
    // The column fills go into the pixels: a painter fills a one-pixel-wide column row by row,
    // several times slower.
    for (size_t k = run.fills; k < fillEnd; ++k)
      FillPixels(bits, stride, fills[k].device, fills[k].colour);
  }
  lp.restore();
}

void TChart::UpdateAutomaticRanges() {
  auto apply = [this](TChartAxis& a, bool horizontal) {
    const bool autoMin = a.Automatic() || a.AutomaticMinimum();
    const bool autoMax = a.Automatic() || a.AutomaticMaximum();
    if (!autoMin && !autoMax) return;
    double lo = INFINITY, hi = -INFINITY;
    for (const auto& s : series_) {
      if (!s->Visible()) continue;
      for (double v : horizontal ? s->XValues() : s->YValues())
        if (std::isfinite(v)) {
          lo = std::min(lo, v);
          hi = std::max(hi, v);
        }
    }
    if (!(lo <= hi)) return;
    double newLo = autoMin ? lo : a.minimum_, newHi = autoMax ? hi : a.maximum_;
    if (newHi - newLo < 1e-10) newHi = newLo + 1e-10;
    if (newLo != a.minimum_ || newHi != a.maximum_) {
      a.minimum_ = newLo;
      a.maximum_ = newHi;
      impl_->layoutValid = false;
    }
  };
  apply(*bottom_, true);
  apply(*left_, false);
}

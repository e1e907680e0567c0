// The chart control: layout, cached background, decimated series drawing, after-draw, mouse.
#include "Chart.h"

#include <QActionEvent>
#include <QApplication>
#include <QBackingStore>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QToolButton>
#include <QWindow>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "ChartImpl.h"

using namespace chart_detail;

namespace {

// Posted once per frame where the chart shows its frame itself (PutChanges).
const QEvent::Type kShowChangesEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// Only X11's backing store is a plain image that is put to the window on flush; elsewhere the
// window's own repaint shows every frame.
bool DirectPutsAllowed() {
  static const bool allowed = QGuiApplication::platformName() == QLatin1String("xcb");
  return allowed;
}

constexpr int kTick = 4;
constexpr int kMinorTick = 2;
constexpr int kLabelGap = 2;
constexpr int kTitleGap = 4;
constexpr int kZoomThreshold = 16;
const QColor kGridColour(128, 128, 128);
constexpr int kMenuButton = 15;  // side of the menu button, in pixels
constexpr int kMenuButtonInset = 2;

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
// in lo or hi stays). Returns the first point that does not. Four points at a time in vectors:
// per point the scan was most of the traces' layout.
size_t ScanColumn(const double* xs, const double* ys, const QRgb* cs, size_t j, size_t n,
                  double from, double guard, QRgb c, double& lo, double& hi) {
#if defined(__SSE2__)
  if (j + 4 <= n) {
    const __m128d f = _mm_set1_pd(from), g = _mm_set1_pd(guard);
    const __m128i colour = _mm_set1_epi32(static_cast<int>(c));
    // min(y, l) is y < l ? y : l, as std::min(l, y); max(y, h) is y > h ? y : h.
    __m128d l0 = _mm_set1_pd(lo), l1 = l0, h0 = _mm_set1_pd(hi), h1 = h0;
    for (; j + 4 <= n; j += 4) {
      const __m128d x0 = _mm_loadu_pd(xs + j), x1 = _mm_loadu_pd(xs + j + 2);
      const __m128d in = _mm_and_pd(_mm_and_pd(_mm_cmpge_pd(x0, f), _mm_cmplt_pd(x0, g)),
                                    _mm_and_pd(_mm_cmpge_pd(x1, f), _mm_cmplt_pd(x1, g)));
      const __m128i same =
          _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cs + j)), colour);
      if (_mm_movemask_pd(in) != 3 || _mm_movemask_epi8(same) != 0xffff) break;
      const __m128d y0 = _mm_loadu_pd(ys + j), y1 = _mm_loadu_pd(ys + j + 2);
      l0 = _mm_min_pd(y0, l0);
      l1 = _mm_min_pd(y1, l1);
      h0 = _mm_max_pd(y0, h0);
      h1 = _mm_max_pd(y1, h1);
    }
    // Every lane began at lo (hi): NaN in all of them or in none.
    double l[4], h[4];
    _mm_storeu_pd(l, l0);
    _mm_storeu_pd(l + 2, l1);
    _mm_storeu_pd(h, h0);
    _mm_storeu_pd(h + 2, h1);
    lo = std::min(std::min(l[0], l[1]), std::min(l[2], l[3]));
    hi = std::max(std::max(h[0], h[1]), std::max(h[2], h[3]));
  }
#endif
  for (; j < n && xs[j] >= from && xs[j] < guard && cs[j] == c; ++j) {
    lo = std::min(lo, ys[j]);
    hi = std::max(hi, ys[j]);
  }
  return j;
}

// The device pixels covering a logical rectangle, with `grow` device pixels more on each side.
QRect DeviceRect(const QRect& r, qreal dpr, int grow) {
  if (dpr == 1.0)
    return QRect(QPoint(r.left() - grow, r.top() - grow),
                 QPoint(r.right() + grow, r.bottom() + grow));
  const int x0 = static_cast<int>(std::floor(r.left() * dpr)) - grow;
  const int y0 = static_cast<int>(std::floor(r.top() * dpr)) - grow;
  const int x1 = static_cast<int>(std::ceil((r.right() + 1) * dpr)) + grow;
  const int y1 = static_cast<int>(std::ceil((r.bottom() + 1) * dpr)) + grow;
  return QRect(QPoint(x0, y0), QPoint(x1 - 1, y1 - 1));
}

// a & b for rectangles with left <= right + 1 and top <= bottom + 1, inline.
QRect Overlap(const QRect& a, const QRect& b) {
  return QRect(QPoint(std::max(a.left(), b.left()), std::max(a.top(), b.top())),
               QPoint(std::min(a.right(), b.right()), std::min(a.bottom(), b.bottom())));
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

// Whether any row first[x]..last[x] of the columns of a device rectangle meets it.
bool Meets(const std::vector<int>& first, const std::vector<int>& last, const QRect& r) {
  const int x0 = std::max(r.left(), 0),
            x1 = std::min(r.right(), static_cast<int>(first.size()) - 1);
  for (int x = x0; x <= x1; ++x)
    if (first[x] <= last[x] && first[x] <= r.bottom() && last[x] >= r.top()) return true;
  return false;
}

// Widens the rows of the columns of a device rectangle to cover it.
void Cover(std::vector<int>& first, std::vector<int>& last, const QRect& r) {
  if (r.isEmpty()) return;
  const int x0 = std::max(r.left(), 0),
            x1 = std::min(r.right(), static_cast<int>(first.size()) - 1);
  for (int x = x0; x <= x1; ++x) {
    first[x] = std::min(first[x], r.top());
    last[x] = std::max(last[x], r.bottom());
  }
}

// Columns are handled by groups of 16 (a cache line of pixels).
constexpr int kColumnGroup = 16;

// For each row of the image, its first row with the same pixels.
void IndexRows(const QImage& image, std::vector<const QRgb*>& rows) {
  const int h = image.height();
  const size_t bytes = static_cast<size_t>(image.width()) * sizeof(QRgb);
  rows.assign(static_cast<size_t>(h), nullptr);
  std::unordered_map<std::string_view, const QRgb*> first;
  for (int y = 0; y < h; ++y) {
    const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    const std::string_view key(reinterpret_cast<const char*>(row), bytes);
    rows[static_cast<size_t>(y)] = first.try_emplace(key, row).first->second;
  }
}

// Frames put back without the comparison before it is tried again.
constexpr int kExactRetry = 8;

// The rows any column x0..x1-1 has in first..last; empty (top > bottom) when none has any.
std::pair<int, int> GroupRows(const std::vector<int>& first, const std::vector<int>& last, int x0,
                              int x1, int h) {
  int top = h, bottom = -1;
  for (int x = x0; x < x1; ++x)
    if (first[x] <= last[x]) {
      top = std::min(top, first[x]);
      bottom = std::max(bottom, last[x]);
    }
  return {top, bottom};
}

// Calls f(x0, x1, t, b) for each column group x0..x1-1 with rows t..b, from the left: the one
// order in which the exact restore keeps the old pixels and the comparison reads them back.
// The columns of a group have the same rows (RestoreFrame grows them so). A group is gone
// through down its rows: a constant stride, which the processor fetches ahead; row by row across
// the groups, each row was a jump it could not foresee.
template <class F>
void ForEachGroup(const std::vector<int>& top, const std::vector<int>& bottom, int w, F&& f) {
  for (int x0 = 0; x0 < w; x0 += kColumnGroup)
    if (top[x0] <= bottom[x0]) f(x0, std::min(x0 + kColumnGroup, w), top[x0], bottom[x0]);
}

// Whether a whole group's row (a cache line of pixels) is the same in a and b.
inline bool SameGroupRow(const QRgb* a, const QRgb* b) {
#if defined(__SSE2__)
  const auto at = [](const QRgb* p, int i) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p) + i);
  };
  __m128i d = _mm_xor_si128(at(a, 0), at(b, 0));
  for (int i = 1; i < 4; ++i)
    d = _mm_or_si128(d, _mm_xor_si128(at(a, i), at(b, i)));
  return _mm_movemask_epi8(_mm_cmpeq_epi8(d, _mm_setzero_si128())) == 0xffff;
#else
  return std::memcmp(a, b, kColumnGroup * sizeof(QRgb)) == 0;
#endif
}

// A small flat button with three bars, in the chart's own colours.
class MenuButton : public QToolButton {
 public:
  using QToolButton::QToolButton;
  // It draws itself at a fixed size, without a caption.
  QSize sizeHint() const override { return {kMenuButton, kMenuButton}; }
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    const bool lit = isDown() || underMouse() || hasFocus() || (menu() && menu()->isVisible());
    const QRect r = rect().adjusted(0, 0, -1, -1);
    p.fillRect(rect(), lit ? QColor(229, 241, 251) : QColor(Qt::white));
    p.setPen(lit ? palette().color(QPalette::Highlight) : kGridColour);
    p.drawRect(r);
    const int w = width() - 8, x = 4;
    for (int i = 0; i < 3; ++i)
      p.fillRect(x, 4 + i * 3, w, 1, QColor(64, 64, 64));
  }
};

}  // namespace

namespace chart_detail {

bool writeTraceLines = true;

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

bool CosmeticLineFits(const QLine& l, const QSize& device) {
  const auto in = [&](int v, int n) { return static_cast<unsigned>(v) < static_cast<unsigned>(n); };
  return in(l.x1(), device.width()) && in(l.x2(), device.width()) && in(l.y1(), device.height()) &&
         in(l.y2(), device.height());
}

void WriteCosmeticLine(QRgb* bits, qsizetype stride, const QRect& clip, const QLine& l,
                       QRgb colour) {
  const QPoint p1 = l.p1(), p2 = l.p2();
  colour |= 0xff000000u;
  if (p1 == p2) {
    if (clip.contains(p1)) bits[p1.y() * stride + p1.x()] = colour;
    return;
  }
  // Stepped along the longer axis (rows when steeper than a diagonal), from its lower end: the
  // other coordinate in 16.16 fixed point, with the engine's rounding. The square caps reach
  // half a pixel past each end, so both end pixels are set.
  const bool steep = std::abs(p2.x() - p1.x()) < std::abs(p2.y() - p1.y());
  int a1 = steep ? p1.y() : p1.x(), a2 = steep ? p2.y() : p2.x();
  int b1 = steep ? p1.x() : p1.y(), b2 = steep ? p2.x() : p2.y();
  if (a1 > a2) {
    std::swap(a1, a2);
    std::swap(b1, b2);
  }
  const int inc = static_cast<int>((static_cast<qint64>(b2 - b1) * 65536) / (a2 - a1));
  const int b0 = b1 * 65536 - (inc >> 1) + (((inc > 0 ? 64 : 32) * inc) >> 6);
  const int aLo = steep ? clip.top() : clip.left(), aHi = steep ? clip.bottom() : clip.right();
  const int bLo = steep ? clip.left() : clip.top(), bHi = steep ? clip.right() : clip.bottom();
  const int from = std::max(a1, aLo), to = std::min(a2, aHi);
  if (from > to) return;
  int b = static_cast<int>(b0 + static_cast<qint64>(from - a1) * inc);
  for (int a = from; a <= to; ++a, b += inc) {
    const int minor = b >> 16;
    if (minor < bLo || minor > bHi) continue;
    if (steep)
      bits[a * stride + minor] = colour;
    else
      bits[minor * stride + a] = colour;
  }
}

QRegion ColumnsRegion(const std::vector<int>& first, const std::vector<int>& last, int w, int h,
                      qreal dpr) {
  const auto logical = [dpr](const QRect& r) {
    if (dpr == 1.0) return r;
    const int x0 = static_cast<int>(std::floor(r.left() / dpr));
    const int y0 = static_cast<int>(std::floor(r.top() / dpr));
    const int x1 = static_cast<int>(std::ceil((r.right() + 1) / dpr));
    const int y1 = static_cast<int>(std::ceil((r.bottom() + 1) / dpr));
    return QRect(QPoint(x0, y0), QPoint(x1 - 1, y1 - 1));
  };
  QRegion out;
  if (first.size() < static_cast<size_t>(w) || last.size() < static_cast<size_t>(w)) return out;
  // By groups of 16 columns, neighbouring groups joined while that adds little: each rectangle
  // costs the window system more than a few pixels.
  QRect run;
  qint64 runArea = 0;
  for (int x0 = 0; x0 < w; x0 += kColumnGroup) {
    const int x1 = std::min(x0 + kColumnGroup, w);
    int top = h, bottom = -1, left = x1, right = x0 - 1;
    for (int x = x0; x < x1; ++x)
      if (first[x] <= last[x]) {
        top = std::min(top, first[x]);
        bottom = std::max(bottom, last[x]);
        left = std::min(left, x);
        right = x;
      }
    if (top > bottom) continue;
    const QRect g(QPoint(left, std::max(top, 0)), QPoint(right, std::min(bottom, h - 1)));
    const qint64 area = static_cast<qint64>(g.width()) * g.height();
    if (!run.isEmpty()) {
      const QRect u = run.united(g);
      if (static_cast<qint64>(u.width()) * u.height() <=
          (runArea + area) * 5 / 4 + kColumnGroup * kColumnGroup) {
        run = u;
        runArea += area;
        continue;
      }
      out += logical(run);
    }
    run = g;
    runArea = area;
  }
  if (!run.isEmpty()) out += logical(run);
  return out;
}

}  // namespace chart_detail

TChart::TChart(QWidget* parent)
    : QWidget(parent),
      bottom_(std::make_unique<TChartAxis>(this, true)),
      left_(std::make_unique<TChartAxis>(this, false)),
      impl_(std::make_unique<Impl>()) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  menu_ = new QMenu(this);
  WatchMenu(menu_);
  menuButton_ = new MenuButton(this);
  menuButton_->setMenu(menu_);
  menuButton_->setPopupMode(QToolButton::InstantPopup);
  // Kept out of the Tab cycle, which stays as it was: the menu key on the chart opens it too.
  menuButton_->setFocusPolicy(Qt::NoFocus);
  menuButton_->setAccessibleName(QStringLiteral("Chart menu"));
  menuButton_->setToolTip(QStringLiteral("Chart menu"));
  menuButton_->setCursor(Qt::ArrowCursor);
  menuButton_->resize(kMenuButton, kMenuButton);
  menuButton_->hide();
}

TChart::~TChart() = default;

TChartSeries* TChart::AddSeries(TSeriesKind kind, const QString& title) {
  series_.push_back(std::make_unique<TChartSeries>(this, kind, title));
  InvalidateLayout();
  return series_.back().get();
}

TChartSeries* TChart::InsertSeries(int index, TSeriesKind kind, const QString& title) {
  index = std::clamp(index, 0, SeriesCount());
  auto at =
      series_.insert(series_.begin() + index, std::make_unique<TChartSeries>(this, kind, title));
  InvalidateLayout();
  return at->get();
}

void TChart::SetBackColor(const QColor& c) {
  backColor_ = c;
  InvalidateLayout();
}
void TChart::SetBackWallColor(const QColor& c) {
  backWallColor_ = c;
  InvalidateLayout();
}
void TChart::SetBackWallTransparent(bool c) {
  backWallTransparent_ = c;
  InvalidateLayout();
}
void TChart::SetMargins(int l, int r, int t, int b) {
  marginLeft_ = std::clamp(l, 0, 100);
  marginRight_ = std::clamp(r, 0, 100);
  marginTop_ = std::clamp(t, 0, 100);
  marginBottom_ = std::clamp(b, 0, 100);
  InvalidateLayout();
}
void TChart::SetTitleVisible(bool v) {
  titleVisible_ = v;
  InvalidateLayout();
}
void TChart::SetTitleText(const QString& t) {
  titleText_ = t;
  InvalidateLayout();
}
void TChart::SetLegendVisible(bool v) {
  legendVisible_ = v;
  InvalidateLayout();
}

void TChart::InvalidateLayout() {
  impl_->layoutValid = false;
  impl_->backgroundValid = false;
  impl_->fresh = false;
  update();
}

void TChart::InvalidateData() {
  // A block adds thousands of points; asking once until the frame is drawn is enough.
  Impl& d = *impl_;
  if (d.repaintAsked) return;
  d.repaintAsked = true;
  d.fresh = false;
  // The frame is drawn when the window is about to paint, and only the pixels it changed
  // are then asked for. One pixel of the plot asks the window for that paint meanwhile.
  QWidget* w = window();
  if (d.watched != w) {
    if (d.watched) d.watched->removeEventFilter(this);
    d.watched = w;
    w->installEventFilter(this);
  }
  const QRect plot = d.layoutValid ? d.layout.plot : QRect();
  if (plot.isEmpty()) {
    update();
  } else if (DirectPutsAllowed()) {
    // The window's repaint goes over every widget's dirty region, paints through a painter
    // and waits for another turn of the loop; a frame of a few thousand pixels costs less
    // than that.
    QCoreApplication::postEvent(this, new QEvent(kShowChangesEvent), Qt::LowEventPriority);
  } else {
    update(QRect(plot.topLeft(), QSize(1, 1)));
  }
}

bool TChart::event(QEvent* event) {
  if (event->type() != kShowChangesEvent) return QWidget::event(event);
  ShowChanges(true);
  return true;
}

bool TChart::PutChanges() {
  Impl& d = *impl_;
  QWidget* top = window();
  QWindow* handle = top->windowHandle();
  QBackingStore* store = top->backingStore();
  if (!handle || !handle->isExposed() || !store || d.frame.devicePixelRatio() != 1.0 ||
      handle->devicePixelRatio() != 1.0 || hasFocus() || d.drag == Impl::Drag::Zoom)
    return false;
  // What shows over the chart: its own children, and at each level up to the window the
  // widgets stacked above and the parent's bounds.
  QRegion region = d.unshown & rect();
  for (QObject* o : children()) {
    QWidget* c = qobject_cast<QWidget*>(o);
    if (c && !c->isWindow() && c->isVisible()) region -= c->geometry();
  }
  const QPoint at = mapTo(top, QPoint(0, 0));
  for (QWidget* w = this; w != top && !region.isEmpty(); w = w->parentWidget()) {
    QWidget* parent = w->parentWidget();
    if (!parent || w->graphicsEffect()) return false;
    const QPoint offset = parent->mapTo(top, QPoint(0, 0)) - at;
    region &= parent->rect().translated(offset);
    const QObjectList& siblings = parent->children();
    for (qsizetype i = siblings.indexOf(w) + 1; i < siblings.size(); ++i) {
      QWidget* s = qobject_cast<QWidget*>(siblings[i]);
      if (s && !s->isWindow() && s->isVisible()) region -= s->geometry().translated(offset);
    }
  }
  if (region.isEmpty()) return true;
  region.translate(at);
  store->beginPaint(region);
  QImage* image = dynamic_cast<QImage*>(store->paintDevice());
  // An opaque window's store is often premultiplied: the same pixels, opaque.
  const bool opaque = image && (image->format() == QImage::Format_RGB32 ||
                                image->format() == QImage::Format_ARGB32_Premultiplied);
  if (!opaque || d.frame.format() != QImage::Format_RGB32 || image->devicePixelRatio() != 1.0 ||
      !image->rect().contains(region.boundingRect())) {
    store->endPaint();
    return false;
  }
  const qsizetype from = d.frame.bytesPerLine(), to = image->bytesPerLine();
  for (const QRect& r : region) {
    const QRect f = r.translated(-at);
    const uchar* src = d.frame.constBits() + f.y() * from + f.x() * 4;
    uchar* dst = image->bits() + r.y() * to + r.x() * 4;
    for (int y = 0; y < r.height(); ++y, src += from, dst += to) {
      const QRgb* s = reinterpret_cast<const QRgb*>(src);
      QRgb* t = reinterpret_cast<QRgb*>(dst);
      for (int x = 0; x < r.width(); ++x)
        t[x] = s[x] | 0xff000000u;
    }
  }
  store->endPaint();
  store->flush(region, handle);
  return true;
}

void TChart::ShowChanges(bool putDirectly) {
  Impl& d = *impl_;
  // A paint came first and drew the frame, or the chart cannot be shown now (it is drawn when
  // it is).
  if (!d.repaintAsked || !isVisible() || !updatesEnabled() || width() <= 0 || height() <= 0) return;
  if (putDirectly && PaintNow && !PaintNow(window())) {
    update(QRect(d.layout.plot.topLeft(), QSize(1, 1)));
    return;
  }
  RenderFrame(devicePixelRatioF());
  if (putDirectly && PutChanges()) {
    d.unshown = QRegion();
    return;
  }
  d.fresh = true;
  d.expected = d.unshown;
  if (d.layoutValid) d.expected += QRect(d.layout.plot.topLeft(), QSize(1, 1));
  update(d.unshown);
  d.unshown = QRegion();
}

QRect TChart::PlotRect() const {
  Impl& d = *impl_;
  if (d.layoutValid && d.layout.size == size()) return d.layout.plot;
  d.backgroundValid = false;
  Layout& L = d.layout;
  L = Layout();
  L.size = size();
  const int w = width(), h = height();
  const QFontMetrics lfm(LabelFont()), tfm(TitleFont()), cfm(ChartTitleFont());
  const int fh = lfm.height();
  const int mL = w * marginLeft_ / 100, mR = w * marginRight_ / 100;
  const int mT = h * marginTop_ / 100, mB = h * marginBottom_ / 100;
  const bool chartTitle = titleVisible_ && !titleText_.isEmpty();
  const bool bottomTitle = !bottom_->TitleCaption().isEmpty();
  const bool leftTitle = !left_->TitleCaption().isEmpty();

  L.chartTitleY = mT;
  const int stateY = mT + (chartTitle ? cfm.height() + kTitleGap : 0);
  const int stateH = stateLine_.isEmpty() ? 0 : fh + 2;
  // Half a label above the plot, so the top label is not cut off.
  const int top = stateY + stateH + fh / 2 + 1;
  int bottom = h - 1 - mB - kTick - kLabelGap - fh - (bottomTitle ? tfm.height() + 1 : 0);
  bottom = std::max(bottom, top + 1);
  L.labelTop = bottom + kTick + 1;
  L.bottomTitleY = L.labelTop + fh + 1;

  L.leftScale = Scale::Of(*left_, bottom, top - bottom);
  L.left = ComputeLabels(*left_, L.leftScale, bottom - top + 1, lfm);

  const int leftTitleW =
      leftTitle
          ? (left_->TitleRotated() ? tfm.height() : tfm.horizontalAdvance(left_->TitleCaption())) +
                kTitleGap
          : 0;
  L.leftTitleX = mL;
  const int left = mL + leftTitleW + L.left.maxWidth + kLabelGap + kTick + 1;
  L.labelRight = left - kTick - kLabelGap - 1;
  const int rightPad =
      std::max(4, lfm.horizontalAdvance(bottom_->FormatLabel(bottom_->Maximum())) / 2 + 1);
  int legendW = 0;
  if (legendVisible_ && !series_.empty()) {
    int tw = 0;
    for (const auto& s : series_)
      tw = std::max(tw, lfm.horizontalAdvance(s->Title()));
    legendW = tw + 30;
  }
  int right = w - 1 - mR - rightPad - legendW;
  right = std::max(right, left + 1);
  if (legendW > 0)
    L.legend =
        QRect(right + rightPad, top, legendW - 4, static_cast<int>(series_.size()) * (fh + 2) + 6);

  L.bottomScale = Scale::Of(*bottom_, left, right - left);
  L.bottom = ComputeLabels(*bottom_, L.bottomScale, right - left + 1, lfm);
  L.plot = QRect(QPoint(left, top), QPoint(right, bottom));
  if (stateH > 0) {
    // From the plot's left edge to just before the menu button.
    const int end = w - kMenuButton - kMenuButtonInset - 4;
    L.stateLine = QRect(QPoint(left, stateY + 1), QPoint(std::max(left, end), stateY + fh));
  }
  d.layoutValid = true;
  return L.plot;
}

void TChart::DrawBackground(QPainter& p) {
  const Layout& L = impl_->layout;
  const QRect plot = L.plot;
  p.fillRect(rect(), backColor_);
  if (!backWallTransparent_) p.fillRect(plot, backWallColor_);

  std::vector<QRect> rects;
  for (int x : L.bottom.pos)
    if (x >= plot.left() && x <= plot.right())
      LineRects(x, plot.top(), x, plot.bottom() + 1, true, rects);
  for (int y : L.left.pos)
    if (y >= plot.top() && y <= plot.bottom())
      LineRects(plot.left(), y, plot.right() + 1, y, true, rects);
  for (const QRect& r : rects)
    p.fillRect(r, kGridColour);

  if (bottom_->AxisVisible()) p.fillRect(plot.left(), plot.bottom(), plot.width(), 1, Qt::black);
  if (left_->AxisVisible()) p.fillRect(plot.left(), plot.top(), 1, plot.height(), Qt::black);

  // Ticks at the labels and evenly spaced minor ticks between them.
  auto minors = [](const std::vector<int>& pos, int count, auto&& draw) {
    for (size_t i = 1; i < pos.size(); ++i)
      for (int j = 1; j <= count; ++j)
        draw(pos[i - 1] +
             static_cast<int>(std::lround((pos[i] - pos[i - 1]) * double(j) / (count + 1))));
  };
  for (int x : L.bottom.pos)
    p.fillRect(x, plot.bottom() + 1, 1, kTick, Qt::black);
  minors(L.bottom.pos, bottom_->MinorTickCount(),
         [&](int x) { p.fillRect(x, plot.bottom() + 1, 1, kMinorTick, Qt::black); });
  for (int y : L.left.pos)
    p.fillRect(plot.left() - kTick, y, kTick, 1, Qt::black);
  minors(L.left.pos, left_->MinorTickCount(),
         [&](int y) { p.fillRect(plot.left() - kMinorTick, y, kMinorTick, 1, Qt::black); });

  p.setPen(Qt::black);
  p.setFont(LabelFont());
  const QFontMetrics fm = p.fontMetrics();
  for (size_t i = 0; i < L.bottom.pos.size(); ++i) {
    const QString& t = L.bottom.texts[i];
    p.drawText(QPoint(L.bottom.pos[i] - fm.horizontalAdvance(t) / 2, L.labelTop + fm.ascent()), t);
  }
  for (size_t i = 0; i < L.left.pos.size(); ++i) {
    const QString& t = L.left.texts[i];
    p.drawText(QPoint(L.labelRight - fm.horizontalAdvance(t) + 1,
                      L.left.pos[i] - fm.height() / 2 + fm.ascent()),
               t);
  }

  p.setFont(TitleFont());
  const QFontMetrics tfm = p.fontMetrics();
  if (!bottom_->TitleCaption().isEmpty()) {
    const QString& t = bottom_->TitleCaption();
    p.drawText(
        QPoint(plot.center().x() - tfm.horizontalAdvance(t) / 2, L.bottomTitleY + tfm.ascent()), t);
  }
  if (!left_->TitleCaption().isEmpty()) {
    const QString& t = left_->TitleCaption();
    if (left_->TitleRotated()) {
      p.save();
      p.translate(L.leftTitleX + tfm.ascent(), plot.center().y() + tfm.horizontalAdvance(t) / 2);
      p.rotate(-90);
      p.drawText(QPoint(0, 0), t);
      p.restore();
    } else {
      p.drawText(QPoint(L.leftTitleX, plot.center().y() - tfm.height() / 2 + tfm.ascent()), t);
    }
  }
  if (titleVisible_ && !titleText_.isEmpty()) {
    p.setFont(ChartTitleFont());
    const QFontMetrics cfm = p.fontMetrics();
    p.drawText(
        QPoint(width() / 2 - cfm.horizontalAdvance(titleText_) / 2, L.chartTitleY + cfm.ascent()),
        titleText_);
  }
  if (!L.legend.isEmpty()) {
    p.setFont(LabelFont());
    p.fillRect(L.legend, Qt::white);
    p.setPen(Qt::black);
    p.drawRect(L.legend.adjusted(0, 0, -1, -1));
    int y = L.legend.top() + 3;
    for (const auto& s : series_) {
      p.fillRect(L.legend.left() + 4, y + fm.height() / 2, 16, 2, s->SeriesColor());
      p.drawText(QPoint(L.legend.left() + 24, y + fm.ascent()), s->Title());
      y += fm.height() + 2;
    }
  }
}

void TChart::LayOutSeries(qreal dpr) {
  Impl& d = *impl_;
  const Layout& L = d.layout;
  const Scale& sx = L.bottomScale;
  const Scale& sy = L.leftScale;
  FrameDamage& damage = d.damage;
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
    Cover(damage.first, damage.last, f);
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
          Cover(damage.first, damage.last, Overlap(reach, plotDevice));
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
  // The painter's own line calls cost more than the pixels of these short segments. Written
  // directly only where nothing set on the painter changes them (the after-draw's painter may
  // come here through CatchUp): one pass, no transform, the plot as the only clip.
  const bool direct = writeTraceLines && dpr == 1.0 && passes == 1 &&
                      target.format() == QImage::Format_RGB32 &&
                      (!p || (p->transform().isIdentity() && p->opacity() == 1.0 &&
                              p->compositionMode() == QPainter::CompositionMode_SourceOver &&
                              !p->testRenderHint(QPainter::Antialiasing) &&
                              p->clipRegion() == QRegion(d.layout.plot)));
  // The frame's own painter, once begun, stays clipped to the plot until the end.
  bool begun = false;
  const auto painter = [&]() -> QPainter& {
    if (p) return *p;
    if (!begun) {
      begun = true;
      d.FramePainter().save();
      d.framePainter.setClipRect(d.layout.plot);
      d.framePainter.setBrush(Qt::NoBrush);
    }
    return d.framePainter;
  };
  if (p) p->setBrush(Qt::NoBrush);
  const QRect clip = d.layout.plot & target.rect();
  if (direct && !clip.isEmpty() && std::all_of(lines.begin(), lines.end(), [&](const QLine& l) {
        return CosmeticLineFits(l, target.size());
      })) {
    WriteInStrips(bits, stride, clip);
    return;
  }
  for (size_t r = 0; r < runs.size(); ++r) {
    const Impl::Run& run = runs[r];
    const size_t lineEnd = r + 1 < runs.size() ? runs[r + 1].lines : lines.size();
    const size_t fillEnd = r + 1 < runs.size() ? runs[r + 1].fills : fills.size();
    const QLine* toPaint = lines.data() + run.lines;
    int paintCount = static_cast<int>(lineEnd - run.lines);
    if (direct) {
      // Written here where that gives the painter's pixels; the rest goes to the painter.
      d.rest.clear();
      for (size_t k = run.lines; k < lineEnd; ++k) {
        if (CosmeticLineFits(lines[k], target.size()))
          WriteCosmeticLine(bits, stride, clip, lines[k], run.colour);
        else
          d.rest.push_back(lines[k]);
      }
      toPaint = d.rest.data();
      paintCount = static_cast<int>(d.rest.size());
    }
    if (paintCount > 0) {
      QPen pen(QColor::fromRgb(run.colour), 1);
      pen.setCosmetic(true);
      pen.setCapStyle(Qt::SquareCap);
      QPainter& lp = painter();
      lp.setPen(pen);
      // Diagonal offsets thicken steep and flat segments alike.
      for (int k = 0; k < passes; ++k) {
        if (k > 0) {
          lp.save();
          lp.translate(k / dpr, k / dpr);
        }
        lp.drawLines(toPaint, paintCount);
        if (k > 0) lp.restore();
      }
    }
    for (size_t k = run.fills; k < fillEnd; ++k)
      FillPixels(bits, stride, fills[k].device, fills[k].colour);
  }
  if (begun) d.framePainter.restore();
}

void TChart::WriteInStrips(QRgb* bits, qsizetype stride, const QRect& clip) {
  Impl& d = *impl_;
  const auto& lines = d.lines;
  const auto& fills = d.fills;
  const auto& runs = d.runs;
  // Trace by trace, each sweeps rows of the whole plot through the cache; by strips of columns
  // the rows of one stay in it while all traces go over them. In each strip everything is
  // written in the same order as trace by trace, so every pixel ends with the same colour.
  constexpr int kStrip = 64;
  const int strips = (clip.width() + kStrip - 1) / kStrip;
  std::vector<int>& starts = d.stripStarts;
  std::vector<Impl::StripItem>& items = d.stripItems;
  starts.assign(static_cast<size_t>(strips) + 2, 0);
  // The strips of columns x0..x1, a column more each side for the segments' rounding.
  const auto span = [&](int x0, int x1, auto&& f) {
    const int s0 = std::max(0, (x0 - 1 - clip.left()) / kStrip);
    const int s1 = std::min(strips - 1, (x1 + 1 - clip.left()) / kStrip);
    if (x1 + 1 < clip.left()) return;
    for (int s = s0; s <= s1; ++s)
      f(s);
  };
  const auto visit = [&](auto&& f) {
    for (size_t r = 0; r < runs.size(); ++r) {
      const size_t lineEnd = r + 1 < runs.size() ? runs[r + 1].lines : lines.size();
      const size_t fillEnd = r + 1 < runs.size() ? runs[r + 1].fills : fills.size();
      for (size_t k = runs[r].lines; k < lineEnd; ++k) {
        const QLine& l = lines[k];
        span(std::min(l.x1(), l.x2()), std::max(l.x1(), l.x2()), [&](int s) {
          f(s, Impl::StripItem{static_cast<uint32_t>(k), false, runs[r].colour});
        });
      }
      for (size_t k = runs[r].fills; k < fillEnd; ++k)
        span(fills[k].device.left(), fills[k].device.right(), [&](int s) {
          f(s, Impl::StripItem{static_cast<uint32_t>(k), true, fills[k].colour});
        });
    }
  };
  // Counted, then placed: each strip's items in order.
  visit([&](int s, const Impl::StripItem&) { ++starts[static_cast<size_t>(s) + 2]; });
  for (int s = 0; s < strips; ++s)
    starts[static_cast<size_t>(s) + 2] += starts[static_cast<size_t>(s) + 1];
  items.resize(static_cast<size_t>(starts[static_cast<size_t>(strips) + 1]));
  visit([&](int s, const Impl::StripItem& item) {
    items[static_cast<size_t>(starts[static_cast<size_t>(s) + 1]++)] = item;
  });
  for (int s = 0; s < strips; ++s) {
    const int x0 = clip.left() + s * kStrip;
    const QRect strip(QPoint(x0, clip.top()),
                      QPoint(std::min(x0 + kStrip - 1, clip.right()), clip.bottom()));
    for (int k = starts[static_cast<size_t>(s)]; k < starts[static_cast<size_t>(s) + 1]; ++k) {
      const Impl::StripItem& item = items[static_cast<size_t>(k)];
      if (!item.fill) {
        WriteCosmeticLine(bits, stride, strip, lines[item.index], item.colour);
        continue;
      }
      FillPixels(bits, stride, fills[item.index].device & strip, item.colour);
    }
  }
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

void TChart::Draw(QPainter& p) {
  if (width() <= 0 || height() <= 0) return;
  RenderFrame(p.device() ? p.device()->devicePixelRatioF() : 1.0);
  // Drawn for another device: the window's next paint draws the frame afresh.
  impl_->fresh = false;
  p.save();
  p.drawImage(QPoint(0, 0), impl_->frame);
  p.restore();
}

void TChart::RenderFrame(qreal dpr) {
  Impl& d = *impl_;
  d.repaintAsked = false;
  UpdateAutomaticRanges();
  PlotRect();
  if (!d.backgroundValid || d.background.devicePixelRatioF() != dpr ||
      d.background.size() != size() * dpr) {
    d.background = QImage(size() * dpr, QImage::Format_RGB32);
    d.background.setDevicePixelRatio(dpr);
    QPainter bp(&d.background);
    DrawBackground(bp);
    bp.end();
    IndexRows(d.background, d.backgroundRows);
    d.backgroundValid = true;
    d.damage.all = true;
  }
  // The traces go into a copy of the background whose pixels can be written directly: a
  // painter fills a one-pixel-wide column row by row, several times slower.
  if (d.frame.size() != d.background.size()) {
    d.frame = QImage(d.background.size(), QImage::Format_RGB32);
    d.damage.all = true;
  }
  d.frame.setDevicePixelRatio(dpr);
  FrameDamage& damage = d.damage;
  const int w = d.frame.width(), h = d.frame.height();
  const QRect device(0, 0, w, h);
  // The last frame's record becomes the previous one.
  bool whole = damage.all || damage.dpr != dpr ||
               d.background.bytesPerLine() != d.frame.bytesPerLine() ||
               damage.first.size() != static_cast<size_t>(w);
  damage.all = false;
  damage.dpr = dpr;
  damage.prevFirst.swap(damage.first);
  damage.prevLast.swap(damage.last);
  damage.first.assign(static_cast<size_t>(w), h);
  damage.last.assign(static_cast<size_t>(w), -1);
  damage.prevCanvas.swap(damage.canvas);
  damage.canvas.clear();
  damage.prevState.swap(damage.state);
  damage.state.clear();
  damage.prevStateRect = damage.stateRect;
  damage.stateRect = QRect();
  damage.untracked = false;

  LayOutSeries(dpr);
  QPainter& fp = d.framePainter;
  // The after-draw is recorded first: what it draws and where decides what is put back.
  if (OnAfterDraw) {
    TChartCanvas canvas(fp, &d.frame, &damage);
    canvas.chart_ = this;
    OnAfterDraw(this, canvas);
  }
  if (!stateLine_.isEmpty() && !d.layout.stateLine.isEmpty()) {
    const int m = QFontMetrics(LabelFont()).height();
    damage.stateRect = DeviceRect(d.layout.stateLine.adjusted(-m, -m, m, m), dpr, 2) & device;
    damage.state = stateLine_;
  }
  // Drawn through the painter (see CatchUp): the whole frame is drawn already, and the next
  // frame cannot know those pixels.
  if (damage.untracked) {
    whole = true;
    damage.all = true;
  } else {
    if (!whole) whole = !RestoreFrame();
    if (whole) {
      std::memcpy(d.frame.bits(), d.background.constBits(),
                  static_cast<size_t>(d.frame.sizeInBytes()));
      damage.top.clear();
    }
    const int* top = whole ? nullptr : damage.top.data();
    const int* bottom = whole ? nullptr : damage.bottom.data();
    DrawSeries(nullptr, d.frame, dpr);
    // The after-draw goes into the frame as well: the frame is the control, so only the
    // control's bounds limit it, and its thin lines can be written directly. Where pixels were
    // put back a drawing is drawn again: a Straight line only in the rows put back, others
    // whole (RestoreFrame put back all of each that it meets).
    const bool pixelwise = dpr == 1.0;
    for (size_t i = 0; i < damage.canvas.size(); ++i) {
      const CanvasMark& m = damage.canvas[i];
      const auto painter = [&]() -> QPainter& {
        return DrawnThroughPainter(m, &d.frame) ? d.FramePainter() : fp;
      };
      if (pixelwise && m.kind == CanvasMark::Straight)
        DrawMark(painter(), &d.frame, m, top, bottom);
      else if (whole || damage.redraw[i])
        DrawMark(painter(), &d.frame, m);
    }
  }
  // Over whatever the after-draw put into the margin (the grid's lines start at the top).
  if (whole || (!damage.stateRect.isEmpty() && Meets(damage.top, damage.bottom, damage.stateRect)))
    DrawStateLine(d.FramePainter());
  if (fp.isActive()) fp.end();

  if (whole) {
    d.unshown += QRect(QPoint(0, 0), size());
    return;
  }
  if (!damage.exact) {
    d.unshown += ColumnsRegion(damage.top, damage.bottom, w, h, dpr);
    return;
  }
  // What changed: the pixels put back that now differ from what they held, visited in the
  // order RestoreFrame kept them.
  const qsizetype stride = d.frame.bytesPerLine() / 4;
  const QRgb* dst = reinterpret_cast<const QRgb*>(d.frame.constBits());
  const QRgb* saved = damage.saved.data();
  const std::vector<int>& top = damage.top;
  const std::vector<int>& bottom = damage.bottom;
  std::vector<int>& first = damage.changedFirst;
  std::vector<int>& last = damage.changedLast;
  first.assign(static_cast<size_t>(w), h);
  last.assign(static_cast<size_t>(w), -1);
  // A row that compares equal as a whole (most, where the trace stayed) is passed over; one
  // that differs is gone through without a branch per pixel.
  ForEachGroup(top, bottom, w, [&](int x0, int x1, int t, int b) {
    const size_t n = static_cast<size_t>(x1 - x0);
    const QRgb* row = dst + t * stride + x0;
    int* __restrict from = first.data() + x0;
    int* __restrict to = last.data() + x0;
    for (int y = t; y <= b; ++y, row += stride, saved += n) {
      if (n == kColumnGroup ? SameGroupRow(saved, row)
                            : std::memcmp(saved, row, n * sizeof(QRgb)) == 0)
        continue;
      for (size_t i = 0; i < n; ++i) {
        const int differs = -static_cast<int>(saved[i] != row[i]);
        from[i] = std::min(from[i], (y & differs) | (h & ~differs));
        to[i] = (y & differs) | (to[i] & ~differs);
      }
    }
  });
  qint64 changed = 0;
  for (int x = 0; x < w; ++x)
    changed += std::max(0, last[x] - first[x] + 1);
  damage.exactPays = changed * 2 <= static_cast<qint64>(damage.saved.size());
  d.unshown += ColumnsRegion(first, last, w, h, dpr);
}

void TChart::CatchUp(QPainter& fp) {
  Impl& d = *impl_;
  std::memcpy(d.frame.bits(), d.background.constBits(), static_cast<size_t>(d.frame.sizeInBytes()));
  fp.save();
  fp.setClipRect(d.layout.plot);
  DrawSeries(&fp, d.frame, d.damage.dpr);
  fp.restore();
  for (const CanvasMark& m : d.damage.canvas)
    DrawMark(fp, &d.frame, m);
}

bool TChart::RestoreFrame() {
  Impl& d = *impl_;
  FrameDamage& damage = d.damage;
  const int w = d.frame.width(), h = d.frame.height();
  const QRect device(0, 0, w, h);
  const qreal dpr = damage.dpr;
  const bool pixelwise = dpr == 1.0;
  std::vector<int>& top = damage.top;
  std::vector<int>& bottom = damage.bottom;
  top.resize(static_cast<size_t>(w));
  bottom.resize(static_cast<size_t>(w));
  // The traces of both frames.
  for (int x = 0; x < w; ++x) {
    top[x] = std::min(damage.first[x], damage.prevFirst[x]);
    bottom[x] = std::max(damage.last[x], damage.prevLast[x]);
  }
  // The drawings' rectangles hold their pixels; a device pixel more for rounding at pixel
  // ratio 1, two at others.
  const auto deviceRect = [&](const CanvasMark& m) {
    if (pixelwise && m.kind == CanvasMark::Straight) return m.rect & device;
    return DeviceRect(m.rect, dpr, pixelwise ? 1 : 2) & device;
  };
  // The after-draw's drawings that differ from the last frame's at the same place in the
  // sequence, old and new.
  const std::vector<CanvasMark>& now = damage.canvas;
  const std::vector<CanvasMark>& before = damage.prevCanvas;
  for (size_t i = 0; i < std::max(now.size(), before.size()); ++i) {
    if (i < now.size() && i < before.size() && now[i] == before[i]) continue;
    if (i < now.size()) Cover(top, bottom, deviceRect(now[i]));
    if (i < before.size()) Cover(top, bottom, deviceRect(before[i]));
  }
  if (damage.state != damage.prevState || damage.stateRect != damage.prevStateRect) {
    Cover(top, bottom, damage.stateRect);
    Cover(top, bottom, damage.prevStateRect);
  }
  // A drawing that meets pixels put back is drawn again, so all of its pixels are put back
  // first: drawn over itself, a text's antialiased edges would darken. Straight lines at pixel
  // ratio 1 are drawn again pixel by pixel. That may put back more, which other drawings meet.
  damage.redraw.assign(now.size(), 0);
  bool stateDone = damage.stateRect.isEmpty();
  const auto settle = [&] {
    for (bool grown = true; grown;) {
      grown = false;
      for (size_t i = 0; i < now.size(); ++i) {
        if (damage.redraw[i] || (pixelwise && now[i].kind == CanvasMark::Straight)) continue;
        const QRect r = deviceRect(now[i]);
        if (!Meets(top, bottom, r)) continue;
        damage.redraw[i] = 1;
        Cover(top, bottom, r);
        grown = true;
      }
      if (!stateDone && Meets(top, bottom, damage.stateRect)) {
        stateDone = true;
        Cover(top, bottom, damage.stateRect);
        grown = true;
      }
    }
  };
  settle();
  // The rows inside the frame, and the pixels they hold.
  const auto clampedArea = [&] {
    qint64 area = 0;
    for (int x = 0; x < w; ++x) {
      top[x] = std::max(top[x], 0);
      bottom[x] = std::min(bottom[x], h - 1);
      area += std::max(0, bottom[x] - top[x] + 1);
    }
    return area;
  };
  // Most of the frame: one sequential copy is cheaper than many short ones.
  if (clampedArea() * 2 > static_cast<qint64>(w) * h) return false;
  const qsizetype stride = d.frame.bytesPerLine() / 4;
  QRgb* dst = reinterpret_cast<QRgb*>(d.frame.bits());
  const std::vector<const QRgb*>& src = d.backgroundRows;
  // By groups of 16 columns over the rows any of them needs.
  for (bool grown = true; grown;) {
    grown = false;
    for (int x0 = 0; x0 < w; x0 += kColumnGroup) {
      const int x1 = std::min(x0 + kColumnGroup, w);
      const auto [t, b] = GroupRows(top, bottom, x0, x1, h);
      for (int x = x0; x < x1; ++x)
        if (t <= b && (top[x] != t || bottom[x] != b)) {
          top[x] = t;
          bottom[x] = b;
          grown = true;
        }
    }
    if (grown) settle();
  }
  const qint64 area = clampedArea();
  // A smaller part exactly: the pixels it held are kept, to find what changed; of a larger
  // one, all pixels put back are taken as changed. A trace that covers the same rows as before
  // may well not have changed at all, so it is compared even after a frame that did not pay.
  const bool sameRows = damage.first == damage.prevFirst && damage.last == damage.prevLast;
  damage.exact = area * 4 <= static_cast<qint64>(w) * h &&
                 (damage.exactPays || sameRows || ++damage.framesWithoutExact >= kExactRetry);
  if (damage.exact) damage.framesWithoutExact = 0;
  damage.saved.resize(damage.exact ? static_cast<size_t>(area) : 0);
  QRgb* saved = damage.saved.data();
  // A whole group's row is a copy of constant size, which the compiler writes inline.
  const auto putBack = [&](int x0, int t, int b, auto n) {
    QRgb* row = dst + t * stride + x0;
    for (int y = t; y <= b; ++y, row += stride) {
      if (damage.exact) {
        std::memcpy(saved, row, n * sizeof(QRgb));
        saved += n;
      }
      std::memcpy(row, src[static_cast<size_t>(y)] + x0, n * sizeof(QRgb));
    }
  };
  ForEachGroup(top, bottom, w, [&](int x0, int x1, int t, int b) {
    if (x1 - x0 == kColumnGroup)
      putBack(x0, t, b, std::integral_constant<size_t, kColumnGroup>());
    else
      putBack(x0, t, b, static_cast<size_t>(x1 - x0));
  });
  return true;
}

void TChart::paintEvent(QPaintEvent* event) {
  Impl& d = *impl_;
  if (width() <= 0 || height() <= 0) return;
  QPainter p(this);
  const qreal dpr = p.device() ? p.device()->devicePixelRatioF() : 1.0;
  const QRegion& region = event->region();
  // The frame drawn for this paint at the window's update request needs only its changed
  // pixels; any other paint draws the frame afresh, as it may be asked for by a change the
  // chart does not see (the after-draw's state).
  if (d.repaintAsked || !d.fresh || d.frame.devicePixelRatioF() != dpr ||
      !region.subtracted(d.expected).isEmpty())
    RenderFrame(dpr);
  d.fresh = false;
  d.expected = QRegion();
  // Each rectangle as an image over the frame's own pixels, clipped to that rectangle: an
  // image part, or a clip of several rectangles, takes the painter's general path, which hands
  // the copy to a thread pool and waits for it.
  const QRect frameRect(0, 0, d.frame.width(), d.frame.height());
  const qsizetype stride = d.frame.bytesPerLine();
  for (const QRect& r : region) {
    const QRect dr = DeviceRect(r, dpr, 0) & frameRect;
    if (dr.isEmpty()) continue;
    QImage part(d.frame.constBits() + dr.y() * stride + dr.x() * 4, dr.width(), dr.height(), stride,
                d.frame.format());
    part.setDevicePixelRatio(dpr);
    // Clipped to the one rectangle, the copy takes the painter's straight path.
    if (region.rectCount() > 1) p.setClipRect(r);
    p.drawImage(QPointF(dr.x() / dpr, dr.y() / dpr), part);
  }
  p.setClipping(false);
  // What this paint's region left out is shown by the next one, from this frame.
  d.unshown -= region;
  if (!d.unshown.isEmpty()) {
    d.fresh = true;
    d.expected = d.unshown;
    update(d.unshown);
    d.unshown = QRegion();
  }
  if (d.drag == Impl::Drag::Zoom) {
    // Dotted outline on exactly the rectangle's edge pixels.
    const QRect r = QRect(d.pressPos, d.currentPos).normalized();
    std::vector<QRect> dots;
    LineRects(r.left(), r.top(), r.right() + 1, r.top(), true, dots);
    LineRects(r.left(), r.bottom(), r.right() + 1, r.bottom(), true, dots);
    LineRects(r.left(), r.top(), r.left(), r.bottom() + 1, true, dots);
    LineRects(r.right(), r.top(), r.right(), r.bottom() + 1, true, dots);
    for (const QRect& dot : dots)
      p.fillRect(dot, Qt::black);
  }
  // Where the chart takes the keyboard focus, show that it has it.
  if (hasFocus()) {
    p.setPen(QPen(palette().color(QPalette::Highlight), 2));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(rect()).adjusted(1, 1, -1, -1));
  }
}

void TChart::resizeEvent(QResizeEvent*) {
  InvalidateLayout();
  UpdateMenuButton();
}

void TChart::DrawStateLine(QPainter& p) {
  const QRect r = impl_->layout.stateLine;
  if (stateLine_.isEmpty() || r.isEmpty()) return;
  p.save();
  p.setClipping(false);
  p.setFont(LabelFont());
  const QFontMetrics fm = p.fontMetrics();
  const QString text = fm.elidedText(stateLine_, Qt::ElideRight, r.width());
  if (!text.isEmpty()) {
    p.fillRect(QRect(r.left() - 1, r.top(), fm.horizontalAdvance(text) + 3, r.height()),
               backColor_);
    p.setPen(Qt::black);
    p.drawText(QPoint(r.left(), r.top() + (r.height() - fm.height()) / 2 + fm.ascent()), text);
  }
  p.restore();
}

void TChart::SetStateLine(const QString& text) {
  // One line: breaks would run over the plot.
  QString line = text;
  line.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
  if (line == stateLine_) return;
  const bool layoutChanges = line.isEmpty() != stateLine_.isEmpty();
  stateLine_ = line;
  impl_->fresh = false;
  if (layoutChanges)
    InvalidateLayout();
  else
    update();
}

QRect TChart::StateLineRect() const {
  PlotRect();
  return impl_->layout.stateLine;
}

QMenu* TChart::ChartMenu() const {
  return menu_;
}

QToolButton* TChart::ChartMenuButton() const {
  return menuButton_;
}

void TChart::UpdateMenuButton() {
  menuButton_->move(width() - kMenuButton - kMenuButtonInset, kMenuButtonInset);
  // No entries, no button: the chart then looks exactly as without a menu.
  menuButton_->setVisible(!menu_->isEmpty());
}

void TChart::PopupChartMenu() {
  if (menu_->isEmpty()) return;
  menu_->popup(mapToGlobal(QPoint(width() - menu_->sizeHint().width() - kMenuButtonInset,
                                  kMenuButtonInset + kMenuButton)));
}

void TChart::WatchMenu(QMenu* menu) {
  menu->installEventFilter(this);
  for (QAction* a : menu->actions()) {
    if (QMenu* sub = a->menu())
      WatchMenu(sub);
    else if (!a->isSeparator())
      AdoptAction(a);
  }
}

void TChart::AdoptAction(QAction* a) {
  // The menu's entries are the program's commands: their keys work in each of its windows,
  // the tool windows in front included (a modal dialog still keeps them to itself).
  a->setShortcutContext(Qt::ApplicationShortcut);
  addAction(a);
}

void TChart::UnwatchMenu(QMenu* menu) {
  menu->removeEventFilter(this);
  for (QAction* a : menu->actions()) {
    if (QMenu* sub = a->menu())
      UnwatchMenu(sub);
    else
      removeAction(a);
  }
}

bool TChart::eventFilter(QObject* watched, QEvent* event) {
  // Before the window paints what is due: the frame is drawn now, and what it changed joins
  // the region the window is about to paint.
  if (event->type() == QEvent::UpdateRequest && watched == impl_->watched) {
    ShowChanges(false);
    return QWidget::eventFilter(watched, event);
  }
  // The menus' actions; the chart's own (it may be the window it watches) are its own.
  if (watched != this &&
      (event->type() == QEvent::ActionAdded || event->type() == QEvent::ActionRemoved)) {
    QAction* a = static_cast<QActionEvent*>(event)->action();
    if (event->type() == QEvent::ActionAdded) {
      if (QMenu* sub = a->menu())
        WatchMenu(sub);
      else if (!a->isSeparator())
        AdoptAction(a);
    } else if (QMenu* sub = a->menu()) {
      UnwatchMenu(sub);
    } else {
      removeAction(a);
    }
    if (watched == menu_) UpdateMenuButton();
  }
  return QWidget::eventFilter(watched, event);
}

std::vector<QAction*> TChart::MenuActionsWithoutShortcut() const {
  std::vector<QAction*> out;
  std::function<void(const QMenu*)> walk = [&](const QMenu* m) {
    for (QAction* a : m->actions()) {
      if (QMenu* sub = a->menu())
        walk(sub);
      else if (!a->isSeparator() && a->shortcut().isEmpty())
        out.push_back(a);
    }
  };
  walk(menu_);
  return out;
}

void TChart::contextMenuEvent(QContextMenuEvent* e) {
  // The mouse opens the menu on release, and only without a drag.
  if (e->reason() != QContextMenuEvent::Mouse) PopupChartMenu();
  e->accept();
}

QImage TChart::RenderImage() {
  if (width() <= 0 || height() <= 0) return QImage();
  QImage image(size(), QImage::Format_RGB32);
  image.fill(backColor_);
  QPainter p(&image);
  Draw(p);
  return image;
}

bool TChart::SaveChartBitmap(const QString& path, QString* error) {
  return WriteBitmap24(RenderImage(), path, error);
}

bool TChart::Zoomed() const {
  const Impl& d = *impl_;
  return d.zoomed && bottom_->Minimum() == d.leftB0 && bottom_->Maximum() == d.leftB1 &&
         left_->Minimum() == d.leftL0 && left_->Maximum() == d.leftL1;
}

void TChart::KeepRangesLeft() {
  Impl& d = *impl_;
  d.leftB0 = bottom_->Minimum();
  d.leftB1 = bottom_->Maximum();
  d.leftL0 = left_->Minimum();
  d.leftL1 = left_->Maximum();
}

void TChart::UndoZoom() {
  Impl& d = *impl_;
  const bool zoomed = Zoomed();
  d.zoomed = false;
  if (!zoomed) return;
  bottom_->SetRange(d.savedB0, d.savedB1);
  left_->SetRange(d.savedL0, d.savedL1);
}

void TChart::mousePressEvent(QMouseEvent* e) {
  Impl& d = *impl_;
  const QPoint pos = e->position().toPoint();
  d.menuClick = e->button() == Qt::RightButton && !menu_->isEmpty();
  if (e->button() == Qt::LeftButton && allowZoom_) {
    d.drag = Impl::Drag::Zoom;
  } else if (e->button() == Qt::RightButton && allowPanning_ != pmNone) {
    d.drag = Impl::Drag::Pan;
    d.panB0 = bottom_->Minimum();
    d.panB1 = bottom_->Maximum();
    d.panL0 = left_->Minimum();
    d.panL1 = left_->Maximum();
  } else if (d.menuClick) {
    d.drag = Impl::Drag::Menu;
  } else {
    QWidget::mousePressEvent(e);
    return;
  }
  d.pressPos = d.currentPos = pos;
  e->accept();
}

namespace {
// The range that puts the value under `from` under `to`.
void Shifted(const Scale& s, double lo, double hi, int from, int to, double& newLo, double& newHi) {
  const double f = (to - from) / s.span;
  if (s.log) {
    if (!(lo > 0) || !(hi > 0)) {
      newLo = lo;
      newHi = hi;
      return;
    }
    const double k = std::exp(-f * (std::log(hi) - std::log(lo)));
    newLo = lo * k;
    newHi = hi * k;
  } else {
    const double dv = -f * (hi - lo);
    newLo = lo + dv;
    newHi = hi + dv;
  }
}
}  // namespace

void TChart::mouseMoveEvent(QMouseEvent* e) {
  Impl& d = *impl_;
  if (d.drag == Impl::Drag::None) {
    QWidget::mouseMoveEvent(e);
    return;
  }
  d.currentPos = e->position().toPoint();
  if ((d.currentPos - d.pressPos).manhattanLength() > QApplication::startDragDistance())
    d.menuClick = false;
  if (d.drag == Impl::Drag::Pan) {
    PlotRect();
    const Layout& L = d.layout;
    double a, b;
    if (allowPanning_ & pmHorizontal) {
      Shifted(L.bottomScale, d.panB0, d.panB1, d.pressPos.x(), d.currentPos.x(), a, b);
      bottom_->SetRange(a, b);
    }
    if (allowPanning_ & pmVertical) {
      PlotRect();
      Shifted(d.layout.leftScale, d.panL0, d.panL1, d.pressPos.y(), d.currentPos.y(), a, b);
      left_->SetRange(a, b);
    }
  }
  update();
  e->accept();
}

void TChart::mouseReleaseEvent(QMouseEvent* e) {
  Impl& d = *impl_;
  if (d.drag == Impl::Drag::None) {
    QWidget::mouseReleaseEvent(e);
    return;
  }
  const Impl::Drag drag = d.drag;
  d.drag = Impl::Drag::None;
  d.currentPos = e->position().toPoint();
  if ((d.currentPos - d.pressPos).manhattanLength() > QApplication::startDragDistance())
    d.menuClick = false;
  if (d.menuClick && e->button() == Qt::RightButton) {
    d.menuClick = false;
    // A click, not a drag: the few pixels it may have panned are taken back.
    if (drag == Impl::Drag::Pan) {
      if (allowPanning_ & pmHorizontal) bottom_->SetRange(d.panB0, d.panB1);
      if (allowPanning_ & pmVertical) left_->SetRange(d.panL0, d.panL1);
    }
    update();
    menu_->popup(e->globalPosition().toPoint());
    e->accept();
    return;
  }
  if (drag == Impl::Drag::Pan && d.zoomed) KeepRangesLeft();
  if (drag == Impl::Drag::Zoom) {
    const int dx = d.currentPos.x() - d.pressPos.x(), dy = d.currentPos.y() - d.pressPos.y();
    if (std::abs(dx) > kZoomThreshold && std::abs(dy) > kZoomThreshold) {
      if (dx > 0 && dy > 0) {
        const double b0 = bottom_->XToValue(d.pressPos.x()),
                     b1 = bottom_->XToValue(d.currentPos.x());
        const double l0 = left_->YToValue(d.currentPos.y()), l1 = left_->YToValue(d.pressPos.y());
        if (!Zoomed()) {
          d.savedB0 = bottom_->Minimum();
          d.savedB1 = bottom_->Maximum();
          d.savedL0 = left_->Minimum();
          d.savedL1 = left_->Maximum();
          d.zoomed = true;
        }
        bottom_->SetRange(b0, b1);
        left_->SetRange(l0, l1);
        KeepRangesLeft();
      } else {
        UndoZoom();
      }
    }
  }
  update();
  e->accept();
}

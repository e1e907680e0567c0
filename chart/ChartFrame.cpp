// The frame: the cached background with the traces, the after-draw and the read-out over it. A
// new frame puts the background back only where this one or the last one drew, draws again
// there, and asks the window to paint just that region.
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <cstring>

#include "ChartImpl.h"

using namespace chart_detail;

namespace {
// Columns are joined into the region by groups of 16.
constexpr int kColumnGroup = 16;
}  // namespace

namespace chart_detail {

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

bool Meets(const std::vector<int>& first, const std::vector<int>& last, const QRect& r) {
  const int x0 = std::max(r.left(), 0),
            x1 = std::min(r.right(), static_cast<int>(first.size()) - 1);
  for (int x = x0; x <= x1; ++x)
    if (first[x] <= last[x] && first[x] <= r.bottom() && last[x] >= r.top()) return true;
  return false;
}

void Cover(std::vector<int>& first, std::vector<int>& last, const QRect& r) {
  if (r.isEmpty()) return;
  const int x0 = std::max(r.left(), 0),
            x1 = std::min(r.right(), static_cast<int>(first.size()) - 1);
  for (int x = x0; x <= x1; ++x) {
    first[x] = std::min(first[x], r.top());
    last[x] = std::max(last[x], r.bottom());
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
  // Without changed data the series draw as in the last frame (a new layout draws it whole).
  const bool tracesChanged = d.repaintAsked;
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
    d.backgroundValid = true;
    d.record.all = true;
  }
  if (d.frame.size() != d.background.size()) {
    d.frame = QImage(d.background.size(), QImage::Format_RGB32);
    d.record.all = true;
  }
  d.frame.setDevicePixelRatio(dpr);
  FrameRecord& record = d.record;
  const int w = d.frame.width(), h = d.frame.height();
  const QRect device(0, 0, w, h);
  // The last frame's record becomes the previous one.
  bool whole = record.all || record.dpr != dpr || record.first.size() != static_cast<size_t>(w);
  record.all = false;
  record.dpr = dpr;
  record.prevFirst.swap(record.first);
  record.prevLast.swap(record.last);
  record.first.assign(static_cast<size_t>(w), h);
  record.last.assign(static_cast<size_t>(w), -1);
  record.prevCanvas.swap(record.canvas);
  record.canvas.clear();
  record.prevState.swap(record.state);
  record.state.clear();
  record.prevStateRect = record.stateRect;
  record.stateRect = QRect();
  record.untracked = false;
  bool compared = false;

  LayOutSeries(dpr);
  QPainter& fp = d.framePainter;
  // The after-draw is recorded first: what it draws and where decides what is put back.
  if (OnAfterDraw) {
    TChartCanvas canvas(fp, &d.frame, &record);
    canvas.chart_ = this;
    OnAfterDraw(this, canvas);
  }
  if (!stateLine_.isEmpty() && !d.layout.stateLine.isEmpty()) {
    const int m = QFontMetrics(LabelFont()).height();
    record.stateRect = DeviceRect(d.layout.stateLine.adjusted(-m, -m, m, m), dpr, 2) & device;
    record.state = stateLine_;
  }
  // Drawn through the painter (see CatchUp): the whole frame is drawn already, and the next
  // frame cannot know those pixels.
  if (record.untracked) {
    whole = true;
    record.all = true;
  } else {
    // Compared with the last frame, only the changed pixels are shown, even when most of the
    // frame is put back: drawn again over the same background, the rest comes out as it was.
    if (!whole) {
      compared = true;
      whole = !RestoreFrame(tracesChanged);
    }
    if (whole) {
      std::memcpy(d.frame.bits(), d.background.constBits(),
                  static_cast<size_t>(d.frame.sizeInBytes()));
      record.top.clear();
    }
    const int* top = whole ? nullptr : record.top.data();
    const int* bottom = whole ? nullptr : record.bottom.data();
    DrawSeries(nullptr, d.frame, dpr);
    // The after-draw goes into the frame as well: the frame is the control, so only the
    // control's bounds limit it, and its thin lines can be written directly. Where pixels were
    // put back a drawing is drawn again: a Straight line only in the rows put back, others
    // whole (RestoreFrame put back all of each that it meets).
    const bool pixelwise = dpr == 1.0;
    for (size_t i = 0; i < record.canvas.size(); ++i) {
      const CanvasMark& m = record.canvas[i];
      const auto painter = [&]() -> QPainter& {
        return DrawnThroughPainter(m, &d.frame) ? d.FramePainter() : fp;
      };
      if (pixelwise && m.kind == CanvasMark::Straight)
        DrawMark(painter(), &d.frame, m, top, bottom);
      else if (whole || record.redraw[i])
        DrawMark(painter(), &d.frame, m);
    }
  }
  // Over whatever the after-draw put into the margin (the grid's lines start at the top).
  if (whole || (!record.stateRect.isEmpty() && Meets(record.top, record.bottom, record.stateRect)))
    DrawStateLine(d.FramePainter());
  if (fp.isActive()) fp.end();
  if (compared)
    d.unshown += ColumnsRegion(record.changedTop, record.changedBottom, w, h, dpr);
  else
    d.unshown += QRect(QPoint(0, 0), size());
}

void TChart::CatchUp(QPainter& fp) {
  Impl& d = *impl_;
  std::memcpy(d.frame.bits(), d.background.constBits(), static_cast<size_t>(d.frame.sizeInBytes()));
  fp.save();
  fp.setClipRect(d.layout.plot);
  DrawSeries(&fp, d.frame, d.record.dpr);
  fp.restore();
  for (const CanvasMark& m : d.record.canvas)
    DrawMark(fp, &d.frame, m);
}

bool TChart::RestoreFrame(bool tracesChanged) {
  Impl& d = *impl_;
  FrameRecord& record = d.record;
  const int w = d.frame.width(), h = d.frame.height();
  const QRect device(0, 0, w, h);
  const qreal dpr = record.dpr;
  const bool pixelwise = dpr == 1.0;
  std::vector<int>& top = record.top;
  std::vector<int>& bottom = record.bottom;
  top.resize(static_cast<size_t>(w));
  bottom.resize(static_cast<size_t>(w));
  // The traces of both frames: put back always, as what is drawn over them is drawn again.
  for (int x = 0; x < w; ++x) {
    top[x] = std::min(record.first[x], record.prevFirst[x]);
    bottom[x] = std::max(record.last[x], record.prevLast[x]);
  }
  // Only what differs is shown: a paint the chart did not ask for draws the frame again, and
  // showing its unchanged traces would cost the window another paint.
  std::vector<int>& changedTop = record.changedTop;
  std::vector<int>& changedBottom = record.changedBottom;
  if (tracesChanged) {
    changedTop = top;
    changedBottom = bottom;
  } else {
    changedTop.assign(static_cast<size_t>(w), h);
    changedBottom.assign(static_cast<size_t>(w), -1);
  }
  const auto cover = [&](const QRect& r) {
    Cover(top, bottom, r);
    Cover(changedTop, changedBottom, r);
  };
  // The drawings' rectangles hold their pixels; a device pixel more for rounding at pixel
  // ratio 1, two at others.
  const auto deviceRect = [&](const CanvasMark& m) {
    if (pixelwise && m.kind == CanvasMark::Straight) return m.rect & device;
    return DeviceRect(m.rect, dpr, pixelwise ? 1 : 2) & device;
  };
  // The after-draw's drawings that differ from the last frame's at the same place in the
  // sequence, old and new.
  const std::vector<CanvasMark>& now = record.canvas;
  const std::vector<CanvasMark>& before = record.prevCanvas;
  for (size_t i = 0; i < std::max(now.size(), before.size()); ++i) {
    if (i < now.size() && i < before.size() && now[i] == before[i]) continue;
    if (i < now.size()) cover(deviceRect(now[i]));
    if (i < before.size()) cover(deviceRect(before[i]));
  }
  if (record.state != record.prevState || record.stateRect != record.prevStateRect) {
    cover(record.stateRect);
    cover(record.prevStateRect);
  }
  // A drawing that meets pixels put back is drawn again, so all of its pixels are put back
  // first: drawn over itself, a text's antialiased edges would darken. Straight lines at pixel
  // ratio 1 are drawn again pixel by pixel. That may put back more, which other drawings meet.
  record.redraw.assign(now.size(), 0);
  bool stateDone = record.stateRect.isEmpty();
  for (bool grown = true; grown;) {
    grown = false;
    for (size_t i = 0; i < now.size(); ++i) {
      if (record.redraw[i] || (pixelwise && now[i].kind == CanvasMark::Straight)) continue;
      const QRect r = deviceRect(now[i]);
      if (!Meets(top, bottom, r)) continue;
      record.redraw[i] = 1;
      Cover(top, bottom, r);
      grown = true;
    }
    if (!stateDone && Meets(top, bottom, record.stateRect)) {
      stateDone = true;
      Cover(top, bottom, record.stateRect);
      grown = true;
    }
  }
  // The rows inside the frame.
  qint64 area = 0;
  for (int x = 0; x < w; ++x) {
    top[x] = std::max(top[x], 0);
    bottom[x] = std::min(bottom[x], h - 1);
    area += std::max(0, bottom[x] - top[x] + 1);
  }
  // Most of the frame: the caller puts back the whole.
  if (area * 2 > static_cast<qint64>(w) * h) return false;
  const qsizetype stride = d.frame.bytesPerLine() / 4;
  QRgb* dst = reinterpret_cast<QRgb*>(d.frame.bits());
  const QRgb* src = reinterpret_cast<const QRgb*>(d.background.constBits());
  for (int x = 0; x < w; ++x)
    for (qsizetype at = top[x] * stride + x, end = bottom[x] * stride + x; at <= end; at += stride)
      dst[at] = src[at];
  return true;
}

void TChart::ShowChanges() {
  Impl& d = *impl_;
  // A paint came first and drew the frame, or the chart cannot be shown now (it is drawn when
  // it is).
  if (!d.repaintAsked || !isVisible() || !updatesEnabled() || width() <= 0 || height() <= 0) return;
  RenderFrame(devicePixelRatioF());
  d.fresh = true;
  d.expected = d.unshown;
  if (d.layoutValid) d.expected += QRect(d.layout.plot.topLeft(), QSize(1, 1));
  update(d.unshown);
  d.unshown = QRegion();
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

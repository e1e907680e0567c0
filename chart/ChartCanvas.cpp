// The after-draw surface: recorded drawings and how they are drawn.
#include <QHash>
#include <QPainter>
#include <QStaticText>
#include <cmath>
#include <cstdlib>

#include "ChartImpl.h"

using namespace chart_detail;

namespace {

// A text as the after-draw writes it: its layout, and the pixels it may touch relative to its
// position.
struct LaidOutText {
  QStaticText text;
  QRect bounds;
  int advance = 0, height = 0;
};

// The after-draw writes the same labels at every paint, and laying a text out costs more than
// drawing it: laid-out texts are kept by font and string. Never destroyed, since the fonts
// they hold must not outlive the application.
const LaidOutText& LaidOut(const QString& text, const QFont& font) {
  static auto* cache = new QHash<QString, LaidOutText>;
  // A paint writes many texts in one font: its key is made once for them.
  static auto* lastFont = new QFont;
  static auto* lastKey = new QString;
  if (lastKey->isEmpty() || !(font == *lastFont)) {
    *lastFont = font;
    *lastKey = font.key();
  }
  const QString key = *lastKey + QChar(0) + text;
  auto it = cache->find(key);
  if (it == cache->end()) {
    if (cache->size() >= 1024) cache->clear();
    LaidOutText t;
    t.text = QStaticText(text);
    t.text.setTextFormat(Qt::PlainText);
    t.text.prepare(QTransform(), font);
    const QFontMetrics fm(font);
    t.advance = fm.horizontalAdvance(text);
    t.height = fm.height();
    // The layout's box and the glyphs' ink, which may reach beyond it, with a margin for
    // rounding and antialiasing.
    const QSize size = t.text.size().toSize();
    t.bounds = QRect(0, 0, std::max(size.width(), t.advance), std::max(size.height(), t.height))
                   .united(fm.boundingRect(text).translated(0, fm.ascent()))
                   .adjusted(-2, -2, 2, 2);
    it = cache->insert(key, t);
  }
  return *it;
}

// The canvas's font at a pixel size; kept, as a paint uses the same one or two.
const QFont& FontOfPixels(int pixels) {
  static auto* fonts = new QHash<int, QFont>;
  auto it = fonts->find(pixels);
  if (it == fonts->end()) {
    QFont f = LabelFont();
    f.setPixelSize(std::max(1, pixels));
    it = fonts->insert(pixels, f);
  }
  return *it;
}

}  // namespace

namespace chart_detail {

namespace {
// A horizontal or vertical line written straight into the pixels (at a pixel ratio of 1): the
// pixels from `from` towards `to`, without `to`, every other one when dotted.
struct GridLine {
  QPoint from, to;
  bool dotted;
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
}  // namespace

void DrawMark(QPainter& p, QImage* direct, const CanvasMark& m, const int* top, const int* bottom) {
  switch (m.kind) {
    case CanvasMark::Straight:
    case CanvasMark::Line: {
      const bool dotted = m.style == Qt::DotLine;
      const QRgb colour = m.pen | 0xff000000u;
      if (direct && direct->devicePixelRatio() == 1.0 && m.kind == CanvasMark::Straight) {
        // The pixels LineRects would give (every other one when dotted, the end pixel left
        // out), without a rectangle per dot.
        QRgb* bits = reinterpret_cast<QRgb*>(direct->bits());
        const qsizetype stride = direct->bytesPerLine() / 4;
        const GridLine line{m.from, m.to, dotted};
        if (!top) {
          line.ForEachPixel(direct->width(), direct->height(),
                            [&](int x, int y) { bits[y * stride + x] = colour; });
        } else if (m.from.x() == m.to.x()) {
          // Down a column: only the rows put back in it.
          const int x = m.from.x();
          if (x < 0 || x >= direct->width() || top[x] > bottom[x]) return;
          const int step = m.to.y() > m.from.y() ? 1 : -1;
          const int n = std::abs(m.to.y() - m.from.y());
          const int lo = std::max(top[x], 0), hi = std::min(bottom[x], direct->height() - 1);
          for (int i = 0; i < n; i += dotted ? 2 : 1) {
            const int y = m.from.y() + i * step;
            if (y >= lo && y <= hi) bits[y * stride + x] = colour;
          }
        } else {
          line.ForEachPixel(direct->width(), direct->height(), [&](int x, int y) {
            if (y >= top[x] && y <= bottom[x]) bits[y * stride + x] = colour;
          });
        }
        return;
      }
      // Whole-pixel rectangles stay crisp at any pixel ratio and leave out the end pixel.
      thread_local std::vector<QRect> rects;
      rects.clear();
      LineRects(m.from.x(), m.from.y(), m.to.x(), m.to.y(), dotted, rects);
      if (direct) {
        const qreal dpr = direct->devicePixelRatio();
        QRgb* bits = reinterpret_cast<QRgb*>(direct->bits());
        const qsizetype stride = direct->bytesPerLine() / 4;
        const int w = direct->width(), h = direct->height();
        for (const QRect& r : rects) {
          int x0 = r.left(), y0 = r.top(), x1 = r.right() + 1, y1 = r.bottom() + 1;
          if (dpr != 1.0) {
            x0 = static_cast<int>(std::lround(x0 * dpr));
            y0 = static_cast<int>(std::lround(y0 * dpr));
            x1 = static_cast<int>(std::lround(x1 * dpr));
            y1 = static_cast<int>(std::lround(y1 * dpr));
          }
          x0 = std::max(x0, 0);
          y0 = std::max(y0, 0);
          x1 = std::min(x1, w);
          y1 = std::min(y1, h);
          for (int yy = y0; yy < y1; ++yy)
            for (int xx = x0; xx < x1; ++xx)
              bits[yy * stride + xx] = colour;
        }
      } else {
        // One call for all dots: a call per dot costs more than the dots.
        p.save();
        p.setPen(Qt::NoPen);
        p.setBrush(QColor::fromRgba(m.pen));
        p.drawRects(rects.data(), static_cast<int>(rects.size()));
        p.restore();
      }
      return;
    }
    case CanvasMark::WideLine: {
      const QPen pen = p.pen();
      p.setPen(QPen(QColor::fromRgba(m.pen), m.width, static_cast<Qt::PenStyle>(m.style)));
      p.drawLine(m.from, m.to);
      p.setPen(pen);
      return;
    }
    case CanvasMark::Text: {
      const QFont& font = FontOfPixels(m.width);
      const LaidOutText& laidOut = LaidOut(m.text, font);
      if (m.style == bsSolid)
        p.fillRect(QRect(m.from.x(), m.from.y(), laidOut.advance, laidOut.height),
                   QColor::fromRgba(m.brush));
      const QPen pen = p.pen();
      const QFont was = p.font();
      p.setFont(font);
      p.setPen(QColor::fromRgba(m.pen));
      p.drawStaticText(m.from, laidOut.text);
      p.setPen(pen);
      p.setFont(was);
      return;
    }
  }
}

}  // namespace chart_detail

TChartCanvas::TChartCanvas(QPainter& painter) : painter_(painter) {
  Reset();
}

TChartCanvas::TChartCanvas(QPainter& painter, QImage* image) : painter_(painter), image_(image) {
  Reset();
}

TChartCanvas::TChartCanvas(QPainter& painter, QImage* image, FrameRecord* record)
    : painter_(painter), image_(image), record_(record) {
  Reset();
}

void TChartCanvas::Reset() {
  penColor_ = Qt::black;
  penStyle_ = Qt::SolidLine;
  penWidth_ = 1;
  fontColor_ = Qt::black;
  fontPixels_ = PointsToPixels(10);
  brushStyle_ = bsSolid;
  brushColor_ = Qt::white;
  if (record_) return;
  painter_.setBrush(Qt::NoBrush);
  painter_.setRenderHint(QPainter::Antialiasing, false);
  ApplyPen();
  ApplyFont();
}

QPainter& TChartCanvas::Painter() {
  // What the handler draws through the painter itself is not known: the frame is drawn up to
  // here at once, the rest of the handler's drawings go straight into it, and the chart draws
  // its next frame afresh.
  if (record_) {
    record_->untracked = true;
    record_ = nullptr;
    // The chart begins the frame's painter only when something draws through it.
    if (!painter_.isActive() && image_) {
      painter_.begin(image_);
      painter_.setRenderHint(QPainter::Antialiasing, false);
    }
    if (chart_) chart_->CatchUp(painter_);
    painter_.setBrush(Qt::NoBrush);
    painter_.setRenderHint(QPainter::Antialiasing, false);
    ApplyPen();
    ApplyFont();
  }
  return painter_;
}

void TChartCanvas::Put(const CanvasMark& mark) {
  if (record_) {
    record_->canvas.push_back(mark);
    return;
  }
  // Straight into the pixels when nothing the handler set on the painter stands in the way.
  const bool direct = image_ && painter_.transform().isIdentity() && !painter_.hasClipping() &&
                      (image_->format() == QImage::Format_RGB32 ||
                       image_->format() == QImage::Format_ARGB32_Premultiplied);
  DrawMark(painter_, direct ? image_ : nullptr, mark);
}

void TChartCanvas::ApplyPen() {
  if (record_) return;
  painter_.setPen(QPen(penColor_, penWidth_, penStyle_));
}

void TChartCanvas::ApplyFont() {
  if (record_) return;
  painter_.setFont(FontOfPixels(fontPixels_));
}

void TChartCanvas::SetPenColor(const QColor& c) {
  penColor_ = c;
  ApplyPen();
}
void TChartCanvas::SetPenMode(TPenMode) {}
void TChartCanvas::SetPenStyle(Qt::PenStyle s) {
  penStyle_ = s == Qt::DotLine ? Qt::DotLine : Qt::SolidLine;
  ApplyPen();
}
void TChartCanvas::SetPenWidth(int w) {
  penWidth_ = std::max(1, w);
  ApplyPen();
}
void TChartCanvas::SetFontCharset(int) {}
void TChartCanvas::SetFontColor(const QColor& c) {
  fontColor_ = c;
}
void TChartCanvas::SetFontHeight(int height) {
  // Negative: the character height; positive: the cell height, which includes the leading.
  fontPixels_ = height < 0 ? -height : std::max(1, static_cast<int>(std::lround(height * 0.85)));
  ApplyFont();
}
void TChartCanvas::SetFontSize(int points) {
  fontPixels_ = PointsToPixels(std::abs(points));
  ApplyFont();
}
void TChartCanvas::SetBrushStyle(TBrushStyle s) {
  brushStyle_ = s;
}
void TChartCanvas::SetBrushColor(const QColor& c) {
  brushColor_ = c;
}

void TChartCanvas::MoveTo(int x, int y) {
  x_ = x;
  y_ = y;
}

void TChartCanvas::LineTo(int x, int y) {
  CanvasMark m;
  m.from = QPoint(x_, y_);
  m.to = QPoint(x, y);
  m.pen = penColor_.rgba();
  m.width = penWidth_;
  m.style = penStyle_;
  if (penWidth_ == 1) {
    m.kind = x == x_ || y == y_ ? CanvasMark::Straight : CanvasMark::Line;
    m.rect = QRect(m.from, m.to).normalized();
  } else {
    m.kind = CanvasMark::WideLine;
    m.rect =
        QRect(m.from, m.to).normalized().adjusted(-penWidth_, -penWidth_, penWidth_, penWidth_);
  }
  Put(m);
  x_ = x;
  y_ = y;
}

void TChartCanvas::TextOut(int x, int y, const QString& text) {
  const LaidOutText& laidOut = LaidOut(text, FontOfPixels(fontPixels_));
  CanvasMark m;
  m.kind = CanvasMark::Text;
  m.rect = laidOut.bounds.translated(x, y);
  m.from = QPoint(x, y);
  m.pen = fontColor_.rgba();
  m.brush = brushStyle_ == bsSolid ? brushColor_.rgba() : 0;
  m.width = fontPixels_;
  m.style = brushStyle_;
  m.text = text;
  Put(m);
}

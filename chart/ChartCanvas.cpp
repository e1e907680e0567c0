// Series data and the after-draw surface.
#include <QHash>
#include <QPainter>
#include <QStaticText>
#include <cmath>
#include <cstdlib>

#include "ChartImpl.h"

using namespace chart_detail;

namespace {

// The after-draw writes the same labels at every paint, and laying a text out costs more than
// drawing it: laid-out texts are kept by font and string. Never destroyed, since the fonts
// they hold must not outlive the application.
const QStaticText& LaidOut(const QString& text, const QFont& font) {
  static auto* cache = new QHash<QString, QStaticText>;
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
    QStaticText laidOut(text);
    laidOut.setTextFormat(Qt::PlainText);
    laidOut.prepare(QTransform(), font);
    it = cache->insert(key, laidOut);
  }
  return *it;
}

}  // namespace

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

TChartCanvas::TChartCanvas(QPainter& painter) : painter_(painter) {
  Reset();
}

TChartCanvas::TChartCanvas(QPainter& painter, QImage* image) : painter_(painter), image_(image) {
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
  painter_.setBrush(Qt::NoBrush);
  painter_.setRenderHint(QPainter::Antialiasing, false);
  ApplyPen();
  ApplyFont();
}

QPainter& TChartCanvas::Painter() {
  // What the handler draws through the painter itself is not known: the chart then puts back
  // its whole background before the next paint.
  if (damage_) damage_->all = true;
  return painter_;
}

void TChartCanvas::Mark(const CanvasMark& mark) {
  if (damage_) damage_->canvas.push_back(mark);
}

void TChartCanvas::ApplyPen() {
  painter_.setPen(QPen(penColor_, penWidth_, penStyle_));
}

void TChartCanvas::ApplyFont() {
  QFont f = LabelFont();
  f.setPixelSize(std::max(1, fontPixels_));
  painter_.setFont(f);
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
  if (penWidth_ == 1) {
    // Straight into the pixels when nothing the handler set on the painter stands in the way.
    const bool direct = image_ && painter_.transform().isIdentity() && !painter_.hasClipping() &&
                        (image_->format() == QImage::Format_RGB32 ||
                         image_->format() == QImage::Format_ARGB32_Premultiplied);
    const bool dotted = penStyle_ == Qt::DotLine;
    if (direct && image_->devicePixelRatio() == 1.0 && (x == x_ || y == y_)) {
      // A grid line: the pixels LineRects would give (every other one when dotted, the end
      // pixel left out), without a rectangle per dot.
      const QRgb colour = penColor_.rgb() | 0xff000000u;
      QRgb* bits = reinterpret_cast<QRgb*>(image_->bits());
      const qsizetype stride = image_->bytesPerLine() / 4;
      const GridLine line{QPoint(x_, y_), QPoint(x, y), dotted, colour};
      line.ForEachPixel(image_->width(), image_->height(),
                        [&](int px, int py) { bits[py * stride + px] = colour; });
      if (damage_) damage_->lines.push_back(line);
      x_ = x;
      y_ = y;
      return;
    }
    Mark({QRect(QPoint(x_, y_), QPoint(x, y)).normalized(),
          QPoint(x_, y_),
          QPoint(x, y),
          penColor_.rgba(),
          0,
          penWidth_,
          penStyle_,
          {},
          {}});
    // Whole-pixel rectangles stay crisp at any pixel ratio and leave out the end pixel.
    std::vector<QRect>& rects = rects_;
    rects.clear();
    LineRects(x_, y_, x, y, dotted, rects);
    if (direct) {
      const QRgb colour = penColor_.rgb() | 0xff000000u;
      const qreal dpr = image_->devicePixelRatio();
      QRgb* bits = reinterpret_cast<QRgb*>(image_->bits());
      const qsizetype stride = image_->bytesPerLine() / 4;
      const int w = image_->width(), h = image_->height();
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
      painter_.save();
      painter_.setPen(Qt::NoPen);
      painter_.setBrush(penColor_);
      painter_.drawRects(rects.data(), static_cast<int>(rects.size()));
      painter_.restore();
    }
  } else {
    painter_.drawLine(x_, y_, x, y);
    Mark({QRect(QPoint(x_, y_), QPoint(x, y))
              .normalized()
              .adjusted(-penWidth_, -penWidth_, penWidth_, penWidth_),
          QPoint(x_, y_),
          QPoint(x, y),
          penColor_.rgba(),
          0,
          penWidth_,
          penStyle_,
          {},
          {}});
  }
  x_ = x;
  y_ = y;
}

void TChartCanvas::TextOut(int x, int y, const QString& text) {
  if (brushStyle_ == bsSolid) {
    const QFontMetrics fm = painter_.fontMetrics();
    painter_.fillRect(QRect(x, y, fm.horizontalAdvance(text), fm.height()), brushColor_);
  }
  const QStaticText& laidOut = LaidOut(text, painter_.font());
  // Glyphs may reach beyond their advance: a margin of one line height on every side.
  const QSize size = laidOut.size().toSize();
  const int m = std::max(size.height(), 1);
  Mark({QRect(x - m, y - m, size.width() + 2 * m, size.height() + 2 * m),
        QPoint(x, y),
        QPoint(),
        fontColor_.rgba(),
        brushStyle_ == bsSolid ? brushColor_.rgba() : 0,
        fontPixels_,
        brushStyle_,
        text,
        {}});
  const QPen pen = painter_.pen();
  painter_.setPen(fontColor_);
  painter_.drawStaticText(QPoint(x, y), laidOut);
  painter_.setPen(pen);
}

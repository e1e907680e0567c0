// First cut of the chart widget: enough for the windows to be built against it. The full
// drawing (labels, grid, decimation, caching, zoom and panning) replaces this.
#include "Chart.h"

#include <QFile>
#include <QPainter>
#include <cmath>

struct TChart::Impl {};

TChartAxis::TChartAxis(TChart* owner, bool horizontal) : owner_(owner), horizontal_(horizontal) {}
void TChartAxis::Changed() {
  if (owner_) owner_->InvalidateLayout();
}
void TChartAxis::SetMinimum(double v) { minimum_ = v; Changed(); }
void TChartAxis::SetMaximum(double v) { maximum_ = v; Changed(); }
void TChartAxis::SetRange(double a, double b) {
  double lo = std::min(a, b), hi = std::max(a, b);
  if (hi - lo < 1e-10) hi = lo + 1e-10;
  minimum_ = lo;
  maximum_ = hi;
  automatic_ = automaticMinimum_ = automaticMaximum_ = false;
  Changed();
}
void TChartAxis::SetAutomatic(bool on) { automatic_ = on; Changed(); }
void TChartAxis::SetAutomaticMinimum(bool on) { automaticMinimum_ = on; Changed(); }
void TChartAxis::SetAutomaticMaximum(bool on) { automaticMaximum_ = on; Changed(); }
void TChartAxis::SetLogarithmic(bool on) {
  if (on && (minimum_ < 0 || maximum_ < 0))
    throw EChartError("A logarithmic axis cannot show negative values.");
  logarithmic_ = on;
  Changed();
}
void TChartAxis::SetIncrement(double step) {
  if (step < 0) throw EChartError("The axis increment must not be negative.");
  increment_ = step;
  Changed();
}
void TChartAxis::SetAxisValuesFormat(const QString& p) { valuesFormat_ = p; Changed(); }
void TChartAxis::SetLabelStyle(TAxisLabelStyle s) { labelStyle_ = s; Changed(); }
void TChartAxis::SetLabelsSeparation(int p) { labelsSeparation_ = p; Changed(); }
void TChartAxis::SetMinorTickCount(int c) { minorTickCount_ = c; Changed(); }
void TChartAxis::SetTitleCaption(const QString& c) { titleCaption_ = c; Changed(); }
void TChartAxis::SetTitleRotated(bool r) { titleRotated_ = r; Changed(); }
void TChartAxis::SetAxisVisible(bool v) { axisVisible_ = v; Changed(); }

static int Position(double start, double span, double v, double lo, double hi, bool log) {
  if (log) {
    if (v <= 0) return static_cast<int>(start);
    const double l0 = lo > 0 ? std::log(lo) : 0.0, l1 = hi > 0 ? std::log(hi) : 0.0;
    return static_cast<int>(start + std::lround(span * (std::log(v) - l0) / (l1 - l0)));
  }
  return static_cast<int>(start + std::lround(span * (v - lo) / (hi - lo)));
}
int TChartAxis::ValueToX(double v) const {
  const QRect p = owner_->PlotRect();
  return Position(p.left(), p.width(), v, minimum_, maximum_, logarithmic_);
}
int TChartAxis::ValueToY(double v) const {
  const QRect p = owner_->PlotRect();
  return Position(p.bottom(), -p.height(), v, minimum_, maximum_, logarithmic_);
}
std::vector<double> TChartAxis::LabelValues() const { return {}; }
QString TChartAxis::FormatLabel(double v) const { return QString::number(std::lround(v)); }

TChartSeries::TChartSeries(TChart* owner, TSeriesKind kind, const QString& title)
    : owner_(owner), kind_(kind), title_(title) {}
void TChartSeries::ClearPoints() {
  x_.clear();
  y_.clear();
  colours_.clear();
  owner_->InvalidateData();
}
void TChartSeries::AddPoint(double x, double y, QRgb c) {
  x_.push_back(x);
  y_.push_back(y);
  colours_.push_back(c);
  owner_->InvalidateData();
}
void TChartSeries::Repaint() { owner_->InvalidateData(); }
void TChartSeries::SetSeriesColor(const QColor& c) { seriesColor_ = c; owner_->InvalidateData(); }
void TChartSeries::SetPointerVisible(bool v) { pointerVisible_ = v; owner_->InvalidateData(); }
void TChartSeries::SetPointerStyle(TPointerStyle s) { pointerStyle_ = s; owner_->InvalidateData(); }
void TChartSeries::SetPointerSize(int h, int v) { pointerHoriz_ = h; pointerVert_ = v; }
void TChartSeries::SetPointerBrushColor(const QColor& c) { pointerBrush_ = c; }
void TChartSeries::SetVisible(bool v) { visible_ = v; owner_->InvalidateData(); }

TChartCanvas::TChartCanvas(QPainter& painter) : painter_(painter) { Reset(); }
void TChartCanvas::Reset() {
  penColor_ = Qt::black; penStyle_ = Qt::SolidLine; penWidth_ = 1;
  fontColor_ = Qt::black; fontPixels_ = 13; brushStyle_ = bsSolid; brushColor_ = Qt::white;
  ApplyPen(); ApplyFont();
}
void TChartCanvas::ApplyPen() { painter_.setPen(QPen(penColor_, penWidth_, penStyle_)); }
void TChartCanvas::ApplyFont() {
  QFont f = painter_.font();
  f.setPixelSize(fontPixels_);
  painter_.setFont(f);
}
void TChartCanvas::SetPenColor(const QColor& c) { penColor_ = c; ApplyPen(); }
void TChartCanvas::SetPenMode(TPenMode) {}
void TChartCanvas::SetPenStyle(Qt::PenStyle s) { penStyle_ = s; ApplyPen(); }
void TChartCanvas::SetPenWidth(int w) { penWidth_ = w; ApplyPen(); }
void TChartCanvas::SetFontCharset(int) {}
void TChartCanvas::SetFontColor(const QColor& c) { fontColor_ = c; }
void TChartCanvas::SetFontHeight(int h) { fontPixels_ = std::abs(h); ApplyFont(); }
void TChartCanvas::SetFontSize(int pt) { fontPixels_ = (pt * 96 + 36) / 72; ApplyFont(); }
void TChartCanvas::SetBrushStyle(TBrushStyle s) { brushStyle_ = s; }
void TChartCanvas::SetBrushColor(const QColor& c) { brushColor_ = c; }
void TChartCanvas::MoveTo(int x, int y) { x_ = x; y_ = y; }
void TChartCanvas::LineTo(int x, int y) {
  painter_.drawLine(x_, y_, x, y);
  x_ = x;
  y_ = y;
}
void TChartCanvas::TextOut(int x, int y, const QString& text) {
  painter_.save();
  painter_.setPen(fontColor_);
  painter_.drawText(QPoint(x, y + painter_.fontMetrics().ascent()), text);
  painter_.restore();
}

TChart::TChart(QWidget* parent)
    : QWidget(parent),
      bottom_(std::make_unique<TChartAxis>(this, true)),
      left_(std::make_unique<TChartAxis>(this, false)),
      impl_(std::make_unique<Impl>()) {}
TChart::~TChart() = default;
TChartSeries* TChart::AddSeries(TSeriesKind kind, const QString& title) {
  series_.push_back(std::make_unique<TChartSeries>(this, kind, title));
  return series_.back().get();
}
void TChart::SetBackColor(const QColor& c) { backColor_ = c; InvalidateLayout(); }
void TChart::SetBackWallColor(const QColor& c) { backWallColor_ = c; InvalidateLayout(); }
void TChart::SetBackWallTransparent(bool c) { backWallTransparent_ = c; InvalidateLayout(); }
void TChart::SetMargins(int l, int r, int t, int b) {
  marginLeft_ = l; marginRight_ = r; marginTop_ = t; marginBottom_ = b;
  InvalidateLayout();
}
void TChart::SetTitleVisible(bool v) { titleVisible_ = v; InvalidateLayout(); }
void TChart::SetTitleText(const QString& t) { titleText_ = t; InvalidateLayout(); }
void TChart::SetLegendVisible(bool v) { legendVisible_ = v; InvalidateLayout(); }
QRect TChart::PlotRect() const {
  const int l = width() * marginLeft_ / 100 + 50, r = width() * marginRight_ / 100 + 10;
  const int t = height() * marginTop_ / 100 + 10, b = height() * marginBottom_ / 100 + 40;
  return QRect(l, t, std::max(1, width() - l - r), std::max(1, height() - t - b));
}
void TChart::InvalidateLayout() { update(); }
void TChart::InvalidateData() { update(); }
void TChart::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), backColor_);
  const QRect plot = PlotRect();
  if (!backWallTransparent_) p.fillRect(plot, backWallColor_);
  p.save();
  p.setClipRect(plot);
  for (const auto& s : series_) {
    const auto& xs = s->XValues();
    const auto& ys = s->YValues();
    for (size_t i = 1; i < xs.size(); ++i) {
      p.setPen(QColor::fromRgb(s->Colours()[i]));
      p.drawLine(bottom_->ValueToX(xs[i - 1]), left_->ValueToY(ys[i - 1]),
                 bottom_->ValueToX(xs[i]), left_->ValueToY(ys[i]));
    }
  }
  p.restore();
  TChartCanvas canvas(p);
  if (OnAfterDraw) OnAfterDraw(this, canvas);
}
void TChart::resizeEvent(QResizeEvent*) { InvalidateLayout(); }
void TChart::mousePressEvent(QMouseEvent*) {}
void TChart::mouseMoveEvent(QMouseEvent*) {}
void TChart::mouseReleaseEvent(QMouseEvent*) {}
QImage TChart::RenderImage() {
  QImage image(size(), QImage::Format_RGB32);
  render(&image);
  return image;
}
bool TChart::SaveChartBitmap(const QString& path, QString* error) {
  return WriteBitmap24(RenderImage(), path, error);
}
bool WriteBitmap24(const QImage& image, const QString& path, QString* error) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly) || !image.save(&f, "BMP")) {
    if (error) *error = f.errorString();
    return false;
  }
  return true;
}

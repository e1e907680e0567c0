// Axes: properties, the value-to-pixel scale, number patterns and label placement.
#include <QLocale>
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "ChartImpl.h"

using namespace chart_detail;

namespace {
double SafeLn(double v) {
  return v > 0 ? std::log(v) : 0.0;
}

}  // namespace

TChartAxis::TChartAxis(TChart* owner, bool horizontal) : owner_(owner), horizontal_(horizontal) {}

void TChartAxis::Changed() {
  if (owner_) owner_->InvalidateLayout();
}

void TChartAxis::SetMinimum(double v) {
  if (v == minimum_ || !std::isfinite(v)) return;
  minimum_ = v;
  Changed();
}
void TChartAxis::SetMaximum(double v) {
  if (v == maximum_ || !std::isfinite(v)) return;
  maximum_ = v;
  Changed();
}

void TChartAxis::SetRange(double a, double b) {
  if (!std::isfinite(a) || !std::isfinite(b)) return;
  const double lo = std::min(a, b);
  double hi = std::max(a, b);
  if (hi - lo < 1e-10) hi = lo + 1e-10;
  automatic_ = automaticMinimum_ = automaticMaximum_ = false;
  // The main window sets the same range with every block; that must not cost a new background.
  if (lo == minimum_ && hi == maximum_) return;
  minimum_ = lo;
  maximum_ = hi;
  Changed();
}

void TChartAxis::SetAutomatic(bool on) {
  if (on == automatic_) return;
  automatic_ = on;
  Changed();
}
void TChartAxis::SetAutomaticMinimum(bool on) {
  if (on == automaticMinimum_) return;
  automaticMinimum_ = on;
  Changed();
}
void TChartAxis::SetAutomaticMaximum(bool on) {
  if (on == automaticMaximum_) return;
  automaticMaximum_ = on;
  Changed();
}

void TChartAxis::SetLogarithmic(bool on) {
  if (on && (minimum_ < 0 || maximum_ < 0))
    throw EChartError(QStringLiteral("The axis cannot be made logarithmic: its range %1 to %2 "
                                     "includes negative values.")
                          .arg(minimum_)
                          .arg(maximum_)
                          .toStdString());
  if (on == logarithmic_) return;
  logarithmic_ = on;
  Changed();
}

void TChartAxis::SetIncrement(double step) {
  if (!(step >= 0) || std::isinf(step))
    throw EChartError(QStringLiteral("The axis step must be a number not below 0 (%1 was given).")
                          .arg(step)
                          .toStdString());
  if (step == increment_) return;
  increment_ = step;
  Changed();
}

void TChartAxis::SetAxisValuesFormat(const QString& p) {
  if (p == valuesFormat_) return;
  valuesFormat_ = p;
  Changed();
}
void TChartAxis::SetLabelStyle(TAxisLabelStyle s) {
  if (s == labelStyle_) return;
  labelStyle_ = s;
  Changed();
}
void TChartAxis::SetLabelsSeparation(int p) {
  p = std::max(0, p);
  if (p == labelsSeparation_) return;
  labelsSeparation_ = p;
  Changed();
}
void TChartAxis::SetMinorTickCount(int c) {
  c = std::clamp(c, 0, 100);
  if (c == minorTickCount_) return;
  minorTickCount_ = c;
  Changed();
}
void TChartAxis::SetTitleCaption(const QString& c) {
  if (c == titleCaption_) return;
  titleCaption_ = c;
  Changed();
}
void TChartAxis::SetTitleRotated(bool r) {
  if (r == titleRotated_) return;
  titleRotated_ = r;
  Changed();
}
void TChartAxis::SetAxisVisible(bool v) {
  if (v == axisVisible_) return;
  axisVisible_ = v;
  Changed();
}

int TChartAxis::ValueToX(double v) const {
  const QRect p = owner_->PlotRect();
  return Scale::Of(*this, p.left(), p.right() - p.left()).Pos(v);
}
int TChartAxis::ValueToY(double v) const {
  const QRect p = owner_->PlotRect();
  return Scale::Of(*this, p.bottom(), p.top() - p.bottom()).Pos(v);
}
double TChartAxis::XToValue(int x) const {
  const QRect p = owner_->PlotRect();
  return Scale::Of(*this, p.left(), p.right() - p.left()).Value(x);
}
double TChartAxis::YToValue(int y) const {
  const QRect p = owner_->PlotRect();
  return Scale::Of(*this, p.bottom(), p.top() - p.bottom()).Value(y);
}

std::vector<double> TChartAxis::LabelValues() const {
  owner_->PlotRect();  // brings the layout up to date
  const Layout& l = owner_->impl_->layout;
  return horizontal_ ? l.bottom.values : l.left.values;
}

QString TChartAxis::FormatLabel(double v) const {
  return FormatValue(v, valuesFormat_);
}

namespace chart_detail {

Scale Scale::Of(const TChartAxis& axis, double start, double span) {
  Scale s;
  s.start = start;
  s.span = span;
  s.lo = axis.Minimum();
  s.hi = axis.Maximum();
  s.log = axis.Logarithmic();
  s.l0 = SafeLn(s.lo);
  s.l1 = SafeLn(s.hi);
  return s;
}

double Scale::Value(double pixel) const {
  if (span == 0) return lo;
  const double f = (pixel - start) / span;
  if (log) return std::exp(l0 + f * (l1 - l0));
  return lo + f * (hi - lo);
}

double Scale::Boundary(int pixel) const {
  return Value(pixel + 0.5);
}

double NextNiceStep(double step) {
  if (!(step > 0) || !std::isfinite(step)) return 1.0;
  const double decade = std::pow(10.0, std::floor(std::log10(step)));
  for (double m : {1.0, 2.0, 5.0, 10.0, 20.0})
    if (m * decade > step * (1 + 1e-9)) return m * decade;
  return 20.0 * decade;
}

double NiceStepAtLeast(double x) {
  if (!(x > 0) || !std::isfinite(x)) return 1.0;
  const double decade = std::pow(10.0, std::floor(std::log10(x)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * decade >= x * (1 - 1e-9)) return m * decade;
  return 10.0 * decade;
}

QString FormatValue(double v, const QString& pattern) {
  const QLocale locale;
  const QString point = locale.decimalPoint();
  if (pattern.isEmpty()) {
    if (std::abs(v) < 1e-12) v = 0;
    QString s = QString::number(v, 'g', 10);
    s.replace(QLatin1Char('.'), point);
    return s;
  }
  const QString section = pattern.section(QLatin1Char(';'), 0, 0);
  const auto isNumberChar = [](QChar c) {
    return c == u'0' || c == u'#' || c == u'.' || c == u',';
  };
  int first = -1, last = -1;
  for (int i = 0; i < section.size(); ++i) {
    if (section[i] == u'0' || section[i] == u'#') {
      if (first < 0) first = i;
      last = i;
    }
  }
  if (first < 0) return section;  // no digits at all: the pattern is the text
  while (first > 0 && isNumberChar(section[first - 1]))
    --first;
  while (last + 1 < section.size() && isNumberChar(section[last + 1]))
    ++last;
  const QString prefix = section.left(first), suffix = section.mid(last + 1);
  const QString number = section.mid(first, last - first + 1);
  const int dot = number.indexOf(QLatin1Char('.'));
  const QString intPart = dot < 0 ? number : number.left(dot);
  const QString fracPart = dot < 0 ? QString() : number.mid(dot + 1);
  const bool grouping = intPart.contains(QLatin1Char(','));
  const int minInt = static_cast<int>(intPart.count(QLatin1Char('0')));
  const int minFrac = static_cast<int>(fracPart.count(QLatin1Char('0')));
  const int maxFrac = minFrac + static_cast<int>(fracPart.count(QLatin1Char('#')));

  // Half away from zero, as whole-number labels are expected to round.
  const double scale = std::pow(10.0, maxFrac);
  double r = std::round(std::abs(v) * scale) / scale;
  const bool negative = v < 0 && r != 0;
  QString digits = QString::number(r, 'f', maxFrac);
  QString ip = digits, fp;
  if (maxFrac > 0) {
    ip = digits.section(QLatin1Char('.'), 0, 0);
    fp = digits.section(QLatin1Char('.'), 1, 1);
    while (fp.size() > minFrac && fp.endsWith(QLatin1Char('0')))
      fp.chop(1);
  }
  if (ip == QLatin1String("0") && minInt == 0 && !fp.isEmpty()) ip.clear();
  while (ip.size() < minInt)
    ip.prepend(QLatin1Char('0'));
  if (grouping && ip.size() > 3) {
    const QString sep = locale.groupSeparator();
    for (int i = static_cast<int>(ip.size()) - 3; i > 0; i -= 3)
      ip.insert(i, sep);
  }
  QString out = ip;
  if (!fp.isEmpty()) out += point + fp;
  if (negative) out.prepend(QLatin1Char('-'));
  return prefix + out + suffix;
}

AxisLabels ComputeLabels(const TChartAxis& axis, const Scale& scale, int lengthPx,
                         const QFontMetrics& fm) {
  AxisLabels out;
  const double lo = axis.Minimum(), hi = axis.Maximum();
  if (!(hi > lo) || lengthPx < 2) return out;
  const bool horizontal = axis.Horizontal();
  const bool logDecades = axis.Logarithmic() && axis.Increment() <= 0;
  double step = axis.Increment();
  if (step <= 0 && !logDecades) {
    // No step given: aim at labels about three label sizes apart.
    const int size = horizontal ? fm.horizontalAdvance(axis.FormatLabel(hi)) + 10 : fm.height();
    step = NiceStepAtLeast((hi - lo) * 3.0 * size / lengthPx);
  }
  const double eps = (hi - lo) * 1e-9;
  for (int attempt = 0; attempt < 400; ++attempt) {
    out = AxisLabels();
    if (logDecades) {
      if (hi <= 0) return out;
      const double k0 = std::ceil(std::log10(std::max(lo, 1e-300)) - 1e-9);
      const double k1 = std::floor(std::log10(hi) + 1e-9);
      for (double k = k1; k >= k0 && out.values.size() <= static_cast<size_t>(lengthPx); --k)
        out.values.push_back(std::pow(10.0, k));
    } else {
      const double kHi = std::floor(hi / step + 1e-9), kLo = std::ceil(lo / step - 1e-9);
      // More than one label per pixel cannot be shown; such a step would only stall drawing.
      if (kHi - kLo + 1 > lengthPx) {
        step = NiceStepAtLeast((hi - lo) / lengthPx * 1.0000001);
        continue;
      }
      for (double k = kHi; k >= kLo; --k) {
        double v = k * step;
        if (std::abs(v) < step * 1e-9) v = 0;
        if (v >= lo - eps && v <= hi + eps) out.values.push_back(v);
      }
    }
    for (double v : out.values) {
      out.pos.push_back(scale.Pos(v));
      out.texts.push_back(axis.FormatLabel(v));
      out.maxWidth = std::max(out.maxWidth, fm.horizontalAdvance(out.texts.back()));
    }
    if (axis.LabelsSeparation() <= 0 || out.values.size() < 2 || logDecades) break;
    const double size = horizontal ? out.maxWidth : fm.height();
    const double need = size * (100.0 + axis.LabelsSeparation()) / 100.0;
    int gap = lengthPx;
    for (size_t i = 1; i < out.pos.size(); ++i)
      gap = std::min(gap, std::abs(out.pos[i] - out.pos[i - 1]));
    if (gap >= need) break;
    step = NextNiceStep(step);
  }
  return out;
}

QFont LabelFont() {
  QFont f;
  f.setPixelSize(PointsToPixels(8));
  return f;
}
QFont TitleFont() {
  return LabelFont();
}
QFont ChartTitleFont() {
  QFont f;
  f.setPixelSize(PointsToPixels(10));
  return f;
}
int PointsToPixels(int points) {
  return static_cast<int>(std::lround(points * 96.0 / 72.0));
}

void LineRects(int x0, int y0, int x1, int y1, bool dotted, std::vector<QRect>& out) {
  const int dx = std::abs(x1 - x0), dy = std::abs(y1 - y0);
  if (dx == 0 && dy == 0) return;
  const int sx = x1 > x0 ? 1 : -1, sy = y1 > y0 ? 1 : -1;
  if (!dotted && dx == 0) {
    out.emplace_back(QPoint(x0, std::min(y0, y1 - sy)), QPoint(x0, std::max(y0, y1 - sy)));
    return;
  }
  if (!dotted && dy == 0) {
    out.emplace_back(QPoint(std::min(x0, x1 - sx), y0), QPoint(std::max(x0, x1 - sx), y0));
    return;
  }
  // Bresenham along the major axis, end pixel left out; a dotted line sets every other pixel.
  const bool xMajor = dx >= dy;
  const int n = xMajor ? dx : dy;
  int err = (xMajor ? dx : dy) / 2;
  int x = x0, y = y0;
  QRect run;
  bool haveRun = false;
  auto flush = [&] {
    if (haveRun) out.push_back(run);
    haveRun = false;
  };
  for (int i = 0; i < n; ++i) {
    if (!dotted || i % 2 == 0) {
      if (!dotted && haveRun && (xMajor ? run.top() == y : run.left() == x)) {
        run = run.united(QRect(x, y, 1, 1));
      } else {
        flush();
        run = QRect(x, y, 1, 1);
        haveRun = true;
      }
    }
    if (xMajor) {
      x += sx;
      err -= dy;
      if (err < 0) {
        y += sy;
        err += dx;
      }
    } else {
      y += sy;
      err -= dx;
      if (err < 0) {
        x += sx;
        err += dy;
      }
    }
  }
  flush();
}

}  // namespace chart_detail

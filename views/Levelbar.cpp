#include "Levelbar.h"

#include <QPainter>
#include <climits>
#include <cmath>

TLevelBar::TLevelBar(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TLevelBar::SetMinimum(int v) {
  if (v == minimum_) return;
  minimum_ = v;
  update();
}
void TLevelBar::SetMaximum(int v) {
  if (v == maximum_) return;
  maximum_ = v;
  update();
}
void TLevelBar::SetPosition(int v) {
  if (v == position_) return;
  const int before = FilledHeight();
  position_ = v;
  // Blocks can come hundreds of times a second: only a change of the bar's pixels is drawn.
  if (FilledHeight() != before) update();
}
void TLevelBar::SetBarColor(const QColor& c) {
  barColor_ = c;
  update();
}
void TLevelBar::SetBackColor(const QColor& c) {
  backColor_ = c;
  update();
}

int TLevelBar::FilledHeight() const {
  if (position_ <= minimum_) return 0;
  if (position_ >= maximum_) return height();
  const double share =
      (static_cast<double>(position_) - minimum_) / (static_cast<double>(maximum_) - minimum_);
  return static_cast<int>(std::lround(share * height()));
}

void TLevelBar::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), backColor_);
  const int filled = FilledHeight();
  if (filled > 0) p.fillRect(0, height() - filled, width(), filled, barColor_);
}

int TenthsOfDb(double level) {
  if (std::isnan(level)) return INT_MIN;
  const double tenths = std::trunc(level * 10.0);
  if (tenths <= static_cast<double>(INT_MIN)) return INT_MIN;
  if (tenths >= static_cast<double>(INT_MAX)) return INT_MAX;
  return static_cast<int>(tenths);
}

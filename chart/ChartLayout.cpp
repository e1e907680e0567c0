// The control's layout (plot area, labels, titles, legend, read-out) and its cached background:
// fills, grid, axes, ticks, labels and titles.
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "ChartImpl.h"

using namespace chart_detail;

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

// Mouse zoom and panning.
#include <QApplication>
#include <QMenu>
#include <QMouseEvent>
#include <cmath>
#include <cstdlib>

#include "ChartImpl.h"

using namespace chart_detail;

namespace {
constexpr int kZoomThreshold = 16;
}  // namespace

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

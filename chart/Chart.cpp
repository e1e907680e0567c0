// The chart control: properties, invalidation, the read-out, the chart's menu and the export.
#include "Chart.h"

#include <QActionEvent>
#include <QContextMenuEvent>
#include <QMenu>
#include <QPainter>
#include <QToolButton>
#include <algorithm>

#include "ChartImpl.h"

using namespace chart_detail;

namespace {

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
  if (plot.isEmpty())
    update();
  else
    update(QRect(plot.topLeft(), QSize(1, 1)));
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
    ShowChanges();
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

#include "Levelbar.h"

#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <QLocale>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace {

// Bar units per dB in both tool windows.
constexpr double kUnitsPerDb = 10.0;

// What a screen reader gets: a progress bar whose value is the level in dB.
class TLevelBarAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
 public:
  explicit TLevelBarAccessible(TLevelBar* bar) : QAccessibleWidget(bar, QAccessible::ProgressBar) {}
  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::ValueInterface) return static_cast<QAccessibleValueInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Value)
      return QLocale().toString(currentValue().toDouble(), 'f', 1) + " dB";
    return QAccessibleWidget::text(t);
  }
  QVariant currentValue() const override { return Bar()->Position() / kUnitsPerDb; }
  void setCurrentValue(const QVariant&) override {}
  QVariant maximumValue() const override { return Bar()->Maximum() / kUnitsPerDb; }
  QVariant minimumValue() const override { return Bar()->Minimum() / kUnitsPerDb; }
  QVariant minimumStepSize() const override { return 1.0 / kUnitsPerDb; }

 private:
  const TLevelBar* Bar() const { return static_cast<const TLevelBar*>(widget()); }
};

QAccessibleInterface* LevelBarAccessible(const QString& className, QObject* object) {
  if (className == QLatin1String("TLevelBar") && object && object->isWidgetType())
    return new TLevelBarAccessible(static_cast<TLevelBar*>(object));
  return nullptr;
}

}  // namespace

TLevelBar::TLevelBar(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  static const bool installed = [] {
    QAccessible::installFactory(LevelBarAccessible);
    return true;
  }();
  (void)installed;
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
  // Blocks can come hundreds of times a second: only the rows whose colour changed are drawn.
  const int after = FilledHeight();
  if (after != before)
    update(QRect(0, height() - std::max(before, after), width(), std::abs(after - before)));
  if (QAccessible::isActive()) {
    QAccessibleValueChangeEvent event(this, position_ / kUnitsPerDb);
    QAccessible::updateAccessibility(&event);
  }
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

void TLevelBar::paintEvent(QPaintEvent* event) {
  // The bar from below, the background above it, each only where the paint asks.
  const int top = height() - FilledHeight();
  QPainter p(this);
  const QRect asked = event->rect();
  const QRect back = QRect(0, 0, width(), top) & asked;
  const QRect bar = QRect(0, top, width(), height() - top) & asked;
  if (!back.isEmpty()) p.fillRect(back, backColor_);
  if (!bar.isEmpty()) p.fillRect(bar, barColor_);
}

int TenthsOfDb(double level) {
  if (std::isnan(level)) return INT_MIN;
  const double tenths = std::trunc(level * 10.0);
  if (tenths <= static_cast<double>(INT_MIN)) return INT_MIN;
  if (tenths >= static_cast<double>(INT_MAX)) return INT_MAX;
  return static_cast<int>(tenths);
}

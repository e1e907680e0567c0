// A vertical level bar counting in whole units (tenths of a dB in this program; screen readers
// get the level in dB). The position may lie outside the range: below it the bar is empty, above
// it full.
#pragma once

#include <QColor>
#include <QWidget>

class TLevelBar : public QWidget {
  Q_OBJECT
 public:
  explicit TLevelBar(QWidget* parent = nullptr);

  int Minimum() const { return minimum_; }
  int Maximum() const { return maximum_; }
  int Position() const { return position_; }
  void SetMinimum(int v);
  void SetMaximum(int v);
  void SetPosition(int v);

  QColor BarColor() const { return barColor_; }
  void SetBarColor(const QColor& c);
  QColor BackColor() const { return backColor_; }
  void SetBackColor(const QColor& c);

  // Filled height in pixels for the current range and position.
  int FilledHeight() const;

  QSize sizeHint() const override { return {14, 240}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int minimum_ = 0;
  int maximum_ = 100;
  int position_ = 0;
  QColor barColor_ = QColor(0x66, 0xFF, 0x00);
  QColor backColor_ = Qt::black;
};

// The bar colour of both tool windows: a yellowish green on black.
inline const QColor kLevelBarColour(0x66, 0xFF, 0x00);

// 10 * level truncated toward zero, kept inside int: a level beyond the int range (only a
// wild correction can make one) stands at the nearest end instead of overflowing.
int TenthsOfDb(double level);

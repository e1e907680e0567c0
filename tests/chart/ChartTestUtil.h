// Helpers shared by the chart tests: the two charts the program builds, and pixel counting.
#pragma once

#include <QApplication>
#include <QImage>
#include <QLocale>
#include <QMouseEvent>
#include <functional>

#include "Chart.h"

// The main window's spectrum chart as stored with the window.
inline void SetUpSpectrumChart(TChart& c) {
  c.resize(780, 435);
  c.SetBackColor(Qt::white);
  c.SetBackWallColor(Qt::white);
  c.SetMargins(2, 1, 0, 0);
  c.SetTitleVisible(false);
  c.SetLegendVisible(false);
  c.SetView3D(false);
  TChartAxis& b = c.BottomAxis();
  b.SetRange(10, 22050);
  b.SetLogarithmic(true);
  b.SetIncrement(10000);
  b.SetAxisValuesFormat("#");
  b.SetLabelsSeparation(0);
  b.SetMinorTickCount(4);
  b.SetAxisVisible(false);
  b.SetTitleCaption("Frequency [Hz]");
  TChartAxis& l = c.LeftAxis();
  l.SetRange(-100, 0);
  l.SetAxisValuesFormat("###");
  l.SetMinorTickCount(4);
  l.SetAxisVisible(false);
  l.SetTitleCaption("Amplitude [dB]");
  const char* names[] = {"L", "R", "Lmax", "Rmax"};
  const QColor colours[] = {Qt::red, Qt::green, Qt::green, Qt::green};
  for (int i = 0; i < 4; ++i) {
    TChartSeries* s = c.AddSeries(TSeriesKind::Line, names[i]);
    s->SetSeriesColor(colours[i]);
    s->SetPointerVisible(false);
    s->SetMarksVisible(false);
  }
}

// The vector scope's point chart as stored with its window.
inline TChartSeries* SetUpScopeChart(TChart& c) {
  c.resize(265, 257);
  c.SetBackWallTransparent(true);
  c.SetTitleVisible(false);
  c.SetLegendVisible(false);
  c.SetAllowZoom(false);
  for (TChartAxis* a : {&c.BottomAxis(), &c.LeftAxis()}) {
    a->SetRange(-1, 1);
    a->SetAxisVisible(false);
  }
  c.BottomAxis().SetTitleCaption("X");
  c.LeftAxis().SetTitleCaption("Y");
  c.LeftAxis().SetTitleRotated(false);
  TChartSeries* s = c.AddSeries(TSeriesKind::Point, "Series1");
  s->SetSeriesColor(Qt::red);
  s->SetPointerVisible(true);
  s->SetPointerStyle(TPointerStyle::Cross);
  s->SetPointerSize(1, 1);
  s->SetPointerBrushColor(Qt::red);
  s->SetMarksVisible(false);
  return s;
}

inline int CountPixels(const QImage& img, const QRect& area, const std::function<bool(QRgb)>& f) {
  int n = 0;
  const QRect r = area.intersected(img.rect());
  for (int y = r.top(); y <= r.bottom(); ++y)
    for (int x = r.left(); x <= r.right(); ++x)
      if (f(img.pixel(x, y) | 0xff000000u)) ++n;
  return n;
}

inline bool Is(QRgb a, QRgb b) {
  return (a | 0xff000000u) == (b | 0xff000000u);
}

// A mouse press, move or release sent straight to the chart, as the window system would.
inline void Send(TChart& c, QEvent::Type type, Qt::MouseButton button, QPoint at) {
  const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : button;
  QMouseEvent e(type, at, c.mapToGlobal(at), type == QEvent::MouseMove ? Qt::NoButton : button,
                held, Qt::NoModifier);
  QApplication::sendEvent(&c, &e);
}

inline void Drag(TChart& c, Qt::MouseButton button, QPoint from, QPoint to) {
  Send(c, QEvent::MouseButtonPress, button, from);
  Send(c, QEvent::MouseMove, button, (from + to) / 2);
  Send(c, QEvent::MouseMove, button, to);
  Send(c, QEvent::MouseButtonRelease, button, to);
}

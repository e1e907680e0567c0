// The decade grid of the logarithmic frequency axis, drawn after the chart.
#include <QColor>
#include <QString>

#include "Chart.h"
#include "Mainwindowtonvista.h"

const std::vector<TLogGridLine>& LogGridLines() {
  // Labels are written left of their line by about half their width.
  static const std::vector<TLogGridLine> lines = {
      {20, true, "20", 1},        {30, false, "", 0},    {40, false, "", 0},
      {50, true, "50", 1},        {60, false, "", 0},    {70, false, "", 0},
      {80, false, "", 0},         {90, false, "", 0},    {100, true, "100", 7},
      {200, true, "200", 7},      {300, false, "", 0},   {400, false, "", 0},
      {500, true, "500", 7},      {600, false, "", 0},   {700, false, "", 0},
      {800, false, "", 0},        {900, false, "", 0},   {1000, true, "1000", 12},
      {2000, true, "2000", 12},   {3000, false, "", 0},  {4000, false, "", 0},
      {5000, true, "5000", 12},   {6000, false, "", 0},  {7000, false, "", 0},
      {8000, false, "", 0},       {9000, false, "", 0},  {10000, true, "10000", 16},
      {20000, true, "20000", 16}, {30000, false, "", 0}, {40000, true, "40000", 16}};
  return lines;
}

void TMainwindow::DrawLogGrid(TChartCanvas& canvas) {
  canvas.SetPenColor(QColor(128, 128, 128));
  canvas.SetPenMode(pmCopy);
  canvas.SetPenStyle(Qt::DotLine);
  canvas.SetPenWidth(1);
  canvas.SetFontCharset(1);
  canvas.SetFontColor(Qt::black);
  canvas.SetFontHeight(-11);
  canvas.SetFontSize(8);
  canvas.SetBrushStyle(bsClear);
  GridBase = Chart1->LeftAxis().ValueToY(YAxisMin);
  GridTickEnd = GridBase + 4;
  for (const TLogGridLine& line : LogGridLines()) {
    const int x = Chart1->BottomAxis().ValueToX(line.Frequency);
    canvas.MoveTo(x, GridTop);
    canvas.LineTo(x, line.Labelled ? GridTickEnd : GridBase);
    if (line.Labelled)
      canvas.TextOut(x - line.Offset, GridTickEnd, QString::fromLatin1(line.Label));
  }
}

#include "Mainwindowtonvista.h"

#include <QComboBox>
#include <QPushButton>

#include "Chart.h"

TMainwindow* Mainwindow = nullptr;

TMainwindow::TMainwindow(QWidget* owner) : QWidget(owner) {
  Mainwindow = this;
  resize(800, 600);
  Chart1 = new TChart(this);
  Chart1->setGeometry(5, 5, 780, 435);
  BStart = new QPushButton("Start", this);
  BStart->setGeometry(304, 480, 49, 25);
  BStop = new QPushButton("Stop", this);
  BStop->setGeometry(304, 520, 49, 25);
  CMark1 = new QComboBox(this);
  CMark2 = new QComboBox(this);
  Series1 = Chart1->AddSeries(TSeriesKind::Line, "L");
  Series2 = Chart1->AddSeries(TSeriesKind::Line, "R");
  Series3 = Chart1->AddSeries(TSeriesKind::Line, "Lmax");
  Series4 = Chart1->AddSeries(TSeriesKind::Line, "Rmax");
  setWindowTitle("TonvistaV1.9");
}
TMainwindow::~TMainwindow() = default;
void TMainwindow::SetAxisLimits(int xAxisMin, int xAxisMax, int yAxisMin, int yAxisMax) {
  XAxisMin = xAxisMin;
  XAxisMax = xAxisMax;
  YAxisMin = yAxisMin;
  YAxisMax = yAxisMax;
}
void TMainwindow::ScaleAxes() {}
void TMainwindow::ClearTrace(int) {}
void TMainwindow::AddTracePoint(int, double, double, uint32_t) {}

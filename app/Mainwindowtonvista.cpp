#include "Mainwindowtonvista.h"

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
  setWindowTitle("TonvistaV1.9");
}
TMainwindow::~TMainwindow() = default;
void TMainwindow::ScaleAxes() {}
void TMainwindow::ClearTrace(int) {}
void TMainwindow::AddTracePoint(int, double, double, uint32_t) {}

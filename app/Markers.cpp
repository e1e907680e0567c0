// The two frequency markers: their lists, step buttons with auto-repeat, read-outs and drawing.
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <cmath>

#include "Application.h"
#include "Chart.h"
#include "Mainwindowtonvista.h"
#include "Peakmarkers.h"

void TMainwindow::ResetMarkers() {
  Mark1Bin = 0;
  Mark1Frequ = 0.0;
  Mark2Bin = 0;
  Mark2Frequ = 0.0;
  Mark1Peak = false;
  Mark2Peak = false;
  // The read-outs say where the markers now stand; the levels follow at the next drawing.
  if (!LMark1Frequ) return;
  for (int marker : {1, 2})
    if ((marker == 1 ? CBMarker1 : CBMarker2)->isChecked()) ShowMarkerFrequency(marker);
  if (CBMarker1->isChecked() && CBMarker2->isChecked()) LDeltaFrequ->setText(FormatReadout(0.0));
  Chart1->update();
}

void TMainwindow::FillMarkerLists(int kind, bool maxHold) {
  QStringList names{QStringLiteral("L")};
  if (kind == 2) names << QStringLiteral("R");
  if (maxHold) {
    names << QStringLiteral("Lmax");
    if (kind == 2) names << QStringLiteral("Rmax");
  }
  for (QComboBox* list : {CMark1, CMark2}) {
    list->clear();
    list->addItems(names);
    list->setCurrentIndex(0);
  }
}

void TMainwindow::FocusStartOrStop() {
  if (BStart->isEnabled())
    BStart->setFocus();
  else
    BStop->setFocus();
}

void TMainwindow::ShowMarkerFrequency(int marker) {
  const double frequ = marker == 1 ? Mark1Frequ : Mark2Frequ;
  (marker == 1 ? LMark1Frequ : LMark2Frequ)
      ->setText((marker == 1 ? Mark1Peak : Mark2Peak) ? FormatPeakFrequency(frequ)
                                                      : FormatReadout(frequ));
}

void TMainwindow::StepMarker(int button) {
  const int marker = button < 2 ? 1 : 2;
  const bool up = button % 2 == 1;
  double& frequ = marker == 1 ? Mark1Frequ : Mark2Frequ;
  int& bin = marker == 1 ? Mark1Bin : Mark2Bin;
  const double step = ShownRate() / FFTLength;
  // From a peak between bins the step starts at the peak's bin.
  if (bool& peak = marker == 1 ? Mark1Peak : Mark2Peak; peak) {
    peak = false;
    frequ = bin * step;
  }
  if (up) {
    frequ += step;
    bin += 1;
    const double top = std::trunc(ShownRate() * 0.5);
    if (frequ > top) {
      frequ = top;
      bin = static_cast<int>(FFTLength * 0.5);
    }
  } else {
    frequ -= step;
    bin -= 1;
    if (frequ < 0) {
      frequ = 0.0;
      bin = 0;
    }
  }
  ShowMarkerFrequency(marker);
}

void TMainwindow::MarkButtonClick(int button) {
  if (!(button < 2 ? CBMarker1 : CBMarker2)->isChecked()) return;
  StepMarker(button);
  Chart1->update();
  FocusStartOrStop();
}

void TMainwindow::MarkButtonMouseDown(int button) {
  if (!(button < 2 ? CBMarker1 : CBMarker2)->isChecked()) return;
  MarkRepeatCount = 0;
  MarkRepeatButton = button;
  Timer1->start();
}

void TMainwindow::MarkButtonMouseUp(int button) {
  if (!(button < 2 ? CBMarker1 : CBMarker2)->isChecked()) return;
  Timer1->stop();
  MarkRepeatCount = 0;
}

void TMainwindow::Timer1Timer() {
  StepMarker(MarkRepeatButton);
  MarkRepeatCount += 1;
  Timer1->setInterval(MarkRepeatCount < 5 ? 400 : 5);
  Chart1->update();
}

bool TMainwindow::eventFilter(QObject* watched, QEvent* event) {
  const QObject* steps[] = {BMark1_Dec, BMark1_Inc, BMark2_Dec, BMark2_Inc};
  for (int i = 0; i < 4; ++i) {
    if (watched != steps[i]) continue;
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick)
      Guarded([this, i] { MarkButtonMouseDown(i); })();
    else if (event->type() == QEvent::MouseButtonRelease)
      Guarded([this, i] { MarkButtonMouseUp(i); })();
  }
  return QWidget::eventFilter(watched, event);
}

void TMainwindow::CBMarker1Click() {
  MarkerBoxClick(1);
}
void TMainwindow::CBMarker2Click() {
  MarkerBoxClick(2);
}

void TMainwindow::MarkerBoxClick(int marker) {
  const bool first = marker == 1;
  QComboBox* list = first ? CMark1 : CMark2;
  if ((first ? CBMarker1 : CBMarker2)->isChecked()) {
    list->setEnabled(true);
    ShowMarkerFrequency(marker);
  } else {
    list->setEnabled(false);
    (first ? Mark1Peak : Mark2Peak) = false;
    (first ? LMark1Lev : LMark2Lev)->setText(kNoValue);
    (first ? LMark1Frequ : LMark2Frequ)->setText(kNoValue);
  }
  FocusStartOrStop();
  Chart1->update();
}

TChartSeries* TMainwindow::SeriesOfName(const QString& name) const {
  if (name == QLatin1String("L")) return Series1;
  if (name == QLatin1String("R")) return Series2;
  if (name == QLatin1String("Lmax")) return Series3;
  if (name == QLatin1String("Rmax")) return Series4;
  return nullptr;
}

void TMainwindow::DrawMarker1(TChartCanvas& canvas) {
  DrawMarker(canvas, 1);
}
void TMainwindow::DrawMarker2(TChartCanvas& canvas) {
  DrawMarker(canvas, 2);
}

void TMainwindow::DrawMarker(TChartCanvas& canvas, int marker) {
  const bool first = marker == 1;
  const int bin = first ? Mark1Bin : Mark2Bin;
  double& level = first ? Mark1Lev : Mark2Lev;
  bool& valid = first ? Mark1LevValid : Mark2LevValid;
  canvas.SetPenColor(Qt::black);
  canvas.SetPenMode(pmCopy);
  canvas.SetPenStyle(Qt::SolidLine);
  canvas.SetPenWidth(2);

  // A marker may stand one past the last point, and a trace may be empty right after Start:
  // then there is no level to read, and nothing is read outside the series.
  const TChartSeries* series = SeriesOfName((first ? CMark1 : CMark2)->currentText());
  if (!series) {
    level = -200.0;
    valid = true;
  } else if (bin >= 0 && bin < series->PointCount()) {
    level = series->YValues()[static_cast<size_t>(bin)];
    valid = true;
    if (first ? Mark1Peak : Mark2Peak) {
      // The peak may drift by a bin from block to block; the marker goes with it.
      const PeakEstimate peak = PeakNearBin(*series, WindowIndex.load(), bin);
      if (peak.Found) {
        (first ? Mark1Bin : Mark2Bin) = peak.Index;
        (first ? Mark1Frequ : Mark2Frequ) = peak.Frequency;
        level = peak.Level;
        ShowMarkerFrequency(marker);
      }
    }
  } else {
    valid = false;
  }

  if (valid) {
    const int x = Chart1->BottomAxis().ValueToX(first ? Mark1Frequ : Mark2Frequ);
    const int y = Chart1->LeftAxis().ValueToY(level);
    canvas.MoveTo(x, y);
    canvas.LineTo(x + 5, y - 5);
    canvas.MoveTo(x, y);
    canvas.LineTo(x - 5, y - 5);
    canvas.TextOut(x + 10, y - 10, first ? QStringLiteral("M1") : QStringLiteral("M2"));
  }
  (first ? LMark1Lev : LMark2Lev)->setText(valid ? FormatReadout(level) : kNoValue);

  if (first) {
    if (!CBMarker2->isChecked()) {
      LDeltaFrequ->setText(kNoValue);
      LDeltaLev->setText(kNoValue);
    }
    return;
  }
  if (CBMarker1->isChecked()) {
    LDeltaFrequ->setText(FormatReadout(Mark2Frequ - Mark1Frequ));
    LDeltaLev->setText(Mark1LevValid && Mark2LevValid
                           ? FormatReadout(std::trunc(std::fabs(Mark2Lev - Mark1Lev)))
                           : kNoValue);
  } else {
    LDeltaFrequ->setText(kNoValue);
    LDeltaLev->setText(kNoValue);
  }
}

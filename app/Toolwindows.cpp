#include "Toolwindows.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>

#include "Chart.h"
#include "Dlgspectrogram.h"
#include "Mainwindowtonvista.h"

// A new view adds three lines here: its creation, its registration (Mainwindow->
// SpectrumConsumers or SampleConsumers, or both), and its deletion in DestroyToolWindows.
// Its menu entry goes to the chart's menu.

namespace {

void FollowMainAxes() {
  if (!FSpectrogram || !Mainwindow || !Mainwindow->CFreqAxis) return;
  FSpectrogram->SetMainAxis(Mainwindow->CFreqAxis->ItemIndex() == 1);
  FSpectrogram->SetFrequencyLimits(Mainwindow->XAxisMin, Mainwindow->XAxisMax);
}

}  // namespace

void CreateToolWindows() {
  if (!Mainwindow) return;
  new TFSpectrogram;
  Mainwindow->SpectrumConsumers.push_back(FSpectrogram);
  // The main window rescales its axes with every block and on every change of its axis or
  // limits; both setters return at once when nothing changed.
  Mainwindow->OnAxesScaled = FollowMainAxes;
  FollowMainAxes();
  QAction* spectrogram = Mainwindow->Chart1->ChartMenu()->addAction("Spectrogram...", [] {
    if (!FSpectrogram) return;
    FollowMainAxes();
    FSpectrogram->show();
    FSpectrogram->raise();
  });
  spectrogram->setShortcut(QKeySequence("Ctrl+G"));
}

void DestroyToolWindows() {
  if (!Mainwindow) return;
  Mainwindow->SpectrumConsumers.clear();
  Mainwindow->SampleConsumers.clear();
  Mainwindow->OnAxesScaled = nullptr;
  delete FSpectrogram;
  FSpectrogram = nullptr;
}

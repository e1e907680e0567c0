#include "Toolwindows.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>

#include "Application.h"
#include "Chart.h"
#include "Dlgdistortion.h"
#include "Dlgoctaveanalyser.h"
#include "Dlgspectrogram.h"
#include "Fileinput.h"
#include "Mainwindowtonvista.h"
#include "Peakmarkers.h"
#include "Referencetraces.h"

// A new view adds three lines here: its creation, its registration (Mainwindow->
// SpectrumConsumers or SampleConsumers, or both), and its deletion in DestroyToolWindows.
// Its menu entry goes to the chart's menu.

namespace {

// A menu entry that shows a tool window.
void AddWindowEntry(const char* caption, const char* shortcut, QWidget* (*window)()) {
  auto* action = new QAction(QString::fromLatin1(caption), Mainwindow);
  action->setShortcut(QKeySequence(QString::fromLatin1(shortcut)));
  QObject::connect(action, &QAction::triggered, Mainwindow, Guarded([window] {
                     if (QWidget* w = window()) {
                       w->show();
                       w->raise();
                     }
                   }));
  Mainwindow->Chart1->ChartMenu()->addAction(action);
}

void FollowMainAxes() {
  if (!FSpectrogram || !Mainwindow || !Mainwindow->CFreqAxis) return;
  FSpectrogram->SetMainAxis(Mainwindow->CFreqAxis->ItemIndex() == 1);
  FSpectrogram->SetFrequencyLimits(Mainwindow->XAxisMin, Mainwindow->XAxisMax);
}

}  // namespace

void CreateToolWindows() {
  if (!Mainwindow) return;
  Mainwindow->SpectrumConsumers.push_back(new TFDistortion);
  AddWindowEntry("Distortion...", "Ctrl+D", [] { return static_cast<QWidget*>(FDistortion); });
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
  Mainwindow->StreamMeter = &(new TFOctaveAnalyser)->Meter();
  FOctaveAnalyser->OnTraceCorrection = [](std::function<double(double)> correction) {
    if (Mainwindow) Mainwindow->TraceCorrection = std::move(correction);
  };
  AddWindowEntry("Octave analyser...", "Ctrl+Shift+O",
                 [] { return static_cast<QWidget*>(FOctaveAnalyser); });

  QMenu* menu = Mainwindow->Chart1->ChartMenu();
  menu->addSeparator();
  CreatePeakEntries(*Mainwindow);
  menu->addSeparator();
  Mainwindow->SpectrumConsumers.push_back(new TReferenceTraces(Mainwindow));
  menu->addSeparator();
  new TFileInput(Mainwindow);
}

void DestroyToolWindows() {
  if (!Mainwindow) return;
  Mainwindow->SpectrumConsumers.clear();
  Mainwindow->SampleConsumers.clear();
  Mainwindow->StreamMeter = nullptr;
  delete FOctaveAnalyser;
  delete ReferenceTraces;
  delete FileInput;
  delete FDistortion;
  FDistortion = nullptr;
  Mainwindow->OnAxesScaled = nullptr;
  delete FSpectrogram;
  FSpectrogram = nullptr;
}

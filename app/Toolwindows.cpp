#include "Toolwindows.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>
#include <QPushButton>
#include <memory>
#include <vector>

#include "Application.h"
#include "Chart.h"
#include "Dlgdistortion.h"
#include "Dlgimpulse.h"
#include "Dlgoctaveanalyser.h"
#include "Dlgspectrogram.h"
#include "Dlgtransfer.h"
#include "Fileinput.h"
#include "Mainwindowtonvista.h"
#include "Peakmarkers.h"
#include "Referencetraces.h"
#include "Streamfanout.h"

// A new tool window is one line of the start-up list in CreateToolWindows: Add(new TFWindow,
// "Caption...", "shortcut"). That creates it once (hidden), feeds it every block when it is a
// SpectrumConsumer, gives it its entry in the chart's menu, and destroys it with the others.
// Anything else it needs of the main window it asks for by a signal.

namespace {

// The tool windows in the order of creation; destroyed in the reverse order.
std::vector<QObject*> created;
// The octave analyser and the transfer window share the worker's one stream.
std::unique_ptr<StreamFanout> fanout;

template <class Window>
Window* Add(Window* window, const char* caption, const char* shortcut) {
  created.push_back(window);
  if constexpr (std::is_base_of_v<SpectrumConsumer, Window>)
    Mainwindow->SpectrumConsumers.push_back(window);
  auto* action = new QAction(QString::fromLatin1(caption), Mainwindow);
  action->setShortcut(QKeySequence(QString::fromLatin1(shortcut)));
  QObject::connect(action, &QAction::triggered, window, Guarded([window] {
                     window->show();
                     window->raise();
                   }));
  Mainwindow->Chart1->ChartMenu()->addAction(action);
  return window;
}

// Closing a window gives the focus back as the stored tool windows' close buttons do.
template <class Window>
void FocusStopOnClose(Window* window) {
  QObject::connect(window, &Window::Closed, Mainwindow, [] {
    if (Mainwindow && Mainwindow->BStop) Mainwindow->BStop->setFocus();
  });
}

}  // namespace

void CreateToolWindows() {
  if (!Mainwindow) return;
  Add(new TFDistortion, "Distortion...", "Ctrl+D");

  TFSpectrogram* spectrogram = Add(new TFSpectrogram, "Spectrogram...", "Ctrl+G");
  // Follows the main chart's frequency axis and limits (both setters return at once when
  // nothing changed).
  QObject::connect(Mainwindow, &TMainwindow::AxesScaled, spectrogram,
                   [spectrogram](bool logarithmic, int low, int high) {
                     spectrogram->SetMainAxis(logarithmic);
                     spectrogram->SetFrequencyLimits(low, high);
                   });
  spectrogram->SetMainAxis(Mainwindow->CFreqAxis->ItemIndex() == 1);
  spectrogram->SetFrequencyLimits(Mainwindow->XAxisMin, Mainwindow->XAxisMax);
  FocusStopOnClose(spectrogram);

  TFOctaveAnalyser* octave = Add(new TFOctaveAnalyser, "Octave analyser...", "Ctrl+Shift+O");
  Mainwindow->StreamMeter = &octave->Meter();
  QObject::connect(octave, &TFOctaveAnalyser::TraceCorrectionChanged, Mainwindow,
                   [](std::function<double(double)> correction) {
                     Mainwindow->TraceCorrection = std::move(correction);
                   });
  Add(new TFImpulse, "Impulse response...", "Ctrl+Shift+E");

  TFTransfer* transfer = Add(new TFTransfer, "Transfer function...", "Ctrl+Shift+T");
  fanout = std::make_unique<StreamFanout>(
      std::vector<StreamConsumer*>{&octave->Meter(), &transfer->Meter()});
  Mainwindow->StreamFeed = fanout.get();
  FocusStopOnClose(transfer);

  QMenu* menu = Mainwindow->Chart1->ChartMenu();
  menu->addSeparator();
  CreatePeakEntries(*Mainwindow);
  menu->addSeparator();
  new TReferenceTraces(Mainwindow);
  menu->addSeparator();
  new TFileInput(Mainwindow);
}

void DestroyToolWindows() {
  if (!Mainwindow) return;
  Mainwindow->SpectrumConsumers.clear();
  Mainwindow->StreamMeter = nullptr;
  Mainwindow->StreamFeed = nullptr;
  delete ReferenceTraces;
  delete FileInput;
  for (auto it = created.rbegin(); it != created.rend(); ++it)
    delete *it;
  created.clear();
  fanout.reset();
  FDistortion = nullptr;
  FSpectrogram = nullptr;
  FOctaveAnalyser = nullptr;
  FTransfer = nullptr;
}

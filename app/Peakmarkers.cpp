#include "Peakmarkers.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLocale>
#include <QMenu>

#include "Application.h"
#include "Chart.h"
#include "Mainwindowtonvista.h"

namespace {

// The block the trace came from: N = 2 * points, bin spacing from its first two frequencies.
struct TraceShape {
  bool Valid = false;
  double FFTLength = 0;
  double Rate = 0;
  double BinHz = 0;
};

TraceShape ShapeOf(const TChartSeries& series) {
  TraceShape s;
  const int points = series.PointCount();
  if (points < 8) return s;
  s.BinHz = series.XValues()[1] - series.XValues()[0];
  if (!(s.BinHz > 0)) return s;
  s.FFTLength = 2.0 * points;
  s.Rate = s.BinHz * s.FFTLength;
  s.Valid = true;
  return s;
}

}  // namespace

PeakEstimate PeakNearBin(const TChartSeries& series, int window, int bin) {
  const TraceShape s = ShapeOf(series);
  if (!s.Valid) return {};
  const double from = (bin - 1) * s.BinHz, to = (bin + 1) * s.BinHz;
  return FindTone(series.YValues().data(), window, s.Rate, s.FFTLength, from, to);
}

bool PlacePeakMarkers(TMainwindow& w, const QString& trace) {
  const TChartSeries* series = trace == QLatin1String("R") ? w.Series2 : w.Series1;
  if (w.CMark1->findText(trace) < 0 || w.CMark2->findText(trace) < 0) return false;
  const TraceShape s = ShapeOf(*series);
  if (!s.Valid) return false;
  const int window = w.WindowIndex.load();
  const double* levels = series->YValues().data();
  // The tone wherever it is, next to DC included; a DC offset is none.
  const PeakEstimate first = FindTone(levels, window, s.Rate, s.FFTLength, 0, s.Rate / 2);
  if (first.BelowResolution) ShowMessage(&w, QString::fromLatin1(kBelowResolutionNote));
  if (!first.Found) return false;
  const double from = (MainLobeWidth(window) / 2 + 1) * s.BinHz;
  const PeakEstimate second =
      FindNextPeak(levels, window, s.Rate, s.FFTLength, from, s.Rate / 2, first);

  for (int marker : {1, 2}) {
    const PeakEstimate& p = marker == 1 ? first : second;
    if (!p.Found) continue;
    QCheckBox* box = marker == 1 ? w.CBMarker1 : w.CBMarker2;
    QComboBox* list = marker == 1 ? w.CMark1 : w.CMark2;
    box->setEnabled(true);
    box->setChecked(true);
    list->setEnabled(true);
    list->setCurrentIndex(list->findText(trace));
    (marker == 1 ? w.Mark1Bin : w.Mark2Bin) = p.Index;
    (marker == 1 ? w.Mark1Frequ : w.Mark2Frequ) = p.Frequency;
    (marker == 1 ? w.Mark1Peak : w.Mark2Peak) = true;
    (marker == 1 ? w.LMark1Frequ : w.LMark2Frequ)->setText(FormatPeakFrequency(p.Frequency));
  }
  w.Chart1->update();
  return true;
}

QString FormatPeakFrequency(double hz) {
  QLocale locale;
  locale.setNumberOptions(QLocale::OmitGroupSeparator);
  return locale.toString(hz, 'f', 2);
}

void CreatePeakEntries(TMainwindow& w) {
  QMenu* menu = w.Chart1->ChartMenu();
  const struct {
    const char* caption;
    const char* shortcut;
    const char* trace;
  } entries[] = {{"Peak", "Ctrl+P", "L"}, {"Peak R", "Ctrl+Shift+P", "R"}};
  for (const auto& e : entries) {
    auto* action = new QAction(QString::fromLatin1(e.caption), &w);
    action->setShortcut(QKeySequence(QString::fromLatin1(e.shortcut)));
    const QString trace = QString::fromLatin1(e.trace);
    QObject::connect(action, &QAction::triggered, &w,
                     Guarded([&w, trace] { PlacePeakMarkers(w, trace); }));
    menu->addAction(action);
  }
}

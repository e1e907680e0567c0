// "Peak" and "Peak R" in the chart's menu: M1 on the highest peak of a trace, M2 on the
// next-highest peak more than three main-lobe widths away, both read between bins.
#pragma once

#include <QString>

#include "Peakfinder.h"

class TChartSeries;
class TMainwindow;

// The tone within a bin of bin `bin` of a spectrum trace (point k at k times the bin spacing),
// estimated between bins under the given window, next to DC as well; not Found where there is
// none, or where the trace is too short to be a spectrum.
PeakEstimate PeakNearBin(const TChartSeries& series, int window, int bin);

// Puts M1 on the tone of the trace "L" or "R" (next to DC included) and M2 on the next peak
// above DC's main lobe, and switches them on. False, and nothing changed, where that trace is
// not in the markers' lists or has no tone; where its tone lies too near DC for this
// resolution, a message says so.
bool PlacePeakMarkers(TMainwindow& w, const QString& trace);

// A marker's frequency read between bins: fixed notation with two decimals, the user's decimal
// separator, never grouped.
QString FormatPeakFrequency(double hz);

// The menu entries "Peak" (Ctrl+P, trace L) and "Peak R" (Ctrl+Shift+P).
void CreatePeakEntries(TMainwindow& w);

// Reference traces: a stored curve of levels over frequency, compared with a live trace point
// by point. Plain C++ so that the rules for tables read from disk are tested alone.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "Spectrumtable.h"

struct ReferenceCurve {
  std::vector<double> Frequency;  // Hz, strictly ascending
  std::vector<double> Level;      // dB
  bool Empty() const { return Frequency.size() < 2; }
};

// A copy of a trace's points; fewer than 2 finite points, or frequencies that do not ascend,
// give an empty curve.
ReferenceCurve ReferenceFromTrace(std::span<const double> x, std::span<const double> y);

// The reference curves of a table read back: "L" and "R" where the table has them; a table
// without either gives its first column as L. False with a reason when the table holds no usable
// curve (no level column, fewer than 2 rows, frequencies that do not ascend).
bool ReferenceFromTable(const SpectrumTableData& table, ReferenceCurve* left, ReferenceCurve* right,
                        std::string* error);

// Live minus reference at each live point whose frequency lies within the reference's range,
// the reference interpolated linearly between its points (exact where the frequencies agree,
// as for a reference of the same rate and length). x ascending.
void DifferenceCurve(std::span<const double> x, std::span<const double> y,
                     const ReferenceCurve& reference, std::vector<double>* outX,
                     std::vector<double>* outY);

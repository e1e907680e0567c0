#include "Levelmeter.h"

#include <cmath>

namespace {
constexpr double kFullScale = 32768.0;
}

double PeakValue(const double* values, int n) {
  double peak = 0.0;
  for (int i = 0; i < n; ++i) {
    const double magnitude = values[i] >= 0 ? values[i] : -values[i];
    if (magnitude > peak) peak = magnitude;
  }
  return peak;
}

double MeanSquare(const double* values, int n, double reference) {
  if (n <= 0) return 0.0;
  double sum = 0.0;
  for (int i = 0; i < n; ++i) {
    const double v = values[i] / reference;
    sum += v * v;
  }
  return sum / n;
}

double PeakLevelDb(const double* values, int n, double correction) {
  return 20.0 * std::log10(PeakValue(values, n) / kFullScale) + correction;
}

double RmsLevelDb(const double* values, int n, double correction) {
  return 10.0 * std::log10(MeanSquare(values, n, kFullScale)) + correction;
}

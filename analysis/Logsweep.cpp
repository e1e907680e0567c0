#include "Logsweep.h"

#include <algorithm>
#include <cmath>
#include <numbers>

LogSweepShape SynchronizedLogSweepShape(double startHz, double endHz, double seconds, double rate) {
  LogSweepShape s;
  if (!(startHz > 0.0) || !(endHz > startHz) || !(rate > 0.0) || !(endHz <= rate / 2.0) ||
      !(seconds > 0.0) || !std::isfinite(seconds) || seconds > 3600.0)
    return s;
  const double octaves = std::log(endHz / startHz);
  const double cycles = std::max(1.0, std::round(startHz * seconds / octaves));
  s.startHz = startHz;
  s.endHz = endHz;
  s.rate = rate;
  s.rateConstant = cycles / startHz;
  s.seconds = s.rateConstant * octaves;
  s.frames = static_cast<int64_t>(std::llround(s.seconds * rate));
  return s;
}

std::vector<double> SynchronizedLogSweep(const LogSweepShape& s, double amplitude,
                                         double fadeInSeconds, double fadeOutSeconds) {
  std::vector<double> x(static_cast<size_t>(std::max<int64_t>(0, s.frames)));
  if (x.empty()) return x;
  const double L = s.rateConstant;
  // The phase's whole cycles are taken out before the sine: at the end of a long sweep they
  // number in the millions and would cost the sine its precision.
  const double cycles = s.startHz * L;
  const int64_t fadeIn = std::llround(std::max(0.0, fadeInSeconds) * s.rate);
  const int64_t fadeOut = std::llround(std::max(0.0, fadeOutSeconds) * s.rate);
  for (int64_t i = 0; i < s.frames; ++i) {
    const double t = static_cast<double>(i) / s.rate;
    const double turns = cycles * std::expm1(t / L);
    double v = amplitude * std::sin(2.0 * std::numbers::pi * (turns - std::floor(turns)));
    if (i < fadeIn) v *= 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(i) / fadeIn);
    const int64_t left = s.frames - 1 - i;
    if (left < fadeOut)
      v *= 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(left) / fadeOut);
    x[static_cast<size_t>(i)] = v;
  }
  return x;
}

double HarmonicAdvanceSeconds(const LogSweepShape& s, int harmonic) {
  return harmonic >= 1 ? s.rateConstant * std::log(static_cast<double>(harmonic)) : 0.0;
}

double EstimateLogSweepRateConstant(const double* x, int64_t n, double rate) {
  if (!x || n < 64 || !(rate > 0.0)) return 0.0;
  // Every zero crossing, interpolated between samples.
  std::vector<double> crossings;
  int64_t previous = -1;
  for (int64_t i = 0; i < n; ++i) {
    if (!(x[i] != 0.0) || !std::isfinite(x[i])) continue;
    if (previous >= 0 && (x[i] > 0.0) != (x[previous] > 0.0)) {
      const double a = x[previous], b = x[i];
      crossings.push_back(
          (static_cast<double>(previous) + static_cast<double>(i - previous) * (a / (a - b))) /
          rate);
    }
    previous = i;
  }
  constexpr size_t kSpan = 10;  // crossings per frequency reading: five periods
  if (crossings.size() < 4 * kSpan) return 0.0;
  const double seconds = static_cast<double>(n) / rate;
  std::vector<double> t, lf;
  for (int j = 1; j <= 9; ++j) {
    const double at = seconds * j / 10.0;
    size_t k = static_cast<size_t>(std::lower_bound(crossings.begin(), crossings.end(), at) -
                                   crossings.begin());
    k = std::min(k, crossings.size() - kSpan - 1);
    const double span = crossings[k + kSpan] - crossings[k];
    if (!(span > 0.0)) return 0.0;
    t.push_back(0.5 * (crossings[k] + crossings[k + kSpan]));
    lf.push_back(std::log(kSpan / (2.0 * span)));
  }
  double mt = 0.0, ml = 0.0;
  for (size_t i = 0; i < t.size(); ++i) {
    mt += t[i];
    ml += lf[i];
  }
  mt /= static_cast<double>(t.size());
  ml /= static_cast<double>(t.size());
  double stt = 0.0, stl = 0.0;
  for (size_t i = 0; i < t.size(); ++i) {
    stt += (t[i] - mt) * (t[i] - mt);
    stl += (t[i] - mt) * (lf[i] - ml);
  }
  if (!(stt > 0.0)) return 0.0;
  const double slope = stl / stt;
  // At least an octave between the first and the last reading: a steady tone is no sweep.
  if (!(slope * (t.back() - t.front()) >= std::log(2.0))) return 0.0;
  for (size_t i = 0; i < t.size(); ++i)
    if (std::fabs(lf[i] - (ml + slope * (t[i] - mt))) > 0.03) return 0.0;
  return 1.0 / slope;
}

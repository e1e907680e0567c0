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

// The synchronised logarithmic sweep: f(t) = f1 e^(t/L) from f1 to f2, with f1 L a whole
// number so that every harmonic of the sweep is the sweep itself shifted L ln k earlier, phase
// and all. That lets a deconvolution cut each harmonic's response out at a known time.
#pragma once

#include <cstdint>
#include <vector>

struct LogSweepShape {
  double startHz = 0.0;  // f1
  double endHz = 0.0;    // f2
  double rate = 0.0;
  double rateConstant = 0.0;  // L in seconds, f1 L a whole number
  double seconds = 0.0;       // L ln(f2/f1): the time f takes from f1 to f2
  int64_t frames = 0;         // samples 0 .. frames-1 at t = i / rate
};

// The synchronised sweep nearest to `seconds` from f1 to f2 (0 < f1 < f2 <= rate/2): L is
// rounded so that f1 L is a whole number (at least 1) and the duration follows from it.
// Returns frames 0 when the arguments do not make a sweep.
LogSweepShape SynchronizedLogSweepShape(double startHz, double endHz, double seconds, double rate);

// x(t) = amplitude sin(2 pi f1 L (e^(t/L) - 1)), with half-cosine fades of fadeInSeconds at the
// start and fadeOutSeconds at the end (0: none), so that a speaker is not hit by a step.
std::vector<double> SynchronizedLogSweep(const LogSweepShape& shape, double amplitude,
                                         double fadeInSeconds = 0.0, double fadeOutSeconds = 0.0);

// How long before the linear response harmonic k's response lies: L ln k seconds.
double HarmonicAdvanceSeconds(const LogSweepShape& shape, int harmonic);

// The rate constant L of a recorded or foreign sweep whose frequency rises exponentially
// (ln f linear in time within 3 % from a tenth to nine tenths of its length, rising an octave
// or more there, read from its zero crossings); 0 when it is not such a sweep.
double EstimateLogSweepRateConstant(const double* sweep, int64_t frames, double rate);

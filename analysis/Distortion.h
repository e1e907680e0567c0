// Distortion and noise of a tone from one channel's linear magnitudes (a block's or an
// average's), with the engine's normalisation: a bin's square is its power share, whatever the
// window, so sums over bins read right for tones and noise alike.
#pragma once

#include <array>

struct DistortionResult {
  bool Valid = false;  // false: no tone to measure
  // Not Valid because the strongest content lies too near DC to be told from it at this
  // resolution (kBelowResolutionNote).
  bool BelowResolution = false;
  double FundamentalHz = 0;
  double FundamentalDb = 0;  // the sine's amplitude re full scale: a full-scale sine reads 0 dB
  double ThdDb = 0;          // harmonics 2..10 below half the rate, re the fundamental
  double ThdPct = 0;
  double ThdNDb = 0;  // all but DC and the fundamental in 20 Hz .. min(20 kHz, rate/2)
  double ThdNPct = 0;
  double SinadDb = 0;     // -ThdNDb
  double SnrDb = 0;       // fundamental over the noise alone in the same band
  int HarmonicCount = 0;  // the harmonics 2 .. HarmonicCount + 1 lie below half the rate
  // [h]: harmonic h re the fundamental in dB, h = 2 .. HarmonicCount + 1.
  std::array<double, 11> HarmonicDb{};
};

// Ratios below this power read as its dB value instead of minus infinity.
inline constexpr double kDistortionFloorDb = -200.0;

// magnitudes: fftLength / 2 values; window 0..4 as the engine's window list. THD+N and SNR
// count the noise in bandFrom .. min(bandTo, rate/2) Hz: the audio band unless told otherwise
// (0 and rate/2 for the full band, DC's main lobe left out all the same).
DistortionResult MeasureDistortion(const double* magnitudes, int window, double rate,
                                   double fftLength, double bandFrom = 20.0,
                                   double bandTo = 20000.0);

// Tones between bins: frequency and level of a spectral peak from the shape of the window's
// main lobe. Plain C++ over the level arrays of one block, so the chart, the measurement
// window and the command line share it.
#pragma once

// A peak estimated between bins. Level is on the scale of the array searched: the reading of
// a bin centred on the tone.
struct PeakEstimate {
  bool Found = false;
  int Index = 0;         // the highest bin of the peak
  double Bin = 0;        // fractional bin position of the tone
  double Frequency = 0;  // Hz
  double Level = 0;      // dB
  // Not Found because the strongest content lies so near DC that this resolution cannot tell a
  // tone from DC: a longer block would.
  bool BelowResolution = false;
};

// What the read-outs say where BelowResolution holds.
inline constexpr const char* kBelowResolutionNote =
    "fundamental below the resolution: use a longer FFT";

// Tones nearer to DC than this many bins are not told from it.
inline constexpr double kLowestToneBin = 1.5;

// Width of the window's main lobe from null to null, in bins.
double MainLobeWidth(int window);

// The window's response to a tone offsetBins away from a bin, relative to a centred tone
// (1 at 0, signed). fftLength: the block length N, whose symmetric windows it models exactly.
double WindowResponse(int window, double fftLength, double offsetBins);

// Equivalent noise bandwidth of the window in bins: N * sum(w^2) / sum(w)^2. With magnitudes
// normalised to the window's root-mean-square weight, a sine's amplitude in dB is the centred
// reading plus 10 * log10 of this.
double EquivalentNoiseBandwidth(int window, double fftLength);

// The highest peak (a bin not below its neighbours) whose bin frequency lies in [from, to] Hz.
// levels: fftLength / 2 values in dB; window 0..4 as the engine's window list.
PeakEstimate FindPeak(const double* levels, int window, double rate, double fftLength, double from,
                      double to);

// The highest peak in [from, to] Hz more than three main-lobe widths away from `first`.
PeakEstimate FindNextPeak(const double* levels, int window, double rate, double fftLength,
                          double from, double to, const PeakEstimate& first);

// The highest tone whose frequency lies in [from, to] Hz, wherever it is: DC and its leakage are
// never a tone, and a tone whose main lobe reaches DC's is found by fitting DC and the tone
// (with its image at minus its frequency) together to the bins of their lobes. Where the
// strongest content is near DC but no tone can be told from it, nothing is Found and
// BelowResolution is set. Levels as FindPeak's.
PeakEstimate FindTone(const double* levels, int window, double rate, double fftLength, double from,
                      double to);

// Interpolates around bin `index` of levels, which must be a peak.
PeakEstimate EstimatePeak(const double* levels, int window, double rate, double fftLength,
                          int index);

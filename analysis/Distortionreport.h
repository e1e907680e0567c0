// Distortion and noise over a run of blocks, as the command line reports them: the blocks'
// powers averaged (the mean of every block, or of the last K, like the distortion window), then
// MeasureDistortion, written as "name: value unit" lines.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Distortion.h"
#include "Fft.h"

// The mean power of each bin over a run of blocks: over the last `averages` blocks, or over
// every block with averages 0. The distortion window and the command line average with this one
// rule, so that the same blocks read the same figures in both.
class PowerAverage {
 public:
  PowerAverage(int bins, int channels, int averages);
  // One block's own magnitudes: magnitudes[c] holds `bins` values of channel c. A bin that is
  // not finite counts as no power.
  void Add(const double* const* magnitudes);
  long Blocks() const { return blocks_; }
  int Bins() const { return bins_; }
  int Channels() const { return channels_; }
  // The root of the mean power per bin of channel c (the magnitude the measurement reads);
  // empty before the first block.
  std::vector<double> Magnitude(int channel) const;

 private:
  int bins_;
  int channels_;
  int averages_;
  long blocks_ = 0;
  // Per channel: the last `averages_` blocks' powers (slot blocks_ % averages_), or with
  // averages_ 0 their running sum in slot 0.
  std::vector<std::vector<std::vector<double>>> powers_;
};

class DistortionMeter {
 public:
  // length: a power of two; channels 1 or 2; averages 0: every block, K >= 1: the last K.
  DistortionMeter(int length, int channels, int averages);
  ~DistortionMeter();

  // One block: samples[c] holds `length` raw values (16-bit scale) of channel c.
  void Add(const double* const* samples, int windowType);
  long Blocks() const { return powers_.Blocks(); }
  // Per channel; Valid false where there is no block or no tone.
  std::vector<DistortionResult> Measure(int windowType, double samplingRate) const;

 private:
  int length_;
  int channels_;
  std::unique_ptr<FFT> engine_;
  std::vector<double> magnitudes_[2];  // the block's, before they are averaged
  PowerAverage powers_;
};

// A figure as the window and the command line write it: `decimals` places, "-0.00" as "0.00",
// '.' as the point, "nan" when not finite.
std::string FormatFixed(double value, int decimals);
// The places of a percentage: four significant digits, at least two, at most maxDecimals.
int PercentDecimals(double pct, int maxDecimals);

// The eight lines of one channel ("L" or "R"), each ending in '\n':
//   L.fundamental_hz: 997.012 Hz      L.fundamental_db: -0.003 dB (correction included)
//   L.thd_db: -59.59 dB               L.thd_pct: 0.1049 %
//   L.thd_n_db: ... dB                L.thd_n_pct: ... %
//   L.sinad_db: ... dB                L.snr_db: ... dB
// Numbers with a point whatever the locale. Without a tone every value reads "nan".
std::string FormatDistortionLines(const DistortionResult& result, const std::string& channel,
                                  double corrFactor);

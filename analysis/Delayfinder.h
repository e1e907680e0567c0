// The delay of a measurement behind its reference, from the generalised cross-correlation of
// the two over long overlapping blocks: the averaged cross-spectrum Gxy, whitened (PHAT) and
// weighted by the averaged coherence, transformed back, its largest peak within the search
// range taken and placed between samples by Newton steps on the band-limited correlation (the
// same sum evaluated at fractional lags). Averaging first keeps the finding steady where one
// block's correlation would jump between reflections and noise. Qt-free; one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "Realspectrum.h"

struct DelayEstimate {
  bool Found = false;
  double Samples = 0.0;  // the measurement lags the reference by this (negative: leads it)
  double Seconds = 0.0;
  bool Inverted = false;  // the peak is negative: the measurement's polarity is reversed
  double Clarity = 0.0;   // the peak over the RMS of the rest of the searched correlation
  int Blocks = 0;         // blocks averaged
};

class Delayfinder {
 public:
  // Lags up to maxLagSeconds either way (0.001 to 2 s) are searched; the blocks are at least
  // four times as long (a power of two, 262144 at 48 kHz for 1 s), overlapping by half.
  explicit Delayfinder(double rate, double maxLagSeconds = 1.0);

  // Only [lowHz, highHz] takes part (0 and 0: the whole band).
  void SetBand(double lowHz, double highHz);
  // Both arrays hold `frames` samples of the same instants. A block holding a non-finite sample
  // is not averaged.
  void Push(const double* measurement, const double* reference, int frames);
  // While no whole block has been taken: the samples so far as one block, zero-padded (a short
  // recording).
  void Flush();
  void Reset();

  int Length() const { return length_; }
  int Blocks() const { return blocks_; }
  int MaxLag() const { return maxLag_; }
  double Rate() const { return rate_; }

  DelayEstimate Find() const;

 private:
  void Take(const double* m, const double* r, bool windowed);

  double rate_;
  int maxLag_;
  int length_;
  int lowBin_ = 0, highBin_ = 0;
  mutable RealSpectrum spectrum_;  // Find uses its scratch too
  std::vector<double> measurement_, reference_;
  std::vector<double> sxyRe_, sxyIm_, sxx_, syy_;
  std::vector<double> xr_, xi_, yr_, yi_;
  int blocks_ = 0;
  int64_t refused_ = 0;
};

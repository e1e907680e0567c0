// Distortion and noise over a run of blocks, as the command line reports them: the blocks'
// powers averaged (the mean of every block, or of the last K, like the distortion window), then
// MeasureDistortion, written as "name: value unit" lines.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Distortion.h"
#include "Fft.h"

class DistortionMeter {
 public:
  // length: a power of two; channels 1 or 2; averages 0: every block, K >= 1: the last K.
  DistortionMeter(int length, int channels, int averages);
  ~DistortionMeter();

  // One block: samples[c] holds `length` raw values (16-bit scale) of channel c.
  void Add(const double* const* samples, int windowType);
  long Blocks() const { return blocks_; }
  // Per channel; Valid false where there is no block or no tone.
  std::vector<DistortionResult> Measure(int windowType, double samplingRate) const;

 private:
  int length_;
  int channels_;
  int averages_;
  long blocks_ = 0;
  std::unique_ptr<FFT> engine_;
  // Per channel: the last `averages_` blocks' powers (slot blocks_ % averages_), or with
  // averages_ 0 their running sum in slot 0.
  std::vector<std::vector<std::vector<double>>> powers_;
};

// The eight lines of one channel ("L" or "R"), each ending in '\n':
//   L.fundamental_hz: 997.012 Hz      L.fundamental_db: -0.003 dB (correction included)
//   L.thd_db: -59.59 dB               L.thd_pct: 0.1049 %
//   L.thd_n_db: ... dB                L.thd_n_pct: ... %
//   L.sinad_db: ... dB                L.snr_db: ... dB
// Numbers with a point whatever the locale. Without a tone every value reads "nan".
std::string FormatDistortionLines(const DistortionResult& result, const std::string& channel,
                                  double corrFactor);

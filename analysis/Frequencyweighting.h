// Frequency weightings A, C and Z of sound level meters as filters on a sample stream.
#pragma once

#include <array>
#include <string_view>

enum class FrequencyWeighting { A, C, Z };

// "A", "C" or "Z".
const char* WeightingName(FrequencyWeighting weighting);
// Case-insensitive "A", "C" or "Z"; false for anything else.
bool ParseWeighting(std::string_view text, FrequencyWeighting* weighting);

// The weighting's nominal response in dB at `frequency` (Hz): the analogue pole-zero formula,
// 0 dB at 1 kHz. Z is 0 everywhere.
double WeightingNominalDb(FrequencyWeighting weighting, double frequency);

// One channel of the weighting at a given sampling rate. The high poles are matched in
// magnitude at DC, at the pole and at half the rate, so that the response holds near the top
// of the band instead of being squeezed towards half the rate as a plain bilinear design is.
// The low poles use the bilinear transform (negligible warping there). Gain is 0 dB at 1 kHz.
// Z passes the samples through unchanged. Not thread-safe: one thread processes.
class WeightingFilter {
 public:
  WeightingFilter() : WeightingFilter(FrequencyWeighting::Z, 48000.0) {}
  WeightingFilter(FrequencyWeighting weighting, double rate);

  FrequencyWeighting Weighting() const { return weighting_; }
  double Rate() const { return rate_; }

  // Filters n samples, `stride` apart, in place (stride 2 for one channel of interleaved
  // stereo). The state carries over from call to call.
  void Process(double* samples, int n, int stride = 1);
  // Out of place; `in` and `out` may be the same.
  void Process(const double* in, double* out, int n);
  // Clears the filter state (the stream starts again from silence).
  void Reset();

  // The response in dB of the digital filter itself at `frequency` (from its coefficients).
  double ResponseDb(double frequency) const;

 private:
  struct Section {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    double s1 = 0, s2 = 0;
  };
  FrequencyWeighting weighting_;
  double rate_;
  int sections_ = 0;
  std::array<Section, 4> section_{};
  double gain_ = 1.0;
};

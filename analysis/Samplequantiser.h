// Full-scale samples to the integers of 16- or 24-bit PCM, TPDF-dithered where asked.
#pragma once

#include <cstdint>

enum class SampleFormat { Pcm16, Pcm24, Float };

class SampleQuantiser {
 public:
  // Dither is on by default for 16 bits only, where the quantisation would otherwise leave
  // distortion above the noise; 24 bits and floats are left as they are.
  static bool DefaultDither(SampleFormat format) { return format == SampleFormat::Pcm16; }

  SampleQuantiser(SampleFormat format, bool dither, uint64_t seed = 0x5eed);

  // One sample (|x| ≤ 1) as an integer of the format's width: ±32767 for 16 bits, ±8388607
  // for 24. Full scale is one step lower with dither, so that the dither never pushes a peak
  // beyond the largest code: nothing is ever clipped. Floats are not quantised (returns 0).
  int32_t Quantise(double x);
  // The integer a sample of 1.0 maps to.
  double Scale() const { return scale_; }

 private:
  double Uniform();
  double scale_;
  bool dither_;
  uint64_t state_;
};

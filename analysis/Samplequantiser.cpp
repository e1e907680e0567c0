#include "Samplequantiser.h"

#include <algorithm>
#include <cmath>

SampleQuantiser::SampleQuantiser(SampleFormat format, bool dither, uint64_t seed)
    : scale_((format == SampleFormat::Pcm24 ? 8388607.0 : 32767.0) - (dither ? 1.0 : 0.0)),
      dither_(dither && format != SampleFormat::Float),
      state_(seed | 1) {}

double SampleQuantiser::Uniform() {
  // xorshift64*: cheap, and far better than the dither needs.
  state_ ^= state_ >> 12;
  state_ ^= state_ << 25;
  state_ ^= state_ >> 27;
  return static_cast<double>((state_ * 0x2545F4914F6CDD1DULL) >> 11) * 0x1.0p-53;
}

int32_t SampleQuantiser::Quantise(double x) {
  // A guard only: the generator never hands over more than full scale, nor anything not finite.
  double v = std::isfinite(x) ? std::clamp(x, -1.0, 1.0) * scale_ : 0.0;
  // Triangular over ±1 step: the sum of two uniform values.
  if (dither_) v += Uniform() - Uniform();
  return static_cast<int32_t>(std::lround(v));
}

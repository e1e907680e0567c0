#include "Frequencyweighting.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace {

// Pole frequencies of the weightings (Hz), from their defining corner frequencies.
constexpr double kF1 = 20.598997057618316;
constexpr double kF2 = 107.65264864304629;
constexpr double kF3 = 737.8622307362901;
constexpr double kF4 = 12194.217147998012;

double AnalogueDb(FrequencyWeighting weighting, double f) {
  const double f2 = f * f;
  switch (weighting) {
    case FrequencyWeighting::A:
      return 20.0 * std::log10(kF4 * kF4 * f2 * f2 /
                               ((f2 + kF1 * kF1) * std::sqrt(f2 + kF2 * kF2) *
                                std::sqrt(f2 + kF3 * kF3) * (f2 + kF4 * kF4)));
    case FrequencyWeighting::C:
      return 20.0 * std::log10(kF4 * kF4 * f2 / ((f2 + kF1 * kF1) * (f2 + kF4 * kF4)));
    case FrequencyWeighting::Z:
      break;
  }
  return 0.0;
}

}  // namespace

const char* WeightingName(FrequencyWeighting weighting) {
  switch (weighting) {
    case FrequencyWeighting::A:
      return "A";
    case FrequencyWeighting::C:
      return "C";
    case FrequencyWeighting::Z:
      break;
  }
  return "Z";
}

bool ParseWeighting(std::string_view text, FrequencyWeighting* weighting) {
  if (text.size() != 1) return false;
  switch (text[0]) {
    case 'A':
    case 'a':
      *weighting = FrequencyWeighting::A;
      return true;
    case 'C':
    case 'c':
      *weighting = FrequencyWeighting::C;
      return true;
    case 'Z':
    case 'z':
      *weighting = FrequencyWeighting::Z;
      return true;
    default:
      return false;
  }
}

double WeightingNominalDb(FrequencyWeighting weighting, double frequency) {
  if (weighting == FrequencyWeighting::Z) return 0.0;
  return AnalogueDb(weighting, frequency) - AnalogueDb(weighting, 1000.0);
}

WeightingFilter::WeightingFilter(FrequencyWeighting weighting, double rate)
    : weighting_(weighting), rate_(rate) {
  if (weighting == FrequencyWeighting::Z) return;
  const double k = 2.0 * rate;  // bilinear transform s = k (1 - 1/z) / (1 + 1/z)
  const double w1 = 2.0 * std::numbers::pi * kF1;
  // s^2 / (s + w1)^2.
  {
    Section& s = section_[sections_++];
    const double p = (k - w1) / (k + w1);
    const double g = k / (k + w1);
    s.b0 = g * g;
    s.b1 = -2.0 * g * g;
    s.b2 = g * g;
    s.a1 = -2.0 * p;
    s.a2 = p * p;
  }
  if (weighting == FrequencyWeighting::A) {
    // s / (s + w2) * s / (s + w3).
    Section& s = section_[sections_++];
    const double w2 = 2.0 * std::numbers::pi * kF2;
    const double w3 = 2.0 * std::numbers::pi * kF3;
    const double p2 = (k - w2) / (k + w2), p3 = (k - w3) / (k + w3);
    const double g = (k / (k + w2)) * (k / (k + w3));
    s.b0 = g;
    s.b1 = -2.0 * g;
    s.b2 = g;
    s.a1 = -(p2 + p3);
    s.a2 = p2 * p3;
  }
  // w4^2 / (s + w4)^2, a critically damped low-pass (Q = 1/2): poles by the matched z
  // transform, the numerator chosen so that the magnitude equals the analogue one at DC and at
  // the pole frequency. A bilinear design would put a zero at half the rate and lose several
  // dB at 16 to 20 kHz.
  {
    Section& s = section_[sections_++];
    const double w0 = 2.0 * std::numbers::pi * kF4 / rate;
    const double a1 = -2.0 * std::exp(-w0), a2 = std::exp(-2.0 * w0);
    const double A0 = (1.0 + a1 + a2) * (1.0 + a1 + a2);
    const double A1 = (1.0 - a1 + a2) * (1.0 - a1 + a2);
    const double A2 = -4.0 * a2;
    const double phi1 = std::sin(w0 / 2.0) * std::sin(w0 / 2.0);
    const double phi0 = 1.0 - phi1;
    const double phi2 = 4.0 * phi0 * phi1;
    const double q2 = 0.25;  // |H(j w4)|^2 of the analogue pair
    const double r1 = (A0 * phi0 + A1 * phi1 + A2 * phi2) * q2;
    const double B0 = A0;
    const double B1 = std::max(0.0, (r1 - B0 * phi0) / phi1);
    const double b0 = 0.5 * (std::sqrt(B0) + std::sqrt(B1));
    s.b0 = b0;
    s.b1 = std::sqrt(B0) - b0;
    s.b2 = 0.0;
    s.a1 = a1;
    s.a2 = a2;
  }
  // 0 dB at 1 kHz, as the nominal curve.
  gain_ = 1.0;
  gain_ = std::pow(10.0, -ResponseDb(1000.0) / 20.0);
}

void WeightingFilter::Reset() {
  for (Section& s : section_)
    s.s1 = s.s2 = 0.0;
}

void WeightingFilter::Process(double* samples, int n, int stride) {
  if (sections_ == 0) return;
  for (int i = 0; i < n; ++i) {
    double& v = samples[static_cast<long>(i) * stride];
    double x = v * gain_;
    for (int j = 0; j < sections_; ++j) {
      Section& s = section_[j];
      const double y = s.b0 * x + s.s1;
      s.s1 = s.b1 * x - s.a1 * y + s.s2;
      s.s2 = s.b2 * x - s.a2 * y;
      x = y;
    }
    v = x;
  }
}

void WeightingFilter::Process(const double* in, double* out, int n) {
  if (in != out)
    for (int i = 0; i < n; ++i)
      out[i] = in[i];
  Process(out, n, 1);
}

double WeightingFilter::ResponseDb(double frequency) const {
  const double w = 2.0 * std::numbers::pi * frequency / rate_;
  const std::complex<double> z1 = std::polar(1.0, -w);
  const std::complex<double> z2 = z1 * z1;
  std::complex<double> h = gain_;
  for (int j = 0; j < sections_; ++j) {
    const Section& s = section_[j];
    h *= (s.b0 + s.b1 * z1 + s.b2 * z2) / (1.0 + s.a1 * z1 + s.a2 * z2);
  }
  return 20.0 * std::log10(std::abs(h));
}

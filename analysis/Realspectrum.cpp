#include "Realspectrum.h"

#include <cmath>
#include <cstring>

RealSpectrum::RealSpectrum(int length, int window)
    : length_(length), fft_(static_cast<uint32_t>(length)) {
  fft_.MakeWindow(window);
}

bool RealSpectrum::Forward(const double* samples, double* re, double* im) {
  return Transform(samples, fft_.WindowTable.data(), re, im);
}

bool RealSpectrum::ForwardUnwindowed(const double* samples, double* re, double* im) {
  return Transform(samples, nullptr, re, im);
}

bool RealSpectrum::Transform(const double* samples, const double* w, double* re, double* im) {
  double* in = fft_.WeightedRe.data();
  double check = 0.0;
  for (int i = 0; i < length_; ++i) {
    in[i] = w ? samples[i] * w[i] : samples[i];
    check += in[i];
  }
  // A NaN or an infinity anywhere leaves the sum non-finite (0 times infinity included).
  if (!std::isfinite(check)) return false;
  fft_.Transform();
  // The engine's kernel is e^(+j 2 pi k n / N); the usual sign is its conjugate.
  const int bins = Bins();
  std::memcpy(re, fft_.SpectrumRe.data(), sizeof(double) * static_cast<size_t>(bins));
  for (int k = 0; k < bins; ++k) {
    im[k] = -fft_.SpectrumIm[static_cast<size_t>(k)];
    if (!std::isfinite(re[k]) || !std::isfinite(im[k])) return false;
  }
  return true;
}

void RealSpectrum::Inverse(const double* re, const double* im, double* out) {
  // With a = Re H (even) and b = Im H (odd), the transform C of the real sequence a + b with
  // the engine's kernel e^(+j...) has Re C = sum a cos and Im C = sum b sin, so
  // N x = Re C - Im C: one real transform.
  const int n = length_;
  const int half = n / 2;
  double* in = fft_.WeightedRe.data();
  // A real sequence has no imaginary part at DC and at N/2.
  in[0] = re[0];
  for (int k = 1; k < half; ++k) {
    in[k] = re[k] + im[k];
    in[n - k] = re[k] - im[k];
  }
  in[half] = re[half];
  fft_.Transform();
  const double scale = 1.0 / n;
  for (int i = 0; i < n; ++i)
    out[i] =
        (fft_.SpectrumRe[static_cast<size_t>(i)] - fft_.SpectrumIm[static_cast<size_t>(i)]) * scale;
}

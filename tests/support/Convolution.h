// Linear convolution through the project's FFT engine, for tests that make a system's output
// (set-up, not under test).
#pragma once

#include <algorithm>
#include <complex>
#include <cstdint>
#include <vector>

#include "Fft.h"

namespace tvtest {

inline std::vector<double> Convolve(const std::vector<double>& a, const std::vector<double>& b) {
  uint32_t n = 16;
  while (n < a.size() + b.size())
    n *= 2;
  FFT fft(n);
  std::vector<double> x(n, 0.0);
  std::copy(a.begin(), a.end(), x.begin());
  fft.Process(x.data(), WindowRectangular);
  std::vector<std::complex<double>> fa(n);
  for (uint32_t k = 0; k < n; ++k)
    fa[k] = {fft.SpectrumRe[k], fft.SpectrumIm[k]};
  std::fill(x.begin(), x.end(), 0.0);
  std::copy(b.begin(), b.end(), x.begin());
  fft.Process(x.data(), WindowRectangular);
  std::vector<double> re(n), im(n);
  for (uint32_t k = 0; k < n; ++k) {
    const std::complex<double> p =
        fa[k] * std::complex<double>(fft.SpectrumRe[k], fft.SpectrumIm[k]);
    re[k] = p.real();
    im[k] = p.imag();
  }
  // The engine's spectra carry its 16-bit scale twice over here, and its own once back; of
  // the inverse's two real parts (Re, Im of the product) the forward engine gives back x as
  // Re F(Re P) + Im F(Im P).
  std::vector<double> impulse(16, 0.0);
  impulse[0] = 1.0;
  const double unit = FFT(16, impulse.data(), WindowRectangular).SpectrumRe[0];
  fft.Process(re.data(), WindowRectangular);
  std::vector<double> out(a.size() + b.size() - 1);
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = fft.SpectrumRe[i];
  fft.Process(im.data(), WindowRectangular);
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = (out[i] + fft.SpectrumIm[i]) / (n * unit * unit * unit);
  return out;
}

}  // namespace tvtest

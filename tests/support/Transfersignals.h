// Signals of known systems for the two-channel tests, made without the code under test: a
// plain radix-2 FFT of our own, periodic random-phase noise whose delayed and filtered copies
// are exact (the system applied bin by bin over one period), and the analytic responses of
// the biquads used (RBJ cookbook) with their group delays in closed form.
#pragma once

#include <cmath>
#include <complex>
#include <functional>
#include <random>
#include <vector>

namespace tvtest {

using cplx = std::complex<double>;
inline constexpr double kPi = 3.14159265358979323846;

// In place; inverse: e^(+j...) and divided by the length.
inline void PlainFft(std::vector<cplx>& a, bool inverse) {
  const size_t n = a.size();
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1)
      j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  std::vector<cplx> twiddle;
  for (size_t len = 2; len <= n; len <<= 1) {
    const double ang = 2 * kPi / static_cast<double>(len) * (inverse ? 1 : -1);
    // Each twiddle from its own angle: no recurrence error over long transforms.
    twiddle.resize(len / 2);
    for (size_t k = 0; k < len / 2; ++k)
      twiddle[k] = std::polar(1.0, ang * static_cast<double>(k));
    for (size_t i = 0; i < n; i += len)
      for (size_t k = 0; k < len / 2; ++k) {
        const cplx u = a[i + k], v = a[i + k + len / 2] * twiddle[k];
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
      }
  }
  if (inverse)
    for (cplx& x : a)
      x /= static_cast<double>(n);
}

// A digital biquad b0..b2 / a0..a2 and its exact response at w (radians per sample).
struct Biquad {
  double b0, b1, b2, a0, a1, a2;
  cplx Response(double w) const {
    const cplx z1 = std::polar(1.0, -w), z2 = std::polar(1.0, -2 * w);
    return (b0 + b1 * z1 + b2 * z2) / (a0 + a1 * z1 + a2 * z2);
  }
  // -d arg H / dw in samples: Re(sum k c_k z^-k / sum c_k z^-k) of the numerator minus that of
  // the denominator.
  double GroupDelay(double w) const {
    const cplx z1 = std::polar(1.0, -w), z2 = std::polar(1.0, -2 * w);
    const auto part = [&](double c0, double c1, double c2) {
      return std::real((c1 * z1 + 2.0 * c2 * z2) / (c0 + c1 * z1 + c2 * z2));
    };
    return part(b0, b1, b2) - part(a0, a1, a2);
  }
  // The impulse response, by the difference equation.
  std::vector<double> Impulse(int count) const {
    std::vector<double> h(static_cast<size_t>(count));
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (int i = 0; i < count; ++i) {
      const double x = i == 0 ? 1.0 : 0.0;
      const double y = (b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2) / a0;
      x2 = x1;
      x1 = x;
      y2 = y1;
      y1 = y;
      h[static_cast<size_t>(i)] = y;
    }
    return h;
  }
};

inline Biquad PeakingEq(double hz, double db, double q, double rate) {
  const double a = std::pow(10.0, db / 40), w0 = 2 * kPi * hz / rate;
  const double alpha = std::sin(w0) / (2 * q), c = std::cos(w0);
  return {1 + alpha * a, -2 * c, 1 - alpha * a, 1 + alpha / a, -2 * c, 1 - alpha / a};
}

// Q = 1/sqrt(2): the bilinear transform of the analogue 2nd-order Butterworth.
inline Biquad ButterworthHighPass(double hz, double rate) {
  const double w0 = 2 * kPi * hz / rate, c = std::cos(w0);
  const double alpha = std::sin(w0) / (2 / std::sqrt(2.0));
  return {(1 + c) / 2, -(1 + c), (1 + c) / 2, 1 + alpha, -2 * c, 1 - alpha};
}

inline Biquad Notch(double hz, double q, double rate) {
  const double w0 = 2 * kPi * hz / rate, c = std::cos(w0), alpha = std::sin(w0) / (2 * q);
  return {1, -2 * c, 1, 1 + alpha, -2 * c, 1 - alpha};
}

// One period of `length` samples (a power of two) of random-phase noise with the amplitude
// spectrum `source(w)` (w in radians per sample; 1 for white), at about `rms`, and the output
// of the system `system(w)` driven by it, delayed by `delay` samples (any fraction). Exact:
// both are sums of the same sines.
struct SignalPair {
  std::vector<double> reference, measurement;
};
inline SignalPair Periodic(size_t length, unsigned seed, const std::function<cplx(double)>& system,
                           double delay, double rms = 3000.0,
                           const std::function<double(double)>& source = nullptr) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> phase(0, 2 * kPi);
  std::vector<cplx> x(length), y(length);
  double power = 0;
  for (size_t k = 1; k < length / 2; ++k) {
    const double w = 2 * kPi * static_cast<double>(k) / static_cast<double>(length);
    const double a = source ? source(w) : 1.0;
    const cplx v = std::polar(a, phase(random));
    power += 2 * a * a;
    x[k] = v;
    y[k] = v * system(w) * std::polar(1.0, -w * delay);
    x[length - k] = std::conj(x[k]);
    y[length - k] = std::conj(y[k]);
  }
  // Parseval: the mean square is power / length^2.
  const double scale = power > 0 ? rms * static_cast<double>(length) / std::sqrt(power) : 0.0;
  PlainFft(x, true);
  PlainFft(y, true);
  SignalPair s;
  s.reference.resize(length);
  s.measurement.resize(length);
  for (size_t i = 0; i < length; ++i) {
    s.reference[i] = x[i].real() * scale;
    s.measurement[i] = y[i].real() * scale;
  }
  return s;
}

inline double Rms(const std::vector<double>& v) {
  double s = 0;
  for (double x : v)
    s += x * x;
  return std::sqrt(s / static_cast<double>(v.size()));
}

// Adds white Gaussian noise `db` below the signal's RMS (db > 0).
inline void AddNoise(std::vector<double>& v, double db, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> gauss(0.0, Rms(v) * std::pow(10.0, -db / 20));
  for (double& x : v)
    x += gauss(random);
}

inline double WrapDegrees(double d) {
  d = std::fmod(d, 360.0);
  if (d > 180) d -= 360;
  if (d <= -180) d += 360;
  return d;
}

}  // namespace tvtest

#include "Peakfinder.h"

#include <algorithm>
#include <cmath>

#include "Fft.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// The engine's windows as cosine sums around the block's centre: w(t) = sum a[m]
// cos(m*2*pi*t/(N-1)), t = i - (N-1)/2. Shifting to the centre turns every sign of the engine's
// formulas positive.
struct CosineSum {
  double a[4];
  int terms;
};

CosineSum Shape(int window) {
  switch (window) {
    case WindowHanning:
      return {{0.5, 0.5, 0, 0}, 2};
    case WindowHamming:
      return {{0.538, 0.462, 0, 0}, 2};
    case WindowBlackman:
      return {{0.42, 0.5, 0.08, 0}, 3};
    case WindowBlackmanHarris:
      return {{0.35875, 0.48829, 0.14128, 0.01168}, 4};
    default:
      return {{1, 0, 0, 0}, 1};
  }
}

// sum over the N centred positions t of cos(2*pi*nu*t).
double Dirichlet(double nu, double n) {
  const double s = std::sin(kPi * nu);
  if (std::fabs(s) < 1e-300) return std::cos(kPi * nu * (n - 1)) * n;  // nu an integer
  return std::sin(kPi * nu * n) / s;
}

// Transform of the window at x bins, unnormalised (sum of the weights at x = 0).
double Response(const CosineSum& c, double n, double x) {
  if (c.terms == 1) return c.a[0] * Dirichlet(x / n, n);
  double r = c.a[0] * Dirichlet(x / n, n);
  for (int m = 1; m < c.terms; ++m) {
    const double shift = m / (n - 1);
    r += 0.5 * c.a[m] * (Dirichlet(x / n - shift, n) + Dirichlet(x / n + shift, n));
  }
  return r;
}

bool IsPeak(const double* levels, int bins, int k) {
  const double l = levels[k];
  if (!std::isfinite(l)) return false;
  const bool hasLeft = k > 0, hasRight = k + 1 < bins;
  if (hasLeft && !(l >= levels[k - 1])) return false;
  if (hasRight && !(l >= levels[k + 1])) return false;
  // A flat stretch (silence) has no peak.
  return (hasLeft && l > levels[k - 1]) || (hasRight && l > levels[k + 1]);
}

// Highest peak among the bins in [from, to] Hz that `accept` lets through; -1 if none.
template <typename Accept>
int HighestPeak(const double* levels, double rate, double fftLength, double from, double to,
                Accept accept) {
  const int bins = static_cast<int>(fftLength / 2);
  if (!levels || bins < 1 || !(rate > 0)) return -1;
  const double binHz = rate / fftLength;
  const double lo = std::max(0.0, std::ceil(from / binHz - 1e-9));
  const double hi = std::min(bins - 1.0, std::floor(to / binHz + 1e-9));
  if (!(lo <= hi)) return -1;
  int best = -1;
  for (int k = static_cast<int>(lo); k <= static_cast<int>(hi); ++k)
    if (accept(k) && IsPeak(levels, bins, k) && (best < 0 || levels[k] > levels[best])) best = k;
  return best;
}

}  // namespace

double MainLobeWidth(int window) {
  return 2.0 * Shape(window).terms;
}

double WindowResponse(int window, double fftLength, double offsetBins) {
  const CosineSum c = Shape(window);
  return Response(c, fftLength, offsetBins) / Response(c, fftLength, 0.0);
}

double EquivalentNoiseBandwidth(int window, double fftLength) {
  const CosineSum c = Shape(window);
  const double n = fftLength;
  // sum of w^2 from the products of the cosines: sum_t cos(j*theta*t) is Dirichlet(j/(N-1)).
  double squares = 0;
  for (int m = 0; m < c.terms; ++m)
    for (int l = 0; l < c.terms; ++l) {
      const double diff = Dirichlet(std::abs(m - l) / (n - 1), n);
      const double sum = Dirichlet((m + l) / (n - 1), n);
      squares += c.a[m] * c.a[l] * 0.5 * (diff + sum);
    }
  const double sum = Response(c, n, 0.0);
  return n * squares / (sum * sum);
}

PeakEstimate EstimatePeak(const double* levels, int window, double rate, double fftLength,
                          int index) {
  PeakEstimate p;
  const int bins = static_cast<int>(fftLength / 2);
  if (!levels || index < 0 || index >= bins) return p;
  const CosineSum c = Shape(window);
  const double n = fftLength;
  const double left = index > 0 ? levels[index - 1] : -INFINITY;
  const double right = index + 1 < bins ? levels[index + 1] : -INFINITY;
  const double side = right > left ? 1.0 : -1.0;
  const double neighbour = std::max(left, right);

  // The two highest bins sit at delta and 1 - delta from the tone: find the delta in [0, 0.5]
  // whose ratio of responses matches theirs. The ratio rises monotonically over the interval.
  double delta = 0;
  if (std::isfinite(neighbour)) {
    const double ratio = std::pow(10.0, (neighbour - levels[index]) / 20.0);
    auto g = [&](double d) {
      return std::fabs(Response(c, n, 1.0 - d)) / std::fabs(Response(c, n, d));
    };
    if (ratio >= 1.0) {
      delta = 0.5;
    } else if (ratio > g(0.0)) {
      double lo = 0.0, hi = 0.5;
      for (int i = 0; i < 60; ++i) {
        const double mid = 0.5 * (lo + hi);
        (g(mid) < ratio ? lo : hi) = mid;
      }
      delta = 0.5 * (lo + hi);
    }
  }
  const double centred = Response(c, n, 0.0);
  p.Found = true;
  p.Index = index;
  p.Bin = index + side * delta;
  p.Frequency = p.Bin * rate / fftLength;
  p.Level = levels[index] + 20.0 * std::log10(centred / std::fabs(Response(c, n, delta)));
  return p;
}

PeakEstimate FindPeak(const double* levels, int window, double rate, double fftLength, double from,
                      double to) {
  const int k = HighestPeak(levels, rate, fftLength, from, to, [](int) { return true; });
  if (k < 0) return {};
  return EstimatePeak(levels, window, rate, fftLength, k);
}

PeakEstimate FindNextPeak(const double* levels, int window, double rate, double fftLength,
                          double from, double to, const PeakEstimate& first) {
  const double away = 3.0 * MainLobeWidth(window);
  const int k = HighestPeak(levels, rate, fftLength, from, to, [&](int bin) {
    return !first.Found || std::fabs(bin - first.Bin) > away;
  });
  if (k < 0) return {};
  return EstimatePeak(levels, window, rate, fftLength, k);
}

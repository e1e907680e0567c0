#include "Fractionalsmoothing.h"

#include <algorithm>
#include <cmath>

namespace {

// Prefix sums of the non-NaN values and of their count, so every band costs two look-ups.
void PrefixSums(const double* values, int bins, std::vector<double>* sum, std::vector<int>* count) {
  sum->assign(static_cast<size_t>(bins) + 1, 0.0);
  count->assign(static_cast<size_t>(bins) + 1, 0);
  for (int i = 0; i < bins; ++i) {
    const bool ok = !std::isnan(values[i]);
    (*sum)[static_cast<size_t>(i) + 1] = (*sum)[static_cast<size_t>(i)] + (ok ? values[i] : 0.0);
    (*count)[static_cast<size_t>(i) + 1] = (*count)[static_cast<size_t>(i)] + (ok ? 1 : 0);
  }
}

}  // namespace

bool ValidSmoothingFraction(int fraction) {
  return fraction == 0 || fraction == 1 || fraction == 3 || fraction == 6 || fraction == 12 ||
         fraction == 24 || fraction == 48;
}

int FractionalHalfWidth(int k, int fraction) {
  if (k <= 0 || fraction <= 0) return 0;
  // (k + h) / (k - h) = 2^(1/N): the band spans 1/N octave exactly, centred on k in bins.
  const double r = std::exp2(1.0 / fraction);
  return static_cast<int>(std::lround(k * (r - 1.0) / (r + 1.0)));
}

SmoothingBand FractionalBand(int k, int fraction, int bins) {
  if (k <= 0 || fraction <= 0) return {k, k};
  const int h = std::max(0, std::min({FractionalHalfWidth(k, fraction), k - 1, bins - 1 - k}));
  return {k - h, k + h};
}

void SmoothMean(const double* values, int bins, int fraction, double* out) {
  std::vector<double> sum;
  std::vector<int> count;
  PrefixSums(values, bins, &sum, &count);
  for (int k = 0; k < bins; ++k) {
    if (std::isnan(values[k])) {
      out[k] = NAN;
      continue;
    }
    const SmoothingBand b = FractionalBand(k, fraction, bins);
    const auto lo = static_cast<size_t>(b.Low);
    const auto hi = static_cast<size_t>(b.High) + 1;
    out[k] = (sum[hi] - sum[lo]) / (count[hi] - count[lo]);
  }
}

void SmoothComplex(const double* re, const double* im, int bins, int fraction, double* outRe,
                   double* outIm) {
  SmoothMean(re, bins, fraction, outRe);
  SmoothMean(im, bins, fraction, outIm);
}

#include "Peakfinder.h"

#include <algorithm>
#include <cmath>
#include <vector>

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

// DC and one tone near it, fitted to the powers of the bins 0..last. The spectrum there is
// (the block's linear phase taken out) Y[k] = A0 W(k) + c W(k - b) + conj(c) W(k + b): DC of
// amplitude A0, the tone at b bins with its image at -b, W the window's real response. Its power,
// with S = W(k - b) + W(k + b) and D = W(k - b) - W(k + b), is
//   u W(k)^2 + 2 v W(k) S + p S^2 + q D^2,
// u = A0^2, v = A0 Re c, p = (Re c)^2, q = (Im c)^2: linear in u, v, p, q for each b, and so
// for a mean of block powers as well, whatever the tone's phase in each block. p + q is the
// power of the tone's centred reading. The b with the least squared error is searched on a grid,
// then refined.
struct LowFit {
  bool Valid = false;
  double Bin = 0;
  double Dc = 0;            // u
  double Tone = 0;          // p + q
  double Error = INFINITY;  // sum of the squared errors
  bool Physical = false;    // no negative power, the cross term within its bound
};

class LowToneFitter {
 public:
  static constexpr int kPerBin = 50;  // grid points per bin

  LowToneFitter(int window, const CosineSum& c, double n, const double* power, int last, double top)
      : power_(power), last_(last) {
    for (int k = 0; k <= last; ++k)
      peak_ = std::max(peak_, power[k]);
    // The window's response on the grid, kept for the next call of the same window and length
    // (the distortion window measures ten times a second).
    const size_t size = static_cast<size_t>(last + static_cast<int>(std::ceil(top)) + 4) * kPerBin;
    thread_local struct {
      int window = -1;
      double n = 0;
      std::vector<double> table;
    } cache;
    if (cache.window != window || cache.n != n || cache.table.size() < size) {
      const double centred = Response(c, n, 0.0);
      cache.table.resize(size);
      for (size_t i = 0; i < size; ++i)
        cache.table[i] = Response(c, n, static_cast<double>(i) / kPerBin) / centred;
      cache.window = window;
      cache.n = n;
    }
    table_ = &cache.table;
  }

  // Between the grid's points by four-point Lagrange interpolation (the response is even and
  // smooth: the error stays near 1e-6 of its peak).
  double W(double x) const {
    const double at = std::fabs(x) * kPerBin;
    const int i = static_cast<int>(at);
    const double t = at - i;
    const std::vector<double>& w = *table_;
    const double p0 = w[static_cast<size_t>(std::abs(i - 1))], p1 = w[static_cast<size_t>(i)];
    const double p2 = w[static_cast<size_t>(i + 1)], p3 = w[static_cast<size_t>(i + 2)];
    return p1 + 0.5 * t *
                    (p2 - p0 +
                     t * (2.0 * p0 - 5.0 * p1 + 4.0 * p2 - p3 + t * (3.0 * (p1 - p2) + p3 - p0)));
  }

  // At b = j / kPerBin, from the table.
  LowFit AtGrid(int j) const {
    return Fit(static_cast<double>(j) / kPerBin, [&](int k, int sign) {
      return (*table_)[static_cast<size_t>(std::abs(k * kPerBin + sign * j))];
    });
  }
  LowFit At(double b) const {
    return Fit(b, [&](int k, int sign) { return W(k + sign * b); });
  }

  // The best b in [lo, hi] bins. The true minimum need not be the deepest on the grid, where
  // unphysical fits may lie deeper: every local minimum of the grid is refined, and the best
  // physical fit taken.
  LowFit Search(double lo, double hi) const {
    const int first = std::max(1, static_cast<int>(std::ceil(lo * kPerBin)));
    const int final = static_cast<int>(std::floor(hi * kPerBin));
    if (final < first) return {};
    std::vector<LowFit> grid;
    for (int j = first; j <= final; ++j)
      grid.push_back(AtGrid(j));
    std::vector<size_t> minima;
    for (size_t i = 0; i < grid.size(); ++i) {
      if (!grid[i].Valid) continue;
      const bool left = i == 0 || !grid[i - 1].Valid || grid[i].Error <= grid[i - 1].Error;
      const bool right =
          i + 1 == grid.size() || !grid[i + 1].Valid || grid[i].Error <= grid[i + 1].Error;
      if (left && right) minima.push_back(i);
    }
    std::sort(minima.begin(), minima.end(),
              [&](size_t a, size_t b) { return grid[a].Error < grid[b].Error; });
    if (minima.size() > 32) minima.resize(32);
    LowFit best;
    for (size_t i : minima) {
      const LowFit f = Refine(grid[i], lo, hi);
      if (f.Physical && f.Error < best.Error) best = f;
    }
    return best;
  }

  // Golden-section search in the grid cells beside `start`; the best physical fit it meets.
  // Where the minimum itself is unphysical, a physical one may lie a hair beside it: the cells
  // are scanned finely for one, and the search goes on from there.
  LowFit Refine(const LowFit& start, double lo, double hi) const {
    LowFit best = start;
    const auto keep = [&](const LowFit& f) {
      if (f.Valid && f.Physical && (!best.Physical || f.Error < best.Error)) best = f;
    };
    LowFit centre = GoldenSection(start, lo, hi, keep);
    if (best.Physical) return best;
    constexpr int kFine = 40;
    for (int i = -kFine; i <= kFine; ++i) {
      const double b = centre.Bin + static_cast<double>(i) / (kFine * kPerBin);
      if (b >= lo && b <= hi) keep(At(b));
    }
    if (best.Physical) GoldenSection(best, lo, hi, keep, 1.0 / (kFine * kPerBin));
    return best;
  }

  template <typename Keep>
  LowFit GoldenSection(const LowFit& start, double lo, double hi, const Keep& keep,
                       double half = 1.0 / kPerBin) const {
    LowFit best = start;
    double a = std::max(lo, start.Bin - half), d = std::min(hi, start.Bin + half);
    constexpr double kGolden = 0.381966011250105;
    double b = a + kGolden * (d - a), cc = d - kGolden * (d - a);
    LowFit fb = At(b), fc = At(cc);
    keep(fb);
    keep(fc);
    for (int i = 0; i < 25; ++i) {
      if (fb.Error < fc.Error) {
        d = cc;
        cc = b;
        fc = fb;
        b = a + kGolden * (d - a);
        fb = At(b);
        keep(fb);
      } else {
        a = b;
        b = cc;
        fb = fc;
        cc = d - kGolden * (d - a);
        fc = At(cc);
        keep(fc);
      }
    }
    for (const LowFit& f : {fb, fc})
      if (f.Valid && f.Error < best.Error) best = f;
    return best;
  }

  // DC alone: the sum of its squared errors, or (`noise` given, the noise power of one bin)
  // the largest error it leaves beyond what the noise leaves through its cross term with DC
  // (2 A0 W(k) |noise|, ten times over).
  double DcOnlyError(double noise = -1) const {
    double num = 0, den = 0;
    for (int k = 0; k <= last_; ++k) {
      const double w2 =
          (*table_)[static_cast<size_t>(k * kPerBin)] * (*table_)[static_cast<size_t>(k * kPerBin)];
      num += w2 * power_[k];
      den += w2 * w2;
    }
    const double u = den > 0 ? num / den : 0;
    double largest = 0, sum = 0;
    for (int k = 0; k <= last_; ++k) {
      const double w = (*table_)[static_cast<size_t>(k * kPerBin)];
      const double e = power_[k] - u * w * w;
      if (noise >= 0)
        largest = std::max(largest, std::fabs(e) - 10.0 * std::sqrt(u * w * w * noise));
      sum += e * e;
    }
    return noise >= 0 ? largest : sum;
  }

 private:
  static constexpr int kMaxBins = 64;
  using Columns = double[kMaxBins][4];

  // Least squares of the powers over the columns in `which` (the others stay 0): Gauss-Jordan
  // on the normal equations, in order. An unknown whose pivot keeps less than 1e-10 of its
  // diagonal depends on the earlier ones (under "Rectangular" DC is bin 0 alone), one whose
  // column is all but nothing (the image's share where it hardly reaches the bins) is not
  // told by the bins: both stay 0, and `told` says so.
  void Solve(const Columns& cols, int count, const bool which[4], double x[4], bool told[4]) const {
    double m[4][5] = {};
    for (int k = 0; k < count; ++k)
      for (int i = 0; i < 4; ++i) {
        if (!which[i]) continue;
        m[i][4] += cols[k][i] * power_[k];
        for (int j = 0; j < 4; ++j)
          if (which[j]) m[i][j] += cols[k][i] * cols[k][j];
      }
    double diagonal[4], largest = 0;
    for (int i = 0; i < 4; ++i) {
      diagonal[i] = m[i][i];
      largest = std::max(largest, m[i][i]);
    }
    for (int c = 0; c < 4; ++c) {
      told[c] = which[c] && m[c][c] > 1e-10 * diagonal[c] && m[c][c] > 1e-9 * largest;
      if (!told[c]) continue;
      for (int r = 0; r < 4; ++r) {
        if (r == c) continue;
        const double f = m[r][c] / m[c][c];
        for (int j = c; j < 5; ++j)
          m[r][j] -= f * m[c][j];
      }
    }
    for (int i = 0; i < 4; ++i)
      x[i] = told[i] ? m[i][4] / m[i][i] : 0.0;
  }

  double ErrorOf(const Columns& cols, int count, const double x[4]) const {
    double e = 0;
    for (int k = 0; k < count; ++k) {
      double model = 0;
      for (int i = 0; i < 4; ++i)
        model += x[i] * cols[k][i];
      e += (power_[k] - model) * (power_[k] - model);
    }
    return e;
  }

  template <typename Response>
  LowFit Fit(double b, Response w) const {
    Columns cols;
    const int count = std::min(last_ + 1, kMaxBins);
    for (int k = 0; k < count; ++k) {
      const double w0 = w(k, 0), minus = w(k, -1), plus = w(k, 1);
      const double sum = minus + plus, diff = minus - plus;
      cols[k][0] = w0 * w0;
      cols[k][1] = 2 * w0 * sum;
      // p S^2 + q D^2 as t (S^2 + D^2) / 2 + r (S^2 - D^2) / 2, t = p + q, r = p - q: t, the
      // tone's power, stays well determined where the image hardly reaches the bins (S ~ D).
      cols[k][2] = 0.5 * (sum * sum + diff * diff);
      cols[k][3] = 2 * minus * plus;
    }
    const bool all[4] = {true, true, true, true};
    double x[4];
    bool told[4];
    Solve(cols, count, all, x, told);
    LowFit f;
    f.Bin = b;
    f.Error = ErrorOf(cols, count, x);
    f.Valid = std::isfinite(f.Error);

    // Powers are not negative (u, p, q >= 0), and the cross term of DC and the tone is bounded
    // by both (v^2 <= u p, equal in a single block). Where the bins leave part of the solution
    // loose it may stray past that; a fit counts only if a solution held to it describes the
    // bins nearly as well. With r past +-t, q = 0 (r = t) or p = 0 (r = -t, and then v = 0)
    // is fitted instead.
    double held[4] = {x[0], x[1], x[2], x[3]};
    if (told[3] && std::fabs(x[3]) > x[2]) {
      // q = 0: t S^2 = t (col2 + col3); p = 0: t D^2 = t (col2 - col3).
      const double sign = x[3] > 0 ? 1.0 : -1.0;
      Columns merged;
      for (int k = 0; k < count; ++k) {
        merged[k][0] = cols[k][0];
        merged[k][1] = sign > 0 ? cols[k][1] : 0.0;
        merged[k][2] = cols[k][2] + sign * cols[k][3];
        merged[k][3] = 0;
      }
      const bool some[4] = {true, sign > 0, true, false};
      bool toldMerged[4];
      Solve(merged, count, some, held, toldMerged);
      held[3] = sign * held[2];
    }
    held[0] = std::max(held[0], 0.0);
    held[2] = std::max(held[2], 0.0);
    held[3] = std::clamp(held[3], -held[2], held[2]);
    const double p = told[3] ? 0.5 * (held[2] + held[3]) : held[2];
    const double bound = std::sqrt(held[0] * p);
    held[1] = std::clamp(held[1], -bound, bound);
    const double slack = 3e-5 * peak_;
    f.Physical = ErrorOf(cols, count, held) <= 4.0 * f.Error + count * slack * slack;
    f.Dc = held[0];
    f.Tone = held[2];
    return f;
  }

  const double* power_;
  int last_;
  double peak_ = 0;
  const std::vector<double>* table_ = nullptr;
};

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

PeakEstimate FindTone(const double* levels, int window, double rate, double fftLength, double from,
                      double to) {
  const int bins = static_cast<int>(fftLength / 2);
  if (!levels || bins < 8 || !(rate > 0) || !(from <= to)) return {};
  const CosineSum c = Shape(window);
  const double n = fftLength;
  const double binHz = rate / n;
  const int halfLobe = static_cast<int>(MainLobeWidth(window) / 2);
  // Up to here a tone's main lobe comes within two bins of DC's: DC and the tone are fitted
  // together. Above, the peak of the bins stands on its own.
  // "Rectangular" leaks so far that the tone's own image bends its peak out to about 16 bins.
  const double top = window == WindowRectangular ? 16.5 : 2.0 * halfLobe + 2.5;
  std::vector<double> power(static_cast<size_t>(bins));
  for (int k = 0; k < bins; ++k)
    power[static_cast<size_t>(k)] =
        std::isfinite(levels[k]) ? std::pow(10.0, levels[k] / 10.0) : 0.0;
  const double strongest = *std::max_element(power.begin(), power.end());
  if (!(strongest > 0)) return {};
  std::vector<double> sorted = power;
  auto middle = sorted.begin() + static_cast<long>(sorted.size() / 2);
  std::nth_element(sorted.begin(), middle, sorted.end());
  // Content counts 20 dB above the median bin (the noise), and never in the last 120 dB
  // below the strongest bin, where only the arithmetic's rounding lies.
  const double significant = std::max(100.0 * *middle, 1e-12 * strongest);

  // Above the bins near DC: the highest peak that the leakage from near DC does not explain.
  PeakEstimate plain;
  double plainPower = 0;
  {
    const double centred = Response(c, n, 0.0);
    const int lo = std::max(static_cast<int>(std::floor(top)) + 1,
                            static_cast<int>(std::ceil(from / binHz - 1e-9)));
    const int hi = std::min(bins - 1, static_cast<int>(std::floor(to / binHz + 1e-9)));
    int best = -1;
    for (int k = std::max(lo, 0); k <= hi; ++k) {
      const double p = power[static_cast<size_t>(k)];
      if (!(p > 1e-15 * strongest) || (best >= 0 && p <= power[static_cast<size_t>(best)]))
        continue;
      if (!IsPeak(levels, bins, k)) continue;
      // What bin 0 holds may be DC or content up to the lowest resolved tone: the envelope of
      // their leakage.
      double leak = 0;
      for (double d = -kLowestToneBin; d <= kLowestToneBin; d += 0.25)
        leak = std::max(leak, std::fabs(Response(c, n, k + d) / centred));
      if (p > 100.0 * power[0] * leak * leak) best = k;
    }
    if (best >= 0) {
      plain = EstimatePeak(levels, window, rate, fftLength, best);
      if (plain.Found) plainPower = std::pow(10.0, plain.Level / 10.0);
    }
  }

  // Near DC: DC and one tone fitted together.
  PeakEstimate low;
  double lowPower = 0, unresolved = 0;
  const int last = std::min(bins - 1, static_cast<int>(std::ceil(top)) + halfLobe + 1);
  if (from <= top * binHz && last >= 4) {
    const LowToneFitter fitter(window, c, n, power.data(), last, top);
    const LowFit fit = fitter.Search(0.0, top);
    double peak = 0;
    for (int k = 0; k <= last; ++k)
      peak = std::max(peak, power[static_cast<size_t>(k)]);
    // The model must explain the bins to within a fraction of their peak (more than one tone
    // near DC, or a tone that drifts, leaves more), and most of what DC alone leaves: a tone
    // that explains little of it is not the content near DC.
    const bool fits = fit.Valid && std::sqrt(fit.Error / (last + 1)) <= 3e-3 * peak &&
                      fit.Error <= 1e-3 * fitter.DcOnlyError();
    // Next to DC the noise shows through its cross term with DC (2 A0 |noise| W): content
    // counts there only well above that as well.
    // The noise itself from the upper half of the band, where leakage from near DC is least.
    std::vector<double> upper(power.begin() + bins / 2, power.end());
    auto upperMiddle = upper.begin() + static_cast<long>(upper.size() / 2);
    std::nth_element(upper.begin(), upperMiddle, upper.end());
    const double nearDc = std::max(significant, 10.0 * std::sqrt(power[0] * *upperMiddle));
    const double excess = fitter.DcOnlyError(*upperMiddle);
    if (fits && fit.Tone > nearDc && fit.Bin >= kLowestToneBin) {
      if (fit.Bin * binHz >= from && fit.Bin * binHz <= to) {
        low.Found = true;
        low.Bin = fit.Bin;
        low.Index = std::min(bins - 1, static_cast<int>(std::lround(fit.Bin)));
        low.Frequency = fit.Bin * binHz;
        // On the scale of the levels searched: the centred reading.
        low.Level = 10.0 * std::log10(fit.Tone);
        lowPower = fit.Tone;
      }
    } else if (excess > significant) {
      // What DC alone leaves beyond the noise is content near DC all the same: a tone nearer
      // to DC than the resolution tells (whose power is not told either), or more than one.
      unresolved = fits ? std::max(fit.Tone, excess) : excess;
    }
  }

  if (unresolved > plainPower && unresolved > lowPower) {
    PeakEstimate refused;
    refused.BelowResolution = true;
    return refused;
  }
  return lowPower > plainPower ? low : plain;
}

#include "Delayfinder.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;
// Reference power this far below the mean over the bins counts as none (90 dB).
constexpr double kNoEnergy = 1e-9;
// A peak needs this many times the RMS of the rest of the correlation to count as found: the
// largest of some 10^5 values of noise lies near 4.5 times their RMS.
constexpr double kClarityNeeded = 8.0;
// Lags this close to the peak belong to it, not to the floor.
constexpr int kPeakWidth = 8;

}  // namespace

Delayfinder::Delayfinder(double rate, double maxLagSeconds)
    : rate_(rate > 0.0 && std::isfinite(rate) ? rate : 48000.0),
      maxLag_(static_cast<int>(std::ceil(
          std::clamp(std::isfinite(maxLagSeconds) ? maxLagSeconds : 1.0, 0.001, 2.0) * rate_))),
      length_(static_cast<int>(
          std::bit_ceil(static_cast<unsigned>(std::clamp(4 * maxLag_, 4096, 1 << 21))))),
      spectrum_(length_, WindowHanning) {
  const auto bins = static_cast<size_t>(length_ / 2 + 1);
  for (auto* v : {&sxyRe_, &sxyIm_, &sxx_, &syy_, &xr_, &xi_, &yr_, &yi_})
    v->assign(bins, 0.0);
  SetBand(0.0, 0.0);
}

void Delayfinder::SetBand(double lowHz, double highHz) {
  const int half = length_ / 2;
  const double perBin = rate_ / length_;
  lowBin_ = lowHz > 0.0 && std::isfinite(lowHz)
                ? std::clamp(static_cast<int>(std::ceil(lowHz / perBin)), 1, half)
                : 1;
  highBin_ = highHz > 0.0 && std::isfinite(highHz)
                 ? std::clamp(static_cast<int>(std::floor(highHz / perBin)), 1, half - 1)
                 : half - 1;
}

void Delayfinder::Reset() {
  measurement_.clear();
  reference_.clear();
  for (auto* v : {&sxyRe_, &sxyIm_, &sxx_, &syy_})
    std::fill(v->begin(), v->end(), 0.0);
  blocks_ = 0;
}

void Delayfinder::Push(const double* measurement, const double* reference, int frames) {
  if (frames <= 0) return;
  measurement_.insert(measurement_.end(), measurement, measurement + frames);
  reference_.insert(reference_.end(), reference, reference + frames);
  const size_t n = static_cast<size_t>(length_);
  const size_t hop = n / 2;
  size_t at = 0;
  while (at + n <= measurement_.size()) {
    Take(measurement_.data() + at, reference_.data() + at, true);
    at += hop;
  }
  if (at > 0) {
    measurement_.erase(measurement_.begin(), measurement_.begin() + static_cast<long>(at));
    reference_.erase(reference_.begin(), reference_.begin() + static_cast<long>(at));
  }
}

void Delayfinder::Flush() {
  const size_t m = measurement_.size();
  if (blocks_ > 0 || m < 64) return;
  // A Hann window over the samples there are, then zeros: a linear correlation of all of them.
  std::vector<double> a(static_cast<size_t>(length_), 0.0), b(a.size(), 0.0);
  for (size_t i = 0; i < m; ++i) {
    const double w = 0.5 - 0.5 * std::cos(2.0 * kPi * static_cast<double>(i) / (m - 1.0));
    a[i] = measurement_[i] * w;
    b[i] = reference_[i] * w;
  }
  Take(a.data(), b.data(), false);
}

void Delayfinder::Take(const double* m, const double* r, bool windowed) {
  const bool ok = windowed ? spectrum_.Forward(m, yr_.data(), yi_.data()) &&
                                 spectrum_.Forward(r, xr_.data(), xi_.data())
                           : spectrum_.ForwardUnwindowed(m, yr_.data(), yi_.data()) &&
                                 spectrum_.ForwardUnwindowed(r, xr_.data(), xi_.data());
  if (!ok) {
    ++refused_;
    return;
  }
  const int bins = length_ / 2 + 1;
  for (int k = 0; k < bins; ++k) {
    const auto i = static_cast<size_t>(k);
    sxyRe_[i] += xr_[i] * yr_[i] + xi_[i] * yi_[i];
    sxyIm_[i] += xr_[i] * yi_[i] - xi_[i] * yr_[i];
    sxx_[i] += xr_[i] * xr_[i] + xi_[i] * xi_[i];
    syy_[i] += yr_[i] * yr_[i] + yi_[i] * yi_[i];
  }
  ++blocks_;
}

DelayEstimate Delayfinder::Find() const {
  DelayEstimate e;
  e.Blocks = blocks_;
  if (blocks_ == 0) return e;
  const int n = length_;
  const int bins = n / 2 + 1;
  double mean = 0.0;
  for (int k = 1; k < bins - 1; ++k)
    mean += sxx_[static_cast<size_t>(k)];
  mean /= bins - 2;
  // Whitened cross-spectrum, each bin weighted by its coherence: bins where the measurement is
  // mostly noise count little, bins without a source not at all.
  std::vector<double> wr(static_cast<size_t>(bins), 0.0), wi(wr.size(), 0.0);
  for (int k = lowBin_; k <= highBin_; ++k) {
    const auto i = static_cast<size_t>(k);
    const double xx = sxx_[i], yy = syy_[i];
    const double g2 = sxyRe_[i] * sxyRe_[i] + sxyIm_[i] * sxyIm_[i];
    if (!(xx > mean * kNoEnergy) || !(yy > 0.0) || !(g2 > 0.0)) continue;
    const double coherence = std::min(1.0, g2 / (xx * yy));
    const double scale = coherence / std::sqrt(g2);
    wr[i] = sxyRe_[i] * scale;
    wi[i] = sxyIm_[i] * scale;
  }
  std::vector<double> r(static_cast<size_t>(n));
  spectrum_.Inverse(wr.data(), wi.data(), r.data());

  const int range = std::min(maxLag_, n / 2 - kPeakWidth - 2);
  const auto at = [&](int lag) { return r[static_cast<size_t>(lag < 0 ? lag + n : lag)]; };
  int best = 0;
  for (int lag = -range; lag <= range; ++lag)
    if (std::fabs(at(lag)) > std::fabs(at(best))) best = lag;
  const double peak = at(best);
  double floor2 = 0.0;
  int count = 0;
  for (int lag = -range; lag <= range; ++lag)
    if (std::abs(lag - best) > kPeakWidth) {
      floor2 += at(lag) * at(lag);
      ++count;
    }
  const double rms = count > 0 ? std::sqrt(floor2 / count) : 0.0;
  e.Clarity = rms > 0.0 ? std::fabs(peak) / rms : (peak != 0.0 ? INFINITY : 0.0);
  if (!(peak != 0.0) || e.Clarity < kClarityNeeded) return e;
  const double sign = peak < 0.0 ? -1.0 : 1.0;

  // Newton steps on c(t) = sum over bins of Re(W[k] e^(j w_k t)), the correlation between the
  // samples; e^(j w_k t) by rotation, restarted exactly every 1024 bins.
  double t = best;
  bool converged = false;
  for (int step = 0; step < 8; ++step) {
    const double theta = 2.0 * kPi * t / n;
    const double cr = std::cos(theta), ci = std::sin(theta);
    double d1 = 0.0, d2 = 0.0;
    double er = 1.0, ei = 0.0;
    for (int k = lowBin_; k <= highBin_; ++k) {
      if ((k - lowBin_) % 1024 == 0) {
        er = std::cos(theta * k);
        ei = std::sin(theta * k);
      }
      const auto i = static_cast<size_t>(k);
      const double zr = wr[i] * er - wi[i] * ei;
      const double zi = wr[i] * ei + wi[i] * er;
      const double w = 2.0 * kPi * k / n;
      d1 -= w * zi;
      d2 -= w * w * zr;
      const double nr = er * cr - ei * ci;
      ei = er * ci + ei * cr;
      er = nr;
    }
    d1 *= sign;
    d2 *= sign;
    if (!(d2 < 0.0)) break;
    const double move = -d1 / d2;
    t += move;
    if (std::fabs(t - best) > 1.0) break;
    if (std::fabs(move) < 1e-7) {
      converged = true;
      break;
    }
  }
  if (!converged || std::fabs(t - best) > 1.0) {
    // A parabola through the peak and its neighbours instead.
    const double a = sign * at(best - 1), b = sign * at(best), c = sign * at(best + 1);
    const double d = a - 2.0 * b + c;
    t = best + (d < 0.0 ? std::clamp(0.5 * (a - c) / d, -0.5, 0.5) : 0.0);
  }
  e.Found = true;
  e.Samples = t;
  e.Seconds = t / rate_;
  e.Inverted = sign < 0.0;
  return e;
}

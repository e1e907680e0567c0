#include "Transferfunction.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "Fractionalsmoothing.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kMostDelay = 16777216.0;  // 2^24 samples
// Bins on each side of a block's own coherence in the coherence-weighted mean.
constexpr int kLocalBins = 2;

int PowerOfTwoWithin(int n, int low, int high) {
  n = std::clamp(n, low, high);
  return static_cast<int>(std::bit_floor(static_cast<unsigned>(n)));
}

}  // namespace

Transferfunction::Transferfunction(const TransferSettings& settings, double rate)
    : settings_(settings),
      rate_(rate > 0.0 && std::isfinite(rate) ? rate : 48000.0),
      hop_(1),
      spectrum_(PowerOfTwoWithin(settings.Length, 16, 262144),
                std::clamp(settings.Window, 0, static_cast<int>(WindowRectangular))) {
  settings_.Length = spectrum_.Length();
  settings_.Window = std::clamp(settings_.Window, 0, static_cast<int>(WindowRectangular));
  const int n = settings_.Length;
  hop_ = settings_.Hop > 0 ? std::min(settings_.Hop, n) : n / 4;
  settings_.Hop = hop_;
  settings_.Blocks = std::clamp(settings_.Blocks, 1, 128);
  if (!ValidSmoothingFraction(settings_.Smoothing)) settings_.Smoothing = 0;
  SetBlankBelowCoherence(settings_.BlankBelowCoherence);
  if (settings_.Averaging == TransferAveraging::Fast ||
      settings_.Averaging == TransferAveraging::Slow) {
    const double tau = settings_.Averaging == TransferAveraging::Fast ? kTransferFastSeconds
                                                                      : kTransferSlowSeconds;
    decay_ = std::exp(-hop_ / (tau * rate_));
  }
  const auto bins = static_cast<size_t>(Bins());
  for (auto* v : {&sxyRe_, &sxyIm_, &sxx_, &syy_, &sdb_, &sw_, &xr_, &xi_, &yr_, &yi_})
    v->assign(bins, 0.0);
  rampRe_.assign(bins, 1.0);
  rampIm_.assign(bins, 0.0);
  if (settings_.Averaging == TransferAveraging::Last)
    ring_.assign(bins * 4 * static_cast<size_t>(settings_.Blocks), 0.0f);
  Reset();
}

bool Transferfunction::SetDelay(double samples) {
  if (!std::isfinite(samples) || std::fabs(samples) > kMostDelay) return false;
  delay_ = samples;
  const double lag = std::fabs(samples);
  const double whole = std::floor(lag);
  const double fraction = lag - whole;
  rampMeasurement_ = samples < 0.0;
  shiftMeasurement_ = samples < 0.0 ? static_cast<int>(whole) : 0;
  shiftReference_ = samples < 0.0 ? 0 : static_cast<int>(whole);
  const int n = settings_.Length;
  for (int k = 0; k < Bins(); ++k) {
    // e^(-j 2 pi k f / N): a delay by the fraction f.
    const double phase = -2.0 * kPi * static_cast<double>(k) * fraction / n;
    rampRe_[static_cast<size_t>(k)] = std::cos(phase);
    rampIm_[static_cast<size_t>(k)] = std::sin(phase);
  }
  Reset();
  return true;
}

void Transferfunction::SetSmoothing(int fraction) {
  settings_.Smoothing = ValidSmoothingFraction(fraction) ? fraction : 0;
}

void Transferfunction::SetBlankBelowCoherence(double coherence) {
  settings_.BlankBelowCoherence = std::isfinite(coherence) ? std::clamp(coherence, 0.0, 1.0) : 0.0;
}

void Transferfunction::Reset() {
  measurement_.clear();
  reference_.clear();
  base_ = pushed_;
  next_ = base_ + std::max(shiftMeasurement_, shiftReference_);
  for (auto* v : {&sxyRe_, &sxyIm_, &sxx_, &syy_, &sdb_, &sw_})
    std::fill(v->begin(), v->end(), 0.0);
  averaged_ = 0;
  weight_ = 0.0;
  ringCount_ = 0;
  ringNext_ = 0;
}

void Transferfunction::PushInterleaved(const double* frames, int count, int channels,
                                       int measurementChannel, int referenceChannel) {
  if (count <= 0 || channels <= 0) return;
  measurementChannel = std::clamp(measurementChannel, 0, channels - 1);
  referenceChannel = std::clamp(referenceChannel, 0, channels - 1);
  std::vector<double> m(static_cast<size_t>(count)), r(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    m[static_cast<size_t>(i)] = frames[static_cast<size_t>(i) * channels + measurementChannel];
    r[static_cast<size_t>(i)] = frames[static_cast<size_t>(i) * channels + referenceChannel];
  }
  Push(m.data(), r.data(), count);
}

void Transferfunction::Push(const double* measurement, const double* reference, int frames) {
  if (frames <= 0) return;
  measurement_.insert(measurement_.end(), measurement, measurement + frames);
  reference_.insert(reference_.end(), reference, reference + frames);
  pushed_ += frames;
  const int n = settings_.Length;
  while (next_ + n <= pushed_) {
    TakeBlock();
    next_ += hop_;
  }
  // Drop what no later block reads, in large steps so that the copying stays rare.
  const int64_t keep = next_ - std::max(shiftMeasurement_, shiftReference_);
  const int64_t spare = keep - base_;
  if (spare > std::max<int64_t>(n, 65536)) {
    measurement_.erase(measurement_.begin(), measurement_.begin() + spare);
    reference_.erase(reference_.begin(), reference_.begin() + spare);
    base_ = keep;
  }
}

void Transferfunction::TakeBlock() {
  const double* m = measurement_.data() + (next_ - shiftMeasurement_ - base_);
  const double* r = reference_.data() + (next_ - shiftReference_ - base_);
  if (!spectrum_.Forward(m, yr_.data(), yi_.data()) ||
      !spectrum_.Forward(r, xr_.data(), xi_.data())) {
    ++refused_;
    return;
  }
  // The lagging channel's fraction of a sample, as a phase ramp.
  double* fr = rampMeasurement_ ? yr_.data() : xr_.data();
  double* fi = rampMeasurement_ ? yi_.data() : xi_.data();
  const int bins = Bins();
  for (int k = 0; k < bins; ++k) {
    const double re = fr[k], im = fi[k];
    fr[k] = re * rampRe_[static_cast<size_t>(k)] - im * rampIm_[static_cast<size_t>(k)];
    fi[k] = re * rampIm_[static_cast<size_t>(k)] + im * rampRe_[static_cast<size_t>(k)];
  }
  switch (settings_.Averaging) {
    case TransferAveraging::All:
      AddRecord(xr_.data(), xi_.data(), yr_.data(), yi_.data(), 1.0);
      weight_ += 1.0;
      break;
    case TransferAveraging::Fast:
    case TransferAveraging::Slow:
      for (auto* v : {&sxyRe_, &sxyIm_, &sxx_, &syy_, &sdb_, &sw_})
        for (double& s : *v)
          s *= decay_;
      AddRecord(xr_.data(), xi_.data(), yr_.data(), yi_.data(), 1.0);
      weight_ = weight_ * decay_ + 1.0;
      break;
    case TransferAveraging::Last: {
      // Stored in single precision and added as stored, so that taking a block out later
      // subtracts exactly what went in.
      const auto size = static_cast<size_t>(bins);
      float* slot = ring_.data() + static_cast<size_t>(ringNext_) * 4 * size;
      const bool full = ringCount_ == settings_.Blocks;
      std::vector<double>& old = old_;
      old.resize(4 * size);
      if (full) {
        for (size_t i = 0; i < 4 * size; ++i)
          old[i] = slot[i];
        AddRecord(old.data(), old.data() + size, old.data() + 2 * size, old.data() + 3 * size,
                  -1.0);
      }
      double* parts[] = {xr_.data(), xi_.data(), yr_.data(), yi_.data()};
      for (size_t p = 0; p < 4; ++p)
        for (size_t i = 0; i < size; ++i) {
          slot[p * size + i] = static_cast<float>(parts[p][i]);
          parts[p][i] = slot[p * size + i];
        }
      AddRecord(xr_.data(), xi_.data(), yr_.data(), yi_.data(), 1.0);
      ringCount_ = std::min(ringCount_ + 1, settings_.Blocks);
      ringNext_ = (ringNext_ + 1) % settings_.Blocks;
      weight_ = ringCount_;
      if (full && ringNext_ == 0) {
        // Once per round the sums are formed afresh, so that no rounding piles up.
        for (auto* v : {&sxyRe_, &sxyIm_, &sxx_, &syy_, &sdb_, &sw_})
          std::fill(v->begin(), v->end(), 0.0);
        for (int b = 0; b < settings_.Blocks; ++b) {
          const float* s = ring_.data() + static_cast<size_t>(b) * 4 * size;
          for (size_t i = 0; i < 4 * size; ++i)
            old[i] = s[i];
          AddRecord(old.data(), old.data() + size, old.data() + 2 * size, old.data() + 3 * size,
                    1.0);
        }
      }
      break;
    }
  }
  averaged_ = settings_.Averaging == TransferAveraging::Last ? ringCount_ : averaged_ + 1;
}

void Transferfunction::AddRecord(const double* xr, const double* xi, const double* yr,
                                 const double* yi, double sign) {
  const int bins = Bins();
  const TransferCombining combining = settings_.Combining;
  std::vector<double>&gr = gr_, &gi = gi_, &gx = gx_, &gy = gy_;
  if (combining == TransferCombining::CoherenceWeighted) {
    for (auto* v : {&gr, &gi, &gx, &gy})
      v->resize(static_cast<size_t>(bins));
  }
  for (int k = 0; k < bins; ++k) {
    const double re = xr[k] * yr[k] + xi[k] * yi[k];
    const double im = xr[k] * yi[k] - xi[k] * yr[k];
    const double xx = xr[k] * xr[k] + xi[k] * xi[k];
    const double yy = yr[k] * yr[k] + yi[k] * yi[k];
    sxyRe_[static_cast<size_t>(k)] += sign * re;
    sxyIm_[static_cast<size_t>(k)] += sign * im;
    sxx_[static_cast<size_t>(k)] += sign * xx;
    syy_[static_cast<size_t>(k)] += sign * yy;
    if (combining == TransferCombining::Polar) {
      if (xx > 0.0 && yy > 0.0) {
        sdb_[static_cast<size_t>(k)] += sign * 10.0 * std::log10(yy / xx);
        sw_[static_cast<size_t>(k)] += sign;
      }
    } else if (combining == TransferCombining::CoherenceWeighted) {
      gr[static_cast<size_t>(k)] = re;
      gi[static_cast<size_t>(k)] = im;
      gx[static_cast<size_t>(k)] = xx;
      gy[static_cast<size_t>(k)] = yy;
    }
  }
  if (combining != TransferCombining::CoherenceWeighted) return;
  // One block's coherence over its neighbouring bins: low where noise spoilt that block.
  for (int k = 0; k < bins; ++k) {
    const int lo = std::max(0, k - kLocalBins), hi = std::min(bins - 1, k + kLocalBins);
    double re = 0, im = 0, xx = 0, yy = 0;
    for (int i = lo; i <= hi; ++i) {
      re += gr[static_cast<size_t>(i)];
      im += gi[static_cast<size_t>(i)];
      xx += gx[static_cast<size_t>(i)];
      yy += gy[static_cast<size_t>(i)];
    }
    const double x = gx[static_cast<size_t>(k)], y = gy[static_cast<size_t>(k)];
    if (!(xx > 0.0 && yy > 0.0 && x > 0.0 && y > 0.0)) continue;
    const double w = std::clamp((re * re + im * im) / (xx * yy), 0.0, 1.0);
    sdb_[static_cast<size_t>(k)] += sign * w * 10.0 * std::log10(y / x);
    sw_[static_cast<size_t>(k)] += sign * w;
  }
}

void Transferfunction::FormH(std::vector<double>* hr, std::vector<double>* hi,
                             std::vector<double>* coherence,
                             std::vector<double>* magnitude2) const {
  const int bins = Bins();
  for (auto* v : {hr, hi, coherence, magnitude2})
    v->assign(static_cast<size_t>(bins), NAN);
  if (averaged_ == 0) return;
  double mean = 0.0;
  for (int k = 1; k < bins - 1; ++k)
    mean += sxx_[static_cast<size_t>(k)];
  mean /= std::max(1, bins - 2);
  const double floor = mean * kTransferNoEnergy;
  for (int k = 0; k < bins; ++k) {
    const auto i = static_cast<size_t>(k);
    const double xx = sxx_[i], yy = syy_[i], re = sxyRe_[i], im = sxyIm_[i];
    if (!(xx > floor) || !(xx > 0.0) || !std::isfinite(xx) || !std::isfinite(yy)) continue;
    const double cross2 = re * re + im * im;
    const double c = yy > 0.0 ? std::clamp(cross2 / (xx * yy), 0.0, 1.0) : 0.0;
    if (c < settings_.BlankBelowCoherence) continue;
    double m2 = cross2 / (xx * xx);
    if (settings_.Combining != TransferCombining::Complex) {
      if (!(sw_[i] > 0.0)) continue;
      m2 = std::pow(10.0, sdb_[i] / sw_[i] / 10.0);
    }
    (*hr)[i] = re / xx;
    (*hi)[i] = im / xx;
    (*coherence)[i] = c;
    (*magnitude2)[i] = m2;
  }
}

TransferResult Transferfunction::Result() const {
  const int bins = Bins();
  const int n = settings_.Length;
  const int fraction = settings_.Smoothing;
  TransferResult r;
  r.Averages = averaged_;
  r.Frequency.resize(static_cast<size_t>(bins));
  for (int k = 0; k < bins; ++k)
    r.Frequency[static_cast<size_t>(k)] = k * rate_ / n;
  std::vector<double> hr, hi, coherence, magnitude2;
  FormH(&hr, &hi, &coherence, &magnitude2);

  std::vector<double> m2 = magnitude2, sr = hr, si = hi, c = coherence;
  if (fraction > 0) {
    SmoothMean(magnitude2.data(), bins, fraction, m2.data());
    SmoothComplex(hr.data(), hi.data(), bins, fraction, sr.data(), si.data());
    SmoothMean(coherence.data(), bins, fraction, c.data());
  }
  r.MagnitudeDb.resize(static_cast<size_t>(bins));
  r.PhaseDeg.resize(static_cast<size_t>(bins));
  for (int k = 0; k < bins; ++k) {
    const auto i = static_cast<size_t>(k);
    r.MagnitudeDb[i] = std::isnan(m2[i]) ? NAN : 10.0 * std::log10(m2[i]);
    double p = std::isnan(sr[i]) ? NAN : std::atan2(si[i], sr[i]) * (180.0 / kPi);
    if (p == -180.0) p = 180.0;
    r.PhaseDeg[i] = p;
  }
  r.Coherence = std::move(c);

  // The phase unwrapped step by step (a delay below N/2 samples turns the phase by less than
  // half a turn per bin), less the straight line from its first to its last bin so that the
  // sums below stay small, and running sums for a least-squares slope over any band.
  std::vector<double> unwrapped(static_cast<size_t>(bins), 0.0);
  std::vector<int> gaps(static_cast<size_t>(bins), 0);
  for (int k = 0; k + 1 < bins; ++k) {
    const auto i = static_cast<size_t>(k);
    const bool ok = !std::isnan(hr[i]) && !std::isnan(hr[i + 1]);
    // arg(H[k+1] conj(H[k]))
    const double step = ok ? std::atan2(hi[i + 1] * hr[i] - hr[i + 1] * hi[i],
                                        hr[i + 1] * hr[i] + hi[i + 1] * hi[i])
                           : 0.0;
    unwrapped[i + 1] = unwrapped[i] + step;
    gaps[i + 1] = gaps[i] + (ok ? 0 : 1);
  }
  const double trend = bins > 1 ? unwrapped[static_cast<size_t>(bins) - 1] / (bins - 1) : 0.0;
  std::vector<long double> sum(static_cast<size_t>(bins) + 1, 0.0L), moment(sum.size(), 0.0L);
  for (int k = 0; k < bins; ++k) {
    const auto i = static_cast<size_t>(k);
    const long double p = unwrapped[i] - trend * k;
    sum[i + 1] = sum[i] + p;
    moment[i + 1] = moment[i] + p * k;
  }
  r.GroupDelay.assign(static_cast<size_t>(bins), NAN);
  for (int k = 0; k < bins; ++k) {
    if (std::isnan(hr[static_cast<size_t>(k)])) continue;
    // The slope fitted over the smoothing band, centred on the bin, two bins each way at the
    // least; any blank bin in the band leaves the point blank.
    const int h = std::max(2, FractionalHalfWidth(k, fraction));
    const int lo = std::max(0, k - h), up = std::min(bins - 1, k + h);
    if (up - lo < 2 || gaps[static_cast<size_t>(up)] != gaps[static_cast<size_t>(lo)]) continue;
    const long double count = up - lo + 1;
    const long double s0 = sum[static_cast<size_t>(up) + 1] - sum[static_cast<size_t>(lo)];
    const long double s1 = moment[static_cast<size_t>(up) + 1] - moment[static_cast<size_t>(lo)];
    // Centred moments of the indices lo..up.
    const long double mid = (lo + up) / 2.0L;
    const long double spread = count * (count * count - 1.0L) / 12.0L;
    const double slope = static_cast<double>((s1 - mid * s0) / spread) + trend;
    r.GroupDelay[static_cast<size_t>(k)] = -slope / (2.0 * kPi / n) / rate_;
  }
  return r;
}

std::vector<double> Transferfunction::Impulse() const {
  std::vector<double> hr, hi, coherence, magnitude2;
  FormH(&hr, &hi, &coherence, &magnitude2);
  for (size_t i = 0; i < hr.size(); ++i)
    if (std::isnan(hr[i])) hr[i] = hi[i] = 0.0;
  std::vector<double> out(static_cast<size_t>(settings_.Length));
  // An engine of its own: the blocks' one may be busy on the feeding thread.
  RealSpectrum engine(settings_.Length, WindowRectangular);
  engine.Inverse(hr.data(), hi.data(), out.data());
  return out;
}

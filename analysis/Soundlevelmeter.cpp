#include "Soundlevelmeter.h"

#include <algorithm>
#include <cmath>
#include <limits>

double MeanSquareDb(double meanSquare) {
  if (!(meanSquare > 0.0)) return -std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(meanSquare / kFullScaleMeanSquare);
}

SoundLevelMeter::SoundLevelMeter(double rate)
    : rate_(rate),
      coefFast_(1.0 - std::exp(-1.0 / (kTauFast * rate))),
      coefSlow_(1.0 - std::exp(-1.0 / (kTauSlow * rate))),
      intervalLength_(static_cast<std::int64_t>(std::llround(rate))) {}

void SoundLevelMeter::Reset() {
  fast_ = slow_ = 0.0;
  running_ = 0;
  ResetStatistics();
}

void SoundLevelMeter::ResetStatistics() {
  maxFast_ = fast_;
  maxSlow_ = slow_;
  minFast_ = minSlow_ = -1.0;
  peak_ = 0.0;
  sum_ = 0.0;
  count_ = 0;
  intervalSum_ = 0.0;
  intervalCount_ = 0;
  lastInterval_ = -1.0;
  completed_ = 0;
}

void SoundLevelMeter::SetIntervalSeconds(double seconds) {
  seconds = std::clamp(seconds, 1.0, 3600.0);
  intervalLength_ = std::max<std::int64_t>(1, std::llround(seconds * rate_));
  intervalSum_ = 0.0;
  intervalCount_ = 0;
}

void SoundLevelMeter::Process(const double* samples, int n, int stride) {
  // Lmin waits until the time weighting has forgotten the silence it started from.
  const std::int64_t settleFast = std::llround(7.0 * kTauFast * rate_);
  const std::int64_t settleSlow = std::llround(7.0 * kTauSlow * rate_);
  double fast = fast_, slow = slow_, maxFast = maxFast_, maxSlow = maxSlow_;
  double peak = peak_, sum = 0.0, intervalSum = 0.0;
  for (int i = 0; i < n; ++i) {
    const double x = samples[static_cast<long>(i) * stride];
    const double sq = x * x;
    fast += coefFast_ * (sq - fast);
    slow += coefSlow_ * (sq - slow);
    maxFast = std::max(maxFast, fast);
    maxSlow = std::max(maxSlow, slow);
    peak = std::max(peak, std::fabs(x));
    ++running_;
    if (running_ > settleFast && (minFast_ < 0.0 || fast < minFast_)) minFast_ = fast;
    if (running_ > settleSlow && (minSlow_ < 0.0 || slow < minSlow_)) minSlow_ = slow;
    sum += sq;
    intervalSum += sq;
    if (++intervalCount_ >= intervalLength_) {
      intervalSum_ += intervalSum;
      lastInterval_ = intervalSum_ / static_cast<double>(intervalCount_);
      ++completed_;
      intervalSum_ = 0.0;
      intervalSum = 0.0;
      intervalCount_ = 0;
    }
  }
  fast_ = fast;
  slow_ = slow;
  maxFast_ = maxFast;
  maxSlow_ = maxSlow;
  peak_ = peak;
  sum_ += sum;
  intervalSum_ += intervalSum;
  count_ += n;
}

double SoundLevelMeter::Level(double meanSquare) const {
  return MeanSquareDb(meanSquare) + offset_;
}

double SoundLevelMeter::LevelDb(TimeWeighting weighting) const {
  return Level(weighting == TimeWeighting::Fast ? fast_ : slow_);
}

double SoundLevelMeter::LmaxDb(TimeWeighting weighting) const {
  return Level(weighting == TimeWeighting::Fast ? maxFast_ : maxSlow_);
}

double SoundLevelMeter::LminDb(TimeWeighting weighting) const {
  const double m = weighting == TimeWeighting::Fast ? minFast_ : minSlow_;
  return m < 0.0 ? -std::numeric_limits<double>::infinity() : Level(m);
}

double SoundLevelMeter::PeakDb() const {
  if (!(peak_ > 0.0)) return -std::numeric_limits<double>::infinity();
  return 20.0 * std::log10(peak_ / (kFullScale / std::sqrt(2.0))) + offset_;
}

double SoundLevelMeter::LeqDb() const {
  return count_ > 0 ? Level(sum_ / static_cast<double>(count_))
                    : -std::numeric_limits<double>::infinity();
}

double SoundLevelMeter::IntervalLeqDb() const {
  return intervalCount_ > 0 ? Level(intervalSum_ / static_cast<double>(intervalCount_))
                            : -std::numeric_limits<double>::infinity();
}

double SoundLevelMeter::LastIntervalLeqDb() const {
  return lastInterval_ < 0.0 ? -std::numeric_limits<double>::infinity() : Level(lastInterval_);
}

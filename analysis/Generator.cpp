#include "Generator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>
#include <vector>

#include "Mls.h"
#include "Pinknoise.h"

namespace {

constexpr double kPi = std::numbers::pi;
constexpr int kChunk = 256;

bool IsNoise(GeneratorSignal s) {
  return s == GeneratorSignal::White || s == GeneratorSignal::Pink ||
         s == GeneratorSignal::PeriodicPink || s == GeneratorSignal::Mls;
}

bool PowerOfTwo(int n) {
  return n > 0 && (n & (n - 1)) == 0;
}

std::string Hz(double f) {
  char text[64];
  std::snprintf(text, sizeof text, "%g Hz", f);
  return text;
}

// L = T / ln(f2/f1), shortened so that f1·|L| is a whole number (at least one); negative for
// a sweep downwards.
double SyncedL(double from, double to, double seconds) {
  const double l = seconds / std::log(to / from);
  return std::copysign(std::max(1.0, std::floor(from * std::abs(l))) / from, l);
}

}  // namespace

// A signal at unit scale: tones and sweeps with a peak of 1, noises with an RMS of 1.
class Generator::Source {
 public:
  virtual ~Source() = default;
  virtual void Fill(double* out, int frames) = 0;
  // Takes new settings of the same kind without a break; false when it cannot.
  virtual bool Retune(const GeneratorSettings&) { return false; }
  virtual bool Finished() const { return false; }
  // The largest sample, at unit scale.
  double peak = 1.0;
};

namespace {

// One or two sines; each phase counts cycles in double precision and wraps at one, so the
// frequency holds over hours.
class Tones : public Generator::Source {
 public:
  explicit Tones(const GeneratorSettings& s) { Retune(s); }
  bool Retune(const GeneratorSettings& s) override {
    const bool two = s.signal == GeneratorSignal::TwoTone;
    step_[0] = s.frequency / s.rate;
    step_[1] = two ? s.frequency2 / s.rate : 0.0;
    gain_[0] = two ? s.ratio / (1.0 + s.ratio) : 1.0;
    gain_[1] = two ? 1.0 / (1.0 + s.ratio) : 0.0;
    return true;
  }
  void Fill(double* out, int frames) override {
    for (int i = 0; i < frames; ++i) {
      double v = gain_[0] * std::sin(2 * kPi * phase_[0]);
      if (gain_[1] > 0) v += gain_[1] * std::sin(2 * kPi * phase_[1]);
      out[i] = v;
      for (int t = 0; t < 2; ++t) {
        // Compensated (Kahan) sum: the rounding of each step would otherwise lean one way
        // and add up to a drift of phase.
        const double y = step_[t] - carry_[t];
        const double sum = phase_[t] + y;
        carry_[t] = (sum - phase_[t]) - y;
        phase_[t] = sum;
        if (phase_[t] >= 1.0) phase_[t] -= 1.0;
      }
    }
  }

 private:
  double phase_[2] = {0.0, 0.0};
  double carry_[2] = {0.0, 0.0};
  double step_[2] = {0.0, 0.0};
  double gain_[2] = {1.0, 0.0};
};

class White : public Generator::Source {
 public:
  explicit White(uint64_t seed) : white_(seed) { peak = kNoiseCrest; }
  void Fill(double* out, int frames) override {
    for (int i = 0; i < frames; ++i)
      out[i] = white_.Next();
  }

 private:
  BoundedWhite white_;
};

class Pink : public Generator::Source {
 public:
  Pink(int rate, uint64_t seed) : pink_(rate, seed) { peak = kNoiseCrest; }
  void Fill(double* out, int frames) override { pink_.Fill(out, frames); }

 private:
  PinkNoise pink_;
};

// A period played round and round: periodic pink noise, MLS.
class Periodic : public Generator::Source {
 public:
  explicit Periodic(std::vector<double> period) : period_(std::move(period)) {
    peak = 0;
    for (double v : period_)
      peak = std::max(peak, std::abs(v));
  }
  void Fill(double* out, int frames) override {
    for (int i = 0; i < frames; ++i) {
      out[i] = period_[at_];
      if (++at_ == period_.size()) at_ = 0;
    }
  }

 private:
  std::vector<double> period_;
  size_t at_ = 0;
};

// A sweep once or over and over. Each pass has a 10 ms raised-cosine taper at either end, so
// that a repeat does not click from the top frequency back to the bottom one.
class Sweep : public Generator::Source {
 public:
  explicit Sweep(const GeneratorSettings& s)
      : log_(s.signal == GeneratorSignal::LogSweep),
        repeat_(s.repeat),
        rate_(s.rate),
        from_(s.from),
        to_(s.to) {
    pass_ = std::max<long>(1, std::lround(SweepPassSeconds(s) * s.rate));
    seconds_ = static_cast<double>(pass_) / s.rate;
    l_ = SyncedL(s.from, s.to, s.sweepSeconds);
    taper_ = std::min<long>(std::lround(kFadeSeconds * s.rate), pass_ / 4);
  }
  void Fill(double* out, int frames) override {
    for (int i = 0; i < frames; ++i) {
      if (n_ >= pass_) {
        if (!repeat_) {
          out[i] = 0.0;
          finished_ = true;
          continue;
        }
        n_ = 0;
      }
      const double t = static_cast<double>(n_) / rate_;
      // Phase in cycles, from the closed form: exact at every sample, never accumulated.
      const double cycles = log_ ? from_ * l_ * std::expm1(t / l_)
                                 : from_ * t + (to_ - from_) * t * t / (2.0 * seconds_);
      const double wrapped = cycles - std::floor(cycles);
      double v = std::sin(2 * kPi * wrapped);
      const long edge = std::min(n_, pass_ - 1 - n_);
      if (edge < taper_) v *= 0.5 - 0.5 * std::cos(kPi * (edge + 0.5) / taper_);
      out[i] = v;
      ++n_;
    }
  }
  bool Finished() const override { return finished_; }

 private:
  bool log_, repeat_;
  double rate_, from_, to_;
  long pass_ = 0, taper_ = 0, n_ = 0;
  double seconds_ = 0.0, l_ = 1.0;
  bool finished_ = false;
};

// Whether `b` can follow `a` in place (same source, new frequencies).
bool Retunable(const GeneratorSettings& a, const GeneratorSettings& b) {
  return a.signal == b.signal && a.rate == b.rate &&
         (a.signal == GeneratorSignal::Sine || a.signal == GeneratorSignal::TwoTone);
}

// Whether the source of `a` plays `b` as it is (only level, channels or on/off differ).
bool SameSource(const GeneratorSettings& a, const GeneratorSettings& b) {
  GeneratorSettings x = a, y = b;
  x.on = y.on = false;
  x.levelDb = y.levelDb = 0;
  x.channels = y.channels = GeneratorChannels::Both;
  return x == y;
}

}  // namespace

std::string GeneratorSettingsProblem(const GeneratorSettings& s) {
  if (s.rate < kGeneratorMinRate || s.rate > kGeneratorMaxRate)
    return "the rate must be from " + std::to_string(kGeneratorMinRate) + " to " +
           std::to_string(kGeneratorMaxRate) + " Hz";
  if (!std::isfinite(s.levelDb)) return "the level must be a number of dBFS";
  if (s.levelDb > 0.0) return "the level must be at most 0 dBFS";
  const double nyquist = s.rate / 2.0;
  auto frequency = [&](double f, const char* what) -> std::string {
    if (!std::isfinite(f) || f <= 0.0) return std::string(what) + " must be above 0 Hz";
    if (f >= nyquist)
      return std::string(what) + " must be below half the rate (" + Hz(nyquist) + ")";
    return {};
  };
  switch (s.signal) {
    case GeneratorSignal::Sine:
      return frequency(s.frequency, "the frequency");
    case GeneratorSignal::TwoTone:
      if (auto p = frequency(s.frequency, "the frequency"); !p.empty()) return p;
      if (auto p = frequency(s.frequency2, "the second frequency"); !p.empty()) return p;
      if (!std::isfinite(s.ratio) || s.ratio <= 0.0) return "the ratio must be above 0";
      return {};
    case GeneratorSignal::LogSweep:
    case GeneratorSignal::LinearSweep:
      if (auto p = frequency(s.from, "the start frequency"); !p.empty()) return p;
      if (auto p = frequency(s.to, "the end frequency"); !p.empty()) return p;
      if (!std::isfinite(s.sweepSeconds) || s.sweepSeconds <= 0.0)
        return "the sweep's length must be above 0 s";
      if (s.sweepSeconds > 3600.0) return "the sweep's length must be at most 3600 s";
      if (s.signal == GeneratorSignal::LogSweep) {
        if (s.from == s.to) return "a logarithmic sweep needs two different frequencies";
        if (SweepPassSeconds(s) * s.rate < 1.0) return "the sweep is too short";
      }
      return {};
    case GeneratorSignal::PeriodicPink:
      if (!PowerOfTwo(s.period) || s.period < 256 || s.period > (1 << 20))
        return "the period must be a power of two from 256 to 1048576";
      return {};
    case GeneratorSignal::Mls:
      if (s.mlsOrder < kMlsMinOrder || s.mlsOrder > kMlsMaxOrder)
        return "the MLS order must be from " + std::to_string(kMlsMinOrder) + " to " +
               std::to_string(kMlsMaxOrder);
      return {};
    case GeneratorSignal::White:
    case GeneratorSignal::Pink:
      return {};
  }
  return "unknown signal";
}

double SweepPassSeconds(const GeneratorSettings& s) {
  if (s.signal != GeneratorSignal::LogSweep) return s.sweepSeconds;
  return SyncedL(s.from, s.to, s.sweepSeconds) * std::log(s.to / s.from);
}

Generator::Generator(const GeneratorSettings& settings, uint64_t seed) : seed_(seed) {
  GeneratorSettings start = settings;
  if (!GeneratorSettingsProblem(start).empty()) start = GeneratorSettings{};
  start.on = false;
  settings_ = start;
  fadeFrames_ = std::max(1, static_cast<int>(std::lround(kFadeSeconds * settings_.rate)));
  source_ = Make(settings_);
  amplitude_ = amplitudeTarget_ = TargetAmplitude();
  Apply(settings);
}

Generator::~Generator() = default;

uint64_t Generator::RandomSeed() {
  std::random_device device;
  return (static_cast<uint64_t>(device()) << 32) ^ device();
}

std::unique_ptr<Generator::Source> Generator::Make(const GeneratorSettings& s) {
  // Each new noise draws afresh.
  const uint64_t seed = seed_ = seed_ * 6364136223846793005ULL + 1442695040888963407ULL;
  switch (s.signal) {
    case GeneratorSignal::Sine:
    case GeneratorSignal::TwoTone:
      return std::make_unique<Tones>(s);
    case GeneratorSignal::White:
      return std::make_unique<White>(seed);
    case GeneratorSignal::Pink:
      return std::make_unique<Pink>(s.rate, seed);
    case GeneratorSignal::PeriodicPink:
      if (period_.size() == static_cast<size_t>(s.period))
        return std::make_unique<Periodic>(std::move(period_));
      return std::make_unique<Periodic>(PeriodicPink(s.period, s.rate, seed));
    case GeneratorSignal::Mls:
      return std::make_unique<Periodic>(MaximumLengthSequence(s.mlsOrder));
    case GeneratorSignal::LogSweep:
    case GeneratorSignal::LinearSweep:
      return std::make_unique<Sweep>(s);
  }
  return std::make_unique<Tones>(s);
}

double Generator::TargetAmplitude() const {
  const Source* s = pending_ ? pending_.get() : source_.get();
  double a = std::pow(10.0, settings_.levelDb / 20.0);
  if (IsNoise(settings_.signal)) a /= std::sqrt(2.0);
  // Whatever the level, the largest sample stays within full scale.
  return std::min(a, 1.0 / s->peak);
}

double Generator::LevelDb() const {
  double a = TargetAmplitude();
  if (IsNoise(settings_.signal)) a *= std::sqrt(2.0);
  return 20 * std::log10(a);
}

double Generator::HighestLevelDb() const {
  const Source* s = pending_ ? pending_.get() : source_.get();
  const double a = 1.0 / s->peak;
  return std::min(0.0, 20 * std::log10(IsNoise(settings_.signal) ? a * std::sqrt(2.0) : a));
}

void Generator::Apply(const GeneratorSettings& next, std::vector<double> period) {
  period_ = std::move(period);
  Apply(next);
  period_.clear();
}

void Generator::Cut() {
  fade_ = 0;
  if (pending_) source_ = std::move(pending_);
  amplitude_ = amplitudeTarget_ = TargetAmplitude();
}

void Generator::Apply(const GeneratorSettings& next) {
  if (!GeneratorSettingsProblem(next).empty()) return;
  const GeneratorSettings before = settings_;
  settings_ = next;
  if (next.rate != before.rate) {
    fadeFrames_ = std::max(1, static_cast<int>(std::lround(kFadeSeconds * next.rate)));
    fade_ = 0;
    pending_.reset();
    source_ = Make(next);
  } else if (!SameSource(before, next)) {
    if (Retunable(before, next) && !pending_) {
      source_->Retune(next);
    } else if (fade_ == 0) {
      pending_.reset();
      source_ = Make(next);
    } else {
      pending_ = Make(next);
    }
  }
  amplitudeTarget_ = TargetAmplitude();
  if (fade_ == 0) amplitude_ = amplitudeTarget_;
  amplitudeStep_ = std::abs(amplitudeTarget_ - amplitude_) / fadeFrames_;
}

bool Generator::Silent() const {
  return fade_ == 0 && !settings_.on;
}

bool Generator::Finished() const {
  return !pending_ && source_->Finished();
}

void Generator::Render(double* out, int frames, int channels) {
  channels = std::clamp(channels, 1, 2);
  const bool left = channels == 1 || settings_.channels != GeneratorChannels::Right;
  const bool right = channels == 2 && settings_.channels != GeneratorChannels::Left;
  double unit[kChunk];
  double* at = out;
  for (int done = 0; done < frames;) {
    const int n = std::min(kChunk, frames - done);
    // The old signal has faded out: the new one takes over and fades in.
    if (pending_ && fade_ == 0) {
      source_ = std::move(pending_);
      amplitude_ = amplitudeTarget_ = TargetAmplitude();
    }
    const bool wantOn = settings_.on && !pending_;
    if (fade_ == 0 && !wantOn) {
      std::fill(at, at + static_cast<size_t>(n) * channels, 0.0);
    } else {
      source_->Fill(unit, n);
      for (int i = 0; i < n; ++i) {
        if (wantOn && fade_ < fadeFrames_)
          ++fade_;
        else if (!wantOn && fade_ > 0)
          --fade_;
        if (amplitude_ < amplitudeTarget_)
          amplitude_ = std::min(amplitudeTarget_, amplitude_ + amplitudeStep_);
        else if (amplitude_ > amplitudeTarget_)
          amplitude_ = std::max(amplitudeTarget_, amplitude_ - amplitudeStep_);
        const double s = std::sin(0.5 * kPi * fade_ / fadeFrames_);
        const double v = unit[i] * amplitude_ * s * s;
        at[static_cast<size_t>(i) * channels] = left ? v : 0.0;
        if (channels == 2) at[static_cast<size_t>(i) * 2 + 1] = right ? v : 0.0;
      }
    }
    done += n;
    at += static_cast<size_t>(n) * channels;
  }
}

#include "Pinknoise.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <map>
#include <mutex>
#include <numbers>

#include "Fft.h"

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kLowestPole = 3.0;
constexpr double kHighPass = 5.0;
constexpr double kFitFrom = 10.0;
constexpr double kPoleSpacing = 3.0;

struct Design {
  std::vector<double> pole, zero;
  double gain = 1.0;
};

// Deviation of the cascade from the pink slope (dB, up to a constant) at each frequency.
void Deviation(const Design& d, int rate, const std::vector<double>& freqs,
               std::vector<double>& out) {
  out.resize(freqs.size());
  for (size_t i = 0; i < freqs.size(); ++i) {
    const std::complex<double> z1 = std::polar(1.0, -2 * kPi * freqs[i] / rate);
    double power = freqs[i];
    for (size_t s = 0; s < d.pole.size(); ++s)
      power *= std::norm(1.0 - d.zero[s] * z1) / std::norm(1.0 - d.pole[s] * z1);
    out[i] = 10 * std::log10(power);
  }
}

// The deviation less its mean over the fitted band: what the fit makes small.
void Residuals(const Design& d, int rate, const std::vector<double>& freqs,
               std::vector<double>& out) {
  Deviation(d, rate, freqs, out);
  double mean = 0;
  for (double v : out)
    mean += v;
  mean /= static_cast<double>(out.size());
  for (double& v : out)
    v -= mean;
}

double SumOfSquares(const std::vector<double>& r) {
  double sum = 0;
  for (double v : r)
    sum += v * v;
  return sum;
}

// Solves a·x = b (n×n, symmetric positive definite after damping) by Gaussian elimination.
std::vector<double> Solve(std::vector<double> a, std::vector<double> b) {
  const size_t n = b.size();
  for (size_t c = 0; c < n; ++c) {
    size_t pivot = c;
    for (size_t r = c + 1; r < n; ++r)
      if (std::abs(a[r * n + c]) > std::abs(a[pivot * n + c])) pivot = r;
    for (size_t k = 0; k < n; ++k)
      std::swap(a[c * n + k], a[pivot * n + k]);
    std::swap(b[c], b[pivot]);
    if (a[c * n + c] == 0.0) continue;
    for (size_t r = c + 1; r < n; ++r) {
      const double f = a[r * n + c] / a[c * n + c];
      for (size_t k = c; k < n; ++k)
        a[r * n + k] -= f * a[c * n + k];
      b[r] -= f * b[c];
    }
  }
  std::vector<double> x(n, 0.0);
  for (size_t c = n; c-- > 0;) {
    double v = b[c];
    for (size_t k = c + 1; k < n; ++k)
      v -= a[c * n + k] * x[k];
    x[c] = a[c * n + c] == 0.0 ? 0.0 : v / a[c * n + c];
  }
  return x;
}

// Poles every 1.6 octaves from 3 Hz with zeros between them: -3 dB per octave on average,
// with a ripple of a few hundredths of a dB, except near half the rate, where the digital
// sections bend away from the slope. Every pole and zero is then moved (in log(1 - z), which
// follows its frequency) by damped least squares until the deviation over the band is least.
// No cascade of real sections keeps the slope right up to half the rate, hence the top of the
// fit.
Design Fit(int rate) {
  Design d;
  // First a fixed high-pass at 5 Hz (a zero at DC): the noise carries no infrasound whose few
  // slow swings would make its level wander from one half-minute to the next.
  d.pole.push_back(std::exp(-2 * kPi * kHighPass / rate));
  d.zero.push_back(1.0);
  for (double f = kLowestPole; f < rate / 2.0; f *= kPoleSpacing) {
    d.pole.push_back(std::exp(-2 * kPi * f / rate));
    d.zero.push_back(std::exp(-2 * kPi * std::min(f * std::sqrt(kPoleSpacing), rate / 2.0) / rate));
  }
  std::vector<double> freqs;
  const double top = std::min(20000.0, 0.42 * rate);
  for (double f = kFitFrom; f < top; f *= std::pow(2.0, 1.0 / 12))
    freqs.push_back(f);
  freqs.push_back(top);
  // Every pole and zero but those of the high-pass.
  const size_t sections = d.pole.size() - 1;
  const size_t params = 2 * sections;
  auto get = [&](size_t j) -> double& {
    return j < sections ? d.pole[j + 1] : d.zero[j - sections + 1];
  };
  // No pole or zero below 1 Hz, nor beyond z = -0.95.
  const double lowest = std::log(1.0 - std::exp(-2 * kPi * 1.0 / rate));
  auto set = [&](size_t j, double theta) {
    get(j) = std::max(-0.95, 1.0 - std::exp(std::max(lowest, theta)));
  };
  std::vector<double> r, rj;
  Residuals(d, rate, freqs, r);
  double cost = SumOfSquares(r);
  double lambda = 1e-3;
  const size_t m = freqs.size();
  std::vector<double> jac(m * params);
  for (int iteration = 0; iteration < 100 && cost > 1e-12; ++iteration) {
    const Design saved = d;
    for (size_t j = 0; j < params; ++j) {
      const double theta = std::log(1.0 - get(j));
      constexpr double h = 1e-6;
      set(j, theta + h);
      Residuals(d, rate, freqs, rj);
      for (size_t i = 0; i < m; ++i)
        jac[i * params + j] = (rj[i] - r[i]) / h;
      d = saved;
    }
    std::vector<double> jtj(params * params, 0.0), jtr(params, 0.0);
    for (size_t i = 0; i < m; ++i)
      for (size_t a = 0; a < params; ++a) {
        jtr[a] -= jac[i * params + a] * r[i];
        for (size_t b = 0; b < params; ++b)
          jtj[a * params + b] += jac[i * params + a] * jac[i * params + b];
      }
    bool better = false;
    for (int tries = 0; tries < 10 && !better; ++tries) {
      std::vector<double> damped = jtj;
      for (size_t a = 0; a < params; ++a)
        damped[a * params + a] *= 1.0 + lambda;
      const std::vector<double> step = Solve(damped, jtr);
      for (size_t j = 0; j < params; ++j)
        set(j, std::log(1.0 - get(j)) + step[j]);
      Residuals(d, rate, freqs, rj);
      const double c = SumOfSquares(rj);
      if (c < cost) {
        better = true;
        cost = c;
        r = rj;
        lambda = std::max(1e-9, lambda / 3);
      } else {
        d = saved;
        lambda *= 4;
      }
    }
    if (!better) break;
  }
  // Unit RMS out for unit-RMS white in: the energy of the impulse response, summed until the
  // slowest pole has died away.
  const double slowest = *std::max_element(d.pole.begin(), d.pole.end());
  const long length = static_cast<long>(40.0 / (1.0 - slowest)) + 64;
  std::vector<double> state(d.pole.size(), 0.0);
  double energy = 0;
  for (long n = 0; n < length; ++n) {
    double y = n == 0 ? 1.0 : 0.0;
    for (size_t s = 0; s < d.pole.size(); ++s) {
      const double v = y + d.pole[s] * state[s];
      y = v - d.zero[s] * state[s];
      state[s] = v;
    }
    energy += y * y;
  }
  d.gain = 1.0 / std::sqrt(energy);
  return d;
}

// The fit takes a moment; every generator at one rate shares it.
const Design& DesignFor(int rate) {
  static std::mutex mutex;
  static std::map<int, Design> designs;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = designs.find(rate);
  if (it == designs.end()) it = designs.emplace(rate, Fit(rate)).first;
  return it->second;
}

}  // namespace

BoundedWhite::BoundedWhite(uint64_t seed) : random_(seed) {
  // The variance of a unit Gaussian cut at ±c: 1 - 2c·φ(c) / (1 - 2Q(c)).
  const double c = kNoiseCrest;
  const double phi = std::exp(-0.5 * c * c) / std::sqrt(2 * kPi);
  const double inside = std::erf(c / std::sqrt(2.0));
  norm_ = 1.0 / std::sqrt(1.0 - 2 * c * phi / inside);
}

double BoundedWhite::Next() {
  // The bound on the output, after normalising, is what counts.
  for (;;) {
    const double v = gauss_(random_) * norm_;
    if (std::abs(v) <= kNoiseCrest) return v;
  }
}

PinkFilter::PinkFilter(int rate) {
  const Design& d = DesignFor(rate);
  pole_ = d.pole;
  zero_ = d.zero;
  gain_ = d.gain;
  state_.assign(pole_.size(), 0.0);
}

double PinkFilter::Process(double white) {
  double y = white * gain_;
  for (size_t s = 0; s < pole_.size(); ++s) {
    const double v = y + pole_[s] * state_[s];
    y = v - zero_[s] * state_[s];
    state_[s] = v;
  }
  return y;
}

PinkNoise::PinkNoise(int rate, uint64_t seed)
    : white_(seed), filter_(rate), lookahead_(std::max(1, rate / 1000)) {
  delayed_.assign(static_cast<size_t>(2 * lookahead_ + 1), 0.0);
  gain_.assign(delayed_.size(), 1.0);
  // The filter starts from rest: run it in for a second so the first samples already have
  // the slope's low end.
  for (int i = 0; i < rate; ++i)
    Push(filter_.Process(white_.Next()));
}

double PinkNoise::Push(double x) {
  const size_t n = delayed_.size();
  // Slot `at_` holds the sample `lookahead_` behind the newest (the one that leaves now)
  // once the new one is in at at_ + lookahead_.
  const size_t newest = (at_ + static_cast<size_t>(lookahead_)) % n;
  delayed_[newest] = x;
  gain_[(at_ + 2 * static_cast<size_t>(lookahead_)) % n] = 1.0;
  const double a = std::abs(x);
  if (a > kNoiseCrest) {
    // A raised-cosine dip centred on the peak, reaching exactly the gain that brings it to
    // the bound; each sample keeps the deepest dip it lies in.
    const double floor = kNoiseCrest / a;
    for (int k = -lookahead_; k <= lookahead_; ++k) {
      const double shape = 0.5 + 0.5 * std::cos(kPi * k / (lookahead_ + 1));
      const double g = 1.0 - (1.0 - floor) * shape;
      double& slot = gain_[(newest + n + static_cast<size_t>(k + static_cast<int>(n))) % n];
      slot = std::min(slot, g);
    }
  }
  const double out = delayed_[at_] * gain_[at_];
  at_ = (at_ + 1) % n;
  return out;
}

void PinkNoise::Fill(double* out, int frames) {
  for (int i = 0; i < frames; ++i)
    out[i] = Push(filter_.Process(white_.Next()));
}

namespace {

// The real sequence whose spectrum is the Hermitian (re, im) over all `n` bins, through the
// forward transform: x = (Re DFT(re) + Im DFT(im)) / n. The engine scales its input from the
// 16-bit range (1/32768), which is undone here.
void Inverse(FFT& fft, const std::vector<double>& re, const std::vector<double>& im,
             std::vector<double>& out) {
  const size_t n = re.size();
  out.assign(n, 0.0);
  fft.Process(re.data(), WindowRectangular);
  for (size_t i = 0; i < n; ++i)
    out[i] = fft.SpectrumRe[i];
  fft.Process(im.data(), WindowRectangular);
  for (size_t i = 0; i < n; ++i)
    out[i] = (out[i] + fft.SpectrumIm[i]) * (32768.0 / static_cast<double>(n));
}

}  // namespace

std::vector<double> PeriodicPink(int length, int rate, uint64_t seed) {
  const size_t n = static_cast<size_t>(length);
  std::vector<double> mag(n, 0.0), re(n, 0.0), im(n, 0.0);
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> phase(0.0, 2 * kPi);
  for (size_t k = 1; k < n / 2; ++k) {
    const double f = static_cast<double>(k) * rate / static_cast<double>(n);
    if (f < kFitFrom) continue;
    mag[k] = mag[n - k] = 1.0 / std::sqrt(f);
    const double p = phase(random);
    re[k] = re[n - k] = mag[k] * std::cos(p);
    im[k] = mag[k] * std::sin(p);
    im[n - k] = -im[k];
  }
  FFT fft(static_cast<uint32_t>(n));
  std::vector<double> x;
  Inverse(fft, re, im, x);
  // Parseval: the period's mean square from the magnitudes alone.
  double power = 0;
  for (double m : mag)
    power += m * m;
  const double rms = std::sqrt(power) / static_cast<double>(n);
  for (int round = 0; round < 12; ++round) {
    const double bound = 2.5 * rms;
    for (double& v : x)
      v = std::clamp(v, -bound, bound);
    fft.Process(x.data(), WindowRectangular);
    for (size_t k = 0; k < n; ++k) {
      const double a = std::hypot(fft.SpectrumRe[k], fft.SpectrumIm[k]);
      if (mag[k] == 0.0 || a == 0.0) {
        re[k] = im[k] = 0.0;
        continue;
      }
      re[k] = fft.SpectrumRe[k] * mag[k] / a;
      im[k] = fft.SpectrumIm[k] * mag[k] / a;
    }
    Inverse(fft, re, im, x);
  }
  for (double& v : x)
    v /= rms;
  return x;
}

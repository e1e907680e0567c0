#include "Sweepdeconvolution.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>

#include "Fft.h"
#include "Logsweep.h"

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// The engine keeps eight arrays of its length and the division five more: at 2^22 points
// (87 s of recording and sweep at 48 kHz) that is about 450 MB.
constexpr int64_t kMaxLength = int64_t{1} << 22;
// Regularisation re the sweep's highest power density: inside the band small enough that the
// division stays within 0.01 dB where a 3-decade log sweep is weakest, outside as large as
// the highest, so that what the sweep hardly played is attenuated instead of amplified.
constexpr double kInsideBand = 1e-6;
constexpr double kOutsideBand = 1.0;
// Outside the band the regularisation rises over an octave: a sharper step would ring.
constexpr double kTransitionOctaves = 1.0;
constexpr double kBandThreshold = 1e-5;  // -50 dB

bool AllFinite(const double* x, int64_t n) {
  for (int64_t i = 0; i < n; ++i)
    if (!std::isfinite(x[i])) return false;
  return true;
}

// Bins lo..hi where the sweep's power, smoothed over a sixth of an octave, lies within 50 dB
// of its highest.
std::vector<double> FindBand(const std::vector<double>& power, int64_t* lo, int64_t* hi) {
  const int64_t half = static_cast<int64_t>(power.size()) - 1;
  std::vector<double> sum(power.size() + 1, 0.0);
  for (size_t k = 0; k < power.size(); ++k)
    sum[k + 1] = sum[k] + power[k];
  const double edge = std::pow(2.0, 1.0 / 12.0);
  std::vector<double> smooth(power.size(), 0.0);
  double top = 0.0;
  for (int64_t k = 1; k <= half; ++k) {
    const int64_t a = std::max<int64_t>(1, static_cast<int64_t>(std::floor(k / edge)));
    const int64_t b = std::min<int64_t>(half, static_cast<int64_t>(std::ceil(k * edge)));
    smooth[static_cast<size_t>(k)] =
        (sum[static_cast<size_t>(b) + 1] - sum[static_cast<size_t>(a)]) /
        static_cast<double>(b - a + 1);
    top = std::max(top, smooth[static_cast<size_t>(k)]);
  }
  *lo = half;
  *hi = 1;
  for (int64_t k = 1; k <= half; ++k)
    if (smooth[static_cast<size_t>(k)] >= kBandThreshold * top) {
      *lo = std::min(*lo, k);
      *hi = std::max(*hi, k);
    }
  return smooth;
}

// A sweep's frequency near one end from its first (or last) few zero crossings, interpolated
// between samples; 0 when it has too few.
double EndFrequency(const double* x, int64_t n, double rate, bool fromEnd) {
  constexpr int kCrossings = 5;
  double times[kCrossings];
  int found = 0;
  int64_t previous = -1;
  for (int64_t j = 0; j < n && found < kCrossings; ++j) {
    const int64_t i = fromEnd ? n - 1 - j : j;
    if (x[i] == 0.0) continue;
    if (previous >= 0 && (x[i] > 0.0) != (x[previous] > 0.0)) {
      // Where the line between the two samples meets zero.
      const double a = x[previous], b = x[i];
      const double at =
          static_cast<double>(previous) + (static_cast<double>(i - previous)) * (a / (a - b));
      times[found++] = at / rate;
    }
    previous = i;
  }
  if (found < kCrossings) return 0.0;
  const double span = std::fabs(times[kCrossings - 1] - times[0]);
  return span > 0.0 ? (kCrossings - 1) / (2.0 * span) : 0.0;
}

// 0 inside [lo, hi] Hz, rising as a half cosine in log frequency to 1 an octave
// outside.
double Outside(double f, double lo, double hi) {
  double octaves = 0.0;
  if (f < lo) octaves = f > 0.0 ? std::log2(lo / f) : kTransitionOctaves;
  if (f > hi) octaves = std::log2(f / hi);
  if (octaves >= kTransitionOctaves) return 1.0;
  return 0.5 - 0.5 * std::cos(kPi * octaves / kTransitionOctaves);
}

}  // namespace

int64_t MaxDeconvolutionFrames() {
  return kMaxLength;
}

SweepDeconvolution DeconvolveSweep(const double* recording, int64_t nr, const double* sweep,
                                   int64_t ns, double rate, const DeconvolutionOptions& o) {
  SweepDeconvolution d;
  d.rate = rate;
  auto fail = [&d](std::string why) {
    d.error = std::move(why);
    return d;
  };
  if (!(rate > 0.0) || !std::isfinite(rate)) return fail("no sampling rate");
  if (ns < 16) return fail("the sweep is shorter than 16 samples");
  if (ns > nr) return fail("the sweep is longer than the recording");
  if (nr + ns > kMaxLength)
    return fail("recording and sweep together exceed " + std::to_string(kMaxLength) + " frames");
  if (!AllFinite(sweep, ns)) return fail("the sweep holds samples that are not numbers");
  if (!AllFinite(recording, nr)) return fail("the recording holds samples that are not numbers");

  // Long enough that the response's positive times (up to the recording's length) and its
  // negative ones (harmonics, down to minus the sweep's length) do not overlap.
  uint32_t n = 16;
  while (n < static_cast<uint64_t>(nr + ns))
    n *= 2;
  const uint32_t half = n / 2;
  FFT fft(n);
  std::vector<double> block(n, 0.0);
  std::copy(recording, recording + nr, block.begin());
  fft.Process(block.data(), WindowRectangular);
  std::vector<std::complex<double>> spectrum(half + 1);
  for (uint32_t k = 0; k <= half; ++k)
    spectrum[k] = {fft.SpectrumRe[k], fft.SpectrumIm[k]};
  std::fill(block.begin(), block.end(), 0.0);
  std::copy(sweep, sweep + ns, block.begin());
  fft.Process(block.data(), WindowRectangular);
  std::vector<double> power(half + 1);
  double top = 0.0;
  for (uint32_t k = 0; k <= half; ++k) {
    power[k] = fft.SpectrumRe[k] * fft.SpectrumRe[k] + fft.SpectrumIm[k] * fft.SpectrumIm[k];
    top = std::max(top, power[k]);
  }
  if (!(top > 0.0)) return fail("the sweep is silent");

  const double bin = rate / n;
  if (o.lowHz > 0.0 && o.highHz > o.lowHz) {
    d.lowHz = o.lowHz;
    d.highHz = std::min(o.highHz, rate / 2.0);
  } else {
    // The spectrum alone cannot tell a log sweep's low end (its abrupt start spreads energy
    // down to DC at -20 dB) nor a linear sweep's top (its last step's tail); the frequencies
    // at its two ends, from zero crossings and widened by a sixth of an octave, can.
    // A fast sweep's first cycles span more than its start frequency: below that estimate the
    // band goes on for as long as the smoothed density stays within 10 dB of it there.
    int64_t lo = 1, hi = half;
    const std::vector<double> smooth = FindBand(power, &lo, &hi);
    d.lowHz = static_cast<double>(lo) * bin;
    d.highHz = static_cast<double>(hi) * bin;
    const double a = EndFrequency(sweep, ns, rate, false), b = EndFrequency(sweep, ns, rate, true);
    const double widen = std::pow(2.0, 1.0 / 6.0);
    if (a > 0.0 && b > 0.0) {
      int64_t k = std::clamp<int64_t>(std::llround(std::min(a, b) / widen / bin), 1, half);
      const double level = smooth[static_cast<size_t>(k)];
      while (k > 1 && smooth[static_cast<size_t>(k - 1)] >= 0.1 * level)
        --k;
      d.lowHz = std::max(d.lowHz, static_cast<double>(k) * bin);
      d.highHz = std::min(d.highHz, std::max(a, b) * widen);
    }
    if (!(d.highHz > d.lowHz)) {
      d.lowHz = static_cast<double>(lo) * bin;
      d.highHz = static_cast<double>(hi) * bin;
    }
  }

  // H = R S* / (|S|^2 + eps) goes back through the forward engine as one real block: of
  // C = Re H + Im H, the even part's transform is real and the odd part's imaginary, so
  // x = (Re F(C) + Im F(C)) / n (the engine's conjugate convention gives the same).
  std::vector<double> c(n);
  for (uint32_t k = 0; k <= half; ++k) {
    const std::complex<double> s{fft.SpectrumRe[k], fft.SpectrumIm[k]};
    const double w = Outside(k * bin, d.lowHz, d.highHz);
    const double eps = top * (kInsideBand + (kOutsideBand - kInsideBand) * w);
    std::complex<double> q = spectrum[k] * std::conj(s) / (power[k] + eps);
    // DC and the Nyquist bin of a real block are real.
    if (k == 0 || k == half) q.imag(0.0);
    c[k] = q.real() + q.imag();
    if (k > 0 && k < half) c[n - k] = q.real() - q.imag();
  }
  // The engine's own scale: a unit impulse's spectrum.
  double unit = 1.0;
  {
    FFT probe(16);
    std::vector<double> impulse(16, 0.0);
    impulse[0] = 1.0;
    probe.Process(impulse.data(), WindowRectangular);
    unit = probe.SpectrumRe[0];
  }
  fft.Process(c.data(), WindowRectangular);
  const double scale = 1.0 / (n * unit);
  std::vector<double> h(n);
  for (uint32_t i = 0; i < n; ++i)
    h[i] = (fft.SpectrumRe[i] + fft.SpectrumIm[i]) * scale;

  double L = 0.0;
  if (o.logRateConstant > 0.0 && std::isfinite(o.logRateConstant))
    L = o.logRateConstant;
  else if (o.logRateConstant == 0.0)
    L = EstimateLogSweepRateConstant(sweep, ns, rate);
  d.logRateConstant = L;
  double preSeconds = std::clamp(o.preSeconds, 0.0, 1.0);
  if (L > 0.0) preSeconds = std::min(preSeconds, 0.5 * L * std::log(2.0));
  const int64_t pre = std::min<int64_t>(ns, std::llround(preSeconds * rate));
  d.zero = pre;
  // Past the recording's length less the sweep's, the division would see only the start of
  // the sweep (its low frequencies): what lies there is not the response.
  const int64_t positive = nr - ns + 1;
  d.response.resize(static_cast<size_t>(pre + positive));
  for (int64_t i = 0; i < pre; ++i)
    d.response[static_cast<size_t>(i)] = h[static_cast<size_t>(n - pre + i)];
  std::copy(h.begin(), h.begin() + positive, d.response.begin() + pre);
  for (size_t i = 0; i < d.response.size(); ++i)
    if (std::fabs(d.response[i]) > std::fabs(d.response[static_cast<size_t>(d.peak)]))
      d.peak = static_cast<int64_t>(i);

  if (L > 0.0) {
    // Half the gap between the 5th and the 6th harmonic: no cut reaches a neighbour's impulse.
    const int64_t w = std::max<int64_t>(
        8, static_cast<int64_t>(std::floor(0.5 * L * std::log(6.0 / 5.0) * rate)));
    d.halfWindow = w;
    const int64_t taper = std::max<int64_t>(1, w / 4);
    const double linear = static_cast<double>(d.peak - d.zero);
    for (int k = 2; k <= 5; ++k) {
      HarmonicResponse r;
      r.order = k;
      r.expected = linear - L * std::log(static_cast<double>(k)) * rate;
      r.start = static_cast<int64_t>(std::llround(r.expected)) - w;
      // Only what lies in the negative times the transform kept.
      if (r.start < -ns) continue;
      r.samples.resize(static_cast<size_t>(2 * w));
      for (int64_t j = 0; j < 2 * w; ++j) {
        const int64_t t = r.start + j;
        const int64_t idx = ((t % n) + n) % n;
        double v = h[static_cast<size_t>(idx)];
        const int64_t edge = std::min(j, 2 * w - 1 - j);
        if (edge < taper) v *= 0.5 - 0.5 * std::cos(kPi * (edge + 0.5) / taper);
        r.samples[static_cast<size_t>(j)] = v;
      }
      d.harmonics.push_back(std::move(r));
    }
  }
  d.valid = true;
  return d;
}

namespace {

// |sum x[j] e^(-i w j)| at f Hz.
double Magnitude(const std::vector<double>& x, double f, double rate) {
  const double w = 2.0 * kPi * f / rate;
  // The phasor by recurrence, renewed now and then against drift.
  std::complex<double> sum = 0.0, phasor = 1.0;
  const std::complex<double> step = std::polar(1.0, -w);
  for (size_t j = 0; j < x.size(); ++j) {
    if (j % 1024 == 0) phasor = std::polar(1.0, -w * static_cast<double>(j));
    sum += x[j] * phasor;
    phasor *= step;
  }
  return std::abs(sum);
}

}  // namespace

HarmonicDistortionCurves HarmonicDistortion(const SweepDeconvolution& d,
                                            const std::vector<double>& frequencies) {
  HarmonicDistortionCurves c;
  c.frequency = frequencies;
  const size_t m = frequencies.size();
  for (auto& v : c.levelDb)
    v.assign(m, kNaN);
  c.thdDb.assign(m, kNaN);
  if (!d.valid || d.harmonics.empty()) return c;
  // The linear response through the same window as the harmonics.
  const int64_t w = d.halfWindow;
  const int64_t taper = std::max<int64_t>(1, w / 4);
  std::vector<double> linear(static_cast<size_t>(2 * w), 0.0);
  for (int64_t j = 0; j < 2 * w; ++j) {
    const int64_t i = d.peak - w + j;
    if (i < 0 || i >= static_cast<int64_t>(d.response.size())) continue;
    double v = d.response[static_cast<size_t>(i)];
    const int64_t edge = std::min(j, 2 * w - 1 - j);
    if (edge < taper) v *= 0.5 - 0.5 * std::cos(kPi * (edge + 0.5) / taper);
    linear[static_cast<size_t>(j)] = v;
  }
  for (size_t i = 0; i < m; ++i) {
    const double f = frequencies[i];
    if (!(f >= d.lowHz && f <= d.highHz)) continue;
    const double fundamental = Magnitude(linear, f, d.rate);
    if (!(fundamental > 0.0)) continue;
    double sum = 0.0;
    bool any = false;
    for (const HarmonicResponse& r : d.harmonics) {
      const double fk = f * r.order;
      if (fk > d.highHz || fk >= d.rate / 2.0) continue;
      const double ratio = Magnitude(r.samples, fk, d.rate) / fundamental;
      c.levelDb[static_cast<size_t>(r.order - 2)][i] = 20.0 * std::log10(ratio);
      sum += ratio * ratio;
      any = true;
    }
    if (any) c.thdDb[i] = 10.0 * std::log10(sum);
  }
  return c;
}

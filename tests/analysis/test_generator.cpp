// The generator's samples measured from outside: least-squares sine fits, Goertzel sums, a
// plain DFT and band sums over FFT spectra, none of which share code with the generator.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "Fft.h"
#include "Generator.h"
#include "Mls.h"
#include "Samplequantiser.h"

namespace {

constexpr double kPi = std::numbers::pi;

double Db(double ratio) {
  return 20 * std::log10(ratio);
}
double Amp(double db) {
  return std::pow(10.0, db / 20.0);
}

GeneratorSettings On(GeneratorSignal signal, int rate = 48000, double level = -20) {
  GeneratorSettings s;
  s.on = true;
  s.signal = signal;
  s.rate = rate;
  s.levelDb = level;
  s.channels = GeneratorChannels::Both;
  return s;
}

// `frames` mono samples after the first `skip` (the fade-in) are thrown away.
std::vector<double> Render(Generator& g, size_t frames, size_t skip = 0) {
  std::vector<double> out(frames + skip);
  // Uneven pieces, as a sound card's thread asks for them.
  for (size_t at = 0, k = 0; at < out.size(); ++k) {
    const size_t n = std::min(out.size() - at, static_cast<size_t>(97 + (k * 389) % 1500));
    g.Render(out.data() + at, static_cast<int>(n), 1);
    at += n;
  }
  out.erase(out.begin(), out.begin() + static_cast<ptrdiff_t>(skip));
  return out;
}

double Rms(const std::vector<double>& x) {
  double s = 0;
  for (double v : x)
    s += v * v;
  return std::sqrt(s / static_cast<double>(x.size()));
}

double Peak(const std::vector<double>& x) {
  double p = 0;
  for (double v : x)
    p = std::max(p, std::abs(v));
  return p;
}

// The IEEE 1057 four-parameter fit: a·cos(ωn) + b·sin(ωn) + c, with ω refined by Gauss-Newton
// from a start within the main lobe. The residual is everything but the tone: THD+N.
struct SineFit {
  double hz = 0, amplitude = 0, residualRms = 0;
  double ThdNDb() const { return Db(residualRms / (amplitude / std::sqrt(2.0))); }
};

SineFit FitSine(const std::vector<double>& x, double rate, double startHz) {
  double w = 2 * kPi * startHz / rate;
  double a = 0, b = 0, c = 0;
  const size_t n = x.size();
  for (int it = 0; it < 8; ++it) {
    // Normal equations of [cos, sin, 1, n·(-a sin + b cos)] (the last column only once a and b
    // exist).
    const int p = it == 0 ? 3 : 4;
    double m[4][5] = {};
    for (size_t i = 0; i < n; ++i) {
      const double t = static_cast<double>(i) - 0.5 * static_cast<double>(n);
      const double co = std::cos(w * t), si = std::sin(w * t);
      const double col[4] = {co, si, 1.0, t * (-a * si + b * co)};
      for (int r = 0; r < p; ++r) {
        for (int q = 0; q < p; ++q)
          m[r][q] += col[r] * col[q];
        m[r][4] += col[r] * x[i];
      }
    }
    // Gaussian elimination.
    double sol[4] = {};
    for (int r = 0; r < p; ++r)
      for (int k = r + 1; k < p; ++k) {
        const double f = m[k][r] / m[r][r];
        for (int q = r; q < p; ++q)
          m[k][q] -= f * m[r][q];
        m[k][4] -= f * m[r][4];
      }
    for (int r = p - 1; r >= 0; --r) {
      double v = m[r][4];
      for (int q = r + 1; q < p; ++q)
        v -= m[r][q] * sol[q];
      sol[r] = v / m[r][r];
    }
    a = sol[0];
    b = sol[1];
    c = sol[2];
    if (p == 4) w += sol[3];
  }
  double e = 0;
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) - 0.5 * static_cast<double>(n);
    const double r = x[i] - (a * std::cos(w * t) + b * std::sin(w * t) + c);
    e += r * r;
  }
  return {w * rate / (2 * kPi), std::hypot(a, b), std::sqrt(e / static_cast<double>(n))};
}

// |DFT| at one frequency (Goertzel), as the amplitude of a sine there.
double Goertzel(const std::vector<double>& x, size_t from, size_t count, double hz, double rate) {
  const double w = 2 * kPi * hz / rate;
  const double k = 2 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (size_t i = 0; i < count; ++i) {
    const double s0 = x[from + i] + k * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  const std::complex<double> y = std::complex<double>(s1, 0) - std::polar(s2, -w);
  return 2 * std::abs(y) / static_cast<double>(count);
}

// Power spectral density (per bin, arbitrary unit) by Welch: Hann windows of `n`, half
// overlapping, through the analyser's FFT.
std::vector<double> Welch(const std::vector<double>& x, uint32_t n) {
  FFT fft(n);
  std::vector<double> psd(n / 2, 0.0);
  int blocks = 0;
  for (size_t at = 0; at + n <= x.size(); at += n / 2, ++blocks) {
    fft.Process(x.data() + at, WindowHanning);
    for (uint32_t k = 0; k < n / 2; ++k)
      psd[k] += fft.Levels[k] * fft.Levels[k];
  }
  for (double& v : psd)
    v /= blocks;
  return psd;
}

// Base-10 one-third-octave bands by number: mid 1000·10^(x/10), edges 10^(±1/20) from it.
double BandMid(int x) {
  return 1000.0 * std::pow(10.0, x / 10.0);
}

// Sum of the bins whose centre lies in band x.
double BandSum(const std::vector<double>& perBin, double binHz, int x) {
  const double lo = BandMid(x) * std::pow(10.0, -0.05), hi = BandMid(x) * std::pow(10.0, 0.05);
  double s = 0;
  for (size_t k = 1; k < perBin.size(); ++k) {
    const double f = static_cast<double>(k) * binHz;
    if (f >= lo && f < hi) s += perBin[k];
  }
  return s;
}

// Band numbers of 63 Hz and 16 kHz, and of 20 Hz.
constexpr int kBand20 = -17, kBand63 = -12, kBand16k = 12;

// A sine's fit in float, 24 and 16 bits: level, frequency, THD+N.
TEST(GeneratorSine, LevelFrequencyAndPurityInEveryFormat) {
  struct Case {
    int rate;
    double hz;
  };
  for (const Case c : {Case{48000, 1000}, Case{48000, 997}, Case{44100, 20}, Case{96000, 12345.6},
                       Case{48000, 19999.5}, Case{8000, 3141.59}}) {
    GeneratorSettings s = On(GeneratorSignal::Sine, c.rate, -1.0);
    s.frequency = c.hz;
    Generator g(s, 1);
    const std::vector<double> x = Render(g, c.rate, c.rate / 10);
    const std::vector<float> f(x.begin(), x.end());
    const SineFit fit = FitSine(std::vector<double>(f.begin(), f.end()), c.rate, c.hz * 1.00001);
    EXPECT_NEAR(Db(fit.amplitude), -1.0, 0.01) << c.hz;
    EXPECT_NEAR(fit.hz / c.hz, 1.0, 1e-6) << c.hz;
    EXPECT_LE(fit.ThdNDb(), -120) << c.hz;
    for (SampleFormat format : {SampleFormat::Pcm24, SampleFormat::Pcm16}) {
      for (bool dither : {true, false}) {
        if (format == SampleFormat::Pcm16 && !dither) continue;
        SampleQuantiser q(format, dither, 7);
        std::vector<double> ints(x.size());
        for (size_t i = 0; i < x.size(); ++i)
          ints[i] = q.Quantise(x[i]) / q.Scale();
        const SineFit qf = FitSine(ints, c.rate, c.hz);
        const double limit = format == SampleFormat::Pcm16 ? -90 : -135;
        EXPECT_LE(qf.ThdNDb(), limit)
            << c.hz << " bits " << (format == SampleFormat::Pcm16 ? 16 : 24) << " dither "
            << dither;
        EXPECT_NEAR(Db(qf.amplitude), -1.0, 0.01) << c.hz;
      }
    }
  }
}

// An hour of a sine: the phase kept in double precision has not drifted.
TEST(GeneratorSine, HoldsItsFrequencyOverAnHour) {
  GeneratorSettings s = On(GeneratorSignal::Sine, 48000, -6);
  s.frequency = 1234.567;
  Generator g(s, 1);
  std::vector<double> block(48000);
  for (int second = 0; second < 3600; ++second)
    g.Render(block.data(), 48000, 1);
  // Sample 3599·48000 + i of the last second is sin(2π f (t0 + i/rate)), its phase from the
  // closed form.
  const double t0 = 3599.0;
  double worst = 0;
  for (int i = 0; i < 48000; ++i) {
    // In long double: in double, f·t alone would be a billionth of a cycle out.
    const long double cycles = static_cast<long double>(s.frequency) * (t0 + i / 48000.0L);
    const double want = Amp(-6) * static_cast<double>(std::sin(2 * std::numbers::pi_v<long double> *
                                                               (cycles - std::floor(cycles))));
    worst = std::max(worst, std::abs(block[i] - want));
  }
  // After 172.8 million samples the phase is off by less than 1e-9 of a cycle.
  EXPECT_LT(worst, 2 * kPi * 1e-9 * Amp(-6));
}

// Quantiser: TPDF's error variance, never a code beyond full scale.
TEST(SampleQuantiser, TriangularDitherAndFullScale) {
  for (SampleFormat format : {SampleFormat::Pcm16, SampleFormat::Pcm24}) {
    for (bool dither : {false, true}) {
      SampleQuantiser q(format, dither, 3);
      const double top = format == SampleFormat::Pcm16 ? 32767 : 8388607;
      double sum = 0, sum2 = 0, highest = 0;
      const int n = 400000;
      for (int i = 0; i < n; ++i) {
        const double x = std::sin(0.0137 * i) * (i % 2 ? 1.0 : 0.37);
        const int32_t v = q.Quantise(x);
        highest = std::max(highest, std::abs(static_cast<double>(v)));
        const double e = v - x * q.Scale();
        sum += e;
        sum2 += e * e;
      }
      EXPECT_LE(highest, top);
      EXPECT_NEAR(sum / n, 0.0, 0.01);
      // Rounding alone: 1/12 of a step squared; with triangular dither of ±1 step, 1/4.
      EXPECT_NEAR(sum2 / n, dither ? 0.25 : 1.0 / 12, dither ? 0.005 : 0.002);
    }
  }
  SampleQuantiser q(SampleFormat::Pcm16, true);
  EXPECT_EQ(q.Quantise(std::nan("")), 0);
  EXPECT_LE(std::abs(q.Quantise(1e9)), 32767);
}

TEST(GeneratorTwoTone, AmplitudesInRatioAndPeakAtTheLevel) {
  GeneratorSettings s = On(GeneratorSignal::TwoTone, 48000, -3);
  s.frequency = 60;
  s.frequency2 = 7000;
  s.ratio = 4;
  Generator g(s, 1);
  // 60 Hz and 7 kHz both fit whole cycles in one second.
  const std::vector<double> x = Render(g, 48000 * 2, 4800);
  const double a1 = Goertzel(x, 0, 48000, 60, 48000);
  const double a2 = Goertzel(x, 0, 48000, 7000, 48000);
  EXPECT_NEAR(a1 / a2, 4.0, 1e-6);
  EXPECT_NEAR(a1 + a2, Amp(-3), 1e-6);
  EXPECT_LE(Peak(x), Amp(-3) * (1 + 1e-12));
  EXPECT_GT(Peak(x), Amp(-3) * 0.995);
}

TEST(GeneratorNoise, WhiteHasItsLevelAFlatSpectrumAndBoundedPeaks) {
  Generator g(On(GeneratorSignal::White, 48000, -20), 11);
  const std::vector<double> x = Render(g, 48000 * 20, 4800);
  EXPECT_NEAR(Db(Rms(x) * std::sqrt(2.0)), -20, 0.05);
  EXPECT_LE(Peak(x), 5.0 * Amp(-20) / std::sqrt(2.0) * (1 + 1e-12));
  const std::vector<double> psd = Welch(x, 8192);
  // Octaves of bins 2^k..2^(k+1)-1 per bin: a flat mean.
  double first = 0;
  for (int k = 4; k < 12; ++k) {
    double s = 0;
    for (int b = 1 << k; b < (2 << k); ++b)
      s += psd[b];
    s /= (1 << k);
    if (k == 4) first = s;
    EXPECT_NEAR(10 * std::log10(s / first), 0.0, 0.5) << "octave from bin " << (1 << k);
  }
}

// Pink noise over 30 s at three rates: the level, equal power in every third of an octave
// from 63 Hz to 16 kHz, and the slope still there at 20 Hz (a generator that resets its filters
// every block loses exactly that).
TEST(GeneratorNoise, PinkHasItsLevelAndEqualPowerPerBand) {
  for (int rate : {44100, 48000, 96000}) {
    Generator g(On(GeneratorSignal::Pink, rate, -20), static_cast<uint64_t>(rate));
    const std::vector<double> x = Render(g, static_cast<size_t>(rate) * 30, rate / 10);
    EXPECT_NEAR(Db(Rms(x) * std::sqrt(2.0)), -20, 0.2) << rate;
    const uint32_t n = 65536;
    const std::vector<double> psd = Welch(x, n);
    const double binHz = static_cast<double>(rate) / n;
    std::vector<double> bands;
    for (int b = kBand63; b <= kBand16k; ++b)
      bands.push_back(10 * std::log10(BandSum(psd, binHz, b)));
    double mean = 0;
    for (double v : bands)
      mean += v;
    mean /= static_cast<double>(bands.size());
    for (size_t i = 0; i < bands.size(); ++i)
      EXPECT_NEAR(bands[i], mean, 1.0)
          << rate << " Hz, band " << BandMid(kBand63 + static_cast<int>(i));
    for (int b = kBand20; b < kBand63; ++b)
      EXPECT_NEAR(10 * std::log10(BandSum(psd, binHz, b)), mean, 1.5)
          << rate << " Hz, band " << BandMid(b);
  }
}

// The pink stream does not depend on how it is cut into blocks: the filters keep their state.
TEST(GeneratorNoise, PinkIsTheSameWhateverTheBlockLength) {
  Generator a(On(GeneratorSignal::Pink), 5), b(On(GeneratorSignal::Pink), 5);
  std::vector<double> x(96000), y(96000);
  a.Render(x.data(), 96000, 1);
  for (int at = 0; at < 96000; at += 64)
    b.Render(y.data() + at, 64, 1);
  EXPECT_EQ(x, y);
}

// Periodic pink: every bin of one period on the pink curve, each band's sum on the curve's sum
// over the same bins, and the level. Two ways: the analyser's FFT on a long period, a plain DFT
// on a short one.
TEST(GeneratorNoise, PeriodicPinkLiesOnThePinkCurveInEveryBin) {
  for (int period : {1024, 65536}) {
    GeneratorSettings s = On(GeneratorSignal::PeriodicPink, 48000, -20);
    s.period = period;
    Generator g(s, 9);
    // Any stretch of one period length after the fade holds the period rotated.
    const std::vector<double> x = Render(g, static_cast<size_t>(period), 3 * 480 + 17);
    EXPECT_NEAR(Db(Rms(x) * std::sqrt(2.0)), -20, 1e-6);
    std::vector<double> power(static_cast<size_t>(period) / 2);
    if (period <= 4096) {
      for (int k = 0; k < period / 2; ++k) {
        std::complex<double> acc = 0;
        for (int i = 0; i < period; ++i)
          acc += x[i] * std::polar(1.0, -2 * kPi * static_cast<double>(k) * i / period);
        power[k] = std::norm(acc);
      }
    } else {
      FFT fft(static_cast<uint32_t>(period));
      fft.Process(x.data(), WindowRectangular);
      for (int k = 0; k < period / 2; ++k)
        power[k] = std::norm(std::complex<double>(fft.SpectrumRe[k], fft.SpectrumIm[k]));
    }
    const double binHz = 48000.0 / period;
    // power · f is the same in every bin from 10 Hz up.
    double total = 0;
    for (double p : power)
      total += p;
    double ref = 0;
    std::vector<double> curve(power.size(), 0.0);
    for (size_t k = 1; k < power.size(); ++k) {
      const double f = static_cast<double>(k) * binHz;
      if (f < 10) {
        EXPECT_LT(power[k], 1e-20 * total) << k;
        continue;
      }
      curve[k] = 1.0 / f;
      if (ref == 0) ref = power[k] * f;
      ASSERT_NEAR(10 * std::log10(power[k] * f / ref), 0.0, 0.001) << period << " bin " << k;
    }
    for (int b = period <= 4096 ? -5 : kBand20; b <= kBand16k; ++b) {
      const double got = BandSum(power, binHz, b), want = BandSum(curve, binHz, b) * ref;
      EXPECT_NEAR(10 * std::log10(got / want), 0.0, 0.1) << period << " band " << BandMid(b);
    }
  }
}

TEST(GeneratorMls, PeriodAndTwoValuedAutocorrelation) {
  for (int order = kMlsMinOrder; order <= kMlsMaxOrder; ++order) {
    const std::vector<double> m = MaximumLengthSequence(order);
    const long n = (1L << order) - 1;
    ASSERT_EQ(static_cast<long>(m.size()), n) << order;
    long ones = 0;
    for (double v : m) {
      ASSERT_TRUE(v == 1.0 || v == -1.0);
      ones += v > 0;
    }
    // A maximal sequence has one more -1 (the register's ones) than +1.
    EXPECT_EQ(ones, (n - 1) / 2) << order;
    // Every lag for the short ones, a spread of lags for the long ones.
    std::vector<long> lags;
    if (order <= 13) {
      for (long lag = 1; lag < n; ++lag)
        lags.push_back(lag);
    } else {
      for (long lag = 1; lag < 40; ++lag)
        lags.push_back(lag);
      for (long k = 1; k < 60; ++k)
        lags.push_back((k * 104729L) % (n - 1) + 1);
      lags.push_back(n - 1);
    }
    double peak = 0;
    for (long i = 0; i < n; ++i)
      peak += m[i] * m[i];
    EXPECT_EQ(peak, static_cast<double>(n));
    for (long lag : lags) {
      double r = 0;
      for (long i = 0; i < n; ++i)
        r += m[i] * m[(i + lag) % n];
      ASSERT_EQ(r, -1.0) << "order " << order << " lag " << lag;
    }
  }
  EXPECT_TRUE(MaximumLengthSequence(9).empty());
  EXPECT_TRUE(MaximumLengthSequence(21).empty());
}

TEST(GeneratorMls, PlaysItsPeriodAtTheLevel) {
  GeneratorSettings s = On(GeneratorSignal::Mls, 48000, -10);
  s.mlsOrder = 12;
  Generator g(s, 1);
  const std::vector<double> x = Render(g, 3 * 4095, 1000);
  for (size_t i = 0; i < 4095; ++i) {
    ASSERT_EQ(x[i], x[i + 4095]);
    ASSERT_NEAR(std::abs(x[i]), Amp(-10) / std::sqrt(2.0), 1e-15);
  }
}

// Logarithmic sweeps: instantaneous frequency by local least-squares fits, against
// f1·(f2/f1)^(t/T) with T the synchronised length computed here from its definition.
TEST(GeneratorSweep, LogarithmicFollowsItsLawAndPeaksAtTheLevel) {
  struct Case {
    double from, to, seconds;
  };
  for (const Case c : {Case{20, 20000, 5}, Case{100, 10000, 2}, Case{15000, 50, 3}}) {
    GeneratorSettings s = On(GeneratorSignal::LogSweep, 48000, -6);
    s.from = c.from;
    s.to = c.to;
    s.sweepSeconds = c.seconds;
    const double lAsked = c.seconds / std::abs(std::log(c.to / c.from));
    const double l = std::floor(c.from * lAsked) / c.from;
    const double t = l * std::abs(std::log(c.to / c.from));
    ASSERT_NEAR(SweepPassSeconds(s), t, 1e-9);
    EXPECT_LE(t, c.seconds);
    Generator g(s, 1);
    const std::vector<double> x = Render(g, static_cast<size_t>(t * 48000) + 4800);
    int checked = 0;
    for (double at = 0.03; at < t - 0.03; at += t / 40) {
      const double expect = c.from * std::pow(c.to / c.from, at / t);
      const double window = std::max(0.004, 6.0 / expect);
      if (at - window / 2 < 0.012 || at + window / 2 > t - 0.012) continue;
      const size_t from = static_cast<size_t>((at - window / 2) * 48000);
      const size_t count = static_cast<size_t>(window * 48000);
      // A coarse search first, so the fit does not start from the answer.
      double best = 0, bestHz = 0;
      for (double f = expect * 0.9; f < expect * 1.1; f += expect * 0.002) {
        const double m = Goertzel(x, from, count, f, 48000);
        if (m > best) best = m, bestHz = f;
      }
      const std::vector<double> piece(x.begin() + static_cast<ptrdiff_t>(from),
                                      x.begin() + static_cast<ptrdiff_t>(from + count));
      const SineFit fit = FitSine(piece, 48000, bestHz);
      EXPECT_NEAR(fit.hz / expect, 1.0, 0.01) << c.from << "->" << c.to << " at " << at;
      ++checked;
    }
    EXPECT_GT(checked, 30);
    EXPECT_LE(Peak(x), Amp(-6) * (1 + 1e-12));
    EXPECT_GT(Peak(x), Amp(-6) * 0.999);
    // Played once, then silence.
    EXPECT_TRUE(g.Finished());
    EXPECT_EQ(Peak(std::vector<double>(x.end() - 2400, x.end())), 0.0);
  }
}

TEST(GeneratorSweep, LinearAndRepeatingSweeps) {
  GeneratorSettings s = On(GeneratorSignal::LinearSweep, 48000, -6);
  s.from = 1000;
  s.to = 5000;
  s.sweepSeconds = 1;
  s.repeat = true;
  Generator g(s, 1);
  const std::vector<double> x = Render(g, 48000 * 3);
  for (double at : {0.25, 0.5, 0.75, 1.5, 2.25}) {
    const double within = at - std::floor(at);
    const double expect = 1000 + 4000 * within;
    const size_t from = static_cast<size_t>((at - 0.002) * 48000);
    const std::vector<double> piece(x.begin() + static_cast<ptrdiff_t>(from),
                                    x.begin() + static_cast<ptrdiff_t>(from + 192));
    EXPECT_NEAR(FitSine(piece, 48000, expect * 1.002).hz / expect, 1.0, 0.01) << at;
  }
  EXPECT_FALSE(g.Finished());
  // Each pass tapers to nothing at its ends: quiet around each restart.
  EXPECT_LT(std::abs(x[48000]), 0.01 * Amp(-6));
  EXPECT_LT(std::abs(x[47999]), 0.01 * Amp(-6));
}

// At 0 dBFS every signal stays within full scale; the noises play at their highest level.
TEST(GeneratorSafety, NothingBeyondFullScaleAtZeroDbfs) {
  for (GeneratorSignal signal :
       {GeneratorSignal::Sine, GeneratorSignal::TwoTone, GeneratorSignal::White,
        GeneratorSignal::Pink, GeneratorSignal::PeriodicPink, GeneratorSignal::Mls,
        GeneratorSignal::LogSweep, GeneratorSignal::LinearSweep}) {
    GeneratorSettings s = On(signal, 48000, 0.0);
    s.sweepSeconds = 2;
    s.repeat = true;
    s.period = 16384;
    Generator g(s, 4);
    std::vector<double> x(2 * 48000 * 20);
    g.Render(x.data(), 48000 * 20, 2);
    EXPECT_LE(Peak(x), 1.0) << static_cast<int>(signal);
    EXPECT_LE(g.LevelDb(), 0.0);
    EXPECT_EQ(g.LevelDb(), g.HighestLevelDb());
    const bool noise = signal == GeneratorSignal::White || signal == GeneratorSignal::Pink ||
                       signal == GeneratorSignal::PeriodicPink;
    if (noise) {
      EXPECT_LT(g.HighestLevelDb(), -3.0) << static_cast<int>(signal);
      // The level it gives is what it plays.
      const std::vector<double> left = [&] {
        std::vector<double> l(x.size() / 2);
        for (size_t i = 0; i < l.size(); ++i)
          l[i] = x[2 * i];
        l.erase(l.begin(), l.begin() + 4800);
        return l;
      }();
      EXPECT_NEAR(Db(Rms(left) * std::sqrt(2.0)), g.HighestLevelDb(), 0.2);
      EXPECT_GT(Peak(x), 0.5);
    } else {
      EXPECT_EQ(g.HighestLevelDb(), 0.0);
    }
  }
  EXPECT_EQ(GeneratorSettingsProblem(On(GeneratorSignal::Sine, 48000, 0.0)), "");
  EXPECT_NE(GeneratorSettingsProblem(On(GeneratorSignal::Sine, 48000, 0.01)), "");
}

TEST(GeneratorSafety, SettingsThatCannotPlayAreRefused) {
  auto problem = [](auto change) {
    GeneratorSettings s = On(GeneratorSignal::Sine);
    change(s);
    return GeneratorSettingsProblem(s);
  };
  EXPECT_EQ(problem([](GeneratorSettings&) {}), "");
  EXPECT_NE(problem([](GeneratorSettings& s) { s.frequency = 24000; }), "");
  EXPECT_EQ(problem([](GeneratorSettings& s) { s.frequency = 23999.9; }), "");
  EXPECT_NE(problem([](GeneratorSettings& s) { s.frequency = 0; }), "");
  EXPECT_NE(problem([](GeneratorSettings& s) { s.frequency = std::nan(""); }), "");
  EXPECT_NE(problem([](GeneratorSettings& s) { s.levelDb = INFINITY; }), "");
  EXPECT_NE(problem([](GeneratorSettings& s) { s.rate = 1000; }), "");
  EXPECT_NE(problem([](GeneratorSettings& s) {
              s.signal = GeneratorSignal::TwoTone;
              s.frequency2 = 30000;
            }),
            "");
  EXPECT_NE(problem([](GeneratorSettings& s) {
              s.signal = GeneratorSignal::LogSweep;
              s.sweepSeconds = 0;
            }),
            "");
  EXPECT_NE(problem([](GeneratorSettings& s) {
              s.signal = GeneratorSignal::LogSweep;
              s.to = s.from;
            }),
            "");
  EXPECT_NE(problem([](GeneratorSettings& s) {
              s.signal = GeneratorSignal::PeriodicPink;
              s.period = 3000;
            }),
            "");
  EXPECT_NE(problem([](GeneratorSettings& s) {
              s.signal = GeneratorSignal::Mls;
              s.mlsOrder = 21;
            }),
            "");
  // The generator keeps what it had when given settings it cannot play.
  Generator g(On(GeneratorSignal::Sine, 48000, -20), 1);
  GeneratorSettings bad = On(GeneratorSignal::Sine, 48000, 3.0);
  g.Apply(bad);
  EXPECT_EQ(g.Settings().levelDb, -20);
}

// Start and stop fade over 10 ms (raised cosine); off is silence.
TEST(GeneratorFades, StartAndStopRampOverTenMilliseconds) {
  GeneratorSettings s = On(GeneratorSignal::Sine, 48000, 0.0);
  s.frequency = 3000;
  s.on = false;
  Generator g(s, 1);
  std::vector<double> x(4800);
  g.Render(x.data(), 4800, 1);
  EXPECT_EQ(Peak(x), 0.0);
  EXPECT_TRUE(g.Silent());
  s.on = true;
  g.Apply(s);
  g.Render(x.data(), 4800, 1);
  // Within the first millisecond below 3 % of full scale, rising; full from 10 ms on.
  EXPECT_LT(Peak(std::vector<double>(x.begin(), x.begin() + 48)), 0.03);
  for (int i = 0; i < 480; ++i) {
    const double e = std::sin(0.5 * kPi * (i + 1) / 480.0);
    ASSERT_LE(std::abs(x[i]), e * e + 1e-12) << i;
  }
  EXPECT_GT(Peak(std::vector<double>(x.begin() + 200, x.begin() + 240)), 0.2);
  EXPECT_GT(Peak(std::vector<double>(x.begin() + 480, x.end())), 0.999);
  s.on = false;
  g.Apply(s);
  g.Render(x.data(), 4800, 1);
  for (int i = 0; i < 480; ++i) {
    const double e = std::sin(0.5 * kPi * (479 - i) / 480.0);
    ASSERT_LE(std::abs(x[i]), e * e + 1e-12) << i;
  }
  EXPECT_GT(Peak(std::vector<double>(x.begin(), x.begin() + 48)), 0.9);
  EXPECT_EQ(Peak(std::vector<double>(x.begin() + 480, x.end())), 0.0);
  EXPECT_TRUE(g.Silent());
}

// A level change ramps; a new frequency keeps the phase; a new signal fades through silence.
// No step between two samples is larger than the sine's own slope allows.
TEST(GeneratorFades, ChangesWhilePlayingDoNotClick) {
  GeneratorSettings s = On(GeneratorSignal::Sine, 48000, -20);
  s.frequency = 100;
  Generator g(s, 1);
  std::vector<double> x(48000);
  g.Render(x.data(), 24000, 1);
  s.levelDb = -1;
  g.Apply(s);
  g.Render(x.data() + 24000, 2400, 1);
  s.frequency = 150;
  g.Apply(s);
  g.Render(x.data() + 26400, 21600, 1);
  const double slope = 2 * kPi * 150 / 48000 * Amp(-1);
  double step = 0;
  for (size_t i = 1; i < x.size(); ++i)
    step = std::max(step, std::abs(x[i] - x[i - 1]));
  EXPECT_LT(step, slope * 1.05);
  // The new level is reached 10 ms after the change.
  EXPECT_NEAR(Peak(std::vector<double>(x.begin() + 24480, x.begin() + 26400)), Amp(-1), 0.01);

  s.signal = GeneratorSignal::White;
  g.Apply(s);
  std::vector<double> y(4800);
  g.Render(y.data(), 4800, 1);
  // The sine fades out (10 ms), then the noise fades in.
  for (int i = 0; i < 480; ++i) {
    const double e = std::sin(0.5 * kPi * (479 - i) / 480.0);
    ASSERT_LE(std::abs(y[i]), Amp(-1) * e * e + 1e-12) << i;
  }
  // (At the highest level white noise can take.)
  EXPECT_NEAR(Db(Rms(std::vector<double>(y.begin() + 1800, y.end())) * std::sqrt(2.0)), g.LevelDb(),
              0.5);
  EXPECT_LT(g.LevelDb(), -10);
}

TEST(GeneratorChannels, LeftRightOrBoth) {
  for (GeneratorChannels c :
       {GeneratorChannels::Left, GeneratorChannels::Right, GeneratorChannels::Both}) {
    GeneratorSettings s = On(GeneratorSignal::Pink);
    s.channels = c;
    Generator g(s, 2);
    std::vector<double> x(2 * 4800);
    g.Render(x.data(), 4800, 2);
    double l = 0, r = 0;
    for (int i = 0; i < 4800; ++i) {
      l = std::max(l, std::abs(x[2 * i]));
      r = std::max(r, std::abs(x[2 * i + 1]));
      if (c == GeneratorChannels::Both) {
        ASSERT_EQ(x[2 * i], x[2 * i + 1]);
      }
    }
    EXPECT_EQ(l > 0, c != GeneratorChannels::Right);
    EXPECT_EQ(r > 0, c != GeneratorChannels::Left);
    // One channel carries the signal whatever the setting.
    Generator mono(s, 2);
    std::vector<double> m(4800);
    mono.Render(m.data(), 4800, 1);
    EXPECT_GT(Peak(m), 0.0);
  }
}

}  // namespace

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <vector>

#include "Fft.h"

namespace {

// The algorithm exactly as stated, with nothing tabulated or reordered: the engine must match
// it bit for bit.
std::vector<double> LiteralLevels(const std::vector<double>& samples, int type) {
  const uint32_t n = static_cast<uint32_t>(samples.size());
  std::vector<double> w(n), wre(n), wim(n), sre(n), sim(n);
  const double a = 6.283185307179586 / (n - 1);
  for (uint32_t i = 0; i < n; ++i) {
    if (type == 0) w[i] = 0.5 - 0.5 * cos(a * i);
    if (type == 1) w[i] = 0.538 - 0.462 * cos(a * i);
    if (type == 2) w[i] = 0.42 - 0.5 * cos(a * i) + 0.08 * cos((2.0 * a) * i);
    if (type == 3)
      w[i] = 0.35875 - 0.48829 * cos(a * i) + 0.14128 * cos((2.0 * a) * i) -
             0.01168 * cos((3.0 * a) * i);
    if (type == 4) w[i] = 1.0;
  }
  double sum = 0.0;
  for (uint32_t i = 0; i < n; ++i)
    sum += w[i] * w[i];
  double power = sum / n;
  if (power == 0.0) power = 1e-12;
  for (uint32_t i = 0; i < n; ++i) {
    wre[i] = samples[i] * (1.0 / 32768.0) * w[i];
    wim[i] = 0.0;
  }
  uint32_t b = 0;
  for (uint32_t m = n; (m & 1) == 0; m >>= 1)
    ++b;
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t r = 0, idx = i;
    for (uint32_t s = 0; s < b; ++s) {
      r = 2 * r + (idx & 1);
      idx >>= 1;
    }
    sre[r] = wre[i];
    sim[r] = wim[i];
  }
  for (uint32_t half = 1, span = 2; span <= n; half = span, span *= 2) {
    const double delta = 6.283185307179586 / span;
    const double cm2 = cos(-2 * delta), cm1 = cos(-delta), sm2 = sin(-2 * delta), sm1 = sin(-delta),
                 wf = 2 * cm1;
    for (uint32_t g = 0; g < n; g += span) {
      double ar2 = cm2, ar1 = cm1, ai2 = sm2, ai1 = sm1;
      for (uint32_t k = 0; k < half; ++k) {
        const double ar0 = wf * ar1 - ar2;
        ar2 = ar1;
        ar1 = ar0;
        const double ai0 = wf * ai1 - ai2;
        ai2 = ai1;
        ai1 = ai0;
        const uint32_t j = g + k, m = j + half;
        const double tr = ar0 * sre[m] - ai0 * sim[m];
        const double ti = ar0 * sim[m] + ai0 * sre[m];
        sre[m] = sre[j] - tr;
        sim[m] = sim[j] - ti;
        sre[j] = sre[j] + tr;
        sim[j] = sim[j] + ti;
      }
    }
  }
  const uint32_t h = n / 2;
  std::vector<double> levels(h);
  for (uint32_t k = 0; k < h; ++k) {
    double p = (sre[k] * sre[k] + sim[k] * sim[k]) / ((h * h) * power);
    if (!(p >= 0)) p = 1e-12;
    levels[k] = sqrt(p);
  }
  return levels;
}

// Deterministic signal with tones, noise-like content and full-scale extremes.
std::vector<double> TestSignal(uint32_t n, uint32_t seed) {
  std::vector<double> s(n);
  uint32_t state = seed;
  for (uint32_t i = 0; i < n; ++i) {
    state = state * 1664525u + 1013904223u;
    const double noise = static_cast<int>(state >> 20) - 2048;
    double v = 12000 * std::sin(0.37 * i) + 5000 * std::cos(2.1 * i + 0.3) + noise;
    v = std::round(v);
    if (i % 97 == 0) v = -32768;
    if (i % 89 == 0) v = 32767;
    s[i] = v;
  }
  return s;
}

std::vector<double> Levels(uint32_t n, const std::vector<double>& s, int type, bool wide) {
  FFT engine(n);
  engine.SetWide(wide);
  EXPECT_EQ(engine.Wide(), wide && FFT::WideAvailable());
  engine.Process(s.data(), type);
  std::vector<double> out(n / 2);
  engine.CopyLevels(out.data(), static_cast<int>(n / 2));
  return out;
}

void ExpectBitIdentical(const std::vector<double>& a, const std::vector<double>& b) {
  ASSERT_EQ(a.size(), b.size());
  ASSERT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(double)));
}

}  // namespace

// Both the narrow path and, where the processor has AVX2, the wide one.
TEST(Fft, MatchesTheLiteralAlgorithmBitForBit) {
  if (!FFT::WideAvailable()) std::printf("no AVX2 here: only the narrow path is checked\n");
  for (bool wide : {false, true})
    for (uint32_t n : {2u, 4u, 8u, 16u, 32u, 64u, 128u, 256u, 512u, 1024u, 2048u, 4096u, 8192u,
                       16384u, 32768u}) {
      for (int type = 0; type <= 4; ++type) {
        SCOPED_TRACE(testing::Message() << "N=" << n << " window=" << type << " wide=" << wide);
        const auto s = TestSignal(n, n + type);
        ExpectBitIdentical(Levels(n, s, type, wide), LiteralLevels(s, type));
      }
    }
}

// Process goes from the samples straight to the spectrum; the step-by-step calls go through
// Input and WeightedRe. Both must give the literal algorithm's bits, on both paths, also past
// the longest length the program offers (more cache blocks than anywhere else).
TEST(Fft, StepByStepCallsMatchTheLiteralAlgorithmToo) {
  for (bool wide : {false, true})
    for (uint32_t n : {8u, 16u, 1024u, 2048u, 4096u, 32768u, 65536u}) {
      const int type = static_cast<int>(n % 5);
      SCOPED_TRACE(testing::Message() << "N=" << n << " wide=" << wide);
      const auto s = TestSignal(n, 3 * n + 1);
      FFT engine(n);
      engine.SetWide(wide);
      std::copy(s.begin(), s.end(), engine.Input.begin());
      engine.MakeWindow(type);
      engine.ApplyWindow();
      engine.Transform();
      engine.ComputeLevels();
      const std::vector<double> steps(engine.Levels.begin(), engine.Levels.begin() + n / 2);
      const auto literal = LiteralLevels(s, type);
      ExpectBitIdentical(steps, literal);
      ExpectBitIdentical(Levels(n, s, type, wide), literal);
      // The one-block constructor leaves the samples and the windowed block in place as well.
      FFT once(n, s.data(), type);
      ExpectBitIdentical(std::vector<double>(once.Input.begin(), once.Input.end()), s);
      ExpectBitIdentical(std::vector<double>(once.WeightedRe.begin(), once.WeightedRe.end()),
                         std::vector<double>(engine.WeightedRe.begin(), engine.WeightedRe.end()));
      ExpectBitIdentical(std::vector<double>(once.Levels.begin(), once.Levels.begin() + n / 2),
                         literal);
    }
}

TEST(Fft, ReusedEngineGivesEachBlockItsOwnResult) {
  const uint32_t n = 4096;
  FFT engine(n);
  std::vector<double> out(n / 2);
  // Alternate blocks and windows: nothing of an earlier block may leak into a later one.
  for (int round = 0; round < 6; ++round) {
    const int type = (round * 3) % 5;
    const auto s = TestSignal(n, 77 + round);
    engine.Process(s.data(), type);
    engine.CopyLevels(out.data(), n / 2);
    SCOPED_TRACE(round);
    ExpectBitIdentical(out, LiteralLevels(s, type));
  }
}

TEST(Fft, AgreesWithDirectDft) {
  const uint32_t n = 64;
  const auto s = TestSignal(n, 5);
  for (int type = 0; type <= 4; ++type) {
    FFT engine(n, s.data(), type);
    double power = 0;
    for (double w : engine.WindowTable)
      power += w * w;
    power /= n;
    for (uint32_t k = 0; k < n / 2; ++k) {
      std::complex<double> x = 0;
      for (uint32_t i = 0; i < n; ++i)
        x += s[i] / 32768.0 * engine.WindowTable[i] *
             std::polar(1.0, -2 * std::numbers::pi * i * k / n);
      const double expected = std::abs(x) / ((n / 2) * std::sqrt(power));
      EXPECT_NEAR(engine.Levels[k], expected, 1e-12) << "type " << type << " bin " << k;
    }
  }
}

TEST(Fft, KnownBlocks) {
  const uint32_t n = 256;
  std::vector<double> zeros(n, 0.0);
  FFT silent(n, zeros.data(), WindowBlackmanHarris);
  for (uint32_t k = 0; k < n / 2; ++k)
    EXPECT_EQ(silent.Levels[k], 0.0);

  std::vector<double> sine(n);
  for (uint32_t i = 0; i < n; ++i)
    sine[i] = 32767 * std::sin(2 * std::numbers::pi * 10 * i / n);
  FFT tone(n, sine.data(), WindowRectangular);
  EXPECT_NEAR(tone.Levels[10], 32767.0 / 32768.0, 1e-12);
  for (uint32_t k = 0; k < n / 2; ++k)
    if (k != 10) {
      EXPECT_LT(tone.Levels[k], 1e-12) << k;
    }
  // Under Hanning the same tone reads mean/rms of the window lower.
  FFT hanning(n, sine.data(), WindowHanning);
  EXPECT_NEAR(hanning.Levels[10] / tone.Levels[10], 0.8149, 5e-4);

  std::vector<double> constant(n, 1000.0);
  FFT dc(n, constant.data(), WindowRectangular);
  EXPECT_NEAR(dc.Levels[0], 2 * 1000.0 / 32768.0, 1e-15);
  EXPECT_NEAR(dc.Levels[1], 0.0, 1e-15);
}

TEST(Fft, WindowEndValuesAndPower) {
  const uint32_t n = 2048;
  FFT engine(n);
  const double expected[5] = {0.0, 0.076, 0.0, 0.00006, 1.0};
  for (int type = 0; type <= 4; ++type) {
    engine.MakeWindow(type);
    EXPECT_NEAR(engine.WindowTable[0], expected[type], 1e-12) << type;
    EXPECT_NEAR(engine.WindowTable[n - 1], expected[type], 1e-12) << type;
    EXPECT_NEAR(engine.WindowTable[n / 2], 1.0, 1e-5) << type;
  }
  engine.MakeWindow(WindowRectangular);
  EXPECT_EQ(engine.WindowPower(), 1.0);
  std::fill(engine.WindowTable.begin(), engine.WindowTable.end(), 0.0);
  EXPECT_EQ(engine.WindowPower(), 1e-12);
}

TEST(Fft, LevelCountAndBitHelpers) {
  for (uint32_t n : {256u, 32768u}) {
    std::vector<double> s(n, 0.0);
    FFT engine(n, s.data(), WindowHanning);
    std::vector<double> out(n, -1.0);
    engine.CopyLevels(out.data(), n / 2);
    EXPECT_EQ(std::count(out.begin(), out.end(), 0.0), n / 2);
    EXPECT_EQ(std::count(out.begin(), out.end(), -1.0), n / 2);
  }
  EXPECT_EQ(FFT::ReverseBits(1, 8), 128u);
  EXPECT_EQ(FFT::ReverseBits(6, 3), 3u);
  EXPECT_EQ(FFT::LowestBit(32768), 15u);
  EXPECT_EQ(FFT::LowestBit(256), 8u);
}

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "Fft.h"
#include "Peakfinder.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
const char* const kWindowNames[] = {"Hanning", "Hamming", "Blackman", "Blackman Harris",
                                    "Rectangular"};

struct Tone {
  double bin;        // fractional bin position
  double amplitude;  // re full scale
  double phase;
};

// The real pipeline: 16-bit samples, the engine's magnitudes, 20 log10.
std::vector<double> Levels(FFT& fft, const std::vector<Tone>& tones, int window, double noiseSigma,
                           std::mt19937& random) {
  const uint32_t n = fft.Length;
  std::normal_distribution<double> noise(0.0, noiseSigma);
  std::vector<double> samples(n);
  for (uint32_t i = 0; i < n; ++i) {
    double x = noiseSigma > 0 ? noise(random) : 0.0;
    for (const Tone& t : tones)
      x += t.amplitude * std::sin(2 * kPi * t.bin * i / n + t.phase);
    samples[i] = std::clamp(std::round(x * 32768.0), -32768.0, 32767.0);
  }
  fft.Process(samples.data(), window);
  std::vector<double> levels(n / 2);
  for (uint32_t k = 0; k < n / 2; ++k)
    levels[k] = 20.0 * std::log10(std::max(fft.Levels[k], 1e-11));
  return levels;
}

// A centred tone's reading, from the engine's own window table.
double CentredLevel(const FFT& fft, double amplitude) {
  double sum = 0, squares = 0;
  for (double w : fft.WindowTable) {
    sum += w;
    squares += w * w;
  }
  const double n = fft.Length;
  return 20.0 * std::log10(amplitude * (sum / n) / std::sqrt(squares / n));
}

TEST(Peakfinder, SweepBetweenBinsMeetsTheAccuracyOfEachWindow) {
  std::mt19937 random(14);
  const double amplitude = 0.5;
  // 60 dB below the tone's power over the whole band.
  const double sigma = amplitude / std::sqrt(2.0) * 1e-3;
  for (int window = 0; window <= 4; ++window) {
    const bool rectangular = window == WindowRectangular;
    const double maxFreq = rectangular ? 0.05 : 0.01;
    const double maxLevel = rectangular ? 0.5 : 0.05;
    double worstFreq = 0, worstLevel = 0;
    for (uint32_t n = 256; n <= 32768; n *= 2) {
      FFT fft(n);
      for (int step = 0; step <= 20; ++step) {
        const double bin = n / 8 + 3 + 0.05 * step;
        const double phase = 0.7 * step;
        const auto levels = Levels(fft, {{bin, amplitude, phase}}, window, sigma, random);
        const double rate = 48000;
        const PeakEstimate p = FindPeak(levels.data(), window, rate, n, 0, rate / 2);
        ASSERT_TRUE(p.Found);
        const double freqError = std::fabs(p.Bin - bin);
        const double levelError = std::fabs(p.Level - CentredLevel(fft, amplitude));
        EXPECT_LE(freqError, maxFreq) << kWindowNames[window] << " N " << n << " bin " << bin;
        EXPECT_LE(levelError, maxLevel) << kWindowNames[window] << " N " << n << " bin " << bin;
        EXPECT_NEAR(p.Frequency, p.Bin * rate / n, 1e-9);
        worstFreq = std::max(worstFreq, freqError);
        worstLevel = std::max(worstLevel, levelError);
      }
    }
    std::printf("%-16s worst frequency error %.5f bin, worst level error %.4f dB\n",
                kWindowNames[window], worstFreq, worstLevel);
  }
}

TEST(Peakfinder, ResponseAndNoiseBandwidthMatchTheEngineWindows) {
  for (uint32_t n : {256u, 4096u}) {
    FFT fft(n);
    std::vector<double> zeros(n, 0.0);
    for (int window = 0; window <= 4; ++window) {
      fft.Process(zeros.data(), window);
      double sum = 0, squares = 0;
      for (double w : fft.WindowTable) {
        sum += w;
        squares += w * w;
      }
      EXPECT_NEAR(EquivalentNoiseBandwidth(window, n), n * squares / (sum * sum), 1e-9)
          << kWindowNames[window];
      // The transform at 2.3 bins, summed directly over the centred positions.
      double direct = 0;
      for (uint32_t i = 0; i < n; ++i)
        direct += fft.WindowTable[i] * std::cos(2 * kPi * 2.3 * (i - (n - 1) / 2.0) / n);
      EXPECT_NEAR(WindowResponse(window, n, 2.3), direct / sum, 1e-9) << kWindowNames[window];
      EXPECT_DOUBLE_EQ(WindowResponse(window, n, 0.0), 1.0);
    }
  }
  EXPECT_EQ(MainLobeWidth(WindowRectangular), 2);
  EXPECT_EQ(MainLobeWidth(WindowHanning), 4);
  EXPECT_EQ(MainLobeWidth(WindowBlackman), 6);
  EXPECT_EQ(MainLobeWidth(WindowBlackmanHarris), 8);
}

TEST(Peakfinder, RangeNextPeakAndSilence) {
  std::mt19937 random(3);
  const uint32_t n = 4096;
  const double rate = 48000, binHz = rate / n;
  FFT fft(n);
  const int window = WindowBlackmanHarris;
  // A strong tone, a weaker one 30 bins up and a still weaker one 20 bins up from that.
  const auto levels =
      Levels(fft, {{500.3, 0.5, 0.1}, {530.6, 0.05, 0.2}, {550.2, 0.2, 0.3}}, window, 1e-6, random);

  const PeakEstimate first = FindPeak(levels.data(), window, rate, n, 0, rate / 2);
  ASSERT_TRUE(first.Found);
  EXPECT_NEAR(first.Bin, 500.3, 0.01);
  // 50 bins away is beyond 3 widths (24 bins); the highest of the rest is at 550.2.
  const PeakEstimate next = FindNextPeak(levels.data(), window, rate, n, 0, rate / 2, first);
  ASSERT_TRUE(next.Found);
  EXPECT_NEAR(next.Bin, 550.2, 0.01);
  EXPECT_NEAR(next.Level - first.Level, 20 * std::log10(0.2 / 0.5), 0.05);

  // Only up to 540 bins: the tone at 550.2 is out of range, the one at 530.6 is the next.
  const PeakEstimate below = FindNextPeak(levels.data(), window, rate, n, 0, 540 * binHz, first);
  EXPECT_NEAR(below.Bin, 530.6, 0.01);
  // A range that starts above the strongest tone finds the others.
  const PeakEstimate above = FindPeak(levels.data(), window, rate, n, 520 * binHz, rate / 2);
  EXPECT_NEAR(above.Bin, 550.2, 0.01);
  // Within 3 widths of the first peak nothing counts: a first peak at 510 excludes bins
  // 486..534, so the tone at 530.6 cannot be found.
  PeakEstimate near = first;
  near.Bin = 510;
  const PeakEstimate skipped =
      FindNextPeak(levels.data(), window, rate, n, 520 * binHz, 545 * binHz, near);
  EXPECT_FALSE(skipped.Found && std::fabs(skipped.Bin - 530.6) < 1);

  std::vector<double> silence(n / 2, -220.0);
  EXPECT_FALSE(FindPeak(silence.data(), window, rate, n, 0, rate / 2).Found);
  EXPECT_FALSE(FindPeak(levels.data(), window, rate, n, 1000, 900).Found);
  EXPECT_FALSE(FindPeak(nullptr, window, rate, n, 0, rate / 2).Found);
}

}  // namespace

// Tones next to DC: "Peak" and the distortion figures find them inside DC's main lobe, or say
// that the resolution cannot tell them from DC, and never report a noise bin instead.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "Distortion.h"
#include "Fft.h"
#include "Peakfinder.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
const char* const kWindowNames[] = {"Hanning", "Hamming", "Blackman", "Blackman Harris",
                                    "Rectangular"};

struct Block {
  std::vector<double> magnitude;  // the engine's normalised magnitudes
  std::vector<double> level;      // 20 log10
};

// One block of 16-bit samples: a sine of `amplitude` (re full scale) at `hz`, plus `dc` and
// white noise of `sigma`, through the engine.
Block Analyse(FFT& fft, int window, double rate, double hz, double amplitude, double dc,
              double phase, double sigma, std::mt19937& random) {
  const uint32_t n = fft.Length;
  std::normal_distribution<double> noise(0.0, sigma > 0 ? sigma : 1.0);
  std::vector<double> samples(n);
  for (uint32_t i = 0; i < n; ++i) {
    const double x = dc + amplitude * std::sin(2 * kPi * hz * i / rate + phase) +
                     (sigma > 0 ? noise(random) : 0.0);
    samples[i] = std::clamp(std::round(x * 32768.0), -32768.0, 32767.0);
  }
  fft.Process(samples.data(), window);
  Block b;
  b.magnitude.assign(fft.Levels.begin(), fft.Levels.begin() + n / 2);
  b.level.resize(n / 2);
  for (uint32_t k = 0; k < n / 2; ++k)
    b.level[k] = 20.0 * std::log10(std::max(b.magnitude[k], 1e-11));
  return b;
}

// The reading of a centred sine of `amplitude`, from the engine's own window table (a second
// way to the window's gain than the finder's closed form).
double CentredLevel(const FFT& fft, double amplitude) {
  double sum = 0, squares = 0;
  for (double w : fft.WindowTable) {
    sum += w;
    squares += w * w;
  }
  const double n = fft.Length;
  return 20.0 * std::log10(amplitude * (sum / n) / std::sqrt(squares / n));
}

// The tones of a sweep from 10 Hz to 0.45 x rate, densest where the lobes of DC and the tone
// meet: every 15 %, and at fixed distances from DC in bins.
std::vector<double> SweepHz(double rate, int n) {
  std::vector<double> hz;
  for (double f = 10.0; f <= 0.45 * rate; f *= 1.15)
    hz.push_back(f);
  for (double bins : {0.3, 0.6, 0.9, 1.0, 1.1, 1.3, 1.6,  2.0,  2.56, 3.3, 4.0,
                      4.5, 5.2, 6.0, 7.5, 8.5, 9.7, 10.4, 10.6, 11.5, 13.0})
    if (bins * rate / n >= 10.0) hz.push_back(bins * rate / n);
  hz.push_back(0.45 * rate);
  return hz;
}

}  // namespace

// Every FFT length, every window, tones from 10 Hz to 0.45 x rate with and without a DC offset:
// the tone is found, or refused as below the resolution, never reported at a wrong frequency.
// Found: within 0.01 bin and 0.05 dB, or where DC's and the tone's lobes are fitted together
// 0.02 bin and 0.1 dB ("Rectangular" 0.05 bin and 0.5 dB). Refused: only nearer to DC than 4
// bins, and always nearer than 1.5.
TEST(LowTones, PeakFindsEveryToneOfTheSweepOrSaysItIsBelowTheResolution) {
  std::mt19937 random(30);
  std::uniform_real_distribution<double> phase(0.0, 2 * kPi);
  std::uniform_int_distribution<int> sign(0, 1);
  const double rate = 48000, amplitude = 0.5;
  int found = 0, refused = 0;
  for (int n = 256; n <= 32768; n *= 2) {
    FFT fft(static_cast<uint32_t>(n));
    const double binHz = rate / n;
    for (int window = 0; window <= 4; ++window) {
      const bool rectangular = window == WindowRectangular;
      const double lowTop = 2 * MainLobeWidth(window) / 2 + 3;
      for (double hz : SweepHz(rate, n)) {
        const double bins = hz / binHz;
        const bool fitted = bins < lowTop;
        const double tolBins = rectangular ? 0.05 : fitted ? 0.02 : 0.01;
        const double tolDb = rectangular ? 0.5 : fitted ? 0.1 : 0.05;
        for (double dc : {0.0, sign(random) ? 0.3 : -0.45}) {
          const Block b = Analyse(fft, window, rate, hz, amplitude, dc, phase(random), 0, random);
          const PeakEstimate p = FindTone(b.level.data(), window, rate, n, 0, rate / 2);
          SCOPED_TRACE(::testing::Message() << kWindowNames[window] << " N=" << n << " " << hz
                                            << " Hz (" << bins << " bins) dc " << dc);
          if (p.Found) {
            ++found;
            EXPECT_FALSE(p.BelowResolution);
            EXPECT_NEAR(p.Frequency / binHz, bins, tolBins);
            EXPECT_NEAR(p.Level, CentredLevel(fft, amplitude), tolDb);
          } else {
            ++refused;
            EXPECT_TRUE(p.BelowResolution) << "neither a tone nor a refusal";
            EXPECT_LT(bins, 4.0) << "refused though resolved";
          }
          if (bins < kLowestToneBin) {
            EXPECT_FALSE(p.Found) << "nearer to DC than the limit";
          }
        }
      }
    }
  }
  EXPECT_GT(found, 4000);
  EXPECT_GT(refused, 100);
}

// DC alone, with or without noise, is no tone and no refusal; a strong tone far from DC wins
// over a weaker one inside DC's lobe, and the weaker one is found when asked for its range.
TEST(LowTones, DcAloneIsNoToneAndTheStrongerOfTwoTonesWins) {
  std::mt19937 random(31);
  const double rate = 48000;
  const int n = 2048;
  FFT fft(n);
  for (int window = 0; window <= 4; ++window) {
    SCOPED_TRACE(kWindowNames[window]);
    for (double sigma : {0.0, 1e-4}) {
      const Block dc = Analyse(fft, window, rate, 1000, 0.0, 0.4, 0, sigma, random);
      const PeakEstimate p = FindTone(dc.level.data(), window, rate, n, 0, rate / 2);
      EXPECT_FALSE(p.BelowResolution) << sigma;
      // A bump of the noise may be the highest peak, never a place inside DC's lobe.
      if (p.Found) {
        EXPECT_GT(p.Bin, MainLobeWidth(window));
      }
    }
  }
  // 60 Hz (2.56 bins) at -26 dB and 1 kHz at -6 dB under "Blackman Harris".
  std::vector<double> samples(n);
  for (int i = 0; i < n; ++i)
    samples[i] = std::round(32768 * (0.05 * std::sin(2 * kPi * 60 * i / rate + 0.3) +
                                     0.5 * std::sin(2 * kPi * 1000 * i / rate + 1.1)));
  fft.Process(samples.data(), WindowBlackmanHarris);
  std::vector<double> level(n / 2);
  for (int k = 0; k < n / 2; ++k)
    level[k] = 20 * std::log10(std::max(fft.Levels[k], 1e-11));
  const PeakEstimate high = FindTone(level.data(), WindowBlackmanHarris, rate, n, 0, rate / 2);
  ASSERT_TRUE(high.Found);
  EXPECT_NEAR(high.Frequency, 1000, 0.01 * rate / n);
  const PeakEstimate low = FindTone(level.data(), WindowBlackmanHarris, rate, n, 0, 200);
  ASSERT_TRUE(low.Found);
  EXPECT_NEAR(low.Frequency, 60, 0.02 * rate / n);
  EXPECT_NEAR(low.Level - high.Level, -20, 0.1);
}

// The distortion figures over the same kind of sweep (three lengths, every window, with and
// without DC): the fundamental's frequency and level, and a THD+N that a pure 16-bit tone can
// have, or the refusal, never a noise bin's figures.
TEST(LowTones, DistortionMeasuresTheToneOfTheSweepOrSaysItIsBelowTheResolution) {
  std::mt19937 random(32);
  std::uniform_real_distribution<double> phase(0.0, 2 * kPi);
  const double rate = 48000, amplitude = 0.5;
  int found = 0, refused = 0;
  for (int n : {256, 2048, 32768}) {
    FFT fft(static_cast<uint32_t>(n));
    const double binHz = rate / n;
    for (int window = 0; window <= 4; ++window) {
      const bool rectangular = window == WindowRectangular;
      for (double hz : SweepHz(rate, n)) {
        const double bins = hz / binHz;
        if (bins > 40 && hz > 2000) continue;  // the rest of the band is the finder's test
        for (double dc : {0.0, 0.3}) {
          const Block b = Analyse(fft, window, rate, hz, amplitude, dc, phase(random), 0, random);
          const DistortionResult r = MeasureDistortion(b.magnitude.data(), window, rate, n);
          SCOPED_TRACE(::testing::Message() << kWindowNames[window] << " N=" << n << " " << hz
                                            << " Hz (" << bins << " bins) dc " << dc);
          if (r.Valid) {
            ++found;
            EXPECT_NEAR(r.FundamentalHz / binHz, bins, rectangular ? 0.05 : 0.02);
            EXPECT_NEAR(r.FundamentalDb, 20 * std::log10(amplitude), rectangular ? 0.5 : 0.1);
            // A pure tone's THD+N: "Rectangular" and "Hamming" count their far side lobes as
            // noise; under "Hanning" the fundamental's own side lobes next to DC, whose cross
            // terms with its image the harmonics' bins keep, leave about -45 dB.
            if (window == WindowBlackman || window == WindowBlackmanHarris) {
              EXPECT_LT(r.ThdNDb, -60);
            } else if (window == WindowHanning) {
              EXPECT_LT(r.ThdNDb, -40);
            }
          } else {
            ++refused;
            EXPECT_TRUE(r.BelowResolution) << "neither figures nor a refusal";
            EXPECT_LT(bins, 4.0) << "refused though resolved";
          }
        }
      }
    }
  }
  EXPECT_GT(found, 300);
  EXPECT_GT(refused, 20);
}

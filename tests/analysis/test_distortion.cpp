#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "Distortion.h"
#include "Fft.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRate = 48000;
constexpr uint32_t kN = 32768;

struct Component {
  double hz;
  double amplitude;  // re full scale
  double phase;
};

struct Signal {
  std::vector<Component> parts;
  bool dither = false;  // triangular dither of 2 LSB peak to peak before rounding
  double noiseRms = 0;  // white noise re full scale
};

// 16-bit samples through the engine: the magnitudes the worker hands over.
std::vector<double> Magnitudes(const Signal& s, int window, uint32_t n = kN, unsigned seed = 1) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> uniform(-0.5, 0.5);
  std::normal_distribution<double> gauss(0.0, 1.0);
  std::vector<double> samples(n);
  for (uint32_t i = 0; i < n; ++i) {
    double x = 0;
    for (const Component& c : s.parts)
      x += c.amplitude * std::sin(2 * kPi * c.hz * i / kRate + c.phase);
    x *= 32768.0;
    if (s.noiseRms > 0) x += s.noiseRms * 32768.0 * gauss(random);
    if (s.dither) x += uniform(random) + uniform(random);
    samples[i] = std::clamp(std::round(x), -32768.0, 32767.0);
  }
  FFT fft(n, samples.data(), window);
  return std::vector<double>(fft.Levels.begin(), fft.Levels.begin() + n / 2);
}

double Db(double ratio) {
  return 20 * std::log10(ratio);
}
double Amp(double db) {
  return std::pow(10.0, db / 20.0);
}

const char* const kWindowNames[] = {"Hanning", "Hamming", "Blackman", "Blackman Harris",
                                    "Rectangular"};

// "Blackman Harris" is held to the goal, "Hanning" to the goal and to 0.5 dB of it.
TEST(Distortion, SecondAndThirdHarmonicSumToTheirPowers) {
  const double a = Amp(-1.0);
  const Signal s{{{1000, a, 0.3}, {2000, a * Amp(-60), 1.1}, {3000, a * Amp(-70), 2.0}}, true};
  DistortionResult byWindow[4];
  for (int window : {WindowBlackmanHarris, WindowHanning}) {
    const auto m = Magnitudes(s, window);
    const DistortionResult r = MeasureDistortion(m.data(), window, kRate, kN);
    byWindow[window] = r;
    ASSERT_TRUE(r.Valid) << kWindowNames[window];
    std::printf("%-16s 1 kHz, 2nd -60, 3rd -70: THD %.3f dB (%.5f %%)\n", kWindowNames[window],
                r.ThdDb, r.ThdPct);
    EXPECT_NEAR(r.ThdDb, -59.59, 0.1) << kWindowNames[window];
    EXPECT_NEAR(r.ThdPct, 100 * std::sqrt(1e-6 + 1e-7), 0.0002) << kWindowNames[window];
    EXPECT_NEAR(r.HarmonicDb[2], -60, 0.1) << kWindowNames[window];
    EXPECT_NEAR(r.HarmonicDb[3], -70, 0.1) << kWindowNames[window];
    EXPECT_LT(r.HarmonicDb[4], -110) << kWindowNames[window];
    EXPECT_EQ(r.HarmonicCount, 9);
    EXPECT_NEAR(r.FundamentalHz, 1000, 0.01 * kRate / kN) << kWindowNames[window];
    EXPECT_NEAR(r.FundamentalDb, -1.0, 0.05) << kWindowNames[window];
    // THD+N holds the harmonics and the dither's noise, far below them.
    EXPECT_NEAR(r.ThdNDb, -59.59, 0.2) << kWindowNames[window];
    EXPECT_DOUBLE_EQ(r.SinadDb, -r.ThdNDb);
    EXPECT_GT(r.SnrDb, 85) << kWindowNames[window];
  }
  EXPECT_NEAR(byWindow[WindowHanning].ThdDb, byWindow[WindowBlackmanHarris].ThdDb, 0.5);
  EXPECT_NEAR(byWindow[WindowHanning].ThdNDb, byWindow[WindowBlackmanHarris].ThdNDb, 0.5);
}

// "Hamming" ends in a step of 0.076: its far side lobes fall only 6 dB an octave and bury
// harmonics below about -75 dB and noise below about -65 dB at this length. It is held to the
// goal down to -50 dB; the others down to -90 dB. 997 Hz undithered: the rounding error spreads
// over the band instead of landing on the harmonics, as it would at 1 kHz (48 samples a
// period). At -90 dB the rounding noise in a harmonic's lobe moves the reading by a few
// hundredths of a dB, so several phases are tried.
TEST(Distortion, ThdFromMinus20ToMinus90) {
  double worst[4] = {0, 0, 0, 0};
  for (int window = 0; window < 4; ++window) {
    const int lowest = window == WindowHamming ? -50 : -90;
    for (int thd = -20; thd >= lowest; thd -= 10) {
      for (double phase : {0.0, 1.0, 2.0}) {
        // Once all in the 2nd, once spread evenly over the 2nd to the 10th.
        for (bool spread : {false, true}) {
          const double a = Amp(-0.3) / (1 + 3 * Amp(thd));  // never clipped
          Signal s{{{997, a, 0.1 * thd + phase}}};
          if (spread) {
            for (int h = 2; h <= 10; ++h)
              s.parts.push_back({997.0 * h, a * Amp(thd) / 3.0, 0.37 * h + phase});
          } else {
            s.parts.push_back({2 * 997.0, a * Amp(thd), 0.5 + phase});
          }
          const auto m = Magnitudes(s, window);
          const DistortionResult r = MeasureDistortion(m.data(), window, kRate, kN);
          ASSERT_TRUE(r.Valid);
          EXPECT_NEAR(r.ThdDb, thd, 0.1)
              << kWindowNames[window] << (spread ? " spread" : " 2nd") << " phase " << phase;
          worst[window] = std::max(worst[window], std::fabs(r.ThdDb - thd));
        }
      }
    }
    std::printf("%-16s THD -20..%d dB: worst error %.4f dB\n", kWindowNames[window], lowest,
                worst[window]);
  }
}

// An undithered full-scale 16-bit sine: only the rounding is noise, 1/12 LSB squared. Over the
// full band the limit is 98.09 dB; over 20 Hz .. 20 kHz at 48 kHz the noise outside the band is
// left out, 0.79 dB of it. Both are held to 1.5 dB, and "Hanning" and "Blackman" to 0.5 dB of
// "Blackman Harris".
TEST(Distortion, FullScaleSixteenBitSineReachesTheQuantisationLimit) {
  const double limitFull = 10 * std::log10((32767.0 * 32767.0 / 2) / (1.0 / 12));  // 98.09
  const double limitBand = limitFull + 10 * std::log10((kRate / 2) / (20000.0 - 20.0));
  const Signal s{{{997, 32767.0 / 32768.0, 0.0}}};
  for (bool full : {false, true}) {
    const double limit = full ? limitFull : limitBand;
    DistortionResult byWindow[4];
    for (int window : {WindowHanning, WindowBlackman, WindowBlackmanHarris}) {
      const auto m = Magnitudes(s, window);
      byWindow[window] = full ? MeasureDistortion(m.data(), window, kRate, kN, 0, kRate / 2)
                              : MeasureDistortion(m.data(), window, kRate, kN);
      const DistortionResult& r = byWindow[window];
      ASSERT_TRUE(r.Valid);
      std::printf(
          "%-16s 997 Hz full scale, %s: SINAD %.2f dB (limit %.2f), SNR %.2f dB, "
          "THD %.1f dB, %.4f dB\n",
          kWindowNames[window], full ? "full band" : "20 Hz-20 kHz", r.SinadDb, limit, r.SnrDb,
          r.ThdDb, r.FundamentalDb);
      EXPECT_NEAR(r.SinadDb, limit, 1.5) << kWindowNames[window] << " full " << full;
      EXPECT_NEAR(r.SnrDb, limit, 1.5) << kWindowNames[window] << " full " << full;
      EXPECT_NEAR(r.FundamentalDb, Db(32767.0 / 32768.0), 0.01) << kWindowNames[window];
      EXPECT_NEAR(r.FundamentalHz, 997, 0.01 * kRate / kN) << kWindowNames[window];
    }
    const DistortionResult& bh = byWindow[WindowBlackmanHarris];
    for (int window : {WindowHanning, WindowBlackman}) {
      EXPECT_NEAR(byWindow[window].SinadDb, bh.SinadDb, 0.5) << kWindowNames[window];
      EXPECT_NEAR(byWindow[window].SnrDb, bh.SnrDb, 0.5) << kWindowNames[window];
    }
  }
}

// White noise of known power reads the same under every window ("Hamming" aside, see above).
TEST(Distortion, NoiseReadsRightWhateverTheWindow) {
  const double a = Amp(-6.0), noise = a / std::sqrt(2.0) * Amp(-70);  // 70 dB below the sine
  const double expected = 70 - 10 * std::log10((20000.0 - 20.0) / (kRate / 2));
  for (int window : {WindowHanning, WindowBlackman, WindowBlackmanHarris}) {
    for (uint32_t n : {4096u, 32768u}) {
      const Signal s{{{1234.5, a, 0.2}}, false, noise};
      const auto m = Magnitudes(s, window, n, 11);
      const DistortionResult r = MeasureDistortion(m.data(), window, kRate, n);
      ASSERT_TRUE(r.Valid);
      EXPECT_NEAR(r.SnrDb, expected, 0.3) << kWindowNames[window] << " N " << n;
      EXPECT_NEAR(r.SinadDb, expected, 0.3) << kWindowNames[window] << " N " << n;
      EXPECT_LT(r.ThdDb, -85) << kWindowNames[window] << " N " << n;
    }
  }
}

TEST(Distortion, HarmonicsAboveTheBandCountInThdButNotInThdN) {
  const double a = Amp(-3.0);
  // 7 kHz: the 2nd and 3rd lie below 24 kHz, the 3rd above 20 kHz.
  const Signal s{{{7000, a, 0.0}, {21000, a * Amp(-40), 0.4}}, true};
  const auto m = Magnitudes(s, WindowBlackmanHarris);
  const DistortionResult r = MeasureDistortion(m.data(), WindowBlackmanHarris, kRate, kN);
  ASSERT_TRUE(r.Valid);
  EXPECT_EQ(r.HarmonicCount, 2);
  EXPECT_NEAR(r.ThdDb, -40, 0.1);
  EXPECT_LT(r.ThdNDb, -85);
}

TEST(Distortion, ADcOffsetIsNeitherTheFundamentalNorNoise) {
  for (int window : {WindowHanning, WindowBlackmanHarris}) {
    const Signal s{{{0, 0.3, kPi / 2}, {1000, Amp(-20), 0.0}, {2000, Amp(-70), 0.0}}, true};
    const auto m = Magnitudes(s, window);
    const DistortionResult r = MeasureDistortion(m.data(), window, kRate, kN);
    ASSERT_TRUE(r.Valid) << kWindowNames[window];
    EXPECT_NEAR(r.FundamentalHz, 1000, 0.01 * kRate / kN) << kWindowNames[window];
    EXPECT_NEAR(r.FundamentalDb, -20, 0.05) << kWindowNames[window];
    EXPECT_NEAR(r.ThdDb, -50, 0.1) << kWindowNames[window];
    EXPECT_GT(r.SnrDb, 65) << kWindowNames[window];
  }
}

TEST(Distortion, NothingToMeasure) {
  std::vector<double> silence(kN / 2, 0.0);
  EXPECT_FALSE(MeasureDistortion(silence.data(), WindowHanning, kRate, kN).Valid);
  EXPECT_FALSE(MeasureDistortion(nullptr, WindowHanning, kRate, kN).Valid);
  std::vector<double> nan(kN / 2, NAN);
  EXPECT_FALSE(MeasureDistortion(nan.data(), WindowHanning, kRate, kN).Valid);
  // DC alone is no fundamental: a constant block, and a spectrum made of bins 0 and 1 only.
  const auto dc = Magnitudes(Signal{{{0, 0.3, kPi / 2}}}, WindowHanning);
  EXPECT_GT(dc[0], 0.1);
  EXPECT_FALSE(MeasureDistortion(dc.data(), WindowHanning, kRate, kN).Valid);
  // A band that holds no bin measures nothing either.
  const auto tone = Magnitudes(Signal{{{1000, 0.5, 0.0}}}, WindowHanning);
  EXPECT_TRUE(MeasureDistortion(tone.data(), WindowHanning, kRate, kN, 0, kRate / 2).Valid);
  EXPECT_FALSE(MeasureDistortion(tone.data(), WindowHanning, kRate, kN, 30000, 40000).Valid);
  std::vector<double> offset(kN / 2, 0.0);
  offset[0] = 0.5;
  offset[1] = 0.25;
  EXPECT_FALSE(MeasureDistortion(offset.data(), WindowHanning, kRate, kN).Valid);
}

}  // namespace

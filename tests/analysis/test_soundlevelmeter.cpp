// The sound level meter: steady levels, the tone-burst response of the F and S time weightings
// against 10 lg(1 - exp(-Tb / tau)), interval Leq, Lmax, Lmin, peak and the offset.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "Soundlevelmeter.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRate = 48000;

std::vector<double> Sine(double hz, double db, double seconds) {
  std::vector<double> x(static_cast<size_t>(std::lround(seconds * kRate)));
  const double a = kFullScale * std::pow(10.0, db / 20);
  for (size_t i = 0; i < x.size(); ++i)
    x[i] = a * std::sin(2 * kPi * hz * i / kRate);
  return x;
}

void Feed(SoundLevelMeter& m, const std::vector<double>& x) {
  m.Process(x.data(), static_cast<int>(x.size()));
}

TEST(SoundLevelMeter, SteadySineLevelsPeakAndOffset) {
  SoundLevelMeter m(kRate);
  Feed(m, Sine(1000, 0, 6));
  EXPECT_NEAR(m.LeqDb(), 0.0, 0.001);
  EXPECT_NEAR(m.LevelDb(TimeWeighting::Fast), 0.0, 0.01);
  EXPECT_NEAR(m.LevelDb(TimeWeighting::Slow), 0.0, 0.02);  // 1 - e^-6 of the way up
  EXPECT_NEAR(m.LmaxDb(TimeWeighting::Fast), 0.0, 0.01);
  EXPECT_NEAR(m.LminDb(TimeWeighting::Fast), 0.0, 0.01);   // after settling only
  EXPECT_TRUE(std::isinf(m.LminDb(TimeWeighting::Slow)));  // S settles after 7 s
  EXPECT_NEAR(m.PeakDb(), 3.0103, 0.001);
  EXPECT_NEAR(m.Seconds(), 6.0, 1e-9);
  m.SetOffsetDb(94.0);
  EXPECT_NEAR(m.LeqDb(), 94.0, 0.001);
  EXPECT_NEAR(m.LevelDb(TimeWeighting::Fast), 94.0, 0.01);
  EXPECT_NEAR(m.PeakDb(), 97.0103, 0.001);
  m.Reset();
  EXPECT_TRUE(std::isinf(m.LeqDb()));
  EXPECT_TRUE(std::isinf(m.LevelDb(TimeWeighting::Slow)));
  EXPECT_TRUE(std::isinf(m.LminDb(TimeWeighting::Fast)));
  EXPECT_TRUE(std::isinf(m.PeakDb()));
  EXPECT_EQ(MeanSquareDb(kFullScaleMeanSquare), 0.0);
}

// Tone bursts of 4 kHz from silence: the largest F or S level lies 10 lg(1 - e^(-Tb/tau))
// below the steady one, within 0.5 dB for 200 ms and 1.0 dB for 10 ms.
TEST(SoundLevelMeter, ToneBurstsFollowTheTimeConstants) {
  double worst[2] = {0, 0};
  for (TimeWeighting tw : {TimeWeighting::Fast, TimeWeighting::Slow})
    for (double tb : {0.2, 0.01}) {
      const double tau = tw == TimeWeighting::Fast ? kTauFast : kTauSlow;
      SoundLevelMeter m(kRate);
      Feed(m, std::vector<double>(static_cast<size_t>(kRate / 2), 0.0));
      Feed(m, Sine(4000, -10, tb));  // whole periods: 4 kHz at 48 kHz is 12 samples
      Feed(m, std::vector<double>(static_cast<size_t>(3 * tau * kRate), 0.0));
      const double expected = -10 + 10 * std::log10(1 - std::exp(-tb / tau));
      const double err = m.LmaxDb(tw) - expected;
      worst[tb > 0.1 ? 0 : 1] = std::max(worst[tb > 0.1 ? 0 : 1], std::fabs(err));
      EXPECT_NEAR(err, 0.0, tb > 0.1 ? 0.5 : 1.0)
          << (tw == TimeWeighting::Fast ? "F" : "S") << " Tb " << tb;
    }
  std::printf("slm: tone bursts, worst |error| %.3f dB at 200 ms, %.3f dB at 10 ms\n", worst[0],
              worst[1]);
}

TEST(SoundLevelMeter, IntervalLeqLmaxLminAndReset) {
  SoundLevelMeter m(kRate);
  EXPECT_DOUBLE_EQ(m.IntervalSeconds(), 1.0);
  m.SetIntervalSeconds(0.2);  // clamped to 1 s
  EXPECT_DOUBLE_EQ(m.IntervalSeconds(), 1.0);
  m.SetIntervalSeconds(7200);
  EXPECT_DOUBLE_EQ(m.IntervalSeconds(), 3600.0);
  m.SetIntervalSeconds(1.0);
  EXPECT_TRUE(std::isinf(m.LastIntervalLeqDb()));
  Feed(m, Sine(1000, 0, 1));
  EXPECT_EQ(m.CompletedIntervals(), 1);
  EXPECT_NEAR(m.LastIntervalLeqDb(), 0.0, 0.001);
  Feed(m, Sine(1000, -20, 1));
  EXPECT_EQ(m.CompletedIntervals(), 2);
  EXPECT_NEAR(m.LastIntervalLeqDb(), -20.0, 0.001);
  Feed(m, Sine(1000, -10, 0.5));
  EXPECT_NEAR(m.IntervalElapsed(), 0.5, 1e-9);
  EXPECT_NEAR(m.IntervalLeqDb(), -10.0, 0.001);
  EXPECT_NEAR(m.LastIntervalLeqDb(), -20.0, 0.001);
  // Over the run: (1 + 0.01 + 0.05) / 2.5 of full scale.
  EXPECT_NEAR(m.LeqDb(), 10 * std::log10(1.06 / 2.5), 0.001);
  EXPECT_NEAR(m.LmaxDb(TimeWeighting::Fast), 0.0, 0.01);
  // Lmin: F fell to about -20 in the quiet second.
  EXPECT_NEAR(m.LminDb(TimeWeighting::Fast), -20.0, 0.2);
  // A reset of the statistics keeps the time weighting running.
  const double f = m.LevelDb(TimeWeighting::Fast);
  m.ResetStatistics();
  EXPECT_DOUBLE_EQ(m.LevelDb(TimeWeighting::Fast), f);
  EXPECT_TRUE(std::isinf(m.LeqDb()));
  EXPECT_DOUBLE_EQ(m.LmaxDb(TimeWeighting::Fast), f);
  Feed(m, Sine(1000, -10, 0.1));
  EXPECT_NEAR(m.LeqDb(), -10.0, 0.001);
  // Settled long ago: counts at once (F still rising the last 0.1 dB from -20).
  EXPECT_NEAR(m.LminDb(TimeWeighting::Fast), -10.0, 0.15);
  EXPECT_EQ(m.CompletedIntervals(), 0);
}

}  // namespace

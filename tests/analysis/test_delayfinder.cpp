// The delay finder on signals of known delay (Transfersignals.h): whole delays exactly,
// fractions within 0.05 sample, polarity, bands, reflections, short recordings and no delay.
#include "Delayfinder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "Transfersignals.h"

namespace {

using tvtest::cplx;
using tvtest::kPi;
constexpr double kRate = 48000;

DelayEstimate Find(const tvtest::SignalPair& s, double lowHz = 0, double highHz = 0,
                   size_t frames = 0) {
  Delayfinder finder(kRate, 1.0);
  finder.SetBand(lowHz, highHz);
  const size_t n = frames ? frames : s.reference.size();
  // In pieces of a capture period.
  for (size_t at = 0; at < n; at += 4800)
    finder.Push(s.measurement.data() + at, s.reference.data() + at,
                static_cast<int>(std::min<size_t>(4800, n - at)));
  finder.Flush();
  return finder.Find();
}

TEST(Delayfinder, SearchesOneSecondEitherWayWithLongBlocks) {
  Delayfinder finder(kRate, 1.0);
  EXPECT_GE(finder.MaxLag(), 48000);
  EXPECT_GE(finder.Length(), 4 * 48000);
  EXPECT_FALSE(finder.Find().Found);  // nothing yet
}

// Whole delays come out whole, fractions within 0.05 sample, up to a second either way, with
// noise 20 dB down on the measurement.
TEST(Delayfinder, WholeDelaysExactlyAndFractionsWithinFiveHundredthsOfASample) {
  double worstWhole = 0, worstFraction = 0;
  std::string whereWhole, whereFraction;
  for (const double delay : {0.0, 1.0, 37.0, 480.0, 24000.0, 47000.0, -480.0, -47000.0, 0.5, 10.25,
                             240.3, 1000.75, -240.3, 12345.6}) {
    tvtest::SignalPair s = tvtest::Periodic(
        1 << 20, 3, [](double) { return 1.0; }, delay);
    tvtest::AddNoise(s.measurement, 20, 4);
    const DelayEstimate e = Find(s);
    ASSERT_TRUE(e.Found) << delay;
    EXPECT_FALSE(e.Inverted) << delay;
    const double error = std::fabs(e.Samples - delay);
    EXPECT_NEAR(e.Seconds, e.Samples / kRate, 1e-12);
    if (delay == std::round(delay)) {
      EXPECT_EQ(std::lround(e.Samples), std::lround(delay));
      EXPECT_LE(error, 0.01) << delay << ": " << e.Samples;
      if (error > worstWhole) worstWhole = error, whereWhole = std::to_string(delay);
    } else {
      EXPECT_LE(error, 0.05) << delay << ": " << e.Samples;
      if (error > worstFraction) worstFraction = error, whereFraction = std::to_string(delay);
    }
  }
  std::printf("worst whole-delay error %.5f samples (%s), fractional %.5f samples (%s)\n",
              worstWhole, whereWhole.c_str(), worstFraction, whereFraction.c_str());
}

// An inverted measurement is reported as such, at the right delay.
TEST(Delayfinder, InvertedPolarity) {
  const tvtest::Biquad hp = tvtest::ButterworthHighPass(80, kRate);
  for (const double delay : {240.3, 5000.0, -100.0}) {
    tvtest::SignalPair s = tvtest::Periodic(
        1 << 20, 5, [&](double w) { return -hp.Response(w); }, delay);
    tvtest::AddNoise(s.measurement, 30, 6);
    const DelayEstimate e = Find(s);
    ASSERT_TRUE(e.Found);
    EXPECT_TRUE(e.Inverted) << delay;
    EXPECT_NEAR(e.Samples, delay, 0.1);
  }
}

// Two paths in two bands (a woofer late, a tweeter early): each band finds its own.
TEST(Delayfinder, ABandFindsTheDelayOfItsPath) {
  // Crossover at 2 kHz, steep enough that each path owns its band.
  const auto lowShare = [](double w) {
    const double f = w * kRate / (2 * kPi);
    return 1.0 / std::sqrt(1.0 + std::pow(f / 2000.0, 16));
  };
  const auto system = [&](double w) {
    const double low = lowShare(w), high = std::sqrt(std::max(0.0, 1.0 - low * low));
    return low * std::polar(1.0, -w * 700.0) + high * std::polar(1.0, -w * 650.0);
  };
  tvtest::SignalPair s = tvtest::Periodic(1 << 21, 7, system, 0.0);
  tvtest::AddNoise(s.measurement, 30, 8);
  const DelayEstimate low = Find(s, 50, 1000), high = Find(s, 5000, 20000);
  ASSERT_TRUE(low.Found);
  ASSERT_TRUE(high.Found);
  EXPECT_NEAR(low.Samples, 700.0, 0.1);
  EXPECT_NEAR(high.Samples, 650.0, 0.1);
}

// A strong reflection and noise: the averaged find stays on the direct path block after block.
TEST(Delayfinder, StaysOnTheDirectPathWithAReflection) {
  const auto system = [](double w) {
    return std::polar(1.0, -w * 528.0) + 0.7 * std::polar(1.0, -w * 1900.0) +
           0.4 * std::polar(1.0, -w * 31000.0);
  };
  tvtest::SignalPair s = tvtest::Periodic(1 << 22, 9, system, 0.0);
  tvtest::AddNoise(s.measurement, 6, 10);
  Delayfinder finder(kRate, 1.0);
  int finds = 0;
  const size_t step = 24000;
  for (size_t at = 0; at + step <= s.reference.size(); at += step) {
    finder.Push(s.measurement.data() + at, s.reference.data() + at, static_cast<int>(step));
    if (finder.Blocks() == 0) continue;
    const DelayEstimate e = finder.Find();
    ASSERT_TRUE(e.Found) << at;
    EXPECT_NEAR(e.Samples, 528.0, 0.1) << "after " << finder.Blocks() << " blocks";
    ++finds;
  }
  EXPECT_GT(finds, 100);
}

// Recordings shorter than one block: the samples there are, as one zero-padded block.
TEST(Delayfinder, ShortRecording) {
  tvtest::SignalPair s = tvtest::Periodic(
      1 << 17, 11, [](double) { return 0.8; }, 2400.3);
  const DelayEstimate e = Find(s, 0, 0, 60000);  // 1.25 s
  ASSERT_TRUE(e.Found);
  EXPECT_EQ(e.Blocks, 1);
  EXPECT_NEAR(e.Samples, 2400.3, 0.05);
}

// Channels with nothing in common: no delay found. Non-finite samples: refused blocks.
TEST(Delayfinder, UncorrelatedChannelsAndBadSamplesFindNothing) {
  std::mt19937 random(12);
  std::normal_distribution<double> gauss(0.0, 1000.0);
  std::vector<double> x(1 << 21), y(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    x[i] = gauss(random);
    y[i] = gauss(random);
  }
  Delayfinder finder(kRate, 1.0);
  finder.Push(y.data(), x.data(), static_cast<int>(x.size()));
  const DelayEstimate e = finder.Find();
  EXPECT_GT(e.Blocks, 5);
  EXPECT_FALSE(e.Found) << e.Samples << " clarity " << e.Clarity;
  // A NaN in every block: none is averaged.
  for (size_t i = 0; i < x.size(); i += 100000)
    x[i] = NAN;
  Delayfinder bad(kRate, 1.0);
  bad.Push(x.data(), x.data(), static_cast<int>(x.size()));
  EXPECT_EQ(bad.Blocks(), 0);
  EXPECT_FALSE(bad.Find().Found);
  // Silence.
  std::vector<double> zero(1 << 19, 0.0);
  Delayfinder quiet(kRate, 1.0);
  quiet.Push(zero.data(), zero.data(), static_cast<int>(zero.size()));
  EXPECT_FALSE(quiet.Find().Found);
}

}  // namespace

// The band sums of the one-third-octave analyser, over spectra whose bins are known exactly.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "Octavebands.h"

namespace {

double Db(double sum) {
  return 20.0 * std::log10(sum);
}
const double kSilence = Db(kBandSilenceFloor);

TEST(OctaveBands, EachBinCountsOnceInTheBandUpToWhoseLimitItLies) {
  // Limits belong to the band below them; bins under 20 Hz count in the first band, bins
  // above 25 kHz in none.
  const std::vector<double> f = {5, 20, 25, 25.1, 31.5, 999.9, 1000, 1000.5, 24000, 25000, 30000};
  const std::vector<double> m = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024};
  const auto levels = OctaveBandLevels(f.data(), m.data(), static_cast<int>(f.size()), -100);
  EXPECT_DOUBLE_EQ(levels[0], Db(1 + 2 + 4));   // "20": up to 25 Hz
  EXPECT_DOUBLE_EQ(levels[1], Db(8 + 16));      // "25": up to 31.5 Hz
  EXPECT_DOUBLE_EQ(levels[16], Db(32 + 64));    // "800": up to 1 kHz
  EXPECT_DOUBLE_EQ(levels[17], Db(128));        // "1k": up to 1.25 kHz
  EXPECT_DOUBLE_EQ(levels[30], Db(256 + 512));  // "20k": up to 25 kHz
  // Bands 16 and up with no bin read as silence; so do empty bands that no repeat reaches.
  for (int j : {18, 19, 29})
    EXPECT_DOUBLE_EQ(levels[static_cast<size_t>(j)], kSilence) << j;
}

TEST(OctaveBands, EmptyBandsFrom25To630RepeatTheBandToTheirLeft) {
  // One bin in "40" (upper 50 Hz) and one in "1k": "50" to "630" hold none.
  const std::vector<double> f = {45, 1100};
  const std::vector<double> m = {10, 3};
  const auto levels = OctaveBandLevels(f.data(), m.data(), 2, -100);
  EXPECT_DOUBLE_EQ(levels[0], kSilence);  // the first band has no left neighbour
  EXPECT_DOUBLE_EQ(levels[1], kSilence);  // "25" repeats the silent "20"
  EXPECT_DOUBLE_EQ(levels[3], Db(10));
  for (int j = 4; j <= 15; ++j)
    EXPECT_DOUBLE_EQ(levels[static_cast<size_t>(j)], Db(10)) << j;
  EXPECT_DOUBLE_EQ(levels[16], kSilence);  // "800" is outside the rule
  EXPECT_DOUBLE_EQ(levels[17], Db(3));
}

TEST(OctaveBands, OnlyLevelsAtOrBelowTheEmptyMarkRepeat) {
  // "20" at 0 dB; "25" exactly at the mark repeats it, "31,5" just above the mark does not.
  const double mark = -60.0;
  const std::vector<double> f = {22, 30, 35};
  const std::vector<double> m = {1.0, 0.001, 0.0011};
  const auto levels = OctaveBandLevels(f.data(), m.data(), 3, mark);
  EXPECT_DOUBLE_EQ(levels[1], 0.0);
  EXPECT_DOUBLE_EQ(levels[2], Db(0.0011));
}

TEST(OctaveBands, AFullSpectrumSplitsItsWholeSumAmongTheBands) {
  // The worker's bins at 44.1 kHz and 8192 points: every band from "25" on holds bins, so no
  // band repeats and the band sums add up to the sum of all bins up to 25 kHz.
  const int n = 4097;
  std::vector<double> f(n), m(n);
  double total = 0;
  for (int i = 0; i < n; ++i) {
    f[static_cast<size_t>(i)] = i * 44100.0 / 8192;
    m[static_cast<size_t>(i)] = 1.0 + (i % 7);
    total += m[static_cast<size_t>(i)];
  }
  const auto levels = OctaveBandLevels(f.data(), m.data(), n, -100);
  double sum = 0;
  for (double level : levels)
    sum += std::pow(10.0, level / 20.0);
  EXPECT_NEAR(sum, total, total * 1e-12);
}

TEST(OctaveBands, NoSpectrumGivesSilenceEverywhere) {
  const std::vector<double> f = {100, 1000};
  const std::vector<double> zero = {0, 0};
  for (const auto& levels : {OctaveBandLevels(nullptr, nullptr, 5, -100),
                             OctaveBandLevels(f.data(), zero.data(), 2, -100),
                             OctaveBandLevels(f.data(), zero.data(), -1, -100)})
    for (double level : levels)
      EXPECT_DOUBLE_EQ(level, kSilence);
}

}  // namespace

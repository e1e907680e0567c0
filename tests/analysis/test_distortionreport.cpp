#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "Distortionreport.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

TEST(Distortionreport, LinesNameEachFigureWithItsUnit) {
  DistortionResult r;
  r.Valid = true;
  r.FundamentalHz = 997.01234;
  r.FundamentalDb = -0.0004;  // rounds to 0, without a sign
  r.ThdDb = -59.5851;
  r.ThdPct = 0.104881;
  r.ThdNDb = -59.554;
  r.ThdNPct = 0.1052;
  r.SinadDb = 59.554;
  r.SnrDb = 97.126;
  EXPECT_EQ(FormatDistortionLines(r, "L", 0.0),
            "L.fundamental_hz: 997.012 Hz\n"
            "L.fundamental_db: 0.000 dB\n"
            "L.thd_db: -59.59 dB\n"
            "L.thd_pct: 0.1049 %\n"
            "L.thd_n_db: -59.55 dB\n"
            "L.thd_n_pct: 0.1052 %\n"
            "L.sinad_db: 59.55 dB\n"
            "L.snr_db: 97.13 dB\n");
  // The correction moves the level only; percentages keep four significant digits.
  r.ThdPct = 12.3456;
  r.ThdNPct = 0.0000123456;
  const std::string text = FormatDistortionLines(r, "R", -10.0);
  EXPECT_NE(text.find("R.fundamental_db: -10.000 dB\n"), std::string::npos) << text;
  EXPECT_NE(text.find("R.thd_db: -59.59 dB\n"), std::string::npos) << text;
  EXPECT_NE(text.find("R.thd_pct: 12.35 %\n"), std::string::npos) << text;
  EXPECT_NE(text.find("R.thd_n_pct: 0.00001235 %\n"), std::string::npos) << text;

  const std::string none = FormatDistortionLines(DistortionResult{}, "L", 0.0);
  EXPECT_EQ(none.substr(0, none.find('\n')), "L.fundamental_hz: nan Hz");
  EXPECT_EQ(std::count(none.begin(), none.end(), '\n'), 8);
  EXPECT_EQ(none.find("0.000"), std::string::npos);
}

// Blocks of a tone whose amplitude changes from block to block.
std::vector<double> Block(double amplitude, int n) {
  std::vector<double> b(n);
  for (int i = 0; i < n; ++i)
    b[i] = std::round(32768 * amplitude * std::sin(2 * kPi * 100.3 * i / n + 0.2));
  return b;
}

TEST(Distortionreport, MeterAveragesThePowersOfEveryOrOfTheLastBlocks) {
  const int n = 4096;
  const double rate = 48000;
  const double amplitudes[] = {0.5, 0.25, 0.125};
  auto meanDb = [&](int from) {
    double sum = 0;
    for (int i = from; i < 3; ++i)
      sum += amplitudes[i] * amplitudes[i];
    return 10 * std::log10(sum / (3 - from));
  };
  for (int averages : {0, 2}) {
    DistortionMeter meter(n, 2, averages);
    EXPECT_FALSE(meter.Measure(WindowBlackmanHarris, rate)[0].Valid);
    for (double a : amplitudes) {
      const std::vector<double> l = Block(a, n), r = Block(0.5 * a, n);
      const double* block[] = {l.data(), r.data()};
      meter.Add(block, WindowBlackmanHarris);
    }
    EXPECT_EQ(meter.Blocks(), 3);
    const auto results = meter.Measure(WindowBlackmanHarris, rate);
    ASSERT_EQ(results.size(), 2u);
    ASSERT_TRUE(results[0].Valid);
    ASSERT_TRUE(results[1].Valid);
    const double expected = meanDb(averages == 2 ? 1 : 0);
    EXPECT_NEAR(results[0].FundamentalDb, expected, 0.01) << averages;
    EXPECT_NEAR(results[1].FundamentalDb, expected - 6.0206, 0.01) << averages;
    EXPECT_NEAR(results[0].FundamentalHz, 100.3 * rate / n, 0.01 * rate / n);
  }
  DistortionMeter mono(n, 1, 1);
  const std::vector<double> l = Block(0.5, n);
  const double* block[] = {l.data()};
  mono.Add(block, WindowHanning);
  EXPECT_EQ(mono.Measure(WindowHanning, rate).size(), 1u);
}

TEST(PowerAverage, IsTheRootOfTheMeanPowerOfTheLastKBlocksOrOfEveryBlock) {
  // Block b, bin k, channel c holds a magnitude whose square is known: the expected mean is
  // summed here over the blocks themselves, not over slots.
  const int bins = 5;
  auto magnitude = [](int b, int k, int c) { return 0.1 * (b + 1) + 0.01 * k + 0.5 * c; };
  for (int averages : {0, 1, 3, 7}) {
    for (int channels : {1, 2}) {
      SCOPED_TRACE(testing::Message() << averages << " averages, " << channels << " channels");
      PowerAverage average(bins, channels, averages);
      EXPECT_TRUE(average.Magnitude(0).empty()) << "no block yet";
      for (int b = 0; b < 12; ++b) {
        std::vector<double> rows[2] = {std::vector<double>(bins), std::vector<double>(bins)};
        for (int c = 0; c < 2; ++c)
          for (int k = 0; k < bins; ++k)
            rows[c][static_cast<size_t>(k)] = magnitude(b, k, c);
        const double* p[] = {rows[0].data(), rows[1].data()};
        average.Add(p);
        ASSERT_EQ(average.Blocks(), b + 1);
        const int first = averages == 0 ? 0 : std::max(0, b + 1 - averages);
        for (int c = 0; c < channels; ++c) {
          const std::vector<double> got = average.Magnitude(c);
          ASSERT_EQ(got.size(), static_cast<size_t>(bins));
          for (int k = 0; k < bins; ++k) {
            double sum = 0;
            for (int j = first; j <= b; ++j)
              sum += magnitude(j, k, c) * magnitude(j, k, c);
            EXPECT_NEAR(got[static_cast<size_t>(k)], std::sqrt(sum / (b + 1 - first)), 1e-12)
                << "block " << b << " bin " << k << " channel " << c;
          }
        }
        EXPECT_TRUE(average.Magnitude(channels).empty()) << "no such channel";
      }
    }
  }
}

TEST(PowerAverage, ANonFiniteBinCountsAsNoPowerAndSpoilsNothingElse) {
  PowerAverage average(3, 1, 2);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const double a[] = {nan, 2.0, inf}, b[] = {4.0, 2.0, 1.0};
  const double* pa[] = {a};
  const double* pb[] = {b};
  average.Add(pa);
  average.Add(pb);
  const std::vector<double> m = average.Magnitude(0);
  EXPECT_DOUBLE_EQ(m[0], std::sqrt(16.0 / 2));
  EXPECT_DOUBLE_EQ(m[1], 2.0);
  EXPECT_DOUBLE_EQ(m[2], std::sqrt(1.0 / 2));
}

TEST(Distortionreport, FiguresAreWrittenOneWayForTheWindowAndTheCommandLine) {
  EXPECT_EQ(FormatFixed(-0.004, 2), "0.00");  // no "-0.00"
  EXPECT_EQ(FormatFixed(997.0126, 3), "997.013");
  EXPECT_EQ(FormatFixed(-59.594, 2), "-59.59");
  EXPECT_EQ(FormatFixed(std::nan(""), 2), "nan");
  EXPECT_EQ(FormatFixed(std::numeric_limits<double>::infinity(), 2), "nan");
  // Four significant digits between two and the most places asked for.
  EXPECT_EQ(PercentDecimals(12.34, 8), 2);
  EXPECT_EQ(PercentDecimals(1.234, 8), 3);
  EXPECT_EQ(PercentDecimals(0.1234, 8), 4);
  EXPECT_EQ(PercentDecimals(0.00001234, 8), 8);
  EXPECT_EQ(PercentDecimals(0.00001234, 6), 6);
  EXPECT_EQ(PercentDecimals(1234.0, 8), 2);
  for (double odd : {0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity()})
    EXPECT_EQ(PercentDecimals(odd, 8), 2) << odd;
}

}  // namespace

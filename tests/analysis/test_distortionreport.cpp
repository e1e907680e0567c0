#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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

}  // namespace

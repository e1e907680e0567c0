// The A and C weighting filters against the sound level meter standard's table of nominal
// values and its class 1 acceptance limits, at 44.1 and 48 kHz; the worst case is printed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "Frequencyweighting.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kInf = 1e300;

struct Row {
  double hz, a, c, plus, minus;  // nominal A and C (dB), class 1 limits (+, -)
};
constexpr Row kTable[] = {
    {10, -70.4, -14.3, 3.5, kInf},  {12.5, -63.4, -11.2, 3.0, kInf},
    {16, -56.7, -8.5, 2.5, 4.5},    {20, -50.5, -6.2, 2.5, 2.5},
    {25, -44.7, -4.4, 2.5, 2.0},    {31.5, -39.4, -3.0, 2.0, 2.0},
    {40, -34.6, -2.0, 1.5, 1.5},    {50, -30.2, -1.3, 1.5, 1.5},
    {63, -26.2, -0.8, 1.5, 1.5},    {80, -22.5, -0.5, 1.5, 1.5},
    {100, -19.1, -0.3, 1.5, 1.5},   {125, -16.1, -0.2, 1.5, 1.5},
    {160, -13.4, -0.1, 1.5, 1.5},   {200, -10.9, 0.0, 1.4, 1.4},
    {250, -8.6, 0.0, 1.4, 1.4},     {315, -6.6, 0.0, 1.4, 1.4},
    {400, -4.8, 0.0, 1.4, 1.4},     {500, -3.2, 0.0, 1.4, 1.4},
    {630, -1.9, 0.0, 1.4, 1.4},     {800, -0.8, 0.0, 1.4, 1.4},
    {1000, 0.0, 0.0, 1.1, 1.1},     {1250, 0.6, 0.0, 1.4, 1.4},
    {1600, 1.0, -0.1, 1.6, 1.6},    {2000, 1.2, -0.2, 1.6, 1.6},
    {2500, 1.3, -0.3, 1.6, 1.6},    {3150, 1.2, -0.5, 1.6, 1.6},
    {4000, 1.0, -0.8, 1.6, 1.6},    {5000, 0.5, -1.3, 2.1, 2.1},
    {6300, -0.1, -2.0, 2.1, 2.6},   {8000, -1.1, -3.0, 2.1, 3.1},
    {10000, -2.5, -4.4, 2.6, 3.6},  {12500, -4.3, -6.2, 3.0, 6.0},
    {16000, -6.6, -8.5, 3.5, 17.0}, {20000, -9.3, -11.2, 4.0, kInf},
};

// The exact base-10 frequency behind a nominal one (the table is given at those).
double Exact(double nominal) {
  const double x = std::round(10.0 * std::log10(nominal / 1000.0));
  return 1000.0 * std::pow(10.0, x / 10.0);
}

TEST(FrequencyWeighting, TheCurvesMatchTheNominalTable) {
  for (const Row& r : kTable) {
    EXPECT_NEAR(WeightingNominalDb(FrequencyWeighting::A, Exact(r.hz)), r.a, 0.051) << r.hz;
    EXPECT_NEAR(WeightingNominalDb(FrequencyWeighting::C, Exact(r.hz)), r.c, 0.051) << r.hz;
    EXPECT_EQ(WeightingNominalDb(FrequencyWeighting::Z, r.hz), 0.0);
  }
  FrequencyWeighting w{};
  EXPECT_TRUE(ParseWeighting("a", &w));
  EXPECT_EQ(w, FrequencyWeighting::A);
  EXPECT_TRUE(ParseWeighting("C", &w));
  EXPECT_EQ(w, FrequencyWeighting::C);
  EXPECT_TRUE(ParseWeighting("z", &w));
  EXPECT_STREQ(WeightingName(w), "Z");
  EXPECT_FALSE(ParseWeighting("B", &w));
  EXPECT_FALSE(ParseWeighting("AC", &w));
}

// The digital filters, up to 20 kHz at both rates, within class 1 of the nominal values.
TEST(FrequencyWeighting, FiltersHoldClassOneUpToTwentyKilohertz) {
  double worst = 0.0, worstBelow10k = 0.0;
  char where[96] = "";
  for (double rate : {44100.0, 48000.0})
    for (FrequencyWeighting w : {FrequencyWeighting::A, FrequencyWeighting::C}) {
      const WeightingFilter filter(w, rate);
      for (const Row& r : kTable) {
        const double nominal = w == FrequencyWeighting::A ? r.a : r.c;
        const double d = filter.ResponseDb(Exact(r.hz)) - nominal;
        EXPECT_LE(d, r.plus) << WeightingName(w) << " " << rate << " " << r.hz;
        EXPECT_GE(d, -r.minus) << WeightingName(w) << " " << rate << " " << r.hz;
        if (std::fabs(d) > std::fabs(worst)) {
          worst = d;
          std::snprintf(where, sizeof where, "%s at %.0f Hz, %g Hz", WeightingName(w), rate, r.hz);
        }
        if (r.hz <= 10000) worstBelow10k = std::max(worstBelow10k, std::fabs(d));
      }
      // Against the exact curve, not the rounded table: close everywhere below 10 kHz.
      for (double f = 10; f <= 10000; f *= 1.05)
        EXPECT_NEAR(filter.ResponseDb(f), WeightingNominalDb(w, f), 0.25) << f;
      EXPECT_NEAR(filter.ResponseDb(1000), 0.0, 1e-9);
    }
  std::printf(
      "weighting: worst deviation from the nominal table %+.2f dB (%s); below 10 kHz "
      "|%.2f| dB\n",
      worst, where, worstBelow10k);
}

// Sines through the filter come out at the computed response; Z leaves samples alone.
TEST(FrequencyWeighting, SinesThroughTheFilter) {
  for (double rate : {44100.0, 48000.0}) {
    for (double f : {31.5, 100.0, 1000.0, 4000.0, 10000.0, 16000.0}) {
      WeightingFilter filter(FrequencyWeighting::A, rate);
      const int n = static_cast<int>(rate);  // 1 s: the lowest pole settles in a few 10 ms
      std::vector<double> x(n);
      for (int i = 0; i < n; ++i)
        x[i] = 10000 * std::sin(2 * kPi * f * i / rate);
      filter.Process(x.data(), n);
      double sum = 0;
      // Whole periods of the second half.
      const int count = static_cast<int>(std::floor(std::floor(0.5 * f) * rate / f));
      const int from = n - count;
      for (int i = from; i < n; ++i)
        sum += x[i] * x[i];
      const double db = 10 * std::log10(sum / count / (10000.0 * 10000.0 / 2));
      EXPECT_NEAR(db, filter.ResponseDb(f), 0.02) << rate << " " << f;
    }
    // In place on one channel of interleaved stereo: the other is untouched.
    WeightingFilter c(FrequencyWeighting::C, rate);
    std::vector<double> stereo = {1000, 5, -2000, 6, 3000, 7};
    c.Process(stereo.data(), 3, 2);
    EXPECT_EQ(stereo[1], 5);
    EXPECT_EQ(stereo[3], 6);
    EXPECT_NE(stereo[0], 1000);
    WeightingFilter z(FrequencyWeighting::Z, rate);
    std::vector<double> y = {1, -2, 3}, out(3);
    z.Process(y.data(), out.data(), 3);
    EXPECT_EQ(out, y);
  }
}

}  // namespace

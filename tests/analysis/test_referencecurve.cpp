#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "Referencecurve.h"

namespace {

std::span<const double> Span(const std::vector<double>& v) {
  return {v.data(), v.size()};
}

TEST(Referencecurve, DifferenceIsExactOnTheSameBinsAndInterpolatedBetweenOthers) {
  // A reference of 2048 points at 44100 Hz against live traces of the same and of other grids.
  std::vector<double> rf, rl;
  for (int k = 0; k < 1024; ++k) {
    rf.push_back(k * 44100.0 / 2048);
    rl.push_back(-50.0 + 0.02 * k);
  }
  const ReferenceCurve ref = ReferenceFromTrace(Span(rf), Span(rl));
  ASSERT_FALSE(ref.Empty());
  std::vector<double> x, y;
  std::vector<double> live(1024);
  for (int k = 0; k < 1024; ++k)
    live[k] = rl[k] + (k % 7) * 0.25;
  DifferenceCurve(Span(rf), Span(live), ref, &x, &y);
  ASSERT_EQ(y.size(), 1024u);
  for (int k = 0; k < 1024; ++k)
    EXPECT_EQ(y[k], live[k] - rl[k]) << k;  // bit for bit where the frequencies agree

  // A live trace at 48000 Hz, 4096 points: the reference's straight line is met between its
  // points; points above its last frequency (22028 Hz) are left out, not extrapolated.
  std::vector<double> lx, ly;
  for (int k = 0; k < 2048; ++k) {
    lx.push_back(k * 48000.0 / 4096);
    ly.push_back(0.0);
  }
  DifferenceCurve(Span(lx), Span(ly), ref, &x, &y);
  ASSERT_FALSE(x.empty());
  EXPECT_LE(x.back(), rf.back());
  EXPECT_GT(x.back(), rf.back() - 48000.0 / 4096);
  for (size_t i = 0; i < x.size(); ++i)
    EXPECT_NEAR(y[i], -(-50.0 + 0.02 * x[i] / (44100.0 / 2048)), 1e-9) << x[i];
  // Live points below the reference's first frequency are left out too.
  const std::vector<double> high = {10000, 10010, 30000};
  const ReferenceCurve part = ReferenceFromTrace(Span(high), Span(std::vector<double>{1, 2, 3}));
  DifferenceCurve(Span(lx), Span(ly), part, &x, &y);
  ASSERT_FALSE(x.empty());
  EXPECT_GE(x.front(), 10000);
  EXPECT_NEAR(y.front(), -(1 + (x.front() - 10000) / 10), 1e-9);

  // An empty reference gives no difference.
  DifferenceCurve(Span(lx), Span(ly), ReferenceCurve{}, &x, &y);
  EXPECT_TRUE(x.empty());
  EXPECT_TRUE(y.empty());
}

TEST(Referencecurve, TracesAndTablesThatMakeNoCurve) {
  const std::vector<double> one = {0}, two = {0, 10}, down = {10, 0}, levels = {1, 2};
  EXPECT_TRUE(ReferenceFromTrace(Span(one), Span(one)).Empty());
  EXPECT_TRUE(ReferenceFromTrace(Span(down), Span(levels)).Empty());
  EXPECT_TRUE(ReferenceFromTrace(Span(two), Span(std::vector<double>{1, NAN})).Empty());
  EXPECT_FALSE(ReferenceFromTrace(Span(two), Span(levels)).Empty());

  SpectrumTableData table;
  ReferenceCurve l, r;
  std::string error;
  EXPECT_FALSE(ReferenceFromTable(table, &l, &r, &error));
  EXPECT_EQ(error, "the table holds no trace");
  std::string text = "F-Axis[Hz] , Data Lmax[dB] , Data R[dB]\r\n0.000000 , -1.0 , -2.0\r\n";
  ASSERT_TRUE(ParseSpectrumTable(text, &table, &error)) << error;
  EXPECT_FALSE(ReferenceFromTable(table, &l, &r, &error));
  EXPECT_EQ(error, "the table holds fewer than 2 rows");
  text += "10.000000 , -3.0 , -4.0\r\n";
  ASSERT_TRUE(ParseSpectrumTable(text, &table, &error));
  ASSERT_TRUE(ReferenceFromTable(table, &l, &r, &error));
  EXPECT_TRUE(l.Empty()) << "R is there, so Lmax is not taken for L";
  EXPECT_EQ(r.Level, (std::vector<double>{-2, -4}));
  // Without L and R the first column stands for L.
  ASSERT_TRUE(
      ParseSpectrumTable("F-Axis[Hz] , Data Lmax[dB]\n0.0 , -1.0\n5.0 , -3.0\n", &table, &error));
  ASSERT_TRUE(ReferenceFromTable(table, &l, &r, &error));
  EXPECT_EQ(l.Level, (std::vector<double>{-1, -3}));
  EXPECT_TRUE(r.Empty());
  ASSERT_TRUE(
      ParseSpectrumTable("F-Axis[Hz] , Data L[dB]\n5.0 , -1.0\n5.0 , -3.0\n", &table, &error));
  EXPECT_FALSE(ReferenceFromTable(table, &l, &r, &error));
  EXPECT_EQ(error, "the frequencies do not ascend");
  EXPECT_TRUE(l.Empty());
}

}  // namespace

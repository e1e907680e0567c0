// The fractional-octave bank against the class 1 acceptance limits of the band-filter standard:
// the response of every band at 20 frequencies per band width across the band and its
// neighbours, and real sines and white noise through the bank. Each goal prints its worst case.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "Octavefilterbank.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kFractions[] = {1, 3, 6, 12, 24};
constexpr double kRates[] = {44100.0, 48000.0};

// Class 1 acceptance limits of the relative attenuation for octave bands, at the normalised
// frequencies G^e (e below); fractional bands scale them (NormalisedToOctave).
struct Limit {
  double e, minDb, maxDb;
};
constexpr double kInf = 1e300;
constexpr Limit kClass1[] = {{0.0, -0.4, 0.4},   {0.125, -0.4, 0.5}, {0.25, -0.4, 0.7},
                             {0.375, -0.4, 1.4}, {0.5, 1.2, 5.3},    {1.0, 16.6, kInf},
                             {2.0, 40.5, kInf},  {3.0, 60.0, kInf},  {4.0, 70.0, kInf}};

// The limits at normalised frequency omega (f / mid), interpolated on the log-frequency axis
// between the breakpoints; below the band edge the lower limit is the pass band's -0.4 dB.
void Class1Limits(double omega, int b, double* lo, double* hi) {
  const double o = omega >= 1.0 ? omega : 1.0 / omega;
  // The breakpoints in the band's own normalised frequency.
  auto at = [b](double e) {
    return 1.0 + (std::pow(kOctaveRatio, e) - 1.0) *
                     (std::pow(kOctaveRatio, 1.0 / (2.0 * b)) - 1.0) /
                     (std::sqrt(kOctaveRatio) - 1.0);
  };
  const int n = sizeof kClass1 / sizeof kClass1[0];
  if (o >= at(kClass1[n - 1].e)) {
    *lo = kClass1[n - 1].minDb;
    *hi = kInf;
    return;
  }
  for (int i = 0; i + 1 < n; ++i) {
    const double o0 = at(kClass1[i].e), o1 = at(kClass1[i + 1].e);
    if (o < o0 || o >= o1) continue;
    const double t = std::log(o / o0) / std::log(o1 / o0);
    const Limit &a = kClass1[i], &c = kClass1[i + 1];
    // The step at the band edge: inside the band the pass-band lower limit holds.
    *lo = (c.e == 0.5) ? a.minDb : a.minDb + t * (c.minDb - a.minDb);
    *hi = (c.maxDb >= kInf) ? kInf : a.maxDb + t * (c.maxDb - a.maxDb);
    return;
  }
  *lo = kClass1[0].minDb;
  *hi = kClass1[0].maxDb;
}

TEST(OctaveFilterBank, BandsFollowTheBaseTenSeries) {
  // One-third octave: nominal labels from 20 Hz, exact mid-bands G^(x/3) * 1000.
  const auto thirds48 = FractionalBands(3, 48000);
  ASSERT_FALSE(thirds48.empty());
  EXPECT_EQ(thirds48.front().label, "20");
  EXPECT_NEAR(thirds48.front().mid, 19.9526, 1e-4);
  EXPECT_EQ(thirds48.back().label, "20000");  // 19953 Hz < 0.45 x 48000
  EXPECT_EQ(FractionalBands(3, 44100).back().label, "16000");
  std::vector<std::string> labels;
  for (const auto& band : thirds48)
    labels.push_back(band.label);
  const std::vector<std::string> expected = {
      "20",   "25",   "31.5", "40",   "50",   "63",    "80",    "100",   "125",  "160",  "200",
      "250",  "315",  "400",  "500",  "630",  "800",   "1000",  "1250",  "1600", "2000", "2500",
      "3150", "4000", "5000", "6300", "8000", "10000", "12500", "16000", "20000"};
  EXPECT_EQ(labels, expected);
  // Octaves: the first band above 20 Hz is 31.5.
  const auto octaves = FractionalBands(1, 48000);
  ASSERT_EQ(octaves.size(), 10u);
  EXPECT_EQ(octaves.front().label, "31.5");
  EXPECT_EQ(octaves[5].label, "1000");
  EXPECT_DOUBLE_EQ(octaves[5].mid, 1000.0);
  EXPECT_EQ(octaves.back().label, "16000");
  // Even fractions sit between the odd ones' mid-bands: G^((2x+1)/2b) * 1000.
  const auto sixths = FractionalBands(6, 48000);
  for (const auto& band : sixths) {
    EXPECT_NEAR(band.lower * band.upper, band.mid * band.mid, 1e-9 * band.mid * band.mid);
    EXPECT_NEAR(band.upper / band.lower, std::pow(kOctaveRatio, 1.0 / 6), 1e-12);
  }
  EXPECT_NEAR(BandMidFrequency(6, 0), 1000.0 * std::pow(kOctaveRatio, 1.0 / 12), 1e-9);
  EXPECT_NEAR(BandMidFrequency(24, -1), 1000.0 * std::pow(kOctaveRatio, -1.0 / 48), 1e-9);
  EXPECT_GE(sixths.front().mid, 20.0);
  EXPECT_LT(sixths.front().mid / std::pow(kOctaveRatio, 1.0 / 6), 20.0);
  // Neighbouring bands touch, and the last lies below 0.45 x rate.
  for (int b : kFractions)
    for (double rate : kRates) {
      const auto bands = FractionalBands(b, rate);
      for (size_t i = 1; i < bands.size(); ++i)
        EXPECT_NEAR(bands[i].lower, bands[i - 1].upper, 1e-9 * bands[i].lower);
      EXPECT_LT(bands.back().mid, 0.45 * rate);
      EXPECT_GE(BandMidFrequency(b, bands.back().index + 1), 0.45 * rate);
    }
  // 1/24: from 20.24 Hz to 21.44 kHz at 48 kHz, 24 bands an octave.
  const auto fine = FractionalBands(24, 48000);
  EXPECT_NEAR(fine.front().mid, 20.24, 0.01);
  EXPECT_NEAR(fine.back().mid, 21441, 1);
  EXPECT_EQ(static_cast<int>(fine.size()), fine.back().index - fine.front().index + 1);
  EXPECT_TRUE(FractionalBands(5, 48000).empty());
  EXPECT_THROW(OctaveFilterBank(2, 48000, 1), std::invalid_argument);
  EXPECT_THROW(OctaveFilterBank(3, 48000, 3), std::invalid_argument);
}

// Every band's response, from its filters' coefficients, at 20 frequencies per band width
// from the lower neighbour's lower edge to the upper neighbour's upper edge.
TEST(OctaveFilterBank, EveryBandMeetsTheClassOneLimits) {
  double worstMargin = kInf, worstMid = 0.0, edgeLo = kInf, edgeHi = -kInf, octaveMin = kInf;
  std::string whereMargin, whereMid, whereOctave;
  for (int b : kFractions)
    for (double rate : kRates) {
      const OctaveFilterBank bank(b, rate, 1);
      for (int i = 0; i < bank.BandCount(); ++i) {
        const FractionalBand& band = bank.Bands()[i];
        const double half = std::pow(kOctaveRatio, 1.0 / (2.0 * b));
        char where[96];
        std::snprintf(where, sizeof where, "1/%d octave, %.0f Hz, band %s", b, rate,
                      band.label.c_str());
        const double mid = -bank.ResponseDb(i, band.mid);
        if (std::fabs(mid) > worstMid) {
          worstMid = std::fabs(mid);
          whereMid = where;
        }
        EXPECT_LE(std::fabs(mid), 0.3) << where;
        for (double edge : {band.lower, band.upper}) {
          if (edge >= rate / 2) continue;
          const double a = -bank.ResponseDb(i, edge);
          edgeLo = std::min(edgeLo, a);
          edgeHi = std::max(edgeHi, a);
          EXPECT_GE(a, 1.0) << where << " at " << edge;
          EXPECT_LE(a, 5.5) << where << " at " << edge;
        }
        if (b == 3)
          for (double f : {band.mid / 2, band.mid * 2}) {
            if (f >= rate / 2) continue;
            const double a = -bank.ResponseDb(i, f);
            if (a < octaveMin) {
              octaveMin = a;
              whereOctave = std::string(where) + " at " + std::to_string(f);
            }
            EXPECT_GE(a, 40.0) << where << " at " << f;
          }
        const int points = 60;  // 20 per band width over three band widths
        for (int k = 0; k <= points; ++k) {
          const double omega = std::pow(half, -3.0 + 6.0 * k / points);
          const double f = band.mid * omega;
          if (f >= rate / 2) continue;
          double lo, hi;
          Class1Limits(omega, b, &lo, &hi);
          const double a = -bank.ResponseDb(i, f);
          const double margin = std::min(a - lo, hi - a);
          if (margin < worstMargin) {
            worstMargin = margin;
            char text[64];
            std::snprintf(text, sizeof text, " at %.2f Hz (%.2f dB, limits %.1f..%.1f)", f, a, lo,
                          hi >= kInf ? 999.0 : hi);
            whereMargin = std::string(where) + text;
          }
          EXPECT_GE(a, lo) << where << " at " << f;
          EXPECT_LE(a, hi) << where << " at " << f;
        }
      }
    }
  std::printf("octave: class 1 limits, worst margin %.3f dB: %s\n", worstMargin,
              whereMargin.c_str());
  std::printf("octave: mid-band attenuation worst |%.4f| dB: %s\n", worstMid, whereMid.c_str());
  std::printf("octave: band-edge attenuation from %.3f to %.3f dB\n", edgeLo, edgeHi);
  std::printf("octave: 1/3 octave, one octave from mid-band at least %.2f dB: %s\n", octaveMin,
              whereOctave.c_str());
  RecordProperty("class1_worst_margin_db", std::to_string(worstMargin));
  RecordProperty("mid_worst_db", std::to_string(worstMid));
}

// A sine of known level through the bank reads each band's response at its frequency: the
// response computed from the coefficients is the one the processing delivers, folding by the
// rate changes included.
TEST(OctaveFilterBank, SinesReadTheComputedResponse) {
  double worst = 0.0;
  for (int b : {3, 24})
    for (double rate : kRates) {
      OctaveFilterBank bank(b, rate, 2);
      const double top = bank.Bands().back().mid;
      for (double f : {20.0, 31.0, 997.0, top * 1.01, 0.37 * rate}) {
        if (b == 24 && (f == 31.0 || f > top)) continue;  // the slow low bands keep it short
        bank.Reset();
        const double amplitude = 32768.0 * 0.5;  // -6.02 dBFS
        std::vector<double> x(2 * 4096);
        long n = 0;
        auto run = [&](double seconds) {
          const long frames = std::lround(seconds * rate);
          for (long done = 0; done < frames; done += 4096) {
            const int m = static_cast<int>(std::min<long>(4096, frames - done));
            for (int i = 0; i < m; ++i, ++n) {
              const double v = amplitude * std::sin(2 * kPi * f * static_cast<double>(n) / rate);
              x[2 * i] = v;
              x[2 * i + 1] = -0.5 * v;  // the right channel 6 dB lower
            }
            bank.ProcessInterleaved(x.data(), m);
          }
        };
        run(b == 24 ? 7.0 : 2.0);  // the narrowest low bands settle
        bank.ResetLevels();
        run(2.0);
        const double level = 20 * std::log10(0.5);
        for (int i = 0; i < bank.BandCount(); ++i) {
          const double expect = level + bank.ResponseDb(i, f);
          if (expect < level - 30) continue;  // skirts still hold some of the start
          const double err = bank.BandLeqDb(0, i) - expect;
          worst = std::max(worst, std::fabs(err));
          EXPECT_NEAR(err, 0.0, 0.05)
              << "1/" << b << " at " << rate << ", " << f << " Hz, band " << bank.Bands()[i].label;
          EXPECT_NEAR(bank.BandLeqDb(1, i) - bank.BandLeqDb(0, i), -6.0206, 0.01);
        }
        // Far from any band's range, what folds down stays below -100 dB.
        if (f > 0.3 * rate) {
          for (int i = 0; i < bank.BandCount() && bank.Bands()[i].mid < 0.1 * rate; ++i)
            EXPECT_LT(bank.BandLeqDb(0, i), level - 100) << bank.Bands()[i].label;
        }
      }
    }
  std::printf("octave: sines through the bank against the computed response, worst %.4f dB\n",
              worst);
}

// The power of white noise in all bands together equals its power in the range they cover.
TEST(OctaveFilterBank, WhiteNoiseBandsAddUpToTheBroadbandPower) {
  double worst = 0.0;
  std::string where;
  std::mt19937 random(15);
  std::normal_distribution<double> gauss(0.0, 3000.0);
  for (int b : kFractions)
    for (double rate : kRates) {
      OctaveFilterBank bank(b, rate, 1);
      std::vector<double> x(8192);
      double sumSquares = 0.0;
      long count = 0;
      auto run = [&](double seconds, bool count_it) {
        const long frames = std::lround(seconds * rate);
        for (long done = 0; done < frames; done += 8192) {
          const int m = static_cast<int>(std::min<long>(8192, frames - done));
          for (int i = 0; i < m; ++i) {
            x[i] = gauss(random);
            if (count_it) sumSquares += x[i] * x[i];
          }
          if (count_it) count += m;
          bank.Process(std::vector<const double*>{x.data()}.data(), m);
        }
      };
      run(1.0, false);
      bank.ResetLevels();
      run(3.0, true);
      double bands = 0.0;
      for (int i = 0; i < bank.BandCount(); ++i)
        bands += std::pow(10.0, bank.BandLeqDb(0, i) / 10.0);
      const double lo = bank.Bands().front().lower;
      const double hi = std::min(bank.Bands().back().upper, rate / 2);
      const double broadband = sumSquares / count / kFullScaleMeanSquare * (hi - lo) / (rate / 2);
      const double diff = 10 * std::log10(bands / broadband);
      if (std::fabs(diff) > std::fabs(worst)) {
        worst = diff;
        where = "1/" + std::to_string(b) + " octave at " + std::to_string(static_cast<int>(rate));
      }
      EXPECT_NEAR(diff, 0.0, 0.3) << "1/" << b << " at " << rate;
    }
  std::printf("octave: white noise, band power sum - broadband power, worst %+.3f dB (%s)\n", worst,
              where.c_str());
}

}  // namespace

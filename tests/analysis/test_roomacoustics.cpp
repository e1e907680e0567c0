// Room-acoustic parameters of synthesised responses against their closed forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "Octavefilterbank.h"
#include "Roomacoustics.h"

namespace {

constexpr double kRate = 48000;
constexpr double kDecades = 13.815510557964274;  // ln(10^6): 60 dB of energy

// Energy e^(-k t) with k = ln(10^6) / T.
double K(double t60) {
  return kDecades / t60;
}

// Exponentially decaying white noise of reverberation time t60 over a steady floor
// `floorDb` below the decay's start, long enough for the floor to show for a while.
std::vector<double> DecayingNoise(double t60, double floorDb, unsigned seed, double rate = kRate) {
  std::mt19937 random(seed);
  std::normal_distribution<double> gauss(0.0, 1.0);
  const double meets = floorDb / 60.0 * t60;
  const auto n = static_cast<size_t>((1.3 * meets + 0.3) * rate);
  const double floor = std::pow(10.0, -floorDb / 20.0);
  std::vector<double> h(n);
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    h[i] = gauss(random) * std::exp(-0.5 * K(t60) * t) + floor * gauss(random);
  }
  return h;
}

double C(double k, double seconds) {
  return 10.0 * std::log10(std::exp(seconds * k) - 1.0);
}
double D50(double k) {
  return 100.0 * (1.0 - std::exp(-0.05 * k));
}

struct Worst {
  double value = 0.0;
  std::string where;
  void Note(double v, const std::string& at) {
    if (std::fabs(v) > std::fabs(value)) {
      value = v;
      where = at;
    }
  }
};

std::string Case(double t60, double floorDb, unsigned seed) {
  char text[64];
  std::snprintf(text, sizeof text, "T %.1f s, floor %.0f dB, seed %u", t60, floorDb, seed);
  return text;
}

const RoomParameters& Band(const RoomAcoustics& room, const std::string& label) {
  for (const RoomParameters& p : room.bands)
    if (p.band == label) return p;
  ADD_FAILURE() << "no band " << label;
  return room.broadband;
}

// Broadband, each realisation is held to the goals. In an octave a realisation's decay
// fluctuates by itself (its band-limited envelope has few degrees of freedom: about 3 % at
// 500 Hz and T 0.3 s), so there the mean of six realisations is held to 5 % and the worst
// single one is reported beside it.
TEST(RoomAcoustics, DecayingNoiseMatchesTheClosedFormsBroadbandAndInOctaves) {
  Worst t20, t30, edt, c80, d50, band, single, r;
  const char* const labels[] = {"500", "1000", "2000", "4000"};
  for (double t60 : {0.3, 0.8, 2.0})
    for (double floorDb : {50.0, 60.0, 80.0}) {
      double mean[4] = {};
      const unsigned seeds = 6;
      for (unsigned seed = 1; seed <= seeds; ++seed) {
        const std::string at = Case(t60, floorDb, seed);
        const std::vector<double> h = DecayingNoise(t60, floorDb, seed);
        const RoomAcoustics room = AnalyseRoom(h.data(), static_cast<int64_t>(h.size()), kRate);
        ASSERT_TRUE(room.valid) << room.error;
        const RoomParameters& b = room.broadband;
        SCOPED_TRACE(at);
        ASSERT_TRUE(b.t30.reason.empty()) << b.t30.reason;
        EXPECT_NEAR(b.rangeDb, floorDb, 3.0);
        t20.Note(b.t20.seconds / t60 - 1.0, at);
        t30.Note(b.t30.seconds / t60 - 1.0, at);
        edt.Note(b.edt.seconds / t60 - 1.0, at);
        c80.Note(b.c80Db - C(K(t60), 0.08), at);
        d50.Note(b.d50Pct - D50(K(t60)), at);
        for (const DecayTime* d : {&b.edt, &b.t20, &b.t30})
          r.Note(1.0 + d->r, at);
        for (int j = 0; j < 4; ++j) {
          const RoomParameters& p = Band(room, labels[j]);
          ASSERT_TRUE(p.t30.reason.empty()) << labels[j] << ": " << p.t30.reason;
          mean[j] += p.t30.seconds / t60 / seeds;
          single.Note(p.t30.seconds / t60 - 1.0, at + ", " + labels[j] + " Hz");
        }
      }
      for (int j = 0; j < 4; ++j)
        band.Note(mean[j] - 1.0, Case(t60, floorDb, 0) + ", " + labels[j] + " Hz");
    }
  std::printf("worst broadband T20 %+.2f %% (%s)\n", 100 * t20.value, t20.where.c_str());
  std::printf("worst broadband T30 %+.2f %% (%s)\n", 100 * t30.value, t30.where.c_str());
  std::printf("worst broadband EDT %+.2f %% (%s)\n", 100 * edt.value, edt.where.c_str());
  std::printf("worst broadband C80 %+.3f dB (%s)\n", c80.value, c80.where.c_str());
  std::printf("worst broadband D50 %+.2f points (%s)\n", d50.value, d50.where.c_str());
  std::printf("worst octave T30, mean of 6 %+.2f %% (%s)\n", 100 * band.value, band.where.c_str());
  std::printf("worst octave T30, one realisation %+.2f %% (%s)\n", 100 * single.value,
              single.where.c_str());
  std::printf("worst 1 + r %.2e (%s)\n", r.value, r.where.c_str());
  EXPECT_LE(std::fabs(t20.value), 0.02);
  EXPECT_LE(std::fabs(t30.value), 0.02);
  EXPECT_LE(std::fabs(edt.value), 0.05);
  EXPECT_LE(std::fabs(c80.value), 0.3);
  EXPECT_LE(std::fabs(d50.value), 2.0);
  EXPECT_LE(std::fabs(band.value), 0.05);
  EXPECT_LE(r.value, 0.01);
}

// The ideal decay h = e^(-k t / 2), onset at 0: the values the issue quotes and the closed
// forms, with and without a noise floor.
TEST(RoomAcoustics, IdealDecayGivesTheExactEnergyParameters) {
  struct Expected {
    double t60, c50, c80, d50, ts;
  };
  const Expected table[] = {{0.5, 4.74, 9.10, 74.9, 36.2},
                            {1.0, -0.02, 3.05, 49.9, 72.4},
                            {2.0, -3.85, -1.32, 29.2, 144.8}};
  Worst c, d, ts;
  for (const Expected& x : table) {
    // The quoted figures are the closed forms rounded.
    const double k = K(x.t60);
    EXPECT_NEAR(C(k, 0.05), x.c50, 0.006);
    EXPECT_NEAR(C(k, 0.08), x.c80, 0.006);
    EXPECT_NEAR(D50(k), x.d50, 0.06);
    EXPECT_NEAR(1000.0 / k, x.ts, 0.06);
    for (int noisy = 0; noisy < 2; ++noisy) {
      std::vector<double> h;
      if (noisy) {
        h = DecayingNoise(x.t60, 60.0, 5);
      } else {
        h.resize(static_cast<size_t>(4 * x.t60 * kRate));
        for (size_t i = 0; i < h.size(); ++i)
          h[i] = std::exp(-0.5 * k * static_cast<double>(i) / kRate);
      }
      const RoomParameters p = AnalyseDecay(h.data(), static_cast<int64_t>(h.size()), kRate);
      const std::string at = Case(x.t60, noisy ? 60.0 : 0.0, 5) + (noisy ? " noise" : " ideal");
      SCOPED_TRACE(at);
      ASSERT_TRUE(p.energyReason.empty()) << p.energyReason;
      c.Note(p.c50Db - x.c50, at + " C50");
      c.Note(p.c80Db - x.c80, at + " C80");
      d.Note(p.d50Pct - x.d50, at);
      ts.Note(p.tsMs - x.ts, at);
      if (!noisy) {
        EXPECT_NEAR(p.t30.seconds, x.t60, 0.001 * x.t60);
        EXPECT_NEAR(p.edt.seconds, x.t60, 0.001 * x.t60);
        EXPECT_LT(p.t30.r, -0.99999);
      }
    }
  }
  std::printf("worst ideal-decay C %+.3f dB (%s)\n", c.value, c.where.c_str());
  std::printf("worst ideal-decay D50 %+.2f points (%s)\n", d.value, d.where.c_str());
  std::printf("worst ideal-decay Ts %+.2f ms (%s)\n", ts.value, ts.where.c_str());
  EXPECT_LE(std::fabs(c.value), 0.2);
  EXPECT_LE(std::fabs(d.value), 1.0);
  EXPECT_LE(std::fabs(ts.value), 2.0);
}

TEST(RoomAcoustics, ShortRangeFlagsT30AndKeepsT20) {
  for (double t60 : {0.3, 0.8, 2.0})
    for (unsigned seed : {1u, 2u, 3u}) {
      SCOPED_TRACE(Case(t60, 40.0, seed));
      const std::vector<double> h = DecayingNoise(t60, 40.0, seed);
      const RoomParameters p = AnalyseDecay(h.data(), static_cast<int64_t>(h.size()), kRate);
      EXPECT_TRUE(std::isnan(p.t30.seconds));
      EXPECT_NE(p.t30.reason.find("needs 45.0 dB"), std::string::npos) << p.t30.reason;
      EXPECT_TRUE(p.t20.reason.empty()) << p.t20.reason;
      EXPECT_NEAR(p.t20.seconds, t60, 0.02 * t60);
      EXPECT_NEAR(p.edt.seconds, t60, 0.05 * t60);
      // Every regression says how straight it was, the invalid one too.
      for (const DecayTime* d : {&p.edt, &p.t20, &p.t30}) {
        EXPECT_TRUE(std::isfinite(d->r));
        EXPECT_LT(d->r, -0.99);
      }
    }
  // 25 dB: EDT and the energy parameters still, neither T20 nor T30.
  const std::vector<double> h = DecayingNoise(0.8, 25.0, 4);
  const RoomParameters p = AnalyseDecay(h.data(), static_cast<int64_t>(h.size()), kRate);
  EXPECT_TRUE(std::isnan(p.t20.seconds));
  EXPECT_NE(p.t20.reason.find("needs 35.0 dB"), std::string::npos) << p.t20.reason;
  EXPECT_NEAR(p.edt.seconds, 0.8, 0.05 * 0.8);
  EXPECT_NEAR(p.c80Db, C(K(0.8), 0.08), 0.3);
  // 12 dB: nothing but the reasons.
  const std::vector<double> low = DecayingNoise(0.8, 12.0, 4);
  const RoomParameters q = AnalyseDecay(low.data(), static_cast<int64_t>(low.size()), kRate);
  EXPECT_TRUE(std::isnan(q.edt.seconds));
  EXPECT_TRUE(std::isnan(q.c80Db));
  EXPECT_FALSE(q.energyReason.empty());
}

// At 125 Hz an octave of decaying noise holds too few degrees of freedom for a realisation to
// tell its T30 within 5 % (EDTs of 0.19 to 0.47 s for T 0.3 s), so the band's decay is a
// decaying tone: then the band's envelope is the room's alone, and a filter run forwards
// would add its own ringing to it.
TEST(RoomAcoustics, LowBandShortDecayThroughBackwardFilters) {
  Worst backward, forward;
  const OctaveFilterBank bank(1, kRate, 1);
  int band = -1;
  for (int b = 0; b < bank.BandCount(); ++b)
    if (bank.Bands()[static_cast<size_t>(b)].label == "125") band = b;
  ASSERT_GE(band, 0);
  std::mt19937 random(3);
  std::normal_distribution<double> gauss(0.0, 1.0);
  for (double hz : {100.0, 125.0, 160.0})
    for (double floorDb : {50.0, 60.0, 80.0}) {
      const double k = K(0.3);
      std::vector<double> h(static_cast<size_t>((1.3 * floorDb / 60.0 * 0.3 + 0.3) * kRate));
      const double floor = std::pow(10.0, -floorDb / 20.0);
      for (size_t i = 0; i < h.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        h[i] = std::sqrt(2.0) * std::exp(-0.5 * k * t) * std::sin(2 * M_PI * hz * t + 0.3) +
               floor * gauss(random);
      }
      char at[64];
      std::snprintf(at, sizeof at, "%.0f Hz, floor %.0f dB", hz, floorDb);
      const RoomAcoustics room = AnalyseRoom(h.data(), static_cast<int64_t>(h.size()), kRate);
      const RoomParameters& p = Band(room, "125");
      ASSERT_TRUE(p.t30.reason.empty()) << at << ": " << p.t30.reason;
      backward.Note(p.t30.seconds / 0.3 - 1.0, at);
      backward.Note(p.edt.seconds / 0.3 - 1.0, std::string(at) + " EDT");
      double rate = 0.0, delay = 0.0;
      const std::vector<double> y =
          bank.FilterBand(band, h.data(), static_cast<long>(h.size()), &rate, &delay);
      const RoomParameters f = AnalyseDecay(y.data(), static_cast<int64_t>(y.size()), rate, 125);
      forward.Note(f.edt.seconds / 0.3 - 1.0, at);
    }
  std::printf(
      "worst 125 Hz T30 or EDT at T 0.3 s %+.2f %% (%s); forward filtering's EDT up "
      "to %+.1f %% (%s)\n",
      100 * backward.value, backward.where.c_str(), 100 * forward.value, forward.where.c_str());
  EXPECT_LE(std::fabs(backward.value), 0.05);
  EXPECT_GT(std::fabs(forward.value), std::fabs(backward.value));
}

// Two exponentials: EDT and T30 are the lines through the curve's own ranges, which a dense
// least-squares fit of the closed-form backward integral gives independently.
TEST(RoomAcoustics, DoubleSlopeDecayGivesTheCurvesEdtAndT30) {
  Worst edt, t30;
  for (double t1 : {0.3, 0.6})
    for (double t2 : {1.2, 2.0})
      for (double levelDb : {-10.0, -20.0}) {
        const double k1 = K(t1), k2 = K(t2), a2 = std::pow(10.0, levelDb / 10.0);
        // Schroeder's integral of e = e^(-k1 t) + a2 e^(-k2 t).
        auto s = [&](double t) { return std::exp(-k1 * t) / k1 + a2 * std::exp(-k2 * t) / k2; };
        auto fitted = [&](double upper, double lower) {
          double sx = 0, sy = 0, sxx = 0, sxy = 0, n = 0;
          for (double t = 0; t < 10.0; t += 1e-5) {
            const double y = 10 * std::log10(s(t) / s(0));
            if (y > upper) continue;
            if (y < lower) break;
            sx += t;
            sy += y;
            sxx += t * t;
            sxy += t * y;
            n += 1;
          }
          return -60.0 / ((n * sxy - sx * sy) / (n * sxx - sx * sx));
        };
        const double wantEdt = fitted(0.0, -10.0), wantT30 = fitted(-5.0, -35.0);
        std::mt19937 random(11);
        std::normal_distribution<double> gauss(0.0, 1.0);
        std::vector<double> h(static_cast<size_t>((t2 * 1.6 + 0.3) * kRate));
        for (size_t i = 0; i < h.size(); ++i) {
          const double t = static_cast<double>(i) / kRate;
          h[i] = gauss(random) * std::sqrt(std::exp(-k1 * t) + a2 * std::exp(-k2 * t)) +
                 1e-4 * gauss(random);
        }
        const RoomParameters p = AnalyseDecay(h.data(), static_cast<int64_t>(h.size()), kRate);
        char at[96];
        std::snprintf(at, sizeof at, "T %.1f then %.1f s from %.0f dB (EDT %.3f, T30 %.3f)", t1, t2,
                      levelDb, wantEdt, wantT30);
        edt.Note(p.edt.seconds / wantEdt - 1.0, at);
        t30.Note(p.t30.seconds / wantT30 - 1.0, at);
      }
  std::printf("worst double-slope EDT %+.2f %% (%s)\n", 100 * edt.value, edt.where.c_str());
  std::printf("worst double-slope T30 %+.2f %% (%s)\n", 100 * t30.value, t30.where.c_str());
  EXPECT_LE(std::fabs(edt.value), 0.05);
  EXPECT_LE(std::fabs(t30.value), 0.02);
}

TEST(RoomAcoustics, RefusesWhatCannotBeMeasured) {
  std::vector<double> silent(48000, 0.0);
  RoomAcoustics room = AnalyseRoom(silent.data(), 48000, kRate);
  EXPECT_FALSE(room.valid);
  EXPECT_EQ(room.error, "the response is silent");
  std::vector<double> h = DecayingNoise(0.5, 60.0, 1);
  h[1000] = NAN;
  room = AnalyseRoom(h.data(), static_cast<int64_t>(h.size()), kRate);
  EXPECT_FALSE(room.valid);
  h[1000] = INFINITY;
  EXPECT_FALSE(AnalyseRoom(h.data(), static_cast<int64_t>(h.size()), kRate).valid);
  EXPECT_FALSE(AnalyseRoom(h.data(), 0, kRate).valid);
  EXPECT_FALSE(AnalyseRoom(h.data(), 100, 4000).valid);
  // A click only: nothing to regress, and each value says so.
  std::vector<double> click(4800, 0.0);
  click[10] = 1.0;
  const RoomParameters p = AnalyseDecay(click.data(), 4800, kRate);
  for (const DecayTime* d : {&p.edt, &p.t20, &p.t30}) {
    EXPECT_TRUE(std::isnan(d->seconds));
    EXPECT_FALSE(d->reason.empty());
  }
  EXPECT_TRUE(std::isnan(p.c50Db));
  EXPECT_FALSE(p.energyReason.empty());
  // Rising instead of decaying.
  std::vector<double> rising(48000);
  for (size_t i = 0; i < rising.size(); ++i)
    rising[i] = std::exp(3.0 * static_cast<double>(i) / kRate) * ((i % 2) ? 1 : -1);
  const RoomParameters q = AnalyseDecay(rising.data(), 48000, kRate);
  EXPECT_TRUE(std::isnan(q.t20.seconds));
}

// The bands follow the rate: 8 kHz only where it lies below 0.45 x rate; a band's time axis
// keeps an impulse where it was.
TEST(RoomAcoustics, OctavesFollowTheRateAndKeepTheTimeAxis) {
  auto labels = [](double rate) {
    std::string s;
    const std::vector<FractionalBand> all = FractionalBands(1, rate);
    for (int b : RoomOctaveBands(rate))
      s += all[static_cast<size_t>(b)].label + " ";
    return s;
  };
  EXPECT_EQ(labels(48000), "63 125 250 500 1000 2000 4000 8000 ");
  EXPECT_EQ(labels(44100), "63 125 250 500 1000 2000 4000 8000 ");
  EXPECT_EQ(labels(16000), "63 125 250 500 1000 2000 4000 ");
  for (double rate : {44100.0, 48000.0, 96000.0}) {
    const OctaveFilterBank bank(1, rate, 1);
    std::vector<double> h(static_cast<size_t>(rate), 0.0);
    h[static_cast<size_t>(0.5 * rate)] = 1.0;
    for (int b : RoomOctaveBands(rate)) {
      double r = 0, start = 0;
      const std::vector<double> y =
          BackwardOctaveBand(bank, h.data(), static_cast<int64_t>(h.size()), b, &r, &start);
      // The energy's centre: the band-pass's backward response is mirrored around the
      // impulse, its group delay ahead of it.
      double sum = 0, moment = 0;
      for (size_t i = 0; i < y.size(); ++i) {
        sum += y[i] * y[i];
        moment += y[i] * y[i] * (start + static_cast<double>(i) / r);
      }
      const double mid = bank.Bands()[static_cast<size_t>(b)].mid;
      EXPECT_NEAR(moment / sum, 0.5, 2.0 / mid) << rate << " Hz, band " << mid;
      EXPECT_LT(moment / sum, 0.5 + 1.0 / rate) << "the ringing lies before the impulse";
    }
  }
}

}  // namespace

namespace {

// FilterBand is the bank's own path: a tone's power through it, re the input's, is the band
// level the bank measures, on a stage at the full rate, a decimated one and the doubled one.
TEST(RoomAcoustics, FilterBandIsTheBanksOwnPath) {
  struct Case {
    double rate, hz;
    const char* band;
  };
  for (const Case& c : {Case{48000, 1000, "1000"}, Case{48000, 110, "125"}, Case{48000, 70, "63"},
                        Case{44100, 9000, "8000"}, Case{48000, 1400, "1000"}}) {
    OctaveFilterBank bank(1, c.rate, 1);
    int band = -1;
    for (int b = 0; b < bank.BandCount(); ++b)
      if (bank.Bands()[static_cast<size_t>(b)].label == c.band) band = b;
    ASSERT_GE(band, 0);
    const auto n = static_cast<size_t>(5 * c.rate);
    std::vector<double> x(n);
    for (size_t i = 0; i < n; ++i)
      x[i] = 10000.0 * std::sin(2 * M_PI * c.hz * static_cast<double>(i) / c.rate);
    const auto second = static_cast<int>(c.rate);
    bank.Process(std::vector<const double*>{x.data()}.data(), second);
    bank.ResetLevels();
    bank.Process(std::vector<const double*>{x.data() + second}.data(),
                 static_cast<int>(n) - second);
    const double measured = bank.BandLeqDb(0, band) - bank.Broadband(0).LeqDb();
    double rate = 0, delay = 0;
    const std::vector<double> y =
        bank.FilterBand(band, x.data(), static_cast<long>(n), &rate, &delay);
    double out = 0, in = 0;
    const auto from = static_cast<size_t>(rate), to = y.size() - static_cast<size_t>(rate / 2);
    for (size_t i = from; i < to; ++i)
      out += y[i] * y[i];
    for (size_t i = second; i < n; ++i)
      in += x[i] * x[i];
    const double through = 10 * std::log10((out / static_cast<double>(to - from)) /
                                           (in / static_cast<double>(n - second)));
    EXPECT_NEAR(through, measured, 0.02) << c.rate << " Hz, " << c.hz << " Hz in " << c.band;
    EXPECT_NEAR(through, bank.ResponseDb(band, c.hz), 0.02);
  }
}

}  // namespace

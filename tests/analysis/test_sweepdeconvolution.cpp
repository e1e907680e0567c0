// Sweeps and their deconvolution: synthesised systems (identity, a room, a memoryless
// non-linearity) measured through sweeps and checked against closed forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "Convolution.h"
#include "Distortion.h"
#include "Fft.h"
#include "Logsweep.h"
#include "Roomacoustics.h"
#include "Sweepdeconvolution.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

using tvtest::Convolve;

// |DTFT| in dB at f of x, by direct summation.
double LevelDb(const std::vector<double>& x, double f, double rate) {
  std::complex<double> sum = 0.0;
  for (size_t j = 0; j < x.size(); ++j)
    sum += x[j] * std::polar(1.0, -2 * kPi * f * static_cast<double>(j) / rate);
  return 20 * std::log10(std::abs(sum));
}

TEST(LogSweep, SynchronisedShapeAndSamples) {
  for (double rate : {44100.0, 48000.0, 96000.0})
    for (double f1 : {10.0, 20.0, 31.0})
      for (double seconds : {0.5, 4.0, 10.0}) {
        const LogSweepShape s = SynchronizedLogSweepShape(f1, 20000.0, seconds, rate);
        ASSERT_GT(s.frames, 0);
        const double cycles = f1 * s.rateConstant;
        EXPECT_NEAR(cycles, std::round(cycles), 1e-9);
        EXPECT_NEAR(s.seconds, s.rateConstant * std::log(20000.0 / f1), 1e-12);
        // The nearest whole number of cycles: within half a cycle's worth of L.
        EXPECT_LE(std::fabs(s.rateConstant - seconds / std::log(20000.0 / f1)), 0.5 / f1 + 1e-12);
        EXPECT_EQ(s.frames, std::llround(s.seconds * rate));
        EXPECT_NEAR(HarmonicAdvanceSeconds(s, 3), s.rateConstant * std::log(3.0), 1e-15);
      }
  const LogSweepShape s = SynchronizedLogSweepShape(20.0, 20000.0, 2.0, 48000.0);
  const std::vector<double> x = SynchronizedLogSweep(s, 0.5);
  ASSERT_EQ(static_cast<int64_t>(x.size()), s.frames);
  double worst = 0.0;
  for (size_t i = 0; i < x.size(); i += 7) {
    const double t = static_cast<double>(i) / 48000.0;
    const double want =
        0.5 * std::sin(2 * kPi * 20.0 * s.rateConstant * (std::exp(t / s.rateConstant) - 1));
    worst = std::max(worst, std::fabs(x[i] - want));
  }
  EXPECT_LT(worst, 1e-9);
  // Fades: zero at both ends, untouched in the middle, never above the amplitude.
  const std::vector<double> f = SynchronizedLogSweep(s, 0.5, 0.01, 0.02);
  EXPECT_EQ(f.front(), 0.0);
  EXPECT_NEAR(f.back(), 0.0, 1e-6);
  EXPECT_EQ(f[x.size() / 2], x[x.size() / 2]);
  for (double v : f)
    EXPECT_LE(std::fabs(v), 0.5);
  // L read back from a sweep's zero crossings; none from what is not a log sweep.
  for (double f1 : {20.0, 50.0, 100.0})
    for (double seconds : {1.0, 4.0, 10.0}) {
      const LogSweepShape e = SynchronizedLogSweepShape(f1, 16000.0, seconds, 44100.0);
      const std::vector<double> y = SynchronizedLogSweep(e, 0.3, 0.01, 0.01);
      const double L = EstimateLogSweepRateConstant(y.data(), e.frames, 44100.0);
      EXPECT_NEAR(L, e.rateConstant, 0.005 * e.rateConstant) << f1 << " Hz, " << seconds << " s";
    }
  std::vector<double> linear(96000), noise(96000), sine(96000);
  std::mt19937 random(1);
  std::normal_distribution<double> gauss(0.0, 1.0);
  for (size_t i = 0; i < linear.size(); ++i) {
    const double t = static_cast<double>(i) / 48000;
    linear[i] = std::sin(2 * kPi * (50 * t + 0.25 * 14950 * t * t));
    noise[i] = gauss(random);
    sine[i] = std::sin(2 * kPi * 1000 * t);
  }
  EXPECT_EQ(EstimateLogSweepRateConstant(linear.data(), 96000, 48000), 0.0);
  EXPECT_EQ(EstimateLogSweepRateConstant(noise.data(), 96000, 48000), 0.0);
  EXPECT_EQ(EstimateLogSweepRateConstant(sine.data(), 96000, 48000), 0.0);
  EXPECT_EQ(EstimateLogSweepRateConstant(sine.data(), 10, 48000), 0.0);
  // No sweep from bad arguments.
  EXPECT_EQ(SynchronizedLogSweepShape(0, 1000, 1, 48000).frames, 0);
  EXPECT_EQ(SynchronizedLogSweepShape(1000, 100, 1, 48000).frames, 0);
  EXPECT_EQ(SynchronizedLogSweepShape(20, 30000, 1, 48000).frames, 0);
  EXPECT_EQ(SynchronizedLogSweepShape(20, 20000, NAN, 48000).frames, 0);
  EXPECT_TRUE(SynchronizedLogSweep(LogSweepShape{}, 1.0).empty());
}

struct SweepCase {
  const char* name;
  double rate;
  std::vector<double> samples;
  double f1, f2;
};

std::vector<SweepCase> Sweeps() {
  std::vector<SweepCase> out;
  const LogSweepShape a = SynchronizedLogSweepShape(20, 20000, 4, 48000);
  out.push_back(
      {"log 20 Hz - 20 kHz, 4 s, 48 kHz", 48000, SynchronizedLogSweep(a, 0.5), 20, 20000});
  const LogSweepShape b = SynchronizedLogSweepShape(100, 10000, 1, 44100);
  out.push_back({"log 100 Hz - 10 kHz, 1 s, 44.1 kHz, faded", 44100,
                 SynchronizedLogSweep(b, 0.9, 0.005, 0.005), 100, 10000});
  // Not ours: a linear sweep, found by its spectrum alone.
  std::vector<double> lin(static_cast<size_t>(2 * 48000));
  for (size_t i = 0; i < lin.size(); ++i) {
    const double t = static_cast<double>(i) / 48000;
    lin[i] = 0.3 * std::sin(2 * kPi * (50 * t + 0.5 * (15000.0 - 50) / 2.0 * t * t));
  }
  out.push_back({"linear 50 Hz - 15 kHz, 2 s, 48 kHz", 48000, lin, 50, 15000});
  return out;
}

TEST(SweepDeconvolution, IdentityGivesAnImpulseAtTimeZeroFlatOverTheSweep) {
  double worstFlat = 0.0;
  std::string where;
  for (const SweepCase& c : Sweeps()) {
    SCOPED_TRACE(c.name);
    std::vector<double> recording = c.samples;
    // Exactly the sweep: the response holds its pre-ringing and the impulse.
    SweepDeconvolution d =
        DeconvolveSweep(recording.data(), static_cast<int64_t>(recording.size()), c.samples.data(),
                        static_cast<int64_t>(c.samples.size()), c.rate);
    ASSERT_TRUE(d.valid) << d.error;
    EXPECT_EQ(d.peak, d.zero);
    EXPECT_EQ(static_cast<int64_t>(d.response.size()), d.zero + 1);
    // Log sweeps are recognised as such, and their harmonics kept; the linear one has none.
    const bool log = std::string(c.name).starts_with("log");
    EXPECT_EQ(d.harmonics.size(), log ? 4u : 0u);
    EXPECT_EQ(d.logRateConstant > 0, log);
    // The band found holds the sweep's range, and above it at most a sixth of an octave.
    EXPECT_LE(d.lowHz, c.f1);
    EXPECT_GE(d.highHz, c.f2);
    EXPECT_LE(d.highHz, c.f2 * 1.13);
    // With a second of silence after it the response is long enough to weigh its spectrum.
    recording.resize(recording.size() + static_cast<size_t>(c.rate), 0.0);
    d = DeconvolveSweep(recording.data(), static_cast<int64_t>(recording.size()), c.samples.data(),
                        static_cast<int64_t>(c.samples.size()), c.rate);
    ASSERT_TRUE(d.valid) << d.error;
    EXPECT_EQ(d.peak, d.zero);
    // A band-limited unit impulse: its height is the band's share of the spectrum.
    EXPECT_NEAR(d.response[static_cast<size_t>(d.peak)], 2 * (d.highHz - d.lowHz) / c.rate, 0.05);
    // The range from 5 % inside either end, every 1/24 octave.
    for (double f = c.f1 * 1.05; f <= c.f2 / 1.05; f *= std::pow(2.0, 1.0 / 24)) {
      const double db = LevelDb(d.response, f, c.rate);
      if (std::fabs(db) > std::fabs(worstFlat)) {
        worstFlat = db;
        where = std::string(c.name) + " at " + std::to_string(f) + " Hz";
      }
    }
  }
  std::printf("identity: worst level in the sweep's range %+.4f dB (%s)\n", worstFlat,
              where.c_str());
  EXPECT_LE(std::fabs(worstFlat), 0.1);
}

// A room: a response with a noise floor, convolved with the sweep, deconvolved, and its T30
// against the same response's measured directly.
TEST(SweepDeconvolution, RoomThroughALogSweepKeepsItsT30) {
  const double rate = 48000;
  const LogSweepShape s = SynchronizedLogSweepShape(20, 20000, 4, rate);
  const std::vector<double> sweep = SynchronizedLogSweep(s, 0.5);
  double worst = 0.0, worstBand = 0.0;
  std::string where, whereBand;
  for (double t60 : {0.3, 0.8, 2.0})
    for (double floorDb : {50.0, 60.0, 80.0}) {
      std::mt19937 random(9);
      std::normal_distribution<double> gauss(0.0, 1.0);
      const double k = 13.815510557964274 / t60;
      std::vector<double> h(static_cast<size_t>((1.3 * floorDb / 60 * t60 + 0.3) * rate));
      const double floor = std::pow(10.0, -floorDb / 20);
      // A direct sound at 5 ms, then the decay.
      for (size_t i = 240; i < h.size(); ++i) {
        const double t = static_cast<double>(i - 240) / rate;
        h[i] = gauss(random) * std::exp(-0.5 * k * t) + floor * gauss(random);
      }
      for (size_t i = 0; i < 240; ++i)
        h[i] = floor * gauss(random);
      const std::vector<double> recording = Convolve(sweep, h);
      DeconvolutionOptions o;
      o.logRateConstant = s.rateConstant;
      const SweepDeconvolution d =
          DeconvolveSweep(recording.data(), static_cast<int64_t>(recording.size()), sweep.data(),
                          static_cast<int64_t>(sweep.size()), rate, o);
      ASSERT_TRUE(d.valid) << d.error;
      ASSERT_GE(d.response.size(), h.size() + static_cast<size_t>(d.zero));
      // Unity gain and no shift: the response is the room's band-limited to the sweep's
      // band, an orthogonal projection (its product with the room equals its own energy),
      // holding the share of white noise's energy below 20 kHz.
      double cross = 0, own = 0, ref = 0;
      for (size_t i = 240; i < 24240; ++i) {
        const double v = d.response[static_cast<size_t>(d.zero) + i];
        cross += v * h[i];
        own += v * v;
        ref += h[i] * h[i];
      }
      EXPECT_NEAR(cross / ref, own / ref, 0.01);
      EXPECT_NEAR(own / ref, 20000.0 / 24000.0, 0.05);
      const RoomAcoustics direct = AnalyseRoom(h.data(), static_cast<int64_t>(h.size()), rate);
      const RoomAcoustics measured =
          AnalyseRoom(d.response.data() + d.zero, static_cast<int64_t>(h.size()), rate);
      ASSERT_TRUE(measured.valid);
      char at[64];
      std::snprintf(at, sizeof at, "T %.1f s, floor %.0f dB", t60, floorDb);
      const double e = measured.broadband.t30.seconds / direct.broadband.t30.seconds - 1;
      if (!(std::fabs(e) <= std::fabs(worst))) {
        worst = e;
        where = at;
      }
      for (size_t b = 0; b < direct.bands.size(); ++b) {
        if (direct.bands[b].midHz < 400 || direct.bands[b].midHz > 5000) continue;
        const double eb = measured.bands[b].t30.seconds / direct.bands[b].t30.seconds - 1;
        if (!(std::fabs(eb) <= std::fabs(worstBand))) {
          worstBand = eb;
          whereBand = std::string(at) + ", " + direct.bands[b].band + " Hz";
        }
      }
    }
  std::printf(
      "room through the sweep: worst broadband T30 %+.3f %% (%s), octaves 500 Hz - "
      "4 kHz %+.3f %% (%s)\n",
      100 * worst, where.c_str(), 100 * worstBand, whereBand.c_str());
  EXPECT_LE(std::fabs(worst), 0.01);
  EXPECT_LE(std::fabs(worstBand), 0.01);
}

// y = x + a2 x^2 + a3 x^3 (+ a4 x^4 for the 4th harmonic's place) with a synchronised sweep of
// amplitude A: each harmonic's impulse where the sweep's maths puts it, H2 = a2 A / 2,
// H3 = a3 A^2 / 4, and THD at 1 kHz as a stepped sine through the same curve reads.
TEST(SweepDeconvolution, MemorylessNonLinearityGivesItsHarmonics) {
  const double rate = 48000;
  const LogSweepShape s = SynchronizedLogSweepShape(20, 20000, 4, rate);
  double worstPlace = 0, worstH2 = 0, worstH3 = 0, worstThd = 0;
  for (double a : {0.3, 0.7})
    for (double a2 : {0.03, 0.1})
      for (double a3 : {0.02, 0.08}) {
        const double a4 = 0.2;
        auto curve = [&](double x, bool fourth) {
          return x + a2 * x * x + a3 * x * x * x + (fourth ? a4 * x * x * x * x : 0.0);
        };
        const std::vector<double> sweep = SynchronizedLogSweep(s, a);
        for (int fourth = 0; fourth < 2; ++fourth) {
          std::vector<double> recording(sweep.size() + static_cast<size_t>(rate / 2), 0.0);
          for (size_t i = 0; i < sweep.size(); ++i)
            recording[i] = curve(sweep[i], fourth);
          DeconvolutionOptions o;
          // The harmonics' places from the sweep's own maths; the levels from the L found in
          // the sweep (the cuts' half-width of 53 ms does not need L to the sample).
          o.logRateConstant = fourth ? s.rateConstant : 0.0;
          const SweepDeconvolution d =
              DeconvolveSweep(recording.data(), static_cast<int64_t>(recording.size()),
                              sweep.data(), static_cast<int64_t>(sweep.size()), rate, o);
          EXPECT_NEAR(d.logRateConstant, s.rateConstant, 0.005 * s.rateConstant);
          ASSERT_TRUE(d.valid) << d.error;
          ASSERT_EQ(d.harmonics.size(), 4u);
          EXPECT_EQ(d.peak, d.zero);
          for (const HarmonicResponse& r : d.harmonics) {
            if (!fourth) continue;
            if (r.order == 5) continue;
            size_t top = 0;
            for (size_t j = 0; j < r.samples.size(); ++j)
              if (std::fabs(r.samples[j]) > std::fabs(r.samples[top])) top = j;
            const double found = static_cast<double>(r.start) + static_cast<double>(top);
            const double want = -s.rateConstant * std::log(static_cast<double>(r.order)) * rate;
            EXPECT_NEAR(found, want, 1.0) << "harmonic " << r.order;
            worstPlace = std::max(worstPlace, std::fabs(found - want));
          }
          if (fourth) continue;
          const std::vector<double> at = {100, 300, 1000, 3000, 6000};
          const HarmonicDistortionCurves c = HarmonicDistortion(d, at);
          for (size_t i = 0; i < at.size(); ++i) {
            const double h2 = c.levelDb[0][i] - 20 * std::log10(a2 * a / 2);
            const double h3 = c.levelDb[1][i] - 20 * std::log10(a3 * a * a / 4);
            EXPECT_NEAR(h2, 0.0, 0.5) << at[i] << " Hz";
            EXPECT_NEAR(h3, 0.0, 0.5) << at[i] << " Hz";
            if (std::fabs(h2) > std::fabs(worstH2) || std::isnan(h2)) worstH2 = h2;
            if (std::fabs(h3) > std::fabs(worstH3) || std::isnan(h3)) worstH3 = h3;
          }
          // Outside the band: nothing claimed.
          EXPECT_TRUE(std::isnan(HarmonicDistortion(d, {15000}).levelDb[0][0]));
          // The stepped sine: 1 kHz through the same curve, as the distortion window reads it.
          const uint32_t n = 32768;
          std::vector<double> tone(n);
          for (uint32_t i = 0; i < n; ++i)
            tone[i] = 32768.0 * curve(a * std::sin(2 * kPi * 1000 * i / rate), false);
          FFT fft(n, tone.data(), WindowBlackmanHarris);
          const DistortionResult stepped =
              MeasureDistortion(fft.Levels.data(), WindowBlackmanHarris, rate, n);
          ASSERT_TRUE(stepped.Valid);
          const double thd = HarmonicDistortion(d, {1000}).thdDb[0] - stepped.ThdDb;
          EXPECT_NEAR(thd, 0.0, 1.0);
          if (std::fabs(thd) > std::fabs(worstThd) || std::isnan(thd)) worstThd = thd;
        }
      }
  std::printf(
      "harmonics: worst place %.2f samples, H2 %+.3f dB, H3 %+.3f dB, THD at 1 kHz "
      "%+.3f dB against the stepped sine\n",
      worstPlace, worstH2, worstH3, worstThd);
}

TEST(SweepDeconvolution, RefusesWhatCannotBeDivided) {
  const LogSweepShape s = SynchronizedLogSweepShape(20, 20000, 1, 48000);
  const std::vector<double> sweep = SynchronizedLogSweep(s, 0.5);
  std::vector<double> recording(sweep.size() - 1, 0.1);
  SweepDeconvolution d = DeconvolveSweep(recording.data(), static_cast<int64_t>(recording.size()),
                                         sweep.data(), static_cast<int64_t>(sweep.size()), 48000);
  EXPECT_FALSE(d.valid);
  EXPECT_EQ(d.error, "the sweep is longer than the recording");
  EXPECT_TRUE(d.response.empty());
  recording.assign(sweep.size() * 2, 0.0);
  recording[100] = NAN;
  d = DeconvolveSweep(recording.data(), static_cast<int64_t>(recording.size()), sweep.data(),
                      static_cast<int64_t>(sweep.size()), 48000);
  EXPECT_FALSE(d.valid);
  EXPECT_NE(d.error.find("not numbers"), std::string::npos);
  recording[100] = 0;
  std::vector<double> silent(sweep.size(), 0.0);
  d = DeconvolveSweep(recording.data(), static_cast<int64_t>(recording.size()), silent.data(),
                      static_cast<int64_t>(silent.size()), 48000);
  EXPECT_EQ(d.error, "the sweep is silent");
  std::vector<double> inf = sweep;
  inf[5] = INFINITY;
  d = DeconvolveSweep(recording.data(), static_cast<int64_t>(recording.size()), inf.data(),
                      static_cast<int64_t>(inf.size()), 48000);
  EXPECT_FALSE(d.valid);
  EXPECT_FALSE(DeconvolveSweep(recording.data(), 10, sweep.data(), 8, 48000).valid);
  // A silent recording is a valid measurement of nothing.
  d = DeconvolveSweep(recording.data(), static_cast<int64_t>(recording.size()), sweep.data(),
                      static_cast<int64_t>(sweep.size()), 48000);
  EXPECT_TRUE(d.valid);
  EXPECT_FALSE(
      AnalyseRoom(d.response.data(), static_cast<int64_t>(d.response.size()), 48000).valid);
}

}  // namespace

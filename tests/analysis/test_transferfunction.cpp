// The transfer function's accuracy on systems whose response is known in closed form: the
// signals are exact periodic noise through the system (Transfersignals.h), the expected curves
// the biquads' own analytic responses. Each goal sweeps FFT lengths, windows and delays and
// prints its worst case.
#include "Transferfunction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "Delayfinder.h"
#include "Fractionalsmoothing.h"
#include "Realspectrum.h"
#include "Transfersignals.h"

namespace {

using tvtest::cplx;
using tvtest::kPi;
constexpr double kRate = 48000;

// Feeds the pair in uneven pieces, as a capture would.
void Feed(Transferfunction& t, const tvtest::SignalPair& s) {
  const int total = static_cast<int>(s.reference.size());
  int done = 0, piece = 1000;
  while (done < total) {
    const int now = std::min(piece, total - done);
    t.Push(s.measurement.data() + done, s.reference.data() + done, now);
    done += now;
    piece = piece == 1000 ? 4477 : 1000;
  }
}

double FoundDelay(const tvtest::SignalPair& s) {
  Delayfinder finder(kRate, 1.0);
  finder.Push(s.measurement.data(), s.reference.data(), static_cast<int>(s.reference.size()));
  finder.Flush();
  const DelayEstimate e = finder.Find();
  EXPECT_TRUE(e.Found);
  return e.Samples;
}

std::string WindowName(int w) {
  const char* names[] = {"Hann", "Hamming", "Blackman", "Blackman-Harris", "rectangular"};
  return names[w];
}

struct Worst {
  double value = 0;
  std::string where;
  void Take(double v, const std::string& at) {
    if (v > value) {
      value = v;
      where = at;
    }
  }
};

// The peaking equaliser with a travel delay and noise 40 dB down, the delay taken out:
// magnitude within 0.1 dB and phase within 1 degree wherever the coherence reaches 0.99. With
// the delay the finder gives instead of the true one, the magnitude holds the same and the phase
// up to 5 kHz: the finder's peak leans by the equaliser's own weighted group delay (0.0175
// samples here), which turns the phase by 2.6 degrees at 20 kHz.
TEST(Transferfunction, PeakingEqualiserWithDelayAndNoiseWithinATenthOfADbAndADegree) {
  const tvtest::Biquad eq = tvtest::PeakingEq(1000, 6, 1.0, kRate);
  Worst magnitude, phase, foundMagnitude, foundPhase, foundPhaseAll;
  for (const double delay : {0.0, 37.0, 240.3, 1000.75}) {
    tvtest::SignalPair s = tvtest::Periodic(
        1 << 20, 11, [&](double w) { return eq.Response(w); }, delay);
    tvtest::AddNoise(s.measurement, 40, 12);
    const double found = FoundDelay(s);
    EXPECT_NEAR(found, delay, 0.05);
    for (const bool typed : {true, false})
      for (const int length : {1024, 4096, 16384, 65536})
        for (const int window : {WindowHanning, WindowHamming, WindowBlackmanHarris}) {
          TransferSettings settings;
          settings.Length = length;
          settings.Window = window;
          Transferfunction t(settings, kRate);
          ASSERT_TRUE(t.SetDelay(typed ? delay : found));
          Feed(t, s);
          const TransferResult r = t.Result();
          int checked = 0, inBand = 0;
          Worst m, p;
          for (size_t k = 1; k < r.Frequency.size(); ++k) {
            const double f = r.Frequency[k];
            if (f < 20 || f > 20000) continue;
            ++inBand;
            if (!(r.Coherence[k] >= 0.99)) continue;
            ++checked;
            const cplx h = eq.Response(2 * kPi * f / kRate);
            const std::string at = std::to_string(length) + " points, " + WindowName(window) +
                                   ", delay " + std::to_string(delay) +
                                   (typed ? " typed, " : " found, ") + std::to_string(f) + " Hz";
            const double dm = std::fabs(r.MagnitudeDb[k] - 20 * std::log10(std::abs(h)));
            const double dp =
                std::fabs(tvtest::WrapDegrees(r.PhaseDeg[k] - std::arg(h) * 180 / kPi));
            m.Take(dm, at);
            (typed ? magnitude : foundMagnitude).Take(dm, at);
            if (typed || f <= 5000) p.Take(dp, at);
            (typed ? phase : foundPhase).Take(typed || f <= 5000 ? dp : 0.0, at);
            if (!typed) foundPhaseAll.Take(dp, at);
          }
          EXPECT_LE(m.value, 0.1) << m.where;
          EXPECT_LE(p.value, 1.0) << p.where;
          // Nearly every point must count, or the goal would hold over nothing.
          EXPECT_GE(checked, inBand * 95 / 100) << length << " " << WindowName(window);
        }
  }
  std::printf(
      "delay typed: worst magnitude error %.4f dB (%s); worst phase error %.4f deg (%s)\n"
      "delay found: worst magnitude error %.4f dB (%s); worst phase error to 5 kHz %.4f deg "
      "(%s), to 20 kHz %.4f deg (%s)\n",
      magnitude.value, magnitude.where.c_str(), phase.value, phase.where.c_str(),
      foundMagnitude.value, foundMagnitude.where.c_str(), foundPhase.value,
      foundPhase.where.c_str(), foundPhaseAll.value, foundPhaseAll.where.c_str());
}

// The second-order Butterworth high-pass at 100 Hz, noise-free: 0.05 dB, 0.5 degree and 2 %
// of the group delay from 50 Hz to 20 kHz. The group delay is the finite difference over the
// 1/24-octave band (three bins at the least).
TEST(Transferfunction, ButterworthHighPassMagnitudePhaseAndGroupDelay) {
  const tvtest::Biquad hp = tvtest::ButterworthHighPass(100, kRate);
  const tvtest::SignalPair s = tvtest::Periodic(
      1 << 21, 21, [&](double w) { return hp.Response(w); }, 0.0);
  Worst magnitude, phase, delay;
  for (const int length : {16384, 65536})
    for (const int window : {WindowHanning, WindowBlackmanHarris})
      for (const int smoothing : {0, 24, 48}) {
        TransferSettings settings;
        settings.Length = length;
        settings.Window = window;
        settings.Smoothing = smoothing;
        Transferfunction t(settings, kRate);
        Feed(t, s);
        const TransferResult r = t.Result();
        int checked = 0;
        Worst m, p, g;
        for (size_t k = 1; k < r.Frequency.size(); ++k) {
          const double f = r.Frequency[k];
          if (f < 50 || f > 20000) continue;
          ++checked;
          const double w = 2 * kPi * f / kRate;
          const cplx h = hp.Response(w);
          const std::string at = std::to_string(length) + " points, " + WindowName(window) +
                                 ", 1/" + std::to_string(smoothing) + ", " + std::to_string(f) +
                                 " Hz";
          const double dm = std::fabs(r.MagnitudeDb[k] - 20 * std::log10(std::abs(h)));
          const double dp = std::fabs(tvtest::WrapDegrees(r.PhaseDeg[k] - std::arg(h) * 180 / kPi));
          magnitude.Take(dm, at);
          phase.Take(dp, at);
          m.Take(dm, at);
          p.Take(dp, at);
          if (smoothing == 0) continue;
          const double expected = hp.GroupDelay(w) / kRate;
          const double dg = std::fabs(r.GroupDelay[k] - expected) / expected;
          delay.Take(dg, at);
          g.Take(dg, at + ": " + std::to_string(r.GroupDelay[k]) + " s, expected " +
                         std::to_string(expected));
        }
        EXPECT_LE(m.value, 0.05) << m.where;
        EXPECT_LE(p.value, 0.5) << p.where;
        EXPECT_LE(g.value, 0.02) << g.where;
        EXPECT_GT(checked, 1000);
      }
  std::printf(
      "worst magnitude error %.4f dB (%s); worst phase error %.4f deg (%s); worst group delay "
      "error %.3f %% (%s)\n",
      magnitude.value, magnitude.where.c_str(), phase.value, phase.where.c_str(), 100 * delay.value,
      delay.where.c_str());
}

// A pure 10 ms delay, not compensated: the group delay reads 10 ms within one sample from 100 Hz
// to 20 kHz. The slope is fitted over the smoothing band, so its scatter falls with the band's
// width in hertz: from 1/6 octave on the whole range holds; the narrow bands hold from 1 kHz.
TEST(Transferfunction, UncompensatedTenMillisecondDelayReadsAsGroupDelay) {
  const tvtest::SignalPair s = tvtest::Periodic(
      1 << 21, 31, [](double) { return 1.0; }, 480.0);
  Worst worst, narrow;
  for (const int length : {4096, 16384, 65536})
    for (const int smoothing : {1, 3, 6, 24, 48}) {
      TransferSettings settings;
      settings.Length = length;
      settings.Smoothing = smoothing;
      Transferfunction t(settings, kRate);
      Feed(t, s);
      const TransferResult r = t.Result();
      const double from = smoothing <= 6 ? 100 : 1000;
      int checked = 0;
      Worst here;
      for (size_t k = 1; k < r.Frequency.size(); ++k) {
        const double f = r.Frequency[k];
        if (f < from || f > 20000) continue;
        ++checked;
        const double error = std::fabs(r.GroupDelay[k] - 0.010) * kRate;
        const std::string at = std::to_string(length) + " points, 1/" + std::to_string(smoothing) +
                               ", " + std::to_string(f) + " Hz";
        (smoothing <= 6 ? worst : narrow).Take(error, at);
        here.Take(error, at + ": " + std::to_string(r.GroupDelay[k] * 1000) + " ms");
      }
      EXPECT_LE(here.value, 1.0) << here.where;
      EXPECT_GT(checked, 400);
    }
  std::printf(
      "worst group delay error %.4f samples from 100 Hz (%s), %.4f samples from 1 kHz at 1/24 "
      "and 1/48 (%s)\n",
      worst.value, worst.where.c_str(), narrow.value, narrow.where.c_str());
}

// Noise on the measurement only at 0, 10 and 20 dB SNR: the mean coherence over the bins within
// 0.02 of s / (1 + s), and H1 unbiased where the output's own spectrum is not.
TEST(Transferfunction, CoherenceFollowsTheSignalToNoiseRatioAndH1StaysUnbiased) {
  Worst coherence, bias;
  for (const double snr : {0.0, 10.0, 20.0})
    for (const int length : {1024, 4096})
      for (const int window : {WindowHanning, WindowBlackmanHarris})
        for (const int hop : {0, 1}) {  // 75 % overlap, none
          const int blocks = 300;
          std::mt19937 random(static_cast<unsigned>(snr * 7 + length + window));
          std::normal_distribution<double> gauss(0.0, 1000.0);
          const double noise = 1000.0 * std::pow(10.0, -snr / 20);
          std::normal_distribution<double> other(0.0, noise);
          const size_t frames = static_cast<size_t>(length) * blocks;
          std::vector<double> x(frames), y(frames);
          for (size_t i = 0; i < frames; ++i) {
            x[i] = gauss(random);
            y[i] = x[i] + other(random);
          }
          TransferSettings settings;
          settings.Length = length;
          settings.Window = window;
          settings.Hop = hop == 0 ? 0 : length;
          Transferfunction t(settings, kRate);
          t.Push(y.data(), x.data(), static_cast<int>(frames));
          const TransferResult r = t.Result();
          double sum = 0, h = 0;
          int count = 0;
          for (size_t k = 3; k + 3 < r.Frequency.size(); ++k) {
            sum += r.Coherence[k];
            h += std::pow(10.0, r.MagnitudeDb[k] / 20);
            ++count;
          }
          ASSERT_GE(count, 500);
          const double s = std::pow(10.0, snr / 10);
          const std::string at = std::to_string(snr) + " dB, " + std::to_string(length) + ", " +
                                 WindowName(window) + (hop ? ", no overlap" : ", 75 %");
          const double dc = std::fabs(sum / count - s / (1 + s));
          const double db = std::fabs(20 * std::log10(h / count));
          coherence.Take(dc, at);
          bias.Take(db, at);
          EXPECT_LE(dc, 0.02) << at << ": " << sum / count;
          EXPECT_LE(db, 0.05) << at;
        }
  std::printf("worst mean coherence error %.4f (%s); worst H1 magnitude bias %.4f dB (%s)\n",
              coherence.value, coherence.where.c_str(), bias.value, bias.where.c_str());
}

// Independent channels read a coherence of about 1/n for n blocks: every averaging.
TEST(Transferfunction, UncorrelatedChannelsReadOneOverTheBlockCount) {
  std::mt19937 random(3);
  std::normal_distribution<double> gauss(0.0, 1000.0);
  const int length = 2048;
  const auto mean = [](const TransferResult& r) {
    double sum = 0;
    int count = 0;
    for (size_t k = 3; k + 3 < r.Frequency.size(); ++k) {
      sum += r.Coherence[k];
      ++count;
    }
    return sum / count;
  };
  Worst worst;
  for (const int n : {4, 16, 64}) {
    // All since the reset, with blocks that do not overlap.
    TransferSettings all;
    all.Length = length;
    all.Hop = length;
    Transferfunction t(all, kRate);
    // The last n blocks, after many more.
    TransferSettings last = all;
    last.Averaging = TransferAveraging::Last;
    last.Blocks = n;
    Transferfunction l(last, kRate);
    std::vector<double> x(static_cast<size_t>(length)), y(x.size());
    for (int b = 0; b < 5 * n; ++b) {
      for (size_t i = 0; i < x.size(); ++i) {
        x[i] = gauss(random);
        y[i] = gauss(random);
      }
      if (b < n) t.Push(y.data(), x.data(), length);
      l.Push(y.data(), x.data(), length);
    }
    ASSERT_EQ(t.Averages(), n);
    ASSERT_EQ(l.Averages(), n);
    for (const double m : {mean(t.Result()), mean(l.Result())}) {
      const double relative = std::fabs(m * n - 1.0);
      worst.Take(relative, std::to_string(n) + " blocks");
      EXPECT_LE(relative, 0.15) << n << " blocks: " << m;
    }
  }
  // Exponential: the equivalent count is (1 + a) / (1 - a) for the decay a per block, with the
  // stated time constants.
  for (const auto averaging : {TransferAveraging::Fast, TransferAveraging::Slow}) {
    TransferSettings e;
    e.Length = length;
    e.Hop = length;
    e.Averaging = averaging;
    Transferfunction t(e, kRate);
    const double tau =
        averaging == TransferAveraging::Fast ? kTransferFastSeconds : kTransferSlowSeconds;
    const double a = std::exp(-length / (tau * kRate));
    std::vector<double> x(static_cast<size_t>(length) * 2000), y(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
      x[i] = gauss(random);
      y[i] = gauss(random);
    }
    t.Push(y.data(), x.data(), static_cast<int>(x.size()));
    const double expected = (1 - a) / (1 + a);
    const double relative = std::fabs(mean(t.Result()) / expected - 1.0);
    worst.Take(relative, averaging == TransferAveraging::Fast ? "fast" : "slow");
    EXPECT_LE(relative, 0.15) << (averaging == TransferAveraging::Fast ? "fast" : "slow");
  }
  std::printf("worst relative departure from 1/n: %.3f (%s)\n", worst.value, worst.where.c_str());
}

// The last K blocks give what a fresh average over exactly those blocks gives.
TEST(Transferfunction, LastBlocksEqualAFreshAverageOfThem) {
  const tvtest::Biquad eq = tvtest::PeakingEq(3000, -9, 2.0, kRate);
  tvtest::SignalPair s = tvtest::Periodic(
      1 << 19, 41, [&](double w) { return eq.Response(w); }, 0);
  tvtest::AddNoise(s.measurement, 20, 42);
  for (const auto combining : {TransferCombining::Complex, TransferCombining::Polar,
                               TransferCombining::CoherenceWeighted}) {
    TransferSettings settings;
    settings.Length = 4096;
    settings.Averaging = TransferAveraging::Last;
    settings.Blocks = 7;
    settings.Combining = combining;
    Transferfunction last(settings, kRate);
    Feed(last, s);
    const int taken = static_cast<int>((s.reference.size() - 4096) / 1024 + 1);
    ASSERT_EQ(last.Averages(), 7);
    TransferSettings fresh = settings;
    fresh.Averaging = TransferAveraging::All;
    Transferfunction all(fresh, kRate);
    const size_t from = static_cast<size_t>(taken - 7) * 1024;
    all.Push(s.measurement.data() + from, s.reference.data() + from,
             static_cast<int>(s.reference.size() - from));
    ASSERT_EQ(all.Averages(), 7);
    const TransferResult a = last.Result(), b = all.Result();
    for (size_t k = 1; k < a.Frequency.size(); ++k) {
      // Single-precision storage of the blocks: about 1e-6 relative.
      EXPECT_NEAR(a.MagnitudeDb[k], b.MagnitudeDb[k], 1e-4) << k;
      EXPECT_NEAR(a.PhaseDeg[k], b.PhaseDeg[k], 1e-3) << k;
      EXPECT_NEAR(a.Coherence[k], b.Coherence[k], 1e-5) << k;
    }
  }
}

// Polar and coherence-weighted averaging read the same noise-free system as the complex mean;
// under noise bursts in some blocks the coherence-weighted mean stays closer to the truth than
// the polar one.
TEST(Transferfunction, PolarAndCoherenceWeightedAveraging) {
  const tvtest::Biquad eq = tvtest::PeakingEq(1000, 6, 1.0, kRate);
  tvtest::SignalPair s = tvtest::Periodic(
      1 << 19, 51, [&](double w) { return eq.Response(w); }, 0);
  tvtest::SignalPair noisy = s;
  // Every fourth stretch of 16384 samples carries loud noise.
  std::mt19937 random(52);
  std::normal_distribution<double> gauss(0.0, 10000.0);
  for (size_t i = 0; i < noisy.measurement.size(); ++i)
    if ((i / 16384) % 4 == 1) noisy.measurement[i] += gauss(random);
  double polarError = 0, weightedError = 0;
  for (const auto combining : {TransferCombining::Polar, TransferCombining::CoherenceWeighted}) {
    for (const bool withNoise : {false, true}) {
      TransferSettings settings;
      settings.Length = 4096;
      settings.Combining = combining;
      Transferfunction t(settings, kRate);
      Feed(t, withNoise ? noisy : s);
      const TransferResult r = t.Result();
      double sum = 0;
      int count = 0;
      for (size_t k = 1; k < r.Frequency.size(); ++k) {
        const double f = r.Frequency[k];
        if (f < 50 || f > 20000) continue;
        const cplx h = eq.Response(2 * kPi * f / kRate);
        const double e = std::fabs(r.MagnitudeDb[k] - 20 * std::log10(std::abs(h)));
        if (!withNoise) {
          EXPECT_LE(e, 0.05) << f;
          EXPECT_LE(std::fabs(tvtest::WrapDegrees(r.PhaseDeg[k] - std::arg(h) * 180 / kPi)), 0.5);
        }
        sum += e;
        ++count;
      }
      if (withNoise)
        (combining == TransferCombining::Polar ? polarError : weightedError) = sum / count;
    }
  }
  EXPECT_LT(weightedError, polarError / 2)
      << "polar " << polarError << " dB, coherence-weighted " << weightedError << " dB";
  std::printf("mean error under noise bursts: polar %.3f dB, coherence-weighted %.3f dB\n",
              polarError, weightedError);
}

// A flat magnitude stays flat within 0.01 dB at every fraction, even with a phase that turns
// fast (an all-pass): the magnitude is smoothed by power, not as complex values.
TEST(Transferfunction, SmoothingKeepsAFlatResponseFlat) {
  // First-order all-pass (z^-1 - a) / (1 - a z^-1): |H| = 1, phase through 180 degrees.
  const double a = 0.6;
  const auto allpass = [a](double w) {
    const cplx z1 = std::polar(1.0, -w);
    return (z1 - a) / (1.0 - a * z1);
  };
  // And an uncompensated delay of 40 samples on top.
  const tvtest::SignalPair s = tvtest::Periodic(1 << 20, 61, allpass, 40.0);
  Worst worst;
  for (const int length : {1024, 16384, 65536})
    for (const int fraction : {0, 48, 24, 12, 6, 3, 1}) {
      TransferSettings settings;
      settings.Length = length;
      settings.Smoothing = fraction;
      Transferfunction t(settings, kRate);
      ASSERT_TRUE(t.SetDelay(40.0));
      Feed(t, s);
      const TransferResult r = t.Result();
      for (size_t k = 1; k < r.Frequency.size(); ++k) {
        const double f = r.Frequency[k];
        if (f < 20 || f > 20000) continue;
        const double e = std::fabs(r.MagnitudeDb[k]);
        worst.Take(e, std::to_string(length) + ", 1/" + std::to_string(fraction) + ", " +
                          std::to_string(f) + " Hz");
        EXPECT_LE(e, 0.01) << length << " 1/" << fraction << " " << f;
      }
    }
  std::printf("worst departure from flat: %.5f dB (%s)\n", worst.value, worst.where.c_str());
}

// The band of bin k, from its definition: k - h to k + h spanning 1/N octave, so h solves
// log2((k + h) / (k - h)) = 1/N (found here by bisection), rounded; narrowed alike on both
// sides at the ends.
int HalfBand(int k, int fraction, int bins) {
  double lo = 0, hi = k;
  for (int i = 0; i < 100; ++i) {
    const double mid = (lo + hi) / 2;
    (std::log2((k + mid) / (k - mid)) < 1.0 / fraction ? lo : hi) = mid;
  }
  return std::min({static_cast<int>(std::lround(lo)), k - 1, bins - 1 - k});
}

// A notch one bin wide is widened to exactly the bins whose band holds it, each of them by its
// share of its band: the notch is 1/N octave wide after smoothing.
TEST(Fractionalsmoothing, AOneBinNotchWidensToItsFraction) {
  for (const int bins : {513, 8193})
    for (const int fraction : {1, 3, 6, 12, 24, 48})
      for (const int notch : {7, 100, 333, 500}) {
        std::vector<double> power(static_cast<size_t>(bins), 1.0), out(power.size());
        power[static_cast<size_t>(notch)] = 0.0;
        SmoothMean(power.data(), bins, fraction, out.data());
        int first = bins, last = 0;
        for (int k = 1; k < bins; ++k) {
          const int h = HalfBand(k, fraction, bins);
          const bool holds = std::abs(k - notch) <= h;
          const double expected = holds ? 1.0 - 1.0 / (2 * h + 1) : 1.0;
          ASSERT_NEAR(out[static_cast<size_t>(k)], expected, 1e-12)
              << bins << " 1/" << fraction << " notch " << notch << " at " << k;
          if (out[static_cast<size_t>(k)] < 1.0) {
            first = std::min(first, k);
            last = std::max(last, k);
          }
        }
        // From first to last the notch spans 1/N octave, to within the rounding to whole bins.
        if (last > first && notch >= 100 && 2 * notch < bins) {
          const double octaves = std::log2(static_cast<double>(last) / first);
          EXPECT_NEAR(octaves, 1.0 / fraction, 2.5 / notch / std::log(2.0))
              << bins << " 1/" << fraction << " notch " << notch;
        }
      }
}

// A measured narrow notch, smoothed: each point is the mean of the analytic |H|^2 over its
// 1/N-octave band, computed here from the filter's response at those bins.
TEST(Transferfunction, AMeasuredNotchIsSmoothedOverItsBand) {
  const tvtest::Biquad notch = tvtest::Notch(1000, 20, kRate);
  const tvtest::SignalPair s = tvtest::Periodic(
      1 << 20, 71, [&](double w) { return notch.Response(w); }, 0.0);
  Worst worst;
  for (const int fraction : {3, 6, 24}) {
    TransferSettings settings;
    settings.Length = 65536;
    settings.Smoothing = fraction;
    Transferfunction t(settings, kRate);
    Feed(t, s);
    const TransferResult r = t.Result();
    for (size_t k = 1; k < r.Frequency.size(); ++k) {
      const double f = r.Frequency[k];
      if (f < 500 || f > 2000) continue;
      double sum = 0;
      int count = 0;
      const int h = HalfBand(static_cast<int>(k), fraction, static_cast<int>(r.Frequency.size()));
      for (size_t i = k - static_cast<size_t>(h); i <= k + static_cast<size_t>(h); ++i) {
        sum += std::norm(notch.Response(2 * kPi * r.Frequency[i] / kRate));
        ++count;
      }
      const double expected = 10 * std::log10(sum / count);
      const double e = std::fabs(r.MagnitudeDb[k] - expected);
      worst.Take(e, "1/" + std::to_string(fraction) + ", " + std::to_string(f) + " Hz");
      EXPECT_LE(e, 0.05) << "1/" << fraction << " " << f << " Hz";
    }
  }
  std::printf("worst smoothed notch error %.4f dB (%s)\n", worst.value, worst.where.c_str());
}

// Music-like source with gaps in its spectrum: where the coherence is high the magnitude holds
// 0.1 dB with the delay the finder gives (and the phase 1 degree with the delay known); well
// inside a gap, where the source put nothing, the points are blank in every array.
TEST(Transferfunction, MusicWithSpectralGapsIsBlankedWhereTheSourceIsSilent) {
  const tvtest::Biquad eq = tvtest::PeakingEq(1000, 6, 1.0, kRate);
  // Bands of energy falling with frequency, their edges faded over a tenth of an octave, and
  // silence between them.
  struct Band {
    double lo, hi;
  };
  const std::vector<Band> bands = {{60, 300}, {700, 1500}, {3500, 5000}};
  const auto source = [&](double w) {
    const double f = w * kRate / (2 * kPi);
    for (const Band& b : bands) {
      const double fade = 0.07;  // of an octave... in log2 units
      const double below = std::log2(f / b.lo), above = std::log2(b.hi / f);
      if (below < 0 || above < 0) continue;
      const double edge = std::min({below / fade, above / fade, 1.0});
      return 1000.0 / std::max(f, 100.0) * std::sin(edge * kPi / 2);
    }
    return 0.0;
  };
  const double delay = 120.0;
  // 87 s of it.
  tvtest::SignalPair s = tvtest::Periodic(
      1 << 22, 81, [&](double w) { return eq.Response(w); }, delay, 3000.0, source);
  tvtest::AddNoise(s.measurement, 40, 82);
  // The finder's peak leans by the equaliser's group delay, weighted here by a source whose
  // energy sits around the boost: 0.3 samples.
  const double found = FoundDelay(s);
  EXPECT_NEAR(found, delay, 0.5);
  Worst magnitude, phase;
  // Where the coherence is just 0.99 the scatter of |H1| is 8.7 sqrt(0.01 / (2 n)) dB for n
  // independent blocks: some hundreds keep it inside 0.1 dB. And the bins must be narrow
  // beside the fades at the bands' edges: a bin just outside a band holds the window's leakage
  // from inside, coherent, and so reads H a bin or two away.
  for (const bool typed : {false, true})
    for (const int length : {16384})
      for (const int smoothing : {0, 24}) {
        TransferSettings settings;
        settings.Length = length;
        settings.Smoothing = smoothing;
        Transferfunction t(settings, kRate);
        ASSERT_TRUE(t.SetDelay(typed ? delay : found));
        Feed(t, s);
        const TransferResult r = t.Result();
        const double perBin = kRate / length;
        int blanked = 0, gapPoints = 0, accurate = 0;
        Worst m, p;
        for (size_t k = 1; k < r.Frequency.size(); ++k) {
          const double f = r.Frequency[k];
          // Well inside a gap: a sixth of an octave and 40 bins from every band.
          bool inside = true;
          for (const Band& b : bands)
            if (f > b.lo / 1.13 - 40 * perBin && f < b.hi * 1.13 + 40 * perBin) inside = false;
          if (inside && f > 30) {
            ++gapPoints;
            const bool blank = std::isnan(r.MagnitudeDb[k]) && std::isnan(r.PhaseDeg[k]) &&
                               std::isnan(r.Coherence[k]) && std::isnan(r.GroupDelay[k]);
            blanked += blank;
            if (!blank)
              ADD_FAILURE() << length << " 1/" << smoothing << " " << f
                            << " Hz not blank: " << r.MagnitudeDb[k] << " dB";
          }
          if (!(r.Coherence[k] >= 0.99)) continue;
          ++accurate;
          const cplx h = eq.Response(2 * kPi * f / kRate);
          const std::string at = std::to_string(length) + ", 1/" + std::to_string(smoothing) +
                                 (typed ? ", typed, " : ", found, ") + std::to_string(f) + " Hz";
          const double dm = std::fabs(r.MagnitudeDb[k] - 20 * std::log10(std::abs(h)));
          const double dp = std::fabs(tvtest::WrapDegrees(r.PhaseDeg[k] - std::arg(h) * 180 / kPi));
          m.Take(dm, at);
          magnitude.Take(dm, at);
          if (typed) {
            p.Take(dp, at);
            phase.Take(dp, at);
          }
        }
        EXPECT_LE(m.value, 0.1) << m.where;
        EXPECT_LE(p.value, 1.0) << p.where;
        EXPECT_GT(gapPoints, 1000);
        EXPECT_EQ(blanked, gapPoints);
        EXPECT_GT(accurate, static_cast<int>(r.Frequency.size()) / 20);
      }
  std::printf(
      "music: found delay %.4f (true %.1f); worst magnitude error %.4f dB (%s), phase "
      "(delay typed) %.4f deg (%s)\n",
      found, delay, magnitude.value, magnitude.where.c_str(), phase.value, phase.where.c_str());
}

// The impulse response is the filter's own, starting at the delay taken out.
TEST(Transferfunction, ImpulseResponseIsTheFiltersOwn) {
  const tvtest::Biquad eq = tvtest::PeakingEq(1000, 6, 1.0, kRate);
  for (const double delay : {0.0, 300.0, -50.0}) {
    const tvtest::SignalPair s = tvtest::Periodic(
        1 << 19, 91, [&](double w) { return eq.Response(w); }, delay);
    TransferSettings settings;
    settings.Length = 16384;
    Transferfunction t(settings, kRate);
    ASSERT_TRUE(t.SetDelay(delay));
    Feed(t, s);
    const std::vector<double> ir = t.Impulse();
    ASSERT_EQ(ir.size(), 16384u);
    const std::vector<double> h = eq.Impulse(2000);
    for (int i = 0; i < 2000; ++i)
      ASSERT_NEAR(ir[static_cast<size_t>(i)], h[static_cast<size_t>(i)], 2e-3) << delay << " " << i;
    // Before the start (negative times) nothing.
    for (int i = 1; i < 2000; ++i)
      ASSERT_NEAR(ir[ir.size() - static_cast<size_t>(i)], 0.0, 2e-3) << delay << " " << -i;
  }
}

// The spectrum of a block against the DFT's closed form, and the way back.
TEST(RealSpectrum, ForwardIsTheDftAndInverseUndoesIt) {
  for (const int n : {16, 1024, 65536}) {
    RealSpectrum rect(n, WindowRectangular);
    // A unit impulse at m: X[k] = e^(-j 2 pi k m / N).
    const int m = n / 4 + 3;
    std::vector<double> x(static_cast<size_t>(n), 0.0), re(static_cast<size_t>(n / 2 + 1)),
        im(re.size()), back(x.size());
    x[static_cast<size_t>(m)] = 1.0;
    ASSERT_TRUE(rect.Forward(x.data(), re.data(), im.data()));
    for (int k = 0; k <= n / 2; ++k) {
      const cplx expected = std::polar(1.0, -2 * kPi * k * m / n);
      // The engine's twiddle recurrence is good to some 1e-8 at 65536 points.
      ASSERT_NEAR(re[static_cast<size_t>(k)], expected.real(), 1e-7) << n << " " << k;
      ASSERT_NEAR(im[static_cast<size_t>(k)], expected.imag(), 1e-7) << n << " " << k;
    }
    // Random samples there and back.
    std::mt19937 random(static_cast<unsigned>(n));
    std::normal_distribution<double> gauss(0.0, 1.0);
    for (double& v : x)
      v = gauss(random);
    ASSERT_TRUE(rect.Forward(x.data(), re.data(), im.data()));
    rect.Inverse(re.data(), im.data(), back.data());
    for (size_t i = 0; i < x.size(); ++i)
      ASSERT_NEAR(back[i], x[i], 1e-7) << n << " " << i;
    x[5] = NAN;
    EXPECT_FALSE(rect.Forward(x.data(), re.data(), im.data()));
  }
}

// A block holding a NaN or an infinity is refused and counted; the others still average.
TEST(Transferfunction, NonFiniteSamplesAreRefusedNotAveraged) {
  const tvtest::SignalPair clean = tvtest::Periodic(
      1 << 17, 5, [](double) { return 0.5; }, 0.0);
  tvtest::SignalPair s = clean;
  s.measurement[50000] = NAN;
  s.reference[90000] = INFINITY;
  TransferSettings settings;
  settings.Length = 4096;
  Transferfunction t(settings, kRate);
  Feed(t, s);
  const int blocks = static_cast<int>((s.reference.size() - 4096) / 1024 + 1);
  // Each bad sample lies in four blocks (75 % overlap).
  EXPECT_EQ(t.Refused(), 8);
  EXPECT_EQ(t.Averages(), blocks - 8);
  const TransferResult r = t.Result();
  for (size_t k = 1; k + 1 < r.Frequency.size(); ++k) {
    ASSERT_TRUE(std::isfinite(r.MagnitudeDb[k])) << k;
    ASSERT_NEAR(r.MagnitudeDb[k], 20 * std::log10(0.5), 1e-6) << k;
  }
  // Nothing pushed yet: every point blank.
  Transferfunction empty(settings, kRate);
  const TransferResult e = empty.Result();
  for (size_t k = 0; k < e.Frequency.size(); ++k)
    ASSERT_TRUE(std::isnan(e.MagnitudeDb[k]) && std::isnan(e.Coherence[k]));
  EXPECT_FALSE(empty.SetDelay(NAN));
  EXPECT_FALSE(empty.SetDelay(1e9));
  EXPECT_EQ(empty.Delay(), 0.0);
}

// Coherence blanking hides exactly the points below the chosen coherence, in every array; the
// others keep their values.
TEST(Transferfunction, CoherenceBlankingHidesOnlyThePointsBelowIt) {
  const tvtest::Biquad notch = tvtest::Notch(3000, 2, kRate);
  tvtest::SignalPair s = tvtest::Periodic(
      1 << 18, 15, [&](double w) { return notch.Response(w); }, 0);
  tvtest::AddNoise(s.measurement, 25, 16);  // the notch's depth falls into the noise
  TransferSettings settings;
  settings.Length = 4096;
  Transferfunction t(settings, kRate);
  Feed(t, s);
  const TransferResult all = t.Result();
  for (const double limit : {0.5, 0.9, 0.99}) {
    t.SetBlankBelowCoherence(limit);
    const TransferResult shown = t.Result();
    int hidden = 0, kept = 0;
    for (size_t k = 1; k < all.Frequency.size(); ++k) {
      if (all.Coherence[k] < limit) {
        EXPECT_TRUE(std::isnan(shown.MagnitudeDb[k]) && std::isnan(shown.PhaseDeg[k]) &&
                    std::isnan(shown.Coherence[k]) && std::isnan(shown.GroupDelay[k]))
            << limit << " " << k;
        ++hidden;
      } else {
        EXPECT_EQ(shown.MagnitudeDb[k], all.MagnitudeDb[k]) << limit << " " << k;
        EXPECT_EQ(shown.Coherence[k], all.Coherence[k]) << limit << " " << k;
        ++kept;
      }
    }
    EXPECT_GT(hidden, 5) << limit;
    EXPECT_GT(kept, 1000) << limit;
  }
  t.SetBlankBelowCoherence(NAN);  // no blanking on that ground
  EXPECT_EQ(t.Settings().BlankBelowCoherence, 0.0);
}

// Interleaved frames of several channels give what the two channels pushed apart give.
TEST(Transferfunction, InterleavedFramesPickTheirChannels) {
  const tvtest::Biquad eq = tvtest::PeakingEq(2000, -4, 2.0, kRate);
  tvtest::SignalPair s = tvtest::Periodic(
      1 << 17, 13, [&](double w) { return eq.Response(w); }, 0);
  tvtest::AddNoise(s.measurement, 30, 14);
  std::vector<double> frames(3 * s.reference.size());
  for (size_t i = 0; i < s.reference.size(); ++i) {
    frames[3 * i] = s.reference[i];
    frames[3 * i + 1] = 12345.0;
    frames[3 * i + 2] = s.measurement[i];
  }
  TransferSettings settings;
  settings.Length = 2048;
  Transferfunction planar(settings, kRate), interleaved(settings, kRate);
  planar.Push(s.measurement.data(), s.reference.data(), static_cast<int>(s.reference.size()));
  for (size_t at = 0; at < s.reference.size(); at += 3000)
    interleaved.PushInterleaved(frames.data() + 3 * at,
                                static_cast<int>(std::min<size_t>(3000, s.reference.size() - at)),
                                3, 2, 0);
  const TransferResult a = planar.Result(), b = interleaved.Result();
  ASSERT_EQ(planar.Averages(), interleaved.Averages());
  for (size_t k = 0; k < a.Frequency.size(); ++k) {
    if (std::isnan(a.MagnitudeDb[k])) {
      EXPECT_TRUE(std::isnan(b.MagnitudeDb[k])) << k;
      continue;
    }
    ASSERT_EQ(a.MagnitudeDb[k], b.MagnitudeDb[k]) << k;
    ASSERT_EQ(a.PhaseDeg[k], b.PhaseDeg[k]) << k;
  }
}

// A measurement that leads its reference (negative delay) is compensated the other way.
TEST(Transferfunction, NegativeAndFractionalDelaysAreTakenOut) {
  const tvtest::Biquad hp = tvtest::ButterworthHighPass(200, kRate);
  Worst worst;
  for (const double delay : {-480.0, -33.7, 0.5, 1234.25}) {
    const tvtest::SignalPair s = tvtest::Periodic(
        1 << 19, 7, [&](double w) { return hp.Response(w); }, delay);
    TransferSettings settings;
    settings.Length = 16384;
    Transferfunction t(settings, kRate);
    ASSERT_TRUE(t.SetDelay(delay));
    Feed(t, s);
    const TransferResult r = t.Result();
    for (size_t k = 1; k < r.Frequency.size(); ++k) {
      const double f = r.Frequency[k];
      if (f < 100 || f > 20000) continue;
      const cplx h = hp.Response(2 * kPi * f / kRate);
      const double dp = std::fabs(tvtest::WrapDegrees(r.PhaseDeg[k] - std::arg(h) * 180 / kPi));
      worst.Take(dp, std::to_string(delay) + ", " + std::to_string(f) + " Hz");
      EXPECT_LE(dp, 0.5) << delay << " " << f;
    }
  }
  std::printf("worst phase error after the delay %.4f deg (%s)\n", worst.value,
              worst.where.c_str());
}

}  // namespace

// Several FFT lengths merged: at least 24 points in every octave from 20 Hz, and the merged
// curve as accurate as each length alone on a known system.
#include "Multiresolutiontransfer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "Transfersignals.h"

namespace {

using tvtest::cplx;
using tvtest::kPi;

TEST(Multiresolutiontransfer, AtLeast24PointsInEveryOctaveFrom20Hz) {
  for (const double rate : {44100.0, 48000.0, 96000.0}) {
    Multiresolutiontransfer t(TransferSettings{}, rate);
    ASSERT_GE(t.Lengths().size(), 5u);
    EXPECT_EQ(t.Lengths().back(), 1024);
    EXPECT_LE(t.Lengths().front(), 262144);
    // Fed, so that every point has a value.
    const tvtest::SignalPair s = tvtest::Periodic(
        1 << 19, 1, [](double) { return 1.0; }, 0.0);
    t.Push(s.measurement.data(), s.reference.data(), static_cast<int>(s.reference.size()));
    const TransferResult r = t.Result();
    for (size_t i = 1; i < r.Frequency.size(); ++i)
      ASSERT_GT(r.Frequency[i], r.Frequency[i - 1]) << rate << " " << i;
    EXPECT_LE(r.Frequency.front(), 1.0);
    EXPECT_DOUBLE_EQ(r.Frequency.back(), rate / 2);
    int least = 1 << 30;
    double where = 0;
    for (double f = 20; 2 * f <= rate / 2; f *= std::pow(2.0, 1.0 / 12)) {
      int count = 0;
      for (const double x : r.Frequency)
        count += x >= f && x < 2 * f;
      if (count < least) least = count, where = f;
    }
    EXPECT_GE(least, 24) << rate << " Hz: " << least << " points in the octave from " << where;
    std::printf(
        "%g Hz: %zu lengths from %d, at least %d points per octave (from %.1f Hz), %zu "
        "points\n",
        rate, t.Lengths().size(), t.Lengths().front(), least, where, r.Frequency.size());
  }
}

// The high-pass and the equaliser in series, 240.3 samples late, with the delay taken out: each
// merged point within 0.05 dB and 0.5 degree from 20 Hz to 20 kHz.
TEST(Multiresolutiontransfer, MergedCurveOfAKnownSystem) {
  const double rate = 48000;
  const tvtest::Biquad hp = tvtest::ButterworthHighPass(100, rate);
  const tvtest::Biquad eq = tvtest::PeakingEq(1000, 6, 1.0, rate);
  const auto system = [&](double w) { return hp.Response(w) * eq.Response(w); };
  const tvtest::SignalPair s = tvtest::Periodic(1 << 21, 2, system, 240.3);
  double worstM = 0, worstP = 0, whereM = 0, whereP = 0;
  for (const int smoothing : {0, 24}) {
    TransferSettings base;
    base.Smoothing = smoothing;
    Multiresolutiontransfer t(base, rate);
    ASSERT_TRUE(t.SetDelay(240.3));
    for (size_t at = 0; at < s.reference.size(); at += 10000)
      t.Push(s.measurement.data() + at, s.reference.data() + at,
             static_cast<int>(std::min<size_t>(10000, s.reference.size() - at)));
    const TransferResult r = t.Result();
    int checked = 0;
    for (size_t i = 0; i < r.Frequency.size(); ++i) {
      const double f = r.Frequency[i];
      if (f < 20 || f > 20000) continue;
      ++checked;
      const cplx h = system(2 * kPi * f / rate);
      const double dm = std::fabs(r.MagnitudeDb[i] - 20 * std::log10(std::abs(h)));
      const double dp = std::fabs(tvtest::WrapDegrees(r.PhaseDeg[i] - std::arg(h) * 180 / kPi));
      if (dm > worstM) worstM = dm, whereM = f;
      if (dp > worstP) worstP = dp, whereP = f;
    }
    EXPECT_GT(checked, 24 * 9);
  }
  EXPECT_LE(worstM, 0.05) << whereM << " Hz";
  EXPECT_LE(worstP, 0.5) << whereP << " Hz";
  std::printf("merged: worst magnitude error %.4f dB at %.1f Hz, phase %.4f deg at %.1f Hz\n",
              worstM, whereM, worstP, whereP);
}

}  // namespace

// NaN and Inf samples in the stream the octave analyser's meters run on: they reach no filter,
// and the levels go on from the finite samples around them, without a restart of the meters.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "Octavemeter.h"
#include "Streamring.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kRate = 48000;

// Interleaved stereo: 1 kHz at -20 dBFS on both channels, from frame `start` on.
std::vector<double> Tone(int frames, long start) {
  std::vector<double> s(static_cast<size_t>(frames) * 2);
  for (int i = 0; i < frames; ++i) {
    const double x = 0.1 * 32768 * std::sin(2 * kPi * 1000 * (start + i) / kRate);
    s[2 * static_cast<size_t>(i)] = x;
    s[2 * static_cast<size_t>(i) + 1] = x;
  }
  return s;
}

// Waits (real time, bounded) until the meters have processed `frames` frames.
bool WaitFrames(const OctaveMeter& meter, uint64_t frames) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (meter.Reading().frames < frames) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace

TEST(OctaveMeterNonFinite, ThreeNaNSamplesLeaveTheLevelsFinite) {
  OctaveMeter meter;
  meter.SetWeighting(FrequencyWeighting::Z);
  meter.Start();
  SampleStream* stream = meter.AcquireStream(this);
  ASSERT_NE(stream, nullptr);
  long at = 0;
  const int piece = 4800;
  for (int i = 0; i < 10; ++i, at += piece)
    stream->Samples(Tone(piece, at).data(), piece, 2, kRate);
  ASSERT_TRUE(WaitFrames(meter, static_cast<uint64_t>(at)));
  const double before = meter.Reading().leq[0];
  ASSERT_NEAR(before, -20, 0.2);

  // Three NaN and an Inf in one piece.
  std::vector<double> bad = Tone(piece, at);
  bad[100] = bad[101] = bad[2001] = std::numeric_limits<double>::quiet_NaN();
  bad[3000] = std::numeric_limits<double>::infinity();
  stream->Samples(bad.data(), piece, 2, kRate);
  at += piece;
  for (int i = 0; i < 10; ++i, at += piece)
    stream->Samples(Tone(piece, at).data(), piece, 2, kRate);
  ASSERT_TRUE(WaitFrames(meter, static_cast<uint64_t>(at)));
  const OctaveMeterReading r = meter.Reading();
  for (int c = 0; c < 2; ++c) {
    EXPECT_NEAR(r.leq[c], -20, 0.2) << c;
    EXPECT_NEAR(r.level[c], -20, 0.3) << c;
    EXPECT_TRUE(std::isfinite(r.lmax[c]));
    // The sine's own peak (3 dB above its level): the Inf was no peak.
    EXPECT_NEAR(r.peak[c], -20 + 10 * std::log10(2.0), 0.1);
    ASSERT_FALSE(r.bandLevel[c].empty());
    for (double level : r.bandLevel[c])
      EXPECT_FALSE(std::isnan(level));
  }
  EXPECT_GT(r.seconds, 2.0) << "the meters went on; they did not start over";
  meter.ReleaseStream(this);
  meter.Stop();
}

// The ring itself: what a consumer reads holds no NaN or Inf, in their place 0.
TEST(OctaveMeterNonFinite, TheStreamRingHandsOnNoNonFiniteSample) {
  StreamRing ring(4096);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double in[6] = {1, nan, -std::numeric_limits<double>::infinity(), 4, 5, 6};
  ring.Samples(in, 3, 2, kRate);
  std::vector<double> out;
  ring.Read([&](const StreamRing::Piece& p) { out.assign(p.samples, p.samples + p.frames * 2); });
  EXPECT_EQ(out, (std::vector<double>{1, 0, 0, 4, 5, 6}));
}

// The block maths shared by the worker and the command line: the batch path (Accumulate,
// FormLevels) must give what the live path (Process) gives, bit for bit, and the averages and
// maximum hold must mean what they say.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

#include "Fft.h"
#include "Spectrumcore.h"

namespace {

constexpr int kN = 512;

// Blocks of noise and tones at changing levels, with a silent one among them: maxima move up
// and down, and some magnitudes lie within rounding of earlier ones.
std::vector<std::vector<double>> Blocks(int count, int channel) {
  std::mt19937 rng(1234 + channel);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<std::vector<double>> blocks;
  for (int b = 0; b < count; ++b) {
    std::vector<double> s(kN, 0.0);
    if (b != 5) {
      const double gain = 100.0 * (1 + (b * 7 % 11));
      const double f = 20.0 + (b % 4) * 37.5;
      for (int i = 0; i < kN; ++i)
        s[i] = std::round(gain * noise(rng) + 8000.0 * std::sin(2 * std::numbers::pi * f * i / kN));
    }
    // Some blocks repeat an earlier one exactly.
    if (b % 9 == 8) s = blocks[b - 3];
    blocks.push_back(s);
  }
  return blocks;
}

bool Same(std::span<const double> a, std::span<const double> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// A block's own magnitudes from a fresh engine.
std::vector<double> Magnitudes(const std::vector<double>& s, int window) {
  FFT f(kN, s.data(), window);
  return std::vector<double>(f.Levels.begin(), f.Levels.begin() + kN / 2);
}

}  // namespace

TEST(Spectrumcore, TheBatchPathGivesTheLivePathsLevelsAndMaximaBitForBit) {
  const auto left = Blocks(40, 0), right = Blocks(40, 1);
  for (int averages : {1, 3, 20}) {
    for (int window : {WindowHanning, WindowBlackmanHarris, WindowRectangular}) {
      Spectrumcore live(kN, 2, averages, true), batch(kN, 2, averages, true);
      for (int b = 0; b < 40; ++b) {
        const double* block[] = {left[b].data(), right[b].data()};
        live.Process(block, window, -3.5, 44100, kN);
        batch.Accumulate(block, window, -3.5);
      }
      batch.FormLevels(-3.5, 44100, kN);
      EXPECT_EQ(batch.Blocks(), 40);
      for (int c = 0; c < 2; ++c) {
        EXPECT_TRUE(Same(batch.Level(c), live.Level(c))) << averages << " " << window << " " << c;
        EXPECT_TRUE(Same(batch.Magnitude(c), live.Magnitude(c))) << averages << " " << c;
        EXPECT_TRUE(Same(batch.MaxLevel(c), live.MaxLevel(c))) << averages << " " << c;
      }
      EXPECT_TRUE(Same(batch.Frequency(), live.Frequency()));
    }
  }
}

TEST(Spectrumcore, AveragingEveryBlockHoldsTheMeanAndTheMaximaOfEachBlockOfItsOwn) {
  const auto blocks = Blocks(30, 0);
  Spectrumcore all(kN, 1, 0, true), own(kN, 1, 1, true), mean(kN, 1, 0, false);
  for (const auto& s : blocks) {
    const double* block[] = {s.data()};
    all.Accumulate(block, WindowBlackmanHarris, 0);
    own.Process(block, WindowBlackmanHarris, 0, 8000, kN);
    mean.Process(block, WindowBlackmanHarris, 0, 8000, kN);
  }
  all.FormLevels(0, 8000, kN);
  EXPECT_TRUE(Same(all.MaxLevel(0), own.MaxLevel(0)));
  EXPECT_TRUE(Same(all.Level(0), mean.Level(0)));
  // The mean of the blocks' own magnitudes.
  std::vector<double> sum(kN / 2, 0.0);
  for (const auto& s : blocks) {
    const auto m = Magnitudes(s, WindowBlackmanHarris);
    for (int k = 0; k < kN / 2; ++k)
      sum[k] += m[k];
  }
  for (int k = 0; k < kN / 2; ++k)
    ASSERT_DOUBLE_EQ(all.Magnitude(0)[k], sum[k] / 30) << k;
}

TEST(Spectrumcore, AMovingMeanCountsTheSlotsNotYetFilledAsZero) {
  const auto blocks = Blocks(12, 0);
  Spectrumcore core(kN, 1, 5, false);
  for (int b = 0; b < 12; ++b) {
    const double* block[] = {blocks[b].data()};
    core.Process(block, WindowHamming, 0, 8000, kN);
    // The last min(b+1, 5) blocks, over 5.
    std::vector<double> expected(kN / 2, 0.0);
    for (int j = std::max(0, b - 4); j <= b; ++j) {
      const auto m = Magnitudes(blocks[j], WindowHamming);
      for (int k = 0; k < kN / 2; ++k)
        expected[k] += m[k] / 5;
    }
    for (int k = 0; k < kN / 2; ++k)
      ASSERT_NEAR(core.Magnitude(0)[k], expected[k], 1e-12 * (1 + expected[k])) << b << " " << k;
  }
}

TEST(Spectrumcore, SilenceReadsAtTheFloorsAndFrequenciesAreKRateOverN) {
  const std::vector<double> silent(kN, 0.0);
  Spectrumcore core(kN, 1, 1, true), batch(kN, 1, 1, true);
  const double* block[] = {silent.data()};
  core.Process(block, WindowBlackmanHarris, 6.0, 48000, kN);
  batch.Accumulate(block, WindowBlackmanHarris, 6.0);
  batch.FormLevels(6.0, 48000, kN);
  for (int k = 0; k < kN / 2; ++k) {
    ASSERT_EQ(core.Level(0)[k], 20 * std::log10(Spectrumcore::MagnitudeFloor) + 6.0);
    ASSERT_EQ(core.MaxLevel(0)[k], Spectrumcore::MaxHoldFloor);
    ASSERT_EQ(batch.MaxLevel(0)[k], Spectrumcore::MaxHoldFloor);
    ASSERT_EQ(core.Frequency()[k], k * (48000.0 / kN));
  }
  EXPECT_EQ(Spectrumcore::LevelOf(-1.0, 0), Spectrumcore::LevelOf(0.0, 0));
  EXPECT_TRUE(core.Fits(kN, 1));
  EXPECT_FALSE(core.Fits(kN, 2));
  EXPECT_FALSE(core.Fits(2 * kN, 1));
  EXPECT_TRUE(core.MaxLevel(0).size() == kN / 2 &&
              Spectrumcore(kN, 1, 1, false).MaxLevel(0).empty());
}

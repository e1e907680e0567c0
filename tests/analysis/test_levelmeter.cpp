// The level meter's peak and RMS formulas over blocks whose levels are known exactly.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "Levelmeter.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

int Size(const std::vector<double>& v) {
  return static_cast<int>(v.size());
}

TEST(LevelMeter, PeakIsTheLargestMagnitudeReFullScale) {
  const std::vector<double> block = {0, 16384, -32768, 100};
  EXPECT_EQ(PeakValue(block.data(), Size(block)), 32768.0);
  EXPECT_DOUBLE_EQ(PeakLevelDb(block.data(), Size(block), 0.0), 0.0);
  // A negative half-scale peak: -6.02 dB, and the correction is added.
  const std::vector<double> half = {-16384, 8000, -100};
  EXPECT_NEAR(PeakLevelDb(half.data(), Size(half), 0.0), -6.0206, 1e-4);
  EXPECT_NEAR(PeakLevelDb(half.data(), Size(half), 1.5), -4.5206, 1e-4);
}

TEST(LevelMeter, RmsOfASquareAConstantAndASine) {
  std::vector<double> square(256), sine(256), constant(256, -16384);
  for (size_t i = 0; i < square.size(); ++i) {
    square[i] = i % 2 ? 32768 : -32768;
    sine[i] = 32768 * std::sin(2 * kPi * 8 * static_cast<double>(i) / 256);  // whole periods
  }
  EXPECT_NEAR(RmsLevelDb(square.data(), Size(square), 0.0), 0.0, 1e-12);
  EXPECT_NEAR(RmsLevelDb(constant.data(), Size(constant), 0.0), -6.0206, 1e-4);
  EXPECT_NEAR(RmsLevelDb(sine.data(), Size(sine), 0.0), -3.0103, 1e-4);
  EXPECT_NEAR(RmsLevelDb(sine.data(), Size(sine), -2.0), -5.0103, 1e-4);
  // The peak of the same sine stays at full scale.
  EXPECT_NEAR(PeakLevelDb(sine.data(), Size(sine), 0.0), 0.0, 1e-9);
  EXPECT_DOUBLE_EQ(MeanSquare(constant.data(), Size(constant), 32768.0), 0.25);
}

TEST(LevelMeter, SilenceAndEmptyBlocksAreMinusInfinity) {
  const std::vector<double> silence(64, 0.0);
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(PeakLevelDb(silence.data(), Size(silence), 3.0), -inf);
  EXPECT_EQ(RmsLevelDb(silence.data(), Size(silence), 3.0), -inf);
  EXPECT_EQ(PeakLevelDb(silence.data(), 0, 0.0), -inf);
  EXPECT_EQ(RmsLevelDb(silence.data(), 0, 0.0), -inf);
  EXPECT_EQ(MeanSquare(silence.data(), -3, 32768.0), 0.0);
}

}  // namespace

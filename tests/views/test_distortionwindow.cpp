#include <gtest/gtest.h>

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTest>
#include <cmath>
#include <vector>

#include "Dlgdistortion.h"
#include "Fft.h"
#include "Framepacing.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Tone {
  double hz;
  double amplitude;  // re full scale
};

// One channel through the engine, as the worker hands it over.
std::vector<double> Magnitudes(const std::vector<Tone>& tones, double rate, uint32_t n,
                               int window) {
  std::vector<double> samples(n);
  for (uint32_t i = 0; i < n; ++i) {
    double x = 0;
    for (const Tone& t : tones)
      x += t.amplitude * std::sin(2 * kPi * t.hz * i / rate + 0.3);
    samples[i] = std::round(x * 32768.0);
  }
  FFT fft(n, samples.data(), window);
  return std::vector<double>(fft.Levels.begin(), fft.Levels.begin() + n / 2);
}

struct Block {
  Block(std::vector<double> l, std::vector<double> r, double rate, uint32_t n, int window)
      : left(std::move(l)), right(std::move(r)), frequency(n / 2), levelL(n / 2), levelR(n / 2) {
    for (uint32_t k = 0; k < n / 2; ++k) {
      frequency[k] = k * rate / n;
      levelL[k] = 20 * std::log10(std::max(left[k], 1e-11));
      if (!right.empty()) levelR[k] = 20 * std::log10(std::max(right[k], 1e-11));
    }
    b.Bins = static_cast<int>(n / 2);
    b.FFTLength = n;
    b.SamplingRate = rate;
    b.WindowIndex = window;
    b.NumChannels = right.empty() ? 1 : 2;
    b.Frequency = frequency.data();
    b.LevelL = levelL.data();
    b.MagnitudeL = left.data();
    if (!right.empty()) {
      b.LevelR = levelR.data();
      b.MagnitudeR = right.data();
    }
    b.FramesRecorded = static_cast<int>(n);
  }
  std::vector<double> left, right, frequency, levelL, levelR;
  SpectrumBlock b;
};

double Value(const QLabel* label) {
  bool ok = false;
  const double v = QLocale().toDouble(label->text().section(' ', 0, 0), &ok);
  EXPECT_TRUE(ok) << label->text().toStdString();
  return v;
}

double Amp(double db) {
  return std::pow(10.0, db / 20.0);
}

class DistortionWindow : public ::testing::Test {
 protected:
  static constexpr double kRate = 48000;
  static constexpr uint32_t kN = 16384;
  static constexpr int kWindow = WindowBlackmanHarris;

  Block Stereo(double levelL = -6.0) {
    return Block(Magnitudes({{1000, Amp(levelL)}, {2000, Amp(levelL - 40)}}, kRate, kN, kWindow),
                 Magnitudes({{3000, Amp(-10)}, {9000, Amp(-60)}}, kRate, kN, kWindow), kRate, kN,
                 kWindow);
  }

  TFDistortion window;
};

TEST_F(DistortionWindow, StereoReadoutsShowWhatTheMeasurementReturns) {
  EXPECT_EQ(FDistortion, &window);
  EXPECT_EQ(window.windowTitle(), "Distortion");
  EXPECT_EQ(window.LFrequency[0]->text(), "---");
  Block block = Stereo();
  block.b.CorrFactor = 3.0;
  window.ShowSpectrum(block.b);
  ASSERT_TRUE(window.Results[0].Valid);
  ASSERT_TRUE(window.Results[1].Valid);

  EXPECT_NEAR(Value(window.LFrequency[0]), 1000.0, 0.01);
  EXPECT_TRUE(window.LFrequency[0]->text().endsWith(" Hz"));
  EXPECT_NEAR(Value(window.LLevel[0]), -6.0 + 3.0, 0.02);  // the correction shifts the level
  EXPECT_NEAR(Value(window.LThdDb[0]), -40.0, 0.05);
  EXPECT_NEAR(Value(window.LThdPct[0]), 1.0, 0.01);
  EXPECT_TRUE(window.LThdPct[0]->text().endsWith(" %"));
  EXPECT_NEAR(Value(window.LThdNDb[0]), -40.0, 0.05);
  EXPECT_NEAR(Value(window.LSinad[0]), 40.0, 0.05);
  EXPECT_GT(Value(window.LSnr[0]), 80.0);

  EXPECT_NEAR(Value(window.LFrequency[1]), 3000.0, 0.01);
  EXPECT_NEAR(Value(window.LLevel[1]), -10.0 + 3.0, 0.02);
  EXPECT_NEAR(Value(window.LThdDb[1]), -50.0, 0.05);  // the 3rd, 60 dB re full scale
  EXPECT_NEAR(Value(window.LThdPct[1]), 0.3162, 0.001);
  // Every read-out is the measurement's figure, rounded for display.
  EXPECT_NEAR(Value(window.LSnr[1]), window.Results[1].SnrDb, 0.005);
  EXPECT_NEAR(Value(window.LThdNDb[1]), window.Results[1].ThdNDb, 0.005);
}

TEST_F(DistortionWindow, MonoLeavesTheRightColumnEmptyAndBadBlocksChangeNothing) {
  Block block(Magnitudes({{1000, 0.5}}, kRate, kN, kWindow), {}, kRate, kN, kWindow);
  window.ShowSpectrum(block.b);
  EXPECT_TRUE(window.Results[0].Valid);
  EXPECT_FALSE(window.Results[1].Valid);
  EXPECT_EQ(window.LLevel[0]->text(), QLocale().toString(-6.02, 'f', 2) + " dB");
  EXPECT_EQ(window.LFrequency[1]->text(), "---");
  EXPECT_EQ(window.LSnr[1]->text(), "---");
  const int updates = window.Updates;

  SpectrumBlock bad = block.b;
  bad.MagnitudeL = nullptr;
  window.ShowSpectrum(bad);
  bad = block.b;
  bad.Bins = 0;
  window.ShowSpectrum(bad);
  bad = block.b;
  bad.NumChannels = 2;  // stereo without a right channel
  window.ShowSpectrum(bad);
  EXPECT_EQ(window.Updates, updates);
  EXPECT_NEAR(Value(window.LFrequency[0]), 1000.0, 0.01);

  // Just under full scale rounds to zero without a sign.
  Block full(Magnitudes({{997, 32767.0 / 32768.0}}, kRate, kN, kWindow), {}, kRate, kN, kWindow);
  window.ShowSpectrum(full.b);
  EXPECT_EQ(window.LLevel[0]->text(), QLocale().toString(0.0, 'f', 2) + " dB");

  // Silence: nothing to measure.
  std::vector<double> zeros(kN / 2, 0.0);
  Block silent(zeros, {}, kRate, kN, kWindow);
  window.ShowSpectrum(silent.b);
  EXPECT_EQ(window.LFrequency[0]->text(), "---");
}

TEST_F(DistortionWindow, ReceivesOnlyWhileShown) {
  EXPECT_FALSE(window.Receiving());
  window.show();
  EXPECT_TRUE(window.Receiving());
  window.Button1->click();
  EXPECT_FALSE(window.isVisible());
  EXPECT_FALSE(window.Receiving());
  window.show();
  EXPECT_TRUE(window.Receiving());
  window.hide();
  EXPECT_FALSE(window.Receiving());
}

TEST_F(DistortionWindow, WhileItsPaintWaitsEveryBlockIsAveragedAndTheFiguresFollowAtTheTick) {
  struct Hook {
    decltype(FramePacing::PaintDeferred) previous = FramePacing::PaintDeferred;
    ~Hook() { FramePacing::PaintDeferred = previous; }
  } hook;
  bool deferred = false;
  FramePacing::PaintDeferred = [&](const QWidget* w) { return deferred && w == &window; };
  window.CAverages->setCurrentIndex(3);  // 4 blocks
  Block early = Stereo(-6.0), late = Stereo(-12.0);
  window.ShowSpectrum(early.b);
  EXPECT_EQ(window.Updates, 1);
  EXPECT_NEAR(Value(window.LLevel[0]), -6.0, 0.02);
  // A burst within one frame: every block counts, the read-outs wait for the frame's end.
  deferred = true;
  for (int i = 0; i < 2; ++i)
    window.ShowSpectrum(early.b);
  window.ShowSpectrum(late.b);
  EXPECT_EQ(window.BlocksAveraged(), 4);
  EXPECT_EQ(window.Updates, 1);
  EXPECT_NEAR(Value(window.LLevel[0]), -6.0, 0.02);
  QEvent due(FramePacing::FrameDue());
  QCoreApplication::sendEvent(&window, &due);
  EXPECT_EQ(window.Updates, 2);
  const double mean = 10 * std::log10((3 * std::pow(10, -6 / 10.0) + std::pow(10, -12 / 10.0)) / 4);
  EXPECT_NEAR(Value(window.LLevel[0]), mean, 0.02);
  // Nothing new, nothing shown.
  QCoreApplication::sendEvent(&window, &due);
  EXPECT_EQ(window.Updates, 2);
}

TEST_F(DistortionWindow, MeasuresEachBlocksOwnMagnitudesNotTheMainAverage) {
  // The main window's "Avg" makes MagnitudeL a mean of magnitudes; the window reads the
  // block's own, so its noise figures do not depend on that setting.
  Block own = Stereo(-6.0), averaged = Stereo(-20.0);
  SpectrumBlock b = averaged.b;
  b.BlockMagnitudeL = own.b.MagnitudeL;
  b.BlockMagnitudeR = own.b.MagnitudeR;
  b.Averages = 4;
  window.ShowSpectrum(b);
  ASSERT_TRUE(window.Results[0].Valid);
  EXPECT_NEAR(window.Results[0].FundamentalDb, -6.0, 0.02);
  const DistortionResult direct =
      MeasureDistortion(own.left.data(), kWindow, kRate, static_cast<double>(kN));
  EXPECT_DOUBLE_EQ(window.Results[0].ThdNDb, direct.ThdNDb);
  EXPECT_DOUBLE_EQ(window.Results[0].SnrDb, direct.SnrDb);
}

TEST_F(DistortionWindow, AveragesThePowersOfTheLastBlocks) {
  window.CAverages->setCurrentIndex(1);  // 2 blocks
  Block a = Stereo(-6.0), b = Stereo(-12.0), c = Stereo(-20.0);
  auto feed = [&](const Block& block) { window.ShowSpectrum(block.b); };
  auto meanDb = [](double x, double y) {
    return 10 * std::log10((std::pow(10, x / 10) + std::pow(10, y / 10)) / 2);
  };
  feed(a);
  EXPECT_NEAR(window.Results[0].FundamentalDb, -6.0, 0.02);  // one block so far: itself
  feed(b);
  EXPECT_NEAR(window.Results[0].FundamentalDb, meanDb(-6, -12), 0.02);
  EXPECT_NEAR(window.Results[0].ThdDb, -40, 0.05);  // the ratio holds in the mean
  feed(c);
  EXPECT_NEAR(window.Results[0].FundamentalDb, meanDb(-12, -20), 0.02);

  // Another block length starts the average again.
  Block other(Magnitudes({{1500, Amp(-3)}}, kRate, 4096, kWindow), {}, kRate, 4096, kWindow);
  feed(other);
  EXPECT_NEAR(window.Results[0].FundamentalDb, -3.0, 0.02);
  EXPECT_NEAR(window.Results[0].FundamentalHz, 1500.0, 0.05);
  EXPECT_FALSE(window.Results[1].Valid);

  // So does a new count.
  feed(a);
  window.CAverages->setCurrentIndex(0);
  feed(c);
  EXPECT_NEAR(window.Results[0].FundamentalDb, -20.0, 0.02);
}

}  // namespace

// Live 60 Hz hum at the defaults lies inside DC's main lobe: the window reads it. At 256
// points it cannot be told from DC: the note says so instead of a noise bin's figures, and it
// goes again with a resolved tone.
TEST_F(DistortionWindow, LowHumIsReadAndOneBelowTheResolutionIsSaid) {
  const double rate = 48000;
  Block hum(Magnitudes({{60, 0.5}}, rate, 2048, kWindow), {}, rate, 2048, kWindow);
  window.ShowSpectrum(hum.b);
  ASSERT_TRUE(window.Results[0].Valid);
  EXPECT_NEAR(Value(window.LFrequency[0]), 60.0, 0.02 * rate / 2048);
  EXPECT_NEAR(Value(window.LLevel[0]), -6.02, 0.05);
  EXPECT_LT(Value(window.LThdNDb[0]), -80.0);
  EXPECT_EQ(window.LNote->text(), "");

  Block low(Magnitudes({{60, 0.5}}, rate, 256, kWindow), {}, rate, 256, kWindow);
  window.ShowSpectrum(low.b);
  QCoreApplication::processEvents();
  EXPECT_FALSE(window.Results[0].Valid);
  EXPECT_TRUE(window.Results[0].BelowResolution);
  EXPECT_EQ(window.LFrequency[0]->text(), "---");
  EXPECT_EQ(window.LThdNDb[0]->text(), "---");
  EXPECT_EQ(window.LNote->text(), "L: fundamental below the resolution: use a longer FFT");
  EXPECT_TRUE(window.LNote->geometry().bottom() < window.height());
  EXPECT_FALSE(window.LNote->geometry().intersects(window.Button1->geometry()));

  window.ShowSpectrum(hum.b);
  QCoreApplication::processEvents();
  EXPECT_TRUE(window.Results[0].Valid);
  EXPECT_EQ(window.LNote->text(), "");
}

// The real windows and worker, fed by an ALSA test configuration that replays a 1 kHz tone.
#include <alsa/asoundlib.h>
#include <sys/stat.h>

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <numbers>

#include "Dlgdistortion.h"
#include "MainwindowFixture.h"
#include "Referencetraces.h"

namespace {

constexpr double kAmplitude = 16384.0;

// Points the ALSA "default" capture device at a file of 16-bit mono samples: every open reads
// it from its start. A FIFO without a writer instead makes the device hang in its open, the
// way a stalled sound server does.
class TestDevice {
 public:
  TestDevice() {
    const QString raw = dir_.filePath("tone.raw");
    QFile tone(raw);
    EXPECT_TRUE(tone.open(QIODevice::WriteOnly));
    QByteArray samples;
    for (int i = 0; i < 8000 * 10; ++i) {
      const auto v = static_cast<int16_t>(
          std::lround(kAmplitude * std::sin(2 * std::numbers::pi * 1000.0 * i / 8000.0)));
      samples.append(reinterpret_cast<const char*>(&v), 2);
    }
    tone.write(samples);
    tone.close();
    Use(raw);
  }
  ~TestDevice() {
    qunsetenv("ALSA_CONFIG_PATH");
    snd_config_update_free_global();
  }
  // Replaces the file with a FIFO that nobody writes.
  void Stall() {
    const QString fifo = dir_.filePath("stalled");
    EXPECT_EQ(mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    Use(fifo);
  }

 private:
  void Use(const QString& infile) {
    const QString conf = dir_.filePath("asound.conf");
    QFile config(conf);
    EXPECT_TRUE(config.open(QIODevice::WriteOnly | QIODevice::Truncate));
    config.write(QString("pcm.!default {\n  type file\n  slave { pcm { type null } }\n"
                         "  file \"/dev/null\"\n  infile \"%1\"\n  format \"raw\"\n}\n")
                     .arg(infile)
                     .toUtf8());
    config.close();
    qputenv("ALSA_CONFIG_PATH", conf.toUtf8());
    // alsa-lib keeps the parsed configuration; the next open must read this one.
    snd_config_update_free_global();
  }
  QTemporaryDir dir_;
};

// Mean over root-mean-square of the 4-term Blackman-Harris window: what an on-bin sine loses.
double BlackmanHarrisGain(int n) {
  double sum = 0, squares = 0;
  for (int i = 0; i < n; ++i) {
    const double x = 2 * std::numbers::pi * i / n;
    const double w =
        0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(2 * x) - 0.01168 * std::cos(3 * x);
    sum += w;
    squares += w * w;
  }
  return (sum / n) / std::sqrt(squares / n);
}

}  // namespace

class EndToEnd : public MainwindowTest {
 protected:
  void SetUp() override {
    device_ = std::make_unique<TestDevice>();
    MainwindowTest::SetUp();
  }
  std::unique_ptr<TestDevice> device_;
};

TEST_F(EndToEnd, StartShowsTheToneAndStopLeavesTheTraces) {
  w->show();
  w->CSamplingRate->setCurrentIndex(0);  // 8000 Hz: 1 kHz is bin 256 of 2048
  emit w->CSamplingRate->activated(0);
  emit w->BStart->clicked();
  ASSERT_TRUE(QTest::qWaitFor([&] { return w->Series1->PointCount() == 1024; }, 10000));

  const auto& y = w->Series1->YValues();
  const auto peak = std::max_element(y.begin(), y.end()) - y.begin();
  EXPECT_EQ(peak, 256);
  EXPECT_DOUBLE_EQ(w->Series1->XValues()[256], 1000.0);
  const double expected = 20 * std::log10(kAmplitude / 32768.0 * BlackmanHarrisGain(2048));
  EXPECT_NEAR(y[static_cast<size_t>(peak)], expected, 0.2);
  for (QRgb c : w->Series1->Colours())
    ASSERT_EQ(c, clBlue);
  EXPECT_EQ(w->Series2->PointCount(), 0);

  emit w->BStop->clicked();
  ASSERT_TRUE(QTest::qWaitFor([&] { return w->CalcThread == nullptr; }, 10000));
  QTest::qWait(100);
  EXPECT_EQ(w->Series1->PointCount(), 1024);
}

// The worker's hand-over feeds the distortion window and the difference trace registered at
// start-up, while they listen.
TEST_F(EndToEnd, TheMeasurementsFollowTheBlocksOfARun) {
  w->show();
  w->CSamplingRate->setCurrentIndex(0);  // 8000 Hz
  emit w->CSamplingRate->activated(0);
  ASSERT_NE(FDistortion, nullptr);
  ASSERT_NE(ReferenceTraces, nullptr);
  // A flat reference at -100 dB, and its difference shown.
  w->Series1->ClearPoints();
  for (int k = 0; k < 1024; ++k)
    w->Series1->AddPoint(k * 8000.0 / 2048, -100.0, clBlue);
  ReferenceTraces->AStore->trigger();
  ReferenceTraces->AShowDifference->trigger();
  ASSERT_TRUE(ReferenceTraces->Receiving());
  FDistortion->show();

  emit w->BStart->clicked();
  // The test device replays its tone into the first block only (its later blocks read silence).
  const auto toneShown = [&] {
    const auto& y = w->Series1->YValues();
    return y.size() == 1024 && y[256] > -30;
  };
  ASSERT_TRUE(QTest::qWaitFor(toneShown, 10000));
  // No event is handled from here on: the block handed over last stays on the chart.
  EXPECT_NEAR(ReferenceTraces->DiffL->YValues()[256], w->Series1->YValues()[256] + 100.0, 1e-9);
  EXPECT_EQ(ReferenceTraces->DiffL->PointCount(), 1024);
  ASSERT_TRUE(FDistortion->Results[0].Valid);
  EXPECT_NEAR(FDistortion->Results[0].FundamentalHz, 1000.0, 0.01);
  EXPECT_NEAR(FDistortion->Results[0].FundamentalDb, 20 * std::log10(kAmplitude / 32768.0), 0.05);
  // "Peak": 1000 Hz exactly on bin 256.
  QAction* peak = nullptr;
  for (QAction* a : w->Chart1->ChartMenu()->actions())
    if (a->text() == "Peak") peak = a;
  ASSERT_NE(peak, nullptr);
  peak->trigger();
  EXPECT_TRUE(w->Mark1Peak);
  EXPECT_NEAR(w->Mark1Frequ, 1000.0, 0.01 * 8000.0 / 2048);
  EXPECT_EQ(w->Mark1Bin, 256);

  emit w->BStop->clicked();
  ASSERT_TRUE(QTest::qWaitFor([&] { return w->CalcThread == nullptr; }, 10000));
}

TEST_F(EndToEnd, QuitDuringAFourSecondBlockEndsPromptly) {
  device_->Stall();
  w->show();
  w->CSamplingRate->setCurrentIndex(0);
  emit w->CSamplingRate->activated(0);
  w->CFFTLength->setCurrentIndex(7);  // 32768 samples at 8000 Hz: 4.1 s
  emit w->BStart->clicked();
  QTest::qWait(500);
  ASSERT_NE(w->CalcThread, nullptr);
  QElapsedTimer clock;
  clock.start();
  w->close();
  windows.reset();
  const qint64 ms = clock.elapsed();
  std::printf("quit during a 4-second block took %lld ms\n", static_cast<long long>(ms));
  // The target is 0.5 s; the bound here only catches a hang on a loaded machine.
  EXPECT_LT(ms, 3000);
}

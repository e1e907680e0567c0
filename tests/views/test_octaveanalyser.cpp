// The octave analyser window fed by the worker through the real stream from a real ALSA
// device (the paced loop, running faster than a sound card).
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>

#include "AlsaTestDevice.h"
#include "Application.h"
#include "Calcspectrumthread.h"
#include "Chart.h"
#include "Dlgoctaveanalyser.h"
#include "Mainwindowtonvista.h"
#include "Spectrumcore.h"

namespace {

using Clock = std::chrono::steady_clock;

bool PumpUntil(const std::function<bool()>& done, double seconds = 20) {
  const auto until = Clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (Clock::now() > until) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

int Highest(const std::vector<double>& levels) {
  int best = 0;
  for (int b = 1; b < static_cast<int>(levels.size()); ++b)
    if (levels[b] > levels[best]) best = b;
  return best;
}

// Left: 1 kHz, right: 100 Hz, both at -20 dBFS (whole periods in the one-second loop).
constexpr double kToneDb = -20;
constexpr double kA100Hz = -19.1;  // A weighting at 100 Hz (IEC 61672-1)

class OctaveWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    const double amplitude = kFullScale * std::pow(10.0, kToneDb / 20);
    tvtest::WriteRawFile(dir.File("tone.raw"),
                         tvtest::MakeTone(48000, 2, 48000, {1000.0, 100.0}, {amplitude}));
    tvtest::UseAlsaConfig(dir.Path(), "pcm.!default { type pacedloop; loop \"" +
                                          dir.File("tone.raw") + "\"; channels 2; speed " +
                                          std::to_string(tvtest::PacedSpeed(4)) + " }\n");
    MessageBoxHook = [this](QWidget*, const QString& text) { messages << text; };
  }
  void TearDown() override {
    Stop();
    MessageBoxHook = nullptr;
  }
  void Start() {
    Settings settings;
    settings.FFTLength = 4096;
    settings.SamplingRate = 48000;
    settings.WindowIndex = WindowHanning;
    settings.NumChannels = 2;
    worker = new TCalcSpectrumThread(settings, {}, &window.Meter());
    worker->OnTerminate = [this](TCalcSpectrumThread*) { ended = true; };
  }
  void Stop() {
    if (!worker) return;
    worker->Terminate();
    EXPECT_TRUE(PumpUntil([this] { return ended; }));
    worker = nullptr;
  }
  // Polls the window until `done` holds for what it shows.
  bool ShowsWithin(const std::function<bool(const OctaveMeterReading&)>& done, double s = 20) {
    return PumpUntil(
        [&] {
          window.Poll();
          return done(window.Shown());
        },
        s);
  }
  static bool Settled(const OctaveMeterReading& r, double seconds = 3) {
    return r.valid && r.channels == 2 && r.seconds >= seconds;
  }

  tvtest::TempDir dir;
  TFOctaveAnalyser window;
  TCalcSpectrumThread* worker = nullptr;
  bool ended = false;
  QStringList messages;
};

}  // namespace

TEST_F(OctaveWindow, TheTonesBandIsHighestAtItsLevelAndSwitchingRedesigns) {
  window.show();
  Start();
  ASSERT_TRUE(ShowsWithin([](const OctaveMeterReading& r) { return Settled(r); }));
  const OctaveMeterReading& r = window.Shown();
  // The defaults: 1/3 octave, A, F.
  EXPECT_EQ(r.bandsPerOctave, 3);
  EXPECT_EQ(r.weighting, FrequencyWeighting::A);
  ASSERT_EQ(r.bands.size(), FractionalBands(3, 48000).size());
  const int left = Highest(r.bandLevel[0]);
  EXPECT_EQ(r.bands[left].label, "1000");
  EXPECT_NEAR(r.bandLevel[0][left], kToneDb, 0.3);
  const int right = Highest(r.bandLevel[1]);
  EXPECT_EQ(r.bands[right].label, "100");
  EXPECT_NEAR(r.bandLevel[1][right], kToneDb + kA100Hz, 0.5);
  // The next band down is far below: the filters, not bin sums.
  EXPECT_LT(r.bandLevel[0][left - 3], kToneDb - 40);
  EXPECT_NEAR(r.level[0], kToneDb, 0.2);
  EXPECT_NEAR(r.level[1], kToneDb + kA100Hz, 0.5);
  EXPECT_EQ(r.gaps, 0);
  EXPECT_TRUE(window.LHighest->text().startsWith("1000 Hz"))
      << window.LHighest->text().toStdString();
  EXPECT_EQ(window.LLevel[0]->text(), QString::number(r.level[0], 'f', 1));
  EXPECT_EQ(window.LLevelCaption[0]->text(), "LAF L");
  EXPECT_EQ(window.LUnit->text(), "dBFS");

  // Z: the 100 Hz tone reads at its own level.
  window.CWeighting->setCurrentIndex(2);
  ASSERT_TRUE(ShowsWithin([](const OctaveMeterReading& s) {
    return s.weighting == FrequencyWeighting::Z && Settled(s, 2);
  }));
  EXPECT_NEAR(window.Shown().level[1], kToneDb, 0.2);
  EXPECT_NEAR(window.Shown().bandLevel[1][right], kToneDb, 0.3);
  EXPECT_EQ(window.LLevelCaption[1]->text(), "LZF R");

  // Whole octaves, then 1/24: each designed afresh for the rate.
  window.CBandwidth->setCurrentIndex(0);
  ASSERT_TRUE(ShowsWithin(
      [](const OctaveMeterReading& s) { return s.bandsPerOctave == 1 && Settled(s, 2); }));
  ASSERT_EQ(window.Shown().bands.size(), FractionalBands(1, 48000).size());
  const int octave = Highest(window.Shown().bandLevel[0]);
  EXPECT_EQ(window.Shown().bands[octave].label, "1000");
  EXPECT_NEAR(window.Shown().bandLevel[0][octave], kToneDb, 0.3);

  window.CBandwidth->setCurrentIndex(4);
  ASSERT_TRUE(ShowsWithin(
      [](const OctaveMeterReading& s) { return s.bandsPerOctave == 24 && Settled(s, 2); }));
  const OctaveMeterReading& fine = window.Shown();
  ASSERT_EQ(fine.bands.size(), FractionalBands(24, 48000).size());
  // With an even number of bands per octave 1 kHz is a band edge: the tone reads in the two
  // bands either side of it, each within the edge's attenuation of 1 to 5.5 dB.
  const int narrow = Highest(fine.bandLevel[0]);
  const int other = fine.bands[narrow].upper <= 1000.5 ? narrow + 1 : narrow - 1;
  EXPECT_NEAR(std::min(fine.bands[narrow].upper, fine.bands[other].upper), 1000.0, 0.5);
  EXPECT_NEAR(std::max(fine.bands[narrow].lower, fine.bands[other].lower), 1000.0, 0.5);
  for (int b : {narrow, other}) {
    EXPECT_LE(fine.bandLevel[0][b], kToneDb - 1) << fine.bands[b].label;
    EXPECT_GE(fine.bandLevel[0][b], kToneDb - 5.5) << fine.bands[b].label;
  }

  // Slow, then a reset: Leq and the extremes start again. The meters may run behind the paced
  // device and take seconds of it in one turn (sanitizer builds), so a reset is judged against
  // the frames they processed since: without it, Leq would cover those plus the time before.
  const double before = window.Shown().seconds;
  const uint64_t framesBefore = window.Shown().frames;
  window.CTimeWeighting->setCurrentIndex(1);
  window.BReset->click();
  ASSERT_TRUE(ShowsWithin([before, framesBefore](const OctaveMeterReading& s) {
    const double since = static_cast<double>(s.frames - framesBefore) / 48000;
    return s.timeWeighting == TimeWeighting::Slow && s.seconds > 0 &&
           s.seconds < since + before / 2;
  }));
  EXPECT_EQ(window.LLmaxCaption->text(), "LZSmax");
}

TEST_F(OctaveWindow, CalibratingWithAKnownToneGivesTheOffset) {
  QString why;
  // Nothing measured yet: refused, nothing changes.
  EXPECT_FALSE(window.CalibrateWith(94, &why));
  EXPECT_FALSE(why.isEmpty());
  EXPECT_FALSE(window.Calibrated());
  window.show();
  Start();
  ASSERT_TRUE(ShowsWithin([](const OctaveMeterReading& r) { return Settled(r, 4); }));
  ASSERT_TRUE(window.CalibrateWith(94, &why)) << why.toStdString();
  EXPECT_NEAR(window.OffsetDb(), 94 - kToneDb, 0.1);
  ASSERT_TRUE(ShowsWithin([](const OctaveMeterReading& r) { return r.calibrated; }));
  EXPECT_NEAR(window.Shown().level[0], 94, 0.2);
  EXPECT_NEAR(window.Shown().bandLevel[0][Highest(window.Shown().bandLevel[0])], 94, 0.3);
  EXPECT_EQ(window.LUnit->text(), "dB SPL");
  EXPECT_TRUE(window.LOffset->text().startsWith("+114.")) << window.LOffset->text().toStdString();

  // Through the button, with the dialog answered: 114 dB; the old offset does not count.
  auto ask = TFOctaveAnalyser::AskCalibratorLevel;
  TFOctaveAnalyser::AskCalibratorLevel = [](QWidget*) { return std::optional<double>(114); };
  window.BCalibrate->click();
  TFOctaveAnalyser::AskCalibratorLevel = ask;
  EXPECT_NEAR(window.OffsetDb(), 114 - kToneDb, 0.1);
  EXPECT_TRUE(messages.isEmpty());
}

TEST_F(OctaveWindow, ABadCalibrationFileIsRefusedWithItsLineAndAGoodOneCorrectsTheBands) {
  std::ofstream(dir.File("bad.txt")) << "\"Sens Factor =-1.5dB\n20 0.5\n1000 abc\n";
  QString why;
  EXPECT_FALSE(window.LoadMicrophone(QString::fromStdString(dir.File("bad.txt")), &why));
  EXPECT_TRUE(why.contains("line 3")) << why.toStdString();
  auto ask = TFOctaveAnalyser::AskCalibrationFile;
  TFOctaveAnalyser::AskCalibrationFile = [this](QWidget*) {
    return QString::fromStdString(dir.File("bad.txt"));
  };
  window.BMicrophone->click();
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages[0].contains("line 3")) << messages[0].toStdString();
  EXPECT_EQ(window.LMicrophone->text(), "none");

  window.show();
  Start();
  ASSERT_TRUE(ShowsWithin([](const OctaveMeterReading& r) { return Settled(r); }));
  EXPECT_FALSE(window.Shown().microphoneCorrected);
  const int band = Highest(window.Shown().bandLevel[0]);
  EXPECT_NEAR(window.Shown().bandLevel[0][band], kToneDb, 0.3);

  // A microphone 3 dB hot at 1 kHz: its band reads 3 dB lower, the broadband level does not.
  std::ofstream(dir.File("mic.txt")) << "* a microphone\n20 0\n500 0\n1000 3.0\n2000 0\n20000 0\n";
  TFOctaveAnalyser::AskCalibrationFile = [this](QWidget*) {
    return QString::fromStdString(dir.File("mic.txt"));
  };
  window.BMicrophone->click();
  TFOctaveAnalyser::AskCalibrationFile = ask;
  EXPECT_EQ(messages.size(), 1);
  EXPECT_EQ(window.LMicrophone->text(), "mic.txt");
  ASSERT_TRUE(ShowsWithin([](const OctaveMeterReading& r) { return r.microphoneCorrected; }));
  EXPECT_NEAR(window.Shown().bandLevel[0][band], kToneDb - 3, 0.3);
  EXPECT_NEAR(window.Shown().level[0], kToneDb, 0.2);
}

// The whole program recording a 1 kHz tone from the paced ALSA device as its default input.
class OctaveProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    tvtest::WriteRawFile(dir.File("tone.raw"),
                         tvtest::MakeTone(44100, 1, 44100, {1000.0}, {3277.0}));
    tvtest::UseAlsaConfig(dir.Path(), "pcm.!default { type pacedloop; loop \"" +
                                          dir.File("tone.raw") + "\"; channels 1 }\n");
    MessageBoxHook = [](QWidget*, const QString&) {};
    probe = TMainwindow::OutputDeviceProbe;
    TMainwindow::OutputDeviceProbe = [] { return true; };
  }
  void TearDown() override {
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    TMainwindow::OutputDeviceProbe = probe;
    MessageBoxHook = nullptr;
  }
  tvtest::TempDir dir;
  decltype(TMainwindow::OutputDeviceProbe) probe;
};

// The whole program: at the defaults the worker attaches no stream; the window opened from the
// chart's menu gets one, closed it stops.
TEST_F(OctaveProgram, OnlyTheOpenWindowGetsTheStream) {
  {
    TonvistaWindows windows;
    TMainwindow* w = Mainwindow;
    ASSERT_NE(w, nullptr);
    ASSERT_NE(FOctaveAnalyser, nullptr);
    EXPECT_EQ(w->StreamMeter, &FOctaveAnalyser->Meter());
    w->BStartClick();
    ASSERT_NE(w->CalcThread, nullptr);
    TCalcSpectrumThread* t = w->CalcThread;
    ASSERT_TRUE(PumpUntil([&] { return t->BlocksShown() >= 20; }));
    EXPECT_EQ(FOctaveAnalyser->Meter().StreamsHanded(), 0);
    EXPECT_EQ(FOctaveAnalyser->Meter().Ring().FramesFed(), 0u);
    EXPECT_FALSE(FOctaveAnalyser->isVisible());

    QAction* entry = nullptr;
    for (QAction* a : w->Chart1->ChartMenu()->actions())
      if (a->text() == "Octave analyser...") entry = a;
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->shortcut(), QKeySequence("Ctrl+Shift+O"));
    entry->trigger();
    EXPECT_TRUE(FOctaveAnalyser->isVisible());
    ASSERT_TRUE(PumpUntil([&] {
      FOctaveAnalyser->Poll();
      return FOctaveAnalyser->Shown().valid && FOctaveAnalyser->Shown().seconds > 1;
    }));
    EXPECT_EQ(FOctaveAnalyser->Meter().StreamsHanded(), 1);
    EXPECT_EQ(FOctaveAnalyser->Shown().rate, 44100);

    FOctaveAnalyser->hide();
    const int blocks = t->BlocksShown();
    ASSERT_TRUE(PumpUntil([&] { return t->BlocksShown() >= blocks + 3; }));
    const uint64_t fed = FOctaveAnalyser->Meter().Ring().FramesFed();
    ASSERT_TRUE(PumpUntil([&] { return t->BlocksShown() >= blocks + 10; }));
    EXPECT_EQ(FOctaveAnalyser->Meter().Ring().FramesFed(), fed);
    w->BStopClick();
    w->ShutdownAnalyser();
  }
}

// The microphone's correction reaches the main chart's trace only while asked for, and leaves
// it exactly as before when taken back.
TEST_F(OctaveProgram, TheMicrophoneCorrectsTheSpectrumTraceOnlyWhenAsked) {
  std::ofstream(dir.File("mic.txt")) << "20 0\n500 0\n1000 3.0\n2000 0\n20000 0\n";
  {
    TonvistaWindows windows;
    TMainwindow* w = Mainwindow;
    ASSERT_NE(w, nullptr);
    ASSERT_NE(FOctaveAnalyser, nullptr);
    // The level the trace shows nearest 1 kHz, after a few more blocks.
    auto levelAt1k = [&] {
      TCalcSpectrumThread* t = w->CalcThread;
      const int blocks = t->BlocksShown();
      EXPECT_TRUE(PumpUntil([&] { return t->BlocksShown() >= blocks + 3; }));
      const auto& x = w->Series1->XValues();
      const auto& y = w->Series1->YValues();
      size_t best = 0;
      for (size_t i = 0; i < x.size(); ++i)
        if (std::abs(x[i] - 1000) < std::abs(x[best] - 1000)) best = i;
      return y.empty() ? -1000.0 : y[best];
    };
    w->BStartClick();
    ASSERT_NE(w->CalcThread, nullptr);
    const double plain = levelAt1k();
    EXPECT_FALSE(FOctaveAnalyser->CCorrectTrace->isEnabled());
    ASSERT_TRUE(FOctaveAnalyser->LoadMicrophone(QString::fromStdString(dir.File("mic.txt"))));
    // Loaded, but not asked for: the trace is unchanged.
    EXPECT_TRUE(FOctaveAnalyser->CCorrectTrace->isEnabled());
    EXPECT_NEAR(levelAt1k(), plain, 0.01);
    FOctaveAnalyser->CCorrectTrace->setChecked(true);
    EXPECT_NEAR(levelAt1k(), plain - 3.0, 0.05);
    FOctaveAnalyser->CCorrectTrace->setChecked(false);
    EXPECT_NEAR(levelAt1k(), plain, 0.01);
    EXPECT_FALSE(w->TraceCorrection);
    w->BStopClick();
    w->ShutdownAnalyser();
  }
}

// The transfer function window fed through its meter's stream with two channels of a known
// system (periodic noise through a gain and a delay, or a biquad, made without the code under
// test), its stored traces and FRD export read back, its controls, and its place in the program
// reached through the real worker from a paced ALSA device.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "AlsaTestDevice.h"
#include "Application.h"
#include "Calcspectrumthread.h"
#include "Chart.h"
#include "Dlgoctaveanalyser.h"
#include "Dlgtransfer.h"
#include "Mainwindowtonvista.h"
#include "Transfersignals.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 48000;
constexpr size_t kPeriod = 16384;

bool PumpUntil(const std::function<bool()>& done, double seconds = 30) {
  const auto until = Clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (Clock::now() > until) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

// `periods` repetitions of the pair, interleaved with the reference on `referenceChannel`, fed
// in pieces as a capture would.
void Feed(TransferMeter& meter, const tvtest::SignalPair& pair, int periods, int referenceChannel,
          int channels = 2) {
  // The settings and resets asked before are in force before the first sample.
  ASSERT_TRUE(meter.Flush());
  SampleStream* stream = meter.AcquireStream(&meter);
  ASSERT_NE(stream, nullptr);
  const size_t n = pair.reference.size();
  std::vector<double> frames;
  constexpr size_t kPiece = 4096;
  for (int p = 0; p < periods; ++p)
    for (size_t at = 0; at < n; at += kPiece) {
      const size_t count = std::min(kPiece, n - at);
      frames.resize(count * static_cast<size_t>(channels));
      for (size_t i = 0; i < count; ++i) {
        if (channels == 1) {
          frames[i] = pair.reference[at + i];
          continue;
        }
        frames[2 * i + static_cast<size_t>(referenceChannel)] = pair.reference[at + i];
        frames[2 * i + static_cast<size_t>(1 - referenceChannel)] = pair.measurement[at + i];
      }
      stream->Samples(frames.data(), static_cast<int>(count), channels, kRate);
    }
  meter.ReleaseStream(&meter);
  ASSERT_TRUE(meter.Flush());
}

// The window's shown arrays, checked bin by bin over 50 Hz .. 16 kHz against the closed form.
struct Worst {
  double magnitudeDb = 0, phaseDeg = 0, coherence = 1;
  int points = 0;
};
Worst Compare(const TransferResult& r, const std::function<tvtest::cplx(double)>& expected) {
  Worst worst;
  for (size_t k = 1; k < r.Frequency.size(); ++k) {
    const double f = r.Frequency[k];
    if (f < 50 || f > 16000) continue;
    const tvtest::cplx h = expected(2 * tvtest::kPi * f / kRate);
    worst.magnitudeDb =
        std::max(worst.magnitudeDb, std::fabs(r.MagnitudeDb[k] - 20 * std::log10(std::abs(h))));
    worst.phaseDeg =
        std::max(worst.phaseDeg,
                 std::fabs(tvtest::WrapDegrees(r.PhaseDeg[k] - std::arg(h) * 180 / tvtest::kPi)));
    worst.coherence = std::min(worst.coherence, r.Coherence[k]);
    ++worst.points;
  }
  return worst;
}

class TransferWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    window.show();
    ASSERT_TRUE(window.Meter().Listening());
  }
  // The reference on the channel the window is set to.
  void Measure(const tvtest::SignalPair& pair, int periods = 8) {
    Feed(window.Meter(), pair, periods, window.CReference->currentIndex());
    window.Poll();
  }
  TFTransfer window;
};

// A gain and a whole or fractional delay, either channel the reference, the delay typed: the
// shown magnitude is the gain, the phase what is left of the delay, γ² one.
TEST_F(TransferWindow, GainAndTypedDelaySweep) {
  struct Case {
    double gainDb, delay, typed;
    int reference;
  };
  const Case cases[] = {{0, 0, 0, 1},     {-6, 12, 12, 1}, {+9.5, 100, 100, 0}, {-20, 3, 0, 1},
                        {3, 2.5, 2.5, 0}, {0, -7, -7, 1},  {-40, 480, 480, 1}};
  unsigned seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "gain " << c.gainDb << " delay " << c.delay << " typed "
                                    << c.typed << " reference " << c.reference);
    window.CReference->setCurrentIndex(c.reference);
    window.EDelay->setValue(c.typed * 1000.0 / kRate);
    window.BResetClick();
    const double g = std::pow(10.0, c.gainDb / 20);
    const auto pair = tvtest::Periodic(
        kPeriod, seed++, [g](double) { return g; }, c.delay);
    Measure(pair);
    const TransferReading& shown = window.Shown();
    ASSERT_TRUE(shown.Valid);
    EXPECT_EQ(shown.Channels, 2);
    EXPECT_EQ(shown.Rate, kRate);
    EXPECT_EQ(shown.Result.Frequency.size(), kPeriod / 2 + 1);
    // The delay as the box holds it (to 0.1 µs).
    const double typedMs = window.EDelay->value();
    EXPECT_NEAR(typedMs, c.typed * 1000.0 / kRate, 0.00005);
    EXPECT_NEAR(shown.DelayMs, typedMs, 1e-9);
    const double rest = c.delay - typedMs * kRate / 1000.0;
    const Worst worst = Compare(shown.Result, [&](double w) { return std::polar(g, -w * rest); });
    EXPECT_GT(worst.points, 5000);
    EXPECT_LT(worst.magnitudeDb, 0.05);
    EXPECT_LT(worst.phaseDeg, 0.5);
    EXPECT_GT(worst.coherence, 0.999);
    // What is drawn is what is shown: one point per bin but DC.
    EXPECT_EQ(window.ChartMagnitude->Series(TFTransfer::MaxTraces)->PointCount(),
              static_cast<int>(kPeriod / 2));
  }
}

// A peaking and a high-pass biquad against their exact responses (the system is smooth over
// the window's few bins, so a small bias remains at the lowest frequencies only).
TEST_F(TransferWindow, BiquadsAgainstTheirResponses) {
  const tvtest::Biquad systems[] = {tvtest::PeakingEq(1000, 6, 2, kRate),
                                    tvtest::PeakingEq(5000, -10, 1, kRate),
                                    tvtest::ButterworthHighPass(40, kRate)};
  unsigned seed = 10;
  for (const tvtest::Biquad& b : systems) {
    window.BResetClick();
    const auto pair = tvtest::Periodic(
        kPeriod, seed++, [&](double w) { return b.Response(w); }, 0);
    Measure(pair);
    ASSERT_TRUE(window.Shown().Valid);
    const Worst worst = Compare(window.Shown().Result, [&](double w) { return b.Response(w); });
    EXPECT_LT(worst.magnitudeDb, 0.1);
    EXPECT_LT(worst.phaseDeg, 1.0);
    EXPECT_GT(worst.coherence, 0.99);
  }
}

// "Find" takes the delay from the signals; the phase then shows only the system.
TEST_F(TransferWindow, FindTakesTheDelay) {
  for (double delay : {0.0, 37.0, 250.25, -18.5}) {
    SCOPED_TRACE(delay);
    window.BFindClick();
    EXPECT_EQ(window.Meter().Settings().DelayMode, TransferDelayMode::Find);
    window.BResetClick();
    const auto pair = tvtest::Periodic(
        kPeriod, 77, [](double) { return 0.5; }, delay);
    Measure(pair, 12);
    const TransferReading& shown = window.Shown();
    ASSERT_TRUE(shown.Valid);
    EXPECT_FALSE(shown.DelaySearching);
    EXPECT_NEAR(shown.DelayMs * kRate / 1000.0, delay, 0.05);
    EXPECT_NEAR(window.EDelay->value(), delay * 1000.0 / kRate, 0.001);
    const Worst worst = Compare(shown.Result, [](double) { return tvtest::cplx(0.5); });
    EXPECT_LT(worst.magnitudeDb, 0.1);
    EXPECT_LT(worst.phaseDeg, 3.0);
  }
  // Typing a delay ends the finding.
  window.EDelay->setValue(1.0);
  EXPECT_EQ(window.Meter().Settings().DelayMode, TransferDelayMode::Fixed);
  EXPECT_DOUBLE_EQ(window.Meter().Settings().DelayMs, 1.0);
}

TEST_F(TransferWindow, ControlsSetTheCore) {
  EXPECT_EQ(window.Meter().Settings().ReferenceChannel, 1);
  EXPECT_EQ(window.Meter().Settings().Core.Length, 16384);
  EXPECT_EQ(window.Meter().Settings().Core.Smoothing, 0);
  EXPECT_TRUE(window.CLogAxis->isChecked());
  EXPECT_TRUE(window.ChartPhase->BottomAxis().Logarithmic());

  const int lengths[] = {1024, 2048, 4096, 8192, 16384, 32768, 65536};
  for (int i = 0; i < window.CLength->count(); ++i) {
    window.CLength->setCurrentIndex(i);
    EXPECT_EQ(window.Meter().Settings().Core.Length, lengths[i]);
  }
  window.CLength->setCurrentIndex(2);
  const TransferAveraging modes[] = {TransferAveraging::All, TransferAveraging::Last,
                                     TransferAveraging::Fast, TransferAveraging::Slow};
  for (int i = 0; i < 4; ++i) {
    window.CAveraging->setCurrentIndex(i);
    EXPECT_EQ(window.Meter().Settings().Core.Averaging, modes[i]);
  }
  const int fractions[] = {0, 48, 24, 12, 6, 3, 1};
  for (int i = 0; i < window.CSmoothing->count(); ++i) {
    window.CSmoothing->setCurrentIndex(i);
    EXPECT_EQ(window.Meter().Settings().Core.Smoothing, fractions[i]);
  }
  window.CTrack->setChecked(true);
  EXPECT_EQ(window.Meter().Settings().DelayMode, TransferDelayMode::Track);
  window.EBlank->setValue(0.5);
  EXPECT_DOUBLE_EQ(window.Meter().Settings().Core.BlankBelowCoherence, 0.5);
  window.CReference->setCurrentIndex(0);
  EXPECT_EQ(window.Meter().Settings().ReferenceChannel, 0);
  window.CLogAxis->setChecked(false);
  EXPECT_FALSE(window.ChartMagnitude->BottomAxis().Logarithmic());

  // The chosen length and smoothing reach the result: 4096 points, 1/3 octave.
  window.CTrack->setChecked(false);
  window.EBlank->setValue(0);
  window.CSmoothing->setCurrentIndex(5);
  const auto pair = tvtest::Periodic(
      4096, 5, [](double) { return 2.0; }, 0);
  Measure(pair, 20);
  ASSERT_TRUE(window.Shown().Valid);
  EXPECT_EQ(window.Shown().Result.Frequency.size(), 2049u);
  const Worst worst = Compare(window.Shown().Result, [](double) { return tvtest::cplx(2.0); });
  EXPECT_LT(worst.magnitudeDb, 0.05);
}

// Unrelated channels: γ² is low everywhere, so blanking at 0.9 hides every point.
TEST_F(TransferWindow, CoherenceBlanking) {
  auto pair = tvtest::Periodic(
      kPeriod * 8, 3, [](double) { return 1.0; }, 0);
  pair.measurement = tvtest::Periodic(
                         kPeriod * 8, 4, [](double) { return 1.0; }, 0)
                         .reference;
  Measure(pair, 1);
  ASSERT_TRUE(window.Shown().Valid);
  TChartSeries* coherence = window.ChartCoherence->Series(TFTransfer::MaxTraces);
  EXPECT_EQ(coherence->PointCount(), static_cast<int>(kPeriod / 2));
  for (double y : coherence->YValues())
    ASSERT_LT(y, 0.9);
  window.EBlank->setValue(0.9);
  ASSERT_TRUE(window.Meter().Flush());
  window.Poll();
  EXPECT_EQ(coherence->PointCount(), 0);
  EXPECT_EQ(window.ChartMagnitude->Series(TFTransfer::MaxTraces)->PointCount(), 0);
  EXPECT_EQ(window.ChartPhase->Series(TFTransfer::MaxTraces)->PointCount(), 0);
}

TEST_F(TransferWindow, MonoInputIsRefused) {
  const auto pair = tvtest::Periodic(
      kPeriod, 9, [](double) { return 1.0; }, 0);
  Feed(window.Meter(), pair, 4, 1, 1);
  window.Poll();
  EXPECT_FALSE(window.Shown().Valid);
  EXPECT_EQ(window.Shown().Channels, 1);
  EXPECT_EQ(window.LState->text(), "needs a stereo input: the reference on R");
  EXPECT_EQ(window.ChartMagnitude->Series(TFTransfer::MaxTraces)->PointCount(), 0);
}

// Eight traces at most, each its own colour; the oldest makes room.
TEST_F(TransferWindow, StoreKeepsEightTraces) {
  int asked = 0;
  const auto ask = TFTransfer::AskTraceName;
  TFTransfer::AskTraceName = [&](QWidget*, const QString& proposed) {
    ++asked;
    return asked == 3 ? QString() : proposed + " stored";
  };
  window.BStoreClick();  // nothing measured yet
  EXPECT_EQ(asked, 0);
  EXPECT_TRUE(window.Traces().empty());
  for (int i = 0; i < 10; ++i) {
    window.BResetClick();
    const double g = 1.0 + 0.1 * i;
    Measure(tvtest::Periodic(
                kPeriod, 20 + i, [g](double) { return g; }, 0),
            4);
    ASSERT_TRUE(window.Shown().Valid);
    window.BStoreClick();
  }
  EXPECT_EQ(asked, 10);
  // 10 asked, the third cancelled (its name offered again), the oldest of nine gone.
  ASSERT_EQ(window.Traces().size(), 8u);
  EXPECT_EQ(window.Traces().front().Name, "Trace 2 stored");
  EXPECT_EQ(window.Traces().back().Name, "Trace 9 stored");
  std::set<QRgb> colours;
  for (const auto& t : window.Traces())
    colours.insert(t.Colour.rgb());
  EXPECT_EQ(colours.size(), 8u);
  // The last one stored holds the gain it was measured with, and is drawn.
  const TransferResult& last = window.Traces().back().Result;
  EXPECT_NEAR(last.MagnitudeDb[1000], 20 * std::log10(1.9), 0.01);
  int drawn = 0;
  for (int i = 0; i < TFTransfer::MaxTraces; ++i)
    drawn += window.ChartMagnitude->Series(i)->Visible() &&
             window.ChartMagnitude->Series(i)->PointCount() == static_cast<int>(kPeriod / 2);
  EXPECT_EQ(drawn, 8);
  TFTransfer::AskTraceName = ask;
}

TEST_F(TransferWindow, ExportFrdReadsBack) {
  tvtest::TempDir dir;
  const std::string path = dir.File("speaker.frd");
  const auto ask = TFTransfer::AskExportFile;
  TFTransfer::AskExportFile = [&](QWidget*) { return QString::fromStdString(path); };
  window.BExportClick();  // nothing measured yet: nothing written
  EXPECT_FALSE(std::ifstream(path).good());

  const tvtest::Biquad b = tvtest::PeakingEq(2000, 4, 1, kRate);
  Measure(tvtest::Periodic(
      kPeriod, 31, [&](double w) { return b.Response(w); }, 0));
  ASSERT_TRUE(window.Shown().Valid);
  window.BExportClick();
  std::ifstream in(path);
  ASSERT_TRUE(in.good());
  const TransferResult& r = window.Shown().Result;
  std::string line;
  size_t k = 1;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    double f, m, p;
    ASSERT_TRUE(fields >> f >> m >> p) << line;
    std::string extra;
    EXPECT_FALSE(fields >> extra);
    ASSERT_LT(k, r.Frequency.size());
    EXPECT_NEAR(f, r.Frequency[k], 1e-6);
    EXPECT_NEAR(m, r.MagnitudeDb[k], 1e-6);
    EXPECT_NEAR(p, r.PhaseDeg[k], 1e-6);
    ++k;
  }
  EXPECT_EQ(k, r.Frequency.size());  // every bin but DC, none blanked

  // A blanked point is left out; a path that cannot be written leaves nothing and says why.
  TransferResult blanked = r;
  blanked.MagnitudeDb[5] = blanked.PhaseDeg[5] = NAN;
  const std::string text = TFTransfer::FormatFrd(blanked);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>(r.Frequency.size()) - 2);
  TFTransfer::AskExportFile = [&](QWidget*) {
    return QString::fromStdString(dir.File("missing/speaker.frd"));
  };
  window.BExportClick();
  EXPECT_TRUE(window.LState->text().contains("missing/speaker.frd"))
      << window.LState->text().toStdString();
  EXPECT_FALSE(std::ifstream(dir.File("missing/speaker.frd")).good());
  TFTransfer::AskExportFile = ask;
}

// The whole program: the window is created hidden with its own entry and shortcut, the worker
// feeds it only once shown, and the octave analyser keeps its stream beside it.
class TransferProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    tvtest::WriteRawFile(dir.File("tone.raw"),
                         tvtest::MakeTone(48000, 2, 48000, {1000.0, 1000.0}, {3277.0}));
    tvtest::UseAlsaConfig(dir.Path(), "pcm.!default { type pacedloop; loop \"" +
                                          dir.File("tone.raw") + "\"; channels 2 }\n");
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

TEST_F(TransferProgram, OpenedFromTheChartMenu) {
  TonvistaWindows windows;
  TMainwindow* w = Mainwindow;
  ASSERT_NE(w, nullptr);
  ASSERT_NE(FTransfer, nullptr);
  EXPECT_FALSE(FTransfer->isVisible());
  QAction* entry = nullptr;
  std::set<QString> shortcuts;
  int withShortcut = 0;
  for (QAction* a : w->Chart1->ChartMenu()->actions()) {
    if (a->text() == "Transfer function...") entry = a;
    if (!a->shortcut().isEmpty()) {
      ++withShortcut;
      shortcuts.insert(a->shortcut().toString());
    }
  }
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->shortcut(), QKeySequence("Ctrl+Shift+T"));
  EXPECT_EQ(static_cast<int>(shortcuts.size()), withShortcut);  // none used twice

  w->CNumChannels->SetItemIndex(1);
  w->BStartClick();
  ASSERT_NE(w->CalcThread, nullptr);
  TCalcSpectrumThread* t = w->CalcThread;
  ASSERT_TRUE(PumpUntil([&] { return t->BlocksShown() >= 5; }));
  EXPECT_EQ(FTransfer->Meter().Ring().FramesFed(), 0u);
  EXPECT_EQ(FOctaveAnalyser->Meter().Ring().FramesFed(), 0u);

  entry->trigger();
  EXPECT_TRUE(FTransfer->isVisible());
  // The same tone on both channels: unity, in phase, through the whole path.
  ASSERT_TRUE(PumpUntil([&] {
    FTransfer->Poll();
    return FTransfer->Shown().Valid && FTransfer->Shown().Result.Averages >= 2;
  }));
  const int rate = FTransfer->Shown().Rate;
  EXPECT_EQ(rate, static_cast<int>(w->CurrentSettings().SamplingRate));
  const TransferResult& r = FTransfer->Shown().Result;
  const size_t k = static_cast<size_t>(std::lround(1000.0 * 16384 / rate));
  EXPECT_NEAR(r.MagnitudeDb[k], 0.0, 0.01);
  EXPECT_NEAR(r.PhaseDeg[k], 0.0, 0.1);
  EXPECT_EQ(FOctaveAnalyser->Meter().Ring().FramesFed(), 0u);  // not open: not fed
  FTransfer->hide();
  w->BStopClick();
}

}  // namespace

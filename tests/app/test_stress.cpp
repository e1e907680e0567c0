// Start/Stop cycles against the replayed test signal while a user changes everything at random.
// TONVISTA_STRESS_CYCLES sets the number of cycles (CI runs a few, scripts/stress a thousand);
// TONVISTA_STRESS_SEED repeats a run.
#include <QDateTime>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>
#include <cstdio>
#include <random>

#include "AlsaTestDevice.h"
#include "Badinputs.h"
#include "Dlgbandanalyser.h"
#include "Dlggoniometer.h"
#include "Dlgoptions.h"
#include "Inputmenu.h"
#include "MainwindowFixture.h"

namespace {

int EnvInt(const char* name, int fallback) {
  bool ok = false;
  const int v = qEnvironmentVariableIntValue(name, &ok);
  return ok ? v : fallback;
}

}  // namespace

class Stress : public MainwindowTest {
 protected:
  void SetUp() override {
    // Two seconds of a stereo signal at 48 kHz; past its end the device reads silence.
    const auto samples = tvtest::MakeTone(48000, 2, 96000, {1000.0, 3000.0}, {16000.0, 4000.0});
    tvtest::WriteRawFile(dir.File("signal.raw"), samples);
    // Inputs to switch among: paced loops of both channel counts (one refuses mono, the other
    // stereo), and PCMs and a server source that are not there.
    const std::string loop = "type pacedloop; loop \"" + dir.File("signal.raw") + "\"; channels ";
    tvtest::UseReplayDevice(dir.Path(), dir.File("signal.raw"),
                            "pcm.tvloop { " + loop + "2 }\npcm.tvloopmono { " + loop + "1 }\n");
    SetErrorSink([this](QWidget*, const QString& m) { inputErrors << m; });
    // The bad-input table says what the C locale accepts.
    QLocale::setDefault(QLocale::c());
    MainwindowTest::SetUp();
    w->show();
  }
  void TearDown() override {
    MainwindowTest::TearDown();
    SetErrorSink(nullptr);
  }

  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }

  void Choose(QComboBox* box) {
    if (!box->isEnabled() || box->count() == 0) return;
    const int i = Pick(box->count());
    box->setCurrentIndex(i);
    emit box->activated(i);
  }
  void Click(QAbstractButton* b) {
    if (b->isEnabled()) QTest::mouseClick(b, Qt::LeftButton);
  }
  // Types into the options dialog and presses "Set": valid numbers, or one entry of the
  // bad-input table, which must be refused with exactly one message.
  void SetOptions() {
    Click(w->BOptions);
    QLineEdit* edits[5] = {FOptions->EYAxisMin, FOptions->EYAxisMax, FOptions->EXAxisMin,
                           FOptions->EXAxisMax, FOptions->ECorrFactor};
    const QString good[5] = {QString::number(-150 + Pick(100)), QString::number(-Pick(20)),
                             QString::number(Pick(200)), QString::number(1000 + Pick(40000)),
                             QString::number(Pick(21) - 10)};
    for (int i = 0; i < 5; ++i)
      edits[i]->setText(good[i]);
    const int before = static_cast<int>(inputErrors.size());
    bool bad = false;
    if (Pick(3) == 0) {
      const BadInput& in = BadInputs()[static_cast<size_t>(Pick(int(BadInputs().size())))];
      const int field = Pick(5);
      bad = field == 4 ? in.floatBadC : in.intBadC;
      edits[field]->setText(in.text);
    }
    Click(FOptions->Button1);
    EXPECT_EQ(inputErrors.size(), before + (bad ? 1 : 0));
    if (Pick(2) == 0) Click(FOptions->Button2);
  }
  void StepMarker() {
    QCheckBox* box = Pick(2) ? w->CBMarker1 : w->CBMarker2;
    if (box->isEnabled() && !box->isChecked()) Click(box);
    QPushButton* steps[] = {w->BMark1_Dec, w->BMark1_Inc, w->BMark2_Dec, w->BMark2_Inc};
    QPushButton* b = steps[Pick(4)];
    if (Pick(2)) {
      Click(b);
    } else {  // held down: the auto-repeat runs for a moment
      QTest::mousePress(b, Qt::LeftButton);
      QTest::qWait(Pick(150));
      QTest::mouseRelease(b, Qt::LeftButton);
    }
  }
  void ChooseInput() {
    static const InputEntry inputs[] = {
        DefaultInput(),
        {InputKind::Alsa, "tvloop", "Stereo loop"},
        {InputKind::Alsa, "tvloopmono", "Mono loop"},
        {InputKind::Alsa, "tvmissing", "Missing device"},
        {InputKind::Pulse, "tvnosuch.monitor", "Monitor of nothing"},
    };
    w->InputMenu->Choose(inputs[Pick(5)]);
  }
  void RandomAction() {
    switch (Pick(13)) {
      case 0:
        Choose(w->CSamplingRate);
        break;
      case 1:
        Choose(w->CFFTLength);
        break;
      case 2:
        Choose(w->CWindow);
        break;
      case 3:
        if (w->CNumChannels->isEnabled()) Click(w->CNumChannels->Item(Pick(2)));
        break;
      case 4:
        Click(w->BGoniometer);
        break;
      case 5:
        Click(FGoniometer->BClose);
        break;
      case 6:
        Click(w->BBandAnalyser);
        break;
      case 7:
        Click(FBandAnalyser->Button1);
        break;
      case 8:
        SetOptions();
        break;
      case 9:
        StepMarker();
        break;
      case 10:
        Click(w->CFreqAxis->Item(Pick(2)));
        break;
      case 11:
        ChooseInput();
        break;
      default:
        Choose(FGoniometer->CLevelMeterMode);
        break;
    }
  }
  // The settings that are fixed for a run, chosen before Start.
  void RandomRunSettings() {
    Choose(w->CAvg);
    if (Pick(2) != w->CBMaxHold->isChecked()) Click(w->CBMaxHold);
    Choose(w->CSamplingRate);
    // Long blocks at low rates are slow to show; keep most runs short.
    if (Pick(4) == 0)
      Choose(w->CFFTLength);
    else {
      w->CFFTLength->setCurrentIndex(Pick(4));
      emit w->CFFTLength->activated(w->CFFTLength->currentIndex());
    }
  }

  tvtest::TempDir dir;
  std::mt19937 rng;
  QStringList inputErrors;
};

TEST_F(Stress, StartStopCyclesWithRandomChangesWhileRunning) {
  const int cycles = EnvInt("TONVISTA_STRESS_CYCLES", 15);
  const auto seed = static_cast<unsigned>(EnvInt(
      "TONVISTA_STRESS_SEED", static_cast<int>(QDateTime::currentMSecsSinceEpoch() & 0xffff)));
  rng.seed(seed);
  std::printf("stress: %d cycles, seed %u\n", cycles, seed);
  int shown = 0;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    SCOPED_TRACE(testing::Message() << "cycle " << cycle << " seed " << seed);
    RandomRunSettings();
    w->Series1->ClearPoints();
    Click(w->BStart);
    ASSERT_NE(w->CalcThread, nullptr);
    const int actions = Pick(8);
    for (int a = 0; a < actions; ++a) {
      RandomAction();
      QTest::qWait(Pick(40));
    }
    if (Pick(20) == 0) {
      // Quit while running, then a fresh program.
      Click(w->BQuit);
      EXPECT_FALSE(w->isVisible());
      windows.reset();
      windows = std::make_unique<TonvistaWindows>();
      w = Mainwindow;
      w->show();
      continue;
    }
    Click(w->BStop);
    // The current block is finished and shown; a hang here is a deadlock.
    ASSERT_TRUE(QTest::qWaitFor([&] { return w->CalcThread == nullptr; }, 15000))
        << "the worker did not end after Stop";
    if (w->Series1->PointCount() > 0) ++shown;
    EXPECT_TRUE(w->BStart->isEnabled());
  }
  std::printf("stress: %d of %d runs showed a spectrum\n", shown, cycles);
  // A Stop right after Start may end the run before its first block; most runs show one.
  EXPECT_GE(shown, cycles / 2);
}

// Picking the input in the chart's menu: the monitors of two sinks of a real private sound
// server, each playing its own tone, a source that goes and comes back, and the bad cases.
#include <unistd.h>

#include <QAction>
#include <QElapsedTimer>
#include <QMenu>
#include <QRadioButton>
#include <algorithm>
#include <functional>

#include "../capture/PulseTestServer.h"
#include "AlsaTestDevice.h"
#include "Calcspectrumthread.h"
#include "Inputmenu.h"
#include "MainwindowFixture.h"

namespace {

double MaxLevel(const TChartSeries* s) {
  const auto& y = s->YValues();
  return y.empty() ? 1e9 : *std::max_element(y.begin(), y.end());
}

class InputsTest : public MainwindowTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.Start());
    sinkA = server.AddSink("tvA", "Sink A");
    sinkB = server.AddSink("tvB", "Sink B");
    ASSERT_GE(sinkA, 0);
    ASSERT_GE(sinkB, 0);
    MainwindowTest::SetUp();
    w->CSamplingRate->setCurrentIndex(8);  // 48000
  }
  void TearDown() override {
    if (w && w->CalcThread) emit w->BStop->clicked();
    MainwindowTest::TearDown();
  }
  QAction* Entry(const QString& text) {
    for (QAction* a : w->InputMenu->Menu()->actions())
      if (a->text() == text) return a;
    return nullptr;
  }
  // Waits for the entry to be listed and picks it.
  void Pick(const QString& text) {
    ASSERT_TRUE(WaitFor([&] { return Entry(text) != nullptr; }, 5000))
        << text.toStdString() << " not listed";
    Entry(text)->trigger();
    EXPECT_EQ(w->InputMenu->Chosen().description, text.toStdString());
  }
  bool PeakNear(const TChartSeries* s, double hz) {
    return std::abs(PeakHz(s) - hz) < 2 * 48000.0 / 2048 && MaxLevel(s) > -40;
  }
  QString StateLine() const { return w->Chart1->StateLine(); }

  tvtest::PulseTestServer server;
  int sinkA = -1, sinkB = -1;
};

TEST_F(InputsTest, EachMonitorShowsItsOwnSinksToneAndASwitchWhileRunningTakesEffect) {
  ASSERT_TRUE(server.Tone("tvA", 1000, 48000, 2));
  ASSERT_TRUE(server.Tone("tvB", 3000, 48000, 2));
  EXPECT_EQ(StateLine(), "") << "the default input, stopped: the chart as it always was";
  for (int channels : {1, 2}) {
    SCOPED_TRACE(channels == 1 ? "mono" : "stereo");
    w->CNumChannels->Item(channels - 1)->click();
    Pick("Monitor of Sink A");
    EXPECT_EQ(StateLine(), "Monitor of Sink A");
    emit w->BStart->clicked();
    ASSERT_TRUE(WaitFor([&] { return PeakNear(w->Series1, 1000); }, 8000)) << PeakHz(w->Series1);
    if (channels == 2) {
      EXPECT_TRUE(WaitFor([&] { return PeakNear(w->Series2, 1000); }, 2000));
    }
    EXPECT_TRUE(WaitFor([&] { return StateLine() == "Monitor of Sink A: recording"; }, 2000))
        << StateLine().toStdString();

    // Another input while running: the worker takes it at its next block.
    TCalcSpectrumThread* t = w->CalcThread;
    Pick("Monitor of Sink B");
    ASSERT_TRUE(WaitFor([&] { return PeakNear(w->Series1, 3000); }, 8000)) << PeakHz(w->Series1);
    if (channels == 2) {
      EXPECT_TRUE(WaitFor([&] { return PeakNear(w->Series2, 3000); }, 2000));
    }
    EXPECT_EQ(w->CalcThread, t) << "the run goes on";
    EXPECT_TRUE(WaitFor([&] { return StateLine() == "Monitor of Sink B: recording"; }, 2000));
    emit w->BStop->clicked();
    ASSERT_TRUE(WaitFor([&] { return w->CalcThread == nullptr; }, 5000));
    EXPECT_TRUE(WaitFor([&] { return StateLine() == "Monitor of Sink B"; }, 1000));
  }
  // Back to the default: the state line is empty again.
  Pick("Default input (system)");
  EXPECT_EQ(StateLine(), "");
}

TEST_F(InputsTest, ASourceThatGoesReadsInputGoneWithSilentBlocksAndResumesWhenBack) {
  ASSERT_TRUE(server.Tone("tvA", 1000, 48000, 1));
  Pick("Monitor of Sink A");
  emit w->BStart->clicked();
  ASSERT_TRUE(WaitFor([&] { return PeakNear(w->Series1, 1000); }, 8000));

  tvtest::StderrCapture err;
  ASSERT_TRUE(server.Quiet());
  ASSERT_TRUE(server.Unload(sinkA));
  ASSERT_TRUE(WaitFor([&] { return StateLine() == "input gone: Monitor of Sink A"; }, 3000))
      << StateLine().toStdString();
  // The run goes on with silent blocks, and the window answers meanwhile.
  const int shown = w->CalcThread->BlocksShown();
  EXPECT_TRUE(WaitFor([&] { return w->CalcThread->BlocksShown() >= shown + 3; }, 3000));
  EXPECT_TRUE(WaitFor([&] { return MaxLevel(w->Series1) < -100; }, 3000)) << MaxLevel(w->Series1);
  EXPECT_NE(Entry("Monitor of Sink A"), nullptr) << "the input picked stays listed";

  // A sink of that name again: recording resumes by itself.
  ASSERT_GE(server.AddSink("tvA", "Sink A"), 0);
  ASSERT_TRUE(server.Tone("tvA", 1000, 48000, 1));
  EXPECT_TRUE(WaitFor([&] { return PeakNear(w->Series1, 1000); }, 10000));
  EXPECT_TRUE(WaitFor([&] { return StateLine() == "Monitor of Sink A: recording"; }, 3000))
      << StateLine().toStdString();
  emit w->BStop->clicked();
  ASSERT_TRUE(WaitFor([&] { return w->CalcThread == nullptr; }, 5000));
  EXPECT_EQ(err.Text(), "");
}

TEST_F(InputsTest, ASourceAddedWhileTheMenuIsOpenAppearsInIt) {
  ASSERT_TRUE(WaitFor([&] { return Entry("Monitor of Sink B") != nullptr; }, 5000));
  w->show();
  w->InputMenu->Menu()->popup(w->mapToGlobal(QPoint(10, 10)));
  ASSERT_TRUE(WaitFor([&] { return w->InputMenu->Menu()->isVisible(); }, 2000));
  ASSERT_GE(server.AddSink("tvC", "Sink C"), 0);
  EXPECT_TRUE(WaitFor([&] { return Entry("Monitor of Sink C") != nullptr; }, 5000));
  EXPECT_TRUE(w->InputMenu->Menu()->isVisible());
  w->InputMenu->Menu()->close();
  // Every entry has a shortcut, and the list follows the order: default first.
  const QList<QAction*> actions = w->InputMenu->Menu()->actions();
  ASSERT_FALSE(actions.isEmpty());
  EXPECT_EQ(actions.front()->text(), "Default input (system)");
  EXPECT_EQ(actions.front()->shortcut(), QKeySequence("Ctrl+0"));
  // Past the tenth, inputs are reached with "Next input" and "Previous input".
  for (QAction* a : w->Chart1->MenuActionsWithoutShortcut())
    EXPECT_GE(actions.indexOf(a), 10) << "no shortcut: " << a->text().toStdString();
  EXPECT_EQ(Entry("Next input")->shortcut(), QKeySequence("Ctrl+I"));
  const InputEntry before = w->InputMenu->Chosen();
  Entry("Next input")->trigger();
  EXPECT_NE(w->InputMenu->Chosen(), before);
  Entry("Previous input")->trigger();
  EXPECT_EQ(w->InputMenu->Chosen(), before);
}

// An ALSA PCM (the paced loop device) picked while it is busy, while it offers no 16-bit
// format, and one whose name is gone when Start is pressed: each shows its state line and
// gives silent blocks at the block rate, nothing on stderr, and the window stays responsive.
TEST_F(InputsTest, BadInputsGiveTheirStateLineAndSilentBlocksWithoutAHang) {
  tvtest::TempDir dir;
  const std::string loop = dir.File("loop.raw");
  tvtest::WriteRawFile(loop, tvtest::MakeTone(48000, 1, 48000, {1000.0}, {8000.0}));
  const std::string device = "type pacedloop; channels 1; loop \"" + loop + "\"";
  tvtest::UseAlsaConfig(dir.Path(), "pcm.tvbusy { " + device + "; busy 1 }\npcm.tvfloat { " +
                                        device + "; float_only 1 }\n");
  struct Case {
    InputEntry input;
    QString state;
  } cases[] = {
      {{InputKind::Alsa, "tvbusy", "Busy test device"}, "Busy test device: device busy"},
      {{InputKind::Alsa, "tvfloat", "Float test device"},
       "Float test device: format not supported"},
      {{InputKind::Alsa, "tvmissing", "Missing device"}, "input gone: Missing device"},
      {{InputKind::Pulse, "tvgone.monitor", "Monitor of Gone"}, "input gone: Monitor of Gone"},
  };
  w->CFFTLength->setCurrentIndex(0);  // 256 points: 187 blocks/s at 48 kHz
  tvtest::StderrCapture err;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.name);
    w->InputMenu->Choose(c.input);
    emit w->BStart->clicked();
    ASSERT_NE(w->CalcThread, nullptr);
    EXPECT_TRUE(WaitFor([&] { return StateLine() == c.state; }, 3000)) << StateLine().toStdString();
    // Paced, not spinning: about the block rate, and silent.
    QElapsedTimer clock;
    clock.start();
    const int before = w->CalcThread->BlocksShown();
    EXPECT_TRUE(WaitFor([&] { return clock.elapsed() >= 500; }, 2000));
    const int blocks = w->CalcThread->BlocksShown() - before;
    EXPECT_GE(blocks, 1);
    EXPECT_LE(blocks, 0.5 * 48000 / 256 * 1.5 + 5);
    EXPECT_LT(MaxLevel(w->Series1), -100);
    QElapsedTimer stop;
    stop.start();
    emit w->BStop->clicked();
    ASSERT_TRUE(WaitFor([&] { return w->CalcThread == nullptr; }, 5000));
    EXPECT_LT(stop.elapsed(), 2000);
  }
  EXPECT_EQ(err.Text(), "");
}

TEST_F(InputsTest, AJackInputWithoutAServerIsMarkedAndChoosingItKeepsStderrQuiet) {
  tvtest::TempDir dir;
  // A server name of the test's own: no JACK server of that name runs here.
  setenv("JACK_DEFAULT_SERVER", ("tonvista-test-" + std::to_string(getpid())).c_str(), 1);
  tvtest::UseAlsaConfig(dir.Path(),
                        "pcm.tvjack { type jack; capture_ports { 0 system:capture_1 }\n"
                        "  hint { show on; description \"Test JACK\" } }\n");
  tvtest::StderrCapture err;
  emit w->InputMenu->Menu()->aboutToShow();
  ASSERT_TRUE(WaitFor([&] { return Entry("Test JACK (JACK: no server)") != nullptr; }, 10000));
  EXPECT_EQ(Entry("Test JACK"), nullptr);
  Entry("Test JACK (JACK: no server)")->trigger();
  EXPECT_EQ(w->InputMenu->Chosen().name, "tvjack");
  w->CFFTLength->setCurrentIndex(0);  // 256 points: 187 blocks/s, each one a try before
  emit w->BStart->clicked();
  ASSERT_NE(w->CalcThread, nullptr);
  EXPECT_TRUE(WaitFor([&] { return StateLine() == "input gone: Test JACK"; }, 3000))
      << StateLine().toStdString();
  QElapsedTimer clock;
  clock.start();
  EXPECT_TRUE(WaitFor([&] { return clock.elapsed() >= 1500; }, 3000));
  emit w->BStop->clicked();
  ASSERT_TRUE(WaitFor([&] { return w->CalcThread == nullptr; }, 5000));
  unsetenv("JACK_DEFAULT_SERVER");
  EXPECT_EQ(err.Text(), "");
}

TEST(InputStateLine, NamesTheInputAndItsStateAndStaysEmptyForTheDefault) {
  const InputEntry mic{InputKind::Pulse, "alsa_input.usb", "USB Microphone"};
  EXPECT_EQ(TInputMenu::StateLineText(DefaultInput(), std::nullopt), "");
  EXPECT_EQ(TInputMenu::StateLineText(DefaultInput(), CaptureState::InputGone), "");
  EXPECT_EQ(TInputMenu::StateLineText(mic, std::nullopt), "USB Microphone");
  EXPECT_EQ(TInputMenu::StateLineText(mic, CaptureState::Recording), "USB Microphone: recording");
  EXPECT_EQ(TInputMenu::StateLineText(mic, CaptureState::NoSignal), "USB Microphone: no signal");
  EXPECT_EQ(TInputMenu::StateLineText(mic, CaptureState::InputGone), "input gone: USB Microphone");
  EXPECT_EQ(TInputMenu::StateLineText(mic, CaptureState::DeviceBusy),
            "USB Microphone: device busy");
}

}  // namespace

// Audio faults against a real sound server of the test's own (scripts/sound-test-server:
// PulseAudio through ALSA's pulse plugin, or PipeWire through pipewire-alsa's): no server, the
// server killed mid-run and back again, the server frozen mid-block.
#include <alsa/asoundlib.h>
#include <sys/stat.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <thread>

#include "AlsaTestDevice.h"
#include "Audiodataacquisition.h"
#include "MainwindowFixture.h"

namespace {

const QString kScript = QStringLiteral(TONVISTA_SOURCE_DIR "/scripts/sound-test-server");

// A private server under a private XDG_RUNTIME_DIR; ALSA's "default" is that server.
class PulseServer {
 public:
  PulseServer() {
    const std::string conf = dir_.File("asound.conf");
    Script({"alsa-conf"});
    // Never let the plugin start a server of its own.
    QFile client(QString::fromStdString(dir_.File("client.conf")));
    EXPECT_TRUE(client.open(QIODevice::WriteOnly));
    client.write("autospawn = no\n");
    client.close();
    qputenv("PULSE_CLIENTCONFIG", QByteArray::fromStdString(dir_.File("client.conf")));
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(dir_.File("run")));
    qputenv("PULSE_SERVER", QByteArray::fromStdString("unix:" + dir_.File("run/pulse/native")));
    qputenv("ALSA_CONFIG_PATH", QByteArray::fromStdString(conf));
    snd_config_update_free_global();
  }
  ~PulseServer() {
    Signal("CONT");
    Script({"stop"});
    qunsetenv("ALSA_CONFIG_PATH");
    qunsetenv("PULSE_SERVER");
    qunsetenv("PULSE_CLIENTCONFIG");
    snd_config_update_free_global();
  }
  bool Start() { return Script({"start"}); }
  // A steady 1 kHz tone at half scale into the sink the default source records.
  bool Tone(int rate, int channels) {
    return Script({"tone", "1000", QString::number(rate), QString::number(channels), "0.5"});
  }
  // To every process of the server ("STOP", "CONT", "KILL").
  void Signal(const QString& sig) { Script({"signal", sig}); }
  void Kill() {
    Signal("KILL");
    Script({"stop"});
  }
  // The default source the program records and the sink behind it go (no source is left for
  // the server to move the stream to), and come back under their names.
  bool UnloadSource() {
    return Script({"quiet"}) && Pactl({"unload-module", "module-remap-source"}) &&
           Pactl({"unload-module", "module-null-sink"});
  }
  bool LoadSource() {
    return Pactl({"load-module", "module-null-sink", "sink_name=tvsink"}) &&
           Pactl({"load-module", "module-remap-source", "source_name=tvsource",
                  "master=tvsink.monitor"}) &&
           Pactl({"set-default-sink", "tvsink"}) && Pactl({"set-default-source", "tvsource"});
  }

 private:
  bool Pactl(const QStringList& args) {
    QProcess p;
    p.start("pactl", args);
    const bool ok = p.waitForFinished(10000) && p.exitCode() == 0;
    EXPECT_TRUE(ok) << "pactl " << args.join(' ').toStdString() << ": "
                    << p.readAllStandardError().toStdString();
    return ok;
  }
  bool Script(QStringList args) {
    args.insert(1, QString::fromStdString(dir_.Path()));
    QProcess p;
    p.start("bash", QStringList{kScript} + args);
    const bool ok = p.waitForFinished(20000) && p.exitCode() == 0;
    EXPECT_TRUE(ok) << args.join(' ').toStdString() << ": "
                    << p.readAllStandardError().toStdString();
    return ok;
  }
  tvtest::TempDir dir_;
};

double Peak(const TChartSeries* s) {
  const auto& y = s->YValues();
  return y.empty() ? -1000.0 : *std::max_element(y.begin(), y.end());
}

}  // namespace

class AudioFaults : public MainwindowTest {
 protected:
  void SetUp() override {
    pulse = std::make_unique<PulseServer>();
    MainwindowTest::SetUp();
    w->show();
    // 8000 Hz, 2048 points: a block lasts 0.26 s.
    w->CSamplingRate->setCurrentIndex(0);
    emit w->CSamplingRate->activated(0);
    w->CFFTLength->setCurrentIndex(3);
  }
  void TearDown() override {
    MainwindowTest::TearDown();
    pulse.reset();
  }
  // The event loop answers: a zero timer fires within the bound.
  bool Responsive(int boundMs) {
    bool fired = false;
    QTimer::singleShot(0, [&] { fired = true; });
    return QTest::qWaitFor([&] { return fired; }, boundMs);
  }
  bool StopAndWait() {
    emit w->BStop->clicked();
    return QTest::qWaitFor([&] { return w->CalcThread == nullptr; }, 8000);
  }
  // Generous bounds: they catch a hang, not a slow machine.
  bool ToneShown() {
    return Shown("the tone", [&] { return Peak(w->Series1) > -20.0; });
  }
  bool SilenceShown() {
    return Shown("silence", [&] { return Peak(w->Series1) < -150.0; });
  }
  template <class F>
  bool Shown(const char* what, F seen) {
    QElapsedTimer clock;
    clock.start();
    const bool ok =
        QTest::qWaitFor([&] { return w->Series1->PointCount() == 1024 && seen(); }, 20000);
    std::printf("%s shown after %lld ms\n", what, static_cast<long long>(clock.elapsed()));
    return ok;
  }
  void QuitPromptly() {
    QElapsedTimer clock;
    clock.start();
    emit w->BQuit->clicked();
    windows.reset();
    EXPECT_LT(clock.elapsed(), 3000) << "Quit took too long";
  }
  std::unique_ptr<PulseServer> pulse;
};

TEST_F(AudioFaults, NoServerGivesSilentBlocksAndStopAndQuitWork) {
  emit w->BStart->clicked();
  EXPECT_TRUE(SilenceShown());
  EXPECT_TRUE(Responsive(1000));
  EXPECT_TRUE(StopAndWait());
  emit w->BStart->clicked();
  QTest::qWait(300);
  QuitPromptly();
  EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
}

TEST_F(AudioFaults, ServerKilledMidRunGoesSilentAndRecoversWhenItIsBack) {
  ASSERT_TRUE(pulse->Start());
  ASSERT_TRUE(pulse->Tone(8000, 1));
  emit w->BStart->clicked();
  ASSERT_TRUE(ToneShown()) << "peak " << Peak(w->Series1);

  pulse->Kill();
  EXPECT_TRUE(SilenceShown()) << "peak " << Peak(w->Series1);
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(Responsive(1000));
    QTest::qWait(100);
  }
  ASSERT_NE(w->CalcThread, nullptr) << "the run ended by itself";

  // A server again at the same place: the same run picks the signal up.
  ASSERT_TRUE(pulse->Start());
  ASSERT_TRUE(pulse->Tone(8000, 1));
  EXPECT_TRUE(ToneShown()) << "peak " << Peak(w->Series1);

  EXPECT_TRUE(StopAndWait());
  pulse->Kill();
  emit w->BStart->clicked();
  QTest::qWait(500);
  QuitPromptly();
}

TEST_F(AudioFaults, DefaultSourceUnloadedMidRunAndLoadedAgainRecovers) {
  ASSERT_TRUE(pulse->Start());
  ASSERT_TRUE(pulse->Tone(8000, 1));
  emit w->BStart->clicked();
  ASSERT_TRUE(ToneShown()) << "peak " << Peak(w->Series1);

  ASSERT_TRUE(pulse->UnloadSource());
  EXPECT_TRUE(SilenceShown()) << "peak " << Peak(w->Series1);
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(Responsive(1000));
    QTest::qWait(100);
  }
  ASSERT_NE(w->CalcThread, nullptr) << "the run ended by itself";

  ASSERT_TRUE(pulse->LoadSource());
  ASSERT_TRUE(pulse->Tone(8000, 1));
  EXPECT_TRUE(ToneShown()) << "peak " << Peak(w->Series1);
  EXPECT_TRUE(StopAndWait());
  QuitPromptly();
}

TEST_F(AudioFaults, StopAndQuitWhileTheServerIsFrozen) {
  ASSERT_TRUE(pulse->Start());
  ASSERT_TRUE(pulse->Tone(8000, 1));
  emit w->BStart->clicked();
  ASSERT_TRUE(ToneShown());
  pulse->Signal("STOP");
  QTest::qWait(300);
  EXPECT_TRUE(Responsive(1000));
  // Stop ends the run once the current block has ended: by its duration plus 2 s.
  QElapsedTimer clock;
  clock.start();
  EXPECT_TRUE(StopAndWait());
  EXPECT_LT(clock.elapsed(), 2260 + 1500);

  emit w->BStart->clicked();
  QTest::qWait(500);
  QuitPromptly();
}

// The capture itself: a block the frozen server stops feeding ends as silence by its duration
// plus 2 s, and the session records again once the server runs again.
TEST(AudioFaultsCapture, FrozenServerEndsTheBlockAsSilenceWithinItsDurationPlusTwoSeconds) {
  PulseServer pulse;
  ASSERT_TRUE(pulse.Start());
  ASSERT_TRUE(pulse.Tone(8000, 1));
  CaptureSession session;
  std::vector<int16_t> small(2048);
  // A server just started on a busy machine may need a block or two to feed a fresh stream.
  int first = 0;
  for (int i = 0; i < 5 && first < 2048; ++i)
    first = session.Record(1, 8000, small.data(), 2048);
  ASSERT_EQ(first, 2048);
  const auto loudest = [](const std::vector<int16_t>& v, size_t from, size_t to) {
    int m = 0;
    for (size_t i = from; i < to; ++i)
      m = std::max(m, std::abs(int(v[i])));
    return m;
  };
  EXPECT_GT(loudest(small, 0, small.size()), 8000);

  // Late enough that a busy machine's fresh stream (this block opens the device afresh) has
  // delivered, early enough to leave most of the block to the freeze.
  std::thread freezer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    pulse.Signal("STOP");
  });
  const auto start = std::chrono::steady_clock::now();
  AudioDataAcquisition acquisition(1, 32768, 8000, &session);  // 4.1 s at 8000 Hz
  const int got = acquisition.AcquireBlock();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  freezer.join();
  std::printf("frozen server: %d of 32768 frames, block ended after %.2f s\n", got, seconds);
  EXPECT_LT(seconds, 4.1 + 2.0 + 0.5);
  ASSERT_LT(got, 32768);
  ASSERT_GT(got, 0);
  std::vector<int16_t> block(acquisition.Samples(), acquisition.Samples() + 32768);
  EXPECT_GT(loudest(block, 0, static_cast<size_t>(got)), 8000);  // the tone before the freeze
  EXPECT_EQ(loudest(block, static_cast<size_t>(got), block.size()), 0);  // then silence
  pulse.Signal("CONT");
  // Thawed, the server feeds the session again (a block may be lost to the stale stream).
  bool recovered = false;
  for (int i = 0; i < 10 && !recovered; ++i) {
    std::fill(small.begin(), small.end(), int16_t{0});
    recovered = session.Record(1, 8000, small.data(), 2048) == 2048 &&
                loudest(small, 0, small.size()) > 8000;
  }
  EXPECT_TRUE(recovered);
  session.Release();
}

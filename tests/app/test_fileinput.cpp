// "Open audio file...": real files written with libsndfile analysed by the window's worker,
// its end, seeking, pacing, the formats and channel counts, the same table as
// tonvista-analyse, unreadable files, and the way back to a live input.
#include <QAction>
#include <QElapsedTimer>
#include <QFile>
#include <QMenu>
#include <QProcess>
#include <QRadioButton>
#include <QTest>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <numbers>
#include <limits>

#include "AlsaTestDevice.h"
#include "Calcspectrumthread.h"
#include "Dlgdistortion.h"
#include "Filecapture.h"
#include "Fileinput.h"
#include "Inputmenu.h"
#include "MainwindowFixture.h"
#include "Soundfiles.h"

namespace {

double Spacing(const TChartSeries* s) {
  const auto& x = s->XValues();
  return x.size() < 2 ? -1 : x[1] - x[0];
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;

}  // namespace

class FileInputTest : public MainwindowTest {
 protected:
  void SetUp() override {
    MainwindowTest::SetUp();
    ASSERT_NE(FileInput, nullptr);
  }
  void TearDown() override {
    if (w && w->CalcThread) emit w->BStop->clicked();
    WaitFor([&] { return !w || !w->CalcThread; }, 5000);
    MainwindowTest::TearDown();
  }
  std::string Write(const std::string& name, int format, int rate, int channels,
                    const std::vector<double>& samples) {
    const std::string path = dir.File(name);
    EXPECT_EQ(tvtest::WriteSoundFile(path, format, rate, channels, samples), "");
    return path;
  }
  // Through the menu entry, with the dialog answered by the test.
  void Open(const std::string& path) {
    FileInput->DialogRunner = [path] { return QString::fromStdString(path); };
    FileInput->OpenAction->trigger();
  }
  // Starts and waits until the run has stopped by itself.
  bool RunToEnd(int ms = 10000) {
    emit w->BStart->clicked();
    if (!w->CalcThread) return false;
    return WaitFor([&] { return w->CalcThread == nullptr; }, ms);
  }
  void Fast(bool on) {
    if (FileInput->FastAction->isChecked() != on) FileInput->FastAction->trigger();
  }
  // As the next poll will show it.
  QString StateLine() const {
    w->InputMenu->RefreshStateLine();
    return w->Chart1->StateLine();
  }

  tvtest::TempDir dir;
};

TEST_F(FileInputTest, AFileRunsAtItsOwnRateInRealTimeStopsAtItsEndAndStartsOverWithStart) {
  // 8000 Hz stereo beside the settings' 44100 Hz mono: three whole blocks and a partial one.
  const int rate = 8000, n = 2048;
  const std::string path =
      Write("tone.wav", kWav16, rate, 2, tvtest::Sines(rate, 2, 3 * n + 500, {1000.0, 2500.0}));
  EXPECT_EQ(FileInput->OpenAction->shortcut(), QKeySequence("Ctrl+O"));
  Open(path);
  ASSERT_EQ(w->InputMenu->Chosen().kind, InputKind::File);
  EXPECT_EQ(w->InputMenu->Chosen().description, "File: tone.wav");
  EXPECT_EQ(StateLine(), "tone.wav: 0:00.0 / 0:00.8");
  EXPECT_EQ(w->XAxisMax, 4000) << "the axis follows the file's rate";
  EXPECT_TRUE(w->Chart1->MenuActionsWithoutShortcut().empty());

  QElapsedTimer clock;
  clock.start();
  ASSERT_TRUE(RunToEnd());
  // Real time: three blocks of 256 ms each (no upper bound: the machine may be slow).
  EXPECT_GE(clock.elapsed(), 600);
  EXPECT_TRUE(w->BStart->isEnabled()) << "stopped as by Stop";
  EXPECT_TRUE(w->CSamplingRate->isEnabled());
  EXPECT_TRUE(w->CAvg->isEnabled());
  // The last whole block stays: stereo at the file's rate whatever the settings say.
  EXPECT_EQ(w->Series1->XValues().size(), static_cast<size_t>(n / 2));
  EXPECT_DOUBLE_EQ(Spacing(w->Series1), static_cast<double>(rate) / n);
  EXPECT_NEAR(PeakHz(w->Series1), 1000, 4);
  EXPECT_NEAR(PeakHz(w->Series2), 2500, 4);
  EXPECT_EQ(StateLine(), "tone.wav: 0:00.7 / 0:00.8") << "the partial block is left out";
  EXPECT_EQ(w->SamplingRate.load(), 44100.0) << "the settings stay as they were";
  EXPECT_EQ(w->NumChannels.load(), 1);

  // Start at the end begins again; as fast as shown it still shows every block.
  Fast(true);
  w->Series1->ClearPoints();
  ASSERT_TRUE(RunToEnd());
  EXPECT_NEAR(PeakHz(w->Series1), 1000, 4);
  EXPECT_EQ(StateLine(), "tone.wav: 0:00.7 / 0:00.8");
}

TEST_F(FileInputTest, MonoGivesLAndOfSixChannelsTheFirstTwoAreShownAndSaidSo) {
  Fast(true);
  w->CNumChannels->Item(1)->click();  // the settings say stereo
  const int rate = 16000;
  Open(Write("mono.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, rate, 1,
             tvtest::Sines(rate, 1, 4 * 2048, {3000.0})));
  EXPECT_EQ(StateLine(), "mono.flac: 0:00.0 / 0:00.5");
  ASSERT_TRUE(RunToEnd());
  EXPECT_NEAR(PeakHz(w->Series1), 3000, 8);
  EXPECT_TRUE(w->Series2->XValues().empty()) << "mono: no R trace";
  EXPECT_EQ(w->CMark1->count(), 1) << "the marker lists name L only";

  Open(Write("six.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, rate, 6,
             tvtest::Sines(rate, 6, 3 * 2048, {1000.0, 2000.0, 4000.0, 5000.0, 6000.0, 7000.0})));
  EXPECT_EQ(StateLine(), "six.wav: 0:00.0 / 0:00.3 (first 2 of 6 channels)");
  ASSERT_TRUE(RunToEnd());
  EXPECT_NEAR(PeakHz(w->Series1), 1000, 8);
  EXPECT_NEAR(PeakHz(w->Series2), 2000, 8);
  EXPECT_TRUE(StateLine().endsWith("(first 2 of 6 channels)")) << StateLine().toStdString();
}

TEST_F(FileInputTest, FloatSamplesKeepTheirPrecisionBelowOneStepOfSixteenBits) {
  // A sine of 0.25 of a 16-bit step: rounded to 16 bits it would be silence.
  Fast(true);
  const int rate = 44100;
  Open(Write("quiet.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, rate, 1,
             tvtest::Sines(rate, 1, 2 * 2048, {5000.0}, 0.25)));
  ASSERT_TRUE(RunToEnd());
  std::vector<double> y = w->Series1->YValues();
  ASSERT_FALSE(y.empty());
  EXPECT_NEAR(PeakHz(w->Series1), 5000, 25);
  // Far above the rest of the spectrum; in 16 bits every bin would lie at the same floor.
  std::sort(y.begin(), y.end());
  EXPECT_GT(y.back() - y[y.size() / 2], 60.0);
}

TEST_F(FileInputTest, ArrowKeysOnTheChartSeekWhileStoppedAndTheRunBeginsThere) {
  Fast(true);
  // One second of 1 kHz, then one of 3 kHz.
  const int rate = 8000;
  auto samples = tvtest::Sines(rate, 1, rate, {1000.0});
  const auto second = tvtest::Sines(rate, 1, rate, {3000.0});
  samples.insert(samples.end(), second.begin(), second.end());
  Open(Write("two.wav", kWav16, rate, 1, samples));
  EXPECT_EQ(StateLine(), "two.wav: 0:00.0 / 0:02.0");
  QTest::keyClick(w->Chart1, Qt::Key_Right);
  EXPECT_EQ(StateLine(), "two.wav: 0:01.0 / 0:02.0");
  QTest::keyClick(w->Chart1, Qt::Key_Right, Qt::ShiftModifier);
  EXPECT_EQ(StateLine(), "two.wav: 0:02.0 / 0:02.0") << "clamped to the end";
  QTest::keyClick(w->Chart1, Qt::Key_Home);
  EXPECT_EQ(StateLine(), "two.wav: 0:00.0 / 0:02.0");
  QTest::keyClick(w->Chart1, Qt::Key_Left);
  EXPECT_EQ(StateLine(), "two.wav: 0:00.0 / 0:02.0") << "clamped to the start";
  QTest::keyClick(w->Chart1, Qt::Key_Right);

  // From 1 s on only the 3 kHz half is analysed: three whole blocks of it.
  emit w->BStart->clicked();
  ASSERT_TRUE(WaitFor([&] { return !w->Series1->YValues().empty(); }, 5000));
  EXPECT_NEAR(PeakHz(w->Series1), 3000, 4);
  ASSERT_TRUE(WaitFor([&] { return w->CalcThread == nullptr; }, 5000));
  EXPECT_EQ(StateLine(), "two.wav: 0:01.7 / 0:02.0");
  EXPECT_EQ(FileInput->Cursor()->Position(), rate + 3 * 2048);

  // With a live input the keys do nothing to the file.
  const auto cursor = FileInput->Cursor();
  w->InputMenu->Choose(DefaultInput());
  QTest::keyClick(w->Chart1, Qt::Key_Home);
  EXPECT_EQ(cursor->Position(), rate + 3 * 2048);
  EXPECT_EQ(StateLine(), "");
}

TEST_F(FileInputTest, TheWindowsTableEqualsTonvistaAnalyseOverTheSameBlocks) {
  Fast(true);
  w->CAvg->setCurrentIndex(3);  // 4 averages
  w->CBMaxHold->setChecked(true);
  const int rate = 48000, n = 2048, blocks = 12;
  struct Case {
    const char* name;
    int format;
    int channels;
  };
  for (const Case& c :
       {Case{"pcm16.wav", kWav16, 2}, Case{"float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1},
        Case{"pcm24.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 2}}) {
    SCOPED_TRACE(c.name);
    // A sweep of tones, so that the moving mean and the maximum hold both matter.
    std::vector<double> samples;
    for (int b = 0; b < blocks; ++b) {
      const auto part = tvtest::Sines(rate, c.channels, n, {500.0 + 700.0 * b, 9000.0 - 300.0 * b},
                                      3000.0 + 1000.0 * b);
      samples.insert(samples.end(), part.begin(), part.end());
    }
    samples.resize(samples.size() + 700 * static_cast<size_t>(c.channels), 0.0);
    const std::string path = Write(c.name, c.format, rate, c.channels, samples);
    Open(path);
    ASSERT_TRUE(RunToEnd());
    const std::string window = dir.File(std::string(c.name) + ".window.txt");
    QString error;
    ASSERT_TRUE(w->WriteChartText(QString::fromStdString(window), &error)) << error.toStdString();

    const std::string cli = dir.File(std::string(c.name) + ".cli.txt");
    QProcess p;
    p.start(TONVISTA_ANALYSE, {"--average", "4", "--max-hold", "--length", "0.512", "--table",
                               QString::fromStdString(cli), QString::fromStdString(path)});
    ASSERT_TRUE(p.waitForFinished(60000));
    ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    const std::string expected = ReadBytes(cli);
    EXPECT_GT(expected.size(), 1000u);
    EXPECT_TRUE(ReadBytes(window) == expected) << "the tables differ";
  }
}

// The distortion window measures each block's own magnitudes: whatever the main window's "Avg",
// its figures over a file are those of tonvista-analyse --measure --average K over the same
// blocks. Averaging the main window's mean of magnitudes again would read the noise about 1 dB
// low with "Avg" above 1.
TEST_F(FileInputTest, TheDistortionWindowReadsAsTonvistaAnalyseMeasureWhateverTheAverage) {
  Fast(true);
  const int rate = 48000, n = 2048, blocks = 10;
  // L: 997 Hz at -6 dBFS with its second harmonic 40 dB down; R: 3 kHz at -12 dBFS; white
  // noise about 50 dB down on both, different on each.
  std::vector<double> samples(static_cast<size_t>(blocks * n + 700) * 2);
  uint32_t state = 12345;
  auto noise = [&state] {
    state = state * 1664525u + 1013904223u;
    return (static_cast<double>(state >> 8) / 16777216.0 - 0.5) * 200.0;
  };
  for (size_t i = 0; i < samples.size() / 2; ++i) {
    const double t = static_cast<double>(i) / rate;
    samples[2 * i] = 16384 * std::sin(2 * std::numbers::pi * 997 * t) +
                     164 * std::sin(2 * std::numbers::pi * 1994 * t) + noise();
    samples[2 * i + 1] = 8192 * std::sin(2 * std::numbers::pi * 3000 * t) + noise();
  }
  const std::string path = Write("distorted.wav", kWav16, rate, 2, samples);
  ASSERT_NE(FDistortion, nullptr);
  FDistortion->show();
  const int k = 3;

  QProcess p;
  p.start(TONVISTA_ANALYSE,
          {"--measure", "--average", QString::number(k), QString::fromStdString(path)});
  ASSERT_TRUE(p.waitForFinished(60000));
  ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
  std::map<std::string, std::string> cli;
  for (const QString& line : QString::fromUtf8(p.readAllStandardOutput()).split('\n')) {
    const int colon = line.indexOf(": ");
    if (colon > 0) cli[line.left(colon).toStdString()] = line.mid(colon + 2).toStdString();
  }
  ASSERT_EQ(cli.size(), 16u);

  for (const int avg : {1, 4}) {
    SCOPED_TRACE(avg);
    w->CAvg->setCurrentIndex(avg - 1);
    FDistortion->CAverages->setCurrentIndex(0);  // a fresh average
    FDistortion->CAverages->setCurrentIndex(k - 1);
    Open(path);
    ASSERT_TRUE(RunToEnd());
    ASSERT_TRUE(WaitFor([&] { return !FDistortion->DrawPending(); }, 2000));
    EXPECT_EQ(FDistortion->BlocksAveraged(), blocks) << "every block, none twice";
    for (int c = 0; c < 2; ++c) {
      SCOPED_TRACE(c);
      const std::string ch = c == 0 ? "L." : "R.";
      const DistortionResult& r = FDistortion->Results[static_cast<size_t>(c)];
      ASSERT_TRUE(r.Valid);
      // The command line writes these with three places, the window with two.
      EXPECT_NEAR(r.FundamentalHz, std::stod(cli[ch + "fundamental_hz"]), 0.0005);
      EXPECT_NEAR(r.FundamentalDb, std::stod(cli[ch + "fundamental_db"]), 0.0005);
      EXPECT_EQ(FDistortion->LFrequency[c]->text().toStdString(),
                FormatFixed(r.FundamentalHz, 2) + " Hz");
      // The rest the same to the last figure, as both write it.
      const std::pair<const QLabel*, const char*> same[] = {
          {FDistortion->LThdDb[c], "thd_db"},    {FDistortion->LThdPct[c], "thd_pct"},
          {FDistortion->LThdNDb[c], "thd_n_db"}, {FDistortion->LThdNPct[c], "thd_n_pct"},
          {FDistortion->LSinad[c], "sinad_db"},  {FDistortion->LSnr[c], "snr_db"}};
      for (const auto& [label, name] : same)
        EXPECT_EQ(label->text().toStdString(), cli[ch + name]) << name;
    }
  }
  FDistortion->hide();
}

TEST_F(FileInputTest, AnUnreadableFileIsSaidAndChangesNothingAndAFaultMidwayStopsTheRun) {
  const std::string noise = dir.File("noise.wav");
  {
    std::ofstream out(noise, std::ios::binary);
    for (int i = 0; i < 5000; ++i)
      out.put(static_cast<char>(i * 7919 % 251));
  }
  for (const std::string& path : {noise, dir.File("missing.wav"), dir.Path()}) {
    messages.clear();
    Open(path);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].startsWith("The audio file cannot be read.\n" +
                                       QString::fromStdString(path) + ": "))
        << messages[0].toStdString();
    EXPECT_EQ(w->InputMenu->Chosen(), DefaultInput()) << "the input stays as it was";
  }
  // Dialog cancelled: nothing happens.
  messages.clear();
  FileInput->DialogRunner = [] { return QString(); };
  FileInput->OpenAction->trigger();
  EXPECT_TRUE(messages.isEmpty());
  EXPECT_EQ(w->InputMenu->Chosen(), DefaultInput());

  // A FLAC cut short opens (its header is whole) and fails where its samples end.
  Fast(true);
  const int rate = 44100;
  const std::string whole = Write("whole.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, rate, 1,
                                  tvtest::Sines(rate, 1, 3 * rate, {440.0}));
  const std::string cut = dir.File("cut.flac");
  const std::string bytes = ReadBytes(whole);
  std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() / 3);
  Open(cut);
  ASSERT_EQ(w->InputMenu->Chosen().kind, InputKind::File) << messages.join("|").toStdString();
  ASSERT_TRUE(RunToEnd());
  EXPECT_TRUE(w->BStart->isEnabled());
  EXPECT_TRUE(StateLine().startsWith("cut.flac: the file ends after")) << StateLine().toStdString();
  EXPECT_FALSE(w->Series1->YValues().empty()) << "the blocks before the fault were shown";
}

TEST_F(FileInputTest, PickingALiveInputBringsBackTheSettingsRateAndTheFileStaysListed) {
  // The default input replays 44100 Hz mono 7 kHz; the file is 22050 Hz with 2 kHz.
  const std::string raw = dir.File("live.raw");
  tvtest::WriteRawFile(raw, tvtest::MakeTone(44100, 1, 44100 * 20, {7000.0}, {16000.0}));
  tvtest::UseReplayDevice(dir.Path(), raw);
  Fast(true);
  const int rate = 22050;
  Open(Write("long.wav", kWav16, rate, 1, tvtest::Sines(rate, 1, 30 * rate, {2000.0})));
  EXPECT_EQ(w->XAxisMax, 11025);
  emit w->BStart->clicked();
  ASSERT_TRUE(WaitFor([&] { return std::abs(PeakHz(w->Series1) - 2000) < 12; }, 5000));
  EXPECT_DOUBLE_EQ(Spacing(w->Series1), 22050.0 / 2048);
  ASSERT_TRUE(WaitFor([&] { return FileInput->Cursor()->Position() > rate; }, 10000));

  // While running: the worker takes the settings' rate again at its next block.
  QAction* live = nullptr;
  QAction* file = nullptr;
  for (QAction* a : w->InputMenu->Menu()->actions()) {
    if (a->text() == "Default input (system)") live = a;
    if (a->text() == "File: long.wav") file = a;
  }
  ASSERT_NE(live, nullptr);
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(file->isChecked());
  live->trigger();
  EXPECT_EQ(w->XAxisMax, 22050);
  ASSERT_TRUE(WaitFor([&] { return std::abs(PeakHz(w->Series1) - 7000) < 30; }, 8000))
      << PeakHz(w->Series1);
  EXPECT_DOUBLE_EQ(Spacing(w->Series1), 44100.0 / 2048);
  EXPECT_EQ(StateLine(), "");
  emit w->BStop->clicked();
  ASSERT_TRUE(WaitFor([&] { return w->CalcThread == nullptr; }, 5000));

  // The file is still listed, where it was.
  file = nullptr;
  for (QAction* a : w->InputMenu->Menu()->actions())
    if (a->text() == "File: long.wav") file = a;
  ASSERT_NE(file, nullptr);
  file->trigger();
  EXPECT_EQ(w->XAxisMax, 11025);
  EXPECT_TRUE(StateLine().startsWith("long.wav: 0:")) << StateLine().toStdString();
  EXPECT_NE(StateLine(), "long.wav: 0:00.0 / 0:30.0") << "it goes on from where it was";
}

// NaN in a float file: the state line counts them and names where the first was; the chart's
// traces and the octave analyser's meters stay finite, from the samples around them.
TEST_F(FileInputTest, NaNSamplesAreCountedOnTheStateLineAndReachNoTrace) {
  Fast(true);
  const int rate = 44100;
  std::vector<double> s = tvtest::Sines(rate, 1, 8 * 2048, {1000.0}, 16384.0);
  for (int i : {4410, 4411, 9000})
    s[static_cast<size_t>(i)] = std::numeric_limits<double>::quiet_NaN();
  Open(Write("nan.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, rate, 1, s));
  ASSERT_TRUE(RunToEnd());
  EXPECT_EQ(StateLine(),
            "nan.wav: 0:00.3 / 0:00.3, 3 NaN/Inf samples read as 0 (the first at "
            "0:00.1)");
  const std::vector<double>& y = w->Series1->YValues();
  ASSERT_EQ(y.size(), 1024u);
  for (double v : y)
    ASSERT_TRUE(std::isfinite(v));
  EXPECT_NEAR(PeakHz(w->Series1), 1000, 25);
}

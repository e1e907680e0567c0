// The "Impulse response" window on files written here: its table against the real
// `tonvista-analyse --acoustics` on the same files, its saved response and table read back,
// and refusals that keep what was shown.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "Chart.h"
#include "Convolution.h"
#include "Dlgimpulse.h"
#include "Logsweep.h"
#include "Soundfiles.h"

namespace {

const char* const kParams[] = {"edt_s", "t20_s", "t30_s", "c50_db", "c80_db", "d50_pct", "ts_ms"};

// "BAND.PARAM" -> the value's text, as the command line prints it.
std::map<QString, QString> Analyse(const QStringList& args, int* status) {
  QProcess p;
  p.start(QStringLiteral(TONVISTA_ANALYSE), args);
  std::map<QString, QString> values;
  *status = -1;
  if (!p.waitForFinished(120000)) return values;
  *status = p.exitCode();
  for (const QString& l : QString::fromUtf8(p.readAllStandardOutput()).split('\n'))
    if (!l.isEmpty()) values[l.section(": ", 0, 0)] = l.section(": ", 1).section(' ', 0, 0);
  return values;
}

// Exponentially decaying noise of decay time t60 over a floor floorDb below its start.
std::vector<double> Room(double t60, double floorDb, int rate, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> gauss(0.0, 1.0);
  std::vector<double> h(static_cast<size_t>((1.3 * floorDb / 60 * t60 + 0.3) * rate));
  const double k = 13.815510557964274 / t60, floor = std::pow(10.0, -floorDb / 20);
  for (size_t i = 0; i < h.size(); ++i)
    h[i] = 0.1 * (gauss(random) * std::exp(-0.5 * k * static_cast<double>(i) / rate) +
                  floor * gauss(random));
  return h;
}

std::string WriteFloat(const QString& path, const std::vector<double>& fullScale, int rate) {
  std::vector<double> s(fullScale.size());
  for (size_t i = 0; i < s.size(); ++i)
    s[i] = fullScale[i] * 32768.0;
  return tvtest::WriteSoundFile(path.toStdString(), SF_FORMAT_WAV | SF_FORMAT_FLOAT, rate, 1, s);
}

std::vector<double> ReadFloat(const QString& path, int* rate, int* format) {
  SF_INFO info{};
  SNDFILE* f = sf_open(path.toLocal8Bit().constData(), SFM_READ, &info);
  if (!f) return {};
  std::vector<double> x(static_cast<size_t>(info.frames * info.channels));
  sf_command(f, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
  sf_readf_double(f, x.data(), info.frames);
  sf_close(f);
  *rate = info.samplerate;
  *format = info.format;
  return x;
}

// Waits, bounded, for the analysis the window runs; false when it did not end in time.
bool WaitAnalysed(TFImpulse& w, QSignalSpy& spy, int count = 1) {
  return QTest::qWaitFor([&] { return spy.count() >= count && !w.Busy(); }, 60000);
}

// Every cell of the window's table against the command line's line for it: the same text,
// "---" where the command line prints nan or has no line (a band above the rate's range).
// Returns how many cells held numbers.
int ExpectTableIsTheCommandLine(const TFImpulse& w, const std::map<QString, QString>& cli) {
  int numbers = 0;
  const std::vector<QString>& columns = TFImpulse::Columns();
  for (int c = 0; c < static_cast<int>(columns.size()); ++c)
    for (int r = 0; r < TFImpulse::kParameters; ++r) {
      const QString key = columns[c] + "." + kParams[r];
      const auto it = cli.find(key);
      const QString want = it == cli.end() || it->second == "nan" ? "---" : it->second;
      EXPECT_EQ(w.Cell(r, c), want) << key.toStdString();
      numbers += want != "---";
    }
  return numbers;
}

TEST(ImpulseWindow, TableIsTheCommandLinesOnTheSameResponse) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  struct Case {
    double t60, floorDb;
    int rate;
  };
  // A floor 40 dB down leaves T30 unmeasurable; at 16 kHz the 8 kHz octave is not analysed.
  const Case cases[] = {{0.8, 60, 48000}, {0.3, 40, 48000}, {2.0, 80, 44100}, {0.5, 60, 16000}};
  TFImpulse w;
  QSignalSpy spy(&w, &TFImpulse::Analysed);
  int n = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message()
                 << "T " << k.t60 << " floor " << k.floorDb << " rate " << k.rate);
    const QString path = dir.filePath(QString("ir%1.wav").arg(n));
    ASSERT_EQ(WriteFloat(path, Room(k.t60, k.floorDb, k.rate, 10 + n), k.rate), "");
    ASSERT_TRUE(w.OpenResponse(path));
    EXPECT_TRUE(w.Busy());
    ++n;
    ASSERT_TRUE(WaitAnalysed(w, spy, n)) << "the analysis did not end";
    ASSERT_TRUE(spy.last().at(0).toBool()) << w.Status().toStdString();
    int status = 0;
    const auto cli = Analyse({"--acoustics", path}, &status);
    ASSERT_EQ(status, 0);
    const int numbers = ExpectTableIsTheCommandLine(w, cli);
    EXPECT_GE(numbers, 30);
    // The numbers are the room's, not merely equal (the core's own tests hold it to 2 %
    // where the floor allows).
    const double t20 = w.Cell(1, 8).toDouble();
    EXPECT_NEAR(t20, k.t60, 0.05 * k.t60);
    const QString t30 = w.Cell(2, 8);
    if (k.floorDb < 45) {
      EXPECT_EQ(t30, "---");
    }
    if (k.rate < 20000) {
      EXPECT_EQ(w.Cell(1, 7), "---");
    }
    // Every curve was drawn, the decay from 0 dB down.
    EXPECT_GT(w.ChartResponse->Series(0)->PointCount(), 100);
    EXPECT_GT(w.ChartEtc->Series(0)->PointCount(), 100);
    ASSERT_GT(w.ChartDecay->Series(0)->PointCount(), 10);
    EXPECT_NEAR(w.ChartDecay->Series(0)->YValues().front(), 0.0, 0.5);
    EXPECT_GT(w.ChartFrequency->Series(0)->PointCount(), 100);
    for (TChart* chart : {w.ChartResponse, w.ChartEtc, w.ChartDecay, w.ChartFrequency})
      EXPECT_FALSE(chart->RenderImage().isNull());
  }
  if (const char* shot = std::getenv("TONVISTA_IMPULSE_SHOT")) w.grab().save(shot);
}

TEST(ImpulseWindow, RecordingAndSweepGiveTheCommandLinesTable) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const int rate = 48000;
  const LogSweepShape shape = SynchronizedLogSweepShape(20, 20000, 2, rate);
  const std::vector<double> sweep = SynchronizedLogSweep(shape, 0.5, 0.01, 0.01);
  const std::vector<double> recording = tvtest::Convolve(sweep, Room(0.6, 60, rate, 5));
  const QString sweepPath = dir.filePath("sweep.wav"), recPath = dir.filePath("rec.wav");
  ASSERT_EQ(WriteFloat(sweepPath, sweep, rate), "");
  ASSERT_EQ(WriteFloat(recPath, recording, rate), "");
  TFImpulse w;
  QSignalSpy spy(&w, &TFImpulse::Analysed);
  ASSERT_TRUE(w.OpenRecording(recPath, sweepPath));
  ASSERT_TRUE(WaitAnalysed(w, spy)) << "the analysis did not end";
  ASSERT_TRUE(spy.last().at(0).toBool()) << w.Status().toStdString();
  int status = 0;
  const auto cli = Analyse({"--acoustics", "--sweep", sweepPath, recPath}, &status);
  ASSERT_EQ(status, 0);
  EXPECT_GE(ExpectTableIsTheCommandLine(w, cli), 40);
  EXPECT_NEAR(w.Cell(2, 8).toDouble(), 0.6, 0.02 * 0.6);
  // Time zero is the recording's start: the room's onset there, what the division put
  // before it at negative times.
  ASSERT_GT(w.ChartDecay->Series(0)->PointCount(), 10);
  EXPECT_NEAR(w.ChartDecay->Series(0)->XValues().front(), 0.0, 2.0);
  EXPECT_LT(w.ChartResponse->Series(0)->XValues().front(), -10.0);

  // The saved response is the command line's --ir, sample for sample.
  const QString mine = dir.filePath("mine.wav"), theirs = dir.filePath("theirs.wav");
  QString error;
  ASSERT_TRUE(w.SaveResponse(mine, &error)) << error.toStdString();
  Analyse({"--acoustics", "--sweep", sweepPath, "--ir", theirs, recPath}, &status);
  ASSERT_EQ(status, 0);
  int r1 = 0, r2 = 0, f1 = 0, f2 = 0;
  const std::vector<double> a = ReadFloat(mine, &r1, &f1), b = ReadFloat(theirs, &r2, &f2);
  EXPECT_EQ(r1, rate);
  EXPECT_EQ(f1, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  ASSERT_FALSE(a.empty());
  EXPECT_EQ(a, b);
}

TEST(ImpulseWindow, SavedResponseAndTableReadBackWhole) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const int rate = 48000;
  const std::vector<double> h = Room(0.5, 60, rate, 7);
  const QString path = dir.filePath("ir.wav");
  ASSERT_EQ(WriteFloat(path, h, rate), "");
  TFImpulse w;
  QString error;
  // Nothing to save yet, and nothing written.
  EXPECT_FALSE(w.BSaveResponse->isEnabled());
  EXPECT_FALSE(w.SaveResponse(dir.filePath("none.wav"), &error));
  EXPECT_FALSE(w.SaveTable(dir.filePath("none.csv"), &error));
  EXPECT_FALSE(QFile::exists(dir.filePath("none.wav")));
  EXPECT_FALSE(QFile::exists(dir.filePath("none.csv")));

  QSignalSpy spy(&w, &TFImpulse::Analysed);
  ASSERT_TRUE(w.OpenResponse(path));
  ASSERT_TRUE(WaitAnalysed(w, spy)) << "the analysis did not end";
  ASSERT_TRUE(spy.last().at(0).toBool()) << w.Status().toStdString();
  EXPECT_TRUE(w.BSaveResponse->isEnabled());
  EXPECT_TRUE(w.BSaveTable->isEnabled());

  const QString out = dir.filePath("out.wav");
  ASSERT_TRUE(w.SaveResponse(out, &error)) << error.toStdString();
  int r = 0, format = 0;
  const std::vector<double> back = ReadFloat(out, &r, &format);
  EXPECT_EQ(r, rate);
  EXPECT_EQ(format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  ASSERT_EQ(back.size(), h.size());
  for (size_t i = 0; i < h.size(); ++i)
    ASSERT_EQ(back[i], static_cast<double>(static_cast<float>(h[i]))) << i;

  const QString csv = dir.filePath("table.csv");
  ASSERT_TRUE(w.SaveTable(csv, &error)) << error.toStdString();
  QFile f(csv);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QStringList lines = QString::fromUtf8(f.readAll()).split("\r\n");
  ASSERT_EQ(lines.size(), 1 + TFImpulse::kParameters + 1);
  EXPECT_EQ(lines[0], "parameter,63,125,250,500,1000,2000,4000,8000,broadband");
  EXPECT_TRUE(lines.back().isEmpty());
  for (int row = 0; row < TFImpulse::kParameters; ++row) {
    const QStringList cells = lines[row + 1].split(',');
    ASSERT_EQ(cells.size(), 10);
    EXPECT_EQ(cells[0], kParams[row]);
    for (int c = 0; c < 9; ++c)
      EXPECT_EQ(cells[c + 1], w.Cell(row, c));
  }
  EXPECT_NEAR(lines[3].section(',', 9).toDouble(), 0.5, 0.01);

  // A folder in the way: refused with a reason, nothing left behind, the old file kept.
  ASSERT_TRUE(QDir(dir.path()).mkdir("folder.wav"));
  EXPECT_FALSE(w.SaveResponse(dir.filePath("folder.wav"), &error));
  EXPECT_FALSE(error.isEmpty());
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::NoDotAndDotDot).size(), 3);

  // The gate shortens what the frequency response sees: its lowest frequency is then about
  // one over the gate's length, not one over the response's.
  const double wholeLowest = w.ChartFrequency->Series(0)->XValues().front();
  EXPECT_LT(wholeLowest, 20.0);
  w.EGate->setValue(5);
  w.CBGate->setChecked(true);
  ASSERT_GT(w.ChartFrequency->Series(0)->PointCount(), 20);
  EXPECT_GT(w.ChartFrequency->Series(0)->XValues().front(), 150.0);
  EXPECT_LT(w.ChartFrequency->Series(0)->XValues().front(), 250.0);
  // Another band's decay: its own curve.
  const std::vector<double> broadband = w.ChartDecay->Series(0)->YValues();
  w.CBand->setCurrentIndex(w.CBand->findText("1000 Hz"));
  ASSERT_GT(w.CBand->currentIndex(), 0);
  EXPECT_NE(w.ChartDecay->Series(0)->YValues(), broadband);
}

TEST(ImpulseWindow, RefusalsSayWhyAndKeepWhatWasShown) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const int rate = 48000;
  const QString good = dir.filePath("ir.wav");
  ASSERT_EQ(WriteFloat(good, Room(0.8, 60, rate, 9), rate), "");
  TFImpulse w;
  QSignalSpy spy(&w, &TFImpulse::Analysed);
  ASSERT_TRUE(w.OpenResponse(good));
  // One analysis at a time.
  EXPECT_FALSE(w.OpenResponse(good));
  ASSERT_TRUE(WaitAnalysed(w, spy)) << "the analysis did not end";
  ASSERT_EQ(spy.count(), 1);
  const QString t30 = w.Cell(2, 8);
  ASSERT_NE(t30, "---");

  const QString fifo = dir.filePath("fifo.wav");
  ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
  const QString silent = dir.filePath("silent.wav");
  ASSERT_EQ(WriteFloat(silent, std::vector<double>(rate, 0.0), rate), "");
  const QString text = dir.filePath("text.wav");
  {
    QFile f(text);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("not a sound file\n");
  }
  const QString shortSweep = dir.filePath("short.wav");
  ASSERT_EQ(WriteFloat(shortSweep, std::vector<double>(100, 0.1), rate), "");
  struct Bad {
    QString response, sweep;
  };
  const Bad bads[] = {
      {dir.path(), ""}, {fifo, ""},         {dir.filePath("missing.wav"), ""}, {silent, ""},
      {text, ""},       {shortSweep, good}, {good, dir.filePath("x")}};
  int n = 1;
  for (const Bad& b : bads) {
    SCOPED_TRACE(b.response.toStdString() + " " + b.sweep.toStdString());
    ASSERT_TRUE(b.sweep.isEmpty() ? w.OpenResponse(b.response)
                                  : w.OpenRecording(b.response, b.sweep));
    ++n;
    ASSERT_TRUE(WaitAnalysed(w, spy, n)) << "the refusal did not come";
    EXPECT_FALSE(spy.last().at(0).toBool());
    EXPECT_FALSE(w.Status().isEmpty());
    EXPECT_FALSE(w.Status().contains('\n'));
    EXPECT_EQ(w.Cell(2, 8), t30);
    EXPECT_TRUE(w.HasResponse());
  }
}

TEST(ImpulseWindow, ClosingWhileAnalysingIsSafe) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const int rate = 48000;
  const QString path = dir.filePath("ir.wav");
  ASSERT_EQ(WriteFloat(path, Room(2.0, 80, rate, 11), rate), "");
  for (int i = 0; i < 3; ++i) {
    auto w = std::make_unique<TFImpulse>();
    w->show();
    ASSERT_TRUE(w->OpenResponse(path));
    EXPECT_TRUE(w->Busy());
    w->BClose->click();
    EXPECT_FALSE(w->isVisible());
    if (i == 1) QTest::qWait(5);
    w.reset();  // waits for the worker; its result is dropped with the window
  }
  // A result that arrives after the window closed is still shown when it opens again.
  TFImpulse w;
  QSignalSpy spy(&w, &TFImpulse::Analysed);
  ASSERT_TRUE(w.OpenResponse(path));
  w.hide();
  ASSERT_TRUE(WaitAnalysed(w, spy));
  EXPECT_TRUE(spy.last().at(0).toBool());
  EXPECT_NE(w.Cell(1, 8), "---");
}

TEST(ImpulseWindow, MeasureWaitsForASoundOutput) {
  TFImpulse w;
  EXPECT_FALSE(w.BMeasure->isEnabled());
  EXPECT_TRUE(w.BMeasure->toolTip().contains("output"));
  EXPECT_FALSE(w.isVisible());
  for (int r = 0; r < TFImpulse::kParameters; ++r)
    for (int c = 0; c < 9; ++c)
      EXPECT_EQ(w.Cell(r, c), "---");
}

}  // namespace

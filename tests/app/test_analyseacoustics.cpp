// tonvista-analyse --acoustics and --make-sweep, run as the real program on files written here
// with libsndfile; the response it writes is read back.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <complex>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "Convolution.h"
#include "Fft.h"
#include "Logsweep.h"
#include "Roomacoustics.h"
#include "Soundfiles.h"

namespace {

constexpr int kRate = 48000;

struct Result {
  int status = -1;
  QString out, err;
  QStringList lines;
  std::map<QString, QString> values;  // "1000.t30_s" -> "0.803 s"
};

Result Analyse(const QStringList& args) {
  QProcess p;
  p.start(QStringLiteral(TONVISTA_ANALYSE), args);
  Result r;
  if (!p.waitForFinished(120000)) return r;
  r.status = p.exitCode();
  r.out = QString::fromUtf8(p.readAllStandardOutput());
  r.err = QString::fromUtf8(p.readAllStandardError());
  r.lines = r.out.split('\n');
  EXPECT_TRUE(r.lines.back().isEmpty()) << "every line ends in a newline";
  r.lines.removeLast();
  for (const QString& l : r.lines)
    r.values[l.section(": ", 0, 0)] = l.section(": ", 1);
  return r;
}

// Each line of text after name (a newline in it written as \n) and a tab; of notes on stderr,
// the name after the program's.
QString Prefixed(QString name, const QString& text, bool notes = false) {
  name.replace('\n', "\\n");
  QString out;
  for (const QString& l : text.split('\n', Qt::SkipEmptyParts))
    out += (notes ? QString(l).replace("tonvista-analyse: ", "tonvista-analyse: " + name + ": ")
                  : name + '\t' + l) +
           '\n';
  return out;
}

double Value(const Result& r, const char* name) {
  const auto it = r.values.find(name);
  return it == r.values.end() ? -1e300 : it->second.section(' ', 0, 0).toDouble();
}

std::vector<double> Room(double t60, double floorDb, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> gauss(0.0, 1.0);
  std::vector<double> h(static_cast<size_t>((1.3 * floorDb / 60 * t60 + 0.3) * kRate));
  const double k = 13.815510557964274 / t60, floor = std::pow(10.0, -floorDb / 20);
  for (size_t i = 0; i < h.size(); ++i)
    h[i] = 0.1 * (gauss(random) * std::exp(-0.5 * k * static_cast<double>(i) / kRate) +
                  floor * gauss(random));
  return h;
}

// As a float WAV holds them: x / 32768 as float, read back times 32768.
std::string WriteFloat(const QString& path, const std::vector<double>& fullScale) {
  std::vector<double> s(fullScale.size());
  for (size_t i = 0; i < s.size(); ++i)
    s[i] = fullScale[i] * 32768.0;
  return tvtest::WriteSoundFile(path.toStdString(), SF_FORMAT_WAV | SF_FORMAT_FLOAT, kRate, 1, s);
}
std::vector<double> AsRead(const std::vector<double>& fullScale) {
  std::vector<double> s(fullScale.size());
  for (size_t i = 0; i < s.size(); ++i)
    s[i] = static_cast<double>(static_cast<float>(fullScale[i])) * 32768.0;
  return s;
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

using tvtest::Convolve;

const char* const kParams[] = {"edt_s", "t20_s", "t30_s", "c50_db", "c80_db", "d50_pct", "ts_ms"};

TEST(AnalyseAcoustics, ResponseFilePrintsEveryBandAsTheCoreComputesIt) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath("ir.wav");
  const std::vector<double> h = Room(0.8, 60, 1);
  ASSERT_EQ(WriteFloat(path, h), "");
  const Result r = Analyse({"--acoustics", path});
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
  // Eight octaves and broadband, seven parameters each, in that order.
  const char* const bands[] = {"63",   "125",  "250",  "500",      "1000",
                               "2000", "4000", "8000", "broadband"};
  ASSERT_EQ(r.lines.size(), 63);
  int i = 0;
  for (const char* b : bands)
    for (const char* p : kParams)
      EXPECT_EQ(r.lines[i++].section(": ", 0, 0), QString("%1.%2").arg(b, p));
  EXPECT_EQ(r.values.at("1000.t30_s").section(' ', 1), "s");
  EXPECT_EQ(r.values.at("broadband.c80_db").section(' ', 1), "dB");
  EXPECT_EQ(r.values.at("broadband.d50_pct").section(' ', 1), "%");
  EXPECT_EQ(r.values.at("broadband.ts_ms").section(' ', 1), "ms");
  // The numbers the core gives on the samples as the file holds them.
  const std::vector<double> read = AsRead(h);
  const RoomAcoustics room = AnalyseRoom(read.data(), static_cast<int64_t>(read.size()), kRate);
  ASSERT_TRUE(room.valid);
  char want[32];
  std::snprintf(want, sizeof want, "%.3f s", room.broadband.t30.seconds);
  EXPECT_EQ(r.values.at("broadband.t30_s"), want);
  std::snprintf(want, sizeof want, "%.2f dB", room.bands[4].c80Db);
  EXPECT_EQ(r.values.at("1000.c80_db"), want);
  std::snprintf(want, sizeof want, "%.1f ms", room.bands[7].tsMs);
  EXPECT_EQ(r.values.at("8000.ts_ms"), want);
  EXPECT_NEAR(Value(r, "broadband.t30_s"), 0.8, 0.016);
  EXPECT_NEAR(Value(r, "broadband.c80_db"), 10 * std::log10(std::exp(0.08 * 13.8155 / 0.8) - 1),
              0.3);
}

TEST(AnalyseAcoustics, WhatCannotBeMeasuredReadsNanWithItsReason) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath("noisy.wav");
  ASSERT_EQ(WriteFloat(path, Room(0.8, 40, 2)), "");
  const Result r = Analyse({"--acoustics", path});
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(r.values.at("broadband.t30_s"), "nan s");
  EXPECT_NE(r.values.at("broadband.t20_s"), "nan s");
  EXPECT_NEAR(Value(r, "broadband.t20_s"), 0.8, 0.016);
  EXPECT_TRUE(r.err.contains(QRegularExpression(
      "^tonvista-analyse: broadband.t30_s: needs 45.0 dB of decay above the noise, the "
      "response has 3[0-9].[0-9] dB$",
      QRegularExpression::MultilineOption)))
      << r.err.toStdString();
  // One note per nan, none for the rest.
  int nans = 0;
  for (const QString& l : r.lines)
    nans += l.contains(": nan ");
  EXPECT_EQ(r.err.count('\n'), nans);
}

TEST(AnalyseAcoustics, SweepRecordingIsDeconvolvedAndTheResponseWrittenWhole) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString sweepPath = dir.filePath("sweep.wav");
  Result r = Analyse({"--make-sweep", sweepPath});
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  int rate = 0, format = 0;
  const std::vector<double> sweep = ReadFloat(sweepPath, &rate, &format);
  EXPECT_EQ(rate, kRate);
  EXPECT_EQ(format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  // Our own sweep, as the file holds it.
  const LogSweepShape shape = SynchronizedLogSweepShape(20, 20000, 4, kRate);
  const std::vector<double> want = SynchronizedLogSweep(shape, 0.5, 0.01, 0.01);
  ASSERT_EQ(sweep.size(), want.size());
  for (size_t i = 0; i < want.size(); i += 101)
    ASSERT_EQ(sweep[i], static_cast<double>(static_cast<float>(want[i]))) << i;

  // The room, with 10 ms of latency, played through: recording = sweep * h.
  const std::vector<double> h = Room(0.8, 60, 3);
  const size_t latency = kRate / 100;
  std::vector<double> room(latency, 0.0);
  room.insert(room.end(), h.begin(), h.end());
  const std::vector<double> recording = Convolve(sweep, room);
  const QString recPath = dir.filePath("recording.wav");
  ASSERT_EQ(WriteFloat(recPath, recording), "");
  const QString irPath = dir.filePath("ir.wav");
  r = Analyse({"--acoustics", "--sweep", sweepPath, "--ir", irPath, recPath});
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  ASSERT_EQ(r.lines.size(), 63);
  const std::vector<double> ir = ReadFloat(irPath, &rate, &format);
  EXPECT_EQ(format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  // From 250 ms before the recording's start, or half the way to the 2nd harmonic if that is
  // nearer, to its length less the sweep's.
  const double L =
      EstimateLogSweepRateConstant(sweep.data(), static_cast<int64_t>(sweep.size()), kRate);
  EXPECT_NEAR(L, shape.rateConstant, 0.005 * shape.rateConstant);
  const auto pre =
      static_cast<size_t>(std::llround(std::min(0.25, 0.5 * L * std::log(2.0)) * kRate));
  ASSERT_EQ(ir.size(), pre + recording.size() - sweep.size() + 1);
  // Unity gain, no shift: the room's samples where they lie, but for the band the sweep
  // left out (20 to 24 kHz, and the fades' ends).
  int best = 100;
  double bestSum = 0, energy = 0, residual = 0;
  for (int lag = -20; lag <= 20; ++lag) {
    double sum = 0;
    for (size_t i = 0; i < 24000; ++i)
      sum += ir[pre + i + static_cast<size_t>(lag)] * room[i];
    if (sum > bestSum) {
      bestSum = sum;
      best = lag;
    }
  }
  for (size_t i = 0; i < 24000; ++i) {
    energy += room[i] * room[i];
    residual += std::pow(ir[pre + i] - room[i], 2);
  }
  EXPECT_EQ(best, 0);
  EXPECT_NEAR(bestSum / energy, 1.0, 0.2);
  EXPECT_LT(residual / energy, 0.25);
  // The same T30 as the room's own response.
  const RoomAcoustics direct = AnalyseRoom(h.data(), static_cast<int64_t>(h.size()), kRate);
  EXPECT_NEAR(Value(r, "broadband.t30_s"), direct.broadband.t30.seconds,
              0.01 * direct.broadband.t30.seconds);
  // The printed values are those of the response written.
  std::vector<double> back(ir.size());
  for (size_t i = 0; i < ir.size(); ++i)
    back[i] = ir[i];
  const RoomAcoustics fromFile = AnalyseRoom(back.data(), static_cast<int64_t>(back.size()), kRate);
  char text[32];
  std::snprintf(text, sizeof text, "%.2f dB", fromFile.broadband.c50Db);
  EXPECT_EQ(r.values.at("broadband.c50_db"), text);
  // The sweep serves every recording of several: each as analysed alone.
  const Result twice = Analyse({"--acoustics", "--sweep", sweepPath, recPath, recPath});
  ASSERT_EQ(twice.status, 0) << twice.err.toStdString();
  EXPECT_EQ(twice.out, Prefixed(recPath, r.out) + Prefixed(recPath, r.out));
}

TEST(AnalyseAcoustics, BadSweepsExitThreeWithOneLineAndWriteNothing) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString sweepPath = dir.filePath("sweep.wav");
  ASSERT_EQ(Analyse({"--make-sweep", sweepPath, "--sweep-seconds", "1"}).status, 0);
  const QString recPath = dir.filePath("short.wav");
  ASSERT_EQ(WriteFloat(recPath, std::vector<double>(kRate / 2, 0.01)), "");
  const QString irPath = dir.filePath("ir.wav");
  QFile text(dir.filePath("text.wav"));
  ASSERT_TRUE(text.open(QIODevice::WriteOnly));
  text.write("not a sound file\n");
  text.close();
  const QStringList bad[] = {
      {"--acoustics", "--sweep", dir.filePath("missing.wav"), "--ir", irPath, recPath},
      {"--acoustics", "--sweep", text.fileName(), "--ir", irPath, recPath},
      {"--acoustics", "--sweep", dir.path(), "--ir", irPath, recPath},
      {"--acoustics", "--sweep", sweepPath, "--ir", irPath, recPath},  // longer than it
      {"--acoustics", "--ir", irPath, dir.filePath("missing.wav")},
      // A newline in a name stays within the one line.
      {"--acoustics", "--ir", irPath, dir.filePath("missing\nname.wav")},
  };
  for (const QStringList& args : bad) {
    const Result r = Analyse(args);
    EXPECT_EQ(r.status, 3) << args.join(' ').toStdString();
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
    EXPECT_TRUE(r.err.startsWith("tonvista-analyse: ")) << r.err.toStdString();
    EXPECT_FALSE(QFile::exists(irPath));
  }
  EXPECT_TRUE(Analyse(bad[3]).err.contains("is longer than the recording"));
  // Nothing but the files made here.
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 3);
  // A response that is all silence or not numbers is refused the same way.
  const QString silent = dir.filePath("silent.wav");
  ASSERT_EQ(WriteFloat(silent, std::vector<double>(kRate, 0.0)), "");
  Result r = Analyse({"--acoustics", silent});
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(r.err.contains("silent"));
  std::vector<double> nan = Room(0.5, 60, 4);
  nan[100] = NAN;
  const QString nanPath = dir.filePath("nan.wav");
  ASSERT_EQ(WriteFloat(nanPath, nan), "");
  r = Analyse({"--acoustics", "--ir", irPath, nanPath});
  EXPECT_EQ(r.status, 3);
  EXPECT_FALSE(QFile::exists(irPath));
}

TEST(AnalyseAcoustics, OptionsAndOutputs) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath("ir.wav");
  ASSERT_EQ(WriteFloat(path, Room(0.5, 60, 5)), "");
  EXPECT_EQ(Analyse({"--acoustics"}).status, 2);
  EXPECT_EQ(Analyse({"--acoustics", "--fft", "1024", path}).status, 2);
  EXPECT_EQ(Analyse({"--acoustics", "--sweep-from", "30", path}).status, 2);
  EXPECT_EQ(Analyse({"--acoustics", "--make-sweep", dir.filePath("s.wav"), path}).status, 2);
  EXPECT_EQ(Analyse({"--make-sweep", dir.filePath("s.wav"), "--sweep-to", "30000"}).status, 2);
  EXPECT_EQ(Analyse({"--make-sweep", dir.filePath("s.wav"), "--names"}).status, 2);
  const Result help = Analyse({"--acoustics", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.contains("--acoustics [--sweep SWEEP_FILE] [--ir OUT.wav] FILE"));
  // --ir into a folder: status 4, nothing on standard output; the folder is left alone.
  const Result r = Analyse({"--acoustics", "--ir", dir.path(), path});
  EXPECT_EQ(r.status, 4);
  EXPECT_TRUE(r.out.isEmpty());
  // --ir naming an input (here through a link) is refused, and the input left as it was.
  const QString link = dir.filePath("link.wav");
  ASSERT_TRUE(QFile::link(path, link));
  QFile original(path);
  ASSERT_TRUE(original.open(QIODevice::ReadOnly));
  const QByteArray before = original.readAll();
  original.close();
  const Result same = Analyse({"--acoustics", "--ir", link, path});
  EXPECT_EQ(same.status, 4);
  EXPECT_TRUE(same.out.isEmpty());
  EXPECT_EQ(same.err.count('\n'), 1);
  ASSERT_TRUE(original.open(QIODevice::ReadOnly));
  EXPECT_EQ(original.readAll(), before);
  original.close();
  // Without --sweep the response is written as it was read: the same samples.
  const QString copy = dir.filePath("copy.wav");
  ASSERT_EQ(Analyse({"--acoustics", "--ir", copy, path}).status, 0);
  int rate = 0, format = 0, rate2 = 0, format2 = 0;
  EXPECT_EQ(ReadFloat(copy, &rate, &format), ReadFloat(path, &rate2, &format2));
  EXPECT_EQ(rate, rate2);
  // The spectrum's options are untouched by the new ones.
  EXPECT_EQ(Analyse({"--fft", "1024", path}).status, 0);
}

// Several files: each line after its file's name and a tab, the notes naming the file too; a
// file that cannot be analysed named on stderr and skipped, status 3; each good file's lines
// those of its run alone, which stay without a name unless --names asks for one.
TEST(AnalyseAcoustics, SeveralFilesEachAsAlone) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString clean = dir.filePath("clean.wav"), noisy = dir.filePath("noisy\nroom.wav"),
                silent = dir.filePath("silent.wav");
  ASSERT_EQ(WriteFloat(clean, Room(0.8, 60, 1)), "");
  ASSERT_EQ(WriteFloat(noisy, Room(0.5, 40, 2)), "");
  ASSERT_EQ(WriteFloat(silent, std::vector<double>(kRate, 0.0)), "");
  const Result a = Analyse({"--acoustics", clean}), b = Analyse({"--acoustics", noisy}),
               bad = Analyse({"--acoustics", silent});
  ASSERT_EQ(a.status, 0);
  ASSERT_EQ(b.status, 0);
  ASSERT_EQ(bad.status, 3);
  ASSERT_EQ(a.lines.size(), 63);
  EXPECT_TRUE(a.lines[0].startsWith("63.edt_s: ")) << a.lines[0].toStdString();
  EXPECT_NEAR(Value(a, "broadband.t30_s"), 0.8, 0.016);
  EXPECT_NEAR(Value(b, "broadband.t20_s"), 0.5, 0.016);
  EXPECT_TRUE(a.err.isEmpty());
  ASSERT_TRUE(b.err.contains("broadband.t30_s: needs 45.0 dB")) << b.err.toStdString();
  EXPECT_TRUE(bad.out.isEmpty());

  const Result all = Analyse({"--acoustics", clean, silent, noisy});
  EXPECT_EQ(all.status, 3);
  EXPECT_EQ(all.out, Prefixed(clean, a.out) + Prefixed(noisy, b.out));
  EXPECT_EQ(all.err, bad.err + Prefixed(noisy, b.err, true));
  EXPECT_TRUE(all.err.startsWith("tonvista-analyse: " + silent)) << all.err.toStdString();

  const Result named = Analyse({"--acoustics", "--names", noisy});
  EXPECT_EQ(named.status, 0);
  EXPECT_EQ(named.out, Prefixed(noisy, b.out));
  EXPECT_EQ(named.err, Prefixed(noisy, b.err, true));

  // One response file is written of one FILE only: refused before anything is read.
  const QString ir = dir.filePath("ir.wav");
  const Result two = Analyse({"--acoustics", "--ir", ir, clean, noisy});
  EXPECT_EQ(two.status, 2);
  EXPECT_TRUE(two.out.isEmpty());
  EXPECT_EQ(two.err.count('\n'), 1);
  EXPECT_TRUE(two.err.contains("--ir writes one file")) << two.err.toStdString();
  EXPECT_FALSE(QFile::exists(ir));

  // An output that takes nothing stops the run at once: one line, not one per file.
  QProcess p;
  p.setStandardOutputFile("/dev/full");
  p.start(QStringLiteral(TONVISTA_ANALYSE), {"--acoustics", clean, noisy, clean});
  ASSERT_TRUE(p.waitForFinished(120000));
  EXPECT_EQ(p.exitCode(), 4);
  const QString err = QString::fromUtf8(p.readAllStandardError());
  EXPECT_EQ(err, "tonvista-analyse: standard output: No space left on device\n");
}

}  // namespace

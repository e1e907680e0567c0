// tonvista-analyse --octave on WAV files of known tones, written here with libsndfile.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "Soundfiles.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kRate = 48000;

// 16-bit frames of a sine at `db` re full scale (0 dB: amplitude 32767), silent before `from`.
std::vector<short> Sine(double hz, double db, long frames, long from = 0) {
  std::vector<short> out(frames);
  const double a = 32767 * std::pow(10.0, db / 20);
  for (long i = from; i < frames; ++i)
    out[i] = static_cast<short>(std::lround(a * std::sin(2 * kPi * hz * i / kRate)));
  return out;
}

struct Table {
  int status = -1;
  QString out, err;
  QStringList header;
  std::vector<QStringList> rows;
  std::map<QString, double> band;  // first column -> level L
  std::map<QString, double> bandR;
  std::map<QString, QString> lines;  // name -> "value unit"
};

Table Analyse(const QStringList& args) {
  QProcess p;
  p.start(QStringLiteral(TONVISTA_ANALYSE), args);
  Table t;
  if (!p.waitForFinished(120000)) return t;
  t.status = p.exitCode();
  t.out = QString::fromUtf8(p.readAllStandardOutput());
  t.err = QString::fromUtf8(p.readAllStandardError());
  QStringList lines = t.out.split("\r\n");
  EXPECT_TRUE(lines.isEmpty() || lines.back().isEmpty()) << "every line ends in CR LF";
  if (!lines.isEmpty()) lines.removeLast();
  for (int i = 0; i < lines.size(); ++i) {
    EXPECT_FALSE(lines[i].contains('\n'));
    if (i == 0) {
      t.header = lines[i].split(" , ");
    } else if (lines[i].contains(": ")) {
      t.lines[lines[i].section(": ", 0, 0)] = lines[i].section(": ", 1);
    } else {
      const QStringList row = lines[i].split(" , ");
      t.rows.push_back(row);
      if (row.size() >= 3) t.band[row[0]] = row[2].toDouble();
      if (row.size() >= 4) t.bandR[row[0]] = row[3].toDouble();
    }
  }
  return t;
}

double Value(const Table& t, const char* name) {
  const auto it = t.lines.find(name);
  return it == t.lines.end() ? NAN : it->second.section(' ', 0, 0).toDouble();
}

TEST(AnalyseOctave, ThirdOctaveTableOfAStereoFile) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath("tones.wav");
  const long frames = 10 * kRate;
  // L: a full-scale 1 kHz sine; R: 100 Hz at -20 dB.
  ASSERT_EQ(tvtest::WriteWav16(path.toStdString(), kRate,
                               {Sine(1000, 0, frames), Sine(100, -20, frames)}),
            "");
  Table t = Analyse({"--octave", "3", "--quiet", path});
  ASSERT_EQ(t.status, 0) << t.err.toStdString();
  EXPECT_EQ(t.header, (QStringList{"Band[Hz]", "Centre[Hz]", "Level L[dB]", "Level R[dB]"}));
  ASSERT_EQ(t.rows.size(), 31u);  // 20 Hz .. 20 kHz at 48 kHz
  EXPECT_EQ(t.rows.front()[0], "20");
  EXPECT_EQ(t.rows.front()[1], "19.952623");
  EXPECT_EQ(t.rows[17][0], "1000");
  EXPECT_EQ(t.rows[17][1], "1000.000000");
  EXPECT_EQ(t.rows.back()[0], "20000");
  // Full scale reads 0.0 (less the start of the filters, some tens of ms of 10 s).
  EXPECT_NEAR(t.band["1000"], 0.0, 0.05);
  EXPECT_LT(t.band["800"], -15);
  EXPECT_LT(t.band["1250"], -15);
  EXPECT_NEAR(t.bandR["100"], -20.0, 0.05);
  EXPECT_NEAR(Value(t, "L.leq_db"), 0.0, 0.02);
  EXPECT_EQ(t.lines["L.leq_db"].section(' ', 1), "dB(Z)");
  EXPECT_NEAR(Value(t, "L.lmax_f_db"), 0.0, 0.02);
  EXPECT_NEAR(Value(t, "R.leq_db"), -20.0, 0.02);
  EXPECT_NEAR(Value(t, "R.lmax_f_db"), -20.0, 0.05);

  // A weighting: -19.1 dB at 100 Hz, 0 at 1 kHz; the offset adds to everything.
  t = Analyse({"--octave", "3", "--weighting", "A", "--spl-offset", "94", "--quiet", path});
  ASSERT_EQ(t.status, 0) << t.err.toStdString();
  EXPECT_NEAR(t.band["1000"], 94.0, 0.05);
  EXPECT_NEAR(t.bandR["100"], 94 - 20 - 19.1, 0.1);
  EXPECT_NEAR(Value(t, "R.leq_db"), 94 - 20 - 19.1, 0.1);
  EXPECT_EQ(t.lines["R.leq_db"].section(' ', 1), "dB(A)");

  // Other fractions label their bands with the exact mid-band.
  t = Analyse({"--octave", "24", "--quiet", path});
  ASSERT_EQ(t.status, 0) << t.err.toStdString();
  ASSERT_FALSE(t.rows.empty());
  EXPECT_EQ(t.rows.front()[0], t.rows.front()[1]);
  EXPECT_EQ(t.rows.front()[0], "20.241841");
}

TEST(AnalyseOctave, StartLengthAndCalibration) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath("late.wav");
  // Silence for 2 s, then 2 s of 1 kHz at -10 dB.
  ASSERT_EQ(tvtest::WriteWav16(path.toStdString(), kRate, {Sine(1000, -10, 4 * kRate, 2 * kRate)}),
            "");
  Table t = Analyse({"--octave", "1", "--quiet", path});
  ASSERT_EQ(t.status, 0) << t.err.toStdString();
  EXPECT_EQ(t.header, (QStringList{"Band[Hz]", "Centre[Hz]", "Level L[dB]"}));
  EXPECT_NEAR(t.band["1000"], -13.01, 0.05);  // half the time
  EXPECT_NEAR(Value(t, "L.lmax_f_db"), -10.0, 0.05);
  t = Analyse({"--octave", "1", "--start", "2.5", "--length", "1", "--quiet", path});
  ASSERT_EQ(t.status, 0) << t.err.toStdString();
  EXPECT_NEAR(t.band["1000"], -10.0, 0.05);
  t = Analyse({"--octave", "1", "--length", "1.5", "--quiet", path});
  EXPECT_LT(t.band["1000"], -150);  // silence only (minus infinity or the filters' dust)

  // A microphone reading 2 dB high at 1 kHz is corrected down.
  QFile cal(dir.filePath("mic.txt"));
  ASSERT_TRUE(cal.open(QIODevice::WriteOnly));
  cal.write("\"Sens Factor =-1.5dB, SERNO: 123\"\r\n* a comment\r\n10 0 0\r\n500 1\r\n2000 3\r\n");
  cal.close();
  t = Analyse(
      {"--octave", "1", "--start", "2.5", "--calibration", cal.fileName(), "--quiet", path});
  ASSERT_EQ(t.status, 0) << t.err.toStdString();
  EXPECT_NEAR(t.band["1000"], -12.0, 0.05);  // 1 kHz half way between 500 and 2000 on log f

  // A bad file: the line is named, exit 3, no table.
  ASSERT_TRUE(cal.open(QIODevice::WriteOnly));
  cal.write("10 0\n20 x\n");
  cal.close();
  t = Analyse({"--octave", "1", "--calibration", cal.fileName(), path});
  EXPECT_EQ(t.status, 3);
  EXPECT_TRUE(t.err.contains("line 2")) << t.err.toStdString();
  EXPECT_TRUE(t.out.isEmpty());
}

TEST(AnalyseOctave, BadValuesNameTheOption) {
  const struct {
    QStringList args;
    const char* says;
  } cases[] = {
      {{"--octave", "2", "x.wav"}, "--octave '2'"},
      {{"--octave", "three", "x.wav"}, "--octave 'three'"},
      {{"--octave", "3", "--weighting", "B", "x.wav"}, "--weighting 'B'"},
      {{"--octave", "3", "--spl-offset", "loud", "x.wav"}, "--spl-offset 'loud'"},
      {{"--weighting", "A", "x.wav"}, "--weighting needs --octave"},
      {{"--spl-offset", "3", "x.wav"}, "--spl-offset needs --octave"},
      {{"--calibration", "c.txt", "x.wav"}, "--calibration needs --octave"},
      {{"--octave", "3", "--measure", "x.wav"}, "--octave cannot be combined with --measure"},
  };
  for (const auto& c : cases) {
    Table t = Analyse(c.args);
    EXPECT_EQ(t.status, 2) << c.args.join(' ').toStdString();
    EXPECT_TRUE(t.err.contains(c.says)) << t.err.toStdString();
    EXPECT_EQ(t.err.count('\n'), 1) << t.err.toStdString();
  }
}

}  // namespace

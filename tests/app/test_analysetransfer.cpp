// tonvista-analyse --transfer and --delay, run as the real program on stereo files written here
// of systems known in closed form (Transfersignals.h), the outputs read back.
#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "Soundfiles.h"
#include "Transferfunction.h"
#include "Transfersignals.h"

namespace {

using tvtest::cplx;
using tvtest::kPi;
constexpr int kRate = 48000;

struct Outcome {
  int status = -1;
  QByteArray out, err;
};

Outcome Analyse(const QStringList& args) {
  QProcess p;
  p.start(QStringLiteral(TONVISTA_ANALYSE), args);
  Outcome r;
  if (!p.waitForFinished(120000)) {
    p.kill();
    p.waitForFinished(5000);
    return r;
  }
  r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.out = p.readAllStandardOutput();
  r.err = p.readAllStandardError();
  return r;
}

struct Table {
  QStringList header;
  std::vector<QStringList> cells;  // as written
  std::vector<std::vector<double>> rows;
};

Table Parse(const QByteArray& text) {
  Table t;
  QStringList lines = QString::fromUtf8(text).split("\r\n");
  EXPECT_TRUE(!lines.isEmpty() && lines.back().isEmpty()) << "every line ends in CR LF";
  if (!lines.isEmpty()) lines.removeLast();
  for (int i = 0; i < lines.size(); ++i) {
    EXPECT_FALSE(lines[i].contains('\n'));
    const QStringList cells = lines[i].split(" , ");
    if (i == 0) {
      t.header = cells;
      continue;
    }
    t.cells.push_back(cells);
    std::vector<double> row;
    for (const QString& c : cells)
      row.push_back(c == "nan" ? NAN : c.toDouble());
    t.rows.push_back(row);
  }
  return t;
}

std::map<std::string, std::string> Lines(const QByteArray& text) {
  std::map<std::string, std::string> m;
  for (const QString& line : QString::fromUtf8(text).split('\n', Qt::SkipEmptyParts))
    m[line.section(": ", 0, 0).toStdString()] = line.section(": ", 1).toStdString();
  return m;
}

// A stereo 32-bit float WAV: measurement on the left, reference on the right (or swapped).
std::string Write(const QString& path, const tvtest::SignalPair& s, bool referenceLeft = false) {
  std::vector<double> interleaved(2 * s.reference.size());
  for (size_t i = 0; i < s.reference.size(); ++i) {
    interleaved[2 * i] = referenceLeft ? s.reference[i] : s.measurement[i];
    interleaved[2 * i + 1] = referenceLeft ? s.measurement[i] : s.reference[i];
  }
  return tvtest::WriteSoundFile(path.toStdString(), SF_FORMAT_WAV | SF_FORMAT_FLOAT, kRate, 2,
                                interleaved);
}

class AnalyseTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    // 11 s of noise through the +6 dB peaking equaliser at 1 kHz, 240.3 samples late, with
    // noise 40 dB down.
    s_ = tvtest::Periodic(
        1 << 19, 3, [this](double w) { return eq_.Response(w); }, 240.3);
    tvtest::AddNoise(s_.measurement, 40, 4);
    system_ = dir_.filePath("system.wav");
    ASSERT_EQ(Write(system_, s_), "");
  }
  QString Path(const char* name) const { return dir_.filePath(name); }

  QTemporaryDir dir_;
  const tvtest::Biquad eq_ = tvtest::PeakingEq(1000, 6, 1.0, kRate);
  tvtest::SignalPair s_;
  QString system_;
};

// The table of the known system: every bin of the FFT, magnitude within 0.1 dB where the
// coherence reaches 0.99, the phase within 1 degree relative to the found delay up to 5 kHz
// (above, the finder's lean by the equaliser's own group delay shows) and to 20 kHz with the
// delay given.
TEST_F(AnalyseTransfer, TableOfAKnownSystem) {
  for (const bool given : {false, true})
    for (const int fft : {4096, 16384}) {
      QStringList args = {"--transfer", "--fft", QString::number(fft), system_};
      if (given) args << "--delay-ms" << QString::number(240.3 / 48, 'g', 17);
      const Outcome r = Analyse(args);
      ASSERT_EQ(r.status, 0) << r.err.toStdString();
      EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
      const Table t = Parse(r.out);
      EXPECT_EQ(t.header, QStringList({"F-Axis[Hz]", "Magnitude[dB]", "Phase[deg]", "Coherence"}));
      ASSERT_EQ(t.rows.size(), static_cast<size_t>(fft / 2));
      double worstM = 0, worstP = 0;
      int checked = 0;
      for (size_t k = 0; k < t.rows.size(); ++k) {
        const std::vector<double>& row = t.rows[k];
        ASSERT_EQ(row.size(), 4u);
        // Six decimals.
        for (const QString& c : t.cells[k])
          if (c != "nan") {
            EXPECT_EQ(c.section('.', 1).size(), 6) << c.toStdString();
          }
        EXPECT_NEAR(row[0], k * double(kRate) / fft, 5.01e-7);
        const double f = row[0];
        if (f < 20 || f > 20000 || !(row[3] >= 0.99)) continue;
        ++checked;
        const cplx h = eq_.Response(2 * kPi * f / kRate);
        worstM = std::max(worstM, std::fabs(row[1] - 20 * std::log10(std::abs(h))));
        if (given || f <= 5000)
          worstP =
              std::max(worstP, std::fabs(tvtest::WrapDegrees(row[2] - std::arg(h) * 180 / kPi)));
      }
      EXPECT_GT(checked, fft * 4 / 10);
      EXPECT_LE(worstM, 0.1) << fft << (given ? " given" : " found");
      EXPECT_LE(worstP, 1.0) << fft << (given ? " given" : " found");
      std::printf("%d points, delay %s: worst magnitude %.4f dB, phase %.4f deg\n", fft,
                  given ? "given" : "found", worstM, worstP);
    }
}

// The same numbers as the shared core gives on the same samples, with the options passed on:
// reference on the left, window, last K blocks, smoothing; --table writes what standard output
// would show.
TEST_F(AnalyseTransfer, OptionsReachTheCoreAndTheTableFileHoldsTheSame) {
  const QString swapped = Path("swapped.wav");
  ASSERT_EQ(Write(swapped, s_, true), "");
  // The file holds the samples as floats of x / 32768.
  tvtest::SignalPair stored = s_;
  for (auto* v : {&stored.reference, &stored.measurement})
    for (double& x : *v)
      x = static_cast<double>(static_cast<float>(x / 32768.0)) * 32768.0;
  struct Case {
    QStringList args;
    TransferSettings settings;
    double delay;
  };
  TransferSettings last;
  last.Length = 8192;
  last.Window = WindowBlackman;
  last.Averaging = TransferAveraging::Last;
  last.Blocks = 8;
  last.Smoothing = 3;
  TransferSettings slow;
  slow.Length = 2048;
  slow.Window = WindowBlackmanHarris;
  slow.Averaging = TransferAveraging::Slow;
  slow.Smoothing = 48;
  const std::vector<Case> cases = {
      {{"--transfer", "--reference", "L", "--fft", "8192", "--window", "Blackman", "--average", "8",
        "--smoothing", "1/3", "--delay-ms", "0", swapped},
       last,
       0.0},
      {{"--transfer", "--fft=2048", "--window", "blackman-harris", "--average", "slow",
        "--smoothing", "1/48", "--delay-ms", "5", system_},
       slow,
       240.0},
  };
  for (const Case& c : cases) {
    const std::string shown = c.args.join(' ').toStdString();
    const Outcome r = Analyse(c.args);
    ASSERT_EQ(r.status, 0) << shown << ": " << r.err.toStdString();
    const QString table = Path("out.txt");
    const Outcome w = Analyse(QStringList(c.args) << "--table" << table);
    ASSERT_EQ(w.status, 0) << w.err.toStdString();
    EXPECT_TRUE(w.out.isEmpty());
    QFile f(table);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), r.out) << shown;

    Transferfunction core(c.settings, kRate);
    ASSERT_TRUE(core.SetDelay(c.delay));
    core.Push(stored.measurement.data(), stored.reference.data(),
              static_cast<int>(stored.reference.size()));
    const TransferResult expected = core.Result();
    const Table t = Parse(r.out);
    ASSERT_EQ(t.rows.size(), static_cast<size_t>(c.settings.Length / 2)) << shown;
    const auto text = [](double v) {
      char cell[64];
      std::snprintf(cell, sizeof cell, "%f", v);
      return std::isnan(v) ? std::string("nan") : std::string(cell);
    };
    for (size_t k = 0; k < t.rows.size(); ++k) {
      ASSERT_EQ(t.cells[k][1].toStdString(), text(expected.MagnitudeDb[k])) << shown << " " << k;
      ASSERT_EQ(t.cells[k][2].toStdString(), text(expected.PhaseDeg[k])) << shown << " " << k;
      ASSERT_EQ(t.cells[k][3].toStdString(), text(expected.Coherence[k])) << shown << " " << k;
    }
  }
}

// Where the reference carries nothing the rows say nan, never a guess.
TEST_F(AnalyseTransfer, SilentBandsAreNan) {
  const auto source = [](double w) {
    const double f = w * kRate / (2 * kPi);
    return f > 200 && f < 2000 ? 1.0 : 0.0;
  };
  const tvtest::SignalPair s = tvtest::Periodic(
      1 << 19, 5, [](double) { return 0.5; }, 0.0, 3000.0, source);
  const QString path = Path("band.wav");
  ASSERT_EQ(Write(path, s), "");
  const Outcome r = Analyse({"--transfer", "--delay-ms", "0", path});
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  const Table t = Parse(r.out);
  int nan = 0, valid = 0;
  for (const auto& row : t.rows) {
    if (row[0] > 4000) {
      EXPECT_TRUE(std::isnan(row[1]) && std::isnan(row[2]) && std::isnan(row[3])) << row[0];
      ++nan;
    }
    if (row[0] > 300 && row[0] < 1800) {
      EXPECT_NEAR(row[1], 20 * std::log10(0.5), 0.01) << row[0];
      ++valid;
    }
  }
  EXPECT_GT(nan, 5000);
  EXPECT_GT(valid, 400);
}

// Samples that are not numbers: their blocks are left out, the rest still measure and the run
// ends with status 3 and a note; a file with one in every block is refused. A recording shorter
// than the finder's block still gives its delay.
TEST_F(AnalyseTransfer, NonFiniteSamplesAndShortFiles) {
  tvtest::SignalPair s = s_;
  s.measurement[200000] = NAN;
  const QString one = Path("one-nan.wav");
  ASSERT_EQ(Write(one, s), "");
  Outcome r = Analyse(
      {"--transfer", "--fft", "4096", "--delay-ms", QString::number(240.3 / 48, 'g', 17), one});
  // The table stands, from the other blocks; the sample is said in one line, and the run is a
  // refusal of the input as measured, as in every mode.
  ASSERT_EQ(r.status, 3) << r.err.toStdString();
  EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
  EXPECT_TRUE(
      r.err.contains("1 non-finite samples (NaN or Inf) left out, the first at frame 200000"))
      << r.err.toStdString();
  const Table t = Parse(r.out);
  ASSERT_EQ(t.rows.size(), 2048u);
  for (const auto& row : t.rows)
    if (row[0] > 100 && row[0] < 20000) {
      const cplx h = eq_.Response(2 * kPi * row[0] / kRate);
      EXPECT_NEAR(row[1], 20 * std::log10(std::abs(h)), 0.1) << row[0];
    }
  for (size_t i = 0; i < s.measurement.size(); i += 1000)
    s.measurement[i] = NAN;
  const QString many = Path("many-nan.wav");
  ASSERT_EQ(Write(many, s), "");
  const QString table = Path("nan.txt");
  r = Analyse({"--transfer", "--table", table, many});
  EXPECT_EQ(r.status, 3) << r.err.toStdString();
  EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
  EXPECT_FALSE(QFileInfo::exists(table));

  // Channels with nothing in common: the table with a note that no delay was found; --delay
  // refuses.
  tvtest::SignalPair unrelated = tvtest::Periodic(
      1 << 18, 21, [](double) { return 1.0; }, 0.0);
  unrelated.measurement = tvtest::Periodic(
                              1 << 18, 22, [](double) { return 1.0; }, 0.0)
                              .measurement;
  const QString apart = Path("unrelated.wav");
  ASSERT_EQ(Write(apart, unrelated), "");
  r = Analyse({"--transfer", "--fft", "2048", apart});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Parse(r.out).rows.size(), 1024u);
  EXPECT_TRUE(r.err.contains("no delay found") && r.err.count('\n') == 1) << r.err.toStdString();
  r = Analyse({"--delay", apart});
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(r.out.isEmpty());

  // Half a second.
  tvtest::SignalPair shortPair = s_;
  shortPair.reference.resize(24000);
  shortPair.measurement.resize(24000);
  const QString cut = Path("short.wav");
  ASSERT_EQ(Write(cut, shortPair), "");
  r = Analyse({"--delay", cut});
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_NEAR(std::stod(Lines(r.out)["delay_samples"]), 240.3, 0.1);
  r = Analyse({"--transfer", "--fft", "1024", cut});
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  EXPECT_EQ(Parse(r.out).rows.size(), 512u);

  // --delay leaves out the blocks that hold one as well, and says so: status 3, the delay of
  // the others; of a file too short to leave any, the samples are named as the reason, not
  // the channels.
  r = Analyse({"--delay", one});
  EXPECT_EQ(r.status, 3) << r.err.toStdString();
  EXPECT_NEAR(std::stod(Lines(r.out)["delay_samples"]), 240.3, 0.05);
  EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
  EXPECT_TRUE(
      r.err.contains("1 non-finite samples (NaN or Inf) left out, the first at frame 200000"))
      << r.err.toStdString();
  shortPair.reference[1000] = INFINITY;
  const QString shortNan = Path("short-nan.wav");
  ASSERT_EQ(Write(shortNan, shortPair), "");
  r = Analyse({"--delay", shortNan});
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(r.out.isEmpty());
  EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains("left out, the first at frame 1000") &&
              !r.err.contains("nothing in common"))
      << r.err.toStdString();
}

// --delay: whole and fractional delays, polarity, reference either side.
TEST_F(AnalyseTransfer, DelayLines) {
  Outcome r = Analyse({"--delay", system_});
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out.toStdString();
  const double samples = std::stod(lines["delay_samples"]);
  // The equaliser's own group delay pulls the peak by some 0.02 samples.
  EXPECT_NEAR(samples, 240.3, 0.05);
  ASSERT_TRUE(lines["delay_ms"].ends_with(" ms"));
  EXPECT_NEAR(std::stod(lines["delay_ms"]), samples / 48.0, 1e-4);
  EXPECT_EQ(lines["polarity"], "normal");

  const tvtest::SignalPair inverted = tvtest::Periodic(
      1 << 19, 7, [](double) { return -0.7; }, 480.0);
  const QString path = Path("inverted.wav");
  ASSERT_EQ(Write(path, inverted, true), "");
  r = Analyse({"--delay", "--reference", "L", path});
  ASSERT_EQ(r.status, 0) << r.err.toStdString();
  lines = Lines(r.out);
  EXPECT_EQ(lines["delay_samples"], "480.000");
  EXPECT_EQ(lines["delay_ms"], "10.0000 ms");
  EXPECT_EQ(lines["polarity"], "inverted");
  // With the channels taken the other way round the measurement leads.
  r = Analyse({"--delay", path});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(Lines(r.out)["delay_samples"], "-480.000");
}

// Refusals: one line on stderr, the status of the README's table, nothing written.
TEST_F(AnalyseTransfer, RefusalsWriteNothing) {
  const QString mono = Path("mono.wav");
  ASSERT_EQ(tvtest::WriteSoundFile(mono.toStdString(), SF_FORMAT_WAV | SF_FORMAT_PCM_16, kRate, 1,
                                   std::vector<double>(48000, 100.0)),
            "");
  const QString table = Path("table.txt");
  const QString kept = Path("kept.txt");
  {
    QFile f(kept);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("old\n");
  }
  struct Case {
    QStringList args;
    int status;
  };
  const std::vector<Case> cases = {
      {{"--transfer", "--table", table, mono}, 3},
      {{"--delay", mono}, 3},
      {{"--transfer", "--reference", "X", "--table", table, system_}, 2},
      {{"--delay", "--reference", "", system_}, 2},
      {{"--transfer", "--smoothing", "1/5", "--table", table, system_}, 2},
      {{"--transfer", "--smoothing", "3", "--table", table, system_}, 2},
      {{"--transfer", "--fft", "512", "--table", table, system_}, 2},
      {{"--transfer", "--fft", "131072", "--table", table, system_}, 2},
      {{"--transfer", "--average", "129", "--table", table, system_}, 2},
      {{"--transfer", "--delay-ms", "nan", "--table", table, system_}, 2},
      {{"--transfer", "--window", "Kaiser", "--table", table, system_}, 2},
      {{"--transfer", "--octave", "3", "--table", table, system_}, 2},
      {{"--transfer", "--delay", system_}, 2},
      {{"--delay", "--smoothing", "1/3", system_}, 2},
      {{"--transfer", "--table", kept, mono}, 3},
      {{"--transfer", "--table", table, Path("missing.wav")}, 3},
      // A newline in a name or value stays within the one line.
      {{"--delay", Path("missing\nname.wav")}, 3},
      {{"--transfer", "--window", "Kaiser\nBessel", "--table", table, system_}, 2},
      {{"--transfer", "--table", table}, 2},
      // The table is one output: one FILE; --names is --delay's.
      {{"--transfer", system_, system_}, 2},
      {{"--transfer", "--table", table, system_, system_}, 2},
      {{"--delay", "--table", table, system_, system_}, 2},
      {{"--transfer", "--names", system_}, 2},
  };
  for (const Case& c : cases) {
    const Outcome r = Analyse(c.args);
    const std::string shown = c.args.join(' ').toStdString();
    EXPECT_EQ(r.status, c.status) << shown;
    EXPECT_TRUE(r.out.isEmpty()) << shown;
    const QString err = QString::fromUtf8(r.err);
    EXPECT_TRUE(err.startsWith("tonvista-analyse: ") && err.count('\n') == 1 && err.endsWith('\n'))
        << shown << ": " << err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(table)) << shown;
  }
  QFile f(kept);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll(), QByteArray("old\n"));
  // The recording named as the table, directly or through a link: refused, the file unchanged.
  const QString link = Path("link.wav");
  ASSERT_TRUE(QFile::link(system_, link));
  for (const QString& table : {system_, link}) {
    const qint64 size = QFileInfo(system_).size();
    const Outcome r = Analyse({"--transfer", "--table", table, system_});
    EXPECT_EQ(r.status, 2) << table.toStdString();
    EXPECT_TRUE(r.err.contains("is the input file")) << r.err.toStdString();
    EXPECT_EQ(QFileInfo(system_).size(), size);
  }
  // The help names both modes and their defaults.
  const Outcome help = Analyse({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* text : {"--transfer", "--delay", "default R", "default 16384", "\"Hanning\")",
                           "every block (default)"})
    EXPECT_TRUE(help.out.contains(text)) << text;
}

// Each line of text after name (a newline in it written as \n) and a tab.
QByteArray Prefixed(QString name, const QByteArray& text) {
  name.replace('\n', "\\n");
  QByteArray out;
  for (const QByteArray& l : text.split('\n'))
    if (!l.isEmpty()) out += name.toUtf8() + '\t' + l + '\n';
  return out;
}

// --delay of several files: each line after its file's name and a tab, a file that cannot be
// analysed named on stderr and skipped, status 3; each good file's lines those of its run
// alone, which stay as they were (no name) unless --names asks for one.
TEST_F(AnalyseTransfer, DelayOfSeveralFiles) {
  const QString second = Path("inverted\nsystem.wav"), mono = Path("mono.wav");
  ASSERT_EQ(Write(second, tvtest::Periodic(
                              1 << 18, 7, [](double) { return -0.7; }, 480.0)),
            "");
  ASSERT_EQ(tvtest::WriteSoundFile(mono.toStdString(), SF_FORMAT_WAV | SF_FORMAT_PCM_16, kRate, 1,
                                   std::vector<double>(48000, 100.0)),
            "");
  const Outcome a = Analyse({"--delay", system_}), b = Analyse({"--delay", second}),
                bad = Analyse({"--delay", mono});
  ASSERT_EQ(a.status, 0) << a.err.toStdString();
  ASSERT_EQ(b.status, 0) << b.err.toStdString();
  EXPECT_TRUE(a.err.isEmpty() && b.err.isEmpty());
  EXPECT_TRUE(QRegularExpression("^delay_samples: 240\\.[23][0-9]{2}\ndelay_ms: 5\\.00[0-9]{2} "
                                 "ms\npolarity: normal\n$")
                  .match(QString::fromUtf8(a.out))
                  .hasMatch())
      << a.out.toStdString();
  EXPECT_EQ(b.out, "delay_samples: 480.000\ndelay_ms: 10.0000 ms\npolarity: inverted\n");
  ASSERT_EQ(bad.status, 3);
  EXPECT_TRUE(bad.out.isEmpty());

  const Outcome all = Analyse({"--delay", system_, mono, second});
  EXPECT_EQ(all.status, 3);
  EXPECT_EQ(all.out, Prefixed(system_, a.out) + Prefixed(second, b.out));
  EXPECT_EQ(all.err, bad.err);
  EXPECT_TRUE(all.err.contains(mono.toUtf8() + ": mono")) << all.err.toStdString();
  // The reference is taken the same way in every file.
  const Outcome left = Analyse({"--delay", "--reference", "L", second, second});
  EXPECT_EQ(left.status, 0);
  EXPECT_EQ(left.out.count("delay_samples: -480.000\n"), 2) << left.out.toStdString();

  const Outcome named = Analyse({"--delay", "--names", second});
  EXPECT_EQ(named.status, 0);
  EXPECT_EQ(named.out, Prefixed(second, b.out));

  // An output that takes nothing stops the run at once: one line, not one per file.
  QProcess p;
  p.setStandardOutputFile("/dev/full");
  p.start(QStringLiteral(TONVISTA_ANALYSE), {"--delay", system_, second});
  ASSERT_TRUE(p.waitForFinished(120000));
  EXPECT_EQ(p.exitCode(), 4);
  EXPECT_EQ(p.readAllStandardError(),
            "tonvista-analyse: standard output: No space left on device\n");
}

}  // namespace

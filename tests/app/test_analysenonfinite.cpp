// tonvista-analyse on float files with NaN and Inf samples, written here with libsndfile and
// read back by the real program: the numbers come from the finite samples, a note names how
// many were not and where the first was, and the run ends with exit status 3.
#include <gtest/gtest.h>

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "Soundfiles.h"

namespace {

constexpr int kRate = 48000;
constexpr int kFloat = SF_FORMAT_WAV | SF_FORMAT_FLOAT;

struct Outcome {
  int status = -1;
  std::string out, err;
};

Outcome Analyse(const QStringList& args) {
  QProcess p;
  p.start(QStringLiteral(TONVISTA_ANALYSE), args);
  Outcome r;
  if (!p.waitForFinished(120000)) return r;
  r.status = p.exitCode();
  r.out = p.readAllStandardOutput().toStdString();
  r.err = p.readAllStandardError().toStdString();
  return r;
}

// The value of "name: value unit" in the output, NaN where it is missing.
double Value(const std::string& out, const std::string& name) {
  const size_t at = out.find(name + ": ");
  if (at == std::string::npos) return NAN;
  return std::strtod(out.c_str() + at + name.size() + 2, nullptr);
}

}  // namespace

TEST(AnalyseNonFinite, NaNAndInfAreCountedReadAsZeroAndMakeTheRunARefusal) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  // 1 kHz at -6.021 dB for 2 s, mono; three NaN and an Inf among them.
  std::vector<double> samples = tvtest::Sines(kRate, 1, 2 * kRate, {1000.0}, 16384.0);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (int i : {4800, 4801, 60000})
    samples[static_cast<size_t>(i)] = nan;
  samples[70000] = std::numeric_limits<double>::infinity();
  const QString path = dir.filePath("nan.wav");
  ASSERT_EQ(tvtest::WriteSoundFile(path.toStdString(), kFloat, kRate, 1, samples), "");
  const std::string note = "tonvista-analyse: " + path.toStdString() +
                           ": 4 non-finite samples (NaN or Inf) read as 0, the first at frame "
                           "4800 (0.1 s)\n";

  Outcome r = Analyse({"--quiet", "--measure", path});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, note);
  EXPECT_NEAR(Value(r.out, "L.fundamental_db"), -6.021, 0.005) << r.out;
  EXPECT_NEAR(Value(r.out, "L.fundamental_hz"), 1000, 0.1);
  EXPECT_LT(Value(r.out, "L.thd_n_db"), -40) << r.out;

  r = Analyse({"--quiet", "--octave", "3", path});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, note);
  EXPECT_EQ(r.out.find("inf"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("nan"), std::string::npos) << r.out;
  EXPECT_NEAR(Value(r.out, "L.leq_db"), -6.02, 0.05) << r.out;

  r = Analyse({"--quiet", path});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, note);
  EXPECT_EQ(r.out.find("nan"), std::string::npos);
  EXPECT_EQ(r.out.find("inf"), std::string::npos);
  EXPECT_NE(r.out.find("F-Axis[Hz]"), std::string::npos);

  // Finite samples only: the same file without them reads exit 0 and no note.
  for (int i : {4800, 4801, 60000, 70000})
    samples[static_cast<size_t>(i)] = 0;
  const QString clean = dir.filePath("clean.wav");
  ASSERT_EQ(tvtest::WriteSoundFile(clean.toStdString(), kFloat, kRate, 1, samples), "");
  r = Analyse({"--quiet", "--measure", clean});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

TEST(AnalyseNonFinite, AFileOfNothingButNaNIsRefused) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath("allnan.wav");
  ASSERT_EQ(tvtest::WriteSoundFile(path.toStdString(), kFloat, kRate, 2,
                                   std::vector<double>(2 * 8192, NAN)),
            "");
  for (const QStringList& mode :
       {QStringList{"--measure"}, QStringList{"--octave", "1"}, QStringList{}}) {
    const Outcome r = Analyse(QStringList{"--quiet"} + mode + QStringList{path});
    EXPECT_EQ(r.status, 3) << mode.join(' ').toStdString();
    EXPECT_EQ(r.out, "") << mode.join(' ').toStdString();
    EXPECT_EQ(r.err, "tonvista-analyse: " + path.toStdString() +
                         ": holds no finite sample in the part analysed (16384 NaN or Inf)\n");
  }
}

// Microphone calibration files: the usual text forms, interpolation on log frequency, and bad
// files refused with the line named.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cmath>
#include <fstream>
#include <string>

#include "Calibrationfile.h"

namespace {

TEST(CalibrationFile, ReadsTheUsualForms) {
  std::string error;
  auto f = CalibrationFile::Parse(
      "\"Sens Factor =-1.23dB, SERNO: 7001234\"\r\n"
      "* measured in a free field\r\n"
      "\r\n"
      "20\t-2.0\t12.5\r\n"
      "  80 , -0.5\r\n"
      "1000;0\r\n"
      "8000 1.5e0 -3\r\n"
      "20000 +4\r\n",
      &error);
  ASSERT_TRUE(f) << error;
  ASSERT_EQ(f->Points().size(), 5u);
  EXPECT_TRUE(f->HasSensitivity());
  EXPECT_DOUBLE_EQ(f->SensitivityDb(), -1.23);
  EXPECT_DOUBLE_EQ(f->ResponseDb(1000), 0.0);
  EXPECT_DOUBLE_EQ(f->ResponseDb(20), -2.0);
  // Half way on the log axis between 20 and 80 Hz is 40 Hz.
  EXPECT_NEAR(f->ResponseDb(40), -1.25, 1e-12);
  EXPECT_NEAR(f->ResponseDb(std::sqrt(1000.0 * 8000.0)), 0.75, 1e-12);
  EXPECT_NEAR(f->CorrectionDb(std::sqrt(1000.0 * 8000.0)), -0.75, 1e-12);
  // Held outside the range.
  EXPECT_DOUBLE_EQ(f->ResponseDb(5), -2.0);
  EXPECT_DOUBLE_EQ(f->ResponseDb(40000), 4.0);

  auto g = CalibrationFile::Parse("Sens Factor =0.7dB\n100 1\n", &error);
  ASSERT_TRUE(g) << error;
  EXPECT_DOUBLE_EQ(g->SensitivityDb(), 0.7);
  EXPECT_DOUBLE_EQ(g->ResponseDb(1), 1.0);
  auto h = CalibrationFile::Parse("100 1\n200 2", &error);  // no newline at the end
  ASSERT_TRUE(h) << error;
  EXPECT_FALSE(h->HasSensitivity());
  EXPECT_EQ(h->Points().size(), 2u);

  EXPECT_DOUBLE_EQ(CalibratorOffsetDb(-20.5, 94.0), 114.5);
  EXPECT_DOUBLE_EQ(CalibratorOffsetDb(-0.5, 114.0), 114.5);
}

TEST(CalibrationFile, BadFilesNameTheLine) {
  const struct {
    const char* text;
    const char* says;
  } cases[] = {
      {"* x\n10 0\n20 abc\n", "line 3: expected 'frequency dB [phase]', found '20 abc'"},
      {"10 0\n5 1\n", "line 2: frequency not above the previous line's"},
      {"10 0\n10 1\n", "line 2: frequency not above"},
      {"-10 0\n", "line 1: frequency not above 0 Hz"},
      {"10\n", "line 1: expected"},
      {"10 1 2 3\n", "line 1: expected"},
      {"* only comments\n\n", "no 'frequency dB' lines"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(CalibrationFile::Parse(c.text, &error)) << c.text;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const std::string path = dir.filePath("mic.txt").toStdString();
  std::string error;
  EXPECT_FALSE(CalibrationFile::Load(path, &error));
  EXPECT_NE(error.find(path), std::string::npos) << error;
  std::ofstream(path) << "100 1\n200 x\n";
  EXPECT_FALSE(CalibrationFile::Load(path, &error));
  EXPECT_EQ(error.rfind(path + ": line 2:", 0), 0u) << error;
  std::ofstream(path) << "100 1\n200 2\n";
  auto ok = CalibrationFile::Load(path, &error);
  ASSERT_TRUE(ok) << error;
  EXPECT_NEAR(ok->ResponseDb(std::sqrt(20000.0)), 1.5, 1e-12);
}

}  // namespace

// The table of traces shared by "Save Chart..." and tonvista-analyse: "%f" numbers, the
// columns present, its reader, and a writer that never leaves a part of a file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QString>
#include <cstdio>
#include <fstream>
#include <random>

#include "AlsaTestDevice.h"
#include "Spectrumtable.h"

namespace {

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Put(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

QStringList Names(const std::string& dir) {
  return QDir(QString::fromStdString(dir))
      .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

}  // namespace

TEST(Spectrumtable, NumbersAreThoseOfPrintfPercentF) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> level(-300.0, 50.0);
  std::vector<double> x, y;
  for (int i = 0; i < 2000; ++i) {
    x.push_back(i * 21.533203125);
    y.push_back(i < 1990 ? level(rng) : std::ldexp(level(rng), i - 1990 + 40));
  }
  // Halfway cases and the sign of zero.
  y[0] = -0.0;
  y[1] = 0.0000005;
  y[2] = -1.0000005;
  y[3] = 2.5e-7;
  const std::string text = FormatSpectrumTable({TableTrace{x, y}, {}, {}, {}}, 5000);
  std::string expected = "F-Axis[Hz] , Data L[dB]\r\n";
  char line[600];
  for (size_t i = 0; i < x.size(); ++i) {
    std::snprintf(line, sizeof line, "%f , %f\r\n", x[i], y[i]);
    expected += line;
  }
  EXPECT_EQ(text, expected);
}

TEST(Spectrumtable, TheColumnsPresentInTheirOrderUpToTheShortestTraceAndTheRowLimit) {
  const std::vector<double> f = {0, 10, 20, 30}, a = {-1, -2, -3, -4}, b = {-5, -6, -7};
  const std::vector<double> one = {9};
  EXPECT_EQ(FormatSpectrumTable({}, 100), "");
  EXPECT_EQ(FormatSpectrumTable({TableTrace{one, one}, {}, {}, {}}, 100), "");
  EXPECT_EQ(FormatSpectrumTable({TableTrace{}, TableTrace{f, a}, {}, TableTrace{f, b}}, 100),
            "F-Axis[Hz] , Data R[dB] , Data Rmax[dB]\r\n"
            "0.000000 , -1.000000 , -5.000000\r\n"
            "10.000000 , -2.000000 , -6.000000\r\n"
            "20.000000 , -3.000000 , -7.000000\r\n");
  EXPECT_EQ(FormatSpectrumTable({TableTrace{f, a}, {}, {}, {}}, 1),
            "F-Axis[Hz] , Data L[dB]\r\n0.000000 , -1.000000\r\n");
  EXPECT_EQ(FormatSpectrumTable({TableTrace{f, a}, {}, {}, {}}, -3), "F-Axis[Hz] , Data L[dB]\r\n");
}

TEST(Spectrumtable, ATableReadsBackAndAnythingElseIsRefusedWithItsLine) {
  const std::vector<double> f = {0, 31.25, 62.5}, l = {-150, -20.123456, 3}, m = {-1, -2, -3};
  const std::string text = FormatSpectrumTable({TableTrace{f, l}, {}, TableTrace{f, m}, {}}, 10);
  SpectrumTableData t;
  std::string error;
  ASSERT_TRUE(ParseSpectrumTable(text, &t, &error)) << error;
  EXPECT_EQ(t.Names, (std::vector<std::string>{"L", "Lmax"}));
  EXPECT_EQ(t.Frequency, f);
  EXPECT_EQ(*t.Column("L"), l);
  EXPECT_EQ(*t.Column("Lmax"), m);
  EXPECT_EQ(t.Column("R"), nullptr);
  // Line feeds alone are read too; an empty text is an empty table.
  std::string lf = text;
  for (size_t at; (at = lf.find('\r')) != std::string::npos;)
    lf.erase(at, 1);
  ASSERT_TRUE(ParseSpectrumTable(lf, &t, &error)) << error;
  EXPECT_EQ(t.Frequency.size(), 3u);
  ASSERT_TRUE(ParseSpectrumTable("", &t, &error));
  EXPECT_TRUE(t.Names.empty());

  const std::vector<std::pair<std::string, std::string>> bad = {
      {"F-Axis[Hz] , Data L[dB]\r\n1.0 , 2.0", "line 2: the line does not end"},
      {"Frequency , L\r\n", "line 1: not a table of traces"},
      {"F-Axis[Hz] , L\r\n", "line 1: column 2 is no trace"},
      {"F-Axis[Hz] , Data L[dB]\r\n1.0 , 2.0\r\n1.0\r\n", "line 3: has 1 numbers, not 2"},
      {"F-Axis[Hz] , Data L[dB]\r\nx , 2.0\r\n", "line 2: the frequency is not a number"},
      {"F-Axis[Hz] , Data L[dB]\r\n1 , 2,5\r\n", "line 2: column 2 is not a number"},
      {"F-Axis[Hz] , Data L[dB]\r\n1 , nan\r\n", "line 2: column 2 is not a number"},
  };
  for (const auto& [input, reason] : bad) {
    EXPECT_FALSE(ParseSpectrumTable(input, &t, &error)) << input;
    EXPECT_EQ(error, reason);
    EXPECT_TRUE(t.Names.empty() && t.Frequency.empty());
  }
}

class WriteWhole : public ::testing::Test {
 protected:
  tvtest::TempDir dir;
  std::string error;
};

TEST_F(WriteWhole, ANewFileAnOldOneReplacedWithItsModeAndALinkKept) {
  const std::string path = dir.File("t.txt");
  ASSERT_TRUE(WriteFileWhole(path, "one\r\n", &error)) << error;
  EXPECT_EQ(Bytes(path), "one\r\n");
  const mode_t mask = umask(0);
  umask(mask);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);

  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  ASSERT_TRUE(WriteFileWhole(path, "two", &error)) << error;
  EXPECT_EQ(Bytes(path), "two");
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  ASSERT_EQ(symlink("t.txt", dir.File("link.txt").c_str()), 0);
  ASSERT_TRUE(WriteFileWhole(dir.File("link.txt"), "three", &error)) << error;
  ASSERT_EQ(lstat(dir.File("link.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(Bytes(path), "three");
  EXPECT_EQ(Names(dir.Path()), (QStringList{"link.txt", "t.txt"}));
  // An empty text is an empty file.
  ASSERT_TRUE(WriteFileWhole(path, "", &error));
  EXPECT_EQ(Bytes(path), "");
}

TEST_F(WriteWhole, AFailureNamesThePathLeavesNothingAndNeverHangs) {
  ASSERT_EQ(mkdir(dir.File("sub").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(dir.File("pipe").c_str(), 0644), 0);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {dir.File("missing/t.txt"), "the folder does not exist"},
      {dir.File("sub"), "Is a directory"},
      {"/dev/full", "No space left on device"},
      // A pipe nobody reads: refused at once rather than waited on.
      {dir.File("pipe"), "No such device or address"},
      {"", "no file name given"},
  };
  for (const auto& [path, reason] : cases) {
    EXPECT_FALSE(WriteFileWhole(path, "text", &error)) << path;
    EXPECT_EQ(error, path + ": " + reason);
  }
  EXPECT_EQ(Names(dir.Path()), (QStringList{"pipe", "sub"}));
  // A device is written as it is, not replaced by a file.
  EXPECT_TRUE(WriteFileWhole("/dev/null", "text", &error)) << error;
  struct stat st {};
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(WriteWhole, AnImmutableOldFileStaysAsItWasWithNoTemporaryLeft) {
  const std::string path = dir.File("t.txt");
  Put(path, "earlier\n");
  if (std::system(("chattr +i '" + path + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "this file system cannot make a file immutable";
  const bool written = WriteSpectrumTable(path, {}, 10, &error);
  std::system(("chattr -i '" + path + "'").c_str());
  EXPECT_FALSE(written);
  EXPECT_TRUE(error.starts_with(path + ": ")) << error;
  EXPECT_EQ(Bytes(path), "earlier\n");
  EXPECT_EQ(Names(dir.Path()), QStringList{"t.txt"});
}

TEST(ReadSpectrumTable, AFileThatIsNoTableIsNamedWithItsReason) {
  tvtest::TempDir dir;
  SpectrumTableData t;
  std::string error;
  EXPECT_FALSE(ReadSpectrumTable(dir.File("none.txt"), &t, &error));
  EXPECT_EQ(error, dir.File("none.txt") + ": No such file or directory");
  EXPECT_FALSE(ReadSpectrumTable(dir.Path(), &t, &error));
  EXPECT_EQ(error, dir.Path() + ": Is a directory");
  Put(dir.File("bad.txt"), "F-Axis[Hz] , Data L[dB]\r\n1 , x\r\n");
  EXPECT_FALSE(ReadSpectrumTable(dir.File("bad.txt"), &t, &error));
  EXPECT_EQ(error, dir.File("bad.txt") + ": line 2: column 2 is not a number");
}

// tonvista-analyse and its files, as the real executable: every output written whole on a full
// disk, an output that is an input (or another output) refused, inputs that are no regular
// file refused at once, damaged headers and calibration values told in the user's words, and
// many files in one run.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QProcess>
#include <QStringList>
#include <csignal>
#include <fstream>
#include <string>
#include <vector>

#include "AlsaTestDevice.h"
#include "Soundfiles.h"

namespace {

struct Result {
  int status = -1;
  bool finished = false;
  std::string out, err;
  // The one line on stderr, without the program's name.
  std::string Message() const {
    const std::string prefix = "tonvista-analyse: ";
    std::string m = err;
    while (!m.empty() && m.back() == '\n')
      m.pop_back();
    return m.starts_with(prefix) ? m.substr(prefix.size()) : m;
  }
  int ErrLines() const { return static_cast<int>(std::count(err.begin(), err.end(), '\n')); }
};

// Runs the program; with fileLimit > 0 its files may grow to that many bytes only (a full disk
// it cannot tell from a real one: writes past it fail with EFBIG).
Result Analyse(const QStringList& args, long fileLimit = 0) {
  QProcess p;
  if (fileLimit > 0)
    p.setChildProcessModifier([fileLimit] {
      // Ignored, the signal lets the write fail instead of killing the program.
      std::signal(SIGXFSZ, SIG_IGN);
      rlimit limit{static_cast<rlim_t>(fileLimit), static_cast<rlim_t>(fileLimit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    });
  p.start(TONVISTA_ANALYSE, args);
  Result r;
  if (!p.waitForStarted(10000)) return r;
  r.finished = p.waitForFinished(30000);
  if (!r.finished) {
    p.kill();
    p.waitForFinished(5000);
  }
  r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.out = p.readAllStandardOutput().toStdString();
  r.err = p.readAllStandardError().toStdString();
  return r;
}

void Put(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Le(std::string& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out += static_cast<char>(v >> (8 * i) & 0xff);
}

class AnalyseFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(tvtest::WriteSoundFile(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1,
                                     tvtest::Sines(8000, 1, 8192, {1000.0})),
              "");
  }
  std::string File(const std::string& name) const { return dir.File(name); }
  QString Q(const std::string& name) const { return QString::fromStdString(File(name)); }
  QStringList Files() const {
    return QDir(QString::fromStdString(dir.Path())).entryList(QDir::Files | QDir::Hidden);
  }
  tvtest::TempDir dir;
  const std::string wav = dir.File("in.wav");
};

TEST_F(AnalyseFiles, OnAFullDiskEveryOutputKeepsItsOldFileAndTheStatusIsFour) {
  const QString in = QString::fromStdString(wav);
  const struct {
    const char* what;
    QStringList args;
    std::string output;
  } cases[] = {
      {"spectrum table", {"--table", Q("t.txt"), in}, File("t.txt")},
      {"spectrogram", {"--spectrogram", Q("s.png"), in}, File("s.png")},
      {"octave table", {"--octave", "3", "--table", Q("o.txt"), in}, File("o.txt")},
      {"octave table of whole octaves",
       {"--octave", "1", "--table", Q("o1.txt"), in},
       File("o1.txt")},
  };
  for (const auto& c : cases) {
    Put(c.output, "old\n");
    const QStringList before = Files();
    // Every output here is longer than 300 bytes.
    Result r = Analyse(c.args, 300);
    ASSERT_TRUE(r.finished) << c.what;
    EXPECT_EQ(r.status, 4) << c.what << ": " << r.err;
    EXPECT_EQ(r.ErrLines(), 1) << r.err;
    EXPECT_TRUE(r.Message().starts_with(c.output + ": ")) << r.Message();
    EXPECT_NE(r.Message().find("File too large"), std::string::npos) << r.Message();
    EXPECT_TRUE(Bytes(c.output) == "old\n") << c.what << ": the old file was replaced";
    EXPECT_EQ(Files(), before) << c.what << ": nothing left behind";
    // The same run with room enough replaces the old file.
    Result room = Analyse(c.args);
    EXPECT_EQ(room.status, 0) << c.what << ": " << room.err;
    EXPECT_GT(Bytes(c.output).size(), 300u) << c.what;
  }
}

TEST_F(AnalyseFiles, AnOutputThatIsAnInputOrAnotherOutputIsRefusedAndNothingIsTouched) {
  const std::string original = Bytes(wav);
  ASSERT_EQ(symlink(wav.c_str(), File("link.wav").c_str()), 0);
  ASSERT_EQ(link(wav.c_str(), File("hard.wav").c_str()), 0);
  Put(File("cal.txt"), "100 0\n1000 1\n");
  Put(File("old.txt"), "old\n");
  const QString in = QString::fromStdString(wav);
  const std::vector<QStringList> cases = {
      {"--table", in, in},
      {"--spectrogram", in, in},
      {"--table", Q("link.wav"), in},
      {"--spectrogram", in, Q("link.wav")},
      {"--table", Q("hard.wav"), in},
      {"--measure", "--table", in, in},
      {"--octave", "3", "--table", in, in},
      {"--octave", "3", "--calibration", Q("cal.txt"), "--table", Q("cal.txt"), in},
      {"--table", Q("new.txt"), "--spectrogram", Q("new.txt"), in},
      {"--table", Q("old.txt"), "--spectrogram", Q("old.txt"), in},
      {"--table", Q("old.txt"), "--spectrogram", Q("./old.txt"), in},
      {"--table", Q("sub/../old.txt"), "--spectrogram", Q("old.txt"), in},
  };
  ASSERT_EQ(mkdir(File("sub").c_str(), 0755), 0);
  struct stat before {};
  ASSERT_EQ(stat(wav.c_str(), &before), 0);
  const QStringList files = Files();
  for (const QStringList& args : cases) {
    Result r = Analyse(args);
    const std::string shown = args.join(' ').toStdString();
    EXPECT_EQ(r.status, 2) << shown << ": " << r.err;
    EXPECT_EQ(r.ErrLines(), 1) << r.err;
    EXPECT_TRUE(r.out.empty()) << shown;
    EXPECT_NE(r.Message().find("nothing was written"), std::string::npos) << r.Message();
    EXPECT_TRUE(Bytes(wav) == original) << shown << ": the input was changed";
    EXPECT_TRUE(Bytes(File("old.txt")) == "old\n") << shown << ": old.txt was replaced";
    EXPECT_EQ(Files(), files) << shown;
  }
  struct stat after {};
  ASSERT_EQ(stat(wav.c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  // Two writes to a device lose nothing: /dev/null may take both.
  EXPECT_EQ(Analyse({"--table", "/dev/null", "--spectrogram", "/dev/null", in}).status, 0);
}

TEST_F(AnalyseFiles, ACalibrationFileThatIsNoRegularFileIsRefusedAtOnceNamingWhatItIs) {
  ASSERT_EQ(mkfifo(File("cal.fifo").c_str(), 0644), 0);
  ASSERT_EQ(mkdir(File("cal.d").c_str(), 0755), 0);
  std::string big(5 << 20, ' ');
  Put(File("big.txt"), "100 0\n" + big);
  const struct {
    std::string path;
    const char* says;
  } cases[] = {
      {"/dev/zero", "is not a regular file but a device"},
      {File("cal.fifo"), "is not a regular file but a pipe (FIFO)"},
      {File("cal.d"), "is a folder, not a calibration file"},
      {File("big.txt"), "is larger than 4 MB, the most a calibration file may be"},
  };
  for (const auto& c : cases) {
    Result r = Analyse({"--octave", "3", "--calibration", QString::fromStdString(c.path),
                        QString::fromStdString(wav)});
    ASSERT_TRUE(r.finished) << c.path << " kept the program waiting";
    EXPECT_EQ(r.status, 3) << c.path;
    EXPECT_EQ(r.Message(), "--calibration " + c.path + ": " + c.says);
    EXPECT_TRUE(r.out.empty());
  }
}

TEST_F(AnalyseFiles, DamagedHeadersAndBadCalibrationValuesAreToldInTheUsersWords) {
  const std::string samples = Bytes(wav).substr(44);
  ASSERT_EQ(samples.size(), 16384u);
  // RF64: the ds64 chunk claims 10^9 bytes of samples, 16384 follow.
  std::string rf64 = "RF64";
  Le(rf64, 0xffffffffu, 4);
  rf64 += "WAVEds64";
  Le(rf64, 28, 4);
  Le(rf64, 0, 8);
  Le(rf64, 1000000000, 8);
  Le(rf64, 500000000, 8);
  Le(rf64, 0, 4);
  rf64 += "fmt ";
  for (const auto& [v, n] : std::vector<std::pair<uint64_t, int>>{
           {16, 4}, {1, 2}, {1, 2}, {8000, 4}, {16000, 4}, {2, 2}, {16, 2}})
    Le(rf64, v, n);
  rf64 += "data";
  Le(rf64, 0xffffffffu, 4);
  Put(File("claim.rf64"), rf64 + samples);
  // The same RF64 header claiming what it holds reads as a whole file.
  std::string whole = rf64;
  whole.replace(28, 16, std::string("\0\x40\0\0\0\0\0\0\0\x20\0\0\0\0\0\0", 16));
  Put(File("whole.rf64"), whole + samples);
  // AU: the header claims 2 GB of samples.
  ASSERT_EQ(tvtest::WriteSoundFile(File("claim.au"), SF_FORMAT_AU | SF_FORMAT_PCM_16, 8000, 1,
                                   tvtest::Sines(8000, 1, 8192, {1000.0})),
            "");
  std::string au = Bytes(File("claim.au"));
  au.replace(8, 4, std::string("\x80\0\0\0", 4));
  Put(File("claim.au"), au);
  // AIFF: the sound chunk claims 100 times its bytes; or the common chunk 100 times its frames.
  // Wave64: the data chunk claims 100 times its bytes.
  const auto be32 = [](uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16 & 0xff),
                       static_cast<char>(v >> 8 & 0xff), static_cast<char>(v & 0xff)};
  };
  for (const int format : {SF_FORMAT_AIFF, SF_FORMAT_W64})
    ASSERT_EQ(tvtest::WriteSoundFile(File(format == SF_FORMAT_AIFF ? "whole.aiff" : "whole.w64"),
                                     format | SF_FORMAT_PCM_16, 8000, 1,
                                     tvtest::Sines(8000, 1, 8192, {1000.0})),
              "");
  const std::string aiff = Bytes(File("whole.aiff"));
  const size_t ssnd = aiff.find("SSND"), comm = aiff.find("COMM");
  ASSERT_NE(ssnd, std::string::npos);
  ASSERT_NE(comm, std::string::npos);
  std::string bigSound = aiff, manyFrames = aiff;
  bigSound.replace(ssnd + 4, 4, be32((16384 + 8) * 100));
  manyFrames.replace(comm + 10, 4, be32(8192 * 100));
  Put(File("claim.aiff"), bigSound);
  Put(File("frames.aiff"), manyFrames);
  std::string w64 = Bytes(File("whole.w64"));
  const size_t data = w64.find("data", 40);
  ASSERT_NE(data, std::string::npos);
  std::string size;
  Le(size, (16384 + 24) * 100, 8);
  w64.replace(data + 16, 8, size);
  Put(File("claim.w64"), w64);
  // Ogg Vorbis with garbage after its last page: libsndfile cannot tell its length.
  ASSERT_EQ(tvtest::WriteSoundFile(File("tail.ogg"), SF_FORMAT_OGG | SF_FORMAT_VORBIS, 8000, 1,
                                   tvtest::Sines(8000, 1, 16384, {1000.0})),
            "");
  std::string garbage;
  for (int i = 0; i < 5000; ++i)
    garbage += static_cast<char>((i * 7919 + i / 13 * 31) & 0xff);
  Put(File("tail.ogg"), Bytes(File("tail.ogg")) + garbage);

  const struct {
    std::string file;
    std::string says;
  } refused[] = {
      {File("claim.rf64"),
       "the file is cut short: its header announces 1000000000 bytes of samples, but it holds "
       "16384"},
      {File("claim.au"),
       "the file is cut short: its header announces 2147483648 bytes of samples, but it holds "
       "16384"},
      {File("claim.aiff"),
       "the file is cut short: its header announces 1639192 bytes of samples, but it holds "
       "16384"},
      {File("frames.aiff"),
       "the file is cut short: its header announces 819200 frames, but it holds 8192"},
      {File("claim.w64"),
       "the file is cut short: its header announces 1640776 bytes of samples, but it holds "
       "16384"},
  };
  for (const auto& c : refused) {
    Result r = Analyse({"--measure", QString::fromStdString(c.file)});
    EXPECT_EQ(r.status, 3) << c.file;
    EXPECT_EQ(r.Message(), c.file + ": " + c.says);
    EXPECT_TRUE(r.out.empty());
  }
  for (const std::string& f :
       {File("whole.rf64"), File("whole.aiff"), File("whole.w64"), File("tail.ogg")}) {
    Result r = Analyse({"--measure", QString::fromStdString(f)});
    EXPECT_EQ(r.status, 0) << f << ": " << r.err;
    EXPECT_EQ(r.err.find("9223372036854775807"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("L.fundamental_hz: 1000.0"), std::string::npos) << r.out;
  }

  const struct {
    const char* text;
    std::string says;
  } calibrations[] = {
      {"100 0\n1000 1,5\n", "line 2: '1,5' has a decimal comma; write numbers with a point (1.5)"},
      {"100 0\n1000\t-0,75\t12\n",
       "line 2: '-0,75' has a decimal comma; write numbers with a point (1.5)"},
      {"100;1,5\n", "line 1: '1,5' has a decimal comma; write numbers with a point (1.5)"},
      {"100 0\n1000 1e308\n", "line 2: response 1e308 dB outside -200 to 200 dB"},
      {"100 -1e308\n", "line 1: response -1e308 dB outside -200 to 200 dB"},
      {"100 0\n1e300 1\n", "line 2: frequency above 1000000 Hz"},
  };
  for (const auto& c : calibrations) {
    Put(File("cal.txt"), c.text);
    Result r =
        Analyse({"--octave", "3", "--calibration", Q("cal.txt"), QString::fromStdString(wav)});
    EXPECT_EQ(r.status, 3) << c.text;
    EXPECT_EQ(r.Message(), "--calibration " + File("cal.txt") + ": " + c.says);
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  // Comma-separated values with points are no decimal commas.
  Put(File("cal.txt"), "100,0\n1000,1.5,12\n");
  EXPECT_EQ(
      Analyse({"--octave", "3", "--calibration", Q("cal.txt"), QString::fromStdString(wav)}).status,
      0);

  // A newline in a name keeps the message on one line.
  const std::string odd = File("two\nlines\t.wav");
  Result r = Analyse({QString::fromStdString(odd)});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.ErrLines(), 1) << r.err;
  EXPECT_EQ(r.Message(), dir.Path() + "/two\\nlines\\t.wav: No such file or directory");
}

TEST_F(AnalyseFiles, MeasureTakesManyFilesNamingEachLineAndSkippingABadOne) {
  const std::string second = File("second.wav");
  ASSERT_EQ(tvtest::WriteSoundFile(second, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 2,
                                   tvtest::Sines(8000, 2, 8192, {500.0, 1500.0})),
            "");
  Put(File("bad.wav"), "RIFF, but not much more");
  const QString a = QString::fromStdString(wav), b = QString::fromStdString(second);
  const Result one = Analyse({"--measure", a}), two = Analyse({"--measure", b});
  ASSERT_EQ(one.status, 0) << one.err;
  ASSERT_EQ(two.status, 0) << two.err;
  // One file's output as it always was: no names.
  ASSERT_TRUE(one.out.starts_with("L.fundamental_hz: 1000.000 Hz\n")) << one.out;
  const auto prefixed = [](const std::string& name, const std::string& text) {
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
      const size_t end = text.find('\n', at);
      out += name + "\t" + text.substr(at, end - at + 1);
      at = end + 1;
    }
    return out;
  };
  Result all = Analyse({"--quiet", "--measure", a, Q("bad.wav"), Q("missing.wav"), b});
  EXPECT_EQ(all.status, 3);
  EXPECT_EQ(all.out, prefixed(wav, one.out) + prefixed(second, two.out));
  EXPECT_EQ(all.ErrLines(), 2) << all.err;
  EXPECT_NE(all.err.find("tonvista-analyse: " + File("bad.wav") + ": "), std::string::npos);
  EXPECT_NE(all.err.find("tonvista-analyse: " + File("missing.wav") + ": No such file"),
            std::string::npos);
  // All good: status 0; --names names the lines of one file too.
  Result good = Analyse({"--measure", b, a});
  EXPECT_EQ(good.status, 0);
  EXPECT_EQ(good.out, prefixed(second, two.out) + prefixed(wav, one.out));
  EXPECT_EQ(Analyse({"--measure", "--names", a}).out, prefixed(wav, one.out));
  // Several files only where each line can say whose it is.
  for (const QStringList& args :
       {QStringList{a, b}, QStringList{"--octave", "3", a, b},
        QStringList{"--measure", "--table", Q("t.txt"), a, b}, QStringList{"--names", a}}) {
    Result r = Analyse(args);
    EXPECT_EQ(r.status, 2) << args.join(' ').toStdString();
    EXPECT_EQ(r.ErrLines(), 1) << r.err;
  }
  EXPECT_FALSE(QFile::exists(Q("t.txt")));
}

}  // namespace

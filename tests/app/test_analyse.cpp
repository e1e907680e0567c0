// tonvista-analyse, the real executable: its options, exit statuses and messages, bad inputs,
// the same numbers from every file format, the spectrogram picture, and the same table as
// "Save Chart..." of a live run over the same samples.
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTest>
#include <cmath>
#include <fstream>
#include <numbers>

#include "AlsaTestDevice.h"
#include "MainwindowFixture.h"
#include "Soundfiles.h"
#include "Spectrogramimage.h"
#include "Spectrumtable.h"

namespace {

struct Result {
  int status = -1;
  bool finished = false;
  QByteArray out, err;
  // The one line on stderr, without the program's name.
  std::string Message() const { return err.trimmed().toStdString(); }
};

Result RunAnalyse(const QStringList& args) {
  QProcess p;
  p.start(TONVISTA_ANALYSE, args);
  Result r;
  if (!p.waitForStarted(10000)) return r;
  r.finished = p.waitForFinished(60000);
  if (!r.finished) {
    p.kill();
    p.waitForFinished(5000);
  }
  r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.out = p.readAllStandardOutput();
  r.err = p.readAllStandardError();
  return r;
}

// Sample i of channel c as 16-bit values: a sine of `frequency[c]` Hz at `amplitude`, so that
// every format below holds exactly these values.
std::vector<int16_t> Tone(int rate, int channels, int frames, std::vector<double> frequency,
                          double amplitude = 16000.0) {
  std::vector<int16_t> s(static_cast<size_t>(frames) * channels);
  for (int i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c)
      s[static_cast<size_t>(i) * channels + c] = static_cast<int16_t>(std::lround(
          amplitude * std::sin(2 * std::numbers::pi * frequency[c % frequency.size()] * i / rate)));
  return s;
}

// Writes the 16-bit values in a file format of libsndfile's; every format holds them exactly.
void WriteSound(const std::string& path, int format, int rate, int channels,
                const std::vector<int16_t>& samples) {
  ASSERT_EQ(tvtest::WriteSoundFile(path, format, rate, channels,
                                   std::vector<double>(samples.begin(), samples.end())),
            "");
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Le(std::string& out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out += static_cast<char>(v >> (8 * i) & 0xff);
}

// A PCM WAV header with the fields given as they are, followed by `data` bytes of samples.
std::string WavHeader(int channels, uint32_t rate, int bits, uint32_t claimed, size_t data) {
  std::string h = "RIFF";
  Le(h, static_cast<uint32_t>(36 + data), 4);
  h += "WAVEfmt ";
  Le(h, 16, 4);
  Le(h, 1, 2);
  Le(h, static_cast<uint32_t>(channels), 2);
  Le(h, rate, 4);
  Le(h, rate * static_cast<uint32_t>(channels * bits / 8), 4);
  Le(h, static_cast<uint32_t>(channels * bits / 8), 2);
  Le(h, static_cast<uint32_t>(bits), 2);
  h += "data";
  Le(h, claimed, 4);
  h += std::string(data, '\x11');
  return h;
}

SpectrumTableData Table(const std::string& path) {
  SpectrumTableData t;
  std::string error;
  EXPECT_TRUE(ReadSpectrumTable(path, &t, &error)) << error;
  return t;
}

size_t Peak(const std::vector<double>& levels) {
  return static_cast<size_t>(std::max_element(levels.begin(), levels.end()) - levels.begin());
}

}  // namespace

class Analyse : public ::testing::Test {
 protected:
  std::string File(const std::string& name) const { return dir.File(name); }
  QString Q(const std::string& name) const { return QString::fromStdString(File(name)); }
  // 8000 Hz mono: 8192 frames of 1 kHz (bin 128 of 1024), then 8192 of 2 kHz (bin 256).
  std::string TwoTones() {
    auto a = Tone(8000, 1, 8192, {1000.0});
    const auto b = Tone(8000, 1, 8192, {2000.0});
    a.insert(a.end(), b.begin(), b.end());
    const std::string path = File("two.wav");
    WriteSound(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1, a);
    return path;
  }
  // The names of the files in the test folder.
  QStringList Files() const {
    return QDir(QString::fromStdString(dir.Path())).entryList(QDir::Files | QDir::Hidden);
  }
  tvtest::TempDir dir;
};

TEST_F(Analyse, HelpAndVersionSucceed) {
  Result r = RunAnalyse({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out.startsWith("Usage: tonvista-analyse [OPTIONS] FILE"));
  for (const char* option :
       {"--fft", "--window", "--correction", "--average", "--max-hold", "--start", "--length",
        "--table", "--spectrogram", "--axis", "--quiet", "--version"})
    EXPECT_TRUE(r.out.contains(option)) << option;
  r = RunAnalyse({"-h"});
  EXPECT_EQ(r.status, 0);
  r = RunAnalyse({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "tonvista-analyse 1.9.0\n");
  EXPECT_TRUE(r.err.isEmpty());
}

TEST_F(Analyse, EveryBadOptionGetsStatusTwoAndOneLineNamingItAndWritesNothing) {
  const QString wav = QString::fromStdString(TwoTones());
  const QString table = Q("out.txt");
  struct Case {
    QStringList args;
    const char* named;  // what the message must contain
  };
  const std::vector<Case> cases = {
      {{"--fft", "1000"}, "--fft '1000'"},
      {{"--fft", "128"}, "256 to 32768"},
      {{"--fft", "65536"}, "--fft"},
      {{"--fft", "2k"}, "--fft"},
      {{"--fft=0"}, "power of two"},
      {{"--window", "Kaiser"}, "\"Blackman Harris\""},
      {{"--correction", "loud"}, "--correction"},
      {{"--correction", "2000"}, "-1000 to 1000"},
      {{"--correction", "nan"}, "--correction"},
      {{"--average", "0"}, "'all' or 1 to 20"},
      {{"--average", "21"}, "--average"},
      {{"--average", "most"}, "--average"},
      {{"--start", "-1"}, "--start"},
      {{"--start", "x"}, "--start"},
      {{"--length", "0"}, "--length"},
      {{"--length", "-3"}, "--length"},
      {{"--axis", "cubic"}, "'lin' or 'log'"},
      {{"--table="}, "--table"},
      {{"--spectrogram="}, "--spectrogram"},
      {{"--max-hold=yes"}, "--max-hold takes no value"},
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"-x"}, "unknown option '-x'"},
  };
  for (const Case& c : cases) {
    Result r = RunAnalyse(QStringList{"--table", table} + c.args + QStringList{wav});
    EXPECT_EQ(r.status, 2) << c.named;
    EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
    EXPECT_TRUE(r.err.startsWith("tonvista-analyse: ")) << r.err.toStdString();
    EXPECT_NE(r.Message().find(c.named), std::string::npos) << r.Message();
    EXPECT_TRUE(r.out.isEmpty());
  }
  // A value missing at the end, no file, two files.
  for (const QStringList& args :
       {QStringList{wav, "--fft"}, QStringList{"--table", table}, QStringList{wav, wav}}) {
    Result r = RunAnalyse(args);
    EXPECT_EQ(r.status, 2) << args.join(' ').toStdString();
    EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
  }
  EXPECT_EQ(Files(), QStringList{"two.wav"});
}

TEST_F(Analyse, TheTableHasTheLiveHeaderBinsAtKRateOverNAndGoesToStdoutWithoutTable) {
  const std::string wav = TwoTones();
  Result r = RunAnalyse({"--fft", "1024", "--table", Q("t.txt"), QString::fromStdString(wav)});
  ASSERT_EQ(r.status, 0) << r.Message();
  EXPECT_TRUE(r.err.isEmpty() && r.out.isEmpty());
  const std::string text = ReadBytes(File("t.txt"));
  EXPECT_TRUE(text.starts_with("F-Axis[Hz] , Data L[dB]\r\n0.000000 , ")) << text.substr(0, 60);
  const SpectrumTableData t = Table(File("t.txt"));
  ASSERT_EQ(t.Frequency.size(), 512u);
  for (size_t k = 0; k < 512; ++k)
    ASSERT_EQ(t.Frequency[k], k * 8000.0 / 1024) << k;
  // The default mean over every block holds both tones, each in half the blocks: 6 dB down.
  const auto& l = t.Levels[0];
  EXPECT_NEAR(l[128] - l[256], 0.0, 0.01);
  EXPECT_GT(l[128], l[192] + 60);

  // Without --table the same bytes go to standard output.
  r = RunAnalyse({"--fft", "1024", QString::fromStdString(wav)});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out.toStdString(), text);
}

TEST_F(Analyse, AverageMaxHoldStartAndLengthSelectTheBlocks) {
  const QString wav = QString::fromStdString(TwoTones());
  auto run = [&](const QStringList& args) {
    const std::string out = File("t.txt");
    Result r = RunAnalyse(QStringList{"--fft", "1000" == args.value(0) ? "" : "1024", "--table",
                                      QString::fromStdString(out)} +
                          args + QStringList{wav});
    EXPECT_EQ(r.status, 0) << r.Message();
    return Table(out);
  };
  const SpectrumTableData all = run({});
  // The last block alone: 2 kHz (bin 256) only.
  const SpectrumTableData last = run({"--average", "1"});
  EXPECT_NEAR(last.Levels[0][256] - all.Levels[0][256], 20 * std::log10(2.0), 0.01);
  EXPECT_LT(last.Levels[0][128], last.Levels[0][256] - 60);
  // A moving mean over more blocks than the file holds counts the missing ones as zero: of
  // 16 blocks the last 8 hold 2 kHz, the 8 before 1 kHz.
  const SpectrumTableData twenty = run({"--average", "20"});
  EXPECT_NEAR(twenty.Levels[0][256] - last.Levels[0][256], 20 * std::log10(8.0 / 20), 0.01);
  EXPECT_NEAR(twenty.Levels[0][128] - last.Levels[0][256], 20 * std::log10(8.0 / 20), 0.01);
  const SpectrumTableData eight = run({"--average", "8"});
  EXPECT_NEAR(eight.Levels[0][256], last.Levels[0][256], 1e-6);
  EXPECT_LT(eight.Levels[0][128], last.Levels[0][256] - 60);

  // Max hold keeps each tone at the level of a block of its own.
  const SpectrumTableData held = run({"--max-hold"});
  ASSERT_EQ(held.Names, (std::vector<std::string>{"L", "Lmax"}));
  EXPECT_NEAR(held.Levels[1][128], last.Levels[0][256], 0.01);
  EXPECT_NEAR(held.Levels[1][256], last.Levels[0][256], 0.01);
  for (size_t k = 0; k < 512; ++k)
    ASSERT_GE(held.Levels[1][k], held.Levels[0][k]) << k;

  // --start and --length pick one tone each.
  const SpectrumTableData second = run({"--start", "1.024"});
  EXPECT_EQ(Peak(second.Levels[0]), 256u);
  EXPECT_LT(second.Levels[0][128], second.Levels[0][256] - 60);
  const SpectrumTableData first = run({"--length", "0.9"});
  EXPECT_EQ(Peak(first.Levels[0]), 128u);
  EXPECT_LT(first.Levels[0][256], first.Levels[0][128] - 60);
  // --correction shifts every level by that much.
  const SpectrumTableData raised = run({"--length", "0.9", "--correction", "12.5"});
  for (size_t k = 0; k < 512; ++k)
    ASSERT_NEAR(raised.Levels[0][k] - first.Levels[0][k], 12.5, 2e-6) << k;
  // The window sets what an on-bin tone loses: its mean over its root-mean-square.
  const auto gain = [](double a0, double a1, double a2, double a3) {
    double sum = 0, squares = 0;
    for (int i = 0; i < 1024; ++i) {
      const double x = 2 * std::numbers::pi * i / 1024;
      const double w = a0 - a1 * std::cos(x) + a2 * std::cos(2 * x) - a3 * std::cos(3 * x);
      sum += w;
      squares += w * w;
    }
    return 20 * std::log10(sum / std::sqrt(squares * 1024));
  };
  const double bh = first.Levels[0][128] - gain(0.35875, 0.48829, 0.14128, 0.01168);
  for (const auto& [name, g] :
       std::vector<std::pair<QString, double>>{{"rectangular", gain(1, 0, 0, 0)},
                                               {"Hanning", gain(0.5, 0.5, 0, 0)},
                                               {"hamming", gain(0.538, 0.462, 0, 0)},
                                               {"BLACKMAN", gain(0.42, 0.5, 0.08, 0)}}) {
    const SpectrumTableData t = run({"--length", "0.9", "--window", name});
    EXPECT_NEAR(t.Levels[0][128] - g, bh, 0.02) << name.toStdString();
  }
}

TEST_F(Analyse, AProgressBarIsShownOnATerminalOnlyAndNeverInTheTable) {
  if (access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "no script(1) to give a terminal";
  const std::string wav = File("long.wav");
  WriteSound(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1, Tone(8000, 1, 8000 * 12, {1000.0}));
  // script(1) runs the command on a terminal of its own and copies what it shows.
  auto onTerminal = [&](const std::string& options) {
    QProcess p;
    p.start("/usr/bin/script",
            {"-qec",
             QString::fromStdString(std::string(TONVISTA_ANALYSE) + " " + options + " --table '" +
                                    File("t.txt") + "' '" + wav + "'"),
             "/dev/null"});
    EXPECT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 0);
    return p.readAllStandardOutput();
  };
  const QByteArray shown = onTerminal("");
  EXPECT_TRUE(shown.contains("[########################################] 100%"))
      << shown.toStdString();
  EXPECT_TRUE(shown.endsWith("\r\033[K")) << "the bar is cleared at the end";
  EXPECT_TRUE(ReadBytes(File("t.txt")).starts_with("F-Axis[Hz] , Data L[dB]\r\n0.000000 , "));
  EXPECT_FALSE(onTerminal("--quiet").contains("%"));
  // Not on a terminal: nothing on stderr.
  Result r = RunAnalyse({"--table", Q("t.txt"), QString::fromStdString(wav)});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
}

TEST_F(Analyse, StereoAndMoreChannelsGiveLAndRFromTheFirstTwo) {
  const std::string wav = File("three.wav");
  WriteSound(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 3,
             Tone(8000, 3, 4096, {1000.0, 2000.0, 3000.0}));
  Result r = RunAnalyse({"--fft", "1024", "--max-hold", "--table", Q("t.txt"),
                         QString::fromStdString(wav), "--quiet"});
  ASSERT_EQ(r.status, 0) << r.Message();
  EXPECT_TRUE(r.err.isEmpty());
  const SpectrumTableData t = Table(File("t.txt"));
  ASSERT_EQ(t.Names, (std::vector<std::string>{"L", "R", "Lmax", "Rmax"}));
  EXPECT_EQ(Peak(t.Levels[0]), 128u);
  EXPECT_EQ(Peak(t.Levels[1]), 256u);
  EXPECT_EQ(Peak(t.Levels[3]), 256u);
  EXPECT_LT(t.Levels[1][384], t.Levels[1][256] - 60);  // the third channel is not in R
}

TEST_F(Analyse, TheSameSignalInEveryFormatGivesTheSameTable) {
  const auto samples = Tone(44100, 2, 44100, {997.0, 5003.0}, 12000.0);
  const std::vector<std::pair<const char*, int>> formats = {
      {"s16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
      {"s24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24},
      {"s32.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_32},
      {"f32.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT},
      {"f64.wav", SF_FORMAT_WAV | SF_FORMAT_DOUBLE},
      {"s16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
      {"s24.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
  };
  std::vector<SpectrumTableData> tables;
  for (const auto& [name, format] : formats) {
    WriteSound(File(name), format, 44100, 2, samples);
    const std::string out = File(std::string(name) + ".txt");
    Result r = RunAnalyse(
        {"--max-hold", "--average", "5", "--table", QString::fromStdString(out), Q(name)});
    ASSERT_EQ(r.status, 0) << name << ": " << r.Message();
    tables.push_back(Table(out));
  }
  const SpectrumTableData& ref = tables[0];
  ASSERT_EQ(ref.Levels.size(), 4u);
  ASSERT_EQ(ref.Frequency.size(), 1024u);
  EXPECT_EQ(Peak(ref.Levels[0]), static_cast<size_t>(std::lround(997.0 * 2048 / 44100)));
  for (size_t t = 1; t < tables.size(); ++t) {
    ASSERT_EQ(tables[t].Names, ref.Names) << formats[t].first;
    ASSERT_EQ(tables[t].Frequency, ref.Frequency) << formats[t].first;
    double worst = 0;
    for (size_t c = 0; c < 4; ++c)
      for (size_t k = 0; k < ref.Frequency.size(); ++k)
        worst = std::max(worst, std::fabs(tables[t].Levels[c][k] - ref.Levels[c][k]));
    EXPECT_LE(worst, 1e-6) << formats[t].first;
  }
}

TEST_F(Analyse, EveryBadInputGetsStatusThreeAndAMessageNamingTheFileAndWritesNothing) {
  const auto tone = Tone(8000, 1, 8000, {1000.0});
  WriteSound(File("good.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1, tone);
  const std::string good = ReadBytes(File("good.wav"));
  WriteSound(File("good.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 8000, 1,
             Tone(8000, 1, 80000, {1000.0}));
  const std::string flac = ReadBytes(File("good.flac"));

  ASSERT_EQ(mkdir(File("folder.wav").c_str(), 0755), 0);
  WriteBytes(File("empty.wav"), "");
  // The header says 16000 bytes of samples; a third of them are there.
  WriteBytes(File("cut.wav"), good.substr(0, 44 + 5000));
  WriteBytes(File("nochannels.wav"), WavHeader(0, 8000, 16, 8000, 8000));
  WriteBytes(File("norate.wav"), WavHeader(1, 0, 16, 8000, 8000));
  WriteBytes(File("manychannels.wav"), WavHeader(65535, 8000, 16, 131070 * 4, 131070 * 4));
  std::string noise;
  for (int i = 0; i < 20000; ++i)
    noise += static_cast<char>((i * 7919 + i / 13 * 31) & 0xff);
  WriteBytes(File("noise.wav"), noise);
  WriteBytes(File("cut.flac"), flac.substr(0, flac.size() / 2));
  WriteSound(File("short.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1,
             Tone(8000, 1, 2000, {1000.0}));
  ASSERT_EQ(mkfifo(File("pipe.wav").c_str(), 0644), 0);

  const std::vector<std::pair<std::string, const char*>> cases = {
      {"missing.wav", "No such file"},
      {"folder.wav", "folder"},
      {"empty.wav", "empty"},
      {"cut.wav", "cut short"},
      {"nochannels.wav", "no channels"},
      {"norate.wav", "sample rate of 0"},
      {"manychannels.wav", "channels"},
      {"noise.wav", "cannot be decoded"},
      {"cut.flac", "the file ends after"},
      {"short.wav", "less than one block"},
      {"pipe.wav", "not a regular file"},
  };
  const QStringList before = Files();
  for (const auto& [name, reason] : cases) {
    QElapsedTimer clock;
    clock.start();
    Result r = RunAnalyse({"--table", Q("out.txt"), "--spectrogram", Q("out.png"), Q(name)});
    EXPECT_TRUE(r.finished) << name;
    EXPECT_LT(clock.elapsed(), 20000) << name;
    EXPECT_EQ(r.status, 3) << name << ": " << r.Message();
    EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
    EXPECT_TRUE(r.Message().starts_with("tonvista-analyse: " + File(name) + ": ")) << r.Message();
    EXPECT_NE(r.Message().find(reason), std::string::npos) << r.Message();
    EXPECT_TRUE(r.out.isEmpty());
  }
  EXPECT_EQ(Files(), before);
  // The part asked for may hold less than a block too.
  Result r = RunAnalyse({"--start", "0.9", Q("good.wav")});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.Message().find("less than one block"), std::string::npos) << r.Message();
  r = RunAnalyse({"--start", "5", Q("good.wav")});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.Message(),
            "tonvista-analyse: " + File("good.wav") + ": ends before --start 5 s (it lasts 1 s)");
}

TEST_F(Analyse, AnOutputThatCannotBeWrittenGetsStatusFourAndLeavesNothing) {
  const QString wav = QString::fromStdString(TwoTones());
  for (const char* option : {"--table", "--spectrogram"}) {
    for (const std::string& path : {File("missing/out"), dir.Path(), std::string("/dev/full")}) {
      Result r = RunAnalyse({option, QString::fromStdString(path), wav});
      EXPECT_EQ(r.status, 4) << option << " " << path;
      EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
      EXPECT_NE(r.Message().find(path + ": "), std::string::npos) << r.Message();
    }
  }
  EXPECT_EQ(Files(), QStringList{"two.wav"});
  EXPECT_FALSE(QFile::exists(Q("missing")));
  // A failed picture removes nothing: neither the device nor a link to it.
  struct stat st {};
  ASSERT_EQ(stat("/dev/full", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  ASSERT_EQ(symlink("/dev/full", File("full.png").c_str()), 0);
  EXPECT_EQ(RunAnalyse({"--spectrogram", Q("full.png"), wav}).status, 4);
  ASSERT_EQ(lstat(File("full.png").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  unlink(File("full.png").c_str());
  // An existing table is replaced whole.
  WriteBytes(File("t.txt"), "old\n");
  ASSERT_EQ(RunAnalyse({"--table", Q("t.txt"), wav}).status, 0);
  EXPECT_TRUE(ReadBytes(File("t.txt")).starts_with("F-Axis[Hz]"));
}

TEST_F(Analyse, TheSpectrogramHasOneColumnPerBlockAndTheToneInItsRow) {
  // 1.5 s stereo at 8000 Hz: 1 kHz left, 2 kHz right (neither has a harmonic at the other);
  // 256 points give 46 blocks.
  const std::string wav = File("s.wav");
  WriteSound(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 2,
             Tone(8000, 2, 12000, {1000.0, 2000.0}));
  // 160 s mono: 5000 blocks.
  const std::string mono = File("m.wav");
  WriteSound(mono, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1, Tone(8000, 1, 8000 * 160, {1000.0}));
  std::vector<double> f(128);
  for (int k = 0; k < 128; ++k)
    f[static_cast<size_t>(k)] = k * 8000.0 / 256;
  for (const char* axis : {"log", "lin"}) {
    const bool log = axis[1] == 'o';
    const QString png = Q(std::string("s-") + axis + ".png");
    Result r = RunAnalyse(
        {"--fft", "256", "--axis", axis, "--spectrogram", png, QString::fromStdString(wav)});
    ASSERT_EQ(r.status, 0) << r.Message();
    EXPECT_TRUE(r.out.isEmpty()) << "no table asked for";
    EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
    const QImage image(png, "PNG");
    // Fewer blocks than 200 still get a plot 200 pixels wide; 400 high for both channels.
    ASSERT_EQ(image.size(), SpectrogramPictureSize(200, 400)) << axis;
    const int plotHeight = (400 - Spectrogram::kPlotGap) / 2;
    SpectrogramRowMap map;
    map.Build(f.data(), 128, plotHeight, log ? FrequencyScale::Logarithmic : FrequencyScale::Linear,
              log ? 10 : 0, 4000);
    const int left = kSpectrogramMarginLeft, top = kSpectrogramMarginTop;
    const int rTop = top + plotHeight + Spectrogram::kPlotGap;
    auto gray = [&](int x, int y) { return qGray(image.pixel(left + x, y)); };
    for (int x : {1, 100, 199}) {
      EXPECT_GT(gray(x, top + map.RowOf(1000)), 200) << axis << " x " << x;
      EXPECT_LT(gray(x, top + map.RowOf(2000)), 40) << axis << " x " << x;
      EXPECT_GT(gray(x, rTop + map.RowOf(2000)), 200) << axis << " x " << x;
      EXPECT_LT(gray(x, rTop + map.RowOf(1000)), 40) << axis << " x " << x;
    }
  }
  // A long file: two blocks per column (the louder of them), so that memory stays bounded.
  Result r =
      RunAnalyse({"--fft", "256", "--spectrogram", Q("m.png"), QString::fromStdString(mono)});
  ASSERT_EQ(r.status, 0) << r.Message();
  const QImage image(Q("m.png"), "PNG");
  ASSERT_EQ(image.size(), SpectrogramPictureSize(2500, 400));
  SpectrogramRowMap map;
  map.Build(f.data(), 128, 400, FrequencyScale::Logarithmic, 10, 4000);
  for (int x : {0, 1250, 2499}) {
    EXPECT_GT(
        qGray(image.pixel(kSpectrogramMarginLeft + x, kSpectrogramMarginTop + map.RowOf(1000))),
        200)
        << x;
    EXPECT_LT(
        qGray(image.pixel(kSpectrogramMarginLeft + x, kSpectrogramMarginTop + map.RowOf(2000))), 40)
        << x;
  }
}

// A live run of the window replays the samples of a 16-bit WAV through the ALSA file plugin;
// "Save Chart..." of its first block and tonvista-analyse over the same block give the same
// table byte for byte.
class AnalyseVersusLive : public MainwindowTest {
 protected:
  class SaveOnFirstBlock : public SpectrumConsumer {
   public:
    explicit SaveOnFirstBlock(TMainwindow* w) : w_(w) {}
    bool Receiving() const override { return true; }
    // Inside the hand-over, right after the window's traces took this block.
    void ShowSpectrum(const SpectrumBlock&) override {
      if (++blocks == 1) emit w_->BSaveChart->clicked();
    }
    int blocks = 0;

   private:
    TMainwindow* w_;
  };

  // Stereo at 8000 Hz, K averages, max hold; the window saves its first block as `base`.
  void LiveRun(int averages, const std::string& base) {
    w->CSamplingRate->setCurrentIndex(0);
    emit w->CSamplingRate->activated(0);
    w->CFFTLength->setCurrentIndex(0);  // 256
    emit w->CFFTLength->activated(0);
    w->CNumChannels->SetItemIndex(1);
    w->CAvg->setCurrentIndex(averages - 1);
    w->CBMaxHold->setChecked(true);
    w->SaveDialog1.Runner = [base](TSaveDialog& d) {
      d.FileName = QString::fromStdString(base);
      return true;
    };
    SaveOnFirstBlock saver(w);
    w->SpectrumConsumers.push_back(&saver);
    emit w->BStart->clicked();
    TCalcSpectrumThread* t = w->CalcThread;
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(QTest::qWaitFor([&] { return saver.blocks >= 1; }, 10000));
    emit w->BStop->clicked();
    EXPECT_TRUE(t->Shutdown(5000));
    w->DeleteThread(t);
    w->SpectrumConsumers.pop_back();
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
  }
  tvtest::TempDir dir;
};

TEST_F(AnalyseVersusLive, TheFirstBlockGivesTheSameTableBitForBit) {
  // Two tones and a little of everything else, so that no bin is trivially equal.
  std::vector<int16_t> samples = Tone(8000, 2, 8000, {1234.5, 2718.0}, 9000.0);
  uint32_t seed = 12345;
  for (int16_t& s : samples) {
    seed = seed * 1664525u + 1013904223u;
    s = static_cast<int16_t>(s + static_cast<int>(seed >> 24) - 128);
  }
  tvtest::WriteRawFile(dir.File("live.raw"), samples);
  tvtest::UseReplayDevice(dir.Path(), dir.File("live.raw"));
  WriteSound(dir.File("live.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 2, samples);
  w->show();
  for (int averages : {1, 4}) {
    const std::string base = dir.File("live" + std::to_string(averages));
    LiveRun(averages, base);
    const std::string live = ReadBytes(base + ".txt");
    ASSERT_TRUE(live.starts_with(
        "F-Axis[Hz] , Data L[dB] , Data R[dB] , Data Lmax[dB] , Data Rmax[dB]\r\n"))
        << live.substr(0, 80);
    // One block: 256 frames at 8000 Hz.
    const std::string table = dir.File("cli" + std::to_string(averages) + ".txt");
    Result r =
        RunAnalyse({"--fft", "256", "--window", "Blackman Harris", "--average",
                    QString::number(averages), "--max-hold", "--length", "0.032", "--table",
                    QString::fromStdString(table), QString::fromStdString(dir.File("live.wav"))});
    ASSERT_EQ(r.status, 0) << r.Message();
    EXPECT_EQ(ReadBytes(table), live) << "averages " << averages;
  }
}

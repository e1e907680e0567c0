// tonvista-generate as the built program: the files it writes read back with libsndfile and
// measured here, its refusals, and nothing left behind when it fails.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QProcess>
#include <cmath>
#include <complex>
#include <fstream>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "AlsaTestDevice.h"
#include "PulseTestServer.h"
#include "Pulsecapture.h"

namespace {

struct Result {
  int status = -1;
  QByteArray out, err;
  std::string Message() const { return err.trimmed().toStdString(); }
};

Result RunGenerate(const QStringList& args) {
  QProcess p;
  p.start(TONVISTA_GENERATE, args);
  Result r;
  if (!p.waitForStarted(10000)) return r;
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

struct Sound {
  SF_INFO info{};
  std::vector<double> samples;  // interleaved, full scale 1.0
  bool ok = false;
};

Sound Read(const std::string& path) {
  Sound s;
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &s.info);
  if (!f) return s;
  // Integers as they are: 16 bits over 32768, 24 bits over 8388608.
  sf_command(f, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
  s.samples.resize(static_cast<size_t>(s.info.frames) * s.info.channels);
  s.ok = sf_readf_double(f, s.samples.data(), s.info.frames) == s.info.frames;
  sf_close(f);
  return s;
}

// Amplitude of the sine at `hz` in channel `c`, over whole seconds from `from` (Goertzel).
double Tone(const Sound& s, int c, double hz, long from, long count) {
  const double w = 2 * std::numbers::pi * hz / s.info.samplerate;
  std::complex<double> acc = 0;
  for (long i = 0; i < count; ++i)
    acc += s.samples[static_cast<size_t>(from + i) * s.info.channels + c] * std::polar(1.0, -w * i);
  return 2 * std::abs(acc) / static_cast<double>(count);
}

double Db(double v) {
  return 20 * std::log10(v);
}

class Generate : public ::testing::Test {
 protected:
  std::string File(const std::string& name) const { return dir.File(name); }
  QString Q(const std::string& name) const { return QString::fromStdString(File(name)); }
  QStringList Files() const {
    return QDir(QString::fromStdString(dir.Path()))
        .entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::Dirs | QDir::NoDotAndDotDot);
  }
  tvtest::TempDir dir;
};

// The defaults: a 1 kHz sine at -20 dBFS, 10 s, 48 kHz, mono, 16-bit WAV.
TEST_F(Generate, DefaultsGiveTheStatedFile) {
  const Result r = RunGenerate({"--signal", "sine", Q("a.wav")});
  ASSERT_EQ(r.status, 0) << r.Message();
  EXPECT_TRUE(r.err.isEmpty());
  const Sound s = Read(File("a.wav"));
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  EXPECT_EQ(s.info.samplerate, 48000);
  EXPECT_EQ(s.info.channels, 1);
  EXPECT_EQ(s.info.frames, 480000);
  EXPECT_NEAR(Db(Tone(s, 0, 1000, 48000, 48000)), -20, 0.01);
  // Fades at both ends.
  EXPECT_LT(std::abs(s.samples[0]), 1e-3);
  EXPECT_LT(std::abs(s.samples.back()), 1e-3);
  EXPECT_EQ(Files(), QStringList{"a.wav"});
}

// Every format, both containers and the named options, measured back.
TEST_F(Generate, FormatsContainersAndOptions) {
  struct Case {
    QStringList args;
    std::string name;
    int format, rate, channels;
    long frames;
  };
  const Case cases[] = {
      {{"--signal", "sine", "--format", "float", "--level", "-1", "--frequency", "997"},
       "f.wav",
       SF_FORMAT_WAV | SF_FORMAT_FLOAT,
       48000,
       1,
       480000},
      {{"--signal", "sine", "--format", "pcm24", "--rate", "96000", "--channels", "2", "--length",
        "2"},
       "b.flac",
       SF_FORMAT_FLAC | SF_FORMAT_PCM_24,
       96000,
       2,
       192000},
      {{"--signal", "twotone", "--frequency", "60", "--frequency2", "7000", "--ratio", "4",
        "--length", "3", "--level", "-6"},
       "t.WAV",
       SF_FORMAT_WAV | SF_FORMAT_PCM_16,
       48000,
       1,
       144000},
      {{"--signal", "sweep", "--from", "20", "--to", "20000", "--length", "4", "--rate", "44100"},
       "s.FLAC",
       SF_FORMAT_FLAC | SF_FORMAT_PCM_16,
       44100,
       1,
       176400},
  };
  for (const Case& c : cases) {
    const Result r = RunGenerate(c.args + QStringList{Q(c.name)});
    ASSERT_EQ(r.status, 0) << c.name << ": " << r.Message();
    const Sound s = Read(File(c.name));
    ASSERT_TRUE(s.ok) << c.name;
    EXPECT_EQ(s.info.format, c.format) << c.name;
    EXPECT_EQ(s.info.samplerate, c.rate) << c.name;
    EXPECT_EQ(s.info.channels, c.channels) << c.name;
    EXPECT_EQ(s.info.frames, c.frames) << c.name;
    double peak = 0;
    for (double v : s.samples)
      peak = std::max(peak, std::abs(v));
    EXPECT_LE(peak, 1.0);
    if (c.name == "f.wav") {
      EXPECT_NEAR(Db(Tone(s, 0, 997, 48000, 48000)), -1, 0.01);
    } else if (c.name == "b.flac") {
      for (int ch = 0; ch < 2; ++ch)
        EXPECT_NEAR(Db(Tone(s, ch, 1000, 48000, 96000)), -20, 0.01);
    } else if (c.name == "t.WAV") {
      const double a = Tone(s, 0, 60, 48000, 48000), b = Tone(s, 0, 7000, 48000, 48000);
      EXPECT_NEAR(a / b, 4, 0.01);
      EXPECT_NEAR(Db(a + b), -6, 0.02);
    } else {
      EXPECT_NEAR(Db(peak), -20, 0.05);
    }
  }
}

TEST_F(Generate, NoiseHasItsLevelAndTheSameSeedTheSameNoise) {
  for (const char* signal : {"white", "pink", "periodic-pink", "mls"}) {
    const std::string a = std::string(signal) + "1.wav", b = std::string(signal) + "2.wav";
    for (const std::string& name : {a, b}) {
      const Result r = RunGenerate({"--signal", signal, "--format", "float", "--length", "5",
                                    "--seed", "42", "--level", "-20", Q(name)});
      ASSERT_EQ(r.status, 0) << signal << ": " << r.Message();
    }
    const Sound x = Read(File(a)), y = Read(File(b));
    ASSERT_TRUE(x.ok && y.ok);
    EXPECT_EQ(x.samples, y.samples) << signal;
    double sum = 0;
    for (size_t i = 4800; i < x.samples.size() - 4800; ++i)
      sum += x.samples[i] * x.samples[i];
    const double rms = std::sqrt(sum / static_cast<double>(x.samples.size() - 9600));
    EXPECT_NEAR(Db(rms * std::sqrt(2.0)), -20, 0.3) << signal;
  }
  // Without a seed, each run draws afresh.
  ASSERT_EQ(RunGenerate({"--signal", "white", "--length", "0.1", Q("w1.wav")}).status, 0);
  ASSERT_EQ(RunGenerate({"--signal", "white", "--length", "0.1", Q("w2.wav")}).status, 0);
  EXPECT_NE(Read(File("w1.wav")).samples, Read(File("w2.wav")).samples);
}

// Status 2 with one line for every bad option or value, and no file.
TEST_F(Generate, BadOptionsAndValuesGetStatusTwo) {
  const QStringList bad[] = {
      {"--signal", "noise"},
      {"--signal", "sine", "--level", "0.1"},
      {"--signal", "sine", "--level", "loud"},
      {"--signal", "sine", "--frequency", "24000"},
      {"--signal", "sine", "--frequency", "11025", "--rate", "22050"},
      {"--signal", "twotone", "--frequency2", "30000"},
      {"--signal", "sweep", "--to", "24000"},
      {"--signal", "sine", "--length", "0"},
      {"--signal", "sine", "--length", "-1"},
      {"--signal", "sine", "--rate", "7999"},
      {"--signal", "sine", "--channels", "3"},
      {"--signal", "sine", "--format", "pcm32"},
      {"--signal", "sine", "--format", "float", "--flac-by-name"},
      {"--signal", "pink", "--level", "-5"},
      {"--signal", "sine", "--linear"},
      {"--frequency", "1000"},
      {"--signal"},
      {"--signal", "sine", "--length", "100000"},
      {"--signal", "sine\nwave"},  // stays within the one line
  };
  for (const QStringList& args : bad) {
    const Result r = RunGenerate(args + QStringList{Q("x.wav")});
    EXPECT_EQ(r.status, 2) << args.join(' ').toStdString();
    EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
    EXPECT_TRUE(r.err.startsWith("tonvista-generate: ")) << r.err.toStdString();
  }
  // FLAC holds no floats.
  EXPECT_EQ(RunGenerate({"--signal", "sine", "--format", "float", Q("x.flac")}).status, 2);
  EXPECT_EQ(RunGenerate({"--signal", "sine"}).status, 2);
  EXPECT_EQ(RunGenerate({"--signal", "sine", Q("x.wav"), Q("y.wav")}).status, 2);
  EXPECT_TRUE(Files().isEmpty()) << Files().join(' ').toStdString();
  // 0 dBFS is allowed.
  EXPECT_EQ(RunGenerate({"--signal", "sine", "--level", "0", "--length", "0.1", Q("z.wav")}).status,
            0);
}

// Status 4 for an output that cannot be written: nothing is written, nothing is left behind,
// and an existing file is only ever replaced whole.
TEST_F(Generate, AnOutputThatCannotBeWrittenGetsStatusFour) {
  ASSERT_EQ(mkdir(File("folder").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(File("fifo").c_str(), 0644), 0);
  for (const std::string& path : {File("folder"), File("fifo"), File("missing/x.wav"),
                                  std::string("/dev/null"), std::string("/dev/full")}) {
    const Result r =
        RunGenerate({"--signal", "sine", "--length", "0.1", QString::fromStdString(path)});
    EXPECT_EQ(r.status, 4) << path;
    EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
    EXPECT_NE(r.Message().find(path), std::string::npos) << r.Message();
  }
  struct stat st {};
  ASSERT_EQ(stat(File("fifo").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(Files(), (QStringList{"fifo", "folder"}));
  // An existing file: untouched by a refused run, replaced by a good one (through a link the
  // link stays).
  { std::ofstream(File("old.wav")) << "old"; }
  ASSERT_EQ(symlink(File("old.wav").c_str(), File("link.wav").c_str()), 0);
  EXPECT_EQ(RunGenerate({"--signal", "sine", "--level", "1", Q("link.wav")}).status, 2);
  EXPECT_EQ(Read(File("old.wav")).ok, false);
  ASSERT_EQ(RunGenerate({"--signal", "sine", "--length", "0.5", Q("link.wav")}).status, 0);
  ASSERT_EQ(lstat(File("link.wav").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(Read(File("old.wav")).info.frames, 24000);
  EXPECT_EQ(Files(), (QStringList{"fifo", "folder", "link.wav", "old.wav"}));
}

// --play through a private server: the tone reaches the sink named, at its level, for its
// length; a termination fades out at once; an output that is not there is refused.
TEST(GeneratePlay, PlaysToTheOutputNamedAndStopsWhenAsked) {
  tvtest::PulseTestServer server;
  ASSERT_TRUE(server.Start());
  ASSERT_GE(server.AddSink("tvgen", "Generator Test"), 0);
  PulseCapture capture("tvgen.monitor");
  // Stereo in and out: a server's mono up- and down-mixing has levels of its own.
  std::vector<int16_t> block(2 * 4800);
  auto silent = [&] {
    return std::all_of(block.begin(), block.end(), [](int16_t v) { return v == 0; });
  };
  // Nothing plays before the program is asked to.
  for (int i = 0; i < 5; ++i)
    capture.Record(2, 48000, block.data(), 4800);
  EXPECT_TRUE(silent());

  QProcess p;
  p.start(TONVISTA_GENERATE,
          {"--signal", "sine", "--frequency", "1000", "--level", "-10", "--length", "30",
           "--format", "float", "--channels", "2", "--play", "Generator Test"});
  ASSERT_TRUE(p.waitForStarted(5000));
  // The tone at its level within a few seconds (the sink runs at the server's rate and 16
  // bits, hence the wider bound).
  bool heard = false;
  double last = -999;
  for (int i = 0; i < 50 && !heard; ++i) {
    if (capture.Record(2, 48000, block.data(), 4800) != 4800) continue;
    std::complex<double> acc = 0;
    for (int k = 0; k < 4800; ++k)
      acc += block[2 * k] / 32768.0 * std::polar(1.0, -2 * std::numbers::pi * 1000 * k / 48000);
    last = Db(2 * std::abs(acc) / 4800);
    heard = std::abs(last + 10) < 0.2;
  }
  EXPECT_TRUE(heard) << "last block at " << last << " dB; "
                     << p.readAllStandardError().toStdString();
  // A termination fades out and ends the program long before its 30 s.
  const auto t = std::chrono::steady_clock::now();
  p.terminate();
  ASSERT_TRUE(p.waitForFinished(5000));
  EXPECT_LT(std::chrono::steady_clock::now() - t, std::chrono::seconds(3));
  EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  capture.Record(2, 48000, block.data(), 4800);
  EXPECT_TRUE(silent());

  // A short run ends by itself after its length.
  const auto t2 = std::chrono::steady_clock::now();
  const Result r =
      RunGenerate({"--signal", "pink", "--length", "1", "--play=tvgen", "--format", "pcm24"});
  EXPECT_EQ(r.status, 0) << r.Message();
  EXPECT_GE(std::chrono::steady_clock::now() - t2, std::chrono::milliseconds(900));
  EXPECT_LT(std::chrono::steady_clock::now() - t2, std::chrono::seconds(6));

  const Result missing = RunGenerate({"--signal", "sine", "--play", "No Such Output"});
  EXPECT_EQ(missing.status, 4);
  EXPECT_EQ(missing.err.count('\n'), 1);
  EXPECT_NE(missing.Message().find("No Such Output"), std::string::npos) << missing.Message();
  EXPECT_EQ(RunGenerate({"--signal", "sine", "--play", "tvgen", "x.wav"}).status, 2);
}

TEST_F(Generate, HelpAndVersion) {
  Result r = RunGenerate({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out.contains("--signal sine|twotone|white|pink|sweep"));
  r = RunGenerate({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out.startsWith("tonvista-generate "));
}

}  // namespace

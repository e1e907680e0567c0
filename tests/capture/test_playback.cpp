// Sound output through real private servers: the generator plays into a null sink and the
// project's own capture records that sink's monitor; faults are a sink unloaded while playing,
// a server killed and a server frozen. ALSA playback goes into ALSA's file plugin.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <numbers>
#include <thread>

#include "AlsaTestDevice.h"
#include "Alsaplayback.h"
#include "Fft.h"
#include "Outputlist.h"
#include "Player.h"
#include "PulseTestServer.h"
#include "Pulsecapture.h"
#include "Pulseplayback.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

long long MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

std::string Shell(const std::string& command) {
  std::string text;
  if (FILE* p = popen((command + " 2>&1").c_str(), "r")) {
    char buf[256];
    while (fgets(buf, sizeof buf, p))
      text += buf;
    pclose(p);
  }
  return text;
}

// A float null sink at 48 kHz: nothing between the stream and the monitor changes a sample.
int AddFloatSink(const std::string& name, const std::string& description) {
  const std::string out =
      Shell("pactl load-module module-null-sink sink_name=" + name +
            " rate=48000 format=float32le channels=2 \"sink_properties='device.description=\\\"" +
            description + "\\\"'\"");
  return std::atoi(out.c_str()) > 0 || out.rfind("0", 0) == 0 ? std::atoi(out.c_str()) : -1;
}

// The streams the server plays: one line per sink input.
int SinkInputs() {
  const std::string out = Shell("pactl list short sink-inputs");
  return static_cast<int>(std::count(out.begin(), out.end(), '\n'));
}

// Amplitude (full scale 1) of a sine at `hz` over `samples` (a whole number of its cycles),
// and the frequency from the phase advance between the two halves.
struct Measured {
  double amplitude = 0, hz = 0;
};
Measured Measure(const std::vector<int16_t>& s, int channels, int channel, double hz, int rate) {
  const size_t n = s.size() / channels;
  auto dft = [&](size_t from, size_t count) {
    std::complex<double> acc = 0;
    for (size_t i = 0; i < count; ++i)
      acc += (s[(from + i) * channels + channel] / 32768.0) *
             std::polar(1.0, -2 * std::numbers::pi * hz * static_cast<double>(from + i) / rate);
    return acc * (2.0 / static_cast<double>(count));
  };
  const std::complex<double> a = dft(0, n / 2), b = dft(n / 2, n / 2);
  Measured m;
  m.amplitude = std::abs(dft(0, n));
  m.hz = hz + std::arg(b / a) / (2 * std::numbers::pi * (static_cast<double>(n) / 2 / rate));
  return m;
}

double Db(double v) {
  return 20 * std::log10(v);
}

// Sends SIG to the private server (the folder PulseTestServer made holds its run folder).
void SignalServer(const std::string& sig) {
  const std::string run = getenv("XDG_RUNTIME_DIR");
  Shell("bash " TONVISTA_SOURCE_DIR "/scripts/sound-test-server signal " +
        run.substr(0, run.rfind("/run")) + " " + sig);
}

GeneratorSettings Sine(double hz, double level, bool on = true) {
  GeneratorSettings s;
  s.on = on;
  s.frequency = hz;
  s.levelDb = level;
  s.rate = 48000;
  return s;
}

class PlaybackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.Start());
    module = AddFloatSink("tvout", "Test Output");
    ASSERT_GE(module, 0);
  }
  // Records blocks of the monitor until one holds the tone near its level (the stream needs a
  // moment, and the fade-in must be over), then until one holds it steadily (its halves agree
  // to 0.01 dB: a fresh server may still have a gap or two), at most `seconds`.
  bool RecordTone(PulseCapture& c, int channels, double hz, double level,
                  std::vector<int16_t>& block, double seconds = 5) {
    const auto t = Clock::now();
    bool near = false;
    while (MsSince(t) < seconds * 1000) {
      if (c.Record(channels, 48000, block.data(), 48000) != 48000) continue;
      const Measured m = Measure(block, channels, 0, hz, 48000);
      if (!near) {
        near = std::abs(Db(m.amplitude) - level) < 1.0;
        continue;
      }
      const std::vector<int16_t> a(block.begin(), block.begin() + 24000 * channels),
          b(block.begin() + 24000 * channels, block.end());
      if (std::abs(Db(Measure(a, channels, 0, hz, 48000).amplitude /
                      Measure(b, channels, 0, hz, 48000).amplitude)) < 0.01)
        return true;
    }
    return false;
  }
  tvtest::PulseTestServer server;
  int module = -1;
};

TEST(PlaybackState, Texts) {
  EXPECT_EQ(PlaybackStateText(PlaybackState::Playing, "x"), "playing");
  EXPECT_EQ(PlaybackStateText(PlaybackState::OutputGone, "Test Output"),
            "output gone: Test Output");
  EXPECT_EQ(PlaybackStateText(PlaybackState::DeviceBusy, "x"), "device busy");
  EXPECT_EQ(PlaybackStateText(PlaybackState::Idle, "x"), "");
  EXPECT_EQ(DefaultOutput().description, "Default output (system)");
}

// The tone the monitor hears has the frequency and level set, in each format and in mono and
// stereo; with one side chosen the other stays silent.
TEST_F(PlaybackTest, ToneRecordedFromTheMonitorHasItsFrequencyAndLevel) {
  tvtest::StderrCapture err;
  struct Case {
    SampleFormat format;
    int channels;
    GeneratorChannels side;
    double hz, level;
  };
  for (const Case c : {Case{SampleFormat::Float, 2, GeneratorChannels::Both, 1000, -20},
                       Case{SampleFormat::Pcm24, 2, GeneratorChannels::Left, 997, -6},
                       Case{SampleFormat::Pcm16, 1, GeneratorChannels::Both, 3000, -12}}) {
    SCOPED_TRACE(std::to_string(c.hz) + " Hz");
    Player player(std::make_unique<PulsePlayback>("tvout"), "Test Output", c.channels, c.format, 5);
    EXPECT_EQ(player.State(), PlaybackState::Idle);
    GeneratorSettings s = Sine(c.hz, c.level);
    s.channels = c.side;
    player.SetSettings(s);
    PulseCapture capture("tvout.monitor");
    std::vector<int16_t> block(48000 * 2);
    ASSERT_TRUE(RecordTone(capture, 2, c.hz, c.level, block));
    EXPECT_EQ(player.State(), PlaybackState::Playing);
    EXPECT_EQ(player.StateText(), "playing");
    const Measured left = Measure(block, 2, 0, c.hz, 48000);
    EXPECT_NEAR(Db(left.amplitude), c.level, 0.05);
    EXPECT_NEAR(left.hz, c.hz, 0.01);
    const Measured right = Measure(block, 2, 1, c.hz, 48000);
    if (c.side == GeneratorChannels::Left)
      EXPECT_LT(right.amplitude, 1e-4);
    else
      EXPECT_NEAR(Db(right.amplitude), c.level, 0.05);
  }
  EXPECT_EQ(err.Text(), "");
}

// Periodic pink noise through the server: any one period recorded from the monitor has each
// one-third-octave band from 20 Hz to 16 kHz within 0.1 dB of the pink curve, and the level.
TEST_F(PlaybackTest, PeriodicPinkThroughTheServerKeepsItsBands) {
  constexpr int kPeriod = 65536;
  Player player(std::make_unique<PulsePlayback>("tvout"), "Test Output", 2, SampleFormat::Float, 3);
  GeneratorSettings s;
  s.on = true;
  s.signal = GeneratorSignal::PeriodicPink;
  s.period = kPeriod;
  s.levelDb = -20;
  s.rate = 48000;
  player.SetSettings(s);
  PulseCapture capture("tvout.monitor");
  std::vector<int16_t> block(2 * kPeriod);
  // Past the fade-in: a block whose level is steady.
  bool steady = false;
  for (int i = 0; i < 20 && !steady; ++i) {
    if (capture.Record(2, 48000, block.data(), kPeriod) != kPeriod) continue;
    double first = 0, second = 0;
    for (int k = 0; k < kPeriod; ++k)
      (k < kPeriod / 2 ? first : second) += std::pow(block[2 * k] / 32768.0, 2);
    steady = first > 0 && std::abs(10 * std::log10(second / first)) < 0.5 &&
             std::abs(10 * std::log10((first + second) / kPeriod * 2) + 20) < 0.5;
    if (steady) steady = capture.Record(2, 48000, block.data(), kPeriod) == kPeriod;
  }
  ASSERT_TRUE(steady);
  std::vector<double> left(kPeriod);
  double power = 0;
  for (int k = 0; k < kPeriod; ++k) {
    left[k] = block[2 * k];
    power += std::pow(block[2 * k] / 32768.0, 2);
  }
  EXPECT_NEAR(10 * std::log10(power / kPeriod * 2), -20, 0.05);
  FFT fft(kPeriod);
  fft.Process(left.data(), WindowRectangular);
  const double binHz = 48000.0 / kPeriod;
  double ref = 0;
  for (int band = -17; band <= 12; ++band) {
    const double mid = 1000 * std::pow(10.0, band / 10.0);
    const double lo = mid * std::pow(10.0, -0.05), hi = mid * std::pow(10.0, 0.05);
    double got = 0, curve = 0;
    for (int k = 1; k < kPeriod / 2; ++k) {
      const double f = k * binHz;
      if (f < lo || f >= hi) continue;
      got += std::norm(std::complex<double>(fft.SpectrumRe[k], fft.SpectrumIm[k]));
      curve += 1.0 / f;
    }
    const double db = 10 * std::log10(got / curve);
    if (band == -17) ref = db;
    EXPECT_NEAR(db, ref, 0.1) << "band " << mid;
  }
}

// Random pink noise through the server, 30 s recorded from the monitor: its level, and every
// one-third-octave band from 63 Hz to 16 kHz within 1 dB of their mean (each recorded block
// its own Hann-windowed FFT, the powers averaged).
TEST_F(PlaybackTest, PinkNoiseThroughTheServerHasItsLevelAndFlatBands) {
  constexpr int kN = 65536;
  Player player(std::make_unique<PulsePlayback>("tvout"), "Test Output", 2, SampleFormat::Float, 8);
  GeneratorSettings s;
  s.on = true;
  s.signal = GeneratorSignal::Pink;
  s.levelDb = -20;
  s.rate = 48000;
  player.SetSettings(s);
  PulseCapture capture("tvout.monitor");
  std::vector<int16_t> block(2 * kN);
  // Past the start and its fade.
  const auto t = Clock::now();
  while (MsSince(t) < 1000)
    capture.Record(2, 48000, block.data(), 4800);
  FFT fft(kN);
  std::vector<double> psd(kN / 2, 0.0), left(kN);
  double power = 0;
  int blocks = 0;
  for (int i = 0; i < 40 && blocks < 22; ++i) {
    if (capture.Record(2, 48000, block.data(), kN) != kN) continue;
    for (int k = 0; k < kN; ++k) {
      left[k] = block[2 * k];
      power += std::pow(block[2 * k] / 32768.0, 2);
    }
    fft.Process(left.data(), WindowHanning);
    for (int k = 0; k < kN / 2; ++k)
      psd[k] += fft.Levels[k] * fft.Levels[k];
    ++blocks;
  }
  ASSERT_EQ(blocks, 22);
  EXPECT_NEAR(10 * std::log10(power / (static_cast<double>(blocks) * kN) * 2), -20, 0.2);
  const double binHz = 48000.0 / kN;
  std::vector<double> bands;
  for (int band = -12; band <= 12; ++band) {
    const double mid = 1000 * std::pow(10.0, band / 10.0);
    double sum = 0;
    for (int k = 1; k < kN / 2; ++k)
      if (k * binHz >= mid * std::pow(10.0, -0.05) && k * binHz < mid * std::pow(10.0, 0.05))
        sum += psd[k];
    bands.push_back(10 * std::log10(sum));
  }
  double mean = 0;
  for (double b : bands)
    mean += b;
  mean /= static_cast<double>(bands.size());
  for (size_t i = 0; i < bands.size(); ++i)
    EXPECT_NEAR(bands[i], mean, 1.0)
        << "band " << 1000 * std::pow(10.0, (static_cast<int>(i) - 12) / 10.0);
  // (Underruns depend on the machine's load: scripts/bench counts them, not this test.)
}

// A new rate needs a new stream: the player fades out, reopens and plays on at the new rate.
TEST_F(PlaybackTest, ANewRateReopensTheStreamAndPlaysOn) {
  Player player(std::make_unique<PulsePlayback>("tvout"), "Test Output", 2, SampleFormat::Float, 1);
  player.SetSettings(Sine(1000, -20));
  PulseCapture capture("tvout.monitor");
  std::vector<int16_t> block(48000 * 2);
  ASSERT_TRUE(RecordTone(capture, 2, 1000, -20, block));
  GeneratorSettings s = Sine(1500, -14);
  s.rate = 44100;
  player.SetSettings(s);
  ASSERT_TRUE(RecordTone(capture, 2, 1500, -14, block));
  // The monitor runs at 48 kHz: the server converts, which costs a little of the level.
  EXPECT_NEAR(Db(Measure(block, 2, 0, 1500, 48000).amplitude), -14, 0.1);
  EXPECT_NEAR(Measure(block, 2, 0, 1500, 48000).hz, 1500, 0.01);
  EXPECT_EQ(player.State(), PlaybackState::Playing);
}

// Nothing plays until asked; off closes the stream, and so does the end of the player.
TEST_F(PlaybackTest, NothingPlaysUntilAskedAndOffClosesTheStream) {
  Player player(std::make_unique<PulsePlayback>("tvout"), "Test Output", 2, SampleFormat::Float, 1);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(SinkInputs(), 0);
  EXPECT_EQ(player.FramesPlayed(), 0);
  player.SetSettings(Sine(1000, -20));
  const auto t = Clock::now();
  while (SinkInputs() == 0 && MsSince(t) < 3000)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(SinkInputs(), 1);
  player.SetSettings(Sine(1000, -20, false));
  while (SinkInputs() == 1 && MsSince(t) < 6000)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(SinkInputs(), 0);
  EXPECT_EQ(player.State(), PlaybackState::Idle);
  player.SetSettings(Sine(1000, -20));
  while (SinkInputs() == 0 && MsSince(t) < 9000)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(SinkInputs(), 1);
}

TEST_F(PlaybackTest, TheEndOfThePlayerStopsTheSound) {
  PulseCapture capture("tvout.monitor");
  std::vector<int16_t> block(48000 * 2);
  {
    Player player(std::make_unique<PulsePlayback>("tvout"), "Test Output", 2, SampleFormat::Float,
                  1);
    player.SetSettings(Sine(1000, -20));
    ASSERT_TRUE(RecordTone(capture, 2, 1000, -20, block));
    // The destructor fades out and lets the buffer play out.
  }
  EXPECT_EQ(SinkInputs(), 0);
  ASSERT_EQ(capture.Record(2, 48000, block.data(), 24000), 24000);
  EXPECT_LT(
      Measure(std::vector<int16_t>(block.begin() + 9600, block.begin() + 48000), 2, 0, 1000, 48000)
          .amplitude,
      1e-4);
}

// The sink goes while playing: the state says so, nothing hangs; it comes back and the tone
// plays again by itself.
TEST_F(PlaybackTest, SinkUnloadedWhilePlayingGivesOutputGoneAndResumes) {
  tvtest::StderrCapture err;
  Player player(std::make_unique<PulsePlayback>("tvout"), "Test Output", 2, SampleFormat::Float, 1);
  player.SetSettings(Sine(1000, -20));
  PulseCapture capture("tvout.monitor");
  std::vector<int16_t> block(48000 * 2);
  ASSERT_TRUE(RecordTone(capture, 2, 1000, -20, block));
  ASSERT_TRUE(server.Unload(module));
  auto t = Clock::now();
  while (player.State() != PlaybackState::OutputGone && MsSince(t) < 3000)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(player.State(), PlaybackState::OutputGone);
  EXPECT_EQ(player.StateText(), "output gone: Test Output");
  // Meanwhile the thread keeps its pace: frames are not counted as played (once the block
  // that was being written when the sink went has returned).
  std::this_thread::sleep_for(100ms);
  const int64_t before = player.FramesPlayed();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(player.FramesPlayed(), before);
  EXPECT_EQ(SinkInputs(), 0);
  module = AddFloatSink("tvout", "Test Output");
  ASSERT_GE(module, 0);
  PulseCapture again("tvout.monitor");
  ASSERT_TRUE(RecordTone(again, 2, 1000, -20, block));
  EXPECT_NEAR(Db(Measure(block, 2, 0, 1000, 48000).amplitude), -20, 0.05);
  EXPECT_EQ(player.State(), PlaybackState::Playing);
  EXPECT_EQ(err.Text(), "");
}

TEST_F(PlaybackTest, ServerKilledGivesOutputGoneAndResumesWithANewServer) {
  Player player(std::make_unique<PulsePlayback>("tvout"), "Test Output", 2, SampleFormat::Float, 1);
  player.SetSettings(Sine(1000, -20));
  {
    PulseCapture capture("tvout.monitor");
    std::vector<int16_t> block(48000 * 2);
    ASSERT_TRUE(RecordTone(capture, 2, 1000, -20, block));
  }
  ASSERT_TRUE(server.Stop());
  auto t = Clock::now();
  while (player.State() != PlaybackState::OutputGone && MsSince(t) < 3000)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(player.State(), PlaybackState::OutputGone);
  std::this_thread::sleep_for(700ms);
  ASSERT_TRUE(server.Start());
  module = AddFloatSink("tvout", "Test Output");
  ASSERT_GE(module, 0);
  PulseCapture capture("tvout.monitor");
  std::vector<int16_t> block(48000 * 2);
  ASSERT_TRUE(RecordTone(capture, 2, 1000, -20, block, 8));
  EXPECT_NEAR(Db(Measure(block, 2, 0, 1000, 48000).amplitude), -20, 0.05);
}

// A frozen server takes nothing: the state turns to output gone within a block and a second
// or two, the player can still be ended, and sound resumes when the server runs again.
TEST_F(PlaybackTest, ServerFrozenGivesOutputGoneNothingHangsAndSoundResumes) {
  auto player = std::make_unique<Player>(std::make_unique<PulsePlayback>("tvout"), "Test Output", 2,
                                         SampleFormat::Float, 1);
  player->SetSettings(Sine(1000, -20));
  {
    PulseCapture capture("tvout.monitor");
    std::vector<int16_t> block(48000 * 2);
    ASSERT_TRUE(RecordTone(capture, 2, 1000, -20, block));
  }
  SignalServer("STOP");
  auto t = Clock::now();
  while (player->State() != PlaybackState::OutputGone && MsSince(t) < 5000)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(player->State(), PlaybackState::OutputGone);
  EXPECT_LT(MsSince(t), 3000);
  // Settings still reach a player whose output hangs.
  player->SetSettings(Sine(1000, -20));
  SignalServer("CONT");
  PulseCapture capture("tvout.monitor");
  std::vector<int16_t> block(48000 * 2);
  ASSERT_TRUE(RecordTone(capture, 2, 1000, -20, block, 10));
  EXPECT_EQ(player->State(), PlaybackState::Playing);
  // Frozen again: ending the player must not wait for the server.
  SignalServer("STOP");
  std::this_thread::sleep_for(200ms);
  t = Clock::now();
  player.reset();
  EXPECT_LT(MsSince(t), 3500);
  SignalServer("CONT");
}

TEST_F(PlaybackTest, OutputListHasTheDefaultThenTheSinksAndFollowsThem) {
  OutputList list(200ms);
  ASSERT_GT(list.WaitForChange(0, 3s), 0u);
  auto has = [&](const std::string& description) {
    const auto e = list.Entries();
    return std::any_of(e.begin(), e.end(), [&](const OutputEntry& o) {
      return o.kind == OutputKind::Pulse && o.description == description;
    });
  };
  auto t = Clock::now();
  while (!has("Test Output") && MsSince(t) < 3000)
    list.WaitForChange(list.Generation(), 200ms);
  const auto entries = list.Entries();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries[0], DefaultOutput());
  EXPECT_TRUE(has("Test Output"));
  // The sinks come before the ALSA PCMs.
  for (size_t i = 1; i < entries.size(); ++i) {
    if (entries[i].kind == OutputKind::Pulse) {
      EXPECT_NE(entries[i - 1].kind, OutputKind::Alsa) << i;
    }
  }
  ASSERT_TRUE(server.Unload(module));
  t = Clock::now();
  while (has("Test Output") && MsSince(t) < 3000)
    list.WaitForChange(list.Generation(), 200ms);
  EXPECT_FALSE(has("Test Output"));
  module = AddFloatSink("tvout", "Test Output");
  t = Clock::now();
  while (!has("Test Output") && MsSince(t) < 3000)
    list.WaitForChange(list.Generation(), 200ms);
  EXPECT_TRUE(has("Test Output"));
}

// ALSA: the samples that reach the device are the generator's, in each format (the file plugin
// writes what it is given); a device that cannot be opened keeps the pace and says so.
TEST(AlsaPlaybackTest, SamplesReachTheDeviceAndAMissingOneIsGone) {
  tvtest::TempDir dir;
  for (SampleFormat format : {SampleFormat::Pcm16, SampleFormat::Pcm24, SampleFormat::Float}) {
    const std::string raw = dir.File("out.raw");
    std::remove(raw.c_str());
    tvtest::UseAlsaConfig(dir.Path(), "pcm.tvplay { type file; slave.pcm { type null }; file \"" +
                                          raw + "\"; format \"raw\" }\n");
    AlsaPlayback sink("tvplay");
    GeneratorSettings s = Sine(1000, -6);
    Generator g(s, 1);
    std::vector<double> block(480 * 2), all;
    for (int i = 0; i < 100; ++i) {
      g.Render(block.data(), 480, 2);
      ASSERT_EQ(sink.Write({48000, 2, format}, block.data(), 480), 480);
      all.insert(all.end(), block.begin(), block.end());
    }
    EXPECT_EQ(sink.State(), PlaybackState::Playing);
    sink.Release();
    std::ifstream in(raw, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    const size_t width = format == SampleFormat::Pcm16 ? 2 : 4;
    ASSERT_EQ(bytes.size(), all.size() * width);
    double worst = 0;
    for (size_t i = 0; i < all.size(); ++i) {
      double v = 0;
      if (format == SampleFormat::Pcm16) {
        int16_t x;
        std::memcpy(&x, &bytes[i * 2], 2);
        v = x / 32766.0;
      } else if (format == SampleFormat::Pcm24) {
        int32_t x;
        std::memcpy(&x, &bytes[i * 4], 4);
        v = x / 8388607.0;
      } else {
        float x;
        std::memcpy(&x, &bytes[i * 4], 4);
        v = x;
      }
      worst = std::max(worst, std::abs(v - all[i]));
    }
    // Dither of up to a step and a half at 16 bits, rounding at 24, none in float.
    EXPECT_LT(worst, format == SampleFormat::Pcm16   ? 1.5 / 32766
                     : format == SampleFormat::Pcm24 ? 0.51 / 8388607
                                                     : 1e-7);
  }
  tvtest::UseNoDevice(dir.Path());
  AlsaPlayback missing("default");
  std::vector<double> block(4800 * 2, 0.0);
  for (int i = 0; i < 3; ++i) {
    const auto t = Clock::now();
    EXPECT_EQ(missing.Write({48000, 2, SampleFormat::Float}, block.data(), 4800), 0);
    EXPECT_GE(MsSince(t), 90);
    EXPECT_LT(MsSince(t), 1500);
    EXPECT_EQ(missing.State(), PlaybackState::OutputGone);
  }
  unsetenv("ALSA_CONFIG_PATH");
}

}  // namespace

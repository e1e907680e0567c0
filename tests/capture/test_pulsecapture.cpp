// Recording a named source of a real private PulseAudio server: the monitor of one of two
// sinks playing different tones, a source that goes and comes back, and the bad cases.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Audiodataacquisition.h"
#include "Inputlist.h"
#include "PulseTestServer.h"
#include "Pulsecapture.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

long long MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

class PulseCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.Start());
    sinkA = server.AddSink("tvA", "Sink A");
    sinkB = server.AddSink("tvB", "Sink B");
    ASSERT_GE(sinkA, 0);
    ASSERT_GE(sinkB, 0);
  }
  // Records until a block comes back whole (a fresh stream needs a moment), at most `tries`.
  static int RecordWhole(PulseCapture& c, int channels, int rate, std::vector<int16_t>& block,
                         int tries = 10) {
    int got = 0;
    for (int i = 0; i < tries && got < static_cast<int>(block.size()) / channels; ++i)
      got = c.Record(channels, rate, block.data(), static_cast<int>(block.size()) / channels);
    return got;
  }
  tvtest::PulseTestServer server;
  int sinkA = -1, sinkB = -1;
};

TEST_F(PulseCaptureTest, MonitorOfOneSinkShowsItsToneNotTheOtherInMonoAndStereo) {
  ASSERT_TRUE(server.Tone("tvA", 1000, 48000, 2));
  ASSERT_TRUE(server.Tone("tvB", 3000, 48000, 2));
  tvtest::StderrCapture err;
  for (const char* source : {"tvA.monitor", "tvB.monitor"}) {
    const double want = source[2] == 'A' ? 1000 : 3000, other = source[2] == 'A' ? 3000 : 1000;
    for (int channels : {1, 2}) {
      SCOPED_TRACE(std::string(source) + " channels " + std::to_string(channels));
      PulseCapture c(source);
      // The server converts 48 kHz to the rate asked for.
      std::vector<int16_t> block(4096 * channels);
      // Until the tones run, blocks are silent: wait for signal, then judge a fresh block.
      bool sound = false;
      for (int i = 0; i < 30 && !sound; ++i) {
        ASSERT_EQ(RecordWhole(c, channels, 44100, block), 4096);
        sound = std::any_of(block.begin(), block.end(), [](int16_t v) { return v > 4000; });
      }
      ASSERT_TRUE(sound);
      const auto t = Clock::now();
      ASSERT_EQ(c.Record(channels, 44100, block.data(), 4096), 4096);
      EXPECT_LT(MsSince(t), 93 + 500) << "a block lasts about its duration";
      for (int ch = 0; ch < channels; ++ch) {
        const tvtest::Spectrum s = tvtest::SpectrumOf(block, channels, ch, 44100, 5000);
        EXPECT_NEAR(s.PeakHz(), want, 2 * s.binHz);
        EXPECT_LT(s.RelativeDb(other), -40.0) << "the other sink's tone leaks in";
      }
      EXPECT_EQ(c.State(), CaptureState::Recording);
      EXPECT_EQ(CaptureStateText(c.State(), source), "recording");
    }
  }
  EXPECT_EQ(err.Text(), "");
}

TEST_F(PulseCaptureTest, TheDefaultInputRecordsTheServersDefaultSourceAndFollowsIt) {
  // ALSA's default decides: the plain pulse plugin is recorded from its server directly; a
  // plugin that names a source, a server or a fallback of its own, or another PCM, stays ALSA.
  tvtest::TempDir dir;
  const std::pair<const char*, bool> configs[] = {
      {"pcm.!default { type pulse }", true},
      {"pcm.!default { type pulse device \"tvA.monitor\" }", false},
      {"pcm.!default { type pulse fallback \"sysdefault\" }", false},
      {"pcm.!default { type pulse server \"unix:/nowhere\" }", false},
      {"pcm.!default { type null }", false},
  };
  for (const auto& [body, direct] : configs) {
    SCOPED_TRACE(body);
    tvtest::UseAlsaConfig(dir.Path(), body);
    EXPECT_EQ(AlsaDefaultIsPulseDefault(), direct);
    const auto source = MakeCaptureSource(DefaultInput());
    EXPECT_EQ(dynamic_cast<PulseCapture*>(source.get()) != nullptr, direct);
    EXPECT_EQ(dynamic_cast<CaptureSession*>(source.get()) != nullptr, !direct);
  }

  ASSERT_TRUE(server.Tone("tvA", 1000, 48000, 1));
  ASSERT_TRUE(server.Tone("tvB", 3000, 48000, 1));
  ASSERT_TRUE(server.SetDefaultSource("tvA.monitor"));
  PulseCapture c("");
  std::vector<int16_t> block(4096);
  auto peakWithin = [&](double hz, int blocks) {
    for (int i = 0; i < blocks; ++i) {
      if (c.Record(1, 44100, block.data(), 4096) != 4096) continue;
      const tvtest::Spectrum s = tvtest::SpectrumOf(block, 1, 0, 44100, 5000);
      if (s.PeakMag() > 1e5 && std::abs(s.PeakHz() - hz) < 2 * s.binHz) return true;
    }
    return false;
  };
  EXPECT_TRUE(peakWithin(1000, 30));
  // The stream goes where the server's default goes.
  ASSERT_TRUE(server.SetDefaultSource("tvB.monitor"));
  EXPECT_TRUE(peakWithin(3000, 40));
  EXPECT_EQ(c.State(), CaptureState::Recording);
  unsetenv("ALSA_CONFIG_PATH");
}

TEST_F(PulseCaptureTest, SourceUnloadedMidBlockGivesInputGoneAndSilenceThenResumes) {
  const int module = server.AddSink("tvC", "Sink C");
  ASSERT_GE(module, 0);
  ASSERT_TRUE(server.Tone("tvC", 2000, 48000, 1));
  tvtest::StderrCapture err;
  PulseCapture c("tvC.monitor");
  std::vector<int16_t> block(4096);
  ASSERT_EQ(RecordWhole(c, 1, 8000, block), 4096);

  // A block of 0.5 s; the sink goes 150 ms into it.
  std::thread unload([&] {
    std::this_thread::sleep_for(150ms);
    server.Unload(module);
  });
  auto t = Clock::now();
  const int got = c.Record(1, 8000, block.data(), 4000);
  unload.join();
  EXPECT_LT(got, 4000) << "the block ends when its source goes";
  EXPECT_LT(MsSince(t), 500 + 2000);
  EXPECT_EQ(c.State(), CaptureState::InputGone);
  EXPECT_EQ(CaptureStateText(c.State(), "Monitor of Sink C"), "input gone: Monitor of Sink C");

  // Meanwhile blocks are silent and keep their pace: no spinning, no hang.
  for (int i = 0; i < 3; ++i) {
    t = Clock::now();
    EXPECT_EQ(c.Record(1, 8000, block.data(), 2000), 0);
    EXPECT_GE(MsSince(t), 240);
    EXPECT_LT(MsSince(t), 250 + 2000);
    EXPECT_EQ(c.State(), CaptureState::InputGone);
  }

  // A sink of that name again, with a tone: recording resumes without being asked.
  ASSERT_GE(server.AddSink("tvC", "Sink C"), 0);
  ASSERT_TRUE(server.Quiet());
  ASSERT_TRUE(server.Tone("tvC", 2000, 48000, 1));
  bool tone = false;
  for (int i = 0; i < 40 && !tone; ++i) {
    const int n = c.Record(1, 8000, block.data(), 2000);
    if (n == 2000) {
      std::vector<int16_t> b(block.begin(), block.begin() + 2000);
      const tvtest::Spectrum s = tvtest::SpectrumOf(b, 1, 0, 8000, 3000);
      tone = s.PeakMag() > 1e5 && std::abs(s.PeakHz() - 2000) < 2 * s.binHz;
    }
  }
  EXPECT_TRUE(tone);
  EXPECT_EQ(c.State(), CaptureState::Recording);
  EXPECT_EQ(err.Text(), "");
}

// Between blocks nobody reads: what piles up meanwhile was recorded before the next call and
// must not end up in its block, whichever way the signal changed during the pause.
TEST_F(PulseCaptureTest, ABlockAfterAPauseHoldsNothingFromBeforeItsCall) {
  ASSERT_TRUE(server.Tone("tvA", 1000, 48000, 1));
  PulseCapture c("tvA.monitor");
  std::vector<int16_t> block(4000, 7);
  const auto loud = [&] {
    return std::any_of(block.begin(), block.end(), [](int16_t v) { return v > 4000; });
  };
  bool tone = false;
  for (int i = 0; i < 30 && !tone; ++i)
    tone = c.Record(1, 8000, block.data(), 4000) == 4000 && loud();
  ASSERT_TRUE(tone);
  // Tone, then silence while the caller is away: the next block is silent.
  ASSERT_TRUE(server.Quiet());
  std::this_thread::sleep_for(800ms);
  ASSERT_EQ(c.Record(1, 8000, block.data(), 4000), 4000);
  EXPECT_TRUE(std::all_of(block.begin(), block.end(), [](int16_t v) { return v == 0; }))
      << "the block holds sound from before the pause";
  // Silence, then the tone while the caller is away: the next block holds it throughout.
  ASSERT_TRUE(server.Tone("tvA", 1000, 48000, 1));
  std::this_thread::sleep_for(800ms);
  ASSERT_EQ(c.Record(1, 8000, block.data(), 4000), 4000);
  // A sine has no two zeros in a row.
  size_t run = 0, longest = 0;
  for (int16_t v : block)
    longest = std::max(longest, run = v == 0 ? run + 1 : 0);
  EXPECT_LE(longest, 1u) << "the block holds silence from before the pause";
}

TEST_F(PulseCaptureTest, SourceThatFallsSilentReadsNoSignalAfterTwoSeconds) {
  ASSERT_TRUE(server.Tone("tvB", 500, 48000, 1));
  PulseCapture c("tvB.monitor");
  std::vector<int16_t> block(2000, 7);
  bool tone = false;
  for (int i = 0; i < 30 && !tone; ++i)
    tone = c.Record(1, 8000, block.data(), 2000) == 2000 &&
           std::any_of(block.begin(), block.end(), [](int16_t v) { return v > 4000; });
  ASSERT_TRUE(tone);
  EXPECT_EQ(c.State(), CaptureState::Recording);

  // The sink plays nothing: its monitor gives zeros, which is recording, until 2 s have passed.
  // Timed from the call: the tone ends somewhere inside it, and sound is read until then.
  const auto quiet = Clock::now();
  ASSERT_TRUE(server.Quiet());
  bool silent = false, noSignal = false;
  while (MsSince(quiet) < 6000 && !noSignal) {
    ASSERT_EQ(c.Record(1, 8000, block.data(), 800), 800);
    const bool zeros =
        std::all_of(block.begin(), block.begin() + 800, [](int16_t v) { return v == 0; });
    silent = silent || zeros;
    noSignal = c.State() == CaptureState::NoSignal;
    if (noSignal) {
      EXPECT_TRUE(zeros);
      EXPECT_GE(MsSince(quiet), 2000) << "no signal only after 2 s of zeros";
    }
  }
  EXPECT_TRUE(silent);
  EXPECT_TRUE(noSignal);
  EXPECT_EQ(CaptureStateText(CaptureState::NoSignal, "x"), "no signal");

  // Sound again: recording.
  ASSERT_TRUE(server.Tone("tvB", 500, 48000, 1));
  bool back = false;
  for (int i = 0; i < 30 && !back; ++i) {
    c.Record(1, 8000, block.data(), 800);
    back = c.State() == CaptureState::Recording;
  }
  EXPECT_TRUE(back);
}

TEST_F(PulseCaptureTest, BadCasesGiveTheirStateAndSilentBlocksWithoutHangOrStderr) {
  ASSERT_TRUE(server.Tone("tvA", 1000, 48000, 2));
  tvtest::StderrCapture err;
  std::vector<int16_t> block(2 * 4000, 5);
  {
    // A name that is not there (any more) when recording starts.
    PulseCapture c("no-such-source");
    EXPECT_EQ(c.State(), CaptureState::Idle);
    const auto t = Clock::now();
    EXPECT_EQ(c.Record(1, 8000, block.data(), 2000), 0);
    EXPECT_LT(MsSince(t), 250 + 2000);
    EXPECT_EQ(c.State(), CaptureState::InputGone);
    EXPECT_EQ(block[0], 5) << "nothing written beyond the frames obtained";
  }
  {
    // A format the server refuses: a rate beyond any it supports.
    PulseCapture c("tvA.monitor");
    const auto t = Clock::now();
    EXPECT_EQ(c.Record(2, 1000000, block.data(), 4000), 0);
    EXPECT_LT(MsSince(t), 2000 + 100);
    EXPECT_EQ(c.State(), CaptureState::FormatRefused);
    EXPECT_EQ(CaptureStateText(c.State(), "x"), "format not supported");
    // The same capture with a sound format records again.
    EXPECT_EQ(RecordWhole(c, 2, 8000, block), 4000);
    EXPECT_EQ(c.State(), CaptureState::Recording);
  }
  {
    // Interrupt from another thread ends a long block at once; later blocks return at once.
    PulseCapture c("tvA.monitor");
    std::thread stopper([&] {
      std::this_thread::sleep_for(200ms);
      c.Interrupt();
    });
    auto t = Clock::now();
    EXPECT_LT(c.Record(1, 8000, block.data(), 8000), 8000);
    EXPECT_LT(MsSince(t), 800);
    stopper.join();
    EXPECT_TRUE(c.Interrupted());
    t = Clock::now();
    EXPECT_EQ(c.Record(1, 8000, block.data(), 8000), 0);
    EXPECT_LT(MsSince(t), 50);
    c.Release();
  }
  {
    // The whole server goes away mid-run: input gone, paced silent blocks, prompt release.
    PulseCapture c("tvA.monitor");
    ASSERT_EQ(RecordWhole(c, 1, 8000, block), 8000);
    ASSERT_TRUE(server.Stop());
    for (int i = 0; i < 3; ++i) {
      const auto t = Clock::now();
      c.Record(1, 8000, block.data(), 2000);
      EXPECT_LT(MsSince(t), 250 + 2000);
    }
    EXPECT_EQ(c.State(), CaptureState::InputGone);
    const auto t = Clock::now();
    c.Release();
    EXPECT_LT(MsSince(t), 200);
    EXPECT_EQ(c.State(), CaptureState::Idle);
  }
  EXPECT_EQ(err.Text(), "");
}

}  // namespace

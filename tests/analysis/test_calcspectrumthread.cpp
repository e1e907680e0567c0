#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "AlsaTestDevice.h"
#include "Calcspectrumthread.h"
#include "Fft.h"
#include "Spectrumcore.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Point {
  double x, y;
};

// Everything one hand-over delivered.
struct Block {
  std::vector<std::string> calls;
  std::vector<Point> series[5];
  std::vector<double> scopeLeft, scopeRight;
  std::vector<double> bandFrequency, bandLeft, bandRight;
  std::vector<double> ownLeft, ownRight;
  SpectrumBlock settings;
};

// The main window as the worker sees it: it sets the settings, and takes each block as the
// chart, the vector scope (while GoniometerOpen) and the band analyser (while
// BandAnalyserOpen) would.
class Recorder : public SpectrumConsumer {
 public:
  std::atomic<double> samplingRate{8000}, fftLength{256}, corrFactor{0};
  std::atomic<int> windowIndex{WindowRectangular}, numChannels{1}, goniometerOpen{0},
      bandAnalyserOpen{0};
  std::vector<Block> blocks;
  // Called with each hand-over, while the worker may change nothing it shows.
  std::function<void(const std::string&)> onCall;
  TCalcSpectrumThread* worker = nullptr;

  Settings Current(int averages = 1, int maxHold = 0) const {
    Settings s;
    s.SamplingRate = samplingRate;
    s.FFTLength = fftLength;
    s.WindowIndex = windowIndex;
    s.NumChannels = numChannels;
    s.CorrFactor = corrFactor;
    s.GoniometerOpen = goniometerOpen;
    s.BandAnalyserOpen = bandAnalyserOpen;
    s.Averages = averages;
    s.MaxHold = maxHold;
    return s;
  }
  // The fields changed: the worker takes them at its next block.
  void Publish() {
    if (worker) worker->SetSettings(Current());
  }
  TCalcSpectrumThread* Start(int averages, int maxHold,
                             std::vector<SpectrumConsumer*> others = {}) {
    others.insert(others.begin(), this);
    worker = new TCalcSpectrumThread(Current(averages, maxHold), others);
    return worker;
  }

  bool Receiving() const override { return true; }
  void ShowSpectrum(const SpectrumBlock& b) override {
    blocks.emplace_back();
    Block& r = blocks.back();
    r.settings = b;
    const bool stereo = b.NumChannels == 2;
    const auto trace = [&b](const double* y) {
      std::vector<Point> points;
      if (y)
        for (int k = 0; k < b.Bins; ++k)
          points.push_back({b.Frequency[k], y[k]});
      return points;
    };
    r.series[1] = trace(b.LevelL);
    r.series[2] = trace(stereo ? b.LevelR : nullptr);
    r.series[3] = trace(b.MaxLevelL);
    r.series[4] = trace(stereo ? b.MaxLevelR : nullptr);
    const auto copy = [](const double* p, int n) {
      return p ? std::vector<double>(p, p + n) : std::vector<double>();
    };
    r.ownLeft = copy(b.BlockMagnitudeL, b.Bins);
    r.ownRight = copy(b.BlockMagnitudeR, b.Bins);
    if (b.GoniometerOpen == 1) {
      r.scopeLeft = copy(b.SamplesL, b.Frames);
      r.scopeRight = copy(stereo ? b.SamplesR : b.SamplesL, b.Frames);
    }
    if (b.BandAnalyserOpen == 1) {
      r.bandFrequency = copy(b.Frequency, b.Bins);
      r.bandLeft = copy(b.MagnitudeL, b.Bins);
      r.bandRight = copy(stereo ? b.MagnitudeR : b.MagnitudeL, b.Bins);
    }
    r.calls.push_back("Show");
    if (onCall) onCall("Show");
  }
};

// Runs the user-interface side until `done` or the time is up.
template <typename Pred>
bool PumpUntil(Pred done, double seconds = 20) {
  const auto until = Clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (Clock::now() > until) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

class Worker : public ::testing::Test {
 protected:
  // Starts a worker, lets it deliver `count` blocks, stops it and waits for its end event.
  void Run(int averages, int maxHold, size_t count) {
    auto* worker = recorder.Start(averages, maxHold);
    bool ended = false;
    worker->OnTerminate = [&](TCalcSpectrumThread*) { ended = true; };
    ASSERT_TRUE(PumpUntil([&] { return recorder.blocks.size() >= count; }));
    EXPECT_EQ(worker->BlocksShown(), static_cast<int>(recorder.blocks.size()));
    worker->Terminate();
    ASSERT_TRUE(PumpUntil([&] { return ended; }));
    ASSERT_GE(recorder.blocks.size(), count);
  }

  // Starts a worker and, without processing events, lets it reach its block or its first
  // hand-over; shutting it down then must be prompt and deliver nothing, not even the end event.
  void ExpectPromptSilentShutdown(double fftLength) {
    recorder.fftLength = fftLength;
    recorder.samplingRate = 8000;
    recorder.windowIndex = WindowHanning;
    auto* worker = recorder.Start(1, 0);
    bool ended = false;
    worker->OnTerminate = [&](TCalcSpectrumThread*) { ended = true; };
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = Clock::now();
    EXPECT_TRUE(worker->Shutdown(2000));
    // Normally a few milliseconds; the slack only keeps a loaded or sanitized run from failing.
    EXPECT_LT(Seconds(start), 1.5);
    PumpUntil([] { return false; }, 0.3);
    EXPECT_TRUE(recorder.blocks.empty());
    EXPECT_FALSE(ended);
  }

  // A file of white-ish noise plus a tone, long enough for `blocks` blocks.
  void ReplayNoise(int channels, int blocks) {
    const int rate = static_cast<int>(recorder.samplingRate);
    const size_t frames = static_cast<size_t>(blocks) * (recorder.fftLength + rate / 2 + 64);
    std::vector<int16_t> s(frames * channels);
    uint32_t state = 1;
    for (size_t i = 0; i < s.size(); ++i) {
      state = state * 1664525u + 1013904223u;
      s[i] = static_cast<int16_t>(static_cast<int>(state >> 16) - 32768) / 4;
    }
    tvtest::WriteRawFile(dir.File("noise.raw"), s);
    tvtest::UseReplayDevice(dir.Path(), dir.File("noise.raw"));
  }

  tvtest::TempDir dir;
  Recorder recorder;
};

double LevelOf(double magnitude, double corr) {
  return 20 * std::log10(magnitude > 0 ? magnitude : 1e-11) + corr;
}

}  // namespace

TEST_F(Worker, AveragingTwentyBlocksOfASteadySine) {
  // 500 Hz at 8000 Hz is exactly bin 16 of 256 and repeats every 16 samples, so every block
  // reads the same whatever part of the file it gets.
  tvtest::WriteRawFile(dir.File("tone.raw"),
                       tvtest::MakeTone(8000, 1, 30 * 4400, {500.0}, {16000.0}));
  tvtest::UseReplayDevice(dir.Path(), dir.File("tone.raw"));
  recorder.bandAnalyserOpen = 1;
  Run(20, 0, 22);
  const auto level = [&](size_t block) { return recorder.blocks[block].series[1][16].y; };
  const double settled = level(21);
  EXPECT_NEAR(settled, 20 * std::log10(16000.0 / 32768.0), 1e-3);
  EXPECT_NEAR(level(0) - settled, 20 * std::log10(1.0 / 20), 1e-6);  // -26.02 dB
  EXPECT_NEAR(level(1) - settled, -20.0, 1e-6);
  EXPECT_LT(level(18), settled - 0.01);
  for (size_t b = 19; b < 22; ++b)
    EXPECT_NEAR(level(b), settled, 1e-9) << b;
  // The band analyser gets the averaged magnitudes, without the correction.
  EXPECT_NEAR(recorder.blocks[0].bandLeft[16], 16000.0 / 32768.0 / 20, 1e-6);
  EXPECT_NEAR(recorder.blocks[21].bandLeft[16], 16000.0 / 32768.0, 1e-5);
  EXPECT_DOUBLE_EQ(recorder.blocks[21].bandLeft[16] / recorder.blocks[0].bandLeft[16], 20.0);
}

TEST_F(Worker, StereoAveragingIsTheMeanOfEachChannelOverItsOwnBlocks) {
  // Noise that differs between the channels; the scope gets each block's raw samples, so the
  // expected means come from the very blocks the worker averaged.
  recorder.numChannels = 2;
  recorder.goniometerOpen = 1;
  recorder.bandAnalyserOpen = 1;
  recorder.corrFactor = 2;
  ReplayNoise(2, 20);
  const int averages = 3;
  // The first blocks only: once the file is played out the worker reads silence.
  const size_t count = 7;
  Run(averages, 0, count);
  std::vector<std::vector<double>> single[2];
  for (const Block& b : recorder.blocks) {
    ASSERT_EQ(b.scopeLeft.size(), 256u);
    const double* samples[] = {b.scopeLeft.data(), b.scopeRight.data()};
    Spectrumcore one(256, 2, 1, false);
    one.Process(samples, WindowRectangular, 0, 8000, 256);
    for (int c = 0; c < 2; ++c)
      single[c].emplace_back(one.Magnitude(c).begin(), one.Magnitude(c).end());
  }
  for (size_t i = 0; i < count; ++i) {
    SCOPED_TRACE(i);
    const Block& b = recorder.blocks[i];
    const std::vector<double>* delivered[] = {&b.bandLeft, &b.bandRight};
    int differ = 0;
    for (size_t k = 0; k < 128; ++k) {
      for (int c = 0; c < 2; ++c) {
        // The slots not yet filled count as zero.
        double sum = 0;
        for (size_t j = i + 1 >= averages ? i + 1 - averages : 0; j <= i; ++j)
          sum += single[c][j][k];
        const double mean = sum / averages;
        EXPECT_NEAR((*delivered[c])[k], mean, 1e-12 * (1 + mean)) << c << " bin " << k;
        EXPECT_NEAR(b.series[c + 1][k].y, LevelOf(mean, 2), 1e-9) << c << " bin " << k;
      }
      differ += b.bandLeft[k] != b.bandRight[k];
    }
    EXPECT_GT(differ, 100) << "the two channels should read differently";
  }
}

TEST_F(Worker, MaxHoldAndCorrectionInEveryLevelAndMaximum) {
  struct Case {
    int channels, averages;
  };
  for (Case c : {Case{1, 1}, Case{2, 1}, Case{1, 3}, Case{2, 4}}) {
    SCOPED_TRACE(testing::Message() << c.channels << " channels, " << c.averages << " averages");
    recorder.blocks.clear();
    recorder.numChannels = c.channels;
    recorder.corrFactor = 7.25;
    recorder.bandAnalyserOpen = 1;
    ReplayNoise(c.channels, 8);
    Run(c.averages, 1, 6);
    const bool stereo = c.channels == 2;
    std::vector<double> maxL(128, -150.0), maxR(128, -150.0);
    for (const Block& b : recorder.blocks) {
      ASSERT_EQ(b.series[1].size(), 128u);
      ASSERT_EQ(b.series[3].size(), 128u);
      ASSERT_EQ(b.series[2].size(), stereo ? 128u : 0u);
      ASSERT_EQ(b.series[4].size(), stereo ? 128u : 0u);
      for (int k = 0; k < 128; ++k) {
        EXPECT_DOUBLE_EQ(b.series[1][k].y, LevelOf(b.bandLeft[k], 7.25));
        maxL[k] = std::max(maxL[k], b.series[1][k].y);
        EXPECT_EQ(b.series[3][k].y, maxL[k]);
        if (stereo) {
          EXPECT_DOUBLE_EQ(b.series[2][k].y, LevelOf(b.bandRight[k], 7.25));
          maxR[k] = std::max(maxR[k], b.series[2][k].y);
          EXPECT_EQ(b.series[4][k].y, maxR[k]);
        } else {
          EXPECT_EQ(b.bandRight[k], b.bandLeft[k]);
        }
      }
    }
    // The maxima really rose during the run: the noise differs from block to block.
    const Block& last = recorder.blocks.back();
    int rose = 0;
    for (int k = 0; k < 128; ++k)
      rose += last.series[3][k].y > recorder.blocks[0].series[1][k].y;
    EXPECT_GT(rose, 64);
  }
}

TEST_F(Worker, HandOverBringsTheBlocksSettingsFrequenciesAndSamples) {
  recorder.fftLength = 2048;
  recorder.samplingRate = 44100;
  recorder.numChannels = 2;
  recorder.goniometerOpen = 1;
  recorder.bandAnalyserOpen = 1;
  const auto tone = tvtest::MakeTone(44100, 2, 3 * 24200, {1000.0, 3000.0}, {12000.0, 3000.0});
  tvtest::WriteRawFile(dir.File("tone.raw"), tone);
  tvtest::UseReplayDevice(dir.Path(), dir.File("tone.raw"));
  Run(1, 1, 1);
  const Block& b = recorder.blocks[0];
  EXPECT_EQ(b.calls, std::vector<std::string>{"Show"});  // one hand-over, one call
  EXPECT_EQ(b.settings.FFTLength, 2048.0);
  EXPECT_EQ(b.settings.SamplingRate, 44100.0);
  EXPECT_EQ(b.settings.NumChannels, 2);
  EXPECT_EQ(b.settings.Averages, 1);
  EXPECT_EQ(b.settings.MaxHold, 1);
  EXPECT_EQ(b.settings.Frames, 2048);
  for (int s = 1; s <= 4; ++s)
    ASSERT_EQ(b.series[s].size(), 1024u);
  EXPECT_EQ(b.series[1][1].x, 21.533203125);
  EXPECT_EQ(b.series[1][1023].x, 22028.466796875);
  EXPECT_EQ(b.series[4][1023].x, 22028.466796875);
  // The first block of a run is the start of the file, split into left and right.
  ASSERT_EQ(b.scopeLeft.size(), 2048u);
  for (int i = 0; i < 2048; ++i) {
    ASSERT_EQ(b.scopeLeft[i], tone[2 * i]);
    ASSERT_EQ(b.scopeRight[i], tone[2 * i + 1]);
  }
  // 1000 Hz is loudest on the left, 3000 Hz on the right.
  const auto peak = [](const std::vector<Point>& s) {
    return std::max_element(s.begin(), s.end(), [](auto& a, auto& c) { return a.y < c.y; })->x;
  };
  EXPECT_NEAR(peak(b.series[1]), 1000, 22);
  EXPECT_NEAR(peak(b.series[2]), 3000, 22);
}

TEST_F(Worker, MonoWithoutMaxHoldFillsOnlyTheFirstTrace) {
  ReplayNoise(1, 3);
  recorder.goniometerOpen = 0;
  Run(1, 0, 2);
  const Block& b = recorder.blocks[1];
  EXPECT_EQ(b.calls, std::vector<std::string>{"Show"});
  EXPECT_EQ(b.settings.MaxLevelL, nullptr);
  EXPECT_EQ(b.series[1].size(), 128u);
  EXPECT_TRUE(b.series[2].empty() && b.series[3].empty() && b.series[4].empty());
}

TEST_F(Worker, PicksUpChangedSettingsAtTheNextBlock) {
  recorder.samplingRate = 8000;
  ReplayNoise(2, 12);
  recorder.fftLength = 256;
  recorder.samplingRate = 8000;
  recorder.windowIndex = WindowHanning;
  auto* worker = recorder.Start(1, 0);
  bool ended = false;
  worker->OnTerminate = [&](TCalcSpectrumThread*) { ended = true; };
  const size_t changedAt = 1;
  // Changed while the first block is shown: the worker has recorded the next one meanwhile.
  recorder.onCall = [&](const std::string&) {
    if (recorder.blocks.size() != changedAt) return;
    recorder.fftLength = 512;
    recorder.numChannels = 2;
    recorder.corrFactor = 5;
    recorder.bandAnalyserOpen = 1;
    recorder.Publish();
  };
  ASSERT_TRUE(PumpUntil([&] { return recorder.blocks.size() >= changedAt + 3; }));
  worker->Terminate();
  ASSERT_TRUE(PumpUntil([&] { return ended; }));
  EXPECT_EQ(recorder.blocks[0].series[1].size(), 128u);
  EXPECT_TRUE(recorder.blocks[0].series[2].empty());
  // The block recorded while the first was shown may still have the old ones.
  for (size_t i = changedAt + 1; i < recorder.blocks.size(); ++i) {
    const Block& b = recorder.blocks[i];
    ASSERT_EQ(b.series[1].size(), 256u);
    ASSERT_EQ(b.series[2].size(), 256u);
    EXPECT_EQ(b.series[1][1].x, 8000.0 / 512);
    for (int k = 0; k < 256; ++k) {
      EXPECT_DOUBLE_EQ(b.series[1][k].y, LevelOf(b.bandLeft[k], 5));
      EXPECT_DOUBLE_EQ(b.series[2][k].y, LevelOf(b.bandRight[k], 5));
    }
  }
}

TEST_F(Worker, RateWindowAndVectorScopeChangedMidRunTakeEffectAtTheNextBlock) {
  recorder.windowIndex = WindowHanning;
  recorder.bandAnalyserOpen = 1;
  ReplayNoise(1, 60);
  recorder.fftLength = 256;
  recorder.samplingRate = 8000;
  recorder.windowIndex = WindowHanning;
  auto* worker = recorder.Start(1, 0);
  bool ended = false;
  worker->OnTerminate = [&](TCalcSpectrumThread*) { ended = true; };
  const size_t changedAt = 1;
  // Changed while the first block is shown: the worker has recorded the next one meanwhile.
  recorder.onCall = [&](const std::string&) {
    if (recorder.blocks.size() != changedAt) return;
    recorder.samplingRate = 16000;
    recorder.windowIndex = WindowBlackman;
    recorder.goniometerOpen = 1;
    recorder.Publish();
  };
  ASSERT_TRUE(PumpUntil([&] { return recorder.blocks.size() >= changedAt + 3; }));
  worker->Terminate();
  ASSERT_TRUE(PumpUntil([&] { return ended; }));

  EXPECT_EQ(recorder.blocks[0].series[1][1].x, 8000.0 / 256);
  EXPECT_TRUE(recorder.blocks[0].scopeLeft.empty());
  // The block recorded while the first was shown may still have the old ones. Later blocks
  // may come after the file is played out, as silence: the two awaited ones are checked.
  for (size_t i = changedAt + 1; i < changedAt + 3; ++i) {
    SCOPED_TRACE(i);
    const Block& b = recorder.blocks[i];
    EXPECT_EQ(b.series[1][1].x, 16000.0 / 256);
    EXPECT_EQ(b.bandFrequency[1], 16000.0 / 256);
    // The scope now gets the block's samples, and its spectrum is the Blackman one.
    ASSERT_EQ(b.scopeLeft.size(), 256u);
    const double* samples[] = {b.scopeLeft.data(), nullptr};
    Spectrumcore blackman(256, 1, 1, false), hanning(256, 1, 1, false);
    blackman.Process(samples, WindowBlackman, 0, 16000, 256);
    hanning.Process(samples, WindowHanning, 0, 16000, 256);
    ASSERT_EQ(b.bandLeft.size(), 128u);
    int differs = 0;
    for (size_t k = 0; k < 128; ++k) {
      EXPECT_DOUBLE_EQ(b.bandLeft[k], blackman.Magnitude(0)[k]) << k;
      differs += std::fabs(hanning.Magnitude(0)[k] - blackman.Magnitude(0)[k]) >
                 1e-6 * blackman.Magnitude(0)[k];
    }
    EXPECT_GT(differs, 64) << "the two windows should give other magnitudes";
  }
}

TEST_F(Worker, WhatAHandOverShowsHoldsStillWhileItIsShown) {
  // A file is read at once, so the worker has its next block long before a slow window has
  // shown this one; it may not touch what the window is still reading.
  recorder.goniometerOpen = 1;
  recorder.bandAnalyserOpen = 1;
  ReplayNoise(1, 12);
  recorder.onCall = [](const std::string& call) {
    if (call == "Show") std::this_thread::sleep_for(std::chrono::milliseconds(20));
  };
  Run(1, 1, 6);
  Spectrumcore core(256, 1, 1, true);
  for (size_t i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    const Block& b = recorder.blocks[i];
    ASSERT_EQ(b.scopeLeft.size(), 256u);
    ASSERT_EQ(b.bandLeft.size(), 128u);
    const double* samples[] = {b.scopeLeft.data(), nullptr};
    core.Process(samples, WindowRectangular, 0, 8000, 256);
    for (int k = 0; k < 128; ++k) {
      ASSERT_DOUBLE_EQ(b.bandLeft[k], core.Magnitude(0)[k]) << k;
      ASSERT_DOUBLE_EQ(b.series[1][k].y, LevelOf(b.bandLeft[k], 0)) << k;
      ASSERT_DOUBLE_EQ(b.series[3][k].y, core.MaxLevel(0)[k]) << k;
    }
  }
}

TEST_F(Worker, SilentBlocksWithoutADevice) {
  tvtest::UseNoDevice(dir.Path());
  recorder.corrFactor = -3.5;
  recorder.bandAnalyserOpen = 1;
  testing::internal::CaptureStderr();
  Run(1, 1, 3);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  for (const Block& b : recorder.blocks) {
    for (int k = 0; k < 128; ++k) {
      EXPECT_NEAR(b.series[1][k].y, -223.5, 1e-9);
      EXPECT_NEAR(b.series[3][k].y, -150.0, 0);  // never above the floor
      EXPECT_EQ(b.bandLeft[k], 0.0);
    }
  }
}

// A FIFO as the replayed file delivers a block only as fast as the test writes it.
class SlowWorker : public Worker {
 protected:
  void SetUp() override {
    fifo = dir.File("slow.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    tvtest::UseReplayDevice(dir.Path(), fifo);
    recorder.fftLength = 32768;
    recorder.samplingRate = 8000;
    recorder.goniometerOpen = 1;
  }
  void TearDown() override {
    stopWriting = true;
    if (writer.joinable()) writer.join();
  }
  // Writes nine pieces of 4000 frames (more than a block) spread over about `seconds`;
  // piece p holds p * 1000 + (i % 7).
  void WriteSlowly(double seconds) {
    writer = std::thread([this, seconds] {
      const int fd = open(fifo.c_str(), O_WRONLY);
      if (fd < 0) return;
      const int pieces = 9;
      for (int p = 0; p < pieces && !stopWriting; ++p) {
        std::vector<int16_t> piece(4000);
        for (size_t i = 0; i < piece.size(); ++i)
          piece[i] = static_cast<int16_t>(p * 1000 + i % 7);
        if (write(fd, piece.data(), piece.size() * 2) < 0) break;
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds / pieces));
      }
      close(fd);
    });
  }
  std::string fifo;
  std::thread writer;
  std::atomic<bool> stopWriting{false};
};

TEST_F(SlowWorker, StopDuringABlockStillDeliversIt) {
  WriteSlowly(1.0);
  recorder.windowIndex = WindowHanning;
  auto* worker = recorder.Start(1, 0);
  bool ended = false;
  worker->OnTerminate = [&](TCalcSpectrumThread*) { ended = true; };
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  worker->Terminate();
  ASSERT_TRUE(PumpUntil([&] { return ended; }, 10));
  ASSERT_EQ(recorder.blocks.size(), 1u);
  const Block& b = recorder.blocks[0];
  EXPECT_EQ(b.series[1].size(), 16384u);
  ASSERT_EQ(b.scopeLeft.size(), 32768u);
  EXPECT_EQ(b.scopeLeft[0], 0.0);
  // The block waited for the ninth piece, written long after Stop.
  EXPECT_GE(b.scopeLeft[32767], 8000.0);
}

TEST_F(SlowWorker, ShutdownDuringABlockEndsPromptlyAndDeliversNothing) {
  WriteSlowly(4.0);
  ExpectPromptSilentShutdown(32768);
}

TEST_F(Worker, ShutdownWhileTheWorkerWaitsToHandOverDoesNotDeadlock) {
  ReplayNoise(1, 4);
  ExpectPromptSilentShutdown(256);
}

namespace {

// A tool window fed through the consumer lists: copies what each block brings.
class ListConsumer : public SpectrumConsumer {
 public:
  std::atomic<bool> receiving{true};
  struct Got {
    SpectrumBlock block;
    std::vector<double> frequency, levelL, levelR, magnitudeL, magnitudeR, maxL, maxR;
  };
  std::vector<Got> spectra;
  std::vector<std::vector<double>> left, right;
  std::vector<int> frames;

  bool Receiving() const override { return receiving; }
  void ShowSpectrum(const SpectrumBlock& b) override {
    Got g{b, {}, {}, {}, {}, {}, {}, {}};
    auto copy = [&b](const double* p) {
      return p ? std::vector<double>(p, p + b.Bins) : std::vector<double>();
    };
    g.frequency = copy(b.Frequency);
    g.levelL = copy(b.LevelL);
    g.levelR = copy(b.LevelR);
    g.magnitudeL = copy(b.MagnitudeL);
    g.magnitudeR = copy(b.MagnitudeR);
    g.maxL = copy(b.MaxLevelL);
    g.maxR = copy(b.MaxLevelR);
    spectra.push_back(std::move(g));
    frames.push_back(b.Frames);
    left.emplace_back(b.SamplesL, b.SamplesL + b.Frames);
    right.push_back(b.SamplesR ? std::vector<double>(b.SamplesR, b.SamplesR + b.Frames)
                               : std::vector<double>());
    if (onShow) onShow();
  }
  std::function<void()> onShow;
};

}  // namespace

TEST_F(Worker, ConsumerListsFeedReceivingViewsInTheHandOverAndSkipHiddenOnes) {
  recorder.fftLength = 2048;
  recorder.samplingRate = 44100;
  recorder.numChannels = 2;
  recorder.bandAnalyserOpen = 1;
  recorder.goniometerOpen = 1;
  recorder.corrFactor = 2.5;
  const auto tone = tvtest::MakeTone(44100, 2, 4 * 24200, {1000.0, 3000.0}, {12000.0, 3000.0});
  tvtest::WriteRawFile(dir.File("tone.raw"), tone);
  tvtest::UseReplayDevice(dir.Path(), dir.File("tone.raw"));
  ListConsumer shown, hidden;
  hidden.receiving = false;
  // Each hand-over reaches the consumers in the list's order, once each.
  std::vector<std::string> order;
  shown.onShow = [&] { order.push_back("shown"); };
  recorder.onCall = [&](const std::string&) { order.push_back("main"); };
  recorder.windowIndex = WindowRectangular;
  auto* worker = recorder.Start(1, 1, {&hidden, &shown});
  bool ended = false;
  worker->OnTerminate = [&](TCalcSpectrumThread*) { ended = true; };
  ASSERT_TRUE(PumpUntil([&] { return recorder.blocks.size() >= 2; }));
  worker->Terminate();
  ASSERT_TRUE(PumpUntil([&] { return ended; }));

  EXPECT_TRUE(hidden.spectra.empty());
  EXPECT_TRUE(hidden.left.empty());
  ASSERT_EQ(order.size(), 2 * recorder.blocks.size());
  for (size_t i = 0; i < order.size(); ++i)
    EXPECT_EQ(order[i], i % 2 ? "shown" : "main") << i;
  // One delivery per hand-over, with that hand-over's arrays.
  ASSERT_EQ(shown.spectra.size(), recorder.blocks.size());
  ASSERT_EQ(shown.left.size(), recorder.blocks.size());
  for (size_t i = 0; i < recorder.blocks.size(); ++i) {
    SCOPED_TRACE(i);
    const Block& b = recorder.blocks[i];
    const ListConsumer::Got& g = shown.spectra[i];
    EXPECT_EQ(g.block.Bins, 1024);
    EXPECT_EQ(g.block.FFTLength, 2048.0);
    EXPECT_EQ(g.block.SamplingRate, 44100.0);
    EXPECT_EQ(g.block.WindowIndex, WindowRectangular);
    EXPECT_EQ(g.block.NumChannels, 2);
    EXPECT_EQ(g.block.CorrFactor, 2.5);
    EXPECT_EQ(g.block.FramesRecorded, 2048);
    ASSERT_EQ(g.levelR.size(), 1024u);
    ASSERT_EQ(g.maxR.size(), 1024u);
    for (int k = 0; k < 1024; ++k) {
      ASSERT_EQ(g.frequency[k], b.series[1][k].x);
      ASSERT_EQ(g.levelL[k], b.series[1][k].y);
      ASSERT_EQ(g.levelR[k], b.series[2][k].y);
      ASSERT_EQ(g.maxL[k], b.series[3][k].y);
      ASSERT_EQ(g.maxR[k], b.series[4][k].y);
      ASSERT_EQ(g.magnitudeL[k], b.bandLeft[k]);
      ASSERT_EQ(g.magnitudeR[k], b.bandRight[k]);
    }
    EXPECT_EQ(shown.frames[i], 2048);
    EXPECT_EQ(shown.left[i], b.scopeLeft);
    EXPECT_EQ(shown.right[i], b.scopeRight);
  }
  // The first block is the file's start, split into left and right.
  for (int i = 0; i < 2048; ++i) {
    ASSERT_EQ(shown.left[0][i], tone[2 * i]);
    ASSERT_EQ(shown.right[0][i], tone[2 * i + 1]);
  }
}

TEST_F(Worker, ConsumersSeeMonoAsOneChannelAndADropoutAsMissingFrames) {
  tvtest::UseNoDevice(dir.Path());
  ListConsumer shown;
  testing::internal::CaptureStderr();
  recorder.windowIndex = WindowHanning;
  auto* worker = recorder.Start(1, 0, {&shown});
  bool ended = false;
  worker->OnTerminate = [&](TCalcSpectrumThread*) { ended = true; };
  ASSERT_TRUE(PumpUntil([&] { return recorder.blocks.size() >= 2; }));
  worker->Terminate();
  ASSERT_TRUE(PumpUntil([&] { return ended; }));
  testing::internal::GetCapturedStderr();
  ASSERT_FALSE(shown.spectra.empty());
  for (const auto& g : shown.spectra) {
    // Without a device the block is silence the capture never delivered.
    EXPECT_EQ(g.block.FramesRecorded, 0);
    EXPECT_EQ(g.block.NumChannels, 1);
    EXPECT_TRUE(g.levelR.empty() && g.magnitudeR.empty() && g.maxL.empty() && g.maxR.empty());
    EXPECT_EQ(g.levelL.size(), 128u);
  }
  for (const auto& r : shown.right)
    EXPECT_TRUE(r.empty());
}

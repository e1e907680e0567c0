// The continuous stream beside the blocks: the worker records blocks from a real ALSA device
// as usual, and every sample the device delivered, those drained between blocks included,
// reaches the stream once and in order.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <cmath>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "AlsaTestDevice.h"
#include "Calcspectrumthread.h"
#include "Soundlevelmeter.h"
#include "Spectrumcore.h"
#include "Streamring.h"

namespace {

using Clock = std::chrono::steady_clock;

// The main window as the worker sees it: a consumer that counts the blocks.
class MainLink : public SpectrumConsumer {
 public:
  bool Receiving() const override { return true; }
  void ShowSpectrum(const SpectrumBlock&) override { ++blocks; }
  int blocks = 0;
};

// Longer than the recording, so that a lost or repeated stretch of any length shows: the loop
// never comes round during a run.
constexpr size_t kLoopFrames = size_t{1} << 22;

// A tone of whole periods over the loop, one amplitude per channel.
std::vector<int16_t> LoopTone(int rate, int channels, double cycles, const double* amplitude) {
  std::vector<int16_t> s(kLoopFrames * static_cast<size_t>(channels));
  for (size_t i = 0; i < kLoopFrames; ++i)
    for (int c = 0; c < channels; ++c)
      s[i * channels + c] = static_cast<int16_t>(std::lround(
          amplitude[c] * std::sin(2 * std::numbers::pi * cycles * static_cast<double>(i) /
                                  static_cast<double>(kLoopFrames))));
  (void)rate;
  return s;
}

// Reads the stream on a thread of its own, as the meters do, and checks every frame against
// the loop: the first frames find the place in the loop, every later one must follow it.
class LoopChecker : public StreamConsumer {
 public:
  LoopChecker(const std::vector<int16_t>& loop, int channels, double rate)
      : loop_(loop), channels_(channels) {
    for (int c = 0; c < channels; ++c)
      meter_[c] = SoundLevelMeter(rate);
    reader_ = std::thread([this] {
      while (!stop_) {
        Drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      Drain();
    });
  }
  ~LoopChecker() override { Finish(); }
  void Finish() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    checked = checked_;
  }

  bool Listening() const override { return true; }
  SampleStream* AcquireStream(const void*) override {
    ++acquired;
    return &ring;
  }
  void ReleaseStream(const void*) override { ++released; }

  StreamRing ring{size_t{1} << 20};
  std::atomic<uint64_t> frames{0};
  std::atomic<int> acquired{0}, released{0};
  // Reader's results, read after Finish.
  uint64_t wrong = 0;
  uint64_t firstWrong = 0;
  uint64_t checked = 0;
  int gapsAfterStart = 0;
  int rateSeen = 0, channelsSeen = 0;
  bool placed = false;
  SoundLevelMeter meter_[2];

 private:
  void Drain() {
    ring.Read([this](const StreamRing::Piece& p) {
      if (p.afterGap && frames > 0) ++gapsAfterStart;
      rateSeen = p.rate;
      channelsSeen = p.channels;
      for (int c = 0; c < p.channels && c < channels_; ++c)
        meter_[c].Process(p.samples + c, p.frames, p.channels);
      if (placed) {
        Check(p.samples, p.frames);
      } else {
        // A piece may be a few frames long: enough of them first, to find the one place.
        pending_.insert(pending_.end(), p.samples, p.samples + p.frames * p.channels);
        const int count = static_cast<int>(pending_.size() / channels_);
        if (count >= 256) {
          Place(pending_.data(), count);
          Check(pending_.data(), count);
        }
      }
      frames += static_cast<uint64_t>(p.frames);
    });
  }
  void Check(const double* samples, int count) {
    for (int i = 0; i < count; ++i) {
      const double* frame = samples + static_cast<size_t>(i) * channels_;
      for (int c = 0; c < channels_; ++c) {
        if (frame[c] != loop_[at_ * channels_ + c]) {
          if (wrong++ == 0) firstWrong = checked_;
          break;
        }
      }
      at_ = (at_ + 1) % kLoopFrames;
      ++checked_;
    }
  }
  // The first position in the loop where the first `count` frames (at most 256) match.
  void Place(const double* frame, int count) {
    placed = true;
    const size_t n = static_cast<size_t>(std::min(count, 256)) * channels_;
    for (size_t start = 0; start < kLoopFrames; ++start) {
      size_t k = 0;
      while (k < n && frame[k] == loop_[(start * channels_ + k) % loop_.size()])
        ++k;
      if (k == n) {
        at_ = start;
        return;
      }
    }
  }

  const std::vector<int16_t>& loop_;
  int channels_;
  size_t at_ = 0;
  uint64_t checked_ = 0;
  std::vector<double> pending_;
  std::atomic<bool> stop_{false};
  std::thread reader_;
};

bool PumpUntil(const std::function<bool()>& done, double seconds) {
  const auto until = Clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (Clock::now() > until) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

// Records `seconds` of the loop through the worker from the paced device running `speed`
// times as fast as a sound card, and checks the stream frame by frame.
void RecordLoop(int rate, int channels, double cycles, const double* amplitude, double seconds,
                int fftLength) {
  tvtest::TempDir dir;
  const std::vector<int16_t> loop = LoopTone(rate, channels, cycles, amplitude);
  tvtest::WriteRawFile(dir.File("loop.raw"), loop);
  const int speed = tvtest::PacedSpeed(8);
  tvtest::UseAlsaConfig(dir.Path(), "pcm.!default { type pacedloop; loop \"" +
                                        dir.File("loop.raw") + "\"; channels " +
                                        std::to_string(channels) + "; speed " +
                                        std::to_string(speed) + " }\n");
  MainLink main;
  Settings settings;
  settings.SamplingRate = rate;
  settings.NumChannels = channels;
  settings.FFTLength = fftLength;
  settings.WindowIndex = WindowHanning;
  LoopChecker checker(loop, channels, rate);
  auto* worker = new TCalcSpectrumThread(settings, {&main}, &checker);
  bool ended = false;
  int broken = -1;
  worker->OnTerminate = [&](TCalcSpectrumThread* t) {
    broken = t->BrokenBlocks();
    ended = true;
  };
  const uint64_t want = static_cast<uint64_t>(seconds * rate);
  EXPECT_TRUE(PumpUntil([&] { return checker.frames >= want; }, 3 * seconds / speed + 20));
  worker->Terminate();
  ASSERT_TRUE(PumpUntil([&] { return ended; }, 20));
  checker.Finish();

  std::printf("%d ch at %d Hz: %llu frames (%.1f s) in %d blocks, %llu dropped\n", channels, rate,
              static_cast<unsigned long long>(checker.frames.load()),
              static_cast<double>(checker.frames) / rate, main.blocks,
              static_cast<unsigned long long>(checker.ring.FramesDropped()));
  EXPECT_EQ(broken, 0);
  EXPECT_GE(checker.frames, want);
  EXPECT_TRUE(checker.placed);
  EXPECT_EQ(checker.checked, checker.frames.load());
  EXPECT_EQ(checker.wrong, 0u) << "first at frame " << checker.firstWrong;
  EXPECT_EQ(checker.gapsAfterStart, 0);
  EXPECT_EQ(checker.ring.FramesDropped(), 0u);
  EXPECT_EQ(checker.ring.FramesFed(), checker.frames.load());
  EXPECT_EQ(checker.rateSeen, rate);
  EXPECT_EQ(checker.channelsSeen, channels);
  // One worker held the stream and gave it back when its source was closed.
  EXPECT_EQ(checker.acquired, 1);
  EXPECT_EQ(checker.released, 1);
  // Far more than the blocks themselves hold: the drained frames between blocks are there.
  EXPECT_GT(checker.frames.load(), static_cast<uint64_t>(main.blocks) * fftLength);
  for (int c = 0; c < channels; ++c) {
    const double expected = 20 * std::log10(amplitude[c] / kFullScale);
    std::printf("  channel %d: Leq %.4f dB over %.1f s, tone %.4f dB\n", c,
                checker.meter_[c].LeqDb(), checker.meter_[c].Seconds(), expected);
    EXPECT_NEAR(checker.meter_[c].LeqDb(), expected, 0.05);
  }
}

}  // namespace

// 60 s of a steady 1 kHz tone at -6 dBFS: the stream's Leq is the tone's level and not one
// frame is lost or repeated.
TEST(SampleStream, SixtySecondsOfAToneArriveWholeAndInOrder) {
  const double amplitude[] = {16384.0};
  // 87381 periods over the loop: 999.99 Hz at 48000 Hz.
  RecordLoop(48000, 1, 87381, amplitude, 60, 4096);
}

TEST(SampleStream, StereoWithShortBlocksArrivesWholeAndInOrder) {
  // Short blocks: far more frames are drained between blocks than the blocks hold.
  const double amplitude[] = {23170.0, 8192.0};
  RecordLoop(44100, 2, 95107, amplitude, 20, 512);
}

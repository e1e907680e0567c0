// The continuous stream from a source of a real private sound server: recording blocks as the
// worker does, with time spent between them, every sample the server sends reaches the stream
// once and in order.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <numbers>
#include <thread>

#include "PulseTestServer.h"
#include "Pulsecapture.h"
#include "Streamring.h"

namespace {

using Clock = std::chrono::steady_clock;

// Reads the stream on a thread of its own and checks that it is one unbroken sine: a sine
// obeys x[n+1] + x[n-1] = 2 cos(w) x[n], and a lost or repeated stretch breaks that at its
// seams (997 Hz at 48 kHz: no piece is a whole number of periods).
class SineChecker {
 public:
  SineChecker(double frequency, double rate)
      : twoCos_(2 * std::cos(2 * std::numbers::pi * frequency / rate)) {
    reader_ = std::thread([this] {
      while (!stop_) {
        Drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      Drain();
    });
  }
  ~SineChecker() { Finish(); }
  void Finish() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
  }

  StreamRing ring{size_t{1} << 20};
  // Reader's results, read after Finish.
  uint64_t frames = 0, checked = 0, breaks = 0;
  int gapsWhileChecking = 0;
  Clock::time_point first{}, last{};
  uint64_t framesAtFirst = 0;

 private:
  void Drain() {
    ring.Read([this](const StreamRing::Piece& p) {
      if (frames == 0) first = Clock::now();
      last = Clock::now();
      if (p.afterGap && checking_) ++gapsWhileChecking;
      for (int i = 0; i < p.frames; ++i) {
        const double x = p.samples[static_cast<size_t>(i) * p.channels];
        // Checked from half a second after the tone came in (its onset is no sine).
        if (!loud_ && std::fabs(x) > 8000) {
          loud_ = true;
          loudAt_ = frames + i;
        }
        if (loud_ && frames + i >= loudAt_ + 24000) {
          checking_ = true;
          ++checked;
          if (std::fabs(x + before2_ - twoCos_ * before1_) > 64) ++breaks;
        }
        before2_ = before1_;
        before1_ = x;
      }
      frames += static_cast<uint64_t>(p.frames);
    });
  }

  double twoCos_;
  double before1_ = 0, before2_ = 0;
  bool loud_ = false, checking_ = false;
  uint64_t loudAt_ = 0;
  std::atomic<bool> stop_{false};
  std::thread reader_;
};

}  // namespace

TEST(PulseStream, EverySampleBetweenTheBlocksReachesTheStreamInOrder) {
  tvtest::PulseTestServer server;
  ASSERT_TRUE(server.Start());
  ASSERT_GE(server.AddSink("tvA", "Sink A"), 0);
  ASSERT_TRUE(server.Tone("tvA", 997, 48000, 1));
  SineChecker checker(997, 48000);
  uint64_t blockFrames = 0;
  {
    PulseCapture capture("tvA.monitor");
    capture.SetStream(&checker.ring);
    std::vector<int16_t> block(2048);
    const auto until = Clock::now() + std::chrono::seconds(8);
    while (Clock::now() < until) {
      blockFrames += static_cast<uint64_t>(capture.Record(1, 48000, block.data(), 2048));
      // What the worker spends on a block and its hand-over, and more: longer than a block,
      // whose fragments are about its length.
      std::this_thread::sleep_for(std::chrono::milliseconds(80));
    }
    capture.Release();
  }
  checker.Finish();
  const double seconds = std::chrono::duration<double>(checker.last - checker.first).count();
  std::printf(
      "stream: %llu frames in %.2f s (%.0f Hz), blocks: %llu frames; %llu checked, "
      "%llu breaks\n",
      static_cast<unsigned long long>(checker.frames), seconds,
      static_cast<double>(checker.frames) / seconds, static_cast<unsigned long long>(blockFrames),
      static_cast<unsigned long long>(checker.checked),
      static_cast<unsigned long long>(checker.breaks));
  // The stream keeps the server's pace, blocks or not; the blocks hold only about half of it.
  ASSERT_GT(seconds, 5);
  EXPECT_NEAR(static_cast<double>(checker.frames) / seconds, 48000, 48000 * 0.03);
  EXPECT_GT(checker.frames, blockFrames * 3 / 2);
  EXPECT_GT(checker.checked, 48000u * 4);
  EXPECT_EQ(checker.breaks, 0u);
  EXPECT_EQ(checker.gapsWhileChecking, 0);
  EXPECT_EQ(checker.ring.FramesDropped(), 0u);
}

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "AlsaTestDevice.h"
#include "Audiodataacquisition.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// Every frame distinct, left and right different, the extremes included.
std::vector<int16_t> Pattern(size_t frames, int channels) {
  std::vector<int16_t> s(frames * channels);
  for (size_t i = 0; i < frames; ++i) {
    for (int c = 0; c < channels; ++c) {
      int v = static_cast<int>((i * 7 + c * 30011) % 65536) - 32768;
      if (i == 3) v = c == 0 ? -32768 : 32767;
      s[i * channels + c] = static_cast<int16_t>(v);
    }
  }
  return s;
}

class Capture : public ::testing::Test {
 protected:
  tvtest::TempDir dir;
};

}  // namespace

TEST_F(Capture, ReplaysTheFileExactlyInMonoAndStereo) {
  struct Case {
    int channels, rate, length;
  };
  for (Case c : {Case{1, 8000, 256}, Case{1, 44100, 2048}, Case{1, 96000, 32768},
                 Case{2, 11025, 512}, Case{2, 48000, 4096}, Case{2, 96000, 32768}}) {
    SCOPED_TRACE(testing::Message() << c.channels << " ch, " << c.rate << " Hz, " << c.length);
    const auto file = dir.File("pattern.raw");
    const auto samples = Pattern(c.length + 100, c.channels);
    tvtest::WriteRawFile(file, samples);
    tvtest::UseReplayDevice(dir.Path(), file);

    AudioDataAcquisition acquisition(c.channels, c.length, c.rate);
    EXPECT_EQ(acquisition.AcquireBlock(), c.length);
    std::vector<double> left(c.length), right(c.length);
    if (c.channels == 1) {
      acquisition.GetMono(left.data(), c.length);
      for (int i = 0; i < c.length; ++i)
        ASSERT_EQ(left[i], samples[i]) << i;
      EXPECT_EQ(left[3], -32768.0);
    } else {
      acquisition.GetStereo(left.data(), right.data(), c.length);
      for (int i = 0; i < c.length; ++i) {
        ASSERT_EQ(left[i], samples[2 * i]) << i;
        ASSERT_EQ(right[i], samples[2 * i + 1]) << i;
      }
      EXPECT_EQ(left[3], -32768.0);
      EXPECT_EQ(right[3], 32767.0);
    }
  }
}

TEST_F(Capture, SplitsStereoFramesLeftFirst) {
  const auto file = dir.File("short.raw");
  tvtest::WriteRawFile(file, {1, -1, 2, -2, 3, -3, 4, -4});
  tvtest::UseReplayDevice(dir.Path(), file);
  AudioDataAcquisition acquisition(2, 4, 8000);
  acquisition.AcquireBlock();
  double left[4], right[4];
  acquisition.GetStereo(left, right, 4);
  EXPECT_EQ(std::vector<double>(left, left + 4), (std::vector<double>{1, 2, 3, 4}));
  EXPECT_EQ(std::vector<double>(right, right + 4), (std::vector<double>{-1, -2, -3, -4}));
}

TEST_F(Capture, ReadsZerosPastTheEndOfTheFile) {
  const auto file = dir.File("short.raw");
  tvtest::WriteRawFile(file, {5, 6, 7});
  tvtest::UseReplayDevice(dir.Path(), file);
  AudioDataAcquisition acquisition(1, 256, 8000);
  acquisition.AcquireBlock();
  std::vector<double> s(256, -1.0);
  acquisition.GetMono(s.data(), 256);
  EXPECT_EQ(s[0], 5);
  EXPECT_EQ(s[2], 7);
  for (int i = 3; i < 256; ++i)
    ASSERT_EQ(s[i], 0.0) << i;
}

TEST_F(Capture, WithoutADeviceTheBlockIsSilentAtOnceAndQuiet) {
  tvtest::UseNoDevice(dir.Path());
  testing::internal::CaptureStderr();
  const auto start = Clock::now();
  bool available = true;
  {
    AudioDataAcquisition acquisition(2, 32768, 8000);
    EXPECT_EQ(acquisition.AcquireBlock(), 0);
    std::vector<double> left(32768, 1.0), right(32768, 1.0);
    acquisition.GetStereo(left.data(), right.data(), 32768);
    EXPECT_EQ(std::count(left.begin(), left.end(), 0.0), 32768);
    EXPECT_EQ(std::count(right.begin(), right.end(), 0.0), 32768);
    available = AudioOutputDeviceAvailable();
  }
  const double elapsed = Seconds(start);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_LT(elapsed, 0.05);
  EXPECT_FALSE(available);

  const auto file = dir.File("x.raw");
  tvtest::WriteRawFile(file, {0, 0});
  tvtest::UseReplayDevice(dir.Path(), file);
  EXPECT_TRUE(AudioOutputDeviceAvailable());
}

TEST_F(Capture, SessionSkipsWhatArrivedBetweenBlocksAndReopensOnNewSettings) {
  const auto file = dir.File("ramp.raw");
  const auto samples = Pattern(60000, 1);
  tvtest::WriteRawFile(file, samples);
  tvtest::UseReplayDevice(dir.Path(), file);
  CaptureSession session;
  const int n = 1024;
  std::vector<int16_t> first(n), second(n);
  ASSERT_EQ(session.Record(1, 8000, first.data(), n), n);
  ASSERT_EQ(session.Record(1, 8000, second.data(), n), n);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), samples.begin()));
  // The second block is a later stretch of the file, not the continuation of the first.
  const auto at = std::search(samples.begin(), samples.end(), second.begin(), second.end());
  ASSERT_NE(at, samples.end());
  EXPECT_GT(at - samples.begin(), n);

  // New settings reopen the device, which starts the replay again from the beginning.
  std::vector<int16_t> stereo(2 * 256);
  ASSERT_EQ(session.Record(2, 16000, stereo.data(), 256), 256);
  EXPECT_TRUE(std::equal(stereo.begin(), stereo.end(), samples.begin()));
  session.Release();
}

// A FIFO as the replayed file: opening it blocks inside alsa-lib until someone writes, which
// is what a stalled sound server looks like to the caller.
class StalledCapture : public Capture {
 protected:
  void SetUp() override {
    fifo = dir.File("stall.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    tvtest::UseReplayDevice(dir.Path(), fifo);
  }
  void TearDown() override {
    // Let the stuck device thread go: a writer that closes at once gives it end of file.
    const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) close(fd);
  }
  std::string fifo;
};

TEST_F(StalledCapture, BlockEndsByItsDurationPlusTwoSeconds) {
  AudioDataAcquisition acquisition(1, 4000, 8000);  // half a second
  const auto start = Clock::now();
  EXPECT_EQ(acquisition.AcquireBlock(), 0);
  const double elapsed = Seconds(start);
  EXPECT_GE(elapsed, 2.4);
  EXPECT_LT(elapsed, 3.5);
  std::vector<double> s(4000, 1.0);
  acquisition.GetMono(s.data(), 4000);
  EXPECT_EQ(std::count(s.begin(), s.end(), 0.0), 4000);
}

TEST_F(StalledCapture, InterruptEndsTheBlockAtOnce) {
  CaptureSession session;
  std::vector<int16_t> block(32768, 0);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    session.Interrupt();
  });
  const auto start = Clock::now();
  EXPECT_EQ(session.Record(1, 8000, block.data(), 32768), 0);
  EXPECT_LT(Seconds(start), 1.0);
  stopper.join();
  EXPECT_TRUE(session.Interrupted());
  EXPECT_EQ(session.Record(1, 8000, block.data(), 32768), 0);
  const auto release = Clock::now();
  session.Release();
  EXPECT_LT(Seconds(release), 1.0);
}

namespace {

// A loop in which every frame is distinct: left is a step of 7 through all 65536 values,
// right the same shifted, so a block's first frame tells where in the loop it starts.
constexpr int kLoop = 65536;
int16_t LoopValue(int64_t frame, int channel) {
  return static_cast<int16_t>(((frame * 7 + channel * 12345) % kLoop) - 32768);
}
std::vector<int16_t> LoopFrames(int channels) {
  std::vector<int16_t> s(static_cast<size_t>(kLoop) * channels);
  for (int i = 0; i < kLoop; ++i)
    for (int c = 0; c < channels; ++c)
      s[static_cast<size_t>(i) * channels + c] = LoopValue(i, c);
  return s;
}

// Whether `frames` frames of `block` are consecutive frames of the loop.
bool UnbrokenStretch(const int16_t* block, int frames, int channels) {
  // 7 * 28087 = 1 modulo 65536.
  const int64_t first = (int64_t{block[0] + 32768} * 28087) % kLoop;
  for (int i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c)
      if (block[static_cast<size_t>(i) * channels + c] != LoopValue(first + i, c)) return false;
  return true;
}

class PacedCapture : public Capture {
 protected:
  void Use(int channels, long overrunEvery = 0, long vanishEvery = 0, long deadAfter = 0) {
    const auto file = dir.File("loop.raw");
    tvtest::WriteRawFile(file, LoopFrames(channels));
    tvtest::UsePacedLoopDevice(dir.Path(), file, channels, overrunEvery, vanishEvery, deadAfter);
  }
  // Records `blocks` blocks through one session the way the worker does; returns how many
  // were not one unbroken stretch of the loop (a short block counts as broken).
  int BrokenOf(CaptureSession& session, int channels, int rate, int frames, int blocks) {
    int broken = 0;
    for (int b = 0; b < blocks; ++b) {
      AudioDataAcquisition acquisition(channels, frames, rate, &session);
      const int got = acquisition.AcquireBlock();
      if (got != frames || !UnbrokenStretch(acquisition.Samples(), frames, channels)) {
        if (broken < 3) ADD_FAILURE() << "block " << b << ": " << got << " frames, broken";
        ++broken;
      }
    }
    return broken;
  }
};

}  // namespace

// 2000 blocks of a steady loop from a device paced like a sound card: every block is one
// unbroken stretch of it.
TEST_F(PacedCapture, TwoThousandBlocksOfASteadyLoopAreEachOneUnbrokenStretch) {
  Use(1);
  CaptureSession session;
  const auto start = Clock::now();
  EXPECT_EQ(BrokenOf(session, 1, 96000, 256, 2000), 0);
  EXPECT_EQ(session.BrokenBlocks(), 0);
  std::printf("2000 blocks of 256 frames at 96000 Hz in %.1f s\n", Seconds(start));
  session.Release();

  Use(2);
  CaptureSession stereo;
  EXPECT_EQ(BrokenOf(stereo, 2, 48000, 1024, 200), 0);
  stereo.Release();
}

// An overrun in the middle of a block leaves a gap in the stream: the block is recorded
// afresh instead of joining the pieces or padding them with zeros.
TEST_F(PacedCapture, ABlockHitByAnOverrunIsRecordedAfresh) {
  Use(1, 3000);  // 2048-frame blocks: most streams overrun within their second block
  CaptureSession session;
  EXPECT_EQ(BrokenOf(session, 1, 96000, 2048, 100), 0);
  // Counted all the same, for the benchmarks and the user's trust in the figures.
  EXPECT_GT(session.BrokenBlocks(), 20);
  EXPECT_LE(session.BrokenBlocks(), 100);
  session.Release();
}

// A device that fails mid-block and is back only when opened again: the block is recorded
// afresh on the new device.
TEST_F(PacedCapture, ABlockOnAVanishedDeviceIsRecordedAfreshOnANewOne) {
  Use(2, 0, 5000);
  CaptureSession session;
  EXPECT_EQ(BrokenOf(session, 2, 48000, 1024, 60), 0);
  EXPECT_GT(session.BrokenBlocks(), 5);
  session.Release();
}

// A device that breaks at every read yet takes every restart (PipeWire's plugin once its
// server has gone): restarting it in place would leave every later block silent for good;
// the capture opens it afresh and the block is recorded whole on the new one.
TEST_F(PacedCapture, ADeviceThatBreaksAgainAtOnceAfterARestartIsOpenedAfresh) {
  Use(1, 0, 0, 6000);
  CaptureSession session;
  const auto start = Clock::now();
  EXPECT_EQ(BrokenOf(session, 1, 48000, 1024, 40), 0);
  EXPECT_GT(session.BrokenBlocks(), 3);
  // Each death costs a reopen, not a block's deadline.
  EXPECT_LT(Seconds(start), 40 * 0.0213 * 3 + 2.0);
  session.Release();
}

// A device that overruns more often than a block lasts can never give a whole block: by the
// deadline the block is what was recorded, then zeros, and it counts as broken.
TEST_F(PacedCapture, PastItsDeadlineABrokenBlockIsWhatWasRecordedThenZeros) {
  Use(1, 1500);
  CaptureSession session;
  AudioDataAcquisition acquisition(1, 2000, 8000, &session);  // a quarter of a second
  const auto start = Clock::now();
  const int got = acquisition.AcquireBlock();
  const double elapsed = Seconds(start);
  EXPECT_GT(got, 0);
  EXPECT_LT(got, 2000);
  EXPECT_TRUE(UnbrokenStretch(acquisition.Samples(), got, 1));
  EXPECT_TRUE(std::all_of(acquisition.Samples() + got, acquisition.Samples() + 2000,
                          [](int16_t v) { return v == 0; }));
  // Fresh recordings were tried until a whole one no longer fitted before the deadline.
  EXPECT_GT(elapsed, 1.5);
  EXPECT_LT(elapsed, 0.25 + 2.0 + 0.5);
  EXPECT_EQ(session.BrokenBlocks(), 1);
  session.Release();
}

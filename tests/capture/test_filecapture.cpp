// A file as the worker's input: whole consecutive blocks from the shared cursor, every sample
// to the stream in order with a gap at a seek, its format, the 16-bit fallback, pacing that an
// interrupt ends at once, and the position read-out.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>

#include "AlsaTestDevice.h"
#include "Filecapture.h"
#include "Soundfiles.h"

namespace {

struct Collector : SampleStream {
  void Samples(const double* s, int frames, int channels, int rate) override {
    for (int i = 0; i < frames * channels; ++i)
      values.push_back(s[i]);
    this->channels = channels;
    this->rate = rate;
  }
  void Gap() override { gaps.push_back(values.size()); }
  std::vector<double> values;
  std::vector<size_t> gaps;
  int channels = 0, rate = 0;
};

// Frame i holds L = i - 600 and R = 600 - i: every sample tells where it came from.
std::vector<double> Ramp(int frames) {
  std::vector<double> s;
  for (int i = 0; i < frames; ++i) {
    s.push_back(i - 600.0);
    s.push_back(600.0 - i);
  }
  return s;
}

}  // namespace

TEST(FileCapture, WholeBlocksInOrderEverySampleFedAGapAtASeekAndThePartialBlockLeftOut) {
  tvtest::TempDir dir;
  const std::string path = dir.File("ramp.wav");
  ASSERT_EQ(tvtest::WriteSoundFile(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1000, 2, Ramp(1290)),
            "");
  std::string error;
  auto cursor = FileCursor::Open(path, &error);
  ASSERT_TRUE(cursor) << error;
  cursor->SetRealTime(false);
  FileCapture source(cursor);
  Collector stream;
  source.SetStream(&stream);
  EXPECT_EQ(source.OwnFormat().rate, 1000);
  EXPECT_EQ(source.OwnFormat().channels, 2);

  std::vector<double> l(256), r(256);
  for (int b = 0; b < 2; ++b) {
    ASSERT_EQ(source.ReadBlock(l.data(), r.data(), 256), 256);
    for (int i = 0; i < 256; ++i) {
      ASSERT_EQ(l[i], b * 256 + i - 600.0);
      ASSERT_EQ(r[i], 600.0 - (b * 256 + i));
    }
  }
  EXPECT_EQ(cursor->Position(), 512);
  const std::vector<double> all = Ramp(1290);
  ASSERT_EQ(stream.values.size(), 1024u);
  EXPECT_TRUE(std::equal(stream.values.begin(), stream.values.end(), all.begin()));
  EXPECT_EQ(stream.rate, 1000);

  // A seek: the next block starts there and the stream is told that it does not go on.
  cursor->SetPosition(1024);
  ASSERT_EQ(source.ReadBlock(l.data(), r.data(), 256), 256);
  EXPECT_EQ(l[0], 1024 - 600.0);
  EXPECT_EQ(stream.gaps, (std::vector<size_t>{0, 1024}));
  // 10 frames remain: no whole block, nothing read, the position stays.
  EXPECT_EQ(source.ReadBlock(l.data(), r.data(), 256), 0);
  EXPECT_EQ(cursor->Position(), 1280);
  EXPECT_EQ(stream.values.size(), 1536u);

  // A fresh source at the end starts over; the 16-bit contract gets the same samples.
  FileCapture again(cursor);
  std::vector<int16_t> s16(2 * 256);
  ASSERT_EQ(again.Record(2, 1000, s16.data(), 256), 256);
  EXPECT_EQ(s16[0], -600);
  EXPECT_EQ(s16[1], 600);
  EXPECT_EQ(s16[511], 600 - 255);
  EXPECT_EQ(cursor->Position(), 256);
}

TEST(FileCapture, RealTimeWaitsTheBlocksDurationAndAnInterruptEndsTheWaitAtOnce) {
  tvtest::TempDir dir;
  const std::string path = dir.File("slow.wav");
  ASSERT_EQ(tvtest::WriteSoundFile(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1000, 1,
                                   tvtest::Sines(1000, 1, 20000, {100.0})),
            "");
  auto cursor = FileCursor::Open(path, nullptr);
  ASSERT_TRUE(cursor);
  FileCapture source(cursor);
  std::vector<double> l(200);
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  ASSERT_EQ(source.ReadBlock(l.data(), nullptr, 200), 200);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(190)) << "one block lasts 200 ms";

  // A block of 10 s, interrupted after 50 ms.
  std::vector<double> big(10000);
  auto read =
      std::async(std::launch::async, [&] { return source.ReadBlock(big.data(), nullptr, 10000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  source.Interrupt();
  ASSERT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(read.get(), 0);
  EXPECT_TRUE(source.Interrupted());
  EXPECT_EQ(cursor->Position(), 200) << "nothing read past the interrupt";
}

TEST(FileCapture, StateTextNamesTheFileItsPositionItsChannelsAndItsFault) {
  EXPECT_EQ(FormatFileTime(0), "0:00.0");
  EXPECT_EQ(FormatFileTime(12.39), "0:12.3");
  EXPECT_EQ(FormatFileTime(65.0), "1:05.0");
  EXPECT_EQ(FormatFileTime(3725.55), "1:02:05.5");
  tvtest::TempDir dir;
  const std::string path = dir.File("six.wav");
  ASSERT_EQ(tvtest::WriteSoundFile(path, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 8000, 6,
                                   tvtest::Sines(8000, 6, 8000 * 65, {100.0})),
            "");
  auto cursor = FileCursor::Open(path, nullptr);
  ASSERT_TRUE(cursor);
  EXPECT_EQ(cursor->Channels(), 2);
  cursor->Step(12.34);
  EXPECT_EQ(cursor->StateText(), "six.wav: 0:12.3 / 1:05.0 (first 2 of 6 channels)");
  cursor->SetFault(path + ": the file ends after 5 of the 9 frames its header announces");
  EXPECT_EQ(cursor->StateText(),
            "six.wav: the file ends after 5 of the 9 frames its header announces");
  cursor->Step(-100);
  EXPECT_EQ(cursor->Position(), 0);
  EXPECT_EQ(cursor->StateText(), "six.wav: 0:00.0 / 1:05.0 (first 2 of 6 channels)")
      << "a seek clears the fault";
}

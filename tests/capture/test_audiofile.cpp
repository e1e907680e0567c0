// Audio files as an input: the 16-bit scale of every sample format, the first two of many
// channels, reading in pieces and seeking, and headers that lie.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "AlsaTestDevice.h"
#include "Audiofile.h"

namespace {

// Writes interleaved samples given in the 16-bit scale (s / 32768 full scale), exactly.
void WriteFile(const std::string& path, int format, int rate, int channels,
               const std::vector<double>& samples) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  const sf_count_t frames = static_cast<sf_count_t>(samples.size() / channels);
  const int sub = format & SF_FORMAT_SUBMASK;
  if (sub == SF_FORMAT_FLOAT || sub == SF_FORMAT_DOUBLE) {
    std::vector<double> norm(samples.size());
    for (size_t i = 0; i < samples.size(); ++i)
      norm[i] = samples[i] / 32768.0;
    sf_command(f, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
    // Keep values past full scale rather than clip them.
    sf_command(f, SFC_SET_CLIPPING, nullptr, SF_FALSE);
    EXPECT_EQ(sf_writef_double(f, norm.data(), frames), frames);
  } else {
    // libsndfile scales doubles to integers by 2^15 - 1; 32-bit integers go in exactly.
    std::vector<int> v(samples.size());
    for (size_t i = 0; i < samples.size(); ++i)
      v[i] = static_cast<int>(std::lround(samples[i] * 65536.0));
    EXPECT_EQ(sf_writef_int(f, v.data(), frames), frames);
  }
  sf_close(f);
}

std::string Bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Put(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Interleaved samples: channel c of frame i is a distinct 16-bit value.
std::vector<double> Ramp(int channels, int frames) {
  std::vector<double> s(static_cast<size_t>(channels) * frames);
  for (int i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c)
      s[static_cast<size_t>(i) * channels + c] = ((i * 37 + c * 1000) % 60001) - 30000;
  return s;
}

}  // namespace

class AudiofileTest : public ::testing::Test {
 protected:
  tvtest::TempDir dir;
  Audiofile file;
  std::string error;
};

TEST_F(AudiofileTest, EveryFormatReadsInTheSixteenBitScale) {
  const std::vector<double> s = Ramp(2, 3000);
  struct Case {
    const char* name;
    int format;
  };
  for (const Case& c : {Case{"s16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
                        Case{"s24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24},
                        Case{"s32.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_32},
                        Case{"f32.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT},
                        Case{"f64.wav", SF_FORMAT_WAV | SF_FORMAT_DOUBLE},
                        Case{"s16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
                        Case{"s24.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24}}) {
    WriteFile(dir.File(c.name), c.format, 48000, 2, s);
    ASSERT_TRUE(file.Open(dir.File(c.name), &error)) << error;
    EXPECT_EQ(file.Rate(), 48000);
    EXPECT_EQ(file.Channels(), 2);
    EXPECT_EQ(file.Frames(), 3000);
    EXPECT_DOUBLE_EQ(file.Seconds(), 3000.0 / 48000);
    std::vector<double> l(3000), r(3000);
    ASSERT_EQ(file.Read(l.data(), r.data(), 3000, &error), 3000) << error;
    for (int i = 0; i < 3000; ++i) {
      ASSERT_EQ(l[i], s[2 * i]) << c.name << " frame " << i;
      ASSERT_EQ(r[i], s[2 * i + 1]) << c.name << " frame " << i;
    }
    EXPECT_EQ(file.Read(l.data(), r.data(), 10, &error), 0);
  }
  // A deeper sample keeps its fraction; a float past full scale is not clipped.
  WriteFile(dir.File("fine.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_24, 8000, 1, {0.25, -100.5});
  WriteFile(dir.File("over.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 8000, 1, {49152.0, -0.125});
  double v[2];
  ASSERT_TRUE(file.Open(dir.File("fine.wav"), &error)) << error;
  ASSERT_EQ(file.Read(v, nullptr, 2, &error), 2);
  EXPECT_EQ(v[0], 0.25);
  EXPECT_EQ(v[1], -100.5);
  ASSERT_TRUE(file.Open(dir.File("over.wav"), &error)) << error;
  ASSERT_EQ(file.Read(v, nullptr, 2, &error), 2);
  EXPECT_EQ(v[0], 49152.0);
  EXPECT_EQ(v[1], -0.125);
}

TEST_F(AudiofileTest, MonoGivesOneChannelAndMoreThanTwoGiveTheFirstTwo) {
  const std::vector<double> five = Ramp(5, 1000);
  WriteFile(dir.File("five.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 5, five);
  ASSERT_TRUE(file.Open(dir.File("five.wav"), &error)) << error;
  EXPECT_EQ(file.FileChannels(), 5);
  EXPECT_EQ(file.Channels(), 2);
  std::vector<double> l(1000), r(1000);
  ASSERT_EQ(file.Read(l.data(), r.data(), 1000, &error), 1000);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(l[i], five[5 * i]);
    ASSERT_EQ(r[i], five[5 * i + 1]);
  }
  WriteFile(dir.File("mono.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1, Ramp(1, 100));
  ASSERT_TRUE(file.Open(dir.File("mono.wav"), &error)) << error;
  EXPECT_EQ(file.Channels(), 1);
  ASSERT_EQ(file.Read(l.data(), nullptr, 1000, &error), 100);
  EXPECT_EQ(l[99], Ramp(1, 100)[99]);
}

TEST_F(AudiofileTest, ReadingInPiecesAndSeekingGiveTheSameFrames) {
  const std::vector<double> s = Ramp(1, 100000);
  WriteFile(dir.File("a.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 1, s);
  ASSERT_TRUE(file.Open(dir.File("a.flac"), &error)) << error;
  std::vector<double> got(100000);
  int64_t at = 0;
  for (int64_t piece : {1, 999, 4096, 30000, 70000}) {
    const int64_t n = file.Read(got.data() + at, nullptr, piece, &error);
    ASSERT_GE(n, 0) << error;
    at += n;
    EXPECT_EQ(file.Position(), at);
  }
  ASSERT_EQ(at, 100000);
  for (int i = 0; i < 100000; ++i)
    ASSERT_EQ(got[i], s[i]) << i;
  ASSERT_TRUE(file.Seek(54321, &error)) << error;
  double v[3];
  ASSERT_EQ(file.Read(v, nullptr, 3, &error), 3);
  EXPECT_EQ(v[0], s[54321]);
  EXPECT_EQ(v[2], s[54323]);
  EXPECT_TRUE(file.Seek(100000, &error));
  EXPECT_EQ(file.Read(v, nullptr, 3, &error), 0);
  EXPECT_FALSE(file.Seek(100001, &error));
  EXPECT_NE(error.find("outside the file"), std::string::npos) << error;
  EXPECT_FALSE(file.Seek(-1, &error));
}

TEST_F(AudiofileTest, AHeaderThatClaimsTooMuchIsRefusedButAnUnfinishedOneIsRead) {
  WriteFile(dir.File("a.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 8000, 1, Ramp(1, 1000));
  const std::string whole = Bytes(dir.File("a.wav"));
  const size_t data = whole.find("data");
  ASSERT_NE(data, std::string::npos);
  Put(dir.File("cut.wav"), whole.substr(0, whole.size() - 10));
  EXPECT_FALSE(file.Open(dir.File("cut.wav"), &error));
  EXPECT_EQ(error, dir.File("cut.wav") +
                       ": the file is cut short: its header announces 2000 bytes of samples, "
                       "but it holds 1990");
  EXPECT_FALSE(file.IsOpen());
  // A recorder that stopped before it wrote the sizes leaves 0xffffffff: not a claim.
  std::string unfinished = whole;
  unfinished.replace(data + 4, 4, "\xff\xff\xff\xff");
  Put(dir.File("unfinished.wav"), unfinished);
  ASSERT_TRUE(file.Open(dir.File("unfinished.wav"), &error)) << error;
  EXPECT_EQ(file.Frames(), 1000);
  // An odd-sized chunk before the samples is padded to an even length.
  std::string padded = whole.substr(0, data);
  padded += std::string(
      "LIST\x03\x00\x00\x00"
      "abc\x00",
      12);
  padded += whole.substr(data);
  Put(dir.File("padded.wav"), padded);
  ASSERT_TRUE(file.Open(dir.File("padded.wav"), &error)) << error;
  std::vector<double> v(1000);
  ASSERT_EQ(file.Read(v.data(), nullptr, 1000, &error), 1000) << error;
  EXPECT_EQ(v[999], Ramp(1, 1000)[999]);
}

TEST_F(AudiofileTest, AFlacCutShortFailsWhereItEndsWithTheFileNamed) {
  WriteFile(dir.File("a.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 8000, 1, Ramp(1, 80000));
  const std::string whole = Bytes(dir.File("a.flac"));
  Put(dir.File("cut.flac"), whole.substr(0, whole.size() / 2));
  ASSERT_TRUE(file.Open(dir.File("cut.flac"), &error)) << error;
  EXPECT_EQ(file.Frames(), 80000);
  std::vector<double> v(80000);
  EXPECT_EQ(file.Read(v.data(), nullptr, 80000, &error), -1);
  EXPECT_TRUE(error.starts_with(dir.File("cut.flac") + ": the file ends after ")) << error;
  EXPECT_NE(error.find("of the 80000 frames"), std::string::npos) << error;
}

TEST_F(AudiofileTest, WhatIsNoAudioFileIsRefusedWithItsReason) {
  Put(dir.File("empty.wav"), "");
  Put(dir.File("text.wav"), std::string(5000, 'x'));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {dir.File("missing.wav"), "No such file or directory"},
      {dir.Path(), "is a folder, not an audio file"},
      {"/dev/zero", "is not a regular file"},
      {dir.File("empty.wav"), "the file is empty"},
      {dir.File("text.wav"), "cannot be decoded"},
  };
  for (const auto& [path, reason] : cases) {
    EXPECT_FALSE(file.Open(path, &error)) << path;
    EXPECT_TRUE(error.starts_with(path + ": " + reason)) << error;
    EXPECT_FALSE(file.IsOpen());
    double v;
    EXPECT_EQ(file.Read(&v, nullptr, 1, &error), -1);
  }
}

// NaN and Inf in a float file read as 0, counted once per frame however often they are read,
// with the frame of the first; a third channel's are no concern; all of them non-finite is
// said.
TEST_F(AudiofileTest, NonFiniteSamplesReadAsZeroAndAreCountedOnce) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> s = Ramp(3, 1000);
  s[3 * 10 + 0] = nan;   // frame 10, L
  s[3 * 10 + 1] = -inf;  // frame 10, R
  s[3 * 500 + 1] = inf;  // frame 500, R
  s[3 * 600 + 2] = nan;  // frame 600, a channel not read
  const std::string path = dir.File("nan.wav");
  WriteFile(path, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 8000, 3, s);
  ASSERT_TRUE(file.Open(path, &error)) << error;
  EXPECT_EQ(file.NonFinite(), 0);
  EXPECT_EQ(file.FirstNonFinite(), -1);
  std::vector<double> l(1000), r(1000);
  ASSERT_EQ(file.Read(l.data(), r.data(), 1000, &error), 1000);
  EXPECT_EQ(l[10], 0.0);
  EXPECT_EQ(r[10], 0.0);
  EXPECT_EQ(r[500], 0.0);
  EXPECT_EQ(l[11], s[3 * 11]);
  EXPECT_EQ(file.NonFinite(), 3);
  EXPECT_EQ(file.FirstNonFinite(), 10);
  EXPECT_FALSE(file.NothingFinite());
  // Read again from the start: the same frames are not counted twice.
  ASSERT_TRUE(file.Seek(0, &error));
  ASSERT_EQ(file.Read(l.data(), r.data(), 600, &error), 600);
  EXPECT_EQ(file.NonFinite(), 3);
  for (double x : l)
    EXPECT_TRUE(std::isfinite(x));

  const std::string all = dir.File("allnan.wav");
  WriteFile(all, SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 8000, 1, std::vector<double>(300, nan));
  ASSERT_TRUE(file.Open(all, &error)) << error;
  ASSERT_EQ(file.Read(l.data(), nullptr, 300, &error), 300);
  EXPECT_TRUE(file.NothingFinite());
  EXPECT_EQ(file.NonFinite(), 300);
  EXPECT_EQ(file.FirstNonFinite(), 0);
}

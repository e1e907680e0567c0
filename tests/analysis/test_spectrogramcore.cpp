// The spectrogram core: colours, row map, history and the circular pixel buffer, fed with
// blocks whose bins are known exactly.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "Spectrogramcore.h"

namespace {

double Lightness(uint32_t argb) {
  auto lin = [](double c) {
    c /= 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
  };
  const double y = 0.2126 * lin((argb >> 16) & 0xff) + 0.7152 * lin((argb >> 8) & 0xff) +
                   0.0722 * lin(argb & 0xff);
  const double f = y > 0.008856 ? std::cbrt(y) : 7.787 * y + 16.0 / 116.0;
  return 116.0 * f - 16.0;
}

constexpr double kQuietDb = -150;  // below the default floor

// Blocks of a given format with one loud bin and the rest quiet.
struct Feed {
  int bins;
  double rate, length;
  int channels = 1;
  std::vector<double> frequency, left, right;
  Feed(int n, double samplingRate, int numChannels = 1)
      : bins(n / 2), rate(samplingRate), length(n), channels(numChannels) {
    frequency.resize(bins);
    for (int k = 0; k < bins; ++k)
      frequency[k] = k * (rate / length);
    left.assign(bins, kQuietDb);
    right.assign(bins, kQuietDb);
  }
  int Bin(double f) const { return static_cast<int>(std::lround(f * length / rate)); }
  SpectrumBlock Block() const {
    SpectrumBlock b;
    b.Bins = bins;
    b.SamplingRate = rate;
    b.FFTLength = length;
    b.NumChannels = channels;
    b.Frequency = frequency.data();
    b.LevelL = left.data();
    b.LevelR = channels == 2 ? right.data() : nullptr;
    return b;
  }
  void Tone(std::vector<double>& levels, double f, double level = 0.0) {
    std::fill(levels.begin(), levels.end(), kQuietDb);
    levels[Bin(f)] = level;
  }
};

uint32_t Pixel(const Spectrogram& s, int x, int y) {
  // x from the left edge as shown: the column after RightColumn() is the oldest.
  const int column = (s.RightColumn() + 1 + x) % s.Width();
  return s.Pixels()[static_cast<size_t>(y) * s.Width() + column];
}

const uint32_t kLoud = SpectrogramColours()[255];
const uint32_t kQuiet = SpectrogramColours()[0];

}  // namespace

TEST(SpectrogramColours, RiseInEqualStepsOfLightnessFromDarkToLight) {
  const auto& c = SpectrogramColours();
  EXPECT_LT(Lightness(c[0]), 2.0);
  EXPECT_GT(Lightness(c[255]), 95.0);
  double minStep = 1e9, maxStep = 0;
  for (int i = 1; i < 256; ++i) {
    const double step = Lightness(c[i]) - Lightness(c[i - 1]);
    minStep = std::min(minStep, step);
    maxStep = std::max(maxStep, step);
    EXPECT_EQ(c[i] >> 24, 0xffu);
  }
  // 8-bit channels round each colour a little; the steps stay near 98/255.
  EXPECT_GT(minStep, 0.0);
  EXPECT_LT(maxStep, 0.75);
  // Not a grey ramp: the middle is a saturated red-purple.
  const uint32_t mid = c[128];
  EXPECT_GT((mid >> 16) & 0xff, 2 * ((mid >> 8) & 0xff));
}

TEST(SpectrogramLevels, StoringARunGivesWhatEachLevelAloneGives) {
  // Halfway cases, both clip points and their neighbours, NaN, infinities and negative zero,
  // then a sweep; at every offset and length, so both the eight-wide part and the rest count.
  std::vector<double> v = {-12.345, -12.355, 0.005,    -0.005,    -0.0,   0.0,     327.67, 327.675,
                           327.665, -327.67, -327.675, -327.665,  327.68, -327.68, 1e300,  -1e300,
                           NAN,     -NAN,    INFINITY, -INFINITY, 2.5e-3, -2.5e-3};
  for (int i = 0; i < 3000; ++i)
    v.push_back(-400 + i * 0.2667 + (i % 7) * 1e-9);
  for (size_t offset = 0; offset < 9; ++offset)
    for (size_t length :
         {size_t{0}, size_t{1}, size_t{7}, size_t{8}, size_t{9}, size_t{17}, v.size() - offset}) {
      std::vector<StoredLevel> out(length + 1, 12345);
      StoreLevels(v.data() + offset, out.data(), static_cast<int>(length));
      for (size_t k = 0; k < length; ++k)
        ASSERT_EQ(out[k], StoreLevel(v[offset + k])) << "level " << v[offset + k];
      EXPECT_EQ(out[length], 12345);  // nothing past the end
    }
}

TEST(SpectrogramLevels, StoreRoundsToHundredthsAndClipsWithNaNAtTheBottom) {
  EXPECT_EQ(StoreLevel(-12.346), -1235);
  EXPECT_EQ(StoreLevel(-12.344), -1234);
  EXPECT_EQ(StoreLevel(3.0), 300);
  EXPECT_EQ(StoreLevel(1000.0), 32767);
  EXPECT_EQ(StoreLevel(-1000.0), -32767);
  EXPECT_EQ(StoreLevel(-INFINITY), -32767);
  EXPECT_EQ(StoreLevel(NAN), -32767);
  EXPECT_GT(StoreLevel(-1000.0), kNoLevel);

  LevelColours colours;  // -120 .. 0 dB
  EXPECT_EQ(colours.Index(StoreLevel(-120.0)), 0);
  EXPECT_EQ(colours.Index(StoreLevel(-200.0)), 0);
  EXPECT_EQ(colours.Index(StoreLevel(0.0)), 255);
  EXPECT_EQ(colours.Index(StoreLevel(30.0)), 255);
  EXPECT_EQ(colours.Index(StoreLevel(-60.0)), 128);
  EXPECT_EQ(colours.Colour(kNoLevel), kNoDataColour);
  colours.Set(-40, -20);
  EXPECT_EQ(colours.Index(StoreLevel(-60.0)), 0);
  EXPECT_EQ(colours.Index(StoreLevel(-10.0)), 255);
  EXPECT_EQ(colours.Index(StoreLevel(-30.0)), 128);
  colours.Set(-10, -10);  // a ceiling not above the floor moves up
  EXPECT_EQ(colours.Ceiling(), -9.0);
  colours.Set(-1000, 1000);
  EXPECT_EQ(colours.Floor(), -LevelColours::kLimit);
  EXPECT_EQ(colours.Ceiling(), LevelColours::kLimit);
}

TEST(SpectrogramRowMap, IsExactAtTheLimitsOnBothAxes) {
  // 10 Hz per bin: the limits fall exactly on bins 10 and 500.
  std::vector<double> f(1024);
  for (int k = 0; k < 1024; ++k)
    f[k] = 10.0 * k;
  for (FrequencyScale scale : {FrequencyScale::Linear, FrequencyScale::Logarithmic}) {
    SCOPED_TRACE(scale == FrequencyScale::Linear ? "lin" : "log");
    for (int rows : {7, 100, 491, 1000}) {
      SCOPED_TRACE(rows);
      SpectrogramRowMap map;
      map.Build(f.data(), 1024, rows, scale, 100.0, 5000.0);
      ASSERT_EQ(map.Rows(), rows);
      EXPECT_EQ(map.RowOf(100.0), rows - 1);
      EXPECT_EQ(map.RowOf(5000.0), 0);
      EXPECT_EQ(map.RowOf(99.999), -1);
      EXPECT_EQ(map.RowOf(5000.001), -1);
      // Bottom row holds bin 10, top row bin 500; no row reaches outside.
      EXPECT_EQ(map.First(rows - 1), 10);
      EXPECT_EQ(map.First(0) + map.Count(0) - 1, 500);
      int covered = 0;
      for (int r = 0; r < rows; ++r) {
        ASSERT_GE(map.Count(r), 1);
        EXPECT_GE(map.First(r), 10);
        EXPECT_LE(map.First(r) + map.Count(r) - 1, 500);
        if (r > 0) {
          EXPECT_LE(map.First(r), map.First(r - 1));  // higher rows, higher bins
        }
        covered += map.Count(r);
      }
      // Coarse rows take every bin in range exactly once.
      if (rows <= 100 && scale == FrequencyScale::Linear) {
        EXPECT_EQ(covered, 491);
      }
      EXPECT_NEAR(map.FrequencyAt(0), 5000.0, 1e-9);
      EXPECT_NEAR(map.FrequencyAt(rows), 100.0, 1e-9);
    }
  }
  // A log row narrower than a bin takes the nearest bin: 1000 rows over 100..5000 Hz have
  // rows of about 0.4 % near 100 Hz, far below the 10 % bin spacing there.
  SpectrogramRowMap map;
  map.Build(f.data(), 1024, 1000, FrequencyScale::Logarithmic, 100.0, 5000.0);
  const int row = map.RowOf(104.0);
  EXPECT_EQ(map.First(row), 10);  // 104 Hz is nearer 100 than 110 on the axis
  EXPECT_EQ(map.First(map.RowOf(106.0)), 11);
}

TEST(SpectrogramRowMap, TakesTheLoudestBinOfAWideRow) {
  std::vector<double> f(1024);
  for (int k = 0; k < 1024; ++k)
    f[k] = 10.0 * k;
  SpectrogramRowMap map;
  map.Build(f.data(), 1024, 50, FrequencyScale::Linear, 0.0, 10230.0);
  std::vector<StoredLevel> column(1024, StoreLevel(-100)), rows(50);
  column[333] = StoreLevel(-3.0);
  map.Apply(column.data(), rows.data());
  const int r = map.RowOf(3330.0);
  for (int i = 0; i < 50; ++i)
    EXPECT_EQ(rows[i], i == r ? StoreLevel(-3.0) : StoreLevel(-100)) << i;
}

class SpectrogramCore : public ::testing::TestWithParam<FrequencyScale> {};

TEST_P(SpectrogramCore, AToneSteppingFrom1kTo5kShowsInItsRowsBeforeAndAfter) {
  Feed feed(2048, 48000);  // 23.4 blocks/s: 469 blocks in 20 s over 200 columns
  Spectrogram s;
  s.SetScale(GetParam());
  s.SetFrequencyLimits(10, 22050);
  s.SetSize(200, 150);
  const int blocks = 469;
  for (int b = 0; b < blocks; ++b) {
    feed.Tone(feed.left, b < blocks / 2 ? 1000 : 5000);
    ASSERT_TRUE(s.Add(feed.Block()));
  }
  s.Render();
  const SpectrogramRowMap& map = s.RowMap();
  const int row1k = map.RowOf(feed.frequency[feed.Bin(1000)]);
  const int row5k = map.RowOf(feed.frequency[feed.Bin(5000)]);
  ASSERT_GE(row1k, 0);
  ASSERT_GE(row5k, 0);
  ASSERT_GT(row1k, row5k);  // higher frequency, higher on the screen
  for (int x : {2, 50, 95}) {
    EXPECT_EQ(Pixel(s, x, row1k), kLoud) << x;
    EXPECT_EQ(Pixel(s, x, row5k), kQuiet) << x;
  }
  for (int x : {105, 150, 199}) {
    EXPECT_EQ(Pixel(s, x, row1k), kQuiet) << x;
    EXPECT_EQ(Pixel(s, x, row5k), kLoud) << x;
  }
  // Rows away from both tones are quiet everywhere.
  for (int x = 0; x < 200; x += 7)
    EXPECT_EQ(Pixel(s, x, (row1k + row5k) / 2), kQuiet);

  // The same history drawn at another size puts the tone in the rows of that size.
  s.SetSize(300, 77);
  s.Render();
  const SpectrogramRowMap& small = s.RowMap();
  EXPECT_EQ(Pixel(s, 10, small.RowOf(feed.frequency[feed.Bin(1000)])), kLoud);
  EXPECT_EQ(Pixel(s, 290, small.RowOf(feed.frequency[feed.Bin(5000)])), kLoud);
  EXPECT_EQ(Pixel(s, 290, small.RowOf(feed.frequency[feed.Bin(1000)])), kQuiet);
}

TEST_P(SpectrogramCore, IncrementalColumnsMatchAFullRedraw) {
  // Both sides of the slot arithmetic: several blocks per column, and columns per block.
  for (int width : {90, 1000}) {
    SCOPED_TRACE(width);
    Feed feed(4096, 44100, 2);  // 10.8 blocks/s: 108 blocks in 10 s
    Spectrogram a, b;
    for (Spectrogram* s : {&a, &b}) {
      s->SetScale(GetParam());
      s->SetHistorySeconds(10);
      s->SetSize(width, 101);
    }
    for (int i = 0; i < 300; ++i) {
      feed.Tone(feed.left, 200 + 37 * (i % 50), -10 - (i % 7));
      feed.Tone(feed.right, 9000 - 51 * (i % 80), -30);
      a.Add(feed.Block());
      if (i % 13 == 0) a.Render();  // drawn as it arrives, in uneven batches
      b.Add(feed.Block());
      if (i == 150) {
        a.Skip(5);
        b.Skip(5);
      }
    }
    a.Render();
    b.Render();
    ASSERT_EQ(a.Plots(), 2);
    EXPECT_TRUE(std::equal(a.Pixels(), a.Pixels() + width * 101, b.Pixels()));
    EXPECT_EQ(a.RightColumn(), b.RightColumn());
    // A floor change redraws the old columns from the history, as a fresh drawing would.
    const std::vector<uint32_t> before(a.Pixels(), a.Pixels() + width * 101);
    a.SetLevelRange(-20, 0);
    b.SetLevelRange(-20, 0);
    a.Render();
    b.Render();
    EXPECT_TRUE(std::equal(a.Pixels(), a.Pixels() + width * 101, b.Pixels()));
    EXPECT_FALSE(std::equal(before.begin(), before.end(), a.Pixels()));
  }
}

INSTANTIATE_TEST_SUITE_P(BothAxes, SpectrogramCore,
                         ::testing::Values(FrequencyScale::Linear, FrequencyScale::Logarithmic),
                         [](const auto& info) {
                           return info.param == FrequencyScale::Linear ? "Lin" : "Log";
                         });

TEST(SpectrogramPixels, FloorAndCeilingClipAndRedrawTheHistory) {
  Feed feed(1024, 44100);
  Spectrogram s;
  s.SetSize(100, 100);
  s.SetLevelRange(-60, -20);
  // Columns at -80, -40 and +10 dB in one bin: below the floor, inside, above the ceiling.
  for (double level : {-80.0, -40.0, 10.0})
    for (int i = 0; i < 300; ++i) {
      feed.Tone(feed.left, 3000, level);
      s.Add(feed.Block());
    }
  s.Render();
  const int row = s.RowMap().RowOf(feed.frequency[feed.Bin(3000)]);
  const uint32_t mid = SpectrogramColours()[128];
  EXPECT_EQ(Pixel(s, 5, row), kQuiet);
  EXPECT_EQ(Pixel(s, 50, row), mid);
  EXPECT_EQ(Pixel(s, 95, row), kLoud);
  // A range that holds all three redraws the old columns too.
  s.SetLevelRange(-100, 20);
  s.Render();
  const auto& c = SpectrogramColours();
  EXPECT_EQ(Pixel(s, 5, row), c[static_cast<int>(20.0 / 120 * 256)]);
  EXPECT_EQ(Pixel(s, 50, row), c[static_cast<int>(60.0 / 120 * 256)]);
  EXPECT_EQ(Pixel(s, 95, row), c[static_cast<int>(110.0 / 120 * 256)]);
}

TEST(SpectrogramPixels, SkippedBlocksShowAsAGapAndReadingsFollowThePixels) {
  Feed feed(2048, 48000);
  Spectrogram s;
  s.SetScale(FrequencyScale::Linear);
  s.SetSize(469, 100);  // one column per block
  for (int i = 0; i < 200; ++i) {
    feed.Tone(feed.left, 1000, -6);
    s.Add(feed.Block());
  }
  s.Skip(100);
  for (int i = 0; i < 169; ++i)
    s.Add(feed.Block());
  s.Render();
  const int row = s.RowMap().RowOf(feed.frequency[feed.Bin(1000)]);
  const uint32_t tone = LevelColours().Colour(StoreLevel(-6));
  EXPECT_EQ(Pixel(s, 100, row), tone);
  EXPECT_EQ(Pixel(s, 250, row), kNoDataColour);
  EXPECT_EQ(Pixel(s, 250, 3), kNoDataColour);
  EXPECT_EQ(Pixel(s, 400, row), tone);
  EXPECT_EQ(Pixel(s, 400, 3), kQuiet);

  Spectrogram::Reading r = s.At(400, row);
  ASSERT_TRUE(r.inside);
  ASSERT_TRUE(r.hasLevel);
  EXPECT_DOUBLE_EQ(r.level, -6.0);
  EXPECT_NEAR(r.frequency, 1000.0, 24000.0 / 100);  // within a row of 240 Hz
  EXPECT_NEAR(r.seconds, -(469 - 400) * 2048 / 48000.0, 1e-9);
  r = s.At(250, row);
  EXPECT_TRUE(r.inside);
  EXPECT_FALSE(r.hasLevel);
  EXPECT_FALSE(s.At(469, row).inside);
  EXPECT_FALSE(s.At(-1, row).inside);
}

TEST(SpectrogramPixels, ABlockWiderThanAColumnFillsItsColumnsAndAFormatChangeStartsAgain) {
  Feed feed(32768, 44100);  // 1.35 blocks/s: 27 blocks across 20 s
  Spectrogram s;
  s.SetSize(270, 60);
  for (int i = 0; i < 27; ++i) {
    feed.Tone(feed.left, i % 2 ? 2000 : 500);
    s.Add(feed.Block());
  }
  s.Render();
  const SpectrogramRowMap& map = s.RowMap();
  const int r500 = map.RowOf(feed.frequency[feed.Bin(500)]);
  const int r2k = map.RowOf(feed.frequency[feed.Bin(2000)]);
  // Block i spans columns 10 i .. 10 i + 9.
  for (int x = 0; x < 270; ++x) {
    const bool odd = (x / 10) % 2 == 1;
    ASSERT_EQ(Pixel(s, x, r500), odd ? kQuiet : kLoud) << x;
    ASSERT_EQ(Pixel(s, x, r2k), odd ? kLoud : kQuiet) << x;
  }
  // Stereo blocks of another length: a new history, two plots.
  Feed stereo(1024, 44100, 2);
  s.Add(stereo.Block());
  s.Render();
  EXPECT_EQ(s.Blocks(), 1);
  EXPECT_EQ(s.Plots(), 2);
  EXPECT_EQ(Pixel(s, 0, 0), kNoDataColour);
  EXPECT_EQ(Pixel(s, 0, s.PlotHeight()), kPlotGapColour);
  EXPECT_EQ(s.PlotTop(1) + s.PlotHeight(), 60);
}

TEST(SpectrogramPixels, LimitsFollowTheMainWindowAndStopAtHalfTheRate) {
  Feed feed(1024, 8000);
  Spectrogram s;
  s.SetSize(50, 80);
  s.Add(feed.Block());
  s.SetFrequencyLimits(10, 22050);
  s.RowMap();
  EXPECT_EQ(s.HighFrequency(), 4000.0);
  s.SetFrequencyLimits(3000, 100);  // sorted, as the chart's SetRange does
  s.RowMap();
  EXPECT_EQ(s.LowFrequency(), 100.0);
  EXPECT_EQ(s.HighFrequency(), 3000.0);
  s.SetFrequencyLimits(0, 3000);  // no log axis from 0: from 10 Hz, as the main window does
  s.RowMap();
  EXPECT_EQ(s.LowFrequency(), 10.0);
  s.SetScale(FrequencyScale::Linear);
  s.RowMap();
  EXPECT_EQ(s.LowFrequency(), 0.0);
}

#include <gtest/gtest.h>

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <vector>

#include "Dlgbandanalyser.h"
#include "Framepacing.h"
#include "Levelbar.h"
#include "Mainwindowtonvista.h"

namespace {

constexpr int kEmpty = -1800;  // the silence floor: 20 log10(1e-9) dB in tenths

struct Spectrum {
  Spectrum(double rate, int n) : frequency(n / 2), left(n / 2, 0.0), right(n / 2, 0.0) {
    for (int k = 0; k < n / 2; ++k)
      frequency[k] = k * rate / n;
  }
  int Count() const { return static_cast<int>(frequency.size()); }
  std::vector<double> frequency, left, right;
};

class BandAnalyser : public ::testing::Test {
 protected:
  void Show(const Spectrum& s) {
    bands.ShowBands(s.frequency.data(), s.left.data(), s.right.data(), s.Count());
  }
  int Bar(int j) const { return bands.BandBars[j]->Position(); }

  TMainwindow main;
  TFBandAnalyser bands;
};

TEST_F(BandAnalyser, CoarseBinsFillTheLowBandsFromTheLeft) {
  Spectrum s(44100, 2048);  // 21.5 Hz per bin
  s.left[0] = 0.3;
  s.left[1] = 0.7;   // 21.5 Hz still in "20": the band sums to 1.0
  s.left[2] = 0.01;  // 43.1 Hz: "40"
  Show(s);
  EXPECT_EQ(Bar(0), 0);
  EXPECT_EQ(Bar(1), 0);  // "25" holds no bin and repeats "20"
  EXPECT_EQ(Bar(2), 0);  // "31,5" as well
  EXPECT_EQ(Bar(3), -400);
  EXPECT_EQ(Bar(4), -400);  // "50" repeats "40"
  EXPECT_EQ(bands.BandBars[0]->FilledHeight(), bands.BandBars[0]->height());
}

TEST_F(BandAnalyser, BandsEndAtTheNextNominalFrequencyInclusive) {
  Spectrum s(8000, 256);
  s.frequency = {1000.0};
  s.left = {1.0};
  s.right = {1.0};
  Show(s);
  EXPECT_EQ(Bar(16), 0);  // "800"
  EXPECT_EQ(Bar(17), kEmpty);

  s.frequency = {1000.1};
  Show(s);
  EXPECT_EQ(Bar(16), kEmpty);  // from "800" up a quiet band never repeats its neighbour
  EXPECT_EQ(Bar(17), 0);       // "1k"
}

TEST_F(BandAnalyser, AnEightKilohertzRateLeavesTheTopBandsEmpty) {
  Spectrum s(8000, 2048);
  std::fill(s.left.begin(), s.left.end(), 0.1);
  Show(s);
  EXPECT_GT(Bar(22), 0);  // "3,15k" takes the bins up to 3996 Hz
  for (int j = 23; j <= 30; ++j) {
    EXPECT_EQ(Bar(j), kEmpty) << j;
    EXPECT_EQ(bands.BandBars[j]->FilledHeight(), 0);
  }
}

TEST_F(BandAnalyser, PlainLinearSumsAndTruncatedTenths) {
  Spectrum s(44100, 4096);  // 10.8 Hz per bin; "1k" takes bins 93..116
  for (int k = 93; k <= 116; ++k)
    s.left[k] = 0.01;   // 24 bins: 0.24, -12.396 dB
  s.left[200] = 0.005;  // 2153 Hz alone in "2k": -46.02 dB
  Show(s);
  EXPECT_EQ(Bar(17), -123);
  EXPECT_EQ(Bar(20), -460);
  EXPECT_EQ(Bar(16), kEmpty);
}

TEST_F(BandAnalyser, EveryBinCountsOnceAndBinsAbove25kHzCountNowhere) {
  Spectrum s(96000, 1024);
  std::fill(s.left.begin(), s.left.end(), 1.0);
  Show(s);
  // 93.75 Hz bins: "20k" takes those above 20000 up to 25000 Hz, 53 of them.
  EXPECT_EQ(Bar(30), static_cast<int>(std::trunc(10 * 20 * std::log10(53.0))));
}

TEST_F(BandAnalyser, ChoosingRSwitchesAtTheNextBlock) {
  Spectrum s(44100, 2048);
  std::fill(s.left.begin(), s.left.end(), 0.001);
  std::fill(s.right.begin(), s.right.end(), 0.1);
  Show(s);
  const int leftBar = Bar(20);
  bands.CBChannelSel->setCurrentIndex(1);
  EXPECT_EQ(Bar(20), leftBar);
  Show(s);
  EXPECT_LT(leftBar, -300);  // 23 bins of 0.001
  EXPECT_GT(Bar(20), 0);     // 23 bins of 0.1
  EXPECT_EQ(Bar(0), static_cast<int>(std::trunc(200 * std::log10(0.2))));
}

TEST_F(BandAnalyser, BarsAreCreatedOnceAndKeepTheirPlaces) {
  const std::array<TLevelBar*, 31> before = bands.BandBars;
  Spectrum s(48000, 1024);
  for (int i = 0; i < 50; ++i)
    Show(s);
  EXPECT_EQ(bands.BandBars, before);
  EXPECT_EQ(bands.findChildren<TLevelBar*>().size(), 31);
  for (int j = 0; j < 31; ++j) {
    EXPECT_EQ(before[j]->geometry(), QRect(15 + 16 * j, 20, 15, 250));
    EXPECT_EQ(before[j]->Minimum(), -1000);
    EXPECT_EQ(before[j]->Maximum(), 0);
    EXPECT_EQ(before[j]->BarColor(), QColor(0x66, 0xFF, 0x00));
  }
}

TEST_F(BandAnalyser, CaptionsScaleAndWindow) {
  EXPECT_EQ(bands.windowTitle(), "1/3 Octave Analyser");
  EXPECT_EQ(bands.size(), QSize(660, 343));
  EXPECT_EQ(bands.minimumSize(), bands.maximumSize());
  EXPECT_TRUE(bands.windowFlags() & Qt::WindowStaysOnTopHint);
  const char* names[31] = {"20",  "25",   "31,5",  "40",   "50",    "63",   "80",    "100",
                           "125", "160",  "200",   "250",  "315",   "400",  "500",   "630",
                           "800", "1k",   "1,25k", "1,6k", "2k",    "2,5k", "3,15k", "4k",
                           "5k",  "6,3k", "8k",    "10k",  "12,5k", "16k",  "20k"};
  for (int j = 0; j < 31; ++j) {
    EXPECT_EQ(bands.BandLabels[j]->text(), names[j]);
    EXPECT_EQ(bands.BandBars[j]->Position(), -1000);
    EXPECT_LE(bands.BandLabels[j]->sizeHint().width(), bands.BandLabels[j]->width()) << j;
  }
  for (int j = 2; j < 31; ++j)  // same row, two bars apart: must not overlap
    EXPECT_LE(bands.BandLabels[j - 2]->geometry().right(), bands.BandLabels[j]->x());
  const char* scale[6] = {"0 dB", "-20 dB", "-40 dB", "-60 dB", "-80 dB", "-100 dB"};
  for (int k = 0; k < 6; ++k) {
    EXPECT_EQ(bands.ScaleLabels[k]->text(), scale[k]);
    EXPECT_EQ(bands.ScaleTicks[k]->geometry(), QRect(512, 20 + 50 * k, 8, 2));
    EXPECT_EQ(bands.ScaleLabels[k]->pos(), QPoint(523, 14 + 50 * k));
    EXPECT_LE(bands.ScaleLabels[k]->x() + bands.ScaleLabels[k]->sizeHint().width(), 567);
  }
  for (QLabel* label : bands.findChildren<QLabel*>())
    EXPECT_LE(label->x() + (label->wordWrap() ? label->width() : label->sizeHint().width()),
              bands.width())
        << label->text().toStdString();
  EXPECT_EQ(bands.CBChannelSel->count(), 2);
  EXPECT_EQ(bands.CBChannelSel->currentText(), "L");
  EXPECT_EQ(bands.Button1->text(), "Close");
  EXPECT_FALSE(bands.CBChannelSel->accessibleName().isEmpty());
  EXPECT_FALSE(bands.BandBars[5]->accessibleName().isEmpty());
}

TEST_F(BandAnalyser, CloseHidesButKeepsTheFeed) {
  main.BandAnalyserOpen = 1;
  bands.show();
  QTest::mouseClick(bands.Button1, Qt::LeftButton);
  EXPECT_FALSE(bands.isVisible());
  EXPECT_EQ(main.BandAnalyserOpen.load(), 1);
}

}  // namespace

// While the window's paint waits for the frame's end, spectra are only kept, of the channel
// chosen when they came: the paint shows the newest.
TEST_F(BandAnalyser, KeepsOnlyTheNewestSpectrumWhileItsPaintWaits) {
  bool deferred = true;
  struct Hook {
    decltype(FramePacing::PaintDeferred) previous = FramePacing::PaintDeferred;
    ~Hook() { FramePacing::PaintDeferred = previous; }
  } hook;
  FramePacing::PaintDeferred = [&](const QWidget* w) { return deferred && w == &bands; };
  Spectrum first(44100, 2048), newest(44100, 2048);
  first.left[2] = 0.01;   // "40" at -40 dB
  newest.right[2] = 0.1;  // "40" at -20 dB in the right channel
  newest.left[2] = 1.0;
  Show(first);
  EXPECT_EQ(Bar(3), -1000);  // as built: nothing drawn yet
  bands.CBChannelSel->setCurrentIndex(1);
  Show(newest);
  bands.CBChannelSel->setCurrentIndex(0);
  QEvent due(FramePacing::FrameDue());
  QCoreApplication::sendEvent(&bands, &due);
  EXPECT_EQ(Bar(3), -200);
  // Not deferred: drawn at once, and the kept spectrum is gone.
  deferred = false;
  Show(first);
  EXPECT_EQ(Bar(3), -400);
  QCoreApplication::sendEvent(&bands, &due);
  EXPECT_EQ(Bar(3), -400);
}

// The "Spectrogram" window fed with blocks made here, as the worker hands them over, and the
// picture the window and the command line write.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QPaintEvent>
#include <QPushButton>
#include <QRandomGenerator>
#include <QScreen>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <vector>

#include "Dlgspectrogram.h"
#include "Spectrogramimage.h"

namespace {

constexpr double kQuietDb = -150;

struct Feed {
  int bins;
  double rate, length;
  int channels;
  std::vector<double> frequency, left, right;
  Feed(int n, double samplingRate, int numChannels = 1)
      : bins(n / 2), rate(samplingRate), length(n), channels(numChannels) {
    for (int k = 0; k < bins; ++k)
      frequency.push_back(k * (rate / length));
    left.assign(bins, kQuietDb);
    right.assign(bins, kQuietDb);
  }
  int Bin(double f) const { return static_cast<int>(std::lround(f * length / rate)); }
  double BinFrequency(double f) const { return frequency[Bin(f)]; }
  void Tone(std::vector<double>& levels, double f) {
    std::fill(levels.begin(), levels.end(), kQuietDb);
    levels[Bin(f)] = 0.0;
  }
  SpectrumBlock Block() const {
    SpectrumBlock b;
    b.Bins = bins;
    b.SamplingRate = rate;
    b.FFTLength = length;
    b.NumChannels = channels;
    b.Frequency = frequency.data();
    b.LevelL = left.data();
    b.LevelR = channels == 2 ? right.data() : nullptr;
    b.FramesRecorded = static_cast<int>(length);
    return b;
  }
};

const QRgb kLoud = SpectrogramColours()[255];
const QRgb kQuiet = SpectrogramColours()[0];

class SpectrogramWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    w.resize(700, 460);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    QCoreApplication::processEvents();
  }
  // The pixel x columns from the left and y rows from the top of the plot in a picture.
  static QRgb At(const QImage& picture, int x, int y) {
    const QRect plot = SpectrogramPlotRect(picture.size());
    return picture.pixel(plot.left() + x, plot.top() + y) | 0xff000000u;
  }
  int Row(double f) { return w.Core().RowMap().RowOf(f); }
  TFSpectrogram w;
};

}  // namespace

TEST(SpectrogramWindowState, IsCreatedHiddenAndReceivesOnlyWhileShown) {
  TFSpectrogram w;
  EXPECT_EQ(FSpectrogram, &w);
  EXPECT_EQ(w.windowTitle(), "Spectrogram");
  EXPECT_TRUE(w.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_FALSE(w.isVisible());
  EXPECT_FALSE(w.Receiving());
  Feed feed(1024, 44100);
  w.ShowSpectrum(feed.Block());  // a worker that did not ask is ignored
  EXPECT_EQ(w.Core().Blocks(), 0);

  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  EXPECT_TRUE(w.Receiving());
  w.ShowSpectrum(feed.Block());
  EXPECT_EQ(w.Core().Blocks(), 1);
  // Resizable, unlike the stored tool windows.
  EXPECT_NE(w.minimumSize(), w.maximumSize());

  QTest::mouseClick(w.BClose, Qt::LeftButton);
  EXPECT_FALSE(w.isVisible());
  EXPECT_FALSE(w.Receiving());
  w.ShowSpectrum(feed.Block());
  EXPECT_EQ(w.Core().Blocks(), 1);
  // Shown again, it goes on with the history it has.
  w.show();
  EXPECT_TRUE(w.Receiving());
  w.close();
  EXPECT_FALSE(w.Receiving());
}

TEST_F(SpectrogramWindow, AToneStepFrom1kTo5kLandsInItsRowsOnBothAxes) {
  Feed feed(2048, 48000);  // 23.4 blocks per second, 469 in the default 20 s
  for (int b = 0; b < 469; ++b) {
    feed.Tone(feed.left, b < 234 ? 1000 : 5000);
    w.ShowSpectrum(feed.Block());
  }
  const int width = w.Core().Width();
  ASSERT_GT(width, 300);
  // The main window's axis (log at start), then lin, then the window's own choice.
  for (int mode = 0; mode < 4; ++mode) {
    SCOPED_TRACE(mode);
    if (mode == 1) w.SetMainAxis(false);
    if (mode == 2) w.CFreqAxis->setCurrentIndex(2);  // "log" whatever the main window shows
    if (mode == 3) w.CFreqAxis->setCurrentIndex(1);  // "lin"
    const bool log = mode == 0 || mode == 2;
    EXPECT_EQ(w.Core().Scale(), log ? FrequencyScale::Logarithmic : FrequencyScale::Linear);
    const QImage picture = w.Picture();
    const int r1k = Row(feed.BinFrequency(1000)), r5k = Row(feed.BinFrequency(5000));
    ASSERT_GE(r1k, 0);
    ASSERT_GE(r5k, 0);
    for (int x : {5, width / 4, width / 2 - 5}) {
      EXPECT_EQ(At(picture, x, r1k), kLoud) << x;
      EXPECT_EQ(At(picture, x, r5k), kQuiet) << x;
    }
    for (int x : {width / 2 + 5, 3 * width / 4, width - 1}) {
      EXPECT_EQ(At(picture, x, r1k), kQuiet) << x;
      EXPECT_EQ(At(picture, x, r5k), kLoud) << x;
    }
  }
  // The log axis gives the octave 1k..2k as much room as 10k..20k; the linear one does not.
  w.CFreqAxis->setCurrentIndex(2);
  const int logSpan = Row(1000) - Row(2000);
  const int logTopSpan = Row(10000) - Row(20000);
  EXPECT_NEAR(logSpan, logTopSpan, 1);
  w.CFreqAxis->setCurrentIndex(1);
  EXPECT_GT(Row(10000) - Row(20000), 8 * (Row(1000) - Row(2000)));
}

TEST_F(SpectrogramWindow, LimitsFloorAndCeilingComeFromTheirSetters) {
  Feed feed(2048, 48000);
  feed.Tone(feed.left, 5000);
  feed.left[feed.Bin(1000)] = -50;
  for (int b = 0; b < 100; ++b)
    w.ShowSpectrum(feed.Block());
  w.SetFrequencyLimits(2000, 8000);
  EXPECT_EQ(w.Core().LowFrequency(), 2000.0);
  EXPECT_EQ(w.Core().HighFrequency(), 8000.0);
  EXPECT_EQ(Row(1000), -1);
  w.SetFrequencyLimits(10, 24000);
  const int r1k = Row(feed.BinFrequency(1000));
  const int x = w.Core().Width() - 2;
  // -50 dB between the defaults -120 and 0, clipped to the top colour with a ceiling of -60.
  EXPECT_EQ(At(w.Picture(), x, r1k), SpectrogramColours()[static_cast<int>(70.0 / 120 * 256)]);
  w.ECeiling->setValue(-60);
  EXPECT_EQ(w.Core().Colours().Ceiling(), -60.0);
  EXPECT_EQ(At(w.Picture(), x, r1k), kLoud);
  w.ECeiling->setValue(0);
  w.EFloor->setValue(-40);
  EXPECT_EQ(At(w.Picture(), x, r1k), kQuiet);
  // The floor cannot pass the ceiling.
  w.EFloor->setValue(10);
  EXPECT_LT(w.Core().Colours().Floor(), w.Core().Colours().Ceiling());
  EXPECT_EQ(w.EFloor->value(), -1);
  w.EHistory->setValue(200);
  EXPECT_EQ(w.Core().HistorySeconds(), 120.0);
  w.EHistory->setValue(1);
  EXPECT_EQ(w.Core().HistorySeconds(), 5.0);
}

TEST_F(SpectrogramWindow, At375BlocksASecondEveryBlockCountsAndPaintsComeOncePerTurn) {
  // 256 points at 96 kHz: 7500 blocks in 20 s, about 13 to a column. A burst one block long
  // must still show: a column shows the loudest of its blocks.
  Feed feed(256, 96000);
  int paints = 0;
  struct Counter : QObject {
    int* n;
    explicit Counter(int* count) : n(count) {}
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint) ++*n;
      return false;
    }
  } counter(&paints);
  w.Plot->installEventFilter(&counter);
  for (int b = 0; b < 7500; ++b) {
    feed.Tone(feed.left, b == 7000 ? 12000 : 3000);
    w.ShowSpectrum(feed.Block());
  }
  EXPECT_EQ(w.Core().Blocks(), 7500);
  QCoreApplication::processEvents();
  QCoreApplication::processEvents();
  EXPECT_LE(paints, 2);  // one paint for all 7500 blocks, not one each
  EXPECT_GE(paints, 1);
  const Spectrogram& s = w.Core();
  const QImage picture = w.Picture();
  const int burstX = static_cast<int>(std::floor(s.XOfSeconds(-500 * 256 / 96000.0)));
  const int r12k = Row(feed.BinFrequency(12000));
  int loud = 0;
  for (int x = burstX - 2; x <= burstX + 2; ++x)
    loud += At(picture, x, r12k) == kLoud;
  EXPECT_EQ(loud, 1);
  EXPECT_EQ(At(picture, 10, r12k), kQuiet);
  EXPECT_EQ(At(picture, 10, Row(feed.BinFrequency(3000))), kLoud);
}

TEST_F(SpectrogramWindow, BlocksHandedOverOneByOnePaintThePlotOncePerNewColumn) {
  Feed feed(256, 96000);  // about 12 blocks to a column
  struct Counter : QObject {
    int paints = 0;
    QRect last;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint) {
        ++paints;
        last = static_cast<QPaintEvent*>(e)->rect();
      }
      return false;
    }
  } counter;
  feed.Tone(feed.left, 3000);
  w.ShowSpectrum(feed.Block());
  QCoreApplication::processEvents();
  w.Plot->installEventFilter(&counter);
  Spectrogram& s = w.Core();
  int columns = 0;
  for (int b = 0; b < 240; ++b) {
    const int right = s.RightColumn();
    w.ShowSpectrum(feed.Block());
    columns += s.RightColumn() != right;
    QCoreApplication::processEvents();  // the worker waits for each hand-over in turn
  }
  ASSERT_GE(columns, 10);
  ASSERT_LE(columns, 40);
  EXPECT_GE(counter.paints, columns - 1);
  EXPECT_LE(counter.paints, columns + 1) << "not one paint per block";
  // The labels stay as they are; the plot moves and only its newest columns are painted.
  const QRect plot = SpectrogramPlotRect(w.Plot->size());
  EXPECT_TRUE(plot.contains(counter.last)) << "the labels stay as they are";
  EXPECT_EQ(counter.last.right(), plot.right());
  EXPECT_EQ(counter.last.height(), plot.height());
  EXPECT_LE(counter.last.width(), 3);

  // A block that only adds to the newest column is shown a little later, when no new column
  // came (the end of a run).
  int before = s.RightColumn();
  for (int guard = 0; guard < 20; ++guard) {  // the first block of a fresh column
    w.ShowSpectrum(feed.Block());
    if (s.RightColumn() != before) break;
  }
  QCoreApplication::processEvents();
  const int paints = counter.paints;
  before = s.RightColumn();
  feed.Tone(feed.left, 12000);
  w.ShowSpectrum(feed.Block());
  ASSERT_EQ(s.RightColumn(), before);
  QCoreApplication::processEvents();
  EXPECT_EQ(counter.paints, paints);
  QTest::qWait(150);
  EXPECT_EQ(counter.paints, paints + 1);
  const Spectrogram::Reading r = s.At(s.Width() - 1, Row(feed.BinFrequency(12000)));
  EXPECT_TRUE(r.hasLevel && r.level > -10);
}

TEST_F(SpectrogramWindow, PausingKeepsTheImageAndTheBlocksShowAsAGapAfterwards) {
  Feed feed(1024, 48000);  // 46.9 blocks per second
  feed.Tone(feed.left, 1000);
  for (int b = 0; b < 900; ++b)
    w.ShowSpectrum(feed.Block());
  const QImage before = w.Picture();
  QTest::mouseClick(w.BPause, Qt::LeftButton);
  EXPECT_TRUE(w.Paused());
  EXPECT_TRUE(w.Receiving());  // the analysis goes on
  feed.Tone(feed.left, 5000);
  for (int b = 0; b < 300; ++b)
    w.ShowSpectrum(feed.Block());
  EXPECT_EQ(w.BlocksWhilePaused(), 300);
  EXPECT_EQ(w.Picture(), before);

  QTest::mouseClick(w.BPause, Qt::LeftButton);
  EXPECT_FALSE(w.Paused());
  for (int b = 0; b < 10; ++b)
    w.ShowSpectrum(feed.Block());
  const QImage after = w.Picture();
  const int width = w.Core().Width();
  // 300 blocks of the 938 across the width are the pause, just left of the newest ten.
  const int gapX = width - static_cast<int>(width * 160.0 / 938);
  EXPECT_EQ(At(after, gapX, 5), kNoDataColour);
  EXPECT_EQ(At(after, width - 1, Row(feed.BinFrequency(5000))), kLoud);
  EXPECT_EQ(At(after, 5, Row(feed.BinFrequency(1000))), kLoud);
}

TEST_F(SpectrogramWindow, StereoStacksLAboveRAndTheChannelListPicksOne) {
  Feed feed(2048, 44100, 2);
  feed.Tone(feed.left, 1000);
  feed.Tone(feed.right, 5000);
  for (int b = 0; b < 50; ++b)
    w.ShowSpectrum(feed.Block());
  Spectrogram& s = w.Core();
  ASSERT_EQ(s.Plots(), 2);
  const int x = s.Width() - 1;
  QImage picture = w.Picture();
  const int r1k = Row(feed.BinFrequency(1000)), r5k = Row(feed.BinFrequency(5000));
  EXPECT_EQ(At(picture, x, r1k), kLoud);
  EXPECT_EQ(At(picture, x, r5k), kQuiet);
  EXPECT_EQ(At(picture, x, s.PlotTop(1) + r5k), kLoud);
  EXPECT_EQ(At(picture, x, s.PlotTop(1) + r1k), kQuiet);

  w.CChannel->setCurrentIndex(1);  // "R"
  ASSERT_EQ(s.Plots(), 1);
  picture = w.Picture();
  EXPECT_EQ(At(picture, x, Row(feed.BinFrequency(5000))), kLoud);
  EXPECT_EQ(At(picture, x, Row(feed.BinFrequency(1000))), kQuiet);
}

TEST_F(SpectrogramWindow, ResizingKeepsTheHistoryRedrawnToTheNewSize) {
  Feed feed(2048, 48000);  // 469 blocks in the default 20 s
  for (int b = 0; b < 469; ++b) {
    feed.Tone(feed.left, b < 234 ? 1000 : 5000);
    w.ShowSpectrum(feed.Block());
  }
  const int64_t blocks = w.Core().Blocks();
  for (QSize size : {QSize(1000, 700), QSize(420, 300), QSize(700, 460)}) {
    SCOPED_TRACE(size.width());
    w.resize(size);
    QCoreApplication::processEvents();
    const Spectrogram& s = w.Core();
    const QRect plot = SpectrogramPlotRect(w.Plot->size());
    ASSERT_EQ(s.Width(), plot.width());
    ASSERT_EQ(s.Height(), plot.height());
    EXPECT_EQ(s.Blocks(), blocks);
    const QImage picture = w.Picture();
    EXPECT_EQ(picture.size(), w.Plot->size());
    const int width = s.Width(), r1k = Row(feed.BinFrequency(1000)),
              r5k = Row(feed.BinFrequency(5000));
    EXPECT_EQ(At(picture, 3, r1k), kLoud);
    EXPECT_EQ(At(picture, 3, r5k), kQuiet);
    EXPECT_EQ(At(picture, width / 2 - 3, r1k), kLoud);
    EXPECT_EQ(At(picture, width / 2 + 3, r5k), kLoud);
    EXPECT_EQ(At(picture, width - 1, r5k), kLoud);
    EXPECT_EQ(At(picture, width - 1, r1k), kQuiet);
  }
}

TEST_F(SpectrogramWindow, TheCursorReadsTimeFrequencyAndLevel) {
  Feed feed(2048, 48000);
  feed.Tone(feed.left, 1000);
  feed.left[feed.Bin(1000)] = -12.5;
  for (int b = 0; b < 100; ++b)
    w.ShowSpectrum(feed.Block());
  w.Core().Render();
  const int row = Row(feed.BinFrequency(1000));
  const QRect plot = SpectrogramPlotRect(w.Plot->size());
  QTest::mouseMove(w.Plot, plot.topLeft() + QPoint(w.Core().Width() - 1, row));
  QCoreApplication::processEvents();
  const QString text = w.LCursor->text();
  EXPECT_TRUE(text.contains(QLocale().toString(-12.5, 'f', 1) + " dB")) << text.toStdString();
  EXPECT_TRUE(text.contains(" Hz")) << text.toStdString();
  const Spectrogram::Reading r = w.Core().At(w.Core().Width() - 1, row);
  EXPECT_NEAR(r.frequency, 1000, 0.05 * 1000);
  EXPECT_LT(r.seconds, 0);
  EXPECT_GT(r.seconds, -0.1);
  w.ShowCursor(-5, row);
  EXPECT_EQ(w.LCursor->text(), "----");
}

TEST_F(SpectrogramWindow, SaveImageWritesThePictureWithItsAxesAsPng) {
  Feed feed(2048, 48000);
  feed.Tone(feed.left, 1000);
  for (int b = 0; b < 200; ++b)
    w.ShowSpectrum(feed.Block());
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath("shot");
  w.AskFileName = [&](QWidget*) { return path; };
  QTest::mouseClick(w.BSaveImage, Qt::LeftButton);
  QImage png(path + ".png");
  ASSERT_FALSE(png.isNull());
  const Spectrogram& s = w.Core();
  EXPECT_EQ(png.size(), SpectrogramPictureSize(s.Width(), s.Height()));
  EXPECT_EQ(png.size(), w.Plot->size());
  const int row = Row(feed.BinFrequency(1000));
  EXPECT_EQ(At(png, s.Width() - 1, row), kLoud);
  EXPECT_EQ(At(png, s.Width() - 1, row + 10), kQuiet);
  // The labels are drawn: dark text in the left margin and under the plot.
  const QRect plot = SpectrogramPlotRect(png.size());
  auto darkPixels = [&](const QRect& area) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
      for (int x = area.left(); x <= area.right(); ++x)
        n += qGray(png.pixel(x, y)) < 100;
    return n;
  };
  EXPECT_GT(darkPixels(QRect(0, plot.top(), plot.left() - 6, plot.height())), 30);
  EXPECT_GT(darkPixels(QRect(plot.left(), plot.bottom() + 6, plot.width(), 24)), 30);

  QString error;
  EXPECT_FALSE(w.SaveImage(dir.filePath("missing/dir/x.png"), &error));
  EXPECT_FALSE(error.isEmpty());
}

// The plot as the window shows it (moved and painted in strips) against the same core's picture
// drawn whole: after any run of blocks and changes they must be the same pixels.
class SpectrogramScrolling : public SpectrogramWindow {
 protected:
  QImage Shown() {
    const QRect plot = SpectrogramPlotRect(w.Plot->size()).translated(w.Plot->mapTo(&w, QPoint()));
    return w.screen()
        ->grabWindow(w.winId(), plot.x(), plot.y(), plot.width(), plot.height())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
  }
  QImage Whole() {
    const QImage picture = w.Picture();
    return picture.copy(SpectrogramPlotRect(picture.size())).convertToFormat(QImage::Format_RGB32);
  }
  // "" when the same, else where the first difference is. The newest column's later blocks
  // show when the next column comes or a little later: that is waited for.
  // The newest column's later blocks show after a short settle timer: on a loaded machine it
  // may fire late, so the comparison is tried again for a while before it counts as a failure.
  std::string Compare() {
    std::string differs;
    for (int attempt = 0; attempt < 25; ++attempt) {
      QTest::qWait(80);
      differs = CompareOnce();
      if (differs.empty()) break;
    }
    return differs;
  }
  std::string CompareOnce() {
    const QImage shown = Shown(), whole = Whole();
    if (shown.size() != whole.size()) return "sizes differ";
    for (int x = 0; x < shown.width(); ++x)
      for (int y = 0; y < shown.height(); ++y)
        if (shown.pixel(x, y) != whole.pixel(x, y))
          return "column " + std::to_string(x) + " of " + std::to_string(shown.width()) + ", row " +
                 std::to_string(y);
    return "";
  }
  // Blocks whose loud bin wanders and whose level changes within a column, so that a column
  // painted too early or moved by the wrong amount shows.
  void Hand(Feed& feed, int blocks, int perTurn) {
    for (int b = 0; b < blocks; ++b) {
      for (std::vector<double>* levels : {&feed.left, &feed.right}) {
        std::fill(levels->begin(), levels->end(), kQuietDb);
        (*levels)[1 + random.bounded(feed.bins - 1)] = -random.bounded(100);
      }
      w.ShowSpectrum(feed.Block());
      if ((b + 1) % perTurn == 0) QCoreApplication::processEvents();
    }
  }
  // Counts the plot's paints narrower than the plot area: the moved path was taken.
  struct Strips : QObject {
    QWidget* plot;
    int narrow = 0;
    explicit Strips(QWidget* p) : plot(p) { plot->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint &&
          static_cast<QPaintEvent*>(e)->rect().width() < SpectrogramPlotRect(plot->size()).width())
        ++narrow;
      return false;
    }
  };
  QRandomGenerator random{18};
};

TEST_F(SpectrogramScrolling, BlocksOneByOneOrManyAPaintShowWhatAWholeRedrawShows) {
  Strips strips(w.Plot);
  Feed mono(256, 96000);  // about 12 blocks to a column
  Hand(mono, 1, 1);
  for (int turn = 0; turn < 12; ++turn) {
    SCOPED_TRACE(turn);
    Hand(mono, 125, 1);
    ASSERT_EQ(Compare(), "");
  }
  EXPECT_GT(strips.narrow, 100);
  // Several columns between two paints, and a column that only the late timer shows.
  for (int perTurn : {7, 40, 300}) {
    SCOPED_TRACE(perTurn);
    Hand(mono, 900, perTurn);
    ASSERT_EQ(Compare(), "");
  }
  Hand(mono, 1, 1);
  QTest::qWait(120);
  ASSERT_EQ(Compare(), "");

  Feed stereo(1024, 48000, 2);  // a new run: both plots drawn anew, then moved together
  Hand(stereo, 300, 1);
  ASSERT_EQ(w.Core().Plots(), 2);
  ASSERT_EQ(Compare(), "");
  Hand(stereo, 200, 3);
  ASSERT_EQ(Compare(), "");
}

TEST_F(SpectrogramScrolling, BlocksWiderThanAColumnMoveThePictureByTheirWidth) {
  w.EHistory->setValue(5);  // 16384 points at 44.1 kHz: 13.5 blocks across the width
  Strips strips(w.Plot);
  Feed feed(16384, 44100);
  Hand(feed, 1, 1);
  for (int b = 0; b < 30; ++b) {
    SCOPED_TRACE(b);
    Hand(feed, 1, 1);
    ASSERT_EQ(Compare(), "");
  }
  EXPECT_GT(strips.narrow, 20);
  Hand(feed, 3, 3);  // three blocks, then one paint
  ASSERT_EQ(Compare(), "");
}

TEST_F(SpectrogramScrolling, PauseResizeLevelsAndANewFormatRedrawWhatTheyChange) {
  Feed feed(512, 44100, 2);
  Hand(feed, 800, 1);
  QTest::mouseClick(w.BPause, Qt::LeftButton);
  Hand(feed, 300, 1);
  ASSERT_EQ(Compare(), "");
  QTest::mouseClick(w.BPause, Qt::LeftButton);  // the paused blocks come in as a gap
  Hand(feed, 40, 1);
  ASSERT_EQ(Compare(), "");

  w.resize(900, 500);
  Hand(feed, 5, 1);
  ASSERT_EQ(Compare(), "");
  Hand(feed, 200, 1);
  ASSERT_EQ(Compare(), "");

  w.ECeiling->setValue(-30);
  Hand(feed, 20, 1);
  ASSERT_EQ(Compare(), "");
  w.CChannel->setCurrentIndex(0);  // "L": one plot
  Hand(feed, 20, 1);
  ASSERT_EQ(Compare(), "");
  w.CFreqAxis->setCurrentIndex(1);  // "lin"
  Hand(feed, 20, 1);
  ASSERT_EQ(Compare(), "");

  Feed faster(512, 96000, 2);  // another rate: a new history
  Hand(faster, 30, 1);
  ASSERT_EQ(Compare(), "");
  Hand(faster, 400, 2);
  ASSERT_EQ(Compare(), "");
}

TEST(SpectrogramPicture, TheCommandLineRendersARunOfColumnsWithAxes) {
  SpectrogramColumns columns;
  columns.Bins = 512;
  columns.SamplingRate = 44100;
  columns.FFTLength = 1024;
  for (int b = 0; b < 300; ++b) {
    std::vector<double> levels(512, kQuietDb);
    levels[b < 150 ? 23 : 116] = 0;  // 990.5 Hz, then 4996 Hz
    columns.Left.push_back(levels);
  }
  SpectrogramStyle style;
  style.PlotHeight = 256;
  const QImage image = RenderSpectrogram(columns, style);
  ASSERT_EQ(image.size(), SpectrogramPictureSize(300, 256));
  // The same row map a core of that height builds.
  std::vector<double> f(512);
  for (int k = 0; k < 512; ++k)
    f[k] = k * 44100.0 / 1024;
  SpectrogramRowMap map;
  map.Build(f.data(), 512, 256, FrequencyScale::Logarithmic, 10, 22050);
  const QRect plot = SpectrogramPlotRect(image.size());
  auto at = [&](int x, double freq) {
    return image.pixel(plot.left() + x, plot.top() + map.RowOf(freq)) | 0xff000000u;
  };
  EXPECT_EQ(at(10, f[23]), kLoud);
  EXPECT_EQ(at(10, f[116]), kQuiet);
  EXPECT_EQ(at(290, f[116]), kLoud);
  EXPECT_EQ(at(290, f[23]), kQuiet);

  QTemporaryDir dir;
  const QString path = dir.filePath("cli.png");
  ASSERT_TRUE(WriteSpectrogramPng(image, path));
  EXPECT_EQ(QImage(path).convertToFormat(QImage::Format_RGB32),
            image.convertToFormat(QImage::Format_RGB32));
}

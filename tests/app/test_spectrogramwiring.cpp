// The "Spectrogram" window inside the program: created at start-up, reached from the chart's
// menu, fed by the worker only while it is shown, and following the main window's axis.
#include <QAction>
#include <QElapsedTimer>
#include <QMenu>
#include <QRadioButton>
#include <QTest>
#include <QToolButton>
#include <algorithm>

#include "AlsaTestDevice.h"
#include "Calcspectrumthread.h"
#include "Dlgspectrogram.h"
#include "MainwindowFixture.h"

namespace {

QAction* MenuEntry(TChart* chart, const QString& text) {
  for (QAction* a : chart->ChartMenu()->actions())
    if (a->text() == text) return a;
  return nullptr;
}

// Runs the event loop until the worker has shown `blocks` more blocks (10 s at most).
void RunBlocks(TCalcSpectrumThread* t, int blocks) {
  const int until = t->BlocksShown() + blocks;
  QElapsedTimer clock;
  clock.start();
  while (t->BlocksShown() < until && clock.elapsed() < 10000)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

}  // namespace

TEST_F(MainwindowTest, SpectrogramIsCreatedHiddenAndCtrlGOpensItFromTheChartMenu) {
  ASSERT_NE(FSpectrogram, nullptr);
  EXPECT_FALSE(FSpectrogram->isVisible());
  EXPECT_FALSE(FSpectrogram->Receiving());
  EXPECT_EQ(std::count(w->SpectrumConsumers.begin(), w->SpectrumConsumers.end(), FSpectrogram), 1);
  EXPECT_TRUE(FSpectrogram->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_FALSE(FSpectrogram->isModal());

  QAction* entry = MenuEntry(w->Chart1, "Spectrogram...");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->shortcut(), QKeySequence("Ctrl+G"));
  EXPECT_TRUE(w->Chart1->MenuActionsWithoutShortcut().empty());
  EXPECT_TRUE(w->Chart1->ChartMenuButton()->isVisibleTo(w->Chart1));

  w->show();
  QApplication::setActiveWindow(w);
  ASSERT_TRUE(QTest::qWaitForWindowActive(w));
  w->BStop->setFocus();  // the shortcut works wherever the focus is in the main window
  QTest::keyClick(w->BStop, Qt::Key_G, Qt::ControlModifier);
  EXPECT_TRUE(FSpectrogram->isVisible());
  EXPECT_TRUE(FSpectrogram->Receiving());
  QTest::mouseClick(FSpectrogram->BClose, Qt::LeftButton);
  EXPECT_FALSE(FSpectrogram->isVisible());
  EXPECT_FALSE(FSpectrogram->Receiving());
  // The menu entry itself opens it again.
  entry->trigger();
  EXPECT_TRUE(FSpectrogram->isVisible());
  FSpectrogram->hide();
}

TEST_F(MainwindowTest, SpectrogramFollowsTheMainAxisAndLimitsUnlessSetInTheWindow) {
  Spectrogram& s = FSpectrogram->Core();
  EXPECT_EQ(s.Scale(), FrequencyScale::Logarithmic);         // "log" is the main window's default
  QTest::mouseClick(w->CFreqAxis->Item(0), Qt::LeftButton);  // "lin"
  ASSERT_EQ(w->CFreqAxis->ItemIndex(), 0);
  EXPECT_EQ(s.Scale(), FrequencyScale::Linear);
  QTest::mouseClick(w->CFreqAxis->Item(1), Qt::LeftButton);
  EXPECT_EQ(s.Scale(), FrequencyScale::Logarithmic);
  // The window's own choice wins over the main window's until it is "as main" again.
  FSpectrogram->CFreqAxis->setCurrentIndex(1);  // "lin"
  QTest::mouseClick(w->CFreqAxis->Item(1), Qt::LeftButton);
  EXPECT_EQ(s.Scale(), FrequencyScale::Linear);
  FSpectrogram->CFreqAxis->setCurrentIndex(0);
  EXPECT_EQ(s.Scale(), FrequencyScale::Logarithmic);

  // Limits typed in the options reach it with the rescale that applies them.
  w->SetAxisLimits(100, 8000, -100, 0);
  w->ScaleAxes();
  s.RowMap();
  EXPECT_EQ(s.LowFrequency(), 100.0);
  EXPECT_EQ(s.HighFrequency(), 8000.0);
  w->SetAxisLimits(10, 22050, -100, 0);
  w->ScaleAxes();
  s.RowMap();
  EXPECT_EQ(s.LowFrequency(), 10.0);
  EXPECT_EQ(s.HighFrequency(), 22050.0);
}

// 256 points at 16 kHz (62.5 blocks/s) from a paced device that loops one second of 1 kHz and
// one second of 5 kHz.
TEST_F(MainwindowTest, SpectrogramIsFedOnlyWhileShownAndAToneStepLandsInItsRows) {
  tvtest::TempDir dir;
  const std::string loop = dir.File("loop.raw");
  std::vector<int16_t> samples = tvtest::MakeTone(16000, 1, 16000, {1000.0}, {8000.0});
  const std::vector<int16_t> high = tvtest::MakeTone(16000, 1, 16000, {5000.0}, {8000.0});
  samples.insert(samples.end(), high.begin(), high.end());
  tvtest::WriteRawFile(loop, samples);
  tvtest::UsePacedLoopDevice(dir.Path(), loop, 1);
  w->CFFTLength->setCurrentIndex(0);     // 256
  w->CSamplingRate->setCurrentIndex(4);  // 16000
  w->show();
  emit w->BStart->clicked();
  TCalcSpectrumThread* t = w->CalcThread;
  ASSERT_NE(t, nullptr);
  Spectrogram& s = FSpectrogram->Core();

  RunBlocks(t, 10);
  ASSERT_GE(t->BlocksShown(), 10);
  EXPECT_EQ(s.Blocks(), 0) << "hidden, it is skipped";

  FSpectrogram->show();
  const int shownFrom = t->BlocksShown();
  RunBlocks(t, 190);  // about three seconds: at least one step each way
  FSpectrogram->hide();
  const int shownTo = t->BlocksShown();
  RunBlocks(t, 10);
  emit w->BStop->clicked();
  ASSERT_TRUE(t->Shutdown(3000));
  ASSERT_GE(shownTo - shownFrom, 150);
  EXPECT_EQ(s.Blocks(), shownTo - shownFrom) << "every block shown while open, none after";

  for (int axis : {1, 0}) {  // the main window's "log", then "lin"
    SCOPED_TRACE(axis ? "log" : "lin");
    QTest::mouseClick(w->CFreqAxis->Item(axis), Qt::LeftButton);
    ASSERT_EQ(s.Scale(), axis ? FrequencyScale::Logarithmic : FrequencyScale::Linear);
    const SpectrogramRowMap& map = s.RowMap();
    const int r1k = map.RowOf(1000), r5k = map.RowOf(5000), r3k = map.RowOf(3000);
    ASSERT_GE(r1k, 0);
    ASSERT_GE(r5k, 0);
    ASSERT_LT(r5k, r1k) << "higher frequencies higher up";
    // A block across the step holds the jump between the tones, which spreads over every
    // row: its column is neither tone alone. All others show one tone and nothing else.
    int low = 0, highCount = 0, across = 0, steps = 0, last = 0;
    for (int x = 0; x < s.Width(); ++x) {
      const Spectrogram::Reading a = s.At(x, r1k), b = s.At(x, r5k), c = s.At(x, r3k);
      if (!a.hasLevel) continue;
      ASSERT_TRUE(b.hasLevel && c.hasLevel);
      EXPECT_TRUE(a.level > -40 || b.level > -40) << "a tone in every column, column " << x;
      const bool only1 = a.level > -40 && b.level < -70 && c.level < -70;
      const bool only5 = b.level > -40 && a.level < -70 && c.level < -70;
      if (!only1 && !only5) {
        ++across;
        continue;
      }
      const int now = only1 ? 1 : 5;
      (only1 ? low : highCount)++;
      if (last != 0 && now != last) ++steps;
      last = now;
    }
    EXPECT_GE(low, 20);
    EXPECT_GE(highCount, 20);
    EXPECT_GE(steps, 1);
    EXPECT_LE(across, 2 * steps + 2);
  }
  w->DeleteThread(t);
}

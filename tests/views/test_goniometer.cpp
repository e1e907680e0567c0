#include <gtest/gtest.h>

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <cmath>
#include <numbers>
#include <vector>

#include "Badinputs.h"
#include "Chart.h"
#include "Dlggoniometer.h"
#include "Dlgoptions.h"
#include "Framepacing.h"
#include "Levelbar.h"
#include "Mainwindowtonvista.h"

namespace {

using Block = std::vector<double>;

Block Constant(int n, double v) {
  return Block(n, v);
}
Block Sine(int n, double amplitude, int cycles) {
  Block b(n);
  for (int i = 0; i < n; ++i)
    b[i] = amplitude * std::sin(2 * std::numbers::pi * cycles * i / n);
  return b;
}
Block Square(int n) {
  Block b(n);
  for (int i = 0; i < n; ++i)
    b[i] = (i / 16) % 2 ? -32768.0 : 32767.0;
  return b;
}
Block Ramp(int n) {
  Block b(n);
  for (int i = 0; i < n; ++i)
    b[i] = (i % 65536) - 32768.0;
  return b;
}

class Goniometer : public ::testing::Test {
 protected:
  void SetUp() override {
    SetErrorSink([this](QWidget*, const QString& m) { messages.push_back(m); });
  }
  void TearDown() override { SetErrorSink({}); }

  void Show(const Block& left, const Block& right) {
    scope.ShowBlock(left.data(), right.data(), static_cast<int>(left.size()));
  }
  void Show(const Block& both) { Show(both, both); }
  void Correct(const QString& text) {
    scope.ELevelMeterCorrFactor->setText(text);
    QTest::mouseClick(scope.BSetLevelMeterCorrFactor, Qt::LeftButton);
  }
  QString Left() const { return scope.LLevelChan1->text(); }
  QString Right() const { return scope.LLevelChan2->text(); }

  TMainwindow main;
  TFGoniometer scope;
  // The main window follows what the window reports, as at start-up.
  const bool connected = (main.ConnectWindows(), true);
  std::vector<QString> messages;
};

TEST_F(Goniometer, DecimatesToAtMost512Points) {
  for (auto [n, points, step] : {std::tuple{256, 256, 1}, {1024, 512, 2}, {32768, 512, 64}}) {
    const Block left = Ramp(n);
    const Block right = Constant(n, 16384.0);
    Show(left, right);
    ASSERT_EQ(scope.Series1->PointCount(), points) << n;
    EXPECT_EQ(scope.ScopeStep, step);
    // Point k is sample k * step, scaled so that full scale reaches the axis limit.
    const int k = points - 1;
    EXPECT_DOUBLE_EQ(scope.Series1->XValues()[k], left[k * step] / 32768.0);
    EXPECT_DOUBLE_EQ(scope.Series1->YValues()[k], 0.5);
    EXPECT_EQ(scope.Series1->Colours()[k], clBlue);
  }
}

TEST_F(Goniometer, OddLengthsStayWithin512PointsAndEmptyBlocksAreIgnored) {
  Show(Constant(700, 1000.0));
  EXPECT_EQ(scope.Series1->PointCount(), 350);
  Show(Constant(300, 1000.0));
  EXPECT_EQ(scope.Series1->PointCount(), 300);
  const QString before = Left();
  scope.ShowBlock(nullptr, nullptr, 256);
  Show(Block{});
  EXPECT_EQ(scope.Series1->PointCount(), 300);
  EXPECT_EQ(Left(), before);
}

TEST_F(Goniometer, MonoOnTheDiagonalAntiPhaseOnTheOther) {
  const Block s = Sine(2048, 20000.0, 7);
  Show(s);
  ASSERT_EQ(scope.Series1->PointCount(), 512);
  for (int i = 0; i < 512; ++i)
    ASSERT_EQ(scope.Series1->XValues()[i], scope.Series1->YValues()[i]) << i;
  EXPECT_EQ(Left(), Right());
  EXPECT_EQ(scope.PLevelMeter1->Position(), scope.PLevelMeter2->Position());

  Block inverted(s.size());
  for (size_t i = 0; i < s.size(); ++i)
    inverted[i] = -s[i];
  Show(s, inverted);
  for (int i = 0; i < 512; ++i)
    ASSERT_EQ(scope.Series1->YValues()[i], -scope.Series1->XValues()[i]) << i;
}

TEST_F(Goniometer, ScopeFactorScalesTheNextBlock) {
  scope.TFactor->setValue(0);
  EXPECT_EQ(scope.ScopeFactor, 0.25);
  EXPECT_EQ(scope.LFactor->text(), "x 0.25");
  Show(Constant(256, -32768.0));
  EXPECT_EQ(scope.Series1->XValues()[0], -0.25);
  scope.TFactor->setValue(6);
  EXPECT_EQ(scope.LFactor->text(), "x 1.75");
  {
    ScopedLocale german(TestLocale::German);
    scope.TFactor->setValue(3);
    EXPECT_EQ(scope.LFactor->text(), "x 1");
    scope.TFactor->setValue(1);
    EXPECT_EQ(scope.LFactor->text(), "x 0,5");
  }
}

TEST_F(Goniometer, PeakOfMinus32768ReadsZeroDb) {
  Block b = Sine(1024, 1000.0, 3);
  b[100] = -32768.0;
  Show(b);
  EXPECT_EQ(Left(), "0.0");
  EXPECT_EQ(scope.PLevelMeter1->Position(), 0);
}

TEST_F(Goniometer, SquareAndSineInBothModes) {
  Show(Square(4096));
  EXPECT_EQ(Left(), "0.0");
  scope.CLevelMeterMode->setCurrentIndex(1);
  Show(Square(4096));
  EXPECT_EQ(Left(), "-0.0");  // -0.0001 dB: the positive half is one step short
  EXPECT_EQ(scope.PLevelMeter1->Position(), 0);

  scope.CLevelMeterMode->setCurrentIndex(0);
  Show(Sine(4096, 32767.0, 16));
  EXPECT_NEAR(scope.PLevelMeter1->Position(), 0, 1);
  scope.CLevelMeterMode->setCurrentIndex(1);
  Show(Sine(4096, 32767.0, 16));
  EXPECT_EQ(Left(), "-3.0");
  EXPECT_EQ(scope.PLevelMeter1->Position(), -30);
}

TEST_F(Goniometer, CorrectionSixOnMinusTwentyReadsMinusFourteen) {
  Correct("6");
  EXPECT_EQ(scope.LevelCorrection, 6.0);
  EXPECT_EQ(scope.LLevelMeterCorrFactor->text(), "6.0");
  Block b = Constant(512, 0.0);
  b[7] = 3276.8;  // a tenth of full scale: -20.0 dB
  Show(b);
  EXPECT_EQ(Left(), "-14.0");
  EXPECT_EQ(scope.PLevelMeter1->Position(), -140);
}

TEST_F(Goniometer, BarPositionsTruncateTowardZero) {
  Show(Constant(256, 32768.0 * std::pow(10.0, -0.04 / 20)));
  EXPECT_EQ(Left(), "-0.0");
  EXPECT_EQ(scope.PLevelMeter1->Position(), 0);
  EXPECT_EQ(scope.PLevelMeter1->FilledHeight(), scope.PLevelMeter1->height());

  Show(Constant(256, 32768.0 * std::pow(10.0, -12.37 / 20)));
  EXPECT_EQ(scope.PLevelMeter1->Position(), -123);
}

TEST_F(Goniometer, OutOfRangeLevelsShowFullOrEmptyBarsAndTheExactReading) {
  Correct("10");
  Show(Constant(256, 32767.0));
  EXPECT_EQ(Left(), "10.0");
  EXPECT_EQ(scope.PLevelMeter1->FilledHeight(), scope.PLevelMeter1->height());
  Correct("-150");
  Show(Constant(256, 32767.0));
  EXPECT_EQ(Left(), "-150.0");
  EXPECT_EQ(scope.PLevelMeter1->FilledHeight(), 0);
}

TEST_F(Goniometer, SilenceReadsMinusInfinityWithTheBarAtItsMinimum) {
  for (int mode : {0, 1}) {
    scope.CLevelMeterMode->setCurrentIndex(mode);
    Show(Sine(1024, 10000.0, 2));
    Show(Constant(1024, 0.0));
    EXPECT_EQ(Left(), "-inf") << mode;
    EXPECT_EQ(Right(), "-inf") << mode;
    EXPECT_EQ(scope.PLevelMeter1->Position(), scope.PLevelMeter1->Minimum());
    EXPECT_EQ(scope.PLevelMeter1->FilledHeight(), 0);
    EXPECT_FALSE(Left().contains("nan", Qt::CaseInsensitive));
  }
}

TEST_F(Goniometer, ScaleStartsWithItsStoredTextsThenFollowsTheRange) {
  EXPECT_EQ(scope.LLevelMeter[0]->text(), "0,0");
  EXPECT_EQ(scope.LLevelMeter[1]->text(), "-12,5");
  EXPECT_EQ(scope.LLevelMeter[8]->text(), "-100");
  EXPECT_EQ(scope.PLevelMeter1->Minimum(), -1000);
  EXPECT_EQ(scope.PLevelMeter1->Maximum(), 0);
  EXPECT_EQ(scope.PLevelMeter1->Position(), -1000);

  scope.CLevelMeterMax->setCurrentIndex(scope.CLevelMeterMax->findText("-20"));
  const char* expected[9] = {"-20.0", "-30.0", "-40.0", "-50.0", "-60.0",
                             "-70.0", "-80.0", "-90.0", "-100.0"};
  for (int k = 0; k < 9; ++k)
    EXPECT_EQ(scope.LLevelMeter[k]->text(), expected[k]) << k;
  for (TLevelBar* bar : {scope.PLevelMeter1, scope.PLevelMeter2}) {
    EXPECT_EQ(bar->Minimum(), -1000);
    EXPECT_EQ(bar->Maximum(), -200);
  }
  ScopedLocale german(TestLocale::German);
  scope.CLevelMeterMin->setCurrentIndex(scope.CLevelMeterMin->findText("-60"));
  EXPECT_EQ(scope.LLevelMeter[1]->text(), "-25,0");
  EXPECT_EQ(scope.PLevelMeter2->Minimum(), -600);
}

TEST_F(Goniometer, StartingWithMinimumFiftyLeavesTheBarsEmpty) {
  scope.CLevelMeterMin->setCurrentIndex(scope.CLevelMeterMin->findText("-50"));
  Show(Constant(256, 20000.0));
  scope.ResetDisplay();
  for (TLevelBar* bar : {scope.PLevelMeter1, scope.PLevelMeter2}) {
    EXPECT_EQ(bar->Minimum(), -500);
    EXPECT_EQ(bar->Position(), -1000);
    EXPECT_EQ(bar->FilledHeight(), 0);
  }
  EXPECT_EQ(Left(), "----");
  EXPECT_EQ(Right(), "----");
  EXPECT_EQ(scope.Series1->PointCount(), 0);
}

TEST_F(Goniometer, ReadOutsUseTheUsersDecimalSeparator) {
  ScopedLocale german(TestLocale::German);
  Show(Constant(256, 16384.0));
  EXPECT_EQ(Left(), "-6,0");
  Correct("1,5");
  EXPECT_EQ(scope.LevelCorrection, 1.5);
  EXPECT_EQ(scope.LLevelMeterCorrFactor->text(), "1,5");
}

TEST_F(Goniometer, ReadOutsScaleAndCorrectionPrintOneDecimalWithoutGrouping) {
  for (TestLocale locale : {TestLocale::C, TestLocale::German}) {
    ScopedLocale scoped(locale);
    SCOPED_TRACE(LocaleName(locale));
    const bool de = locale == TestLocale::German;
    Correct(de ? "1500,25" : "1500.25");
    EXPECT_EQ(scope.LLevelMeterCorrFactor->text(), de ? "1500,3" : "1500.3");
    Show(Constant(256, 16384.0));
    // -6.0206 + 1500.25
    EXPECT_EQ(Left(), de ? "1494,2" : "1494.2");
    EXPECT_EQ(Right(), Left());
    Correct("-2000");
    Show(Constant(256, 16384.0));
    EXPECT_EQ(Left(), de ? "-2006,0" : "-2006.0");
    Correct("0");
  }
}

TEST_F(Goniometer, PanningStaysAtTheChartDefaultAndZoomIsOff) {
  EXPECT_EQ(scope.Chart1->AllowPanning(), TChart().AllowPanning());
  EXPECT_EQ(scope.Chart1->AllowPanning(), pmBoth);
  EXPECT_FALSE(scope.Chart1->AllowZoom());
}

TEST_F(Goniometer, BadCorrectionsChangeNothing) {
  Correct("2");
  for (TestLocale locale : {TestLocale::C, TestLocale::German}) {
    ScopedLocale scoped(locale);
    for (const BadInput& in : BadInputs()) {
      SCOPED_TRACE(testing::Message() << LocaleName(locale) << " / " << in.what);
      scope.LevelCorrection = 2.0;
      scope.LLevelMeterCorrFactor->setText("2.0");
      messages.clear();
      Correct(in.text);
      if (FloatBad(in, locale)) {
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_TRUE(messages[0].endsWith("' is not a valid floating point value"));
        if (in.text.size() <= 40 && !in.text.contains(QChar(0))) {
          EXPECT_EQ(messages[0], "'" + in.text + "' is not a valid floating point value");
        }
        EXPECT_EQ(scope.LevelCorrection, 2.0);
        EXPECT_EQ(scope.LLevelMeterCorrFactor->text(), "2.0");
      } else {
        EXPECT_TRUE(messages.empty());
        EXPECT_EQ(scope.LevelCorrection, Value(in, locale));
      }
    }
  }
}

TEST_F(Goniometer, CloseButtonStopsTheFeedTheCloseBoxDoesNot) {
  main.GoniometerOpen = 1;
  scope.show();
  scope.close();
  EXPECT_FALSE(scope.isVisible());
  EXPECT_EQ(main.GoniometerOpen.load(), 1);

  scope.show();
  QTest::mouseClick(scope.BClose, Qt::LeftButton);
  EXPECT_FALSE(scope.isVisible());
  EXPECT_EQ(main.GoniometerOpen.load(), 0);
  EXPECT_EQ(main.focusWidget(), main.BStop);
}

TEST_F(Goniometer, SetScopeAxesFixesBothAxes) {
  scope.Chart1->BottomAxis().SetRange(-5, 7);
  scope.SetScopeAxes();
  for (const TChartAxis* axis : {&scope.Chart1->BottomAxis(), &scope.Chart1->LeftAxis()}) {
    EXPECT_EQ(axis->Minimum(), -1.0);
    EXPECT_EQ(axis->Maximum(), 1.0);
    EXPECT_EQ(axis->Increment(), 0.5);
    EXPECT_FALSE(axis->Logarithmic());
  }
}

const QWidget* NextTabStop(const QWidget* w) {
  for (w = w->nextInFocusChain(); !(w->focusPolicy() & Qt::TabFocus);)
    w = w->nextInFocusChain();
  return w;
}

TEST_F(Goniometer, WindowControlsAndTabOrder) {
  EXPECT_EQ(scope.windowTitle(), "VectorScope / LevelMeter");
  EXPECT_EQ(scope.size(), QSize(520, 304));
  EXPECT_EQ(scope.minimumSize(), scope.maximumSize());
  EXPECT_TRUE(scope.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_FALSE(scope.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(scope.Chart1->geometry(), QRect(0, 0, 265, 257));
  EXPECT_FALSE(scope.Chart1->AllowZoom());
  EXPECT_EQ(scope.PLevelMeter1->geometry().size(), QSize(14, 240));
  EXPECT_EQ(scope.PLevelMeter2->y(), 40);
  EXPECT_EQ(scope.PLevelMeter1->BarColor(), QColor(0x66, 0xFF, 0x00));
  EXPECT_EQ(scope.PLevelMeter1->BackColor(), QColor(Qt::black));
  for (int k = 0; k < 9; ++k)
    EXPECT_EQ(scope.ScaleTicks[k]->y(), 40 + 30 * k);
  EXPECT_EQ(scope.TFactor->minimum(), 0);
  EXPECT_EQ(scope.TFactor->maximum(), 6);
  EXPECT_EQ(scope.TFactor->value(), 3);
  EXPECT_FALSE(scope.TFactor->focusPolicy() & Qt::TabFocus);
  EXPECT_EQ(scope.CLevelMeterMode->currentText(), "V Peak");
  EXPECT_EQ(scope.CLevelMeterMax->currentText(), "0");
  EXPECT_EQ(scope.CLevelMeterMin->currentText(), "-100");
  EXPECT_EQ(scope.BSetLevelMeterCorrFactor->text(), "Change");
  EXPECT_EQ(scope.Label2->text(), "Vector Scope Factor:");
  EXPECT_EQ(scope.LFactor->text(), "x 1");

  const QWidget* order[] = {scope.CLevelMeterMode,          scope.CLevelMeterMax,
                            scope.CLevelMeterMin,           scope.ELevelMeterCorrFactor,
                            scope.BSetLevelMeterCorrFactor, scope.BClose};
  for (size_t i = 1; i < std::size(order); ++i)
    EXPECT_EQ(NextTabStop(order[i - 1]), order[i]);
  for (const QWidget* w : order)
    EXPECT_FALSE(w->accessibleName().isEmpty());
  EXPECT_FALSE(scope.PLevelMeter1->accessibleName().isEmpty());
}

// No label may run into its neighbour or out of the window in the 11-pixel font.
TEST_F(Goniometer, TextsFitTheElevenPixelFont) {
  EXPECT_EQ(scope.font().pixelSize(), 11);
  QLabel probe("-100.0", &scope);
  QFont bold = probe.font();
  bold.setBold(true);
  probe.setFont(bold);
  EXPECT_LE(probe.sizeHint().width(), scope.LLevelChan1->width());
  EXPECT_LE(scope.LLevelChan1->geometry().right(), scope.LLevelChan2->x());
  EXPECT_LE(scope.LLevelMeter[8]->x() + probe.sizeHint().width(), scope.CLevelMeterMode->x());
  EXPECT_LE(scope.Label2->x() + scope.Label2->sizeHint().width(), scope.TFactor->x());
  for (QLabel* label : scope.findChildren<QLabel*>())
    EXPECT_LE(label->x() + label->sizeHint().width(), scope.width()) << label->text().toStdString();
}

}  // namespace

// While the window's paint waits for the frame's end, blocks are only kept: the paint shows
// the newest, and a reset meanwhile leaves nothing stale to show.
TEST_F(Goniometer, KeepsOnlyTheNewestBlockWhileItsPaintWaitsAndResetDropsIt) {
  bool deferred = false;
  struct Hook {
    decltype(FramePacing::PaintDeferred) previous = FramePacing::PaintDeferred;
    ~Hook() { FramePacing::PaintDeferred = previous; }
  } hook;
  FramePacing::PaintDeferred = [&](const QWidget* w) { return deferred && w == &scope; };
  const auto frameDue = [&] {
    QEvent due(FramePacing::FrameDue());
    QCoreApplication::sendEvent(&scope, &due);
  };
  Show(Constant(256, 3276.8));  // -20 dB, drawn at once
  EXPECT_EQ(Left(), "-20.0");
  deferred = true;
  Show(Constant(256, 16384.0), Constant(256, 1.0));
  Show(Constant(128, 32768.0), Constant(128, 327.68));  // the newest: 0 and -40 dB
  EXPECT_EQ(Left(), "-20.0");
  EXPECT_EQ(scope.Series1->PointCount(), 256);
  frameDue();
  EXPECT_EQ(Left(), "0.0");
  EXPECT_EQ(Right(), "-40.0");
  EXPECT_EQ(scope.PLevelMeter1->Position(), 0);
  EXPECT_EQ(scope.PLevelMeter2->Position(), -400);
  ASSERT_EQ(scope.Series1->PointCount(), 128);
  EXPECT_DOUBLE_EQ(scope.Series1->YValues()[0], 0.01);
  // Shown once: a later frame without a new block changes nothing.
  scope.Series1->ClearPoints();
  frameDue();
  EXPECT_EQ(scope.Series1->PointCount(), 0);

  Show(Constant(256, 16384.0));
  scope.ResetDisplay();  // Stop
  frameDue();
  EXPECT_EQ(Left(), "----");
  EXPECT_EQ(scope.PLevelMeter1->Position(), -1000);
  EXPECT_EQ(scope.Series1->PointCount(), 0);
}

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "Badinputs.h"
#include "Chart.h"
#include "Dlgoptions.h"
#include "Mainwindowtonvista.h"

namespace {

// Records every ScaleAxes together with the limits in force at that moment.
class RecordingMainwindow : public TMainwindow {
 public:
  struct Scaled {
    int xMin, xMax, yMin, yMax;
    double corr;
  };
  void ScaleAxes() override {
    scaled.push_back({XAxisMin, XAxisMax, YAxisMin, YAxisMax, CorrFactor.load()});
  }
  std::vector<Scaled> scaled;
};

// The widget Tab moves to: the next in the focus chain that takes the focus by Tab.
const QWidget* NextTabStop(const QWidget* w) {
  for (w = w->nextInFocusChain(); !(w->focusPolicy() & Qt::TabFocus);)
    w = w->nextInFocusChain();
  return w;
}

class OptionsDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    SetErrorSink([this](QWidget*, const QString& m) { messages.push_back(m); });
    main.CMark1->addItems({"L", "Lmax"});
    main.CMark2->addItems({"L", "Lmax"});
    main.CMark1->setCurrentIndex(1);
    main.CMark2->setCurrentIndex(1);
    for (TChartSeries* s : {main.Series1, main.Series2, main.Series3, main.Series4})
      for (int i = 0; i < 3; ++i)
        s->AddPoint(i, -10.0 * i, clBlue);
  }
  void TearDown() override { SetErrorSink({}); }

  void Type(const char* yMin, const char* yMax, const char* xMin, const char* xMax,
            const char* corr) {
    dialog.EYAxisMin->setText(yMin);
    dialog.EYAxisMax->setText(yMax);
    dialog.EXAxisMin->setText(xMin);
    dialog.EXAxisMax->setText(xMax);
    dialog.ECorrFactor->setText(corr);
  }

  void ExpectUnchanged() {
    EXPECT_EQ(main.XAxisMin, 10);
    EXPECT_EQ(main.XAxisMax, 22050);
    EXPECT_EQ(main.YAxisMin, -100);
    EXPECT_EQ(main.YAxisMax, 0);
    EXPECT_EQ(main.CorrFactor.load(), 0.0);
    EXPECT_TRUE(main.scaled.empty());
  }

  RecordingMainwindow main;
  TFOptions dialog;
  // The main window follows what the window reports, as at start-up.
  const bool connected = (main.ConnectWindows(), true);
  std::vector<QString> messages;
};

TEST_F(OptionsDialog, SetStoresTheTypedValuesThenRescales) {
  Type("-120", "10", "20", "20000", "3.5");
  QTest::mouseClick(dialog.Button1, Qt::LeftButton);
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(main.YAxisMin, -120);
  EXPECT_EQ(main.YAxisMax, 10);
  EXPECT_EQ(main.XAxisMin, 20);
  EXPECT_EQ(main.XAxisMax, 20000);
  EXPECT_EQ(main.CorrFactor.load(), 3.5);
  ASSERT_EQ(main.scaled.size(), 1u);
  EXPECT_EQ(main.scaled[0].xMin, 20);
  EXPECT_EQ(main.scaled[0].xMax, 20000);
  EXPECT_EQ(main.scaled[0].yMin, -120);
  EXPECT_EQ(main.scaled[0].yMax, 10);
  EXPECT_EQ(main.scaled[0].corr, 3.5);
}

TEST_F(OptionsDialog, NoOrderCheckAndTheLocaleDecimalComma) {
  ScopedLocale german(TestLocale::German);
  Type("0", "-50", "5000", "100", "-1,25");
  dialog.Button1Click();
  EXPECT_TRUE(messages.empty());
  EXPECT_EQ(main.YAxisMin, 0);
  EXPECT_EQ(main.YAxisMax, -50);
  EXPECT_EQ(main.XAxisMin, 5000);
  EXPECT_EQ(main.XAxisMax, 100);
  EXPECT_EQ(main.CorrFactor.load(), -1.25);
}

TEST_F(OptionsDialog, AbcInXAxisMinChangesNothingNotEvenTheLevelLimits) {
  dialog.show();
  Type("-50", "-10", "abc", "20000", "2");
  QTest::mouseClick(dialog.Button1, Qt::LeftButton);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "'abc' is not a valid integer value");
  ExpectUnchanged();
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(dialog.EXAxisMin->text(), "abc");
  EXPECT_EQ(dialog.EYAxisMin->text(), "-50");
}

TEST_F(OptionsDialog, BadCorrectionNamesTheFloatingPointError) {
  Type("-50", "-10", "20", "20000", "abc");
  dialog.Button1Click();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "'abc' is not a valid floating point value");
  ExpectUnchanged();
}

TEST_F(OptionsDialog, TheFirstBadFieldInOrderIsTheOneReported) {
  Type("-50", "x2", "x3", "20000", "x5");
  dialog.Button1Click();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "'x2' is not a valid integer value");
  ExpectUnchanged();
}

// Every entry of the shared table, in every field, in both locales: refused with the right
// message and nothing stored, or, where the locale accepts it, stored as read.
TEST_F(OptionsDialog, BadInputTableIsRefusedInEveryField) {
  for (TestLocale locale : {TestLocale::C, TestLocale::German}) {
    ScopedLocale scoped(locale);
    for (const BadInput& in : BadInputs()) {
      for (int field = 0; field < 5; ++field) {
        SCOPED_TRACE(testing::Message()
                     << LocaleName(locale) << " / " << in.what << " / field " << field);
        main.SetAxisLimits(10, 22050, -100, 0);
        main.SetCorrFactor(0.0);
        main.scaled.clear();
        messages.clear();
        Type("-90", "-5", "30", "15000", "2");
        QLineEdit* edits[5] = {dialog.EYAxisMin, dialog.EYAxisMax, dialog.EXAxisMin,
                               dialog.EXAxisMax, dialog.ECorrFactor};
        edits[field]->setText(in.text);
        const bool isFloat = field == 4;
        const bool bad = isFloat ? FloatBad(in, locale) : IntBad(in, locale);
        dialog.Button1Click();
        if (bad) {
          ASSERT_EQ(messages.size(), 1u);
          const QString tail =
              isFloat ? "' is not a valid floating point value" : "' is not a valid integer value";
          if (in.text.size() <= 40 && !in.text.contains(QChar(0)))
            EXPECT_EQ(messages[0], "'" + in.text + tail);
          else
            EXPECT_TRUE(messages[0].endsWith(tail) && messages[0].size() < 100)
                << messages[0].left(200).toStdString();
          ExpectUnchanged();
        } else {
          EXPECT_TRUE(messages.empty());
          ASSERT_EQ(main.scaled.size(), 1u);
          const double stored[5] = {double(main.YAxisMin), double(main.YAxisMax),
                                    double(main.XAxisMin), double(main.XAxisMax),
                                    main.CorrFactor.load()};
          EXPECT_EQ(stored[field], Value(in, locale));
        }
      }
    }
  }
}

TEST_F(OptionsDialog, DeleteLeftMaxInMonoMaxHoldThenLeftDoesNothing) {
  QTest::mouseClick(dialog.BClearGraph3, Qt::LeftButton);
  ASSERT_EQ(main.CMark1->count(), 1);
  ASSERT_EQ(main.CMark2->count(), 1);
  EXPECT_EQ(main.CMark1->itemText(0), "L");
  EXPECT_EQ(main.CMark2->itemText(0), "L");
  EXPECT_EQ(main.CMark1->currentIndex(), 0);
  EXPECT_EQ(main.Series3->PointCount(), 0);
  EXPECT_EQ(main.Series1->PointCount(), 3);

  // Each list now holds one entry: the last trace cannot be deleted.
  QTest::mouseClick(dialog.BClearGraph1, Qt::LeftButton);
  EXPECT_EQ(main.CMark1->count(), 1);
  EXPECT_EQ(main.CMark2->count(), 1);
  EXPECT_EQ(main.Series1->PointCount(), 3);
}

TEST_F(OptionsDialog, DeleteRightInMonoSelectsEntryZeroAndClearsTheSeries) {
  QTest::mouseClick(dialog.BClearGraph2, Qt::LeftButton);
  EXPECT_EQ(main.CMark1->count(), 2);
  EXPECT_EQ(main.CMark2->count(), 2);
  EXPECT_EQ(main.CMark1->currentIndex(), 0);
  EXPECT_EQ(main.CMark2->currentIndex(), 0);
  EXPECT_EQ(main.Series2->PointCount(), 0);
  EXPECT_EQ(main.Series1->PointCount(), 3);
  EXPECT_EQ(main.Series3->PointCount(), 3);
}

TEST_F(OptionsDialog, OnlyTheSecondListDecidesWhetherTheSeriesIsCleared) {
  // List 1 holds one entry, list 2 two: list 1 is left alone, list 2 loses "Rmax".
  main.CMark1->clear();
  main.CMark1->addItem("L");
  main.CMark2->clear();
  main.CMark2->addItems({"L", "Rmax"});
  QTest::mouseClick(dialog.BClearGraph4, Qt::LeftButton);
  EXPECT_EQ(main.CMark1->count(), 1);
  EXPECT_EQ(main.CMark2->count(), 1);
  EXPECT_EQ(main.Series4->PointCount(), 0);

  main.CMark1->addItem("Lmax");
  QTest::mouseClick(dialog.BClearGraph3, Qt::LeftButton);
  EXPECT_EQ(main.CMark1->count(), 1);        // removed from list 1 ...
  EXPECT_EQ(main.Series3->PointCount(), 3);  // ... but list 2 had one entry: not cleared
}

TEST_F(OptionsDialog, EnterInAnEditSetsAndNeverDeletesATrace) {
  dialog.show();
  Type("-80", "0", "10", "22050", "0");
  dialog.EXAxisMax->setFocus();
  QTest::keyClick(dialog.EXAxisMax, Qt::Key_Return);
  EXPECT_EQ(main.YAxisMin, -80);
  EXPECT_EQ(main.scaled.size(), 1u);
  EXPECT_EQ(main.CMark1->count(), 2);
  EXPECT_EQ(main.Series1->PointCount(), 3);
}

TEST_F(OptionsDialog, CloseAndEscapeHideAndFocusStop) {
  dialog.show();
  QTest::mouseClick(dialog.Button2, Qt::LeftButton);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(main.focusWidget(), main.BStop);
  dialog.show();
  QTest::keyClick(&dialog, Qt::Key_Escape);
  EXPECT_FALSE(dialog.isVisible());
}

TEST_F(OptionsDialog, PlacesCaptionsAndTabOrder) {
  EXPECT_EQ(dialog.windowTitle(), "Options");
  EXPECT_EQ(dialog.size(), QSize(185, 377));
  EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
  EXPECT_EQ(dialog.pos(), QPoint(710, 210));
  EXPECT_EQ(dialog.GroupBox1->geometry(), QRect(8, 8, 169, 129));
  EXPECT_EQ(dialog.GroupBox2->geometry(), QRect(8, 144, 169, 65));
  EXPECT_EQ(dialog.GroupBox3->geometry(), QRect(8, 216, 169, 113));
  EXPECT_EQ(dialog.EYAxisMin->geometry(), QRect(80, 24, 57, 21));
  EXPECT_EQ(dialog.EXAxisMax->geometry(), QRect(80, 96, 57, 21));
  EXPECT_EQ(dialog.ECorrFactor->geometry(), QRect(80, 24, 57, 21));
  EXPECT_EQ(dialog.BClearGraph3->geometry(), QRect(40, 64, 97, 17));
  EXPECT_EQ(dialog.Button1->geometry(), QRect(8, 344, 73, 25));
  EXPECT_EQ(dialog.Button2->geometry(), QRect(112, 344, 67, 25));
  EXPECT_EQ(dialog.GroupBox1->title(), "Y-Axis Options");
  EXPECT_EQ(dialog.GroupBox2->title(), "Level Correction");
  EXPECT_EQ(dialog.GroupBox3->title(), "Delete Data");
  EXPECT_EQ(dialog.Label1->text(), "y-Axis Min:");
  EXPECT_EQ(dialog.Label8->text(), "x-Axis Max:");
  EXPECT_EQ(dialog.Label5->text(), "Factor:");
  EXPECT_EQ(dialog.Label10->text(), "Hz");
  EXPECT_EQ(dialog.BClearGraph1->text(), "Left (Mono)");
  EXPECT_EQ(dialog.BClearGraph2->text(), "Right");
  EXPECT_EQ(dialog.BClearGraph3->text(), "Left Max (Mono)");
  EXPECT_EQ(dialog.BClearGraph4->text(), "Right Max");
  EXPECT_EQ(dialog.Button1->text(), "Set");
  EXPECT_EQ(dialog.Button2->text(), "Close");

  const QWidget* order[] = {dialog.EYAxisMin,    dialog.EYAxisMax,    dialog.EXAxisMin,
                            dialog.EXAxisMax,    dialog.ECorrFactor,  dialog.BClearGraph1,
                            dialog.BClearGraph2, dialog.BClearGraph3, dialog.BClearGraph4,
                            dialog.Button1,      dialog.Button2};
  for (size_t i = 1; i < std::size(order); ++i) {
    EXPECT_EQ(NextTabStop(order[i - 1]), order[i]) << "after " << i - 1;
    EXPECT_FALSE(order[i]->accessibleName().isEmpty()) << i;
  }
}

// Labels and captions must fit their places in the 11-pixel font.
TEST_F(OptionsDialog, TextsFitTheElevenPixelFont) {
  EXPECT_EQ(dialog.font().pixelSize(), 11);
  for (auto [label, right] : {std::pair{dialog.Label1, dialog.EYAxisMin->x()},
                              {dialog.Label2, dialog.EYAxisMax->x()},
                              {dialog.Label7, dialog.EXAxisMin->x()},
                              {dialog.Label8, dialog.EXAxisMax->x()},
                              {dialog.Label5, dialog.ECorrFactor->x()}})
    EXPECT_LE(label->x() + label->sizeHint().width(), right) << label->text().toStdString();
  for (QPushButton* b : {dialog.BClearGraph1, dialog.BClearGraph2, dialog.BClearGraph3,
                         dialog.BClearGraph4, dialog.Button1, dialog.Button2})
    EXPECT_LE(b->fontMetrics().horizontalAdvance(b->text()) + 6, b->width())
        << b->text().toStdString();
  for (QLabel* unit : {dialog.Label3, dialog.Label9})
    EXPECT_LE(unit->x() + unit->sizeHint().width(), dialog.GroupBox1->width());
}

}  // namespace

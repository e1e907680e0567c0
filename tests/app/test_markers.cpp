// The two frequency markers: lists, stepping, auto-repeat, drawing and read-outs.
#include <QLocale>
#include <QTest>
#include <QTimer>

#include <functional>

#include "AlsaTestDevice.h"
#include "Fileinput.h"
#include "MainwindowFixture.h"
#include "Soundfiles.h"

namespace {

double Flat(int) {
  return -50.0;
}

}  // namespace

class Markers : public MainwindowTest {
 protected:
  void SetUp() override {
    saved_ = QLocale();
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    MainwindowTest::SetUp();
    w->Chart1->resize(780, 435);
    emit w->BStart->clicked();  // enables the marker boxes and fills the lists
    emit w->BStop->clicked();
  }
  void TearDown() override {
    MainwindowTest::TearDown();
    QLocale::setDefault(saved_);
  }
  void Check(QCheckBox* box) {
    box->setChecked(true);
    emit box->clicked(true);
  }
  void Uncheck(QCheckBox* box) {
    box->setChecked(false);
    emit box->clicked(false);
  }
  void SetRate(int index) {
    w->CSamplingRate->setCurrentIndex(index);
    emit w->CSamplingRate->activated(index);
  }
  QLocale saved_;
};

TEST_F(Markers, ListsHoldTheTracesOfTheRun) {
  const std::tuple<int, bool, QStringList> cases[] = {{1, false, {"L"}},
                                                      {1, true, {"L", "Lmax"}},
                                                      {2, false, {"L", "R"}},
                                                      {2, true, {"L", "R", "Lmax", "Rmax"}}};
  for (const auto& [kind, maxHold, names] : cases) {
    w->FillMarkerLists(kind, maxHold);
    for (QComboBox* list : {w->CMark1, w->CMark2}) {
      QStringList items;
      for (int i = 0; i < list->count(); ++i)
        items << list->itemText(i);
      EXPECT_EQ(items, names);
      EXPECT_EQ(list->currentIndex(), 0);
    }
  }
  EXPECT_TRUE(w->CBMarker1->isEnabled());
  EXPECT_FALSE(w->CMark1->isEnabled());
  Check(w->CBMarker1);
  EXPECT_TRUE(w->CMark1->isEnabled());
  EXPECT_EQ(w->LMark1Frequ->text(), "0.0");
  Uncheck(w->CBMarker1);
  EXPECT_FALSE(w->CMark1->isEnabled());
  EXPECT_EQ(w->LMark1Frequ->text(), "---");
  EXPECT_EQ(w->LMark1Lev->text(), "---");
}

TEST_F(Markers, SteppingUpAndDownStaysWithinTheSpectrum) {
  Check(w->CBMarker1);
  for (int i = 0; i < 10; ++i)
    emit w->BMark1_Inc->clicked();
  EXPECT_EQ(w->LMark1Frequ->text(), "215.3");
  EXPECT_EQ(w->Mark1Bin, 10);
  // A German user reads the same step with a decimal comma.
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  emit w->BMark1_Dec->clicked();
  emit w->BMark1_Inc->clicked();
  EXPECT_EQ(w->LMark1Frequ->text(), "215,3");
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  for (int i = 10; i < 1024; ++i)
    emit w->BMark1_Inc->clicked();
  EXPECT_EQ(w->Mark1Frequ, 22050.0);
  EXPECT_EQ(w->Mark1Bin, 1024);
  emit w->BMark1_Inc->clicked();
  EXPECT_EQ(w->Mark1Bin, 1024);
  EXPECT_EQ(w->LMark1Frequ->text(), "22050.0");

  // Marker 2 is unchecked: its buttons do nothing.
  emit w->BMark2_Inc->clicked();
  EXPECT_EQ(w->Mark2Bin, 0);
  Check(w->CBMarker2);
  emit w->BMark2_Dec->clicked();
  EXPECT_EQ(w->Mark2Frequ, 0.0);
  EXPECT_EQ(w->Mark2Bin, 0);
  EXPECT_EQ(w->LMark2Frequ->text(), "0.0");

  // 11025 Hz: stepping stops at 5512.0 with index 1024.
  SetRate(2);
  EXPECT_EQ(w->Mark1Bin, 0);
  for (int i = 0; i < 1100; ++i)
    emit w->BMark2_Inc->clicked();
  EXPECT_EQ(w->LMark2Frequ->text(), "5512.0");
  EXPECT_EQ(w->Mark2Bin, 1024);
}

TEST_F(Markers, AutoRepeatGoesFrom100To400To5MsAndIsNotResetOnRelease) {
  Check(w->CBMarker1);
  QTest::mousePress(w->BMark1_Inc, Qt::LeftButton);
  EXPECT_TRUE(w->Timer1->isActive());
  EXPECT_EQ(w->Timer1->interval(), 100);
  EXPECT_EQ(w->Mark1Bin, 0);  // nothing at once
  const int expected[] = {400, 400, 400, 400, 5, 5, 5};
  for (int tick = 0; tick < 7; ++tick) {
    w->Timer1Timer();
    EXPECT_EQ(w->Mark1Bin, tick + 1);
    EXPECT_EQ(w->Timer1->interval(), expected[tick]) << tick;
  }
  // Releasing the primary button stops the repeat and is also a click: one more step.
  QTest::mouseRelease(w->BMark1_Inc, Qt::LeftButton);
  EXPECT_FALSE(w->Timer1->isActive());
  EXPECT_EQ(w->MarkRepeatCount, 0);
  EXPECT_EQ(w->Mark1Bin, 8);

  // The next press starts at the interval the last one left: 5 ms.
  QTest::mousePress(w->BMark1_Dec, Qt::RightButton);
  EXPECT_TRUE(w->Timer1->isActive());
  EXPECT_EQ(w->Timer1->interval(), 5);
  EXPECT_EQ(w->MarkRepeatButton, 0);
  w->Timer1Timer();
  w->Timer1Timer();
  EXPECT_EQ(w->Mark1Bin, 6);
  EXPECT_EQ(w->Timer1->interval(), 400);
  // The secondary button adds no step on release.
  QTest::mouseRelease(w->BMark1_Dec, Qt::RightButton);
  EXPECT_FALSE(w->Timer1->isActive());
  EXPECT_EQ(w->Mark1Bin, 6);

  // The real timer ticks while the button is held.
  QTest::mousePress(w->BMark1_Inc, Qt::RightButton);
  QTest::qWait(1000);
  QTest::mouseRelease(w->BMark1_Inc, Qt::RightButton);
  EXPECT_GE(w->Mark1Bin, 7);

  // With the box unchecked nothing starts.
  Uncheck(w->CBMarker2);
  QTest::mousePress(w->BMark2_Inc, Qt::LeftButton);
  EXPECT_FALSE(w->Timer1->isActive());
  QTest::mouseRelease(w->BMark2_Inc, Qt::LeftButton);
  EXPECT_EQ(w->Mark2Bin, 0);
}

TEST_F(Markers, ReadoutsAndTheDifference) {
  Fill(w->Series1, 1024, 44100.0 / 2048, [](int i) {
    return i == 3 ? -20.4 : i == 7 ? -33.1 : -50.0;
  });
  Check(w->CBMarker1);
  Check(w->CBMarker2);
  for (int i = 0; i < 3; ++i)
    emit w->BMark1_Inc->clicked();
  for (int i = 0; i < 7; ++i)
    emit w->BMark2_Inc->clicked();
  w->Chart1->RenderImage();
  EXPECT_EQ(w->LMark1Lev->text(), "-20.4");
  EXPECT_EQ(w->LMark2Lev->text(), "-33.1");
  EXPECT_EQ(w->LDeltaLev->text(), "12.0");
  EXPECT_EQ(w->LDeltaFrequ->text(), QLocale().toString(4 * 44100.0 / 2048, 'f', 1));

  // Marker 2 below marker 1: the frequency difference is signed.
  for (int i = 0; i < 5; ++i)
    emit w->BMark2_Dec->clicked();
  w->Chart1->RenderImage();
  EXPECT_EQ(w->LDeltaFrequ->text(), QLocale().toString(-1 * 44100.0 / 2048, 'f', 1));

  Uncheck(w->CBMarker2);
  EXPECT_EQ(w->LMark2Lev->text(), "---");
  EXPECT_EQ(w->LMark2Frequ->text(), "---");
  w->Chart1->RenderImage();
  EXPECT_EQ(w->LDeltaFrequ->text(), "---");
  EXPECT_EQ(w->LDeltaLev->text(), "---");
  EXPECT_EQ(w->LMark1Lev->text(), "-20.4");

  // The read-out follows the user's decimal separator.
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  w->Chart1->RenderImage();
  EXPECT_EQ(w->LMark1Lev->text(), "-20,4");
}

TEST_F(Markers, AMarkerWithoutAPointShowsNoLevelAndDrawsNothing) {
  Check(w->CBMarker1);
  Check(w->CBMarker2);
  w->CBMarker2->setChecked(false);  // only marker 1 draws
  const QImage nothing = [&] {
    w->CBMarker1->setChecked(false);
    QImage image = w->Chart1->RenderImage();
    w->CBMarker1->setChecked(true);
    return image;
  }();

  // An empty trace, as right after Start.
  w->Series1->ClearPoints();
  EXPECT_EQ(w->Chart1->RenderImage(), nothing);
  EXPECT_EQ(w->LMark1Lev->text(), "---");

  // One past the last point.
  Fill(w->Series1, 1024, 44100.0 / 2048, Flat);
  const QImage trace = [&] {
    w->CBMarker1->setChecked(false);
    QImage image = w->Chart1->RenderImage();
    w->CBMarker1->setChecked(true);
    return image;
  }();
  for (int i = 0; i < 1030; ++i)
    emit w->BMark1_Inc->clicked();
  ASSERT_EQ(w->Mark1Bin, 1024);
  EXPECT_EQ(w->Chart1->RenderImage(), trace);
  EXPECT_EQ(w->LMark1Lev->text(), "---");

  // With both markers on, a missing level leaves the level difference empty.
  Check(w->CBMarker2);
  w->Chart1->RenderImage();
  EXPECT_EQ(w->LMark2Lev->text(), "-50.0");
  EXPECT_EQ(w->LDeltaLev->text(), "---");

  // Back on the last point the arrowhead is drawn again.
  Uncheck(w->CBMarker2);
  emit w->BMark1_Dec->clicked();
  EXPECT_NE(w->Chart1->RenderImage(), trace);
  EXPECT_EQ(w->LMark1Lev->text(), "-50.0");
}

// A change of rate, FFT length or input puts the markers back to 0 Hz; their read-outs say so at
// once instead of keeping the old frequencies.
TEST_F(Markers, ReadoutsShowWhereTheMarkersStandAfterAChangeOfRateLengthOrInput) {
  tvtest::TempDir dir;
  const std::string path = dir.File("tone.wav");
  ASSERT_EQ(tvtest::WriteSoundFile(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 22050, 1,
                                   tvtest::Sines(22050, 1, 22050, {1000.0})),
            "");
  const std::function<void()> changes[] = {
      [&] { SetRate(2); },
      [&] {
        w->CFFTLength->setCurrentIndex(1);
        emit w->CFFTLength->activated(1);
      },
      [&] {
        FileInput->DialogRunner = [path] { return QString::fromStdString(path); };
        FileInput->OpenAction->trigger();
      },
  };
  int round = 0;
  for (const auto& change : changes) {
    SCOPED_TRACE(round++);
    Fill(w->Series1, 1024, w->ShownRate() / w->FFTLength, [](int i) {
      return i == 0 ? -121.4 : i == 46 ? -3.0 : -80.0;
    });
    // M1 on the peak read between bins, M2 stepped by hand.
    Check(w->CBMarker1);
    Check(w->CBMarker2);
    w->Mark1Bin = 46;
    w->Mark1Frequ = 46 * w->ShownRate() / w->FFTLength + 0.3;
    w->Mark1Peak = true;
    for (int i = 0; i < 20; ++i)
      emit w->BMark2_Inc->clicked();
    w->Chart1->RenderImage();
    ASSERT_NE(w->LMark1Frequ->text().toStdString(), "0.00");
    ASSERT_NE(w->LMark2Frequ->text().toStdString(), "0.0");
    ASSERT_NE(w->LDeltaFrequ->text().toStdString(), "0.0");

    change();
    EXPECT_EQ(w->Mark1Frequ, 0.0);
    EXPECT_EQ(w->Mark2Frequ, 0.0);
    EXPECT_EQ(w->LMark1Frequ->text().toStdString(), "0.0");
    EXPECT_EQ(w->LMark2Frequ->text().toStdString(), "0.0");
    EXPECT_EQ(w->LDeltaFrequ->text().toStdString(), "0.0");
    // The level read-out follows the trace at the marker's new place.
    Fill(w->Series1, 1024, w->ShownRate() / w->FFTLength,
         [](int i) { return i == 0 ? -121.4 : -80.0; });
    w->Chart1->RenderImage();
    EXPECT_EQ(w->LMark1Lev->text().toStdString(), "-121.4");
    EXPECT_EQ(w->LMark1Frequ->text().toStdString(), "0.0");

    // An unchecked marker keeps showing no value.
    Uncheck(w->CBMarker2);
    change();
    EXPECT_EQ(w->LMark2Frequ->text().toStdString(), "---");
    EXPECT_EQ(w->LMark2Lev->text().toStdString(), "---");
  }
}

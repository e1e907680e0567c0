// The main window: start-up, controls and presets, layout, settings, Start and Stop, axes.
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <vector>

#include "AlsaTestDevice.h"
#include "Dlgabout.h"
#include "Dlgbandanalyser.h"
#include "Dlggoniometer.h"
#include "Dlgoptions.h"
#include "MainwindowFixture.h"

namespace {

void Settle() {
  for (int i = 0; i < 5; ++i)
    QCoreApplication::processEvents();
}

QStringList Items(const QComboBox* c) {
  QStringList out;
  for (int i = 0; i < c->count(); ++i)
    out << c->itemText(i);
  return out;
}

}  // namespace

TEST(Startup, CreatesFiveWindowsShowsOnlyTheMainOneAndDestroysThemInReverse) {
  QStringList destroyed;
  const auto probe = TMainwindow::OutputDeviceProbe;
  TMainwindow::OutputDeviceProbe = [] { return true; };
  {
    TonvistaWindows windows;
    ASSERT_NE(Mainwindow, nullptr);
    ASSERT_NE(FAbout, nullptr);
    ASSERT_NE(FGoniometer, nullptr);
    ASSERT_NE(FOptions, nullptr);
    ASSERT_NE(FBandAnalyser, nullptr);
    Mainwindow->show();
    EXPECT_TRUE(Mainwindow->isVisible());
    EXPECT_FALSE(FAbout->isVisible());
    EXPECT_FALSE(FGoniometer->isVisible());
    EXPECT_FALSE(FOptions->isVisible());
    EXPECT_FALSE(FBandAnalyser->isVisible());
    EXPECT_EQ(Mainwindow->windowTitle(), "TonvistaV1.9");
    EXPECT_EQ(FAbout->windowTitle(), "About Tonvista");
    const std::pair<QObject*, QString> all[] = {{Mainwindow, "Mainwindow"},
                                                {FAbout, "FAbout"},
                                                {FGoniometer, "FGoniometer"},
                                                {FOptions, "FOptions"},
                                                {FBandAnalyser, "FBandAnalyser"}};
    for (const auto& [window, name] : all)
      QObject::connect(window, &QObject::destroyed, [&destroyed, name] { destroyed << name; });
  }
  EXPECT_EQ(destroyed,
            QStringList({"FBandAnalyser", "FOptions", "FGoniometer", "FAbout", "Mainwindow"}));
  EXPECT_EQ(Mainwindow, nullptr);
  EXPECT_EQ(FOptions, nullptr);
  TMainwindow::OutputDeviceProbe = probe;
}

// Sees every top-level widget at its creation: Qt sends QEvent::Create from inside the
// widget's constructor, before the derived window's own constructor runs.
class CreationLog : public QObject {
 public:
  std::vector<QObject*> created;
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::Create && o->isWidgetType() && !static_cast<QWidget*>(o)->parent())
      created.push_back(o);
    return false;
  }
};

TEST(Startup, TheFiveWindowsAreCreatedInTheirOrder) {
  const auto probe = TMainwindow::OutputDeviceProbe;
  TMainwindow::OutputDeviceProbe = [] { return true; };
  CreationLog log;
  qApp->installEventFilter(&log);
  {
    TonvistaWindows windows;
    qApp->removeEventFilter(&log);
    const std::vector<QObject*> five = {Mainwindow, FAbout, FGoniometer, FOptions, FBandAnalyser};
    std::vector<QObject*> seen;
    for (QObject* o : log.created)
      if (std::find(five.begin(), five.end(), o) != five.end()) seen.push_back(o);
    EXPECT_EQ(seen, five);
  }
  qApp->removeEventFilter(&log);
  TMainwindow::OutputDeviceProbe = probe;
}

TEST(Startup, TheCurrentDirectoryBecomesTheProgramsFolderWhereverItWasStarted) {
  const QString before = QDir::currentPath();
  const QString program = QDir(QCoreApplication::applicationDirPath()).canonicalPath();
  QTemporaryDir elsewhere;
  ASSERT_TRUE(QDir::setCurrent(elsewhere.path()));
  ASSERT_NE(QDir::current().canonicalPath(), program);
  const auto probe = TMainwindow::OutputDeviceProbe;
  TMainwindow::OutputDeviceProbe = [] { return true; };
  {
    TonvistaWindows windows;
    EXPECT_EQ(QDir::current().canonicalPath(), program);
    EXPECT_EQ(QDir(Mainwindow->ProgramDirectory).canonicalPath(), program);
  }
  TMainwindow::OutputDeviceProbe = probe;
  QDir::setCurrent(before);
}

TEST(Startup, WithoutAnOutputDeviceWarnsOnceAndOpensNormally) {
  QStringList messages;
  MessageBoxHook = [&](QWidget*, const QString& text) { messages << text; };
  const auto probe = TMainwindow::OutputDeviceProbe;
  TMainwindow::OutputDeviceProbe = [] { return false; };
  {
    TonvistaWindows windows;
    EXPECT_EQ(messages, QStringList{"No sound device installed"});
    EXPECT_EQ(Mainwindow->windowTitle(), "TonvistaV1.9");
    EXPECT_EQ(Mainwindow->CSamplingRate->currentText(), "44100");
  }
  TMainwindow::OutputDeviceProbe = [] { return true; };
  messages.clear();
  { TonvistaWindows windows; }
  EXPECT_TRUE(messages.isEmpty());
  TMainwindow::OutputDeviceProbe = probe;
  MessageBoxHook = nullptr;

  // Offscreen nobody could dismiss a modal box: the warning goes to standard error instead
  // of blocking.
  TMainwindow::OutputDeviceProbe = [] { return false; };
  testing::internal::CaptureStderr();
  { TonvistaWindows windows; }
  EXPECT_NE(testing::internal::GetCapturedStderr().find("No sound device installed"),
            std::string::npos);
  TMainwindow::OutputDeviceProbe = probe;
}

TEST_F(MainwindowTest, ControlsSitAtTheirPlacesWithCaptionsItemsAndPresets) {
  struct Place {
    QWidget* widget;
    QRect rect;
    QString caption;
  };
  const Place places[] = {
      {w->CSettings, {8, 460, 209, 106}, "FFT Settings"},
      {w->CFreqAxis, {224, 460, 65, 50}, "Frequ. Axis"},
      {w->CNumChannels, {224, 516, 65, 50}, "Channels"},
      {w->CStartStop, {296, 460, 65, 105}, "Analyser"},
      {w->CAverage, {368, 460, 57, 57}, "Avg"},
      {w->CMaxHold, {368, 524, 57, 41}, "MaxHold"},
      {w->GBMarker, {432, 460, 177, 105}, "Marker"},
      {w->GBControl, {616, 460, 169, 105}, "Control"},
      {w->CSamplingRate, {88, 24, 113, 21}, ""},
      {w->CFFTLength, {88, 48, 113, 21}, ""},
      {w->CWindow, {88, 72, 113, 21}, ""},
      {w->BStart, {8, 24, 49, 25}, "Start"},
      {w->BStop, {8, 64, 49, 25}, "Stop"},
      {w->CBMaxHold, {8, 18, 41, 17}, "On"},
      {w->CBMarker1, {10, 14, 41, 17}, "M1"},
      {w->CBMarker2, {10, 36, 41, 17}, "M2"},
      {w->BMark1_Dec, {128, 14, 17, 17}, "<"},
      {w->BMark1_Inc, {148, 14, 17, 17}, ">"},
      {w->BMark2_Dec, {128, 36, 17, 17}, "<"},
      {w->BMark2_Inc, {148, 36, 17, 17}, ">"},
      {w->BGoniometer, {8, 16, 75, 17}, "VectorScope..."},
      {w->BBandAnalyser, {88, 16, 73, 17}, "1/3 Octave..."},
      {w->Button1, {8, 38, 75, 17}, "Vol. Ctrl."},
      {w->BAbout, {88, 38, 73, 17}, "About..."},
      {w->BSaveChart, {8, 60, 75, 17}, "Save Chart..."},
      {w->BQuit, {88, 60, 73, 39}, "Quit"},
      {w->BOptions, {8, 82, 75, 17}, "Graphic Opt..."},
  };
  for (const Place& p : places) {
    EXPECT_EQ(p.widget->geometry(), p.rect) << p.caption.toStdString();
    if (auto* g = qobject_cast<QGroupBox*>(p.widget)) {
      EXPECT_EQ(g->title(), p.caption);
    }
    if (auto* b = qobject_cast<QAbstractButton*>(p.widget)) {
      EXPECT_EQ(b->text(), p.caption);
    }
  }
  // The trace lists are 4 pixels wider than stored so that "Lmax" and "Rmax" fit.
  EXPECT_EQ(w->CMark1->geometry(), QRect(70, 12, 54, 21));
  EXPECT_EQ(w->CMark2->geometry(), QRect(70, 34, 54, 21));
  EXPECT_EQ(w->Label4->pos(), QPoint(44, 16));
  EXPECT_EQ(w->LMark1Frequ->geometry().right() + 1, 74);
  EXPECT_EQ(w->LMark1Lev->geometry(), QRect(94, 60, 54, 13));
  EXPECT_EQ(w->LDeltaLev->geometry(), QRect(94, 88, 54, 13));

  EXPECT_EQ(Items(w->CSamplingRate),
            QStringList({"8000", "9600", "11025", "12000", "16000", "22050", "32000", "44100",
                         "48000", "88200", "96000"}));
  EXPECT_EQ(Items(w->CFFTLength),
            QStringList({"256", "512", "1024", "2048", "4096", "8192", "16384", "32768"}));
  EXPECT_EQ(Items(w->CWindow),
            QStringList({"Hanning", "Hamming", "Blackman", "Blackman Harris", "Rectangular"}));
  EXPECT_EQ(w->CAvg->count(), 20);
  EXPECT_EQ(w->CAvg->itemText(19), "20");
  EXPECT_EQ(w->CAvg->maxVisibleItems(), 5);
  EXPECT_EQ(w->CFreqAxis->Item(0)->text(), "lin");
  EXPECT_EQ(w->CFreqAxis->Item(1)->text(), "log");
  EXPECT_EQ(w->CNumChannels->Item(1)->text(), "Stereo");

  EXPECT_EQ(w->CSamplingRate->currentIndex(), 7);
  EXPECT_EQ(w->CFFTLength->currentIndex(), 3);
  EXPECT_EQ(w->CWindow->currentIndex(), 3);
  EXPECT_EQ(w->CNumChannels->ItemIndex(), 0);
  EXPECT_EQ(w->CFreqAxis->ItemIndex(), 1);
  EXPECT_EQ(w->CAvg->currentIndex(), 0);
  EXPECT_FALSE(w->CBMaxHold->isChecked());
  EXPECT_FALSE(w->CMark1->isEnabled());
  EXPECT_FALSE(w->CMark2->isEnabled());
  EXPECT_FALSE(w->CBMarker1->isEnabled());
  EXPECT_FALSE(w->CBMarker2->isEnabled());
  for (QLabel* l :
       {w->LMark1Frequ, w->LMark1Lev, w->LMark2Frequ, w->LMark2Lev, w->LDeltaFrequ, w->LDeltaLev})
    EXPECT_EQ(l->text(), "---");
  EXPECT_EQ(w->Timer1->interval(), 100);
  EXPECT_FALSE(w->Timer1->isActive());

  EXPECT_EQ(w->SamplingRate.load(), 44100.0);
  EXPECT_EQ(w->FFTLength.load(), 2048.0);
  EXPECT_EQ(w->NumChannels.load(), 1);
  EXPECT_EQ(w->GoniometerOpen.load(), 0);
  EXPECT_EQ(w->CorrFactor.load(), 0.0);
  EXPECT_EQ(w->XAxisMin, 10);
  EXPECT_EQ(w->XAxisMax, 22050);
  EXPECT_EQ(w->YAxisMin, -100);
  EXPECT_EQ(w->YAxisMax, 0);
  EXPECT_EQ(w->GridTop, 1);
  EXPECT_EQ(w->WindowsVersion, 0);
  EXPECT_EQ(w->CalcThread, nullptr);
  EXPECT_EQ(w->SaveDialog1.FileName, "Chart1");
  EXPECT_EQ(w->SaveDialog1.Title, "Save Files as...");

  // The chart as stored: nothing is scaled until the first ScaleAxes.
  const TChartAxis& x = w->Chart1->BottomAxis();
  EXPECT_TRUE(x.Logarithmic());
  EXPECT_EQ(x.Minimum(), 10);
  EXPECT_EQ(x.Maximum(), 22050);
  EXPECT_EQ(x.Increment(), 50000);
  EXPECT_EQ(x.TitleCaption(), "Frequency [Hz]");
  EXPECT_EQ(w->Chart1->LeftAxis().TitleCaption(), "Amplitude [dB]");
  EXPECT_EQ(w->Chart1->LeftAxis().Minimum(), -100);
  EXPECT_EQ(w->Series1->Title(), "L");
  EXPECT_EQ(w->Series4->Title(), "Rmax");

  EXPECT_EQ(QDir::current().canonicalPath(),
            QDir(QCoreApplication::applicationDirPath()).canonicalPath());
  EXPECT_TRUE(w->ProgramDirectory.endsWith(QDir::separator()));
}

TEST_F(MainwindowTest, OpensCentredWithAnElevenPixelFontInWhichEveryCaptionFits) {
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE((w->frameGeometry().center() - screen.center()).manhattanLength(), 2);
  EXPECT_EQ(w->font().pixelSize(), 11);

  for (QPushButton* b : w->findChildren<QPushButton*>()) {
    QStyleOptionButton opt;
    opt.initFrom(b);
    const int room = b->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, b).width();
    EXPECT_LE(b->fontMetrics().horizontalAdvance(b->text()), room) << b->text().toStdString();
  }
  for (QAbstractButton* b : w->findChildren<QAbstractButton*>()) {
    if (qobject_cast<QPushButton*>(b)) continue;
    EXPECT_LE(b->sizeHint().width(), b->width()) << b->text().toStdString();
    EXPECT_LE(b->geometry().right(), b->parentWidget()->width()) << b->text().toStdString();
  }
  for (QLabel* l : w->findChildren<QLabel*>())
    EXPECT_LE(l->fontMetrics().horizontalAdvance(l->text()), l->width()) << l->text().toStdString();
  for (QGroupBox* g : w->findChildren<QGroupBox*>())
    EXPECT_LE(g->fontMetrics().horizontalAdvance(g->title()) + 8, g->width())
        << g->title().toStdString();
  w->FillMarkerLists(2, true);
  for (QComboBox* c : w->findChildren<QComboBox*>()) {
    QStyleOptionComboBox opt;
    opt.initFrom(c);
    const int room =
        c->style()
            ->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, c)
            .width();
    for (const QString& item : Items(c))
      EXPECT_LE(c->fontMetrics().horizontalAdvance(item), room) << item.toStdString();
  }
}

TEST_F(MainwindowTest, EveryControlHasAnAccessibleNameAndTheDesignedTabOrder) {
  for (QWidget* c : w->findChildren<QWidget*>()) {
    if (qobject_cast<QAbstractButton*>(c) || qobject_cast<QComboBox*>(c) ||
        qobject_cast<QGroupBox*>(c) || qobject_cast<QLabel*>(c)) {
      EXPECT_FALSE(c->accessibleName().isEmpty()) << c->metaObject()->className();
    }
  }
  const QList<QWidget*> designed = {
      w->CSamplingRate, w->CFFTLength, w->CWindow, w->BStart,    w->BStop,        w->CAvg,
      w->CBMaxHold,     w->CBMarker1,  w->CMark1,  w->CBMarker2, w->BGoniometer,  w->Button1,
      w->BSaveChart,    w->BOptions,   w->BAbout,  w->BQuit,     w->BBandAnalyser};
  QList<QWidget*> seen;
  QWidget* c = w->CSamplingRate;
  for (int guard = 0; guard < 200 && seen.size() < designed.size(); ++guard) {
    if (designed.contains(c) && !seen.contains(c)) seen << c;
    c = c->nextInFocusChain();
  }
  EXPECT_EQ(seen, designed);
}

TEST_F(MainwindowTest, ArrangeControlsKeepsTheMinimumAndFollowsTheWindowSize) {
  w->show();
  Settle();
  // The rule works on the outer size, frame included where the platform has one.
  const QSize frame = w->frameGeometry().size() - w->size();
  auto resizeOuter = [&](int width, int height) {
    w->resize(width - frame.width(), height - frame.height());
    Settle();
  };
  resizeOuter(800, 600);
  EXPECT_EQ(w->Chart1->geometry(), QRect(5, 5, 780, 435));
  EXPECT_EQ(w->CSettings->y(), 460);
  EXPECT_EQ(w->BevControl->geometry(), QRect(0, 452, 800, 2));

  resizeOuter(700, 200);
  EXPECT_EQ(w->frameGeometry().size(), QSize(800, 280));
  EXPECT_EQ(w->Chart1->size(), QSize(780, 115));

  resizeOuter(1000, 700);
  EXPECT_EQ(w->Chart1->geometry(), QRect(5, 5, 980, 535));
  for (QWidget* c : {static_cast<QWidget*>(w->CSettings), static_cast<QWidget*>(w->CFreqAxis),
                     static_cast<QWidget*>(w->CStartStop), static_cast<QWidget*>(w->CAverage),
                     static_cast<QWidget*>(w->GBMarker), static_cast<QWidget*>(w->GBControl)})
    EXPECT_EQ(c->y(), 560);
  EXPECT_EQ(w->CNumChannels->pos(), QPoint(224, 616));
  EXPECT_EQ(w->CMaxHold->pos(), QPoint(368, 624));
  EXPECT_EQ(w->GBControl->x(), 616);
}

namespace {

struct EnabledState {
  bool start, stop, rate, length, channels, window, avg, maxHold, marker1, marker2;
  bool operator==(const EnabledState&) const = default;
};

EnabledState StateOf(const TMainwindow* w) {
  return {w->BStart->isEnabled(),     w->BStop->isEnabled(),        w->CSamplingRate->isEnabled(),
          w->CFFTLength->isEnabled(), w->CNumChannels->isEnabled(), w->CWindow->isEnabled(),
          w->CAvg->isEnabled(),       w->CBMaxHold->isEnabled(),    w->CBMarker1->isEnabled(),
          w->CBMarker2->isEnabled()};
}

std::ostream& operator<<(std::ostream& o, const EnabledState& s) {
  return o << s.start << s.stop << s.rate << s.length << s.channels << s.window << s.avg
           << s.maxHold << s.marker1 << s.marker2;
}

}  // namespace

TEST_F(MainwindowTest, EnabledStateTableInBothRunModes) {
  const EnabledState atStart{true, true, true, true, true, true, true, true, false, false};
  const EnabledState runningFollowing{false, true,  true,  true, true,
                                      true,  false, false, true, true};
  const EnabledState runningFixed{false, true, false, false, false, true, false, false, true, true};
  const EnabledState stopped{true, true, true, true, true, true, true, true, true, true};
  EXPECT_EQ(StateOf(w), atStart);

  emit w->BStart->clicked();
  EXPECT_EQ(StateOf(w), runningFollowing);
  EXPECT_EQ(w->Averages.load(), 1);
  EXPECT_EQ(w->MaxHold.load(), 0);
  emit w->BStop->clicked();
  EXPECT_EQ(StateOf(w), stopped);

  // "5" averages, or max hold: of the settings only the window stays changeable.
  w->CAvg->setCurrentIndex(4);
  emit w->BStart->clicked();
  EXPECT_EQ(w->Averages.load(), 5);
  EXPECT_EQ(StateOf(w), runningFixed);
  emit w->BStop->clicked();
  EXPECT_EQ(StateOf(w), stopped);

  w->CAvg->setCurrentIndex(0);
  w->CBMaxHold->setChecked(true);
  emit w->BStart->clicked();
  EXPECT_EQ(w->MaxHold.load(), 1);
  EXPECT_EQ(StateOf(w), runningFixed);
  emit w->BStop->clicked();
  EXPECT_EQ(StateOf(w), stopped);
  // Stop while stopped only enables again.
  emit w->BStop->clicked();
  EXPECT_EQ(StateOf(w), stopped);
}

TEST_F(MainwindowTest, StartReadsTheSettingsAndFocusMovesBetweenStartAndStop) {
  w->show();
  w->activateWindow();
  Settle();
  w->CSamplingRate->setCurrentIndex(0);
  w->CFFTLength->setCurrentIndex(7);
  w->CWindow->setCurrentIndex(4);
  w->CNumChannels->SetItemIndex(1);
  w->CBMaxHold->setChecked(true);
  emit w->BStart->clicked();
  EXPECT_EQ(w->CurrentSettings().SamplingRate, 8000.0);
  EXPECT_EQ(w->CurrentSettings().FFTLength, 32768.0);
  EXPECT_EQ(w->CurrentSettings().WindowIndex, 4);
  EXPECT_EQ(w->CurrentSettings().NumChannels, 2);
  EXPECT_EQ(w->MaxHold.load(), 1);
  EXPECT_EQ(Items(w->CMark1), QStringList({"L", "R", "Lmax", "Rmax"}));
  if (QGuiApplication::focusWindow() == w->windowHandle()) {
    EXPECT_TRUE(w->BStop->hasFocus());
  }
  emit w->BStop->clicked();
  if (QGuiApplication::focusWindow() == w->windowHandle()) {
    EXPECT_TRUE(w->BStart->hasFocus());
  }
}

TEST_F(MainwindowTest, SettingsChangeHandlersWhileStoppedAndRunning) {
  // While stopped, FFT length, window and channels wait for the next Start.
  w->Mark1Frequ = 100;
  w->Mark1Bin = 5;
  w->CFFTLength->setCurrentIndex(0);
  emit w->CFFTLength->activated(0);
  EXPECT_EQ(w->CurrentSettings().FFTLength, 2048.0);
  EXPECT_EQ(w->Mark1Bin, 0);
  EXPECT_EQ(w->Mark1Frequ, 0.0);
  w->CWindow->setCurrentIndex(1);
  emit w->CWindow->activated(1);
  EXPECT_EQ(w->CurrentSettings().WindowIndex, 0);
  w->CNumChannels->Item(1)->click();
  EXPECT_EQ(w->CurrentSettings().NumChannels, 1);

  // While a worker exists they reach the settings at once.
  emit w->BStart->clicked();
  ASSERT_NE(w->CalcThread, nullptr);
  w->CWindow->setCurrentIndex(2);
  emit w->CWindow->activated(2);
  EXPECT_EQ(w->CurrentSettings().WindowIndex, 2);
  w->CNumChannels->Item(0)->click();
  EXPECT_EQ(w->CurrentSettings().NumChannels, 1);
  w->CFFTLength->setCurrentIndex(5);
  emit w->CFFTLength->activated(5);
  EXPECT_EQ(w->CurrentSettings().FFTLength, 8192.0);
}

TEST_F(MainwindowTest, SamplingRate8000WhileStoppedRescalesFillsTheOptionsAndResetsMarkers) {
  emit w->BOptions->clicked();
  EXPECT_TRUE(FOptions->isVisible());
  w->Mark1Frequ = 215.3;
  w->Mark1Bin = 10;
  w->Mark2Frequ = 43.0;
  w->Mark2Bin = 2;
  w->CSamplingRate->setCurrentIndex(0);
  emit w->CSamplingRate->activated(0);
  EXPECT_EQ(w->CurrentSettings().SamplingRate, 8000.0);
  EXPECT_EQ(w->XAxisMin, 10);
  EXPECT_EQ(w->XAxisMax, 4000);
  EXPECT_EQ(w->Chart1->BottomAxis().Maximum(), 4000);
  EXPECT_EQ(FOptions->EXAxisMax->text(), "4000");
  EXPECT_EQ(FOptions->EXAxisMin->text(), "10");
  EXPECT_EQ(FOptions->EYAxisMin->text(), "-100");
  EXPECT_EQ(w->Mark1Frequ, 0.0);
  EXPECT_EQ(w->Mark1Bin, 0);
  EXPECT_EQ(w->Mark2Frequ, 0.0);
  EXPECT_EQ(w->Mark2Bin, 0);
}

TEST_F(MainwindowTest, ScaleAxesEdgeCases) {
  TChartAxis& x = w->Chart1->BottomAxis();
  // 11025 in log mode: the axis ends at 5512 and so does XAxisMax.
  w->CSamplingRate->setCurrentIndex(2);
  emit w->CSamplingRate->activated(2);
  EXPECT_EQ(x.Maximum(), 5512);
  EXPECT_EQ(w->XAxisMax, 5512);
  EXPECT_TRUE(x.Logarithmic());

  // 44100: log to lin turns 10 into 0, with labels every 2000 Hz; back again gives 10.
  w->CSamplingRate->setCurrentIndex(7);
  emit w->CSamplingRate->activated(7);
  w->CFreqAxis->Item(0)->click();
  EXPECT_FALSE(x.Logarithmic());
  EXPECT_EQ(w->XAxisMin, 0);
  EXPECT_EQ(x.Minimum(), 0);
  EXPECT_EQ(x.Maximum(), 22050);
  EXPECT_EQ(x.Increment(), 2000);
  w->CFreqAxis->Item(1)->click();
  EXPECT_TRUE(x.Logarithmic());
  EXPECT_EQ(w->XAxisMin, 10);
  EXPECT_EQ(x.Minimum(), 10);
  EXPECT_EQ(x.Increment(), 50000);

  // XAxisMin 5 in log mode stays 5; 10 in lin mode becomes 0.
  w->SetAxisLimits(5, 22050, -60, 20);
  w->ScaleAxes();
  EXPECT_EQ(w->XAxisMin, 5);
  EXPECT_EQ(x.Minimum(), 5);
  EXPECT_EQ(w->Chart1->LeftAxis().Minimum(), -60);
  EXPECT_EQ(w->Chart1->LeftAxis().Maximum(), 20);
  EXPECT_EQ(w->Chart1->LeftAxis().Increment(), 5);
  w->CFreqAxis->SetItemIndex(0);
  w->SetAxisLimits(10, 22050, -100, 0);
  w->ScaleAxes();
  EXPECT_EQ(w->XAxisMin, 0);

  // Linear label steps by sampling rate band.
  const std::pair<int, double> steps[] = {{0, 500},  {4, 500},  {5, 1000}, {6, 1000},
                                          {8, 2000}, {9, 4000}, {10, 4000}};
  for (const auto& [index, step] : steps) {
    w->CSamplingRate->setCurrentIndex(index);
    emit w->CSamplingRate->activated(index);
    EXPECT_EQ(x.Increment(), step) << index;
    EXPECT_EQ(x.Maximum(), std::trunc(w->CurrentSettings().SamplingRate / 2));
  }
}

TEST_F(MainwindowTest, AnErrorInAHandlerIsShownAndTheProgramGoesOn) {
  // A negative frequency limit cannot form a logarithmic axis: the chart refuses.
  w->CFreqAxis->SetItemIndex(0);
  w->SetAxisLimits(10, -5, -100, 0);
  w->CFreqAxis->Item(1)->click();
  // The message is posted, never shown inside whatever rescaled (a hand-over, a handler).
  EXPECT_TRUE(messages.empty());
  QCoreApplication::processEvents();
  ASSERT_EQ(messages.size(), 1);
  EXPECT_FALSE(messages[0].isEmpty());
  // Rescaled again, it is said once and not again until the limits work.
  w->ScaleAxes();
  w->ScaleAxes();
  QCoreApplication::processEvents();
  EXPECT_EQ(messages.size(), 1);
  w->SetAxisLimits(10, 22050, -100, 0);
  w->CFreqAxis->Item(1)->click();
  QCoreApplication::processEvents();
  EXPECT_EQ(messages.size(), 1);
  EXPECT_TRUE(w->Chart1->BottomAxis().Logarithmic());
  w->SetAxisLimits(10, -5, -100, 0);
  w->ScaleAxes();
  QCoreApplication::processEvents();
  EXPECT_EQ(messages.size(), 2);

  // Whatever escapes an event's dispatch is shown, and the loop goes on.
  EXPECT_FALSE(TApplication::GuardedDispatch([]() -> bool { throw std::runtime_error("boom"); }));
  EXPECT_EQ(messages.last(), "boom");
  EXPECT_TRUE(TApplication::GuardedDispatch([] { return true; }));
  EXPECT_EQ(messages.size(), 3);
  auto handler = Guarded([] { throw std::logic_error("handler failed"); });
  handler();
  EXPECT_EQ(messages.last(), "handler failed");
}

TEST_F(MainwindowTest, LogGridHasItsThirtyLinesAtTheExpectedPlaces) {
  const auto& lines = LogGridLines();
  ASSERT_EQ(lines.size(), 30u);
  QStringList labels;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) {
      EXPECT_LT(lines[i - 1].Frequency, lines[i].Frequency);
    }
    if (lines[i].Labelled) labels << QString("%1:%2").arg(lines[i].Label).arg(lines[i].Offset);
  }
  EXPECT_EQ(lines.front().Frequency, 20);
  EXPECT_EQ(lines.back().Frequency, 40000);
  EXPECT_EQ(labels, QStringList({"20:1", "50:1", "100:7", "200:7", "500:7", "1000:12", "2000:12",
                                 "5000:12", "10000:16", "20000:16", "40000:16"}));

  // At 96000 Hz the axis reaches 48000, so every line from 20 to 40000 Hz lies in the plot.
  w->CSamplingRate->setCurrentIndex(10);
  emit w->CSamplingRate->activated(10);
  w->Chart1->resize(780, 435);
  const QImage image = w->Chart1->RenderImage();
  const QRgb grey = qRgb(128, 128, 128);
  ASSERT_GT(w->GridBase, 20);
  EXPECT_EQ(w->GridBase, w->Chart1->LeftAxis().ValueToY(w->YAxisMin));
  EXPECT_EQ(w->GridTickEnd, w->GridBase + 4);
  auto greyRun = [&](int x, int from, int to) {
    int n = 0;
    for (int y = from; y <= to; ++y)
      n += image.pixel(x, y) == grey ? 1 : 0;
    return n;
  };
  const int span = w->GridBase - w->GridTop;
  int previousX = -1;
  for (const TLogGridLine& line : lines) {
    const int x = w->Chart1->BottomAxis().ValueToX(line.Frequency);
    EXPECT_GT(x, previousX);
    EXPECT_LT(x, w->Chart1->width());
    previousX = x;
    EXPECT_GE(greyRun(x, w->GridTop, w->GridBase), span / 3) << line.Frequency;
    // Labelled lines reach 4 pixels below the plot, the others stop at its edge.
    EXPECT_EQ(greyRun(x, w->GridBase + 1, w->GridBase + 3) > 0, line.Labelled) << line.Frequency;
  }
  // Between two lines there is no vertical line.
  const int between =
      (w->Chart1->BottomAxis().ValueToX(20) + w->Chart1->BottomAxis().ValueToX(30)) / 2;
  EXPECT_LT(greyRun(between, w->GridTop, w->GridBase), span / 5);

  // In lin mode the program draws no grid of its own.
  w->CFreqAxis->Item(0)->click();
  const QImage lin = w->Chart1->RenderImage();
  const int x1000 = w->Chart1->BottomAxis().ValueToX(1000);
  int n = 0;
  for (int y = w->GridBase + 1; y <= w->GridBase + 3; ++y)
    n += lin.pixel(x1000, y) == grey;
  EXPECT_EQ(n, 0);
}

TEST_F(MainwindowTest, TracesTakeTheWorkersPointsInTheirColours) {
  w->ClearTrace(1);
  w->AddTracePoint(1, 0.0, -20.0, clBlue);
  w->AddTracePoint(2, 0.0, -30.0, clRed);
  w->AddTracePoint(3, 10.0, -10.0, clBlue);
  w->AddTracePoint(4, 10.0, -15.0, clRed);
  EXPECT_EQ(w->Series1->Colours().at(0), clBlue);
  EXPECT_EQ(w->Series2->Colours().at(0), clRed);
  EXPECT_EQ(w->Series3->YValues().at(0), -10.0);
  EXPECT_EQ(w->Series4->XValues().at(0), 10.0);
  w->ClearTrace(4);
  EXPECT_EQ(w->Series4->PointCount(), 0);
  w->AddTracePoint(5, 0, 0, clBlue);  // no such trace: ignored
  EXPECT_EQ(w->Series1->PointCount(), 1);
}

TEST_F(MainwindowTest, ABlockFillsTheFourTracesInTheirColoursAndUndoesAZoom) {
  // The main chart is a consumer like every window: it fills its own traces from the block.
  const double f[] = {0.0, 100.0, 200.0};
  const double l[] = {-10.0, -20.0, -30.0}, r[] = {-11.0, -21.0, -31.0};
  const double ml[] = {-1.0, -2.0, -3.0}, mr[] = {-4.0, -5.0, -6.0};
  SpectrumBlock b;
  b.NumChannels = 2;
  b.Bins = 3;
  b.Frequency = f;
  b.LevelL = l;
  b.LevelR = r;
  b.MaxLevelL = ml;
  b.MaxLevelR = mr;
  w->Chart1->BottomAxis().SetRange(500, 600);  // as a mouse zoom leaves it
  w->Chart1->LeftAxis().SetRange(-50, -40);
  int shown = 0;
  QObject::connect(w, &TMainwindow::TracesShown, [&] { ++shown; });
  EXPECT_TRUE(w->Receiving());
  w->ShowSpectrum(b);
  EXPECT_EQ(shown, 1);
  const TChartSeries* series[] = {w->Series1, w->Series2, w->Series3, w->Series4};
  const double* want[] = {l, r, ml, mr};
  for (int s = 0; s < 4; ++s) {
    SCOPED_TRACE(s);
    ASSERT_EQ(series[s]->PointCount(), 3);
    for (int k = 0; k < 3; ++k) {
      EXPECT_EQ(series[s]->XValues()[k], f[k]);
      EXPECT_EQ(series[s]->YValues()[k], want[s][k]);
      EXPECT_EQ(series[s]->Colours()[k], s % 2 ? clRed : clBlue);
    }
  }
  EXPECT_EQ(w->Chart1->BottomAxis().Minimum(), w->XAxisMin);
  EXPECT_EQ(w->Chart1->BottomAxis().Maximum(), w->XAxisMax);
  EXPECT_EQ(w->Chart1->LeftAxis().Minimum(), w->YAxisMin);
  EXPECT_EQ(w->Chart1->LeftAxis().Maximum(), w->YAxisMax);

  // Mono without max hold: "R", "Lmax" and "Rmax" are emptied.
  b.NumChannels = 1;
  b.LevelR = b.MaxLevelL = b.MaxLevelR = nullptr;
  w->ShowSpectrum(b);
  EXPECT_EQ(w->Series1->PointCount(), 3);
  for (const TChartSeries* s : {w->Series2, w->Series3, w->Series4})
    EXPECT_EQ(s->PointCount(), 0);
}

TEST_F(MainwindowTest, AWholeTraceAtOnceEqualsItPointByPoint) {
  const double x[] = {0.0, 10.0, 20.0, 40.0};
  const double y[] = {-20.0, -30.0, -25.0, -60.0};
  for (const bool corrected : {false, true}) {
    SCOPED_TRACE(corrected ? "with a trace correction" : "without");
    if (corrected) w->TraceCorrection = [](double f) { return f / 10.0 + 1.0; };
    for (int series : {1, 2}) {
      w->ClearTrace(series);
      w->AddTracePoint(series, 5.0, -1.0, clRed);  // what is there already stays first
    }
    for (int k = 0; k < 4; ++k)
      w->AddTracePoint(1, x[k], y[k], clBlue);
    w->AddTracePoints(2, x, y, 4, clBlue);
    EXPECT_EQ(w->Series2->XValues(), w->Series1->XValues());
    EXPECT_EQ(w->Series2->YValues(), w->Series1->YValues());
    EXPECT_EQ(w->Series2->Colours(), w->Series1->Colours());
    ASSERT_EQ(w->Series2->PointCount(), 5);
    EXPECT_EQ(w->Series2->YValues()[1], -20.0);  // no correction at 0 Hz
    EXPECT_EQ(w->Series2->YValues()[4], corrected ? -55.0 : -60.0);
  }
  w->TraceCorrection = nullptr;
  w->AddTracePoints(5, x, y, 4, clBlue);  // no such trace: ignored
  EXPECT_EQ(w->Series1->PointCount(), 5);
}

TEST_F(MainwindowTest, TheOldWorkersEndDoesNotClearTheNewWorker) {
  emit w->BStart->clicked();
  TCalcSpectrumThread* first = w->CalcThread;
  ASSERT_NE(first, nullptr);
  emit w->BStop->clicked();
  EXPECT_EQ(w->CalcThread, first);
  emit w->BStart->clicked();
  TCalcSpectrumThread* second = w->CalcThread;
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  // The workers end here, so that the calls below stand for their end events; a worker
  // dropped while still running would outlive the windows it reads.
  for (TCalcSpectrumThread* t : {first, second})
    ASSERT_TRUE(t->Shutdown(3000));
  w->DeleteThread(first);
  EXPECT_EQ(w->CalcThread, second);
  w->DeleteThread(second);
  EXPECT_EQ(w->CalcThread, nullptr);
}

TEST_F(MainwindowTest, SettersAccessorsAndToolWindowButtons) {
  w->SetAxisLimits(20, 20000, -120, 10);
  EXPECT_EQ(w->XAxisMin, 20);
  EXPECT_EQ(w->XAxisMax, 20000);
  EXPECT_EQ(w->YAxisMin, -120);
  EXPECT_EQ(w->YAxisMax, 10);
  w->SetCorrFactor(3.5);
  EXPECT_EQ(w->CurrentSettings().CorrFactor, 3.5);

  emit w->BGoniometer->clicked();
  EXPECT_EQ(w->CurrentSettings().GoniometerOpen, 1);
  EXPECT_TRUE(FGoniometer->isVisible());
  w->ClearGoniometerOpen();
  EXPECT_EQ(w->CurrentSettings().GoniometerOpen, 0);
  emit w->BBandAnalyser->clicked();
  EXPECT_EQ(w->CurrentSettings().BandAnalyserOpen, 1);
  EXPECT_TRUE(FBandAnalyser->isVisible());
  FBandAnalyser->hide();
  EXPECT_EQ(w->CurrentSettings().BandAnalyserOpen, 1);
  emit w->BAbout->clicked();
  EXPECT_TRUE(FAbout->isVisible());

  emit w->BOptions->clicked();
  EXPECT_TRUE(FOptions->isVisible());
  EXPECT_EQ(FOptions->EXAxisMin->text(), "20");
  EXPECT_EQ(FOptions->EYAxisMax->text(), "10");
  EXPECT_EQ(FOptions->ECorrFactor->text(), QLocale().toString(3.5));
  // A second click refills the edits, discarding what was typed.
  FOptions->EXAxisMin->setText("abc");
  emit w->BOptions->clicked();
  EXPECT_EQ(FOptions->EXAxisMin->text(), "20");
}

TEST_F(MainwindowTest, TheOptionsDialogShowsTheCorrectionWithTheUsersDecimalSeparator) {
  const QLocale saved;
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  w->SetCorrFactor(1.5);
  w->FillOptionsDialog();
  EXPECT_EQ(FOptions->ECorrFactor->text(), "1,5");
  w->SetCorrFactor(12345.25);
  w->FillOptionsDialog();
  EXPECT_EQ(FOptions->ECorrFactor->text(), "12345,25");
  w->SetCorrFactor(0.0);
  w->FillOptionsDialog();
  EXPECT_EQ(FOptions->ECorrFactor->text(), "0");
  EXPECT_EQ(FormatReadout(-20.44), "-20,4");
  QLocale::setDefault(saved);
  EXPECT_EQ(FormatReadout(22050),
            QLocale().toString(22050.0, 'f', 1).remove(QLocale().groupSeparator()));
}

TEST_F(MainwindowTest, QuitWhileRunningEndsCleanly) {
  bool closed = false;
  QObject::connect(w, &TMainwindow::Closed, [&] { closed = true; });
  w->show();
  emit w->BStart->clicked();
  emit w->BQuit->clicked();
  EXPECT_TRUE(closed);
  EXPECT_FALSE(w->isVisible());
  EXPECT_EQ(w->CalcThread, nullptr);
}

namespace {

class CountingConsumer : public SpectrumConsumer {
 public:
  std::atomic<bool> receiving{true};
  int spectra = 0, samples = 0, bins = 0, frames = 0;
  bool Receiving() const override { return receiving; }
  void ShowSpectrum(const SpectrumBlock& b) override {
    ++spectra;
    bins = b.Bins;
    if (b.SamplesL) ++samples;
    frames = b.Frames;
  }
};

}  // namespace

TEST_F(MainwindowTest, StartFeedsTheRegisteredConsumersThatAreReceiving) {
  tvtest::TempDir dir;
  const std::string loop = dir.File("loop.raw");
  tvtest::WriteRawFile(loop, tvtest::MakeTone(8000, 1, 8000, {1000.0}, {8000.0}));
  tvtest::UsePacedLoopDevice(dir.Path(), loop, 1);
  CountingConsumer shown, hidden;
  hidden.receiving = false;
  w->SpectrumConsumers = {&shown, &hidden};
  w->CFFTLength->setCurrentIndex(0);
  w->CSamplingRate->setCurrentIndex(10);
  emit w->BStart->clicked();
  TCalcSpectrumThread* t = w->CalcThread;
  ASSERT_NE(t, nullptr);
  QElapsedTimer clock;
  clock.start();
  while (t->BlocksShown() < 3 && clock.elapsed() < 10000)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  emit w->BStop->clicked();
  ASSERT_TRUE(t->Shutdown(3000));
  EXPECT_GE(shown.spectra, 3);
  EXPECT_EQ(shown.spectra, t->BlocksShown());
  EXPECT_EQ(shown.samples, shown.spectra);
  EXPECT_EQ(shown.bins, 128);
  EXPECT_EQ(shown.frames, 256);
  EXPECT_EQ(hidden.spectra + hidden.samples, 0);
  w->DeleteThread(t);
}

namespace {

void MouseDrag(QWidget* c, Qt::MouseButton button, QPoint from, QPoint to) {
  auto send = [&](QEvent::Type type, QPoint at) {
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : button;
    QMouseEvent e(type, at, c->mapToGlobal(at), type == QEvent::MouseMove ? Qt::NoButton : button,
                  held, Qt::NoModifier);
    QApplication::sendEvent(c, &e);
  };
  send(QEvent::MouseButtonPress, from);
  send(QEvent::MouseMove, (from + to) / 2);
  send(QEvent::MouseMove, to);
  send(QEvent::MouseButtonRelease, to);
}

}  // namespace

TEST_F(MainwindowTest, RestoreAfterARateChangeBringsBackTheNewRanges) {
  w->show();
  Settle();
  TChartAxis& bottom = w->Chart1->BottomAxis();
  const QPoint at = w->Chart1->PlotRect().topLeft() + QPoint(60, 40);
  MouseDrag(w->Chart1, Qt::LeftButton, at, at + QPoint(200, 150));
  EXPECT_GT(bottom.Minimum(), 10.0);
  // 8000 Hz while stopped: the axis becomes 10 to 4000.
  w->CSamplingRate->setCurrentIndex(0);
  w->CSamplingRateChange();
  EXPECT_EQ(bottom.Minimum(), 10.0);
  EXPECT_EQ(bottom.Maximum(), 4000.0);
  MouseDrag(w->Chart1, Qt::LeftButton, at, at + QPoint(200, 150));
  EXPECT_LT(bottom.Maximum(), 4000.0);
  MouseDrag(w->Chart1, Qt::LeftButton, at + QPoint(200, 150), at);
  EXPECT_EQ(bottom.Minimum(), 10.0);
  EXPECT_EQ(bottom.Maximum(), 4000.0);
  EXPECT_EQ(w->Chart1->LeftAxis().Minimum(), -100.0);
  EXPECT_EQ(w->Chart1->LeftAxis().Maximum(), 0.0);
}

TEST(AvgList, DropsDownFiveRowsUnderFusion) {
  const QString before = QApplication::style()->name();
  QApplication::setStyle(QStringLiteral("Fusion"));
  const auto probe = TMainwindow::OutputDeviceProbe;
  TMainwindow::OutputDeviceProbe = [] { return true; };
  {
    TonvistaWindows windows;
    Mainwindow->show();
    Settle();
    QComboBox* avg = Mainwindow->CAvg;
    EXPECT_EQ(avg->maxVisibleItems(), 5);
    avg->showPopup();
    Settle();
    QAbstractItemView* view = avg->view();
    ASSERT_TRUE(view->isVisible());
    const int row = view->sizeHintForRow(0);
    ASSERT_GT(row, 0);
    // The popup's real height: five rows, not all twenty.
    const int rows = view->viewport()->height() / row;
    EXPECT_EQ(rows, 5) << "view " << view->viewport()->height() << " row " << row;
    EXPECT_LT(view->window()->height(), 7 * row);
    // The rest is reached by scrolling.
    EXPECT_TRUE(view->verticalScrollBar()->isVisible());
    avg->hidePopup();
  }
  TMainwindow::OutputDeviceProbe = probe;
  QApplication::setStyle(before);
}

// Keyboard and screen-reader access of all five windows: every control a user can operate or
// read has a name that assistive technology gets, and Tab walks each window in the order of its
// controls.
#include <QAbstractButton>
#include <QAbstractSlider>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QMap>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSet>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>
#include <cmath>
#include <string>
#include <vector>

#include "Dlgabout.h"
#include "Dlgbandanalyser.h"
#include "Dlgdistortion.h"
#include "Dlggoniometer.h"
#include "Dlgoptions.h"
#include "Dlgspectrogram.h"
#include "Levelbar.h"
#include "MainwindowFixture.h"

namespace {

QString Describe(const QWidget* w) {
  QString text;
  if (auto* b = qobject_cast<const QAbstractButton*>(w)) text = b->text();
  if (auto* l = qobject_cast<const QLabel*>(w)) text = l->text();
  if (auto* g = qobject_cast<const QGroupBox*>(w)) text = g->title();
  return QStringLiteral("%1 \"%2\" at %3,%4 in %5")
      .arg(QString::fromLatin1(w->metaObject()->className()), text)
      .arg(w->x())
      .arg(w->y())
      .arg(w->window()->windowTitle());
}

// The name a screen reader gets for a window.
QString AccessibleName(QWidget* w) {
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(w);
  return iface ? iface->text(QAccessible::Name) : QString();
}

// The caption a screen reader announces with a list or an edit (the caption's buddy).
QString LabelledBy(QWidget* w) {
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(w);
  if (!iface) return {};
  const auto labels = iface->relations(QAccessible::Label);
  return labels.isEmpty() ? QString() : labels.front().first->text(QAccessible::Name);
}

// The parts of a drop-down list (its popup, list view and scroll bars) belong to the list.
bool InsideComboBox(const QWidget* w) {
  // The drop-down list is a popup window of its own, still a child of the list.
  for (const QWidget* p = w->parentWidget(); p; p = p->parentWidget())
    if (qobject_cast<const QComboBox*>(p)) return true;
  return false;
}

bool IsInteractive(const QWidget* w) {
  return qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QComboBox*>(w) ||
         qobject_cast<const QLineEdit*>(w) || qobject_cast<const QAbstractSlider*>(w) ||
         qobject_cast<const QGroupBox*>(w) || qobject_cast<const TLevelBar*>(w) ||
         qobject_cast<const TChart*>(w) || (w->focusPolicy() & Qt::TabFocus);
}

std::vector<QWidget*> Controls(QWidget* window) {
  std::vector<QWidget*> out;
  for (QWidget* w : window->findChildren<QWidget*>())
    if (!InsideComboBox(w)) out.push_back(w);
  return out;
}

QMap<QLabel*, QString> LabelTexts(QWidget* window) {
  QMap<QLabel*, QString> texts;
  for (QLabel* l : window->findChildren<QLabel*>())
    texts[l] = l->text();
  return texts;
}

// Follows the Tab key from the first widget until it comes back, at most 100 steps.
QList<QWidget*> TabCycle(QWidget* first) {
  first->setFocus(Qt::TabFocusReason);
  QList<QWidget*> seen;
  for (int i = 0; i < 100; ++i) {
    QWidget* now = QApplication::focusWidget();
    if (!now || (!seen.isEmpty() && now == seen.front())) break;
    seen << now;
    QTest::keyClick(now, Qt::Key_Tab);
  }
  return seen;
}

std::vector<std::string> Names(const QList<QWidget*>& widgets) {
  std::vector<std::string> names;
  for (QWidget* w : widgets)
    names.push_back(Describe(w).toStdString());
  return names;
}

class Accessibility : public MainwindowTest {
 protected:
  std::vector<QWidget*> Windows() const {
    return {w, FAbout, FGoniometer, FOptions, FBandAnalyser, FDistortion};
  }

  // Puts something into every read-out the way use does, so that the labels showing values
  // can be told from the fixed captions by whether their text changed.
  void ShowValuesEverywhere() {
    for (QCheckBox* box : {w->CBMarker1, w->CBMarker2}) {
      box->setEnabled(true);
      box->setChecked(true);
    }
    w->FillMarkerLists(2, true);
    w->CBMarker1Click();
    w->CBMarker2Click();
    Fill(w->Series1, 1024, 44100.0 / 2048, [](int i) { return -20.0 - 0.01 * i; });
    Fill(w->Series2, 1024, 44100.0 / 2048, [](int i) { return -30.0 - 0.01 * i; });
    for (int i = 0; i < 3; ++i)
      emit w->BMark1_Inc->clicked();
    emit w->BMark2_Inc->clicked();
    w->Chart1->RenderImage();

    std::vector<double> left(2048), right(2048);
    for (size_t i = 0; i < left.size(); ++i) {
      left[i] = 16000 * std::sin(0.05 * static_cast<double>(i));
      right[i] = 8000 * std::sin(0.07 * static_cast<double>(i));
    }
    FGoniometer->ShowBlock(left.data(), right.data(), 2048);
    FGoniometer->TFactor->setValue(5);
    FGoniometer->CLevelMeterMax->setCurrentIndex(2);
    FGoniometer->ELevelMeterCorrFactor->setText("3");
    FGoniometer->BSetLevelMeterCorrFactorClick();
  }
};

TEST_F(Accessibility, EveryControlAndReadoutHasAUniqueName) {
  std::vector<QMap<QLabel*, QString>> before;
  for (QWidget* window : Windows())
    before.push_back(LabelTexts(window));
  ShowValuesEverywhere();

  int readouts = 0;
  int controls = 0;
  for (size_t k = 0; k < Windows().size(); ++k) {
    QWidget* window = Windows()[k];
    SCOPED_TRACE(window->windowTitle().toStdString());
    EXPECT_FALSE(AccessibleName(window).isEmpty());
    QMap<QString, QWidget*> named;
    for (QWidget* c : Controls(window)) {
      auto* label = qobject_cast<QLabel*>(c);
      const bool showsValues = label && before[k].value(label) != label->text();
      if (!IsInteractive(c) && !showsValues) continue;
      const QString name = c->accessibleName();
      ++(showsValues ? readouts : controls);
      if (name.isEmpty()) {
        ADD_FAILURE() << "no accessible name: " << Describe(c).toStdString();
        continue;
      }
      // A caption of words is what a user would ask for, so the name must say it.
      QString caption;
      if (auto* b = qobject_cast<QAbstractButton*>(c)) caption = b->text().remove('&');
      if (auto* g = qobject_cast<QGroupBox*>(c)) caption = g->title().remove('&');
      if (caption.contains(QRegularExpression("[A-Za-z]"))) {
        EXPECT_TRUE(name.contains(caption))
            << Describe(c).toStdString() << " named " << name.toStdString();
      }
      if (named.contains(name))
        ADD_FAILURE() << "\"" << name.toStdString() << "\" names both "
                      << Describe(named[name]).toStdString() << " and "
                      << Describe(c).toStdString();
      named[name] = c;
    }
  }
  // The walk must have met the windows' controls and read-outs, not an empty tree.
  EXPECT_GE(controls, 31 + 40);
  // Six marker read-outs; two levels, the factor, the correction and nine scale marks.
  EXPECT_GE(readouts, 6 + 13);
}

// Lists and edits with a caption beside them are announced with it.
TEST_F(Accessibility, CaptionedListsAndEditsAreLabelledByTheirCaption) {
  const std::pair<QWidget*, const char*> cases[] = {
      {w->CSamplingRate, "Sampling Rate:"},
      {w->CFFTLength, "FFT Length:"},
      {w->CWindow, "Window:"},
      {FGoniometer->CLevelMeterMode, "Level Meter Mode:"},
      {FGoniometer->CLevelMeterMax, "Level Meter Max:"},
      {FGoniometer->CLevelMeterMin, "Level Meter Min:"},
      {FGoniometer->ELevelMeterCorrFactor, "Correction Factor:"},
      {FBandAnalyser->CBChannelSel, "Chan. Selection:"},
      {FOptions->EYAxisMin, "y-Axis Min:"},
      {FOptions->EYAxisMax, "y-Axis Max:"},
      {FOptions->EXAxisMin, "x-Axis Min:"},
      {FOptions->EXAxisMax, "x-Axis Max:"},
      {FOptions->ECorrFactor, "Factor:"},
  };
  for (const auto& [control, caption] : cases)
    EXPECT_EQ(LabelledBy(control), caption) << Describe(control).toStdString();
}

TEST_F(Accessibility, TabWalksEveryWindowInTheOrderOfItsControls) {
  // Every control enabled, as it can be at some moment of use; Tab skips disabled ones.
  for (QWidget* window : Windows())
    for (QWidget* c : window->findChildren<QWidget*>())
      c->setEnabled(true);

  struct Case {
    QWidget* window;
    QList<QWidget*> order;
  };
  // The radio groups are one stop each: Tab lands on the selected item, the arrows move
  // within the group.
  const std::vector<Case> cases = {
      {w,
       {w->CSamplingRate, w->CFFTLength, w->CWindow, w->CFreqAxis->Item(1),
        w->CNumChannels->Item(0), w->BStart, w->BStop, w->CAvg, w->CBMaxHold, w->CBMarker1,
        w->CMark1, w->BMark1_Dec, w->BMark1_Inc, w->CBMarker2, w->CMark2, w->BMark2_Dec,
        w->BMark2_Inc, w->BGoniometer, w->Button1, w->BSaveChart, w->BOptions, w->BAbout, w->BQuit,
        // The chart's menu button stays out of the cycle: the stored order is unchanged.
        w->BBandAnalyser, w->Chart1}},
      {FGoniometer,
       {FGoniometer->CLevelMeterMode, FGoniometer->CLevelMeterMax, FGoniometer->CLevelMeterMin,
        FGoniometer->ELevelMeterCorrFactor, FGoniometer->BSetLevelMeterCorrFactor,
        FGoniometer->BClose}},
      {FBandAnalyser, {FBandAnalyser->CBChannelSel, FBandAnalyser->Button1}},
      {FOptions,
       {FOptions->EYAxisMin, FOptions->EYAxisMax, FOptions->EXAxisMin, FOptions->EXAxisMax,
        FOptions->ECorrFactor, FOptions->BClearGraph1, FOptions->BClearGraph2,
        FOptions->BClearGraph3, FOptions->BClearGraph4, FOptions->Button1, FOptions->Button2}},
      {FAbout, {FAbout->Label10, FAbout->Label11, FAbout->Button1}},
      {FDistortion, {FDistortion->CAverages, FDistortion->Button1}},
      {FSpectrogram,
       {FSpectrogram->CChannel, FSpectrogram->CFreqAxis, FSpectrogram->EFloor,
        FSpectrogram->ECeiling, FSpectrogram->EHistory, FSpectrogram->BPause,
        FSpectrogram->BSaveImage, FSpectrogram->BClose}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.window->windowTitle().toStdString());
    c.window->show();
    QApplication::setActiveWindow(c.window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(c.window));
    EXPECT_EQ(Names(TabCycle(c.order.front())), Names(c.order));
    c.window->hide();
  }
}

// Within a radio group the arrow keys pick the item, as a click would.
TEST_F(Accessibility, ArrowKeysPickWithinARadioGroup) {
  w->show();
  QApplication::setActiveWindow(w);
  ASSERT_TRUE(QTest::qWaitForWindowActive(w));
  w->CWindow->setFocus(Qt::TabFocusReason);
  QTest::keyClick(w->CWindow, Qt::Key_Tab);
  ASSERT_EQ(QApplication::focusWidget(), w->CFreqAxis->Item(1));
  ASSERT_TRUE(w->Chart1->BottomAxis().Logarithmic());
  QTest::keyClick(w->CFreqAxis->Item(1), Qt::Key_Up);
  EXPECT_EQ(QApplication::focusWidget(), w->CFreqAxis->Item(0));
  EXPECT_EQ(w->CFreqAxis->ItemIndex(), 0);
  EXPECT_FALSE(w->Chart1->BottomAxis().Logarithmic());
  // The group stays one stop, now on the newly selected item.
  w->CWindow->setFocus(Qt::TabFocusReason);
  QTest::keyClick(w->CWindow, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), w->CFreqAxis->Item(0));
  QTest::keyClick(w->CFreqAxis->Item(0), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), w->CNumChannels->Item(0));
}

// A level bar reads out as a progress bar holding its level in dB.
TEST_F(Accessibility, LevelBarsReadTheirLevelInDb) {
  TLevelBar* bar = FBandAnalyser->BandBars[3];
  bar->SetPosition(-432);
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(bar);
  ASSERT_NE(iface, nullptr);
  EXPECT_EQ(iface->role(), QAccessible::ProgressBar);
  EXPECT_EQ(iface->text(QAccessible::Name), bar->accessibleName());
  QAccessibleValueInterface* value = iface->valueInterface();
  ASSERT_NE(value, nullptr);
  EXPECT_DOUBLE_EQ(value->currentValue().toDouble(), -43.2);
  EXPECT_DOUBLE_EQ(value->minimumValue().toDouble(), -100.0);
  EXPECT_DOUBLE_EQ(value->maximumValue().toDouble(), 0.0);
  EXPECT_EQ(iface->text(QAccessible::Value), QLocale().toString(-43.2, 'f', 1) + " dB");
  // It follows the bar.
  FGoniometer->PLevelMeter2->SetPosition(-60);
  EXPECT_DOUBLE_EQ(QAccessible::queryAccessibleInterface(FGoniometer->PLevelMeter2)
                       ->valueInterface()
                       ->currentValue()
                       .toDouble(),
                   -6.0);
}

}  // namespace

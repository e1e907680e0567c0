// The chart menu's shortcuts with a tool window in front: they reach the main window's
// commands from every window of the program.
#include <QAction>
#include <QMenu>
#include <QTest>
#include <functional>

#include "Dlgabout.h"
#include "Dlgbandanalyser.h"
#include "Dlgdistortion.h"
#include "Dlggoniometer.h"
#include "Dlgoctaveanalyser.h"
#include "Dlgoptions.h"
#include "Dlgspectrogram.h"
#include "Fileinput.h"
#include "MainwindowFixture.h"
#include "Referencetraces.h"

namespace {

void Activate(QWidget* window) {
  window->show();
  window->activateWindow();
  QApplication::setActiveWindow(window);
}

}  // namespace

class ToolWindowShortcuts : public MainwindowTest {
 protected:
  void SetUp() override {
    MainwindowTest::SetUp();
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
    emit w->BStart->clicked();  // fills the marker lists
    emit w->BStop->clicked();
    ASSERT_TRUE(WaitFor([&] { return w->CalcThread == nullptr; }, 5000));
  }
};

TEST_F(ToolWindowShortcuts, SpectrogramDistortionAndPeakWorkWithAToolWindowActive) {
  // Ctrl+G from the distortion window.
  FDistortion->show();
  Activate(FDistortion);
  ASSERT_TRUE(QTest::qWaitForWindowActive(FDistortion));
  ASSERT_FALSE(FSpectrogram->isVisible());
  QTest::keyClick(FDistortion, Qt::Key_G, Qt::ControlModifier);
  EXPECT_TRUE(FSpectrogram->isVisible());

  // Ctrl+D from the spectrogram.
  FDistortion->hide();
  Activate(FSpectrogram);
  ASSERT_TRUE(QTest::qWaitForWindowActive(FSpectrogram));
  QTest::keyClick(FSpectrogram, Qt::Key_D, Qt::ControlModifier);
  EXPECT_TRUE(FDistortion->isVisible());

  // Ctrl+P from the octave analyser: M1 on the peak of L.
  w->Series1->ClearPoints();
  for (int k = 0; k < 1024; ++k)
    w->Series1->AddPoint(k * 44100.0 / 2048,
                         k == 100              ? -10.0
                         : k == 99 || k == 101 ? -16.0
                                               : -90.0,
                         clBlue);
  Activate(FOctaveAnalyser);
  ASSERT_TRUE(QTest::qWaitForWindowActive(FOctaveAnalyser));
  ASSERT_FALSE(w->CBMarker1->isChecked());
  QTest::keyClick(FOctaveAnalyser, Qt::Key_P, Qt::ControlModifier);
  EXPECT_TRUE(w->CBMarker1->isChecked());
  EXPECT_TRUE(w->Mark1Peak);
  EXPECT_EQ(w->Mark1Bin, 100);
  for (QWidget* t : {static_cast<QWidget*>(FDistortion), static_cast<QWidget*>(FSpectrogram),
                     static_cast<QWidget*>(FOctaveAnalyser)})
    t->hide();
}

TEST_F(ToolWindowShortcuts, EveryEntryAnswersFromEveryToolWindow) {
  // Every entry of the menu and its submenus, whichever window is in front: counted by their
  // triggered signals, with the entries that open a file dialog answered at once.
  FileInput->DialogRunner = [] { return QString(); };
  const auto savedDialog = TReferenceTraces::FileDialog;
  TReferenceTraces::FileDialog = [](QWidget*, bool) { return QString(); };
  QWidget* const windows[] = {FDistortion,   FSpectrogram, FOctaveAnalyser, FGoniometer,
                              FBandAnalyser, FOptions,     FAbout};
  std::vector<QAction*> entries;
  std::function<void(QMenu*)> walk = [&](QMenu* m) {
    for (QAction* a : m->actions()) {
      if (a->menu())
        walk(a->menu());
      else if (!a->isSeparator() && !a->shortcut().isEmpty())
        entries.push_back(a);
    }
  };
  walk(w->Chart1->ChartMenu());
  ASSERT_GE(entries.size(), 12u);
  for (QWidget* window : windows) {
    SCOPED_TRACE(window->windowTitle().toStdString());
    Activate(window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    for (QAction* a : entries) {
      const QString caption = a->text();
      int fired = 0;
      const auto c = QObject::connect(a, &QAction::triggered, [&] { ++fired; });
      const QKeyCombination key = a->shortcut()[0];
      QTest::keyClick(QApplication::activeWindow() ? QApplication::activeWindow() : window,
                      key.key(), key.keyboardModifiers());
      QObject::disconnect(c);
      EXPECT_EQ(fired, 1) << caption.toStdString();
      // Leave the windows as they were: a tool window it opened closes again, toggles go back.
      if (a->isCheckable() && a->isChecked()) a->trigger();
      for (QWidget* t : windows)
        if (t != window && t->isVisible()) t->hide();
      Activate(window);
      ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    }
    window->hide();
  }
  TReferenceTraces::FileDialog = savedDialog;
}

// The program's own start-up (TApplication, TonvistaWindows, the main window shown), driven
// through its own controls and shortcuts on whatever platform QT_QPA_PLATFORM names: Start,
// every tool window (the main window's buttons, then each "..." entry of the chart's menu by its
// shortcut), a second of recording with all of them open, Stop, Quit. A compositor without
// input devices gives no window the keyboard, so the main window is made the active one here
// for its shortcuts to reach it.
//
//   e2e_drive_windows PLATFORM     (exits 0 only when every step was seen to happen)
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <vector>

#include "Application.h"
#include "Chart.h"
#include "Dlgabout.h"
#include "Dlgbandanalyser.h"
#include "Dlgdistortion.h"
#include "Dlggoniometer.h"
#include "Dlgoctaveanalyser.h"
#include "Dlgoptions.h"
#include "Dlgspectrogram.h"
#include "Mainwindowtonvista.h"

namespace {

// Paints per top-level window, counted as the application dispatches them.
class PaintCounter : public QObject {
 public:
  std::map<const QWidget*, int> paints;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && watched->isWidgetType())
      ++paints[static_cast<QWidget*>(watched)->window()];
    return false;
  }
};

bool failed = false;
// The test server's tone (half of full scale) stands far above this on trace "L".
constexpr double kToneAbove = -40.0;

void Fail(const char* what, const QString& detail = QString()) {
  if (!failed) std::fprintf(stderr, "drive: FAIL: %s %s\n", what, qPrintable(detail));
  failed = true;
}

// Whether the window is shown, exposed by the compositor and has painted at least `after`
// times more than `before`, within a few seconds.
bool ShownAndPainted(QWidget* w, PaintCounter& count, int before) {
  return QTest::qWaitFor(
      [&] {
        return w->isVisible() && w->windowHandle() && w->windowHandle()->isExposed() &&
               count.paints[w] > before;
      },
      10000);
}

void Click(QPushButton* button) {
  QTest::mouseClick(button, Qt::LeftButton);
}

// The chart menu's entries that open something ("..."), with a shortcut.
void WindowEntries(const QMenu* menu, std::vector<QAction*>& out) {
  for (QAction* a : menu->actions()) {
    if (a->menu())
      WindowEntries(a->menu(), out);
    else if (a->text().endsWith(QLatin1String("...")) && !a->shortcut().isEmpty())
      out.push_back(a);
  }
}

std::set<QWidget*> VisibleWindows() {
  std::set<QWidget*> out;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible() && !qobject_cast<QMenu*>(w)) out.insert(w);
  return out;
}

void Drive(const QString& platform, PaintCounter& count) {
  if (QGuiApplication::platformName() != platform)
    return Fail("the platform is", QGuiApplication::platformName());
  std::printf("drive: platform %s\n", qPrintable(platform));
  if (!ShownAndPainted(Mainwindow, count, 0)) return Fail("the main window did not show");
  QApplication::setActiveWindow(Mainwindow);

  // Start: blocks of the tone arrive and the chart shows them.
  Click(Mainwindow->BStart);
  const int chartPaints = count.paints[Mainwindow];
  if (!QTest::qWaitFor(
          [&] {
            const auto& levels = Mainwindow->Series1->YValues();
            return Mainwindow->CalcThread && !levels.empty() &&
                   *std::max_element(levels.begin(), levels.end()) > kToneAbove &&
                   count.paints[Mainwindow] >= chartPaints + 5;
          },
          10000))
    return Fail("no blocks of the tone were shown after Start");
  std::printf("drive: recording\n");

  // The windows of the main window's buttons.
  const std::pair<QPushButton*, QWidget*> buttons[] = {{Mainwindow->BGoniometer, FGoniometer},
                                                       {Mainwindow->BBandAnalyser, FBandAnalyser},
                                                       {Mainwindow->BOptions, FOptions},
                                                       {Mainwindow->BAbout, FAbout}};
  for (const auto& [button, window] : buttons) {
    const int before = count.paints[window];
    Click(button);
    if (!ShownAndPainted(window, count, before))
      return Fail("a window did not show:", window->windowTitle());
    std::printf("drive: shown \"%s\"\n", qPrintable(window->windowTitle()));
  }

  // Each entry of the chart's menu that opens something, by its shortcut. A modal dialog it
  // opens (a file dialog) is dismissed again; anything else is a tool window, which must show.
  std::vector<QAction*> entries;
  WindowEntries(Mainwindow->Chart1->ChartMenu(), entries);
  int toolWindows = 0;
  for (QAction* entry : entries) {
    QApplication::setActiveWindow(Mainwindow);
    const std::set<QWidget*> before = VisibleWindows();
    bool modal = false;
    QTimer dismiss;
    QObject::connect(&dismiss, &QTimer::timeout, [&] {
      if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
        modal = true;
        d->reject();
      }
    });
    dismiss.start(200);
    int triggered = 0;
    const auto connection = QObject::connect(entry, &QAction::triggered, [&] { ++triggered; });
    QTest::keySequence(Mainwindow, entry->shortcut());
    QObject::disconnect(connection);
    if (triggered != 1) return Fail("a shortcut did not trigger its entry:", entry->text());
    QWidget* shown = nullptr;
    (void)QTest::qWaitFor(
        [&] {
          for (QWidget* w : VisibleWindows())
            if (!before.count(w) && !w->isModal()) shown = w;
          return shown || modal;
        },
        3000);
    dismiss.stop();
    if (modal) {
      std::printf("drive: \"%s\" opened a dialog, dismissed\n", qPrintable(entry->text()));
      continue;
    }
    if (!shown) {
      // An entry with nothing to act on (no reference to save) says so and opens nothing.
      std::printf("drive: \"%s\" opened no window\n", qPrintable(entry->text()));
      continue;
    }
    if (!ShownAndPainted(shown, count, 0))
      return Fail("a tool window did not show:", shown->windowTitle());
    ++toolWindows;
    std::printf("drive: shown \"%s\" (%s)\n", qPrintable(shown->windowTitle()),
                qPrintable(entry->shortcut().toString()));
  }
  for (QWidget* w : std::initializer_list<QWidget*>{FDistortion, FSpectrogram, FOctaveAnalyser})
    if (!w || !w->isVisible()) return Fail("a tool window of the menu was not shown");

  // A second of blocks with every window open: the views go on painting.
  std::map<const QWidget*, int> before = count.paints;
  QTest::qWait(1000);
  for (QWidget* w : std::initializer_list<QWidget*>{Mainwindow, FGoniometer, FBandAnalyser,
                                                    FDistortion, FSpectrogram, FOctaveAnalyser})
    if (count.paints[w] <= before[w])
      return Fail("a window stopped painting while recording:", w->windowTitle());
  std::printf("drive: %d tool windows of the menu, all painting\n", toolWindows);

  // Stop: the worker ends.
  Click(Mainwindow->BStop);
  if (!QTest::qWaitFor([] { return Mainwindow->CalcThread == nullptr; }, 10000))
    return Fail("the worker did not end after Stop");
  std::printf("drive: stopped\n");
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s PLATFORM\n", argv[0]);
    return 2;
  }
  const QString platform = QString::fromLocal8Bit(argv[1]);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  TApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  QApplication::setFont(TonvistaFont());
  PaintCounter count;
  app.installEventFilter(&count);
  bool quit = false;
  {
    TonvistaWindows windows;
    QObject::connect(Mainwindow, &TMainwindow::Closed, &app, [&] {
      quit = true;
      QCoreApplication::quit();
    });
    Mainwindow->show();
    QTimer::singleShot(0, [&] {
      Drive(platform, count);
      // Quit through the button, as a user would; it ends the loop.
      Click(Mainwindow->BQuit);
    });
    // The loop must end by itself; a watchdog names the hang instead of waiting for the test's
    // timeout.
    QTimer::singleShot(120000, [] {
      Fail("the program did not end");
      QCoreApplication::exit(1);
    });
    app.exec();
  }
  app.removeEventFilter(&count);
  if (!quit) Fail("Quit did not close the main window");
  if (failed) return 1;
  std::printf("drive: passed\n");
  return 0;
}

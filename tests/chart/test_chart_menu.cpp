// The chart's menu (its button, right-click without a drag, shortcuts) and its state read-out.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "ChartTestUtil.h"

namespace {

int Dark(const QImage& img, const QRect& r) {
  return CountPixels(img, r, [](QRgb p) { return qGray(p) < 100; });
}

class ChartMenu : public ::testing::Test {
 protected:
  void SetUp() override {
    QLocale::setDefault(QLocale::c());
    SetUpSpectrumChart(c);
    c.BottomAxis().SetLogarithmic(false);
    c.BottomAxis().SetRange(0, 22050);
    c.BottomAxis().SetIncrement(2000);
  }
  void TearDown() override { c.ChartMenu()->hide(); }
  TChart c;
};

TEST_F(ChartMenu, ButtonOnlyWhileTheMenuHasEntriesAndNeverInExports) {
  c.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&c));
  const QImage exportBefore = c.RenderImage();
  const QImage screenBefore = c.grab().toImage();
  QToolButton* b = c.ChartMenuButton();
  EXPECT_FALSE(b->isVisible()) << "without entries the chart looks as it always has";

  QAction* a = c.ChartMenu()->addAction("Input");
  a->setShortcut(QKeySequence("Ctrl+Shift+I"));
  EXPECT_TRUE(b->isVisible());
  EXPECT_EQ(b->accessibleName(), "Chart menu");
  EXPECT_FALSE(b->focusPolicy() & Qt::TabFocus) << "the Tab cycle stays as it always was";
  // In the free margin right of the plot, at the top.
  const QRect plot = c.PlotRect();
  EXPECT_GT(b->geometry().left(), plot.right());
  EXPECT_LE(b->geometry().right(), c.width() - 1);
  EXPECT_LT(b->geometry().top(), 5);
  const QImage screen = c.grab().toImage();
  EXPECT_GT(Dark(screen, b->geometry()), 10) << "the button is drawn";
  EXPECT_EQ(Dark(screenBefore, b->geometry()), 0);
  EXPECT_EQ(c.RenderImage(), exportBefore) << "exports show the chart, not its button";

  c.ChartMenu()->removeAction(a);
  EXPECT_FALSE(b->isVisible());
}

TEST_F(ChartMenu, RightClickWithoutDragOpensTheMenuAndARightDragStillPans) {
  const QPoint at = c.PlotRect().center();
  const double b0 = c.BottomAxis().Minimum();
  // Without entries a right-click does nothing new.
  Drag(c, Qt::RightButton, at, at);
  EXPECT_FALSE(c.ChartMenu()->isVisible());

  c.ChartMenu()->addAction("Entry")->setShortcut(QKeySequence("Ctrl+Shift+E"));
  // A click that wobbles by a pixel is still a click, and pans nothing.
  Drag(c, Qt::RightButton, at, at + QPoint(1, 0));
  EXPECT_TRUE(c.ChartMenu()->isVisible());
  EXPECT_EQ(c.BottomAxis().Minimum(), b0);
  c.ChartMenu()->hide();

  Drag(c, Qt::RightButton, at, at + QPoint(-100, 0));
  EXPECT_FALSE(c.ChartMenu()->isVisible()) << "a drag pans, it opens nothing";
  EXPECT_GT(c.BottomAxis().Minimum(), b0 + 1000);

  // A drag that comes back to where it started is a drag as well.
  Send(c, QEvent::MouseButtonPress, Qt::RightButton, at);
  Send(c, QEvent::MouseMove, Qt::RightButton, at + QPoint(60, 0));
  Send(c, QEvent::MouseMove, Qt::RightButton, at);
  Send(c, QEvent::MouseButtonRelease, Qt::RightButton, at);
  EXPECT_FALSE(c.ChartMenu()->isVisible());

  // With panning off the click still opens the menu; the left button never does.
  c.SetAllowPanning(pmNone);
  Drag(c, Qt::LeftButton, at, at);
  EXPECT_FALSE(c.ChartMenu()->isVisible());
  Drag(c, Qt::RightButton, at, at);
  EXPECT_TRUE(c.ChartMenu()->isVisible());
  c.ChartMenu()->hide();

  // The keyboard's context-menu key opens it below its button.
  QContextMenuEvent key(QContextMenuEvent::Keyboard, QPoint(5, 5), c.mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(&c, &key);
  EXPECT_TRUE(c.ChartMenu()->isVisible());
}

TEST_F(ChartMenu, EntriesShortcutsWorkFromTheWindowAndAreShownInTheMenu) {
  QWidget window;
  auto* layout = new QVBoxLayout(&window);
  auto* chart = new TChart;
  layout->addWidget(chart);
  auto* other = new QToolButton;  // the focus elsewhere in the window
  layout->addWidget(other);
  window.resize(500, 400);
  int top = 0, sub = 0;
  QAction* a = chart->ChartMenu()->addAction("Top entry", [&] { ++top; });
  a->setShortcut(QKeySequence("Ctrl+Shift+T"));
  QMenu* input = chart->ChartMenu()->addMenu("Input");
  QAction* s = input->addAction("Sub entry", [&] { ++sub; });
  s->setShortcut(QKeySequence("Ctrl+Shift+U"));
  QAction* bare = input->addAction("No shortcut");
  chart->ChartMenu()->addSeparator();

  window.show();
  QApplication::setActiveWindow(&window);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  other->setFocus();
  QTest::keyClick(other, Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier);
  QTest::keyClick(other, Qt::Key_U, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(top, 1);
  EXPECT_EQ(sub, 1) << "entries of submenus work from the window too";

  // The check an owner runs over its entries.
  const std::vector<QAction*> missing = chart->MenuActionsWithoutShortcut();
  ASSERT_EQ(missing.size(), 1u);
  EXPECT_EQ(missing[0], bare);
  // QMenu shows a shortcut it knows; the chart leaves it in place.
  EXPECT_EQ(s->shortcut(), QKeySequence("Ctrl+Shift+U"));

  // Removed entries stop answering.
  chart->ChartMenu()->removeAction(a);
  QTest::keyClick(other, Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(top, 1);
  chart->ChartMenu()->removeAction(input->menuAction());
  QTest::keyClick(other, Qt::Key_U, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(sub, 1);

  // Tab reaches the chart; the menu key opens the menu.
  chart->ChartMenu()->addAction("Again")->setShortcut(QKeySequence("Ctrl+Shift+A"));
  chart->setFocus(Qt::TabFocusReason);
  EXPECT_TRUE(chart->hasFocus());
  bool opened = false;
  QTimer::singleShot(200, [&] {
    opened = chart->ChartMenu()->isVisible();
    chart->ChartMenu()->close();
  });
  QContextMenuEvent key(QContextMenuEvent::Keyboard, QPoint(5, 5),
                        chart->mapToGlobal(QPoint(5, 5)));
  QCoreApplication::sendEvent(chart, &key);
  QTest::qWait(300);
  EXPECT_TRUE(opened);
}

// The entries are the program's commands: their keys work with another of its windows in
// front, also for entries added later and in submenus, but not past a modal dialog.
TEST_F(ChartMenu, EntriesShortcutsWorkFromEveryWindowOfTheProgram) {
  QWidget main;
  auto* layout = new QVBoxLayout(&main);
  auto* chart = new TChart;
  layout->addWidget(chart);
  main.resize(500, 400);
  int top = 0, sub = 0;
  chart->ChartMenu()->addAction("Top entry", [&] { ++top; })->setShortcut(QKeySequence("Ctrl+G"));
  main.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));
  QMenu* input = chart->ChartMenu()->addMenu("Input");
  input->addAction("Sub entry", [&] { ++sub; })->setShortcut(QKeySequence("Ctrl+3"));

  QWidget tool(nullptr, Qt::Tool);
  auto* toolLayout = new QVBoxLayout(&tool);
  auto* button = new QToolButton;
  toolLayout->addWidget(button);
  tool.resize(200, 100);
  tool.show();
  tool.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&tool));
  ASSERT_EQ(QApplication::activeWindow(), &tool);
  button->setFocus();
  QTest::keyClick(button, Qt::Key_G, Qt::ControlModifier);
  QTest::keyClick(button, Qt::Key_3, Qt::ControlModifier);
  EXPECT_EQ(top, 1) << "from a tool window in front";
  EXPECT_EQ(sub, 1) << "submenu entries too";

  // A modal dialog keeps the keys to itself.
  QWidget modal(nullptr, Qt::Dialog);
  modal.setWindowModality(Qt::ApplicationModal);
  modal.resize(100, 50);
  modal.show();
  modal.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&modal));
  QTest::keyClick(&modal, Qt::Key_G, Qt::ControlModifier);
  EXPECT_EQ(top, 1);
  modal.hide();
}

TEST_F(ChartMenu, StateLineSitsAboveThePlotAndEmptyKeepsTheStoredLook) {
  const QRect plot = c.PlotRect();
  const QImage plain = c.RenderImage();
  EXPECT_TRUE(c.StateLineRect().isEmpty());

  c.SetStateLine("Monitor of Sink A: recording");
  const QRect moved = c.PlotRect();
  const QRect line = c.StateLineRect();
  ASSERT_FALSE(line.isEmpty());
  EXPECT_GT(moved.top(), plot.top()) << "the plot starts a line lower";
  EXPECT_EQ(moved.bottom(), plot.bottom());
  EXPECT_LT(line.bottom(), moved.top());
  EXPECT_GE(line.top(), 0);
  EXPECT_EQ(line.left(), moved.left());
  EXPECT_LT(line.right(), c.width() - 15) << "clear of the menu button";
  const QImage shown = c.RenderImage();
  EXPECT_GT(Dark(shown, line), 20) << "the text is drawn";
  EXPECT_EQ(Dark(plain, line), 0);

  // A new text of the same line leaves the layout; over-long text stays in its rectangle.
  c.SetStateLine("input gone: " + QString(200, 'x') + "\nsecond line");
  EXPECT_EQ(c.PlotRect(), moved);
  EXPECT_FALSE(c.StateLine().contains('\n'));
  const QImage longText = c.RenderImage();
  const QRect beyond(line.right() + 1, line.top(), c.width() - line.right() - 1, line.height());
  EXPECT_EQ(Dark(longText, beyond), 0);

  // The grid the owner draws after the chart does not run through the text.
  c.OnAfterDraw = [](TChart* sender, TChartCanvas& canvas) {
    canvas.SetPenColor(Qt::black);
    for (int x = 0; x < sender->width(); x += 2) {
      canvas.MoveTo(x, 1);
      canvas.LineTo(x, 40);
    }
  };
  c.SetStateLine("recording");
  const QImage withGrid = c.RenderImage();
  const QRect text(line.left() + 1, line.top(), 20, line.height());
  EXPECT_LT(Dark(withGrid, text), text.width() * text.height() / 2);
  c.OnAfterDraw = nullptr;

  c.SetStateLine("");
  EXPECT_EQ(c.PlotRect(), plot);
  EXPECT_EQ(c.RenderImage(), plain) << "empty: exactly as without a read-out";
}

}  // namespace

#include <gtest/gtest.h>

#include "Mainwindowtonvista.h"

TEST(MainWindow, OpensWithItsCaption) {
  TMainwindow window;
  EXPECT_EQ(window.windowTitle(), "TonvistaV1.9");
  EXPECT_EQ(Mainwindow, &window);
}

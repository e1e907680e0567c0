// Shared by the main-window tests: the five real windows, message boxes recorded instead of
// shown.
#pragma once

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <algorithm>
#include <functional>
#include <memory>

#include "Application.h"
#include "Chart.h"
#include "Mainwindowtonvista.h"

// Runs the event loop until `done` holds or `ms` have passed.
inline bool WaitFor(const std::function<bool()>& done, int ms) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// The frequency of the highest point of a trace, or -1 while it is empty.
inline double PeakHz(const TChartSeries* s) {
  const auto& y = s->YValues();
  if (y.empty()) return -1;
  return s->XValues()[static_cast<size_t>(std::max_element(y.begin(), y.end()) - y.begin())];
}

class MainwindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MessageBoxHook = [this](QWidget*, const QString& text) { messages << text; };
    // The machine running the tests may have no sound device; that warning has its own test.
    probe = TMainwindow::OutputDeviceProbe;
    TMainwindow::OutputDeviceProbe = [] { return true; };
    windows = std::make_unique<TonvistaWindows>();
    w = Mainwindow;
    ASSERT_NE(w, nullptr);
  }
  void TearDown() override {
    windows.reset();
    // Let the ended workers' end events and deferred deletes run.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    MessageBoxHook = nullptr;
    TMainwindow::OutputDeviceProbe = probe;
  }
  // Fills a trace with n points of bin spacing df and the given levels.
  static void Fill(TChartSeries* s, int n, double df, double (*level)(int)) {
    s->ClearPoints();
    for (int i = 0; i < n; ++i)
      s->AddPoint(i * df, level(i), clBlue);
  }

  QStringList messages;
  std::function<bool()> probe;
  std::unique_ptr<TonvistaWindows> windows;
  TMainwindow* w = nullptr;
};

#include "Toolwindows.h"

#include "Mainwindowtonvista.h"

// A new view adds three lines here: its creation, its registration (Mainwindow->
// SpectrumConsumers or SampleConsumers, or both), and its deletion in DestroyToolWindows.
// Its menu entry goes to the chart's menu.

void CreateToolWindows() {}

void DestroyToolWindows() {
  if (!Mainwindow) return;
  Mainwindow->SpectrumConsumers.clear();
  Mainwindow->SampleConsumers.clear();
}

// The main window: settings, Start and Stop, the spectrum chart, markers and export.
#pragma once

#include <QWidget>
#include <atomic>

#include "Calcspectrumthread.h"

class QComboBox;
class QPushButton;
class TChart;
class TChartSeries;

class TMainwindow : public QWidget, public SpectrumMainLink {
  Q_OBJECT
 public:
  explicit TMainwindow(QWidget* owner = nullptr);
  ~TMainwindow() override;

  // SpectrumMainLink
  double GetSamplingRate() const override { return SamplingRate.load(); }
  double GetFFTLength() const override { return FFTLength.load(); }
  int GetWindowIndex() const override { return WindowIndex.load(); }
  int GetNumChannels() const override { return NumChannels.load(); }
  int GetGoniometerOpen() const override { return GoniometerOpen.load(); }
  int GetBandAnalyserOpen() const override { return BandAnalyserOpen.load(); }
  double GetCorrFactor() const override { return CorrFactor.load(); }
  void ScaleAxes() override;
  void ClearTrace(int series) override;
  void AddTracePoint(int series, double x, double y, uint32_t rgb) override;

  // Setters for the options dialog and the vector scope (user-interface thread).
  void SetAxisLimits(int xAxisMin, int xAxisMax, int yAxisMin, int yAxisMax);
  void SetCorrFactor(double value) { CorrFactor = value; }
  void ClearGoniometerOpen() { GoniometerOpen = 0; }

  TChart* Chart1 = nullptr;
  QPushButton* BStart = nullptr;
  QPushButton* BStop = nullptr;
  QComboBox* CMark1 = nullptr;
  QComboBox* CMark2 = nullptr;
  TChartSeries* Series1 = nullptr;
  TChartSeries* Series2 = nullptr;
  TChartSeries* Series3 = nullptr;
  TChartSeries* Series4 = nullptr;

  // Display limits (user-interface thread only).
  int XAxisMin = 10;
  int XAxisMax = 22050;
  int YAxisMin = -100;
  int YAxisMax = 0;

  std::atomic<double> SamplingRate{44100.0};
  std::atomic<double> FFTLength{2048.0};
  std::atomic<int> WindowIndex{0};
  std::atomic<int> NumChannels{1};
  std::atomic<int> GoniometerOpen{0};
  std::atomic<int> BandAnalyserOpen{0};
  std::atomic<double> CorrFactor{0.0};
};

extern TMainwindow* Mainwindow;

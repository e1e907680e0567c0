// The main window: settings, Start and Stop, the spectrum chart, markers and export.
#pragma once

#include <QWidget>
#include <atomic>

#include "Calcspectrumthread.h"

class QPushButton;
class TChart;

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

  void ClearGoniometerOpen() { GoniometerOpen = 0; }

  TChart* Chart1 = nullptr;
  QPushButton* BStart = nullptr;
  QPushButton* BStop = nullptr;

  std::atomic<double> SamplingRate{44100.0};
  std::atomic<double> FFTLength{2048.0};
  std::atomic<int> WindowIndex{0};
  std::atomic<int> NumChannels{1};
  std::atomic<int> GoniometerOpen{0};
  std::atomic<int> BandAnalyserOpen{0};
  std::atomic<double> CorrFactor{0.0};
};

extern TMainwindow* Mainwindow;

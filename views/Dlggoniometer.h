// The "VectorScope / LevelMeter" tool window.
#pragma once

#include <QWidget>
#include <array>
#include <vector>

#include "Framepacing.h"

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class TChart;
class TChartSeries;
class TLevelBar;

class TFGoniometer : public QWidget, public TPacedView {
  Q_OBJECT
 public:
  explicit TFGoniometer(QWidget* parent = nullptr);
  ~TFGoniometer() override;

  // Every block comes; the block's GoniometerOpen says whether it is shown.
  bool Receiving() const override { return true; }
  // Fixes both axes at -1 .. 1 (done once, at construction).
  void SetScopeAxes();
  // A block's raw samples, as ShowSpectrum shows those of an open scope's block.
  void ShowBlock(const double* left, const double* right, int n);
  // Drops a block kept for the end of the frame as well.
  void ResetDisplay();

  void TFactorChange();
  void CLevelMeterMaxChange();
  void CLevelMeterMinChange();
  void BSetLevelMeterCorrFactorClick();
  void BCloseClick();

  double ScopeFactor = 1.0;
  double ScopeScale = 1.0 / 32768.0;
  int ScopeStep = 1;
  double LevelCorrection = 0.0;
  double MeterMax = 0.0;
  double MeterMin = -100.0;
  int MeterResolution = 10;

  TChart* Chart1 = nullptr;
  TChartSeries* Series1 = nullptr;
  QSlider* TFactor = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* LFactor = nullptr;
  TLevelBar* PLevelMeter1 = nullptr;
  TLevelBar* PLevelMeter2 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* LLevelChan1 = nullptr;
  QLabel* LLevelChan2 = nullptr;
  QLabel* Label12 = nullptr;
  std::array<QLabel*, 9> LLevelMeter{};
  std::array<QFrame*, 9> ScaleTicks{};
  QLabel* Label11 = nullptr;
  QComboBox* CLevelMeterMode = nullptr;
  QComboBox* CLevelMeterMax = nullptr;
  QComboBox* CLevelMeterMin = nullptr;
  QLineEdit* ELevelMeterCorrFactor = nullptr;
  QPushButton* BSetLevelMeterCorrFactor = nullptr;
  QLabel* LLevelMeterCorrFactor = nullptr;
  QPushButton* BClose = nullptr;

 signals:
  // "Close" was pressed: the scope is no longer fed.
  void Closed();

 protected:
  bool event(QEvent* event) override;
  bool Take(const SpectrumBlock& block) override;
  void Draw(const SpectrumBlock& block) override;

 private:
  void DrawBlock(const double* left, const double* right, int n);
  void ShowLevel(double level, QLabel* readout, TLevelBar* bar);
};

extern TFGoniometer* FGoniometer;

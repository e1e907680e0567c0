// The "1/3 Octave Analyser" tool window.
#pragma once

#include <QWidget>
#include <array>

#include "Calcspectrumthread.h"

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;
class TLevelBar;

class TFBandAnalyser : public QWidget, public SpectrumBandLink {
  Q_OBJECT
 public:
  static constexpr int kBands = 31;

  explicit TFBandAnalyser(QWidget* parent = nullptr);
  ~TFBandAnalyser() override;

  void ShowBands(const double* frequency, const double* left, const double* right,
                 int count) override;
  void Button1Click();  // "Close"

  int BarMin = -100;
  int BarMax = 0;
  int BarResolution = 10;
  // Nominal frequencies; entry j + 1 is the upper limit of band j.
  static constexpr std::array<double, kBands + 1> BandCentres = {
      20,   25,   31.5, 40,   50,   63,    80,    100,   125,   160,  200,
      250,  315,  400,  500,  630,  800,   1000,  1250,  1600,  2000, 2500,
      3150, 4000, 5000, 6300, 8000, 10000, 12500, 16000, 20000, 25000};
  static constexpr double SilenceFloor = 1e-9;

  std::array<TLevelBar*, kBands> BandBars{};
  std::array<QFrame*, 6> ScaleTicks{};
  std::array<QLabel*, 6> ScaleLabels{};
  std::array<QLabel*, kBands> BandLabels{};
  QComboBox* CBChannelSel = nullptr;
  QPushButton* Button1 = nullptr;
};

extern TFBandAnalyser* FBandAnalyser;

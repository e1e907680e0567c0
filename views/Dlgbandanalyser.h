// The "1/3 Octave Analyser" tool window.
#pragma once

#include <QWidget>
#include <array>
#include <vector>

#include "Calcspectrumthread.h"
#include "Framepacing.h"
#include "Octavebands.h"

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;
class TLevelBar;

class TFBandAnalyser : public QWidget, public SpectrumBandLink {
  Q_OBJECT
 public:
  static constexpr int kBands = kOctaveBands;

  explicit TFBandAnalyser(QWidget* parent = nullptr);
  ~TFBandAnalyser() override;

  void ShowBands(const double* frequency, const double* left, const double* right,
                 int count) override;
  void Button1Click();  // "Close"

  int BarMin = -100;
  int BarMax = 0;
  int BarResolution = 10;

  std::array<TLevelBar*, kBands> BandBars{};
  std::array<QFrame*, 6> ScaleTicks{};
  std::array<QLabel*, 6> ScaleLabels{};
  std::array<QLabel*, kBands> BandLabels{};
  QComboBox* CBChannelSel = nullptr;
  QPushButton* Button1 = nullptr;

 protected:
  bool event(QEvent* event) override;

 private:
  void DrawBands(const double* frequency, const double* magnitude, int count);

  // The newest block's spectrum while the window's paint waits for the end of the frame.
  FramePacing::KeptBlock kept_;
};

extern TFBandAnalyser* FBandAnalyser;

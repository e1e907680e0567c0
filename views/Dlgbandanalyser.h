// The "1/3 Octave Analyser" tool window.
#pragma once

#include <QWidget>
#include <array>
#include <vector>

#include "Framepacing.h"
#include "Octavebands.h"

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;
class TLevelBar;

class TFBandAnalyser : public QWidget, public TPacedView {
  Q_OBJECT
 public:
  static constexpr int kBands = kOctaveBands;

  explicit TFBandAnalyser(QWidget* parent = nullptr);
  ~TFBandAnalyser() override;

  // Every block comes; the block's BandAnalyserOpen says whether it is shown.
  bool Receiving() const override { return true; }
  // A block's bin frequencies and magnitudes, as ShowSpectrum shows those of a block for an
  // opened analyser.
  void ShowBands(const double* frequency, const double* left, const double* right, int count);
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
  bool Take(const SpectrumBlock& block) override;
  void Draw(const SpectrumBlock& block) override;

 private:
  void DrawBands(const double* frequency, const double* magnitude, int count);
  int channel_ = 0;
};

extern TFBandAnalyser* FBandAnalyser;

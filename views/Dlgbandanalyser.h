// The "1/3 Octave Analyser" tool window.
#pragma once

#include <QWidget>

#include "Calcspectrumthread.h"

class TFBandAnalyser : public QWidget, public SpectrumBandLink {
  Q_OBJECT
 public:
  explicit TFBandAnalyser(QWidget* parent = nullptr);
  ~TFBandAnalyser() override;

  void ShowBands(const double* frequency, const double* left, const double* right,
                 int count) override;
};

extern TFBandAnalyser* FBandAnalyser;

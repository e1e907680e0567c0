// The "VectorScope / LevelMeter" tool window.
#pragma once

#include <QWidget>

#include "Calcspectrumthread.h"

class TFGoniometer : public QWidget, public SpectrumScopeLink {
  Q_OBJECT
 public:
  explicit TFGoniometer(QWidget* parent = nullptr);
  ~TFGoniometer() override;

  void SetScopeAxes() override;
  void ShowBlock(const double* left, const double* right, int n) override;
  void ResetDisplay();
};

extern TFGoniometer* FGoniometer;

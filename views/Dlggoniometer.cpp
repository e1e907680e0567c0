#include "Dlggoniometer.h"

TFGoniometer* FGoniometer = nullptr;

TFGoniometer::TFGoniometer(QWidget* parent) : QWidget(parent, Qt::Window) {
  setWindowTitle("VectorScope / LevelMeter");
}
TFGoniometer::~TFGoniometer() = default;
void TFGoniometer::SetScopeAxes() {}
void TFGoniometer::ShowBlock(const double*, const double*, int) {}
void TFGoniometer::ResetDisplay() {}

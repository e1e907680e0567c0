#include "Dlgbandanalyser.h"

TFBandAnalyser* FBandAnalyser = nullptr;

TFBandAnalyser::TFBandAnalyser(QWidget* parent) : QWidget(parent, Qt::Window) {
  setWindowTitle("1/3 Octave Analyser");
}
TFBandAnalyser::~TFBandAnalyser() = default;
void TFBandAnalyser::ShowBands(const double*, const double*, const double*, int) {}

#include "Dlgabout.h"

TFAbout* FAbout = nullptr;

TFAbout::TFAbout(QWidget* parent) : QDialog(parent) { setWindowTitle("About Tonvista"); }
TFAbout::~TFAbout() = default;

void StartVolumeControl(int, const QString&, const QString&) {}

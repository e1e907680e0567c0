#include "Dlgoptions.h"

TFOptions* FOptions = nullptr;

TFOptions::TFOptions(QWidget* parent) : QDialog(parent) { setWindowTitle("Options"); }
TFOptions::~TFOptions() = default;

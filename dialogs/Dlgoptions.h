// The "Options" dialog: axis limits, level correction, and deleting single traces.
#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QPushButton>

class TFOptions : public QDialog {
  Q_OBJECT
 public:
  explicit TFOptions(QWidget* parent = nullptr);
  ~TFOptions() override;

  // Read and written by the main window (filling the dialog, focusing "Set").
  QLineEdit* EYAxisMin = new QLineEdit(this);
  QLineEdit* EYAxisMax = new QLineEdit(this);
  QLineEdit* EXAxisMin = new QLineEdit(this);
  QLineEdit* EXAxisMax = new QLineEdit(this);
  QLineEdit* ECorrFactor = new QLineEdit(this);
  QPushButton* Button1 = new QPushButton(QStringLiteral("Set"), this);
};

extern TFOptions* FOptions;

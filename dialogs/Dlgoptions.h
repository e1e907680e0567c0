// The "Options" dialog: axis limits, level correction, and deleting single traces.
#pragma once

#include <QDialog>
#include <QString>

#include "Numberconversion.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TChartSeries;

class TFOptions : public QDialog {
  Q_OBJECT
 public:
  explicit TFOptions(QWidget* parent = nullptr);
  ~TFOptions() override;

  void Button1Click();  // "Set"
  void Button2Click();  // "Close"
  void BClearGraph1Click();
  void BClearGraph2Click();
  void BClearGraph3Click();
  void BClearGraph4Click();

  QGroupBox* GroupBox1 = nullptr;
  QGroupBox* GroupBox2 = nullptr;
  QGroupBox* GroupBox3 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* Label4 = nullptr;
  QLabel* Label5 = nullptr;
  QLabel* Label6 = nullptr;
  QLabel* Label7 = nullptr;
  QLabel* Label8 = nullptr;
  QLabel* Label9 = nullptr;
  QLabel* Label10 = nullptr;
  QLineEdit* EYAxisMin = nullptr;
  QLineEdit* EYAxisMax = nullptr;
  QLineEdit* EXAxisMin = nullptr;
  QLineEdit* EXAxisMax = nullptr;
  QLineEdit* ECorrFactor = nullptr;
  QPushButton* BClearGraph1 = nullptr;
  QPushButton* BClearGraph2 = nullptr;
  QPushButton* BClearGraph3 = nullptr;
  QPushButton* BClearGraph4 = nullptr;
  QPushButton* Button1 = nullptr;
  QPushButton* Button2 = nullptr;

 protected:
  void reject() override;

 private:
  void ClearGraph(const QString& trace, TChartSeries* series);
};

extern TFOptions* FOptions;

// The "Options" dialog: axis limits, level correction, and deleting single traces.
#pragma once

#include <QDialog>
#include <QString>

#include "Numberconversion.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

class TFOptions : public QDialog {
  Q_OBJECT
 public:
  explicit TFOptions(QWidget* parent = nullptr);
  ~TFOptions() override;

  // Fills the edits with the limits and the correction in force.
  void ShowSettings(int xAxisMin, int xAxisMax, int yAxisMin, int yAxisMax, double corrFactor);
  // Shows the dialog with every edit enabled and the focus on "Set".
  void Open();

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

 signals:
  // "Set" with every field converted.
  void LimitsSet(int xAxisMin, int xAxisMax, int yAxisMin, int yAxisMax, double corrFactor);
  // One of the "Delete" buttons: "L", "R", "Lmax" or "Rmax".
  void TraceDeleted(const QString& trace);
  // "Close" (or Escape): the dialog is hidden.
  void Closed();

 protected:
  void reject() override;
};

extern TFOptions* FOptions;

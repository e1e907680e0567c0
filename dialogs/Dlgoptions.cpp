#include "Dlgoptions.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "Formcontrols.h"
#include "Numberconversion.h"

TFOptions* FOptions = nullptr;

TFOptions::TFOptions(QWidget* parent) : QDialog(parent) {
  FOptions = this;
  setWindowTitle("Options");
  UseFormFont(this);

  GroupBox1 = new QGroupBox("Y-Axis Options", this);
  GroupBox1->setGeometry(8, 8, 169, 129);
  Label1 = MakeLabel("y-Axis Min:", GroupBox1, 20, 28);
  Label2 = MakeLabel("y-Axis Max:", GroupBox1, 16, 50);
  EYAxisMin = MakeEdit("y-Axis Min", GroupBox1, 80, 24);
  EYAxisMax = MakeEdit("y-Axis Max", GroupBox1, 80, 48);
  Label3 = MakeLabel("dB", GroupBox1, 144, 28);
  Label4 = MakeLabel("dB", GroupBox1, 144, 50);
  Label7 = MakeLabel("x-Axis Min:", GroupBox1, 16, 74);
  Label8 = MakeLabel("x-Axis Max:", GroupBox1, 16, 98);
  EXAxisMin = MakeEdit("x-Axis Min", GroupBox1, 80, 72);
  EXAxisMax = MakeEdit("x-Axis Max", GroupBox1, 80, 96);
  Label9 = MakeLabel("Hz", GroupBox1, 144, 74);
  Label10 = MakeLabel("Hz", GroupBox1, 144, 98);

  GroupBox2 = new QGroupBox("Level Correction", this);
  GroupBox2->setGeometry(8, 144, 169, 65);
  Label5 = MakeLabel("Factor:", GroupBox2, 36, 28);
  ECorrFactor = MakeEdit("Level correction factor", GroupBox2, 80, 24);
  Label6 = MakeLabel("dB", GroupBox2, 144, 28);

  GroupBox3 = new QGroupBox("Delete Data", this);
  GroupBox3->setGeometry(8, 216, 169, 113);
  BClearGraph1 = MakeButton("Left (Mono)", GroupBox3, {40, 16, 97, 17});
  BClearGraph2 = MakeButton("Right", GroupBox3, {40, 40, 97, 17});
  BClearGraph3 = MakeButton("Left Max (Mono)", GroupBox3, {40, 64, 97, 17});
  BClearGraph4 = MakeButton("Right Max", GroupBox3, {40, 88, 97, 17});

  Button1 = MakeButton("Set", this, {8, 344, 73, 25});
  Button2 = MakeButton("Close", this, {112, 344, 67, 25});
  // Enter in an edit sets the values; it must never reach a "Delete Data" button.
  Button1->setDefault(true);

  for (auto* box : {GroupBox1, GroupBox2, GroupBox3})
    box->setAccessibleName(box->title());
  for (auto [label, edit] : {std::pair{Label1, EYAxisMin},
                             {Label2, EYAxisMax},
                             {Label7, EXAxisMin},
                             {Label8, EXAxisMax},
                             {Label5, ECorrFactor}})
    label->setBuddy(edit);

  QWidget* order[] = {EYAxisMin,    EYAxisMax,    EXAxisMin,    EXAxisMax,
                      ECorrFactor,  BClearGraph1, BClearGraph2, BClearGraph3,
                      BClearGraph4, Button1,      Button2};
  for (size_t i = 1; i < std::size(order); ++i)
    setTabOrder(order[i - 1], order[i]);

  connect(Button1, &QPushButton::clicked, this, &TFOptions::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TFOptions::Button2Click);
  connect(BClearGraph1, &QPushButton::clicked, this, &TFOptions::BClearGraph1Click);
  connect(BClearGraph2, &QPushButton::clicked, this, &TFOptions::BClearGraph2Click);
  connect(BClearGraph3, &QPushButton::clicked, this, &TFOptions::BClearGraph3Click);
  connect(BClearGraph4, &QPushButton::clicked, this, &TFOptions::BClearGraph4Click);

  setFixedSize(185, 377);
  move(710, 210);
}

TFOptions::~TFOptions() {
  if (FOptions == this) FOptions = nullptr;
}

void TFOptions::Button1Click() {
  // Every field is converted before anything is stored: one bad field changes nothing.
  int limits[4] = {};
  QLineEdit* intEdits[4] = {EYAxisMin, EYAxisMax, EXAxisMin, EXAxisMax};
  for (int k = 0; k < 4; ++k) {
    const auto value = ReadInteger(intEdits[k]->text());
    if (!value) {
      intEdits[k]->setFocus();
      intEdits[k]->selectAll();
      ShowInputError(this, NotAnIntegerMessage(intEdits[k]->text()));
      return;
    }
    limits[k] = *value;
  }
  const auto corr = ReadFloat(ECorrFactor->text());
  if (!corr) {
    ECorrFactor->setFocus();
    ECorrFactor->selectAll();
    ShowInputError(this, NotAFloatMessage(ECorrFactor->text()));
    return;
  }
  emit LimitsSet(limits[2], limits[3], limits[0], limits[1], *corr);
}

void TFOptions::ShowSettings(int xAxisMin, int xAxisMax, int yAxisMin, int yAxisMax,
                             double corrFactor) {
  EYAxisMin->setText(QString::number(yAxisMin));
  EYAxisMax->setText(QString::number(yAxisMax));
  EXAxisMin->setText(QString::number(xAxisMin));
  EXAxisMax->setText(QString::number(xAxisMax));
  ECorrFactor->setText(FormatGeneral(corrFactor));
}

void TFOptions::Open() {
  for (QLineEdit* e : {EYAxisMin, EYAxisMax, EXAxisMin, EXAxisMax, ECorrFactor})
    e->setEnabled(true);
  show();
  raise();
  Button1->setFocus();
}

void TFOptions::Button2Click() {
  hide();
  emit Closed();
}

void TFOptions::reject() {
  Button2Click();
}

void TFOptions::BClearGraph1Click() {
  emit TraceDeleted("L");
}
void TFOptions::BClearGraph2Click() {
  emit TraceDeleted("R");
}
void TFOptions::BClearGraph3Click() {
  emit TraceDeleted("Lmax");
}
void TFOptions::BClearGraph4Click() {
  emit TraceDeleted("Rmax");
}

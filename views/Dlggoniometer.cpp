#include "Dlggoniometer.h"

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <cmath>

#include "Chart.h"
#include "Formcontrols.h"
#include "Framepacing.h"
#include "Levelbar.h"
#include "Levelmeter.h"
#include "Numberconversion.h"

TFGoniometer* FGoniometer = nullptr;

namespace {

constexpr int kBarTop = 40;
constexpr int kBarHeight = 240;
constexpr int kBar1Left = 278;
constexpr int kBar2Left = 326;
constexpr int kBarWidth = 14;

}  // namespace

TFGoniometer::TFGoniometer(QWidget* parent) : QWidget(parent, kToolWindowFlags), TPacedView(this) {
  FGoniometer = this;
  setWindowTitle("VectorScope / LevelMeter");
  UseFormFont(this);

  Chart1 = new TChart(this);
  Chart1->setGeometry(0, 0, 265, 257);
  Chart1->setAccessibleName("Vector scope");
  Chart1->setFocusPolicy(Qt::NoFocus);
  Chart1->SetBackWallTransparent(true);
  Chart1->SetTitleVisible(false);
  Chart1->SetLegendVisible(false);
  Chart1->SetView3D(false);
  Chart1->SetAllowZoom(false);
  for (TChartAxis* axis : {&Chart1->BottomAxis(), &Chart1->LeftAxis()}) {
    axis->SetRange(-1.0, 1.0);
    axis->SetLabelStyle(talValue);
    axis->SetAxisVisible(false);
  }
  Chart1->BottomAxis().SetTitleCaption("X");
  Chart1->LeftAxis().SetTitleCaption("Y");
  Chart1->LeftAxis().SetTitleRotated(false);
  Series1 = Chart1->AddSeries(TSeriesKind::Point, "Series1");
  Series1->SetSeriesColor(Qt::red);
  Series1->SetPointerVisible(true);
  Series1->SetPointerStyle(TPointerStyle::Cross);
  Series1->SetPointerSize(1, 1);
  Series1->SetPointerBrushColor(Qt::red);
  Series1->SetMarksVisible(false);

  Label2 = MakeLabel("Vector Scope Factor:", this, 8, 272);
  TFactor = new QSlider(Qt::Horizontal, this);
  TFactor->setGeometry(126, 264, 100, 30);
  TFactor->setRange(0, 6);
  TFactor->setValue(3);
  TFactor->setPageStep(1);
  TFactor->setTickInterval(1);
  TFactor->setTickPosition(QSlider::TicksBelow);
  TFactor->setFocusPolicy(Qt::NoFocus);
  TFactor->setAccessibleName("Vector Scope Factor");
  LFactor = MakeLabel("x 1", this, 230, 272);
  LFactor->setAccessibleName("Vector scope factor value");

  PLevelMeter1 = new TLevelBar(this);
  PLevelMeter2 = new TLevelBar(this);
  PLevelMeter1->setGeometry(kBar1Left, kBarTop, kBarWidth, kBarHeight);
  PLevelMeter2->setGeometry(kBar2Left, kBarTop, kBarWidth, kBarHeight);
  PLevelMeter1->setAccessibleName("Left level");
  PLevelMeter2->setAccessibleName("Right level");

  Label1 = MakeLabel("L", this, 0, 284, true);
  Label3 = MakeLabel("R", this, 0, 284, true);
  Label1->move(kBar1Left + (kBarWidth - Label1->width()) / 2, 284);
  Label3->move(kBar2Left + (kBarWidth - Label3->width()) / 2, 284);

  // The read-outs are centred over their bars; they must hold "-100.0" in bold.
  auto makeReadout = [this](int barLeft, const QString& role) {
    QLabel* label = MakeLabel("--------", this, 0, 0, true);
    label->setAlignment(Qt::AlignCenter);
    label->setGeometry(barLeft + kBarWidth / 2 - 23, 20, 46, 16);
    label->setAccessibleName(role);
    return label;
  };
  LLevelChan1 = makeReadout(kBar1Left, "Left level read-out");
  LLevelChan2 = makeReadout(kBar2Left, "Right level read-out");
  Label12 = MakeLabel("dB", this, 372, 21, true);

  const char* scale[9] = {"0,0",   "-12,5", "-25,0", "-37,5", "-50,0",
                          "-62,5", "-75,0", "-87,5", "-100"};
  for (int k = 0; k < 9; ++k) {
    const int y = kBarTop + 30 * k;
    auto* tick = new QFrame(this);
    tick->setFrameShape(QFrame::HLine);
    tick->setFrameShadow(QFrame::Plain);
    tick->setGeometry(kBar1Left + kBarWidth + 6, y, kBar2Left - kBar1Left - kBarWidth - 12, 1);
    ScaleTicks[k] = tick;
    LLevelMeter[k] = MakeLabel(scale[k], this, kBar2Left + kBarWidth + 4, y - 7, true);
    LLevelMeter[k]->resize(44, LLevelMeter[k]->height());
    LLevelMeter[k]->setAccessibleName(QString("Level scale mark %1").arg(k + 1));
  }
  Label11 = MakeLabel("dB", this, 0, 284, true);
  Label11->move((kBar1Left + kBarWidth + kBar2Left - Label11->width()) / 2, 284);

  constexpr int col = 398;
  QLabel* captionMode = MakeLabel("Level Meter Mode:", this, col, 8);
  CLevelMeterMode = MakeList("Level Meter Mode", {"V Peak", "RMS"}, this, {col, 24, 100, 21});
  QLabel* captionMax = MakeLabel("Level Meter Max:", this, col, 54);
  CLevelMeterMax =
      MakeList("Level Meter Max", {"0", "-10", "-20", "-30", "-40"}, this, {col, 70, 60, 21});
  MakeLabel("dB", this, col + 64, 74);
  QLabel* captionMin = MakeLabel("Level Meter Min:", this, col, 100);
  CLevelMeterMin = MakeList("Level Meter Min", {"-50", "-60", "-70", "-80", "-90", "-100"}, this,
                            {col, 116, 60, 21});
  MakeLabel("dB", this, col + 64, 120);
  MakeLabel("Level Meter", this, col, 148);
  QLabel* captionCorrection = MakeLabel("Correction Factor:", this, col, 162);
  ELevelMeterCorrFactor = new QLineEdit("0", this);
  ELevelMeterCorrFactor->setGeometry(col, 178, 60, 21);
  ELevelMeterCorrFactor->setAccessibleName("Level meter correction factor");
  captionMode->setBuddy(CLevelMeterMode);
  captionMax->setBuddy(CLevelMeterMax);
  captionMin->setBuddy(CLevelMeterMin);
  captionCorrection->setBuddy(ELevelMeterCorrFactor);
  MakeLabel("dB", this, col + 64, 182);
  BSetLevelMeterCorrFactor = new QPushButton("Change", this);
  BSetLevelMeterCorrFactor->setGeometry(col, 204, 60, 23);
  BSetLevelMeterCorrFactor->setAccessibleName("Change");
  LLevelMeterCorrFactor = MakeLabel("0", this, col, 234, true);
  LLevelMeterCorrFactor->setFrameShape(QFrame::Panel);
  LLevelMeterCorrFactor->setFrameShadow(QFrame::Sunken);
  LLevelMeterCorrFactor->setGeometry(col, 234, 60, 19);
  LLevelMeterCorrFactor->setAccessibleName("Applied correction");
  MakeLabel("dB", this, col + 64, 237);
  BClose = new QPushButton("Close", this);
  BClose->setGeometry(col, 272, 75, 25);
  BClose->setAccessibleName("Close");

  setTabOrder(CLevelMeterMode, CLevelMeterMax);
  setTabOrder(CLevelMeterMax, CLevelMeterMin);
  setTabOrder(CLevelMeterMin, ELevelMeterCorrFactor);
  setTabOrder(ELevelMeterCorrFactor, BSetLevelMeterCorrFactor);
  setTabOrder(BSetLevelMeterCorrFactor, BClose);

  for (TLevelBar* bar : {PLevelMeter1, PLevelMeter2}) {
    bar->SetMinimum(static_cast<int>(std::trunc(MeterResolution * MeterMin)));
    bar->SetMaximum(static_cast<int>(std::trunc(MeterResolution * MeterMax)));
    bar->SetPosition(-100 * MeterResolution);
    bar->SetBarColor(kLevelBarColour);
    bar->SetBackColor(Qt::black);
  }
  CLevelMeterMode->setCurrentIndex(0);
  CLevelMeterMax->setCurrentIndex(0);
  CLevelMeterMin->setCurrentIndex(5);

  // Connected after the presets: the scale keeps its stored texts until the user changes it.
  connect(TFactor, &QSlider::valueChanged, this, &TFGoniometer::TFactorChange);
  connect(CLevelMeterMax, &QComboBox::currentIndexChanged, this,
          &TFGoniometer::CLevelMeterMaxChange);
  connect(CLevelMeterMin, &QComboBox::currentIndexChanged, this,
          &TFGoniometer::CLevelMeterMinChange);
  connect(BSetLevelMeterCorrFactor, &QPushButton::clicked, this,
          &TFGoniometer::BSetLevelMeterCorrFactorClick);
  connect(ELevelMeterCorrFactor, &QLineEdit::returnPressed, this,
          &TFGoniometer::BSetLevelMeterCorrFactorClick);
  connect(BClose, &QPushButton::clicked, this, &TFGoniometer::BCloseClick);

  SetScopeAxes();
  setFixedSize(520, 304);
}

TFGoniometer::~TFGoniometer() {
  if (FGoniometer == this) FGoniometer = nullptr;
}

void TFGoniometer::SetScopeAxes() {
  for (TChartAxis* axis : {&Chart1->BottomAxis(), &Chart1->LeftAxis()}) {
    axis->SetLogarithmic(false);
    axis->SetRange(-1.0, 1.0);
    axis->SetIncrement(0.5);
  }
}

void TFGoniometer::ShowBlock(const double* left, const double* right, int n) {
  SpectrumBlock block;
  block.GoniometerOpen = 1;
  block.NumChannels = 2;
  block.Frames = n;
  block.SamplesL = left;
  block.SamplesR = right;
  ShowSpectrum(block);
}

bool TFGoniometer::Take(const SpectrumBlock& block) {
  return block.GoniometerOpen == 1 && block.SamplesL && block.Frames > 0 &&
         (block.NumChannels != 2 || block.SamplesR);
}

void TFGoniometer::Draw(const SpectrumBlock& block) {
  // Mono: the one channel on both axes.
  DrawBlock(block.SamplesL, block.SamplesR ? block.SamplesR : block.SamplesL, block.Frames);
}

bool TFGoniometer::event(QEvent* event) {
  return PacingEvent(event) || QWidget::event(event);
}

void TFGoniometer::DrawBlock(const double* left, const double* right, int n) {
  Series1->ClearPoints();
  ScopeScale = ScopeFactor / 32768.0;
  // At most 512 points whatever the block length (rounded up for lengths that are not a
  // power of two, which would otherwise give more).
  ScopeStep = (n + 511) / 512;
  for (int i = 0; i < n; i += ScopeStep)
    Series1->AddPoint(left[i] * ScopeScale, right[i] * ScopeScale, clBlue);

  double levelL = 0.0;
  double levelR = 0.0;
  switch (CLevelMeterMode->currentIndex()) {
    case 0:
      levelL = PeakLevelDb(left, n, LevelCorrection);
      levelR = PeakLevelDb(right, n, LevelCorrection);
      break;
    case 1:
      levelL = RmsLevelDb(left, n, LevelCorrection);
      levelR = RmsLevelDb(right, n, LevelCorrection);
      break;
    default:
      return;
  }
  ShowLevel(levelL, LLevelChan1, PLevelMeter1);
  ShowLevel(levelR, LLevelChan2, PLevelMeter2);
}

void TFGoniometer::ShowLevel(double level, QLabel* readout, TLevelBar* bar) {
  // Silence has no finite level: the bar drops to its bottom and the read-out says so.
  if (!std::isfinite(level)) {
    readout->setText("-inf");
    bar->SetPosition(bar->Minimum());
    return;
  }
  readout->setText(FormatReadout(level));
  bar->SetPosition(TenthsOfDb(level));
}

void TFGoniometer::ResetDisplay() {
  DropPending();
  PLevelMeter1->SetPosition(-100 * MeterResolution);
  PLevelMeter2->SetPosition(-100 * MeterResolution);
  LLevelChan1->setText("----");
  LLevelChan2->setText("----");
  Series1->ClearPoints();
}

void TFGoniometer::TFactorChange() {
  const int p = TFactor->value();
  if (p >= 0 && p <= 6) {
    ScopeFactor = 0.25 * (p + 1);
    LFactor->setText("x " + FormatGeneral(ScopeFactor));
    LFactor->adjustSize();
  }
  BClose->setFocus();
}

namespace {

void ShowScale(std::array<QLabel*, 9>& labels, double meterMax, double meterMin) {
  const double step = (meterMax - meterMin) * 0.125;
  for (int k = 0; k < 9; ++k)
    labels[k]->setText(FormatReadout(meterMax - k * step));
}

}  // namespace

void TFGoniometer::CLevelMeterMaxChange() {
  MeterMax = CLevelMeterMax->currentText().toDouble();
  ShowScale(LLevelMeter, MeterMax, MeterMin);
  const int top = static_cast<int>(std::trunc(MeterMax)) * MeterResolution;
  PLevelMeter1->SetMaximum(top);
  PLevelMeter2->SetMaximum(top);
}

void TFGoniometer::CLevelMeterMinChange() {
  MeterMin = CLevelMeterMin->currentText().toDouble();
  ShowScale(LLevelMeter, MeterMax, MeterMin);
  const int bottom = static_cast<int>(std::trunc(MeterMin)) * MeterResolution;
  PLevelMeter1->SetMinimum(bottom);
  PLevelMeter2->SetMinimum(bottom);
}

void TFGoniometer::BSetLevelMeterCorrFactorClick() {
  const QString text = ELevelMeterCorrFactor->text();
  const auto value = ReadFloat(text);
  if (!value) {
    ELevelMeterCorrFactor->setFocus();
    ELevelMeterCorrFactor->selectAll();
    ShowInputError(this, NotAFloatMessage(text));
    return;
  }
  LevelCorrection = *value;
  LLevelMeterCorrFactor->setText(FormatReadout(LevelCorrection));
}

void TFGoniometer::BCloseClick() {
  hide();
  emit Closed();
}

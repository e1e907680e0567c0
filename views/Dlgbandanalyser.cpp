#include "Dlgbandanalyser.h"

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include "Formcontrols.h"
#include "Framepacing.h"
#include "Levelbar.h"

TFBandAnalyser* FBandAnalyser = nullptr;

namespace {

const char* const kBandNames[TFBandAnalyser::kBands] = {
    "20",    "25",  "31,5", "40",   "50",  "63",  "80",    "100",   "125",  "160", "200",
    "250",   "315", "400",  "500",  "630", "800", "1k",    "1,25k", "1,6k", "2k",  "2,5k",
    "3,15k", "4k",  "5k",   "6,3k", "8k",  "10k", "12,5k", "16k",   "20k"};

constexpr int kBarTop = 20;
constexpr int kBarHeight = 250;

}  // namespace

TFBandAnalyser::TFBandAnalyser(QWidget* parent)
    : QWidget(parent, kToolWindowFlags), TPacedView(this) {
  FBandAnalyser = this;
  setWindowTitle("1/3 Octave Analyser");
  UseFormFont(this);

  for (int k = 0; k < 6; ++k) {
    auto* tick = new QFrame(this);
    tick->setFrameShape(QFrame::HLine);
    tick->setFrameShadow(QFrame::Plain);
    tick->setGeometry(512, kBarTop + 50 * k, 8, 2);
    ScaleTicks[k] = tick;
    auto* label = new QLabel(QString::number(BarMax - 20 * k) + " dB", this);
    label->move(tick->x() + 11, tick->y() - 6);
    label->adjustSize();
    ScaleLabels[k] = label;
  }

  for (int j = 0; j < kBands; ++j) {
    auto* bar = new TLevelBar(this);
    bar->setGeometry(15 + 16 * j, kBarTop, 15, kBarHeight);
    bar->SetMinimum(BarMin * BarResolution);
    bar->SetMaximum(BarMax * BarResolution);
    bar->SetPosition(-100 * BarResolution);
    bar->SetBarColor(kLevelBarColour);
    bar->SetBackColor(Qt::black);
    bar->setAccessibleName(QString("Band %1 Hz").arg(kBandNames[j]));
    BandBars[j] = bar;

    // Two rows of names under the bars, so that "1,25k" and its neighbours do not collide.
    auto* name = new QLabel(kBandNames[j], this);
    name->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    name->setGeometry(bar->x() + bar->width() / 2 - 16, 274 + (j % 2) * 13, 32, 14);
    BandLabels[j] = name;
  }

  auto* caption = new QLabel("Frequency Band [Hz]", this);
  caption->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  caption->setGeometry(15, 310, 16 * kBands, 16);

  auto* separator = new QFrame(this);
  separator->setFrameShape(QFrame::VLine);
  separator->setFrameShadow(QFrame::Sunken);
  separator->setGeometry(567, 8, 2, 327);

  auto* selection = new QLabel("Chan. Selection:", this);
  // The scale leaves 85 pixels: the caption wraps after "Chan.".
  selection->setWordWrap(true);
  selection->setGeometry(573, 14, 82, 30);
  CBChannelSel = new QComboBox(this);
  CBChannelSel->addItems({"L", "R"});
  CBChannelSel->setGeometry(573, 46, 64, 21);
  CBChannelSel->setAccessibleName("Chan. Selection");
  selection->setBuddy(CBChannelSel);
  CBChannelSel->setCurrentIndex(0);

  Button1 = new QPushButton("Close", this);
  Button1->setGeometry(573, 308, 75, 25);
  Button1->setAccessibleName("Close");
  connect(Button1, &QPushButton::clicked, this, &TFBandAnalyser::Button1Click);
  setTabOrder(CBChannelSel, Button1);

  setFixedSize(660, 343);
}

TFBandAnalyser::~TFBandAnalyser() {
  if (FBandAnalyser == this) FBandAnalyser = nullptr;
}

void TFBandAnalyser::ShowBands(const double* frequency, const double* left, const double* right,
                               int count) {
  SpectrumBlock block;
  block.BandAnalyserOpen = 1;
  block.NumChannels = 2;
  block.Bins = count;
  block.Frequency = frequency;
  block.MagnitudeL = left;
  block.MagnitudeR = right;
  ShowSpectrum(block);
}

bool TFBandAnalyser::Take(const SpectrumBlock& block) {
  // The channel chosen when the block came is the one it shows.
  channel_ = CBChannelSel->currentIndex();
  return block.BandAnalyserOpen == 1 && block.Frequency && block.MagnitudeL && block.Bins >= 0;
}

void TFBandAnalyser::Draw(const SpectrumBlock& block) {
  // Mono: the one channel whichever is chosen.
  const double* right = block.NumChannels == 2 ? block.MagnitudeR : block.MagnitudeL;
  const double* magnitude = nullptr;
  switch (channel_) {
    case 0:
      magnitude = block.MagnitudeL;
      break;
    case 1:
      magnitude = right;
      break;
    default:
      return;
  }
  if (magnitude) DrawBands(block.Frequency, magnitude, block.Bins);
}

bool TFBandAnalyser::event(QEvent* event) {
  return PacingEvent(event) || QWidget::event(event);
}

void TFBandAnalyser::DrawBands(const double* frequency, const double* magnitude, int count) {
  const auto levels = OctaveBandLevels(frequency, magnitude, count, BarMin);
  for (int j = 0; j < kBands; ++j)
    BandBars[j]->SetPosition(TenthsOfDb(levels[static_cast<size_t>(j)]));
}

void TFBandAnalyser::Button1Click() {
  hide();
}

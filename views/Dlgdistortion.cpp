#include "Dlgdistortion.h"

#include <QComboBox>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <algorithm>
#include <cmath>

#include "Formcontrols.h"
#include "Peakfinder.h"

TFDistortion* FDistortion = nullptr;

namespace {

constexpr int kCaptionLeft = 8;
constexpr int kColumnLeft[2] = {110, 210};
constexpr int kColumnWidth = 95;
constexpr int kTop = 44;
constexpr int kRow = 20;

// The command line's figure, with the user's decimal separator.
QString Number(double value, int decimals) {
  QString text = QString::fromStdString(FormatFixed(value, decimals));
  const QLocale locale;
  text.replace(QLatin1Char('.'), locale.decimalPoint());
  text.replace(QLatin1Char('-'), locale.negativeSign());
  return text;
}

// Percentages from tens down to millionths.
QString Percent(double pct) {
  return Number(pct, PercentDecimals(pct, 6)) + " %";
}

}  // namespace

TFDistortion::TFDistortion(QWidget* parent) : QWidget(parent, kToolWindowFlags), TPacedView(this) {
  FDistortion = this;
  setWindowTitle("Distortion");
  UseFormFont(this);

  MakeLabel("Average:", this, kCaptionLeft, 12);
  QStringList counts;
  for (int k = 1; k <= kMaxAverages; ++k)
    counts << QString::number(k);
  CAverages = MakeList("Average", counts, this, {kColumnLeft[0], 8, 57, 21});
  MakeLabel("blocks", this, kColumnLeft[0] + 63, 12);
  connect(CAverages, &QComboBox::currentIndexChanged, this, &TFDistortion::CAveragesChange);

  const char* const channels[2] = {"L", "R"};
  for (int c = 0; c < 2; ++c) {
    QLabel* head = MakeLabel(channels[c], this, 0, kTop, true);
    head->setGeometry(kColumnLeft[c], kTop, kColumnWidth, 16);
    head->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  }
  struct Row {
    const char* caption;
    std::array<QLabel*, 2>* labels;
  };
  const Row rows[] = {
      {"Fundamental", &LFrequency}, {"Level", &LLevel},   {"THD", &LThdDb},   {"THD", &LThdPct},
      {"THD+N", &LThdNDb},          {"THD+N", &LThdNPct}, {"SINAD", &LSinad}, {"SNR", &LSnr}};
  int y = kTop + kRow;
  for (const Row& row : rows) {
    MakeLabel(row.caption, this, kCaptionLeft, y);
    for (int c = 0; c < 2; ++c) {
      auto* value = new QLabel("---", this);
      value->setGeometry(kColumnLeft[c], y, kColumnWidth, 16);
      value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
      value->setAccessibleName(QString("%1 %2").arg(row.caption, channels[c]));
      (*row.labels)[c] = value;
    }
    y += kRow;
  }

  Button1 = MakeButton("Close", this, {kColumnLeft[1] + kColumnWidth - 75, y + 8, 75, 25});
  // Beside the button, in two lines where needed.
  LNote = new QLabel(this);
  LNote->setGeometry(kCaptionLeft, y + 4, kColumnLeft[1] + kColumnWidth - 75 - 2 * kCaptionLeft,
                     34);
  LNote->setWordWrap(true);
  LNote->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  LNote->setAccessibleName("Note");
  connect(Button1, &QPushButton::clicked, this, &TFDistortion::Button1Click);
  setTabOrder(CAverages, Button1);

  setFixedSize(kColumnLeft[1] + kColumnWidth + 12, y + 41);
}

TFDistortion::~TFDistortion() {
  if (FDistortion == this) FDistortion = nullptr;
}

void TFDistortion::showEvent(QShowEvent* event) {
  receiving_.store(true, std::memory_order_relaxed);
  QWidget::showEvent(event);
}

void TFDistortion::hideEvent(QHideEvent* event) {
  receiving_.store(false, std::memory_order_relaxed);
  QWidget::hideEvent(event);
}

bool TFDistortion::event(QEvent* event) {
  return PacingEvent(event) || QWidget::event(event);
}

void TFDistortion::ResetAverage() {
  average_.reset();
  DropPending();
}

void TFDistortion::CAveragesChange() {
  ResetAverage();
}

void TFDistortion::Button1Click() {
  hide();
}

bool TFDistortion::Take(const SpectrumBlock& block) {
  const int channels = block.NumChannels == 2 ? 2 : 1;
  const double* magnitude[2] = {block.OwnMagnitude(0),
                                channels == 2 ? block.OwnMagnitude(1) : nullptr};
  if (block.Bins < 4 || block.FFTLength < 2.0 * block.Bins || !(block.SamplingRate > 0) ||
      !magnitude[0] || (channels == 2 && !magnitude[1]))
    return false;
  if (block.Bins != bins_ || block.FFTLength != fftLength_ || block.SamplingRate != rate_ ||
      block.WindowIndex != window_ || channels != channels_) {
    ResetAverage();
    bins_ = block.Bins;
    fftLength_ = block.FFTLength;
    rate_ = block.SamplingRate;
    window_ = block.WindowIndex;
    channels_ = channels;
  }
  corrFactor_ = block.CorrFactor;
  if (!average_) average_.emplace(bins_, channels_, CAverages->currentIndex() + 1);
  average_->Add(magnitude);
  return true;
}

void TFDistortion::Draw(const SpectrumBlock&) {
  Measure();
}

void TFDistortion::Measure() {
  for (int c = 0; c < 2; ++c) {
    Results[c] = {};
    if (!average_ || c >= channels_) continue;
    const std::vector<double> mean = average_->Magnitude(c);
    if (!mean.empty()) Results[c] = MeasureDistortion(mean.data(), window_, rate_, fftLength_);
  }
  ShowResults();
}

void TFDistortion::ShowResults() {
  ++Updates;
  QStringList below;
  for (int c = 0; c < channels_ && c < 2; ++c)
    if (Results[c].BelowResolution) below << (c == 0 ? "L" : "R");
  LNote->setText(below.isEmpty()
                     ? QString()
                     : below.join(", ") + ": " + QString::fromLatin1(kBelowResolutionNote));
  for (int c = 0; c < 2; ++c) {
    const DistortionResult& r = Results[c];
    if (!r.Valid) {
      for (auto* labels :
           {&LFrequency, &LLevel, &LThdDb, &LThdPct, &LThdNDb, &LThdNPct, &LSinad, &LSnr})
        (*labels)[c]->setText("---");
      continue;
    }
    LFrequency[c]->setText(Number(r.FundamentalHz, 2) + " Hz");
    // On the chart's scale: the correction applies to the level, not to the ratios.
    LLevel[c]->setText(Number(r.FundamentalDb + corrFactor_, 2) + " dB");
    LThdDb[c]->setText(Number(r.ThdDb, 2) + " dB");
    LThdPct[c]->setText(Percent(r.ThdPct));
    LThdNDb[c]->setText(Number(r.ThdNDb, 2) + " dB");
    LThdNPct[c]->setText(Percent(r.ThdNPct));
    LSinad[c]->setText(Number(r.SinadDb, 2) + " dB");
    LSnr[c]->setText(Number(r.SnrDb, 2) + " dB");
  }
}

#include "Dlgoctaveanalyser.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cmath>

#include "Formcontrols.h"
#include "Levelbar.h"
#include "Messages.h"

TFOctaveAnalyser* FOctaveAnalyser = nullptr;

std::function<std::optional<double>(QWidget*)> TFOctaveAnalyser::AskCalibratorLevel =
    [](QWidget* parent) -> std::optional<double> {
  bool ok = false;
  const QString item = QInputDialog::getItem(
      parent, "Calibrate",
      "The calibrator's tone at 1 kHz is playing into the microphone:", {"94 dB SPL", "114 dB SPL"},
      0, false, &ok);
  if (!ok) return std::nullopt;
  return item.startsWith("114") ? 114.0 : 94.0;
};

std::function<QString(QWidget*)> TFOctaveAnalyser::AskCalibrationFile = [](QWidget* parent) {
  return QFileDialog::getOpenFileName(parent, "Load microphone calibration", QString(),
                                      "Calibration files (*.txt *.cal *.frd);;All files (*)");
};

namespace {

constexpr int kBandsPerOctave[] = {1, 3, 6, 12, 24};
constexpr double kIntervals[] = {1, 10, 60, 300, 600, 900, 1800, 3600};
constexpr double kRangeDb = 100;
const QString kNoValue = QStringLiteral("---");

constexpr int kBarsLeft = 8, kBarsTop = 40, kBarsWidth = 560, kBarsHeight = 340;
constexpr int kPanelLeft = kBarsLeft + kBarsWidth + 12;
constexpr int kColumn[2] = {kPanelLeft + 70, kPanelLeft + 140};
constexpr int kColumnWidth = 66;

const QColor kLeftColour = kLevelBarColour;
const QColor kRightColour(0xff, 0x40, 0x40);

QString Number(double value, int decimals) {
  if (!std::isfinite(value)) return kNoValue;
  QLocale locale;
  locale.setNumberOptions(QLocale::OmitGroupSeparator);
  if (std::fabs(value) < 0.5 * std::pow(10.0, -decimals)) value = 0.0;
  return locale.toString(value, 'f', decimals);
}

QString Clock(double seconds) {
  const long s = std::lround(std::max(0.0, seconds));
  return s >= 3600 ? QString::asprintf("%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60)
                   : QString::asprintf("%02ld:%02ld", s / 60, s % 60);
}

QString IntervalName(double seconds) {
  if (seconds >= 3600) return QString("%1 h").arg(seconds / 3600);
  if (seconds >= 60) return QString("%1 min").arg(seconds / 60);
  return QString("%1 s").arg(seconds);
}

QLabel* Readout(const QString& role, QWidget* parent, int left, int top, int width = kColumnWidth) {
  auto* label = new QLabel(kNoValue, parent);
  label->setGeometry(left, top, width, 16);
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  label->setAccessibleName(role);
  return label;
}

// The band nearest the 1 kHz reference, or -1.
int ReferenceBand(const std::vector<FractionalBand>& bands) {
  int best = -1;
  for (int b = 0; b < static_cast<int>(bands.size()); ++b)
    if (bands[b].lower <= 1000.0 && 1000.0 < bands[b].upper) best = b;
  return best;
}

int HighestBand(const std::vector<double>& levels) {
  int best = -1;
  for (int b = 0; b < static_cast<int>(levels.size()); ++b)
    if (std::isfinite(levels[b]) && (best < 0 || levels[b] > levels[best])) best = b;
  return best;
}

}  // namespace

TOctaveBars::TOctaveBars(QWidget* parent) : QWidget(parent) {
  setAccessibleName("Bands");
  setAttribute(Qt::WA_OpaquePaintEvent);
}

double TOctaveBars::TopDb() const {
  if (!reading_ || !reading_->calibrated) return 0;
  return std::ceil(reading_->offsetDb / 10.0) * 10.0;
}

void TOctaveBars::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), Qt::black);
  const int left = 36, right = width() - 6, top = 6, bottom = height() - 22;
  const double topDb = TopDb();
  const auto yOf = [&](double db) {
    const double f = std::clamp((topDb - db) / kRangeDb, 0.0, 1.0);
    return top + static_cast<int>(std::lround(f * (bottom - top)));
  };
  QFont small = font();
  small.setPixelSize(10);
  p.setFont(small);
  for (int k = 0; k <= 10; ++k) {
    const double db = topDb - 10.0 * k;
    const int y = yOf(db);
    p.setPen(QColor(0x40, 0x40, 0x40));
    p.drawLine(left, y, right, y);
    p.setPen(Qt::lightGray);
    p.drawText(QRect(0, y - 7, left - 4, 14), Qt::AlignRight | Qt::AlignVCenter,
               QString::number(db, 'f', 0));
  }
  if (!reading_ || reading_->bands.empty()) {
    p.setPen(Qt::lightGray);
    p.drawText(QRect(left, top, right - left, bottom - top), Qt::AlignCenter,
               "Waiting for samples (Start the analyser)");
    return;
  }
  const int count = static_cast<int>(reading_->bands.size());
  const double slot = static_cast<double>(right - left) / count;
  const int channels = reading_->valid ? reading_->channels : 0;
  const int bar = std::max(1, static_cast<int>(slot * 0.8) / std::max(1, channels));
  for (int c = 0; c < channels; ++c) {
    const std::vector<double>& levels = reading_->bandLevel[c];
    p.setPen(Qt::NoPen);
    p.setBrush(c == 0 ? kLeftColour : kRightColour);
    for (int b = 0; b < count && b < static_cast<int>(levels.size()); ++b) {
      if (!std::isfinite(levels[b])) continue;
      const int x = left + static_cast<int>(b * slot + slot * 0.1) + c * bar;
      const int y = yOf(levels[b]);
      if (y < bottom) p.drawRect(x, y, bar, bottom - y);
    }
  }
  // Labels as far apart as they need: every band at 1/1, every octave band otherwise.
  const int b = reading_->bandsPerOctave;
  int step = 1;
  while (step < count && slot * step < 34)
    step = step == 1 && b % 3 == 0 ? 3 : step * 2;
  p.setPen(Qt::lightGray);
  for (int k = 0; k < count; ++k) {
    if ((reading_->bands[k].index % step + step) % step != 0) continue;
    const int x = left + static_cast<int>((k + 0.5) * slot);
    p.drawText(QRect(x - 30, bottom + 3, 60, 16), Qt::AlignHCenter | Qt::AlignTop,
               QString::fromStdString(reading_->bands[k].label));
  }
}

TFOctaveAnalyser::TFOctaveAnalyser(QWidget* parent)
    : QWidget(parent, kToolWindowFlags), TPacedView(this) {
  FOctaveAnalyser = this;
  setWindowTitle("Octave analyser");
  UseFormFont(this);

  MakeLabel("Bandwidth:", this, 8, 12);
  CBandwidth = MakeList("Bandwidth",
                        {"1/1 octave", "1/3 octave", "1/6 octave", "1/12 octave", "1/24 octave"},
                        this, {72, 8, 90, 21});
  CBandwidth->setCurrentIndex(1);
  MakeLabel("Weighting:", this, 176, 12);
  CWeighting = MakeList("Weighting", {"A", "C", "Z"}, this, {238, 8, 44, 21});
  MakeLabel("Time weighting:", this, 296, 12);
  CTimeWeighting = MakeList("Time weighting", {"F (125 ms)", "S (1 s)"}, this, {384, 8, 84, 21});
  MakeLabel("Leq interval:", this, 482, 12);
  QStringList intervals;
  for (double s : kIntervals)
    intervals << IntervalName(s);
  CInterval = MakeList("Leq interval", intervals, this, {556, 8, 70, 21});
  CInterval->setCurrentIndex(1);
  for (QComboBox* list : {CBandwidth, CWeighting, CTimeWeighting, CInterval})
    connect(list, &QComboBox::currentIndexChanged, this, [this] { ApplySettings(); });

  Bars = new TOctaveBars(this);
  Bars->setGeometry(kBarsLeft, kBarsTop, kBarsWidth, kBarsHeight);
  Bars->SetReading(&shown_);

  QFont big = font();
  big.setPixelSize(34);
  big.setBold(true);
  QFont caption = font();
  caption.setPixelSize(15);
  caption.setBold(true);
  int y = kBarsTop;
  const char* const channelNames[2] = {"L", "R"};
  for (int c = 0; c < 2; ++c) {
    LLevelCaption[c] = new QLabel(this);
    LLevelCaption[c]->setFont(caption);
    LLevelCaption[c]->setGeometry(kPanelLeft, y + 12, 66, 20);
    LLevel[c] = new QLabel(kNoValue, this);
    LLevel[c]->setFont(big);
    LLevel[c]->setGeometry(kPanelLeft + 50, y, 150, 44);
    LLevel[c]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    LLevel[c]->setAccessibleName(QString("Level %1").arg(channelNames[c]));
    y += 44;
  }
  LUnit = MakeLabel("dBFS", this, kPanelLeft + 150, y);
  LUnit->setGeometry(kPanelLeft + 130, y, 70, 16);
  LUnit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  y += 26;
  for (int c = 0; c < 2; ++c) {
    QLabel* head = MakeLabel(channelNames[c], this, 0, y, true);
    head->setGeometry(kColumn[c], y, kColumnWidth, 16);
    head->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  }
  y += 20;
  struct Row {
    QLabel** caption;
    std::array<QLabel*, 2>* values;
    const char* role;
  };
  const Row rows[] = {{&LLeqCaption, &LLeq, "Leq"},
                      {&LIntervalCaption, &LIntervalLeq, "Interval Leq"},
                      {&LLastCaption, &LLastInterval, "Last interval Leq"},
                      {&LLmaxCaption, &LLmax, "Lmax"},
                      {&LLminCaption, &LLmin, "Lmin"},
                      {&LPeakCaption, &LPeak, "Peak"}};
  for (const Row& row : rows) {
    *row.caption = MakeLabel(row.role, this, kPanelLeft, y);
    (*row.caption)->setMinimumWidth(68);
    for (int c = 0; c < 2; ++c)
      (*row.values)[c] =
          Readout(QString("%1 %2").arg(row.role, channelNames[c]), this, kColumn[c], y);
    y += 20;
  }
  MakeLabel("Elapsed:", this, kPanelLeft, y);
  LElapsed = Readout("Elapsed", this, kColumn[0], y, kColumn[1] + kColumnWidth - kColumn[0]);
  y += 28;
  MakeLabel("Highest band:", this, kPanelLeft, y);
  y += 18;
  LHighest = Readout("Highest band", this, kPanelLeft, y, kColumn[1] + kColumnWidth - kPanelLeft);
  y += 28;
  MakeLabel("Offset:", this, kPanelLeft, y);
  LOffset = Readout("Offset", this, kColumn[0], y, kColumn[1] + kColumnWidth - kColumn[0]);
  y += 20;
  MakeLabel("Microphone:", this, kPanelLeft, y);
  LMicrophone = Readout("Microphone", this, kColumn[0], y, kColumn[1] + kColumnWidth - kColumn[0]);
  y += 20;
  // The main chart's trace (and so its table and markers) follows the microphone only when
  // asked, so its levels stay those of the samples unless the user wants otherwise.
  CCorrectTrace = new QCheckBox("Correct the spectrum trace", this);
  CCorrectTrace->setGeometry(kPanelLeft, y, kColumn[1] + kColumnWidth - kPanelLeft, 18);
  CCorrectTrace->setEnabled(false);
  connect(CCorrectTrace, &QCheckBox::toggled, this, Guarded([this] { ApplyTraceCorrection(); }));

  // The bars reach down to the panel's last row, the buttons go below both.
  const int buttons = std::max(kBarsTop + kBarsHeight, y + 16) + 12;
  Bars->setGeometry(kBarsLeft, kBarsTop, kBarsWidth, buttons - 12 - kBarsTop);
  BReset = MakeButton("Reset", this, {kBarsLeft, buttons, 75, 25});
  BCalibrate = MakeButton("Calibrate...", this, {kBarsLeft + 85, buttons, 90, 25});
  BMicrophone =
      MakeButton("Load microphone calibration...", this, {kBarsLeft + 185, buttons, 190, 25});
  const int right = kColumn[1] + kColumnWidth;
  BClose = MakeButton("Close", this, {right - 75, buttons, 75, 25});
  connect(BReset, &QPushButton::clicked, this, Guarded([this] { BResetClick(); }));
  connect(BCalibrate, &QPushButton::clicked, this, Guarded([this] { BCalibrateClick(); }));
  connect(BMicrophone, &QPushButton::clicked, this, Guarded([this] { BMicrophoneClick(); }));
  connect(BClose, &QPushButton::clicked, this, [this] { hide(); });

  poll_ = new QTimer(this);
  poll_->setInterval(PollInterval);
  connect(poll_, &QTimer::timeout, this, [this] { Poll(); });

  ApplySettings();
  ShowNumbers();
  setFixedSize(right + 10, buttons + 35);
}

TFOctaveAnalyser::~TFOctaveAnalyser() {
  meter_.Stop();
  if (FOctaveAnalyser == this) FOctaveAnalyser = nullptr;
}

bool TFOctaveAnalyser::event(QEvent* event) {
  return PacingEvent(event) || QWidget::event(event);
}

void TFOctaveAnalyser::showEvent(QShowEvent* event) {
  // Only while the window is open does the worker feed the stream and the meters run.
  meter_.Start();
  receiving_.store(true, std::memory_order_relaxed);
  poll_->start();
  QWidget::showEvent(event);
}

void TFOctaveAnalyser::hideEvent(QHideEvent* event) {
  receiving_.store(false, std::memory_order_relaxed);
  poll_->stop();
  meter_.Stop();
  QWidget::hideEvent(event);
}

void TFOctaveAnalyser::ApplySettings() {
  meter_.SetBandsPerOctave(kBandsPerOctave[std::clamp(CBandwidth->currentIndex(), 0, 4)]);
  const FrequencyWeighting weightings[] = {FrequencyWeighting::A, FrequencyWeighting::C,
                                           FrequencyWeighting::Z};
  meter_.SetWeighting(weightings[std::clamp(CWeighting->currentIndex(), 0, 2)]);
  meter_.SetTimeWeighting(CTimeWeighting->currentIndex() == 1 ? TimeWeighting::Slow
                                                              : TimeWeighting::Fast);
  meter_.SetIntervalSeconds(kIntervals[std::clamp(CInterval->currentIndex(), 0, 7)]);
  meter_.SetOffsetDb(offsetDb_, calibrated_);
  ShowNumbers();
}

void TFOctaveAnalyser::Poll() {
  // The timer only stands in while no block comes.
  if (poll_->isActive()) poll_->start();
  shown_ = meter_.Reading();
  ShowNumbers();
  Bars->update();
}

void TFOctaveAnalyser::ShowNumbers() {
  const QString w = CWeighting->currentText();
  const QString t = CTimeWeighting->currentIndex() == 1 ? "S" : "F";
  const QString interval = CInterval->currentText();
  const int channels = shown_.valid ? shown_.channels : 0;
  for (int c = 0; c < 2; ++c) {
    LLevelCaption[c]->setText(QString("L%1%2").arg(w, t) + (c == 1 ? " R" : channels ? " L" : ""));
    LLevelCaption[c]->setVisible(c == 0 || channels == 2);
    LLevel[c]->setVisible(c == 0 || channels == 2);
    const bool has = c < channels;
    LLevel[c]->setText(has ? Number(shown_.level[c], 1) : kNoValue);
    LLeq[c]->setText(has ? Number(shown_.leq[c], 1) : kNoValue);
    LIntervalLeq[c]->setText(has ? Number(shown_.intervalLeq[c], 1) : kNoValue);
    LLastInterval[c]->setText(has ? Number(shown_.lastIntervalLeq[c], 1) : kNoValue);
    LLmax[c]->setText(has ? Number(shown_.lmax[c], 1) : kNoValue);
    LLmin[c]->setText(has ? Number(shown_.lmin[c], 1) : kNoValue);
    LPeak[c]->setText(has ? Number(shown_.peak[c], 1) : kNoValue);
  }
  LLeqCaption->setText(QString("L%1eq").arg(w));
  LIntervalCaption->setText(QString("L%1eq,%2").arg(w, interval));
  LLastCaption->setText("last " + interval);
  LLmaxCaption->setText(QString("L%1%2max").arg(w, t));
  LLminCaption->setText(QString("L%1%2min").arg(w, t));
  LPeakCaption->setText(QString("L%1peak").arg(w));
  LUnit->setText(calibrated_ ? "dB SPL" : "dBFS");
  LElapsed->setText(channels ? Clock(shown_.intervalElapsed) + " / " + Clock(shown_.seconds)
                             : kNoValue);
  const int highest = channels ? HighestBand(shown_.bandLevel[0]) : -1;
  if (highest >= 0 && highest < static_cast<int>(shown_.bands.size())) {
    const FractionalBand& band = shown_.bands[static_cast<size_t>(highest)];
    LHighest->setText(QString("%1 Hz (%2 Hz): %3")
                          .arg(QString::fromStdString(band.label), Number(band.mid, 1),
                               Number(shown_.bandLevel[0][static_cast<size_t>(highest)], 1)));
  } else {
    LHighest->setText(kNoValue);
  }
  LOffset->setText(calibrated_ ? (offsetDb_ >= 0 ? "+" : "") + Number(offsetDb_, 2) + " dB"
                               : "none (dBFS)");
  LMicrophone->setText(microphoneName_.isEmpty() ? "none" : microphoneName_);
}

void TFOctaveAnalyser::BResetClick() {
  meter_.Reset();
}

bool TFOctaveAnalyser::CalibrateWith(double calibratorDbSpl, QString* why) {
  const OctaveMeterReading r = meter_.Reading();
  const auto refuse = [&](const QString& text) {
    if (why) *why = text;
    return false;
  };
  // The S level needs a few of its time constants to settle on the tone.
  if (!r.valid || r.seconds < 3.0)
    return refuse("Play the calibrator's tone for a few seconds with the analyser running.");
  const int reference = ReferenceBand(r.bands);
  if (reference < 0 || HighestBand(r.bandLevel[0]) != reference)
    return refuse("There is no calibrator's tone at 1 kHz in the left channel.");
  const double measuredDbfs = r.levelSlow[0] - r.offsetDb;
  if (!std::isfinite(measuredDbfs)) return refuse("There is no signal to calibrate with.");
  offsetDb_ = CalibratorOffsetDb(measuredDbfs, calibratorDbSpl);
  calibrated_ = true;
  meter_.SetOffsetDb(offsetDb_, true);
  ShowNumbers();
  return true;
}

void TFOctaveAnalyser::ClearCalibration() {
  offsetDb_ = 0;
  calibrated_ = false;
  meter_.SetOffsetDb(0, false);
  ShowNumbers();
}

bool TFOctaveAnalyser::LoadMicrophone(const QString& path, QString* why) {
  std::string error;
  std::optional<CalibrationFile> file =
      CalibrationFile::Load(QFile::encodeName(path).toStdString(), &error);
  if (!file) {
    if (why) *why = QString::fromLocal8Bit(error);
    return false;
  }
  microphone_ = file;
  meter_.SetMicrophone(std::move(file));
  microphoneName_ = QFileInfo(path).fileName();
  CCorrectTrace->setEnabled(true);
  ApplyTraceCorrection();
  ShowNumbers();
  return true;
}

void TFOctaveAnalyser::ApplyTraceCorrection() {
  if (microphone_ && CCorrectTrace->isChecked()) {
    emit TraceCorrectionChanged([file = *microphone_](double hz) { return file.CorrectionDb(hz); });
  } else {
    emit TraceCorrectionChanged({});
  }
}

void TFOctaveAnalyser::BCalibrateClick() {
  const std::optional<double> level = AskCalibratorLevel(this);
  if (!level) return;
  QString why;
  if (!CalibrateWith(*level, &why)) ShowMessage(this, why);
}

void TFOctaveAnalyser::BMicrophoneClick() {
  const QString path = AskCalibrationFile(this);
  if (path.isEmpty()) return;
  QString why;
  if (!LoadMicrophone(path, &why))
    ShowMessage(this, "The calibration file was not applied.\n" + why);
}

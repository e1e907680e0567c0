#include "Dlgimpulse.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <exception>
#include <new>
#include <numbers>

#include "Audiofile.h"
#include "Chart.h"
#include "Fft.h"
#include "Floatwav.h"
#include "Formcontrols.h"
#include "Spectrumtable.h"
#include "Sweepdeconvolution.h"

std::function<QString(QWidget*, const QString&)> TFImpulse::AskOpenFile =
    [](QWidget* parent, const QString& caption) {
      return QFileDialog::getOpenFileName(parent, caption, QString(),
                                          "Audio files (*.wav *.flac);;All files (*)");
    };

std::function<QString(QWidget*, const QString&, const QString&)> TFImpulse::AskSaveFile =
    [](QWidget* parent, const QString& caption, const QString& filter) {
      return QFileDialog::getSaveFileName(parent, caption, QString(), filter);
    };

struct TFImpulse::Result {
  QString error;  // empty: analysed
  QString source;
  std::vector<double> response;
  double toFullScale = 1.0;
  int rate = 0;
  double zeroSeconds = 0.0;  // where on the response the recording started
  RoomAcoustics room;
};

namespace {

const QString kNoValue = QStringLiteral("---");
const char* const kRowNames[TFImpulse::kParameters] = {"EDT (s)",  "T20 (s)", "T30 (s)", "C50 (dB)",
                                                       "C80 (dB)", "D50 (%)", "Ts (ms)"};
const char* const kCsvNames[TFImpulse::kParameters] = {"edt_s",  "t20_s",   "t30_s", "c50_db",
                                                       "c80_db", "d50_pct", "ts_ms"};
// The command line's precision, so that the table reads as its lines do.
const char* const kFormats[TFImpulse::kParameters] = {"%.3f", "%.3f", "%.3f", "%.2f",
                                                      "%.2f", "%.1f", "%.1f"};
constexpr int kMostPoints = 4000;  // per curve: a few per pixel column

double Parameter(const RoomParameters& p, int row) {
  switch (row) {
    case 0:
      return p.edt.seconds;
    case 1:
      return p.t20.seconds;
    case 2:
      return p.t30.seconds;
    case 3:
      return p.c50Db;
    case 4:
      return p.c80Db;
    case 5:
      return p.d50Pct;
    default:
      return p.tsMs;
  }
}

QString Reason(const RoomParameters& p, int row) {
  const std::string& r = row == 0   ? p.edt.reason
                         : row == 1 ? p.t20.reason
                         : row == 2 ? p.t30.reason
                                    : p.energyReason;
  return QString::fromStdString(r.empty() ? std::string("not measurable") : r);
}

// The first channel of a whole file, refused beyond `most` frames; empty with *error set.
std::vector<double> ReadFirstChannel(const QString& path, int64_t most, int* rate, QString* error) {
  const std::string name = QFile::encodeName(path).toStdString();
  Audiofile file;
  std::string reason;
  std::vector<double> out;
  if (!file.Open(name, &reason)) {
    *error = QString::fromStdString(reason);
    return out;
  }
  if (file.Frames() > most || file.Frames() < 1) {
    *error = path + (file.Frames() < 1 ? ": holds no frames"
                                       : QString(": longer than %1 frames").arg(most));
    return out;
  }
  *rate = file.Rate();
  out.resize(static_cast<size_t>(file.Frames()));
  std::vector<double> right(file.Channels() == 2 ? out.size() : 0);
  const int64_t got =
      file.Read(out.data(), right.empty() ? nullptr : right.data(), file.Frames(), &reason);
  if (got != file.Frames()) {
    *error = got >= 0 ? path + ": the file ended early" : QString::fromStdString(reason);
    out.clear();
  }
  return out;
}

// Every `step` samples' largest magnitude as one point, so that a long response keeps its
// peaks on the screen.
void AddEnvelope(TChartSeries* s, const std::vector<double>& x, double rate, double zeroSeconds,
                 bool db, double peak) {
  const size_t n = x.size();
  const size_t step = std::max<size_t>(1, (n + kMostPoints - 1) / kMostPoints);
  std::vector<double> t, y;
  for (size_t i = 0; i < n; i += step) {
    size_t at = i;
    for (size_t j = i; j < std::min(n, i + step); ++j)
      if (std::fabs(x[j]) > std::fabs(x[at])) at = j;
    t.push_back(1000.0 * (static_cast<double>(at) / rate - zeroSeconds));
    if (db) {
      const double v = std::fabs(x[at]) / peak;
      y.push_back(v > 1e-6 ? 20.0 * std::log10(v) : -120.0);
    } else {
      y.push_back(x[at] / peak);
    }
  }
  s->AddPoints(t.data(), y.data(), static_cast<int>(t.size()), s->SeriesColor().rgba());
}

TChart* MakeChart(QWidget* parent, const QString& name, const QString& x, const QString& y) {
  auto* c = new TChart(parent);
  c->setAccessibleName(name);
  c->SetTitleVisible(true);
  c->SetTitleText(name);
  c->BottomAxis().SetTitleCaption(x);
  c->LeftAxis().SetTitleCaption(y);
  c->BottomAxis().SetAutomatic(true);
  c->LeftAxis().SetAutomatic(true);
  c->setMinimumSize(320, 200);
  return c;
}

QPushButton* Button(const QString& caption, QWidget* parent) {
  auto* b = new QPushButton(caption, parent);
  b->setAccessibleName(QString(caption).remove("..."));
  b->setAutoDefault(false);
  return b;
}

}  // namespace

const std::vector<QString>& TFImpulse::Columns() {
  static const std::vector<QString> columns = {"63",   "125",  "250",  "500",      "1000",
                                               "2000", "4000", "8000", "broadband"};
  return columns;
}

TFImpulse::TFImpulse(QWidget* parent) : QWidget(parent, kToolWindowFlags) {
  setWindowTitle("Impulse response");
  setAccessibleName("Impulse response");
  UseFormFont(this);

  BOpen = Button("Open impulse response...", this);
  BOpenSweep = Button("Open recording and sweep...", this);
  BSaveResponse = Button("Save response...", this);
  BSaveTable = Button("Save table...", this);
  BMeasure = Button("Measure", this);
  BMeasure->setEnabled(false);
  BMeasure->setToolTip("Measuring needs a sound output");
  BClose = Button("Close", this);

  ChartResponse = MakeChart(this, "Impulse response", "Time (ms)", "Amplitude re peak");
  ChartEtc = MakeChart(this, "Energy-time curve", "Time (ms)", "dB re peak");
  ChartDecay = MakeChart(this, "Decay curve", "Time (ms)", "dB");
  ChartFrequency = MakeChart(this, "Frequency response", "Frequency (Hz)", "dB re peak");
  // Silence before the onset would otherwise stretch the scale down to the floor of -120 dB.
  ChartEtc->LeftAxis().SetRange(-100.0, 5.0);
  ChartFrequency->BottomAxis().SetAutomatic(false);
  ChartFrequency->BottomAxis().SetRange(20.0, 20000.0);
  ChartFrequency->BottomAxis().SetLogarithmic(true);
  responseSeries_ = ChartResponse->AddSeries(TSeriesKind::Line, "Response");
  responseSeries_->SetSeriesColor(QColor(clBlue));
  etcSeries_ = ChartEtc->AddSeries(TSeriesKind::Line, "Energy-time curve");
  etcSeries_->SetSeriesColor(QColor(clBlue));
  decaySeries_ = ChartDecay->AddSeries(TSeriesKind::Line, "Decay");
  decaySeries_->SetSeriesColor(QColor(clRed));
  frequencySeries_ = ChartFrequency->AddSeries(TSeriesKind::Line, "Frequency response");
  frequencySeries_->SetSeriesColor(QColor(clGreen));

  CBand = new QComboBox(this);
  CBand->setAccessibleName("Decay band");
  auto* bandLabel = new QLabel("Decay of band:", this);
  bandLabel->setBuddy(CBand);
  CBGate = new QCheckBox("Time gate", this);
  CBGate->setAccessibleName("Time gate");
  EGate = new QSpinBox(this);
  EGate->setAccessibleName("Time gate length");
  EGate->setRange(1, 1000);
  EGate->setValue(20);
  EGate->setSuffix(" ms");

  Table = new QTableWidget(kParameters, static_cast<int>(Columns().size()), this);
  Table->setAccessibleName("Parameters per band");
  Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  QStringList header;
  for (const QString& c : Columns())
    header << (c == "broadband" ? QString("Broadband") : c + " Hz");
  Table->setHorizontalHeaderLabels(header);
  QStringList rows;
  for (const char* r : kRowNames)
    rows << r;
  Table->setVerticalHeaderLabels(rows);
  Table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
  Table->setMinimumHeight(Table->verticalHeader()->length() + Table->horizontalHeader()->height() +
                          4);
  for (int r = 0; r < kParameters; ++r)
    for (int c = 0; c < Table->columnCount(); ++c) {
      auto* item = new QTableWidgetItem(kNoValue);
      item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      Table->setItem(r, c, item);
    }

  LStatus = new QLabel(this);
  LStatus->setAccessibleName("Status");
  SetStatus("Open an impulse response, or a recording and the sweep that was played.");

  auto* layout = new QVBoxLayout(this);
  auto* buttons = new QHBoxLayout;
  for (QPushButton* b : {BOpen, BOpenSweep, BSaveResponse, BSaveTable, BMeasure})
    buttons->addWidget(b);
  buttons->addStretch();
  buttons->addWidget(BClose);
  layout->addLayout(buttons);
  auto* charts = new QGridLayout;
  charts->addWidget(ChartResponse, 0, 0);
  charts->addWidget(ChartEtc, 0, 1);
  charts->addWidget(ChartDecay, 1, 0);
  charts->addWidget(ChartFrequency, 1, 1);
  layout->addLayout(charts, 1);
  auto* options = new QHBoxLayout;
  options->addWidget(bandLabel);
  options->addWidget(CBand);
  options->addSpacing(24);
  options->addWidget(CBGate);
  options->addWidget(EGate);
  options->addStretch();
  layout->addLayout(options);
  layout->addWidget(Table);
  layout->addWidget(LStatus);
  resize(1000, 780);

  connect(BOpen, &QPushButton::clicked, this, [this] {
    const QString path = AskOpenFile(this, "Open impulse response");
    if (!path.isEmpty()) OpenResponse(path);
  });
  connect(BOpenSweep, &QPushButton::clicked, this, [this] {
    const QString recording = AskOpenFile(this, "Open recording");
    if (recording.isEmpty()) return;
    const QString sweep = AskOpenFile(this, "Open sweep");
    if (!sweep.isEmpty()) OpenRecording(recording, sweep);
  });
  connect(BSaveResponse, &QPushButton::clicked, this, [this] {
    const QString path = AskSaveFile(this, "Save response", "WAV files (*.wav)");
    QString error;
    if (!path.isEmpty() && !SaveResponse(path, &error)) SetStatus(error);
  });
  connect(BSaveTable, &QPushButton::clicked, this, [this] {
    const QString path = AskSaveFile(this, "Save table", "CSV files (*.csv)");
    QString error;
    if (!path.isEmpty() && !SaveTable(path, &error)) SetStatus(error);
  });
  connect(BClose, &QPushButton::clicked, this, &QWidget::hide);
  connect(CBand, &QComboBox::currentIndexChanged, this, [this] { ShowDecay(); });
  connect(CBGate, &QCheckBox::toggled, this, [this] { ShowFrequencyResponse(); });
  connect(EGate, &QSpinBox::valueChanged, this, [this] {
    if (CBGate->isChecked()) ShowFrequencyResponse();
  });
  UpdateButtons();
}

TFImpulse::~TFImpulse() {
  // The worker posts its result to this object; Qt drops it with the object.
  if (worker_.joinable()) worker_.join();
}

bool TFImpulse::Start(const QString& what, std::function<std::shared_ptr<Result>()> work) {
  if (busy_) {
    SetStatus("Still analysing; open the next file when it is done.");
    return false;
  }
  if (worker_.joinable()) worker_.join();  // ended already: its result was shown
  busy_ = true;
  SetStatus("Analysing " + what + "...");
  UpdateButtons();
  worker_ = std::thread([this, work = std::move(work)] {
    std::shared_ptr<Result> result;
    try {
      result = work();
    } catch (const std::bad_alloc&) {
      result = std::make_shared<Result>();
      result->error = "Not enough memory to analyse it.";
    } catch (const std::exception& e) {
      result = std::make_shared<Result>();
      result->error = QString::fromLocal8Bit(e.what());
    }
    QMetaObject::invokeMethod(
        this, [this, result] { Finish(result); }, Qt::QueuedConnection);
  });
  return true;
}

bool TFImpulse::OpenResponse(const QString& path) {
  return Start(QFileInfo(path).fileName(), [path] {
    auto r = std::make_shared<Result>();
    r->source = QFileInfo(path).fileName();
    r->response = ReadFirstChannel(path, MaxRoomResponseFrames(), &r->rate, &r->error);
    if (!r->error.isEmpty()) return r;
    // The file's 16-bit scale back to full scale, as the command line writes it.
    r->toFullScale = 1.0 / 32768.0;
    r->room = AnalyseRoom(r->response.data(), static_cast<int64_t>(r->response.size()), r->rate);
    if (!r->room.valid) r->error = path + ": " + QString::fromStdString(r->room.error);
    return r;
  });
}

bool TFImpulse::OpenRecording(const QString& recording, const QString& sweep) {
  return Start(QFileInfo(recording).fileName(), [recording, sweep] {
    auto r = std::make_shared<Result>();
    r->source = QFileInfo(recording).fileName();
    int sweepRate = 0;
    const std::vector<double> s =
        ReadFirstChannel(sweep, MaxDeconvolutionFrames(), &sweepRate, &r->error);
    if (!r->error.isEmpty()) return r;
    const std::vector<double> x =
        ReadFirstChannel(recording, MaxDeconvolutionFrames(), &r->rate, &r->error);
    if (!r->error.isEmpty()) return r;
    if (r->rate != sweepRate) {
      r->error = QString("%1: sampled at %2 Hz, the sweep at %3 Hz")
                     .arg(recording)
                     .arg(r->rate)
                     .arg(sweepRate);
      return r;
    }
    if (s.size() > x.size()) {
      r->error = sweep + ": the sweep is longer than the recording";
      return r;
    }
    SweepDeconvolution d = DeconvolveSweep(x.data(), static_cast<int64_t>(x.size()), s.data(),
                                           static_cast<int64_t>(s.size()), r->rate);
    if (!d.valid) {
      r->error = recording + ": " + QString::fromStdString(d.error);
      return r;
    }
    r->zeroSeconds = static_cast<double>(d.zero) / r->rate;
    r->response = std::move(d.response);
    r->toFullScale = 1.0;  // recording over sweep: a unit gain reads 1
    r->room = AnalyseRoom(r->response.data(), static_cast<int64_t>(r->response.size()), r->rate);
    if (!r->room.valid) r->error = recording + ": " + QString::fromStdString(r->room.error);
    return r;
  });
}

void TFImpulse::Finish(std::shared_ptr<Result> result) {
  if (worker_.joinable()) worker_.join();  // it has posted this as its last act
  busy_ = false;
  if (!result->error.isEmpty()) {
    // What was shown before stays: a refused file replaces nothing.
    SetStatus(result->error);
    UpdateButtons();
    emit Analysed(false);
    return;
  }
  response_ = std::move(result->response);
  toFullScale_ = result->toFullScale;
  rate_ = result->rate;
  zeroSeconds_ = result->zeroSeconds;
  room_ = std::move(result->room);
  SetStatus(QString("%1: %2 Hz, %3 s")
                .arg(result->source)
                .arg(rate_)
                .arg(static_cast<double>(response_.size()) / rate_, 0, 'f', 3));
  ShowTable();
  {
    const QSignalBlocker block(CBand);
    const QString before = CBand->currentText();
    CBand->clear();
    CBand->addItem("Broadband");
    for (const RoomParameters& p : room_.bands)
      CBand->addItem(QString::fromStdString(p.band) + " Hz");
    CBand->setCurrentIndex(std::max(0, CBand->findText(before)));
  }
  ShowCurves();
  UpdateButtons();
  emit Analysed(true);
}

QString TFImpulse::Cell(int row, int column) const {
  const QTableWidgetItem* item = Table->item(row, column);
  return item ? item->text() : QString();
}

void TFImpulse::ShowTable() {
  const std::vector<QString>& columns = Columns();
  for (int c = 0; c < static_cast<int>(columns.size()); ++c) {
    const RoomParameters* p = nullptr;
    if (columns[c] == "broadband") p = &room_.broadband;
    for (const RoomParameters& b : room_.bands)
      if (QString::fromStdString(b.band) == columns[c]) p = &b;
    for (int r = 0; r < kParameters; ++r) {
      QTableWidgetItem* item = Table->item(r, c);
      const double v = p ? Parameter(*p, r) : std::nan("");
      item->setText(std::isnan(v) ? kNoValue : QString::asprintf(kFormats[r], v));
      item->setToolTip(!p              ? QString("Not analysed at this rate")
                       : std::isnan(v) ? Reason(*p, r)
                                       : QString());
    }
  }
}

void TFImpulse::ShowCurves() {
  responseSeries_->ClearPoints();
  etcSeries_->ClearPoints();
  double peak = 0.0;
  for (double v : response_)
    peak = std::max(peak, std::fabs(v));
  if (peak > 0.0) {
    AddEnvelope(responseSeries_, response_, rate_, zeroSeconds_, false, peak);
    AddEnvelope(etcSeries_, response_, rate_, zeroSeconds_, true, peak);
  }
  ChartResponse->InvalidateData();
  ChartEtc->InvalidateData();
  ShowDecay();
  ShowFrequencyResponse();
}

void TFImpulse::ShowDecay() {
  decaySeries_->ClearPoints();
  const int index = CBand->currentIndex();
  if (room_.valid && index >= 0) {
    const RoomParameters& p =
        index == 0 ? room_.broadband : room_.bands[static_cast<size_t>(index - 1)];
    const size_t n = p.curveDb.size();
    const size_t step = std::max<size_t>(1, (n + kMostPoints - 1) / kMostPoints);
    std::vector<double> t, y;
    for (size_t i = 0; i < n; i += step)
      if (std::isfinite(p.curveDb[i])) {
        t.push_back(1000.0 *
                    (p.onsetSeconds + static_cast<double>(i) / p.curveRate - zeroSeconds_));
        y.push_back(p.curveDb[i]);
      }
    decaySeries_->AddPoints(t.data(), y.data(), static_cast<int>(t.size()),
                            decaySeries_->SeriesColor().rgba());
  }
  ChartDecay->InvalidateData();
}

void TFImpulse::ShowFrequencyResponse() {
  frequencySeries_->ClearPoints();
  if (!response_.empty()) {
    // The gate starts a millisecond before the peak and ends with a half-cosine over its
    // last quarter, so that its edge adds no ripple of its own.
    size_t first = 0, count = response_.size();
    if (CBGate->isChecked()) {
      size_t peak = 0;
      for (size_t i = 0; i < response_.size(); ++i)
        if (std::fabs(response_[i]) > std::fabs(response_[peak])) peak = i;
      const auto pre = static_cast<size_t>(0.001 * rate_);
      first = peak > pre ? peak - pre : 0;
      count = std::min(response_.size() - first,
                       static_cast<size_t>(std::max(16.0, EGate->value() * 0.001 * rate_)));
    }
    uint32_t length = 16;
    while (length < count && length < (1u << 22))
      length *= 2;
    count = std::min<size_t>(count, length);
    std::vector<double> block(length, 0.0);
    const size_t taper = CBGate->isChecked() ? count / 4 : 0;
    for (size_t i = 0; i < count; ++i) {
      double w = 1.0;
      if (i + taper >= count && taper > 0)
        w = 0.5 + 0.5 * std::cos(std::numbers::pi * static_cast<double>(i + taper - count + 1) /
                                 static_cast<double>(taper));
      block[i] = response_[first + i] * w;
    }
    FFT fft(length, block.data(), WindowRectangular);
    const double binHz = static_cast<double>(rate_) / length;
    // Log-spaced points, each the largest bin it covers.
    const double low = std::max(binHz, 10.0), high = 0.5 * rate_;
    const int points = 600;
    std::vector<double> f, db;
    double most = 0.0;
    for (uint32_t k = 1; k < length / 2; ++k)
      most = std::max(most, fft.Levels[k]);
    for (int i = 0; i < points && most > 0.0; ++i) {
      const double a = low * std::pow(high / low, static_cast<double>(i) / points);
      const double b = low * std::pow(high / low, static_cast<double>(i + 1) / points);
      auto k0 = static_cast<uint32_t>(std::lround(a / binHz));
      auto k1 = std::max(k0, static_cast<uint32_t>(std::lround(b / binHz)));
      k1 = std::min(k1, length / 2 - 1);
      double v = 0.0;
      for (uint32_t k = k0; k <= k1; ++k)
        v = std::max(v, fft.Levels[k]);
      if (k0 > k1 || !(v > 0.0)) continue;
      f.push_back(std::sqrt(a * b));
      db.push_back(std::max(-160.0, 20.0 * std::log10(v / most)));
    }
    frequencySeries_->AddPoints(f.data(), db.data(), static_cast<int>(f.size()),
                                frequencySeries_->SeriesColor().rgba());
    ChartFrequency->BottomAxis().SetRange(std::max(10.0, low), high);
  }
  ChartFrequency->InvalidateData();
}

std::vector<double> TFImpulse::Response() const {
  std::vector<double> out(response_);
  for (double& v : out)
    v *= toFullScale_;
  return out;
}

bool TFImpulse::SaveResponse(const QString& path, QString* error) {
  if (response_.empty()) {
    *error = "No response to save: open one first.";
    return false;
  }
  std::string bytes, reason;
  if (!FloatWavBytes(response_, toFullScale_, rate_, &bytes)) {
    *error = path + ": too long for a WAV file";
    return false;
  }
  if (!WriteFileWhole(QFile::encodeName(path).toStdString(), bytes, &reason)) {
    *error = QString::fromStdString(reason);
    return false;
  }
  return true;
}

QString TFImpulse::TableCsv() const {
  QString text = "parameter";
  for (const QString& c : Columns())
    text += "," + c;
  text += "\r\n";
  for (int r = 0; r < kParameters; ++r) {
    text += kCsvNames[r];
    for (int c = 0; c < static_cast<int>(Columns().size()); ++c)
      text += "," + Cell(r, c);
    text += "\r\n";
  }
  return text;
}

bool TFImpulse::SaveTable(const QString& path, QString* error) {
  if (!room_.valid) {
    *error = "No table to save: open a response first.";
    return false;
  }
  std::string reason;
  if (!WriteFileWhole(QFile::encodeName(path).toStdString(), TableCsv().toStdString(), &reason)) {
    *error = QString::fromStdString(reason);
    return false;
  }
  return true;
}

QString TFImpulse::Status() const {
  return LStatus->text();
}

void TFImpulse::SetStatus(const QString& text) {
  LStatus->setText(text);
}

void TFImpulse::UpdateButtons() {
  BOpen->setEnabled(!busy_);
  BOpenSweep->setEnabled(!busy_);
  BSaveResponse->setEnabled(!busy_ && !response_.empty());
  BSaveTable->setEnabled(!busy_ && room_.valid);
}

#include "Dlgtransfer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <optional>

#include "Chart.h"
#include "Fractionalsmoothing.h"
#include "Spectrumtable.h"

TFTransfer* FTransfer = nullptr;

namespace {

constexpr auto kTurn = std::chrono::milliseconds(20);
constexpr auto kPublish = std::chrono::milliseconds(80);
// The longest lag the delay finder searches either way.
constexpr double kDelaySearchSeconds = 0.1;
// A correlation peak this far above the rest is taken as the delay.
constexpr double kDelayClarity = 5.0;
constexpr int kLengths[] = {1024, 2048, 4096, 8192, 16384, 32768, 65536};
constexpr int kSmoothings[] = {0, 48, 24, 12, 6, 3, 1};
const QRgb kTraceColours[TFTransfer::MaxTraces] = {0xff008000, 0xffff00ff, 0xff008080, 0xff808000,
                                                   0xffff8000, 0xff800080, 0xff0080ff, 0xff804000};

// Whether a change of `b` from `a` invalidates the averages.
bool RestartsAverages(const TransferMeterSettings& a, const TransferMeterSettings& b) {
  return a.ReferenceChannel != b.ReferenceChannel || a.Core.Length != b.Core.Length ||
         a.Core.Window != b.Core.Window || a.Core.Hop != b.Core.Hop ||
         a.Core.Averaging != b.Core.Averaging || a.Core.Blocks != b.Core.Blocks ||
         a.Core.Combining != b.Core.Combining || a.DelayMode != b.DelayMode ||
         (b.DelayMode == TransferDelayMode::Fixed && a.DelayMs != b.DelayMs);
}

}  // namespace

TransferMeter::TransferMeter(size_t ringCapacity) : ring_(ringCapacity) {}

TransferMeter::~TransferMeter() {
  Stop();
}

void TransferMeter::Start() {
  if (thread_.joinable()) return;
  ring_.Discard();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = false;
    reading_ = TransferReading{};
    consumed_ = ring_.FramesFed();
  }
  thread_ = std::thread([this] { Run(); });
  listening_ = true;
}

void TransferMeter::Stop() {
  listening_ = false;
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
  published_.notify_all();
}

SampleStream* TransferMeter::AcquireStream(const void* worker) {
  const void* expected = nullptr;
  if (!holder_.compare_exchange_strong(expected, worker) && expected != worker) return nullptr;
  return &ring_;
}

void TransferMeter::ReleaseStream(const void* worker) {
  const void* expected = worker;
  holder_.compare_exchange_strong(expected, nullptr);
}

void TransferMeter::SetSettings(const TransferMeterSettings& settings) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_ = settings;
  ++settingsVersion_;
}

TransferMeterSettings TransferMeter::Settings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_;
}

void TransferMeter::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++resetsWanted_;
}

TransferReading TransferMeter::Reading() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reading_;
}

bool TransferMeter::Flush(double seconds) {
  const uint64_t target = ring_.FramesFed();
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t version = settingsVersion_, resets = resetsWanted_;
  const auto done = [&] {
    return consumed_ >= target && settingsDone_ >= version && resetsDone_ >= resets;
  };
  if (!thread_.joinable() || stop_) return false;
  ++flushers_;
  const bool flushed = published_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
    return done() || stop_;
  }) && done();
  --flushers_;
  return flushed;
}

void TransferMeter::Run() {
  TransferMeterSettings settings;
  uint64_t applied = ~uint64_t{0};
  std::unique_ptr<Transferfunction> core;
  std::unique_ptr<Delayfinder> finder;
  int rate = 0, channels = 0;
  int finderBlocks = 0;
  bool delayFound = false;
  bool changed = false;
  std::vector<double> m, r;
  uint64_t readTotal = consumed_ - ring_.FramesDropped();  // as the ring counts
  uint64_t resets = resetsWanted_;
  std::chrono::steady_clock::time_point lastPublished{};

  auto build = [&] {
    core.reset();
    finder.reset();
    finderBlocks = 0;
    delayFound = false;
    if (rate <= 0 || channels != 2) return;
    core = std::make_unique<Transferfunction>(settings.Core, rate);
    if (settings.DelayMode == TransferDelayMode::Fixed)
      core->SetDelay(settings.DelayMs * 1e-3 * rate);
    else
      finder = std::make_unique<Delayfinder>(rate, kDelaySearchSeconds);
    changed = true;
  };

  for (;;) {
    bool reset = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait_for(lock, kTurn, [this] { return stop_; });
      if (stop_) break;
      if (applied != settingsVersion_) {
        const TransferMeterSettings next = settings_;
        reset = applied == ~uint64_t{0} || RestartsAverages(settings, next);
        settings = next;
        applied = settingsVersion_;
        if (!reset && core) {
          core->SetSmoothing(settings.Core.Smoothing);
          core->SetBlankBelowCoherence(settings.Core.BlankBelowCoherence);
          changed = true;
        }
      }
      if (resets != resetsWanted_) reset = true;
      resets = resetsWanted_;
    }
    if (reset) build();

    uint64_t read = 0;
    ring_.Read([&](const StreamRing::Piece& piece) {
      read += static_cast<uint64_t>(piece.frames);
      if (piece.rate != rate || piece.channels != channels) {
        rate = piece.rate;
        channels = piece.channels;
        build();
        changed = true;
      } else if (piece.afterGap && core) {
        // What follows does not continue the blocks begun.
        build();
      }
      if (!core || piece.frames <= 0) return;
      const int measurement = 1 - settings.ReferenceChannel;
      core->PushInterleaved(piece.samples, piece.frames, 2, measurement, settings.ReferenceChannel);
      changed = true;
      if (!finder) return;
      m.resize(static_cast<size_t>(piece.frames));
      r.resize(m.size());
      for (int i = 0; i < piece.frames; ++i) {
        m[i] = piece.samples[2 * i + measurement];
        r[i] = piece.samples[2 * i + settings.ReferenceChannel];
      }
      finder->Push(m.data(), r.data(), piece.frames);
      if (finder->Blocks() == finderBlocks) return;
      finderBlocks = finder->Blocks();
      const DelayEstimate e = finder->Find();
      if (!e.Found || e.Clarity < kDelayClarity) return;
      if (!delayFound || std::fabs(e.Samples - core->Delay()) > 0.05) core->SetDelay(e.Samples);
      delayFound = true;
      if (settings.DelayMode == TransferDelayMode::Find) {
        finder.reset();
      } else {
        // Tracking follows a delay that moves: each finding from fresh blocks.
        finder->Reset();
        finderBlocks = 0;
      }
    });

    readTotal += read;
    // A result at most every kPublish (the window shows no more), at once for a Flush.
    bool flushing;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      flushing = flushers_ > 0;
    }
    const auto now = std::chrono::steady_clock::now();
    if (changed && !flushing && now - lastPublished < kPublish) continue;
    lastPublished = now;
    std::optional<TransferResult> result;
    if (changed && core && core->Averages() > 0) result = core->Result();
    std::lock_guard<std::mutex> lock(mutex_);
    consumed_ = readTotal + ring_.FramesDropped();
    settingsDone_ = applied;
    resetsDone_ = resets;
    if (changed) {
      reading_.Channels = channels;
      reading_.Rate = rate;
      reading_.DelayMs = core && rate > 0 ? core->Delay() * 1e3 / rate : 0.0;
      reading_.DelaySearching =
          core && settings.DelayMode != TransferDelayMode::Fixed && !delayFound;
      reading_.Valid = result.has_value();
      if (result)
        reading_.Result = std::move(*result);
      else
        reading_.Result = TransferResult{};
      ++reading_.Version;
      changed = false;
    }
    published_.notify_all();
  }
}

std::function<QString(QWidget*, const QString&)> TFTransfer::AskTraceName =
    [](QWidget* parent, const QString& proposed) {
      bool ok = false;
      const QString name = QInputDialog::getText(
          parent, "Store", "Name of the trace:", QLineEdit::Normal, proposed, &ok);
      return ok ? name : QString();
    };

std::function<QString(QWidget*)> TFTransfer::AskExportFile = [](QWidget* parent) {
  return QFileDialog::getSaveFileName(parent, "Export FRD", QString(),
                                      "FRD files (*.frd);;All files (*)");
};

TFTransfer::TFTransfer(QWidget* parent) : QWidget(parent, Qt::Window), TPacedView(this) {
  FTransfer = this;
  setWindowTitle("Transfer function");
  resize(820, 700);

  auto* controls = new QGridLayout;
  auto label = [&](const char* text, int row, int column) {
    controls->addWidget(new QLabel(QString::fromUtf8(text), this), row, column);
  };
  label("Reference:", 0, 0);
  CReference = new QComboBox(this);
  CReference->addItems({"L", "R"});
  CReference->setCurrentIndex(1);
  controls->addWidget(CReference, 0, 1);
  label("FFT length:", 0, 2);
  CLength = new QComboBox(this);
  for (int n : kLengths)
    CLength->addItem(QString::number(n), n);
  CLength->setCurrentIndex(4);
  controls->addWidget(CLength, 0, 3);
  label("Averaging:", 0, 4);
  CAveraging = new QComboBox(this);
  CAveraging->addItems({"All", "Last 16", "Fast", "Slow"});
  controls->addWidget(CAveraging, 0, 5);
  label("Smoothing:", 0, 6);
  CSmoothing = new QComboBox(this);
  for (int n : kSmoothings)
    CSmoothing->addItem(n ? QString("1/%1").arg(n) : QString("None"), n);
  controls->addWidget(CSmoothing, 0, 7);

  label("Delay:", 1, 0);
  EDelay = new QDoubleSpinBox(this);
  EDelay->setRange(-1000.0, 1000.0);
  EDelay->setDecimals(4);
  EDelay->setSuffix(" ms");
  controls->addWidget(EDelay, 1, 1);
  BFind = new QPushButton("Find", this);
  controls->addWidget(BFind, 1, 2);
  CTrack = new QCheckBox("Track", this);
  controls->addWidget(CTrack, 1, 3);
  label("Hide γ² below:", 1, 4);
  EBlank = new QDoubleSpinBox(this);
  EBlank->setRange(0.0, 1.0);
  EBlank->setSingleStep(0.05);
  EBlank->setDecimals(2);
  controls->addWidget(EBlank, 1, 5);
  CLogAxis = new QCheckBox("Log axis", this);
  CLogAxis->setChecked(true);
  controls->addWidget(CLogAxis, 1, 6);

  auto makeChart = [&](const char* title, double low, double high) {
    auto* chart = new TChart(this);
    chart->SetTitleVisible(false);
    chart->SetLegendVisible(false);
    chart->SetView3D(false);
    chart->LeftAxis().SetTitleCaption(QString::fromUtf8(title));
    chart->LeftAxis().SetRange(low, high);
    chart->BottomAxis().SetTitleCaption("Hz");
    for (int i = 0; i < MaxTraces; ++i) {
      TChartSeries* s = chart->AddSeries(TSeriesKind::Line, QString("Trace%1").arg(i + 1));
      s->SetSeriesColor(QColor::fromRgb(kTraceColours[i]));
      s->SetVisible(false);
      traceSeries_.push_back(s);
    }
    TChartSeries* live = chart->AddSeries(TSeriesKind::Line, "Live");
    live->SetSeriesColor(Qt::blue);
    return std::pair{chart, live};
  };
  std::tie(ChartMagnitude, live_[0]) = makeChart("dB", -60.0, 20.0);
  std::tie(ChartPhase, live_[1]) = makeChart("°", -180.0, 180.0);
  std::tie(ChartCoherence, live_[2]) = makeChart("γ²", 0.0, 1.0);
  ChartPhase->LeftAxis().SetIncrement(90.0);

  LState = new QLabel(this);
  BStore = new QPushButton("Store", this);
  BExport = new QPushButton("Export FRD...", this);
  BReset = new QPushButton("Reset", this);
  BClose = new QPushButton("Close", this);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(LState, 1);
  for (QPushButton* b : {BStore, BExport, BReset, BClose})
    buttons->addWidget(b);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(controls);
  layout->addWidget(ChartMagnitude, 3);
  layout->addWidget(ChartPhase, 2);
  layout->addWidget(ChartCoherence, 1);
  layout->addLayout(buttons);

  for (QComboBox* c : {CReference, CLength, CAveraging, CSmoothing})
    connect(c, &QComboBox::currentIndexChanged, this, [this] { ApplySettings(); });
  connect(EBlank, &QDoubleSpinBox::valueChanged, this, [this] { ApplySettings(); });
  connect(EDelay, &QDoubleSpinBox::valueChanged, this, [this] {
    finding_ = false;
    CTrack->setChecked(false);
    ApplySettings();
  });
  connect(CTrack, &QCheckBox::toggled, this, [this] {
    finding_ = false;
    ApplySettings();
  });
  connect(CLogAxis, &QCheckBox::toggled, this, [this] { ApplyAxis(); });
  connect(BFind, &QPushButton::clicked, this, [this] { BFindClick(); });
  connect(BStore, &QPushButton::clicked, this, [this] { BStoreClick(); });
  connect(BExport, &QPushButton::clicked, this, [this] { BExportClick(); });
  connect(BReset, &QPushButton::clicked, this, [this] { BResetClick(); });
  connect(BClose, &QPushButton::clicked, this, [this] { close(); });

  poll_ = new QTimer(this);
  poll_->setInterval(PollInterval);
  connect(poll_, &QTimer::timeout, this, [this] { Poll(); });

  ApplyAxis();
  ApplySettings();
  ShowState();
}

TFTransfer::~TFTransfer() {
  receiving_ = false;
  meter_.Stop();
  if (FTransfer == this) FTransfer = nullptr;
}

void TFTransfer::ApplySettings() {
  TransferMeterSettings s;
  s.ReferenceChannel = CReference->currentIndex() == 0 ? 0 : 1;
  s.Core.Length = CLength->currentData().toInt();
  switch (CAveraging->currentIndex()) {
    case 1:
      s.Core.Averaging = TransferAveraging::Last;
      break;
    case 2:
      s.Core.Averaging = TransferAveraging::Fast;
      break;
    case 3:
      s.Core.Averaging = TransferAveraging::Slow;
      break;
    default:
      s.Core.Averaging = TransferAveraging::All;
      break;
  }
  s.Core.Blocks = 16;
  s.Core.Smoothing = CSmoothing->currentData().toInt();
  s.Core.BlankBelowCoherence = EBlank->value();
  s.DelayMode = CTrack->isChecked() ? TransferDelayMode::Track
                : finding_          ? TransferDelayMode::Find
                                    : TransferDelayMode::Fixed;
  s.DelayMs = EDelay->value();
  meter_.SetSettings(s);
}

void TFTransfer::ApplyAxis() {
  for (TChart* chart : {ChartMagnitude, ChartPhase, ChartCoherence}) {
    chart->BottomAxis().SetLogarithmic(CLogAxis->isChecked());
    chart->BottomAxis().SetRange(CLogAxis->isChecked() ? 20.0 : 0.0, 20000.0);
  }
}

void TFTransfer::BFindClick() {
  CTrack->setChecked(false);
  finding_ = true;
  ApplySettings();
}

void TFTransfer::BResetClick() {
  meter_.Reset();
}

bool TFTransfer::event(QEvent* event) {
  if (PacingEvent(event)) return true;
  return QWidget::event(event);
}

void TFTransfer::showEvent(QShowEvent* event) {
  meter_.Start();
  receiving_ = true;
  poll_->start();
  QWidget::showEvent(event);
}

void TFTransfer::hideEvent(QHideEvent* event) {
  receiving_ = false;
  poll_->stop();
  meter_.Stop();
  DropPending();
  QWidget::hideEvent(event);
  emit Closed();
}

void TFTransfer::Poll() {
  TransferReading reading = meter_.Reading();
  if (reading.Version == shown_.Version && shown_.Version != 0) return;
  shown_ = std::move(reading);
  // A found delay is shown where it can be typed over (typing fixes it).
  if ((finding_ || CTrack->isChecked()) && !shown_.DelaySearching && shown_.Channels == 2) {
    const QSignalBlocker block(EDelay);
    EDelay->setValue(shown_.DelayMs);
  }
  ShowCurves();
  ShowState();
}

void TFTransfer::ShowState() {
  QString text;
  const QString reference = CReference->currentIndex() == 0 ? "L" : "R";
  if (shown_.Channels == 0)
    text = receiving_ ? "Waiting for the input: start a measurement" : "Stopped";
  else if (shown_.Channels != 2)
    text = QString("needs a stereo input: the reference on %1").arg(reference);
  else if (shown_.DelaySearching)
    text = "Finding the delay...";
  else if (!shown_.Valid)
    text = "Averaging...";
  else
    text = QString("%1 averages, delay %2 ms, %3 Hz")
               .arg(shown_.Result.Averages)
               .arg(shown_.DelayMs, 0, 'f', 3)
               .arg(shown_.Rate);
  LState->setText(text);
}

namespace {

// The finite points of one array over the frequencies, DC left out (no place on a log axis).
void Fill(TChartSeries* series, const TransferResult& r, const std::vector<double>& values) {
  series->ClearPoints();
  const size_t n = std::min(r.Frequency.size(), values.size());
  std::vector<double> x, y;
  x.reserve(n);
  y.reserve(n);
  for (size_t k = 1; k < n; ++k) {
    if (!std::isfinite(values[k])) continue;
    x.push_back(r.Frequency[k]);
    y.push_back(values[k]);
  }
  series->AddPoints(x.data(), y.data(), static_cast<int>(x.size()), series->SeriesColor().rgb());
  series->Repaint();
}

}  // namespace

void TFTransfer::ShowCurves() {
  const TransferResult& r = shown_.Result;
  Fill(live_[0], r, r.MagnitudeDb);
  Fill(live_[1], r, r.PhaseDeg);
  Fill(live_[2], r, r.Coherence);
}

void TFTransfer::ShowTraces() {
  for (int i = 0; i < MaxTraces; ++i) {
    const bool used = i < static_cast<int>(traces_.size());
    for (int c = 0; c < 3; ++c) {
      TChartSeries* s = traceSeries_[static_cast<size_t>(c * MaxTraces + i)];
      if (!used) {
        s->ClearPoints();
        s->SetVisible(false);
        continue;
      }
      const Trace& t = traces_[static_cast<size_t>(i)];
      s->SetSeriesColor(t.Colour);
      const std::vector<double>& values = c == 0   ? t.Result.MagnitudeDb
                                          : c == 1 ? t.Result.PhaseDeg
                                                   : t.Result.Coherence;
      Fill(s, t.Result, values);
      s->SetVisible(true);
    }
  }
}

void TFTransfer::BStoreClick() {
  if (!shown_.Valid) {
    LState->setText("Nothing to store yet");
    return;
  }
  const QString name = AskTraceName(this, QString("Trace %1").arg(tracesMade_ + 1));
  if (name.isEmpty()) return;
  // The oldest trace makes room for the ninth; its colour goes with it to the new one.
  QColor colour = QColor::fromRgb(kTraceColours[tracesMade_ % MaxTraces]);
  if (static_cast<int>(traces_.size()) == MaxTraces) {
    colour = traces_.front().Colour;
    traces_.erase(traces_.begin());
  }
  ++tracesMade_;
  traces_.push_back({name, colour, shown_.Result});
  ShowTraces();
}

std::string TFTransfer::FormatFrd(const TransferResult& r) {
  std::string text;
  char buffer[128];
  const size_t n = std::min({r.Frequency.size(), r.MagnitudeDb.size(), r.PhaseDeg.size()});
  for (size_t k = 1; k < n; ++k) {
    const double values[3] = {r.Frequency[k], r.MagnitudeDb[k], r.PhaseDeg[k]};
    if (!std::isfinite(values[1]) || !std::isfinite(values[2])) continue;
    // Independent of the locale: the tools read a point as the decimal separator.
    char* p = buffer;
    for (int i = 0; i < 3; ++i) {
      if (i) *p++ = ' ';
      p = std::to_chars(p, buffer + sizeof buffer, values[i], std::chars_format::fixed, 6).ptr;
    }
    *p++ = '\n';
    text.append(buffer, p);
  }
  return text;
}

void TFTransfer::BExportClick() {
  if (!shown_.Valid) {
    LState->setText("Nothing to export yet");
    return;
  }
  const QString path = AskExportFile(this);
  if (path.isEmpty()) return;
  std::string error;
  if (!WriteFileWhole(path.toStdString(), FormatFrd(shown_.Result), &error))
    LState->setText(QString::fromStdString(error));
  else
    LState->setText(QString("Exported to %1").arg(path));
}

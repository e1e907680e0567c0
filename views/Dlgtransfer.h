// The "Transfer function..." tool window: magnitude, phase and coherence of the system between
// the reference channel and the other, over one frequency axis. The spectra are averaged on a
// thread of its own (TransferMeter) from the continuous stream; the window takes the newest
// result at the frame's tick after each block, or after PollInterval when no block comes.
#pragma once

#include <QString>
#include <QWidget>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Delayfinder.h"
#include "Framepacing.h"
#include "Streamring.h"
#include "Transferfunction.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QTimer;
class TChart;
class TChartSeries;

enum class TransferDelayMode {
  Fixed,  // the typed delay (0: none)
  Find,   // found once, then fixed
  Track,  // found again with every block of the finder
};

struct TransferMeterSettings {
  int ReferenceChannel = 1;  // 0 L, 1 R; the other one is the measurement
  TransferSettings Core;
  TransferDelayMode DelayMode = TransferDelayMode::Fixed;
  double DelayMs = 0.0;  // for Fixed
};

// What the meter's thread published last.
struct TransferReading {
  bool Valid = false;  // a result of at least one block
  int Channels = 0;    // of the stream; 0: nothing came yet
  int Rate = 0;
  double DelayMs = 0.0;  // the delay in force
  bool DelaySearching = false;
  TransferResult Result;
  uint64_t Version = 0;  // grows with every publication
};

class TransferMeter : public StreamConsumer {
 public:
  explicit TransferMeter(size_t ringCapacity = size_t{1} << 20);
  ~TransferMeter() override;
  TransferMeter(const TransferMeter&) = delete;
  TransferMeter& operator=(const TransferMeter&) = delete;

  // Starts the thread afresh (nothing averaged) and listens; Stop ends both.
  void Start();
  void Stop();

  // Any thread; applied before the next samples. A change of the reference, the length, the
  // averaging or the delay starts the averages again; smoothing and blanking do not.
  void SetSettings(const TransferMeterSettings& settings);
  TransferMeterSettings Settings() const;
  // Every block and the delay search start again.
  void Reset();

  TransferReading Reading() const;
  // Until the settings and resets asked so far are applied and everything fed so far is taken
  // and published; false after `seconds` (nothing waits forever) or when not running.
  bool Flush(double seconds = 30.0);

  bool Listening() const override { return listening_.load(std::memory_order_relaxed); }
  SampleStream* AcquireStream(const void* worker) override;
  void ReleaseStream(const void* worker) override;
  const StreamRing& Ring() const { return ring_; }

 private:
  void Run();

  StreamRing ring_;
  std::atomic<const void*> holder_{nullptr};
  std::atomic<bool> listening_{false};

  mutable std::mutex mutex_;
  std::condition_variable wake_, published_;
  bool stop_ = false;
  TransferMeterSettings settings_;
  uint64_t settingsVersion_ = 0;
  uint64_t settingsDone_ = 0;  // the version the thread's last turn worked with
  uint64_t resetsWanted_ = 0, resetsDone_ = 0;
  int flushers_ = 0;  // callers waiting in Flush
  TransferReading reading_;
  uint64_t consumed_ = 0;  // frames read from the ring, dropped ones included
  std::thread thread_;
};

class TFTransfer : public QWidget, public TPacedView {
  Q_OBJECT
 public:
  static constexpr int PollInterval = 100;  // ms
  static constexpr int MaxTraces = 8;

  explicit TFTransfer(QWidget* parent = nullptr);
  ~TFTransfer() override;

  TransferMeter& Meter() { return meter_; }
  bool Receiving() const override { return receiving_.load(std::memory_order_relaxed); }

  // Takes the meter's newest result and shows it.
  void Poll();
  const TransferReading& Shown() const { return shown_; }

  struct Trace {
    QString Name;
    QColor Colour;
    TransferResult Result;
  };
  const std::vector<Trace>& Traces() const { return traces_; }

  // FRD: "frequency magnitude phase" per shown point, DC and blanked points left out.
  static std::string FormatFrd(const TransferResult& result);

  // Replaceable for tests: the trace's name (empty: cancelled) and the export's path (empty:
  // cancelled).
  static std::function<QString(QWidget*, const QString& proposed)> AskTraceName;
  static std::function<QString(QWidget*)> AskExportFile;

  void BStoreClick();
  void BExportClick();
  void BFindClick();
  void BResetClick();

  QComboBox* CReference = nullptr;
  QComboBox* CLength = nullptr;
  QComboBox* CAveraging = nullptr;
  QComboBox* CSmoothing = nullptr;
  QPushButton* BFind = nullptr;
  QCheckBox* CTrack = nullptr;
  QDoubleSpinBox* EDelay = nullptr;
  QDoubleSpinBox* EBlank = nullptr;
  QCheckBox* CLogAxis = nullptr;
  QPushButton* BStore = nullptr;
  QPushButton* BExport = nullptr;
  QPushButton* BReset = nullptr;
  QPushButton* BClose = nullptr;
  QLabel* LState = nullptr;
  TChart* ChartMagnitude = nullptr;
  TChart* ChartPhase = nullptr;
  TChart* ChartCoherence = nullptr;

 signals:
  void Closed();

 protected:
  bool event(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void Draw(const SpectrumBlock&) override { Poll(); }

 private:
  void ApplySettings();
  void ApplyAxis();
  void ShowState();
  void ShowCurves();
  void ShowTraces();

  std::atomic<bool> receiving_{false};
  TransferMeter meter_;
  TransferReading shown_;
  std::vector<Trace> traces_;
  int tracesMade_ = 0;
  TChartSeries* live_[3]{};
  std::vector<TChartSeries*> traceSeries_;
  QTimer* poll_ = nullptr;
  bool finding_ = false;  // a Find asked and not yet done
};

extern TFTransfer* FTransfer;

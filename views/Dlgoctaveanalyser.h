// The "Octave analyser" tool window: fractional-octave bands with standard filters, frequency
// and time weighting, the broadband level in large digits, Leq over the run and over a chosen
// interval, Lmax, Lmin, and dB SPL once calibrated. The meters run on the continuous stream on
// a thread of their own (OctaveMeter); the window takes their numbers at the frame's tick after
// each block, or after PollInterval when no block comes (long blocks, no run).
#pragma once

#include <QString>
#include <QWidget>
#include <array>
#include <atomic>
#include <functional>
#include <optional>

#include "Framepacing.h"
#include "Octavemeter.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QTimer;

// The bars, painted here: one per band (two in stereo), on a fixed 100 dB range.
class TOctaveBars : public QWidget {
  Q_OBJECT
 public:
  explicit TOctaveBars(QWidget* parent = nullptr);
  void SetReading(const OctaveMeterReading* reading) {
    reading_ = reading;
    update();
  }
  // The level at the top of the scale: 0 dBFS, or the offset's next 10 dB above when calibrated.
  double TopDb() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  const OctaveMeterReading* reading_ = nullptr;
};

class TFOctaveAnalyser : public QWidget, public TPacedView {
  Q_OBJECT
 public:
  // The longest the read-outs wait for a block before they follow the meters all the same.
  static constexpr int PollInterval = 100;  // ms

  explicit TFOctaveAnalyser(QWidget* parent = nullptr);
  ~TFOctaveAnalyser() override;

  OctaveMeter& Meter() { return meter_; }
  // What the window shows now (refreshed by Poll).
  const OctaveMeterReading& Shown() const { return shown_; }

  // While shown; any thread.
  bool Receiving() const override { return receiving_.load(std::memory_order_relaxed); }

  // Takes the meters' numbers and shows them.
  void Poll();

  // The calibrator's tone (94 or 114 dB SPL at 1 kHz) is playing: the offset from dBFS to
  // dB SPL follows from its S-weighted level. False with the reason when there is no steady
  // 1 kHz tone to calibrate with; nothing changes then.
  bool CalibrateWith(double calibratorDbSpl, QString* why = nullptr);
  // Back to dBFS.
  void ClearCalibration();
  // Reads a microphone's response file and applies it to the bands; on a bad file nothing is
  // applied and `why` names the line.
  bool LoadMicrophone(const QString& path, QString* why = nullptr);
  double OffsetDb() const { return offsetDb_; }
  bool Calibrated() const { return calibrated_; }

  // The dialogs, replaceable for tests: the calibrator's level (nullopt: cancelled) and the
  // calibration file's path (empty: cancelled).
  static std::function<std::optional<double>(QWidget*)> AskCalibratorLevel;
  static std::function<QString(QWidget*)> AskCalibrationFile;

  void BResetClick();
  void BCalibrateClick();
  void BMicrophoneClick();

  QComboBox* CBandwidth = nullptr;
  QComboBox* CWeighting = nullptr;
  QComboBox* CTimeWeighting = nullptr;
  QComboBox* CInterval = nullptr;
  TOctaveBars* Bars = nullptr;
  std::array<QLabel*, 2> LLevelCaption{};
  std::array<QLabel*, 2> LLevel{};
  QLabel* LUnit = nullptr;
  std::array<QLabel*, 2> LLeq{};
  std::array<QLabel*, 2> LIntervalLeq{};
  std::array<QLabel*, 2> LLastInterval{};
  std::array<QLabel*, 2> LLmax{};
  std::array<QLabel*, 2> LLmin{};
  std::array<QLabel*, 2> LPeak{};
  QLabel* LLeqCaption = nullptr;
  QLabel* LIntervalCaption = nullptr;
  QLabel* LLastCaption = nullptr;
  QLabel* LLmaxCaption = nullptr;
  QLabel* LLminCaption = nullptr;
  QLabel* LPeakCaption = nullptr;
  QLabel* LElapsed = nullptr;
  QLabel* LHighest = nullptr;
  QLabel* LOffset = nullptr;
  QLabel* LMicrophone = nullptr;
  QPushButton* BReset = nullptr;
  QPushButton* BCalibrate = nullptr;
  QPushButton* BMicrophone = nullptr;
  QCheckBox* CCorrectTrace = nullptr;
  QPushButton* BClose = nullptr;

 signals:
  // The microphone's correction of the spectrum trace (dB to add at a frequency; empty: none)
  // changed with the choice or the file.
  void TraceCorrectionChanged(std::function<double(double)> correction);

 protected:
  bool event(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  // A block is the tick: the stream fed the meters meanwhile.
  void Draw(const SpectrumBlock&) override { Poll(); }

 private:
  void ApplySettings();
  void ApplyTraceCorrection();
  void ShowNumbers();

  std::atomic<bool> receiving_{false};
  OctaveMeter meter_;
  OctaveMeterReading shown_;
  QTimer* poll_ = nullptr;
  double offsetDb_ = 0;
  bool calibrated_ = false;
  QString microphoneName_;
  std::optional<CalibrationFile> microphone_;
};

extern TFOctaveAnalyser* FOctaveAnalyser;

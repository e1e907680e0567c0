// The "Octave analyser" tool window: fractional-octave bands with standard filters, frequency
// and time weighting, the broadband level in large digits, Leq over the run and over a chosen
// interval, Lmax, Lmin, and dB SPL once calibrated. The meters run on the continuous stream on
// a thread of their own (OctaveMeter); the window only polls their numbers.
#pragma once

#include <QString>
#include <QWidget>
#include <array>
#include <functional>
#include <optional>

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

class TFOctaveAnalyser : public QWidget {
  Q_OBJECT
 public:
  // How often the read-outs follow the meters.
  static constexpr int PollInterval = 100;  // ms

  explicit TFOctaveAnalyser(QWidget* parent = nullptr);
  ~TFOctaveAnalyser() override;

  OctaveMeter& Meter() { return meter_; }
  // What the window shows now (refreshed by Poll).
  const OctaveMeterReading& Shown() const { return shown_; }

  // Takes the meters' numbers and shows them (the timer's slot).
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
  // Where the microphone's correction of the spectrum trace goes (dB to add at a frequency;
  // empty: none). Set by the program; the window calls it when the choice or the file changes.
  std::function<void(std::function<double(double)>)> OnTraceCorrection;
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

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void ApplySettings();
  void ApplyTraceCorrection();
  void ShowNumbers();

  OctaveMeter meter_;
  OctaveMeterReading shown_;
  QTimer* poll_ = nullptr;
  double offsetDb_ = 0;
  bool calibrated_ = false;
  QString microphoneName_;
  std::optional<CalibrationFile> microphone_;
};

extern TFOctaveAnalyser* FOctaveAnalyser;

// The "Impulse response..." tool window: a room's impulse response read from a file, or
// deconvolved from the recording of a sweep, with its energy-time curve, a band's decay, its
// frequency response and the room-acoustic parameters per octave, the numbers of
// `tonvista-analyse --acoustics` on the same file. The analysis runs on a worker thread.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "Roomacoustics.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QSpinBox;
class QTableWidget;
class TChart;
class TChartSeries;

class TFImpulse : public QWidget {
  Q_OBJECT
 public:
  // The table's rows, in the command line's order and precision.
  static constexpr int kParameters = 7;
  // Its columns: the octaves 63 Hz to 8 kHz, then broadband.
  static const std::vector<QString>& Columns();

  explicit TFImpulse(QWidget* parent = nullptr);
  // Waits for a running analysis (bounded: the core refuses over-long input).
  ~TFImpulse() override;

  // Start an analysis; false, with Status() saying why, while another one runs.
  bool OpenResponse(const QString& path);
  bool OpenRecording(const QString& recording, const QString& sweep);
  // Written whole; false with a reason in *error (nothing then changed on disk).
  bool SaveResponse(const QString& path, QString* error);
  bool SaveTable(const QString& path, QString* error);

  bool Busy() const { return busy_; }
  bool HasResponse() const { return !response_.empty(); }
  // The response as loaded or deconvolved, in full scale (1.0).
  std::vector<double> Response() const;
  int Rate() const { return rate_; }
  const RoomAcoustics& Room() const { return room_; }
  QString Status() const;
  // The table's cell (row a parameter, column one of Columns()).
  QString Cell(int row, int column) const;
  QString TableCsv() const;

  // The file dialogs; tests replace them.
  static std::function<QString(QWidget*, const QString& caption)> AskOpenFile;
  static std::function<QString(QWidget*, const QString& caption, const QString& filter)>
      AskSaveFile;

  QPushButton* BOpen = nullptr;
  QPushButton* BOpenSweep = nullptr;
  QPushButton* BSaveResponse = nullptr;
  QPushButton* BSaveTable = nullptr;
  QPushButton* BMeasure = nullptr;
  QPushButton* BClose = nullptr;
  QComboBox* CBand = nullptr;
  QCheckBox* CBGate = nullptr;
  QSpinBox* EGate = nullptr;
  QTableWidget* Table = nullptr;
  QLabel* LStatus = nullptr;
  TChart* ChartResponse = nullptr;
  TChart* ChartEtc = nullptr;
  TChart* ChartDecay = nullptr;
  TChart* ChartFrequency = nullptr;

 signals:
  // An analysis has ended: shown, or refused (Status() says why).
  void Analysed(bool ok);

 private:
  struct Result;
  bool Start(const QString& what, std::function<std::shared_ptr<Result>()> work);
  void Finish(std::shared_ptr<Result> result);
  void ShowTable();
  void ShowCurves();
  void ShowDecay();
  void ShowFrequencyResponse();
  void UpdateButtons();
  void SetStatus(const QString& text);

  std::thread worker_;
  bool busy_ = false;
  std::vector<double> response_;  // as analysed (the file's 16-bit scale or unit gain)
  double toFullScale_ = 1.0;
  int rate_ = 0;
  double zeroSeconds_ = 0.0;  // the time axis's zero on the response
  RoomAcoustics room_;
  TChartSeries* responseSeries_ = nullptr;
  TChartSeries* etcSeries_ = nullptr;
  TChartSeries* decaySeries_ = nullptr;
  TChartSeries* frequencySeries_ = nullptr;
};

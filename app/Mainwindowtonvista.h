// The main window: settings, Start and Stop, the spectrum chart, markers and export. One class
// in several files by role: Markers.cpp, Chartexport.cpp and Loggrid.cpp hold those parts.
#pragma once

#include <QGroupBox>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "Calcspectrumthread.h"
#include "Framepacing.h"
#include "Numberconversion.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QPushButton;
class QRadioButton;
class QTimer;
class TChart;
class TChartCanvas;
class TChartSeries;

// A framed group of radio buttons with one selected item, like a classic radio group.
class TRadioGroup : public QGroupBox {
 public:
  TRadioGroup(const QString& caption, const QStringList& items, QWidget* parent);
  int ItemIndex() const;
  void SetItemIndex(int index);
  QRadioButton* Item(int index) const { return items_.at(index); }
  int Count() const { return static_cast<int>(items_.size()); }
  // Raised when the user picks an item.
  std::function<void()> OnClick;

 private:
  void FollowSelection();
  QButtonGroup* group_;
  std::vector<QRadioButton*> items_;
};

// The save-file dialog of "Save Chart...". Runner replaces the real dialog (tests).
struct TSaveDialog {
  QString FileName = "Chart1";
  QString Title = "Save Files as...";
  // "description|patterns" with patterns separated by ';'.
  QString Filter;
  std::function<bool(TSaveDialog&)> Runner;
  // Shows the dialog; true when the user confirms, with FileName set to the chosen name.
  bool Execute(QWidget* parent);
};

// One line of the logarithmic frequency grid.
struct TLogGridLine {
  int Frequency;
  bool Labelled;
  const char* Label;
  int Offset;
};
// The 30 grid frequencies from 20 Hz to 40 kHz, ascending, with labels and label offsets.
const std::vector<TLogGridLine>& LogGridLines();

// What a read-out shows while it has no value.
inline const QString kNoValue = QStringLiteral("---");

class TInputMenu;

class TMainwindow : public QWidget, public TPacedView {
  Q_OBJECT
 public:
  explicit TMainwindow(QWidget* owner = nullptr);
  ~TMainwindow() override;

  // Whether the machine has an audio output device; replaceable for tests.
  static std::function<bool()> OutputDeviceProbe;

  // The settings fields and the chosen input as one value: what the worker takes at Start and
  // is handed again whenever one of them changes (PublishSettings).
  Settings CurrentSettings() const;
  void PublishSettings();
  InputEntry GetInput() const;
  // The main chart follows every block (its traces are drawn at the frame's tick).
  bool Receiving() const override { return true; }
  // The rate and channels that the worker uses: the opened file's while it is the input, else
  // the settings'.
  double ShownRate() const;
  int ShownChannels() const;
  // The axes follow the input's rate when a file becomes the input or stops being it.
  void FollowInputFormat();
  // Applies the frequency-axis mode and the limits: when they or the rate change, not with
  // every block. A message it has to give is shown after the current event.
  virtual void ScaleAxes();
  // series 1..4: "L", "R", "Lmax", "Rmax".
  void ClearTrace(int series);
  void AddTracePoint(int series, double x, double y, uint32_t rgb);
  // The same as AddTracePoint for each point in turn.
  void AddTracePoints(int series, const double* x, const double* y, int count, uint32_t rgb);
  // dB added to every trace point at its frequency (a microphone's correction); empty: none.
  // User-interface thread only, like the hand-over that applies it.
  std::function<double(double)> TraceCorrection;

  // What the options dialog and the vector scope report (user-interface thread).
  void SetAxisLimits(int xAxisMin, int xAxisMax, int yAxisMin, int yAxisMax);
  void SetCorrFactor(double value);
  void ClearGoniometerOpen();
  // The options dialog deleted a trace: it is emptied and leaves the marker lists.
  void DeleteTrace(const QString& trace);
  // Wires the stored dialogs' and windows' signals to this window's controls (start-up).
  void ConnectWindows();

  void ArrangeControls();
  void ReadSettings();
  void FillOptionsDialog();
  void FillMarkerLists(int kind, bool maxHold);
  void DrawLogGrid(TChartCanvas& canvas);
  void DrawMarker1(TChartCanvas& canvas);
  void DrawMarker2(TChartCanvas& canvas);
  // Writes the text table of the traces; false with a reason when the file cannot be written.
  bool WriteChartText(const QString& path, QString* error = nullptr);
  // Asks every worker still running to stop, keeps them from delivering into the windows and
  // waits for them (bounded). Safe to call more than once.
  void ShutdownAnalyser();

  // Event handlers.
  void BStartClick();
  void BStopClick();
  void CSamplingRateChange();
  void CFFTLengthChange();
  void CWindowChange();
  void CNumChannelsClick();
  void CFreqAxisClick();
  void BGoniometerClick();
  void BBandAnalyserClick();
  void BOptionsClick();
  void BAboutClick();
  void Button1Click();
  void BSaveChartClick();
  void BQuitClick();
  void DeleteThread(TCalcSpectrumThread* thread);
  void Chart1AfterDraw(TChartCanvas& canvas);
  void CBMarker1Click();
  void CBMarker2Click();
  // button: 0 M1 "<", 1 M1 ">", 2 M2 "<", 3 M2 ">".
  void MarkButtonClick(int button);
  void MarkButtonMouseDown(int button);
  void MarkButtonMouseUp(int button);
  void Timer1Timer();

  // Controls.
  TChart* Chart1 = nullptr;
  TChartSeries* Series1 = nullptr;
  TChartSeries* Series2 = nullptr;
  TChartSeries* Series3 = nullptr;
  TChartSeries* Series4 = nullptr;
  QFrame* BevControl = nullptr;
  QGroupBox* CSettings = nullptr;
  QLabel* LSamplingRate = nullptr;
  QLabel* LFFTLength = nullptr;
  QLabel* LWindow = nullptr;
  QComboBox* CSamplingRate = nullptr;
  QComboBox* CFFTLength = nullptr;
  QComboBox* CWindow = nullptr;
  TRadioGroup* CFreqAxis = nullptr;
  TRadioGroup* CNumChannels = nullptr;
  QGroupBox* CStartStop = nullptr;
  QPushButton* BStart = nullptr;
  QPushButton* BStop = nullptr;
  QGroupBox* CAverage = nullptr;
  QComboBox* CAvg = nullptr;
  QGroupBox* CMaxHold = nullptr;
  QCheckBox* CBMaxHold = nullptr;
  QGroupBox* GBMarker = nullptr;
  QCheckBox* CBMarker1 = nullptr;
  QCheckBox* CBMarker2 = nullptr;
  QLabel* Label4 = nullptr;
  QLabel* Label5 = nullptr;
  QComboBox* CMark1 = nullptr;
  QComboBox* CMark2 = nullptr;
  QPushButton* BMark1_Dec = nullptr;
  QPushButton* BMark1_Inc = nullptr;
  QPushButton* BMark2_Dec = nullptr;
  QPushButton* BMark2_Inc = nullptr;
  QLabel* Label6 = nullptr;
  QLabel* Label7 = nullptr;
  QLabel* Label10 = nullptr;
  QLabel* LMark1Frequ = nullptr;
  QLabel* LMark2Frequ = nullptr;
  QLabel* LDeltaFrequ = nullptr;
  QLabel* LMark1Lev = nullptr;
  QLabel* LMark2Lev = nullptr;
  QLabel* LDeltaLev = nullptr;
  QGroupBox* GBControl = nullptr;
  QPushButton* BGoniometer = nullptr;
  QPushButton* BBandAnalyser = nullptr;
  QPushButton* Button1 = nullptr;
  QPushButton* BAbout = nullptr;
  QPushButton* BSaveChart = nullptr;
  QPushButton* BQuit = nullptr;
  QPushButton* BOptions = nullptr;
  QTimer* Timer1 = nullptr;
  TSaveDialog SaveDialog1;

  // Environment, filled at start-up.
  int WindowsVersion = 0;
  QString WindowsDirectory;
  QString SystemDirectory;
  QString ProgramDirectory;

  // Settings; the worker reads the first seven through the accessors on its own thread.
  std::atomic<double> SamplingRate{44100.0};
  std::atomic<double> FFTLength{2048.0};
  std::atomic<int> WindowIndex{0};
  std::atomic<int> NumChannels{1};
  std::atomic<int> GoniometerOpen{0};
  std::atomic<int> BandAnalyserOpen{0};
  std::atomic<double> CorrFactor{0.0};
  std::atomic<int> Averages{0};
  std::atomic<int> MaxHold{0};

  // The windows fed with every block after the main chart, the vector scope and the band
  // analyser: registered at start-up (Toolwindows.cpp). Each Start hands the list in force to
  // its worker.
  std::vector<SpectrumConsumer*> SpectrumConsumers;
  // Fed with every recorded sample while it listens (the octave analyser); none by default.
  StreamConsumer* StreamMeter = nullptr;
  // What the worker is given when set: every meter of the stream (StreamMeter among them).
  StreamConsumer* StreamFeed = nullptr;

  // The worker of the last Start, until it has ended.
  TCalcSpectrumThread* CalcThread = nullptr;
  // The chart menu's "Input" submenu and the state line.
  TInputMenu* InputMenu = nullptr;

  // Display limits (user-interface thread only).
  int XAxisMin = 10;
  int XAxisMax = 22050;
  int YAxisMin = -100;
  int YAxisMax = 0;
  int GridTop = 0;
  int GridBase = 0;
  int GridTickEnd = 0;

  // Markers.
  double Mark1Frequ = 0.0;
  double Mark2Frequ = 0.0;
  int Mark1Bin = 0;
  int Mark2Bin = 0;
  double Mark1Lev = 0.0;
  double Mark2Lev = 0.0;
  // Whether the last drawing found a point for the marker's level.
  bool Mark1LevValid = false;
  bool Mark2LevValid = false;
  // Set by "Peak": the marker follows its peak between bins until it is stepped.
  bool Mark1Peak = false;
  bool Mark2Peak = false;
  int MarkRepeatButton = 0;
  int MarkRepeatCount = 0;

 signals:
  // The window was closed: the application ends.
  void Closed();
  // The frequency axis or its limits changed: (logarithmic, lowest Hz, highest Hz).
  void AxesScaled(bool logarithmic, int xAxisMin, int xAxisMax);
  // The traces were filled from a block.
  void TracesShown();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  bool event(QEvent* event) override;
  // The four traces from the newest block, at the frame's tick.
  void Draw(const SpectrumBlock& block) override;

 private:
  void BuildControls();
  void SetTabOrder();
  void ResetMarkers();
  void StepMarker(int button);
  void ShowMarkerFrequency(int marker);
  void MarkerBoxClick(int marker);
  void FocusStartOrStop();
  void DrawMarker(TChartCanvas& canvas, int marker);
  TChartSeries* SeriesOfName(const QString& name) const;
  TChartSeries* SeriesOfIndex(int series) const;
  // Workers not yet ended; a stopped worker may still be finishing its block.
  std::vector<TCalcSpectrumThread*> liveThreads_;
  // The outer size and place are stored frame included. A window manager draws its frame only
  // once the window is shown: the first frame seen makes the window 800 x 600 outside,
  // centred as a whole, before anything else lays it out.
  void FollowFrame();
  void CentreOnScreen();
  QSize frame_;
  QSize openingInside_;
  bool framed_ = false;
  bool axisErrorShown_ = false;
  // The file the axes were last scaled for (none: the settings' rate).
  std::shared_ptr<FileCursor> axisFile_;
};

extern TMainwindow* Mainwindow;

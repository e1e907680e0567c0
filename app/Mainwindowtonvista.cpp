#include "Mainwindowtonvista.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <array>
#include <cmath>

#include "Application.h"
#include "Audiodataacquisition.h"
#include "Chart.h"
#include "Dlgabout.h"
#include "Dlgbandanalyser.h"
#include "Dlggoniometer.h"
#include "Dlgoptions.h"
#include "Filecapture.h"
#include "Formcontrols.h"
#include "Inputmenu.h"
#include "Peakmarkers.h"
#include "Spectrumtable.h"
#include "Windowsversion.h"

TMainwindow* Mainwindow = nullptr;

std::function<bool()> TMainwindow::OutputDeviceProbe = [] { return AudioOutputDeviceAvailable(); };

namespace {

// How long closing waits for a worker to leave its block. The capture wait is interruptible,
// so a worker normally ends within milliseconds; this only bounds a misbehaving one.
constexpr int kShutdownWaitMs = 2000;

}  // namespace

// ---------------------------------------------------------------------------------------------

TRadioGroup::TRadioGroup(const QString& caption, const QStringList& items, QWidget* parent)
    : QGroupBox(caption, parent), group_(new QButtonGroup(this)) {
  setAccessibleName(caption);
  for (int i = 0; i < items.size(); ++i) {
    auto* item = new QRadioButton(items[i], this);
    item->setAccessibleName(items[i]);
    item->setGeometry(5, 15 + 16 * i, 58, 16);
    group_->addButton(item, i);
    items_.push_back(item);
    connect(item, &QRadioButton::toggled, this, [this] { FollowSelection(); });
  }
  connect(group_, &QButtonGroup::idClicked, this, Guarded([this] {
            if (OnClick) OnClick();
          }));
}

int TRadioGroup::ItemIndex() const {
  return group_->checkedId();
}

void TRadioGroup::SetItemIndex(int index) {
  items_.at(index)->setChecked(true);
}

void TRadioGroup::FollowSelection() {
  // The group is one stop of the Tab key, on the selected item; the arrow keys move within.
  const bool any = group_->checkedButton() != nullptr;
  for (QRadioButton* item : items_)
    item->setFocusPolicy(!any || item->isChecked() ? Qt::StrongFocus : Qt::ClickFocus);
}

// ---------------------------------------------------------------------------------------------

TMainwindow::TMainwindow(QWidget* owner) : QWidget(owner), TPacedView(this) {
  Mainwindow = this;
  try {
    setFont(TonvistaFont());
    setWindowTitle(QStringLiteral("TonvistaV1.9"));
    setAccessibleName(QStringLiteral("TonvistaV1.9"));
    resize(800, 600);
    BuildControls();

    WindowsVersion = DetectWindowsVersion();

    CSamplingRate->setCurrentIndex(7);
    CFFTLength->setCurrentIndex(3);
    CWindow->setCurrentIndex(3);
    CNumChannels->SetItemIndex(0);
    CAvg->setCurrentIndex(0);

    CMark1->setCurrentIndex(0);
    CMark2->setCurrentIndex(0);
    CMark1->setEnabled(false);
    CMark2->setEnabled(false);
    ResetMarkers();
    for (QLabel* l : {LMark1Frequ, LMark1Lev, LMark2Frequ, LMark2Lev, LDeltaFrequ, LDeltaLev})
      l->setText(kNoValue);

    Timer1->setInterval(100);
    Timer1->stop();

    CBMarker1->setEnabled(false);
    CBMarker2->setEnabled(false);

    if (!OutputDeviceProbe()) ShowMessage(this, QStringLiteral("No sound device installed"));

    // Empty where there is no Windows: the volume control then finds its program itself.
    WindowsDirectory = QString::fromLocal8Bit(WindowsDirectoryOfSystem());
    SystemDirectory = QString::fromLocal8Bit(SystemDirectoryOfSystem());
    ProgramDirectory = QCoreApplication::applicationDirPath() + QDir::separator();
    QDir::setCurrent(QCoreApplication::applicationDirPath());

    SamplingRate = 44100.0;
    NumChannels = 1;
    FFTLength = 2048.0;

    Chart1->BottomAxis().SetIncrement(50000);

    GoniometerOpen = 0;
    YAxisMin = -100;
    YAxisMax = 0;
    XAxisMin = 10;
    XAxisMax = 22050;
    CorrFactor = 0.0;

    ArrangeControls();
    GridTop = 1;
    setWindowTitle(QStringLiteral("TonvistaV1.9"));

    CentreOnScreen();
  } catch (...) {
    Mainwindow = nullptr;
    throw;
  }
}

InputEntry TMainwindow::GetInput() const {
  return InputMenu ? InputMenu->Chosen() : DefaultInput();
}

Settings TMainwindow::CurrentSettings() const {
  Settings s;
  s.FFTLength = FFTLength;
  s.SamplingRate = SamplingRate;
  s.WindowIndex = WindowIndex;
  s.NumChannels = NumChannels;
  s.Averages = Averages;
  s.MaxHold = MaxHold;
  s.CorrFactor = CorrFactor;
  s.GoniometerOpen = GoniometerOpen;
  s.BandAnalyserOpen = BandAnalyserOpen;
  s.Input = GetInput();
  return s;
}

void TMainwindow::PublishSettings() {
  if (CalcThread) CalcThread->SetSettings(CurrentSettings());
}

double TMainwindow::ShownRate() const {
  const std::shared_ptr<FileCursor> file = InputMenu ? InputMenu->ChosenFile() : nullptr;
  return file ? file->Rate() : SamplingRate.load();
}

int TMainwindow::ShownChannels() const {
  const std::shared_ptr<FileCursor> file = InputMenu ? InputMenu->ChosenFile() : nullptr;
  return file ? file->Channels() : NumChannels.load();
}

void TMainwindow::FollowInputFormat() {
  const InputEntry input = GetInput();
  if (input.file == axisFile_) return;
  const double before = axisFile_ ? axisFile_->Rate() : SamplingRate.load();
  axisFile_ = input.file;
  if (ShownRate() == before) return;
  XAxisMin = CFreqAxis->ItemIndex() == 1 ? 10 : 0;
  XAxisMax = static_cast<int>(ShownRate() * 0.5);
  ScaleAxes();
  FillOptionsDialog();
  for (TChartSeries* s : {Series1, Series2, Series3, Series4})
    s->Repaint();
  ResetMarkers();
}

TMainwindow::~TMainwindow() {
  ShutdownAnalyser();
  if (Mainwindow == this) Mainwindow = nullptr;
}

void TMainwindow::BuildControls() {
  Chart1 = Place(new TChart(this), 0, 0, 521, 353, QStringLiteral("Spectrum chart"));
  // The last stop of the Tab key, so that a screen reader can reach the chart.
  Chart1->setFocusPolicy(Qt::TabFocus);
  Chart1->SetBackColor(Qt::white);
  Chart1->SetBackWallColor(Qt::white);
  InputMenu = new TInputMenu(
      Chart1,
      [this]() -> std::optional<CaptureState> {
        if (!CalcThread) return std::nullopt;
        return CalcThread->InputState();
      },
      this);
  InputMenu->OnChosen = [this] {
    PublishSettings();
    FollowInputFormat();
  };
  Chart1->SetMargins(2, 1, 0, 0);
  Chart1->SetTitleVisible(false);
  Chart1->SetLegendVisible(false);
  Chart1->SetView3D(false);
  TChartAxis& bottom = Chart1->BottomAxis();
  bottom.SetAutomatic(false);
  bottom.SetAutomaticMinimum(false);
  bottom.SetAutomaticMaximum(false);
  bottom.SetMinimum(10);
  bottom.SetMaximum(22050);
  bottom.SetLogarithmic(true);
  bottom.SetIncrement(10000);
  bottom.SetAxisValuesFormat(QStringLiteral("#"));
  bottom.SetLabelStyle(talValue);
  bottom.SetLabelsSeparation(0);
  bottom.SetMinorTickCount(4);
  bottom.SetAxisVisible(false);
  bottom.SetTitleCaption(QStringLiteral("Frequency [Hz]"));
  TChartAxis& left = Chart1->LeftAxis();
  left.SetAutomatic(false);
  left.SetAutomaticMinimum(false);
  left.SetAutomaticMaximum(false);
  left.SetMinimum(-100);
  left.SetMaximum(0);
  left.SetAxisValuesFormat(QStringLiteral("###"));
  left.SetLabelStyle(talValue);
  left.SetMinorTickCount(4);
  left.SetAxisVisible(false);
  left.SetTitleCaption(QStringLiteral("Amplitude [dB]"));
  const QColor stored[] = {Qt::red, Qt::green, Qt::green, Qt::green};
  const char* names[] = {"L", "R", "Lmax", "Rmax"};
  TChartSeries* series[4];
  for (int i = 0; i < 4; ++i) {
    series[i] = Chart1->AddSeries(TSeriesKind::Line, names[i]);
    series[i]->SetSeriesColor(stored[i]);
    series[i]->SetPointerVisible(false);
    series[i]->SetPointerStyle(TPointerStyle::Rectangle);
    series[i]->SetMarksVisible(false);
  }
  Series1 = series[0];
  Series2 = series[1];
  Series3 = series[2];
  Series4 = series[3];
  Chart1->OnAfterDraw = [this](TChart*, TChartCanvas& canvas) {
    try {
      Chart1AfterDraw(canvas);
    } catch (...) {
      // A message box inside a paint would paint again; show it once the paint is over.
      QTimer::singleShot(0, this, [e = std::current_exception()] { ReportException(e); });
    }
  };

  BevControl = Place(new QFrame(this), 0, 432, 793, 9, QStringLiteral("Separator"));
  BevControl->setFrameStyle(QFrame::HLine | QFrame::Raised);

  CSettings = Place(new QGroupBox(QStringLiteral("FFT Settings"), this), 8, 456, 209, 106,
                    QStringLiteral("FFT Settings"));
  LSamplingRate = MakeLabel(QStringLiteral("Sampling Rate:"), CSettings, 8, 28);
  LFFTLength = MakeLabel(QStringLiteral("FFT Length:"), CSettings, 8, 52);
  LWindow = MakeLabel(QStringLiteral("Window:"), CSettings, 8, 76);
  CSamplingRate = MakeList(QStringLiteral("Sampling Rate"),
                           {"8000", "9600", "11025", "12000", "16000", "22050", "32000", "44100",
                            "48000", "88200", "96000"},
                           CSettings, {88, 24, 113, 21});
  CFFTLength = MakeList(QStringLiteral("FFT Length"),
                        {"256", "512", "1024", "2048", "4096", "8192", "16384", "32768"}, CSettings,
                        {88, 48, 113, 21});
  CWindow = MakeList(QStringLiteral("Window"),
                     {"Hanning", "Hamming", "Blackman", "Blackman Harris", "Rectangular"},
                     CSettings, {88, 72, 113, 21});
  LSamplingRate->setBuddy(CSamplingRate);
  LFFTLength->setBuddy(CFFTLength);
  LWindow->setBuddy(CWindow);

  CFreqAxis = Place(new TRadioGroup(QStringLiteral("Frequ. Axis"), {"lin", "log"}, this), 224, 456,
                    65, 50, QStringLiteral("Frequ. Axis"));
  CFreqAxis->SetItemIndex(1);
  CNumChannels = Place(new TRadioGroup(QStringLiteral("Channels"), {"Mono", "Stereo"}, this), 224,
                       512, 65, 50, QStringLiteral("Channels"));

  CStartStop = Place(new QGroupBox(QStringLiteral("Analyser"), this), 296, 456, 65, 105,
                     QStringLiteral("Analyser"));
  BStart = MakeButton(QStringLiteral("Start"), CStartStop, {8, 24, 49, 25});
  BStop = MakeButton(QStringLiteral("Stop"), CStartStop, {8, 64, 49, 25});

  CAverage =
      Place(new QGroupBox(QStringLiteral("Avg"), this), 368, 456, 57, 57, QStringLiteral("Avg"));
  QStringList averages;
  for (int i = 1; i <= 20; ++i)
    averages << QString::number(i);
  CAvg = MakeList(QStringLiteral("Averages"), averages, CAverage, {8, 24, 41, 21});
  SetVisibleItems(CAvg, 5);

  CMaxHold = Place(new QGroupBox(QStringLiteral("MaxHold"), this), 368, 520, 57, 41,
                   QStringLiteral("MaxHold"));
  CBMaxHold = Place(new QCheckBox(QStringLiteral("On"), CMaxHold), 8, 18, 41, 17,
                    QStringLiteral("MaxHold On"));

  GBMarker = Place(new QGroupBox(QStringLiteral("Marker"), this), 432, 456, 177, 105,
                   QStringLiteral("Marker"));
  CBMarker1 =
      Place(new QCheckBox(QStringLiteral("M1"), GBMarker), 10, 14, 41, 17, QStringLiteral("M1"));
  CBMarker2 =
      Place(new QCheckBox(QStringLiteral("M2"), GBMarker), 10, 36, 41, 17, QStringLiteral("M2"));
  Label4 = MakeLabel(QStringLiteral("----->"), GBMarker, 44, 16);
  Label5 = MakeLabel(QStringLiteral("----->"), GBMarker, 44, 38);
  // 4 pixels wider than stored, so that "Lmax" and "Rmax" fit beside the arrow.
  CMark1 = MakeList(QStringLiteral("Marker 1 trace"), {}, GBMarker, {70, 12, 54, 21});
  CMark2 = MakeList(QStringLiteral("Marker 2 trace"), {}, GBMarker, {70, 34, 54, 21});
  BMark1_Dec = MakeButton(QStringLiteral("<"), GBMarker, {128, 14, 17, 17});
  BMark1_Inc = MakeButton(QStringLiteral(">"), GBMarker, {148, 14, 17, 17});
  BMark2_Dec = MakeButton(QStringLiteral("<"), GBMarker, {128, 36, 17, 17});
  BMark2_Inc = MakeButton(QStringLiteral(">"), GBMarker, {148, 36, 17, 17});
  BMark1_Dec->setAccessibleName(QStringLiteral("Marker 1 down"));
  BMark1_Inc->setAccessibleName(QStringLiteral("Marker 1 up"));
  BMark2_Dec->setAccessibleName(QStringLiteral("Marker 2 down"));
  BMark2_Inc->setAccessibleName(QStringLiteral("Marker 2 up"));
  Label6 = MakeLabel(QStringLiteral("M1:"), GBMarker, 8, 60);
  Label7 = MakeLabel(QStringLiteral("M2:"), GBMarker, 8, 74);
  Label10 = MakeLabel(QStringLiteral("Diff:"), GBMarker, 8, 88);
  LMark1Frequ =
      MakeReadout(QStringLiteral("Marker 1 frequency"), kNoValue, GBMarker, {28, 60, 46, 13});
  LMark2Frequ =
      MakeReadout(QStringLiteral("Marker 2 frequency"), kNoValue, GBMarker, {28, 74, 46, 13});
  LDeltaFrequ =
      MakeReadout(QStringLiteral("Frequency difference"), kNoValue, GBMarker, {28, 88, 46, 13});
  for (int row = 0; row < 3; ++row)
    MakeLabel(QStringLiteral("Hz"), GBMarker, 80, 60 + 14 * row);
  LMark1Lev = MakeReadout(QStringLiteral("Marker 1 level"), kNoValue, GBMarker, {94, 60, 54, 13});
  LMark2Lev = MakeReadout(QStringLiteral("Marker 2 level"), kNoValue, GBMarker, {94, 74, 54, 13});
  LDeltaLev = MakeReadout(QStringLiteral("Level difference"), kNoValue, GBMarker, {94, 88, 54, 13});
  for (int row = 0; row < 3; ++row)
    MakeLabel(QStringLiteral("dB"), GBMarker, 154, 60 + 14 * row);

  GBControl = Place(new QGroupBox(QStringLiteral("Control"), this), 616, 456, 169, 105,
                    QStringLiteral("Control"));
  BGoniometer = MakeButton(QStringLiteral("VectorScope..."), GBControl, {8, 16, 75, 17});
  BBandAnalyser = MakeButton(QStringLiteral("1/3 Octave..."), GBControl, {88, 16, 73, 17});
  Button1 = MakeButton(QStringLiteral("Vol. Ctrl."), GBControl, {8, 38, 75, 17});
  BAbout = MakeButton(QStringLiteral("About..."), GBControl, {88, 38, 73, 17});
  BSaveChart = MakeButton(QStringLiteral("Save Chart..."), GBControl, {8, 60, 75, 17});
  BQuit = MakeButton(QStringLiteral("Quit"), GBControl, {88, 60, 73, 39});
  BOptions = MakeButton(QStringLiteral("Graphic Opt..."), GBControl, {8, 82, 75, 17});

  Timer1 = new QTimer(this);

  SetTabOrder();

  connect(BStart, &QPushButton::clicked, this, Guarded([this] { BStartClick(); }));
  connect(BStop, &QPushButton::clicked, this, Guarded([this] { BStopClick(); }));
  connect(CSamplingRate, &QComboBox::activated, this, Guarded([this] { CSamplingRateChange(); }));
  connect(CFFTLength, &QComboBox::activated, this, Guarded([this] { CFFTLengthChange(); }));
  connect(CWindow, &QComboBox::activated, this, Guarded([this] { CWindowChange(); }));
  CNumChannels->OnClick = [this] { CNumChannelsClick(); };
  CFreqAxis->OnClick = [this] { CFreqAxisClick(); };
  connect(BGoniometer, &QPushButton::clicked, this, Guarded([this] { BGoniometerClick(); }));
  connect(BBandAnalyser, &QPushButton::clicked, this, Guarded([this] { BBandAnalyserClick(); }));
  connect(BOptions, &QPushButton::clicked, this, Guarded([this] { BOptionsClick(); }));
  connect(BAbout, &QPushButton::clicked, this, Guarded([this] { BAboutClick(); }));
  connect(Button1, &QPushButton::clicked, this, Guarded([this] { Button1Click(); }));
  connect(BSaveChart, &QPushButton::clicked, this, Guarded([this] { BSaveChartClick(); }));
  connect(BQuit, &QPushButton::clicked, this, Guarded([this] { BQuitClick(); }));
  connect(CBMarker1, &QCheckBox::clicked, this, Guarded([this] { CBMarker1Click(); }));
  connect(CBMarker2, &QCheckBox::clicked, this, Guarded([this] { CBMarker2Click(); }));
  QPushButton* steps[] = {BMark1_Dec, BMark1_Inc, BMark2_Dec, BMark2_Inc};
  for (int i = 0; i < 4; ++i) {
    connect(steps[i], &QPushButton::clicked, this, Guarded([this, i] { MarkButtonClick(i); }));
    steps[i]->installEventFilter(this);
  }
  connect(Timer1, &QTimer::timeout, this, Guarded([this] { Timer1Timer(); }));
}

void TMainwindow::SetTabOrder() {
  QWidget* order[] = {CSamplingRate,
                      CFFTLength,
                      CWindow,
                      CFreqAxis->Item(0),
                      CFreqAxis->Item(1),
                      CNumChannels->Item(0),
                      CNumChannels->Item(1),
                      BStart,
                      BStop,
                      CAvg,
                      CBMaxHold,
                      CBMarker1,
                      CMark1,
                      BMark1_Dec,
                      BMark1_Inc,
                      CBMarker2,
                      CMark2,
                      BMark2_Dec,
                      BMark2_Inc,
                      BGoniometer,
                      Button1,
                      BSaveChart,
                      BOptions,
                      BAbout,
                      BQuit,
                      BBandAnalyser,
                      Chart1};
  for (size_t i = 1; i < std::size(order); ++i)
    QWidget::setTabOrder(order[i - 1], order[i]);
}

void TMainwindow::ArrangeControls() {
  // The layout rule works on the outer size; the frame, where there is one, is kept out of it.
  const QSize frame = frameGeometry().size() - size();
  int w = frameGeometry().width();
  int h = frameGeometry().height();
  setMinimumSize(800 - frame.width(), 280 - frame.height());
  if (w < 800 || h < 280) {
    w = std::max(w, 800);
    h = std::max(h, 280);
    resize(w - frame.width(), h - frame.height());
  }
  Chart1->setGeometry(5, 5, w - 20, h - 165);
  const int y = h - 140;
  for (QWidget* c : std::initializer_list<QWidget*>{CSettings, CFreqAxis, CStartStop, CAverage,
                                                    GBMarker, GBControl})
    c->move(c->x(), y);
  CNumChannels->move(CNumChannels->x(), y + 56);
  CMaxHold->move(CMaxHold->x(), y + 64);
  BevControl->setGeometry(0, y - 8, w, 2);
  BevControl->setVisible(true);
}

void TMainwindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  ArrangeControls();
  FollowFrame();
}

void TMainwindow::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  FollowFrame();
}

void TMainwindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  FollowFrame();
}

void TMainwindow::CentreOnScreen() {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect r(QPoint(0, 0), frameGeometry().size());
  r.moveCenter(screen->availableGeometry().center());
  // move() places a window's frame, not its inside.
  move(r.topLeft());
}

void TMainwindow::FollowFrame() {
  const QSize frame = frameGeometry().size() - size();
  if (frame == frame_) return;
  // The frame may come in steps (a title bar first, the borders later). Until the window has
  // been resized otherwise, each step keeps the outer size at 800 x 600, centred.
  const bool untouched = !framed_ || size() == openingInside_;
  frame_ = frame;
  if (untouched && frame != QSize(0, 0) && isVisible()) {
    framed_ = true;
    openingInside_ = QSize(800, 600) - frame;
    setMinimumSize(800 - frame.width(), 280 - frame.height());
    resize(openingInside_);
    CentreOnScreen();
  }
  ArrangeControls();
}

void TMainwindow::closeEvent(QCloseEvent* event) {
  ShutdownAnalyser();
  QWidget::closeEvent(event);
  emit Closed();
}

// ---------------------------------------------------------------------------------------------
// Settings, Start and Stop

void TMainwindow::ReadSettings() {
  SamplingRate = CSamplingRate->currentText().toDouble();
  FFTLength = CFFTLength->currentText().toDouble();
  WindowIndex = CWindow->currentIndex();
  NumChannels = CNumChannels->ItemIndex() + 1;
  Averages = CAvg->currentText().toInt();
  MaxHold = CBMaxHold->isChecked() ? 1 : 0;
  PublishSettings();
}

void TMainwindow::BStartClick() {
  ReadSettings();
  // The stored order of the hand-over: the chart, the scope, the bands, then the rest.
  std::vector<SpectrumConsumer*> consumers{this};
  if (FGoniometer) consumers.push_back(FGoniometer);
  if (FBandAnalyser) consumers.push_back(FBandAnalyser);
  consumers.insert(consumers.end(), SpectrumConsumers.begin(), SpectrumConsumers.end());
  ScaleAxes();
  auto* thread =
      new TCalcSpectrumThread(CurrentSettings(), consumers, StreamFeed ? StreamFeed : StreamMeter);
  // The end event is delivered through this thread's event loop, so it cannot run before
  // the handler is in place. It may come after this window is gone.
  thread->OnTerminate = [self = QPointer<TMainwindow>(this)](TCalcSpectrumThread* t) {
    if (self) self->DeleteThread(t);
  };
  CalcThread = thread;
  liveThreads_.push_back(thread);

  BStart->setEnabled(false);
  BStop->setFocus();
  FillMarkerLists(ShownChannels() == 1 ? 1 : 2, MaxHold != 0);
  const bool followSettings = Averages == 1 && MaxHold == 0;
  CSamplingRate->setEnabled(followSettings);
  CFFTLength->setEnabled(followSettings);
  CNumChannels->setEnabled(followSettings);
  CBMaxHold->setEnabled(false);
  CAvg->setEnabled(false);
  CBMarker1->setEnabled(true);
  CBMarker2->setEnabled(true);
  if (FGoniometer) FGoniometer->ResetDisplay();
}

void TMainwindow::BStopClick() {
  if (CalcThread) CalcThread->Terminate();
  BStart->setEnabled(true);
  BStart->setFocus();
  for (QWidget* c :
       std::initializer_list<QWidget*>{CSamplingRate, CFFTLength, CAvg, CNumChannels, CBMaxHold})
    c->setEnabled(true);
}

void TMainwindow::DeleteThread(TCalcSpectrumThread* thread) {
  liveThreads_.erase(std::remove(liveThreads_.begin(), liveThreads_.end(), thread),
                     liveThreads_.end());
  if (CalcThread == thread) {
    // A file at its end stops the run as Stop does; its last block stays on the chart.
    if (thread->InputEnded()) BStopClick();
    CalcThread = nullptr;
  }
}

void TMainwindow::ShutdownAnalyser() {
  // Detach first: the end events still queued must not reach this window.
  for (TCalcSpectrumThread* t : liveThreads_)
    t->OnTerminate = nullptr;
  for (TCalcSpectrumThread* t : liveThreads_)
    t->Terminate();
  for (TCalcSpectrumThread* t : liveThreads_) {
    if (!t->Shutdown(kShutdownWaitMs))
      qWarning("tonvista: the spectrum worker did not stop in time");
  }
  liveThreads_.clear();
  CalcThread = nullptr;
}

void TMainwindow::CSamplingRateChange() {
  ReadSettings();
  XAxisMin = CFreqAxis->ItemIndex() == 1 ? 10 : 0;
  XAxisMax = static_cast<int>(SamplingRate * 0.5);
  ScaleAxes();
  FillOptionsDialog();
  Series1->Repaint();
  if (NumChannels == 2) Series2->Repaint();
  ResetMarkers();
}

void TMainwindow::CFFTLengthChange() {
  if (CalcThread) ReadSettings();
  ResetMarkers();
}

void TMainwindow::CWindowChange() {
  if (CalcThread) ReadSettings();
}

void TMainwindow::CNumChannelsClick() {
  if (CalcThread) ReadSettings();
}

void TMainwindow::SetAxisLimits(int xAxisMin, int xAxisMax, int yAxisMin, int yAxisMax) {
  XAxisMin = xAxisMin;
  XAxisMax = xAxisMax;
  YAxisMin = yAxisMin;
  YAxisMax = yAxisMax;
}

void TMainwindow::SetCorrFactor(double value) {
  CorrFactor = value;
  PublishSettings();
}

void TMainwindow::ClearGoniometerOpen() {
  GoniometerOpen = 0;
  PublishSettings();
}

void TMainwindow::DeleteTrace(const QString& trace) {
  auto removeFrom = [&trace](QComboBox* list) {
    const int index = list->findText(trace);
    if (index >= 0) list->removeItem(index);
    list->setCurrentIndex(0);
  };
  if (CMark1->count() >= 2) removeFrom(CMark1);
  // The trace is emptied only when the second list still held a choice.
  if (CMark2->count() >= 2) {
    removeFrom(CMark2);
    if (TChartSeries* s = SeriesOfName(trace)) s->ClearPoints();
  }
}

void TMainwindow::ConnectWindows() {
  const auto focusStop = [this] { BStop->setFocus(); };
  if (FOptions) {
    connect(FOptions, &TFOptions::LimitsSet, this,
            [this](int xMin, int xMax, int yMin, int yMax, double corr) {
              SetAxisLimits(xMin, xMax, yMin, yMax);
              SetCorrFactor(corr);
              ScaleAxes();
            });
    connect(FOptions, &TFOptions::TraceDeleted, this,
            [this](const QString& trace) { DeleteTrace(trace); });
    connect(FOptions, &TFOptions::Closed, this, focusStop);
  }
  if (FAbout) connect(FAbout, &TFAbout::Closed, this, focusStop);
  if (FGoniometer) {
    connect(FGoniometer, &TFGoniometer::Closed, this, [this] {
      ClearGoniometerOpen();
      BStop->setFocus();
    });
  }
}

void TMainwindow::BGoniometerClick() {
  GoniometerOpen = 1;
  PublishSettings();
  if (FGoniometer) {
    FGoniometer->show();
    FGoniometer->raise();
  }
}

void TMainwindow::BBandAnalyserClick() {
  BandAnalyserOpen = 1;
  PublishSettings();
  if (FBandAnalyser) {
    FBandAnalyser->show();
    FBandAnalyser->raise();
  }
}

void TMainwindow::BOptionsClick() {
  FillOptionsDialog();
  if (FOptions) FOptions->Open();
}

void TMainwindow::FillOptionsDialog() {
  if (FOptions) FOptions->ShowSettings(XAxisMin, XAxisMax, YAxisMin, YAxisMax, CorrFactor);
}

void TMainwindow::BAboutClick() {
  if (!FAbout) return;
  FAbout->show();
  FAbout->raise();
}

void TMainwindow::Button1Click() {
  StartVolumeControl(WindowsVersion, WindowsDirectory, SystemDirectory);
  BStop->setFocus();
}

void TMainwindow::BQuitClick() {
  close();
}

// ---------------------------------------------------------------------------------------------
// Spectrum display

TChartSeries* TMainwindow::SeriesOfIndex(int series) const {
  switch (series) {
    case 1:
      return Series1;
    case 2:
      return Series2;
    case 3:
      return Series3;
    case 4:
      return Series4;
    default:
      return nullptr;
  }
}

void TMainwindow::ClearTrace(int series) {
  if (TChartSeries* s = SeriesOfIndex(series)) s->ClearPoints();
}

void TMainwindow::AddTracePoint(int series, double x, double y, uint32_t rgb) {
  if (TChartSeries* s = SeriesOfIndex(series))
    s->AddPoint(x, TraceCorrection && x > 0 ? y + TraceCorrection(x) : y, rgb);
}

void TMainwindow::AddTracePoints(int series, const double* x, const double* y, int count,
                                 uint32_t rgb) {
  // A correction goes point by point, by AddTracePoint's one rule.
  if (TraceCorrection) {
    for (int k = 0; k < count; ++k)
      AddTracePoint(series, x[k], y[k], rgb);
  } else if (TChartSeries* s = SeriesOfIndex(series)) {
    s->AddPoints(x, y, count, rgb);
  }
}

bool TMainwindow::event(QEvent* event) {
  return PacingEvent(event) || QWidget::event(event);
}

void TMainwindow::Draw(const SpectrumBlock& block) {
  // A mouse zoom or pan lasts until the next block: the limits are set anew (cheap when they
  // are the same, and unable to fail, unlike a change of the axis mode).
  Chart1->BottomAxis().SetRange(XAxisMin, XAxisMax);
  Chart1->LeftAxis().SetRange(YAxisMin, YAxisMax);
  for (int series = 1; series <= 4; ++series)
    ClearTrace(series);
  // "L" and "Lmax" blue, "R" and "Rmax" red, whatever colours the series were stored with.
  const bool stereo = block.NumChannels == 2;
  const int h = block.Bins;
  const double* x = block.Frequency;
  if (x && block.LevelL) AddTracePoints(1, x, block.LevelL, h, clBlue);
  if (x && stereo && block.LevelR) AddTracePoints(2, x, block.LevelR, h, clRed);
  if (x && block.MaxLevelL) AddTracePoints(3, x, block.MaxLevelL, h, clBlue);
  if (x && stereo && block.MaxLevelR) AddTracePoints(4, x, block.MaxLevelR, h, clRed);
  emit TracesShown();
}

void TMainwindow::ScaleAxes() {
  const double half = ShownRate() * 0.5;
  TChartAxis& bottom = Chart1->BottomAxis();
  if (CFreqAxis->ItemIndex() == 1) {
    if (XAxisMin <= 0) XAxisMin = 10;
    if (XAxisMax > half) XAxisMax = static_cast<int>(half);
    bottom.SetRange(XAxisMin, XAxisMax);
    bottom.SetIncrement(50000);
    Chart1->SetAllowZoom(true);
    Chart1->SetAllowPanning(pmHorizontal);
    // Limits that cannot form a logarithmic axis (a negative maximum typed in the options)
    // leave the axis as it was. The worker rescales with every block, so say it once, not
    // once per block, until the limits work again.
    try {
      bottom.SetLogarithmic(true);
      axisErrorShown_ = false;
    } catch (const EChartError& error) {
      if (!axisErrorShown_) {
        axisErrorShown_ = true;
        // Posted: a modal box must not open inside whatever called this.
        QTimer::singleShot(
            0, this, [this, text = QString::fromUtf8(error.what())] { ShowMessage(this, text); });
      }
    }
  } else {
    if (XAxisMin <= 10) XAxisMin = 0;
    if (XAxisMax > half) XAxisMax = static_cast<int>(half);
    bottom.SetRange(XAxisMin, XAxisMax);
    const double rate = ShownRate();
    if (rate >= 8000 && rate <= 16000)
      bottom.SetIncrement(500);
    else if (rate > 16000 && rate <= 32000)
      bottom.SetIncrement(1000);
    else if (rate > 32000 && rate <= 48000)
      bottom.SetIncrement(2000);
    else if (rate > 48000)
      bottom.SetIncrement(4000);
    Chart1->SetAllowZoom(true);
    Chart1->SetAllowPanning(pmHorizontal);
    bottom.SetLogarithmic(false);
    axisErrorShown_ = false;
  }
  Chart1->LeftAxis().SetRange(YAxisMin, YAxisMax);
  Chart1->LeftAxis().SetIncrement(5);
  emit AxesScaled(CFreqAxis->ItemIndex() == 1, XAxisMin, XAxisMax);
}

void TMainwindow::CFreqAxisClick() {
  ScaleAxes();
  for (TChartSeries* s : {Series1, Series2, Series3, Series4})
    s->Repaint();
}

void TMainwindow::Chart1AfterDraw(TChartCanvas& canvas) {
  if (CFreqAxis->ItemIndex() == 1) DrawLogGrid(canvas);
  if (CBMarker1->isChecked()) DrawMarker1(canvas);
  if (CBMarker2->isChecked()) DrawMarker2(canvas);
}

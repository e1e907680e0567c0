#include "Mainwindowtonvista.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <charconv>
#include <cmath>

#include "Application.h"
#include "Audiodataacquisition.h"
#include "Chart.h"
#include "Dlgabout.h"
#include "Dlgbandanalyser.h"
#include "Dlggoniometer.h"
#include "Dlgoptions.h"
#include "Formcontrols.h"
#include "Windowsversion.h"

TMainwindow* Mainwindow = nullptr;

std::function<bool()> TMainwindow::OutputDeviceProbe = [] { return AudioOutputDeviceAvailable(); };

namespace {

// How long closing waits for a worker to leave its block. The capture wait is interruptible,
// so a worker normally ends within milliseconds; this only bounds a misbehaving one.
constexpr int kShutdownWaitMs = 2000;

const QString kNoValue = QStringLiteral("---");

template <class W>
W* Place(W* widget, int left, int top, int width, int height, const QString& name) {
  widget->setGeometry(left, top, width, height);
  widget->setAccessibleName(name);
  return widget;
}

QLabel* MakeLabel(QWidget* parent, const QString& text, int left, int top, int width,
                  Qt::Alignment align = Qt::AlignLeft) {
  auto* label = new QLabel(text, parent);
  label->setAlignment(align | Qt::AlignVCenter);
  Place(label, left, top, width, 13, text);
  // Captions size themselves to their text; read-outs keep their width.
  if (!(align & Qt::AlignRight)) label->resize(label->sizeHint().width(), 13);
  return label;
}

QPushButton* MakeButton(QWidget* parent, const QString& text, int left, int top, int width,
                        int height) {
  return Place(new QPushButton(text, parent), left, top, width, height, text);
}

QComboBox* MakeList(QWidget* parent, const QStringList& items, int left, int top, int width,
                    const QString& name) {
  auto* list = new QComboBox(parent);
  list->addItems(items);
  return Place(list, left, top, width, 21, name);
}

}  // namespace

const std::vector<TLogGridLine>& LogGridLines() {
  // Labels are written left of their line by about half their width.
  static const std::vector<TLogGridLine> lines = {
      {20, true, "20", 1},        {30, false, "", 0},    {40, false, "", 0},
      {50, true, "50", 1},        {60, false, "", 0},    {70, false, "", 0},
      {80, false, "", 0},         {90, false, "", 0},    {100, true, "100", 7},
      {200, true, "200", 7},      {300, false, "", 0},   {400, false, "", 0},
      {500, true, "500", 7},      {600, false, "", 0},   {700, false, "", 0},
      {800, false, "", 0},        {900, false, "", 0},   {1000, true, "1000", 12},
      {2000, true, "2000", 12},   {3000, false, "", 0},  {4000, false, "", 0},
      {5000, true, "5000", 12},   {6000, false, "", 0},  {7000, false, "", 0},
      {8000, false, "", 0},       {9000, false, "", 0},  {10000, true, "10000", 16},
      {20000, true, "20000", 16}, {30000, false, "", 0}, {40000, true, "40000", 16}};
  return lines;
}

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

bool TSaveDialog::Execute(QWidget* parent) {
  if (Runner) return Runner(*this);
  // "description|patterns" becomes "description (pattern pattern ...)".
  const QStringList parts = Filter.split('|');
  QString filter;
  if (parts.size() == 2) filter = parts[0] + " (" + QString(parts[1]).replace(';', ' ') + ")";
  const QString chosen = QFileDialog::getSaveFileName(parent, Title, FileName, filter, nullptr,
                                                      QFileDialog::DontConfirmOverwrite);
  if (chosen.isEmpty()) return false;
  FileName = chosen;
  return true;
}

// ---------------------------------------------------------------------------------------------

TMainwindow::TMainwindow(QWidget* owner) : QWidget(owner) {
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

    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      QRect r(QPoint(0, 0), size());
      r.moveCenter(screen->availableGeometry().center());
      move(r.topLeft());
    }
  } catch (...) {
    Mainwindow = nullptr;
    throw;
  }
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
  LSamplingRate = MakeLabel(CSettings, QStringLiteral("Sampling Rate:"), 8, 28, 78);
  LFFTLength = MakeLabel(CSettings, QStringLiteral("FFT Length:"), 8, 52, 78);
  LWindow = MakeLabel(CSettings, QStringLiteral("Window:"), 8, 76, 78);
  CSamplingRate = MakeList(CSettings,
                           {"8000", "9600", "11025", "12000", "16000", "22050", "32000", "44100",
                            "48000", "88200", "96000"},
                           88, 24, 113, QStringLiteral("Sampling Rate"));
  CFFTLength = MakeList(CSettings, {"256", "512", "1024", "2048", "4096", "8192", "16384", "32768"},
                        88, 48, 113, QStringLiteral("FFT Length"));
  CWindow =
      MakeList(CSettings, {"Hanning", "Hamming", "Blackman", "Blackman Harris", "Rectangular"}, 88,
               72, 113, QStringLiteral("Window"));
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
  BStart = MakeButton(CStartStop, QStringLiteral("Start"), 8, 24, 49, 25);
  BStop = MakeButton(CStartStop, QStringLiteral("Stop"), 8, 64, 49, 25);

  CAverage =
      Place(new QGroupBox(QStringLiteral("Avg"), this), 368, 456, 57, 57, QStringLiteral("Avg"));
  QStringList averages;
  for (int i = 1; i <= 20; ++i)
    averages << QString::number(i);
  CAvg = MakeList(CAverage, averages, 8, 24, 41, QStringLiteral("Averages"));
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
  Label4 = MakeLabel(GBMarker, QStringLiteral("----->"), 44, 16, 26);
  Label5 = MakeLabel(GBMarker, QStringLiteral("----->"), 44, 38, 26);
  // 4 pixels wider than stored, so that "Lmax" and "Rmax" fit beside the arrow.
  CMark1 = MakeList(GBMarker, {}, 70, 12, 54, QStringLiteral("Marker 1 trace"));
  CMark2 = MakeList(GBMarker, {}, 70, 34, 54, QStringLiteral("Marker 2 trace"));
  BMark1_Dec = MakeButton(GBMarker, QStringLiteral("<"), 128, 14, 17, 17);
  BMark1_Inc = MakeButton(GBMarker, QStringLiteral(">"), 148, 14, 17, 17);
  BMark2_Dec = MakeButton(GBMarker, QStringLiteral("<"), 128, 36, 17, 17);
  BMark2_Inc = MakeButton(GBMarker, QStringLiteral(">"), 148, 36, 17, 17);
  BMark1_Dec->setAccessibleName(QStringLiteral("Marker 1 down"));
  BMark1_Inc->setAccessibleName(QStringLiteral("Marker 1 up"));
  BMark2_Dec->setAccessibleName(QStringLiteral("Marker 2 down"));
  BMark2_Inc->setAccessibleName(QStringLiteral("Marker 2 up"));
  Label6 = MakeLabel(GBMarker, QStringLiteral("M1:"), 8, 60, 20);
  Label7 = MakeLabel(GBMarker, QStringLiteral("M2:"), 8, 74, 20);
  Label10 = MakeLabel(GBMarker, QStringLiteral("Diff:"), 8, 88, 24);
  LMark1Frequ = MakeLabel(GBMarker, kNoValue, 28, 60, 46, Qt::AlignRight);
  LMark2Frequ = MakeLabel(GBMarker, kNoValue, 28, 74, 46, Qt::AlignRight);
  LDeltaFrequ = MakeLabel(GBMarker, kNoValue, 28, 88, 46, Qt::AlignRight);
  LMark1Frequ->setAccessibleName(QStringLiteral("Marker 1 frequency"));
  LMark2Frequ->setAccessibleName(QStringLiteral("Marker 2 frequency"));
  LDeltaFrequ->setAccessibleName(QStringLiteral("Frequency difference"));
  for (int row = 0; row < 3; ++row)
    MakeLabel(GBMarker, QStringLiteral("Hz"), 80, 60 + 14 * row, 14);
  LMark1Lev = MakeLabel(GBMarker, kNoValue, 94, 60, 54, Qt::AlignRight);
  LMark2Lev = MakeLabel(GBMarker, kNoValue, 94, 74, 54, Qt::AlignRight);
  LDeltaLev = MakeLabel(GBMarker, kNoValue, 94, 88, 54, Qt::AlignRight);
  LMark1Lev->setAccessibleName(QStringLiteral("Marker 1 level"));
  LMark2Lev->setAccessibleName(QStringLiteral("Marker 2 level"));
  LDeltaLev->setAccessibleName(QStringLiteral("Level difference"));
  for (int row = 0; row < 3; ++row)
    MakeLabel(GBMarker, QStringLiteral("dB"), 154, 60 + 14 * row, 16);

  GBControl = Place(new QGroupBox(QStringLiteral("Control"), this), 616, 456, 169, 105,
                    QStringLiteral("Control"));
  BGoniometer = MakeButton(GBControl, QStringLiteral("VectorScope..."), 8, 16, 75, 17);
  BBandAnalyser = MakeButton(GBControl, QStringLiteral("1/3 Octave..."), 88, 16, 73, 17);
  Button1 = MakeButton(GBControl, QStringLiteral("Vol. Ctrl."), 8, 38, 75, 17);
  BAbout = MakeButton(GBControl, QStringLiteral("About..."), 88, 38, 73, 17);
  BSaveChart = MakeButton(GBControl, QStringLiteral("Save Chart..."), 8, 60, 75, 17);
  BQuit = MakeButton(GBControl, QStringLiteral("Quit"), 88, 60, 73, 39);
  BOptions = MakeButton(GBControl, QStringLiteral("Graphic Opt..."), 8, 82, 75, 17);

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
}

void TMainwindow::BStartClick() {
  ReadSettings();
  SpectrumLinks links;
  links.Main = this;
  links.Scope = FGoniometer;
  links.Band = FBandAnalyser;
  links.Spectra = SpectrumConsumers;
  links.Scopes = SampleConsumers;
  auto* thread = new TCalcSpectrumThread(false, FFTLength, SamplingRate, WindowIndex, NumChannels,
                                         Averages, MaxHold, links);
  // The end event is delivered through this thread's event loop, so it cannot run before
  // the handler is in place. It may come after this window is gone.
  thread->OnTerminate = [self = QPointer<TMainwindow>(this)](TCalcSpectrumThread* t) {
    if (self) self->DeleteThread(t);
  };
  CalcThread = thread;
  liveThreads_.push_back(thread);

  BStart->setEnabled(false);
  BStop->setFocus();
  FillMarkerLists(NumChannels == 1 ? 1 : 2, MaxHold != 0);
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
  if (CalcThread == thread) CalcThread = nullptr;
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

void TMainwindow::ResetMarkers() {
  Mark1Bin = 0;
  Mark1Frequ = 0.0;
  Mark2Bin = 0;
  Mark2Frequ = 0.0;
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

void TMainwindow::BGoniometerClick() {
  GoniometerOpen = 1;
  if (FGoniometer) {
    FGoniometer->show();
    FGoniometer->raise();
  }
}

void TMainwindow::BBandAnalyserClick() {
  BandAnalyserOpen = 1;
  if (FBandAnalyser) {
    FBandAnalyser->show();
    FBandAnalyser->raise();
  }
}

void TMainwindow::BOptionsClick() {
  FillOptionsDialog();
  if (!FOptions) return;
  for (QLineEdit* e : {FOptions->EYAxisMin, FOptions->EYAxisMax, FOptions->EXAxisMin,
                       FOptions->EXAxisMax, FOptions->ECorrFactor})
    e->setEnabled(true);
  FOptions->show();
  FOptions->raise();
  FOptions->Button1->setFocus();
}

void TMainwindow::FillOptionsDialog() {
  if (!FOptions) return;
  FOptions->EYAxisMin->setText(QString::number(YAxisMin));
  FOptions->EYAxisMax->setText(QString::number(YAxisMax));
  FOptions->EXAxisMin->setText(QString::number(XAxisMin));
  FOptions->EXAxisMax->setText(QString::number(XAxisMax));
  FOptions->ECorrFactor->setText(FormatGeneral(CorrFactor.load()));
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
  if (TChartSeries* s = SeriesOfIndex(series)) s->AddPoint(x, y, rgb);
}

void TMainwindow::ScaleAxes() {
  const double half = SamplingRate * 0.5;
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
        ShowMessage(this, QString::fromUtf8(error.what()));
      }
    }
  } else {
    if (XAxisMin <= 10) XAxisMin = 0;
    if (XAxisMax > half) XAxisMax = static_cast<int>(half);
    bottom.SetRange(XAxisMin, XAxisMax);
    const double rate = SamplingRate;
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
  if (OnAxesScaled) OnAxesScaled();
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

void TMainwindow::DrawLogGrid(TChartCanvas& canvas) {
  canvas.SetPenColor(QColor(128, 128, 128));
  canvas.SetPenMode(pmCopy);
  canvas.SetPenStyle(Qt::DotLine);
  canvas.SetPenWidth(1);
  canvas.SetFontCharset(1);
  canvas.SetFontColor(Qt::black);
  canvas.SetFontHeight(-11);
  canvas.SetFontSize(8);
  canvas.SetBrushStyle(bsClear);
  GridBase = Chart1->LeftAxis().ValueToY(YAxisMin);
  GridTickEnd = GridBase + 4;
  for (const TLogGridLine& line : LogGridLines()) {
    const int x = Chart1->BottomAxis().ValueToX(line.Frequency);
    canvas.MoveTo(x, GridTop);
    canvas.LineTo(x, line.Labelled ? GridTickEnd : GridBase);
    if (line.Labelled)
      canvas.TextOut(x - line.Offset, GridTickEnd, QString::fromLatin1(line.Label));
  }
}

// ---------------------------------------------------------------------------------------------
// Markers

void TMainwindow::FillMarkerLists(int kind, bool maxHold) {
  QStringList names{QStringLiteral("L")};
  if (kind == 2) names << QStringLiteral("R");
  if (maxHold) {
    names << QStringLiteral("Lmax");
    if (kind == 2) names << QStringLiteral("Rmax");
  }
  for (QComboBox* list : {CMark1, CMark2}) {
    list->clear();
    list->addItems(names);
    list->setCurrentIndex(0);
  }
}

void TMainwindow::FocusStartOrStop() {
  if (BStart->isEnabled())
    BStart->setFocus();
  else
    BStop->setFocus();
}

void TMainwindow::ShowMarkerFrequency(int marker) {
  (marker == 1 ? LMark1Frequ : LMark2Frequ)
      ->setText(FormatReadout(marker == 1 ? Mark1Frequ : Mark2Frequ));
}

void TMainwindow::StepMarker(int button) {
  const int marker = button < 2 ? 1 : 2;
  const bool up = button % 2 == 1;
  double& frequ = marker == 1 ? Mark1Frequ : Mark2Frequ;
  int& bin = marker == 1 ? Mark1Bin : Mark2Bin;
  const double step = SamplingRate / FFTLength;
  if (up) {
    frequ += step;
    bin += 1;
    const double top = std::trunc(SamplingRate * 0.5);
    if (frequ > top) {
      frequ = top;
      bin = static_cast<int>(FFTLength * 0.5);
    }
  } else {
    frequ -= step;
    bin -= 1;
    if (frequ < 0) {
      frequ = 0.0;
      bin = 0;
    }
  }
  ShowMarkerFrequency(marker);
}

void TMainwindow::MarkButtonClick(int button) {
  if (!(button < 2 ? CBMarker1 : CBMarker2)->isChecked()) return;
  StepMarker(button);
  Chart1->update();
  FocusStartOrStop();
}

void TMainwindow::MarkButtonMouseDown(int button) {
  if (!(button < 2 ? CBMarker1 : CBMarker2)->isChecked()) return;
  MarkRepeatCount = 0;
  MarkRepeatButton = button;
  Timer1->start();
}

void TMainwindow::MarkButtonMouseUp(int button) {
  if (!(button < 2 ? CBMarker1 : CBMarker2)->isChecked()) return;
  Timer1->stop();
  MarkRepeatCount = 0;
}

void TMainwindow::Timer1Timer() {
  StepMarker(MarkRepeatButton);
  MarkRepeatCount += 1;
  Timer1->setInterval(MarkRepeatCount < 5 ? 400 : 5);
  Chart1->update();
}

bool TMainwindow::eventFilter(QObject* watched, QEvent* event) {
  const QObject* steps[] = {BMark1_Dec, BMark1_Inc, BMark2_Dec, BMark2_Inc};
  for (int i = 0; i < 4; ++i) {
    if (watched != steps[i]) continue;
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick)
      Guarded([this, i] { MarkButtonMouseDown(i); })();
    else if (event->type() == QEvent::MouseButtonRelease)
      Guarded([this, i] { MarkButtonMouseUp(i); })();
  }
  return QWidget::eventFilter(watched, event);
}

void TMainwindow::CBMarker1Click() {
  MarkerBoxClick(1);
}
void TMainwindow::CBMarker2Click() {
  MarkerBoxClick(2);
}

void TMainwindow::MarkerBoxClick(int marker) {
  const bool first = marker == 1;
  QComboBox* list = first ? CMark1 : CMark2;
  if ((first ? CBMarker1 : CBMarker2)->isChecked()) {
    list->setEnabled(true);
    ShowMarkerFrequency(marker);
  } else {
    list->setEnabled(false);
    (first ? LMark1Lev : LMark2Lev)->setText(kNoValue);
    (first ? LMark1Frequ : LMark2Frequ)->setText(kNoValue);
  }
  FocusStartOrStop();
  Chart1->update();
}

TChartSeries* TMainwindow::SeriesOfName(const QString& name) const {
  if (name == QLatin1String("L")) return Series1;
  if (name == QLatin1String("R")) return Series2;
  if (name == QLatin1String("Lmax")) return Series3;
  if (name == QLatin1String("Rmax")) return Series4;
  return nullptr;
}

void TMainwindow::DrawMarker1(TChartCanvas& canvas) {
  DrawMarker(canvas, 1);
}
void TMainwindow::DrawMarker2(TChartCanvas& canvas) {
  DrawMarker(canvas, 2);
}

void TMainwindow::DrawMarker(TChartCanvas& canvas, int marker) {
  const bool first = marker == 1;
  const int bin = first ? Mark1Bin : Mark2Bin;
  double& level = first ? Mark1Lev : Mark2Lev;
  bool& valid = first ? Mark1LevValid : Mark2LevValid;
  canvas.SetPenColor(Qt::black);
  canvas.SetPenMode(pmCopy);
  canvas.SetPenStyle(Qt::SolidLine);
  canvas.SetPenWidth(2);

  // A marker may stand one past the last point, and a trace may be empty right after Start:
  // then there is no level to read, and nothing is read outside the series.
  const TChartSeries* series = SeriesOfName((first ? CMark1 : CMark2)->currentText());
  if (!series) {
    level = -200.0;
    valid = true;
  } else if (bin >= 0 && bin < series->PointCount()) {
    level = series->YValues()[static_cast<size_t>(bin)];
    valid = true;
  } else {
    valid = false;
  }

  if (valid) {
    const int x = Chart1->BottomAxis().ValueToX(first ? Mark1Frequ : Mark2Frequ);
    const int y = Chart1->LeftAxis().ValueToY(level);
    canvas.MoveTo(x, y);
    canvas.LineTo(x + 5, y - 5);
    canvas.MoveTo(x, y);
    canvas.LineTo(x - 5, y - 5);
    canvas.TextOut(x + 10, y - 10, first ? QStringLiteral("M1") : QStringLiteral("M2"));
  }
  (first ? LMark1Lev : LMark2Lev)->setText(valid ? FormatReadout(level) : kNoValue);

  if (first) {
    if (!CBMarker2->isChecked()) {
      LDeltaFrequ->setText(kNoValue);
      LDeltaLev->setText(kNoValue);
    }
    return;
  }
  if (CBMarker1->isChecked()) {
    LDeltaFrequ->setText(FormatReadout(Mark2Frequ - Mark1Frequ));
    LDeltaLev->setText(Mark1LevValid && Mark2LevValid
                           ? FormatReadout(std::trunc(std::fabs(Mark2Lev - Mark1Lev)))
                           : kNoValue);
  } else {
    LDeltaFrequ->setText(kNoValue);
    LDeltaLev->setText(kNoValue);
  }
}

// ---------------------------------------------------------------------------------------------
// Export

namespace {

void AppendNumber(std::string& out, double v) {
  // "%f" with a point whatever the C library's locale.
  char buffer[400];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed, 6);
  out.append(buffer, r.ptr);
}

}  // namespace

bool TMainwindow::WriteChartText(const QString& path, QString* error) {
  static const char* const names[] = {"L", "R", "Lmax", "Rmax"};
  const TChartSeries* series[] = {Series1, Series2, Series3, Series4};
  std::vector<int> included;
  for (int i = 0; i < 4; ++i)
    if (series[i]->PointCount() >= 2) included.push_back(i);

  std::string text;
  if (!included.empty()) {
    text = "F-Axis[Hz]";
    for (int i : included)
      text += std::string(" , Data ") + names[i] + "[dB]";
    text += "\r\n";
    // Rows past the shortest trace have no data: the table stops there.
    long rows = static_cast<long>(std::ceil(FFTLength * 0.5));
    for (int i : included)
      rows = std::min<long>(rows, series[i]->PointCount());
    const TChartSeries* first = series[included.front()];
    for (long row = 0; row < rows; ++row) {
      AppendNumber(text, first->XValues()[static_cast<size_t>(row)]);
      for (int i : included) {
        text += " , ";
        AppendNumber(text, series[i]->YValues()[static_cast<size_t>(row)]);
      }
      text += "\r\n";
    }
  }

  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      file.write(text.data(), static_cast<qint64>(text.size())) !=
          static_cast<qint64>(text.size()) ||
      !file.flush()) {
    if (error) *error = file.errorString();
    return false;
  }
  file.close();
  if (file.error() != QFileDevice::NoError) {
    if (error) *error = file.errorString();
    return false;
  }
  return true;
}

void TMainwindow::BSaveChartClick() {
  // The window as it is now, before the dialog covers it: with its frame where the platform
  // lets us read the screen, else the client area.
  QImage window;
  if (QGuiApplication::platformName() == QLatin1String("xcb") && screen()) {
    const QRect outer = frameGeometry();
    window = screen()->grabWindow(0, outer.x(), outer.y(), outer.width(), outer.height()).toImage();
  }
  if (window.isNull()) window = grab().toImage();
  SaveDialog1.Filter = QStringLiteral("*.txt *.bmp|*.TXT;*.txt;*.BMP;*.bmp");
  if (SaveDialog1.Execute(this)) {
    const QString f = SaveDialog1.FileName;
    QStringList failures;
    QString reason;
    if (!WriteBitmap24(window, f + ".bmp", &reason))
      failures << QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(f + ".bmp"), reason);
    if (!Chart1->SaveChartBitmap(f + "_" + "plot" + ".bmp", &reason))
      failures << QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(f + "_plot.bmp"), reason);
    if (!WriteChartText(f + ".txt", &reason))
      failures << QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(f + ".txt"), reason);
    if (!failures.isEmpty())
      ShowMessage(this, QStringLiteral("The chart could not be saved.\n") + failures.join('\n'));
  }
  BStop->setFocus();
}

#include "Dlgspectrogram.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>

#include "Formcontrols.h"
#include "Messages.h"
#include "Spectrogramimage.h"

TFSpectrogram* FSpectrogram = nullptr;

// ---- plot

TSpectrogramPlot::TSpectrogramPlot(TFSpectrogram* owner) : QWidget(owner), owner_(owner) {
  setMouseTracking(true);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAccessibleName("Spectrogram");
  setMinimumSize(kSpectrogramMarginLeft + kSpectrogramMarginRight + 60,
                 kSpectrogramMarginTop + kSpectrogramMarginBottom + 60);
}

void TSpectrogramPlot::resizeEvent(QResizeEvent*) {
  const QRect plot = SpectrogramPlotRect(size());
  // The history is kept as levels: the new size is drawn from it at the next paint.
  owner_->Core().SetSize(plot.width(), plot.height());
  frameValid_ = false;
}

void TSpectrogramPlot::UpdatePixels() {
  update(SpectrogramPlotRect(size()));
}

bool TSpectrogramPlot::CanScroll(const QRect& plot) const {
  const Spectrogram& s = owner_->Core();
  // A fractional scale would move the pixels by a part of a device pixel.
  const qreal dpr = devicePixelRatioF();
  return frameValid_ && !s.RedrawPending() && s.Width() == plot.width() &&
         s.Height() == plot.height() && dpr == std::floor(dpr);
}

void TSpectrogramPlot::ScrollPixels(int64_t columns) {
  const QRect plot = SpectrogramPlotRect(size());
  if (columns <= 0 || columns >= plot.width() || !CanScroll(plot)) {
    update(plot);
    return;
  }
  const int n = static_cast<int>(columns);
  scroll(-n, 0, plot);
  update(QRect(plot.right() - n, plot.top(), n + 1, plot.height()));
}

void TSpectrogramPlot::UpdateNewest() {
  const QRect plot = SpectrogramPlotRect(size());
  if (!CanScroll(plot)) {
    update(plot);
    return;
  }
  update(QRect(plot.right(), plot.top(), 1, plot.height()));
}

void TSpectrogramPlot::paintEvent(QPaintEvent* event) {
  Spectrogram& s = owner_->Core();
  s.Render();
  const QRect plot = SpectrogramPlotRect(size());
  const qreal dpr = devicePixelRatioF();
  const LevelColours& colours = s.Colours();
  const std::array<double, 9> key = {s.LowFrequency(),
                                     s.HighFrequency(),
                                     static_cast<double>(s.Scale()),
                                     static_cast<double>(s.Plots()),
                                     static_cast<double>(s.Channels()),
                                     colours.Floor(),
                                     colours.Ceiling(),
                                     s.HistorySeconds(),
                                     s.XOfSeconds(-1.0)};
  if (key != frameKey_) frameValid_ = false;
  const bool wholeFrame = !frameValid_ || frame_.size() != size() * dpr;
  if (wholeFrame && event->rect() != rect()) update();  // the labels too, at the next frame
  if (wholeFrame) {
    frameKey_ = key;
    frame_ = QImage(size() * dpr, QImage::Format_RGB32);
    frame_.setDevicePixelRatio(dpr);
    QPainter fp(&frame_);
    DrawSpectrogramFrame(fp, s, plot);
    frameValid_ = true;
  }
  QPainter p(this);
  // The pixels cover the plot area: the frame is drawn only where the labels are.
  if (!plot.contains(event->rect())) p.drawImage(QPoint(0, 0), frame_);
  DrawSpectrogramPixels(p, s, plot);
}

void TSpectrogramPlot::mouseMoveEvent(QMouseEvent* event) {
  const QRect plot = SpectrogramPlotRect(size());
  const QPoint at = event->position().toPoint() - plot.topLeft();
  owner_->ShowCursor(at.x(), at.y());
}

void TSpectrogramPlot::leaveEvent(QEvent*) {
  owner_->HideCursor();
}

// ---- window

TFSpectrogram::TFSpectrogram(QWidget* parent)
    : QWidget(parent, kToolWindowFlags | Qt::WindowMaximizeButtonHint), TPacedView(this) {
  FSpectrogram = this;
  setWindowTitle("Spectrogram");
  UseFormFont(this);

  auto* controls = new QHBoxLayout;
  auto addCaption = [&](const QString& text, QWidget* buddy) {
    auto* label = new QLabel(text, this);
    label->setBuddy(buddy);
    controls->addWidget(label);
    controls->addWidget(buddy);
  };
  CChannel = new QComboBox(this);
  CChannel->addItems({"L", "R", "L + R"});
  CChannel->setCurrentIndex(2);
  CChannel->setAccessibleName("Channel");
  addCaption("Channel:", CChannel);
  CFreqAxis = new QComboBox(this);
  CFreqAxis->addItems({"as main", "lin", "log"});
  CFreqAxis->setAccessibleName("Frequ. Axis");
  addCaption("Frequ. Axis:", CFreqAxis);
  auto makeSpin = [this](const QString& role, int lo, int hi, int value, const QString& suffix) {
    auto* spin = new QSpinBox(this);
    spin->setRange(lo, hi);
    spin->setValue(value);
    spin->setSuffix(suffix);
    spin->setAccessibleName(role);
    spin->setKeyboardTracking(false);
    return spin;
  };
  const int limit = static_cast<int>(LevelColours::kLimit);
  EFloor = makeSpin("Floor", -limit, -1, -120, " dB");
  ECeiling = makeSpin("Ceiling", -119, limit, 0, " dB");
  EHistory = makeSpin("History", 5, 120, 20, " s");
  addCaption("Floor:", EFloor);
  addCaption("Ceiling:", ECeiling);
  addCaption("History:", EHistory);
  BPause = MakeButton("Pause", this, QRect(0, 0, 75, 23));
  BPause->setCheckable(true);
  controls->addWidget(BPause);
  controls->addStretch(1);

  Plot = new TSpectrogramPlot(this);
  settle_ = new QTimer(this);
  settle_->setSingleShot(true);
  settle_->setInterval(50);
  connect(settle_, &QTimer::timeout, Plot, &TSpectrogramPlot::UpdateNewest);

  auto* bottom = new QHBoxLayout;
  LCursor = new QLabel("----", this);
  LCursor->setAccessibleName("Cursor read-out");
  LCursor->setMinimumWidth(260);
  bottom->addWidget(LCursor, 1);
  BSaveImage = MakeButton("Save image...", this, QRect(0, 0, 90, 23));
  BClose = MakeButton("Close", this, QRect(0, 0, 75, 23));
  bottom->addWidget(BSaveImage);
  bottom->addWidget(BClose);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 6, 6, 6);
  layout->setSpacing(4);
  layout->addLayout(controls);
  layout->addWidget(Plot, 1);
  layout->addLayout(bottom);

  connect(CChannel, &QComboBox::currentIndexChanged, this, &TFSpectrogram::CChannelChange);
  connect(CFreqAxis, &QComboBox::currentIndexChanged, this, &TFSpectrogram::CFreqAxisChange);
  connect(EFloor, &QSpinBox::valueChanged, this, &TFSpectrogram::ELevelChange);
  connect(ECeiling, &QSpinBox::valueChanged, this, &TFSpectrogram::ELevelChange);
  connect(EHistory, &QSpinBox::valueChanged, this, &TFSpectrogram::EHistoryChange);
  connect(BPause, &QPushButton::clicked, this, &TFSpectrogram::BPauseClick);
  connect(BSaveImage, &QPushButton::clicked, this, Guarded([this] { BSaveImageClick(); }));
  connect(BClose, &QPushButton::clicked, this, &TFSpectrogram::BCloseClick);

  core_.SetLevelRange(EFloor->value(), ECeiling->value());
  core_.SetHistorySeconds(EHistory->value());
  core_.SetChannelView(ChannelView::Both);
  ApplyAxis();
  resize(760, 520);
}

TFSpectrogram::~TFSpectrogram() {
  receiving_ = false;
  if (FSpectrogram == this) FSpectrogram = nullptr;
}

void TFSpectrogram::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  receiving_ = true;
}

void TFSpectrogram::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  // A minimised window gets a hide event too but stays "shown"; only a real hide stops it.
  receiving_ = isVisible();
}

bool TFSpectrogram::event(QEvent* event) {
  return PacingEvent(event) || QWidget::event(event);
}

bool TFSpectrogram::Take(const SpectrumBlock& block) {
  if (!Receiving()) return false;
  // Paused: the blocks are counted so that time runs on; they show as a gap afterwards.
  if (paused_) {
    ++pausedBlocks_;
    return false;
  }
  if (!DrawPending()) {
    drawnPlots_ = core_.Plots();
    drawnNewest_ = core_.NewestSlot();
  }
  return core_.Add(block);
}

void TFSpectrogram::Draw(const SpectrumBlock&) {
  if (core_.Plots() != drawnPlots_) {
    Plot->InvalidateFrame();
    Plot->update();
  } else if (core_.NewestSlot() != drawnNewest_) {
    // At high block rates many blocks share a column: one paint per new column, not per block.
    settle_->stop();
    Plot->ScrollPixels(core_.NewestSlot() - drawnNewest_);
  } else if (!settle_->isActive()) {
    settle_->start();
  }
}

void TFSpectrogram::SetMainAxis(bool logarithmic) {
  if (logarithmic == mainLogarithmic_) return;
  mainLogarithmic_ = logarithmic;
  ApplyAxis();
}

void TFSpectrogram::SetFrequencyLimits(double low, double high) {
  const double low0 = core_.LowFrequency(), high0 = core_.HighFrequency();
  core_.SetFrequencyLimits(low, high);
  core_.RowMap();
  if (core_.LowFrequency() != low0 || core_.HighFrequency() != high0) {
    Plot->InvalidateFrame();
    Plot->update();
  }
}

void TFSpectrogram::ApplyAxis() {
  const int index = CFreqAxis->currentIndex();
  const bool log = index == 0 ? mainLogarithmic_ : index == 2;
  core_.SetScale(log ? FrequencyScale::Logarithmic : FrequencyScale::Linear);
  Plot->InvalidateFrame();
  Plot->update();
}

void TFSpectrogram::CFreqAxisChange() {
  ApplyAxis();
}

void TFSpectrogram::CChannelChange() {
  static constexpr ChannelView views[] = {ChannelView::Left, ChannelView::Right, ChannelView::Both};
  const int index = CChannel->currentIndex();
  if (index < 0 || index > 2) return;
  core_.SetChannelView(views[index]);
  Plot->InvalidateFrame();
  Plot->update();
}

void TFSpectrogram::ELevelChange() {
  // Each limit keeps the other at least 1 dB away.
  EFloor->setMaximum(ECeiling->value() - 1);
  ECeiling->setMinimum(EFloor->value() + 1);
  core_.SetLevelRange(EFloor->value(), ECeiling->value());
  Plot->InvalidateFrame();
  Plot->update();
}

void TFSpectrogram::EHistoryChange() {
  core_.SetHistorySeconds(EHistory->value());
  Plot->InvalidateFrame();
  Plot->update();
}

void TFSpectrogram::BPauseClick() {
  paused_ = BPause->isChecked();
  BPause->setText(paused_ ? "Resume" : "Pause");
  if (!paused_) {
    core_.Skip(pausedBlocks_);
    pausedBlocks_ = 0;
    Plot->update();
  }
}

QImage TFSpectrogram::Picture() {
  return SpectrogramPicture(core_);
}

bool TFSpectrogram::SaveImage(const QString& path, QString* error) {
  return WriteSpectrogramPng(Picture(), path, error);
}

void TFSpectrogram::BSaveImageClick() {
  QString path;
  if (AskFileName) {
    path = AskFileName(this);
  } else {
    path = QFileDialog::getSaveFileName(this, "Save image", "spectrogram.png", "PNG image (*.png)");
  }
  if (path.isEmpty()) return;
  if (!path.endsWith(".png", Qt::CaseInsensitive)) path += ".png";
  QString reason;
  if (!SaveImage(path, &reason))
    ShowMessage(this,
                QString("The image could not be saved.\n%1").arg(QDir::toNativeSeparators(reason)));
}

void TFSpectrogram::BCloseClick() {
  hide();
  emit Closed();
}

void TFSpectrogram::ShowCursor(int x, int y) {
  cursorX_ = x;
  cursorY_ = y;
  const Spectrogram::Reading r = core_.At(x, y);
  if (!r.inside) {
    LCursor->setText("----");
    return;
  }
  const QLocale locale;
  QString text = QString("%1 s   %2 Hz   ")
                     .arg(locale.toString(r.seconds, 'f', 2), locale.toString(r.frequency, 'f', 0));
  text += r.hasLevel ? locale.toString(r.level, 'f', 1) + " dB" : QString("---- dB");
  if (core_.Channels() == 2) text = (r.channel == 0 ? "L   " : "R   ") + text;
  LCursor->setText(text);
}

void TFSpectrogram::HideCursor() {
  cursorX_ = cursorY_ = -1;
  LCursor->setText("----");
}

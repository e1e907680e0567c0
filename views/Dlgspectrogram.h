// The "Spectrogram" tool window: time against frequency, the level as a colour, one column per
// block.
#pragma once

#include <QImage>
#include <QWidget>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>

#include "Framepacing.h"
#include "Spectrogramcore.h"

class QComboBox;
class QLabel;
class QPushButton;
class QSpinBox;
class QTimer;
class TFSpectrogram;

// The plot with its axes; paints the pixels drawn since its last paint and reads the cursor.
class TSpectrogramPlot : public QWidget {
  Q_OBJECT
 public:
  explicit TSpectrogramPlot(TFSpectrogram* owner);
  // Axes, labels and colour bar changed: rebuild the cached frame at the next paint.
  void InvalidateFrame() { frameValid_ = false; }
  // Only the pixels changed: repaints the plot area, not the labels around it.
  void UpdatePixels();
  // The picture gained columns at the right: what is shown moves left by that many (the window
  // system copies it where it is), and only the new columns and the one that was newest before
  // are painted. Anything else (a redraw pending, no columns or more than fit) repaints the
  // plot area.
  void ScrollPixels(int64_t columns);
  // Only the newest column took blocks.
  void UpdateNewest();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  TFSpectrogram* owner_;
  QImage frame_;
  bool frameValid_ = false;
  // What the frame was drawn for: a change of any of these (the rate of a new run moves the
  // upper limit, for one) redraws it.
  std::array<double, 9> frameKey_{};
  // Whether the shown pixels can be moved rather than painted again.
  bool CanScroll(const QRect& plot) const;
};

class TFSpectrogram : public QWidget, public TPacedView {
  Q_OBJECT
 public:
  explicit TFSpectrogram(QWidget* parent = nullptr);
  ~TFSpectrogram() override;

  // True only while the window is shown; any thread.
  bool Receiving() const override { return receiving_.load(std::memory_order_relaxed); }

  // The main window's "Frequ. Axis" (followed while CFreqAxis shows "as main") and its
  // frequency limits in Hz. Cheap when nothing changes, so they may be called with every block.
  void SetMainAxis(bool logarithmic);
  void SetFrequencyLimits(double low, double high);

  // The picture "Save image..." writes: the spectrogram with its axes and colour bar.
  QImage Picture();
  bool SaveImage(const QString& path, QString* error = nullptr);
  // Shows the read-out for a point of the plot area (pixels from its top-left corner).
  void ShowCursor(int x, int y);
  void HideCursor();

  // Asks for the PNG's name ("" to cancel); a file dialog unless replaced (tests).
  std::function<QString(QWidget* parent)> AskFileName;

  bool Paused() const { return paused_; }
  int64_t BlocksWhilePaused() const { return pausedBlocks_; }
  Spectrogram& Core() { return core_; }

  void CChannelChange();
  void CFreqAxisChange();
  void ELevelChange();
  void EHistoryChange();
  void BPauseClick();
  void BSaveImageClick();
  void BCloseClick();

  QComboBox* CChannel = nullptr;
  QComboBox* CFreqAxis = nullptr;  // "as main", "lin", "log"
  QSpinBox* EFloor = nullptr;
  QSpinBox* ECeiling = nullptr;
  QSpinBox* EHistory = nullptr;
  QPushButton* BPause = nullptr;
  QPushButton* BSaveImage = nullptr;
  QPushButton* BClose = nullptr;
  QLabel* LCursor = nullptr;
  TSpectrogramPlot* Plot = nullptr;

 signals:
  // "Close": the window is hidden.
  void Closed();

 protected:
  bool event(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  // Every block becomes part of its column; the plot is repainted at the frame's tick.
  bool Take(const SpectrumBlock& block) override;
  void Draw(const SpectrumBlock& block) override;

 private:
  void ApplyAxis();
  Spectrogram core_;
  std::atomic<bool> receiving_{false};
  bool mainLogarithmic_ = true;
  bool paused_ = false;
  int64_t pausedBlocks_ = 0;
  int cursorX_ = -1, cursorY_ = -1;
  // The plots and the newest column as last drawn.
  int drawnPlots_ = 0;
  int64_t drawnNewest_ = 0;
  // Shows the newest column's later blocks when no new column follows soon (the end of a run).
  QTimer* settle_ = nullptr;
};

extern TFSpectrogram* FSpectrogram;
